#pragma once

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

// A broken property stops the run as a crash would, so libFuzzer keeps the input that broke it.
inline void require(bool holds, const char *property)
{
    if (holds)
        return;
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

// The input as UTF-16 code units in the machine's (little-endian) order, lone surrogates and all.
inline QString unitsFrom(const uint8_t *data, size_t size)
{
    QString text(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(text.data(), data, size / 2 * 2);
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

// The character reference at text[at] ("&amp;", "&#233;"): its code point and its length, or
// nothing when "&" starts no reference.
struct Reference
{
    char32_t codePoint;
    qsizetype length;
};

inline std::optional<Reference> referenceAt(QStringView text, qsizetype at)
{
    text = text.mid(at);
    for (const auto &[name, codePoint] :
         {std::pair{u"&amp;", u'&'}, {u"&lt;", u'<'}, {u"&gt;", u'>'}, {u"&quot;", u'"'}}) {
        if (text.startsWith(name))
            return Reference{codePoint, QStringView(name).size()};
    }
    const qsizetype end = text.indexOf(u';');
    bool ok = text.startsWith(u"&#") && end > 2 && end < 10;
    const uint value = ok ? text.mid(2, end - 2).toUInt(&ok) : 0;
    // toUInt() takes blanks and signs that no reference holds.
    ok = ok && text[2].isDigit() && text[end - 1].isDigit();
    return ok ? std::optional(Reference{value, end + 1}) : std::nullopt;
}

inline bool holdsAny(QStringView text, QStringView characters)
{
    return std::any_of(text.cbegin(), text.cend(), [&](QChar c) { return characters.contains(c); });
}
