// Names on the page: shown text and attribute values hold no markup, and a link, read as a
// browser reads it, opens the file of exactly that name.

#include "codepagefile.h"
#include "filenames.h"
#include "fuzzcheck.h"
#include "htmltext.h"

#include <QList>

#include <cctype>

namespace {

bool isControl(char16_t c)
{
    return c < 0x20 || c == 0x7F;
}

// No raw "<", ">", double quote or control character, and "&" only where a reference starts.
bool isEscaped(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'<' || c == u'>' || c == u'"' || isControl(c))
            return false;
        if (c == u'&' && !referenceAt(text, i))
            return false;
    }
    return true;
}

// Character references resolved as an HTML parser resolves them in text and attribute values.
QString decodeReferences(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const std::optional<Reference> reference =
            text[i] == u'&' ? referenceAt(text, i) : std::nullopt;
        if (!reference) {
            out += text[i];
            continue;
        }
        char32_t c = reference->codePoint;
        if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        else if (c >= 0x80 && c <= 0x9F)
            c = windows1252Character(uint8_t(c));
        appendCodePoint(out, c);
        i += reference->length - 1;
    }
    return out;
}

QByteArray percentDecoded(const QByteArray &text)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool escape = text[i] == '%' && i + 2 < text.size()
                            && std::isxdigit(uchar(text[i + 1]))
                            && std::isxdigit(uchar(text[i + 2]));
        out += escape ? char(text.mid(i + 1, 2).toInt(nullptr, 16)) : text[i];
        i += escape ? 2 : 0;
    }
    return out;
}

bool isDotSegment(const QByteArray &segment, int dots)
{
    QByteArray lower = segment.toLower();
    lower.replace("%2e", ".");
    return lower == QByteArray(dots, '.');
}

// The path that a relative link resolves to against file:///fuzz/dir/page.html, as browsers'
// URL parser resolves it: blanks and controls cut at both ends, tabs and line breaks dropped,
// "\" read as "/", dot segments applied. Links holding ":", "#" or "?" are refused before this.
QByteArray resolvedPath(QString input)
{
    while (!input.isEmpty() && input.front().unicode() <= 0x20)
        input.remove(0, 1);
    while (!input.isEmpty() && input.back().unicode() <= 0x20)
        input.chop(1);
    input.remove(u'\t').remove(u'\n').remove(u'\r');

    QList<QByteArray> segments{"fuzz", "dir"};
    const QList<QByteArray> parts = input.toUtf8().replace('\\', '/').split('/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (isDotSegment(parts[i], 2)) {
            if (!segments.isEmpty())
                segments.removeLast();
            if (last)
                segments.append(QByteArray());
        } else if (isDotSegment(parts[i], 1)) {
            if (last)
                segments.append(QByteArray());
        } else {
            segments.append(parts[i]);
        }
    }
    return '/' + segments.join('/');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString units = unitsFrom(data, size);
    if (!units.contains(QChar(0))) {
        QString shown;
        appendHtmlText(shown, units);
        require(isEscaped(shown), "shown text holds no markup");
        require(decodeReferences(shown) == units, "shown text reads back as the text");
    }

    // A name: any bytes but NUL and "/", and never "." or "..".
    const QByteArray raw(reinterpret_cast<const char *>(data), qsizetype(size));
    if (raw.isEmpty() || raw.contains('\0') || raw.contains('/') || raw == "." || raw == "..")
        return 0;
    const QString name = decodeFileName(raw);

    QString shownName;
    appendHtmlText(shownName, readableFileName(name));
    require(isEscaped(shownName), "a shown name holds no markup");

    QString link;
    appendLinkTarget(link, name);
    require(isEscaped(link), "a link holds no markup");
    if (!needsAttributeQuotes(name)) {
        for (QChar c : link)
            require(!QStringView(u" \t\n\f\r\"'=<>`").contains(c),
                    "an unquoted link ends where the value ends");
    }

    const QByteArray page = toWindows1252(link);
    for (char byte : page)
        require(uint8_t(byte) < 0x80, "a link on the page is ASCII");
    const QString read = decodeReferences(QString::fromLatin1(page));
    require(!read.isEmpty() && read.front().unicode() > 0x20 && read.back().unicode() > 0x20,
            "a link starts and ends with no blank");
    for (QChar c : read)
        require(!QStringView(u":#?|\\").contains(c), "a link holds no : # ? | or \\");

    require(percentDecoded(resolvedPath(read)) == "/fuzz/dir/" + raw,
            "the link opens the file of that name");
    return 0;
}
