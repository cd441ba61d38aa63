#include "watchedtree.h"

#include "filenames.h"
#include "filesystem.h"
#include "folderlisting.h"
#include "systemerror.h"
#include "thumbnailcaches.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

FolderKey keyOf(const TreeFolder &folder)
{
    return {folder.device, folder.inode};
}

} // namespace

WatchedTree::WatchedTree(const QString &root, int maxDepth, bool links)
    : m_root(root)
    , m_maxDepth(maxDepth)
    , m_links(links)
    , m_tree(std::make_unique<FolderTree>())
{}

void ignoreOwnNames(ChangeWatch &watch)
{
    watch.ignoreEverywhere(pageFileName().toUtf8());
    watch.ignoreEverywhere(sharedThumbnailFolder);
}

int WatchedTree::read(const Selection &selection, const QLocale &locale, ChangeWatch *watch)
{
    // Coarse, as file times are: a change in the same tick still counts as after.
    timespec readAt;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &readAt);
    auto tree = std::make_unique<FolderTree>();
    FolderTree::Entered entered;
    if (watch) {
        // The walk's own descriptors: opening each folder again from the top costs as much as
        // the walk itself.
        entered = [this, watch](int fd, quint64 device, quint64 inode) {
            const FolderKey key{device, inode};
            if (m_enterError != 0 || m_entered.contains(key) || m_renewed.contains(key))
                return;
            // The watch of a deleted folder, ended by the kernel or not yet, is not this one's.
            if (m_watched.contains(key) && watch->isWatched(key)) {
                bool renewed = false;
                if (const int error = watch->renew(fd, key, renewed); error != 0)
                    m_enterError = error;
                else if (renewed)
                    m_renewed.insert(key);
                return;
            }
            if (const int error = watch->add(fd, key); error != 0)
                m_enterError = error;
            else
                m_entered.insert(key);
        };
    }
    const int error = tree->read(m_root, selection, locale, m_maxDepth, entered);
    const FolderKey top = error == 0 ? keyOf(tree->folders().front()) : FolderKey();
    // Another folder now at the name is not the one watched.
    if (error != 0 || (m_top != FolderKey() && top != m_top)) {
        if (watch)
            dropEntered(*watch);
        return error != 0 ? error : ENOENT;
    }
    m_top = top;
    m_readAt = readAt;
    m_tree = std::move(tree);
    m_index.clear();
    const std::vector<TreeFolder> &folders = m_tree->folders();
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (folders[i].error == 0)
            m_index.insert(keyOf(folders[i]), qsizetype(i));
    }
    // Entered, then unreadable: not in the tree, so not watched.
    m_renewed.removeIf([this](const FolderKey &key) { return !m_index.contains(key); });
    for (auto it = m_entered.begin(); it != m_entered.end();) {
        if (m_index.contains(*it)) {
            ++it;
        } else {
            watch->remove(*it);
            it = m_entered.erase(it);
        }
    }
    return 0;
}

void WatchedTree::dropEntered(ChangeWatch &watch)
{
    for (const FolderKey &key : std::as_const(m_entered))
        watch.remove(key);
    m_entered.clear();
    m_renewed.clear();
    m_enterError = 0;
}

std::vector<FolderKey> WatchedTree::subtree(FolderKey key) const
{
    std::vector<FolderKey> keys;
    const auto found = m_index.constFind(key);
    if (found == m_index.cend())
        return keys;
    const std::vector<TreeFolder> &folders = m_tree->folders();
    std::vector<qsizetype> next{*found};
    while (!next.empty()) {
        const TreeFolder &folder = folders[std::size_t(next.back())];
        next.pop_back();
        if (folder.error == 0)
            keys.push_back(keyOf(folder));
        next.insert(next.end(), folder.subfolders.begin(), folder.subfolders.end());
    }
    return keys;
}

