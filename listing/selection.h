#pragma once

#include "filelist.h"
#include "folderlisting.h"

#include <QByteArrayList>
#include <QLocale>
#include <QString>

#include <vector>

// Which of a folder's entries a page lists, and in which order. The default lists every one in
// the folder's own order.
struct Selection
{
    enum class Sort {
        Name,
        Date,
        Size
    };
    Sort sort = Sort::Name; // by date, newest first; by size, largest first; ties by name
    bool reverse = false;
    bool hidden = true;     // list names that start with "."
    QByteArrayList exclude; // shell wildcards; a name matching one is left out
};

// Whether the selection leaves the raw name out.
bool leavesOut(const Selection &selection, const char *rawName);

// The entries of one kind in a folder, as a selection takes them.
class SelectedListing
{
public:
    // Returns 0 or an error value.
    int read(const QString &folder, EntryKind kind, const Selection &selection,
             const QLocale &locale = QLocale());
    // The same through a folder descriptor, which stays the caller's.
    int read(int folderFd, EntryKind kind, const Selection &selection,
             const QLocale &locale = QLocale());
    qsizetype count() const { return qsizetype(m_order.size()); }
    QString name(qsizetype i) const { return m_listing.name(qsizetype(m_order[std::size_t(i)])); }
    const char *rawName(qsizetype i) const
    {
        return m_listing.rawName(qsizetype(m_order[std::size_t(i)]));
    }

private:
    FolderListing m_listing;
    std::vector<std::size_t> m_order;
};

// A folder's files as a selection takes them: the headless front end's file list when it is
// asked to sort or leave files out.
class SelectedFileList : public FileList
{
public:
    SelectedFileList(const QString &folder, const Selection &selection,
                     const QLocale &locale = QLocale());

    bool Refresh(QString *error) override;
    qsizetype ListCount() const override { return m_listing.count(); }
    qsizetype ListIndex() const override { return m_index; }
    void setListIndex(qsizetype index) override { m_index = index; }
    QString FileName() const override;
    // As FolderFileList's.
    void setFolderDescriptor(int folderFd) { m_folderFd = folderFd; }

private:
    QString m_folder;
    int m_folderFd = -1;
    Selection m_selection;
    QLocale m_locale;
    SelectedListing m_listing;
    qsizetype m_index = -1;
};
