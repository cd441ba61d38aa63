#include "changewatch.h"

#include "codepagefile.h"
#include "filenames.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Entries made, removed, renamed, written or touched, and the folder's own end. Opened folders
// and files read (thumbnails, pages) are no change.
constexpr uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY
                                   | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF
                                   | IN_ONLYDIR;

template <typename T> void appendOnce(std::vector<T> &list, const T &value)
{
    if (std::find(list.begin(), list.end(), value) == list.end())
        list.push_back(value);
}

template <typename T> void appendAllOnce(std::vector<T> &list, const std::vector<T> &values)
{
    for (const T &value : values)
        appendOnce(list, value);
}

// A file made without a name (O_TMPFILE), as the program's own new files are, is told as "#" and
// its inode number until it is linked under a name: its writes are no change. A real file of that
// name still counts when it is made, removed or renamed.
bool isUnnamedFile(uint32_t mask, const char *name)
{
    if (name[0] != '#' || name[1] == '\0' || (mask & (IN_CREATE | IN_DELETE | IN_MOVE)))
        return false;
    for (const char *c = name + 1; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return true;
}

} // namespace

FolderKey folderKey(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return {};
    return {quint64(st.st_dev), quint64(st.st_ino)};
}

int ChangeWatch::open()
{
    m_fd.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m_fd.isOpen())
        return errno;
    m_kept.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    m_ready.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!m_kept.isOpen() || !m_ready.isOpen())
        return errno;
    for (const int fd : {m_fd.get(), m_kept.get()}) {
        epoll_event ready{};
        ready.events = EPOLLIN;
        ready.data.fd = fd;
        if (::epoll_ctl(m_ready.get(), EPOLL_CTL_ADD, fd, &ready) != 0)
            return errno;
    }
    return 0;
}

int ChangeWatch::watchDescriptor(int folderFd) const
{
    // Through the descriptor: a name could by now lead somewhere else.
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(folderFd);
    const int wd = ::inotify_add_watch(m_fd.get(), path.constData(), watchedEvents);
    return wd < 0 ? -errno : wd;
}

int ChangeWatch::add(int folderFd, FolderKey key)
{
    if (m_watches.contains(key)) {
        bool renewed = false;
        if (const int error = renew(folderFd, key, renewed); error != 0)
            return error;
        ++m_watches[key].uses;
        return 0;
    }
    const int wd = watchDescriptor(folderFd);
    if (wd < 0)
        return -wd;
    m_keys.insert(wd, key);
    m_watches.insert(key, {wd, 1});
    return 0;
}

int ChangeWatch::renew(int folderFd, FolderKey key, bool &renewed)
{
    renewed = false;
    const auto found = m_watches.find(key);
    if (found == m_watches.end())
        return 0;
    // The kernel gives a folder watched already its own descriptor again.
    const int wd = watchDescriptor(folderFd);
    if (wd < 0)
        return -wd;
    if (wd == found->wd)
        return 0;
    // Numbers are unique among live folders: the old one is gone, and its end is no news.
    ::inotify_rm_watch(m_fd.get(), found->wd);
    m_keys.remove(found->wd);
    m_keys.insert(wd, key);
    found->wd = wd;
    renewed = true;
    return 0;
}

void ChangeWatch::remove(FolderKey key)
{
    const auto found = m_watches.find(key);
    if (found == m_watches.end() || --found->uses > 0)
        return;
    // A folder already gone has lost its watch: the kernel's refusal then is no news.
    ::inotify_rm_watch(m_fd.get(), found->wd);
    m_keys.remove(found->wd);
    m_watches.erase(found);
}

void ChangeWatch::ignoreName(FolderKey in, const QByteArray &name)
{
    m_ignored[in] << name;
}

void ChangeWatch::ignoreEverywhere(const QByteArray &name)
{
    m_ignoredEverywhere << name;
}

