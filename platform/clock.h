#pragma once

#include <QDateTime>

// The time of day for the page header and a monotonic clock for timing; tests hand in their own.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const;
    virtual qint64 monotonicNanoseconds() const;

    static const Clock &system();
};
