#pragma once

#include "videodecoder.h"

#include <chrono>
#include <memory>

// A video's poster frame: the key frame a tenth of the way in (the first one in a short video),
// from a file read only through its descriptor, by the demuxers of those formats alone, none of
// which may open another file or address. Every read fails once the budget is spent. nullptr
// where the video module cannot be loaded.
std::unique_ptr<VideoDecoder> openVideo(int fd, qint64 size, std::chrono::milliseconds budget);
