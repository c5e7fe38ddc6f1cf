#include "Dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QRunnable>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

namespace {

QThreadPool *poolFor(QThread::Priority priority)
{
    // Separate pools so long-running background loops (scan, upload) never starve the
    // high-priority work, mirroring the global queues' priorities.
    static QThreadPool *normal = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(qMax(8, QThread::idealThreadCount() * 2));
        p->setExpiryTimeout(30000);
        return p;
    }();
    static QThreadPool *high = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(4);
        p->setThreadPriority(QThread::HighPriority);
        return p;
    }();
    static QThreadPool *low = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(2);
        p->setThreadPriority(QThread::LowPriority);
        return p;
    }();
    switch (priority) {
    case QThread::HighPriority: return high;
    case QThread::LowPriority: return low;
    default: return normal;
    }
}

QObject *delayTimerContext()
{
    static QObject *context = [] {
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("dispatch_main_delay"));
        thread->start();
        auto *o = new QObject;
        o->moveToThread(thread);
        return o;
    }();
    return context;
}

void startOn(QThread::Priority priority, const DispatchBlock &block)
{
    poolFor(priority)->start(QRunnable::create(block));
}

} // namespace

bool isMainThread()
{
    auto *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void dispatch_main_sync(const DispatchBlock &block)
{
    auto *app = QCoreApplication::instance();
    if (!app || isMainThread()) {
        block();
        return;
    }
    QMetaObject::invokeMethod(app, block, Qt::BlockingQueuedConnection);
}

void dispatch_main_async(const DispatchBlock &block)
{
    auto *app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, block, Qt::QueuedConnection);
}

void dispatch_main_delay(const DispatchBlock &block, double seconds)
{
    if (!QCoreApplication::instance())
        return;
    if (!(seconds > 0)) {
        dispatch_main_async(block);
        return;
    }
    // The interval runs on a timer thread of its own, from the moment of the call, so a busy
    // main thread does not stretch it; only the block itself waits for the main thread.
    const int ms = int(qMin(seconds * 1000.0 + 0.5, 2147483647.0));
    QObject *timers = delayTimerContext();
    QMetaObject::invokeMethod(timers, [block, ms, timers] {
        QTimer::singleShot(ms, Qt::PreciseTimer, timers, [block] { dispatch_main_async(block); });
    }, Qt::QueuedConnection);
}

void dispatch_default_queue_async(const DispatchBlock &block) { startOn(QThread::NormalPriority, block); }
void dispatch_highpriority_queue_async(const DispatchBlock &block) { startOn(QThread::HighPriority, block); }
void dispatch_background_queue_async(const DispatchBlock &block) { startOn(QThread::LowPriority, block); }
