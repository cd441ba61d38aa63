#pragma once

#include "filesystem.h"

#include <QLocale>

#include <vector>

// The indexes of the names in the order a folder listing keeps them: by the locale's collation
// key, then, where keys are equal, by the names' bytes.
std::vector<std::size_t> sortedOrder(const NameBlock &names, const QLocale &locale);
