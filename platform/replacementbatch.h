#pragma once

#include <QByteArray>

#include <cstddef>
#include <vector>

class FileReplacement;

// New files put in place together: one sync of their file systems for all of them, where a sync
// per file would wait on the disk for each, then each renamed over its old name in the order it
// came. A failed sync renames none. The new files wait under hidden names, each holding a
// descriptor of its folder; those a crash leaves behind are the same hidden names a single
// replacement can leave, which listings pass over.
class ReplacementBatch
{
public:
    // Syncs the file system of the folder open as `fd`; returns 0 or an errno value.
    using Sync = int (*)(int fd);

    explicit ReplacementBatch(Sync sync = nullptr);
    ReplacementBatch(const ReplacementBatch &) = delete;
    ReplacementBatch &operator=(const ReplacementBatch &) = delete;
    // Drops the new files still waiting.
    ~ReplacementBatch();

    std::size_t size() const { return m_files.size(); }
    // How many files may wait at once, each holding its folder open, when waiting files may take
    // one `share`-th of the descriptors the process may open.
    static std::size_t room(unsigned share);
    // Takes the files waiting in `other`, after its own. Files of one rank in a row may be renamed
    // in any order among them, side by side.
    void append(ReplacementBatch &other, int rank = 0);
    // Syncs and renames them all. Returns an errno value for each file, in order, 0 where it is in
    // place; after a failed sync each has that error, its new file is gone, and `syncError`, where
    // given, receives it.
    std::vector<int> commit(int *syncError = nullptr);
    // Drops them all: what stood at their names stays.
    void discard();

private:
    friend class FileReplacement;
    struct Waiting
    {
        int folder;
        QByteArray temporary;
        QByteArray name;
        int rank;
    };

    void rename(std::size_t first, std::size_t end, std::vector<int> &errors);

    Sync m_sync;
    std::vector<Waiting> m_files;
};
