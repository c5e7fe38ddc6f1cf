#include "CoreTestHome.h"
#include "core/LMRReporter.h"
#include "core/QBeacon.h"
#include "core/Settings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <map>
#include <QThread>

#include <httplib.h>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

// A loopback stand-in for the beacon host, with switches for failures and hangs.
class BeaconServer
{
public:
    struct Hit
    {
        std::string s, t, event;
        qint64 atMs;
        std::map<std::string, std::string> params;
    };

    BeaconServer()
    {
        m_server.Get("/p", [this](const httplib::Request &req, httplib::Response &res) {
            const std::string event = req.get_param_value("outcm");
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_hits.push_back({req.get_param_value("s"), req.get_param_value("t"), event, m_clock.elapsed(),
                                  std::map<std::string, std::string>(req.params.begin(), req.params.end())});
            }
            if (hangMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(hangMs.load()));
            bool fail = false;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                fail = failingEvents.count(event) > 0;
            }
            if (failNext > 0) {
                --failNext;
                fail = true;
            }
            res.status = fail ? 503 : 200;
            res.set_content("", "text/plain");
        });
        m_clock.start();
        m_server.set_keep_alive_timeout(1); // the shared beacon keeps its connection open
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~BeaconServer()
    {
        hangMs = 0;
        m_server.stop();
        m_thread.join();
    }

    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    std::vector<Hit> hits()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_hits;
    }
    QStringList events()
    {
        QStringList out;
        for (const Hit &h : hits())
            out << QString::fromStdString(h.event);
        return out;
    }
    void failAlways(const std::string &event)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        failingEvents.insert(event);
    }

    std::atomic<int> failNext{0};
    std::atomic<int> hangMs{0};

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_lock;
    std::vector<Hit> m_hits;
    std::set<std::string> failingEvents;
    QElapsedTimer m_clock;
};

class TestBeacon : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString queueFile(const char *name) { return m_dir.filePath(QString::fromLatin1(name)); }

    static QBeacon::Timing fast()
    {
        QBeacon::Timing t;
        t.firstFlushMs = 50;
        t.flushIntervalMs = 60 * 60 * 1000;
        t.retryDelayMs = 200;
        t.requestTimeoutMs = 3000;
        return t;
    }

    // Runs one flush and returns (sent, stoppedAtFailure).
    static QPair<int, bool> flush(QBeacon &beacon)
    {
        QSignalSpy spy(&beacon, &QBeacon::flushFinished);
        beacon.flushNow();
        if (!spy.wait(20000))
            return {-1, true};
        return {spy.first().at(0).toInt(), spy.first().at(1).toBool()};
    }

