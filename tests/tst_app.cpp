#include "closinganimation.h"
#include "dirlistbox.h"
#include "documentopener.h"
#include "drivelistbox.h"
#include "filelistbox.h"
#include "frmtrovadex.h"
#include "messagetexts.h"
#include "overflow.h"
#include "testfolder.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon;
};

// Answers every message box that comes up, and remembers what it said.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::answer);
        m_timer.start(5);
    }
    QList<SeenBox> seen;

private:
    void answer()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen.append({box->windowTitle(), box->text(), box->icon()});
        box->button(QMessageBox::Ok)->click();
    }
    QTimer m_timer;
};

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

// A window over a temporary "drive": its root holds the folders "fotos" (three files) and
// "vacia" (none); the program starts in `startFolder` below that root.
class Fixture
{
public:
    explicit Fixture(const QByteArray &startFolder = "fotos")
    {
        QVERIFY(drive.addFolder("fotos"));
        QVERIFY(drive.addFolder("vacia"));
        QVERIFY(drive.addFolder("fotos/viaje"));
        for (const char *name : {"fotos/IMG_10.jpg", "fotos/IMG_2.jpg", "fotos/.oculto"})
            QVERIFY(drive.addFile(name, 3000));
        QVERIFY(drive.addFile("raiz.txt"));
        QVERIFY(QDir::setCurrent(QString::fromUtf8(drive.rawPath() + startFolder)));

        window = std::make_unique<frmTrovadex>();
        window->setDocumentOpener(&opener);
        window->setProgramEnd([this] { programEnded = true; });
        control<DriveListBox>("Drive1")->setVolumeSource([this] {
            return QList<Volume>{{u"/"_s, {}}, {root(), u"PRUEBA"_s}, {missing(), u"USB"_s}};
        });
        refreshes = std::make_unique<QSignalSpy>(window.get(), &frmTrovadex::listStateRefreshed);
    }
    ~Fixture() { QDir::setCurrent(QDir::tempPath()); }

    void start()
    {
        window->start();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

    template <typename T> T *control(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }

    QString root() const { return drive.path().chopped(1); }
    // A drive that went away: its mount point no longer exists.
    QString missing() const { return drive.path() + u"usb"_s; }

    // Opens a folder through the folder list, starting at the drive's root.
    void openFromRoot(const QString &folder) const
    {
        open(root());
        if (!folder.isEmpty())
            open(drive.path() + folder);
    }

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

    TestFolder drive;
    RecordingOpener opener;
    BoxAnswerer boxes;
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

} // namespace

class tst_App : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qtTestHandler = qInstallMessageHandler(dropSizeHintNotes); }
    void geometry_data();
    void geometry();
    void colours_data();
    void colours();
    void startingState();
    void tabOrder_data();
    void tabOrder();
    void accessKeys_data();
    void accessKeys();
    void menuAndShortcutShowTheSameBox_data();
    void menuAndShortcutShowTheSameBox();
    void listState_data();
    void listState();
    void loadRefreshes_data();
    void loadRefreshes();
    void refreshButtonRereads();
    void unreadableFolderKeepsTheWindow();
    void driveThatWentAway();
    void makePage();
    void makePageFailure();
    void closingSteps_data();
    void closingSteps();
    void closingKeepsCentredAtMinimumHeight();
    void closingWithoutAnimation();
    void closeByMenuAndShortcut_data();
    void closeByMenuAndShortcut();
    void closeDuringAnimationIsIgnored();
    void tooTallToCloseEndsTheProgram();
};

void tst_App::geometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("rect");

    // The layout's twips at 15 a pixel; 1450 twips is 96 2/3 pixels.
    QTest::newRow("Drive1") << u"Drive1"_s << QRect(0, 4, 257, 21);
    QTest::newRow("Dir1") << u"Dir1"_s << QRect(0, 28, 257, 201);
    QTest::newRow("File1") << u"File1"_s << QRect(260, 4, 201, 227);
    QTest::newRow("lblPath") << u"lblPath"_s << QRect(0, 232, 357, 21);
    QTest::newRow("lblFCount") << u"lblFCount"_s << QRect(364, 232, 97, 21);
    QTest::newRow("chkImg") << u"chkImg"_s << QRect(4, 260, 165, 20);
    QTest::newRow("chkView") << u"chkView"_s << QRect(168, 260, 89, 20);
    QTest::newRow("cmdRefresh") << u"cmdRefresh"_s << QRect(264, 260, 96, 21);
    QTest::newRow("cmdMake") << u"cmdMake"_s << QRect(364, 260, 97, 21);
}

