#include "folderstamp.h"

#include <time.h>

#include <sys/stat.h>

namespace {

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

} // namespace

FolderStamp FolderStamp::take(int folderFd)
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

bool FolderStamp::stillHolds(int folderFd) const
{
    if (!m_valid)
        return false;
    // Times in whole seconds may come from a file system that keeps only seconds, or two.
    const bool coarse = m_modifiedNs % 1'000'000'000 == 0 || m_changedNs % 1'000'000'000 == 0;
    const qint64 doubt = coarse ? 2'000'000'000 : 100'000'000;
    if (m_modifiedNs > m_takenNs - doubt || m_changedNs > m_takenNs - doubt)
        return false;
    const FolderStamp now = take(folderFd);
    return now.m_valid && now.m_device == m_device && now.m_inode == m_inode && now.m_size == m_size
           && now.m_links == m_links && now.m_modifiedNs == m_modifiedNs
           && now.m_changedNs == m_changedNs;
}
