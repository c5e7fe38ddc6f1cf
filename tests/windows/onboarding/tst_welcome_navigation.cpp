// The onboarding window's screens, navigation, waiting overlay, completion and closing.
#include "WelcomeTestFixture.h"

#include "app/widgets/SpinningProgressIndicator.h"
#include "app/widgets/ViewTags.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "windows/onboarding/WelcomeWindowController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using W = WelcomeWindowController;

class TestWelcomeNavigation : public QObject, private WelcomeTestFixture
{
    Q_OBJECT
private:

    W *open()
    {
        W::display();
        W *window = W::instanceNoCreate();
        [&] { QVERIFY(window); }();
        return window;
    }
    static void settle(W *window)
    {
        QTRY_VERIFY(!window->isSliding());
    }
    static QString screenName(W *window) { return window->currentView() ? window->currentView()->objectName() : QString(); }
    void closeQuietly() { closeWindow(); }

private Q_SLOTS:
    void initTestCase() { WelcomeTestFixture::initTestCase(); }

    void init()
    {
        WelcomeTestFixture::init();
        fake->installed = QDateTime::currentDateTimeUtc().addDays(-3);
    }

    void cleanup()
    {
        closeWindow();
        // Delayed completion steps are not tied to the window; let them land before the next test.
        QTest::qWait(50);
        WelcomeTestFixture::cleanup();
    }

    void screenListFollowsInstalledLibraries_data()
    {
        QTest::addColumn<bool>("iPhoto");
        QTest::addColumn<bool>("photos");
        QTest::addColumn<QStringList>("expected");
        const QStringList six{"welcomeView", "oAuthView", "introView", "importPicturesView", "importFolderView", "setupCompleteView"};
        QStringList seven = six;
        seven.insert(4, QStringLiteral("importIPhotoView"));
        QTest::newRow("no library") << false << false << six;
        QTest::newRow("iPhoto") << true << false << seven;
        QTest::newRow("Photos") << false << true << seven;
    }
    void screenListFollowsInstalledLibraries()
    {
        QFETCH(bool, iPhoto);
        QFETCH(bool, photos);
        QFETCH(QStringList, expected);
        fake->iPhotoInstalled = iPhoto;
        fake->photosInstalled = photos;
        W *window = open();
        QStringList names;
        for (QWidget *screen : window->importScreens())
            names << screen->objectName();
        QCOMPARE(names, expected);
        QCOMPARE(window->lastImportScreen()->objectName(), QStringLiteral("setupCompleteView"));
    }

    void firstScreenDependsOnSignInAndCompletion_data()
    {
        QTest::addColumn<bool>("authorized");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QString>("first");
        QTest::newRow("new user") << false << false << "welcomeView";
        QTest::newRow("signed in, not done") << true << false << "introView";
        QTest::newRow("signed in and done") << true << true << "setupCompleteView";
        QTest::newRow("done but signed out") << false << true << "welcomeView";
    }
    void firstScreenDependsOnSignInAndCompletion()
    {
        QFETCH(bool, authorized);
        QFETCH(bool, complete);
        QFETCH(QString, first);
        fake->authorized = authorized;
        Settings::setBool(complete, QStringLiteral("WelcomeScreenComplete"));
        W *window = open();
        QCOMPARE(screenName(window), first);
        // The first screen is placed at once, without a slide.
        QVERIFY(!window->isSliding());
        QCOMPARE(window->currentView()->geometry(), window->containerView()->rect());
        QCOMPARE(fake->count("updateUserInfo"), authorized ? 1 : 0);
        if (first == QLatin1String("setupCompleteView"))
            QTRY_COMPARE(fake->count("runQueues"), 1);
    }

