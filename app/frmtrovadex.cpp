#include "frmtrovadex.h"

#include "appinfo.h"
#include "clock.h"
#include "closinganimation.h"
#include "desktopopener.h"
#include "dirlistbox.h"
#include "drivelistbox.h"
#include "filelistbox.h"
#include "filenames.h"
#include "getfileext.h"
#include "layout.h"
#include "localetext.h"
#include "messagebox.h"
#include "messagetexts.h"
#include "pagewriter.h"
#include "perendat.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

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
    explicit WindowShrinker(QWidget &window)
        : m_window(window)
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
        m_window.setFixedHeight(qMax(0, qRound(height / float(Layout::twipsPerPixel)) - frame));
    }
    float screenHeight() const override { return twips(m_window.screen()->geometry().height()); }
    void setTop(float top) override
    {
        m_window.move(m_window.x(), qRound(top / float(Layout::twipsPerPixel)));
    }
    void processEvents() override { QCoreApplication::processEvents(); }

private:
    static float twips(int pixels) { return float(pixels * Layout::twipsPerPixel); }

    QWidget &m_window;
};

void place(QWidget *control, const QString &name, Layout::Place where)
{
    control->setObjectName(name);
    control->setGeometry(Layout::rect(where));
}

// Paints a control's background on the roles its kind of control fills itself with, and its
// text; a control given no text colour keeps the style's.
void setColours(QWidget *control, std::initializer_list<QPalette::ColorRole> backgroundRoles,
                const QColor &background, const QColor &text = {})
{
    QPalette palette = control->palette();
    for (QPalette::ColorRole role : backgroundRoles)
        palette.setColor(role, background);
    // Disabled controls keep the style's grey text.
    if (text.isValid()) {
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            for (QPalette::ColorRole role :
                 {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                palette.setColor(group, role, text);
        }
    }
    control->setPalette(palette);
}

// What a screen reader says of a control: its name, then what it is for.
void describe(QWidget *control, const QString &name, const QString &description)
{
    control->setAccessibleName(name);
    control->setAccessibleDescription(description);
}

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

// Thousands marked as the window's Spanish has them, whatever the system's locale.
QString pageProgressText(qsizetype done, qsizetype total)
{
    static const LocaleText spanish{QLocale(QLocale::Spanish, QLocale::Spain)};
    return u"Escribiendo la página: %1 de %2 archivos"_s.arg(spanish.wholeNumber(done),
                                                             spanish.wholeNumber(total));
}

// How long a page may take before the window shows how far it got.
constexpr qint64 progressDelayNs = 1'000'000'000;

QIcon programIcon()
{
    QIcon icon;
    icon.addFile(u":/icons/folimbra-32.png"_s, QSize(32, 32));
    icon.addFile(u":/icons/folimbra-16.png"_s, QSize(16, 16));
    return icon;
}

} // namespace

// One page being written on its own thread, from a copy of the file list taken at the click.
struct frmTrovadex::PageJob
{
    quint64 run = 0;
    QString folder;
    FolderFileList files;
    PageOptions options;
    PageResult result;
    QString unexpected; // what an exception said, to end the program with
    std::atomic_bool cancelled = false;
    // The writer waits for the window to take in one report before it sends the next, so that
    // reports never pile up and a cancel made on seeing one stops the run by the next.
    std::mutex reports;
    std::condition_variable reportTaken;
    quint64 sent = 0;
    quint64 taken = 0;
    std::unique_ptr<QThread> thread;
    qint64 startNs = 0;
    qsizetype done = 0;
    qsizetype total = 0;
    std::vector<std::pair<QWidget *, bool>> enabled; // the controls put aside, as they were
    QPointer<QWidget> focus;

    void cancel()
    {
        {
            const std::lock_guard lock(reports);
            cancelled = true;
        }
        reportTaken.notify_all();
    }
    void take()
    {
        {
            const std::lock_guard lock(reports);
            ++taken;
        }
        reportTaken.notify_all();
    }
    // Called on the writer's thread; false when the run was cancelled meanwhile.
    bool send()
    {
        std::unique_lock lock(reports);
        reportTaken.wait(lock, [this] { return taken == sent || cancelled; });
        ++sent;
        return !cancelled;
    }
};

