#include "changewatch.h"
#include "codepagefile.h"
#include "debounce.h"
#include "filenames.h"
#include "filereplacement.h"
#include "filesystem.h"
#include "localetext.h"
#include "testfolder.h"
#include "watchedtree.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <poll.h>
#include <time.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(std::vector<int>)

namespace {

FolderKey keyOfPath(const QByteArray &path)
{
    struct stat st;
    return ::stat(path.constData(), &st) == 0 ? FolderKey{st.st_dev, st.st_ino} : FolderKey{};
}

bool contains(const std::vector<FolderKey> &keys, FolderKey key)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// Until the clock that stamps files has moved past the last change of `path`.
void waitPastChange(const QByteArray &path)
{
    struct stat st;
    QVERIFY(::stat(path.constData(), &st) == 0);
    timespec now;
    while (::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0
           && (now.tv_sec < st.st_ctim.tv_sec
               || (now.tv_sec == st.st_ctim.tv_sec && now.tv_nsec <= st.st_ctim.tv_nsec)))
        ::usleep(1000);
}

} // namespace

class tst_Watch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void debounce_data();
    void debounce();
    void seesChanges_data();
    void seesChanges();
    void followsSubfolders_data();
    void followsSubfolders();
    void overflowAsksForEverything();
    void keepsEvents_data();
    void keepsEvents();
    void ownPagesNeverOverflow();
    void writePagesPassesGone_data();
    void writePagesPassesGone();
    void followsNumberTaken_data();
    void followsNumberTaken();
    void limitMessage();
};

// Changes as "key@ms" (a range "key@from-to/step" for a burst), run as the watch loop runs: it
// sleeps for what msUntilDue says or until the next change, and takes what is due.
void tst_Watch::debounce_data()
{
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QStringList>("writes");
    QTest::newRow("one") << QStringList{"a@0"} << QStringList{"a@200"};
    QTest::newRow("settles") << QStringList{"a@0", "a@150", "a@300"} << QStringList{"a@500"};
    QTest::newRow("burst") << QStringList{"a@0-2990/10"}
                           << QStringList{"a@1000", "a@2010", "a@3020"};
    QTest::newRow("spaced") << QStringList{"a@0", "a@300"} << QStringList{"a@200", "a@1200"};
    QTest::newRow("late") << QStringList{"a@0", "a@1500"} << QStringList{"a@200", "a@1700"};
    QTest::newRow("two") << QStringList{"a@0", "b@100", "a@250"}
                         << QStringList{"a@200", "b@300", "a@1200"};
    QTest::newRow("copy") << QStringList{"a@0-9999/1", "b@5000"}
                          << QStringList{"a@1000", "a@2001", "a@3002", "a@4003", "a@5004", "b@5200",
                                         "a@6005", "a@7006", "a@8007", "a@9008", "a@10009"};
}

