#pragma once

#include "leftout.h"
#include "photodate.h"

#include <QByteArray>
#include <QSize>

#include <array>
#include <chrono>
#include <optional>

#include <sys/stat.h>

// One image's thumbnails from its bytes, apart from the folder, the repository and the files
// they go to: what makeThumbnails does for each image it decodes, and what the fuzzer feeds.

inline constexpr int thumbnailSizes = 2;
// "large" and "x-large".
inline constexpr std::array<int, thumbnailSizes> thumbnailEdges = {256, 512};

struct ImageSource
{
    int fd = -1;         // open for reading; only read with pread, so its offset does not matter
    struct stat st = {}; // its size bounds the reads; its time and size go into the keys
    QByteArray uri;      // the Thumb::URI key
    bool video = false;  // a video, whose poster frame is the picture
};

struct EncodedThumbnails
{
    std::optional<LeftOut> failure;
    QSize oriented; // the image's size once turned as its Exif says
    // A PNG for each edge wanted; empty for the others, or where the picture could not be had.
    std::array<QByteArray, thumbnailSizes> pngs;
    // When the photo was taken, from the Exif data the decoding read anyway.
    std::optional<PhotoDate> taken;
};

// Decodes the image once, within `budget` and the memory all decodings share, and makes a PNG
// for each edge in `wanted` from it.
EncodedThumbnails encodeThumbnails(const ImageSource &image,
                                   std::array<bool, thumbnailSizes> wanted,
                                   std::chrono::milliseconds budget);

// Qt's own ceiling for what its readers allocate, process-wide: set before decoding.
void limitImageReaders();

// The size scaled to fit a square of `edge`, keeping its shape; smaller sizes stay as they are
// unless `enlarge`.
QSize fitWithin(QSize size, int edge, bool enlarge);
