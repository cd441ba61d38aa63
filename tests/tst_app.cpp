#include "captionfont.h"
#include "clock.h"
#include "closinganimation.h"
#include "desktopopener.h"
#include "dirlistbox.h"
#include "drivelistbox.h"
#include "filelistbox.h"
#include "filenames.h"
#include "frmtrovadex.h"
#include "messagebox.h"
#include "overflow.h"
#include "testfolder.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QStyleOption>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

class RecordingOpener : public DocumentOpener
{
public:
    bool open(const QString &path) override
    {
        opened << path;
        return true;
    }
    QStringList opened;
};

class FixedClock : public Clock
{
public:
    QDateTime now() const override { return QDateTime(QDate(2026, 3, 15), QTime(12, 0)); }
};

// A window over a temporary "drive": its root holds "raiz.txt" and the folders "fotos" (three
// files and the folder "viaje") and "vacia"; the program starts in `startFolder` below it.
class Fixture
{
public:
    explicit Fixture(const QByteArray &startFolder = "fotos", bool ownVolumes = true)
    {
        for (const char *folder : {"fotos", "vacia", "fotos/viaje"})
            QVERIFY(drive.addFolder(folder));
        for (const char *name : {"fotos/IMG_10.jpg", "fotos/IMG_2.jpg", "fotos/.oculto"})
            QVERIFY(drive.addFile(name, 3000));
        QVERIFY(drive.addFile("raiz.txt"));
        QVERIFY(QDir::setCurrent(QString::fromUtf8(drive.rawPath() + startFolder)));
        MessageBox::setAnswerer([this](const MessageBox::Box &box) {
            boxes << box;
            if (onBox)
                onBox();
            return QMessageBox::Ok;
        });

        window = std::make_unique<frmTrovadex>();
        window->setDocumentOpener(&opener);
        window->setClock(&clock);
        window->setProgramEnd([this] { programEnded = true; });
        if (ownVolumes)
            control<DriveListBox>("Drive1")->setVolumeSource([this] {
                return QList<Volume>{{u"/"_s, {}}, {root(), u"PRUEBA"_s}, {missing(), u"USB"_s}};
            });
        refreshes = std::make_unique<QSignalSpy>(window.get(), &frmTrovadex::listStateRefreshed);
    }
    ~Fixture()
    {
        MessageBox::setAnswerer({});
        QDir::setCurrent(QDir::tempPath());
    }

    void start(const QString &folder = {})
    {
        window->start(folder);
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

    template <typename T = QWidget> T *control(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }

    QString root() const { return drive.path().chopped(1); }
    // A drive that went away: its mount point no longer exists.
    QString missing() const { return drive.path() + u"usb"_s; }

    // Opens a folder through the folder list, as a double click on its row would.
    void open(const QString &path) const
    {
        auto *dir = control<DirListBox>("Dir1");
        for (int row = 0; row < dir->count(); ++row) {
            if (dir->item(row)->data(Qt::UserRole).toString() == path) {
                Q_EMIT dir->itemActivated(dir->item(row));
                return;
            }
        }
        QFAIL(qPrintable(u"no row for "_s + path));
    }
    void openFromRoot(const QString &folder) const
    {
        open(root());
        if (!folder.isEmpty())
            open(drive.path() + folder);
    }

    // What the window system sends for the close box.
    void requestClose() const
    {
        QCloseEvent event;
        QCoreApplication::sendEvent(window->windowHandle(), &event);
    }

    TestFolder drive;
    RecordingOpener opener;
    FixedClock clock;
    QList<MessageBox::Box> boxes;
    std::function<void()> onBox;
    bool programEnded = false;
    std::unique_ptr<frmTrovadex> window;
    std::unique_ptr<QSignalSpy> refreshes;
};

// A window for the closing animation: it keeps whatever minimum height it is given.
class FakeWindow : public ShrinkingWindow
{
public:
    bool isNormalState() const override { return normal; }
    float height() const override { return current; }
    void setHeight(int twips) override
    {
        asked << twips;
        current = qMax(float(twips), minimum);
    }
    float screenHeight() const override { return 9000; }
    void setTop(float twips) override { tops << twips; }
    void processEvents() override { ++events; }

