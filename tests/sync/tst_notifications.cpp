// User notifications: the device offer's limit and buttons, retraction, clicks, going on
// without a notification service, and what the real upload loop says at the end of a run.
#include "sync/NotificationManager.h"

#include "SyncTestEngine.h"
#include "SyncTestPhotos.h"
#include "core/Dispatch.h"
#include "core/NotificationCenter.h"

#include "core/Settings.h"
#include "core/UiHooks.h"

#include "SyncTestHome.h"

#include <QStandardPaths>
#include <QtTest>

namespace {

class RecordingSink : public NotificationSink
{
public:
    QList<UserNotification> shown;
    QList<quint32> withdrawn;
    bool available = true;
    quint32 nextId = 100;

    void deliver(const UserNotification &n, std::function<void(quint32)> delivered) override
    {
        if (!available) {
            delivered(0);
            return;
        }
        shown << n;
        delivered(nextId++);
    }
    void withdraw(quint32 id) override { withdrawn << id; }
};

} // namespace

class TestNotifications : public QObject
{
    Q_OBJECT
    RecordingSink m_sink;
    LumoraDouble m_double;
    QTemporaryDir m_files;
    bool m_engineStarted = false;
    bool m_asleep = false;

    QStringList bodiesOf(UserNotification::Kind kind) const
    {
        QStringList bodies;
        for (const UserNotification &n : m_sink.shown)
            if (n.kind == kind)
                bodies << n.body;
        return bodies;
    }

    static bool allUploaded(const QStringList &paths)
    {
        for (const QString &p : paths) {
            const FileData *r = DataStore::instance()->fileDataForPathKey(FileManager::pathKey(p));
            if (!r || r->needsUpload() != NeedsUpload::Uploaded)
                return false;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        useThrowAwayHome();
        Settings::clearAllSettingsPERMANENTLY();
        NotificationManager::setSinkForTesting(&m_sink);
    }

    void cleanupTestCase()
    {
        if (m_engineStarted)
            stopEngine();
        UiHooks::instance() = UiHooks();
    }

    void init()
    {
        NotificationManager::resetForTesting();
        m_sink = RecordingSink();
    }

    void deviceOfferAtMostThreeTimes()
    {
        const QString path = QStringLiteral("/media/user/CANON_DC");
        for (int i = 0; i < 3; ++i)
            QVERIFY(NotificationManager::offerDeviceUpload(path, QStringLiteral("CANON_DC")));
        QVERIFY(!NotificationManager::offerDeviceUpload(path, QStringLiteral("CANON_DC")));
        QCOMPARE(Settings::intForKey(QStringLiteral("NotifiedDevice-CANON_DC")), 3);
        QTRY_COMPARE(m_sink.shown.size(), 3);

        const UserNotification &n = m_sink.shown.first();
        QCOMPARE(n.body, QStringLiteral("Found \"CANON_DC\". Upload this device privately to Lumora?"));
        QCOMPARE(n.actionLabels, (QStringList{"Upload", "Not now", "Don't ask again"}));
        QCOMPARE(n.devicePath, path);

        // Another device has its own count.
        QVERIFY(NotificationManager::offerDeviceUpload(QStringLiteral("/media/user/PHONE"), QStringLiteral("PHONE")));
    }

    void deviceOfferButtons()
    {
        QStringList added;
        UiHooks::instance().addSourcePath = [&added](const QString &p) { added << p; };

        QVERIFY(NotificationManager::offerDeviceUpload(QStringLiteral("/media/u/CARD"), QStringLiteral("CARD")));
        QTRY_COMPARE(NotificationManager::deliveredNotifications().size(), 1);
        const quint32 id = NotificationManager::deliveredNotifications().first().id;

        // "Not now": nothing happens, the offer may come back next time.
        NotificationManager::didActivateNotificationId(id, QStringLiteral("notnow"));
        QVERIFY(added.isEmpty());
        QCOMPARE(Settings::intForKey(QStringLiteral("NotifiedDevice-CARD")), 1);
        QVERIFY(NotificationManager::deliveredNotifications().isEmpty());

        // "Upload": the device becomes a source.
        QVERIFY(NotificationManager::offerDeviceUpload(QStringLiteral("/media/u/CARD"), QStringLiteral("CARD")));
        QTRY_COMPARE(NotificationManager::deliveredNotifications().size(), 1);
        NotificationManager::didActivateNotificationId(NotificationManager::deliveredNotifications().first().id,
                                                       QStringLiteral("upload"));
        QCOMPARE(added, QStringList{QStringLiteral("/media/u/CARD")});

        // "Don't ask again": no further offers for this device.
        QVERIFY(NotificationManager::offerDeviceUpload(QStringLiteral("/media/u/OTHER"), QStringLiteral("OTHER")));
        QTRY_COMPARE(NotificationManager::deliveredNotifications().size(), 1);
        NotificationManager::didActivateNotificationId(NotificationManager::deliveredNotifications().first().id,
                                                       QStringLiteral("dontask"));
        QVERIFY(!NotificationManager::offerDeviceUpload(QStringLiteral("/media/u/OTHER"), QStringLiteral("OTHER")));

        // A click for an id we never delivered is ignored.
        NotificationManager::didActivateNotificationId(9999, QStringLiteral("upload"));
        QCOMPARE(added.size(), 1);
        UiHooks::instance().addSourcePath = [](const QString &) {};
    }

    void uploadNotificationsAndRetraction()
    {
        int opened = 0;
        UiHooks::instance().openPreferences = [&opened] { ++opened; };
        NotificationManager::notifyUploadStarted(0); // nothing to say
        NotificationManager::notifyUploadStarted(12);
        NotificationManager::notifyUploadComplete(1);
        QTRY_COMPARE(m_sink.shown.size(), 2);
        QCOMPARE(m_sink.shown.at(0).body, QStringLiteral("Backing up 12 files privately to Lumora."));
        QCOMPARE(m_sink.shown.at(1).body, QStringLiteral("1 file was backed up to Lumora."));

        // Closed by the user: no longer ours to retract.
        const QList<UserNotification> delivered = NotificationManager::deliveredNotifications();
        QCOMPARE(delivered.size(), 2);
        NotificationManager::notificationClosed(delivered.at(0).id);
        NotificationManager::retractAllNotifications();
        QCOMPARE(m_sink.withdrawn, QList<quint32>{delivered.at(1).id});
        QVERIFY(NotificationManager::deliveredNotifications().isEmpty());

        // A click on an upload notification opens the preferences.
        UserNotification n = delivered.at(0);
        n.activatedAction = QStringLiteral("default");
        NotificationManager::didActivateNotification(n);
        QCOMPARE(opened, 1);
        UiHooks::instance().openPreferences = [] {};
    }

    // A click on "Upload complete" goes where the photos are: the one photo's page, or the
    // camera roll when several went up; never the preferences.
    void uploadCompleteClickOpensThePhotos_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("opened");
        QTest::newRow("one photo") << 1 << "photo 4711";
        QTest::newRow("several") << 3 << "camera roll";
    }

