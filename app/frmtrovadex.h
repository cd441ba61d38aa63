#pragma once

#include "desktopopener.h"

#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class DirListBox;
class Clock;
class DriveListBox;
class FileListBox;
class QAction;
class QCheckBox;
class QDateTime;
class QLabel;
class QMenu;
class QProgressBar;
class QProgressDialog;
class QPushButton;
class QTimer;

// The program's one window: a drive list and a folder list on the left, the open folder's files
// on the right, its path and file count below, and the page command with its two options.
class frmTrovadex : public QMainWindow
{
    Q_OBJECT

public:
    explicit frmTrovadex(QWidget *parent = nullptr);
    ~frmTrovadex() override;

    // Runs the load handler, then shows the window centred on the screen. A folder given opens
    // instead of the drive's root, when it can be opened.
    void start(const QString &folder = {});

    QString GetFileExt(const QString &PathIn, QString &NomeOut, bool AddPath) const;
    std::optional<qint32> perendat(const QDateTime &fecha1, const QDateTime &fecha2,
                                   const QString &tipo) const;

    const QString &currentPath() const { return CurrentPath; }
    const QString &currentFile() const { return CurrentFile; }

    // Where the finished page goes to be shown; the desktop's default viewer unless a test
    // says otherwise.
    void setDocumentOpener(DocumentOpener *opener) { m_opener = opener; }
    // The time the acknowledgement counts to, and the one that decides when a long page shows
    // its progress; the system's unless a test says otherwise.
    void setClock(const Clock *clock) { m_clock = clock; }
    // What ends the program after an error that no handler expected; tests keep their process.
    void setProgramEnd(std::function<void()> end) { m_endProgram = std::move(end); }

Q_SIGNALS:
    // A page being written has shown how far it got.
    void pageProgressShown();
    // A page run ended, written, failed or cancelled, and the window is ready for another.
    void pageFinished();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createMenus();
    void createControls();
    void connectSignals();

    void Form_Load();
    void Form_Unload();
    void Drive1_Change();
    void Dir1_Change();
    void cmdRefresh_Click();
    void cmdMake_Click();
    void Ayuda_Click();
    void agra_Click();
    void sale_Click();
    void RefreshListState();

    struct PageJob;
    void pageProgress(quint64 run, qsizetype done, qsizetype total);
    void updatePageProgress();
    void showPageProgress();
    void finishPage();

    // Back to the last folder that opened, in both lists, without refreshing anything.
    void returnToCurrentPath();
    void showError(const QString &text);
    void showMessage(const QString &text);
    void reportUncaughtError(const QString &what);
    void runHandler(void (frmTrovadex::*handler)());
    template <typename Sender, typename Signal>
    void connectHandler(Sender *sender, Signal signal, void (frmTrovadex::*handler)());

    QString CurrentPath;
    QString CurrentFile;

    DriveListBox *Drive1 = nullptr;
    DirListBox *Dir1 = nullptr;
    FileListBox *File1 = nullptr;
    QLabel *lblPath = nullptr;
    QLabel *lblFCount = nullptr;
    QCheckBox *chkImg = nullptr;
    QCheckBox *chkView = nullptr;
    QPushButton *cmdRefresh = nullptr;
    QPushButton *cmdMake = nullptr;
    QMenu *opciones = nullptr;
    QAction *Ayuda = nullptr;
    QAction *agra = nullptr;
    QAction *sale = nullptr;

    DesktopOpener m_desktopOpener;
    DocumentOpener *m_opener;
    const Clock *m_clock;
    std::function<void()> m_endProgram;
    QString m_startFolder;
    bool m_closing = false; // the animation has started
    bool m_shrunk = false;  // it has ended: the next close is for real
    bool m_failed = false;

    std::unique_ptr<PageJob> m_page; // the page being written, if any
    quint64 m_pageRuns = 0;
    QTimer *m_progressDelay = nullptr;
    QProgressDialog *m_progress = nullptr;
    QProgressBar *m_progressBar = nullptr;
};
