#include "codepagefile.h"

#include "filedescriptor.h"
#include "filenames.h"
#include "windows1252.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>

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
