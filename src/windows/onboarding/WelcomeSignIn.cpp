// Signing in to Lumora inside the onboarding window's web view (OAuth 1.0).
#include "windows/onboarding/WelcomeWindowController.h"

#include "app/webview/SignInBrowser.h"
#include "app/widgets/ModalUi.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/Settings.h"
#include "platform/Endpoints.h"
#include "platform/StandardPaths.h"
#include "windows/onboarding/WelcomeInternals.h"
#include "windows/onboarding/WelcomeServices.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <optional>

namespace {
// The parent company's addresses that sign-in recognises. They are the deployment's, fixed here.
const QString kCompanyDomain = QStringLiteral("orvane.com");
const QStringList kStaticAssetPrefixes = {QStringLiteral("https://s.orvaneimg.com/"),
                                          QStringLiteral("https://static.orvane.com/")};
const QString kCompanyHomeHost = QStringLiteral("www.orvane.com");
const QString kNotAuthorizedHost = QStringLiteral("notauthorized.orvane.com");
const QString kMobileSiteHost = QStringLiteral("m.lumora.com");
const QString kLoginPageTitle = QStringLiteral("Orvane - login");
const QString kMobileUserAgent = QStringLiteral(
    "Mozilla/5.0 (iPhone; U; CPU iPhone OS 4_0 like Mac OS X; en-us) AppleWebKit/532.9 (KHTML, like Gecko) "
    "Version/4.0.5 Mobile/8A293 Safari/6531.22.7");

constexpr int kAuthRequestTimeoutMs = 30000;
constexpr int kBlankPageMs = 8000;

// Process-wide sign-in state.
QPointer<QTimer> s_blankPageTimer;
bool s_serviceErrorPageSeen = false;
bool s_accessDeniedShowing = false;
QMutex s_alphaMutex;
std::optional<bool> s_alphaAvailable;

QString modeName(int mode)
{
    switch (mode) {
    case 0: return QStringLiteral("Normal");
    case 1: return QStringLiteral("NewAccount");
    case 2: return QStringLiteral("Facebook");
    case 3: return QStringLiteral("Google");
    default: return QStringLiteral("Unknown");
    }
}

QString L(const QString &english)
{
    return WelcomeServices::instance()->localized(english);
}

void stopBlankPageTimer()
{
    if (s_blankPageTimer) {
        s_blankPageTimer->stop();
        s_blankPageTimer->deleteLater();
    }
    s_blankPageTimer = nullptr;
}

// Does a text reveal the stored token secret or the application's shared secret?
bool revealsSecret(const QString &text)
{
    WelcomeServices *services = WelcomeServices::instance();
    const QString tokenSecret = services->tokenSecret();
    const QString shared = services->sharedSecret();
    const QString token = services->storedToken();
    return (!tokenSecret.isEmpty() && text.contains(tokenSecret)) || (!shared.isEmpty() && text.contains(shared))
        || (!token.isEmpty() && text.contains(token));
}

// The text with the OAuth parameters and the stored credentials hidden, for the log or an alert.
QString withoutCredentials(const QString &text)
{
    WelcomeServices *services = WelcomeServices::instance();
    QString out = WelcomeWindowController::cleanOAuthParamFromDebugString(text);
    for (const QString &secret : {services->tokenSecret(), services->sharedSecret(), services->storedToken()})
        if (!secret.isEmpty())
            out.replace(secret, QStringLiteral("[REDACTED]"));
    return out;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Addresses

bool SignInRules::isQuietAsset(const QString &lowerUrl)
{
    for (const QString &prefix : kStaticAssetPrefixes)
        if (lowerUrl.startsWith(prefix))
            return true;
    return lowerUrl.startsWith(QLatin1String("data:image/gif;base64,"));
}

bool SignInRules::isLogoutMarker(const QString &lowerUrl)
{
    return lowerUrl.contains(QLatin1String("iosauthlogout=1"));
}

bool SignInRules::isDetour(const QUrl &url)
{
    const QString host = url.host().toLower();
    const QString path = url.path();
    if (host == kMobileSiteHost) {
        if (path.isEmpty() || path == QLatin1String("/") || path == QLatin1String("/signin")
            || path == QLatin1String("/signin/"))
            return true;
        if (url.fragment() == QLatin1String("/home"))
            return true;
    }
    return host == kCompanyHomeHost || isLogoutMarker(url.toString().toLower());
}

bool SignInRules::isServiceErrorPage(const QString &lowerUrl)
{
    return lowerUrl.contains(QLatin1String("_lumorapanda"));
}

bool SignInRules::isNotAuthorizedPage(const QUrl &url)
{
    return url.host().compare(kNotAuthorizedHost, Qt::CaseInsensitive) == 0;
}

QString SignInRules::withoutMobileHost(const QString &url)
{
    QString out = url;
    out.replace(QRegularExpression(QStringLiteral("(?<![A-Za-z0-9-])m\\.%1").arg(QRegularExpression::escape(kCompanyDomain)),
                                   QRegularExpression::CaseInsensitiveOption),
                kCompanyDomain);
    return out;
}

QUrl SignInRules::alphaProbeUrl()
{
    return Endpoints::alphaWebBase();
}

QString WelcomeWindowController::userAgentForEnvironment(bool alpha)
{
    return alpha ? QString() : kMobileUserAgent;
}

// Every OAuth credential in the text is hidden, and so is anything the log already treats as
// secret: the log's own redaction does both.
QString WelcomeWindowController::cleanOAuthParamFromDebugString(const QString &text)
{
    return LGLog::redact(text);
}

// ---------------------------------------------------------------------------------------------
// The profile and its cookies

namespace {
class CookieKeeper : public QObject
{
public:
    explicit CookieKeeper(SignInBrowserProfile *profile) : QObject(profile), m_profile(profile)
    {
        connect(profile, &SignInBrowserProfile::cookieAdded, this, [this](const QNetworkCookie &cookie) {
            if (m_purgePending && isSignInCookie(cookie)) {
                m_profile->deleteCookie(cookie);
                return;
            }
            remove(cookie);
            m_cookies.append(cookie);
        });
        connect(profile, &SignInBrowserProfile::cookieRemoved, this,
                [this](const QNetworkCookie &cookie) { remove(cookie); });
        profile->loadAllCookies();
    }

    static bool isSignInCookie(const QNetworkCookie &cookie)
    {
        const QString domain = cookie.domain().toLower();
        return domain.contains(QLatin1String("lumora")) || domain.contains(QLatin1String("orvane"));
    }

    void purge()
    {
        // Cookies still being read from disk are caught as they arrive, until the next sign-in.
        m_purgePending = true;
        const QList<QNetworkCookie> cookies = m_cookies;
        for (const QNetworkCookie &cookie : cookies) {
            if (isSignInCookie(cookie)) {
                m_profile->deleteCookie(cookie);
                remove(cookie);
            }
        }
    }
    void signInStarts() { m_purgePending = false; }
    QStringList domains() const
    {
        QStringList out;
        for (const QNetworkCookie &cookie : m_cookies)
            out << cookie.domain();
        return out;
    }

private:
    void remove(const QNetworkCookie &cookie)
    {
        m_cookies.erase(std::remove_if(m_cookies.begin(), m_cookies.end(),
                                       [&](const QNetworkCookie &c) { return c.hasSameIdentifier(cookie); }),
                        m_cookies.end());
    }
    SignInBrowserProfile *m_profile;
    QList<QNetworkCookie> m_cookies;
    bool m_purgePending = false;
};

SignInBrowserProfile *s_profile = nullptr;
SignInBrowser *s_keepAlive = nullptr;
CookieKeeper *s_cookies = nullptr;
QString s_defaultUserAgent;

void releaseKeepAlivePage()
{
    delete s_keepAlive;
    s_keepAlive = nullptr;
}

// Pages must go before their profile; the application's own teardown would reverse that.
void releaseProfile()
{
    for (QWidget *top : QApplication::topLevelWidgets())
        if (auto *window = qobject_cast<WelcomeWindowController *>(top))
            delete window;
    delete s_keepAlive;
    s_keepAlive = nullptr;
    s_cookies = nullptr;
    delete s_profile;
    s_profile = nullptr;
}
} // namespace

SignInBrowserProfile *SignInProfile::profile(QString *error)
{
    if (!s_profile) {
        BrowserModule::ProfileOptions options;
        options.storageName = QStringLiteral("HoistlySignIn");
        const QString folder = StandardPaths::lumoraSubfolder(QStringLiteral("SignInProfile"));
        if (!folder.isEmpty()) {
            options.storagePath = folder;
            // Earlier versions cached pages on disk, request tokens and verifiers included.
            QDir(folder + QStringLiteral("/Cache")).removeRecursively();
        }
        // The sign-in pages and redirects carry request tokens and verifiers: nothing of them
        // may outlive the process. Cookies stay persistent, the service's sign-in needs them.
        // Chosen before any page exists, as changing it resets the network context.
        options.cache = BrowserModule::HttpCache::Memory;
        s_profile = SignInBrowserProfile::create(options, nullptr, error);
        if (!s_profile)
            return nullptr;
        // Windows and pages must go while the application object still stands: deleting a web
        // view from inside its destructor crashes. The post routine covers test programs, which
        // never run the event loop's exit.
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                         QCoreApplication::instance(), &releaseProfile);
        qAddPostRoutine(releaseProfile);
        s_defaultUserAgent = s_profile->userAgent();
        // Chosen before any page exists: changing it later can disturb a load in flight.
        if (!Settings::boolForKey(QStringLiteral("alphaEnv")))
            s_profile->setUserAgent(kMobileUserAgent);
        // The cookie store reads its cookies only once the profile has a page: a blank one keeps
        // it open, so log-out can clear cookies even when no window ever showed.
        s_keepAlive = new SignInBrowser(s_profile);
        s_keepAlive->load(QUrl(QStringLiteral("about:blank")));
        s_cookies = new CookieKeeper(s_profile);
    }
    return s_profile;
}

bool SignInProfile::exists()
{
    return s_profile != nullptr;
}

QStringList SignInProfile::cookieDomains()
{
    return s_cookies ? s_cookies->domains() : QStringList();
}

void WelcomeWindowController::clearCookiesForLogout()
{
    if (!SignInProfile::exists() && !WelcomeServices::instance()->signInViewAvailable()) {
        // The view never ran in this copy: its cookies are only on disk, in the sign-in
        // profile's folder inside the data folder that the log-out deletes.
        LGLogInfo(QStringLiteral("LOGIN: The sign-in cookies go with the data folder"));
        return;
    }
    QString error;
    if (!SignInProfile::profile(&error)) {
        LGLogError(QStringLiteral("LOGIN: The sign-in cookies could not be cleared: %1").arg(error));
        return;
    }
    s_cookies->purge();
}

// ---------------------------------------------------------------------------------------------
// The page

namespace {
// A page that asked for a new window: a clicked link opens in the user's browser, the web view
// itself never opens it.
void openNewWindowLink(const QUrl &url, bool linkClicked)
{
    if (!linkClicked)
        return;
    LGLogInfo(QStringLiteral("LOGIN: Opening popup for %1")
                  .arg(WelcomeWindowController::cleanOAuthParamFromDebugString(url.toString())));
    const QString address = url.toString(QUrl::FullyEncoded);
    const QString scheme = url.scheme().toLower();
    if ((scheme == QLatin1String("http") || scheme == QLatin1String("https")) && address.size() < 1024)
        UrlOpeners::open(QUrl(SignInRules::withoutMobileHost(address)));
}
} // namespace

// Sees every navigation of the web view before it happens, so the callback address is caught
// there and never loaded. Once the window has let go of the page, the callback is still refused.
void WelcomeWindowController::attachSignInPage(bool attached)
{
    if (!m_page)
        return;
    QPointer<WelcomeWindowController> self(attached ? this : nullptr);
    m_page->setNavigationPolicy([self](const QUrl &url, bool mainFrame, bool linkClicked) {
        if (!self)
            return !Endpoints::isSignInCallback(url);
        return self->interceptNavigation(url, mainFrame, linkClicked);
    });
}

// ---------------------------------------------------------------------------------------------
// The web view

bool WelcomeWindowController::ensureWebView()
{
    if (m_page)
        return true;
    if (!WelcomeServices::instance()->signInViewAvailable()) {
        // Started signed in, without the view's drawing contexts: a new copy shows it.
        WelcomeServices::instance()->relaunchForSignIn();
        return false;
    }
    QString error;
    SignInBrowserProfile *profile = SignInProfile::profile(&error);
    if (!profile) {
        LGLogError(QStringLiteral("LOGIN: The sign-in page cannot be shown: %1").arg(error));
        AlertRequest request;
        request.title = L(QStringLiteral("Unable to show the Lumora login page"));
        request.message = L(QStringLiteral("A part of Lumora Hoistly is missing or damaged. Please reinstall Lumora Hoistly."));
        request.buttons = {L(QStringLiteral("OK"))};
        Alerts::show(request);
        return false;
    }
    QWidget *placeholder = m_screens[Login]->findChild<QWidget *>(QStringLiteral("webViewPlaceholder"));
    if (!placeholder)
        placeholder = m_screens[Login];
    auto *layout = placeholder->layout() ? placeholder->layout() : new QVBoxLayout(placeholder);
    layout->setContentsMargins(0, 0, 0, 0);
    m_page = new SignInBrowser(profile, this);
    attachSignInPage(true);
    QWidget *view = m_page->view(placeholder);
    view->setObjectName(QStringLiteral("webView"));
    layout->addWidget(view);
    updateUserAgent();

    connect(m_page, &SignInBrowser::newWindowRequested, this, &openNewWindowLink);
    connect(m_page, &SignInBrowser::loadStarted, this, [this] { ++m_loadCounter; });
    connect(m_page, &SignInBrowser::loadFinished, this, [this](const QUrl &url) {
        m_authLoadPending = false;
        LGLogInfo(QStringLiteral("LOGIN: didFinishLoadForFrame %1").arg(cleanOAuthParamFromDebugString(url.toString())));
        webViewLoadComplete(true);
    });
    connect(m_page, &SignInBrowser::loadFailed, this, [this](const QUrl &, int code, const QString &text, bool) {
        m_authLoadPending = false;
        LGLogInfo(QStringLiteral("LOGIN: didFailLoadWithError %1").arg(withoutCredentials(text)));
        webViewLoadFailedWithError(text, code);
    });
    connect(m_page, &SignInBrowser::loadStopped, this, [this](const QUrl &url, const QString &text) {
        m_authLoadPending = false;
        LGLogInfo(QStringLiteral("LOGIN: Load stopped %1 (%2)").arg(cleanOAuthParamFromDebugString(url.toString()), text));
    });
    return true;
}

void WelcomeWindowController::releaseWebView()
{
    // Late script answers of the page carry an older load number and are dropped.
    ++m_loadCounter;
    attachSignInPage(false);
    delete m_page;
    m_page = nullptr;
    releaseKeepAlivePage();
}

void WelcomeWindowController::updateUserAgent()
{
    // While nobody asked for the sign-in view, nothing is created just to set this.
    if (!SignInProfile::exists())
        return;
    const bool alpha = Settings::boolForKey(QStringLiteral("alphaEnv"));
    SignInBrowserProfile *profile = SignInProfile::profile();
    const QString agent = alpha ? s_defaultUserAgent : kMobileUserAgent;
    // Setting it anew, even to the same value, can abort a load in flight.
    if (profile->userAgent() != agent)
        profile->setUserAgent(agent);
}

void WelcomeWindowController::loadAuthorizationRequest()
{
    if (!m_authURL.isValid())
        return;
    if (!ensureWebView())
        return;
    // The authorisation page is always fetched fresh.
    m_page->load(m_authURL, {{QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-cache")},
                             {QByteArrayLiteral("Pragma"), QByteArrayLiteral("no-cache")}});
    // The page gets as long as a request would; one that has not come by then is a failed
    // load, so the waiting overlay never stays over the welcome screen for good.
    const int attempt = ++m_authLoadAttempt;
    m_authLoadPending = true;
    QTimer::singleShot(kAuthRequestTimeoutMs, this, [this, attempt] {
        if (!m_page || attempt != m_authLoadAttempt || !m_authLoadPending)
            return;
        m_authLoadPending = false;
        m_page->stop();
        webViewLoadFailedWithError(L(QStringLiteral("The request timed out.")), -1001);
    });
}

void WelcomeWindowController::loadAuthorizationRequestSoon()
{
    QTimer::singleShot(0, this, [this] { loadAuthorizationRequest(); });
}

bool WelcomeWindowController::interceptNavigation(const QUrl &url, bool isMainFrame, bool)
{
    const QString lower = url.toString(QUrl::FullyEncoded).toLower();
    if (SignInRules::isQuietAsset(lower))
        return true;
    LGLogInfo(QStringLiteral("LOGIN: WebView Loading Page %1").arg(cleanOAuthParamFromDebugString(url.toString())));
    const bool haveAuth = m_authURL.isValid();

    // The callback is never loaded, from any frame; only the main frame's completes sign-in.
    if (Endpoints::isSignInCallback(url)) {
        if (isMainFrame) {
            QPointer<WelcomeWindowController> self(this);
            QTimer::singleShot(0, this, [self, url] {
                if (self)
                    self->loginDidCompleteWithURL(url);
            });
        } else {
            LGLogInfo(QStringLiteral("LOGIN: Ignored sign-in callback in a sub-frame"));
        }
        return false;
    }
    if (!isMainFrame)
        return true;

    if (haveAuth && SignInRules::isDetour(url)) {
        if (SignInRules::isLogoutMarker(lower))
            LGLogInfo(QStringLiteral("LOGIN: iOS logout detected"));
        LGLogInfo(QStringLiteral("LOGIN: Account creation complete, %1 shim").arg(cleanOAuthParamFromDebugString(url.toString())));
        loadAuthorizationRequestSoon();
        return false;
    }
    if (haveAuth && SignInRules::isServiceErrorPage(lower) && !s_serviceErrorPageSeen) {
        s_serviceErrorPageSeen = true;
        WelcomeServices *services = WelcomeServices::instance();
        services->setProperty(QStringLiteral("Welcome: Login trouble"), 1);
        services->trackAndIncrement(QStringLiteral("Welcome: Login trouble, panda"), 3);
        LGLogInfo(QStringLiteral("LOGIN: Panda on login screen :("));
        QTimer::singleShot(2000, this, [this] { loadAuthorizationRequest(); });
    }
    if (SignInRules::isNotAuthorizedPage(url)) {
        QPointer<WelcomeWindowController> self(this);
        QTimer::singleShot(0, this, [self] {
            if (!self)
                return;
            WelcomeServices::instance()->trackAndIncrement(QStringLiteral("Welcome: Login trouble, shim access denied"), 3);
            if (s_accessDeniedShowing)
                return;
            s_accessDeniedShowing = true;
            self->loadAuthorizationRequest();
            AlertRequest request;
            request.title = L(QStringLiteral("Authorization Denied"));
            request.message = L(QStringLiteral("To use Lumora Hoistly, you must authorize it. Please try again."));
            request.buttons = {L(QStringLiteral("OK"))};
            Alerts::show(request, [](AlertResult) { s_accessDeniedShowing = false; });
        });
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Starting an exchange

void WelcomeWindowController::loginButtonHitWithMode(int mode)
{
    if (!isAlphaEnvironmentAvailable()) {
        beginLoginWithMode(mode);
        return;
    }
    AlertRequest request;
    request.title = QString();
    request.message = QStringLiteral("The Lumora alpha environment answers from this computer (%1). "
                                     "Which environment should Lumora Hoistly sign in to?")
                          .arg(SignInRules::alphaProbeUrl().host());
    request.buttons = {QStringLiteral("Production Environment"), QStringLiteral("Alpha Environment")};
    request.sheetParent = this;
    QPointer<WelcomeWindowController> self(this);
    Alerts::show(request, [self, mode](AlertResult result) {
        if (!self)
            return;
        const bool alpha = result.button == 1;
        if (alpha != Settings::boolForKey(QStringLiteral("alphaEnv"))) {
            Settings::setBool(alpha, QStringLiteral("alphaEnv"));
            WelcomeServices *services = WelcomeServices::instance();
            services->reinitializeClient(alpha);
            clearCookiesForLogout();
            services->resetAuthURL();
            services->logout();
            self->updateUserAgent();
        }
        self->beginLoginWithMode(mode);
    });
}

void WelcomeWindowController::beginLoginWithMode(int mode)
{
    WelcomeServices *services = WelcomeServices::instance();
    if (services->isAuthorized()) {
        if (hasCompletedWelcomeScreen())
            advanceToScreen(m_screens[SetupComplete]);
        else
            advanceImportScreen();
    }
    if (m_waitingViewActive)
        return;
    setWaitingViewActive(true);
    m_loginMode = mode;
    Settings::incrementIntForKey(QStringLiteral("LumoraLoginAttempts"));
    stopKeepingOnTop();
    startExchange();
}

// A request token is good for one exchange: every start, the first and each retry, asks the
// client for a new one and forgets the address of the last.
void WelcomeWindowController::startExchange()
{
    WelcomeServices *services = WelcomeServices::instance();
    m_waitingNavigateToNewAccountPage = false;
    m_authURL = QUrl();
    m_awaitingCallback = true;
    services->resetAuthURL();
    if (!ensureWebView()) {
        m_awaitingCallback = false;
        setWaitingViewActive(false);
        return;
    }
    updateUserAgent();
    if (s_cookies)
        s_cookies->signInStarts();

    QPointer<WelcomeWindowController> self(this);
    services->beginAuth(Endpoints::signInCallback(), 2, [self](QUrl url, QString error) {
        dispatch_main_async([self, url, error] {
            if (!self)
                return;
            QString problem = error;
            if (problem.isEmpty() && !url.isEmpty() && !Endpoints::isAllowedTransport(url))
                problem = QStringLiteral("The sign-in address is not secure.");
            if (problem.isEmpty() && !url.toString().isEmpty()) {
                self->m_authURL = url;
                LGLogInfo(QStringLiteral("LOGIN: Loading URL %1").arg(cleanOAuthParamFromDebugString(url.toString())));
                self->loadAuthorizationRequest();
            } else {
                self->m_awaitingCallback = false;
                self->showUnableToReach(problem);
            }
        });
    });
}

void WelcomeWindowController::showUnableToReach(const QString &error)
{
    setWaitingViewActive(false);
    LGLogInfo(QStringLiteral("LOGIN: Error reaching Lumora %1").arg(withoutCredentials(error)));
    AlertRequest request;
    request.title = L(QStringLiteral("Unable to reach Lumora"));
    request.message = revealsSecret(error) ? L(QStringLiteral("There was trouble completing login, please try again."))
                                           : error;
    request.buttons = {L(QStringLiteral("OK"))};
    Alerts::show(request);
}

// ---------------------------------------------------------------------------------------------
// Page checks

void WelcomeWindowController::webViewLoadComplete(bool)
{
    if (!m_page)
        return;
    const int load = m_loadCounter;
    QPointer<WelcomeWindowController> self(this);
    m_page->runScript(QStringLiteral("document.title"), [self, load](const QVariant &result) {
        // A late answer about an earlier page is dropped.
        if (!self || load != self->m_loadCounter)
            return;
        self->continueLoadComplete(load, result.toString());
    });
}

void WelcomeWindowController::continueLoadComplete(int load, const QString &title)
{
    LGLogInfo(QStringLiteral("LOGIN: Main WebView webViewLoadComplete (%1)").arg(cleanOAuthParamFromDebugString(title)));
    if (title.contains(QLatin1String(" 404 ")) && m_did404Redirect < 2) {
        ++m_did404Redirect;
        loadAuthorizationRequestSoon();
        return;
    }
    const QString previous = m_lastMainViewPageTitle;
    m_lastMainViewPageTitle = title;
    if (!title.isEmpty()) {
        stopBlankPageTimer();
    } else {
        QPointer<WelcomeWindowController> self(this);
        m_page->runScript(QStringLiteral("document.body ? document.body.innerHTML : ''"),
                              [self, load, previous](const QVariant &body) {
                                  if (!self || load != self->m_loadCounter)
                                      return;
                                  if (body.toString().isEmpty() && previous == kLoginPageTitle) {
                                      stopBlankPageTimer();
                                      auto *timer = new QTimer(self);
                                      timer->setSingleShot(true);
                                      QObject::connect(timer, &QTimer::timeout, self, [self] { self->blankPageDetectionHit(); });
                                      s_blankPageTimer = timer;
                                      timer->start(kBlankPageMs);
                                  }
                              });
    }
    if (m_loginMode == LoginNormal || m_waitingNavigateToNewAccountPage) {
        finishPageChecks();
        return;
    }
    findForwardingTarget(load);
}

void WelcomeWindowController::findForwardingTarget(int load)
{
    QString script;
    if (m_loginMode == LoginGoogle || m_loginMode == LoginFacebook) {
        const QString word = m_loginMode == LoginGoogle ? QStringLiteral("google") : QStringLiteral("facebook");
        script = QStringLiteral("(function(){for (var i = 0; i < 50; i++) { var l = document.links[i];"
                                " var h = l ? (l.href || '') : ''; if (!h) return '';"
                                " if (h.toLowerCase().indexOf('%1') >= 0) return h; } return ''; })()")
                     .arg(word);
    } else if (m_loginMode == LoginNewAccount) {
        script = QStringLiteral(
            "(function(){ var c = document.getElementById('createacc');"
            " var t = c ? (c.getAttribute('regurl') || '') : ''; if (t) return ['', t];"
            " t = c ? (c.getAttribute('href') || '') : ''; if (t) return ['', t];"
            " var s = document.getElementById('signup_btn'); t = s ? (s.href || '') : '';"
            " return [t ? 'click' : '', t]; })()");
    } else {
        finishPageChecks();
        return;
    }
    QPointer<WelcomeWindowController> self(this);
    m_page->runScript(script, [self, load](const QVariant &result) {
        if (!self || load != self->m_loadCounter)
            return;
        QString target;
        bool click = false;
        if (result.typeId() == QMetaType::QVariantList) {
            const QVariantList pair = result.toList();
            click = pair.value(0).toString() == QLatin1String("click");
            target = pair.value(1).toString();
        } else {
            target = result.toString();
        }
        if (target.isEmpty()) {
            self->finishPageChecks();
            return;
        }
        if (click) {
            QTimer::singleShot(100, self, [self] {
                if (self && self->m_page)
                    self->m_page->runScript(QStringLiteral("document.getElementById(\"signup_btn\").click();"));
            });
        }
        self->forwardTo(target, load);
    });
}

void WelcomeWindowController::forwardTo(const QString &target, int)
{
    // Attributes read from the page may hold addresses relative to it.
    const QUrl url = m_page ? m_page->url().resolved(QUrl(target)) : QUrl(target);
    const QString scheme = url.scheme().toLower();
    // Only web addresses are followed; a script address found on a page is not.
    if (!url.isValid() || (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        finishPageChecks();
        return;
    }
    m_waitingNavigateToNewAccountPage = true;
    QPointer<WelcomeWindowController> self(this);
    QTimer::singleShot(250, this, [self, url] {
        if (!self || !self->m_page)
            return;
        LGLogInfo(QStringLiteral("LOGIN: FORWARDING TO URL %1").arg(cleanOAuthParamFromDebugString(url.toString())));
        self->m_page->load(url);
        QTimer::singleShot(15000, self, [self] {
            if (self && self->m_waitingNavigateToNewAccountPage && self->m_waitingViewActive
                && self->currentScreen() == Welcome)
                self->webViewLoadComplete(true);
        });
    });
}

void WelcomeWindowController::finishPageChecks()
{
    setWaitingViewActive(false);
    if (currentScreen() == Welcome) {
        QTimer::singleShot(200, this, [this] {
            if (currentScreen() == Welcome)
                advanceToScreen(m_screens[Login]);
        });
    }
}

void WelcomeWindowController::blankPageDetectionHit()
{
    stopBlankPageTimer();
    if (!m_lastMainViewPageTitle.isEmpty())
        return;
    AlertRequest request;
    request.title = L(QStringLiteral("Error communicating with Lumora"));
    request.message = L(QStringLiteral("Lumora login is currently unavailable. Please try again later."));
    request.buttons = {L(QStringLiteral("OK"))};
    Alerts::show(request);
}

void WelcomeWindowController::webViewLoadFailedWithError(const QString &errorText, int code)
{
    // Cancelled and aborted loads (a navigation this window refused) are no failures.
    if (code == -3 || code == -999 || code == 102)
        return;
    QString text = errorText;
    if (text.contains(QLatin1String("load interrupted")))
        return;
    const QString lower = text.toLower();
    bool goBack = false;
    if (lower.contains(QLatin1String("token rejected")) || lower.contains(QLatin1String("token_rejected"))
        || revealsSecret(text)) {
        text = L(QStringLiteral("There was trouble completing login, please try again."));
        goBack = true;
    } else {
        // An address in the text may still carry the request token or the verifier.
        text = withoutCredentials(text);
    }
    LGLogInfo(QStringLiteral("LOGIN: Webview failed with error: %1").arg(withoutCredentials(errorText)));
    AlertRequest request;
    request.title = L(QStringLiteral("Error communicating with Lumora"));
    request.message = text;
    request.buttons = {L(QStringLiteral("OK"))};
    Alerts::show(request);
    setWaitingViewActive(false);
    if (goBack)
        QTimer::singleShot(0, this, [this] { advanceToScreen(m_screens[Welcome], true, true); });
}

// ---------------------------------------------------------------------------------------------
// Completing the exchange

void WelcomeWindowController::loginDidCompleteWithURL(const QUrl &url)
{
    if (!Endpoints::isSignInCallback(url)) {
        LGLogInfo(QStringLiteral("LOGIN: Ignored an address that is not the sign-in callback"));
        return;
    }
    // Only a sign-in in progress takes a callback, and only its first: the same callback can
    // arrive from the web view and as a URL event, and an old one can be forwarded to us long
    // after the user signed in.
    if (!m_awaitingCallback) {
        LGLogInfo(QStringLiteral("LOGIN: Ignored a sign-in callback: no sign-in is waiting for one"));
        return;
    }
    // An old link or another sign-in's answer must not end the one the user is working on.
    if (!WelcomeServices::instance()->answersCurrentRequest(url)) {
        LGLogInfo(QStringLiteral("LOGIN: Ignored a sign-in callback that does not answer this sign-in: %1")
                      .arg(cleanOAuthParamFromDebugString(url.toString())));
        return;
    }
    m_awaitingCallback = false;
    m_authLoadPending = false;

    QTimer::singleShot(0, this, [this] {
        if (m_page)
            m_page->stop();
    });
    LGLogInfo(QStringLiteral("Authorized with URL %1").arg(cleanOAuthParamFromDebugString(url.toString())));
    stopBlankPageTimer();
    QPointer<WelcomeWindowController> self(this);
    WelcomeServices::instance()->completeAuth(url, [self](QString userName, QString userId, QString, QString error) {
        dispatch_main_async([self, userName, userId, error] {
            if (self)
                self->handleCompletion(userName, userId, error);
        });
    });
}

void WelcomeWindowController::handleCompletion(const QString &userName, const QString &userId, const QString &error)
{
    WelcomeServices *services = WelcomeServices::instance();
    // Success needs a user id from this exchange and no error; an older stored id does not count.
    const bool succeeded = error.isEmpty() && !userId.isEmpty();
    LGLog::addExcludedWord(services->storedToken());
    LGLog::addExcludedWord(services->tokenSecret());
    LGLog::addExcludedWord(services->sharedSecret());
    stopBlankPageTimer();
    if (!succeeded) {
        failedCompletion(error.isEmpty() ? QStringLiteral("The sign-in did not return an account.") : error);
        return;
    }
    if (currentScreen() == Welcome) {
        // The callback came before the login screen showed: an account was still signed in.
        QString name = services->currentUserFullName();
        if (name.isEmpty())
            name = services->currentUserName();
        if (name.isEmpty())
            name = userName;
        AlertRequest request;
        request.title = L(QStringLiteral("Continue as %1?")).arg(name);
        request.buttons = {L(QStringLiteral("Continue")), L(QStringLiteral("Log out"))};
        request.sheetParent = this;
        QPointer<WelcomeWindowController> self(this);
        Alerts::show(request, [self, userName, userId](AlertResult result) {
            if (!self)
                return;
            WelcomeServices *services = WelcomeServices::instance();
            if (result.button == 1) {
                services->trackAndSet(QStringLiteral("Welcome: Canceled auto-logon"), 3);
                clearCookiesForLogout();
                services->logout();
                self->setWaitingViewActive(false);
                return;
            }
            services->trackAndSet(QStringLiteral("Welcome: Auto-logged on"), 3);
            self->successfulCompletion(userName, userId);
        });
        return;
    }
    successfulCompletion(userName, userId);
}

void WelcomeWindowController::failedCompletion(const QString &error)
{
    WelcomeServices *services = WelcomeServices::instance();
    setWaitingViewActive(false);
    LGLogInfo(QStringLiteral("LOGIN: completeAuthWithURL failed %1").arg(withoutCredentials(error)));
    QString text = error;
    const QString lower = error.toLower();
    if (lower.contains(QLatin1String("token rejected")) || lower.contains(QLatin1String("token_rejected"))
        || lower.contains(QLatin1String("token_secret")) || revealsSecret(error)) {
        text = L(QStringLiteral("There was a problem completing login. Please try again."));
        m_retryCount = 3;
    }
    services->setProperty(QStringLiteral("Welcome: Login trouble"), 1);
    services->trackAndIncrement(QStringLiteral("Welcome: Login trouble, failed to complete auth"), 3);
    AlertRequest request;
    request.title = L(QStringLiteral("Login failed"));
    request.message = text;
    request.buttons = {L(QStringLiteral("OK"))};
    if (m_retryCount <= 2)
        request.buttons << L(QStringLiteral("Retry"));
    QPointer<WelcomeWindowController> self(this);
    const bool retryOffered = request.buttons.size() > 1;
    Alerts::show(request, [self, retryOffered](AlertResult result) {
        if (!self)
            return;
        if (retryOffered && result.button == 1) {
            QTimer::singleShot(0, self, [self] {
                ++self->m_retryCount;
                // The failed exchange spent its request token: reloading its address could
                // only fail again.
                self->setWaitingViewActive(true);
                self->startExchange();
            });
        } else {
            QTimer::singleShot(0, self, [self] {
                clearCookiesForLogout();
                self->advanceToScreen(self->m_screens[Welcome], true, true);
            });
        }
    });
}

void WelcomeWindowController::successfulCompletion(const QString &userName, const QString &userId)
{
    // The page has done its work: its helper processes (about 100 MB) go with it, and so do
    // the engine's launchers; a later sign-in starts a new copy.
    releaseWebView();
    SignInBrowserProfile::endEngineHelpers();
    WelcomeServices *services = WelcomeServices::instance();
    services->refreshReportingDemographics();
    services->refreshReportingMetrics();
    services->trackOnceEver(QStringLiteral("Welcome: Login screen displayed"), 3);
    services->trackOnceEver(QStringLiteral("Welcome: Login complete"), 3);
    services->setProperty(QStringLiteral("Misc: Last interaction"), QDateTime::currentDateTimeUtc());
    services->setProperty(QStringLiteral("LoggedIn"), 1);
    services->setProperty(QStringLiteral("LoggedInWith"), modeName(m_loginMode));
    dispatch_default_queue_async([] { WelcomeServices::instance()->flushAnalytics(); });
    Settings::setBool(true, QStringLiteral("EverLoggedIn"));
    Settings::setObject(userName.isEmpty() ? userId : userName, QStringLiteral("LumoraLoggedInUserName"));
    LGLogInfo(QStringLiteral("Logged in user %1 / %2").arg(userName, userId));
    services->refreshMenu();

    QPointer<WelcomeWindowController> self(this);
    dispatch_default_queue_async([self] {
        static const double pauses[] = {0.25, 1.0, 3.0, 5.0};
        WelcomeServices *services = WelcomeServices::instance();
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (services->updateUserInfoViaUserInteraction(true))
                break;
            if (attempt < 4)
                QThread::msleep(ulong(pauses[attempt] * 1000));
        }
        dispatch_main_async([self] {
            WelcomeServices *services = WelcomeServices::instance();
            services->refreshMenu();
            services->checkChecksumBackfillVerified();
            services->refreshLumoraData();
            if (!self)
                return;
            self->setWaitingViewActive(false);
            if (hasCompletedWelcomeScreen())
                self->advanceToScreen(self->m_screens[SetupComplete]);
            else
                self->advanceImportScreen();
        });
    });
}

// ---------------------------------------------------------------------------------------------
// Alpha environment

void WelcomeWindowController::checkForAlphaEnvironmentAvailable()
{
    {
        QMutexLocker lock(&s_alphaMutex);
        if (s_alphaAvailable.has_value())
            return;
    }
    bool available = false;
    if (!SignInRules::alphaProbeUrl().isEmpty()) {
        QNetworkAccessManager manager;
        QNetworkRequest request(SignInRules::alphaProbeUrl());
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setTransferTimeout(kAuthRequestTimeoutMs);
        QNetworkReply *reply = manager.get(request);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        available = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
        reply->deleteLater();
    }
    QMutexLocker lock(&s_alphaMutex);
    if (s_alphaAvailable.has_value())
        return;
    s_alphaAvailable = available;
    Settings::setBool(available, QStringLiteral("AlphaEnvAvailable"));
}

bool WelcomeWindowController::isAlphaEnvironmentAvailable()
{
    QMutexLocker lock(&s_alphaMutex);
    return s_alphaAvailable.value_or(false);
}

void WelcomeWindowController::setAlphaEnvironmentAvailableForTesting(std::optional<bool> available)
{
    QMutexLocker lock(&s_alphaMutex);
    s_alphaAvailable = available;
    s_serviceErrorPageSeen = false;
    s_accessDeniedShowing = false;
}
