// The real binary in update-check mode, against the service double's manifest and zip: it needs
// no display, always exits 0, and launches the unpacked bundle only for a newer, whole build.
#include "app/launch/AppDelegate.h"
#include "LumoraDouble.h"
#include "UpdateTestBundles.h"
#include "app/update/Bundle.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>

using namespace UpdateTestBundles;

class TestUpdateCheckProcess : public QObject
{
    Q_OBJECT
    LumoraDouble server;

    struct Run
    {
        int exitCode = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QByteArray output;
        QString launched; // arguments the unpacked bundle was started with; null when not started
        qint64 peakKiB = 0; // the most memory the checker was seen to hold (VmHWM)
    };

    static qint64 peakMemoryKiB(qint64 pid)
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        return 0;
    }

    // Lays the running copy out as an installed bundle (build 2200) and runs it with the
    // argument, in a home of its own, against `base`.
    Run runChecker(const QString &base, int waitMs = 60000)
    {
        QTemporaryDir tmp;
        return runChecker(base, tmp.path(), {}, waitMs);
    }
    // The same under `root` (home in "<root>/home", the running copy in "<root>/Applications"),
    // with extra environment.
    Run runChecker(const QString &base, const QString &root, const QMap<QString, QString> &extraEnv, int waitMs = 60000)
    {
        Run run;
        const QString home = root + "/home";
        QDir().mkpath(home);
        const QString bundle = makeBundle(root + "/Applications", "Lumora Hoistly", 2200, false);
        const QString exe = bundle + "/Contents/MacOS/Hoistly";
        if (!QFile::copy(qEnvironmentVariable("HOISTLY_APP_BINARY"), exe))
            return run;
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/.config");
        env.insert("XDG_DATA_HOME", home + "/.local/share");
        env.insert("XDG_STATE_HOME", home + "/.local/state");
        env.insert("HOISTLY_SERVICE_URL", base);
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM"); // the mode must not need a window system
        for (auto it = extraEnv.cbegin(); it != extraEnv.cend(); ++it)
            env.insert(it.key(), it.value());
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(exe, {"/Check-For-Updates"});
        QDeadlineTimer limit(waitMs);
        while (!p.waitForFinished(20)) {
            run.peakKiB = qMax(run.peakKiB, peakMemoryKiB(p.processId()));
            if (limit.hasExpired()) {
                p.kill();
                p.waitForFinished();
                return run;
            }
        }
        run.exitCode = p.exitCode();
        run.status = p.exitStatus();
        run.output = p.readAll();
        QFile marker(home + "/launched.txt");
        // The unpacked bundle's script runs detached. When an update was applied, wait (bounded) until
        // it has written its arguments -- the file exists, empty, before the echo lands; otherwise
        // give a stray launch a moment to show itself.
        QDeadlineTimer deadline(run.output.contains("Update applied successfully") ? 15000 : 1000);
        while (QFileInfo(marker.fileName()).size() == 0 && !deadline.hasExpired())
            QTest::qWait(20);
        if (marker.open(QIODevice::ReadOnly))
            run.launched = QString::fromUtf8(marker.readAll()).trimmed();
        return run;
    }

    // The hidden channel reads YES when never set, so the addresses carry its prefix.
    void serve(const QByteArray &plist, const QByteArray &zip)
    {
        for (const QString &prefix : {QString(), QStringLiteral("beta2/")}) {
            server.setFile("/hoistly/" + prefix + "LumoraHoistly-Info.plist", plist, "application/x-plist");
            server.setFile("/hoistly/" + prefix + "LumoraHoistly.app.zip", zip, "application/zip");
        }
    }


    // ---- A real install, run as a user without rights to the system-wide folder ------------

    struct Install
    {
        QString root, home, apps, installed, download;
    };

    // An older copy installed in ~/Applications and a newer download of the real binary, in a
    // folder an unprivileged user owns.
    Install prepareInstall(const QString &root)
    {
        Install in{root, root + "/home", root + "/home/Applications", {}, {}};
        in.installed = makeBundle(in.apps, "Lumora Hoistly", 2100, false);
        in.download = makeBundle(in.home + "/Downloads", "Lumora Hoistly", 2200, false);
        for (const QString &b : {in.installed, in.download})
            QFile::copy(qEnvironmentVariable("HOISTLY_APP_BINARY"), b + "/Contents/MacOS/Hoistly");
        QDir().mkpath(in.home + "/runtime");
        // A profile that has started before: every run makes the same calls on its main thread.
        QDir().mkpath(in.home + "/.config/Lumora");
        QFile::setPermissions(in.home + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (::getuid() == 0) {
            QProcess::execute("chown", {"-R", "nobody:nogroup", root});
            for (const QString &folder : {QFileInfo(root).path(), root})
                QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ExeOther | QFile::ReadOther);
        }
        return in;
    }

    // Starts the download as the user would (unprivileged), under strace with `straceArgs`;
    // returns strace's exit code, -1 when the program was killed (strace then dies of the same
    // signal) and -2 when it did not end in time.
    static int runInstall(const Install &in, const QStringList &straceArgs)
    {
        QProcess p;
        QProcessEnvironment env;
        env.insert("PATH", qEnvironmentVariable("PATH"));
        env.insert("HOME", in.home);
        env.insert("XDG_RUNTIME_DIR", in.home + "/runtime");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("HOISTLY_SERVICE_URL", "http://127.0.0.1:9"); // nothing answers there
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList command{"strace", "-qq", "-e", "signal=none"};
        command << straceArgs << in.download + "/Contents/MacOS/Hoistly";
        if (::getuid() == 0)
            command = QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"} + command;
        p.start(::getuid() == 0 ? "setpriv" : command.takeFirst(), command);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return -2;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    // The processes whose program is `exe` or lies under it, with their arguments.
    static QMap<pid_t, QStringList> processesOf(const QString &exe)
    {
        QMap<pid_t, QStringList> found;
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString program = QFile::symLinkTarget("/proc/" + pid + "/exe");
            if (pid.toInt() <= 0 || (program != exe && !program.startsWith(exe + "/")))
                continue;
            QFile cmdline("/proc/" + pid + "/cmdline");
            cmdline.open(QIODevice::ReadOnly);
            QStringList args;
            for (const QByteArray &arg : cmdline.readAll().split('\0'))
                args << QString::fromLocal8Bit(arg);
            found.insert(pid_t(pid.toInt()), args.mid(1, args.size() - 2));
        }
        return found;
    }

    // Ends, by id, every process whose program lies under `root` (the relaunched copies).
    static void endCopiesUnder(const QString &root)
    {
        for (int round = 0; round < 100; ++round) {
            const QList<pid_t> found = processesOf(root).keys();
            if (found.isEmpty())
                return;
            for (const pid_t pid : found)
                ::kill(pid, SIGKILL);
            QTest::qWait(50);
        }
    }

    // What the Applications folder holds and whether the installed copy is a whole one.
    static QStringList appsEntries(const Install &in)
    {
        return QDir(in.apps).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        if (!QFileInfo(qEnvironmentVariable("HOISTLY_APP_BINARY")).isExecutable())
            QSKIP("the Hoistly executable is not built");
        QVERIFY(server.start());
    }

    void checkAgainstTheDouble_data()
    {
        QTest::addColumn<qint64>("offered");
        QTest::addColumn<QString>("zipKind");
        QTest::addColumn<bool>("launched");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<QString>("macMinimum"); // the manifest's macOS minimum, "" for none
        QTest::newRow("newer") << qint64(2300) << "good" << true << "UPDATER: Update applied successfully" << "";
        QTest::newRow("equal") << qint64(2200) << "good" << false << "UPDATER: Up to date (2200/2200)" << "";
        QTest::newRow("older") << qint64(2100) << "good" << false << "UPDATER: Up to date (2200/2100)" << "";
        QTest::newRow("corrupt zip") << qint64(2300) << "corrupt" << false << "UPDATER: ERROR - Extract failed" << "";
        QTest::newRow("bundle without executable") << qint64(2300) << "noexe" << false << "UPDATER: ERROR - Extract failed" << "";
        QTest::newRow("newer, for macOS 11.0") << qint64(2300) << "good" << true << "UPDATER: Update applied successfully" << "11.0";
        // Offered 0: the server has no update information; -1: the double's own manifest.
        QTest::newRow("no update information") << qint64(0) << "good" << false << "UPDATER: No update information at" << "";
        QTest::newRow("the double's own answer") << qint64(-1) << "good" << false << "UPDATER: Up to date (2200/" HOISTLY_BUILD_NUMBER ")" << "";
    }
    void checkAgainstTheDouble()
    {
        QFETCH(qint64, offered);
        QFETCH(QString, zipKind);
        QFETCH(bool, launched);
        QFETCH(QString, logLine);
        QFETCH(QString, macMinimum);
        QTemporaryDir work;
        QByteArray zip = zipKind == "corrupt" ? QByteArray(4096, 'z')
                                              : zipOfBundle(work.path(), "Lumora Hoistly", qMax(offered, 1), zipKind != "noexe");
        serve(manifest(offered, "Lumora Hoistly", macMinimum.isEmpty() ? QVariant() : QVariant(macMinimum)), zip);
        if (offered == 0)
            server.setFault(LumoraDouble::Fault::HttpError, 404, "web");
        auto clear = qScopeGuard([&] { server.clearFaults(); });
        LumoraDouble own; // as the run command starts it: nothing set
        QVERIFY(offered >= 0 || own.start());
        const Run run = runChecker(offered >= 0 ? server.baseUrl() : own.baseUrl());
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.output.contains(logLine.toUtf8()), run.output.constData());
        // A server without update information makes a line of its own, not a dump of a list.
        QVERIFY2(!run.output.contains("<plist") && !run.output.contains("Exception"), run.output.constData());
        QCOMPARE(!run.launched.isNull(), launched);
        if (launched)
            QCOMPARE(run.launched, QString("/selfupdated"));
    }

    // Hostile or mismatched updates: each must end with nothing started, nothing of the archive
    // left unpacked, and the running copy as it was.
    void refusesHostileUpdates_data()
    {
        QTest::addColumn<QByteArray>("plist");
        QTest::addColumn<QByteArray>("zip");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("streamed");
        const QByteArray good = manifest(2300);
        const QString extractFailed = "UPDATER: ERROR - Extract failed";
        QList<ZipEntry> entries;

        // "../" climbs from the unpack folder (<home>/.local/share/Lumora/UpdateCache/<secs>) to
        // <home>/elsewhere, where a runnable bundle waits.
        QTest::newRow("name climbs out of the cache")
            << manifest(2300, "../../../../../elsewhere/x") << craftZip(bundleEntries("Lumora Hoistly", 2300))
            << "UPDATER: Unable to retrieve update info" << false;
        QTest::newRow("name with a separator")
            << manifest(2300, "sub/Lumora Hoistly") << craftZip(bundleEntries("Lumora Hoistly", 2300))
            << "UPDATER: Unable to retrieve update info" << false;

        entries = bundleEntries("Lumora Hoistly", 2300);
        entries << ZipEntry{"/Lumora Hoistly.app/Contents/Resources/absolute", "x"};
        QTest::newRow("absolute entry") << good << craftZip(entries) << extractFailed << false;

        entries = bundleEntries("Lumora Hoistly", 2300);
        entries << ZipEntry{"Lumora Hoistly.app/../../climbed", "x"};
        QTest::newRow("entry with ..") << good << craftZip(entries) << extractFailed << false;

        entries = bundleEntries("Lumora Hoistly", 2300);
        entries << ZipEntry{"Beside.app/Contents/x", "x"};
        QTest::newRow("entry beside the bundle") << good << craftZip(entries) << extractFailed << false;

        entries = bundleEntries("Lumora Hoistly", 2300);
        entries << ZipEntry{"Lumora Hoistly.app/Contents/Resources/", {}, 040755}
                << ZipEntry{"Lumora Hoistly.app/Contents/Resources/up", "../../../../..", 0120777};
        QTest::newRow("relative link out of the bundle") << good << craftZip(entries) << extractFailed << false;

        entries = bundleEntries("Lumora Hoistly", 2300);
        entries << ZipEntry{"Lumora Hoistly.app/Contents/Resources/", {}, 040755}
                << ZipEntry{"Lumora Hoistly.app/Contents/Resources/etc", "/etc", 0120777};
        QTest::newRow("absolute link") << good << craftZip(entries) << extractFailed << false;

        entries = bundleEntries("Lumora Hoistly", 2300);
        entries.removeLast(); // the executable becomes a link to a script inside the bundle
        entries << ZipEntry{"Lumora Hoistly.app/Contents/Resources/", {}, 040755}
                << ZipEntry{"Lumora Hoistly.app/Contents/Resources/run", "#!/bin/sh\necho \"$@\" > \"$HOME/launched.txt\"\n", 0100755}
                << ZipEntry{"Lumora Hoistly.app/Contents/MacOS/Hoistly", "../Resources/run", 0120777};
        QTest::newRow("executable is a link") << good << craftZip(entries) << extractFailed << false;

        entries = bundleEntries("Lumora Hoistly", 2300);
        entries.removeIf([](const ZipEntry &e) { return e.name.endsWith("/hoistly_webview.so"); });
        QTest::newRow("no web view module") << good << craftZip(entries) << extractFailed << false;

        QTest::newRow("older build than offered")
            << good << craftZip(bundleEntries("Lumora Hoistly", 100)) << extractFailed << false;
        QTest::newRow("other build than offered")
            << good << craftZip(bundleEntries("Lumora Hoistly", 2400)) << extractFailed << false;

        // The test lowers the size limit to 64 KiB; this zip is about 200 KiB.
        entries = bundleEntries("Lumora Hoistly", 2300);
        QByteArray padding(200 * 1024, 0);
        for (int i = 0; i < padding.size(); ++i)
            padding[i] = char((i * 7919) >> 3);
        entries << ZipEntry{"Lumora Hoistly.app/Contents/padding", padding};
        QTest::newRow("larger than the limit") << good << craftZip(entries) << "UPDATER: ERROR - Download failed" << false;
        QTest::newRow("larger than the limit, no length sent")
            << good << craftZip(entries) << "UPDATER: ERROR - Download failed" << true;
    }
    void refusesHostileUpdates()
    {
        QFETCH(QByteArray, plist);
        QFETCH(QByteArray, zip);
        QFETCH(QString, logLine);
        QFETCH(bool, streamed);
        QTemporaryDir root;
        const QString home = root.path() + "/home";
        const QString outside = makeBundle(home + "/elsewhere", "x", 2300);
        serve(plist, zip);
        if (streamed)
            server.setUpdateZipStreamed(zip);
        const Run run = runChecker(server.baseUrl(), root.path(), {{"HOISTLY_UPDATE_MAX_BYTES", "65536"}});
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.output.contains(logLine.toUtf8()), run.output.constData());
        QVERIFY2(run.launched.isNull(), qPrintable(run.launched));
        QVERIFY(!run.output.contains("UPDATER: Update applied successfully"));

        // Nothing of the archive stays: at most the downloaded zip itself.
        QStringList unpacked;
        QDirIterator it(home + "/.local/share/Lumora/UpdateCache", QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo fi(it.next());
            if (!fi.isDir() && fi.fileName() != "Update.zip")
                unpacked << fi.filePath();
            if (fi.fileName() == "Update.zip")
                QVERIFY(fi.size() <= 65536);
        }
        QVERIFY2(unpacked.isEmpty(), qPrintable(unpacked.join(", ")));
        QVERIFY(!QFileInfo::exists(home + "/climbed"));
        QVERIFY(Bundle::isCompleteBundle(outside));

        // The running copy is untouched.
        const QString installed = root.path() + "/Applications/Lumora Hoistly.app";
        QCOMPARE(Bundle::infoDictionary(installed).value("CFBundleVersion").toLongLong(), 2200);
        QVERIFY(QFileInfo(installed + "/Contents/MacOS/Hoistly").isExecutable());
    }

    // The real binary installs a download over an older copy and is killed at each step of the
    // install that touches the Applications folder: after every kill a whole copy is there to be
    // started, and the next start clears what the kill left before installing again.
    void anInstallKilledAtAnyStepLeavesAWholeCopy()
    {
        if (QStandardPaths::findExecutable("strace").isEmpty() || QProcess::execute("strace", {"-qq", "-o", "/dev/null", "true"}) != 0)
            QSKIP("strace is not installed or may not trace here");
        const QStringList kinds{"mkdir", "openat", "rename", "renameat", "renameat2", "unlink", "unlinkat", "rmdir"};
        QTemporaryDir tmp;
        // Whatever fails, no copy started here outlives the test.
        const std::unique_ptr<QTemporaryDir, void (*)(QTemporaryDir *)> ender(&tmp, [](QTemporaryDir *t) { endCopiesUnder(t->path()); });
        Install in = prepareInstall(tmp.path() + "/reference");
        // A traced run names the steps: each call of the main thread that touches the folder,
        // with its number among the calls of its kind.
        const QString trace = in.home + "/trace.txt";
        QCOMPARE(runInstall(in, {"-o", trace, "-e", "trace=" + kinds.join(',')}), 0);
        endCopiesUnder(in.root);
        QCOMPARE(appsEntries(in), QStringList{"Lumora Hoistly.app"});
        QFile traceFile(trace);
        QVERIFY(traceFile.open(QIODevice::ReadOnly));
        QList<QPair<QString, int>> steps;
        QMap<QString, int> seen;
        for (const QByteArray &line : traceFile.readAll().split('\n')) {
            const QString call = QString::fromUtf8(line.left(line.indexOf('(')));
            if (!kinds.contains(call))
                continue;
            const int ordinal = ++seen[call];
            if (line.contains(QFile::encodeName(in.apps + "/")) && (call != "openat" || line.contains("O_CREAT")))
                steps << qMakePair(call, ordinal);
        }
        QVERIFY2(steps.size() >= 8, qPrintable(QString::number(steps.size())));
        qInfo("killing the install at each of its %lld steps", qlonglong(steps.size()));

        in = prepareInstall(tmp.path() + "/killed");
        for (const auto &[call, ordinal] : std::as_const(steps)) {
            const QString step = QStringLiteral("%1 #%2").arg(call).arg(ordinal);
            QCOMPARE(runInstall(in, {"-o", "/dev/null", "-e", "trace=" + call,
                                     "-e", QStringLiteral("inject=%1:signal=KILL:when=%2").arg(call).arg(ordinal)}), -1);
            endCopiesUnder(in.root);
            QString why;
            QVERIFY2(Bundle::isCompleteBundle(in.installed, &why), qPrintable(step + ": " + why + " in " + appsEntries(in).join(", ")));
        }
        // An unhindered start puts everything right and installs; the download was started by
        // hand, so the installed copy starts as a manual launch.
        QCOMPARE(runInstall(in, {"-o", "/dev/null", "-e", "trace=none"}), 0);
        const QString installedExe = in.installed + "/Contents/MacOS/Hoistly";
        QTRY_VERIFY_WITH_TIMEOUT(!processesOf(installedExe).isEmpty(), 10000);
        const QStringList relaunched = processesOf(installedExe).first();
        QVERIFY2(relaunched.isEmpty(), qPrintable(relaunched.join(' ')));
        endCopiesUnder(in.root);
        QCOMPARE(appsEntries(in), QStringList{"Lumora Hoistly.app"});
        QCOMPARE(Bundle::infoDictionary(in.installed).value("CFBundleVersion").toLongLong(), 2200);
    }

    // A fast server streaming far more than any update, without announcing a length: the
    // download is cut off at the size limit and the checker's memory stays small meanwhile.
    void anOversizeStreamKeepsMemorySmall()
    {
        QTemporaryDir root;
        serve(manifest(2300), QByteArray());
        server.setUpdateZipFiller(qint64(600) << 20);
        const Run run = runChecker(server.baseUrl(), root.path(), {}, 180000);
        QCOMPARE(run.status, QProcess::NormalExit);
        QVERIFY2(run.output.contains("UPDATER: ERROR - Download failed"), run.output.constData());
        QVERIFY2(run.output.contains("update larger than 536870912 bytes"), run.output.constData());
        qInfo("checker's peak memory: %lld KiB", run.peakKiB);
        QVERIFY(run.peakKiB > 0);
        QVERIFY2(run.peakKiB < 96 * 1024, qPrintable(QString::number(run.peakKiB)));
    }

    void hangingServerTimesOut()
    {
        // Accepts connections and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> held;
        connect(&silent, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = silent.nextPendingConnection())
                held << s;
        });
        const Run run = runChecker(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()), 90000);
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.output.contains("UPDATER: Complete, no update found"), run.output.constData());
        QVERIFY(run.launched.isNull());
        QVERIFY(!held.isEmpty());
    }
};

QTEST_MAIN(TestUpdateCheckProcess)
#include "tst_updatecheck_process.moc"
