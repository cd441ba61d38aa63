#pragma once

#include "options.h"

#include <QString>

#include <functional>

class LocaleText;

// --catalog and --json: reads the tree of every folder named once, then writes the catalogue
// and the JSON listing from what was read. Returns the exit status: 1 when a folder or an output
// failed (a catalogue is still written with the folders that could not be read marked in it).
int writeListings(const CommandLine &commandLine, const LocaleText &locale,
                  const std::function<void(const QString &)> &printError);
