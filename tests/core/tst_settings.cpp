#include "CoreTestHome.h"
#include "core/LGLog.h"
#include "core/PropertyList.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"
#include "support/PermissionsHold.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QScopeGuard>

#include <QStandardPaths>
#include <QDir>
#include <QTest>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/inotify.h>
#include <unistd.h>

namespace {
// Collects the error lines logged while it lives.
class LogRecorder
{
    struct Sink : LGLogger
    {
        QMutex lock;
        QStringList lines;
        void logMessage(const LGLogMessage &m) override
        {
            if (m.flag != LGLogFlagError)
                return;
            QMutexLocker locker(&lock);
            lines << m.message;
        }
        void flush() override {}
    };
    std::shared_ptr<Sink> m_sink = std::make_shared<Sink>();

public:
    LogRecorder() { LGLog::addLogger(m_sink); }
    ~LogRecorder() { LGLog::removeAllLoggers(); }
    QStringList errors()
    {
        QMutexLocker locker(&m_sink->lock);
        return m_sink->lines;
    }
};
} // namespace

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { startInThrowAwayHome(); }
    void init() { Settings::clearAllSettingsPERMANENTLY(); }

    void neverWrittenKeysReadAsZero()
    {
        QCOMPARE(Settings::boolForKey("Nothing"), false);
        QCOMPARE(Settings::intForKey("Nothing"), 0);
        QCOMPARE(Settings::longLongForKey("Nothing"), 0);
        QCOMPARE(Settings::doubleForKey("Nothing"), 0.0);
        QVERIFY(Settings::objectForKey("Nothing").isNull());
        QVERIFY(Settings::objectForKey("").isNull());
    }

    void valuesSurviveAReload()
    {
        Settings::setBool(true, "B");
        Settings::setInt(-42, "I");
        Settings::setLongLong(Q_INT64_C(1) << 40, "L");
        Settings::setDouble(2.5, "D");
        Settings::setObject(QStringLiteral("text"), "S");
        Settings::setObject(QStringLiteral("x"), "");
        Settings::reloadForTesting();
        QCOMPARE(Settings::boolForKey("B"), true);
        QCOMPARE(Settings::intForKey("I"), -42);
        QCOMPARE(Settings::longLongForKey("L"), Q_INT64_C(1) << 40);
        QCOMPARE(Settings::doubleForKey("D"), 2.5);
        QCOMPARE(Settings::stringForKey("S"), QStringLiteral("text"));
        Settings::setObject(QVariant(), "S");
        Settings::reloadForTesting();
        QVERIFY(Settings::objectForKey("S").isNull());
    }

    void orderedSetsKeepOrderWithoutRepeats()
    {
        Settings::addObject("b", "Set");
        Settings::addObject("a", "Set");
        Settings::addObject("b", "Set");
        Settings::addObject(QVariant(), "Set");
        QCOMPARE(Settings::orderedSetForKey("Set"), (QVariantList{"b", "a"}));
        Settings::removeObject("b", "Set");
        Settings::removeObject("a", "Set");
        QVERIFY(Settings::objectForKey("Set").isNull());
        QVERIFY(Settings::orderedSetForKey("Set").isEmpty());
    }

    void clearAllRemovesEverything()
    {
        Settings::setInt(3, "K");
        Settings::clearAllSettingsPERMANENTLY();
        Settings::reloadForTesting();
        QCOMPARE(Settings::intForKey("K"), 0);
    }

    void concurrentIncrementsAreNotLost()
    {
        QList<QThread *> threads;
        for (int t = 0; t < 8; ++t)
            threads << QThread::create([] {
                for (int i = 0; i < 50; ++i)
                    Settings::incrementIntForKey("Counter");
            });
        for (auto *t : threads)
            t->start();
        for (auto *t : threads) {
            t->wait();
            delete t;
        }
        QCOMPARE(Settings::intForKey("Counter"), 400);
    }

    void diskSettingsAreRealPropertyLists()
    {
        QVariantMap m{{"a", 1}, {"b", QVariantList{"x", true}}};
        QVERIFY(Settings::setDiskObject(m, "Test"));
        QCOMPARE(Settings::diskObjectForKey("Test").toMap().value("b").toList().value(1).toBool(), true);
        QVERIFY(Settings::setDiskObject(QVariant(), "Test"));
        QVERIFY(Settings::diskObjectForKey("Test").isNull());
    }

    void typesSurviveARestart()
    {
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1700000000123), Qt::UTC);
        Settings::setObject(QVariantList{"only"}, "OneElementList");
        Settings::setObject(when, "When");
        Settings::setObject(QByteArray("\x00\x01\xff", 3), "Bytes");
        Settings::setObject(QVariantMap{{"nested", QVariantList{1, 2}}}, "Map");
        Settings::setInt(7, "lastFSEventId-/home/someone/Pictures");
        Settings::setObject(QStringLiteral("x"), "Tray: Opened");
        Settings::reloadForTesting();
        QCOMPARE(Settings::orderedSetForKey("OneElementList"), QVariantList{"only"});
        QCOMPARE(Settings::objectForKey("When").toDateTime(), when);
        QCOMPARE(Settings::objectForKey("Bytes").toByteArray(), QByteArray("\x00\x01\xff", 3));
        QCOMPARE(Settings::objectForKey("Map").toMap().value("nested").toList().value(1).toInt(), 2);
        QCOMPARE(Settings::intForKey("lastFSEventId-/home/someone/Pictures"), 7);
        QCOMPARE(Settings::stringForKey("Tray: Opened"), QStringLiteral("x"));
        // What the next process reads: the file itself, a real property list with typed values.
        const QVariantMap onDisk = PropertyList::readFile(Settings::storePath()).toMap();
        QCOMPARE(onDisk.value("OneElementList").toList(), QVariantList{"only"});
        QCOMPARE(onDisk.value("When").typeId(), int(QMetaType::QDateTime));
        QCOMPARE(onDisk.value("When").toDateTime().toSecsSinceEpoch(), when.toSecsSinceEpoch());
        QCOMPARE(onDisk.value("Bytes").toByteArray(), QByteArray("\x00\x01\xff", 3));
        QCOMPARE(onDisk.value("lastFSEventId-/home/someone/Pictures").toInt(), 7);
        QCOMPARE(Settings::incrementIntForKey("Fresh"), 1);
        QCOMPARE(Settings::incrementIntForKey(""), 0);
    }

    void corruptStoreReadsAsDefaultsAndIsRewritten()
    {
        Settings::setInt(5, "Kept");
        QVERIFY(Settings::synchronize());
        const QByteArray broken = "<?xml version=\"1.0\"?><plist><dict><key>Kept</key><integer>5";
        QFile f(Settings::storePath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(broken);
        f.close();
        const QDir folder = QFileInfo(Settings::storePath()).dir();
        const QString asideGlob = QFileInfo(Settings::storePath()).fileName() + ".unreadable-*";
        for (const QString &old : folder.entryList({asideGlob}, QDir::Files))
            QVERIFY(QFile::remove(folder.filePath(old)));
        LogRecorder log;
        Settings::reloadForTesting();
        QCOMPARE(Settings::intForKey("Kept"), 0);
        QVERIFY(Settings::objectForKey("Kept").isNull());
        // The unreadable file is kept, untouched, next to the fresh one, and the log says where.
        const QStringList aside = folder.entryList({asideGlob}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QFile keptFile(folder.filePath(aside.first()));
        QVERIFY(keptFile.open(QIODevice::ReadOnly));
        QCOMPARE(keptFile.readAll(), broken);
        QVERIFY2(log.errors().join('\n').contains(aside.first()), qPrintable(log.errors().join('\n')));
        QCOMPARE(Settings::readFailure().keptAs, folder.filePath(aside.first()));
        // The next change replaces the unreadable file with a good one.
        Settings::setInt(9, "After");
        Settings::reloadForTesting();
        QCOMPARE(Settings::intForKey("After"), 9);
    }

    // Changes reach the disk without anyone asking, a burst of them in one or two writes rather
    // than one write per change.
    void changesAreWrittenInTheBackgroundAndCoalesced()
    {
        QVERIFY(Settings::synchronize());
        const QFileInfo target(Settings::storePath());
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(target.absolutePath()).constData(), IN_MOVED_TO | IN_CLOSE_WRITE) >= 0);
        for (int i = 0; i < 500; ++i)
            Settings::setInt(i, "Burst");
        QTRY_COMPARE_WITH_TIMEOUT(PropertyList::readFile(target.absoluteFilePath()).toMap().value("Burst").toInt(), 499, 5000);
        int writes = 0;
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(watch, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
                if (e->len && QFile::decodeName(e->name) == target.fileName())
                    ++writes;
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
        ::close(watch);
        QVERIFY2(writes >= 1 && writes <= 3, qPrintable(QString::number(writes)));
    }

    void synchronizeWritesAtOnce()
    {
        Settings::setObject(QStringLiteral("secret-token"), "Token");
        QVERIFY(Settings::synchronize());
        QCOMPARE(PropertyList::readFile(Settings::storePath()).toMap().value("Token").toString(), QStringLiteral("secret-token"));
    }

    void writeFailuresAreLogged()
    {
        QVERIFY(Settings::synchronize());
        const QString path = Settings::storePath();
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkpath(path + "/occupied")); // a folder where the file belongs
        LogRecorder log;
        Settings::setInt(1, "CannotLand");
        QVERIFY(!Settings::synchronize());
        QVERIFY2(log.errors().join('\n').contains("SETTINGS: Could not write " + path), qPrintable(log.errors().join('\n')));
        QVERIFY(QDir(path).removeRecursively());
        QVERIFY(Settings::synchronize());
        QCOMPARE(PropertyList::readFile(path).toMap().value("CannotLand").toInt(), 1);
    }

    // A settings folder that cannot be written (left owned by another user, a read-only mount):
    // the values hold in memory, the failure is told once (not at every try) with its cause, and
    // the values land as soon as the folder can be written again.
    void aFolderThatCannotBeWrittenIsToldOnceAndWrittenLater()
    {
        if (!g_permissionsHold)
            QSKIP("permissions cannot be made to hold for this process");
        QVERIFY(Settings::synchronize());
        const QString folder = QFileInfo(Settings::storePath()).absolutePath();
        QAtomicInt told = 0;
        Settings::setHealthChangedHandler([&told] { told.fetchAndAddOrdered(1); });
        LogRecorder log;
        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        Settings::setObject(QStringList{"/home/u/Pictures"}, "ImportCustomFolders");
        QTRY_VERIFY_WITH_TIMEOUT(Settings::unsavedError().contains("Permission denied"), 5000);
        for (int i = 0; i < 3; ++i) { // the writer tries again about once a second
            Settings::setInt(i, "Counter");
            QTest::qWait(1100);
        }
        QCOMPARE(Settings::objectForKey("ImportCustomFolders").toStringList(), QStringList{"/home/u/Pictures"});
        QVERIFY(!PropertyList::readFile(Settings::storePath()).toMap().contains("ImportCustomFolders"));
        QCOMPARE(log.errors().filter("SETTINGS: Could not write").size(), 1);
        QVERIFY2(log.errors().first().contains(folder), qPrintable(log.errors().first()));
        QCOMPARE(told.loadAcquire(), 1);

        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QTRY_COMPARE_WITH_TIMEOUT(PropertyList::readFile(Settings::storePath()).toMap().value("ImportCustomFolders").toStringList(),
                                  QStringList{"/home/u/Pictures"}, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(Settings::unsavedError().isEmpty(), 5000);
        QCOMPARE(told.loadAcquire(), 2);
        Settings::setHealthChangedHandler(nullptr);
    }

    // A file that cannot be opened (its permissions, another owner): the values start as defaults
    // and what changes holds in memory, but the file is not written over, so that once it can be
    // read again the sign-in and the sources are back.
    void aFileThatCannotBeOpenedIsNotWrittenOver_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::newRow("file unreadable") << false;
        QTest::newRow("folder not searchable") << true; // the file merely looks absent
    }

    void aFileThatCannotBeOpenedIsNotWrittenOver()
    {
        if (!g_permissionsHold)
            QSKIP("permissions cannot be made to hold for this process");
        QFETCH(bool, folder);
        const QString path = Settings::storePath();
        const QString locked = folder ? QFileInfo(path).absolutePath() : path;
        const auto mended = folder ? QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                   : QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        Settings::setObject(QStringLiteral("token"), "kLKStoredTokenKey");
        Settings::setObject(QStringList{"/home/u/Pictures", "/home/u/Camera"}, "ImportCustomFolders");
        QVERIFY(Settings::synchronize());
        const QVariantMap before = PropertyList::readFile(path).toMap();
        QVERIFY(QFile::setPermissions(locked, {}));
        auto restore = qScopeGuard([&] { QFile::setPermissions(locked, mended); });
        Settings::reloadForTesting(); // a new process
        QVERIFY(Settings::objectForKey("kLKStoredTokenKey").isNull());
        QCOMPARE(Settings::readFailure().reason, QStringLiteral("Permission denied"));
        Settings::setBool(false, "WelcomeScreenComplete");
        QVERIFY(!Settings::synchronize());
        QVERIFY2(Settings::unsavedError().contains("could not be read"), qPrintable(Settings::unsavedError()));

        // Mended while this process runs: its defaults still do not go over the file.
        QVERIFY(QFile::setPermissions(locked, mended));
        QVERIFY(!Settings::synchronize());
        QCOMPARE(PropertyList::readFile(path).toMap(), before);
        Settings::reloadForTesting();
        QCOMPARE(Settings::stringForKey("kLKStoredTokenKey"), QStringLiteral("token"));
        QCOMPARE(Settings::objectForKey("ImportCustomFolders").toStringList(), (QStringList{"/home/u/Pictures", "/home/u/Camera"}));
        QVERIFY(Settings::readFailure().reason.isEmpty());
    }

    // After a full reset nothing that still runs may write the previous account's values back.
    void writesAfterAResetAreRefused()
    {
        Settings::setInt(3, "Before");
        Settings::clearAllSettingsPERMANENTLY();
        Settings::setBool(true, "AppEverReset");
        Settings::refuseWritesUntilExit();
        LogRecorder log;
        Settings::setInt(7, "PhotosImported");
        QCOMPARE(Settings::incrementIntForKey("PhotosImported"), 1); // computed, not stored
        Settings::addObject("x", "Recent");
        Settings::removeObjectForKey("AppEverReset");
        QVERIFY(Settings::synchronize());
        const QVariantMap onDisk = PropertyList::readFile(Settings::storePath()).toMap();
        QCOMPARE(onDisk.keys(), QStringList{"AppEverReset"});
        QCOMPARE(Settings::objectForKey("PhotosImported"), QVariant());
        QVERIFY(log.errors().join('\n').contains("the settings were reset"));
        Settings::reloadForTesting(); // a new process
        Settings::setInt(1, "Later");
        QCOMPARE(Settings::intForKey("Later"), 1);
    }

    // A process killed at any moment leaves a readable file that holds everything it had
    // written with synchronize().
    void aKilledWriterLeavesAWholeFileWithItsImmediateSaves()
    {
        const QString helper = qEnvironmentVariable("HOISTLY_SETTINGS_WRITER");
        QVERIFY2(QFileInfo(helper).isExecutable(), qPrintable(helper));
        QTemporaryDir writerHome;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", writerHome.path());
        QString file;
        int lastSaved = -1;
        for (int round = 0; round < 6; ++round) {
            QProcess writer;
            writer.setProcessEnvironment(env);
            writer.start(helper, {});
            QVERIFY(writer.waitForStarted());
            // Killed after a different number of immediate saves each round, mid-write or not.
            const int wanted = 2 + round * 3;
            int saves = 0;
            QByteArray pending;
            while (saves < wanted) {
                QVERIFY(writer.waitForReadyRead(10000));
                pending += writer.readAllStandardOutput();
                while (pending.contains('\n')) {
                    const QByteArray line = pending.left(pending.indexOf('\n'));
                    pending.remove(0, line.size() + 1);
                    if (line.startsWith("FILE "))
                        file = QString::fromLocal8Bit(line.mid(5));
                    if (line.startsWith("SAVED ")) {
                        lastSaved = line.mid(6).toInt();
                        ++saves;
                    }
                }
            }
            ::kill(pid_t(writer.processId()), SIGKILL);
            QVERIFY(writer.waitForFinished());
            QVERIFY(file.startsWith(writerHome.path()));
            QString error;
            const QVariantMap onDisk = PropertyList::readFile(file, &error).toMap();
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QVERIFY(onDisk.value("Immediate").toInt() >= lastSaved);
            QCOMPARE(onDisk.size(), 41);
        }
    }

    void corruptDiskSettingReadsAsNull()
    {
        QFile f(StandardPaths::lumoraFolder() + "/SettingsBroken.plist");
        QVERIFY(QDir().mkpath(StandardPaths::lumoraFolder()));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("this is not a property list");
        f.close();
        QVERIFY(Settings::diskObjectForKey("Broken").isNull());
        QVERIFY(Settings::diskObjectForKey("NeverWritten").isNull());
        QVERIFY(Settings::diskObjectForKey("").isNull());
        QVERIFY(!Settings::setDiskObject(1, ""));
        QVERIFY(Settings::setDiskObject(QVariantList{1}, "Broken"));
        QCOMPARE(Settings::diskObjectForKey("Broken").toList(), QVariantList{1});
    }

    void concurrentWritersOfDifferentKeys()
    {
        QList<QThread *> threads;
        for (int t = 0; t < 6; ++t)
            threads << QThread::create([t] {
                for (int i = 0; i < 40; ++i) {
                    Settings::setInt(i, QStringLiteral("Writer%1").arg(t));
                    Settings::addObject(QStringLiteral("%1-%2").arg(t).arg(i), "SharedSet");
                }
            });
        for (auto *t : threads)
            t->start();
        for (auto *t : threads) {
            t->wait();
            delete t;
        }
        // The settings object's own deferred updates arrive here; they must not disturb anything.
        QCoreApplication::processEvents();
        Settings::reloadForTesting();
        for (int t = 0; t < 6; ++t)
            QCOMPARE(Settings::intForKey(QStringLiteral("Writer%1").arg(t)), 39);
        QCOMPARE(Settings::orderedSetForKey("SharedSet").size(), 240);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
