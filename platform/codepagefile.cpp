#include "codepagefile.h"

#include "filenames.h"
#include "systemerror.h"
#include "windows1252.h"

#include <cerrno>
#include <csignal>
#include <mutex>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
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

int CodePageFile::createTemporary(unsigned mode)
{
    static thread_local std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        m_temporary = "." + m_name + "." + QByteArray::number(quint32(random()), 36);
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

int CodePageFile::openInPlace(const QByteArray &name, unsigned long long inode)
{
    // No O_TRUNC before the file is known to be the regular file seen a moment ago.
    m_fd = ::openat(m_folder, name.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return errno;
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode) || st.st_ino != inode)
        return ErrorNotRegularFile;
    if (::ftruncate(m_fd, 0) != 0)
        return errno;
    m_inPlace = true;
    return 0;
}

void CodePageFile::reset(const QString &name)
{
    discard();
    m_error = 0;
    m_inPlace = false;
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

    const int created = createTemporary(hasOld ? old.st_mode & 0777 : 0666);
    if (created == 0) {
        if (hasOld) {
            // The umask must not narrow what the old page allowed, and a page that root
            // rewrites stays its owner's; neither is worth failing the page for.
            [[maybe_unused]] const int moded = ::fchmod(m_fd, old.st_mode & 0777);
            if (::geteuid() == 0) {
                [[maybe_unused]] const int owned = ::fchown(m_fd, old.st_uid, old.st_gid);
            }
        }
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
    return m_buffer.size() < bufferSize || flush();
}

bool CodePageFile::flush()
{
    const char *data = m_buffer.data();
    std::size_t left = m_buffer.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        data += written;
        left -= std::size_t(written);
    }
    m_buffer.clear();
    return true;
}

bool CodePageFile::commit()
{
    if (m_fd < 0)
        return fail(m_error != 0 ? m_error : EBADF);
    if (!flush())
        return false;
    if (::fsync(m_fd) != 0 && errno != EINVAL)
        return fail(errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        return fail(errno);
    if (!m_inPlace) {
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
