#include "testfolder.h"
#include "thumbnails.h"

#include <QBuffer>
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
        const char exif[] = "\xFF\xE1\x00\x22"
                            "Exif\0\0"
                            "MM\x00\x2A\x00\x00\x00\x08"
                            "\x00\x01"
                            "\x01\x12\x00\x03\x00\x00\x00\x01\x00\x00\x00\x00"
                            "\x00\x00\x00\x00";
        QByteArray segment(exif, sizeof exif - 1);
        segment[29] = char(orientation);
        bytes.insert(2, segment);
    }
    return folder.addFile(name) && folder.append(name, bytes) && folder.setModified(name, modified);
}

struct stat fileStatus(const TestFolder &folder, const QByteArray &name)
{
    struct stat st
    {};
    ::lstat((folder.rawPath() + name).constData(), &st);
    return st;
}

} // namespace

class TestThumbnails : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void geometry_data();
    void geometry();
    void freshness_data();
    void freshness();
    void unreadable_data();
    void unreadable();
};

// Each row names its image differently, to check the repository's name for it too.
void TestThumbnails::geometry_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("thumbnail");
    QTest::addColumn<QSize>("shown");
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QByteArray>("hash");

    QTest::newRow("landscape") << QByteArray("photo.jpg") << QSize(1024, 768) << 0
                               << QSize(256, 192) << QSize(200, 150) << "./photo.jpg"
                               << QByteArray("b1389e2ea03b2f8883e2ff71b7f33742");
    QTest::newRow("portrait") << QByteArray("a b.jpg") << QSize(300, 600) << 0 << QSize(128, 256)
                              << QSize(100, 200) << "./a%20b.jpg"
                              << QByteArray("42dc3ce4d36a5be7fd011ec91196e357");
    QTest::newRow("square") << QByteArray("\xC3\xB1.jpg") << QSize(512, 512) << 0 << QSize(256, 256)
                            << QSize(200, 200) << "./%C3%B1.jpg"
                            << QByteArray("88e320b3a7420a02f2fdcdad2d297c8e");
    QTest::newRow("tiny") << QByteArray("\xE9.jpg") << QSize(40, 20) << 0 << QSize(40, 20)
                          << QSize(200, 100) << "./%E9.jpg"
                          << QByteArray("2ccfc5ccf4778165c130b8b6b1e8a2c3");
    QTest::newRow("huge") << QByteArray("100%.jpg") << QSize(6000, 4000) << 0 << QSize(256, 171)
                          << QSize(200, 133) << "./100%25.jpg"
                          << QByteArray("11b34fa8771eed6de2f569e156ebf527");
    QTest::newRow("turned") << QByteArray("it's(1).jpg") << QSize(400, 200) << 6 << QSize(128, 256)
                            << QSize(100, 200) << "./it's(1).jpg"
                            << QByteArray("1f5e4b9142ba0461df5d62b3b7d385c9");
}

void TestThumbnails::geometry()
{
    QFETCH(QByteArray, name);
    QFETCH(QSize, size);
    QFETCH(int, orientation);
    QFETCH(QSize, thumbnail);
    QFETCH(QSize, shown);
    QFETCH(QString, uri);
    QFETCH(QByteArray, hash);
    TestFolder folder;
    QVERIFY(addImage(folder, name, size, "jpeg", orientation));

    const auto made = makeThumbnails(folder.path(), {name});
    QCOMPARE(made.size(), 1u);
    QVERIFY(made[0]);
    QCOMPARE(made[0]->file, ".sh_thumbnails/large/" + hash + ".png");
    QCOMPARE(QSize(made[0]->width, made[0]->height), shown);
    QImageReader reader(folder.path() + QString::fromLatin1(made[0]->file));
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

void TestThumbnails::freshness_data()
{
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<bool>("reused");

    QTest::newRow("fresh") << QByteArray() << true;
    QTest::newRow("stale") << QByteArray("touch") << false;
    QTest::newRow("broken") << QByteArray("garbage") << false;
    QTest::newRow("link") << QByteArray("link") << false;
}

void TestThumbnails::freshness()
{
    QFETCH(QByteArray, change);
    QFETCH(bool, reused);
    TestFolder folder;
    QVERIFY(addImage(folder, "a.jpg", QSize(600, 400)));
    const auto first = makeThumbnails(folder.path(), {"a.jpg"});
    QVERIFY(first[0]);
    const QByteArray file = first[0]->file;

    qint64 expected = modified;
    if (change == "touch") {
        expected += 60;
        QVERIFY(folder.setModified("a.jpg", expected));
    } else if (change == "garbage") {
        QVERIFY(folder.addFile(file) && folder.append(file, "not a png"));
    } else if (change == "link") {
        QVERIFY(folder.addFile("victim") && folder.append("victim", "keep"));
        QVERIFY(::unlink((folder.rawPath() + file).constData()) == 0);
        QVERIFY(folder.addLink(file, folder.rawPath() + "victim"));
    }
    const struct stat before = fileStatus(folder, file);

    const auto second = makeThumbnails(folder.path(), {"a.jpg"});
    QVERIFY(second[0]);
    QCOMPARE(second[0]->file, file);
    const struct stat after = fileStatus(folder, file);
    QVERIFY(S_ISREG(after.st_mode));
    QCOMPARE(after.st_ino == before.st_ino, reused);
    if (reused)
        QVERIFY(after.st_mtim.tv_sec == before.st_mtim.tv_sec
                && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);
    QCOMPARE(QImage(folder.path() + QString::fromLatin1(file)).text("Thumb::MTime"),
             QString::number(expected));
    if (change == "link")
        QCOMPARE(folder.read("victim"), "keep");
}

void TestThumbnails::unreadable_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<bool>("othersMade");

    QTest::newRow("garbage") << QByteArray("garbage") << true;
    QTest::newRow("empty") << QByteArray("empty") << true;
    QTest::newRow("missing") << QByteArray("missing") << true;
    QTest::newRow("fifo") << QByteArray("fifo") << true;
    QTest::newRow("folder") << QByteArray("folder") << true;
    QTest::newRow("linked repository") << QByteArray("repository") << false;
}

void TestThumbnails::unreadable()
{
    QFETCH(QByteArray, kind);
    QFETCH(bool, othersMade);
    TestFolder folder;
    QVERIFY(addImage(folder, "good.png", QSize(64, 48), "png"));
    const QByteArray bad = "bad.jpg";
    if (kind == "garbage")
        QVERIFY(folder.addFile(bad) && folder.append(bad, QByteArray(4096, '\xFF')));
    else if (kind == "empty")
        QVERIFY(folder.addFile(bad));
    else if (kind == "fifo")
        QVERIFY(::mkfifo((folder.rawPath() + bad).constData(), 0644) == 0);
    else if (kind == "folder")
        QVERIFY(folder.addFolder(bad));
    else if (kind == "repository")
        QVERIFY(folder.addFolder("elsewhere") && folder.addLink(".sh_thumbnails", "elsewhere"));

    const auto made = makeThumbnails(folder.path(), {bad, "good.png"});
    QCOMPARE(made.size(), 2u);
    QVERIFY(!made[0]);
    QCOMPARE(bool(made[1]), othersMade);
    // Nothing but the good thumbnail, and no temporary file left behind.
    const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    QCOMPARE(QDir(folder.path() + ".sh_thumbnails/large").entryList(all).size(),
             othersMade ? 1 : 0);
    if (!othersMade)
        QVERIFY(QDir(folder.path() + "elsewhere").entryList(all).isEmpty());
}

QTEST_GUILESS_MAIN(TestThumbnails)
#include "tst_thumbnails.moc"
