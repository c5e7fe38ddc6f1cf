#include "LongTimer.h"

#include <QSocketNotifier>
#include <QtGlobal>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {
std::function<QDateTime()> &clockOverride()
{
    static std::function<QDateTime()> clock;
    return clock;
}
} // namespace

QDateTime LongTimer::now()
{
    const auto &clock = clockOverride();
    return clock ? clock().toUTC() : QDateTime::currentDateTimeUtc();
}

void LongTimer::setClockForTesting(std::function<QDateTime()> clock) { clockOverride() = std::move(clock); }

LongTimer::LongTimer(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        ++m_slices;
        arm();
    });
    // Without it (an old kernel) the slices still end the wait, later.
    m_wallFd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_wallFd >= 0) {
        m_wallNotifier = new QSocketNotifier(m_wallFd, QSocketNotifier::Read, this);
        connect(m_wallNotifier, &QSocketNotifier::activated, this, [this] { wallClockReadable(); });
    }
}

LongTimer::~LongTimer()
{
    delete m_wallNotifier;
    if (m_wallFd >= 0)
        ::close(m_wallFd);
}

void LongTimer::start(const QDateTime &when, std::function<void()> fired)
{
    m_when = when;
    m_fired = std::move(fired);
    m_slices = 0;
    armWallClock();
    if (m_when.isValid() && now().msecsTo(m_when) <= 0) {
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
    armWallClock();
}

void LongTimer::arm()
{
    if (!m_when.isValid())
        return;
    const qint64 remaining = now().msecsTo(m_when);
    if (remaining <= 0) {
        auto fired = std::move(m_fired);
        m_fired = nullptr;
        m_when = QDateTime();
        m_timer.stop();
        armWallClock();
        if (fired)
            fired();
        return;
    }
    // Precise within the last slice; the wall clock decides, so a slice ending early only re-arms.
    const qint64 wait = qMin(remaining, m_sliceMs);
    m_timer.setTimerType(wait < 60000 ? Qt::PreciseTimer : Qt::CoarseTimer);
    m_timer.start(int(qMin<qint64>(wait, std::numeric_limits<int>::max())));
}

// Armed at the moment on the wall clock; a setting of the clock cancels it, which we hear as well.
void LongTimer::armWallClock()
{
    if (m_wallFd < 0)
        return;
    itimerspec spec {};
    if (m_when.isValid()) {
        const qint64 ms = qMax<qint64>(1, m_when.toMSecsSinceEpoch());
        spec.it_value.tv_sec = time_t(ms / 1000);
        spec.it_value.tv_nsec = long(ms % 1000) * 1000000L;
    }
    ::timerfd_settime(m_wallFd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr);
}

void LongTimer::wallClockReadable()
{
    std::uint64_t expirations = 0;
    const bool clockSet = ::read(m_wallFd, &expirations, sizeof expirations) < 0 && errno == ECANCELED;
    if (clockSet) {
        armWallClock(); // a cancelled timer stays disarmed until it is set again
        if (m_clockChanged)
            m_clockChanged();
    }
    arm();
}
