// The service mirror against the local service double: the de-duplication index marks the
// catalogue's files that the account already holds; account statistics and images.
#include "LumoraDouble.h"
#include "ServiceTestClient.h"

#include "catalogue/CatalogueHooks.h"
#include "catalogue/ContentSample.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "core/Settings.h"
#include "service/DataStoreLumoraData.h"
#include "service/LumoraKit.h"

#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <QtTest>

class TestMirror : public QObject
{
    Q_OBJECT

    LumoraDouble service;

    bool refreshAndWait()
    {
        bool finished = false, result = false;
        DataStoreLumoraData::refresh([&](bool ok) {
            finished = true;
            result = ok;
        });
        QDeadlineTimer deadline(20000);
        while (!finished && !deadline.hasExpired())
            QTest::qWait(10);
        return finished && result;
    }

    static ContentSample sampleOf(char seed)
    {
        QByteArray bytes(4096, seed);
        bytes[100] = char(seed + 1);
        return ContentSampler::sampleOfBytes(bytes);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        Settings::clearAllSettingsPERMANENTLY();
        DataStore::resetForTesting();
        QVERIFY(DataStore::instance()->isOpen());
        QVERIFY(startServiceForClient(service));
        signInAsDefaultUser(service);
        DataStoreLumoraData::installCatalogueHooks();
    }

    void init() { DataStoreLumoraData::resetForTesting(); }

    void marksCatalogueFilesTheAccountHolds()
    {
        // The account holds two photos: one known by its whole-file sample, one by its JPEG data.
        const ContentSample onServiceWhole = sampleOf('a');
        const ContentSample onServiceJpeg = sampleOf('b');
        LumoraDouble::Photo p1;
        p1.fileSample = onServiceWhole.hex();
        const QString id1 = service.addPhoto(p1);
        LumoraDouble::Photo p2;
        p2.jpegSample = onServiceJpeg.hex();
        const QString id2 = service.addPhoto(p2);
        LumoraDouble::Album album;
        album.title = QStringLiteral("Summer");
        album.photoIds = {id1};
        const QString albumId = service.addAlbum(album);

        DataStore *store = DataStore::instance();
        FileData *held = store->createFileData(QStringLiteral("/photos/held.jpg"), false);
        held->setSample(onServiceWhole);
        held->setNeedsUpload(NeedsUpload::Waiting);
        FileData *heldByJpeg = store->createFileData(QStringLiteral("/photos/edited.jpg"), false);
        heldByJpeg->setSample(sampleOf('z'));
        heldByJpeg->setJpegSample(onServiceJpeg);
        heldByJpeg->setNeedsUpload(NeedsUpload::Deferred);
        FileData *fresh = store->createFileData(QStringLiteral("/photos/new.jpg"), false);
        fresh->setSample(sampleOf('c'));
        fresh->setNeedsUpload(NeedsUpload::Waiting);
        // A whole-file sample equal to a JPEG-data sample on the service is no match.
        FileData *crossed = store->createFileData(QStringLiteral("/photos/crossed.jpg"), false);
        crossed->setSample(onServiceJpeg);
        crossed->setNeedsUpload(NeedsUpload::Waiting);
        const qint64 heldId = held->fileID(), jpegId = heldByJpeg->fileID(), freshId = fresh->fileID(), crossedId = crossed->fileID();

        QVERIFY(!CatalogueHooks::instance().mirrorHasCompletedScanThisSession());
        QVERIFY(refreshAndWait());
        QVERIFY(DataStoreLumoraData::hasCompletedScanThisSession().isValid());
        QVERIFY(CatalogueHooks::instance().mirrorHasCompletedScanThisSession());
        QVERIFY(!DataStoreLumoraData::isRunning());
        QVERIFY(!DataStoreLumoraData::pausedDueToError());

        QCOMPARE(store->fileDataForId(heldId)->needsUpload(), NeedsUpload::AlreadyOnService);
        QCOMPARE(store->fileDataForId(heldId)->uploadedRemoteId(), id1.toLongLong());
        QCOMPARE(store->fileDataForId(jpegId)->needsUpload(), NeedsUpload::AlreadyOnService);
        QCOMPARE(store->fileDataForId(jpegId)->uploadedRemoteId(), id2.toLongLong());
        QCOMPARE(store->fileDataForId(freshId)->needsUpload(), NeedsUpload::Waiting);
        QCOMPARE(store->fileDataForId(crossedId)->needsUpload(), NeedsUpload::Waiting);
        QCOMPARE(store->dedupDataCount(), 2);
        QCOMPARE(DataStoreLumoraData::albumIdForTitle(QStringLiteral("summer"), false), albumId);

        // Through the catalogue's hook, as the scanner asks.
        FileData *later = store->createFileData(QStringLiteral("/photos/later.jpg"), false);
        later->setSample(onServiceWhole);
        QVERIFY(CatalogueHooks::instance().matchDeDupForFile(later));
        QCOMPARE(later->needsUpload(), NeedsUpload::AlreadyOnService);

        // setCompletedScanThisSession(null) makes the scan loop wait again.
        DataStoreLumoraData::setCompletedScanThisSession(QDateTime());
        QVERIFY(!CatalogueHooks::instance().mirrorHasCompletedScanThisSession());
    }

