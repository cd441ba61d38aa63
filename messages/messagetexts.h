#pragma once

#include <QLocale>
#include <QString>

class Clock;

// Caption of the program's own message boxes: the product name.
QString messageTitle();

// The short help: what the program is for, a line feed, and the author's e-mail address.
QString helpText();

// The author's acknowledgement: how long he has gone without smoking, counted from
// 1 February 2002 00:00 local time to clock.now(), with that date in the locale's long form,
// upper-cased. Its two parts are separated by a carriage return.
QString acknowledgementText(const Clock &clock, const QLocale &locale);
