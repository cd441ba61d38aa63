#include "imagedecode.h"

#include "photodate.h"
#include "pngfile.h"
#include "repository.h"
#include "videoframe.h"

#include <QDeadlineTimer>
#include <QImage>
#include <QImageReader>
#include <QIODevice>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jerror.h>
#include <jpeglib.h> // after <cstdio>, which it needs
#include <memory>
#include <mutex>

#include <unistd.h>

namespace {

// No photo comes near; a bomb is refused from its header before a byte is decoded.
constexpr qint64 pixelBudget = 100'000'000;
// For all decodings at once, whatever the number of cores.
constexpr qint64 memoryBudget = qint64(512) << 20;

// The image's file, read with a deadline: past it every read fails, which ends any decoder.
class DeadlineFile : public QIODevice
{
public:
    DeadlineFile(int fd, qint64 size, std::chrono::milliseconds budget)
        : m_fd(fd)
        , m_size(size)
        , m_deadline(budget)
    {
        QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }
    bool expired() const { return m_expired; }
    // The file's first bytes, where the last read left them in memory.
    QByteArrayView head() const
    {
        return m_start == 0 ? QByteArrayView(m_ahead) : QByteArrayView();
    }
    // For decoders that work on what they have read: asks the clock again.
    bool overdue()
    {
        m_expired = m_expired || m_deadline.hasExpired();
        return m_expired;
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_deadline.hasExpired()) {
            m_expired = true;
            return -1;
        }
        // Decoders ask for a few kilobytes at a time: one system call serves many of them. Each
        // request is served whole, as a plain file does: Qt's PNG reader loses a short read.
        qint64 done = 0;
        while (done < maxSize) {
            const qint64 at = pos() + done;
            if (at < m_start || at >= m_start + m_ahead.size()) {
                m_ahead.resize(readAhead);
                ssize_t got;
                do
                    got = ::pread(m_fd, m_ahead.data(), std::size_t(readAhead), off_t(at));
                while (got < 0 && errno == EINTR);
                m_ahead.resize(std::max<qsizetype>(got, 0));
                m_start = at;
                if (got <= 0)
                    return done > 0 ? done : got;
            }
            const qint64 count = std::min(maxSize - done, m_start + m_ahead.size() - at);
            std::memcpy(data + done, m_ahead.constData() + (at - m_start), std::size_t(count));
            done += count;
        }
        return done;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    int m_fd;
    qint64 m_size;
    QDeadlineTimer m_deadline;
    bool m_expired = false;
    static constexpr qsizetype readAhead = 256 << 10;
    QByteArray m_ahead;
    qint64 m_start = 0;
};

// Memory that decodings take from one budget: one that would take more than all of it is
// refused, the others wait for their turn.
class MemoryBudget
{
public:
    bool take(qint64 bytes)
    {
        if (bytes > memoryBudget)
            return false;
        std::unique_lock lock(m_mutex);
        m_freed.wait(lock, [&] { return m_used + bytes <= memoryBudget; });
        m_used += bytes;
        return true;
    }
    void give(qint64 bytes)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_used -= bytes;
        }
        m_freed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_freed;
    qint64 m_used = 0;
};

MemoryBudget &memory()
{
    static MemoryBudget budget;
    return budget;
}

struct Decoded
{
    std::optional<LeftOut> failure;
    QImage image;
    QSize oriented;
    std::optional<PhotoDate> taken = std::nullopt;
};

// JPEG through libjpeg itself: it writes 32-bit pixels as the thumbnails want them, where Qt's
// reader decodes to 24 bits and converts every row, a tenth of the work left beside the decoding.
// Fatal errors come back through a long jump, so what it fills lives behind pointers.
struct JpegErrors
{
    jpeg_error_mgr manager;
    std::jmp_buf failed;
};

struct JpegSource
{
    jpeg_source_mgr manager;
    DeadlineFile *file;
    JOCTET buffer[64 << 10];
};

void sayJpegMessage(j_common_ptr info)
{
    char text[JMSG_LENGTH_MAX];
    (*info->err->format_message)(info, text);
    qWarning("%s", text);
}

