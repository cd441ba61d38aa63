// folimbra-index: writes the index page of each folder named on the command line, with the same
// writer and the same bytes as the window.

#include "appinfo.h"
#include "filenames.h"
#include "filesystem.h"
#include "folderargument.h"
#include "folderlisting.h"
#include "localetext.h"
#include "options.h"
#include "pagewriter.h"
#include "progressline.h"
#include "selection.h"
#include "systemerror.h"
#include "thumbnails.h"
#include "treewriter.h"
#include "xdgopener.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char programName[] = "folimbra-index";

bool isDefault(const Selection &selection)
{
    return selection.sort == Selection::Sort::Name && !selection.reverse && selection.hidden
           && selection.exclude.isEmpty();
}

// Every line that goes to standard error names the program, as other command-line tools do.
void printError(const QString &text)
{
    const QByteArray prefix = QByteArray(programName) + ": ";
    std::fprintf(stderr, "%s\n",
                 (prefix + text.toLocal8Bit().replace("\n", "\n" + prefix)).constData());
}

void printUsageError(const QString &text)
{
    printError(text);
    printError(QStringLiteral("«folimbra-index --help» muestra cómo se usa."));
}

// The first failure to write standard output, reported once at the end.
int outputError = 0;

void writeOutput(const QByteArray &text)
{
    if (std::fputs(text.constData(), stdout) < 0 && outputError == 0)
        outputError = errno;
}

// A closed standard stream would hand its number to the next file opened, and our output to
// that file; /dev/null holds the number instead, and a closed standard output is an error.
void guardStandardStreams()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd)
            std::abort();
        if (fd == STDOUT_FILENO)
            outputError = EBADF;
    }
}

// Output that was never written is a failure, even on standard output.
int finish(int status)
{
    if (std::fflush(stdout) != 0 && outputError == 0)
        outputError = errno;
    if (outputError != 0 || std::ferror(stdout)) {
        printError(QStringLiteral("No se pudo escribir en la salida estándar: %1.")
                       .arg(systemErrorText(outputError != 0 ? outputError : EIO)));
        status = status != 0 ? status : 1;
    }
    if (std::fflush(stderr) != 0 || std::ferror(stderr))
        status = status != 0 ? status : 1;
    return status;
}

// The thumbnails of a folder's images, by name.
QHash<QString, PagePicture> thumbnailsOf(int folderFd, const Selection &selection,
                                         const QLocale &locale)
{
    SelectedListing files;
    if (files.read(folderFd, EntryKind::Files, selection, locale) != 0)
        return {};
    std::vector<QByteArray> images;
    for (qsizetype i = 0; i < files.count(); ++i) {
        if (isImageName(files.name(i)))
            images.emplace_back(files.rawName(i));
    }
    const std::vector<std::optional<Thumbnail>> thumbnails = makeThumbnails(folderFd, images);
    QHash<QString, PagePicture> pictures;
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (const std::optional<Thumbnail> &thumbnail = thumbnails[i])
            pictures.insert(decodeFileName(images[i]),
                            {thumbnail->file, thumbnail->width, thumbnail->height});
    }
    return pictures;
}

// The page of one folder, open as `folderFd`, with the options' selection and links.
PageResult writeFolderPage(const QString &CurrentPath, int folderFd, const CommandLine &commandLine,
                           PageServices services, const FolderLinks *links = nullptr)
{
    services.folderLinks = links;
    services.folderFd = folderFd;
    // Thumbnails are made before the page, so that its own timing tells of the page alone.
    QHash<QString, PagePicture> pictures;
    if (commandLine.thumbnails) {
        pictures = thumbnailsOf(folderFd, commandLine.selection, services.locale->locale());
        services.picture = [&pictures](const QString &name) -> std::optional<PagePicture> {
            const auto found = pictures.constFind(name);
            return found == pictures.cend() ? std::nullopt : std::optional(*found);
        };
    }
    // Without options the list is the one the window walks, byte for byte.
    if (isDefault(commandLine.selection)) {
        FolderFileList files(CurrentPath, services.locale->locale());
        files.setFolderDescriptor(folderFd);
        return writeIndexPage(CurrentPath, files, commandLine.page, services);
    }
    SelectedFileList files(CurrentPath, commandLine.selection, services.locale->locale());
    files.setFolderDescriptor(folderFd);
    return writeIndexPage(CurrentPath, files, commandLine.page, services);
}

