#include "folderlisting.h"
#include "pagewriter.h"
#include "progressline.h"
#include "testfolder.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <cstdlib>
#include <poll.h>

using namespace Qt::StringLiterals;

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a shell command line in root, with $INDEX standing for folimbra-index, $COMPLETION for its
// bash completion and $ROOT for root without its trailing separator.
Run shell(const QString &command, const TestFolder &root)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"INDEX"_s, QStringLiteral(FOLIMBRA_INDEX_PATH));
    environment.insert(u"COMPLETION"_s, QStringLiteral(FOLIMBRA_COMPLETION_PATH));
    environment.insert(u"ROOT"_s, root.path().chopped(1));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(root.path());
    process.start(u"/bin/sh"_s, {u"-c"_s, command});
    if (!process.waitForFinished(60000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

QByteArray page(const QByteArray &folder)
{
    return "$ROOT/" + folder + "Quorvel-Html_index.html\n";
}

// "$ROOT" stands for the folder; a trailing "*" asks only for the start.
void compareOutput(QByteArray actual, QByteArray expected, const TestFolder &root)
{
    expected.replace("$ROOT", root.rawPath().chopped(1));
    if (expected.endsWith('*')) {
        expected.chop(1);
        actual.truncate(expected.size());
    }
    QCOMPARE(actual, expected);
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runs_data();
    void runs();
    void sameBytesAsTheWriter();
    void opensThePage();
    void completion();
    void progressLine_data();
    void progressLine();
    void escapeCodes_data();
    void escapeCodes();
};

void tst_Cli::runs_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArrayList>("pages"); // the folders whose page is written
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    const QByteArray lost = "folimbra-index: No se pudo escribir en la salida estándar: no queda "
                            "espacio en el disco.\n";
    const QByteArray tryHelp = "folimbra-index: «folimbra-index --help» muestra cómo se usa.\n";
    const auto row = [](const char *name, const QString &arguments, int status,
                        const QByteArrayList &pages, const QByteArray &out, const QByteArray &err) {
        QTest::newRow(name) << u"\"$INDEX\" "_s + arguments << status << pages << out << err;
    };

    row("-h", u"-h"_s, 0, {}, "Uso: folimbra-index [OPCIÓN]... CARPETA...\n*", "");
    row("--help", u"--help"_s, 0, {}, "Uso: folimbra-index*", "");
    row("-V", u"-V"_s, 0, {}, "folimbra-index 1.0.1\n", "");
    row("--version", u"--version"_s, 0, {}, "folimbra-index 1.0.1\n", "");
    row("help lost", u"--help >/dev/full"_s, 1, {}, "", lost);
    row("paths lost", u"sub >/dev/full"_s, 1, {"sub/"}, "", lost);
    row("no folder", u"--images --open"_s, 2, {}, "",
        "folimbra-index: falta la CARPETA\n" + tryHelp);
    row("unknown", u"--imagenes sub"_s, 2, {}, "",
        "folimbra-index: opción desconocida: --imagenes\n" + tryHelp);
    row("dash dash", u"-- -qmljsdebugger sub"_s, 1, {"sub/"}, page("sub/"),
        "folimbra-index: No se pudo leer la carpeta «-qmljsdebugger»: no existe.\n");
    row("missing", u"falta sub"_s, 1, {"sub/"}, page("sub/"),
        "folimbra-index: No se pudo leer la carpeta «falta»: no existe.\n");
    row("empty", u"'' sub"_s, 1, {"sub/"}, page("sub/"),
        "folimbra-index: No se pudo leer la carpeta «»: el nombre está vacío.\n");
    row("a file", u"f.txt f.txt/x"_s, 1, {}, "",
        "folimbra-index: No se pudo leer la carpeta «f.txt»: no es una carpeta.\n"
        "folimbra-index: No se pudo leer la carpeta «f.txt/x»: una parte de la ruta no es una "
        "carpeta.\n");
    row("link loop", u"loop"_s, 1, {}, "",
        "folimbra-index: No se pudo leer la carpeta «loop»: demasiados enlaces simbólicos.\n");
    QTest::newRow("page fails") << u"prlimit --fsize=2048 \"$INDEX\" big sub"_s << 1
                                << QByteArrayList{"sub/"} << page("sub/")
                                << "folimbra-index: No se pudo*"_ba;
    QTest::newRow("no current folder")
        << u"mkdir gone && cd gone && rmdir ../gone && \"$INDEX\" . ../sub \"$ROOT/sub\""_s << 1
        << QByteArrayList{"sub/"} << page("sub/")
        << "folimbra-index: No se pudo leer la carpeta «.»: la carpeta actual ya no está "
           "disponible (no existe).\n"
           "folimbra-index: No se pudo leer la carpeta «../sub»: la carpeta actual ya no está "
           "disponible (no existe).\n"_ba;

    row("plain", u"sub"_s, 0, {"sub/"}, page("sub/"), "");
    row("dots", u"./sub/../sub/. sub/"_s, 0, {"sub/"}, page("sub/") + page("sub/"), "");
    row("current", u"."_s, 0, {""}, page(""), "");
    row("link", u"link"_s, 0, {"sub/inner/"}, page("sub/inner/"), "");
    row("link parent", u"link/.."_s, 0, {"sub/"}, page("sub/"), "");
    row("blank", u"'mis fotos' -"_s, 0, {"mis fotos/", "-/"}, page("mis fotos/") + page("-/"), "");
    row("not utf-8", u"\"$(printf 'caf\\351')\""_s, 0, {"caf\xe9/"}, page("caf\xc3\xa9/"), "");
}

// Each folder argument stands alone: a bad one is reported and the others are still written,
// each into the folder the kernel names, and never a page anywhere else.
void tst_Cli::runs()
{
    QFETCH(QString, command);
    QFETCH(int, status);
    QFETCH(QByteArrayList, pages);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    TestFolder root;
    for (const char *folder : {"sub", "sub/inner", "mis fotos", "-", "caf\xe9", "big"})
        QVERIFY(root.addFolder(folder));
    for (int i = 0; i < 100; ++i)
        QVERIFY(root.addFile("big/archivo número " + QByteArray::number(i) + ".txt"));
    QVERIFY(root.addFile("f.txt"));
    QVERIFY(root.addLink("link", "sub/inner"));
    QVERIFY(root.addLink("loop", "loop"));

    const Run run = shell(command, root);
    QCOMPARE(run.status, status);
    compareOutput(run.out, out, root);
    compareOutput(run.err, err, root);
    for (const QByteArray &folder : pages) {
        const QByteArrayList lines = pageLines(root.read(folder + "Quorvel-Html_index.html"));
        QCOMPARE(lines.value(2), "<head><title>" + root.rawPath() + folder + "</title></head>");
    }
    if (!pages.contains(""))
        QVERIFY(!root.exists("Quorvel-Html_index.html"));
    QVERIFY(!QFile::exists(u"/Quorvel-Html_index.html"_s));
}

// The front end adds nothing of its own: only the clock's lines may differ from the library's.
void tst_Cli::sameBytesAsTheWriter()
{
    TestFolder folder;
    QVERIFY(folder.addFile("b.png", 4096));
    QVERIFY(folder.addFile("a b.txt", 100));
    QVERIFY(folder.addFile("IMG_10.JPG", 3000));
    QVERIFY(folder.addFile("IMG_9.JPG", 3000));

    const Run run = shell(u"\"$INDEX\" --images ."_s, folder);
    QCOMPARE(run.status, 0);
    QByteArrayList fromCli = pageLines(folder.read("Quorvel-Html_index.html"));

    FolderFileList files(folder.path());
    QVERIFY(writeIndexPage(folder.path(), files, {true, false}).ok);
    QByteArrayList fromLibrary = pageLines(folder.read("Quorvel-Html_index.html"));

    QCOMPARE(fromCli.size(), 24);
    QCOMPARE(fromLibrary.size(), fromCli.size());
    for (QByteArrayList *lines : {&fromCli, &fromLibrary}) {
        (*lines)[5] = lines->at(5).left(lines->at(5).indexOf(" :: "));
        (*lines)[19] = lines->at(19).left(lines->at(19).indexOf(" en "));
    }
    QCOMPARE(fromCli, fromLibrary);
}

// A stand-in xdg-open first on PATH writes the URL it gets into a FIFO; the URL must be plain
// ASCII and give back the page's own bytes.
void tst_Cli::opensThePage()
{
    TestFolder root;
    const QByteArray folder = "x %\xe9#";
    QVERIFY(root.addFolder(folder));
    QVERIFY(root.addFolder("bin"));
    QVERIFY(::mkfifo((root.rawPath() + "opened").constData(), 0600) == 0);
    QFile script(root.path() + u"bin/xdg-open"_s);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >\"$ROOT/opened\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const int fifo = ::open((root.rawPath() + "opened").constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(fifo >= 0);

    const Run run =
        shell(u"PATH=\"$ROOT/bin:$PATH\" \"$INDEX\" --open \"$(printf 'x %%\\351#')\""_s, root);
    QCOMPARE(run.status, 0);
    pollfd wait = {fifo, POLLIN, 0};
    const bool opened = ::poll(&wait, 1, 10000) == 1;
    char buffer[4096] = {};
    const ssize_t got = opened ? ::read(fifo, buffer, sizeof buffer - 1) : 0;
    ::close(fifo);
    QVERIFY2(opened, "xdg-open was not started");
    QByteArray url(buffer, qMax<ssize_t>(got, 0));
    QVERIFY2(url.startsWith("file:///") && url.endsWith('\n'), url.constData());
    url = url.mid(7).chopped(1);
    QVERIFY2(!QRegularExpression(u"[^!-~]|#"_s).match(QString::fromLatin1(url)).hasMatch(),
             url.constData());
    QCOMPARE(QByteArray::fromPercentEncoding(url),
             root.rawPath() + folder + "/Quorvel-Html_index.html");
}

// The completion offers the options --help lists, and only folders after them.
void tst_Cli::completion()
{
    TestFolder root;
    QVERIFY(root.addFolder("mis fotos"));
    QVERIFY(root.addFolder("-x"));
    QVERIFY(root.addFile("mapa.txt"));
    const auto complete = [&root](const QString &words) {
        return shell(u"bash -c '. \"$COMPLETION\"; COMP_WORDS=(folimbra-index "_s + words
                         + u"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _folimbra_index; "
                           "printf \"%s\\n\" \"${COMPREPLY[@]}\"'"_s,
                     root)
            .out;
    };

    QStringList listed;
    const QString help = QString::fromUtf8(shell(u"\"$INDEX\" --help"_s, root).out);
    for (const QRegularExpressionMatch &match :
         QRegularExpression(u" (-h|-V|--[a-z]+)"_s).globalMatch(help))
        listed << match.captured(1);
    QStringList offered = QString::fromUtf8(complete(u"-"_s)).split(u'\n', Qt::SkipEmptyParts);
    listed.sort();
    offered.sort();
    QCOMPARE(offered, listed);
    QCOMPARE(complete(u"m"_s), "mis fotos\n");
    QCOMPARE(complete(u"-- -"_s), "-x\n");
}

void tst_Cli::progressLine_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QList<qint64>>("times"); // milliseconds since the start, one per update
    QTest::addColumn<QByteArray>("shown");

    QTest::newRow("not a terminal") << false << QList<qint64>{5000} << QByteArray();
    QTest::newRow("too soon") << true << QList<qint64>{0, 999} << QByteArray();
    QTest::newRow("after a second")
        << true << QList<qint64>{0, 1000} << "\r\033[K/c/: 1 de 9 archivos\r\033[K"_ba;
    QTest::newRow("rewritten") << true << QList<qint64>{1200, 3000}
                               << "\r\033[K/c/: 0 de 9 archivos\r\033[K/c/: 1 de 9 archivos"
                                  "\r\033[K"_ba;
}

