#pragma once

#include "treeentries.h"

#include <functional>
#include <string>
#include <string_view>

// Where the bytes of a listing go; returns false once they cannot be written.
using ByteSink = std::function<bool(std::string_view bytes)>;

// The tree as JSON Lines (dist/folimbra-index.schema.json): a line {"version":1,"folder":...}
// and then one object per entry, each folder's folders and then its files, folder after folder
// in the order the pages go. Returns false when the sink failed.
bool writeJsonLines(const TreeEntries &entries, const ByteSink &sink);

// A raw name or path as a JSON string: valid UTF-8 as it is, each byte that is not part of it as
// U+FFFD. Returns whether every byte was kept.
bool appendJsonString(std::string &out, std::string_view raw);

// A number in JSON, as to_chars writes it.
void appendNumber(std::string &out, qint64 value);

// "2024-02-29T23:59:59Z" (with a fraction of a second where there is one).
void appendRfc3339(std::string &out, qint64 nanoseconds);
