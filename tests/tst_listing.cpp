#include "clock.h"
#include "documentopener.h"
#include "folderlisting.h"
#include "folderorder.h"
#include "folderpage.h"
#include "getfileext.h"
#include "localetext.h"
#include "modernpage.h"
#include "overflow.h"
#include "pagewriter.h"
#include "selection.h"
#include "statusprefetch.h"
#include "testfolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>
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

// 1 March 2003 at 12:34:56 and at midnight, UTC (the tests run with TZ=UTC0).
constexpr qint64 march2003 = 1046522096;
constexpr qint64 march2003Midnight = 1046476800;

struct PageRun
{
    PageResult result;
    QByteArrayList lines;
    QStringList opened;
};

// The page of the folder (or of a folder inside it) as either front end writes it: read once, then
// written, with the files named in `vanishing` gone from the disk in between.
PageRun writePage(const TestFolder &folder, PageOptions options, PageServices services = {},
                  const QString &subfolder = {}, const Selection &selection = {},
                  const QByteArrayList &vanishing = {}, PageStyle style = PageStyle::Classic)
{
    static const LocaleText spanish{QLocale(u"es_ES"_s)};
    FixedClock clock;
    RecordingOpener opener;
    services.locale = &spanish;
    services.clock = &clock;
    services.opener = &opener;
    PageRun run;
    const QString path = folder.path() + subfolder;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    Listing files;
    if (fd < 0) {
        run.result.error = folderReadError(path, errno);
    } else if (files.read(fd, EntryKind::Files, selection, spanish.locale()) == 0) {
        for (const QByteArray &name : vanishing)
            ::unlink((folder.rawPath() + name).constData());
        run.result = writeListedPage(path, fd, files, {options, selection, false, style}, services);
    }
    if (fd >= 0)
        ::close(fd);
    run.lines = style == PageStyle::Classic ? pageLines(folder.read("Quorvel-Html_index.html"))
                                            : folder.read("Quorvel-Html_index.html").split('\n');
    run.opened = opener.opened;
    return run;
}

// The file rows of a modern page.
QByteArrayList fileRows(const QByteArrayList &lines)
{
    QByteArrayList rows;
    for (const QByteArray &line : lines) {
        if (line.startsWith("<tr><td>"))
            rows << line;
    }
    return rows;
}

constexpr char previousPage[] = "<html>the previous page</html>\r\n";

// Names in the folder that a run may have left behind: anything beside the page's own name.
QByteArrayList leftovers(const TestFolder &folder)
{
    NameBlock names;
    scanFolder(folder.path(), EntryKind::Files, names);
    QByteArrayList found;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (QByteArray(names.at(i)).startsWith(".Quorvel"))
            found << names.at(i);
    }
    return found;
}

} // namespace

