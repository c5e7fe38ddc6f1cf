#include "app/widgets/CloudLoginWindow.h"

#include "app/widgets/Localized.h"
#include "app/widgets/ModalUi.h"
#include "core/LGLog.h"
#include "platform/Endpoints.h"
#include "ui_CloudLoginWindow.h"

#include <QCoreApplication>
#include <QWebEngineHttpRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

// Logs every request the page makes: method and address without its query. Request headers
// and queries can carry session tokens, so they are never written.
class CloudRequestLogger : public QWebEngineUrlRequestInterceptor
{
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        const QString address = CloudLoginWindow::loggableAddress(info.requestUrl());
        const QString method = QString::fromLatin1(info.requestMethod());
        LGLogInfo(QStringLiteral("CLOUD: WebView will load Resource URL %1 %2").arg(address, method));
        if (info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame
            || info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeSubFrame)
            LGLogInfo(QStringLiteral("CLOUD: WebView Loading Page %1").arg(address));
    }
};

static QPointer<CloudLoginWindow> g_cloudWindow;

CloudLoginWindow::CloudLoginWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_ui(std::make_unique<Ui::CloudLoginWindow>())
{
    m_ui->setupUi(this);
    // A profile of its own, kept in memory: nothing of this sign-in mixes with the service's
    // sign-in pages, and no cached copy of the page is used.
    m_profile = new QWebEngineProfile(this);
    m_profile->setHttpCacheType(QWebEngineProfile::NoCache);
    m_profile->setHttpUserAgent(userAgent());
    m_logger = new CloudRequestLogger(m_profile);
    m_profile->setUrlRequestInterceptor(m_logger);
    auto *page = new QWebEnginePage(m_profile, m_ui->webView);
    m_ui->webView->setPage(page);
    connect(page, &QWebEnginePage::loadingChanged, this, &CloudLoginWindow::onLoadingChanged);

    m_timeout.setSingleShot(true);
    m_timeout.setInterval(30000);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        LGLogInfo(QStringLiteral("CLOUD: page load timed out"));
        m_ui->webView->stop();
        webViewLoadFailedWithError(-1001, QString(), QStringLiteral("The request timed out."));
    });
    windowDidLoad();
}

CloudLoginWindow::~CloudLoginWindow()
{
    // The page belongs to the profile's lifetime: drop it first.
    if (m_ui && m_ui->webView)
        delete m_ui->webView->page();
}

QWebEngineView *CloudLoginWindow::webView() const
{
    return m_ui->webView;
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
    m_ui->webView->load(QWebEngineHttpRequest(pageUrl()));
}

void CloudLoginWindow::onLoadingChanged(const QWebEngineLoadingInfo &info)
{
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        return;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        m_timeout.stop();
        LGLogInfo(QStringLiteral("CLOUD: didFinishLoadForFrame %1").arg(loggableAddress(info.url())));
        webViewLoadComplete(info.url());
        return;
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        m_timeout.stop();
        return; // cancelled
    case QWebEngineLoadingInfo::LoadFailedStatus: {
        m_timeout.stop();
        int code = info.errorCode();
        // The engine reports a navigation replaced by another as aborted: a cancellation.
        if (info.errorDomain() == QWebEngineLoadingInfo::InternalErrorDomain && code == -3)
            code = CloudSyncManager::kCancelledCode;
        if (code != CloudSyncManager::kCancelledCode)
            LGLogInfo(QStringLiteral("CLOUD: didFailProvisionalLoadWithError %1 (%2)")
                          .arg(LGLog::redact(info.errorString()))
                          .arg(info.errorCode()));
        webViewLoadFailedWithError(code, QString(), info.errorString());
        return;
    }
    }
}

void CloudLoginWindow::webViewLoadComplete(const QUrl &)
{
    QPointer<CloudLoginWindow> self(this);
    m_ui->webView->page()->runJavaScript(QStringLiteral("document.title"), [self](const QVariant &result) {
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
        g_cloudWindow = new CloudLoginWindow();
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