// Out of time: the caller says so, the decoder need not.
[[noreturn]] void stopJpeg(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegErrors *>(info->err)->failed, 1);
}

[[noreturn]] void failJpeg(j_common_ptr info)
{
    (*info->err->output_message)(info);
    stopJpeg(info);
}

boolean fillJpegInput(j_decompress_ptr info)
{
    auto *source = reinterpret_cast<JpegSource *>(info->src);
    const qint64 got =
        source->file->read(reinterpret_cast<char *>(source->buffer), qint64(sizeof source->buffer));
    if (got <= 0) {
        if (source->file->expired())
            stopJpeg(reinterpret_cast<j_common_ptr>(info));
        // A cut file shows what it has, as Qt's reader does: a made-up end marker.
        WARNMS(info, JWRN_JPEG_EOF);
        source->buffer[0] = 0xFF;
        source->buffer[1] = JPEG_EOI;
        source->manager.next_input_byte = source->buffer;
        source->manager.bytes_in_buffer = 2;
        return TRUE;
    }
    source->manager.next_input_byte = source->buffer;
    source->manager.bytes_in_buffer = std::size_t(got);
    return TRUE;
}

void skipJpegInput(j_decompress_ptr info, long count)
{
    jpeg_source_mgr &source = *info->src;
    while (count > long(source.bytes_in_buffer)) {
        count -= long(source.bytes_in_buffer);
        (*source.fill_input_buffer)(info);
    }
    if (count > 0) {
        source.next_input_byte += count;
        source.bytes_in_buffer -= std::size_t(count);
    }
}

void checkJpegTime(j_common_ptr info)
{
    auto *source = reinterpret_cast<JpegSource *>(reinterpret_cast<j_decompress_ptr>(info)->src);
    if (source->file->overdue())
        stopJpeg(info);
}

enum class JpegRead {
    Done,
    Failed,
    NotRgb // CMYK and the like: Qt's reader knows their colours
};

