// The menu-bar controller: start-up order and the sign-in check, the icon, its flashing, click
// routing, the menus and their commands, the quit confirmation and the once-only shutdown.
#include "app/launch/AppDelegate.h"
#include "app/launch/ShellTestFakes.h"
#include "app/menubar/MainController.h"
#include "app/menubar/TrayMenuController.h"
#include "app/platform/ColorScheme.h"
#include "app/platform/TrayIcon.h"
#include "app/update/LoginItems.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "support/ScriptedModalUi.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScopeGuard>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QStandardPaths>
#include <QTest>
#include <QUrlQuery>

namespace {
FakeTray *g_lastTray = nullptr;

QStringList titles(QMenu *menu, bool visibleOnly = false)
{
    QStringList out;
    for (QAction *a : menu->actions()) {
        if (visibleOnly && !a->isVisible())
            continue;
        out << (a->isSeparator() ? QStringLiteral("---") : a->text());
    }
    return out;
}

QAction *actionTitled(QMenu *menu, const QString &title)
{
    for (QAction *a : menu->actions()) {
        if (a->text() == title)
            return a;
        if (a->menu())
            if (QAction *inner = actionTitled(a->menu(), title))
                return inner;
    }
    return nullptr;
}
} // namespace

class TestMainController : public QObject
{
    Q_OBJECT
    FakeShell *fake = nullptr;
    ScriptedAlerts *alerts = nullptr;
    RecordingUrlOpener *opener = nullptr;
    qint64 clock = 0;