    bool normal = true;
    float current = 0;
    float minimum = 0;
    QList<int> asked;
    QList<float> tops;
    int events = 0;
};

QtMessageHandler qtTestHandler = nullptr;

// The offscreen platform says so at every change of a fixed size; nothing else is dropped.
void dropSizeHintNotes(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!text.contains(u"does not support propagateSizeHints"))
        qtTestHandler(type, context, text);
}

// The room a button's style leaves for its caption.
int captionRoom(QAbstractButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    const bool check = qobject_cast<QCheckBox *>(button);
    return button->style()
        ->subElementRect(check ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents,
                         &option, button)
        .width();
}

} // namespace

class tst_App : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qtTestHandler = qInstallMessageHandler(dropSizeHintNotes);
        useCaptionFont();
    }
    void controls_data();
    void controls();
    void startingState();
    void start_data();
    void start();
    void driveList_data();
    void driveList();
    void folderList();
    void tabOrder_data();
    void tabOrder();
    void accessKeys_data();
    void accessKeys();
    void messages_data();
    void messages();
    void listState_data();
    void listState();
    void refresh_data();
    void refresh();
    void errorBoxes_data();
    void errorBoxes();
    void makePage();
    void fileUrl_data();
    void fileUrl();
    void closingSteps_data();
    void closingSteps();
    void closingAtMinimumHeight();
    void closeRequests_data();
    void closeRequests();
};

void tst_App::controls_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QColor>("background");
    QTest::addColumn<QColor>("text");
    QTest::addColumn<QString>("accessibleName");

    // The layout's twips at 15 a pixel; 1450 twips is 96 2/3 pixels. No colour: the style's.
    const QColor pink(255, 128, 128), yellow(255, 255, 128), navy(0, 0, 128), blue(0, 0, 255);
    QTest::newRow("Drive1") << QRect(0, 4, 257, 21) << pink << blue << u"Unidades"_s;
    QTest::newRow("Dir1") << QRect(0, 28, 257, 201) << yellow << navy << u"Carpetas"_s;
    QTest::newRow("File1") << QRect(260, 4, 201, 227) << yellow << navy
                           << u"Archivos de la carpeta"_s;
    QTest::newRow("lblPath") << QRect(0, 232, 357, 21) << pink << QColor() << u"Carpeta abierta"_s;
    QTest::newRow("lblFCount") << QRect(364, 232, 97, 21) << pink << QColor()
                               << u"Número de archivos"_s;
    QTest::newRow("chkImg") << QRect(4, 260, 165, 20) << pink << navy
                            << u"Ver imágenes en la página"_s;
    QTest::newRow("chkView") << QRect(168, 260, 89, 20) << pink << navy << u"Ver la página"_s;
    QTest::newRow("cmdRefresh") << QRect(264, 260, 96, 21) << QColor() << QColor()
                                << u"Actualizar lista"_s;
    QTest::newRow("cmdMake") << QRect(364, 260, 97, 21) << QColor() << QColor() << u"Hacer HTML"_s;
}

void tst_App::controls()
{
    QFETCH(QRect, rect);
    QFETCH(QColor, background);
    QFETCH(QColor, text);
    QFETCH(QString, accessibleName);

    Fixture fixture;
    fixture.start();
    QWidget *control = fixture.control(QTest::currentDataTag());
    QVERIFY(control);
    QCOMPARE(control->geometry(), rect);
    QCOMPARE(control->parentWidget(), fixture.window->centralWidget());
    QCOMPARE(control->accessibleName(), accessibleName);
    QVERIFY(!control->accessibleDescription().isEmpty());

    // What the control fills itself with: lists their base, the rest their own role.
    const bool isList = qobject_cast<QAbstractItemView *>(control);
    const QPalette palette = control->palette();
    QCOMPARE(palette.color(isList ? QPalette::Base : control->backgroundRole()),
             background.isValid() ? background : QApplication::palette().color(QPalette::Button));
    if (text.isValid())
        QCOMPARE(palette.color(isList ? QPalette::Text : control->foregroundRole()), text);

    if (auto *button = qobject_cast<QAbstractButton *>(control)) {
        const QString caption = QString(button->text()).remove(u'&');
        QVERIFY2(button->fontMetrics().horizontalAdvance(caption) <= captionRoom(button),
                 qPrintable(caption));
    }
}

