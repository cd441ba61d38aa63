#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <string>

// The text in Windows-1252; every character the code page lacks, controls of the 0x80 to 0x9F
// block included, becomes a decimal character reference ("&#12354;"), so that no two texts come
// out the same and a page shows every name.
QByteArray toWindows1252(QStringView text);
void appendWindows1252(std::string &out, QStringView text);

// Whether `rawName` is a name CodePageFile gives, for a moment, to the new file that replaces
// `rawPageName`: "." + the page's name + "." + 1 to 7 base-36 digits in lower case. Listings
// leave such names out, as a page that another run is just putting in place.
bool isTemporaryNameOf(const char *rawName, const char *rawPageName);
// The same for the index page, "Quorvel-Html_index.html".
bool isPageTemporaryName(const char *rawName);

// Lines in Windows-1252, each ended by CR LF, that replace a file only once they are all
// written: they go to a new file in the same folder, unnamed where the file system allows (else
// under a hidden name, created exclusively), which commit() names and renames over the old name.
// So a failure leaves the old file as it was, and a link planted at the name is replaced, never
// written through. The new file keeps the old one's mode, owner (for root), ACL and user
// attributes. Errors are values of systemerror.h.
class CodePageFile
{
public:
    CodePageFile() = default;
    CodePageFile(const CodePageFile &) = delete;
    CodePageFile &operator=(const CodePageFile &) = delete;
    ~CodePageFile();

    // Starts the replacement of `name` in the folder open as `folderFd`, which stays the
    // caller's to close. A folder, FIFO, socket or device at the name is refused without being
    // opened. Where the folder takes no new files, or lets none go (append-only), an existing
    // regular file is rewritten in place instead: the page waits in memory, and commit() first
    // reserves room for all of it, so that only a failure past that point cuts the old file.
    bool open(int folderFd, const QString &name);
    // The same, with the folder given by its path.
    bool open(const QString &folder, const QString &name);
    bool writeLine(QStringView line);
    // Writes the rest, syncs and puts the new file in place; on failure, as discard().
    bool commit();
    // Drops the new file; what stood at the name stays.
    void discard();

    int error() const { return m_error; }
    // Whether a failure now leaves the old file as it was (false once an overwrite in place has
    // begun).
    bool keepsOldFile() const { return !m_overwriting; }
    // The new file's name in the folder, while there is one.
    const QByteArray &temporaryName() const { return m_temporary; }

private:
    bool fail(int error);
    void reset(const QString &name);
    bool flush();
    int createUnnamed(unsigned mode);
    int createTemporary(unsigned mode);
    int linkAs(const QByteArray &name);
    int linkUnnamed();
    int openInPlace(const QByteArray &name, unsigned long long inode);
    void keepAttributes(const struct stat &old);
    bool overwriteInPlace();

    std::string m_buffer;
    int m_error = 0;
    int m_folder = -1;
    int m_fd = -1;
    bool m_inPlace = false;
    bool m_overwriting = false;
    bool m_unnamed = false;
    bool m_linkToName = false;
    long long m_oldSize = 0;
    QByteArray m_name;
    QByteArray m_temporary;
};
