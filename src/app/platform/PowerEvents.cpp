#include "app/platform/PowerEvents.h"

#include "core/LGLog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace {
const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
}

PowerEvents::PowerEvents(QObject *parent) : QObject(parent) {}

bool PowerEvents::start()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface()
        || !bus.interface()->isServiceRegistered(kService).value())
        return false;
    bus.connect(kService, kPath, kManager, QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    bus.connect(kService, kPath, kManager, QStringLiteral("PrepareForShutdown"), this, SLOT(prepareForShutdown(bool)));
    takeInhibitor();
    return true;
}

void PowerEvents::takeInhibitor()
{
    if (m_inhibitor.isValid())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kManager, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:shutdown") << QStringLiteral("Lumora Hoistly")
         << QStringLiteral("Saving upload state") << QStringLiteral("delay");
    QDBusReply<QDBusUnixFileDescriptor> reply = QDBusConnection::systemBus().call(call, QDBus::Block, 3000);
    if (reply.isValid())
        m_inhibitor = reply.value();
    else
        LGLogInfo(QStringLiteral("POWER: no sleep inhibitor (%1)").arg(reply.error().message()));
}

void PowerEvents::prepareForSleep(bool starting)
{
    if (starting) {
        Q_EMIT willSleep();
        m_inhibitor = QDBusUnixFileDescriptor(); // lets the sleep go ahead
    } else {
        takeInhibitor();
        Q_EMIT didWake();
    }
}

void PowerEvents::prepareForShutdown(bool starting)
{
    if (!starting)
        return;
    Q_EMIT willPowerOff();
    m_inhibitor = QDBusUnixFileDescriptor();
}
