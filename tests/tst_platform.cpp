#include "codepagefile.h"
#include "collation.h"
#include "filenames.h"
#include "filesystem.h"
#include "localetext.h"
#include "testfolder.h"
#include "volumes.h"

#include <QDateTime>
#include <QLocale>
#include <QTest>

#include <algorithm>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

using namespace Qt::StringLiterals;

class tst_Platform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fileNameRoundTrip_data();
    void fileNameRoundTrip();
    void windows1252_data();
    void windows1252();
    void generalDate_data();
    void generalDate();
    void generalDateMatchesQLocale();
    void timeFormatWithoutZone_data();
    void timeFormatWithoutZone();
    void wholeNumber_data();
    void wholeNumber();
    void fixedTwo_data();
    void fixedTwo();
    void localTime_data();
    void localTime();
    void collationOrder_data();
    void collationOrder();
    void scanFolderKinds();
    void statusOfLinks();
    void userVolumes_data();
    void userVolumes();
    void volumeRoot_data();
    void volumeRoot();
};

void tst_Platform::fileNameRoundTrip_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("readable");

    QTest::newRow("ascii") << QByteArray("playa.jpg") << u"playa.jpg"_s;
    QTest::newRow("utf8") << QByteArray("caf\xc3\xa9.png") << u"café.png"_s;
    QTest::newRow("utf8 accent last") << QByteArray("caf\xc3\xa9") << u"café"_s;
    QTest::newRow("latin1 byte") << QByteArray("caf\xe9.png") << u"café.png"_s;
    QTest::newRow("windows-1252 euro") << QByteArray("\x80 precio") << u"€ precio"_s;
    QTest::newRow("undefined 1252 byte") << QByteArray("a\x81z") << u"a\ufffdz"_s;
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << u"\u00c0\u00af"_s;
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << u"í\u00a0€"_s;
    QTest::newRow("truncated sequence") << QByteArray("x\xe2\x82") << u"x\u00e2\u201a"_s;
    QTest::newRow("emoji") << QByteArray("\xf0\x9f\x98\x80.txt") << u"😀.txt"_s;
    QTest::newRow("emoji then raw byte") << QByteArray("\xf0\x9f\x98\x80\xff") << u"😀ÿ"_s;
    QTest::newRow("beyond unicode") << QByteArray("\xf4\x90\x80\x80") << u"ô\ufffd€€"_s;
}

void tst_Platform::fileNameRoundTrip()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, readable);

    const QString name = decodeFileName(raw);
    QCOMPARE(encodeFileName(name), raw);
    QCOMPARE(readableFileName(name), readable);
}

void tst_Platform::windows1252_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ascii") << u"<p>a b</p>"_s << QByteArray("<p>a b</p>");
    QTest::newRow("accents") << u"Página ©"_s << QByteArray("P\xe1gina \xa9");
    QTest::newRow("euro and quotes") << u"€ “x”"_s << QByteArray("\x80 \x93x\x94");
    QTest::newRow("japanese") << u"あ.txt"_s << QByteArray("&#12354;.txt");
    QTest::newRow("surrogate pair") << u"😀"_s << QByteArray("&#128512;");
    QTest::newRow("mixed") << u"ñ𝄞ñ"_s << QByteArray("\xf1&#119070;\xf1");
    // What a converter would skip as ignorable must still show, or two names would look alike.
    QTest::newRow("zero width space") << u"a\u200Bb"_s << QByteArray("a&#8203;b");
    QTest::newRow("variation selector") << u"❤️"_s << QByteArray("&#10084;&#65039;");
    QTest::newRow("right-to-left override") << u"\u202Etxt"_s << QByteArray("&#8238;txt");
    QTest::newRow("byte order mark") << u"\uFEFFx"_s << QByteArray("&#65279;x");
    QTest::newRow("C1 control") << u"a\u0081b\u009F"_s << QByteArray("a&#129;b&#159;");
    QTest::newRow("last mapped") << u"\u0178\u017E"_s << QByteArray("\x9f\x9e");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + u"x"_s << QByteArray("&#65533;x");
}

