#pragma once
// Recording stand-ins for everything the shell asks of the engine, the windows and the system,
// so launch, lifecycle and menu tests run without a service, a tray host or a session.
#include "app/launch/ShellBridge.h"
#include "app/platform/TrayIcon.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QMenu>
#include <QMutex>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>
#include <utility>

struct FakeShell
{
    // Engine and window state the fakes answer with.
    QString userId, userName, fullName, mirrorUser;
    bool authorized = false;
    bool onboarded = true;
    bool paused = false;
    QString status[4];
    QDateTime mirrorCompleted;
    bool catalogueOpen = true, commitOk = true, hasChanges = false, saveOk = true;
    int sources = 0, sourcesFiltered = 0;
    // The sign-in check's answer: user name, id, full name, error.
    QStringList authAnswer{QString(), QString(), QString(), QStringLiteral("no token")};
    bool answerAuthAtOnce = true;
    // The catalogue's background read: held until finishCatalogueRead() when set.
    bool holdCatalogueRead = false;
    std::function<void()> pendingCatalogueRead;
    void finishCatalogueRead()
    {
        if (auto done = std::exchange(pendingCatalogueRead, nullptr))
            done();
    }
    ShellBridge::AuthCompletion pendingAuth;

    // What was asked.
    mutable QMutex lock;
    QStringList calls;
    QList<QPair<QString, int>> events;
    QMap<QString, QVariantMap> eventProperties; // of events tracked with properties
    QMap<QString, QVariant> properties;
    QList<QDateTime> pausedUntil;
    QList<QPair<QString, QStringList>> launches;
    std::atomic<int> forceTerminations{0};
    std::atomic<int> exits{0};
    qint64 clockMs = 1'700'000'000'000;
    Qt::KeyboardModifiers modifiers;
    bool sessionManagerParent = false;
    bool folderRemovable = true;

    void record(const QString &call)
    {
        QMutexLocker l(&lock);
        calls << call;
    }
    int count(const QString &call) const
    {
        QMutexLocker l(&lock);
        return calls.count(call);
    }
    int indexOf(const QString &call) const
    {
        QMutexLocker l(&lock);
        return calls.indexOf(call);
    }
    QStringList eventNames() const
    {
        QMutexLocker l(&lock);
        QStringList out;
        for (const auto &e : events)
            out << e.first;
        return out;
    }
    QDateTime now() const { return QDateTime::fromMSecsSinceEpoch(clockMs, Qt::UTC); }
    void advance(double seconds) { clockMs += qint64(seconds * 1000); }

