#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// What the drive list offers: the mounted volumes a user would call drives.
struct Volume
{
    QString mountPoint;
    QString label; // the file system's name, often empty
};

struct MountFacts
{
    QString mountPoint;
    QByteArray device;
    QByteArray fileSystemType;
};

// The root file system, disk partitions, removable media and network shares; not pseudo or
// system-internal file systems (proc, tmpfs, /boot, snap images...).
bool isUserVolume(const MountFacts &mount);

// The machine's user volumes, the root first, then by mount point.
QList<Volume> userVolumes();
// The same of mounts already read: each mount point once (its first mount's label), and the root
// even where none holds it.
QList<Volume> volumeList(QList<Volume> mounted);

// The mount point of the volume that holds `path`: the longest one that contains it.
QString volumeRootOf(const QString &path, const QList<Volume> &volumes);
