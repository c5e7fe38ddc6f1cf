#include "app/update/LMSelfUpdating.h"

#include "app/launch/ShellBridge.h"
#include "app/platform/SingleInstance.h"
#include "app/update/Bundle.h"
#include "app/widgets/ModalUi.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/PropertyList.h"
#include "platform/Endpoints.h"
#include "platform/StandardPaths.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include <atomic>
#include <unistd.h>

namespace {
QMutex g_lock; // the class lock
QUrl g_updateURL;
QUrl g_downloadURL;
QMutex g_holdsLock;
QMap<QString, QDateTime> g_holds;
bool g_checkingForUpdates = false;
std::atomic<bool> g_showUIOnNextCheck{false};
std::atomic<bool> g_forceUpdate{false};
QDateTime g_lastSuccessfulUpdateCheck;
QVariantMap g_updateInfo;
qint64 g_updateBundleVersion = 0;
QString g_updateInfoAppName;
std::atomic<bool> g_updateApplyFailed{false};
QStringList g_statusMessages;
QStringList g_argumentsOverride;
bool g_argumentsOverridden = false;
QString g_globalApps, g_userApps;
bool g_appsOverridden = false;
int g_manifestTimeoutMs = 20000;
int g_downloadTimeoutMs = 60000; // without progress; large zips still finish
QTimer *g_automaticTimer = nullptr;

QDateTime now() { return ShellEnvironment::instance().now(); }

QStringList arguments()
{
    return g_argumentsOverridden ? g_argumentsOverride : QCoreApplication::arguments();
}

// Reads a whole address into memory on the calling thread. Only HTTPS (or plain HTTP to
// loopback) is fetched, redirects included; a server that stops sending times out.
QByteArray fetch(const QUrl &url, int timeoutMs, QString *error)
{
    if (!Endpoints::isAllowedTransport(url)) {
        *error = QStringLiteral("address not allowed (%1)").arg(url.toString());
        return {};
    }
    QNetworkAccessManager nam;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply *reply = nam.get(request);
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl &to) {
        if (Endpoints::isAllowedTransport(to))
            Q_EMIT reply->redirectAllowed();
        else
            reply->abort();
    });
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    QByteArray data;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError)
        *error = reply->errorString();
    else if (status != 200)
        *error = QStringLiteral("HTTP status %1").arg(status);
    else
        data = reply->readAll();
    delete reply;
    return data;
}

bool copyRecursively(const QString &from, const QString &to, QString *error)
{
    const QFileInfo src(from);
    if (src.isSymLink()) {
        if (!QFile::link(src.symLinkTarget(), to)) {
            *error = QStringLiteral("cannot link %1").arg(to);
            return false;
        }
        return true;
    }
    if (src.isDir()) {
        if (!QDir().mkpath(to)) {
            *error = QStringLiteral("cannot create %1").arg(to);
            return false;
        }
        QFile::setPermissions(to, src.permissions());
        const QFileInfoList entries = QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &e : entries)
            if (!copyRecursively(e.absoluteFilePath(), to + QLatin1Char('/') + e.fileName(), error))
                return false;
        return true;
    }
    QFile in(from);
    if (!in.copy(to)) {
        *error = QStringLiteral("cannot copy %1: %2").arg(from, in.errorString());
        return false;
    }
    return true;
}

bool removePath(const QString &path, QString *error)
{
    const QFileInfo fi(path);
    if (!fi.exists() && !fi.isSymLink())
        return true;
    bool ok = fi.isDir() && !fi.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
    if (!ok && error)
        *error = QStringLiteral("cannot remove %1").arg(path);
    return ok;
}

