#include "core/Settings.h"

#include <QStandardPaths>
#include <QTest>
#include <QThread>

class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
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
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
