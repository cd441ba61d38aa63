#pragma once

#include "folderstamp.h"
#include "pagewriter.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <memory>
#include <optional>

class Clock;
class QProgressBar;
class QProgressDialog;
class QTimer;
class QWidget;

// One page written on a thread of its own, from the file list as shown or as read again, with a
// progress box once it has taken a while. A cancel frees the window at once: the writer stops at
// its next entry, and one stuck in a system call ends by itself later, its page discarded, without
// the window ever waiting for it.
class PageRunner : public QObject
{
    Q_OBJECT

public:
    struct Outcome
    {
        PageResult result;
        std::optional<StampedFiles> files; // those the page lists, if the folder could be read
        QString unexpected;                // what an exception said
        bool cancelled = false;
        PageOptions options;
    };

    // The progress box opens over `window`.
    PageRunner(QWidget *window, const Clock *clock);
    ~PageRunner() override;

    void setClock(const Clock *clock) { m_clock = clock; }
    bool isRunning() const { return bool(m_job); }

    // Does nothing while a run is going. `shown` are the files the window shows: the page lists
    // them unless the folder changed since they were read, and the progress counts to them until
    // the run has read the folder again.
    void start(const QString &folder, const StampedFiles &shown, PageOptions options);
    // Ends the run as cancelled, finished() included, before it returns.
    void cancel();

    // For the program's end: waits up to `limit` for writers left running; false if some still
    // are.
    static bool waitForWriters(std::chrono::milliseconds limit);

Q_SIGNALS:
    void progressShown(QProgressDialog *dialog);
    void finished(const PageRunner::Outcome &outcome);
    // The window system asked to close the progress box: the box is part of the window, so
    // this is a request to close the window; Cancelar and Escape stop only the page.
    void closeRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Job;

    void progress(const Job *job, qsizetype done, qsizetype total);
    void showProgress();
    void updateProgress();
    void end(Outcome outcome);

    QWidget *m_window;
    const Clock *m_clock;
    std::shared_ptr<Job> m_job;
    std::shared_ptr<Job> m_last; // the one before, which the next waits for
    qsizetype m_done = 0;
    qsizetype m_total = 0;
    qint64 m_startNs = 0;
    QTimer *m_delay;
    QPointer<QProgressDialog> m_dialog;
    QProgressBar *m_bar = nullptr;
};
