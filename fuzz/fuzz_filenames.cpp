// File names travel as bytes: decoding and encoding again gives back the very bytes, and the
// readable form shows every byte as a character; a name in valid UTF-8 reads as UTF-8 does, a
// leading U+FEFF included.

#include "filenames.h"
#include "fuzzcheck.h"

#include <QStringDecoder>

#include <string>

namespace {

// Valid UTF-8 of the input, three bytes a character; the first picks the sequence's length, so
// that three-byte ones (Devanagari, Thai) come up as often as four-byte ones.
QByteArray validUtf8(const uint8_t *data, size_t size)
{
    static constexpr char32_t first[] = {1, 0x80, 0x800, 0x10000},
                              span[] = {0x7F, 0x780, 0xF800, 0x100000};
    std::u32string text;
    for (size_t i = 0; i + 3 <= size; i += 3) {
        const char32_t c =
            first[data[i] & 3]
            + ((data[i] >> 2) << 16 | data[i + 1] << 8 | data[i + 2]) % span[data[i] & 3];
        if (c < 0xD800 || c > 0xDFFF)
            text += c;
    }
    return QString::fromUcs4(text.data(), qsizetype(text.size())).toUtf8();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw = QByteArrayView(data, qsizetype(size)).toByteArray().replace('\0', "");

    const QString name = decodeFileName(raw);
    require(encodeFileName(name) == raw, "encode(decode(bytes)) gives back the bytes");

    const QByteArray valid = validUtf8(data, size);
    const QString read = decodeFileName(valid);
    // fromUtf8 drops a leading U+FEFF as a byte-order mark; a name keeps it.
    const QString utf8 =
        QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom)(valid);
    require(read == utf8, "valid UTF-8 decodes as a UTF-8 decoder that keeps U+FEFF does");
    require(encodeFileName(read) == valid, "valid UTF-8 reads back unchanged");

    const QString readable = readableFileName(name);
    for (qsizetype i = 0; i < readable.size(); ++i)
        require(!isEscapedByte(readable, i), "the readable name holds no escaped byte");
    return 0;
}
