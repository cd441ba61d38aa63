#include "messagetexts.h"

#include "appinfo.h"
#include "clock.h"
#include "perendat.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

namespace {

QString countText(std::optional<qint32> count)
{
    return count ? QString::number(*count) : QString();
}

} // namespace

QString messageTitle()
{
    return AppInfo::productName();
}

QString helpText()
{
    return QStringLiteral(
               "Programa folimbra de fotos, música y todo lo que se te ocurra y tengas en "
               "directorios...")
           + QChar(10) + QStringLiteral("Email: folimbra@quorvel.example");
}

QString acknowledgementText(const Clock &clock, const QLocale &locale)
{
    const QDate quitDate(2002, 2, 1);
    const QDateTime quitMoment(quitDate, QTime(0, 0), Qt::LocalTime);

    // The clock is read once per count, on purpose: each count is taken against its own read,
    // so a read that falls just past midnight shows in the counts taken after it.
    const QString years = countText(perendat(quitMoment, clock.now(), QStringLiteral("a")));
    const QString months = countText(perendat(quitMoment, clock.now(), QStringLiteral("m")));
    const QString days = countText(perendat(quitMoment, clock.now(), QStringLiteral("d")));

    const QString dateText = locale.toUpper(locale.toString(quitDate, QLocale::LongFormat));

    return QStringLiteral("El Autor De Este Programa Lleva Sin Fumar, ") + years
           + QStringLiteral(" Años, ") + months + QStringLiteral(" Meses Y ") + days
           + QStringLiteral(" Días, ¡¡ Esperemos Que Continue Sin Hacerlo !! Me Refiero A Fumar "
                            "Jeje... ")
           + QStringLiteral("Dejo De Hacerlo El ") + dateText
           + QStringLiteral(", A Las 0 Horas. En Cuanto Agradecimientos...") + QChar(13)
           + QStringLiteral("¡¡ Ahh Si !!, Pos A Toas Y Tos Los Que Useis Este Programa... ¡¡ Va "
                            "Por Vosotr@s !!");
}
