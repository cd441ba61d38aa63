#include "desktopopener.h"

#include "filenames.h"

#include <QDesktopServices>

QUrl fileUrl(const QString &path)
{
    QByteArray encoded = "file://";
    encoded += encodeFileName(path).toPercentEncoding("/");
    return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}

bool DesktopOpener::open(const QString &path)
{
    return QDesktopServices::openUrl(fileUrl(path));
}