void tst_Watch::debounce()
{
    QFETCH(QStringList, changes);
    QFETCH(QStringList, writes);
    std::vector<std::pair<qint64, QString>> events;
    for (const QString &change : changes) {
        const QString key = change.section(u'@', 0, 0);
        const QString times = change.section(u'@', 1);
        const qint64 from = times.section(u'-', 0, 0).toLongLong();
        const qint64 to =
            times.contains(u'-') ? times.section(u'-', 1).section(u'/', 0, 0).toLongLong() : from;
        const qint64 step = times.contains(u'/') ? times.section(u'/', 1).toLongLong() : 1;
        for (qint64 at = from; at <= to; at += step)
            events.emplace_back(at, key);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    Debounce<QString> debounce;
    QStringList written;
    qint64 now = 0;
    std::size_t next = 0;
    while (next < events.size() || debounce.msUntilDue(now) >= 0) {
        const qint64 wait = debounce.msUntilDue(now);
        const qint64 change = next < events.size() ? events[next].first : -1;
        now = wait < 0 ? change : change < 0 ? now + wait : std::min(now + wait, change);
        for (; next < events.size() && events[next].first == now; ++next)
            debounce.changed(events[next].second, now);
        std::vector<QString> due = debounce.takeDue(now);
        std::sort(due.begin(), due.end());
        for (const QString &key : due)
            written << key + u'@' + QString::number(now);
        QVERIFY(written.size() < 100);
    }
    QCOMPARE(written, writes);
    // A change whose time passed while the loop was busy writing is due at once.
    debounce.changed(QStringLiteral("tarde"), now);
    QCOMPARE(debounce.msUntilDue(now + 10000), 0);
}

// Each action is done in a watched folder holding "old" (a file) and "sub" (a folder); the
// kernel's events are queued by the time the call returns, so none is waited for.
void tst_Watch::seesChanges_data()
{
    QTest::addColumn<QByteArray>("action");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<bool>("subfolder");
    QTest::newRow("create") << QByteArray("create") << true << false;
    QTest::newRow("delete") << QByteArray("delete") << true << false;
    QTest::newRow("rename") << QByteArray("rename") << true << false;
    QTest::newRow("write") << QByteArray("write") << true << false;
    QTest::newRow("touch") << QByteArray("touch") << true << false;
    QTest::newRow("mkdir") << QByteArray("mkdir") << true << true;
    QTest::newRow("rmdir") << QByteArray("rmdir") << true << true;
    QTest::newRow("inside") << QByteArray("inside") << false << false;
    QTest::newRow("page") << QByteArray("page") << false << false;
    QTest::newRow("thumbs") << QByteArray("thumbs") << false << false;
    QTest::newRow("like ours") << QByteArray("like ours") << true << false;
    QTest::newRow("catalog") << QByteArray("catalog") << false << false;
    QTest::newRow("hashname") << QByteArray("hashname") << true << false;
}

void tst_Watch::seesChanges()
{
    QFETCH(QByteArray, action);
    QFETCH(bool, changed);
    QFETCH(bool, subfolder);
    TestFolder folder;
    QVERIFY(folder.addFile("old") && folder.addFolder("sub"));
    const FileDescriptor fd = openFolder(folder.path());
    ChangeWatch watch;
    QCOMPARE(watch.open(), 0);
    ignoreOwnNames(watch);
    const FolderKey key = folderKey(fd.get());
    QCOMPARE(watch.add(fd.get(), key), 0);
    watch.ignoreName(key, "catalog.html");
    const QByteArray at = folder.rawPath();
    const auto replace = [&fd](const QByteArray &name) {
        FileReplacement file;
        return file.open(fd.get(), name) && file.write("bytes") && file.commit();
    };
    if (action == "create")
        QVERIFY(folder.addFile("new"));
    else if (action == "delete")
        QCOMPARE(::unlink(at + "old"), 0);
    else if (action == "rename")
        QCOMPARE(::rename(at + "old", at + "renamed"), 0);
    else if (action == "write")
        QVERIFY(folder.append("old", "more"));
    else if (action == "touch")
        QVERIFY(folder.setModified("old", 2000000000));
    else if (action == "mkdir")
        QVERIFY(folder.addFolder("new"));
    else if (action == "rmdir")
        QCOMPARE(::rmdir(at + "sub"), 0);
    else if (action == "inside")
        QVERIFY(folder.addFile("sub/deeper"));
    else if (action == "page")
        QVERIFY(replace("Quorvel-Html_index.html"));
    else if (action == "thumbs")
        QVERIFY(folder.addFolder(".sh_thumbnails") && folder.addFile(".sh_thumbnails/x.png"));
    else if (action == "like ours")
        QVERIFY(folder.addFile(".folimbra-12-abc"));
    else if (action == "catalog")
        QVERIFY(replace("catalog.html"));
    else if (action == "hashname")
        QVERIFY(folder.addFile("#123"));
    WatchEvents events;
    QCOMPARE(watch.read(events), 0);
    QCOMPARE(contains(events.changed, key), changed);
    QCOMPARE(contains(events.subfolders, key), subfolder);
    QVERIFY(events.gone.empty());
    QVERIFY(!events.overflow);
}

// A tree's watches follow its folders: one made is watched once the tree is read again, one
// removed ends its watch without a failure. Watched by sync() alone, or by the walk as it enters
// each folder, then taken by sync().
void tst_Watch::followsSubfolders_data()
{
    QTest::addColumn<bool>("entering");
    QTest::newRow("sync") << false;
    QTest::newRow("walk") << true;
}

void tst_Watch::followsSubfolders()
{
    QFETCH(bool, entering);
    TestFolder folder;
    QVERIFY(folder.addFolder("a") && folder.addFolder("a/b"));
    ChangeWatch watch;
    QCOMPARE(watch.open(), 0);
    ignoreOwnNames(watch);
    ChangeWatch *walkWatch = entering ? &watch : nullptr;
    WatchedTree tree(folder.path(), -1, true);
    // Watched after the reading, a folder is stale if it changed since; watched before, never.
    if (!entering)
        waitPastChange(folder.rawPath() + "a/b");
    QCOMPARE(tree.read(Selection(), QLocale::c(), walkWatch), 0);
    QCOMPARE(watch.count(), entering ? 3 : 0);
    QVERIFY(folder.addFile("a/b/new"));
    std::vector<FolderKey> added, stale;
    QCOMPARE(tree.sync(watch, &added, &stale), 0);
    QCOMPARE(watch.count(), 3);
    QCOMPARE(added.size(), 3u);
    const FolderKey b = keyOfPath(folder.rawPath() + "a/b");
    QCOMPARE(stale, entering ? std::vector<FolderKey>() : std::vector<FolderKey>{b});
    if (entering) {
        WatchEvents events;
        QCOMPARE(watch.read(events), 0);
        QVERIFY(contains(events.changed, b));
    }

    QVERIFY(folder.addFolder("a/c"));
    WatchEvents events;
    QCOMPARE(watch.read(events), 0);
    const FolderKey a = keyOfPath(folder.rawPath() + "a");
    QVERIFY(contains(events.subfolders, a));
    QCOMPARE(tree.read(Selection(), QLocale::c(), walkWatch), 0);
    added.clear();
    QCOMPARE(tree.sync(watch, &added), 0);
    const FolderKey c = keyOfPath(folder.rawPath() + "a/c");
    QCOMPARE(added, std::vector<FolderKey>{c});
    QCOMPARE(watch.count(), 4);
    QVERIFY(folder.addFile("a/c/new"));
    events = {};
    QCOMPARE(watch.read(events), 0);
    QVERIFY(contains(events.changed, c));

    QCOMPARE(::unlink(folder.rawPath() + "a/b/new"), 0);
    QCOMPARE(::rmdir(folder.rawPath() + "a/b"), 0);
    events = {};
    QCOMPARE(watch.read(events), 0);
    QVERIFY(contains(events.gone, b));
    QVERIFY(contains(events.subfolders, a));
    QVERIFY(!watch.isWatched(b));
    QCOMPARE(tree.read(Selection(), QLocale::c(), walkWatch), 0);
    QCOMPARE(tree.sync(watch), 0);
    QCOMPARE(watch.count(), 3);
    QVERIFY(tree.contains(c) && !tree.contains(b));
    tree.unwatch(watch);
    QCOMPARE(watch.count(), 0);
}

// More events than the kernel keeps: the watch says so, and the caller reads everything again.
void tst_Watch::overflowAsksForEverything()
{
    QFile limitFile(QStringLiteral("/proc/sys/fs/inotify/max_queued_events"));
    QVERIFY(limitFile.open(QIODevice::ReadOnly));
    const int limit = limitFile.readAll().trimmed().toInt();
    if (limit > 100000)
        QSKIP("the kernel keeps too many events to overflow in a test");
    TestFolder folder;
    const FileDescriptor fd = openFolder(folder.path());
    ChangeWatch watch;
    QCOMPARE(watch.open(), 0);
    ignoreOwnNames(watch);
    QCOMPARE(watch.add(fd.get(), folderKey(fd.get())), 0);
    // Each file made and closed is two events.
    for (int i = 0; i < limit / 2 + 10; ++i)
        QVERIFY(folder.addFile(QByteArray::number(i)));
    WatchEvents events;
    QCOMPARE(watch.read(events), 0);
    QVERIFY(events.overflow);
}

// Events kept off the kernel's queue are read as though they were still on it, and the descriptor
// polled stays ready while they wait: a change kept as pages were written must still wake the
// watch. Own names kept wake nothing.
void tst_Watch::keepsEvents_data()
{
    QTest::addColumn<QByteArray>("action");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<bool>("gone");
    QTest::newRow("create") << QByteArray("create") << true << true << false;
    QTest::newRow("rmdir") << QByteArray("rmdir") << true << true << true;
    QTest::newRow("page") << QByteArray("page") << false << false << false;
    QTest::newRow("none") << QByteArray("none") << false << false << false;
    QTest::newRow("after") << QByteArray("after") << true << true << false;
}

void tst_Watch::keepsEvents()
{
    QFETCH(QByteArray, action);
    QFETCH(bool, ready);
    QFETCH(bool, changed);
    QFETCH(bool, gone);
    TestFolder folder;
    QVERIFY(folder.addFolder("sub"));
    const FileDescriptor fd = openFolder(folder.path());
    FileDescriptor subFd = openFolder(folder.path() + QStringLiteral("sub/"));
    ChangeWatch watch;
    QCOMPARE(watch.open(), 0);
    ignoreOwnNames(watch);
    const FolderKey key = folderKey(fd.get());
    const FolderKey sub = folderKey(subFd.get());
    QCOMPARE(watch.add(fd.get(), key), 0);
    QCOMPARE(watch.add(subFd.get(), sub), 0);
    // Open, a folder removed is not gone yet.
    subFd.reset();
    if (action == "create")
        QVERIFY(folder.addFile("new"));
    else if (action == "rmdir")
        QCOMPARE(::rmdir(folder.rawPath() + "sub"), 0);
    else if (action == "page")
        QVERIFY(folder.addFile("Quorvel-Html_index.html"));
    watch.keep();
    if (action == "after")
        QVERIFY(folder.addFile("new"));
    pollfd wait{watch.fd(), POLLIN, 0};
    QCOMPARE(::poll(&wait, 1, 0), ready ? 1 : 0);
    WatchEvents events;
    QCOMPARE(watch.read(events), 0);
    QCOMPARE(contains(events.changed, key), changed);
    QCOMPARE(contains(events.gone, sub), gone);
    QVERIFY(!events.overflow);
    QCOMPARE(::poll(&wait, 1, 0), 0);
}

// A tree's pages written one by one make a few events each, its own, left out once read: however
// many are written, they must not fill the kernel's queue, or the watch takes the overflow for
// "everything changed", writes every page again, overflows again and never rests.
void tst_Watch::ownPagesNeverOverflow()
{
    QFile limitFile(QStringLiteral("/proc/sys/fs/inotify/max_queued_events"));
    QVERIFY(limitFile.open(QIODevice::ReadOnly));
    const int limit = limitFile.readAll().trimmed().toInt();
    if (limit > 100000)
        QSKIP("the kernel keeps too many events to overflow in a test");
    TestFolder folder;
    // A page put in place is at least four events.
    const int count = limit / 4 + 64;
    for (int i = 0; i < count; ++i)
        QVERIFY(folder.addFolder("d" + QByteArray::number(i)));
    ChangeWatch watch;
    QCOMPARE(watch.open(), 0);
    ignoreOwnNames(watch);
    WatchedTree tree(folder.path(), -1, true);
    QCOMPARE(tree.read(Selection(), QLocale::c(), &watch), 0);
    std::vector<FolderKey> added;
    QCOMPARE(tree.sync(watch, &added), 0);
    QCOMPARE(added.size(), std::size_t(count + 1));
    const LocaleText locale{QLocale::c()};
    PageServices services;
    services.locale = &locale;
    int written = 0;
    tree.writePages(added, {}, services,
                    [&written](const PageResult &result) { written += result.ok(); }, {});
    QCOMPARE(written, count + 1);
    WatchEvents events;
    QCOMPARE(watch.read(events), 0);
    QVERIFY(!events.overflow);
    QVERIFY(events.changed.empty());
}

// A folder no longer where the tree was read is no failure to tell: its parent's events read the
// tree again. Its page is not written where it went, nor into what took its name.
void tst_Watch::writePagesPassesGone_data()
{
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<int>("written");
    QTest::newRow("none") << QByteArray("none") << 4;
    QTest::newRow("moved") << QByteArray("moved") << 3;
    QTest::newRow("deleted") << QByteArray("deleted") << 3;
    QTest::newRow("link") << QByteArray("link") << 3;
    QTest::newRow("replaced") << QByteArray("replaced") << 3;
    QTest::newRow("above") << QByteArray("above") << 2;
    // Where no folder can be opened, for a cause other than a move, that is told.
    QTest::newRow("no descriptors") << QByteArray("no descriptors") << 0;
}

void tst_Watch::writePagesPassesGone()
{
    QFETCH(QByteArray, change);
    QFETCH(int, written);
    TestFolder folder, away;
    QVERIFY(folder.addFolder("a") && folder.addFolder("a/b") && folder.addFolder("c"));
    ChangeWatch watch;
    QCOMPARE(watch.open(), 0);
    ignoreOwnNames(watch);
    WatchedTree tree(folder.path(), -1, true);
    QCOMPARE(tree.read(Selection(), QLocale::c(), &watch), 0);
    QCOMPARE(tree.sync(watch), 0);
    const std::vector<FolderKey> keys = tree.subtree(tree.top());
    const QByteArray b = folder.rawPath() + "a/b";
    const QByteArray moved = away.rawPath() + "b";
    if (change == "moved") {
        QCOMPARE(::rename(b, moved), 0);
    } else if (change == "deleted") {
        QCOMPARE(::rmdir(b), 0);
    } else if (change == "link") {
        QCOMPARE(::rename(b, moved), 0);
        QCOMPARE(::symlink(moved, b), 0);
    } else if (change == "replaced") {
        QCOMPARE(::rename(b, moved), 0);
        QCOMPARE(::mkdir(b, 0755), 0);
    } else if (change == "above") {
        QCOMPARE(::rename(folder.rawPath() + "a", moved), 0);
    }
    const LocaleText locale{QLocale::c()};
    PageServices services;
    services.locale = &locale;
    QStringList failures;
    int pages = 0;
    rlimit descriptors{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &descriptors), 0);
    if (change == "no descriptors") {
        // The lowest free number as the limit: every open from here on fails.
        const int lowest = ::dup(0);
        QVERIFY(lowest >= 0 && ::close(lowest) == 0);
        const rlimit none{rlim_t(lowest), descriptors.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &none), 0);
    }
    tree.writePages(keys, {}, services,
                    [&](const PageResult &result) {
                        if (result.ok())
                            ++pages;
                        else
                            failures << result.error;
                    },
                    {});
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &descriptors), 0);
    if (change == "no descriptors") {
        QVERIFY(!failures.isEmpty());
        for (const QString &failure : failures)
            QVERIFY2(failure.contains(u"demasiados archivos abiertos"), qPrintable(failure));
        failures.clear();
    }
    QCOMPARE(failures, QStringList());
    QCOMPARE(pages, written);
    QVERIFY(!QFile::exists(away.path() + QStringLiteral("b/") + pageFileName()));
    QVERIFY(!QFile::exists(away.path() + QStringLiteral("b/b/") + pageFileName()));
    if (change == "replaced")
        QVERIFY(!QFile::exists(folder.path() + QStringLiteral("a/b/") + pageFileName()));
}

