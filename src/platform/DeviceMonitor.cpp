#include "DeviceMonitor.h"

#include "core/LGLog.h"

#include <QSocketNotifier>
#include <fcntl.h>
#include <unistd.h>

DeviceMonitor::DeviceMonitor(QObject *parent) : QObject(parent) {}

DeviceMonitor::~DeviceMonitor()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void DeviceMonitor::start()
{
    m_known.clear();
    for (const RemovableDevice &d : DeviceDetection::removableDevices())
        m_known.insert(d.mountPoint);
    if (m_fd >= 0)
        return;
    m_fd = ::open("/proc/self/mounts", O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        LGLogInfo(QStringLiteral("MONITOR: No mount table to watch; devices are not announced"));
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Exception);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        // The change is acknowledged by reading the table again from its start.
        char buffer[4096];
        ::lseek(m_fd, 0, SEEK_SET);
        while (::read(m_fd, buffer, sizeof buffer) > 0) {
        }
        rescan();
    });
}

void DeviceMonitor::rescan()
{
    QSet<QString> now;
    for (const RemovableDevice &d : DeviceDetection::removableDevices()) {
        now.insert(d.mountPoint);
        if (!m_known.contains(d.mountPoint)) {
            LGLogInfo(QStringLiteral("MONITOR: Device attached: %1").arg(d.mountPoint));
            Q_EMIT deviceAttached(d.mountPoint, d.name);
        }
    }
    m_known = now;
}
