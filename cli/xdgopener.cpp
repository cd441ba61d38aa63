#include "xdgopener.h"

#include "filenames.h"
#include "systemerror.h"

#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <spawn.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// What the opener wrote, both streams in one, kept in memory: a viewer it leaves running may
// write on long after we are gone, and a file never fails it as a closed pipe would.
QString readBack(int fd)
{
    QByteArray output;
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof buffer, output.size())) > 0)
        output.append(buffer, n);
    return QString::fromLocal8Bit(output).trimmed();
}

} // namespace

bool XdgOpener::open(const QString &path)
{
    const auto add = [this](const QString &text, bool failed) {
        if (!text.isEmpty())
            m_outcome.report +=
                (m_outcome.report.isEmpty() ? QString() : QStringLiteral("\n")) + text;
        m_outcome.failed |= failed;
    };
    const int output = ::memfd_create("xdg-open", MFD_CLOEXEC);
    if (output < 0) {
        add(failureText({u"abrir la página", path, errno}), true);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    QByteArray url = fileUrl(path);
    char program[] = "xdg-open";
    char *argv[] = {program, url.data(), nullptr};
    pid_t pid = -1;
    const int spawnError = ::posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        ::close(output);
        add(QStringLiteral("No se pudo abrir la página «%1»: no se pudo iniciar xdg-open (%2).")
                .arg(readableFileName(path), systemErrorText(spawnError)),
            true);
        return false;
    }

    QElapsedTimer waited;
    waited.start();
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && waited.elapsed() < m_waitMs)
        QThread::msleep(10);
    add(readBack(output), false);
    ::close(output);
    if (done == 0)
        return true;
    if (done < 0) {
        add(failureText({u"abrir la página", path, errno}), true);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    add(QStringLiteral("No se pudo abrir la página «%1»: xdg-open terminó %2.")
            .arg(readableFileName(path),
                 WIFEXITED(status) ? QStringLiteral("con el estado %1").arg(WEXITSTATUS(status))
                                   : QStringLiteral("por la señal %1").arg(WTERMSIG(status))),
        true);
    return false;
}

XdgOpener::Outcome XdgOpener::takeOutcome()
{
    return std::exchange(m_outcome, {});
}
