#include "quickdeflate.h"
#include "testfolder.h"
#include "thumbnails.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtEndian>

#include <linux/fs.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr qint64 modified = 1000000000;

QByteArray encode(const QImage &image, const char *format)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    return QImageWriter(&buffer, format).write(image) ? buffer.data() : QByteArray();
}

// Red on the left half, blue on the right, so a turn shows where the left edge went.
QByteArray picture(QSize size, const char *format, QImage::Format pixels = QImage::Format_RGB32,
                   int orientation = 0)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter(&image).fillRect(0, 0, size.width() / 2, size.height(), Qt::red);
    QByteArray bytes = encode(image.convertToFormat(pixels), format);
    if (orientation) {
        // An APP1 segment right after the start marker: Exif, a big-endian TIFF header and one
        // IFD entry, Orientation (0x0112) as one SHORT.
        QByteArray segment = QByteArray::fromHex("FFE10022 457869660000 4D4D002A00000008 0001 "
                                                 "0112 0003 00000001 00000000 00000000");
        segment[29] = char(orientation);
        bytes.insert(2, segment);
    }
    return bytes;
}

// A one-pixel GIF with a palette of two colours.
const QByteArray gif = QByteArray::fromHex("474946383961 0100 0100 80 00 00 FF0000 000000 "
                                           "2C 00000000 0100 0100 00 02 02 4401 00 3B");

bool addImage(const TestFolder &folder, const QByteArray &name, const QByteArray &bytes)
{
    return folder.addFile(name) && folder.append(name, bytes) && folder.setModified(name, modified);
}

struct Chunks
{
    QByteArray header;                 // IHDR's data
    QByteArrayList types;              // in order
    QMap<QByteArray, QByteArray> text; // of tEXt
};

// The PNG's chunks, read the plain way.
Chunks chunksOf(const QByteArray &png)
{
    Chunks chunks;
    for (qsizetype at = 8; at + 8 <= png.size();) {
        const qsizetype length = qFromBigEndian<quint32>(png.constData() + at);
        const QByteArray type = png.mid(at + 4, 4);
        const QByteArray data = png.mid(at + 8, length);
        chunks.types << type;
        if (type == "IHDR")
            chunks.header = data;
        if (type == "tEXt")
            chunks.text.insert(data.left(data.indexOf('\0')), data.mid(data.indexOf('\0') + 1));
        at += 12 + length;
    }
    return chunks;
}

// Inode and modification time: a thumbnail reused is the very same file, untouched.
QList<qint64> fileStatus(const TestFolder &folder, const QByteArray &name)
{
    struct stat st = {};
    ::lstat((folder.rawPath() + name).constData(), &st);
    return {qint64(st.st_ino), st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_mode & 07777,
            st.st_gid};
}

bool setAppendOnly(const QByteArray &folder, bool on)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}

// The PNG with one more chunk before its end.
QByteArray withChunk(const QByteArray &png, const QByteArray &type, const QByteArray &data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian(quint32(data.size()), chunk.data());
    chunk += type + data;
    QByteArray crc(4, '\0');
    qToBigEndian(quint32(::crc32(0, reinterpret_cast<const Bytef *>(chunk.constData() + 4),
                                 uInt(chunk.size() - 4))),
                 crc.data());
    QByteArray out = png;
    return out.insert(png.lastIndexOf("IEND") - 4, chunk + crc);
}

// A header that declares `edge` x `edge` pixels, as bombs do: `at` is where the size starts.
QByteArray withSize(QByteArray bytes, qsizetype at, quint32 edge, int fieldBytes)
{
    for (int i = 0; i < 2 * fieldBytes; ++i)
        bytes[at + i] = char(edge >> (8 * (fieldBytes - 1 - i % fieldBytes)));
    return bytes;
}

// The BMP stored top down, as a negative height in its header says, at the size given.
QByteArray topDown(QByteArray bmp, qint32 width, qint32 height)
{
    qToLittleEndian(width, bmp.data() + 18);
    qToLittleEndian(-height, bmp.data() + 22);
    return bmp;
}

QByteArray pngOfSize(const QImage &image, quint32 edge)
{
    // The header's CRC too, which readers check.
    QByteArray png = withSize(encode(image, "png"), 16, edge, 4);
    qToBigEndian(quint32(::crc32(0, reinterpret_cast<const Bytef *>(png.constData() + 12), 17)),
                 png.data() + 29);
    return png;
}

// Every pixel different and nothing deflated: slow to read whatever the machine.
QByteArray slowPng()
{
    QImage image(3000, 3000, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = QRgb(x * 7919 + y * 104729);
    }
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setQuality(100);
    return writer.write(image) ? buffer.data() : QByteArray();
}

} // namespace

