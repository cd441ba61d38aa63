#include "folderlisting.h"
#include "options.h"
#include "pagewriter.h"
#include "progressline.h"
#include "testfolder.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <cstdlib>
#include <signal.h>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Runs a shell command line in root, with $INDEX standing for folimbra-index, $WINDOW for
// folimbra, $COMPLETION for its
// bash completion and $ROOT for root without its trailing separator; gives the exit status, the
// standard output and the standard error.
QByteArrayList shell(const QString &command, const TestFolder &root)
{
    QProcess process;
    process.setEnvironment(QProcess::systemEnvironment()
                           << QStringLiteral("INDEX=" FOLIMBRA_INDEX_PATH)
                           << QStringLiteral("WINDOW=" FOLIMBRA_WINDOW_PATH)
                           << QStringLiteral("COMPLETION=" FOLIMBRA_COMPLETION_PATH)
                           << u"ROOT="_s + root.path().chopped(1));
    process.setWorkingDirectory(root.path());
    // A group of its own, so that a line that hangs is stopped with all it started, not only the
    // shell: an orphan left spinning would slow every test after it.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    process.start(u"/bin/sh"_s, {u"-c"_s, command});
    const bool finished = process.waitForFinished(60000);
    if (!finished && process.processId() > 0) {
        ::kill(-pid_t(process.processId()), SIGKILL);
        process.waitForFinished();
    }
    const bool exited = finished && process.exitStatus() == QProcess::NormalExit;
    return {QByteArray::number(exited ? process.exitCode() : -1), process.readAllStandardOutput(),
            process.readAllStandardError()};
}

