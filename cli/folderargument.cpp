#include "folderargument.h"

#include "filenames.h"
#include "folderlisting.h"
#include "systemerror.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

FolderArgument failure(const char *argument, const QString &reason)
{
    return {{},
            QStringLiteral("No se pudo leer la carpeta «%1»: %2.")
                .arg(readableFileName(decodeFileName(argument)), reason)};
}

} // namespace

FolderArgument resolveFolder(const char *argument)
{
    if (*argument == '\0')
        return failure(argument, QStringLiteral("el nombre está vacío"));
    // realpath() would report a deleted current folder as the argument not existing.
    if (*argument != '/') {
        const std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
        if (!cwd)
            return failure(argument, QStringLiteral("la carpeta actual ya no está disponible (%1)")
                                         .arg(systemErrorText(errno)));
    }
    // The kernel's reading of "..": the parent of a link's target, not of the link.
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(argument, nullptr),
                                                               &std::free);
    if (!resolved)
        return {{}, folderReadError(decodeFileName(argument), errno)};
    struct stat status;
    if (stat(resolved.get(), &status) != 0)
        return {{}, folderReadError(decodeFileName(argument), errno)};
    if (!S_ISDIR(status.st_mode))
        return failure(argument, QStringLiteral("no es una carpeta"));

    QString path = decodeFileName(resolved.get());
    if (!path.endsWith(u'/'))
        path += u'/';
    return {path, {}};
}
