#include "clock.h"
#include "messagetexts.h"
#include "perendat.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QRegularExpression>
#include <QTest>
#include <QTime>

#include <optional>

namespace {

QDateTime at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
             int msec = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, msec), Qt::LocalTime);
}

// A count as text, "none" for no value, so that failures show both sides.
QString shown(std::optional<qint32> count)
{
    return count ? QString::number(*count) : QStringLiteral("none");
}

// A clock that hands out the given moments one read after another and counts its reads.
class SequenceClock : public Clock
{
public:
    explicit SequenceClock(QList<QDateTime> moments)
        : m_moments(std::move(moments))
    {}

    QDateTime now() const override
    {
        const qsizetype i = qMin(qsizetype(m_reads), m_moments.size() - 1);
        ++m_reads;
        return m_moments.at(i);
    }

    int reads() const { return m_reads; }

private:
    QList<QDateTime> m_moments;
    mutable int m_reads = 0;
};

// The three counts the acknowledgement text shows, "none" where the text does not match.
QStringList countsIn(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^El Autor De Este Programa Lleva Sin Fumar, (\\d*) Años, (\\d*) Meses Y "
                       "(\\d*) Días, "));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return {QStringLiteral("none")};
    return {match.captured(1), match.captured(2), match.captured(3)};
}

const QString SpanishText =
    QStringLiteral("El Autor De Este Programa Lleva Sin Fumar, 24 Años, 10 Meses Y 5 Días, ¡¡ "
                   "Esperemos Que Continue Sin Hacerlo !! Me Refiero A Fumar Jeje... Dejo De "
                   "Hacerlo El VIERNES, 1 DE FEBRERO DE 2002, A Las 0 Horas. En Cuanto "
                   "Agradecimientos...\r¡¡ Ahh Si !!, Pos A Toas Y Tos Los Que Useis Este "
                   "Programa... ¡¡ Va Por Vosotr@s !!");

} // namespace

class TestMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void perendatCounts_data();
    void perendatCounts();
    void perendatUnknownSelector_data();
    void perendatUnknownSelector();
    void perendatInvalidMoment();
    void title();
    void help();
    void acknowledgementSpanish();
    void acknowledgementEnglish();
    void acknowledgementCounts_data();
    void acknowledgementCounts();
    void acknowledgementReadsClockPerCount_data();
    void acknowledgementReadsClockPerCount();
};

void TestMessages::perendatCounts_data()
{
    QTest::addColumn<QDateTime>("x");
    QTest::addColumn<QDateTime>("y");
    QTest::addColumn<int>("years");
    QTest::addColumn<int>("months");
    QTest::addColumn<int>("days");

    QTest::newRow("quit date to 2026-12-06 10:00")
        << at(2002, 2, 1) << at(2026, 12, 6, 10) << 24 << 10 << 5;
    QTest::newRow("same moment") << at(2002, 2, 1) << at(2002, 2, 1) << 0 << 0 << 0;
    QTest::newRow("same day, other time")
        << at(2002, 2, 1) << at(2002, 2, 1, 23, 59) << 0 << 0 << 0;
    QTest::newRow("across one midnight")
        << at(2002, 2, 1, 23, 59) << at(2002, 2, 2, 0, 1) << 0 << 0 << 1;
    QTest::newRow("one year, earlier time")
        << at(2002, 2, 1, 12) << at(2003, 2, 1, 8) << 1 << 0 << 0;
    QTest::newRow("day short of a year") << at(2002, 2, 15) << at(2003, 2, 10) << 0 << 11 << 26;
    QTest::newRow("borrow from December") << at(2001, 12, 15) << at(2002, 1, 10) << 0 << 0 << 26;
    QTest::newRow("31 Dec to 1 Feb") << at(2001, 12, 31) << at(2002, 2, 1) << 0 << 1 << 1;
    QTest::newRow("31 Jan to 28 Feb") << at(2002, 1, 31) << at(2002, 2, 28) << 0 << 0 << 28;
    QTest::newRow("31 Jan to 31 Mar") << at(2002, 1, 31) << at(2002, 3, 31) << 0 << 2 << 0;
    QTest::newRow("31 Mar to 30 Apr") << at(2002, 3, 31) << at(2002, 4, 30) << 0 << 0 << 30;
    QTest::newRow("29 Feb to 28 Feb") << at(2004, 2, 29) << at(2005, 2, 28) << 0 << 11 << 30;
    QTest::newRow("28 Feb to 29 Feb") << at(2003, 2, 28) << at(2004, 2, 29) << 1 << 0 << 1;
    QTest::newRow("29 Feb to 29 Feb") << at(2004, 2, 29) << at(2008, 2, 29) << 4 << 0 << 0;

    // The earlier date's day does not exist in the borrow month: it is clamped to its last day.
    QTest::newRow("clamped 31 Jan to 1 Mar") << at(2002, 1, 31) << at(2002, 3, 1) << 0 << 1 << 1;
    QTest::newRow("clamped 31 Jan to 15 Mar") << at(2002, 1, 31) << at(2002, 3, 15) << 0 << 1 << 15;
    QTest::newRow("clamped 29 Feb to 1 Mar") << at(2004, 2, 29) << at(2005, 3, 1) << 1 << 0 << 1;
    QTest::newRow("clamped 31 Mar to 1 May") << at(2002, 3, 31) << at(2002, 5, 1) << 0 << 1 << 1;
    QTest::newRow("clamped 30 Jan to 1 Mar, leap")
        << at(2004, 1, 30) << at(2004, 3, 1) << 0 << 1 << 1;
}

