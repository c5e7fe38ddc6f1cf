#include "app/launch/AppDelegate.h"

#include <QCoreApplication>

namespace {
AppDelegate *g_instance = nullptr;
bool g_isSystemSleeping = false;
bool g_wasLaunchedManually = false;
}

AppDelegate::AppDelegate(QObject *parent) : QObject(parent) {}

AppDelegate *AppDelegate::instance()
{
    if (!g_instance)
        g_instance = new AppDelegate(QCoreApplication::instance());
    return g_instance;
}

bool AppDelegate::isSystemSleeping() { return g_isSystemSleeping; }
void AppDelegate::setHideDockIcon(bool hide) { m_hideDockIcon = hide; }
bool AppDelegate::argumentsSelectUpdateCheck(const QStringList &arguments)
{
    for (const QString &a : arguments)
        if (a.toLower().contains(QStringLiteral("/check-for-updates")))
            return true;
    return false;
}
bool AppDelegate::argumentsContainSelfUpdated(const QStringList &arguments)
{
    for (const QString &a : arguments)
        if (a.toLower().contains(QStringLiteral("/selfupdated")))
            return true;
    return false;
}
QString AppDelegate::loginLaunchArgument() { return QStringLiteral("--login-item"); }
int AppDelegate::runUpdateCheckMode() { return 0; }
void AppDelegate::applicationDidFinishLaunching(const QStringList &) {}
void AppDelegate::applicationDidFinishLaunching_Internal() {}
void AppDelegate::handleGetURLEvent(const QString &) {}
bool AppDelegate::wasLaunchedManually() { return g_wasLaunchedManually; }
QString AppDelegate::currentLogFilePath() { return {}; }
void AppDelegate::updateSelfUpdatingUrls() {}
QString AppDelegate::hiddenChannelKey() { return {}; }
bool AppDelegate::decideLaunchedManually(const QStringList &, bool) { return false; }
void AppDelegate::receiveSleepNote() { g_isSystemSleeping = true; }
void AppDelegate::receiveWakeNote() { g_isSystemSleeping = false; }
AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate() { return TerminateReply::Now; }
void AppDelegate::applicationWillTerminate() {}
void AppDelegate::terminate() { QCoreApplication::quit(); }
void AppDelegate::quitAppNoConfirm() { terminate(); }
void AppDelegate::scheduleForceQuit() {}
void AppDelegate::performLogOutAndKEEPEVERYTHING() {}
void AppDelegate::performLogOutAndDELETEEVERYTHING() {}
bool AppDelegate::isResetting() const { return false; }
void AppDelegate::viewDebugLog() {}
QDateTime AppDelegate::dateInstalled() { return {}; }
int AppDelegate::firstRanBuildNumber() { return 0; }
int AppDelegate::lastRanBuildNumber() { return 0; }
void AppDelegate::updateLastRanBuildNumber() {}
int AppDelegate::runningBuildNumber() { return QStringLiteral(HOISTLY_BUILD_NUMBER).toInt(); }
QString AppDelegate::runningVersion() { return QStringLiteral(HOISTLY_VERSION); }
void AppDelegate::refreshReportingDemographics() {}
void AppDelegate::refreshReportingMetrics() {}
void AppDelegate::resetForTesting() {}
void AppDelegate::runMigrations() {}
void AppDelegate::spawnUpdateCheckCopyIfDue() {}
void AppDelegate::installFileLogger() {}
void AppDelegate::connectSystemEvents() {}
