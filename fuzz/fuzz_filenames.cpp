// File names travel as bytes: decoding and encoding again gives back the very bytes, and the
// readable form shows every byte as a character.

#include "filenames.h"
#include "fuzzcheck.h"

#include <QStringDecoder>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw = QByteArrayView(data, qsizetype(size)).toByteArray().replace('\0', "");

    const QString name = decodeFileName(raw);
    require(encodeFileName(name) == raw, "encode(decode(bytes)) gives back the bytes");

    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString strict = utf8(raw);
    if (!utf8.hasError())
        require(name == strict, "valid UTF-8 decodes as UTF-8");

    const QString readable = readableFileName(name);
    for (qsizetype i = 0; i < readable.size(); ++i)
        require(!isEscapedByte(readable, i), "the readable name holds no escaped byte");
    return 0;
}
