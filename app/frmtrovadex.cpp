#include "frmtrovadex.h"

#include "appinfo.h"
#include "clock.h"
#include "closinganimation.h"
#include "desktopopener.h"
#include "dirlistbox.h"
#include "drivelistbox.h"
#include "filelistbox.h"
#include "filenames.h"
#include "layout.h"
#include "localetext.h"
#include "messagebox.h"
#include "messagetexts.h"
#include "pagewriter.h"
#include "spokenvalue.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

class WaitCursor
{
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// The window's side of the closing animation: the height of the whole window, frame included,
// and its top edge, in twips.
class WindowShrinker : public ShrinkingWindow
{
public:
    // `scale`: how many times larger than drawn the window is laid out.
    WindowShrinker(QWidget &window, double scale)
        : m_window(window)
        , m_twipsPerPixel(float(Layout::twipsPerPixel / scale))
    {}

    bool isNormalState() const override
    {
        return !(m_window.windowState()
                 & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
    }
    float height() const override { return twips(m_window.frameGeometry().height()); }
    void setHeight(int height) override
    {
        const int frame = m_window.frameGeometry().height() - m_window.height();
        // The window's size is fixed: only a new fixed height changes it.
        m_window.setFixedHeight(qMax(0, qRound(height / m_twipsPerPixel) - frame));
    }
    float screenHeight() const override { return twips(m_window.screen()->geometry().height()); }
    void setTop(float top) override { m_window.move(m_window.x(), qRound(top / m_twipsPerPixel)); }
    void processEvents() override { QCoreApplication::processEvents(); }

private:
    float twips(int pixels) const { return float(pixels) * m_twipsPerPixel; }

    QWidget &m_window;
    float m_twipsPerPixel;
};

bool isFolder(const QString &path)
{
    struct stat st;
    return ::stat(encodeFileName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder itself if it still exists, else the nearest folder above it that does.
QString nearestExistingFolder(QString path)
{
    while (!isFolder(path)) {
        const qsizetype slash = path.lastIndexOf(u'/');
        if (slash <= 0)
            return u"/"_s;
        path.truncate(slash);
    }
    return path;
}

QIcon programIcon()
{
    QIcon icon;
    icon.addFile(u":/icons/folimbra-32.png"_s, QSize(32, 32));
    icon.addFile(u":/icons/folimbra-16.png"_s, QSize(16, 16));
    return icon;
}

} // namespace

frmTrovadex::frmTrovadex(QWidget *parent)
    : QMainWindow(parent)
    , m_opener(&m_desktopOpener)
    , m_clock(&Clock::system())
    , m_endProgram([] {
        // Queued, so that it also ends a program whose event loop has not started yet.
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::exit(EXIT_FAILURE); }, Qt::QueuedConnection);
    })
    , m_runner(new PageRunner(this, m_clock))
{
    setObjectName(u"frmTrovadex"_s);
    setWindowTitle(AppInfo::productName());
    setWindowIcon(programIcon());
    createMenus();
    createControls();
    connectSignals();
    fitToFont();
}

// A page still being written is left to end by itself, with the runner.
frmTrovadex::~frmTrovadex() = default;

void frmTrovadex::connectSignals()
{
    connectHandler(Drive1, &DriveListBox::Change, &frmTrovadex::Drive1_Change);
    connectHandler(Dir1, &DirListBox::Change, &frmTrovadex::Dir1_Change);
    connect(Dir1, &DirListBox::openFailed, this, &frmTrovadex::showError);
    connect(Dir1, &DirListBox::loadingChanged, this, &frmTrovadex::showFileCount);
    connectHandler(cmdRefresh, &QPushButton::clicked, &frmTrovadex::cmdRefresh_Click);
    connectHandler(cmdMake, &QPushButton::clicked, &frmTrovadex::cmdMake_Click);
    connectHandler(Ayuda, &QAction::triggered, &frmTrovadex::Ayuda_Click);
    connectHandler(agra, &QAction::triggered, &frmTrovadex::agra_Click);
    connectHandler(sale, &QAction::triggered, &frmTrovadex::sale_Click);
    connect(m_runner, &PageRunner::progressShown, this, [this](QProgressDialog *dialog) {
        // Salir is heard from the box as well.
        dialog->addAction(sale);
        Q_EMIT pageProgressShown();
    });
    qApp->installEventFilter(this);
    connect(m_runner, &PageRunner::closeRequested, this, &QWidget::close, Qt::QueuedConnection);
    connect(m_runner, &PageRunner::finished, this, [this](const PageRunner::Outcome &outcome) {
        runGuarded([this, &outcome] { finishPage(outcome); });
    });
}

void frmTrovadex::runHandler(void (frmTrovadex::*handler)())
{
    runGuarded([this, handler] { (this->*handler)(); });
}

// No exception may cross the event loop: one that a handler lets through is reported and ends
// the program, as any error no handler expects.
void frmTrovadex::runGuarded(const std::function<void()> &work)
{
    try {
        work();
    } catch (const std::exception &error) {
        reportUncaughtError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        reportUncaughtError(u"error desconocido"_s);
    }
}

template <typename Sender, typename Signal>
void frmTrovadex::connectHandler(Sender *sender, Signal signal, void (frmTrovadex::*handler)())
{
    connect(sender, signal, this, [this, handler] { runHandler(handler); });
}

void frmTrovadex::start(const QString &folder)
{
    m_startFolder = folder;
    runHandler(&frmTrovadex::Form_Load);
    if (m_failed)
        return;
    const QPoint centre = screen()->geometry().center();
    QRect frame(QPoint(), size());
    frame.moveCenter(centre);
    move(frame.topLeft());
    show();
    // Once shown, the frame the window system added is known (where it is known at once).
    frame = frameGeometry();
    frame.moveCenter(centre);
    move(frame.topLeft());
    // Without a window manager nothing else makes the window active, and shortcuts need that.
    activateWindow();
    Drive1->setFocus();
}

// The animation runs outside any close request: a request the window system sends while it
// runs would otherwise destroy the window part-way, and any box open at the time with it. So the
// first request only starts the animation, every request until it ends is ignored, and the
// window then closes itself.
// The desktop's font changed after start-up: that reaches only the application, not a window
// with a font of its own. Not while the window shrinks on its way out.
bool frmTrovadex::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationFontChange && !m_closing)
        fitToFont();
    return QMainWindow::eventFilter(watched, event);
}

