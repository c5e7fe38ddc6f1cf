// The scan loop over a generated tree: new, changed, deleted and excluded files and folders,
// nested and unavailable sources, bad input, rescans that read nothing, and the gate.
#include "CatalogueTestSupport.h"
#include "catalogue/ContentSample.h"
#include "catalogue/FileManagerPrivate.h"
#include "core/PropertyList.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <unistd.h>

using namespace CatalogueTest;

class TestScanner : public QObject, private ScratchFolder
{
    Q_OBJECT

    int m_passes = 0;
    int m_matchCalls = 0;
    bool m_sawScanningInsideRoot = false;
    QStringList m_removedSources;

    void installHooks()
    {
        auto &h = CatalogueHooks::instance();
        h.signedInAccountId = [] { return kTestAccount; };
        h.scanPassCompleted = [this] { ++m_passes; };
        h.sourceRemoved = [this](const QString &path) { m_removedSources << path; };
        // The de-duplication index of the service mirror, as its developer fills it.
        h.matchDeDupForFile = [this](FileData *r) {
            ++m_matchCalls;
            if (FileManager::fileScanning() == r && FileManager::isFileOrAnyChildScanning(rec(QStringLiteral("Photos"))))
                m_sawScanningInsideRoot = true;
            for (const ContentSample &s : {r->sample(), r->jpegSample()}) {
                const auto rows = DataStore::instance()->dedupDataForSample(s);
                if (!rows.isEmpty()) {
                    r->setNeedsUpload(NeedsUpload::AlreadyOnService);
                    r->setUploadedRemoteId(rows.first().pid);
                    return true;
                }
            }
            return false;
        };
    }

private Q_SLOTS:
    void initTestCase() { enterScratchHome(); }
    void init()
    {
        freshCatalogue();
        installHooks();
        m_passes = m_matchCalls = 0;
        m_removedSources.clear();
    }
    void cleanupTestCase() { freshCatalogue(); }

