#include "catalogwriter.h"

#include "catalogassets.h"
#include "filenames.h"
#include "folderlisting.h"
#include "htmltext.h"
#include "photodate.h"
#include "thumbnailcaches.h"

#include <QByteArray>
#include <QLocale>

#include <algorithm>
#include <cstring>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

void appendText(std::string &out, QStringView text)
{
    const QByteArray bytes = text.toUtf8();
    appendJsonString(out, std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

// A name as the data gives it (see catalogData).
void appendName(std::string &out, std::string_view raw)
{
    const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return quint8(c) < 0x80; });
    if (ascii) {
        appendJsonString(out, raw);
        return;
    }
    const QString name = decodeFileName(QByteArrayView(raw.data(), qsizetype(raw.size())));
    const QString readable = readableFileName(name);
    const bool utf8 = readable.size() == name.size() && readable == name;
    std::string shown;
    bool marked = false;
    qsizetype plainFrom = 0;
    std::string segments;
    for (qsizetype i = 0; i < readable.size();) {
        const char32_t c = readable.at(i).isHighSurrogate() && i + 1 < readable.size()
                               ? QChar::surrogateToUcs4(readable.at(i), readable.at(i + 1))
                               : readable.at(i).unicode();
        const qsizetype width = c > 0xFFFF ? 2 : 1;
        if (isDeceptiveControl(c)) {
            if (i > plainFrom) {
                if (!segments.empty())
                    segments += ',';
                appendText(segments, QStringView(readable).sliced(plainFrom, i - plainFrom));
            }
            if (!segments.empty())
                segments += ',';
            appendNumber(segments, qint64(c));
            marked = true;
            plainFrom = i + width;
        }
        i += width;
    }
    if (marked) {
        if (readable.size() > plainFrom) {
            segments += ',';
            appendText(segments, QStringView(readable).sliced(plainFrom));
        }
        shown = '[' + segments + ']';
    } else {
        appendText(shown, readable);
    }
    if (utf8) {
        out += shown;
        return;
    }
    out += "{\"s\":";
    out += shown;
    out += ",\"u\":\"";
    const QByteArray link = QByteArray(raw.data(), qsizetype(raw.size())).toPercentEncoding();
    out.append(link.constData(), std::size_t(link.size()));
    out += "\"}";
}

struct Totals
{
    qint64 files = 0;
    qint64 folders = 0;
    qint64 bytes = 0;
    qint64 unreadable = 0;
};

// The data goes out a folder at a time once this much of it is waiting.
constexpr std::size_t dataChunk = 256 * 1024;

