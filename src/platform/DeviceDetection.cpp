#include "platform/DeviceDetection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QUrl>

namespace {

QMutex g_lock;
QString g_mountInfo = QStringLiteral("/proc/self/mountinfo");
QString g_sysRoot = QStringLiteral("/sys");
QHash<QString, QString> g_rememberedNames; // mount point -> name

struct Mount
{
    QString mountPoint;
    QString source;
    QString fsType;
};

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
QString unescape(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}

QList<Mount> readMounts(const QString &file)
{
    QList<Mount> mounts;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return mounts;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        const int dash = int(fields.indexOf("-"));
        if (fields.size() < 10 || dash < 6 || dash + 2 >= fields.size())
            continue;
        mounts.append({unescape(fields[4]), unescape(fields[dash + 2]), QString::fromLatin1(fields[dash + 1])});
    }
    return mounts;
}

QString readTrimmed(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(f.read(64)).trimmed();
}

bool isRemovableBlockDevice(const QString &source, const QString &sysRoot, const QString &mountPoint)
{
    if (!source.startsWith(QLatin1String("/dev/")))
        return false;
    QString name = QFileInfo(source).fileName();
    const QString resolved = QFileInfo(source).canonicalFilePath();
    if (!resolved.isEmpty() && sysRoot == QLatin1String("/sys"))
        name = QFileInfo(resolved).fileName();
    const QString block = sysRoot + QStringLiteral("/class/block/") + name;
    if (!QFileInfo::exists(block))
        return false;
    QString device = block;
    if (QFileInfo::exists(block + QStringLiteral("/partition"))) {
        // A partition: the removable flag belongs to the whole disk above it.
        const QString real = QFileInfo(block).canonicalFilePath();
        device = real.isEmpty() ? block + QStringLiteral("/..") : QFileInfo(real).absolutePath();
    }
    if (readTrimmed(device + QStringLiteral("/removable")) == QLatin1String("1"))
        return true;
    // A built-in card reader (mmcblk) reports its card as a fixed disk; the card says what it is
    // (soldered-in storage on the same bus says "MMC"). A card the system runs from is mounted
    // elsewhere than where the desktop mounts media.
    const bool mediaPlace = mountPoint.startsWith(QLatin1String("/media/")) || mountPoint.startsWith(QLatin1String("/run/media/"));
    return mediaPlace && readTrimmed(device + QStringLiteral("/device/type")) == QLatin1String("SD");
}

bool isCameraOrPhoneMount(const Mount &m)
{
    // The desktop mounts cameras (PTP) and phones (MTP) through gvfs: one folder per device.
    return m.mountPoint.contains(QLatin1String("/gvfs/gphoto2:")) || m.mountPoint.contains(QLatin1String("/gvfs/mtp:"))
        || m.fsType == QLatin1String("fuse.jmtpfs") || m.fsType == QLatin1String("fuse.simple-mtpfs")
        || m.fsType == QLatin1String("fuse.go-mtpfs");
}

QString nameOfMount(const Mount &m)
{
    QString name = QFileInfo(m.mountPoint).fileName();
    const qsizetype host = name.indexOf(QLatin1String("host="));
    if (host >= 0)
        name = QUrl::fromPercentEncoding(name.mid(host + 5).toUtf8());
    return name;
}

QList<RemovableDevice> scan()
{
    QList<RemovableDevice> out;
    const QList<Mount> mounts = readMounts(g_mountInfo);
    for (const Mount &m : mounts)
        if (isCameraOrPhoneMount(m) || isRemovableBlockDevice(m.source, g_sysRoot, m.mountPoint))
            out.append({m.mountPoint, nameOfMount(m), m.source, m.fsType});
    // gvfs devices are folders below one fuse mount, not mounts of their own.
    for (const Mount &m : mounts) {
        if (m.fsType != QLatin1String("fuse.gvfsd-fuse"))
            continue;
        const QStringList entries = QDir(m.mountPoint).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &e : entries) {
            const Mount dev{m.mountPoint + QLatin1Char('/') + e, m.source, m.fsType};
            if (isCameraOrPhoneMount(dev))
                out.append({dev.mountPoint, nameOfMount(dev), dev.source, dev.fsType});
        }
    }
    return out;
}

} // namespace

const RemovableDevice *DeviceDetection::deviceFor(const QList<RemovableDevice> &devices, const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    const RemovableDevice *best = nullptr;
    for (const RemovableDevice &d : devices) {
        if (clean == d.mountPoint || clean.startsWith(d.mountPoint + QLatin1Char('/')))
            if (!best || d.mountPoint.size() > best->mountPoint.size())
                best = &d;
    }
    return best;
}

QList<RemovableDevice> DeviceDetection::removableDevices()
{
    QMutexLocker lock(&g_lock);
    const QList<RemovableDevice> devices = scan();
    for (const RemovableDevice &d : devices)
        g_rememberedNames.insert(d.mountPoint, d.name);
    return devices;
}

bool DeviceDetection::isRemovableDeviceAtPath(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QList<RemovableDevice> devices = removableDevices();
    // A mount on a removable volume can hide a fixed one below it: the deepest mount decides.
    QMutexLocker lock(&g_lock);
    const QList<Mount> mounts = readMounts(g_mountInfo);
    const QString clean = QDir::cleanPath(path);
    QString deepest;
    for (const Mount &m : mounts)
        if ((clean == m.mountPoint || clean.startsWith(m.mountPoint == QLatin1String("/") ? m.mountPoint : m.mountPoint + QLatin1Char('/')))
            && m.mountPoint.size() > deepest.size())
            deepest = m.mountPoint;
    const RemovableDevice *d = deviceFor(devices, clean);
    return d && d->mountPoint.size() >= deepest.size();
}

QString DeviceDetection::nameForDeviceAtPath(const QString &path)
{
    if (path.isEmpty())
        return QString(QLatin1String(""));
    const QList<RemovableDevice> devices = removableDevices();
    if (const RemovableDevice *d = deviceFor(devices, path))
        return d->name;
    QMutexLocker lock(&g_lock);
    // An unplugged device keeps the name it was last seen with.
    const QString clean = QDir::cleanPath(path);
    QString best;
    for (auto it = g_rememberedNames.cbegin(); it != g_rememberedNames.cend(); ++it)
        if ((clean == it.key() || clean.startsWith(it.key() + QLatin1Char('/'))) && it.key().size() > best.size())
            best = it.key();
    return best.isEmpty() ? QString(QLatin1String("")) : g_rememberedNames.value(best);
}

void DeviceDetection::setSystemPathsForTesting(const QString &mountInfoFile, const QString &sysRoot)
{
    QMutexLocker lock(&g_lock);
    g_mountInfo = mountInfoFile.isEmpty() ? QStringLiteral("/proc/self/mountinfo") : mountInfoFile;
    g_sysRoot = sysRoot.isEmpty() ? QStringLiteral("/sys") : sysRoot;
    g_rememberedNames.clear();
}
