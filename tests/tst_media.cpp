#include "catalogwriter.h"
#include "folderpage.h"
#include "jsonwriter.h"
#include "photodate.h"
#include "testfolder.h"
#include "thumbnails.h"
#include "treedates.h"

#include <QBuffer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtEndian>

// The Exif block a camera writes: a little-endian TIFF whose first folder points to the Exif
// folder, which holds DateTimeOriginal and, where given, OffsetTimeOriginal (both longer than
// four bytes, so stored after the folder).
static QByteArray exifBlock(const QByteArray &taken, const QByteArray &offset = {})
{
    const auto u16 = [](QByteArray &out, quint16 v) {
        out.append(char(v & 0xFF)).append(char(v >> 8));
    };
    const auto u32 = [&](QByteArray &out, quint32 v) {
        u16(out, quint16(v & 0xFFFF));
        u16(out, quint16(v >> 16));
    };
    QByteArray tiff("II*\0", 4);
    u32(tiff, 8);
    u16(tiff, 1);
    u16(tiff, 0x8769); // the Exif folder's place
    u16(tiff, 4);
    u32(tiff, 1);
    u32(tiff, 26);
    u32(tiff, 0);
    const QList<std::pair<quint16, QByteArray>> tags =
        offset.isNull() ? QList<std::pair<quint16, QByteArray>>{{0x9003, taken}}
                        : QList<std::pair<quint16, QByteArray>>{{0x9003, taken}, {0x9011, offset}};
    u16(tiff, quint16(tags.size()));
    quint32 data = quint32(26 + 2 + 12 * tags.size() + 4);
    QByteArray values;
    for (const auto &[tag, text] : tags) {
        u16(tiff, tag);
        u16(tiff, 2); // ASCII
        u32(tiff, quint32(text.size() + 1));
        u32(tiff, data + quint32(values.size()));
        values += text + '\0';
    }
    u32(tiff, 0);
    return QByteArray("Exif\0\0", 6) + tiff + values;
}

