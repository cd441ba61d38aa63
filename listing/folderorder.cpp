#include "folderorder.h"

#include "collation.h"
#include "filenames.h"
#include "workpool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <system_error>
#include <vector>

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

// Below this the second thread costs more than it saves.
constexpr std::size_t twoThreadMinimum = 2048;

// Sorts the records in two halves, on two threads where one is idle, and merges them straight
// into the names in order. The names and keys lie all over their chunks: the merge asks for
// those a few records ahead early, so that it does not wait on memory one name at a time.
template <typename Names>
NameBlock sortedNames(Records &records, const Names &names, std::size_t bytes)
{
    const bool split = records.size() >= twoThreadMinimum;
    const auto middle =
        records.begin() + std::ptrdiff_t(split ? records.size() / 2 : records.size());
    std::atomic<int> next = 0;
    WorkPool::instance().run(split ? 1 : 0, [&](int) {
        for (int part = next++; part < 2; part = next++) {
            if (part == 0)
                sortFrom(records.begin(), middle, 0, KeyAddresses{}, names);
            else
                sortFrom(middle, records.end(), 0, KeyAddresses{}, names);
        }
    });
    NameBlock all;
    all.reserve(records.size(), bytes);
    constexpr std::ptrdiff_t ahead = 8;
    const auto take = [&names, &all](Records::const_iterator &at, Records::const_iterator end) {
        if (end - at > ahead) {
            __builtin_prefetch(at[ahead].key);
            __builtin_prefetch(names.at(at[ahead].index));
        }
        const char *name = names.at((at++)->index);
        all.add(name, std::strlen(name));
    };
    auto a = records.cbegin();
    const auto aEnd = Records::const_iterator(middle);
    auto b = aEnd;
    while (a != aEnd && b != records.cend()) {
        if (comesBefore(b->key, b->index, a->key, a->index, names))
            take(b, records.cend());
        else
            take(a, aEnd);
    }
    while (a != aEnd)
        take(a, aEnd);
    while (b != records.cend())
        take(b, records.cend());
    return all;
}

// Names as read, with their keys one after another and where each starts: a chunk is a few
// thousand names, so 32-bit offsets do.
struct KeyedChunk
{
    NameBlock names;
    std::string keys;
    std::vector<quint32> starts;

    void build(const NameCollator &collator, QString &name)
    {
        const std::size_t count = names.size();
        if (count == 0)
            return;
        starts.reserve(count);
        const std::size_t nameBytes =
            std::size_t(names.at(count - 1) - names.at(0)) + names.length(count - 1);
        keys.reserve(nameBytes * 2 + count * 16);
        for (std::size_t i = 0; i < count; ++i) {
            starts.push_back(quint32(keys.size()));
            decodeFileName(QByteArrayView(names.at(i), names.length(i)), name);
            collator.appendSortKey(name, keys);
        }
    }
};

static_assert(sizeof(std::size_t) >= sizeof(const char *), "an index holds a name's address");

// A name by its address, held in the record's index: the chunks stay put until the names are
// copied, and a name's place found through its chunk would cost the sort and the merge a wait on
// memory each time.
struct NameAddresses
{
    const char *at(std::size_t index) const { return reinterpret_cast<const char *>(index); }
};

} // namespace

struct NameSorter::Shared
{
    explicit Shared(const QLocale &locale)
        : locale(locale)
    {}

    // Builds the keys of chunks nobody has taken; a helper waits for more until the last is in.
    void work(bool helper)
    {
        std::optional<NameCollator> collator;
        QString name;
        std::unique_lock lock(mutex);
        for (;;) {
            if (next < chunks.size()) {
                KeyedChunk &chunk = chunks[next++];
                lock.unlock();
                if (!collator)
                    collator.emplace(locale);
                chunk.build(*collator, name);
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
    std::deque<KeyedChunk> chunks; // a deque: a chunk being built stays where it is
    std::size_t next = 0;          // the first chunk nobody builds yet
    std::size_t built = 0;
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

void NameSorter::add(NameBlock &names)
{
    std::lock_guard lock(m_shared->mutex);
    const std::size_t count = names.size();
    const std::size_t bytes = names.bytes();
    m_shared->chunks.emplace_back().names = std::exchange(names, NameBlock());
    // The next chunk is likely as large: room for it saves growing it step by step.
    names.reserve(count, bytes);
    // A small one is most likely the whole folder: a helper would cost more than it saves.
    if (!m_shared->helping && count >= twoThreadMinimum) {
        m_shared->helping = true;
        m_shared->helping =
            WorkPool::instance().tryStart([shared = m_shared] { shared->work(true); });
    }
    m_shared->changed.notify_all();
}

NameBlock NameSorter::finish()
{
    Shared &shared = *m_shared;
    {
        std::lock_guard lock(shared.mutex);
        shared.finished = true;
        shared.changed.notify_all();
    }
    // What is left on this thread, and on an idle one where there is more than one chunk.
    int helpers = 0;
    {
        std::lock_guard lock(shared.mutex);
        helpers = shared.chunks.size() - shared.next > 1 ? 1 : 0;
    }
    WorkPool::instance().run(helpers, [&shared](int) { shared.work(false); });
    {
        std::unique_lock lock(shared.mutex);
        shared.changed.wait(
            lock, [&shared] { return shared.built == shared.chunks.size() && !shared.helping; });
    }

    // Records point at their names, so the names are copied once, in order.
    std::size_t count = 0;
    std::size_t bytes = 0;
    for (const KeyedChunk &chunk : shared.chunks) {
        count += chunk.names.size();
        bytes += chunk.names.bytes();
    }
    Records records;
    records.reserve(count);
    for (const KeyedChunk &chunk : shared.chunks) {
        for (std::size_t i = 0; i < chunk.starts.size(); ++i)
            records.push_back({0, chunk.keys.data() + chunk.starts[i],
                               reinterpret_cast<std::size_t>(chunk.names.at(i))});
    }
    NameBlock all = sortedNames(records, NameAddresses{}, bytes);
    Records().swap(records);
    shared.chunks.clear();
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

    // Keys made by the same rules compare alike whichever collator made them.
    const KeyBlock front{keys[0].data()};
    const KeyBlock back{keys[1].data()};
    std::size_t a = 0;
    const std::size_t aEnd = bounds[1];
    std::size_t b = aEnd;
    std::size_t out = 0;
    while (a < aEnd && b < count) {
        const PackedRecord &ra = records[a];
        const PackedRecord &rb = records[b];
        const bool backFirst = comesBefore(back.at(rb), rb.index, front.at(ra), ra.index, names);
        records[out++].chunk = backFirst ? records[b++].index : records[a++].index;
    }
    while (a < aEnd)
        records[out++].chunk = records[a++].index;
    while (b < count)
        records[out++].chunk = records[b++].index;
    std::string().swap(keys[0]);
    std::string().swap(keys[1]);
    std::vector<std::size_t> order(count);
    for (std::size_t k = 0; k < count; ++k)
        order[k] = std::size_t(records[k].chunk);
    return order;
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

std::vector<qsizetype> timeOrder(const std::vector<qint64> &times, bool reverse)
{
    std::vector<qsizetype> order(times.size());
    std::iota(order.begin(), order.end(), qsizetype(0));
    std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        const qint64 left = times[std::size_t(a)], right = times[std::size_t(b)];
        return reverse ? left < right : left > right;
    });
    return order;
}
