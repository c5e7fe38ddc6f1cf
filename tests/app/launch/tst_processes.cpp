// Two processes on the local socket: the sign-in callback handed from a new process of the real
// binary to the running copy, and the single-copy rule (a second copy ends the first, by force
// when it does not go), which nobody else can use against this user.
#include "LumoraDouble.h"
#include "app/platform/SingleInstance.h"
#include "platform/StandardPaths.h"
#include "app/update/Bundle.h"
#include "app/update/LoginItems.h"
#include "core/PropertyList.h"
#include "support/ReadOnlyFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

class TestProcesses : public QObject
{
    Q_OBJECT
    QTemporaryDir home;
    QTemporaryDir runtime;

    QString helperPath() const { return qEnvironmentVariable("HOISTLY_SINGLE_COPY_HELPER"); }
    QString appPath() const { return qEnvironmentVariable("HOISTLY_APP_BINARY"); }

    // The socket the real binary derives for a home whose config folder is ours.
    QString socketName(const QString &homePath) const
    {
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        QStandardPaths::setTestModeEnabled(false);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(homePath + "/config"));
        const QString name = SingleInstance::serverNameForConfig(StandardPaths::userDefaultsFile());
        qputenv("XDG_CONFIG_HOME", saved);
        QStandardPaths::setTestModeEnabled(true);
        return name;
    }
    QString socketName() const { return socketName(home.path()); }

    bool startHelper(QProcess &helper, const QString &mode, const QString &socket = QString(), bool asNobody = false)
    {
        helper.setProcessChannelMode(QProcess::SeparateChannels);
        QStringList args{socket.isEmpty() ? socketName() : socket, mode};
        if (asNobody)
            args << "nobody";
        helper.start(helperPath(), args);
        if (!helper.waitForStarted(5000))
            return false;
        QByteArray out;
        while (!(out += helper.readAllStandardOutput()).contains("READY"))
            if (!helper.waitForReadyRead(5000))
                return false;
        return true;
    }

    // A new copy (of the helper program) ending the running one; returns what it printed.
    QByteArray runEnder(const QString &socket = QString())
    {
        QProcess ender;
        ender.start(helperPath(), {socket.isEmpty() ? socketName() : socket, "end"});
        QByteArray out;
        // The event loop runs meanwhile: listeners in this process answer.
        [&] { QTRY_VERIFY_WITH_TIMEOUT(ender.state() == QProcess::NotRunning, 20000); }();
        out += ender.readAllStandardOutput();
        return out.trimmed();
    }

    QProcessEnvironment appEnvironment(const QString &homePath) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", homePath);
        env.insert("XDG_CONFIG_HOME", homePath + "/config");
        env.insert("XDG_DATA_HOME", homePath + "/data");
        env.insert("XDG_STATE_HOME", homePath + "/state");
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("HOISTLY_SERVICE_URL", "http://127.0.0.1:9"); // nothing answers there
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        env.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu --single-process");
        return env;
    }

    static QString logText(const QString &homePath)
    {
        QString all;
        for (const QFileInfo &f : QDir(homePath + "/state/Hoistly").entryInfoList({"log-*"}, QDir::Files)) {
            QFile file(f.absoluteFilePath());
            if (file.open(QIODevice::ReadOnly))
                all += QString::fromUtf8(file.readAll());
        }
        return all;
    }

    // What the copy answering on the socket tells the user as its status ("" when none answers).
    static QString statusOf(const QString &socket)
    {
        QLocalSocket peer;
        peer.connectToServer(socket);
        if (!peer.waitForConnected(2000) || peer.write("STATUS\n") < 0 || !peer.waitForBytesWritten(2000))
            return {};
        while (!peer.canReadLine() && peer.waitForReadyRead(2000)) {
        }
        const QByteArray line = peer.readLine().trimmed();
        return line.startsWith("STATUS ") ? QString::fromUtf8(line.mid(7)) : QString();
    }

    // The settings of a copy signed in at the double, past its welcome window: its start checks
    // the sign-in with the service, signed with the client's secret. The token secret is in its
    // older plain form (the copy stores it anew as it starts); no update-check copy is started,
    // whose own failure to write would be logged too.
    static QVariantMap signedInAt(LumoraDouble &service)
    {
        const QString user = QString::fromLatin1(LumoraDoubleDefaults::userId);
        const auto [token, secret] = service.issueAccessToken(user);
        return {{"kLKStoredTokenKey", token}, {"kLKStoredTokenSecret", secret}, {"kLKStoredUserID", user},
                {"WelcomeScreenComplete", true}, {"UserActivated", true}, {"LastRelaunchedForUpdateCheck", QDateTime::currentDateTime()}};
    }

    // A harmless request that only a listening, responsive copy answers.
    static bool answersOn(const QString &socket)
    {
        SingleInstance::setServerNameForTesting(socket);
        return SingleInstance::forwardUrl("https://example.invalid/not-a-callback", 2000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(home.isValid());
        QVERIFY(runtime.isValid());
        QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path())); // the helpers inherit it
        QVERIFY2(QFileInfo(helperPath()).isExecutable(), qPrintable(helperPath()));
    }

    void init() { SingleInstance::setServerNameForTesting(socketName()); }

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
        QVERIFY(logText(home.path()).contains("Another copy is running; handed over the sign-in address and quitting"));

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
        QCOMPARE(runEnder(), QByteArray("ENDED 1"));
        QTRY_COMPARE_WITH_TIMEOUT(stubborn.state(), QProcess::NotRunning, 5000);
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
            const QString entry = tmp.path() + "/share/applications/lumora-hoistly.desktop";
            QVERIFY(LoginItems::splitExec(LoginItems::execOfEntry(entry)).contains(Bundle::executablePath(bundle)));
            // The menu starts it under GLib's rules, which check the program before expanding "%%".
            if (!QStandardPaths::findExecutable("desktop-file-validate").isEmpty())
                QCOMPARE(QProcess::execute("desktop-file-validate", {entry}), 0);
            if (!QStandardPaths::findExecutable("gio").isEmpty()) {
                QFile exe(Bundle::executablePath(bundle));
                QVERIFY(exe.open(QIODevice::WriteOnly | QIODevice::Truncate));
                exe.write("#!/bin/sh\necho started \"$@\" > \"$0.started\"\n");
                exe.close();
                QCOMPARE(QProcess::execute("gio", {"launch", entry}), 0);
                QTRY_VERIFY(QFileInfo(exe.fileName() + ".started").size() > 0);
                QFile::remove(exe.fileName() + ".started");
            }
        }
    }

    // The real application, started twice in one home: the second copy ends the first through
    // its termination path, also when the two launches were given different runtime folders (or
    // none); SIGTERM takes the same path.
    void realCopiesFollowTheSingleCopyRuleAndEndOnSigterm_data()
    {
        QTest::addColumn<QString>("secondRuntime");
        QTest::newRow("same runtime folder") << runtime.path();
        QTest::newRow("second without one") << QString();
        QTest::newRow("second in another private folder") << "other";
    }

    void realCopiesFollowTheSingleCopyRuleAndEndOnSigterm()
    {
        QFETCH(QString, secondRuntime);
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        const QString h = home.path() + "/" + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-');
        const QProcessEnvironment env = appEnvironment(h);
        QProcessEnvironment secondEnv = env;
        QTemporaryDir other; // private, as mkdtemp makes it
        secondEnv.insert("XDG_RUNTIME_DIR", secondRuntime == "other" ? other.path() : secondRuntime);
        if (secondRuntime.isEmpty())
            secondEnv.remove("XDG_RUNTIME_DIR");
        const auto logText = [&] { return TestProcesses::logText(h); };

        QProcess first;
        first.setProcessEnvironment(env);
        first.start(appPath(), {});
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText().count("Startup LumoraDesktop") == 1, 30000);

        QProcess second;
        second.setProcessEnvironment(secondEnv);
        second.start(appPath(), {});
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

    // The socket and its lock sit in a folder only this user can enter; a runtime folder that
    // others could write to, or that someone else owns, is not used.
    void theSocketLivesInAPrivateFolder()
    {
        const QString name = SingleInstance::serverNameForConfig("/x/settings.plist");
        QCOMPARE(QFileInfo(name).absolutePath(), QFileInfo(runtime.path()).absoluteFilePath());

        QTemporaryDir open;
        QVERIFY(::chmod(QFile::encodeName(open.path()).constData(), 01777) == 0);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(open.path()));
        const QString fallback = SingleInstance::runtimeFolder();
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QVERIFY(!fallback.isEmpty());
        QVERIFY(!fallback.startsWith(open.path()));
        struct stat st = {};
        QCOMPARE(::lstat(QFile::encodeName(fallback).constData(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_uid, ::getuid());
        QCOMPARE(int(st.st_mode & 0777), 0700);
    }

    // A hostile local user listening where a copy looks gets neither the sign-in callback nor a
    // process of ours to kill, and is not killed either.
    void aListenerOfAnotherUserIsNeitherTrustedNorKilled()
    {
        if (::getuid() != 0)
            QSKIP("dropping to another user needs root");
        QTemporaryDir shared;
        QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 0777) == 0);
        const QString socket = shared.path() + "/hoistly-hostile";
        QProcess hostile;
        QVERIFY(startHelper(hostile, "ignore", socket, true));

        QCOMPARE(runEnder(socket), QByteArray("ENDED 0"));
        QVERIFY(!answersOn(socket));
        hostile.waitForReadyRead(200); // anything it was handed would be printed by now
        const QByteArray out = hostile.readAllStandardOutput();
        QVERIFY2(!out.contains("URL") && !out.contains("QUIT"), out.constData());
        // Nor is its socket replaced, also once its lock file is gone.
        QVERIFY(QFile::remove(SingleInstance::lockPathFor(socket)));
        QProcess claim;
        claim.start(helperPath(), {socket, "claim"});
        QVERIFY(claim.waitForFinished(20000));
        QCOMPARE(claim.readAllStandardOutput().trimmed(), QByteArray("LOST"));
        struct stat st = {};
        QCOMPARE(::lstat(QFile::encodeName(socket).constData(), &st), 0);
        QVERIFY(st.st_uid != ::getuid());
        QCOMPARE(hostile.state(), QProcess::Running);
        hostile.kill();
        hostile.waitForFinished();
    }

    // A process of this user that answers the quit request with someone else's process id gets
    // nobody killed: only the peer itself, and only a copy of this program, is ever ended.
    void anAnswerNamingAnotherProcessKillsNothing()
    {
        QProcess bystander;
        bystander.start("sleep", {"60"});
        QVERIFY(bystander.waitForStarted());
        const QString socket = socketName(home.path() + "/impostor");
        // The impostor holds the lock, as the running copy would.
        const int lockFd = ::open(QFile::encodeName(SingleInstance::lockPathFor(socket)).constData(), O_RDWR | O_CREAT, 0600);
        QVERIFY(lockFd >= 0 && ::flock(lockFd, LOCK_EX | LOCK_NB) == 0);
        QLocalServer impostor;
        QLocalServer::removeServer(socket);
        QVERIFY(impostor.listen(socket));
        connect(&impostor, &QLocalServer::newConnection, this, [&] {
            QLocalSocket *c = impostor.nextPendingConnection();
            connect(c, &QLocalSocket::readyRead, c, [c, &bystander] {
                c->write("PID " + QByteArray::number(bystander.processId()) + "\n");
                c->flush();
            });
        });
        QCOMPARE(runEnder(socket), QByteArray("ENDED 0"));
        QCOMPARE(bystander.state(), QProcess::Running);
        ::close(lockFd);
        bystander.kill();
        bystander.waitForFinished();
    }

    // A copy whose main thread does not answer (busy) keeps running and keeps its socket: the
    // new copy leaves it alone and ends. Its stale quit request is not obeyed later either.
    void aBusyCopyIsNeverDisplaced()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        const QString h = home.path() + "/busy";
        QProcess first;
        first.setProcessEnvironment(appEnvironment(h));
        first.start(appPath(), {});
        QVERIFY(first.waitForStarted());
        const QString socket = socketName(h);
        QTRY_VERIFY_WITH_TIMEOUT(answersOn(socket), 30000);

        ::kill(pid_t(first.processId()), SIGSTOP);
        QProcess second;
        second.setProcessEnvironment(appEnvironment(h));
        second.start(appPath(), {});
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        // The copy that gave way ended before its launch was through; its lines are kept.
        QVERIFY(logText(h).contains("Another copy is running; handing over and quitting"));
        ::kill(pid_t(first.processId()), SIGCONT);

        // Requests are served in order: two answered after the stale one mean it was passed over.
        QVERIFY(answersOn(socket));
        QVERIFY(answersOn(socket));
        QCOMPARE(first.state(), QProcess::Running);
        ::kill(pid_t(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(20000));
    }

    // A cleaner of the runtime folder deletes the running copy's lock file: the next launch
    // still finds that copy on the socket, ends it, and stays the only copy. Nor does a deleted
    // socket file leave the copy unreachable.
    void aDeletedLockFileStillLeavesOneCopy()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        const QString h = home.path() + "/unlocked";
        const QString socket = socketName(h);
        QProcess first, second;
        first.setProcessEnvironment(appEnvironment(h));
        second.setProcessEnvironment(appEnvironment(h));
        first.start(appPath(), {});
        QTRY_VERIFY_WITH_TIMEOUT(answersOn(socket), 30000);
        QVERIFY(QFile::remove(SingleInstance::lockPathFor(socket)));
        second.start(appPath(), {});
        QVERIFY(first.waitForFinished(20000));
        QTRY_VERIFY_WITH_TIMEOUT(answersOn(socket), 30000);
        QCOMPARE(second.state(), QProcess::Running);
        // The cleaner takes the socket file as well: the copy makes it again, and says so.
        QVERIFY(QFile::remove(SingleInstance::lockPathFor(socket)));
        QVERIFY(QFile::remove(socket));
        QTRY_VERIFY_WITH_TIMEOUT(answersOn(socket), 20000);
        QVERIFY(logText(h).contains("SINGLE: Listening again on " + socket));
        ::kill(pid_t(second.processId()), SIGTERM);
        QVERIFY(second.waitForFinished(20000));
    }

    // A local process sends one endless line, then opens more connections than the copy has
    // descriptors and leaves them idle: the copy drops them all, and the next launch still
    // reaches it and takes over.
    void aFloodedAndStarvedSocketStillHandsOver()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        const QString h = home.path() + "/flooded";
        const QString socket = socketName(h);
        QProcess first, second;
        first.setProcessEnvironment(appEnvironment(h));
        second.setProcessEnvironment(appEnvironment(h));
        first.start("/bin/sh", {"-c", "ulimit -n 512 && exec \"$0\"", appPath()});
        QTRY_VERIFY_WITH_TIMEOUT(answersOn(socket), 30000);

        QLocalSocket flood;
        flood.connectToServer(socket);
        QVERIFY(flood.waitForConnected(2000));
        const QByteArray chunk(1 << 20, 'x');
        for (int i = 0; i < 64 && flood.state() == QLocalSocket::ConnectedState; ++i) {
            flood.write(chunk);
            flood.waitForBytesWritten(2000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QLocalSocket::UnconnectedState, 15000);

        std::vector<std::unique_ptr<QLocalSocket>> idle;
        for (int i = 0; i < 600; ++i) {
            idle.push_back(std::make_unique<QLocalSocket>());
            idle.back()->connectToServer(socket);
        }
        auto connected = [&] {
            return std::count_if(idle.begin(), idle.end(), [](const auto &c) { return c->state() != QLocalSocket::UnconnectedState; });
        };
        QTRY_COMPARE_WITH_TIMEOUT(connected(), 0, 30000);
        idle.clear();

        second.start(appPath(), {});
        QVERIFY(first.waitForFinished(30000));
        QTRY_VERIFY_WITH_TIMEOUT(answersOn(socket), 30000);
        QCOMPARE(second.state(), QProcess::Running);
        ::kill(pid_t(second.processId()), SIGTERM);
        QVERIFY(second.waitForFinished(20000));
    }

    // Two copies started at the same instant leave exactly one running, ten times over.
    void pairsStartedTogetherLeaveOneCopy()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        for (int round = 0; round < 10; ++round) {
            const QString h = home.path() + QStringLiteral("/pair%1").arg(round);
            const QString socket = socketName(h);
            std::unique_ptr<QProcess> a(new QProcess), b(new QProcess);
            a->setProcessEnvironment(appEnvironment(h));
            b->setProcessEnvironment(appEnvironment(h));
            a->start(appPath(), {});
            b->start(appPath(), {});
            QVERIFY(a->waitForStarted() && b->waitForStarted());
            auto running = [&] { return int(a->state() == QProcess::Running) + int(b->state() == QProcess::Running); };
            QTRY_VERIFY_WITH_TIMEOUT(running() == 1 && answersOn(socket), 60000);
            QProcess *survivor = a->state() == QProcess::Running ? a.get() : b.get();
            QProcess *other = survivor == a.get() ? b.get() : a.get();
            QCOMPARE(other->exitStatus(), QProcess::NormalExit);
            // The survivor is the one that answers, and it stays.
            QVERIFY(answersOn(socket));
            QCOMPARE(running(), 1);
            ::kill(pid_t(survivor->processId()), SIGTERM);
            QVERIFY(survivor->waitForFinished(20000));
        }
    }

    // An uncaught exception leaves "CRASH: ..." and a stack trace in the log file and on
    // standard error, once, with what was logged before the file logger existed.
    void anUncaughtExceptionIsReportedWithItsStack()
    {
        QTemporaryDir logs;
        QProcess crasher;
        crasher.start(qEnvironmentVariable("HOISTLY_CRASH_HELPER"), {logs.path()});
        QVERIFY(crasher.waitForFinished(20000));
        QCOMPARE(crasher.exitStatus(), QProcess::CrashExit);
        const QString err = QString::fromLocal8Bit(crasher.readAllStandardError());
        QString log;
        for (const QFileInfo &f : QDir(logs.path()).entryInfoList({"log-*"}, QDir::Files)) {
            QFile file(f.absoluteFilePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            log += QString::fromUtf8(file.readAll());
        }
        // In the log file every line has its time.
        const QString stamp = "\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}  ";
        for (const auto &[text, prefix] : {std::pair(err, QString()), std::pair(log, stamp)}) {
            QCOMPARE(text.count("CRASH: "), 1);
            QVERIFY2(text.contains("CRASH: index 7 out of range"), qPrintable(text));
            // One frame a line, the helper's own among them.
            const QString stack = text.mid(text.indexOf("Stack Trace:"));
            QVERIFY2(stack.count(QRegularExpression("\n" + prefix + "\\S*shell_crash_helper\\(")) >= 1 && stack.count('\n') >= 3, qPrintable(text));
        }
        QVERIFY2(log.contains("HELPER: before the file logger"), qPrintable(log));
    }

    // A crash signal in the real application: the report is in its log and on standard error,
    // then the signal's default action ends the process.
    void aCrashSignalIsReportedBeforeTheProcessEnds()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        const QString h = home.path() + "/segv";
        QProcess app;
        app.setProcessEnvironment(appEnvironment(h));
        app.start(appPath(), {});
        QVERIFY(app.waitForStarted());
        // Its log is written while it runs.
        QTRY_VERIFY_WITH_TIMEOUT(logText(h).contains("DRIVE: Starting"), 30000);
        // The system it names is the real one.
        QVERIFY(logText(h).contains(QStringLiteral("%1, kernel %2").arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion())));
        ::kill(pid_t(app.processId()), SIGSEGV);
        QVERIFY(app.waitForFinished(20000));
        QCOMPARE(app.exitStatus(), QProcess::CrashExit);
        const QString err = QString::fromLocal8Bit(app.readAllStandardError());
        QVERIFY2(err.contains("CRASH: signal 11 (SIGSEGV)\nStack Trace:\n"), qPrintable(err.right(2000)));
        // In the log every line has its time, and the program's own frames are named.
        const QString log = logText(h);
        const QString stamp = "\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}  ";
        const QRegularExpressionMatch report = QRegularExpression("\n(" + stamp + ")CRASH: signal 11 \\(SIGSEGV\\)\n" + stamp + "Stack Trace:\n((" + stamp + ".*\n){3,})").match(log);
        QVERIFY2(report.hasMatch(), qPrintable(log.right(2000)));
        const QDateTime at = QDateTime::fromString(report.captured(1).trimmed(), "yyyy/MM/dd HH:mm:ss:zzz");
        QVERIFY2(qAbs(at.secsTo(QDateTime::currentDateTime())) < 120, qPrintable(report.captured(1)));
        QVERIFY2(QRegularExpression("(^|\n)" + stamp + "\\S*/Hoistly\\(main\\+0x").match(report.captured(2)).hasMatch(), qPrintable(report.captured(2)));
        QVERIFY(log.indexOf("Stack Trace:") > log.indexOf("Starting up - LumoraDesktop"));
        // The service it started against is the one it was given, not production.
        QVERIFY2(log.contains("DRIVE: Starting (configured service http://127.0.0.1:9)"), qPrintable(log.left(3000)));
    }

    // The copy that checks for updates has no window and ends when the check does: what it
    // reports, its errors included, is in the log file as well as on standard error.
    void theUpdateCheckCopyWritesTheLogFile()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        const QString h = home.path() + "/checker";
        QProcess checker;
        checker.setProcessEnvironment(appEnvironment(h));
        checker.start(appPath(), {"/check-for-updates"});
        QVERIFY(checker.waitForFinished(60000));
        QCOMPARE(checker.exitCode(), 0);
        const QString log = logText(h);
        const QStringList reported = QString::fromLocal8Bit(checker.readAllStandardError()).split('\n').filter(QRegularExpression("^UPDATER: "));
        QVERIFY2(reported.size() >= 2, qPrintable(reported.join('\n'))); // the check and its failure
        for (const QString &line : reported)
            QVERIFY2(log.contains("  " + line + "\n"), qPrintable(line + "\n---\n" + log));
    }

    // Signed in, onboarding not finished, and a service that takes connections but never answers:
    // the window still comes up, and the copy still ends on SIGTERM.
    void aSilentServiceNeitherHoldsTheWindowNorTheEnd()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QString h = home.path() + "/silent";
        QFile settings(h + "/config/Lumora/Hoistly.plist");
        QVERIFY(QDir().mkpath(h + "/config/Lumora") && settings.open(QIODevice::WriteOnly));
        settings.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                       "<key>kLKStoredTokenKey</key><string>c41e8a07d2f9-token</string><key>kLKStoredTokenSecret</key>"
                       "<string>token-secret</string><key>kLKStoredUserID</key><string>lumora-1</string></dict></plist>");
        settings.close();
        QProcessEnvironment env = appEnvironment(h);
        env.insert("HOISTLY_SERVICE_URL", QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()));
        QProcess app;
        app.setProcessEnvironment(env);
        app.start(appPath(), {});
        QTRY_VERIFY_WITH_TIMEOUT(logText(h).contains("WELCOME: The onboarding window shows introView"), 30000);
        QVERIFY(answersOn(socketName(h)));
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(10000));
        QVERIFY(logText(h).contains("DRIVE: Shutting down"));
    }

    // SIGTERM ends the real application whatever the catalogue's state: here every save fails
    // (its file read-only) while changes wait to be saved. Nobody is there to answer a question.
    void sigtermEndsTheAppWhileSavesFail()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        const QString h = home.path() + "/read-only-catalogue";
        const QString store = h + "/data/Lumora/Database/LumoraDesktop.storedata";
        QProcess app;
        app.setProcessEnvironment(appEnvironment(h));
        app.start(appPath(), {});
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText(h).contains("Startup LumoraDesktop") && QFileInfo::exists(store), 30000);
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(20000));

        // A folder to watch, new to the catalogue: its record is a change that waits for a save.
        const QString settings = h + "/config/Lumora/Hoistly.plist";
        QVariantMap values = PropertyList::readFile(settings).toMap();
        QVERIFY(QDir().mkpath(h + "/Photos"));
        values.insert("ImportCustomFolders", QStringList{h + "/Photos"});
        QVERIFY(PropertyList::writeFile(settings, values));
        ReadOnlyFile readOnly(store);
        QVERIFY(readOnly.isSet());
        app.start(appPath(), {});
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText(h).contains("Save failed (kept for the next save): attempt to write a readonly database"), 30000);
        ::kill(pid_t(app.processId()), SIGTERM);
        const bool ended = app.waitForFinished(20000);
        app.kill();
        QVERIFY2(ended && logText(h).count("DRIVE: Shutting down") == 2, "the application kept running after SIGTERM");
    }

    // A settings file that cannot be read is kept aside, and the error, logged before the file
    // logger exists, is in the log file and on standard error.
    void anUnreadableSettingsFileIsKeptAsideAndLogged()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        const QString h = home.path() + "/corrupt";
        const QString settings = h + "/config/Lumora/Hoistly.plist";
        QVERIFY(QDir().mkpath(QFileInfo(settings).path()));
        QFile f(settings);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<plist><dict><key>kLKStoredTokenKey</key><string>cut off");
        f.close();
        QProcess app;
        app.setProcessEnvironment(appEnvironment(h));
        app.start(appPath(), {});
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(logText(h).contains("Starting up - LumoraDesktop"), 30000);
        const QStringList aside = QDir(QFileInfo(settings).path()).entryList({"Hoistly.plist.unreadable-*"}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QVERIFY(logText(h).contains("could not be read"));
        QVERIFY(logText(h).contains(aside.first()));
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(20000));
        QVERIFY(QString::fromLocal8Bit(app.readAllStandardError()).contains(aside.first()));
    }

    // Settings whose folder cannot be written: the copy goes on uploading and says so, never
    // "All photos uploaded", logs it once however often it tries again, and writes what changed
    // meanwhile (the sign-in stored anew, the count of uploads) once the folder can be written;
    // the next start is still signed in with the folder as a source.
    void unwritableSettingsAreToldAndWrittenOnceTheyCanBe()
    {
        if (!QFileInfo(appPath()).isExecutable())
            QSKIP("the Hoistly executable is not built");
        LumoraDouble service;
        QVERIFY(service.start());
        const QString h = home.path() + "/unwritable-settings";
        const QString settings = h + "/config/Lumora/Hoistly.plist";
        QVERIFY(QDir().mkpath(h + "/Photos") && QDir().mkpath(QFileInfo(settings).path()));
        QImage photo(640, 480, QImage::Format_RGB32);
        for (int y = 0; y < photo.height(); ++y)
            for (int x = 0; x < photo.width(); ++x)
                photo.setPixel(x, y, QRandomGenerator::global()->generate());
        QVERIFY(photo.save(h + "/Photos/beach.jpg", "JPEG", 90));
        QVariantMap signedIn = signedInAt(service);
        signedIn.insert("ImportCustomFolders", QStringList{h + "/Photos"});
        QVERIFY(PropertyList::writeFile(settings, signedIn));
        auto readOnly = std::make_unique<ReadOnlyFile>(QFileInfo(settings).path());
        QVERIFY(readOnly->isSet());

        QProcessEnvironment env = appEnvironment(h);
        env.insert("HOISTLY_SERVICE_URL", service.baseUrl());
        env.insert("HOISTLY_API_KEY", service.apiKey());
        env.insert("HOISTLY_API_SECRET", service.apiSecret());
        QProcess app;
        app.setProcessEnvironment(env);
        const auto end = qScopeGuard([&] {
            if (app.state() != QProcess::NotRunning) {
                ::kill(pid_t(app.processId()), SIGTERM);
                if (!app.waitForFinished(20000))
                    app.kill();
            }
        });
        const QString socket = socketName(h);
        QStringList told;
        app.start(appPath(), {});
        QTRY_VERIFY_WITH_TIMEOUT((told << statusOf(socket), service.photos().size() == 1), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(socket), QString("Your settings cannot be saved."), 10000);
        QTest::qWait(3000); // the writer tries again meanwhile
        told << statusOf(socket);
        QVERIFY2(!told.contains("All photos uploaded.") && told.last() == "Your settings cannot be saved.", qPrintable(told.join('\n')));
        const auto unsaved = [&] { return logText(h).split('\n').filter("SETTINGS: Could not write"); };
        QVERIFY2(unsaved().size() == 1, qPrintable(unsaved().join('\n')));

        readOnly.reset();
        QTRY_VERIFY_WITH_TIMEOUT(PropertyList::readFile(settings).toMap().value("PhotosImported").toInt() == 1, 10000);
        const QVariantMap onDisk = PropertyList::readFile(settings).toMap();
        QVERIFY(onDisk.contains("kLKStoredTokenSecretEnc") && !onDisk.contains("kLKStoredTokenSecret"));
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(socket), QString("All photos uploaded."), 10000);
        QVERIFY2(unsaved().size() == 1, qPrintable(unsaved().join('\n')));

        // The next start reads the secret in the form written late, and the folder is watched.
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(20000));
        app.start(appPath(), {});
        QTRY_VERIFY_WITH_TIMEOUT(logText(h).count("Startup LumoraDesktop") == 2, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(statusOf(socket), QString("All photos uploaded."), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(service.restMethodsCalled().count("lumora.auth.oauth.checkToken"), 2, 10000);
        QCOMPARE(service.rejectedSignatures(), 0);
        const QString log = logText(h);
        QVERIFY2(!log.contains("WELCOME: The onboarding window shows") && !log.contains("could not be decrypted"), qPrintable(log.right(3000)));
        QCOMPARE(service.photos().size(), 1);
    }

    // The run command's trial against the local service double lives in a profile of its own:
    // its settings, logs and launch-at-login entry never reach the user's real profile, and the
    // double ends with the application. With a configured service, the menu entry it installs
    // starts the application against that service, also from a clean environment.
    void theRunCommandKeepsItsTrialOutOfTheRealProfile_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::newRow("trial") << false;
        QTest::newRow("configured service") << true;
    }

    void theRunCommandKeepsItsTrialOutOfTheRealProfile()
    {
        QFETCH(bool, configured);
        const QString build = qEnvironmentVariable("HOISTLY_TEST_BINARY_DIR");
        if (!QFileInfo(build + "/src/app/Hoistly").isExecutable() || !QFileInfo(build + "/tests/double/lumora-double").isExecutable())
            QSKIP("the Hoistly executable or the service double is not built");
        QTemporaryDir user;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "HOISTLY_SERVICE_URL"})
            env.remove(name);
        env.insert("HOME", user.path());
        env.insert("BUILD", build);
        env.insert("HOISTLY_SKIP_SETUP", "1");
        env.remove("HOISTLY_APPLICATIONS"); // ~/Applications: the app stays where it was installed
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu --single-process");
        LumoraDouble service;
        const auto checks = [&] { return service.restMethodsCalled().count("lumora.auth.oauth.checkToken"); };
        if (configured) {
            QVERIFY(service.start());
            env.insert("HOISTLY_SERVICE_URL", service.baseUrl());
            env.insert("HOISTLY_API_KEY", service.apiKey());
            env.insert("HOISTLY_API_SECRET", service.apiSecret());
            QVERIFY(QDir().mkpath(user.path() + "/.config/Lumora"));
            QVERIFY(PropertyList::writeFile(user.path() + "/.config/Lumora/Hoistly.plist", signedInAt(service)));
        }
        QProcess run;
        run.setProcessEnvironment(env);
        run.setChildProcessModifier([] { ::setpgid(0, 0); }); // a terminal's foreground job
        run.start("/bin/bash", {qEnvironmentVariable("HOISTLY_SOURCE_DIR") + "/scripts/run.sh"});
        QVERIFY(run.waitForStarted());
        const QString profile = user.path() + (configured ? "/.local" : "/.local/share/Lumora-double/profile");
        QTRY_VERIFY_WITH_TIMEOUT(logText(profile).contains("Starting up - LumoraDesktop"), 60000);
        if (configured) {
            QTRY_COMPARE_WITH_TIMEOUT(checks(), 1, 10000);
            ::kill(-pid_t(run.processId()), SIGINT);
            QVERIFY(run.waitForFinished(30000));
            struct stat st = {};
            QCOMPARE(::stat(QFile::encodeName(user.path() + "/.config/Lumora/Service.plist").constData(), &st), 0);
            QCOMPARE(int(st.st_mode & 0777), 0600);
            // As the menu starts it: nothing of the command's environment.
            const QStringList exec = LoginItems::splitExec(LoginItems::execOfEntry(user.path() + "/.local/share/applications/lumora-hoistly.desktop"));
            QVERIFY(!exec.isEmpty());
            QProcessEnvironment clean;
            clean.insert("HOME", user.path());
            clean.insert("XDG_RUNTIME_DIR", runtime.path());
            for (const char *name : {"QT_QPA_PLATFORM", "QTWEBENGINE_CHROMIUM_FLAGS"})
                clean.insert(name, env.value(name));
            QProcess entry;
            entry.setProcessEnvironment(clean);
            entry.start(exec.first(), exec.mid(1));
            QTRY_COMPARE_WITH_TIMEOUT(checks(), 2, 60000);
            QCOMPARE(service.rejectedSignatures(), 0);
            QVERIFY(!logText(profile).contains(service.apiSecret()));
            ::kill(pid_t(entry.processId()), SIGTERM);
            QVERIFY(entry.waitForFinished(20000));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(profile + "/config/autostart").entryList(QDir::Files).isEmpty(), 10000);
        QVERIFY(QFileInfo::exists(profile + "/config/Lumora/Hoistly.plist"));
        // Nothing in the real profile: no settings, no logs, no catalogue, no autostart entry.
        QVERIFY(!QFileInfo::exists(user.path() + "/.config"));
        QVERIFY(!QFileInfo::exists(user.path() + "/.local/state"));
        QVERIFY(!QFileInfo::exists(user.path() + "/.local/share/Lumora"));

        // A trial installs no menu entry: one would start the application without its double.
        QVERIFY(!QFileInfo::exists(user.path() + "/.local/share/applications/lumora-hoistly.desktop"));

        // The command stays in the foreground with the application; when it ends, so does the double.
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(run.processId()));
        QVERIFY(children.open(QIODevice::ReadOnly));
        const QList<QByteArray> pids = children.readAll().trimmed().split(' ');
        QCOMPARE(pids.size(), 2); // the double and the application
        QCOMPARE(run.state(), QProcess::Running);
        auto alive = [](qint64 pid) { return QFileInfo::exists(QStringLiteral("/proc/%1/exe").arg(pid)); };
        qint64 app = 0, double_ = 0;
        for (const QByteArray &pid : pids)
            (QFile::symLinkTarget("/proc/" + QString::fromLatin1(pid) + "/exe").endsWith("/Hoistly") ? app : double_) = pid.toLongLong();
        QVERIFY(app && double_);

        // A log-out (or a reset, or an update) starts a new copy outside the command, with the
        // application's environment, and the old copy ends.
        QFile environ(QStringLiteral("/proc/%1/environ").arg(app));
        QVERIFY(environ.open(QIODevice::ReadOnly));
        QProcessEnvironment appEnv;
        for (const QByteArray &entry : environ.readAll().split('\0'))
            if (entry.contains('='))
                appEnv.insert(QString::fromLocal8Bit(entry.left(entry.indexOf('='))), QString::fromLocal8Bit(entry.mid(entry.indexOf('=') + 1)));
        QProcess relauncher;
        relauncher.setProgram(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(app)));
        relauncher.setProcessEnvironment(appEnv);
        qint64 relaunched = 0;
        const auto endRelaunched = qScopeGuard([&] {
            if (relaunched && alive(relaunched))
                ::kill(pid_t(relaunched), SIGKILL);
        });
        QVERIFY(relauncher.startDetached(&relaunched));
        QTRY_VERIFY_WITH_TIMEOUT(!alive(app), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(logText(profile).count("Starting up - LumoraDesktop") == 2, 60000);
        QTest::qWait(2500); // the command checks for copies every second
        QCOMPARE(run.state(), QProcess::Running);
        QVERIFY(alive(double_));
        QVERIFY(alive(relaunched));

        // Ctrl+C ends the command, every copy it started (the relaunched one is in no process
        // group of the command's) and then the double.
        ::kill(-pid_t(run.processId()), SIGINT);
        QVERIFY(run.waitForFinished(30000));
        QTRY_VERIFY_WITH_TIMEOUT(!alive(relaunched), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!alive(double_), 10000);
    }

    // A relaunched copy (after a log-out, a reset or an update) starts while the old one is in
    // its teardown with the socket already closed: it waits for the lock and becomes the copy.
    void aRelaunchWaitsForTheLeavingCopy()
    {
        QProcess leaving;
        QVERIFY(startHelper(leaving, "leaving"));
        QCOMPARE(runEnder(), QByteArray("ENDED 0"));
        QProcess claim;
        claim.start(helperPath(), {socketName(), "claim"});
        QVERIFY(claim.waitForFinished(20000));
        QCOMPARE(claim.readAllStandardOutput().trimmed(), QByteArray("LISTENING"));
        QTRY_COMPARE(leaving.state(), QProcess::NotRunning);
    }

    // A copy that answers keeps the lock: the new one does not take over.
    void aClaimAgainstAnAnsweringCopyLoses()
    {
        QProcess stubborn;
        QVERIFY(startHelper(stubborn, "ignore"));
        ::kill(pid_t(stubborn.processId()), SIGSTOP); // busy: it accepts, but never answers
        QProcess claim;
        claim.start(helperPath(), {socketName(), "claim"});
        QVERIFY(claim.waitForFinished(20000));
        QCOMPARE(claim.readAllStandardOutput().trimmed(), QByteArray("LOST"));
        ::kill(pid_t(stubborn.processId()), SIGCONT);
        QCOMPARE(stubborn.state(), QProcess::Running);
        stubborn.kill();
        stubborn.waitForFinished();
    }

    void nothingRunningEndsNothing()
    {
        QCOMPARE(SingleInstance::endOtherCopies([](double) {}), 0);
        QVERIFY(!SingleInstance::forwardUrl("https://hoistly.lumora.com/auth?x=1", 500));
    }
};

QTEST_MAIN(TestProcesses)
#include "tst_processes.moc"
