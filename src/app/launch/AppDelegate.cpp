#include "app/launch/AppDelegate.h"

#include "app/launch/ShellBridge.h"
#include "app/menubar/MainController.h"
#include "app/platform/PowerEvents.h"
#include "app/platform/SingleInstance.h"
#include "app/platform/UnixSignals.h"
#include "app/update/Bundle.h"
#include "app/update/LMSelfUpdating.h"
#include "app/webview/SignInBrowser.h"
#include "app/widgets/ModalUi.h"
#include "windows/onboarding/WelcomeWindowController.h"
#include "windows/preferences/PreferencesPane.h"
#include "core/Dispatch.h"
#include "core/LGFileLogger.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "platform/Endpoints.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QSessionManager>
#include <QSysInfo>
#include <QThread>
#include <QTimeZone>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <exception>
#include <thread>

namespace {
AppDelegate *g_instance = nullptr;
std::shared_ptr<LGFileLogger> g_fileLogger;
bool g_wasLaunchedManually = false;
std::atomic<bool> g_isSystemSleeping{false};
std::atomic<bool> g_isResetting{false};
int g_lastRanBuildNumber = -1;

const QString kLastRelaunched = QStringLiteral("LastRelaunchedForUpdateCheck");
const QString kStoredToken = QStringLiteral("kLKStoredTokenKey");

ShellBridge &bridge() { return ShellBridge::instance(); }
ShellEnvironment &env() { return ShellEnvironment::instance(); }

// The running system as users know it: the distribution and the kernel release. (The
// macOS-style version of NSDevice only steers the few branches that depend on it.)
QString systemDescription()
{
    return QStringLiteral("%1, kernel %2").arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion());
}

// The file logger (once per process). Also used by the crash handler, so that a crash before the
// launch installs it still leaves the lines logged so far in a file.
void ensureFileLogger()
{
    if (g_fileLogger)
        return;
    auto logger = std::make_shared<LGFileLogger>();
    logger->setMaximumFileSize(9961472);
    logger->setRollingFrequency(5184000);
    logger->logFileManager()->setMaximumNumberOfLogFiles(4);
    logger->logFileManager()->setFileNamingConvention(1);
    LGLog::addLogger(logger);
    g_fileLogger = logger;
}

// The copy that holds the lock may still be starting: its socket appears a moment later.
void handOverUrl(const QString &url)
{
    QElapsedTimer waited;
    waited.start();
    while (!SingleInstance::forwardUrl(url, 1000)) {
        if (waited.elapsed() > 10000) {
            LGLogError(QStringLiteral("Could not hand the sign-in address to the running copy"));
            return;
        }
        QThread::msleep(100);
    }
}

bool anyArgumentContains(const QStringList &arguments, const QString &needle)
{
    for (const QString &a : arguments)
        if (a.toLower().contains(needle))
            return true;
    return false;
}
} // namespace

AppDelegate::AppDelegate(QObject *parent) : QObject(parent) {}

AppDelegate *AppDelegate::instance()
{
    if (!g_instance) {
        g_instance = new AppDelegate(QCoreApplication::instance());
        installUiHooks();
    }
    return g_instance;
}

void AppDelegate::installUiHooks()
{
    UiHooks &hooks = UiHooks::instance();
    hooks.isSystemSleeping = [] { return AppDelegate::isSystemSleeping(); };
    hooks.refreshReportingMetrics = [] {
        if (g_instance)
            g_instance->refreshReportingMetrics();
    };
    hooks.checkForUpdatesSilent = [] { LMSelfUpdating::checkForUpdatesSilent(); };
    MainController::installUiHooks();
    WelcomeWindowController::installEngineHooks();
    PreferencesPane::installUiHooks();
}

bool AppDelegate::isSystemSleeping() { return g_isSystemSleeping; }

void AppDelegate::setHideDockIcon(bool hide)
{
    // Linux has no Dock: the state is kept for the code that reads it.
    if (hide == m_hideDockIcon)
        return;
    m_hideDockIcon = hide;
}

bool AppDelegate::argumentsSelectUpdateCheck(const QStringList &arguments)
{
    return anyArgumentContains(arguments, QStringLiteral("/check-for-updates"));
}

bool AppDelegate::argumentsContainSelfUpdated(const QStringList &arguments)
{
    return anyArgumentContains(arguments, QStringLiteral("/selfupdated"));
}

namespace {
const QString kSignInArgument = QStringLiteral("/sign-in");
}