void tst_App::startingState()
{
    Fixture fixture;
    frmTrovadex &window = *fixture.window;
    QCOMPARE(window.windowTitle(), u"^Quorvel^ Folimbra"_s);
    QVERIFY(!fixture.control("cmdMake")->isEnabled());
    QCOMPARE(fixture.control<QLabel>("lblPath")->text(), QString());

    fixture.start();
    QCOMPARE(window.windowTitle(), u"Quorvel Folimbra 2002 1.0.1"_s);
    QStringList captions;
    for (const char *name : {"chkImg", "chkView", "cmdRefresh", "cmdMake"}) {
        auto *button = fixture.control<QAbstractButton>(name);
        captions << button->text();
        QVERIFY(!button->isChecked());
        if (auto *push = qobject_cast<QPushButton *>(button))
            QVERIFY(!push->autoDefault() && !push->isDefault());
    }
    QCOMPARE(captions, (QStringList{u"Ver &Imagenes En Página Html"_s, u"&Ver Html"_s,
                                    u"&Actualizar Lista"_s, u"Hacer &HTML"_s}));
    QCOMPARE(QApplication::focusWidget(), fixture.control("Drive1"));
    QCOMPARE(window.windowIcon().availableSizes(), (QList<QSize>{{32, 32}, {16, 16}}));
    QCOMPARE(window.centralWidget()->size(), QSize(463, 284));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    const QPoint offCentre = window.frameGeometry().center() - window.screen()->geometry().center();
    QVERIFY(offCentre.manhattanLength() <= 2);

    auto *menu = fixture.control<QMenu>("opciones");
    QStringList items{menu->title()};
    for (QAction *action : menu->actions())
        items << action->objectName() + u'=' + action->text() + u'='
                     + action->shortcut().toString(QKeySequence::PortableText);
    QCOMPARE(items, (QStringList{u"Opciones"_s, u"Ayuda=Ayuda=Ctrl+F1"_s,
                                 u"agra=Agradecimientos...=Ctrl+F2"_s, u"sale=Salir=Ctrl+S"_s}));
    QVERIFY(fixture.boxes.isEmpty());
}

void tst_App::start_data()
{
    QTest::addColumn<QByteArray>("current");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<int>("refreshes");

    // Without a folder to open, the drive's root; the refresh runs once more if the folder list
    // had to move there.
    QTest::newRow("below the root") << QByteArray("fotos/viaje") << u""_s << u""_s << 2;
    QTest::newRow("at the root") << QByteArray() << u""_s << u""_s << 1;
    QTest::newRow("folder given") << QByteArray() << u"fotos"_s << u"fotos/"_s << 2;
    QTest::newRow("missing folder") << QByteArray("vacia") << u"nada"_s << u""_s << 2;
    QTest::newRow("file given") << QByteArray("vacia") << u"raiz.txt"_s << u""_s << 2;
}

void tst_App::start()
{
    QFETCH(QByteArray, current);
    QFETCH(QString, argument);
    QFETCH(QString, opened);
    QFETCH(int, refreshes);

    Fixture fixture(current);
    fixture.start(argument.isEmpty() ? QString() : fixture.drive.path() + argument);
    QCOMPARE(fixture.refreshes->count(), refreshes);
    QCOMPARE(fixture.window->currentPath(), fixture.drive.path() + opened);
    QCOMPARE(fixture.control<DriveListBox>("Drive1")->Drive(), fixture.root());
    QVERIFY(fixture.boxes.isEmpty());
}

