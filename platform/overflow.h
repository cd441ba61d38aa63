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

template <typename T> T checked(qint64 value)
{
    if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max())
        throw OverflowError();
    return static_cast<T>(value);
}

inline qint16 checkedInt16(qint64 value)
{
    return checked<qint16>(value);
}
