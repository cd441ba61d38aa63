#include "dateformat.h"

#include <QDateTime>

#include <algorithm>
#include <ctime>

LocalDateTime LocalDateTime::fromDateTime(const QDateTime &dateTime)
{
    const QDate d = dateTime.date();
    const QTime t = dateTime.time();
    return {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()};
}

LocalDateTime LocalDateTime::fromEpochSeconds(qint64 seconds)
{
    // A file may carry any date at all; beyond years 1 to 9999 it shows as the nearest end.
    constexpr qint64 firstSecond = -62135596800; // 0001-01-01 00:00:00 UTC
    constexpr qint64 lastSecond = 253402300799;  // 9999-12-31 23:59:59 UTC
    // QDateTime's own conversion costs about eighty times as much, and a page takes one a file.
    const time_t value = static_cast<time_t>(std::clamp(seconds, firstSecond, lastSecond));
    struct tm parts;
    if (!localtime_r(&value, &parts))
        return seconds < 0 ? LocalDateTime{1, 1, 1, 0, 0, 0}
                           : LocalDateTime{9999, 12, 31, 23, 59, 59};
    return {int(qint64(parts.tm_year) + 1900),
            parts.tm_mon + 1,
            parts.tm_mday,
            parts.tm_hour,
            parts.tm_min,
            parts.tm_sec};
}

LocaleDigits::LocaleDigits(const QLocale &locale)
    : m_negative(locale.negativeSign())
{
    const QString zero = locale.zeroDigit();
    const char32_t zeroCode =
        zero.size() == 1 ? zero.at(0).unicode() : QChar::surrogateToUcs4(zero.at(0), zero.at(1));
    m_ascii = zeroCode == U'0';
    for (int i = 0; i < 10; ++i) {
        const char32_t digit = zeroCode + char32_t(i);
        m_digits[i] = QString::fromUcs4(&digit, 1);
    }
}

void LocaleDigits::appendDigit(QString &out, int digit) const
{
    if (m_ascii)
        out += QChar(u'0' + digit);
    else
        out += m_digits[digit];
}

