#include "videodecoder.h"

#include <QDeadlineTimer>
#include <QTransform>

#include <cerrno>
#include <cmath>
#include <memory>
#include <mutex>

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace {

// The demuxers of the formats named; a file of another kind (a playlist, say) is not opened.
constexpr const char *videoDemuxers = "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi";
constexpr qint64 pixelBudget = 100'000'000; // as for pictures
// Packets read past the seek before giving up on a picture.
constexpr int packetBudget = 2000;

} // namespace

// The poster of one video, by libavformat and libavcodec.
class LibavFrame final : public VideoDecoder
{
public:
    LibavFrame(int fd, qint64 size, std::chrono::milliseconds budget);
    ~LibavFrame() override;

    std::optional<LeftOut> failure() const override { return m_failure; }
    QSize shown() const override { return m_shown; }
    qint64 cost() const override;
    QImage frame(QSize size) override;

private:
    struct Stream;

    std::unique_ptr<Stream> m_stream;
    std::optional<LeftOut> m_failure;
    QSize m_stored;
    QSize m_shown;
    int m_quarterTurns = 0;
};

struct LibavFrame::Stream
{
    int fd = -1;
    qint64 size = 0;
    qint64 at = 0;
    QDeadlineTimer deadline;
    AVIOContext *io = nullptr;
    AVFormatContext *format = nullptr;
    AVCodecContext *codec = nullptr;
    int index = -1;

    ~Stream()
    {
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        if (io)
            av_freep(&io->buffer);
        avio_context_free(&io);
    }

    static int read(void *opaque, uint8_t *buffer, int wanted)
    {
        auto *stream = static_cast<Stream *>(opaque);
        if (stream->deadline.hasExpired())
            return AVERROR_EXIT;
        ssize_t got;
        do
            got = ::pread(stream->fd, buffer, std::size_t(wanted), off_t(stream->at));
        while (got < 0 && errno == EINTR);
        if (got < 0)
            return AVERROR(errno);
        if (got == 0)
            return AVERROR_EOF;
        stream->at += got;
        return int(got);
    }

    static int64_t seek(void *opaque, int64_t offset, int whence)
    {
        auto *stream = static_cast<Stream *>(opaque);
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return stream->size;
        case SEEK_SET:
            break;
        case SEEK_CUR:
            offset += stream->at;
            break;
        case SEEK_END:
            offset += stream->size;
            break;
        default:
            return AVERROR(EINVAL);
        }
        if (offset < 0)
            return AVERROR(EINVAL);
        stream->at = offset;
        return offset;
    }

    // Past the deadline every read failed: the file may be sound.
    LeftOut unread() const { return deadline.hasExpired() ? LeftOut::Time : LeftOut::Unreadable; }

    static int interrupted(void *opaque)
    {
        return static_cast<Stream *>(opaque)->deadline.hasExpired();
    }

    // Nothing the file names is ever opened: not a reference, not a next part.
    static int openNothing(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
    {
        return AVERROR(EPERM);
    }
};

LibavFrame::LibavFrame(int fd, qint64 size, std::chrono::milliseconds budget)
    : m_stream(std::make_unique<Stream>())
{
    Stream &s = *m_stream;
    s.fd = fd;
    s.size = size;
    s.deadline = QDeadlineTimer(budget);
    m_failure = LeftOut::Unreadable;
    constexpr int bufferSize = 64 << 10;
    auto *buffer = static_cast<unsigned char *>(av_malloc(bufferSize));
    s.io = buffer ? avio_alloc_context(buffer, bufferSize, 0, &s, &Stream::read, nullptr,
                                       &Stream::seek)
                  : nullptr;
    if (!s.io) {
        av_free(buffer);
        m_failure = LeftOut::Memory;
        return;
    }
    s.format = avformat_alloc_context();
    if (!s.format) {
        m_failure = LeftOut::Memory;
        return;
    }
    s.format->pb = s.io;
    s.format->flags |= AVFMT_FLAG_CUSTOM_IO;
    s.format->format_whitelist = av_strdup(videoDemuxers);
    s.format->io_open = &Stream::openNothing;
    s.format->interrupt_callback = {&Stream::interrupted, &s};
    s.format->probesize = 5 << 20;
    s.format->max_analyze_duration = 5 * AV_TIME_BASE;
    if (avformat_open_input(&s.format, nullptr, nullptr, nullptr) < 0) {
        // Closed and freed by the failure.
        s.format = nullptr;
        m_failure = s.unread();
        return;
    }
    if (avformat_find_stream_info(s.format, nullptr) < 0) {
        m_failure = s.unread();
        return;
    }
    const AVCodec *decoder = nullptr;
    s.index = av_find_best_stream(s.format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (s.index < 0 || !decoder) {
        m_failure = s.unread();
        return;
    }
    const AVStream *video = s.format->streams[s.index];
    const AVCodecParameters *parameters = video->codecpar;
    if (parameters->width <= 0 || parameters->height <= 0) {
        m_failure = s.unread();
        return;
    }
    m_stored = QSize(parameters->width, parameters->height);
    if (qint64(parameters->width) * parameters->height > pixelBudget) {
        m_failure = LeftOut::Pixels;
        return;
    }
    AVRational aspect = av_guess_sample_aspect_ratio(s.format, s.format->streams[s.index], nullptr);
    qint64 width = parameters->width;
    if (aspect.num > 0 && aspect.den > 0)
        width = std::clamp<qint64>(width * aspect.num / aspect.den, 1, 4 * pixelBudget);
    m_shown = QSize(int(std::min<qint64>(width, INT_MAX)), parameters->height);
    if (const auto *matrix = reinterpret_cast<const int32_t *>(
            av_stream_get_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, nullptr))) {
        // Counterclockwise degrees; phones store upright portrait video as landscape turned.
        const double degrees = av_display_rotation_get(matrix);
        if (std::isfinite(degrees))
            m_quarterTurns = ((int(std::lround(-degrees / 90)) % 4) + 4) % 4;
        if (m_quarterTurns % 2)
            m_shown.transpose();
    }
    s.codec = avcodec_alloc_context3(decoder);
    if (!s.codec || avcodec_parameters_to_context(s.codec, parameters) < 0) {
        m_failure = LeftOut::Memory;
        return;
    }
    // The pool runs one video to a core already.
    s.codec->thread_count = 1;
    if (avcodec_open2(s.codec, decoder, nullptr) < 0) {
        m_failure = s.unread();
        return;
    }
    m_failure = std::nullopt;
}

