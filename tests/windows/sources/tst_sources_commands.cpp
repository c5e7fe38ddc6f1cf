#include "core/Settings.h"
#include "support/SourcesPaneFixture.h"
#include "support/ScriptedModalUi.h"
#include "windows/preferences/PreferencesServices.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMimeData>
#include <QDragEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

using Library = SourcesBackend::Library;
using Folder = SourcesBackend::Folder;

namespace {
QStringList titles(QMenu *menu)
{
    QStringList out;
    for (QAction *a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
}
QAction *actionNamed(QMenu *menu, const QString &title)
{
    for (QAction *a : menu->actions()) {
        if (a->text() == title)
            return a;
    }
    return nullptr;
}
} // namespace

class TestSourcesCommands : public SourcesPaneFixture
{
    Q_OBJECT
    ScriptedFolderChooser m_chooser;
    RecordingUrlOpener m_opener;

    bool refresh(SourcesPreferencesViewController &pane) { return waitForRefresh(pane, true); }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
        Alerts::setPresenter(&m_alerts);
        FolderChoosers::setChooser(&m_chooser);
        UrlOpeners::setOpener(&m_opener);
    }
    void init()
    {
        installFreshBackend();
        PreferencesServices::reset();
        m_opener.opened.clear();
        m_opener.revealed.clear();
    }
    void cleanup() { removeBackend(); }

