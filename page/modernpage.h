#pragma once

#include "pagewriter.h"
#include "selection.h"

#include <QByteArray>
#include <QString>

#include <vector>

// The page for today's browsers: the same entries in the same order as the classic page, in
// UTF-8, with sorting, a filter and pictures done by its own inline script and style, which its
// Content-Security-Policy admits by their hashes and nothing else.

enum class PageStyle {
    Classic, // the window's page, byte for byte
    Modern,
};

// A folder below, as the page lists it before the files.
struct ModernFolder
{
    QString name;
    bool hasPage = true;
    qint64 bytes = -1; // what the files in it and below weigh, or -1 where not known
};

// Where the page stands in a tree of pages.
struct ModernPlace
{
    std::vector<QString> above; // the folders above, the top one first, as shown
    std::vector<ModernFolder> subfolders;
};

// What the page takes beyond the classic page's options.
struct ModernPageExtras
{
    Selection::Sort sort = Selection::Sort::Name; // the order the listing is in
    bool reverse = false;
    const ModernPlace *place = nullptr;
    qint64 *totalBytes = nullptr; // receives what the listed files weigh
};

// Rows in each <tbody> but the last: the unit the browser skips while it is off screen.
inline constexpr int modernRowsPerBody = 256;

// The inline style and script, and the policy that admits them: "'sha256-…'" of their bytes.
QByteArray modernPageStyle();
QByteArray modernPageScript();
QByteArray modernPagePolicy();
// The same, where the page plays the folder's music or videos too.
QByteArray modernPagePolicy(bool media);

// A size as people read it in Spanish: "0 bytes", "1 byte", "1,2 kB", "34 MB" (powers of 1000).
QString readableSize(qint64 bytes);
void appendReadableSize(QString &out, qint64 bytes);

// Writes the page as writeIndexPage does (same name, same safe replacement, same result).
PageResult writeModernPage(const QString &CurrentPath, const Listing &files, PageOptions options,
                           const PageServices &services, const ModernPageExtras &extras);
