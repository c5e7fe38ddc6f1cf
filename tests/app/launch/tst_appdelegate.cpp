// The application delegate: mode selection, launch origin, reset offer, the update-check spawn
// rule, the launch order, sleep and wake, the should-terminate answers, full reset, metrics and
// URL events.
#include "app/launch/AppDelegate.h"
#include "app/launch/ShellBridge.h"
#include "app/launch/ShellTestFakes.h"
#include "app/menubar/MainController.h"
#include "app/platform/SingleInstance.h"
#include "core/NotificationCenter.h"
#include "catalogue/DataStore.h"
#include "core/PropertyList.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "platform/StandardPaths.h"
#include "support/ScriptedModalUi.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSemaphore>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <csignal>

class TestAppDelegate : public QObject
{
    Q_OBJECT
    FakeShell *fake = nullptr;
    ScriptedAlerts *alerts = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        MainController::setTrayBackendFactory([] { return new FakeTray; });
    }

    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        QDir(StandardPaths::lumoraFolder()).removeRecursively();
        fake = new FakeShell;
        fake->install();
        alerts = new ScriptedAlerts;
        Alerts::setPresenter(alerts);
        AppDelegate::resetForTesting();
        MainController::destroyForTesting();
    }

    void cleanup()
    {
        Alerts::setPresenter(nullptr);
        delete alerts;
        MainController::destroyForTesting();
        // Deferred work of the test (forced-quit backstops) lands in this test's fakes, not
        // in the next one's.
        fake->install();
        QTest::qWait(100);
    }

    void modeSelection_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("updateCheck");
        QTest::newRow("plain") << QStringList{"Hoistly"} << false;
        QTest::newRow("exact") << QStringList{"Hoistly", "/check-for-updates"} << true;
        QTest::newRow("capitals") << QStringList{"Hoistly", "/CHECK-FOR-UPDATES"} << true;
        QTest::newRow("inside a longer argument") << QStringList{"Hoistly", "--x=/Check-For-Updates/y"} << true;
        QTest::newRow("similar") << QStringList{"Hoistly", "/check-for-update"} << false;
        QTest::newRow("self-updated only") << QStringList{"Hoistly", "/selfupdated"} << false;
    }
    void modeSelection()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, updateCheck);
        QCOMPARE(AppDelegate::argumentsSelectUpdateCheck(args), updateCheck);
    }

    void manualLaunchTable_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("sessionManagerParent");
        QTest::addColumn<bool>("manual");
        QTest::newRow("by hand") << QStringList{"Hoistly"} << false << true;
        QTest::newRow("autostart marker") << QStringList{"Hoistly", "--login-item"} << false << false;
        QTest::newRow("session manager parent") << QStringList{"Hoistly"} << true << false;
        QTest::newRow("updater relaunch") << QStringList{"Hoistly", "/selfupdated"} << false << false;
        QTest::newRow("updater relaunch, capitals") << QStringList{"Hoistly", "/SelfUpdated"} << false << false;
        QTest::newRow("login and updater") << QStringList{"Hoistly", "--login-item", "/selfupdated"} << true << false;
    }
    void manualLaunchTable()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, sessionManagerParent);
        QFETCH(bool, manual);
        QCOMPARE(AppDelegate::decideLaunchedManually(args, sessionManagerParent), manual);
    }

    // The whole normal launch with every outside piece faked: its order and its end.
    void launchRunsInOrderAndHandsOverToTheMenuBar()
    {
        fake->onboarded = true;
        auto *d = AppDelegate::instance();
        d->applicationDidFinishLaunching({"Hoistly"});
        QCOMPARE(fake->count("driveStartup"), 0); // the launch itself runs on the next turn
        QTRY_COMPARE(fake->count("driveStartup"), 1);
        QCOMPARE(alerts->count(), 0);
        QVERIFY(AppDelegate::wasLaunchedManually());
        QVERIFY(d->hideDockIcon());
        // Spawned the update checker, with the one argument.
        QCOMPARE(fake->launches.size(), 1);
        QCOMPARE(fake->launches.first().second, QStringList{"/check-for-updates"});
        const int migrations = fake->indexOf("runCatalogueMigrations");
        const int reporter = fake->indexOf("reporterStartup");
        const int drive = fake->indexOf("driveStartup");
        QVERIFY(migrations >= 0 && reporter > migrations && drive > reporter);
        QVERIFY(fake->properties.contains("Misc: Last startup"));
        QVERIFY(fake->eventNames().contains("Misc: Running"));
        // The engine's hooks now reach the shell.
        QVERIFY(!UiHooks::instance().isSystemSleeping());
        QVERIFY(!UiHooks::instance().quitScreenOpen());
    }

    // A large catalogue takes seconds to read: the icon is up first, the rest of the launch
    // waits for the read without holding the main thread, and a quit meanwhile ends it there.
    void trayIconIsUpWhileTheCatalogueIsRead()
    {
        fake->holdCatalogueRead = true;
        AppDelegate::instance()->applicationDidFinishLaunching_Internal();
        QCOMPARE(fake->count("openCatalogueInBackground"), 1);
        QVERIFY(MainController::instance()->trayBackend());
        QVERIFY(MainController::instance()->trayBackend()->isVisible());
        QCOMPARE(fake->count("runCatalogueMigrations"), 0);
        QCOMPARE(fake->count("driveStartup"), 0);
        fake->finishCatalogueRead();
        QCOMPARE(fake->count("runCatalogueMigrations"), 1);
        QCOMPARE(fake->count("driveStartup"), 1);
    }

    void quitWhileTheCatalogueIsReadEndsTheLaunch()
    {
        fake->holdCatalogueRead = true;
        auto *d = AppDelegate::instance();
        d->applicationDidFinishLaunching_Internal();
        d->terminate();
        QVERIFY(d->hasTerminated());
        fake->finishCatalogueRead();
        QCOMPARE(fake->count("runCatalogueMigrations"), 0);
        QCOMPARE(fake->count("driveStartup"), 0);
    }

    void resetOfferOnlyForOptionAlone_data()
    {
        QTest::addColumn<int>("mods");
        QTest::addColumn<bool>("offered");
        QTest::newRow("none") << int(Qt::NoModifier) << false;
        QTest::newRow("option") << int(Qt::AltModifier) << true;
        QTest::newRow("option+shift") << int(Qt::AltModifier | Qt::ShiftModifier) << false;
        QTest::newRow("option+command") << int(Qt::AltModifier | Qt::MetaModifier) << false;
        QTest::newRow("option+control") << int(Qt::AltModifier | Qt::ControlModifier) << false;
    }
    void resetOfferOnlyForOptionAlone()
    {
        QFETCH(int, mods);
        QFETCH(bool, offered);
        fake->modifiers = Qt::KeyboardModifiers(mods);
        alerts->enqueue(1); // Cancel: the launch goes on
        AppDelegate::instance()->applicationDidFinishLaunching_Internal();
        QCOMPARE(alerts->count(), offered ? 1 : 0);
        if (offered) {
            QCOMPARE(alerts->last().title, QString("Reset Lumora Hoistly to it's default settings?"));
            QCOMPARE(alerts->last().buttons, (QStringList{"Reset App", "Cancel"}));
        }
        QCOMPARE(fake->count("driveStartup"), 1);
        QCOMPARE(fake->count("logout"), 0);
    }

    // The copy that runs while a reset is chosen at launch: one that answers, the real app
    // stopped (it would write its account and catalogue back once it goes on), and a process
    // that is no copy of ours and does not answer.
    void confirmedResetEndsTheLaunch_data()
    {
        QTest::addColumn<QString>("copy");
        QTest::addColumn<bool>("reset");
        QTest::newRow("a copy that answers") << "obey" << true;
        QTest::newRow("a stopped copy of the app") << "app" << true;
        QTest::newRow("a stopped stranger on the socket") << "ignore" << false;
    }

    void confirmedResetEndsTheLaunch()
    {
        QFETCH(QString, copy);
        QFETCH(bool, reset);
        const QByteArray savedHome = qgetenv("HOME");
        QTemporaryDir home;
        qputenv("HOME", QFile::encodeName(home.path())); // settings, data and socket of our own
        auto restore = qScopeGuard([&] {
            qputenv("HOME", savedHome);
            SingleInstance::instance()->close();
            SingleInstance::setServerNameForTesting(QString());
            SingleInstance::setProgramNameForTesting(QString());
        });
        SingleInstance::setProgramNameForTesting("Hoistly"); // this test resets as the app would
        SingleInstance::instance()->close(); // earlier launches of this test listen
        if (copy != "app")
            SingleInstance::setServerNameForTesting(home.filePath("copy"));
        Settings::setObject("token", "kLKStoredTokenKey");
        Settings::setObject("lumora-30571942", "kLKStoredUserID");
        Settings::setBool(true, "WelcomeScreenComplete");
        QVERIFY(Settings::synchronize());

        QProcess running;
        if (copy == "app") {
            const QString app = qEnvironmentVariable("HOISTLY_APP_BINARY");
            if (!QFileInfo(app).isExecutable())
                QSKIP("the Hoistly executable is not built");
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            const QString base = home.path() + "/.qttest/"; // where this test's own paths lie
            env.insert("XDG_CONFIG_HOME", base + ".config");
            env.insert("XDG_DATA_HOME", base + "share");
            env.insert("XDG_STATE_HOME", base + "state");
            env.insert("HOISTLY_SERVICE_URL", "http://127.0.0.1:9"); // nothing answers there
            env.insert("QT_QPA_PLATFORM", "offscreen");
            env.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu --single-process");
            running.setProcessEnvironment(env);
            running.start(app, {});
            QVERIFY(running.waitForStarted(5000));
            auto startedUp = [log = QDir(base + "state/Hoistly")] {
                const QStringList files = log.entryList({"log-*"});
                QFile f(log.filePath(files.value(0)));
                return !files.isEmpty() && f.open(QIODevice::ReadOnly) && f.readAll().contains("Startup LumoraDesktop");
            };
            QTRY_VERIFY_WITH_TIMEOUT(startedUp(), 30000);
            QVERIFY(QFileInfo::exists(StandardPaths::lumoraFolder() + "/Database"));
        } else {
            running.start(qEnvironmentVariable("HOISTLY_SINGLE_COPY_HELPER"), {SingleInstance::serverName(), copy});
            QVERIFY(running.waitForStarted(5000));
            QByteArray out;
            QTRY_VERIFY_WITH_TIMEOUT((out += running.readAllStandardOutput()).contains("READY"), 5000);
        }
        const pid_t pid = pid_t(running.processId());
        auto ended = [pid] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        };
        auto endRunning = qScopeGuard([&] {
            running.kill();
            running.waitForFinished(5000);
        });
        if (copy != "obey")
            ::kill(pid, SIGSTOP); // busy: it accepts on the socket, but never answers

        fake->modifiers = Qt::AltModifier;
        alerts->enqueue(0); // Reset App
        if (!reset)
            alerts->enqueue(0); // Quit
        bool otherCopyEndedFirst = false;
        ShellBridge::instance().logout = [&] { otherCopyEndedFirst = ended(); };
        AppDelegate::instance()->applicationDidFinishLaunching_Internal();
        ::kill(pid, SIGCONT);
        QCOMPARE(AppDelegate::instance()->isResetting(), reset);
        QCOMPARE(fake->count("driveStartup"), 0);
        QCOMPARE(fake->exits.load(), 1);
        if (!reset) {
            // Nothing is cleared, and the user hears why.
            QCOMPARE(alerts->last().title, QString("Lumora Hoistly could not be reset"));
            QVERIFY(alerts->last().message.contains("Another copy of Lumora Hoistly is still running"));
            QCOMPARE(fake->count("logout"), 0);
            QCOMPARE(fake->launches.size(), 0);
            QCOMPARE(Settings::objectForKey("kLKStoredTokenKey").toString(), QString("token"));
            return;
        }
        QVERIFY(otherCopyEndedFirst);
        // Going on after the reset, the old copy would write its account back: it is gone.
        QVERIFY(running.state() == QProcess::NotRunning || running.waitForFinished(5000));
        QFile file(Settings::storePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QVariantMap onDisk = PropertyList::parse(file.readAll()).toMap();
        for (const char *key : {"kLKStoredTokenKey", "kLKStoredUserID", "WelcomeScreenComplete"})
            QVERIFY2(!onDisk.contains(key), key);
        QVERIFY(onDisk.value("AppEverReset").toBool());
        QVERIFY(!QFileInfo::exists(StandardPaths::lumoraFolder())); // nor its catalogue and folders
    }

    void updateCheckSpawnHonoursTenSeconds()
    {
        auto *d = AppDelegate::instance();
        d->spawnUpdateCheckCopyIfDue();
        QCOMPARE(fake->count("launchBundle"), 1);
        fake->advance(10); // at most 10 s later: skipped
        d->spawnUpdateCheckCopyIfDue();
        QCOMPARE(fake->count("launchBundle"), 1);
        fake->advance(0.5); // past 10 s
        d->spawnUpdateCheckCopyIfDue();
        QCOMPARE(fake->count("launchBundle"), 2);
        // A stored date in the future does not hold the spawn back.
        Settings::setObject(fake->now().addSecs(3600), "LastRelaunchedForUpdateCheck");
        d->spawnUpdateCheckCopyIfDue();
        QCOMPARE(fake->count("launchBundle"), 3);
        QCOMPARE(Settings::objectForKey("LastRelaunchedForUpdateCheck").toDateTime(), fake->now());
    }

    void sleepAndWake_data()
    {
        QTest::addColumn<double>("asleep");
        QTest::addColumn<bool>("restored");
        QTest::newRow("59 s") << 59.0 << true;
        QTest::newRow("60 s") << 60.0 << false;
        QTest::newRow("a night") << 8 * 3600.0 << false;
    }
    void sleepAndWake()
    {
        QFETCH(double, asleep);
        QFETCH(bool, restored);
        const QDateTime listed = fake->now().addSecs(-300);
        fake->mirrorCompleted = listed;
        auto *d = AppDelegate::instance();
        d->receiveSleepNote();
        QVERIFY(AppDelegate::isSystemSleeping());
        QVERIFY(UiHooks::instance().isSystemSleeping());
        QVERIFY(!fake->mirrorCompleted.isValid());
        QCOMPARE(Settings::objectForKey("SleepDate").toDateTime(), fake->now());
        fake->advance(asleep);
        d->receiveWakeNote();
        QVERIFY(!AppDelegate::isSystemSleeping());
        QCOMPARE(fake->mirrorCompleted.isValid(), restored);
        if (restored)
            QCOMPARE(fake->mirrorCompleted, listed);
        QVERIFY(Settings::objectForKey("SleepDate").isNull());
        QVERIFY(Settings::objectForKey("SleepHadCompletedScanThisSession").isNull());
        // 5 s later: the queues after a short sleep, a new listing after a long one.
        const char *expected = restored ? "runQueues" : "refreshLumoraData";
        const char *other = restored ? "refreshLumoraData" : "runQueues";
        QTRY_COMPARE_WITH_TIMEOUT(fake->count(expected), 1, 8000);
        QCOMPARE(fake->count(other), 0);
    }

    void wakeWithoutSleepDateCountsAsShort()
    {
        fake->mirrorCompleted = QDateTime();
        AppDelegate::instance()->receiveWakeNote();
        QTRY_COMPARE_WITH_TIMEOUT(fake->count("runQueues"), 1, 8000);
    }

    void shouldTerminateTable()
    {
        auto *d = AppDelegate::instance();
        using R = AppDelegate::TerminateReply;
        fake->catalogueOpen = false;
        QCOMPARE(d->applicationShouldTerminate(), R::Now);
        fake->catalogueOpen = true;
        fake->commitOk = false;
        QCOMPARE(d->applicationShouldTerminate(), R::Cancel);
        fake->commitOk = true;
        fake->hasChanges = false;
        QCOMPARE(d->applicationShouldTerminate(), R::Now);
        QCOMPARE(fake->count("catalogueSave"), 0);
        // Nothing changed: the should-terminate answer does not run the controller's shutdown.
        MainController::instance();
        QVERIFY(!MainController::instance()->isShutDown());
        fake->hasChanges = true;
        QCOMPARE(d->applicationShouldTerminate(), R::Now);
        QCOMPARE(fake->count("catalogueSave"), 1);
        QVERIFY(MainController::instance()->isShutDown());
    }

    // Asking whether the catalogue is open must not open it: a process that never used it
    // (a copy that lost the single-copy race, a launch that quit early) creates nothing.
    void shouldTerminateDoesNotCreateTheCatalogue()
    {
        const ShellBridge faked = ShellBridge::instance();
        ShellBridge::resetToDefaults();
        const ShellBridge real = ShellBridge::instance();
        ShellBridge::instance() = faked;
        ShellBridge::instance().catalogueOpen = real.catalogueOpen;
        ShellBridge::instance().catalogueHasChanges = real.catalogueHasChanges;
        DataStore::shutdown();
        QVERIFY(!QFileInfo::exists(DataStore::storePath()));
        QCOMPARE(AppDelegate::instance()->applicationShouldTerminate(), AppDelegate::TerminateReply::Now);
        QVERIFY(!DataStore::instanceIfCreated());
        QVERIFY(!QFileInfo::exists(DataStore::storePath()));
    }

    void failedSaveAsksAndCancelKeepsRunning()
    {
        auto *d = AppDelegate::instance();
        fake->hasChanges = true;
        fake->saveOk = false;
        alerts->enqueue(1); // Cancel
        d->terminate();
        QCOMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QString("Could not save changes while quitting. Quit anyway?"));
        QCOMPARE(alerts->last().buttons, (QStringList{"Quit anyway", "Cancel"}));
        QCOMPARE(fake->exits.load(), 0);
        QVERIFY(!d->hasTerminated());
        QVERIFY(fake->eventNames().contains("CoreData: Save failed at exit"));

        alerts->enqueue(0); // Quit anyway
        d->terminate();
        QCOMPARE(fake->exits.load(), 1);
        QVERIFY(d->hasTerminated());
    }

    void willTerminateRunsOnceAndForcesQuit()
    {
        auto *d = AppDelegate::instance();
        MainController::instance();
        d->applicationWillTerminate();
        d->applicationWillTerminate();
        QVERIFY(MainController::instance()->isShutDown());
        QCOMPARE(fake->count("driveShutdown"), 1);
        QTRY_COMPARE(fake->forceTerminations.load(), 1);
    }

    // A teardown that hangs the main thread after will-terminate still ends the process: the
    // backstop runs without the main thread.
    void forcedQuitFiresWhileTheMainThreadHangs()
    {
        auto *d = AppDelegate::instance();
        QSemaphore forced;
        ShellEnvironment::instance().forceTerminate = [&forced] { forced.release(); };
        bool ended = false;
        ShellEnvironment::instance().exitEventLoop = [&] { ended = forced.tryAcquire(1, 20000); };
        d->terminate();
        QVERIFY(ended);
        fake->install();
    }

    void resetDuringQuitSkipsTheStore()
    {
        auto *d = AppDelegate::instance();
        fake->hasChanges = true;
        fake->saveOk = false;
        d->performLogOutAndDELETEEVERYTHING();
        QCOMPARE(alerts->count(), 0); // no save, no question: the store is gone
        QCOMPARE(fake->exits.load(), 1);
    }

    void fullResetInIsolatedHome()
    {
        const QString data = StandardPaths::lumoraFolder();
        QVERIFY(QDir().mkpath(data + "/Database"));
        QFile f(data + "/Database/LumoraDesktop.storedata");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("x");
        f.close();
        const QDateTime installed = fake->now().addDays(-30);
        Settings::setObject(installed, "DateInstalled");
        Settings::setBool(true, "UserActivated");
        Settings::setObject("token", "kLKStoredTokenKey");
        Settings::setBool(true, "WelcomeScreenComplete");

        QVERIFY(AppDelegate::instance()->performLogOutAndDELETEEVERYTHING());
        QVERIFY(!QFileInfo::exists(data));
        QCOMPARE(fake->count("logout"), 1);
        QCOMPARE(fake->count("retractAllNotifications"), 1);
        QCOMPARE(fake->count("clearCookiesForLogout"), 1);
        QCOMPARE(fake->count("catalogueClose"), 1); // closed before its files went
        // A restart sees only the three kept keys.
        Settings::reloadForTesting();
        QVERIFY(Settings::objectForKey("kLKStoredTokenKey").isNull());
        QVERIFY(!Settings::boolForKey("WelcomeScreenComplete"));
        QVERIFY(Settings::boolForKey("AppEverReset"));
        QVERIFY(Settings::boolForKey("UserActivated"));
        QCOMPARE(Settings::objectForKey("DateInstalled").toDateTime(), installed);
        // Relaunched as a new instance, terminated, and the backstop armed.
        QCOMPARE(fake->launches.size(), 1);
        QCOMPARE(fake->exits.load(), 1);
        // Two backstops: the reset's own and the one after will-terminate.
        QTRY_COMPARE(fake->forceTerminations.load(), 2);
    }

    void fullResetThatCannotDeleteDoesNotReportSuccess()
    {
        QVERIFY(QDir().mkpath(StandardPaths::lumoraFolder()));
        Settings::setObject("token", "kLKStoredTokenKey");
        fake->folderRemovable = false;
        alerts->enqueueDeferred();
        QVERIFY(!AppDelegate::instance()->performLogOutAndDELETEEVERYTHING());
        QCOMPARE(fake->count("removeFolder"), 1);
        // The user is told; nothing claims a reset, and no new instance starts on the old data.
        QCOMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QString("Lumora Hoistly could not be reset"));
        QVERIFY(alerts->last().message.contains(StandardPaths::lumoraFolder()));
        QCOMPARE(fake->exits.load(), 0);
        QVERIFY(alerts->answerPending(0));
        QCOMPARE(fake->launches.size(), 0);
        QCOMPARE(fake->exits.load(), 1);
        // Signed out and settings gone all the same.
        Settings::reloadForTesting();
        QVERIFY(Settings::objectForKey("kLKStoredTokenKey").isNull());
        QVERIFY(!Settings::boolForKey("AppEverReset"));
    }

    void logOutAndKeepDataRelaunches()
    {
        const QString data = StandardPaths::lumoraFolder();
        QVERIFY(QDir().mkpath(data));
        AppDelegate::instance()->logoutAndKeepData();
        QCOMPARE(fake->count("logout"), 1);
        QCOMPARE(fake->launches.size(), 1);
        QVERIFY(QFileInfo::exists(data));
        QCOMPARE(fake->exits.load(), 1);
    }

    void installRecords()
    {
        // A first run reports 0 for the previous build in every caller, even after the write.
        QCOMPARE(AppDelegate::lastRanBuildNumber(), 0);
        QCOMPARE(Settings::intForKey("LastRanBuildNumber"), AppDelegate::runningBuildNumber());
        QCOMPARE(AppDelegate::lastRanBuildNumber(), 0);
        QCOMPARE(AppDelegate::firstRanBuildNumber(), AppDelegate::runningBuildNumber());
        Settings::setInt(7, "FirstRanBuildNumber");
        QCOMPARE(AppDelegate::firstRanBuildNumber(), 7);
        const QDateTime first = AppDelegate::instance()->dateInstalled();
        fake->advance(100);
        QCOMPARE(AppDelegate::instance()->dateInstalled(), first);
    }

    void metricsWithoutUserTrackOnlyMiscEvents()
    {
        fake->onboarded = false;
        Settings::setInt(12, "PhotosImported");
        AppDelegate::instance()->refreshReportingMetrics();
        QCOMPARE(fake->eventNames(), (QStringList{"Misc: Installed", "Misc: Running", "Misc: Running & activated"}));
        QVERIFY(fake->properties.isEmpty());
    }

    void metricsOfASignedInUser()
    {
        fake->userId = "lumora-30571942";
        fake->sources = 3;
        Settings::setInt(4, "PhotosImported");
        Settings::setLongLong(4 * 1048576LL, "PhotosImportedBytes");
        Settings::setDouble(8.0, "PhotosImportedTimeTaken");
        Settings::setInt(9, "filesToUploadMax");
        auto *d = AppDelegate::instance();
        d->refreshReportingMetrics();
        QCOMPARE(fake->properties.value("Library: Sources selected").toInt(), 3);
        QCOMPARE(fake->properties.value("Uploading: Average photo filesize").toDouble(), 1.0);
        QCOMPARE(fake->properties.value("Uploading: Average time uploading per photo").toDouble(), 2.0);
        QCOMPARE(fake->properties.value("Uploading: Max photos to upload or uploaded").toInt(), 9);
        QVERIFY(!fake->properties.contains("Uploading: Average time processing per photo"));
        QVERIFY(!fake->properties.contains("Uploading: Last upload")); // first run records only
        Settings::setInt(5, "PhotosImported");
        d->refreshReportingMetrics();
        QVERIFY(fake->properties.contains("Uploading: Last upload"));
    }

    // The weekly cohort is the ISO week with its own week-year: the first days of a January can
    // belong to the last week of the year before.
    void cohortsUseTheIsoWeekYear_data()
    {
        QTest::addColumn<QDateTime>("installed");
        QTest::addColumn<QString>("weekly");
        QTest::addColumn<int>("weeklyNumber");
        QTest::addColumn<QString>("monthly");
        QTest::newRow("2023-01-01") << QDateTime(QDate(2023, 1, 1), QTime(20, 0), Qt::UTC) << "2022-52" << 202252 << "2023-01";
        QTest::newRow("2021-01-03") << QDateTime(QDate(2021, 1, 3), QTime(20, 0), Qt::UTC) << "2020-53" << 202053 << "2021-01";
        QTest::newRow("2024-12-30") << QDateTime(QDate(2024, 12, 30), QTime(20, 0), Qt::UTC) << "2025-01" << 202501 << "2024-12";
        QTest::newRow("mid-year") << QDateTime(QDate(2023, 6, 14), QTime(20, 0), Qt::UTC) << "2023-24" << 202324 << "2023-06";
    }

    void cohortsUseTheIsoWeekYear()
    {
        QFETCH(QDateTime, installed);
        QFETCH(QString, weekly);
        QFETCH(int, weeklyNumber);
        QFETCH(QString, monthly);
        Settings::setObject(installed, "DateInstalled");
        AppDelegate::instance()->refreshReportingDemographics();
        QCOMPARE(fake->properties.value("Weekly Cohort").toString(), weekly);
        QCOMPARE(fake->properties.value("Weekly Cohort #").toInt(), weeklyNumber);
        QCOMPARE(fake->properties.value("Monthly Cohort").toString(), monthly);
    }

    // After an upgrade the event says from which build to which, on which system.
    void upgradeEventCarriesItsProperties()
    {
        const int running = AppDelegate::runningBuildNumber();
        QVERIFY(running > 1);
        Settings::setInt(running - 1, "LastRanBuildNumber");
        AppDelegate::instance()->applicationDidFinishLaunching({"Hoistly"});
        QTRY_COMPARE(fake->count("driveStartup"), 1);
        QVERIFY(fake->eventProperties.contains("Misc: Upgraded to new version"));
        const QVariantMap p = fake->eventProperties.value("Misc: Upgraded to new version");
        QCOMPARE(p.value("version").toString(), AppDelegate::runningVersion());
        QCOMPARE(p.value("build").toString(), QString::number(running));
        QCOMPARE(p.value("last_build").toInt(), running - 1);
        QCOMPARE(p.value("macosx_version_major").toInt(), NSDevice::osxVersionMajor());
        QCOMPARE(p.value("macosx_version_minor").toInt(), NSDevice::osxVersionMinor());
        QVERIFY(p.value("system_version").toString().contains(QSysInfo::kernelVersion()));
        QVERIFY(p.value("system_version").toString().contains(QSysInfo::prettyProductName()));
    }

    void demographicsNameFallsBackToUserId()
    {
        fake->userId = "lumora-30571942";
        AppDelegate::instance()->refreshReportingDemographics();
        QCOMPARE(fake->properties.value("$name").toString(), QString("lumora-30571942"));
        QVERIFY(!fake->properties.contains("$lumorahandle"));
        QCOMPARE(fake->properties.value("LoggedIn").toBool(), true);
    }

    void urlEventsRecogniseOnlyTheCallback_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("posted");
        QTest::newRow("callback") << "https://hoistly.lumora.com/auth?oauth_token=a&oauth_verifier=b" << true;
        QTest::newRow("host in capitals") << "https://HOISTLY.lumora.com/auth?oauth_token=a" << true;
        QTest::newRow("look-alike host") << "https://hoistly.lumora.com.example.net/auth?x" << false;
        QTest::newRow("callback in the query") << "https://example.net/?u=https://hoistly.lumora.com/auth" << false;
        QTest::newRow("other path") << "https://hoistly.lumora.com/authx" << false;
        QTest::newRow("plain http") << "http://hoistly.lumora.com/auth" << false;
    }
    void urlEventsRecogniseOnlyTheCallback()
    {
        QFETCH(QString, url);
        QFETCH(bool, posted);
        QList<QVariant> received;
        QObject context;
        NotificationCenter::observe(Notifications::LoginTokenReady, &context,
                                    [&](const QVariant &object) { received << object; });
        AppDelegate::instance()->handleGetURLEvent(url);
        if (posted) {
            QTRY_COMPARE(received.size(), 1);
            QCOMPARE(received.first().toUrl(), QUrl(url));
        } else {
            QTest::qWait(50); // a post, had there been one, has landed by now
            QVERIFY(received.isEmpty());
        }
    }

    void hiddenChannelDefaultsToOn()
    {
        const QString key = AppDelegate::hiddenChannelKey();
        QVERIFY(Settings::objectForKey(key).isNull());
        AppDelegate::updateSelfUpdatingUrls();
        // Never set reads as on, and is written down so later starts agree.
        QVERIFY(!Settings::objectForKey(key).isNull());
        QVERIFY(Settings::boolForKey(key));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
