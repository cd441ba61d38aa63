#include "captionfont.h"
#include "clock.h"
#include "closinganimation.h"
#include "dirlistbox.h"
#include "drivelistbox.h"
#include "filelistbox.h"
#include "frmtrovadex.h"
#include "layout.h"
#include "messagebox.h"
#include "overflow.h"
#include "testfolder.h"

#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include <sys/syscall.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// Set, the kernel has no watch left to give, as when the user's watches are all taken.
bool noWatches = false;
} // namespace

extern "C" int inotify_init1(int flags)
{
    if (noWatches) {
        errno = EMFILE;
        return -1;
    }
    return int(::syscall(SYS_inotify_init1, flags));
}

namespace {

// A window over a temporary "drive" holding "raiz.txt" and the folders "fotos" (three files
// and the folder "viaje") and "vacia"; the program starts in `current` below the drive's root.
// The fixture is the window's desktop, recording what it opens, and its clock.
class Fixture : public DocumentOpener, public Clock
{
public:
    explicit Fixture(const QByteArray &current = {})
    {
        for (const QByteArray name : {"fotos/", "vacia/", "fotos/viaje/", "fotos/IMG_10.jpg",
                                      "fotos/IMG_2.jpg", "fotos/.oculto", "raiz.txt"})
            QVERIFY(name.endsWith('/') ? drive.addFolder(name) : drive.addFile(name, 3000));
        QVERIFY(QDir::setCurrent(QString::fromUtf8(drive.rawPath() + current)));
        // Each box as its title, icon and text.
        MessageBox::setAnswerer([this](const MessageBox::Box &box) {
            boxes << box.title + u'/' + QString::number(box.icon) + u'/' + box.text;
            onBox();
            return QMessageBox::Ok;
        });
        window = std::make_unique<frmTrovadex>();
        window->setDocumentOpener(this);
        window->setClock(this);
        window->setProgramEnd([this] { programEnded = true; });
        control<DriveListBox>("Drive1")->setVolumeSource([this] { return volumes(); });
    }
    ~Fixture() override
    {
        MessageBox::setAnswerer({});
        QDir::setCurrent(QDir::tempPath());
    }

    void start(const QString &folder = {})
    {
        window->start(folder.isEmpty() ? folder : drive.path() + folder);
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

    template <typename T = QWidget> T *control(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }

    QString root() const { return drive.path().chopped(1); }
    // The system's root, the test drive, and a drive that went away.
    QList<Volume> volumes() const
    {
        return {{u"/"_s, {}}, {root(), u"PRUEBA"_s}, {drive.path() + u"usb"_s, u"USB"_s}};
    }

    // Opens a folder of the folder list (below the drive), as a double click would.
    void openFolder(const QString &folder) const
    {
        auto *dir = control<DirListBox>("Dir1");
        const QModelIndexList rows = dir->model()->match(
            dir->model()->index(0, 0), Qt::UserRole,
            folder.isEmpty() ? root() : drive.path() + folder, 1, Qt::MatchExactly);
        QVERIFY(!rows.isEmpty());
        Q_EMIT dir->itemActivated(dir->item(rows[0].row()));
        // A folder read there and then gives the pointer back.
        if (!dir->isLoading())
            QVERIFY(!QApplication::overrideCursor());
    }

    // The close box: the platform's window asks the window system's way.
    void requestClose() const { window->windowHandle()->close(); }

    bool open(const QString &path) override
    {
        if (openThrows == Throws::Error)
            throw std::runtime_error("sin visor");
        if (openThrows == Throws::Other)
            throw 404;
        opened << path;
        return true;
    }
    QDateTime now() const override { return QDateTime(QDate(2026, 3, 15), QTime(12, 0)); }
    qint64 monotonicNanoseconds() const override { return monotonic; }

    TestFolder drive;
    QStringList opened;
    QStringList boxes;
    std::function<void()> onBox = [] {
    };
    bool programEnded = false;
    enum class Throws {
        Nothing,
        Error,
        Other
    } openThrows = Throws::Nothing;
    qint64 monotonic = 7'000'000'000; // a clock that did not start with the program
    std::unique_ptr<frmTrovadex> window;
};

// A window for the closing animation: it keeps whatever minimum height it is given.
struct FakeWindow : ShrinkingWindow
{
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

