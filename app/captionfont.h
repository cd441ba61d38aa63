#pragma once

#include <QFont>

// The platform's default font, made smaller where needed, in half points, until every caption
// of the window fits its control; never larger than the default, since the heights are fixed.
QFont captionFont();

// Makes captionFont() the whole application's font; called once, before the window is built.
void useCaptionFont();
