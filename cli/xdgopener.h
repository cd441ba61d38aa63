#pragma once

#include "documentopener.h"

// The desktop's opener as a headless program reaches it: the freedesktop `xdg-open`, started
// detached so that the program does not wait for the viewer.
class XdgOpener : public DocumentOpener
{
public:
    bool open(const QString &path) override;
};
