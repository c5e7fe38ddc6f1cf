#pragma once
// A scripted stand-in for everything the onboarding window asks of the engine and the shell:
// sign-in state, installed libraries, the sources configuration, and a record of every call
// and analytics event. While one exists, the Upload pane's list on the summary screen reads and
// changes the same sources configuration through FakeWelcomeSourcesBackend.
#include "windows/onboarding/WelcomeServices.h"
#include "windows/sources/SourcesBackend.h"

#include <QDir>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QVariantMap>

class FakeWelcomeServices;

// The Upload pane's view of a FakeWelcomeServices: the watched folders and library switches are
// the fake's own, and the catalogue is empty. One lives for the process so that a gather still
// running on a worker thread never meets a deleted object; it answers "nothing" once the fake
// it follows is gone.
class FakeWelcomeSourcesBackend : public SourcesBackend
{
public:
    static FakeWelcomeSourcesBackend *shared()
    {
        static auto *backend = new FakeWelcomeSourcesBackend;
        return backend;
    }
    void follow(FakeWelcomeServices *fake)
    {
        QMutexLocker lock(&m_lock);
        m_fake = fake;
    }
    void unfollow(FakeWelcomeServices *fake)
    {
        QMutexLocker lock(&m_lock);
        if (m_fake == fake)
            m_fake = nullptr;
    }

    QStringList customFolders() override;
    void addCustomFolder(const QString &path) override;
    void removeCustomFolder(const QString &path) override;
    void setTrackingCurrentScan(bool) override {}
    bool isInstalled(Library library) override;
    bool importEnabled(Library library) override;
    void setImportEnabled(Library library, bool enabled) override;
    QString lastLibraryPath(Library) override { return QString(); }
    QString libraryDirectory(Library library) override;
    QString standardDirectory(Folder folder) override;
    RecordId recordForPath(const QString &) override { return 0; }
    RecordId recordForPathCreating(const QString &) override { return 0; }
    bool recordState(RecordId, RecordState *) override { return false; }
    QList<RecordId> children(RecordId) override { return {}; }
    void setExcludedFromScan(RecordId, bool) override {}
    void setNeedsScanRecursive(RecordId) override {}
    void runScanner() override {}
    void requestUploadListCleanup() override {}
    void cancelCurrentUploadIfNoLongerSelected() override {}
    void runUploader() override {}

private:
    QMutex m_lock;
    FakeWelcomeServices *m_fake = nullptr;
};

class FakeWelcomeServices : public WelcomeServices
{
public:
    FakeWelcomeServices()
    {
        FakeWelcomeSourcesBackend::shared()->follow(this);
        SourcesBackend::setInstance(FakeWelcomeSourcesBackend::shared());
    }
    ~FakeWelcomeServices() override
    {
        FakeWelcomeSourcesBackend::shared()->unfollow(this);
        if (SourcesBackend::instance() == FakeWelcomeSourcesBackend::shared())
            SourcesBackend::setInstance(nullptr);
    }

    struct Event
    {
        QString kind; // "track", "once", "increment", "trackAndIncrement", "trackAndSet", "set"
        QString name;
        QVariantMap properties;
        QVariant value;
    };

    // Sign-in state.
    bool authorized = false;
    bool viewAvailable = true; // false: a copy started signed in, without the sign-in view
    QString userId, userName, fullName, secret, tokenSecretValue, token;
    std::function<void(const QUrl &, int, std::function<void(QUrl, QString)>)> onBeginAuth;
    std::function<void(const QUrl &, std::function<void(QString, QString, QString, QString)>)> onCompleteAuth;
    int userInfoFailures = 0; // answers NO this many times first

