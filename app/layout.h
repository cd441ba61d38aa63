#pragma once

#include <QColor>
#include <QRect>
#include <QStringView>

#include <cmath>

// The window as it was drawn, in twips (1/1440 inch): 15 twips make one pixel at 96 dpi.
namespace Layout {

inline constexpr int twipsPerPixel = 15;

struct Place
{
    int left;
    int top;
    int width;
    int height;
};

inline constexpr Place client{0, 0, 6945, 4260};
inline constexpr Place Drive1{0, 60, 3855, 315};
inline constexpr Place Dir1{0, 420, 3855, 3015};
inline constexpr Place File1{3900, 60, 3015, 3405};
inline constexpr Place lblPath{0, 3480, 5355, 315};
inline constexpr Place lblFCount{5460, 3480, 1450, 315};
inline constexpr Place chkImg{60, 3900, 2475, 300};
inline constexpr Place chkView{2520, 3900, 1335, 300};
inline constexpr Place cmdRefresh{3960, 3900, 1440, 315};
inline constexpr Place cmdMake{5460, 3900, 1450, 315};

inline constexpr int pixels(int twips)
{
    return (twips + twipsPerPixel / 2) / twipsPerPixel;
}

inline constexpr QRect rect(Place place)
{
    return QRect(pixels(place.left), pixels(place.top), pixels(place.width), pixels(place.height));
}

// The place in a layout made `scale` times larger than drawn.
inline QRect rect(Place place, double scale)
{
    const auto at = [scale](int twips) {
        return int(std::lround(twips * scale / twipsPerPixel));
    };
    return QRect(at(place.left), at(place.top), at(place.width), at(place.height));
}

// The captions; "&" marks the access key.
inline constexpr QStringView chkImgCaption = u"Ver &Imagenes En Página Html";
inline constexpr QStringView chkViewCaption = u"&Ver Html";
inline constexpr QStringView cmdRefreshCaption = u"&Actualizar Lista";
inline constexpr QStringView cmdMakeCaption = u"Hacer &HTML";

inline constexpr QColor pink = QColor(255, 128, 128);   // #FF8080
inline constexpr QColor yellow = QColor(255, 255, 128); // #FFFF80
inline constexpr QColor navy = QColor(0, 0, 128);       // #000080
inline constexpr QColor blue = QColor(0, 0, 255);       // #0000FF

} // namespace Layout
