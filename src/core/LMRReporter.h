#pragma once
// Analytics. Events are "Area: Phrase" strings sent to the destinations of a bit mask; bit 1 is
// the beacon, the only destination in this build, so other bits have no effect. Every call
// returns at once from any thread and never fails towards the caller: events wait in the
// beacon's persistent queue until a flush delivers them.
#include <QString>
#include <QVariant>
#include <QVariantMap>

class LMRReporter
{
public:
    enum Destination { DestinationBeacon = 1 };

    // Starts the beacon: its persistent queue and periodic flush.
    static void startup();

    static void track(const QString &event, int mask);
    // The properties are sent with the event.
    static void track(const QString &event, int mask, const QVariantMap &properties);
    // At most once per event name and calendar day (UTC).
    static void trackOncePerDay(const QString &event, int mask);
    // At most once per event name on this installation.
    static void trackOnceEver(const QString &event, int mask);
    static void trackOnceEver(const QString &event, int mask, const QVariantMap &properties);
    static void trackAndIncrement(const QString &event, int mask);
    static void trackAndIncrement(const QString &event, int mask, const QVariantMap &properties);
    static void trackAndSet(const QString &event, int mask);

    // Counters, profile properties and the explicit flush have no destination in this build.
    static void increment(const QString &name);
    static void increment(const QString &name, double by);
    static void set(const QString &name, const QVariant &value);
    static void registerSuperProperties(const QVariantMap &properties);
    static void flush();
};