void tst_Cli::progressLine()
{
    QFETCH(bool, terminal);
    QFETCH(QList<qint64>, times);
    QFETCH(QByteArray, shown);

    char *buffer = nullptr;
    size_t size = 0;
    std::FILE *out = ::open_memstream(&buffer, &size);
    QVERIFY(out);
    {
        ProgressLine progress("/c/", out, terminal);
        for (qsizetype i = 0; i < times.size(); ++i)
            progress.update(i, 9, times.at(i));
        progress.clear();
    }
    std::fclose(out);
    const QByteArray written(buffer, qsizetype(size));
    std::free(buffer);
    QCOMPARE(written, shown);
}

void tst_Cli::escapeCodes_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QByteArray>("term"); // null: unset
    QTest::addColumn<bool>("escapes");

    QTest::newRow("terminal") << true << "xterm"_ba << true;
    QTest::newRow("pipe") << false << "xterm"_ba << false;
    QTest::newRow("dumb") << true << "dumb"_ba << false;
    QTest::newRow("empty") << true << ""_ba << false;
    QTest::newRow("unset") << true << QByteArray() << false;
}

void tst_Cli::escapeCodes()
{
    QFETCH(bool, terminal);
    QFETCH(QByteArray, term);
    QFETCH(bool, escapes);

    int fds[2] = {-1, -1};
    if (terminal) {
        fds[0] = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(fds[0] >= 0 && ::grantpt(fds[0]) == 0 && ::unlockpt(fds[0]) == 0);
        fds[1] = ::open(::ptsname(fds[0]), O_RDWR | O_NOCTTY);
    } else {
        QVERIFY(::pipe(fds) == 0);
    }
    QVERIFY(fds[1] >= 0);
    const QByteArray saved = qgetenv("TERM");
    if (term.isNull())
        qunsetenv("TERM");
    else
        qputenv("TERM", term);
    const bool result = takesEscapeCodes(fds[1]);
    qputenv("TERM", saved);
    ::close(fds[0]);
    ::close(fds[1]);
    QCOMPARE(result, escapes);
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
