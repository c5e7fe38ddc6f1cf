#include "app/update/Bundle.h"

#include "core/PropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>

namespace {
QString g_bundleOverride;
bool g_bundleOverridden = false;
}

QString Bundle::mainBundlePath()
{
    if (g_bundleOverridden)
        return g_bundleOverride;
    // <bundle>/Contents/MacOS/<exe>
    QDir dir(QFileInfo(QCoreApplication::applicationFilePath()).absolutePath());
    if (dir.dirName() != QLatin1String("MacOS") || !dir.cdUp() || dir.dirName() != QLatin1String("Contents"))
        return {};
    if (!QFileInfo::exists(dir.filePath(QStringLiteral("Info.plist"))) || !dir.cdUp())
        return {};
    return dir.absolutePath();
}

void Bundle::setMainBundlePathForTesting(const QString &path)
{
    g_bundleOverride = path;
    g_bundleOverridden = true;
}

QVariantMap Bundle::infoDictionary(const QString &bundlePath)
{
    if (bundlePath.isEmpty())
        return {};
    return PropertyList::readFile(bundlePath + QStringLiteral("/Contents/Info.plist")).toMap();
}

QVariantMap Bundle::mainInfoDictionary()
{
    // Read from the update check's thread as well as the main thread.
    static QMutex lock;
    QMutexLocker locker(&lock);
    static QVariantMap cached;
    static QString cachedFor;
    static bool loaded = false;
    const QString path = mainBundlePath();
    if (!loaded || cachedFor != path) {
        cached = infoDictionary(path);
        cachedFor = path;
        loaded = true;
    }
    return cached;
}

QString Bundle::executablePath(const QString &bundlePath)
{
    const QVariantMap info = infoDictionary(bundlePath);
    if (info.isEmpty())
        return {};
    QString exe = info.value(QStringLiteral("CFBundleExecutable")).toString();
    if (exe.isEmpty() || exe.contains(QLatin1Char('/')))
        exe = QStringLiteral("Hoistly");
    return bundlePath + QStringLiteral("/Contents/MacOS/") + exe;
}

bool Bundle::isCompleteBundle(const QString &bundlePath, QString *why)
{
    const QVariantMap info = infoDictionary(bundlePath);
    auto fail = [&](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (info.isEmpty())
        return fail(QStringLiteral("no readable Info.plist"));
    if (info.value(QStringLiteral("CFBundleVersion")).toLongLong() <= 0
        || info.value(QStringLiteral("CFBundleName")).toString().isEmpty())
        return fail(QStringLiteral("Info.plist without version or name"));
    const QFileInfo exe(executablePath(bundlePath));
    if (!exe.isFile() || !exe.isExecutable())
        return fail(QStringLiteral("no executable"));
    return true;
}

bool Bundle::isPathInsideFolder(const QString &path, const QString &folder)
{
    if (path.isEmpty() || folder.isEmpty())
        return false;
    auto norm = [](const QString &p) {
        const QFileInfo fi(p);
        const QString canonical = fi.canonicalFilePath();
        return QDir::cleanPath(canonical.isEmpty() ? fi.absoluteFilePath() : canonical);
    };
    const QString p = norm(path);
    QString f = norm(folder);
    if (p == f)
        return true;
    if (!f.endsWith(QLatin1Char('/')))
        f += QLatin1Char('/');
    return p.startsWith(f);
}
