#pragma once
// Everything the onboarding window asks of the engine, the application shell and analytics, in
// one place. The default implementation forwards to the real classes; tests install their own to
// script sign-in state, installed libraries and the answers of the service.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <functional>

class WelcomeServices
{
public:
    virtual ~WelcomeServices() = default;

    static WelcomeServices *instance();
    // Null puts the default back. The caller keeps ownership.
    static void setInstance(WelcomeServices *services);

    // Service client.
    virtual bool isAuthorized() = 0;
    virtual QString currentUserID() = 0;
    virtual QString currentUserName() = 0;
    virtual QString currentUserFullName() = 0;
    virtual QString sharedSecret() = 0;
    virtual QString tokenSecret() = 0;
    virtual QString storedToken() = 0;
    virtual void resetAuthURL() = 0;
    virtual void logout() = 0;
    // done(authorisation URL, error text); may be called on any thread.
    virtual void beginAuth(const QUrl &callback, int permission,
                           std::function<void(QUrl, QString)> done) = 0;
    // done(user name, user id, full name, error text); may be called on any thread.
    virtual void completeAuth(const QUrl &callback,
                              std::function<void(QString, QString, QString, QString)> done) = 0;
    // Whether a callback answers the request token of the exchange now waiting.
    virtual bool answersCurrentRequest(const QUrl &callback) = 0;
    virtual void reinitializeClient(bool alpha) = 0;
    // Returns at once; done runs on the main thread once the answer came.
    virtual void updateUserInfo(std::function<void()> done) = 0;
    // Blocks; called off the main thread.
    virtual bool updateUserInfoViaUserInteraction(bool interactive) = 0;
    virtual QString userImageFilePath() = 0;

    // Sync engine.
    virtual void runQueues() = 0;
    virtual void refreshLumoraData() = 0;
    virtual void checkChecksumBackfillVerified() = 0;
    virtual void runMetaSyncer() = 0;
    virtual void runScanLoop() = 0;
    virtual void setTrackingCurrentScan(bool tracking) = 0;

    // Sources configuration.
    virtual bool isIPhotoInstalled() = 0;
    virtual bool isOSXPhotosInstalled() = 0;
    virtual bool isDropboxInstalled() = 0;
    virtual QString iPhotoDirectory() = 0;
    virtual QString apertureDirectory() = 0;
    virtual QString osxPhotosDirectory() = 0;
    virtual QString picturesDirectory() = 0;
    virtual QString desktopDirectory() = 0;
    virtual QString downloadsDirectory() = 0;
    virtual QString documentsDirectory() = 0;
    virtual void addCustomFolder(const QString &path) = 0;
    virtual void removeCustomFolder(const QString &path) = 0;
    virtual QStringList customFolders() = 0;
    virtual QStringList allSources() = 0;
    virtual QStringList allSourcesFiltered() = 0;
    virtual void setImportIPhotoEnabled(bool on) = 0;
    virtual void setImportOSXPhotosEnabled(bool on) = 0;
    virtual void setImportIMessageEnabled(bool on) = 0;
    virtual void setImportDropboxEnabled(bool on) = 0;
    // Answers whether access is granted now; asks the user and calls back later when undecided.
    virtual bool hasPhotosAuthorizationOrRequest(std::function<void(int status)> completion) = 0;

    // Application shell.
    virtual void setHideDockIcon(bool hide) = 0;
    virtual void quitAppNoConfirm() = 0;
    // Whether this copy can show the sign-in web view; when not, relaunchForSignIn() starts one
    // that can, with this window open, and ends this copy.
    virtual bool signInViewAvailable() = 0;
    virtual void relaunchForSignIn() = 0;
    virtual void refreshReportingMetrics() = 0;
    virtual void refreshReportingDemographics() = 0;
    virtual QDateTime dateInstalled() = 0;
    virtual void refreshMenu() = 0;
    virtual void openPreferences() = 0;

    // Analytics (destination mask as given).
    virtual void track(const QString &event, int mask, const QVariantMap &properties = {}) = 0;
    virtual void trackOnceEver(const QString &event, int mask, const QVariantMap &properties = {}) = 0;
    virtual void trackAndIncrement(const QString &event, int mask, const QVariantMap &properties = {}) = 0;
    virtual void trackAndSet(const QString &event, int mask) = 0;
    virtual void increment(const QString &counter) = 0;
    virtual void setProperty(const QString &name, const QVariant &value) = 0;
    virtual void flushAnalytics() = 0;

    // Localisation.
    virtual bool isLocalized() = 0;
    virtual QString localized(const QString &english) = 0;
    // The translation of a phrase, or a null string when the table has none.
    virtual QString translationOf(const QString &english) = 0;
};

