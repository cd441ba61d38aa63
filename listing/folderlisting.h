#pragma once

#include "filelist.h"
#include "filesystem.h"

#include <QLocale>
#include <QString>

#include <memory>

// The entries of one kind in one folder, in the order a file manager shows them: by the locale's
// alphabet, ignoring case, numbers by value; names equal but for case stand in byte order. The
// names stay raw bytes, a million of them in a few tens of megabytes.
class FolderListing
{
public:
    // Returns 0 or an errno value; on failure the listing is empty.
    int read(const QString &folder, EntryKind kind, const QLocale &locale = QLocale());
    // The same through a folder descriptor, which stays the caller's.
    int read(int folderFd, EntryKind kind, const QLocale &locale = QLocale());

    qsizetype count() const { return qsizetype(m_names.size()); }
    QString name(qsizetype i) const;
    const char *rawName(qsizetype i) const { return m_names.at(std::size_t(i)); }

private:
    int sort(int error, const QLocale &locale);

    NameBlock m_names;
};

// "No se pudo leer la carpeta «...»: ..."
QString folderReadError(const QString &folder, int error);

// A folder's files read straight from disk: the file list of both front ends. A copy shares the
// names it has read, so a snapshot of a million names costs nothing; a failed re-read keeps them.
class FolderFileList : public FileList
{
public:
    explicit FolderFileList(const QString &folder = {}, const QLocale &locale = QLocale());

    bool Refresh(QString *error) override;
    qsizetype ListCount() const override { return m_listing->count(); }
    qsizetype ListIndex() const override { return m_index; }
    void setListIndex(qsizetype index) override { m_index = index; }
    QString FileName() const override;
    const FolderListing *listing() const override { return m_listing.get(); }

    const QString &folder() const { return m_folder; }
    void setFolder(const QString &folder) { m_folder = folder; }
    // Reads through this descriptor, which stays the caller's; the path then only names the
    // folder in messages.
    void setFolderDescriptor(int folderFd) { m_folderFd = folderFd; }

private:
    QString m_folder;
    int m_folderFd = -1;
    QLocale m_locale;
    std::shared_ptr<const FolderListing> m_listing;
    qsizetype m_index = -1;
};
