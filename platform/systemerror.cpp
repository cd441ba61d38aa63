#include "systemerror.h"

#include "filenames.h"

#include <cerrno>
#include <cstring>

QString systemErrorText(int code)
{
    switch (code) {
    case ENOENT:
        return QStringLiteral("no existe");
    case EACCES:
    case EPERM:
        return QStringLiteral("permiso denegado");
    case EROFS:
        return QStringLiteral("el medio es de solo lectura");
    case ENOSPC:
        return QStringLiteral("no queda espacio en el disco");
#ifdef EDQUOT
    case EDQUOT:
        return QStringLiteral("se ha superado la cuota de disco");
#endif
    case EFBIG:
        return QStringLiteral("se ha superado el tamaño máximo de archivo");
    case EISDIR:
        return QStringLiteral("es una carpeta");
    case ENOTDIR:
        return QStringLiteral("una parte de la ruta no es una carpeta");
    case ENAMETOOLONG:
        return QStringLiteral("el nombre es demasiado largo");
    case ELOOP:
        return QStringLiteral("demasiados enlaces simbólicos");
    case EIO:
        return QStringLiteral("error de entrada/salida");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("demasiados archivos abiertos");
    case ENOMEM:
        return QStringLiteral("no queda memoria");
    case ENXIO:
    case ENODEV:
#ifdef ENOMEDIUM
    case ENOMEDIUM:
#endif
        return QStringLiteral("el dispositivo no está disponible");
    case ErrorNotRegularFile:
        return QStringLiteral("no es un archivo normal");
    case ErrorEmptyName:
        return QStringLiteral("el nombre está vacío");
    case ErrorNotFolder:
        return QStringLiteral("no es una carpeta");
    case ErrorNoCurrentFolder:
        return QStringLiteral("la carpeta actual ya no está disponible");
    case ErrorFolderReplaced:
        return QStringLiteral("la carpeta ha sido sustituida durante la ejecución");
    case ESTALE:
        return QStringLiteral("el volumen ya no está disponible");
    default:
        return QString::fromLocal8Bit(std::strerror(code))
               + QStringLiteral(" (error %1)").arg(code);
    }
}

QString failureText(const FileError &error)
{
    QString reason = systemErrorText(error.code);
    if (error.cause != 0)
        reason += QStringLiteral(" (%1)").arg(systemErrorText(error.cause));
    return QStringLiteral("No se pudo %1 «%2»: %3.")
        .arg(error.action, readableFileName(error.path), reason);
}
