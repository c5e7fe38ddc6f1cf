// The catalogue's health is an upload gate: while the catalogue cannot be saved (here a full
// disk), nothing is uploaded and the status says why; once a save succeeds again, uploading
// resumes by itself and what was uploaded is on disk. Real engine against the service double.
#include "CatalogueInvariants.h"
#include "LumoraDouble.h"
#include "catalogue/CatalogueFileTestSupport.h"
#include "catalogue/VideoTestSupport.h"
#include "SyncTestEngine.h"
#include "SyncTestHome.h"
#include "SyncTestPhotos.h"

#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"

#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"

#include "core/Settings.h"

#include <QtTest>

namespace {
FileData *record(const QString &path) { return DataStore::instance()->fileDataForPathKey(FileManager::pathKey(path)); }
} // namespace

class TestCatalogueHealth : public QObject
{
    Q_OBJECT

    LumoraDouble m_double;
    QTemporaryDir m_files;

    // A stop saves nothing of its own: what the next start finds on disk is what the engine
    // wrote, and a catalogue left unopenable is not opened here.
    static void stopEngine() { ::stopEngine(CatalogueAtStop::CloseOnly); }

    int uploadsSent() const
    {
        int n = 0;
        for (const auto &u : m_double.uploads())
            n += u.result.startsWith(QLatin1String("ticketid")) || u.result.startsWith(QLatin1String("photoid"));
        return n;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(startServiceDoubleInThrowAwayHome(m_double));
        signInToServiceDouble(m_double);
    }

    void cleanup() { VERIFY_CATALOGUE_INVARIANTS(); }

    void cleanupTestCase()
    {
        stopEngine();
        m_double.stop();
    }

    void uploadsWaitWhileTheCatalogueCannotBeSaved()
    {
        const QString folder = m_files.filePath(QStringLiteral("Holiday"));
        QDir().mkpath(folder);
        QStringList photos;
        for (int i = 0; i < 3; ++i)
            photos << writePhoto(folder + QStringLiteral("/h%1.jpg").arg(i), QStringLiteral("2022:07:0%1 10:00:00").arg(i + 1), 700 + i);
        FileManager::addCustomFolder(folder);
        startEngine();
        QTRY_VERIFY_WITH_TIMEOUT(FileManager::hasCompletedScanThisSession() && !FileManager::isRunning(), 30000);
        for (const QString &p : photos)
            QVERIFY(record(p) && record(p)->needsUpload() == NeedsUpload::Waiting);
        QVERIFY(DataStore::save());

        // The disk fills up: the next saves cannot grow the database.
        DataStore *store = DataStore::instance();
        store->limitGrowthForTesting(0);
        // Ballast outside every source: never to be uploaded.
        for (int i = 0; i < 400; ++i)
            store->createFileData(QStringLiteral("/elsewhere/%1/").arg(i) + QString(120, QLatin1Char('x')), false)
                ->setNeedsUpload(NeedsUpload::NotSelected);
        QVERIFY(!DataStore::save());
        QVERIFY(store->savesFailing());

        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        LumoraUploader::run();
        const QString held = QStringLiteral("Uploads wait: the photo catalogue cannot be saved.");
        QTRY_VERIFY_WITH_TIMEOUT(LumoraDrive::statusLine1() == held || uploadsSent() > 0, 30000);
        QCOMPARE(uploadsSent(), 0);
        QCOMPARE(LumoraUploader::gateHoldingBack(), QStringLiteral("catalogue cannot be saved"));
        QVERIFY(!LumoraUploader::isRunning());

        // Space comes back: the store's retry saves, and uploading resumes without a hand.
        store->limitGrowthForTesting(-1);
        QTRY_VERIFY_WITH_TIMEOUT(!store->savesFailing(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(photos.cbegin(), photos.cend(),
                                             [](const QString &p) { return record(p)->needsUpload() == NeedsUpload::Uploaded; }),
                                 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        QCOMPARE(uploadsSent(), 3);
        QVERIFY(LumoraDrive::statusLine1() != held);

        // The completions reached the disk.
        stopEngine();
        for (const QString &p : photos)
            QCOMPARE(record(p)->needsUpload(), NeedsUpload::Uploaded);
    }

    void damagedCatalogueStartsAfreshWithoutUploadingTwice()
    {
        // Everything of the first test is on the service; then the catalogue file is garbage.
        const QString folder = m_files.filePath(QStringLiteral("Holiday"));
        const int before = uploadsSent();
        QVERIFY(before >= 3);
        DataStore::resetForTesting();
        QVERIFY(DataStore::deleteStoreFiles());
        QFile garbage(DataStore::storePath());
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, '\x5a'));
        garbage.close();

        startEngine();
        QVERIFY(DataStore::instance()->isOpen());
        QCOMPARE(DataStore::instance()->recovery().kind, StoreRecovery::SetAsideBroken);
        QVERIFY(QFileInfo::exists(DataStore::instance()->recovery().setAsidePath));
        QTRY_VERIFY_WITH_TIMEOUT(FileManager::hasCompletedScanThisSession() && !FileManager::isRunning(), 30000);
        const QStringList photos = QDir(folder).entryList({QStringLiteral("*.jpg")});
        QCOMPARE(photos.size(), 3);
        // The fresh catalogue learnt the account's checksums before it marked anything.
        for (const QString &name : photos) {
            FileData *r = record(folder + QLatin1Char('/') + name);
            QVERIFY(r);
            QVERIFY2(r->needsUpload() != NeedsUpload::Waiting, qPrintable(name));
            QVERIFY(r->uploadedRemoteId() != 0);
        }
        LumoraUploader::run();
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        QCOMPARE(uploadsSent(), before);
        stopEngine();
    }

