#pragma once

#include "folderstamp.h"

#include <QListWidget>

#include <optional>

// The folder list: the open folder with the folders above it, each a step further in, and the
// folders inside it below. A click selects; a double click or Enter opens.
class DirListBox : public QListWidget
{
    Q_OBJECT

public:
    explicit DirListBox(QWidget *parent = nullptr);

    // The open folder: absolute, with no trailing separator but at the root.
    QString Path() const { return m_path; }
    // Opens the folder. When it differs from the open one, Change is raised before this returns,
    // unless `notify` is false. On failure the list stays as it was and `error` says why.
    // A large folder is read off this thread: the list stays as it was, loadingChanged is raised,
    // and the folder opens later as above, or openFailed says why not; a folder opened
    // meanwhile wins.
    bool setPath(const QString &path, QString *error, bool notify = true);
    bool isLoading() const { return m_loading; }
    // Folders whose own size reaches this many bytes are read off this thread; tests lower it.
    // Returns the size before.
    static qint64 setBackgroundSize(qint64 bytes);
    // While Change is raised: the files of the folder just opened, from the same read as its
    // folders, so that a large folder is read once; then nothing.
    std::optional<StampedFiles> takeFiles();

Q_SIGNALS:
    // The open folder changed.
    void Change();
    // A folder the user chose could not be opened.
    void openFailed(const QString &error);
    // A folder started or stopped loading.
    void loadingChanged();

private:
    struct Loaded;

    void openItem(QListWidgetItem *item);
    bool startLoad(const QString &target, FileDescriptor folder);
    void finishLoad(quint64 load, const QString &target, Loaded &loaded);
    void dropLoad();
    bool showFolder(const QString &target, bool notify, std::optional<StampedFiles> files,
                    const Listing &subfolders, QString *error);

    QString m_path;
    quint64 m_load = 0; // which load a result must belong to
    bool m_loading = false;
    std::optional<StampedFiles> m_files;
};
