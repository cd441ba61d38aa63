#include "filereplacement.h"

#include "filedescriptor.h"
#include "replacementbatch.h"
#include "systemerror.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/fs.h>
#include <random>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr std::size_t bufferSize = std::size_t(64) * 1024;

bool isAppendOnly(int fd)
{
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

bool isCopiedAttribute(const char *name)
{
    return std::strncmp(name, "user.", 5) == 0 || std::strcmp(name, "system.posix_acl_access") == 0;
}

// The old file's ACL and user attributes onto the new one. What cannot be copied is left out:
// a file that others cannot read as before is still better than the old one kept for it.
void copyAttributes(int from, int to)
{
    std::vector<char> names;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = ::flistxattr(from, nullptr, 0);
        if (size <= 0)
            return;
        names.resize(std::size_t(size));
        const ssize_t got = ::flistxattr(from, names.data(), names.size());
        if (got >= 0) {
            names.resize(std::size_t(got));
            break;
        }
        if (errno != ERANGE)
            return;
        names.clear();
    }
    std::vector<char> value;
    for (std::size_t i = 0; i < names.size(); i += std::strlen(names.data() + i) + 1) {
        const char *name = names.data() + i;
        if (!isCopiedAttribute(name))
            continue;
        const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0)
            continue;
        value.resize(std::size_t(size));
        const ssize_t got = ::fgetxattr(from, name, value.data(), value.size());
        if (got >= 0) [[maybe_unused]]
            const int set = ::fsetxattr(to, name, value.data(), std::size_t(got), 0);
    }
}

} // namespace

FileReplacement::~FileReplacement()
{
    discard();
}

bool FileReplacement::refuse(int error)
{
    discard();
    m_error = error;
    return false;
}

bool FileReplacement::fail(int error)
{
    if (m_error == 0)
        m_error = error;
    discard();
    return false;
}

QByteArray FileReplacement::randomTemporaryName() const
{
    static thread_local std::mt19937 random(std::random_device{}());
    // Below 2^32, so 1 to 7 digits.
    const QByteArray digits = QByteArray::number(quint32(random()), 36);
    // Pages are written by this process only, never by a child of it.
    static const QByteArray process = QByteArray::number(::getpid()) + '-';
    return m_options.temporaryStem.isEmpty() ? "." + m_name + "." + process + digits
                                             : m_options.temporaryStem + digits;
}

int FileReplacement::createUnnamed(unsigned mode)
{
    m_fd = ::openat(m_folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (m_fd >= 0) {
        m_unnamed = true;
        return 0;
    }
    const int error = errno;
    // Where the file system has no unnamed files, a hidden name it is.
    if ((error == EOPNOTSUPP || error == EISDIR || error == EINVAL) && !m_linkToName)
        return createTemporary(mode);
    return error;
}

int FileReplacement::createTemporary(unsigned mode)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_temporary = randomTemporaryName();
        m_fd = ::openat(m_folder, m_temporary.constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (m_fd >= 0)
            return 0;
        if (errno != EEXIST && errno != EINTR) {
            m_temporary.clear();
            return errno;
        }
    }
    m_temporary.clear();
    return EEXIST;
}