// Decodes at 1/divisor into `out` (Format_RGB32).
JpegRead readJpeg(DeadlineFile &file, int divisor, QImage *out)
{
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = failJpeg;
    errors.manager.output_message = sayJpegMessage;
    auto source = std::make_unique<JpegSource>();
    source->file = &file;
    source->manager.init_source = [](j_decompress_ptr) {
    };
    source->manager.fill_input_buffer = fillJpegInput;
    source->manager.skip_input_data = skipJpegInput;
    source->manager.resync_to_restart = jpeg_resync_to_restart;
    source->manager.term_source = [](j_decompress_ptr) {
    };
    jpeg_progress_mgr progress = {};
    progress.progress_monitor = checkJpegTime;
    if (setjmp(errors.failed)) {
        jpeg_destroy_decompress(&info);
        return JpegRead::Failed;
    }
    jpeg_create_decompress(&info);
    info.src = &source->manager;
    info.progress = &progress;
    jpeg_read_header(&info, TRUE);
    if (info.out_color_space != JCS_RGB && info.out_color_space != JCS_GRAYSCALE) {
        jpeg_destroy_decompress(&info);
        return JpegRead::NotRgb;
    }
    info.out_color_space = JCS_EXT_BGRA; // 0xAARRGGBB in memory, alpha set
    info.scale_num = 1;
    info.scale_denom = unsigned(divisor);
    jpeg_start_decompress(&info);
    *out = QImage(int(info.output_width), int(info.output_height), QImage::Format_RGB32);
    if (out->isNull())
        ERREXIT(&info, JERR_OUT_OF_MEMORY);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out->scanLine(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return JpegRead::Done;
}

// What Qt's reader does for an Exif orientation.
QImage orient(QImage picture, QImageIOHandler::Transformations transformation)
{
    picture = std::move(picture).mirrored(transformation & QImageIOHandler::TransformationMirror,
                                          transformation & QImageIOHandler::TransformationFlip);
    if (transformation & QImageIOHandler::TransformationRotate90)
        picture = picture.transformed(QTransform().rotate(90));
    return picture;
}

// Decodes the image oriented and already shrunk to cover `edge`, within the budgets.
Decoded decodeVideo(const ImageSource &image, int edge, std::chrono::milliseconds budget)
{
    const std::unique_ptr<VideoDecoder> video = openVideo(image.fd, image.st.st_size, budget);
    if (!video)
        return {LeftOut::Unreadable, {}, {}};
    if (video->failure())
        return {video->failure(), {}, {}};
    if (!memory().take(video->cost()))
        return {LeftOut::Memory, {}, {}};
    QImage picture = video->frame(fitWithin(video->shown(), edge, false));
    memory().give(video->cost());
    if (picture.isNull())
        return {video->failure(), {}, {}};
    return {std::nullopt, std::move(picture), video->shown()};
}

Decoded decode(const ImageSource &image, int edge, std::chrono::milliseconds budget)
{
    if (image.video)
        return decodeVideo(image, edge, budget);
    DeadlineFile file(image.fd, image.st.st_size, budget);
    QImageReader reader(&file);
    reader.setAutoTransform(true);
    QSize stored = reader.size();
    // Qt gives a top-down BMP the height its header holds, negative: without this, such a file
    // would pass as one of unknown size, beyond both budgets.
    if (stored.height() < 0 && reader.format() == "bmp")
        stored.setHeight(int(std::min(-qint64(stored.height()), qint64(INT_MAX))));
    // A header that took all the time (a slow disk, a huge preamble) is no sign of a bad image.
    if (file.expired())
        return {LeftOut::Time, {}, {}};
    // The Exif segment is in what the header's read brought in: no read of its own.
    const QByteArrayView head = file.head();
    std::optional<PhotoDate> taken =
        head.size() >= std::min<qint64>(image.st.st_size, photoHeaderBytes)
            ? photoDateFromHeader(head.first(std::min(head.size(), photoHeaderBytes)))
            : readPhotoDate(image.fd);
    if (!stored.isValid() && reader.format().isEmpty())
        return {LeftOut::Unreadable, {}, {}};
    if (stored.isValid() && qint64(stored.width()) * stored.height() > pixelBudget)
        return {LeftOut::Pixels, {}, {}};
    // Only JPEG decodes to a smaller size natively, at 1/2, 1/4 and 1/8; other formats scale
    // a whole decoded picture.
    const bool jpeg = reader.format() == "jpeg";
    int divisor = 1;
    if (jpeg && stored.isValid()) {
        // The smallest that still covers the thumbnail; the last, smooth step is ours.
        const QSize wanted = fitWithin(stored, edge, false);
        for (const int by : {8, 4, 2}) {
            const QSize scaled((stored.width() + by - 1) / by, (stored.height() + by - 1) / by);
            if (scaled.width() >= wanted.width() && scaled.height() >= wanted.height()) {
                reader.setScaledSize(scaled);
                divisor = by;
                break;
            }
        }
    }
    // What a decoder holds at most: for JPEG the scaled picture and a whole-image coefficient
    // buffer when it is progressive; else the whole picture, 8 bytes a pixel if 16-bit.
    const QImage::Format format = reader.imageFormat();
    const qint64 pixels = stored.isValid() ? qint64(stored.width()) * stored.height() : 0;
    const QSize scaled = reader.scaledSize().isValid() ? reader.scaledSize() : stored;
    const bool wide = format == QImage::Format_RGBA64 || format == QImage::Format_RGBX64
                      || format == QImage::Format_RGBA64_Premultiplied
                      || format == QImage::Format_Grayscale16;
    const qint64 cost =
        jpeg ? qint64(scaled.width()) * scaled.height() * 4 + pixels * 3 : pixels * (wide ? 8 : 4);
    if (!memory().take(cost))
        return {LeftOut::Memory, {}, {}};
    const QImageIOHandler::Transformations transformation = reader.transformation();
    const bool turned = transformation & QImageIOHandler::TransformationRotate90;
    QImage picture;
    if (!jpeg || !stored.isValid()) {
        picture = reader.read();
    } else if (const JpegRead read =
                   file.seek(0) ? readJpeg(file, divisor, &picture) : JpegRead::Failed;
               read == JpegRead::Done) {
        picture = orient(std::move(picture), transformation);
    } else if (read == JpegRead::NotRgb && file.seek(0)) {
        // Qt's reader has read the header already: another starts from the top.
        QImageReader again(&file, "jpeg");
        again.setAutoTransform(true);
        again.setScaledSize(reader.scaledSize());
        picture = again.read();
    } else {
        picture = QImage(); // what a failure left half-decoded
    }
    memory().give(cost);
    if (file.expired())
        return {LeftOut::Time, {}, {}};
    if (picture.isNull())
        return {LeftOut::Unreadable, {}, {}};
    const QSize oriented =
        stored.isValid() ? (turned ? stored.transposed() : stored) : picture.size();
    return {std::nullopt, std::move(picture), oriented, taken};
}

// The 256 one from the 512 one is an exact half: four pixels averaged, a third of the time of
// Qt's general smooth scaling and the same picture.
QImage shrunk(const QImage &picture, QSize target)
{
    if (picture.format() != QImage::Format_RGB32 || picture.width() != target.width() * 2
        || picture.height() != target.height() * 2)
        return picture.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage half(target, QImage::Format_RGB32);
    // Two channels at a time in each 32-bit sum: four bytes add up to 10 bits at most.
    constexpr quint32 mask = 0x00FF00FFu;
    constexpr quint32 rounding = 0x00020002u;
    for (int y = 0; y < target.height(); ++y) {
        const auto *top = reinterpret_cast<const quint32 *>(picture.constScanLine(2 * y));
        const auto *bottom = reinterpret_cast<const quint32 *>(picture.constScanLine(2 * y + 1));
        auto *out = reinterpret_cast<quint32 *>(half.scanLine(y));
        for (int x = 0; x < target.width(); ++x) {
            const quint32 a = top[2 * x], b = top[2 * x + 1], c = bottom[2 * x],
                          d = bottom[2 * x + 1];
            const quint32 blueRed = (a & mask) + (b & mask) + (c & mask) + (d & mask) + rounding;
            const quint32 green = ((a >> 8) & mask) + ((b >> 8) & mask) + ((c >> 8) & mask)
                                  + ((d >> 8) & mask) + rounding;
            out[x] = ((blueRed >> 2) & mask) | (((green >> 2) & mask) << 8) | 0xFF000000u;
        }
    }
    return half;
}

QByteArray thumbnailPng(const QImage &thumbnail, const ImageSource &image, QSize oriented)
{
    return encodePng(thumbnail, Repository::thumbnailKeys(image.uri, image.st, oriented));
}

} // namespace

