#pragma once

#include "treeentries.h"

// Reads the tags of every music file of the tree once, on the pool, each folder through its
// open descriptor, into FolderEntries::tags.
void readEntryTags(TreeEntries &entries);