void frmTrovadex::closeEvent(QCloseEvent *event)
{
    m_runner->cancel();
    if (m_shrunk || m_failed) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_closing)
        return;
    m_closing = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            runHandler(&frmTrovadex::Form_Unload);
            m_shrunk = true;
            // After an error the window is closed already, and the program on its way out.
            if (!m_failed)
                close();
        },
        Qt::QueuedConnection);
}

void frmTrovadex::Form_Load()
{
    setWindowTitle(u"Quorvel Folimbra 2002 "_s + AppInfo::versionText());
    // A folder asked for that cannot be opened leaves the usual start.
    if (m_startFolder.isEmpty() || !Dir1->setPath(m_startFolder, nullptr)) {
        QString error;
        if (!Dir1->setPath(Drive1->Drive(), &error))
            showError(error);
    }
    RefreshListState();
}

void frmTrovadex::Form_Unload()
{
    WindowShrinker window(*this, m_scale);
    shrinkWindow(window);
}

void frmTrovadex::Drive1_Change()
{
    QString error;
    if (!Dir1->setPath(Drive1->Drive(), &error)) {
        Drive1->showDriveOf(Dir1->Path());
        showError(error);
    }
}

void frmTrovadex::Dir1_Change()
{
    Drive1->showDriveOf(Dir1->Path());
    RefreshListState();
}

void frmTrovadex::cmdRefresh_Click()
{
    // The refresh of the list state reads the folder again and reports a folder it cannot read.
    RefreshListState();
}