    // A folder read off the window's thread, and what is chosen while it loads.
    void loading_data()
    {
        QTest::addColumn<QString>("second"); // chosen while "fotos" loads; "-" for none
        QTest::addColumn<bool>("secondLoads");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("count");
        QTest::newRow("alone") << u"-"_s << false << u"fotos"_s << u"3"_s;
        QTest::newRow("second loads") << u"vacia"_s << true << u"vacia"_s << u"0"_s;
        QTest::newRow("second read") << u"vacia"_s << false << u"vacia"_s << u"0"_s;
        QTest::newRow("shown again") << u""_s << false << u""_s << u"1"_s;
    }
    void loading()
    {
        QFETCH(QString, second);
        QFETCH(bool, secondLoads);
        QFETCH(QString, shown);
        QFETCH(QString, count);
        const qint64 usual = DirListBox::setBackgroundSize(0);
        const auto restore = qScopeGuard([usual] { DirListBox::setBackgroundSize(usual); });
        Fixture fixture;
        fixture.start();
        auto *dir = fixture.control<DirListBox>("Dir1");
        auto *label = fixture.control<QLabel>("lblFCount");
        auto *make = fixture.control<QPushButton>("cmdMake");
        QSignalSpy changes(dir, &DirListBox::Change);
        // A file that comes once the folder is read off the thread is not in the list shown:
        // the folder is not read a second time on the window's thread.
        QObject late;
        bool cameLate = false;
        if (second == u"-") {
            connect(dir, &DirListBox::loadingChanged, &late, [&] {
                if (!dir->isLoading() && !cameLate)
                    cameLate = fixture.drive.addFile("fotos/tarde");
            });
        }
        fixture.openFolder(u"fotos"_s);
        // Unless every helper was busy and it was read at once.
        if (dir->isLoading()) {
            QCOMPARE(label->text(), u"Leyendo…"_s);
            QVERIFY(!make->isEnabled());
            QCOMPARE(dir->Path(), fixture.root());
            QCOMPARE(changes.count(), 0);
        }
        if (second != u"-") {
            if (!secondLoads)
                DirListBox::setBackgroundSize(usual);
            fixture.openFolder(second);
        }
        QTRY_VERIFY(!dir->isLoading());
        // Time for a dropped result to come back, had it not been dropped.
        QTest::qWait(200);
        const QString path = shown.isEmpty() ? fixture.root() : fixture.drive.path() + shown;
        QCOMPARE(dir->Path(), path);
        QCOMPARE(fixture.control<QLabel>("lblPath")->text(), path + u'/');
        QCOMPARE(label->text(), count);
        QCOMPARE(make->isEnabled(), count != u"0");
        QCOMPARE(changes.count(), shown.isEmpty() ? 0 : 1);
        // A folder just opened has no file chosen.
        QCOMPARE(fixture.control<FileListBox>("File1")->ListIndex(), -1);
        QVERIFY(fixture.boxes.isEmpty());
        // Unless every helper was busy and it was read at once.
        if (cameLate) {
            fixture.control<QAbstractButton>("cmdRefresh")->click();
            QCOMPARE(label->text(), u"4"_s);
        }
    }

    // Every text the window shows or speaks, as a person reads it.
    void texts_data()
    {
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, const QString &text) {
            QTest::newRow(name) << text;
        };
        row("title", u"Quorvel Folimbra 2002 1.0.1"_s);
        row("menu", u"Opciones: Ayuda Ctrl+F1, Agradecimientos... Ctrl+F2, Salir Ctrl+S"_s);
        row("chkImg", u"Ver &Imagenes En Página Html"_s);
        row("chkView", u"&Ver Html"_s);
        row("cmdRefresh", u"&Actualizar Lista"_s);
        row("cmdMake", u"Hacer &HTML"_s);
        row("Drive1 spoken", u"Unidades: La unidad cuyas carpetas se muestran"_s);
        row("Dir1 spoken", u"Carpetas: Las carpetas de la unidad; Intro abre la elegida"_s);
        row("File1 spoken", u"Archivos de la carpeta: Los archivos que la página enumera"_s);
        row("lblPath spoken", u"Carpeta abierta: La carpeta donde se escribe la página"_s);
        row("lblFCount spoken", u"Número de archivos: Cuántos archivos tiene la carpeta abierta"_s);
        row("chkImg spoken",
            u"Ver imágenes en la página: Muestra una imagen bajo cada archivo de imagen"_s);
        row("chkView spoken", u"Ver la página: Abre la página terminada en el navegador"_s);
        row("cmdRefresh spoken", u"Actualizar lista: Vuelve a leer los archivos de la carpeta"_s);
        row("cmdMake spoken", u"Hacer HTML: Escribe la página de índice en la carpeta abierta"_s);
        const QString box = u"^Quorvel^ Folimbra/%1/"_s.arg(QMessageBox::NoIcon);
        row("Ayuda",
            box
                + u"Programa folimbra de fotos, música y todo lo que se te ocurra y tengas "
                  "en directorios...\nEmail: folimbra@quorvel.example"_s);
        row("agra",
            box
                + u"El Autor De Este Programa Lleva Sin Fumar, 24 Años, 1 Meses Y 14 Días, "
                  "¡¡ Esperemos Que Continue Sin Hacerlo !! Me Refiero A Fumar Jeje... Dejo "
                  "De Hacerlo El FRIDAY, 1 FEBRUARY 2002, A Las 0 Horas. En Cuanto "
                  "Agradecimientos...\r¡¡ Ahh Si !!, Pos A Toas Y Tos Los Que Useis Este "
                  "Programa... ¡¡ Va Por Vosotr@s !!"_s);
    }

    // The boxes open from the menu item (help) and from the shortcut (acknowledgements).
    void texts()
    {
        QFETCH(QString, text);

        static const QMap<QString, QString> shown = [] {
            QMap<QString, QString> shown;
            Fixture fixture;
            fixture.start();
            shown[u"title"_s] = fixture.window->windowTitle();
            auto *menu = fixture.control<QMenu>("opciones");
            QStringList items;
            for (QAction *action : menu->actions())
                items << action->text() + u' '
                             + action->shortcut().toString(QKeySequence::PortableText);
            shown[u"menu"_s] = menu->title() + u": "_s + items.join(u", "_s);
            for (QWidget *control : fixture.window->centralWidget()->findChildren<QWidget *>()) {
                const QString name = control->objectName();
                if (auto *button = qobject_cast<QAbstractButton *>(control))
                    shown[name] = button->text();
                QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(control);
                if (!name.isEmpty() && spoken)
                    shown[name + u" spoken"_s] = spoken->text(QAccessible::Name) + u": "_s
                                                 + spoken->text(QAccessible::Description);
            }
            menu->actions().at(0)->trigger();
            QTest::keyClick(fixture.window.get(), Qt::Key_F2, Qt::ControlModifier);
            for (qsizetype i = 0; i < fixture.boxes.size(); ++i)
                shown[i ? u"agra"_s : u"Ayuda"_s] = fixture.boxes.at(i);
            return shown;
        }();
        QCOMPARE(shown.value(QString::fromLatin1(QTest::currentDataTag())), text);
    }

