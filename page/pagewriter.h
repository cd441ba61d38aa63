#pragma once

#include "listing.h"
#include "pagerun.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// Whether the page shows a picture of the file (by its extension, as the page decides it).
bool isImageName(const QString &name);

struct PageOptions
{
    bool images = false; // a 200 x 200 picture under each image file
    bool view = false;   // open the finished page in the desktop's viewer
};

// Writes "Quorvel-Html_index.html" into the folder CurrentPath (which ends in a separator), one
// entry for each file of the listing but the page itself. The page is written beside the old one
// and takes its place only when complete: a failure ends the run where it happens, leaves the
// folder as it was and the page unopened.
PageResult writeIndexPage(const QString &CurrentPath, const Listing &files, PageOptions options,
                          const PageServices &services = {});
