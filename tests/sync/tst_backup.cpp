// The whole backup without a user interface, against the local service double: two watched
// folders of photos and a video go up once each, oldest first, into albums named after their
// folders; a restart sends nothing; a copy is sent once; the service's faults produce the waits,
// the pause after errors and the status lines; and a process killed mid-backup leaves the
// service and the catalogue consistent.
#include "LumoraDouble.h"
#include "CatalogueInvariants.h"
#include "SyncTestEngine.h"
#include "SyncTestHome.h"
#include "SyncTestPhotos.h"

#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"

#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "service/DataStoreLumoraData.h"

#include "core/NotificationCenter.h"
#include "core/Settings.h"

#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>
#include <exiv2/exiv2.hpp>

namespace {

// A short MP4-like clip: recognised as a video by its header; dated by its modification time.
QString writeVideo(const QString &path, const QDateTime &date, quint32 seed)
{
    QByteArray data("\x00\x00\x00\x18" "ftypmp42" "\x00\x00\x00\x00" "mp42isom", 24);
    QRandomGenerator rng(seed);
    for (int i = 0; i < 6000; ++i)
        data.append(char(rng.generate() & 0xFF));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return QString();
    f.close();
    f.open(QIODevice::ReadWrite);
    f.setFileTime(date, QFileDevice::FileModificationTime);
    return path;
}

FileData *record(const QString &path) { return DataStore::instance()->fileDataForPathKey(FileManager::pathKey(path)); }

} // namespace

class TestBackup : public QObject
{
    Q_OBJECT

    LumoraDouble m_double;
    QTemporaryDir m_files;
    QString m_alpha, m_beta;
    QStringList m_byDate;

    bool allSettled(const QStringList &paths)
    {
        for (const QString &p : paths) {
            FileData *r = record(p);
            if (!r || r->needsUpload() != NeedsUpload::Uploaded)
                return false;
        }
        return true;
    }

    QStringList uploadedNames() const
    {
        QStringList names;
        for (const auto &u : m_double.uploads())
            if (u.result.startsWith(QLatin1String("ticketid")) || u.result.startsWith(QLatin1String("photoid")))
                names << u.fileName;
        return names;
    }

private Q_SLOTS:
    // Whatever a case did, no record reads "uploaded" without the service's photo id.
    void cleanup() { VERIFY_CATALOGUE_INVARIANTS(); }

    void initTestCase()
    {
        QVERIFY(startServiceDoubleInThrowAwayHome(m_double));
        // The double registers an upload at most 150 ms (its Slow fault below) after it took it: a
        // file whose answer was lost is asked about after 1 s here (and in the engine processes
        // these tests start), not after the two minutes a real service is given.
        LumoraUploader::setSendingMarkMinAgeForTesting(1000);
        qputenv("HOISTLY_TEST_SENDING_MIN_AGE_MS", "1000");
        signInToServiceDouble(m_double);

        m_alpha = m_files.filePath(QStringLiteral("Alpha"));
        m_beta = m_files.filePath(QStringLiteral("Beta"));
        QDir().mkpath(m_alpha);
        QDir().mkpath(m_beta);
        m_byDate = {
            writePhoto(m_beta + "/z_oldest.jpg", "2001:05:06 07:08:09", 11),
            writePhoto(m_alpha + "/y_second.jpg", "2003:01:01 00:00:00", 12),
            writeVideo(m_alpha + "/clip.mp4", QDateTime(QDate(2008, 6, 1), QTime(12, 0), Qt::UTC), 13),
            writePhoto(m_beta + "/x_fourth.jpg", "2010:12:24 18:00:00", 14),
            writePhoto(m_alpha + "/w_newest.jpg", "2020:02:29 12:00:00", 15),
        };
        for (const QString &p : m_byDate)
            QVERIFY(!p.isEmpty());
        QVERIFY(QFile::copy(m_byDate.at(1), m_beta + "/copy_of_second.jpg") && dateBack(m_beta + "/copy_of_second.jpg"));
    }