// A folder deleted leaves its number to the next one made, often at once: that one is another
// folder, to watch as new, whether the end of the old one's watch was read before the tree was read
// again or only after.
void tst_Watch::followsNumberTaken_data()
{
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<bool>("readFirst");
    QTest::addColumn<bool>("added");
    QTest::newRow("taken, end read first") << QByteArray("taken") << true << true;
    QTest::newRow("taken, end read after") << QByteArray("taken") << false << true;
    QTest::newRow("moved back") << QByteArray("back") << true << false;
    QTest::newRow("moved back, unread") << QByteArray("back") << false << false;
}

void tst_Watch::followsNumberTaken()
{
    QFETCH(QByteArray, change);
    QFETCH(bool, readFirst);
    QFETCH(bool, added);
    // On a disk, whose file systems give a deleted folder's number to the next one made; the
    // tests' TMPDIR is often tmpfs, which never does.
    TestFolder folder(QStringLiteral("/var/tmp")), away(QStringLiteral("/var/tmp"));
    QVERIFY(folder.addFolder("a") && folder.addFolder("a/b"));
    ChangeWatch watch;
    QCOMPARE(watch.open(), 0);
    ignoreOwnNames(watch);
    WatchedTree tree(folder.path(), -1, true);
    QCOMPARE(tree.read(Selection(), QLocale::c(), &watch), 0);
    QCOMPARE(tree.sync(watch), 0);
    const QByteArray b = folder.rawPath() + "a/b";
    const FolderKey old = keyOfPath(b);
    QByteArray now = b;
    if (change == "taken") {
        // The file system picks the number: a few tries, as most reuse a freed one at once.
        bool taken = false;
        for (int i = 0; i < 50 && !taken; ++i) {
            QCOMPARE(::rmdir(now), 0);
            now = folder.rawPath() + "a/c" + QByteArray::number(i);
            QCOMPARE(::mkdir(now, 0755), 0);
            taken = keyOfPath(now) == old;
        }
        if (!taken)
            QSKIP("this file system gives a deleted folder's number to no new one");
    } else {
        QCOMPARE(::rename(b, away.rawPath() + "b"), 0);
        now = folder.rawPath() + "a/c";
        QCOMPARE(::rename(away.rawPath() + "b", now), 0);
    }
    WatchEvents events;
    if (readFirst)
        QCOMPARE(watch.read(events), 0);
    QCOMPARE(tree.read(Selection(), QLocale::c(), &watch), 0);
    std::vector<FolderKey> newly;
    QCOMPARE(tree.sync(watch, &newly), 0);
    QVERIFY(tree.contains(old));
    QCOMPARE(contains(newly, old), added);
    QCOMPARE(watch.read(events), 0);
    events = {};
    QVERIFY(::mkdir(now + "/inside", 0755) == 0);
    QCOMPARE(watch.read(events), 0);
    QVERIFY(contains(events.changed, old));
    QVERIFY(contains(events.subfolders, old));
}

void tst_Watch::limitMessage()
{
    const QString text = watchLimitText(QStringLiteral("/fotos/"), 12345, 8192);
    QVERIFY(text.contains(u"«/fotos/»"));
    QVERIFY(text.contains(u"12345"));
    QVERIFY(text.contains(u"fs.inotify.max_user_watches (8192)"));
    QVERIFY(text.contains(u"fs.inotify.max_user_watches=20537"));
}

QTEST_GUILESS_MAIN(tst_Watch)
#include "tst_watch.moc"
