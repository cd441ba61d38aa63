#pragma once

#include <QString>

class FolderListing;

// The list of a folder's files that the page walks: the window's file list and the headless
// folder reader both offer it.
class FileList
{
public:
    virtual ~FileList() = default;

    // Re-reads the folder from disk. On failure `error` says what failed and on which folder.
    virtual bool Refresh(QString *error) = 0;
    virtual qsizetype ListCount() const = 0;
    // The selected entry, 0 being the first; -1 while none is.
    virtual qsizetype ListIndex() const = 0;
    virtual void setListIndex(qsizetype index) = 0;
    // The selected entry's name, without folder.
    virtual QString FileName() const = 0;
    // The entries as raw names, index for index, when the list holds them: the page writer then
    // looks the files up ahead of itself. Null when it does not.
    virtual const FolderListing *listing() const { return nullptr; }
};