void LocaleDigits::append(QString &out, int value, int minDigits) const
{
    char buffer[16];
    int length = 0;
    unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
    do {
        buffer[length++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (length < minDigits)
        buffer[length++] = '0';
    if (value < 0)
        out += m_negative;
    while (length > 0) {
        appendDigit(out, buffer[--length] - '0');
    }
}

DateFormat::DateFormat(const QString &format, Part part, const QLocale &locale)
    : m_locale(locale)
    , m_part(part)
    , m_am(locale.amText())
    , m_pm(locale.pmText())
{
    compile(format);
    // A date with a time field, or a time with a date field, is left to QLocale.
    for (const Piece &piece : m_pieces) {
        if (piece.field == Field::Literal)
            continue;
        if ((part == Part::Date) == (piece.field >= Field::Hour))
            m_needsQLocale = true;
    }
}

namespace {

int repeatCount(const QString &format, qsizetype at)
{
    const QChar c = format.at(at);
    qsizetype end = at + 1;
    while (end < format.size() && format.at(end) == c)
        ++end;
    return int(end - at);
}

bool containsAmPm(const QString &format)
{
    bool quoted = false;
    for (QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        else if (!quoted && (c == u'a' || c == u'A'))
            return true;
    }
    return false;
}

} // namespace

// Reads a QLocale date or time format the way QLocale::toString does, so that both render the
// same text; a field this does not render marks the format for QLocale itself.
void DateFormat::compile(const QString &format)
{
    m_source = format;
    const bool twelveHour = containsAmPm(format);
    auto literal = [this](const QString &text) {
        if (!m_pieces.empty() && m_pieces.back().field == Field::Literal)
            m_pieces.back().literal += text;
        else
            m_pieces.push_back({Field::Literal, text});
    };
    auto field = [this](Field f) {
        m_pieces.push_back({f, {}});
    };

    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format.at(i);
        if (c == u'\'') {
            // '' is a quote; otherwise everything up to the closing quote, with '' inside it.
            ++i;
            if (i < format.size() && format.at(i) == u'\'') {
                literal(QStringLiteral("'"));
                ++i;
                continue;
            }
            QString text;
            while (i < format.size()) {
                if (format.at(i) == u'\'') {
                    if (i + 1 < format.size() && format.at(i + 1) == u'\'') {
                        text += u'\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                text += format.at(i++);
            }
            literal(text);
            continue;
        }
        int repeat = repeatCount(format, i);
        switch (c.unicode()) {
        case u'd':
            repeat = qMin(repeat, 4);
            field(repeat == 1   ? Field::Day
                  : repeat == 2 ? Field::Day2
                  : repeat == 3 ? Field::DayNameShort
                                : Field::DayNameLong);
            break;
        case u'M':
            repeat = qMin(repeat, 4);
            field(repeat == 1   ? Field::Month
                  : repeat == 2 ? Field::Month2
                  : repeat == 3 ? Field::MonthNameShort
                                : Field::MonthNameLong);
            break;
        case u'y':
            if (repeat >= 4) {
                repeat = 4;
                field(Field::Year4);
            } else if (repeat >= 2) {
                repeat = 2;
                field(Field::Year2);
            } else {
                literal(QStringLiteral("y"));
            }
            break;
        case u'h':
            repeat = qMin(repeat, 2);
            if (twelveHour)
                field(repeat == 1 ? Field::Hour12 : Field::Hour12Two);
            else
                field(repeat == 1 ? Field::Hour : Field::Hour2);
            break;
        case u'H':
            repeat = qMin(repeat, 2);
            field(repeat == 1 ? Field::Hour : Field::Hour2);
            break;
        case u'm':
            repeat = qMin(repeat, 2);
            field(repeat == 1 ? Field::Minute : Field::Minute2);
            break;
        case u's':
            repeat = qMin(repeat, 2);
            field(repeat == 1 ? Field::Second : Field::Second2);
            break;
        case u'a':
        case u'A': {
            const bool upper = c == u'A';
            const QChar next = i + 1 < format.size() ? format.at(i + 1) : QChar();
            repeat = next.toLower() == u'p' ? 2 : 1;
            if (repeat == 2 && next.isUpper() != upper)
                m_needsQLocale = true; // "Ap": the locale's own case
            field(upper ? Field::AmPmUpper : Field::AmPmLower);
            break;
        }
        case u'z':
        case u't':
            m_needsQLocale = true;
            literal(QString(repeat, c));
            break;
        default:
            repeat = 1;
            literal(QString(c));
            break;
        }
        i += repeat;
    }
}

void DateFormat::append(QString &out, const LocalDateTime &v, const LocaleDigits &digits) const
{
    if (m_needsQLocale) {
        out += m_part == Part::Time ? m_locale.toString(QTime(v.hour, v.minute, v.second), m_source)
                                    : m_locale.toString(QDate(v.year, v.month, v.day), m_source);
        return;
    }
    for (const Piece &piece : m_pieces) {
        switch (piece.field) {
        case Field::Literal:
            out += piece.literal;
            break;
        case Field::Day:
            digits.append(out, v.day, 1);
            break;
        case Field::Day2:
            digits.append(out, v.day, 2);
            break;
        case Field::DayNameShort:
        case Field::DayNameLong:
            out += m_locale.dayName(QDate(v.year, v.month, v.day).dayOfWeek(),
                                    piece.field == Field::DayNameShort ? QLocale::ShortFormat
                                                                       : QLocale::LongFormat);
            break;
        case Field::Month:
            digits.append(out, v.month, 1);
            break;
        case Field::Month2:
            digits.append(out, v.month, 2);
            break;
        case Field::MonthNameShort:
            out += m_locale.monthName(v.month, QLocale::ShortFormat);
            break;
        case Field::MonthNameLong:
            out += m_locale.monthName(v.month, QLocale::LongFormat);
            break;
        case Field::Year2:
            digits.append(out, v.year % 100, 2);
            break;
        case Field::Year4:
            digits.append(out, v.year, 4);
            break;
        case Field::Hour:
            digits.append(out, v.hour, 1);
            break;
        case Field::Hour2:
            digits.append(out, v.hour, 2);
            break;
        case Field::Hour12:
        case Field::Hour12Two: {
            const int hour = v.hour == 0 ? 12 : (v.hour > 12 ? v.hour - 12 : v.hour);
            digits.append(out, hour, piece.field == Field::Hour12 ? 1 : 2);
            break;
        }
        case Field::Minute:
            digits.append(out, v.minute, 1);
            break;
        case Field::Minute2:
            digits.append(out, v.minute, 2);
            break;
        case Field::Second:
            digits.append(out, v.second, 1);
            break;
        case Field::Second2:
            digits.append(out, v.second, 2);
            break;
        case Field::AmPmUpper:
            out += (v.hour < 12 ? m_am : m_pm).toUpper();
            break;
        case Field::AmPmLower:
            out += (v.hour < 12 ? m_am : m_pm).toLower();
            break;
        }
    }
}