bool writeCatalogData(const std::vector<const TreeEntries *> &trees, const ByteSink &sink)
{
    std::string out = "{\"f\":[";
    std::string roots;
    qsizetype offset = 0;
    bool first = true;
    for (const TreeEntries *entries : trees) {
        const std::vector<TreeFolder> &folders = entries->tree->folders();
        for (std::size_t i = 0; i < folders.size(); ++i) {
            const TreeFolder &folder = folders[i];
            const FolderEntries &statuses = entries->folders[i];
            // A folder a line: the page parses the data a line at a time as it inflates.
            out += first ? "\n[" : "\n,[";
            first = false;
            appendNumber(out, folder.parent < 0 ? -1 : offset + folder.parent);
            out += ',';
            if (folder.parent < 0) {
                const QByteArray path = encodeFileName(folder.path);
                appendName(out, std::string_view(path.constData(), std::size_t(path.size())));
                if (!roots.empty())
                    roots += ',';
                roots += '[';
                appendNumber(roots, offset + qsizetype(i));
                roots += ",\"";
                roots += fileUrl(folder.path).toStdString();
                roots += "\"]";
            } else {
                appendName(out, std::string_view(folder.name.constData(),
                                                 std::size_t(folder.name.size())));
            }
            out += ',';
            if (statuses.error != 0)
                appendText(out, folderReadError(folder.path, statuses.error));
            else
                out += '0';
            out += ",[";
            // When photos were taken, where read: by the file's place here, as text.
            std::string taken;
            for (qsizetype place = 0; place < folder.files.count(); ++place) {
                const qsizetype k =
                    statuses.order.empty() ? place : statuses.order[std::size_t(place)];
                if (place > 0)
                    out += ',';
                appendName(out, folder.files.rawName(k));
                const EntryStatus &status = statuses.files[std::size_t(k)];
                out += ',';
                appendNumber(out, status.known ? status.size : -1);
                out += ',';
                appendNumber(out, status.known ? status.mtimeNs / 1000000000 : 0);
                if (std::size_t(k) < statuses.taken.size() && statuses.taken[std::size_t(k)]) {
                    taken += taken.empty() ? "" : ",";
                    appendNumber(taken, place);
                    taken += ",\"" + statuses.taken[std::size_t(k)]->isoText().toStdString() + '"';
                }
            }
            // Links to folders and folders past the depth: listed as the pages list them.
            out += "],[";
            bool firstLeft = true;
            for (qsizetype k = 0; k < folder.folderEntries.count(); ++k) {
                if (k < qsizetype(statuses.entered.size()) && statuses.entered[std::size_t(k)] >= 0)
                    continue;
                if (std::strcmp(folder.folderEntries.rawName(k), sharedThumbnailFolder) == 0)
                    continue;
                if (!firstLeft)
                    out += ',';
                firstLeft = false;
                appendName(out, folder.folderEntries.rawName(k));
            }
            out += ']';
            if (!taken.empty())
                out += ",[" + taken + ']';
            out += ']';
            if (out.size() >= dataChunk) {
                if (!sink(out))
                    return false;
                out.clear();
            }
        }
        offset += qsizetype(folders.size());
    }
    out += "\n],\"r\":[" + roots + "]}";
    return sink(out);
}

// Deflates what it is given into one zlib stream (what DecompressionStream("deflate") reads)
// and passes it on as base64, a piece at a time, so the whole block is never held.
class PackedSink
{
public:
    explicit PackedSink(const ByteSink &sink)
        : m_sink(sink)
    {
        // The fastest level: the catalogue of a million files stays well within size, and the
        // slower levels took longer than reading the tree.
        m_ready = ::deflateInit(&m_stream, 1) == Z_OK;
    }
    ~PackedSink()
    {
        if (m_ready)
            ::deflateEnd(&m_stream);
    }
    PackedSink(const PackedSink &) = delete;
    PackedSink &operator=(const PackedSink &) = delete;

