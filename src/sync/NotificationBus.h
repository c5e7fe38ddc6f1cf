#pragma once
// The freedesktop notification service on the session bus (org.freedesktop.Notifications).
#include "NotificationManager.h"

#include <QObject>

class DBusNotificationSink : public QObject, public NotificationSink
{
    Q_OBJECT
public:
    explicit DBusNotificationSink(QObject *parent = nullptr);
    void deliver(const UserNotification &n, std::function<void(quint32 id)> delivered) override;
    void withdraw(quint32 id) override;

private Q_SLOTS:
    void onActionInvoked(uint id, const QString &actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    bool ensureConnected();
    bool m_connected = false;
    bool m_warned = false;
};
