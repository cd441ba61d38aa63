#include "filelistbox.h"

#include "filenames.h"

#include <limits>

int FileListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(qMin<qsizetype>(m_listing.count(), std::numeric_limits<int>::max()));
}

QVariant FileListModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return readableFileName(m_listing.name(index.row()));
}

void FileListModel::replace(FolderListing listing)
{
    beginResetModel();
    m_listing = std::move(listing);
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
    connect(
        selectionModel(), &QItemSelectionModel::currentChanged, this,
        [this](const QModelIndex &current) { m_index = current.isValid() ? current.row() : -1; });
}

bool FileListBox::Refresh(QString *error)
{
    FolderListing fresh;
    if (const int code = fresh.read(m_path, EntryKind::Files); code != 0) {
        if (error)
            *error = folderReadError(m_path, code);
        return false;
    }
    m_model.replace(std::move(fresh));
    m_index = -1;
    return true;
}

QString FileListBox::FileName() const
{
    return m_index >= 0 && m_index < ListCount() ? m_model.listing().name(m_index) : QString();
}

void FileListBox::showListIndex()
{
    if (m_index < 0 || m_index >= m_model.rowCount()) {
        clearSelection();
        return;
    }
    const QModelIndex index = m_model.index(int(m_index));
    setCurrentIndex(index);
    scrollTo(index);
}
