#pragma once
// The analytics beacon: one GET per event to <beacon base>/p?s=<space>&t=<time+random>&outcm=<event>,
// from a queue kept in a property-list file so that unsent events survive a restart. The queue is
// flushed periodically on the beacon's thread (the main thread); each event is tried a few times,
// and a flush stops at the first event that keeps failing (it stays at the head for next time).
// enqueue() may be called from any thread and never waits for the network.
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class QBeacon : public QObject
{
    Q_OBJECT
public:
    struct Timing
    {
        int firstFlushMs = 2000;
        int flushIntervalMs = 600 * 1000;
        int retryDelayMs = 2000;
        int requestTimeoutMs = 30 * 1000;
        int attempts = 3;
    };

    // The space id of this application's events.
    static constexpr const char *kSpaceId = "792600186";
    // Unsent events beyond this count are dropped, oldest first, so an offline machine does not
    // grow the queue file without end.
    static constexpr int kMaximumQueuedEvents = 1000;

    // The process's beacon: created on first use, lives on the main thread, queue in the Lumora folder.
    static QBeacon *shared();
    static QString defaultQueuePath();
    // Timing of beacons created afterwards (tests shorten the intervals).
    static void setDefaultTiming(const Timing &timing);
    static Timing defaultTiming();

    explicit QBeacon(const QString &queuePath, QObject *parent = nullptr);
    ~QBeacon() override;

    // Arms the periodic flush (first one after Timing::firstFlushMs). Any thread; once.
    void start();
    // Appends the event to the persistent queue. Any thread; returns at once.
    // The properties travel with the event, as query items of its request.
    void enqueue(const QString &event, const QVariantMap &properties = {});
    // Starts a flush unless one is running. Any thread.
    void flushNow();

    QStringList pendingEvents() const;
    // Blocks until the queue file holds the current queue (saves run in the background).
    void waitForSave() const;
    bool isFlushing() const;
    QString queuePath() const { return m_path; }
    // The request address for an event (without a transport check).
    static QUrl urlForEvent(const QString &event, const QVariantMap &properties = {});

Q_SIGNALS:
    // After each flush: how many events were delivered, and whether it stopped at a failing one.
    void flushFinished(int sent, bool stoppedAtFailure);

private:
    struct Event
    {
        qint64 id = 0;
        QString name;
        QVariantMap properties;
    };

    struct QueueFile;
    void load();
    void saveLocked() const;
    void startOnOwnThread();
    void beginFlush();
    void sendHead();
    void sendCurrent();
    void onReply(QNetworkReply *reply);
    void finishFlush(bool stoppedAtFailure);

    const QString m_path;
    const Timing m_timing;
    std::shared_ptr<QueueFile> m_file;
    mutable QMutex m_lock;
    QList<Event> m_queue;
    qint64 m_nextId = 1;

    // Owned by the beacon's thread.
    QNetworkAccessManager *m_network = nullptr;
    QTimer *m_timer = nullptr;
    bool m_started = false;
    bool m_flushing = false;
    Event m_current;
    int m_attempt = 0;
    int m_sent = 0;
    quint64 m_generation = 0;
};
