// Two processes on the local socket: the sign-in callback handed from a new process of the real
// binary to the running copy, and the single-copy rule (a second copy ends the first, by force
// when it does not go).
#include "app/platform/SingleInstance.h"
#include "platform/StandardPaths.h"
#include "app/update/Bundle.h"
#include "app/update/LoginItems.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

class TestProcesses : public QObject
{
    Q_OBJECT
    QTemporaryDir home;

    QString helperPath() const { return qEnvironmentVariable("HOISTLY_SINGLE_COPY_HELPER"); }

    // The socket name the real binary derives for a home whose config folder is ours.
    QString socketName() const
    {
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        QStandardPaths::setTestModeEnabled(false);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + "/config"));
        const QString name = SingleInstance::serverNameForConfig(StandardPaths::userDefaultsFile());
        qputenv("XDG_CONFIG_HOME", saved);
        QStandardPaths::setTestModeEnabled(true);
        return name;
    }

    bool startHelper(QProcess &helper, const QString &mode)
    {
        helper.setProcessChannelMode(QProcess::SeparateChannels);
        helper.start(helperPath(), {socketName(), mode});
        if (!helper.waitForStarted(5000))
            return false;
        while (!helper.readAllStandardOutput().contains("READY"))
            if (!helper.waitForReadyRead(5000))
                return false;
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(home.isValid());
        QVERIFY2(QFileInfo(helperPath()).isExecutable(), qPrintable(helperPath()));
        SingleInstance::setServerNameForTesting(socketName());
    }

    void signInCallbackIsForwardedToTheRunningCopy()
    {
        const QString app = qEnvironmentVariable("HOISTLY_APP_BINARY");
        if (!QFileInfo(app).isExecutable())
            QSKIP("the Hoistly executable is not built");
        QProcess running;
        QVERIFY(startHelper(running, "ignore"));

        const QString url = "https://hoistly.lumora.com/auth?oauth_token=abc&oauth_verifier=d%20e";
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.path() + "/config");
        env.insert("XDG_DATA_HOME", home.path() + "/data");
        env.insert("XDG_STATE_HOME", home.path() + "/state");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        second.setProcessEnvironment(env);
        second.start(app, {url});
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);

        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += running.readAllStandardOutput()).contains("URL "), 5000);
        QVERIFY2(out.contains("URL " + url.toUtf8()), out.constData());
        // Handing over the address never ends the running copy.
        QVERIFY(!out.contains("QUIT"));
        QCOMPARE(running.state(), QProcess::Running);
        running.kill();
        running.waitForFinished();
    }

    void aSecondCopyEndsTheFirst()
    {
        QProcess first;
        QVERIFY(startHelper(first, "obey"));
        QList<double> slept;
        const int ended = SingleInstance::endOtherCopies([&](double s) {
            slept << s;
            QTest::qSleep(int(s * 1000));
        });
        QCOMPARE(ended, 1);
        QVERIFY(first.waitForFinished(5000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QVERIFY(first.readAllStandardOutput().contains("QUIT"));
        QCOMPARE(slept, QList<double>{0.5});
    }

    void aCopyThatDoesNotGoIsForced()
    {
        QProcess stubborn;
        QVERIFY(startHelper(stubborn, "ignore"));
        const int ended = SingleInstance::endOtherCopies([](double s) { QTest::qSleep(int(s * 1000)); });
        QCOMPARE(ended, 1);
        QVERIFY(stubborn.waitForFinished(5000));
        QCOMPARE(stubborn.exitStatus(), QProcess::CrashExit); // killed
    }

    // The install step lays out a complete bundle, swaps it over an older one, and writes a
    // desktop entry whose Exec line survives awkward folder names.
    void installScriptLaysOutACompleteBundle()
    {
        const QString script = qEnvironmentVariable("HOISTLY_SOURCE_DIR") + "/packaging/install-bundle.sh";
        const QString build = qEnvironmentVariable("HOISTLY_TEST_BINARY_DIR");
        if (!QFileInfo(build + "/src/app/Hoistly").isExecutable())
            QSKIP("the Hoistly executable is not built");
        QTemporaryDir tmp;
        const QString apps = tmp.path() + "/Apps $HOME \"a\" `b` 5%";
        for (int round = 0; round < 2; ++round) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("XDG_DATA_HOME", tmp.path() + "/share");
            p.setProcessEnvironment(env);
            p.start("/bin/sh", {script, build, apps});
            QVERIFY(p.waitForFinished(30000));
            QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
            const QString bundle = QString::fromUtf8(p.readAllStandardOutput()).trimmed().split('\n').last();
            QCOMPARE(bundle, apps + "/Lumora Hoistly.app");
            QString why;
            QVERIFY2(Bundle::isCompleteBundle(bundle, &why), qPrintable(why));
            QCOMPARE(QDir(apps).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Lumora Hoistly.app"});
            const QStringList exec = LoginItems::splitExec(LoginItems::execOfEntry(tmp.path() + "/share/applications/lumora-hoistly.desktop"));
            QCOMPARE(exec.value(0), Bundle::executablePath(bundle));
        }
    }

    // The real application, started twice in one home: the second copy ends the first through
    // its termination path; SIGTERM takes the same path.
    void realCopiesFollowTheSingleCopyRuleAndEndOnSigterm()
    {
        const QString app = qEnvironmentVariable("HOISTLY_APP_BINARY");
        if (!QFileInfo(app).isExecutable())
            QSKIP("the Hoistly executable is not built");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.path() + "/config");
        env.insert("XDG_DATA_HOME", home.path() + "/data");
        env.insert("XDG_STATE_HOME", home.path() + "/state");
        env.insert("HOISTLY_SERVICE_URL", "http://127.0.0.1:9"); // nothing answers there
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        env.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu --single-process");
        auto logText = [&] {
            QString all;
            for (const QFileInfo &f : QDir(home.path() + "/state/Hoistly").entryInfoList({"log-*"}, QDir::Files)) {
                QFile file(f.absoluteFilePath());
                if (file.open(QIODevice::ReadOnly))
                    all += QString::fromUtf8(file.readAll());
            }
            return all;
        };

        QProcess first;
        first.setProcessEnvironment(env);
        first.start(app, {});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText().count("Startup LumoraDesktop") == 1, 30000);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(app, {});
        QVERIFY(second.waitForStarted());
        QVERIFY(first.waitForFinished(20000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(logText().count("Startup LumoraDesktop") == 2, 30000);
        QCOMPARE(second.state(), QProcess::Running);

        ::kill(pid_t(second.processId()), SIGTERM);
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        // Both ended through the controller's shutdown, which ends the folder monitors.
        QTRY_COMPARE_WITH_TIMEOUT(logText().count("DRIVE: Shutting down"), 2, 5000);
    }

    void nothingRunningEndsNothing()
    {
        QCOMPARE(SingleInstance::endOtherCopies([](double) {}), 0);
        QVERIFY(!SingleInstance::forwardUrl("https://hoistly.lumora.com/auth?x=1", 500));
    }
};

QTEST_MAIN(TestProcesses)
#include "tst_processes.moc"
