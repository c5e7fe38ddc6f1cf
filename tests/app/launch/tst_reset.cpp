// The full reset with the real engine uploading to the local service double: the reset stops the
// engine and waits for the upload in flight before it clears anything, and afterwards nothing of
// the previous account comes back into the settings. Only the desktop's pieces that cannot run
// here are replaced: the web view's cookie store, the notification server, and the process
// itself (relaunch, event loop, forced quit).
#include "LumoraDouble.h"
#include "sync/SyncTestHome.h"
#include "sync/SyncTestPhotos.h"

#include "app/launch/AppDelegate.h"
#include "app/launch/ShellBridge.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "core/PropertyList.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"
#include "core/LGLog.h"
#include "app/widgets/ModalUi.h"
#include "support/ScriptedModalUi.h"
#include "service/DataStoreLumoraData.h"
#include "service/LumoraKit.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"

#include <QtTest>
#include <atomic>
#include <unistd.h>

class TestReset : public QObject
{
    Q_OBJECT
    LumoraDouble m_double;
    QTemporaryDir m_files;

private Q_SLOTS:
    void initTestCase()
    {
        useThrowAwayHome();
        Settings::clearAllSettingsPERMANENTLY();
        QVERIFY(m_double.start());
        m_double.exportEnvironment();
        m_double.setTicketPollsToComplete(1);
        const auto [token, secret] = m_double.issueAccessToken(QString::fromLatin1(LumoraDoubleDefaults::userId));
        signInWithoutNetwork(token, secret);
    }

    void cleanupTestCase() { m_double.stop(); }

    void resetMidUploadLeavesOnlyTheKeptKeys()
    {
        const QString folder = m_files.filePath("Photos");
        QVERIFY(QDir().mkpath(folder));
        for (int i = 0; i < 4; ++i)
            QVERIFY(!writePhoto(folder + QStringLiteral("/p%1.jpg").arg(i), QStringLiteral("2010:01:0%1 10:00:00").arg(i + 1), 40 + i).isEmpty());
        FileManager::addCustomFolder(folder);
        LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
        LumoraDrive::startup();
        QTRY_VERIFY_WITH_TIMEOUT(FileManager::hasCompletedScanThisSession() && !FileManager::isRunning(), 30000);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        Settings::setBool(true, QStringLiteral("UserActivated"));
        // Every upload is answered late, so the reset finds one in flight.
        m_double.setFault(LumoraDouble::Fault::Slow, 1500, QStringLiteral("upload"));
        LumoraUploader::run();
        QTRY_VERIFY_WITH_TIMEOUT(Settings::intForKey(QStringLiteral("PhotosImported")) >= 1 && LumoraUploader::isUploadingFile(), 60000);
        const int answeredBefore = int(m_double.uploads().size());

        std::atomic<int> launches{0}, exits{0};
        ShellEnvironment &env = ShellEnvironment::instance();
        env.launchBundle = [&](const QString &, const QStringList &) { ++launches; return true; };
        env.exitEventLoop = [&] { ++exits; };
        env.forceTerminate = [] {};
        env.sleep = [](double) {};
        ShellBridge &bridge = ShellBridge::instance();
        bridge.clearCookiesForLogout = [] {};
        bridge.retractAllNotifications = [] {};

        QVERIFY(AppDelegate::instance()->performLogOutAndDELETEEVERYTHING());
        QCOMPARE(launches.load(), 1);
        QCOMPARE(exits.load(), 1);
        {
            QStringList left;
            QDirIterator it(StandardPaths::lumoraFolder(), QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
            while (it.hasNext())
                left << it.next();
            QVERIFY2(!QFileInfo::exists(StandardPaths::lumoraFolder()), qPrintable(left.join(", ")));
        }

        // The upload that was in flight is answered after the reset; whatever would follow from
        // it has had its chance to land.
        QTRY_VERIFY_WITH_TIMEOUT(m_double.uploads().size() > answeredBefore, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!LumoraUploader::isRunning(), 10000);
        QTest::qWait(300); // the main thread's queue turns with nothing to catch up on

        const QStringList kept{"AppEverReset", "DateInstalled", "UserActivated"};
        Settings::synchronize();
        const QVariantMap onDisk = PropertyList::readFile(Settings::storePath()).toMap();
        for (const QString &key : onDisk.keys())
            QVERIFY2(kept.contains(key), qPrintable(key));
        QVERIFY(onDisk.value("AppEverReset").toBool());
        QVERIFY(onDisk.value("UserActivated").toBool());
        QVERIFY(Settings::objectForKey(QStringLiteral("PhotosImported")).isNull());
        // Writes stay refused for the rest of the process.
        Settings::setInt(5, QStringLiteral("PhotosImported"));
        QVERIFY(Settings::objectForKey(QStringLiteral("PhotosImported")).isNull());

        // A reset offered at launch ends the process before the launch installs the file
        // logger (this process never did): its lines are in the log file all the same.
        LGLog::flushLog();
        QString log;
        for (const QFileInfo &f : QDir(StandardPaths::logsFolder()).entryInfoList({"log-*"}, QDir::Files)) {
            QFile file(f.absoluteFilePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            log += QString::fromUtf8(file.readAll());
        }
        QVERIFY2(log.contains("RESETTING APP\n") && log.contains("RESETTING APP COMPLETE\n"), qPrintable(log));
    }

    // A data folder that cannot be deleted fails the reset, and the keys a reset keeps are
    // still on disk afterwards.
    void aFailedResetKeepsTheKeptKeys()
    {
        AppDelegate::resetForTesting();
        const QDateTime installed = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() - 86400 * 30, Qt::UTC);
        Settings::setObject(installed, QStringLiteral("DateInstalled"));
        Settings::setBool(true, QStringLiteral("UserActivated"));
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        const QString held = StandardPaths::lumoraFolder() + QStringLiteral("/held");
        QVERIFY(QDir().mkpath(held));
        QFile file(held + QStringLiteral("/catalogue"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        // Only root passes over folder rights; the file system's immutable flag stops it too.
        const bool root = ::getuid() == 0;
        if (root && QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), file.fileName()}) != 0)
            QSKIP("no way to make a file undeletable here");
        if (!root)
            QVERIFY(QFile::setPermissions(held, QFile::ReadOwner | QFile::ExeOwner));
        auto undo = qScopeGuard([&] {
            if (root)
                QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), file.fileName()});
            else
                QFile::setPermissions(held, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        });

        ScriptedAlerts alerts;
        Alerts::setPresenter(&alerts);
        auto presenter = qScopeGuard([] { Alerts::setPresenter(nullptr); });
        ShellEnvironment &env = ShellEnvironment::instance();
        int launches = 0;
        env.launchBundle = [&](const QString &, const QStringList &) { ++launches; return true; };
        env.exitEventLoop = [] {};
        env.forceTerminate = [] {};
        env.sleep = [](double) {};

        QVERIFY(!AppDelegate::instance()->performLogOutAndDELETEEVERYTHING());
        QCOMPARE(launches, 0);
        QCOMPARE(alerts.requests.size(), 1);
        QVERIFY(QFileInfo::exists(held));
        const QVariantMap onDisk = PropertyList::readFile(Settings::storePath()).toMap();
        QCOMPARE(onDisk.value("DateInstalled").toDateTime(), installed);
        QVERIFY(onDisk.value("UserActivated").toBool());
        QVERIFY(!onDisk.contains("WelcomeScreenComplete"));
    }
};

QTEST_MAIN(TestReset)
#include "tst_reset.moc"