QByteArray page(const QByteArray &folder)
{
    return "$ROOT/" + folder + "Quorvel-Html_index.html\n";
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runs_data();
    void runs();
    void help_data();
    void help();
    void update_data();
    void update();
    void sameBytesAsTheWriter();
    void opensThePage();
    void progressLine_data();
    void progressLine();
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

    row("-V", R"("$INDEX" -V)", 0, "folimbra-index (Quorvel Folimbra) 1.0.1\nCopyright*", "");
    row("help lost", R"("$INDEX" --help >/dev/full)", 1, "", lost);
    row("no output", R"("$INDEX" sub >&-)", 1, "", lost.left(lost.indexOf("no queda")) + '*');
    row("no folder", R"("$INDEX" --images --open)", 2, "",
        "folimbra-index: falta la CARPETA\n" + tryHelp);
    // Option forms: getopt's own, and a hint for what it refuses.
    const QByteArray subPage = page("sub/");
    row("unknown", R"("$INDEX" --imagenes sub)", 2, "",
        "folimbra-index: opción desconocida: --imagenes\nfolimbra-index: ¿quería decir --images?\n"
            + tryHelp);
    row("unknown far", R"("$INDEX" --color sub)", 2, "",
        "folimbra-index: opción desconocida: --color\n" + tryHelp);
    // The end of an option is not near it: its first letters count as much as its last.
    row("unknown tail", R"("$INDEX" --sive sub)", 2, "",
        "folimbra-index: opción desconocida: --sive\n" + tryHelp);
    row("one dash", R"("$INDEX" -sort date sub)", 2, "",
        "folimbra-index: opción desconocida: -s\nfolimbra-index: ¿quería decir --sort?\n"
            + tryHelp);
    row("unknown short", R"("$INDEX" -rx sub)", 2, "",
        "folimbra-index: opción desconocida: -x\n" + tryHelp);
    // getopt has gone past the last argument, the one the letter came in.
    row("unknown short last", R"("$INDEX" sub -rx)", 2, "",
        "folimbra-index: opción desconocida: -x\n" + tryHelp);
    row("ambiguous", R"("$INDEX" --re sub)", 2, "",
        "folimbra-index: opción ambigua: --re (puede ser --recursive, --reverse)\n" + tryHelp);
    row("value refused", R"("$INDEX" --reverse=1 sub)", 2, "",
        "folimbra-index: la opción --reverse no lleva valor\n" + tryHelp);
    row("value missing", R"("$INDEX" sub --sor)", 2, "",
        "folimbra-index: falta el valor de --sort\n" + tryHelp);
    // Two neighbouring keys missed.
    row("near key", R"("$INDEX" --sort=tskem sub)", 2, "",
        "folimbra-index: valor no válido para --sort: tskem\nfolimbra-index: ¿quería decir "
        "taken?\n"
            + tryHelp);
    // Two swaps: four edits without them, too far for a guess.
    row("near key, letters swapped", R"("$INDEX" --sort=atkne sub)", 2, "",
        "folimbra-index: valor no válido para --sort: atkne\nfolimbra-index: ¿quería decir "
        "taken?\n"
            + tryHelp);
    row("near key, three letters", R"("$INDEX" --sort=siz sub)", 2, "",
        "folimbra-index: valor no válido para --sort: siz\nfolimbra-index: ¿quería decir size?\n"
            + tryHelp);
    // The classic page has no place for tags, so asking for them there is refused.
    row("tags classic", R"("$INDEX" --tags sub)", 2, "",
        "folimbra-index: --tags va con --style modern o con --json\n" + tryHelp);
    row("forms", R"("$INDEX" --sort=date --rev --no --exclude=x -r sub --images)", 0,
        subPage + page("sub/inner/"), "");
    // Newest and largest first; a file without a photo's date goes by its own.
    const QByteArray three = "printf 333 >sub/a && printf 1 >sub/b && printf 22 >sub/c && "
                             "touch -d @1000000000 sub/a && touch -d @3000000000 sub/b && "
                             "touch -d @2000000000 sub/c && \"$INDEX\" --sort ";
    for (const auto &[key, order] :
         {std::pair{"name", "abc"}, {"date", "bca"}, {"size", "acb"}, {"taken", "bca"}})
        QTest::addRow("sort by %s", key) << QString::fromUtf8(
            three + key + R"( --json - sub | grep -o '"name":"."' | cut -c9 | tr -d '\n')")
                                         << 0 << QByteArray(order) << QByteArray();
    row("bundle", R"("$INDEX" -rh | head -1)", 0, "Uso: folimbra-index [OPCIÓN]... CARPETA...\n",
        "");
    row("dash value", R"("$INDEX" --exclude -r sub)", 0, subPage, "");
    // The catalogue says what made it.
    row("catalogue maker",
        R"("$INDEX" --catalog c.html sub && grep -o ' con [^.]*\.[0-9.]*' c.html)", 0,
        " con folimbra-index 1.0.1.\n", "");
    // The opener's failure fails the folder; what it printed comes with the program's prefix.
    row("no opener", R"(PATH=/nonexistent "$INDEX" --open sub)", 1, subPage,
        "folimbra-index: No se pudo abrir la página «$ROOT/sub/Quorvel-Html_index.html»: no se "
        "pudo iniciar xdg-open (no existe).\n");
    row("opener fails",
        R"(mkdir bin && printf '#!/bin/sh\necho "sin navegador" >&2; exit 3\n' >bin/xdg-open &&
            chmod +x bin/xdg-open && PATH="$ROOT/bin:$PATH" "$INDEX" --open sub)",
        1, subPage,
        "folimbra-index: sin navegador\nfolimbra-index: No se pudo abrir la página "
        "«$ROOT/sub/Quorvel-Html_index.html»: xdg-open terminó con el estado 3.\n");
    // One still running after a few seconds is showing the page: what it said is told, not how
    // it ends later.
    row("opener stays",
        R"(mkdir bin && printf '#!/bin/sh\necho abriendo; sleep 7; exit 3\n' >bin/xdg-open &&
            chmod +x bin/xdg-open && PATH="$ROOT/bin:$PATH" "$INDEX" --open sub)",
        0, subPage, "folimbra-index: abriendo\n");
    // The window's arguments are read before Qt starts, so none of these needs a display.
    row("window help", R"("$WINDOW" --he | head -1)", 0, "Uso: folimbra [OPCIÓN]... [CARPETA]\n",
        "");
    row("window two", R"("$WINDOW" sub sub)", 2, "",
        "folimbra: sobra el argumento sub: se abre una sola carpeta\n"
        "folimbra: «folimbra --help» muestra cómo se usa.\n");
    row("window -x", R"("$WINDOW" -platform offscreen)", 2, "",
        "folimbra: opción desconocida: -p\nfolimbra: «folimbra --help» muestra cómo se usa.\n");
    const QByteArray noDisplay =
        "folimbra: no hay pantalla (DISPLAY y WAYLAND_DISPLAY están vacías): la ventana no puede "
        "abrirse.\nfolimbra: Para escribir la página sin ventana, use folimbra-index.\n";
    row("no display", R"(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$WINDOW" sub)", 1,
        "", noDisplay);
    row("no display, wayland",
        R"(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=wayland-egl "$WINDOW" sub)", 1, "",
        noDisplay);
    row("dash dash", R"("$INDEX" -- -qmljsdebugger sub)", 1, page("sub/"),
        cannot + "«-qmljsdebugger»: no existe.\n");
    row("missing and empty", R"("$INDEX" falta '' sub)", 1, page("sub/"),
        cannot + "«falta»: no existe.\n" + cannot + "«»: el nombre está vacío.\n");
    row("a file and a loop", R"("$INDEX" f.txt f.txt/x loop)", 1, "",
        cannot + "«f.txt»: no es una carpeta.\n" + cannot
            + "«f.txt/x»: una parte de la ruta no es una carpeta.\n" + cannot
            + "«loop»: demasiados enlaces simbólicos.\n");
    // A page that fails leaves the old one as it was, and no file of its own.
    row("page fails", R"(mkdir big && seq 100 | (cd big && xargs touch) && 
                         echo vieja >big/Quorvel-Html_index.html &&
                         prlimit --fsize=2048 "$INDEX" big sub; s=$?; ls -A big | grep -v '^[0-9]*$'
                         cat big/Q*; exit $s)",
        1, page("sub/") + "Quorvel-Html_index.html\nvieja\n",
        "folimbra-index: No se pudo escribir la página «$ROOT/big/Quorvel-Html_index.html»: se "
        "ha superado el tamaño máximo de archivo. La página no se ha cambiado.\n");
    row("no current folder", R"(mkdir gone && cd gone && rmdir ../gone && "$INDEX" . "$ROOT/sub")",
        1, page("sub/"), cannot + "«.»: la carpeta actual ya no está disponible (no existe).\n");
    // The completion offers only folders as operands.
    row("complete folders", R"(bash -c '. "$COMPLETION"
            c() { COMP_WORDS=(i "$@"); COMP_CWORD=$#; _folimbra_index; printf "%s\n" "${COMPREPLY[@]}"; }
            c m; c f; c -- -; c --rev')",
        0, "mis fotos\n\n-\n--reverse\n", "");

    // Links to folders, the thumbnails' folder and what is left out are not entered; a folder
    // whose page fails does not stop the others, and its parent links the folder, not the page.
    const QByteArray linked = "_index.html\">";
    row("tree",
        R"(mkdir .sh_thumbnails && mkfifo -- -/Quorvel-Html_index.html && ln -s ../.. sub/inner/up &&
            "$INDEX" --recursive --exclude 'caf*' --no-hidden .; s=$?
            grep -ah '^<p><a href="[^"]*/' Quorvel-Html_index.html sub/inner/Q*; exit $s)",
        1,
        page("") + page("mis fotos/") + page("sub/") + page("sub/inner/")
            + "<p><a href=\"-/\">-/</a>\r\n<p><a href=\"mis fotos/Quorvel-Html" + linked
            + "mis fotos/</a>\r\n<p><a href=\"sub/Quorvel-Html" + linked
            + "sub/</a>\r\n<p><a href=\"../Quorvel-Html" + linked + "..</a>\r\n",
        "folimbra-index: No se pudo crear la página «$ROOT/-/Quorvel-Html_index.html»: no es un "
        "archivo normal.\n");
    row("thumbnails",
        R"sh(printf '\211PNG\15\12\32\12\0\0\0\15IHDR\0\0\0\1\0\0\0\1\10\2\0\0\0\220wS\336\0\0\0\14IDATx\332c\370\317\300\0\0\3\1\1\0\367\3AC\0\0\0\0IEND\256B\140\202' >sub/p.png &&
            "$INDEX" --thumbnails sub && grep -c 'src="\(.sh_thumbnails/\)large/\([0-9a-f]*.png\)" srcset="\1large/\2 1x, \1x-large/\2 2x" alt=.*width=200 height=200 loading=lazy' sub/*.html &&
            ! "$INDEX" --thumbnails sub/.sh_thumbnails/large && ls sub/.sh_thumbnails/large &&
            "$INDEX" sub/.sh_thumbnails/large)sh",
        0,
        page("sub/") + "1\n62fd0554fa0865cb1f27293a2db4b8ea.png\n"
            + page("sub/.sh_thumbnails/large/"),
        "folimbra-index: «$ROOT/sub/.sh_thumbnails/large/» es una carpeta de miniaturas: no se "
        "escribe nada en ella.\n");
    // Out of time at once (the in-process tests cut a decoding short): every picture line falls
    // back to the image, and the run says so once, for both folders.
    row("slow images",
        R"sh(printf '\211PNG\15\12\32\12\0\0\0\15IHDR\0\0\0\1\0\0\0\1\10\2\0\0\0\220wS\336\0\0\0\14IDATx\332c\370\317\300\0\0\3\1\1\0\367\3AC\0\0\0\0IEND\256B\140\202' >sub/p.png &&
            cp sub/p.png sub/inner/q.png && FOLIMBRA_DECODE_MS=0 "$INDEX" -r --thumbnails sub &&
            cat sub/Q* sub/inner/Q* | grep -c '<img src=[pq].png alt=.* width=200 height=200></center>' &&
            ! grep -q srcset sub/Q* sub/inner/Q* && ls -A sub/.sh_thumbnails/large)sh",
        0, page("sub/") + page("sub/inner/") + "2\n",
        "folimbra-index: 2 imágenes sin miniatura (se muestran enteras): 2 tardaron demasiado en "
        "leerse.\n");
    row("thumbnails' folder a file",
        R"sh(: >sub/.sh_thumbnails && : >sub/p.png && "$INDEX" --thumbnails sub)sh", 0,
        page("sub/"),
        "folimbra-index: «$ROOT/sub/.sh_thumbnails» no es una carpeta: las imágenes se muestran "
        "enteras.\n");
    // Each reason an image is shown whole is told with its count, in one line for the run.
    row("images shown whole",
        R"sh(printf '\211PNG\15\12\32\12\0\0\0\15IHDR\0\0}\0\0\0}\0\10\2\0\0\0\14\340EZ\0\0\0\14IDATx\234c\370\317\300\0\0\3\1\1\0\311\376\222\357\0\0\0\0IEND\256B\140\202' >sub/big.png &&
            cp sub/big.png sub/inner/huge.png && ln -s ../../sub/big.png sub/inner/out.png &&
            "$INDEX" -r --thumbnails sub)sh",
        0, page("sub/") + page("sub/inner/"),
        "folimbra-index: 3 imágenes sin miniatura (se muestran enteras): 1 son enlaces a fuera de "
        "la carpeta o a lo que su dueño no puede leer; 2 tienen más de 100 megapíxeles.\n");
    // Videos that cannot be read are listed by name, and counted apart from the images.
    row("videos without posters",
        R"sh(printf x >sub/v.mp4 && printf x >sub/w.WebM && "$INDEX" --style modern --thumbnails sub &&
            grep -c '<a href=[vw]\.[a-zA-Z0-9]* class=vd>[vw]\.' sub/Q*)sh",
        0, page("sub/") + "2\n",
        "folimbra-index: 2 vídeos sin portada: 2 no se pudieron leer o guardar.\n");
    for (const char *depth : {"-1", "2000000", "99999999999999999999", "3x"})
        row(qPrintable(u"max depth "_s + QLatin1StringView(depth)),
            qPrintable(u"\"$INDEX\" -r --max-depth %1 sub"_s.arg(QLatin1StringView(depth))), 2, "",
            "folimbra-index: valor no válido para --max-depth: " + QByteArray(depth) + "\n"
                + tryHelp);
    row("bad style", R"("$INDEX" --style modrn sub)", 2, "",
        "folimbra-index: valor no válido para --style: modrn\nfolimbra-index: ¿quería decir "
        "modern?\n"
            + tryHelp);
    row("watch to standard output", R"("$INDEX" --watch --json - sub)", 2, "",
        "folimbra-index: --watch no escribe la lista en la salida estándar: dé un ARCHIVO a "
        "--json\n"
            + tryHelp);
    // One level below: sub/inner, not sub/inner/deeper.
    row("max depth", R"(mkdir sub/inner/deeper && "$INDEX" -r --max-depth 1 sub)", 0,
        page("sub/") + page("sub/inner/"), "");
    row("bad sort", R"("$INDEX" --sort edad sub)", 2, "",
        "folimbra-index: valor no válido para --sort: edad\n" + tryHelp);
    // Each folder as the kernel names it: dots and links resolved.
    row("dots and links", R"("$INDEX" ./sub/../sub/. sub/ link link/..)", 0,
        page("sub/") + page("sub/") + page("sub/inner/") + page("sub/"), "");
    row("name too long", "\"$INDEX\" $(printf '%0300d' 0)", 1, "",
        cannot + "«" + QByteArray(300, '0') + "»: el nombre es demasiado largo.\n");
    row("not utf-8", R"sh("$INDEX" "$(printf 'caf\351')")sh", 0, page("caf\xc3\xa9/"), "");
    // A file of every tree given keeps what it held of a tree that could not be read.
    for (const char *option : {"json", "catalog"}) {
        row(option,
            qPrintable(
                u"echo old >f; \"$INDEX\" --%1 f sub gone; s=$?; cat f; exit $s"_s.arg(option)),
            1, "old\n",
            cannot
                + "«gone»: no existe.\nfolimbra-index: No se pudo escribir «f»: faltaría una "
                  "carpeta que no se pudo leer.\n");
        row(qPrintable(QLatin1StringView(option) + u" in no folder"_s),
            qPrintable(u"\"$INDEX\" --%1 nada/f sub"_s.arg(option)), 1, "",
            "folimbra-index: No se pudo escribir «nada/f»: no existe.\n");
    }
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

    QByteArrayList actual = shell(command, root);
    QByteArrayList expected{QByteArray::number(status), out, err};
    // "$ROOT" stands for the folder; a trailing "*" asks only for the start.
    for (qsizetype i = 1; i < 3; ++i) {
        expected[i].replace("$ROOT", root.rawPath().chopped(1));
        if (expected[i].endsWith('*'))
            actual[i] = actual[i].left(expected[i].size() - 1) + '*';
    }
    // What it said first: a status alone does not tell why.
    QCOMPARE(actual[2], expected[2]);
    QCOMPARE(actual[1], expected[1]);
    QCOMPARE(actual[0], expected[0]);
    QCOMPARE(root.exists("Quorvel-Html_index.html"), out.contains(page("")));
    QVERIFY(!QFile::exists(u"/Quorvel-Html_index.html"_s));
}

void tst_Cli::help_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("table"); // 0: folimbra-index's, 1: the window's

    QTest::newRow("index") << u"\"$INDEX\" --help"_s << 0;
    QTest::newRow("window") << u"\"$WINDOW\" -h"_s << 1;
}

// The help fits a terminal of 80 columns, lists each option of the table once and no other,
// and ends telling the exit statuses and where to report problems.
void tst_Cli::help()
{
    QFETCH(QString, command);
    QFETCH(int, table);

    TestFolder root;
    const QByteArrayList run = shell(command, root);
    QCOMPARE(run[0], "0");
    const QStringList lines = QString::fromUtf8(run[1]).split(u'\n');
    QStringList listed;
    for (const QString &line : lines) {
        QVERIFY2(line.size() <= 80, qPrintable(line));
        static const QRegularExpression option(u"^  (-\\w, |    )--([a-z-]+)"_s);
        if (const QRegularExpressionMatch match = option.match(line); match.hasMatch())
            listed << match.captured(1).trimmed() + u"--"_s + match.captured(2);
    }
    QStringList expected;
    for (const OptionSpec &option : table == 0 ? indexOptions() : windowOptions())
        expected << (option.shortName ? u"-"_s + QChar(option.shortName) + u","_s : QString())
                        + u"--"_s + QString::fromLatin1(option.longName);
    QCOMPARE(listed, expected);
    QVERIFY(run[1].contains("\nEstado de salida:\n  0  "));
    QVERIFY(run[1].endsWith("Informe de los errores en <https://quorvel.example/folimbra/>.\n"));
}

void tst_Cli::update_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("files");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    const QByteArray tree = "-r sub";
    const QByteArray pages = "sub/Quorvel-Html_index.html sub/inner/Quorvel-Html_index.html";
    const QByteArray bothLeft = "sub/Quorvel-Html_index.html left regular file\n"
                                "sub/inner/Quorvel-Html_index.html left regular file\n";
    const QByteArray innerWritten = page("sub/inner/")
                                    + "sub/Quorvel-Html_index.html left regular file\n"
                                      "sub/inner/Quorvel-Html_index.html written regular file\n";
    const QByteArray topWritten = page("sub/")
                                  + "sub/Quorvel-Html_index.html written regular file\n"
                                    "sub/inner/Quorvel-Html_index.html left regular file\n";
    const QByteArray noneWritten = "folimbra-index: 2 páginas sin cambios, 0 páginas escritas.\n";
    const QByteArray oneWritten = "folimbra-index: 1 página sin cambios, 1 página escrita.\n";
    const auto row = [](const char *name, const QByteArray &options, const QByteArray &files,
                        const char *change, const QByteArray &out, const QByteArray &err) {
        QTest::newRow(name) << QString::fromUtf8(options) << QString::fromUtf8(files)
                            << QString::fromUtf8(change) << out << err;
    };
    const char *resized =
        "truncate -s 5000 sub/inner/a.txt && touch -d @1000000000 sub/inner/a.txt";
    for (const char *style : {"classic", "modern"}) {
        const QByteArray options = tree + " --style " + style;
        const auto named = [style](const char *name) {
            return QByteArray(name) + ' ' + style;
        };
        row(named("unchanged"), options, pages, "", bothLeft, noneWritten);
        // A modern page shows what the folders below weigh.
        if (style[0] == 'm')
            row(named("resized"), options, pages, resized,
                page("sub/") + page("sub/inner/")
                    + "sub/Quorvel-Html_index.html written regular file\n"
                      "sub/inner/Quorvel-Html_index.html written regular file\n",
                "folimbra-index: 0 páginas sin cambios, 2 páginas escritas.\n");
        else
            row(named("resized"), options, pages, resized, innerWritten, oneWritten);
        // Another program's page, or ours edited, is no page to keep; the time and the seconds
        // of another run are.
        row(named("a link"), options, pages,
            "mv sub/Q* sub/x.html && ln -s x.html sub/Quorvel-Html_index.html", topWritten,
            oneWritten);
        row(named("by hand"), options, pages, "printf '<!-- nota -->\\r\\n' >>sub/Q*", topWritten,
            oneWritten);
        row(named("shorter"), options, pages, "truncate -s -1 sub/Q*", topWritten, oneWritten);
        row(named("other times"), options, pages,
            "sed -i '6s/[0-9][0-9]*:[0-9][0-9]:[0-9][0-9]/23:59:59/; s/generada en "
            "[0-9,]*/generada en "
            "1234,56/' sub/Q*",
            bothLeft, noneWritten);
        row(named("long time"), options, pages,
            "sed -i 's/generada en [0-9,]*/generada en 1234567890123456789012345678901234567890"
            "12345678901234567890123456789/' sub/Q*",
            topWritten, oneWritten);
    }
    row("other program", tree, pages, "sed -i '2s/Folimbra/Otro/' sub/Q*", topWritten, oneWritten);
    row("other heading", tree, pages, "sed -i '6s/sub/bus/' sub/Q*", topWritten, oneWritten);
    row("a folder more", tree, pages, "mkdir sub/new && rmdir sub/new && mkdir sub/nuevo",
        page("sub/") + page("sub/nuevo/")
            + "sub/Quorvel-Html_index.html written regular file\n"
              "sub/inner/Quorvel-Html_index.html left regular file\n",
        "folimbra-index: 1 página sin cambios, 2 páginas escritas.\n");
    // Leftovers of a run that died go, with or without a page to write; those of a live run or
    // of an earlier version stay.
    row("leftovers", tree, pages,
        "for n in 99999999-1 $PPID-2 3; do echo x >sub/.Quorvel-Html_index.html.$n; done",
        bothLeft + ".Quorvel-Html_index.html.$PPID-2\n.Quorvel-Html_index.html.3\n", noneWritten);

    const QByteArray catalog = "--catalog c.html sub";
    const QByteArray json = "--json j.json -r sub";
    row("catalogue", catalog, "c.html", "", "c.html left regular file\n",
        "folimbra-index: «c.html» sin cambios.\n");
    row("catalogue time", catalog, "c.html",
        "sed -i 's/Hecho el [^ ]*/Hecho el 2001-01-01/' c.html", "c.html left regular file\n",
        "folimbra-index: «c.html» sin cambios.\n");
    row("catalogue resized", catalog, "c.html", resized, "c.html written regular file\n",
        "folimbra-index: «c.html» escrito.\n");
    row("catalogue link", catalog, "c.html", "mv c.html d.html && ln -s d.html c.html",
        "c.html written regular file\n", "folimbra-index: «c.html» escrito.\n");
    row("json", json, "j.json", "", "j.json left regular file\n",
        "folimbra-index: «j.json» sin cambios.\n");
    row("json resized", json, "j.json", resized, "j.json written regular file\n",
        "folimbra-index: «j.json» escrito.\n");
    row("json other", json, "j.json", "sed -i 1s/1/2/ j.json", "j.json written regular file\n",
        "folimbra-index: «j.json» escrito.\n");
}

