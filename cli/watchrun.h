#pragma once

#include "options.h"

#include <QString>

#include <functional>

class DocumentOpener;
class LocaleText;
struct FolderPageRequest;

// --watch: writes everything once, then again what changes, until SIGINT or SIGTERM (exit 0
// once the page being written is whole) or a top folder is gone or cannot be watched (exit 1).
int runWatch(const CommandLine &commandLine, const LocaleText &locale,
             const FolderPageRequest &request, DocumentOpener &opener,
             const std::function<void(const QString &)> &printError);
