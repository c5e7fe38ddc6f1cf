// The onboarding window's choice of sources: ticking, skipping, dropping and choosing folders,
// and the sources configuration that results.
#include "FakeWelcomeServices.h"
#include "support/ScriptedModalUi.h"

#include "app/widgets/ViewTags.h"
#include "core/Settings.h"
#include "windows/onboarding/WelcomeDropView.h"
#include "windows/onboarding/WelcomeWindowController.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFile>
#include <QListWidget>
#include <QMimeData>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

using W = WelcomeWindowController;

class TestWelcomeSources : public QObject
{
    Q_OBJECT
private:
    FakeWelcomeServices *fake = nullptr;
    ScriptedAlerts *alerts = nullptr;
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

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        W::setAlphaEnvironmentAvailableForTesting(false);
    }

    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        home = new QTemporaryDir;
        fake = new FakeWelcomeServices;
        WelcomeServices::setInstance(fake);
        alerts = new ScriptedAlerts;
        Alerts::setPresenter(alerts);
        chooser = new ScriptedFolderChooser;
        FolderChoosers::setChooser(chooser);
    }

    void cleanup()
    {
        if (W *window = W::instanceNoCreate()) {
            QPointer<W> guard(window);
            W::forceClose();
            QTRY_VERIFY(!guard);
        }
        WelcomeServices::setInstance(nullptr);
        Alerts::setPresenter(nullptr);
        FolderChoosers::setChooser(nullptr);
        delete fake;
        delete alerts;
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
        QCOMPARE(window->sourcesShown(), QStringList{fake->desktop});
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
        QVERIFY(window->dropPaths({a}));
        QVERIFY(window->dropPaths({b}));
        QVERIFY(window->dropPaths({a})); // twice: still one entry, ticked again
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

    void chosenFolderBecomesASource()
    {
        const QString chosen = folder("camera");
        W *window = openAt(W::ImportFolder);
        QVERIFY(!window->currentView()->findChild<QAbstractButton *>("importFoldersButton")->isEnabled());
        chooser->enqueue({chosen});
        window->currentView()->findChild<QAbstractButton *>("addFolderButton")->click();
        QCOMPARE(chooser->count(), 1);
        QVERIFY(chooser->requests.first().multiple);
        QCOMPARE(fake->custom, QStringList{chosen});
        QCOMPARE(window->sourcesShown(), QStringList{chosen});
        QVERIFY(window->currentView()->findChild<QAbstractButton *>("importFoldersButton")->isEnabled());
        QVERIFY(fake->eventNames().contains("Welcome: Welcome screen add folder hit"));

        // A cancelled chooser changes nothing.
        window->importAddFolderButtonHit();
        QCOMPARE(fake->custom, QStringList{chosen});
    }

    void removeButtonFollowsTheSelection()
    {
        const QString chosen = folder("scans");
        fake->custom = {chosen};
        W *window = openAt(W::ImportFolder);
        window->refreshSourcesView();
        auto *remove = window->currentView()->findChild<QAbstractButton *>("removeFolderButton");
        QVERIFY(remove->isHidden());
        auto *list = window->currentView()->findChild<QListWidget *>("welcomeSourcesList");
        QVERIFY(list);
        list->setCurrentRow(0);
        QVERIFY(!remove->isHidden());
        remove->click();
        QVERIFY(fake->custom.isEmpty());
        QVERIFY(window->sourcesShown().isEmpty());
        QVERIFY(remove->isHidden());
    }
};

QTEST_MAIN(TestWelcomeSources)
#include "tst_welcome_sources.moc"
