#include "clock.h"
#include "collation.h"
#include "documentopener.h"
#include "folderlisting.h"
#include "getfileext.h"
#include "localetext.h"
#include "overflow.h"
#include "pagewriter.h"
#include "testfolder.h"

#include <QTest>

#include <sys/resource.h>
#include <sys/wait.h>

using namespace Qt::StringLiterals;

namespace {

// Now is 6 December 2026 10:05:09; each run takes exactly 1.5 seconds.
class FixedClock : public Clock
{
public:
    QDateTime now() const override { return QDateTime(QDate(2026, 12, 6), QTime(10, 5, 9)); }
    qint64 monotonicNanoseconds() const override { return 1'500'000'000 * m_reads++; }

private:
    mutable qint64 m_reads = 0;
};

class RecordingOpener : public DocumentOpener
{
public:
    bool open(const QString &path) override
    {
        opened << path;
        return false; // as if nothing could show it
    }
    QStringList opened;
};

// A folder's files plus one name that is not on disk, listed last.
class ListWithGhost : public FileList
{
public:
    explicit ListWithGhost(const QString &folder)
        : m_files(folder, QLocale(u"es_ES"_s))
    {}
    bool Refresh(QString *error) override { return m_files.Refresh(error); }
    qsizetype ListCount() const override { return m_files.ListCount() + 1; }
    qsizetype ListIndex() const override { return m_index; }
    void setListIndex(qsizetype index) override
    {
        m_index = index;
        if (index < m_files.ListCount())
            m_files.setListIndex(index);
    }
    QString FileName() const override
    {
        return m_index < m_files.ListCount() ? m_files.FileName() : u"zz-ghost.txt"_s;
    }

private:
    FolderFileList m_files;
    qsizetype m_index = -1;
};

// 1 March 2003 at 12:34:56 and at midnight, UTC (the tests run with TZ=UTC0).
constexpr qint64 march2003 = 1046522096;
constexpr qint64 march2003Midnight = 1046476800;

struct PageRun
{
    PageResult result;
    QByteArrayList lines;
    QStringList opened;
};

PageRun writePage(const TestFolder &folder, PageOptions options, FileList *files = nullptr)
{
    static const LocaleText spanish{QLocale(u"es_ES"_s)};
    FixedClock clock;
    RecordingOpener opener;
    PageServices services;
    services.locale = &spanish;
    services.clock = &clock;
    services.opener = &opener;
    FolderFileList folderFiles(folder.path(), spanish.locale());
    PageRun run;
    run.result = writeIndexPage(folder.path(), files ? *files : folderFiles, options, services);
    run.lines = pageLines(folder.read("Quorvel-Html_index.html"));
    run.opened = opener.opened;
    return run;
}

QByteArray raw(const QString &text)
{
    return text.toUtf8();
}

} // namespace

class tst_Listing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void getFileExt_data();
    void getFileExt();
    void getFileExtOverflow_data();
    void getFileExtOverflow();
    void listingOrder();
    void wholePage();
    void sizes_data();
    void sizes();
    void entryLines_data();
    void entryLines();
    void noPicturesUnlessAsked();
    void pageLeavesItselfOut();
    void emptyFolder();
    void cannotCreatePage_data();
    void cannotCreatePage();
    void fileGonePartWay();
    void fileSizeLimitPartWay();
    void folderCannotBeRead();
    void opensPageWhenAsked_data();
    void opensPageWhenAsked();
    void progressReachesTheEnd();
    void lookupAheadMatchesOneByOne_data();
    void lookupAheadMatchesOneByOne();
};

