// The Upload pane over the real catalogue while the real scanner works on a generated tree: rows
// that stay put through the scanner's reports, true counts and texts, unplugged devices, the
// details window, and what a crash right after an exclusion leaves behind.
#include "catalogue/CatalogueTestSupport.h"
#include "catalogue/FileData.h"
#include "core/PropertyList.h"
#include "platform/DeviceDetection.h"
#include "support/PermissionsHold.h"
#include "support/ScriptedModalUi.h"
#include "sync/SyncTestEngine.h"
#include "windows/preferences/PreferencesPane.h"
#include "windows/sources/NSKeyboardSupportOutlineView.h"
#include "windows/sources/SourcesBackend.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QApplication>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace CatalogueTest;

namespace {
constexpr int kScanWait = 30000;
const QString kAccount = QStringLiteral("acct-1");
const char *kCrashChildVar = "HOISTLY_PANE_CRASH_CHILD";

bool gather(SourcesPreferencesViewController &pane, bool force = true)
{
    QSignalSpy landed(&pane, &SourcesPreferencesViewController::sourcesRefreshed);
    pane.refreshViewForceRefreshUI(force);
    return landed.wait(5000);
}

// The row below `parent` that shows the record of this path.
QModelIndex rowFor(SourcesTreeModel *model, const QModelIndex &parent, const QString &path)
{
    const RecordId id = FileManager::fileDataForPath(path, 0, false) ? FileManager::fileDataForPath(path, 0, false)->fileID() : 0;
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        if (model->itemAt(index).record == id)
            return index;
    }
    return QModelIndex();
}

QTreeWidgetItem *detailsRow(QTreeWidget *tree, const QString &name)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->text(0) == name)
            return *it;
    }
    return nullptr;
}
} // namespace

class TestSourcesLive : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_base;
    SourcesBackend *m_engine = nullptr;
    ScriptedAlerts m_alerts;

    QString p(const QString &rel) const { return m_base + QLatin1Char('/') + rel; }
    FileData *rec(const QString &rel) const { return FileManager::fileDataForPath(p(rel), 0, false); }
    bool photo(const QString &rel, quint32 seed) { return writeFile(p(rel), makeJpeg(4000, seed).bytes); }
    void scanAndWait()
    {
        FileManager::run();
        QVERIFY(FileManager::waitUntilIdle(kScanWait));
        FileDataChangeCenter::instance()->flush();
    }
    // A folder of the test area made a source, and scanned.
    void addSource(const QString &rel)
    {
        FileManager::addCustomFolder(p(rel));
        scanAndWait();
    }

