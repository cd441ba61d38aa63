#include "htmltext.h"

#include "filenames.h"

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

} // namespace

void appendHtmlText(QString &out, QStringView text)
{
    for (QChar c : text) {
        // A line break inside a name would split the page's CR LF lines.
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            out += u"&#";
            out += QString::number(c.unicode());
            out += u';';
        } else if (!appendCharacterReference(out, c)) {
            out += c;
        }
    }
}

void appendLinkTarget(QString &out, QStringView name)
{
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t u = name[i].unicode();
        const bool pairedLow = i > 0 && name[i - 1].isHighSurrogate();
        if (isEscapedByte(u) && !pairedLow) {
            appendPercentByte(out, u - 0xDC00);
        } else if (u < 0x20 || u == 0x7F || u == u'%' || u == u'#' || u == u'?' || u == u':'
                   || u == u'\\') {
            appendPercentByte(out, u);
        } else if (u >= 0x80 && u <= 0x9F) {
            appendPercentByte(out, 0xC0 | (u >> 6)); // C1 controls, as UTF-8
            appendPercentByte(out, 0x80 | (u & 0x3F));
        } else if (!appendCharacterReference(out, name[i])) {
            out += name[i];
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
