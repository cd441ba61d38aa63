#include "filedescriptor.h"
#include "folderpage.h"
#include "testfolder.h"
#include "thumbnails.h"
#include "videoframe.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>

#include <cstring>
#include <dlfcn.h>
#include <link.h>

#include <fcntl.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int made = -1;

// A two-second video that ffmpeg makes, red on its left half and blue on the right.
QByteArray video(const QString &ending, const QStringList &codec,
                 const QString &size = u"320x240"_s, const QString &filters = {})
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"v."_s + ending);
    QString drawn = u"drawbox=x=iw/2:y=0:w=iw/2:h=ih:color=blue:t=fill"_s;
    if (!filters.isEmpty())
        drawn += u',' + filters;
    QStringList arguments{u"-loglevel"_s, u"error"_s, u"-f"_s,
                          u"lavfi"_s,     u"-i"_s,    u"color=c=red:s="_s + size + u":d=2:r=10"_s,
                          u"-vf"_s,       drawn};
    arguments << codec << file;
    if (QProcess::execute(u"ffmpeg"_s, arguments) != 0)
        return {};
    QFile read(file);
    return read.open(QIODevice::ReadOnly) ? read.readAll() : QByteArray();
}

// The same MP4 with the matrix of its track header saying "turn a quarter clockwise", as phones
// store video shot upright.
QByteArray turned(QByteArray mp4)
{
    const qsizetype box = mp4.indexOf("tkhd") - 4;
    if (box < 0 || mp4[box + 8] != 0) // version 0 only
        return {};
    const qint32 matrix[9] = {0, 0x10000, 0, -0x10000, 0, 0, 0, 0, 0x40000000};
    for (int i = 0; i < 9; ++i)
        qToBigEndian(matrix[i], mp4.data() + box + 48 + 4 * i);
    return mp4;
}

// The path of the shared object the process holds whose name has `part` in it, if any.
QByteArray loadedPath(const char *part)
{
    struct Found
    {
        const char *part;
        QByteArray path;
    } found{part, {}};
    dl_iterate_phdr(
        [](struct dl_phdr_info *info, size_t, void *data) {
            auto *wanted = static_cast<Found *>(data);
            if (info->dlpi_name && std::strstr(info->dlpi_name, wanted->part))
                wanted->path = info->dlpi_name;
            return 0;
        },
        &found);
    return found.path;
}

bool loaded(const char *part)
{
    return !loadedPath(part).isEmpty();
}

// The one of libav's allocations below that fails when the video module asks for it, as it would
// with memory gone. The test exports them, so that they come before libav's own.
QByteArray starved;

// Looked up once for each function: libav allocates at every step of a decoding.
template <typename Function> Function *libavFunction(const char *library, const char *name)
{
    void *const handle = ::dlopen(loadedPath(library).constData(), RTLD_LAZY | RTLD_NOLOAD);
    return reinterpret_cast<Function *>(handle ? ::dlsym(handle, name) : nullptr);
}

template <typename... Arguments>
void *allocated(const void *caller, void *(*real)(Arguments...), const char *name,
                Arguments... arguments)
{
    Dl_info from{};
    if (starved == name && ::dladdr(caller, &from) && from.dli_fname
        && std::strstr(from.dli_fname, "folimbra-video"))
        return nullptr;
    return real ? real(arguments...) : nullptr;
}

} // namespace

extern "C" void *av_malloc(size_t size)
{
    static const auto real = libavFunction<void *(size_t)>("libavutil", "av_malloc");
    return allocated(__builtin_return_address(0), real, "av_malloc", size);
}
extern "C" void *avformat_alloc_context()
{
    static const auto real = libavFunction<void *()>("libavformat", "avformat_alloc_context");
    return allocated(__builtin_return_address(0), real, "avformat_alloc_context");
}
extern "C" void *avcodec_alloc_context3(const void *codec)
{
    static const auto real =
        libavFunction<void *(const void *)>("libavcodec", "avcodec_alloc_context3");
    return allocated(__builtin_return_address(0), real, "avcodec_alloc_context3", codec);
}
extern "C" void *av_frame_alloc()
{
    static const auto real = libavFunction<void *()>("libavutil", "av_frame_alloc");
    return allocated(__builtin_return_address(0), real, "av_frame_alloc");
}
extern "C" void *av_packet_alloc()
{
    static const auto real = libavFunction<void *()>("libavcodec", "av_packet_alloc");
    return allocated(__builtin_return_address(0), real, "av_packet_alloc");
}