void tst_Listing::getFileExt_data()
{
    QTest::addColumn<QString>("PathIn");
    QTest::addColumn<bool>("AddPath");
    QTest::addColumn<QString>("NomeOut");
    QTest::addColumn<QString>("result");

    QTest::newRow("photo") << u"C:\\Fotos\\playa.jpg"_s << false << u"playa"_s << u"jpg"_s;
    QTest::newRow("photo with path")
        << u"C:\\Fotos\\playa.jpg"_s << true << u"C:\\Fotos\\playa"_s << u"jpg"_s;
    QTest::newRow("two dots") << u"C:\\Fotos\\arch.tar.gz"_s << false << u"arch.tar"_s << u"gz"_s;
    QTest::newRow("dot in folder") << u"C:\\Mis.docs\\leeme"_s << false << u"leeme"_s << u""_s;
    QTest::newRow("dot in folder with path")
        << u"C:\\Mis.docs\\leeme"_s << true << u"C:\\Mis.docs\\leeme"_s << u""_s;
    QTest::newRow("ends in dot") << u"C:\\dir\\fichero."_s << false << u"fichero"_s << u""_s;
    QTest::newRow("starts with dot") << u"C:\\dir\\.oculto"_s << false << u""_s << u"oculto"_s;
    QTest::newRow("ends in backslash") << u"C:\\dir\\"_s << false << u""_s << u""_s;
    QTest::newRow("ends in backslash with path")
        << u"C:\\dir\\"_s << true << u"C:\\dir\\"_s << u""_s;
    QTest::newRow("no folder") << u"nombre.txt"_s << false << u"nombre"_s << u"txt"_s;
    QTest::newRow("empty") << u""_s << false << u""_s << u""_s;
    QTest::newRow("empty with path") << u""_s << true << u""_s << u""_s;
    QTest::newRow("case kept") << u"C:\\PHOTO.JPG"_s << false << u"PHOTO"_s << u"JPG"_s;
    QTest::newRow("lone dot") << u"."_s << false << u""_s << u""_s;
    QTest::newRow("slash path") << u"/home/ana/playa.jpg"_s << false << u"playa"_s << u"jpg"_s;
    QTest::newRow("slash path with path")
        << u"/home/ana/playa.jpg"_s << true << u"/home/ana/playa"_s << u"jpg"_s;
    QTest::newRow("dot in slash folder")
        << u"/srv/mis.docs/leeme"_s << false << u"leeme"_s << u""_s;
    QTest::newRow("dot in slash folder with path")
        << u"/srv/mis.docs/leeme"_s << true << u"/srv/mis.docs/leeme"_s << u""_s;
    QTest::newRow("mixed separators") << u"C:\\a.b/c.d\\e"_s << false << u"e"_s << u""_s;
    QTest::newRow("drive colon is no separator")
        << u"C:fich.txt"_s << false << u"C:fich"_s << u"txt"_s;
}

void tst_Listing::getFileExt()
{
    QFETCH(QString, PathIn);
    QFETCH(bool, AddPath);
    QFETCH(QString, NomeOut);
    QFETCH(QString, result);

    const QString before = PathIn;
    QString name = u"stale"_s;
    QCOMPARE(GetFileExt(PathIn, name, AddPath), result);
    QCOMPARE(name, NomeOut);
    QCOMPARE(PathIn, before);
}

void tst_Listing::getFileExtOverflow_data()
{
    QTest::addColumn<QString>("PathIn");
    QTest::addColumn<bool>("overflows");
    QTest::addColumn<QString>("result");

    QTest::newRow("32765 without dot") << QString(32765, u'a') << false << u""_s;
    QTest::newRow("32766 without dot") << QString(32766, u'a') << true << u""_s;
    QTest::newRow("32766 with dot") << QString(32763, u'a') + u".txt"_s << false << u"txt"_s;
    QTest::newRow("32767 long") << QString(32763, u'a') + u".jpgx"_s << true << u""_s;
    QTest::newRow("40000 long") << QString(40000, u'a') << true << u""_s;
    QTest::newRow("backslash at 32765") << QString(32764, u'a') + u"\\"_s << false << u""_s;
    QTest::newRow("backslash at 32766") << QString(32765, u'a') + u"\\"_s << true << u""_s;
    QTest::newRow("backslash at 32767") << QString(32766, u'a') + u"\\"_s << true << u""_s;
}

