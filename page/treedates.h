#pragma once

#include "treeentries.h"

// Reads when each photo of the tree was taken (from its Exif header) into its folder's entries;
// with `reorder`, also the order of --sort taken: newest first, files without a date by their
// time, ties as the listing had them, all turned round with `reverse`.
void readTakenDates(TreeEntries &entries, bool reorder, bool reverse);
