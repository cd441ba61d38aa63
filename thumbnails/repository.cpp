#include "repository.h"

#include "appinfo.h"
#include "filereplacement.h"
#include "pngfile.h"
#include "replacementbatch.h"

#include <QHash>

#include <cerrno>
#include <csignal>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace Repository {

namespace {

constexpr qint64 largestThumbnailFile = 8 << 20;
const QByteArray software = "Quorvel Folimbra";

// Another user's entry, or a link, is not ours to read: only the disk failing is worth telling.
int readFailure(int error)
{
    return error == ENOENT || error == EACCES || error == EPERM || error == ELOOP ? 0 : error;
}

mode_t thumbnailMode(const Image &image)
{
    return image.st.st_mode & 0666;
}

// Whether the entry lets in anyone the image does not.
bool moreOpen(const struct stat &entry, const Image &image)
{
    const mode_t extra = entry.st_mode & 0666 & ~thumbnailMode(image);
    return extra != 0 || (entry.st_gid != image.st.st_gid && (entry.st_mode & 0060) != 0);
}

bool matches(const QHash<QByteArray, QByteArray> &text, const char *key, const QByteArray &value,
             bool required)
{
    const auto found = text.constFind(key);
    return found == text.cend() ? !required : *found == value;
}

QByteArray temporaryStem()
{
    return temporaryPrefix + QByteArray::number(::getpid()) + '-';
}

} // namespace

Found inspect(int repository, const Image &image)
{
    struct stat st;
    if (::fstatat(repository, image.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {errno == ENOENT ? Entry::Missing : Entry::ForeignStale, {}, readFailure(errno)};
    errno = 0;
    const FileDescriptor fd(::openat(repository, image.name.constData(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0)
        return {Entry::ForeignStale, {}, readFailure(errno)};
    // Opened without following a link at its name and without blocking on a FIFO.
    if (!S_ISREG(st.st_mode) || st.st_size > largestThumbnailFile)
        return {Entry::ForeignStale, {}};
    errno = 0;
    const std::optional<PngFile> png = readPng(fd.get(), st.st_size);
    if (!png)
        return {Entry::ForeignStale, {}, readFailure(errno)};
    const bool own = png->text.value("Software").startsWith(software + ' ');
    // Another program's entry may leave out the keys; what it gives must be right.
    const bool fresh =
        matches(png->text, "Thumb::URI", image.uri, own)
        && matches(png->text, "Thumb::MTime", QByteArray::number(qint64(image.st.st_mtim.tv_sec)),
                   own)
        && matches(png->text, "Thumb::Size", QByteArray::number(image.st.st_size), own);
    const QSize original(png->text.value("Thumb::Image::Width").toInt(),
                         png->text.value("Thumb::Image::Height").toInt());
    const QSize shown = original.isEmpty() ? png->size : original;
    if (!own)
        return {fresh ? Entry::ForeignFresh : Entry::ForeignStale, shown};
    if (fresh && moreOpen(st, image)) {
        // chmod on the image keeps its time: its thumbnail follows it on every run.
        [[maybe_unused]] const int owned = ::fchown(fd.get(), uid_t(-1), image.st.st_gid);
        [[maybe_unused]] const int moded = ::fchmod(fd.get(), thumbnailMode(image));
        if (::fstat(fd.get(), &st) != 0 || moreOpen(st, image))
            return {Entry::OwnStale, shown};
    }
    return {fresh ? Entry::OwnFresh : Entry::OwnStale, shown};
}

std::vector<std::pair<QByteArray, QByteArray>> thumbnailKeys(const QByteArray &uri,
                                                             const struct stat &st, QSize oriented)
{
    return {{"Thumb::URI", uri},
            {"Thumb::MTime", QByteArray::number(qint64(st.st_mtim.tv_sec))},
            {"Thumb::Size", QByteArray::number(st.st_size)},
            {"Thumb::Image::Width", QByteArray::number(oriented.width())},
            {"Thumb::Image::Height", QByteArray::number(oriented.height())},
            {"Software", software + ' ' + AppInfo::versionText().toLatin1()}};
}

int save(int repository, const Image &image, const QByteArray &png, ReplacementBatch &batch)
{
    ReplacementOptions options;
    options.mode = int(thumbnailMode(image));
    options.group = int(image.st.st_gid);
    options.inPlace = false;
    options.temporaryStem = temporaryStem();
    if (png.isEmpty())
        return EINVAL;
    FileReplacement file;
    if (file.open(repository, image.name, options)
        && file.write(std::string_view(png.constData(), std::size_t(png.size())))
        && file.commit(&batch))
        return 0;
    return file.error() != 0 ? file.error() : EIO;
}

QByteArray thumbnailUri(const QByteArray &rawName)
{
    // A relative URI of one path segment, escaped as GLib's file names are, which is how
    // readers compute the name.
    return "./" + rawName.toPercentEncoding("!$&'()*+,=:@");
}

QByteArray thumbnailFile(int size, const QByteArray &name)
{
    return folderName + '/' + sizeFolders[size] + '/' + name;
}

Opened openRepository(int parent, const QByteArray &name, mode_t mode, gid_t group,
                      FileDescriptor &fd)
{
    const bool made = ::mkdirat(parent, name.constData(), 0700) == 0;
    if (!made && errno != EEXIST)
        return Opened::Failed;
    fd.reset(::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isOpen())
        return errno == ELOOP || errno == ENOTDIR ? Opened::Refused : Opened::Failed;
    if (made) {
        if (::fchown(fd.get(), uid_t(-1), group) != 0)
            mode &= ~mode_t(070);
        [[maybe_unused]] const int moded = ::fchmod(fd.get(), mode);
        return Opened::Yes;
    }
    // One made before (by hand, or by a run that knew less) and ours: closed to others' writing
    // and sticky where the folder is, but never opened wider, as its owner may keep it private.
    // Another user's is left as it is.
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && st.st_uid == ::geteuid()) {
        const mode_t wanted = (st.st_mode & 07777 & ~mode_t(S_IWOTH)) | (mode & S_ISVTX);
        if (wanted != (st.st_mode & 07777)) [[maybe_unused]]
            const int moded = ::fchmod(fd.get(), wanted);
    }
    return Opened::Yes;
}

void removeLeftovers(int repository)
{
    const int fd = ::openat(repository, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name = entry->d_name;
        if (!name.startsWith(temporaryPrefix))
            continue;
        const qsizetype digits = temporaryPrefix.size();
        const qsizetype dash = name.indexOf('-', digits);
        bool number = false;
        const int pid = name.mid(digits, dash - digits).toInt(&number);
        if (number && dash > digits && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            ::unlinkat(repository, name.constData(), 0);
    }
    ::closedir(dir);
}

} // namespace Repository
