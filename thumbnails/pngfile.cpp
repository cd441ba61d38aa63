#include "pngfile.h"

#include "quickdeflate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libdeflate.h>

#include <unistd.h>

namespace {

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

void appendChunk(QByteArray &png, const QByteArray &typeAndData)
{
    appendBigEndian(png, quint32(typeAndData.size() - 4));
    png += typeAndData;
    appendBigEndian(
        png, quint32(libdeflate_crc32(0, typeAndData.data(), std::size_t(typeAndData.size()))));
}

// Reads a file a block at a time from where it is asked: a thumbnail's header and keys come in
// its first block, its end in one more.
struct PngBlock
{
    int fd;
    qint64 size;
    qint64 start = 0;
    QByteArray block = {};

    bool read(qint64 at, qint64 length, QByteArray &out)
    {
        if (at < start || at + length > start + block.size()) {
            block.resize(qsizetype(std::min(std::max<qint64>(length, 4096), size - at)));
            start = at;
            qsizetype done = 0;
            while (done < block.size()) {
                const ssize_t got = ::pread(fd, block.data() + done,
                                            std::size_t(block.size() - done), off_t(at + done));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0) {
                    block.clear();
                    return false;
                }
                done += got;
            }
            if (length > block.size())
                return false;
        }
        out = block.mid(qsizetype(at - start), qsizetype(length));
        return true;
    }
};

} // namespace

std::optional<PngFile> readPng(int fd, qint64 size)
{
    // The chunks are walked by their headers; only the header and the text are read, never
    // the pixels, which are nearly all of a thumbnail.
    PngBlock file{fd, size};
    QByteArray signature;
    if (!file.read(0, pngSignature.size(), signature) || signature != pngSignature)
        return std::nullopt;
    PngFile png;
    QByteArray header;
    QByteArray data;
    for (qint64 at = pngSignature.size(); at + 12 <= size;) {
        if (!file.read(at, 8, header))
            return std::nullopt;
        const quint32 length = bigEndian(header.constData());
        if (length > quint64(size - at - 12))
            return std::nullopt;
        const QByteArray type = header.mid(4);
        const bool wanted = type == "IHDR" || type == "tEXt" || type == "zTXt" || type == "iTXt";
        data.clear();
        if (wanted && !file.read(at + 8, length, data))
            return std::nullopt;
        at += 12 + qint64(length);
        if (type == "IHDR" && length >= 8)
            png.size =
                QSize(int(bigEndian(data.constData())), int(bigEndian(data.constData() + 4)));
        else if (png.size.isEmpty())
            return std::nullopt;
        if (type == "IEND")
            return png;
        const qsizetype end = data.indexOf('\0');
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