void tst_Platform::windows1252()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    QCOMPARE(toWindows1252(text), bytes);
}

void tst_Platform::generalDate_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("text");

    const QDateTime morning(QDate(2026, 12, 6), QTime(10, 5, 9));
    const QDateTime evening(QDate(2002, 2, 1), QTime(23, 59, 59));
    const QDateTime midnight(QDate(2026, 12, 6), QTime(0, 0));
    const QDateTime afterMidnight(QDate(2026, 12, 6), QTime(0, 0, 1));
    QTest::newRow("es morning") << u"es_ES"_s << morning << u"6/12/26 10:05:09"_s;
    QTest::newRow("es evening") << u"es_ES"_s << evening << u"1/2/02 23:59:59"_s;
    QTest::newRow("es midnight") << u"es_ES"_s << midnight << u"6/12/26"_s;
    QTest::newRow("es one second") << u"es_ES"_s << afterMidnight << u"6/12/26 0:00:01"_s;
    QTest::newRow("en morning") << u"en_US"_s << morning << u"12/6/26 10:05:09 AM"_s;
    QTest::newRow("en evening") << u"en_US"_s << evening << u"2/1/02 11:59:59 PM"_s;
    QTest::newRow("en noon") << u"en_US"_s << QDateTime(QDate(2026, 1, 2), QTime(12, 0, 0))
                             << u"1/2/26 12:00:00 PM"_s;
    QTest::newRow("en midnight") << u"en_US"_s << midnight << u"12/6/26"_s;
    QTest::newRow("de") << u"de_DE"_s << morning << u"06.12.26 10:05:09"_s;
    QTest::newRow("C") << u"C"_s << morning << u"6 Dec 2026 10:05:09"_s;
}

void tst_Platform::generalDate()
{
    QFETCH(QString, locale);
    QFETCH(QDateTime, moment);
    QFETCH(QString, text);

    QCOMPARE(LocaleText(QLocale(locale)).generalDate(LocalDateTime::fromDateTime(moment)), text);
}

// The compiled formats must render what QLocale renders, in every locale Qt knows.
void tst_Platform::generalDateMatchesQLocale()
{
    const QList<QDateTime> moments = {
        {QDate(2026, 12, 6), QTime(10, 5, 9)},  {QDate(2002, 2, 1), QTime(23, 59, 59)},
        {QDate(1999, 7, 31), QTime(12, 30, 0)}, {QDate(2010, 1, 9), QTime(0, 0, 7)},
        {QDate(2024, 2, 29), QTime(0, 0)},
    };
    const QList<QLocale> locales =
        QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
    QVERIFY(locales.size() > 300);
    int checked = 0;
    for (const QLocale &locale : locales) {
        const LocaleText text(locale);
        const QString timeFormat = LocaleText::timeFormatWithoutZone(locale);
        for (const QDateTime &moment : moments) {
            QString expected = locale.toString(moment.date(), QLocale::ShortFormat);
            if (moment.time() != QTime(0, 0))
                expected += u' ' + locale.toString(moment.time(), timeFormat);
            const QString actual = text.generalDate(LocalDateTime::fromDateTime(moment));
            if (actual != expected)
                QFAIL(qPrintable(
                    u"%1: \"%2\" instead of \"%3\""_s.arg(locale.name(), actual, expected)));
            ++checked;
        }
    }
    QVERIFY(checked > 1500);
}

void tst_Platform::timeFormatWithoutZone_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("format");

    QTest::newRow("es") << u"es_ES"_s << u"H:mm:ss"_s;
    QTest::newRow("en") << u"en_US"_s << u"h:mm:ss AP"_s;
    QTest::newRow("de") << u"de_DE"_s << u"HH:mm:ss"_s;
    QTest::newRow("ja") << u"ja_JP"_s << u"H時mm分ss秒"_s;
}