int report(const PageResult &result)
{
    if (!result.ok) {
        printError(result.error);
        return 1;
    }
    writeOutput(readableFileName(result.pagePath).toLocal8Bit() + '\n');
    return 0;
}

int writePages(const char *argument, const CommandLine &commandLine, const LocaleText &locale,
               DocumentOpener &opener)
{
    const FolderArgument folder = resolveFolder(argument);
    if (!folder.error.isEmpty()) {
        printError(folder.error);
        return 1;
    }
    ProgressLine progress(readableFileName(folder.path).toLocal8Bit(), stderr,
                          takesEscapeCodes(STDERR_FILENO));
    QElapsedTimer timer;
    timer.start();
    PageServices services;
    services.locale = &locale;
    services.opener = &opener;

    if (!commandLine.recursive) {
        services.progress = [&progress, &timer](qsizetype done, qsizetype total) {
            progress.update(done, total, timer.elapsed());
        };
        const int folderFd =
            ::open(encodeFileName(folder.path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd < 0) {
            printError(folderReadError(folder.path, errno));
            return 1;
        }
        const PageResult result = writeFolderPage(folder.path, folderFd, commandLine, services);
        ::close(folderFd);
        progress.clear();
        return report(result);
    }

    FolderTree tree;
    if (const int error = tree.read(folder.path, commandLine.selection, locale.locale());
        error != 0) {
        printError(folderReadError(folder.path, error));
        return 1;
    }
    const qsizetype folders = qsizetype(tree.folders().size());
    qsizetype done = 0;
    qint64 files = 0;
    const std::vector<PageResult> results = tree.write(
        [&](const TreeFolder &node, int folderFd, const FolderLinks &links) {
            // Of a whole tree, only the top page is opened; the rest are a click away.
            PageServices folderServices = services;
            if (node.parent >= 0)
                folderServices.opener = nullptr;
            return writeFolderPage(node.path, folderFd, commandLine, folderServices, &links);
        },
        [&](const PageResult &result) {
            files += result.fileCount;
            progress.updateTree(++done, folders, files, timer.elapsed());
        });
    progress.clear();
    int status = 0;
    for (const PageResult &result : results)
        status |= report(result);
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    guardStandardStreams();
    raiseOpenFileLimit();
    // Qt is handed no argument: every one is ours, parsed as bytes (see parseIndexCommandLine).
    const CommandLine commandLine = parseIndexCommandLine(argc, argv);
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);

    if (!commandLine.error.isEmpty()) {
        printUsageError(commandLine.error);
        return finish(2);
    }
    if (commandLine.help) {
        writeOutput(indexUsage());
        return finish(0);
    }
    if (commandLine.version) {
        writeOutput(versionText(programName));
        return finish(0);
    }
    if (commandLine.folders.empty()) {
        printUsageError(QStringLiteral("falta la CARPETA"));
        return finish(2);
    }

    const LocaleText locale;
    XdgOpener opener;
    int status = 0;
    for (const char *argument : commandLine.folders) {
        if (writePages(argument, commandLine, locale, opener) != 0)
            status = 1;
        // A page asked to open that no viewer took fails its folder.
        if (const XdgOpener::Outcome outcome = opener.takeOutcome(); !outcome.report.isEmpty()) {
            printError(outcome.report);
            if (outcome.failed)
                status = 1;
        }
    }
    return finish(status);
}