    void controls_data()
    {
        QTest::addColumn<int>("points");        // the desktop's font, set once the window is up
        QTest::addColumn<QColor>("background"); // none: the style's, and its frame
        QTest::addColumn<bool>("framed");

        const auto row = [](const char *name, QColor background, bool framed) {
            for (int points : {9, 10, 12, 16})
                QTest::addRow("%s@%d", name, points) << points << background << framed;
        };
        row("Drive1", Layout::pink, true);
        row("Dir1", Layout::yellow, true);
        row("File1", Layout::yellow, true);
        row("lblPath", Layout::pink, true);
        row("lblFCount", Layout::pink, true);
        row("chkImg", Layout::pink, false);
        row("chkView", Layout::pink, false);
        row("cmdRefresh", {}, false);
        row("cmdMake", {}, false);
    }

    // Drawn in its colour, framed or not, inside the window, and with a caption that fits its
    // style's room, at the desktop's usual font and at larger ones, which enlarge the layout.
    void controls()
    {
        QFETCH(int, points);
        QFETCH(QColor, background);
        QFETCH(bool, framed);

        const QFont desktop = QApplication::font();
        const auto restore = qScopeGuard([&] { QApplication::setFont(desktop); });
        Fixture fixture;
        fixture.start();
        QFont font = desktop;
        font.setPointSize(9);
        QApplication::setFont(font);
        QWidget *control = fixture.control(
            qPrintable(QString::fromLatin1(QTest::currentDataTag()).section(u'@', 0, 0)));
        const QRect usual = control->geometry();
        font.setPointSize(points);
        QApplication::setFont(font);
        // Up to 10 points the window keeps its size; above, it grows as the text.
        const double scale = points <= 10 ? 1 : points / 9.0;
        const QRect place = control->geometry();
        for (const auto &[got, drawn] : {std::pair{place.left(), usual.left()},
                                         {place.top(), usual.top()},
                                         {place.right() + 1, usual.right() + 1},
                                         {place.bottom() + 1, usual.bottom() + 1}})
            QVERIFY2(qAbs(got - drawn * scale) <= 1.5, qPrintable(QString::number(got)));
        QVERIFY(control->parentWidget()->rect().contains(place));
        // Neighbours may touch by a pixel, as the form has them; none lies over another.
        for (const QWidget *other :
             control->parentWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (other != control && other->isVisible())
                QVERIFY2(!other->geometry().contains(place.center())
                             && !place.contains(other->geometry().center()),
                         qPrintable(other->objectName()));
        }

        // What fills most of it is its background; a frame, where it has one, is not.
        const QImage image = control->grab().toImage();
        QHash<QRgb, int> counts;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                ++counts[image.pixel(x, y)];
        const QRgb most = std::max_element(counts.cbegin(), counts.cend()).key();
        if (background.isValid()) {
            QCOMPARE(QColor(most), background);
            QCOMPARE(image.pixel(image.width() / 2, 0) != most, framed);
        }

        if (auto *button = qobject_cast<QAbstractButton *>(control)) {
            QStyleOptionButton option;
            option.initFrom(button);
            const QRect room = button->style()->subElementRect(qobject_cast<QCheckBox *>(button)
                                                                   ? QStyle::SE_CheckBoxContents
                                                                   : QStyle::SE_PushButtonContents,
                                                               &option, button);
            const QString caption = QString(button->text()).remove(u'&');
            QVERIFY2(button->fontMetrics().horizontalAdvance(caption) <= room.width(),
                     qPrintable(caption));
            // As large as the desktop asks where it fits; never smaller than at 9 points.
            QVERIFY(button->font().pointSizeF() <= points);
            QVERIFY2(button->font().pointSizeF() >= (points <= 10 ? 7 : 9),
                     qPrintable(QString::number(button->font().pointSizeF())));
        }
    }

    // However little room a layout gives, the captions take the largest half point that fits
    // every one, down to 5 points and no further.
    void captionSizes()
    {
        QFont desktop = QApplication::font();
        desktop.setPointSizeF(9);
        const auto fit = [&](qreal points, double scale) {
            QFont font = desktop;
            font.setPointSizeF(points);
            const auto fits = [&](auto &&control, Layout::Place place) {
                control.setFont(font);
                return control.sizeHint().width() <= Layout::rect(place, scale).width();
            };
            return fits(QCheckBox(Layout::chkImgCaption.toString()), Layout::chkImg)
                   && fits(QCheckBox(Layout::chkViewCaption.toString()), Layout::chkView)
                   && fits(QPushButton(Layout::cmdRefreshCaption.toString()), Layout::cmdRefresh)
                   && fits(QPushButton(Layout::cmdMakeCaption.toString()), Layout::cmdMake);
        };
        bool fitsBelowSix = false;
        bool atFloor = false;
        for (int percent = 100; percent >= 30; percent -= 2) {
            const double scale = percent / 100.0;
            const qreal points = captionFont(desktop, scale).pointSizeF();
            const bool fits = fit(points, scale);
            QVERIFY2(points == 5 || fits, qPrintable(QString::number(percent)));
            QVERIFY2(points == 9 || !fit(points + 0.5, scale),
                     qPrintable(QString::number(percent)));
            fitsBelowSix |= fits && points < 6;
            atFloor |= !fits;
        }
        QVERIFY(fitsBelowSix && atFloor);
    }

