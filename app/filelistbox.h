#pragma once

#include "filelist.h"
#include "folderlisting.h"

#include <QAbstractListModel>
#include <QListView>
#include <QLocale>

#include <memory>

// The names of a folder's files as rows; the view asks only for the rows it draws, so a million
// names show as quickly as ten.
class FileListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    FolderFileList &files() { return m_files; }
    const FolderFileList &files() const { return m_files; }
    void replace(FolderFileList files);

private:
    FolderFileList m_files;
};

// The file list: every file of its folder, hidden ones included, one selected at a time.
class FileListBox : public QListView, public FileList
{
    Q_OBJECT

public:
    explicit FileListBox(QWidget *parent = nullptr);

    QString Path() const { return m_model.files().folder(); }
    void setPath(const QString &path) { m_model.files().setFolder(path); }

    // On failure the list keeps what it held.
    bool Refresh(QString *error) override;
    qsizetype ListCount() const override { return m_model.files().ListCount(); }
    qsizetype ListIndex() const override { return m_model.files().ListIndex(); }
    // Selects an entry without touching the screen, so that walking every entry costs nothing
    // there; showListIndex brings the view up to date.
    void setListIndex(qsizetype index) override { m_model.files().setListIndex(index); }
    QString FileName() const override { return m_model.files().FileName(); }

    void showListIndex();

    // The list as it stands, for work elsewhere that must not see it change.
    FolderFileList snapshot() const { return m_model.files(); }
    // Takes over what such a copy read and selected.
    void adopt(const FolderFileList &files);

private:
    FileListModel m_model;
};
