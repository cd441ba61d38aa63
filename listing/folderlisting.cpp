#include "folderlisting.h"

#include "collation.h"
#include "filenames.h"
#include "folderorder.h"
#include "systemerror.h"
#include "workpool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

struct SortRecord
{
    quint64 chunk; // eight bytes of the key, big-endian, from where the records around it differ
    const char *key;
    std::size_t index;
};

using Records = std::vector<SortRecord>;

// Each byte shifted straight to its place: shifting a whole 64-bit value by 64, as an empty rest of
// a key would ask for, is undefined.
quint64 keyChunk(const char *key)
{
    quint64 chunk = 0;
    for (int i = 0; i < 8 && key[i] != '\0'; ++i)
        chunk |= quint64(quint8(key[i])) << (56 - 8 * i);
    return chunk;
}

// Sixteen bytes, two thirds of a SortRecord: a key's place among its half's and a name's index
// fit in 32 bits short of hundreds of millions of names, and a million records are a few
// megabytes of the peak.
struct PackedRecord
{
    quint64 chunk; // as in SortRecord; once sorted, where the merge puts the order
    quint32 key;
    quint32 index;
};

// A wide record's key is where it points.
struct KeyAddresses
{
    const char *at(const SortRecord &record) const { return record.key; }
};

// A packed record's key is in its half's block.
struct KeyBlock
{
    const char *keys;
    const char *at(const PackedRecord &record) const { return keys + record.key; }
};

// By key, then names equal but for case by their bytes.
template <typename Names>
bool comesBefore(const char *keyA, std::size_t indexA, const char *keyB, std::size_t indexB,
                 const Names &names)
{
    if (const int byKey = std::strcmp(keyA, keyB); byKey != 0)
        return byKey < 0;
    return std::strcmp(names.at(indexA), names.at(indexB)) < 0;
}

// Sorts records whose keys agree on their first `depth` bytes, eight bytes at a time: the names
// in one folder often share long beginnings, and so do their keys, which a plain comparison
// would walk again and again.
template <typename Iterator, typename Keys, typename Names>
void sortFrom(Iterator first, Iterator end, std::size_t depth, const Keys &keys, const Names &names)
{
    using Record = typename std::iterator_traits<Iterator>::value_type;
    for (auto record = first; record != end; ++record)
        record->chunk = keyChunk(keys.at(*record) + depth);
    std::sort(first, end, [](const Record &a, const Record &b) { return a.chunk < b.chunk; });
    while (first != end) {
        const auto last = std::find_if(
            first + 1, end, [first](const Record &record) { return record.chunk != first->chunk; });
        if (last - first > 1) {
            // Key bytes are never 0: a 0 in the chunk is the end of equal keys.
            if ((first->chunk & 0xFF) == 0)
                std::sort(first, last, [&names](const Record &a, const Record &b) {
                    return std::strcmp(names.at(a.index), names.at(b.index)) < 0;
                });
            else
                sortFrom(first, last, depth + 8, keys, names);
        }
        first = last;
    }
}

// The sorted records of a run of names, with the keys they point into.
class SortedPart
{
public:
    SortedPart(const NameBlock &names, std::size_t first, std::size_t end)
        : m_names(names)
        , m_first(first)
        , m_end(end)
    {}

    // One collator each: ICU's are not to be shared between threads.
    void sort(const QLocale &locale)
    {
        const NameCollator collator(locale);
        std::vector<std::size_t> starts;
        starts.reserve(m_end - m_first);
        // Room for the usual keys up front: growing a block of tens of megabytes copies it.
        const std::size_t nameBytes = m_end > m_first
                                          ? std::size_t(m_names.at(m_end - 1) - m_names.at(m_first))
                                                + m_names.length(m_end - 1)
                                          : 0;
        m_keys.reserve(nameBytes * 2 + (m_end - m_first) * 16);
        QString name;
        for (std::size_t i = m_first; i < m_end; ++i) {
            starts.push_back(m_keys.size());
            decodeFileName(QByteArrayView(m_names.at(i), m_names.length(i)), name);
            collator.appendSortKey(name, m_keys);
        }
        // Pointers only now: the block moved as it grew.
        records.reserve(starts.size());
        for (std::size_t i = m_first; i < m_end; ++i) {
            const char *key = m_keys.data() + starts[i - m_first];
            records.push_back({0, key, i});
        }
        sortFrom(records.begin(), records.end(), 0, KeyAddresses{}, m_names);
    }

