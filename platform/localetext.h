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

// The texts the page takes from the user's locale. Dates and numbers are rendered from formats
// compiled once, since a page may need a million of them.
class LocaleText
{
public:
    explicit LocaleText(const QLocale &locale = QLocale());

    const QLocale &locale() const { return m_locale; }

    // The short date, a blank and the long time without its time-zone name; a time of exactly
    // midnight gives the date alone.
    QString generalDate(const LocalDateTime &value) const;
    void appendGeneralDate(QString &out, const LocalDateTime &value) const;

    // "###,###,###,##0": digits grouped by threes.
    QString wholeNumber(qint64 value) const;
    void appendWholeNumber(QString &out, qint64 value) const;
    // "###,##0.00": grouped, with exactly two decimals, rounded half away from zero.
    QString fixedTwo(double value) const;

    QString lower(const QString &text) const { return m_locale.toLower(text); }

    // The long time format of a locale, less its time-zone field.
    static QString timeFormatWithoutZone(const QLocale &locale);

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
    struct Format
    {
        QString source;
        std::vector<Piece> pieces;
        bool needsQLocale = false; // holds something the compiled path does not render
    };

    static Format compile(const QString &format);
    void appendFormatted(QString &out, const Format &format, const LocalDateTime &value,
                         bool timePart) const;
    void appendNumber(QString &out, int value, int minDigits) const;
    void appendGroupedDigits(QString &out, quint64 magnitude) const;

    QLocale m_locale;
    Format m_date;
    Format m_time;
    QString m_digits[10];
    bool m_asciiDigits = true;
    QString m_group;
    QString m_decimal;
    QString m_am;
    QString m_pm;
};
