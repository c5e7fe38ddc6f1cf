#include "LumoraDrive.h"

#include "EngineLinks.h"
#include "LongTimer.h"
#include "LumoraMetaSyncer.h"
#include "LumoraUploader.h"
#include "StatusModel.h"

#include "NotificationManager.h"

#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "platform/DeviceMonitor.h"
#include "platform/Endpoints.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "service/LumoraKit.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <chrono>

namespace {

const QString kPausedUntilKey = QStringLiteral("PausedUntil");
// The longest timed pause the menus offer. A stored end further ahead than that, and nearer than
// what "until I resume" sets (a hundred years), was set while the clock was ahead.
constexpr qint64 kLongestTimedPauseSeconds = 7LL * 24 * 3600;
constexpr qint64 kOpenEndedPauseSeconds = 50LL * 365 * 24 * 3600;

QDateTime storedPauseEnd()
{
    const QVariant v = Settings::objectForKey(kPausedUntilKey);
    if (v.isNull())
        return {};
    QDateTime d = v.toDateTime();
    if (!d.isValid())
        d = QDateTime::fromString(v.toString(), Qt::ISODate);
    return d.isValid() ? d.toUTC() : QDateTime();
}

// A pause never ends later than the longest pause chosen now would.
QDateTime clampedPauseEnd(const QDateTime &until, const QDateTime &now)
{
    const qint64 ahead = now.secsTo(until);
    if (ahead > kLongestTimedPauseSeconds && ahead < kOpenEndedPauseSeconds)
        return now.addSecs(kLongestTimedPauseSeconds);
    return until;
}

struct DriveState
{
    QMutex lock;
    StatusModel model;              // guarded by lock
    bool hasModel = false;          // main thread
    bool postPending = false;       // main thread
    bool lastAnimate = false;       // main thread
    bool animateKnown = false;      // main thread
    int posts = 0;                  // main thread
    bool started = false;           // main thread
    bool lastPausedDueToError = false;
    int heldBack = 0;               // main thread: files the loop does not take, as last counted
    QPointer<LongTimer> pauseTimer; // main thread
    qint64 pauseSliceMs = 3600LL * 1000;
    QPointer<QObject> observerContext;
};

DriveState &state()
{
    static DriveState s;
    return s;
}

std::atomic_bool g_statusQueued { false };
// Background callers (an upload's progress, each file's start and end) come faster than anyone
// reads the status: their recomputations are at least this far apart.
constexpr qint64 kBackgroundStatusSpacingMs = 50;
std::atomic<qint64> g_lastBackgroundStatusMs { 0 };

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

StatusModel snapshot()
{
    DriveState &s = state();
    QMutexLocker locker(&s.lock);
    return s.model;
}

void postStatusNow()
{
    DriveState &s = state();
    ++s.posts;
    NotificationCenter::post(Notifications::StatusUpdated);
}

// At most one post pending. While a file uploads and its percentage shows, the post goes out at
// once so the progress keeps pace; otherwise it waits 0.03 s so bursts of changes become one.
void scheduleStatusPost(bool immediate)
{
    DriveState &s = state();
    if (s.postPending)
        return;
    if (immediate) {
        postStatusNow();
        return;
    }
    s.postPending = true;
    dispatch_main_delay([] {
        state().postPending = false;
        postStatusNow();
    }, 0.03);
}

void recomputeStatus()
{
    DriveState &s = state();
    StatusInputs in = EngineLinks::gatherStatusInputs();
    in.pausedUntil = LumoraDrive::pausedUntil();
    in.uploaderPausedDueToErrors = LumoraUploader::pausedDueToErrors();
    in.uploaderRetryAt = LumoraUploader::errorRetryAt();
    in.accountFull = LumoraUploader::accountFull();
    in.filesToUpload = LumoraUploader::filesWaiting();
    in.uploading = LumoraUploader::isUploadingFile();
    in.uploadingName = LumoraUploader::uploadingFileName();
    in.uploadPercent = LumoraUploader::uploadProgress();
    in.uploadedThisRun = LumoraUploader::uploadedThisRun();
    in.pendingTickets = LumoraUploader::pendingTickets();
    in.ticketChecksFailing = LumoraUploader::ticketChecksFailing();
    in.serverBusyUntil = LumoraUploader::serverBusyUntil();
    in.now = LongTimer::now();
    in.heldBack = s.heldBack;

    StatusModel next = composeStatus(in);
    // The catalogue is walked only for lines that tell what is not on the service, and while
    // the loop runs only before they may say that all is uploaded.
    if (next.readsNotOnService && (next.complete || !LumoraUploader::isRunning())) {
        in.left = EngineLinks::countNotOnService();
        in.heldBack = s.heldBack = qMax(0, in.left.files() - in.left.heldForUser() - in.left.waiting - in.left.awaitingSource);
        LumoraUploader::setFilesHeldBack(in.heldBack);
        next = composeStatus(in);
    }
    bool changed;
    {
        QMutexLocker locker(&s.lock);
        changed = !s.hasModel || !next.sameLines(s.model);
        s.model = next;
        s.hasModel = true;
    }
    if (changed)
        scheduleStatusPost(next.showsUploadPercent);

    if (!s.animateKnown || s.lastAnimate != next.animateTray) {
        s.animateKnown = true;
        s.lastAnimate = next.animateTray;
        UiHooks::instance().setAnimateTrayIcon(next.animateTray);
    }

    // The paused-after-errors state is derived; tell observers when it flips.
    const bool pde = LumoraDrive::pausedDueToError();
    if (pde != s.lastPausedDueToError) {
        s.lastPausedDueToError = pde;
        NotificationCenter::postOnMain(Notifications::PausedStateChanged);
    }
}

void checkPauseAgainstClock();

void armPauseTimer()
{
    DriveState &s = state();
    const QDateTime until = LumoraDrive::pausedUntil();
    if (!until.isValid()) {
        if (s.pauseTimer)
            s.pauseTimer->stop();
        return;
    }
    if (!s.pauseTimer) {
        s.pauseTimer = new LongTimer(QCoreApplication::instance());
        s.pauseTimer->setClockChangedHandler([] { checkPauseAgainstClock(); });
    }
    s.pauseTimer->setSliceMs(s.pauseSliceMs);
    s.pauseTimer->start(until, [] {
        LGLogInfo(QStringLiteral("DRIVE: Pause ended"));
        LumoraDrive::setPausedUntil(QDateTime());
    });
}

// After the clock moved or the machine slept: a pause end beyond the longest choice is brought
// back (and stored so, for the next start), and one that passed ends now.
void checkPauseAgainstClock()
{
    const QDateTime stored = storedPauseEnd();
    if (!stored.isValid())
        return;
    const QDateTime until = clampedPauseEnd(stored, LongTimer::now());
    if (until != stored) {
        LGLogInfo(QStringLiteral("DRIVE: Pause end %1 lies beyond the longest pause (the clock was moved); ending it at %2")
                      .arg(stored.toString(Qt::ISODate), until.toString(Qt::ISODate)));
        Settings::setObject(until.toString(Qt::ISODateWithMs), kPausedUntilKey);
        Settings::synchronize();
        NotificationCenter::postOnMain(Notifications::PausedStateChanged);
    }
    armPauseTimer();
    LumoraDrive::updateStatus();
}

// The production secret is never stored as one literal: it is rebuilt from two masked halves.
QString assembleProductionSecret()
{
    static const unsigned char masked[] = { 0x5c, 0x0b, 0x59, 0x5e, 0x0a, 0x5a, 0x0f, 0x5d,
                                            0x0e, 0x5f, 0x09, 0x58, 0x5b, 0x0c, 0x0d, 0x5e };
    static const unsigned char mask[] = { 0x6d, 0x3f, 0x6c, 0x68, 0x3e, 0x6b, 0x38, 0x6e,
                                          0x37, 0x69, 0x3b, 0x6a, 0x68, 0x3a, 0x3c, 0x6f };
    QByteArray out;
    out.reserve(sizeof(masked));
    for (size_t i = 0; i < sizeof(masked); ++i)
        out.append(char(masked[i] ^ mask[i]));
    return QString::fromLatin1(out);
}

} // namespace

