#include "treedates.h"

#include "pagewriter.h"
#include "photodate.h"

#include <algorithm>

namespace {

std::vector<qsizetype> takenOrder(const FolderEntries &entries, bool reverse)
{
    const auto count = qsizetype(entries.files.size());
    std::vector<std::pair<qint64, qsizetype>> keyed;
    keyed.reserve(std::size_t(count));
    for (qsizetype i = 0; i < count; ++i) {
        const std::optional<PhotoDate> &taken = entries.taken[std::size_t(i)];
        const EntryStatus &status = entries.files[std::size_t(i)];
        keyed.emplace_back(taken          ? taken->epochSeconds()
                           : status.known ? status.mtimeNs / 1'000'000'000
                                          : 0,
                           i);
    }
    // Ties keep the file-time order the listing came in, before any reversal.
    const auto place = [&](qsizetype i) {
        return reverse ? count - 1 - i : i;
    };
    std::sort(keyed.begin(), keyed.end(), [&](const auto &a, const auto &b) {
        return a.first != b.first ? a.first > b.first : place(a.second) < place(b.second);
    });
    if (reverse)
        std::reverse(keyed.begin(), keyed.end());
    std::vector<qsizetype> order;
    order.reserve(keyed.size());
    for (const auto &[key, i] : keyed)
        order.push_back(i);
    return order;
}

} // namespace

void readTakenDates(TreeEntries &entries, bool reorder, bool reverse)
{
    const std::vector<TreeFolder> &folders = entries.tree->folders();
    entries.tree->visitChildrenFirst([&](qsizetype index, int folderFd, int) {
        const TreeFolder &folder = folders[std::size_t(index)];
        FolderEntries &found = entries.folders[std::size_t(index)];
        found.taken.assign(std::size_t(folder.files.count()), std::nullopt);
        if (folderFd < 0)
            return;
        std::vector<QByteArray> images;
        std::vector<qsizetype> places;
        for (qsizetype i = 0; i < folder.files.count(); ++i) {
            if (isImageName(folder.files.name(i))) {
                images.emplace_back(folder.files.rawName(i));
                places.push_back(i);
            }
        }
        std::vector<std::optional<PhotoDate>> dates = readPhotoDates(folderFd, images);
        for (std::size_t k = 0; k < places.size(); ++k)
            found.taken[std::size_t(places[k])] = dates[k];
        if (reorder && found.files.size() == found.taken.size())
            found.order = takenOrder(found, reverse);
    });
}
