#include "desktopopener.h"

#include "filenames.h"

#include <QDesktopServices>
#include <QUrl>

bool DesktopOpener::open(const QString &path)
{
    return QDesktopServices::openUrl(QUrl::fromEncoded(fileUrl(path), QUrl::StrictMode));
}
