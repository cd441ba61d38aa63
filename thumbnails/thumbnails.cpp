#include "thumbnails.h"

#include "filedescriptor.h"
#include "filenames.h"
#include "imagedecode.h"
#include "replacementbatch.h"
#include "repository.h"
#include "thumbnailcaches.h"
#include "videoname.h"
#include "workpool.h"

#include <QCryptographicHash>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <variant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int shownEdge = 200; // the picture's box on the page
constexpr std::chrono::milliseconds longestDecode = std::chrono::seconds(10);

constexpr int sizeCount = thumbnailSizes;
static_assert(std::size(Repository::sizeFolders) == sizeCount);

using Repository::Entry;
using Repository::Opened;

// The decoders speak through Qt's messages; while any run decodes they are gathered for it.
struct DecoderMessages
{
    std::mutex mutex;
    int runs = 0;
    QtMessageHandler previous = nullptr;
    QStringList texts;
};

DecoderMessages &decoderMessages()
{
    static DecoderMessages messages;
    return messages;
}

void gatherMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    DecoderMessages &messages = decoderMessages();
    const std::lock_guard lock(messages.mutex);
    if (type == QtFatalMsg && messages.previous)
        messages.previous(type, context, text);
    if (!messages.texts.contains(text))
        messages.texts << text;
}

class MessageCatcher
{
public:
    MessageCatcher()
    {
        DecoderMessages &messages = decoderMessages();
        const std::lock_guard lock(messages.mutex);
        if (messages.runs++ == 0)
            messages.previous = qInstallMessageHandler(gatherMessage);
    }
    MessageCatcher(const MessageCatcher &) = delete;
    MessageCatcher &operator=(const MessageCatcher &) = delete;
    // What was said since; each text goes to one run only.
    QStringList finish()
    {
        DecoderMessages &messages = decoderMessages();
        const std::lock_guard lock(messages.mutex);
        if (--messages.runs == 0)
            qInstallMessageHandler(messages.previous);
        return std::exchange(messages.texts, {});
    }
};

// Whose files the folder's page shows, and where: a link is followed only to what its owner
// can read inside it.
struct Folder
{
    int fd = -1;
    std::chrono::milliseconds decodeBudget = longestDecode;
    struct stat st = {};
    QByteArray path; // as the kernel names it, with a final "/"; empty if unknown
    int repositories[sizeCount] = {-1, -1};
};

QByteArray pathOf(int fd)
{
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    QByteArray path(4096, Qt::Uninitialized);
    const ssize_t length = ::readlink(link, path.data(), std::size_t(path.size()));
    if (length <= 0 || length >= path.size())
        return {};
    path.truncate(length);
    return path;
}

bool ownerCanRead(const struct stat &file, const struct stat &folder)
{
    if (folder.st_uid == 0)
        return true;
    if (file.st_uid == folder.st_uid)
        return file.st_mode & S_IRUSR;
    if (file.st_gid == folder.st_gid)
        return file.st_mode & S_IRGRP;
    return file.st_mode & S_IROTH;
}

