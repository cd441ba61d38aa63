#include "photodate.h"

#include "filedescriptor.h"
#include "workpool.h"

#include <QDateTime>

#include <atomic>
#include <cerrno>
#include <libexif/exif-data.h>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct ExifDataFree
{
    void operator()(ExifData *data) const { exif_data_unref(data); }
};

// The ASCII text of a tag of the Exif folder, without its final NULs; empty where missing.
QByteArrayView exifText(ExifData *data, ExifTag tag)
{
    ExifEntry *entry = exif_content_get_entry(data->ifd[EXIF_IFD_EXIF], tag);
    if (!entry || entry->format != EXIF_FORMAT_ASCII || !entry->data)
        return {};
    QByteArrayView text(reinterpret_cast<const char *>(entry->data), qsizetype(entry->size));
    while (!text.isEmpty() && text.back() == '\0')
        text.chop(1);
    return text;
}

// Digits at `at` as a number, or -1 where any is not a digit.
int digits(QByteArrayView text, qsizetype at, qsizetype count)
{
    int value = 0;
    for (qsizetype i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// "YYYY:MM:DD HH:MM:SS", and nothing else: cameras that know no date write zeros or blanks.
std::optional<PhotoDate> parseDate(QByteArrayView text)
{
    if (text.size() != 19)
        return std::nullopt;
    for (const qsizetype at : {4, 7})
        if (text[at] != ':')
            return std::nullopt;
    if (text[10] != ' ' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    PhotoDate date{digits(text, 0, 4),  digits(text, 5, 2),  digits(text, 8, 2),
                   digits(text, 11, 2), digits(text, 14, 2), digits(text, 17, 2)};
    if (!QDate::isValid(date.year, date.month, date.day) || date.year < 1 || date.hour < 0
        || date.hour > 23 || date.minute < 0 || date.minute > 59 || date.second < 0
        || date.second > 59)
        return std::nullopt;
    return date;
}

// "+02:00" or "-05:30"; false for anything else, blanks included.
bool parseOffset(QByteArrayView text, PhotoDate &date)
{
    if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':')
        return false;
    const int hours = digits(text, 1, 2);
    const int minutes = digits(text, 4, 2);
    if (hours < 0 || minutes < 0 || minutes > 59 || hours * 60 + minutes > 14 * 60)
        return false;
    date.hasOffset = true;
    date.offsetMinutes = (text[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
    return true;
}

void appendTwo(QByteArray &out, int value)
{
    out += char('0' + value / 10);
    out += char('0' + value % 10);
}

} // namespace

qint64 PhotoDate::epochSeconds() const
{
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    if (hasOffset)
        return QDateTime(date, time, Qt::UTC).toSecsSinceEpoch() - qint64(offsetMinutes) * 60;
    return QDateTime(date, time).toSecsSinceEpoch();
}

QByteArray PhotoDate::isoText() const
{
    QByteArray out = QByteArray::number(year).rightJustified(4, '0');
    for (const auto &[separator, value] :
         {std::pair{'-', month}, {'-', day}, {'T', hour}, {':', minute}, {':', second}}) {
        out += separator;
        appendTwo(out, value);
    }
    if (!hasOffset)
        return out;
    if (offsetMinutes == 0)
        return out + 'Z';
    const int east = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    out += offsetMinutes < 0 ? '-' : '+';
    appendTwo(out, east / 60);
    out += ':';
    appendTwo(out, east % 60);
    return out;
}

QByteArray PhotoDate::shownText() const
{
    QByteArray out = QByteArray::number(day) + '/' + QByteArray::number(month) + '/';
    appendTwo(out, year % 100);
    out += ' ' + QByteArray::number(hour) + ':';
    appendTwo(out, minute);
    return out;
}

std::optional<PhotoDate> photoDateFromHeader(QByteArrayView header)
{
    // A JPEG or a bare Exif block: libexif looks for the segment itself in the one, and would
    // take any other bytes for Exif in the other.
    const bool jpeg = header.startsWith("\xFF\xD8");
    if (!jpeg && !header.startsWith(QByteArrayView("Exif\0\0", 6)))
        return std::nullopt;
    const std::unique_ptr<ExifData, ExifDataFree> data(exif_data_new());
    if (!data)
        return std::nullopt;
    // Read as written: nothing made up for missing tags, nothing "fixed".
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(data.get(), reinterpret_cast<const unsigned char *>(header.data()),
                        unsigned(header.size()));
    std::optional<PhotoDate> date = parseDate(exifText(data.get(), EXIF_TAG_DATE_TIME_ORIGINAL));
    if (date)
        parseOffset(exifText(data.get(), EXIF_TAG_OFFSET_TIME_ORIGINAL), *date);
    return date;
}

std::optional<PhotoDate> readPhotoDate(int fd)
{
    QByteArray header(photoHeaderBytes, Qt::Uninitialized);
    ssize_t got;
    do
        got = ::pread(fd, header.data(), std::size_t(header.size()), 0);
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return std::nullopt;
    header.truncate(got);
    return photoDateFromHeader(header);
}

std::vector<std::optional<PhotoDate>> readPhotoDates(int folderFd,
                                                     const std::vector<QByteArray> &rawNames)
{
    std::vector<std::optional<PhotoDate>> dates(rawNames.size());
    std::atomic<std::size_t> next = 0;
    WorkPool &pool = WorkPool::instance();
    const int helpers = rawNames.size() > 16 ? pool.size() : 0;
    pool.run(helpers, [&](int) {
        for (std::size_t i; (i = next++) < rawNames.size();) {
            // O_NONBLOCK: a FIFO named like a photo must not hold the page up. A link may lead
            // out of the folder: its date is not the folder's to tell.
            const FileDescriptor fd(
                ::openat(folderFd, rawNames[i].constData(),
                         O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
            struct stat st;
            if (fd.isOpen() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode))
                dates[i] = readPhotoDate(fd.get());
        }
    });
    return dates;
}
