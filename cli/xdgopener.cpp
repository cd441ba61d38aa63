#include "xdgopener.h"

#include "filenames.h"

#include <QProcess>
#include <QStringList>

bool XdgOpener::open(const QString &path)
{
    // Built from the raw bytes, so that a path that is not valid UTF-8 still names its file.
    const QByteArray url = "file://" + encodeFileName(path).toPercentEncoding("/");
    return QProcess::startDetached(QStringLiteral("xdg-open"), {QString::fromLatin1(url)});
}
