#include "appinfo.h"

QString AppInfo::versionText()
{
    return QString::number(Major) + u'.' + QString::number(Minor) + u'.'
           + QString::number(Revision);
}
