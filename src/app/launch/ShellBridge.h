#pragma once
// Everything the application shell and the menu bar ask of the engine, the windows and the
// operating system, as replaceable functions. The defaults (ShellBridge.cpp) call the real
// classes; tests swap single members for recorders, so the launch and the menu can be driven
// without a service, a tray host or a session manager.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <Qt>
#include <functional>

struct ShellBridge
{
    // ---- Sync engine ---------------------------------------------------------------------
    std::function<void()> driveStartup;
    std::function<void()> driveShutdown;
    std::function<void()> runQueues;
    std::function<void()> refreshLumoraData;
    std::function<void()> refreshManually;
    std::function<void()> updateStatus;
    std::function<void(const QDateTime &)> setPausedUntil;
    std::function<bool()> paused;
    // The machine woke: what waited for a wall-clock moment looks at the clock again.
    std::function<void()> systemDidWake;
    std::function<QString()> statusLine1, statusLine2, statusLine3, statusResumeMessage;
    std::function<QString()> alphaOrWWW;
    std::function<void()> retractAllNotifications;
    // Waits (serving the main thread's queue) until the upload loop and the scanner have ended
    // what they were doing; false when they did not within the time.
    std::function<bool(int timeoutMs)> waitForEngineIdle;

    // ---- Service client and mirror -------------------------------------------------------
    std::function<QString()> currentUserID, currentUserName, currentUserFullName;
    std::function<bool()> isAuthorized;
    std::function<void()> loadTokenFromSettingsWithoutValidating;
    // Completion: user name, user id, full name, error text ("" when none); any thread.
    using AuthCompletion = std::function<void(QString, QString, QString, QString)>;
    std::function<void(AuthCompletion)> checkAuthorization;
    std::function<void()> logout;
    std::function<QString()> tokenSecret;
    std::function<QDateTime()> hasCompletedScanThisSession;
    std::function<void(const QDateTime &)> setCompletedScanThisSession;
    // The previous account's name as last recorded by the mirror ("DataStoreLumoraUserName").
    std::function<QString()> mirrorUserName;

    // ---- Catalogue -------------------------------------------------------------------------
    // Whether the catalogue's store has been opened in this process.
    std::function<bool()> catalogueOpen;
    std::function<bool()> catalogueCommitEditing;
    std::function<bool()> catalogueHasChanges;
    // Saves; fills the error text on failure.
    std::function<bool(QString *)> catalogueSave;
    // Writes what is pending and closes the store (before its files are deleted).
    std::function<void()> catalogueClose;
    std::function<void()> runCatalogueMigrations;
    // Reads the catalogue off the main thread, then calls back on the main thread.
    std::function<void(std::function<void()>)> openCatalogueInBackground;
    std::function<int()> allSourcesCount;
    std::function<int()> allSourcesFilteredCount;
    std::function<void()> registerIMessageHasPhotos;
    std::function<void()> probeInstalledLibraries;

    // ---- Windows ---------------------------------------------------------------------------
    std::function<void()> displayWelcome;
    std::function<bool()> hasCompletedWelcomeScreen;
    std::function<void()> openPreferencesWindow;
    std::function<void()> openPreferencesWithAddFolder;
    std::function<void()> showAddFolderDialog;
    std::function<void()> openCameraRoll;
    std::function<void()> clearCookiesForLogout;
    std::function<void()> checkForAlphaEnvironmentAvailable;
    std::function<void()> showAboutPanel;
    std::function<void()> updateLocale;
    std::function<QString(const QString &)> tr; // the localisation table

    // ---- Analytics -------------------------------------------------------------------------
    std::function<void()> reporterStartup;
    std::function<void(const QString &, int)> track;
    std::function<void(const QString &, int, const QVariantMap &)> trackWithProperties;
    std::function<void(const QString &, int)> trackOncePerDay;
    std::function<void(const QString &, int)> trackOnceEver;
    std::function<void(const QString &, int)> trackAndIncrement;
    std::function<void(const QString &)> increment;
    std::function<void(const QString &, const QVariant &)> setProperty;
    std::function<void(const QVariantMap &)> registerSuperProperties;
    std::function<void()> reporterFlush;

    static ShellBridge &instance();
    // Puts every member back to the real implementation.
    static void resetToDefaults();
};

// The operating-system side of the process: clock, keyboard state at launch, spawning a bundle,
// ending the own process. Tests replace members to observe or to fake time.
struct ShellEnvironment
{
    std::function<QDateTime()> now;
    std::function<Qt::KeyboardModifiers()> launchModifiers;
    // Starts the bundle's executable as a new, detached process.
    std::function<bool(const QString &bundlePath, const QStringList &arguments)> launchBundle;
    // Asks the application's event loop to end (after the termination path ran).
    std::function<void()> exitEventLoop;
    // Ends the own process at once.
    std::function<void()> forceTerminate;
    // Blocks the calling thread.
    std::function<void(double seconds)> sleep;
    // Deletes a folder with everything in it; true when it is gone afterwards.
    std::function<bool(const QString &folder)> removeFolder;
    // Whether the parent process is the desktop session's manager (a login launch).
    std::function<bool()> parentIsSessionManager;

    static ShellEnvironment &instance();
    static void resetToDefaults();
};

// Localised text through the bridge.
inline QString shellTr(const QString &english)
{
    auto &b = ShellBridge::instance();
    return b.tr ? b.tr(english) : english;
}
