#include "clock.h"
#include "messagetexts.h"
#include "perendat.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QTest>

namespace {

QDateTime at(int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::LocalTime);
}

// Years, months and days as one text, "none" for no value, so a failure shows all three.
QString counts(const QDateTime &x, const QDateTime &y)
{
    QStringList parts;
    for (const QString &tipo : QStringList{"a", "m", "d"}) {
        const std::optional<qint32> count = perendat(x, y, tipo);
        parts += count ? QString::number(*count) : QStringLiteral("none");
    }
    return parts.join(u' ');
}

// Hands out the given moments one read after another.
class SequenceClock : public Clock
{
public:
    explicit SequenceClock(QList<QDateTime> moments)
        : m_moments(std::move(moments))
    {}
    QDateTime now() const override { return m_moments.at(qMin(m_reads++, m_moments.size() - 1)); }

private:
    QList<QDateTime> m_moments;
    mutable qsizetype m_reads = 0;
};

} // namespace

class TestMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void perendatCounts_data();
    void perendatCounts();
    void help();
    void acknowledgement_data();
    void acknowledgement();
};

void TestMessages::perendatCounts_data()
{
    QTest::addColumn<QDateTime>("x");
    QTest::addColumn<QDateTime>("y");
    QTest::addColumn<QString>("expected");

    QTest::newRow("quit to 2026") << at(2002, 2, 1) << at(2026, 12, 6, 10) << "24 10 5";
    QTest::newRow("same moment") << at(2002, 2, 1) << at(2002, 2, 1) << "0 0 0";
    QTest::newRow("same day") << at(2002, 2, 1) << at(2002, 2, 1, 23, 59) << "0 0 0";
    QTest::newRow("one midnight") << at(2002, 2, 1, 23, 59) << at(2002, 2, 2, 0, 1) << "0 0 1";
    QTest::newRow("year by date") << at(2002, 2, 1, 12) << at(2003, 2, 1, 8) << "1 0 0";
    QTest::newRow("year short") << at(2002, 2, 15) << at(2003, 2, 10) << "0 11 26";
    QTest::newRow("month 0") << at(2001, 12, 15) << at(2002, 1, 10) << "0 0 26";
    QTest::newRow("31 Dec-1 Feb") << at(2001, 12, 31) << at(2002, 2, 1) << "0 1 1";
    QTest::newRow("31 Jan-28 Feb") << at(2002, 1, 31) << at(2002, 2, 28) << "0 0 28";
    QTest::newRow("31 Jan-31 Mar") << at(2002, 1, 31) << at(2002, 3, 31) << "0 2 0";
    QTest::newRow("31 Mar-30 Apr") << at(2002, 3, 31) << at(2002, 4, 30) << "0 0 30";
    QTest::newRow("29 Feb-28 Feb") << at(2004, 2, 29) << at(2005, 2, 28) << "0 11 30";
    QTest::newRow("28 Feb-29 Feb") << at(2003, 2, 28) << at(2004, 2, 29) << "1 0 1";
    QTest::newRow("29 Feb-29 Feb") << at(2004, 2, 29) << at(2008, 2, 29) << "4 0 0";
    // The earlier day does not exist in the borrow month: it stands at that month's last day.
    QTest::newRow("clamp 31 Jan-1 Mar") << at(2002, 1, 31) << at(2002, 3, 1) << "0 1 1";
    QTest::newRow("clamp 31 Jan-15 Mar") << at(2002, 1, 31) << at(2002, 3, 15) << "0 1 15";
    QTest::newRow("clamp 29 Feb-1 Mar") << at(2004, 2, 29) << at(2005, 3, 1) << "1 0 1";
    QTest::newRow("clamp 30 Jan-1 Mar leap") << at(2004, 1, 30) << at(2004, 3, 1) << "0 1 1";
    QTest::newRow("invalid moment") << QDateTime() << at(2002, 2, 1) << "none none none";
}

void TestMessages::perendatCounts()
{
    QFETCH(QDateTime, x);
    QFETCH(QDateTime, y);
    QFETCH(QString, expected);

    QCOMPARE(counts(x, y), expected);
    QCOMPARE(counts(y, x), expected);
    for (const QString &tipo : QStringList{"A", "M", "D", "y", "", "aa", " a"})
        QVERIFY2(!perendat(x, y, tipo), qPrintable(tipo));
}

void TestMessages::help()
{
    QCOMPARE(helpText(),
             "Programa folimbra de fotos, música y todo lo que se te ocurra y tengas en "
             "directorios...\nEmail: folimbra@quorvel.example");
}

void TestMessages::acknowledgement_data()
{
    QTest::addColumn<QList<QDateTime>>("reads");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("date");

    const QList<QDateTime> late{at(2026, 12, 6, 10)};
    QTest::newRow("2026") << late << "es_ES"
                          << "24 Años, 10 Meses Y 5"
                          << "VIERNES, 1 DE FEBRERO DE 2002";
    QTest::newRow("English") << late << "en_US"
                             << "24 Años, 10 Meses Y 5"
                             << "FRIDAY, FEBRUARY 1, 2002";
    // Each count takes its own read of the clock, in the order years, months, days.
    QTest::newRow("a read a count")
        << QList{at(2005, 2, 1), at(2005, 6, 1), at(2005, 6, 20)} << "es_ES"
        << "3 Años, 4 Meses Y 19"
        << "VIERNES, 1 DE FEBRERO DE 2002";
}

void TestMessages::acknowledgement()
{
    QFETCH(QList<QDateTime>, reads);
    QFETCH(QString, locale);
    QFETCH(QString, start);
    QFETCH(QString, date);

    QCOMPARE(
        acknowledgementText(SequenceClock(reads), QLocale(locale)),
        "El Autor De Este Programa Lleva Sin Fumar, " + start
            + " Días, ¡¡ Esperemos Que Continue Sin Hacerlo !! Me Refiero A Fumar Jeje... Dejo "
              "De Hacerlo El "
            + date
            + ", A Las 0 Horas. En Cuanto Agradecimientos...\r¡¡ Ahh Si !!, Pos A Toas Y Tos "
              "Los Que Useis Este Programa... ¡¡ Va Por Vosotr@s !!");
}

QTEST_GUILESS_MAIN(TestMessages)
#include "tst_messages.moc"
