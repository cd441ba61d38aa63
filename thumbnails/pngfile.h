#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QSize>

#include <optional>
#include <utility>
#include <vector>

struct PngFile
{
    QSize size;
    QHash<QByteArray, QByteArray> text;
};

// The size and text keys of the PNG open at `fd`, `size` bytes long, read from its chunks
// without reading its pixels; std::nullopt if its chunks do not hold together from the header
// to the end.
std::optional<PngFile> readPng(int fd, qint64 size);

// 8 bits a channel with alpha and not interlaced, whatever the image was, and the keys as tEXt
// before the pixels: Qt's writer turns values of 40 characters or more into zTXt, which many
// readers never look at. Qt's writer also tries every filter on every row, which took about as
// long as the deflate; on photos "Sub" everywhere loses little to that. The deflate is ours, at
// twice the speed of the fastest general one for a file about a tenth larger.
QByteArray encodePng(const QImage &picture,
                     const std::vector<std::pair<QByteArray, QByteArray>> &keys);
