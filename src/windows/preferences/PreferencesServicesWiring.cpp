// The real owners behind the preferences window's services. Kept apart so the window can be
// tested without the rest of the application linked in.
#include "windows/preferences/PreferencesServices.h"

#include "core/Settings.h"

#if __has_include("service/LumoraKit.h")
#include "service/LumoraKit.h"
#define HOISTLY_HAVE_LUMORAKIT 1
#endif
#if __has_include("service/DataStoreLumoraData.h")
#include "service/DataStoreLumoraData.h"
#define HOISTLY_HAVE_MIRROR 1
#endif
#if __has_include("sync/LumoraDrive.h")
#include "sync/LumoraDrive.h"
#define HOISTLY_HAVE_DRIVE 1
#endif
#include "app/launch/AppDelegate.h"
#include "app/menubar/MainController.h"
#if __has_include("windows/onboarding/WelcomeWindowController.h")
#include "windows/onboarding/WelcomeWindowController.h"
#define HOISTLY_HAVE_WELCOME 1
#endif
#if __has_include("core/LMRReporter.h")
#include "core/LMRReporter.h"
#define HOISTLY_HAVE_REPORTER 1
#endif

PreferencesServices PreferencesServices::makeDefaults()
{
    PreferencesServices s;
#ifdef HOISTLY_HAVE_LUMORAKIT
    s.isAuthorized = [] { return LumoraKit::sharedLumoraKit()->isAuthorized(); };
    s.currentUserID = [] { return LumoraKit::sharedLumoraKit()->currentUserID(); };
    s.currentUserName = [] { return LumoraKit::sharedLumoraKit()->currentUserName(); };
    s.currentUserFullName = [] { return LumoraKit::sharedLumoraKit()->currentUserFullName(); };
#else
    s.isAuthorized = [] { return false; };
    s.currentUserID = [] { return Settings::stringForKey(QStringLiteral("kLKStoredUserID")); };
    s.currentUserName = [] { return Settings::stringForKey(QStringLiteral("kLKStoredUserName")); };
    s.currentUserFullName = [] { return Settings::stringForKey(QStringLiteral("kLKStoredUserFullName")); };
#endif
#ifdef HOISTLY_HAVE_DRIVE
    s.alphaOrWWW = [] { return LumoraDrive::alphaOrWWW(); };
#else
    s.alphaOrWWW = [] { return Settings::boolForKey(QStringLiteral("alphaEnv")) ? QStringLiteral("alpha") : QStringLiteral("www"); };
#endif
#ifdef HOISTLY_HAVE_MIRROR
    s.photoCount = [] { return int(DataStoreLumoraData::photoCount()); };
    s.storageUsed = [] { return qint64(DataStoreLumoraData::storageUsed()); };
    s.userImageFilePath = [] { return DataStoreLumoraData::userImageFilePath(); };
    s.userCoverImageFilePath = [] { return DataStoreLumoraData::userCoverImageFilePath(); };
    s.updateUserInfo = [] { DataStoreLumoraData::updateUserInfo(); };
#else
    s.photoCount = [] { return Settings::intForKey(QStringLiteral("LumoraPhotoCount")); };
    s.storageUsed = [] { return Settings::longLongForKey(QStringLiteral("LumoraSpaceUsed")); };
    s.userImageFilePath = [] { return QString(); };
    s.userCoverImageFilePath = [] { return QString(); };
    s.updateUserInfo = [] {};
#endif
    s.setHideDockIcon = [](bool hide) { AppDelegate::instance()->setHideDockIcon(hide); };
    s.logoutAndKeepData = [] { AppDelegate::instance()->logoutAndKeepData(); };
    s.fullReset = [] { AppDelegate::instance()->fullReset(); };
    s.viewDebugLog = [] { AppDelegate::instance()->viewDebugLog(); };
    s.logoutAfterConfirming = [] { MainController::instance()->logoutAfterConfirming(); };
    s.runAtStartup = [] { return MainController::instance()->runAtStartup(); };
    s.setRunAtStartup = [](bool run) { MainController::instance()->setRunAtStartup(run); };
    s.updateStatusIcon = [] { MainController::instance()->updateStatusIcon(); };
    s.checkForUpdates = [] { MainController::instance()->checkForUpdates(); };
    s.openBugTracker = [] { MainController::instance()->openBugTracker(); };
    s.displayAbout = [] { MainController::instance()->displayAbout(); };
    s.quitApp = [] { MainController::instance()->quitApp(); };
    s.hiddenChannelKey = [] { return AppDelegate::hiddenChannelKey(); };
    s.switchBranchFollowUp = [] { AppDelegate::updateSelfUpdatingUrls(); };
#ifdef HOISTLY_HAVE_WELCOME
    s.hasCompletedWelcomeScreen = [] { return WelcomeWindowController::hasCompletedWelcomeScreen(); };
#else
    s.hasCompletedWelcomeScreen = [] { return Settings::boolForKey(QStringLiteral("WelcomeScreenComplete")); };
#endif
    // Not offered by their owners' published interfaces yet; the lead wires them at start-up.
    s.stopKeepingOnTop = [] {};
    s.setSelfUpdatesDisabledUntil = [](const QDateTime &, const QString &) {};
    s.checkForAlphaEnvironmentAvailable = [] {};
#ifdef HOISTLY_HAVE_REPORTER
    s.trackOncePerDay = [](const QString &event, int mask) { LMRReporter::trackOncePerDay(event, mask); };
    s.trackAndIncrement = [](const QString &event, int mask) { LMRReporter::track(event, mask); };
#else
    s.trackOncePerDay = [](const QString &, int) {};
    s.trackAndIncrement = [](const QString &, int) {};
#endif
    s.reporterSet = [](const QString &, const QVariant &) {};
    s.reporterIncrement = [](const QString &) {};
    return s;
}
