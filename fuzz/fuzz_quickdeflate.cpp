// The thumbnails' deflate: zlib reads back exactly the bytes given, whatever runs they hold. A
// byte of 0xFF followed by n stands for n × 37 zeros, so long runs are within the fuzzer's reach.

#include "fuzzcheck.h"
#include "quickdeflate.h"

#include <zlib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 1 < size)
            bytes.append(qsizetype(data[++i]) * 37, '\0');
        else
            bytes.append(char(data[i]));
    }
    const QByteArray packed =
        quickZlib(reinterpret_cast<const uchar *>(bytes.constData()), bytes.size());
    QByteArray unpacked(bytes.size() + 1, '?');
    uLongf length = uLongf(unpacked.size());
    const int status =
        ::uncompress(reinterpret_cast<Bytef *>(unpacked.data()), &length,
                     reinterpret_cast<const Bytef *>(packed.constData()), uLong(packed.size()));
    require(status == Z_OK, "zlib reads the stream to its end and its check");
    unpacked.truncate(qsizetype(length));
    require(unpacked == bytes, "zlib reads back the bytes given");
    return 0;
}
