#include "NotificationManager.h"

#include "NotificationBus.h"

#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/Localization.h"
#include "core/Settings.h"
#include "core/UiHooks.h"

#include <QCoreApplication>
#include <QPointer>
#include <atomic>

namespace {
// User-visible text goes through the translation table, keyed by the English phrase.
inline QString L(const char *english) { return Localization::tr(QString::fromUtf8(english)); }
} // namespace


namespace {

constexpr int kMaxDeviceOffers = 3;

struct ManagerState
{
    NotificationSink *testSink = nullptr;
    QPointer<DBusNotificationSink> bus;
    QList<UserNotification> delivered; // main thread
    std::atomic_int generation { 0 };  // drops answers that arrive after a reset
};

ManagerState &state()
{
    static ManagerState s;
    return s;
}

NotificationSink *sink()
{
    ManagerState &s = state();
    if (s.testSink)
        return s.testSink;
    if (!s.bus)
        s.bus = new DBusNotificationSink(QCoreApplication::instance());
    return s.bus.data();
}

QString deviceKey(const QString &deviceName)
{
    return QStringLiteral("NotifiedDevice-%1").arg(deviceName);
}

void withdrawStarted()
{
    ManagerState &s = state();
    for (qsizetype i = s.delivered.size() - 1; i >= 0; --i) {
        if (s.delivered.at(i).kind != UserNotification::Kind::UploadStarted)
            continue;
        sink()->withdraw(s.delivered.at(i).id);
        s.delivered.removeAt(i);
    }
}

void show(UserNotification n)
{
    const int generation = state().generation;
    dispatch_main_async([n, generation]() mutable {
        if (generation != state().generation)
            return;
        if (n.kind == UserNotification::Kind::UploadStarted)
            withdrawStarted(); // a run that grew says its new count in place of the old one
        sink()->deliver(n, [n, generation](quint32 id) mutable {
            ManagerState &st = state();
            if (id == 0 || generation != st.generation)
                return;
            n.id = id;
            st.delivered.append(n);
        });
    });
}

} // namespace

void NotificationManager::notifyUploadStarted(int files)
{
    if (files <= 0)
        return;
    UserNotification n;
    n.kind = UserNotification::Kind::UploadStarted;
    n.title = L("Uploading to Lumora");
    n.body = files == 1 ? L("Backing up 1 file privately to Lumora.")
                        : L("Backing up %1 files privately to Lumora.").arg(files);
    show(n);
}

void NotificationManager::notifyUploadComplete(int files, const QString &lastPhotoId)
{
    if (files <= 0)
        return;
    UserNotification n;
    n.kind = UserNotification::Kind::UploadComplete;
    n.title = L("Upload complete");
    n.body = files == 1 ? L("1 file was backed up to Lumora.")
                        : L("%1 files were backed up to Lumora.").arg(files);
    n.photoId = files == 1 ? lastPhotoId : QString();
    show(n);
}

void NotificationManager::notifyUploadStopped(int files, int left, int failed)
{
    if (files <= 0)
        return;
    UserNotification n;
    n.kind = UserNotification::Kind::UploadStopped;
    n.title = L("Uploading stopped after errors");
    const QString done = files == 1 ? L("1 file was backed up to Lumora.") : L("%1 files were backed up to Lumora.").arg(files);
    const QString rest = left == 1 ? L("1 is not uploaded yet; Hoistly tries again by itself.")
                                   : L("%1 are not uploaded yet; Hoistly tries again by itself.").arg(left);
    // Files that failed three times wait for the user's "Try again", not for the app.
    const QString given = failed == 1 ? L("1 could not be uploaded; choose Try again to send it again.")
                                      : L("%1 could not be uploaded; choose Try again to send them again.").arg(failed);
    QStringList body{done};
    if (left > 0)
        body << rest;
    if (failed > 0)
        body << given;
    n.body = body.join(QLatin1Char(' '));
    show(n);
}

bool NotificationManager::offerDeviceUpload(const QString &devicePath, const QString &deviceName)
{
    if (devicePath.isEmpty())
        return false;
    const QString name = deviceName.isEmpty() ? devicePath.section(QLatin1Char('/'), -1) : deviceName;
    const QString key = deviceKey(name);
    if (Settings::intForKey(key) >= kMaxDeviceOffers)
        return false;
    Settings::incrementIntForKey(key);

    UserNotification n;
    n.kind = UserNotification::Kind::DeviceAttached;
    n.title = L("Lumora Hoistly");
    n.body = L("Found \"%@\". Upload this device privately to Lumora?").replace(QStringLiteral("%@"), name);
    n.actionKeys = {QStringLiteral("upload"), QStringLiteral("notnow"), QStringLiteral("dontask")};
    n.actionLabels = {L("Upload"), L("Not now"), L("Don't ask again")};
    n.devicePath = devicePath;
    n.deviceName = name;
    LGLogInfo(QStringLiteral("NOTIFY: Offering to upload device %1").arg(name));
    show(n);
    return true;
}

void NotificationManager::retractAllNotifications()
{
    if (!isMainThread()) {
        dispatch_main_sync([] { retractAllNotifications(); });
        return;
    }
    ManagerState &s = state();
    const QList<UserNotification> shown = s.delivered;
    s.delivered.clear();
    for (const UserNotification &n : shown)
        sink()->withdraw(n.id);
}

void NotificationManager::didActivateNotification(const UserNotification &n)
{
    const QString action = n.activatedAction.isEmpty() ? QStringLiteral("default") : n.activatedAction;
    LGLogInfo(QStringLiteral("NOTIFY: Activated %1").arg(action));
    if (n.kind == UserNotification::Kind::DeviceAttached) {
        if (action == QLatin1String("upload") || action == QLatin1String("default")) {
            UiHooks::instance().addSourcePath(n.devicePath);
        } else if (action == QLatin1String("dontask")) {
            Settings::setInt(kMaxDeviceOffers, deviceKey(n.deviceName));
        }
        return;
    }
    if (n.kind == UserNotification::Kind::UploadComplete) {
        // One photo: its page; several: the camera roll, where they are.
        if (!n.photoId.isEmpty())
            UiHooks::instance().openPhotoOnWeb(n.photoId);
        else
            UiHooks::instance().openCameraRoll();
        return;
    }
    UiHooks::instance().openPreferences();
}

void NotificationManager::didActivateNotificationId(quint32 id, const QString &actionKey)
{
    ManagerState &s = state();
    for (int i = 0; i < s.delivered.size(); ++i) {
        if (s.delivered.at(i).id != id)
            continue;
        UserNotification n = s.delivered.takeAt(i);
        n.activatedAction = actionKey;
        didActivateNotification(n);
        return;
    }
}

void NotificationManager::notificationClosed(quint32 id)
{
    ManagerState &s = state();
    for (int i = 0; i < s.delivered.size(); ++i) {
        if (s.delivered.at(i).id == id) {
            s.delivered.removeAt(i);
            return;
        }
    }
}

QList<UserNotification> NotificationManager::deliveredNotifications()
{
    return state().delivered;
}

void NotificationManager::setSinkForTesting(NotificationSink *sinkForTests)
{
    state().testSink = sinkForTests;
}

void NotificationManager::resetForTesting()
{
    ManagerState &s = state();
    s.delivered.clear();
    ++s.generation;
}
