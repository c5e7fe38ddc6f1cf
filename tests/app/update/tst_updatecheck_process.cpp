// The real binary in update-check mode, against the service double's manifest and zip: it needs
// no display, always exits 0, and launches the unpacked bundle only for a newer, whole build.
#include "app/launch/AppDelegate.h"
#include "LumoraDouble.h"
#include "UpdateTestBundles.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

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
    };

    // Lays the running copy out as an installed bundle (build 2200) and runs it with the
    // argument, in a home of its own, against `base`.
    Run runChecker(const QString &base, int waitMs = 60000)
    {
        Run run;
        QTemporaryDir tmp;
        const QString home = tmp.path() + "/home";
        QDir().mkpath(home);
        const QString bundle = makeBundle(tmp.path() + "/Applications", "Lumora Hoistly", 2200, false);
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
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(exe, {"/Check-For-Updates"});
        if (!p.waitForFinished(waitMs)) {
            p.kill();
            p.waitForFinished();
            return run;
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
        QTest::newRow("newer") << qint64(2300) << "good" << true << "UPDATER: Update applied successfully";
        QTest::newRow("equal") << qint64(2200) << "good" << false << "UPDATER: Up to date (2200/2200)";
        QTest::newRow("older") << qint64(2100) << "good" << false << "UPDATER: Up to date (2200/2100)";
        QTest::newRow("corrupt zip") << qint64(2300) << "corrupt" << false << "UPDATER: ERROR - Extract failed";
        QTest::newRow("bundle without executable") << qint64(2300) << "noexe" << false << "UPDATER: ERROR - Extract failed";
    }
    void checkAgainstTheDouble()
    {
        QFETCH(qint64, offered);
        QFETCH(QString, zipKind);
        QFETCH(bool, launched);
        QFETCH(QString, logLine);
        QTemporaryDir work;
        QByteArray zip = zipKind == "corrupt" ? QByteArray(4096, 'z')
                                              : zipOfBundle(work.path(), "Lumora Hoistly", offered, zipKind != "noexe");
        serve(manifest(offered), zip);
        const Run run = runChecker(server.baseUrl());
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.output.contains(logLine.toUtf8()), run.output.constData());
        QCOMPARE(!run.launched.isNull(), launched);
        if (launched)
            QCOMPARE(run.launched, QString("/selfupdated"));
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
