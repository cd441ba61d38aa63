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
#include "localetext.h"
#include "progressline.h"
#include "selection.h"
#include "systemerror.h"
#include "thumbnailcaches.h"
#include "thumbnails.h"
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

struct CommandLine
{
    PageOptions page;
    bool thumbnails = false;
    Selection selection;
    bool recursive = false;
    bool help = false;
    bool version = false;
    std::vector<const char *> folders;
};

struct Option
{
    const char *shortName; // or null
    const char *longName;
    const char *value; // the value's name in the help, or null for an option without one
    const char *help;
    // False for a value the option does not take.
    bool (*apply)(CommandLine &, const char *value);
};

constexpr Option options[] = {
    {nullptr, "--images", nullptr, "una imagen de 200 x 200 bajo cada archivo de imagen",
     [](CommandLine &c, const char *) {
         c.page.images = true;
         return true;
     }},
    {nullptr, "--open", nullptr, "abre la página terminada en el visor predeterminado",
     [](CommandLine &c, const char *) {
         c.page.view = true;
         return true;
     }},
    {nullptr, "--thumbnails", nullptr,
     "una miniatura de hasta 256 x 256 bajo cada imagen, guardada junto a ella",
     [](CommandLine &c, const char *) {
         c.page.images = c.thumbnails = true;
         return true;
     }},
    {"-r", "--recursive", nullptr,
     "escribe también la página de cada carpeta interior, enlazadas entre sí",
     [](CommandLine &c, const char *) {
         c.recursive = true;
         return true;
     }},
    {nullptr, "--sort", "CLAVE",
     "ordena por name (nombre, lo normal), date (más reciente antes) o size (mayor antes)",
     [](CommandLine &c, const char *value) {
         const std::pair<const char *, Selection::Sort> keys[] = {{"name", Selection::Sort::Name},
                                                                  {"date", Selection::Sort::Date},
                                                                  {"size", Selection::Sort::Size}};
         for (const auto &[name, key] : keys) {
             if (std::strcmp(value, name) == 0) {
                 c.selection.sort = key;
                 return true;
             }
         }
         return false;
     }},
    {nullptr, "--reverse", nullptr, "invierte el orden",
     [](CommandLine &c, const char *) {
         c.selection.reverse = true;
         return true;
     }},
    {nullptr, "--exclude", "PATRÓN",
     "deja fuera los nombres que casan con el comodín PATRÓN (se puede repetir)",
     [](CommandLine &c, const char *value) {
         c.selection.exclude << QByteArray(value);
         return true;
     }},
    {nullptr, "--no-hidden", nullptr, "deja fuera los nombres que empiezan por \".\"",
     [](CommandLine &c, const char *) {
         c.selection.hidden = false;
         return true;
     }},
    {"-h", "--help", nullptr, "muestra esta ayuda",
     [](CommandLine &c, const char *) {
         c.help = true;
         return true;
     }},
    {"-V", "--version", nullptr, "muestra la versión",
     [](CommandLine &c, const char *) {
         c.version = true;
         return true;
     }},
};