// Posters of the videos in a modern page, from files ffmpeg makes.
class TestVideos : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"ffmpeg"_s).isEmpty())
            QSKIP("ffmpeg is missing (scripts/packages.sh installs it)");
    }

    // The video libraries come with the first video a run meets, not with every start.
    void loadedOnFirstVideo()
    {
        QVERIFY(!loaded("libavcodec"));
        TestFolder folder;
        QImage photo(40, 30, QImage::Format_RGB32);
        photo.fill(Qt::red);
        QVERIFY(photo.save(folder.path() + u"a.png"_s));
        QVERIFY(makeThumbnails(folder.path(), {"a.png"}).thumbnails.at(0));
        QVERIFY(!loaded("libavcodec"));
        const QByteArray webm = video(u"webm"_s, {u"-c:v"_s, u"libvpx"_s});
        QVERIFY(folder.addFile("v.webm") && folder.append("v.webm", webm));
        QVERIFY(makeThumbnails(folder.path(), {"v.webm"}).thumbnails.at(0));
        QVERIFY(loaded("libavcodec"));
    }

    void posters_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("large");  // the 256 one
        QTest::addColumn<QSize>("xlarge"); // the 512 one, never larger than the video
        QTest::addColumn<QSize>("shown");
        QTest::addColumn<bool>("upright"); // red on top, not on the left
        QTest::addColumn<int>("leftOut");  // why there is none, or `made`
        QTest::addColumn<int>("budgetMs");

        const QStringList h264{u"-c:v"_s, u"libx264"_s, u"-pix_fmt"_s, u"yuv420p"_s};
        const QByteArray mp4 = video(u"mp4"_s, h264, u"640x360"_s);
        QTest::newRow("mp4") << QByteArray("a.mp4") << mp4 << QSize(256, 144) << QSize(512, 288)
                             << QSize(200, 113) << false << made << -1;
        QTest::newRow("webm") << QByteArray("b.WEBM") << video(u"webm"_s, {u"-c:v"_s, u"libvpx"_s})
                              << QSize(256, 192) << QSize(320, 240) << QSize(200, 150) << false
                              << made << -1;
        QTest::newRow("mkv") << QByteArray("c.mkv") << video(u"mkv"_s, h264) << QSize(256, 192)
                             << QSize(320, 240) << QSize(200, 150) << false << made << -1;
        QTest::newRow("avi") << QByteArray("d.avi") << video(u"avi"_s, {u"-c:v"_s, u"mjpeg"_s})
                             << QSize(256, 192) << QSize(320, 240) << QSize(200, 150) << false
                             << made << -1;
        QTest::newRow("mov") << QByteArray("e.mov") << video(u"mov"_s, h264) << QSize(256, 192)
                             << QSize(320, 240) << QSize(200, 150) << false << made << -1;
        // Nothing before the dot: the ending still names the kind, as it does for images.
        QTest::newRow("only an ending")
            << QByteArray(".mov") << video(u"mov"_s, h264) << QSize(256, 192) << QSize(320, 240)
            << QSize(200, 150) << false << made << -1;
        // Pixels twice as wide as high: shown as they are meant to be.
        QTest::newRow("wide pixels")
            << QByteArray("f.mp4") << video(u"mp4"_s, h264, u"320x240"_s, u"setsar=2/1"_s)
            << QSize(256, 96) << QSize(512, 192) << QSize(200, 75) << false << made << -1;
        QTest::newRow("turned") << QByteArray("g.mp4") << turned(mp4) << QSize(144, 256)
                                << QSize(288, 512) << QSize(113, 200) << true << made << -1;
        QTest::newRow("cut short") << QByteArray("h.mp4") << mp4.first(mp4.size() / 2) << QSize()
                                   << QSize() << QSize() << false << int(LeftOut::Unreadable) << -1;
        QTest::newRow("not a video")
            << QByteArray("i.mkv") << QByteArray(5000, '\x1a') << QSize() << QSize() << QSize()
            << false << int(LeftOut::Unreadable) << -1;
        // Only the demuxers of the formats named are used: fewer parsers for other people's files.
        QTest::newRow("stream of another kind")
            << QByteArray("k.mp4") << video(u"ts"_s, {u"-c:v"_s, u"mpeg2video"_s}) << QSize()
            << QSize() << QSize() << false << int(LeftOut::Unreadable) << -1;
        // 8K: its decoder could take more than all decodings together may.
        QTest::newRow("too large")
            << QByteArray("l.avi")
            << video(u"avi"_s, {u"-c:v"_s, u"mjpeg"_s, u"-frames:v"_s, u"1"_s}, u"7680x4320"_s)
            << QSize() << QSize() << QSize() << false << int(LeftOut::Memory) << -1;
        QTest::newRow("out of time") << QByteArray("j.mp4") << mp4 << QSize() << QSize() << QSize()
                                     << false << int(LeftOut::Time) << 0;
    }

    void posters()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, large);
        QFETCH(QSize, xlarge);
        QFETCH(QSize, shown);
        QFETCH(bool, upright);
        QFETCH(int, leftOut);
        QFETCH(int, budgetMs);
        QVERIFY(!bytes.isEmpty());
        if (budgetMs >= 0)
            qputenv("FOLIMBRA_DECODE_MS", QByteArray::number(budgetMs));
        const auto restore = qScopeGuard([] { qunsetenv("FOLIMBRA_DECODE_MS"); });
        TestFolder folder;
        QVERIFY(folder.addFile(name) && folder.append(name, bytes));

        const ThumbnailRun run = makeThumbnails(folder.path(), {name});
        QCOMPARE(run.leftOut, (std::array<int, leftOutKinds>{}));
        std::array<int, leftOutKinds> without{};
        if (leftOut != made)
            without[std::size_t(leftOut)] = 1;
        QCOMPARE(run.videosLeftOut, without);
        QCOMPARE(run.thumbnails.at(0).has_value(), leftOut == made);
        if (leftOut != made)
            return;
        const Thumbnail &poster = *run.thumbnails.at(0);
        QCOMPARE(QSize(poster.width, poster.height), shown);
        const QImage image = QImage::fromData(folder.read(poster.file));
        QCOMPARE(image.size(), large);
        QCOMPARE(QImage::fromData(folder.read(poster.largeFile)).size(), xlarge);
        QCOMPARE(QImage(image).text(u"Thumb::Size"_s), QString::number(bytes.size()));
        const int w = image.width(), h = image.height();
        const QRgb red = image.pixel(upright ? QPoint(w / 2, h / 8) : QPoint(w / 8, h / 2));
        const QRgb blue =
            image.pixel(upright ? QPoint(w / 2, h - h / 8) : QPoint(w - w / 8, h / 2));
        QVERIFY2(qRed(red) > 180 && qBlue(red) < 80, qPrintable(QColor(red).name()));
        QVERIFY2(qBlue(blue) > 180 && qRed(blue) < 80, qPrintable(QColor(blue).name()));
    }

    // Memory gone at any of libav's allocations leaves the video without a poster, and the next
    // run makes it.
    void starvedAllocations_data()
    {
        QTest::addColumn<QByteArray>("allocation");
        QTest::addColumn<int>("leftOut");

        QTest::newRow("reading buffer") << QByteArray("av_malloc") << int(LeftOut::Memory);
        QTest::newRow("demuxer") << QByteArray("avformat_alloc_context") << int(LeftOut::Memory);
        QTest::newRow("decoder") << QByteArray("avcodec_alloc_context3") << int(LeftOut::Memory);
        QTest::newRow("frame") << QByteArray("av_frame_alloc") << int(LeftOut::Unreadable);
        QTest::newRow("packet") << QByteArray("av_packet_alloc") << int(LeftOut::Unreadable);
    }

    void starvedAllocations()
    {
        QFETCH(QByteArray, allocation);
        QFETCH(int, leftOut);
        static const QByteArray mp4 =
            video(u"mp4"_s, {u"-c:v"_s, u"libx264"_s, u"-pix_fmt"_s, u"yuv420p"_s});
        QVERIFY(!mp4.isEmpty());
        TestFolder folder;
        QVERIFY(folder.addFile("a.mp4") && folder.append("a.mp4", mp4));

        starved = allocation;
        const ThumbnailRun run = makeThumbnails(folder.path(), {"a.mp4"});
        starved.clear();
        std::array<int, leftOutKinds> without{};
        without[std::size_t(leftOut)] = 1;
        QCOMPARE(run.videosLeftOut, without);
        QVERIFY(!run.thumbnails.at(0));
        QVERIFY(makeThumbnails(folder.path(), {"a.mp4"}).thumbnails.at(0));

        // Asked for a frame all the same, a decoder that failed gives none, and says why.
        const FileDescriptor fd(::open((folder.rawPath() + "a.mp4").constData(), O_RDONLY));
        starved = allocation;
        const std::unique_ptr<VideoDecoder> decoder =
            openVideo(fd.get(), mp4.size(), std::chrono::seconds(10));
        QVERIFY(decoder);
        const bool frame = !decoder->frame({20, 20}).isNull();
        starved.clear();
        QVERIFY(!frame);
        QCOMPARE(decoder->failure() ? int(*decoder->failure()) : -1, leftOut);
    }

    // The modern page with pictures shows the poster and lets its viewer play the video; without
    // pictures, or in the classic page, a video is a name like any other.
    void pages_data()
    {
        QTest::addColumn<PageStyle>("style");
        QTest::addColumn<bool>("thumbnails");
        QTest::addColumn<bool>("played");
        QTest::newRow("modern, pictures") << PageStyle::Modern << true << true;
        QTest::newRow("modern") << PageStyle::Modern << false << false;
        QTest::newRow("classic, pictures") << PageStyle::Classic << true << false;
    }

    void pages()
    {
        QFETCH(PageStyle, style);
        QFETCH(bool, thumbnails);
        QFETCH(bool, played);
        TestFolder folder;
        const QByteArray clip = video(u"webm"_s, {u"-c:v"_s, u"libvpx"_s});
        QVERIFY(folder.addFile("clip.webm") && folder.append("clip.webm", clip));
        QVERIFY(folder.addFile("roto.mp4") && folder.append("roto.mp4", "no video"));
        const FileDescriptor fd(::open(folder.rawPath().constData(), O_RDONLY | O_DIRECTORY));
        FolderPageRequest request;
        request.style = style;
        request.thumbnails = thumbnails;
        request.page.images = thumbnails;
        QVERIFY(writeFolderPage(folder.path(), fd.get(), request, {}).ok());
        const QByteArray page = folder.read("Quorvel-Html_index.html");
        const QByteArray poster = ".sh_thumbnails/large/" + thumbnailName("clip.webm");
        const QByteArray sharper = ".sh_thumbnails/x-large/" + thumbnailName("clip.webm");
        QCOMPARE(page.contains("<a href=clip.webm class=vd><img src=" + poster + " srcset=\""
                               + poster + " 1x, " + sharper + " 2x\""),
                 played);
        // No poster: the name alone, still played by the viewer.
        QCOMPARE(page.contains("<a href=roto.mp4 class=vd>roto.mp4</a>"), played);
        QCOMPARE(page.contains("media-src 'self' file:"), played);
        QCOMPARE(QFile::exists(folder.path() + QString::fromLatin1(poster)), played);
    }
};

QTEST_GUILESS_MAIN(TestVideos)
#include "tst_videos.moc"
