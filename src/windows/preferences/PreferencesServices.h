#pragma once
// What the preferences window needs from the rest of the application, in one place: the signed-in
// account, the web host label, the Dock icon, the self-updater's hold and the analytics calls.
// Each entry defaults to the real owner's call; tests replace entries to observe or to answer.
#include <QDateTime>
#include <QString>
#include <QVariant>
#include <functional>

struct PreferencesServices
{
    std::function<bool()> isAuthorized;
    std::function<QString()> currentUserID;
    std::function<QString()> currentUserName;
    std::function<QString()> currentUserFullName;
    std::function<QString()> alphaOrWWW;
    std::function<void(bool hide)> setHideDockIcon;
    std::function<bool()> hasCompletedWelcomeScreen;
    std::function<void()> stopKeepingOnTop;
    std::function<void(const QDateTime &until, const QString &key)> setSelfUpdatesDisabledUntil;
    // Account information of the service mirror.
    std::function<int()> photoCount;
    std::function<qint64()> storageUsed;
    std::function<QString()> userImageFilePath;
    std::function<QString()> userCoverImageFilePath;
    std::function<void()> updateUserInfo;
    // Log-out and its data choice (the application delegate's paths).
    std::function<void()> logoutAfterConfirming;
    std::function<void()> logoutAndKeepData;
    std::function<void()> fullReset;
    // Menu-bar controller and updater commands used by the About pane.
    std::function<bool()> runAtStartup;
    std::function<void(bool)> setRunAtStartup;
    std::function<void()> updateStatusIcon;
    std::function<void()> checkForUpdates;
    std::function<void()> viewDebugLog;
    std::function<void()> openBugTracker;
    std::function<void()> displayAbout;
    std::function<void()> quitApp;
    std::function<void()> checkForAlphaEnvironmentAvailable;
    // The hidden update channel: its settings key, and what follows a flip (new addresses and
    // an update check offered at once).
    std::function<QString()> hiddenChannelKey;
    std::function<void()> switchBranchFollowUp;
    // Analytics.
    std::function<void(const QString &event, int mask)> trackOncePerDay;
    std::function<void(const QString &event, int mask)> trackAndIncrement;
    std::function<void(const QString &property, const QVariant &value)> reporterSet;
    std::function<void(const QString &event)> reporterIncrement;

    static PreferencesServices &instance();
    // Puts every entry back to the real owner's call.
    static void reset();
    // The real owners' calls (PreferencesServicesWiring.cpp).
    static PreferencesServices makeDefaults();
};
