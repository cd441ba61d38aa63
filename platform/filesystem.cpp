#include "filesystem.h"

#include "filenames.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

void NameBlock::clear()
{
    m_bytes.clear();
    m_bytes.shrink_to_fit();
    m_starts.clear();
    m_starts.shrink_to_fit();
}

void NameBlock::add(const char *name, std::size_t length)
{
    m_starts.push_back(m_bytes.size());
    m_bytes.append(name, length);
    m_bytes.push_back('\0');
}

std::size_t NameBlock::length(std::size_t i) const
{
    const std::size_t end = i + 1 < m_starts.size() ? m_starts[i + 1] : m_bytes.size();
    return end - m_starts[i] - 1;
}

void NameBlock::reserve(std::size_t names, std::size_t bytes)
{
    m_starts.reserve(names);
    m_bytes.reserve(bytes);
}

void NameBlock::reorder(const std::vector<std::size_t> &order)
{
    std::string bytes;
    bytes.reserve(m_bytes.size());
    for (std::size_t index : order)
        bytes.append(at(index), length(index) + 1);
    m_bytes = std::move(bytes);
    // The starts found again in the new bytes, where the old ones were: old and new at once are
    // megabytes more at the peak of a large folder. A name holds no NUL, so each ends at its own.
    if (m_starts.size() != order.size()) {
        m_starts.resize(order.size());
        m_starts.shrink_to_fit();
    }
    std::size_t start = 0;
    for (std::size_t &at : m_starts) {
        at = start;
        start += std::strlen(m_bytes.data() + start) + 1;
    }
}

namespace {

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool isFolder(int dirFd, const dirent *entry)
{
    switch (entry->d_type) {
    case DT_DIR:
        return true;
    case DT_LNK:
    case DT_UNKNOWN: {
        struct stat st;
        // A link counts as what it leads to; a dangling one is no folder.
        return fstatat(dirFd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    default:
        return false;
    }
}

// Either block may be null, for a kind not wanted. With `takeFiles`, the files go there every
// `chunk` names and at the end.
int readEntries(DIR *dir, NameBlock *files, NameBlock *folders, std::size_t chunk = 0,
                const std::function<void(NameBlock &)> *takeFiles = nullptr)
{
    const int opened = dir ? 0 : errno;
    for (NameBlock *names : {files, folders}) {
        if (names)
            names->clear();
    }
    if (!dir)
        return opened;
    const int fd = dirfd(dir);
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        if (isDotOrDotDot(entry->d_name))
            continue;
        if (NameBlock *names = isFolder(fd, entry) ? folders : files) {
            names->add(entry->d_name, std::strlen(entry->d_name));
            if (takeFiles && names == files && files->size() >= chunk)
                (*takeFiles)(*files);
        }
    }
    closedir(dir);
    if (takeFiles && error == 0 && files->size() > 0)
        (*takeFiles)(*files);
    for (NameBlock *names : {files, folders}) {
        if (names && error != 0)
            names->clear();
    }
    return error;
}

// A stream of its own: its position and its closing are no concern of the caller's.
DIR *openStream(int folderFd)
{
    const int own = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0)
        return nullptr;
    DIR *dir = fdopendir(own);
    if (!dir) {
        const int error = errno;
        ::close(own);
        errno = error;
    }
    return dir;
}

} // namespace

int scanFolder(const QString &folder, EntryKind kind, NameBlock &names)
{
    const bool files = kind == EntryKind::Files;
    return readEntries(opendir(encodeFileName(folder).constData()), files ? &names : nullptr,
                       files ? nullptr : &names);
}

int scanFolder(int folderFd, EntryKind kind, NameBlock &names)
{
    const bool files = kind == EntryKind::Files;
    return readEntries(openStream(folderFd), files ? &names : nullptr, files ? nullptr : &names);
}

int scanFolder(int folderFd, NameBlock &folders, std::size_t chunk,
               const std::function<void(NameBlock &files)> &takeFiles)
{
    NameBlock files;
    return readEntries(openStream(folderFd), &files, &folders, chunk, &takeFiles);
}

FolderHandle::~FolderHandle()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int FolderHandle::open(const QString &folder)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_fd < 0 ? errno : 0;
}

int FolderHandle::open(int folderFd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    return m_fd < 0 ? errno : 0;
}

int FolderHandle::status(const char *rawName, FileStatus &out) const
{
    struct stat st;
    if (fstatat(m_fd, rawName, &st, 0) != 0) {
        const int error = errno;
        if (fstatat(m_fd, rawName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            return error;
    }
    out.size = st.st_size;
    out.modifiedSeconds = st.st_mtim.tv_sec;
    return 0;
}

void raiseOpenFileLimit()
{
    rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

FileDescriptor openFolder(const QString &folder)
{
    return FileDescriptor(
        ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}
