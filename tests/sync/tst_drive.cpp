// The session side of LumoraDrive: the coalesced status notification, the pause with its long
// timer and its survival across a restart, and the environment's keys and web host.
#include "sync/LongTimer.h"
#include "sync/LumoraDrive.h"

#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"

#include "SyncTestHome.h"

#include <QStandardPaths>
#include <QtTest>

class TestDrive : public QObject
{
    Q_OBJECT

    int m_statusPosts = 0;
    int m_pausePosts = 0;
    QObject m_context;

private Q_SLOTS:
    void initTestCase()
    {
        useThrowAwayHome();
        Settings::clearAllSettingsPERMANENTLY();
        signInWithoutNetwork();
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
        NotificationCenter::observe(Notifications::StatusUpdated, &m_context, [this](const QVariant &) { ++m_statusPosts; });
        NotificationCenter::observe(Notifications::PausedStateChanged, &m_context, [this](const QVariant &) { ++m_pausePosts; });
    }

    void init()
    {
        LumoraDrive::resetForTesting();
        Settings::removeObjectForKey(QStringLiteral("PausedUntil"));
        QTest::qWait(60); // let anything queued by the previous case land
        m_statusPosts = 0;
        m_pausePosts = 0;
    }

    void statusPostsAreCoalesced()
    {
        // A burst of recomputations with one change: one post, 0.03 s later, not at once.
        for (int i = 0; i < 20; ++i)
            LumoraDrive::updateStatus();
        QCOMPARE(m_statusPosts, 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_statusPosts, 1, 2000);
        QTest::qWait(100);
        QCOMPARE(m_statusPosts, 1);
        QVERIFY(!LumoraDrive::statusLine1().isEmpty());

        // Nothing changed: nothing posted.
        LumoraDrive::updateStatus();
        LumoraDrive::updateStatus();
        QTest::qWait(100);
        QCOMPARE(m_statusPosts, 1);

        // Recomputations asked from other threads are folded into the main thread's.
        QList<QThread *> threads;
        for (int i = 0; i < 4; ++i) {
            threads << QThread::create([] {
                for (int k = 0; k < 50; ++k)
                    LumoraDrive::updateStatus();
            });
            threads.last()->start();
        }
        for (QThread *t : threads) {
            QVERIFY(t->wait(5000));
            delete t;
        }
        QTest::qWait(100);
        QCOMPARE(m_statusPosts, 1);
    }

    void pauseChangesTheLinesAndPostsOnce()
    {
        LumoraDrive::updateStatus();
        QTRY_COMPARE_WITH_TIMEOUT(m_statusPosts, 1, 2000);
        const QString before = LumoraDrive::statusLine1();

        LumoraDrive::setPausedUntil(QDateTime::currentDateTimeUtc().addSecs(3600));
        QVERIFY(LumoraDrive::paused());
        QTRY_COMPARE_WITH_TIMEOUT(m_pausePosts, 1, 2000);
        QTRY_COMPARE_WITH_TIMEOUT(m_statusPosts, 2, 2000);
        QVERIFY2(LumoraDrive::statusLine1().startsWith(QStringLiteral("Paused until")), qPrintable(LumoraDrive::statusLine1()));
        QVERIFY(LumoraDrive::statusLine1() != before);

        LumoraDrive::setPausedUntil(QDateTime());
        QVERIFY(!LumoraDrive::paused());
        QTRY_COMPARE_WITH_TIMEOUT(m_pausePosts, 2, 2000);
    }

    void pauseSurvivesRestart()
    {
        const QDateTime until = QDateTime::currentDateTimeUtc().addSecs(8 * 3600);
        LumoraDrive::setPausedUntil(until);
        QVERIFY(Settings::objectForKey(QStringLiteral("PausedUntil")).isValid());

        Settings::reloadForTesting();
        LumoraDrive::resetForTesting();
        QVERIFY(LumoraDrive::paused());
        QCOMPARE(LumoraDrive::pausedUntil().toMSecsSinceEpoch(), until.toMSecsSinceEpoch());
        LumoraDrive::setPausedUntil(QDateTime());
        Settings::reloadForTesting();
        QVERIFY(!LumoraDrive::paused());
    }

    void pauseExpiresThroughReArmedSlices()
    {
        LumoraDrive::setPauseTimerSliceMsForTesting(40);
        LumoraDrive::setPausedUntil(QDateTime::currentDateTimeUtc().addMSecs(400));
        QVERIFY(LumoraDrive::paused());
        QTRY_VERIFY_WITH_TIMEOUT(!LumoraDrive::paused(), 5000);
        QVERIFY2(LumoraDrive::pauseTimerSlicesForTesting() >= 3,
                 qPrintable(QString::number(LumoraDrive::pauseTimerSlicesForTesting())));
        QTRY_VERIFY_WITH_TIMEOUT(m_pausePosts >= 2, 2000); // paused, then resumed
        LumoraDrive::setPauseTimerSliceMsForTesting(3600 * 1000);
    }

    // A pause whose end passes while the machine sleeps ends at the wake, not when the slice
    // of waking time the timer counts runs out (up to an hour later).
    void pauseThatEndedAsleepEndsAtWake()
    {
        QDateTime clock = QDateTime::currentDateTimeUtc();
        LongTimer::setClockForTesting([&clock] { return clock; });
        LumoraDrive::setPausedUntil(clock.addSecs(4 * 60));
        QVERIFY(LumoraDrive::paused());
        clock = clock.addSecs(3600); // asleep for an hour: no waking time passed
        QTest::qWait(50);
        LumoraDrive::systemDidWake();
        QTRY_VERIFY_WITH_TIMEOUT(!LumoraDrive::paused(), 2000);
        LongTimer::setClockForTesting(nullptr);
    }

