#include "selection.h"

#include "filenames.h"
#include "filesystem.h"

#include <algorithm>
#include <cerrno>
#include <fnmatch.h>

#include <fcntl.h>
#include <unistd.h>

bool leavesOut(const Selection &selection, const char *rawName)
{
    if (!selection.hidden && rawName[0] == '.')
        return true;
    return std::any_of(selection.exclude.begin(), selection.exclude.end(),
                       [rawName](const QByteArray &pattern) {
                           return ::fnmatch(pattern.constData(), rawName, 0) == 0;
                       });
}

int SelectedListing::read(const QString &folder, EntryKind kind, const Selection &selection,
                          const QLocale &locale)
{
    m_order.clear();
    const int fd = ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = read(fd, kind, selection, locale);
    ::close(fd);
    return error;
}

int SelectedListing::read(int folderFd, EntryKind kind, const Selection &selection,
                          const QLocale &locale)
{
    m_order.clear();
    if (const int error = m_listing.read(folderFd, kind, locale); error != 0)
        return error;
    for (qsizetype i = 0; i < m_listing.count(); ++i) {
        if (!leavesOut(selection, m_listing.rawName(i)))
            m_order.push_back(std::size_t(i));
    }
    if (selection.sort != Selection::Sort::Name) {
        FolderHandle handle;
        std::vector<qint64> keys(m_listing.count(), 0);
        if (handle.open(folderFd) == 0) {
            for (std::size_t i : m_order) {
                // An entry that cannot be looked at sorts as 0; the page reports it in its turn.
                FileStatus status;
                if (handle.status(m_listing.rawName(qsizetype(i)), status) == 0)
                    keys[i] = selection.sort == Selection::Sort::Date ? status.modifiedSeconds
                                                                      : status.size;
            }
        }
        std::stable_sort(m_order.begin(), m_order.end(),
                         [&keys](std::size_t a, std::size_t b) { return keys[a] > keys[b]; });
    }
    if (selection.reverse)
        std::reverse(m_order.begin(), m_order.end());
    return 0;
}

SelectedFileList::SelectedFileList(const QString &folder, const Selection &selection,
                                   const QLocale &locale)
    : m_folder(folder)
    , m_selection(selection)
    , m_locale(locale)
{}

bool SelectedFileList::Refresh(QString *error)
{
    m_index = -1;
    const int code = m_folderFd >= 0
                         ? m_listing.read(m_folderFd, EntryKind::Files, m_selection, m_locale)
                         : m_listing.read(m_folder, EntryKind::Files, m_selection, m_locale);
    if (code != 0 && error)
        *error = folderReadError(m_folder, code);
    return code == 0;
}

QString SelectedFileList::FileName() const
{
    return m_index >= 0 && m_index < m_listing.count() ? m_listing.name(m_index) : QString();
}
