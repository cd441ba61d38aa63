#include "treedates.h"

#include "folderorder.h"
#include "pagewriter.h"
#include "photodate.h"

namespace {

std::vector<qsizetype> takenOrder(const FolderEntries &entries, bool reverse)
{
    std::vector<qint64> keys;
    keys.reserve(entries.files.size());
    for (std::size_t i = 0; i < entries.files.size(); ++i) {
        const std::optional<PhotoDate> &taken = entries.taken[i];
        const EntryStatus &status = entries.files[i];
        keys.push_back(taken          ? taken->epochSeconds()
                       : status.known ? status.mtimeNs / 1'000'000'000
                                      : 0);
    }
    return timeOrder(keys, reverse);
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
