#pragma once

#include "filesystem.h"
#include "listing.h"
#include "pagerun.h"

#include <QString>

#include <functional>
#include <string>

// What the ranges take from the page they are written into.
struct RangePage
{
    // Appends an entry's line and returns the kilobytes it counts; called on several threads at
    // once.
    std::function<qint64(QString &line, const QString &name, const FileStatus &status)> appendLine;
    // Writes lines in Windows-1252, in order; false once it failed, having said why.
    std::function<bool(const std::string &bytes)> write;
    // Ends the page for the failure the sentence tells; returns false.
    std::function<bool(QString sentence)> fail;
    // Ends the page on a cancel.
    std::function<void()> discard;
};

// The lines a walk of walkPageEntries() would write for a page of one line an entry: ranges of
// entries are looked up and made on the pool's threads ahead of the caller, which writes them in
// order and makes any range not yet taken itself, so the bytes do not change and no thread waits
// for a slow one at every step. Progress is told and a cancel heard before each batch of entries
// instead of each entry. Returns true once every entry is written; otherwise `page` has been ended,
// or cancelled.
bool writeEntriesInRanges(const QString &currentPath, const Listing &files,
                          const PageServices &services, PageResult &result, const RangePage &page);
