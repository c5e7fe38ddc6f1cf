// The web-engine side of BrowserModule.h, built as a module of its own that the application
// loads on demand. Nothing here knows about sign-in: the application's clients decide.
#include "app/webview/BrowserModule.h"

#include <QPointer>
#include <QWebEngineCookieStore>
#include <QWebEngineHttpRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

using namespace BrowserModule;

namespace {

class RequestWatcher : public QWebEngineUrlRequestInterceptor
{
public:
    RequestWatcher(ProfileClient *client, QObject *parent) : QWebEngineUrlRequestInterceptor(parent), m_client(client) {}
    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        const bool frame = info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame
            || info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeSubFrame;
        m_client->requestStarting(info.requestUrl(), info.requestMethod(), frame);
    }

private:
    ProfileClient *m_client;
};

// Takes the first navigation of a page opened for a new window, tells the client and goes.
class NewWindowCatcher : public QWebEnginePage
{
public:
    NewWindowCatcher(QWebEngineProfile *profile, PageClient *client, QObject *parent)
        : QWebEnginePage(profile, parent), m_client(client)
    {
    }

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool) override
    {
        if (m_client && !m_reported) {
            m_reported = true;
            m_client->newWindowNavigation(url, type == NavigationTypeLinkClicked);
        }
        deleteLater();
        return false;
    }

private:
    PageClient *m_client;
    bool m_reported = false;
};

class ClientPage : public QWebEnginePage
{
public:
    ClientPage(QWebEngineProfile *profile, PageClient *client) : QWebEnginePage(profile), m_client(client) {}

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override
    {
        return !m_client || m_client->acceptNavigation(url, isMainFrame, type == NavigationTypeLinkClicked);
    }
    QWebEnginePage *createWindow(WebWindowType) override
    {
        return m_client ? new NewWindowCatcher(profile(), m_client, this) : nullptr;
    }

private:
    PageClient *m_client;
};

class EnginePage : public Page
{
public:
    EnginePage(QWebEngineProfile *profile, PageClient *client) : m_page(new ClientPage(profile, client))
    {
        if (!client)
            return;
        QObject::connect(m_page, &QWebEnginePage::loadStarted, m_page, [client, this] {
            LoadInfo info;
            info.status = LoadStatus::Started;
            info.url = m_page->url();
            client->loadChanged(info);
        });
        QObject::connect(m_page, &QWebEnginePage::loadingChanged, m_page, [client](const QWebEngineLoadingInfo &engine) {
            LoadInfo info;
            switch (engine.status()) {
            case QWebEngineLoadingInfo::LoadStartedStatus:
                return; // reported with loadStarted
            case QWebEngineLoadingInfo::LoadSucceededStatus:
                info.status = LoadStatus::Succeeded;
                break;
            case QWebEngineLoadingInfo::LoadStoppedStatus:
                info.status = LoadStatus::Stopped;
                break;
            case QWebEngineLoadingInfo::LoadFailedStatus:
                info.status = LoadStatus::Failed;
                break;
            }
            info.url = engine.url();
            info.errorCode = engine.errorCode();
            info.errorText = engine.errorString();
            info.engineError = engine.errorDomain() == QWebEngineLoadingInfo::InternalErrorDomain;
            client->loadChanged(info);
        });
    }
    ~EnginePage() override
    {
        // The view first: it must not outlive the page it shows.
        delete m_view.data();
        delete m_page;
    }
    QWidget *view(QWidget *parent) override
    {
        if (!m_view) {
            m_view = new QWebEngineView(parent);
            m_view->setPage(m_page);
        }
        return m_view;
    }
    void load(const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &headers) override
    {
        QWebEngineHttpRequest request(url);
        for (const auto &header : headers)
            request.setHeader(header.first, header.second);
        m_page->load(request);
    }
    QUrl url() const override { return m_page->url(); }
    void stop() override { m_page->triggerAction(QWebEnginePage::Stop); }
    void runScript(const QString &script, std::function<void(const QVariant &)> done) override
    {
        if (done)
            m_page->runJavaScript(script, [done](const QVariant &result) { done(result); });
        else
            m_page->runJavaScript(script);
    }

private:
    QWebEnginePage *m_page;
    QPointer<QWebEngineView> m_view;
};

class EngineProfile : public Profile
{
public:
    EngineProfile(const ProfileOptions &options, ProfileClient *client)
        : m_profile(options.storageName.isEmpty() ? new QWebEngineProfile : new QWebEngineProfile(options.storageName))
    {
        if (!options.storagePath.isEmpty())
            m_profile->setPersistentStoragePath(options.storagePath);
        m_profile->setHttpCacheType(options.cache == HttpCache::Memory ? QWebEngineProfile::MemoryHttpCache
                                                                      : QWebEngineProfile::NoCache);
        if (!client)
            return;
        QWebEngineCookieStore *store = m_profile->cookieStore();
        QObject::connect(store, &QWebEngineCookieStore::cookieAdded, m_profile,
                         [client](const QNetworkCookie &cookie) { client->cookieAdded(cookie); });
        QObject::connect(store, &QWebEngineCookieStore::cookieRemoved, m_profile,
                         [client](const QNetworkCookie &cookie) { client->cookieRemoved(cookie); });
        if (options.watchRequests)
            m_profile->setUrlRequestInterceptor(new RequestWatcher(client, m_profile));
    }
    ~EngineProfile() override { delete m_profile; }

    QString userAgent() const override { return m_profile->httpUserAgent(); }
    void setUserAgent(const QString &agent) override { m_profile->setHttpUserAgent(agent); }
    void loadAllCookies() override { m_profile->cookieStore()->loadAllCookies(); }
    void deleteCookie(const QNetworkCookie &cookie) override { m_profile->cookieStore()->deleteCookie(cookie); }
    Page *createPage(PageClient *client) override { return new EnginePage(m_profile, client); }
    QObject *engineObject() override { return m_profile; }

private:
    QWebEngineProfile *m_profile;
};

} // namespace

extern "C" Q_DECL_EXPORT Profile *hoistly_browser_create_profile(int interfaceVersion, const ProfileOptions &options,
                                                                 ProfileClient *client)
{
    if (interfaceVersion != kInterfaceVersion)
        return nullptr;
    return new EngineProfile(options, client);
}
