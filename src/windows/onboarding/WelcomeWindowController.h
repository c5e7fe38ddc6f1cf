#pragma once
// The first-run window: greets a new user, signs in to Lumora in an embedded web view, lets the
// user choose what to upload and ends on a done screen. One window at a time; it is created by
// display() and destroyed when it closes. Everything here runs on the main (GUI) thread.
#include <QDateTime>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <memory>
#include <optional>

#include "windows/sources/SourcesPreferencesViewController.h"

class QAbstractButton;
class QCheckBox;
class QParallelAnimationGroup;
class QPropertyAnimation;
class QScrollArea;
class QTimer;
class SignInBrowser;
class QTableWidget;
class WelcomeDropView;

namespace Ui {
class WelcomeWindowController;
}

class WelcomeWindowController : public QWidget, public SourcesPreferencesViewControllerDelegate
{
    Q_OBJECT
public:
    // --- Entry points used by the rest of the application ---
    // Shows the onboarding window, creating it when needed.
    static void display();
    // The setting "WelcomeScreenComplete".
    static bool hasCompletedWelcomeScreen();
    // True once the summary screen was shown in this process, else the completion setting.
    static bool reachedImportFoldersScreen();
    // The window when one exists, without creating it.
    static WelcomeWindowController *instanceNoCreate();
    static WelcomeWindowController *welcomeWindowController() { return instanceNoCreate(); }
    static WelcomeWindowController *instance() { return instanceNoCreate(); }
    // Closes the window without quitting the application.
    static void forceClose();
    // Lowers the window to the normal level (it opens above other windows).
    static void stopKeepingOnTop();
    // Deletes the service's sign-in cookies (domains holding "lumora" or "orvane").
    static void clearCookiesForLogout();
    // Marks onboarding complete, then starts the scan loop and the metadata syncer.
    static void markWelcomeScreenDidComplete();
    // The alpha environment probe (run once per process, blocks its caller; call off the main thread).
    static void checkForAlphaEnvironmentAvailable();
    static bool isAlphaEnvironmentAvailable();
    // Tests: a known probe result (or none), and the process-wide sign-in flags cleared.
    static void setAlphaEnvironmentAvailableForTesting(std::optional<bool> available);
    // Grey title, white alternate (pressed) title: used by the preferences panes too.
    static void fixWhiteButtonTextColor(QAbstractButton *button);
    // Makes the engine's onboarding hooks answer from this class.
    static void installEngineHooks();

    ~WelcomeWindowController() override;

    enum Screen { NoScreen = -1, Welcome, Login, Intro, ImportIPhoto, ImportIMessage, ImportDropbox,
                  ImportPictures, ImportFolder, SetupComplete, ScreenCount };
    enum LoginMode { LoginNormal = 0, LoginNewAccount = 1, LoginFacebook = 2, LoginGoogle = 3 };

    // --- Screens and navigation ---
    QWidget *screenView(Screen screen) const;
    QWidget *containerView() const;
    QWidget *currentView() const { return m_currentView; }
    Screen currentScreen() const;
    QList<QWidget *> importScreens() const;
    QWidget *lastImportScreen() const;
    void advanceToScreen(QWidget *screen) { advanceToScreen(screen, false, true); }
    void advanceToScreen(QWidget *screen, bool reverse, bool animated);
    void advanceImportScreen();
    void advanceImportScreenReverse();
    void setWaitingViewActive(bool active);
    bool waitingViewActive() const { return m_waitingViewActive; }
    bool usingOSXPhotos() const { return m_usingOSXPhotos; }
    bool displayedLoginScreen() const { return m_displayedLoginScreen; }
    bool isSliding() const;
    bool isOverlayShown() const;

    // --- Sign-in ---
    void loginButtonHitWithMode(int mode);
    void beginLoginWithMode(int mode);
    void loginDidCompleteWithURL(const QUrl &url);
    int loginMode() const { return m_loginMode; }
    QUrl authURL() const { return m_authURL; }
    int retryCount() const { return m_retryCount; }
    int did404Redirect() const { return m_did404Redirect; }
    // True from the start of an exchange until its callback arrives (or the exchange ends).
    bool awaitingCallback() const { return m_awaitingCallback; }
    // The web view of the login screen; null until sign-in first needs it.
    SignInBrowser *webView() const { return m_page; }
    // A page of the web view failed to load: tells the user, never with a credential in the text.
    void webViewLoadFailedWithError(const QString &text, int code);
    // Hides every OAuth token, secret and verifier value in a text that is about to be logged.
    static QString cleanOAuthParamFromDebugString(const QString &text);
    static QString userAgentForEnvironment(bool alpha);

