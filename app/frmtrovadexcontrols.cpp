#include "captionfont.h"
#include "dirlistbox.h"
#include "drivelistbox.h"
#include "filelistbox.h"
#include "frmtrovadex.h"
#include "layout.h"
#include "spokenvalue.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>

using namespace Qt::StringLiterals;

// How the window is drawn: its menus, its controls with their colours and names, and their places
// at the desktop's text size.

namespace {

// Each control and where the layout puts it.
const std::pair<const char *, Layout::Place> places[] = {
    {"Drive1", Layout::Drive1},       {"Dir1", Layout::Dir1},
    {"File1", Layout::File1},         {"lblPath", Layout::lblPath},
    {"lblFCount", Layout::lblFCount}, {"chkImg", Layout::chkImg},
    {"chkView", Layout::chkView},     {"cmdRefresh", Layout::cmdRefresh},
    {"cmdMake", Layout::cmdMake},
};

void place(QWidget *control, const QString &name)
{
    control->setObjectName(name);
}

// Paints a control's background on the roles its kind of control fills itself with, and its
// text; a control given no text colour keeps the style's.
void setColours(QWidget *control, std::initializer_list<QPalette::ColorRole> backgroundRoles,
                const QColor &background, const QColor &text = {})
{
    QPalette palette = control->palette();
    for (QPalette::ColorRole role : backgroundRoles)
        palette.setColor(role, background);
    // Disabled controls keep the style's grey text.
    if (text.isValid()) {
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            for (QPalette::ColorRole role :
                 {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                palette.setColor(group, role, text);
        }
    }
    control->setPalette(palette);
}

// What a screen reader says of a control: its name, then what it is for.
void describe(QWidget *control, const QString &name, const QString &description)
{
    control->setAccessibleName(name);
    control->setAccessibleDescription(description);
}

} // namespace

void frmTrovadex::createMenus()
{
    opciones = menuBar()->addMenu(u"Opciones"_s);
    opciones->setObjectName(u"opciones"_s);
    auto addItem = [this](QAction *&item, const QString &name, const QString &text,
                          const QKeySequence &shortcut) {
        item = opciones->addAction(text);
        item->setObjectName(name);
        item->setShortcut(shortcut);
    };
    addItem(Ayuda, u"Ayuda"_s, u"Ayuda"_s, QKeySequence(Qt::CTRL | Qt::Key_F1));
    addItem(agra, u"agra"_s, u"Agradecimientos..."_s, QKeySequence(Qt::CTRL | Qt::Key_F2));
    addItem(sale, u"sale"_s, u"Salir"_s, QKeySequence(Qt::CTRL | Qt::Key_S));
}

void frmTrovadex::createControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(u"client"_s);
    setColours(client, {QPalette::Window}, Layout::pink);
    client->setAutoFillBackground(true);
    setCentralWidget(client);

    Drive1 = new DriveListBox(client);
    place(Drive1, u"Drive1"_s);
    // The closed box and its drop-down list alike.
    setColours(Drive1, {QPalette::Button, QPalette::Base, QPalette::Window}, Layout::pink,
               Layout::blue);

    Dir1 = new DirListBox(client);
    place(Dir1, u"Dir1"_s);
    setColours(Dir1, {QPalette::Base}, Layout::yellow, Layout::navy);

    File1 = new FileListBox(client);
    place(File1, u"File1"_s);
    setColours(File1, {QPalette::Base}, Layout::yellow, Layout::navy);

    lblPath = new QLabel(client);
    place(lblPath, u"lblPath"_s);
    lblFCount = new QLabel(client);
    place(lblFCount, u"lblFCount"_s);
    for (QLabel *label : {lblPath, lblFCount}) {
        setColours(label, {label->backgroundRole()}, Layout::pink);
        label->setAutoFillBackground(true);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setTextFormat(Qt::PlainText);
    }
    lblPath->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lblFCount->setAlignment(Qt::AlignCenter);

    chkImg = new QCheckBox(Layout::chkImgCaption.toString(), client);
    place(chkImg, u"chkImg"_s);
    chkView = new QCheckBox(Layout::chkViewCaption.toString(), client);
    place(chkView, u"chkView"_s);
    for (QCheckBox *box : {chkImg, chkView}) {
        setColours(box, {box->backgroundRole()}, Layout::pink, Layout::navy);
        box->setAutoFillBackground(true);
    }

    cmdRefresh = new QPushButton(Layout::cmdRefreshCaption.toString(), client);
    place(cmdRefresh, u"cmdRefresh"_s);
    cmdMake = new QPushButton(Layout::cmdMakeCaption.toString(), client);
    place(cmdMake, u"cmdMake"_s);
    for (QPushButton *button : {cmdRefresh, cmdMake}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    cmdMake->setEnabled(false);

    describe(Drive1, u"Unidades"_s, u"La unidad cuyas carpetas se muestran"_s);
    describe(Dir1, u"Carpetas"_s, u"Las carpetas de la unidad; Intro abre la elegida"_s);
    describe(File1, u"Archivos de la carpeta"_s, u"Los archivos que la página enumera"_s);
    describe(lblPath, u"Carpeta abierta"_s, u"La carpeta donde se escribe la página"_s);
    describe(lblFCount, u"Número de archivos"_s, u"Cuántos archivos tiene la carpeta abierta"_s);
    describe(chkImg, u"Ver imágenes en la página"_s,
             u"Muestra una imagen bajo cada archivo de imagen"_s);
    describe(chkView, u"Ver la página"_s, u"Abre la página terminada en el navegador"_s);
    describe(cmdRefresh, u"Actualizar lista"_s, u"Vuelve a leer los archivos de la carpeta"_s);
    describe(cmdMake, u"Hacer HTML"_s, u"Escribe la página de índice en la carpeta abierta"_s);
    for (QWidget *control : std::initializer_list<QWidget *>{Drive1, lblPath, lblFCount})
        speakShownValue(control);

    setTabOrder(Drive1, Dir1);
    setTabOrder(Dir1, File1);
    setTabOrder(File1, chkImg);
    setTabOrder(chkImg, chkView);
    setTabOrder(chkView, cmdRefresh);
    setTabOrder(cmdRefresh, cmdMake);

    // Until the load handler opens a drive's root, the lists show the current folder.
    if (!Dir1->setPath(QDir::currentPath(), nullptr, false))
        Dir1->setPath(Drive1->Drive(), nullptr, false);
}

// Up to the usual text size the window keeps the size it was drawn at, the captions made smaller
// where they would not fit; a larger text makes the whole window larger with it.
void frmTrovadex::fitToFont()
{
    const QFont desktop = QApplication::font();
    m_scale = layoutScale(desktop);
    setFont(captionFont(desktop, m_scale));
    for (const auto &[name, where] : places)
        findChild<QWidget *>(QString::fromLatin1(name))->setGeometry(Layout::rect(where, m_scale));
    const QRect client = Layout::rect(Layout::client, m_scale);
    setFixedSize(client.width(), client.height() + menuBar()->sizeHint().height());
}
