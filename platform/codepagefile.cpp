#include "codepagefile.h"

#include "filedescriptor.h"
#include "filenames.h"
#include "windows1252.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>

namespace {

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

bool CodePageFile::open(const QString &folder, const QString &name)
{
    const FileDescriptor folderFd(
        ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.isOpen()) {
        return m_file.refuse(errno);
    }
    return open(folderFd.get(), name);
}

bool CodePageFile::open(int folderFd, const QString &name)
{
    return m_file.open(folderFd, encodeFileName(name));
}

bool CodePageFile::writeLine(QStringView line)
{
    m_line.clear();
    appendWindows1252(m_line, line);
    m_line += "\r\n";
    return m_file.write(m_line);
}
