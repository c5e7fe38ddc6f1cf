#include "app/menubar/MainController.h"

#include "app/launch/AppDelegate.h"
#include "app/launch/ShellBridge.h"
#include "app/menubar/TrayMenuController.h"
#include "app/platform/ColorScheme.h"
#include "app/platform/TrayIcon.h"
#include "app/update/Bundle.h"
#include "app/update/LMSelfUpdating.h"
#include "app/update/LoginItems.h"
#include "app/widgets/ModalUi.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "platform/Endpoints.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSvgRenderer>
#include <QThread>
#include <QTimer>
#include <QUrl>

// The tray images live in the user-interface library's resources; a static library's resources
// are only linked in when something asks for them.
static void initMenubarResources() { Q_INIT_RESOURCE(menubar); }

namespace {
MainController *g_instance = nullptr;
std::function<TrayIconBackend *()> g_trayFactory;
std::function<qint64()> g_clock;

constexpr int kFlashHalfPeriodMs = 750;
constexpr int kFadeInMs = 450;
constexpr int kFlashFrameMs = 66; // about 15 frames a second, only while the icon changes

ShellBridge &bridge() { return ShellBridge::instance(); }

void activateApplication()
{
    // Nothing to bring forward on a tray-only process; the alert raises itself.
}

QString bundleString(const char *key)
{
    return Bundle::mainInfoDictionary().value(QString::fromLatin1(key)).toString();
}
} // namespace

MainController::MainController(QObject *parent) : QObject(parent)
{
    initMenubarResources();
    NotificationCenter::observe(Notifications::PausedStateChanged, this, [this](const QVariant &) { pausedStateUpdated(); });
    NotificationCenter::observe(Notifications::StatusUpdated, this, [this](const QVariant &) { updateStatus(); });
    connect(ColorScheme::instance(), &ColorScheme::changed, this, &MainController::darkModeChanged);
}

MainController::~MainController()
{
    if (g_instance == this)
        g_instance = nullptr;
    delete m_statusBarMenu;
}

MainController *MainController::instance()
{
    if (!g_instance) {
        g_instance = new MainController(QCoreApplication::instance());
        installUiHooks();
    }
    return g_instance;
}

MainController *MainController::instanceNoCreate() { return g_instance; }

void MainController::installUiHooks()
{
    UiHooks &hooks = UiHooks::instance();
    // Read by the upload loop on its own thread: a single flag.
    hooks.quitScreenOpen = [] {
        MainController *mc = g_instance;
        return mc && mc->quitScreenOpen();
    };
    hooks.setAnimateTrayIcon = [](bool animate) {
        dispatch_main_async([animate] { MainController::instance()->setAnimateTrayIcon(animate); });
    };
    hooks.openSignIn = [] {
        dispatch_main_async([] {
            if (MainController *mc = g_instance)
                mc->openSignIn();
        });
    };
}

// ---- Start-up and shutdown ----------------------------------------------------------------

void MainController::startup()
{
    LGLogInfo(QStringLiteral("Startup LumoraDesktop %1 %2 %3")
                  .arg(AppDelegate::runningVersion()).arg(AppDelegate::runningBuildNumber()).arg(bundleString("CFBuildNumber")));
    LGLogInfo(AppDelegate::signInViewAvailable() ? QStringLiteral("Sign-in view: available in this copy")
                                                 : QStringLiteral("Sign-in view: not set up (signed in); a sign-in starts a new copy"));
    if (!LMSelfUpdating::updateApplyFailed()) {
        LoginItems::deleteAppFromLoginItem();
        if (runAtStartup()) {
            dispatch_main_async([] { LoginItems::addAppAsLoginItem(); });
        }
    }
    // The stored sign-in goes in before the engine starts: its first refresh of the account is
    // then signed instead of failing and being redone after the sign-in check.
    bridge().loadTokenFromSettingsWithoutValidating();
    bridge().driveStartup();
    if (!bridge().hasCompletedWelcomeScreen())
        AppDelegate::instance()->setHideDockIcon(false);
    bridge().updateStatus();
    QPointer<MainController> self(this);
    dispatch_main_delay([self] {
        if (self)
            self->deferredStartup();
    }, 0.25);
}

