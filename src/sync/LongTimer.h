#pragma once
// A one-shot timer for a wall-clock moment that may lie years ahead ("pause until I resume").
// Qt timers take at most ~24 days and follow the monotonic clock, which stands still while the
// machine sleeps, so the wait is cut into slices and the wall clock is checked after each one.
// Beside them a kernel timer on the wall clock wakes us at the moment itself (also when it passed
// during a sleep) and when the clock is set, so neither a wake nor a moved clock waits for the
// end of a slice.
#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <functional>

class QSocketNotifier;

class LongTimer : public QObject
{
    Q_OBJECT
public:
    explicit LongTimer(QObject *parent = nullptr);
    ~LongTimer() override;

    // Calls `fired` once, on this object's thread, when the wall clock reaches `when` (at the next
    // turn of the event loop when it already has). Replaces any earlier arming.
    void start(const QDateTime &when, std::function<void()> fired);
    void stop();
    bool isActive() const { return m_timer.isActive(); }
    QDateTime fireDate() const { return m_when; }
    // Looks at the wall clock again now (after a wake): fires when the moment has passed.
    void recheck() { arm(); }
    // Called when the wall clock was set (before the moment is looked at again).
    void setClockChangedHandler(std::function<void()> handler) { m_clockChanged = std::move(handler); }

    // The wall clock, as every pause decision reads it (UTC). Tests move it.
    static QDateTime now();
    static void setClockForTesting(std::function<QDateTime()> clock);

    // Longest single wait, in milliseconds (one hour by default; tests shorten it).
    void setSliceMs(qint64 ms) { m_sliceMs = ms > 0 ? ms : 1; }
    qint64 sliceMs() const { return m_sliceMs; }
    // How often the underlying timer fired (tests check the re-arming).
    int slicesElapsed() const { return m_slices; }

private:
    void arm();
    void armWallClock();
    void wallClockReadable();

    QTimer m_timer;
    QDateTime m_when;
    std::function<void()> m_fired;
    std::function<void()> m_clockChanged;
    qint64 m_sliceMs = 3600LL * 1000;
    int m_slices = 0;
    int m_wallFd = -1;
    QSocketNotifier *m_wallNotifier = nullptr;
};
