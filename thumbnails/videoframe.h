#pragma once

#include "leftout.h"

#include <QImage>
#include <QSize>

#include <chrono>
#include <memory>
#include <optional>

// A video's poster frame: the key frame a tenth of the way in (the first one in a short video),
// from a file read only through its descriptor, by the demuxers of those formats alone, none of
// which may open another file or address. Every read fails once the budget is spent.
class VideoFrame
{
public:
    VideoFrame(int fd, qint64 size, std::chrono::milliseconds budget);
    VideoFrame(const VideoFrame &) = delete;
    VideoFrame &operator=(const VideoFrame &) = delete;
    ~VideoFrame();

    // Why there is no frame to have; std::nullopt once the stream is open.
    std::optional<LeftOut> failure() const { return m_failure; }
    // The shape the frames are shown in: the pixels' aspect and the turn the file asks for
    // applied.
    QSize shown() const { return m_shown; }
    // What the decoder may hold at most, in bytes: its reference frames and the scaled picture.
    qint64 cost() const;
    // The poster scaled to `size` (in the shape shown), or a null image and failure() set.
    QImage frame(QSize size);

private:
    struct Stream;

    std::unique_ptr<Stream> m_stream;
    std::optional<LeftOut> m_failure;
    QSize m_stored;
    QSize m_shown;
    int m_quarterTurns = 0;
};

// Caps each single allocation of the video libraries, process-wide; quiets their log.
void limitVideoDecoders();
