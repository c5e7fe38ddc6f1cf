#pragma once
// A window showing the iCloud photos page in the embedded web engine so a user can sign in to
// that service there. It only loads the page and logs what the web view does: it reads nothing
// from the page and hands nothing to the rest of the application.
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <memory>

class SignInBrowser;
class SignInBrowserProfile;
namespace Ui {
class CloudLoginWindow;
}

class CloudLoginWindow : public QWidget
{
    Q_OBJECT
public:
    // Null, with the reason logged and shown, when the web view cannot be loaded.
    static CloudLoginWindow *create(QWidget *parent = nullptr);
    ~CloudLoginWindow() override;

    SignInBrowser *webView() const { return m_page; }
    // The page loaded: the iCloud photos page, or a page of the local service double when the
    // service address is configured.
    static QUrl pageUrl();
    static QString userAgent();
    // An address as logged: scheme, host, port and path, never the query or fragment.
    static QString loggableAddress(const QUrl &url);
    int loadsStarted() const { return m_loadsStarted; }

    // Reactions to the web view, public for tests.
    void webViewLoadComplete(const QUrl &frameUrl);
    // Shows the error unless the load was cancelled or interrupted.
    void webViewLoadFailedWithError(int code, const QString &failureReason, const QString &description);

Q_SIGNALS:
    // The page's title after a completed load (logged too).
    void loadCompleted(const QString &title);

private:
    CloudLoginWindow(SignInBrowserProfile *profile, QWidget *parent);
    void windowDidLoad();

    std::unique_ptr<Ui::CloudLoginWindow> m_ui;
    SignInBrowserProfile *m_profile = nullptr;
    SignInBrowser *m_page = nullptr;
    QTimer m_timeout;
    int m_loadsStarted = 0;
};

class CloudSyncManager
{
public:
    // Creates the window on first use (kept for the life of the process) and shows it.
    static void login();
    static CloudLoginWindow *windowNoCreate();
    // Error codes: a cancelled load and an interrupted frame load are not failures to show.
    static constexpr int kCancelledCode = -999;
    static constexpr int kFrameLoadInterruptedCode = 102;
};
