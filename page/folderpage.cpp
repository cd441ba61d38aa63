#include "folderpage.h"

#include "clock.h"
#include "codepagefile.h"
#include "filenames.h"
#include "filereplacement.h"
#include "folderlisting.h"
#include "localetext.h"
#include "photodate.h"
#include "replacementbatch.h"
#include "systemerror.h"
#include "thumbnails.h"
#include "videoname.h"

#include <QHash>

#include <algorithm>
#include <mutex>

namespace {

// Where the page is one of a tree's, `place` says where, and `bytes` receives what its files
// weigh.
PageResult writePageOfStyle(const QString &CurrentPath, const Listing &files,
                            const FolderPageRequest &request, const PageServices &services,
                            const ModernPlace *place, qint64 *bytes)
{
    if (request.style == PageStyle::Classic)
        return writeIndexPage(CurrentPath, files, request.page, services);
    ModernPlace links;
    if (!place && services.folderLinks) {
        for (const FolderLink &folder : services.folderLinks->subfolders)
            links.subfolders.push_back({folder.name, folder.hasPage});
        place = &links;
    }
    return writeModernPage(CurrentPath, files, request.page, services,
                           {request.selection.sort, request.selection.reverse, place, bytes});
}

// Whether the page shows or orders by when photos were taken.
bool wantsDates(const FolderPageRequest &request)
{
    return request.selection.sort == Selection::Sort::Taken
           || (request.style == PageStyle::Modern && request.page.images);
}

// The dates photos were taken, by name, from the thumbnails' run where there was one, else read
// from the photos' headers; and the listing in their order where it is asked for.
struct TakenDates
{
    QHash<QString, PhotoDate> dates;
    std::optional<Listing> ordered;
};

TakenDates takenDates(int folderFd, const Listing &files, const FolderPageRequest &request,
                      const std::vector<QByteArray> &images, const ThumbnailRun *run)
{
    TakenDates taken;
    std::vector<std::optional<PhotoDate>> read;
    if (!run || run->thumbnailFolder || run->noRepository)
        read = readPhotoDates(folderFd, images);
    const std::vector<std::optional<PhotoDate>> &found = read.empty() && run ? run->taken : read;
    for (std::size_t i = 0; i < images.size() && i < found.size(); ++i) {
        if (found[i])
            taken.dates.insert(decodeFileName(images[i]), *found[i]);
    }
    if (request.selection.sort != Selection::Sort::Taken)
        return taken;
    std::vector<std::optional<qint64>> times(std::size_t(files.count()));
    for (qsizetype i = 0; i < files.count() && !taken.dates.isEmpty(); ++i) {
        const auto date = taken.dates.constFind(files.name(i));
        if (date != taken.dates.cend())
            times[std::size_t(i)] = date->epochSeconds();
    }
    taken.ordered = files.orderedByTime(times, request.selection.reverse);
    return taken;
}

// The tags of the listed music files, read on all cores before the page; an empty hash where
// the folder holds no music, so that its page has no columns for them.
QHash<QString, AudioTags> listedTags(int folderFd, const Listing &files)
{
    std::vector<QByteArray> tracks;
    for (qsizetype i = 0; i < files.count(); ++i) {
        if (isAudioFileName(files.rawName(i)))
            tracks.emplace_back(files.rawName(i));
    }
    const std::vector<std::optional<AudioTags>> read = readAudioTags(folderFd, tracks);
    QHash<QString, AudioTags> tags;
    for (std::size_t i = 0; i < tracks.size(); ++i)
        tags.insert(decodeFileName(tracks[i]), read[i].value_or(AudioTags{}));
    return tags;
}

PageResult writePicturedPage(const QString &CurrentPath, int folderFd, const Listing &files,
                             const FolderPageRequest &request, PageServices services,
                             const ModernPlace *place, qint64 *bytes)
{
    services.folderFd = folderFd;
    if (!files.temporaries().empty()) {
        removeLeftoverTemporaries(folderFd, files.temporaries(),
                                  pageFileName().toUtf8().constData());
    }
    const bool dated = wantsDates(request);
    std::vector<QByteArray> images;
    if (request.thumbnails || dated) {
        for (qsizetype i = 0; i < files.count(); ++i) {
            // Posters are for the modern page, whose viewer plays the videos.
            if (isImageName(files.name(i))
                || (request.thumbnails && request.style == PageStyle::Modern
                    && isVideoFileName(files.rawName(i))))
                images.emplace_back(files.rawName(i));
        }
    }
    TakenDates taken;
    // Thumbnails are made before the page, from the same listing.
    QHash<QString, PagePicture> pictures;
    if (request.thumbnails) {
        const ThumbnailRun run = makeThumbnails(folderFd, images, dated);
        if (dated)
            taken = takenDates(folderFd, files, request, images, &run);
        if (request.thumbnailsMade)
            request.thumbnailsMade(CurrentPath, run);
        for (std::size_t i = 0; i < images.size(); ++i) {
            if (const std::optional<Thumbnail> &thumbnail = run.thumbnails[i])
                pictures.insert(
                    decodeFileName(images[i]),
                    {thumbnail->file, thumbnail->width, thumbnail->height, thumbnail->largeFile});
        }
        services.picture = [&pictures](const QString &name) -> std::optional<PagePicture> {
            const auto found = pictures.constFind(name);
            return found == pictures.cend() ? std::nullopt : std::optional(*found);
        };
    } else if (dated) {
        taken = takenDates(folderFd, files, request, images, nullptr);
    }
    if (!taken.dates.isEmpty()) {
        services.taken = [&taken](const QString &name) -> const PhotoDate * {
            const auto found = taken.dates.constFind(name);
            return found == taken.dates.cend() ? nullptr : &*found;
        };
    }
    QHash<QString, AudioTags> tags;
    if (request.tags && request.style == PageStyle::Modern) {
        tags = listedTags(folderFd, files);
        if (!tags.isEmpty())
            services.tags = &tags;
    }
    return writePageOfStyle(CurrentPath, taken.ordered ? *taken.ordered : files, request, services,
                            place, bytes);
}

// How a folder of the tree is called in the trail of folders above another.
QString trailName(const TreeFolder &folder)
{
    if (!folder.name.isEmpty())
        return readableFileName(decodeFileName(folder.name));
    const QString path = readableFileName(folder.path);
    const qsizetype end = path.size() - 1;
    const qsizetype slash = path.lastIndexOf(u'/', end - 1);
    return end <= 0 || slash < 0 ? path : path.mid(slash + 1, end - slash - 1);
}

void failPage(PageResult &result, int error)
{
    result.outcome = PageResult::Failed;
    result.error = failureText({u"escribir la página", result.pagePath, error});
}

} // namespace

