#pragma once

#include <QString>

// Splits a path into base name and extension. Returns the extension, the text after the last dot
// of the last path component, without the dot; NomeOut receives the base name, with the folder
// part in front when AddPath is true. Positions are 16-bit: a path whose split needs a position
// beyond 32,767 throws OverflowError.
//
// Components are separated by "\" and, where the system's folder separator is "/", by "/" too.
QString GetFileExt(const QString &PathIn, QString &NomeOut, bool AddPath);
