#pragma once

#include <QByteArray>

#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

class ReplacementBatch;

// How FileReplacement makes the new file.
struct ReplacementOptions
{
    // The new file's mode and group, whatever the umask. -1 keeps the old file's mode, owner
    // (for root), ACL and user attributes; without an old file the mode is 0666 less the umask.
    int mode = -1;
    int group = -1;
    // Whether an existing file may be rewritten in place where the folder takes no new names or
    // lets none go.
    bool inPlace = true;
    // The hidden name a new file has before it is renamed: this stem and 1 to 7 base-36 digits.
    // Empty stands for "." + the name + "." + the process id + "-", so that the next run can tell
    // the leftovers of one that died (see isLeftoverTemporary()).
    QByteArray temporaryStem;
    // Where the old file is a regular file whose bytes equal the new ones, but for those written
    // through writeVarying(), it is left as it was: no new file is made, and commit() puts
    // nothing in place (left() then says so).
    bool keepEqual = false;
};

// Bytes that replace a file only once they are all written: they go to a new file in the same
// folder, unnamed where the file system allows (else under a hidden name, created exclusively),
// which commit() syncs, names and renames over the old name. So a failure leaves the old file as
// it was, and a link planted at the name is replaced, never written through. Errors are values
// of systemerror.h.
class FileReplacement
{
public:
    FileReplacement() = default;
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;
    ~FileReplacement();

    // Starts the replacement of `rawName` in the folder open as `folderFd`, which stays the
    // caller's to close. A folder, FIFO, socket or device at the name is refused without being
    // opened. Where the folder takes no new files, or lets none go (append-only), an existing
    // regular file is rewritten in place instead (if the options allow): the bytes wait in
    // memory, and commit() first reserves room for all of them, so that only a failure past
    // that point cuts the old file.
    bool open(int folderFd, const QByteArray &rawName, const ReplacementOptions &options = {});
    bool write(std::string_view bytes);
    // Bytes that change on every run, such as a time. Where the old file is compared with the new
    // one (keepEqual), it may hold anything there up to the byte that comes next in the new one:
    // at most 64 bytes, on the same line.
    bool writeVarying(std::string_view bytes);
    // Writes the rest, syncs and puts the new file in place; on failure, as discard().
    bool commit();
    // The same, except where `batch` takes the new file: it is then left complete under a hidden
    // name, to be synced and renamed with the others of the batch.
    bool commit(ReplacementBatch *batch);
    // Drops the new file; what stood at the name stays.
    void discard();
    // Ends the replacement with an error found before open(), such as a folder that would not
    // open; returns false.
    bool refuse(int error);

    int error() const { return m_error; }
    // Whether a failure now leaves the old file as it was (false once an overwrite in place has
    // begun).
    bool keepsOldFile() const { return !m_overwriting; }
    // The new file's name in the folder, while there is one.
    const QByteArray &temporaryName() const { return m_temporary; }
    // Whether commit() found the old file equal and left it.
    bool left() const { return m_left; }

private:
    // A stretch of the new file that writeVarying() gave, and where its counterpart lies in the
    // old one.
    struct Varying
    {
        long long oldStart;
        long long oldEnd; // -1 until the bytes after it are compared
        std::string bytes;
    };

    bool create();
    bool openOld();
    bool compare(std::string_view bytes);
    int readOld();
    bool skipVarying(int next);
    bool diverge();
    bool copyOld(int fd, long long from, long long to);
    bool fail(int error);
    bool flush();
    int createUnnamed(unsigned mode);
    int createTemporary(unsigned mode);
    QByteArray randomTemporaryName() const;
    int linkAs(const QByteArray &name);
    int linkUnnamed();
    int openInPlace(const QByteArray &name, unsigned long long inode);
    void keepAttributes(const struct stat &old);
    void setAttributes();

    std::string m_buffer;
    ReplacementOptions m_options;
    int m_error = 0;
    int m_folder = -1;
    int m_fd = -1;
    bool m_inPlace = false;
    bool m_overwriting = false;
    bool m_unnamed = false;
    bool m_linkToName = false;
    long long m_oldSize = 0;
    struct stat m_oldStatus = {};
    bool m_hasOld = false;
    bool m_left = false;
    // While keepEqual holds and the new bytes so far match: the old file, the part of it read
    // and not yet compared, and how far it is compared.
    int m_old = -1;
    std::string m_oldBytes;
    std::size_t m_oldAt = 0;
    bool m_oldEnded = false; // the last read reached the end of the old file
    long long m_compared = 0;
    bool m_skipping = false;
    std::vector<Varying> m_varying;
    QByteArray m_name;
    QByteArray m_temporary;
};
