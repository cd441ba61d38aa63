#include "modernpage.h"

#include "appinfo.h"
#include "clock.h"
#include "codepagefile.h"
#include "dateformat.h"
#include "documentopener.h"
#include "filedescriptor.h"
#include "filenames.h"
#include "filereplacement.h"
#include "filesystem.h"
#include "htmltext.h"
#include "localetext.h"
#include "modernassets.h"
#include "modernmusic.h"
#include "pageentries.h"
#include "photodate.h"
#include "systemerror.h"
#include "videoname.h"

#include <QCryptographicHash>

#include <cerrno>

#include <fcntl.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray hashSource(const char *text)
{
    return "'sha256-"
           + QCryptographicHash::hash(QByteArrayView(text), QCryptographicHash::Sha256).toBase64()
           + '\'';
}

// "2024-08-15T11:22:33", to sort by to the second; the script shows it as "15/8/24 11:22", and
// without script the style shows the attribute itself.
void appendTime(QString &out, qint64 seconds)
{
    const LocalDateTime t = LocalDateTime::fromEpochSeconds(seconds);
    out += u"<time datetime=";
    appendNumber(out, t.year, 4);
    out += u'-';
    appendNumber(out, t.month, 2);
    out += u'-';
    appendNumber(out, t.day, 2);
    out += u'T';
    appendNumber(out, t.hour, 2);
    out += u':';
    appendNumber(out, t.minute, 2);
    out += u':';
    appendNumber(out, t.second, 2);
    out += u"></time>";
}

QString fileCountText(qint64 count)
{
    return QString::number(count) + (count == 1 ? u" archivo"_s : u" archivos"_s);
}

// Spanish decimals whatever the system's locale: the page's texts are Spanish.
QString spanishFixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals).replace(u'.', u',');
}

class ModernRun
{
public:
    ModernRun(const QString &currentPath, const Listing &files, PageOptions options,
              const PageServices &services, const ModernPageExtras &extras)
        : m_currentPath(currentPath)
        , m_files(files)
        , m_options(options)
        , m_services(services)
        , m_extras(extras)
        , m_clock(services.clock ? *services.clock : Clock::system())
    {}

    PageResult run();

private:
    bool flush(bool always = false);
    bool fail(QString text);
    bool writeFailed();
    bool open();
    void appendHead();
    void appendFolders();
    bool writeEntries();
    void appendEntry(const QString &name, const FileStatus &status);
    void startRow();
    void appendTaken(const QString &name);
    bool hasVideo() const;
    bool writeFooter(qint64 start);

    const QString &m_currentPath;
    const Listing &m_files;
    PageOptions m_options;
    const PageServices &m_services;
    const ModernPageExtras &m_extras;
    const Clock &m_clock;
    FileReplacement m_page;
    QString m_text;
    qint64 m_bytes = 0;
    qint64 m_rows = 0;
    PageResult m_result;
};

bool ModernRun::fail(QString text)
{
    text += m_page.keepsOldFile() ? u" La página no se ha cambiado."_s
                                  : u" La página ha quedado incompleta."_s;
    m_result.error = std::move(text);
    m_page.discard();
    return false;
}

bool ModernRun::writeFailed()
{
    return fail(failureText({u"escribir la página", m_result.pagePath, m_page.error()}));
}

// Text goes out in blocks: one conversion to UTF-8 for many rows.
bool ModernRun::flush(bool always)
{
    if (!always && m_text.size() < 32768)
        return true;
    const QByteArray bytes = m_text.toUtf8();
    m_text.resize(0);
    return m_page.write(std::string_view(bytes.constData(), std::size_t(bytes.size())))
           || writeFailed();
}

