// perendat: whole years, months and days that never go negative, add up to the later date,
// do not depend on the order of the moments or their time of day, and a selector it does not
// know gives no value.

#include "fuzzcheck.h"
#include "perendat.h"

#include <QDateTime>
#include <QtEndian>

#include <array>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 14)
        return 0;
    // Any day from 1 January of year 1 to 31 December 9999, any millisecond of the day (three
    // bytes each).
    const auto word = [data](int at) {
        return qFromLittleEndian<quint32>(data + at);
    };
    const QDate date1 = QDate::fromJulianDay(1'721'426 + word(0) % 3'652'059);
    const QDate date2 = QDate::fromJulianDay(1'721'426 + word(4) % 3'652'059);
    const QDateTime x = date1.startOfDay(Qt::UTC).addMSecs((word(8) & 0xFFFFFF) % 86'400'000);
    const QDateTime y = date2.startOfDay(Qt::UTC).addMSecs((word(10) >> 8) % 86'400'000);
    const auto countsOf = [](const QDateTime &a, const QDateTime &b) {
        return std::array{perendat(a, b, QStringLiteral("a")), perendat(a, b, QStringLiteral("m")),
                          perendat(a, b, QStringLiteral("d"))};
    };

    const auto counts = countsOf(x, y);
    require(counts[0] && counts[1] && counts[2], "a, m and d give a value");
    const qint32 years = *counts[0], months = *counts[1], days = *counts[2];
    require(years >= 0 && months >= 0 && months <= 11 && days >= 0 && days <= 30,
            "years never negative, months from 0 to 11, days from 0 to 30");
    require(countsOf(y, x) == counts, "the order of the moments does not matter");
    require(countsOf(date1.startOfDay(Qt::UTC), date2.startOfDay(Qt::UTC)) == counts,
            "the time of day does not matter");
    require(qMin(date1, date2).addMonths(years * 12 + months).addDays(days) == qMax(date1, date2),
            "years, months and days add up to the later date");

    const QString tipo = QString::fromUtf8(QByteArrayView(data + 14, qsizetype(size - 14)));
    require(QStringList{"a", "m", "d"}.contains(tipo) || !perendat(x, y, tipo),
            "an unknown selector gives no value");
    return 0;
}
