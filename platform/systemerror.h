#pragma once

#include <QString>
#include <QStringView>

// Errors travel as ints: errno values, or one of these for what the system has no value for.
enum : int {
    ErrorNotRegularFile = 0x10000, // something other than a file stands at a name to be replaced
    ErrorFolderReplaced,           // a folder was swapped for a link or another folder mid-run
    ErrorEmptyName,                // a name given as nothing at all
    ErrorNotFolder,                // a folder was asked for, something else stands there
    ErrorNoCurrentFolder,          // a relative name, with the current folder gone
};

// What an error value means, in the Spanish of the rest of the program.
QString systemErrorText(int code);

// A step on the file system that failed: what it was doing, to which path, and why (an error
// value, and where another lies behind it, that one too).
struct FileError
{
    QStringView action; // as the sentence says it: "leer la carpeta"
    QStringView path;
    int code = 0;
    int cause = 0;
};

// "No se pudo <action> «<path>»: <reason>.", the one form every failure takes.
QString failureText(const FileError &error);
