#include "filelistbox.h"

#include "filenames.h"

#include <limits>

SharedFileList::SharedFileList(const QString &folder, const QLocale &locale)
    : m_folder(folder)
    , m_locale(locale)
    , m_listing(std::make_shared<const FolderListing>())
{}

bool SharedFileList::Refresh(QString *error)
{
    m_index = -1;
    auto fresh = std::make_shared<FolderListing>();
    if (const int code = fresh->read(m_folder, EntryKind::Files, m_locale); code != 0) {
        if (error)
            *error = folderReadError(m_folder, code);
        return false;
    }
    m_listing = std::move(fresh);
    return true;
}

QString SharedFileList::FileName() const
{
    return m_index >= 0 && m_index < m_listing->count() ? m_listing->name(m_index) : QString();
}

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
    return readableFileName(m_files.names()->name(index.row()));
}

void FileListModel::replace(SharedFileList files)
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
    SharedFileList fresh = m_model.files();
    if (!fresh.Refresh(error))
        return false;
    m_model.replace(std::move(fresh));
    return true;
}

void FileListBox::adopt(const SharedFileList &files)
{
    // A copy that could not read its folder changed nothing.
    if (files.names() == m_model.files().names())
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
