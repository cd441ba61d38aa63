#include "documentopener.h"

#include "filenames.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>
#include <QUrl>

namespace {

// Built from the raw bytes, so that a path that is not valid UTF-8 still names its file.
QUrl fileUrl(const QString &path)
{
    QByteArray encoded = "file://";
    encoded += encodeFileName(path).toPercentEncoding("/");
    return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}

} // namespace

bool DocumentOpener::open(const QString &path)
{
    const QUrl url = fileUrl(path);
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return QDesktopServices::openUrl(url);
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Without a GUI application (the command-line front end) there is no desktop services
    // plugin; the freedesktop opener is what it would call.
    return QProcess::startDetached(QStringLiteral("xdg-open"),
                                   {QString::fromLatin1(url.toEncoded())});
#else
    return QDesktopServices::openUrl(url);
#endif
}

DocumentOpener &DocumentOpener::system()
{
    static DocumentOpener opener;
    return opener;
}
