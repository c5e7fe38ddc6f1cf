// The real owners behind the preferences window's services. Kept apart so the window can be
// tested without the rest of the application linked in.
#include "windows/preferences/PreferencesServices.h"

#include "app/launch/AppDelegate.h"
#include "app/menubar/MainController.h"
#include "app/update/LMSelfUpdating.h"
#include "core/LMRReporter.h"
#include "service/DataStoreLumoraData.h"
#include "service/LumoraKit.h"
#include "sync/LumoraDrive.h"
#include "windows/onboarding/WelcomeWindowController.h"

PreferencesServices PreferencesServices::makeDefaults()
{
    PreferencesServices s;
    s.isAuthorized = [] { return LumoraKit::sharedLumoraKit()->isAuthorized(); };
    s.currentUserID = [] { return LumoraKit::sharedLumoraKit()->currentUserID(); };
    s.currentUserName = [] { return LumoraKit::sharedLumoraKit()->currentUserName(); };
    s.currentUserFullName = [] { return LumoraKit::sharedLumoraKit()->currentUserFullName(); };
    s.alphaOrWWW = [] { return LumoraDrive::alphaOrWWW(); };

    s.photoCount = [] { return int(DataStoreLumoraData::photoCount()); };
    s.storageUsed = [] { return qint64(DataStoreLumoraData::storageUsed()); };
    s.userImageFilePath = [] { return DataStoreLumoraData::userImageFilePath(); };
    s.userCoverImageFilePath = [] { return DataStoreLumoraData::userCoverImageFilePath(); };
    s.updateUserInfo = [] { DataStoreLumoraData::updateUserInfo(); };

    s.setHideDockIcon = [](bool hide) { AppDelegate::instance()->setHideDockIcon(hide); };
    s.logoutAndKeepData = [] { AppDelegate::instance()->logoutAndKeepData(); };
    s.fullReset = [] { AppDelegate::instance()->fullReset(); };
    s.viewDebugLog = [] { AppDelegate::instance()->viewDebugLog(); };
    s.hiddenChannelKey = [] { return AppDelegate::hiddenChannelKey(); };
    s.switchBranchFollowUp = [] {
        // Offered the other channel's build at once, whatever its version.
        AppDelegate::updateSelfUpdatingUrls();
        LMSelfUpdating::setForceUpdateOnNextCheck();
        LMSelfUpdating::checkForUpdatesWithUI();
    };
    s.setSelfUpdatesDisabledUntil = [](const QDateTime &until, const QString &key) {
        LMSelfUpdating::setSelfUpdatesDisabledUntil(until, key);
    };

    s.logoutAfterConfirming = [] { MainController::instance()->logoutAfterConfirming(); };
    s.runAtStartup = [] { return MainController::instance()->runAtStartup(); };
    s.setRunAtStartup = [](bool run) { MainController::instance()->setRunAtStartup(run); };
    s.updateStatusIcon = [] { MainController::instance()->updateStatusIcon(); };
    s.checkForUpdates = [] { MainController::instance()->checkForUpdates(); };
    s.openBugTracker = [] { MainController::instance()->openBugTracker(); };
    s.displayAbout = [] { MainController::instance()->displayAbout(); };
    s.quitApp = [] { MainController::instance()->quitApp(); };

    s.hasCompletedWelcomeScreen = [] { return WelcomeWindowController::hasCompletedWelcomeScreen(); };
    s.stopKeepingOnTop = [] { WelcomeWindowController::stopKeepingOnTop(); };
    s.checkForAlphaEnvironmentAvailable = [] { WelcomeWindowController::checkForAlphaEnvironmentAvailable(); };

    s.trackOncePerDay = [](const QString &event, int mask) { LMRReporter::trackOncePerDay(event, mask); };
    s.trackAndIncrement = [](const QString &event, int mask) { LMRReporter::trackAndIncrement(event, mask); };
    s.reporterSet = [](const QString &property, const QVariant &value) { LMRReporter::set(property, value); };
    s.reporterIncrement = [](const QString &event) { LMRReporter::increment(event); };
    return s;
}