// ---- Session ----

void LumoraDrive::startup()
{
    if (!isMainThread()) {
        dispatch_main_sync([] { startup(); });
        return;
    }
    DriveState &s = state();
    if (s.started)
        return;
    s.started = true;

    const bool alpha = Settings::boolForKey(QStringLiteral("alphaEnv"));
    // The service named is the one requests go to: a configured one (the local double, a test
    // server) replaces the production hosts.
    const QString api = Endpoints::apiBase().toString(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery);
    if (Endpoints::overrideBase().isEmpty())
        LGLogInfo(QStringLiteral("DRIVE: Starting (%1 environment, %2)").arg(alpha ? QStringLiteral("alpha") : QStringLiteral("production"), api));
    else
        LGLogInfo(QStringLiteral("DRIVE: Starting (configured service %1)").arg(api));
    EngineLinks::initializeClient(apiKey(alpha), apiSecret(alpha), alpha);
    EngineLinks::installCatalogueHooks();
    EngineLinks::armMirrorResync();

    // Status follows the pieces that feed it.
    if (!s.observerContext)
        s.observerContext = new QObject(QCoreApplication::instance());
    NotificationCenter::observe(Notifications::ReachabilityChanged, s.observerContext, [](const QVariant &) {
        updateStatus();
        if (EngineLinks::isOnline()) {
            // A refresh that failed while offline is not left to its back-off.
            EngineLinks::retryFailedMirrorRefresh();
            LumoraUploader::resumeAfterErrors();
            dispatch_main_async([] { runQueues(); });
        }
    });

    // A camera, phone or card that is plugged in while we run is offered for upload.
    if (!s.observerContext->findChild<DeviceMonitor *>()) {
        auto *devices = new DeviceMonitor(s.observerContext);
        QObject::connect(devices, &DeviceMonitor::deviceAttached, devices,
                         [](const QString &path, const QString &name) { NotificationManager::offerDeviceUpload(path, name); });
        devices->start();
    }

    updateStatus();
    EngineLinks::refreshStoreThenMirror();
    EngineLinks::startScanner();
    LumoraUploader::startTimers();
    LumoraUploader::run();

    QPointer<QObject> ctx = s.observerContext;
    dispatch_main_async([ctx] {
        if (ctx)
            EngineLinks::startLocalLinkReachability();
    });

    if (pausedUntil().isValid()) {
        LGLogInfo(QStringLiteral("DRIVE: Paused until %1").arg(pausedUntil().toString(Qt::ISODate)));
        checkPauseAgainstClock();
    }
}