    void scanOfGeneratedTree()
    {
        // The tree.
        QVERIFY(writeFile(p("Photos/a.jpg"), makeJpeg(6000, 1).bytes));
        QVERIFY(setExifDate(p("Photos/a.jpg"), "2018:05:06 07:08:09"));
        QVERIFY(settleFile(p("Photos/a.jpg")));
        QVERIFY(writeFile(p("Photos/b.png"), QByteArray("\x89PNG\r\n\x1a\n", 8) + noise(4000, 2)));
        QVERIFY(writeFile(p("Photos/small.jpg"), makeJpeg(100, 3).bytes));
        QVERIFY(writeFile(p("Photos/notes.txt"), noise(4000, 4)));
        QVERIFY(writeFile(p("Photos/fake.jpg"), QByteArray("this is no photo at all ").repeated(200)));
        QVERIFY(writeFile(p("Photos/empty.jpg"), QByteArray()));
        QVERIFY(writeFile(p("Photos/Trip/c.jpg"), makeJpeg(7000, 5).bytes));
        QVERIFY(writeFile(p("Photos/Trip/Deep/d.mov"), QByteArray("\0\0\0\x14" "ftypqt  ", 12) + noise(9000, 6)));
        QVERIFY(writeFile(p("Photos/Private/secret.jpg"), makeJpeg(6000, 7).bytes));
        QVERIFY(writeFile(p("Photos/.hidden/h.jpg"), makeJpeg(6000, 8).bytes));
        // Copied photo libraries: their files belong to the library, not to the folder.
        QVERIFY(writeFile(p("Photos/Photos Library.photoslibrary/originals/0/o.jpg"), makeJpeg(6000, 10).bytes));
        QVERIFY(writeFile(p("Photos/iPhoto Library/AlbumData.xml"), QByteArray("<plist/>")));
        QVERIFY(writeFile(p("Photos/iPhoto Library/Thumbnails/t.jpg"), makeJpeg(6000, 11).bytes));
        QVERIFY(QFile::link(p("Photos"), p("Photos/loop")));
        QVERIFY(QFile::link(p("Photos/a.jpg"), p("Photos/link.jpg")));
        {
            const QByteArray bad = QFile::encodeName(p("Photos/")) + QByteArray("bad\xff\xfename.jpg");
            FILE *f = fopen(bad.constData(), "wb");
            QVERIFY(f);
            const QByteArray jpeg = makeJpeg(6000, 9).bytes;
            fwrite(jpeg.constData(), 1, size_t(jpeg.size()), f);
            fclose(f);
        }
        // The excluded folder's choice survives in its own settings file.
        QVERIFY(PropertyList::writeFile(p("Photos/Private/.lumoraExclusion"),
                                        QVariantMap{{kTestAccount, QVariantMap{{"excludedFromScan", true}}}}));
        // The service already has c.jpg.
        const ContentSample cSample = ContentSampler::sampleFile(p("Photos/Trip/c.jpg")).whole;
        QVERIFY(DataStore::instance()->insertDedupData({DedupData{9001, cSample.sample1, cSample.sample2, false, false}}));

        // Until the service mirror has its listing, nothing is scanned.
        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return false; };
        FileManager::addCustomFolder(p("Photos"));
        FileManager::addCustomFolder(p("Photos/Trip/")); // nested, and spelled with a slash
        QVERIFY(FileManager::waitUntilIdle(kScanTimeoutMs));
        QCOMPARE(FileManager::customFolders(), (QStringList{p("Photos"), p("Photos/Trip")}));
        QCOMPARE(FileManager::allSourcesFiltered(), QStringList{p("Photos")});
        QCOMPARE(DataStore::instance()->fileDataCount(), qsizetype(1));
        QCOMPARE(rec("Photos")->needsScan(), NeedsScan::Pending);
        QCOMPARE(m_passes, 0);
        QVERIFY(!FileManager::hasCompletedScanThisSession());

        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return true; };
        QVERIFY(scanPending());
        QCOMPARE(m_passes, 1);
        QVERIFY(FileManager::hasCompletedScanThisSession());
        QVERIFY(m_sawScanningInsideRoot);

        FileData *a = rec("Photos/a.jpg");
        QVERIFY(a);
        QCOMPARE(a->needsUpload(), NeedsUpload::Waiting);
        QVERIFY(a->isPhoto());
        QVERIFY(!a->sample().isNull() && !a->jpegSample().isNull());
        QCOMPARE(a->fileSize(), QFileInfo(p("Photos/a.jpg")).size());
        QCOMPARE(a->dateTaken(), QDateTime(QDate(2018, 5, 6), QTime(7, 8, 9)));
        QCOMPARE(rec("Photos/b.png")->needsUpload(), NeedsUpload::Waiting);
        QVERIFY(rec("Photos/b.png")->jpegSample().isNull());
        QCOMPARE(rec("Photos/small.jpg")->needsUpload(), NeedsUpload::TooSmall);
        QVERIFY(rec("Photos/small.jpg")->sample().isNull()); // below the sampled size
        QCOMPARE(rec("Photos/fake.jpg")->needsUpload(), NeedsUpload::UnsupportedFormat);
        QCOMPARE(rec("Photos/empty.jpg")->needsUpload(), NeedsUpload::UnsupportedFormat);
        QCOMPARE(rec("Photos/link.jpg")->sample(), a->sample());
        QCOMPARE(rec("Photos/Trip/c.jpg")->needsUpload(), NeedsUpload::AlreadyOnService);
        QCOMPARE(rec("Photos/Trip/c.jpg")->uploadedRemoteId(), qint64(9001));
        QVERIFY(rec("Photos/Trip/Deep/d.mov")->isVideo());
        QCOMPARE(rec("Photos/Trip/Deep/d.mov")->needsUpload(), NeedsUpload::Waiting);
        QVERIFY(rec("Photos/Private")->excludedFromScan());
        QVERIFY(!rec("Photos/Private/secret.jpg"));
        for (const char *absent : {"Photos/notes.txt", "Photos/.hidden", "Photos/.hidden/h.jpg", "Photos/loop",
                                   "Photos/Photos Library.photoslibrary", "Photos/iPhoto Library"})
            QVERIFY2(!rec(QString::fromLatin1(absent)), absent);
        QCOMPARE(rec("Photos/Trip")->parent(), rec("Photos"));
        // New folders take the default album; files have no album settings.
        QCOMPARE(rec("Photos")->albumMode(), 2);
        QCOMPARE(rec("Photos/Trip/Deep")->albumMode(), 2);
        QCOMPARE(a->albumMode(), 0);
        QCOMPARE(DataStore::instance()->rootFileData(), QList<FileData *>{rec("Photos")});
        QVERIFY(rec("Photos")->hasFlag(FileFlags::ChildrenListed));
        QCOMPARE(rec("Photos")->numberOfPhotos(), 4); // a, b, small, link
        for (FileData *r : DataStore::instance()->allFileData())
            QCOMPARE(r->needsScan(), NeedsScan::Done);
        QCOMPARE(rec("Photos")->status(), FileStatus::Waiting);
        QCOMPARE(rec("Photos/Trip")->status(), FileStatus::Waiting);
        // Photos: a, b, small, link, c (d is a video); a and link are the same photo.
        QCOMPARE(Settings::intForKey(FileManager::kMaxScanTotal), 5);
        QCOMPARE(Settings::intForKey(FileManager::kMaxScanUnique), 4);
        QVERIFY(DataStore::instance()->hasPendingChanges() || DataStore::save());

        // A rescan of unchanged files opens none of them.
        const quint64 opened = FileManagerPrivate::filesOpenedForReading();
        const int matches = m_matchCalls;
        QVERIFY(rescanFolder(rec("Photos"), true));
        QCOMPARE(FileManagerPrivate::filesOpenedForReading(), opened);
        QCOMPARE(m_matchCalls, matches);
        QVERIFY(m_passes >= 2);

        // Changes: one file rewritten, one deleted, one added, one uploaded meanwhile.
        a->setNeedsUpload(NeedsUpload::Uploaded);
        a->setUploadedRemoteId(555);
        QVERIFY(writeFile(p("Photos/b.png"), QByteArray("\x89PNG\r\n\x1a\n", 8) + noise(5000, 12)));
        const ContentSample oldB = rec("Photos/b.png")->sample();
        QVERIFY(QFile::remove(p("Photos/small.jpg")));
        QVERIFY(writeFile(p("Photos/Trip/new.jpg"), makeJpeg(6500, 13).bytes));
        QVERIFY(QDir(p("Photos/Trip/Deep")).removeRecursively());
        QVERIFY(writeFile(p("Photos/Private/another.jpg"), makeJpeg(6000, 14).bytes));
        rec("Photos")->setNeedsScan(NeedsScan::Pending);
        rec("Photos/Trip")->setNeedsScan(NeedsScan::Pending);
        rec("Photos/Private")->setNeedsScan(NeedsScan::Pending);
        QVERIFY(scanPending());
        QVERIFY(rec("Photos/b.png")->sample() != oldB);
        QCOMPARE(rec("Photos/b.png")->needsUpload(), NeedsUpload::Waiting);
        FileData *small = rec("Photos/small.jpg");
        QVERIFY(small && small->isMissingOnDisk());
        QCOMPARE(small->needsUpload(), NeedsUpload::TooSmall); // never to be sent either way
        QCOMPARE(rec("Photos/Trip/new.jpg")->needsUpload(), NeedsUpload::Waiting);
        QVERIFY(rec("Photos/Trip/Deep")->isMissingOnDisk());
        QCOMPARE(rec("Photos/Trip/Deep/d.mov")->needsUpload(), NeedsUpload::Missing);
        QCOMPARE(a->needsUpload(), NeedsUpload::Uploaded);
        QCOMPARE(a->uploadedRemoteId(), qint64(555));
        QVERIFY(!rec("Photos/Private/another.jpg"));
        QCOMPARE(rec("Photos")->numberOfPhotos(), 3);

        // A library an earlier build listed as a folder loses its records.
        for (const char *rel : {"Photos/iPhoto Library", "Photos/iPhoto Library/Thumbnails", "Photos/iPhoto Library/Thumbnails/t.jpg"})
            QVERIFY(FileManager::fileDataForPath(p(QString::fromLatin1(rel))));
        QCOMPARE(rec("Photos/iPhoto Library")->parent(), rec("Photos"));
        QVERIFY(rescanFolder(rec("Photos"), false));
        QVERIFY(!rec("Photos/iPhoto Library") && !rec("Photos/iPhoto Library/Thumbnails/t.jpg"));

        // A deleted file that comes back is worked on again.
        QVERIFY(writeFile(p("Photos/small.jpg"), makeJpeg(100, 3).bytes));
        rec("Photos")->setNeedsScan(NeedsScan::Pending);
        QVERIFY(scanPending());
        QVERIFY(!small->isMissingOnDisk());
        QCOMPARE(small->needsUpload(), NeedsUpload::TooSmall);
        small->setNeedsUpload(NeedsUpload::Waiting); // as an earlier build queued it
        QVERIFY(rescanFolder(rec("Photos"), false));
        QCOMPARE(small->needsUpload(), NeedsUpload::TooSmall);

        // Including the excluded folder again (in the catalogue and its settings file, as the
        // Upload pane does) finds what it holds.
        rec("Photos/Private")->setExcludedFromScan(false);
        QVERIFY(rec("Photos/Private")->saveSetDataToDisk());
        rec("Photos/Private")->setNeedsScan(NeedsScan::Pending);
        QVERIFY(scanPending());
        QCOMPARE(rec("Photos/Private/secret.jpg")->needsUpload(), NeedsUpload::Waiting);
        QCOMPARE(rec("Photos/Private/another.jpg")->needsUpload(), NeedsUpload::Waiting);

        // Tracked scan marks what it finds.
        FileManager::setTrackingCurrentScan(true);
        QVERIFY(rescanFolder(rec("Photos"), true));
        QVERIFY(rec("Photos/Trip/new.jpg")->hasFlag(FileFlags::FoundInTrackedScan));
        QVERIFY(!rec("Photos/Trip/Deep/d.mov")->hasFlag(FileFlags::FoundInTrackedScan));
        QVERIFY(!FileManager::isTrackingCurrentScan()); // the pass ended it
        QVERIFY(Settings::boolForKey(QStringLiteral("LastScanWasTracked")));
        QVERIFY(!Settings::boolForKey(QStringLiteral("TrackingCurrentScan")));
    }

    void startWhileRunningRunsOnceMore()
    {
        QVERIFY(writeFile(p("Again/x.jpg"), makeJpeg(6000, 21).bytes));
        bool asked = false;
        CatalogueHooks::instance().scanPassCompleted = [&] {
            ++m_passes;
            if (!asked) {
                asked = true;
                FileManager::run(); // the loop is still running: one more pass
            }
        };
        QVERIFY(addFolderAndScan(p("Again")));
        QCOMPARE(m_passes, 2);
        QVERIFY(rec("Again/x.jpg"));
    }

    void unavailableSourceKeepsItsRecords()
    {
        QVERIFY(writeFile(p("Card/DCIM/100/IMG_1.jpg"), makeJpeg(6000, 31).bytes));
        QVERIFY(addFolderAndScan(p("Card")));
        FileData *photo = rec("Card/DCIM/100/IMG_1.jpg");
        QVERIFY(photo);
        QCOMPARE(photo->needsUpload(), NeedsUpload::Waiting);

        // The card is taken out: a rescan finds no folder at all.
        QVERIFY(QDir().rename(p("Card"), p("Card-away")));
        QVERIFY(rescanFolder(rec("Card"), true));
        QVERIFY(rec("Card")->hasFlag(FileFlags::SourceUnavailable));
        QCOMPARE(rec("Card/DCIM/100/IMG_1.jpg"), photo);
        QVERIFY(!photo->isMissingOnDisk());
        QCOMPARE(photo->needsUpload(), NeedsUpload::Waiting);
        photo->setNeedsUpload(NeedsUpload::Missing); // as earlier builds' uploader marked it

        // It comes back.
        QVERIFY(QDir().rename(p("Card-away"), p("Card")));
        QVERIFY(scanPending());
        QVERIFY(!rec("Card")->hasFlag(FileFlags::SourceUnavailable));
        QCOMPARE(photo->needsUpload(), NeedsUpload::Waiting);

        // Removing the source keeps the records; what was waiting is no longer selected.
        FileManager::removeCustomFolder(p("Card"));
        QVERIFY(FileManager::waitUntilIdle(kScanTimeoutMs));
        QVERIFY(FileManager::customFolders().isEmpty());
        QCOMPARE(m_removedSources, QStringList{p("Card")});
        QCOMPARE(photo->needsUpload(), NeedsUpload::NotSelected);
        // Empty paths are ignored.
        FileManager::addCustomFolder(QString());
        FileManager::removeCustomFolder(QStringLiteral("  "));
        QVERIFY(FileManager::customFolders().isEmpty());
    }

    void restartReconcilesBySizeAndDate()
    {
        QVERIFY(writeFile(p("Home/one.jpg"), makeJpeg(6000, 41).bytes));
        QVERIFY(writeFile(p("Home/two.jpg"), makeJpeg(6000, 42).bytes));
        QVERIFY(writeFile(p("Home/Sub/three.jpg"), makeJpeg(6000, 43).bytes));
        // Names outside ASCII, in both Unicode normalisations: each must be met again as itself.
        const QString wide = QString::fromUtf8("Home/Ünï 写真/😀 é.jpg");
        const QString decomposed = QString::fromUtf8("Home/Ünï 写真/😀 e\u0301.jpg");
        QVERIFY(writeFile(p(wide), makeJpeg(6000, 46).bytes));
        QVERIFY(writeFile(p(decomposed), makeJpeg(6000, 47).bytes));
        QVERIFY(addFolderAndScan(p("Home")));
        QVERIFY(rec("Home/Sub/three.jpg"));
        QVERIFY(rec(wide) && rec(decomposed) && rec(wide) != rec(decomposed));
        QCOMPARE(rec(wide)->fileName(), QString::fromUtf8("😀 é.jpg"));
        const qint64 wideId = rec(wide)->fileID(), decomposedId = rec(decomposed)->fileID();
        const ContentSample twoBefore = rec("Home/two.jpg")->sample();

        // Quit, change things while not running, start again.
        FileManager::shutdown();
        DataStore::shutdown();
        QVERIFY(writeFile(p("Home/two.jpg"), makeJpeg(6100, 44).bytes));
        QVERIFY(writeFile(p("Home/Sub/four.jpg"), makeJpeg(6000, 45).bytes));
        QVERIFY(QFile::remove(p("Home/one.jpg")));
        const quint64 opened = FileManagerPrivate::filesOpenedForReading();
        QVERIFY(startupAndScan());
        QCOMPARE(FileManagerPrivate::filesOpenedForReading() - opened, quint64(2)); // two.jpg, four.jpg
        QVERIFY(rec("Home/two.jpg")->sample() != twoBefore);
        QCOMPARE(rec("Home/Sub/four.jpg")->needsUpload(), NeedsUpload::Waiting);
        QVERIFY(rec("Home/one.jpg")->isMissingOnDisk());
        QCOMPARE(rec("Home/Sub/three.jpg")->needsUpload(), NeedsUpload::Waiting);
        QCOMPARE(rec(wide)->fileID(), wideId);
        QCOMPARE(rec(decomposed)->fileID(), decomposedId);
        QCOMPARE(rec(wide)->fileFullPath(), p(wide));
    }

    void growingFileWaitsUntilSettled()
    {
        // The real wait: without one the copy would be read half-written.
        FileManagerPrivate::setSettleWindowForTesting(FileManagerPrivate::kSettleWindowMs);
        const auto restore = qScopeGuard([] { FileManagerPrivate::setSettleWindowForTesting(kTestSettleWindowMs); });
        QVERIFY(writeFile(p("Growing/other.jpg"), makeJpeg(6000, 61).bytes));
        const QString path = p("Growing/copying.jpg");
        const Jpeg full = makeJpeg(40000, 62);
        QVERIFY(writeFile(path, full.bytes.left(3000), 0));
        // Another program is still copying the file in.
        std::atomic<bool> started{false};
        QThread *copier = QThread::create([&] {
            QFile f(path);
            if (!f.open(QIODevice::Append))
                return;
            started = true;
            for (qsizetype at = 3000; at < full.bytes.size(); at += 2000) {
                f.write(full.bytes.mid(at, 2000));
                f.flush();
                QThread::msleep(100);
            }
        });
        copier->start();
        QTRY_VERIFY(started.load());
        QVERIFY(addFolderAndScan(p("Growing")));
        FileData *r = rec("Growing/copying.jpg");
        QVERIFY(r);
        if (!copier->isFinished()) { // the copy outlasted the first pass: nothing read yet
            QVERIFY(r->sample().isNull());
            QVERIFY(r->needsUpload() != NeedsUpload::Waiting);
        }
        QVERIFY(copier->wait(20000));
        delete copier;
        // Once the size settles the file is read whole.
        QTRY_VERIFY_WITH_TIMEOUT(r->needsUpload() == NeedsUpload::Waiting, 20000);
        QCOMPARE(rec("Growing/other.jpg")->needsUpload(), NeedsUpload::Waiting);
        QCOMPARE(r->fileSize(), full.bytes.size());
        QCOMPARE(r->jpegSample(), ContentSampler::sampleOfBytes(full.bytes.mid(full.imageStart, full.imageLength)));
    }

    void unreadableFolderIsSkipped()
    {
        if (::geteuid() == 0)
            QSKIP("permissions do not restrict the superuser");
        QVERIFY(writeFile(p("Locked/Inner/x.jpg"), makeJpeg(6000, 51).bytes));
        QVERIFY(writeFile(p("Locked/y.jpg"), makeJpeg(6000, 52).bytes));
        QFile::setPermissions(p("Locked/Inner"), QFileDevice::Permissions());
        QVERIFY(addFolderAndScan(p("Locked")));
        QFile::setPermissions(p("Locked/Inner"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(rec("Locked/Inner"));
        QVERIFY(!rec("Locked/Inner/x.jpg"));
        QCOMPARE(rec("Locked/y.jpg")->needsUpload(), NeedsUpload::Waiting);
    }
};

QTEST_GUILESS_MAIN(TestScanner)
#include "tst_scanner.moc"
