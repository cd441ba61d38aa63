// folimbra-index: writes the index page of each folder named on the command line, with the same
// writer and the same bytes as the window.

#include "appinfo.h"
#include "filedescriptor.h"
#include "filenames.h"
#include "filesystem.h"
#include "folderargument.h"
#include "folderlisting.h"
#include "folderpage.h"
#include "foldertree.h"
#include "listingrun.h"
#include "localetext.h"
#include "options.h"
#include "progressline.h"
#include "selection.h"
#include "systemerror.h"
#include "thumbnails.h"
#include "watchrun.h"
#include "xdgopener.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char programName[] = "folimbra-index";

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

// What the thumbnails of the whole run left out, told once at its end.
struct ThumbnailReport
{
    std::mutex mutex;
    std::array<int, leftOutKinds> leftOut{};
    std::array<int, leftOutKinds> videosLeftOut{};
    QStringList decoderMessages;
    bool failed = false;
} thumbnailReport;

QStringView thumbnailStep(ThumbnailRun::Failure::Step step)
{
    switch (step) {
    case ThumbnailRun::Failure::Read:
        return u"leer la miniatura";
    case ThumbnailRun::Failure::ReadFolder:
        return u"leer la carpeta";
    case ThumbnailRun::Failure::MakeFolder:
        return u"crear la carpeta de miniaturas";
    case ThumbnailRun::Failure::Save:
        break;
    }
    return u"guardar la miniatura";
}

// Tells the run's report what a folder's thumbnails left out.
void noteThumbnails(const QString &folder, const ThumbnailRun &run)
{
    if (run.noRepository)
        printError(QStringLiteral("«%1.sh_thumbnails» no es una carpeta: las imágenes se "
                                  "muestran enteras.")
                       .arg(readableFileName(folder)));
    const std::lock_guard lock(thumbnailReport.mutex);
    for (const ThumbnailRun::Failure &failure : run.failures) {
        const QString path = folder + decodeFileName(failure.file);
        printError(failureText({thumbnailStep(failure.step), path, failure.error}));
        thumbnailReport.failed = true;
    }
    for (int kind = 0; kind < leftOutKinds; ++kind) {
        thumbnailReport.leftOut[std::size_t(kind)] += run.leftOut[std::size_t(kind)];
        thumbnailReport.videosLeftOut[std::size_t(kind)] += run.videosLeftOut[std::size_t(kind)];
    }
    for (const QString &text : run.decoderMessages) {
        if (!thumbnailReport.decoderMessages.contains(text))
            thumbnailReport.decoderMessages << text;
    }
}

// Returns 1 where a thumbnail could not be saved, else 0.
int reportThumbnails()
{
    for (const QString &text : thumbnailReport.decoderMessages)
        printError(text);
    static const char *const reasons[leftOutKinds] = {
        "no se pudieron leer o guardar",
        "son enlaces a fuera de la carpeta o a lo que su dueño no puede leer",
        "tienen más de 100 megapíxeles",
        "necesitarían demasiada memoria",
        "tardaron demasiado en leerse",
        "tienen una miniatura de otro programa que ha quedado anticuada"};
    // "3 imágenes sin miniatura (se muestran enteras): 2 …; 1 …."
    const auto report = [&](const std::array<int, leftOutKinds> &counts, const char *one,
                            const char *many, const char *what) {
        int total = 0;
        QStringList parts;
        for (int kind = 0; kind < leftOutKinds; ++kind) {
            if (const int count = counts[std::size_t(kind)]) {
                total += count;
                parts << QStringLiteral("%1 %2").arg(count).arg(QString::fromUtf8(reasons[kind]));
            }
        }
        if (total > 0)
            printError(
                QStringLiteral("%1 %2: %3.")
                    .arg(total == 1 ? QString::fromUtf8(one) : QString::fromUtf8(many).arg(total),
                         QString::fromUtf8(what), parts.join(u"; ")));
    };
    report(thumbnailReport.leftOut, "1 imagen", "%1 imágenes",
           "sin miniatura (se muestran enteras)");
    report(thumbnailReport.videosLeftOut, "1 vídeo", "%1 vídeos", "sin portada");
    return thumbnailReport.failed ? 1 : 0;
}

// With --update, how many pages were left as they were and how many written.
struct UpdateCount
{
    qint64 left = 0;
    qint64 written = 0;
} updateCount;

