#include "codepagefile.h"

#include "filedescriptor.h"
#include "filenames.h"
#include "windows1252.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool isBase36Digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
}

// The process named in a temporary name of `rawPageName`, 0 where it names none, -1 where the
// name is no such temporary name.
long temporaryNameProcess(const char *rawName, const char *rawPageName)
{
    const std::size_t pageLength = std::strlen(rawPageName);
    if (rawName[0] != '.' || std::strncmp(rawName + 1, rawPageName, pageLength) != 0
        || rawName[pageLength + 1] != '.')
        return -1;
    const char *digits = rawName + pageLength + 2;
    long process = 0;
    std::size_t count = 0;
    while (digits[count] >= '0' && digits[count] <= '9' && count < 10)
        process = process * 10 + (digits[count++] - '0');
    if (digits[count] == '-' && count >= 1 && digits[0] != '0')
        digits += count + 1;
    else
        process = 0;
    count = 0;
    while (isBase36Digit(digits[count]))
        ++count;
    return digits[count] == '\0' && count >= 1 && count <= 7 ? process : -1;
}

} // namespace

bool isTemporaryNameOf(const char *rawName, const char *rawPageName)
{
    return temporaryNameProcess(rawName, rawPageName) >= 0;
}

bool namesItsProcess(const char *rawName)
{
    const char *dot = std::strrchr(rawName, '.');
    if (rawName[0] != '.' || dot == rawName || dot == rawName + 1)
        return false;
    // The name before the process's number is taken for the page's own.
    const std::string page(rawName + 1, dot);
    return temporaryNameProcess(rawName, page.c_str()) > 0;
}

void removeLeftoverTemporaries(int folderFd, const std::vector<QByteArray> &rawNames,
                               const char *rawPageName)
{
    for (const QByteArray &name : rawNames) {
        const long process = temporaryNameProcess(name.constData(), rawPageName);
        // Another user's run answers EPERM: only one that is gone is taken for dead.
        if (process > 0 && process != ::getpid() && ::kill(pid_t(process), 0) != 0
            && errno == ESRCH)
            ::unlinkat(folderFd, name.constData(), 0);
    }
}

bool CodePageFile::open(const QString &folder, const QString &name,
                        const ReplacementOptions &options)
{
    const FileDescriptor folderFd(
        ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.isOpen()) {
        return m_file.refuse(errno);
    }
    return open(folderFd.get(), name, options);
}

bool CodePageFile::open(int folderFd, const QString &name, const ReplacementOptions &options)
{
    return m_file.open(folderFd, encodeFileName(name), options);
}

bool CodePageFile::writeLine(QStringView line)
{
    m_line.clear();
    appendWindows1252(m_line, line);
    m_line += "\r\n";
    return m_file.write(m_line);
}

bool CodePageFile::writeText(QStringView text)
{
    m_line.clear();
    appendWindows1252(m_line, text);
    return m_file.write(m_line);
}

bool CodePageFile::writeVarying(QStringView text)
{
    m_line.clear();
    appendWindows1252(m_line, text);
    return m_file.writeVarying(m_line);
}
