#include "pagewriter.h"

#include "appinfo.h"
#include "clock.h"
#include "codepagefile.h"
#include "documentopener.h"
#include "entryranges.h"
#include "filenames.h"
#include "filesystem.h"
#include "getfileext.h"
#include "htmltext.h"
#include "localetext.h"
#include "overflow.h"
#include "pageentries.h"
#include "systemerror.h"

#include <optional>
#include <string>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

bool isImageExtension(const QString &extension)
{
    // Not the locale's lower case: in Turkish "GIF" would become "gıf".
    const QString lower = extension.toLower();
    return lower == u"jpg" || lower == u"jpeg" || lower == u"gif" || lower == u"bmp"
           || lower == u"tif" || lower == u"tiff" || lower == u"png";
}

qint64 kilobytes(qint64 bytes)
{
    const qint64 whole = bytes / 1024;
    return whole == 0 ? 1 : whole;
}

class PageRun
{
public:
    PageRun(const QString &currentPath, const Listing &files, PageOptions options,
            const PageServices &services)
        : m_currentPath(currentPath)
        , m_files(files)
        , m_options(options)
        , m_services(services)
        , m_locale(services.locale ? *services.locale : m_ownLocale.emplace())
        , m_clock(services.clock ? *services.clock : Clock::system())
    {}

    PageResult run();

private:
    bool write(const QString &line);
    bool writeAll(std::initializer_list<QString> lines);
    bool writeVarying(const QString &before, const QString &varying, const QString &after);
    bool fail(QString text);
    bool writeFailed();
    bool writeEntries();
    void appendEntryLine(QString &line, const QString &name, const FileStatus &status, qint64 size);
    void appendPictureLine(QString &line, const QString &name);
    bool writeFolderLinks();

    const QString &m_currentPath;
    const Listing &m_files;
    PageOptions m_options;
    const PageServices &m_services;
    std::optional<LocaleText> m_ownLocale;
    const LocaleText &m_locale;
    const Clock &m_clock;
    CodePageFile m_page;
    PageResult m_result;
};

// Once the new page is begun, every failure says what became of the old one.
bool PageRun::fail(QString text)
{
    text += m_page.keepsOldFile() ? u" La página no se ha cambiado."_s
                                  : u" La página ha quedado incompleta."_s;
    m_result.error = std::move(text);
    m_page.discard();
    return false;
}

bool PageRun::writeFailed()
{
    return fail(failureText({u"escribir la página", m_result.pagePath, m_page.error()}));
}

bool PageRun::write(const QString &line)
{
    return m_page.writeLine(line) || writeFailed();
}

// A line with a part that changes on every run, such as the time.
bool PageRun::writeVarying(const QString &before, const QString &varying, const QString &after)
{
    return (m_page.writeText(before) && m_page.writeVarying(varying) && m_page.writeLine(after))
           || writeFailed();
}

bool PageRun::writeAll(std::initializer_list<QString> lines)
{
    for (const QString &line : lines) {
        if (!write(line))
            return false;
    }
    return true;
}

PageResult PageRun::run()
{
    const qint64 start =
        m_services.startedNs >= 0 ? m_services.startedNs : m_clock.monotonicNanoseconds();

    m_result.pagePath = m_currentPath + pageFileName();
    ReplacementOptions replacement;
    replacement.keepEqual = m_services.keepEqual;
    const bool opened = m_services.folderFd >= 0
                            ? m_page.open(m_services.folderFd, pageFileName(), replacement)
                            : m_page.open(m_currentPath, pageFileName(), replacement);
    if (!opened) {
        m_result.error = failureText({u"crear la página", m_result.pagePath, m_page.error()});
        return m_result;
    }

    const QString folder = readableFileName(m_currentPath);
    QString title = u"<head><title>"_s;
    appendHtmlPlainText(title, folder);
    title += u"</title></head>";
    QString heading = u"<b>"_s;
    appendHtmlText(heading, m_locale.lower(folder));
    heading += u" :: ";
    QString made;
    m_locale.appendGeneralDate(made, LocalDateTime::fromDateTime(m_clock.now()));
    if (!writeAll({u"<html><body bgcolor=#000000><font color=#ffffff>"_s,
                   u"<CENTER><font size=8>"_s + AppInfo::productName() + u"</center></font>"_s,
                   title, u"<body>"_s, u"<hr>"_s})
        || !writeVarying(heading, made, u"</b>"_s) || !write(u"<hr>"_s) || !writeFolderLinks()
        || !writeEntries())
        return m_result;

    if (!writeAll({u"<br>&nbsp;"_s, u"<hr>"_s,
                   u"<b>"_s + QString::number(m_result.fileCount) + u" Archivo(s) :: "_s
                       + m_locale.wholeNumber(m_result.totalKilobytes) + u"k</b>"_s,
                   u"<hr>"_s, u"<font size=1>"_s}))
        return m_result;

    const double elapsed = double(m_clock.monotonicNanoseconds() - start) / 1e9;
    const QString homePage = AppInfo::homePage();
    if (!writeVarying(u"Página generada en "_s, m_locale.fixedTwo(elapsed),
                      u" segundos con "_s + AppInfo::productName() + u' ' + AppInfo::versionText()
                          + u" © <a href="_s + homePage + u'>' + homePage + u"</a>"_s)
        || !writeAll({u"</font>"_s, u"<hr>"_s, u"</body>"_s, u"</html>"_s}))
        return m_result;

    if (!m_page.commit(m_services.batch)) {
        writeFailed();
        return m_result;
    }
    m_result.outcome = PageResult::Written;
    m_result.left = m_page.left();

    // Whether a viewer came up is not known here; a page that cannot be shown is no error.
    if (m_options.view && m_services.opener)
        m_services.opener->open(m_result.pagePath);
    return m_result;
}

