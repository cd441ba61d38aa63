#include "drivelistbox.h"

#include "filenames.h"

#include <QDir>

DriveListBox::DriveListBox(QWidget *parent)
    : QComboBox(parent)
{
    connect(this, &QComboBox::activated, this, &DriveListBox::userSelected);
    readVolumes();
    showDriveOf(QDir::currentPath());
}

QString DriveListBox::Drive() const
{
    return m_selected >= 0 ? m_volumes.at(m_selected).mountPoint : QStringLiteral("/");
}

void DriveListBox::showDriveOf(const QString &path)
{
    const QString root = volumeRootOf(path, m_volumes);
    for (qsizetype i = 0; i < m_volumes.size(); ++i) {
        if (m_volumes.at(i).mountPoint == root) {
            m_selected = int(i);
            setCurrentIndex(m_selected);
            return;
        }
    }
}

void DriveListBox::setVolumeSource(std::function<QList<Volume>()> source)
{
    m_source = std::move(source);
    m_selected = -1;
    readVolumes();
    showDriveOf(QDir::currentPath());
}

void DriveListBox::showPopup()
{
    // Media come and go: the list is read again each time it opens.
    readVolumes();
    QComboBox::showPopup();
}

void DriveListBox::readVolumes()
{
    const QString selected = m_selected >= 0 ? m_volumes.at(m_selected).mountPoint : QString();
    m_volumes = m_source();
    clear();
    m_selected = -1;
    for (const Volume &volume : std::as_const(m_volumes)) {
        const QString mountPoint = readableFileName(volume.mountPoint);
        addItem(volume.label.isEmpty()
                    ? mountPoint
                    : mountPoint + QStringLiteral("  [") + volume.label + QStringLiteral("]"));
    }
    if (!selected.isEmpty())
        showDriveOf(selected);
}

void DriveListBox::userSelected(int index)
{
    if (index == m_selected)
        return;
    m_selected = index;
    Q_EMIT Change();
}
