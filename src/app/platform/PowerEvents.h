#pragma once
// Sleep, wake and power-off from logind over the system bus. A delay inhibitor is held while
// awake, so the sleep handler runs before the machine sleeps; it is released once the handler
// ran and taken again on wake. Without logind (containers, other init systems) nothing is
// reported and the application works on.
#include <QDBusUnixFileDescriptor>
#include <QObject>

class PowerEvents : public QObject
{
    Q_OBJECT
public:
    explicit PowerEvents(QObject *parent = nullptr);
    // False when logind is not reachable.
    bool start();
    bool hasInhibitor() const { return m_inhibitor.isValid(); }

Q_SIGNALS:
    void willSleep();
    void didWake();
    void willPowerOff();

private Q_SLOTS:
    void prepareForSleep(bool starting);
    void prepareForShutdown(bool starting);

private:
    void takeInhibitor();
    QDBusUnixFileDescriptor m_inhibitor;
};
