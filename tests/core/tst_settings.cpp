#include "CoreTestHome.h"
#include "core/PropertyList.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include <QStandardPaths>
#include <QDir>
#include <QTest>
#include <QThread>

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
        QFile f(Settings::storePath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("<?xml version=\"1.0\"?><plist><dict><key>Kept</key><integer>5");
        f.close();
        Settings::reloadForTesting();
        QCOMPARE(Settings::intForKey("Kept"), 0);
        QVERIFY(Settings::objectForKey("Kept").isNull());
        // The next change replaces the unreadable file with a good one.
        Settings::setInt(9, "After");
        Settings::reloadForTesting();
        QCOMPARE(Settings::intForKey("After"), 9);
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
