#include "clock.h"
#include "messagetexts.h"
#include "perendat.h"

#include <QLocale>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QDateTime at(int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::LocalTime);
}

// Hands out the given moments one read after another, the last one for ever.
struct SequenceClock : Clock
{
    mutable QList<QDateTime> moments;
    QDateTime now() const override { return moments.size() > 1 ? moments.takeFirst() : moments[0]; }
};

} // namespace

class TestMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void perendatCounts_data()
    {
        QTest::addColumn<QDateTime>("x");
        QTest::addColumn<QDateTime>("y");
        QTest::addColumn<QString>("expected");

        QTest::newRow("same day") << at(2002, 2, 1) << at(2002, 2, 1, 23, 59) << "0 0 0";
        QTest::newRow("one midnight") << at(2002, 2, 1, 23, 59) << at(2002, 2, 2, 0, 1) << "0 0 1";
        QTest::newRow("year by date") << at(2002, 2, 1, 12) << at(2003, 2, 1, 8) << "1 0 0";
        QTest::newRow("year short") << at(2002, 2, 15) << at(2003, 2, 10) << "0 11 26";
        QTest::newRow("month 0") << at(2001, 12, 15) << at(2002, 1, 10) << "0 0 26";
        QTest::newRow("31 Dec-1 Feb") << at(2001, 12, 31) << at(2002, 2, 1) << "0 1 1";
        QTest::newRow("31 Jan-31 Mar") << at(2002, 1, 31) << at(2002, 3, 31) << "0 2 0";
        QTest::newRow("29 Feb-28 Feb") << at(2004, 2, 29) << at(2005, 2, 28) << "0 11 30";
        QTest::newRow("28 Feb-29 Feb") << at(2003, 2, 28) << at(2004, 2, 29) << "1 0 1";
        // The earlier day does not exist in the borrow month: it stands at that month's last day.
        QTest::newRow("clamp 31 Jan-1 Mar") << at(2002, 1, 31) << at(2002, 3, 1) << "0 1 1";
        QTest::newRow("invalid moment") << QDateTime() << at(2002, 2, 1) << "- - -";
    }

    void perendatCounts()
    {
        QFETCH(QDateTime, x);
        QFETCH(QDateTime, y);
        QFETCH(QString, expected);

        // Years, months and days in one text, "-" for no value, so a failure shows all three; the
        // order of the moments does not matter, and selectors it does not know give no value.
        for (const auto &[a, b] : {std::pair{x, y}, std::pair{y, x}}) {
            QStringList counts;
            for (const char *tipo : {"a", "m", "d", "A", "M", "D", "y", "", "aa", " a"}) {
                const std::optional<qint32> count = perendat(a, b, QString::fromLatin1(tipo));
                counts << (count ? QString::number(*count) : QStringLiteral("-"));
            }
            QCOMPARE(counts.join(u' '), expected + " - - - - - - -");
        }
    }

    // Each count takes its own read of the clock, in the order years, months, days; the date is
    // in the locale's words. The whole text is checked where the window shows it.
    void acknowledgement()
    {
        SequenceClock clock;
        clock.moments = {at(2005, 2, 1), at(2005, 6, 1), at(2005, 6, 20)};
        const QString text = acknowledgementText(clock, QLocale(u"en_US"_s));
        QVERIFY2(text.contains(u"Sin Fumar, 3 Años, 4 Meses Y 19 Días, "_s)
                     && text.contains(u"El FRIDAY, FEBRUARY 1, 2002, A Las 0 Horas."_s),
                 qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestMessages)
#include "tst_messages.moc"
