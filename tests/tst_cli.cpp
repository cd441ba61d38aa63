#include "folderlisting.h"
#include "pagewriter.h"
#include "testfolder.h"

#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a shell command line with $INDEX standing for folimbra-index.
Run shell(const QString &command, const QString &workingDirectory = {})
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"INDEX"_s, QStringLiteral(FOLIMBRA_INDEX_PATH));
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(u"/bin/sh"_s, {u"-c"_s, command});
    if (!process.waitForFinished(60000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commandLine_data();
    void commandLine();
    void goesOnAfterAFailure();
    void relativeFolders_data();
    void relativeFolders();
    void folderNameNotUtf8();
    void sameBytesAsTheWriter();
    void fileSizeLimit();
};

void tst_Cli::commandLine_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    QTest::newRow("no folder") << u""_s << 2 << QByteArray() << QByteArray("Uso: folimbra-index");
    QTest::newRow("only options") << u"--images --open"_s << 2 << QByteArray()
                                  << QByteArray("Uso: folimbra-index");
    QTest::newRow("help") << u"--help"_s << 0 << QByteArray("Uso: folimbra-index") << QByteArray();
    QTest::newRow("version") << u"--version"_s << 0 << QByteArray("folimbra-index 1.0.1\n")
                             << QByteArray();
    QTest::newRow("unknown option")
        << u"--imagenes ."_s << 2 << QByteArray()
        << QByteArray("folimbra-index: opción desconocida: --imagenes\nUso:");
}

void tst_Cli::commandLine()
{
    QFETCH(QString, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    TestFolder folder;
    const Run run = shell(u"\"$INDEX\" "_s + arguments, folder.path());
    QCOMPARE(run.status, status);
    QVERIFY2(run.out.startsWith(out), run.out.constData());
    QVERIFY2(run.err.startsWith(err), run.err.constData());
    if (out.isEmpty())
        QCOMPARE(run.out, QByteArray());
    if (err.isEmpty())
        QCOMPARE(run.err, QByteArray());
    QVERIFY(!folder.exists("Quorvel-Html_index.html"));
}

void tst_Cli::goesOnAfterAFailure()
{
    TestFolder folder;
    QVERIFY(folder.addFolder("uno"));
    QVERIFY(folder.addFolder("dos"));
    QVERIFY(folder.addFile("uno/a.txt"));

    const Run run = shell(u"\"$INDEX\" uno falta dos"_s, folder.path());
    QCOMPARE(run.status, 1);
    QCOMPARE(run.err, "No se pudo leer la carpeta «" + folder.rawPath() + "falta/»: no existe.\n");
    QCOMPARE(run.out, folder.rawPath() + "uno/Quorvel-Html_index.html\n" + folder.rawPath()
                          + "dos/Quorvel-Html_index.html\n");
    QVERIFY(pageLines(folder.read("uno/Quorvel-Html_index.html"))
                .contains("<b>1 Archivo(s) :: 1k</b>"));
    QVERIFY(pageLines(folder.read("dos/Quorvel-Html_index.html"))
                .contains("<b>0 Archivo(s) :: 0k</b>"));
}

void tst_Cli::relativeFolders_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QByteArray>("folder"); // relative to the temporary folder

    QTest::newRow("plain") << u"sub"_s << QByteArray("sub/");
    QTest::newRow("trailing separator") << u"sub/"_s << QByteArray("sub/");
    QTest::newRow("dots") << u"./sub/../sub/."_s << QByteArray("sub/");
    QTest::newRow("current folder") << u"."_s << QByteArray("");
    QTest::newRow("blank in name") << u"'mis fotos'"_s << QByteArray("mis fotos/");
}

void tst_Cli::relativeFolders()
{
    QFETCH(QString, argument);
    QFETCH(QByteArray, folder);

    TestFolder root;
    QVERIFY(root.addFolder("sub"));
    QVERIFY(root.addFolder("mis fotos"));
    const Run run = shell(u"\"$INDEX\" "_s + argument, root.path());
    QCOMPARE(run.status, 0);
    const QByteArray CurrentPath = root.rawPath() + folder;
    QCOMPARE(run.out, CurrentPath + "Quorvel-Html_index.html\n");
    const QByteArrayList lines = pageLines(root.read(folder + "Quorvel-Html_index.html"));
    QCOMPARE(lines.value(2), "<head><title>" + CurrentPath + "</title></head>");
}

void tst_Cli::folderNameNotUtf8()
{
    TestFolder root;
    QVERIFY(root.addFolder("caf\xe9"));
    QVERIFY(root.addFile("caf\xe9/a\xf1o.jpg"));
    const Run run = shell(u"\"$INDEX\" --images \"$(printf 'caf\\351')\""_s, root.path());
    QCOMPARE(run.status, 0);
    const QByteArrayList lines = pageLines(root.read("caf\xe9/Quorvel-Html_index.html"));
    QCOMPARE(lines.value(2), "<head><title>" + root.rawPath() + "caf\xe9/</title></head>");
    QVERIFY(lines.value(7).startsWith("<p><a href=\"a%F1o.jpg\">a\xf1o.jpg</a> ("));
    QCOMPARE(lines.value(8), "<br><center><img src=a%F1o.jpg alt=" + root.rawPath()
                                 + "caf\xe9/a\xf1o.jpg width=200 height=200></center>");
}

// The front end adds nothing of its own: only the clock's lines may differ from the library's.
void tst_Cli::sameBytesAsTheWriter()
{
    TestFolder folder;
    QVERIFY(folder.addFile("b.png", 4096));
    QVERIFY(folder.addFile("a b.txt", 100));
    QVERIFY(folder.addFile("IMG_10.JPG", 3000));
    QVERIFY(folder.addFile("IMG_9.JPG", 3000));

    const Run run = shell(u"\"$INDEX\" --images ."_s, folder.path());
    QCOMPARE(run.status, 0);
    QByteArrayList fromCli = pageLines(folder.read("Quorvel-Html_index.html"));

    FolderFileList files(folder.path());
    const PageResult result = writeIndexPage(folder.path(), files, {true, false});
    QVERIFY(result.ok);
    QByteArrayList fromLibrary = pageLines(folder.read("Quorvel-Html_index.html"));

    QCOMPARE(fromCli.size(), 24);
    QCOMPARE(fromLibrary.size(), fromCli.size());
    for (QByteArrayList *lines : {&fromCli, &fromLibrary}) {
        (*lines)[5] = lines->at(5).left(lines->at(5).indexOf(" :: "));
        (*lines)[19] = lines->at(19).left(lines->at(19).indexOf(" en "));
    }
    QCOMPARE(fromCli, fromLibrary);
}

void tst_Cli::fileSizeLimit()
{
    TestFolder folder;
    for (int i = 0; i < 200; ++i)
        QVERIFY(folder.addFile("archivo número " + QByteArray::number(i) + ".txt"));
    const Run run = shell(u"prlimit --fsize=4096 \"$INDEX\" ."_s, folder.path());
    QCOMPARE(run.status, 1);
    QCOMPARE(run.err, "No se pudo escribir la página «" + folder.rawPath()
                          + "Quorvel-Html_index.html»: se ha superado el tamaño máximo de "
                            "archivo.\n");
    QCOMPARE(folder.read("Quorvel-Html_index.html").size(), 4096);
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
