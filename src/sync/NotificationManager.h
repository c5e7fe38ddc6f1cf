#pragma once
// Desktop notifications: upload started, upload complete, and the offer to back up a device that
// was attached. Delivered through the session's notification service over D-Bus; without one
// the manager logs and the engine goes on.
#include <QList>
#include <QStringList>
#include <functional>
#include <QString>
#include <QtGlobal>

struct UserNotification
{
    enum class Kind { UploadStarted, UploadComplete, UploadStopped, DeviceAttached };
    Kind kind = Kind::UploadStarted;
    quint32 id = 0;            // the notification service's id (0 while not delivered)
    QString title;
    QString body;
    QStringList actionKeys;    // "upload", "notnow", "dontask" for the device offer
    QStringList actionLabels;
    QString devicePath;
    QString deviceName;
    QString photoId;           // upload complete: the photo a click opens when only one went up
    QString activatedAction;   // set when the user clicks: an action key, or "default"
};

// Where notifications go. The real one talks to org.freedesktop.Notifications; tests install
// a recorder.
class NotificationSink
{
public:
    virtual ~NotificationSink() = default;
    // Shows the notification; `delivered` is called (main thread) with the service's id, or 0
    // when it could not be shown.
    virtual void deliver(const UserNotification &n, std::function<void(quint32 id)> delivered) = 0;
    virtual void withdraw(quint32 id) = 0;
};

class NotificationManager
{
public:
    static void notifyUploadStarted(int files);
    // `lastPhotoId`: the service's id of the last photo confirmed.
    static void notifyUploadComplete(int files, const QString &lastPhotoId = QString());
    // A run that backed up `files` and stopped after errors with `left` still to send by itself
    // and `failed` that wait for the user's "Try again".
    static void notifyUploadStopped(int files, int left, int failed = 0);
    // Offers to back up a newly attached device, at most three times per device (counted in the
    // setting "NotifiedDevice-<name>"). Returns whether the offer was made.
    static bool offerDeviceUpload(const QString &devicePath, const QString &deviceName);

    // Withdraws every notification of this run that is still shown.
    static void retractAllNotifications();
    // A click on a delivered notification: its action, or the device offer's button.
    static void didActivateNotification(const UserNotification &notification);
    // The notification service reported a click (id and action key); finds the notification.
    static void didActivateNotificationId(quint32 id, const QString &actionKey);
    // The notification service closed a notification.
    static void notificationClosed(quint32 id);

    // Notifications delivered and not withdrawn or closed.
    static QList<UserNotification> deliveredNotifications();

    // Null restores the D-Bus sink.
    static void setSinkForTesting(NotificationSink *sink);
    static void resetForTesting();
};