    void forwardAndBackWalkTheList()
    {
        fake->authorized = true;
        fake->iPhotoInstalled = true;
        W *window = open();
        QCOMPARE(screenName(window), QStringLiteral("introView"));
        // No way back to the login screen from the introduction.
        window->advanceImportScreenReverse();
        QCOMPARE(screenName(window), QStringLiteral("introView"));

        window->advanceImportScreen();
        QVERIFY(window->isSliding());
        settle(window);
        QCOMPARE(screenName(window), QStringLiteral("importPicturesView"));
        window->advanceImportScreen();
        settle(window);
        QCOMPARE(screenName(window), QStringLiteral("importIPhotoView"));
        window->advanceImportScreenReverse();
        settle(window);
        QCOMPARE(screenName(window), QStringLiteral("importPicturesView"));
        window->advanceImportScreenReverse();
        settle(window);
        QCOMPARE(screenName(window), QStringLiteral("introView"));

        window->advanceToScreen(window->screenView(W::ImportFolder));
        settle(window);
        QVERIFY(W::reachedImportFoldersScreen());
        window->advanceImportScreen();
        settle(window);
        QCOMPARE(screenName(window), QStringLiteral("setupCompleteView"));
        window->advanceImportScreen();
        QCOMPARE(screenName(window), QStringLiteral("setupCompleteView"));
        QTRY_VERIFY(W::hasCompletedWelcomeScreen());
    }

    void backFromWelcomeOrUnlistedScreenStays()
    {
        W *window = open();
        QCOMPARE(screenName(window), QStringLiteral("welcomeView"));
        window->advanceImportScreenReverse();
        QCOMPARE(screenName(window), QStringLiteral("welcomeView"));
        window->advanceToScreen(window->screenView(W::ImportIMessage), false, false);
        window->advanceImportScreenReverse();
        QCOMPARE(screenName(window), QStringLiteral("importIMessageView"));
        // The Messages screen is not in the list, so forward has nowhere to go either.
        window->advanceImportScreen();
        QCOMPARE(screenName(window), QStringLiteral("importIMessageView"));
    }

    void showingTheCurrentScreenOrNothingChangesNothing()
    {
        W *window = open();
        const int before = int(fake->events.size());
        QSignalSpy shown(window, &W::screenShown);
        window->advanceToScreen(window->currentView());
        window->advanceToScreen(nullptr);
        QCOMPARE(shown.count(), 0);
        QCOMPARE(int(fake->events.size()), before);
    }

    void quickBackAndForthNeverLeavesTheWindowEmpty()
    {
        fake->authorized = true;
        W *window = open();
        window->advanceImportScreen();          // intro -> folders, sliding
        window->advanceImportScreenReverse();   // back before the slide ends
        window->advanceImportScreen();
        window->advanceImportScreenReverse();
        settle(window);
        QCOMPARE(screenName(window), QStringLiteral("introView"));
        QVERIFY(window->currentView()->isVisible());
        QCOMPARE(window->currentView()->geometry(), window->containerView()->rect());
        QVERIFY(!window->screenView(W::ImportPictures)->isVisible());
    }

    void screenAnalyticsAreSentOnce()
    {
        fake->authorized = true;
        fake->custom = {"/home/u/Pictures"};
        W *window = open();
        // Signed in before the window: the intro counts the login screen as seen.
        QVERIFY(fake->eventNames("once").contains("Welcome: Login screen displayed"));
        QVERIFY(fake->eventNames("once").contains("Welcome: Intro screen displayed"));
        window->advanceToScreen(window->screenView(W::ImportFolder), false, false);
        const auto *summary = fake->lastEvent("Welcome: Summary screen displayed");
        QVERIFY(summary);
        QCOMPARE(summary->properties.value("customFolders").toInt(), 1);
        QCOMPARE(summary->properties.value("sources").toInt(), 1);
    }

    void welcomeEventSkippedAfterFullReset()
    {
        Settings::setBool(true, QStringLiteral("AppEverReset"));
        open();
        QVERIFY(!fake->eventNames().contains("Welcome: Welcome screen displayed"));
    }

    void displayTwiceKeepsOneWindow()
    {
        W *window = open();
        const int events = int(fake->eventNames().count("Welcome: Welcome screen displayed"));
        QCOMPARE(events, 2); // once-ever and the counter
        W::display();
        QTest::qWait(20);
        QCOMPARE(W::instanceNoCreate(), window);
        QCOMPARE(int(fake->eventNames().count("Welcome: Welcome screen displayed")), events);
        int windows = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (qobject_cast<W *>(top))
                ++windows;
        QCOMPARE(windows, 1);

        // A minimised window comes back: the tray's sign-in command must show something.
        window->showMinimized();
        QTRY_VERIFY(window->windowState() & Qt::WindowMinimized);
        W::display();
        QTRY_VERIFY(!(window->windowState() & Qt::WindowMinimized));
        QVERIFY(window->isVisible());
    }