// A page left as it was is not named: what is named is what changed.
int report(const PageResult &result)
{
    if (!result.ok()) {
        printError(result.error);
        return 1;
    }
    ++(result.left ? updateCount.left : updateCount.written);
    if (!result.left)
        writeOutput(readableFileName(result.pagePath).toLocal8Bit() + '\n');
    return 0;
}

void reportUpdate()
{
    const auto pages = [](qint64 count) {
        return count == 1 ? QStringLiteral("1 página") : QStringLiteral("%1 páginas").arg(count);
    };
    printError(QStringLiteral("%1 sin cambios, %2 escrita%3.")
                   .arg(pages(updateCount.left), pages(updateCount.written),
                        updateCount.written == 1 ? QString() : QStringLiteral("s")));
}

// What the options ask of each folder's page.
FolderPageRequest pageRequest(const CommandLine &commandLine)
{
    FolderPageRequest request{commandLine.page, commandLine.selection, commandLine.thumbnails};
    request.thumbnailsMade = noteThumbnails;
    request.style = commandLine.style;
    request.tags = commandLine.tags;
    return request;
}

volatile std::sig_atomic_t stopSignal = 0;

void stopWriting(int signal)
{
    stopSignal = signal;
}

// A tree's pages wait under hidden names for one sync: an interrupt lets those written go in
// place and the rest be dropped, rather than leave them behind. A second one ends at once.
class StopOnSignals
{
public:
    StopOnSignals()
    {
        struct sigaction stop = {};
        stop.sa_handler = stopWriting;
        stop.sa_flags = SA_RESETHAND;
        sigemptyset(&stop.sa_mask);
        for (std::size_t i = 0; i < signals.size(); ++i)
            ::sigaction(signals[i], &stop, &m_previous[i]);
    }
    ~StopOnSignals()
    {
        for (std::size_t i = 0; i < signals.size(); ++i)
            ::sigaction(signals[i], &m_previous[i], nullptr);
        // Ended as the signal would have ended it, so a shell or a script sees why.
        if (const int signal = stopSignal; signal != 0) {
            std::signal(signal, SIG_DFL);
            std::raise(signal);
        }
    }
    static bool stopped() { return stopSignal != 0; }

private:
    static constexpr std::array signals{SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, signals.size()> m_previous;
};

int writePages(const char *argument, const CommandLine &commandLine, const LocaleText &locale,
               DocumentOpener &opener)
{
    const FolderArgument folder = resolveFolder(argument, commandLine.thumbnails);
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
    services.keepEqual = commandLine.update;
    const FolderPageRequest request = pageRequest(commandLine);

    if (!commandLine.recursive) {
        services.progress = [&progress, &timer](qsizetype done, qsizetype total) {
            progress.update(done, total, timer.elapsed());
        };
        const FileDescriptor folderFd = openFolder(folder.path);
        if (!folderFd.isOpen()) {
            printError(folderReadError(folder.path, errno));
            return 1;
        }
        const PageResult result = writeFolderPage(folder.path, folderFd.get(), request, services);
        progress.clear();
        return report(result);
    }

    FolderTree tree;
    if (const int error =
            tree.read(folder.path, commandLine.selection, locale.locale(), commandLine.maxDepth);
        error != 0) {
        printError(folderReadError(folder.path, error));
        return 1;
    }
    const qsizetype folders = qsizetype(tree.folders().size());
    qsizetype done = 0;
    qint64 files = 0;
    std::vector<PageResult> results;
    {
        const StopOnSignals stop;
        services.cancelled = &StopOnSignals::stopped;
        results = writeTreePages(tree, request, services, [&](const PageResult &result) {
            files += result.fileCount;
            progress.updateTree(++done, folders, files, timer.elapsed());
        });
        progress.clear();
    }
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
    // Past a file-size limit the kernel would end the program; as an error, a page reports it.
    std::signal(SIGXFSZ, SIG_IGN);
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
    if (commandLine.watch) {
        XdgOpener opener;
        const int status =
            runWatch(commandLine, locale, pageRequest(commandLine), opener, printError);
        // The watch told each failure as it went on; stopped, it ends well.
        reportThumbnails();
        return finish(status);
    }
    if (commandLine.catalog || commandLine.json)
        return finish(writeListings(commandLine, locale, printError));
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
    if (commandLine.update)
        reportUpdate();
    return finish(status | reportThumbnails());
}