// From this many files on, a page without pictures has its lines made on the pool's threads.
constexpr qsizetype fewestForRanges = 4096;

bool PageRun::writeEntries()
{
    // Made on one thread, the lines would keep one core busy while the other only looked files
    // up: in ranges, each thread does both.
    if (!m_options.images && m_files.count() >= fewestForRanges) {
        RangePage page;
        page.appendLine = [this](QString &line, const QString &name, const FileStatus &status) {
            const qint64 size = kilobytes(status.size);
            appendEntryLine(line, name, status, size);
            return size;
        };
        page.write = [this](const std::string &bytes) {
            return m_page.writeBytes(bytes) || writeFailed();
        };
        page.fail = [this](QString sentence) {
            return fail(std::move(sentence));
        };
        page.discard = [this] {
            m_page.discard();
        };
        return writeEntriesInRanges(m_currentPath, m_files, m_services, m_result, page);
    }
    QString line;
    QString failure;
    const auto writeEntry = [&](const QString &name, const FileStatus &status) {
        const qint64 size = kilobytes(status.size);

        line.resize(0);
        appendEntryLine(line, name, status, size);
        if (!write(line))
            return false;

        if (m_options.images) {
            QString baseName;
            QString extension;
            try {
                extension = GetFileExt(m_result.CurrentFile, baseName, false);
            } catch (const OverflowError &) {
                return fail(QStringLiteral("Desbordamiento al separar la extensión de «%1».")
                                .arg(readableFileName(m_result.CurrentFile)));
            }
            if (isImageExtension(extension)) {
                line.resize(0);
                appendPictureLine(line, name);
                if (!write(line))
                    return false;
            }
        }
        m_result.fileCount += 1;
        m_result.totalKilobytes += size;
        return true;
    };
    if (walkPageEntries(m_currentPath, m_files, m_services, m_result, writeEntry, failure))
        return true;
    if (!failure.isEmpty())
        return fail(failure);
    m_page.discard(); // cancelled, or a write that failed and said so
    return false;
}

void PageRun::appendEntryLine(QString &line, const QString &name, const FileStatus &status,
                              qint64 size)
{
    line += u"<p><a href=\"";
    appendLinkTarget(line, name);
    line += u"\">";
    appendHtmlText(line, readableFileName(name));
    line += u"</a> (";
    m_locale.appendGeneralDate(line, LocalDateTime::fromEpochSeconds(status.modifiedSeconds));
    line += u", ";
    m_locale.appendWholeNumber(line, size);
    line += u"k)";
}

bool PageRun::writeFolderLinks()
{
    if (!m_services.folderLinks)
        return true;
    const QString page = pageFileName();
    if (m_services.folderLinks->parent && !write(u"<p><a href=\"../"_s + page + u"\">..</a>"_s))
        return false;
    QString line;
    for (const FolderLink &folder : m_services.folderLinks->subfolders) {
        line = u"<p><a href=\""_s;
        appendLinkTarget(line, folder.name);
        line += u'/';
        if (folder.hasPage)
            line += page;
        line += u"\">";
        appendHtmlText(line, readableFileName(folder.name));
        line += u"/</a>";
        if (!write(line))
            return false;
    }
    return true;
}

void PageRun::appendPictureLine(QString &line, const QString &name)
{
    if (m_services.picture) {
        if (const std::optional<PagePicture> picture = m_services.picture(name)) {
            line += u"<br><center><a href=\"";
            appendLinkTarget(line, name);
            line += u"\"><img src=\"";
            appendLinkTarget(line, decodeFileName(picture->file));
            if (!picture->file2x.isEmpty()) {
                line += u"\" srcset=\"";
                appendLinkTarget(line, decodeFileName(picture->file));
                line += u" 1x, ";
                appendLinkTarget(line, decodeFileName(picture->file2x));
                line += u" 2x";
            }
            line += u"\" alt=";
            appendAttributeValue(line, readableFileName(m_result.CurrentFile), appendHtmlPlainText);
            line += u" width=%1 height=%2 loading=lazy></a></center>"_s.arg(picture->width)
                        .arg(picture->height);
            return;
        }
    }
    line += u"<br><center><img src=";
    appendAttributeValue(line, name, appendLinkTarget);
    line += u" alt=";
    appendAttributeValue(line, readableFileName(m_result.CurrentFile), appendHtmlPlainText);
    line += u" width=200 height=200></center>";
}

} // namespace

bool isImageName(const QString &name)
{
    QString baseName;
    try {
        return isImageExtension(GetFileExt(name, baseName, false));
    } catch (const OverflowError &) {
        return false;
    }
}

PageResult writeIndexPage(const QString &CurrentPath, const Listing &files, PageOptions options,
                          const PageServices &services)
{
    return PageRun(CurrentPath, files, options, services).run();
}
