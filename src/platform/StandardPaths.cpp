#include "StandardPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <atomic>

namespace {
QString g_processName;

QString ensure(const QString &path)
{
    QDir().mkpath(path);
    return path;
}

// In test mode every base folder moves under ~/.qttest, like Qt's own locations.
QString xdgBase(const char *env, const QString &fallbackRelative)
{
    const QString home = QDir::homePath();
    if (QStandardPaths::isTestModeEnabled())
        return home + QStringLiteral("/.qttest/") + QFileInfo(fallbackRelative).fileName();
    const QString v = qEnvironmentVariable(env);
    if (!v.isEmpty() && QDir::isAbsolutePath(v))
        return v;
    return home + QLatin1Char('/') + fallbackRelative;
}
} // namespace

QString StandardPaths::lumoraFolder()
{
    return xdgBase("XDG_DATA_HOME", QStringLiteral(".local/share")) + QStringLiteral("/Lumora");
}

QString StandardPaths::lumoraSubfolder(const QString &relative)
{
    const QString path = lumoraFolder() + QLatin1Char('/') + relative;
    return QDir().mkpath(path) ? path : QString();
}

QString StandardPaths::logsFolder()
{
    return xdgBase("XDG_STATE_HOME", QStringLiteral(".local/state")) + QLatin1Char('/') + processName();
}

QString StandardPaths::cachesFolder()
{
    return ensure(xdgBase("XDG_CACHE_HOME", QStringLiteral(".cache")));
}

QString StandardPaths::userDefaultsFile()
{
    return xdgBase("XDG_CONFIG_HOME", QStringLiteral(".config")) + QStringLiteral("/Lumora/Hoistly.plist");
}

QString StandardPaths::autostartFolder()
{
    return xdgBase("XDG_CONFIG_HOME", QStringLiteral(".config")) + QStringLiteral("/autostart");
}

QString StandardPaths::homeFolder() { return QDir::homePath(); }

void StandardPaths::setProcessName(const QString &name) { g_processName = name; }

QString StandardPaths::processName()
{
    if (!g_processName.isEmpty())
        return g_processName;
    const QString app = QCoreApplication::applicationName();
    return app.isEmpty() ? QStringLiteral("Hoistly") : app;
}

namespace {
std::atomic<int> g_major{10}, g_minor{15}, g_patch{0};
}

int NSDevice::osxVersionMajor() { return g_major; }
int NSDevice::osxVersionMinor() { return g_minor; }
int NSDevice::osxVersionPatch() { return g_patch; }

QString NSDevice::osxVersionString()
{
    if (g_patch > 0)
        return QStringLiteral("%1.%2.%3").arg(g_major.load()).arg(g_minor.load()).arg(g_patch.load());
    return QStringLiteral("%1.%2").arg(g_major.load()).arg(g_minor.load());
}

double NSDevice::singlePixelSize()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    const QScreen *screen = app ? QGuiApplication::primaryScreen() : nullptr;
    const double factor = screen ? screen->devicePixelRatio() : 0.0;
    return factor == 0.0 ? 1.0 : 1.0 / factor;
}

void NSDevice::overrideVersionForTesting(int major, int minor, int patch)
{
    g_major = major;
    g_minor = minor;
    g_patch = patch;
}
