#include "catalogwriter.h"
#include "filenames.h"
#include "foldertree.h"
#include "jsonwriter.h"
#include "testfolder.h"
#include "treeentries.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

std::string jsonOf(const TreeEntries &entries)
{
    std::string out;
    const bool written = writeJsonLines(entries, [&out](std::string_view bytes) {
        out.append(bytes);
        return true;
    });
    return written ? out : std::string();
}

QList<QJsonObject> parseLines(const std::string &text)
{
    QList<QJsonObject> lines;
    for (const QByteArray &line : QByteArray::fromStdString(text).split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return {};
        lines << document.object();
    }
    return lines;
}

QByteArray rawName(const QJsonObject &entry)
{
    return entry.contains(u"name_bytes")
               ? QByteArray::fromBase64(entry[u"name_bytes"].toString().toLatin1())
               : entry[u"name"].toString().toUtf8();
}

} // namespace

class tst_Catalog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void jsonEntry_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("linkTo"); // empty: a file of `size` bytes
        QTest::addColumn<qint64>("modified");
        QTest::addColumn<QString>("type");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("bytesGiven");
        QTest::addColumn<QByteArray>("in"); // the folder below the top it is in, or empty
        QTest::newRow("plain") << QByteArray("a.txt") << QByteArray() << qint64(1000000000)
                               << "file" << qint64(7) << false << QByteArray();
        QTest::newRow("latin1") << QByteArray("caf\xE9") << QByteArray() << qint64(86399) << "file"
                                << qint64(1) << true << QByteArray();
        QTest::newRow("overlong") << QByteArray("\xC0\xAF") << QByteArray() << qint64(0) << "file"
                                  << qint64(0) << true << QByteArray();
        QTest::newRow("surrogate") << QByteArray("x\xED\xA0\x80") << QByteArray() << qint64(5)
                                   << "file" << qint64(0) << true << QByteArray();
        QTest::newRow("escapes") << QByteArray("q\"b\\c\x01\x7F") << QByteArray()
                                 << qint64(951782400) << "file" << qint64(3) << false
                                 << QByteArray();
        QTest::newRow("utf8") << QByteArray("\xC3\x81rbol \xE2\x80\xAE") << QByteArray()
                              << qint64(4102444800) << "file" << qint64(2) << false << QByteArray();
        QTest::newRow("before1970") << QByteArray("old") << QByteArray() << qint64(-1) << "file"
                                    << qint64(0) << false << QByteArray();
        QTest::newRow("link") << QByteArray("to-a") << QByteArray("target\xFF") << qint64(0)
                              << "link" << qint64(9) << false << QByteArray();
        // The first and last code points of each length, and those just past the gaps.
        for (const char *valid : {"\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
                                  "\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"})
            QTest::addRow("valid %s", QByteArray(valid).toHex().constData())
                << QByteArray(valid) << QByteArray() << qint64(0) << "file" << qint64(1) << false
                << QByteArray();
        for (const char *invalid : {"\xC1\xBF", "\xE0\x9F\xBF", "\xF5\x80\x80\x80"})
            QTest::addRow("invalid %s", QByteArray(invalid).toHex().constData())
                << QByteArray(invalid) << QByteArray() << qint64(0) << "file" << qint64(1) << true
                << QByteArray();
        QTest::newRow("four bytes, overlong")
            << QByteArray("\xF0\x8F\xBF\xBF") << QByteArray() << qint64(0) << "file" << qint64(1)
            << true << QByteArray();
        QTest::newRow("four bytes cut short")
            << QByteArray("\xF0\x9F\x93.") << QByteArray() << qint64(0) << "file" << qint64(1)
            << true << QByteArray();
        QTest::newRow("past U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << QByteArray()
                                       << qint64(0) << "file" << qint64(1) << true << QByteArray();
        QTest::newRow("in a latin1 folder")
            << QByteArray("f") << QByteArray() << qint64(0) << "file" << qint64(1) << false
            << QByteArray("caf\xE9");
    }

    void jsonEntry()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, linkTo);
        QFETCH(qint64, modified);
        QFETCH(QString, type);
        QFETCH(qint64, size);
        QFETCH(bool, bytesGiven);
        QFETCH(QByteArray, in);
        TestFolder folder;
        if (!in.isEmpty()) {
            QVERIFY(folder.addFolder(in) && folder.addFile(in + '/' + name, size, modified));
        } else if (linkTo.isEmpty()) {
            QVERIFY(folder.addFile(name, size, modified));
        } else {
            QVERIFY(folder.addFile(linkTo, size, modified));
            QVERIFY(folder.addLink(name, linkTo));
        }
        FolderTree tree;
        QCOMPARE(tree.read(folder.path(), {}), 0);
        const QList<QJsonObject> lines = parseLines(jsonOf(lookUpEntries(tree)));
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.front()[u"version"].toInt(), 1);
        QCOMPARE(lines.front()[u"folder"].toString(), folder.path());
        const auto found = std::find_if(lines.begin() + 1, lines.end(),
                                        [&](const QJsonObject &o) { return rawName(o) == name; });
        QVERIFY(found != lines.end());
        const QJsonObject &entry = *found;
        QCOMPARE(entry.contains(u"name_bytes"), bytesGiven);
        if (bytesGiven)
            QVERIFY(entry[u"name"].toString().contains(QChar(0xFFFD)));
        QCOMPARE(entry[u"type"].toString(), type);
        QCOMPARE(entry[u"size"].toInteger(), size);
        QCOMPARE(entry[u"mtime_ns"].toInteger(), modified * 1000000000);
        QCOMPARE(entry[u"mtime"].toString(),
                 QDateTime::fromSecsSinceEpoch(modified, Qt::UTC).toString(Qt::ISODate));
        if (!linkTo.isEmpty())
            QCOMPARE(entry.contains(u"target_bytes")
                         ? QByteArray::fromBase64(entry[u"target_bytes"].toString().toLatin1())
                         : entry[u"target"].toString().toUtf8(),
                     linkTo);
        // The path and the name lead back to the very file.
        QCOMPARE(entry.contains(u"path_bytes"), !in.isEmpty());
        const QByteArray below =
            in.isEmpty() ? entry[u"path"].toString().toUtf8()
                         : QByteArray::fromBase64(entry[u"path_bytes"].toString().toLatin1());
        QCOMPARE(below, in.isEmpty() ? QByteArray(".") : in);
        struct stat st;
        const QByteArray path = folder.rawPath() + below + '/' + rawName(entry);
        QCOMPARE(::lstat(path.constData(), &st), 0);
    }

    void rfc3339_data()
    {
        QTest::addColumn<qint64>("nanoseconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("epoch") << qint64(0) << "1970-01-01T00:00:00Z";
        QTest::newRow("fraction") << qint64(1500000000) << "1970-01-01T00:00:01.5Z";
        QTest::newRow("nanosecond") << qint64(-1) << "1969-12-31T23:59:59.999999999Z";
        QTest::newRow("leapday") << qint64(951782400) * 1000000000 << "2000-02-29T00:00:00Z";
        QTest::newRow("notleap") << qint64(4107542399) * 1000000000 << "2100-02-28T23:59:59Z";
        QTest::newRow("early") << qint64(-2208988800) * 1000000000 << "1900-01-01T00:00:00Z";
    }

    void rfc3339()
    {
        QFETCH(qint64, nanoseconds);
        QFETCH(QString, expected);
        std::string out;
        appendRfc3339(out, nanoseconds);
        QCOMPARE(QString::fromStdString(out), expected);
    }

    void depth_data()
    {
        QTest::addColumn<int>("maxDepth");
        QTest::addColumn<QStringList>("paths");
        QTest::newRow("all") << -1 << QStringList{".", ".", "a", "a", "a/b"};
        QTest::newRow("top") << 0 << QStringList{".", "."};
        QTest::newRow("one") << 1 << QStringList{".", ".", "a", "a"};
    }

    // Folders past the depth are listed but not entered; links to folders are listed as links.
    void depth()
    {
        QFETCH(int, maxDepth);
        QFETCH(QStringList, paths);
        TestFolder folder;
        QVERIFY(folder.addFolder("a") && folder.addFolder("a/b") && folder.addFile("top"));
        QVERIFY(folder.addLink("a/loop", "..") && folder.addFile("a/b/deep"));
        FolderTree tree;
        QCOMPARE(tree.read(folder.path(), {}, QLocale(), maxDepth), 0);
        const QList<QJsonObject> lines = parseLines(jsonOf(lookUpEntries(tree)));
        QStringList seen;
        for (const QJsonObject &entry : lines.mid(1)) {
            seen << entry[u"path"].toString();
            if (entry[u"name"].toString() == u"loop"_s)
                QCOMPARE(entry[u"type"].toString(), u"link");
        }
        QCOMPARE(seen, paths);
    }

    // What the catalogue carries, and that its block decodes to it.
    void catalogData_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QJsonValue>("item");
        QTest::newRow("plain") << QByteArray("a b.txt") << QJsonValue(u"a b.txt"_s);
        QTest::newRow("utf8") << QByteArray("\xC3\x81rbol") << QJsonValue(u"Árbol"_s);
        QTest::newRow("override") << QByteArray("r\xE2\x80\xAEgnp.exe")
                                  << QJsonValue(QJsonArray{u"r"_s, 0x202E, u"gnp.exe"_s});
        QTest::newRow("latin1") << QByteArray(
            "bad\xE9#") << QJsonValue(QJsonObject{{u"s"_s, u"badé#"_s}, {u"u"_s, u"bad%E9%23"_s}});
        // The lowest byte that is not ASCII, read in the code page.
        QTest::newRow("x80") << QByteArray("x\x80")
                             << QJsonValue(QJsonObject{{u"s"_s, u"x€"_s}, {u"u"_s, u"x%80"_s}});
        QTest::newRow("softhyphen")
            << QByteArray("n\xAD")
            << QJsonValue(QJsonObject{{u"s"_s, QJsonArray{u"n"_s, 0xAD}}, {u"u"_s, u"n%AD"_s}});
    }

    void catalogData()
    {
        QFETCH(QByteArray, name);
        QFETCH(QJsonValue, item);
        TestFolder folder;
        QVERIFY(folder.addFolder("sub") && folder.addFile("sub/" + name, 1234, 86400));
        QVERIFY(folder.addLink("sub/up", "..") && folder.addLink("sub/top", "../.."));
        FolderTree tree;
        QCOMPARE(tree.read(folder.path(), {}), 0);
        const TreeEntries entries = lookUpEntries(tree);
        const std::string data = ::catalogData({&entries});
        const QJsonObject parsed =
            QJsonDocument::fromJson(QByteArray::fromStdString(data)).object();
        const QJsonArray folders = parsed[u"f"].toArray();
        QCOMPARE(folders.size(), 2);
        // The page parses a folder a line: one for each, and none inside one.
        const QList<QByteArray> lines = QByteArray::fromStdString(data).split('\n');
        QCOMPARE(lines.size(), folders.size() + 2);
        QVERIFY(lines[1].startsWith('[') && lines[2].startsWith(",["));
        QVERIFY(lines.last().startsWith("],\"r\":"));
        QCOMPARE(folders[1].toArray()[0].toInt(), 0);
        QCOMPARE(folders[1].toArray()[1].toString(), u"sub");
        QCOMPARE(folders[1].toArray()[3].toArray(), (QJsonArray{item, 1234, 86400}));
        // Links to folders are listed, not entered.
        QCOMPARE(folders[1].toArray()[4].toArray(), (QJsonArray{u"top"_s, u"up"_s}));
        // No dates were read: no sixth place.
        QCOMPARE(folders[1].toArray().size(), 5);
        QCOMPARE(parsed[u"r"].toArray()[0].toArray()[1].toString().toLatin1(),
                 fileUrl(folder.path()));
    }

    // A catalogue of two trees names both, in the order given, and keeps a root for each.
    void twoTrees()
    {
        TestFolder one, two;
        QVERIFY(one.addFile("a") && two.addFile("b"));
        FolderTree first, second;
        QCOMPARE(first.read(one.path(), {}), 0);
        QCOMPARE(second.read(two.path(), {}), 0);
        const TreeEntries a = lookUpEntries(first), b = lookUpEntries(second);
        std::string page;
        QVERIFY(writeCatalog({&a, &b}, {QDateTime::fromSecsSinceEpoch(0), u"p 1"_s},
                             [&](std::string_view bytes) {
                                 page.append(bytes);
                                 return true;
                             }));
        const QString html = QString::fromStdString(page);
        const QString both = one.path() + u", "_s + two.path();
        QVERIFY(html.contains(u"<title>Catálogo de "_s + both + u"</title>"_s));
        QVERIFY(html.contains(u"<h1>Catálogo de "_s + both + u"</h1>"_s));
        const QJsonArray roots =
            QJsonDocument::fromJson(QByteArray::fromStdString(::catalogData({&a, &b})))
                .object()[u"r"]
                .toArray();
        QCOMPARE(roots.size(), 2);
        QCOMPARE(roots[1].toArray()[1].toString().toLatin1(), fileUrl(two.path()));
    }

    // The block in the page decodes to the data, however many pieces it was deflated in.
    void catalogBlock_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("lastGone");
        QTest::addColumn<QByteArray>("totals");
        QTest::newRow("none") << 0 << false << QByteArray("0 archivos en 1 carpetas, 0 bytes");
        QTest::newRow("one") << 1 << false << QByteArray("1 archivos en 1 carpetas, 7 bytes");
        // Listed, then deleted before its size was read: a file of no known size.
        QTest::newRow("one gone") << 2 << true << QByteArray("2 archivos en 1 carpetas, 7 bytes");
        QTest::newRow("many") << 6000 << false
                              << QByteArray("6000 archivos en 1 carpetas, 17.533.275 bytes");
    }

    void catalogBlock()
    {
        QFETCH(int, files);
        QFETCH(bool, lastGone);
        QFETCH(QByteArray, totals);
        TestFolder folder;
        // Sizes and times that do not repeat, so the deflated block is many times its buffer;
        // names long enough that the data goes out in more than one piece.
        const QByteArray prefix = "una foto de las vacaciones de 2003 ";
        quint32 seed = 20;
        for (int i = 0; i < files; ++i) {
            seed = seed * 1103515245 + 12345;
            QVERIFY(folder.addFile(prefix + QByteArray::number(seed), (i * 7) % 1171 * 5 + 7,
                                   seed % 1000000000));
        }
        FolderTree tree;
        QCOMPARE(tree.read(folder.path(), {}), 0);
        if (lastGone)
            QVERIFY(QFile::remove(folder.path()
                                  + QString::fromLatin1(prefix + QByteArray::number(seed))));
        const TreeEntries entries = lookUpEntries(tree);
        // Gone is no failure: nothing is known of it, and no error is told.
        const std::vector<EntryStatus> &statuses = entries.folders.front().files;
        QCOMPARE(std::count_if(
                     statuses.begin(), statuses.end(),
                     [](const EntryStatus &status) { return status.known && status.error == 0; }),
                 files - lastGone);
        QVERIFY(std::none_of(statuses.begin(), statuses.end(),
                             [](const EntryStatus &status) { return status.error != 0; }));
        const std::string data = ::catalogData({&entries});
        std::string page;
        QVERIFY(writeCatalog({&entries}, {QDateTime::fromSecsSinceEpoch(0), u"p 1"_s},
                             [&](std::string_view bytes) {
                                 page.append(bytes);
                                 return true;
                             }));
        const QByteArray html = QByteArray::fromStdString(page);
        QVERIFY(html.contains(" con p 1. <span id=\"totals\">" + totals));
        const qsizetype from = html.indexOf("application/octet-stream\">") + 26;
        const QByteArray text = html.mid(from, html.indexOf('<', from) - from);
        QCOMPARE(text.size() % 4, 0);
        const auto block =
            QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY(block);
        QByteArray sized(4, '\0');
        qToBigEndian(quint32(data.size()), sized.data());
        QCOMPARE(qUncompress(sized + *block).toStdString(), data);
        // Several of the deflater's 16 KiB buffers, so groups of three bytes span them.
        if (files > 1000)
            QVERIFY(block.decoded.size() > 3 * 16384);
    }
};

QTEST_GUILESS_MAIN(tst_Catalog)
#include "tst_catalog.moc"
