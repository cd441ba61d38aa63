#include "filenames.h"

#include "windows1252.h"

namespace {

constexpr char16_t escapeBase = 0xDC00;

// Length of the valid UTF-8 sequence at p (at most end - p bytes), or 0 if there is none.
int validSequenceLength(const unsigned char *p, const unsigned char *end, char32_t &codePoint)
{
    const unsigned char lead = *p;
    int length;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (end - p < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (p[i] & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

void appendUtf8(QByteArray &out, char32_t c)
{
    if (c < 0x80) {
        out.append(char(c));
    } else if (c < 0x800) {
        out.append(char(0xC0 | (c >> 6)));
        out.append(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.append(char(0xE0 | (c >> 12)));
        out.append(char(0x80 | ((c >> 6) & 0x3F)));
        out.append(char(0x80 | (c & 0x3F)));
    } else {
        out.append(char(0xF0 | (c >> 18)));
        out.append(char(0x80 | ((c >> 12) & 0x3F)));
        out.append(char(0x80 | ((c >> 6) & 0x3F)));
        out.append(char(0x80 | (c & 0x3F)));
    }
}

} // namespace

QString decodeFileName(QByteArrayView raw)
{
    QString out;
    decodeFileName(raw, out);
    return out;
}

void decodeFileName(QByteArrayView raw, QString &out)
{
    const auto *p = reinterpret_cast<const unsigned char *>(raw.data());
    const auto *end = p + raw.size();
    out.resize(raw.size());
    char16_t *dst = reinterpret_cast<char16_t *>(out.data());
    char16_t *const start = dst;
    while (p < end) {
        if (*p < 0x80) {
            *dst++ = *p++;
            continue;
        }
        char32_t c;
        const int length = validSequenceLength(p, end, c);
        if (length == 0) {
            *dst++ = char16_t(escapeBase + *p++);
        } else if (c < 0x10000) {
            *dst++ = char16_t(c);
            p += length;
        } else {
            *dst++ = char16_t(0xD7C0 + (c >> 10));
            *dst++ = char16_t(0xDC00 | (c & 0x3FF));
            p += length;
        }
    }
    out.truncate(dst - start);
}

QByteArray encodeFileName(QStringView name)
{
    QByteArray out;
    out.reserve(name.size() * 3);
    const qsizetype n = name.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = name[i].unicode();
        if (u < 0x80) {
            out.append(char(u));
        } else if (QChar::isHighSurrogate(u) && i + 1 < n
                   && QChar::isLowSurrogate(name[i + 1].unicode())) {
            appendUtf8(out, QChar::surrogateToUcs4(u, name[i + 1].unicode()));
            ++i;
        } else if (isEscapedByte(name, i)) {
            out.append(char(u - escapeBase));
        } else if (QChar::isSurrogate(u)) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

QString readableFileName(QStringView name)
{
    QString out = name.toString();
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!isEscapedByte(name, i))
            continue;
        const int byte = name[i].unicode() - escapeBase;
        const char16_t high = byte < 0xA0 ? windows1252High[byte - 0x80] : char16_t(byte);
        out[i] = high ? QChar(high) : QChar::ReplacementCharacter;
    }
    return out;
}

bool isDeceptiveControl(char32_t c)
{
    switch (c) {
    case 0x00AD: // soft hyphen
    case 0x061C: // Arabic letter mark
    case 0x200B: // zero-width space
    case 0x200E: // left-to-right mark
    case 0x200F: // right-to-left mark
    case 0x2060: // word joiner
    case 0xFEFF: // zero-width no-break space
        return true;
    default:
        return (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E)
               || (c >= 0x2066 && c <= 0x2069);
    }
}

void appendControlMark(QString &out, char32_t c)
{
    out += u"[U+";
    out += QString::number(uint(c), 16).toUpper().rightJustified(4, u'0');
    out += u']';
}

QString shownFileName(QStringView name)
{
    const QString readable = readableFileName(name);
    QString out;
    out.reserve(readable.size());
    for (QChar c : readable) {
        if (isDeceptiveControl(c.unicode()))
            appendControlMark(out, c.unicode());
        else
            out += c;
    }
    return out;
}

QByteArray fileUrl(QStringView path)
{
    return "file://" + encodeFileName(path).toPercentEncoding("/");
}
