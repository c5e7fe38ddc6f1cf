// The one-time catalogue migrations of the launch, on a temporary catalogue.
#include "app/launch/Migrations.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "core/Settings.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestMigrations : public QObject
{
    Q_OBJECT
    QTemporaryDir disk;
    FileData *file = nullptr, *excludedHere = nullptr, *excludedGone = nullptr, *album = nullptr,
             *albumFile = nullptr, *albumSet = nullptr;

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        DataStore::resetForTesting();
        DataStore::shutdown();
        QVERIFY(DataStore::deleteStoreFiles()); // each case starts from an empty catalogue
        DataStore *store = DataStore::instance();
        QVERIFY(store && store->isOpen());
        QDir().mkpath(disk.path() + "/Photos/Excluded");
        file = store->createFileData(disk.path() + "/Photos/a.jpg", false, 0xF00002ULL | 0x1ULL);
        excludedHere = store->createFileData(disk.path() + "/Photos/Excluded", true);
        excludedHere->setExcludedFromScan(true);
        excludedGone = store->createFileData(disk.path() + "/Gone", true);
        excludedGone->setExcludedFromScan(true);
        album = store->createFileData(disk.path() + "/Photos", true);
        album->setAlbumName("Trip");
        album->setAlbumMode(0); // a folder of an older catalogue, from before the default album
        albumFile = store->createFileData(disk.path() + "/Photos/b.jpg", false);
        albumFile->setAlbumName("Not a folder");
        albumSet = store->createFileData(disk.path() + "/Set", true);
        albumSet->setAlbumName("Chosen");
        albumSet->setAlbumMode(-1);
        QVERIFY(DataStore::save());
    }

    void cleanup() { DataStore::resetForTesting(); }

    void firstRunAppliesEverything()
    {
        Migrations::run(0);
        QCOMPARE(file->flags(), quint64(0x1));
        const QVariantList backup = Settings::orderedSetForKey("ExcludedFoldersBackup");
        QCOMPARE(backup, QVariantList{excludedHere->fileFullPath().toLower()});
        QVERIFY(Settings::boolForKey("DidReset2114"));
        // Set before the delayed rescan runs.
        QVERIFY(Settings::boolForKey("DidReset2117"));
        QCOMPARE(album->albumMode(), 1);
        QCOMPARE(albumFile->albumMode(), 0);
        QCOMPARE(albumSet->albumMode(), -1);
        QVERIFY(!DataStore::instance()->hasPendingChanges() || DataStore::save());
    }

    void guardedStepsDoNotRepeat()
    {
        QCOMPARE(file->flags(), quint64(0xF00002ULL | 0x1ULL));
        Settings::setBool(true, "DidReset2010");
        QVERIFY(Settings::boolForKey("DidReset2010"));
        Settings::setBool(true, "DidReset2114");
        Migrations::run(1300);
        QCOMPARE(file->flags(), quint64(0xF00002ULL | 0x1ULL));
        QVERIFY(Settings::orderedSetForKey("ExcludedFoldersBackup").isEmpty());
        QCOMPARE(album->albumMode(), 0);
    }

    void clearingRunsEveryLaunch()
    {
        Migrations::run(1300);
        QCOMPARE(file->flags(), quint64(0x1));
        file->addFlag(0x100000);
        Migrations::run(1300);
        QCOMPARE(file->flags(), quint64(0x1));
    }
};

QTEST_MAIN(TestMigrations)
#include "tst_migrations.moc"
