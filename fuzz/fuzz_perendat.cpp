// perendat: whole years, months and days that never go negative, add up to the later date,
// do not depend on the order of the moments or their time of day, and a selector it does not
// know gives no value.

#include "fuzzcheck.h"
#include "perendat.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

namespace {

constexpr qint64 firstDay = 1'721'426; // 1 January of year 1
constexpr qint64 dayRange = 3'652'059; // up to 31 December 9999

QDate dateFrom(const uint8_t *p)
{
    const quint32 n = p[0] | (p[1] << 8) | (p[2] << 16) | (quint32(p[3]) << 24);
    return QDate::fromJulianDay(firstDay + n % dayRange);
}

QTime timeFrom(const uint8_t *p)
{
    return QTime::fromMSecsSinceStartOfDay(int((p[0] | (p[1] << 8) | (p[2] << 16)) % 86'400'000));
}

struct Counts
{
    std::optional<qint32> years, months, days;
    bool operator==(const Counts &) const = default;
};

Counts countsOf(const QDateTime &x, const QDateTime &y)
{
    return {perendat(x, y, QStringLiteral("a")), perendat(x, y, QStringLiteral("m")),
            perendat(x, y, QStringLiteral("d"))};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 14)
        return 0;
    const QDate date1 = dateFrom(data);
    const QDate date2 = dateFrom(data + 4);
    const QDateTime x(date1, timeFrom(data + 8), Qt::UTC);
    const QDateTime y(date2, timeFrom(data + 11), Qt::UTC);

    const Counts counts = countsOf(x, y);
    require(counts.years && counts.months && counts.days, "a, m and d give a value");
    require(*counts.years >= 0, "years are never negative");
    require(*counts.months >= 0 && *counts.months <= 11, "months lie between 0 and 11");
    require(*counts.days >= 0 && *counts.days <= 30, "days lie between 0 and 30");
    require(countsOf(y, x) == counts, "the order of the moments does not matter");
    require(countsOf(x.date().startOfDay(Qt::UTC), y.date().startOfDay(Qt::UTC)) == counts,
            "the time of day does not matter");

    const QDate earlier = qMin(date1, date2);
    const QDate later = qMax(date1, date2);
    require(earlier.addMonths(*counts.years * 12 + *counts.months).addDays(*counts.days) == later,
            "years, months and days add up to the later date");

    const QString tipo =
        QString::fromUtf8(reinterpret_cast<const char *>(data + 14), qsizetype(size - 14));
    if (tipo != u"a" && tipo != u"m" && tipo != u"d")
        require(!perendat(x, y, tipo), "an unknown selector gives no value");
    return 0;
}
