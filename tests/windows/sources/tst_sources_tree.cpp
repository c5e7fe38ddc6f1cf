#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "support/SourcesPaneFixture.h"
#include "support/ScriptedModalUi.h"
#include "windows/sources/SourcesPreferencesTableCellView.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using Library = SourcesBackend::Library;
using Folder = SourcesBackend::Folder;

class TestSourcesTree : public SourcesPaneFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
        Alerts::setPresenter(&m_alerts);
    }
    void init() { installFreshBackend(); }
    void cleanup() { removeBackend(); }

    void gatheredOrderForEachConfiguration()
    {
        const QString pictures = mk(QStringLiteral("Pictures"));
        const QString desktop = mk(QStringLiteral("Desktop"));
        const QString custom = mk(QStringLiteral("Trips"));
        m_backend->standard[int(Folder::Pictures)] = pictures;
        m_backend->standard[int(Folder::Desktop)] = desktop;
        m_backend->standard[int(Folder::Documents)] = mk(QStringLiteral("Documents"));
        m_backend->addCustomFolder(custom);
        m_backend->addCustomFolder(desktop);
        // iPhoto enabled but not installed: enabled, not listed. Photos installed and enabled.
        m_backend->enabled[int(Library::IPhoto)] = true;
        m_backend->installed[int(Library::OSXPhotos)] = true;
        m_backend->enabled[int(Library::OSXPhotos)] = true;
        m_backend->installed[int(Library::Dropbox)] = true; // installed, not enabled
        const auto g = SourcesPreferencesViewController::gatherSources(m_backend);
        QCOMPARE(g.sources, QStringList({desktop, QStringLiteral("'Photos'"), custom}));
        QVERIFY(g.enabled.contains(QStringLiteral("iPhoto")));
        QVERIFY(g.enabled.contains(custom));
        QVERIFY(!g.enabled.contains(QStringLiteral("Dropbox")));
        // A watched standard folder that is gone from disk is listed with the other folders.
        m_backend->addCustomFolder(pictures);
        QDir(pictures).removeRecursively();
        const auto g2 = SourcesPreferencesViewController::gatherSources(m_backend);
        QCOMPARE(g2.sources.last(), pictures);
    }

    void emptyPaneShowsLabelAndAddingHidesIt()
    {
        SourcesPreferencesViewController pane;
        QVERIFY(waitForRefresh(pane));
        QCOMPARE(pane.model()->rowCount(), 0);
        QVERIFY(!pane.noSourcesLabel()->isHidden());
        QCOMPARE(pane.noSourcesLabel()->text(), QStringLiteral("No sources selected\n\nClick + below to add a source"));
        const QString folder = mk(QStringLiteral("Added"));
        pane.addFolder(folder);
        QCOMPARE(pane.model()->rowCount(), 1);
        QVERIFY(pane.noSourcesLabel()->isHidden());
        QVERIFY(m_backend->log.contains(QStringLiteral("add:") + folder));
        QCOMPARE(m_backend->trackingCount, 1);
    }

    void refreshKeepsTheSelection()
    {
        const QString a = mk(QStringLiteral("A"));
        const QString b = mk(QStringLiteral("B"));
        m_backend->addCustomFolder(a);
        m_backend->addCustomFolder(b);
        SourcesPreferencesViewController pane;
        QVERIFY(waitForRefresh(pane));
        QCOMPARE(pane.model()->rowCount(), 2);
        pane.outlineView()->setCurrentIndex(pane.model()->index(1, 0));
        QCOMPARE(pane.selectedItem().name, b);
        QVERIFY(pane.removeSourceButton()->isEnabled());
        QVERIFY(waitForRefresh(pane));
        QCOMPARE(pane.selectedItem().name, b);
        // Forced, the rows are read again in place: the source stays selected.
        QVERIFY(waitForRefresh(pane, true));
        QCOMPARE(pane.selectedItem().name, b);
        QVERIFY(pane.removeSourceButton()->isEnabled());
    }

    void lateGatherOfAClosedPaneIsDropped()
    {
        m_backend->addCustomFolder(mk(QStringLiteral("Late")));
        auto *pane = new SourcesPreferencesViewController;
        pane->refreshViewForceRefreshUI(true);
        delete pane; // the gather lands after the pane is gone
        QTest::qWait(50);
        QCoreApplication::processEvents();
        QCOMPARE(SourcesPreferencesViewController::mostRecentInstance(), nullptr);
    }

    void childrenRuleFollowsSingleChildChainsAndSorts()
    {
        const QString root = mk(QStringLiteral("Root"));
        const RecordId r = m_backend->addRecord(root, 0, true);
        m_backend->addRecord(root + QStringLiteral("/zeta"), r, true);
        m_backend->addRecord(root + QStringLiteral("/Alpha"), r, true);
        m_backend->addRecord(root + QStringLiteral("/beta"), r, true);
        m_backend->addRecord(root + QStringLiteral("/photo.jpg"), r, false); // files are not rows
        m_backend->addRecord(root + QStringLiteral("/AllPhotosHiddenAlbum"), r, true);
        // A library record whose only child is a plain folder shows that folder in its place.
        const RecordId lib1 = m_backend->addRecord(root + QStringLiteral("/Lib1.photoslibrary"), r, true, RecordFlags::PhotosRoot);
        m_backend->record(lib1).isVirtualFolder = true;
        const RecordId inner = m_backend->addRecord(root + QStringLiteral("/Lib1.photoslibrary/Masters"), lib1, true);
        // A library record with two children is not shown at all.
        const RecordId lib2 = m_backend->addRecord(root + QStringLiteral("/Lib2.photoslibrary"), r, true, RecordFlags::PhotosRoot);
        m_backend->record(lib2).isVirtualFolder = true;
        m_backend->addRecord(root + QStringLiteral("/Lib2.photoslibrary/a"), lib2, true);
        m_backend->addRecord(root + QStringLiteral("/Lib2.photoslibrary/b"), lib2, true);

        const QList<RecordId> kids = SourcesTreeModel::childrenForRecord(r, SourcesTreeModel::Tree::Main);
        QStringList names;
        for (RecordId id : kids)
            names << m_backend->record(id).fileName;
        // Upper-case before lower-case (plain comparison).
        QCOMPARE(names, QStringList({QStringLiteral("Alpha"), QStringLiteral("Masters"), QStringLiteral("beta"), QStringLiteral("zeta")}));
        QVERIFY(kids.contains(inner));
        // The details tree lists files too.
        const QList<RecordId> details = SourcesTreeModel::childrenForRecord(r, SourcesTreeModel::Tree::Details);
        QVERIFY(details.size() > kids.size());
    }

    void expandingInTheViewListsChildrenAndRefusesWhileScanning()
    {
        const QString root = mk(QStringLiteral("Expand"));
        m_backend->addCustomFolder(root);
        const RecordId r = m_backend->addRecord(root, 0, true);
        m_backend->addRecord(root + QStringLiteral("/one"), r, true);
        SourcesPreferencesViewController pane;
        QVERIFY(waitForRefresh(pane));
        const QModelIndex top = pane.model()->index(0, 0);
        QVERIFY(pane.model()->hasChildren(top));
        pane.outlineView()->expand(top);
        QCOMPARE(pane.model()->rowCount(top), 1);
        QCOMPARE(pane.model()->level(pane.model()->index(0, 0, top)), 1);

        pane.outlineView()->collapse(top);
        m_backend->record(r).needsScan = 1;
        m_backend->completedScan = false;
        pane.outlineView()->expand(top);
        QTRY_COMPARE(m_alerts.count(), 1);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Please wait, scanning..."));
        QCOMPARE(m_alerts.last().message,
                 QStringLiteral("Please wait, we're still loading your Lumora collection and scanning your sources."));
        QTRY_VERIFY(!pane.outlineView()->isExpanded(top)); // folded again
    }

    void excludedOrMissingRecordsDoNotExpand()
    {
        const QString root = mk(QStringLiteral("Excl"));
        m_backend->addCustomFolder(root);
        m_backend->addCustomFolder(m_dir.path() + QStringLiteral("/never-scanned"));
        const RecordId r = m_backend->addRecord(root, 0, true);
        m_backend->addRecord(root + QStringLiteral("/x"), r, true);
        m_backend->record(r).excludedFromScan = true;
        SourcesPreferencesViewController pane;
        QVERIFY(waitForRefresh(pane));
        QVERIFY(!pane.model()->hasChildren(pane.model()->index(0, 0)));
        QVERIFY(!pane.model()->hasChildren(pane.model()->index(1, 0)));
        const SourceRowState &row = pane.model()->rowState(pane.model()->index(0, 0));
        QVERIFY(!row.checkboxChecked);     // excluded: unticked
        QVERIFY(row.statusIconName.isEmpty()); // and no status image
    }

    void subtitleTexts()
    {
        RecordState r;
        r.foldersRecursive = 2;
        r.photosRecursive = 12;
        QCOMPARE(SourcesPreferencesTableCellView::statusText(r), QStringLiteral("2 folders, 12 photos"));
        r.foldersRecursive = 1;
        r.photosRecursive = 1;
        QCOMPARE(SourcesPreferencesTableCellView::statusText(r), QStringLiteral("1 folder, 1 photo"));
        r.foldersRecursive = 2;
        r.photosRecursive = 0;
        QCOMPARE(SourcesPreferencesTableCellView::statusText(r), QStringLiteral("2 folders, no photos"));
        r.needsScan = 1;
        QCOMPARE(SourcesPreferencesTableCellView::statusText(r), QStringLiteral("2 folders (Scanning)"));
        r = RecordState();
        r.flags = RecordFlags::IPhotoRoot;
        r.foldersRecursive = 3;
        r.photosRecursive = 120;
        QCOMPARE(SourcesPreferencesTableCellView::statusText(r), QStringLiteral("3 albums, 120 photos"));
        r = RecordState();
        QCOMPARE(SourcesPreferencesTableCellView::statusText(r), QStringLiteral("No photos"));
        r.scanning = true;
        QCOMPARE(SourcesPreferencesTableCellView::statusText(r), QStringLiteral("Scanning..."));
        r.flags = RecordFlags::ICloudLibrary;
        r.foldersRecursive = 5;
        QCOMPARE(SourcesPreferencesTableCellView::statusText(r), QStringLiteral("Library inaccessible, stored in iCloud"));
        QCOMPARE(SourcesPreferencesTableCellView::folderTitle(QStringLiteral("/Volumes/CARD"), true, false, QStringLiteral("Camera")),
                 QStringLiteral("Camera (Disconnected)"));
    }

    void statusIconsAndTurning()
    {
        SourceRowState row;
        RecordState r;
        r.cachedStatus = 4;
        r.scanning = true;
        SourcesPreferencesTableCellView::statusIcon(r, true, &row);
        QCOMPARE(row.statusIconName, QStringLiteral("SourcesIconIdle")); // done while scanning: waiting
        QVERIFY(row.spinning);
        r.scanning = false;
        SourcesPreferencesTableCellView::statusIcon(r, true, &row);
        QCOMPARE(row.statusIconName, QStringLiteral("SourcesIconDone"));
        QVERIFY(!row.spinning);
        r.cachedStatus = 2;
        SourcesPreferencesTableCellView::statusIcon(r, true, &row);
        QVERIFY(row.spinning);
        r.flags = RecordFlags::ICloudLibrary;
        SourcesPreferencesTableCellView::statusIcon(r, true, &row);
        QCOMPARE(row.statusIconName, QStringLiteral("SourcesIconError"));
        QVERIFY(!row.spinning);
        r = RecordState();
        r.cachedStatus = 0; // not computed: nothing now, computed on a later turn
        SourcesPreferencesTableCellView::statusIcon(r, true, &row);
        QVERIFY(row.statusPending);
    }

    void pendingStatusIsComputedOnALaterTurnAndSpinnerRuns()
    {
        const QString root = mk(QStringLiteral("Pending"));
        m_backend->addCustomFolder(root);
        const RecordId r = m_backend->addRecord(root, 0, true);
        m_backend->record(r).cachedStatus = 0;
        m_backend->computedStatus = 2; // working: the icon turns
        SourcesPreferencesViewController pane;
        pane.show();
        QVERIFY(waitForRefresh(pane));
        const QModelIndex top = pane.model()->index(0, 0);
        QVERIFY(pane.model()->rowState(top).statusIconName.isEmpty());
        QTRY_COMPARE(pane.model()->rowState(top).statusIconName, QStringLiteral("SourcesIconWorking"));
        QTRY_VERIFY(pane.isSpinnerRunning());
        m_backend->record(r).cachedStatus = 4;
        m_backend->emitChanged({r});
        pane.model()->rowState(top);
        QTRY_VERIFY(!pane.isSpinnerRunning());
    }

    void windingDownStopsAtTheHalfTurn()
    {
        const QString root = mk(QStringLiteral("Wind"));
        m_backend->addCustomFolder(root);
        const RecordId r = m_backend->addRecord(root, 0, true);
        m_backend->record(r).cachedStatus = 2;
        SourcesPreferencesViewController pane;
        pane.show();
        QVERIFY(waitForRefresh(pane));
        const QModelIndex top = pane.model()->index(0, 0);
        pane.model()->rowState(top);
        QVERIFY(pane.model()->isTurning(top));
        QTRY_VERIFY(pane.isSpinnerRunning());
        pane.stepSpinner(300);
        // Files wait again and nothing scans: the icon finishes its turn first.
        m_backend->record(r).cachedStatus = 1;
        m_backend->emitChanged({r});
        QCOMPARE(pane.model()->rowState(top).statusIconName, QStringLiteral("SourcesIconIdle"));
        QVERIFY(pane.model()->isTurning(top));
        pane.stepSpinner(250);
        QVERIFY(pane.model()->isTurning(top));
        pane.stepSpinner(170); // past the half turn
        QVERIFY(!pane.model()->isTurning(top));
        QTRY_VERIFY(!pane.isSpinnerRunning());
        // Done stops at once.
        m_backend->record(r).cachedStatus = 2;
        m_backend->emitChanged({r});
        pane.model()->rowState(top);
        QVERIFY(pane.model()->isTurning(top));
        m_backend->record(r).cachedStatus = 4;
        m_backend->emitChanged({r});
        pane.model()->rowState(top);
        QVERIFY(!pane.model()->isTurning(top));
    }

    void recordShownTwiceRefreshesBoth()
    {
        const QString a = mk(QStringLiteral("Two"));
        const QString b = mk(QStringLiteral("Two/Inner"));
        m_backend->addCustomFolder(a);
        m_backend->addCustomFolder(b);
        const RecordId ra = m_backend->addRecord(a, 0, true);
        const RecordId rb = m_backend->addRecord(b, ra, true);
        SourcesPreferencesViewController pane;
        QVERIFY(waitForRefresh(pane));
        pane.outlineView()->expand(pane.model()->index(0, 0));
        for (int i = 0; i < 2; ++i)
            pane.model()->rowState(pane.model()->index(i, 0));
        pane.model()->rowState(pane.model()->index(0, 0, pane.model()->index(0, 0)));
        QCOMPARE(pane.model()->indexesForRecord(rb).size(), 2);
        QSignalSpy changed(pane.model(), &QAbstractItemModel::dataChanged);
        m_backend->record(rb).photosRecursive = 3;
        m_backend->emitChanged({rb});
        QCOMPARE(changed.count(), 2);
        for (const QModelIndex &index : pane.model()->indexesForRecord(rb))
            QCOMPARE(pane.model()->rowState(index).subtitle, QStringLiteral("3 photos"));
    }

    void itemMappingAndPaths()
    {
        const QString photos = mk(QStringLiteral("Photos Library.photoslibrary/database/photos.db"));
        m_backend->libraryDirs[int(Library::OSXPhotos)] = photos;
        const RecordId lib = m_backend->addRecord(photos, 0, true, RecordFlags::PhotosRoot);
        SourcesPreferencesViewController pane;
        QCOMPARE(pane.fileDataForItem(SourceItem{QStringLiteral("'Photos'"), 0}), lib);
        m_backend->lastPaths[int(Library::OSXPhotos)] = QStringLiteral("/nowhere");
        QCOMPARE(pane.fileDataForItem(SourceItem{QStringLiteral("'Photos'"), 0}), RecordId(0));
        QCOMPARE(pane.fileDataForItem(SourceItem{QStringLiteral("iCloud Library"), 0}), RecordId(0));
        QCOMPARE(pane.fileDataForItem(SourceItem{QString(), 42}), RecordId(42));
        Settings::setObject(QStringLiteral("/dbx"), QStringLiteral("DropboxDirectory"));
        QCOMPARE(SourcesPreferencesViewController::pathForItemWithName(QStringLiteral("Dropbox")), QStringLiteral("/dbx"));
        m_backend->standard[int(Folder::Home)] = QStringLiteral("/home/Pat");
        QCOMPARE(SourcesPreferencesViewController::pathCondensingUserFolder(QStringLiteral("/HOME/pat/Pictures")), QStringLiteral("~/Pictures"));
        QCOMPARE(SourcesPreferencesViewController::pathCondensingUserFolder(QStringLiteral("/srv/x")), QStringLiteral("/srv/x"));
    }

    void activationMakesThePaneCurrentAndStatusFollowsOnlyWhenShown()
    {
        SourcesPreferencesViewController first;
        SourcesPreferencesViewController second;
        QVERIFY(waitForRefresh(second));
        QCOMPARE(SourcesPreferencesViewController::mostRecentInstance(), &second);
        QSignalSpy landed(&first, &SourcesPreferencesViewController::sourcesRefreshed);
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&first, &activate);
        QCOMPARE(SourcesPreferencesViewController::mostRecentInstance(), &first);
        QVERIFY(landed.wait(5000));

        // A status report while the pane is hidden changes nothing; shown, the line follows.
        m_backend->line1 = QStringLiteral("Uploading");
        NotificationCenter::post(Notifications::StatusUpdated);
        QTest::qWait(20);
        QVERIFY(first.statusLabel()->text().isEmpty());
        first.show();
        NotificationCenter::post(Notifications::StatusUpdated);
        QTRY_COMPARE(first.statusLabel()->text(), QStringLiteral("Uploading"));
    }

    void addPathWithoutAPaneStillAddsOnce()
    {
        const QString folder = mk(QStringLiteral("FromDevice"));
        SourcesPreferencesViewController::addPath(folder);
        SourcesPreferencesViewController::addPath(folder.toUpper() == folder ? folder : folder); // same path again
        m_backend->addCustomFolder(QStringLiteral("/x/Y"));
        const int before = m_backend->log.size();
        SourcesPreferencesViewController::addPath(QStringLiteral("/x/y")); // missing on disk: ignored
        SourcesPreferencesViewController::addPath(QString());
        QCOMPARE(m_backend->log.size(), before);
        QCOMPARE(m_backend->customFolders().count(folder), 1);
        SourcesPreferencesViewController::refreshView(); // no pane: nothing happens
    }
};

QTEST_MAIN(TestSourcesTree)
#include "tst_sources_tree.moc"