    void install()
    {
        ShellBridge &b = ShellBridge::instance();
        auto rec = [this](const char *name) { return [this, name] { record(QString::fromLatin1(name)); }; };
        b.driveStartup = rec("driveStartup");
        b.driveShutdown = rec("driveShutdown");
        b.runQueues = rec("runQueues");
        b.refreshLumoraData = rec("refreshLumoraData");
        b.refreshManually = rec("refreshManually");
        b.updateStatus = rec("updateStatus");
        b.setPausedUntil = [this](const QDateTime &d) {
            record(QStringLiteral("setPausedUntil"));
            QMutexLocker l(&lock);
            pausedUntil << d;
        };
        b.paused = [this] { return paused; };
        b.statusLine1 = [this] { return status[0]; };
        b.statusLine2 = [this] { return status[1]; };
        b.statusLine3 = [this] { return status[2]; };
        b.statusResumeMessage = [this] { return status[3]; };
        b.alphaOrWWW = [] { return QStringLiteral("www"); };
        b.retractAllNotifications = rec("retractAllNotifications");
        b.currentUserID = [this] { return userId; };
        b.currentUserName = [this] { return userName; };
        b.currentUserFullName = [this] { return fullName; };
        b.isAuthorized = [this] { return authorized; };
        b.loadTokenFromSettingsWithoutValidating = rec("loadToken");
        b.checkAuthorization = [this](ShellBridge::AuthCompletion done) {
            record(QStringLiteral("checkAuthorization"));
            if (answerAuthAtOnce)
                done(authAnswer.value(0), authAnswer.value(1), authAnswer.value(2), authAnswer.value(3));
            else
                pendingAuth = std::move(done);
        };
        b.logout = rec("logout");
        b.tokenSecret = [] { return QString(); };
        b.hasCompletedScanThisSession = [this] { return mirrorCompleted; };
        b.setCompletedScanThisSession = [this](const QDateTime &d) {
            record(QStringLiteral("setCompletedScanThisSession"));
            mirrorCompleted = d;
        };
        b.mirrorUserName = [this] { return mirrorUser; };
        b.catalogueOpen = [this] { return catalogueOpen; };
        b.catalogueCommitEditing = [this] { return commitOk; };
        b.catalogueHasChanges = [this] { return hasChanges; };
        b.catalogueSave = [this](QString *error) {
            record(QStringLiteral("catalogueSave"));
            if (!saveOk && error)
                *error = QStringLiteral("disk full");
            return saveOk;
        };
        b.catalogueClose = rec("catalogueClose");
        b.runCatalogueMigrations = rec("runCatalogueMigrations");
        b.openCatalogueInBackground = [this](std::function<void()> done) {
            record(QStringLiteral("openCatalogueInBackground"));
            if (holdCatalogueRead)
                pendingCatalogueRead = std::move(done);
            else
                done();
        };
        b.allSourcesCount = [this] { return sources; };
        b.allSourcesFilteredCount = [this] { return sourcesFiltered; };
        b.registerIMessageHasPhotos = rec("registerIMessageHasPhotos");
        b.probeInstalledLibraries = rec("probeInstalledLibraries");
        b.displayWelcome = rec("displayWelcome");
        b.hasCompletedWelcomeScreen = [this] { return onboarded; };
        b.openPreferencesWindow = rec("openPreferencesWindow");
        b.openPreferencesWithAddFolder = rec("openPreferencesWithAddFolder");
        b.showAddFolderDialog = rec("showAddFolderDialog");
        b.openCameraRoll = rec("openCameraRoll");
        b.clearCookiesForLogout = rec("clearCookiesForLogout");
        b.checkForAlphaEnvironmentAvailable = rec("checkForAlphaEnvironmentAvailable");
        b.showAboutPanel = rec("showAboutPanel");
        b.updateLocale = rec("updateLocale");
        b.tr = [](const QString &s) { return s; };
        b.reporterStartup = rec("reporterStartup");
        auto event = [this](const char *kind) {
            return [this, kind](const QString &e, int mask) {
                record(QString::fromLatin1(kind) + QLatin1Char(':') + e);
                QMutexLocker l(&lock);
                events << qMakePair(e, mask);
            };
        };
        b.track = event("track");
        b.trackWithProperties = [this](const QString &e, int mask, const QVariantMap &p) {
            record(QStringLiteral("track:") + e);
            QMutexLocker l(&lock);
            events << qMakePair(e, mask);
            eventProperties[e] = p;
        };
        b.trackOncePerDay = event("trackOncePerDay");
        b.trackOnceEver = event("trackOnceEver");
        b.trackAndIncrement = event("trackAndIncrement");
        b.increment = [this](const QString &n) { record(QStringLiteral("increment:") + n); };
        b.setProperty = [this](const QString &n, const QVariant &v) {
            QMutexLocker l(&lock);
            properties[n] = v;
        };
        b.registerSuperProperties = [this](const QVariantMap &) { record(QStringLiteral("registerSuperProperties")); };
        b.reporterFlush = rec("reporterFlush");

        ShellEnvironment &e = ShellEnvironment::instance();
        e.now = [this] { return now(); };
        e.launchModifiers = [this] { return modifiers; };
        e.launchBundle = [this](const QString &bundle, const QStringList &args) {
            record(QStringLiteral("launchBundle"));
            QMutexLocker l(&lock);
            launches << qMakePair(bundle, args);
            return true;
        };
        e.exitEventLoop = [this] { ++exits; };
        e.forceTerminate = [this] { ++forceTerminations; };
        e.sleep = [](double) {};
        e.parentIsSessionManager = [this] { return sessionManagerParent; };
        e.removeFolder = [this](const QString &folder) {
            record(QStringLiteral("removeFolder"));
            if (!folderRemovable)
                return false;
            QDir(folder).removeRecursively();
            return !QFileInfo::exists(folder);
        };
    }
};

// A status item without a tray host: records what the controller shows.
class FakeTray : public TrayIconBackend
{
public:
    void setIcon(const QIcon &i) override
    {
        icon = i;
        ++iconSets;
    }
    void setToolTip(const QString &t) override { toolTip = t; }
    void show() override { visible = true; }
    void hide() override { visible = false; }
    bool isVisible() const override { return visible; }
    QRect geometry() const override { return QRect(100, 0, 22, 22); }
    void popUpMenu(QMenu *menu) override { popUps << menu; }
    void click() { Q_EMIT clicked(); }

    QIcon icon;
    int iconSets = 0;
    QString toolTip;
    bool visible = false;
    QList<QMenu *> popUps;
};
