#pragma once

#include "videodecoder.h"

#include <chrono>
#include <memory>

// A video's poster frame: the key frame a tenth of the way in (the first one in a short video),
// from a file read only through its descriptor, by the demuxers of those formats alone, none of
// which may open another file or address. Every read fails once the budget is spent. Where the
// video module cannot be loaded, every video is unreadable.
class VideoFrame
{
public:
    VideoFrame(int fd, qint64 size, std::chrono::milliseconds budget);
    VideoFrame(const VideoFrame &) = delete;
    VideoFrame &operator=(const VideoFrame &) = delete;
    ~VideoFrame();

    std::optional<LeftOut> failure() const;
    QSize shown() const;
    qint64 cost() const;
    QImage frame(QSize size);

private:
    std::unique_ptr<VideoDecoder> m_decoder;
};
