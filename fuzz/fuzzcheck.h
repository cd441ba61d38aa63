#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

// A broken property stops the run as a crash would, so libFuzzer keeps the input that broke it.
inline void require(bool holds, const char *property)
{
    if (holds)
        return;
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

// The input as UTF-16 code units, lone surrogates and all.
inline QString unitsFrom(const uint8_t *data, size_t size)
{
    QString text;
    for (size_t i = 0; i + 1 < size; i += 2)
        text += QChar(char16_t(data[i] | (data[i + 1] << 8)));
    return text;
}

// Windows-1252 as browsers decode it: the five bytes it leaves undefined stand for themselves.
inline char16_t windows1252Character(uint8_t byte)
{
    static constexpr char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    return byte >= 0x80 && byte <= 0x9F ? high[byte - 0x80] : char16_t(byte);
}

// The character reference at text[at] ("&amp;", "&#233;", "&#xE9;"): its code point and its
// length, or nothing when "&" starts no reference.
struct Reference
{
    char32_t codePoint;
    qsizetype length;
};

inline int digitValue(char16_t c, int base)
{
    const int d = c >= u'0' && c <= u'9'   ? c - u'0'
                  : c >= u'a' && c <= u'f' ? c - u'a' + 10
                  : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                           : 99;
    return d < base ? d : -1;
}

inline std::optional<Reference> referenceAt(const QString &text, qsizetype at)
{
    static const struct
    {
        const char16_t *name;
        char32_t codePoint;
    } named[] = {{u"&amp;", u'&'}, {u"&lt;", u'<'}, {u"&gt;", u'>'}, {u"&quot;", u'"'}};
    for (const auto &entry : named) {
        const QStringView name(entry.name);
        if (QStringView(text).mid(at).startsWith(name))
            return Reference{entry.codePoint, name.size()};
    }
    if (!QStringView(text).mid(at).startsWith(u"&#"))
        return std::nullopt;
    qsizetype i = at + 2;
    const bool hex = i < text.size() && (text[i] == u'x' || text[i] == u'X');
    if (hex)
        ++i;
    const qsizetype digitsStart = i;
    char32_t value = 0;
    for (; i < text.size() && i - digitsStart < 8; ++i) {
        const int d = digitValue(text[i].unicode(), hex ? 16 : 10);
        if (d < 0)
            break;
        value = value * (hex ? 16 : 10) + char32_t(d);
    }
    if (i == digitsStart || i >= text.size() || text[i] != u';')
        return std::nullopt;
    return Reference{value, i + 1 - at};
}

inline void appendCodePoint(QString &out, char32_t c)
{
    if (c > 0xFFFF) {
        out += QChar(QChar::highSurrogate(c));
        out += QChar(QChar::lowSurrogate(c));
    } else {
        out += QChar(char16_t(c));
    }
}
