// The page's code page: what is written, read back as Windows-1252 with its numeric references
// resolved, is the text given, so no character is lost or stands in for another.

#include "fuzzcheck.h"
#include "windows1252.h"

#include <QList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Lone surrogates become U+FFFD; a literal "&#65;" would read back as "A", and the page writer
    // escapes "&" before this.
    const QList<uint> ucs4 = unitsFrom(data, size).toUcs4();
    const QString text =
        QString::fromUcs4(reinterpret_cast<const char32_t *>(ucs4.constData()), ucs4.size())
            .replace(u'&', QChar(0xFF06));

    const QByteArray bytes = toWindows1252(text);
    const QString latin = QString::fromLatin1(bytes);
    QString read;
    for (qsizetype i = 0; i < latin.size(); ++i) {
        if (latin[i] == u'&') {
            const std::optional<Reference> reference = referenceAt(latin, i);
            require(reference && latin[i + 1] == u'#', "\"&\" only starts a numeric reference");
            read += QChar::fromUcs4(reference->codePoint);
            i += reference->length - 1;
        } else {
            read += QChar(windows1252Character(uint8_t(bytes[i])));
        }
    }
    require(read == text, "Windows-1252 with references reads back as the text");
    return 0;
}