bool AppDelegate::signInViewMayBeNeeded(const QStringList &arguments)
{
    if (anyArgumentContains(arguments, kSignInArgument))
        return true;
    return !Settings::boolForKey(QStringLiteral("WelcomeScreenComplete")) || Settings::stringForKey(kStoredToken).isEmpty();
}

bool AppDelegate::signInViewAvailable()
{
    return QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts) && !SignInBrowserProfile::engineHelpersEnded();
}

bool AppDelegate::signInRequestedAtLaunch() const
{
    return anyArgumentContains(m_arguments, kSignInArgument);
}

void AppDelegate::relaunchForSignIn()
{
    LGLogInfo(QStringLiteral("LOGIN: Starting again with the sign-in view"));
    Settings::synchronize(); // the new copy reads the file at once
    QString bundle = Bundle::mainBundlePath();
    if (bundle.isEmpty())
        bundle = QCoreApplication::applicationFilePath();
    env().launchBundle(bundle, {kSignInArgument});
    scheduleForceQuit();
    terminate();
}

QString AppDelegate::loginLaunchArgument() { return QStringLiteral("--login-item"); }

bool AppDelegate::decideLaunchedManually(const QStringList &arguments, bool loginSession)
{
    const bool loginLaunch = arguments.contains(loginLaunchArgument()) || loginSession;
    return !loginLaunch && !argumentsContainSelfUpdated(arguments);
}

bool AppDelegate::forwardSignInUrlToRunningCopy(const QStringList &arguments)
{
    for (const QString &a : arguments.mid(1)) {
        if (!Endpoints::isSignInCallback(QUrl(a)))
            continue;
        // A copy that only hands the address over ends at once; its lines belong in the log too.
        instance()->installFileLogger();
        if (!SingleInstance::forwardUrl(a))
            return false;
        LGLogInfo(QStringLiteral("Another copy is running; handed over the sign-in address and quitting"));
        LGLog::flushLog();
        return true;
    }
    return false;
}

int AppDelegate::runUpdateCheckMode()
{
    installFileLogger(); // what the check did belongs in the log a user sends
    setHideDockIcon(true);
    updateSelfUpdatingUrls();
    LMSelfUpdating::checkForUpdatesStandalone();
    LGLog::flushLog();
    return 0;
}

void AppDelegate::applicationDidFinishLaunching(const QStringList &arguments)
{
    m_arguments = arguments;
    if (argumentsSelectUpdateCheck(arguments)) {
        const int status = runUpdateCheckMode();
        env().exitEventLoop();
        Q_UNUSED(status);
        return;
    }
    for (const QString &a : arguments.mid(1))
        if (Endpoints::isSignInCallback(QUrl(a)))
            m_pendingUrl = a;
    QPointer<AppDelegate> self(this);
    dispatch_main_async([self] {
        if (self)
            self->applicationDidFinishLaunching_Internal();
    });
}

void AppDelegate::applicationDidFinishLaunching_Internal()
{
    const Qt::KeyboardModifiers mods = env().launchModifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::AltModifier) {
        LGLogInfo(QStringLiteral("Modifier held at startup"));
        AlertRequest r;
        r.title = shellTr(QStringLiteral("Reset Lumora Hoistly to it's default settings?"));
        r.buttons = {shellTr(QStringLiteral("Reset App")), shellTr(QStringLiteral("Cancel"))};
        r.cancelButton = 1;
        QPointer<AppDelegate> self(this);
        Alerts::show(r, [self](AlertResult result) {
            if (!self)
                return;
            if (result.button == 0) {
                LGLogInfo(QStringLiteral("Resetting app"));
                LGLog::flushLog();
                env().sleep(0.5);
                self->performLogOutAndDELETEEVERYTHING();
                return;
            }
            self->continueLaunchAfterResetOffer();
        });
        return;
    }
    continueLaunchAfterResetOffer();
}

