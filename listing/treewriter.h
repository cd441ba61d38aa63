#pragma once

#include "pagewriter.h"
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
    int error = 0; // why it could not be entered, or 0
    std::vector<qsizetype> subfolders;
};

// A folder and every folder below it, walked and written through descriptors: each folder is
// opened relative to the one above it without following links, so a folder swapped for a link
// or another folder during a run is reported and skipped, never written into, and a tree may be
// deeper than any path the system takes.
class FolderTree
{
public:
    FolderTree() = default;
    FolderTree(const FolderTree &) = delete;
    FolderTree &operator=(const FolderTree &) = delete;
    ~FolderTree();

    // Reads the tree below `root` (which ends in "/"): the folder first and each folder before
    // those inside it. ".sh_thumbnails" (where thumbnails are kept) and links to folders are not
    // entered, and the selection leaves folders out as it leaves files out. A folder that cannot
    // be entered stays in the tree with its error. Returns 0 or the top folder's error value.
    int read(const QString &root, const Selection &selection, const QLocale &locale = QLocale());

    const std::vector<TreeFolder> &folders() const { return m_folders; }

    // The page of one folder, open as `folderFd`, with the links its page starts with.
    using PageWrite =
        std::function<PageResult(const TreeFolder &, int folderFd, const FolderLinks &)>;
    // Writes every folder's page on all cores, each folder's after those of the folders inside
    // it, so that a page links a folder's page only where it was written. Returns the results
    // in the tree's order; `done` is told of each one as it ends, one at a time.
    std::vector<PageResult> write(const PageWrite &write,
                                  const std::function<void(const PageResult &)> &done = {}) const;

private:
    class Opener;

    int m_rootFd = -1;
    std::vector<TreeFolder> m_folders;
};
