// The folder order: names by their collation keys, then by their bytes, just as a plain sort of
// the same keys puts them, however far the keys agree and whether one thread sorts or two.

#include "collation.h"
#include "filenames.h"
#include "folderorder.h"
#include "fuzzcheck.h"

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const QLocale locales[] = {QLocale(QLocale::Spanish), QLocale(QLocale::Swedish)};
    const QLocale &locale = locales[data[0] & 1];
    // Names are what lies between the bytes no name holds; with the top bit of the first byte they
    // come again and again, enough for a sort on two threads.
    QByteArray text(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const QByteArrayList pieces = text.replace('\0', '/').split('/');
    const NameCollator collator(locale);
    std::vector<std::pair<std::string, std::string>> expected; // key, name
    NameBlock names;
    do {
        for (const QByteArray &piece : pieces) {
            names.add(piece.constData(), std::size_t(piece.size()));
            expected.emplace_back(std::string(), piece.toStdString());
            collator.appendSortKey(decodeFileName(piece), expected.back().first);
        }
    } while ((data[0] & 0x80) && names.size() < 2048);
    // Keys end in a NUL, below any byte inside them, so strings compare them as strcmp() does.
    std::sort(expected.begin(), expected.end());

    const std::vector<std::size_t> order = sortedOrder(names, locale);
    require(order.size() == names.size(), "every name is in the order");
    for (std::size_t k = 0; k < order.size(); ++k)
        require(order[k] < names.size() && names.at(order[k]) == expected[k].second,
                "the order of a plain sort by key, then by bytes");
    return 0;
}