int FileReplacement::linkAs(const QByteArray &name)
{
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", m_fd);
    if (::linkat(AT_FDCWD, path, m_folder, name.constData(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    const int error = errno;
    if (error == EEXIST)
        return error;
    // Without /proc; this one needs a capability most users lack.
    if (::linkat(m_fd, "", m_folder, name.constData(), AT_EMPTY_PATH) == 0)
        return 0;
    return error;
}

int FileReplacement::linkUnnamed()
{
    if (m_linkToName)
        return linkAs(m_name);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = randomTemporaryName();
        const int error = linkAs(name);
        if (error == 0)
            m_temporary = name;
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

int FileReplacement::openInPlace(const QByteArray &name, unsigned long long inode)
{
    // Nothing is written before commit(), which first makes room for all of it.
    m_fd = ::openat(m_folder, name.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return errno;
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode) || st.st_ino != inode)
        return ErrorNotRegularFile;
    m_oldSize = st.st_size;
    m_inPlace = true;
    return 0;
}

void FileReplacement::keepAttributes(const struct stat &old)
{
    // The umask must not narrow what the old file allowed, and a file that root rewrites stays
    // its owner's; neither is worth failing for. The mode goes first, as it would rewrite the
    // mask of the ACL.
    [[maybe_unused]] const int moded = ::fchmod(m_fd, old.st_mode & 0777);
    if (::geteuid() == 0) {
        [[maybe_unused]] const int owned = ::fchown(m_fd, old.st_uid, old.st_gid);
    }
    const FileDescriptor oldFd(
        ::openat(m_folder, m_name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (oldFd.isOpen() && ::fstat(oldFd.get(), &st) == 0 && S_ISREG(st.st_mode)
        && st.st_ino == old.st_ino)
        copyAttributes(oldFd.get(), m_fd);
}

void FileReplacement::setAttributes()
{
    auto mode = mode_t(m_options.mode) & 07777;
    // A group that cannot be given must not be let in: it would be ours, not the one asked for.
    if (m_options.group >= 0 && ::fchown(m_fd, uid_t(-1), gid_t(m_options.group)) != 0)
        mode &= ~mode_t(070);
    [[maybe_unused]] const int moded = ::fchmod(m_fd, mode);
}

bool FileReplacement::open(int folderFd, const QByteArray &rawName,
                           const ReplacementOptions &options)
{
    discard();
    m_options = options;
    m_error = 0;
    m_inPlace = false;
    m_overwriting = false;
    m_unnamed = false;
    m_linkToName = false;
    m_left = false;
    m_hasOld = false;
    m_buffer.clear();
    m_buffer.reserve(bufferSize + 4096);
    m_name = rawName;

    m_folder = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    if (m_folder < 0)
        return fail(errno);

    if (::fstatat(m_folder, m_name.constData(), &m_oldStatus, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(m_oldStatus.st_mode))
            return fail(EISDIR);
        if (!S_ISREG(m_oldStatus.st_mode) && !S_ISLNK(m_oldStatus.st_mode))
            return fail(ErrorNotRegularFile);
        m_hasOld = S_ISREG(m_oldStatus.st_mode);
    } else if (errno != ENOENT) {
        return fail(errno);
    }
    if (m_hasOld && m_options.keepEqual && openOld())
        return true;
    return create();
}

// Opens the old file, a regular file, to compare with the new bytes: the new file is made only
// once they differ, so an equal one costs no write.
bool FileReplacement::openOld()
{
    m_old = ::openat(m_folder, m_name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (m_old < 0)
        return false;
    struct stat st;
    if (::fstat(m_old, &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != m_oldStatus.st_ino) {
        ::close(m_old);
        m_old = -1;
        return false;
    }
    m_oldBytes.clear();
    m_oldAt = 0;
    m_oldEnded = false;
    m_compared = 0;
    m_skipping = false;
    m_varying.clear();
    return true;
}

bool FileReplacement::create()
{
    const bool setsMode = m_options.mode >= 0;
    const bool inPlace = m_hasOld && m_options.inPlace;

    // An append-only folder takes new names but lets none go: a temporary name could never be
    // renamed or removed. Its file is rewritten in place, or made under its own name at once.
    if (isAppendOnly(m_folder)) {
        if (inPlace) {
            const int error = openInPlace(m_name, m_oldStatus.st_ino);
            return error == 0 || fail(error);
        }
        m_linkToName = true;
    }

    const int created = createUnnamed(setsMode   ? 0600
                                      : m_hasOld ? m_oldStatus.st_mode & 0777
                                                 : 0666);
    if (created == 0) {
        if (setsMode)
            setAttributes();
        else if (m_hasOld)
            keepAttributes(m_oldStatus);
        return true;
    }
    if (inPlace && (created == EACCES || created == EPERM)) {
        if (openInPlace(m_name, m_oldStatus.st_ino) == 0)
            return true;
    }
    return fail(created);
}

int FileReplacement::readOld()
{
    m_oldBytes.resize(bufferSize);
    ssize_t got;
    do
        got = ::read(m_old, m_oldBytes.data(), bufferSize);
    while (got < 0 && errno == EINTR);
    m_oldBytes.resize(got > 0 ? std::size_t(got) : 0);
    m_oldAt = 0;
    // A regular file reads short only at its end.
    m_oldEnded = got >= 0 && std::size_t(got) < bufferSize;
    return got > 0 ? 1 : got == 0 ? 0 : -1;
}

// Passes over the old file's counterpart of what writeVarying() gave, up to the byte `next` (-1:
// the end of the file). False where the old file holds more than a varying stretch there.
bool FileReplacement::skipVarying(int next)
{
    for (int skipped = 0;; ++skipped) {
        if (m_oldAt == m_oldBytes.size()) {
            const int got = readOld();
            if (got < 0 || (got == 0 && next >= 0))
                return false;
            if (got == 0)
                break;
        }
        const auto c = static_cast<unsigned char>(m_oldBytes[m_oldAt]);
        if (int(c) == next)
            break;
        if (c == '\n' || skipped == 64)
            return false;
        ++m_oldAt;
        ++m_compared;
    }
    m_varying.back().oldEnd = m_compared;
    m_skipping = false;
    return true;
}

bool FileReplacement::compare(std::string_view bytes)
{
    if (bytes.empty())
        return true;
    if (m_skipping && !skipVarying(static_cast<unsigned char>(bytes[0])))
        return diverge() && write(bytes);
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (m_oldAt == m_oldBytes.size() && readOld() <= 0)
            return diverge() && write(bytes.substr(at));
        const std::size_t length = std::min(bytes.size() - at, m_oldBytes.size() - m_oldAt);
        const char *old = m_oldBytes.data() + m_oldAt;
        std::size_t same = length;
        if (std::memcmp(old, bytes.data() + at, length) != 0) {
            same = 0;
            while (old[same] == bytes[at + same])
                ++same;
        }
        m_oldAt += same;
        m_compared += static_cast<long long>(same);
        at += same;
        if (same < length)
            return diverge() && write(bytes.substr(at));
    }
    return true;
}

bool FileReplacement::copyOld(int fd, long long from, long long to)
{
    while (from < to) {
        m_oldBytes.resize(std::size_t(std::min<long long>(to - from, bufferSize)));
        const ssize_t got = ::pread(fd, m_oldBytes.data(), m_oldBytes.size(), off_t(from));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return fail(got < 0 ? errno : EIO);
        if (!write(std::string_view(m_oldBytes.data(), std::size_t(got))))
            return false;
        from += got;
    }
    return true;
}

// The bytes differ after all: the new file is made, and what matched so far is written into it,
// copied from the old file but for the varying stretches.
bool FileReplacement::diverge()
{
    const FileDescriptor old(std::exchange(m_old, -1));
    const std::vector<Varying> varying = std::exchange(m_varying, {});
    m_skipping = false;
    if (!create())
        return false;
    long long from = 0;
    for (const Varying &part : varying) {
        if (!copyOld(old.get(), from, part.oldStart) || !write(part.bytes))
            return false;
        from = part.oldEnd;
        if (from < 0)
            break;
    }
    const bool copied = from < 0 || copyOld(old.get(), from, m_compared);
    m_oldBytes = std::string();
    return copied;
}

bool FileReplacement::write(std::string_view bytes)
{
    if (m_old >= 0)
        return compare(bytes);
    if (m_fd < 0)
        return fail(m_error != 0 ? m_error : EBADF);
    m_buffer.append(bytes);
    // In place, everything waits in memory until there is room for it.
    return m_inPlace || m_buffer.size() < bufferSize || flush();
}

bool FileReplacement::writeVarying(std::string_view bytes)
{
    if (m_old < 0)
        return write(bytes);
    if (!m_skipping) {
        m_varying.push_back({m_compared, -1, {}});
        m_skipping = true;
    }
    m_varying.back().bytes.append(bytes);
    return true;
}

bool FileReplacement::flush()
{
    const char *data = m_buffer.data();
    std::size_t left = m_buffer.size();
    off_t offset = 0;
    while (left > 0) {
        const ssize_t written =
            m_inPlace ? ::pwrite(m_fd, data, left, offset) : ::write(m_fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        data += written;
        offset += written;
        left -= std::size_t(written);
    }
    m_buffer.clear();
    return true;
}

bool FileReplacement::commit()
{
    return commit(nullptr);
}

bool FileReplacement::commit(ReplacementBatch *batch)
{
    if (m_old >= 0) {
        bool equal = !m_skipping || skipVarying(-1);
        equal = equal && m_oldAt == m_oldBytes.size() && (m_oldEnded || readOld() == 0);
        if (equal) {
            m_left = true;
            discard();
            return true;
        }
        if (!diverge())
            return false;
    }
    if (m_fd < 0)
        return fail(m_error != 0 ? m_error : EBADF);
    if (m_inPlace) {
        const off_t size = off_t(m_buffer.size());
        int reserved;
        do
            reserved = size > 0 ? ::fallocate(m_fd, 0, 0, size) : 0;
        while (reserved != 0 && errno == EINTR);
        if (reserved != 0 && errno != EOPNOTSUPP) {
            const int error = errno;
            // A reservation that ran out halfway may have lengthened the file.
            struct stat st;
            if (::fstat(m_fd, &st) == 0 && st.st_size != m_oldSize) {
                [[maybe_unused]] const int cut = ::ftruncate(m_fd, m_oldSize);
            }
            return fail(error);
        }
        // Where the file system reserves no room, a full disk can still cut the file halfway;
        // keepsOldFile() then says so.
        m_overwriting = true;
        if (!flush() || (::ftruncate(m_fd, size) != 0 && !fail(errno)))
            return false;
    } else if (!flush()) {
        return false;
    }
    // A file under its own name already, or rewritten in place, cannot wait for the others.
    const bool waits = batch && !m_inPlace && !m_linkToName;
    if (!waits && ::fsync(m_fd) != 0 && errno != EINVAL)
        return fail(errno);
    if (m_unnamed) {
        if (const int error = linkUnnamed(); error != 0)
            return fail(error);
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        return fail(errno);
    if (waits) {
        batch->m_files.push_back({m_folder, m_temporary, m_name, 0});
        m_folder = -1;
        m_temporary.clear();
        return true;
    }
    if (!m_inPlace && !m_linkToName) {
        if (::renameat(m_folder, m_temporary.constData(), m_folder, m_name.constData()) != 0)
            return fail(errno);
        m_temporary.clear();
    }
    ::close(m_folder);
    m_folder = -1;
    return true;
}

void FileReplacement::discard()
{
    if (m_old >= 0) {
        ::close(m_old);
        m_old = -1;
    }
    m_varying.clear();
    m_skipping = false;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_folder >= 0) {
        if (!m_temporary.isEmpty())
            ::unlinkat(m_folder, m_temporary.constData(), 0);
        ::close(m_folder);
        m_folder = -1;
    }
    m_temporary.clear();
    m_buffer.clear();
}
