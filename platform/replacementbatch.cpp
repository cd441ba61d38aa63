#include "replacementbatch.h"

#include "workpool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int syncFileSystem(int fd)
{
    return ::syncfs(fd) == 0 ? 0 : errno;
}

} // namespace

ReplacementBatch::ReplacementBatch(Sync sync)
    : m_sync(sync ? sync : syncFileSystem)
{}

ReplacementBatch::~ReplacementBatch()
{
    discard();
}

std::size_t ReplacementBatch::room(unsigned share)
{
    rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return 2048 / share;
    return std::clamp<std::size_t>(std::size_t(files.rlim_cur / share), 8, (1 << 17) / share);
}

void ReplacementBatch::append(ReplacementBatch &other, int rank)
{
    for (Waiting &file : other.m_files) {
        file.rank = rank;
        m_files.push_back(std::move(file));
    }
    other.m_files.clear();
}

void ReplacementBatch::rename(std::size_t first, std::size_t end, std::vector<int> &errors)
{
    // Where a rename drops the old file, the file system may discard its blocks there and then,
    // waiting on the disk: side by side, those waits overlap.
    std::atomic<std::size_t> next = first;
    const auto work = [&](int) {
        for (std::size_t i = next++; i < end; i = next++) {
            Waiting &file = m_files[i];
            if (::renameat(file.folder, file.temporary.constData(), file.folder,
                           file.name.constData())
                != 0) {
                errors[i] = errno;
                ::unlinkat(file.folder, file.temporary.constData(), 0);
            }
            ::close(file.folder);
        }
    };
    WorkPool &pool = WorkPool::instance();
    pool.run(end - first > 1 ? pool.size() : 0, work);
}

std::vector<int> ReplacementBatch::commit(int *syncError)
{
    std::vector<int> errors(m_files.size(), 0);
    // One sync for each file system among the folders; most trees have one.
    std::vector<dev_t> synced;
    int failed = 0;
    for (const Waiting &file : m_files) {
        struct stat st;
        if (::fstat(file.folder, &st) != 0) {
            failed = errno;
            break;
        }
        if (std::find(synced.begin(), synced.end(), st.st_dev) != synced.end())
            continue;
        if (const int error = m_sync(file.folder); error != 0) {
            failed = error;
            break;
        }
        synced.push_back(st.st_dev);
    }
    if (syncError)
        *syncError = failed;
    if (failed != 0) {
        std::fill(errors.begin(), errors.end(), failed);
        discard();
        return errors;
    }
    for (std::size_t first = 0; first < m_files.size();) {
        std::size_t end = first + 1;
        while (end < m_files.size() && m_files[end].rank == m_files[first].rank)
            ++end;
        rename(first, end, errors);
        first = end;
    }
    m_files.clear();
    return errors;
}

void ReplacementBatch::discard()
{
    for (const Waiting &file : m_files) {
        ::unlinkat(file.folder, file.temporary.constData(), 0);
        ::close(file.folder);
    }
    m_files.clear();
}
