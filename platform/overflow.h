#pragma once

#include <QtGlobal>

#include <limits>
#include <stdexcept>

// Raised where a small integer would leave its range instead of wrapping round.
class OverflowError : public std::overflow_error
{
public:
    OverflowError()
        : std::overflow_error("Desbordamiento")
    {}
};

inline qint16 checkedInt16(qint64 value)
{
    if (value < std::numeric_limits<qint16>::min() || value > std::numeric_limits<qint16>::max())
        throw OverflowError();
    return static_cast<qint16>(value);
}
