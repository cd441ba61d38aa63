#pragma once

#include <QLocale>
#include <QString>

#include <vector>

class QDateTime;

// A local calendar date and time of day, to the second.
struct LocalDateTime
{
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;

    static LocalDateTime fromDateTime(const QDateTime &dateTime);
    // Seconds since the Unix epoch, in the system's local time zone.
    static LocalDateTime fromEpochSeconds(qint64 seconds);
};

// A locale's ten digits and minus sign, for numbers written without QLocale.
class LocaleDigits
{
public:
    explicit LocaleDigits(const QLocale &locale);
    void appendDigit(QString &out, int digit) const;
    // At least minDigits digits, zeros in front.
    void append(QString &out, int value, int minDigits) const;

private:
    QString m_digits[10];
    QString m_negative;
    bool m_ascii = true;
};

// A QLocale date or time format, compiled once and rendered field by field. A large page needs a
// date for every file, and this renders them about three times as fast as QLocale::toString; a
// format holding something it does not render is left to QLocale, so both always agree.
class DateFormat
{
public:
    enum class Part {
        Date,
        Time
    };
    DateFormat(const QString &format, Part part, const QLocale &locale);

    void append(QString &out, const LocalDateTime &value, const LocaleDigits &digits) const;

private:
    enum class Field {
        Literal,
        Day,
        Day2,
        DayNameShort,
        DayNameLong,
        Month,
        Month2,
        MonthNameShort,
        MonthNameLong,
        Year2,
        Year4,
        Hour,
        Hour2,
        Hour12,
        Hour12Two,
        Minute,
        Minute2,
        Second,
        Second2,
        AmPmUpper,
        AmPmLower,
    };
    struct Piece
    {
        Field field;
        QString literal;
    };

    void compile(const QString &format);

    QLocale m_locale;
    Part m_part;
    QString m_source;
    std::vector<Piece> m_pieces;
    bool m_needsQLocale = false;
    QString m_am;
    QString m_pm;
};
