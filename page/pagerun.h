#pragma once

#include "audiotags.h"
#include "codepagefile.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class Clock;
struct PhotoDate;
class DocumentOpener;
class LocaleText;
class ReplacementBatch;

// What a run of any kind of page takes from its surroundings and gives back.

inline QString pageFileName()
{
    return QStringLiteral("Quorvel-Html_index.html");
}

// Whether `rawName` is a name the page has for a moment while it replaces the old one.
inline bool isPageTemporaryName(const char *rawName)
{
    return isTemporaryNameOf(rawName, "Quorvel-Html_index.html");
}

// A small picture to show in place of the full image: a file of the folder, and the size to
// show it at.
struct PagePicture
{
    QByteArray file; // raw bytes, relative to the folder
    int width = 0;
    int height = 0;
    // The same at twice the pixels, for screens that have them, or empty.
    QByteArray file2x = {};
};

// A folder below, and whether its page is there to link to (else the folder itself is linked).
struct FolderLink
{
    QString name;
    bool hasPage = true;
};

// Lines that lead to the pages of other folders, before the files.
struct FolderLinks
{
    bool parent = false;                // a line to the page of the folder above
    std::vector<FolderLink> subfolders; // in the order to list them
};

// What the page takes from its surroundings; a null locale or clock stands for the system's own,
// and without an opener the finished page is not shown.
struct PageServices
{
    const LocaleText *locale = nullptr;
    const Clock *clock = nullptr;
    DocumentOpener *opener = nullptr;
    // Called every few thousand entries with how many of how many are written.
    std::function<void(qsizetype done, qsizetype total)> progress;
    // Asked before each entry; true stops the run there, as a failure with no message.
    std::function<bool()> cancelled;
    // Where set, an image file's picture line shows this picture, linked to the image.
    std::function<std::optional<PagePicture>(const QString &name)> picture;
    const FolderLinks *folderLinks = nullptr;
    // Where set, the tags of the folder's music files, by name, read before the page; a modern
    // page then shows them with a player for each track.
    const QHash<QString, AudioTags> *tags = nullptr;
    // The folder already open: it is read and written through this descriptor, which stays the
    // caller's, so a folder swapped for another mid-run is not written into. CurrentPath then
    // only names it in messages.
    int folderFd = -1;
    // When the page's run began, on the clock's monotonic count, where reading the folder came
    // before; else it begins with the writing.
    qint64 startedNs = -1;
    // Where set, the page is left complete under a hidden name for this batch to sync and put in
    // place with others, and is not yet in place when the run returns.
    ReplacementBatch *batch = nullptr;
    // How a tree's pages are synced before they are put in place; null is syncfs(). Returns 0 or
    // an errno value.
    int (*syncFileSystem)(int fd) = nullptr;
    // How many of a tree's pages may wait for that sync at once; 0 is as many as the open folders
    // allow.
    std::size_t mostWaiting = 0;
    // Where the old page is a file of ours with the same bytes but for the time it was made and
    // how long that took, it is left as it was (PageResult::left).
    bool keepEqual = false;
    // Where set, when the photo of that name was taken, or null (the modern page shows it).
    std::function<const PhotoDate *(const QString &name)> taken;
};

struct PageResult
{
    enum Outcome {
        Failed,
        Written,
        Cancelled,
    };
    Outcome outcome = Failed;
    bool ok() const { return outcome == Written; }

    QString pagePath;
    // The entry being listed when the run ended, the last one or the failing one: its path, and
    // its place in the listing (-1 before the first).
    QString CurrentFile;
    qsizetype listIndex = -1;
    qint64 fileCount = 0;
    qint64 totalKilobytes = 0;
    // Written, and found equal to the old page, which was left in place (keepEqual).
    bool left = false;
    // On failure, what failed and on which file, for a message box.
    QString error;
};
