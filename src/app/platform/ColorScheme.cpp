#include "app/platform/ColorScheme.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QGuiApplication>
#include <QPalette>
#include <QPointer>

namespace {
int g_override = -1;
const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettings = QStringLiteral("org.freedesktop.portal.Settings");

// 0 no preference, 1 dark, 2 light; -1 when no portal answers.
int portalColorScheme()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return -1;
    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kSettings, QStringLiteral("Read"));
    call << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    const QDBusMessage reply = bus.call(call, QDBus::Block, 500);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return -1;
    QVariant v = reply.arguments().constFirst();
    // The value arrives as a variant inside a variant.
    while (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
        v = v.value<QDBusVariant>().variant();
    bool ok = false;
    const int scheme = int(v.toUInt(&ok));
    return ok ? scheme : -1;
}
} // namespace

ColorScheme::ColorScheme(QObject *parent) : QObject(parent)
{
    QDBusConnection::sessionBus().connect(kPortal, kPortalPath, kSettings, QStringLiteral("SettingChanged"), this,
                                          SLOT(settingChanged(QString, QString, QDBusVariant)));
}

ColorScheme *ColorScheme::instance()
{
    static QPointer<ColorScheme> s;
    if (!s)
        s = new ColorScheme(QCoreApplication::instance());
    return s;
}

bool ColorScheme::isDark()
{
    if (g_override >= 0)
        return g_override == 1;
    const int scheme = portalColorScheme();
    if (scheme == 1)
        return true;
    if (scheme == 2)
        return false;
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
    return false;
}

void ColorScheme::setOverrideForTesting(int dark) { g_override = dark; }

void ColorScheme::settingChanged(const QString &ns, const QString &key, const QDBusVariant &)
{
    if (ns == QLatin1String("org.freedesktop.appearance") && key == QLatin1String("color-scheme"))
        Q_EMIT changed();
}