// A run with --update after another leaves each file it would write the same (its inode and its
// time kept) and replaces the rest; only what it wrote is named.
void tst_Cli::update()
{
    QFETCH(QString, options);
    QFETCH(QString, files);
    QFETCH(QString, change);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    TestFolder root;
    QVERIFY(root.addFolder("sub") && root.addFolder("sub/inner"));
    QVERIFY(root.addFile("sub/b.txt", 100) && root.addFile("sub/inner/a.txt", 10));
    // The pages' time is set back, so that a page left is told from one written in the same
    // second.
    const QString command =
        uR"sh("$INDEX" %1 >/dev/null && { %3 ; } && touch -h -d @1000000000 %2 && stat -c '%i' %2 >before &&
            "$INDEX" --update %1; s=$?
            for f in %2; do
                if [ "$(stat -c %i "$f") $(stat -c %Y "$f")" = "$(grep -m1 -x "$(stat -c %i "$f")" before) 1000000000" ]
                then echo "$f left $(stat -c %F "$f")"; else echo "$f written $(stat -c %F "$f")"; fi
            done
            ls -A sub | grep '^\.Q' | sed "s/$PPID/\$PPID/" | LC_ALL=C sort; exit $s)sh"_s.arg(
            options, files, change.isEmpty() ? u":"_s : change);
    QByteArrayList actual = shell(command, root);
    out.replace("$ROOT", root.rawPath().chopped(1));
    QCOMPARE(actual, (QByteArrayList{"0", out, err}));
}

