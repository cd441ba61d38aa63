#include "treewriter.h"

#include "filenames.h"

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <sys/stat.h>

namespace {

bool isLink(const QString &path)
{
    struct stat st;
    return ::lstat(encodeFileName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

std::vector<TreeFolder> folderTree(const QString &root, const Selection &selection,
                                   const QLocale &locale)
{
    std::vector<TreeFolder> tree{{root, {}}};
    for (std::size_t at = 0; at < tree.size(); ++at) {
        SelectedListing folders;
        if (folders.read(tree[at].path, EntryKind::Folders, selection, locale) != 0)
            continue;
        const std::size_t first = tree.size();
        for (qsizetype i = 0; i < folders.count(); ++i) {
            const QString name = folders.name(i);
            const QString path = tree[at].path + name;
            if (name == u".sh_thumbnails" || isLink(path))
                continue;
            tree[at].links.subfolders << name;
            tree.push_back({path + u'/', {true, {}}});
        }
        // Depth first reads better in a report: each folder right before what it holds.
        std::rotate(tree.begin() + qsizetype(at) + 1, tree.begin() + qsizetype(first), tree.end());
    }
    return tree;
}

std::vector<PageResult> writeTree(const std::vector<TreeFolder> &folders,
                                  const std::function<PageResult(const TreeFolder &)> &write,
                                  const std::function<void(const PageResult &)> &done)
{
    std::vector<PageResult> results(folders.size());
    std::atomic<std::size_t> next = 0;
    std::mutex reporting;
    auto work = [&] {
        for (std::size_t i = next++; i < folders.size(); i = next++) {
            results[i] = write(folders[i]);
            if (done) {
                const std::lock_guard lock(reporting);
                done(results[i]);
            }
        }
    };
    const unsigned threads =
        std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, unsigned(folders.size()));
    std::vector<std::thread> workers;
    for (unsigned t = 1; t < threads; ++t)
        workers.emplace_back(work);
    work();
    for (std::thread &worker : workers)
        worker.join();
    return results;
}
