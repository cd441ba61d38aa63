#pragma once

#include "audiotags.h"
#include "foldertree.h"
#include "photodate.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

// What an entry is, as it stands in its folder (a link is a link, wherever it leads).
enum class EntryType : quint8 {
    File,
    Folder,
    Link,
    Other,
};

struct EntryStatus
{
    EntryType type = EntryType::Other;
    bool known = false;    // whether the entry could be looked at
    qint64 size = 0;       // of what a link leads to, or of the link where it leads nowhere
    qint64 mtimeNs = 0;    // the same, in nanoseconds since the Unix epoch
    qsizetype target = -1; // a link's target, in FolderEntries::targets
    int error = 0;         // why it could not be looked at, or 0 (also when it was gone)
};

// The statuses of one folder's entries, in the order of its listings.
struct FolderEntries
{
    std::vector<EntryStatus> files;   // by index into TreeFolder::files
    std::vector<EntryStatus> folders; // by index into TreeFolder::folderEntries
    std::vector<qsizetype> entered;   // by the same index: the folder in the tree, or -1
    QByteArrayList targets;           // raw
    int error = 0;                    // why the folder could not be read, or 0
    // Where read (readTakenDates): when each photo was taken, by index into files, and the
    // order to list the files in where it is not the listing's.
    std::vector<std::optional<PhotoDate>> taken = {};
    std::vector<qsizetype> order = {};
    // By index into TreeFolder::files, where readEntryTags read them; else empty.
    std::vector<std::optional<AudioTags>> tags = {};
};

// A tree together with the status of every entry in it: what the catalogue and JSON writers
// take, so that neither looks at the file system.
struct TreeEntries
{
    const FolderTree *tree = nullptr;
    QString root;                       // the folder given, absolute, ending in "/"
    std::vector<FolderEntries> folders; // by index into the tree
    qint64 files = 0;
};

// Looks at every entry of the tree once, on the pool, each folder through its open descriptor.
// `done` is told, one folder at a time, how many folders are done and how many files they held.
TreeEntries lookUpEntries(const FolderTree &tree,
                          const std::function<void(qsizetype folders, qint64 files)> &done = {});