// The front end adds nothing of its own: only the clock's lines may differ from the library's.
void tst_Cli::sameBytesAsTheWriter()
{
    TestFolder folder;
    QVERIFY(folder.addFile("b.png", 4096) && folder.addFile("a b.txt") && folder.addFile("c.JPG"));
    QCOMPARE(shell(u"\"$INDEX\" --images ."_s, folder).first(), "0");
    QByteArrayList fromCli = pageLines(folder.read("Quorvel-Html_index.html"));
    Listing files;
    QCOMPARE(files.read(folder.path(), EntryKind::Files), 0);
    QVERIFY(writeIndexPage(folder.path(), files, {true, false}).ok());
    QByteArrayList fromLibrary = pageLines(folder.read("Quorvel-Html_index.html"));
    QCOMPARE(fromCli.size(), 22);
    for (QByteArrayList *lines : {&fromCli, &fromLibrary})
        *lines = lines->mid(0, 5) + lines->mid(6, 11) + lines->mid(18);
    QCOMPARE(fromCli, fromLibrary);
}

// A stand-in xdg-open first on PATH hands the URL it gets through a FIFO to the shell, which
// fails if none comes; the URL must be plain ASCII and give back the page's own bytes.
void tst_Cli::opensThePage()
{
    TestFolder root;
    const QByteArrayList run =
        shell(uR"sh(mkfifo opened && mkdir -p bin "$(printf 'x %%\351#/sub')" &&
        printf '#!/bin/sh\nprintf "%%s\\n" "$1" >"$ROOT/opened"\n' >bin/xdg-open && chmod +x bin/xdg-open &&
        { timeout 10 cat opened >url & } && PATH="$ROOT/bin:$PATH" "$INDEX" --open -r x* >/dev/null &&
        wait && cat url)sh"_s,
              root);
    // Plain ASCII, and "#" is no fragment; of a tree, the top page alone.
    QCOMPARE(run.mid(0, 2), (QByteArrayList{"0", "file://" + root.rawPath()
                                                     + "x%20%25%E9%23/Quorvel-Html_index.html\n"}));
}