bool ModernRun::open()
{
    const QByteArray name = encodeFileName(pageFileName());
    ReplacementOptions options;
    options.keepEqual = m_services.keepEqual;
    if (m_services.folderFd >= 0)
        return m_page.open(m_services.folderFd, name, options);
    const FileDescriptor folder(
        ::open(encodeFileName(m_currentPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen())
        return m_page.refuse(errno);
    return m_page.open(folder.get(), name, options);
}

void ModernRun::appendHead()
{
    const QString folder = readableFileName(m_currentPath);
    m_text += u"<!DOCTYPE html>\n<html lang=es>\n<head>\n<meta charset=utf-8>\n"
              u"<meta name=viewport content=\"width=device-width, initial-scale=1\">\n"
              u"<meta http-equiv=Content-Security-Policy content=\""_s;
    m_text += QString::fromLatin1(modernPagePolicy(m_services.tags != nullptr || hasVideo()));
    m_text += u"\">\n<title>";
    appendHtmlPlainText(m_text, folder);
    m_text += u"</title>\n<style>";
    m_text += QString::fromUtf8(modernPageStyle());
    m_text += u"</style>\n</head>\n<body>\n<header>\n";
    if (const ModernPlace *place = m_extras.place; place && !place->above.empty()) {
        m_text += u"<nav aria-label=\"Carpetas superiores\"><ol>";
        const std::size_t depth = place->above.size();
        for (std::size_t i = 0; i < depth; ++i) {
            m_text += u"<li><a href=\"";
            for (std::size_t up = i; up < depth; ++up)
                m_text += u"../";
            m_text += pageFileName() + u"\">"_s;
            appendHtmlText(m_text, place->above[i]);
            m_text += u"</a>";
        }
        m_text += u"</ol></nav>\n";
    }
    m_text += u"<h1>";
    appendHtmlText(m_text, folder);
    m_text += u"</h1>\n";
    if (m_services.tags)
        appendAlbumHeading(m_text, *m_services.tags);
    const QString filterText =
        m_services.tags ? u"Filtrar por nombre o etiqueta"_s : u"Filtrar por nombre"_s;
    m_text +=
        u"<div class=bar id=b hidden><input id=q type=search autocomplete=off placeholder=\""_s
        + filterText + u"\" aria-label=\""_s + filterText
        + u"\"><output id=n for=q aria-live=polite></output>"_s;
    if (m_options.images)
        m_text += u"<button type=button id=g aria-pressed=false>Cuadrícula</button>";
    m_text += u"</div>\n</header>\n<main>\n<table id=t";
    if (m_services.tags)
        m_text += u" class=tags";
    m_text += u" data-sort=";
    // Which header shows the order the rows come in.
    int sorted = 0;
    bool descending = m_extras.reverse;
    switch (m_extras.sort) {
    case Selection::Sort::Name:
        m_text += m_extras.reverse ? u"name-r"_s : u"name"_s;
        break;
    case Selection::Sort::Date:
        m_text += m_extras.reverse ? u"date-r"_s : u"date"_s;
        sorted = 1;
        descending = !m_extras.reverse;
        break;
    case Selection::Sort::Size:
        m_text += m_extras.reverse ? u"size-r"_s : u"size"_s;
        sorted = 2;
        descending = !m_extras.reverse;
        break;
    case Selection::Sort::Taken: // no column holds it
        m_text += m_extras.reverse ? u"taken-r"_s : u"taken"_s;
        sorted = -1;
        break;
    }
    m_text += u"><thead><tr>";
    const char16_t *headers[] = {u"Nombre", u"Modificado", u"Tamaño"};
    for (int i = 0; i < 3; ++i) {
        m_text += u"<th";
        if (i == sorted)
            m_text += descending ? u" aria-sort=descending"_s : u" aria-sort=ascending"_s;
        m_text += u"><button type=button>"_s + QString::fromUtf16(headers[i]) + u"</button>"_s;
    }
    // The tags' columns come last in each row, so the others keep their places; the style
    // shows them after the name. Numbers sort as numbers (data-k=n).
    if (m_services.tags)
        m_text += u"<th><button type=button>Título</button><th><button type=button>Artista"
                  u"</button><th><button type=button>Álbum</button><th data-k=n><button "
                  u"type=button>Pista</button><th data-k=n><button type=button>Año</button>"
                  u"<th data-k=n><button type=button>Duración</button>"_s;
    m_text += u"</thead>\n<tbody>\n";
}

// Rows come in bodies of a few hundred: the browser lays out and styles only the bodies on
// screen, and the script can reorder or filter 100,000 rows without touching the rest.
void ModernRun::startRow()
{
    if (m_rows > 0 && m_rows % modernRowsPerBody == 0)
        m_text += u"<tbody>\n";
    ++m_rows;
}

void ModernRun::appendFolders()
{
    const ModernPlace *place = m_extras.place;
    if (!place)
        return;
    for (const ModernFolder &folder : place->subfolders) {
        startRow();
        m_text += u"<tr class=d><td><a href=\"";
        appendLinkTarget(m_text, folder.name);
        m_text += u'/';
        if (folder.hasPage)
            m_text += pageFileName();
        m_text += u"\">";
        appendHtmlText(m_text, readableFileName(folder.name));
        m_text += u"/</a><td>Carpeta<td";
        if (folder.bytes >= 0) {
            m_text += u" title=";
            appendNumber(m_text, folder.bytes);
            m_text += u'>';
            appendReadableSize(m_text, folder.bytes);
        } else
            m_text += u'>';
        if (m_services.tags)
            m_text += u"<td><td><td><td><td><td>";
        m_text += u'\n';
    }
}

void ModernRun::appendEntry(const QString &name, const FileStatus &status)
{
    startRow();
    m_text += u"<tr><td><a href=";
    appendAttributeValue(m_text, name, appendLinkTarget);
    const bool video = m_options.images && isVideoFileName(name);
    std::optional<PagePicture> picture;
    if (m_options.images && m_services.picture && (video || isImageName(name)))
        picture = m_services.picture(name);
    // The viewer plays it; its poster, where it has one, is its picture.
    if (video)
        m_text += u" class=vd";
    m_text += u'>';
    if (m_options.images && (isImageName(name) || (video && picture))) {
        m_text += u"<img src=";
        const QString source = picture ? decodeFileName(picture->file) : name;
        appendAttributeValue(m_text, source, appendLinkTarget);
        // The sharper thumbnail is also the one the viewer shows while the image comes.
        if (picture && !picture->file2x.isEmpty()) {
            m_text += u" srcset=\"";
            appendLinkTarget(m_text, source);
            m_text += u" 1x, ";
            appendLinkTarget(m_text, decodeFileName(picture->file2x));
            m_text += u" 2x\"";
        }
        if (picture)
            m_text += u" width=%1 height=%2"_s.arg(picture->width).arg(picture->height);
        m_text += u" alt=\"\" loading=lazy>";
    }
    appendHtmlText(m_text, readableFileName(name));
    m_text += u"</a>";
    appendTaken(name);
    if (m_services.tags)
        appendPlayer(m_text, *m_services.tags, name);
    m_text += u"<td>";
    appendTime(m_text, status.modifiedSeconds);
    m_text += u"<td title=";
    appendNumber(m_text, status.size);
    m_text += u'>';
    appendReadableSize(m_text, status.size);
    if (m_services.tags)
        appendTagCells(m_text, *m_services.tags, name);
    m_text += u'\n';
}

// Whether the viewer plays videos from the page, which its policy must then let it.
bool ModernRun::hasVideo() const
{
    if (!m_options.images)
        return false;
    for (qsizetype i = 0; i < m_files.count(); ++i) {
        if (isVideoFileName(m_files.rawName(i)))
            return true;
    }
    return false;
}

// Made of the date's numbers alone: no text of the photo's reaches the page.
void ModernRun::appendTaken(const QString &name)
{
    const PhotoDate *taken = m_services.taken ? m_services.taken(name) : nullptr;
    if (!taken)
        return;
    m_text += u"<small class=tk>Tomada el <time datetime="_s;
    m_text += QString::fromLatin1(taken->isoText());
    m_text += u'>';
    m_text += QString::fromLatin1(taken->shownText());
    m_text += u"</time></small>";
}

bool ModernRun::writeEntries()
{
    QString failure;
    const auto writeEntry = [this](const QString &name, const FileStatus &status) {
        appendEntry(name, status);
        if (!flush())
            return false;
        m_result.fileCount += 1;
        m_result.totalKilobytes += status.size / 1024 == 0 ? 1 : status.size / 1024;
        m_bytes += status.size;
        return true;
    };
    if (walkPageEntries(m_currentPath, m_files, m_services, m_result, writeEntry, failure))
        return true;
    if (!failure.isEmpty())
        return fail(failure);
    m_page.discard(); // cancelled, or a write that failed and said so
    return false;
}

bool ModernRun::writeFooter(qint64 start)
{
    const double elapsed = double(m_clock.monotonicNanoseconds() - start) / 1e9;
    m_text += u"</tbody>\n</table>\n</main>\n<footer><p>"_s + fileCountText(m_result.fileCount)
              + u" · "_s + readableSize(m_bytes) + u" · Página generada en "_s;
    // The seconds change on every run: told apart, so that an equal page can be left.
    if (m_services.keepEqual) {
        const QByteArray seconds = spanishFixed(elapsed, 2).toUtf8();
        if (!flush(true)
            || !(m_page.writeVarying(
                     std::string_view(seconds.constData(), std::size_t(seconds.size())))
                 || writeFailed()))
            return false;
    } else {
        m_text += spanishFixed(elapsed, 2);
    }
    m_text += u" segundos con "_s + AppInfo::productName() + u' ' + AppInfo::versionText()
              + u"</footer>\n<script>"_s;
    m_text += QString::fromUtf8(modernPageScript());
    m_text += u"</script>\n</body>\n</html>\n";
    return flush(true);
}

PageResult ModernRun::run()
{
    const qint64 start =
        m_services.startedNs >= 0 ? m_services.startedNs : m_clock.monotonicNanoseconds();
    m_result.pagePath = m_currentPath + pageFileName();
    if (!open()) {
        m_result.error = failureText({u"crear la página", m_result.pagePath, m_page.error()});
        return m_result;
    }
    appendHead();
    appendFolders();
    if (!writeEntries())
        return m_result;
    if (!writeFooter(start))
        return m_result;
    if (!m_page.commit(m_services.batch)) {
        writeFailed();
        return m_result;
    }
    m_result.outcome = PageResult::Written;
    m_result.left = m_page.left();
    if (m_extras.totalBytes)
        *m_extras.totalBytes = m_bytes;
    if (m_options.view && m_services.opener)
        m_services.opener->open(m_result.pagePath);
    return m_result;
}

} // namespace

QByteArray modernPageStyle()
{
    return QByteArray::fromRawData(modernStyleText, sizeof modernStyleText - 1);
}

QByteArray modernPageScript()
{
    return QByteArray::fromRawData(modernScriptText, sizeof modernScriptText - 1);
}

QByteArray modernPagePolicy()
{
    // Pictures are the folder's own files; the icons are data: masks.
    static const QByteArray policy = "default-src 'none'; style-src " + hashSource(modernStyleText)
                                     + "; script-src " + hashSource(modernScriptText)
                                     + "; img-src 'self' file: data:; base-uri 'none'; "
                                       "form-action 'none'";
    return policy;
}

QByteArray modernPagePolicy(bool media)
{
    // The players play the folder's own files, and nothing else.
    static const QByteArray withMedia = modernPagePolicy() + "; media-src 'self' file:";
    return media ? withMedia : modernPagePolicy();
}

QString readableSize(qint64 bytes)
{
    QString text;
    appendReadableSize(text, bytes);
    return text;
}

void appendReadableSize(QString &out, qint64 bytes)
{
    if (bytes < 1000) {
        appendNumber(out, bytes);
        out += bytes == 1 ? u" byte" : u" bytes";
        return;
    }
    static const char16_t *units[] = {u"kB", u"MB", u"GB", u"TB", u"PB", u"EB"};
    double value = double(bytes) / 1000;
    int unit = 0;
    // Rounded as shown: 999.96 kB is "1,0 MB", not "1000,0 kB".
    while (unit < 5 && value >= 999.5) {
        value /= 1000;
        ++unit;
    }
    // Spanish decimals whatever the system's locale: the page's texts are Spanish.
    for (const QChar c : QString::number(value, 'f', value < 99.95 ? 1 : 0))
        out += c == u'.' ? QChar(u',') : c;
    out += u' ';
    out += QStringView(units[unit]);
}

PageResult writeModernPage(const QString &CurrentPath, const Listing &files, PageOptions options,
                           const PageServices &services, const ModernPageExtras &extras)
{
    return ModernRun(CurrentPath, files, options, services, extras).run();
}
