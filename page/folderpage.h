#pragma once

#include "foldertree.h"
#include "listing.h"
#include "modernpage.h"
#include "pagewriter.h"
#include "selection.h"
#include "thumbnails.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

// What is asked of a folder's page beyond the page's own options.
struct FolderPageRequest
{
    PageOptions page;
    Selection selection;
    bool thumbnails = false; // small pictures, made beside the images, in place of the full ones
    PageStyle style = PageStyle::Classic;
    bool tags = false; // a modern page shows the music files' tags and players
    // Told what making a folder's thumbnails left out; called from the threads that make pages.
    std::function<void(const QString &folder, const ThumbnailRun &run)> thumbnailsMade = {};
};

// Reads the folder open as `folderFd` once, chooses its files, makes their thumbnails where asked
// and writes its page. `files`, where given, receives the listing the page was made from, when
// the folder could be read.
PageResult writeFolderPage(const QString &CurrentPath, int folderFd,
                           const FolderPageRequest &request, const PageServices &services,
                           std::optional<Listing> *files = nullptr);

// The same for a folder whose files are listed already.
PageResult writeListedPage(const QString &CurrentPath, int folderFd, const Listing &files,
                           const FolderPageRequest &request, PageServices services);

// Every page of a tree, each after those of the folders inside it and linked to them; of a whole
// tree only the top page is opened. Returns the results in the tree's order; `done` is told of
// each one as it ends, one at a time.
std::vector<PageResult> writeTreePages(const FolderTree &tree, const FolderPageRequest &request,
                                       const PageServices &services,
                                       const std::function<void(const PageResult &)> &done = {});
