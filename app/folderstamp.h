#pragma once

#include "listing.h"

#include <QtGlobal>

#include <memory>

// What an open folder looked like just before it was read. A page made later takes the files
// read then only while the folder still looks the same; where the clock cannot tell a change made
// right after the read from the read itself, the folder is read again.
//
// Where the kernel can tell of changes (inotify), the folder counts as the same while nothing
// but a page put in place over the one listed came and went: a page's own run, or another
// program's, then leaves the files to the next run instead of having them read again.
class FolderStamp
{
public:
    static FolderStamp take(int folderFd);
    bool stillHolds(int folderFd) const;

private:
    struct Watch;

    static FolderStamp look(int folderFd);

    bool m_valid = false;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_size = 0;
    quint64 m_links = 0;
    qint64 m_modifiedNs = 0;
    qint64 m_changedNs = 0;
    qint64 m_takenNs = 0; // by the clock the file system stamps times with
    // Shared by the copies: the files and their stamp go from the list to a page run and back.
    std::shared_ptr<Watch> m_watch;
};

// A folder's files with how the folder looked when they were read.
struct StampedFiles
{
    Listing files;
    FolderStamp stamp;
};
