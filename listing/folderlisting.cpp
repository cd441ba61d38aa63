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
#include <mutex>
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

// By key, then names equal but for case by their bytes.
template <typename Names>
bool comesBefore(const SortRecord &a, const SortRecord &b, const Names &names)
{
    if (const int byKey = std::strcmp(a.key, b.key); byKey != 0)
        return byKey < 0;
    return std::strcmp(names.at(a.index), names.at(b.index)) < 0;
}

// Sorts records whose keys agree on their first `depth` bytes, eight bytes at a time: the names
// in one folder often share long beginnings, and so do their keys, which a plain comparison
// would walk again and again.
template <typename Names>
void sortFrom(Records::iterator first, Records::iterator end, std::size_t depth, const Names &names)
{
    for (auto record = first; record != end; ++record)
        record->chunk = keyChunk(record->key + depth);
    std::sort(first, end,
              [](const SortRecord &a, const SortRecord &b) { return a.chunk < b.chunk; });
    while (first != end) {
        const auto last = std::find_if(first + 1, end, [first](const SortRecord &record) {
            return record.chunk != first->chunk;
        });
        if (last - first > 1) {
            // Key bytes are never 0: a 0 in the chunk is the end of equal keys.
            if ((first->chunk & 0xFF) == 0)
                std::sort(first, last, [&names](const SortRecord &a, const SortRecord &b) {
                    return std::strcmp(names.at(a.index), names.at(b.index)) < 0;
                });
            else
                sortFrom(first, last, depth + 8, names);
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
        sortFrom(records.begin(), records.end(), 0, m_names);
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
                sortFrom(records.begin(), middle, 0, names);
            else
                sortFrom(middle, records.end(), 0, names);
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
        if (comesBefore(*b, *a, names))
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

std::vector<std::size_t> sortedOrder(const NameBlock &names, const QLocale &locale)
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
        order.push_back(comesBefore(*b, *a, names) ? (b++)->index : (a++)->index);
    for (; a != front.records.cend(); ++a)
        order.push_back(a->index);
    for (; b != back.records.cend(); ++b)
        order.push_back(b->index);
    return order;
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
    if (m_names.size() > 1)
        m_names.reorder(sortedOrder(m_names, locale));
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
