#include "jsonwriter.h"

#include "filenames.h"
#include "systemerror.h"
#include "thumbnailcaches.h"

#include <QByteArray>

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t flushSize = 1 << 20;

// The length of the valid UTF-8 sequence at `at`, or 0.
std::size_t utf8Length(std::string_view s, std::size_t at)
{
    const auto byte = [&](std::size_t i) {
        return i < s.size() ? quint8(s[i]) : 0;
    };
    const unsigned b0 = byte(at);
    const auto follows = [&](std::size_t i) {
        return (byte(i) & 0xC0) == 0x80;
    };
    if (b0 >= 0xC2 && b0 <= 0xDF)
        return follows(at + 1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        const unsigned b1 = byte(at + 1);
        if ((b0 == 0xE0 && b1 < 0xA0) || (b0 == 0xED && b1 >= 0xA0)) // overlong, surrogates
            return 0;
        return follows(at + 1) && follows(at + 2) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        const unsigned b1 = byte(at + 1);
        if ((b0 == 0xF0 && b1 < 0x90) || (b0 == 0xF4 && b1 >= 0x90))
            return 0;
        return follows(at + 1) && follows(at + 2) && follows(at + 3) ? 4 : 0;
    }
    return 0;
}

void appendField(std::string &out, std::string_view key, std::string_view raw)
{
    out += ",\"";
    out += key;
    out += "\":";
    if (!appendJsonString(out, raw)) {
        out += ",\"";
        out += key;
        out += "_bytes\":\"";
        const QByteArray bytes = QByteArray(raw.data(), qsizetype(raw.size())).toBase64();
        out.append(bytes.constData(), std::size_t(bytes.size()));
        out += '"';
    }
}

void appendTextField(std::string &out, std::string_view key, const QString &text)
{
    if (text.isEmpty())
        return;
    const QByteArray bytes = text.toUtf8();
    out += ",\"";
    out += key;
    out += "\":";
    appendJsonString(out, std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

// A music file's tags: only those it has; the duration in seconds, to the millisecond.
void appendTags(std::string &out, const AudioTags &tags)
{
    appendTextField(out, "title", tags.title);
    appendTextField(out, "artist", tags.artist);
    appendTextField(out, "album", tags.album);
    appendTextField(out, "album_artist", tags.albumArtist);
    for (const auto &[key, value] : {std::pair{"track", tags.track}, {"year", tags.year}}) {
        if (value > 0) {
            out += ",\"";
            out += key;
            out += "\":";
            appendNumber(out, value);
        }
    }
    if (tags.durationMs >= 0) {
        char text[32];
        const int length = std::snprintf(text, sizeof text, ",\"duration\":%d.%03d",
                                         tags.durationMs / 1000, tags.durationMs % 1000);
        out.append(text, std::size_t(length));
    }
}

const char *typeName(EntryType type)
{
    switch (type) {
    case EntryType::File:
        return "file";
    case EntryType::Folder:
        return "folder";
    case EntryType::Link:
        return "link";
    case EntryType::Other:
        break;
    }
    return "other";
}

class Writer
{
public:
    Writer(const TreeEntries &entries, const ByteSink &sink)
        : m_entries(entries)
        , m_sink(sink)
    {}

    bool run()
    {
        const std::vector<TreeFolder> &folders = m_entries.tree->folders();
        m_out = "{\"version\":1";
        const QByteArray root = encodeFileName(m_entries.root);
        appendField(m_out, "folder", std::string_view(root.constData(), std::size_t(root.size())));
        m_out += "}\n";
        std::vector<std::string> paths(folders.size());
        for (std::size_t i = 0; i < folders.size(); ++i) {
            const TreeFolder &folder = folders[i];
            if (folder.parent < 0) {
                paths[i].assign(1, '.'); // not = ".": GCC 12 warns of an overlap there (-Wrestrict)
            } else {
                const std::string &above = paths[std::size_t(folder.parent)];
                paths[i] = above == "." ? std::string() : above + '/';
                paths[i].append(folder.name.constData(), std::size_t(folder.name.size()));
            }
            if (!writeFolder(folder, m_entries.folders[i], paths[i]))
                return false;
        }
        return m_sink(m_out);
    }

private:
    bool writeFolder(const TreeFolder &folder, const FolderEntries &entries,
                     const std::string &path)
    {
        for (qsizetype i = 0; i < folder.folderEntries.count(); ++i) {
            const char *name = folder.folderEntries.rawName(i);
            if (std::strcmp(name, sharedThumbnailFolder) == 0)
                continue;
            const qsizetype below = entries.entered[std::size_t(i)];
            const int error = below >= 0 ? m_entries.tree->folders()[std::size_t(below)].error : 0;
            writeEntry(path, name, entries.folders[std::size_t(i)], EntryType::Folder, entries,
                       error);
        }
        for (qsizetype k = 0; k < folder.files.count(); ++k) {
            const qsizetype i = entries.order.empty() ? k : entries.order[std::size_t(k)];
            const auto at = std::size_t(i);
            const PhotoDate *taken =
                at < entries.taken.size() && entries.taken[at] ? &*entries.taken[at] : nullptr;
            const AudioTags *tags =
                at < entries.tags.size() && entries.tags[at] ? &*entries.tags[at] : nullptr;
            writeEntry(path, folder.files.rawName(i), entries.files[at], EntryType::File, entries,
                       0, taken, tags);
        }
        if (m_out.size() < flushSize)
            return true;
        const bool written = m_sink(m_out);
        m_out.clear();
        return written;
    }

    void writeEntry(const std::string &path, const char *name, const EntryStatus &status,
                    EntryType listedAs, const FolderEntries &entries, int error,
                    const PhotoDate *taken = nullptr, const AudioTags *tags = nullptr)
    {
        m_out += "{\"path\":";
        if (!appendJsonString(m_out, path)) {
            const QByteArray bytes = QByteArray(path.data(), qsizetype(path.size())).toBase64();
            m_out += ",\"path_bytes\":\"";
            m_out.append(bytes.constData(), std::size_t(bytes.size()));
            m_out += '"';
        }
        appendField(m_out, "name", name);
        m_out += ",\"type\":\"";
        m_out += typeName(status.known ? status.type : listedAs);
        m_out += '"';
        if (status.known) {
            m_out += ",\"size\":";
            appendNumber(m_out, status.size);
            m_out += ",\"mtime\":\"";
            appendRfc3339(m_out, status.mtimeNs);
            m_out += "\",\"mtime_ns\":";
            appendNumber(m_out, status.mtimeNs);
        }
        if (taken) {
            m_out += ",\"taken\":\"";
            m_out += taken->isoText().toStdString();
            m_out += '"';
        }
        if (status.target >= 0) {
            const QByteArray &target = entries.targets[status.target];
            appendField(m_out, "target",
                        std::string_view(target.constData(), std::size_t(target.size())));
        }
        if (error != 0) {
            const QByteArray text = systemErrorText(error).toUtf8();
            m_out += ",\"error\":";
            appendJsonString(m_out, std::string_view(text.constData(), std::size_t(text.size())));
        }
        if (tags)
            appendTags(m_out, *tags);
        m_out += "}\n";
    }

    const TreeEntries &m_entries;
    const ByteSink &m_sink;
    std::string m_out;
};

} // namespace

void appendNumber(std::string &out, qint64 value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, std::size_t(end - digits));
}

