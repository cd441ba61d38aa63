#include "folderargument.h"

#include "filenames.h"
#include "filesystem.h"
#include "systemerror.h"
#include "thumbnailcaches.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

FolderArgument failure(const char *argument, int code, int cause = 0)
{
    return {{}, failureText({u"leer la carpeta", decodeFileName(argument), code, cause})};
}

} // namespace

FolderArgument resolveFolder(const char *argument)
{
    if (*argument == '\0')
        return failure(argument, ErrorEmptyName);
    // realpath() would report a deleted current folder as the argument not existing.
    if (*argument != '/') {
        const std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
        if (!cwd)
            return failure(argument, ErrorNoCurrentFolder, errno);
    }
    // The kernel's reading of "..": the parent of a link's target, not of the link.
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(argument, nullptr),
                                                               &std::free);
    if (!resolved)
        return failure(argument, errno);
    struct stat status;
    if (stat(resolved.get(), &status) != 0)
        return failure(argument, errno);
    if (!S_ISDIR(status.st_mode))
        return failure(argument, ErrorNotFolder);

    QString path = decodeFileName(resolved.get());
    if (!path.endsWith(u'/'))
        path += u'/';
    return {path, {}};
}

FolderArgument resolveFolder(const char *argument, bool thumbnails)
{
    FolderArgument folder = resolveFolder(argument);
    if (thumbnails && folder.error.isEmpty()) {
        const FileDescriptor fd = openFolder(folder.path);
        if (fd.isOpen() && isInThumbnailFolder(fd.get()))
            return {{},
                    QStringLiteral("«%1» es una carpeta de miniaturas: no se escribe nada en ella.")
                        .arg(readableFileName(folder.path))};
    }
    return folder;
}
