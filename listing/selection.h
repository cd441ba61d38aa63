#pragma once

#include <QByteArrayList>

// Which of a folder's entries a page lists, and in which order. The default lists every one in
// the folder's own order.
struct Selection
{
    enum class Sort {
        Name,
        Date,
        Size,
        Taken // when photos were taken, newest first, else the file's time (Listing::orderedByTime)
    };
    Sort sort = Sort::Name; // by date, newest first; by size, largest first; ties by name
    bool reverse = false;
    bool hidden = true;     // list names that start with "."
    QByteArrayList exclude; // shell wildcards; a name matching one is left out
};

// Whether the selection leaves the raw name out.
bool leavesOut(const Selection &selection, const char *rawName);
