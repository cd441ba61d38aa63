#include "catalogwriter.h"

#include "catalogassets.h"
#include "filenames.h"
#include "folderlisting.h"
#include "htmltext.h"

#include <QByteArray>
#include <QLocale>

#include <algorithm>
#include <charconv>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

void appendNumber(std::string &out, qint64 value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, std::size_t(end - digits));
}

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

} // namespace

std::string catalogData(const std::vector<const TreeEntries *> &trees)
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
            if (!first)
                out += ',';
            first = false;
            out += '[';
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
            for (qsizetype k = 0; k < folder.files.count(); ++k) {
                if (k > 0)
                    out += ',';
                appendName(out, folder.files.rawName(k));
                const EntryStatus &status = statuses.files[std::size_t(k)];
                out += ',';
                appendNumber(out, status.known ? status.size : -1);
                out += ',';
                appendNumber(out, status.known ? status.mtimeNs / 1000000000 : 0);
            }
            out += "]]";
        }
        offset += qsizetype(folders.size());
    }
    out += "],\"r\":[" + roots + "]}";
    return out;
}

bool writeCatalog(const std::vector<const TreeEntries *> &trees, const CatalogInfo &info,
                  const ByteSink &sink)
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
    const std::string data = catalogData(trees);
    const QByteArray packed =
        qCompress(QByteArray::fromRawData(data.data(), qsizetype(data.size())), 6)
            .sliced(4) // the length Qt puts before the zlib stream
            .toBase64();

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
            + u"</h1>\n<p id=\"about\">Hecho el "_s + info.made.toUTC().toString(Qt::ISODate)
            + u" con "_s + info.program.toHtmlEscaped() + u". <span id=\"totals\">"_s
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
    return sink(std::string_view(headBytes.constData(), std::size_t(headBytes.size())))
           && sink(std::string_view(packed.constData(), std::size_t(packed.size())))
           && sink(std::string_view(tail.constData(), std::size_t(tail.size())));
}
