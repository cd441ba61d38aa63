#include "progressline.h"

#include <cstdlib>
#include <cstring>

#include <unistd.h>

bool takesEscapeCodes(int fd)
{
    const char *term = std::getenv("TERM");
    return isatty(fd) && term && *term && std::strcmp(term, "dumb") != 0;
}

ProgressLine::ProgressLine(const QByteArray &folder, std::FILE *out, bool enabled, qint64 delayMs)
    : m_folder(folder)
    , m_out(out)
    , m_enabled(enabled)
    , m_delayMs(delayMs)
{}

void ProgressLine::update(qsizetype done, qsizetype total, qint64 elapsedMs)
{
    if (!m_enabled || elapsedMs < m_delayMs)
        return;
    m_shown = true;
    std::fprintf(m_out, "\r\033[K%s: %lld de %lld archivos", m_folder.constData(),
                 static_cast<long long>(done), static_cast<long long>(total));
    std::fflush(m_out);
}

void ProgressLine::updateTree(qsizetype done, qsizetype total, qint64 files, qint64 elapsedMs)
{
    if (!m_enabled || elapsedMs < m_delayMs)
        return;
    m_shown = true;
    std::fprintf(m_out, "\r\033[K%s: %lld de %lld carpetas, %lld archivos", m_folder.constData(),
                 static_cast<long long>(done), static_cast<long long>(total),
                 static_cast<long long>(files));
    std::fflush(m_out);
}

void ProgressLine::clear()
{
    if (m_shown)
        std::fputs("\r\033[K", m_out);
    m_shown = false;
}
