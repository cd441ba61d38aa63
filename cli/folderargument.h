#pragma once

#include <QString>

// A folder named on the command line, resolved the way the kernel resolves it.
struct FolderArgument
{
    // The absolute path with no link, "." or ".." left, ending in one separator; empty on failure.
    QString path;
    QString error;
};

FolderArgument resolveFolder(const char *argument);
// The same for a run that makes thumbnails, which refuses a folder inside a thumbnail folder.
FolderArgument resolveFolder(const char *argument, bool thumbnails);
