#include "foldertree.h"

#include "filenames.h"
#include "systemerror.h"
#include "thumbnailcaches.h"
#include "workpool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int subfolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// What opening a folder by name found in its place, when that was no folder.
bool isNoFolder(int error)
{
    return error == ELOOP || error == ENOTDIR;
}

} // namespace

// Opens folders of the tree relative to the ones above them, keeping the chain of the last one
// open: a tree is written level by level in its own order, so the next folder is nearly always
// a sibling or the parent of the last, one call away.
class FolderTree::Opener
{
public:
    explicit Opener(const FolderTree &tree)
        : m_tree(tree)
    {}
    Opener(const Opener &) = delete;
    Opener &operator=(const Opener &) = delete;
    ~Opener() { closeFrom(0); }

    // Returns the folder's descriptor, valid until the next call, or -1 with `error` set.
    int open(qsizetype index, int &error)
    {
        std::vector<qsizetype> path;
        for (qsizetype at = index; at > 0; at = m_tree.m_folders[std::size_t(at)].parent)
            path.push_back(at);
        std::reverse(path.begin(), path.end());
        std::size_t kept = 0;
        while (kept < m_chain.size() && kept < path.size() && m_chain[kept].first == path[kept])
            ++kept;
        closeFrom(kept);
        for (std::size_t i = kept; i < path.size(); ++i) {
            const TreeFolder &folder = m_tree.m_folders[std::size_t(path[i])];
            const int above = m_chain.empty() ? m_tree.m_root.get() : m_chain.back().second;
            const int fd = ::openat(above, folder.name.constData(), subfolderFlags);
            if (fd < 0) {
                error = isNoFolder(errno) ? int(ErrorFolderReplaced) : errno;
                return -1;
            }
            struct stat st;
            if (::fstat(fd, &st) != 0) {
                error = errno;
                ::close(fd);
                return -1;
            }
            if (st.st_dev != folder.device || st.st_ino != folder.inode) {
                ::close(fd);
                error = ErrorFolderReplaced;
                return -1;
            }
            m_chain.emplace_back(path[i], fd);
        }
        return m_chain.empty() ? m_tree.m_root.get() : m_chain.back().second;
    }

private:
    void closeFrom(std::size_t kept)
    {
        for (std::size_t i = kept; i < m_chain.size(); ++i)
            ::close(m_chain[i].second);
        m_chain.resize(std::min(kept, m_chain.size()));
    }

    const FolderTree &m_tree;
    std::vector<std::pair<qsizetype, int>> m_chain; // below the top folder, which stays open
};

int FolderTree::read(const QString &root, const Selection &selection, const QLocale &locale,
                     int maxDepth, const Entered &entered)
{
    m_folders.clear();
    m_root = openFolder(root);
    struct stat st;
    if (!m_root.isOpen() || ::fstat(m_root.get(), &st) != 0)
        return errno;
    m_folders.push_back({root, {}, -1, 0, st.st_dev, st.st_ino, 0, {}, {}, {}});

    // The folders being walked, each with its descriptor and the subfolders still to enter.
    struct Frame
    {
        qsizetype index;
        int fd;
        Listing subfolders;
        qsizetype next = 0;
    };
    std::vector<Frame> walk;
    walk.push_back({0, m_root.get(), {}});
    if (entered)
        entered(m_root.get(), st.st_dev, st.st_ino);
    m_folders[0].error = Listing::readFolder(m_root.get(), selection, locale, m_folders[0].files,
                                             walk.back().subfolders);
    m_folders[0].folderEntries = walk.back().subfolders;
    if (maxDepth == 0)
        walk.back().subfolders = {};
    // Thumbnails of thumbnails and pages among them are of no use to anyone.
    const std::vector<FolderIdentity> caches = personalThumbnailCaches();
    while (!walk.empty()) {
        Frame &top = walk.back();
        if (top.next == top.subfolders.count()) {
            if (top.fd != m_root.get())
                ::close(top.fd);
            walk.pop_back();
            continue;
        }
        const qsizetype at = top.next++;
        const QString name = top.subfolders.name(at);
        if (name == QLatin1StringView(sharedThumbnailFolder))
            continue;
        const int fd = ::openat(top.fd, top.subfolders.rawName(at), subfolderFlags);
        if (fd < 0 && isNoFolder(errno))
            continue; // a link to a folder, never followed
        const TreeFolder &above = m_folders[std::size_t(top.index)];
        TreeFolder folder{above.path + name + u'/',
                          top.subfolders.rawName(at),
                          top.index,
                          above.depth + 1,
                          0,
                          0,
                          0,
                          {},
                          {},
                          {}};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            folder.error = errno;
        } else if (std::find(caches.begin(), caches.end(), FolderIdentity(st.st_dev, st.st_ino))
                   != caches.end()) {
            ::close(fd);
            continue;
        } else {
            folder.device = st.st_dev;
            folder.inode = st.st_ino;
        }
        const auto index = qsizetype(m_folders.size());
        m_folders[std::size_t(top.index)].subfolders.push_back(index);
        m_folders.push_back(std::move(folder));
        if (fd >= 0 && m_folders.back().error != 0) {
            ::close(fd);
        } else if (fd >= 0) {
            Frame inside{index, fd, {}};
            if (entered)
                entered(fd, st.st_dev, st.st_ino);
            m_folders.back().error = Listing::readFolder(fd, selection, locale,
                                                         m_folders.back().files, inside.subfolders);
            m_folders.back().folderEntries = inside.subfolders;
            if (maxDepth >= 0 && m_folders.back().depth >= maxDepth)
                inside.subfolders = {};
            walk.push_back(std::move(inside));
        }
    }
    return 0;
}

void FolderTree::visitChildrenFirst(const Visit &visit) const
{
    std::vector<std::vector<qsizetype>> levels;
    for (std::size_t i = 0; i < m_folders.size(); ++i) {
        const auto depth = std::size_t(m_folders[i].depth);
        if (levels.size() <= depth)
            levels.resize(depth + 1);
        levels[depth].push_back(qsizetype(i));
    }

    WorkPool &pool = WorkPool::instance();
    std::vector<std::unique_ptr<Opener>> openers;
    for (int t = 0; t <= pool.size(); ++t)
        openers.push_back(std::make_unique<Opener>(*this));
    // The deepest folders first: a level starts only when the one below it is done.
    for (auto level = levels.crbegin(); level != levels.crend(); ++level) {
        std::atomic<std::size_t> next = 0;
        pool.run(int(std::min<std::size_t>(std::size_t(pool.size()), level->size() - 1)),
                 [&](int participant) {
                     Opener &opener = *openers[std::size_t(participant)];
                     for (std::size_t k = next++; k < level->size(); k = next++) {
                         const qsizetype index = (*level)[k];
                         int error = m_folders[std::size_t(index)].error;
                         const int fd = error == 0 ? opener.open(index, error) : -1;
                         visit(index, fd, error);
                     }
                 });
    }
}