    Records records;

private:
    const NameBlock &m_names;
    std::size_t m_first;
    std::size_t m_end;
    std::string m_keys;
};

// Names of about a hundred thousand files.
constexpr std::size_t largeFolderBytes = std::size_t(4) << 20;

// Below this the second thread costs more than it saves.
constexpr std::size_t twoThreadMinimum = 2048;

// Blocks of megabytes given up while the names and keys grew, then by the sort, are free but
// still resident where they lie below blocks in use; what comes next would come on top of them.
// A small folder leaves nothing worth a walk over every arena, which a tree's folders read on
// all the cores would take turns at.
void giveBackFreed(std::size_t nameBytes)
{
#ifdef __GLIBC__
    if (nameBytes >= largeFolderBytes)
        ::malloc_trim(0);
#else
    Q_UNUSED(nameBytes);
#endif
}

// Keys one after another, where each starts, for a run of names: those a thread built.
// Keys one after another, with a record for each, for a run of names: those a thread built. The
// records hold each name's index among all the names, the first being `first`.
struct KeyPart
{
    std::string keys;
    std::vector<PackedRecord> records;

    // False where the keys have grown past what a 32-bit offset reaches.
    bool build(const NameCollator &collator, const NameBlock &names, std::size_t first,
               QString &name)
    {
        for (std::size_t i = 0; i < names.size(); ++i) {
            records.push_back({0, quint32(keys.size()), quint32(first + i)});
            decodeFileName(QByteArrayView(names.at(i), names.length(i)), name);
            collator.appendSortKey(name, keys);
        }
        return keys.size() <= std::numeric_limits<quint32>::max();
    }
};

// A packed record's key, in the part that built it: the helper's for names before `split`, the
// finishing thread's from there on.
struct TwoParts
{
    const char *front;
    const char *back;
    std::size_t split;
    const char *at(const PackedRecord &record) const
    {
        return (record.index < split ? front : back) + record.key;
    }
};

// Gives up what a block holds: assigned an empty one, a string would keep its room.
template <typename Block> void release(Block &block)
{
    const Block gone = std::move(block);
}

// Chunks waiting for their keys at most, before the reading waits for the helper: each holds a
// copy of names already in the block.
constexpr std::size_t mostQueued = 2;

// Merges the sorted halves of the records, before and from `middle`, writing the names' order into
// their chunks, which the sort no longer needs. Keys made by the same rules compare alike whichever
// collator made them.
template <typename FrontKeys, typename BackKeys, typename Names>
void mergeHalves(std::vector<PackedRecord> &records, std::size_t middle, const FrontKeys &front,
                 const BackKeys &back, const Names &names)
{
    std::size_t a = 0;
    std::size_t b = middle;
    std::size_t out = 0;
    while (a < middle && b < records.size()) {
        const PackedRecord &ra = records[a];
        const PackedRecord &rb = records[b];
        const bool backFirst = comesBefore(back.at(rb), rb.index, front.at(ra), ra.index, names);
        records[out++].chunk = backFirst ? records[b++].index : records[a++].index;
    }
    while (a < middle)
        records[out++].chunk = records[a++].index;
    while (b < records.size())
        records[out++].chunk = records[b++].index;
}

std::vector<std::size_t> orderOf(const std::vector<PackedRecord> &records)
{
    std::vector<std::size_t> order(records.size());
    for (std::size_t k = 0; k < records.size(); ++k)
        order[k] = std::size_t(records[k].chunk);
    return order;
}

} // namespace

