// A folder the user excludes stays excluded, whatever happens next: the choice is on disk before
// the click returns (a process killed right after the toggle keeps it), the folder's own settings
// file is honoured on every rescan, and a hostile settings file in a watched folder neither
// crashes nor stalls the scan.
#include "CatalogueTestSupport.h"
#include "core/PropertyList.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

using namespace CatalogueTest;

class TestExclusion : public QObject, private ScratchFolder
{
    Q_OBJECT

    void signIn() { CatalogueHooks::instance().signedInAccountId = [] { return kTestAccount; }; }

    // Photos/a.jpg and Photos/Private/secret.jpg, scanned and waiting for upload.
    void scanTree()
    {
        QVERIFY(writeFile(p("Photos/a.jpg"), makeJpeg(6000, 1).bytes));
        QVERIFY(writeFile(p("Photos/Private/secret.jpg"), makeJpeg(6000, 2).bytes));
        QVERIFY(addFolderAndScan(p("Photos")));
        QVERIFY(rec("Photos/Private/secret.jpg"));
        QCOMPARE(rec("Photos/Private/secret.jpg")->needsUpload(), NeedsUpload::Waiting);
        QVERIFY(!rec("Photos/Private")->excludedFromScan());
    }

    // Forgets everything this process holds, as a new process would start.
    void restart()
    {
        FileManager::resetForTesting();
        DataStore::resetForTesting();
        Settings::reloadForTesting();
    }

private Q_SLOTS:
    void initTestCase() { enterScratchHome(); }
    void init()
    {
        startFresh();
        signIn();
    }
    void cleanupTestCase() { freshCatalogue(); }

    void exclusionSurvivesAKillRightAfterTheToggle_data()
    {
        QTest::addColumn<QString>("account");
        QTest::newRow("signed in") << kTestAccount;
        // No folder settings file is written without an account: only the catalogue holds it.
        QTest::newRow("no account") << QString();
    }

    void exclusionSurvivesAKillRightAfterTheToggle()
    {
        QFETCH(QString, account);
        const QString runner = QCoreApplication::applicationDirPath() + QStringLiteral("/catalogue_exclusion_runner");
        QVERIFY2(QFileInfo::exists(runner), qPrintable(runner));
        scanTree();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(DataStore::save());
        FileManager::resetForTesting();
        DataStore::shutdown();

        QProcess toggler;
        toggler.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        toggler.start(runner, {p("Photos/Private"), account, QStringLiteral("1")});
        QVERIFY(toggler.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(toggler.canReadLine() || toggler.state() == QProcess::NotRunning, kScanTimeoutMs);
        toggler.kill(); // right after the click returned: no queued save has run
        QVERIFY(toggler.waitForFinished(10000));
        QCOMPARE(toggler.readLine().trimmed(), QByteArray("TOGGLED"));

        restart();
        QVERIFY(DataStore::instance()->isOpen());
        QVERIFY(rec("Photos/Private")->excludedFromScan());
        QVERIFY(startupAndScan());
        QVERIFY(rec("Photos/Private")->excludedFromScan());
        QVERIFY(rec("Photos")->hasFlag(FileFlags::HasExcludedChildren));
        QVERIFY(!rec("Photos/a.jpg")->isFolder());
    }

    void folderSettingsFileIsReadOnEveryRescan()
    {
        scanTree();
        // The folder's choice on disk is newer than the catalogue's record of it (a catalogue
        // from before the toggle, or the toggle of another run).
        QVERIFY(PropertyList::writeFile(p("Photos/Private/.lumoraExclusion"),
                                        QVariantMap{{kTestAccount, QVariantMap{{"excludedFromScan", true}}}}));
        QVERIFY(DataStore::save());
        restart();
        signIn();
        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return true; };
        QVERIFY(startupAndScan());
        QVERIFY(rec("Photos/Private")->excludedFromScan());
        QVERIFY(rec("Photos")->hasFlag(FileFlags::HasExcludedChildren));
        // Another account's exclusion is not ours.
        QVERIFY(PropertyList::writeFile(p("Photos/.lumoraExclusion"),
                                        QVariantMap{{QStringLiteral("lumora-7"), QVariantMap{{"excludedFromScan", true}}}}));
        QVERIFY(rescanFolder(rec("Photos"), false));
        QVERIFY(!rec("Photos")->excludedFromScan());
    }

    // After a reset of the catalogue, the folders' own files bring the exclusions back, and nothing
    // of the excluded folders is uploaded; reading them waits for the disk once per scan, not once
    // per folder.
    void exclusionsOnDiskAreTakenBackWithoutASavePerFolder()
    {
        constexpr int kFolders = 12;
        for (int i = 0; i < kFolders; ++i) {
            const QString folder = QStringLiteral("Library/Excluded %1").arg(i);
            QVERIFY(writeFile(p(folder + QStringLiteral("/x.jpg")), makeJpeg(6000, 100 + i).bytes));
            QVERIFY(PropertyList::writeFile(p(folder + QStringLiteral("/.lumoraExclusion")),
                                            QVariantMap{{kTestAccount, QVariantMap{{"excludedFromScan", true}}}}));
        }
        QVERIFY(writeFile(p("Library/Kept/y.jpg"), makeJpeg(6000, 99).bytes));
        QSignalSpy saved(DataStore::instance(), &DataStore::saved);
        QVERIFY(addFolderAndScan(p("Library")));
        for (int i = 0; i < kFolders; ++i) {
            FileData *folder = rec(QStringLiteral("Library/Excluded %1").arg(i));
            QVERIFY(folder && folder->excludedFromScan());
            QVERIFY(!rec(QStringLiteral("Library/Excluded %1/x.jpg").arg(i)));
        }
        QCOMPARE(rec("Library/Kept/y.jpg")->needsUpload(), NeedsUpload::Waiting);
        QVERIFY2(saved.count() < kFolders, qPrintable(QString::number(saved.count())));
        // And they are in the catalogue after a restart.
        QVERIFY(DataStore::save());
        restart();
        QVERIFY(rec("Library/Excluded 0")->excludedFromScan());
    }

    void hostileFolderSettingsFileIsIgnored()
    {
        // A UTF-16 key holding a NUL: libplist aborts the process when asked for such a key.
        QByteArray hostile("bplist00\xD1\x01\x02\x63\x00\xe9\x00\x00\x00\x62\x51v\x08\x0b\x12", 23);
        QByteArray trailer(32, '\0');
        trailer[6] = 1;
        trailer[7] = 1;
        trailer[15] = 3;
        trailer[31] = 20;
        hostile += trailer;
        QVERIFY(writeFile(p("Photos/Odd/.lumoraExclusion"), hostile));
        QVERIFY(writeFile(p("Photos/Odd/b.jpg"), makeJpeg(6000, 3).bytes));
        scanTree();
        QVERIFY(rec("Photos/Odd/b.jpg"));
        QCOMPARE(rec("Photos/Odd/b.jpg")->needsUpload(), NeedsUpload::Waiting);
        // And on a rescan of the existing folder.
        QVERIFY(rescanFolder(rec("Photos/Odd"), false));
        QVERIFY(!rec("Photos/Odd")->excludedFromScan());
    }
};

QTEST_GUILESS_MAIN(TestExclusion)
#include "tst_exclusion.moc"