void tst_Platform::timeFormatWithoutZone()
{
    QFETCH(QString, locale);
    QFETCH(QString, format);

    QCOMPARE(LocaleText::timeFormatWithoutZone(QLocale(locale)), format);
}

void tst_Platform::wholeNumber_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("es zero") << u"es_ES"_s << qint64(0) << u"0"_s;
    QTest::newRow("es three digits") << u"es_ES"_s << qint64(999) << u"999"_s;
    QTest::newRow("es four digits") << u"es_ES"_s << qint64(1024) << u"1.024"_s;
    QTest::newRow("es seven digits") << u"es_ES"_s << qint64(1234567) << u"1.234.567"_s;
    QTest::newRow("es negative") << u"es_ES"_s << qint64(-1234) << u"-1.234"_s;
    QTest::newRow("en million") << u"en_US"_s << qint64(1234567) << u"1,234,567"_s;
    QTest::newRow("en 64-bit") << u"en_US"_s << qint64(9007199254740993)
                               << u"9,007,199,254,740,993"_s;
    QTest::newRow("de") << u"de_DE"_s << qint64(2048) << u"2.048"_s;
    QTest::newRow("fr") << u"fr_FR"_s << qint64(2048) << u"2\u202f048"_s;
}

void tst_Platform::wholeNumber()
{
    QFETCH(QString, locale);
    QFETCH(qint64, value);
    QFETCH(QString, text);

    QCOMPARE(LocaleText(QLocale(locale)).wholeNumber(value), text);
}

void tst_Platform::fixedTwo_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("es zero") << u"es_ES"_s << 0.0 << u"0,00"_s;
    QTest::newRow("es small") << u"es_ES"_s << 0.05 << u"0,05"_s;
    QTest::newRow("en small") << u"en_US"_s << 0.05 << u"0.05"_s;
    QTest::newRow("es rounds up") << u"es_ES"_s << 1.996 << u"2,00"_s;
    QTest::newRow("es grouped") << u"es_ES"_s << 1234.567 << u"1.234,57"_s;
    QTest::newRow("en grouped") << u"en_US"_s << 1234567.891 << u"1,234,567.89"_s;
    QTest::newRow("es negative") << u"es_ES"_s << -0.25 << u"-0,25"_s;
    QTest::newRow("rounds to zero") << u"es_ES"_s << -0.001 << u"0,00"_s;
}

void tst_Platform::fixedTwo()
{
    QFETCH(QString, locale);
    QFETCH(double, value);
    QFETCH(QString, text);

    QCOMPARE(LocaleText(QLocale(locale)).fixedTwo(value), text);
}

void tst_Platform::localTime_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QDateTime>("expected");

    // The tests run with TZ=UTC0.
    QTest::newRow("epoch") << qint64(0) << QDateTime(QDate(1970, 1, 1), QTime(0, 0));
    QTest::newRow("billennium") << qint64(1000000000)
                                << QDateTime(QDate(2001, 9, 9), QTime(1, 46, 40));
    QTest::newRow("before epoch") << qint64(-86401)
                                  << QDateTime(QDate(1969, 12, 30), QTime(23, 59, 59));
    QTest::newRow("after 2038") << qint64(4102444800) << QDateTime(QDate(2100, 1, 1), QTime(0, 0));
    // Dates no calendar conversion can give show as the nearest one that can.
    QTest::newRow("last second") << qint64(253402300799)
                                 << QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59));
    QTest::newRow("far future") << qint64(67767976233532800)
                                << QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59));
    QTest::newRow("largest") << std::numeric_limits<qint64>::max()
                             << QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59));
    QTest::newRow("far past") << std::numeric_limits<qint64>::min()
                              << QDateTime(QDate(1, 1, 1), QTime(0, 0));
}

void tst_Platform::localTime()
{
    QFETCH(qint64, seconds);
    QFETCH(QDateTime, expected);

    const LocalDateTime local = LocalDateTime::fromEpochSeconds(seconds);
    QCOMPARE(QDateTime(QDate(local.year, local.month, local.day),
                       QTime(local.hour, local.minute, local.second)),
             expected);
}

