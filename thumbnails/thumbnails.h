#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <vector>

// Thumbnails live in the folder's own shared repository, ".sh_thumbnails/large/", in the form
// that file managers read too, so a page and a file manager make each thumbnail only once.

struct Thumbnail
{
    QByteArray file; // relative to the folder: ".sh_thumbnails/large/<name>.png" (raw bytes)
    int width = 0;   // the size to show it at: the image's aspect ratio within 200 x 200
    int height = 0;
};

// Makes or reuses the thumbnail of each named image of the folder (raw names, as on disk), on all
// cores. An image that cannot be read gets std::nullopt and never fails the call. `folder` ends
// in "/".
std::vector<std::optional<Thumbnail>> makeThumbnails(const QString &folder,
                                                     const std::vector<QByteArray> &rawNames);
// The same in a folder already open, whose descriptor stays the caller's.
std::vector<std::optional<Thumbnail>> makeThumbnails(int folderFd,
                                                     const std::vector<QByteArray> &rawNames);
