#pragma once
// A one-shot timer for a wall-clock moment that may lie years ahead ("pause until I resume").
// Qt timers take at most ~24 days and follow the monotonic clock, which stands still while the
// machine sleeps, so the wait is cut into slices and the wall clock is checked after each one.
#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <functional>

class LongTimer : public QObject
{
    Q_OBJECT
public:
    explicit LongTimer(QObject *parent = nullptr);

    // Calls `fired` once, on this object's thread, when the wall clock reaches `when` (at the next
    // turn of the event loop when it already has). Replaces any earlier arming.
    void start(const QDateTime &when, std::function<void()> fired);
    void stop();
    bool isActive() const { return m_timer.isActive(); }
    QDateTime fireDate() const { return m_when; }

    // Longest single wait, in milliseconds (one hour by default; tests shorten it).
    void setSliceMs(qint64 ms) { m_sliceMs = ms > 0 ? ms : 1; }
    qint64 sliceMs() const { return m_sliceMs; }
    // How often the underlying timer fired (tests check the re-arming).
    int slicesElapsed() const { return m_slices; }

private:
    void arm();

    QTimer m_timer;
    QDateTime m_when;
    std::function<void()> m_fired;
    qint64 m_sliceMs = 3600LL * 1000;
    int m_slices = 0;
};
