// bench_open: the window opening a large folder, in wall and CPU time (the CPU time stays
// meaningful on a loaded machine), and the two ways one page run can go, for their peak memory
// under /usr/bin/time -v.
//
//   bench_open FOLDER open [RUNS [frozen]]  the folder opened RUNS times from its parent; with
//                                           "frozen", the longest the window did not answer
//   bench_open FOLDER page          opened, then Hacer HTML: the page takes the files shown
//   bench_open FOLDER page-changed  the same, the folder changed in between: it is read again

#include "dirlistbox.h"
#include "frmtrovadex.h"
#include "messagebox.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {

[[noreturn]] void fail(const QString &text)
{
    std::fprintf(stderr, "bench_open: %s\n", qPrintable(text));
    std::_Exit(EXIT_FAILURE);
}

double cpuMs()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const timeval &user = usage.ru_utime;
    const timeval &system = usage.ru_stime;
    return double(user.tv_sec + system.tv_sec) * 1e3 + double(user.tv_usec + system.tv_usec) / 1e3;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString mode = arguments.value(2);
    if (arguments.size() < 3 || (mode != u"open" && mode != u"page" && mode != u"page-changed")) {
        std::fputs("Usage: bench_open FOLDER open [RUNS [frozen]] | page | page-changed\n", stderr);
        return 2;
    }
    const QString folder = QDir::cleanPath(QFileInfo(arguments.at(1)).absoluteFilePath());
    const QString parent = QFileInfo(folder).absolutePath();
    const int runs = qMax(1, arguments.value(3, u"5"_s).toInt());
    MessageBox::setAnswerer([](const MessageBox::Box &box) -> QMessageBox::StandardButton {
        fail(u"the window showed a message: "_s + box.text);
    });
    if (!QDir::setCurrent(parent))
        fail(u"cannot enter "_s + parent);
    frmTrovadex window;
    auto *dir = window.findChild<DirListBox *>(u"Dir1"_s);
    auto *count = window.findChild<QLabel *>(u"lblFCount"_s);
    auto *make = window.findChild<QPushButton *>(u"cmdMake"_s);
    window.start();
    QCoreApplication::processEvents();
    const auto open = [&](const QString &path) {
        QString error;
        if (!dir->setPath(path, &error))
            fail(error);
        while (dir->isLoading())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
    };

    if (mode == u"open") {
        // The longest the window could not answer: the widest gap between ticks of a timer.
        QElapsedTimer sinceTick;
        qint64 frozenNs = 0;
        QTimer ticks;
        QObject::connect(&ticks, &QTimer::timeout, &ticks, [&] {
            frozenNs = qMax(frozenNs, sinceTick.nsecsElapsed());
            sinceTick.start();
        });
        // Ticks cost CPU of their own: only where asked for.
        if (arguments.value(4) == u"frozen")
            ticks.start(2);
        for (int run = 0; run < runs; ++run) {
            open(parent);
            QElapsedTimer timer;
            timer.start();
            const double cpu = cpuMs();
            sinceTick.start();
            frozenNs = 0;
            open(folder);
            frozenNs = qMax(frozenNs, sinceTick.nsecsElapsed());
            const QString frozen = ticks.isActive()
                                       ? u", frozen %1 ms"_s.arg(double(frozenNs) / 1e6, 0, 'f', 1)
                                       : QString();
            std::printf("open: %.1f ms wall, %.1f ms CPU%s, lblFCount %s\n",
                        double(timer.nsecsElapsed()) / 1e6, cpuMs() - cpu, qPrintable(frozen),
                        qPrintable(count->text()));
        }
        return 0;
    }
    // A change just before the read would make the page read the folder again anyway.
    QThread::msleep(300);
    open(folder);
    if (mode == u"page-changed") {
        QFile touched(folder + u"/.bench_open"_s);
        if (!touched.open(QIODevice::WriteOnly) || !touched.remove())
            fail(u"cannot change "_s + folder);
    }
    QEventLoop loop;
    QObject::connect(&window, &frmTrovadex::pageFinished, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    make->click();
    loop.exec();
    std::printf("%s: %.1f ms, lblFCount %s\n", qPrintable(mode), double(timer.nsecsElapsed()) / 1e6,
                qPrintable(count->text()));
    return 0;
}
