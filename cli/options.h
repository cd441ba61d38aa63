#pragma once

#include "commandline.h"
#include "modernpage.h"
#include "pagewriter.h"
#include "selection.h"

#include <QByteArray>
#include <QString>

#include <span>
#include <vector>

// What folimbra-index was asked to do.
struct CommandLine
{
    PageOptions page;
    bool thumbnails = false;
    PageStyle style = PageStyle::Classic;
    Selection selection;
    bool recursive = false;
    const char *catalog = nullptr; // the catalogue to write, or null
    const char *json = nullptr;    // where the JSON listing goes ("-": standard output), or null
    int maxDepth = -1;             // how many levels below the folder a tree goes; -1: all
    bool watch = false;            // keeps running, writing again what changes
    bool update = false;           // leaves what would be written the same (but for its time)
    bool tags = false;             // music files' tags in modern pages and JSON
    bool help = false;
    bool version = false;
    std::vector<const char *> folders;
    QString error; // a usage error; empty if none
};

std::span<const OptionSpec> indexOptions();
CommandLine parseIndexCommandLine(int argc, char **argv);
QByteArray indexUsage();

// What the window takes before it starts: help, version and one folder.
struct WindowCommandLine
{
    bool help = false;
    bool version = false;
    const char *folder = nullptr;
    QString error;
};

std::span<const OptionSpec> windowOptions();
WindowCommandLine parseWindowCommandLine(int argc, char **argv);
QByteArray windowUsage();
