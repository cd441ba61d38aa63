#include "entrytags.h"

#include "audiotags.h"

void readEntryTags(TreeEntries &entries)
{
    const std::vector<TreeFolder> &folders = entries.tree->folders();
    entries.tree->visitChildrenFirst([&](qsizetype index, int folderFd, int) {
        const Listing &files = folders[std::size_t(index)].files;
        FolderEntries &out = entries.folders[std::size_t(index)];
        if (folderFd < 0)
            return;
        std::vector<QByteArray> tracks;
        std::vector<std::size_t> places;
        for (qsizetype i = 0; i < files.count(); ++i) {
            if (isAudioFileName(files.rawName(i))) {
                tracks.emplace_back(files.rawName(i));
                places.push_back(std::size_t(i));
            }
        }
        if (tracks.empty())
            return;
        std::vector<std::optional<AudioTags>> read = readAudioTags(folderFd, tracks);
        out.tags.resize(std::size_t(files.count()));
        for (std::size_t i = 0; i < places.size(); ++i)
            out.tags[places[i]] = std::move(read[i]);
    });
}
