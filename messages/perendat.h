#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <optional>

// The calendar time between two moments, split into whole years, then whole months beyond those
// years, then days beyond those months; returns the part `tipo` names: "a" years, "m" months,
// "d" days (exact, case-sensitive). Any other `tipo`, or an invalid moment, gives no value.
// Only the calendar dates are counted; the time of day only decides which moment is the earlier.
// The result does not depend on the order of the two moments.
// Throws OverflowError where a count would leave the signed 32-bit range.
std::optional<qint32> perendat(const QDateTime &fecha1, const QDateTime &fecha2,
                               const QString &tipo);
