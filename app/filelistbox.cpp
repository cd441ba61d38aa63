#include "filelistbox.h"

#include "filenames.h"

#include <limits>

int FileListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(qMin<qsizetype>(m_files.ListCount(), std::numeric_limits<int>::max()));
}

QVariant FileListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return shownFileName(m_files.listing()->name(index.row()));
}

void FileListModel::replace(FolderFileList files)
{
    beginResetModel();
    m_files = std::move(files);
    endResetModel();
}

FileListBox::FileListBox(QWidget *parent)
    : QListView(parent)
    , m_model(this)
{
    setModel(&m_model);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                setListIndex(current.isValid() ? current.row() : -1);
            });
}

bool FileListBox::Refresh(QString *error)
{
    FolderFileList fresh = m_model.files();
    if (!fresh.Refresh(error))
        return false;
    m_model.replace(std::move(fresh));
    return true;
}

void FileListBox::adopt(const FolderFileList &files)
{
    // A copy that could not read its folder changed nothing.
    if (files.listing() == m_model.files().listing())
        return;
    m_model.replace(files);
    setListIndex(files.ListIndex());
}

void FileListBox::showListIndex()
{
    const qsizetype selected = ListIndex();
    if (selected < 0 || selected >= m_model.rowCount()) {
        clearSelection();
        return;
    }
    const QModelIndex index = m_model.index(int(selected));
    setCurrentIndex(index);
    scrollTo(index);
}
