#include "treeentries.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

qint64 nanoseconds(const struct timespec &time)
{
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

EntryStatus lookUp(int folderFd, const char *rawName, QByteArrayList &targets)
{
    EntryStatus status;
    struct stat st;
    if (::fstatat(folderFd, rawName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // An entry deleted since the folder was read is a folder that changed, not a failure.
        status.error = errno == ENOENT ? 0 : errno;
        return status;
    }
    status.known = true;
    if (S_ISLNK(st.st_mode)) {
        status.type = EntryType::Link;
        QByteArray target(qsizetype(st.st_size > 0 ? st.st_size : 255), Qt::Uninitialized);
        const ssize_t length =
            ::readlinkat(folderFd, rawName, target.data(), std::size_t(target.size()));
        if (length >= 0) {
            target.truncate(qsizetype(length));
            status.target = targets.size();
            targets << target;
        }
        // As the pages do: the size and time of what the link leads to.
        struct stat led;
        if (::fstatat(folderFd, rawName, &led, 0) == 0)
            st = led;
    } else if (S_ISREG(st.st_mode)) {
        status.type = EntryType::File;
    } else if (S_ISDIR(st.st_mode)) {
        status.type = EntryType::Folder;
    }
    status.size = st.st_size;
    status.mtimeNs = nanoseconds(st.st_mtim);
    return status;
}

} // namespace

TreeEntries lookUpEntries(const FolderTree &tree,
                          const std::function<void(qsizetype folders, qint64 files)> &done)
{
    const std::vector<TreeFolder> &folders = tree.folders();
    TreeEntries entries;
    entries.tree = &tree;
    if (!folders.empty())
        entries.root = folders.front().path;
    entries.folders.resize(folders.size());
    std::mutex reporting;
    qsizetype finished = 0;
    tree.visitChildrenFirst([&](qsizetype index, int folderFd, int error) {
        const TreeFolder &folder = folders[std::size_t(index)];
        FolderEntries &out = entries.folders[std::size_t(index)];
        out.error = error;
        // The folders entered are those of folderEntries the walk kept, in the same order.
        out.entered.assign(std::size_t(folder.folderEntries.count()), -1);
        std::size_t next = 0;
        for (qsizetype i = 0; i < folder.folderEntries.count() && next < folder.subfolders.size();
             ++i) {
            const qsizetype below = folder.subfolders[next];
            if (std::strcmp(folder.folderEntries.rawName(i),
                            folders[std::size_t(below)].name.constData())
                == 0) {
                out.entered[std::size_t(i)] = below;
                ++next;
            }
        }
        if (folderFd >= 0) {
            out.files.reserve(std::size_t(folder.files.count()));
            for (qsizetype i = 0; i < folder.files.count(); ++i)
                out.files.push_back(lookUp(folderFd, folder.files.rawName(i), out.targets));
            out.folders.reserve(std::size_t(folder.folderEntries.count()));
            for (qsizetype i = 0; i < folder.folderEntries.count(); ++i)
                out.folders.push_back(
                    lookUp(folderFd, folder.folderEntries.rawName(i), out.targets));
        } else {
            out.files.resize(std::size_t(folder.files.count()));
            out.folders.resize(std::size_t(folder.folderEntries.count()));
        }
        const std::lock_guard lock(reporting);
        entries.files += folder.files.count();
        ++finished;
        if (done)
            done(finished, entries.files);
    });
    return entries;
}
