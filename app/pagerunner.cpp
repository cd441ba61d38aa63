#include "pagerunner.h"

#include "appinfo.h"
#include "clock.h"
#include "filenames.h"
#include "folderlisting.h"
#include "folderpage.h"
#include "localetext.h"

#include <QEvent>
#include <QProgressBar>
#include <QProgressDialog>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Thousands marked as the window's Spanish has them, whatever the system's locale.
QString pageProgressText(qsizetype done, qsizetype total)
{
    static const LocaleText spanish{QLocale(QLocale::Spanish, QLocale::Spain)};
    return u"Escribiendo la página: %1 de %2 archivos"_s.arg(spanish.wholeNumber(done),
                                                             spanish.wholeNumber(total));
}

// How long a page may take before the window shows how far it got.
constexpr qint64 progressDelayNs = 1'000'000'000;

// The writers still running, the abandoned ones included. Never destroyed: a writer may still
// count itself out while the program ends.
struct Writers
{
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
};
Writers &writers()
{
    static auto *all = new Writers;
    return *all;
}

} // namespace

// What the window and the writer share. The writer reaches the window only through `receiver`,
// under the lock, so a window that cancelled or went away hears nothing more.
struct PageRunner::Job
{
    QString folder;
    StampedFiles shown;                // what the window showed when the run started
    std::optional<StampedFiles> files; // those the page lists
    PageOptions options;
    std::shared_ptr<Job> previous; // not started before this one has ended
    PageResult result;
    QString unexpected;
    std::atomic_bool cancelled = false;

    std::mutex mutex;
    std::condition_variable changed;
    PageRunner *receiver = nullptr;
    // The writer waits for the window to take in one report before it sends the next, so that
    // reports never pile up and a cancel made on seeing one stops the run by the next.
    quint64 sent = 0;
    quint64 taken = 0;
    bool done = false;

    void cancel()
    {
        {
            const std::lock_guard lock(mutex);
            cancelled = true;
            receiver = nullptr;
        }
        changed.notify_all();
    }
    void take()
    {
        {
            const std::lock_guard lock(mutex);
            ++taken;
        }
        changed.notify_all();
    }
    // On the writer's thread; false once the run is cancelled.
    bool send()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return taken == sent || cancelled; });
        ++sent;
        return !cancelled;
    }
    template <typename Call> void post(Call call)
    {
        const std::lock_guard lock(mutex);
        if (receiver)
            QMetaObject::invokeMethod(
                receiver, [runner = receiver, call] { call(runner); }, Qt::QueuedConnection);
    }
    // Waits for the run before this one, for as long as this one is not cancelled.
    void waitForPrevious()
    {
        if (!previous)
            return;
        std::unique_lock lock(previous->mutex);
        while (!previous->done && !cancelled)
            previous->changed.wait_for(lock, std::chrono::milliseconds(20));
        lock.unlock();
        previous.reset();
    }

    static PageResult writeFolder(Job &job, const PageServices &services)
    {
        const FileDescriptor folderFd = openFolder(job.folder);
        if (!folderFd.isOpen()) {
            PageResult failed;
            failed.error = folderReadError(job.folder, errno);
            return failed;
        }
        const FolderPageRequest request{job.options, {}, false};
        // The files shown, unless the folder may have changed since: a million of them read
        // twice would be held twice.
        if (job.shown.stamp.stillHolds(folderFd.get())) {
            job.files = std::move(job.shown);
            return writeListedPage(job.folder, folderFd.get(), job.files->files, request, services);
        }
        job.shown = {};
        std::optional<Listing> read;
        StampedFiles fresh;
        fresh.stamp = FolderStamp::take(folderFd.get());
        PageResult result = writeFolderPage(job.folder, folderFd.get(), request, services, &read);
        if (read) {
            fresh.files = std::move(*read);
            job.files = std::move(fresh);
        }
        return result;
    }

    static void write(std::shared_ptr<Job> job)
    {
        job->waitForPrevious();
        if (!job->cancelled) {
            PageServices services;
            const Job *self = job.get();
            services.progress = [&job, self](qsizetype done, qsizetype total) {
                if (job->send())
                    job->post([self, done, total](PageRunner *runner) {
                        runner->progress(self, done, total);
                    });
            };
            services.cancelled = [&job] {
                return job->cancelled.load();
            };
            try {
                job->result = writeFolder(*job, services);
            } catch (const std::exception &error) {
                job->unexpected = QString::fromLocal8Bit(error.what());
            } catch (...) {
                job->unexpected = u"error desconocido"_s;
            }
        }
        {
            const std::lock_guard lock(job->mutex);
            job->done = true;
            if (job->receiver) {
                const Job *self = job.get();
                QMetaObject::invokeMethod(
                    job->receiver,
                    [runner = job->receiver, self] {
                        if (runner->m_job.get() == self) {
                            Outcome outcome{std::move(runner->m_job->result),
                                            std::move(runner->m_job->files),
                                            std::move(runner->m_job->unexpected), false,
                                            runner->m_job->options};
                            runner->m_job.reset();
                            runner->end(std::move(outcome));
                        }
                    },
                    Qt::QueuedConnection);
            }
        }
        job->changed.notify_all();
        job.reset();
        Writers &all = writers();
        {
            const std::lock_guard lock(all.mutex);
            --all.running;
        }
        all.ended.notify_all();
    }
};