class tst_Listing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void getFileExt_data()
    {
        QTest::addColumn<QString>("PathIn");
        QTest::addColumn<bool>("AddPath");
        QTest::addColumn<QString>("NomeOut");
        QTest::addColumn<QString>("result");

        QTest::newRow("photo with path")
            << u"C:\\Fotos\\playa.jpg"_s << true << u"C:\\Fotos\\playa"_s << u"jpg"_s;
        QTest::newRow("two dots") << u"C:\\Fotos\\arch.tar.gz"_s << false << u"arch.tar"_s
                                  << u"gz"_s;
        QTest::newRow("dot in folder") << u"C:\\Mis.docs\\leeme"_s << false << u"leeme"_s << u""_s;
        QTest::newRow("ends in dot") << u"C:\\dir\\fichero."_s << false << u"fichero"_s << u""_s;
        QTest::newRow("starts with dot") << u"C:\\dir\\.oculto"_s << false << u""_s << u"oculto"_s;
        QTest::newRow("ends in backslash") << u"C:\\dir\\"_s << false << u""_s << u""_s;
        QTest::newRow("empty") << u""_s << false << u""_s << u""_s;
        QTest::newRow("dot in slash folder with path")
            << u"/srv/mis.docs/leeme"_s << true << u"/srv/mis.docs/leeme"_s << u""_s;
        QTest::newRow("mixed separators") << u"C:\\a.b/c.d\\e"_s << false << u"e"_s << u""_s;
        QTest::newRow("drive colon is no separator")
            << u"C:fich.txt"_s << false << u"C:fich"_s << u"txt"_s;
        // Positions are 16-bit: a split that needs one past 32,767 overflows.
        const QString a32763(32763, u'a');
        QTest::newRow("32765 without dot")
            << a32763 + u"aa"_s << false << a32763 + u"aa"_s << u""_s;
        QTest::newRow("32766 without dot") << a32763 + u"aaa"_s << false << u""_s << u"overflow"_s;
        QTest::newRow("32766 with dot") << a32763 + u".tx"_s << false << a32763 << u"tx"_s;
        QTest::newRow("backslash at 32766")
            << a32763 + u"aa\\"_s << false << u""_s << u"overflow"_s;
    }

    void getFileExt()
    {
        QFETCH(QString, PathIn);
        QFETCH(bool, AddPath);
        QFETCH(QString, NomeOut);
        QFETCH(QString, result);

        const QString before = PathIn;
        QString name = u"stale"_s;
        QString extension;
        try {
            extension = GetFileExt(PathIn, name, AddPath);
        } catch (const OverflowError &) {
            extension = u"overflow"_s;
        }
        QCOMPARE(extension, result);
        if (result != u"overflow")
            QCOMPARE(name, NomeOut);
        QCOMPARE(PathIn, before);
    }

    void listingOrder_data()
    {
        QTest::addColumn<QByteArrayList>("names"); // in the order they are listed

        // Numbers by value; names equal but for case in byte order; "café" from its raw byte; "ñ"
        // before "z" past eight equal bytes of the keys.
        QTest::newRow("mixed") << QByteArrayList{
            "01",    "1",       "A.txt",     "abcdefgh\xc3\xb1", "abcdefghz", "\xc3\x81rbol",
            "b.txt", "caf\xe9", "IMG_2.jpg", "IMG_10.jpg",       "X",         "x",
            "zeta"};
        // The keys ignore the zero-width space, and end where a chunk of eight bytes does.
        QTest::newRow("ignorable") << QByteArrayList{"AB.txt", "ab.txt", "a\342\200\213b.txt"};
        QByteArrayList ties, halves;
        for (int i = 1; i <= 12; ++i)
            ties << "Informe trimestral " + QByteArray::number(i)
                 << "informe trimestral " + QByteArray::number(i);
        QTest::newRow("long ties") << ties;
        // Sorted in two halves on two threads, merged.
        for (int i = 0; i < 2100; ++i)
            halves << "f" + QByteArray::number(i);
        QTest::newRow("two halves") << halves;
    }

    void listingOrder()
    {
        QFETCH(QByteArrayList, names);

        TestFolder folder;
        for (const QByteArray &name : names)
            QVERIFY(folder.addFile(name));
        FolderListing listing;
        QCOMPARE(listing.read(folder.path(), EntryKind::Files, QLocale(u"es_ES"_s)), 0);
        QCOMPARE(listing.count(), names.size());
        for (qsizetype i = 0; i < listing.count(); ++i)
            QCOMPARE(listing.rawName(i), names[i]);

        // Handed over in chunks while the folder is read: a helper builds keys from the first full
        // one on, and this thread and an idle one share the rest.
        const FileDescriptor fd = openFolder(folder.path());
        for (const std::size_t chunk : {1, 7, 2048}) {
            NameSorter sorter(QLocale(u"es_ES"_s));
            NameBlock folders;
            QCOMPARE(scanFolder(fd.get(), folders, chunk,
                                [&sorter](NameBlock &part) { sorter.add(part); }),
                     0);
            const NameBlock sorted = sorter.finish();
            QCOMPARE(qsizetype(sorted.size()), names.size());
            for (std::size_t i = 0; i < sorted.size(); ++i)
                QCOMPARE(sorted.at(i), names[qsizetype(i)]);
        }

        // From names read backwards; with no room for packed records, wide ones take over.
        NameBlock backwards;
        for (qsizetype i = names.size() - 1; i >= 0; --i)
            backwards.add(names[i].constData(), std::size_t(names[i].size()));
        for (const std::size_t packedKeyLimit : {std::size_t(0), std::size_t(UINT32_MAX)}) {
            const std::vector<std::size_t> order =
                sortedOrder(backwards, QLocale(u"es_ES"_s), packedKeyLimit);
            QCOMPARE(qsizetype(order.size()), names.size());
            for (std::size_t k = 0; k < order.size(); ++k)
                QCOMPARE(backwards.at(order[k]), names[qsizetype(k)]);
        }
    }

    void byTime_data()
    {
        QTest::addColumn<std::vector<qint64>>("times");
        QTest::addColumn<bool>("reverse");
        QTest::addColumn<std::vector<qsizetype>>("order");

        const std::vector<qint64> ties{5, 9, 5, 1, 9, -3};
        QTest::newRow("newest first") << ties << false << std::vector<qsizetype>{1, 4, 0, 2, 3, 5};
        QTest::newRow("oldest first") << ties << true << std::vector<qsizetype>{5, 3, 0, 2, 1, 4};
        QTest::newRow("none") << std::vector<qint64>{} << true << std::vector<qsizetype>{};
    }

    void byTime()
    {
        QFETCH(std::vector<qint64>, times);
        QFETCH(bool, reverse);
        QFETCH(std::vector<qsizetype>, order);

        QCOMPARE(timeOrder(times, reverse), order);
    }

    void wholePage()
    {
        TestFolder folder;
        QVERIFY(folder.addFile("playa.jpg", 2048, march2003));
        QVERIFY(folder.addFile("leeme", 0, march2003Midnight));
        // A link shows what it leads to, one that leads nowhere itself; the page and folders,
        // also through a link, are left out.
        QVERIFY(folder.addLink("roto", "a/ninguna/parte"));
        QVERIFY(folder.setModified("roto", march2003, false));
        QVERIFY(folder.addLink("enlace", "playa.jpg"));
        QVERIFY(folder.setModified("enlace", march2003Midnight, false));
        QVERIFY(::mkfifo((folder.rawPath() + "tubo").constData(), 0644) == 0);
        QVERIFY(folder.setModified("tubo", march2003Midnight));
        QVERIFY(folder.addFolder("carpeta") && folder.addLink("dl", "carpeta"));
        QVERIFY(folder.addFile("Quorvel-Html_index.html", 5000));
        QVERIFY(folder.addFile("QUORVEL-HTML_INDEX.HTML", 10, march2003));

        const PageRun run = writePage(folder, {true, true});
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        // The opener reports failure; the page is a success all the same.
        QCOMPARE(run.opened, QStringList{folder.path() + u"Quorvel-Html_index.html"_s});
        const QByteArray path = folder.rawPath();
        const QByteArrayList expected = {
            "<html><body bgcolor=#000000><font color=#ffffff>",
            "<CENTER><font size=8>^Quorvel^ Folimbra</center></font>",
            "<head><title>" + path + "</title></head>",
            "<body>",
            "<hr>",
            "<b>" + path.toLower() + " :: 6/12/26 10:05:09</b>",
            "<hr>",
            "<p><a href=\"enlace\">enlace</a> (1/3/03 12:34:56, 2k)",
            "<p><a href=\"leeme\">leeme</a> (1/3/03, 1k)",
            "<p><a href=\"playa.jpg\">playa.jpg</a> (1/3/03 12:34:56, 2k)",
            "<br><center><img src=playa.jpg alt=" + path
                + "playa.jpg width=200 height=200></center>",
            "<p><a href=\"QUORVEL-HTML_INDEX.HTML\">QUORVEL-HTML_INDEX.HTML</a> (1/3/03 12:34:56, "
            "1k)",
            "<p><a href=\"roto\">roto</a> (1/3/03 12:34:56, 1k)",
            "<p><a href=\"tubo\">tubo</a> (1/3/03, 1k)",
            "<br>&nbsp;",
            "<hr>",
            "<b>6 Archivo(s) :: 8k</b>",
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
        QCOMPARE((QList<qint64>{run.result.fileCount, run.result.totalKilobytes}),
                 (QList<qint64>{6, 8}));
        QCOMPARE(run.result.CurrentFile, folder.path() + u"tubo"_s);
    }

    void sizes_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QByteArray>("shown");
        QTest::addColumn<QByteArray>("total"); // with an empty file beside it

        QTest::newRow("empty") << qint64(0) << QByteArray("1") << QByteArray("2");
        QTest::newRow("2047") << qint64(2047) << QByteArray("1") << QByteArray("2");
        QTest::newRow("2048") << qint64(2048) << QByteArray("2") << QByteArray("3");
        QTest::newRow("1 MiB") << qint64(1048576) << QByteArray("1.024") << QByteArray("1.025");
        QTest::newRow("5 TiB") << qint64(5497558138880) << QByteArray("5.368.709.120")
                               << QByteArray("5.368.709.121");
    }

    void sizes()
    {
        QFETCH(qint64, bytes);
        QFETCH(QByteArray, shown);
        QFETCH(QByteArray, total);

        TestFolder folder;
        QVERIFY(folder.addFile("f", bytes, march2003));
        QVERIFY(folder.addFile("g", 0, march2003));
        const PageRun run = writePage(folder, {});
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        QCOMPARE(run.lines.value(7), "<p><a href=\"f\">f</a> (1/3/03 12:34:56, " + shown + "k)");
        QCOMPARE(run.lines.value(11), "<b>2 Archivo(s) :: " + total + "k</b>");
    }

    void entryLines_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("link");
        QTest::addColumn<QByteArray>("picture"); // empty: no picture line

        const QByteArray tail = " (1/3/03 12:34:56, 1k)";
        auto row = [&](const char *tag, const QByteArray &name, const QByteArray &href,
                       const QByteArray &text, const QByteArray &src = {},
                       const QByteArray &alt = {}) {
            QTest::newRow(tag) << name << "<p><a href=\"" + href + "\">" + text + "</a>" + tail
                               << (src.isEmpty() ? QByteArray()
                                                 : "<br><center><img src=" + src + " alt=" + alt
                                                       + " width=200 height=200></center>");
        };
        // "@" stands for the folder's path in alternative texts.
        row("upper-case jpg", "PHOTO.JPG", "PHOTO.JPG", "PHOTO.JPG", "PHOTO.JPG", "@PHOTO.JPG");
        row("jpg then txt", "pic.jpg.txt", "pic.jpg.txt", "pic.jpg.txt");
        row("hidden png", ".png", ".png", ".png", ".png", "@.png");
        row("blanks inside", "mi foto de playa.jpeg", "mi foto de playa.jpeg",
            "mi foto de playa.jpeg", "\"mi foto de playa.jpeg\"", "\"@mi foto de playa.jpeg\"");
        row("blank first", " lead.png", "%20lead.png", " lead.png", "\"%20lead.png\"",
            "\"@ lead.png\"");
        row("blank last", "a b ", "a b%20", "a b ");
        row("markup image", "<img>.png", "&lt;img&gt;.png", "&lt;img&gt;.png",
            "\"&lt;img&gt;.png\"", "\"@&lt;img&gt;.png\"");
        row("double quote", "di \"hola\".gif", "di &quot;hola&quot;.gif", "di &quot;hola&quot;.gif",
            "\"di &quot;hola&quot;.gif\"", "\"@di &quot;hola&quot;.gif\"");
        row("ampersand", "R&B.Bmp", "R&amp;B.Bmp", "R&amp;B.Bmp", "R&amp;B.Bmp", "@R&amp;B.Bmp");
        row("percent hash question", "50% #1?.png", "50%25 %231%3F.png", "50% #1?.png",
            "\"50%25 %231%3F.png\"", "\"@50% #1?.png\"");
        row("scheme image", "data:x.png", "data%3Ax.png", "data:x.png", "data%3Ax.png",
            "@data:x.png");
        row("drive letter", "c|", "c%7C", "c|");
        row("backslash", "a\\b.TIF", "a%5Cb.TIF", "a\\b.TIF", "a%5Cb.TIF", "@a\\b.TIF");
        row("tab", "a\tb.tiff", "a%09b.tiff", "a&#9;b.tiff", "\"a%09b.tiff\"", "\"@a&#9;b.tiff\"");
        row("accents", "\xc3\x81rbol \xc3\xb1u.jpg", "%C3%81rbol %C3%B1u.jpg", "\xc1rbol \xf1u.jpg",
            "\"%C3%81rbol %C3%B1u.jpg\"", "\"@\xc1rbol \xf1u.jpg\"");
        row("cyrillic", "\xd0\xbc\xd0\xb8\xd1\x80.txt", "%D0%BC%D0%B8%D1%80.txt",
            "&#1084;&#1080;&#1088;.txt");
        // The second half of U+1F4C1 falls where bytes that are not UTF-8 are kept.
        row("folder emoji", "\xf0\x9f\x93\x81.gif", "%F0%9F%93%81.gif", "&#128193;.gif",
            "%F0%9F%93%81.gif", "@&#128193;.gif");
        // Characters that would let one name pass for another show as marks; links keep the bytes.
        row("only ignorable", "\xe2\x80\x8b", "%E2%80%8B", "<kbd>[U+200B]</kbd>");
        row("override image", "a\xe2\x80\xaegnp.jpg", "a%E2%80%AEgnp.jpg",
            "a<kbd>[U+202E]</kbd>gnp.jpg", "a%E2%80%AEgnp.jpg", "@a[U+202E]gnp.jpg");
        row("c1 control", "\xc2\x87x.png", "%C2%87x.png", "<kbd>[U+0087]</kbd>x.png", "%C2%87x.png",
            "@[U+0087]x.png");
        row("literal mark", "[U+202E].txt", "[U+202E].txt", "[U+202E].txt");
        row("joiner", "\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb",
            "%F0%9F%91%A9%E2%80%8D%F0%9F%92%BB", "&#128105;&#8205;&#128187;");
        row("variation selector", "\xe2\x9d\xa4\xef\xb8\x8f.jpg", "%E2%9D%A4%EF%B8%8F.jpg",
            "&#10084;&#65039;.jpg", "%E2%9D%A4%EF%B8%8F.jpg", "@&#10084;&#65039;.jpg");
        row("not utf-8", "caf\xe9.png", "caf%E9.png", "caf\xe9.png", "caf%E9.png", "@caf\xe9.png");
    }

    void entryLines()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, link);
        QFETCH(QByteArray, picture);

        TestFolder folder;
        QVERIFY(folder.addFile(name, 10, march2003));
        const PageRun run = writePage(folder, {true, false});
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        QByteArrayList expected = {link};
        if (!picture.isEmpty())
            expected << picture.replace('@', folder.rawPath());
        QCOMPARE(run.lines.mid(7, run.lines.size() - 17), expected);
        QCOMPARE(run.lines.value(run.lines.size() - 8), QByteArray("<b>1 Archivo(s) :: 1k</b>"));
        QCOMPARE(run.opened, QStringList());
    }

    // A run that fails changes nothing: the previous page keeps its bytes and no new file stays.
    void failuresLeaveTheFolder_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("error"); // "@" stands for the folder

        QTest::newRow("folder at the name")
            << u"folder"_s
            << u"No se pudo crear la página «@Quorvel-Html_index.html»: es una carpeta."_s;
        QTest::newRow("pipe at the name")
            << u"fifo"_s
            << u"No se pudo crear la página «@Quorvel-Html_index.html»: no es un archivo normal."_s;
        QTest::newRow("cancelled at the second file") << u"cancel"_s << QString();
        // Enough files, and no pictures, for lines made in ranges on the pool's threads.
        QTest::newRow("cancelled in ranges") << u"cancel in ranges"_s << QString();
        QTest::newRow("folder gone")
            << u"gone"_s << u"No se pudo leer la carpeta «@gone/»: no existe."_s;
    }

    void failuresLeaveTheFolder()
    {
        QFETCH(QString, setup);
        QFETCH(QString, error);

        TestFolder folder;
        const bool cancels = setup.startsWith(u"cancel");
        const bool ranges = setup == u"cancel in ranges";
        for (int i = 0; i < (ranges ? 5000 : 2); ++i)
            QVERIFY(folder.addFile("archivo " + QByteArray::number(i) + ".txt", 10, march2003));
        const QByteArray page = "Quorvel-Html_index.html";
        QByteArray before = previousPage;
        if (setup == u"folder")
            QVERIFY(folder.addFolder(page));
        else if (setup == u"fifo")
            QVERIFY(mkfifo((folder.rawPath() + page).constData(), 0644) == 0);
        else
            QVERIFY(folder.addFile(page) && folder.append(page, before));
        if (!cancels)
            before.clear();

        const QString where = setup == u"gone" ? u"gone/"_s : QString();
        PageServices services;
        int asked = 0;
        if (cancels)
            services.cancelled = [&asked] {
                return ++asked == 2;
            };
        const PageRun run = writePage(folder, {!ranges, true}, services, where);
        QVERIFY(!run.result.ok());
        QCOMPARE(run.result.error, QString(error).replace(u'@', folder.path()));
        QCOMPARE(run.result.outcome == PageResult::Cancelled, cancels);
        QVERIFY(run.opened.isEmpty());
        if (!before.isEmpty())
            QCOMPARE(folder.read(page), before);
        QCOMPARE(leftovers(folder), QByteArrayList());
    }

    // Whatever regular file or link stands at the page's name is replaced, never written through.
    void replacesWhatStandsAtTheName_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("creationMask");

        QTest::newRow("nothing") << u"none"_s << 0644 << 022;
        QTest::newRow("previous page keeps its mode") << u"page"_s << 0640 << 022;
        // Wider than the umask lets a new file be.
        QTest::newRow("old mode under umask 077") << u"page"_s << 0644 << 077;
        QTest::newRow("link to another file") << u"link"_s << 0644 << 022;
        QTest::newRow("dangling link") << u"dangling"_s << 0644 << 022;
    }

    void replacesWhatStandsAtTheName()
    {
        QFETCH(QString, setup);
        QFETCH(int, mode);
        QFETCH(int, creationMask);

        TestFolder folder;
        TestFolder elsewhere;
        QVERIFY(folder.addFile("a.txt", 10, march2003));
        QVERIFY(elsewhere.addFile("victim") && elsewhere.append("victim", "precious"));
        const QByteArray page = "Quorvel-Html_index.html";
        if (setup == u"page") {
            QVERIFY(folder.addFile(page) && folder.append(page, previousPage));
            QVERIFY(::chmod((folder.rawPath() + page).constData(), mode_t(mode)) == 0);
        } else if (setup == u"link") {
            QVERIFY(folder.addLink(page, elsewhere.rawPath() + "victim"));
        } else if (setup == u"dangling") {
            QVERIFY(folder.addLink(page, elsewhere.rawPath() + "nothing"));
        }

        const mode_t mask = ::umask(mode_t(creationMask));
        const PageRun run = writePage(folder, {});
        ::umask(mask);
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        QCOMPARE(run.lines.value(7),
                 QByteArray("<p><a href=\"a.txt\">a.txt</a> (1/3/03 12:34:56, 1k)"));
        QCOMPARE(elsewhere.read("victim"), QByteArray("precious"));
        QVERIFY(!elsewhere.exists("nothing"));
        struct stat st;
        QCOMPARE(::lstat((folder.rawPath() + page).constData(), &st), 0);
        QVERIFY(S_ISREG(st.st_mode));
        QCOMPARE(int(st.st_mode & 0777), mode);
        QCOMPARE(leftovers(folder), QByteArrayList());
    }

    // Hundreds of files, looked up ahead of the writer, or thousands, by name or by size, written
    // in ranges on several threads: the same lines in the same order, files gone meanwhile left
    // out, progress every 4,096 entries.
    void linesInRanges_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("bySize");
        QTest::addColumn<QList<int>>("gone");

        QTest::newRow("one at a time") << 300 << false << QList<int>{5};
        QTest::newRow("by name") << 9000 << false << QList<int>{};
        QTest::newRow("by name, some gone") << 9000 << false << QList<int>{0, 255, 256, 4096, 8999};
        QTest::newRow("ranges by size") << 9000 << true << QList<int>{};
    }

    void linesInRanges()
    {
        QFETCH(int, files);
        QFETCH(bool, bySize);
        QFETCH(QList<int>, gone);

        TestFolder folder;
        struct Expected
        {
            qint64 size;
            QByteArray line;
        };
        std::vector<Expected> expected;
        QByteArrayList vanishing;
        qint64 kilobytes = 0;
        for (int i = 0; i < files; ++i) {
            const QByteArray number = QByteArray::number(i).rightJustified(5, '0');
            // Every so often a name to escape and to turn into the code page.
            const bool marked = i % 1000 == 7;
            const QByteArray name = "f" + number + (marked ? " <&> \xc3\xb1.txt" : "");
            const qint64 size = qint64(i % 7) * 1024 + i % 3;
            QVERIFY(folder.addFile(name, size, march2003));
            if (gone.contains(i)) {
                vanishing << name;
                continue;
            }
            const QByteArray link = "f" + number + (marked ? " &lt;&amp;&gt; %C3%B1.txt" : "");
            const QByteArray text = "f" + number + (marked ? " &lt;&amp;&gt; \xf1.txt" : "");
            const qint64 shown = std::max<qint64>(1, size / 1024);
            kilobytes += shown;
            expected.push_back({size, "<p><a href=\"" + link + "\">" + text
                                          + "</a> (1/3/03 12:34:56, " + QByteArray::number(shown)
                                          + "k)"});
        }
        // Neither the page nor another run's page on its way is listed, though both are read.
        QVERIFY(folder.addFile("Quorvel-Html_index.html", 10, march2003));
        QVERIFY(folder.addFile(".Quorvel-Html_index.html.zz9", 10, march2003));
        if (bySize)
            std::stable_sort(expected.begin(), expected.end(),
                             [](const Expected &a, const Expected &b) { return a.size > b.size; });
        QByteArrayList lines;
        for (const Expected &entry : expected)
            lines << entry.line;

        Selection selection;
        selection.hidden = true;
        if (bySize)
            selection.sort = Selection::Sort::Size;
        QList<qsizetype> progress;
        PageServices services;
        services.progress = [&progress, files](qsizetype done, qsizetype total) {
            QCOMPARE(total, files + 2);
            progress << done;
        };
        const PageRun run = writePage(folder, {}, services, {}, selection, vanishing);
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        QCOMPARE(run.lines.mid(7, lines.size()), lines);
        QCOMPARE(run.lines.size(), lines.size() + 17);
        QCOMPARE((QList<qint64>{run.result.fileCount, run.result.totalKilobytes}),
                 (QList<qint64>{qint64(lines.size()), kilobytes}));
        QCOMPARE(run.result.listIndex, qsizetype(files + 1));
        QList<qsizetype> told;
        for (qsizetype done = 0; done <= files; done += 4096)
            told << done;
        QCOMPARE(progress, told << files + 2);
    }

    void selection_data()
    {
        QTest::addColumn<int>("sort");
        QTest::addColumn<bool>("reverse");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<QByteArrayList>("exclude");
        // "t*": 25 more files of one size, in order; "T*": 3,000 of one size and one date, enough
        // to be looked up on more than one thread.
        QTest::addColumn<QByteArrayList>("listed");

        using Sort = Selection::Sort;
        const QByteArrayList none;
        QTest::newRow("name") << int(Sort::Name) << false << true << none
                              << QByteArrayList{".h", "a.txt", "b.txt", "c.jpg"};
        QTest::newRow("name reversed") << int(Sort::Name) << true << true << none
                                       << QByteArrayList{"c.jpg", "b.txt", "a.txt", ".h"};
        QTest::newRow("newest first") << int(Sort::Date) << false << true << none
                                      << QByteArrayList{"c.jpg", "a.txt", "b.txt", ".h"};
        QTest::newRow("largest first, ties by name")
            << int(Sort::Size) << false << true << none
            << QByteArrayList{"b.txt", "c.jpg", "a.txt", ".h"};
        QTest::newRow("many ties") << int(Sort::Size) << false << true << none
                                   << QByteArrayList{"b.txt", "c.jpg", "t*", "a.txt", ".h"};
        QTest::newRow("thousands tied by date")
            << int(Sort::Date) << false << true << none
            << QByteArrayList{"c.jpg", "T*", "a.txt", "b.txt", ".h"};
        QTest::newRow("thousands tied by size, reversed")
            << int(Sort::Size) << true << true << none
            << QByteArrayList{".h", "a.txt", "T*", "c.jpg", "b.txt"};
        QTest::newRow("no hidden") << int(Sort::Name) << false << false << none
                                   << QByteArrayList{"a.txt", "b.txt", "c.jpg"};
        QTest::newRow("exclude two patterns")
            << int(Sort::Name) << false << true << QByteArrayList{"*.txt", "[.]?"}
            << QByteArrayList{"c.jpg"};
        QTest::newRow("wildcards cross dots")
            << int(Sort::Name) << false << true << QByteArrayList{"*"} << QByteArrayList{};
    }

    void selection()
    {
        QFETCH(int, sort);
        QFETCH(bool, reverse);
        QFETCH(bool, hidden);
        QFETCH(QByteArrayList, exclude);
        QFETCH(QByteArrayList, listed);

        TestFolder folder;
        QVERIFY(folder.addFile("b.txt", 3000, 300));
        QVERIFY(folder.addFile("a.txt", 1000, 500));
        QVERIFY(folder.addFile(".h", 10, 100));
        QVERIFY(folder.addFile("c.jpg", 3000, 900));
        // Another run's page being written, never listed.
        QVERIFY(folder.addFile(".Quorvel-Html_index.html.k3"));
        const qsizetype tied = listed.indexOf("t*");
        if (tied >= 0) {
            listed.removeAt(tied);
            for (int i = 24; i >= 0; --i) {
                const QByteArray name = QByteArray::number(i).rightJustified(2, '0').prepend('t');
                QVERIFY(folder.addFile(name, 2000, 700 + i));
                listed.insert(tied, name);
            }
        }
        if (const qsizetype many = listed.indexOf("T*"); many >= 0) {
            listed.removeAt(many);
            const bool reversed = reverse;
            for (int i = 0; i < 3000; ++i) {
                const QByteArray name = QByteArray::number(i).rightJustified(4, '0').prepend('T');
                QVERIFY(folder.addFile(name, 2000, 700));
                listed.insert(reversed ? many : many + i, name);
            }
        }
        const PageRun run =
            writePage(folder, {}, {}, {}, {Selection::Sort(sort), reverse, hidden, exclude});
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        QByteArrayList entries;
        for (const QByteArray &line : run.lines.mid(7, run.lines.size() - 17))
            entries << line.mid(12, line.indexOf('"', 12) - 12);
        QCOMPARE(entries, listed);
        const QByteArray totals = run.lines.value(run.lines.size() - 8);
        QVERIFY(totals.startsWith("<b>" + QByteArray::number(listed.size()) + " Archivo(s) :: "));
        QVERIFY(!listed.isEmpty() || totals == "<b>0 Archivo(s) :: 0k</b>");
        QCOMPARE(run.lines.size(), 17 + listed.size());
        // Each entry reads as in name order: what the order looked up is the files' own.
        const QByteArrayList byName = writePage(folder, {}).lines;
        for (const QByteArray &line : run.lines.mid(7, listed.size()))
            QVERIFY2(byName.contains(line), line.constData());

        // The modern page lists the same entries in the same order.
        const PageRun modern =
            writePage(folder, {}, {}, {}, {Selection::Sort(sort), reverse, hidden, exclude}, {},
                      PageStyle::Modern);
        QVERIFY2(modern.result.ok(), qPrintable(modern.result.error));
        QByteArrayList modernEntries;
        for (const QByteArray &row : fileRows(modern.lines))
            modernEntries << row.mid(16, row.indexOf('>', 16) - 16);
        QCOMPARE(modernEntries, listed);
        QCOMPARE(modern.result.fileCount, qint64(listed.size()));
    }

    void modernRows_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("row");

        const QByteArray date = "<td><time datetime=2003-03-01T12:34:56></time>";
        auto row = [&](const char *tag, const QByteArray &name, qint64 size, const QByteArray &link,
                       const QByteArray &sizeCell) {
            QTest::newRow(tag) << name << size
                               << "<tr><td><a href=" + link + "</a>" + date
                                      + "<td title=" + QByteArray::number(size) + '>' + sizeCell;
        };
        row("plain", "leeme", 0, "leeme>leeme", "0 bytes");
        row("one byte", "uno", 1, "uno>uno", "1 byte");
        row("blanks", " a b ", 999, "\"%20a b%20\"> a b ", "999 bytes");
        row("percent hash question", "50% #1?", 1000, "\"50%25 %231%3F\">50% #1?", "1,0 kB");
        row("markup", "<b>&\"'", 1234, "\"&lt;b&gt;&amp;&quot;'\">&lt;b&gt;&amp;&quot;'", "1,2 kB");
        row("scheme", "javascript:x", 3400000, "javascript%3Ax>javascript:x", "3,4 MB");
        row("control", "a\tb", 10, "\"a%09b\">a&#9;b", "10 bytes");
        row("override", "a\xe2\x80\xaegnp.jpg", 10, "a%E2%80%AEgnp.jpg>a<kbd>[U+202E]</kbd>gnp.jpg",
            "10 bytes");
        row("c1 control", "\xc2\x87x", 10, "%C2%87x><kbd>[U+0087]</kbd>x", "10 bytes");
        // UTF-8 text as it is; a byte that is not UTF-8 shows as its Windows-1252 letter.
        row("accents", "\xc3\x81rbol", 10, "%C3%81rbol>\xc3\x81rbol", "10 bytes");
        row("not utf-8", "caf\xe9", 10, "caf%E9>caf\xc3\xa9", "10 bytes");
        row("emoji", "\xf0\x9f\x98\x80", 10, "%F0%9F%98%80>\xf0\x9f\x98\x80", "10 bytes");
    }

    void modernRows()
    {
        QFETCH(QByteArray, name);
        QFETCH(qint64, size);
        QFETCH(QByteArray, row);

        TestFolder folder;
        QVERIFY(folder.addFile(name, size, march2003));
        const PageRun run = writePage(folder, {false, true}, {}, {}, {}, {}, PageStyle::Modern);
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        QCOMPARE(fileRows(run.lines), QByteArrayList{row});
        // The run's total counts a file under a kilobyte as one, as the classic page does.
        QCOMPARE(run.result.totalKilobytes, std::max<qint64>(1, size / 1024));
        QCOMPARE(run.opened, QStringList{folder.path() + u"Quorvel-Html_index.html"_s});
    }

    void modernBodies_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("bodies");
        QTest::newRow("short of one") << modernRowsPerBody - 1 << 1;
        QTest::newRow("one full") << modernRowsPerBody << 1;
        QTest::newRow("one over") << modernRowsPerBody + 1 << 2;
        QTest::newRow("two and one") << 2 * modernRowsPerBody + 1 << 3;
    }

    // A new body opens after every modernRowsPerBody rows, on a line of its own.
    void modernBodies()
    {
        QFETCH(int, files);
        QFETCH(int, bodies);

        TestFolder folder;
        for (int i = 0; i < files; ++i)
            QVERIFY(folder.addFile("f" + QByteArray::number(i).rightJustified(4, '0'), 1));
        const PageRun run = writePage(folder, {}, {}, {}, {}, {}, PageStyle::Modern);
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        int rows = 0;
        int opened = 0;
        for (const QByteArray &line : run.lines) {
            if (line.startsWith("<tr>"))
                ++rows;
            if (line == "<tbody>") {
                QCOMPARE(rows % modernRowsPerBody, 0);
                ++opened;
            }
        }
        QCOMPARE(rows, files);
        QCOMPARE(opened, bodies);
    }

    // The policy admits the page's own style and script by the hashes of their very bytes, and
    // the page holds no other script, style or handler.
    void modernPolicy()
    {
        TestFolder folder;
        QVERIFY(folder.addFile("onload=alert(1) <script>.jpg", 10, march2003));
        QVERIFY(folder.addFolder("sub") && folder.addFile("sub/x", 1));
        FolderTree tree;
        QCOMPARE(tree.read(folder.path(), {}, QLocale(u"es_ES"_s)), 0);
        FolderPageRequest request{{true, false}, {}, false, PageStyle::Modern};
        for (const PageResult &result : writeTreePages(tree, request, {}))
            QVERIFY2(result.ok(), qPrintable(result.error));
        const QByteArray page = folder.read("Quorvel-Html_index.html");
        auto block = [&](const QByteArray &tag) {
            const qsizetype begin = page.indexOf("<" + tag + '>') + tag.size() + 2;
            return page.mid(begin, page.indexOf("</" + tag + '>', begin) - begin);
        };
        auto hash = [](const QByteArray &bytes) {
            return "'sha256-"
                   + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toBase64() + '\'';
        };
        const QByteArray policy = "content=\"default-src 'none'; style-src " + hash(block("style"))
                                  + "; script-src " + hash(block("script")) + ';';
        QVERIFY2(page.contains(policy), page.left(600).constData());
        QCOMPARE(page.count("<script"), 1);
        QCOMPARE(page.count("<style"), 1);
        QVERIFY(!page.contains("style="));
        QVERIFY(!QString::fromUtf8(page).contains(QRegularExpression(u"<[^>]* on[a-z]+="_s)));
        // The folder, its files and below weigh what its one file does.
        QVERIFY(page.contains("<tr class=d><td><a href=\"sub/Quorvel-Html_index.html\">sub/</a>"
                              "<td>Carpeta<td title=1>1 byte\n"));
        const QByteArray below = folder.read("sub/Quorvel-Html_index.html");
        QVERIFY(below.contains("<li><a href=\"../Quorvel-Html_index.html\">"));
    }

    void readableSizes_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("shown");

        QTest::newRow("zero") << qint64(0) << u"0 bytes"_s;
        QTest::newRow("999") << qint64(999) << u"999 bytes"_s;
        QTest::newRow("99.95 kB rounds up") << qint64(99950) << u"100 kB"_s;
        QTest::newRow("999.4 kB") << qint64(999400) << u"999 kB"_s;
        QTest::newRow("999.5 kB is 1 MB") << qint64(999500) << u"1,0 MB"_s;
        QTest::newRow("5 TiB") << qint64(5497558138880) << u"5,5 TB"_s;
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << u"9,2 EB"_s;
    }

    void readableSizes()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, shown);
        QCOMPARE(readableSize(bytes), shown);
    }

    void pictureInPlaceOfImage()
    {
        TestFolder folder;
        QVERIFY(folder.addFile("mi foto.jpg", 10, march2003)
                && folder.addFile("b.png", 10, march2003));
        PageServices services;
        // Only the first image has a picture; the other keeps the full image.
        services.picture = [](const QString &name) -> std::optional<PagePicture> {
            if (name == u"b.png")
                return std::nullopt;
            return PagePicture{".sh_thumbnails/large/\xe9.png", 200, 150};
        };
        const QByteArrayList lines = writePage(folder, {true, false}, services).lines;
        QCOMPARE(lines.value(8), "<br><center><img src=b.png alt=" + folder.rawPath()
                                     + "b.png width=200 height=200></center>");
        QCOMPARE(lines.value(10),
                 "<br><center><a href=\"mi foto.jpg\"><img "
                 "src=\".sh_thumbnails/large/%E9.png\" alt=\""
                     + folder.rawPath()
                     + "mi foto.jpg\" width=200 height=150 loading=lazy></a></center>");
    }

    void treeKeepsToItsFolders_data()
    {
        QTest::addColumn<QByteArray>("swap"); // what stands at "zzz" once the tree is read
        QTest::addColumn<int>("levels");      // folders "zzz/d/d/..."

        QTest::newRow("swapped for a link") << QByteArray("link") << 2;
        QTest::newRow("swapped for a folder") << QByteArray("folder") << 2;
        QTest::newRow("deeper than a path") << QByteArray() << 3000;
    }

    // Pages go into the very folders that were read: one swapped in between is reported and
    // skipped, never written into, and its parent links the folder instead of a page.
    void treeKeepsToItsFolders()
    {
        QFETCH(QByteArray, swap);
        QFETCH(int, levels);

        // Desktops start programs with 1,024 descriptors; the walk asks for what it needs.
        rlimit files;
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &files) == 0);
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 1024);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &files) == 0);
        raiseOpenFileLimit();
        TestFolder root;
        TestFolder victim;
        QVERIFY(root.addFolder("zzz"));
        int fd = ::open((root.rawPath() + "zzz").constData(), O_RDONLY | O_DIRECTORY);
        for (int i = 1; i < levels; ++i) {
            QVERIFY(::mkdirat(fd, "d", 0755) == 0);
            const int inside = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = inside;
        }
        ::close(fd);

        FolderTree tree;
        QCOMPARE(tree.read(root.path(), Selection()), 0);
        QCOMPARE(qsizetype(tree.folders().size()), levels + 1);
        if (!swap.isEmpty()) {
            QVERIFY(::rename((root.rawPath() + "zzz").constData(),
                             (root.rawPath() + "zzz.old").constData())
                    == 0);
            QVERIFY(swap == "link" ? root.addLink("zzz", victim.rawPath()) : root.addFolder("zzz"));
        }
        const std::vector<PageResult> results = writeTreePages(tree, {}, {});

        const QByteArray page = "Quorvel-Html_index.html";
        const qsizetype failed = std::count_if(
            results.begin(), results.end(), [](const PageResult &result) { return !result.ok(); });
        QCOMPARE(failed, swap.isEmpty() ? 0 : levels);
        QCOMPARE(root.read(page).contains("<p><a href=\"zzz/\">zzz/</a>"), !swap.isEmpty());
        if (swap.isEmpty())
            return;
        QCOMPARE(results[1].error,
                 u"No se pudo leer la carpeta «%1zzz/»: la carpeta ha sido sustituida durante la "
                 u"ejecución."_s.arg(root.path()));
        for (const char *other : {"zzz/", "zzz.old/", "zzz.old/d/"})
            QVERIFY(!root.exists(QByteArray(other) + page));
        QVERIFY(!victim.exists(page));
    }

    void treePagesWaitForOneSync_data()
    {
        QTest::addColumn<int>("syncError");
        QTest::addColumn<int>("style");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("stopAfter"); // entries asked about before a stop; -1 never
        QTest::addColumn<int>("mostWaiting");

        QTest::newRow("synced") << 0 << int(PageStyle::Classic) << QString() << -1 << 0;
        QTest::newRow("sync fails")
            << EIO << int(PageStyle::Classic) << u"error de entrada/salida"_s << -1 << 0;
        QTest::newRow("modern, disk full")
            << ENOSPC << int(PageStyle::Modern) << u"no queda espacio en el disco"_s << -1 << 0;
        QTest::newRow("stopped") << 0 << int(PageStyle::Classic) << QString() << 3 << 0;
        // Only the first sync fails: no page written after it goes in place, nor is synced.
        QTest::newRow("a page at a time, the first sync fails")
            << EIO << int(PageStyle::Classic) << u"error de entrada/salida"_s << -1 << 1;
        QTest::newRow("a page at a time") << 0 << int(PageStyle::Classic) << QString() << -1 << 1;
    }

    // The pages below the top one are synced once, together, and only then put in place: each as
    // it would be written alone, or, when the sync fails, none, with the old pages kept and the
    // failure told for each. The top page follows and links only to pages that made it.
    void treePagesWaitForOneSync()
    {
        QFETCH(int, syncError);
        QFETCH(int, style);
        QFETCH(QString, reason);
        QFETCH(int, stopAfter);
        QFETCH(int, mostWaiting);

        static std::atomic<int> syncs;
        static int failWith;
        syncs = 0;
        failWith = syncError;
        TestFolder root;
        for (const QByteArray folder : {"a", "a/c", "b"})
            QVERIFY(root.addFolder(folder) && root.addFile(folder + "/f.txt", 3, march2003));
        const QByteArray page = "Quorvel-Html_index.html";
        QVERIFY(root.addFile("a/c/" + page) && root.append("a/c/" + page, previousPage));

        static const LocaleText spanish{QLocale(u"es_ES"_s)};
        class StillClock : public Clock
        {
        public:
            QDateTime now() const override { return QDateTime(QDate(2026, 12, 6), QTime(10, 5)); }
            qint64 monotonicNanoseconds() const override { return 0; }
        } clock;
        PageServices services;
        services.locale = &spanish;
        services.clock = &clock;
        services.syncFileSystem = [](int) {
            return ++syncs == 1 ? failWith : 0;
        };
        services.mostWaiting = std::size_t(mostWaiting);
        std::atomic<int> asked = 0;
        if (stopAfter >= 0)
            services.cancelled = [&] {
                return ++asked > stopAfter;
            };
        FolderTree tree;
        QCOMPARE(tree.read(root.path(), {}, spanish.locale()), 0);
        const FolderPageRequest request{{}, {}, false, PageStyle(style)};
        QStringList told;
        const auto descriptors = [] {
            return QDir(u"/proc/self/fd"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        };
        const QStringList openBefore = descriptors();
        const std::vector<PageResult> results = writeTreePages(
            tree, request, services, [&told](const PageResult &done) { told << done.pagePath; });
        // Each page told once, whichever sync it waited for.
        QStringList pages;
        for (const TreeFolder &folder : tree.folders())
            pages << folder.path + QString::fromUtf8(page);
        told.sort();
        pages.sort();
        QCOMPARE(told, pages);
        // Every folder entered on the way is closed again.
        QCOMPARE(descriptors(), openBefore);
        if (stopAfter >= 0) {
            // Pages finished before the stop go in place; the others leave nothing behind.
            for (std::size_t i = 0; i < results.size(); ++i) {
                const TreeFolder &folder = tree.folders()[i];
                const QString written = folder.path + QString::fromUtf8(page);
                QVERIFY(results[i].ok() || results[i].outcome == PageResult::Cancelled);
                QCOMPARE(QFile::exists(written), results[i].ok() || folder.depth == 2);
                const QStringList left =
                    QDir(folder.path).entryList(QDir::Files | QDir::Hidden | QDir::System);
                QVERIFY2(left.filter(u".Quorvel"_s).isEmpty(), qPrintable(left.join(u' ')));
            }
            QVERIFY(!results.front().ok());
            return;
        }
        QCOMPARE(syncs.load(), mostWaiting == 1 && syncError == 0 ? 3 : 1);

        const QByteArray top = root.read(page);
        for (std::size_t i = 0; i < results.size(); ++i) {
            const TreeFolder &folder = tree.folders()[i];
            const QByteArray below = QFile::encodeName(folder.path.mid(root.path().size()));
            QCOMPARE(results[i].ok(), folder.parent < 0 || syncError == 0);
            if (!results[i].ok())
                QCOMPARE(results[i].error, u"No se pudo escribir la página «%1%2»: %3."_s.arg(
                                               folder.path, QString::fromUtf8(page), reason));
            if (folder.parent == 0)
                QCOMPARE(top.contains("href=\"" + below + page), syncError == 0);
            const QStringList left =
                QDir(folder.path).entryList(QDir::Files | QDir::Hidden | QDir::System);
            QVERIFY2(left.filter(u".Quorvel"_s).isEmpty(), qPrintable(left.join(u' ')));
        }
        if (syncError != 0) {
            QCOMPARE(root.read("a/c/" + page), QByteArray(previousPage));
            QVERIFY(!root.exists("a/" + page) && !root.exists("b/" + page));
            return;
        }
        // Written alone with the same links, the deepest page comes out the same.
        const QByteArray inTree = root.read("a/c/" + page);
        const auto deepest =
            std::find_if(tree.folders().begin(), tree.folders().end(),
                         [](const TreeFolder &folder) { return folder.depth == 2; });
        const int fd = ::open(QFile::encodeName(deepest->path).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0);
        FolderLinks links;
        links.parent = true;
        services.folderLinks = &links;
        services.syncFileSystem = nullptr;
        const PageResult alone =
            writeListedPage(deepest->path, fd, deepest->files, request, services);
        ::close(fd);
        QVERIFY2(alone.ok(), qPrintable(alone.error));
        QCOMPARE(inTree, root.read("a/c/" + page));
    }

    void lookupAheadMatchesOneByOne_data()
    {
        QTest::addColumn<QByteArrayList>("files");
        QTest::addColumn<int>("numbered"); // more files, "f0" to "f<numbered - 1>"
        QTest::addColumn<QByteArrayList>("vanishing");
        QTest::addColumn<int>("stride"); // a caller asking for every stride-th entry

        QTest::newRow("hidden, links, close names")
            << QByteArrayList{".a",        "A",          "b",         "t.txt",
                              "l>t.txt",   "roto>nada",  "dl>sub",    "sub/",
                              "IMG_2.jpg", "IMG_10.jpg", "Img_2.JPG", "\xc3\xa9.txt",
                              "E.txt",     "\xe9.txt"}
            << 2100 << QByteArrayList{} << 1;
        // Threads look files up only in folders of a few thousand; whole chunks of 128 skipped.
        QTest::newRow("gone twice")
            << QByteArrayList{} << 2100 << QByteArrayList{"f511", "f300"} << 300;
        // Far past how far ahead the threads may run.
        QTest::newRow("gone last") << QByteArrayList{} << 2500 << QByteArrayList{"f2499"} << 1;
        // Skipping more than the threads may run ahead.
        QTest::newRow("every 2200th") << QByteArrayList{} << 4500 << QByteArrayList{} << 2200;
    }

    // Looking the files up ahead on other threads gives the answers of looking each one up in
    // turn; a file gone since the folder was read is left out, count and all.
    void lookupAheadMatchesOneByOne()
    {
        QFETCH(QByteArrayList, files);
        QFETCH(int, numbered);
        QFETCH(QByteArrayList, vanishing);
        QFETCH(int, stride);

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

        for (const QByteArray &name : vanishing)
            QVERIFY(folder.addFile(name));
        const PageRun run = writePage(folder, {true, false}, {}, {}, {}, vanishing);
        QVERIFY2(run.result.ok(), qPrintable(run.result.error));
        const QByteArray page = folder.read("Quorvel-Html_index.html");
        QCOMPARE(run.result.fileCount, qint64(page.count("<p><a href=")));
        for (const QByteArray &name : vanishing)
            QVERIFY(!page.contains('>' + name + "</a>"));

        // A caller that skips entries gets the answers of looking each one up.
        Listing listing;
        QCOMPARE(listing.read(folder.path(), EntryKind::Files), 0);
        StatusPrefetch ahead(&listing);
        FolderHandle handle;
        // Fresh threads each time: how far they get before the caller's first jump varies.
        for (int pass = 0; pass < 8; ++pass) {
            QCOMPARE(ahead.open(folder.path()) + handle.open(folder.path()), 0);
            for (qsizetype i = 0; i < listing.count(); i += stride) {
                FileStatus found, expected;
                QCOMPARE(ahead.status(i, listing.name(i), found),
                         handle.status(listing.rawName(i), expected));
                QCOMPARE((QList<qint64>{found.size, found.modifiedSeconds}),
                         (QList<qint64>{expected.size, expected.modifiedSeconds}));
            }
        }
        // A folder gone since the listing: its error, and no threads.
        QCOMPARE(ahead.open(folder.path() + u"nada/"_s), ENOENT);

        // With standard input closed, a handle may be given descriptor 0, and gives it back.
        const int input = ::dup(STDIN_FILENO);
        ::close(STDIN_FILENO);
        {
            FolderHandle first;
            QCOMPARE(first.open(folder.path()), 0);
        }
        const int freed = ::fcntl(STDIN_FILENO, F_GETFD);
        ::dup2(input, STDIN_FILENO);
        ::close(input);
        QCOMPARE(freed, -1);
    }
};

QTEST_GUILESS_MAIN(tst_Listing)
#include "tst_listing.moc"
