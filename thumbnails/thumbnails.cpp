#include "thumbnails.h"

#include "appinfo.h"
#include "filedescriptor.h"
#include "filenames.h"
#include "filereplacement.h"
#include "imagedecode.h"
#include "quickdeflate.h"
#include "thumbnailcaches.h"
#include "workpool.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QHash>
#include <QImage>
#include <QImageReader>
#include <QIODevice>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <jerror.h>
#include <jpeglib.h> // after <cstdio>, which it needs
#include <libdeflate.h>
#include <memory>
#include <mutex>
#include <variant>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int shownEdge = 200; // the picture's box on the page
constexpr qint64 largestThumbnailFile = 8 << 20;
// No photo comes near; a bomb is refused from its header before a byte is decoded.
constexpr qint64 pixelBudget = 100'000'000;
// For all decodings at once, whatever the number of cores.
constexpr qint64 memoryBudget = qint64(512) << 20;
constexpr std::chrono::milliseconds longestDecode = std::chrono::seconds(10);
const QByteArray repositoryFolder = ".sh_thumbnails";
const QByteArray software = "Quorvel Folimbra";

constexpr int sizeCount = thumbnailSizes;
const QByteArray sizeFolders[sizeCount] = {"large", "x-large"}; // of thumbnailEdges

// The size scaled to fit a square of `edge`, keeping its shape; smaller sizes stay as they are
// unless `enlarge`.
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

quint32 bigEndian(const char *p)
{
    return quint32(quint8(p[0])) << 24 | quint32(quint8(p[1])) << 16 | quint32(quint8(p[2])) << 8
           | quint8(p[3]);
}

void appendBigEndian(QByteArray &out, quint32 value)
{
    for (const int shift : {24, 16, 8, 0})
        out += char(value >> shift);
}

const QByteArray pngSignature = "\x89PNG\r\n\x1a\n";

struct PngFile
{
    QSize size;
    QHash<QByteArray, QByteArray> text;
};

// The size and text keys of a PNG, read from its chunks without decoding it; std::nullopt if
// its chunks do not hold together from the header to the end.
std::optional<PngFile> readPng(const QByteArray &bytes)
{
    if (!bytes.startsWith(pngSignature))
        return std::nullopt;
    PngFile png;
    for (qsizetype at = pngSignature.size(); at + 12 <= bytes.size();) {
        const quint32 length = bigEndian(bytes.constData() + at);
        if (length > quint32(bytes.size() - at - 12))
            return std::nullopt;
        const QByteArray type = bytes.mid(at + 4, 4);
        const QByteArray data = bytes.mid(at + 8, length);
        at += 12 + qsizetype(length);
        if (type == "IHDR" && length >= 8)
            png.size =
                QSize(int(bigEndian(data.constData())), int(bigEndian(data.constData() + 4)));
        else if (png.size.isEmpty())
            return std::nullopt;
        const qsizetype end = data.indexOf('\0');
        if (type == "IEND")
            return png;
        if (end <= 0)
            continue;
        const QByteArray key = data.left(end);
        if (type == "tEXt") {
            png.text.insert(key, data.mid(end + 1));
        } else if (type == "zTXt" && end + 2 <= data.size()) {
            // qUncompress wants the size first; it is only a hint.
            QByteArray packed;
            appendBigEndian(packed, 4096);
            png.text.insert(key, qUncompress(packed + data.mid(end + 2)));
        } else if (type == "iTXt" && end + 2 < data.size() && data[end + 1] == 0) {
            const qsizetype language = data.indexOf('\0', end + 3);
            const qsizetype translated = language < 0 ? -1 : data.indexOf('\0', language + 1);
            if (translated > 0)
                png.text.insert(key, data.mid(translated + 1));
        }
    }
    return std::nullopt;
}

void appendChunk(QByteArray &png, const QByteArray &typeAndData)
{
    appendBigEndian(png, quint32(typeAndData.size() - 4));
    png += typeAndData;
    appendBigEndian(
        png, quint32(libdeflate_crc32(0, typeAndData.data(), std::size_t(typeAndData.size()))));
}