    // Libraries and folders.
    bool iPhotoInstalled = false, photosInstalled = false, dropboxInstalled = false;
    QString iPhotoDir, apertureDir, photosDir;
    QString pictures = QStringLiteral("/home/u/Pictures"), desktop = QStringLiteral("/home/u/Desktop"),
            downloads = QStringLiteral("/home/u/Downloads"), documents = QStringLiteral("/home/u/Documents");
    QStringList custom;
    bool iPhotoEnabled = false, photosEnabled = false, messagesEnabled = false, dropboxEnabled = false;
    bool photosAuthorizedNow = false;
    int photosAuthAnswer = -1; // status given to the completion; -1 = never called
    QDateTime installed;

    bool localizedUI = false;
    QMap<QString, QString> translations;

    QStringList calls;
    QList<Event> events;

    // --- helpers for tests ---
    int count(const QString &call) const
    {
        QMutexLocker lock(&m_mutex);
        return int(calls.count(call));
    }
    QStringList eventNames(const QString &kind = {}) const
    {
        QMutexLocker lock(&m_mutex);
        QStringList out;
        for (const Event &e : events)
            if (kind.isEmpty() || e.kind == kind)
                out << e.name;
        return out;
    }
    const Event *lastEvent(const QString &name) const
    {
        for (auto it = events.crbegin(); it != events.crend(); ++it)
            if (it->name == name)
                return &*it;
        return nullptr;
    }

    // --- WelcomeServices ---
    bool isAuthorized() override { return authorized; }
    QString currentUserID() override { return userId; }
    QString currentUserName() override { return userName; }
    QString currentUserFullName() override { return fullName; }
    QString sharedSecret() override { return secret; }
    QString tokenSecret() override { return tokenSecretValue; }
    QString storedToken() override { return token; }
    void resetAuthURL() override { record(QStringLiteral("resetAuthURL")); }
    void logout() override
    {
        record(QStringLiteral("logout"));
        authorized = false;
        userId.clear();
    }
    void beginAuth(const QUrl &callback, int permission, std::function<void(QUrl, QString)> done) override
    {
        record(QStringLiteral("beginAuth"));
        if (onBeginAuth)
            onBeginAuth(callback, permission, std::move(done));
        else
            done(QUrl(), QStringLiteral("offline"));
    }
    void completeAuth(const QUrl &callback, std::function<void(QString, QString, QString, QString)> done) override
    {
        record(QStringLiteral("completeAuth"));
        completedWith << callback;
        if (onCompleteAuth)
            onCompleteAuth(callback, std::move(done));
        else
            done(QString(), QString(), QString(), QStringLiteral("no exchange scripted"));
    }
    QList<QUrl> completedWith;
    bool answersCurrentRequest(const QUrl &) override { return true; }
    void reinitializeClient(bool alpha) override { record(alpha ? QStringLiteral("reinit alpha") : QStringLiteral("reinit production")); }
    void updateUserInfo(std::function<void()> done) override
    {
        record(QStringLiteral("updateUserInfo"));
        userInfoLoaded = std::move(done);
    }
    std::function<void()> userInfoLoaded;
    bool updateUserInfoViaUserInteraction(bool) override
    {
        record(QStringLiteral("updateUserInfoViaUserInteraction"));
        QMutexLocker lock(&m_mutex);
        if (userInfoFailures > 0) {
            --userInfoFailures;
            return false;
        }
        return true;
    }
    QString userImageFilePath() override { return QString(); }

    void runQueues() override { record(QStringLiteral("runQueues")); }
    void refreshLumoraData() override { record(QStringLiteral("refreshLumoraData")); }
    void checkChecksumBackfillVerified() override { record(QStringLiteral("checkChecksumBackfillVerified")); }
    void runMetaSyncer() override { record(QStringLiteral("runMetaSyncer")); }
    void runScanLoop() override { record(QStringLiteral("runScanLoop")); }
    void setTrackingCurrentScan(bool on) override { record(on ? QStringLiteral("tracking on") : QStringLiteral("tracking off")); }

