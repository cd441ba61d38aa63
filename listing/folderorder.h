#pragma once

#include "filesystem.h"

#include <QLocale>

#include <cstdint>
#include <vector>

// The indexes of the names in the order a folder listing keeps them: by the locale's collation
// key, then, where keys are equal, by the names' bytes. Records point into keys by 32-bit offsets
// up to `packedKeyLimit` bytes of them, by address past it.
std::vector<std::size_t> sortedOrder(const NameBlock &names, const QLocale &locale,
                                     std::size_t packedKeyLimit = UINT32_MAX);