// Installs a copy of `bundle` at `destination`: copy to a temporary sibling first, then swap
// it in; the previous copy comes back when anything fails, so the installed application is
// never lost.
bool installBundle(const QString &bundle, const QString &destination, QString *error)
{
    const QString tag = QStringLiteral("%1-%2").arg(::getpid()).arg(QRandomGenerator::global()->generate());
    const QString incoming = destination + QStringLiteral(".incoming-") + tag;
    const QString previous = destination + QStringLiteral(".previous-") + tag;
    if (!copyRecursively(bundle, incoming, error)) {
        removePath(incoming, nullptr);
        return false;
    }
    QString why;
    if (!Bundle::isCompleteBundle(incoming, &why)) {
        *error = QStringLiteral("copied bundle incomplete: %1").arg(why);
        removePath(incoming, nullptr);
        return false;
    }
    const bool hadPrevious = QFileInfo::exists(destination);
    if (hadPrevious && !QDir().rename(destination, previous)) {
        *error = QStringLiteral("cannot move aside %1").arg(destination);
        removePath(incoming, nullptr);
        return false;
    }
    if (!QDir().rename(incoming, destination)) {
        *error = QStringLiteral("cannot move %1 into place").arg(incoming);
        if (hadPrevious)
            QDir().rename(previous, destination);
        removePath(incoming, nullptr);
        return false;
    }
    if (hadPrevious)
        removePath(previous, nullptr);
    return true;
}

void unableToCopyAlert()
{
    dispatch_main_sync([] {
        if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
            return;
        AlertRequest r;
        r.title = shellTr(QStringLiteral("Unable to copy to Applications folder"));
        r.message = shellTr(QStringLiteral("Please copy to the Applications folder and run to install."));
        r.buttons = {shellTr(QStringLiteral("OK"))};
        Alerts::show(r);
    });
}
} // namespace

void LMSelfUpdating::setUpdateURL(const QUrl &url) { QMutexLocker l(&g_lock); g_updateURL = url; }
void LMSelfUpdating::setDownloadURL(const QUrl &url) { QMutexLocker l(&g_lock); g_downloadURL = url; }
QUrl LMSelfUpdating::updateURL() { QMutexLocker l(&g_lock); return g_updateURL; }
QUrl LMSelfUpdating::downloadURL() { QMutexLocker l(&g_lock); return g_downloadURL; }

void LMSelfUpdating::checkForUpdatesWithUI() { _checkForUpdatesWithUI(true); }

void LMSelfUpdating::checkForUpdatesSilent()
{
    QDateTime last;
    {
        QMutexLocker l(&g_lock);
        last = g_lastSuccessfulUpdateCheck;
    }
    if (last.isValid() && qAbs(last.secsTo(now())) < 115)
        return;
    _checkForUpdatesWithUI(false);
}

void LMSelfUpdating::scheduleAutomaticUpdateChecking()
{
    if (g_automaticTimer)
        return;
    g_automaticTimer = new QTimer(QCoreApplication::instance());
    g_automaticTimer->setInterval(900 * 1000);
    QObject::connect(g_automaticTimer, &QTimer::timeout, [] { checkForUpdatesSilent(); });
    g_automaticTimer->start();
}

void LMSelfUpdating::checkForUpdatesStandalone() { _checkForAndApplyUpdate(); }
void LMSelfUpdating::setForceUpdateOnNextCheck() { g_forceUpdate = true; }

void LMSelfUpdating::setSelfUpdatesDisabledUntil(const QDateTime &date, const QString &key)
{
    if (key.isNull())
        return;
    QMutexLocker l(&g_holdsLock);
    if (!date.isValid())
        g_holds.remove(key);
    else
        g_holds.insert(key, date);
}

bool LMSelfUpdating::updateApplyFailed() { return g_updateApplyFailed; }

bool LMSelfUpdating::_selfUpdatesTemporarilyDisabled()
{
    const QDateTime n = now();
    QMutexLocker l(&g_holdsLock);
    for (const QDateTime &d : std::as_const(g_holds))
        if (d > n)
            return true;
    return false;
}

static QString holdsDescription()
{
    QMutexLocker l(&g_holdsLock);
    QStringList parts;
    for (auto it = g_holds.cbegin(); it != g_holds.cend(); ++it)
        parts << it.key() + QStringLiteral(" = ") + it.value().toString(Qt::ISODate);
    return QStringLiteral("{") + parts.join(QStringLiteral(", ")) + QStringLiteral("}");
}

