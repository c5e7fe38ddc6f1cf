#include "QBeacon.h"

#include "Dispatch.h"
#include "LGLog.h"
#include "PropertyList.h"
#include "platform/Endpoints.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>
#include <QVariantMap>

namespace {
QMutex g_sharedLock;
QBeacon *g_shared = nullptr;
QMutex g_timingLock;
QBeacon::Timing g_timing;
} // namespace

QBeacon *QBeacon::shared()
{
    QMutexLocker locker(&g_sharedLock);
    if (!g_shared) {
        g_shared = new QBeacon(defaultQueuePath());
        // Events tracked just before the application ends still reach the file.
        qAddPostRoutine([] {
            QMutexLocker lock(&g_sharedLock);
            if (g_shared)
                g_shared->waitForSave();
        });
        // It may be first asked for on a background thread; its network work belongs to the main thread.
        if (auto *app = QCoreApplication::instance(); app && g_shared->thread() != app->thread())
            g_shared->moveToThread(app->thread());
    }
    return g_shared;
}

QString QBeacon::defaultQueuePath() { return StandardPaths::lumoraFolder() + QStringLiteral("/BeaconQueue.plist"); }

void QBeacon::setDefaultTiming(const Timing &timing)
{
    QMutexLocker locker(&g_timingLock);
    g_timing = timing;
}

QBeacon::Timing QBeacon::defaultTiming()
{
    QMutexLocker locker(&g_timingLock);
    return g_timing;
}

// The queue file is written off the caller's thread: a save ends in an fsync, which must not
// hold up whoever tracks an event. Saves coalesce; the newest queue always wins.
struct QBeacon::QueueFile
{
    QString path;
    QMutex writeLock;   // one writer at a time, in order
    QMutex pendingLock; // guards pending and snapshot
    bool pending = false;
    QVariantList snapshot;

    void schedule(std::shared_ptr<QueueFile> self, QVariantList list)
    {
        QMutexLocker locker(&pendingLock);
        snapshot = std::move(list);
        if (pending)
            return;
        pending = true;
        dispatch_background_queue_async([self] { self->writePending(); });
    }

    void writePending()
    {
        QMutexLocker writing(&writeLock);
        QVariantList list;
        {
            QMutexLocker locker(&pendingLock);
            if (!pending)
                return;
            pending = false;
            list = std::move(snapshot);
        }
        QDir().mkpath(QFileInfo(path).absolutePath());
        QString error;
        if (!PropertyList::writeFile(path, list, &error))
            LGLogInfo(QStringLiteral("BEACON: Could not save the event queue: %1").arg(error));
    }
};

QBeacon::QBeacon(const QString &queuePath, QObject *parent)
    : QObject(parent)
    , m_path(queuePath)
    , m_timing(defaultTiming())
    , m_file(std::make_shared<QueueFile>())
{
    m_file->path = queuePath;
    load();
}

QBeacon::~QBeacon() { waitForSave(); }

void QBeacon::waitForSave() const { m_file->writePending(); }

void QBeacon::load()
{
    QMutexLocker locker(&m_lock);
    if (!QFileInfo::exists(m_path))
        return;
    QString error;
    const QVariant root = PropertyList::readFile(m_path, &error);
    if (!error.isEmpty() || root.typeId() != QMetaType::QVariantList) {
        LGLogError(QStringLiteral("BEACON: Ignoring an unreadable event queue %1").arg(m_path));
        return;
    }
    for (const QVariant &item : root.toList()) {
        const QVariantMap m = item.toMap();
        Event e;
        e.id = m.value(QStringLiteral("id")).toLongLong();
        e.name = m.value(QStringLiteral("event")).toString();
        e.properties = m.value(QStringLiteral("properties")).toMap();
        if (e.name.isEmpty())
            continue;
        m_nextId = qMax(m_nextId, e.id + 1);
        m_queue.append(e);
    }
}

void QBeacon::saveLocked() const
{
    QVariantList list;
    list.reserve(m_queue.size());
    for (const Event &e : m_queue)
    {
        QVariantMap item{{QStringLiteral("id"), e.id}, {QStringLiteral("event"), e.name}};
        if (!e.properties.isEmpty())
            item.insert(QStringLiteral("properties"), e.properties);
        list.append(item);
    }
    m_file->schedule(m_file, std::move(list));
}