void tst_App::driveList_data()
{
    QTest::addColumn<bool>("ownVolumes");
    QTest::newRow("machine's volumes") << false;
    QTest::newRow("test volumes") << true;
}

// The drive list offers the volumes from the start, and follows the folder list across them.
void tst_App::driveList()
{
    QFETCH(bool, ownVolumes);

    Fixture fixture("fotos", ownVolumes);
    auto *drive = fixture.control<DriveListBox>("Drive1");
    const QList<Volume> volumes =
        ownVolumes ? QList<Volume>{{u"/"_s, {}}, {fixture.root(), {}}} : userVolumes();
    QVERIFY(drive->count() >= volumes.size());
    fixture.start();
    QCOMPARE(drive->Drive(), volumeRootOf(fixture.drive.path(), volumes));
    if (!ownVolumes)
        return;
    QCOMPARE(drive->currentText(), fixture.root() + u"  [PRUEBA]"_s);
    fixture.open(u"/"_s);
    QCOMPARE(drive->currentIndex(), 0);
    QCOMPARE(fixture.window->currentPath(), u"/"_s);

    // The drop-down list wears the box's colours.
    drive->showPopup();
    QAbstractItemView *list = drive->view();
    QVERIFY(QTest::qWaitForWindowExposed(list->window()));
    const QRect row = list->visualRect(list->model()->index(2, 0));
    const QImage image = list->viewport()->grab(row).toImage();
    QCOMPARE(image.pixelColor(1, row.height() / 2), QColor(255, 128, 128));
    bool blueText = false;
    for (int x = 0; x < image.width() && !blueText; ++x)
        blueText = image.pixelColor(x, row.height() / 2).blue() > 200
                   && image.pixelColor(x, row.height() / 2).red() < 100;
    QVERIFY(blueText);
    drive->hidePopup();
}

// The open folder stands highlighted, the folders above it each a step further in, and the
// folders inside it one step further still.
void tst_App::folderList()
{
    Fixture fixture;
    fixture.start();
    fixture.open(fixture.drive.path() + u"fotos"_s);
    auto *dir = fixture.control<DirListBox>("Dir1");
    QCOMPARE(dir->currentItem()->data(Qt::UserRole).toString(), fixture.drive.path() + u"fotos"_s);
    QVERIFY(dir->currentItem()->isSelected());
    QCOMPARE(dir->item(dir->count() - 1)->text(), u"viaje"_s);

    QStyleOptionViewItem option;
    option.initFrom(dir);
    QStyledItemDelegate plain;
    QList<int> indents;
    for (int row = 0; row < dir->count(); ++row) {
        const QModelIndex index = dir->model()->index(row, 0);
        indents << dir->itemDelegate()->sizeHint(option, index).width()
                       - plain.sizeHint(option, index).width();
    }
    for (qsizetype row = 1; row < indents.size(); ++row)
        QCOMPARE(indents.at(row) - indents.at(row - 1), indents.at(1));
    QVERIFY(indents.at(1) > 0);
}

void tst_App::tabOrder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("order");

    QTest::newRow("with files") << u"fotos"_s
                                << QStringList{u"Dir1"_s,    u"File1"_s,      u"chkImg"_s,
                                               u"chkView"_s, u"cmdRefresh"_s, u"cmdMake"_s,
                                               u"Drive1"_s};
    QTest::newRow("without files")
        << u"vacia"_s << QStringList{u"Dir1"_s, u"File1"_s, u"cmdRefresh"_s, u"Drive1"_s};
}

void tst_App::tabOrder()
{
    QFETCH(QString, folder);
    QFETCH(QStringList, order);

    Fixture fixture;
    fixture.start();
    fixture.openFromRoot(folder);
    fixture.control("Drive1")->setFocus();
    QStringList visited;
    for (qsizetype i = 0; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, order);
}

