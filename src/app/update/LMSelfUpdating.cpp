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
#include "service/Reachability.h"
#include "core/NotificationCenter.h"

#include <QApplication>
#include <QBuffer>
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
#include <QPointer>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSemaphore>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unistd.h>
#include <utility>

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
QObject *g_reachabilityContext = nullptr;
std::function<bool(const QString &from, const QString &to)> g_renameFault;
bool g_noExchange = false; // as on a file system that cannot swap two paths in one step
// Alerts of the install path that are still on screen (main thread only), and what waits for them.
int g_alertsOnScreen = 0;
QList<std::function<void()>> g_afterAlerts;

// An update is never larger than this; a server that sends more is cut off.
constexpr qint64 kMaximumDownloadBytes = qint64(512) * 1024 * 1024;
// What the network layer may hold ahead of the file being written.
constexpr qint64 kReadBufferBytes = 256 * 1024;

qint64 maximumDownloadBytes()
{
    // Tests lower the limit so they need not serve half a gigabyte; it can never be raised.
    bool ok = false;
    const qint64 lowered = qEnvironmentVariable("HOISTLY_UPDATE_MAX_BYTES").toLongLong(&ok);
    return ok && lowered > 0 && lowered < kMaximumDownloadBytes ? lowered : kMaximumDownloadBytes;
}

QDateTime now() { return ShellEnvironment::instance().now(); }

QStringList arguments()
{
    return g_argumentsOverridden ? g_argumentsOverride : QCoreApplication::arguments();
}

// Streams an address into `file` on the calling thread and returns the number of bytes written.
// Same transport rules as fetch(); more than `maxBytes` (announced or sent) is an error.
qint64 fetchToFile(const QUrl &url, int timeoutMs, qint64 maxBytes, QIODevice *file, QString *error)
{
    if (!Endpoints::isAllowedTransport(url)) {
        *error = QStringLiteral("address not allowed (%1)").arg(url.toString());
        return 0;
    }
    QNetworkAccessManager nam;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply *reply = nam.get(request);
    // Unbounded, Qt reads as fast as the server sends and queues it all in memory whenever the
    // disk is slower: a fast server pushed this past a gigabyte before the size limit was reached.
    reply->setReadBufferSize(kReadBufferBytes);
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl &to) {
        if (Endpoints::isAllowedTransport(to))
            Q_EMIT reply->redirectAllowed();
        else
            reply->abort();
    });
    qint64 written = 0;
    QString failure;
    auto fail = [&](const QString &why) {
        if (failure.isEmpty())
            failure = why;
        reply->abort();
    };
    auto isAnswer = [reply] { return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200; };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (isAnswer() && length.isValid() && length.toLongLong() > maxBytes)
            fail(QStringLiteral("update of %1 bytes is larger than %2").arg(length.toLongLong()).arg(maxBytes));
    });
    auto drain = [&] {
        if (!failure.isEmpty())
            return;
        const QByteArray chunk = reply->readAll();
        if (!isAnswer() || chunk.isEmpty())
            return;
        if (written + chunk.size() > maxBytes)
            return fail(QStringLiteral("update larger than %1 bytes").arg(maxBytes));
        if (file->write(chunk) != chunk.size())
            return fail(QStringLiteral("cannot write the update: %1").arg(file->errorString()));
        written += chunk.size();
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    if (failure.isEmpty() && reply->error() == QNetworkReply::NoError)
        drain();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!failure.isEmpty())
        *error = failure;
    else if (reply->error() != QNetworkReply::NoError)
        *error = reply->errorString();
    else if (status != 200)
        *error = QStringLiteral("HTTP status %1").arg(status);
    delete reply;
    return written;
}

// Reads a whole (small) address into memory on the calling thread. Only HTTPS (or plain HTTP to
// loopback) is fetched, redirects included; a server that stops sending times out, and one that
// sends more than a manifest can need is cut off.
QByteArray fetch(const QUrl &url, int timeoutMs, QString *error)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    fetchToFile(url, timeoutMs, 1024 * 1024, &buffer, error);
    return error->isEmpty() ? buffer.data() : QByteArray();
}