private Q_SLOTS:
    void initTestCase()
    {
        isolateHomeAndEnterTestMode();
        // The scanner ends each pass with a refresh of the pane, as in the application.
        PreferencesPane::installUiHooks();
        m_base = QFileInfo(m_dir.path()).canonicalFilePath();
        Alerts::setPresenter(&m_alerts);
    }
    void init()
    {
        freshCatalogue();
        CatalogueHooks::instance().signedInAccountId = [] { return kAccount; };
        m_alerts.requests.clear();
        m_alerts.answers.clear();
        // The engine's backend, afresh: its count cache belongs to one catalogue.
        m_engine = SourcesBackend::makeDefault();
        SourcesBackend::setInstance(m_engine);
    }
    void cleanup()
    {
        FileManager::waitUntilIdle(kScanWait);
        SourcesBackend::setInstance(nullptr);
        delete m_engine;
        m_engine = nullptr;
        DeviceDetection::setSystemPathsForTesting(QString(), QString());
        QDir(m_base).removeRecursively();
        QDir().mkpath(m_base);
    }
    void cleanupTestCase() { freshCatalogue(); }

    // The details window names each file's state from the codes the scanner and the service
    // mirror write, not from another numbering.
    void detailsTextsFollowTheCataloguesCodes()
    {
        QVERIFY(photo(QStringLiteral("Codes/new.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Codes/known.jpg"), 2));
        QVERIFY(photo(QStringLiteral("Codes/failing.jpg"), 3));
        QVERIFY(writeFile(p(QStringLiteral("Codes/fake.jpg")), QByteArray("no photo at all ").repeated(200)));
        QVERIFY(writeFile(p(QStringLiteral("Codes/tiny.jpg")), makeJpeg(1000, 5).bytes));
        // The service mirror finds known.jpg on the service, as it does from its index.
        CatalogueHooks::instance().matchDeDupForFile = [](FileData *r) {
            if (r->fileName() != QLatin1String("known.jpg"))
                return false;
            r->setNeedsUpload(NeedsUpload::AlreadyOnService);
            r->setUploadedRemoteId(4242);
            return true;
        };
        addSource(QStringLiteral("Codes"));
        QCOMPARE(rec(QStringLiteral("Codes/fake.jpg"))->needsUpload(), NeedsUpload::UnsupportedFormat);
        QCOMPARE(rec(QStringLiteral("Codes/known.jpg"))->needsUpload(), NeedsUpload::AlreadyOnService);
        // The uploader gives up on a file after three failures.
        rec(QStringLiteral("Codes/failing.jpg"))->setNeedsUpload(NeedsUpload::FailedThreeTimes);

        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        pane.showDetailsViewForItem(SourceItem{p(QStringLiteral("Codes")), 0});
        QTreeWidget *tree = pane.detailsOutlineView();
        QCOMPARE(tree->topLevelItemCount(), 5);
        QCOMPARE(detailsRow(tree, QStringLiteral("new.jpg"))->text(1), QStringLiteral("Queued for upload"));
        QCOMPARE(detailsRow(tree, QStringLiteral("known.jpg"))->text(1), QStringLiteral("Previously uploaded"));
        QCOMPARE(detailsRow(tree, QStringLiteral("fake.jpg"))->text(1), QStringLiteral("File type not yet supported"));
        QCOMPARE(detailsRow(tree, QStringLiteral("tiny.jpg"))->text(1), QStringLiteral("File too small, or unable to read"));
        QCOMPARE(detailsRow(tree, QStringLiteral("failing.jpg"))->text(1),
                 QStringLiteral("Upload failed. (Too many tries, not trying again.) Please try using Lumora web uploader."));
        pane.detailsWindow()->close();
    }

    // Names that are not valid UTF-8 cannot be backed up; the details window lists them under
    // their folder with what to do, and the folders above them count them, so the user can find
    // what the status line says was left out. A linked folder is listed with its own reason.
    void namesThatCannotBeBackedUpAreListedWithAReason()
    {
        auto writeRaw = [](const QByteArray &path, const QByteArray &bytes) {
            FILE *f = std::fopen(path.constData(), "wb");
            if (!f)
                return false;
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
            return std::fclose(f) == 0;
        };
        const QByteArray latin = QFile::encodeName(p(QStringLiteral("Latin")));
        QVERIFY(photo(QStringLiteral("Latin/plain.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Latin/Trip/good.jpg"), 2));
        QVERIFY(writeRaw(latin + "/caf\xe9.jpg", makeJpeg(4000, 3).bytes));
        QVERIFY(writeRaw(latin + "/Trip/s\xe9jour.jpg", makeJpeg(4000, 4).bytes));
        QVERIFY(::mkdir((latin + "/\xe9t\xe9").constData(), 0700) == 0);
        QVERIFY(QDir().mkpath(p(QStringLiteral("Linked"))) && QFile::link(p(QStringLiteral("Linked")), p(QStringLiteral("Latin/link"))));
        // The folder removal of cleanup() cannot reach these names: they go by their bytes.
        auto removeRaw = qScopeGuard([latin] {
            ::unlink((latin + "/caf\xe9.jpg").constData());
            ::unlink((latin + "/Trip/s\xe9jour.jpg").constData());
            ::rmdir((latin + "/\xe9t\xe9").constData());
        });
        addSource(QStringLiteral("Latin"));
        QCOMPARE(rec(QStringLiteral("Latin/plain.jpg"))->needsUpload(), NeedsUpload::Waiting);

        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        // Every photo that can be is on the service: the source still tells what is left out.
        for (const QString &sent : {QStringLiteral("Latin/plain.jpg"), QStringLiteral("Latin/Trip/good.jpg")}) {
            rec(sent)->setUploadedRemoteId(77);
            rec(sent)->setNeedsUpload(NeedsUpload::Uploaded);
        }
        FileDataChangeCenter::instance()->flush();
        QTRY_COMPARE(pane.model()->rowState(pane.model()->index(0, 0)).statusIconName, QStringLiteral("SourcesIconError"));
        pane.showDetailsViewForItem(SourceItem{p(QStringLiteral("Latin")), 0});
        QTreeWidget *tree = pane.detailsOutlineView();
        const QString fileReason = QStringLiteral("Name is not valid UTF-8; rename the file to back it up");
        QCOMPARE(tree->topLevelItemCount(), 5);
        QStringList names;
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            names << tree->topLevelItem(i)->text(0);
        // Among their neighbours, by name.
        QCOMPARE(names, (QStringList{QStringLiteral("Trip"), QStringLiteral("caf\uFFFD.jpg"), QStringLiteral("link"),
                                     QStringLiteral("plain.jpg"), QStringLiteral("\uFFFDt\uFFFD")}));
        QCOMPARE(detailsRow(tree, QStringLiteral("link"))->text(1), QStringLiteral("Linked folder, not followed; add the folder it leads to"));
        QCOMPARE(detailsRow(tree, QStringLiteral("caf\uFFFD.jpg"))->text(1), fileReason);
        QCOMPARE(detailsRow(tree, QStringLiteral("\uFFFDt\uFFFD"))->text(1),
                 QStringLiteral("Name is not valid UTF-8; rename the folder to back it up"));
        QCOMPARE(detailsRow(tree, QStringLiteral("plain.jpg"))->text(1), QStringLiteral("Uploaded successfully"));
        QTreeWidgetItem *trip = detailsRow(tree, QStringLiteral("Trip"));
        QCOMPARE(trip->text(1), QStringLiteral("1 photo, 1 file could not be backed up"));
        trip->setExpanded(true);
        QCOMPARE(trip->childCount(), 2);
        QCOMPARE(trip->child(0)->text(0), QStringLiteral("good.jpg"));
        QCOMPARE(trip->child(1)->text(0), QStringLiteral("s\uFFFDjour.jpg"));
        QCOMPARE(trip->child(1)->text(1), fileReason);

        // Renamed and scanned again, the photo is an ordinary row and no longer counted.
        QVERIFY(::rename((latin + "/Trip/s\xe9jour.jpg").constData(), (latin + "/Trip/sejour.jpg").constData()) == 0);
        QVERIFY(settleFile(p(QStringLiteral("Latin/Trip/sejour.jpg")))); // written whole: not waited for
        FileManager::setFile(rec(QStringLiteral("Latin/Trip")), NeedsScan::Pending, false);
        scanAndWait();
        pane.reloadDetailsView();
        // The rows are listed again whenever the engine reports the folder: looked up afresh.
        auto status = [tree](const QString &name) {
            QTreeWidgetItem *row = detailsRow(tree, name);
            return row ? row->text(1) : QString();
        };
        QTRY_COMPARE(status(QStringLiteral("Trip")), QStringLiteral("2 photos"));
        trip = detailsRow(tree, QStringLiteral("Trip"));
        trip->setExpanded(true);
        QCOMPARE(trip->child(1)->text(0), QStringLiteral("sejour.jpg"));
        QVERIFY(trip->child(1)->text(1) != fileReason);
        pane.detailsWindow()->close();
    }

    // While the scanner reports new and changed folders, an open and selected subfolder stays
    // open and selected, and so do the folders above it.
    void reportsKeepOpenAndSelectedRows()
    {
        QVERIFY(photo(QStringLiteral("Live/A/x/1.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Live/A/y/2.jpg"), 2));
        QVERIFY(photo(QStringLiteral("Live/B/3.jpg"), 3));
        addSource(QStringLiteral("Live"));

        SourcesPreferencesViewController pane;
        pane.resize(640, 480);
        pane.show();
        QVERIFY(gather(pane));
        SourcesTreeModel *model = pane.model();
        NSKeyboardSupportOutlineView *view = pane.outlineView();
        const QModelIndex top = model->index(0, 0);
        view->expand(top);
        QCOMPARE(model->rowCount(top), 2);
        const QPersistentModelIndex a = rowFor(model, top, p(QStringLiteral("Live/A")));
        QVERIFY(a.isValid());
        view->expand(a);
        QCOMPARE(model->rowCount(a), 2);
        view->setCurrentIndex(a);
        const SourceItem selected = model->itemAt(a);
        QCOMPARE(pane.selectedItem(), selected);
        QVERIFY(!pane.removeSourceButton()->isEnabled());

        // After every report the pane has handled: still open, still selected.
        int reports = 0;
        QStringList broken;
        connect(m_engine, &SourcesBackend::childrenChanged, this, [&](const QSet<RecordId> &) {
            ++reports;
            if (!view->isExpanded(top) || !a.isValid() || !view->isExpanded(a))
                broken << QStringLiteral("collapsed at report %1").arg(reports);
            if (!(pane.selectedItem() == selected))
                broken << QStringLiteral("selection moved at report %1").arg(reports);
            if (pane.removeSourceButton()->isEnabled())
                broken << QStringLiteral("source removal offered at report %1").arg(reports);
        });
        QVERIFY(photo(QStringLiteral("Live/A/z/4.jpg"), 4));
        QVERIFY(photo(QStringLiteral("Live/A/w/5.jpg"), 5));
        QVERIFY(photo(QStringLiteral("Live/A/x/deeper/6.jpg"), 6));
        QVERIFY(photo(QStringLiteral("Live/C/7.jpg"), 7));
        FileManager::setFile(rec(QStringLiteral("Live")), NeedsScan::Pending, true);
        FileManager::run();
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(a), 4, kScanWait);
        QVERIFY(FileManager::waitUntilIdle(kScanWait));
        FileDataChangeCenter::instance()->flush();
        QVERIFY(reports > 0);
        QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QStringLiteral("; "))));
        QCOMPARE(model->rowCount(top), 3);
        QVERIFY(view->isExpanded(a));
        QCOMPARE(pane.selectedItem(), selected);
        // The new folders are in their places by name.
        QStringList names;
        for (int row = 0; row < model->rowCount(a); ++row)
            names << model->rowState(model->index(row, 0, a)).title;
        QCOMPARE(names, QStringList({QStringLiteral("w"), QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z")}));
        // A folder that gained a subfolder now opens.
        QVERIFY(model->hasChildren(rowFor(model, a, p(QStringLiteral("Live/A/x")))));
    }

    // A tick either way and a refresh leave the open folders open, the selected row selected and
    // the list where it was.
    void userChangesKeepTheTreeAsItWas_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("untick") << QStringLiteral("untick");
        QTest::newRow("tick") << QStringLiteral("tick");
        QTest::newRow("refresh") << QStringLiteral("refresh");
    }
    void userChangesKeepTheTreeAsItWas()
    {
        QFETCH(QString, change);
        QVERIFY(photo(QStringLiteral("Keep/A/a1/1.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Keep/A/a2/2.jpg"), 2));
        for (int i = 0; i < 24; ++i)
            QVERIFY(photo(QStringLiteral("Keep/F%1/x.jpg").arg(i, 2, 10, QLatin1Char('0')), quint32(10 + i)));
        addSource(QStringLiteral("Keep"));
        const SourceItem ticked{QString(), rec(QStringLiteral("Keep/F20"))->fileID()};

        SourcesPreferencesViewController pane;
        pane.resize(420, 320);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        QVERIFY(gather(pane));
        if (change == QLatin1String("tick")) {
            pane.excludedFolderCheckboxHit(ticked, false);
            scanAndWait();
        }
        SourcesTreeModel *model = pane.model();
        NSKeyboardSupportOutlineView *view = pane.outlineView();
        view->expand(model->index(0, 0));
        const QModelIndex a = rowFor(model, model->index(0, 0), p(QStringLiteral("Keep/A")));
        view->expand(a);
        view->setCurrentIndex(rowFor(model, a, p(QStringLiteral("Keep/A/a1"))));
        const SourceItem selected = pane.selectedItem();
        QVERIFY(view->verticalScrollBar()->maximum() > 100);
        view->verticalScrollBar()->setValue(90);

        QSignalSpy refreshed(&pane, &SourcesPreferencesViewController::sourcesRefreshed);
        if (change == QLatin1String("untick") || change == QLatin1String("tick")) {
            pane.excludedFolderCheckboxHit(ticked, change == QLatin1String("tick"));
            scanAndWait();
        } else {
            SourcesPreferencesViewController::refreshView();
        }
        // The scanner's pass ends with a refresh of the pane (as after adding a folder).
        QTRY_VERIFY_WITH_TIMEOUT(!refreshed.isEmpty(), kScanWait);
        const QModelIndex top = model->index(0, 0);
        QVERIFY(view->isExpanded(top));
        QVERIFY(view->isExpanded(rowFor(model, top, p(QStringLiteral("Keep/A")))));
        QCOMPARE(pane.selectedItem(), selected);
        QCOMPARE(view->verticalScrollBar()->value(), 90);
        QCOMPARE(model->rowState(rowFor(model, top, p(QStringLiteral("Keep/F20")))).checkboxChecked, change != QLatin1String("untick"));
    }

    // A report about a folder of 10,000 shown folders inserts the one new row; the folder stays
    // open and the selected row stays selected.
    void tenThousandOpenRowsStayOpenThroughAReport()
    {
        const QString root = p(QStringLiteral("Many"));
        QDir().mkpath(root + QStringLiteral("/Big"));
        DataStore *store = DataStore::instance();
        store->createFileData(root, true, FileFlags::ChildrenListed);
        FileData *big = store->createFileData(root + QStringLiteral("/Big"), true, FileFlags::ChildrenListed);
        for (int i = 0; i < 10000; ++i)
            store->createFileData(root + QStringLiteral("/Big/f%1").arg(i, 5, 10, QLatin1Char('0')), true);
        for (FileData *f : store->allFileData())
            f->setNeedsScan(NeedsScan::Done);
        FileDataChangeCenter::instance()->flush();
        Settings::setObject(QStringList{root}, QStringLiteral("ImportCustomFolders"));

        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        SourcesTreeModel *model = pane.model();
        NSKeyboardSupportOutlineView *view = pane.outlineView();
        const QModelIndex top = model->index(0, 0);
        view->expand(top);
        const QPersistentModelIndex bigRow = model->index(0, 0, top);
        view->expand(bigRow);
        QCOMPARE(model->rowCount(bigRow), 10000);
        const QPersistentModelIndex chosen = model->index(5000, 0, bigRow);
        view->setCurrentIndex(chosen);
        const SourceItem selected = model->itemAt(chosen);

        QSignalSpy removed(model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy reset(model, &QAbstractItemModel::modelReset);
        store->createFileData(root + QStringLiteral("/Big/f04999x"), true);
        big->notifyChildrenChanged();
        big->notifyParentsOfChildrenChanged();
        FileDataChangeCenter::instance()->flush();
        QCOMPARE(model->rowCount(bigRow), 10001);
        QVERIFY(view->isExpanded(bigRow));
        QVERIFY(chosen.isValid());
        QCOMPARE(chosen.row(), 5001); // moved down by the row inserted before it
        QCOMPARE(pane.selectedItem(), selected);
        QCOMPARE(removed.count(), 0);
        QCOMPARE(reset.count(), 0);
        auto shown = [&] {
            QList<RecordId> ids;
            for (int row = 0; row < model->rowCount(bigRow); ++row)
                ids << model->itemAt(model->index(row, 0, bigRow)).record;
            return ids;
        };
        QCOMPARE(shown(), SourcesTreeModel::childrenForRecord(big->fileID(), SourcesTreeModel::Tree::Main));

        // A folder deleted from the catalogue takes only its own row.
        store->deleteFileData(FileManager::fileDataForPath(root + QStringLiteral("/Big/f00010"), 0, false));
        big->notifyChildrenChanged();
        FileDataChangeCenter::instance()->flush();
        QCOMPARE(model->rowCount(bigRow), 10000);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(chosen.row(), 5000);
        QCOMPARE(pane.selectedItem(), selected);
        QVERIFY(view->isExpanded(bigRow));
        QCOMPARE(shown(), SourcesTreeModel::childrenForRecord(big->fileID(), SourcesTreeModel::Tree::Main));
    }

    // A new source's counts, in the pane and in the onboarding list, are true within a second of
    // the scan's last report, whatever was counted while the scan ran.
    void countsAreTrueWithinASecondOfTheScan()
    {
        QVERIFY(photo(QStringLiteral("Fresh/a.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Fresh/b.jpg"), 2));
        QVERIFY(photo(QStringLiteral("Fresh/S1/c.jpg"), 3));
        QVERIFY(photo(QStringLiteral("Fresh/S2/d.jpg"), 4));
        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return false; }; // held back
        FileManager::addCustomFolder(p(QStringLiteral("Fresh")));
        SourcesPreferencesViewController pane;
        SourcesPreferencesViewController *welcome = SourcesPreferencesViewController::initAsWelcomeScreenControl();
        QVERIFY(gather(pane));
        QVERIFY(gather(*welcome));
        // Every change report is followed by a read of the row, as painting would.
        int reads = 0;
        auto read = [&] {
            for (SourcesPreferencesViewController *each : {&pane, welcome}) {
                each->model()->rowState(each->model()->index(0, 0));
                ++reads;
            }
        };
        read();
        connect(m_engine, &SourcesBackend::recordsChanged, this, read);
        connect(m_engine, &SourcesBackend::childrenChanged, this, read);
        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return true; };
        scanAndWait();
        // The scan's reports are batched and may land just after the scan goes idle.
        QTRY_VERIFY_WITH_TIMEOUT(reads > 2, 5000);
        const QString truth = QStringLiteral("2 folders, 4 photos");
        QTRY_COMPARE_WITH_TIMEOUT(pane.model()->rowState(pane.model()->index(0, 0)).subtitle, truth, 1000);
        QTRY_COMPARE_WITH_TIMEOUT(welcome->model()->rowState(welcome->model()->index(0, 0)).subtitle, truth, 1000);
        delete welcome;
    }

    // The photos of a folder left out are not counted in the folders above it.
    void excludedFolderIsNotCountedAbove()
    {
        QVERIFY(photo(QStringLiteral("Count/Kept/1.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Count/Out/2.jpg"), 2));
        QVERIFY(photo(QStringLiteral("Count/Out/Deeper/3.jpg"), 3));
        addSource(QStringLiteral("Count"));
        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        const QModelIndex top = pane.model()->index(0, 0);
        QCOMPARE(pane.model()->rowState(top).subtitle, QStringLiteral("3 folders, 3 photos"));
        pane.excludedFolderCheckboxHit(SourceItem{QString(), rec(QStringLiteral("Count/Out"))->fileID()}, false);
        FileDataChangeCenter::instance()->flush();
        QTRY_COMPARE(pane.model()->rowState(top).subtitle, QStringLiteral("2 folders, 1 photo"));
    }

    // Folders of photos alone have no child rows in the main tree, so they show no arrow.
    void onlyFoldersWithSubfoldersOpen()
    {
        QVERIFY(photo(QStringLiteral("Arrows/Trip/1.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Arrows/Trip/2.jpg"), 2));
        QVERIFY(photo(QStringLiteral("Arrows/Nested/Inner/3.jpg"), 3));
        addSource(QStringLiteral("Arrows"));
        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        SourcesTreeModel *model = pane.model();
        const QModelIndex top = model->index(0, 0);
        QVERIFY(model->hasChildren(top));
        pane.outlineView()->expand(top);
        const QModelIndex trip = rowFor(model, top, p(QStringLiteral("Arrows/Trip")));
        const QModelIndex nested = rowFor(model, top, p(QStringLiteral("Arrows/Nested")));
        QVERIFY(trip.isValid() && nested.isValid());
        QVERIFY(!model->hasChildren(trip));
        QVERIFY(model->hasChildren(nested));
        pane.outlineView()->expand(nested);
        QCOMPARE(model->rowCount(nested), 1);
        QCOMPARE(model->rowState(model->index(0, 0, nested)).title, QStringLiteral("Inner"));
    }

    // The details window: it selects the source it shows, explains a folder still waiting for
    // its scan, and its Refresh keeps the open folders open.
    void detailsWindowFollowsSelectionScanAndRefresh()
    {
        QVERIFY(photo(QStringLiteral("One/Sub/1.jpg"), 1));
        QVERIFY(photo(QStringLiteral("One/Later/2.jpg"), 2));
        QVERIFY(photo(QStringLiteral("Two/3.jpg"), 3));
        FileManager::addCustomFolder(p(QStringLiteral("One")));
        addSource(QStringLiteral("Two"));
        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        SourcesTreeModel *model = pane.model();
        pane.outlineView()->setCurrentIndex(model->index(0, 0));
        QCOMPARE(pane.selectedItem(), (SourceItem{p(QStringLiteral("One")), 0}));
        pane.showDetailsViewForItem(SourceItem{p(QStringLiteral("Two")), 0});
        QCOMPARE(pane.selectedItem(), (SourceItem{p(QStringLiteral("Two")), 0}));
        QCOMPARE(pane.detailsViewFile(), rec(QStringLiteral("Two"))->fileID());

        pane.showDetailsViewForItem(SourceItem{p(QStringLiteral("One")), 0});
        QTreeWidget *tree = pane.detailsOutlineView();
        // A rescan is queued for Later but the scanner is held back: it cannot be listed yet.
        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return false; };
        FileManager::setFile(rec(QStringLiteral("One/Later")), NeedsScan::Pending, false);
        QTreeWidgetItem *later = detailsRow(tree, QStringLiteral("Later"));
        QVERIFY(later);
        later->setExpanded(true);
        QTRY_COMPARE(m_alerts.count(), 1);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Please wait, scanning..."));
        QVERIFY(!later->isExpanded());
        QCOMPARE(later->childCount(), 0);

        QTreeWidgetItem *sub = detailsRow(tree, QStringLiteral("Sub"));
        sub->setExpanded(true);
        QCOMPARE(sub->childCount(), 1);
        QPushButton *refresh = nullptr;
        for (QPushButton *button : pane.detailsWindow()->findChildren<QPushButton *>()) {
            if (button->property("tag").toInt() == 880)
                refresh = button;
        }
        QVERIFY(refresh);
        refresh->click();
        sub = detailsRow(tree, QStringLiteral("Sub"));
        QVERIFY(sub);
        QVERIFY(sub->isExpanded());
        QCOMPARE(sub->child(0)->text(0), QStringLiteral("1.jpg"));
        pane.detailsWindow()->close();
    }

    // A selected row is one colour, under its arrow as over the rest of the row.
    void selectionIsDrawnInOneColour()
    {
        QVERIFY(photo(QStringLiteral("Blue/Sub/Deeper/1.jpg"), 1));
        addSource(QStringLiteral("Blue"));
        SourcesPreferencesViewController pane;
        pane.resize(640, 480);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        QVERIFY(gather(pane));
        NSKeyboardSupportOutlineView *view = pane.outlineView();
        const QModelIndex top = pane.model()->index(0, 0);
        view->expand(top);
        const QModelIndex sub = pane.model()->index(0, 0, top);
        QVERIFY(pane.model()->hasChildren(sub));
        view->setCurrentIndex(sub);
        const QRect row = view->visualRect(sub);
        QVERIFY(row.left() > 10); // the arrow's column lies left of it
        const QImage image = view->viewport()->grab().toImage();
        const QColor underArrow = image.pixelColor(2, row.top() + 1);
        const QColor overRow = image.pixelColor(row.left() + 40, row.top() + 1);
        QCOMPARE(overRow.name(), NSKeyboardSupportOutlineView::selectionColor(view->palette()).name());
        QCOMPARE(underArrow.name(), overRow.name());
    }

    // The onboarding window's own list becomes the pane the entry points act on when its window
    // is activated, like the preferences window's.
    void activatedWindowsPaneIsTheMostRecent()
    {
        QVERIFY(photo(QStringLiteral("Recent/1.jpg"), 1));
        FileManager::addCustomFolder(p(QStringLiteral("Recent")));
        QWidget preferences;
        auto *pane = new SourcesPreferencesViewController(&preferences);
        (new QVBoxLayout(&preferences))->addWidget(pane);
        QWidget onboarding;
        SourcesPreferencesViewController *list = SourcesPreferencesViewController::initAsWelcomeScreenControl(&onboarding);
        (new QVBoxLayout(&onboarding))->addWidget(list);
        preferences.show();
        onboarding.show();
        QVERIFY(QTest::qWaitForWindowExposed(&onboarding));
        QApplication::setActiveWindow(&preferences);
        QTRY_COMPARE(SourcesPreferencesViewController::mostRecentInstance(), pane);
        QApplication::setActiveWindow(&onboarding);
        QTRY_COMPARE(SourcesPreferencesViewController::mostRecentInstance(), list);
        // Its refresh on activation lists the sources.
        QTRY_COMPARE(list->sources(), QStringList({p(QStringLiteral("Recent"))}));
    }

    // The system's view of one removable disk mounted on media/CARD, holding DCIM/100/1.jpg (a
    // fake mount table and device tree: no disk can be plugged in here).
    void plugCard()
    {
        const QString sys = p(QStringLiteral("sys"));
        QVERIFY(QDir().mkpath(sys + QStringLiteral("/class/block/sdz")));
        QVERIFY(writeFile(sys + QStringLiteral("/class/block/sdz/removable"), "1\n"));
        QVERIFY(writeFile(p(QStringLiteral("mountinfo")),
                          QFile::encodeName(QStringLiteral("36 35 8:0 / %1 rw,noatime shared:1 - vfat /dev/sdz rw\n").arg(p(QStringLiteral("media/CARD"))))));
        QVERIFY(writeFile(p(QStringLiteral("mountinfo-empty")), QByteArray("22 1 0:5 / / rw shared:1 - ext4 /dev/root rw\n")));
        DeviceDetection::setSystemPathsForTesting(p(QStringLiteral("mountinfo")), sys);
        QVERIFY(photo(QStringLiteral("media/CARD/DCIM/100/1.jpg"), 1));
    }

    // A card added from the device notification while no window was open reads as the card,
    // disconnected, once it is pulled: the pane never saw it plugged in.
    void cardAddedWithoutAPaneIsShownDisconnected()
    {
        plugCard();
        QVERIFY(!SourcesPreferencesViewController::mostRecentInstance());
        SourcesPreferencesViewController::addPath(p(QStringLiteral("media/CARD/DCIM")));
        scanAndWait();
        QVERIFY(QDir().rename(p(QStringLiteral("media/CARD")), p(QStringLiteral("pulled"))));
        DeviceDetection::setSystemPathsForTesting(p(QStringLiteral("mountinfo-empty")), p(QStringLiteral("sys")));
        FileManager::setFile(rec(QStringLiteral("media/CARD/DCIM")), NeedsScan::Pending, false);
        scanAndWait();
        Settings::reloadForTesting(); // and after a restart
        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        QCOMPARE(pane.model()->rowState(pane.model()->index(0, 0)).title, QStringLiteral("CARD (Disconnected)"));
    }

    // A memory card's folder is named by the card, shows " (Disconnected)" once the card is
    // pulled (the scanner finds the source unreachable), also in a pane opened later, and the
    // rows read the mount table once per refresh, not per row.
    void unpluggedCardIsShownDisconnected()
    {
        const QString sys = p(QStringLiteral("sys"));
        const QString mount = p(QStringLiteral("media/CARD"));
        const QString mounted = p(QStringLiteral("mountinfo"));
        const QString unmounted = p(QStringLiteral("mountinfo-empty"));
        plugCard();
        const QString source = mount + QStringLiteral("/DCIM");
        FileManager::addCustomFolder(source);
        scanAndWait();

        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        SourcesTreeModel *model = pane.model();
        const QModelIndex top = model->index(0, 0);
        QCOMPARE(model->rowState(top).title, QStringLiteral("CARD"));
        QVERIFY(!model->rowState(top).statusIconName.isEmpty() || model->rowState(top).statusPending);

        // Rows bound again between refreshes use what the refresh read.
        DeviceDetection::setSystemPathsForTesting(unmounted, sys);
        FileData *root = FileManager::fileDataForPath(source, 0, false);
        root->notifyStatusChanged();
        FileDataChangeCenter::instance()->flush();
        QCOMPARE(model->rowState(top).title, QStringLiteral("CARD"));

        // Pulled: the folder is gone and the scanner cannot reach the source.
        QVERIFY(QDir().rename(mount, p(QStringLiteral("pulled"))));
        FileManager::setFile(root, NeedsScan::Pending, false);
        scanAndWait();
        QVERIFY(root->hasFlag(FileFlags::SourceUnavailable));
        QVERIFY(gather(pane, false));
        QCOMPARE(model->rowState(model->index(0, 0)).title, QStringLiteral("CARD (Disconnected)"));
        QVERIFY(model->rowState(model->index(0, 0)).statusIconName.isEmpty());
        {
            // A pane opened later (after a restart: nothing remembered in memory) knows it too.
            DeviceDetection::setSystemPathsForTesting(unmounted, sys);
            Settings::reloadForTesting();
            SourcesPreferencesViewController later;
            QVERIFY(gather(later));
            QCOMPARE(later.model()->rowState(later.model()->index(0, 0)).title, QStringLiteral("CARD (Disconnected)"));
        }

        // Plugged in again.
        QVERIFY(QDir().rename(p(QStringLiteral("pulled")), mount));
        DeviceDetection::setSystemPathsForTesting(mounted, sys);
        FileManager::setFile(root, NeedsScan::Pending, false);
        scanAndWait();
        QVERIFY(!root->hasFlag(FileFlags::SourceUnavailable));
        QVERIFY(gather(pane, false));
        QCOMPARE(model->rowState(model->index(0, 0)).title, QStringLiteral("CARD"));
    }

    // A watched folder deleted while the app runs (moved to the bin) is found gone through its
    // folder monitor, no rescan asked for, and shown as absent as a pulled card is; the
    // standard Pictures folder too.
    void deletedFolderIsShownUnavailable_data()
    {
        QTest::addColumn<bool>("pictures");
        QTest::newRow("a folder") << false;
        QTest::newRow("Pictures") << true;
    }
    void deletedFolderIsShownUnavailable()
    {
        QFETCH(bool, pictures);
        const QString folder = pictures ? FileManager::picturesDirectory() : p(QStringLiteral("Trip"));
        const QString bin = QFileInfo(folder).path() + QStringLiteral("/.Trash-0");
        auto emptyBin = qScopeGuard([bin] { QDir(bin).removeRecursively(); });
        const QString name = QFileInfo(folder).fileName();
        QVERIFY(writeFile(folder + QStringLiteral("/1.jpg"), makeJpeg(4000, 1).bytes));
        FileManager::addCustomFolder(folder);
        scanAndWait();
        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        SourcesTreeModel *model = pane.model();
        QCOMPARE(model->rowState(model->index(0, 0)).title, name);

        FileData *root = FileManager::fileDataForPath(folder, 0, false);
        QVERIFY(QDir().rename(folder, bin)); // as a file manager deletes
        QTRY_VERIFY_WITH_TIMEOUT(root->hasFlag(FileFlags::SourceUnavailable) && !FileManager::isRunning(), kScanWait);
        QVERIFY(gather(pane, false));
        QCOMPARE(model->rowState(model->index(0, 0)).title, name + QStringLiteral(" (Unavailable)"));
        QVERIFY(model->rowState(model->index(0, 0)).statusIconName.isEmpty());
    }

    // Killed right after a folder is left out: on the next start the check box and the
    // catalogue agree that it is left out.
    void exclusionSurvivesAKillRightAfterTheToggle()
    {
        QVERIFY(photo(QStringLiteral("Crash/Keep/1.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Crash/Private/2.jpg"), 2));
        addSource(QStringLiteral("Crash"));
        QVERIFY(DataStore::save());
        // The catalogue is handed to another process, which ticks the box off and is killed.
        FileManager::resetForTesting();
        DataStore::resetForTesting();
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kCrashChildVar), p(QStringLiteral("Crash/Private")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(60000));
        const QByteArray said = child.readAllStandardOutput();
        QVERIFY2(said.contains("toggled"), child.readAllStandardError().constData());
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        // The next start.
        Settings::reloadForTesting();
        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return false; };
        FileData *excluded = rec(QStringLiteral("Crash/Private"));
        QVERIFY(excluded);
        QVERIFY(excluded->excludedFromScan());
        QVERIFY(!rec(QStringLiteral("Crash/Keep"))->excludedFromScan());
        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        const QModelIndex top = pane.model()->index(0, 0);
        pane.outlineView()->expand(top);
        const QModelIndex row = rowFor(pane.model(), top, p(QStringLiteral("Crash/Private")));
        QVERIFY(row.isValid());
        QVERIFY(!pane.model()->rowState(row).checkboxChecked);
        QVERIFY(pane.model()->rowState(rowFor(pane.model(), top, p(QStringLiteral("Crash/Keep")))).checkboxChecked);
    }

    // A folder whose settings file cannot be written (a read-only folder, left out here or
    // arriving with a file that leaves it out): the tick holds through the rescans, is said once,
    // and reaches the file once the folder can be written.
    void tickHoldsOverAFolderThatCannotBeWritten_data()
    {
        QTest::addColumn<bool>("arrives");
        QTest::newRow("left out here, then read-only") << false;
        QTest::newRow("arrives with a file that leaves it out") << true;
    }
    void tickHoldsOverAFolderThatCannotBeWritten()
    {
        QFETCH(bool, arrives);
        if (!g_permissionsHold)
            QSKIP("permissions cannot be made to hold for this process");
        const QString card = p(QStringLiteral("Locked/Card")), file = card + QStringLiteral("/.lumoraExclusion");
        QVERIFY(photo(QStringLiteral("Locked/Card/1.jpg"), 1));
        if (arrives)
            QVERIFY(PropertyList::writeFile(file, QVariantMap{{kAccount, QVariantMap{{"excludedFromScan", true}}}}));
        addSource(QStringLiteral("Locked"));
        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        const SourceItem item{QString(), rec(QStringLiteral("Locked/Card"))->fileID()};
        if (!arrives)
            pane.excludedFolderCheckboxHit(item, false);
        QVERIFY(rec(QStringLiteral("Locked/Card"))->excludedFromScan());
        const QFileDevice::Permissions readOnly(0x5555), open(0x7755); // 0555, 0755
        QVERIFY(QFile::setPermissions(card, readOnly));
        const auto writable = qScopeGuard([&] { QFile::setPermissions(card, open); });
        for (bool tick : {true, false, true}) { // said once, not at every change
            pane.excludedFolderCheckboxHit(item, tick);
            scanAndWait();
            QCOMPARE(rec(QStringLiteral("Locked/Card"))->excludedFromScan(), !tick);
        }
        QVERIFY(rec(QStringLiteral("Locked/Card/1.jpg")));
        QTRY_COMPARE(m_alerts.requests.size(), 1);
        QCOMPARE(m_alerts.requests.first().title, QStringLiteral("Your choice could not be saved in the folder"));

        QVERIFY(QFile::setPermissions(card, open));
        FileManager::setFile(rec(QStringLiteral("Locked/Card")), NeedsScan::Pending, false);
        scanAndWait();
        QVERIFY(!FileData::setDataExcludes(FileData::readSetDataFile(file)));
        QVERIFY(!rec(QStringLiteral("Locked/Card"))->hasFlag(FileFlags::SetDataUnsaved));
        // Left out while read-only: the folder is no longer listed, its parent's listing writes it.
        QVERIFY(QFile::setPermissions(card, readOnly));
        pane.excludedFolderCheckboxHit(item, false);
        QVERIFY(QFile::setPermissions(card, open));
        FileManager::setFile(rec(QStringLiteral("Locked")), NeedsScan::Pending, false);
        scanAndWait();
        QVERIFY(FileData::setDataExcludes(FileData::readSetDataFile(file)));
    }

    // A folder renamed and one moved into another leave no row and no count at their old
    // places, in a pane opened afterwards too; their records stay for photos that come back.
    void renamedAndMovedFoldersLeaveNoGhosts()
    {
        QVERIFY(photo(QStringLiteral("Pics/Trip03/1.jpg"), 1));
        QVERIFY(photo(QStringLiteral("Pics/Trip04/2.jpg"), 2));
        QVERIFY(photo(QStringLiteral("Pics/Keep/3.jpg"), 3));
        addSource(QStringLiteral("Pics"));
        QVERIFY(QDir().rename(p(QStringLiteral("Pics/Trip03")), p(QStringLiteral("Pics/Trip03_r19"))));
        QVERIFY(QDir().rename(p(QStringLiteral("Pics/Trip04")), p(QStringLiteral("Pics/Keep/Trip04"))));
        for (const char *folder : {"Pics", "Pics/Keep"})
            FileManager::setFile(rec(QString::fromLatin1(folder)), NeedsScan::Pending, false);
        scanAndWait();
        QVERIFY(rec(QStringLiteral("Pics/Trip03")) && rec(QStringLiteral("Pics/Trip03"))->isMissingOnDisk());
        for (int pass = 0; pass < 2; ++pass) {
            SourcesPreferencesViewController pane;
            QVERIFY(gather(pane));
            SourcesTreeModel *model = pane.model();
            const QModelIndex top = model->index(0, 0);
            QCOMPARE(model->rowState(top).subtitle, QStringLiteral("3 folders, 3 photos"));
            pane.outlineView()->expand(top);
            QStringList titles;
            for (int row = 0; row < model->rowCount(top); ++row)
                titles << model->rowState(model->index(row, 0, top)).title;
            QCOMPARE(titles, (QStringList{QStringLiteral("Keep"), QStringLiteral("Trip03_r19")}));
            FileManager::setFile(rec(QStringLiteral("Pics")), NeedsScan::Pending, false);
            scanAndWait(); // and after one more pass of the scanner
        }
    }

    // The album the engine made for a folder (its id stored, no name of its own) is opened on the
    // web from the row's menu, by its id.
    void albumTheEngineMadeOpensOnTheWeb()
    {
        LumoraDouble service;
        QVERIFY(startServiceDouble(service));
        signInToServiceDouble(service);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        QVERIFY(photo(QStringLiteral("DropB/1.jpg"), 1));
        addSource(QStringLiteral("DropB"));
        rec(QStringLiteral("DropB"))->setAlbumMode(2); // an album per folder
        startEngine();
        auto stop = qScopeGuard([&] { shutDownEngine(); service.stop(); });
        QTRY_VERIFY_WITH_TIMEOUT(rec(QStringLiteral("DropB"))->lumoraSetId() != 0, kScanWait);
        const qint64 album = rec(QStringLiteral("DropB"))->lumoraSetId();
        QVERIFY(service.album(QString::number(album)).has_value());

        RecordingUrlOpener opener;
        InstallUrlOpener installed(&opener);
        SourcesPreferencesViewController pane;
        QVERIFY(gather(pane));
        std::unique_ptr<QMenu> menu(pane.buildMainMenu(pane.model()->itemAt(pane.model()->index(0, 0)), nullptr));
        QAction *view = nullptr;
        for (QAction *action : menu->actions())
            if (action->text() == QStringLiteral("View album on the web"))
                view = action;
        QVERIFY(view);
        view->trigger();
        const QString user = LumoraKit::sharedLumoraKit()->currentUserID();
        QVERIFY(!user.isEmpty());
        QCOMPARE(opener.last().path(), QStringLiteral("/photos/%1/sets/%2").arg(user).arg(album));
    }
};

// The process killed by exclusionSurvivesAKillRightAfterTheToggle.
static int crashChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    Settings::reloadForTesting();
    CatalogueHooks::instance().signedInAccountId = [] { return kAccount; };
    SourcesBackend::setInstance(SourcesBackend::makeDefault());
    const QString folder = qEnvironmentVariable(kCrashChildVar);
    SourcesPreferencesViewController pane;
    if (!gather(pane))
        return 2;
    FileData *record = FileManager::fileDataForPath(folder, 0, false);
    if (!record)
        return 3;
    pane.excludedFolderCheckboxHit(SourceItem{QString(), record->fileID()}, false);
    std::printf("toggled\n");
    std::fflush(stdout);
    ::kill(::getpid(), SIGKILL);
    return 4;
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kCrashChildVar))
        return crashChild(argc, argv);
    QApplication app(argc, argv);
    TestSourcesLive test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sources_live.moc"
