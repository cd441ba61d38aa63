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
    bool setPath(const QString &path, QString *error, bool notify = true);
    // While Change is raised: the files of the folder just opened, from the same read as its
    // folders, so that a large folder is read once; then nothing.
    std::optional<StampedFiles> takeFiles();

Q_SIGNALS:
    // The open folder changed.
    void Change();
    // A folder the user chose could not be opened.
    void openFailed(const QString &error);

private:
    void openItem(QListWidgetItem *item);

    QString m_path;
    std::optional<StampedFiles> m_files;
};
