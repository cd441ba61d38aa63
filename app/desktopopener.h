#pragma once

#include "documentopener.h"

#include <QUrl>

// The desktop's default application for a file, reached through Qt's desktop services.
class DesktopOpener : public DocumentOpener
{
public:
    bool open(const QString &path) override;
};

// Built from the path's raw bytes, so that a name that is not valid UTF-8 still names its file.
QUrl fileUrl(const QString &path);
