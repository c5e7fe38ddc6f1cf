#pragma once
// Cameras, phones and memory cards: volumes of removable media, found from the mount table and
// the block devices' removable flag (and the desktop's camera and phone mounts under gvfs).
#include <QList>
#include <QString>

struct RemovableDevice
{
    QString mountPoint;
    QString name;     // the volume's label as the desktop shows it
    QString source;   // device node or gvfs location
    QString fsType;
};

class DeviceDetection
{
public:
    // Whether the path lies on a removable volume.
    static bool isRemovableDeviceAtPath(const QString &path);
    // The name of the device the path lies on (remembered once seen), or an empty string.
    static QString nameForDeviceAtPath(const QString &path);
    // The removable volumes mounted now.
    static QList<RemovableDevice> removableDevices();
    // Of `devices`, the one the path lies on (the deepest mount), or null: one reading of the
    // mount table can serve many paths.
    static const RemovableDevice *deviceFor(const QList<RemovableDevice> &devices, const QString &path);

    // Tests: read another mount table and sysfs tree (empty strings restore the system's).
    static void setSystemPathsForTesting(const QString &mountInfoFile, const QString &sysRoot);
};