struct NameSorter::Shared
{
    explicit Shared(const QLocale &locale)
        : locale(locale)
    {}

    // Builds the keys of the chunks in order into `front`, up to `limit`; a helper waits for more
    // until the last is in.
    void work(bool helper)
    {
        std::optional<NameCollator> collator;
        QString name;
        std::unique_lock lock(mutex);
        for (;;) {
            if (next < std::min(limit, chunks.size())) {
                NameBlock &chunk = chunks[next++];
                lock.unlock();
                if (!collator)
                    collator.emplace(locale);
                if (!front.build(*collator, chunk, front.records.size(), name))
                    tooLong = true;
                release(chunk);
                lock.lock();
                ++built;
                changed.notify_all();
            } else if (finished || !helper) {
                break;
            } else {
                changed.wait(lock);
            }
        }
        if (helper) {
            helping = false;
            changed.notify_all();
        }
    }

    const QLocale locale;
    std::mutex mutex;
    std::condition_variable changed;
    NameBlock all;                // every name added, in order; the reading's alone until the end
    std::deque<NameBlock> chunks; // copies of names waiting for keys, emptied once built
    std::size_t next = 0;         // the first chunk nobody builds yet
    std::size_t built = 0;
    std::size_t limit = std::numeric_limits<std::size_t>::max(); // where the front part ends
    KeyPart front;
    std::atomic<bool> tooLong = false;
    bool finished = false;
    bool helping = false; // a helper was started and has not yet returned
};

NameSorter::NameSorter(const QLocale &locale)
    : m_shared(std::make_shared<Shared>(locale))
{}

NameSorter::~NameSorter()
{
    std::unique_lock lock(m_shared->mutex);
    m_shared->finished = true;
    m_shared->changed.notify_all();
}

void NameSorter::expect(std::size_t folderBytes)
{
    // Room asked for and never used is never touched, so costs nothing; past a bound, a folder
    // grows its room as it goes.
    constexpr std::size_t mostBytes = std::size_t(256) << 20;
    if (folderBytes < largeFolderBytes)
        return;
    const std::size_t bytes = std::min(folderBytes, mostBytes);
    // A name takes at least twelve bytes of a folder on disk, and its key about as many as it.
    Shared &shared = *m_shared;
    shared.all.reserve(bytes / 12, bytes);
    std::lock_guard lock(shared.mutex);
    shared.front.keys.reserve(bytes);
    shared.front.records.reserve(bytes / 12);
}

void NameSorter::add(NameBlock &names)
{
    Shared &shared = *m_shared;
    // Into the block the names stay in; the chunk, a copy for the helper, is given up once its
    // keys are built.
    for (std::size_t i = 0; i < names.size(); ++i)
        shared.all.add(names.at(i), names.length(i));
    const std::size_t count = names.size();
    const std::size_t bytes = names.bytes();
    std::unique_lock lock(shared.mutex);
    // A helper slower than the reading holds the reading back rather than let copies pile up.
    shared.changed.wait(lock, [&shared] {
        return !shared.helping || shared.chunks.size() - shared.built < mostQueued;
    });
    shared.chunks.push_back(std::exchange(names, NameBlock()));
    // The next chunk is likely as large: room for it saves growing it step by step.
    names.reserve(count, bytes);
    // A small one is most likely the whole folder: a helper would cost more than it saves.
    if (!shared.helping && count >= twoThreadMinimum) {
        shared.helping = true;
        shared.helping = WorkPool::instance().tryStart([shared = m_shared] { shared->work(true); });
    }
    shared.changed.notify_all();
}

