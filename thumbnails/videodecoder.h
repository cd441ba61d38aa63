#pragma once

#include "leftout.h"

#include <QImage>
#include <QSize>

#include <optional>

// A video's poster decoder, as the video module gives it. The module alone links the video
// libraries, whose hundred-odd dependencies would otherwise be loaded by every start of the
// program; it is loaded on the first video.
class VideoDecoder
{
public:
    virtual ~VideoDecoder() = default;

    // Why there is no frame to have; std::nullopt once the stream is open.
    virtual std::optional<LeftOut> failure() const = 0;
    // The shape the frames are shown in: the pixels' aspect and the turn the file asks for
    // applied.
    virtual QSize shown() const = 0;
    // What the decoder may hold at most, in bytes: its reference frames and the scaled picture.
    virtual qint64 cost() const = 0;
    // The poster scaled to `size` (in the shape shown), or a null image and failure() set.
    virtual QImage frame(QSize size) = 0;
};

// The module's one entry: a decoder of the video open at `fd`, `size` bytes long, whose reads
// all fail once `budgetMs` milliseconds are spent. The caller owns it.
using OpenVideo = VideoDecoder *(int fd, qint64 size, qint64 budgetMs);
inline constexpr char openVideoSymbol[] = "folimbraOpenVideo";