    void doneScreenCompletesOnboardingAfterADelay()
    {
        fake->authorized = true;
        W *window = open();
        window->advanceToScreen(window->screenView(W::SetupComplete));
        QVERIFY(!W::hasCompletedWelcomeScreen());
        QTRY_VERIFY(W::hasCompletedWelcomeScreen());
        QTRY_COMPARE(fake->count("runQueues"), 1);
        QCOMPARE(fake->count("runScanLoop"), 1);
        QCOMPARE(fake->count("runMetaSyncer"), 1);
        QCOMPARE(fake->count("refreshReportingMetrics"), 1);
        const auto *complete = fake->lastEvent("Welcome: Welcome screen complete");
        QVERIFY(complete);
        QCOMPARE(complete->properties.value("daysSinceStarted").toInt(), 3);
        QCOMPARE(fake->lastEvent("Welcome: Days to complete setup")->value.toInt(), 3);
        // The done screen's texts: one line break where the phrase has two.
        auto *description = findViewWithTag<QLabel>(window->currentView(), 6625);
        QVERIFY(description);
        QCOMPARE(description->text(), QStringLiteral("We'll begin uploading right away.\nTo view status, use the tray icon."));
        QCOMPARE(findViewWithTag<QLabel>(window->currentView(), 9923)->text(), QStringLiteral("Thanks!"));
    }

    void doneButtonClosesThenRunsQueuesThenOpensPreferences()
    {
        fake->authorized = true;
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        W *window = open();
        QPointer<W> guard(window);
        QTRY_COMPARE(fake->count("runQueues"), 1); // the done screen's own run
        QElapsedTimer clock;
        clock.start();
        auto *done = window->currentView()->findChild<QAbstractButton *>("doneButton");
        QVERIFY(done);
        done->click();
        QTRY_VERIFY(!guard);
        QCOMPARE(fake->count("hideDock"), 1);
        QCOMPARE(fake->count("quit"), 0);
        QVERIFY(alerts->requests.isEmpty());
        QCOMPARE(fake->count("runScanLoop"), 2);
        QTRY_COMPARE(fake->count("runQueues"), 2);
        QVERIFY(clock.elapsed() >= 180);
        QCOMPARE(fake->count("openPreferences"), 0);
        QTRY_COMPARE(fake->count("openPreferences"), 1);
        QVERIFY(clock.elapsed() >= 650);
    }

    void closingEarlyAsksWhetherToQuitSetup()
    {
        W *window = open();
        QPointer<W> guard(window);
        alerts->enqueue(1); // Back
        window->close();
        QCOMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QStringLiteral("Quit Lumora Hoistly Setup?"));
        QCOMPARE(alerts->last().buttons, (QStringList{"Quit Setup", "Back"}));
        QCOMPARE(alerts->last().message, QStringLiteral("You'll need to re-open Lumora Hoistly later to restart setup."));
        QTest::qWait(20);
        QVERIFY(guard);
        QVERIFY(window->isVisible());
        QCOMPARE(fake->count("quit"), 0);

