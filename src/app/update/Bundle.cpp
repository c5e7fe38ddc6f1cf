#include "app/update/Bundle.h"

#include "app/webview/BrowserModule.h"
#include "core/PropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>

#include <filesystem>
#include <system_error>

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

QString Bundle::webViewModulePath(const QString &bundlePath)
{
    return bundlePath + QStringLiteral("/Contents/MacOS/") + QLatin1String(BrowserModule::kFileName);
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
    if (!QFileInfo(webViewModulePath(bundlePath)).isFile())
        return fail(QStringLiteral("no web view module"));
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

bool Bundle::isPlainName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name.contains(QLatin1String(".."))
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return false;
    for (const QChar c : name)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return false;
    return true;
}

bool Bundle::isSelfContained(const QString &bundlePath, QString *why)
{
    namespace fs = std::filesystem;
    auto fail = [&](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QFileInfo root(bundlePath);
    if (root.isSymLink() || !root.isDir())
        return fail(QStringLiteral("bundle is not a folder"));
    const QString rootPath = QDir::cleanPath(root.absoluteFilePath());
    const QString canonicalRoot = root.canonicalFilePath();

    std::error_code ec;
    fs::recursive_directory_iterator it(fs::path(QFile::encodeName(rootPath).toStdString()),
                                        fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (ec)
            break;
        const QString path = QFile::decodeName(QByteArray::fromStdString(it->path().native()));
        if (fs::is_symlink(status)) {
            const fs::path target = fs::read_symlink(it->path(), ec);
            if (ec)
                break;
            const QString text = QFile::decodeName(QByteArray::fromStdString(target.native()));
            if (target.is_absolute() || text.isEmpty())
                return fail(QStringLiteral("absolute link %1").arg(path));
            // Both the written target and what the system resolves (links through links) must
            // stay inside the bundle.
            const QString lexical = QDir::cleanPath(QFileInfo(path).absolutePath() + QLatin1Char('/') + text);
            const QString resolved = QFileInfo(path).canonicalFilePath();
            if (!isPathInsideFolder(lexical, rootPath) || resolved.isEmpty() || canonicalRoot.isEmpty()
                || !isPathInsideFolder(resolved, canonicalRoot))
                return fail(QStringLiteral("link %1 leaves the bundle").arg(path));
        } else if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
            return fail(QStringLiteral("special file %1").arg(path));
        }
    }
    if (ec)
        return fail(QStringLiteral("cannot read the bundle: %1").arg(QString::fromStdString(ec.message())));

    const QFileInfo plist(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (plist.isSymLink() || !plist.isFile())
        return fail(QStringLiteral("Info.plist is not a plain file"));
    const QString exeName = infoDictionary(bundlePath).value(QStringLiteral("CFBundleExecutable")).toString();
    if (!isPlainName(exeName))
        return fail(QStringLiteral("Info.plist names no plain executable"));
    const QFileInfo exe(bundlePath + QStringLiteral("/Contents/MacOS/") + exeName);
    if (exe.isSymLink())
        return fail(QStringLiteral("the executable is a link"));
    if (!exe.isFile() || exe.absoluteFilePath() != QFileInfo(executablePath(bundlePath)).absoluteFilePath())
        return fail(QStringLiteral("no executable %1").arg(exeName));
    return true;
}
