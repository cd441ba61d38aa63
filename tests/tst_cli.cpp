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
void compareOutput(const QByteArray &actual, QByteArray expected, const TestFolder &root)
{
    expected.replace("$ROOT", root.rawPath().chopped(1));
    QCOMPARE(expected.endsWith('*') ? actual.left(expected.size() - 1) + '*' : actual, expected);
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
    void progressLine_data();
    void progressLine();
    void escapeCodes_data();
    void escapeCodes();
};

void tst_Cli::runs_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    const QByteArray lost = "folimbra-index: No se pudo escribir en la salida estándar: no queda "
                            "espacio en el disco.\n";
    const QByteArray tryHelp = "folimbra-index: «folimbra-index --help» muestra cómo se usa.\n";
    const QByteArray cannot = "folimbra-index: No se pudo leer la carpeta ";
    const auto row = [](const char *name, const char *command, int status, const QByteArray &out,
                        const QByteArray &err) {
        QTest::newRow(name) << QString::fromUtf8(command) << status << out << err;
    };

    row("-h", R"("$INDEX" -h)", 0, "Uso: folimbra-index [OPCIÓN]... CARPETA...\n*", "");
    row("-V", R"("$INDEX" -V)", 0, "folimbra-index 1.0.1\n", "");
    row("help lost", R"("$INDEX" --help >/dev/full)", 1, "", lost);
    row("paths lost", R"("$INDEX" sub >/dev/full)", 1, "", lost);
    row("no output", R"("$INDEX" sub >&-)", 1, "", lost.left(lost.indexOf("no queda")) + '*');
    row("no folder", R"("$INDEX" --images --open)", 2, "",
        "folimbra-index: falta la CARPETA\n" + tryHelp);
    row("unknown", R"("$INDEX" --imagenes sub)", 2, "",
        "folimbra-index: opción desconocida: --imagenes\n" + tryHelp);
    row("dash dash", R"("$INDEX" -- -qmljsdebugger sub)", 1, page("sub/"),
        cannot + "«-qmljsdebugger»: no existe.\n");
    row("missing", R"("$INDEX" falta sub)", 1, page("sub/"), cannot + "«falta»: no existe.\n");
    row("empty", R"("$INDEX" '' sub)", 1, page("sub/"), cannot + "«»: el nombre está vacío.\n");
    row("a file", R"("$INDEX" f.txt f.txt/x)", 1, "",
        cannot + "«f.txt»: no es una carpeta.\n" + cannot
            + "«f.txt/x»: una parte de la ruta no es una carpeta.\n");
    row("link loop", R"("$INDEX" loop)", 1, "",
        cannot + "«loop»: demasiados enlaces simbólicos.\n");
    row("page fails", R"(mkdir big && seq 100 | (cd big && xargs touch) &&
                         prlimit --fsize=2048 "$INDEX" big sub)",
        1, page("sub/"), "folimbra-index: No se pudo*");
    row("no current folder", R"(mkdir gone && cd gone && rmdir ../gone && "$INDEX" . "$ROOT/sub")",
        1, page("sub/"), cannot + "«.»: la carpeta actual ya no está disponible (no existe).\n");
    // The completion offers what --help lists, and only folders as operands.
    row("complete options",
        R"("$INDEX" --help | grep -Eo ' -(-[a-z-]+|[hVr])' | tr -d ' ' | sort >h &&
            bash -c '. "$COMPLETION"; COMP_WORDS=(i -); COMP_CWORD=1; _folimbra_index
                     printf "%s\n" "${COMPREPLY[@]}"' | sort | diff h -)",
        0, "", "");
    row("complete folders", R"(bash -c '. "$COMPLETION"
            c() { COMP_WORDS=(i "$@"); COMP_CWORD=$#; _folimbra_index; printf "%s\n" "${COMPREPLY[@]}"; }
            c m; c f; c -- -')",
        0, "mis fotos\n\n-\n", "");

    row("plain", R"("$INDEX" sub)", 0, page("sub/"), "");
    row("tree", R"("$INDEX" --recursive --exclude 'caf*' --no-hidden .)", 0,
        page("") + page("-/") + page("mis fotos/") + page("sub/") + page("sub/inner/"), "");
    row("thumbnails",
        R"(printf '\211PNG\15\12\32\12\0\0\0\15IHDR\0\0\0\1\0\0\0\1\10\2\0\0\0\220wS\336\0\0\0\14IDATx\332c\370\317\300\0\0\3\1\1\0\367\3AC\0\0\0\0IEND\256B\140\202' >sub/p.png &&
            "$INDEX" --thumbnails sub && grep -c 'src=".sh_thumbnails/large/.*width=200 height=200 loading=lazy' sub/*.html)",
        0, page("sub/") + "1\n", "");
    row("bad sort", R"("$INDEX" --sort edad sub)", 2, "",
        "folimbra-index: valor no válido para --sort: edad\n" + tryHelp);
    row("no value", R"("$INDEX" sub --exclude)", 2, "",
        "folimbra-index: falta el valor de --exclude\n" + tryHelp);
    row("dots", R"("$INDEX" ./sub/../sub/. sub/)", 0, page("sub/") + page("sub/"), "");
    row("current", R"("$INDEX" .)", 0, page(""), "");
    row("link", R"("$INDEX" link)", 0, page("sub/inner/"), "");
    row("link parent", R"("$INDEX" link/..)", 0, page("sub/"), "");
    row("blank", R"("$INDEX" 'mis fotos' -)", 0, page("mis fotos/") + page("-/"), "");
    row("not utf-8", R"sh("$INDEX" "$(printf 'caf\351')")sh", 0, page("caf\xc3\xa9/"), "");
}

// Each folder argument stands alone: a bad one is reported and the others are still written,
// each into the folder the kernel names, and never a page anywhere else.
void tst_Cli::runs()
{
    QFETCH(QString, command);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    TestFolder root;
    for (const char *folder : {"sub", "sub/inner", "mis fotos", "-", "caf\xe9"})
        QVERIFY(root.addFolder(folder));
    QVERIFY(root.addFile("f.txt") && root.addLink("link", "sub/inner")
            && root.addLink("loop", "loop"));

    const Run run = shell(command, root);
    QCOMPARE(run.status, status);
    compareOutput(run.out, out, root);
    compareOutput(run.err, err, root);
    QCOMPARE(root.exists("Quorvel-Html_index.html"), out.contains(page("")));
    QVERIFY(!QFile::exists(u"/Quorvel-Html_index.html"_s));
}

// The front end adds nothing of its own: only the clock's lines may differ from the library's.
void tst_Cli::sameBytesAsTheWriter()
{
    TestFolder folder;
    QVERIFY(folder.addFile("b.png", 4096) && folder.addFile("a b.txt") && folder.addFile("c.JPG"));
    QCOMPARE(shell(u"\"$INDEX\" --images ."_s, folder).status, 0);
    QByteArrayList fromCli = pageLines(folder.read("Quorvel-Html_index.html"));
    FolderFileList files(folder.path());
    QVERIFY(writeIndexPage(folder.path(), files, {true, false}).ok);
    QByteArrayList fromLibrary = pageLines(folder.read("Quorvel-Html_index.html"));
    QCOMPARE(fromCli.size(), 22);
    for (QByteArrayList *lines : {&fromCli, &fromLibrary}) {
        lines->removeAt(17);
        lines->removeAt(5);
    }
    QCOMPARE(fromCli, fromLibrary);
}

// A stand-in xdg-open first on PATH writes the URL it gets into a FIFO; the URL must be plain
// ASCII and give back the page's own bytes.
void tst_Cli::opensThePage()
{
    TestFolder root;
    QVERIFY(::mkfifo((root.rawPath() + "opened").constData(), 0600) == 0);
    const int fifo = ::open((root.rawPath() + "opened").constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(fifo >= 0);
    const Run run = shell(uR"sh(mkdir bin "$(printf 'x %%\351#')" &&
        printf '#!/bin/sh\nprintf "%%s\\n" "$1" >"$ROOT/opened"\n' >bin/xdg-open &&
        chmod +x bin/xdg-open && PATH="$ROOT/bin:$PATH" "$INDEX" --open x*)sh"_s,
                          root);
    QCOMPARE(run.status, 0);
    pollfd wait = {fifo, POLLIN, 0};
    char buffer[4096] = {};
    const bool opened = ::poll(&wait, 1, 10000) == 1 && ::read(fifo, buffer, 4095) > 0;
    ::close(fifo);
    QVERIFY2(opened, "xdg-open was not started");
    const QByteArray url = QByteArray(buffer).chopped(1);
    QVERIFY2(url.startsWith("file:///") && !url.contains('#')
                 && !QRegularExpression(u"[^!-~]"_s).match(QString::fromLatin1(url)).hasMatch(),
             url.constData());
    QCOMPARE(QByteArray::fromPercentEncoding(url.mid(7)),
             root.rawPath() + "x %\xe9#/Quorvel-Html_index.html");
}

void tst_Cli::progressLine_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<qint64>("elapsed"); // milliseconds
    QTest::addColumn<QByteArray>("shown");

    QTest::newRow("not a terminal") << false << qint64(5000) << QByteArray();
    QTest::newRow("too soon") << true << qint64(999) << QByteArray();
    QTest::newRow("after a second")
        << true << qint64(1000) << "\r\033[K/c/: 7 de 9 archivos\r\033[K"_ba;
}

void tst_Cli::progressLine()
{
    QFETCH(bool, terminal);
    QFETCH(qint64, elapsed);
    QFETCH(QByteArray, shown);

    char *buffer = nullptr;
    size_t size = 0;
    std::FILE *out = ::open_memstream(&buffer, &size);
    ProgressLine progress("/c/", out, terminal);
    progress.update(7, 9, elapsed);
    progress.clear();
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
    QTest::newRow("not a terminal") << false << "xterm"_ba << false;
    QTest::newRow("dumb") << true << "dumb"_ba << false;
    QTest::newRow("unset") << true << QByteArray() << false;
}

void tst_Cli::escapeCodes()
{
    QFETCH(bool, terminal);
    QFETCH(QByteArray, term);
    QFETCH(bool, escapes);

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const int fd = ::open(terminal ? ::ptsname(master) : "/dev/null", O_RDWR | O_NOCTTY);
    const QByteArray saved = qgetenv("TERM");
    term.isNull() ? qunsetenv("TERM") : qputenv("TERM", term);
    const bool result = takesEscapeCodes(fd);
    qputenv("TERM", saved);
    ::close(fd);
    ::close(master);
    QCOMPARE(result, escapes);
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