void AppDelegate::continueLaunchAfterResetOffer()
{
    UnixSignals::installCrashHandlers([] {
        if (isMainThread())
            ensureFileLogger();
    });
    // Copies that end before the launch is through (one that loses to the running copy, one
    // that installs an update and relaunches it) keep their lines too.
    installFileLogger();

    g_wasLaunchedManually = decideLaunchedManually(m_arguments, env().parentIsSessionManager());

    dispatch_default_queue_async([] { bridge().checkForAlphaEnvironmentAvailable(); });
    setHideDockIcon(true);

    LMSelfUpdating::setLaunchArguments(m_arguments);
    LMSelfUpdating::exitOtherCopies();
    SingleInstance *single = SingleInstance::instance();
    QPointer<AppDelegate> self(this);
    single->onQuitRequested = [self] {
        if (self)
            self->terminate();
    };
    single->onUrl = [self](const QString &url) {
        if (self)
            self->handleGetURLEvent(url);
    };
    single->statusHeadline = [] { return bridge().statusLine1(); };
    if (!single->listen()) {
        // Another copy holds the single-copy lock: it was busy, or it started at the same
        // instant. It stays the only copy; this one hands over what it was started with.
        LGLogInfo(QStringLiteral("Another copy is running; handing over and quitting"));
        if (!m_pendingUrl.isEmpty())
            handOverUrl(m_pendingUrl);
        m_terminating = true;
        LGLog::flushLog();
        env().exitEventLoop();
        return;
    }

    if (LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName(QStringLiteral("Lumora Hoistly"))) {
        // A failed install tells the user first; the quit waits for the answer.
        LMSelfUpdating::whenAlertsAnswered([self] {
            if (!self)
                return;
            self->scheduleForceQuit();
            self->terminate();
        });
        return;
    }

    spawnUpdateCheckCopyIfDue();

    // The icon is up before the catalogue is read: with a large library that read takes seconds,
    // and the rest of the launch waits for it without holding the main thread.
    MainController::instance()->setupTrayIcon();
    bridge().openCatalogueInBackground([self] {
        // A quit that came while the catalogue was read ends the launch here.
        if (self && !self->m_terminating)
            self->continueLaunchWithCatalogue();
    });
}

void AppDelegate::continueLaunchWithCatalogue()
{
    QPointer<AppDelegate> self(this);
    runMigrations();

    LGLogInfo(QStringLiteral("Starting up - LumoraDesktop v%1.%2, %3")
                  .arg(runningVersion()).arg(runningBuildNumber()).arg(systemDescription()));

    if (!m_pendingUrl.isEmpty()) {
        const QString url = m_pendingUrl;
        m_pendingUrl.clear();
        dispatch_main_async([self, url] {
            if (self)
                self->handleGetURLEvent(url);
        });
    }
    dispatch_default_queue_async([] { bridge().updateLocale(); });
    connectSystemEvents();

    updateSelfUpdatingUrls();
    LMSelfUpdating::scheduleAutomaticUpdateChecking();
    dispatch_main_delay([] { LMSelfUpdating::checkForUpdatesSilent(); }, 1200);

    bridge().reporterStartup();
    const int last = lastRanBuildNumber();
    if (last != 0 && last < runningBuildNumber()) {
        bridge().trackWithProperties(QStringLiteral("Misc: Upgraded to new version"), 1,
                                     {{QStringLiteral("version"), runningVersion()},
                                      {QStringLiteral("build"), QString::number(runningBuildNumber())},
                                      {QStringLiteral("macosx_version_major"), NSDevice::osxVersionMajor()},
                                      {QStringLiteral("macosx_version_minor"), NSDevice::osxVersionMinor()},
                                      {QStringLiteral("system_version"), systemDescription()},
                                      {QStringLiteral("last_build"), last}});
    }

    bridge().setProperty(QStringLiteral("Misc: Last startup"), env().now());
    refreshReportingDemographics();
    bridge().registerIMessageHasPhotos();
    refreshReportingMetrics();
    dispatch_main_delay([] { ShellBridge::instance().reporterFlush(); }, 5);
    if (!m_metricsTimer) {
        m_metricsTimer = new QTimer(this);
        m_metricsTimer->setInterval(300 * 1000);
        connect(m_metricsTimer, &QTimer::timeout, this, &AppDelegate::refreshReportingMetrics);
        m_metricsTimer->start();
    }

    MainController::instance()->startup();
}

void AppDelegate::spawnUpdateCheckCopyIfDue()
{
    const QDateTime last = Settings::objectForKey(kLastRelaunched).toDateTime();
    const QDateTime now = env().now();
    if (last.isValid() && last <= now && last.msecsTo(now) <= 10000) {
        dispatch_main_async([] { LGLogInfo(QStringLiteral("Skipping relaunch for update check, too soon.")); });
        return;
    }
    Settings::setObject(now, kLastRelaunched);
    QString bundle = Bundle::mainBundlePath();
    if (bundle.isEmpty())
        bundle = QCoreApplication::applicationFilePath();
    env().launchBundle(bundle, {QStringLiteral("/check-for-updates")}); // a failure is ignored
    dispatch_main_async([] { LGLogInfo(QStringLiteral("Relaunching for update check")); });
}