class TestThumbnails : public QObject
{
    Q_OBJECT

private Q_SLOTS:

    // The name is the MD5 of the URI that readers compute; the first is the standard's own.
    void names_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("uri");

        QTest::newRow("standard") << QByteArray("picture.png") << QByteArray();
        QTest::newRow("semicolon") << QByteArray("a;b.png") << QByteArray("./a%3Bb.png");
        QTest::newRow("space") << QByteArray("a b.png") << QByteArray("./a%20b.png");
        QTest::newRow("hash") << QByteArray("#1.png") << QByteArray("./%231.png");
        QTest::newRow("percent") << QByteArray("100%.png") << QByteArray("./100%25.png");
        QTest::newRow("latin-1") << QByteArray("\xe9.png") << QByteArray("./%E9.png");
        QTest::newRow("kept") << QByteArray("it's (1)+&=:@!$*,~.png")
                              << QByteArray("./it's%20(1)+&=:@!$*,~.png");
        QTest::newRow("60 bytes") << QByteArray(56, 'n') + ".png"
                                  << "./" + QByteArray(56, 'n') + ".png";
    }

    void names()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, uri);
        const QByteArray expected =
            uri.isEmpty() ? QByteArray("7fd0e41c1612f860427a76c4100745a3")
                          : QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex();
        QCOMPARE(thumbnailName(name), expected + ".png");
    }

    // Whatever the source, both thumbnails are 8-bit RGBA PNGs, not interlaced, with every key
    // as tEXt; the sizes round, never enlarge, and follow the orientation.
    void formats_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("large");
        QTest::addColumn<QSize>("xlarge");
        QTest::addColumn<QSize>("shown");
        // Red left and blue right: 0 not looked at, 1 as stored, 2 turned, 3 both half seen
        // through.
        QTest::addColumn<int>("layout");

        QTest::newRow("jpeg turned")
            << QByteArray(50, 'j') + ".jpg" << picture({400, 200}, "jpeg", QImage::Format_RGB32, 6)
            << QSize(128, 256) << QSize(200, 400) << QSize(100, 200) << 2;
        // Decoded at a quarter straight to 512: the 256 one is its exact half.
        QTest::newRow("jpeg halved") << QByteArray("h.jpg") << picture({2048, 1536}, "jpeg")
                                     << QSize(256, 192) << QSize(512, 384) << QSize(200, 150) << 1;
        // Markers a decoder skips, larger than what it reads at a time.
        QByteArray marked = picture({2048, 1536}, "jpeg");
        for (int i = 0; i < 3; ++i)
            marked.insert(2, QByteArray::fromHex("FFE9FDE8") + QByteArray(65000 - 2, 'm'));
        QTest::newRow("jpeg long markers") << QByteArray("m.jpg") << marked << QSize(256, 192)
                                           << QSize(512, 384) << QSize(200, 150) << 1;
        QTest::newRow("jpeg grey")
            << QByteArray("g.jpg") << picture({400, 300}, "jpeg", QImage::Format_Grayscale8)
            << QSize(256, 192) << QSize(400, 300) << QSize(200, 150) << 0;
        // CMYK, 16 × 8: libjpeg gives no RGB for it, Qt's reader does.
        QTest::newRow("jpeg cmyk")
            << QByteArray("k.jpg")
            << QByteArray::fromHex(
                   "ffd8ffee000e41646f626500640000000002ffdb004300100b0c0e0c0a100e0d0e1211101318"
                   "281a181616183123251d283a333d3c3933383740485c4e404457453738506d51575f62676867"
                   "3e4d71797064785c656763ffdb0043011112121815182f1a1a2f634238426363636363636363"
                   "6363636363636363636363636363636363636363636363636363636363636363636363636363"
                   "63636363ffc00014080008001004011100021101031101041100ffc400160001010100000000"
                   "000000000000000000050007ffc40014100100000000000000000000000000000000ffc40016"
                   "0101010100000000000000000000000000070506ffc400141101000000000000000000000000"
                   "00000000ffda000e040100021103110400003f006951836805c5e464ffd9")
            << QSize(16, 8) << QSize(16, 8) << QSize(200, 100) << 1;
        QTest::newRow("png 16-bit")
            << QByteArray("a;b.png") << picture({1200, 800}, "png", QImage::Format_RGBA64)
            << QSize(256, 171) << QSize(512, 341) << QSize(200, 133) << 1;
        QImage seenThrough(600, 300, QImage::Format_ARGB32);
        seenThrough.fill(qRgba(0, 0, 255, 128));
        QPainter painter(&seenThrough);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(0, 0, 300, 300, QColor(255, 0, 0, 128));
        painter.end();
        QTest::newRow("png alpha") << QByteArray("t.png") << encode(seenThrough, "png")
                                   << QSize(256, 128) << QSize(512, 256) << QSize(200, 100) << 3;
        QTest::newRow("bmp 1-bit")
            << QByteArray("m.bmp") << picture({40, 20}, "bmp", QImage::Format_Mono) << QSize(40, 20)
            << QSize(40, 20) << QSize(200, 100) << 0;
        QTest::newRow("bmp top-down")
            << QByteArray("d.bmp") << topDown(picture({40, 20}, "bmp"), 40, 20) << QSize(40, 20)
            << QSize(40, 20) << QSize(200, 100) << 1;
        // A side that rounds to nothing keeps one pixel.
        QTest::newRow("png thin") << QByteArray("w.png") << picture({2000, 3}, "png")
                                  << QSize(256, 1) << QSize(512, 1) << QSize(200, 1) << 0;
        QTest::newRow("gif palette")
            << QByteArray("p.gif") << gif << QSize(1, 1) << QSize(1, 1) << QSize(200, 200) << 0;
    }

    void formats()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, large);
        QFETCH(QSize, xlarge);
        QFETCH(QSize, shown);
        QFETCH(int, layout);
        TestFolder folder;
        QVERIFY(addImage(folder, name, bytes));

        // The image's size as it is shown, turned where its Exif says so.
        QBuffer source(&bytes);
        QImageReader reader(&source);
        reader.setAutoTransform(true);
        const QSize whole = reader.read().size();
        const ThumbnailRun run = makeThumbnails(folder.path(), {name});
        // A sound image leaves the decoders nothing to say.
        QVERIFY2(run.decoderMessages.isEmpty(), qPrintable(run.decoderMessages.join(u'\n')));
        const Thumbnail made = run.thumbnails.at(0).value();
        QCOMPARE(made.file, ".sh_thumbnails/large/" + thumbnailName(name));
        QCOMPARE(made.largeFile, ".sh_thumbnails/x-large/" + thumbnailName(name));
        QCOMPARE(QSize(made.width, made.height), shown);
        // In place once the run returns, nothing hidden left beside them.
        for (const char *size : {"large", "x-large"}) {
            const QDir repository(folder.path() + "/.sh_thumbnails/" + size);
            QCOMPARE(repository.entryList(QDir::Files | QDir::Hidden),
                     QStringList{QString::fromLatin1(thumbnailName(name))});
        }
        for (const auto &[file, size] : {std::pair(made.file, large), {made.largeFile, xlarge}}) {
            const QByteArray png = folder.read(file);
            const Chunks chunks = chunksOf(png);
            // Width, height, depth 8, colour type 6, no interlace.
            QCOMPARE(chunks.header.toHex(),
                     QByteArray::number(size.width(), 16).rightJustified(8, '0')
                         + QByteArray::number(size.height(), 16).rightJustified(8, '0')
                         + "0806000000");
            QVERIFY2(!chunks.types.contains("zTXt") && !chunks.types.contains("iTXt"),
                     chunks.types.join(' '));
            QCOMPARE(chunks.text.value("Thumb::URI"), "./" + name.toPercentEncoding("'"));
            QCOMPARE(chunks.text.value("Thumb::MTime"), QByteArray::number(modified));
            QCOMPARE(chunks.text.value("Thumb::Size"), QByteArray::number(bytes.size()));
            QCOMPARE(chunks.text.value("Thumb::Image::Width"), QByteArray::number(whole.width()));
            QCOMPARE(chunks.text.value("Thumb::Image::Height"), QByteArray::number(whole.height()));
            QVERIFY(chunks.text.value("Software").startsWith("Quorvel Folimbra "));
            // A reader that checks each chunk's CRC keeps the keys too.
            const QImage image = QImage::fromData(png);
            QCOMPARE(image.text(QStringLiteral("Thumb::MTime")).toLatin1(),
                     chunks.text.value("Thumb::MTime"));
            // Red on the left of the stored picture, which is on top once turned, blue on the
            // right, down to the last row.
            if (layout != 0) {
                const int w = image.width(), h = image.height();
                const int alpha = layout == 3 ? 128 : 255;
                const QList<std::pair<QPoint, QRgb>> expected{
                    {layout == 2 ? QPoint(w / 2, 0) : QPoint(0, h - 1), qRgba(255, 0, 0, alpha)},
                    {QPoint(w - 1, h - 1), qRgba(0, 0, 255, alpha)},
                    {layout == 2 ? QPoint(0, h - 1) : QPoint(w - 1, 0), qRgba(0, 0, 255, alpha)}};
                for (const auto &[at, colour] : expected) {
                    const QRgb pixel = image.pixel(at);
                    QVERIFY2(qAbs(qRed(pixel) - qRed(colour)) < 60
                                 && qAbs(qBlue(pixel) - qBlue(colour)) < 60
                                 && qAbs(qAlpha(pixel) - qAlpha(colour)) < 3,
                             qPrintable(QColor::fromRgba(pixel).name(QColor::HexArgb)));
                }
            }
        }
    }

    // Own thumbnails are remade when stale; those of others are used while fresh and never
    // touched.
    void freshness_data()
    {
        QTest::addColumn<QByteArray>("change");
        QTest::addColumn<bool>("remade");
        QTest::addColumn<bool>("shown");

        QTest::newRow("fresh") << QByteArray() << false << true;
        QTest::newRow("touched") << QByteArray("touch") << true << true;
        QTest::newRow("same second, other size") << QByteArray("grow") << true << true;
        QTest::newRow("x-large lost") << QByteArray("x-large") << false << true;
        QTest::newRow("foreign without keys") << QByteArray("foreign") << false << true;
        QTest::newRow("foreign stale") << QByteArray("foreign stale") << false << false;
        // The time as other programs may write it: packed, or as international text.
        QTest::newRow("foreign stale, zTXt") << QByteArray("foreign stale zTXt") << false << false;
        QTest::newRow("foreign stale, iTXt") << QByteArray("foreign stale iTXt") << false << false;
        QTest::newRow("foreign fresh, iTXt") << QByteArray("foreign iTXt") << false << true;
        QTest::newRow("garbage") << QByteArray("garbage") << false << false;
        QTest::newRow("cut short") << QByteArray("cut") << false << false;
        QTest::newRow("link") << QByteArray("link") << false << false;
        // Readers may be reading the old one: never rewritten in place, even where a folder
        // lets no name go.
        QTest::newRow("touched, append-only folder") << QByteArray("append-only") << false << false;
    }

    void freshness()
    {
        QFETCH(QByteArray, change);
        QFETCH(bool, remade);
        QFETCH(bool, shown);

        TestFolder folder;
        QVERIFY(addImage(folder, "a.jpg", picture({600, 400}, "jpeg")));
        const Thumbnail made = *makeThumbnails(folder.path(), {"a.jpg"}).thumbnails.at(0);
        const QByteArray file = made.file;
        const QByteArray path = folder.rawPath() + file;
        const QByteArray largePath = folder.rawPath() + made.largeFile;

        QImage foreign(64, 32, QImage::Format_ARGB32);
        foreign.fill(Qt::green);
        if (change == "foreign stale")
            foreign.setText("Thumb::MTime", "5");
        if (change == "touch")
            QVERIFY(folder.setModified("a.jpg", modified + 60));
        else if (change == "x-large")
            QVERIFY(::unlink(largePath.constData()) == 0);
        else if (change == "grow")
            QVERIFY(folder.append("a.jpg", "x") && folder.setModified("a.jpg", modified));
        else if (change.startsWith("foreign")) {
            QByteArray png = encode(foreign, "png");
            const QByteArray time = change.contains("stale") ? "5" : QByteArray::number(modified);
            if (change.endsWith("zTXt"))
                png = withChunk(png, "zTXt",
                                QByteArray("Thumb::MTime\0\0", 14) + qCompress(time).mid(4));
            else if (change.endsWith("iTXt"))
                png = withChunk(png, "iTXt",
                                (change.contains("stale")
                                     ? QByteArray("Thumb::MTime\0\0\0\0\0", 17)
                                     : QByteArray("Thumb::MTime\0\0\0es\0Hora\0", 23))
                                    + time);
            QVERIFY(::unlink(path.constData()) == 0 && folder.addFile(file)
                    && folder.append(file, png));
        } else if (change == "garbage")
            QVERIFY(folder.addFile(file + ".new") && folder.append(file + ".new", "not a png")
                    && ::rename((path + ".new").constData(), path.constData()) == 0);
        else if (change == "cut")
            QVERIFY(::truncate(path.constData(), QFileInfo(path).size() - 20) == 0);
        else if (change == "link")
            QVERIFY(folder.addFile("victim") && folder.append("victim", "keep")
                    && ::unlink(path.constData()) == 0
                    && folder.addLink(file, folder.rawPath() + "victim"));
        const QByteArray repository = QFileInfo(QString::fromUtf8(path)).path().toUtf8();
        bool appendOnly = false;
        // Or the folder could not be removed.
        const auto undo = qScopeGuard([&] {
            if (appendOnly)
                setAppendOnly(repository, false);
        });
        if (change == "append-only") {
            QVERIFY(folder.setModified("a.jpg", modified + 60));
            appendOnly = setAppendOnly(repository, true);
            if (!appendOnly)
                QSKIP("the file system or the user may not make a folder append-only");
        }
        const QList<qint64> before = fileStatus(folder, file);
        const QByteArray bytes = folder.read(file);

        const ThumbnailRun run = makeThumbnails(folder.path(), {"a.jpg"});
        QCOMPARE(bool(run.thumbnails.at(0)), shown);
        // One that could not be saved is left out as an unreadable image is.
        const LeftOut reason = change == "append-only" ? LeftOut::Unreadable : LeftOut::Foreign;
        QCOMPARE(run.leftOut[int(reason)], shown ? 0 : 1);
        QCOMPARE(fileStatus(folder, file) != before, remade);
        if (!remade)
            QCOMPARE(folder.read(file), bytes);
        else
            QCOMPARE(chunksOf(folder.read(file)).text.value("Thumb::Size"),
                     QByteArray::number(QFileInfo(folder.path() + "a.jpg").size()));
        if (change == "link")
            QCOMPARE(folder.read("victim"), "keep");
        if (change == "x-large")
            QVERIFY(run.thumbnails.at(0)->largeFile == made.largeFile
                    && QFileInfo::exists(QString::fromUtf8(largePath)));
    }

    // A thumbnail shows no more than its image, to no one else: its mode and group are the
    // image's whatever the umask, also after a chmod that kept the image's time.
    void permissions_data()
    {
        QTest::addColumn<int>("umask");
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("imageMode");
        QTest::addColumn<int>("laterMode");
        QTest::addColumn<int>("repositoryMode");
        QTest::addColumn<int>("madeBefore"); // the repository folders' mode before; 0: none

        QTest::newRow("umask 077") << 077 << 0755 << 0644 << 0 << 0755 << 0;
        QTest::newRow("chmod 600") << 022 << 0755 << 0644 << 0600 << 0755 << 0;
        QTest::newRow("shared 1777") << 0 << 01777 << 0664 << 0 << 01775 << 0;
        QTest::newRow("other group") << 022 << 0750 << 0640 << 0 << 0750 << 0;
        QTest::newRow("open before") << 0 << 01777 << 0664 << 0 << 01775 << 0777;
        QTest::newRow("private before") << 022 << 0755 << 0644 << 0 << 0700 << 0700;
    }

    void permissions()
    {
        QFETCH(int, umask);
        QFETCH(int, folderMode);
        QFETCH(int, imageMode);
        QFETCH(int, laterMode);
        QFETCH(int, repositoryMode);
        QFETCH(int, madeBefore);
        const auto restore = qScopeGuard([old = ::umask(mode_t(umask))] { ::umask(old); });
        TestFolder folder;
        QVERIFY(addImage(folder, "a.png", picture({64, 64}, "png")));
        const QByteArray image = folder.rawPath() + "a.png";
        QVERIFY(::chmod(folder.rawPath().constData(), mode_t(folderMode)) == 0
                && ::chmod(image.constData(), mode_t(imageMode)) == 0);
        const bool otherGroup = QByteArray(QTest::currentDataTag()) == "other group";
        if (otherGroup && (::geteuid() != 0 || ::chown(image.constData(), uid_t(-1), 4242) != 0))
            QSKIP("giving a file a group of which one is no member takes root");
        for (const char *repository :
             {".sh_thumbnails", ".sh_thumbnails/large", ".sh_thumbnails/x-large"}) {
            QVERIFY(!madeBefore
                    || (folder.addFolder(repository)
                        && ::chmod((folder.rawPath() + repository).constData(), mode_t(madeBefore))
                               == 0));
        }

        Thumbnail made = makeThumbnails(folder.path(), {"a.png"}).thumbnails.at(0).value();
        const QList<qint64> first = fileStatus(folder, made.file);
        if (laterMode) {
            QVERIFY(::chmod(image.constData(), mode_t(laterMode)) == 0);
            made = makeThumbnails(folder.path(), {"a.png"}).thumbnails.at(0).value();
        }
        struct stat st = {};
        QVERIFY(::stat(image.constData(), &st) == 0);
        for (const QByteArray &file : {made.file, made.largeFile}) {
            const QList<qint64> status = fileStatus(folder, file);
            QCOMPARE(status[3], qint64(st.st_mode & 0666));
            QCOMPARE(status[4], qint64(st.st_gid));
        }
        // Brought in line in place: no new file for a chmod.
        QCOMPARE(fileStatus(folder, made.file)[0], first[0]);
        for (const char *repository :
             {".sh_thumbnails", ".sh_thumbnails/large", ".sh_thumbnails/x-large"})
            QCOMPARE(fileStatus(folder, repository)[3], qint64(repositoryMode));
    }

    // Nothing is made in a thumbnail folder, through a link out of the folder, or of what
    // cannot be read.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<QByteArray>("folder"); // where the run is, below the test's folder
        QTest::addColumn<int>("made");
        QTest::addColumn<int>("reason"); // of the one left out, or -1

        QTest::newRow("repository")
            << QByteArray() << QByteArray(".sh_thumbnails/large/") << 0 << -1;
        QTest::newRow("personal cache")
            << QByteArray() << QByteArray("cache/thumbnails/normal/") << 0 << -1;
        QTest::newRow("old cache") << QByteArray() << QByteArray("home/.thumbnails/") << 0 << -1;
        QTest::newRow("linked repository")
            << QByteArray("link repository") << QByteArray() << 0 << -1;
        QTest::newRow("file repository")
            << QByteArray("file repository") << QByteArray() << 0 << -1;
        // Either size folder taken by a file: there is no repository to write to.
        QTest::newRow("file large repository")
            << QByteArray("file large repository") << QByteArray() << 0 << -1;
        QTest::newRow("file x-large repository")
            << QByteArray("file x-large repository") << QByteArray() << 0 << -1;
        QTest::newRow("link out") << QByteArray("link out") << QByteArray("pics/") << 1
                                  << int(LeftOut::Link);
        QTest::newRow("link in") << QByteArray("link in") << QByteArray("pics/") << 2 << -1;
        QTest::newRow("link in, kept from the owner")
            << QByteArray("link in, private") << QByteArray("pics/") << 1 << int(LeftOut::Link);
        QTest::newRow("link in, root's folder")
            << QByteArray("link in, root's") << QByteArray("pics/") << 2 << -1;
        QTest::newRow("garbage") << QByteArray("garbage") << QByteArray() << 1
                                 << int(LeftOut::Unreadable);
        QTest::newRow("fifo") << QByteArray("fifo") << QByteArray() << 1
                              << int(LeftOut::Unreadable);
    }

    void refusals()
    {
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, folder);
        QFETCH(int, made);
        QFETCH(int, reason);
        TestFolder root;
        qputenv("XDG_CACHE_HOME", root.rawPath() + "cache");
        qputenv("HOME", root.rawPath() + "home");
        QVERIFY(QDir().mkpath(root.path() + QString::fromLatin1(folder))
                && root.addFolder("outside"));
        const QByteArray at = root.rawPath() + folder;
        const QByteArray png = picture({32, 32}, "png");
        QVERIFY(addImage(root, folder + "good.png", png) && addImage(root, "outside/s.png", png));
        if (setup == "link repository")
            QVERIFY(root.addLink(".sh_thumbnails", "outside"));
        else if (setup == "file repository")
            QVERIFY(root.addFile(".sh_thumbnails"));
        else if (setup.startsWith("file "))
            QVERIFY(root.addFolder(".sh_thumbnails")
                    && root.addFile(".sh_thumbnails/" + setup.split(' ').at(1)));
        else if (setup == "link out") // to a folder whose name begins as this one's
            QVERIFY(root.addFolder("pics-fuera") && addImage(root, "pics-fuera/s.png", png)
                    && root.addLink(folder + "bad.png", root.rawPath() + "pics-fuera/s.png"));
        else if (setup.startsWith("link in"))
            QVERIFY(root.addFolder(folder + "in") && addImage(root, folder + "in/s.png", png)
                    && root.addLink(folder + "bad.png", "in/s.png"));
        if (setup.endsWith("private")) {
            if (::geteuid() != 0)
                QSKIP("needs root to give the folder to another user");
            QVERIFY(::chown(at.constData(), 1234, 1234) == 0
                    && ::chmod((at + "in/s.png").constData(), 0600) == 0);
        } else if (setup.endsWith("root's")) {
            // Root may read it, so root's page shows it.
            if (::geteuid() != 0)
                QSKIP("needs root to give the file to another user");
            QVERIFY(::chown((at + "in/s.png").constData(), 1234, 1234) == 0
                    && ::chmod((at + "in/s.png").constData(), 0) == 0);
        } else if (setup == "garbage")
            QVERIFY(addImage(root, "bad.png", QByteArray(4096, '\xFF')));
        else if (setup == "fifo")
            QVERIFY(::mkfifo((at + "bad.png").constData(), 0644) == 0);
        std::vector<QByteArray> names{"good.png"};
        if (!setup.isEmpty() && !setup.endsWith("repository"))
            names.push_back("bad.png");

        const ThumbnailRun run = makeThumbnails(QString::fromLocal8Bit(at), names);
        qunsetenv("XDG_CACHE_HOME");
        qunsetenv("HOME");
        QCOMPARE(int(std::count_if(run.thumbnails.begin(), run.thumbnails.end(),
                                   [](const auto &t) { return bool(t); })),
                 made);
        QCOMPARE(run.thumbnailFolder, made == 0 && setup.isEmpty());
        QCOMPARE(run.noRepository, setup.endsWith("repository"));
        for (int kind = 0; kind < leftOutKinds; ++kind)
            QCOMPARE(run.leftOut[kind], kind == reason ? 1 : 0);
        // Nothing but the good thumbnails, no temporary file, nothing through a link.
        const QStringList entries =
            QDir(QString::fromLocal8Bit(at) + ".sh_thumbnails/large")
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        QCOMPARE(entries.size(), made);
        QVERIFY(!QDir(root.path() + "outside/large").exists());
        QVERIFY(!QDir(root.path() + QString::fromLatin1(folder) + ".sh_thumbnails").exists()
                || !setup.isEmpty());
    }

    // A temporary thumbnail that a run left as it died is removed by the next run; those of runs
    // still going and other names stay.
    void leftovers()
    {
        TestFolder folder;
        QVERIFY(addImage(folder, "a.png", picture({32, 32}, "png")));
        QVERIFY(makeThumbnails(folder.path(), {"a.png"}).thumbnails.at(0));
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        QVERIFY(child > 0 && ::waitpid(child, nullptr, 0) == child);
        const QByteArray dead = QByteArray::number(child);
        const QByteArray own = QByteArray::number(::getpid());
        const QList<std::pair<QByteArray, bool>> names{
            {"large/.folimbra-" + dead + "-1.png", false},
            {"x-large/.folimbra-" + dead + "-2.png", false},
            {"large/.folimbra-1-3.png", true}, // init's: never ended
            {"large/.folimbra-" + own + "-4.png", true},
            {"large/.folimbra-x-5.png", true},
            {"large/.folimbra--6.png", true},
            {"large/.folimbra-" + dead, true},
            {"large/folimbra-" + dead + "-7.png", true}};
        for (const auto &[name, kept] : names)
            QVERIFY(folder.addFile(".sh_thumbnails/" + name));
        QVERIFY(makeThumbnails(folder.path(), {"a.png"}).thumbnails.at(0));
        for (const auto &[name, kept] : names)
            QVERIFY2(folder.exists(".sh_thumbnails/" + name) == kept, name.constData());
    }

    // Bombs are refused from their headers, at once and without the memory they ask for; a
    // decoding past its time is cut short, and one that fails is left out.
    void bombs_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("reason");
        QTest::addColumn<QByteArray>("budget"); // of a decoding, in ms; empty for the usual

        QImage pixel(1, 1, QImage::Format_RGB32);
        pixel.fill(Qt::red);
        QTest::newRow("png 32000²")
            << pngOfSize(pixel, 32000) << int(LeftOut::Pixels) << QByteArray();
        QTest::newRow("png 16-bit 9000²")
            << pngOfSize(pixel.convertToFormat(QImage::Format_RGBA64), 9000) << int(LeftOut::Memory)
            << QByteArray();
        // 8 bytes a pixel: 8192² would take all of the 512 MiB, this a little more.
        QTest::newRow("png 16-bit 8193²")
            << pngOfSize(pixel.convertToFormat(QImage::Format_RGBA64), 8193) << int(LeftOut::Memory)
            << QByteArray();
        // The start of frame's height and width, after the marker, length and precision.
        QByteArray jpeg = encode(pixel, "jpeg");
        const qsizetype frame = jpeg.indexOf("\xFF\xC0") + 5;
        QTest::newRow("jpeg 40000²")
            << withSize(jpeg, frame, 40000, 2) << int(LeftOut::Pixels) << QByteArray();
        // Its header reads, and libjpeg gives up when the scan asks for tables never defined.
        jpeg[jpeg.indexOf("\xFF\xDA") + 6] = '\x33';
        QTest::newRow("jpeg undefined tables") << jpeg << int(LeftOut::Unreadable) << QByteArray();
        // A few bytes that Qt's reader would make 430 MB of.
        QTest::newRow("bmp top-down 2560x41990")
            << topDown(encode(pixel, "bmp"), 2560, 41990) << int(LeftOut::Pixels) << QByteArray();
        // 36 MB of pixels, stored: read in thousands of pieces, far longer than 1 ms.
        QTest::newRow("slow png") << slowPng() << int(LeftOut::Time) << QByteArray("1");
        QTest::newRow("no time") << encode(pixel, "png") << int(LeftOut::Time) << QByteArray("0");
    }

    void bombs()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, reason);
        QFETCH(QByteArray, budget);
        TestFolder folder;
        QVERIFY(addImage(folder, "bomb.png", bytes));
        if (!budget.isEmpty())
            qputenv("FOLIMBRA_DECODE_MS", budget);
        const auto restore = qScopeGuard([] { qunsetenv("FOLIMBRA_DECODE_MS"); });
        QElapsedTimer timer;
        timer.start();
        const ThumbnailRun run = makeThumbnails(folder.path(), {"bomb.png"});
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!run.thumbnails.at(0));
        for (int kind = 0; kind < leftOutKinds; ++kind)
            QCOMPARE(run.leftOut[kind], kind == reason ? 1 : 0);
        QVERIFY(QDir(folder.path() + ".sh_thumbnails/large").isEmpty());
    }

    // zlib reads back every byte the thumbnails' deflate packs: runs of zeros about a match's
    // limits and a word's, every byte value, noise, and bytes the code was not counted from.
    void quickDeflate_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one") << QByteArray("x");
        for (const int zeros : {7, 8, 9, 16, 24, 259, 264, 520, 100000})
            QTest::addRow("%d zeros", zeros) << QByteArray(zeros, '\0');
        // Every match length, each with its own extra bits.
        QByteArray runs;
        for (int zeros = 1; zeros <= 300; ++zeros)
            runs += QByteArray(zeros, '\0') + 'r';
        QTest::newRow("runs of every length") << runs;
        QByteArray every;
        for (int byte = 0; byte < 256; ++byte)
            every += char(byte);
        QTest::newRow("every byte") << every.repeated(3);
        QRandomGenerator random(7);
        QByteArray noise(100003, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        for (qsizetype at = 0; at + 300 < noise.size(); at += 9000)
            std::fill_n(noise.data() + at + at % 13, 17 + at % 290, '\0');
        QTest::newRow("noise and zeros") << noise;
        QByteArray rare(40000, 'a');
        std::fill_n(rare.data() + 4096, 12288, 'z');
        QTest::newRow("rare") << rare;
    }

    void quickDeflate()
    {
        QFETCH(QByteArray, bytes);
        const QByteArray packed =
            quickZlib(reinterpret_cast<const uchar *>(bytes.constData()), bytes.size());
        QByteArray unpacked(bytes.size() + 1, '?');
        uLongf length = uLongf(unpacked.size());
        QCOMPARE(::uncompress(reinterpret_cast<Bytef *>(unpacked.data()), &length,
                              reinterpret_cast<const Bytef *>(packed.constData()),
                              uLong(packed.size())),
                 Z_OK);
        unpacked.truncate(qsizetype(length));
        QCOMPARE(unpacked, bytes);
        // Flat areas shrink: a run costs a few bits a match.
        if (bytes.count('\0') == bytes.size() && bytes.size() > 1000)
            QCOMPARE_LT(packed.size(), bytes.size() / 50);
    }

    // The decoders' own words come back to the caller, once each, not to standard error.
    void decoderMessages()
    {
        TestFolder folder;
        const QByteArray jpeg = picture({300, 300}, "jpeg");
        QVERIFY(addImage(folder, "a.jpg", jpeg.left(jpeg.size() / 2))
                && addImage(folder, "b.jpg", jpeg.left(jpeg.size() / 2)));
        // Kept for the run's report, not passed on as they come.
        static int passedOn;
        passedOn = 0;
        const QtMessageHandler before = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &) { ++passedOn; });
        const ThumbnailRun run = makeThumbnails(folder.path(), {"a.jpg", "b.jpg"});
        qInstallMessageHandler(before);
        QCOMPARE(passedOn, 0);
        QCOMPARE(run.decoderMessages.size(), 1);
        QVERIFY2(run.decoderMessages[0].contains("JPEG"), qPrintable(run.decoderMessages[0]));
        // And a photo cut short shows what it has, as Qt's reader does.
        QVERIFY(run.thumbnails.at(0) && run.thumbnails.at(1));
    }
};

QTEST_GUILESS_MAIN(TestThumbnails)
#include "tst_thumbnails.moc"
