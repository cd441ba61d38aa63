#pragma once

#include "documentopener.h"

#include <QString>

// The desktop's opener as a headless program reaches it: the freedesktop `xdg-open`. It is
// waited for a moment so that its failure and what it printed can be told with the program's
// prefix; one still running then is taken to be showing the page, and left to it.
class XdgOpener : public DocumentOpener
{
public:
    explicit XdgOpener(int waitMs = 5000)
        : m_waitMs(waitMs)
    {}

    bool open(const QString &path) override;

    struct Outcome
    {
        QString report; // what the opener printed, and why it failed; empty if nothing to tell
        bool failed = false;
    };
    // What became of the pages opened since the last call.
    Outcome takeOutcome();

private:
    int m_waitMs;
    Outcome m_outcome;
};