void tst_Platform::collationOrder_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("sorted");

    QTest::newRow("numbers by value")
        << u"en_US"_s << QStringList{u"IMG_2.jpg"_s, u"IMG_10.jpg"_s, u"IMG_100.jpg"_s};
    QTest::newRow("case ignored") << u"en_US"_s
                                  << QStringList{u"apple"_s, u"Banana"_s, u"cherry"_s, u"Date"_s};
    QTest::newRow("accents near their letter")
        << u"es_ES"_s << QStringList{u"arbol"_s, u"Árbol"_s, u"avión"_s, u"barco"_s};
    QTest::newRow("spanish ñ after n")
        << u"es_ES"_s << QStringList{u"nube"_s, u"nzz"_s, u"ñandú"_s, u"oso"_s};
    QTest::newRow("root collation") << u"C"_s << QStringList{u"a2"_s, u"A10"_s, u"b"_s};
}

void tst_Platform::collationOrder()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, sorted);

    const NameCollator collator{QLocale(locale)};
    QStringList shuffled = sorted;
    std::reverse(shuffled.begin(), shuffled.end());
    std::sort(shuffled.begin(), shuffled.end(), [&](const QString &a, const QString &b) {
        std::string ka, kb;
        collator.appendSortKey(a, ka);
        collator.appendSortKey(b, kb);
        return std::strcmp(ka.c_str(), kb.c_str()) < 0;
    });
    QCOMPARE(shuffled, sorted);
}