    void cleanupTestCase()
    {
        stopEngine();
        m_double.stop();
    }

    void backupEndToEnd()
    {
        FileManager::addCustomFolder(m_alpha);
        FileManager::addCustomFolder(m_beta);
        startEngine();
        waitForScanPass();
        // Onboarding ends with album choices made: every folder gets the album named after it.
        QVERIFY(!LumoraUploader::isRunning());
        for (FileData *r : DataStore::instance()->allFileData())
            if (r->isFolder())
                r->setAlbumMode(2);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        LumoraUploader::run();
        QTRY_VERIFY_WITH_TIMEOUT(allSettled(m_byDate), 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));

        // Each file once, oldest first; the copy was not sent.
        QStringList expected;
        for (const QString &p : m_byDate)
            expected << QFileInfo(p).fileName();
        QCOMPARE(uploadedNames(), expected);
        QCOMPARE(m_double.photos().size(), m_byDate.size());

        // One album per folder, named after it, holding exactly that folder's files.
        QHash<QString, QStringList> albumPhotos;
        for (const auto &a : m_double.albums())
            albumPhotos[a.title] += a.photoIds;
        QCOMPARE(albumPhotos.size(), 2);
        QCOMPARE(m_double.albums().size(), 2);
        for (const QString &p : m_byDate) {
            const QString folder = QFileInfo(QFileInfo(p).path()).fileName();
            QVERIFY2(albumPhotos.value(folder).contains(QString::number(record(p)->uploadedRemoteId())), qPrintable(p));
        }
        FileData *copy = record(m_beta + "/copy_of_second.jpg");
        QVERIFY(copy);
        QCOMPARE(copy->needsUpload(), NeedsUpload::Uploaded);
        QCOMPARE(copy->uploadedRemoteId(), record(m_byDate.at(1))->uploadedRemoteId());
        QCOMPARE(Settings::intForKey("VideosImported"), 1);
        QCOMPARE(Settings::intForKey("PhotosImported"), 4);

        LumoraDrive::updateStatus();
        QTRY_VERIFY(LumoraDrive::statusIsComplete());
        QCOMPARE(LumoraDrive::statusLine1(), QStringLiteral("All photos uploaded."));

