#include "htmltext.h"

#include "filenames.h"

#include <algorithm>
#include <iterator>

namespace {

void appendPercentByte(QString &out, unsigned byte)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    out += u'%';
    out += QChar(hex[byte >> 4]);
    out += QChar(hex[byte & 0xF]);
}

bool appendCharacterReference(QString &out, QChar c)
{
    switch (c.unicode()) {
    case u'&':
        out += u"&amp;";
        return true;
    case u'<':
        out += u"&lt;";
        return true;
    case u'>':
        out += u"&gt;";
        return true;
    case u'"':
        out += u"&quot;";
        return true;
    default:
        return false;
    }
}

void appendText(QString &out, QStringView text, bool inElement)
{
    for (QChar c : text) {
        // A line break inside a name would split the page's CR LF lines.
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            out += u"&#";
            out += QString::number(c.unicode());
            out += u';';
        } else if (isDeceptiveControl(c.unicode())) {
            // As a reference it would still be the character itself to the browser.
            if (inElement)
                out += u"<kbd>";
            appendControlMark(out, c.unicode());
            if (inElement)
                out += u"</kbd>";
        } else if (!appendCharacterReference(out, c)) {
            out += c;
        }
    }
}

} // namespace

void appendHtmlText(QString &out, QStringView text)
{
    appendText(out, text, true);
}

void appendHtmlPlainText(QString &out, QStringView text)
{
    appendText(out, text, false);
}

void appendLinkTarget(QString &out, QStringView name)
{
    const bool ascii =
        std::all_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x80; });
    QByteArray encoded;
    if (!ascii)
        encoded = encodeFileName(name);
    const qsizetype n = ascii ? name.size() : encoded.size();
    auto byteAt = [&](qsizetype i) -> unsigned {
        return ascii ? name[i].unicode() : quint8(encoded[i]);
    };

    qsizetype firstKept = 0;
    while (firstKept < n && byteAt(firstKept) == u' ')
        ++firstKept;
    qsizetype endKept = n;
    while (endKept > firstKept && byteAt(endKept - 1) == u' ')
        --endKept;

    for (qsizetype i = 0; i < n; ++i) {
        const unsigned byte = byteAt(i);
        const bool outerBlank = byte == u' ' && (i < firstKept || i >= endKept);
        if (byte >= 0x80 || byte < 0x20 || byte == 0x7F || outerBlank || byte == u'%'
            || byte == u'#' || byte == u'?' || byte == u':' || byte == u'\\' || byte == u'|') {
            appendPercentByte(out, byte);
        } else if (!appendCharacterReference(out, QChar(char16_t(byte)))) {
            out += QChar(char16_t(byte));
        }
    }
}

bool needsAttributeQuotes(QStringView value)
{
    if (value.isEmpty())
        return true;
    for (QChar c : value) {
        switch (c.unicode()) {
        case u' ':
        case u'\t':
        case u'\n':
        case u'\f':
        case u'\r':
        case u'"':
        case u'\'':
        case u'=':
        case u'<':
        case u'>':
        case u'`':
            return true;
        default:
            break;
        }
    }
    return false;
}

void appendAttributeValue(QString &out, QStringView value, void (*append)(QString &, QStringView))
{
    const bool quoted = needsAttributeQuotes(value);
    if (quoted)
        out += u'"';
    append(out, value);
    if (quoted)
        out += u'"';
}

void appendNumber(QString &out, qint64 value, int width)
{
    char16_t digits[24];
    char16_t *end = digits + std::size(digits);
    char16_t *start = end;
    const bool negative = value < 0;
    quint64 left = negative ? 0 - quint64(value) : quint64(value);
    do {
        *--start = char16_t(u'0' + left % 10);
        left /= 10;
    } while (left != 0 || end - start < width);
    if (negative)
        *--start = u'-';
    out.append(QStringView(start, end));
}