void LMSelfUpdating::_checkForUpdatesWithUI(bool withUI)
{
    if (updateURL().isEmpty() || downloadURL().isEmpty())
        return;
    if (!withUI && _selfUpdatesTemporarilyDisabled()) {
        LGLogInfo(QStringLiteral("UPDATER: Skipping check, disabled until %1").arg(holdsDescription()));
        return;
    }
    if (withUI)
        g_showUIOnNextCheck = true;
    LGLogInfo(QStringLiteral("UPDATER: Checking for updates"));
    {
        QMutexLocker l(&g_lock);
        if (g_checkingForUpdates) {
            LGLogInfo(QStringLiteral("UPDATER: Checking for updates skipped, already running"));
            return;
        }
        g_checkingForUpdates = true;
    }
    dispatch_default_queue_async([] {
        _checkForAndApplyUpdate();
        QMutexLocker l(&g_lock);
        g_checkingForUpdates = false;
        g_showUIOnNextCheck = false;
    });
}

static bool needsNewerSystem(const QString &minimum)
{
    const QStringList parts = minimum.split(QLatin1Char('.'));
    const int major = parts.value(0).toInt();
    const int sysMajor = NSDevice::osxVersionMajor();
    const int sysMinor = NSDevice::osxVersionMinor();
    const int sysPatch = NSDevice::osxVersionPatch();
    if (major > sysMajor)
        return true;
    if (major == sysMajor && parts.size() > 1 && parts[1].toInt() > sysMinor)
        return true;
    if (major == sysMajor && parts.size() > 2 && parts[1].toInt() == sysMinor && parts[2].toInt() > sysPatch)
        return true;
    return false;
}

QUrl LMSelfUpdating::checkServerForUpdateAvailable()
{
    const QUrl url = updateURL();
    QString error;
    const QByteArray data = fetch(url, g_manifestTimeoutMs, &error);
    QVariantMap info;
    if (!error.isEmpty())
        LGLogInfo(QStringLiteral("UPDATER: Exception while fetching update data: %1").arg(error));
    else
        info = PropertyList::parse(data).toMap();
    {
        QMutexLocker l(&g_lock);
        if (error.isEmpty())
            g_updateInfo = info; // a failed read keeps the previous answer
        info = g_updateInfo;
        g_updateBundleVersion = info.value(QStringLiteral("CFBundleVersion")).toLongLong();
        g_updateInfoAppName = info.value(QStringLiteral("CFBundleName")).toString();
    }
    const qint64 offered = updateBundleVersion();
    if (offered == 0 || updateInfoAppName().isEmpty()) {
        LGLogInfo(QStringLiteral("UPDATER: Unable to retrieve update info (%1, %2)")
                      .arg(url.toString(), QString::fromUtf8(PropertyList::serialize(info)).simplified()));
        showUIWithStatus(shellTr(QStringLiteral("Unable to retrieve update information at this time. Try again later.")));
        return {};
    }
    const qint64 running = Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleVersion")).toLongLong();
    const QVariant minimum = info.value(QStringLiteral("LSMinimumSystemVersion"));
    if (minimum.userType() == QMetaType::QString && needsNewerSystem(minimum.toString())) {
        LGLogInfo(QStringLiteral("UPDATER: Up to date, per OS version (%1/%2/%3)")
                      .arg(running).arg(offered).arg(NSDevice::osxVersionString()));
        { QMutexLocker l(&g_lock); g_lastSuccessfulUpdateCheck = now(); }
        showUIWithStatus(shellTr(QStringLiteral("You're up to date!")));
        return {};
    }
    if (g_forceUpdate) {
        LGLogInfo(QStringLiteral("UPDATER: Forcing update (%1/%2)").arg(running).arg(offered));
    } else if (offered <= running) {
        LGLogInfo(QStringLiteral("UPDATER: Up to date (%1/%2)").arg(running).arg(offered));
        { QMutexLocker l(&g_lock); g_lastSuccessfulUpdateCheck = now(); }
        showUIWithStatus(shellTr(QStringLiteral("You're up to date!")));
        return {};
    }
    const QUrl download = downloadURL();
    LGLogInfo(QStringLiteral("UPDATER: Update found (%1 vs %2), downloading from %3").arg(running).arg(offered).arg(download.toString()));
    return download;
}

