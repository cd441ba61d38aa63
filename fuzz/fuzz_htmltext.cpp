// Names on the page: shown text and attribute values hold no markup but the marks of characters
// that could let a name pass for another, nowhere else such a character, and a link, read as a
// browser reads it, opens the file of exactly that name.

#include "filenames.h"
#include "fuzzcheck.h"
#include "htmltext.h"
#include "windows1252.h"

#include <QList>
#include <QRegularExpression>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// No raw "<", ">", double quote or control character, and "&" only where a reference starts.
bool isEscaped(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x20 || QStringView(u"<>\"\x7f").contains(c)
            || (c == u'&' && !referenceAt(text, i)))
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
        char32_t c = reference ? reference->codePoint : text[i].unicode();
        if (reference && (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
            c = 0xFFFD;
        c = reference && c <= 0xFF ? windows1252Character(uint8_t(c)) : c;
        out += QChar::fromUcs4(c);
        i += reference ? reference->length - 1 : 0;
    }
    return out;
}

// C1 controls, the soft hyphen, zero-width characters and direction controls.
bool isDeceptive(char32_t c)
{
    return (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)
           || (c <= 0xFFFF
               && QStringView(u"\u00AD\u061C\u200B\u200E\u200F\u2060\uFEFF").contains(char16_t(c)));
}

// Whether a browser meets such a character in the page's bytes, raw or as a reference, which
// for "&#128;" to "&#159;" is also the Windows-1252 letter it passes for.
bool showsDeceptive(const QByteArray &page)
{
    const QString text = QString::fromLatin1(page);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const std::optional<Reference> reference =
            text[i] == u'&' ? referenceAt(text, i) : std::nullopt;
        const char32_t c =
            reference ? reference->codePoint : windows1252Character(text[i].unicode());
        if (isDeceptive(c))
            return true;
    }
    return false;
}

// The character that a mark "<kbd>[U+202E]</kbd>" at `at` names. Scanned by hand: regular
// expressions match nothing in text that holds a lone surrogate.
constexpr qsizetype markLength = 19;
std::optional<char16_t> markAt(const QString &text, qsizetype at)
{
    const QStringView rest = QStringView(text).sliced(at);
    if (rest.size() < markLength || !rest.startsWith(u"<kbd>[U+")
        || !rest.sliced(12).startsWith(u"]</kbd>"))
        return std::nullopt;
    const QStringView digits = rest.sliced(8, 4);
    const bool upperHex = std::all_of(digits.begin(), digits.end(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
    });
    bool ok = false;
    const char16_t c = char16_t(digits.toUInt(&ok, 16));
    return ok && upperHex ? std::optional(c) : std::nullopt;
}

// Text between tags: no markup but marks, each naming such a character, none of them elsewhere;
// read back with each mark as the character it names, it is the text.
void checkShown(const QString &shown, const QString &text)
{
    QString named;
    QString outside;
    for (qsizetype at = 0; at < shown.size();) {
        if (const std::optional<char16_t> c = markAt(shown, at)) {
            require(isDeceptive(*c), "a mark names a character that could pass for another");
            named += QChar(*c);
            at += markLength;
        } else {
            named += shown[at];
            outside += shown[at++];
        }
    }
    require(isEscaped(outside), "shown text holds no markup but marks");
    require(!showsDeceptive(toWindows1252(outside)), "shown text holds no such character unmarked");
    require(decodeReferences(named) == text, "shown text reads back as the text");
}

// The path that a relative link resolves to against file:///fuzz/dir/page.html, as browsers'
// URL parser resolves it: blanks and controls cut at both ends, tabs and line breaks dropped,
// "\" read as "/", dot segments applied. Links holding ":", "#" or "?" are refused before this.
QByteArray resolvedPath(QString input)
{
    input.remove(QRegularExpression(u"^[\\x00-\\x20]+|[\\x00-\\x20]+$|[\\t\\n\\r]"_s));
    QList<QByteArray> segments{"fuzz", "dir"};
    const QList<QByteArray> parts = input.toUtf8().replace('\\', '/').split('/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray dots = parts[i].toLower().replace("%2e", ".");
        if (dots == ".." && !segments.isEmpty())
            segments.removeLast();
        if (dots != "." && dots != "..")
            segments.append(parts[i]);
        else if (i + 1 == parts.size())
            segments.append(QByteArray());
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
        checkShown(shown, units);

        // Where no element stands, the mark is bare text.
        QString plain;
        appendHtmlPlainText(plain, units);
        require(isEscaped(plain) && !showsDeceptive(toWindows1252(plain)),
                "an attribute value holds no markup and no such character");
        require(needsAttributeQuotes(units) || !holdsAny(plain, u" \t\n\f\r\"'=<>`"),
                "an unquoted attribute value ends where the value ends");
    }

    // A name: any bytes but NUL and "/", and never "." or "..".
    const QByteArray raw(reinterpret_cast<const char *>(data), qsizetype(size));
    if (raw.isEmpty() || raw.contains('\0') || raw.contains('/') || raw == "." || raw == "..")
        return 0;
    const QString name = decodeFileName(raw);

    QString shownName;
    const QString readable = readableFileName(name);
    appendHtmlText(shownName, readable);
    checkShown(shownName, readable);

    QString link;
    appendLinkTarget(link, name);
    require(isEscaped(link), "a link holds no markup");
    require(needsAttributeQuotes(name) || !holdsAny(link, u" \t\n\f\r\"'=<>`"),
            "an unquoted link ends where the value ends");

    const QByteArray page = toWindows1252(link);
    require(std::all_of(page.cbegin(), page.cend(), [](char byte) { return uint8_t(byte) < 0x80; }),
            "a link on the page is ASCII");
    const QString read = decodeReferences(QString::fromLatin1(page));
    require(!read.isEmpty() && read.front().unicode() > 0x20 && read.back().unicode() > 0x20,
            "a link starts and ends with no blank");
    require(!holdsAny(read, u":#?|\\"), "a link holds no : # ? | or \\");

    require(QByteArray::fromPercentEncoding(resolvedPath(read)) == "/fuzz/dir/" + raw,
            "the link opens the file of that name");
    return 0;
}
