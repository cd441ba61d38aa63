#include "dirlistbox.h"

#include "filenames.h"
#include "folderlisting.h"
#include "workpool.h"

#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QPointer>
#include <QStyle>
#include <QStyledItemDelegate>

#include <memory>
#include <utility>

#include <sys/stat.h>

namespace {

constexpr int pathRole = Qt::UserRole;
constexpr int levelRole = Qt::UserRole + 1;
constexpr int indentStep = 12;

// Draws each folder a step further in than the folder above it.
class IndentDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem indented = option;
        indented.rect.setLeft(option.rect.left() + indentStep * index.data(levelRole).toInt());
        QStyledItemDelegate::paint(painter, indented, index);
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QSize size = QStyledItemDelegate::sizeHint(option, index);
        return {size.width() + indentStep * index.data(levelRole).toInt(), size.height()};
    }
};

// About 40,000 names on ext4: below it the read is over before a wait would show.
qint64 backgroundSize = 2 << 20;

bool isLarge(int folderFd)
{
    struct stat st;
    return ::fstat(folderFd, &st) == 0 && st.st_size >= backgroundSize;
}

QString normalized(const QString &path)
{
    QString clean = QDir::cleanPath(path);
    return clean.isEmpty() ? QStringLiteral("/") : clean;
}

} // namespace

DirListBox::DirListBox(QWidget *parent)
    : QListWidget(parent)
{
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    connect(this, &QListWidget::itemActivated, this, &DirListBox::openItem);
}

struct DirListBox::Loaded
{
    StampedFiles read;
    Listing subfolders;
    bool ok = false;
};

qint64 DirListBox::setBackgroundSize(qint64 bytes)
{
    return std::exchange(backgroundSize, bytes);
}

bool DirListBox::setPath(const QString &path, QString *error, bool notify)
{
    const QString target = normalized(path);
    const bool changed = target != m_path;
    dropLoad();
    // The files too only where someone is told of the change and will show them.
    std::optional<StampedFiles> files;
    Listing subfolders;
    if (changed && notify) {
        FileDescriptor folder = openFolder(target);
        if (folder.isOpen() && isLarge(folder.get()) && startLoad(target, std::move(folder)))
            return true;
        StampedFiles read;
        if (folder.isOpen()) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            read.stamp = FolderStamp::take(folder.get());
            if (Listing::readFolder(folder.get(), {}, QLocale(), read.files, subfolders) == 0)
                files = std::move(read);
            QApplication::restoreOverrideCursor();
        }
    }
    return showFolder(target, changed && notify, std::move(files), subfolders, error);
}

bool DirListBox::startLoad(const QString &target, FileDescriptor folder)
{
    const quint64 load = ++m_load;
    auto fd = std::make_shared<FileDescriptor>(std::move(folder));
    const QPointer<DirListBox> self(this);
    const bool started = WorkPool::instance().tryStart([self, load, target, fd,
                                                        locale = QLocale()] {
        auto loaded = std::make_shared<Loaded>();
        loaded->read.stamp = FolderStamp::take(fd->get());
        loaded->ok =
            Listing::readFolder(fd->get(), {}, locale, loaded->read.files, loaded->subfolders) == 0;
        QMetaObject::invokeMethod(
            qApp,
            [self, load, target, loaded] {
                if (self)
                    self->finishLoad(load, target, *loaded);
            },
            Qt::QueuedConnection);
    });
    // With every helper busy it is read here after all.
    if (!started)
        return false;
    m_loading = true;
    Q_EMIT loadingChanged();
    return true;
}

void DirListBox::finishLoad(quint64 load, const QString &target, Loaded &loaded)
{
    if (load != m_load || !m_loading)
        return;
    m_loading = false;
    Q_EMIT loadingChanged();
    std::optional<StampedFiles> files;
    if (loaded.ok)
        files = std::move(loaded.read);
    QString error;
    if (!showFolder(target, true, std::move(files), loaded.subfolders, &error))
        Q_EMIT openFailed(error);
}

void DirListBox::dropLoad()
{
    if (!m_loading)
        return;
    ++m_load;
    m_loading = false;
    Q_EMIT loadingChanged();
}

bool DirListBox::showFolder(const QString &target, bool notify, std::optional<StampedFiles> files,
                            const Listing &subfolders, QString *error)
{
    // Else the folders alone, by the path: a folder that can be listed but not entered still
    // shows its folders, and the file list says why it cannot show its files.
    FolderListing byPath;
    if (!files) {
        if (const int code = byPath.read(target, EntryKind::Folders); code != 0) {
            if (error)
                *error = folderReadError(target, code);
            return false;
        }
    }

    clear();
    const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
    auto addRow = [this](const QIcon &icon, const QString &name, const QString &full, int level) {
        auto *item = new QListWidgetItem(icon, readableFileName(name), this);
        item->setData(pathRole, full);
        item->setData(levelRole, level);
    };

    addRow(open, QStringLiteral("/"), QStringLiteral("/"), 0);
    int level = 0;
    QString above;
    for (const QString &part : target.split(u'/', Qt::SkipEmptyParts)) {
        above += u'/' + part;
        addRow(open, part, above, ++level);
    }
    setCurrentRow(count() - 1);
    const QString prefix = target == u"/" ? target : target + u'/';
    const auto addFolders = [&](const auto &names) {
        for (qsizetype i = 0; i < names.count(); ++i) {
            const QString name = names.name(i);
            addRow(closed, name, prefix + name, level + 1);
        }
    };
    if (files)
        addFolders(subfolders);
    else
        addFolders(byPath);

    m_path = target;
    if (notify) {
        m_files = std::move(files);
        Q_EMIT Change();
        m_files.reset();
    }
    return true;
}

std::optional<StampedFiles> DirListBox::takeFiles()
{
    return std::exchange(m_files, std::nullopt);
}

void DirListBox::openItem(QListWidgetItem *item)
{
    QString error;
    if (!setPath(item->data(pathRole).toString(), &error))
        Q_EMIT openFailed(error);
}
