// The Upload pane on the real catalogue: what a tick of the exclusion check box stores (the
// record, its parent's mark, the per-folder settings file, the backup list) and how the pane
// reads records, their children and the sources configuration.
#include "catalogue/CatalogueTestSupport.h"
#include "catalogue/FileData.h"
#include "support/ScriptedModalUi.h"
#include "windows/sources/SourcesBackend.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QSignalSpy>
#include <QtTest>

class TestSourcesEngine : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_base;
    SourcesBackend *m_engine = nullptr;
    ScriptedAlerts m_alerts;

private Q_SLOTS:
    void initTestCase()
    {
        CatalogueTest::isolateHomeAndEnterTestMode();
        m_base = QFileInfo(m_dir.path()).canonicalFilePath();
        Alerts::setPresenter(&m_alerts);
        m_engine = SourcesBackend::makeDefault();
        SourcesBackend::setInstance(m_engine);
    }
    void init()
    {
        CatalogueTest::freshCatalogue();
        auto &hooks = CatalogueHooks::instance();
        hooks.mirrorHasCompletedScanThisSession = [] { return false; }; // no scanning here
        hooks.signedInAccountId = [] { return QStringLiteral("acct-1"); };
    }
    void cleanupTestCase()
    {
        SourcesBackend::setInstance(nullptr);
        CatalogueTest::freshCatalogue();
    }

    void recordsAndConfigurationAsThePaneSeesThem()
    {
        const QString root = m_base + QStringLiteral("/Photos");
        QDir().mkpath(root + QStringLiteral("/b-trip"));
        QDir().mkpath(root + QStringLiteral("/A-party"));
        m_engine->addCustomFolder(root);
        QCOMPARE(m_engine->customFolders(), QStringList({root}));
        FileData *r = FileManager::fileDataForPath(root);
        FileData *b = FileManager::fileDataForPath(root + QStringLiteral("/b-trip"));
        FileData *a = FileManager::fileDataForPath(root + QStringLiteral("/A-party"));
        QVERIFY(r && a && b);
        a->setIsFolder(true);
        b->setIsFolder(true);
        r->setIsFolder(true);
        r->addFlag(FileFlags::ChildrenListed);
        for (FileData *f : {r, a, b})
            f->setNeedsScan(0); // scanned: the folder may be opened
        QCOMPARE(m_engine->recordForPath(root), r->fileID());
        QCOMPARE(m_engine->recordForPath(root + QStringLiteral("/none")), RecordId(0));
        RecordState state;
        QVERIFY(m_engine->recordState(r->fileID(), &state));
        QCOMPARE(state.path, root);
        QVERIFY(state.isFolder);
        QVERIFY(state.hasFlag(RecordFlags::ChildrenListed));
        const QList<RecordId> kids = SourcesTreeModel::childrenForRecord(r->fileID(), SourcesTreeModel::Tree::Main);
        QCOMPARE(kids, QList<RecordId>({a->fileID(), b->fileID()}));

        SourcesPreferencesViewController pane;
        QSignalSpy landed(&pane, &SourcesPreferencesViewController::sourcesRefreshed);
        pane.refreshViewForceRefreshUI(true);
        QVERIFY(landed.wait(5000));
        QCOMPARE(pane.sources(), QStringList({root}));
        const QModelIndex top = pane.model()->index(0, 0);
        QCOMPARE(pane.model()->rowState(top).title, QStringLiteral("Photos"));
        pane.outlineView()->expand(top);
        QCOMPARE(pane.model()->rowCount(top), 2);
        QCOMPARE(m_alerts.count(), 0);
        // While its scan is pending the folder does not open, and says why.
        pane.outlineView()->collapse(top);
        r->setNeedsScan(1);
        pane.outlineView()->expand(top);
        QTRY_COMPARE(m_alerts.count(), 1);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Please wait, scanning..."));
    }

    // A settings file that links elsewhere (an archive or a shared folder can hold one) is never
    // written through nor replaced: the choice holds in the catalogue, the other file is unchanged.
    void excludingWritesTheFolderSettingsAndIncludingMarksTheSubtree_data()
    {
        QTest::addColumn<bool>("linked");
        QTest::newRow("own settings file") << false;
        QTest::newRow("settings file links to another file") << true;
    }
    void excludingWritesTheFolderSettingsAndIncludingMarksTheSubtree()
    {
        QFETCH(bool, linked);
        const QString root = m_base + (linked ? QStringLiteral("/ExLinked") : QStringLiteral("/Ex"));
        const QString sub = root + QStringLiteral("/Private");
        QDir().mkpath(sub + QStringLiteral("/Deeper"));
        const QString victim = root + QStringLiteral(" notes.txt");
        const QByteArray notes("notes the user keeps\n");
        if (linked) {
            QFile f(victim);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(notes) == notes.size());
            f.close();
            QVERIFY(QFile::link(victim, sub + QStringLiteral("/.lumoraExclusion")));
        }
        const auto victimUnchanged = [&] {
            QFile f(victim);
            return !linked || (QFileInfo(sub + QStringLiteral("/.lumoraExclusion")).isSymLink() && f.open(QIODevice::ReadOnly) && f.readAll() == notes);
        };
        m_engine->addCustomFolder(root);
        FileData *r = FileManager::fileDataForPath(root);
        FileData *s = FileManager::fileDataForPath(sub);
        FileData *d = FileManager::fileDataForPath(sub + QStringLiteral("/Deeper"));
        for (FileData *f : {r, s, d}) {
            f->setIsFolder(true);
            f->setNeedsScan(0);
        }
        r->addFlag(FileFlags::ChildrenListed);
        SourcesPreferencesViewController pane;
        QSignalSpy landed(&pane, &SourcesPreferencesViewController::sourcesRefreshed);
        pane.refreshViewForceRefreshUI(true);
        QVERIFY(landed.wait(5000));
        const SourceItem item{QString(), s->fileID()};

        pane.excludedFolderCheckboxHit(item, false);
        QVERIFY(s->excludedFromScan());
        QVERIFY(r->hasFlag(FileFlags::HasExcludedChildren));
        QVERIFY(linked || QFileInfo::exists(s->setDataFilePath()));
        QVERIFY(victimUnchanged());
        QVERIFY(Settings::orderedSetForKey(QStringLiteral("ExcludedFoldersBackup")).contains(sub.toLower()));

        pane.excludedFolderCheckboxHit(item, true);
        QVERIFY(!s->excludedFromScan());
        QVERIFY(!r->hasFlag(FileFlags::HasExcludedChildren));
        QVERIFY(linked || !QFileInfo::exists(s->setDataFilePath())); // nothing left to remember
        QVERIFY(victimUnchanged());
        QCOMPARE(int(s->needsScan()), 1);
        QCOMPARE(int(d->needsScan()), 1); // the whole subtree is scanned again
        QVERIFY(Settings::orderedSetForKey(QStringLiteral("ExcludedFoldersBackup")).isEmpty());
    }
};

QTEST_MAIN(TestSourcesEngine)
#include "tst_sources_engine.moc"
