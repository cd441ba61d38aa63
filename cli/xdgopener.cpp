#include "xdgopener.h"

#include "filenames.h"

#include <QProcess>
#include <QStringList>

bool XdgOpener::open(const QString &path)
{
    return QProcess::startDetached(QStringLiteral("xdg-open"),
                                   {QString::fromLatin1(fileUrl(path))});
}
