#include "videoname.h"

#include <QLatin1StringView>

namespace {

template <typename Name> bool endsAsVideo(Name name)
{
    const qsizetype dot = name.lastIndexOf('.');
    if (dot < 0)
        return false;
    const auto ending = name.sliced(dot + 1);
    for (const char *known : {"mp4", "m4v", "mkv", "webm", "mov", "avi"}) {
        if (QLatin1StringView(known).compare(ending, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

bool isVideoFileName(QByteArrayView rawName)
{
    return endsAsVideo(QLatin1StringView(rawName));
}

bool isVideoFileName(QStringView name)
{
    return endsAsVideo(name);
}
