#pragma once

#include <QString>

// Hands a document to the desktop's default application without waiting for it. Each front end
// brings its own: the window asks the desktop, the headless one starts the freedesktop opener.
class DocumentOpener
{
public:
    virtual ~DocumentOpener() = default;
    // Whether the request could be handed on; nothing more is known.
    virtual bool open(const QString &path) = 0;
};