void tst_Listing::getFileExtOverflow()
{
    QFETCH(QString, PathIn);
    QFETCH(bool, overflows);
    QFETCH(QString, result);

    QString name;
    try {
        const QString extension = GetFileExt(PathIn, name, false);
        QVERIFY2(!overflows, "no overflow error");
        QCOMPARE(extension, result);
    } catch (const OverflowError &) {
        QVERIFY2(overflows, "unexpected overflow error");
    }
}

void tst_Listing::listingOrder()
{
    TestFolder folder;
    const QByteArrayList names = {"b.txt",   "IMG_10.jpg",   "A.txt", "IMG_2.jpg", "x", "X",
                                  "caf\xe9", "\xc3\x81rbol", "zeta",  "01",        "1"};
    for (const QByteArray &name : names)
        QVERIFY(folder.addFile(name));
    QVERIFY(folder.addFolder("carpeta"));

    FolderListing listing;
    QCOMPARE(listing.read(folder.path(), EntryKind::Files, QLocale(u"es_ES"_s)), 0);
    QByteArrayList order;
    for (qsizetype i = 0; i < listing.count(); ++i)
        order << listing.rawName(i);
    // Numbers by value; names equal but for case in byte order; "café" from its raw byte.
    const QByteArrayList expected = {"01",    "1",       "A.txt",     "\xc3\x81rbol",
                                     "b.txt", "caf\xe9", "IMG_2.jpg", "IMG_10.jpg",
                                     "X",     "x",       "zeta"};
    QCOMPARE(order, expected);
    QCOMPARE(listing.name(5), u"caf\xdce9"_s);
}

void tst_Listing::wholePage()
{
    TestFolder folder;
    QVERIFY(folder.addFile("playa.jpg", 2048, march2003));
    QVERIFY(folder.addFile("leeme", 0, march2003Midnight));
    QVERIFY(folder.addLink("roto", "a/ninguna/parte"));
    QVERIFY(folder.setModified("roto", march2003, false));

    const PageRun run = writePage(folder, {true, false});
    QVERIFY2(run.result.ok, qPrintable(run.result.error));
    const QByteArray path = folder.rawPath();
    const QByteArrayList expected = {
        "<html><body bgcolor=#000000><font color=#ffffff>",
        "<CENTER><font size=8>^Quorvel^ Folimbra</center></font>",
        "<head><title>" + path + "</title></head>",
        "<body>",
        "<hr>",
        "<b>" + path.toLower() + " :: 6/12/26 10:05:09</b>",
        "<hr>",
        "<p><a href=\"leeme\">leeme</a> (1/3/03, 1k)",
        "<p><a href=\"playa.jpg\">playa.jpg</a> (1/3/03 12:34:56, 2k)",
        "<br><center><img src=playa.jpg alt=" + path + "playa.jpg width=200 height=200></center>",
        "<p><a href=\"roto\">roto</a> (1/3/03 12:34:56, 1k)",
        "<br>&nbsp;",
        "<hr>",
        "<b>3 Archivo(s) :: 4k</b>",
        "<hr>",
        "<font size=1>",
        "P\xe1gina generada en 1,50 segundos con ^Quorvel^ Folimbra 1.0.1 \xa9 <a "
        "href=https://quorvel.example/folimbra/>https://quorvel.example/folimbra/</a>",
        "</font>",
        "<hr>",
        "</body>",
        "</html>",
    };
    QCOMPARE(run.lines, expected);
    QVERIFY(!folder.read("Quorvel-Html_index.html").startsWith("\xef\xbb\xbf"));
    QCOMPARE(run.result.fileCount, 3);
    QCOMPARE(run.result.totalKilobytes, 4);
    QCOMPARE(run.result.CurrentFile, folder.path() + u"roto"_s);
    QCOMPARE(run.result.pagePath, folder.path() + u"Quorvel-Html_index.html"_s);
}

