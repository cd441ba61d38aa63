#include "captionfont.h"

#include "layout.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>

namespace {

constexpr qreal smallestSize = 5;

template <typename Control> bool fits(const QFont &font, QStringView caption, Layout::Place place)
{
    Control control(caption.toString());
    control.setFont(font);
    return control.sizeHint().width() <= Layout::rect(place).width();
}

bool allFit(const QFont &font)
{
    return fits<QCheckBox>(font, Layout::chkImgCaption, Layout::chkImg)
           && fits<QCheckBox>(font, Layout::chkViewCaption, Layout::chkView)
           && fits<QPushButton>(font, Layout::cmdRefreshCaption, Layout::cmdRefresh)
           && fits<QPushButton>(font, Layout::cmdMakeCaption, Layout::cmdMake);
}

} // namespace

QFont captionFont()
{
    QFont font = QApplication::font();
    qreal size = font.pointSizeF();
    if (size <= 0)
        return font;
    while (size > smallestSize) {
        font.setPointSizeF(size);
        if (allFit(font))
            break;
        size -= 0.5;
    }
    return font;
}

void useCaptionFont()
{
    QApplication::setFont(captionFont());
}
