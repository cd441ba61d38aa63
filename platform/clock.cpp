#include "clock.h"

#include <chrono>

QDateTime Clock::now() const
{
    return QDateTime::currentDateTime();
}

qint64 Clock::monotonicNanoseconds() const
{
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
}

const Clock &Clock::system()
{
    static const Clock clock;
    return clock;
}
