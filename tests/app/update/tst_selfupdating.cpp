// The self-updater's judgement of the manifest, its download and unpacking, its holds, and the
// install into an Applications folder with its swap, rollback and relaunch.
#include "app/launch/ShellTestFakes.h"
#include "app/update/Bundle.h"
#include "app/update/LMSelfUpdating.h"
#include "app/update/LoginItems.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "service/Reachability.h"
#include "platform/StandardPaths.h"
#include "LumoraDouble.h"
#include "UpdateTestBundles.h"
#include "support/ScriptedModalUi.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThreadPool>
#include <QVersionNumber>

#include <gnu/libc-version.h>

#include <filesystem>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace UpdateTestBundles;

class TestSelfUpdating : public QObject
{
    Q_OBJECT
    FakeShell *fake = nullptr;
    ScriptedAlerts alerts;
    QTemporaryDir *tmp = nullptr;
    LumoraDouble server;
    QString global, user, running;

    void point(const QString &manifestPath = "/hoistly/LumoraHoistly-Info.plist",
               const QString &zipPath = "/hoistly/LumoraHoistly.app.zip")
    {
        LMSelfUpdating::setUpdateURL(QUrl(server.baseUrl() + manifestPath));
        LMSelfUpdating::setDownloadURL(QUrl(server.baseUrl() + zipPath));
    }
    int requestsFor(const QString &path) const { return server.requestedPaths().count(path); }

    // Runs the current case again, alone, in a network namespace made for it: loopback for the
    // test service, and a veth pair holding the default route.
    void runInOwnNetworkNamespace()
    {
        const QString setup = "ip link set lo up && ip link add hxnet type veth peer name hxpeer && ip addr add 192.0.2.2/24 dev hxnet"
                              " && ip link set hxnet up && ip link set hxpeer up && ip route add default via 192.0.2.1 || exit 77;"
                              " exec \"$0\" \"$@\"";
        QString which = QStringLiteral("%1:%2").arg(QTest::currentTestFunction(), QTest::currentDataTag());
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOISTLY_TEST_OWN_NETNS", "1");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start("unshare", {"--net", "--", "sh", "-c", setup, QCoreApplication::applicationFilePath(), which});
        if (!child.waitForStarted())
            QSKIP("unshare is not installed");
        QVERIFY(child.waitForFinished(120000));
        const QString out = QString::fromLocal8Bit(child.readAll());
        if (child.exitCode() == 77 || out.contains("unshare failed"))
            QSKIP(qPrintable("No network namespace of the test's own here: " + out.trimmed()));
        QVERIFY2(child.exitCode() == 0 && out.contains("PASS   : TestSelfUpdating::" + which.replace(':', '(') + ')'), qPrintable(out));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        Alerts::setPresenter(&alerts);
        QVERIFY(server.start());
    }

    void init()
    {
        LMSelfUpdating::resetForTesting();
        Settings::clearAllSettingsPERMANENTLY();
        NSDevice::overrideVersionForTesting(14, 0, 0);
        fake = new FakeShell;
        fake->install();
        tmp = new QTemporaryDir;
        global = tmp->path() + "/opt";
        user = tmp->path() + "/home/Applications";
        QDir().mkpath(global);
        QDir().mkpath(user);
        LMSelfUpdating::setApplicationsFoldersForTesting(global, user);
        QDir().mkpath(tmp->path() + "/Downloads");
        running = makeBundle(tmp->path() + "/Downloads", "Lumora Hoistly", 2200);
        Bundle::setMainBundlePathForTesting(running);
        LMSelfUpdating::setLaunchArguments({"Hoistly"});
        server.resetRecords();
        LMSelfUpdating::clearTempDirectory();
    }

    void cleanup()
    {
        // A check left waiting on an alert must not outlive the test.
        while (alerts.answerPending(0)) {
        }
        QTRY_VERIFY(!LMSelfUpdating::isCheckingForUpdates());
        alerts.answers.clear();
        alerts.requests.clear();
        Reachability::setStatusOverrideForTesting(-1);
        LMSelfUpdating::setExchangeUnsupportedForTesting(false);
        delete tmp;
        tmp = nullptr;
    }

    // ---- Manifest --------------------------------------------------------------------------

