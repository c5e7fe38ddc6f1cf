#include "app/launch/ShellBridge.h"

#include "app/launch/AppDelegate.h"
#include "app/launch/CatalogueHealthAlert.h"
#include "app/launch/Migrations.h"
#include "app/update/Bundle.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "core/Dispatch.h"
#include "service/DataStoreLumoraData.h"
#include "service/LumoraKit.h"
#include "windows/preferences/PreferencesPane.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "app/widgets/Localized.h"
#include "core/LMRReporter.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"
#include "sync/NotificationManager.h"
#include "windows/onboarding/WelcomeWindowController.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace {

void installDefaults(ShellBridge &b)
{
    b = ShellBridge();
    b.driveStartup = [] { LumoraDrive::startup(); };
    b.driveShutdown = [] { LumoraDrive::shutdown(); };
    b.runQueues = [] { LumoraDrive::runQueues(); };
    b.refreshLumoraData = [] { LumoraDrive::refreshLumoraData(); };
    b.refreshManually = [] { LumoraDrive::refreshManually(); };
    b.updateStatus = [] { LumoraDrive::updateStatus(); };
    b.setPausedUntil = [](const QDateTime &d) { LumoraDrive::setPausedUntil(d); };
    b.paused = [] { return LumoraDrive::paused(); };
    b.systemDidWake = [] { LumoraDrive::systemDidWake(); };
    b.statusLine1 = [] { return LumoraDrive::statusLine1(); };
    b.statusLine2 = [] { return LumoraDrive::statusLine2(); };
    b.statusLine3 = [] { return LumoraDrive::statusLine3(); };
    b.statusResumeMessage = [] { return LumoraDrive::statusResumeMessage(); };
    b.alphaOrWWW = [] { return LumoraDrive::alphaOrWWW(); };
    b.retractAllNotifications = [] { NotificationManager::retractAllNotifications(); };
    b.waitForEngineIdle = [](int timeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        // The loops end on their threads and finish on the main thread, which must keep turning.
        while (LumoraUploader::isRunning() || FileManager::isRunning()) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        QCoreApplication::processEvents();
        return true;
    };

    b.currentUserID = [] { return LumoraKit::sharedLumoraKit()->currentUserID(); };
    b.currentUserName = [] { return LumoraKit::sharedLumoraKit()->currentUserName(); };
    b.currentUserFullName = [] { return LumoraKit::sharedLumoraKit()->currentUserFullName(); };
    b.isAuthorized = [] { return LumoraKit::sharedLumoraKit()->isAuthorized(); };
    b.loadTokenFromSettingsWithoutValidating = [] { LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating(); };
    b.checkAuthorization = [](ShellBridge::AuthCompletion done) {
        LumoraKit::sharedLumoraKit()->checkAuthorizationOnCompletion(
            [done](const QString &userName, const QString &userId, const QString &fullName, const LKError &error) {
                done(userName, userId, fullName, error.toString());
            });
    };
    b.logout = [] { LumoraKit::sharedLumoraKit()->logout(); };
    b.tokenSecret = [] { return LumoraKit::tokenSecret(); };
    b.hasCompletedScanThisSession = [] { return DataStoreLumoraData::hasCompletedScanThisSession(); };
    b.setCompletedScanThisSession = [](const QDateTime &d) { DataStoreLumoraData::setCompletedScanThisSession(d); };
    b.mirrorUserName = [] {
        DataStore *store = DataStore::instance();
        SettingsData *row = store && store->isOpen() ? store->settingNamed(QStringLiteral("DataStoreLumoraUserName")) : nullptr;
        return row ? row->stringValue() : QString();
    };

    // Asking must not open (or create) a catalogue that this process never used.
    b.catalogueOpen = [] {
        DataStore *store = DataStore::instanceIfCreated();
        return store && store->isOpen();
    };
    b.catalogueCommitEditing = [] { return true; }; // no editing contexts are held open here
    b.catalogueHasChanges = [] {
        DataStore *store = DataStore::instanceIfCreated();
        return store && store->hasPendingChanges();
    };
    b.catalogueSave = [](QString *error) {
        const bool ok = DataStore::save();
        if (!ok && error)
            *error = DataStore::instance()->lastSaveError().message;
        return ok;
    };
    b.catalogueClose = [] { DataStore::shutdown(); };
    // The catalogue's first use at launch: what its opening found wrong is reported here too.
    b.runCatalogueMigrations = [] {
        Migrations::run(AppDelegate::lastRanBuildNumber());
        CatalogueHealthAlert::reportAtLaunch();
    };
    b.openCatalogueInBackground = [](std::function<void()> done) {
        // The first call opens and loads the store under its own lock; the main thread's first
        // use afterwards finds it ready.
        dispatch_default_queue_async([done = std::move(done)] {
            DataStore::instance();
            dispatch_main_async(done);
        });
    };
    b.allSourcesCount = [] { return int(FileManager::allSources().size()); };
    b.allSourcesFilteredCount = [] { return int(FileManager::allSourcesFiltered().size()); };
    b.registerIMessageHasPhotos = [] { FileManager::registerIMessageHasPhotos(); };
    b.probeInstalledLibraries = [] {
        FileManager::isApertureInstalled();
        FileManager::isOSXPhotosInstalled();
        FileManager::isIMessageInstalled();
        FileManager::isDropboxInstalled();
        FileManager::isIPhotoInstalled();
    };

    b.displayWelcome = [] { WelcomeWindowController::display(); };
    b.hasCompletedWelcomeScreen = [] { return WelcomeWindowController::hasCompletedWelcomeScreen(); };
    b.openPreferencesWindow = [] { PreferencesPane::openPreferences(); };
    b.openPreferencesWithAddFolder = [] { PreferencesPane::openPreferencesWithAddFolder(); };
    b.showAddFolderDialog = [] { SourcesPreferencesViewController::showAddFolderDialog(); };
    b.openCameraRoll = [] { PreferencesPane::openCameraRoll(); };
    b.clearCookiesForLogout = [] { WelcomeWindowController::clearCookiesForLogout(); };
    b.checkForAlphaEnvironmentAvailable = [] { WelcomeWindowController::checkForAlphaEnvironmentAvailable(); };
    b.showAboutPanel = [] {
        const QVariantMap info = Bundle::mainInfoDictionary();
        QString version = info.value(QStringLiteral("CFBundleShortVersionString")).toString();
        if (version.isEmpty())
            version = QStringLiteral(HOISTLY_VERSION);
        auto *box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Lumora Hoistly"),
                                    QStringLiteral("Lumora Hoistly\nVersion %1").arg(version), QMessageBox::Ok);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        box->raise();
        box->activateWindow();
    };
    b.updateLocale = [] {};
    b.tr = [](const QString &english) { return localized(english); };

    b.reporterStartup = [] { LMRReporter::startup(); };
    b.track = [](const QString &e, int m) { LMRReporter::track(e, m); };
    b.trackWithProperties = [](const QString &e, int m, const QVariantMap &p) { LMRReporter::track(e, m, p); };
    b.trackOncePerDay = [](const QString &e, int m) { LMRReporter::trackOncePerDay(e, m); };
    b.trackOnceEver = [](const QString &e, int m) { LMRReporter::trackOnceEver(e, m); };
    b.trackAndIncrement = [](const QString &e, int m) { LMRReporter::trackAndIncrement(e, m); };
    b.increment = [](const QString &n) { LMRReporter::increment(n); };
    b.setProperty = [](const QString &n, const QVariant &v) { LMRReporter::set(n, v); };
    b.registerSuperProperties = [](const QVariantMap &p) { LMRReporter::registerSuperProperties(p); };
    b.reporterFlush = [] { LMRReporter::flush(); };
}