    // A pause set while the clock was a year ahead, the clock then put right: it ends no later
    // than the longest pause chosen now, says so without naming next year, and stays so after a
    // restart. "Until I resume" is left as it is.
    void pauseSetWhileTheClockWasAheadIsBroughtBack()
    {
        const QDateTime right = QDateTime::currentDateTimeUtc();
        QDateTime clock = right.addDays(365);
        LongTimer::setClockForTesting([&clock] { return clock; });
        LumoraDrive::setPausedUntil(clock.addSecs(3600));
        clock = right;
        const QDateTime week = right.addDays(7);
        QVERIFY2(LumoraDrive::pausedUntil() <= week, qPrintable(LumoraDrive::pausedUntil().toString(Qt::ISODate)));
        LumoraDrive::systemDidWake();
        LumoraDrive::updateStatus();
        QTRY_VERIFY_WITH_TIMEOUT(LumoraDrive::statusLine1().startsWith(QStringLiteral("Paused until ")), 2000);
        QVERIFY2(!LumoraDrive::statusLine1().contains(QString::number(right.addDays(365).toLocalTime().date().year())),
                 qPrintable(LumoraDrive::statusLine1()));
        Settings::reloadForTesting();
        LumoraDrive::resetForTesting();
        clock = clock.addSecs(60);
        QVERIFY(LumoraDrive::paused());
        QVERIFY2(LumoraDrive::pausedUntil() <= week, qPrintable(LumoraDrive::pausedUntil().toString(Qt::ISODate)));

        const QDateTime untilResumed = right.addYears(100);
        LumoraDrive::setPausedUntil(untilResumed);
        QCOMPARE(LumoraDrive::pausedUntil().toSecsSinceEpoch(), untilResumed.toSecsSinceEpoch());
        LumoraDrive::setPausedUntil(QDateTime());
        LongTimer::setClockForTesting(nullptr);
    }

    void longTimerHandlesDistantDates()
    {
        // A hundred years is far beyond a single Qt timer; the timer still arms and waits.
        LongTimer timer;
        bool fired = false;
        timer.start(QDateTime::currentDateTimeUtc().addSecs(3153600000LL), [&fired] { fired = true; });
        QVERIFY(timer.isActive());
        QTest::qWait(50);
        QVERIFY(!fired);

        // A date already passed fires on the next turn, not inside start().
        timer.start(QDateTime::currentDateTimeUtc().addSecs(-5), [&fired] { fired = true; });
        QVERIFY(!fired);
        QTRY_VERIFY_WITH_TIMEOUT(fired, 1000);
        QVERIFY(!timer.isActive());

        // Re-arming replaces the earlier callback.
        int which = 0;
        timer.setSliceMs(20);
        timer.start(QDateTime::currentDateTimeUtc().addMSecs(100), [&which] { which = 1; });
        timer.start(QDateTime::currentDateTimeUtc().addMSecs(150), [&which] { which = 2; });
        QTRY_COMPARE_WITH_TIMEOUT(which, 2, 2000);
        QTest::qWait(100);
        QCOMPARE(which, 2);
    }

    void environmentKeysAndHost()
    {
        Settings::setBool(false, QStringLiteral("alphaEnv"));
        QCOMPARE(LumoraDrive::alphaOrWWW(), QStringLiteral("www"));
        Settings::setBool(true, QStringLiteral("alphaEnv"));
        QCOMPARE(LumoraDrive::alphaOrWWW(), QStringLiteral("alpha"));
        Settings::removeObjectForKey(QStringLiteral("alphaEnv"));

        qunsetenv("HOISTLY_API_KEY");
        qunsetenv("HOISTLY_API_SECRET");
        const QString secret = LumoraDrive::APIS();
        QCOMPARE(secret.size(), 16);
        QCOMPARE(LumoraDrive::apiSecret(false), secret);
        QVERIFY(LumoraDrive::apiSecret(true) != secret);
        QVERIFY(LumoraDrive::apiKey(true) != LumoraDrive::apiKey(false));

        qputenv("HOISTLY_API_KEY", "k-test");
        qputenv("HOISTLY_API_SECRET", "s-test");
        QCOMPARE(LumoraDrive::apiKey(false), QStringLiteral("k-test"));
        QCOMPARE(LumoraDrive::apiSecret(true), QStringLiteral("s-test"));
        QCOMPARE(LumoraDrive::APIS(), secret); // the production secret itself is unchanged
        qunsetenv("HOISTLY_API_KEY");
        qunsetenv("HOISTLY_API_SECRET");
    }

    void trayFlashingFollowsTheModel()
    {
        QList<bool> calls;
        UiHooks::instance().setAnimateTrayIcon = [&calls](bool on) { calls << on; };
        LumoraDrive::updateStatus();
        LumoraDrive::updateStatus();
        // Told once (not flashing: nothing uploads), not on every recomputation.
        QCOMPARE(calls, QList<bool>{false});
        UiHooks::instance().setAnimateTrayIcon = [](bool) {};
    }
};

QTEST_GUILESS_MAIN(TestDrive)
#include "tst_drive.moc"