void MainController::deferredStartup()
{
    if (m_shutDown)
        return;
    QPointer<MainController> self(this);
    bridge().checkAuthorization([self](QString userName, QString userId, QString fullName, QString error) {
        ShellBridge::instance().updateStatus();
        dispatch_main_async([self, userName, userId, fullName, error] {
            if (self)
                self->checkAuthorizationCompleted(userName, userId, fullName, error);
        });
    });
    if (!m_updateMenuTimer) {
        m_updateMenuTimer = new QTimer(this);
        m_updateMenuTimer->setInterval(1800 * 1000);
        connect(m_updateMenuTimer, &QTimer::timeout, this, &MainController::refreshMenu);
        m_updateMenuTimer->start();
    }
    setupTrayIcon();
    const bool onboarded = bridge().hasCompletedWelcomeScreen();
    if (onboarded && AppDelegate::wasLaunchedManually())
        bridge().openPreferencesWindow();
    if (!onboarded || AppDelegate::instance()->signInRequestedAtLaunch())
        dispatch_main_async([] { ShellBridge::instance().displayWelcome(); });
}

void MainController::checkAuthorizationCompleted(const QString &userName, const QString &userId,
                                                 const QString &fullName, const QString &error)
{
    if (!error.isEmpty() || userId.isEmpty())
        LGLogInfo(QStringLiteral("checkAuthorizationOnCompletion failed (%1/%2/%3) %4").arg(userName, userId, fullName, error));
    // A stored token that the service refused is no sign-in either: told as a missing one.
    if (bridge().isAuthorized() && !bridge().currentUserID().isEmpty()
        && !Settings::stringForKey(QStringLiteral("kLKStoredTokenKey")).isEmpty()) {
        bridge().refreshLumoraData();
        return;
    }
    QString previous = bridge().mirrorUserName();
    if (previous.isEmpty())
        previous = Settings::stringForKey(QStringLiteral("LumoraLoggedInUserName"));
    auto finish = [] {
        ShellBridge::instance().displayWelcome();
        ShellBridge::instance().refreshLumoraData();
    };
    if (previous.isEmpty()) {
        finish();
        return;
    }
    AlertRequest r;
    r.title = shellTr(QStringLiteral("You have been signed out of Lumora"));
    r.message = shellTr(QStringLiteral("Please sign in again with the account %1.")).arg(previous);
    r.buttons = {shellTr(QStringLiteral("Continue"))};
    Alerts::show(r, [finish](AlertResult) { finish(); });
}

void MainController::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    removeTrayIcon();
    bridge().driveShutdown();
    QThread::msleep(50);
}

// ---- Status item ---------------------------------------------------------------------------

void MainController::setupTrayIcon()
{
    if (m_shutDown)
        return;
    if (!m_tray) {
        m_tray = g_trayFactory ? g_trayFactory() : new QtTrayIconBackend;
        m_tray->setParent(this);
        m_tray->setToolTip(shellTr(QStringLiteral("Lumora Hoistly")));
        connect(m_tray, &TrayIconBackend::clicked, this, &MainController::mouseDown);
        if (!m_statusViewController) {
            m_statusViewController = new TrayMenuController(this);
            connect(m_statusViewController, &TrayMenuController::shownChanged, this, [this](bool shown) {
                if (!shown)
                    popoverClosed();
            });
        }
        updateStatusIcon();
        m_tray->show();
    }
    updateStatusIcon();
    setupMenu();
}

void MainController::removeTrayIcon()
{
    if (!m_tray)
        return;
    hidePopover();
    m_tray->hide();
    m_tray->deleteLater();
    m_tray = nullptr;
    if (m_flashTimer)
        m_flashTimer->stop();
}