    bool isIPhotoInstalled() override { return iPhotoInstalled; }
    bool isOSXPhotosInstalled() override { return photosInstalled; }
    bool isDropboxInstalled() override { return dropboxInstalled; }
    QString iPhotoDirectory() override { return iPhotoDir; }
    QString apertureDirectory() override { return apertureDir; }
    QString osxPhotosDirectory() override { return photosDir; }
    QString picturesDirectory() override { return pictures; }
    QString desktopDirectory() override { return desktop; }
    QString downloadsDirectory() override { return downloads; }
    QString documentsDirectory() override { return documents; }
    void addCustomFolder(const QString &path) override
    {
        record(QStringLiteral("add ") + path);
        QMutexLocker lock(&m_mutex);
        if (!path.isEmpty() && !custom.contains(path))
            custom << path;
    }
    void removeCustomFolder(const QString &path) override
    {
        record(QStringLiteral("remove ") + path);
        QMutexLocker lock(&m_mutex);
        custom.removeAll(path);
    }
    QStringList customFolders() override
    {
        QMutexLocker lock(&m_mutex);
        return custom;
    }
    QStringList allSources() override
    {
        QStringList out = custom;
        if (iPhotoEnabled)
            out << QStringLiteral("iPhoto:") + iPhotoDir;
        if (photosEnabled)
            out << QStringLiteral("Photos:") + photosDir;
        if (messagesEnabled)
            out << QStringLiteral("Messages");
        return out;
    }
    QStringList allSourcesFiltered() override { return allSources(); }
    void setImportIPhotoEnabled(bool on) override { iPhotoEnabled = on; record(QStringLiteral("iPhoto %1").arg(on)); }
    void setImportOSXPhotosEnabled(bool on) override { photosEnabled = on; record(QStringLiteral("Photos %1").arg(on)); }
    void setImportIMessageEnabled(bool on) override { messagesEnabled = on; record(QStringLiteral("Messages %1").arg(on)); }
    void setImportDropboxEnabled(bool on) override { dropboxEnabled = on; record(QStringLiteral("Dropbox %1").arg(on)); }
    bool hasPhotosAuthorizationOrRequest(std::function<void(int)> completion) override
    {
        record(QStringLiteral("photosAuthorization"));
        if (photosAuthAnswer >= 0)
            completion(photosAuthAnswer);
        return photosAuthorizedNow;
    }

    void setHideDockIcon(bool hide) override
    {
        record(hide ? QStringLiteral("hideDock") : QStringLiteral("showDock"));
        if (onHideDock)
            onHideDock();
    }
    std::function<void()> onHideDock;
    void quitAppNoConfirm() override { record(QStringLiteral("quit")); }
    bool signInViewAvailable() override { return viewAvailable; }
    void relaunchForSignIn() override { record(QStringLiteral("relaunchForSignIn")); }
    void refreshReportingMetrics() override { record(QStringLiteral("refreshReportingMetrics")); }
    void refreshReportingDemographics() override { record(QStringLiteral("refreshReportingDemographics")); }
    QDateTime dateInstalled() override { return installed; }
    void refreshMenu() override { record(QStringLiteral("refreshMenu")); }
    void openPreferences() override { record(QStringLiteral("openPreferences")); }

    void track(const QString &event, int, const QVariantMap &p) override { addEvent(QStringLiteral("track"), event, p); }
    void trackOnceEver(const QString &event, int, const QVariantMap &p) override
    {
        if (!eventNames(QStringLiteral("once")).contains(event))
            addEvent(QStringLiteral("once"), event, p);
    }
    void trackAndIncrement(const QString &event, int, const QVariantMap &p) override
    {
        addEvent(QStringLiteral("trackAndIncrement"), event, p);
    }
    void trackAndSet(const QString &event, int) override { addEvent(QStringLiteral("trackAndSet"), event, {}); }
    void increment(const QString &counter) override { addEvent(QStringLiteral("increment"), counter, {}); }
    void setProperty(const QString &name, const QVariant &value) override
    {
        addEvent(QStringLiteral("set"), name, {}, value);
    }
    void flushAnalytics() override { record(QStringLiteral("flushAnalytics")); }

