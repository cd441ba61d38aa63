#include "filelistbox.h"

#include "filenames.h"
#include "folderlisting.h"

#include <limits>

int FileListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(qMin<qsizetype>(m_files.count(), std::numeric_limits<int>::max()));
}

QVariant FileListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return shownFileName(m_files.name(index.row()));
}

void FileListModel::replace(const Listing &files)
{
    beginResetModel();
    m_files = files;
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
    m_index = -1;
    Listing fresh;
    if (const int code = fresh.read(m_path, EntryKind::Files); code != 0) {
        if (error)
            *error = folderReadError(m_path, code);
        return false;
    }
    m_model.replace(fresh);
    return true;
}

void FileListBox::adopt(const Listing &files, qsizetype index)
{
    m_model.replace(files);
    m_index = index;
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
