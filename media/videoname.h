#pragma once

#include <QByteArrayView>
#include <QStringView>

// Whether the name ends as the video files that get a poster do: mp4, m4v, mkv, webm, mov, avi.
bool isVideoFileName(QByteArrayView rawName);
bool isVideoFileName(QStringView name);