QSize fitWithin(QSize size, int edge, bool enlarge)
{
    const int longest = std::max(size.width(), size.height());
    if (longest <= 0 || (longest <= edge && !enlarge))
        return size;
    const auto scale = [&](int side) {
        return std::max(1, int((qint64(side) * edge * 2 + longest) / (qint64(longest) * 2)));
    };
    return {scale(size.width()), scale(size.height())};
}

EncodedThumbnails encodeThumbnails(const ImageSource &image,
                                   std::array<bool, thumbnailSizes> wanted,
                                   std::chrono::milliseconds budget)
{
    EncodedThumbnails made;
    int edge = 0;
    for (int s = 0; s < thumbnailSizes; ++s)
        edge = wanted[s] ? thumbnailEdges[s] : edge;
    if (edge == 0)
        return made;
    Decoded decoded = decode(image, edge, budget);
    made.taken = decoded.taken;
    if (decoded.failure) {
        made.failure = decoded.failure;
        return made;
    }
    made.oriented = decoded.oriented;
    // From the largest down, each from the one before: the same decode serves both.
    QImage picture = std::move(decoded.image);
    for (int s = thumbnailSizes - 1; s >= 0; --s) {
        if (!wanted[s])
            continue;
        const QSize target = fitWithin(made.oriented, thumbnailEdges[s], false);
        if (picture.size() != target)
            picture = shrunk(picture, target);
        made.pngs[s] = thumbnailPng(picture, image, made.oriented);
    }
    return made;
}

void limitImageReaders()
{
    // For the formats whose size is not known ahead.
    QImageReader::setAllocationLimit(int(memoryBudget >> 20));
}
