#pragma once

#include "desktopopener.h"
#include "pagerunner.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class DirListBox;
class Clock;
class DriveListBox;
class FileListBox;
class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;

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

    const QString &currentPath() const { return CurrentPath; }
    const QString &currentFile() const { return CurrentFile; }

    // Where the finished page goes to be shown; the desktop's default viewer unless a test
    // says otherwise.
    void setDocumentOpener(DocumentOpener *opener) { m_opener = opener; }
    // The time the acknowledgement counts to, and the one that decides when a long page shows
    // its progress; the system's unless a test says otherwise.
    void setClock(const Clock *clock)
    {
        m_clock = clock;
        m_runner->setClock(clock);
    }
    // What ends the program after an error that no handler expected; tests keep their process.
    void setProgramEnd(std::function<void()> end) { m_endProgram = std::move(end); }

Q_SIGNALS:
    // A page being written has shown how far it got.
    void pageProgressShown();
    // A page run ended, written, failed or cancelled, and the window is ready for another.
    void pageFinished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createMenus();
    void createControls();
    // Sizes the layout and its captions to the desktop's font.
    void fitToFont();
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
    // The count and what depends on it, from the file list as it stands.
    void showFileCount();

    void finishPage(const PageRunner::Outcome &outcome);

    // Back to the last folder that opened, in both lists, without refreshing anything.
    void returnToCurrentPath();
    void showError(const QString &text);
    void showMessage(const QString &text);
    void reportUncaughtError(const QString &what);
    void runHandler(void (frmTrovadex::*handler)());
    void runGuarded(const std::function<void()> &work);
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
    double m_scale = 1; // of the layout, for the desktop's font

    PageRunner *m_runner;
    // While a page is written: the controls put aside, as they were, and the focus.
    std::vector<std::pair<QWidget *, bool>> m_putAside;
    QPointer<QWidget> m_focus;
};