// The names of every entry of a zip, as its own listing gives them; false when it cannot be listed.
bool listZipEntries(const QString &unzip, const QString &zipPath, QList<QByteArray> *names, QString *error)
{
    QProcess p;
    p.setProgram(unzip);
    p.setArguments({QStringLiteral("-Z1"), zipPath});
    p.start();
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        p.kill();
        *error = QStringLiteral("cannot list the zip (%1)").arg(QString::fromLocal8Bit(p.readAllStandardError()).simplified());
        return false;
    }
    *names = p.readAllStandardOutput().split('\n');
    while (!names->isEmpty() && names->last().isEmpty())
        names->removeLast();
    if (names->isEmpty()) {
        *error = QStringLiteral("the zip is empty");
        return false;
    }
    return true;
}

// Every entry must land inside one of the bundle folders: relative, without "." or ".."
// components, without control characters or backslashes (which some tools treat as separators).
bool zipEntriesStayInside(const QList<QByteArray> &names, const QStringList &bundleFolders, QString *error)
{
    for (const QByteArray &name : names) {
        auto refuse = [&](const char *why) {
            *error = QStringLiteral("entry \"%1\" %2").arg(QString::fromLocal8Bit(name), QLatin1String(why));
            return false;
        };
        if (name.startsWith('/'))
            return refuse("is absolute");
        for (const char c : name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\')
                return refuse("has a control character or backslash");
        const QList<QByteArray> parts = name.split('/');
        for (int i = 0; i < parts.size(); ++i) {
            if (parts[i] == ".." || parts[i] == ".")
                return refuse("has a relative component");
            if (parts[i].isEmpty() && i != parts.size() - 1)
                return refuse("has an empty component");
        }
        bool inside = false;
        for (const QString &folder : bundleFolders)
            inside = inside || parts.first() == QFile::encodeName(folder);
        if (!inside)
            return refuse("lies outside the bundle");
    }
    return true;
}

// Renames through one place so a test can make a step of the swap fail.
bool renamePath(const QString &from, const QString &to)
{
    if (g_renameFault && g_renameFault(from, to))
        return false;
    return QDir().rename(from, to);
}

bool copyRecursively(const QString &from, const QString &to, QString *error)
{
    const QFileInfo src(from);
    if (src.isSymLink()) {
        // The link is copied as written: a relative link must stay relative, or the copy would
        // point back into the folder it was copied from.
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(QFile::encodeName(from).toStdString(), ec);
        if (!ec)
            std::filesystem::create_symlink(target, QFile::encodeName(to).toStdString(), ec);
        if (ec) {
            *error = QStringLiteral("cannot link %1: %2").arg(to, QString::fromStdString(ec.message()));
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

// Swaps two existing paths in one step. False with errno EINVAL or ENOSYS when the file system
// or kernel cannot; then the caller falls back to two renames.
bool exchangePaths(const QString &a, const QString &b)
{
    if (g_renameFault && g_renameFault(a, b)) {
        errno = EIO;
        return false;
    }
    if (g_noExchange) {
        errno = EINVAL;
        return false;
    }
    return ::renameat2(AT_FDCWD, QFile::encodeName(a).constData(), AT_FDCWD, QFile::encodeName(b).constData(),
                       RENAME_EXCHANGE) == 0;
}

// Swaps two existing paths: in one step where the file system can, else by three renames
// through a sibling (between them one of the two names is missing for a moment).
bool swapPaths(const QString &a, const QString &b)
{
    if (exchangePaths(a, b))
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    const QString aside = a + QStringLiteral(".swap-%1").arg(::getpid());
    if (!renamePath(a, aside))
        return false;
    if (!renamePath(b, a)) {
        renamePath(aside, a);
        return false;
    }
    return renamePath(aside, b);
}

bool isWholeBundle(const QString &path, QString *why = nullptr)
{
    const QFileInfo fi(path);
    return !fi.isSymLink() && fi.isDir() && Bundle::isCompleteBundle(path, why) && Bundle::isSelfContained(path, why);
}

// The swap by two renames, for file systems without an exchange: between them the destination
// is missing, and the next start puts "<dest>.previous-<tag>" back (restoreInterruptedInstall).
bool swapByTwoRenames(const QString &incoming, const QString &destination, const QString &previous, QString *error)
{
    if (!renamePath(destination, previous)) {
        *error = QStringLiteral("cannot move aside %1").arg(destination);
        return false;
    }
    if (!renamePath(incoming, destination)) {
        *error = QStringLiteral("cannot move %1 into place").arg(incoming);
        if (!renamePath(previous, destination))
            LGLogError(QStringLiteral("UPDATER: Cannot put %1 back, kept as %2").arg(destination, previous));
        return false;
    }
    return true;
}

// Installs a copy of `bundle` at `destination`: copy to a temporary sibling first, then swap it
// in. The destination holds a whole copy at every instant, the old one or the new one, so a
// process killed anywhere here leaves something to start; the old copy goes only once the new
// one is known to be whole where it now lies.
bool installBundle(const QString &bundle, const QString &destination, QString *error)
{
    const QString tag = QStringLiteral("%1-%2").arg(::getpid()).arg(QRandomGenerator::global()->generate());
    const QString incoming = destination + QStringLiteral(".incoming-") + tag;
    QString oldCopy = incoming; // where the previous copy lies once the new one is in place
    QString why;
    if (!copyRecursively(bundle, incoming, error) || !isWholeBundle(incoming, &why)) {
        if (error->isEmpty())
            *error = QStringLiteral("copied bundle incomplete: %1").arg(why);
        removePath(incoming, nullptr);
        return false;
    }
    const QFileInfo existing(destination);
    if (!existing.exists() && !existing.isSymLink()) {
        const bool placed = renamePath(incoming, destination) && isWholeBundle(destination, &why);
        if (!placed) {
            *error = QStringLiteral("cannot move %1 into place %2").arg(incoming, why);
            removePath(incoming, nullptr);
            removePath(destination, nullptr);
        }
        return placed;
    }
    if (!exchangePaths(incoming, destination)) {
        const int cause = errno;
        oldCopy = destination + QStringLiteral(".previous-") + tag;
        if ((cause != EINVAL && cause != ENOSYS) || !swapByTwoRenames(incoming, destination, oldCopy, error)) {
            if (error->isEmpty())
                *error = QStringLiteral("cannot swap %1 into place: %2").arg(incoming, QString::fromLocal8Bit(strerror(cause)));
            removePath(incoming, nullptr);
            return false;
        }
    }
    if (!isWholeBundle(destination, &why)) {
        *error = QStringLiteral("installed bundle incomplete: %1").arg(why);
        if (swapPaths(oldCopy, destination))
            removePath(oldCopy, nullptr);
        else
            LGLogError(QStringLiteral("UPDATER: Cannot put %1 back, kept as %2").arg(destination, oldCopy));
        return false;
    }
    removePath(oldCopy, nullptr);
    return true;
}

// Runs what waits for the install path's alerts once the last one is answered.
void alertAnswered()
{
    if (--g_alertsOnScreen > 0)
        return;
    const QList<std::function<void()>> waiting = std::exchange(g_afterAlerts, {});
    for (const auto &f : waiting)
        f();
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
        ++g_alertsOnScreen;
        Alerts::show(r, [](AlertResult) { alertAnswered(); });
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
    // The network coming back is a good moment to look: a check that failed offline is not
    // retried for another 15 minutes otherwise.
    g_reachabilityContext = new QObject(QCoreApplication::instance());
    NotificationCenter::observe(Notifications::ReachabilityChanged, g_reachabilityContext, [](const QVariant &object) {
        auto *reachability = qobject_cast<Reachability *>(object.value<QObject *>());
        if (reachability && reachability->isLocalLink())
            return;
        if (reachability ? reachability->isReachable() : Reachability::isOnline())
            checkForUpdatesSilent();
    });
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

// Whether `minimum` ("major[.minor[.patch]]") lies above `running`: a greater major; or an equal
// major and a greater minor; or equal major and minor and a greater patch.
static bool needsNewerVersion(const QString &minimum, const QString &running)
{
    const QStringList need = minimum.split(QLatin1Char('.'));
    const QStringList have = running.split(QLatin1Char('.'));
    auto part = [](const QStringList &parts, int i) { return parts.value(i).toInt(); };
    if (part(need, 0) != part(have, 0))
        return part(need, 0) > part(have, 0);
    if (need.size() > 1 && part(need, 1) != part(have, 1))
        return part(need, 1) > part(have, 1);
    return need.size() > 2 && part(need, 2) > part(have, 2);
}

// What a build needs of the system it runs on, as the manifest states it, against what this
// system has: the C library and Qt it was linked with. The macOS minimum
// ("LSMinimumSystemVersion") says nothing about a Linux system and is never read.
static QString unmetSystemRequirement(const QVariantMap &info)
{
    const std::pair<QString, QString> requirements[] = {
        {QStringLiteral("LinuxMinimumGlibcVersion"), QStringLiteral("glibc %1").arg(QString::fromLatin1(gnu_get_libc_version()))},
        {QStringLiteral("LinuxMinimumQtVersion"), QStringLiteral("Qt %1").arg(QString::fromLatin1(qVersion()))},
    };
    for (const auto &[key, system] : requirements) {
        const QVariant minimum = info.value(key);
        if (minimum.userType() == QMetaType::QString && needsNewerVersion(minimum.toString(), system.section(QLatin1Char(' '), 1)))
            return system;
    }
    return {};
}

QUrl LMSelfUpdating::checkServerForUpdateAvailable()
{
    const QUrl url = updateURL();
    QString error;
    const QByteArray data = fetch(url, g_manifestTimeoutMs, &error);
    QVariantMap info;
    if (error.isEmpty())
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
    // The name becomes part of a path: anything but a plain name (a "../" climb, a separator)
    // would point the updater outside its cache.
    if (offered <= 0 || !Bundle::isPlainName(updateInfoAppName())) {
        // A server without update information (or none reached) is common and says nothing
        // more than that; what a list that was read holds helps to find out why it was refused.
        if (!error.isEmpty())
            LGLogInfo(QStringLiteral("UPDATER: No update information at %1 (%2)").arg(url.toString(), error));
        else
            LGLogInfo(QStringLiteral("UPDATER: Unable to retrieve update info (%1, %2)")
                          .arg(url.toString(), QString::fromUtf8(PropertyList::serialize(info)).simplified()));
        showUIWithStatus(shellTr(QStringLiteral("Unable to retrieve update information at this time. Try again later.")));
        return {};
    }
    const qint64 running = Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleVersion")).toLongLong();
    if (const QString system = unmetSystemRequirement(info); !system.isEmpty()) {
        LGLogInfo(QStringLiteral("UPDATER: Up to date, per OS version (%1/%2/%3)").arg(running).arg(offered).arg(system));
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
    // Streamed straight to disk, never whole in memory, and cut off at the size limit.
    clearTempDirectory();
    const QString folder = tempDirectory() + QLatin1Char('/') + QString::number(now().toSecsSinceEpoch());
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    const QString path = folder + QStringLiteral("/Update.zip");
    QSaveFile file(path);
    QString error;
    qint64 size = 0;
    if (!file.open(QIODevice::WriteOnly))
        error = file.errorString();
    else
        size = fetchToFile(url, g_downloadTimeoutMs, maximumDownloadBytes(), &file, &error);
    if (!error.isEmpty() || size == 0) {
        LGLogError(QStringLiteral("UPDATER: Failed downloading update (URL %1, Error %2, DataSize %3)")
                       .arg(url.toString(), error).arg(size));
        file.cancelWriting();
        QDir(folder).removeRecursively();
        return {};
    }
    if (!file.commit() || !QFileInfo::exists(path)) {
        LGLogInfo(QStringLiteral("UPDATER: Failed to save downloaded file (File %1, Size %2)").arg(path).arg(size));
        QDir(folder).removeRecursively();
        return {};
    }
    removeDownloadQuarantineFromPath(path);
    LGLogInfo(QStringLiteral("UPDATER: Download complete (%1) extracting...").arg(size));
    return path;
}

// Removes what an unpack left next to the zip: a refused update is never kept around.
static void removeUnpacked(const QString &folder, const QString &zipPath)
{
    const QFileInfoList items = QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &fi : items)
        if (fi.absoluteFilePath() != QFileInfo(zipPath).absoluteFilePath())
            removePath(fi.absoluteFilePath(), nullptr);
}

QString LMSelfUpdating::extractUpdateAtPath(const QString &zipPath)
{
    const QString folder = QFileInfo(zipPath).absolutePath();
    const QString unzip = QStringLiteral("/usr/bin/unzip");
    const QString runningName = Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleName")).toString();
    QStringList bundleFolders;
    for (const QString &name : {updateInfoAppName(), runningName})
        if (Bundle::isPlainName(name))
            bundleFolders << name + QStringLiteral(".app");
    // The archive is judged by its own listing before anything is written.
    QList<QByteArray> entries;
    QString refusal;
    if (!QFileInfo(unzip).isExecutable())
        refusal = QStringLiteral("%1 is missing").arg(unzip);
    else if (bundleFolders.isEmpty())
        refusal = QStringLiteral("no plain bundle name");
    else if (listZipEntries(unzip, zipPath, &entries, &refusal))
        zipEntriesStayInside(entries, bundleFolders, &refusal);
    if (!refusal.isEmpty()) {
        LGLogError(QStringLiteral("UPDATER: Refusing update zip %1: %2").arg(zipPath, refusal));
        return {};
    }
    int code = -1;
    {
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
        removeUnpacked(folder, zipPath);
        return {};
    }
    QString bundle;
    for (const QString &candidate : std::as_const(bundleFolders)) {
        const QFileInfo fi(folder + QLatin1Char('/') + candidate);
        if (fi.isDir() || fi.isSymLink()) {
            bundle = fi.absoluteFilePath();
            break;
        }
    }
    if (bundle.isEmpty()) {
        LGLogInfo(QStringLiteral("UPDATER: Failed locate app within temp folder (AppName %1, Unzip Code %2, Folder %3)")
                      .arg(updateInfoAppName()).arg(code).arg(folder));
        removeUnpacked(folder, zipPath);
        return {};
    }
    // Everything below must hold before the bundle is touched or run: it lies inside this unpack
    // folder, reaches nothing outside itself, and is the very build the manifest offered.
    QString why;
    const qint64 unpacked = Bundle::infoDictionary(bundle).value(QStringLiteral("CFBundleVersion")).toLongLong();
    const qint64 running = Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleVersion")).toLongLong();
    if (QFileInfo(bundle).isSymLink() || !Bundle::isPathInsideFolder(bundle, folder)
        || QFileInfo(bundle).canonicalFilePath() == QFileInfo(folder).canonicalFilePath())
        why = QStringLiteral("the bundle lies outside the unpack folder");
    else if (!Bundle::isSelfContained(bundle, &why))
        ;
    else if (unpacked != updateBundleVersion())
        why = QStringLiteral("it holds build %1, the manifest offered %2").arg(unpacked).arg(updateBundleVersion());
    else if (unpacked <= running && !g_forceUpdate)
        why = QStringLiteral("build %1 is not newer than the running %2").arg(unpacked).arg(running);
    if (why.isEmpty()) {
        removeDownloadQuarantineFromPath(bundle);
        Bundle::isCompleteBundle(bundle, &why);
    }
    if (!why.isEmpty()) {
        LGLogError(QStringLiteral("UPDATER: Extracted update at %1 refused (%2)").arg(bundle, why));
        removeUnpacked(folder, zipPath);
        return {};
    }
    LGLogInfo(QStringLiteral("UPDATER: Found extracted update at %1").arg(bundle));
    return bundle;
}

bool LMSelfUpdating::applyUpdate(const QString &bundlePath)
{
    LGLog::flushLog();
    // Only a bundle that the updater itself unpacked into its cache is ever started.
    const QFileInfo bundle(bundlePath);
    if (bundle.isSymLink() || !bundle.isDir() || !Bundle::isPathInsideFolder(bundlePath, tempDirectory())
        || !Bundle::isSelfContained(bundlePath)) {
        LGLogError(QStringLiteral("UPDATER: Refusing to launch %1 from outside the update cache").arg(bundlePath));
        return false;
    }
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
    // The checking thread waits for OK: the next step (a download, the new copy ending this one)
    // must not overtake what the user is reading.
    auto answered = std::make_shared<QSemaphore>();
    bool shown = false;
    dispatch_main_sync([status, name, answered, &shown] {
        if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
            return;
        AlertRequest r;
        r.title = name.isEmpty() ? QStringLiteral("Lumora Hoistly") : name;
        r.message = status;
        r.buttons = {shellTr(QStringLiteral("OK"))};
        shown = true;
        Alerts::show(r, [answered](AlertResult) { answered->release(); });
    });
    if (!shown || QThread::currentThread() == QCoreApplication::instance()->thread())
        return;
    // A quit while the alert is up must not be held by this thread.
    while (!answered->tryAcquire(1, 250))
        if (QCoreApplication::closingDown())
            return;
}

void LMSelfUpdating::removeDownloadQuarantineFromPath(const QString &path)
{
    if (!QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        return;
    const QString exe = Bundle::executablePath(path);
    // Never through a link: the mode change would land on whatever it points at.
    if (!exe.isEmpty() && QFileInfo(exe).isFile() && !QFileInfo(exe).isSymLink())
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
    // Whatever this copy is, an install that died half-way is put right first.
    restoreInterruptedInstall(appName);
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
    // A bundle the user started by hand from wherever an archive was unpacked (any place but
    // the update cache) is a first installation, and its installed copy counts as a manual launch.
    QStringList launchArguments{QStringLiteral("/selfupdated")};
    if (!selfUpdated && !Bundle::isPathInsideFolder(bundlePath, StandardPaths::lumoraFolder() + QStringLiteral("/UpdateCache")))
        launchArguments.clear();
    if (!ShellEnvironment::instance().launchBundle(newPath, launchArguments)) {
        LGLogInfo(QStringLiteral("UPDATER: Failed to relaunch update %1").arg(newPath));
        unableToCopyAlert();
        g_updateApplyFailed = true;
        return false;
    }
    return true;
}

void LMSelfUpdating::restoreInterruptedInstall(const QString &appName)
{
    if (!Bundle::isPlainName(appName))
        return;
    QStringList folders{globalApplicationsFolder(), userApplicationsFolder()};
    folders.removeAll(QString());
    folders.removeDuplicates();
    const QString bundleName = appName + QStringLiteral(".app");
    for (const QString &folder : std::as_const(folders)) {
        QDir dir(folder);
        if (!dir.exists())
            continue;
        // Ours, and the hidden ones the install script leaves when it is interrupted the same way.
        const QFileInfoList leftovers = dir.entryInfoList(
            {bundleName + QStringLiteral(".previous-*"), bundleName + QStringLiteral(".incoming-*"),
             QLatin1Char('.') + bundleName + QStringLiteral(".previous-*"), QLatin1Char('.') + bundleName + QStringLiteral(".incoming-*")},
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Time);
        if (leftovers.isEmpty())
            continue;
        const QString destination = dir.filePath(bundleName);
        if (!isWholeBundle(destination)) {
            // An install died between moving the old copy aside and putting the new one in
            // place: the newest whole copy that was moved aside comes back, else the newest whole
            // one that was on its way in.
            QFileInfoList candidates;
            for (const char *kind : {".previous-", ".incoming-"})
                for (const QFileInfo &fi : leftovers)
                    if (fi.fileName().contains(bundleName + QLatin1String(kind)) && isWholeBundle(fi.absoluteFilePath()))
                        candidates << fi;
            if (!candidates.isEmpty()) {
                // An incomplete destination trades places with the whole copy and goes with the
                // other leftovers below.
                const QString whole = candidates.first().absoluteFilePath();
                const QFileInfo dest(destination);
                if (dest.exists() || dest.isSymLink() ? swapPaths(whole, destination) : renamePath(whole, destination))
                    LGLogInfo(QStringLiteral("UPDATER: Restored %1 from %2").arg(destination, candidates.first().fileName()));
            }
        }
        if (!isWholeBundle(destination)) {
            LGLogError(QStringLiteral("UPDATER: %1 is incomplete and no earlier copy could be restored").arg(destination));
            continue; // nothing else is thrown away while the destination is not whole
        }
        for (const QFileInfo &fi : leftovers)
            if (fi.exists() || fi.isSymLink())
                removePath(fi.absoluteFilePath(), nullptr);
    }
}

void LMSelfUpdating::whenAlertsAnswered(const std::function<void()> &then)
{
    if (g_alertsOnScreen <= 0)
        then();
    else
        g_afterAlerts << then;
}

void LMSelfUpdating::setExchangeUnsupportedForTesting(bool unsupported) { g_noExchange = unsupported; }

void LMSelfUpdating::setRenameFaultForTesting(std::function<bool(const QString &from, const QString &to)> fault)
{
    g_renameFault = std::move(fault);
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
    g_renameFault = nullptr;
    QMutexLocker h(&g_holdsLock);
    g_holds.clear();
}