void tst_Listing::sizes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QByteArray>("shown");

    QTest::newRow("empty") << qint64(0) << QByteArray("1");
    QTest::newRow("1 byte") << qint64(1) << QByteArray("1");
    QTest::newRow("1023") << qint64(1023) << QByteArray("1");
    QTest::newRow("1024") << qint64(1024) << QByteArray("1");
    QTest::newRow("2047") << qint64(2047) << QByteArray("1");
    QTest::newRow("2048") << qint64(2048) << QByteArray("2");
    QTest::newRow("1 MiB") << qint64(1048576) << QByteArray("1.024");
    QTest::newRow("2 GiB") << qint64(2147483648) << QByteArray("2.097.152");
    QTest::newRow("5 TiB") << qint64(5497558138880) << QByteArray("5.368.709.120");
}

void tst_Listing::sizes()
{
    QFETCH(qint64, bytes);
    QFETCH(QByteArray, shown);

    TestFolder folder;
    QVERIFY(folder.addFile("f", bytes, march2003));
    QVERIFY(folder.addFile("g", 0, march2003));
    const PageRun run = writePage(folder, {});
    QVERIFY2(run.result.ok, qPrintable(run.result.error));
    QCOMPARE(run.lines.value(7), "<p><a href=\"f\">f</a> (1/3/03 12:34:56, " + shown + "k)");
    // The total adds the sizes as shown: the empty file counts 1k.
    QCOMPARE(run.result.totalKilobytes, qMax<qint64>(bytes / 1024, 1) + 1);
    QCOMPARE(run.lines.value(11),
             "<b>2 Archivo(s) :: "
                 + LocaleText(QLocale(u"es_ES"_s)).wholeNumber(run.result.totalKilobytes).toLatin1()
                 + "k</b>");
}

void tst_Listing::entryLines_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("link");
    QTest::addColumn<QByteArray>("picture"); // empty: no picture line

    const QByteArray tail = " (1/3/03 12:34:56, 1k)";
    auto row = [&](const char *tag, const QByteArray &name, const QByteArray &href,
                   const QByteArray &text, const QByteArray &src = {}, const QByteArray &alt = {}) {
        QTest::newRow(tag) << name << "<p><a href=\"" + href + "\">" + text + "</a>" + tail
                           << (src.isEmpty() ? QByteArray()
                                             : "<br><center><img src=" + src + " alt=" + alt
                                                   + " width=200 height=200></center>");
    };
    // "@" stands for the folder's path in alternative texts.
    row("upper-case jpg", "PHOTO.JPG", "PHOTO.JPG", "PHOTO.JPG", "PHOTO.JPG", "@PHOTO.JPG");
    row("mixed-case tiff", "a.Tiff", "a.Tiff", "a.Tiff", "a.Tiff", "@a.Tiff");
    row("png", "x.png", "x.png", "x.png", "x.png", "@x.png");
    row("gif bmp jpeg", "a.gif.bmp.jpeg", "a.gif.bmp.jpeg", "a.gif.bmp.jpeg", "a.gif.bmp.jpeg",
        "@a.gif.bmp.jpeg");
    row("no extension", "noext", "noext", "noext");
    row("ends in a dot", "fichero.", "fichero.", "fichero.");
    row("jpe", "file.jpe", "file.jpe", "file.jpe");
    row("jpg then txt", "pic.jpg.txt", "pic.jpg.txt", "pic.jpg.txt");
    row("hidden png", ".png", ".png", ".png", ".png", "@.png");
    row("blanks", "mi foto de playa.jpg", "mi foto de playa.jpg", "mi foto de playa.jpg",
        "\"mi foto de playa.jpg\"", "\"@mi foto de playa.jpg\"");
    row("markup", "<b>x.txt", "&lt;b&gt;x.txt", "&lt;b&gt;x.txt");
    row("markup image", "<img>.png", "&lt;img&gt;.png", "&lt;img&gt;.png", "\"&lt;img&gt;.png\"",
        "\"@&lt;img&gt;.png\"");
    row("double quote", "di \"hola\".gif", "di &quot;hola&quot;.gif", "di &quot;hola&quot;.gif",
        "\"di &quot;hola&quot;.gif\"", "\"@di &quot;hola&quot;.gif\"");
    row("apostrophe", "it's.png", "it's.png", "it's.png", "\"it's.png\"", "\"@it's.png\"");
    row("equals", "a=b.png", "a=b.png", "a=b.png", "\"a=b.png\"", "\"@a=b.png\"");
    row("ampersand", "R&B.png", "R&amp;B.png", "R&amp;B.png", "R&amp;B.png", "@R&amp;B.png");
    row("percent hash question", "50% #1?.png", "50%25 %231%3F.png", "50% #1?.png",
        "\"50%25 %231%3F.png\"", "\"@50% #1?.png\"");
    row("scheme", "javascript:alert(1)", "javascript%3Aalert(1)", "javascript:alert(1)");
    row("scheme image", "data:x.png", "data%3Ax.png", "data:x.png", "data%3Ax.png", "@data:x.png");
    row("backslash", "a\\b.png", "a%5Cb.png", "a\\b.png", "a%5Cb.png", "@a\\b.png");
    row("tab", "a\tb.png", "a%09b.png", "a&#9;b.png", "\"a%09b.png\"", "\"@a&#9;b.png\"");
    row("line feed", "a\nb.txt", "a%0Ab.txt", "a&#10;b.txt");
    row("carriage return", "a\rb.txt", "a%0Db.txt", "a&#13;b.txt");
    row("accents",
        "\xc3\x81rbol \xc3\xb1"
        "and\xc3\xba.jpg",
        "\xc1rbol \xf1"
        "and\xfa.jpg",
        "\xc1rbol \xf1"
        "and\xfa.jpg",
        "\"\xc1rbol \xf1"
        "and\xfa.jpg\"",
        "\"@\xc1rbol \xf1"
        "and\xfa.jpg\"");
    row("japanese", raw(u"ノート.png"_s), "&#12494;&#12540;&#12488;.png",
        "&#12494;&#12540;&#12488;.png", "&#12494;&#12540;&#12488;.png",
        "@&#12494;&#12540;&#12488;.png");
    row("emoji", raw(u"😀.gif"_s), "&#128512;.gif", "&#128512;.gif", "&#128512;.gif",
        "@&#128512;.gif");
    row("not utf-8", "caf\xe9.png", "caf%E9.png", "caf\xe9.png", "caf%E9.png", "@caf\xe9.png");
    row("not utf-8 euro byte", "\x80.txt", "%80.txt", "\x80.txt");
}