void tst_App::accessKeys_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("enabled") << u"fotos"_s << true;
    QTest::newRow("disabled") << u"vacia"_s << false;
}

void tst_App::accessKeys()
{
    QFETCH(QString, folder);
    QFETCH(bool, enabled);

    Fixture fixture;
    fixture.start();
    fixture.openFromRoot(folder);
    QWidget *focus = fixture.control("Dir1");
    focus->setFocus();
    const qsizetype before = fixture.refreshes->count();
    // An access key clicks a moment later; Alt+A goes last, so once its refresh has run, every
    // click before it has too.
    for (Qt::Key key : {Qt::Key_I, Qt::Key_V, Qt::Key_H, Qt::Key_A})
        QTest::keyClick(focus, key, Qt::AltModifier);
    QTRY_COMPARE(fixture.refreshes->count(), before + 1);
    QCOMPARE(fixture.control<QCheckBox>("chkImg")->isChecked(), enabled);
    QCOMPARE(fixture.control<QCheckBox>("chkView")->isChecked(), enabled);
    QCOMPARE(fixture.drive.exists(folder.toUtf8() + "/Quorvel-Html_index.html"), enabled);
    QCOMPARE(fixture.opener.opened.size(), enabled ? 1 : 0);
    QVERIFY(fixture.boxes.isEmpty());
}

void tst_App::messages_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");

    const QString help = u"Programa folimbra de fotos, música y todo lo que se te ocurra y tengas "
                         "en directorios...\nEmail: folimbra@quorvel.example"_s;
    const QString acknowledgement =
        u"El Autor De Este Programa Lleva Sin Fumar, 24 Años, 1 Meses Y 14 Días, ¡¡ Esperemos "
        "Que Continue Sin Hacerlo !! Me Refiero A Fumar Jeje... Dejo De Hacerlo El FRIDAY, 1 "
        "FEBRUARY 2002, A Las 0 Horas. En Cuanto Agradecimientos...\r¡¡ Ahh Si !!, Pos A Toas Y "
        "Tos Los Que Useis Este Programa... ¡¡ Va Por Vosotr@s !!"_s;
    QTest::newRow("help menu") << u"Ayuda"_s << 0 << help;
    QTest::newRow("help keys") << u"Ayuda"_s << int(Qt::Key_F1) << help;
    QTest::newRow("thanks menu") << u"agra"_s << 0 << acknowledgement;
    QTest::newRow("thanks keys") << u"agra"_s << int(Qt::Key_F2) << acknowledgement;
}

void tst_App::messages()
{
    QFETCH(QString, item);
    QFETCH(int, key);
    QFETCH(QString, text);

    Fixture fixture;
    fixture.start();
    if (key)
        QTest::keyClick(fixture.window.get(), Qt::Key(key), Qt::ControlModifier);
    else
        fixture.window->findChild<QAction *>(item)->trigger();
    QCOMPARE(fixture.boxes.size(), 1);
    QCOMPARE(fixture.boxes.at(0).title, u"^Quorvel^ Folimbra"_s);
    QCOMPARE(fixture.boxes.at(0).icon, QMessageBox::NoIcon);
    QCOMPARE(fixture.boxes.at(0).text, text);
    QVERIFY(fixture.window->isVisible());
}

void tst_App::listState_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("count");
    QTest::newRow("with files") << u"fotos"_s << 3;
    QTest::newRow("without files") << u"vacia"_s << 0;
    QTest::newRow("drive root") << u""_s << 1;
}