void tst_App::geometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, rect);

    Fixture fixture;
    fixture.start();
    auto *control = fixture.window->findChild<QWidget *>(name);
    QVERIFY(control);
    QCOMPARE(control->geometry(), rect);
    QCOMPARE(control->parentWidget(), fixture.window->centralWidget());
    QCOMPARE(fixture.window->centralWidget()->size(), QSize(463, 284));
    QCOMPARE(fixture.window->minimumSize(), fixture.window->maximumSize());
    const QRect screen = fixture.window->screen()->geometry();
    QVERIFY(qAbs(fixture.window->frameGeometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(fixture.window->frameGeometry().center().y() - screen.center().y()) <= 1);
}

void tst_App::colours_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("background");
    QTest::addColumn<QColor>("text");

    const QColor pink(255, 128, 128), yellow(255, 255, 128), navy(0, 0, 128), blue(0, 0, 255);
    QTest::newRow("client") << u"client"_s << pink << QColor();
    QTest::newRow("Drive1") << u"Drive1"_s << pink << blue;
    QTest::newRow("Dir1") << u"Dir1"_s << yellow << navy;
    QTest::newRow("File1") << u"File1"_s << yellow << navy;
    QTest::newRow("lblPath") << u"lblPath"_s << pink << QColor();
    QTest::newRow("lblFCount") << u"lblFCount"_s << pink << QColor();
    QTest::newRow("chkImg") << u"chkImg"_s << pink << navy;
    QTest::newRow("chkView") << u"chkView"_s << pink << navy;
}

void tst_App::colours()
{
    QFETCH(QString, name);
    QFETCH(QColor, background);
    QFETCH(QColor, text);

    Fixture fixture;
    fixture.start();
    auto *control = fixture.window->findChild<QWidget *>(name);
    QVERIFY(control);
    // What the control fills itself with: list views their base, the rest their own role.
    const bool isList = qobject_cast<QAbstractItemView *>(control);
    const QPalette::ColorRole role = isList ? QPalette::Base : control->backgroundRole();
    QCOMPARE(control->palette().color(role), background);
    if (name == u"Drive1")
        QCOMPARE(control->palette().color(QPalette::Button), background);
    if (text.isValid()) {
        const QPalette::ColorRole textRole = isList ? QPalette::Text : control->foregroundRole();
        QCOMPARE(control->palette().color(textRole), text);
        if (name == u"Drive1")
            QCOMPARE(control->palette().color(QPalette::ButtonText), text);
    }
    // The command buttons keep the style's own colours.
    for (const char *button : {"cmdRefresh", "cmdMake"})
        QCOMPARE(fixture.control<QPushButton>(button)->palette().color(QPalette::Button),
                 QApplication::palette().color(QPalette::Button));
}

void tst_App::startingState()
{
    Fixture fixture;
    frmTrovadex &window = *fixture.window;
    QCOMPARE(window.windowTitle(), u"^Quorvel^ Folimbra"_s);
    QVERIFY(!fixture.control<QPushButton>("cmdMake")->isEnabled());
    QCOMPARE(fixture.control<QLabel>("lblPath")->text(), QString());

    fixture.start();
    QCOMPARE(window.windowTitle(), u"Quorvel Folimbra 2002 1.0.1"_s);
    QCOMPARE(fixture.control<QCheckBox>("chkImg")->text(), u"Ver &Imagenes En Página Html"_s);
    QCOMPARE(fixture.control<QCheckBox>("chkView")->text(), u"&Ver Html"_s);
    QCOMPARE(fixture.control<QPushButton>("cmdRefresh")->text(), u"&Actualizar Lista"_s);
    QCOMPARE(fixture.control<QPushButton>("cmdMake")->text(), u"Hacer &HTML"_s);
    QVERIFY(!fixture.control<QCheckBox>("chkImg")->isChecked());
    QVERIFY(!fixture.control<QCheckBox>("chkView")->isChecked());
    for (const char *button : {"cmdRefresh", "cmdMake"}) {
        QVERIFY(!fixture.control<QPushButton>(button)->autoDefault());
        QVERIFY(!fixture.control<QPushButton>(button)->isDefault());
    }
    QCOMPARE(QApplication::focusWidget(), fixture.control<QWidget>("Drive1"));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(window.windowIcon().availableSizes(), (QList<QSize>{{32, 32}, {16, 16}}));

    auto *menu = fixture.control<QMenu>("opciones");
    QCOMPARE(menu->title(), u"Opciones"_s);
    QStringList items;
    for (QAction *action : menu->actions())
        items << action->objectName() + u'=' + action->text() + u'='
                     + action->shortcut().toString(QKeySequence::PortableText);
    QCOMPARE(items, (QStringList{u"Ayuda=Ayuda=Ctrl+F1"_s, u"agra=Agradecimientos...=Ctrl+F2"_s,
                                 u"sale=Salir=Ctrl+S"_s}));
    QVERIFY(fixture.boxes.seen.isEmpty());
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
    fixture.control<QWidget>("Drive1")->setFocus();
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
    QWidget *focus = fixture.control<QWidget>("Dir1");
    focus->setFocus();
    auto *chkImg = fixture.control<QCheckBox>("chkImg");
    auto *chkView = fixture.control<QCheckBox>("chkView");

    const qsizetype before = fixture.refreshes->count();
    QTest::keyClick(focus, Qt::Key_A, Qt::AltModifier);
    QTRY_COMPARE(fixture.refreshes->count(), before + 1);

    QTest::keyClick(focus, Qt::Key_I, Qt::AltModifier);
    QTest::keyClick(focus, Qt::Key_V, Qt::AltModifier);
    QTest::keyClick(focus, Qt::Key_H, Qt::AltModifier);
    if (enabled) {
        QTRY_VERIFY(chkImg->isChecked());
        QTRY_VERIFY(chkView->isChecked());
        QTRY_VERIFY(fixture.drive.exists("fotos/Quorvel-Html_index.html"));
        QCOMPARE(fixture.opener.opened.size(), 1);
    } else {
        QTest::qWait(300); // an access key clicks a tenth of a second later: give it time to
        QVERIFY(!chkImg->isChecked());
        QVERIFY(!chkView->isChecked());
        QVERIFY(!fixture.drive.exists("vacia/Quorvel-Html_index.html"));
    }
    QVERIFY(fixture.boxes.seen.isEmpty());
}

