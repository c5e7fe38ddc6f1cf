#pragma once
// The application delegate: owns the process around the user's use of the computer -- the launch
// sequence, the headless update-check mode, sleep and wake, the one termination path (should
// terminate, will terminate once, forced-quit backstop), log-out and full reset, and the install
// records and usage metrics fed to the analytics reporter.
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <atomic>

class QTimer;

class AppDelegate : public QObject
{
    Q_OBJECT
public:
    // The delegate; created on first use (main thread).
    static AppDelegate *instance();
    // YES between logind's prepare-for-sleep and the wake; read without a lock from background queues.
    static bool isSystemSleeping();

    // The Dock-icon switch. Linux has no Dock; the state is kept because other code reads it.
    void setHideDockIcon(bool hide);
    bool hideDockIcon() const { return m_hideDockIcon; }

    // ---- Launch -------------------------------------------------------------------------
    // True when any argument, lower-cased, contains "/check-for-updates". Decided in main()
    // before any window system is touched: that mode needs no display.
    static bool argumentsSelectUpdateCheck(const QStringList &arguments);
    // True when any argument, lower-cased, contains "/selfupdated".
    static bool argumentsContainSelfUpdated(const QStringList &arguments);
    // Whether this process may have to show the sign-in web view, decided before the application
    // object exists: the view needs drawing contexts shared with the windows, and setting them
    // up loads the graphics driver, which would delay the tray icon of every start. A signed-in
    // user past onboarding does not need them; a copy relaunched to sign in does.
    static bool signInViewMayBeNeeded(const QStringList &arguments);
    // True when the sign-in view can be shown in this process.
    static bool signInViewAvailable();
    // True when this copy was relaunched so that the user can sign in.
    bool signInRequestedAtLaunch() const;
    // Starts a copy that can show the sign-in view, with the welcome window open, and ends this one.
    void relaunchForSignIn();
    // The marker argument that the autostart entry carries, so a login launch is told from a
    // manual one.
    static QString loginLaunchArgument();

    // Headless update check: check, download and launch an update synchronously; returns the
    // process exit status (always 0).
    int runUpdateCheckMode();
    // The launch callback of the menu-bar application: dispatches the normal launch.
    void applicationDidFinishLaunching(const QStringList &arguments);
    // The normal launch, in order (reset offer ... menu-bar controller start-up).
    void applicationDidFinishLaunching_Internal();
    // A URL handed to the application (command line or forwarded from a second process).
    // Only the sign-in callback is acted on.
    void handleGetURLEvent(const QString &url);

    static bool wasLaunchedManually();
    static void setLaunchedManuallyForTesting(bool manual);
    // The log file being written now ("" before the file logger is installed).
    static QString currentLogFilePath();
    // Sets the self-updater's manifest and download addresses (also after the hidden channel
    // switch changes).
    static void updateSelfUpdatingUrls();
    // The hidden update channel's default when its key has no value yet.
    static constexpr bool kHiddenChannelDefault = true;
    static QString hiddenChannelKey();

    // A process started with the sign-in callback address hands it to the running copy; true
    // when a running copy took it (this process then ends without touching that copy).
    static bool forwardSignInUrlToRunningCopy(const QStringList &arguments);
    // Decides, from the arguments and the session, whether the launch was a manual one.
    static bool decideLaunchedManually(const QStringList &arguments, bool loginSession);

    // ---- Lifecycle ----------------------------------------------------------------------
    void receiveSleepNote();
    void receiveWakeNote();
    // Later: an alert is asking; its answer continues or cancels the termination.
    enum class TerminateReply { Now, Cancel, Later };
    TerminateReply applicationShouldTerminate();
    void applicationWillTerminate();
    // The one termination path: should-terminate, will-terminate once, then the event loop
    // ends. SIGTERM and the end of the session come here too.
    void terminate();
    void quitAppNoConfirm();
    // Ends the process by force after `seconds`, from a thread of its own, if it is still running.
    void scheduleForceQuit(double seconds = 2);
    void performLogOutAndKEEPEVERYTHING();
    // False when the data folder could not be deleted (the reset then does not report success).
    bool performLogOutAndDELETEEVERYTHING();
    void logoutAndKeepData() { performLogOutAndKEEPEVERYTHING(); }
    void fullReset() { performLogOutAndDELETEEVERYTHING(); }
    bool isResetting() const;
    void viewDebugLog();

    // ---- Install records and metrics ---------------------------------------------------
    QDateTime dateInstalled();
    static int firstRanBuildNumber();
    static int lastRanBuildNumber();
    static void updateLastRanBuildNumber();
    // The running build: the integer value of the bundle's "CFBundleVersion".
    static int runningBuildNumber();
    static QString runningVersion();
    void refreshReportingDemographics();
    void refreshReportingMetrics();

    // Starts the headless update-check copy unless one was started in the last 10 s.
    void spawnUpdateCheckCopyIfDue();

    // Forgets the process-wide state (tests only).
    static void resetForTesting();

    // The engine's hooks into the shell (sleeping, quit screen, tray flashing, metrics).
    static void installUiHooks();
    bool hasTerminated() const { return m_willTerminateRan; }

private:
    explicit AppDelegate(QObject *parent = nullptr);
    void continueLaunchAfterResetOffer();
    void continueLaunchWithCatalogue();
    void finishTermination();
    void runMigrations();
    void installFileLogger();
    void connectSystemEvents();
    // Tells the user why the app cannot go on, then quits.
    void quitWithAlert(const QString &title, const QString &message);

    bool m_hideDockIcon = false;
    bool m_willTerminateRan = false;
    bool m_terminating = false;
    bool m_quitWithoutAsking = false; // a signal asked: nobody is there to answer a question
    QTimer *m_metricsTimer = nullptr;
    QStringList m_arguments;
    QString m_pendingUrl;
    std::atomic<int> m_previousUploadTotal{-1};
};