void tst_App::listState()
{
    QFETCH(QString, folder);
    QFETCH(int, count);

    Fixture fixture;
    fixture.start();
    fixture.open(fixture.drive.path() + u"fotos"_s);
    fixture.control<QCheckBox>("chkImg")->setChecked(true);
    fixture.openFromRoot(folder);

    const QString path = fixture.drive.path() + (folder.isEmpty() ? folder : folder + u'/');
    QCOMPARE(fixture.window->currentPath(), path);
    QCOMPARE(fixture.control<QLabel>("lblPath")->text(), path);
    QCOMPARE(fixture.control<QLabel>("lblPath")->toolTip(), path);
    QCOMPARE(fixture.control<QLabel>("lblFCount")->text(), QString::number(count));
    QCOMPARE(fixture.control<FileListBox>("File1")->model()->rowCount(), count);
    for (const char *name : {"cmdMake", "chkView", "chkImg"})
        QCOMPARE(fixture.control(name)->isEnabled(), count > 0);
    QVERIFY(fixture.control("cmdRefresh")->isEnabled());
    QVERIFY(fixture.control<QCheckBox>("chkImg")->isChecked());
    QVERIFY(fixture.boxes.isEmpty());
}

void tst_App::refresh_data()
{
    QTest::addColumn<QString>("changed"); // a file added, or a folder removed
    QTest::addColumn<QString>("opened");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("box"); // %1 the drive's path, %2 its root

    QTest::newRow("file added") << u"vacia/nuevo.txt"_s << u"vacia/"_s << 1 << QString();
    QTest::newRow("folder gone") << u"vacia"_s << u""_s << 1
                                 << u"La carpeta «%1vacia» ya no existe; se abre «%2»."_s;
    QTest::newRow("two gone") << u"fotos"_s << u""_s << 1
                              << u"La carpeta «%1fotos/viaje» ya no existe; se abre «%2»."_s;
    QTest::newRow("one gone") << u"fotos/viaje"_s << u"fotos/"_s << 3
                              << u"La carpeta «%1fotos/viaje» ya no existe; se abre «%1fotos»."_s;
}

void tst_App::refresh()
{
    QFETCH(QString, changed);
    QFETCH(QString, opened);
    QFETCH(int, count);
    QFETCH(QString, box);

    Fixture fixture;
    const QString folder = changed.startsWith(u"vacia") ? u"vacia"_s : u"fotos/viaje"_s;
    fixture.start(fixture.drive.path() + folder);
    if (box.isEmpty())
        QVERIFY(fixture.drive.addFile(changed.toUtf8()));
    else
        QVERIFY(QDir(fixture.drive.path() + changed).removeRecursively());

    fixture.control<QPushButton>("cmdRefresh")->click();
    QCOMPARE(fixture.window->currentPath(), fixture.drive.path() + opened);
    QCOMPARE(fixture.control<QLabel>("lblFCount")->text(), QString::number(count));
    QCOMPARE(fixture.control("cmdMake")->isEnabled(), count > 0);
    QStringList texts;
    for (const MessageBox::Box &shown : std::as_const(fixture.boxes))
        texts << shown.text;
    QCOMPARE(texts,
             box.isEmpty()
                 ? QStringList()
                 : QStringList{
                     box.replace(u"%1"_s, fixture.drive.path()).replace(u"%2"_s, fixture.root())});
}

void tst_App::errorBoxes_data()
{
    QTest::addColumn<QString>("text"); // %1 stands for the drive's path

    QTest::newRow("folder") << u"No se pudo leer la carpeta «%1fotos/viaje»: no existe."_s;
    QTest::newRow("drive") << u"No se pudo leer la carpeta «%1usb»: no existe."_s;
    QTest::newRow("page") << u"No se pudo crear la página «%1fotos/Quorvel-Html_index.html»: es "
                             "una carpeta."_s;
    QTest::newRow("too tall") << u"Error no previsto: Desbordamiento. El programa se cerrará."_s;
}

