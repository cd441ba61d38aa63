#pragma once

#include "pagewriter.h"
#include "selection.h"

#include <QString>

#include <functional>
#include <vector>

// A folder of a tree and the links its page starts with.
struct TreeFolder
{
    QString path; // ends in "/"
    FolderLinks links;
};

// The folder and every folder below it, the folder first and each folder before those inside
// it. Links to folders are not followed, ".sh_thumbnails" (where thumbnails are kept) is not
// entered, and the selection leaves folders out as it leaves files out. A folder that cannot
// be read is listed without subfolders: writing its page reports it.
std::vector<TreeFolder> folderTree(const QString &root, const Selection &selection,
                                   const QLocale &locale = QLocale());

// Runs `write` for every folder of the tree on all cores and returns the results in the tree's
// order; `done` is told of each one as it ends, one at a time.
std::vector<PageResult> writeTree(const std::vector<TreeFolder> &folders,
                                  const std::function<PageResult(const TreeFolder &)> &write,
                                  const std::function<void(const PageResult &)> &done = {});
