#pragma once

#include "filesystem.h"
#include "listing.h"
#include "pagerun.h"

#include <QString>

#include <cerrno>
#include <functional>

// How a page takes one of its files.
enum class PageEntry {
    Listed,  // with its status
    LeftOut, // the page itself, another run's page being written, or a file gone since the read
    Failed,  // its status could not be looked up; the error value says why
};

// Whether `name` is the page, or another run's page on its way in.
bool isPageFile(const QString &name, const char *rawName);

// Takes entry `i`, named `name`, of a page's files: its status as the listing holds it, or as
// `lookUp(FileStatus &)` finds it, which returns 0 or an errno value.
template <typename LookUp>
PageEntry takePageEntry(const Listing &files, qsizetype i, const QString &name,
                        const LookUp &lookUp, FileStatus &status, int &error)
{
    if (isPageFile(name, files.rawName(i)))
        return PageEntry::LeftOut;
    if (const FileStatus *known = files.status(i)) {
        status = *known;
        return PageEntry::Listed;
    }
    error = lookUp(status);
    if (error == 0)
        return PageEntry::Listed;
    // Gone since the folder was read: in a busy folder that is no failure of the page.
    return error == ENOENT ? PageEntry::LeftOut : PageEntry::Failed;
}

// Walks the files a page lists, in the listing's order, for every kind of page: each one's size
// and time are looked up (ahead of the caller, where there are many); the page itself, other
// runs' pages being written and files gone since the folder was read are left out; progress is
// told, and a cancel heard, before each entry. `entry` returns false to stop, having said why.
// Returns true once every entry is written; otherwise `failure` holds the sentence of a failed
// lookup, or is empty after a cancel (the outcome then says so) or a stop.
bool walkPageEntries(
    const QString &currentPath, const Listing &files, const PageServices &services,
    PageResult &result,
    const std::function<bool(const QString &name, const FileStatus &status)> &entry,
    QString &failure);
