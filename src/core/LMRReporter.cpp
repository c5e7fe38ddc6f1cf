#include "LMRReporter.h"

#include "QBeacon.h"
#include "Settings.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>

namespace {
// Guards the check-then-record of the once-only events, so two threads cannot both send one.
QMutex g_onceLock;

QString dayKey(const QString &event) { return QStringLiteral("LMRReporterLastDay-") + event; }
QString everKey(const QString &event) { return QStringLiteral("LMRReporterSentOnce-") + event; }
} // namespace

void LMRReporter::startup() { QBeacon::shared()->start(); }

void LMRReporter::track(const QString &event, int mask) { track(event, mask, {}); }

void LMRReporter::track(const QString &event, int mask, const QVariantMap &properties)
{
    if ((mask & DestinationBeacon) && !event.isEmpty())
        QBeacon::shared()->enqueue(event, properties);
}

void LMRReporter::trackOncePerDay(const QString &event, int mask)
{
    if (!(mask & DestinationBeacon) || event.isEmpty())
        return;
    const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
    {
        QMutexLocker locker(&g_onceLock);
        if (Settings::stringForKey(dayKey(event)) == today)
            return;
        Settings::setObject(today, dayKey(event));
    }
    track(event, mask);
}

void LMRReporter::trackOnceEver(const QString &event, int mask) { trackOnceEver(event, mask, {}); }

void LMRReporter::trackOnceEver(const QString &event, int mask, const QVariantMap &properties)
{
    if (!(mask & DestinationBeacon) || event.isEmpty())
        return;
    {
        QMutexLocker locker(&g_onceLock);
        if (Settings::boolForKey(everKey(event)))
            return;
        Settings::setBool(true, everKey(event));
    }
    track(event, mask, properties);
}

void LMRReporter::trackAndIncrement(const QString &event, int mask) { trackAndIncrement(event, mask, {}); }

void LMRReporter::trackAndIncrement(const QString &event, int mask, const QVariantMap &properties)
{
    track(event, mask, properties);
    increment(event);
}

void LMRReporter::trackAndSet(const QString &event, int mask) { track(event, mask); }

void LMRReporter::increment(const QString &name) { increment(name, 1); }
void LMRReporter::increment(const QString &, double) {}
void LMRReporter::set(const QString &, const QVariant &) {}
void LMRReporter::registerSuperProperties(const QVariantMap &) {}
void LMRReporter::flush() {}
