#include "selection.h"

#include <algorithm>
#include <fnmatch.h>

bool leavesOut(const Selection &selection, const char *rawName)
{
    if (!selection.hidden && rawName[0] == '.')
        return true;
    return std::any_of(selection.exclude.begin(), selection.exclude.end(),
                       [rawName](const QByteArray &pattern) {
                           return ::fnmatch(pattern.constData(), rawName, 0) == 0;
                       });
}