    void judgesTheOfferedBuild_data()
    {
        QTest::addColumn<qint64>("offered");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("update");
        QTest::addColumn<bool>("upToDate");
        QTest::newRow("newer") << qint64(2300) << "Lumora Hoistly" << false << true << false;
        QTest::newRow("equal") << qint64(2200) << "Lumora Hoistly" << false << false << true;
        QTest::newRow("older") << qint64(2100) << "Lumora Hoistly" << false << false << true;
        QTest::newRow("equal, forced") << qint64(2200) << "Lumora Hoistly" << true << true << false;
        QTest::newRow("no name: unreadable") << qint64(2300) << "" << false << false << false;
        QTest::newRow("no build: unreadable") << qint64(0) << "Lumora Hoistly" << false << false << false;
    }
    void judgesTheOfferedBuild()
    {
        QFETCH(qint64, offered);
        QFETCH(QString, name);
        QFETCH(bool, force);
        QFETCH(bool, update);
        QFETCH(bool, upToDate);
        server.setUpdateManifest(manifest(offered, name));
        point();
        if (force)
            LMSelfUpdating::setForceUpdateOnNextCheck();
        const QUrl result = LMSelfUpdating::checkServerForUpdateAvailable();
        QCOMPARE(!result.isEmpty(), update);
        if (update)
            QCOMPARE(result, LMSelfUpdating::downloadURL());
        QCOMPARE(LMSelfUpdating::lastSuccessfulUpdateCheck().isValid(), upToDate);
    }

    void minimumSystemVersion_data()
    {
        // What a build needs of a Linux system, against the C library and Qt this one has; the
        // macOS minimum never decides anything here.
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<bool>("update");
        const QVersionNumber glibc = QVersionNumber::fromString(QString::fromLatin1(gnu_get_libc_version()));
        const QVersionNumber qt = QVersionNumber::fromString(QString::fromLatin1(qVersion()));
        auto bumped = [](const QVersionNumber &v, int part) {
            QList<int> parts{v.majorVersion(), v.minorVersion(), v.microVersion()};
            parts[part] += 1;
            return QVersionNumber(parts.mid(0, part + 1)).toString();
        };
        QTest::newRow("macOS 11.0") << "LSMinimumSystemVersion" << "11.0" << true;
        QTest::newRow("macOS 99") << "LSMinimumSystemVersion" << "99" << true;
        QTest::newRow("glibc: newer major") << "LinuxMinimumGlibcVersion" << bumped(glibc, 0) << false;
        QTest::newRow("glibc: newer minor") << "LinuxMinimumGlibcVersion" << bumped(glibc, 1) << false;
        QTest::newRow("glibc: the running one") << "LinuxMinimumGlibcVersion" << glibc.toString() << true;
        QTest::newRow("glibc: older major, no minor") << "LinuxMinimumGlibcVersion" << "1" << true;
        QTest::newRow("Qt: newer patch") << "LinuxMinimumQtVersion" << bumped(qt, 2) << false;
        QTest::newRow("Qt: the running one") << "LinuxMinimumQtVersion" << qt.toString() << true;
        QTest::newRow("Qt: same minor, no patch") << "LinuxMinimumQtVersion" << QVersionNumber(qt.majorVersion(), qt.minorVersion()).toString() << true;
    }
    void minimumSystemVersion()
    {
        QFETCH(QString, key);
        QFETCH(QString, minimum);
        QFETCH(bool, update);
        QVariantMap m{{"CFBundleVersion", "2300"}, {"CFBundleName", "Lumora Hoistly"}, {key, minimum}};
        server.setUpdateManifest(PropertyList::serialize(m));
        point();
        QCOMPARE(!LMSelfUpdating::checkServerForUpdateAvailable().isEmpty(), update);
        QCOMPARE(LMSelfUpdating::lastSuccessfulUpdateCheck().isValid(), !update);
    }

    void silentCheckSoonAfterUpToDateDoesNothing()
    {
        server.setUpdateManifest(manifest(2200));
        point();
        LMSelfUpdating::setLastSuccessfulUpdateCheckForTesting(fake->now().addSecs(-100));
        LMSelfUpdating::checkForUpdatesSilent();
        QVERIFY(!LMSelfUpdating::isCheckingForUpdates());
        QTest::qWait(200);
        QCOMPARE(requestsFor("/hoistly/LumoraHoistly-Info.plist"), 0);
        fake->advance(20); // 120 s after the last answer
        LMSelfUpdating::checkForUpdatesSilent();
        QTRY_COMPARE(requestsFor("/hoistly/LumoraHoistly-Info.plist"), 1);
        QTRY_VERIFY(!LMSelfUpdating::isCheckingForUpdates());
    }

