#include "captionfont.h"

#include "layout.h"

#include <QCheckBox>
#include <QPushButton>

#include <algorithm>

namespace {

constexpr qreal smallestSize = 5;

template <typename Control>
bool fits(const QFont &font, QStringView caption, Layout::Place place, double scale)
{
    Control control(caption.toString());
    control.setFont(font);
    return control.sizeHint().width() <= Layout::rect(place, scale).width();
}

bool allFit(const QFont &font, double scale)
{
    return fits<QCheckBox>(font, Layout::chkImgCaption, Layout::chkImg, scale)
           && fits<QCheckBox>(font, Layout::chkViewCaption, Layout::chkView, scale)
           && fits<QPushButton>(font, Layout::cmdRefreshCaption, Layout::cmdRefresh, scale)
           && fits<QPushButton>(font, Layout::cmdMakeCaption, Layout::cmdMake, scale);
}

qreal pointSize(const QFont &font)
{
    return font.pointSizeF() > 0 ? font.pointSizeF() : font.pixelSize() * 0.75;
}

} // namespace

double layoutScale(const QFont &desktop)
{
    const qreal size = pointSize(desktop);
    return size <= 10 ? 1.0 : size / 9;
}

QFont captionFont(const QFont &desktop, double scale)
{
    QFont font = desktop;
    qreal size = pointSize(desktop);
    if (size <= smallestSize)
        return font;
    font.setPointSizeF(size);
    while (size > smallestSize && !allFit(font, scale)) {
        size = std::max(size - 0.5, smallestSize);
        font.setPointSizeF(size);
    }
    return font;
}
