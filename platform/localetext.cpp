#include "localetext.h"

#include <cmath>

LocaleText::LocaleText(const QLocale &locale)
    : m_locale(locale)
    , m_digits(locale)
    , m_date(locale.dateFormat(QLocale::ShortFormat), DateFormat::Part::Date, locale)
    , m_time(timeFormatWithoutZone(locale), DateFormat::Part::Time, locale)
    , m_group(locale.groupSeparator())
    , m_decimal(locale.decimalPoint())
{}

QString LocaleText::timeFormatWithoutZone(const QLocale &locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString kept;
    bool quoted = false;
    for (QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != u't')
            kept += c;
    }
    // What held the zone name ("H:mm:ss (t)") goes with it.
    kept.remove(QStringLiteral("()"));
    return kept.simplified();
}

QString LocaleText::generalDate(const LocalDateTime &value) const
{
    QString out;
    appendGeneralDate(out, value);
    return out;
}

void LocaleText::appendGeneralDate(QString &out, const LocalDateTime &value) const
{
    m_date.append(out, value, m_digits);
    if (value.hour == 0 && value.minute == 0 && value.second == 0)
        return;
    out += u' ';
    m_time.append(out, value, m_digits);
}

void LocaleText::appendGroupedDigits(QString &out, quint64 magnitude) const
{
    char buffer[24];
    int length = 0;
    do {
        buffer[length++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    // QLocale would leave four-digit numbers ungrouped where the locale asks for it, and Qt 6.4
    // groups large Spanish numbers wrongly; these patterns group every three digits.
    for (int i = length - 1; i >= 0; --i) {
        m_digits.appendDigit(out, buffer[i] - '0');
        if (i > 0 && i % 3 == 0)
            out += m_group;
    }
}

QString LocaleText::wholeNumber(qint64 value) const
{
    QString out;
    appendWholeNumber(out, value);
    return out;
}

void LocaleText::appendWholeNumber(QString &out, qint64 value) const
{
    if (value < 0)
        out += u'-';
    appendGroupedDigits(out, value < 0 ? 0 - quint64(value) : quint64(value));
}

QString LocaleText::fixedTwo(double value) const
{
    QString out;
    const double hundredths = std::round(std::fabs(value) * 100.0);
    const auto whole = static_cast<quint64>(hundredths / 100.0);
    const auto fraction = static_cast<int>(hundredths - double(whole) * 100.0);
    if (value < 0 && hundredths != 0)
        out += u'-';
    appendGroupedDigits(out, whole);
    out += m_decimal;
    m_digits.append(out, fraction, 2);
    return out;
}