void AppDelegate::installFileLogger()
{
    ensureFileLogger();
    LGLog::addExcludedWord(Settings::stringForKey(kStoredToken));
    LGLog::addExcludedWord(bridge().tokenSecret());
    LGLog::addExcludedWord(Endpoints::configuredService().apiSecret);
}

void AppDelegate::runMigrations() { bridge().runCatalogueMigrations(); }

void AppDelegate::connectSystemEvents()
{
    auto *power = new PowerEvents(this);
    connect(power, &PowerEvents::willSleep, this, &AppDelegate::receiveSleepNote);
    connect(power, &PowerEvents::didWake, this, &AppDelegate::receiveWakeNote);
    connect(power, &PowerEvents::willPowerOff, this, &AppDelegate::quitAppNoConfirm);
    if (!power->start())
        LGLogInfo(QStringLiteral("POWER: logind not available; sleep and wake are not observed"));

    QPointer<AppDelegate> self(this);
    UnixSignals::install([self](int) {
        if (!self)
            return;
        // Whatever state the catalogue is in (its save failing or stuck), the process ends.
        self->m_quitWithoutAsking = true;
        self->scheduleForceQuit(10);
        self->terminate();
    });
    if (auto *gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        // The end of the desktop session takes the same path as any quit.
        connect(gui, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &) { terminate(); });
    }
}

void AppDelegate::handleGetURLEvent(const QString &url)
{
    const QUrl parsed(url);
    if (!Endpoints::isSignInCallback(parsed))
        return;
    NotificationCenter::postOnMain(Notifications::LoginTokenReady, QVariant::fromValue(parsed));
}

bool AppDelegate::wasLaunchedManually() { return g_wasLaunchedManually; }
void AppDelegate::setLaunchedManuallyForTesting(bool manual) { g_wasLaunchedManually = manual; }

QString AppDelegate::currentLogFilePath()
{
    if (!g_fileLogger)
        return {};
    return g_fileLogger->currentLogFileInfo().filePath;
}

QString AppDelegate::hiddenChannelKey()
{
    // Kept out of the binary's plain strings.
    return QString::fromLatin1("Upd") + QString::fromLatin1("ate") + QString::fromLatin1("Chan") + QString::fromLatin1("nelB");
}

void AppDelegate::updateSelfUpdatingUrls()
{
    const QString key = hiddenChannelKey();
    if (Settings::objectForKey(key).isNull())
        Settings::setBool(kHiddenChannelDefault, key);
    QString prefix;
    if (Settings::boolForKey(key)) {
        for (char c : {'b', 'e', 't', 'a'})
            prefix += QLatin1Char(c);
        prefix += QString::number(2) + QLatin1Char('/');
    }
    QUrl manifest = Endpoints::updateBase();
    manifest.setQuery(QString());
    QUrl download = manifest;
    manifest.setPath(QStringLiteral("/hoistly/") + prefix + QStringLiteral("LumoraHoistly-Info.plist"));
    download.setPath(QStringLiteral("/hoistly/") + prefix + QStringLiteral("LumoraHoistly.app.zip"));
    LMSelfUpdating::setUpdateURL(manifest);
    LMSelfUpdating::setDownloadURL(download);
}

// ---- Lifecycle --------------------------------------------------------------------------

void AppDelegate::receiveSleepNote()
{
    g_isSystemSleeping = true;
    LGLogInfo(QStringLiteral("Received sleep notification: %1").arg(QStringLiteral("PrepareForSleep")));
    const QDateTime completed = bridge().hasCompletedScanThisSession();
    Settings::setObject(completed.isValid() ? QVariant(completed) : QVariant(), QStringLiteral("SleepHadCompletedScanThisSession"));
    bridge().setCompletedScanThisSession(QDateTime());
    Settings::setObject(env().now(), QStringLiteral("SleepDate"));
    LGLog::flushLog();
    dispatch_main_async([] { ShellBridge::instance().reporterFlush(); });
}

