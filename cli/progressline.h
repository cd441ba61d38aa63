#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstdio>

// Whether the terminal behind a descriptor takes escape codes: a terminal whose TERM is set and
// is not "dumb".
bool takesEscapeCodes(int fd);

// A line on the terminal that says how far the page has come, once a run takes longer than a
// moment; rewritten in place and cleared before anything else is printed.
class ProgressLine
{
public:
    ProgressLine(const QByteArray &folder, std::FILE *out, bool enabled, qint64 delayMs = 1000);
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    void update(qsizetype done, qsizetype total, qint64 elapsedMs);
    // For a tree: folders whose page is done, of how many, and the files they listed.
    void updateTree(qsizetype done, qsizetype total, qint64 files, qint64 elapsedMs);
    void clear();

private:
    QByteArray m_folder;
    std::FILE *m_out;
    bool m_enabled;
    qint64 m_delayMs;
    bool m_shown = false;
};
