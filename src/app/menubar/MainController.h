#pragma once
// The menu-bar controller: continues the launch (start-up), owns the status item (a tray icon
// behind TrayIconBackend), its flashing, the fallback and popover menus and the commands behind
// them, and the once-only shutdown.
#include <QDateTime>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QStringList>
#include <functional>
#include <memory>

#include <QAction>
#include <QMenu>
class QTimer;
class TrayIconBackend;
class TrayMenuController;

class MainController : public QObject
{
    Q_OBJECT
public:
    static MainController *instance();
    static MainController *instanceNoCreate();
    // The engine's hooks for the quit screen and the tray flashing.
    static void installUiHooks();

    void startup();
    void shutdown();
    bool quitScreenOpen() const { return m_quitScreenOpen; }
    void setAnimateTrayIcon(bool animate);
    bool animateTrayIcon() const { return m_animateTrayIcon; }

    // ---- Status item -------------------------------------------------------------------
    void setupTrayIcon();
    void removeTrayIcon();
    void updateStatusIcon();
    void darkModeChanged();
    void setStatusIconActive(bool active);
    bool statusIconActive() const { return m_statusIconActive; }
    // Which image is shown: "TrayIcon", "TrayIconColor" or "TrayIconWhite".
    QString currentIconName() const { return m_iconName; }
    // The opacity the icon is drawn with now (flashing).
    double iconOpacity() const;
    bool isFlashTimerRunning() const;
    // The image as drawn now (icon at the current opacity).
    QImage renderedIcon(int size = 22) const;
    TrayIconBackend *trayBackend() const { return m_tray; }

    // A click on the status item (left or right: the same).
    void mouseDown();
    void showPopoverAnimated(bool animated);
    void hidePopover();
    void menuWillOpen();
    void menuDidClose();

    void pausedStateUpdated();
    void updateStatus();
    void refreshMenu();
    void reloadMenu() { setupTrayIcon(); }
    QMenu *statusBarMenu() const { return m_statusBarMenu; }

    bool runAtStartup() const;
    void setRunAtStartup(bool run);

    // ---- Menus -------------------------------------------------------------------------
    void setupMenu();
    void setupMenuTrayPopup();
    void updateStatusInternal();

    // ---- Commands ----------------------------------------------------------------------
    void pauseSync1h();
    void pauseSync8h();
    void pauseSync24h();
    void pauseSync1wk();
    void pauseSync100yrs();
    void resumeSync();
    void tryAgain();
    void displayAbout();
    void checkForUpdates();
    void quitApp();
    void logout();
    void logoutAfterConfirming();
    void openPreferences();
    void openPreferencesAndUpload();
    void openPreferencesAndAddFolder();
    void openSignIn();
    void openFAQ();
    void openFeedback();
    void openCustomerSupport();
    void openBugTracker();
    void openDebugLog();

    // The bug-report mail address, fully percent-encoded.
    static QUrl bugReportMailUrl();
    // Addresses of the help pages.
    static QUrl faqUrl();
    static QUrl customerSupportUrl();
    static QString supportMailAddress();
    // A developer account id compiled in; no user has it, which keeps the keep-data offer off.
    static QString developerAccountId();

    // Tests: a tray backend without a tray host, a clock for the flashing, and forgetting the
    // singleton.
    static void setTrayBackendFactory(std::function<TrayIconBackend *()> factory);
    static void setClockForTesting(std::function<qint64()> msecClock);
    void tickFlashForTesting();
    static void destroyForTesting();

    bool isShutDown() const { return m_shutDown; }

private:
    explicit MainController(QObject *parent = nullptr);
    ~MainController() override;
    void deferredStartup();
    void checkAuthorizationCompleted(const QString &userName, const QString &userId,
                                     const QString &fullName, const QString &error);
    void pauseFor(qint64 seconds, const QString &event);
    void onFlashTick();
    qint64 nowMs() const;
    bool isDarkPanel();
    QIcon iconNamed(const QString &name) const;
    double opacityAt(qint64 ms) const;
    void applyIcon();
    void popoverClosed();
    void replaceMenu(QMenu *menu);

    bool m_animateTrayIcon = false;
    bool m_quitScreenOpen = false;
    bool m_statusIconActive = false;
    bool m_shutDown = false;
    QString m_iconName;
    TrayIconBackend *m_tray = nullptr;
    QPointer<QMenu> m_statusBarMenu;
    QPointer<QAction> m_statusLine1, m_statusLine2, m_statusLine3, m_statusAction, m_statusDivider;
    QTimer *m_updateMenuTimer = nullptr;
    TrayMenuController *m_statusViewController = nullptr;

    // Flashing: a triangle wave of opacity (1.0 -> 0.5 -> 1.0, 0.75 s each way) while on; a
    // 0.45 s fade to 1.0 from the opacity shown at that moment when turned off.
    QTimer *m_flashTimer = nullptr;
    enum class FlashMode { Idle, Flashing, FadingIn } m_flashMode = FlashMode::Idle;
    qint64 m_flashStartMs = 0;
    double m_fadeFrom = 1.0;
    double m_opacity = 1.0;

    int m_cachedDark = -1; // -1 unknown, 0 light, 1 dark
    int m_iconCacheBW = -1;
};