// 8 bits a channel with alpha and not interlaced, whatever the image was, and the keys as tEXt
// before the pixels: Qt's writer turns values of 40 characters or more into zTXt, which many
// readers never look at. Qt's writer also tries every filter on every row, which took about as
// long as the deflate; on photos "Sub" everywhere loses little to that. The deflate is ours, at
// twice the speed of the fastest general one for a file about a tenth larger.
QByteArray encodePng(const QImage &picture,
                     const std::vector<std::pair<QByteArray, QByteArray>> &keys)
{
    // JPEGs come as RGB32: read as it is, not converted to bytes first.
    const bool opaque = picture.format() == QImage::Format_RGB32;
    const QImage argb = opaque || picture.format() == QImage::Format_ARGB32
                            ? picture
                            : picture.convertToFormat(QImage::Format_ARGB32);
    if (argb.isNull())
        return {};
    const int width = argb.width();
    const qsizetype row = qsizetype(width) * 4;
    QByteArray rows((row + 1) * argb.height(), Qt::Uninitialized);
    std::vector<uchar> line(std::size_t(row) + 4, 0);
    const quint32 opaqueBits = opaque ? 0xFF000000u : 0;
    char *out = rows.data();
    for (int y = 0; y < argb.height(); ++y) {
        // 0xAARRGGBB to the bytes R, G, B, A; then Sub, each byte less the same channel of the
        // pixel before. Two plain loops the compiler turns into vector code.
        const auto *pixel = reinterpret_cast<const quint32 *>(argb.constScanLine(y));
        uchar *bytes = line.data() + 4;
        for (int x = 0; x < width; ++x) {
            const quint32 p = pixel[x];
            const quint32 rgba =
                ((p >> 16) & 0xFFu) | (p & 0xFF00FF00u) | ((p & 0xFFu) << 16) | opaqueBits;
            std::memcpy(bytes + 4 * x, &rgba, 4);
        }
        *out++ = 1;
        const uchar *before = line.data();
        for (qsizetype x = 0; x < row; ++x)
            out[x] = char(bytes[x] - before[x]);
        out += row;
    }
    QByteArray header = "IHDR";
    appendBigEndian(header, quint32(argb.width()));
    appendBigEndian(header, quint32(argb.height()));
    header += QByteArrayView("\x08\x06\x00\x00\x00", 5); // depth 8, RGBA, not interlaced
    QByteArray png = pngSignature;
    appendChunk(png, header);
    for (const auto &[key, value] : keys)
        appendChunk(png, "tEXt" + key + '\0' + value);
    QByteArray pixels =
        "IDAT" + quickZlib(reinterpret_cast<const uchar *>(rows.constData()), rows.size());
    appendChunk(png, pixels);
    appendChunk(png, "IEND");
    return png;
}

// Reads a whole regular file, opened without following a link at its name and without blocking
// on a FIFO; `st` is the file's status.
std::optional<QByteArray> readSmallFile(int fd, const struct stat &st)
{
    if (!S_ISREG(st.st_mode) || st.st_size > largestThumbnailFile)
        return std::nullopt;
    QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::nullopt;
        done += got;
    }
    return bytes;
}

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

// The decoders speak through Qt's messages; while any run decodes they are gathered for it.
struct DecoderMessages
{
    std::mutex mutex;
    int runs = 0;
    QtMessageHandler previous = nullptr;
    QStringList texts;
};

DecoderMessages &decoderMessages()
{
    static DecoderMessages messages;
    return messages;
}

void gatherMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    DecoderMessages &messages = decoderMessages();
    const std::lock_guard lock(messages.mutex);
    if (type == QtFatalMsg && messages.previous)
        messages.previous(type, context, text);
    if (!messages.texts.contains(text))
        messages.texts << text;
}

class MessageCatcher
{
public:
    MessageCatcher()
    {
        DecoderMessages &messages = decoderMessages();
        const std::lock_guard lock(messages.mutex);
        if (messages.runs++ == 0)
            messages.previous = qInstallMessageHandler(gatherMessage);
    }
    MessageCatcher(const MessageCatcher &) = delete;
    MessageCatcher &operator=(const MessageCatcher &) = delete;
    // What was said since; each text goes to one run only.
    QStringList finish()
    {
        DecoderMessages &messages = decoderMessages();
        const std::lock_guard lock(messages.mutex);
        if (--messages.runs == 0)
            qInstallMessageHandler(messages.previous);
        return std::exchange(messages.texts, {});
    }
};

struct Image
{
    FileDescriptor fd;
    struct stat st = {};
    QByteArray uri;
    QByteArray name; // of its thumbnails
};

enum class Entry {
    Missing,
    OwnFresh,
    OwnStale,
    ForeignFresh,
    ForeignStale
};

