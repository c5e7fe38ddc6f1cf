// The onboarding window's choice of sources: ticking, skipping, dropping and choosing folders,
// and the sources configuration that results.
#include "WelcomeTestFixture.h"

#include "app/widgets/ViewTags.h"
#include "core/Settings.h"
#include "windows/onboarding/WelcomeDropView.h"
#include "windows/onboarding/WelcomeWindowController.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

using W = WelcomeWindowController;

class TestWelcomeSources : public QObject, private WelcomeTestFixture
{
    Q_OBJECT
private:
    ScriptedFolderChooser *chooser = nullptr;
    QTemporaryDir *home = nullptr;

    W *openAt(W::Screen screen)
    {
        fake->authorized = true;
        W::display();
        W *window = W::instanceNoCreate();
        window->advanceToScreen(window->screenView(screen), false, false);
        return window;
    }
    QCheckBox *box(W *window, int tag) { return findViewWithTag<QCheckBox>(window->currentView(), tag); }
    QString folder(const QString &name)
    {
        QDir(home->path()).mkpath(name);
        return home->filePath(name);
    }

    // A folder dragged from the file manager and released over the middle of the summary
    // screen's drop area: delivered as Qt does, to the widget under the pointer that takes
    // drops (or the nearest parent that does). True when the drop was taken.
    static bool dropOnList(W *window, const QString &path)
    {
        QWidget *area = window->currentView()->findChild<QWidget *>("dropView");
        const QPoint at = area->mapTo(window, area->rect().center());
        QWidget *target = window->childAt(at);
        while (target && target != window && !target->acceptDrops())
            target = target->parentWidget();
        if (!target || !target->acceptDrops())
            return false;
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        const QPoint local = target->mapFrom(window, at);
        QDragEnterEvent enter(local, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(QPointF(local), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        return drop.isAccepted();
    }

    // Picks an entry of the menu that is popped up now, as a click on it would.
    static void triggerPopupItem(const QString &title)
    {
        QMenu *menu = nullptr;
        QTRY_VERIFY((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) != nullptr);
        QAction *wanted = nullptr;
        for (QAction *action : menu->actions())
            if (action->text() == title)
                wanted = action;
        QVERIFY2(wanted, qPrintable(title));
        wanted->trigger();
        menu->close();
    }

private Q_SLOTS:
    void initTestCase() { WelcomeTestFixture::initTestCase(); }

    void init()
    {
        home = new QTemporaryDir;
        WelcomeTestFixture::init();
        chooser = new ScriptedFolderChooser;
        FolderChoosers::setChooser(chooser);
    }

    void cleanup()
    {
        WelcomeTestFixture::cleanup();
        FolderChoosers::setChooser(nullptr);
        delete chooser;
        delete home;
    }

    void onlyDesktopTicked()
    {
        fake->custom = {fake->pictures, fake->documents};
        W *window = openAt(W::ImportPictures);
        box(window, 2111)->setChecked(true);
        window->importYesButtonHit();
        QCOMPARE(fake->custom, QStringList{fake->desktop});
        QVERIFY(fake->calls.contains("remove " + fake->pictures));
        QVERIFY(fake->calls.contains("remove " + fake->downloads));
        QVERIFY(fake->calls.contains("remove " + fake->documents));
        const QStringList events = fake->eventNames("trackAndIncrement");
        QCOMPARE(events, (QStringList{"Welcome: Folders screen yes", "Welcome: Folders screen all minus 3"}));
        const auto *yes = fake->lastEvent("Welcome: Folders screen yes");
        QCOMPARE(yes->properties.value("selectedDesktop").toBool(), true);
        QCOMPARE(yes->properties.value("selectedPictures").toBool(), false);
        QVERIFY(!yes->properties.contains("selectedDropbox"));
        // The summary follows on the next turn.
        QTRY_COMPARE(window->currentView()->objectName(), QStringLiteral("importFolderView"));
        QTRY_COMPARE(window->sourcesShown(), QStringList{fake->desktop});
    }

    void nothingTickedRemovesAllFourAndSaysNoToAll()
    {
        fake->custom = {fake->pictures, fake->desktop, fake->downloads, fake->documents, "/elsewhere"};
        fake->dropboxInstalled = true;
        W *window = openAt(W::ImportPictures);
        window->importYesButtonHit();
        QCOMPARE(fake->custom, QStringList{"/elsewhere"});
        QCOMPARE(fake->eventNames("trackAndIncrement"), QStringList{"Welcome: Folders screen no to all"});
        QVERIFY(fake->lastEvent("Welcome: Folders screen no to all")->properties.contains("selectedDropbox"));
    }

    void everythingTickedSaysYesToAll()
    {
        W *window = openAt(W::ImportPictures);
        for (int tag = 2110; tag <= 2113; ++tag)
            box(window, tag)->setChecked(true);
        window->importYesButtonHit();
        QCOMPARE(fake->custom.size(), 4);
        QCOMPARE(fake->eventNames("trackAndIncrement"),
                 (QStringList{"Welcome: Folders screen yes", "Welcome: Folders screen yes to all"}));
    }

    void photoLibraryChoice_data()
    {
        QTest::addColumn<bool>("tick");
        QTest::addColumn<bool>("removeBox");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("ticked") << true << false << true;
        QTest::newRow("unticked") << false << false << false;
        QTest::newRow("no check box counts as yes") << false << true << true;
    }
    void photoLibraryChoice()
    {
        QFETCH(bool, tick);
        QFETCH(bool, removeBox);
        QFETCH(bool, enabled);
        fake->iPhotoInstalled = true;
        fake->photosAuthAnswer = 3;
        W *window = openAt(W::ImportIPhoto);
        if (removeBox)
            delete box(window, 2110);
        else
            box(window, 2110)->setChecked(tick);
        window->importYesButtonHit();
        QCOMPARE(fake->iPhotoEnabled, enabled);
        QVERIFY(fake->eventNames().contains(enabled ? "Welcome: iPhoto screen yes" : "Welcome: iPhoto screen no"));
        QCOMPARE(fake->count("photosAuthorization"), enabled ? 1 : 0);
        QCOMPARE(fake->eventNames().contains("Welcome: iPhoto screen - Authorised Iphoto permissions yes"), enabled);
        QTRY_COMPARE(window->currentView()->objectName(), QStringLiteral("importFolderView"));
    }

    void skipAsksAndBackKeepsTheScreen()
    {
        fake->iPhotoInstalled = true;
        fake->iPhotoEnabled = true;
        W *window = openAt(W::ImportIPhoto);
        alerts->enqueue(1);
        window->importNoButtonHit_Skip();
        QCOMPARE(alerts->last().title, QStringLiteral("Skip uploading from iPhoto?"));
        QCOMPARE(alerts->last().buttons, (QStringList{"Don't Upload", "Back"}));
        QVERIFY(fake->eventNames().contains("Welcome: iPhoto screen no canceled"));
        QTest::qWait(450);
        QCOMPARE(window->currentView()->objectName(), QStringLiteral("importIPhotoView"));
        QVERIFY(fake->iPhotoEnabled);

        alerts->enqueue(0);
        window->importNoButtonHit_Skip();
        QVERIFY(fake->iPhotoEnabled); // not before 0.35 s
        QTRY_VERIFY(!fake->iPhotoEnabled);
        QTRY_COMPARE(window->currentView()->objectName(), QStringLiteral("importFolderView"));
    }

    void skipOnSummaryRemovesEveryCustomFolder()
    {
        fake->custom = {fake->pictures, "/chosen/earlier"};
        W *window = openAt(W::ImportFolder);
        alerts->enqueue(0);
        window->importNoButtonHit_Skip();
        QCOMPARE(alerts->last().title, QStringLiteral("Skip uploading from folders?"));
        QCOMPARE(alerts->last().buttons.first(), QStringLiteral("Skip"));
        QTRY_VERIFY(fake->custom.isEmpty());
        QTRY_COMPARE(window->currentView()->objectName(), QStringLiteral("setupCompleteView"));
        QTRY_VERIFY(W::hasCompletedWelcomeScreen());
    }

    void droppedFoldersAreTickedAndAddedByYesOrSkip()
    {
        const QString a = folder("trips"), b = folder("family");
        W *window = openAt(W::ImportFolder);
        // The first drop shows the list where the drop area was; the next ones land on the list.
        QVERIFY(dropOnList(window, a));
        QVERIFY(dropOnList(window, b));
        QVERIFY(dropOnList(window, a)); // twice: still one entry, ticked again
        QCOMPARE(window->foldersToAdd(), (QStringList{a, b}));
        QCOMPARE(window->selectedFoldersToAdd(), (QSet<QString>{a, b}));
        QVERIFY(alerts->requests.isEmpty());
        auto *table = window->currentView()->findChild<QTableWidget *>("importFoldersTableView");
        QCOMPARE(table->rowCount(), 2);
        QVERIFY(table->isVisibleTo(window));
        QCOMPARE(findViewWithTag<QAbstractButton>(window->currentView(), 7000)->text(), QStringLiteral("Next"));

        // Untick the second through its row's check box.
        auto *second = qobject_cast<QCheckBox *>(table->cellWidget(1, 0));
        QVERIFY(second);
        second->setChecked(false);
        QCOMPARE(window->selectedFoldersToAdd(), QSet<QString>{a});

        // With a ticked dropped folder, Skip acts as Yes and asks nothing.
        window->importNoButtonHit_Skip();
        QVERIFY(alerts->requests.isEmpty());
        QCOMPARE(fake->custom, QStringList{a});
        QVERIFY(fake->lastEvent("Welcome: Summary screen yes"));
        QTRY_COMPARE(window->currentView()->objectName(), QStringLiteral("setupCompleteView"));
    }

    void droppingFilesShowsTheAlert()
    {
        const QString dir = folder("holiday");
        const QString file = home->filePath("note.txt");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        W *window = openAt(W::ImportFolder);
        QVERIFY(window->dropPaths({dir, file}));
        QCOMPARE(window->foldersToAdd(), QStringList{dir});
        QCOMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QStringLiteral("Please drop folders, not individual files"));
        QVERIFY(!window->dropPaths({file}));
        QCOMPARE(window->foldersToAdd(), QStringList{dir});
        QCOMPARE(alerts->count(), 2);
    }

    void dropViewAcceptsOnlyExistingPaths()
    {
        const QString dir = folder("pics");
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(home->filePath("gone")), QUrl::fromLocalFile(dir)});
        QCOMPARE(WelcomeWindowControllerDropView::acceptablePaths(&data).size(), 2);
        QMimeData missing;
        missing.setUrls({QUrl::fromLocalFile(home->filePath("gone"))});
        QVERIFY(WelcomeWindowControllerDropView::acceptablePaths(&missing).isEmpty());
        QMimeData text;
        text.setText(dir);
        QVERIFY(WelcomeWindowControllerDropView::acceptablePaths(&text).isEmpty());
    }

    void droppingOnAnotherScreenAddsNothing()
    {
        W *window = openAt(W::ImportPictures);
        window->dropPaths({folder("x")});
        QVERIFY(window->foldersToAdd().isEmpty());
    }

    // The summary screen's list is the Upload pane itself, in its welcome form, showing the
    // sources chosen so far with the pane's own header, status line and buttons put away.
    void summaryHoldsTheUploadPanesWelcomeForm()
    {
        const QString scans = folder("scans");
        const QString camera = folder("camera");
        fake->custom = {scans, camera};
        fake->messagesEnabled = true;
        W *window = openAt(W::ImportFolder);
        QWidget *placeholder = window->currentView()->findChild<QWidget *>("folderPickerPlaceholder");
        QVERIFY(placeholder);
        auto *pane = placeholder->findChild<SourcesPreferencesViewController *>();
        QVERIFY(pane);
        QCOMPARE(pane, window->sourcesViewController());
        QVERIFY(pane->isWelcomeScreen());
        QCOMPARE(pane->delegate(), static_cast<SourcesPreferencesViewControllerDelegate *>(window));
        QTRY_COMPARE(pane->outlineView()->model()->rowCount(), 3);
        QCOMPARE(window->sourcesShown(), (QStringList{SourcesPreferencesViewController::messagesName(), scans, camera}));
        QStringList rows;
        for (int row = 0; row < pane->model()->rowCount(); ++row)
            rows << pane->model()->itemAt(pane->model()->index(row, 0)).name;
        QCOMPARE(rows, window->sourcesShown());
        QVERIFY(window->currentView()->findChild<QAbstractButton *>("importFoldersButton")->isEnabled());
        for (const char *name : {"headerLabel", "statusLabel", "statusLabelButton", "removeSourceButton",
                                 "removeSourceButton2", "addSourceButton", "addSourceButton2"}) {
            QWidget *outlet = pane->findChild<QWidget *>(QString::fromLatin1(name));
            QVERIFY2(outlet && outlet->isHidden(), name);
        }
        // The pane fills the placeholder, inside its one-pixel border.
        QCOMPARE(pane->geometry(), placeholder->rect().adjusted(1, 1, -1, -1));
        // A folder chosen elsewhere shows on the next refresh.
        const QString more = folder("more");
        fake->addCustomFolder(more);
        window->refreshSourcesView();
        QTRY_VERIFY(window->sourcesShown().contains(more));
    }

    void chosenFolderBecomesASource()
    {
        const QString chosen = folder("camera");
        W *window = openAt(W::ImportFolder);
        QTRY_VERIFY(window->sourcesViewController()->isVisible());
        QVERIFY(!window->currentView()->findChild<QAbstractButton *>("importFoldersButton")->isEnabled());
        chooser->enqueue({chosen, home->filePath("not-there")});
        window->currentView()->findChild<QAbstractButton *>("addFolderButton")->click();
        QVERIFY(fake->eventNames().contains("Welcome: Welcome screen add folder hit"));
        // "+" opens the embedded pane's add-source menu; "Add a folder" asks the chooser.
        triggerPopupItem(QStringLiteral("Add a folder"));
        QCOMPARE(chooser->count(), 1);
        QVERIFY(!chooser->requests.first().multiple);
        // Added through the embedded pane (on the next turn): the configuration and its list agree.
        QTRY_COMPARE(fake->customFolders(), QStringList{chosen});
        QTRY_COMPARE(window->sourcesShown(), QStringList{chosen});
        QCOMPARE(window->sourcesViewController()->outlineView()->model()->rowCount(), 1);
        QVERIFY(window->currentView()->findChild<QAbstractButton *>("importFoldersButton")->isEnabled());
        // A later gather does not lose it.
        window->refreshSourcesView();
        QTest::qWait(50);
        QTRY_COMPARE(window->sourcesShown(), QStringList{chosen});

        // A cancelled chooser changes nothing.
        window->importAddFolderButtonHit();
        triggerPopupItem(QStringLiteral("Add a folder"));
        QCOMPARE(chooser->count(), 2);
        QTest::qWait(50);
        QCOMPARE(fake->customFolders(), QStringList{chosen});
    }

    void removeButtonFollowsTheSelection()
    {
        const QString chosen = folder("scans");
        fake->custom = {chosen};
        W *window = openAt(W::ImportFolder);
        window->refreshSourcesView();
        SourcesPreferencesViewController *pane = window->sourcesViewController();
        QTRY_COMPARE(pane->outlineView()->model()->rowCount(), 1);
        auto *remove = window->currentView()->findChild<QAbstractButton *>("removeFolderButton");
        QVERIFY(remove->isHidden());
        pane->outlineView()->selectionModel()->select(pane->outlineView()->model()->index(0, 0),
                                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        QVERIFY(!remove->isHidden());

        // Cancelling the question keeps the source.
        alerts->enqueue(1);
        remove->click();
        QCOMPARE(alerts->requests.size(), 1);
        QCOMPARE(fake->customFolders(), QStringList{chosen});

        alerts->enqueue(0);
        remove->click();
        QVERIFY(fake->eventNames().contains("Welcome: Welcome screen remove folder hit"));
        QVERIFY(fake->customFolders().isEmpty());
        QTRY_VERIFY(window->sourcesShown().isEmpty());
        QVERIFY(remove->isHidden());
        QVERIFY(!window->currentView()->findChild<QAbstractButton *>("importFoldersButton")->isEnabled());
    }
};

QTEST_MAIN(TestWelcomeSources)
#include "tst_welcome_sources.moc"
