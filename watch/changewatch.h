#pragma once

#include "filedescriptor.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QString>
#include <QtGlobal>

#include <vector>

// A folder by what it is, not by its name, which may change under a watch.
struct FolderKey
{
    quint64 device = 0;
    quint64 inode = 0;
    friend bool operator==(const FolderKey &, const FolderKey &) = default;
};

inline size_t qHash(const FolderKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.device, key.inode);
}

// The key of the folder open as `fd`, or an empty key.
FolderKey folderKey(int fd);

// What a read of the kernel's events told, each folder once.
struct WatchEvents
{
    std::vector<FolderKey> changed;    // an entry was made, removed, renamed, written or touched
    std::vector<FolderKey> subfolders; // of those, the ones where a folder came or went
    std::vector<FolderKey> gone;       // watched folders deleted, moved or unmounted
    bool overflow = false;             // the kernel dropped events: everything may have changed

    bool isEmpty() const { return changed.empty() && gone.empty() && !overflow; }
};

// The kernel's notice of changes in a set of folders (inotify), so that nothing is polled: a
// folder is watched through its descriptor, and the names the program writes itself are left
// out (those it is told of), so its own pages never wake it.
class ChangeWatch
{
public:
    ChangeWatch() = default;
    ChangeWatch(const ChangeWatch &) = delete;
    ChangeWatch &operator=(const ChangeWatch &) = delete;

    // Returns 0 or an error value.
    int open();
    // To poll for reading: ready when the kernel has events or some were kept.
    int fd() const { return m_ready.get(); }

    // Watches the folder open as `folderFd` under `key`; a folder added twice is watched once and
    // ends when removed as often. Returns 0 or an error value (ENOSPC: out of watches).
    int add(int folderFd, FolderKey key);
    // For a key watched already: a folder deleted leaves its number to the next one made, and the
    // watch under that key may still be the deleted one's, its end not read yet. Then the folder
    // open as `folderFd` is watched in its place, as often added, and `renewed` is set. Returns 0
    // or an error value.
    int renew(int folderFd, FolderKey key, bool &renewed);
    void remove(FolderKey key);
    bool isWatched(FolderKey key) const { return m_watches.contains(key); }
    qsizetype count() const { return m_watches.size(); }

    // A name written by the program in the folder `in` (such as a catalogue), left out with its
    // temporary names.
    void ignoreName(FolderKey in, const QByteArray &name);
    // The same in every folder (such as the page).
    void ignoreEverywhere(const QByteArray &name);

    // Takes the events waiting, without blocking, into `events`, those kept first. Returns 0 or an
    // error value.
    int read(WatchEvents &events);
    // Takes the events waiting off the kernel's queue and keeps them for read(), so that a long
    // run of writes never fills that queue; fd() stays ready while any are kept.
    void keep();

private:
    int watchDescriptor(int folderFd) const;
    bool isIgnored(FolderKey in, const char *name) const;
    int take(WatchEvents &events);

    struct Watch
    {
        int wd = -1;
        int uses = 0;
    };
    FileDescriptor m_fd;
    FileDescriptor m_kept;  // readable while events are kept
    FileDescriptor m_ready; // both of them, to poll as one
    WatchEvents m_keptEvents;
    int m_keptError = 0;
    QHash<int, FolderKey> m_keys;
    QHash<FolderKey, Watch> m_watches;
    QHash<FolderKey, QByteArrayList> m_ignored;
    QByteArrayList m_ignoredEverywhere;
};

// The system's limit of watches for one user, or -1 when it cannot be read.
qint64 watchLimit();

// The message for a tree that needs `needed` watches where the limit is `limit`.
QString watchLimitText(const QString &folder, qint64 needed, qint64 limit);