void frmTrovadex::cmdMake_Click()
{
    if (m_runner->isRunning())
        return;
    m_focus = QApplication::focusWidget();
    // Boxes opened over a run would block close requests, as a modal box does.
    for (QWidget *control :
         std::initializer_list<QWidget *>{Drive1, Dir1, chkImg, chkView, cmdRefresh, cmdMake}) {
        m_putAside.emplace_back(control, control->isEnabled());
        control->setEnabled(false);
    }
    Ayuda->setEnabled(false);
    agra->setEnabled(false);
    m_runner->start(CurrentPath, File1->stampedFiles(),
                    {chkImg->isChecked(), chkView->isChecked()});
}

void frmTrovadex::finishPage(const PageRunner::Outcome &outcome)
{
    for (const auto &[control, enabled] : std::exchange(m_putAside, {}))
        control->setEnabled(enabled);
    Ayuda->setEnabled(true);
    agra->setEnabled(true);
    if (m_focus)
        m_focus->setFocus();

    if (!outcome.unexpected.isEmpty()) {
        reportUncaughtError(outcome.unexpected);
        return;
    }
    const PageResult &result = outcome.result;
    if (!outcome.cancelled) {
        // A folder that could not be read again leaves the list as it was.
        if (outcome.files)
            File1->adopt(*outcome.files, result.listIndex);
        CurrentFile = result.CurrentFile;
        File1->showListIndex();
        showFileCount();
    }
    if (result.ok() && outcome.options.view)
        m_opener->open(result.pagePath);
    else if (result.outcome == PageResult::Failed && !outcome.cancelled)
        showError(result.error);
    Q_EMIT pageFinished();
}

void frmTrovadex::Ayuda_Click()
{
    showMessage(helpText());
}

void frmTrovadex::agra_Click()
{
    showMessage(acknowledgementText(*m_clock, QLocale()));
}

void frmTrovadex::sale_Click()
{
    close();
}

void frmTrovadex::RefreshListState()
{
    if (const QString gone = Dir1->Path(); !isFolder(gone)) {
        // Opening the folder above refreshes the list state again, through Dir1's change.
        const QString above = nearestExistingFolder(gone);
        QString error;
        if (!Dir1->setPath(above, &error)) {
            showError(error);
            return;
        }
        showError(u"La carpeta «%1» ya no existe; se abre «%2»."_s.arg(readableFileName(gone),
                                                                       readableFileName(above)));
        return;
    }

    QString path = Dir1->Path();
    if (!path.endsWith(u'/'))
        path += u'/';
    const QString previous = File1->Path();
    File1->setPath(path);
    QString error;
    bool read = true;
    if (std::optional<StampedFiles> files = Dir1->takeFiles()) {
        File1->adopt(*files, -1);
    } else {
        const WaitCursor wait;
        read = File1->Refresh(&error);
    }
    if (!read) {
        File1->setPath(previous);
        returnToCurrentPath();
        showError(error);
        return;
    }

    CurrentPath = path;
    lblPath->setText(readableFileName(CurrentPath));
    lblPath->setToolTip(lblPath->text());
    announceShownValue(lblPath);
    showFileCount();
}

void frmTrovadex::showFileCount()
{
    const qsizetype count = File1->ListCount();
    const bool loading = Dir1->isLoading();
    lblFCount->setText(loading ? u"Leyendo…"_s : QString::number(count));
    announceShownValue(lblFCount);
    // No page of the folder still shown while the one chosen is loading.
    cmdMake->setEnabled(count > 0 && !loading);
    chkView->setEnabled(count > 0);
    chkImg->setEnabled(count > 0);
}

void frmTrovadex::returnToCurrentPath()
{
    if (CurrentPath.isEmpty())
        return;
    Dir1->setPath(CurrentPath, nullptr, false);
    Drive1->showDriveOf(Dir1->Path());
}

void frmTrovadex::showError(const QString &text)
{
    MessageBox::show(this, {QMessageBox::Warning, AppInfo::title(), text});
}

void frmTrovadex::showMessage(const QString &text)
{
    MessageBox::show(this, {QMessageBox::NoIcon, messageTitle(), text});
}

void frmTrovadex::reportUncaughtError(const QString &what)
{
    if (m_failed)
        return;
    m_failed = true;
    showError(u"Error no previsto: %1. El programa se cerrará."_s.arg(what));
    close();
    m_endProgram();
}