    void holdsStopSilentChecksOnly()
    {
        server.setUpdateManifest(manifest(2200));
        point();
        LMSelfUpdating::setSelfUpdatesDisabledUntil(fake->now().addSecs(3600), "prefs");
        QVERIFY(LMSelfUpdating::_selfUpdatesTemporarilyDisabled());
        LMSelfUpdating::checkForUpdatesSilent();
        QTest::qWait(200);
        QCOMPARE(requestsFor("/hoistly/LumoraHoistly-Info.plist"), 0);
        LMSelfUpdating::checkForUpdatesWithUI(); // the user asked: runs
        QTRY_COMPARE(requestsFor("/hoistly/LumoraHoistly-Info.plist"), 1);
        QTRY_VERIFY(!LMSelfUpdating::isCheckingForUpdates());
        QVERIFY(LMSelfUpdating::statusMessagesForTesting().contains("You're up to date!"));
        LMSelfUpdating::setSelfUpdatesDisabledUntil(QDateTime(), "prefs");
        QVERIFY(!LMSelfUpdating::_selfUpdatesTemporarilyDisabled());
        LMSelfUpdating::setSelfUpdatesDisabledUntil(fake->now().addSecs(-1), "old");
        QVERIFY(!LMSelfUpdating::_selfUpdatesTemporarilyDisabled());
    }

    void plainAddressesAreRefused()
    {
        LMSelfUpdating::setUpdateURL(QUrl("http://updates.example.net/hoistly/LumoraHoistly-Info.plist"));
        LMSelfUpdating::setDownloadURL(QUrl("http://updates.example.net/hoistly/LumoraHoistly.app.zip"));
        QVERIFY(LMSelfUpdating::checkServerForUpdateAvailable().isEmpty());
        QVERIFY(LMSelfUpdating::downloadUpdateAtURL(QUrl("http://updates.example.net/z.zip")).isEmpty());
    }

    // ---- Download and unpack ---------------------------------------------------------------

