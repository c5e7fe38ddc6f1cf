#include "NotificationBus.h"

#include "core/LGLog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QVariantMap>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

DBusNotificationSink::DBusNotificationSink(QObject *parent)
    : QObject(parent)
{
}

bool DBusNotificationSink::ensureConnected()
{
    if (m_connected)
        return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (!m_warned)
            LGLogInfo(QStringLiteral("NOTIFY: No session bus; notifications are not shown"));
        m_warned = true;
        return false;
    }
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(onNotificationClosed(uint, uint)));
    m_connected = true;
    return true;
}

void DBusNotificationSink::deliver(const UserNotification &n, std::function<void(quint32)> delivered)
{
    if (!ensureConnected()) {
        if (delivered)
            delivered(0);
        return;
    }
    QStringList actions;
    if (n.kind != UserNotification::Kind::DeviceAttached)
        actions << QStringLiteral("default") << QString();
    for (int i = 0; i < n.actionKeys.size(); ++i)
        actions << n.actionKeys.at(i) << n.actionLabels.value(i);

    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QCoreApplication::applicationName().toLower());
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << uint(0) << QString() << n.title << n.body << actions
         << hints << int(-1);

    // Never block the main thread on a notification daemon that is slow or absent.
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this, delivered, title = n.title](QDBusPendingCallWatcher *w) {
                         QDBusPendingReply<uint> reply = *w;
                         w->deleteLater();
                         if (reply.isError()) {
                             if (!m_warned)
                                 LGLogInfo(QStringLiteral("NOTIFY: Notification service unavailable (%1); going on without it")
                                               .arg(reply.error().message()));
                             m_warned = true;
                             if (delivered)
                                 delivered(0);
                             return;
                         }
                         if (delivered)
                             delivered(reply.value());
                     });
}

void DBusNotificationSink::withdraw(quint32 id)
{
    if (id == 0 || !ensureConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
    call << uint(id);
    QDBusConnection::sessionBus().asyncCall(call, 5000);
}

void DBusNotificationSink::onActionInvoked(uint id, const QString &actionKey)
{
    NotificationManager::didActivateNotificationId(id, actionKey);
}

void DBusNotificationSink::onNotificationClosed(uint id, uint)
{
    NotificationManager::notificationClosed(id);
}