bool ChangeWatch::isIgnored(FolderKey in, const char *name) const
{
    const auto isOrReplaces = [name](const QByteArray &ignored) {
        return ignored == name || isTemporaryNameOf(name, ignored.constData());
    };
    if (std::any_of(m_ignoredEverywhere.cbegin(), m_ignoredEverywhere.cend(), isOrReplaces))
        return true;
    const auto found = m_ignored.constFind(in);
    return found != m_ignored.cend() && std::any_of(found->cbegin(), found->cend(), isOrReplaces);
}

int ChangeWatch::read(WatchEvents &events)
{
    if (!m_keptEvents.isEmpty() || m_keptError != 0) {
        appendAllOnce(events.changed, m_keptEvents.changed);
        appendAllOnce(events.subfolders, m_keptEvents.subfolders);
        appendAllOnce(events.gone, m_keptEvents.gone);
        events.overflow = events.overflow || m_keptEvents.overflow;
        m_keptEvents = {};
        eventfd_t count;
        ::eventfd_read(m_kept.get(), &count);
        if (const int error = std::exchange(m_keptError, 0); error != 0)
            return error;
    }
    return take(events);
}

void ChangeWatch::keep()
{
    const bool kept = !m_keptEvents.isEmpty() || m_keptError != 0;
    if (m_keptError == 0)
        m_keptError = take(m_keptEvents);
    // Own events alone are left out as they are taken: fd() need not wake for them.
    if (!kept && (!m_keptEvents.isEmpty() || m_keptError != 0))
        ::eventfd_write(m_kept.get(), 1);
}

int ChangeWatch::take(WatchEvents &events)
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t size = ::read(m_fd.get(), buffer, sizeof buffer);
        if (size < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno == EINTR ? 0 : errno;
        for (ssize_t at = 0; at < size;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char *name = event.len > 0 ? buffer + at + sizeof event : "";
            at += ssize_t(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                events.overflow = true;
                continue;
            }
            const auto found = m_keys.constFind(event.wd);
            if (found == m_keys.cend())
                continue;
            const FolderKey key = *found;
            if (event.mask & IN_IGNORED) {
                // The kernel ended the watch: the folder is gone or its file system unmounted.
                m_keys.remove(event.wd);
                if (const auto watch = m_watches.find(key);
                    watch != m_watches.end() && watch->wd == event.wd) {
                    m_watches.erase(watch);
                    appendOnce(events.gone, key);
                }
                continue;
            }
            if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                appendOnce(events.gone, key);
                continue;
            }
            if (*name == '\0' || isIgnored(key, name) || isUnnamedFile(event.mask, name))
                continue;
            appendOnce(events.changed, key);
            if ((event.mask & IN_ISDIR)
                && (event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)))
                appendOnce(events.subfolders, key);
        }
    }
}

qint64 watchLimit()
{
    // The system's limit, and a user namespace's own where it is lower.
    qint64 limit = -1;
    for (const char *path :
         {"/proc/sys/fs/inotify/max_user_watches", "/proc/sys/user/max_inotify_watches"}) {
        QFile file(QString::fromLatin1(path));
        bool ok = false;
        const qint64 value =
            file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong(&ok) : 0;
        if (ok && (limit < 0 || value < limit))
            limit = value;
    }
    return limit;
}

QString watchLimitText(const QString &folder, qint64 needed, qint64 limit)
{
    const QString limitText = limit < 0
                                  ? QStringLiteral("fs.inotify.max_user_watches")
                                  : QStringLiteral("fs.inotify.max_user_watches (%1)").arg(limit);
    return QStringLiteral("No se puede vigilar «%1»: hacen falta %2 vigilancias de inotify y no "
                          "quedan bastantes bajo el límite %3, que comparten todos los programas "
                          "del usuario. Súbalo, por ejemplo con «sudo sysctl "
                          "fs.inotify.max_user_watches=%4».")
        .arg(readableFileName(folder))
        .arg(needed)
        .arg(limitText)
        .arg(std::max<qint64>(limit, 0) + needed);
}
