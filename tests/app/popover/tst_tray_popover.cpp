// The tray popover against a scripted engine: opening and closing, observers only while shown,
// the status row and files-to-go count, rows of thumbnails and the height they give, the grid's
// places and dimming, thumbnail clicks, and the pause, configuration and account menus.
#include "PopoverTestSupport.h"

#include "app/menubar/RecentUploadsGrid.h"
#include "app/menubar/TrayMenuController.h"
#include "app/menubar/TrayPopoverView.h"
#include "app/widgets/SmallViews.h"
#include "core/NotificationCenter.h"
#include "support/ScriptedModalUi.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStyleHints>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

static const QString kBase = QStringLiteral("http://127.0.0.1:9");

// A translation whose every phrase is much longer than the English one.
struct LongPhrases : QTranslator
{
    bool isEmpty() const override { return false; }
    QString translate(const char *, const char *source, const char *, int) const override
    {
        return QStringLiteral("Much longer phrase: %1, as translated").arg(QString::fromUtf8(source));
    }
};

// Names every object that receives a timer event while it lives (animations tick through the
// animation driver's timer, so a running one shows up here too).
struct TimerEventCounter : QObject
{
    QStringList receivers;
    TimerEventCounter() { qApp->installEventFilter(this); }
    ~TimerEventCounter() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Timer)
            receivers << QString::fromLatin1(watched->metaObject()->className());
        return false;
    }
};

class TestTrayPopover : public QObject
{
    Q_OBJECT
    FakePopoverWorld *world = nullptr;
    RecordingUrlOpener *opener = nullptr;
    TrayMenuController *controller = nullptr;

    QRect topIcon() const
    {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        return QRect(screen.center().x(), screen.top(), 24, 24);
    }
    TrayMenuView *view() const { return controller->trayMenuView(); }
    void settle()
    {
        // Lets deferred steps (next turn of the main queue) run.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        qputenv("HOISTLY_SERVICE_URL", kBase.toUtf8());
        TrayMenuController::setExpandDelayForTesting(0.0);
        // Continuous integration runs these cases on a real X display, not off screen.
        if (qgetenv("CI") == "true")
            QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    }

    void init()
    {
        world = new FakePopoverWorld;
        world->install();
        opener = new RecordingUrlOpener;
        UrlOpeners::setOpener(opener);
        controller = new TrayMenuController(nullptr);
    }

    void cleanup()
    {
        delete controller;
        UrlOpeners::setOpener(nullptr);
        delete opener;
        TrayPopoverServices::reset();
        delete world;
    }

    void defaultServicesReachTheEngine()
    {
        TrayPopoverServices real = TrayPopoverServices::makeDefaults();
        QCOMPARE(real.alphaOrWWW(), QStringLiteral("www"));
        QVERIFY(real.userImageFilePath().endsWith(QStringLiteral("/Cache/UserImage.jpg")));
        QVERIFY(real.userCoverImageFilePath().endsWith(QStringLiteral("/Cache/UserCover.jpg")));
        QVERIFY(real.recentUploads().isEmpty()); // a fresh test home has no uploads
        QVERIFY(real.imageForRecentUpload(QString()).isNull());
        QVERIFY(!real.paused());
    }

    void openAndCloseRules()
    {
        QSignalSpy shown(controller, &TrayMenuController::shownChanged);
        QVERIFY(!controller->isShown());
        controller->showRelativeTo(topIcon());
        QVERIFY(controller->isShown());
        QVERIFY(controller->popoverVisible());
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.last().first().toBool(), true);
        QWidget *window = controller->popoverWindow();
        QVERIFY(window->geometry().top() >= topIcon().bottom()); // under the icon
        QVERIFY(window->windowFlags().testFlag(Qt::Popup));

        // A press inside keeps it open.
        QMouseEvent inside(QEvent::MouseButtonPress, QPointF(50, 150), window->mapToGlobal(QPointF(50, 150)),
                           Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &inside);
        QVERIFY(controller->isShown());

        // A press outside closes it.
        const QPointF outsideLocal(-40, -10);
        QMouseEvent outside(QEvent::MouseButtonPress, outsideLocal, window->mapToGlobal(outsideLocal),
                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &outside);
        QTRY_VERIFY(!controller->isShown());
        QCOMPARE(shown.last().first().toBool(), false);
        QVERIFY(!controller->popoverVisible());