void TestMessages::perendatCounts()
{
    QFETCH(QDateTime, x);
    QFETCH(QDateTime, y);
    QFETCH(int, years);
    QFETCH(int, months);
    QFETCH(int, days);

    QCOMPARE(shown(perendat(x, y, QStringLiteral("a"))), QString::number(years));
    QCOMPARE(shown(perendat(x, y, QStringLiteral("m"))), QString::number(months));
    QCOMPARE(shown(perendat(x, y, QStringLiteral("d"))), QString::number(days));

    QCOMPARE(shown(perendat(y, x, QStringLiteral("a"))), QString::number(years));
    QCOMPARE(shown(perendat(y, x, QStringLiteral("m"))), QString::number(months));
    QCOMPARE(shown(perendat(y, x, QStringLiteral("d"))), QString::number(days));
}

void TestMessages::perendatUnknownSelector_data()
{
    QTest::addColumn<QString>("tipo");

    QTest::newRow("A") << QStringLiteral("A");
    QTest::newRow("M") << QStringLiteral("M");
    QTest::newRow("D") << QStringLiteral("D");
    QTest::newRow("y") << QStringLiteral("y");
    QTest::newRow("empty") << QString();
    QTest::newRow("aa") << QStringLiteral("aa");
    QTest::newRow("blank a") << QStringLiteral(" a");
}

void TestMessages::perendatUnknownSelector()
{
    QFETCH(QString, tipo);

    const QDateTime x = at(2002, 2, 1);
    const QDateTime y = at(2026, 12, 6, 10);
    QCOMPARE(shown(perendat(x, y, tipo)), QStringLiteral("none"));
    QCOMPARE(shown(perendat(y, x, tipo)), QStringLiteral("none"));
    QCOMPARE(shown(perendat(x, x, tipo)), QStringLiteral("none"));
}

void TestMessages::perendatInvalidMoment()
{
    QCOMPARE(shown(perendat(QDateTime(), at(2002, 2, 1), QStringLiteral("a"))),
             QStringLiteral("none"));
    QCOMPARE(shown(perendat(at(2002, 2, 1), QDateTime(), QStringLiteral("d"))),
             QStringLiteral("none"));
}

void TestMessages::title()
{
    QCOMPARE(messageTitle(), QStringLiteral("^Quorvel^ Folimbra"));
}