void MainController::updateStatusIcon()
{
    const bool bw = Settings::boolForKey(QStringLiteral("TrayIconBW"));
    m_iconCacheBW = bw ? 1 : 0;
    if (m_cachedDark < 0)
        m_cachedDark = ColorScheme::isDark() ? 1 : 0;
    // Linux panels draw no highlight behind an active item, so an open menu or popover keeps the
    // icon that suits the panel: white strokes would vanish on a light one.
    const bool white = m_cachedDark == 1 && bw;
    m_iconName = white ? QStringLiteral("TrayIconWhite") : bw ? QStringLiteral("TrayIcon") : QStringLiteral("TrayIconColor");
    applyIcon();
}

void MainController::darkModeChanged()
{
    m_cachedDark = -1;
    updateStatusIcon();
}

void MainController::setStatusIconActive(bool active)
{
    if (active == m_statusIconActive)
        return;
    m_statusIconActive = active;
    updateStatusIcon();
}

QIcon MainController::iconNamed(const QString &name) const
{
    return QIcon(QStringLiteral(":/images/menubar/%1.svg").arg(name));
}

QImage MainController::renderedIcon(int size) const
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer svg(QStringLiteral(":/images/menubar/%1.svg").arg(m_iconName.isEmpty() ? QStringLiteral("TrayIconColor") : m_iconName));
    QPainter p(&image);
    p.setOpacity(iconOpacity());
    svg.render(&p, QRectF(0, 0, size, size));
    return image;
}

void MainController::applyIcon()
{
    if (!m_tray)
        return;
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(renderedIcon(size)));
    m_tray->setIcon(icon);
}

// ---- Flashing ----------------------------------------------------------------------------

void MainController::setClockForTesting(std::function<qint64()> msecClock) { g_clock = std::move(msecClock); }

qint64 MainController::nowMs() const
{
    return g_clock ? g_clock() : QDateTime::currentMSecsSinceEpoch();
}

double MainController::opacityAt(qint64 ms) const
{
    const qint64 elapsed = qMax<qint64>(0, ms - m_flashStartMs);
    switch (m_flashMode) {
    case FlashMode::Idle:
        return 1.0;
    case FlashMode::Flashing: {
        const qint64 t = elapsed % (2 * kFlashHalfPeriodMs);
        const double f = t < kFlashHalfPeriodMs ? double(t) / kFlashHalfPeriodMs
                                                : double(2 * kFlashHalfPeriodMs - t) / kFlashHalfPeriodMs;
        return 1.0 - 0.5 * f;
    }
    case FlashMode::FadingIn:
        if (elapsed >= kFadeInMs)
            return 1.0;
        return m_fadeFrom + (1.0 - m_fadeFrom) * double(elapsed) / kFadeInMs;
    }
    return 1.0;
}

double MainController::iconOpacity() const { return m_opacity; }
bool MainController::isFlashTimerRunning() const { return m_flashTimer && m_flashTimer->isActive(); }

void MainController::setAnimateTrayIcon(bool animate)
{
    if (animate == m_animateTrayIcon)
        return;
    m_animateTrayIcon = animate;
    const qint64 now = nowMs();
    if (animate) {
        m_flashMode = FlashMode::Flashing;
        m_flashStartMs = now;
    } else {
        // Fade in from whatever is on screen now, not from the end of a cycle.
        m_fadeFrom = opacityAt(now);
        m_flashMode = FlashMode::FadingIn;
        m_flashStartMs = now;
    }
    if (!m_flashTimer) {
        m_flashTimer = new QTimer(this);
        m_flashTimer->setInterval(kFlashFrameMs);
        connect(m_flashTimer, &QTimer::timeout, this, &MainController::onFlashTick);
    }
    if (!m_shutDown)
        m_flashTimer->start();
    onFlashTick();
}

void MainController::tickFlashForTesting() { onFlashTick(); }

