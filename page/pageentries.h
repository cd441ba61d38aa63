#pragma once

#include "filesystem.h"
#include "listing.h"
#include "pagewriter.h"

#include <QString>

#include <functional>

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
