// User notifications: the device offer's limit and buttons, retraction, clicks, and going on
// without a notification service.
#include "sync/NotificationManager.h"

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

private Q_SLOTS:
    void initTestCase()
    {
        useThrowAwayHome();
        Settings::clearAllSettingsPERMANENTLY();
        NotificationManager::setSinkForTesting(&m_sink);
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
