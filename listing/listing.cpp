#include "listing.h"

#include "filenames.h"
#include "folderlisting.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Big enough that handing a chunk over costs nothing against building its keys, small enough that
// the first is under way soon.
constexpr std::size_t filesChunk = 16384;

} // namespace

struct Listing::Data
{
    FolderListing names;              // by name
    bool chosen = false;              // whether `order` holds the entries; else the names do
    std::vector<std::size_t> order;   // indexes into names
    std::vector<FileStatus> statuses; // by index into names, where looked up
    std::vector<bool> known;
};

Listing::Listing()
    : m_data(std::make_shared<const Data>())
{}

int Listing::read(int folderFd, EntryKind kind, const Selection &selection, const QLocale &locale)
{
    NameBlock names;
    const int error = scanFolder(folderFd, kind, names);
    choose(folderFd, names, selection, locale);
    return error;
}

int Listing::read(const QString &folder, EntryKind kind, const Selection &selection,
                  const QLocale &locale)
{
    const FileDescriptor fd = openFolder(folder);
    if (!fd.isOpen()) {
        const int error = errno;
        *this = Listing();
        return error;
    }
    return read(fd.get(), kind, selection, locale);
}

int Listing::readFolder(int folderFd, const Selection &selection, const QLocale &locale,
                        Listing &files, Listing &folders)
{
    NameSorter sorter(locale);
    NameBlock folderNames;
    const int error = scanFolder(folderFd, folderNames, filesChunk,
                                 [&sorter](NameBlock &chunk) { sorter.add(chunk); });
    NameBlock fileNames = sorter.finish();
    if (error != 0)
        fileNames.clear();
    files.choose(folderFd, fileNames, selection, locale, true);
    folders.choose(folderFd, folderNames, selection, locale);
    return error;
}

void Listing::choose(int folderFd, NameBlock &names, const Selection &selection,
                     const QLocale &locale, bool sorted)
{
    auto data = std::make_shared<Data>();
    if (sorted)
        data->names.assignSorted(std::move(names));
    else
        data->names.assign(std::move(names), locale);
    const qsizetype count = data->names.count();
    bool all = true;
    for (qsizetype i = 0; i < count; ++i) {
        if (leavesOut(selection, data->names.rawName(i))) {
            all = false;
            break;
        }
    }
    if (!all || selection.sort != Selection::Sort::Name || selection.reverse) {
        data->chosen = true;
        for (qsizetype i = 0; i < count; ++i) {
            if (!leavesOut(selection, data->names.rawName(i)))
                data->order.push_back(std::size_t(i));
        }
    }
    if (selection.sort != Selection::Sort::Name) {
        FolderHandle folder;
        data->statuses.resize(std::size_t(count));
        data->known.resize(std::size_t(count));
        std::vector<qint64> keys(std::size_t(count), 0);
        if (folder.open(folderFd) == 0) {
            for (const std::size_t i : data->order) {
                // One that cannot be looked at sorts as 0; the page reports it in its turn.
                FileStatus &status = data->statuses[i];
                if (folder.status(data->names.rawName(qsizetype(i)), status) != 0)
                    continue;
                data->known[i] = true;
                keys[i] =
                    selection.sort == Selection::Sort::Date ? status.modifiedSeconds : status.size;
            }
        }
        std::stable_sort(data->order.begin(), data->order.end(),
                         [&keys](std::size_t a, std::size_t b) { return keys[a] > keys[b]; });
    }
    if (selection.reverse)
        std::reverse(data->order.begin(), data->order.end());
    m_data = std::move(data);
}

qsizetype Listing::count() const
{
    return m_data->chosen ? qsizetype(m_data->order.size()) : m_data->names.count();
}

const char *Listing::rawName(qsizetype i) const
{
    return m_data->names.rawName(m_data->chosen ? qsizetype(m_data->order[std::size_t(i)]) : i);
}

QString Listing::name(qsizetype i) const
{
    return m_data->names.name(m_data->chosen ? qsizetype(m_data->order[std::size_t(i)]) : i);
}

const FileStatus *Listing::status(qsizetype i) const
{
    if (m_data->known.empty())
        return nullptr;
    const std::size_t at = m_data->order[std::size_t(i)];
    return m_data->known[at] ? &m_data->statuses[at] : nullptr;
}

bool Listing::hasStatuses() const
{
    return !m_data->known.empty();
}