struct Found
{
    Entry entry = Entry::Missing;
    QSize shown;   // the image's oriented size, as the entry tells it
    int error = 0; // why an entry there could not be read, where the disk is at fault
};

// Another user's entry, or a link, is not ours to read: only the disk failing is worth telling.
int readFailure(int error)
{
    return error == ENOENT || error == EACCES || error == EPERM || error == ELOOP ? 0 : error;
}

mode_t thumbnailMode(const Image &image)
{
    return image.st.st_mode & 0666;
}

// Whether the entry lets in anyone the image does not.
bool moreOpen(const struct stat &entry, const Image &image)
{
    const mode_t extra = entry.st_mode & 0666 & ~thumbnailMode(image);
    return extra != 0 || (entry.st_gid != image.st.st_gid && (entry.st_mode & 0060) != 0);
}

bool matches(const QHash<QByteArray, QByteArray> &text, const char *key, const QByteArray &value,
             bool required)
{
    const auto found = text.constFind(key);
    return found == text.cend() ? !required : *found == value;
}

// What stands at the thumbnail's name, and whether it still shows the image. Our own entries
// get the image's mode and group back if they drifted.
Found inspect(int repository, const Image &image)
{
    struct stat st;
    if (::fstatat(repository, image.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {errno == ENOENT ? Entry::Missing : Entry::ForeignStale, {}, readFailure(errno)};
    errno = 0;
    const FileDescriptor fd(::openat(repository, image.name.constData(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::optional<QByteArray> bytes;
    if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0 || !(bytes = readSmallFile(fd.get(), st)))
        return {Entry::ForeignStale, {}, readFailure(errno)};
    const std::optional<PngFile> png = readPng(*bytes);
    if (!png)
        return {Entry::ForeignStale, {}};
    const bool own = png->text.value("Software").startsWith(software + ' ');
    // Another program's entry may leave out the keys; what it gives must be right.
    const bool fresh =
        matches(png->text, "Thumb::URI", image.uri, own)
        && matches(png->text, "Thumb::MTime", QByteArray::number(qint64(image.st.st_mtim.tv_sec)),
                   own)
        && matches(png->text, "Thumb::Size", QByteArray::number(image.st.st_size), own);
    const QSize original(png->text.value("Thumb::Image::Width").toInt(),
                         png->text.value("Thumb::Image::Height").toInt());
    const QSize shown = original.isEmpty() ? png->size : original;
    if (!own)
        return {fresh ? Entry::ForeignFresh : Entry::ForeignStale, shown};
    if (fresh && moreOpen(st, image)) {
        // chmod on the image keeps its time: its thumbnail follows it on every run.
        [[maybe_unused]] const int owned = ::fchown(fd.get(), uid_t(-1), image.st.st_gid);
        [[maybe_unused]] const int moded = ::fchmod(fd.get(), thumbnailMode(image));
        if (::fstat(fd.get(), &st) != 0 || moreOpen(st, image))
            return {Entry::OwnStale, shown};
    }
    return {fresh ? Entry::OwnFresh : Entry::OwnStale, shown};
}

struct Decoded
{
    std::optional<LeftOut> failure;
    QImage image;
    QSize oriented;
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
Decoded decode(const ImageSource &image, int edge, std::chrono::milliseconds budget)
{
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
    return {std::nullopt, std::move(picture), oriented};
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
    return encodePng(thumbnail,
                     {{"Thumb::URI", image.uri},
                      {"Thumb::MTime", QByteArray::number(qint64(image.st.st_mtim.tv_sec))},
                      {"Thumb::Size", QByteArray::number(image.st.st_size)},
                      {"Thumb::Image::Width", QByteArray::number(oriented.width())},
                      {"Thumb::Image::Height", QByteArray::number(oriented.height())},
                      {"Software", software + ' ' + AppInfo::versionText().toLatin1()}});
}

QByteArray temporaryStem()
{
    return ".folimbra-" + QByteArray::number(::getpid()) + '-';
}

// Complete but under a hidden name in `batch`, which makes it durable and puts it in place with
// the others: one sync for the run instead of one wait per file. A crash before leaves only hidden
// files, which the next run removes; never a short PNG under the thumbnail's name.
// Returns 0 or why the thumbnail could not be saved.
int save(int repository, const Image &image, const QByteArray &png, ReplacementBatch &batch)
{
    ReplacementOptions options;
    options.mode = int(thumbnailMode(image));
    options.group = int(image.st.st_gid);
    options.inPlace = false;
    options.temporaryStem = temporaryStem();
    if (png.isEmpty())
        return EINVAL;
    FileReplacement file;
    if (file.open(repository, image.name, options)
        && file.write(std::string_view(png.constData(), std::size_t(png.size())))
        && file.commit(&batch))
        return 0;
    return file.error() != 0 ? file.error() : EIO;
}

// Whose files the folder's page shows, and where: a link is followed only to what its owner
// can read inside it.
struct Folder
{
    int fd = -1;
    std::chrono::milliseconds decodeBudget = longestDecode;
    struct stat st = {};
    QByteArray path; // as the kernel names it, with a final "/"; empty if unknown
    int repositories[sizeCount] = {-1, -1};
};

QByteArray pathOf(int fd)
{
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    QByteArray path(4096, Qt::Uninitialized);
    const ssize_t length = ::readlink(link, path.data(), std::size_t(path.size()));
    if (length <= 0 || length >= path.size())
        return {};
    path.truncate(length);
    return path;
}

bool ownerCanRead(const struct stat &file, const struct stat &folder)
{
    if (folder.st_uid == 0)
        return true;
    if (file.st_uid == folder.st_uid)
        return file.st_mode & S_IRUSR;
    if (file.st_gid == folder.st_gid)
        return file.st_mode & S_IRGRP;
    return file.st_mode & S_IROTH;
}

// Opens the image; for a link, only where it may be shown.
std::optional<LeftOut> openImage(const Folder &folder, const QByteArray &rawName, Image &image)
{
    struct stat named;
    if (::fstatat(folder.fd, rawName.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return LeftOut::Unreadable;
    const bool link = S_ISLNK(named.st_mode);
    // O_NONBLOCK: a FIFO named like a photo must not hold the page up.
    image.fd.reset(::openat(folder.fd, rawName.constData(),
                            O_RDONLY | O_NONBLOCK | O_CLOEXEC | (link ? 0 : O_NOFOLLOW)));
    if (!image.fd.isOpen() || ::fstat(image.fd.get(), &image.st) != 0 || !S_ISREG(image.st.st_mode))
        return link ? LeftOut::Link : LeftOut::Unreadable;
    if (link
        && (folder.path.isEmpty() || !pathOf(image.fd.get()).startsWith(folder.path)
            || !ownerCanRead(image.st, folder.st)))
        return LeftOut::Link;
    return std::nullopt;
}

QByteArray thumbnailUri(const QByteArray &rawName)
{
    // A relative URI of one path segment, escaped as GLib's file names are, which is how
    // readers compute the name.
    return "./" + rawName.toPercentEncoding("!$&'()*+,=:@");
}

using Outcome = std::variant<Thumbnail, LeftOut>;

QByteArray thumbnailFile(int size, const QByteArray &name)
{
    return repositoryFolder + '/' + sizeFolders[size] + '/' + name;
}

// `written` takes the new thumbnails, `writtenSizes` says which size each is.
Outcome thumbnailOf(const Folder &folder, const QByteArray &rawName, ReplacementBatch &written,
                    std::vector<int> &writtenSizes, std::vector<ThumbnailRun::Failure> &failures)
{
    Image image;
    if (const std::optional<LeftOut> refused = openImage(folder, rawName, image))
        return *refused;
    image.uri = thumbnailUri(rawName);
    image.name = QCryptographicHash::hash(image.uri, QCryptographicHash::Md5).toHex() + ".png";

    Found found[sizeCount];
    std::array<bool, sizeCount> wanted{};
    for (int s = 0; s < sizeCount; ++s) {
        if (folder.repositories[s] < 0) {
            found[s].entry = Entry::ForeignStale;
            continue;
        }
        found[s] = inspect(folder.repositories[s], image);
        if (found[s].error != 0)
            failures.push_back(
                {thumbnailFile(s, image.name), found[s].error, ThumbnailRun::Failure::Read});
        wanted[s] = found[s].entry == Entry::Missing || found[s].entry == Entry::OwnStale;
    }
    // Not ours to replace, and out of date: the page shows the image itself.
    if (found[0].entry == Entry::ForeignStale)
        return LeftOut::Foreign;
    QSize oriented = found[0].shown;
    bool usable[sizeCount] = {};
    if (std::find(wanted.begin(), wanted.end(), true) != wanted.end()) {
        const EncodedThumbnails encoded =
            encodeThumbnails({image.fd.get(), image.st, image.uri}, wanted, folder.decodeBudget);
        if (encoded.failure)
            return *encoded.failure;
        oriented = encoded.oriented;
        for (int s = sizeCount - 1; s >= 0; --s) {
            if (!wanted[s])
                continue;
            const std::size_t before = written.size();
            const int error = save(folder.repositories[s], image, encoded.pngs[s], written);
            usable[s] = error == 0;
            if (error != 0 && !encoded.pngs[s].isEmpty())
                failures.push_back({thumbnailFile(s, image.name), error});
            if (written.size() > before)
                writtenSizes.push_back(s);
        }
        if (found[0].entry == Entry::OwnStale || found[0].entry == Entry::Missing) {
            if (!usable[0])
                return LeftOut::Unreadable;
        }
    }
    for (int s = 0; s < sizeCount; ++s)
        usable[s] =
            usable[s] || found[s].entry == Entry::OwnFresh || found[s].entry == Entry::ForeignFresh;
    if (!usable[0] || oriented.isEmpty())
        return LeftOut::Unreadable;
    const QSize box = fitWithin(oriented, shownEdge, true);
    return Thumbnail{thumbnailFile(0, image.name),
                     usable[1] ? thumbnailFile(1, image.name) : QByteArray(), box.width(),
                     box.height()};
}

enum class Opened {
    Yes,
    Refused,
    Failed
};

// Opens a folder of the repository below `parent`, making it first if missing, with the mode
// and group given whatever the umask. A link or file planted at the name is refused rather than
// followed, so thumbnails never land outside the folder.
Opened openRepository(int parent, const QByteArray &name, mode_t mode, gid_t group,
                      FileDescriptor &fd)
{
    const bool made = ::mkdirat(parent, name.constData(), 0700) == 0;
    if (!made && errno != EEXIST)
        return Opened::Failed;
    fd.reset(::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isOpen())
        return errno == ELOOP || errno == ENOTDIR ? Opened::Refused : Opened::Failed;
    if (made) {
        if (::fchown(fd.get(), uid_t(-1), group) != 0)
            mode &= ~mode_t(070);
        [[maybe_unused]] const int moded = ::fchmod(fd.get(), mode);
        return Opened::Yes;
    }
    // One made before (by hand, or by a run that knew less) and ours: closed to others' writing
    // and sticky where the folder is, but never opened wider, as its owner may keep it private.
    // Another user's is left as it is.
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && st.st_uid == ::geteuid()) {
        const mode_t wanted = (st.st_mode & 07777 & ~mode_t(S_IWOTH)) | (mode & S_ISVTX);
        if (wanted != (st.st_mode & 07777)) [[maybe_unused]]
            const int moded = ::fchmod(fd.get(), wanted);
    }
    return Opened::Yes;
}

// Temporary files that runs of this program left when they were killed.
void removeLeftovers(int repository)
{
    const int fd = ::openat(repository, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name = entry->d_name;
        if (!name.startsWith(".folimbra-"))
            continue;
        const qsizetype dash = name.indexOf('-', 10);
        bool number = false;
        const int pid = name.mid(10, dash - 10).toInt(&number);
        if (number && dash > 10 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            ::unlinkat(repository, name.constData(), 0);
    }
    ::closedir(dir);
}

} // namespace

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

QByteArray thumbnailName(const QByteArray &rawName)
{
    return QCryptographicHash::hash(thumbnailUri(rawName), QCryptographicHash::Md5).toHex()
           + ".png";
}

ThumbnailRun makeThumbnails(const QString &folder, const std::vector<QByteArray> &rawNames)
{
    const FileDescriptor folderFd(
        ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.isOpen()) {
        ThumbnailRun run;
        run.thumbnails.resize(rawNames.size());
        run.leftOut[int(LeftOut::Unreadable)] = int(rawNames.size());
        return run;
    }
    return makeThumbnails(folderFd.get(), rawNames);
}

ThumbnailRun makeThumbnails(int folderFd, const std::vector<QByteArray> &rawNames)
{
    ThumbnailRun run;
    run.thumbnails.resize(rawNames.size());
    Folder folder;
    folder.fd = folderFd;
    // Shorter for tests, which must run out of it without a slow image.
    bool set = false;
    const int budget = qEnvironmentVariableIntValue("FOLIMBRA_DECODE_MS", &set);
    if (set && budget >= 0)
        folder.decodeBudget = std::chrono::milliseconds(budget);
    if (rawNames.empty())
        return run;
    if (::fstat(folderFd, &folder.st) != 0) {
        run.failures.push_back({{}, errno, ThumbnailRun::Failure::ReadFolder});
        return run;
    }
    if (isInThumbnailFolder(folderFd)) {
        run.thumbnailFolder = true;
        return run;
    }
    folder.path = pathOf(folderFd);
    if (!folder.path.isEmpty() && !folder.path.endsWith('/'))
        folder.path += '/';
    // Whoever may list the folder may list its thumbnails, but others may never write there:
    // they could swap anyone's thumbnails. Sticky stays sticky.
    const mode_t mode = folder.st.st_mode & 03775;
    FileDescriptor repository;
    FileDescriptor repositories[sizeCount];
    // A folder we may not write to is no fault of the run's; a disk that fails or is full is.
    const auto failed = [&run](const QByteArray &file) {
        if (errno != EACCES && errno != EPERM && errno != EROFS)
            run.failures.push_back({file, errno, ThumbnailRun::Failure::MakeFolder});
    };
    Opened opened = openRepository(folderFd, repositoryFolder, mode, folder.st.st_gid, repository);
    if (opened == Opened::Failed)
        failed(repositoryFolder + '/');
    for (int s = 0; s < sizeCount && opened == Opened::Yes; ++s) {
        const Opened one = openRepository(repository.get(), sizeFolders[s], mode, folder.st.st_gid,
                                          repositories[s]);
        if (one == Opened::Failed)
            failed(repositoryFolder + '/' + sizeFolders[s] + '/');
        // Without "large" there is nothing to show; without "x-large", only no sharper one.
        if (s == 0 || one == Opened::Refused)
            opened = one;
        folder.repositories[s] = repositories[s].get();
        if (repositories[s].isOpen())
            removeLeftovers(repositories[s].get());
    }
    if (opened != Opened::Yes) {
        run.noRepository = opened == Opened::Refused;
        if (!run.noRepository)
            run.leftOut[int(LeftOut::Unreadable)] = int(rawNames.size());
        return run;
    }
    limitImageReaders();

    MessageCatcher catcher;
    std::vector<Outcome> outcomes(rawNames.size(), LeftOut::Unreadable);
    // Each waiting thumbnail holds its folder open: a round of images goes in place before the
    // descriptors run short.
    const std::size_t round = ReplacementBatch::room(8);
    WorkPool &pool = WorkPool::instance();
    for (std::size_t first = 0; first < rawNames.size(); first += round) {
        const std::size_t end = std::min(rawNames.size(), first + round);
        ReplacementBatch waiting;
        std::vector<std::pair<std::size_t, int>> waitingSizes; // image, size
        std::mutex gathering;
        std::atomic<std::size_t> next = first;
        pool.run(int(std::min(std::size_t(pool.size()), end - first - 1)), [&](int) {
            for (std::size_t i; (i = next++) < end;) {
                ReplacementBatch written;
                std::vector<int> made;
                std::vector<ThumbnailRun::Failure> failed;
                outcomes[i] = thumbnailOf(folder, rawNames[i], written, made, failed);
                const std::lock_guard lock(gathering);
                waiting.append(written);
                for (const int s : made)
                    waitingSizes.emplace_back(i, s);
                run.failures.insert(run.failures.end(), failed.begin(), failed.end());
            }
        });
        const std::vector<int> errors = waiting.commit();
        for (std::size_t k = 0; k < errors.size(); ++k) {
            const auto [i, s] = waitingSizes[k];
            auto *made = std::get_if<Thumbnail>(&outcomes[i]);
            if (errors[k] == 0)
                continue;
            run.failures.push_back({thumbnailFile(s, thumbnailName(rawNames[i])), errors[k]});
            if (!made)
                continue;
            if (s == 0)
                outcomes[i] = LeftOut::Unreadable;
            else
                made->largeFile.clear();
        }
    }
    run.decoderMessages = catcher.finish();
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (const auto *made = std::get_if<Thumbnail>(&outcomes[i]))
            run.thumbnails[i] = *made;
        else
            ++run.leftOut[int(std::get<LeftOut>(outcomes[i]))];
    }
    return run;
}
