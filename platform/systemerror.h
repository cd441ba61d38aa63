#pragma once

#include <QString>

// What an errno value means, in the Spanish of the rest of the program.
QString systemErrorText(int code);
