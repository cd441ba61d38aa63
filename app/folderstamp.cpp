#include "folderstamp.h"

#include "codepagefile.h"
#include "filedescriptor.h"
#include "filenames.h"
#include "pagewriter.h"

#include <QByteArray>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <time.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// The page's name as the kernel gives it.
const QByteArray &pageName()
{
    static const QByteArray name = encodeFileName(pageFileName());
    return name;
}

// What can change which names a folder holds. A file's own changes (size, date) are looked up
// when the page is written. Nothing that happens to the files themselves: a watch for that makes
// the kernel mark every cached name of the folder, a million of them in the largest.
constexpr uint32_t nameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF
                                | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

} // namespace

// The names that came and went since the stamp, as far as they matter to the files read.
struct FolderStamp::Watch
{
    std::mutex mutex;
    FileDescriptor fd;
    bool changed = false;
    bool pageListed = false;      // the page was there when the folder was read
    QSet<QByteArray> temporaries; // a page's, made since and not yet put in place

    void note(const inotify_event &event)
    {
        if (event.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)
            || event.len == 0 || event.name[0] == '\0') {
            // The folder itself gone, moved or out of sight.
            changed = true;
            return;
        }
        const bool came = event.mask & (IN_CREATE | IN_MOVED_TO);
        const bool went = event.mask & (IN_DELETE | IN_MOVED_FROM);
        if (!came && !went)
            return;
        const QByteArray name(event.name);
        if (isPageTemporaryName(event.name)) {
            // One made and gone since leaves the names as they were; one gone that was there may
            // have been read.
            if (came)
                temporaries.insert(name);
            else if (!temporaries.remove(name))
                changed = true;
        } else if (name == pageName()) {
            // A page put in place over the one listed leaves the names as they were.
            if (went || !pageListed)
                changed = true;
        } else {
            changed = true;
        }
    }

    // False once a name came or went that the files read may not show.
    bool holds()
    {
        const std::lock_guard lock(mutex);
        alignas(inotify_event) char buffer[16 * 1024];
        while (!changed && fd.isOpen()) {
            const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                changed = got < 0 && errno != EAGAIN;
                break;
            }
            for (ssize_t at = 0; at < got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                note(*event);
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        // Nothing more to learn: the kernel need not keep the folder's events any longer.
        if (changed)
            fd.reset();
        return !changed && temporaries.isEmpty();
    }
};

FolderStamp FolderStamp::look(int folderFd)
{
    FolderStamp stamp;
    struct stat st;
    timespec now;
    // The file system's clock is the coarse one: the fine one can run ahead of the times it gives.
    if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0 || ::fstat(folderFd, &st) != 0)
        return stamp;
    stamp.m_valid = true;
    stamp.m_device = st.st_dev;
    stamp.m_inode = st.st_ino;
    stamp.m_size = st.st_size;
    stamp.m_links = st.st_nlink;
    stamp.m_modifiedNs = nanoseconds(st.st_mtim);
    stamp.m_changedNs = nanoseconds(st.st_ctim);
    stamp.m_takenNs = nanoseconds(now);
    return stamp;
}

FolderStamp FolderStamp::take(int folderFd)
{
    // Set before the folder is read, so that nothing changed during the read goes unnoticed.
    auto watch = std::make_shared<Watch>();
    watch->fd.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(folderFd);
    if (!watch->fd.isOpen()
        || ::inotify_add_watch(watch->fd.get(), path.constData(), nameEvents) < 0)
        watch.reset(); // out of watches: the folder's times tell
    else if (struct stat page;
             ::fstatat(folderFd, pageName().constData(), &page, AT_SYMLINK_NOFOLLOW) == 0)
        watch->pageListed = true;
    FolderStamp stamp = look(folderFd);
    if (stamp.m_valid)
        stamp.m_watch = std::move(watch);
    return stamp;
}

bool FolderStamp::stillHolds(int folderFd) const
{
    if (!m_valid)
        return false;
    // Times in whole seconds may come from a file system that keeps only seconds, or two.
    const bool coarse = m_modifiedNs % 1'000'000'000 == 0 || m_changedNs % 1'000'000'000 == 0;
    const qint64 doubt = coarse ? 2'000'000'000 : 100'000'000;
    if (m_modifiedNs > m_takenNs - doubt || m_changedNs > m_takenNs - doubt)
        return false;
    const FolderStamp now = look(folderFd);
    if (!now.m_valid || now.m_device != m_device || now.m_inode != m_inode)
        return false;
    if (m_watch)
        return m_watch->holds();
    return now.m_size == m_size && now.m_links == m_links && now.m_modifiedNs == m_modifiedNs
           && now.m_changedNs == m_changedNs;
}
