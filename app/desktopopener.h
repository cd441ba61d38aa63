#pragma once

#include "documentopener.h"

// The desktop's default application for a file, reached through Qt's desktop services.
class DesktopOpener : public DocumentOpener
{
public:
    bool open(const QString &path) override;
};