NameBlock NameSorter::finish()
{
    Shared &shared = *m_shared;
    // The chunks nobody has taken are shared: the front ones go on in the helper's part, or on an
    // idle thread's where the helper never started; this thread builds the back ones.
    std::size_t backFirst = 0;
    std::size_t split = shared.all.size(); // the first name of the back chunks
    bool idleHelps = false;
    {
        std::lock_guard lock(shared.mutex);
        const std::size_t untaken = shared.chunks.size() - shared.next;
        shared.limit = shared.next + untaken / 2;
        backFirst = shared.limit;
        for (std::size_t c = backFirst; c < shared.chunks.size(); ++c)
            split -= shared.chunks[c].size();
        idleHelps = !shared.helping && shared.limit > shared.next;
        shared.finished = true;
        shared.changed.notify_all();
    }
    KeyPart back;
    // The front part on this thread too where no helper builds it; never beside the helper.
    const int parts = idleHelps ? 2 : 1;
    std::atomic<int> part = 0;
    WorkPool::instance().run(idleHelps ? 1 : 0, [&](int) {
        for (int mine = part++; mine < parts; mine = part++) {
            if (mine == 1) {
                shared.work(false);
                continue;
            }
            const NameCollator collator(shared.locale);
            QString name;
            for (std::size_t c = backFirst; c < shared.chunks.size(); ++c) {
                if (!back.build(collator, shared.chunks[c], split + back.records.size(), name))
                    shared.tooLong = true;
                release(shared.chunks[c]);
            }
        }
    });
    {
        std::unique_lock lock(shared.mutex);
        shared.changed.wait(lock,
                            [&shared] { return shared.built == shared.limit && !shared.helping; });
    }
    NameBlock all = std::move(shared.all);
    const std::size_t count = all.size();
    if (shared.tooLong || count > std::numeric_limits<quint32>::max()) {
        // Past what packed records reach: sorted again from the names alone.
        release(shared.front);
        release(back);
        all.reorder(sortedOrder(all, shared.locale));
        return all;
    }

    giveBackFreed(all.bytes());
    std::vector<PackedRecord> records = std::move(shared.front.records);
    records.insert(records.end(), back.records.begin(), back.records.end());
    release(back.records);
    const TwoParts keys{shared.front.keys.data(), back.keys.data(), split};
    const std::size_t middle = count >= twoThreadMinimum ? count / 2 : count;
    std::atomic<int> half = 0;
    WorkPool::instance().run(middle < count ? 1 : 0, [&](int) {
        const auto begin = records.begin();
        for (int mine = half++; mine < 2; mine = half++) {
            if (mine == 0)
                sortFrom(begin, begin + std::ptrdiff_t(middle), 0, keys, all);
            else
                sortFrom(begin + std::ptrdiff_t(middle), records.end(), 0, keys, all);
        }
    });
    mergeHalves(records, middle, keys, keys, all);
    std::string().swap(shared.front.keys);
    std::string().swap(back.keys);
    const std::vector<std::size_t> order = orderOf(records);
    std::vector<PackedRecord>().swap(records);
    giveBackFreed(all.bytes());
    all.reorder(order);
    return all;
}

