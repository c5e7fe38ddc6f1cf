#include "windows/onboarding/WelcomeServices.h"

#include "app/launch/AppDelegate.h"
#include "app/menubar/MainController.h"
#include "catalogue/FileManager.h"
#include "catalogue/LMRPhotoKitLibraryManager.h"
#include "core/LGLog.h"
#include "core/LMRReporter.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "service/DataStoreLumoraData.h"
#include "service/LumoraKit.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraMetaSyncer.h"
#include "sync/LumoraUploader.h"
#include "windows/preferences/PreferencesPane.h"

#include <QCoreApplication>

namespace {

// Forwards to the real owners.
class DefaultWelcomeServices : public WelcomeServices
{
public:
    bool isAuthorized() override { return LumoraKit::sharedLumoraKit()->isAuthorized(); }
    QString currentUserID() override { return LumoraKit::sharedLumoraKit()->currentUserID(); }
    QString currentUserName() override { return LumoraKit::sharedLumoraKit()->currentUserName(); }
    QString currentUserFullName() override { return LumoraKit::sharedLumoraKit()->currentUserFullName(); }
    QString sharedSecret() override { return LumoraKit::sharedLumoraKit()->secret(); }
    QString tokenSecret() override { return LumoraKit::tokenSecret(); }
    QString storedToken() override { return Settings::stringForKey(LKStoredKeys::Token); }
    void resetAuthURL() override { LumoraKit::sharedLumoraKit()->resetAuthURL(); }
    void logout() override { LumoraKit::sharedLumoraKit()->logout(); }
    void beginAuth(const QUrl &callback, int permission, std::function<void(QUrl, QString)> done) override
    {
        LumoraKit::sharedLumoraKit()->beginAuthWithCallbackURL(
            callback, LKPermission(permission), [done = std::move(done)](const QUrl &url, const LKError &error) {
                const QString text = error.isError() ? (error.localizedFailureReason().isEmpty()
                                                            ? error.localizedDescription()
                                                            : error.localizedFailureReason())
                                                     : QString();
                done(url, text);
            });
    }
    void completeAuth(const QUrl &callback, std::function<void(QString, QString, QString, QString)> done) override
    {
        LumoraKit::sharedLumoraKit()->completeAuthWithURL(
            callback, [done = std::move(done)](const QString &userName, const QString &userID, const QString &fullName,
                                               const LKError &error) {
                done(userName, userID, fullName, error.isError() ? error.localizedDescription() : QString());
            });
    }
    bool answersCurrentRequest(const QUrl &callback) override
    {
        return LumoraKit::sharedLumoraKit()->answersCurrentRequest(callback);
    }
    void reinitializeClient(bool alpha) override
    {
        LumoraKit::sharedLumoraKit()->initializeWithAPIKey(LumoraDrive::apiKey(alpha),
                                                           LumoraDrive::apiSecret(alpha), alpha);
    }
    void updateUserInfo(std::function<void()> done) override { DataStoreLumoraData::updateUserInfo(std::move(done)); }
    bool updateUserInfoViaUserInteraction(bool interactive) override
    {
        return DataStoreLumoraData::updateUserInfoViaUserInteraction(interactive);
    }
    QString userImageFilePath() override { return DataStoreLumoraData::userImageFilePath(); }

    void runQueues() override { LumoraDrive::runQueues(); }
    void refreshLumoraData() override { LumoraDrive::refreshLumoraData(); }
    void checkChecksumBackfillVerified() override { LumoraUploader::checkChecksumBackfillVerified(); }
    void runMetaSyncer() override { LumoraMetaSyncer::run(); }
    void runScanLoop() override { FileManager::run(); }
    void setTrackingCurrentScan(bool tracking) override { FileManager::setTrackingCurrentScan(tracking); }