void LMSelfUpdating::_checkForAndApplyUpdate()
{
    const QUrl download = checkServerForUpdateAvailable();
    if (download.isEmpty()) {
        LGLogInfo(QStringLiteral("UPDATER: Complete, no update found"));
        return;
    }
    if (Bundle::mainBundlePath().isEmpty()) {
        // A build tree, not an installed bundle: nothing to replace.
        LGLogError(QStringLiteral("UPDATER: Update found but skipping download, running in debugger"));
        showUIWithStatus(QStringLiteral("Update found, but running in debugger. Skipping update."));
        return;
    }
    showUIWithStatus(shellTr(QStringLiteral("Update found! We'll now download and auto-apply.")));
    const QString zip = downloadUpdateAtURL(download);
    if (zip.isEmpty()) {
        LGLogInfo(QStringLiteral("UPDATER: ERROR - Download failed"));
        showUIWithStatus(shellTr(QStringLiteral("Update found, but download failed. Please try again.")));
        return;
    }
    const QString bundle = extractUpdateAtPath(zip);
    if (bundle.isEmpty()) {
        LGLogInfo(QStringLiteral("UPDATER: ERROR - Extract failed"));
        showUIWithStatus(QStringLiteral("Update found, but the update failed to extract. Please try again."));
        return;
    }
    showUIWithStatus(shellTr(QStringLiteral("Applying update...")));
    if (!g_showUIOnNextCheck && _selfUpdatesTemporarilyDisabled()) {
        LGLogInfo(QStringLiteral("UPDATER: Skipping application of update, disabled until %1").arg(holdsDescription()));
        return;
    }
    if (applyUpdate(bundle)) {
        LGLogInfo(QStringLiteral("UPDATER: Update applied successfully"));
        LGLog::flushLog();
    } else {
        LGLogError(QStringLiteral("UPDATER: ERROR - Apply failed"));
        showUIWithStatus(QStringLiteral("Update found, but the update failed to apply. Please try again."));
    }
}

QString LMSelfUpdating::downloadUpdateAtURL(const QUrl &url)
{
    QString error;
    const QByteArray data = fetch(url, g_downloadTimeoutMs, &error);
    if (!error.isEmpty() || data.isEmpty()) {
        LGLogError(QStringLiteral("UPDATER: Failed downloading update (URL %1, Error %2, DataSize %3)")
                       .arg(url.toString(), error).arg(data.size()));
        return {};
    }
    clearTempDirectory();
    const QString folder = tempDirectory() + QLatin1Char('/') + QString::number(now().toSecsSinceEpoch());
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    const QString path = folder + QStringLiteral("/Update.zip");
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(data);
        file.commit();
    }
    if (!QFileInfo::exists(path)) {
        LGLogInfo(QStringLiteral("UPDATER: Failed to save downloaded file (File %1, Size %2)").arg(path).arg(data.size()));
        return {};
    }
    removeDownloadQuarantineFromPath(path);
    LGLogInfo(QStringLiteral("UPDATER: Download complete (%1) extracting...").arg(data.size()));
    return path;
}

