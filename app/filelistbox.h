#pragma once

#include "filelist.h"
#include "folderlisting.h"

#include <QAbstractListModel>
#include <QListView>

// The names of a folder's files, read when the list is refreshed.
class FileListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    const FolderListing &listing() const { return m_listing; }
    void replace(FolderListing listing);

private:
    FolderListing m_listing;
};

// The file list: every file of its folder, hidden ones included, one selected at a time. It
// shows a million names as quickly as ten, since the view only asks for the rows it draws.
class FileListBox : public QListView, public FileList
{
    Q_OBJECT

public:
    explicit FileListBox(QWidget *parent = nullptr);

    QString Path() const { return m_path; }
    void setPath(const QString &path) { m_path = path; }

    // On failure the list keeps what it held.
    bool Refresh(QString *error) override;
    qsizetype ListCount() const override { return m_model.listing().count(); }
    qsizetype ListIndex() const override { return m_index; }
    // Selects an entry without touching the screen, so that walking every entry costs nothing
    // there; showListIndex brings the view up to date.
    void setListIndex(qsizetype index) override { m_index = index; }
    QString FileName() const override;

    void showListIndex();

private:
    FileListModel m_model;
    QString m_path;
    qsizetype m_index = -1;
};
