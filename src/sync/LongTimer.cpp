#include "LongTimer.h"

#include <QtGlobal>
#include <limits>

LongTimer::LongTimer(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        ++m_slices;
        arm();
    });
}

void LongTimer::start(const QDateTime &when, std::function<void()> fired)
{
    m_when = when;
    m_fired = std::move(fired);
    m_slices = 0;
    if (m_when.isValid() && QDateTime::currentDateTimeUtc().msecsTo(m_when) <= 0) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.start(0);
        return;
    }
    arm();
}

void LongTimer::stop()
{
    m_timer.stop();
    m_when = QDateTime();
    m_fired = nullptr;
}

void LongTimer::arm()
{
    if (!m_when.isValid())
        return;
    const qint64 remaining = QDateTime::currentDateTimeUtc().msecsTo(m_when);
    if (remaining <= 0) {
        auto fired = std::move(m_fired);
        m_fired = nullptr;
        m_when = QDateTime();
        m_timer.stop();
        if (fired)
            fired();
        return;
    }
    // Precise within the last slice; the wall clock decides, so a slice ending early only re-arms.
    const qint64 wait = qMin(remaining, m_sliceMs);
    m_timer.setTimerType(wait < 60000 ? Qt::PreciseTimer : Qt::CoarseTimer);
    m_timer.start(int(qMin<qint64>(wait, std::numeric_limits<int>::max())));
}
