// The upload loop over the real catalogue and scanner, with an in-process service: order,
// exactly-once, albums per folder, copies, restarts, busy waits, failures, a full account, pause,
// and a kill at the worst moments.
#include "FakeService.h"

#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"

#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "catalogue/FileManagerPrivate.h"
#include "service/DataStoreLumoraData.h"

#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "platform/StandardPaths.h"

#include <QImage>
#include <QRandomGenerator>
#include "CatalogueInvariants.h"
#include "SyncTestHome.h"
#include "SyncTestPhotos.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <exiv2/exiv2.hpp>

namespace {

FileData *record(const QString &path) { return DataStore::instance()->fileDataForPathKey(FileManager::pathKey(path)); }

} // namespace

class TestUploader : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<FakeServiceState> m_service;
    QString m_alpha, m_beta;
    QStringList m_byDate; // the paths that must go, oldest first

    void restartEngine()
    {
        // A new process: every class forgets its memory; what is on disk stays.
        LumoraUploader::resetForTesting();
        LumoraDrive::resetForTesting();
        FileManager::shutdown();
        if (DataStore::instance()->isOpen())
            QVERIFY(DataStore::save());
        DataStore::shutdown();
        Settings::reloadForTesting();
        FileManager::resetForTesting();
        UploadTransports::setFactoryForTesting([this] { return std::make_unique<FakeTransport>(m_service); });
        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return true; };
        DataStoreLumoraData::resetForTesting();
        DataStoreLumoraData::setCompletedScanThisSession(QDateTime::currentDateTimeUtc());
        LumoraKit::sharedLumoraKit()->resetForTesting();
        signInWithoutNetwork();
        LumoraUploader::startTimers();
        LumoraUploader::setServerBusyClampForTesting(0.3);
        if (!m_alpha.isEmpty())
            QVERIFY2(FileManager::customFolders().size() == 2, "settings lost across the restart");
    }

    // Scan everything, give every folder an album named after it, then let the loop run.
    void scanAndUpload()
    {
        FileManager::run();
        QVERIFY(FileManager::waitUntilIdle(30000));
        for (FileData *r : DataStore::instance()->allFileData())
            if (r->isFolder() && r->albumMode() == 0)
                r->setAlbumMode(2);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        LumoraUploader::run();
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
    }

