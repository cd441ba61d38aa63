#pragma once

class QWidget;

// Makes a screen reader read what a label or the drive list shows as its value, the control's
// accessible name staying its name: by default a label is known only by that name, and the
// drive list by the drive it shows.
void speakShownValue(QWidget *control);
// Tells a screen reader that what the control shows has changed.
void announceShownValue(QWidget *control);