    // Started in "fotos": the menu's boxes leave the window up; focus, icon, a fixed size,
    // centred; the open folder highlighted, with the folders above it each a step further in and
    // those inside it a step further still; the open drive list in the box's colours; tab order;
    // the access keys, of which a folder without files disables three, and the page they make.
    void startingState()
    {
        Fixture fixture("fotos");
        frmTrovadex &window = *fixture.window;
        fixture.start(u"fotos"_s);
        QCOMPARE(QApplication::focusWidget(), fixture.control("Drive1"));
        {
            // Made alone, the drive list holds the machine's drives, the current folder's chosen.
            const DriveListBox machine;
            const QList<Volume> volumes = userVolumes();
            QCOMPARE(machine.count(), volumes.size());
            QVERIFY(machine.currentIndex() >= 0);
            QCOMPARE(machine.Drive(), volumeRootOf(QDir::currentPath(), volumes));
            // And a file list made alone shows nothing, with nothing chosen.
            const FileListBox files;
            QCOMPARE(files.ListCount(), 0);
            QCOMPARE(files.ListIndex(), -1);
            // A folder list made alone hands on the files of a folder it opens, from its one read.
            DirListBox folders;
            std::optional<StampedFiles> read;
            connect(&folders, &DirListBox::Change, [&] { read = folders.takeFiles(); });
            QVERIFY(folders.setPath(fixture.drive.path() + u"fotos"_s, nullptr));
            QVERIFY(read);
            QCOMPARE(read->files.count(), 3);
        }
        QCOMPARE(window.windowIcon().availableSizes(), (QList<QSize>{{32, 32}, {16, 16}}));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        // Between the controls, the window is pink too.
        QWidget *client = fixture.control("client");
        QPoint gap(-1, -1);
        for (int y = 0; y < client->height() && gap.x() < 0; ++y)
            for (int x = 0; x < client->width() && gap.x() < 0; ++x)
                gap = client->childAt(x, y) ? gap : QPoint(x, y);
        QCOMPARE(QColor(window.grab().toImage().pixel(client->mapTo(&window, gap))), Layout::pink);
        QVERIFY((window.frameGeometry().center() - window.screen()->geometry().center())
                    .manhattanLength()
                <= 2);
        for (const char *name : {"chkImg", "chkView", "cmdRefresh", "cmdMake"}) {
            auto *button = fixture.control<QAbstractButton>(name);
            auto *push = qobject_cast<QPushButton *>(button);
            QVERIFY(!button->isChecked() && !(push && (push->autoDefault() || push->isDefault())));
        }

        auto *dir = fixture.control<DirListBox>("Dir1");
        QCOMPARE(dir->currentItem()->data(Qt::UserRole).toString(),
                 fixture.drive.path() + u"fotos"_s);
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
        QVERIFY(indents.at(1) > 0);
        for (qsizetype row = 1; row < indents.size(); ++row)
            QCOMPARE(indents.at(row) - indents.at(row - 1), indents.at(1));
        // And drawn so: the deepest folder starts that much to the right of the root.
        const auto inkStarts = [dir](int row) {
            const QImage image =
                dir->viewport()->grab(dir->visualItemRect(dir->item(row))).toImage();
            for (int x = 0; x < image.width(); ++x)
                for (int y = 0; y < image.height(); ++y)
                    if (image.pixel(x, y) != image.pixel(image.width() - 1, y))
                        return x;
            return -1;
        };
        const int deepest = int(indents.size()) - 1;
        QVERIFY(inkStarts(0) >= 0);
        QVERIFY2(qAbs(inkStarts(deepest) - inkStarts(0) - indents.at(deepest)) <= 2,
                 qPrintable(QString::number(inkStarts(deepest) - inkStarts(0))));

        auto *drive = fixture.control<DriveListBox>("Drive1");
        // Pink behind, and the text, antialiased, in blue: in the closed box and the open list.
        const auto blueText = [](const QImage &image) {
            int blue = 0;
            // Navy over pink keeps more blue than red, black or grey never does.
            for (int x = 0; x < image.width(); ++x) {
                const QColor ink = image.pixelColor(x, image.height() / 2);
                blue += ink.red() < 100 && ink.blue() > ink.red();
            }
            return blue > 0 && image.pixelColor(1, image.height() / 2) == QColor(255, 128, 128);
        };
        QVERIFY(blueText(drive->grab(drive->rect().adjusted(2, 2, -24, -2)).toImage()));
        // A screen reader opens the list by the action it is told of, and only by that one.
        QAccessibleActionInterface *actions =
            QAccessible::queryAccessibleInterface(drive)->actionInterface();
        QAbstractItemView *list = drive->view();
        QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::showMenuAction()));
        actions->doAction(QAccessibleActionInterface::setFocusAction());
        QVERIFY(!list->window()->isVisible());
        actions->doAction(QAccessibleActionInterface::showMenuAction());
        QVERIFY(QTest::qWaitForWindowExposed(list->window()));
        QVERIFY(blueText(
            list->viewport()->grab(list->visualRect(list->model()->index(2, 0))).toImage()));
        drive->hidePopup();
        QTRY_COMPARE(QApplication::focusWidget(), drive);