        alerts->enqueue(0); // Quit Setup
        window->close();
        QTRY_VERIFY(!guard);
        QCOMPARE(fake->count("quit"), 1);
        QCOMPARE(fake->count("hideDock"), 0);
        QVERIFY(fake->eventNames("once").contains("Misc: Exited Setup"));
        QVERIFY(!W::hasCompletedWelcomeScreen());
        QVERIFY(!W::instanceNoCreate());
    }

    void closingAfterCompletionHidesTheDockIcon()
    {
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        W *window = open();
        QPointer<W> guard(window);
        window->close();
        QTRY_VERIFY(!guard);
        QVERIFY(alerts->requests.isEmpty());
        QCOMPARE(fake->count("hideDock"), 1);
        QCOMPARE(fake->count("quit"), 0);
    }

    void forceCloseNeverMarksOnboardingComplete()
    {
        W *window = open();
        QPointer<W> guard(window);
        bool completeWhileClosing = true;
        fake->onHideDock = [&] { completeWhileClosing = Settings::boolForKey(QStringLiteral("WelcomeScreenComplete")); };
        W::forceClose();
        QTRY_VERIFY(!guard);
        QCOMPARE(fake->count("hideDock"), 1);
        QCOMPARE(fake->count("quit"), 0);
        QVERIFY(!completeWhileClosing);
        QVERIFY(!W::hasCompletedWelcomeScreen());
        QCOMPARE(fake->count("runScanLoop"), 0);
        QVERIFY(alerts->requests.isEmpty());
        // Harmless without a window.
        W::forceClose();
        W::stopKeepingOnTop();
        QVERIFY(!W::welcomeWindowController());
    }

    void stopKeepingOnTopLowersTheWindow()
    {
        W *window = open();
        QVERIFY(window->windowFlags() & Qt::WindowStaysOnTopHint);
        W::stopKeepingOnTop();
        QVERIFY(!(window->windowFlags() & Qt::WindowStaysOnTopHint));
        QVERIFY(window->isVisible());
    }

    void waitingOverlay()
    {
        W *window = open();
        window->setWaitingViewActive(true);
        QVERIFY(window->waitingViewActive());
        QVERIFY(window->isOverlayShown());
        window->setWaitingViewActive(true); // no change
        window->setWaitingViewActive(false);
        QVERIFY(window->isOverlayShown()); // still fading
        QTRY_VERIFY(!window->isOverlayShown());
        // Off, then on again within the fade: the overlay stays.
        window->setWaitingViewActive(true);
        window->setWaitingViewActive(false);
        window->setWaitingViewActive(true);
        QTest::qWait(600);
        QVERIFY(window->isOverlayShown());
        QVERIFY(window->waitingViewActive());
    }

    void waitingOverlaySpinsWhileUp()
    {
        W *window = open();
        auto *spinner = window->findChild<SpinningProgressIndicator *>(QStringLiteral("loginWaitingSpinner"));
        QVERIFY(spinner);
        QCOMPARE(spinner->color(), QColor(Qt::white));
        QVERIFY(!spinner->usesThreadedAnimation());
        QVERIFY(!spinner->isAnimating());
        window->setWaitingViewActive(true);
        QVERIFY(spinner->isVisible());
        QVERIFY(spinner->isAnimating());
        QVERIFY(spinner->isTimerRunning());
        const int position = spinner->position();
        QTRY_VERIFY(spinner->position() != position); // the timer turns it
        // Minimised and restored while it waits, the window spins on.
        window->showMinimized();
        window->showNormal();
        QVERIFY(spinner->isTimerRunning());
        QWidget *overlay = spinner->parentWidget();
        QCOMPARE(spinner->geometry().center(), overlay->rect().center());
        window->setWaitingViewActive(false);
        QTRY_VERIFY(!window->isOverlayShown());
        QVERIFY(!spinner->isAnimating());
        QVERIFY(!spinner->isTimerRunning());
        // Up again: it spins again.
        window->setWaitingViewActive(true);
        QVERIFY(spinner->isAnimating());
        QVERIFY(spinner->isTimerRunning());
    }

    void photosOrIPhoto_data()
    {
        QTest::addColumn<bool>("photosLibrary");
        QTest::addColumn<QString>("iPhotoPath");
        QTest::addColumn<QString>("aperturePath");
        QTest::addColumn<bool>("expected");
        QTest::newRow("Photos only") << true << "" << "" << true;
        QTest::newRow("migrated iPhoto") << true << "/x/iPhoto Library.migratedphotolibrary/AlbumData.xml" << "" << true;
        QTest::newRow("migrated Aperture") << true << "/x/iPhoto/AlbumData.xml" << "/x/Lib.migratedaplibrary" << true;
        QTest::newRow("ordinary iPhoto") << true << "/x/iPhoto Library/AlbumData.xml" << "" << false;
        QTest::newRow("no Photos library") << false << "" << "" << false;
    }
    void photosOrIPhoto()
    {
        QFETCH(bool, photosLibrary);
        QFETCH(QString, iPhotoPath);
        QFETCH(QString, aperturePath);
        QFETCH(bool, expected);
        QTemporaryDir dir;
        fake->photosDir = photosLibrary ? dir.path() : dir.path() + "/missing";
        fake->iPhotoDir = iPhotoPath;
        fake->apertureDir = aperturePath;
        W *window = open();
        QCOMPARE(window->usingOSXPhotos(), expected);
        auto *heading = findViewWithTag<QLabel>(window->screenView(W::ImportIPhoto), 9923);
        QCOMPARE(heading->text(), expected ? QStringLiteral("Upload from \"Photos\"") : QStringLiteral("Upload from iPhoto"));
        auto *option = findViewWithTag<QCheckBox>(window->screenView(W::ImportIPhoto), 2110);
        QCOMPARE(option->text(), expected ? QStringLiteral("Upload Photos library") : QStringLiteral("Upload iPhoto library"));
    }

    void standardFoldersInTwoColumns()
    {
        fake->authorized = true;
        W *window = open();
        window->advanceImportScreen();
        settle(window);
        QWidget *screen = window->currentView();
        QCOMPARE(screen->objectName(), QStringLiteral("importPicturesView"));
        QCheckBox *box[5];
        const char *titles[5] = {"Pictures", "Desktop", "Downloads", "Documents", "Dropbox"};
        for (int i = 0; i < 5; ++i) {
            box[i] = findViewWithTag<QCheckBox>(screen, 2110 + i);
            QVERIFY(box[i]);
            QCOMPARE(box[i]->text(), QString::fromLatin1(titles[i]));
            QVERIFY(!box[i]->isChecked());
        }
        QVERIFY(box[4]->isHidden());
        QCOMPARE(box[0]->x(), box[1]->x());
        QCOMPARE(box[2]->x(), box[3]->x());
        QCOMPARE(box[2]->x() - (box[0]->x() + box[0]->width()), 40);
        // Centred as a group.
        const int left = box[0]->x();
        const int right = screen->width() - (box[2]->x() + box[2]->width());
        QVERIFY(qAbs(left - right) <= 1);
    }

    void translatedInterfaceWidensAndJoins()
    {
        fake->localizedUI = true;
        fake->translations = {{"Pictures folder", "Bilder-Ordner"},
                              {"Upload my iPhoto library", "Meine iPhoto-Mediathek hochladen"}};
        W *window = open();
        QCOMPARE(window->width(), 628);
        auto *option = findViewWithTag<QCheckBox>(window->screenView(W::ImportIPhoto), 2110);
        QCOMPARE(option->text(), QStringLiteral("Meine iPhoto-Mediathek hochladen"));
        auto *pictures = findViewWithTag<QCheckBox>(window->screenView(W::ImportPictures), 2110);
        QCOMPARE(pictures->text(), QStringLiteral("Bilder-Ordner"));
        auto *description = findViewWithTag<QLabel>(window->screenView(W::ImportIPhoto), 6625);
        QVERIFY(!description->text().contains('\n'));
        QVERIFY(findViewWithTag<QWidget>(window->screenView(W::Intro), 99001)->isHidden());
    }

    void engineHooksAnswerFromTheWindowClass()
    {
        W::installEngineHooks();
        QVERIFY(!UiHooks::instance().hasCompletedWelcomeScreen());
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        QVERIFY(UiHooks::instance().hasCompletedWelcomeScreen());
        QVERIFY(UiHooks::instance().reachedImportFoldersScreen());
    }

    // Not a check: with HOISTLY_SCREENSHOT_DIR set, every screen is saved as a picture.
    void screenshots()
    {
        const QString dir = qEnvironmentVariable("HOISTLY_SCREENSHOT_DIR");
        if (dir.isEmpty())
            QSKIP("HOISTLY_SCREENSHOT_DIR not set");
        fake->iPhotoInstalled = true;
        fake->custom = {"/home/u/Pictures", "/home/u/Desktop"};
        W *window = open();
        for (int s = 0; s < W::ScreenCount; ++s) {
            window->advanceToScreen(window->screenView(W::Screen(s)), false, false);
            QTest::qWait(100);
            window->grab().save(QDir(dir).filePath(QStringLiteral("onboarding-%1-%2.png").arg(s).arg(window->currentView()->objectName())));
        }
        window->advanceToScreen(window->screenView(W::Welcome), false, false);
        window->setWaitingViewActive(true);
        QTest::qWait(600);
        window->grab().save(QDir(dir).filePath(QStringLiteral("onboarding-overlay.png")));
    }
};

QTEST_MAIN(TestWelcomeNavigation)
#include "tst_welcome_navigation.moc"