    void uploadedFilesAreRegisteredAndCountedOnce()
    {
        const qint32 countBefore = DataStoreLumoraData::photoCount();
        const qint64 bytesBefore = DataStoreLumoraData::storageUsed();
        DataStore *store = DataStore::instance();
        FileData *sent = store->createFileData(QStringLiteral("/photos/sent.jpg"), false);
        sent->setSample(sampleOf('s'));
        sent->setFileSize(123456);
        DataStoreLumoraData::registerDeDupForUploadedFile(sent, true); // ticket: id not known yet
        sent->setUploadedRemoteId(987);
        DataStoreLumoraData::registerDeDupForUploadedFile(sent, true); // complete
        QCOMPARE(DataStoreLumoraData::photoCount(), countBefore + 1);
        QCOMPARE(DataStoreLumoraData::storageUsed(), bytesBefore + 123456);
        QCOMPARE(Settings::intForKey(QStringLiteral("LumoraPhotoCount")), countBefore + 1);
        QCOMPARE(Settings::longLongForKey(QStringLiteral("LumoraSpaceUsed")), bytesBefore + 123456);

        // Its content is known as sent from here, with its id; a copy is left for the upload
        // loop to compare with the original.
        const auto ownIds = [] {
            QList<qint64> ids;
            for (const DedupData &row : DataStoreLumoraData::ownUploadsForSamples(sampleOf('s'), {}))
                ids << row.pid;
            return ids;
        };
        QCOMPARE(ownIds(), QList<qint64>{987});
        FileData *copy = store->createFileData(QStringLiteral("/photos/copy of sent.jpg"), false);
        copy->setSample(sampleOf('s'));
        copy->setNeedsUpload(NeedsUpload::Waiting);
        QVERIFY(!DataStoreLumoraData::matchDeDupForFile(copy));
        QCOMPARE(copy->needsUpload(), NeedsUpload::Waiting);

        // A refresh that does not list it yet keeps the local registration.
        QVERIFY(refreshAndWait());
        QCOMPARE(ownIds(), QList<qint64>{987});
    }

    // Before the first refresh a look-up reads the catalogue and the rows still being written:
    // a row the writer commits meanwhile must be found in one or the other, every time.
    void rowsBeingWrittenAreNeverMissed()
    {
        DataStore *store = DataStore::instance();
        for (int i = 0; i < 2000; ++i) {
            const ContentSample sample = ContentSampler::sampleOfBytes((QByteArray("written ") + QByteArray::number(i)).repeated(400));
            FileData *sent = store->createFileData(QStringLiteral("/written/sent%1.jpg").arg(i), false);
            sent->setSample(sample);
            sent->setUploadedRemoteId(5000 + i);
            DataStoreLumoraData::registerDeDupForUploadedFile(sent, true);
            const QList<DedupData> rows = DataStoreLumoraData::ownUploadsForSamples(sample, {});
            QVERIFY2(rows.size() == 1, qPrintable(QStringLiteral("row %1 missed").arg(i)));
            QCOMPARE(rows.first().pid, 5000 + i);
        }
    }