void AppDelegate::receiveWakeNote()
{
    g_isSystemSleeping = false;
    bridge().setCompletedScanThisSession(QDateTime());
    const QDateTime sleepDate = Settings::objectForKey(QStringLiteral("SleepDate")).toDateTime();
    const qint64 asleep = sleepDate.isValid() ? qAbs(sleepDate.msecsTo(env().now())) / 1000 : 0;
    LGLogInfo(QStringLiteral("Received wake notification (asleep for %1): %2").arg(asleep).arg(QStringLiteral("PrepareForSleep")));
    if (bridge().systemDidWake)
        bridge().systemDidWake(); // a pause that ended during the sleep ends now, not a slice later
    if (asleep < 60) {
        const QDateTime completed = Settings::objectForKey(QStringLiteral("SleepHadCompletedScanThisSession")).toDateTime();
        if (completed.isValid())
            bridge().setCompletedScanThisSession(completed);
        dispatch_main_delay([] { ShellBridge::instance().runQueues(); }, 5);
    } else {
        dispatch_main_delay([] { ShellBridge::instance().refreshLumoraData(); }, 5);
    }
    Settings::removeObjectForKey(QStringLiteral("SleepDate"));
    Settings::removeObjectForKey(QStringLiteral("SleepHadCompletedScanThisSession"));
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    if (g_isResetting || !bridge().catalogueOpen())
        return TerminateReply::Now;
    if (!bridge().catalogueCommitEditing()) {
        LGLogInfo(QStringLiteral("AppDelegate:applicationShouldTerminate unable to commit editing to terminate"));
        return TerminateReply::Cancel;
    }
    if (!bridge().catalogueHasChanges())
        return TerminateReply::Now;
    QString error;
    if (bridge().catalogueSave(&error)) {
        if (auto *mc = MainController::instanceNoCreate())
            mc->shutdown();
        return TerminateReply::Now;
    }
    LGLogError(QStringLiteral("ERROR: CoreData failed to save at exit %1").arg(error));
    bridge().track(QStringLiteral("CoreData: Save failed at exit"), 1);
    if (m_quitWithoutAsking) {
        if (auto *mc = MainController::instanceNoCreate())
            mc->shutdown();
        return TerminateReply::Now;
    }
    AlertRequest r;
    r.title = shellTr(QStringLiteral("Could not save changes while quitting. Quit anyway?"));
    r.message = shellTr(QStringLiteral("Quitting now will lose any changes you have made since the last successful save"));
    r.buttons = {shellTr(QStringLiteral("Quit anyway")), shellTr(QStringLiteral("Cancel"))};
    r.cancelButton = 1;
    QPointer<AppDelegate> self(this);
    Alerts::show(r, [self](AlertResult result) {
        if (!self || result.button != 0)
            return; // Cancel: keep running with the unsaved changes
        if (auto *mc = MainController::instanceNoCreate())
            mc->shutdown();
        self->finishTermination();
    });
    return TerminateReply::Later;
}

void AppDelegate::terminate()
{
    if (m_terminating)
        return;
    switch (applicationShouldTerminate()) {
    case TerminateReply::Now:
        finishTermination();
        break;
    case TerminateReply::Cancel:
    case TerminateReply::Later:
        break;
    }
}

void AppDelegate::finishTermination()
{
    if (m_terminating)
        return;
    m_terminating = true;
    applicationWillTerminate();
    SingleInstance::instance()->close();
    LGLog::flushLog(); // the forced quit may come before the queue is written
    env().exitEventLoop();
}

void AppDelegate::applicationWillTerminate()
{
    if (m_willTerminateRan)
        return;
    m_willTerminateRan = true;
    // After a reset the engine is already stopped; starting its shutdown again would open the
    // deleted catalogue anew.
    if (auto *mc = MainController::instanceNoCreate(); mc && !g_isResetting)
        mc->shutdown();
    // The forced quit below skips every destructor, the settings writer's last write included.
    Settings::synchronize();
    scheduleForceQuit(4);
}

void AppDelegate::scheduleForceQuit(double seconds)
{
    // The backstop must not need the main thread: it is the one that may hang in teardown. A
    // thread of its own, so busy pools cannot hold it back either.
    std::thread([seconds] {
        ShellEnvironment::instance().sleep(seconds);
        ShellEnvironment::instance().forceTerminate();
    }).detach();
}

void AppDelegate::quitAppNoConfirm()
{
    if (auto *mc = MainController::instanceNoCreate())
        mc->shutdown();
    dispatch_main_delay([] {
        if (!g_instance)
            return;
        g_instance->scheduleForceQuit();
        g_instance->terminate();
    }, 2);
}

void AppDelegate::performLogOutAndKEEPEVERYTHING()
{
    LGLogInfo(QStringLiteral("LOGGING OFF"));
    bridge().logout();
    Settings::synchronize(); // the new instance reads the file at once
    QString bundle = Bundle::mainBundlePath();
    if (bundle.isEmpty())
        bundle = QCoreApplication::applicationFilePath();
    env().launchBundle(bundle, {});
    scheduleForceQuit();
    terminate();
}