PageResult writeFolderPage(const QString &CurrentPath, int folderFd,
                           const FolderPageRequest &request, const PageServices &services,
                           std::optional<Listing> *files)
{
    const Clock &clock = services.clock ? *services.clock : Clock::system();
    PageServices timed = services;
    timed.startedNs = clock.monotonicNanoseconds();
    Listing read;
    PageResult result;
    if (const int error = read.read(folderFd, EntryKind::Files, request.selection,
                                    services.locale ? services.locale->locale() : QLocale());
        error != 0) {
        result.error = folderReadError(CurrentPath, error);
        return result;
    }
    if (files)
        *files = read;
    // Reading a large folder takes a while: a cancel made meanwhile ends the run here.
    if (services.cancelled && services.cancelled()) {
        result.outcome = PageResult::Cancelled;
        return result;
    }
    return writeListedPage(CurrentPath, folderFd, read, request, timed);
}

PageResult writeListedPage(const QString &CurrentPath, int folderFd, const Listing &files,
                           const FolderPageRequest &request, PageServices services)
{
    return writePicturedPage(CurrentPath, folderFd, files, request, std::move(services), nullptr,
                             nullptr);
}

std::vector<PageResult> writeTreePages(const FolderTree &tree, const FolderPageRequest &request,
                                       const PageServices &services,
                                       const std::function<void(const PageResult &)> &done)
{
    const std::vector<TreeFolder> &folders = tree.folders();
    std::vector<PageResult> results(folders.size());
    std::vector<qint64> bytes(folders.size(), -1);
    std::mutex reporting;
    // Pages below the top one wait, complete, to be synced together rather than one by one; each
    // holds its folder open meanwhile, so they go in place before the descriptors run short.
    ReplacementBatch waiting(services.syncFileSystem);
    std::vector<qsizetype> waitingPages;
    // Half the descriptors, leaving the rest to the walk and the writers.
    const std::size_t room = ReplacementBatch::room(2);
    const std::size_t mostWaiting =
        services.mostWaiting > 0 ? std::min(services.mostWaiting, room) : room;
    int syncError = 0;
    const auto report = [&](const PageResult &result) {
        if (done)
            done(result);
    };
    const auto putInPlace = [&] {
        int failed = 0;
        const std::vector<int> errors = waiting.commit(&failed);
        for (std::size_t i = 0; i < errors.size(); ++i) {
            const auto index = std::size_t(waitingPages[i]);
            if (errors[i] != 0)
                failPage(results[index], errors[i]);
            if (!results[index].ok())
                bytes[index] = -1;
            report(results[index]);
        }
        waitingPages.clear();
        // Pages written since may link to those lost: none goes in place after a failed sync.
        if (syncError == 0)
            syncError = failed;
    };
    tree.visitChildrenFirst([&](qsizetype index, int folderFd, int error) {
        const TreeFolder &folder = folders[std::size_t(index)];
        PageResult &result = results[std::size_t(index)];
        ReplacementBatch written;
        if (folder.parent < 0) {
            // The top page is the one opened: it goes in place at once, after every page it
            // links to, and knows which of them made it.
            const std::lock_guard lock(reporting);
            putInPlace();
        }
        if (folderFd < 0) {
            result.pagePath = folder.path + pageFileName();
            result.error = folderReadError(folder.path, error);
        } else if (services.cancelled && services.cancelled()) {
            // A folder with no files would never ask.
            result.pagePath = folder.path + pageFileName();
            result.outcome = PageResult::Cancelled;
        } else {
            FolderLinks links;
            links.parent = folder.parent >= 0;
            for (const qsizetype below : folder.subfolders)
                links.subfolders.push_back({decodeFileName(folders[std::size_t(below)].name),
                                            results[std::size_t(below)].ok()});
            PageServices folderServices = services;
            folderServices.folderLinks = &links;
            if (folder.parent >= 0) {
                folderServices.opener = nullptr;
                folderServices.batch = &written;
            }
            ModernPlace place;
            if (request.style == PageStyle::Modern) {
                for (qsizetype above = folder.parent; above >= 0;
                     above = folders[std::size_t(above)].parent)
                    place.above.insert(place.above.begin(), trailName(folders[std::size_t(above)]));
                for (const FolderLink &link : links.subfolders)
                    place.subfolders.push_back({link.name, link.hasPage});
                for (std::size_t i = 0; i < folder.subfolders.size(); ++i)
                    place.subfolders[i].bytes = bytes[std::size_t(folder.subfolders[i])];
            }
            qint64 &weight = bytes[std::size_t(index)];
            result = writePicturedPage(folder.path, folderFd, folder.files, request, folderServices,
                                       &place, &weight);
            // A folder weighs its files and those of the folders in it.
            for (const qsizetype below : folder.subfolders)
                weight += weight >= 0 ? std::max<qint64>(bytes[std::size_t(below)], 0) : 0;
        }
        const std::lock_guard lock(reporting);
        if (written.size() == 0) {
            report(result);
        } else if (syncError != 0) {
            written.discard();
            failPage(result, syncError);
            bytes[std::size_t(index)] = -1;
            report(result);
        } else {
            // A level's pages link to those below only: each level may go in place at once.
            waiting.append(written, folder.depth);
            waitingPages.push_back(index);
            if (waiting.size() >= mostWaiting)
                putInPlace();
        }
    });
    const std::lock_guard lock(reporting);
    putInPlace();
    return results;
}
