#include "volumes.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>

namespace {

bool isUnder(const QString &path, const QString &folder)
{
    if (folder == u"/")
        return path.startsWith(u'/');
    return path == folder || (path.startsWith(folder) && path.at(folder.size()) == u'/');
}

} // namespace

bool isUserVolume(const MountFacts &mount)
{
    if (mount.mountPoint == u"/")
        return true;
    for (const char *internal : {"/proc", "/sys", "/dev", "/run", "/boot", "/snap", "/var/lib",
                                 "/var/snap", "/efi", "/tmp", "/var/tmp"}) {
        if (isUnder(mount.mountPoint, QString::fromLatin1(internal))
            && !isUnder(mount.mountPoint, QStringLiteral("/run/media")))
            return false;
    }
    const QByteArray &type = mount.fileSystemType;
    if (type == "nfs" || type == "nfs4" || type == "cifs" || type == "smb3" || type == "smbfs"
        || type == "fuse.sshfs")
        return true;
    if (type == "squashfs" || type == "overlay" || type == "tmpfs" || type == "ramfs")
        return false;
    // Loop devices are mostly system images (snaps); one mounted for the user, a disc image
    // opened from the desktop, sits under /media like any removable medium.
    const bool userMedia = isUnder(mount.mountPoint, QStringLiteral("/media"))
                           || isUnder(mount.mountPoint, QStringLiteral("/run/media"));
    return mount.device.startsWith("/dev/") && (!mount.device.startsWith("/dev/loop") || userMedia);
}

QList<Volume> userVolumes()
{
    QList<Volume> mounted;
    for (const QStorageInfo &storage : QStorageInfo::mountedVolumes()) {
        if (!storage.isValid() || !storage.isReady())
            continue;
        const MountFacts facts{storage.rootPath(), storage.device(), storage.fileSystemType()};
        // A file bind-mounted over another (as containers do for /etc/hosts) is no drive.
        if (isUserVolume(facts) && QFileInfo(facts.mountPoint).isDir())
            mounted.append({facts.mountPoint, storage.name()});
    }
    return volumeList(std::move(mounted));
}

QList<Volume> volumeList(QList<Volume> mounted)
{
    QList<Volume> volumes;
    for (Volume &volume : mounted) {
        const bool known = std::any_of(volumes.cbegin(), volumes.cend(), [&](const Volume &v) {
            return v.mountPoint == volume.mountPoint;
        });
        if (!known)
            volumes.append(std::move(volume));
    }
    if (std::none_of(volumes.cbegin(), volumes.cend(),
                     [](const Volume &v) { return v.mountPoint == u"/"; }))
        volumes.append({QStringLiteral("/"), {}});
    std::sort(volumes.begin(), volumes.end(),
              [](const Volume &a, const Volume &b) { return a.mountPoint < b.mountPoint; });
    return volumes;
}

QString volumeRootOf(const QString &path, const QList<Volume> &volumes)
{
    QString best = QStringLiteral("/");
    for (const Volume &volume : volumes) {
        if (isUnder(path, volume.mountPoint) && volume.mountPoint.size() > best.size())
            best = volume.mountPoint;
    }
    return best;
}
