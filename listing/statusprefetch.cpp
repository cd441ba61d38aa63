#include "statusprefetch.h"

#include "filenames.h"
#include "listing.h"
#include "workpool.h"

#include <algorithm>
#include <limits>

namespace {

// Big enough that a thread's wake-up is rare, small enough that the first lines come at once.
constexpr int chunkSize = 128;
// How far ahead of the caller the threads may run, in chunks.
constexpr int ringChunks = 16;
// Below a ring's worth of entries, starting threads costs more than they save, and a tree's
// pages are already written side by side.
constexpr qsizetype fewestForThreads = qsizetype(chunkSize) * ringChunks;

struct Answer
{
    int error = 0;
    FileStatus status;
};

} // namespace

// A place in the ring holds chunks k, k + ringChunks, k + 2 * ringChunks... one after the other,
// each written by one worker only: the worker of chunk c waits until c - ringChunks is in (so no
// other worker still writes here) and until the caller has read or skipped it. A caller that skips
// chunks thus never makes two workers share a place; the chunks it skipped are let through unread.
struct StatusPrefetch::Chunk
{
    // The last chunk whose answers are in this place, or that was passed over; -1 for none yet.
    std::atomic<int> filled{-1};
    Answer answers[chunkSize];
};

StatusPrefetch::StatusPrefetch(const Listing *listing)
    : m_listing(listing)
{}

StatusPrefetch::~StatusPrefetch()
{
    stop();
}

int StatusPrefetch::open(const QString &folder)
{
    stop();
    return start(m_folder.open(folder));
}

int StatusPrefetch::open(int folderFd)
{
    stop();
    return start(m_folder.open(folderFd));
}

int StatusPrefetch::start(int error)
{
    if (error != 0 || !m_listing || m_listing->count() < fewestForThreads)
        return error;
    const qsizetype chunks = (m_listing->count() + chunkSize - 1) / chunkSize;
    if (chunks > std::numeric_limits<int>::max() - 2 * ringChunks)
        return 0;
    m_chunkCount = int(chunks);
    m_readingChunk = -1;
    m_ring = std::make_unique<Chunk[]>(std::size_t(ringChunks));
    m_nextChunk = 0;
    m_firstUnread = 0;
    m_stopping = false;
    // As many as are idle: with none, one entry at a time on the caller's thread.
    const int wanted = std::min(WorkPool::instance().size(), m_chunkCount);
    m_running = std::make_shared<std::atomic<int>>(0);
    for (m_workers = 0; m_workers < wanted; ++m_workers) {
        ++*m_running;
        const bool started = WorkPool::instance().tryStart([this, running = m_running] {
            work();
            --*running;
            running->notify_all();
        });
        if (!started) {
            --*m_running;
            break;
        }
    }
    return 0;
}

void StatusPrefetch::stop()
{
    if (m_workers == 0)
        return;
    m_stopping = true;
    m_firstUnread = std::numeric_limits<int>::max() - ringChunks;
    m_firstUnread.notify_all();
    for (int left = m_running->load(); left != 0; left = m_running->load())
        m_running->wait(left);
    m_workers = 0;
}

void StatusPrefetch::work()
{
    for (;;) {
        const int chunk = m_nextChunk.fetch_add(1);
        if (chunk >= m_chunkCount)
            return;
        for (int unread = m_firstUnread.load(); chunk >= unread + ringChunks;
             unread = m_firstUnread.load())
            m_firstUnread.wait(unread);
        Chunk &place = m_ring[std::size_t(chunk % ringChunks)];
        const int before = chunk >= ringChunks ? chunk - ringChunks : -1;
        for (int filled = place.filled.load(); filled != before; filled = place.filled.load())
            place.filled.wait(filled);
        // Stopping sets the first unread chunk past them all: each place still passes to its next
        // chunk, so that no worker waits for one that will never come.
        if (chunk >= m_firstUnread.load()) {
            const qsizetype first = qsizetype(chunk) * chunkSize;
            const qsizetype end = std::min(first + chunkSize, m_listing->count());
            for (qsizetype i = first; i < end; ++i) {
                Answer &answer = place.answers[i - first];
                answer.error = m_folder.status(m_listing->rawName(i), answer.status);
            }
        }
        place.filled.store(chunk);
        place.filled.notify_all();
        if (m_stopping)
            return;
    }
}

int StatusPrefetch::status(qsizetype index, const QString &name, FileStatus &out)
{
    if (m_workers == 0 || index < 0 || index / chunkSize >= m_chunkCount
        || index / chunkSize < m_readingChunk)
        return m_folder.status(encodeFileName(name).constData(), out);
    const int chunk = int(index / chunkSize);
    if (chunk != m_readingChunk) {
        m_readingChunk = chunk;
        m_firstUnread.store(chunk);
        m_firstUnread.notify_all();
    }
    Chunk &place = m_ring[std::size_t(chunk % ringChunks)];
    for (int filled = place.filled.load(); filled != chunk; filled = place.filled.load())
        place.filled.wait(filled);
    const Answer &answer = place.answers[index % chunkSize];
    if (answer.error == 0)
        out = answer.status;
    return answer.error;
}