void LumoraDrive::shutdown()
{
    if (!isMainThread()) {
        dispatch_main_sync([] { shutdown(); });
        return;
    }
    LGLogInfo(QStringLiteral("DRIVE: Shutting down"));
    LumoraUploader::stop();
    EngineLinks::stopFolderMonitors();
    DriveState &s = state();
    if (s.pauseTimer)
        s.pauseTimer->stop();
}

void LumoraDrive::runQueues()
{
    if (!isMainThread()) {
        dispatch_main_async([] { runQueues(); });
        return;
    }
    LumoraMetaSyncer::run();
    EngineLinks::startScanner();
}

void LumoraDrive::refreshLumoraData()
{
    EngineLinks::refreshMirror();
    updateStatus();
}

void LumoraDrive::refreshManually()
{
    LGLogInfo(QStringLiteral("DRIVE: Refresh requested"));
    EngineLinks::trackInteraction(QStringLiteral("Misc: Manual refresh"));
    if (LumoraKit::sharedLumoraKit()->credentialsRefused() != 0) {
        // Refreshing with credentials the service refuses would only be refused again.
        UiHooks::instance().openSignIn();
        return;
    }
    if (LumoraUploader::pausedDueToErrors() || LumoraUploader::accountFull() || snapshot().retryOffered) {
        LumoraUploader::resetFailedUploads();
        LumoraUploader::clearAccountFull();
        pausedStateChanged();
    }
    LumoraUploader::clearServerBusy();
    refreshLumoraData();
}

// ---- Pause ----

QDateTime LumoraDrive::pausedUntil()
{
    const QDateTime stored = storedPauseEnd();
    return stored.isValid() ? clampedPauseEnd(stored, LongTimer::now()) : QDateTime();
}

void LumoraDrive::systemDidWake()
{
    if (!isMainThread()) {
        dispatch_main_async([] { systemDidWake(); });
        return;
    }
    checkPauseAgainstClock();
}

bool LumoraDrive::paused()
{
    return pausedUntil().isValid();
}

bool LumoraDrive::pausedDueToError()
{
    // A refused sign-in counts too: the popover's resume button then offers the sign-in.
    return LumoraUploader::pausedDueToErrors() || LumoraUploader::accountFull()
           || !EngineLinks::mirrorCompletedThisSession() || LumoraKit::sharedLumoraKit()->credentialsRefused() != 0;
}

