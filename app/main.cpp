#include "appinfo.h"
#include "captionfont.h"
#include "filenames.h"
#include "folderargument.h"
#include "frmtrovadex.h"
#include "messagebox.h"
#include "options.h"
#include "pagerunner.h"

#include <QApplication>
#include <QDir>

#include <csignal>
#include <cstdio>

namespace {

void printError(const QString &text)
{
    std::fprintf(stderr, "%s\n",
                 ("folimbra: " + text.toLocal8Bit().replace("\n", "\nfolimbra: ")).constData());
}

// Qt ends the program with a message of its own, in English, when it finds no display. A
// platform other than X or Wayland (offscreen, for one) is taken to know what it does.
bool displayAvailable()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char *argv[])
{
    // Parsed before Qt starts, as folimbra-index does: --help and --version need no display,
    // and the folder's name is taken as the bytes it is. Qt is handed no argument of ours.
    const WindowCommandLine commandLine = parseWindowCommandLine(argc, argv);
    if (!commandLine.error.isEmpty()) {
        printError(commandLine.error);
        printError(QStringLiteral("«folimbra --help» muestra cómo se usa."));
        return 2;
    }
    if (commandLine.help || commandLine.version) {
        const QByteArray text = commandLine.help ? windowUsage() : versionText("folimbra");
        return std::fputs(text.constData(), stdout) < 0 || std::fflush(stdout) != 0 ? 1 : 0;
    }
    if (!displayAvailable()) {
        printError(QStringLiteral("no hay pantalla (DISPLAY y WAYLAND_DISPLAY están vacías): la "
                                  "ventana no puede abrirse.\nPara escribir la página sin "
                                  "ventana, use folimbra-index."));
        return 1;
    }

    // Past a file-size limit the kernel would end the program; as an error, a page reports it.
    std::signal(SIGXFSZ, SIG_IGN);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("io.example.quorvel.Folimbra"));

    // A folder that cannot be opened is told, and the window starts as it does without one.
    QString folder;
    if (commandLine.folder) {
        if (const FolderArgument found = resolveFolder(commandLine.folder); !found.error.isEmpty())
            MessageBox::show(nullptr, {QMessageBox::Warning, AppInfo::title(), found.error});
        else
            folder = QDir::cleanPath(
                QDir::current().absoluteFilePath(decodeFileName(commandLine.folder)));
    }

    int status = EXIT_SUCCESS;
    {
        frmTrovadex window;
        window.start(folder);
        status = app.exec();
    }
    // A page cancelled as the window closed is discarded by its writer, which may be waiting on
    // a slow disk: it gets a moment, and the program does not wait longer than that.
    if (!PageRunner::waitForWriters(std::chrono::seconds(2))) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