void tst_Cli::progressLine_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QByteArray>("term"); // null: unset
    QTest::addColumn<qint64>("elapsed");  // milliseconds
    QTest::addColumn<QByteArray>("shown");

    QTest::newRow("after a second")
        << true << "xterm"_ba << qint64(1000)
        << "\r\033[K/c/: 7 de 9 archivos\r\033[K\r\033[K/c/: 2 de 3 carpetas, 7 archivos\r\033[K"_ba;
    QTest::newRow("too soon") << true << "xterm"_ba << qint64(999) << QByteArray();
    QTest::newRow("not a terminal") << false << "xterm"_ba << qint64(5000) << QByteArray();
    QTest::newRow("dumb") << true << "dumb"_ba << qint64(5000) << QByteArray();
    QTest::newRow("unset") << true << QByteArray() << qint64(5000) << QByteArray();
}

// The line shows only on a terminal that takes escape codes, once a run takes a second, and is
// cleared when the line goes away.
void tst_Cli::progressLine()
{
    QFETCH(bool, terminal);
    QFETCH(QByteArray, term);
    QFETCH(qint64, elapsed);
    QFETCH(QByteArray, shown);

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const int fd = ::open(terminal ? ::ptsname(master) : "/dev/null", O_RDWR | O_NOCTTY);
    const QByteArray saved = qgetenv("TERM");
    term.isNull() ? qunsetenv("TERM") : qputenv("TERM", term);
    const bool escapes = takesEscapeCodes(fd);
    qputenv("TERM", saved);
    ::close(fd);
    ::close(master);

    char *buffer = nullptr;
    size_t size = 0;
    std::FILE *out = ::open_memstream(&buffer, &size);
    {
        ProgressLine line("/c/", out, escapes);
        line.update(7, 9, elapsed);
        line.clear();
        line.updateTree(2, 3, 7, elapsed);
    }
    std::fclose(out);
    const QByteArray written(buffer, qsizetype(size));
    std::free(buffer);
    QCOMPARE(written, shown);
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
