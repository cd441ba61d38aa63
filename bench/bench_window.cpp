// bench_window: times the window opening a large folder and making its page, against
// folimbra-index on the same folder in the same run.
//
//   bench_window FOLDER FOLIMBRA_INDEX [RUNS]

#include "dirlistbox.h"
#include "documentopener.h"
#include "frmtrovadex.h"
#include "messagebox.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QProcess>
#include <QPushButton>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

constexpr double openTargetMs = 600;
constexpr double progressTargetMs = 1100;
constexpr double pageTargetRatio = 1.10;

[[noreturn]] void fail(const QString &text)
{
    std::fprintf(stderr, "bench_window: %s\n", qPrintable(text));
    std::fflush(stdout);
    // The window may be part-way through a handler: nothing is worth tearing down.
    std::_Exit(EXIT_FAILURE);
}

class NoViewer : public DocumentOpener
{
public:
    bool open(const QString &) override { return true; }
};

// Tells whether the open folder reached the screen inside the timed span.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform says so at every change of a fixed size.
void dropSizeHintNotes(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!text.contains(u"does not support propagateSizeHints"))
        defaultHandler(type, context, text);
}

// Counted apart from the program's own folder reader, so that one dropping files is caught.
qsizetype countFiles(const QString &folder)
{
    DIR *dir = opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return -1;
    qsizetype count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st;
        // A link counts as what it leads to, a dangling one as a file.
        if (fstatat(dirfd(dir), entry->d_name, &st, 0) != 0 || !S_ISDIR(st.st_mode))
            ++count;
    }
    closedir(dir);
    return count;
}