QString LMSelfUpdating::extractUpdateAtPath(const QString &zipPath)
{
    const QString folder = QFileInfo(zipPath).absolutePath();
    const QString unzip = QStandardPaths::findExecutable(QStringLiteral("unzip"));
    int code = -1;
    if (!unzip.isEmpty()) {
        QProcess p;
        p.setWorkingDirectory(folder);
        p.setProgram(unzip);
        p.setArguments({QStringLiteral("-q"), QStringLiteral("-o"), zipPath});
        p.start();
        if (p.waitForFinished(300000) && p.exitStatus() == QProcess::NormalExit)
            code = p.exitCode();
        else
            p.kill();
    }
    if (code != 0) {
        // A failed or partial unpack is never installed.
        LGLogError(QStringLiteral("UPDATER: Failed to unzip update (Unzip Code %1, Folder %2)").arg(code).arg(folder));
        return {};
    }
    QString bundle = folder + QLatin1Char('/') + updateInfoAppName() + QStringLiteral(".app");
    if (updateInfoAppName().isEmpty() || !QFileInfo(bundle).isDir())
        bundle = folder + QLatin1Char('/') + Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleName")).toString()
            + QStringLiteral(".app");
    if (!QFileInfo(bundle).isDir()) {
        LGLogInfo(QStringLiteral("UPDATER: Failed locate app within temp folder (AppName %1, Unzip Code %2, Folder %3)")
                      .arg(updateInfoAppName()).arg(code).arg(folder));
        return {};
    }
    removeDownloadQuarantineFromPath(bundle);
    QString why;
    if (!Bundle::isCompleteBundle(bundle, &why)) {
        LGLogError(QStringLiteral("UPDATER: Extracted update at %1 is incomplete (%2)").arg(bundle, why));
        return {};
    }
    LGLogInfo(QStringLiteral("UPDATER: Found extracted update at %1").arg(bundle));
    return bundle;
}

bool LMSelfUpdating::applyUpdate(const QString &bundlePath)
{
    LGLog::flushLog();
    removeDownloadQuarantineFromPath(bundlePath);
    if (!ShellEnvironment::instance().launchBundle(bundlePath, {QStringLiteral("/selfupdated")})) {
        LGLogInfo(QStringLiteral("UPDATER: Error launching update at %1").arg(bundlePath));
        return false;
    }
    return true;
}

QString LMSelfUpdating::tempDirectory() { return StandardPaths::lumoraSubfolder(QStringLiteral("UpdateCache")); }

void LMSelfUpdating::clearTempDirectory()
{
    const QString dir = StandardPaths::lumoraFolder() + QStringLiteral("/UpdateCache");
    QDir(dir).removeRecursively();
    if (QFileInfo::exists(dir)) {
        const QFileInfoList items = QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        for (const QFileInfo &fi : items)
            removePath(fi.absoluteFilePath(), nullptr);
    }
}

void LMSelfUpdating::showUIWithStatus(const QString &status)
{
    if (!g_showUIOnNextCheck || status.isEmpty())
        return;
    {
        QMutexLocker l(&g_lock);
        g_statusMessages << status;
    }
    const QString name = Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleName")).toString();
    dispatch_main_sync([status, name] {
        if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
            return;
        AlertRequest r;
        r.title = name.isEmpty() ? QStringLiteral("Lumora Hoistly") : name;
        r.message = status;
        r.buttons = {shellTr(QStringLiteral("OK"))};
        Alerts::show(r);
    });
}

void LMSelfUpdating::removeDownloadQuarantineFromPath(const QString &path)
{
    if (!QFileInfo::exists(path))
        return;
    const QString exe = Bundle::executablePath(path);
    if (!exe.isEmpty() && QFileInfo(exe).isFile())
        QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther
                                       | QFile::ReadOwner);
}

// ---- Single running copy and the Applications folder -------------------------------------

void LMSelfUpdating::exitOtherCopies()
{
    const int ended = SingleInstance::endOtherCopies(ShellEnvironment::instance().sleep);
    if (ended > 0)
        ShellEnvironment::instance().sleep(1.0);
}

bool LMSelfUpdating::isSelfUpdateLaunch()
{
    for (const QString &a : arguments())
        if (a.toLower().contains(QStringLiteral("/selfupdated")))
            return true;
    return false;
}

QString LMSelfUpdating::globalApplicationsFolder()
{
    if (g_appsOverridden)
        return g_globalApps;
    return QStringLiteral("/opt");
}