PageRunner::PageRunner(QWidget *window, const Clock *clock)
    : QObject(window)
    , m_window(window)
    , m_clock(clock)
    , m_delay(new QTimer(this))
{
    m_delay->setSingleShot(true);
    m_delay->setTimerType(Qt::PreciseTimer);
    connect(m_delay, &QTimer::timeout, this, &PageRunner::showProgress);
}

PageRunner::~PageRunner()
{
    if (m_job)
        m_job->cancel();
}

void PageRunner::start(const QString &folder, const StampedFiles &shown, PageOptions options)
{
    if (m_job)
        return;
    auto job = std::make_shared<Job>();
    job->folder = folder;
    job->shown = shown;
    job->options = options;
    job->receiver = this;
    if (m_last) {
        const std::lock_guard lock(m_last->mutex);
        if (!m_last->done)
            job->previous = m_last;
    }
    m_last = job;
    m_job = job;
    m_done = 0;
    m_total = shown.files.count();
    m_startNs = m_clock->monotonicNanoseconds();
    m_delay->start(int(progressDelayNs / 1'000'000));
    {
        Writers &all = writers();
        const std::lock_guard lock(all.mutex);
        ++all.running;
    }
    std::thread(&Job::write, std::move(job)).detach();
}

void PageRunner::cancel()
{
    if (!m_job)
        return;
    m_job->cancel();
    m_job.reset();
    Outcome outcome;
    outcome.result.outcome = PageResult::Cancelled;
    outcome.cancelled = true;
    end(std::move(outcome));
}

bool PageRunner::waitForWriters(std::chrono::milliseconds limit)
{
    Writers &all = writers();
    std::unique_lock lock(all.mutex);
    return all.ended.wait_for(lock, limit, [&all] { return all.running == 0; });
}

void PageRunner::progress(const Job *job, qsizetype done, qsizetype total)
{
    if (m_job.get() != job)
        return;
    m_done = done;
    m_total = total;
    updateProgress();
    // Taken in only now, so that a cancel made on seeing this report stops the next one; one
    // made on seeing it has ended the run already.
    if (m_job.get() == job)
        m_job->take();
}

void PageRunner::updateProgress()
{
    if (!m_dialog) {
        showProgress();
        return;
    }
    m_dialog->setLabelText(pageProgressText(m_done, m_total));
    m_bar->setMaximum(int(m_total));
    m_bar->setValue(int(m_done));
}

void PageRunner::showProgress()
{
    if (!m_job || m_dialog)
        return;
    const qint64 waited = m_clock->monotonicNanoseconds() - m_startNs;
    if (waited < progressDelayNs) {
        if (!m_delay->isActive())
            m_delay->start(int((progressDelayNs - waited + 999'999) / 1'000'000));
        return;
    }
    m_delay->stop();
    m_dialog = new QProgressDialog(m_window);
    m_dialog->setObjectName(u"progreso"_s);
    m_dialog->setWindowTitle(AppInfo::productName());
    // Not modal: the window system drops every close request to a window a modal box blocks,
    // and the window's controls are put aside during the run anyway.
    m_dialog->setWindowModality(Qt::NonModal);
    m_dialog->setAutoReset(false);
    m_dialog->setAutoClose(false);
    // The bar is set directly: the dialog's own setValue runs the event loop.
    m_bar = new QProgressBar(m_dialog);
    m_dialog->setBar(m_bar);
    m_dialog->setCancelButtonText(u"Cancelar"_s);
    connect(m_dialog, &QProgressDialog::canceled, this, &PageRunner::cancel);
    m_dialog->installEventFilter(this);
    updateProgress();
    m_dialog->show();
    Q_EMIT progressShown(m_dialog);
}

bool PageRunner::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_dialog || event->type() != QEvent::Close || !event->spontaneous())
        return false;
    event->ignore();
    Q_EMIT closeRequested();
    return true;
}

void PageRunner::end(Outcome outcome)
{
    m_delay->stop();
    if (m_dialog) {
        m_dialog->hide();
        m_dialog->deleteLater();
        m_dialog = nullptr;
        m_bar = nullptr;
    }
    Q_EMIT finished(outcome);
}