void TestMessages::help()
{
    const QString text = helpText();
    QCOMPARE(text, QStringLiteral("Programa folimbra de fotos, música y todo lo que se te ocurra "
                                  "y tengas en directorios...\nEmail: folimbra@quorvel.example"));
    QCOMPARE(text.count(QChar(10)), 1);
    QCOMPARE(text.count(QChar(13)), 0);
}

void TestMessages::acknowledgementSpanish()
{
    const SequenceClock clock({at(2026, 12, 6, 10)});
    const QString text = acknowledgementText(clock, QLocale(QStringLiteral("es_ES")));

    QCOMPARE(text, SpanishText);
    QCOMPARE(text.count(QChar(13)), 1);
    QCOMPARE(text.count(QChar(10)), 0);
    QCOMPARE(clock.reads(), 3);
}

void TestMessages::acknowledgementEnglish()
{
    const SequenceClock clock({at(2026, 12, 6, 10)});
    const QString text = acknowledgementText(clock, QLocale(QStringLiteral("en_US")));

    QVERIFY2(text.contains(QStringLiteral("Dejo De Hacerlo El FRIDAY, FEBRUARY 1, 2002, A Las 0 "
                                          "Horas.")),
             qPrintable(text));
    QCOMPARE(countsIn(text), (QStringList{"24", "10", "5"}));
}

void TestMessages::acknowledgementCounts_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QStringList>("counts");

    QTest::newRow("quit moment") << at(2002, 2, 1) << QStringList{"0", "0", "0"};
    QTest::newRow("quit day, noon") << at(2002, 2, 1, 12) << QStringList{"0", "0", "0"};
    QTest::newRow("quit day, last second")
        << at(2002, 2, 1, 23, 59, 59) << QStringList{"0", "0", "0"};
    QTest::newRow("day before, 16:45") << at(2002, 1, 31, 16, 45) << QStringList{"0", "0", "1"};
    QTest::newRow("15 Dec 2001") << at(2001, 12, 15) << QStringList{"0", "1", "17"};
    QTest::newRow("6 Dec 2026 10:00") << at(2026, 12, 6, 10) << QStringList{"24", "10", "5"};
}

void TestMessages::acknowledgementCounts()
{
    QFETCH(QDateTime, now);
    QFETCH(QStringList, counts);

    const SequenceClock clock({now});
    QCOMPARE(countsIn(acknowledgementText(clock, QLocale(QStringLiteral("es_ES")))), counts);
}

void TestMessages::acknowledgementReadsClockPerCount_data()
{
    QTest::addColumn<QDateTime>("first");
    QTest::addColumn<QDateTime>("second");
    QTest::addColumn<QDateTime>("third");
    QTest::addColumn<QStringList>("counts");

    // Before midnight a read gives 0 years, 11 months, 30 days; after it 1, 0, 0. A mixture
    // no single read can give shows that each count comes from its own read, in the order
    // years, months, days.
    QTest::newRow("midnight before the third read")
        << at(2003, 1, 31, 23, 59, 59, 998) << at(2003, 1, 31, 23, 59, 59, 999) << at(2003, 2, 1)
        << QStringList{"0", "11", "0"};
    QTest::newRow("midnight before the second read")
        << at(2003, 1, 31, 23, 59, 59) << at(2003, 2, 1) << at(2003, 2, 1, 0, 0, 1)
        << QStringList{"0", "0", "0"};
    // Three reads far apart: 3 years from the first, 4 months from the second, 19 days from the
    // third; reading them in another order would give other counts.
    QTest::newRow("three distinct reads")
        << at(2005, 2, 1) << at(2005, 6, 1) << at(2005, 6, 20) << QStringList{"3", "4", "19"};
}

void TestMessages::acknowledgementReadsClockPerCount()
{
    QFETCH(QDateTime, first);
    QFETCH(QDateTime, second);
    QFETCH(QDateTime, third);
    QFETCH(QStringList, counts);

    const SequenceClock clock({first, second, third});
    QCOMPARE(countsIn(acknowledgementText(clock, QLocale(QStringLiteral("es_ES")))), counts);
    QCOMPARE(clock.reads(), 3);
}

QTEST_GUILESS_MAIN(TestMessages)
#include "tst_messages.moc"