    MainController *controllerWithTray()
    {
        MainController *mc = MainController::instance();
        mc->setupTrayIcon();
        return mc;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        MainController::setTrayBackendFactory([] { return g_lastTray = new FakeTray; });
        MainController::setClockForTesting([this] { return clock; });
    }

    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        fake = new FakeShell;
        fake->install();
        alerts = new ScriptedAlerts;
        Alerts::setPresenter(alerts);
        opener = new RecordingUrlOpener;
        UrlOpeners::setOpener(opener);
        ColorScheme::setOverrideForTesting(0);
        AppDelegate::resetForTesting();
        MainController::destroyForTesting();
        g_lastTray = nullptr;
    }

    void cleanup()
    {
        MainController::destroyForTesting();
        Alerts::setPresenter(nullptr);
        UrlOpeners::setOpener(nullptr);
        fake->install();
        QTest::qWait(50);
    }

    // ---- Start-up ----------------------------------------------------------------------------

    void startupOrderBeforeOnboarding()
    {
        fake->onboarded = false;
        AppDelegate::instance()->setHideDockIcon(true);
        MainController *mc = MainController::instance();
        mc->startup();
        QCOMPARE(fake->calls.mid(0, 3), (QStringList{"loadToken", "driveStartup", "updateStatus"}));
        QVERIFY(!AppDelegate::instance()->hideDockIcon()); // shown while onboarding runs
        QCOMPARE(fake->count("checkAuthorization"), 0);   // not before 0.25 s
        QVERIFY(!mc->trayBackend());
        QTRY_COMPARE(fake->count("checkAuthorization"), 1);
        QVERIFY(mc->trayBackend());
        QCOMPARE(g_lastTray->toolTip, QString("Lumora Hoistly"));
        QVERIFY(g_lastTray->visible);
        QTRY_VERIFY(fake->count("displayWelcome") >= 1);
        QCOMPARE(fake->count("openPreferencesWindow"), 0);
        // Launch at login is on by default: the entry was refreshed.
        QTRY_VERIFY(QFile::exists(LoginItems::entryPath()));
    }

    void startupOpensPreferencesOnlyOnAManualLaunch_data()
    {
        QTest::addColumn<bool>("manual");
        QTest::newRow("manual") << true;
        QTest::newRow("at login") << false;
    }
    void startupOpensPreferencesOnlyOnAManualLaunch()
    {
        QFETCH(bool, manual);
        fake->onboarded = true;
        fake->userId = "lumora-30571942";
        fake->authorized = true;
        fake->authAnswer = {"tester", "lumora-30571942", "Tester", ""};
        Settings::setObject("token", "kLKStoredTokenKey");
        AppDelegate::setLaunchedManuallyForTesting(manual);
        MainController::instance()->startup();
        QTRY_COMPARE(fake->count("refreshLumoraData"), 1);
        QCOMPARE(fake->count("openPreferencesWindow"), manual ? 1 : 0);
        QCOMPARE(fake->count("displayWelcome"), 0);
        QCOMPARE(alerts->count(), 0);
    }

    void signedOutAlertOnlyWithAKnownAccount_data()
    {
        QTest::addColumn<QString>("mirrorName");
        QTest::addColumn<QString>("signInName");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("tokenRefused");
        QTest::newRow("nobody known") << "" << "" << "" << false;
        QTest::newRow("mirror knows") << "alice" << "bob" << "alice" << false;
        QTest::newRow("sign-in knows") << "" << "bob" << "bob" << false;
        // The check was answered "Invalid auth token": the client let the stored token go.
        QTest::newRow("stored token refused") << "alice" << "" << "alice" << true;
    }
    void signedOutAlertOnlyWithAKnownAccount()
    {
        QFETCH(QString, mirrorName);
        QFETCH(QString, signInName);
        QFETCH(QString, shown);
        QFETCH(bool, tokenRefused);
        if (tokenRefused) {
            fake->userId = "lumora-30571942";
            Settings::setObject("token", "kLKStoredTokenKey");
            fake->authAnswer = {"", "", "", "LumoraServiceErrorDomain 98: Invalid auth token"};
        }
        fake->onboarded = true;
        fake->mirrorUser = mirrorName;
        Settings::setObject(signInName.isEmpty() ? QVariant() : QVariant(signInName), "LumoraLoggedInUserName");
        MainController::instance()->startup();
        QTRY_COMPARE(fake->count("refreshLumoraData"), 1);
        QCOMPARE(fake->count("displayWelcome"), 1);
        QCOMPARE(alerts->count(), shown.isEmpty() ? 0 : 1);
        if (!shown.isEmpty()) {
            QCOMPARE(alerts->last().title, QString("You have been signed out of Lumora"));
            QCOMPARE(alerts->last().message, QString("Please sign in again with the account %1.").arg(shown));
            QCOMPARE(alerts->last().buttons, QStringList{"Continue"});
        }
    }

    // ---- Icon ------------------------------------------------------------------------------

    void iconChoiceTable_data()
    {
        QTest::addColumn<bool>("bw");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("icon");
        QTest::newRow("colour") << false << false << false << "TrayIconColor";
        QTest::newRow("colour, dark panel") << false << true << false << "TrayIconColor";
        // Nothing is drawn behind an active icon on Linux panels: it keeps the panel's icon.
        QTest::newRow("colour, active") << false << false << true << "TrayIconColor";
        QTest::newRow("colour, dark panel, active") << false << true << true << "TrayIconColor";
        QTest::newRow("black-and-white") << true << false << false << "TrayIcon";
        QTest::newRow("black-and-white, dark panel") << true << true << false << "TrayIconWhite";
        QTest::newRow("black-and-white, active") << true << false << true << "TrayIcon";
        QTest::newRow("black-and-white, dark panel, active") << true << true << true << "TrayIconWhite";
    }
    void iconChoiceTable()
    {
        QFETCH(bool, bw);
        QFETCH(bool, dark);
        QFETCH(bool, active);
        QFETCH(QString, icon);
        Settings::setBool(bw, "TrayIconBW");
        ColorScheme::setOverrideForTesting(dark ? 1 : 0);
        MainController *mc = controllerWithTray();
        mc->setStatusIconActive(active);
        QCOMPARE(mc->currentIconName(), icon);
        // The drawn image is not empty and reaches the tray.
        const QImage image = mc->renderedIcon(22);
        bool painted = false;
        for (int y = 0; y < image.height() && !painted; ++y)
            for (int x = 0; x < image.width() && !painted; ++x)
                painted = qAlpha(image.pixel(x, y)) > 0;
        QVERIFY(painted);
        QVERIFY(!g_lastTray->icon.isNull());
        // On a light panel the strokes must show: some opaque pixel is clearly not white.
        if (!dark) {
            bool visibleOnLight = false;
            for (int y = 0; y < image.height() && !visibleOnLight; ++y)
                for (int x = 0; x < image.width() && !visibleOnLight; ++x) {
                    const QColor c = QColor::fromRgba(image.pixel(x, y));
                    visibleOnLight = c.alpha() > 128 && qMin(c.red(), qMin(c.green(), c.blue())) < 160;
                }
            QVERIFY2(visibleOnLight, "the icon vanishes on a light panel");
        }
    }

    void switchesTakeEffectWithoutRestart()
    {
        MainController *mc = controllerWithTray();
        QCOMPARE(mc->currentIconName(), QString("TrayIconColor"));
        Settings::setBool(true, "TrayIconBW");
        mc->updateStatusIcon();
        QCOMPARE(mc->currentIconName(), QString("TrayIcon"));
        ColorScheme::setOverrideForTesting(1);
        mc->updateStatusIcon(); // the panel's answer is cached until it changes
        QCOMPARE(mc->currentIconName(), QString("TrayIcon"));
        mc->darkModeChanged();
        QCOMPARE(mc->currentIconName(), QString("TrayIconWhite"));
    }

    // The real tray icon's activations as a host reports them (reason, milliseconds), with the
    // real popover of a signed-in user: every gesture is one click, however many activations it
    // arrives as, and an odd number of clicks leaves the popover open. On an XEmbed tray the
    // open popup holds the pointer: the second press of a double-click lands on it, outside it,
    // on the icon (reason -1).
    void trayActivationsMakeOneClickPerGesture_data()
    {
        QTest::addColumn<QList<int>>("reasons");
        QTest::addColumn<QList<int>>("at");
        QTest::addColumn<int>("clicks");
        const int trigger = QSystemTrayIcon::Trigger, twice = QSystemTrayIcon::DoubleClick, onPopover = -1;
        const int apart = QGuiApplication::styleHints()->mouseDoubleClickInterval() + 100;
        QTest::newRow("click") << QList<int>{trigger} << QList<int>{0} << 1;
        QTest::newRow("double-click on XEmbed") << QList<int>{trigger, trigger, twice} << QList<int>{0, 150, 150} << 1;
        QTest::newRow("double-click on XEmbed, the popover open") << QList<int>{trigger, onPopover} << QList<int>{0, 150} << 1;
        QTest::newRow("double-click, then a click") << QList<int>{trigger, trigger, twice, trigger} << QList<int>{0, 150, 150, 150 + apart} << 2;
        QTest::newRow("two clicks apart") << QList<int>{trigger, trigger} << QList<int>{0, apart} << 2;
        QTest::newRow("right click") << QList<int>{int(QSystemTrayIcon::Context)} << QList<int>{0} << 1;
        QTest::newRow("middle click") << QList<int>{int(QSystemTrayIcon::MiddleClick)} << QList<int>{0} << 0;
    }

    void trayActivationsMakeOneClickPerGesture()
    {
        QFETCH(QList<int>, reasons);
        QFETCH(QList<int>, at);
        QFETCH(int, clicks);
        qint64 now = 0;
        MainController::setTrayBackendFactory([&now] {
            auto *backend = new QtTrayIconBackend;
            backend->clock = [&now] { return now; };
            return backend;
        });
        auto restore = qScopeGuard([] { MainController::setTrayBackendFactory([] { return g_lastTray = new FakeTray; }); });
        fake->userId = "lumora-30571942";
        MainController *mc = controllerWithTray();
        int seen = 0;
        connect(mc->trayBackend(), &TrayIconBackend::clicked, this, [&] { ++seen; });
        auto *icon = mc->trayBackend()->findChild<QSystemTrayIcon *>();
        QVERIFY(icon);
        for (qsizetype i = 0; i < reasons.size(); ++i) {
            now = 5000 + at.at(i);
            if (reasons.at(i) >= 0) {
                Q_EMIT icon->activated(QSystemTrayIcon::ActivationReason(reasons.at(i)));
                continue;
            }
            QWidget *popup = QApplication::activePopupWidget();
            QVERIFY(popup);
            const QPointF onIcon = QCursor::pos(); // where the popover opened: the tray host did not say
            QMouseEvent press(QEvent::MouseButtonPress, popup->mapFromGlobal(onIcon), onIcon, Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(popup, &press);
        }
        QCOMPARE(seen, clicks);
        QCOMPARE(bool(QApplication::activePopupWidget()), clicks % 2 == 1);
        QCOMPARE(mc->statusIconActive(), clicks % 2 == 1);
    }

    void flashingAndFadeFromMidCycle()
    {
        MainController *mc = controllerWithTray();
        QVERIFY(!mc->isFlashTimerRunning()); // nothing runs while the icon is still
        clock = 10'000;
        mc->setAnimateTrayIcon(true);
        QVERIFY(mc->isFlashTimerRunning());
        QCOMPARE(mc->iconOpacity(), 1.0);
        const QList<QPair<int, double>> wave = {{375, 0.75}, {750, 0.5}, {1125, 0.75}, {1500, 1.0}, {2250, 0.5}};
        for (const auto &[ms, opacity] : wave) {
            clock = 10'000 + ms;
            mc->tickFlashForTesting();
            QVERIFY2(qAbs(mc->iconOpacity() - opacity) < 1e-9, qPrintable(QString::number(ms)));
        }
        mc->setAnimateTrayIcon(true); // unchanged: no restart of the cycle
        QCOMPARE(mc->iconOpacity(), 0.5);
        // Off at 0.625 (a quarter of the way back up): the fade starts there, not at 0.5.
        clock = 10'000 + 2250 + 187;
        mc->tickFlashForTesting();
        const double from = mc->iconOpacity();
        QVERIFY(from > 0.55 && from < 0.7);
        mc->setAnimateTrayIcon(false);
        QCOMPARE(mc->iconOpacity(), from);
        clock += 225;
        mc->tickFlashForTesting();
        QVERIFY(qAbs(mc->iconOpacity() - (from + (1.0 - from) / 2)) < 1e-9);
        QVERIFY(mc->isFlashTimerRunning());
        clock += 225;
        mc->tickFlashForTesting();
        QCOMPARE(mc->iconOpacity(), 1.0);
        QVERIFY(!mc->isFlashTimerRunning()); // still again: no timer
        // The engine's hook reaches the controller on the main thread.
        UiHooks::instance().setAnimateTrayIcon(true);
        QTRY_VERIFY(mc->animateTrayIcon());
    }

    // ---- Clicks ----------------------------------------------------------------------------

    void clickRouting()
    {
        MainController *mc = controllerWithTray();
        // Nobody signed in: the fallback menu pops up.
        g_lastTray->click();
        QCOMPARE(g_lastTray->popUps.size(), 1);
        QCOMPARE(g_lastTray->popUps.first(), mc->statusBarMenu());
        QVERIFY(fake->eventNames().contains("Misc: Interacted"));
        QVERIFY(!fake->eventNames().contains("Tray: Opened"));
        // Signed in: the popover opens, and a second click closes it.
        fake->userId = "lumora-30571942";
        g_lastTray->click();
        QCOMPARE(g_lastTray->popUps.size(), 1);
        QVERIFY(fake->eventNames().contains("Tray: Opened"));
        QTRY_VERIFY(mc->statusIconActive());
        QCOMPARE(mc->currentIconName(), QString("TrayIconColor")); // still visible on a light panel
        g_lastTray->click();
        QTRY_VERIFY(!mc->statusIconActive());
        QCOMPARE(fake->eventNames().count("Tray: Opened"), 1);
    }

    // ---- Menus -----------------------------------------------------------------------------

    void fallbackMenuWhenSignedOut()
    {
        MainController *mc = controllerWithTray();
        QCOMPARE(titles(mc->statusBarMenu(), true), (QStringList{"Go to my Camera Roll", "Sign in...", "---", "---", "Quit"}));
        actionTitled(mc->statusBarMenu(), "Sign in...")->trigger();
        QCOMPARE(fake->count("displayWelcome"), 1);
        actionTitled(mc->statusBarMenu(), "Go to my Camera Roll")->trigger();
        QCOMPARE(fake->count("openCameraRoll"), 1);
        Settings::setBool(true, "alphaEnv");
        mc->refreshMenu();
        QCOMPARE(titles(mc->statusBarMenu()).mid(0, 2), (QStringList{"Alpha Environment", "---"}));
        QVERIFY(!mc->statusBarMenu()->actions().first()->isEnabled());
    }

    void statusLinesShowOnlyWhatIsSet()
    {
        fake->status[0] = "Uploading 3 of 10";
        fake->status[3] = "Try again";
        MainController *mc = controllerWithTray();
        QCOMPARE(titles(mc->statusBarMenu(), true),
                 (QStringList{"Go to my Camera Roll", "Sign in...", "---", "Uploading 3 of 10", "Try again", "---", "---", "Quit"}));
        actionTitled(mc->statusBarMenu(), "Try again")->trigger();
        QCOMPARE(fake->count("refreshManually"), 1);
        fake->status[0] = "Up to date";
        mc->updateStatus(); // follows the engine's status notification
        QTRY_VERIFY(actionTitled(mc->statusBarMenu(), "Up to date"));

        // Wider than the screen: cut in the middle, the reason at its end kept, whole in the tool tip.
        fake->status[1] = QStringLiteral("Your settings could not be read: /home/%1/Hoistly.conf (Permission denied).")
                              .arg(QStringLiteral("very-long-folder-name/").repeated(60));
        mc->updateStatus();
        const QAction *line = mc->statusBarMenu()->actions().at(titles(mc->statusBarMenu()).indexOf("Up to date") + 1);
        QTRY_VERIFY(!line->text().isEmpty());
        QVERIFY2(line->text().contains(QChar(0x2026)) && line->text().endsWith("(Permission denied)."), qPrintable(line->text()));
        QVERIFY(mc->statusBarMenu()->sizeHint().width() <= mc->statusBarMenu()->screen()->availableGeometry().width());
        QCOMPARE(line->toolTip(), fake->status[1]);
    }

    void pauseMenuItems_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("event");
        QTest::newRow("1 hour") << "For 1 hour" << qint64(3600) << "Menu: Pause, 1hour";
        QTest::newRow("8 hours") << "For 8 hours" << qint64(28800) << "Menu: Pause, 8hours";
        QTest::newRow("24 hours") << "For 24 hours" << qint64(86400) << "Menu: Pause, 1day";
        QTest::newRow("1 week") << "For 1 week" << qint64(604800) << "Menu: Pause, 1week";
        QTest::newRow("until resumed") << "Until I resume" << qint64(3153600000LL) << "Menu: Pause, 100years";
    }
    void pauseMenuItems()
    {
        QFETCH(QString, item);
        QFETCH(qint64, seconds);
        QFETCH(QString, event);
        fake->authorized = true;
        MainController *mc = controllerWithTray();
        QVERIFY(titles(mc->statusBarMenu()).contains("Pause"));
        QAction *a = actionTitled(mc->statusBarMenu(), item);
        QVERIFY(a);
        a->trigger();
        QCOMPARE(fake->pausedUntil.size(), 1);
        QCOMPARE(fake->now().secsTo(fake->pausedUntil.first()), seconds);
        QCOMPARE(fake->events.last(), qMakePair(event, 1));
        QCOMPARE(fake->properties.value("Misc: Last interaction").toDateTime(), fake->now());
    }

    void pausedMenuOffersResume()
    {
        fake->authorized = true;
        fake->paused = true;
        MainController *mc = controllerWithTray();
        QVERIFY(!titles(mc->statusBarMenu()).contains("Pause"));
        actionTitled(mc->statusBarMenu(), "Resume Uploading")->trigger();
        QCOMPARE(fake->pausedUntil, QList<QDateTime>{QDateTime()});
        QCOMPARE(fake->events.last().first, QString("Menu: Pause, resume"));
        // The engine's paused-state notification rebuilds the menu.
        fake->paused = false;
        QMenu *before = mc->statusBarMenu();
        mc->pausedStateUpdated();
        QVERIFY(mc->statusBarMenu() != before);
        QVERIFY(titles(mc->statusBarMenu()).contains("Pause"));
    }

    void popoverMenuWhenSignedIn()
    {
        fake->userId = "lumora-30571942";
        MainController *mc = controllerWithTray();
        QCOMPARE(titles(mc->statusBarMenu()), (QStringList{"Give us your feedback!", "---", "Upload a folder...", "Preferences...", "Quit"}));
        actionTitled(mc->statusBarMenu(), "FAQ")->trigger();
        QCOMPARE(opener->last(), MainController::faqUrl());
        actionTitled(mc->statusBarMenu(), "Preferences...")->trigger();
        QCOMPARE(fake->count("openPreferencesWindow"), 1);
        QVERIFY(fake->eventNames().contains("Menu: Preferences"));
        actionTitled(mc->statusBarMenu(), "Upload a folder...")->trigger();
        QTRY_COMPARE(fake->count("showAddFolderDialog"), 1);
    }

    // ---- Quit and shutdown -------------------------------------------------------------------

    void quitConfirmation()
    {
        MainController *mc = controllerWithTray();
        alerts->enqueueDeferred();
        mc->quitApp();
        QVERIFY(mc->quitScreenOpen());
        QVERIFY(UiHooks::instance().quitScreenOpen());
        QCOMPARE(alerts->last().title, QString("Quit Lumora Hoistly?"));
        QCOMPARE(alerts->last().buttons, (QStringList{"Quit", "Cancel"}));
        QVERIFY(alerts->answerPending(1)); // Cancel
        QVERIFY(!mc->quitScreenOpen());
        QVERIFY(!mc->isShutDown());

        alerts->enqueueDeferred();
        mc->quitApp();
        QVERIFY(alerts->answerPending(0)); // Quit
        QVERIFY(mc->quitScreenOpen()); // the uploader keeps waiting until the end
        QVERIFY(mc->isShutDown());
        QCOMPARE(fake->count("retractAllNotifications"), 1);
        QCOMPARE(fake->count("increment:Misc: Quit"), 1);
        QVERIFY(fake->eventNames().contains("Menu: Quit"));
        QTRY_COMPARE_WITH_TIMEOUT(fake->exits.load(), 1, 5000);
        QTRY_VERIFY(fake->forceTerminations.load() >= 1);
    }

    void quitBeforeOnboardingTracksExitedSetup()
    {
        fake->onboarded = false;
        MainController *mc = controllerWithTray();
        mc->quitApp();
        QVERIFY(fake->events.contains(qMakePair(QString("Misc: Exited Setup"), 3)));
        QVERIFY(!fake->eventNames().contains("Menu: Quit"));
        QTRY_COMPARE_WITH_TIMEOUT(fake->exits.load(), 1, 5000);
    }

    void shutdownRunsOnce()
    {
        MainController *mc = controllerWithTray();
        mc->setAnimateTrayIcon(true);
        mc->shutdown();
        mc->shutdown();
        QCOMPARE(fake->count("driveShutdown"), 1);
        QVERIFY(!mc->trayBackend());
        QVERIFY(!mc->isFlashTimerRunning());
        mc->setupTrayIcon(); // a late rebuild does not bring the item back
        QVERIFY(!mc->trayBackend());
    }

    void logoutNeedsASignIn()
    {
        MainController *mc = controllerWithTray();
        mc->logout();
        QCOMPARE(alerts->titles(), QStringList{"Please log in"});
        QCOMPARE(fake->count("logout"), 0);
    }

    void logoutCancelledOffersKeepDataOnlyToTheDeveloperAccount()
    {
        fake->authorized = true;
        fake->userId = "lumora-30571942";
        MainController *mc = controllerWithTray();
        alerts->enqueue(1); // Cancel
        mc->logout();
        QCOMPARE(alerts->titles(), QStringList{"Log out of Lumora Hoistly?"});
        fake->userId = MainController::developerAccountId();
        alerts->enqueue(1); // Cancel
        alerts->enqueue(0); // keep-data offer: Cancel is its default
        mc->logout();
        QCOMPARE(alerts->titles().last(), QString("Log out of your Lumora Hoistly but keep data?"));
        QCOMPARE(fake->count("logout"), 0);
    }

    void keepDataOfferEscapesToItsTranslatedCancel()
    {
        ShellBridge::instance().tr = [](const QString &s) { return s == "Cancel" ? QStringLiteral("Abbrechen") : s; };
        fake->authorized = true;
        fake->userId = MainController::developerAccountId();
        MainController *mc = controllerWithTray();
        alerts->enqueue(1); // Cancel
        alerts->enqueueReal(); // the keep-data offer
        mc->logout();
        QMessageBox *box = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            box = w->isVisible() && qobject_cast<QMessageBox *>(w) ? static_cast<QMessageBox *>(w) : box;
        QVERIFY(box);
        QCOMPARE(box->escapeButton()->text(), QString("Abbrechen"));
        box->reject(); // Escape or the close box
        QCOMPARE(alerts->titles().last(), QString("Log out of your Lumora Hoistly but keep data?")); // no "Logging off"
        QCOMPARE(fake->count("logout"), 0);
    }

    // ---- Bug report ------------------------------------------------------------------------

    void bugReportMailIsFullyEncoded()
    {
        // A translation with characters that break a half-encoded address.
        ShellBridge::instance().tr = [](const QString &s) {
            if (s == "Hoistly Bug Report")
                return QStringLiteral("Rapport d'erreur & #1 é");
            return s;
        };
        const QUrl mail = MainController::bugReportMailUrl();
        QVERIFY(mail.isValid());
        QCOMPARE(mail.scheme(), QString("mailto"));
        const QByteArray encoded = mail.toEncoded();
        QVERIFY(!encoded.contains(' '));
        QVERIFY(!encoded.contains("#"));
        QCOMPARE(encoded.count('&'), 1); // only the separator of subject and body
        QUrlQuery query(mail);
        const QString subject = query.queryItemValue("subject", QUrl::FullyDecoded);
        QCOMPARE(subject, QString("Rapport d'erreur & #1 é v%1.%2").arg(AppDelegate::runningVersion()).arg(AppDelegate::runningBuildNumber()));
        const QString body = query.queryItemValue("body", QUrl::FullyDecoded);
        QVERIFY(body.startsWith("Please attach the most recent log"));
        QVERIFY(body.endsWith("/help/forum/en-us/ **"));
        QVERIFY(body.contains(MainController::faqUrl().toString() + " and "));
    }

    void bugReportOpensMailThenRevealsTheLog()
    {
        MainController *mc = controllerWithTray();
        mc->openBugTracker();
        QCOMPARE(alerts->last().title, QString("Submitting your report"));
        QVERIFY(alerts->last().message.contains(MainController::supportMailAddress()));
        QCOMPARE(opener->opened.size(), 1);
        QCOMPARE(opener->last().scheme(), QString("mailto"));
        QVERIFY(fake->eventNames().contains("Prefs: Record Bug"));
    }
};

QTEST_MAIN(TestMainController)
#include "tst_maincontroller.moc"
