#include "videoframe.h"

#include <QByteArray>

#include <cstdlib>
#include <dlfcn.h>
#include <mutex>

#include <unistd.h>

namespace {

// The module built beside this program, or installed with it: never one from a folder the
// environment names.
QByteArray modulePath()
{
    char buffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    const QByteArray program(buffer, qsizetype(length));
    // The link's target has no links in it; the build's folder may.
    char *build = ::realpath(FOLIMBRA_BUILD_DIR, nullptr);
    const bool inBuild = build && program.startsWith(QByteArray(build) + '/');
    std::free(build);
    if (inBuild)
        return FOLIMBRA_VIDEO_MODULE_BUILT;
    return program.left(program.lastIndexOf('/') + 1) + FOLIMBRA_VIDEO_MODULE_INSTALLED;
}

OpenVideo *moduleEntry()
{
    static OpenVideo *open = nullptr;
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        const QByteArray path = modulePath();
        void *module = path.isEmpty() ? nullptr : ::dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
        if (module)
            open = reinterpret_cast<OpenVideo *>(::dlsym(module, openVideoSymbol));
    });
    return open;
}

} // namespace

std::unique_ptr<VideoDecoder> openVideo(int fd, qint64 size, std::chrono::milliseconds budget)
{
    OpenVideo *open = moduleEntry();
    return std::unique_ptr<VideoDecoder>(open ? open(fd, size, budget.count()) : nullptr);
}
