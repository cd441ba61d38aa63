#pragma once

#include "volumes.h"

#include <QComboBox>

#include <functional>

// The drive list: the machine's user volumes, each shown by its mount point and label.
class DriveListBox : public QComboBox
{
    Q_OBJECT

public:
    explicit DriveListBox(QWidget *parent = nullptr);

    // The selected drive, in the form the folder list takes as a path: its mount point.
    QString Drive() const;
    // Selects the drive that holds `path`, without raising Change.
    void showDriveOf(const QString &path);
    // Where the volumes come from, the machine's own unless a test says otherwise; then selects
    // the drive of the current folder, as at creation.
    void setVolumeSource(std::function<QList<Volume>()> source);

    void showPopup() override;

protected:
    void paintEvent(QPaintEvent *event) override;

Q_SIGNALS:
    // The user selected another drive.
    void Change();

private:
    void readVolumes();
    void userSelected(int index);

    std::function<QList<Volume>()> m_source = userVolumes;
    QList<Volume> m_volumes;
    int m_selected = -1;
};
