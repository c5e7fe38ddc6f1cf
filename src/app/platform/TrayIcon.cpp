#include "app/platform/TrayIcon.h"

#include "core/LGLog.h"

#include <QCursor>
#include <QGuiApplication>
#include <QStyleHints>
#include <QMenu>
#include <QSystemTrayIcon>

QtTrayIconBackend::QtTrayIconBackend(QObject *parent)
    : TrayIconBackend(parent), m_icon(new QSystemTrayIcon(this))
{
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context
            && reason != QSystemTrayIcon::DoubleClick)
            return;
        // An XEmbed tray reports a double-click as click, click, double-click, and some hosts
        // send one activation per click: activations closer together than a double-click are
        // one gesture, and only its first one counts.
        const qint64 now = clock ? clock() : m_steady.elapsed();
        const bool sameGesture = m_lastActivation >= 0 && now - m_lastActivation <= QGuiApplication::styleHints()->mouseDoubleClickInterval();
        m_lastActivation = now;
        if (!sameGesture)
            Q_EMIT clicked();
    });
    m_steady.start();
}

void QtTrayIconBackend::setIcon(const QIcon &icon) { m_icon->setIcon(icon); }
void QtTrayIconBackend::setToolTip(const QString &toolTip) { m_icon->setToolTip(toolTip); }
void QtTrayIconBackend::show()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        LGLogInfo(QStringLiteral("TRAY: the desktop shows no tray icons; the status item stays hidden until it does"));
    m_icon->show();
}
void QtTrayIconBackend::hide() { m_icon->hide(); }
bool QtTrayIconBackend::isVisible() const { return m_icon->isVisible(); }
QRect QtTrayIconBackend::geometry() const { return m_icon->geometry(); }

void QtTrayIconBackend::popUpMenu(QMenu *menu)
{
    if (!menu)
        return;
    const QRect g = geometry();
    menu->popup(g.isValid() && !g.isEmpty() ? g.bottomLeft() : QCursor::pos());
}