LibavFrame::~LibavFrame() = default;

qint64 LibavFrame::cost() const
{
    // Up to sixteen reference frames and a few in flight, at a byte and a half a pixel (4:2:0),
    // and the scaled picture: a 4K video takes a half of all decodings' memory, an 8K one more
    // than all of it. Single allocations are capped besides (folimbraOpenVideo).
    return qint64(m_stored.width()) * m_stored.height() * 30;
}

QImage LibavFrame::frame(QSize size)
{
    if (m_failure || size.isEmpty())
        return {};
    Stream &s = *m_stream;
    const AVStream *video = s.format->streams[s.index];
    if (video->duration > 0)
        av_seek_frame(s.format, s.index,
                      video->start_time != AV_NOPTS_VALUE ? video->start_time + video->duration / 10
                                                          : video->duration / 10,
                      AVSEEK_FLAG_BACKWARD);
    else if (s.format->duration > 0)
        av_seek_frame(s.format, -1, s.format->duration / 10, AVSEEK_FLAG_BACKWARD);
    AVPacket *packet = av_packet_alloc();
    AVFrame *decoded = av_frame_alloc();
    bool got = false;
    bool draining = false;
    for (int packets = 0; packet && decoded && !got && packets < packetBudget; ++packets) {
        if (!draining) {
            const int read = av_read_frame(s.format, packet);
            if (read < 0) {
                draining = true;
                avcodec_send_packet(s.codec, nullptr);
            } else if (packet->stream_index != s.index) {
                av_packet_unref(packet);
                continue;
            } else {
                const int sent = avcodec_send_packet(s.codec, packet);
                av_packet_unref(packet);
                if (sent < 0 && sent != AVERROR(EAGAIN))
                    break;
            }
        }
        const int received = avcodec_receive_frame(s.codec, decoded);
        if (received == 0)
            got = decoded->width > 0 && decoded->height > 0
                  && qint64(decoded->width) * decoded->height <= pixelBudget;
        else if (received != AVERROR(EAGAIN) || draining)
            break;
    }
    av_packet_free(&packet);
    QImage picture;
    if (got) {
        // Scaled in the frame's own orientation, turned after.
        const QSize scaled = m_quarterTurns % 2 ? size.transposed() : size;
        picture = QImage(scaled, QImage::Format_RGB32);
        SwsContext *scaler = sws_getContext(
            decoded->width, decoded->height, AVPixelFormat(decoded->format), scaled.width(),
            scaled.height(), AV_PIX_FMT_RGB32, SWS_AREA, nullptr, nullptr, nullptr);
        uint8_t *planes[] = {picture.bits()};
        const int strides[] = {int(picture.bytesPerLine())};
        if (!scaler || picture.isNull()
            || sws_scale(scaler, decoded->data, decoded->linesize, 0, decoded->height, planes,
                         strides)
                   != scaled.height())
            picture = QImage();
        sws_freeContext(scaler);
        if (!picture.isNull() && m_quarterTurns != 0)
            picture = picture.transformed(QTransform().rotate(90 * m_quarterTurns));
    }
    av_frame_free(&decoded);
    if (picture.isNull())
        m_failure = s.unread();
    return picture;
}

extern "C" Q_DECL_EXPORT VideoDecoder *folimbraOpenVideo(int fd, qint64 size, qint64 budgetMs)
{
    static std::once_flag limited;
    std::call_once(limited, [] {
        // Each single allocation capped, process-wide; the log quiet.
        av_max_alloc(256 << 20);
        av_log_set_level(AV_LOG_QUIET);
    });
    return new LibavFrame(fd, size, std::chrono::milliseconds(budgetMs));
}
