#include "entryranges.h"

#include "pageentries.h"
#include "systemerror.h"
#include "windows1252.h"
#include "workpool.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>

namespace {

// Progress is told and a cancel heard every this many entries.
constexpr qsizetype batchEntries = 4096;
// What one thread makes at a time, into a buffer of its own.
constexpr qsizetype rangeEntries = 256;
// How many ranges the threads may make ahead of the one being written.
constexpr int rangesAhead = 64;

struct LineRange
{
    std::string bytes; // its lines in Windows-1252, each ended by CR LF
    qint64 files = 0;
    qint64 kilobytes = 0;
    qsizetype failedAt = -1; // the entry whose lookup failed, which ends the range
    int error = 0;
    // The range whose lines these are, once made; -1 for none yet.
    std::atomic<int> made{-1};
};

} // namespace

bool writeEntriesInRanges(const QString &currentPath, const Listing &files,
                          const PageServices &services, PageResult &result, const RangePage &page)
{
    FolderHandle folder;
    if (const int error =
            services.folderFd >= 0 ? folder.open(services.folderFd) : folder.open(currentPath);
        error != 0)
        return page.fail(failureText({u"abrir la carpeta", currentPath, error}));

    const qsizetype count = files.count();
    const int rangeCount = int((count + rangeEntries - 1) / rangeEntries);
    const auto ring = std::make_unique<LineRange[]>(std::size_t(rangesAhead));
    std::atomic<int> next{0};
    // Ranges below this one are written, so their places in the ring may be filled again.
    std::atomic<int> written{0};
    std::atomic<bool> stopping{false};

    const auto makeRange = [&](LineRange &range, qsizetype first, qsizetype end) {
        range.bytes.clear();
        range.files = 0;
        range.kilobytes = 0;
        range.failedAt = -1;
        range.error = 0;
        QString line;
        for (qsizetype i = first; i < end; ++i) {
            const QString name = files.name(i);
            FileStatus status;
            int error = 0;
            const PageEntry taken = takePageEntry(
                files, i, name,
                [&](FileStatus &found) { return folder.status(files.rawName(i), found); }, status,
                error);
            if (taken == PageEntry::LeftOut)
                continue;
            if (taken == PageEntry::Failed) {
                range.failedAt = i;
                range.error = error;
                return;
            }
            line.resize(0);
            const qint64 size = page.appendLine(line, name, status);
            appendWindows1252(range.bytes, line);
            range.bytes += "\r\n";
            range.files += 1;
            range.kilobytes += size;
        }
    };
    // Range `k`, once the one before it in its place is written.
    const auto make = [&](int k) {
        LineRange &range = ring[std::size_t(k % rangesAhead)];
        for (int done = written.load(); k - rangesAhead >= done && !stopping; done = written.load())
            written.wait(done);
        if (!stopping) {
            const qsizetype first = qsizetype(k) * rangeEntries;
            makeRange(range, first, std::min(first + rangeEntries, count));
        }
        range.made.store(k);
        range.made.notify_all();
    };
    const auto stop = [&] {
        stopping = true;
        written.store(std::numeric_limits<int>::max());
        written.notify_all();
        return false;
    };
    // The caller's part: every range in order, written.
    const auto writeAll = [&] {
        for (int k = 0; k < rangeCount; ++k) {
            const qsizetype first = qsizetype(k) * rangeEntries;
            if (first % batchEntries == 0) {
                if (services.progress)
                    services.progress(first, count);
                if (services.cancelled && services.cancelled()) {
                    result.outcome = PageResult::Cancelled;
                    page.discard();
                    return stop();
                }
            }
            LineRange &range = ring[std::size_t(k % rangesAhead)];
            // Rather than wait for range k, make the next one not yet taken: within the ring,
            // it never waits for a place.
            for (int made = range.made.load(); made != k; made = range.made.load()) {
                if (int untaken = next.load();
                    untaken < rangeCount && untaken < k + rangesAhead
                    && next.compare_exchange_strong(untaken, untaken + 1))
                    make(untaken);
                else
                    range.made.wait(made);
            }
            if (!page.write(range.bytes))
                return stop();
            result.fileCount += range.files;
            result.totalKilobytes += range.kilobytes;
            if (range.error != 0) {
                result.listIndex = range.failedAt;
                result.CurrentFile = currentPath + files.name(range.failedAt);
                stop();
                return page.fail(
                    failureText({u"leer el archivo", result.CurrentFile, range.error}));
            }
            result.listIndex = std::min(first + rangeEntries, count) - 1;
            written.store(k + 1);
            written.notify_all();
        }
        return true;
    };

    bool ok = true;
    const int helpers = std::min(std::max(1, WorkPool::instance().size() - 1), rangeCount - 1);
    WorkPool::instance().run(helpers, [&](int participant) {
        if (participant == 0) {
            ok = writeAll();
            return;
        }
        for (int k = next.fetch_add(1); k < rangeCount && !stopping; k = next.fetch_add(1))
            make(k);
    });
    if (!ok)
        return false;
    if (count > 0)
        result.CurrentFile = currentPath + files.name(count - 1);
    if (services.progress)
        services.progress(count, count);
    return true;
}
