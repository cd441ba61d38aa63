#pragma once

#include <QString>
#include <QStringView>

// Errors travel as ints: errno values, or one of these for what the system has no value for.
enum : int {
    ErrorNotRegularFile = 0x10000, // something other than a file stands at a name to be replaced
    ErrorFolderReplaced,           // a folder was swapped for a link or another folder mid-run
};

// What an error value means, in the Spanish of the rest of the program.
QString systemErrorText(int code);

// "No se pudo <action> «<path>»: <reason>.", the one form every failure takes.
QString failureText(QStringView action, QStringView path, int code);