void tst_App::errorBoxes()
{
    QFETCH(QString, text);

    Fixture fixture;
    fixture.start(fixture.drive.path() + u"fotos"_s);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    auto *drive = fixture.control<DriveListBox>("Drive1");
    if (tag == u"folder") {
        // Tests run as root, whom no permission stops: the folder goes away instead.
        QVERIFY(QDir(fixture.drive.path() + u"fotos/viaje"_s).removeRecursively());
        fixture.open(fixture.drive.path() + u"fotos/viaje"_s);
    } else if (tag == u"drive") {
        drive->setCurrentIndex(2);
        Q_EMIT drive->activated(2);
        QCOMPARE(drive->currentIndex(), 1);
    } else if (tag == u"page") {
        QVERIFY(fixture.drive.addFolder("fotos/Quorvel-Html_index.html"));
        fixture.control<QCheckBox>("chkView")->setChecked(true);
        fixture.control<QPushButton>("cmdMake")->click();
    } else {
        // 2,200 pixels are 33,000 twips: more than the animation's 16-bit height holds.
        fixture.window->setFixedHeight(2200);
        fixture.window->close();
        QTRY_VERIFY(fixture.programEnded);
    }
    QCOMPARE(fixture.boxes.size(), 1);
    QCOMPARE(fixture.boxes.at(0).title, u"Pelvorn"_s);
    QCOMPARE(fixture.boxes.at(0).icon, QMessageBox::Warning);
    QCOMPARE(fixture.boxes.at(0).text, text.replace(u"%1"_s, fixture.drive.path()));
    QVERIFY(fixture.opener.opened.isEmpty());
    QCOMPARE(fixture.window->isVisible(), !fixture.programEnded);
    if (!fixture.programEnded)
        QCOMPARE(fixture.window->currentPath(), fixture.drive.path() + u"fotos/"_s);
}

void tst_App::makePage()
{
    Fixture fixture;
    fixture.start(fixture.drive.path() + u"fotos"_s);
    fixture.control<QCheckBox>("chkImg")->setChecked(true);
    fixture.control<QPushButton>("cmdMake")->click();

    const QByteArrayList lines = pageLines(fixture.drive.read("fotos/Quorvel-Html_index.html"));
    QCOMPARE(lines.size(), 17 + 3 + 2);
    QVERIFY(lines.at(7).startsWith("<p><a href=\".oculto\">"));
    QVERIFY(lines.at(8).startsWith("<p><a href=\"IMG_2.jpg\">"));
    QVERIFY(lines.at(10).startsWith("<p><a href=\"IMG_10.jpg\">"));
    QVERIFY(fixture.opener.opened.isEmpty());
    // The last entry stands selected in the list.
    auto *files = fixture.control<FileListBox>("File1");
    QCOMPARE(files->currentIndex().row(), 2);
    QCOMPARE(fixture.window->currentFile(), fixture.drive.path() + u"fotos/IMG_10.jpg"_s);

    fixture.control<QCheckBox>("chkView")->setChecked(true);
    fixture.control<QPushButton>("cmdMake")->click();
    QCOMPARE(fixture.opener.opened,
             QStringList{fixture.drive.path() + u"fotos/Quorvel-Html_index.html"_s});
    QVERIFY(fixture.boxes.isEmpty());
}

void tst_App::fileUrl_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("url");
    QTest::newRow("plain") << QByteArray("/tmp/a b.html") << QByteArray("file:///tmp/a%20b.html");
    QTest::newRow("utf-8") << QByteArray("/tmp/caf\xc3\xa9/#1.html")
                           << QByteArray("file:///tmp/caf%C3%A9/%231.html");
    QTest::newRow("raw byte") << QByteArray("/tmp/caf\xe9?.html")
                              << QByteArray("file:///tmp/caf%E9%3F.html");
}

void tst_App::fileUrl()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, url);
    QCOMPARE(::fileUrl(decodeFileName(path)).toEncoded(), url);
}