QString LMSelfUpdating::userApplicationsFolder()
{
    if (g_appsOverridden)
        return g_userApps;
    return StandardPaths::homeFolder() + QStringLiteral("/Applications");
}

void LMSelfUpdating::setApplicationsFoldersForTesting(const QString &global, const QString &user)
{
    g_globalApps = global;
    g_userApps = user;
    g_appsOverridden = true;
}

QString LMSelfUpdating::earlierProductName() { return QStringLiteral("Lumora Desktop"); }

static bool isWritableFolder(const QString &folder)
{
    return QFileInfo(folder).isDir() && ::access(QFile::encodeName(folder).constData(), W_OK) == 0;
}

bool LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName(const QString &appName)
{
    const QString bundlePath = Bundle::mainBundlePath();
    if (bundlePath.isEmpty()) {
        LGLogInfo(QStringLiteral("Working from a build folder"));
        return false;
    }
    if (!QFileInfo::exists(bundlePath)) {
        LGLogInfo(QStringLiteral("Bundle source path not found"));
        return false;
    }
    const QString globalFolder = globalApplicationsFolder();
    const QString userFolder = userApplicationsFolder();
    QString targetFolder = globalFolder;
    if (!globalFolder.isEmpty() && !isWritableFolder(globalFolder)) {
        // The file manager's answer can be wrong (ACLs, network mounts): try writing.
        QString probe;
        do {
            probe = globalFolder + QStringLiteral("/%1-%2.tmp").arg(now().toSecsSinceEpoch()).arg(QRandomGenerator::global()->generate());
        } while (QFileInfo::exists(probe));
        QSaveFile f(probe);
        if (f.open(QIODevice::WriteOnly)) {
            f.write("test");
            f.commit();
        }
        if (QFileInfo::exists(probe)) {
            LGLogInfo(QStringLiteral("WARNING %1, reported non-writable, but was writable").arg(globalFolder));
            QFile::remove(probe);
        } else {
            LGLogInfo(QStringLiteral("Cannot write to %1, using %2 instead").arg(globalFolder, userFolder));
            targetFolder = userFolder;
            QDir().mkpath(userFolder);
        }
    }
    if (targetFolder.isEmpty() || !QFileInfo(targetFolder).isDir()) {
        LGLogInfo(QStringLiteral("Global Apps folder not found %1").arg(targetFolder));
        return false;
    }
    const QString secondFolder = QFileInfo(userFolder).isDir() ? userFolder : targetFolder;
    const bool selfUpdated = isSelfUpdateLaunch();
    if (Bundle::isPathInsideFolder(bundlePath, secondFolder) || Bundle::isPathInsideFolder(bundlePath, targetFolder)) {
        if (selfUpdated)
            clearTempDirectory();
        return false;
    }
    if (appName.isEmpty())
        return false;
    const QString destination = targetFolder + QLatin1Char('/') + appName + QStringLiteral(".app");
    const QString secondDestination = secondFolder + QLatin1Char('/') + appName + QStringLiteral(".app");

    bool skipCopy = false;
    if (targetFolder == globalFolder) {
        const qint64 existing = Bundle::infoDictionary(destination).value(QStringLiteral("CFBundleVersion")).toLongLong();
        const qint64 runningBuild = Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleVersion")).toLongLong();
        if (existing >= runningBuild && runningBuild >= 1 && Bundle::isCompleteBundle(destination)) {
            LGLogInfo(QStringLiteral("Existing version at %1 more recent than new copy %2, skipping overwrite (%3 vs %4)")
                          .arg(destination, bundlePath).arg(existing).arg(runningBuild));
            skipCopy = true;
        }
    }
    LGLogInfo(QStringLiteral("UPDATER: Moving update into place from %1 to %2/%3").arg(bundlePath, destination, secondDestination));
    LGLog::flushLog();

    QString newPath = destination;
    if (!skipCopy) {
        QString error1, error2;
        if (installBundle(bundlePath, destination, &error1)) {
            newPath = destination;
        } else if (secondDestination != destination && installBundle(bundlePath, secondDestination, &error2)) {
            newPath = secondDestination;
        } else {
            LGLogInfo(QStringLiteral("failed to copy %1 to %2 / %3, %4").arg(bundlePath, destination, secondDestination,
                                                                             error1 + QLatin1Char(' ') + error2));
            if (ShellBridge::instance().increment)
                ShellBridge::instance().increment(QStringLiteral("Misc: Upgrade failed"));
            g_updateApplyFailed = true;
            return false;
        }
        // Only once the new copy is in place: stale copies at the other location and bundles
        // of the earlier product name go.
        QString error;
        if (newPath != secondDestination && !removePath(secondDestination, &error))
            LGLogInfo(QStringLiteral("failed to remove %1 to %2, %3").arg(bundlePath, secondDestination, error));
        for (const QString &folder : {secondFolder, targetFolder}) {
            const QString earlier = folder + QLatin1Char('/') + earlierProductName() + QStringLiteral(".app");
            if (!removePath(earlier, &error))
                LGLogInfo(QStringLiteral("failed to remove %1 to %2, %3").arg(bundlePath, earlier, error));
        }
    }
    if (!QFileInfo::exists(newPath)) {
        LGLogInfo(QStringLiteral("UPDATER: Failed to find update at %1").arg(newPath));
        unableToCopyAlert();
        g_updateApplyFailed = true;
        return true;
    }
    removeDownloadQuarantineFromPath(newPath);
    LGLogInfo(QStringLiteral("UPDATER: Relaunching update at %1").arg(newPath));
    LGLog::flushLog();
    QStringList launchArguments{QStringLiteral("/selfupdated")};
    if (!selfUpdated && bundlePath.contains(QStringLiteral("/Lumora Hoistly Installer"), Qt::CaseInsensitive))
        launchArguments.clear(); // a first installation counts as a manual launch
    if (!ShellEnvironment::instance().launchBundle(newPath, launchArguments)) {
        LGLogInfo(QStringLiteral("UPDATER: Failed to relaunch update %1").arg(newPath));
        unableToCopyAlert();
        g_updateApplyFailed = true;
        return false;
    }
    return true;
}

