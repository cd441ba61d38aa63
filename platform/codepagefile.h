#pragma once

#include "filereplacement.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <string>
#include <string_view>
#include <vector>

// Whether `rawName` is a name CodePageFile gives, for a moment, to the new file that replaces
// `rawPageName`: "." + the page's name + "." + the process id + "-" + 1 to 7 base-36 digits in
// lower case (earlier versions left out the process and its dash). Listings leave such names
// out, as a page that another run is just putting in place.
bool isTemporaryNameOf(const char *rawName, const char *rawPageName);
// Whether it is a temporary name of some file ("." + a name + "." + a process id + "-" + 1 to 7
// base-36 digits) that names the process that made it.
bool namesItsProcess(const char *rawName);
// Removes from the folder open as `folderFd` those of `rawNames` that are temporary names of
// `rawPageName` whose process is gone: the pages of a tree run that died before they went in place.
void removeLeftoverTemporaries(int folderFd, const std::vector<QByteArray> &rawNames,
                               const char *rawPageName);

// Lines in Windows-1252, each ended by CR LF, that replace a file only once they are all
// written, through FileReplacement: a failure leaves the old file as it was, a link planted at
// the name is replaced, never written through, and the new file keeps the old one's mode, owner
// (for root), ACL and user attributes. Errors are values of systemerror.h.
class CodePageFile
{
public:
    // Starts the replacement of `name` in the folder open as `folderFd`, which stays the
    // caller's to close; see FileReplacement::open().
    bool open(int folderFd, const QString &name, const ReplacementOptions &options = {});
    // The same, with the folder given by its path.
    bool open(const QString &folder, const QString &name, const ReplacementOptions &options = {});
    bool writeLine(QStringView line);
    // Text without a line end; the varying one may differ from run to run (see
    // FileReplacement::writeVarying()).
    bool writeText(QStringView text);
    bool writeVarying(QStringView text);
    // Lines already in Windows-1252, each with its CR LF.
    bool writeBytes(std::string_view bytes) { return m_file.write(bytes); }
    // Writes the rest, syncs and puts the new file in place; on failure, as discard().
    bool commit() { return m_file.commit(); }
    // The same, or left for `batch` to put in place; see FileReplacement.
    bool commit(ReplacementBatch *batch) { return m_file.commit(batch); }
    // Drops the new file; what stood at the name stays.
    void discard() { m_file.discard(); }

    int error() const { return m_file.error(); }
    // Whether commit() left the old file, equal (see ReplacementOptions::keepEqual).
    bool left() const { return m_file.left(); }
    // Whether a failure now leaves the old file as it was (false once an overwrite in place has
    // begun).
    bool keepsOldFile() const { return m_file.keepsOldFile(); }
    // The new file's name in the folder, while there is one.
    const QByteArray &temporaryName() const { return m_file.temporaryName(); }

private:
    FileReplacement m_file;
    std::string m_line;
};