void tst_App::menuAndShortcutShowTheSameBox_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("start");

    QTest::newRow("help") << u"Ayuda"_s << int(Qt::Key_F1) << helpText();
    QTest::newRow("acknowledgement")
        << u"agra"_s << int(Qt::Key_F2) << u"El Autor De Este Programa Lleva Sin Fumar, "_s;
}

void tst_App::menuAndShortcutShowTheSameBox()
{
    QFETCH(QString, item);
    QFETCH(int, key);
    QFETCH(QString, start);

    Fixture fixture;
    fixture.start();
    fixture.window->findChild<QAction *>(item)->trigger();
    QCOMPARE(fixture.boxes.seen.size(), 1);
    // As a window manager would after a modal box.
    fixture.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(fixture.window.get()));
    QTest::keyClick(fixture.window.get(), Qt::Key(key), Qt::ControlModifier);
    QCOMPARE(fixture.boxes.seen.size(), 2);

    for (const SeenBox &box : std::as_const(fixture.boxes.seen)) {
        QCOMPARE(box.title, u"^Quorvel^ Folimbra"_s);
        QCOMPARE(box.icon, QMessageBox::NoIcon);
        QVERIFY2(box.text.startsWith(start), qPrintable(box.text));
    }
    QCOMPARE(fixture.boxes.seen.at(0).text, fixture.boxes.seen.at(1).text);
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
    auto *chkImg = fixture.control<QCheckBox>("chkImg");
    fixture.open(fixture.drive.path() + u"fotos"_s);
    chkImg->setChecked(true);

    fixture.openFromRoot(folder);
    const QString expectedPath = fixture.drive.path() + (folder.isEmpty() ? u""_s : folder + u'/');
    QCOMPARE(fixture.window->currentPath(), expectedPath);
    QCOMPARE(fixture.control<QLabel>("lblPath")->text(), expectedPath);
    QCOMPARE(fixture.control<QLabel>("lblFCount")->text(), QString::number(count));
    QCOMPARE(fixture.control<FileListBox>("File1")->ListCount(), count);
    for (const char *name : {"cmdMake", "chkView", "chkImg"})
        QCOMPARE(fixture.control<QWidget>(name)->isEnabled(), count > 0);
    QVERIFY(fixture.control<QWidget>("cmdRefresh")->isEnabled());
    QVERIFY(chkImg->isChecked());
    QVERIFY(fixture.boxes.seen.isEmpty());
}

void tst_App::loadRefreshes_data()
{
    QTest::addColumn<QByteArray>("startFolder");
    QTest::addColumn<int>("refreshes");

    QTest::newRow("elsewhere on the drive") << QByteArray("fotos/viaje") << 2;
    QTest::newRow("at the drive's root") << QByteArray("") << 1;
}

