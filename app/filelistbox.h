#pragma once

#include "folderstamp.h"
#include "listing.h"

#include <QAbstractListModel>
#include <QListView>
#include <QString>

// The names of a folder's files as rows; the view asks only for the rows it draws, so a million
// names show as quickly as ten.
class FileListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    const Listing &files() const { return m_files; }
    void replace(const Listing &files);

private:
    Listing m_files;
};

// The file list: every file of its folder, hidden ones included, one selected at a time.
class FileListBox : public QListView
{
    Q_OBJECT

public:
    explicit FileListBox(QWidget *parent = nullptr);

    const QString &Path() const { return m_path; }
    void setPath(const QString &path) { m_path = path; }

    // Reads the folder again; on failure the list keeps what it held.
    bool Refresh(QString *error);
    qsizetype ListCount() const { return m_model.files().count(); }
    qsizetype ListIndex() const { return m_index; }
    // Selects an entry without touching the screen; showListIndex brings the view up to date.
    void setListIndex(qsizetype index) { m_index = index; }
    void showListIndex();

    // The list as it stands, shared, for work elsewhere that must not see it change.
    const Listing &files() const { return m_model.files(); }
    // With how the folder looked when they were read.
    StampedFiles stampedFiles() const { return {m_model.files(), m_stamp}; }
    // Takes over a listing read elsewhere, with its selected entry.
    void adopt(const StampedFiles &files, qsizetype index);

private:
    QString m_path;
    FileListModel m_model;
    FolderStamp m_stamp;
    qsizetype m_index = -1;
};
