#include "listing.h"

#include "codepagefile.h"
#include "filenames.h"
#include "folderlisting.h"
#include "folderorder.h"
#include "workpool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Big enough that handing a chunk over costs nothing against building its keys, small enough that
// the first is under way soon.
constexpr std::size_t filesChunk = 16384;

} // namespace

struct Listing::Data
{
    FolderListing names;              // by name, or in the listing's order where keys chose it
    bool chosen = false;              // whether `order` holds the entries; else the names do
    std::vector<std::size_t> order;   // indexes into names
    std::vector<FileStatus> statuses; // by index into names, where looked up
    std::vector<bool> known;
    std::vector<QByteArray> leftovers;
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

void Listing::orderByStatus(int folderFd, Data &data, Selection::Sort sort, bool reverse)
{
    const std::size_t count = data.order.size();
    // A key per place in the name order: equal keys keep that order without a stable sort.
    struct Keyed
    {
        qint64 key;
        std::size_t place;
    };
    std::vector<Keyed> keyed(count);
    std::vector<FileStatus> statuses(count);
    std::vector<char> found(count, 0);
    for (std::size_t at = 0; at < count; ++at)
        keyed[at] = {0, at};
    FolderHandle folder;
    if (folder.open(folderFd) == 0) {
        // Looking every file up is most of the work: on all the cores, a chunk at a time.
        constexpr std::size_t chunk = 1024;
        std::atomic<std::size_t> next = 0;
        const auto lookUp = [&](int) {
            for (std::size_t first = next.fetch_add(chunk); first < count;
                 first = next.fetch_add(chunk)) {
                for (std::size_t at = first; at < std::min(first + chunk, count); ++at) {
                    // One that cannot be looked at sorts as 0; the page reports it in its turn.
                    FileStatus &status = statuses[at];
                    if (folder.status(data.names.rawName(qsizetype(data.order[at])), status) != 0)
                        continue;
                    found[at] = 1;
                    // By the date taken, the file's time until the dates are known.
                    keyed[at].key =
                        sort == Selection::Sort::Size ? status.size : status.modifiedSeconds;
                }
            }
        };
        WorkPool &pool = WorkPool::instance();
        pool.run(count >= 2 * chunk ? pool.size() : 0, lookUp);
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
        return a.key != b.key ? a.key > b.key : a.place < b.place;
    });
    if (reverse)
        std::reverse(keyed.begin(), keyed.end());
    // Names and statuses laid out in the listing's order: the writer then reads them front to
    // back, as it does by name, not all over a block of tens of megabytes.
    std::vector<std::size_t> order(count);
    data.statuses.resize(count);
    data.known.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t place = keyed[k].place;
        order[k] = data.order[place];
        data.statuses[k] = statuses[place];
        data.known[k] = found[place] != 0;
    }
    data.names.reorder(order);
    data.order.clear();
    data.chosen = false;
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
    for (qsizetype i = 0; i < count; ++i) {
        const char *rawName = data->names.rawName(i);
        if (rawName[0] == '.' && namesItsProcess(rawName))
            data->leftovers.emplace_back(rawName);
    }
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
    if (selection.sort != Selection::Sort::Name)
        orderByStatus(folderFd, *data, selection.sort, selection.reverse);
    else if (selection.reverse)
        std::reverse(data->order.begin(), data->order.end());
    m_data = std::move(data);
}

const std::vector<QByteArray> &Listing::temporaries() const
{
    return m_data->leftovers;
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
    const std::size_t at = m_data->chosen ? m_data->order[std::size_t(i)] : std::size_t(i);
    return m_data->known[at] ? &m_data->statuses[at] : nullptr;
}

bool Listing::hasStatuses() const
{
    return !m_data->known.empty();
}

Listing Listing::orderedByTime(const std::vector<std::optional<qint64>> &times, bool reverse) const
{
    const qsizetype count = this->count();
    std::vector<qint64> keys(std::size_t(count), 0);
    for (qsizetype i = 0; i < count; ++i) {
        const FileStatus *found = status(i);
        const std::optional<qint64> &time = times[std::size_t(i)];
        keys[std::size_t(i)] = time ? *time : found ? found->modifiedSeconds : 0;
    }
    const std::vector<qsizetype> places = timeOrder(keys, reverse);
    auto data = std::make_shared<Data>(*m_data);
    data->chosen = true;
    data->order.resize(places.size());
    for (std::size_t k = 0; k < places.size(); ++k) {
        const qsizetype i = places[k];
        data->order[k] = m_data->chosen ? m_data->order[std::size_t(i)] : std::size_t(i);
    }
    Listing ordered;
    ordered.m_data = std::move(data);
    return ordered;
}