void tst_App::loadRefreshes()
{
    QFETCH(QByteArray, startFolder);
    QFETCH(int, refreshes);

    Fixture fixture(startFolder);
    QCOMPARE(fixture.control<DirListBox>("Dir1")->Path(),
             QDir::cleanPath(fixture.drive.path() + QString::fromUtf8(startFolder)));
    fixture.start();
    QCOMPARE(fixture.refreshes->count(), refreshes);
    QCOMPARE(fixture.window->currentPath(), fixture.drive.path());
    QCOMPARE(fixture.control<QLabel>("lblFCount")->text(), u"1"_s);
    QCOMPARE(fixture.control<DriveListBox>("Drive1")->Drive(), fixture.root());
}

void tst_App::refreshButtonRereads()
{
    Fixture fixture;
    fixture.start();
    fixture.openFromRoot(u"vacia"_s);
    QVERIFY(!fixture.control<QWidget>("cmdMake")->isEnabled());
    QVERIFY(fixture.drive.addFile("vacia/nuevo.txt"));
    QVERIFY(fixture.drive.addFile("vacia/otro.txt"));

    fixture.control<QPushButton>("cmdRefresh")->click();
    QCOMPARE(fixture.control<QLabel>("lblFCount")->text(), u"2"_s);
    QVERIFY(fixture.control<QWidget>("cmdMake")->isEnabled());
}

void tst_App::unreadableFolderKeepsTheWindow()
{
    Fixture fixture;
    fixture.start();
    fixture.open(fixture.drive.path() + u"fotos"_s);
    const qsizetype refreshes = fixture.refreshes->count();
    // Tests run as root, whom no permission stops: the folder goes away instead.
    QVERIFY(QDir(fixture.drive.path() + u"fotos/viaje"_s).removeRecursively());

    fixture.open(fixture.drive.path() + u"fotos/viaje"_s);
    QCOMPARE(fixture.boxes.seen.size(), 1);
    QCOMPARE(fixture.boxes.seen.at(0).title, u"Pelvorn"_s);
    QCOMPARE(fixture.boxes.seen.at(0).text,
             u"No se pudo leer la carpeta «%1fotos/viaje»: no existe."_s.arg(fixture.drive.path()));
    QVERIFY(fixture.window->isVisible());
    QVERIFY(!fixture.programEnded);
    QCOMPARE(fixture.refreshes->count(), refreshes);
    QCOMPARE(fixture.control<DirListBox>("Dir1")->Path(), fixture.drive.path() + u"fotos"_s);
    QCOMPARE(fixture.window->currentPath(), fixture.drive.path() + u"fotos/"_s);
    QCOMPARE(fixture.control<QLabel>("lblFCount")->text(), u"3"_s);
}

void tst_App::driveThatWentAway()
{
    Fixture fixture;
    fixture.start();
    fixture.open(fixture.drive.path() + u"fotos"_s);
    auto *drive = fixture.control<DriveListBox>("Drive1");
    QCOMPARE(drive->currentText(), fixture.root() + u"  [PRUEBA]"_s);

    drive->setCurrentIndex(2);
    Q_EMIT drive->activated(2);
    QCOMPARE(fixture.boxes.seen.size(), 1);
    QCOMPARE(fixture.boxes.seen.at(0).text,
             u"No se pudo leer la carpeta «%1»: no existe."_s.arg(fixture.missing()));
    QCOMPARE(drive->Drive(), fixture.root());
    QCOMPARE(drive->currentIndex(), 1);
    QCOMPARE(fixture.window->currentPath(), fixture.drive.path() + u"fotos/"_s);
    QVERIFY(!fixture.programEnded);

    // Another drive that can be read opens at its root.
    Q_EMIT drive->activated(0);
    QCOMPARE(fixture.control<DirListBox>("Dir1")->Path(), u"/"_s);
    QCOMPARE(fixture.window->currentPath(), u"/"_s);
}

void tst_App::makePage()
{
    Fixture fixture;
    fixture.start();
    fixture.open(fixture.drive.path() + u"fotos"_s);
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
    QCOMPARE(files->ListIndex(), 2);
    QCOMPARE(fixture.window->currentFile(), fixture.drive.path() + u"fotos/IMG_10.jpg"_s);

    fixture.control<QCheckBox>("chkView")->setChecked(true);
    fixture.control<QPushButton>("cmdMake")->click();
    QCOMPARE(fixture.opener.opened,
             QStringList{fixture.drive.path() + u"fotos/Quorvel-Html_index.html"_s});
    QVERIFY(fixture.boxes.seen.isEmpty());
}