void MainController::onFlashTick()
{
    const qint64 now = nowMs();
    m_opacity = opacityAt(now);
    if (m_flashMode == FlashMode::FadingIn && now - m_flashStartMs >= kFadeInMs) {
        m_flashMode = FlashMode::Idle;
        m_opacity = 1.0;
        if (m_flashTimer)
            m_flashTimer->stop();
    }
    applyIcon();
}

// ---- Clicks and the popover ------------------------------------------------------------

void MainController::mouseDown()
{
    bridge().trackOncePerDay(QStringLiteral("Misc: Interacted"), 1);
    refreshMenu();
    if (!bridge().currentUserID().isEmpty() && m_statusViewController) {
        if (!m_statusViewController->isShown()) {
            bridge().trackAndIncrement(QStringLiteral("Tray: Opened"), 1);
            showPopoverAnimated(false);
        } else {
            hidePopover();
        }
        return;
    }
    if (m_statusBarMenu && m_tray)
        m_tray->popUpMenu(m_statusBarMenu);
}

void MainController::showPopoverAnimated(bool)
{
    if (!m_statusViewController)
        return;
    setStatusIconActive(true);
    if (!m_statusViewController->isShown())
        m_statusViewController->showRelativeTo(m_tray ? m_tray->geometry() : QRect());
}

void MainController::hidePopover()
{
    setStatusIconActive(false);
    if (m_statusViewController && m_statusViewController->isShown())
        m_statusViewController->close();
}

void MainController::popoverClosed() { setStatusIconActive(false); }
void MainController::menuWillOpen() { setStatusIconActive(true); }
void MainController::menuDidClose() { setStatusIconActive(false); }

void MainController::pausedStateUpdated()
{
    reloadMenu();
    updateStatus();
}

void MainController::updateStatus()
{
    QPointer<MainController> self(this);
    dispatch_main_sync([self] {
        if (self)
            QTimer::singleShot(0, self, [self] {
                if (self)
                    self->updateStatusInternal();
            });
    });
}

void MainController::refreshMenu() { setupMenu(); }

bool MainController::runAtStartup() const { return !Settings::boolForKey(QStringLiteral("DontRunAtStart")); }

void MainController::setRunAtStartup(bool run)
{
    if (LMSelfUpdating::updateApplyFailed())
        return;
    Settings::setBool(!run, QStringLiteral("DontRunAtStart"));
    if (run)
        LoginItems::addAppAsLoginItem();
    else
        LoginItems::deleteAppFromLoginItem();
}

// ---- Menus ---------------------------------------------------------------------------------

void MainController::replaceMenu(QMenu *menu)
{
    QMenu *old = m_statusBarMenu;
    m_statusBarMenu = menu;
    if (!old)
        return;
    // A menu on screen stays until it closes; the rebuilt one is used from the next click.
    if (old->isVisible())
        connect(old, &QMenu::aboutToHide, old, &QObject::deleteLater);
    else
        old->deleteLater();
}