        QStringList visited;
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, (QStringList{u"Dir1"_s, u"File1"_s, u"chkImg"_s, u"chkView"_s,
                                       u"cmdRefresh"_s, u"cmdMake"_s, u"Drive1"_s}));
        for (const QString &folder : {u"vacia"_s, u"fotos"_s}) {
            fixture.openFolder({});
            fixture.openFolder(folder);
            const bool enabled = folder == u"fotos";
            // An access key clicks a moment later, so the page lists a file added meanwhile; Alt+A
            // goes last, once the page is written, so once the list shows that file every click
            // before it has run.
            QSignalSpy written(fixture.window.get(), &frmTrovadex::pageFinished);
            for (Qt::Key key : {Qt::Key_I, Qt::Key_V, Qt::Key_H})
                QTest::keyClick(fixture.control("Dir1"), key, Qt::AltModifier);
            QVERIFY(fixture.drive.addFile(folder.toUtf8() + "/nuevo.txt"));
            QVERIFY(!enabled || written.wait());
            QTest::keyClick(fixture.control("Dir1"), Qt::Key_A, Qt::AltModifier);
            QTRY_COMPARE(fixture.control<QLabel>("lblFCount")->text(), enabled ? u"5"_s : u"1"_s);
            QCOMPARE(fixture.control<QCheckBox>("chkImg")->isChecked(), enabled);
            QCOMPARE(fixture.drive.exists(folder.toUtf8() + "/Quorvel-Html_index.html"), enabled);
        }
        QCOMPARE(fixture.opened,
                 QStringList{fixture.drive.path() + u"fotos/Quorvel-Html_index.html"_s});
        // Four entries, two with their picture.
        QCOMPARE(pageLines(fixture.drive.read("fotos/Quorvel-Html_index.html")).size(), 17 + 4 + 2);
        QCOMPARE(window.currentFile(), fixture.drive.path() + u"fotos/nuevo.txt"_s);
        QVERIFY(fixture.boxes.isEmpty());
    }

    // File1 shows as a mark each character that would let a name pass for another.
    void fileListNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");

        QTest::newRow("plain") << QByteArray("carta.txt") << u"carta.txt"_s;
        QTest::newRow("override") << QByteArray("factura\342\200\256fdp.exe")
                                  << u"factura[U+202E]fdp.exe"_s;
        QTest::newRow("c1 control") << QByteArray("\302\207x") << u"[U+0087]x"_s;
        QTest::newRow("joiner") << QByteArray("a\342\200\215b") << u"a\u200Db"_s;
    }

    void fileListNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);

        TestFolder folder;
        FileListBox list;
        list.setPath(folder.path());
        QVERIFY(folder.addFile(name) && list.Refresh(nullptr));
        QCOMPARE(list.model()->index(0, 0).data().toString(), shown);
    }

    void listState_data()
    {
        QTest::addColumn<QByteArray>("current");
        QTest::addColumn<QString>("given"); // the folder the program is started with
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("opened"); // below the drive, or absolute
        QTest::addColumn<int>("count");      // -1: not known
        QTest::addColumn<QString>("box");    // %1 the drive's path, %2 its root

        // Steps separated by ";".
        const auto row = [](const char *name, const char *current, const char *given,
                            const char *steps, const char *opened, int count,
                            const QString &box = {}) {
            QTest::newRow(name) << QByteArray(current) << QString::fromUtf8(given)
                                << QString::fromUtf8(steps).split(u';', Qt::SkipEmptyParts)
                                << QString::fromUtf8(opened) << count << box;
        };
        const QString gone = u"La carpeta «%1fotos/viaje» ya no existe; se abre «%2»."_s;
        row("at the root", "", "", "", "", 1);
        row("given", "vacia", "fotos", "", "fotos/", 3);
        row("given missing", "vacia", "nada", "", "", 1);
        row("no files", "", "", "open vacia", "vacia/", 0);
        row("other drive", "", "fotos", "drive 0", "/", -1);
        row("file added", "", "vacia", "add vacia/a;click cmdRefresh", "vacia/", 1);
        row("page reads", "", "fotos", "add fotos/a;add fotos/b;click cmdMake", "fotos/", 5);
        row("folder gone", "", "fotos/viaje", "rm fotos/viaje;click cmdRefresh", "fotos/", 3,
            QString(gone).replace(u"%2"_s, u"%1fotos"_s));
        row("two gone", "", "fotos/viaje", "rm fotos;click cmdRefresh", "", 1, gone);
        row("unreadable", "", "fotos", "rm fotos/viaje;open fotos/viaje", "fotos/", 3,
            u"No se pudo leer la carpeta «%1fotos/viaje»: no existe."_s);
        row("drive gone", "", "fotos", "drive 2", "fotos/", 3,
            u"No se pudo leer la carpeta «%1usb»: no existe."_s);
        row("page fails", "", "fotos",
            "mkdir fotos/Quorvel-Html_index.html;click chkView;click cmdMake", "fotos/", 3,
            u"No se pudo crear la página «%1fotos/Quorvel-Html_index.html»: es una carpeta."_s);
        row("viewer throws", "", "fotos", "viewer error", "fotos/", 3,
            u"Error no previsto: sin visor. El programa se cerrará."_s);
        row("viewer throws no error", "", "fotos", "viewer other", "fotos/", 3,
            u"Error no previsto: error desconocido. El programa se cerrará."_s);
        row("gone before page", "", "vacia", "add vacia/a;click cmdRefresh;rm vacia;click cmdMake",
            "vacia/", 1, u"No se pudo leer la carpeta «%1vacia/»: no existe."_s);
        row("too tall", "", "", "tall", "", 1,
            u"Error no previsto: Desbordamiento. El programa se cerrará."_s);
    }

    void listState()
    {
        QFETCH(QByteArray, current);
        QFETCH(QString, given);
        QFETCH(QStringList, steps);
        QFETCH(QString, opened);
        QFETCH(int, count);
        QFETCH(QString, box);

        Fixture fixture(current);
        fixture.start(given);
        auto *drive = fixture.control<DriveListBox>("Drive1");
        fixture.control<QCheckBox>("chkImg")->setChecked(true);
        for (const QString &step : std::as_const(steps)) {
            const QString verb = step.section(u' ', 0, 0), what = step.section(u' ', 1);
            QSignalSpy finished(fixture.window.get(), &frmTrovadex::pageFinished);
            if (verb == u"open") {
                fixture.openFolder(what);
            } else if (verb == u"add" || verb == u"mkdir") {
                QVERIFY(verb == u"add" ? fixture.drive.addFile(what.toUtf8())
                                       : fixture.drive.addFolder(what.toUtf8()));
            } else if (verb == u"rm") {
                QVERIFY(QDir(fixture.drive.path() + what).removeRecursively());
            } else if (verb == u"click") {
                fixture.control<QAbstractButton>(qPrintable(what))->click();
                QVERIFY(what != u"cmdMake" || finished.wait());
            } else if (verb == u"drive") {
                drive->setCurrentIndex(what.toInt());
                Q_EMIT drive->activated(what.toInt());
            } else if (verb == u"viewer") {
                // What the page's viewer throws once the page is written ends the program.
                fixture.openThrows =
                    what == u"error" ? Fixture::Throws::Error : Fixture::Throws::Other;
                fixture.control<QCheckBox>("chkView")->setChecked(true);
                const int height = fixture.window->height();
                fixture.control<QAbstractButton>("cmdMake")->click();
                QTRY_VERIFY(fixture.programEnded && !fixture.window->isVisible());
                // Closed at once: the window is not shrunk away after the box.
                QCOMPARE(fixture.window->height(), height);
            } else if (verb == u"tall") {
                // 2,200 pixels are 33,000 twips: more than the animation's 16-bit height holds.
                fixture.window->setFixedHeight(2200);
                fixture.window->close();
                QTRY_VERIFY(fixture.programEnded);
            } else {
                QFAIL(qPrintable(u"unknown step: "_s + step));
            }
        }

        const QString path = opened.startsWith(u'/') ? opened : fixture.drive.path() + opened;
        auto *label = fixture.control<QLabel>("lblPath");
        const auto spoken = [](QWidget *control) {
            return QAccessible::queryAccessibleInterface(control)->text(QAccessible::Value);
        };
        QCOMPARE((QStringList{fixture.window->currentPath(), label->text(), label->toolTip(),
                              spoken(label)}),
                 QStringList(4, path));
        const QString shown = fixture.control<QLabel>("lblFCount")->text();
        QCOMPARE(spoken(fixture.control("lblFCount")), shown);
        QCOMPARE(shown,
                 QString::number(count < 0 ? fixture.control<FileListBox>("File1")->ListCount()
                                           : count));
        for (const char *name : {"cmdMake", "chkView", "chkImg"})
            QCOMPARE(fixture.control(name)->isEnabled(), shown != u"0");
        QVERIFY(fixture.control("cmdRefresh")->isEnabled()
                && fixture.control<QCheckBox>("chkImg")->isChecked());
        QCOMPARE(drive->Drive(), path.startsWith(fixture.drive.path()) ? fixture.root() : u"/"_s);
        box.replace(u"%1"_s, fixture.drive.path()).replace(u"%2"_s, fixture.root());
        QCOMPARE(fixture.boxes,
                 box.isEmpty() ? QStringList()
                               : QStringList{u"Pelvorn/%1/"_s.arg(QMessageBox::Warning) + box});
        QCOMPARE(fixture.window->isVisible(), !fixture.programEnded);
        QVERIFY(fixture.opened.isEmpty());
    }

    void closingSteps_data()
    {
        QTest::addColumn<float>("start"); // 0: not in the normal state
        QTest::addColumn<float>("minimum");
        QTest::addColumn<QList<int>>("heights"); // first and last asked for, and the count

        QTest::newRow("301") << 301.f << 0.f << QList<int>{151, 1, 2};
        QTest::newRow("150 runs once") << 150.f << 0.f << QList<int>{0, 0, 1};
        QTest::newRow("half to even up") << 6001.5f << 0.f << QList<int>{5852, 2, 40};
        QTest::newRow("16-bit top") << 32767.f << 0.f << QList<int>{32617, 67, 218};
        QTest::newRow("kept taller") << 6000.f << 4000.f << QList<int>{5850, 150, 39};
        QTest::newRow("not normal") << 0.f << 0.f << QList<int>{};
        QTest::newRow("16-bit overflow") << 32768.f << 0.f << QList<int>{};
    }

    void closingSteps()
    {
        QFETCH(float, start);
        QFETCH(float, minimum);
        QFETCH(QList<int>, heights);

        FakeWindow window;
        window.normal = start > 0;
        window.current = start > 0 ? start : 6000;
        window.minimum = minimum;
        if (start > 32767.f)
            QVERIFY_THROWS_EXCEPTION(OverflowError, shrinkWindow(window));
        else
            shrinkWindow(window);
        QCOMPARE(window.events, window.asked.size());
        const QList<int> &asked = window.asked;
        QCOMPARE(asked.isEmpty() ? asked
                                 : (QList<int>{asked.first(), asked.last(), int(asked.size())}),
                 heights);
        for (qsizetype i = 1; i < asked.size(); ++i)
            QCOMPARE(asked.at(i - 1) - asked.at(i), 150);
        // Each step centres the window by the height it really has.
        if (!asked.isEmpty())
            QCOMPARE(window.tops.last(), (9000.f - qMax(float(heights.at(1)), minimum)) / 2);
    }

    void closeRequests_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("Salir") << 0;
        QTest::newRow("close box") << 2;
        QTest::newRow("maximised") << 3;
    }

    // The first request only starts the closing; requests while the window shrinks, one of them
    // while a box is up, change nothing; the window goes once it has shrunk.
    void closeRequests()
    {
        QFETCH(int, how);

        Fixture fixture;
        fixture.start();
        frmTrovadex *window = fixture.window.get();
        const int height = window->height();
        if (how == 3)
            window->showMaximized();
        // A request that closed the window at once would stop it at the fifth step.
        int steps = 0;
        connect(window->windowHandle(), &QWindow::heightChanged, window, [&] {
            if (++steps == 5 && how != 3) {
                fixture.requestClose();
                window->findChild<QAction *>(u"Ayuda"_s)->trigger();
            }
        });
        fixture.onBox = [&] {
            fixture.requestClose();
        };
        if (how == 0)
            window->findChild<QAction *>(u"sale"_s)->trigger();
        else
            fixture.requestClose();
        QVERIFY(window->isVisible());
        QTRY_VERIFY(!window->isVisible());

        QCOMPARE(fixture.boxes.size(), how == 3 ? 0 : 1);
        QVERIFY2(how == 3 ? window->height() >= height
                          : steps > 10 && window->height() < height / 4,
                 qPrintable(QString::number(steps)));
        QVERIFY(!fixture.programEnded);
    }

    void pageRun_data()
    {
        QTest::addColumn<int>("files");
        // What is done on seeing the progress; "at once": the window is closed at the click.
        QTest::addColumn<QString>("then");
        // The dialog's text first and last; where it shows, a second has gone by at the first
        // report.
        QTest::addColumn<QStringList>("shown");

        const QString text = u"Escribiendo la página: %1 de 4.200 archivos"_s;
        QTest::newRow("few files") << 1000 << QString() << QStringList();
        QTest::newRow("many files")
            << 4199 << QString() << QStringList{text.arg(0), text.arg(u"4.200"_s)};
        QTest::newRow("cancelled") << 4199 << u"Cancelar"_s << QStringList{text.arg(0)};
        QTest::newRow("closed") << 4199 << u"close"_s << QStringList{text.arg(0)};
        QTest::newRow("Salir") << 4199 << u"Ctrl+S"_s << QStringList{text.arg(0)};
        QTest::newRow("at once") << 4199 << u"at once"_s << QStringList();
    }

    // The page is written beside the window's own work, under no modal box, which would keep
    // close requests from the window; a run stopped frees the window at once and leaves the old
    // page as it was, nothing of the new one behind.
    void pageRun()
    {
        QFETCH(int, files);
        QFETCH(QString, then);
        QFETCH(QStringList, shown);

        // Thousands of files take long to make: the rows share them, each with an old page.
        static TestFolder folders;
        static const bool made = [] {
            bool made = folders.addFolder("few") && folders.addFolder("many");
            for (int i = 0; i < 4199 && made; ++i)
                made = (i >= 1000 || folders.addFile("few/f" + QByteArray::number(i)))
                       && folders.addFile("many/f" + QByteArray::number(i));
            return made;
        }();
        const QString written =
            folders.path() + (files > 4096 ? u"many"_s : u"few"_s) + u"/Quorvel-Html_index.html"_s;
        const QByteArray page = written.mid(folders.path().size()).toUtf8(), old = "<vieja/>";
        QVERIFY(made && folders.addFile(page) && folders.append(page, old));
        Fixture fixture;
        fixture.start();
        QVERIFY(
            fixture.control<DirListBox>("Dir1")->setPath(written.section(u'/', 0, -2), nullptr));
        frmTrovadex *window = fixture.window.get();
        fixture.control<QCheckBox>("chkView")->setChecked(true);
        fixture.control("Dir1")->setFocus();

        QStringList texts;
        QPointer<QProgressDialog> dialog;
        connect(window, &frmTrovadex::pageProgressShown, window, [&] {
            dialog = window->findChild<QProgressDialog *>();
            QVERIFY(dialog && dialog->isVisible() && !QGuiApplication::modalWindow());
            texts << dialog->labelText();
            if (then == u"Cancelar") {
                QPushButton *const cancel = dialog->findChild<QPushButton *>();
                QVERIFY(cancel && cancel->text() == then);
                cancel->click();
            } else if (then == u"close") {
                fixture.requestClose();
            } else if (then == u"Ctrl+S") {
                QTest::keyClick(dialog, Qt::Key_S, Qt::ControlModifier);
            }
        });
        connect(window, &frmTrovadex::pageFinished, window, [&] {
            if (dialog && then.isEmpty())
                texts << dialog->labelText();
        });
        QSignalSpy finished(window, &frmTrovadex::pageFinished);
        const char *controls[] = {"Drive1", "Dir1", "chkImg", "chkView", "cmdRefresh", "cmdMake"};
        fixture.control<QPushButton>("cmdMake")->click();
        for (const char *name : controls)
            QVERIFY(!fixture.control(name)->isEnabled());
        const auto offered = [window](const QString &action) {
            return window->findChild<QAction *>(action)->isEnabled();
        };
        // No message box may come up over a run and keep a close from the window.
        QVERIFY(!offered(u"Ayuda"_s) && !offered(u"agra"_s));
        if (then == u"at once") {
            window->close();
            QCOMPARE(finished.size(), 1);
        }
        // The progress comes up once a second has passed, not only after it.
        if (!shown.isEmpty())
            fixture.monotonic += 1'000'000'000;
        QTRY_COMPARE(finished.size(), 1);

        QCOMPARE(texts, shown);
        for (const char *name : controls)
            QVERIFY(fixture.control(name)->isEnabled());
        QVERIFY(offered(u"Ayuda"_s) && offered(u"agra"_s));
        if (!then.isEmpty() && then != u"Cancelar")
            QTRY_VERIFY(!window->isVisible());
        else
            QCOMPARE(window->focusWidget(), fixture.control("Dir1"));
        QVERIFY(fixture.boxes.isEmpty());
        QCOMPARE(fixture.opened, then.isEmpty() ? QStringList{written} : QStringList());
        QVERIFY(PageRunner::waitForWriters(std::chrono::seconds(10)));
        QCOMPARE(QDir(written.section(u'/', 0, -2))
                     .entryList({u".Quorvel-Html_index.html.*"_s}, QDir::Hidden | QDir::Files),
                 QStringList());
        const QByteArray bytes = folders.read(page);
        QCOMPARE(bytes == old, !then.isEmpty());
        QCOMPARE(bytes.count("<p><a href="), then.isEmpty() ? files : 0);
        if (then.isEmpty()) {
            // The old page sorts last: the run ends on it, and the list shows it.
            QCOMPARE(fixture.control<FileListBox>("File1")->currentIndex().row(), files);
            QCOMPARE(window->currentFile(), written);
        }
    }
    // A run ends on the last file of the list and leaves it chosen, the first when it is the only
    // one: the list as it was read, without the page that was not there yet.
    void runEndsOnOnlyFile()
    {
        Fixture fixture;
        fixture.start(u"vacia"_s);
        QVERIFY(fixture.drive.addFile("vacia/zeta.txt"));
        fixture.control<QAbstractButton>("cmdRefresh")->click();
        QSignalSpy finished(fixture.window.get(), &frmTrovadex::pageFinished);
        fixture.control<QAbstractButton>("cmdMake")->click();
        QVERIFY(finished.wait());
        const auto *files = fixture.control<FileListBox>("File1");
        QCOMPARE(files->ListCount(), 1);
        QCOMPARE(files->currentIndex().row(), 0);
        QVERIFY(files->selectionModel()->isRowSelected(0, {}));
        QCOMPARE(fixture.window->currentFile(), fixture.drive.path() + u"vacia/zeta.txt"_s);
    }

    // A page takes the files the window shows while the folder is as it was when they were read,
    // and reads the folder again once it may have changed. A page put in place over the one
    // listed, as every run does, changes no name.
    void pageTakesShownFiles_data()
    {
        QTest::addColumn<bool>("watched"); // false: no descriptor left for the kernel's watch
        QTest::addColumn<bool>("settled"); // the folder's last change well before the read
        QTest::addColumn<bool>("pageBefore");
        QTest::addColumn<bool>("replaced"); // the page put in place again after the read
        QTest::addColumn<QByteArray>("added");
        QTest::addColumn<QByteArray>("removed");
        QTest::addColumn<bool>("reused");

        const QByteArray page = "Quorvel-Html_index.html", none;
        for (const bool watched : {true, false}) {
            const auto row = [watched](const char *name) -> QTestData & {
                return QTest::addRow("%s%s", watched ? "" : "unwatched, ", name) << watched;
            };
            row("unchanged") << true << false << false << none << none << true;
            row("just changed") << false << false << false << none << none << false;
            row("file added") << true << false << false << QByteArray("c.txt") << none << false;
            row("file gone") << true << false << false << none << QByteArray("a.txt") << false;
            // Without a watch only the folder's times tell, and a page put in place changes them.
            row("page replaced") << true << true << true << none << none << watched;
            row("page made") << true << false << false << page << none << false;
            row("page gone") << true << true << false << none << page << false;
            row("replaced, file added")
                << true << true << true << QByteArray("c.txt") << none << false;
            row("temporary left") << true << true << false
                                  << QByteArray(".Quorvel-Html_index.html.1x") << none << false;
        }
    }

    void pageTakesShownFiles()
    {
        QFETCH(bool, watched);
        QFETCH(bool, settled);
        QFETCH(bool, pageBefore);
        QFETCH(bool, replaced);
        QFETCH(QByteArray, added);
        QFETCH(QByteArray, removed);
        QFETCH(bool, reused);

        const QByteArray page = "Quorvel-Html_index.html";
        TestFolder folder;
        QVERIFY(folder.addFile("a.txt") && folder.addFile("b.txt"));
        if (pageBefore)
            QVERIFY(folder.addFile(page));
        if (settled)
            QTest::qSleep(150);
        FileListBox list;
        list.setPath(folder.path());
        noWatches = !watched;
        const bool read = list.Refresh(nullptr);
        noWatches = false;
        QVERIFY(read);
        const StampedFiles shown = list.stampedFiles();
        if (replaced) {
            // As a page run puts its page in place: complete under a hidden name, then renamed.
            QVERIFY(folder.addFile(".Quorvel-Html_index.html.2z", 10));
            const QByteArray at = QFile::encodeName(folder.path());
            QCOMPARE(std::rename(at + ".Quorvel-Html_index.html.2z", at + page), 0);
        }
        if (!added.isEmpty())
            QVERIFY(folder.addFile(added));
        if (!removed.isEmpty())
            QVERIFY(QFile::remove(folder.path() + QString::fromUtf8(removed)));

        QWidget window;
        PageRunner runner(&window, &Clock::system());
        std::optional<PageRunner::Outcome> outcome;
        connect(&runner, &PageRunner::finished, &runner,
                [&outcome](const PageRunner::Outcome &ended) { outcome = ended; });
        runner.start(folder.path(), shown, {});
        QTRY_VERIFY(outcome.has_value());
        QVERIFY(outcome->result.ok() && outcome->files);
        QCOMPARE(outcome->files->files.sameRead(shown.files), reused);
        // Names as they were when the page began; the page leaves itself and its temporaries out.
        QSet<QByteArray> names{"a.txt", "b.txt"};
        if (pageBefore || replaced)
            names.insert(page);
        if (!added.isEmpty())
            names.insert(added);
        names.remove(removed);
        QCOMPARE(outcome->files->files.count(), names.size());
        const qsizetype pageLines =
            names.size() - names.contains(page) - added.startsWith("." + page);
        QCOMPARE(folder.read(page).count("<p><a href="), pageLines);
    }
};

QTEST_MAIN(tst_App)
#include "tst_app.moc"