bool AppDelegate::performLogOutAndDELETEEVERYTHING()
{
    // A reset offered at launch runs before the launch installs the file logger.
    installFileLogger();
    LGLogInfo(QStringLiteral("RESETTING APP"));
    // Another copy that runs on (busy, or stopped) would write its account, settings and
    // catalogue back after the deletion: it ends first, and the single-copy lock stays with us
    // until we quit, so that no copy starts while the data goes.
    if (!SingleInstance::endOtherCopiesAndHoldLock()) {
        LGLogError(QStringLiteral("RESETTING APP REFUSED: another copy is still running"));
        quitWithAlert(shellTr(QStringLiteral("Lumora Hoistly could not be reset")),
                      shellTr(QStringLiteral("Another copy of Lumora Hoistly is still running and could not be ended. Quit it, then try again.")));
        return false;
    }
    g_isResetting = true;
    const QVariant dateInstalled = Settings::objectForKey(QStringLiteral("DateInstalled"));
    const bool userActivated = Settings::boolForKey(QStringLiteral("UserActivated"));

    // Nothing may write into the settings or the data folder while they go: the engine stops
    // and the work in flight ends first, or a finishing upload would write the previous
    // account's counters and recent uploads into the fresh settings.
    if (auto *mc = MainController::instanceNoCreate())
        mc->shutdown();
    else if (bridge().catalogueOpen()) // an engine that never started has nothing to stop
        bridge().driveShutdown();
    if (!bridge().waitForEngineIdle(15000))
        LGLogError(QStringLiteral("RESETTING APP: work in flight did not end in time"));
    bridge().catalogueClose();

    bridge().logout();
    bridge().retractAllNotifications();
    bridge().clearCookiesForLogout();
    Settings::clearAllSettingsPERMANENTLY();
    // The kept keys are back before the deletion is tried: a deletion that fails (or a process
    // that ends meanwhile) must not lose them.
    Settings::setBool(userActivated, QStringLiteral("UserActivated"));
    if (!dateInstalled.isNull())
        Settings::setObject(dateInstalled, QStringLiteral("DateInstalled"));
    Settings::synchronize();

    const QString folder = StandardPaths::lumoraFolder();
    const bool deleted = env().removeFolder(folder);
    if (!deleted) {
        LGLogError(QStringLiteral("RESETTING APP FAILED: could not delete %1").arg(folder));
        Settings::refuseWritesUntilExit();
        Settings::synchronize();
        // Relaunching would start on the old catalogue as if it were new: the user is told,
        // and the app ends without claiming a reset.
        quitWithAlert(shellTr(QStringLiteral("Lumora Hoistly could not be reset")),
                      shellTr(QStringLiteral("The folder \"%1\" could not be deleted. Delete it yourself, then start Lumora Hoistly again.")).arg(folder));
        return false;
    }
    LGLogInfo(QStringLiteral("RESETTING APP COMPLETE"));

    Settings::setBool(true, QStringLiteral("AppEverReset"));
    Settings::refuseWritesUntilExit();
    // The new instance reads the file at once.
    Settings::synchronize();

    QString bundle = Bundle::mainBundlePath();
    if (bundle.isEmpty())
        bundle = QCoreApplication::applicationFilePath();
    env().launchBundle(bundle, {}); // a failure is ignored; the forced quit still ends us
    scheduleForceQuit();
    terminate();
    return true;
}

void AppDelegate::quitWithAlert(const QString &title, const QString &message)
{
    AlertRequest r;
    r.title = title;
    r.message = message;
    r.buttons = {shellTr(QStringLiteral("Quit"))};
    QPointer<AppDelegate> self(this);
    Alerts::show(r, [self](AlertResult) {
        if (!self)
            return;
        self->scheduleForceQuit();
        self->terminate();
    });
}

bool AppDelegate::isResetting() const { return g_isResetting; }

void AppDelegate::viewDebugLog()
{
    if (auto *opener = UrlOpeners::opener())
        opener->revealFile(currentLogFilePath());
}

// ---- Install records and metrics --------------------------------------------------------

QDateTime AppDelegate::dateInstalled()
{
    QDateTime d = Settings::objectForKey(QStringLiteral("DateInstalled")).toDateTime();
    if (!d.isValid()) {
        d = env().now();
        Settings::setObject(d, QStringLiteral("DateInstalled"));
    }
    return d;
}

int AppDelegate::runningBuildNumber()
{
    const QVariant v = Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleVersion"));
    return v.isValid() ? v.toInt() : QStringLiteral(HOISTLY_BUILD_NUMBER).toInt();
}

QString AppDelegate::runningVersion()
{
    const QString v = Bundle::mainInfoDictionary().value(QStringLiteral("CFBundleShortVersionString")).toString();
    return v.isEmpty() ? QStringLiteral(HOISTLY_VERSION) : v;
}

