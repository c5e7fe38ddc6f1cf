#pragma once
// Tells when a camera, phone or memory card is mounted. The kernel marks the mount table as
// changed (an exceptional condition on /proc/self/mounts), so nothing polls while no volume
// comes or goes.
#include "platform/DeviceDetection.h"

#include <QObject>
#include <QSet>
#include <memory>

class QSocketNotifier;

class DeviceMonitor : public QObject
{
    Q_OBJECT
public:
    explicit DeviceMonitor(QObject *parent = nullptr);
    ~DeviceMonitor() override;

    // Remembers the volumes mounted now (they are not announced) and starts listening.
    void start();
    // Compares the removable volumes with the last look and announces the new ones.
    void rescan();

Q_SIGNALS:
    void deviceAttached(const QString &mountPoint, const QString &name);

private:
    QSet<QString> m_known;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