namespace {

std::vector<std::size_t> wideOrder(const NameBlock &names, const QLocale &locale)
{
    const bool split = names.size() >= twoThreadMinimum;
    const std::size_t half = split ? names.size() / 2 : names.size();
    SortedPart front(names, 0, half);
    SortedPart back(names, half, names.size());
    // The halves on two threads where one is idle, else one after the other.
    SortedPart *parts[] = {&front, &back};
    std::atomic<int> next = 0;
    WorkPool::instance().run(split ? 1 : 0, [&parts, &next, &locale](int) {
        for (int part = next++; part < 2; part = next++)
            parts[part]->sort(locale);
    });

    // Keys made by the same rules compare alike whichever collator made them.
    std::vector<std::size_t> order;
    order.reserve(names.size());
    auto a = front.records.cbegin();
    auto b = back.records.cbegin();
    while (a != front.records.cend() && b != back.records.cend())
        order.push_back(comesBefore(b->key, b->index, a->key, a->index, names) ? (b++)->index
                                                                               : (a++)->index);
    for (; a != front.records.cend(); ++a)
        order.push_back(a->index);
    for (; b != back.records.cend(); ++b)
        order.push_back(b->index);
    return order;
}

// Builds the keys of names [first, end) and their records; false where the keys grow past
// `keyLimit` bytes, too far for a packed record to point.
bool buildPacked(const NameBlock &names, std::size_t first, std::size_t end, const QLocale &locale,
                 std::size_t keyLimit, std::string &keys, PackedRecord *records)
{
    if (end == first)
        return true;
    const NameCollator collator(locale);
    const std::size_t nameBytes =
        std::size_t(names.at(end - 1) - names.at(first)) + names.length(end - 1);
    keys.reserve(nameBytes * 2 + (end - first) * 16);
    QString name;
    for (std::size_t i = first; i < end; ++i) {
        if (keys.size() > keyLimit)
            return false;
        records[i] = {0, quint32(keys.size()), quint32(i)};
        decodeFileName(QByteArrayView(names.at(i), names.length(i)), name);
        collator.appendSortKey(name, keys);
    }
    return true;
}

// As wideOrder(), with both halves' records in one block of packed ones, and the merge writing the
// order into their chunks, which the sort no longer needs: nothing as large as the records is
// allocated while the keys are alive.
std::optional<std::vector<std::size_t>> packedOrder(const NameBlock &names, const QLocale &locale,
                                                    std::size_t keyLimit)
{
    const std::size_t count = names.size();
    const bool split = count >= twoThreadMinimum;
    const std::size_t bounds[] = {0, split ? count / 2 : count, count};
    std::vector<PackedRecord> records(count);
    std::string keys[2];
    std::atomic<bool> fits = true;
    std::atomic<int> next = 0;
    WorkPool::instance().run(split ? 1 : 0, [&](int) {
        for (int part = next++; part < 2; part = next++) {
            if (!buildPacked(names, bounds[part], bounds[part + 1], locale, keyLimit, keys[part],
                             records.data())) {
                fits = false;
                continue;
            }
            const auto begin = records.begin();
            sortFrom(begin + std::ptrdiff_t(bounds[part]), begin + std::ptrdiff_t(bounds[part + 1]),
                     0, KeyBlock{keys[part].data()}, names);
        }
    });
    if (!fits)
        return std::nullopt;
    mergeHalves(records, bounds[1], KeyBlock{keys[0].data()}, KeyBlock{keys[1].data()}, names);
    std::string().swap(keys[0]);
    std::string().swap(keys[1]);
    return orderOf(records);
}

} // namespace

std::vector<std::size_t> sortedOrder(const NameBlock &names, const QLocale &locale,
                                     std::size_t packedKeyLimit)
{
    if (names.size() <= std::numeric_limits<quint32>::max()) {
        if (std::optional<std::vector<std::size_t>> order = packedOrder(
                names, locale,
                std::min<std::size_t>(packedKeyLimit, std::numeric_limits<quint32>::max())))
            return *std::move(order);
    }
    return wideOrder(names, locale);
}

int FolderListing::read(const QString &folder, EntryKind kind, const QLocale &locale)
{
    NameBlock names;
    const int error = scanFolder(folder, kind, names);
    assign(std::move(names), locale);
    return error;
}

void FolderListing::assign(NameBlock &&names, const QLocale &locale)
{
    m_names = std::move(names);
    if (m_names.size() <= 1)
        return;
    giveBackFreed(m_names.bytes());
    const std::vector<std::size_t> order = sortedOrder(m_names, locale);
    giveBackFreed(m_names.bytes());
    m_names.reorder(order);
}

QString FolderListing::name(qsizetype i) const
{
    return decodeFileName(
        QByteArrayView(m_names.at(std::size_t(i)), m_names.length(std::size_t(i))));
}

QString folderReadError(const QString &folder, int error)
{
    return failureText({u"leer la carpeta", folder, error});
}
