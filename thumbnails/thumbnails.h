#pragma once

#include "leftout.h"
#include "photodate.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <vector>

// Thumbnails live in the folder's own shared repository, ".sh_thumbnails/large/" (256 pixels)
// and ".sh_thumbnails/x-large/" (512), in the form that file managers read too, so a page and a
// file manager make each thumbnail only once. Only entries this program made are ever replaced;
// the others are used while they are fresh.

struct Thumbnail
{
    QByteArray file;      // relative to the folder: ".sh_thumbnails/large/<name>.png" (raw bytes)
    QByteArray largeFile; // ".sh_thumbnails/x-large/<name>.png", empty where there is none
    int width = 0;        // the size to show it at: the image's aspect ratio within 200 x 200
    int height = 0;
};

struct ThumbnailRun
{
    // One for each name, in order; an image without a thumbnail gets std::nullopt.
    std::vector<std::optional<Thumbnail>> thumbnails;
    // When each photo was taken, where its Exif data says; one for each name too.
    std::vector<std::optional<PhotoDate>> taken;
    // How many images got none, by why; and how many videos got no poster.
    std::array<int, leftOutKinds> leftOut{};
    std::array<int, leftOutKinds> videosLeftOut{};
    // The folder is a thumbnail folder itself: nothing was made in it.
    bool thumbnailFolder = false;
    // ".sh_thumbnails" (or a folder in it) is a link or no folder: nothing was made.
    bool noRepository = false;
    // What the image decoders said, each text once.
    QStringList decoderMessages;
    // Thumbnails that could not be read or saved, by their file relative to the folder (raw
    // bytes), and why: the repository's disk failing or full is the run's failure, not the
    // image's.
    struct Failure
    {
        enum Step {
            Save,
            Read,
            ReadFolder,
            MakeFolder
        };
        QByteArray file; // empty for the folder itself
        int error = 0;
        Step step = Save;
    };
    std::vector<Failure> failures;
};

// Makes or reuses the thumbnails of each named image of the folder open as `folderFd` (raw
// names, as on disk), on all cores. The descriptor stays the caller's. An image that cannot be
// read never fails the call. The dates photos were taken come from the decoding's own read;
// `readDates` also reads them from the images whose thumbnails need no decoding.
ThumbnailRun makeThumbnails(int folderFd, const std::vector<QByteArray> &rawNames,
                            bool readDates = false);
// The same with the folder's path, which ends in "/".
ThumbnailRun makeThumbnails(const QString &folder, const std::vector<QByteArray> &rawNames);

// The name of the thumbnail of `rawName` in the repository, without its folder: the MD5 of
// the image's relative URI ("./" and the name, escaped), in hexadecimal, and ".png".
QByteArray thumbnailName(const QByteArray &rawName);