// Whether the parent process is the desktop session's manager, which starts autostart entries.
bool parentIsSessionManagerDefault()
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(::getppid()));
    if (!comm.open(QIODevice::ReadOnly))
        return false;
    const QString name = QString::fromLocal8Bit(comm.readAll()).trimmed();
    static const QStringList managers = {
        QStringLiteral("gnome-session-b"), QStringLiteral("gnome-session"), QStringLiteral("ksmserver"),
        QStringLiteral("xfce4-session"),   QStringLiteral("lxsession"),     QStringLiteral("mate-session"),
        QStringLiteral("cinnamon-sessio"), QStringLiteral("lxqt-session"),  QStringLiteral("budgie-desktop")};
    return managers.contains(name);
}

void installDefaults(ShellEnvironment &e)
{
    e = ShellEnvironment();
    e.now = [] { return QDateTime::currentDateTimeUtc(); };
    e.launchModifiers = [] {
        if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
            return QGuiApplication::queryKeyboardModifiers();
        return Qt::KeyboardModifiers();
    };
    e.launchBundle = [](const QString &bundlePath, const QStringList &arguments) {
        QString exe = Bundle::executablePath(bundlePath);
        if (exe.isEmpty() && QFileInfo(bundlePath).isFile())
            exe = bundlePath; // a bare executable (build tree)
        if (exe.isEmpty() || !QFileInfo(exe).isExecutable())
            return false;
        return QProcess::startDetached(exe, arguments);
    };
    e.exitEventLoop = [] { QCoreApplication::exit(0); };
    e.forceTerminate = [] { ::_exit(0); };
    e.sleep = [](double seconds) {
        if (seconds > 0)
            QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    };
    e.removeFolder = [](const QString &folder) {
        // The sign-in profile's cookie store may still be writing its last change into the
        // folder while it goes; a file that appears mid-way is taken on the next pass.
        for (int attempt = 0; attempt < 10; ++attempt) {
            const QFileInfo fi(folder);
            if (fi.isDir() && !fi.isSymLink())
                QDir(folder).removeRecursively();
            else if (fi.exists() || fi.isSymLink())
                QFile::remove(folder);
            if (!QFileInfo::exists(folder) && !QFileInfo(folder).isSymLink())
                return true;
            QThread::msleep(50);
        }
        return false;
    };
    e.parentIsSessionManager = parentIsSessionManagerDefault;
}

} // namespace

ShellBridge &ShellBridge::instance()
{
    static ShellBridge *bridge = [] {
        auto *b = new ShellBridge;
        installDefaults(*b);
        return b;
    }();
    return *bridge;
}

void ShellBridge::resetToDefaults() { installDefaults(instance()); }

ShellEnvironment &ShellEnvironment::instance()
{
    static ShellEnvironment *env = [] {
        auto *e = new ShellEnvironment;
        installDefaults(*e);
        return e;
    }();
    return *env;
}

void ShellEnvironment::resetToDefaults() { installDefaults(instance()); }