void tst_Listing::entryLines()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, link);
    QFETCH(QByteArray, picture);

    TestFolder folder;
    QVERIFY(folder.addFile(name, 10, march2003));
    const PageRun run = writePage(folder, {true, false});
    QVERIFY2(run.result.ok, qPrintable(run.result.error));
    QByteArrayList expected = {link};
    if (!picture.isEmpty())
        expected << picture.replace('@', folder.rawPath());
    QCOMPARE(run.lines.mid(7, run.lines.size() - 17), expected);
    QCOMPARE(run.lines.value(run.lines.size() - 8), QByteArray("<b>1 Archivo(s) :: 1k</b>"));
}

void tst_Listing::noPicturesUnlessAsked()
{
    TestFolder folder;
    QVERIFY(folder.addFile("x.png", 10, march2003));
    QVERIFY(folder.addFile("y.JPG", 10, march2003));
    const PageRun run = writePage(folder, {false, false});
    QVERIFY(run.result.ok);
    QCOMPARE(run.lines.size(), 19);
    QVERIFY(!run.lines.join().contains("<img"));
}

void tst_Listing::pageLeavesItselfOut()
{
    TestFolder folder;
    QVERIFY(folder.addFile("Quorvel-Html_index.html", 5000, march2003));
    QVERIFY(folder.addFile("QUORVEL-HTML_INDEX.HTML", 10, march2003));
    QVERIFY(folder.addFile("a.txt", 10, march2003));

    const PageRun run = writePage(folder, {});
    QVERIFY(run.result.ok);
    const QByteArrayList entries = run.lines.mid(7, run.lines.size() - 17);
    QCOMPARE(entries.size(), 2);
    QVERIFY(entries.at(0).startsWith("<p><a href=\"a.txt\">"));
    QVERIFY(entries.at(1).startsWith("<p><a href=\"QUORVEL-HTML_INDEX.HTML\">"));
    QCOMPARE(run.lines.value(run.lines.size() - 8), QByteArray("<b>2 Archivo(s) :: 2k</b>"));
    // The page was the last entry walked, so it is the current file.
    QCOMPARE(run.result.CurrentFile, run.result.pagePath);
}