    bool isIPhotoInstalled() override { return FileManager::isIPhotoInstalled(); }
    bool isOSXPhotosInstalled() override { return FileManager::isOSXPhotosInstalled(); }
    bool isDropboxInstalled() override { return FileManager::isDropboxInstalled(); }
    QString iPhotoDirectory() override { return FileManager::iPhotoDirectoryWithBackup(QString()); }
    QString apertureDirectory() override { return FileManager::apertureDirectoryWithBackup(QString()); }
    QString osxPhotosDirectory() override { return FileManager::osxPhotosDirectoryWithBackup(QString()); }
    QString picturesDirectory() override { return FileManager::picturesDirectory(); }
    QString desktopDirectory() override { return FileManager::desktopDirectory(); }
    QString downloadsDirectory() override { return FileManager::downloadsDirectory(); }
    QString documentsDirectory() override { return FileManager::documentsDirectory(); }
    void addCustomFolder(const QString &path) override { FileManager::addCustomFolder(path); }
    void removeCustomFolder(const QString &path) override { FileManager::removeCustomFolder(path); }
    QStringList customFolders() override { return FileManager::customFolders(); }
    QStringList allSources() override { return FileManager::allSources(); }
    QStringList allSourcesFiltered() override { return FileManager::allSourcesFiltered(); }
    void setImportIPhotoEnabled(bool on) override { FileManager::setImportIPhotoEnabled(on); }
    void setImportOSXPhotosEnabled(bool on) override { FileManager::setImportOSXPhotosEnabled(on); }
    void setImportIMessageEnabled(bool on) override { FileManager::setImportIMessageEnabled(on); }
    void setImportDropboxEnabled(bool on) override { FileManager::setImportDropboxEnabled(on); }
    bool hasPhotosAuthorizationOrRequest(std::function<void(int)> completion) override
    {
        return LMRPhotoKitLibraryManager::hasAuthorizationOrRequestWithCompletion(std::move(completion));
    }

    void setHideDockIcon(bool hide) override { AppDelegate::instance()->setHideDockIcon(hide); }
    void quitAppNoConfirm() override { AppDelegate::instance()->quitAppNoConfirm(); }
    bool signInViewAvailable() override { return AppDelegate::signInViewAvailable(); }
    void relaunchForSignIn() override { AppDelegate::instance()->relaunchForSignIn(); }
    void refreshReportingMetrics() override { AppDelegate::instance()->refreshReportingMetrics(); }
    void refreshReportingDemographics() override { AppDelegate::instance()->refreshReportingDemographics(); }
    QDateTime dateInstalled() override { return AppDelegate::instance()->dateInstalled(); }
    void refreshMenu() override
    {
        if (MainController *controller = MainController::instanceNoCreate())
            controller->refreshMenu();
    }
    void openPreferences() override { PreferencesPane::openPreferences(); }

    void track(const QString &event, int mask, const QVariantMap &properties) override
    {
        LMRReporter::track(event, mask, properties);
    }
    void trackOnceEver(const QString &event, int mask, const QVariantMap &properties) override
    {
        LMRReporter::trackOnceEver(event, mask, properties);
    }
    void trackAndIncrement(const QString &event, int mask, const QVariantMap &properties) override
    {
        LMRReporter::trackAndIncrement(event, mask, properties);
    }
    void trackAndSet(const QString &event, int mask) override { LMRReporter::trackAndSet(event, mask); }
    void increment(const QString &counter) override { LMRReporter::increment(counter); }
    void setProperty(const QString &name, const QVariant &value) override { LMRReporter::set(name, value); }
    void flushAnalytics() override { LMRReporter::flush(); }

    bool isLocalized() override { return Localization::isLocalized(); }
    QString localized(const QString &english) override { return Localization::tr(english); }
    QString translationOf(const QString &english) override
    {
        const QString translated = Localization::tr(english);
        return translated == english ? QString() : translated;
    }
};

WelcomeServices *s_override = nullptr;

} // namespace

WelcomeServices *WelcomeServices::instance()
{
    if (s_override)
        return s_override;
    static DefaultWelcomeServices defaults;
    return &defaults;
}

void WelcomeServices::setInstance(WelcomeServices *services)
{
    s_override = services;
}
