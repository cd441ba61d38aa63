#include "closinganimation.h"

#include "overflow.h"

#include <cmath>

namespace {

constexpr qint16 step = 150;

// To the nearest whole number, halves to the even one.
qint16 toInt16(float value)
{
    if (!(std::fabs(value) < 1e9f))
        throw OverflowError();
    return checked<qint16>(std::llrint(value));
}

} // namespace

void shrinkWindow(ShrinkingWindow &window)
{
    if (!window.isNormalState())
        return;
    qint16 height = toInt16(window.height());
    do {
        window.processEvents();
        height = checked<qint16>(height - step);
        window.setHeight(height);
        const float actual = window.height();
        window.setTop((window.screenHeight() - actual) / 2);
    } while (height > step);
}