QByteArray usage()
{
    QByteArray text = "Uso: folimbra-index [OPCIÓN]... CARPETA...\n"
                      "Escribe en cada CARPETA la página Quorvel-Html_index.html con la lista de "
                      "sus archivos.\n\n";
    for (const Option &option : options) {
        QString name = QString::fromUtf8(option.longName);
        if (option.value)
            name += u' ' + QString::fromUtf8(option.value);
        // Padded by characters, not bytes, so that "PATRÓN" keeps the column.
        text += QByteArray("  ") + (option.shortName ? option.shortName + QByteArray(", ") : "    ")
                + name.leftJustified(18).toUtf8() + option.help + '\n';
    }
    return text;
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

const Option *findOption(const char *argument)
{
    for (const Option &option : options) {
        if (std::strcmp(argument, option.longName) == 0
            || (option.shortName && std::strcmp(argument, option.shortName) == 0))
            return &option;
    }
    return nullptr;
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
    QStringList decoderMessages;
} thumbnailReport;

// Tells the run's report what a folder's thumbnails left out.
void noteThumbnails(const QString &folder, const ThumbnailRun &run)
{
    if (run.noRepository)
        printError(QStringLiteral("«%1.sh_thumbnails» no es una carpeta: las imágenes se "
                                  "muestran enteras.")
                       .arg(readableFileName(folder)));
    const std::lock_guard lock(thumbnailReport.mutex);
    for (int kind = 0; kind < leftOutKinds; ++kind)
        thumbnailReport.leftOut[std::size_t(kind)] += run.leftOut[std::size_t(kind)];
    for (const QString &text : run.decoderMessages) {
        if (!thumbnailReport.decoderMessages.contains(text))
            thumbnailReport.decoderMessages << text;
    }
}

void reportThumbnails()
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
    int total = 0;
    QStringList parts;
    for (int kind = 0; kind < leftOutKinds; ++kind) {
        if (const int count = thumbnailReport.leftOut[std::size_t(kind)]) {
            total += count;
            parts << QStringLiteral("%1 %2").arg(count).arg(QString::fromUtf8(reasons[kind]));
        }
    }
    if (total > 0)
        printError(QStringLiteral("%1 sin miniatura (se muestran enteras): %2.")
                       .arg(total == 1 ? QStringLiteral("1 imagen")
                                       : QStringLiteral("%1 imágenes").arg(total),
                            parts.join(u"; ")));
}

int report(const PageResult &result)
{
    if (!result.ok()) {
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
    if (commandLine.thumbnails) {
        const FileDescriptor folderFd(
            ::open(encodeFileName(folder.path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folderFd.isOpen() && isInThumbnailFolder(folderFd.get())) {
            printError(QStringLiteral("«%1» es una carpeta de miniaturas: no se escribe nada en "
                                      "ella.")
                           .arg(readableFileName(folder.path)));
            return 1;
        }
    }
    ProgressLine progress(readableFileName(folder.path).toLocal8Bit(), stderr,
                          takesEscapeCodes(STDERR_FILENO));
    QElapsedTimer timer;
    timer.start();
    PageServices services;
    services.locale = &locale;
    services.opener = &opener;
    FolderPageRequest request{commandLine.page, commandLine.selection, commandLine.thumbnails};
    request.thumbnailsMade = noteThumbnails;

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
        const PageResult result = writeFolderPage(folder.path, folderFd, request, services);
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
    const std::vector<PageResult> results =
        writeTreePages(tree, request, services, [&](const PageResult &result) {
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
    // Qt takes options of its own from the arguments it is given; every argument here is ours.
    guardStandardStreams();
    raiseOpenFileLimit();
    // Past a file-size limit the kernel would end the program; as an error, a page reports it.
    std::signal(SIGXFSZ, SIG_IGN);
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);

    CommandLine commandLine;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (optionsEnded || argument[0] != '-' || std::strcmp(argument, "-") == 0) {
            commandLine.folders.push_back(argument);
        } else if (std::strcmp(argument, "--") == 0) {
            optionsEnded = true;
        } else if (const Option *option = findOption(argument)) {
            const char *value = nullptr;
            if (option->value && i + 1 < argc)
                value = argv[++i];
            if (option->value && !value) {
                printUsageError(
                    QStringLiteral("falta el valor de %1").arg(QLatin1StringView(argument)));
                return finish(2);
            }
            if (!option->apply(commandLine, value)) {
                printUsageError(QStringLiteral("valor no válido para %1: %2")
                                    .arg(QLatin1StringView(argument), decodeFileName(value)));
                return finish(2);
            }
        } else {
            printUsageError(QStringLiteral("opción desconocida: %1").arg(decodeFileName(argument)));
            return finish(2);
        }
    }
    if (commandLine.help) {
        writeOutput(usage());
        return finish(0);
    }
    if (commandLine.version) {
        writeOutput(QByteArray(programName) + ' ' + AppInfo::versionText().toUtf8() + '\n');
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
    }
    reportThumbnails();
    return finish(status);
}
