// Test wiring of the preferences window's services: nobody signed in, nothing recorded. Tests
// replace single entries to answer or to observe.
#include "core/Settings.h"
#include "windows/preferences/PreferencesServices.h"

PreferencesServices PreferencesServices::makeDefaults()
{
    PreferencesServices s;
    s.isAuthorized = [] { return false; };
    s.currentUserID = [] { return QString(); };
    s.currentUserName = [] { return QString(); };
    s.currentUserFullName = [] { return QString(); };
    s.alphaOrWWW = [] { return QStringLiteral("www"); };
    s.setHideDockIcon = [](bool) {};
    s.hasCompletedWelcomeScreen = [] { return true; };
    s.stopKeepingOnTop = [] {};
    s.setSelfUpdatesDisabledUntil = [](const QDateTime &, const QString &) {};
    s.photoCount = [] { return 0; };
    s.storageUsed = [] { return qint64(0); };
    s.userImageFilePath = [] { return QString(); };
    s.userCoverImageFilePath = [] { return QString(); };
    s.updateUserInfo = [] {};
    s.logoutAfterConfirming = [] {};
    s.logoutAndKeepData = [] {};
    s.fullReset = [] {};
    s.runAtStartup = [] { return false; };
    s.setRunAtStartup = [](bool) {};
    s.updateStatusIcon = [] {};
    s.checkForUpdates = [] {};
    s.viewDebugLog = [] {};
    s.openBugTracker = [] {};
    s.displayAbout = [] {};
    s.quitApp = [] {};
    s.checkForAlphaEnvironmentAvailable = [] {};
    s.hiddenChannelKey = [] { return QStringLiteral("TestChannelSwitch"); };
    s.switchBranchFollowUp = [] {};
    s.trackOncePerDay = [](const QString &, int) {};
    s.trackAndIncrement = [](const QString &, int) {};
    s.reporterSet = [](const QString &, const QVariant &) {};
    s.reporterIncrement = [](const QString &) {};
    return s;
}