void tst_App::makePageFailure()
{
    Fixture fixture;
    fixture.start();
    fixture.open(fixture.drive.path() + u"fotos"_s);
    QVERIFY(fixture.drive.addFolder("fotos/Quorvel-Html_index.html"));
    fixture.control<QCheckBox>("chkView")->setChecked(true);
    fixture.control<QPushButton>("cmdMake")->click();

    QCOMPARE(fixture.boxes.seen.size(), 1);
    QCOMPARE(fixture.boxes.seen.at(0).title, u"Pelvorn"_s);
    QCOMPARE(fixture.boxes.seen.at(0).text,
             u"No se pudo crear la página «%1fotos/Quorvel-Html_index.html»: es una carpeta."_s.arg(
                 fixture.drive.path()));
    QVERIFY(fixture.opener.opened.isEmpty());
    QVERIFY(fixture.window->isVisible());
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
}

void tst_App::closingSteps()
{
    QFETCH(float, start);
    QFETCH(int, steps);
    QFETCH(int, first);
    QFETCH(int, last);

    FakeWindow window;
    window.current = start;
    shrinkWindow(window);
    QCOMPARE(window.asked.size(), steps);
    QCOMPARE(window.asked.first(), first);
    QCOMPARE(window.asked.last(), last);
    QCOMPARE(window.events, steps);
    for (qsizetype i = 1; i < window.asked.size(); ++i)
        QCOMPARE(window.asked.at(i - 1) - window.asked.at(i), 150);
}

// The window system may keep the window taller than asked: the steps still follow the starting
// height, and each centres the window by the height it really has.
void tst_App::closingKeepsCentredAtMinimumHeight()
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
    QVERIFY(tooTall.asked.isEmpty());
    QCOMPARE(tooTall.events, 0);
}

void tst_App::closingWithoutAnimation()
{
    FakeWindow window;
    window.normal = false;
    window.current = 6000;
    shrinkWindow(window);
    QVERIFY(window.asked.isEmpty());
    QCOMPARE(window.events, 0);

    Fixture fixture;
    fixture.start();
    const int height = fixture.window->height();
    fixture.window->showMaximized();
    fixture.window->close();
    QVERIFY(!fixture.window->isVisible());
    QVERIFY(fixture.window->height() >= height);
}

void tst_App::closeByMenuAndShortcut_data()
{
    QTest::addColumn<bool>("byShortcut");
    QTest::newRow("menu") << false;
    QTest::newRow("Ctrl+S") << true;
}

void tst_App::closeByMenuAndShortcut()
{
    QFETCH(bool, byShortcut);

    Fixture fixture;
    fixture.start();
    const int menuHeight = fixture.window->menuBar()->height();
    QSignalSpy resized(fixture.window->windowHandle(), &QWindow::heightChanged);
    if (byShortcut)
        QTest::keyClick(fixture.window.get(), Qt::Key_S, Qt::ControlModifier);
    else
        fixture.window->findChild<QAction *>(u"sale"_s)->trigger();
    QVERIFY(!fixture.window->isVisible());
    // It shrank step by step, down to what it would not go below.
    QVERIFY2(resized.count() > 10, qPrintable(QString::number(resized.count())));
    QVERIFY(fixture.window->height() <= menuHeight + 10);
    QVERIFY(!fixture.programEnded);
}

void tst_App::closeDuringAnimationIsIgnored()
{
    Fixture fixture;
    fixture.start();
    QSignalSpy resized(fixture.window->windowHandle(), &QWindow::heightChanged);
    // Pending when the animation processes events: a second close, which must change nothing.
    QTimer::singleShot(0, fixture.window.get(), [&] { fixture.window->close(); });
    fixture.window->close();
    QVERIFY(!fixture.window->isVisible());
    QVERIFY(resized.count() > 10);
    QVERIFY(fixture.boxes.seen.isEmpty());
}

void tst_App::tooTallToCloseEndsTheProgram()
{
    Fixture fixture;
    fixture.start();
    // 2,200 pixels are 33,000 twips: more than the animation's 16-bit height holds.
    fixture.window->setFixedHeight(2200);
    fixture.window->close();
    QCOMPARE(fixture.boxes.seen.size(), 1);
    QCOMPARE(fixture.boxes.seen.at(0).title, u"Pelvorn"_s);
    QCOMPARE(fixture.boxes.seen.at(0).text,
             u"Error no previsto: Desbordamiento. El programa se cerrará."_s);
    QVERIFY(fixture.programEnded);
    QVERIFY(!fixture.window->isVisible());
}

QTEST_MAIN(tst_App)
#include "tst_app.moc"
