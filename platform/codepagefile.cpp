#include "codepagefile.h"

#include "filenames.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <mutex>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr std::size_t bufferSize = std::size_t(64) * 1024;

struct ConverterDeleter
{
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};

// One converter a thread: ICU converters keep state and must not be shared.
UConverter *windows1252Converter()
{
    thread_local std::unique_ptr<UConverter, ConverterDeleter> converter = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<UConverter, ConverterDeleter> c(ucnv_open("windows-1252", &status));
        if (U_FAILURE(status))
            qFatal("ICU has no windows-1252 converter: %s", u_errorName(status));
        ucnv_setFromUCallBack(c.get(), UCNV_FROM_U_CALLBACK_ESCAPE, UCNV_ESCAPE_XML_DEC, nullptr,
                              nullptr, &status);
        if (U_FAILURE(status))
            qFatal("ICU cannot escape as XML: %s", u_errorName(status));
        return c;
    }();
    return converter.get();
}

// ASCII and U+00A0 to U+00FF are the same bytes in Windows-1252: most lines need no converter.
bool isDirectByte(char16_t unit)
{
    return unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF);
}

void appendWindows1252(std::string &out, QStringView text)
{
    const char16_t *units = text.utf16();
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && isDirectByte(units[i]))
        ++i;
    if (i == n) {
        const std::size_t at = out.size();
        out.resize(at + std::size_t(n));
        for (qsizetype k = 0; k < n; ++k)
            out[at + std::size_t(k)] = char(units[k]);
        return;
    }
    UConverter *converter = windows1252Converter();
    ucnv_resetFromUnicode(converter);
    // A character reference is at most "&#1114111;": ten bytes a code unit is plenty.
    const std::size_t at = out.size();
    out.resize(at + std::size_t(n) * 10 + 16);
    char *target = out.data() + at;
    const UChar *source = reinterpret_cast<const UChar *>(units);
    UErrorCode status = U_ZERO_ERROR;
    ucnv_fromUnicode(converter, &target, out.data() + out.size(), &source, source + n, nullptr,
                     true, &status);
    if (U_FAILURE(status))
        qFatal("windows-1252 conversion failed: %s", u_errorName(status));
    out.resize(std::size_t(target - out.data()));
}

} // namespace

QByteArray toWindows1252(QStringView text)
{
    std::string out;
    appendWindows1252(out, text);
    return QByteArray(out.data(), qsizetype(out.size()));
}

CodePageFile::~CodePageFile()
{
    close();
}

bool CodePageFile::isOpen() const
{
#if defined(Q_OS_UNIX)
    return m_fd >= 0;
#else
    return m_file.isOpen();
#endif
}

bool CodePageFile::open(const QString &path)
{
    close();
    m_error = 0;
    m_buffer.clear();
    m_buffer.reserve(bufferSize + 4096);
#if defined(Q_OS_UNIX)
    // Past a file-size limit the kernel would kill the program; as an error, the page reports it.
    static std::once_flag ignoreFileSizeSignal;
    std::call_once(ignoreFileSizeSignal, [] { std::signal(SIGXFSZ, SIG_IGN); });
    const QByteArray raw = encodeFileName(path);
    do {
        m_fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        m_error = errno;
        return false;
    }
    return true;
#else
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = EIO;
        return false;
    }
    return true;
#endif
}

bool CodePageFile::writeLine(QStringView line)
{
    if (!isOpen() || m_error != 0) {
        if (m_error == 0)
            m_error = EBADF;
        return false;
    }
    appendWindows1252(m_buffer, line);
    m_buffer += "\r\n";
    return m_buffer.size() < bufferSize || flush();
}

bool CodePageFile::flush()
{
    const char *data = m_buffer.data();
    std::size_t left = m_buffer.size();
#if defined(Q_OS_UNIX)
    while (left > 0) {
        const ssize_t written = ::write(m_fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            m_error = errno;
            break;
        }
        data += written;
        left -= std::size_t(written);
    }
#else
    if (m_file.write(data, qint64(left)) != qint64(left))
        m_error = EIO;
    left = 0;
#endif
    m_buffer.erase(0, m_buffer.size() - left);
    return m_error == 0;
}

bool CodePageFile::close()
{
    if (!isOpen())
        return m_error == 0;
    // Also after a failure: the lines written before it stay in the file, as far as they go.
    flush();
#if defined(Q_OS_UNIX)
    if (::close(m_fd) != 0 && m_error == 0 && errno != EINTR)
        m_error = errno;
    m_fd = -1;
#else
    m_file.close();
#endif
    m_buffer.clear();
    return m_error == 0;
}
