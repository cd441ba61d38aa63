#pragma once

#include "changewatch.h"
#include "folderpage.h"
#include "foldertree.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// One folder named to the watch, with the folders below it that its pages (or listings) take: the
// tree as last read, the watches that follow it, and whether each folder's page was written,
// which its parent's link shows.
// Tells the watch of what pages write beside what they list: the page itself and the thumbnails'
// folder, so that writing them never wakes it.
void ignoreOwnNames(ChangeWatch &watch);

class WatchedTree
{
public:
    // `maxDepth` as FolderTree takes it (0: the folder alone); `links` for pages linked as a tree.
    WatchedTree(const QString &root, int maxDepth, bool links);

    // Reads the tree again. Returns 0 or the top folder's error value; a top folder that is no
    // longer the one first read counts as gone (ENOENT). With `watch`, each folder not yet watched
    // is watched as it is entered, before its entries are read, so that no change between the
    // reading and the watch goes unseen; sync() then takes those watches as its own.
    int read(const Selection &selection, const QLocale &locale, ChangeWatch *watch = nullptr);
    const FolderTree &tree() const { return *m_tree; }
    const QString &root() const { return m_root; }
    FolderKey top() const { return m_top; }
    bool contains(FolderKey key) const { return m_index.contains(key); }
    qsizetype folderCount() const { return qsizetype(m_tree->folders().size()); }
    // The folder of `key` and every folder below it: pages that name it in their path.
    std::vector<FolderKey> subtree(FolderKey key) const;

    // Watches the folders of the tree not yet watched and lets go of those no longer in it, so
    // that a folder is watched before its page is next read. The folders newly watched go to
    // `added`; those among them whose entries changed since the tree was read, before their
    // watch began, go to `stale` as well. Returns 0 or an error value; on failure nothing new
    // stays watched. The pages written later take their own events off `watch` as they go.
    int sync(ChangeWatch &watch, std::vector<FolderKey> *added = nullptr,
             std::vector<FolderKey> *stale = nullptr);
    void unwatch(ChangeWatch &watch);

    // Every page, as a run without the watch writes them; `done` told of each as it ends, one at
    // a time.
    std::vector<PageResult> writeAll(const FolderPageRequest &request, const PageServices &services,
                                     const std::function<void(const PageResult &)> &done = {});
    // The pages of the folders of `keys` that are in the tree, those below first. `stop` is asked
    // between pages; `done` told of each, but of none whose folder has moved away since the tree
    // was read.
    void writePages(const std::vector<FolderKey> &keys, const FolderPageRequest &request,
                    const PageServices &services,
                    const std::function<void(const PageResult &)> &done,
                    const std::function<bool()> &stop);

private:
    void dropEntered(ChangeWatch &watch);
    FileDescriptor openFolder(qsizetype index, int &error) const;
    // None for a folder no longer where the tree was read.
    std::optional<PageResult> writePage(qsizetype index, const FolderPageRequest &request,
                                        const PageServices &services);

    QString m_root;
    int m_maxDepth;
    bool m_links;
    FolderKey m_top;
    timespec m_readAt{}; // when the tree was last read, on the file system's clock
    std::unique_ptr<FolderTree> m_tree;
    QHash<FolderKey, qsizetype> m_index;
    QSet<FolderKey> m_watched;
    QSet<FolderKey> m_entered;        // watched by the last read, not yet taken by sync()
    QSet<FolderKey> m_renewed;        // of m_watched, found by the last read to be new folders
    int m_enterError = 0;             // why a watch of the last read failed, or 0
    ChangeWatch *m_watch = nullptr;   // the one sync() watches with
    QHash<FolderKey, bool> m_written; // whether its last page was written
};
