#include "dirlistbox.h"

#include "filenames.h"
#include "folderlisting.h"

#include <QDir>
#include <QStyle>
#include <QStyledItemDelegate>

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

bool DirListBox::setPath(const QString &path, QString *error, bool notify)
{
    const QString target = normalized(path);
    FolderListing subfolders;
    if (const int code = subfolders.read(target, EntryKind::Folders); code != 0) {
        if (error)
            *error = folderReadError(target, code);
        return false;
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
    for (qsizetype i = 0; i < subfolders.count(); ++i)
        addRow(closed, subfolders.name(i), prefix + subfolders.name(i), level + 1);

    const bool changed = target != m_path;
    m_path = target;
    if (changed && notify)
        Q_EMIT Change();
    return true;
}

void DirListBox::openItem(QListWidgetItem *item)
{
    QString error;
    if (!setPath(item->data(pathRole).toString(), &error))
        Q_EMIT openFailed(error);
}
