#include "thumbnailcaches.h"

#include "filedescriptor.h"

#include <QByteArray>

#include <algorithm>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

FolderIdentity identity(const struct stat &st)
{
    return {st.st_dev, st.st_ino};
}

} // namespace

std::vector<FolderIdentity> personalThumbnailCaches()
{
    const QByteArray home = qgetenv("HOME");
    QByteArray cache = qgetenv("XDG_CACHE_HOME");
    // A relative value is to be ignored.
    if (!cache.startsWith('/'))
        cache = home.isEmpty() ? QByteArray() : home + "/.cache";
    std::vector<FolderIdentity> caches;
    for (const QByteArray &path : {cache.isEmpty() ? QByteArray() : cache + "/thumbnails",
                                   home.isEmpty() ? QByteArray() : home + "/.thumbnails"}) {
        struct stat st;
        if (!path.isEmpty() && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            caches.push_back(identity(st));
    }
    return caches;
}

bool isInThumbnailFolder(int folderFd)
{
    const std::vector<FolderIdentity> caches = personalThumbnailCaches();
    struct stat st;
    if (::fstat(folderFd, &st) != 0)
        return false;
    FileDescriptor above;
    int at = folderFd;
    // Up to the root, whose ".." is itself; a folder that cannot be gone up from ends the walk.
    for (int depth = 0; depth < 4096; ++depth) {
        const FolderIdentity here = identity(st);
        if (std::find(caches.begin(), caches.end(), here) != caches.end())
            return true;
        FileDescriptor parent(::openat(at, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat parentSt;
        struct stat named;
        if (!parent.isOpen() || ::fstat(parent.get(), &parentSt) != 0 || identity(parentSt) == here)
            return false;
        if (::fstatat(parent.get(), sharedThumbnailFolder, &named, AT_SYMLINK_NOFOLLOW) == 0
            && identity(named) == here)
            return true;
        above = std::move(parent);
        at = above.get();
        st = parentSt;
    }
    return false;
}