    void accountInformationAndImages()
    {
        LumoraDouble::Photo p;
        p.size = 1000;
        service.addPhoto(p);
        service.setStorageUsed(QString::fromLatin1(LumoraDoubleDefaults::userId), 5000000000LL);
        QFile::remove(DataStoreLumoraData::userImageFilePath());
        QFile::remove(DataStoreLumoraData::userCoverImageFilePath());
        bool available = false;
        QThread *t = QThread::create([&] { available = DataStoreLumoraData::updateUserInfoViaUserInteraction(true); });
        t->start();
        QTRY_VERIFY_WITH_TIMEOUT(t->isFinished(), 20000);
        delete t;
        QVERIFY(available);
        const int photos = service.photos(QString::fromLatin1(LumoraDoubleDefaults::userId)).size();
        QCOMPARE(DataStoreLumoraData::photoCount(), photos);
        qint64 expectedBytes = 5000000000LL;
        for (const auto &ph : service.photos(QString::fromLatin1(LumoraDoubleDefaults::userId)))
            expectedBytes += ph.size;
        QCOMPARE(DataStoreLumoraData::storageUsed(), expectedBytes);
        QCOMPARE(Settings::longLongForKey(QStringLiteral("LumoraSpaceUsed")), expectedBytes);
        QVERIFY(DataStoreLumoraData::userImageFilePath().endsWith(QStringLiteral("/Lumora/Cache/UserImage.jpg")));
        QVERIFY(QFile::exists(DataStoreLumoraData::userImageFilePath()));
        QVERIFY(QFile::exists(DataStoreLumoraData::userCoverImageFilePath()));

        // Within the age limit no second request is made.
        service.resetRecords();
        bool answered = false;
        DataStoreLumoraData::updateUserInfo([&answered] { answered = true; });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 20000);
        QVERIFY(!service.restMethodsCalled().contains(QStringLiteral("lumora.people.getInfo")));
    }

    void refreshWaitsForTheChecksumList()
    {
        // Until the service has prepared the list, the scan loop must not start: files already
        // on the service would look new.
        DataStoreLumoraData::setDedupPollIntervalsForTesting(0.2, 0.3);
        service.setDedupPreparePolls(3);
        service.resetRecords();
        bool finished = false;
        DataStoreLumoraData::refresh([&](bool) { finished = true; });
        QTest::qWait(250);
        QVERIFY(!finished);
        QVERIFY(DataStoreLumoraData::isRunning());
        QVERIFY(!DataStoreLumoraData::hasCompletedScanThisSession().isValid());
        QTRY_VERIFY_WITH_TIMEOUT(finished, 10000);
        QVERIFY(DataStoreLumoraData::hasCompletedScanThisSession().isValid());
        QCOMPARE(service.restMethodsCalled().count(QStringLiteral("lumora.photos.dedup.prepareUser")), 3);
        QCOMPARE(service.restMethodsCalled().count(QStringLiteral("lumora.photos.dedup.getChecksums")), 1);
    }

    void failedRefreshPausesUntilAGoodOne()
    {
        int changes = 0;
        DataStoreLumoraData::setStateChangedHandler([&] { ++changes; });
        service.setFault(LumoraDouble::Fault::HttpError, 500, QStringLiteral("lumora.photos.dedup.getChecksums"), 1);
        QVERIFY(!refreshAndWait());
        QVERIFY(DataStoreLumoraData::pausedDueToError());
        QVERIFY(!DataStoreLumoraData::hasCompletedScanThisSession().isValid());
        QVERIFY(refreshAndWait());
        QVERIFY(!DataStoreLumoraData::pausedDueToError());
        QTRY_VERIFY(changes >= 2);
    }

    void cleanupTestCase()
    {
        DataStoreLumoraData::resetForTesting();
        service.stop();
    }
};

QTEST_MAIN(TestMirror)
#include "tst_mirror.moc"