void tst_Listing::emptyFolder()
{
    TestFolder folder;
    QVERIFY(folder.addFolder("only a folder"));
    const PageRun run = writePage(folder, {true, false});
    QVERIFY(run.result.ok);
    QCOMPARE(run.lines.size(), 17);
    QCOMPARE(run.lines.at(6), QByteArray("<hr>"));
    QCOMPARE(run.lines.at(7), QByteArray("<br>&nbsp;"));
    QCOMPARE(run.lines.at(9), QByteArray("<b>0 Archivo(s) :: 0k</b>"));
    QCOMPARE(run.result.CurrentFile, QString());
}

void tst_Listing::cannotCreatePage_data()
{
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QString>("reason");

    QTest::newRow("page name is a folder") << QByteArray("folder") << u"es una carpeta"_s;
    QTest::newRow("read-only file system") << QByteArray("proc") << u"no existe"_s;
}

void tst_Listing::cannotCreatePage()
{
    QFETCH(QByteArray, setup);
    QFETCH(QString, reason);

    // Tests run as root, where permissions stop no write: these paths cannot hold the file.
    TestFolder folder;
    QVERIFY(folder.addFile("a.txt"));
    QString CurrentPath = folder.path();
    if (setup == "folder")
        QVERIFY(folder.addFolder("Quorvel-Html_index.html"));
    else
        CurrentPath = u"/proc/"_s;

    FixedClock clock;
    RecordingOpener opener;
    const LocaleText spanish{QLocale(u"es_ES"_s)};
    FolderFileList files(CurrentPath);
    const PageResult result =
        writeIndexPage(CurrentPath, files, {true, true}, {&spanish, &clock, &opener, {}});
    QVERIFY(!result.ok);
    QCOMPARE(result.error, u"No se pudo crear la página «%1Quorvel-Html_index.html»: %2."_s.arg(
                               CurrentPath, reason));
    QVERIFY(opener.opened.isEmpty());
    QCOMPARE(result.fileCount, 0);
}

void tst_Listing::fileGonePartWay()
{
    TestFolder folder;
    QVERIFY(folder.addFile("a.txt", 10, march2003));
    QVERIFY(folder.addFile("b.txt", 10, march2003));
    ListWithGhost files(folder.path());

    const PageRun run = writePage(folder, {false, true}, &files);
    QVERIFY(!run.result.ok);
    QCOMPARE(run.result.error,
             u"No se pudo leer el archivo «%1zz-ghost.txt»: no existe."_s.arg(folder.path()));
    QCOMPARE(run.result.CurrentFile, folder.path() + u"zz-ghost.txt"_s);
    QCOMPARE(files.ListIndex(), 2);
    // What was written stays; nothing after the failure is, and the page is not opened.
    QCOMPARE(run.lines.size(), 9);
    QVERIFY(run.lines.at(8).startsWith("<p><a href=\"b.txt\">"));
    QVERIFY(run.opened.isEmpty());
}