private Q_SLOTS:
    void initTestCase()
    {
        startInThrowAwayHome();
        QBeacon::setDefaultTiming(fast());
        Settings::clearAllSettingsPERMANENTLY();
    }

    void sendsEachEventAsOneRequest()
    {
        BeaconServer server;
        qputenv("HOISTLY_SERVICE_URL", server.base().toUtf8());
        QBeacon beacon(queueFile("send.plist"));
        beacon.enqueue("Tray: Opened");
        beacon.enqueue("Welcome: Login complete & done?");
        QCOMPARE(flush(beacon), qMakePair(2, false));
        QCOMPARE(server.events(), (QStringList{"Tray: Opened", "Welcome: Login complete & done?"}));
        for (const auto &hit : server.hits()) {
            QCOMPARE(hit.s, std::string(QBeacon::kSpaceId));
            bool numeric = false;
            QString::fromStdString(hit.t).toULongLong(&numeric);
            QVERIFY(numeric);
        }
        QVERIFY(beacon.pendingEvents().isEmpty());
        // The queue file is emptied too, so a restart does not send them again.
        beacon.waitForSave();
        QVERIFY(QBeacon(queueFile("send.plist")).pendingEvents().isEmpty());
        // The event name is percent-encoded in the address itself.
        const QByteArray url = QBeacon::urlForEvent("Tray: Opened").toEncoded();
        QVERIFY2(url.contains("/p?s=") && url.contains("&outcm=Tray%3A%20Opened"), url.constData());
    }

    void retriesAFailingEventBeforeGivingUp()
    {
        BeaconServer server;
        qputenv("HOISTLY_SERVICE_URL", server.base().toUtf8());
        QBeacon beacon(queueFile("retry.plist"));
        beacon.enqueue("Misc: Running");
        server.failNext = 2;
        QCOMPARE(flush(beacon), qMakePair(1, false));
        QCOMPARE(server.events(), QStringList(3, "Misc: Running"));
        QVERIFY(beacon.pendingEvents().isEmpty());
    }

    void stopsAtTheFirstEventThatFailsThreeTimes()
    {
        BeaconServer server;
        qputenv("HOISTLY_SERVICE_URL", server.base().toUtf8());
        server.failAlways("B: bad");
        QBeacon beacon(queueFile("stop.plist"));
        beacon.enqueue("A: good");
        beacon.enqueue("B: bad");
        beacon.enqueue("C: later");
        QCOMPARE(flush(beacon), qMakePair(1, true));
        QCOMPARE(server.events(), (QStringList{"A: good", "B: bad", "B: bad", "B: bad"}));
        QCOMPARE(beacon.pendingEvents(), (QStringList{"B: bad", "C: later"}));
        // The tries are spaced by the retry delay.
        const auto hits = server.hits();
        QVERIFY(hits[2].atMs - hits[1].atMs >= 150);
        QVERIFY(hits[3].atMs - hits[2].atMs >= 150);
    }

    void queueSurvivesARestart()
    {
        const QString path = queueFile("restart.plist");
        {
            QBeacon first(path);
            first.enqueue("Misc: One");
            first.enqueue("Misc: Two");
        }
        BeaconServer server;
        qputenv("HOISTLY_SERVICE_URL", server.base().toUtf8());
        QBeacon second(path);
        QCOMPARE(second.pendingEvents(), (QStringList{"Misc: One", "Misc: Two"}));
        QCOMPARE(flush(second), qMakePair(2, false));
        QCOMPARE(server.events(), (QStringList{"Misc: One", "Misc: Two"}));
    }

    // An event's properties are queued with it, survive a restart and go out with it.
    void propertiesTravelWithTheirEvent()
    {
        const QString path = queueFile("properties.plist");
        {
            QBeacon first(path);
            first.enqueue("Misc: Upgraded to new version", {{"version", "2.1"}, {"build", "1300"}, {"last_build", 1204}});
            first.enqueue("Misc: Running");
        }
        BeaconServer server;
        qputenv("HOISTLY_SERVICE_URL", server.base().toUtf8());
        QBeacon second(path);
        QCOMPARE(flush(second), qMakePair(2, false));
        const auto hits = server.hits();
        QCOMPARE(hits.size(), size_t(2));
        QCOMPARE(hits[0].event, std::string("Misc: Upgraded to new version"));
        QCOMPARE(hits[0].params.at("version"), std::string("2.1"));
        QCOMPARE(hits[0].params.at("build"), std::string("1300"));
        QCOMPARE(hits[0].params.at("last_build"), std::string("1204"));
        QCOMPARE(hits[1].params.count("version"), size_t(0));
    }

    void corruptQueueFileStartsEmpty()
    {
        const QString path = queueFile("corrupt.plist");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<?xml version=\"1.0\"?><plist><array><dict><key>id");
        f.close();
        QBeacon beacon(path);
        QVERIFY(beacon.pendingEvents().isEmpty());
        beacon.enqueue("Misc: After");
        beacon.waitForSave();
        QCOMPARE(QBeacon(path).pendingEvents(), QStringList{"Misc: After"});
    }

    void theQueueIsBounded()
    {
        QBeacon beacon(queueFile("bounded.plist"));
        for (int i = 0; i < QBeacon::kMaximumQueuedEvents + 5; ++i)
            beacon.enqueue(QStringLiteral("Misc: %1").arg(i));
        const QStringList pending = beacon.pendingEvents();
        QCOMPARE(pending.size(), QBeacon::kMaximumQueuedEvents);
        QCOMPARE(pending.first(), QStringLiteral("Misc: 5"));
        beacon.waitForSave();
        QCOMPARE(QBeacon(queueFile("bounded.plist")).pendingEvents(), pending);
    }

    void aHangingHostTimesOutAndKeepsTheEvent()
    {
        BeaconServer server;
        qputenv("HOISTLY_SERVICE_URL", server.base().toUtf8());
        QBeacon::Timing t = fast();
        t.requestTimeoutMs = 300;
        t.attempts = 1;
        QBeacon::setDefaultTiming(t);
        QBeacon beacon(queueFile("hang.plist"));
        QBeacon::setDefaultTiming(fast());
        server.hangMs = 1500;
        beacon.enqueue("Misc: Slow");
        QCOMPARE(flush(beacon), qMakePair(0, true));
        QCOMPARE(beacon.pendingEvents(), QStringList{"Misc: Slow"});
    }

    void refusesPlainHttpToOtherHosts()
    {
        qputenv("HOISTLY_SERVICE_URL", "http://beacon.invalid");
        QBeacon beacon(queueFile("transport.plist"));
        beacon.enqueue("Misc: Never");
        QCOMPARE(flush(beacon), qMakePair(0, true));
        QCOMPARE(beacon.pendingEvents(), QStringList{"Misc: Never"});
    }

    void reporterBookkeepingAndStartup()
    {
        BeaconServer server;
        qputenv("HOISTLY_SERVICE_URL", server.base().toUtf8());
        QFile::remove(QBeacon::defaultQueuePath());
        QBeacon *beacon = QBeacon::shared();
        QVERIFY(beacon->pendingEvents().isEmpty());

        LMRReporter::trackOncePerDay("Misc: Daily", 1);
        LMRReporter::trackOncePerDay("Misc: Daily", 1);
        LMRReporter::trackOnceEver("Misc: Installed", 3);
        LMRReporter::trackOnceEver("Misc: Installed", 1);
        LMRReporter::track("Misc: Other destination", 2);
        LMRReporter::trackOncePerDay("Misc: Other destination daily", 2);
        LMRReporter::track("Tray: Opened", 1, {{"ignored", 1}});
        LMRReporter::trackAndIncrement("Menu: Paused", 1);
        // From a background thread too.
        QThread *t = QThread::create([] { LMRReporter::track("Misc: Background", 1); });
        t->start();
        t->wait();
        delete t;
        QCOMPARE(beacon->pendingEvents(),
                 (QStringList{"Misc: Daily", "Misc: Installed", "Tray: Opened", "Menu: Paused", "Misc: Background"}));

        // A day later the daily event goes again, the once-ever one does not.
        Settings::setObject(QDateTime::currentDateTimeUtc().date().addDays(-1).toString(Qt::ISODate), "LMRReporterLastDay-Misc: Daily");
        LMRReporter::trackOncePerDay("Misc: Daily", 1);
        LMRReporter::trackOnceEver("Misc: Installed", 1);
        QCOMPARE(beacon->pendingEvents().count("Misc: Daily"), 2);
        QCOMPARE(beacon->pendingEvents().count("Misc: Installed"), 1);

        // Start-up flushes on its own after the first interval.
        QSignalSpy spy(beacon, &QBeacon::flushFinished);
        LMRReporter::startup();
        QVERIFY(spy.wait(10000));
        QCOMPARE(spy.first().at(0).toInt(), 6);
        QCOMPARE(server.events().size(), 6);
        QVERIFY(beacon->pendingEvents().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBeacon)
#include "tst_beacon.moc"