void LumoraDrive::setPausedUntil(const QDateTime &date)
{
    if (!isMainThread()) {
        dispatch_main_sync([date] { setPausedUntil(date); });
        return;
    }
    const QDateTime before = pausedUntil();
    if (date.isValid()) {
        Settings::setObject(date.toUTC().toString(Qt::ISODateWithMs), kPausedUntilKey);
        LGLogInfo(QStringLiteral("DRIVE: Paused until %1").arg(date.toUTC().toString(Qt::ISODate)));
        // A pause stops the file in flight; it stays waiting and goes first after the resume.
        LumoraUploader::cancelCurrentUpload();
    } else {
        Settings::removeObjectForKey(kPausedUntilKey);
        if (before.isValid())
            LGLogInfo(QStringLiteral("DRIVE: Resumed"));
    }
    Settings::synchronize();
    armPauseTimer();
    NotificationCenter::postOnMain(Notifications::PausedStateChanged);
    updateStatus();
    if (!date.isValid())
        runQueues();
}

void LumoraDrive::pausedStateChanged()
{
    NotificationCenter::postOnMain(Notifications::PausedStateChanged);
    updateStatus();
}

// ---- Status model ----

void LumoraDrive::updateStatus()
{
    if (!QCoreApplication::instance())
        return;
    if (isMainThread()) {
        recomputeStatus();
        return;
    }
    // Background callers (upload progress) are folded into one recomputation per turn.
    if (g_statusQueued.exchange(true))
        return;
    const auto recompute = [] {
        g_statusQueued = false;
        g_lastBackgroundStatusMs = steadyMs();
        recomputeStatus();
    };
    const qint64 wait = g_lastBackgroundStatusMs + kBackgroundStatusSpacingMs - steadyMs();
    if (wait > 0)
        dispatch_main_delay(recompute, wait / 1000.0);
    else
        dispatch_main_async(recompute);
}

QString LumoraDrive::statusLine1() { return snapshot().line1; }
QString LumoraDrive::statusLine2() { return snapshot().line2; }
QString LumoraDrive::statusLine3() { return snapshot().line3; }
QString LumoraDrive::statusLineShort() { return snapshot().lineShort; }
QString LumoraDrive::statusResumeMessage() { return snapshot().resumeMessage; }
bool LumoraDrive::statusRetryOffered() { return snapshot().retryOffered; }
double LumoraDrive::statusPercent() { return snapshot().percent; }
int LumoraDrive::statusFilesToGo() { return snapshot().toGo; }
bool LumoraDrive::statusIsRunning() { return snapshot().running; }
bool LumoraDrive::statusIsScanning() { return snapshot().scanning; }
bool LumoraDrive::statusIsComplete() { return snapshot().complete; }

// ---- Environment ----

QString LumoraDrive::alphaOrWWW()
{
    return Settings::boolForKey(QStringLiteral("alphaEnv")) ? QStringLiteral("alpha") : QStringLiteral("www");
}

QString LumoraDrive::APIS()
{
    return assembleProductionSecret();
}

QString LumoraDrive::apiKey(bool alphaEnv)
{
    const QString configured = Endpoints::configuredService().apiKey;
    if (!configured.isEmpty())
        return configured;
    return alphaEnv ? QStringLiteral("a7c3e1f09b2d4c6e8a0f1b3d5c7e9a21")
                    : QStringLiteral("5e2b8d0c4a6f1e3d7b9c0a2e4f6d8b13");
}

QString LumoraDrive::apiSecret(bool alphaEnv)
{
    const QString configured = Endpoints::configuredService().apiSecret;
    if (!configured.isEmpty())
        return configured;
    return alphaEnv ? QStringLiteral("3f9a1c7e5b2d8064") : APIS();
}

// ---- Tests ----

void LumoraDrive::resetForTesting()
{
    DriveState &s = state();
    if (s.pauseTimer) {
        s.pauseTimer->stop();
        delete s.pauseTimer.data();
    }
    delete s.observerContext.data();
    {
        QMutexLocker locker(&s.lock);
        s.model = StatusModel();
        s.hasModel = false;
    }
    s.heldBack = 0;
    s.postPending = false;
    s.animateKnown = false;
    s.lastAnimate = false;
    s.posts = 0;
    s.started = false;
    s.lastPausedDueToError = false;
    g_statusQueued = false;
}

int LumoraDrive::statusPostsForTesting() { return state().posts; }

void LumoraDrive::setPauseTimerSliceMsForTesting(qint64 ms) { state().pauseSliceMs = ms; }

int LumoraDrive::pauseTimerSlicesForTesting()
{
    DriveState &s = state();
    return s.pauseTimer ? s.pauseTimer->slicesElapsed() : 0;
}