    void downloadAndUnpack_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("found");
        QTest::newRow("whole bundle") << "good" << true;
        QTest::newRow("named after the running application") << "renamed" << true;
        QTest::newRow("corrupt zip") << "corrupt" << false;
        QTest::newRow("bundle without executable") << "noexe" << false;
        QTest::newRow("truncated zip") << "truncated" << false;
    }
    void downloadAndUnpack()
    {
        QFETCH(QString, kind);
        QFETCH(bool, found);
        QByteArray zip;
        if (kind == "good" || kind == "truncated")
            zip = zipOfBundle(tmp->path(), "Lumora Hoistly Next", 2300);
        else if (kind == "renamed")
            zip = zipOfBundle(tmp->path(), "Lumora Hoistly", 2300);
        else if (kind == "noexe")
            zip = zipOfBundle(tmp->path(), "Lumora Hoistly Next", 2300, false);
        else
            zip = QByteArray("PK\x03\x04 this is not a zip at all", 30);
        if (kind == "truncated")
            zip.chop(zip.size() / 3);
        QVERIFY(!zip.isEmpty());
        server.setUpdateManifest(manifest(2300, "Lumora Hoistly Next"));
        server.setUpdateZip(zip);
        point();
        QVERIFY(!LMSelfUpdating::checkServerForUpdateAvailable().isEmpty());
        const QString zipPath = LMSelfUpdating::downloadUpdateAtURL(LMSelfUpdating::downloadURL());
        QVERIFY(zipPath.startsWith(LMSelfUpdating::tempDirectory()));
        QCOMPARE(QFile(zipPath).size(), qint64(zip.size()));
        const QString bundle = LMSelfUpdating::extractUpdateAtPath(zipPath);
        QCOMPARE(!bundle.isEmpty(), found);
        if (found)
            QVERIFY(Bundle::isCompleteBundle(bundle));
    }

    void unpackedBuildMustBeTheOfferedNewerOne_data()
    {
        QTest::addColumn<qint64>("offered");
        QTest::addColumn<qint64>("inside");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("offered and newer") << qint64(2300) << qint64(2300) << false << true;
        QTest::newRow("older inside") << qint64(2300) << qint64(2100) << false << false;
        QTest::newRow("older inside, forced") << qint64(2300) << qint64(2100) << true << false;
        QTest::newRow("same build, forced") << qint64(2200) << qint64(2200) << true << true;
        QTest::newRow("older build offered, forced") << qint64(2100) << qint64(2100) << true << true;
    }
    void unpackedBuildMustBeTheOfferedNewerOne()
    {
        // Only the hidden channel's forced update may install a build that is not newer, and
        // never one other than the manifest named.
        QFETCH(qint64, offered);
        QFETCH(qint64, inside);
        QFETCH(bool, force);
        QFETCH(bool, accepted);
        server.setUpdateManifest(manifest(offered));
        server.setUpdateZip(zipOfBundle(tmp->path(), "Lumora Hoistly", inside));
        point();
        if (force)
            LMSelfUpdating::setForceUpdateOnNextCheck();
        QVERIFY(!LMSelfUpdating::checkServerForUpdateAvailable().isEmpty());
        const QString zipPath = LMSelfUpdating::downloadUpdateAtURL(LMSelfUpdating::downloadURL());
        QVERIFY(!zipPath.isEmpty());
        const QString bundle = LMSelfUpdating::extractUpdateAtPath(zipPath);
        QCOMPARE(!bundle.isEmpty(), accepted);
        if (!accepted)
            QCOMPARE(QDir(QFileInfo(zipPath).absolutePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList{"Update.zip"});
    }

    void wholeCheckLaunchesTheUnpackedBundle()
    {
        server.setUpdateManifest(manifest(2300));
        server.setUpdateZip(zipOfBundle(tmp->path(), "Lumora Hoistly", 2300));
        point();
        LMSelfUpdating::checkForUpdatesStandalone();
        QCOMPARE(fake->launches.size(), 1);
        QVERIFY(fake->launches.first().first.startsWith(LMSelfUpdating::tempDirectory()));
        QCOMPARE(fake->launches.first().second, QStringList{"/selfupdated"});
    }

    void alertsWaitForOK()
    {
        // The next step never overtakes the alert the user is reading: no download while
        // "Update found!" is up, no new copy started while "Applying update..." is.
        server.setUpdateManifest(manifest(2300));
        server.setUpdateZip(zipOfBundle(tmp->path(), "Lumora Hoistly", 2300));
        point();
        alerts.enqueueDeferred();
        alerts.enqueueDeferred();
        LMSelfUpdating::checkForUpdatesWithUI();
        QTRY_COMPARE(alerts.count(), 1);
        QCOMPARE(alerts.last().message, QString("Update found! We'll now download and auto-apply."));
        QTest::qWait(300); // a check that does not wait has downloaded by now
        QCOMPARE(requestsFor("/hoistly/LumoraHoistly.app.zip"), 0);
        QVERIFY(alerts.answerPending(0));
        QTRY_COMPARE(alerts.count(), 2);
        QCOMPARE(alerts.last().message, QString("Applying update..."));
        QCOMPARE(requestsFor("/hoistly/LumoraHoistly.app.zip"), 1);
        QTest::qWait(300);
        QCOMPARE(fake->launches.size(), 0);
        QVERIFY(LMSelfUpdating::isCheckingForUpdates());
        QVERIFY(alerts.answerPending(0));
        QTRY_COMPARE(fake->launches.size(), 1);
        QCOMPARE(fake->launches.first().second, QStringList{"/selfupdated"});
        QTRY_VERIFY(!LMSelfUpdating::isCheckingForUpdates());
    }

    void quittingFollowsTheInstallAlert()
    {
        // A copy that cannot be started is reported; whatever waits for the install alerts (the
        // delegate's quit) runs only once the user answered.
        ShellEnvironment::instance().launchBundle = [](const QString &, const QStringList &) { return false; };
        alerts.enqueueDeferred();
        QVERIFY(!LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QCOMPARE(alerts.count(), 1);
        QCOMPARE(alerts.last().title, QString("Unable to copy to Applications folder"));
        int quits = 0;
        LMSelfUpdating::whenAlertsAnswered([&quits] { ++quits; });
        QCOMPARE(quits, 0);
        QVERIFY(alerts.answerPending(0));
        QCOMPARE(quits, 1);
        LMSelfUpdating::whenAlertsAnswered([&quits] { ++quits; }); // nothing on screen: at once
        QCOMPARE(quits, 2);
    }

    void networkComingBackStartsASilentCheck()
    {
        server.setUpdateManifest(manifest(2200));
        point();
        LMSelfUpdating::scheduleAutomaticUpdateChecking();
        auto post = [](Reachability *r) {
            NotificationCenter::post(Notifications::ReachabilityChanged, QVariant::fromValue<QObject *>(r));
        };
        Reachability::setStatusOverrideForTesting(Reachability::NotReachable);
        post(Reachability::reachabilityForInternetConnection());
        Reachability::setStatusOverrideForTesting(Reachability::ReachableViaWiFi);
        post(Reachability::reachabilityForLocalWiFi()); // the local link alone says nothing of the Internet
        QTest::qWait(200);
        QCOMPARE(requestsFor("/hoistly/LumoraHoistly-Info.plist"), 0);
        post(Reachability::reachabilityForInternetConnection());
        QTRY_COMPARE(requestsFor("/hoistly/LumoraHoistly-Info.plist"), 1);
        QTRY_VERIFY(!LMSelfUpdating::isCheckingForUpdates());
        // Within 115 s of that answer the next change does not ask again.
        post(Reachability::reachabilityForInternetConnection());
        QTest::qWait(200);
        QCOMPARE(requestsFor("/hoistly/LumoraHoistly-Info.plist"), 1);
    }

    // The same, with the network really going and coming back: in a network namespace of the
    // test's own (root only), a veth pair carries the default route; the route is removed, or the
    // peer's link goes down (the route stays, without carrier), and then restored.
    void networkReallyComingBackStartsASilentCheck_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::addColumn<QString>("restore");
        QTest::newRow("default route") << "ip route del default" << "ip route add default via 192.0.2.1";
        QTest::newRow("carrier") << "ip link set hxpeer down" << "ip link set hxpeer up";
    }
    void networkReallyComingBackStartsASilentCheck()
    {
        QFETCH(QString, cut);
        QFETCH(QString, restore);
        if (!qEnvironmentVariableIsSet("HOISTLY_TEST_OWN_NETNS"))
            return runInOwnNetworkNamespace();
        server.setUpdateManifest(manifest(2200));
        point();
        LMSelfUpdating::scheduleAutomaticUpdateChecking();
        Reachability *internet = Reachability::reachabilityForInternetConnection();
        QVERIFY(internet->startNotifier()); // the engine does so at start
        QVERIFY(Reachability::isOnline());
        QObject context;
        QStringList seen;
        NotificationCenter::observe(Notifications::ReachabilityChanged, &context, [&seen, internet](const QVariant &object) {
            if (object.value<QObject *>() == internet)
                seen << (internet->isReachable() ? "online" : "offline");
        });
        QCOMPARE(QProcess::execute("sh", {"-c", cut}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(seen, QStringList{"offline"}, 10000);
        QVERIFY(!Reachability::isOnline());
        QCOMPARE(QProcess::execute("sh", {"-c", restore}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(seen, QStringList({"offline", "online"}), 10000);
        QTRY_COMPARE(requestsFor("/hoistly/LumoraHoistly-Info.plist"), 1);
        QTRY_VERIFY(!LMSelfUpdating::isCheckingForUpdates());
        internet->stopNotifier();
    }

    // ---- Applications folder ---------------------------------------------------------------

    void olderInstalledCopyIsReplaced()
    {
        LMSelfUpdating::setLaunchArguments({"Hoistly", "/selfupdated"});
        makeBundle(global, "Lumora Hoistly", 100, true, "old-marker");
        QVERIFY(LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        const QString dest = global + "/Lumora Hoistly.app";
        QCOMPARE(Bundle::infoDictionary(dest).value("CFBundleVersion").toLongLong(), 2200);
        QVERIFY(!QFile::exists(dest + "/Contents/old-marker"));
        QCOMPARE(QDir(global).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Lumora Hoistly.app"});
        QCOMPARE(fake->launches.size(), 1);
        QCOMPARE(fake->launches.first().first, dest);
        QCOMPARE(fake->launches.first().second, QStringList{"/selfupdated"});
        QVERIFY(!LMSelfUpdating::updateApplyFailed());
    }

    void newerOrEqualInstalledCopyStaysAndIsLaunched()
    {
        makeBundle(global, "Lumora Hoistly", 2200, true, "kept-marker");
        QVERIFY(LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(QFile::exists(global + "/Lumora Hoistly.app/Contents/kept-marker"));
        QCOMPARE(fake->launches.first().first, global + "/Lumora Hoistly.app");
    }

    void failedCopyLeavesTheInstalledCopy()
    {
        makeBundle(global, "Lumora Hoistly", 100, true, "old-marker");
        QFile::remove(running + "/Contents/MacOS/Hoistly"); // the source is incomplete
        QVERIFY(!LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(QFile::exists(global + "/Lumora Hoistly.app/Contents/old-marker"));
        QVERIFY(Bundle::isCompleteBundle(global + "/Lumora Hoistly.app"));
        QCOMPARE(QDir(global).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Lumora Hoistly.app"});
        QVERIFY(LMSelfUpdating::updateApplyFailed());
        QCOMPARE(fake->count("increment:Misc: Upgrade failed"), 1);
        QCOMPARE(fake->launches.size(), 0);
    }

    void linksAreCopiedAsWritten()
    {
        // A relative link stays relative: the installed copy must not lean on the folder it was
        // installed from (the update cache is emptied afterwards).
        namespace fs = std::filesystem;
        const QString frameworks = running + "/Contents/Frameworks";
        QDir().mkpath(frameworks);
        QFile lib(frameworks + "/libcore.so.1");
        QVERIFY(lib.open(QIODevice::WriteOnly));
        lib.write("library");
        lib.close();
        fs::create_symlink("libcore.so.1", QFile::encodeName(frameworks + "/libcore.so").toStdString());
        QVERIFY(LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(QDir(running).removeRecursively());
        const QString installed = global + "/Lumora Hoistly.app/Contents/Frameworks/libcore.so";
        QCOMPARE(QString::fromStdString(fs::read_symlink(QFile::encodeName(installed).toStdString()).native()),
                 QString("libcore.so.1"));
        QFile copied(installed);
        QVERIFY(copied.open(QIODevice::ReadOnly));
        QCOMPARE(copied.readAll(), QByteArray("library"));
        QVERIFY(Bundle::isCompleteBundle(global + "/Lumora Hoistly.app"));
    }

    void bundleReachingOutsideIsNotInstalled()
    {
        // A copy that would depend on something outside itself is not whole; the installed one stays.
        makeBundle(global, "Lumora Hoistly", 100, true, "old-marker");
        QDir().mkpath(running + "/Contents/Resources");
        std::filesystem::create_symlink(QFile::encodeName(tmp->path()).toStdString(),
                                        QFile::encodeName(running + "/Contents/Resources/outside").toStdString());
        QVERIFY(!LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(QFile::exists(global + "/Lumora Hoistly.app/Contents/old-marker"));
        QVERIFY(Bundle::isCompleteBundle(global + "/Lumora Hoistly.app"));
        QCOMPARE(QDir(global).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Lumora Hoistly.app"});
        QVERIFY(LMSelfUpdating::updateApplyFailed());
        QCOMPARE(fake->launches.size(), 0);
    }

    void failedRenameInTheSwapKeepsTheInstalledCopy()
    {
        // Nothing can be swapped or renamed onto the destination: the installed copy never leaves
        // its place, nothing is started and nothing is left beside it.
        makeBundle(global, "Lumora Hoistly", 100, true, "old-marker");
        QVERIFY(QDir(user).removeRecursively()); // no second place to fall back to
        const QString dest = global + "/Lumora Hoistly.app";
        LMSelfUpdating::setRenameFaultForTesting([dest](const QString &, const QString &to) { return to == dest; });
        QVERIFY(!LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(LMSelfUpdating::updateApplyFailed());
        QCOMPARE(fake->launches.size(), 0);
        QVERIFY(QFile::exists(dest + "/Contents/old-marker"));
        QCOMPARE(QDir(global).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Lumora Hoistly.app"});
    }

    void leftoverOfAnInterruptedSwapAtStart_data()
    {
        QTest::addColumn<QString>("destination"); // "missing", "incomplete", "whole"
        QTest::addColumn<bool>("leftoverWhole");
        QTest::addColumn<QString>("markerAfter"); // marker the destination holds afterwards; "" = none
        QTest::addColumn<bool>("leftoverKept");
        QTest::addColumn<QString>("leftoverName");
        QTest::addColumn<bool>("exchange"); // the file system swaps two paths in one step
        const QString ours = "Lumora Hoistly.app.previous-4242-17";
        QTest::newRow("destination missing") << "missing" << true << "aside-marker" << false << ours << true;
        QTest::newRow("destination incomplete") << "incomplete" << true << "aside-marker" << false << ours << true;
        QTest::newRow("destination whole") << "whole" << true << "dest-marker" << false << ours << true;
        QTest::newRow("nothing whole to restore") << "missing" << false << "" << true << ours << true;
        QTest::newRow("install script's leftover") << "missing" << true << "aside-marker" << false
                                                   << ".Lumora Hoistly.app.previous-977" << true;
        QTest::newRow("whole copy on its way in") << "incomplete" << true << "aside-marker" << false
                                                  << "Lumora Hoistly.app.incoming-4242-17" << true;
        QTest::newRow("destination incomplete, no exchange") << "incomplete" << true << "aside-marker" << false << ours << false;
    }
    void leftoverOfAnInterruptedSwapAtStart()
    {
        QFETCH(QString, destination);
        QFETCH(bool, leftoverWhole);
        QFETCH(QString, markerAfter);
        QFETCH(bool, leftoverKept);
        QFETCH(QString, leftoverName);
        QFETCH(bool, exchange);
        LMSelfUpdating::setExchangeUnsupportedForTesting(!exchange);
        const QString dest = global + "/Lumora Hoistly.app";
        const QString aside = global + "/" + leftoverName;
        makeBundle(tmp->path() + "/staging", "Lumora Hoistly", 2100, leftoverWhole, "aside-marker");
        QVERIFY(QDir().rename(tmp->path() + "/staging/Lumora Hoistly.app", aside));
        if (destination != "missing")
            makeBundle(global, "Lumora Hoistly", 2200, destination == "whole", "dest-marker");
        // The start of a copy that already runs from the user's Applications folder.
        running = makeBundle(user, "Lumora Hoistly", 2200);
        Bundle::setMainBundlePathForTesting(running);
        QVERIFY(!LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        if (markerAfter.isEmpty()) {
            QVERIFY(!QFileInfo::exists(dest));
        } else {
            QVERIFY(QFile::exists(dest + "/Contents/" + markerAfter));
            QVERIFY(Bundle::isCompleteBundle(dest));
        }
        QCOMPARE(QFileInfo::exists(aside), leftoverKept);
        QCOMPARE(fake->launches.size(), 0);
    }

    void unwritableGlobalFolderUsesTheUserFolder()
    {
        global = tmp->path() + "/no-such-folder";
        LMSelfUpdating::setApplicationsFoldersForTesting(global, user);
        makeBundle(user, "Lumora Hoistly", 9999, true, "newer-marker"); // no version guard here
        QVERIFY(LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QCOMPARE(Bundle::infoDictionary(user + "/Lumora Hoistly.app").value("CFBundleVersion").toLongLong(), 2200);
        QCOMPARE(fake->launches.first().first, user + "/Lumora Hoistly.app");
    }

    void runningFromAnApplicationsFolderDoesNothing()
    {
        running = makeBundle(user, "Lumora Hoistly", 2200);
        Bundle::setMainBundlePathForTesting(running);
        QDir().mkpath(LMSelfUpdating::tempDirectory() + "/123");
        QVERIFY(!LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(QFileInfo::exists(LMSelfUpdating::tempDirectory() + "/123"));
        LMSelfUpdating::setLaunchArguments({"Hoistly", "/selfupdated"});
        QVERIFY(!LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(!QFileInfo::exists(LMSelfUpdating::tempDirectory() + "/123")); // the cache is emptied
        QCOMPARE(fake->launches.size(), 0);
    }

    void applicationsFolderIsAPrefixNotASubstring()
    {
        // "<tmp>/opt-old/..." contains "<tmp>/opt" as text but is not inside it.
        running = makeBundle(tmp->path() + "/opt-old", "Lumora Hoistly", 2200);
        Bundle::setMainBundlePathForTesting(running);
        QVERIFY(LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(Bundle::isCompleteBundle(global + "/Lumora Hoistly.app"));
        QVERIFY(Bundle::isPathInsideFolder(global + "/Lumora Hoistly.app", global));
        QVERIFY(!Bundle::isPathInsideFolder(tmp->path() + "/opt-old/x", global));
        QVERIFY(Bundle::isPathInsideFolder(global, global));
    }

    void anUnpackedDownloadStartedByHandCountsAsManual_data()
    {
        QTest::addColumn<QString>("where"); // "download" or "cache"
        QTest::addColumn<bool>("selfUpdated");
        QTest::addColumn<QStringList>("relaunchArguments");
        QTest::newRow("archive unpacked in Downloads") << "download" << false << QStringList{};
        QTest::newRow("archive started as an update") << "download" << true << QStringList{"/selfupdated"};
        QTest::newRow("update unpacked by the updater") << "cache" << true << QStringList{"/selfupdated"};
        QTest::newRow("update cache, no argument") << "cache" << false << QStringList{"/selfupdated"};
    }
    void anUnpackedDownloadStartedByHandCountsAsManual()
    {
        QFETCH(QString, where);
        QFETCH(bool, selfUpdated);
        QFETCH(QStringList, relaunchArguments);
        if (where == "cache") {
            running = makeBundle(LMSelfUpdating::tempDirectory() + "/1700000000", "Lumora Hoistly", 2200);
            Bundle::setMainBundlePathForTesting(running);
        }
        if (selfUpdated)
            LMSelfUpdating::setLaunchArguments({"Hoistly", "/selfupdated"});
        QVERIFY(LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QCOMPARE(fake->launches.size(), 1);
        QCOMPARE(fake->launches.first().second, relaunchArguments);
    }

    void earlierProductBundlesGo()
    {
        makeBundle(user, LMSelfUpdating::earlierProductName(), 50);
        QVERIFY(LMSelfUpdating::copyToApplicationsFolderAndRelaunchWithAppName("Lumora Hoistly"));
        QVERIFY(!QFileInfo::exists(user + "/" + LMSelfUpdating::earlierProductName() + ".app"));
    }

    // ---- Launch at login --------------------------------------------------------------------

    void autostartEntryWrittenParsedAndRemoved()
    {
        running = makeBundle(tmp->path() + "/odd \"name\" $HOME `x` 100% \\ dir", "Lumora Hoistly", 2200);
        Bundle::setMainBundlePathForTesting(running);
        const QString folder = StandardPaths::autostartFolder();
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        // Somebody else's entry, and one of an earlier copy of ours.
        auto write = [&](const QString &file, const QString &exec) {
            QFile f(folder + "/" + file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(("[Desktop Entry]\nType=Application\nName=x\nExec=" + exec + "\n").toUtf8());
        };
        write("other.desktop", "/usr/bin/other --flag");
        write("old-copy.desktop", "\"/home/u/Applications/Lumora Hoistly.app/Contents/MacOS/Hoistly\" --login-item");
        write("broken.desktop", "");

        LoginItems::addAppAsLoginItem();
        const QStringList args = LoginItems::splitExec(LoginItems::execOfEntry(LoginItems::entryPath()));
        QVERIFY(args.contains(Bundle::executablePath(running)));
        QCOMPARE(args.last(), QString("--login-item"));
        // The session starts it under GLib's rules, which check the program before expanding "%%".
        if (!QStandardPaths::findExecutable("desktop-file-validate").isEmpty())
            QCOMPARE(QProcess::execute("desktop-file-validate", {LoginItems::entryPath()}), 0);
        if (!QStandardPaths::findExecutable("gio").isEmpty()) {
            const QString launched = QDir::homePath() + "/launched.txt";
            QFile::remove(launched);
            QCOMPARE(QProcess::execute("gio", {"launch", LoginItems::entryPath()}), 0);
            QTRY_VERIFY(QFileInfo(launched).size() > 0);
            QFile f(launched);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll().trimmed(), QByteArray("--login-item"));
        }

        LoginItems::deleteAppFromLoginItem();
        QVERIFY(!QFile::exists(LoginItems::entryPath()));
        QVERIFY(!QFile::exists(folder + "/old-copy.desktop"));
        QVERIFY(QFile::exists(folder + "/other.desktop"));
        QVERIFY(QFile::exists(folder + "/broken.desktop"));
        LoginItems::deleteAppFromLoginItem(); // nothing left of ours: no change
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 2);
    }

    void execQuotingRoundTrips_data()
    {
        QTest::addColumn<QString>("arg");
        QTest::newRow("plain") << "/usr/bin/hoistly";
        QTest::newRow("blank") << "/opt/Lumora Hoistly.app/x";
        QTest::newRow("specials") << "/a \"b\" `c` $d \\e %f";
        QTest::newRow("empty") << "";
    }
    void execQuotingRoundTrips()
    {
        QFETCH(QString, arg);
        const QString exec = LoginItems::quoteExecArgument(arg) + " --login-item";
        QCOMPARE(LoginItems::splitExec(LoginItems::unescapeValue(LoginItems::escapeValue(exec))),
                 (QStringList{arg, "--login-item"}));
    }
};

QTEST_MAIN(TestSelfUpdating)
#include "tst_selfupdating.moc"
