#include "perendat.h"

#include "overflow.h"

#include <QDate>

std::optional<qint32> perendat(const QDateTime &fecha1, const QDateTime &fecha2,
                               const QString &tipo)
{
    if (tipo != u"a" && tipo != u"m" && tipo != u"d")
        return std::nullopt;
    if (!fecha1.isValid() || !fecha2.isValid())
        return std::nullopt;

    // The full moments, time of day included, decide the order; equal moments take fecha2 first.
    const bool firstEarlier = fecha1 < fecha2;
    const QDate earlier = (firstEarlier ? fecha1 : fecha2).date();
    const QDate later = (firstEarlier ? fecha2 : fecha1).date();

    // The arithmetic runs in 64 bits; each count is checked on its way into 32 bits.
    qint32 years = checked<qint32>(qint64(later.year()) - earlier.year());
    if (later.month() * 100 + later.day() < earlier.month() * 100 + earlier.day())
        years = checked<qint32>(qint64(years) - 1);

    const qint64 monthSpan = (qint64(later.year()) * 12 + later.month())
                             - (qint64(earlier.year()) * 12 + earlier.month());
    qint32 months = checked<qint32>(monthSpan - checked<qint32>(qint64(years) * 12));

    qint32 days = later.day() - earlier.day();
    if (days < 0) {
        months = checked<qint32>(qint64(months) - 1);
        // Count the days from the earlier date's day of month in the month before the later
        // date. That day may not exist there (31 January against a February): it is clamped to
        // the month's last day, so the count of days is never negative.
        const QDate monthBefore = QDate(later.year(), later.month(), 1).addMonths(-1);
        const QDate borrow(monthBefore.year(), monthBefore.month(),
                           qMin(earlier.day(), monthBefore.daysInMonth()));
        days = checked<qint32>(borrow.daysTo(later));
    }

    if (tipo == u"a")
        return years;
    if (tipo == u"m")
        return months;
    return days;
}
