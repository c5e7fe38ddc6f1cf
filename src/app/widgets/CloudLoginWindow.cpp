#include "app/widgets/CloudLoginWindow.h"

#include "app/webview/SignInBrowser.h"
#include "app/widgets/Localized.h"
#include "app/widgets/ModalUi.h"
#include "core/LGLog.h"
#include "platform/Endpoints.h"
#include "ui_CloudLoginWindow.h"

#include <QCoreApplication>

static QPointer<CloudLoginWindow> g_cloudWindow;

CloudLoginWindow *CloudLoginWindow::create(QWidget *parent)
{
    // A profile of its own, kept in memory: nothing of this sign-in mixes with the service's
    // sign-in pages, and no cached copy of the page is used. Every request the page makes is
    // logged (see below).
    BrowserModule::ProfileOptions options;
    options.cache = BrowserModule::HttpCache::None;
    options.watchRequests = true;
    QString error;
    SignInBrowserProfile *profile = SignInBrowserProfile::create(options, nullptr, &error);
    if (!profile) {
        LGLogError(QStringLiteral("CLOUD: The sign-in page cannot be shown: %1").arg(error));
        AlertRequest alert;
        alert.title = localized(QStringLiteral("Unable to show the login page"));
        alert.message = localized(QStringLiteral("A part of Lumora Hoistly is missing or damaged. Please reinstall Lumora Hoistly."));
        alert.buttons = {localized(QStringLiteral("OK"))};
        Alerts::show(alert);
        return nullptr;
    }
    return new CloudLoginWindow(profile, parent);
}

CloudLoginWindow::CloudLoginWindow(SignInBrowserProfile *profile, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_ui(std::make_unique<Ui::CloudLoginWindow>())
    , m_profile(profile)
{
    m_ui->setupUi(this);
    m_profile->setParent(this);
    m_profile->setUserAgent(userAgent());
    // Method and address without its query: request headers and queries can carry session
    // tokens, so they are never written.
    connect(m_profile, &SignInBrowserProfile::requestStarting, this,
            [](const QUrl &url, const QByteArray &requestMethod, bool frame) {
                const QString address = CloudLoginWindow::loggableAddress(url);
                const QString method = QString::fromLatin1(requestMethod);
                LGLogInfo(QStringLiteral("CLOUD: WebView will load Resource URL %1 %2").arg(address, method));
                if (frame)
                    LGLogInfo(QStringLiteral("CLOUD: WebView Loading Page %1").arg(address));
            });
    m_page = new SignInBrowser(m_profile, this);
    QWidget *view = m_page->view(m_ui->webViewPlaceholder);
    view->setObjectName(QStringLiteral("webView"));
    m_ui->webViewPlaceholder->layout()->addWidget(view);
    connect(m_page, &SignInBrowser::loadFinished, this, [this](const QUrl &url) {
        m_timeout.stop();
        LGLogInfo(QStringLiteral("CLOUD: didFinishLoadForFrame %1").arg(loggableAddress(url)));
        webViewLoadComplete(url);
    });
    connect(m_page, &SignInBrowser::loadStopped, this, [this] { m_timeout.stop(); }); // cancelled
    connect(m_page, &SignInBrowser::loadFailed, this, [this](const QUrl &, int errorCode, const QString &text, bool engineError) {
        m_timeout.stop();
        int code = errorCode;
        // The engine reports a navigation replaced by another as aborted: a cancellation.
        if (engineError && code == -3)
            code = CloudSyncManager::kCancelledCode;
        if (code != CloudSyncManager::kCancelledCode)
            LGLogInfo(QStringLiteral("CLOUD: didFailProvisionalLoadWithError %1 (%2)").arg(LGLog::redact(text)).arg(errorCode));
        webViewLoadFailedWithError(code, QString(), text);
    });

    m_timeout.setSingleShot(true);
    m_timeout.setInterval(30000);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        LGLogInfo(QStringLiteral("CLOUD: page load timed out"));
        m_page->stop();
        webViewLoadFailedWithError(-1001, QString(), QStringLiteral("The request timed out."));
    });
    windowDidLoad();
}

CloudLoginWindow::~CloudLoginWindow()
{
    // The page belongs to the profile's lifetime: drop it first.
    delete m_page;
    m_page = nullptr;
}

QUrl CloudLoginWindow::pageUrl()
{
    const QString base = Endpoints::overrideBase();
    if (!base.isEmpty()) {
        QUrl url(base);
        url.setPath(QStringLiteral("/icloud/photos/"));
        return url;
    }
    return QUrl(QStringLiteral("https://www.icloud.com/photos/"));
}

QString CloudLoginWindow::userAgent()
{
    return QStringLiteral("Mozilla/5.0 (Macintosh; Intel Mac OS X 10_9_3) AppleWebKit/537.75.14 (KHTML, like Gecko) Version/7.0.3 Safari/7046A194A");
}

QString CloudLoginWindow::loggableAddress(const QUrl &url)
{
    return LGLog::redact(url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
                             .toString(QUrl::FullyEncoded));
}

void CloudLoginWindow::windowDidLoad()
{
    ++m_loadsStarted;
    m_timeout.start();
    m_page->load(pageUrl());
}

void CloudLoginWindow::webViewLoadComplete(const QUrl &)
{
    QPointer<CloudLoginWindow> self(this);
    m_page->runScript(QStringLiteral("document.title"), [self](const QVariant &result) {
        if (!self)
            return;
        const QString title = result.toString();
        LGLogInfo(QStringLiteral("CLOUD: Main WebView webViewLoadComplete (%1)").arg(title));
        Q_EMIT self->loadCompleted(title);
    });
}

void CloudLoginWindow::webViewLoadFailedWithError(int code, const QString &failureReason,
                                                  const QString &description)
{
    if (code == CloudSyncManager::kCancelledCode || code == CloudSyncManager::kFrameLoadInterruptedCode)
        return;
    const QString text = failureReason.isEmpty() ? description : failureReason;
    if (text.contains(QLatin1String("load interrupted")))
        return;
    LGLogInfo(QStringLiteral("CLOUD: Webview failed with error: %1 (%2)").arg(LGLog::redact(text)).arg(code));
    AlertRequest alert;
    alert.title = localized(QStringLiteral("Error communicating with Lumora"));
    alert.message = text;
    alert.buttons = {localized(QStringLiteral("OK"))};
    Alerts::show(alert);
}

void CloudSyncManager::login()
{
    if (!g_cloudWindow) {
        g_cloudWindow = CloudLoginWindow::create();
        if (!g_cloudWindow)
            return;
        // The web engine must not outlive the application object: the window goes first.
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, g_cloudWindow, [] { delete g_cloudWindow; });
    }
    g_cloudWindow->show();
    g_cloudWindow->raise();
    g_cloudWindow->activateWindow();
}

CloudLoginWindow *CloudSyncManager::windowNoCreate()
{
    return g_cloudWindow;
}