void tst_Platform::scanFolderKinds()
{
    TestFolder folder;
    QVERIFY(folder.addFile("file"));
    QVERIFY(folder.addFile(".hidden"));
    QVERIFY(folder.addFile("caf\xe9"));
    QVERIFY(folder.addFolder("folder"));
    QVERIFY(folder.addFolder(".hiddenfolder"));
    QVERIFY(folder.addLink("link-to-file", "file"));
    QVERIFY(folder.addLink("link-to-folder", "folder"));
    QVERIFY(folder.addLink("dangling", "nowhere"));
    QVERIFY(mkfifo((folder.rawPath() + "pipe").constData(), 0644) == 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = folder.rawPath() + "socket";
    QVERIFY(size_t(socketPath.size()) < sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    QVERIFY(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    ::close(sock);

    auto names = [&](EntryKind kind) {
        NameBlock block;
        const int error = scanFolder(folder.path(), kind, block);
        QByteArrayList list;
        for (std::size_t i = 0; i < block.size(); ++i)
            list << QByteArray(block.at(i), qsizetype(block.length(i)));
        std::sort(list.begin(), list.end());
        return std::make_pair(error, list);
    };
    QCOMPARE(names(EntryKind::Files),
             std::make_pair(0, QByteArrayList{".hidden", "caf\xe9", "dangling", "file",
                                              "link-to-file", "pipe", "socket"}));
    QCOMPARE(names(EntryKind::Folders),
             std::make_pair(0, QByteArrayList{".hiddenfolder", "folder", "link-to-folder"}));

    NameBlock block;
    QCOMPARE(scanFolder(folder.path() + u"missing/"_s, EntryKind::Files, block), ENOENT);
    QCOMPARE(scanFolder(folder.path() + u"file/"_s, EntryKind::Files, block), ENOTDIR);
}

void tst_Platform::statusOfLinks()
{
    TestFolder folder;
    QVERIFY(folder.addFile("file", 5000, 1200000000));
    QVERIFY(folder.addLink("link", "file"));
    QVERIFY(folder.addLink("dangling", "a/long/way/to/nowhere"));
    QVERIFY(folder.setModified("dangling", 1100000000, false));

    FolderHandle handle;
    QCOMPARE(handle.open(folder.path()), 0);
    FileStatus status;
    QCOMPARE(handle.status("link", status), 0);
    QCOMPARE(status.size, qint64(5000));
    QCOMPARE(status.modifiedSeconds, qint64(1200000000));
    QCOMPARE(handle.status("dangling", status), 0);
    QCOMPARE(status.size, qint64(strlen("a/long/way/to/nowhere")));
    QCOMPARE(status.modifiedSeconds, qint64(1100000000));
    QCOMPARE(handle.status("gone", status), ENOENT);
}

void tst_Platform::userVolumes_data()
{
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("drive");

    QTest::newRow("root in a container")
        << u"/"_s << QByteArray("overlay") << QByteArray("overlay") << true;
    QTest::newRow("home partition")
        << u"/home"_s << QByteArray("/dev/sda2") << QByteArray("ext4") << true;
    QTest::newRow("logical volume")
        << u"/datos"_s << QByteArray("/dev/mapper/vg-datos") << QByteArray("xfs") << true;
    QTest::newRow("usb stick") << u"/media/ana/USB"_s << QByteArray("/dev/sdb1")
                               << QByteArray("vfat") << true;
    QTest::newRow("removable under run")
        << u"/run/media/ana/DISCO"_s << QByteArray("/dev/sdc1") << QByteArray("exfat") << true;
    QTest::newRow("network share")
        << u"/mnt/nas"_s << QByteArray("nas:/export") << QByteArray("nfs4") << true;
    QTest::newRow("efi partition")
        << u"/boot/efi"_s << QByteArray("/dev/sda1") << QByteArray("vfat") << false;
    QTest::newRow("proc") << u"/proc"_s << QByteArray("proc") << QByteArray("proc") << false;
    QTest::newRow("shared memory")
        << u"/dev/shm"_s << QByteArray("tmpfs") << QByteArray("tmpfs") << false;
    QTest::newRow("tmpfs elsewhere")
        << u"/mnt/ram"_s << QByteArray("tmpfs") << QByteArray("tmpfs") << false;
    QTest::newRow("snap image") << u"/snap/core/1"_s << QByteArray("/dev/loop3")
                                << QByteArray("squashfs") << false;
    QTest::newRow("loop device") << u"/mnt/iso"_s << QByteArray("/dev/loop0")
                                 << QByteArray("iso9660") << false;
    QTest::newRow("disc image on the desktop")
        << u"/media/ana/CD"_s << QByteArray("/dev/loop7") << QByteArray("iso9660") << true;
    QTest::newRow("run") << u"/run/user/1000"_s << QByteArray("tmpfs") << QByteArray("tmpfs")
                         << false;
    QTest::newRow("container layers") << u"/var/lib/docker/overlay2/x/merged"_s
                                      << QByteArray("overlay") << QByteArray("overlay") << false;
    QTest::newRow("cgroups") << u"/sys/fs/cgroup"_s << QByteArray("cgroup") << QByteArray("cgroup2")
                             << false;
}

void tst_Platform::userVolumes()
{
    QFETCH(QString, mountPoint);
    QFETCH(QByteArray, device);
    QFETCH(QByteArray, type);
    QFETCH(bool, drive);

    QCOMPARE(isUserVolume({mountPoint, device, type}), drive);
}

void tst_Platform::volumeRoot_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("root");

    QTest::newRow("inside home") << u"/home/ana/fotos"_s << u"/home"_s;
    QTest::newRow("the mount point") << u"/home"_s << u"/home"_s;
    QTest::newRow("same prefix only") << u"/homework/x"_s << u"/"_s;
    QTest::newRow("nested mounts") << u"/home/ana/usb/x"_s << u"/home/ana/usb"_s;
    QTest::newRow("root") << u"/"_s << u"/"_s;
}

void tst_Platform::volumeRoot()
{
    QFETCH(QString, path);
    QFETCH(QString, root);

    const QList<Volume> volumes = {{u"/"_s, {}}, {u"/home/ana/usb"_s, u"USB"_s}, {u"/home"_s, {}}};
    QCOMPARE(volumeRootOf(path, volumes), root);
}

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