    // --- Source choice ---
    void importYesButtonHit();
    void importNoButtonHit_Skip();
    void importNoButtonHit_Back();
    void importAddFolderButtonHit();
    void importRemoveFolderButtonHit();
    void completeSetupButtonHit();
    // A folder dropped on the summary screen (ignored on other screens).
    void addFolder(const QString &path);
    QStringList foldersToAdd() const { return m_foldersToAdd; }
    QSet<QString> selectedFoldersToAdd() const { return m_selectedFoldersToAdd; }
    void setFolderTicked(const QString &path, bool ticked);
    // Sorts dropped paths into folders and the rest; answers whether any folder was taken.
    bool dropPaths(const QStringList &paths);
    // The folder list of the summary screen: the Upload pane in its welcome form.
    void refreshSourcesView();
    QStringList sourcesShown() const;
    SourcesPreferencesViewController *sourcesViewController() const { return m_sourcesViewController; }
    // SourcesPreferencesViewControllerDelegate
    void sourcesPreferencesContentsChanged() override;
    void sourcesPreferencesSelectionChanged() override;

Q_SIGNALS:
    void screenShown(int screen);

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    explicit WelcomeWindowController(QWidget *parent = nullptr);

    void loadScreens();
    void localizeViews();
    void windowDidLoad();
    void setupView(QWidget *screen);
    void fitScreenToWidth(QWidget *screen, int width);
    void fitToScreen();
    void layoutOptionsOneColumn(QWidget *screen);
    void layoutOptionsTwoColumns(QWidget *screen);
    void updateDoneScreenView();
    void screenWillAppear(QWidget *screen);
    void trackScreenShown(QWidget *screen);
    void finishSlide();
    void windowWillClose();
    Screen screenOf(const QWidget *view) const;
    QCheckBox *optionOnCurrentScreen(int tag) const;
    void connectScreenButtons();
    void setupFolderPicker();
    void updateSourcesPanelEnabledControls();

    // sign-in
    // False (and the user told) when the web view cannot be loaded.
    bool ensureWebView();
    // Whether the page's navigations are decided by this window or by the closed-window rule.
    void attachSignInPage(bool attached);
    void startExchange();
    void releaseWebView();
    void updateUserAgent();
    void loadAuthorizationRequest();
    void loadAuthorizationRequestSoon();
    bool interceptNavigation(const QUrl &url, bool isMainFrame, bool userInitiated);
    void webViewLoadComplete(bool ok);
    void continueLoadComplete(int load, const QString &title);
    void findForwardingTarget(int load);
    void forwardTo(const QString &target, int load);
    void finishPageChecks();
    void blankPageDetectionHit();
    void handleCompletion(const QString &userName, const QString &userId, const QString &error);
    void failedCompletion(const QString &error);
    void successfulCompletion(const QString &userName, const QString &userId);
    void showUnableToReach(const QString &error);

    std::unique_ptr<Ui::WelcomeWindowController> ui;
    QWidget *m_screens[ScreenCount] = {};
    QPointer<QWidget> m_currentView;
    QScrollArea *m_scroller = nullptr; // shows the screens, scrolled where the screen is smaller
    QSize m_designSize;
    QMargins m_fitMargins;
    QPointer<QParallelAnimationGroup> m_slide;
    QPointer<QWidget> m_slideOld;
    QPointer<QPropertyAnimation> m_overlayFade;
    bool m_waitingViewActive = false;
    bool m_displayedLoginScreen = false;
    bool m_usingOSXPhotos = false;
    bool m_closeWithoutQuitting = false;
    bool m_quitConfirmed = false;
    bool m_quitAlertShowing = false;

    // sign-in state
    SignInBrowser *m_page = nullptr; // a child of this window, deleted before it
    int m_loginMode = LoginNormal;
    QUrl m_authURL;
    int m_retryCount = 0;
    int m_did404Redirect = 0;
    bool m_waitingNavigateToNewAccountPage = false;
    QString m_lastMainViewPageTitle;
    int m_loadCounter = 0;
    int m_authLoadAttempt = 0;
    bool m_authLoadPending = false; // the authorisation page was asked for and has not come
    bool m_awaitingCallback = false;

    // source choice
    QStringList m_foldersToAdd;
    QSet<QString> m_selectedFoldersToAdd;
    QTableWidget *m_folderTable = nullptr; // children of the window
    QPointer<SourcesPreferencesViewController> m_sourcesViewController;
    void reloadFolderTable();
};