frmTrovadex::frmTrovadex(QWidget *parent)
    : QMainWindow(parent)
    , m_opener(&m_desktopOpener)
    , m_clock(&Clock::system())
    , m_endProgram([] {
        // Queued, so that it also ends a program whose event loop has not started yet.
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::exit(EXIT_FAILURE); }, Qt::QueuedConnection);
    })
{
    setObjectName(u"frmTrovadex"_s);
    setWindowTitle(AppInfo::productName());
    setWindowIcon(programIcon());
    createMenus();
    createControls();
    connectSignals();
    m_progressDelay = new QTimer(this);
    m_progressDelay->setSingleShot(true);
    m_progressDelay->setTimerType(Qt::PreciseTimer);
    connect(m_progressDelay, &QTimer::timeout, this, &frmTrovadex::showPageProgress);
}

frmTrovadex::~frmTrovadex()
{
    if (m_page) {
        m_page->cancel();
        m_page->thread->wait();
    }
}

void frmTrovadex::createMenus()
{
    opciones = menuBar()->addMenu(u"Opciones"_s);
    opciones->setObjectName(u"opciones"_s);
    auto addItem = [this](QAction *&item, const QString &name, const QString &text,
                          const QKeySequence &shortcut) {
        item = opciones->addAction(text);
        item->setObjectName(name);
        item->setShortcut(shortcut);
    };
    addItem(Ayuda, u"Ayuda"_s, u"Ayuda"_s, QKeySequence(Qt::CTRL | Qt::Key_F1));
    addItem(agra, u"agra"_s, u"Agradecimientos..."_s, QKeySequence(Qt::CTRL | Qt::Key_F2));
    addItem(sale, u"sale"_s, u"Salir"_s, QKeySequence(Qt::CTRL | Qt::Key_S));
}

void frmTrovadex::createControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(u"client"_s);
    setColours(client, {QPalette::Window}, Layout::pink);
    client->setAutoFillBackground(true);
    setCentralWidget(client);
    const QRect clientRect = Layout::rect(Layout::client);
    setFixedSize(clientRect.width(), clientRect.height() + menuBar()->sizeHint().height());

    Drive1 = new DriveListBox(client);
    place(Drive1, u"Drive1"_s, Layout::Drive1);
    // The closed box and its drop-down list alike.
    setColours(Drive1, {QPalette::Button, QPalette::Base, QPalette::Window}, Layout::pink,
               Layout::blue);

    Dir1 = new DirListBox(client);
    place(Dir1, u"Dir1"_s, Layout::Dir1);
    setColours(Dir1, {QPalette::Base}, Layout::yellow, Layout::navy);

    File1 = new FileListBox(client);
    place(File1, u"File1"_s, Layout::File1);
    setColours(File1, {QPalette::Base}, Layout::yellow, Layout::navy);

    lblPath = new QLabel(client);
    place(lblPath, u"lblPath"_s, Layout::lblPath);
    lblFCount = new QLabel(client);
    place(lblFCount, u"lblFCount"_s, Layout::lblFCount);
    for (QLabel *label : {lblPath, lblFCount}) {
        setColours(label, {label->backgroundRole()}, Layout::pink);
        label->setAutoFillBackground(true);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setTextFormat(Qt::PlainText);
    }
    lblPath->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lblFCount->setAlignment(Qt::AlignCenter);

    chkImg = new QCheckBox(Layout::chkImgCaption.toString(), client);
    place(chkImg, u"chkImg"_s, Layout::chkImg);
    chkView = new QCheckBox(Layout::chkViewCaption.toString(), client);
    place(chkView, u"chkView"_s, Layout::chkView);
    for (QCheckBox *box : {chkImg, chkView}) {
        setColours(box, {box->backgroundRole()}, Layout::pink, Layout::navy);
        box->setAutoFillBackground(true);
    }

    cmdRefresh = new QPushButton(Layout::cmdRefreshCaption.toString(), client);
    place(cmdRefresh, u"cmdRefresh"_s, Layout::cmdRefresh);
    cmdMake = new QPushButton(Layout::cmdMakeCaption.toString(), client);
    place(cmdMake, u"cmdMake"_s, Layout::cmdMake);
    for (QPushButton *button : {cmdRefresh, cmdMake}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    cmdMake->setEnabled(false);

    describe(Drive1, u"Unidades"_s, u"La unidad cuyas carpetas se muestran"_s);
    describe(Dir1, u"Carpetas"_s, u"Las carpetas de la unidad; Intro abre la elegida"_s);
    describe(File1, u"Archivos de la carpeta"_s, u"Los archivos que la página enumera"_s);
    describe(lblPath, u"Carpeta abierta"_s, u"La carpeta donde se escribe la página"_s);
    describe(lblFCount, u"Número de archivos"_s, u"Cuántos archivos tiene la carpeta abierta"_s);
    describe(chkImg, u"Ver imágenes en la página"_s,
             u"Muestra una imagen bajo cada archivo de imagen"_s);
    describe(chkView, u"Ver la página"_s, u"Abre la página terminada en el navegador"_s);
    describe(cmdRefresh, u"Actualizar lista"_s, u"Vuelve a leer los archivos de la carpeta"_s);
    describe(cmdMake, u"Hacer HTML"_s, u"Escribe la página de índice en la carpeta abierta"_s);

    setTabOrder(Drive1, Dir1);
    setTabOrder(Dir1, File1);
    setTabOrder(File1, chkImg);
    setTabOrder(chkImg, chkView);
    setTabOrder(chkView, cmdRefresh);
    setTabOrder(cmdRefresh, cmdMake);

    // Until the load handler opens a drive's root, the lists show the current folder.
    if (!Dir1->setPath(QDir::currentPath(), nullptr, false))
        Dir1->setPath(Drive1->Drive(), nullptr, false);
}

