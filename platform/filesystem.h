#pragma once

#include "filedescriptor.h"

#include <QString>

#include <functional>
#include <string>
#include <vector>

// Folders are read through the system's own directory calls: Qt's listing drops names that are
// not valid text in the system's encoding, and reading one folder of a million files must not
// cost a file-information object a name.

enum class EntryKind {
    Files,   // everything that is not a folder: files, links to files, dangling links, devices...
    Folders, // folders and links to folders
};

// Raw names, each ended by a NUL byte, kept one after another in one block.
class NameBlock
{
public:
    void clear();
    void add(const char *name, std::size_t length);
    std::size_t size() const { return m_starts.size(); }
    const char *at(std::size_t i) const { return m_bytes.data() + m_starts[i]; }
    std::size_t length(std::size_t i) const;
    // Room for this many names of this many bytes in all, their ends included.
    void reserve(std::size_t names, std::size_t bytes);
    std::size_t bytes() const { return m_bytes.size(); }
    // Keeps the names in the given order of their indexes.
    void reorder(const std::vector<std::size_t> &order);

private:
    std::string m_bytes;
    std::vector<std::size_t> m_starts;
};

// Reads the names of one kind of entry in the folder; returns 0 or an errno value. The folder may
// be given as a descriptor already open, which stays the caller's.
int scanFolder(const QString &folder, EntryKind kind, NameBlock &names);
int scanFolder(int folderFd, EntryKind kind, NameBlock &names);
// Both kinds from one read, the files handed to `takeFiles` as they come, `chunk` names at a time
// and the rest at the end, so that work on them can start while the folder is still being read.
// The block given is the caller's to empty; on failure what was handed over is to be dropped.
int scanFolder(int folderFd, NameBlock &folders, std::size_t chunk,
               const std::function<void(NameBlock &files)> &takeFiles);

struct FileStatus
{
    qint64 size = 0;
    qint64 modifiedSeconds = 0; // since the Unix epoch
};

// An open folder whose entries can be looked at by their raw names.
class FolderHandle
{
public:
    FolderHandle() = default;
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;
    ~FolderHandle();

    int open(const QString &folder);
    // Looks at the entries through a copy of a descriptor that stays the caller's.
    int open(int folderFd);
    // Size and modification time of the entry, following links; a link that leads nowhere gives
    // its own. Returns 0 or an errno value.
    int status(const char *rawName, FileStatus &out) const;

private:
    int m_fd = -1;
};

// Raises the limit of open descriptors to what the system allows: a tree is walked holding one
// for each level it is inside.
void raiseOpenFileLimit();

// Opens a folder by its path, following links as the user named it; on failure the descriptor is
// closed and errno says why.
FileDescriptor openFolder(const QString &folder);