// Opens the image; for a link, only where it may be shown.
std::optional<LeftOut> openImage(const Folder &folder, const QByteArray &rawName,
                                 Repository::Image &image)
{
    struct stat named;
    if (::fstatat(folder.fd, rawName.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return LeftOut::Unreadable;
    const bool link = S_ISLNK(named.st_mode);
    // A file is opened only once it is to be decoded (reopen()): fresh thumbnails open no image.
    if (!link) {
        image.st = named;
        return S_ISREG(named.st_mode) ? std::nullopt : std::optional(LeftOut::Unreadable);
    }
    // O_NONBLOCK: a FIFO named like a photo must not hold the page up.
    image.fd.reset(::openat(folder.fd, rawName.constData(),
                            O_RDONLY | O_NONBLOCK | O_CLOEXEC | (link ? 0 : O_NOFOLLOW)));
    if (!image.fd.isOpen() || ::fstat(image.fd.get(), &image.st) != 0 || !S_ISREG(image.st.st_mode))
        return link ? LeftOut::Link : LeftOut::Unreadable;
    if (link
        && (folder.path.isEmpty() || !pathOf(image.fd.get()).startsWith(folder.path)
            || !ownerCanRead(image.st, folder.st)))
        return LeftOut::Link;
    return std::nullopt;
}

// Opens for decoding the image openImage() looked at without opening; false where what is at the
// name now is another file.
bool reopen(const Folder &folder, const QByteArray &rawName, Repository::Image &image)
{
    if (image.fd.isOpen())
        return true;
    image.fd.reset(
        ::openat(folder.fd, rawName.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    if (!image.fd.isOpen() || ::fstat(image.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)
        || st.st_ino != image.st.st_ino || st.st_dev != image.st.st_dev)
        return false;
    image.st = st;
    return true;
}

using Outcome = std::variant<Thumbnail, LeftOut>;

// `written` takes the new thumbnails, `writtenSizes` says which size each is.
// `taken` gets the photo's date where it was read or `readDates` asks for it.
Outcome thumbnailOf(const Folder &folder, const QByteArray &rawName, ReplacementBatch &written,
                    std::vector<int> &writtenSizes, std::vector<ThumbnailRun::Failure> &failures,
                    bool readDates, std::optional<PhotoDate> &taken)
{
    Repository::Image image;
    if (const std::optional<LeftOut> refused = openImage(folder, rawName, image))
        return *refused;
    const auto readDate = [&] {
        if (readDates && !isVideoFileName(rawName) && reopen(folder, rawName, image))
            taken = readPhotoDate(image.fd.get());
    };
    image.uri = Repository::thumbnailUri(rawName);
    image.name = QCryptographicHash::hash(image.uri, QCryptographicHash::Md5).toHex() + ".png";

    Repository::Found found[sizeCount];
    std::array<bool, sizeCount> wanted{};
    for (int s = 0; s < sizeCount; ++s) {
        if (folder.repositories[s] < 0) {
            found[s].entry = Entry::ForeignStale;
            continue;
        }
        found[s] = Repository::inspect(folder.repositories[s], image);
        if (found[s].error != 0)
            failures.push_back({Repository::thumbnailFile(s, image.name), found[s].error,
                                ThumbnailRun::Failure::Read});
        wanted[s] = found[s].entry == Entry::Missing || found[s].entry == Entry::OwnStale;
    }
    // Not ours to replace, and out of date: the page shows the image itself.
    if (found[0].entry == Entry::ForeignStale) {
        readDate();
        return LeftOut::Foreign;
    }
    QSize oriented = found[0].shown;
    bool usable[sizeCount] = {};
    if (std::find(wanted.begin(), wanted.end(), true) == wanted.end()) {
        readDate();
    } else {
        if (!reopen(folder, rawName, image))
            return LeftOut::Unreadable;
        const EncodedThumbnails encoded =
            encodeThumbnails({image.fd.get(), image.st, image.uri, isVideoFileName(rawName)},
                             wanted, folder.decodeBudget);
        taken = encoded.taken;
        if (encoded.failure)
            return *encoded.failure;
        oriented = encoded.oriented;
        for (int s = sizeCount - 1; s >= 0; --s) {
            if (!wanted[s])
                continue;
            const std::size_t before = written.size();
            const int error =
                Repository::save(folder.repositories[s], image, encoded.pngs[s], written);
            usable[s] = error == 0;
            if (error != 0 && !encoded.pngs[s].isEmpty())
                failures.push_back({Repository::thumbnailFile(s, image.name), error});
            if (written.size() > before)
                writtenSizes.push_back(s);
        }
    }
    for (int s = 0; s < sizeCount; ++s)
        usable[s] =
            usable[s] || found[s].entry == Entry::OwnFresh || found[s].entry == Entry::ForeignFresh;
    if (!usable[0] || oriented.isEmpty())
        return LeftOut::Unreadable;
    const QSize box = fitWithin(oriented, shownEdge, true);
    return Thumbnail{Repository::thumbnailFile(0, image.name),
                     usable[1] ? Repository::thumbnailFile(1, image.name) : QByteArray(),
                     box.width(), box.height()};
}

} // namespace

QByteArray thumbnailName(const QByteArray &rawName)
{
    return QCryptographicHash::hash(Repository::thumbnailUri(rawName), QCryptographicHash::Md5)
               .toHex()
           + ".png";
}

ThumbnailRun makeThumbnails(const QString &folder, const std::vector<QByteArray> &rawNames)
{
    const FileDescriptor folderFd(
        ::open(encodeFileName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.isOpen()) {
        ThumbnailRun run;
        run.thumbnails.resize(rawNames.size());
        run.taken.resize(rawNames.size());
        run.leftOut[int(LeftOut::Unreadable)] = int(rawNames.size());
        return run;
    }
    return makeThumbnails(folderFd.get(), rawNames);
}

ThumbnailRun makeThumbnails(int folderFd, const std::vector<QByteArray> &rawNames, bool readDates)
{
    ThumbnailRun run;
    run.thumbnails.resize(rawNames.size());
    run.taken.resize(rawNames.size());
    Folder folder;
    folder.fd = folderFd;
    // Shorter for tests, which must run out of it without a slow image.
    bool set = false;
    const int budget = qEnvironmentVariableIntValue("FOLIMBRA_DECODE_MS", &set);
    if (set && budget >= 0)
        folder.decodeBudget = std::chrono::milliseconds(budget);
    if (rawNames.empty())
        return run;
    if (::fstat(folderFd, &folder.st) != 0) {
        run.failures.push_back({{}, errno, ThumbnailRun::Failure::ReadFolder});
        return run;
    }
    if (isInThumbnailFolder(folderFd)) {
        run.thumbnailFolder = true;
        return run;
    }
    folder.path = pathOf(folderFd);
    if (!folder.path.isEmpty() && !folder.path.endsWith('/'))
        folder.path += '/';
    // Whoever may list the folder may list its thumbnails, but others may never write there:
    // they could swap anyone's thumbnails. Sticky stays sticky.
    const mode_t mode = folder.st.st_mode & 03775;
    FileDescriptor repository;
    FileDescriptor repositories[sizeCount];
    // A folder we may not write to is no fault of the run's; a disk that fails or is full is.
    const auto failed = [&run](const QByteArray &file) {
        if (errno != EACCES && errno != EPERM && errno != EROFS)
            run.failures.push_back({file, errno, ThumbnailRun::Failure::MakeFolder});
    };
    Opened opened = Repository::openRepository(folderFd, Repository::folderName, mode,
                                               folder.st.st_gid, repository);
    if (opened == Opened::Failed)
        failed(Repository::folderName + '/');
    for (int s = 0; s < sizeCount && opened == Opened::Yes; ++s) {
        const Opened one = Repository::openRepository(repository.get(), Repository::sizeFolders[s],
                                                      mode, folder.st.st_gid, repositories[s]);
        if (one == Opened::Failed)
            failed(Repository::folderName + '/' + Repository::sizeFolders[s] + '/');
        // Without "large" there is nothing to show; without "x-large", only no sharper one.
        if (s == 0 || one == Opened::Refused)
            opened = one;
        folder.repositories[s] = repositories[s].get();
        if (repositories[s].isOpen())
            Repository::removeLeftovers(repositories[s].get());
    }
    if (opened != Opened::Yes) {
        run.noRepository = opened == Opened::Refused;
        if (!run.noRepository)
            run.leftOut[int(LeftOut::Unreadable)] = int(rawNames.size());
        return run;
    }
    limitImageReaders();

    MessageCatcher catcher;
    std::vector<Outcome> outcomes(rawNames.size(), LeftOut::Unreadable);
    // Each waiting thumbnail holds its folder open: a round of images goes in place before the
    // descriptors run short.
    const std::size_t round = ReplacementBatch::room(8);
    WorkPool &pool = WorkPool::instance();
    for (std::size_t first = 0; first < rawNames.size(); first += round) {
        const std::size_t end = std::min(rawNames.size(), first + round);
        ReplacementBatch waiting;
        std::vector<std::pair<std::size_t, int>> waitingSizes; // image, size
        std::mutex gathering;
        std::atomic<std::size_t> next = first;
        pool.run(int(std::min(std::size_t(pool.size()), end - first - 1)), [&](int) {
            for (std::size_t i; (i = next++) < end;) {
                ReplacementBatch written;
                std::vector<int> made;
                std::vector<ThumbnailRun::Failure> failed;
                outcomes[i] = thumbnailOf(folder, rawNames[i], written, made, failed, readDates,
                                          run.taken[i]);
                const std::lock_guard lock(gathering);
                waiting.append(written);
                for (const int s : made)
                    waitingSizes.emplace_back(i, s);
                run.failures.insert(run.failures.end(), failed.begin(), failed.end());
            }
        });
        const std::vector<int> errors = waiting.commit();
        for (std::size_t k = 0; k < errors.size(); ++k) {
            const auto [i, s] = waitingSizes[k];
            auto *made = std::get_if<Thumbnail>(&outcomes[i]);
            if (errors[k] == 0)
                continue;
            run.failures.push_back(
                {Repository::thumbnailFile(s, thumbnailName(rawNames[i])), errors[k]});
            if (!made)
                continue;
            if (s == 0)
                outcomes[i] = LeftOut::Unreadable;
            else
                made->largeFile.clear();
        }
    }
    run.decoderMessages = catcher.finish();
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (const auto *made = std::get_if<Thumbnail>(&outcomes[i]))
            run.thumbnails[i] = *made;
        else
            ++(isVideoFileName(rawNames[i])
                   ? run.videosLeftOut
                   : run.leftOut)[std::size_t(std::get<LeftOut>(outcomes[i]))];
    }
    return run;
}