void tst_App::closingSteps_data()
{
    QTest::addColumn<float>("start");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");

    QTest::newRow("6000") << 6000.f << 39 << 5850 << 150;
    QTest::newRow("6001") << 6001.f << 40 << 5851 << 1;
    QTest::newRow("151") << 151.f << 1 << 1 << 1;
    QTest::newRow("300") << 300.f << 1 << 150 << 150;
    QTest::newRow("301") << 301.f << 2 << 151 << 1;
    QTest::newRow("150 runs once") << 150.f << 1 << 0 << 0;
    QTest::newRow("half to even down") << 6000.5f << 39 << 5850 << 150;
    QTest::newRow("half to even up") << 6001.5f << 40 << 5852 << 2;
    QTest::newRow("16-bit top") << 32767.f << 218 << 32617 << 67;
    QTest::newRow("not normal") << -1.f << 0 << 0 << 0;
}

void tst_App::closingSteps()
{
    QFETCH(float, start);
    QFETCH(int, steps);
    QFETCH(int, first);
    QFETCH(int, last);

    FakeWindow window;
    window.normal = start > 0;
    window.current = start > 0 ? start : 6000;
    shrinkWindow(window);
    QCOMPARE(window.asked.size(), steps);
    QCOMPARE(window.events, steps);
    if (steps == 0)
        return;
    QCOMPARE(window.asked.first(), first);
    QCOMPARE(window.asked.last(), last);
    for (qsizetype i = 1; i < window.asked.size(); ++i)
        QCOMPARE(window.asked.at(i - 1) - window.asked.at(i), 150);
}

// The window system may keep the window taller than asked: the steps still follow the starting
// height, and each centres the window by the height it really has.
void tst_App::closingAtMinimumHeight()
{
    FakeWindow window;
    window.current = 6000;
    window.minimum = 4000;
    shrinkWindow(window);
    QCOMPARE(window.asked.size(), 39);
    QCOMPARE(window.tops.first(), (9000.f - 5850.f) / 2);
    QCOMPARE(window.tops.last(), (9000.f - 4000.f) / 2);

    FakeWindow tooTall;
    tooTall.current = 32768;
    QVERIFY_THROWS_EXCEPTION(OverflowError, shrinkWindow(tooTall));
    QCOMPARE(tooTall.events, 0);
}

void tst_App::closeRequests_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("Salir") << 0;
    QTest::newRow("Ctrl+S") << 1;
    QTest::newRow("close box") << 2;
    QTest::newRow("maximised") << 3;
}

// Only the first request starts the closing; requests while the window shrinks, one of them
// while a box is up, change nothing, and the window goes once it has shrunk.
void tst_App::closeRequests()
{
    QFETCH(int, how);

    Fixture fixture;
    fixture.start();
    frmTrovadex *window = fixture.window.get();
    const int height = window->height();
    if (how == 3)
        window->showMaximized();
    int steps = 0;
    QList<bool> visibleAfterRequest;
    connect(window->windowHandle(), &QWindow::heightChanged, window, [&] {
        if (++steps != 5 || how == 3)
            return;
        fixture.requestClose();
        visibleAfterRequest << window->isVisible();
        window->findChild<QAction *>(u"Ayuda"_s)->trigger();
        visibleAfterRequest << window->isVisible();
    });
    fixture.onBox = [&] {
        fixture.requestClose();
        visibleAfterRequest << window->isVisible();
    };

    if (how == 0)
        window->findChild<QAction *>(u"sale"_s)->trigger();
    else if (how == 1)
        QTest::keyClick(window, Qt::Key_S, Qt::ControlModifier);
    else
        fixture.requestClose();
    QVERIFY(window->isVisible());
    QTRY_VERIFY(!window->isVisible());

    if (how == 3) {
        QVERIFY(window->height() >= height);
        QVERIFY(fixture.boxes.isEmpty());
    } else {
        QCOMPARE(visibleAfterRequest, (QList<bool>{true, true, true}));
        QCOMPARE(fixture.boxes.size(), 1);
        QVERIFY2(steps > 10, qPrintable(QString::number(steps)));
        QVERIFY(window->height() < height / 4);
    }
    QVERIFY(!fixture.programEnded);
}

QTEST_MAIN(tst_App)
#include "tst_app.moc"