    void skippedNamesKeepTheStatusFromClaimingAllUploaded()
    {
        // A photo whose name is Latin-1, beside one that uploads.
        const QString folder = m_files.filePath(QStringLiteral("Latin"));
        QDir().mkpath(folder);
        const QString plain = writePhoto(folder + QStringLiteral("/plain.jpg"), QStringLiteral("2021:01:01 00:00:00"), 801);
        const QString latin = writePhoto(folder + QStringLiteral("/latin.jpg"), QStringLiteral("2021:01:02 00:00:00"), 802);
        QVERIFY(::rename(QFile::encodeName(latin).constData(), (QFile::encodeName(folder) + "/caf\xe9.jpg").constData()) == 0);
        FileManager::addCustomFolder(folder);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        startEngine();
        QTRY_VERIFY_WITH_TIMEOUT(record(plain) && record(plain)->needsUpload() == NeedsUpload::Uploaded, 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        LumoraDrive::updateStatus();
        QTRY_COMPARE_WITH_TIMEOUT(LumoraDrive::statusLine1(), QStringLiteral("1 file could not be backed up."), 30000);
        QVERIFY(!LumoraDrive::statusIsComplete());
        stopEngine();
        FileManager::removeCustomFolder(folder);
    }

    void uploadedVideoGetsAThumbnailFromItsFirstFrame()
    {
        const QString folder = m_files.filePath(QStringLiteral("Clips"));
        QDir().mkpath(folder);
        VideoTest::Spec spec;
        spec.firstFrame = QColor(30, 200, 40);
        spec.creationTime = QStringLiteral("2020-08-09T10:11:12.000000Z");
        const QString clip = folder + QStringLiteral("/clip.mp4");
        QVERIFY(VideoTest::write(clip, spec));
        QFile f(clip);
        QVERIFY(f.open(QIODevice::ReadWrite));
        // A free box: the clip reaches the size the scanner samples (still frames compress to little).
        QByteArray freeBox = QByteArray("\0\0\x10\0free", 8) + QByteArray(4096 - 8, 0);
        QVERIFY(f.seek(f.size()) && f.write(freeBox) == freeBox.size());
        QVERIFY(f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600), QFileDevice::FileModificationTime));
        f.close();
        FileManager::addCustomFolder(folder);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        startEngine();
        QTRY_VERIFY_WITH_TIMEOUT(record(clip) && record(clip)->needsUpload() == NeedsUpload::Uploaded, 60000);
        QCOMPARE(record(clip)->dateTaken(), QDateTime(QDate(2020, 8, 9), QTime(10, 11, 12), QTimeZone::utc()));
        QVERIFY(record(clip)->duration() > 2);
        QVERIFY(LumoraUploader::recentUploads().contains(clip));
        QTRY_VERIFY_WITH_TIMEOUT(!LumoraUploader::imageForRecentUpload(clip).isNull(), 10000);
        const QImage thumb = LumoraUploader::imageForRecentUpload(clip);
        QCOMPARE(thumb.size(), QSize(112, 112));
        const QColor centre = thumb.pixelColor(56, 56);
        QVERIFY2(qAbs(centre.green() - 200) < 50 && centre.red() < 90 && centre.blue() < 90, qPrintable(centre.name()));
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        stopEngine();
        FileManager::removeCustomFolder(folder);
    }

    void fileIsNotSentWhenItsInFlightMarkCannotBeSaved()
    {
        const QString folder = m_files.filePath(QStringLiteral("Harbour"));
        QDir().mkpath(folder);
        QStringList photos;
        for (int i = 0; i < 2; ++i)
            photos << writePhoto(folder + QStringLiteral("/b%1.jpg").arg(i), QStringLiteral("2019:03:0%1 08:00:00").arg(i + 1), 900 + i);
        FileManager::addCustomFolder(folder);
        Settings::setBool(false, QStringLiteral("WelcomeScreenComplete"));
        startEngine();
        QTRY_VERIFY_WITH_TIMEOUT(FileManager::hasCompletedScanThisSession() && !FileManager::isRunning(), 30000);
        for (const QString &p : photos)
            QVERIFY(record(p) && record(p)->needsUpload() == NeedsUpload::Waiting);
        QVERIFY(DataStore::save());
        const int before = uploadsSent();

        // The disk fills while nothing has failed yet: the save of the first file's in-flight
        // mark is the first to find it full, so the gate is still open when the file is taken.
        DataStore *store = DataStore::instance();
        store->limitGrowthForTesting(0);
        for (int i = 0; i < 400; ++i)
            store->createFileData(QStringLiteral("/elsewhere-too/%1/").arg(i) + QString(120, QLatin1Char('y')), false)
                ->setNeedsUpload(NeedsUpload::NotSelected);
        QVERIFY(!store->savesFailing());
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        LumoraUploader::run();
        QTRY_VERIFY_WITH_TIMEOUT(store->savesFailing() && !LumoraUploader::isRunning(), 30000);
        // Sent without a mark on disk, a kill now would send it again unasked after a restart.
        QCOMPARE(uploadsSent(), before);
        for (const QString &p : photos) {
            QCOMPARE(record(p)->needsUpload(), NeedsUpload::Waiting);
            QVERIFY(record(p)->uploadTicket().isEmpty());
        }

        // With room again, each goes once.
        store->limitGrowthForTesting(-1);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(photos.cbegin(), photos.cend(),
                                             [](const QString &p) { return record(p)->needsUpload() == NeedsUpload::Uploaded; }),
                                 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        QCOMPARE(uploadsSent(), before + 2);
        stopEngine();
        FileManager::removeCustomFolder(folder);
    }

    void catalogueThatCannotBeOpenedIsTheStatus()
    {
        QVERIFY(CatalogueTest::writeNewerVersionCatalogue());
        const int before = uploadsSent();
        startEngine();
        QVERIFY(!DataStore::instance()->isOpen());
        LumoraDrive::updateStatus();
        QTRY_COMPARE_WITH_TIMEOUT(LumoraDrive::statusLine1(), QStringLiteral("Could not open the photo catalogue."), 30000);
        QCOMPARE(LumoraUploader::gateHoldingBack(), QStringLiteral("catalogue cannot be saved"));
        QCOMPARE(uploadsSent(), before);
        stopEngine();
        DataStore::resetForTesting();
        QVERIFY(DataStore::deleteStoreFiles());
    }
};

QTEST_GUILESS_MAIN(TestCatalogueHealth)
#include "tst_catalogue_health.moc"