private Q_SLOTS:

    void initTestCase()
    {
        useThrowAwayHome();
        FileManagerPrivate::setSettleWindowForTesting(0); // its photos are written whole: read at once
        Settings::clearAllSettingsPERMANENTLY();
        QDir(StandardPaths::lumoraFolder()).removeRecursively();
        LGLog::setEchoToStderr(qEnvironmentVariableIsSet("HOISTLY_TEST_ECHO_LOG"));
        // The mirror's own refreshes (started by "Try again") find no service and fail at once.
        qputenv("HOISTLY_SERVICE_URL", "http://127.0.0.1:9");
    }

    void init()
    {
        m_alpha.clear();
        m_dir = std::make_unique<QTemporaryDir>();
        m_service = std::make_shared<FakeServiceState>();
        Settings::clearAllSettingsPERMANENTLY();
        DataStore::shutdown();
        DataStore::deleteStoreFiles();
        restartEngine();
        m_alpha = m_dir->filePath(QStringLiteral("Alpha"));
        m_beta = m_dir->filePath(QStringLiteral("Beta"));
        QDir().mkpath(m_alpha);
        QDir().mkpath(m_beta);
        // Dates interleave across the two folders; names sort against the dates.
        m_byDate = {
            writePhoto(m_beta + "/z_oldest.jpg", "2001:05:06 07:08:09", 1),
            writePhoto(m_alpha + "/y_second.jpg", "2003:01:01 00:00:00", 2),
            writePhoto(m_beta + "/x_third.jpg", "2010:12:24 18:00:00", 3),
            writePhoto(m_alpha + "/w_newest.jpg", "2020:02:29 12:00:00", 4),
        };
        for (const QString &p : m_byDate)
            QVERIFY(!p.isEmpty());
        FileManager::addCustomFolder(m_alpha);
        FileManager::addCustomFolder(m_beta);
    }

    void cleanup()
    {
        // Whatever a case did, no record reads "uploaded" without the service's photo id.
        VERIFY_CATALOGUE_INVARIANTS();
        LumoraDrive::setPausedUntil(QDateTime());
        LumoraUploader::resetForTesting();
        FileManager::shutdown();
        DataStore::shutdown();
        UploadTransports::setFactoryForTesting({});
    }

    void backupIsOrderedExactlyOnceIntoFolderAlbums()
    {
        int recentPosts = 0, countPosts = 0;
        QObject ctx;
        NotificationCenter::observe(Notifications::RecentlyUploadedChanged, &ctx, [&](const QVariant &) { ++recentPosts; });
        NotificationCenter::observe(Notifications::PhotoUploadedCountChanged, &ctx, [&](const QVariant &) { ++countPosts; });

        scanAndUpload();
        QCOMPARE(m_service->uploadOrder, m_byDate);

        // One album per folder, named after it, holding that folder's photos.
        QStringList titles;
        for (const auto &a : m_service->albums)
            titles << a.title;
        titles.sort();
        QCOMPARE(titles, (QStringList{"Alpha", "Beta"}));
        for (const auto &p : m_service->photos) {
            const QString folderName = QFileInfo(QFileInfo(p.path).path()).fileName();
            QString title;
            for (const auto &a : m_service->albums)
                if (a.id == p.albumId)
                    title = a.title;
            QCOMPARE(title, folderName);
        }

        // Marked uploaded only with the service's photo id; the folders know their albums.
        for (const QString &p : m_byDate) {
            FileData *r = record(p);
            QVERIFY(r);
            QCOMPARE(r->needsUpload(), NeedsUpload::Uploaded);
            QVERIFY(r->uploadedRemoteId() != 0);
            QVERIFY(r->uploadTicket().isEmpty());
        }
        QVERIFY(record(m_alpha)->lumoraSetId() != 0);
        QCOMPARE(Settings::intForKey("PhotosImported"), 4);
        QVERIFY(Settings::longLongForKey("PhotosImportedBytes") > 4 * 2561);
        QCOMPARE(Settings::intForKey("PhotosImported_TimeProcessing"), 4);
        QCOMPARE(LumoraUploader::filesToUpload(), 0);
        QVERIFY(Settings::intForKey("filesToUploadMax") >= 4);

        // Recent uploads: newest upload first, thumbnails made off the main thread.
        QStringList expectRecent = m_byDate;
        std::reverse(expectRecent.begin(), expectRecent.end());
        QCOMPARE(LumoraUploader::recentUploads(), expectRecent);
        QTRY_VERIFY_WITH_TIMEOUT(!LumoraUploader::imageForRecentUpload(m_byDate.first()).isNull(), 5000);
        QCOMPARE(LumoraUploader::imageForRecentUpload(m_byDate.first()).width(), 112);
        QVERIFY(LumoraUploader::imageForRecentUpload(QString()).isNull());
        QTRY_VERIFY(recentPosts >= 4);
        QCOMPARE(countPosts, 4);

        // A restart uploads nothing again.
        restartEngine();
        scanAndUpload();
        QCOMPARE(m_service->uploadOrder.size(), 4);
        QCOMPARE(m_service->albums.size(), 2);
    }

    void identicalContentIsSentOnce()
    {
        const QString copy = m_beta + "/copy_of_second.jpg";
        QVERIFY(QFile::copy(m_byDate.at(1), copy) && dateBack(copy));
        scanAndUpload();
        QCOMPARE(m_service->uploadOrder.size(), 4);
        QCOMPARE(m_service->uploadsOf(copy), 0);
        FileData *twin = record(copy);
        QVERIFY(twin);
        QCOMPARE(twin->needsUpload(), NeedsUpload::Uploaded);
        QCOMPARE(twin->uploadedRemoteId(), record(m_byDate.at(1))->uploadedRemoteId());
    }

    void busyServerIsWaitedFor()
    {
        m_service->busyReplies = 2;
        m_service->busyWait = 30; // clamped to 1 s by the test hook
        LumoraUploader::setServerBusyClampForTesting(1.0);
        QStringList lines;
        QObject ctx;
        NotificationCenter::observe(Notifications::StatusUpdated, &ctx, [&](const QVariant &) { lines << LumoraDrive::statusLine1(); });
        scanAndUpload();
        QCOMPARE(m_service->uploadOrder, m_byDate);
        QCOMPARE(Settings::intForKey("TimesServerAtCapacity"), 2);
        QCOMPARE(Settings::doubleForKey("TimeWaitingServerRequested"), 2.0);
        QVERIFY2(lines.contains(QStringLiteral("Lumora is busy.")), qPrintable(lines.join(" | ")));
        QCOMPARE(Settings::intForKey("PhotosImported"), 4);
    }

    void sixFailuresPauseUntilRefresh()
    {
        // Seven files, six failures in a row: the seventh is never tried.
        for (int i = 0; i < 3; ++i)
            m_byDate << writePhoto(m_alpha + QStringLiteral("/later_%1.jpg").arg(i),
                                   QStringLiteral("2024:0%1:01 00:00:00").arg(i + 1), 50 + i);
        m_service->failReplies = 6;
        scanAndUpload();
        QVERIFY(LumoraUploader::pausedDueToErrors());
        QVERIFY(LumoraDrive::pausedDueToError());
        QVERIFY(m_service->uploadOrder.isEmpty());
        QCOMPARE(record(m_byDate.last())->needsUpload(), NeedsUpload::Waiting);
        LumoraDrive::updateStatus();
        QCOMPARE(LumoraDrive::statusResumeMessage(), QStringLiteral("Try again"));
        QCOMPARE(LumoraDrive::statusLine1(), QStringLiteral("Uploading stopped after repeated errors."));
        // Failed files wait as deferred, none was marked uploaded.
        for (const QString &p : m_byDate.mid(0, 6))
            QVERIFY(record(p)->needsUpload() == NeedsUpload::Deferred || record(p)->needsUpload() == NeedsUpload::FailedThreeTimes);
        // The loop does not start again by itself.
        LumoraUploader::run();
        QVERIFY(!LumoraUploader::isRunning());

        // "Try again" clears the state and everything goes, once.
        LumoraDrive::refreshManually();
        QVERIFY(!LumoraUploader::pausedDueToErrors());
        // The refresh runs the queues when it ends; the scan pass then starts the loop.
        QTRY_COMPARE_WITH_TIMEOUT(m_service->uploadOrder.size(), m_byDate.size(), 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
        QCOMPARE(m_service->uploadOrder, m_byDate);
    }

    void accountFullStops()
    {
        m_service->full = true;
        scanAndUpload();
        QVERIFY(LumoraUploader::accountFull());
        LumoraDrive::updateStatus();
        QCOMPARE(LumoraDrive::statusLine1(), QStringLiteral("Your Lumora account is full."));
        QCOMPARE(LumoraDrive::statusResumeMessage(), QStringLiteral("Try again"));
        for (const QString &p : m_byDate)
            QCOMPARE(record(p)->needsUpload(), NeedsUpload::Waiting);
        m_service->full = false;
        LumoraDrive::refreshManually();
        QVERIFY(!LumoraUploader::accountFull());
        QTRY_COMPARE_WITH_TIMEOUT(m_service->uploadOrder.size(), m_byDate.size(), 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
        QCOMPARE(m_service->uploadOrder, m_byDate);
    }

    void pauseStopsTheUploadInFlightAndSurvivesRestart()
    {
        m_service->slowMs = 2000;
        FileManager::run();
        QVERIFY(FileManager::waitUntilIdle(30000));
        for (FileData *r : DataStore::instance()->allFileData())
            if (r->isFolder())
                r->setAlbumMode(2);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        // While the file goes, the status posts follow its percentage.
        QStringList progress;
        QObject ctx;
        NotificationCenter::observe(Notifications::StatusUpdated, &ctx, [&](const QVariant &) {
            if (LumoraDrive::statusIsRunning())
                progress << LumoraDrive::statusLine2();
        });
        LumoraUploader::run();
        QTRY_VERIFY_WITH_TIMEOUT(LumoraUploader::isUploadingFile(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(progress.size() >= 3, 10000);
        QVERIFY2(progress.last().startsWith(QFileInfo(m_byDate.first()).fileName() + ": "), qPrintable(progress.join(" | ")));
        QCOMPARE(progress.size(), QSet<QString>(progress.begin(), progress.end()).size()); // a post only when a line changed
        LumoraDrive::setPausedUntil(QDateTime::currentDateTimeUtc().addSecs(3600));
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(10000));
        QCOMPARE(m_service->cancelled, QStringList{m_byDate.first()});
        QVERIFY(m_service->uploadOrder.isEmpty());
        QCOMPARE(record(m_byDate.first())->needsUpload(), NeedsUpload::Waiting);

        // After a restart the pause still holds.
        QVERIFY(LumoraDrive::paused());
        restartEngine();
        QVERIFY2(LumoraDrive::paused(), qPrintable(Settings::objectForKey("PausedUntil").toString()));
        LumoraUploader::run();
        QVERIFY(!LumoraUploader::isRunning());
        QVERIFY(m_service->uploadOrder.isEmpty());

        // Resuming sends everything, the interrupted file first.
        m_service->slowMs = 0;
        FileManager::run();
        QVERIFY(FileManager::waitUntilIdle(30000));
        LumoraDrive::setPausedUntil(QDateTime()); // runs the queues: scan pass, then the loop
        QTRY_COMPARE_WITH_TIMEOUT(m_service->uploadOrder.size(), m_byDate.size(), 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
        QCOMPARE(m_service->uploadOrder, m_byDate);
    }

    void reuploadSendsOnlyWhatTheServiceLost()
    {
        scanAndUpload();
        QCOMPARE(m_service->uploadOrder.size(), 4);
        // The service lost one photo.
        const QString lost = m_byDate.at(2);
        {
            QMutexLocker l(&m_service->lock);
            m_service->photos.erase(std::remove_if(m_service->photos.begin(), m_service->photos.end(),
                                                   [&lost](const FakeServiceState::Photo &p) { return p.path == lost; }),
                                    m_service->photos.end());
        }
        // The user says no: nothing happens.
        int asked = 0;
        bool answer = false;
        UiHooks::instance().confirmReupload = [&](int count, std::function<void(bool)> done) {
            ++asked;
            QCOMPARE(count, 4);
            done(answer);
        };
        LumoraUploader::reuploadPhotos({record(m_beta), record(m_alpha)}, QStringLiteral("prefs"));
        QCOMPARE(asked, 1);
        QTest::qWait(300);
        QCOMPARE(record(lost)->needsUpload(), NeedsUpload::Uploaded);

        // The user says yes: only the lost photo goes again.
        answer = true;
        LumoraUploader::reuploadPhotos({record(m_beta), record(m_alpha)}, QStringLiteral("prefs"));
        QTRY_COMPARE_WITH_TIMEOUT(m_service->uploadsOf(lost), 2, 30000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        QCOMPARE(m_service->uploadOrder.size(), 5);
        QCOMPARE(record(lost)->needsUpload(), NeedsUpload::Uploaded);
        UiHooks::instance().confirmReupload = [](int, std::function<void(bool)> done) { done(true); };
    }

    void deselectedSourceIsDroppedAndItsUploadCancelled()
    {
        m_service->slowMs = 1500;
        FileManager::run();
        QVERIFY(FileManager::waitUntilIdle(30000));
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        LumoraUploader::run();
        // The oldest file lies in Beta: while it is being sent, Beta stops being a source.
        QTRY_VERIFY_WITH_TIMEOUT(LumoraUploader::isUploadingFile(), 10000);
        QCOMPARE(LumoraUploader::fileUploading()->fileFullPath(), m_byDate.first());
        // Sped up only once the removal has cancelled it: sooner, it could finish first.
        FileManager::removeCustomFolder(m_beta);
        m_service->slowMs = 0;
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(60000));
        QVERIFY(m_service->cancelled.contains(m_byDate.first()));
        QStringList alphaOnly;
        for (const QString &p : m_byDate)
            if (p.startsWith(m_alpha))
                alphaOnly << p;
        QCOMPARE(m_service->uploadOrder, alphaOnly);
        for (const QString &p : m_byDate)
            if (p.startsWith(m_beta))
                QCOMPARE(record(p)->needsUpload(), NeedsUpload::NotSelected);
    }

    void killAfterSendingIsNotSentTwice()
    {
        scanAndUpload();
        QCOMPARE(m_service->uploadOrder.size(), 4);
        const QString path = m_byDate.at(2);
        const qint64 pid = record(path)->uploadedRemoteId();

        // The process died after the service took the file, before its answer was written down:
        // the record still waits and the in-flight mark names it.
        record(path)->setNeedsUpload(NeedsUpload::Waiting);
        record(path)->setUploadedRemoteId(0);
        record(path)->setUploadTicket(LumoraUploader::sendingMark());
        DataStore::save();
        restartEngine();
        // While the service cannot be asked, the file is not sent again.
        m_service->lookupsFail = true;
        scanAndUpload();
        QCOMPARE(m_service->uploadsOf(path), 1);
        QCOMPARE(record(path)->needsUpload(), NeedsUpload::Waiting);
        QCOMPARE(record(path)->uploadTicket(), LumoraUploader::sendingMark());

        m_service->lookupsFail = false;
        LumoraUploader::run();
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        QCOMPARE(m_service->uploadsOf(path), 1);
        QCOMPARE(record(path)->needsUpload(), NeedsUpload::Uploaded);
        QCOMPARE(record(path)->uploadedRemoteId(), pid);
        QVERIFY(record(path)->uploadTicket().isEmpty());
    }

    void pendingTicketIsPolledNotResent()
    {
        // Kill right after the ticket came back: the record holds 44 and the ticket.
        m_service->ticketPolls = 1000; // nothing completes in this run
        m_service->maxTickets = 1;     // limit reached at once: the loop polls and then stops here
        FileManager::run();
        QVERIFY(FileManager::waitUntilIdle(30000));
        // No albums: creating one waits on its first ticket, which would hide the pending limit.
        for (FileData *r : DataStore::instance()->allFileData())
            if (r->isFolder())
                r->setAlbumMode(0);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        LumoraUploader::run();
        QTRY_VERIFY_WITH_TIMEOUT(record(m_byDate.first())->needsUpload() == NeedsUpload::AwaitingTicket, 10000);
        const QString ticket = record(m_byDate.first())->uploadTicket();
        QVERIFY(!ticket.isEmpty());
        // The loop sits at the pending limit, polling.
        QTRY_COMPARE_WITH_TIMEOUT(Settings::intForKey("TimesWaitingOnTickets"), 1, 10000);
        LumoraUploader::resetForTesting(); // the "kill"
        QCOMPARE(m_service->uploadOrder, QStringList{m_byDate.first()});

        restartEngine();
        QCOMPARE(record(m_byDate.first())->needsUpload(), NeedsUpload::AwaitingTicket);
        QCOMPARE(record(m_byDate.first())->uploadTicket(), ticket);
        m_service->ticketPolls = 1;
        m_service->maxTickets = 10;
        scanAndUpload();
        QCOMPARE(m_service->uploadOrder, m_byDate); // the first file was not sent again
        QCOMPARE(record(m_byDate.first())->needsUpload(), NeedsUpload::Uploaded);
        QCOMPARE(Settings::intForKey("TimesWaitingOnTickets"), 1);
    }
};

QTEST_MAIN(TestUploader)
#include "tst_uploader.moc"
