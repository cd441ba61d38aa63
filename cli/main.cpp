// folimbra-index: writes the index page of each folder named on the command line, with the same
// writer and the same bytes as the window.

#include "appinfo.h"
#include "filenames.h"
#include "folderargument.h"
#include "folderlisting.h"
#include "localetext.h"
#include "pagewriter.h"
#include "progressline.h"
#include "systemerror.h"
#include "xdgopener.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char programName[] = "folimbra-index";

struct CommandLine
{
    PageOptions page;
    bool help = false;
    bool version = false;
    std::vector<const char *> folders;
};

struct Option
{
    const char *shortName; // or null
    const char *longName;
    const char *help;
    void (*apply)(CommandLine &);
};

constexpr Option options[] = {
    {nullptr, "--images", "una imagen de 200 x 200 bajo cada archivo de imagen",
     [](CommandLine &c) {
         c.page.images = true;
     }},
    {nullptr, "--open", "abre la página terminada en el visor predeterminado",
     [](CommandLine &c) {
         c.page.view = true;
     }},
    {"-h", "--help", "muestra esta ayuda",
     [](CommandLine &c) {
         c.help = true;
     }},
    {"-V", "--version", "muestra la versión",
     [](CommandLine &c) {
         c.version = true;
     }},
};

QByteArray usage()
{
    QByteArray text = "Uso: folimbra-index [OPCIÓN]... CARPETA...\n"
                      "Escribe en cada CARPETA la página Quorvel-Html_index.html con la lista de "
                      "sus archivos.\n\n";
    for (const Option &option : options) {
        text += QByteArray("  ") + (option.shortName ? option.shortName + QByteArray(", ") : "    ")
                + QByteArray(option.longName).leftJustified(11) + option.help + '\n';
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

int writePage(const char *argument, PageOptions options, const LocaleText &locale,
              DocumentOpener &opener)
{
    const FolderArgument folder = resolveFolder(argument);
    if (!folder.error.isEmpty()) {
        printError(folder.error);
        return 1;
    }
    const QString &CurrentPath = folder.path;
    FolderFileList files(CurrentPath, locale.locale());
    ProgressLine progress(readableFileName(CurrentPath).toLocal8Bit(), stderr,
                          takesEscapeCodes(STDERR_FILENO));
    QElapsedTimer timer;
    timer.start();
    PageServices services;
    services.locale = &locale;
    services.opener = &opener;
    services.progress = [&progress, &timer](qsizetype done, qsizetype total) {
        progress.update(done, total, timer.elapsed());
    };
    const PageResult result = writeIndexPage(CurrentPath, files, options, services);
    progress.clear();
    if (!result.ok) {
        printError(result.error);
        return 1;
    }
    writeOutput(readableFileName(result.pagePath).toLocal8Bit() + '\n');
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt takes options of its own from the arguments it is given; every argument here is ours.
    guardStandardStreams();
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
            option->apply(commandLine);
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
        if (writePage(argument, commandLine.page, locale, opener) != 0)
            status = 1;
    }
    return finish(status);
}