        // A restart sends nothing.
        stopEngine();
        startEngine();
        waitForScanPass();
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        QTest::qWait(500);
        QCOMPARE(uploadedNames(), expected);
        QCOMPARE(m_double.albums().size(), 2);
    }

    void serviceFaultsProduceWaitsPauseAndStatus()
    {
        // Seven new photos in a new folder; the upload address fails with HTTP 503.
        const QString gamma = m_files.filePath(QStringLiteral("Gamma"));
        QDir().mkpath(gamma);
        QStringList files;
        for (int i = 0; i < 7; ++i)
            files << writePhoto(gamma + QStringLiteral("/g%1.jpg").arg(i), QStringLiteral("2021:01:0%1 00:00:00").arg(i + 1), 100 + i);
        const int before = int(uploadedNames().size());
        m_double.setFault(LumoraDouble::Fault::HttpError, 503, QStringLiteral("upload"), -1);
        QStringList lines;
        QObject ctx;
        NotificationCenter::observe(Notifications::StatusUpdated, &ctx, [&](const QVariant &) { lines << LumoraDrive::statusLine1(); });
        FileManager::addCustomFolder(gamma);
        QTRY_VERIFY_WITH_TIMEOUT(LumoraUploader::pausedDueToErrors(), 60000);
        QVERIFY(LumoraDrive::pausedDueToError());
        QTRY_COMPARE(LumoraDrive::statusLine1(), QStringLiteral("Uploading stopped after repeated errors."));
        QCOMPARE(LumoraDrive::statusResumeMessage(), QStringLiteral("Try again"));
        QCOMPARE(int(uploadedNames().size()), before);
        QCOMPARE(record(files.last())->needsUpload(), NeedsUpload::Waiting); // the seventh was never tried

        // The service is busy twice, then fine: the loop waits as asked and goes on.
        m_double.clearFaults();
        m_double.setFault(LumoraDouble::Fault::Busy, 1, QStringLiteral("upload"), 2);
        LumoraDrive::refreshManually();
        QTRY_VERIFY_WITH_TIMEOUT(allSettled(files), 60000);
        QCOMPARE(Settings::intForKey("TimesServerAtCapacity"), 2);
        QCOMPARE(Settings::doubleForKey("TimeWaitingServerRequested"), 2.0);
        QVERIFY2(lines.contains(QStringLiteral("Lumora is busy.")), qPrintable(lines.join(" | ")));
        QCOMPARE(int(uploadedNames().size()), before + 7);

        // A full account stops the loop and says so.
        const QString delta = m_files.filePath(QStringLiteral("Delta"));
        QDir().mkpath(delta);
        const QString last = writePhoto(delta + "/d.jpg", "2022:02:02 02:02:02", 200);
        m_double.setFault(LumoraDouble::Fault::AccountFull, 0, QStringLiteral("upload"), -1);
        FileManager::addCustomFolder(delta);
        QTRY_VERIFY_WITH_TIMEOUT(LumoraUploader::accountFull(), 60000);
        QTRY_COMPARE(LumoraDrive::statusLine1(), QStringLiteral("Your Lumora account is full."));
        QCOMPARE(record(last)->needsUpload(), NeedsUpload::Waiting);
        m_double.clearFaults();
        LumoraDrive::refreshManually();
        QTRY_VERIFY_WITH_TIMEOUT(allSettled({last}), 60000);
    }

    void pauseAndResume()
    {
        const QString eps = m_files.filePath(QStringLiteral("Epsilon"));
        QDir().mkpath(eps);
        const QString file = writePhoto(eps + "/e.jpg", "2023:03:03 03:03:03", 300);
        LumoraDrive::setPausedUntil(QDateTime::currentDateTimeUtc().addSecs(3153600000LL));
        FileManager::addCustomFolder(eps);
        QTRY_VERIFY_WITH_TIMEOUT(record(file) && record(file)->needsUpload() == NeedsUpload::Waiting, 30000);
        QTest::qWait(500);
        QVERIFY(!LumoraUploader::isRunning());
        QTRY_COMPARE(LumoraDrive::statusLine1(), QStringLiteral("Paused until you resume."));
        LumoraDrive::setPausedUntil(QDateTime());
        QTRY_VERIFY_WITH_TIMEOUT(allSettled({file}), 60000);
    }

    void checksumPreparationIsAwaited()
    {
        Settings::removeObjectForKey(QStringLiteral("ChecksumBackfillVerified"));
        m_double.resetRecords();
        const QDateTime mirrorBefore = DataStoreLumoraData::hasCompletedScanThisSession();
        LumoraUploader::checkChecksumBackfillVerified();
        LumoraUploader::checkChecksumBackfillVerified(); // one poll at a time
        QTRY_VERIFY_WITH_TIMEOUT(Settings::boolForKey(QStringLiteral("ChecksumBackfillVerified")), 30000);
        QVERIFY(m_double.restMethodsCalled().count(QStringLiteral("lumora.photos.dedup.prepareUser")) >= 1);
        // Known complete: the mirror is refreshed once more (it asks for itself), then no polls.
        QTRY_VERIFY_WITH_TIMEOUT(!DataStoreLumoraData::isRunning() && DataStoreLumoraData::hasCompletedScanThisSession().isValid()
                                     && (!mirrorBefore.isValid() || DataStoreLumoraData::hasCompletedScanThisSession() > mirrorBefore),
                                 30000);
        const auto calls = m_double.restMethodsCalled().count(QStringLiteral("lumora.photos.dedup.prepareUser"));
        LumoraUploader::checkChecksumBackfillVerified();
        QTest::qWait(300);
        QCOMPARE(m_double.restMethodsCalled().count(QStringLiteral("lumora.photos.dedup.prepareUser")), calls);
    }

    void killedMidBackupStaysConsistent()
    {
        const QString runner = QCoreApplication::applicationDirPath() + QStringLiteral("/sync_engine_runner");
        if (!QFileInfo::exists(runner))
            QSKIP("engine runner not built");
        const QString kappa = m_files.filePath(QStringLiteral("Kappa"));
        QDir().mkpath(kappa);
        QStringList files;
        for (int i = 0; i < 8; ++i)
            files << writePhoto(kappa + QStringLiteral("/k%1.jpg").arg(i), QStringLiteral("2024:04:0%1 00:00:00").arg(i + 1), 400 + i);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        FileManager::addCustomFolder(kappa); // stored; the records come from the runner's scan
        stopEngine();
        auto storeOpenHere = [] {
            for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
                if (fd.symLinkTarget().endsWith(QStringLiteral("LumoraDesktop.storedata")))
                    return true;
            return false;
        };
        QVERIFY(!storeOpenHere());

        // Slow uploads and slow ticket checks widen the windows in which the kills land.
        m_double.setFault(LumoraDouble::Fault::Slow, 150, QStringLiteral("upload"), -1);
        m_double.setTicketPollsToComplete(2);
        const int before = int(uploadedNames().size());
        for (int round = 0; round < 3; ++round) {
            QProcess p;
            p.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
            p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p.start(runner, {});
            QVERIFY(p.waitForStarted());
            const int target = before + 2 * (round + 1);
            QTRY_VERIFY_WITH_TIMEOUT(uploadedNames().size() >= target || p.state() == QProcess::NotRunning, 60000);
            QTest::qWait(round * 120); // land each kill at another point of the road
            p.kill();
            QVERIFY(p.waitForFinished(10000));
        }
        m_double.clearFaults();
        m_double.setTicketPollsToComplete(1);
        // This process stood in for "no process" while the runners worked: whatever it may have
        // opened meanwhile is dropped, so the restart reads what the killed runs left on disk.
        DataStore::shutdown();
        startEngine();
        waitForScanPass();
        QTRY_VERIFY_WITH_TIMEOUT(allSettled(files), 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));

        // Each file was taken by the service exactly once, whatever the kills interrupted.
        QHash<QString, int> sends;
        for (const QString &n : uploadedNames())
            ++sends[n];
        for (const QString &f : files) {
            const int n = sends.value(QFileInfo(f).fileName());
            QVERIFY2(n == 1, qPrintable(QStringLiteral("%1 sent %2 times").arg(f).arg(n)));
        }

        // The service holds each photo once, and each record names the photo it became. A photo
        // whose ticket the killed process never followed is still processing: it is held too.
        QHash<QString, QStringList> bySample;
        QHash<QString, LumoraDouble::Photo> held;
        for (const auto &ph : m_double.photos() + m_double.pendingPhotos()) {
            bySample[ph.fileSample] << ph.id;
            held.insert(ph.id, ph);
        }
        for (auto it = bySample.cbegin(); it != bySample.cend(); ++it)
            QVERIFY2(it.value().size() == 1, qPrintable(QStringLiteral("sample %1 held %2 times").arg(it.key()).arg(it.value().size())));
        for (const QString &f : files) {
            FileData *r = record(f);
            QVERIFY(r);
            const auto photo = held.contains(QString::number(r->uploadedRemoteId()))
                ? std::optional<LumoraDouble::Photo>(held.value(QString::number(r->uploadedRemoteId())))
                : std::nullopt;
            QVERIFY2(photo.has_value(), qPrintable(f));
            QCOMPARE(photo->fileSample, r->sample().hex());
            QVERIFY(r->uploadTicket().isEmpty());
        }
    }
};

QTEST_MAIN(TestBackup)
#include "tst_backup.moc"
