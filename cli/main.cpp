// folimbra-index: writes the index page of each folder named on the command line, with the same
// writer and the same bytes as the window.

#include "appinfo.h"
#include "filenames.h"
#include "folderlisting.h"
#include "localetext.h"
#include "pagewriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <unistd.h>

namespace {

constexpr char usage[] =
    "Uso: folimbra-index [--images] [--open] CARPETA...\n"
    "Escribe en cada CARPETA la página Quorvel-Html_index.html con la lista de sus archivos.\n"
    "\n"
    "  --images   una imagen de 200 x 200 bajo cada archivo de imagen\n"
    "  --open     abre la página terminada en el visor predeterminado\n"
    "  --help     muestra esta ayuda\n"
    "  --version  muestra la versión\n";

// The message box's own text, which already names what failed and where.
void printError(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// The folder's absolute path with one trailing separator, from the raw bytes of the argument.
QString folderPath(const char *argument)
{
    QString path = decodeFileName(argument);
    if (!path.startsWith(u'/')) {
        std::vector<char> cwd(4096);
        while (!getcwd(cwd.data(), cwd.size()) && errno == ERANGE)
            cwd.resize(cwd.size() * 2);
        path = decodeFileName(cwd.data()) + u'/' + path;
    }
    path = QDir::cleanPath(path);
    if (!path.endsWith(u'/'))
        path += u'/';
    return path;
}

// A line on the terminal that says how far the page has come, once a run takes over a second.
class Progress
{
public:
    explicit Progress(const QString &folder)
        : m_folder(readableFileName(folder).toLocal8Bit())
        , m_enabled(isatty(STDERR_FILENO))
    {
        m_timer.start();
    }
    ~Progress() { clear(); }

    void clear()
    {
        if (m_shown)
            std::fputs("\r\033[K", stderr);
        m_shown = false;
    }

    void update(qsizetype done, qsizetype total)
    {
        if (!m_enabled || m_timer.elapsed() < 1000)
            return;
        m_shown = true;
        std::fprintf(stderr, "\r\033[K%s: %lld de %lld archivos", m_folder.constData(),
                     static_cast<long long>(done), static_cast<long long>(total));
        std::fflush(stderr);
    }

private:
    QByteArray m_folder;
    bool m_enabled;
    bool m_shown = false;
    QElapsedTimer m_timer;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    PageOptions options;
    std::vector<const char *> folders;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (optionsEnded || argument[0] != '-' || std::strcmp(argument, "-") == 0) {
            folders.push_back(argument);
        } else if (std::strcmp(argument, "--") == 0) {
            optionsEnded = true;
        } else if (std::strcmp(argument, "--images") == 0) {
            options.images = true;
        } else if (std::strcmp(argument, "--open") == 0) {
            options.view = true;
        } else if (std::strcmp(argument, "--help") == 0) {
            std::fputs(usage, stdout);
            return 0;
        } else if (std::strcmp(argument, "--version") == 0) {
            std::printf("folimbra-index %s\n", qPrintable(AppInfo::versionText()));
            return 0;
        } else {
            std::fprintf(stderr, "folimbra-index: opción desconocida: %s\n%s", argument, usage);
            return 2;
        }
    }
    if (folders.empty()) {
        std::fputs(usage, stderr);
        return 2;
    }

    const LocaleText locale;
    int status = 0;
    for (const char *argument : folders) {
        const QString CurrentPath = folderPath(argument);
        FolderFileList files(CurrentPath, locale.locale());
        Progress progress(CurrentPath);
        PageServices services;
        services.locale = &locale;
        services.progress = [&progress](qsizetype done, qsizetype total) {
            progress.update(done, total);
        };
        const PageResult result = writeIndexPage(CurrentPath, files, options, services);
        progress.clear();
        if (result.ok) {
            std::printf("%s\n", readableFileName(result.pagePath).toLocal8Bit().constData());
        } else {
            printError(result.error);
            status = 1;
        }
    }
    return status;
}
