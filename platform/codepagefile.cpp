#include "codepagefile.h"

#include "filenames.h"
#include "systemerror.h"
#include "windows1252.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <linux/fs.h>
#include <mutex>
#include <random>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr std::size_t bufferSize = std::size_t(64) * 1024;

int highByte(char32_t c)
{
    for (int i = 0; i < 32; ++i) {
        if (windows1252High[i] == c && c != 0)
            return 0x80 + i;
    }
    return -1;
}

void appendReference(std::string &out, char32_t c)
{
    out += "&#";
    out += std::to_string(unsigned(c));
    out += ';';
}

} // namespace

void appendWindows1252(std::string &out, QStringView text)
{
    const char16_t *units = text.utf16();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = units[i];
        // ASCII and U+00A0 to U+00FF are the same bytes in Windows-1252.
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out += char(u);
            continue;
        }
        char32_t c = u;
        if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(units[i + 1]))
            c = QChar::surrogateToUcs4(u, units[++i]);
        else if (QChar::isSurrogate(u))
            c = 0xFFFD;
        // Everything else becomes a reference, also what a converter would drop as ignorable
        // (U+200B, joiners, variation selectors): two names must never show the same.
        if (const int byte = highByte(c); byte >= 0)
            out += char(byte);
        else
            appendReference(out, c);
    }
}

QByteArray toWindows1252(QStringView text)
{
    std::string out;
    appendWindows1252(out, text);
    return QByteArray(out.data(), qsizetype(out.size()));
}

namespace {

bool isBase36Digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
}

QByteArray randomTemporaryName(const QByteArray &name)
{
    static thread_local std::mt19937 random(std::random_device{}());
    // Below 2^32, so 1 to 7 digits, as isTemporaryNameOf() expects.
    return "." + name + "." + QByteArray::number(quint32(random()), 36);
}

