#pragma once

#include "filedescriptor.h"
#include "listing.h"
#include "selection.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// A folder of a tree, as it was when the tree was read.
struct TreeFolder
{
    QString path;    // ends in "/"; for messages only
    QByteArray name; // raw, in its parent; empty for the top folder
    qsizetype parent = -1;
    int depth = 0;
    quint64 device = 0;
    quint64 inode = 0;
    int error = 0; // why it could not be entered or read, or 0
    std::vector<qsizetype> subfolders;
    Listing files; // as the selection takes them, from the same read as the subfolders
    // Every folder entry the selection takes, entered or not: links to folders and folders past
    // the depth stay here only.
    Listing folderEntries;
};

// A folder and every folder below it, each read once, walked and visited again through
// descriptors: each folder is opened relative to the one above it without following links, so a
// folder swapped for a link or another folder during a run is reported and skipped, never
// written into, and a tree may be deeper than any path the system takes.
class FolderTree
{
public:
    FolderTree() = default;
    FolderTree(const FolderTree &) = delete;
    FolderTree &operator=(const FolderTree &) = delete;

    // Reads the tree below `root` (which ends in "/"): the folder first and each folder before
    // those inside it. ".sh_thumbnails" (where thumbnails are kept) and links to folders are not
    // entered, and the selection leaves folders out as it leaves files out. A folder that cannot
    // be entered stays in the tree with its error. Folders deeper than `maxDepth` below the top
    // (when not negative) are not entered. `entered`, when given, is called with each folder open
    // before its entries are read. Returns 0 or the top folder's error value.
    using Entered = std::function<void(int folderFd, quint64 device, quint64 inode)>;
    int read(const QString &root, const Selection &selection, const QLocale &locale = QLocale(),
             int maxDepth = -1, const Entered &entered = {});

    const std::vector<TreeFolder> &folders() const { return m_folders; }

    // Called for a folder open as `folderFd`, or with -1 and the error value that kept it
    // closed or unread.
    using Visit = std::function<void(qsizetype index, int folderFd, int error)>;
    // Visits every folder on all cores, each after the folders inside it, so that what a visit
    // writes can link to what was written below.
    void visitChildrenFirst(const Visit &visit) const;

private:
    class Opener;

    FileDescriptor m_root;
    std::vector<TreeFolder> m_folders;
};