    void uploadCompleteClickOpensThePhotos()
    {
        QFETCH(int, files);
        QFETCH(QString, opened);
        QStringList seen;
        UiHooks &hooks = UiHooks::instance();
        hooks.openPreferences = [&seen] { seen << QStringLiteral("preferences"); };
        hooks.openCameraRoll = [&seen] { seen << QStringLiteral("camera roll"); };
        hooks.openPhotoOnWeb = [&seen](const QString &id) { seen << QStringLiteral("photo ") + id; };
        NotificationManager::notifyUploadComplete(files, QStringLiteral("4711"));
        QTRY_COMPARE(NotificationManager::deliveredNotifications().size(), 1);
        NotificationManager::didActivateNotificationId(NotificationManager::deliveredNotifications().first().id, QStringLiteral("default"));
        QCOMPARE(seen, QStringList{opened});
        hooks = UiHooks();
    }

    // "Upload complete" only when the run left nothing selected to send: a run the user paused,
    // that a sleep ended, or that a spell of 503s stopped is not complete. "Backing up" counts
    // every file of the run.
    void runEndSaysWhatHappened_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::addColumn<QString>("complete");
        QTest::addColumn<bool>("stoppedAfterErrors");
        QTest::newRow("nothing left") << "" << "6 files were backed up to Lumora." << false;
        QTest::newRow("paused for an hour") << "pause" << "" << false;
        QTest::newRow("system sleep") << "sleep" << "" << false;
        QTest::newRow("spell of 503s") << "503" << "" << true;
        QTest::newRow("a file refused three times") << "refused" << "" << true;
    }

    void runEndSaysWhatHappened()
    {
        QFETCH(QString, stop);
        QFETCH(QString, complete);
        QFETCH(bool, stoppedAfterErrors);
        if (!m_engineStarted) {
            LGLog::setEchoToStderr(qEnvironmentVariableIsSet("HOISTLY_TEST_ECHO_LOG"));
            QVERIFY(startServiceDouble(m_double));
            signInToServiceDouble(m_double);
            UiHooks::instance().isSystemSleeping = [this] { return m_asleep; };
            Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
            startEngine();
            waitForScanPass();
            m_engineStarted = true;
        }
        LumoraDrive::setPausedUntil(QDateTime::currentDateTimeUtc().addYears(100));
        const QString folder = m_files.filePath(stop.isEmpty() ? QStringLiteral("all") : stop);
        QVERIFY(QDir().mkpath(folder));
        QStringList photos;
        for (int i = 0; i < 6; ++i)
            photos << writePhoto(folder + QStringLiteral("/%1-%2.jpg").arg(stop).arg(i), QStringLiteral("2020:01:0%1 10:00:00").arg(i + 1), quint32(qHash(folder) + i));
        const bool refused = stop == QLatin1String("refused");
        if (refused) // fails three times, then a new photo goes up beside it
            m_double.refuseUploadsOf(QFileInfo(photos.takeLast()).fileName());
        FileManager::addCustomFolder(folder);
        QTRY_VERIFY_WITH_TIMEOUT(!FileManager::isRunning() && LumoraUploader::filesWaiting() == 6, 30000);
        if (refused) {
            LumoraDrive::setPausedUntil(QDateTime());
            QTRY_VERIFY_WITH_TIMEOUT(allUploaded(photos), 60000);
            for (int round = 0; round < 2; ++round) {
                QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
                LumoraUploader::retryDeferredForTesting();
            }
            QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
            LumoraDrive::setPausedUntil(QDateTime::currentDateTimeUtc().addYears(100));
            photos = {writePhoto(folder + QStringLiteral("/later.jpg"), QStringLiteral("2021:01:01 10:00:00"), quint32(qHash(folder) + 9))};
            FileManager::run();
            QTRY_VERIFY_WITH_TIMEOUT(!FileManager::isRunning() && LumoraUploader::filesWaiting() == 1, 30000);
        }

        // Stopped once the first photo is on the service.
        QObject context;
        bool stopped = stop.isEmpty();
        NotificationCenter::observe(Notifications::PhotoUploadedCountChanged, &context, [this, stop, &stopped](const QVariant &) {
            if (std::exchange(stopped, true))
                return;
            if (stop == QLatin1String("503"))
                m_double.setFault(LumoraDouble::Fault::HttpError, 503, QStringLiteral("upload"), -1);
            if (stop == QLatin1String("sleep"))
                m_asleep = true;
            if (stop == QLatin1String("pause"))
                dispatch_main_async([] { LumoraDrive::setPausedUntil(QDateTime::currentDateTimeUtc().addSecs(3600)); });
        });
        m_sink = RecordingSink();
        LumoraDrive::setPausedUntil(QDateTime());
        QTRY_VERIFY_WITH_TIMEOUT(stopped, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(stop.isEmpty() ? allUploaded(photos) : !LumoraUploader::isRunning(), 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
        QTest::qWait(100); // deliveries are queued on the main thread
        QCOMPARE(bodiesOf(UserNotification::Kind::UploadStarted).join(" / "),
                 refused ? QStringLiteral("Backing up 1 file privately to Lumora.") : QStringLiteral("Backing up 6 files privately to Lumora."));
        QCOMPARE(bodiesOf(UserNotification::Kind::UploadComplete), complete.isEmpty() ? QStringList() : QStringList{complete});
        QCOMPARE(bodiesOf(UserNotification::Kind::UploadStopped).size(), stoppedAfterErrors ? 1 : 0);
        if (stoppedAfterErrors) // what the app retries by itself, or what waits for the user
            QVERIFY2(bodiesOf(UserNotification::Kind::UploadStopped).first().contains(refused ? "1 could not be uploaded; choose Try again" : "not uploaded yet"),
                     qPrintable(bodiesOf(UserNotification::Kind::UploadStopped).first()));

        // The rest goes once the stop is over.
        m_double.clearFaults();
        m_asleep = false;
        LumoraDrive::setPausedUntil(QDateTime());
        LumoraDrive::refreshManually();
        QTRY_VERIFY_WITH_TIMEOUT(allUploaded(photos), 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
    }

    void withoutNotificationServiceGoesOn()
    {
        m_sink.available = false;
        NotificationManager::notifyUploadStarted(3);
        QVERIFY(NotificationManager::offerDeviceUpload(QStringLiteral("/media/u/X"), QStringLiteral("X")));
        QTest::qWait(50);
        QVERIFY(NotificationManager::deliveredNotifications().isEmpty());
        NotificationManager::retractAllNotifications(); // nothing to withdraw, no failure
        QVERIFY(m_sink.withdrawn.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestNotifications)
#include "tst_notifications.moc"