// A small JPEG made by Qt, with the block as its APP1 segment right after the start marker.
static QByteArray jpegWith(const QByteArray &exif)
{
    QImage image(16, 12, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    QByteArray jpeg = buffer.data();
    if (exif.isEmpty())
        return jpeg;
    QByteArray segment("\xFF\xE1", 2);
    segment.append(char((exif.size() + 2) >> 8)).append(char((exif.size() + 2) & 0xFF));
    return jpeg.insert(2, segment + exif);
}

static bool addPhoto(const TestFolder &folder, const QByteArray &name, const QByteArray &content,
                     qint64 modified = 1000000000)
{
    return folder.addFile(name) && folder.append(name, content)
           && folder.setModified(name, modified);
}

class TestMedia : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qputenv("TZ", "Europe/Madrid"); }

    void photoDate_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("iso"); // empty: no date
        QTest::addColumn<qint64>("epoch");
        const QByteArray taken = "2024:08:15 11:22:33";
        QTest::newRow("offset") << jpegWith(exifBlock(taken, "+02:00"))
                                << QByteArray("2024-08-15T11:22:33+02:00") << qint64(1723713753);
        QTest::newRow("west") << jpegWith(exifBlock(taken, "-05:30"))
                              << QByteArray("2024-08-15T11:22:33-05:30") << qint64(1723740753);
        QTest::newRow("utc") << jpegWith(exifBlock(taken, "+00:00"))
                             << QByteArray("2024-08-15T11:22:33Z") << qint64(1723720953);
        // Without an offset, the camera's clock as local time here (Madrid, summer: +2).
        QTest::newRow("local") << jpegWith(exifBlock(taken)) << QByteArray("2024-08-15T11:22:33")
                               << qint64(1723713753);
        QTest::newRow("bad offset") << jpegWith(exifBlock(taken, "+99:00"))
                                    << QByteArray("2024-08-15T11:22:33") << qint64(1723713753);
        // A letter where a digit goes, which counted as one would still make a valid time.
        QTest::newRow("letter in offset")
            << jpegWith(exifBlock(taken, "+02:3A")) << QByteArray("2024-08-15T11:22:33")
            << qint64(1723713753);
        QTest::newRow("bare block")
            << exifBlock(taken) << QByteArray("2024-08-15T11:22:33") << qint64(1723713753);
        QTest::newRow("no exif") << jpegWith({}) << QByteArray() << qint64(0);
        QTest::newRow("zeros") << jpegWith(exifBlock("0000:00:00 00:00:00")) << QByteArray()
                               << qint64(0);
        QTest::newRow("blanks") << jpegWith(exifBlock("    :  :     :  :  ")) << QByteArray()
                                << qint64(0);
        QTest::newRow("letter in day")
            << jpegWith(exifBlock("2024:08:1A 11:22:33")) << QByteArray() << qint64(0);
        // Each field past its last value.
        for (const char *late :
             {"2023:02:28 24:00:00", "2023:02:28 23:60:00", "2023:02:28 23:59:60"})
            QTest::addRow("%s", late) << jpegWith(exifBlock(late)) << QByteArray() << qint64(0);
        QTest::newRow("30 feb") << jpegWith(exifBlock("2023:02:30 10:00:00")) << QByteArray()
                                << qint64(0);
        QTest::newRow("script") << jpegWith(exifBlock("</script><img src=x onerror=alert(1)>"))
                                << QByteArray() << qint64(0);
        QTest::newRow("rlo") << jpegWith(exifBlock("2024:08:15\xE2\x80\xAE 11:22:33"))
                             << QByteArray() << qint64(0);
        const QByteArray whole = jpegWith(exifBlock(taken, "+02:00"));
        QTest::newRow("cut in exif") << whole.first(40) << QByteArray() << qint64(0);
        QTest::newRow("cut in tiff") << whole.first(20) << QByteArray() << qint64(0);
        QByteArray lying = whole;
        lying[4] = '\xFF'; // the segment says it is longer than the file
        QTest::newRow("long segment") << lying.first(200) << QByteArray() << qint64(0);
        QTest::newRow("png") << QByteArray("\x89PNG\r\n\x1A\n", 8) + exifBlock(taken)
                             << QByteArray() << qint64(0);
    }
    void photoDate()
    {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, iso);
        QFETCH(qint64, epoch);
        const std::optional<PhotoDate> date = photoDateFromHeader(header);
        QCOMPARE(date ? date->isoText() : QByteArray(), iso);
        if (date)
            QCOMPARE(date->epochSeconds(), epoch);
    }

    // Photos by when they were taken, the others by their file's time, in both directions; in
    // either kind of page.
    void sortTaken_data()
    {
        QTest::addColumn<PageStyle>("style");
        QTest::addColumn<bool>("reverse");
        QTest::addColumn<bool>("thumbnails");
        QTest::addColumn<QByteArray>("order");
        const QByteArray newest = "c.jpg b.jpg e.jpg d.txt a.jpg";
        const QByteArray oldest = "a.jpg d.txt e.jpg b.jpg c.jpg";
        QTest::newRow("modern") << PageStyle::Modern << false << false << newest;
        QTest::newRow("reverse") << PageStyle::Modern << true << false << oldest;
        QTest::newRow("thumbnails") << PageStyle::Modern << false << true << newest;
        QTest::newRow("classic") << PageStyle::Classic << false << false << newest;
        QTest::newRow("classic thumbnails") << PageStyle::Classic << true << true << oldest;
    }
    void sortTaken()
    {
        QFETCH(PageStyle, style);
        QFETCH(bool, reverse);
        QFETCH(bool, thumbnails);
        QFETCH(QByteArray, order);
        TestFolder folder;
        const qint64 day = 86400;
        const qint64 y2021 = 1609459200 + 200 * day; // mid 2021
        // a: taken in 2019, touched last; b: no Exif, its file from 2022; c: taken 2023 with its
        // offset; d: no photo, 2021; e: an Exif with no real date, its file from 2021 + a day.
        QVERIFY(addPhoto(folder, "a.jpg", jpegWith(exifBlock("2019:05:01 08:00:00")),
                         y2021 + 900 * day));
        QVERIFY(addPhoto(folder, "b.jpg", jpegWith({}), y2021 + 365 * day));
        QVERIFY(addPhoto(folder, "c.jpg", jpegWith(exifBlock("2023:03:04 10:11:12", "-03:00")),
                         y2021 - 400 * day));
        QVERIFY(folder.addFile("d.txt", 10, y2021));
        QVERIFY(addPhoto(folder, "e.jpg", jpegWith(exifBlock("0000:00:00 00:00:00")), y2021 + day));
        FolderPageRequest request;
        request.style = style;
        request.thumbnails = thumbnails;
        request.page.images = thumbnails;
        request.selection.sort = Selection::Sort::Taken;
        request.selection.reverse = reverse;
        const int fd = ::open(folder.rawPath().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const PageResult result = writeFolderPage(folder.path(), fd, request, {});
        ::close(fd);
        QVERIFY2(result.ok(), qPrintable(result.error));
        const QByteArray page = folder.read("Quorvel-Html_index.html");
        QByteArrayList names;
        static const QRegularExpression link(R"re(<a href="?([a-e]\.(?:jpg|txt))"?>)re");
        // The classic page links an image twice, by its name and by its picture.
        for (auto found = link.globalMatch(QString::fromLatin1(page)); found.hasNext();) {
            const QByteArray name = found.next().captured(1).toLatin1();
            if (names.isEmpty() || names.last() != name)
                names << name;
        }
        QCOMPARE(names.join(' '), order);
        // The modern page says when; the classic page stays as it was, dates and all.
        const QByteArray shown = "<small class=tk>Tomada el <time "
                                 "datetime=2023-03-04T10:11:12-03:00>4/3/23 10:11</time></small>";
        QCOMPARE(page.contains(shown), style == PageStyle::Modern);
        QCOMPARE(page.count("class=tk"), style == PageStyle::Modern ? 2 : 0);
        QVERIFY(!page.contains("Tomada") || style == PageStyle::Modern);
    }

    // JSON Lines and the catalogue carry the date (RFC 3339) and take the same order.
    void takenInData_data()
    {
        QTest::addColumn<bool>("reverse");
        QTest::addColumn<QByteArray>("order");
        QTest::newRow("newest") << false << QByteArray("b.jpg c.txt a.jpg");
        QTest::newRow("oldest") << true << QByteArray("a.jpg c.txt b.jpg");
    }
    void takenInData()
    {
        QFETCH(bool, reverse);
        QFETCH(QByteArray, order);
        TestFolder folder;
        QVERIFY(addPhoto(folder, "a.jpg", jpegWith(exifBlock("2001:01:01 00:00:00")), 2000000000));
        QVERIFY(addPhoto(folder, "b.jpg", jpegWith(exifBlock("2030:06:07 08:09:10", "+09:00"))));
        QVERIFY(folder.addFile("c.txt", 1, 1500000000));
        Selection selection;
        selection.sort = Selection::Sort::Taken;
        selection.reverse = reverse;
        FolderTree tree;
        QCOMPARE(tree.read(folder.path(), selection, QLocale::c(), 0), 0);
        TreeEntries entries = lookUpEntries(tree);
        readTakenDates(entries, true, reverse);
        std::string json;
        QVERIFY(writeJsonLines(entries, [&json](std::string_view bytes) {
            json += bytes;
            return true;
        }));
        QByteArrayList names;
        static const QRegularExpression name("\"name\":\"([^\"]+)\"");
        for (auto found = name.globalMatch(QString::fromStdString(json)); found.hasNext();)
            names << found.next().captured(1).toLatin1();
        QCOMPARE(names.join(' '), order);
        QVERIFY(json.find("\"name\":\"b.jpg\",\"type\":\"file\",\"size\":") != std::string::npos);
        QVERIFY(json.find(",\"taken\":\"2030-06-07T08:09:10+09:00\"}") != std::string::npos);
        QVERIFY(json.find(",\"taken\":\"2001-01-01T00:00:00\"}") != std::string::npos);
        QCOMPARE(QByteArray::fromStdString(json).count("taken"), 2);

        // The catalogue in the same order, the dates by the files' places in it.
        const QJsonArray top =
            QJsonDocument::fromJson(QByteArray::fromStdString(catalogData({&entries})))
                .object()[u"f"]
                .toArray()[0]
                .toArray();
        const QJsonArray files = top[3].toArray();
        QByteArrayList listed;
        for (qsizetype k = 0; k < files.size(); k += 3)
            listed << files[k].toString().toLatin1();
        QCOMPARE(listed.join(' '), order);
        const QJsonArray taken = top[5].toArray();
        QCOMPARE(taken.size(), 4);
        for (qsizetype k = 0; k < taken.size(); k += 2)
            QCOMPARE(taken[k + 1].toString(), listed.at(taken[k].toInt()) == "b.jpg"
                                                  ? u"2030-06-07T08:09:10+09:00"
                                                  : u"2001-01-01T00:00:00");
    }

    // The decoding brings the date for nothing; a thumbnail made before needs the header read,
    // only where dates are wanted.
    void datesWithThumbnails()
    {
        TestFolder folder;
        QVERIFY(addPhoto(folder, "a.jpg", jpegWith(exifBlock("2020:01:02 03:04:05", "+01:00"))));
        QVERIFY(addPhoto(folder, "b.jpg", jpegWith({})));
        const ThumbnailRun made = makeThumbnails(folder.path(), {"a.jpg", "b.jpg"});
        QVERIFY(made.thumbnails.at(0) && made.thumbnails.at(1));
        QCOMPARE(made.taken.at(0).value().isoText(), "2020-01-02T03:04:05+01:00");
        QVERIFY(!made.taken.at(1));
        const int fd = ::open(folder.rawPath().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const ThumbnailRun fresh = makeThumbnails(fd, {"a.jpg", "b.jpg"}, false);
        const ThumbnailRun asked = makeThumbnails(fd, {"a.jpg", "b.jpg"}, true);
        ::close(fd);
        QVERIFY(!fresh.taken.at(0));
        QCOMPARE(asked.taken.at(0).value().isoText(), "2020-01-02T03:04:05+01:00");
        QVERIFY(!asked.taken.at(1));
    }
};

QTEST_GUILESS_MAIN(TestMedia)
#include "tst_media.moc"
