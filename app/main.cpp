#include "captionfont.h"
#include "filenames.h"
#include "frmtrovadex.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("io.example.quorvel.Folimbra"));
    useCaptionFont();

    // Qt has taken its own options out of argv by now; what is left is the folder to open,
    // as raw bytes.
    QString folder;
    if (argc > 1 && *argv[1] != '\0')
        folder = QDir::cleanPath(QDir::current().absoluteFilePath(decodeFileName(argv[1])));

    frmTrovadex window;
    window.start(folder);
    return app.exec();
}