int AppDelegate::firstRanBuildNumber()
{
    const int stored = Settings::intForKey(QStringLiteral("FirstRanBuildNumber"));
    if (stored != 0)
        return stored;
    Settings::setInt(runningBuildNumber(), QStringLiteral("FirstRanBuildNumber"));
    return runningBuildNumber();
}

void AppDelegate::updateLastRanBuildNumber()
{
    if (g_lastRanBuildNumber >= 0)
        return;
    g_lastRanBuildNumber = Settings::intForKey(QStringLiteral("LastRanBuildNumber"));
    Settings::setInt(runningBuildNumber(), QStringLiteral("LastRanBuildNumber"));
}

int AppDelegate::lastRanBuildNumber()
{
    updateLastRanBuildNumber();
    return g_lastRanBuildNumber;
}

void AppDelegate::refreshReportingDemographics()
{
    auto &b = bridge();
    const QDateTime installed = dateInstalled();
    b.setProperty(QStringLiteral("$created"), installed);
    b.setProperty(QStringLiteral("$last_login"), env().now());
    b.setProperty(QStringLiteral("MacOSXVersionMajor"), NSDevice::osxVersionMajor());
    b.setProperty(QStringLiteral("MacOSXVersionMinor"), NSDevice::osxVersionMinor());
    const QString userId = b.currentUserID(), userName = b.currentUserName(), fullName = b.currentUserFullName();
    const QString name = !fullName.isEmpty() ? fullName : !userName.isEmpty() ? userName : userId;
    if (!name.isEmpty())
        b.setProperty(QStringLiteral("$name"), name);
    if (!userId.isEmpty())
        b.setProperty(QStringLiteral("$lumoraid"), userId);
    if (!userName.isEmpty())
        b.setProperty(QStringLiteral("$lumorahandle"), userName);
    b.setProperty(QStringLiteral("LoggedIn"), !userId.isEmpty());
    b.setProperty(QStringLiteral("Build Number"), runningBuildNumber());
    b.setProperty(QStringLiteral("Install Build Number"), firstRanBuildNumber());
    if (b.hasCompletedWelcomeScreen())
        b.setProperty(QStringLiteral("Welcome: Setup completed"), true);
    const QStringList languages = QLocale::system().uiLanguages();
    b.setProperty(QStringLiteral("Language Code"), languages.isEmpty() ? QString() : languages.constFirst());

    const QDate d = installed.toTimeZone(QTimeZone("America/Los_Angeles")).date();
    // The week belongs to its ISO week-year: 2023-01-01 is in week 52 of 2022.
    int weekYear = d.year();
    const int week = d.weekNumber(&weekYear);
    const QString monthly = QStringLiteral("%1-%2").arg(d.year(), 4, 10, QLatin1Char('0')).arg(d.month(), 2, 10, QLatin1Char('0'));
    const QString weekly = QStringLiteral("%1-%2").arg(weekYear, 4, 10, QLatin1Char('0')).arg(week, 2, 10, QLatin1Char('0'));
    const QString daily = QStringLiteral("%1-%2-%3").arg(d.year(), 4, 10, QLatin1Char('0')).arg(d.month(), 2, 10, QLatin1Char('0')).arg(d.day(), 2, 10, QLatin1Char('0'));
    b.setProperty(QStringLiteral("Monthly Cohort"), monthly);
    b.setProperty(QStringLiteral("Weekly Cohort"), weekly);
    b.setProperty(QStringLiteral("Daily Cohort"), daily);
    b.setProperty(QStringLiteral("Monthly Cohort #"), d.year() * 100 + d.month());
    b.setProperty(QStringLiteral("Weekly Cohort #"), weekYear * 100 + week);
    b.setProperty(QStringLiteral("Daily Cohort #"), d.year() * 10000 + d.month() * 100 + d.day());
    LGLogInfo(QStringLiteral("User info %1 / %2 / %3").arg(userId, userName, fullName));
    b.registerSuperProperties({{QStringLiteral("monthlyCohort"), monthly},
                               {QStringLiteral("weeklyCohort"), weekly},
                               {QStringLiteral("dailyCohort"), daily},
                               {QStringLiteral("build"), runningBuildNumber()}});
    dispatch_default_queue_async([] { ShellBridge::instance().probeInstalledLibraries(); });
}

