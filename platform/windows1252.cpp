#include "windows1252.h"

namespace {

int highByte(char32_t c)
{
    for (int i = 0; i < 32; ++i) {
        if (windows1252High[i] == c && c != 0)
            return 0x80 + i;
    }
    return -1;
}

void appendReference(std::string &out, char32_t c)
{
    out += "&#";
    out += std::to_string(unsigned(c));
    out += ';';
}

} // namespace

void appendWindows1252(std::string &out, QStringView text)
{
    const char16_t *units = text.utf16();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        // ASCII and U+00A0 to U+00FF are the same bytes in Windows-1252: most of a page is
        // copied a run at a time.
        qsizetype same = i;
        while (same < n && (units[same] < 0x80 || (units[same] >= 0xA0 && units[same] <= 0xFF)))
            ++same;
        if (same > i) {
            const std::size_t at = out.size();
            out.resize(at + std::size_t(same - i));
            char *to = out.data() + at;
            for (; i < same; ++i)
                *to++ = char(units[i]);
            if (i == n)
                break;
        }
        const char16_t u = units[i];
        char32_t c = u;
        if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(units[i + 1]))
            c = QChar::surrogateToUcs4(u, units[++i]);
        else if (QChar::isSurrogate(u))
            c = 0xFFFD;
        // Everything else becomes a reference, also what a converter would drop as ignorable
        // (U+200B, joiners, variation selectors): two names must never show the same.
        if (const int byte = highByte(c); byte >= 0)
            out += char(byte);
        else
            appendReference(out, c);
    }
}

QByteArray toWindows1252(QStringView text)
{
    std::string out;
    appendWindows1252(out, text);
    return QByteArray(out.data(), qsizetype(out.size()));
}