bool isAppendOnly(int fd)
{
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

bool isCopiedAttribute(const char *name)
{
    return std::strncmp(name, "user.", 5) == 0 || std::strcmp(name, "system.posix_acl_access") == 0;
}

// The old page's ACL and user attributes onto the new one. What cannot be copied is left out:
// a page that others cannot read as before is still better than the old page kept for it.
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

bool isTemporaryNameOf(const char *rawName, const char *rawPageName)
{
    const std::size_t pageLength = std::strlen(rawPageName);
    if (rawName[0] != '.' || std::strncmp(rawName + 1, rawPageName, pageLength) != 0
        || rawName[pageLength + 1] != '.')
        return false;
    const char *digits = rawName + pageLength + 2;
    std::size_t count = 0;
    while (isBase36Digit(digits[count]))
        ++count;
    return digits[count] == '\0' && count >= 1 && count <= 7;
}

bool isPageTemporaryName(const char *rawName)
{
    return isTemporaryNameOf(rawName, "Quorvel-Html_index.html");
}

CodePageFile::~CodePageFile()
{
    discard();
}

bool CodePageFile::fail(int error)
{
    if (m_error == 0)
        m_error = error;
    discard();
    return false;
}

int CodePageFile::createUnnamed(unsigned mode)
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

int CodePageFile::createTemporary(unsigned mode)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_temporary = randomTemporaryName(m_name);
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

int CodePageFile::linkAs(const QByteArray &name)
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

int CodePageFile::linkUnnamed()
{
    if (m_linkToName)
        return linkAs(m_name);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = randomTemporaryName(m_name);
        const int error = linkAs(name);
        if (error == 0)
            m_temporary = name;
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

int CodePageFile::openInPlace(const QByteArray &name, unsigned long long inode)
{
    // Nothing is written before commit(), which first makes room for the whole page.
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

void CodePageFile::keepAttributes(const struct stat &old)
{
    // The umask must not narrow what the old page allowed, and a page that root rewrites stays
    // its owner's; neither is worth failing the page for. The mode goes first, as it would
    // rewrite the mask of the ACL.
    [[maybe_unused]] const int moded = ::fchmod(m_fd, old.st_mode & 0777);
    if (::geteuid() == 0) {
        [[maybe_unused]] const int owned = ::fchown(m_fd, old.st_uid, old.st_gid);
    }
    const int oldFd =
        ::openat(m_folder, m_name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (oldFd < 0)
        return;
    struct stat st;
    if (::fstat(oldFd, &st) == 0 && S_ISREG(st.st_mode) && st.st_ino == old.st_ino)
        copyAttributes(oldFd, m_fd);
    ::close(oldFd);
}

void CodePageFile::reset(const QString &name)
{
    discard();
    m_error = 0;
    m_inPlace = false;
    m_overwriting = false;
    m_unnamed = false;
    m_linkToName = false;
    m_buffer.clear();
    m_buffer.reserve(bufferSize + 4096);
    m_name = encodeFileName(name);
    // Past a file-size limit the kernel would kill the program; as an error, the page reports it.
    static std::once_flag ignoreFileSizeSignal;
    std::call_once(ignoreFileSizeSignal, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

bool CodePageFile::open(const QString &folder, const QString &name)
{
    const int folderFd =
        ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        const int error = errno;
        reset(name);
        return fail(error);
    }
    const bool opened = open(folderFd, name);
    ::close(folderFd);
    return opened;
}

bool CodePageFile::open(int folderFd, const QString &name)
{
    reset(name);
    m_folder = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    if (m_folder < 0)
        return fail(errno);

    struct stat old;
    bool hasOld = false;
    if (::fstatat(m_folder, m_name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(old.st_mode))
            return fail(EISDIR);
        if (!S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode))
            return fail(ErrorNotRegularFile);
        hasOld = S_ISREG(old.st_mode);
    } else if (errno != ENOENT) {
        return fail(errno);
    }

    // An append-only folder takes new names but lets none go: a temporary name could never be
    // renamed or removed. Its page is rewritten in place, or made under its own name at once.
    if (isAppendOnly(m_folder)) {
        if (hasOld) {
            const int error = openInPlace(m_name, old.st_ino);
            return error == 0 || fail(error);
        }
        m_linkToName = true;
    }

    const int created = createUnnamed(hasOld ? old.st_mode & 0777 : 0666);
    if (created == 0) {
        if (hasOld)
            keepAttributes(old);
        return true;
    }
    if (hasOld && (created == EACCES || created == EPERM)) {
        if (openInPlace(m_name, old.st_ino) == 0)
            return true;
    }
    return fail(created);
}

bool CodePageFile::writeLine(QStringView line)
{
    if (m_fd < 0)
        return fail(m_error != 0 ? m_error : EBADF);
    appendWindows1252(m_buffer, line);
    m_buffer += "\r\n";
    // In place, the whole page waits in memory until there is room for it.
    return m_inPlace || m_buffer.size() < bufferSize || flush();
}

bool CodePageFile::flush()
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

bool CodePageFile::overwriteInPlace()
{
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
    // Where the file system reserves no room, a full disk can still cut the page halfway;
    // keepsOldFile() then says so.
    m_overwriting = true;
    return flush() && (::ftruncate(m_fd, size) == 0 || fail(errno));
}

bool CodePageFile::commit()
{
    if (m_fd < 0)
        return fail(m_error != 0 ? m_error : EBADF);
    if (!(m_inPlace ? overwriteInPlace() : flush()))
        return false;
    if (::fsync(m_fd) != 0 && errno != EINVAL)
        return fail(errno);
    if (m_unnamed) {
        if (const int error = linkUnnamed(); error != 0)
            return fail(error);
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        return fail(errno);
    if (!m_inPlace && !m_linkToName) {
        if (::renameat(m_folder, m_temporary.constData(), m_folder, m_name.constData()) != 0)
            return fail(errno);
        m_temporary.clear();
    }
    ::close(m_folder);
    m_folder = -1;
    return true;
}

void CodePageFile::discard()
{
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
