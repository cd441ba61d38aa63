#include "audiotags.h"
#include "filedescriptor.h"
#include "folderpage.h"
#include "testfolder.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <fcntl.h>

using namespace Qt::StringLiterals;

// The tags of --tags read from real files that ffmpeg makes, one second long, and what the
// modern page makes of them.
class TestAudioTags : public QObject
{
    Q_OBJECT

    static bool makeTrack(const TestFolder &folder, const QByteArray &name,
                          const QStringList &metadata)
    {
        QStringList arguments{u"-loglevel"_s, u"error"_s, u"-f"_s,
                              u"lavfi"_s,     u"-i"_s,    u"sine=frequency=440:duration=1"_s};
        for (const QString &pair : metadata)
            arguments << u"-metadata"_s << pair;
        arguments << QFile::decodeName(folder.rawPath() + name);
        return QProcess::execute(u"ffmpeg"_s, arguments) == 0;
    }

    // The folder's modern page, empty where it could not be written.
    static QByteArray modernPage(const TestFolder &folder, bool tags = true)
    {
        const FileDescriptor fd(::open(folder.rawPath().constData(), O_RDONLY | O_DIRECTORY));
        FolderPageRequest request;
        request.style = PageStyle::Modern;
        request.tags = tags;
        if (!writeFolderPage(folder.path(), fd.get(), request, {}).ok())
            return {};
        return folder.read("Quorvel-Html_index.html");
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"ffmpeg"_s).isEmpty())
            QSKIP("ffmpeg is missing (scripts/packages.sh installs it)");
    }

    void tags_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QStringList>("metadata");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("artist");
        QTest::addColumn<int>("track");
        const QStringList all{u"title=Canción"_s, u"artist=Banda"_s, u"album=Disco"_s,
                              u"track=7"_s,       u"date=1999"_s,    u"album_artist=Varios"_s};
        QTest::newRow("mp3") << QByteArray("a.mp3") << all << u"Canción"_s << u"Banda"_s << 7;
        QTest::newRow("flac") << QByteArray("a.flac") << all << u"Canción"_s << u"Banda"_s << 7;
        QTest::newRow("vorbis") << QByteArray("a.ogg") << all << u"Canción"_s << u"Banda"_s << 7;
        QTest::newRow("opus") << QByteArray("a.opus") << all << u"Canción"_s << u"Banda"_s << 7;
        QTest::newRow("m4a") << QByteArray("a.m4a") << all << u"Canción"_s << u"Banda"_s << 7;
        QTest::newRow("upper case")
            << QByteArray("A.FLAC") << all << u"Canción"_s << u"Banda"_s << 7;
        QTest::newRow("only an ending")
            << QByteArray(".mp3") << all << u"Canción"_s << u"Banda"_s << 7;
        // No tags: still its length.
        QTest::newRow("wav") << QByteArray("a.wav") << QStringList() << QString() << QString() << 0;
        QTest::newRow("untagged flac")
            << QByteArray("b.flac") << QStringList() << QString() << QString() << 0;
        QTest::newRow("title only")
            << QByteArray("c.ogg") << QStringList{u"title=Solo"_s} << u"Solo"_s << QString() << 0;
        // Cut to 500 UTF-16 units, never through the middle of a character.
        const QString a499(499, u'a'), e600(600, u'é');
        QTest::newRow("long title")
            << QByteArray("d.flac") << QStringList{u"title="_s + a499 + u"😀bbb"_s} << a499
            << QString() << 0;
        QTest::newRow("longer title") << QByteArray("e.flac") << QStringList{u"title="_s + e600}
                                      << e600.first(500) << QString() << 0;
    }

    void tags()
    {
        QFETCH(QByteArray, name);
        QFETCH(QStringList, metadata);
        TestFolder folder;
        QVERIFY(makeTrack(folder, name, metadata));
        const FileDescriptor fd(::open(folder.rawPath().constData(), O_RDONLY | O_DIRECTORY));
        QVERIFY(isAudioFileName(name));
        const std::vector<std::optional<AudioTags>> read =
            readAudioTags(fd.get(), std::vector<QByteArray>{name});
        QVERIFY(read.size() == 1 && read[0]);
        QTEST(read[0]->title, "title");
        QTEST(read[0]->artist, "artist");
        QTEST(read[0]->track, "track");
        QCOMPARE(read[0]->year, metadata.isEmpty() || metadata.size() == 1 ? 0 : 1999);
        QCOMPARE(read[0]->albumArtist,
                 metadata.contains(u"album_artist=Varios"_s) ? u"Varios"_s : QString());
        QVERIFY2(read[0]->durationMs >= 900 && read[0]->durationMs <= 1200,
                 QByteArray::number(read[0]->durationMs));
    }

    // Whatever a file holds, it is a file without tags, never a crash or a wait.
    void brokenFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("budget");
        QTest::newRow("empty") << QByteArray() << qint64(32 << 20);
        QTest::newRow("noise") << QByteArray(100000, '\xff') << qint64(32 << 20);
        QTest::newRow("flac header only") << QByteArray("fLaC\0\0\0\x22", 8) << qint64(32 << 20);
        QTest::newRow("truncated") << QByteArray("truncated") << qint64(32 << 20);
        QTest::newRow("past the budget") << QByteArray("whole") << qint64(64);
    }

    void brokenFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, budget);
        TestFolder folder;
        QByteArray name = "x.flac";
        if (bytes == "truncated" || bytes == "whole") {
            QVERIFY(makeTrack(folder, "whole.flac", {}));
            QFile whole(QFile::decodeName(folder.rawPath() + "whole.flac"));
            QVERIFY(whole.open(QIODevice::ReadOnly));
            bytes = bytes == "whole" ? whole.readAll() : whole.read(300);
        }
        QFile file(QFile::decodeName(folder.rawPath() + name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const FileDescriptor fd(::open(folder.rawPath().constData(), O_RDONLY | O_DIRECTORY));
        QVERIFY(!readAudioTags(fd.get(), name, {std::chrono::seconds(2), budget}));
    }

    // Past the hour the minutes take two digits: "1:02:03".
    void longTrack()
    {
        TestFolder folder;
        QCOMPARE(QProcess::execute(u"ffmpeg"_s,
                                   {u"-loglevel"_s, u"error"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                                    u"anullsrc=r=8000:cl=mono"_s, u"-t"_s, u"3723"_s,
                                    QFile::decodeName(folder.rawPath() + "l.flac")}),
                 0);
        QVERIFY(modernPage(folder).contains("<td><td><td><td><td>1:02:03\n"));
    }

    // An album's heading speaks for every track with tags: a year only where all have that one,
    // and none where a track is of no album. Tracks without tags have no say.
    void albumHeading_data()
    {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<QByteArray>("heading"); // empty: none
        const QStringList disco{u"album=Disco"_s, u"artist=Banda"_s};
        QTest::newRow("two years")
            << disco + QStringList{u"date=1999"_s} << disco + QStringList{u"date=2001"_s}
            << QByteArray("<h2 id=al>Disco</h2><p>Banda · 2 pistas · 0:02</section>");
        QTest::newRow("a title of no album")
            << disco << QStringList{u"title=Suelta"_s} << QByteArray();
        QTest::newRow("an artist of no album")
            << disco << QStringList{u"artist=Banda"_s} << QByteArray();
        QTest::newRow("beside a track without tags")
            << disco << QStringList()
            << QByteArray("<h2 id=al>Disco</h2><p>Banda · 1 pista · 0:01</section>");
    }

    void albumHeading()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(QByteArray, heading);
        TestFolder folder;
        QVERIFY(makeTrack(folder, "a.ogg", first) && makeTrack(folder, "b.ogg", second));
        const QByteArray page = modernPage(folder);
        if (heading.isEmpty())
            QVERIFY(!page.isEmpty() && !page.contains("<h2 id=al>"));
        else
            QVERIFY(page.contains(heading));
    }

    // Tags are other people's text: in the page as text, marked like names, and the page's
    // policy admits the folder's music only where it plays it.
    void tagsInThePage()
    {
        TestFolder folder;
        QVERIFY(makeTrack(folder, "x.ogg",
                          {u"title=</script><script>alert(1)</script>"_s,
                           u"artist=\"><img src=x onerror=alert(2)>"_s,
                           u"album=disco\u202Eexe.mp3"_s, u"track=2"_s}));
        QVERIFY(folder.addFile("notas.txt", 3));
        const QByteArray page = modernPage(folder);
        QVERIFY(page.contains("<td>&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;<td>"
                              "&quot;&gt;&lt;img src=x onerror=alert(2)&gt;<td>"
                              "disco<kbd>[U+202E]</kbd>exe.mp3<td>2<td><td>0:01\n"));
        QVERIFY(page.contains("<audio controls preload=none src=x.ogg></audio>"));
        QVERIFY(page.contains("<h2 id=al>disco<kbd>[U+202E]</kbd>exe.mp3</h2><p>&quot;&gt;"));
        QVERIFY(page.contains("alert(2)&gt; · 1 pista · 0:01</section>"));
        QVERIFY(page.contains("; media-src 'self' file:\">"));
        // One <script> only: the page's own.
        QCOMPARE(page.count("<script"), 1);
        const QByteArray plain = modernPage(folder, false);
        QVERIFY(!plain.isEmpty());
        for (const char *music : {"media-src", "<audio", "class=tags", "alert"})
            QVERIFY2(!plain.contains(music), music);
    }
};

QTEST_GUILESS_MAIN(TestAudioTags)
#include "tst_audiotags.moc"
