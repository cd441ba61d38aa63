#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>
#include <vector>

// When a photo was taken, as its camera wrote it in the Exif data (DateTimeOriginal, and
// OffsetTimeOriginal where the camera knew its time zone).
struct PhotoDate
{
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool hasOffset = false;
    int offsetMinutes = 0; // east of UTC

    // Seconds since the epoch to order by beside file times: exact with an offset, else the
    // camera's clock read as the local time here.
    qint64 epochSeconds() const;
    // "2024-08-15T11:22:33", with "+02:00" or "Z" where the offset is known.
    QByteArray isoText() const;
    // "15/8/24 11:22", as the modern page shows its dates.
    QByteArray shownText() const;
};

// How much of a JPEG's start holds its Exif data as cameras write it: the APP1 segment comes
// first and holds at most 64 kB.
inline constexpr qsizetype photoHeaderBytes = 72 << 10;

// The date from the first bytes of an image file (a JPEG's markers up to its Exif segment, or
// a bare Exif block); nothing for other files, or for dates that are not real ones.
std::optional<PhotoDate> photoDateFromHeader(QByteArrayView header);

// Reads the header of the file open as `fd` with one pread, leaving its offset alone.
std::optional<PhotoDate> readPhotoDate(int fd);

// The dates of the named files of the folder open as `folderFd`, one for each name, on all
// cores; a file that cannot be opened has none.
std::vector<std::optional<PhotoDate>> readPhotoDates(int folderFd,
                                                     const std::vector<QByteArray> &rawNames);