    bool write(std::string_view bytes) { return deflate(bytes, Z_NO_FLUSH); }
    bool finish() { return deflate({}, Z_FINISH) && flushText(true); }

private:
    bool deflate(std::string_view bytes, int flush)
    {
        if (!m_ready)
            return false;
        m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
        m_stream.avail_in = uInt(bytes.size());
        int result = Z_OK;
        do {
            m_stream.next_out = m_out;
            m_stream.avail_out = sizeof m_out;
            result = ::deflate(&m_stream, flush);
            if (result == Z_STREAM_ERROR)
                return false;
            appendBase64(sizeof m_out - m_stream.avail_out);
            if (m_text.size() >= dataChunk && !flushText(false))
                return false;
        } while (m_stream.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
        return true;
    }

    // Encodes whole groups of three bytes; up to two wait in m_left for the next output.
    void appendBase64(std::size_t length)
    {
        static constexpr char alphabet[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::size_t i = 0;
        while (i < length) {
            while (m_leftCount < 3 && i < length)
                m_left[m_leftCount++] = m_out[i++];
            if (m_leftCount < 3)
                break;
            const unsigned group = unsigned(m_left[0]) << 16 | unsigned(m_left[1]) << 8 | m_left[2];
            m_text += alphabet[group >> 18];
            m_text += alphabet[group >> 12 & 63];
            m_text += alphabet[group >> 6 & 63];
            m_text += alphabet[group & 63];
            m_leftCount = 0;
        }
    }

    bool flushText(bool last)
    {
        if (last && m_leftCount > 0) {
            const QByteArray tail =
                QByteArray(reinterpret_cast<const char *>(m_left), qsizetype(m_leftCount))
                    .toBase64();
            m_text.append(tail.constData(), std::size_t(tail.size()));
            m_leftCount = 0;
        }
        const bool written = m_sink(m_text);
        m_text.clear();
        return written;
    }

    const ByteSink &m_sink;
    z_stream m_stream{};
    bool m_ready = false;
    Bytef m_out[16 * 1024];
    quint8 m_left[3] = {};
    std::size_t m_leftCount = 0;
    std::string m_text;
};

} // namespace

std::string catalogData(const std::vector<const TreeEntries *> &trees)
{
    std::string data;
    writeCatalogData(trees, [&data](std::string_view bytes) {
        data.append(bytes);
        return true;
    });
    return data;
}

bool writeCatalog(const std::vector<const TreeEntries *> &trees, const CatalogInfo &info,
                  const ByteSink &sink, const ByteSink &varying)
{
    Totals totals;
    QString folders;
    for (const TreeEntries *entries : trees) {
        if (!folders.isEmpty())
            folders += u", "_s;
        appendHtmlText(folders, readableFileName(entries->root));
        totals.folders += qsizetype(entries->tree->folders().size());
        for (const FolderEntries &folder : entries->folders) {
            totals.unreadable += folder.error != 0;
            for (const EntryStatus &status : folder.files) {
                ++totals.files;
                totals.bytes += status.known ? status.size : 0;
            }
        }
    }
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    QString head = u"<!DOCTYPE html>\n<html lang=\"es\">\n<head>\n<meta charset=\"utf-8\">\n"
                   u"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                   u"<title>Catálogo de "_s;
    QString plainFolders;
    for (const TreeEntries *entries : trees) {
        if (!plainFolders.isEmpty())
            plainFolders += u", "_s;
        appendHtmlPlainText(plainFolders, readableFileName(entries->root));
    }
    head += plainFolders + u"</title>\n<style>\n"_s + QString::fromUtf8(catalogStyle)
            + u"</style>\n</head>\n<body>\n<header>\n<h1>Catálogo de "_s + folders
            + u"</h1>\n<p id=\"about\">Hecho el "_s;
    const QByteArray made = info.made.toUTC().toString(Qt::ISODate).toUtf8();
    const QByteArray beforeTime = head.toUtf8();
    head = u" con "_s + info.program.toHtmlEscaped() + u". <span id=\"totals\">"_s
           + QStringLiteral("%1 archivos en %2 carpetas, %3 bytes")
                 .arg(spanish.toString(totals.files), spanish.toString(totals.folders),
                      spanish.toString(totals.bytes));
    if (totals.unreadable > 0)
        head += QStringLiteral("; %1 carpetas no se pudieron leer").arg(totals.unreadable);
    head += u".</span></p>\n<p><input id=\"search\" type=\"search\" disabled "
            u"placeholder=\"Buscar en todo el catálogo (admite * y ?)\" "
            u"aria-label=\"Buscar\"> <span id=\"status\">Cargando…</span></p>\n</header>\n"
            u"<noscript><p>El catálogo necesita JavaScript.</p></noscript>\n"
            u"<main>\n<nav id=\"tree\"></nav>\n<section id=\"list\"></section>\n</main>\n"
            u"<script id=\"data\" type=\"application/octet-stream\">"_s;
    const QByteArray headBytes = head.toUtf8();
    const QByteArray tail =
        "</script>\n<script>\n" + QByteArray(catalogScript) + "</script>\n</body>\n</html>\n";
    const auto view = [](const QByteArray &bytes) {
        return std::string_view(bytes.constData(), std::size_t(bytes.size()));
    };
    if (!sink(view(beforeTime)) || !(varying ? varying : sink)(view(made))
        || !sink(view(headBytes)))
        return false;
    PackedSink packed(sink);
    return writeCatalogData(trees,
                            [&packed](std::string_view bytes) { return packed.write(bytes); })
           && packed.finish() && sink(std::string_view(tail.constData(), std::size_t(tail.size())));
}