void MainController::setupMenu()
{
    if (!bridge().currentUserID().isEmpty()) {
        setupMenuTrayPopup();
        return;
    }
    auto *menu = new QMenu;
    auto add = [&](QMenu *m, const QString &title, void (MainController::*slot)()) {
        QAction *a = m->addAction(shellTr(title));
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    if (Settings::boolForKey(QStringLiteral("alphaEnv"))) {
        menu->addAction(shellTr(QStringLiteral("Alpha Environment")))->setEnabled(false);
        menu->addSeparator();
    }
    QAction *cameraRoll = menu->addAction(shellTr(QStringLiteral("Go to my Camera Roll")));
    connect(cameraRoll, &QAction::triggered, this, [] { ShellBridge::instance().openCameraRoll(); });
    if (!bridge().currentUserID().isEmpty()) {
        add(menu, QStringLiteral("Preferences..."), &MainController::openPreferences);
        add(menu, QStringLiteral("Upload a folder..."), &MainController::openPreferencesAndAddFolder);
    } else {
        add(menu, QStringLiteral("Sign in..."), &MainController::openSignIn);
    }
    menu->addSeparator();
    menu->setToolTipsVisible(true); // a status line cut to the screen's width is whole in its tool tip
    m_statusLine1 = menu->addAction(QString());
    m_statusLine1->setEnabled(false);
    m_statusLine2 = menu->addAction(QString());
    m_statusLine2->setEnabled(false);
    m_statusLine3 = menu->addAction(QString());
    m_statusLine3->setEnabled(false);
    m_statusAction = menu->addAction(QString());
    connect(m_statusAction, &QAction::triggered, this, [] { ShellBridge::instance().refreshManually(); });
    m_statusDivider = menu->addSeparator();
    if (bridge().isAuthorized()) {
        if (bridge().paused()) {
            add(menu, QStringLiteral("Resume Uploading"), &MainController::resumeSync);
        } else {
            QMenu *pause = menu->addMenu(shellTr(QStringLiteral("Pause")));
            add(pause, QStringLiteral("For 1 hour"), &MainController::pauseSync1h);
            add(pause, QStringLiteral("For 8 hours"), &MainController::pauseSync8h);
            add(pause, QStringLiteral("For 24 hours"), &MainController::pauseSync24h);
            add(pause, QStringLiteral("For 1 week"), &MainController::pauseSync1wk);
            add(pause, QStringLiteral("Until I resume"), &MainController::pauseSync100yrs);
        }
    }
    menu->addSeparator();
    add(menu, QStringLiteral("Quit"), &MainController::quitApp);
    connect(menu, &QMenu::aboutToShow, this, &MainController::menuWillOpen);
    connect(menu, &QMenu::aboutToHide, this, &MainController::menuDidClose);

    replaceMenu(menu);
    updateStatusInternal();
}

void MainController::setupMenuTrayPopup()
{
    auto *menu = new QMenu;
    QMenu *feedback = menu->addMenu(shellTr(QStringLiteral("Give us your feedback!")));
    connect(feedback->addAction(shellTr(QStringLiteral("FAQ"))), &QAction::triggered, [] { MainController::instance()->openFAQ(); });
    connect(feedback->addAction(shellTr(QStringLiteral("Submit a bug"))), &QAction::triggered,
            [] { MainController::instance()->openBugTracker(); });
    menu->addSeparator();
    connect(menu->addAction(shellTr(QStringLiteral("Upload a folder..."))), &QAction::triggered, this,
            &MainController::openPreferencesAndUpload);
    if (!bridge().currentUserID().isEmpty())
        connect(menu->addAction(shellTr(QStringLiteral("Preferences..."))), &QAction::triggered, this,
                &MainController::openPreferences);
    connect(menu->addAction(shellTr(QStringLiteral("Quit"))), &QAction::triggered, this, &MainController::quitApp);
    connect(menu, &QMenu::aboutToShow, this, &MainController::menuWillOpen);
    connect(menu, &QMenu::aboutToHide, this, &MainController::menuDidClose);

    m_statusLine1 = m_statusLine2 = m_statusLine3 = m_statusAction = m_statusDivider = nullptr;
    replaceMenu(menu);
    updateStatusInternal();
}

void MainController::updateStatusInternal()
{
    if (!m_statusLine1 || !m_statusLine2 || !m_statusLine3 || !m_statusAction)
        return; // the popover menu has no status items
    const QString texts[4] = {bridge().statusLine1(), bridge().statusLine2(), bridge().statusLine3(),
                              bridge().statusResumeMessage()};
    QAction *items[4] = {m_statusLine1, m_statusLine2, m_statusLine3, m_statusAction};
    // A line can carry a path or a reason worded elsewhere; wider than the screen, the menu would
    // run off it and hide the end, where the reason is. It gives way in the middle instead.
    const QScreen *screen = m_statusBarMenu && m_statusBarMenu->screen() ? m_statusBarMenu->screen() : QGuiApplication::primaryScreen();
    const int room = screen ? screen->availableGeometry().width() * 3 / 4 : QWIDGETSIZE_MAX;
    const QFontMetrics metrics(m_statusBarMenu ? m_statusBarMenu->font() : QApplication::font("QMenu"));
    bool anyShown = false;
    for (int i = 0; i < 4; ++i) {
        const QString shown = i == 3 ? shellTr(texts[i]) : metrics.elidedText(texts[i], Qt::ElideMiddle, room);
        items[i]->setText(shown);
        items[i]->setToolTip(i == 3 || shown == texts[i] ? QString() : texts[i]); // the command is short, never cut
        items[i]->setVisible(!texts[i].isEmpty());
        anyShown = anyShown || !texts[i].isEmpty();
    }
    if (m_statusDivider)
        m_statusDivider->setVisible(anyShown);
}

// ---- Commands ----------------------------------------------------------------------------

void MainController::pauseFor(qint64 seconds, const QString &event)
{
    const QDateTime now = ShellEnvironment::instance().now();
    bridge().setPausedUntil(now.addSecs(seconds));
    bridge().track(event, 1);
    bridge().setProperty(QStringLiteral("Misc: Last interaction"), now);
}

void MainController::pauseSync1h() { pauseFor(3600, QStringLiteral("Menu: Pause, 1hour")); }
void MainController::pauseSync8h() { pauseFor(28800, QStringLiteral("Menu: Pause, 8hours")); }
void MainController::pauseSync24h() { pauseFor(86400, QStringLiteral("Menu: Pause, 1day")); }
void MainController::pauseSync1wk() { pauseFor(604800, QStringLiteral("Menu: Pause, 1week")); }
void MainController::pauseSync100yrs() { pauseFor(3153600000LL, QStringLiteral("Menu: Pause, 100years")); }

void MainController::resumeSync()
{
    bridge().setPausedUntil(QDateTime());
    bridge().track(QStringLiteral("Menu: Pause, resume"), 1);
    bridge().setProperty(QStringLiteral("Misc: Last interaction"), ShellEnvironment::instance().now());
}

void MainController::tryAgain() { bridge().refreshLumoraData(); }

void MainController::displayAbout()
{
    activateApplication();
    bridge().showAboutPanel();
}

void MainController::checkForUpdates()
{
    activateApplication();
    LMSelfUpdating::checkForUpdatesWithUI();
}

void MainController::quitApp()
{
    if (m_quitScreenOpen)
        return; // the question is already on screen
    m_quitScreenOpen = true;
    activateApplication();
    AlertRequest r;
    r.title = shellTr(QStringLiteral("Quit Lumora Hoistly?"));
    r.message = shellTr(QStringLiteral("Are you sure you'd like to quit Lumora Hoistly? Any uploads you have running will be "
                                       "suspended until the next time Lumora Hoistly is running."));
    r.buttons = {shellTr(QStringLiteral("Quit")), shellTr(QStringLiteral("Cancel"))};
    r.cancelButton = 1;
    QPointer<MainController> self(this);
    Alerts::show(r, [self](AlertResult result) {
        if (!self)
            return;
        if (result.button != 0) {
            self->m_quitScreenOpen = false;
            return;
        }
        auto &b = ShellBridge::instance();
        if (b.hasCompletedWelcomeScreen())
            b.trackOncePerDay(QStringLiteral("Menu: Quit"), 1);
        else
            b.trackOnceEver(QStringLiteral("Misc: Exited Setup"), 3);
        b.increment(QStringLiteral("Misc: Quit"));
        b.reporterFlush();
        b.retractAllNotifications();
        self->shutdown();
        // quitScreenOpen stays set: the upload loop keeps waiting until the process ends.
        dispatch_main_delay([] {
            AppDelegate::instance()->scheduleForceQuit();
            dispatch_main_async([] { AppDelegate::instance()->terminate(); });
        }, 1.5);
    });
}

QString MainController::developerAccountId() { return QStringLiteral("lumora-0"); }

void MainController::logout() { logoutAfterConfirming(); }

void MainController::logoutAfterConfirming()
{
    auto &b = bridge();
    if (!b.isAuthorized() && !Settings::boolForKey(QStringLiteral("EverLoggedIn"))) {
        AlertRequest r;
        r.title = shellTr(QStringLiteral("Please log in"));
        r.message = shellTr(QStringLiteral("You are not currently logged in."));
        r.buttons = {shellTr(QStringLiteral("OK"))};
        Alerts::show(r);
        return;
    }
    b.trackAndIncrement(QStringLiteral("Misc: Logout button hit"), 1);
    b.reporterFlush();
    AlertRequest r;
    r.title = shellTr(QStringLiteral("Log out of Lumora Hoistly?"));
    r.message = shellTr(QStringLiteral("If you log out, Lumora Hoistly will be reset and will need to re-scan your system next "
                                       "time you log in. Continue?"));
    r.buttons = {shellTr(QStringLiteral("Log out")), shellTr(QStringLiteral("Cancel"))};
    r.cancelButton = 1;
    Alerts::show(r, [](AlertResult result) {
        auto &b = ShellBridge::instance();
        if (result.button == 0) {
            b.track(QStringLiteral("Misc: Logout"), 3);
            b.reporterFlush();
            AlertRequest done;
            done.title = shellTr(QStringLiteral("Resetting"));
            done.message = shellTr(QStringLiteral("Now logging off. Please sign in again to continue."));
            done.buttons = {shellTr(QStringLiteral("OK"))};
            Alerts::show(done, [](AlertResult) { AppDelegate::instance()->performLogOutAndDELETEEVERYTHING(); });
            return;
        }
        if (b.currentUserID() != developerAccountId())
            return;
        AlertRequest keep;
        keep.title = QStringLiteral("Log out of your Lumora Hoistly but keep data?");
        keep.message = QStringLiteral("Data will be preserved, but login screen will be displayed. Continue?");
        keep.buttons = {shellTr(QStringLiteral("Cancel")), QStringLiteral("Log out")};
        keep.cancelButton = 0;
        Alerts::show(keep, [](AlertResult answer) {
            if (answer.button != 1)
                return;
            AlertRequest off;
            off.title = shellTr(QStringLiteral("Logging off"));
            off.message = shellTr(QStringLiteral("Logging off. The app will now reset."));
            off.buttons = {shellTr(QStringLiteral("OK"))};
            Alerts::show(off, [](AlertResult) { AppDelegate::instance()->performLogOutAndKEEPEVERYTHING(); });
        });
    });
}

void MainController::openPreferences()
{
    auto &b = bridge();
    const QDateTime now = ShellEnvironment::instance().now();
    b.trackAndIncrement(QStringLiteral("Menu: Preferences"), 1);
    b.setProperty(QStringLiteral("Menu: Last preferences"), now);
    b.setProperty(QStringLiteral("Misc: Last interaction"), now);
    dispatch_default_queue_async([] { ShellBridge::instance().reporterFlush(); });
    b.openPreferencesWindow();
}

void MainController::openPreferencesAndUpload()
{
    openPreferences();
    dispatch_main_delay([] { ShellBridge::instance().showAddFolderDialog(); }, 0.25);
}

void MainController::openPreferencesAndAddFolder()
{
    openPreferences();
    bridge().openPreferencesWithAddFolder();
}

void MainController::openSignIn()
{
    bridge().displayWelcome();
    bridge().reporterFlush();
}

static QUrl helpSite(const QString &path)
{
    const QString base = Endpoints::overrideBase();
    QUrl url(base.isEmpty() ? QStringLiteral("https://help.lumora.com") : base);
    url.setPath(path);
    return url;
}

QUrl MainController::faqUrl() { return helpSite(QStringLiteral("/categories/macosx-hoistly-B1Vgt77l7")); }

QUrl MainController::customerSupportUrl()
{
    const QString base = Endpoints::overrideBase();
    QUrl url(base.isEmpty() ? QStringLiteral("https://support.lumoragroup.com") : base);
    url.setPath(QStringLiteral("/contact/index"));
    url.setQuery(QStringLiteral("page=contact&locale=en_US&y=PROD_LUMORA"));
    return url;
}

QString MainController::supportMailAddress() { return QStringLiteral("hoistly-support@lumora.com"); }

void MainController::openFAQ()
{
    bridge().track(QStringLiteral("Prefs: FAQ"), 1);
    UrlOpeners::open(faqUrl());
}

void MainController::openFeedback()
{
    bridge().track(QStringLiteral("Prefs: Feedback"), 1);
    UrlOpeners::open(faqUrl());
}

void MainController::openCustomerSupport()
{
    bridge().track(QStringLiteral("Prefs: Customer Support"), 1);
    UrlOpeners::open(customerSupportUrl());
}

QUrl MainController::bugReportMailUrl()
{
    QUrl forum = Endpoints::webBase(bridge().alphaOrWWW ? bridge().alphaOrWWW() : QStringLiteral("www"));
    forum.setPath(QStringLiteral("/help/forum/en-us/"));
    const QString subject = shellTr(QStringLiteral("Hoistly Bug Report")) + QStringLiteral(" v%1.%2")
                                .arg(AppDelegate::runningVersion()).arg(AppDelegate::runningBuildNumber());
    const QString note = shellTr(QStringLiteral("Please note that we cannot respond to all emails, but our engineers review all "
                                                "reports received. For help please visit our help and feedback forums at"))
        + QLatin1Char(' ') + faqUrl().toString() + QStringLiteral(" and ") + forum.toString();
    const QString body = shellTr(QStringLiteral("Please attach the most recent log from the folder that has appeared, and "
                                                "describe the issue you are experiencing."))
        + QStringLiteral(" **") + note + QStringLiteral(" **");
    // Every character outside the unreserved set is encoded, so translated texts, "&" and "#"
    // arrive whole.
    const QByteArray encoded = "mailto:" + QUrl::toPercentEncoding(supportMailAddress(), "@") + "?subject="
        + QUrl::toPercentEncoding(subject) + "&body=" + QUrl::toPercentEncoding(body);
    return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}

void MainController::openBugTracker()
{
    bridge().track(QStringLiteral("Prefs: Record Bug"), 1);
    AlertRequest r;
    r.title = shellTr(QStringLiteral("Submitting your report"));
    r.message = shellTr(QStringLiteral("Please reach us at")) + QLatin1Char(' ') + supportMailAddress()
        + shellTr(QStringLiteral(", and attach the logs from the screen which will appear next. Thank you!"));
    r.buttons = {shellTr(QStringLiteral("OK"))};
    Alerts::show(r, [](AlertResult) {
        const QUrl mail = bugReportMailUrl();
        if (mail.isValid())
            UrlOpeners::open(mail);
        dispatch_main_delay([] {
            const QString log = AppDelegate::currentLogFilePath();
            if (!log.isEmpty() && UrlOpeners::opener())
                UrlOpeners::opener()->revealFile(log);
        }, 0.15);
    });
}

void MainController::openDebugLog()
{
    bridge().track(QStringLiteral("Prefs: Opened debug log"), 1);
    const QString log = AppDelegate::currentLogFilePath();
    if (!log.isEmpty() && UrlOpeners::opener())
        UrlOpeners::opener()->revealFile(log);
}

// ---- Tests ---------------------------------------------------------------------------------

void MainController::setTrayBackendFactory(std::function<TrayIconBackend *()> factory) { g_trayFactory = std::move(factory); }

void MainController::destroyForTesting()
{
    delete g_instance;
    g_instance = nullptr;
}
