#include "watchrun.h"

#include "changewatch.h"
#include "debounce.h"
#include "filedescriptor.h"
#include "filenames.h"
#include "folderargument.h"
#include "folderlisting.h"
#include "folderpage.h"
#include "listingrun.h"
#include "localetext.h"
#include "progressline.h"
#include "systemerror.h"
#include "watchedtree.h"

#include <QSet>
#include <QTime>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <malloc.h>
#include <memory>
#include <poll.h>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

qint64 monotonicMs()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// What is watched and when a page was last written, on a terminal only, rewritten in place.
class StatusLine
{
public:
    StatusLine(QByteArray watched, bool enabled)
        : m_watched(std::move(watched))
        , m_enabled(enabled)
    {}
    ~StatusLine() { clear(); }

    void written()
    {
        if (!m_enabled)
            return;
        m_shown = true;
        std::fprintf(stderr, "\r\033[KVigilando %s; última escritura a las %s",
                     m_watched.constData(),
                     QTime::currentTime().toString(u"HH:mm:ss").toLocal8Bit().constData());
        std::fflush(stderr);
    }
    void clear()
    {
        if (m_shown)
            std::fputs("\r\033[K", stderr);
        m_shown = false;
    }

private:
    QByteArray m_watched;
    bool m_enabled;
    bool m_shown = false;
};

// The catalogue and the JSON file may lie in a watched folder: writing them is no change.
void ignoreOutput(ChangeWatch &watch, const char *path)
{
    const QByteArray whole(path);
    const qsizetype slash = whole.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArray(".") : (slash == 0 ? QByteArray("/") : whole.left(slash));
    const FileDescriptor fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.isOpen())
        watch.ignoreName(folderKey(fd.get()), whole.mid(slash + 1));
}

} // namespace

