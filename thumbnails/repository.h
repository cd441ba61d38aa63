#pragma once

#include "filedescriptor.h"
#include "thumbnailcaches.h"

#include <QByteArray>
#include <QSize>

#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

class ReplacementBatch;

// The folder's thumbnail repository and its rules: where each thumbnail goes, which entries
// still show their image, which are ours to replace, and who may read them.
namespace Repository {

inline const QByteArray folderName = sharedThumbnailFolder;
// What the names of thumbnails being written start with, before their process's number.
inline const QByteArray temporaryPrefix = ".folimbra-";
inline const QByteArray sizeFolders[] = {"large", "x-large"}; // of thumbnailEdges

struct Image
{
    FileDescriptor fd;
    struct stat st = {};
    QByteArray uri;
    QByteArray name; // of its thumbnails
};

enum class Entry {
    Missing,
    OwnFresh,
    OwnStale,
    ForeignFresh,
    ForeignStale
};

struct Found
{
    Entry entry = Entry::Missing;
    QSize shown;   // the image's oriented size, as the entry tells it
    int error = 0; // why an entry there could not be read, where the disk is at fault
};

// What stands at the thumbnail's name, and whether it still shows the image. Our own entries
// get the image's mode and group back if they drifted.
Found inspect(int repository, const Image &image);

// The keys a thumbnail of the image carries, which inspect() reads back.
std::vector<std::pair<QByteArray, QByteArray>> thumbnailKeys(const QByteArray &uri,
                                                             const struct stat &st, QSize oriented);

// Complete but under a hidden name in `batch`, which makes it durable and puts it in place with
// the others: one sync for the run instead of one wait per file. A crash before leaves only hidden
// files, which the next run removes; never a short PNG under the thumbnail's name.
// Returns 0 or why the thumbnail could not be saved.
int save(int repository, const Image &image, const QByteArray &png, ReplacementBatch &batch);

QByteArray thumbnailUri(const QByteArray &rawName);

QByteArray thumbnailFile(int size, const QByteArray &name);

enum class Opened {
    Yes,
    Refused,
    Failed
};

// Opens a folder of the repository below `parent`, making it first if missing, with the mode
// and group given whatever the umask. A link or file planted at the name is refused rather than
// followed, so thumbnails never land outside the folder.
Opened openRepository(int parent, const QByteArray &name, mode_t mode, gid_t group,
                      FileDescriptor &fd);

// Temporary files that runs of this program left when they were killed.
void removeLeftovers(int repository);

} // namespace Repository
