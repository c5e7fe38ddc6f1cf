#pragma once
// The default notification centre: named notifications with an optional object, delivered to
// observers on the thread that posts them (as the engine's notifications document where they post).
#include <QObject>
#include <QString>
#include <QVariant>
#include <functional>

class NotificationCenter : public QObject
{
    Q_OBJECT
public:
    static NotificationCenter *defaultCenter();
    static void post(const QString &name, const QVariant &object = {});
    // Posts on the main thread at a later turn of the event loop.
    static void postOnMain(const QString &name, const QVariant &object = {});
    // Calls the handler for every post of the name while the context object lives.
    static QMetaObject::Connection observe(const QString &name, QObject *context,
                                           std::function<void(const QVariant &object)> handler);

Q_SIGNALS:
    void posted(const QString &name, const QVariant &object);
};

// Names of the notifications that cross subsystems.
namespace Notifications {
inline const QString StatusUpdated = QStringLiteral("LumoraDriveStatusUpdatedNotification");
inline const QString PausedStateChanged = QStringLiteral("LumoraDrivePausedStateChangedNotification");
inline const QString RecentlyUploadedChanged = QStringLiteral("kLumoraHoistlyDidUpdateRecentlyUploaded");
inline const QString PhotoUploadedCountChanged = QStringLiteral("kLumoraDriveNotificationPhotoUploadedCountChanged");
inline const QString LoginTokenReady = QStringLiteral("LumoraDriveLoginTokenReadyNotification");
inline const QString ReachabilityChanged = QStringLiteral("kNetworkReachabilityChangedNotification");
} // namespace Notifications