void QBeacon::enqueue(const QString &event, const QVariantMap &properties)
{
    if (event.isEmpty())
        return;
    QMutexLocker locker(&m_lock);
    m_queue.append(Event{m_nextId++, event, properties});
    while (m_queue.size() > kMaximumQueuedEvents)
        m_queue.removeFirst();
    saveLocked();
}

QStringList QBeacon::pendingEvents() const
{
    QMutexLocker locker(&m_lock);
    QStringList names;
    for (const Event &e : m_queue)
        names << e.name;
    return names;
}

bool QBeacon::isFlushing() const { return m_flushing; }

QUrl QBeacon::urlForEvent(const QString &event, const QVariantMap &properties)
{
    QUrl url = Endpoints::beaconBase();
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QStringLiteral("/p"));
    // The time in seconds and a random number, as one number: it keeps every request distinct.
    const quint64 t = quint64(QDateTime::currentSecsSinceEpoch()) * 1000 + QRandomGenerator::global()->bounded(1000);
    QByteArray query = "s=" + QByteArray(kSpaceId) + "&t=" + QByteArray::number(t)
        + "&outcm=" + QUrl::toPercentEncoding(event);
    for (auto it = properties.cbegin(); it != properties.cend(); ++it)
        query += "&" + QUrl::toPercentEncoding(it.key()) + "=" + QUrl::toPercentEncoding(it.value().toString());
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url;
}

void QBeacon::start()
{
    QMetaObject::invokeMethod(this, [this] { startOnOwnThread(); }, Qt::QueuedConnection);
}

void QBeacon::startOnOwnThread()
{
    if (m_started)
        return;
    m_started = true;
    m_timer = new QTimer(this);
    m_timer->setInterval(m_timing.flushIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &QBeacon::beginFlush);
    m_timer->start();
    QTimer::singleShot(m_timing.firstFlushMs, this, &QBeacon::beginFlush);
}

void QBeacon::flushNow()
{
    QMetaObject::invokeMethod(this, [this] { beginFlush(); }, Qt::QueuedConnection);
}

void QBeacon::beginFlush()
{
    if (m_flushing)
        return;
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    m_flushing = true;
    m_sent = 0;
    sendHead();
}

void QBeacon::sendHead()
{
    {
        QMutexLocker locker(&m_lock);
        if (m_queue.isEmpty()) {
            locker.unlock();
            finishFlush(false);
            return;
        }
        m_current = m_queue.first();
    }
    m_attempt = 1;
    sendCurrent();
}

void QBeacon::sendCurrent()
{
    const QUrl url = urlForEvent(m_current.name, m_current.properties);
    if (!Endpoints::isAllowedTransport(url)) {
        LGLogError(QStringLiteral("BEACON: Refusing to send events over %1").arg(url.scheme()));
        finishFlush(true);
        return;
    }
    QNetworkRequest request(url);
    request.setTransferTimeout(m_timing.requestTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply *reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onReply(reply); });
}

void QBeacon::onReply(QNetworkReply *reply)
{
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool ok = reply->error() == QNetworkReply::NoError && status >= 200 && status < 300;
    if (ok) {
        {
            QMutexLocker locker(&m_lock);
            const qint64 id = m_current.id;
            m_queue.removeIf([id](const Event &e) { return e.id == id; });
            saveLocked();
        }
        ++m_sent;
        sendHead();
        return;
    }
    if (m_attempt < m_timing.attempts) {
        ++m_attempt;
        const quint64 generation = m_generation;
        QTimer::singleShot(m_timing.retryDelayMs, this, [this, generation] {
            if (generation == m_generation && m_flushing)
                sendCurrent();
        });
        return;
    }
    LGLogError(QStringLiteral("BEACON: Could not send \"%1\" after %2 tries (%3); %4 events wait for the next flush")
                   .arg(m_current.name)
                   .arg(m_attempt)
                   .arg(status ? QStringLiteral("HTTP %1").arg(status) : reply->errorString())
                   .arg(pendingEvents().size()));
    finishFlush(true);
}

void QBeacon::finishFlush(bool stoppedAtFailure)
{
    m_flushing = false;
    ++m_generation;
    Q_EMIT flushFinished(m_sent, stoppedAtFailure);
}
