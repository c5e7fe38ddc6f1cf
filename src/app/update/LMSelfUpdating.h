#pragma once
// The self-updater: reads the update manifest (a property list), compares its build with the
// running build, downloads the zip of the new bundle into the update cache, unpacks it with
// `unzip` and launches the unpacked bundle with "/selfupdated". The new copy then ends the old
// one and installs itself into the Applications folder (copyToApplicationsFolderAndRelaunchWithAppName).
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <functional>

class LMSelfUpdating
{
public:
    static void setUpdateURL(const QUrl &url);
    static void setDownloadURL(const QUrl &url);
    static QUrl updateURL();
    static QUrl downloadURL();

    static void checkForUpdatesWithUI();
    static void checkForUpdatesSilent();
    static void scheduleAutomaticUpdateChecking();
    // The headless update-check copy: one whole check on the calling thread, without alerts.
    static void checkForUpdatesStandalone();
    static void setForceUpdateOnNextCheck();
    static void setSelfUpdatesDisabledUntil(const QDateTime &date, const QString &key);
    static bool updateApplyFailed();
    static bool _selfUpdatesTemporarilyDisabled();
    static void _checkForUpdatesWithUI(bool withUI);
    static void _checkForAndApplyUpdate();
    static QUrl checkServerForUpdateAvailable();
    static QString downloadUpdateAtURL(const QUrl &url);
    static QString extractUpdateAtPath(const QString &zipPath);
    static bool applyUpdate(const QString &bundlePath);
    static QString tempDirectory();
    static void clearTempDirectory();
    static void showUIWithStatus(const QString &status);
    // Linux keeps no quarantine attribute on downloads; the bundle's executable is made
    // executable instead (zip tools do not always keep the mode).
    static void removeDownloadQuarantineFromPath(const QString &path);

    // ---- Single running copy and the Applications folder ------------------------------
    static void exitOtherCopies();
    static bool isSelfUpdateLaunch();
    static bool copyToApplicationsFolderAndRelaunchWithAppName(const QString &appName);
    // Puts back a copy that an interrupted install left moved aside ("<name>.app.previous-*")
    // when the installed one is missing or incomplete, and removes such leftovers otherwise.
    // Runs at every start before the install.
    static void restoreInterruptedInstall(const QString &appName);
    // Runs `then` once every install alert on screen has been answered (at once when none is);
    // quitting after a failed install must not take the alert away unread. Main thread only.
    static void whenAlertsAnswered(const std::function<void()> &then);
    // The system-wide Applications folder ("/opt") and the user's ("~/Applications").
    static QString globalApplicationsFolder();
    static QString userApplicationsFolder();
    static void setApplicationsFoldersForTesting(const QString &global, const QString &user);
    // The application's earlier product name, whose bundles are removed on install.
    static QString earlierProductName();

    // Inspection and test seams.
    static qint64 updateBundleVersion();
    static QString updateInfoAppName();
    static bool isCheckingForUpdates();
    static QDateTime lastSuccessfulUpdateCheck();
    static void setLastSuccessfulUpdateCheckForTesting(const QDateTime &date);
    static QStringList statusMessagesForTesting();
    // The process arguments the launch decisions read (the delegate hands them over).
    static void setLaunchArguments(const QStringList &arguments);
    static void setNetworkTimeoutsForTesting(int manifestMs, int downloadMs);
    // Makes renames of the install swap fail while `fault` answers true.
    static void setExchangeUnsupportedForTesting(bool unsupported);
    static void setRenameFaultForTesting(std::function<bool(const QString &from, const QString &to)> fault);
    static void resetForTesting();
};