        controller->showRelativeTo(topIcon());
        QVERIFY(controller->isShown());
        controller->close();
        QVERIFY(!controller->isShown());
        QCOMPARE(shown.size(), 4);
    }

    void pressOnTheIconThatClosedItDoesNotReopen()
    {
        controller->showRelativeTo(topIcon());
        // A later click: one within a double-click's time belongs to the gesture that opened it.
        QTest::qWait(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 50);
        QWidget *window = controller->popoverWindow();
        const QPoint iconCentre = topIcon().center();
        const QPointF local = window->mapFromGlobal(QPointF(iconCentre));
        QMouseEvent press(QEvent::MouseButtonPress, local, QPointF(iconCentre), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &press);
        QTRY_VERIFY(!controller->isShown());
        // The tray reports the same click: it closed the popover, so it does not open it again,
        // and the owner hears that it stays closed.
        QSignalSpy shown(controller, &TrayMenuController::shownChanged);
        controller->showRelativeTo(topIcon());
        QVERIFY(!controller->isShown());
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first().first().toBool(), false);
        // A press elsewhere does not hold a later click on the icon back.
        const QRect elsewhere(topIcon().translated(-300, 0));
        controller->showRelativeTo(elsewhere);
        QVERIFY(controller->isShown());
    }

    void aboveAPanelAtTheBottomKeepsTheBottomEdge()
    {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const QRect icon(screen.center().x(), screen.bottom() - 24, 24, 24);
        for (int i = 0; i < 10; ++i)
            world->addUpload(QStringLiteral("/p/%1.jpg").arg(i), 100 + i);
        controller->showRelativeTo(icon);
        QWidget *window = controller->popoverWindow();
        QVERIFY(window->geometry().bottom() < icon.top());
        const int bottom = window->geometry().bottom();
        QTRY_COMPARE(window->height(), 352); // grew to two rows
        QCOMPARE(window->geometry().bottom(), bottom);
        QVERIFY(window->geometry().left() >= screen.left());
    }

    void observersOnlyWhileShown()
    {
        QCOMPARE(controller->observerCount(), 0);
        controller->showRelativeTo(topIcon());
        QCOMPARE(controller->observerCount(), 3);
        world->statusLine = QStringLiteral("Uploading 2 of 9");
        NotificationCenter::post(Notifications::StatusUpdated);
        QCOMPARE(view()->statusTextFieldNoIcon()->text(), QStringLiteral("Uploading 2 of 9"));
        controller->close();
        QCOMPARE(controller->observerCount(), 0);
        world->statusLine = QStringLiteral("Changed while hidden");
        world->paused = true;
        NotificationCenter::post(Notifications::StatusUpdated);
        NotificationCenter::post(Notifications::PausedStateChanged);
        QCOMPARE(view()->statusTextFieldNoIcon()->text(), QStringLiteral("Uploading 2 of 9"));
        QCOMPARE(view()->statusPlayPauseButton()->property("imageName").toString(), QStringLiteral("TrayPause"));
        // The next appearance reloads everything.
        controller->showRelativeTo(topIcon());
        QCOMPARE(view()->statusTextFieldNoIcon()->text(), QStringLiteral("Changed while hidden"));
        QCOMPARE(view()->statusPlayPauseButton()->property("imageName").toString(), QStringLiteral("TrayPlay"));
    }

    void statusRowFollowsTheEngine()
    {
        world->filesToUpload = 7;
        controller->showRelativeTo(topIcon());
        QCOMPARE(view()->uploadQueueStatusField()->text(), QStringLiteral("7 to go"));
        // No flags: only the plain field.
        QVERIFY(view()->statusTextFieldNoIcon()->isVisibleTo(view()));
        QVERIFY(!view()->statusIconView()->isVisibleTo(view()));
        QVERIFY(!view()->statusProgressBarView()->isVisibleTo(view()));
        QVERIFY(!view()->statusTextField()->isVisibleTo(view()));

        world->running = true;
        world->percent = 0.5;
        world->statusLine = QStringLiteral("Uploading IMG_0001.JPG");
        world->filesToUpload = 6;
        NotificationCenter::post(Notifications::StatusUpdated);
        QCOMPARE(view()->uploadQueueStatusField()->text(), QStringLiteral("6 to go"));
        // Written as the status line beside it writes numbers, in the user's locale.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        world->filesToUpload = 1234;
        NotificationCenter::post(Notifications::StatusUpdated);
        QLocale::setDefault(QLocale::c());
        QCOMPARE(view()->uploadQueueStatusField()->text(), QStringLiteral("1,234 to go"));
        world->filesToUpload = 6;
        NotificationCenter::post(Notifications::StatusUpdated);
        QCOMPARE(view()->statusTextField()->text(), QStringLiteral("Uploading IMG_0001.JPG"));
        QVERIFY(view()->statusTextField()->isVisibleTo(view()));
        QVERIFY(!view()->statusTextFieldNoIcon()->isVisibleTo(view()));
        TrayStatusIconView *icon = view()->statusIconView();
        QCOMPARE(icon->imageName(), QStringLiteral("TraySyncing"));
        QVERIFY(icon->isSpinning());
        QCOMPARE(view()->statusProgressBarView()->width(), view()->width() / 2);

        // The same icon again does not restart its spin.
        const int starts = icon->spinStarts();
        world->percent = 0.75;
        NotificationCenter::post(Notifications::StatusUpdated);
        QCOMPARE(icon->spinStarts(), starts);
        QCOMPARE(view()->statusProgressBarView()->width(), qRound(view()->width() * 0.75));

        world->running = false;
        world->complete = true;
        world->percent = 1.0;
        NotificationCenter::post(Notifications::StatusUpdated);
        QCOMPARE(icon->imageName(), QStringLiteral("TrayComplete"));
        QVERIFY(!icon->isSpinning());
        QCOMPARE(view()->statusProgressBarView()->width(), view()->width());

        world->complete = false;
        world->scanning = true;
        NotificationCenter::post(Notifications::StatusUpdated);
        QCOMPARE(icon->imageName(), QStringLiteral("TrayScanning"));
        QVERIFY(icon->isSpinning());
    }

    void pausedStateAndItsButton()
    {
        controller->showRelativeTo(topIcon());
        QPushButton *button = view()->statusPlayPauseButton();
        QCOMPARE(button->toolTip(), QStringLiteral("Pause uploading"));
        button->click();
        QMenu *menu = controller->lastMenu();
        QVERIFY(menu);
        QStringList titles;
        for (QAction *a : menu->actions()) {
            titles << a->text();
            QVERIFY(a->isEnabled());
        }
        QCOMPARE(titles, (QStringList{QStringLiteral("For 1 hour"), QStringLiteral("For 8 hours"), QStringLiteral("For 24 hours"),
                                      QStringLiteral("For 1 week"), QStringLiteral("Until I resume")}));
        menu->actions().at(1)->trigger();
        QCOMPARE(world->commands, QStringList{QStringLiteral("pause8h")});
        QVERIFY(controller->isShown()); // the menu does not close the popover
        menu->close();

        // What the status offers to try again (a folder that could not be read) comes first.
        world->retryOffered = true;
        button->click();
        QCOMPARE(controller->lastMenu()->actions().first()->text(), QStringLiteral("Try again"));
        controller->lastMenu()->actions().first()->trigger();
        QCOMPARE(world->commands.last(), QStringLiteral("refresh"));
        controller->lastMenu()->close();

        // Paused after errors: play image, and the button refreshes.
        world->pausedDueToError = true;
        NotificationCenter::post(Notifications::PausedStateChanged);
        QCOMPARE(button->property("imageName").toString(), QStringLiteral("TrayPlay"));
        QCOMPARE(button->toolTip(), QStringLiteral("Resume uploading"));
        button->click();
        QCOMPARE(world->commands.last(), QStringLiteral("refresh"));
        world->paused = true;
        button->click();
        QCOMPARE(world->commands.last(), QStringLiteral("resume"));
    }

    void configurationAndAccountMenus()
    {
        QMenu appMenu;
        appMenu.addAction(QStringLiteral("Preferences…"));
        world->statusBarMenu = &appMenu;
        controller->showRelativeTo(topIcon());
        view()->statusConfigButton()->click();
        QCOMPARE(controller->lastMenu(), &appMenu);
        QVERIFY(world->analytics.contains(QStringLiteral("track:Tray: Config hit:1")));
        QVERIFY(world->analytics.contains(QStringLiteral("set:Misc: Last interaction")));
        appMenu.close();

        world->authorized = false;
        world->analytics.clear();
        view()->avatarButtonView()->click();
        QCOMPARE(controller->lastMenu(), &appMenu); // nothing new while nobody is signed in
        QVERIFY(world->analytics.isEmpty());

        world->authorized = true;
        view()->avatarButtonView()->click();
        QMenu *account = controller->lastMenu();
        QVERIFY(account && account != &appMenu);
        QCOMPARE(account->actions().size(), 2);
        QCOMPARE(account->actions().at(0)->text(), QStringLiteral("Camera Roll"));
        QVERIFY(world->analytics.contains(QStringLiteral("increment:Tray: Avatar hit")));
        account->actions().at(1)->trigger();
        QCOMPARE(opener->last().toString(), kBase + QStringLiteral("/photos/lumora-30571942/sets"));
        account->actions().at(0)->trigger();
        QCOMPARE(opener->last().toString(), kBase + QStringLiteral("/cameraroll"));
        QVERIFY(world->analytics.contains(QStringLiteral("track:Tray: Open albums:1")));
    }

    void webLinks()
    {
        controller->showRelativeTo(topIcon());
        QTest::mouseClick(view()->recentUploadsLinkField(), Qt::LeftButton);
        QCOMPARE(opener->last().toString(), kBase + QStringLiteral("/photos/lumora-30571942"));
        QVERIFY(world->analytics.contains(QStringLiteral("increment:Tray: Open recent uploads")));
        controller->openMapHit();
        QCOMPARE(opener->last().toString(), kBase + QStringLiteral("/photos/lumora-30571942/map"));
        controller->openRecentActivityHit();
        QCOMPARE(opener->last().toString(), kBase + QStringLiteral("/activity"));
        QVERIFY(world->analytics.contains(QStringLiteral("increment:Tray: Open recent activity")));
        // An id with a path separator stays one path segment.
        world->userId = QStringLiteral("a/b?c");
        controller->openPhotostreamHit();
        QCOMPARE(opener->last().path(QUrl::FullyEncoded), QStringLiteral("/photos/a%2Fb%3Fc"));
        QVERIFY(opener->last().query().isEmpty());
    }

    void userInformation()
    {
        QTemporaryDir dir;
        QImage avatar(80, 80, QImage::Format_RGB32);
        avatar.fill(Qt::red);
        QImage cover(1000, 200, QImage::Format_RGB32);
        cover.fill(Qt::blue);
        world->avatarPath = dir.filePath(QStringLiteral("UserImage.jpg"));
        world->coverPath = dir.filePath(QStringLiteral("UserCover.jpg"));
        QVERIFY(avatar.save(world->avatarPath));
        QVERIFY(cover.save(world->coverPath));
        controller->showRelativeTo(topIcon());
        QCOMPARE(view()->userNameTextField()->text(), QStringLiteral("Hoistly Tester"));
        QCOMPARE(view()->avatarImageView()->image().size(), QSize(80, 80));
        // Aspect-filled to the cover view's size: 360x100 from 1000x200 -> 500x100.
        QCOMPARE(view()->coverPhotoImageView()->pixmap().size(), QSize(500, 100));
        controller->close();

        // Shown images stay while valid; names follow the account.
        QFile::remove(world->avatarPath);
        world->fullName.clear();
        controller->showRelativeTo(topIcon());
        QCOMPARE(view()->userNameTextField()->text(), QStringLiteral("hoistlytester"));
        QCOMPARE(view()->avatarImageView()->image().size(), QSize(80, 80));
        controller->close();
        world->userName.clear();
        controller->showRelativeTo(topIcon());
        QCOMPARE(view()->userNameTextField()->text(), QStringLiteral("Not logged in"));
    }

    void firstOpeningShowsNoRows()
    {
        for (int i = 0; i < 12; ++i)
            world->addUpload(QStringLiteral("/p/%1.jpg").arg(i), 100 + i);
        TrayMenuController::setExpandDelayForTesting(3600); // hold the first growth back
        controller->showRelativeTo(topIcon());
        TrayMenuController::setExpandDelayForTesting(0.0);
        QCOMPARE(controller->popoverWindow()->height(), 190);
        QCOMPARE(view()->recentUploadRowsVisible(), 0.0);
        // Only the ten newest are shown.
        QCOMPARE(controller->contents().size(), 10);
        QCOMPARE(controller->contents().first(), world->recent.first());
        QCOMPARE(controller->contents().last(), world->recent.at(9));
        QVERIFY(!controller->allowExpand());
    }

    void growthAfterFirstAppearance_data()
    {
        QTest::addColumn<int>("uploads");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("height");
        QTest::newRow("none") << 0 << 0 << 190;
        QTest::newRow("one") << 1 << 1 << 292;
        QTest::newRow("five") << 5 << 1 << 292;
        QTest::newRow("six") << 6 << 2 << 352;
        QTest::newRow("ten") << 10 << 2 << 352;
        QTest::newRow("twelve") << 12 << 2 << 352;
    }
    void growthAfterFirstAppearance()
    {
        QFETCH(int, uploads);
        QFETCH(int, rows);
        QFETCH(int, height);
        for (int i = 0; i < uploads; ++i)
            world->addUpload(QStringLiteral("/p/%1.jpg").arg(i), 100 + i);
        controller->showRelativeTo(topIcon());
        QTRY_VERIFY(controller->allowExpand());
        QCOMPARE(view()->recentUploadRowsVisible(), double(rows));
        QTRY_COMPARE(controller->popoverWindow()->height(), height);
        QTRY_VERIFY(!view()->isAnimatingHeight());
        QCOMPARE(controller->popoverWindow()->width(), 360);
    }

    void heightRules()
    {
        QCOMPARE(TrayMenuView::easeOut(0.0, 0, 1, 1), 0.0);
        QCOMPARE(TrayMenuView::easeOut(0.25, 0, 1, 1), 0.125);
        QCOMPARE(TrayMenuView::easeOut(0.5, 0, 1, 1), 0.5);
        QCOMPARE(TrayMenuView::easeOut(0.75, 0, 1, 1), 0.875);
        QCOMPARE(TrayMenuView::easeOut(1.0, 0, 1, 1), 1.0);

        controller->showRelativeTo(topIcon());
        QTRY_VERIFY(controller->allowExpand());
        TrayMenuView *v = view();
        QWidget *window = controller->popoverWindow();
        v->setRecentUploadRowsVisible(2, true);
        QVERIFY(v->isAnimatingHeight());
        // A non-animated change in the middle stops the animation at the new target.
        v->setRecentUploadRowsVisible(1, false);
        QVERIFY(!v->isAnimatingHeight());
        QCOMPARE(window->height(), 292);
        QTest::qWait(50);
        QCOMPARE(window->height(), 292);
        // The same count again does nothing.
        window->resize(360, 250);
        v->setRecentUploadRowsVisible(1, true);
        QCOMPARE(window->height(), 250);
        QVERIFY(!v->isAnimatingHeight());
    }

    void gridPlacesAndDimming()
    {
        QCOMPARE(TrayMenuPhotoContainer::originForIndex(0), QPoint(0, 0));
        QCOMPARE(TrayMenuPhotoContainer::originForIndex(4), QPoint(264, 0));
        QCOMPARE(TrayMenuPhotoContainer::originForIndex(5), QPoint(0, 66));
        QCOMPARE(TrayMenuPhotoContainer::originForIndex(9), QPoint(264, 66));

        world->addUpload(QStringLiteral("/p/a.jpg"), 11);
        world->addUpload(QStringLiteral("/p/b.jpg"), 0); // not finished by the service yet
        world->addUpload(QStringLiteral("/p/c.jpg"), 33);
        world->thumbnails.remove(QStringLiteral("/p/c.jpg")); // never got a thumbnail
        world->addUpload(QStringLiteral("/p/d.jpg"), 44);
        world->photoIds.remove(QStringLiteral("/p/d.jpg")); // no catalogue record
        world->addUpload(QStringLiteral("/p/e.jpg"), 55);
        // Order: e d c b a
        TrayMenuPhotoContainer grid;
        grid.setContents(world->recent);
        QCOMPARE(grid.visiblePaths().size(), 3);
        QVERIFY(!grid.cellForPath(QStringLiteral("/p/c.jpg")));
        QVERIFY(!grid.cellForPath(QStringLiteral("/p/d.jpg")));
        QCOMPARE(grid.cellForPath(QStringLiteral("/p/e.jpg"))->pos(), QPoint(0, 0));
        QCOMPARE(grid.cellForPath(QStringLiteral("/p/b.jpg"))->pos(), QPoint(198, 0)); // keeps index 3
        QCOMPARE(grid.cellForPath(QStringLiteral("/p/a.jpg"))->pos(), QPoint(264, 0));
        TrayMenuPhotoContainerButton *unfinished = grid.cellForPath(QStringLiteral("/p/b.jpg"));
        QCOMPARE(unfinished->alphaValue(), 0.25);
        QVERIFY(unfinished->disableHandCursor());
        QCOMPARE(grid.cellForPath(QStringLiteral("/p/a.jpg"))->alphaValue(), 1.0);

        // A click on the unfinished one does nothing; on a finished one it opens the photo.
        unfinished->click();
        QVERIFY(opener->opened.isEmpty());
        grid.cellForPath(QStringLiteral("/p/a.jpg"))->click();
        QCOMPARE(opener->last().toString(), kBase + QStringLiteral("/photos/lumora-30571942/11"));
        QVERIFY(world->analytics.contains(QStringLiteral("increment:Tray: Clicked on recent photo")));
        // Without a signed-in account nothing opens.
        world->userId.clear();
        grid.cellForPath(QStringLiteral("/p/e.jpg"))->click();
        QCOMPARE(opener->opened.size(), 1);
        world->userId = QStringLiteral("lumora-30571942");

        // The service finishes the photo: the next update brings it to full opacity.
        world->photoIds[QStringLiteral("/p/b.jpg")] = 22;
        grid.setContents(world->recent);
        QCOMPARE(unfinished->alphaValue(), 1.0);
        QVERIFY(!unfinished->disableHandCursor());
        // A thumbnail that is written after its path was listed fills the place at the next
        // update, at the place of its index; so does a record that arrives late.
        world->thumbnails.insert(QStringLiteral("/p/c.jpg"), QImage(56, 56, QImage::Format_RGB32));
        grid.setContents(world->recent);
        QVERIFY(grid.cellForPath(QStringLiteral("/p/c.jpg")));
        QCOMPARE(grid.cellForPath(QStringLiteral("/p/c.jpg"))->pos(), QPoint(132, 0));
        world->photoIds.insert(QStringLiteral("/p/d.jpg"), 44);
        grid.setContents(world->recent, true);
        QVERIFY(grid.cellForPath(QStringLiteral("/p/d.jpg")));
        QCOMPARE(grid.cellForPath(QStringLiteral("/p/d.jpg"))->pos(), QPoint(66, 0));
        QTRY_VERIFY(!grid.isAnimating());
        QCOMPARE(grid.cellForPath(QStringLiteral("/p/d.jpg"))->alphaValue(), 1.0); // faded in
        QCOMPARE(grid.visiblePaths().size(), 5);
        // The same contents again change nothing.
        const auto before = grid.findChildren<TrayMenuPhotoContainerButton *>().size();
        grid.setContents(world->recent, true);
        QCOMPARE(grid.findChildren<TrayMenuPhotoContainerButton *>().size(), before);
    }

    void gridAnimatesArrivalsAndDepartures()
    {
        for (int i = 0; i < 10; ++i)
            world->addUpload(QStringLiteral("/p/%1.jpg").arg(i), 100 + i);
        TrayMenuPhotoContainer grid;
        grid.setContents(world->recent.mid(0, 10));
        QPointer<TrayMenuPhotoContainerButton> oldest = grid.cellForPath(QStringLiteral("/p/0.jpg"));
        TrayMenuPhotoContainerButton *newest = grid.cellForPath(QStringLiteral("/p/9.jpg"));
        QCOMPARE(oldest->pos(), QPoint(264, 66));
        world->addUpload(QStringLiteral("/p/new.jpg"), 500);
        grid.setContents(world->recent.mid(0, 10), true);
        TrayMenuPhotoContainerButton *arrival = grid.cellForPath(QStringLiteral("/p/new.jpg"));
        QVERIFY(arrival);
        QVERIFY(grid.isAnimating());
        QVERIFY(arrival->alphaValue() < 1.0); // fades in
        QCOMPARE(arrival->pos(), QPoint(0, 0));
        QVERIFY(!grid.cellForPath(QStringLiteral("/p/0.jpg"))); // left the set at once
        QVERIFY(oldest); // but still on screen while it fades
        QTRY_VERIFY(!grid.isAnimating());
        QCOMPARE(arrival->alphaValue(), 1.0);
        QCOMPARE(newest->pos(), QPoint(66, 0)); // slid one place on
        QTRY_VERIFY(oldest.isNull()); // removed after fading out
    }

    void recentlyUploadedNotificationIsDeferredAndDroppedWhenHidden()
    {
        controller->showRelativeTo(topIcon());
        QTRY_VERIFY(controller->allowExpand());
        world->addUpload(QStringLiteral("/p/x.jpg"), 7);
        NotificationCenter::post(Notifications::RecentlyUploadedChanged);
        QVERIFY(controller->contents().isEmpty()); // next turn of the main queue
        QTRY_COMPARE(controller->contents(), QStringList{QStringLiteral("/p/x.jpg")});
        QTRY_COMPARE(controller->popoverWindow()->height(), 292);

        world->addUpload(QStringLiteral("/p/y.jpg"), 8);
        controller->updateRecentlyUploadedAnimated();
        controller->close(); // hidden before the deferred step runs
        settle();
        QCOMPARE(controller->contents().size(), 1);
    }

    void nothingAnimatesAfterClosing()
    {
        for (int i = 0; i < 7; ++i)
            world->addUpload(QStringLiteral("/p/%1.jpg").arg(i), 100 + i);
        world->running = true;
        world->percent = 0.3;
        world->statusLine = QStringLiteral("Uploading IMG_0001.JPG");
        controller->showRelativeTo(topIcon());
        TrayStatusIconView *icon = view()->statusIconView();
        QVERIFY(icon->isSpinning());
        QTRY_VERIFY(controller->allowExpand());
        // Close in the middle of everything: the icon turns, the height grows, a photo fades in.
        world->addUpload(QStringLiteral("/p/new.jpg"), 500);
        controller->updateContentsAnimated(true);
        QVERIFY(view()->recentUploadsImagesContainer()->isAnimating());
        view()->setRecentUploadRowsVisible(1, true);
        QVERIFY(view()->isAnimatingHeight());
        controller->close();

        QVERIFY(!icon->isSpinning());
        QVERIFY(icon->imageName().isEmpty()); // forgotten: the next opening sets it again
        QVERIFY(!view()->isAnimatingHeight());
        QVERIFY(!view()->recentUploadsImagesContainer()->isAnimating());
        QCOMPARE(controller->popoverWindow()->height(), 292); // the growth jumped to its end

        // Under X the window system takes the focus from the hidden popover, through a one-shot
        // timer of the platform's own (off screen nothing takes it). Then the process is quiet.
        if (QGuiApplication::platformName() == QLatin1String("xcb"))
            QTRY_VERIFY(QGuiApplication::focusWindow() != controller->popoverWindow()->windowHandle());
        // Whatever the engine does meanwhile, no timer fires for the hidden popover.
        TimerEventCounter timers;
        world->scanning = true;
        world->running = false;
        NotificationCenter::post(Notifications::StatusUpdated);
        NotificationCenter::post(Notifications::RecentlyUploadedChanged);
        NotificationCenter::post(Notifications::PausedStateChanged);
        QTest::qWait(300); // a span in which a running animation would tick about 18 times
        QVERIFY2(timers.receivers.isEmpty(), qPrintable(timers.receivers.join(QLatin1Char(','))));
        QVERIFY(!icon->isSpinning());

        // The next opening sets the icon and its turn again.
        const int starts = icon->spinStarts();
        controller->showRelativeTo(topIcon());
        QCOMPARE(icon->imageName(), QStringLiteral("TrayScanning"));
        QVERIFY(icon->isSpinning());
        QCOMPARE(icon->spinStarts(), starts + 1);
    }

    void outlineFollowsTheHeight_data()
    {
        QTest::addColumn<int>("uploads");
        QTest::addColumn<int>("height");
        QTest::newRow("no rows") << 0 << 190;
        QTest::newRow("one row") << 3 << 292;
        QTest::newRow("two rows") << 8 << 352;
    }
    void outlineFollowsTheHeight()
    {
        QFETCH(int, uploads);
        QFETCH(int, height);
        for (int i = 0; i < uploads; ++i)
            world->addUpload(QStringLiteral("/p/%1.jpg").arg(i), 100 + i);
        controller->showRelativeTo(topIcon());
        QTRY_VERIFY(controller->allowExpand());
        QTRY_COMPARE(controller->popoverWindow()->height(), height);
        QTRY_VERIFY(!view()->isAnimatingHeight());

        QWidget *main = view()->mainView();
        QCOMPARE(main->geometry().bottom(), view()->height() - 1);
        QCOMPARE(main->width(), view()->width());
        const QImage shot = controller->popoverWindow()->grab().toImage();
        QCOMPARE(shot.height(), height);
        // The outline (black at 20% over white) closes the main area at the bottom and runs down
        // both sides to it; just inside it is white.
        auto isOutline = [](QColor c) { return c.red() > 190 && c.red() < 220 && c.red() == c.blue(); };
        const int bottom = shot.height() - 1;
        for (int x : {1, shot.width() / 2, shot.width() - 2})
            QVERIFY2(isOutline(shot.pixelColor(x, bottom)), qPrintable(QStringLiteral("bottom x=%1").arg(x)));
        for (int y : {main->y() + 2, bottom - 1})
            QVERIFY(isOutline(shot.pixelColor(0, y)) && isOutline(shot.pixelColor(shot.width() - 1, y)));
        QCOMPARE(shot.pixelColor(shot.width() / 2, bottom - 1), QColor(Qt::white));
    }

    void textThatDoesNotFitIsElidedWithTheWholeTextInTheToolTip()
    {
        const QString longName = QStringLiteral("W").repeated(60) + QStringLiteral(" Wolfeschlegelsteinhausenbergerdorff");
        const QString longStatus = QStringLiteral("Uploading IMG_20240101_123456_with_a_very_long_name_from_a_phone.JPG");
        world->fullName = longName;
        world->statusLine = longStatus;
        controller->showRelativeTo(topIcon());
        NSTextFieldClickable *name = view()->userNameTextField();
        NSTextFieldClickable *plain = view()->statusTextFieldNoIcon();
        for (NSTextFieldClickable *field : {name, plain}) {
            QVERIFY(field->isElided());
            QCOMPARE(field->text(), field == name ? longName : longStatus);
            QCOMPARE(field->toolTip(), field->text());
            // Cut at a letter's edge with "…": the last columns of the field stay clear of ink,
            // where the clipped text ran right to the edge.
            const QImage image = field->grab().toImage();
            const QColor background = image.pixelColor(image.width() - 1, 0);
            bool ink = false, edgeInk = false;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const bool differs = image.pixelColor(x, y) != background;
                    ink = ink || differs;
                    if (x >= image.width() - 2)
                        edgeInk = edgeInk || differs;
                }
            QVERIFY(ink);
            QVERIFY2(!edgeInk, "the text runs into the field's edge");
        }
        // Two notes too long for one line: the second goes on below, nothing cut.
        world->statusLine = QStringLiteral("12 folders unavailable; 12,345 not backed up");
        NotificationCenter::post(Notifications::StatusUpdated);
        QVERIFY(plain->fontMetrics().horizontalAdvance(plain->text()) > plain->contentsRect().width());
        QVERIFY(!plain->isElided());
        QVERIFY(plain->toolTip().isEmpty());
        const QImage twoLines = plain->grab().toImage();
        QSet<int> inkRows;
        for (int y = 0; y < twoLines.height(); ++y)
            for (int x = 0; x < twoLines.width(); ++x)
                if (twoLines.pixelColor(x, y) != twoLines.pixelColor(twoLines.width() - 1, 0))
                    inkRows << y * 2 / twoLines.height();
        QCOMPARE(inkRows.size(), 2); // ink in the upper and the lower half
        world->statusLine = longStatus;
        world->running = true;
        NotificationCenter::post(Notifications::StatusUpdated);
        QVERIFY(view()->statusTextField()->isElided());
        QCOMPARE(view()->statusTextField()->toolTip(), longStatus);

        // Text that fits shows whole, with no tool tip repeating it.
        world->statusLine = QStringLiteral("Uploading 2 of 9");
        NotificationCenter::post(Notifications::StatusUpdated);
        QVERIFY(!view()->statusTextField()->isElided());
        QVERIFY(view()->statusTextField()->toolTip().isEmpty());
        controller->close();
        world->fullName = QStringLiteral("Ann");
        controller->showRelativeTo(topIcon());
        QCOMPARE(name->text(), QStringLiteral("Ann"));
        QVERIFY(name->toolTip().isEmpty());
    }

    void accountLinkTakesThePaletteLinkColour_data()
    {
        QTest::addColumn<QColor>("window");
        QTest::addColumn<QColor>("link");
        QTest::newRow("light") << QColor(Qt::white) << QColor(130, 30, 150);
        QTest::newRow("dark, a link made for a dark ground") << QColor(45, 45, 48) << QColor(120, 220, 140);
    }

    void accountLinkTakesThePaletteLinkColour()
    {
        QFETCH(QColor, window);
        QFETCH(QColor, link);
        const QPalette before = QApplication::palette();
        controller->showRelativeTo(topIcon()); // opened once before the desktop changes scheme
        controller->close();
        QPalette scheme = before;
        scheme.setColor(QPalette::Window, window);
        scheme.setColor(QPalette::Link, link);
        QApplication::setPalette(scheme);
        world->addUpload(QStringLiteral("/p/a.jpg"), 11);
        controller->showRelativeTo(topIcon());
        NSTextFieldClickable *field = view()->recentUploadsLinkField();
        const QRect area(field->mapTo(controller->popoverWindow(), QPoint(0, 0)), field->size());
        QTRY_VERIFY(controller->popoverWindow()->rect().contains(area) && !view()->isAnimatingHeight());
        const QImage shot = controller->popoverWindow()->grab().toImage();
        QApplication::setPalette(before);
        // The most inked pixel of the drawn link.
        QColor ink = Qt::white;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (shot.pixelColor(x, y).lightness() < ink.lightness())
                    ink = shot.pixelColor(x, y);
        auto luminance = [](const QColor &c) {
            auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
            return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF());
        };
        QVERIFY2(std::abs(ink.hsvHue() - link.hsvHue()) <= 3, qPrintable(ink.name()));
        QVERIFY2(1.05 / (luminance(ink) + 0.05) >= 4.5, qPrintable(ink.name())); // reads on the white popover
        if (1.05 / (luminance(link) + 0.05) >= 4.5)
            QCOMPARE(ink, link); // a link that reads on white is drawn as the desktop gives it
    }

    void longTranslationsKeepCaptionAndLinkApart()
    {
        LongPhrases translator;
        QCoreApplication::installTranslator(&translator);
        world->filesToUpload = 12345;
        controller->showRelativeTo(topIcon());
        QCoreApplication::removeTranslator(&translator);
        QLabel *caption = view()->recentUploadsTextField();
        NSTextFieldClickable *link = view()->recentUploadsLinkField();
        QVERIFY(caption->geometry().right() < link->geometry().left());
        QVERIFY(caption->text().endsWith(QChar(0x2026)));
        QCOMPARE(caption->toolTip(), QStringLiteral("Much longer phrase: Recent Uploads, as translated"));
        QCOMPARE(link->toolTip(), QStringLiteral("Much longer phrase: View in Camera Roll, as translated"));
        QVERIFY(link->geometry().right() <= view()->width() - 16);
        QVERIFY(caption->fontMetrics().horizontalAdvance(caption->text()) <= caption->width());
        // The queue count keeps its start (the number) and loses its end.
        NSTextFieldClickable *queue = view()->uploadQueueStatusField();
        QVERIFY(queue->isElided());
        QCOMPARE(queue->toolTip(), QStringLiteral("Much longer phrase: 12345 to go, as translated"));
    }
};

QTEST_MAIN(TestTrayPopover)
#include "tst_tray_popover.moc"
