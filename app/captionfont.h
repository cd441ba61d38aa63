#pragma once

#include <QFont>

// How many times larger than drawn the window is laid out for the desktop's font: not at all up
// to the usual 10 points, then as the text grows, from the 9 points it was drawn for.
double layoutScale(const QFont &desktop);

// The desktop's font, made smaller where needed, in half points down to 5, until every caption
// of the window fits its control in the layout at `scale`; never larger than the desktop's,
// since the heights are fixed.
QFont captionFont(const QFont &desktop, double scale);
