#pragma once

#include "dateformat.h"

#include <QLocale>
#include <QString>

// The texts the page takes from the user's locale.
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
    void appendGroupedDigits(QString &out, quint64 magnitude) const;

    QLocale m_locale;
    LocaleDigits m_digits;
    DateFormat m_date;
    DateFormat m_time;
    QString m_group;
    QString m_decimal;
};
