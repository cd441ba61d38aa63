#include "audiotags.h"

#include "filedescriptor.h"
#include "workpool.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fileref.h>
#include <mutex>
#include <tag.h>
#include <tdebuglistener.h>
#include <tiostream.h>
#include <tpropertymap.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A tag longer than this is cut: a page of a thousand tracks stays a page.
constexpr int longestTag = 500;

// TagLib tells of every broken file on standard error; a broken file is only a file without tags.
class Silence : public TagLib::DebugListener
{
public:
    void printMessage(const TagLib::String &) override {}
};

// The file as TagLib reads it, through the descriptor: past the time or the bytes allowed, every
// read comes back empty, which any of its parsers takes as the file's end.
class BoundedStream : public TagLib::IOStream
{
public:
    BoundedStream(int fd, const QByteArray &name, qint64 size, const TagBudget &budget)
        : m_fd(fd)
        , m_name(name)
        , m_size(size)
        , m_left(budget.bytes)
        , m_deadline(budget.time)
    {}

    TagLib::FileName name() const override { return m_name.constData(); }
    TagLib::ByteVector readBlock(unsigned long length) override
    {
        const qint64 wanted = std::min({qint64(length), m_left, m_size - m_position});
        if (wanted <= 0 || m_deadline.hasExpired())
            return {};
        TagLib::ByteVector data(static_cast<unsigned int>(wanted), 0);
        qint64 got = 0;
        while (got < wanted) {
            const ssize_t read = ::pread(m_fd, data.data() + got, std::size_t(wanted - got),
                                         off_t(m_position + got));
            if (read < 0 && errno == EINTR)
                continue;
            if (read <= 0)
                break;
            got += read;
        }
        data.resize(static_cast<unsigned int>(got));
        m_position += got;
        m_left -= got;
        return data;
    }
    void writeBlock(const TagLib::ByteVector &) override {}
    void insert(const TagLib::ByteVector &, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return true; }
    void seek(long offset, Position from) override
    {
        const qint64 base = from == Beginning ? 0 : from == Current ? m_position : m_size;
        m_position = std::clamp<qint64>(base + offset, 0, m_size);
    }
    long tell() const override { return long(m_position); }
    long length() override { return long(m_size); }
    void truncate(long) override {}

private:
    int m_fd;
    QByteArray m_name;
    qint64 m_size;
    qint64 m_position = 0;
    qint64 m_left;
    QDeadlineTimer m_deadline;
};

QString tagText(const TagLib::String &text)
{
    QString plain = QString::fromStdWString(text.toWString()).trimmed();
    if (plain.size() > longestTag)
        plain.truncate(plain[longestTag - 1].isHighSurrogate() ? longestTag - 1 : longestTag);
    return plain;
}

} // namespace

bool isAudioFileName(const QByteArray &rawName)
{
    const qsizetype dot = rawName.lastIndexOf('.');
    if (dot < 0)
        return false;
    const QByteArray ending = rawName.mid(dot + 1).toLower();
    for (const char *known : {"mp3", "flac", "ogg", "oga", "opus", "m4a", "wav"}) {
        if (ending == known)
            return true;
    }
    return false;
}

std::optional<AudioTags> readAudioTags(int folderFd, const QByteArray &rawName,
                                       const TagBudget &budget)
{
    static Silence silence;
    static std::once_flag silenced;
    std::call_once(silenced, [] { TagLib::setDebugListener(&silence); });

    // Not blocking: a pipe named like a song must not hold the run.
    const FileDescriptor file(
        ::openat(folderFd, rawName.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status;
    if (!file.isOpen() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    BoundedStream stream(file.get(), rawName, qint64(status.st_size), budget);
    const TagLib::FileRef ref(&stream, true, TagLib::AudioProperties::Average);
    if (ref.isNull())
        return std::nullopt;
    AudioTags tags;
    if (const TagLib::Tag *tag = ref.tag()) {
        tags.title = tagText(tag->title());
        tags.artist = tagText(tag->artist());
        tags.album = tagText(tag->album());
        tags.track = int(std::min(tag->track(), 9999u));
        tags.year = int(std::min(tag->year(), 9999u));
        const TagLib::PropertyMap properties = ref.file()->properties();
        if (const auto found = properties.find("ALBUMARTIST");
            found != properties.end() && !found->second.isEmpty())
            tags.albumArtist = tagText(found->second.front());
    }
    if (const TagLib::AudioProperties *audio = ref.audioProperties();
        audio && audio->lengthInMilliseconds() > 0)
        tags.durationMs = audio->lengthInMilliseconds();
    if (!tags.hasText() && tags.track == 0 && tags.year == 0 && tags.durationMs < 0)
        return std::nullopt;
    return tags;
}

std::vector<std::optional<AudioTags>>
readAudioTags(int folderFd, const std::vector<QByteArray> &rawNames, const TagBudget &budget)
{
    std::vector<std::optional<AudioTags>> found(rawNames.size());
    if (rawNames.empty())
        return found;
    WorkPool &pool = WorkPool::instance();
    std::atomic<std::size_t> next = 0;
    pool.run(int(std::min(std::size_t(pool.size()), rawNames.size() - 1)), [&](int) {
        for (std::size_t i; (i = next++) < rawNames.size();)
            found[i] = readAudioTags(folderFd, rawNames[i], budget);
    });
    return found;
}
