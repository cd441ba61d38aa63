#pragma once

#include "jsonwriter.h"
#include "treeentries.h"

#include <QDateTime>
#include <QString>

#include <vector>

// What the catalogue says of itself besides its trees.
struct CatalogInfo
{
    QDateTime made;  // when the trees were read
    QString program; // name and version
};

// One HTML file that needs no server and no network: a folder tree with every folder's files,
// searched as one types. The trees travel in it compressed (deflate, base64), decoded by the
// browser's DecompressionStream; names are given as the pages show them, and links to files
// as file: URLs of their exact bytes, so the catalogue still leads to them when it is kept
// elsewhere than the folders. The time it was made goes to `varying` where given, as the one
// part that changes on every run. Returns false when the sink failed.
bool writeCatalog(const std::vector<const TreeEntries *> &trees, const CatalogInfo &info,
                  const ByteSink &sink, const ByteSink &varying = {});

// The catalogue's data before compression: {"f":[[parent, name, error, [name, size, seconds,
// ...], [name of a folder not entered, ...]], ...], "r":{"folder": "file:///.../"}}. A name is a
// string, an array where characters that could make it pass for another stand as their code points
// among the text, or
// {"s": that, "u": the percent-encoded bytes} for a name that is not UTF-8.
std::string catalogData(const std::vector<const TreeEntries *> &trees);
