#include "filenames.h"
#include "frmtrovadex.h"
#include "pagerunner.h"

#include <QApplication>
#include <QDir>

#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    // Past a file-size limit the kernel would end the program; as an error, a page reports it.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("io.example.quorvel.Folimbra"));

    // Qt has taken its own options out of argv by now; what is left is the folder to open,
    // as raw bytes.
    QString folder;
    if (argc > 1 && *argv[1] != '\0')
        folder = QDir::cleanPath(QDir::current().absoluteFilePath(decodeFileName(argv[1])));

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