// A write that fails part-way (here a file-size limit) is a failure, with the lines kept.
void tst_Listing::fileSizeLimitPartWay()
{
    TestFolder folder;
    for (int i = 0; i < 3000; ++i)
        QVERIFY(folder.addFile("archivo " + QByteArray::number(i) + ".txt", 10, march2003));
    constexpr int limit = 100000;

    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        const struct rlimit fileSize = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &fileSize);
        const PageRun run = writePage(folder, {false, true});
        const bool reported =
            !run.result.ok
            && run.result.error.endsWith(u"»: se ha superado el tamaño máximo de archivo."_s)
            && run.opened.isEmpty();
        _exit(reported ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), "killed by a signal");
    QCOMPARE(WEXITSTATUS(status), 0);
    const QByteArray page = folder.read("Quorvel-Html_index.html");
    QCOMPARE(page.size(), limit);
    QVERIFY(page.startsWith("<html><body bgcolor=#000000><font color=#ffffff>\r\n"));
    QVERIFY(!page.contains("Archivo(s)"));
}

void tst_Listing::folderCannotBeRead()
{
    TestFolder folder;
    const QString missing = folder.path() + u"gone/"_s;
    FolderFileList files(missing);
    RecordingOpener opener;
    const PageResult result =
        writeIndexPage(missing, files, {false, true}, {nullptr, nullptr, &opener, {}});
    QVERIFY(!result.ok);
    QCOMPARE(result.error, u"No se pudo leer la carpeta «%1»: no existe."_s.arg(missing));
    QVERIFY(!folder.exists("gone"));
    QVERIFY(opener.opened.isEmpty());
}

void tst_Listing::opensPageWhenAsked_data()
{
    QTest::addColumn<bool>("view");
    QTest::newRow("view") << true;
    QTest::newRow("no view") << false;
}

void tst_Listing::opensPageWhenAsked()
{
    QFETCH(bool, view);

    TestFolder folder;
    QVERIFY(folder.addFile("a.txt"));
    const PageRun run = writePage(folder, {false, view});
    // The opener reports failure; the page is a success all the same.
    QVERIFY(run.result.ok);
    QCOMPARE(run.opened, view ? QStringList{run.result.pagePath} : QStringList{});
}

void tst_Listing::progressReachesTheEnd()
{
    TestFolder folder;
    for (int i = 0; i < 5000; ++i)
        QVERIFY(folder.addFile("f" + QByteArray::number(i)));
    FolderFileList files(folder.path());
    QList<std::pair<qsizetype, qsizetype>> calls;
    PageServices services;
    services.progress = [&calls](qsizetype done, qsizetype total) {
        calls.append({done, total});
    };
    const PageResult result = writeIndexPage(folder.path(), files, {}, services);
    QVERIFY(result.ok);
    QCOMPARE(result.fileCount, 5000);
    QVERIFY(calls.size() >= 2);
    QCOMPARE(calls.first(), std::make_pair(qsizetype(0), qsizetype(5000)));
    QCOMPARE(calls.last(), std::make_pair(qsizetype(5000), qsizetype(5000)));
}

namespace {

// The folder's files, offering the writer their raw names or not; some files vanish from the disk
// right after the list is read.
class LookupList : public FileList
{
public:
    LookupList(const TestFolder &folder, bool rawNames, const QByteArrayList &vanishing)
        : m_folder(folder)
        , m_files(folder.path(), QLocale(u"es_ES"_s))
        , m_rawNames(rawNames)
        , m_vanishing(vanishing)
    {}
    bool Refresh(QString *error) override
    {
        const bool read = m_files.Refresh(error);
        for (const QByteArray &name : m_vanishing)
            ::unlink((m_folder.rawPath() + name).constData());
        return read;
    }
    qsizetype ListCount() const override { return m_files.ListCount(); }
    qsizetype ListIndex() const override { return m_files.ListIndex(); }
    void setListIndex(qsizetype index) override { m_files.setListIndex(index); }
    QString FileName() const override { return m_files.FileName(); }
    const FolderListing *listing() const override
    {
        return m_rawNames ? m_files.listing() : nullptr;
    }

private:
    const TestFolder &m_folder;
    FolderFileList m_files;
    bool m_rawNames;
    QByteArrayList m_vanishing;
};

bool inKeyOrder(const FolderListing &listing)
{
    const NameCollator collator(QLocale(u"es_ES"_s));
    std::string previous;
    for (qsizetype i = 0; i < listing.count(); ++i) {
        std::string key;
        collator.appendSortKey(listing.name(i), key);
        if (i > 0
            && (key < previous
                || (key == previous && qstrcmp(listing.rawName(i - 1), listing.rawName(i)) >= 0)))
            return false;
        previous = std::move(key);
    }
    return true;
}

} // namespace