void AppDelegate::refreshReportingMetrics()
{
    auto &b = bridge();
    LGLogInfo(QStringLiteral("MISC: Refreshing reporting metrics"));
    if (!b.hasCompletedWelcomeScreen() && !Settings::boolForKey(QStringLiteral("AppEverReset")))
        b.trackOnceEver(QStringLiteral("Misc: Installed"), 3);
    b.trackOncePerDay(QStringLiteral("Misc: Running"), 1);
    const int photos = Settings::intForKey(QStringLiteral("PhotosImported"));
    if (Settings::boolForKey(QStringLiteral("UserActivated")) || photos >= 10)
        b.trackOncePerDay(QStringLiteral("Misc: Running & activated"), 1);
    if (b.currentUserID().isEmpty() && !b.isAuthorized())
        return;

    auto set = [&](const char *name, const QVariant &v) { b.setProperty(QString::fromUtf8(name), v); };
    set("Uploading: Times paused for max tickets", Settings::intForKey(QStringLiteral("TimesWaitingOnTickets")));
    set("Uploading: Times paused for server busy", Settings::intForKey(QStringLiteral("TimesServerAtCapacity")));
    set("Uploading: Time paused for server busy", Settings::intForKey(QStringLiteral("TimeWaitingServerRequested")));
    set("Uploading: Duplicates found by server", Settings::intForKey(QStringLiteral("ServerDuplicatesFound")));
    const int withoutPid = Settings::intForKey(QStringLiteral("ServerDuplicatesFoundWithoutPID"));
    if (withoutPid != 0)
        set("Uploading: Duplicates found by server (no PID)", withoutPid);
    set("Uploading: Current upload queue size", Settings::intForKey(QStringLiteral("filesToUpload")));
    int sources = 0, filtered = 0;
    dispatch_main_sync([&] {
        sources = b.allSourcesCount();
        filtered = b.allSourcesFilteredCount();
    });
    set("Library: Sources selected", sources);
    set("Library: Sources selected filtered", filtered);
    const int videos = Settings::intForKey(QStringLiteral("VideosImported"));
    const int total = photos + videos;
    if (m_previousUploadTotal >= 0 && total != m_previousUploadTotal)
        set("Uploading: Last upload", env().now());
    m_previousUploadTotal = total;
    const qint64 bytes = Settings::longLongForKey(QStringLiteral("PhotosImportedBytes"));
    const double timeTaken = Settings::doubleForKey(QStringLiteral("PhotosImportedTimeTaken"));
    const double processing = Settings::doubleForKey(QStringLiteral("PhotosImportedTimeSpentProcessing"));
    const int measured = Settings::intForKey(QStringLiteral("PhotosImported_TimeProcessing"));
    const int toUploadMax = Settings::intForKey(QStringLiteral("filesToUploadMax"));
    const int maxScanTotal = Settings::intForKey(QStringLiteral("MaxScanTotal"));
    const int maxScanUnique = Settings::intForKey(QStringLiteral("MaxScanUnique"));
    set("Uploading: Photos uploaded", photos);
    set("Uploading: Total bytes uploaded (photos)", bytes);
    set("Uploading: Total time uploading (photos)", timeTaken);
    set("Uploading: Total time processing (photos)", processing);
    set("Uploading: Max photos to upload or uploaded", qMax(photos, toUploadMax));
    set("Uploading: Max photos found or uploaded", qMax(photos, maxScanTotal));
    set("Uploading: Max unique photos found or uploaded", qMax(photos, maxScanUnique));
    set("Library: Max unique photos for user", qMax(photos, qMax(maxScanUnique, toUploadMax)));
    if (photos >= 1 && timeTaken > 0) {
        set("Uploading: Average photo filesize", double(bytes) / photos / 1048576.0);
        set("Uploading: Average time uploading per photo", timeTaken / photos);
        if (measured != 0)
            set("Uploading: Average time processing per photo", processing / measured);
        set("Uploading: Average mbps", double(bytes) / timeTaken / 1048576.0);
        set("Uploading: Average time processing vs uploading", processing / timeTaken);
    }
    set("Uploading: Max upload queue size", toUploadMax);
}

void AppDelegate::resetForTesting()
{
    g_wasLaunchedManually = false;
    g_isSystemSleeping = false;
    g_isResetting = false;
    g_lastRanBuildNumber = -1;
    Settings::reloadForTesting(); // a reset's refusal of writes ends with its process
    if (g_instance) {
        g_instance->m_willTerminateRan = false;
        g_instance->m_terminating = false;
        g_instance->m_previousUploadTotal = -1;
        g_instance->m_hideDockIcon = false;
        g_instance->m_arguments.clear();
        g_instance->m_pendingUrl.clear();
    }
}