void frmTrovadex::connectSignals()
{
    connectHandler(Drive1, &DriveListBox::Change, &frmTrovadex::Drive1_Change);
    connectHandler(Dir1, &DirListBox::Change, &frmTrovadex::Dir1_Change);
    connect(Dir1, &DirListBox::openFailed, this, &frmTrovadex::showError);
    connectHandler(cmdRefresh, &QPushButton::clicked, &frmTrovadex::cmdRefresh_Click);
    connectHandler(cmdMake, &QPushButton::clicked, &frmTrovadex::cmdMake_Click);
    connectHandler(Ayuda, &QAction::triggered, &frmTrovadex::Ayuda_Click);
    connectHandler(agra, &QAction::triggered, &frmTrovadex::agra_Click);
    connectHandler(sale, &QAction::triggered, &frmTrovadex::sale_Click);
}

// No exception may cross the event loop: one that a handler lets through is reported and ends
// the program, as any error no handler expects.
void frmTrovadex::runHandler(void (frmTrovadex::*handler)())
{
    try {
        (this->*handler)();
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

QString frmTrovadex::GetFileExt(const QString &PathIn, QString &NomeOut, bool AddPath) const
{
    return ::GetFileExt(PathIn, NomeOut, AddPath);
}

std::optional<qint32> frmTrovadex::perendat(const QDateTime &fecha1, const QDateTime &fecha2,
                                            const QString &tipo) const
{
    return ::perendat(fecha1, fecha2, tipo);
}

// The animation runs outside any close request: a request the window system sends while it
// runs would otherwise destroy the window part-way, and any box open at the time with it. So the
// first request only starts the animation, every request until it ends is ignored, and the
// window then closes itself.
void frmTrovadex::closeEvent(QCloseEvent *event)
{
    if (m_page) {
        m_page->cancel();
        finishPage();
    }
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
    WindowShrinker window(*this);
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
    // A folder that cannot be read is reported by the refresh of the list state.
    File1->Refresh(nullptr);
    RefreshListState();
}

void frmTrovadex::cmdMake_Click()
{
    if (m_page)
        return;
    auto job = std::make_unique<PageJob>();
    job->run = ++m_pageRuns;
    job->folder = CurrentPath;
    job->files = File1->snapshot();
    job->options = {chkImg->isChecked(), chkView->isChecked()};
    job->total = job->files.ListCount();
    job->startNs = m_clock->monotonicNanoseconds();
    job->focus = QApplication::focusWidget();
    for (QWidget *control :
         std::initializer_list<QWidget *>{Drive1, Dir1, chkImg, chkView, cmdRefresh, cmdMake}) {
        job->enabled.emplace_back(control, control->isEnabled());
        control->setEnabled(false);
    }

    PageJob *running = job.get();
    job->thread.reset(QThread::create([this, running] {
        // Everything the run reads is its own, or the window's only to post progress to.
        PageServices services;
        const quint64 run = running->run;
        services.progress = [this, running, run](qsizetype done, qsizetype total) {
            if (!running->send())
                return;
            QMetaObject::invokeMethod(
                this, [this, run, done, total] { pageProgress(run, done, total); },
                Qt::QueuedConnection);
        };
        services.cancelled = [running] {
            return running->cancelled.load();
        };
        try {
            running->result =
                writeIndexPage(running->folder, running->files, running->options, services);
        } catch (const std::exception &error) {
            running->unexpected = QString::fromLocal8Bit(error.what());
        } catch (...) {
            running->unexpected = u"error desconocido"_s;
        }
    }));
    connect(job->thread.get(), &QThread::finished, this, [this, run = job->run] {
        if (m_page && m_page->run == run)
            runHandler(&frmTrovadex::finishPage);
    });
    m_page = std::move(job);
    m_progressDelay->start(int(progressDelayNs / 1'000'000));
    m_page->thread->start();
}

void frmTrovadex::pageProgress(quint64 run, qsizetype done, qsizetype total)
{
    if (!m_page || m_page->run != run)
        return;
    m_page->done = done;
    m_page->total = total;
    updatePageProgress();
    // Taken in only now, so that a cancel made on seeing this report stops the next one. A
    // close request on seeing it has ended the run already.
    if (m_page)
        m_page->take();
}

void frmTrovadex::updatePageProgress()
{
    if (!m_progress) {
        showPageProgress();
        return;
    }
    const qsizetype done = m_page->done;
    const qsizetype total = m_page->total;
    m_progress->setLabelText(pageProgressText(done, total));
    m_progressBar->setMaximum(int(total));
    m_progressBar->setValue(int(done));
}

void frmTrovadex::showPageProgress()
{
    if (!m_page || m_progress || m_page->cancelled)
        return;
    const qint64 waited = m_clock->monotonicNanoseconds() - m_page->startNs;
    if (waited < progressDelayNs) {
        if (!m_progressDelay->isActive())
            m_progressDelay->start(int((progressDelayNs - waited + 999'999) / 1'000'000));
        return;
    }
    m_progressDelay->stop();
    m_progress = new QProgressDialog(this);
    m_progress->setObjectName(u"progreso"_s);
    m_progress->setWindowTitle(AppInfo::productName());
    m_progress->setWindowModality(Qt::WindowModal);
    m_progress->setAutoReset(false);
    m_progress->setAutoClose(false);
    // The bar is set directly: the dialog's own setValue runs the event loop.
    m_progressBar = new QProgressBar(m_progress);
    m_progress->setBar(m_progressBar);
    m_progress->setCancelButtonText(u"Cancelar"_s);
    connect(m_progress, &QProgressDialog::canceled, this, [this] {
        if (!m_page)
            return;
        m_page->cancel();
        m_progress->hide();
    });
    updatePageProgress();
    m_progress->show();
    Q_EMIT pageProgressShown();
}

void frmTrovadex::finishPage()
{
    if (!m_page)
        return;
    const std::unique_ptr<PageJob> job = std::move(m_page);
    job->thread->wait();
    m_progressDelay->stop();
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
        m_progress = nullptr;
        m_progressBar = nullptr;
    }
    for (const auto &[control, enabled] : job->enabled)
        control->setEnabled(enabled);
    if (job->focus)
        job->focus->setFocus();

    if (!job->unexpected.isEmpty()) {
        reportUncaughtError(job->unexpected);
        return;
    }
    const PageResult &result = job->result;
    File1->adopt(job->files);
    CurrentFile = result.CurrentFile;
    File1->showListIndex();
    if (result.ok && job->options.view)
        m_opener->open(result.pagePath);
    else if (!result.ok && !result.cancelled)
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
    bool read;
    {
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
    const qsizetype count = File1->ListCount();
    lblFCount->setText(QString::number(count));
    lblPath->setText(readableFileName(CurrentPath));
    lblPath->setToolTip(lblPath->text());
    cmdMake->setEnabled(count > 0);
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