void tst_Listing::lookupAheadMatchesOneByOne_data()
{
    QTest::addColumn<QByteArrayList>("files");
    QTest::addColumn<int>("numbered"); // more files, "f0" to "f<numbered - 1>"
    QTest::addColumn<QByteArrayList>("vanishing");
    QTest::addColumn<QByteArray>("failsAt");

    QTest::newRow("hidden") << QByteArrayList{".a", ".perfil", "a", "A", "b"} << 0
                            << QByteArrayList{} << QByteArray();
    QTest::newRow("links") << QByteArrayList{"t.txt", "l>t.txt", "roto>nada", "dl>sub", "sub/"} << 0
                           << QByteArrayList{} << QByteArray();
    QTest::newRow("close names") << QByteArrayList{"IMG_2.jpg", "IMG_10.jpg",   "img_2.jpg",
                                                   "Img_2.JPG", "\xc3\xa9.txt", "e.txt",
                                                   "E.txt",     "\xe9.txt",     "\xc3\xbc",
                                                   "u"}
                                 << 0 << QByteArrayList{} << QByteArray();
    QTest::newRow("gone first") << QByteArrayList{} << 600 << QByteArrayList{"f0"}
                                << QByteArray("f0");
    QTest::newRow("gone twice") << QByteArrayList{} << 600 << QByteArrayList{"f511", "f300"}
                                << QByteArray("f300");
    // Far past how far ahead the threads may run.
    QTest::newRow("gone last") << QByteArrayList{} << 2500 << QByteArrayList{"f2499"}
                               << QByteArray("f2499");
}

// Looking the files up ahead on other threads writes the very bytes, and fails at the very entry,
// that looking each one up in turn does.
void tst_Listing::lookupAheadMatchesOneByOne()
{
    QFETCH(QByteArrayList, files);
    QFETCH(int, numbered);
    QFETCH(QByteArrayList, vanishing);
    QFETCH(QByteArray, failsAt);

    TestFolder folder;
    for (const QByteArray &file : files) {
        const qsizetype arrow = file.indexOf('>');
        if (file.endsWith('/'))
            QVERIFY(folder.addFolder(file.chopped(1)));
        else if (arrow > 0)
            QVERIFY(folder.addLink(file.left(arrow), file.mid(arrow + 1)));
        else
            QVERIFY(folder.addFile(file, 1500 * file.size(), march2003 + file.size()));
    }
    for (int i = 0; i < numbered; ++i)
        QVERIFY(folder.addFile("f" + QByteArray::number(i), 700 * i, march2003 + 60 * i));

    QByteArray pages[2];
    PageResult results[2];
    for (const bool rawNames : {false, true}) {
        for (const QByteArray &name : vanishing)
            QVERIFY(folder.addFile(name));
        ::unlink((folder.rawPath() + "Quorvel-Html_index.html").constData());
        LookupList list(folder, rawNames, vanishing);
        const PageRun run = writePage(folder, {true, false}, &list);
        results[rawNames] = run.result;
        pages[rawNames] = folder.read("Quorvel-Html_index.html");
        if (rawNames)
            QVERIFY2(inKeyOrder(*list.listing()), "a large folder is sorted in two halves");
    }
    QCOMPARE(results[1].ok, failsAt.isEmpty());
    QCOMPARE(results[1].CurrentFile, results[0].CurrentFile);
    if (!failsAt.isEmpty())
        QCOMPARE(results[1].CurrentFile, folder.path() + QString::fromUtf8(failsAt));
    QCOMPARE(results[1].error, results[0].error);
    QCOMPARE(results[1].fileCount, results[0].fileCount);
    QCOMPARE(pages[1], pages[0]);
}

QTEST_GUILESS_MAIN(tst_Listing)
#include "tst_listing.moc"
