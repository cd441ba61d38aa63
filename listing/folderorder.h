#pragma once

#include "filesystem.h"

#include <QLocale>

#include <cstdint>
#include <memory>
#include <vector>

// The indexes of the names in the order a folder listing keeps them: by the locale's collation
// key, then, where keys are equal, by the names' bytes. Records point into keys by 32-bit offsets
// up to `packedKeyLimit` bytes of them, by address past it.
std::vector<std::size_t> sortedOrder(const NameBlock &names, const QLocale &locale,
                                     std::size_t packedKeyLimit = UINT32_MAX);

// The places 0..times.size()-1 newest first, or oldest first when reversed; equal times keep the
// order they came in.
std::vector<qsizetype> timeOrder(const std::vector<qint64> &times, bool reverse);

// Names of about a hundred thousand files: what a listing this large gave back while it grew and
// sorted is worth handing back to the system.
inline constexpr std::size_t largeFolderBytes = std::size_t(4) << 20;

// Orders names as FolderListing does, taking them in chunks as a folder is read: the sort keys of
// one chunk are built on a helper thread, where one is idle, while the next is read.
class NameSorter
{
public:
    explicit NameSorter(const QLocale &locale = QLocale());
    NameSorter(const NameSorter &) = delete;
    NameSorter &operator=(const NameSorter &) = delete;
    ~NameSorter();

    // Takes the names and leaves the block empty.
    void add(NameBlock &names);
    // Every name added, in order.
    NameBlock finish();

private:
    struct Shared;

    std::shared_ptr<Shared> m_shared;
};