bool appendJsonString(std::string &out, std::string_view raw)
{
    static constexpr char hex[] = "0123456789abcdef";
    bool kept = true;
    out += '"';
    for (std::size_t i = 0; i < raw.size();) {
        const auto byte = quint8(raw[i]);
        if (byte >= 0x80) {
            const std::size_t length = utf8Length(raw, i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";
                kept = false;
                ++i;
            } else {
                out.append(raw.substr(i, length));
                i += length;
            }
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += char(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += char(byte);
        }
        ++i;
    }
    out += '"';
    return kept;
}

void appendRfc3339(std::string &out, qint64 nanoseconds)
{
    qint64 seconds = nanoseconds / 1000000000;
    qint64 fraction = nanoseconds % 1000000000;
    if (fraction < 0) {
        fraction += 1000000000;
        --seconds;
    }
    qint64 days = seconds / 86400;
    qint64 rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days since 1970-01-01 to a date of the proleptic Gregorian calendar.
    days += 719468;
    const qint64 era = (days >= 0 ? days : days - 146096) / 146097;
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    const qint64 day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const qint64 month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const qint64 year = yearOfEra + era * 400 + (month <= 2);

    char text[48];
    int length =
        std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld",
                      static_cast<long long>(year), static_cast<long long>(month),
                      static_cast<long long>(day), static_cast<long long>(rest / 3600),
                      static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    if (fraction != 0) {
        length += std::snprintf(text + length, sizeof text - std::size_t(length), ".%09lld",
                                static_cast<long long>(fraction));
        while (text[length - 1] == '0')
            --length;
    }
    out.append(text, std::size_t(length));
    out += 'Z';
}

bool writeJsonLines(const TreeEntries &entries, const ByteSink &sink)
{
    return Writer(entries, sink).run();
}