FileDescriptor WatchedTree::openFolder(qsizetype index, int &error) const
{
    const std::vector<TreeFolder> &folders = m_tree->folders();
    std::vector<qsizetype> chain;
    for (qsizetype at = index; at > 0; at = folders[std::size_t(at)].parent)
        chain.push_back(at);
    FileDescriptor fd = ::openFolder(m_root);
    if (!fd.isOpen() || folderKey(fd.get()) != m_top) {
        error = fd.isOpen() ? int(ENOENT) : errno;
        return FileDescriptor();
    }
    // Name by name from the top, never through a link, as the tree was read.
    for (auto at = chain.crbegin(); at != chain.crend(); ++at) {
        const TreeFolder &folder = folders[std::size_t(*at)];
        FileDescriptor below(::openat(fd.get(), folder.name.constData(),
                                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!below.isOpen()) {
            error = errno;
            return FileDescriptor();
        }
        // An empty key is a folder whose status could not be read, not another folder.
        const FolderKey key = folderKey(below.get());
        if (key != keyOf(folder)) {
            error = key == FolderKey() ? errno : int(ErrorFolderReplaced);
            return FileDescriptor();
        }
        fd = std::move(below);
    }
    return fd;
}

int WatchedTree::sync(ChangeWatch &watch, std::vector<FolderKey> *added,
                      std::vector<FolderKey> *stale)
{
    if (const int error = m_enterError; error != 0) {
        dropEntered(watch);
        return error;
    }
    // Watched before they were read: none of them can be stale.
    std::vector<FolderKey> now(m_entered.cbegin(), m_entered.cend());
    for (auto it = m_index.cbegin(); it != m_index.cend(); ++it) {
        if ((m_watched.contains(it.key()) && watch.isWatched(it.key()))
            || m_entered.contains(it.key()))
            continue;
        int error = 0;
        const FileDescriptor fd = openFolder(it.value(), error);
        // One already gone again is told by its parent's events.
        if (!fd.isOpen())
            continue;
        if (const int failed = watch.add(fd.get(), it.key()); failed != 0) {
            for (const FolderKey &key : now)
                watch.remove(key);
            m_entered.clear();
            m_renewed.clear();
            return failed;
        }
        now.push_back(it.key());
        struct stat st;
        if (stale && ::fstat(fd.get(), &st) == 0
            && (st.st_ctim.tv_sec > m_readAt.tv_sec
                || (st.st_ctim.tv_sec == m_readAt.tv_sec
                    && st.st_ctim.tv_nsec >= m_readAt.tv_nsec)))
            stale->push_back(it.key());
    }
    m_entered.clear();
    m_watch = &watch;
    for (auto it = m_watched.begin(); it != m_watched.end();) {
        if (m_index.contains(*it)) {
            ++it;
            continue;
        }
        watch.remove(*it);
        m_written.remove(*it);
        it = m_watched.erase(it);
    }
    for (const FolderKey &key : now)
        m_watched.insert(key);
    if (added) {
        added->insert(added->end(), now.begin(), now.end());
        added->insert(added->end(), m_renewed.cbegin(), m_renewed.cend());
    }
    m_renewed.clear();
    return 0;
}

void WatchedTree::unwatch(ChangeWatch &watch)
{
    for (const FolderKey &key : std::as_const(m_watched))
        watch.remove(key);
    m_watched.clear();
    m_watch = nullptr;
}

std::vector<PageResult> WatchedTree::writeAll(const FolderPageRequest &request,
                                              const PageServices &services,
                                              const std::function<void(const PageResult &)> &done)
{
    std::vector<PageResult> results;
    if (m_links) {
        results = writeTreePages(*m_tree, request, services, done);
    } else {
        int error = 0;
        const FileDescriptor fd = openFolder(0, error);
        if (fd.isOpen()) {
            results.push_back(writeFolderPage(m_root, fd.get(), request, services));
        } else {
            results.emplace_back();
            results.back().error = folderReadError(m_root, error);
        }
        if (done)
            done(results.back());
    }
    const std::vector<TreeFolder> &folders = m_tree->folders();
    for (std::size_t i = 0; i < results.size(); ++i)
        m_written.insert(keyOf(folders[i]), results[i].ok());
    return results;
}

std::optional<PageResult> WatchedTree::writePage(qsizetype index, const FolderPageRequest &request,
                                                 const PageServices &services)
{
    const std::vector<TreeFolder> &folders = m_tree->folders();
    const TreeFolder &folder = folders[std::size_t(index)];
    PageResult result;
    int error = 0;
    const auto movedAway = [](int error) {
        return error == ENOENT || error == ENOTDIR || error == ELOOP
               || error == ErrorFolderReplaced;
    };
    const FileDescriptor fd = openFolder(index, error);
    if (!fd.isOpen()) {
        // Moved, deleted or swapped since the tree was read: the events that tell so read it
        // again, and a page that follows is the one of the folder's new place.
        if (movedAway(error))
            return std::nullopt;
        result.pagePath = folder.path + pageFileName();
        result.error = folderReadError(folder.path, error);
        return result;
    }
    FolderLinks links;
    PageServices folderServices = services;
    folderServices.opener = nullptr;
    if (m_links) {
        links.parent = folder.parent >= 0;
        for (const qsizetype below : folder.subfolders) {
            const TreeFolder &subfolder = folders[std::size_t(below)];
            links.subfolders.push_back(
                {decodeFileName(subfolder.name),
                 subfolder.error == 0 && m_written.value(keyOf(subfolder), true)});
        }
        folderServices.folderLinks = &links;
    }
    result = writeFolderPage(folder.path, fd.get(), request, folderServices);
    // Gone while its page was written: as gone before.
    if (result.outcome == PageResult::Failed && !openFolder(index, error).isOpen()
        && movedAway(error))
        return std::nullopt;
    m_written.insert(keyOf(folder), result.ok());
    return result;
}

void WatchedTree::writePages(const std::vector<FolderKey> &keys, const FolderPageRequest &request,
                             const PageServices &services,
                             const std::function<void(const PageResult &)> &done,
                             const std::function<bool()> &stop)
{
    std::vector<qsizetype> indexes;
    for (const FolderKey &key : keys) {
        if (const auto found = m_index.constFind(key); found != m_index.cend())
            indexes.push_back(*found);
    }
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    const std::vector<TreeFolder> &folders = m_tree->folders();
    std::stable_sort(indexes.begin(), indexes.end(), [&folders](qsizetype a, qsizetype b) {
        return folders[std::size_t(a)].depth > folders[std::size_t(b)].depth;
    });
    for (const qsizetype index : indexes) {
        if (stop && stop())
            return;
        const std::optional<PageResult> result = writePage(index, request, services);
        // A page is a few events: many pages, read only now and then, would fill a small queue,
        // and its overflow means every page again, and again.
        if (m_watch)
            m_watch->keep();
        if (done && result)
            done(*result);
    }
}
