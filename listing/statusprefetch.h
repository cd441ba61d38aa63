#pragma once

#include "filesystem.h"

#include <QString>

#include <atomic>
#include <memory>

class Listing;

// The status of each entry of a folder, asked for in list order. With the listing's raw names at
// hand, a few threads look the entries up ahead of the caller, sharing the folder's descriptor, so
// the system calls overlap with each other and with whatever the caller does between entries.
// Without them, each entry is looked up when asked for. Answers are the same either way.
class StatusPrefetch
{
public:
    // `listing` holds the entries by index in the caller's order; null means none is at hand.
    explicit StatusPrefetch(const Listing *listing);
    StatusPrefetch(const StatusPrefetch &) = delete;
    StatusPrefetch &operator=(const StatusPrefetch &) = delete;
    ~StatusPrefetch();

    // Returns 0 or an errno value.
    int open(const QString &folder);
    // The same through a folder descriptor, which stays the caller's.
    int open(int folderFd);
    // The status of entry `index`, named `name`. Indexes go up; entries skipped cost nothing more.
    // Returns 0 or an errno value.
    int status(qsizetype index, const QString &name, FileStatus &out);

private:
    struct Chunk;

    int start(int error);
    void work();
    void stop();

    FolderHandle m_folder;
    const Listing *m_listing;
    int m_chunkCount = 0;
    int m_readingChunk = -1;
    std::unique_ptr<Chunk[]> m_ring;
    // Chunk numbers are ints: the kernel waits on those directly.
    std::atomic<int> m_nextChunk{0};
    // Chunks below this one have been read, so their places in the ring may be filled again.
    std::atomic<int> m_firstUnread{0};
    std::atomic<bool> m_stopping{false};
    int m_workers = 0;
    // How many of them still run; shared, so that the last can say so after this is gone.
    std::shared_ptr<std::atomic<int>> m_running;
};
