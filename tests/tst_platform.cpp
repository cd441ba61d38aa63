#include "codepagefile.h"
#include "dateformat.h"
#include "filedescriptor.h"
#include "filenames.h"
#include "filereplacement.h"
#include "filesystem.h"
#include "localetext.h"
#include "testfolder.h"
#include "volumes.h"
#include "windows1252.h"

#include <QDateTime>
#include <QDir>
#include <QLocale>
#include <QStorageInfo>
#include <QTest>

#include <algorithm>
#include <csignal>

#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/xattr.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray pageText(int lines)
{
    QByteArray text;
    for (int i = 0; i < lines; ++i)
        text += "l\xednea " + QByteArray::number(i) + "\r\n";
    return text;
}

// What a run of CodePageFile saw, in a child that may act as a user the folder refuses and under
// a file-size limit.
QByteArray replaceInChild(const TestFolder &folder, const QByteArray &setup, int lines)
{
    int out[2];
    if (::pipe(out) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        if (setup.startsWith("refused") && ::geteuid() == 0
            && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(2);
        // As each front end does, so that the limit is an error rather than the end.
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {8192, 8192};
        if (setup.endsWith("limit") && ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(3);
        const int folderFd = ::open(folder.rawPath().constData(), O_RDONLY | O_DIRECTORY);
        QByteArray report;
        {
            CodePageFile page;
            report +=
                "open " + QByteArray::number(page.open(folderFd, u"Quorvel-Html_index.html"_s));
            for (int i = 0; i < lines; ++i)
                page.writeLine(u"línea %1"_s.arg(i));
            const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::System;
            const QStringList names = QDir(folder.path()).entryList(all | QDir::NoDotAndDotDot);
            report += " [" + names.join(u',').toLatin1() + "] commit ";
            report += QByteArray::number(page.commit() ? 0 : page.error());
            report += " keeps " + QByteArray::number(page.keepsOldFile());
        }
        report += ::fcntl(folderFd, F_GETFD) >= 0 ? "" : " folder closed";
        _exit(::write(out[1], report.constData(), size_t(report.size())) == report.size() ? 0 : 4);
    }
    ::close(out[1]);
    QFile pipe;
    pipe.open(out[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray report = pipe.readAll();
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? report : "child failed " + report;
}

} // namespace

class tst_Platform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Rendered field by field, a format writes what QLocale writes, fields of the other part
    // included, in locales of other digits and day periods.
    void dateFormat_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("time");
        QTest::addColumn<QString>("locale");
        QTest::newRow("short date") << u"dd/MM/yy"_s << false << u"es_ES"_s;
        QTest::newRow("long date") << u"dddd, d 'de' MMMM 'de' yyyy"_s << false << u"es_ES"_s;
        QTest::newRow("other digits") << u"d MMM yyyy"_s << false << u"ar_EG"_s;
        QTest::newRow("date with an hour") << u"dd/MM/yyyy HH"_s << false << u"es_ES"_s;
        QTest::newRow("time") << u"HH:mm:ss"_s << true << u"es_ES"_s;
        QTest::newRow("twelve hours") << u"h:mm AP"_s << true << u"en_US"_s;
        QTest::newRow("twelve hours, lower case") << u"h:mm ap"_s << true << u"en_US"_s;
        QTest::newRow("twelve hours, the locale's case") << u"hh:mm Ap"_s << true << u"es_ES"_s;
        QTest::newRow("milliseconds") << u"HH:mm:ss.zzz z"_s << true << u"es_ES"_s;
        QTest::newRow("time with a year") << u"H:mm yyyy"_s << true << u"es_ES"_s;
        QTest::newRow("quotes") << u"H 'o''clock' ''mm"_s << true << u"en_US"_s;
    }

    void dateFormat()
    {
        QFETCH(QString, format);
        QFETCH(bool, time);
        QFETCH(QString, locale);
        const QLocale shown(locale);
        const DateFormat compiled(format, time ? DateFormat::Part::Time : DateFormat::Part::Date,
                                  shown);
        const LocaleDigits digits(shown);
        for (const LocalDateTime &v :
             {LocalDateTime{2002, 1, 7, 0, 5, 9}, LocalDateTime{1999, 12, 31, 13, 59, 0}}) {
            QString out;
            compiled.append(out, v, digits);
            QCOMPARE(out, time ? shown.toString(QTime(v.hour, v.minute, v.second), format)
                               : shown.toString(QDate(v.year, v.month, v.day), format));
        }
    }

    void fileNameRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("readable");

        QTest::newRow("utf8 accent last") << QByteArray("caf\xc3\xa9") << u"café"_s;
        QTest::newRow("latin1 byte") << QByteArray("caf\xe9.png") << u"café.png"_s;
        QTest::newRow("windows-1252") << QByteArray("\x80\x83 precio") << u"€ƒ precio"_s;
        QTest::newRow("undefined 1252 byte") << QByteArray("a\x81z") << u"a\ufffdz"_s;
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << u"\u00c0\u00af"_s;
        QTest::newRow("last surrogate") << QByteArray("\xed\xbf\xbf") << u"í¿¿"_s;
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << u"í\u00a0€"_s;
        QTest::newRow("truncated sequence") << QByteArray("x\xe2\x82") << u"x\u00e2\u201a"_s;
        QTest::newRow("emoji then raw byte") << QByteArray("\xf0\x9f\x98\x80\xff") << u"😀ÿ"_s;
        QTest::newRow("beyond unicode") << QByteArray("\xf4\x90\x80\x80") << u"ô\ufffd€€"_s;
        // A decoder that reads text would take it for a byte-order mark and drop it.
        QTest::newRow("leading U+FEFF") << QByteArray("\xef\xbb\xbfz") << u"\ufeffz"_s;
        // Scripts whose UTF-8 starts with 0xE0.
        QTest::newRow("devanagari, thai") << QByteArray("\xe0\xa4\xa8\xe0\xb8\x81") << u"नก"_s;
    }

    void fileNameRoundTrip()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, readable);

        const QString name = decodeFileName(raw);
        QCOMPARE(encodeFileName(name), raw);
        QCOMPARE(readableFileName(name), readable);
    }

    // Marks that can make a name read as another are shown by their number; their neighbours
    // are shown as they are.
    void shownFileName_data()
    {
        QTest::addColumn<uint>("codePoint");
        QTest::addColumn<bool>("marked");
        for (const uint c : {0x80u, 0x9Fu, 0xADu, 0x61Cu, 0x200Bu, 0x200Eu, 0x200Fu, 0x202Au,
                             0x202Eu, 0x2060u, 0x2066u, 0x2069u, 0xFEFFu})
            QTest::addRow("U+%04X", c) << c << true;
        for (const uint c : {0x7Eu, 0xA0u, 0xACu, 0xAEu, 0x61Bu, 0x61Du, 0x200Au, 0x200Cu, 0x2010u,
                             0x2029u, 0x202Fu, 0x205Fu, 0x2061u, 0x2065u, 0x206Au, 0xFEFEu})
            QTest::addRow("U+%04X", c) << c << false;
    }

    void shownFileName()
    {
        QFETCH(uint, codePoint);
        QFETCH(bool, marked);
        const QString name = u"a"_s + QChar(char16_t(codePoint)) + u"b"_s;
        const QString mark = QStringLiteral("[U+%1]").arg(codePoint, 4, 16, QChar(u'0')).toUpper();
        QCOMPARE(::shownFileName(name), marked ? u"a"_s + mark + u"b"_s : name);
    }

    void windows1252_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("accents") << u"<p>Página ©"_s << QByteArray("<p>P\xe1gina \xa9");
        // Every character the block from 0x80 to 0x9F has.
        QTest::newRow("0x80 to 0x9F")
            << u"€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ"_s
            << QByteArray("\x80\x82\x83\x84\x85\x86\x87\x88\x89\x8a\x8b\x8c\x8e\x91\x92\x93\x94\x95"
                          "\x96\x97\x98\x99\x9a\x9b\x9c\x9e\x9f");
        QTest::newRow("mixed") << u"ñ𝄞ñあ"_s << QByteArray("\xf1&#119070;\xf1&#12354;");
        // What a converter would skip as ignorable must still show, or two names would look alike.
        QTest::newRow("ignorables") << u"a\u200Bb\u202Ec\uFEFFd\uFE0F"_s
                                    << QByteArray("a&#8203;b&#8238;c&#65279;d&#65039;");
        QTest::newRow("C1 control") << u"a\u0081b\u009F"_s << QByteArray("a&#129;b&#159;");
        QTest::newRow("lone surrogate")
            << QString(QChar(0xD800)) + u"x"_s << QByteArray("&#65533;x");
    }

    void windows1252()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);

        QCOMPARE(toWindows1252(text), bytes);
    }

    // The compiled formats must render what QLocale renders, in every locale Qt knows.
    void generalDateMatchesQLocale()
    {
        const QList<QDateTime> moments = {{QDate(2026, 12, 6), QTime(10, 5, 9)},
                                          {QDate(2002, 2, 1), QTime(21, 9, 59)},
                                          {QDate(2010, 1, 9), QTime(0, 0, 7)},
                                          {QDate(2024, 2, 29), QTime(0, 0)},
                                          {QDate(999, 7, 30), QTime(12, 0, 1)}};
        const QList<QLocale> locales = QLocale::matchingLocales(
            QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
        QVERIFY(locales.size() > 300);
        QStringList actual, expected;
        for (const QLocale &locale : locales) {
            const LocaleText text(locale);
            const QString time = LocaleText::timeFormatWithoutZone(locale);
            for (const QDateTime &moment : moments) {
                expected << locale.name() + u' '
                                + locale.toString(moment.date(), QLocale::ShortFormat)
                                + (moment.time() == QTime(0, 0)
                                       ? QString()
                                       : u' ' + locale.toString(moment.time(), time));
                actual << locale.name() + u' '
                              + text.generalDate(LocalDateTime::fromDateTime(moment));
            }
        }
        QCOMPARE(actual, expected);
    }

    // Whole numbers (qint64) and fixed two-decimal numbers (double), grouped as the locale groups.
    void numberPatterns_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, const char *locale, QVariant value,
                            const QString &text) {
            QTest::newRow(name) << QString::fromLatin1(locale) << value << text;
        };

        row("es four digits", "es_ES", qint64(1024), u"1.024"_s);
        row("en 64-bit", "en_US", qint64(9007199254740993), u"9,007,199,254,740,993"_s);
        row("en fixed small", "en_US", 0.05, u"0.05"_s);
        row("es rounds up", "es_ES", 1.996, u"2,00"_s);
        row("es fixed grouped", "es_ES", 1234.567, u"1.234,57"_s);
    }

    void numberPatterns()
    {
        QFETCH(QString, locale);
        QFETCH(QVariant, value);
        QFETCH(QString, text);

        const LocaleText format{QLocale(locale)};
        QCOMPARE(value.typeId() == QMetaType::Double ? format.fixedTwo(value.toDouble())
                                                     : format.wholeNumber(value.toLongLong()),
                 text);
    }

    void localTime_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("expected");

        // The tests run with TZ=UTC0.
        QTest::newRow("before epoch") << qint64(-86401) << u"1969-12-30 23:59:59"_s;
        // Dates no calendar conversion can give show as the nearest one that can.
        QTest::newRow("last second") << qint64(253402300799) << u"9999-12-31 23:59:59"_s;
        QTest::newRow("far future") << qint64(67767976233532800) << u"9999-12-31 23:59:59"_s;
        QTest::newRow("far past") << std::numeric_limits<qint64>::min() << u"0001-01-01 00:00:00"_s;
    }

    void localTime()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, expected);

        const LocalDateTime t = LocalDateTime::fromEpochSeconds(seconds);
        QCOMPARE(QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                                   t.minute, t.second),
                 expected);
    }

    // Hidden folders and links to folders are folders; a folder that cannot be read says why.
    void folderEntries()
    {
        TestFolder folder;
        QVERIFY(folder.addFile("file") && folder.addFolder("folder")
                && folder.addFolder(".hiddenfolder") && folder.addLink("link-to-folder", "folder")
                && folder.addLink("dangling", "nowhere"));

        const auto names = [&](EntryKind kind, const QString &where) {
            NameBlock block;
            QByteArrayList list{QByteArray::number(scanFolder(folder.path() + where, kind, block))};
            for (std::size_t i = 0; i < block.size(); ++i)
                list << QByteArray(block.at(i), qsizetype(block.length(i)));
            std::sort(list.begin() + 1, list.end());
            return list;
        };
        QCOMPARE(names(EntryKind::Folders, {}),
                 (QByteArrayList{"0", ".hiddenfolder", "folder", "link-to-folder"}));
        QCOMPARE(names(EntryKind::Files, u"missing/"_s),
                 QByteArrayList{QByteArray::number(ENOENT)});
        QCOMPARE(names(EntryKind::Files, u"file/"_s), QByteArrayList{QByteArray::number(ENOTDIR)});
    }

    // A new page has no name before it is complete; it keeps the old one's ACL and attributes.
    // Where the folder refuses new files, the old page is rewritten in place, but only once
    // there is room for all of the new one.
    void replacement_data()
    {
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<QByteArray>("linkSees");
        const QByteArray old = "otro,Quorvel-Html_index.html";

        QTest::newRow("first page")
            << QByteArray("none") << 3 << "open 1 [] commit 0 keeps 1"_ba << QByteArray();
        QTest::newRow("acl") << QByteArray("system.posix_acl_access") << 3
                             << "open 1 [" + old + "] commit 0 keeps 1"
                             << "old"_ba;
        QTest::newRow("user attribute")
            << QByteArray("user.origen") << 3 << "open 1 [" + old + "] commit 0 keeps 1"
            << "old"_ba;
        QTest::newRow("in place shrinks")
            << QByteArray("refused") << 2 << "open 1 [" + old + "] commit 0 keeps 0"
            << "new"_ba;
        QTest::newRow("in place over limit")
            << QByteArray("refused limit") << 2000
            << "open 1 [" + old + "] commit " + QByteArray::number(EFBIG) + " keeps 1"
            << "old"_ba;
    }

    void replacement()
    {
        QFETCH(QByteArray, setup);
        QFETCH(int, lines);
        QFETCH(QByteArray, report);
        QFETCH(QByteArray, linkSees);

        TestFolder folder;
        const QByteArray page = folder.rawPath() + "Quorvel-Html_index.html";
        const QByteArray old = QByteArray(5000, 'v');
        QByteArray attribute;
        if (setup != "none") {
            QVERIFY(folder.addFile("otro") && folder.append("otro", old));
            QVERIFY(::link((folder.rawPath() + "otro").constData(), page.constData()) == 0);
            QVERIFY(::chmod(page.constData(), 0666) == 0);
        }
        bool trusted = false;
        if (setup.contains('.')) {
            // Owner rw, user 1234 rw, group r, mask rw, others r.
            const quint16 acl[] = {2,      0,      1,    6, 0xffff, 0xffff, 2,    6,
                                   1234,   0,      4,    4, 0xffff, 0xffff, 0x10, 6,
                                   0xffff, 0xffff, 0x20, 4, 0xffff, 0xffff};
            const QByteArray value =
                setup.startsWith("user") ? "valor"_ba : QByteArray((const char *)acl, sizeof acl);
            if (::setxattr(page.constData(), setup.constData(), value.constData(),
                           size_t(value.size()), 0)
                != 0)
                QSKIP(qPrintable("the file system keeps no " + setup + ": " + strerror(errno)));
            attribute.resize(256);
            attribute.resize(
                ::getxattr(page.constData(), setup.constData(), attribute.data(), 256));
            // An attribute may be there with no value at all.
            QVERIFY(!setup.startsWith("user")
                    || ::setxattr(page.constData(), "user.vacio", "", 0, 0) == 0);
            // Those of other kinds (root's "trusted" here) belong to the old file alone.
            trusted = setup.startsWith("user")
                      && ::setxattr(page.constData(), "trusted.folimbra", "x", 1, 0) == 0;
        }
        const bool refuse = setup.startsWith("refused");
        QVERIFY(::chmod(folder.rawPath().constData(), refuse && ::geteuid() != 0 ? 0555 : 0755)
                == 0);
        const QByteArray seen = replaceInChild(folder, setup, lines);
        QVERIFY(::chmod(folder.rawPath().constData(), 0755) == 0);

        QCOMPARE(seen, report);
        QCOMPARE(folder.read("Quorvel-Html_index.html"),
                 linkSees == "old" && refuse ? old : pageText(lines));
        if (!linkSees.isEmpty())
            QCOMPARE(folder.read("otro"), linkSees == "old" ? old : pageText(lines));
        if (!attribute.isEmpty()) {
            QByteArray kept(256, 0);
            kept.resize(::getxattr(page.constData(), setup.constData(), kept.data(), 256));
            QCOMPARE(kept, attribute);
            QVERIFY(!setup.startsWith("user")
                    || ::getxattr(page.constData(), "user.vacio", nullptr, 0) == 0);
            QVERIFY(!trusted || ::getxattr(page.constData(), "trusted.folimbra", nullptr, 0) < 0);
        }
    }

    void temporaryNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("temporary");
        QTest::addColumn<bool>("process");

        QTest::newRow("one digit") << ".Quorvel-Html_index.html.0"_ba << true << false;
        QTest::newRow("seven digits") << ".Quorvel-Html_index.html.1z141z3"_ba << true << false;
        QTest::newRow("eight digits") << ".Quorvel-Html_index.html.1z141z3a"_ba << false << false;
        QTest::newRow("no digits") << ".Quorvel-Html_index.html."_ba << false << false;
        QTest::newRow("upper case") << ".Quorvel-Html_index.html.AB"_ba << false << false;
        QTest::newRow("not hidden") << "Quorvel-Html_index.html.ab"_ba << false << false;
        QTest::newRow("other page") << ".Quorvel-Html_index.htm.ab"_ba << false << false;
        QTest::newRow("the page") << "Quorvel-Html_index.html"_ba << false << false;
        QTest::newRow("process") << ".Quorvel-Html_index.html.4711-1z141z3"_ba << true << true;
        QTest::newRow("ten-digit process")
            << ".Quorvel-Html_index.html.1234567890-a"_ba << true << true;
        QTest::newRow("eleven-digit process")
            << ".Quorvel-Html_index.html.12345678901-a"_ba << false << false;
        QTest::newRow("process alone") << ".Quorvel-Html_index.html.4711-"_ba << false << false;
        QTest::newRow("leading zero") << ".Quorvel-Html_index.html.0471-a"_ba << false << false;
        QTest::newRow("two dashes") << ".Quorvel-Html_index.html.47-11-a"_ba << false << false;
        QTest::newRow("another file's") << ".catalogo.html.4711-a"_ba << false << true;
    }

    void temporaryNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, temporary);
        QFETCH(bool, process);

        QCOMPARE(isTemporaryNameOf(name.constData(), "Quorvel-Html_index.html"), temporary);
        QCOMPARE(namesItsProcess(name.constData()), process);
    }

    void keepEqual_data()
    {
        QTest::addColumn<QByteArray>("old");
        QTest::addColumn<QByteArrayList>("parts"); // "~" first: written as varying
        QTest::addColumn<bool>("left");

        const QByteArray big(200000, 'x');
        const QByteArrayList page{"<b>a :: ", "~08/12/2026 12:00:00", "</b>\r\n", "fin ", "~0,52",
                                  " s\r\n"};
        QTest::newRow("same") << "<b>a :: 1/1/2001 0:00:00</b>\r\nfin 12,00 s\r\n"_ba << page
                              << true;
        QTest::newRow("no time") << "<b>a :: </b>\r\nfin  s\r\n"_ba << page << true;
        QTest::newRow("other heading")
            << "<b>b :: 1/1/2001 0:00:00</b>\r\nfin 12,00 s\r\n"_ba << page << false;
        QTest::newRow("after the time")
            << "<b>a :: 1/1/2001 0:00:00</b>\r\nfin 12,00 s!\r\n"_ba << page << false;
        QTest::newRow("a line more")
            << "<b>a :: 1/1/2001 0:00:00</b>\r\nfin 12,00 s\r\n\r\n"_ba << page << false;
        QTest::newRow("shorter") << "<b>a :: 1/1/2001 0:00:00</b>\r\nfin 12,00 s\r"_ba << page
                                 << false;
        QTest::newRow("time across lines")
            << "<b>a :: 1/1\n/2001</b>\r\nfin 12,00 s\r\n"_ba << page << false;
        QTest::newRow("time too long") << "<b>a :: " + QByteArray(65, '1') + "</b>\r\nfin 1 s\r\n"
                                       << page << false;
        QTest::newRow("empty old") << QByteArray() << page << false;
        QTest::newRow("time at the end") << "a 12"_ba << QByteArrayList{"a ", "~3"} << true;
        QTest::newRow("big same") << big + "1" + big << QByteArrayList{big, "~2", big} << true;
        // Ending where a read of the old file ends (64 KiB): only one more read tells its end.
        const QByteArray reads(2 * 64 * 1024, 'x');
        QTest::newRow("same, whole reads") << reads << QByteArrayList{reads} << true;
        QTest::newRow("one more after whole reads")
            << reads + "y" << QByteArrayList{reads} << false;
        QTest::newRow("big differs")
            << big + "1" + big + "y" << QByteArrayList{big, "~2", big + "z", big} << false;
        // Past the first read of the old file, before its next difference.
        QTest::newRow("differs after a read")
            << big + "1" + big << QByteArrayList{big, "~2", big.left(70000) + "z" + big.mid(70001)}
            << false;
        QTest::newRow("differs in the time") << big + "1\n"
                                             << QByteArrayList{big, "~2", "\n" + big} << false;
    }

    // Equal but for the varying parts, the old file stays (the same inode); otherwise the new
    // file holds exactly the new bytes, whatever matched before the difference.
    void keepEqual()
    {
        QFETCH(QByteArray, old);
        QFETCH(QByteArrayList, parts);
        QFETCH(bool, left);

        TestFolder folder;
        QVERIFY(folder.addFile("f") && folder.append("f", old));
        struct stat before;
        QCOMPARE(::stat((folder.rawPath() + "f").constData(), &before), 0);
        const FileDescriptor fd(::open(folder.rawPath().constData(), O_RDONLY | O_DIRECTORY));
        FileReplacement file;
        ReplacementOptions options;
        options.keepEqual = true;
        QByteArray expected;
        const auto replace = [&] {
            expected.clear();
            if (!file.open(fd.get(), "f", options))
                return false;
            for (const QByteArray &part : parts) {
                const bool varying = part.startsWith('~');
                const QByteArray bytes = varying ? part.mid(1) : part;
                const std::string_view view(bytes.constData(), std::size_t(bytes.size()));
                if (!(varying ? file.writeVarying(view) : file.write(view)))
                    return false;
                expected += bytes;
            }
            return file.commit();
        };
        QVERIFY(replace());
        QCOMPARE(file.left(), left);
        struct stat after;
        QCOMPARE(::stat((folder.rawPath() + "f").constData(), &after), 0);
        QCOMPARE(after.st_ino == before.st_ino, left);
        QCOMPARE(folder.read("f"), left ? old : expected);
        // The same bytes again, through the same object: nothing of the last run is left over.
        QVERIFY(replace());
        QVERIFY(file.left());
        QCOMPARE(folder.read("f"), left ? old : expected);
        QCOMPARE(
            QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{u"f"_s});
    }

    void userVolumes_data()
    {
        QTest::addColumn<QString>("mountPoint");
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<bool>("drive");
        const auto row = [](const char *name, const char *mountPoint, const char *device,
                            const char *type, bool drive) {
            QTest::newRow(name) << QString::fromUtf8(mountPoint) << QByteArray(device)
                                << QByteArray(type) << drive;
        };

        row("root in a container", "/", "overlay", "overlay", true);
        row("usb stick", "/media/ana/USB", "/dev/sdb1", "vfat", true);
        row("network share", "/mnt/nas", "nas:/export", "nfs4", true);
        row("efi partition", "/boot/efi", "/dev/sda1", "vfat", false);
        row("loop device", "/mnt/iso", "/dev/loop0", "iso9660", false);
        row("disc image on the desktop", "/media/ana/CD", "/dev/loop7", "iso9660", true);
        row("usb stick under /run/media", "/run/media/ana/USB", "/dev/sdb1", "vfat", true);
        row("a name that begins like a system folder", "/tmpdatos", "/dev/sdb1", "ext4", true);
        // A disk of its own mounted for the system is no drive either.
        for (const char *system : {"/proc/x", "/sys/x", "/dev/x", "/run/x", "/boot", "/snap/x",
                                   "/var/lib/x", "/var/snap/x", "/efi", "/tmp", "/var/tmp/x"})
            row(system, system, "/dev/sdc1", "ext4", false);
    }

    void userVolumes()
    {
        QFETCH(QString, mountPoint);
        QFETCH(QByteArray, device);
        QFETCH(QByteArray, type);
        QFETCH(bool, drive);

        QCOMPARE(isUserVolume({mountPoint, device, type}), drive);
    }

    // No mount of this machine that is no drive reaches the list (the sandboxes that run these
    // tests mount a tmpfs or two outside /dev), unless a drive is mounted at the same point.
    void machineVolumes()
    {
        const QList<Volume> volumes = ::userVolumes();
        QStringList refused, taken;
        for (const QStorageInfo &storage : QStorageInfo::mountedVolumes()) {
            const MountFacts facts{storage.rootPath(), storage.device(), storage.fileSystemType()};
            (isUserVolume(facts) ? taken : refused) << facts.mountPoint;
        }
        for (const Volume &volume : volumes)
            QVERIFY2(!refused.contains(volume.mountPoint) || taken.contains(volume.mountPoint)
                         || volume.mountPoint == u"/",
                     qPrintable(volume.mountPoint));
    }

    void volumeList_data()
    {
        QTest::addColumn<QStringList>("mounted"); // mount point=label
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("none") << QStringList() << QStringList{u"/="_s};
        QTest::newRow("root kept, drives after it")
            << QStringList{u"/media/b=B"_s, u"/=raíz"_s, u"/media/a=A"_s}
            << QStringList{u"/=raíz"_s, u"/media/a=A"_s, u"/media/b=B"_s};
        QTest::newRow("no root mount")
            << QStringList{u"/mnt/nas="_s} << QStringList{u"/="_s, u"/mnt/nas="_s};
        QTest::newRow("mounted twice") << QStringList{u"/media/u=uno"_s, u"/media/u=dos"_s}
                                       << QStringList{u"/="_s, u"/media/u=uno"_s};
    }

    void volumeList()
    {
        QFETCH(QStringList, mounted);
        QFETCH(QStringList, listed);

        QList<Volume> volumes;
        for (const QString &mount : mounted)
            volumes.append({mount.section(u'=', 0, 0), mount.section(u'=', 1)});
        QStringList got;
        for (const Volume &volume : ::volumeList(volumes))
            got << volume.mountPoint + u'=' + volume.label;
        QCOMPARE(got, listed);
    }

    void volumeRoot_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("root");

        QTest::newRow("inside home") << u"/home/ana/fotos"_s << u"/home"_s;
        QTest::newRow("the mount point") << u"/home"_s << u"/home"_s;
        QTest::newRow("same prefix only") << u"/homework/x"_s << u"/"_s;
        QTest::newRow("nested mounts") << u"/home/ana/usb/x"_s << u"/home/ana/usb"_s;
    }

    void volumeRoot()
    {
        QFETCH(QString, path);
        QFETCH(QString, root);

        const QList<Volume> volumes = {
            {u"/"_s, {}}, {u"/home/ana/usb"_s, u"USB"_s}, {u"/home"_s, {}}};
        QCOMPARE(volumeRootOf(path, volumes), root);
    }
};

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
