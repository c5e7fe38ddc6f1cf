#include "windows/onboarding/WelcomeServices.h"

#include "app/launch/AppDelegate.h"
#include "app/menubar/MainController.h"
#include "catalogue/FileManager.h"
#include "catalogue/LMRPhotoKitLibraryManager.h"
#include "core/LGLog.h"
#include "core/LMRReporter.h"
#include "core/Settings.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraMetaSyncer.h"
#include "sync/LumoraUploader.h"
#include "windows/preferences/PreferencesPane.h"

#include <QCoreApplication>

namespace {

// Forwards to the real owners. The service client's sign-in calls and the account mirror are
// reached through the hooks below once the client library is linked in.
class DefaultWelcomeServices : public WelcomeServices
{
public:
    bool isAuthorized() override { return WelcomeClientHooks::instance().isAuthorized(); }
    QString currentUserID() override { return WelcomeClientHooks::instance().currentUserID(); }
    QString currentUserName() override { return WelcomeClientHooks::instance().currentUserName(); }
    QString currentUserFullName() override { return WelcomeClientHooks::instance().currentUserFullName(); }
    QString sharedSecret() override { return WelcomeClientHooks::instance().sharedSecret(); }
    QString tokenSecret() override { return WelcomeClientHooks::instance().tokenSecret(); }
    QString storedToken() override { return Settings::stringForKey(QStringLiteral("kLKStoredTokenKey")); }
    void resetAuthURL() override { WelcomeClientHooks::instance().resetAuthURL(); }
    void logout() override { WelcomeClientHooks::instance().logout(); }
    void beginAuth(const QUrl &callback, int permission, std::function<void(QUrl, QString)> done) override
    {
        WelcomeClientHooks::instance().beginAuth(callback, permission, std::move(done));
    }
    void completeAuth(const QUrl &callback, std::function<void(QString, QString, QString, QString)> done) override
    {
        WelcomeClientHooks::instance().completeAuth(callback, std::move(done));
    }
    void reinitializeClient(bool alpha) override
    {
        WelcomeClientHooks::instance().initialize(LumoraDrive::apiKey(alpha),
                                                  alpha ? LumoraDrive::apiSecret(true) : LumoraDrive::APIS(), alpha);
    }
    void updateUserInfo() override { WelcomeClientHooks::instance().updateUserInfo(); }
    bool updateUserInfoViaUserInteraction(bool interactive) override
    {
        return WelcomeClientHooks::instance().updateUserInfoViaUserInteraction(interactive);
    }
    QString userImageFilePath() override { return WelcomeClientHooks::instance().userImageFilePath(); }

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

    bool isLocalized() override { return WelcomeClientHooks::instance().isLocalized(); }
    QString localized(const QString &english) override
    {
        const QString translated = WelcomeClientHooks::instance().translationOf(english);
        return translated.isEmpty() ? english : translated;
    }
    QString translationOf(const QString &english) override
    {
        return WelcomeClientHooks::instance().translationOf(english);
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

WelcomeClientHooks &WelcomeClientHooks::instance()
{
    static WelcomeClientHooks hooks;
    return hooks;
}
