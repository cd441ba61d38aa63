#include "drivelistbox.h"

#include "filenames.h"

#include <QAbstractItemView>
#include <QDir>
#include <QStylePainter>

DriveListBox::DriveListBox(QWidget *parent)
    : QComboBox(parent)
{
    connect(this, &QComboBox::activated, this, &DriveListBox::userSelected);
    readVolumes();
    showDriveOf(QDir::currentPath());
}

QString DriveListBox::Drive() const
{
    return m_selected >= 0 ? m_volumes.at(m_selected).mountPoint : QStringLiteral("/");
}

void DriveListBox::showDriveOf(const QString &path)
{
    const QString root = volumeRootOf(path, m_volumes);
    for (qsizetype i = 0; i < m_volumes.size(); ++i) {
        if (m_volumes.at(i).mountPoint == root) {
            m_selected = int(i);
            setCurrentIndex(m_selected);
            return;
        }
    }
}

void DriveListBox::setVolumeSource(std::function<QList<Volume>()> source)
{
    m_source = std::move(source);
    m_selected = -1;
    readVolumes();
    showDriveOf(QDir::currentPath());
}

void DriveListBox::showPopup()
{
    // Media come and go: the list is read again each time it opens.
    readVolumes();
    // The list opens in a window of its own, which takes no colours from the box by itself.
    view()->setPalette(palette());
    view()->window()->setPalette(palette());
    QComboBox::showPopup();
}

void DriveListBox::readVolumes()
{
    const QString selected = m_selected >= 0 ? m_volumes.at(m_selected).mountPoint : QString();
    m_volumes = m_source();
    clear();
    m_selected = -1;
    for (const Volume &volume : std::as_const(m_volumes)) {
        const QString mountPoint = readableFileName(volume.mountPoint);
        addItem(volume.label.isEmpty()
                    ? mountPoint
                    : mountPoint + QStringLiteral("  [") + volume.label + QStringLiteral("]"));
    }
    if (!selected.isEmpty())
        showDriveOf(selected);
}

void DriveListBox::userSelected(int index)
{
    if (index == m_selected)
        return;
    m_selected = index;
    Q_EMIT Change();
}

// The style shades a closed box from its button colour; the drive list is one flat colour, with
// the style's own frame and arrow.
void DriveListBox::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const int frame = style()->pixelMetric(QStyle::PM_ComboBoxFrameWidth, &option, this);
    painter.fillRect(rect().adjusted(frame, frame, -frame, -frame),
                     palette().color(QPalette::Button));
    QStyleOption arrow = option;
    arrow.rect =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxArrow, this);
    painter.drawPrimitive(QStyle::PE_IndicatorArrowDown, arrow);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}
