#include "testfolder.h"
#include "thumbnails.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <sys/stat.h>

namespace {

constexpr qint64 modified = 1000000000;

// Red on the left half, blue on the right, so a turn shows where the left edge went.
bool addImage(const TestFolder &folder, const QByteArray &name, QSize size,
              const char *format = "jpeg", int orientation = 0)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter(&image).fillRect(0, 0, size.width() / 2, size.height(), Qt::red);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!QImageWriter(&buffer, format).write(image))
        return false;
    QByteArray bytes = buffer.data();
    if (orientation) {
        // An APP1 segment right after the start marker: Exif, a big-endian TIFF header and one
        // IFD entry, Orientation (0x0112) as one SHORT.
        QByteArray segment = QByteArray::fromHex("FFE10022 457869660000 4D4D002A00000008 0001 "
                                                 "0112 0003 00000001 00000000 00000000");
        segment[29] = char(orientation);
        bytes.insert(2, segment);
    }
    return folder.addFile(name) && folder.append(name, bytes) && folder.setModified(name, modified);
}

// Inode and modification time: a thumbnail reused is the very same file, untouched.
QList<qint64> fileStatus(const TestFolder &folder, const QByteArray &name)
{
    struct stat st = {};
    ::lstat((folder.rawPath() + name).constData(), &st);
    return {qint64(st.st_ino), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

} // namespace

class TestThumbnails : public QObject
{
    Q_OBJECT

private Q_SLOTS:

    // Each row names its image differently, to check the repository's name for it too: the
    // name is the URI's last segment unescaped.
    void geometry_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QSize>("thumbnail");
        QTest::addColumn<QSize>("shown");
        QTest::addColumn<QString>("uri");

        // Scaling down with rounding, both sides equal, never enlarged (but shown enlarged),
        // turned.
        QTest::newRow("huge") << QSize(6000, 4000) << 0 << QSize(256, 171) << QSize(200, 133)
                              << "./100%25.jpg";
        QTest::newRow("square") << QSize(512, 512) << 0 << QSize(256, 256) << QSize(200, 200)
                                << "./%C3%B1.jpg";
        QTest::newRow("tiny") << QSize(40, 20) << 0 << QSize(40, 20) << QSize(200, 100)
                              << "./%E9.jpg";
        QTest::newRow("turned") << QSize(400, 200) << 6 << QSize(128, 256) << QSize(100, 200)
                                << "./it's%20(1).jpg";
    }

    void geometry()
    {
        QFETCH(QSize, size);
        QFETCH(int, orientation);
        QFETCH(QSize, thumbnail);
        QFETCH(QSize, shown);
        QFETCH(QString, uri);
        const QByteArray name = QByteArray::fromPercentEncoding(uri.toLatin1().mid(2));
        TestFolder folder;
        QVERIFY(addImage(folder, name, size, "jpeg", orientation));

        const Thumbnail made = makeThumbnails(folder.path(), {name}).at(0).value();
        const QByteArray hash = QCryptographicHash::hash(uri.toLatin1(), QCryptographicHash::Md5);
        QCOMPARE(made.file, ".sh_thumbnails/large/" + hash.toHex() + ".png");
        QCOMPARE(QSize(made.width, made.height), shown);
        QImageReader reader(folder.path() + QString::fromLatin1(made.file));
        QCOMPARE(reader.format(), "png");
        const QImage image = reader.read();
        QCOMPARE(image.size(), thumbnail);
        QCOMPARE(image.text("Thumb::URI"), uri);
        QCOMPARE(image.text("Thumb::MTime"), QString::number(modified));
        // The left edge of the stored picture is on top once it is turned.
        const QRgb edge =
            orientation ? image.pixel(image.width() / 2, 1) : image.pixel(1, image.height() / 2);
        QVERIFY2(qRed(edge) > 180 && qBlue(edge) < 80, qPrintable(QColor(edge).name()));
    }

    void freshness_data()
    {
        QTest::addColumn<QByteArray>("change");

        QTest::newRow("fresh") << QByteArray();
        QTest::newRow("stale") << QByteArray("touch");
        QTest::newRow("broken") << QByteArray("garbage");
        QTest::newRow("link") << QByteArray("link");
        QTest::newRow("oversized") << QByteArray("grow");
    }

    void freshness()
    {
        QFETCH(QByteArray, change);
        const bool reused = change.isEmpty();

        TestFolder folder;
        QVERIFY(addImage(folder, "a.jpg", QSize(600, 400)));
        const QByteArray file = makeThumbnails(folder.path(), {"a.jpg"}).at(0).value().file;

        const qint64 expected = modified + (change == "touch" ? 60 : 0);
        if (change == "touch")
            QVERIFY(folder.setModified("a.jpg", expected));
        else if (change == "garbage")
            QVERIFY(folder.addFile(file) && folder.append(file, "not a png"));
        else if (change == "link")
            QVERIFY(folder.addFile("victim") && folder.append("victim", "keep")
                    && ::unlink((folder.rawPath() + file).constData()) == 0
                    && folder.addLink(file, folder.rawPath() + "victim"));
        else if (change == "grow") // still a good PNG, past what is ever read whole
            QVERIFY(::truncate((folder.rawPath() + file).constData(), 9 << 20) == 0);
        const QList<qint64> before = fileStatus(folder, file);

        QCOMPARE(makeThumbnails(folder.path(), {"a.jpg"}).at(0).value().file, file);
        const QList<qint64> after = fileStatus(folder, file);
        QCOMPARE(after[0] == before[0] && after == before, reused);
        QCOMPARE(QImage(folder.path() + QString::fromLatin1(file)).text("Thumb::MTime"),
                 QString::number(expected));
        if (change == "link")
            QCOMPARE(folder.read("victim"), "keep");
    }

    void unreadable_data()
    {
        QTest::addColumn<QByteArray>("kind");

        QTest::newRow("garbage") << QByteArray("garbage");
        QTest::newRow("missing") << QByteArray("missing");
        QTest::newRow("fifo") << QByteArray("fifo");
        QTest::newRow("linked repository") << QByteArray("repository");
    }

    void unreadable()
    {
        QFETCH(QByteArray, kind);
        const bool othersMade = kind != "repository"; // nowhere safe to put them
        TestFolder folder;
        QVERIFY(addImage(folder, "good.png", QSize(64, 48), "png"));
        const QByteArray bad = "bad.jpg";
        if (kind == "garbage")
            QVERIFY(folder.addFile(bad) && folder.append(bad, QByteArray(4096, '\xFF')));
        else if (kind == "fifo")
            QVERIFY(::mkfifo((folder.rawPath() + bad).constData(), 0644) == 0);
        else if (kind == "repository")
            QVERIFY(folder.addFolder("elsewhere") && folder.addLink(".sh_thumbnails", "elsewhere"));

        const auto made = makeThumbnails(folder.path(), {bad, "good.png"});
        QVERIFY(made.size() == 2 && !made[0]);
        QCOMPARE(bool(made[1]), othersMade);
        // Nothing but the good thumbnail, no temporary file left behind, and nothing through a
        // link.
        QCOMPARE(
            QDir(folder.path() + ".sh_thumbnails/large")
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                .size(),
            othersMade ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestThumbnails)
#include "tst_thumbnails.moc"