qsizetype pageEntries(const QString &page)
{
    QFile file(page);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray bytes = file.readAll();
    qsizetype count = bytes.startsWith("<p><a href=") ? 1 : 0;
    count += bytes.count("\n<p><a href=");
    return count;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

QString runsText(const std::vector<double> &values)
{
    QStringList parts;
    for (double value : values)
        parts << QString::number(value, 'f', 1);
    return parts.join(u' ');
}

double elapsedMs(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// User and system time, in ms, of this process (RUSAGE_SELF) or of its children waited for.
double cpuMs(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto ms = [](const timeval &time) {
        return time.tv_sec * 1e3 + time.tv_usec / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(dropSizeHintNotes);
    QApplication app(argc, argv);

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3 || arguments.size() > 4) {
        std::fputs("Usage: bench_window FOLDER FOLIMBRA_INDEX [RUNS]\n", stderr);
        return 2;
    }
    const QString folder = QDir::cleanPath(QFileInfo(arguments.at(1)).absoluteFilePath());
    const QString parent = QFileInfo(folder).absolutePath();
    const QString index = QFileInfo(arguments.at(2)).absoluteFilePath();
    bool numeric = true;
    const int runs = arguments.size() > 3 ? arguments.at(3).toInt(&numeric) : 10;
    if (!numeric || runs < 1) {
        std::fputs("bench_window: RUNS must be a whole number of at least 1\n", stderr);
        return 2;
    }
    if (!QFileInfo(folder).isDir())
        fail(u"not a folder: "_s + folder);
    if (!QFileInfo(index).isExecutable())
        fail(u"not executable: "_s + index);
    const QString page = folder + u"/Quorvel-Html_index.html"_s;

    // Any box means the run went wrong; shown, it would wait for a click and stop the timing.
    MessageBox::setAnswerer([](const MessageBox::Box &box) -> QMessageBox::StandardButton {
        fail(u"the window showed a message: "_s + box.text);
    });
    NoViewer viewer;
    // The window starts in the current folder: next to the one measured, as a user would be.
    if (!QDir::setCurrent(parent))
        fail(u"cannot enter "_s + parent);
    frmTrovadex window;
    window.setDocumentOpener(&viewer);
    window.setProgramEnd([] { fail(u"the window ended the program"_s); });
    auto *dir = window.findChild<DirListBox *>(u"Dir1"_s);
    auto *files = window.findChild<QAbstractItemView *>(u"File1"_s);
    auto *make = window.findChild<QPushButton *>(u"cmdMake"_s);
    auto *fileCount = window.findChild<QLabel *>(u"lblFCount"_s);
    if (!dir || !files || !make || !fileCount)
        fail(u"a control is missing from the window"_s);
    PaintCounter paintCounter;
    files->viewport()->installEventFilter(&paintCounter);
    window.start();
    QCoreApplication::processEvents();

    QString error;
    double lastCpuMs = 0;
    const auto runIndex = [&] {
        const double cpuBefore = cpuMs(RUSAGE_CHILDREN);
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer timer;
        timer.start();
        process.start(index, {folder});
        if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0)
            fail(u"folimbra-index failed: "_s + process.errorString());
        const double ms = elapsedMs(timer);
        lastCpuMs = cpuMs(RUSAGE_CHILDREN) - cpuBefore;
        return ms;
    };
    const auto openFolder = [&] {
        if (!dir->setPath(folder, &error))
            fail(error);
        // A large folder loads off the window's thread: timed to the list it shows.
        while (dir->isLoading())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
    };
    const auto openParent = [&] {
        if (!dir->setPath(parent, &error))
            fail(error);
        QCoreApplication::processEvents();
    };

    // Warm cache, and the page in place from the start, so every run lists the same files.
    // The page is written on its own thread: a click returns at once, and the run ends when the
    // window says so. The first progress shown is timed from the click.
    QElapsedTimer clickTimer;
    double progressShownMs = -1;
    QObject::connect(&window, &frmTrovadex::pageProgressShown, &window, [&] {
        if (progressShownMs < 0)
            progressShownMs = elapsedMs(clickTimer);
    });
    const auto writePage = [&] {
        QEventLoop loop;
        QObject::connect(&window, &frmTrovadex::pageFinished, &loop, &QEventLoop::quit);
        progressShownMs = -1;
        const double cpuBefore = cpuMs(RUSAGE_SELF);
        clickTimer.start();
        make->click();
        loop.exec();
        const double ms = elapsedMs(clickTimer);
        lastCpuMs = cpuMs(RUSAGE_SELF) - cpuBefore;
        return ms;
    };

    runIndex();
    openParent();
    openFolder();
    writePage();
    const qsizetype expected = countFiles(folder);
    if (expected < 1 || !QFileInfo(page).isFile())
        fail(u"no page was written in "_s + folder);
    const QString expectedText = QString::number(expected);

    std::vector<double> openMs;
    int paintedRuns = 0;
    for (int run = 0; run < runs; ++run) {
        openParent();
        const int paintsBefore = paintCounter.paints;
        QElapsedTimer timer;
        timer.start();
        openFolder();
        openMs.push_back(elapsedMs(timer));
        if (paintCounter.paints > paintsBefore)
            ++paintedRuns;
        if (fileCount->text() != expectedText)
            fail(u"lblFCount shows %1, the folder has %2 files"_s.arg(fileCount->text(),
                                                                      expectedText));
    }

    // The page leaves itself out.
    const auto checkPage = [&](const char *writer) {
        const qsizetype listed = pageEntries(page);
        if (listed != expected - 1)
            fail(u"%1 listed %2 of %3 files"_s.arg(QString::fromLatin1(writer))
                     .arg(listed)
                     .arg(expected - 1));
    };
    std::vector<double> windowMs;
    std::vector<double> indexMs;
    std::vector<double> progressMs;
    std::vector<double> windowCpuMs;
    std::vector<double> indexCpuMs;
    const auto runIndexTimed = [&] {
        indexMs.push_back(runIndex());
        indexCpuMs.push_back(lastCpuMs);
        checkPage("folimbra-index");
    };
    const auto runWindow = [&] {
        windowMs.push_back(writePage());
        windowCpuMs.push_back(lastCpuMs);
        if (progressShownMs >= 0)
            progressMs.push_back(progressShownMs);
        checkPage("the window");
    };
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            runWindow();
            runIndexTimed();
        } else {
            runIndexTimed();
            runWindow();
        }
    }

    const double open = median(openMs);
    const double inWindow = median(windowMs);
    const double headless = median(indexMs);
    const double ratio = inWindow / headless;
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QByteArray lang = qgetenv("LANG");

    std::printf("bench_window: %s, %d runs, LANG=%s, QT_QPA_PLATFORM=%s\n", qPrintable(folder),
                runs, lang.isEmpty() ? "(unset)" : lang.constData(),
                qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("lblFCount showed %s in every run (the files and the page); the list was painted "
                "inside the timed span in %d of %d runs\n",
                qPrintable(english.toString(qlonglong(expected))), paintedRuns, runs);
    std::printf("open folder, ms:      %s\n", qPrintable(runsText(openMs)));
    std::printf("page in window, ms:   %s\n", qPrintable(runsText(windowMs)));
    std::printf("folimbra-index, ms:   %s\n", qPrintable(runsText(indexMs)));
    std::printf("progress shown, ms:   %s\n", qPrintable(runsText(progressMs)));
    // Wall time on a shared machine depends on who else runs; the processor time does less.
    std::printf("page in window, CPU ms (user+sys): %s; median %.1f\n",
                qPrintable(runsText(windowCpuMs)), median(windowCpuMs));
    std::printf("folimbra-index, CPU ms (user+sys): %s; median %.1f\n",
                qPrintable(runsText(indexCpuMs)), median(indexCpuMs));
    std::printf("%9s %12s %15s %15s %13s  %s\n", "files", "open folder", "page in window",
                "folimbra-index", "window/index", "targets: open < 600 ms, window/index <= 1.10,");
    std::printf("%9s %12s %15s %15s %13s  %s\n", "", "", "", "", "",
                "progress shown <= 1100 ms after the click (pages of over a second)");
    const QString openVerdict =
        open < openTargetMs ? u"met"_s : u"MISSED by %1 ms"_s.arg(open - openTargetMs, 0, 'f', 1);
    const QString pageVerdict = ratio <= pageTargetRatio
                                    ? u"met"_s
                                    : u"MISSED by %1 ms (%2 % over folimbra-index)"_s
                                          .arg(inWindow - headless * pageTargetRatio, 0, 'f', 1)
                                          .arg((ratio - 1) * 100, 0, 'f', 0);
    QString progressVerdict = u"not shown"_s;
    if (!progressMs.empty()) {
        const double shown = median(progressMs);
        progressVerdict = shown <= progressTargetMs ? u"%1 ms, met"_s.arg(shown, 0, 'f', 1)
                                                    : u"%1 ms, MISSED"_s.arg(shown, 0, 'f', 1);
    }
    std::printf("%9s %9.1f ms %12.1f ms %12.1f ms %13.2f  open: %s, page: %s, progress: %s\n",
                qPrintable(english.toString(qlonglong(expected - 1))), open, inWindow, headless,
                ratio, qPrintable(openVerdict), qPrintable(pageVerdict),
                qPrintable(progressVerdict));
    return 0;
}
