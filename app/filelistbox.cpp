#include "filelistbox.h"

#include "filenames.h"
#include "folderlisting.h"

#include <cerrno>
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
    const FileDescriptor folder = openFolder(m_path);
    StampedFiles fresh;
    int code = folder.isOpen() ? 0 : errno;
    if (code == 0) {
        fresh.stamp = FolderStamp::take(folder.get());
        code = fresh.files.read(folder.get(), EntryKind::Files);
    }
    if (code != 0) {
        if (error)
            *error = folderReadError(m_path, code);
        return false;
    }
    adopt(fresh, -1);
    return true;
}

void FileListBox::adopt(const StampedFiles &files, qsizetype index)
{
    m_model.replace(files.files);
    m_stamp = files.stamp;
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