qint64 LMSelfUpdating::updateBundleVersion() { QMutexLocker l(&g_lock); return g_updateBundleVersion; }
QString LMSelfUpdating::updateInfoAppName() { QMutexLocker l(&g_lock); return g_updateInfoAppName; }
bool LMSelfUpdating::isCheckingForUpdates() { QMutexLocker l(&g_lock); return g_checkingForUpdates; }
QDateTime LMSelfUpdating::lastSuccessfulUpdateCheck() { QMutexLocker l(&g_lock); return g_lastSuccessfulUpdateCheck; }
void LMSelfUpdating::setLastSuccessfulUpdateCheckForTesting(const QDateTime &date) { QMutexLocker l(&g_lock); g_lastSuccessfulUpdateCheck = date; }
QStringList LMSelfUpdating::statusMessagesForTesting() { QMutexLocker l(&g_lock); return g_statusMessages; }
void LMSelfUpdating::setLaunchArguments(const QStringList &a) { g_argumentsOverride = a; g_argumentsOverridden = true; }
void LMSelfUpdating::setNetworkTimeoutsForTesting(int manifestMs, int downloadMs)
{
    g_manifestTimeoutMs = manifestMs;
    g_downloadTimeoutMs = downloadMs;
}

void LMSelfUpdating::resetForTesting()
{
    QMutexLocker l(&g_lock);
    g_updateURL = g_downloadURL = QUrl();
    g_checkingForUpdates = false;
    g_showUIOnNextCheck = false;
    g_forceUpdate = false;
    g_lastSuccessfulUpdateCheck = QDateTime();
    g_updateInfo.clear();
    g_updateBundleVersion = 0;
    g_updateInfoAppName.clear();
    g_updateApplyFailed = false;
    g_statusMessages.clear();
    g_argumentsOverridden = false;
    g_appsOverridden = false;
    QMutexLocker h(&g_holdsLock);
    g_holds.clear();
}