int runWatch(const CommandLine &commandLine, const LocaleText &locale,
             const FolderPageRequest &request, DocumentOpener &opener,
             const std::function<void(const QString &)> &printError)
{
    // Blocked before any thread starts, so that a signal waits for the page being written.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const FileDescriptor signalFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    const auto signalled = [&signalFd] {
        pollfd wait{signalFd.get(), POLLIN, 0};
        return ::poll(&wait, 1, 0) > 0;
    };

    ChangeWatch watch;
    if (const int error = signalFd.isOpen() ? watch.open() : errno; error != 0) {
        printError(
            QStringLiteral("No se pueden vigilar las carpetas: %1.").arg(systemErrorText(error)));
        return 1;
    }
    ignoreOwnNames(watch);
    for (const char *output : {commandLine.catalog, commandLine.json}) {
        if (output)
            ignoreOutput(watch, output);
    }

    const bool listings = commandLine.catalog || commandLine.json;
    const int maxDepth = commandLine.catalog || commandLine.recursive ? commandLine.maxDepth : 0;
    std::vector<std::unique_ptr<WatchedTree>> trees;
    QByteArrayList watchedNames;
    for (const char *argument : commandLine.folders) {
        const FolderArgument folder = resolveFolder(argument, commandLine.thumbnails);
        if (!folder.error.isEmpty()) {
            printError(folder.error);
            return 1;
        }
        auto tree = std::make_unique<WatchedTree>(folder.path, maxDepth,
                                                  !listings && commandLine.recursive);
        int error = tree->read(request.selection, locale.locale(), &watch);
        // A top folder that could not be read is not watched: waiting on it would wait forever.
        if (error == 0)
            error = tree->tree().folders().front().error;
        if (error != 0) {
            printError(folderReadError(folder.path, error));
            return 1;
        }
        watchedNames << "«" + readableFileName(folder.path).toLocal8Bit() + "»";
        trees.push_back(std::move(tree));
    }

    // Every watch before any page: short of watches, nothing is left half-written.
    const auto syncWatches = [&](WatchedTree &tree, std::vector<FolderKey> *added,
                                 std::vector<FolderKey> *stale = nullptr) {
        const int error = tree.sync(watch, added, stale);
        if (error == ENOSPC) {
            qint64 needed = 0;
            for (const auto &each : trees)
                needed += each->folderCount();
            printError(watchLimitText(tree.root(), needed, watchLimit()));
        } else if (error != 0) {
            printError(failureText({u"vigilar", tree.root(), error}));
        }
        return error == 0;
    };
    // What changed between a tree's reading and its watch is written again once settled.
    std::vector<FolderKey> stale;
    for (const auto &tree : trees) {
        if (!syncWatches(*tree, nullptr, &stale))
            return 1;
    }

    StatusLine status(watchedNames.join(", "), takesEscapeCodes(STDERR_FILENO));
    const bool trace = qEnvironmentVariableIsSet("FOLIMBRA_WATCH_TRACE");
    PageServices services;
    services.locale = &locale;
    // A page put in place makes a few events; a whole tree's at once would fill the kernel's queue
    // (16,384 by default), and a full queue means writing everything again.
    services.mostWaiting = 1024;
    // Restarted over a tree that did not change, the watch writes nothing.
    services.keepEqual = commandLine.update;
    // The program's own writes are events too, left out only once read: they are read every few
    // pages, so that thousands of pages do not fill the kernel's queue and lose the rest, nor
    // cost a read each.
    WatchEvents pending;
    int readError = 0;
    int unread = 0;
    // After a failure (a disk that is full or failing, a folder that could not be read) the
    // trees are read and written again, later each time while it keeps failing.
    constexpr qint64 firstRetryMs = 2000, longestRetryMs = 300000;
    qint64 retryMs = firstRetryMs;
    qint64 retryAt = -1;
    bool roundFailed = false;
    const auto endRound = [&] {
        if (!std::exchange(roundFailed, false)) {
            retryMs = firstRetryMs;
            return;
        }
        retryAt = monotonicMs() + retryMs;
        retryMs = std::min(retryMs * 2, longestRetryMs);
    };
    const auto report = [&](const PageResult &result) {
        if (!result.ok() && result.outcome != PageResult::Cancelled)
            roundFailed = true;
        if (++unread == 32) {
            unread = 0;
            if (const int error = watch.read(pending); error != 0 && readError == 0)
                readError = error;
        }
        if (!result.ok()) {
            status.clear();
            printError(result.error);
        } else if (trace) {
            status.clear();
            printError(
                (result.left ? QStringLiteral("sin cambios «%1»") : QStringLiteral("escrita «%1»"))
                    .arg(readableFileName(result.pagePath)));
        }
    };
    const auto writeListingsNow = [&] {
        status.clear();
        if (writeListings(commandLine, locale, printError) != 0)
            roundFailed = true;
        if (trace)
            printError(QStringLiteral("escritas las listas"));
    };

    if (listings) {
        writeListingsNow();
        watch.read(pending);
    } else {
        PageServices first = services;
        first.opener = &opener;
        for (const auto &tree : trees) {
            tree->writeAll(request, first, report);
        }
        if (trace)
            printError(QStringLiteral("primeras páginas hechas"));
    }
    endRound();
    status.written();

    // Pages are keyed by their folder; the listings, written as a whole, by one empty key.
    Debounce<FolderKey> debounce;
    for (const FolderKey &key : stale)
        debounce.changed(listings ? FolderKey() : key, monotonicMs());
    std::vector<char> reread(trees.size(), 0);
    std::vector<QSet<FolderKey>> moved(trees.size());
    const auto gone = [&](const WatchedTree &tree) {
        status.clear();
        printError(QStringLiteral("«%1» se ha borrado o movido: se deja de vigilar.")
                       .arg(readableFileName(tree.root())));
        return 1;
    };
    bool trimmed = false;
    for (;;) {
        qint64 wait = pending.isEmpty() && readError == 0 ? debounce.msUntilDue(monotonicMs()) : 0;
        if (retryAt >= 0)
            wait = std::max<qint64>(0, wait < 0 ? retryAt - monotonicMs()
                                                : std::min(wait, retryAt - monotonicMs()));
        // The allocator keeps what a burst of pages freed: given back once the watch rests, a long
        // watch does not hold its busiest moment's memory.
        if (wait < 0 && !std::exchange(trimmed, true))
            ::malloc_trim(0);
        pollfd fds[2] = {{watch.fd(), POLLIN, 0}, {signalFd.get(), POLLIN, 0}};
        if (::poll(fds, 2, wait < 0 ? -1 : int(std::min<qint64>(wait, INT_MAX))) < 0
            && errno != EINTR) {
            printError(QStringLiteral("No se pueden vigilar las carpetas: %1.")
                           .arg(systemErrorText(errno)));
            return 1;
        }
        if (fds[1].revents & POLLIN)
            return 0;
        if ((fds[0].revents & POLLIN) || !pending.isEmpty() || readError != 0) {
            WatchEvents events = std::exchange(pending, {});
            if (const int error = readError != 0 ? readError : watch.read(events); error != 0) {
                printError(QStringLiteral("No se pueden vigilar las carpetas: %1.")
                               .arg(systemErrorText(error)));
                return 1;
            }
            const qint64 now = monotonicMs();
            for (std::size_t t = 0; t < trees.size(); ++t) {
                WatchedTree &tree = *trees[t];
                const auto changed = [&](FolderKey key) {
                    debounce.changed(listings ? FolderKey() : key, now);
                };
                if (events.overflow) {
                    reread[t] = 1;
                    for (const FolderKey &key : tree.subtree(tree.top()))
                        changed(key);
                }
                for (const FolderKey &key : events.gone) {
                    if (key == tree.top())
                        return gone(tree);
                    if (tree.contains(key)) {
                        reread[t] = 1;
                        moved[t].insert(key);
                    }
                }
                for (const FolderKey &key : events.changed) {
                    if (tree.contains(key))
                        changed(key);
                }
                for (const FolderKey &key : events.subfolders) {
                    if (tree.contains(key))
                        reread[t] = 1;
                }
            }
        }

        if (retryAt >= 0 && monotonicMs() >= retryAt) {
            retryAt = -1;
            for (std::size_t t = 0; t < trees.size(); ++t) {
                reread[t] = 1;
                for (const FolderKey &key : trees[t]->subtree(trees[t]->top()))
                    debounce.changed(listings ? FolderKey() : key,
                                     monotonicMs() - Debounce<FolderKey>::quietMs);
            }
        }
        const std::vector<FolderKey> due = debounce.takeDue(monotonicMs());
        if (due.empty())
            continue;
        for (std::size_t t = 0; t < trees.size(); ++t) {
            WatchedTree &tree = *trees[t];
            std::vector<FolderKey> pages = due;
            if (reread[t]) {
                if (const int error = tree.read(request.selection, locale.locale(), &watch);
                    error != 0) {
                    if (error == ENOENT || error == ENOTDIR || error == ErrorFolderReplaced)
                        return gone(tree);
                    // Tried again later, as a failed page is; the other trees go on.
                    status.clear();
                    printError(folderReadError(tree.root(), error));
                    roundFailed = true;
                    continue;
                }
                // Short of watches for a new folder, those watched already go on being followed
                // and the rest is tried again later.
                if (!syncWatches(tree, &pages))
                    roundFailed = true;
                // A folder renamed in place names itself and those below it in their pages.
                for (const FolderKey &key : std::as_const(moved[t])) {
                    const std::vector<FolderKey> below = tree.subtree(key);
                    pages.insert(pages.end(), below.begin(), below.end());
                }
                reread[t] = 0;
                moved[t].clear();
            }
            if (!listings)
                tree.writePages(pages, request, services, report, signalled);
            if (signalled())
                return 0;
        }
        if (listings) {
            writeListingsNow();
            watch.read(pending);
        }
        endRound();
        status.written();
        trimmed = false;
    }
}
