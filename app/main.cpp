#include "frmtrovadex.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    frmTrovadex window;
    window.start();
    return app.exec();
}