    void removingAWatchedFolderAsksFirst()
    {
        const QString folder = mk(QStringLiteral("Photos Archive"));
        m_backend->addCustomFolder(folder);
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        pane.outlineView()->setCurrentIndex(pane.model()->index(0, 0));
        // Cancel: nothing changes.
        m_alerts.enqueue(1);
        pane.removeSourceButtonHit();
        QCOMPARE(m_alerts.count(), 1);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Remove source \"Photos Archive\"?"));
        // The whole path, quoted because it has a blank, exactly once.
        QVERIFY(m_alerts.last().message.startsWith(QStringLiteral("We will no longer upload new photos from \"%1\".").arg(folder)));
        QCOMPARE(m_alerts.last().message.count(folder), 1);
        QCOMPARE(m_alerts.last().buttons, QStringList({QStringLiteral("Remove"), QStringLiteral("Cancel")}));
        QVERIFY(m_backend->customFolders().contains(folder));
        QCOMPARE(pane.sources(), QStringList({folder}));
        // Remove: the configuration drops it, the uploader drops its work.
        m_alerts.enqueue(0);
        pane.removeSourceButtonHit();
        QVERIFY(!m_backend->customFolders().contains(folder));
        QVERIFY(pane.sources().isEmpty());
        const int cleanup = m_backend->log.indexOf(QStringLiteral("cleanup"));
        QVERIFY(cleanup >= 0);
        QCOMPARE(m_backend->log.value(cleanup + 1), QStringLiteral("cancelCurrent"));
        QVERIFY(!pane.removeSourceButton()->isEnabled());
    }

    void removingTheIPhotoLibraryFolderTurnsItsImportOff()
    {
        const QString library = mk(QStringLiteral("iPhoto Library"));
        m_backend->addCustomFolder(library);
        m_backend->lastPaths[int(Library::IPhoto)] = library;
        m_backend->enabled[int(Library::IPhoto)] = true;
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        bool answered = false;
        pane.toggleStateForItemNamed(library, false, [&](bool changed) { answered = changed; });
        QVERIFY(answered);
        QVERIFY(!m_backend->enabled.value(int(Library::IPhoto)));
    }

    void welcomeVariantTexts()
    {
        const QString folder = mk(QStringLiteral("Welcome"));
        m_backend->addCustomFolder(folder);
        std::unique_ptr<SourcesPreferencesViewController> pane(SourcesPreferencesViewController::initAsWelcomeScreenControl());
        QVERIFY(refresh(*pane));
        m_alerts.enqueue(1);
        pane->toggleStateForItemNamed(folder, false);
        QCOMPARE(m_alerts.last().message, QStringLiteral("We won't upload photos from %1.").arg(folder));
        m_backend->addRecord(folder, 0, true); // catalogued: the status and re-upload items would apply
        QMenu *menu = pane->buildMainMenu(SourceItem{folder, 0}, nullptr);
        QVERIFY(!titles(menu).contains(QStringLiteral("View folder status")));
        QVERIFY(!titles(menu).contains(QStringLiteral("Re-upload this folder")));
        QVERIFY(titles(menu).contains(QStringLiteral("Don't upload from this folder")));
        delete menu;
    }

    void addingLibrariesAndTheAddMenu()
    {
        const QString pictures = mk(QStringLiteral("Pictures"));
        m_backend->standard[int(Folder::Pictures)] = pictures;
        m_backend->installed[int(Library::OSXPhotos)] = true;
        m_backend->libraryDirs[int(Library::OSXPhotos)] = QStringLiteral("/lib/photos.db");
        m_backend->installed[int(Library::IMessage)] = true;
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        QMenu *menu = pane.buildAddSourceMenu(nullptr, false);
        QCOMPARE(titles(menu), QStringList({QStringLiteral("Add a folder"), QStringLiteral("Add my Pictures folder"),
                                            QStringLiteral("Add my 'Photos' library"), QStringLiteral("-"),
                                            QStringLiteral("Easy, automatic uploading to Lumora.")}));
        QVERIFY(!menu->actions().last()->isEnabled());
        actionNamed(menu, QStringLiteral("Add my 'Photos' library"))->trigger();
        delete menu;
        QVERIFY(m_backend->enabled.value(int(Library::OSXPhotos)));
        QCOMPARE(pane.sources().first(), QStringLiteral("'Photos'"));
        QVERIFY(pane.selectedSources().contains(QStringLiteral("'Photos'")));
        // Messages only with the Option (Alt) key held.
        QMenu *withOption = pane.buildAddSourceMenu(nullptr, true);
        QVERIFY(titles(withOption).contains(QStringLiteral("Add photos from my Messages")));
        QVERIFY(!titles(withOption).contains(QStringLiteral("Add my 'Photos' library")));
        delete withOption;
        // "Add a folder": the chooser's folder goes in on the next turn; a cancel adds nothing.
        const QString chosen = mk(QStringLiteral("Chosen"));
        m_chooser.enqueue({chosen});
        pane.addFolderHit();
        QTRY_VERIFY(pane.sources().contains(chosen));
        m_chooser.enqueue({});
        const int before = m_backend->log.size();
        pane.addFolderHit();
        QCoreApplication::processEvents();
        QCOMPARE(m_backend->log.size(), before);
        // Auto-created albums for folders added through an onboarding list that asks for them.
        pane.setAutoCreateAlbums(true);
        pane.addFolder(mk(QStringLiteral("Album")));
        QVERIFY(m_backend->log.last().startsWith(QStringLiteral("albumMode:")));
        QVERIFY(m_backend->log.last().endsWith(QStringLiteral("=-2")));
    }

    void libraryPackagesAreWatchedThroughTheirLibraryFile()
    {
        SourcesPreferencesViewController pane;
        const QString iphoto = mk(QStringLiteral("Old.photolibrary"));
        const QString aperture = mk(QStringLiteral("Pro.aplibrary"));
        pane.addFolder(iphoto);
        QCOMPARE(m_backend->log.last(), QStringLiteral("add:") + iphoto + QStringLiteral("/AlbumData.xml"));
        pane.addFolder(aperture);
        QCOMPARE(m_backend->log.last(), QStringLiteral("add:") + aperture + QStringLiteral("/Database/Library.apdb"));
        QCOMPARE(pane.sources(), QStringList({iphoto, aperture}));
    }

    void excludingAndIncludingAFolder()
    {
        const QString root = mk(QStringLiteral("Ex"));
        m_backend->addCustomFolder(root);
        const RecordId r = m_backend->addRecord(root, 0, true);
        const RecordId child = m_backend->addRecord(root + QStringLiteral("/Sub"), r, true);
        mk(QStringLiteral("Ex/Sub"));
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        const QModelIndex top = pane.model()->index(0, 0);
        pane.outlineView()->expand(top);
        const QModelIndex sub = pane.model()->index(0, 0, top);
        QVERIFY(pane.model()->rowState(sub).checkboxChecked);
        // Untick: excluded, remembered, the uploader drops the work.
        pane.excludedFolderCheckboxHit(pane.model()->itemAt(sub), false);
        QVERIFY(m_backend->record(child).excludedFromScan);
        QVERIFY(Settings::orderedSetForKey(QStringLiteral("ExcludedFoldersBackup")).contains((root + QStringLiteral("/Sub")).toLower()));
        QVERIFY(m_backend->log.mid(m_backend->log.indexOf(QStringLiteral("exclude:%1=1").arg(child)))
                == QStringList({QStringLiteral("exclude:%1=1").arg(child), QStringLiteral("cleanup"), QStringLiteral("cancelCurrent"),
                                QStringLiteral("runUploader")}));
        QVERIFY(!pane.model()->rowState(sub).checkboxChecked); // shows what was stored
        // Ticking the same state again stores nothing.
        const int before = m_backend->log.size();
        pane.excludedFolderCheckboxHit(pane.model()->itemAt(sub), false);
        QCOMPARE(m_backend->log.size(), before);
        // Tick: included, marked for scanning with its subtree, the scan loop restarts.
        m_backend->trackingCount = 0;
        pane.excludedFolderCheckboxHit(pane.model()->itemAt(sub), true);
        QVERIFY(!m_backend->record(child).excludedFromScan);
        QVERIFY(m_backend->log.contains(QStringLiteral("needsScan:%1").arg(child)));
        QCOMPARE(m_backend->log.last(), QStringLiteral("runScanner"));
        QCOMPARE(m_backend->trackingCount, 1);
        QVERIFY(Settings::orderedSetForKey(QStringLiteral("ExcludedFoldersBackup")).isEmpty());
        QVERIFY(pane.model()->rowState(sub).checkboxChecked);
    }

    void contextMenuActsOnItsOwnRowAfterARefresh()
    {
        const QString a = mk(QStringLiteral("Ma"));
        const QString b = mk(QStringLiteral("Mb"));
        m_backend->addCustomFolder(a);
        m_backend->addCustomFolder(b);
        m_backend->addRecord(a, 0, true);
        m_backend->addRecord(b, 0, true);
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        QMenu *menu = pane.buildMainMenu(pane.model()->itemAt(pane.model()->index(1, 0)), nullptr);
        QVERIFY(titles(menu).contains(QStringLiteral("Open folder")));
        QVERIFY(titles(menu).contains(QStringLiteral("View folder status")));
        // The list changes under the open menu: b moves to the first row.
        m_backend->removeCustomFolder(a);
        m_backend->addCustomFolder(a);
        QVERIFY(refresh(pane));
        QCOMPARE(pane.sources().first(), b);
        m_alerts.enqueue(1); // cancel
        actionNamed(menu, QStringLiteral("Stop uploading from this folder"))->trigger();
        QCOMPARE(m_alerts.last().title, QStringLiteral("Remove source \"Mb\"?"));
        actionNamed(menu, QStringLiteral("Open folder"))->trigger();
        QCOMPARE(m_opener.last(), QUrl::fromLocalFile(b));
        delete menu;
    }

    void dropsAddFoldersAndExplainFiles()
    {
        const QString folder = mk(QStringLiteral("Dropped"));
        const QString file = m_dir.path() + QStringLiteral("/loose.jpg");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        QVERIFY(!pane.performDrop({file}));
        QCOMPARE(m_alerts.count(), 1);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Please drop folders, not individual files"));
        QVERIFY(pane.sources().isEmpty());
        QVERIFY(pane.performDrop({folder, file}));
        QCOMPARE(m_alerts.count(), 2);
        QCOMPARE(pane.sources(), QStringList({folder}));
        QVERIFY(pane.performDrop({mk(QStringLiteral("Dropped2"))}));
        QCOMPARE(m_alerts.count(), 2);
    }

    void dragOverThePane()
    {
        SourcesPreferencesViewController pane;
        auto enter = [&](const QList<QUrl> &urls) {
            QMimeData data;
            data.setUrls(urls);
            QDragEnterEvent event(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            event.ignore();
            QCoreApplication::sendEvent(&pane, &event);
            return event.isAccepted();
        };
        QVERIFY(enter({QUrl::fromLocalFile(mk(QStringLiteral("DragMe")))}));
        QVERIFY(!enter({QUrl::fromLocalFile(m_dir.path() + QStringLiteral("/missing"))}));
        QVERIFY(!enter({QUrl(QStringLiteral("https://example.org/a.jpg"))}));
    }

    void folderStatusWindowsAreKeptByPath()
    {
        const QString root = mk(QStringLiteral("FolderStatus"));
        m_backend->addCustomFolder(root);
        const RecordId r = m_backend->addRecord(root, 0, true);
        m_backend->record(r).photosRecursive = 5;
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        pane.viewFolderStatus(); // nothing selected: nothing
        QCOMPARE(SourcesPreferencesViewController::folderStatusWindowForPath(root)->isVisible(), false);
        pane.outlineView()->setCurrentIndex(pane.model()->index(0, 0));
        pane.viewFolderStatus();
        FolderStatusViewController *window = SourcesPreferencesViewController::folderStatusWindowForPath(root);
        QVERIFY(window->isVisible());
        window->close();
        pane.viewFolderStatus();
        QCOMPARE(SourcesPreferencesViewController::folderStatusWindowForPath(root), window); // reused
        QVERIFY(window->isVisible());
        window->close();
    }

    void statusLineProgressAndPauseMenu()
    {
        SourcesPreferencesViewController pane;
        pane.resize(600, 400);
        m_backend->line1 = QStringLiteral("Uploading 3 photos");
        pane.updateStatus2();
        QCOMPARE(pane.statusLabel()->text(), QStringLiteral("Uploading 3 photos"));
        m_backend->line2 = QStringLiteral("(2 MB)");
        pane.updateStatus2();
        QCOMPARE(pane.statusLabel()->text(), QStringLiteral("Uploading 3 photos (2 MB)"));
        QCOMPARE(pane.statusLabel()->toolTip(), pane.statusLabel()->text());

        pane.updateProgressBar();
        QVERIFY(pane.statusProgressBarView()->isHidden()); // idle
        m_backend->running = true;
        m_backend->percent = 0.5;
        pane.updateProgressBar();
        QVERIFY(!pane.statusProgressBarView()->isHidden());
        QCOMPARE(pane.statusProgressBarView()->maximumWidth(), 300);
        m_backend->percent = 1.7; // out of range: clamped to the pane's width
        pane.updateProgressBar();
        QCOMPARE(pane.statusProgressBarView()->maximumWidth(), 600);
        // The run ended while the pane was not shown (no status news reaches it then): the
        // refresh it gets on showing again brings the bar up to date with the line.
        m_backend->running = false;
        QSignalSpy refreshed(&pane, &SourcesPreferencesViewController::sourcesRefreshed);
        pane.refreshViewInstance();
        QTRY_COMPARE(refreshed.size(), 1);
        QVERIFY(pane.statusProgressBarView()->isHidden());

        QMenu *menu = pane.buildPauseMenu(nullptr);
        QCOMPARE(titles(menu).first(), QStringLiteral("Pause for 1 hour"));
        QCOMPARE(titles(menu).size(), 5);
        actionNamed(menu, QStringLiteral("Pause for 8 hours"))->trigger();
        QCOMPARE(m_backend->log.last(), QStringLiteral("pause:28800"));
        delete menu;
        m_backend->resumeMessage = QStringLiteral("Try again");
        menu = pane.buildPauseMenu(nullptr);
        QCOMPARE(titles(menu).mid(0, 2), QStringList({QStringLiteral("Try again"), QStringLiteral("-")}));
        menu->actions().first()->trigger();
        QCOMPARE(m_backend->log.last(), QStringLiteral("refreshManually"));
        delete menu;
        m_backend->isPaused = true;
        menu = pane.buildPauseMenu(nullptr);
        QCOMPARE(titles(menu), QStringList({QStringLiteral("Resume Uploading")}));
        menu->actions().first()->trigger();
        QCOMPARE(m_backend->log.last(), QStringLiteral("resume"));
        delete menu;
    }

    void detailsWindowListsEveryFilesStatus()
    {
        const QString root = mk(QStringLiteral("Details"));
        const QString other = mk(QStringLiteral("Other"));
        m_backend->addCustomFolder(root);
        m_backend->addCustomFolder(other);
        const RecordId r = m_backend->addRecord(root, 0, true);
        m_backend->addRecord(other, 0, true);
        const QList<QPair<int, QString>> codes{{1, QStringLiteral("Queued for upload")}, {2, QStringLiteral("Upload attempt failed, will try again shortly")},
                                               {NeedsUpload::DuplicateOnServer, QStringLiteral("Previously uploaded (Rejected by server as duplicate)")},
                                               {0, QStringLiteral("Unknown state")}, {-12, QString()}};
        for (int i = 0; i < codes.size(); ++i) {
            const RecordId f = m_backend->addRecord(root + QStringLiteral("/f%1.jpg").arg(i), r, false);
            m_backend->record(f).needsUpload = codes[i].first;
            if (i == 0)
                m_backend->uploading = f + 100; // another file is uploading
        }
        const RecordId sub = m_backend->addRecord(root + QStringLiteral("/sub"), r, true);
        m_backend->record(sub).foldersRecursive = 1;
        m_backend->record(sub).photosRecursive = 1;
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        pane.outlineView()->setCurrentIndex(pane.model()->index(1, 0)); // "Other" selected
        pane.showDetailsViewForItem(SourceItem{root, 0});
        QCOMPARE(pane.detailsViewFile(), r); // the item asked for, not the selection
        QCOMPARE(pane.detailsWindow()->windowTitle(), QStringLiteral("\"Details\" details"));
        QTreeWidget *tree = pane.detailsOutlineView();
        QCOMPARE(tree->topLevelItemCount(), codes.size() + 1);
        for (int i = 0; i < codes.size(); ++i)
            QCOMPARE(tree->topLevelItem(i)->text(1), codes[i].second);
        QCOMPARE(tree->topLevelItem(codes.size())->text(1), QStringLiteral("1 folder, 1 photo"));
        // Return opens the selected file; the menu's "Show in Files" shows it in its folder.
        QFile file(root + QStringLiteral("/f0.jpg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        tree->setCurrentItem(tree->topLevelItem(0));
        QKeyEvent ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(tree, &ret);
        QCOMPARE(m_opener.last(), QUrl::fromLocalFile(root + QStringLiteral("/f0.jpg")));
        QMenu *menu = pane.buildDetailsMenu(tree->topLevelItem(0)->data(0, Qt::UserRole).value<qint64>(), nullptr);
        QCOMPARE(titles(menu), QStringList({QStringLiteral("Open"), QStringLiteral("Show in Files")}));
        actionNamed(menu, QStringLiteral("Show in Files"))->trigger();
        QCOMPARE(m_opener.revealed.last(), root + QStringLiteral("/f0.jpg"));
        delete menu;
        QCOMPARE(SourcesPreferencesViewController::fileStatusText([] { RecordState s; s.id = 7; s.needsUpload = 1; return s; }(), 7),
                 QStringLiteral("Uploading now..."));
        pane.detailsWindow()->close();
    }

    // Rows for names no record can hold: a folder holding only such names says how many instead
    // of "No photos"; the rows open nothing, and a refresh does not make one of them current.
    void namesThatCannotBeBackedUpHaveRowsWithoutRecords()
    {
        const QString root = mk(QStringLiteral("Odd"));
        m_backend->addCustomFolder(root);
        const RecordId r = m_backend->addRecord(root, 0, true);
        const RecordId only = m_backend->addRecord(root + QStringLiteral("/Only"), r, true);
        m_backend->addRecord(root + QStringLiteral("/a.jpg"), r, false);
        m_backend->addSkipped(only, QStringLiteral("x\uFFFD.jpg"), false);
        m_backend->addSkipped(only, QStringLiteral("y\uFFFD.jpg"), false);
        m_backend->addSkipped(r, QStringLiteral("\uFFFD"), true);
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        pane.showDetailsViewForItem(SourceItem{root, 0});
        QTreeWidget *tree = pane.detailsOutlineView();
        QCOMPARE(tree->topLevelItemCount(), 3);
        QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("Only"));
        QCOMPARE(tree->topLevelItem(0)->text(1), QStringLiteral("2 files could not be backed up"));
        QCOMPARE(tree->topLevelItem(2)->text(1), QStringLiteral("Name is not valid UTF-8; rename the folder to back it up"));
        tree->topLevelItem(0)->setExpanded(true);
        QCOMPARE(tree->topLevelItem(0)->childCount(), 2);
        QCOMPARE(tree->topLevelItem(0)->child(1)->text(1), QStringLiteral("Name is not valid UTF-8; rename the file to back it up"));

        tree->setCurrentItem(tree->topLevelItem(0)->child(0));
        QKeyEvent ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(tree, &ret);
        QVERIFY(m_opener.opened.isEmpty());
        QVERIFY(m_opener.revealed.isEmpty());
        tree->setCurrentItem(tree->topLevelItem(1)); // a.jpg
        pane.reloadDetailsView();
        QVERIFY(tree->topLevelItem(0)->isExpanded());
        QCOMPARE(tree->currentItem()->text(0), QStringLiteral("a.jpg"));
        tree->setCurrentItem(nullptr);
        pane.reloadDetailsView();
        QVERIFY(tree->topLevelItem(0)->isExpanded());
        QVERIFY(!tree->currentItem() || !tree->currentItem()->isSelected());
        pane.detailsWindow()->close();
    }

    void keyboardAndRightClick()
    {
        const QString a = mk(QStringLiteral("Ka"));
        m_backend->addCustomFolder(a);
        const RecordId r = m_backend->addRecord(a, 0, true);
        m_backend->addRecord(a + QStringLiteral("/child"), r, true);
        mk(QStringLiteral("Ka/child"));
        SourcesPreferencesViewController pane;
        pane.resize(600, 400);
        pane.show();
        QVERIFY(refresh(pane));
        auto *view = pane.outlineView();
        // Delete with nothing selected does nothing.
        QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        QVERIFY(pane.outlineViewKeyDown(view, &del));
        QCOMPARE(m_alerts.count(), 0);
        // A nested row: the remove buttons stay off, Delete still asks nothing.
        view->expand(pane.model()->index(0, 0));
        view->setCurrentIndex(pane.model()->index(0, 0, pane.model()->index(0, 0)));
        QVERIFY(!pane.removeSourceButton()->isEnabled());
        pane.outlineViewKeyDown(view, &del);
        QCOMPARE(m_alerts.count(), 0);
        // Return opens the selected folder.
        QKeyEvent ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QVERIFY(pane.outlineViewKeyDown(view, &ret));
        QCOMPARE(m_opener.last(), QUrl::fromLocalFile(a + QStringLiteral("/child")));
        // A repeated key is ignored.
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(), true);
        QVERIFY(!pane.outlineViewKeyDown(view, &repeat));
        // Right-click on the top row selects it alone and asks for its menu.
        const QRect topRect = view->visualRect(pane.model()->index(0, 0));
        QMenu *menu = view->menuForPoint(topRect.center());
        QVERIFY(menu);
        QCOMPARE(pane.selectedItem().name, a);
        QVERIFY(pane.removeSourceButton()->isEnabled());
        QVERIFY(titles(menu).contains(QStringLiteral("Stop uploading from this folder")));
        delete menu;
        // Now Delete asks to remove it.
        m_alerts.enqueue(1);
        pane.outlineViewKeyDown(view, &del);
        QCOMPARE(m_alerts.count(), 1);
    }

    void statusButtonMenuAndReupload()
    {
        const QString root = mk(QStringLiteral("St"));
        m_backend->addCustomFolder(root);
        const RecordId r = m_backend->addRecord(root, 0, true);
        m_backend->addRecord(root + QStringLiteral("/a.jpg"), r, false);
        m_backend->record(r).cachedStatus = 1; // files waiting
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        const SourceItem item{root, 0};
        QMenu *menu = pane.buildStatusMenu(item, nullptr);
        QCOMPARE(titles(menu), QStringList({QStringLiteral("View folder status"), QStringLiteral("Re-upload this folder")}));
        actionNamed(menu, QStringLiteral("Re-upload this folder"))->trigger();
        QCOMPARE(m_backend->log.last(), QStringLiteral("reupload:1:prefs"));
        delete menu;
        m_backend->record(r).scanning = true;
        menu = pane.buildStatusMenu(item, nullptr);
        QCOMPARE(titles(menu), QStringList({QStringLiteral("View folder status")}));
        delete menu;
        m_backend->record(r).excludedFromScan = true;
        QCOMPARE(pane.buildStatusMenu(item, nullptr), nullptr);
        // A library kept in iCloud explains itself instead.
        m_backend->record(r).excludedFromScan = false;
        m_backend->record(r).flags |= RecordFlags::ICloudLibrary;
        pane.statusButtonHit(item, QPoint());
        QCOMPARE(m_alerts.last().title, QStringLiteral("Library stored in iCloud"));
    }

    void albumCommands()
    {
        const QString root = mk(QStringLiteral("Albums"));
        m_backend->addCustomFolder(root);
        const RecordId r = m_backend->addRecord(root, 0, true);
        SourcesPreferencesViewController pane;
        QVERIFY(refresh(pane));
        const SourceItem item{root, 0};
        // Blank titles are ignored; a title is trimmed.
        pane.createAlbum(item, QStringLiteral("   "), true);
        QVERIFY(m_backend->record(r).albumName.isEmpty());
        pane.createAlbum(item, QStringLiteral("  Summer  "), true);
        QCOMPARE(m_backend->record(r).albumName, QStringLiteral("Summer"));
        QVERIFY(m_backend->record(r).albumIncludesSubfolders);
        // Renaming to the same name changes nothing.
        const int before = m_backend->log.size();
        pane.applyAlbumRenameWithNewName(item, QStringLiteral("Summer "));
        QCOMPARE(m_backend->log.size(), before);
        // The album button's rename: control characters removed, then renamed.
        QCOMPARE(pane.albumButtonDidFinishRenaming(item, QStringLiteral("Sum\tmer\n 2024")), QStringLiteral("Summer 2024"));
        QCOMPARE(m_backend->record(r).albumName, QStringLiteral("Summer 2024"));
        QCOMPARE(pane.albumButtonDidFinishRenaming(item, QString(3000, QLatin1Char('x'))).size(), 3000); // too long: shown, not stored
        QCOMPARE(m_backend->record(r).albumName, QStringLiteral("Summer 2024"));

        // The web page of an album not yet created on the service explains itself.
        PreferencesServices::instance().currentUserID = [] { return QStringLiteral("42"); };
        pane.viewAlbumOnWeb(item);
        QCOMPARE(m_alerts.last().title, QStringLiteral("No photos yet in this album"));
        m_backend->record(r).lumoraSetId = 777;
        pane.viewAlbumOnWeb(item);
        QCOMPARE(m_opener.last().path(), QStringLiteral("/photos/42/sets/777"));
        QMenu *menu = pane.buildMainMenu(item, nullptr);
        QVERIFY(titles(menu).contains(QStringLiteral("View album on the web")));
        delete menu;

        // Deleting asks; the id of the album when asked is the one confirmed.
        m_alerts.enqueueDeferred();
        pane.deleteAlbumHitExplicit(item, true);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Delete \"Summer 2024\" on Lumora?"));
        QCOMPARE(m_alerts.last().buttons.size(), 3);
        m_backend->record(r).lumoraSetId = 888;
        QVERIFY(m_alerts.answerPending(0));
        QCOMPARE(Settings::orderedSetForKey(QStringLiteral("ConfirmedDeletedAlbumIDs")), QVariantList({qint64(777)}));
        QCOMPARE(m_backend->log.last(), QStringLiteral("deleteAlbum:%1").arg(r));

        // Including subfolders off explains what stays.
        pane.toggleIncludeSubfolders(item);
        QVERIFY(!m_backend->record(r).albumIncludesSubfolders);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Summer 2024"));

        // Stopping asks while the album exists on the service; cancel keeps it.
        m_alerts.enqueue(1);
        pane.stopAddingToAlbumHit(item);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Stop adding to this album?"));
        QCOMPARE(m_backend->record(r).albumName, QStringLiteral("Summer 2024"));
        m_alerts.enqueue(0);
        pane.stopAddingToAlbumHit(item);
        QVERIFY(m_backend->record(r).albumName.isEmpty());
        // An album never created on the service stops without a question.
        pane.createAlbum(item, QStringLiteral("Local"), false);
        const int alerts = m_alerts.count();
        pane.stopAddingToAlbumHit(item);
        QCOMPARE(m_alerts.count(), alerts);
        QVERIFY(m_backend->record(r).albumName.isEmpty());
    }

    void viewOnTheWebNeedsAPhotoIdAndAUser()
    {
        const RecordId f = m_backend->addRecord(QStringLiteral("/p/a.jpg"), 0, false);
        SourcesPreferencesViewController pane;
        pane.viewFileOnLumora(f);
        QVERIFY(m_opener.opened.isEmpty()); // no photo id
        m_backend->record(f).uploadedRemoteId = 987;
        pane.viewFileOnLumora(f);
        QVERIFY(m_opener.opened.isEmpty()); // nobody signed in
        PreferencesServices::instance().currentUserID = [] { return QStringLiteral("lumora-12 x"); };
        pane.viewFileOnLumora(f);
        QCOMPARE(m_opener.last().path(QUrl::FullyEncoded), QStringLiteral("/photos/lumora-12%20x/987"));
        QVERIFY(m_opener.last().host().startsWith(QStringLiteral("www")) || m_opener.last().host() == QStringLiteral("127.0.0.1"));
    }
};

QTEST_MAIN(TestSourcesCommands)
#include "tst_sources_commands.moc"