    bool isLocalized() override { return localizedUI; }
    QString localized(const QString &english) override
    {
        const QString t = translationOf(english);
        return t.isEmpty() ? english : t;
    }
    QString translationOf(const QString &english) override
    {
        return localizedUI ? translations.value(english) : QString();
    }

private:
    void record(const QString &call)
    {
        QMutexLocker lock(&m_mutex);
        calls << call;
    }
    void addEvent(const QString &kind, const QString &name, const QVariantMap &p, const QVariant &value = {})
    {
        QMutexLocker lock(&m_mutex);
        events.append({kind, name, p, value});
    }
    mutable QMutex m_mutex;
};

// The pane gathers on a worker thread: every read of the fake's state goes through its lock.
inline QStringList FakeWelcomeSourcesBackend::customFolders()
{
    QMutexLocker lock(&m_lock);
    return m_fake ? m_fake->customFolders() : QStringList();
}
inline void FakeWelcomeSourcesBackend::addCustomFolder(const QString &path)
{
    QMutexLocker lock(&m_lock);
    if (m_fake)
        m_fake->addCustomFolder(path);
}
inline void FakeWelcomeSourcesBackend::removeCustomFolder(const QString &path)
{
    QMutexLocker lock(&m_lock);
    if (m_fake)
        m_fake->removeCustomFolder(path);
}
inline bool FakeWelcomeSourcesBackend::isInstalled(Library library)
{
    QMutexLocker lock(&m_lock);
    if (!m_fake)
        return false;
    switch (library) {
    case Library::IPhoto: return m_fake->iPhotoInstalled;
    case Library::OSXPhotos: return m_fake->photosInstalled;
    case Library::Dropbox: return m_fake->dropboxInstalled;
    case Library::IMessage: return true;
    case Library::Aperture: return false;
    }
    return false;
}
inline bool FakeWelcomeSourcesBackend::importEnabled(Library library)
{
    QMutexLocker lock(&m_lock);
    if (!m_fake)
        return false;
    switch (library) {
    case Library::IPhoto: return m_fake->iPhotoEnabled;
    case Library::OSXPhotos: return m_fake->photosEnabled;
    case Library::Dropbox: return m_fake->dropboxEnabled;
    case Library::IMessage: return m_fake->messagesEnabled;
    case Library::Aperture: return false;
    }
    return false;
}
inline void FakeWelcomeSourcesBackend::setImportEnabled(Library library, bool enabled)
{
    QMutexLocker lock(&m_lock);
    if (!m_fake)
        return;
    switch (library) {
    case Library::IPhoto: m_fake->setImportIPhotoEnabled(enabled); break;
    case Library::OSXPhotos: m_fake->setImportOSXPhotosEnabled(enabled); break;
    case Library::Dropbox: m_fake->setImportDropboxEnabled(enabled); break;
    case Library::IMessage: m_fake->setImportIMessageEnabled(enabled); break;
    case Library::Aperture: break;
    }
}
inline QString FakeWelcomeSourcesBackend::libraryDirectory(Library library)
{
    QMutexLocker lock(&m_lock);
    if (!m_fake)
        return QString();
    switch (library) {
    case Library::IPhoto: return m_fake->iPhotoDir;
    case Library::OSXPhotos: return m_fake->photosDir;
    case Library::Aperture: return m_fake->apertureDir;
    default: return QString();
    }
}
inline QString FakeWelcomeSourcesBackend::standardDirectory(Folder folder)
{
    QMutexLocker lock(&m_lock);
    if (!m_fake)
        return QString();
    switch (folder) {
    case Folder::Pictures: return m_fake->pictures;
    case Folder::Desktop: return m_fake->desktop;
    case Folder::Documents: return m_fake->documents;
    case Folder::Downloads: return m_fake->downloads;
    default: return QString();
    }
}
