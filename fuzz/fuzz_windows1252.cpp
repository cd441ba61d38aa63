// The page's code page: what is written, read back as Windows-1252 with its numeric references
// resolved, is the text given, so no character is lost or stands in for another.

#include "codepagefile.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString text = unitsFrom(data, size);
    for (qsizetype i = 0; i < text.size(); ++i) {
        QChar &c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            c = QChar(0xFFFD);
        // A literal "&#65;" would read back as "A": the page writer escapes "&" before this.
        else if (c == u'&')
            c = QChar(0xFF06);
    }

    const QByteArray bytes = toWindows1252(text);
    const QString latin = QString::fromLatin1(bytes);
    QString read;
    for (qsizetype i = 0; i < latin.size(); ++i) {
        if (latin[i] == u'&') {
            const std::optional<Reference> reference = referenceAt(latin, i);
            require(reference && latin[i + 1] == u'#', "\"&\" only starts a numeric reference");
            appendCodePoint(read, reference->codePoint);
            i += reference->length - 1;
        } else {
            read += QChar(windows1252Character(uint8_t(bytes[i])));
        }
    }
    require(read == text, "Windows-1252 with references reads back as the text");
    return 0;
}
