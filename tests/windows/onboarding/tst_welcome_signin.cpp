// Sign-in in the onboarding window's real web view, against the local service double.
#include "FakeWelcomeServices.h"
#include "double/LumoraDouble.h"
#include "support/ScriptedModalUi.h"

#include "core/LGFileLogger.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "platform/Endpoints.h"
#include "service/LumoraKit.h"
#include "app/webview/SignInBrowser.h"
#include "windows/onboarding/WelcomeInternals.h"
#include "windows/onboarding/WelcomeWindowController.h"

#include <QApplication>
#include <QDirIterator>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>
#include <QtTest>

using W = WelcomeWindowController;

namespace {

// The engine's own profile behind the sign-in profile, to look at what it keeps.
QWebEngineProfile *engineProfile()
{
    SignInBrowserProfile *profile = SignInProfile::profile();
    return profile ? qobject_cast<QWebEngineProfile *>(profile->engineObject()) : nullptr;
}

// Every request the web view's profile sends to the network.
class RequestRecorder : public QWebEngineUrlRequestInterceptor
{
public:
    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        QMutexLocker lock(&mutex);
        urls << info.requestUrl();
    }
    QList<QUrl> seen()
    {
        QMutexLocker lock(&mutex);
        return urls;
    }
    QMutex mutex;
    QList<QUrl> urls;
};

// A small OAuth 1.0 client for the fake service client: it signs the request-token and
// access-token steps exactly as the double checks them.
class DoubleOAuth : public QObject
{
public:
    explicit DoubleOAuth(LumoraDouble *service) : service(service) {}

    QUrl signedUrl(const QString &path, QList<std::pair<QString, QString>> params, const QString &tokenSecret)
    {
        params << std::pair{QStringLiteral("oauth_consumer_key"), service->apiKey()}
               << std::pair{QStringLiteral("oauth_nonce"), QString::number(QRandomGenerator::global()->generate64(), 16)}
               << std::pair{QStringLiteral("oauth_signature_method"), QStringLiteral("HMAC-SHA1")}
               << std::pair{QStringLiteral("oauth_timestamp"), QString::number(QDateTime::currentSecsSinceEpoch())}
               << std::pair{QStringLiteral("oauth_version"), QStringLiteral("1.0")};
        const QString base = service->baseUrl() + path;
        const QByteArray text = LumoraDouble::oauthBaseString(QStringLiteral("GET"), base, params);
        params << std::pair{QStringLiteral("oauth_signature"), LumoraDouble::oauthSignature(text, service->apiSecret(), tokenSecret)};
        QUrlQuery query;
        for (const auto &p : params)
            query.addQueryItem(p.first, QString::fromLatin1(QUrl::toPercentEncoding(p.second)));
        QUrl url(base);
        url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
        return url;
    }

    void get(const QUrl &url, std::function<void(int, QUrlQuery)> done)
    {
        QNetworkReply *reply = network.get(QNetworkRequest(url));
        QObject::connect(reply, &QNetworkReply::finished, this, [reply, done] {
            reply->deleteLater();
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            done(status, QUrlQuery(QString::fromUtf8(reply->readAll())));
        });
    }

    void install(FakeWelcomeServices *fake)
    {
        fake->onBeginAuth = [this](const QUrl &callback, int permission, std::function<void(QUrl, QString)> done) {
            QCOMPARE_EQ(permission, 2);
            get(signedUrl(QStringLiteral("/services/oauth/request_token"), {{QStringLiteral("oauth_callback"), callback.toString()}}, {}),
                [this, done](int status, QUrlQuery reply) {
                    if (status != 200) {
                        done(QUrl(), QStringLiteral("Could not connect to the server (%1).").arg(status));
                        return;
                    }
                    requestSecrets.insert(reply.queryItemValue("oauth_token"), reply.queryItemValue("oauth_token_secret"));
                    QUrl authorize(service->baseUrl() + QStringLiteral("/services/oauth/authorize"));
                    authorize.setQuery(QStringLiteral("oauth_token=%1&perms=delete").arg(reply.queryItemValue("oauth_token")));
                    done(authorize, QString());
                });
        };
        fake->onCompleteAuth = [this, fake](const QUrl &callback, std::function<void(QString, QString, QString, QString)> done) {
            const QUrlQuery query(callback);
            if (query.hasQueryItem("oauth_problem")) {
                done({}, {}, {}, QStringLiteral("oauth_problem=%1").arg(query.queryItemValue("oauth_problem")));
                return;
            }
            const QString token = query.queryItemValue("oauth_token");
            verifiers << query.queryItemValue("oauth_verifier");
            requestTokens << token;
            get(signedUrl(QStringLiteral("/services/oauth/access_token"),
                          {{QStringLiteral("oauth_token"), token}, {QStringLiteral("oauth_verifier"), query.queryItemValue("oauth_verifier")}},
                          requestSecrets.value(token)),
                [fake, done](int status, QUrlQuery reply) {
                    if (status != 200) {
                        done({}, {}, {}, QStringLiteral("Login failed (%1)").arg(status));
                        return;
                    }
                    // What the client library stores at sign-in.
                    fake->token = reply.queryItemValue("oauth_token");
                    fake->tokenSecretValue = reply.queryItemValue("oauth_token_secret");
                    fake->userId = reply.queryItemValue("user_nsid");
                    fake->userName = reply.queryItemValue("username");
                    fake->fullName = QUrl::fromPercentEncoding(reply.queryItemValue("fullname").replace('+', ' ').toUtf8());
                    fake->authorized = true;
                    done(fake->userName, fake->userId, fake->fullName, QString());
                });
        };
    }

    LumoraDouble *service;
    QNetworkAccessManager network;
    QMap<QString, QString> requestSecrets;
    QStringList verifiers, requestTokens;
};

// The onboarding window's calls into the service client go to the real client; the rest of
// the engine stays scripted.
class RealClientServices : public FakeWelcomeServices
{
public:
    bool capitalPath = false;
    LumoraKit *kit() { return LumoraKit::sharedLumoraKit(); }
    bool isAuthorized() override { return kit()->isAuthorized(); }
    QString currentUserID() override { return kit()->currentUserID(); }
    QString currentUserName() override { return kit()->currentUserName(); }
    QString currentUserFullName() override { return kit()->currentUserFullName(); }
    QString sharedSecret() override { return kit()->secret(); }
    QString tokenSecret() override { return LumoraKit::tokenSecret(); }
    QString storedToken() override { return Settings::stringForKey(LKStoredKeys::Token); }
    void resetAuthURL() override { kit()->resetAuthURL(); }
    bool answersCurrentRequest(const QUrl &callback) override { return kit()->answersCurrentRequest(callback); }
    void logout() override { kit()->logout(); }
    void beginAuth(const QUrl &callback, int permission, std::function<void(QUrl, QString)> done) override
    {
        kit()->beginAuthWithCallbackURL(callback, LKPermission(permission), [done](const QUrl &url, const LKError &e) {
            done(url, e.isError() ? e.localizedDescription() : QString());
        });
    }
    void completeAuth(const QUrl &arrived, std::function<void(QString, QString, QString, QString)> done) override
    {
        QUrl callback = arrived;
        if (capitalPath) // as if the callback had come with its path in capitals
            callback.setPath(callback.path().toUpper());
        completedWith << callback;
        kit()->completeAuthWithURL(callback, [done](const QString &n, const QString &id, const QString &full, const LKError &e) {
            done(n, id, full, e.isError() ? e.localizedDescription() : QString());
        });
    }
};

QString html(const QString &title, const QString &body)
{
    return QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\">%1</head><body>%2</body></html>")
        .arg(title.isNull() ? QString() : QStringLiteral("<title>%1</title>").arg(title), body);
}

} // namespace

class TestWelcomeSignIn : public QObject
{
    Q_OBJECT
private:
    LumoraDouble *service = nullptr;
    FakeWelcomeServices *fake = nullptr;
    ScriptedAlerts *alerts = nullptr;
    RecordingUrlOpener *opener = nullptr;
    DoubleOAuth *oauth = nullptr;
    RealClientServices *real = nullptr; // the real service client, for the end-to-end test
    RequestRecorder *recorder = nullptr;
    QTemporaryDir logDir;
    std::shared_ptr<LGFileLogger> fileLogger;

    W *openWindow()
    {
        W::display();
        return W::instanceNoCreate();
    }
    static QString screen(W *window) { return window->currentView() ? window->currentView()->objectName() : QString(); }
    static QVariant js(W *window, const QString &script)
    {
        QVariant result;
        bool done = false;
        window->webView()->runScript(script, [&](const QVariant &v) {
            result = v;
            done = true;
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 10000); }();
        return result;
    }
    // The window talks to the real service client, signed out, against the double.
    void useRealClient()
    {
        real = new RealClientServices;
        WelcomeServices::setInstance(real);
        LumoraKit::sharedLumoraKit()->logout();
        LumoraKit::sharedLumoraKit()->initializeWithAPIKey(service->apiKey(), service->apiSecret(), false);
    }
    int requestsTo(const QString &path) { return int(service->requestedPaths().count(path)); }
    // A sign-in that has asked for its request token and waits: callbacks are taken from now on.
    void startWaitingSignIn(W *window)
    {
        fake->onBeginAuth = [](const QUrl &, int, std::function<void(QUrl, QString)>) {};
        window->loginButtonHitWithMode(W::LoginNormal);
        QVERIFY(window->awaitingCallback());
    }
    // The helper processes of the web engine that serve pages: this process's descendants,
    // except the launchers (zygotes) that the engine keeps, small and idle, for the process's
    // life once it has run.
    static QStringList webEngineHelpers()
    {
        QMap<qint64, qint64> parentOf;
        QMap<qint64, QString> nameOf, stateOf;
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool numeric = false;
            const qint64 pid = entry.toLongLong(&numeric);
            if (!numeric)
                continue;
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QString line = QString::fromLocal8Bit(stat.readAll());
            const qsizetype open = line.indexOf(QLatin1Char('(')), close = line.lastIndexOf(QLatin1Char(')'));
            if (open < 0 || close < open)
                continue;
            nameOf[pid] = line.mid(open + 1, close - open - 1);
            const QStringList fields = line.mid(close + 2).split(QLatin1Char(' '));
            stateOf[pid] = fields.value(0);
            parentOf[pid] = fields.value(1).toLongLong();
        }
        QStringList helpers;
        const qint64 self = QCoreApplication::applicationPid();
        for (auto it = parentOf.cbegin(); it != parentOf.cend(); ++it) {
            qint64 ancestor = it.value();
            for (int depth = 0; depth < 8 && ancestor > 1 && ancestor != self; ++depth)
                ancestor = parentOf.value(ancestor, 0);
            if (ancestor == self && it.key() != self) {
                const bool launcher = it.value() == self;
                QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(it.key()));
                QString type;
                // The engine may rewrite its title into one line: look for the switch anywhere.
                if (cmdline.open(QIODevice::ReadOnly)) {
                    static const QRegularExpression typeSwitch(QStringLiteral("(?:^|[\\s])(--type=[^\\s]+)"));
                    const QString all = QString::fromLocal8Bit(cmdline.readAll()).replace(QLatin1Char('\0'), QLatin1Char(' '));
                    type = typeSwitch.match(all).captured(1);
                }
                if (!(launcher && type == QLatin1String("--type=zygote")) && stateOf.value(it.key()) != QLatin1String("Z"))
                    helpers << QStringLiteral("%1 %2 %3").arg(it.key()).arg(nameOf.value(it.key()), type);
            }
        }
        return helpers;
    }
    // Files under a folder whose bytes hold any of the values.
    static QStringList filesHolding(const QString &folder, const QStringList &values)
    {
        QStringList found;
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray bytes = file.readAll();
            for (const QString &value : values)
                if (!value.isEmpty() && bytes.contains(value.toUtf8()))
                    found << file.fileName() + QStringLiteral(" holds ") + value;
        }
        return found;
    }
    // Serves a page of the double and makes it the authorisation address of the next exchange.
    void authorisationPageIs(const QString &path, const QString &content)
    {
        service->setFile(path, content.toUtf8(), QStringLiteral("text/html; charset=utf-8"));
        fake->onBeginAuth = [this, path](const QUrl &, int, std::function<void(QUrl, QString)> done) {
            done(QUrl(service->baseUrl() + path), QString());
        };
    }
    QString logText()
    {
        LGLog::flushLog();
        QString all;
        for (const QString &file : QDir(logDir.path()).entryList(QDir::Files)) {
            QFile f(QDir(logDir.path()).filePath(file));
            if (f.open(QIODevice::ReadOnly))
                all += QString::fromUtf8(f.readAll());
        }
        return all;
    }

private Q_SLOTS:
    void initTestCase()
    {
        W::setAlphaEnvironmentAvailableForTesting(false);
        SignInBrowserProfile::setKeepEngineHelpersForTesting(true); // every case shows pages
        service = new LumoraDouble;
        QVERIFY(service->start());
        service->exportEnvironment();
        auto manager = std::make_shared<LGLogFileManagerDefault>(logDir.path());
        fileLogger = std::make_shared<LGFileLogger>(manager);
        LGLog::addLogger(fileLogger);
        recorder = new RequestRecorder;
        engineProfile()->setUrlRequestInterceptor(recorder);
    }

    void cleanupTestCase()
    {
        engineProfile()->setUrlRequestInterceptor(nullptr);
        LGLog::removeAllLoggers();
        service->stop();
        delete service;
    }

    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        W::setAlphaEnvironmentAvailableForTesting(false);
        fake = new FakeWelcomeServices;
        WelcomeServices::setInstance(fake);
        oauth = new DoubleOAuth(service);
        oauth->install(fake);
        alerts = new ScriptedAlerts;
        Alerts::setPresenter(alerts);
        opener = new RecordingUrlOpener;
        UrlOpeners::setOpener(opener);
        service->resetRecords();
        service->setDenyRedirect(QUrl());
        service->clearFaults();
    }

    void cleanup()
    {
        if (W *window = W::instanceNoCreate()) {
            QPointer<W> guard(window);
            W::forceClose();
            QTRY_VERIFY(!guard);
        }
        QTest::qWait(50);
        WelcomeServices::setInstance(nullptr);
        Alerts::setPresenter(nullptr);
        UrlOpeners::setOpener(nullptr);
        delete fake;
        delete alerts;
        delete opener;
        delete oauth;
        delete real;
        real = nullptr;
    }

    void webViewIsMadeOnlyForSignIn()
    {
        W *window = openWindow();
        QVERIFY(!window->webView());
        authorisationPageIs("/plain.html", html("Lumora", "<p>hello</p>"));
        window->loginButtonHitWithMode(W::LoginNormal);
        QVERIFY(window->webView());
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QCOMPARE(js(window, "navigator.userAgent").toString(), W::userAgentForEnvironment(false));
        QCOMPARE(Settings::intForKey("LumoraLoginAttempts"), 1);
    }

    void signInEndToEnd()
    {
        useRealClient();
        RealClientServices &real = *this->real;
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QVERIFY(window->waitingViewActive());
        // The authorisation page loads behind the overlay, then the login screen slides in.
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTRY_VERIFY(!window->waitingViewActive());
        QTRY_COMPARE(js(window, "document.title").toString(), QStringLiteral("Lumora: Authorize Hoistly"));
        QVERIFY(window->authURL().toString().startsWith(service->baseUrl()));
        QCOMPARE(requestsTo("/services/oauth/request_token"), 1);
        QVERIFY2(!webEngineHelpers().isEmpty(), "a page is shown by a helper process");

        js(window, "document.getElementById('allow-button').click(); true");
        QTRY_COMPARE_WITH_TIMEOUT(real.completedWith.size(), 1, 20000);
        const QUrl callback = real.completedWith.first();
        QVERIFY(Endpoints::isSignInCallback(callback));
        const QString verifier = QUrlQuery(callback).queryItemValue("oauth_verifier");
        const QString requestToken = QUrlQuery(callback).queryItemValue("oauth_token");
        QVERIFY(!verifier.isEmpty());

        // Signed in: account information, analytics, then the next screen.
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("introView"), 20000);
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
        QCOMPARE(LumoraKit::sharedLumoraKit()->currentUserID(), QString::fromLatin1(LumoraDoubleDefaults::userId));
        QVERIFY(real.count("updateUserInfoViaUserInteraction") >= 1);
        QCOMPARE(real.count("checkChecksumBackfillVerified"), 1);
        QCOMPARE(real.count("refreshLumoraData"), 1);
        QCOMPARE(real.count("refreshMenu"), 2);
        QCOMPARE(real.count("refreshReportingDemographics"), 1);
        QVERIFY(real.eventNames("once").contains("Welcome: Login complete"));
        QCOMPARE(real.lastEvent("LoggedInWith")->value.toString(), QStringLiteral("Normal"));
        QCOMPARE(real.lastEvent("LoggedIn")->value.toInt(), 1);
        QVERIFY(Settings::boolForKey("EverLoggedIn"));
        QCOMPARE(Settings::stringForKey("LumoraLoggedInUserName"), QString::fromLatin1(LumoraDoubleDefaults::userName));
        QVERIFY(alerts->requests.isEmpty());

        // The credentials are stored, the token secret only in its encrypted form.
        const QString token = Settings::stringForKey(LKStoredKeys::Token);
        const QString secret = LumoraKit::tokenSecret();
        QVERIFY(!token.isEmpty());
        QVERIFY(!secret.isEmpty());
        QVERIFY(Settings::objectForKey(LKStoredKeys::TokenSecretPlain).isNull());
        const QString stored = Settings::objectForKey(LKStoredKeys::TokenSecretEnc).toString();
        QVERIFY(!Settings::objectForKey(LKStoredKeys::TokenSecretEnc).isNull());
        QVERIFY(!stored.contains(secret));
        QCOMPARE(service->liveAccessTokens(QString::fromLatin1(LumoraDoubleDefaults::userId)), 1);

        // The sign-in page is released, and the engine's helper processes go with it.
        QVERIFY(!window->webView());
        QTRY_VERIFY2_WITH_TIMEOUT(webEngineHelpers().isEmpty(), qPrintable(webEngineHelpers().join(", ")), 20000);
        // Nothing of the exchange stays on disk in the web view's profile: no cached page or
        // redirect with the request token or the verifier.
        QWebEngineProfile *profile = engineProfile();
        QVERIFY(profile);
        QCOMPARE(profile->httpCacheType(), QWebEngineProfile::MemoryHttpCache);
        QVERIFY(QFileInfo(profile->persistentStoragePath()).isDir());
        for (const QString &folder : {profile->persistentStoragePath(), profile->cachePath()}) {
            const QStringList leaks = filesHolding(folder, {verifier, requestToken});
            QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join('\n')));
        }

        // The callback was caught before it went anywhere: not one request for it left the view.
        for (const QUrl &url : recorder->seen())
            QVERIFY2(!Endpoints::isSignInCallback(url), qPrintable(url.toString()));
        QCOMPARE(requestsTo("/services/oauth/authorize"), 2); // the page and the "allow" post
        QCOMPARE(requestsTo("/services/oauth/access_token"), 1);

        // Nothing secret reached the log file.
        const QString log = logText();
        QVERIFY(log.contains("Logged in user"));
        QVERIFY(log.contains("oauth_token=[REDACTED]"));
        for (const QString &value : {token, secret, verifier, requestToken, service->apiSecret()})
            QVERIFY2(!log.contains(value), qPrintable(value));

        LumoraKit::sharedLumoraKit()->logout();
    }

    // The access-token step fails once; "Retry" must run a whole new exchange, whose "allow"
    // then signs the user in.
    void retryAfterAFailedExchangeSignsIn()
    {
        useRealClient();
        service->setFault(LumoraDouble::Fault::HttpError, 500, QStringLiteral("access_token"), 1);
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTRY_COMPARE(js(window, "document.title").toString(), QStringLiteral("Lumora: Authorize Hoistly"));
        const QUrl firstAddress = window->authURL();

        alerts->enqueue(1); // Retry
        js(window, "document.getElementById('allow-button').click(); true");
        QTRY_COMPARE_WITH_TIMEOUT(alerts->count(), 1, 20000);
        QCOMPARE(alerts->last().title, QStringLiteral("Login failed"));
        QCOMPARE(alerts->last().buttons, (QStringList{"OK", "Retry"}));
        QCOMPARE(requestsTo("/services/oauth/access_token"), 1);

        // A new request token and a new authorisation address, loaded in the same view.
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/services/oauth/request_token"), 2, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(window->authURL().isValid() && window->authURL() != firstAddress, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(js(window, "document.title").toString(), QStringLiteral("Lumora: Authorize Hoistly"), 20000);
        QTRY_VERIFY(!window->waitingViewActive());
        QCOMPARE(screen(window), QStringLiteral("oAuthView"));
        QCOMPARE(window->retryCount(), 1);

        js(window, "document.getElementById('allow-button').click(); true");
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("introView"), 20000);
        QCOMPARE(alerts->count(), 1);
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
        QCOMPARE(real->completedWith.size(), 2);
        QVERIFY(QUrlQuery(real->completedWith.at(0)).queryItemValue("oauth_token")
                != QUrlQuery(real->completedWith.at(1)).queryItemValue("oauth_token"));
        QCOMPARE(requestsTo("/services/oauth/access_token"), 2);
        LumoraKit::sharedLumoraKit()->logout();
    }

    // Once signed in, a second, different callback (an old one forwarded by another copy, say)
    // changes nothing: no completion, no alert, no cookies cleared, no way back to the start.
    void strayCallbackAfterSignInIsIgnored()
    {
        authorisationPageIs("/stray.html", html("Lumora", "<p>sign in</p>"));
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        fake->onCompleteAuth = [this](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            fake->authorized = true;
            fake->userId = "lumora-1";
            done("someone", "lumora-1", "Some One", {});
        };
        QVERIFY(window->awaitingCallback());
        window->loginDidCompleteWithURL(QUrl("https://hoistly.lumora.com/auth?oauth_token=first&oauth_verifier=v1"));
        QTRY_COMPARE(screen(window), QStringLiteral("introView"));
        QVERIFY(!window->awaitingCallback());
        QCOMPARE(fake->count("completeAuth"), 1);

        QWebEngineCookieStore *store = engineProfile()->cookieStore();
        QNetworkCookie kept("session", "1");
        kept.setDomain(".lumora.com");
        kept.setPath("/");
        kept.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(1));
        store->setCookie(kept);
        QTRY_VERIFY(SignInProfile::cookieDomains().contains(".lumora.com"));

        fake->onCompleteAuth = [](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            done({}, {}, {}, QStringLiteral("oauth_problem=token_rejected"));
        };
        NotificationCenter::postOnMain(Notifications::LoginTokenReady, QUrl("https://hoistly.lumora.com/auth?oauth_token=old&oauth_verifier=v0"));
        window->loginDidCompleteWithURL(QUrl("https://hoistly.lumora.com/auth?oauth_token=other&oauth_verifier=v2"));
        QTest::qWait(300);
        QCOMPARE(fake->count("completeAuth"), 1);
        QCOMPARE(alerts->count(), 0);
        QCOMPARE(screen(window), QStringLiteral("introView"));
        QVERIFY(fake->authorized);
        QVERIFY(SignInProfile::cookieDomains().contains(".lumora.com"));
        QVERIFY(logText().contains("Ignored a sign-in callback"));
        store->deleteAllCookies();

        // A window that never started a sign-in takes none either.
        W::forceClose();
        QTRY_VERIFY(!W::instanceNoCreate());
        fake->authorized = false;
        window = openWindow();
        window->loginDidCompleteWithURL(QUrl("https://hoistly.lumora.com/auth?oauth_token=x&oauth_verifier=y"));
        QTest::qWait(100);
        QCOMPARE(fake->count("completeAuth"), 1);
        QCOMPARE(screen(window), QStringLiteral("welcomeView"));
    }

    // The callback's path is recognised in any case, in the web view as everywhere else; the
    // address goes to the client as it came.
    void callbackPathInAnyCase()
    {
        authorisationPageIs("/case.html", html("Lumora", "<a id='cb' href='https://hoistly.lumora.com/AUTH?oauth_token=Up&oauth_verifier=Ver'>go</a>"));
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        fake->onCompleteAuth = [this](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            fake->authorized = true;
            done("someone", "lumora-1", "", {});
        };
        js(window, "document.getElementById('cb').click(); true");
        QTRY_COMPARE_WITH_TIMEOUT(fake->count("completeAuth"), 1, 20000);
        QCOMPARE(fake->completedWith.first().path(), QStringLiteral("/AUTH"));
        QCOMPARE(QUrlQuery(fake->completedWith.first()).queryItemValue("oauth_token"), QStringLiteral("Up"));
        QTRY_COMPARE(screen(window), QStringLiteral("introView"));
        for (const QUrl &url : recorder->seen())
            QVERIFY2(!Endpoints::isSignInCallback(url), qPrintable(url.toString()));

        QVERIFY(Endpoints::isSignInCallback(QUrl("https://hoistly.lumora.com/Auth?x=1")));
        QVERIFY(Endpoints::isSignInCallback(QUrl("HTTPS://HOISTLY.LUMORA.COM/AUTH")));
        QVERIFY(!Endpoints::isSignInCallback(QUrl("https://hoistly.lumora.com/AUTH/more")));
        QVERIFY(!Endpoints::isSignInCallback(QUrl("https://hoistly.lumora.com.example.org/AUTH")));
        QVERIFY(!Endpoints::isSignInCallback(QUrl("http://hoistly.lumora.com/AUTH")));
    }

    // The real client completes a callback whose path came in capitals.
    void capitalCallbackPathSignsInWithTheRealClient()
    {
        useRealClient();
        real->capitalPath = true;
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTRY_COMPARE(js(window, "document.title").toString(), QStringLiteral("Lumora: Authorize Hoistly"));
        js(window, "document.getElementById('allow-button').click(); true");
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("introView"), 20000);
        QCOMPARE(real->completedWith.first().path(), QStringLiteral("/AUTH"));
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
        QCOMPARE(alerts->count(), 0);
        LumoraKit::sharedLumoraKit()->logout();
    }

    // An old link (or another sign-in's answer) arriving while the login page shows is passed
    // over: the user's sign-in goes on and its own answer signs in.
    void staleCallbackThenTheRealOneSignsIn()
    {
        useRealClient();
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTRY_COMPARE(js(window, "document.title").toString(), QStringLiteral("Lumora: Authorize Hoistly"));
        NotificationCenter::postOnMain(Notifications::LoginTokenReady, QUrl("https://hoistly.lumora.com/auth?oauth_token=OLD&oauth_verifier=x"));
        js(window, "document.getElementById('allow-button').click(); true");
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("introView"), 20000);
        QCOMPARE(alerts->count(), 0);
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
        QCOMPARE(real->completedWith.size(), 1);
        QVERIFY(logText().contains("does not answer this sign-in"));
        LumoraKit::sharedLumoraKit()->logout();
    }

    void denyOffersRetryAndOkGoesBack()
    {
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTRY_COMPARE(js(window, "document.title").toString(), QStringLiteral("Lumora: Authorize Hoistly"));
        alerts->enqueue(0); // OK
        js(window, "document.getElementById('deny-button').click(); true");
        QTRY_COMPARE_WITH_TIMEOUT(alerts->count(), 1, 20000);
        QCOMPARE(alerts->last().title, QStringLiteral("Login failed"));
        QCOMPARE(alerts->last().buttons, (QStringList{"OK", "Retry"}));
        QTRY_COMPARE(screen(window), QStringLiteral("welcomeView"));
        QVERIFY(!fake->authorized);
        QVERIFY(fake->eventNames().contains("Welcome: Login trouble, failed to complete auth"));
        QVERIFY(!window->waitingViewActive());
    }

    void unreachableService()
    {
        W *window = openWindow();
        fake->onBeginAuth = [](const QUrl &, int, std::function<void(QUrl, QString)> done) {
            done(QUrl(), QStringLiteral("Could not connect to the server."));
        };
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QStringLiteral("Unable to reach Lumora"));
        QCOMPARE(alerts->last().message, QStringLiteral("Could not connect to the server."));
        QTRY_VERIFY(!window->waitingViewActive());
        QCOMPARE(screen(window), QStringLiteral("welcomeView"));

        // An authorisation page that cannot be loaded is a load failure.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        fake->onBeginAuth = [port](const QUrl &, int, std::function<void(QUrl, QString)> done) {
            done(QUrl(QStringLiteral("http://127.0.0.1:%1/services/oauth/authorize?oauth_token=1").arg(port)), QString());
        };
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(alerts->count(), 2, 20000);
        QCOMPARE(alerts->last().title, QStringLiteral("Error communicating with Lumora"));
        QTRY_VERIFY(!window->waitingViewActive());

        // A plain-HTTP address elsewhere than this computer is refused outright.
        fake->onBeginAuth = [](const QUrl &, int, std::function<void(QUrl, QString)> done) {
            done(QUrl(QStringLiteral("http://example.org/services/oauth/authorize")), QString());
        };
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE(alerts->count(), 3);
        QCOMPARE(alerts->last().title, QStringLiteral("Unable to reach Lumora"));

        // An authorisation page that never comes is a failure once the request's time is up:
        // the overlay never stays over the welcome screen for good.
        QTcpServer silent; // accepts, never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        fake->onBeginAuth = [&silent](const QUrl &, int, std::function<void(QUrl, QString)> done) {
            done(QUrl(QStringLiteral("http://127.0.0.1:%1/services/oauth/authorize?oauth_token=2").arg(silent.serverPort())), QString());
        };
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_VERIFY(silent.hasPendingConnections());
        QTRY_COMPARE_WITH_TIMEOUT(alerts->count(), 4, 45000);
        QCOMPARE(alerts->last().title, QStringLiteral("Error communicating with Lumora"));
        QVERIFY(!window->waitingViewActive());
        QCOMPARE(screen(window), QStringLiteral("welcomeView"));
    }

    void retryIsOfferedThreeTimes()
    {
        W *window = openWindow();
        authorisationPageIs("/retry.html", html("Lumora", "<p>sign in</p>"));
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        fake->onCompleteAuth = [](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            done({}, {}, {}, QStringLiteral("Invalid verifier"));
        };
        QList<bool> retryOffered;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const int loads = requestsTo("/retry.html");
            alerts->enqueue(1); // Retry (ignored once it is not offered: then OK)
            window->loginDidCompleteWithURL(QUrl(QStringLiteral("https://hoistly.lumora.com/auth?oauth_token=t%1&oauth_verifier=v").arg(attempt)));
            QTRY_COMPARE(alerts->count(), attempt + 1);
            retryOffered << alerts->last().buttons.contains("Retry");
            if (retryOffered.last())
                QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/retry.html"), loads + 1, 20000);
        }
        QCOMPARE(retryOffered, (QList<bool>{true, true, true, false}));
        QCOMPARE(window->retryCount(), 3);
        // Each retry was an exchange of its own.
        QCOMPARE(fake->count("beginAuth"), 4);
    }

    void secretInFailureRemovesRetry()
    {
        W *window = openWindow();
        fake->secret = QStringLiteral("app-shared-secret");
        fake->onCompleteAuth = [](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            done({}, {}, {}, QStringLiteral("signature mismatch for key app-shared-secret"));
        };
        startWaitingSignIn(window);
        alerts->enqueue(0);
        window->loginDidCompleteWithURL(QUrl("https://hoistly.lumora.com/auth?oauth_token=a&oauth_verifier=b"));
        QTRY_COMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().buttons, QStringList{"OK"});
        QCOMPARE(alerts->last().message, QStringLiteral("There was a problem completing login. Please try again."));
        QVERIFY(!logText().contains("app-shared-secret"));
    }

    void failureWithAnOlderUserIdIsAFailure()
    {
        W *window = openWindow();
        fake->userId = QStringLiteral("lumora-2"); // left from an earlier account
        fake->onCompleteAuth = [](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            done({}, {}, {}, QStringLiteral("oauth_problem=token_expired"));
        };
        startWaitingSignIn(window);
        window->loginDidCompleteWithURL(QUrl("https://hoistly.lumora.com/auth?oauth_token=a&oauth_verifier=b"));
        QTRY_COMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QStringLiteral("Login failed"));
        QVERIFY(!Settings::boolForKey("EverLoggedIn"));
        QCOMPARE(fake->count("refreshLumoraData"), 0);
    }

    void pageChecks404AndBlank()
    {
        W *window = openWindow();
        authorisationPageIs("/missing.html", html("Error 404 Not Found", "<p>nothing</p>"));
        window->loginButtonHitWithMode(W::LoginNormal);
        // Reloaded twice, then treated like any other page.
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/missing.html"), 3, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTest::qWait(300);
        QCOMPARE(requestsTo("/missing.html"), 3);
        QCOMPARE(window->did404Redirect(), 2);

        // A title where 404 touches a letter is no 404.
        service->setFile("/other.html", html("Error404x", "<p>x</p>").toUtf8(), "text/html");
        service->setFile("/login.html", html("Orvane - login", "<p>login</p>").toUtf8(), "text/html");
        service->setFile("/blank.html", QByteArray("<html><head></head><body></body></html>"), "text/html");
        window->webView()->load(QUrl(service->baseUrl() + "/other.html"));
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/other.html"), 1, 20000);
        QTest::qWait(500);
        QCOMPARE(requestsTo("/other.html"), 1);

        // An empty page right after the login page: after 8 s the user is told.
        window->webView()->load(QUrl(service->baseUrl() + "/login.html"));
        QTRY_COMPARE_WITH_TIMEOUT(js(window, "document.title").toString(), QStringLiteral("Orvane - login"), 20000);
        QTest::qWait(300);
        window->webView()->load(QUrl(service->baseUrl() + "/blank.html"));
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/blank.html"), 1, 20000);
        QTest::qWait(2000);
        QCOMPARE(alerts->count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(alerts->count(), 1, 12000);
        QCOMPARE(alerts->last().message, QStringLiteral("Lumora login is currently unavailable. Please try again later."));
    }

    void waysInForwardToTheirLinks_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("target");
        QTest::newRow("Google") << int(W::LoginGoogle)
                                << "<a href='/help.html'>help</a><a href='/facebook-in.html'>f</a><a href='/google-in.html'>g</a>"
                                << "/google-in.html";
        QTest::newRow("Facebook") << int(W::LoginFacebook)
                                  << "<a href='/help.html'>help</a><a href='/facebook-in.html'>f</a><a href='/google-in.html'>g</a>"
                                  << "/facebook-in.html";
        QTest::newRow("new account, regurl") << int(W::LoginNewAccount)
                                             << "<a id='createacc' regurl='/create-a.html' href='/create-b.html'>new</a>"
                                             << "/create-a.html";
        QTest::newRow("new account, href") << int(W::LoginNewAccount)
                                           << "<a id='createacc' href='/create-b.html'>new</a>" << "/create-b.html";
        QTest::newRow("new account, button") << int(W::LoginNewAccount)
                                             << "<a id='signup_btn' href='/create-c.html'>sign up</a>" << "/create-c.html";
    }
    void waysInForwardToTheirLinks()
    {
        QFETCH(int, mode);
        QFETCH(QString, page);
        QFETCH(QString, target);
        for (const QString &p : {"/help.html", "/facebook-in.html", "/google-in.html", "/create-a.html", "/create-b.html", "/create-c.html"})
            service->setFile(p, html("Lumora " + p, "<p>page</p>").toUtf8(), "text/html");
        authorisationPageIs("/ways.html", html("Orvane - login", page));
        W *window = openWindow();
        window->loginButtonHitWithMode(mode);
        QTRY_VERIFY_WITH_TIMEOUT(requestsTo(target) >= 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTRY_VERIFY(!window->waitingViewActive());
        if (mode != W::LoginNewAccount)
            QCOMPARE(requestsTo("/help.html"), 0);
        QTRY_COMPARE(js(window, "document.title").toString(), "Lumora " + target);
    }

    void plainModeDoesNotForward()
    {
        authorisationPageIs("/ways-plain.html", html("Orvane - login", "<a href='/google-in.html'>g</a>"));
        service->setFile("/google-in.html", html("g", "").toUtf8(), "text/html");
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTest::qWait(500);
        QCOMPARE(requestsTo("/google-in.html"), 0);
    }

    void callbackRulesAreStrict()
    {
        // The callback in a sub-frame, in an image and in a look-alike address completes nothing.
        const QString page = html("Lumora",
            "<iframe src='https://hoistly.lumora.com/auth?oauth_token=frame&oauth_verifier=x'></iframe>"
            "<img src='https://hoistly.lumora.com/auth?oauth_token=img&oauth_verifier=x'>");
        authorisationPageIs("/frames.html", page);
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTest::qWait(500);
        QCOMPARE(fake->count("completeAuth"), 0);
        for (const QUrl &url : recorder->seen())
            QVERIFY2(!(Endpoints::isSignInCallback(url) && QUrlQuery(url).queryItemValue("oauth_token") == "frame"),
                     qPrintable(url.toString()));

        window->loginDidCompleteWithURL(QUrl("https://hoistly.lumora.com.example.org/auth?oauth_token=a"));
        window->loginDidCompleteWithURL(QUrl("https://example.org/auth?next=https://hoistly.lumora.com/auth"));
        NotificationCenter::post(Notifications::LoginTokenReady, QUrl("https://example.org/hoistly.lumora.com/auth"));
        QTest::qWait(50);
        QCOMPARE(fake->count("completeAuth"), 0);
    }

    void callbackFromWebViewAndUrlEventIsHandledOnce()
    {
        W *window = openWindow();
        fake->onCompleteAuth = [this](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            fake->authorized = true;
            fake->fullName = "Some One";
            QTimer::singleShot(100, [done] { done("someone", "lumora-1", "Some One", {}); });
        };
        const QUrl callback("https://HOISTLY.lumora.com/auth?oauth_token=Tok&oauth_verifier=Ver");
        startWaitingSignIn(window);
        NotificationCenter::postOnMain(Notifications::LoginTokenReady, callback);
        NotificationCenter::postOnMain(Notifications::LoginTokenReady, callback);
        QTRY_COMPARE(fake->count("completeAuth"), 1);
        window->loginDidCompleteWithURL(callback);
        QTRY_COMPARE(screen(window), QStringLiteral("introView"));
        QTest::qWait(200);
        QCOMPARE(fake->count("completeAuth"), 1);
        // The address keeps the case it arrived in (the host is case-free anyway).
        QCOMPARE(QUrlQuery(fake->completedWith.first()).queryItemValue("oauth_token"), QStringLiteral("Tok"));
        // It came while the welcome screen showed: the user was asked whether to continue.
        QCOMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QStringLiteral("Continue as Some One?"));
        QVERIFY(fake->eventNames().contains("Welcome: Auto-logged on"));
    }

    void refusingTheAutoLogonLogsOut()
    {
        W *window = openWindow();
        fake->onCompleteAuth = [this](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            fake->authorized = true;
            fake->userName = "someone";
            done("someone", "lumora-1", "", {});
        };
        alerts->enqueue(1); // Log out
        startWaitingSignIn(window);
        window->loginDidCompleteWithURL(QUrl("https://hoistly.lumora.com/auth?oauth_token=a&oauth_verifier=b"));
        QTRY_COMPARE(fake->count("logout"), 1);
        QCOMPARE(alerts->last().title, QStringLiteral("Continue as someone?"));
        QCOMPARE(screen(window), QStringLiteral("welcomeView"));
        QVERIFY(!Settings::boolForKey("EverLoggedIn"));
    }

    void notAuthorizedPageReloadsAndTellsTheUser()
    {
        service->setDenyRedirect(QUrl("https://notauthorized.orvane.com/denied"));
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTRY_COMPARE(js(window, "document.title").toString(), QStringLiteral("Lumora: Authorize Hoistly"));
        const int before = requestsTo("/services/oauth/authorize");
        // The alert stays up until the user answers it, as a real one does: the engine may report
        // the refused address more than once meanwhile, and the user still sees one alert.
        alerts->enqueueDeferred();
        js(window, "document.getElementById('deny-button').click(); true");
        const QString denied = QStringLiteral("Authorization Denied");
        QTRY_VERIFY_WITH_TIMEOUT(alerts->titles().contains(denied), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/services/oauth/authorize"), before + 2, 20000); // the post, then the reload
        // One refusal, one alert about it (a slow machine may add the page checks' own alert
        // about the reloaded page).
        QVERIFY2(alerts->titles().count(denied) == 1, qPrintable(alerts->titles().join(QStringLiteral(" | "))));
        QVERIFY(alerts->answerPending(0));
        for (const QUrl &url : recorder->seen())
            QVERIFY(url.host() != QLatin1String("notauthorized.orvane.com"));
    }

    void detourReloadsTheAuthorisationPage()
    {
        authorisationPageIs("/detour.html", html("Lumora", "<p>x</p>"));
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        const int before = requestsTo("/detour.html");
        window->webView()->load(QUrl("https://m.lumora.com/signin/"));
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/detour.html"), before + 1, 20000);
        QCOMPARE(alerts->count(), 0);
    }

    // A link that asks for a new window goes to the user's browser (mobile host made plain);
    // the view never opens it, and neither does anything for other schemes or huge addresses.
    void newWindowLinksGoToTheBrowser()
    {
        const QString longAddress = "https://orvane.com/" + QString(1100, QLatin1Char('a'));
        authorisationPageIs("/popups.html", html("Lumora",
            "<style>a{display:block;height:40px}</style>"
            "<a id='help' target='_blank' href='https://m.orvane.com/help?from=https://m.orvane.com/x'>help</a>"
            "<a id='ftp' target='_blank' href='ftp://m.orvane.com/file'>ftp</a>"
            "<a id='long' target='_blank' href='" + longAddress + "'>long</a>"));
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QTRY_COMPARE(js(window, "document.title").toString(), QStringLiteral("Lumora"));
        QTRY_VERIFY(!window->isSliding());
        const QUrl shown = window->webView()->url();
        auto click = [&](const QString &id) {
            const QVariantList box = js(window, QStringLiteral("(function(){var r=document.getElementById('%1').getBoundingClientRect();"
                                                               "return [r.left + 5, r.top + r.height / 2];})()").arg(id)).toList();
            QVERIFY(box.size() == 2);
            QWidget *target = window->webView()->view()->focusProxy();
            QVERIFY(target);
            QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(box[0].toInt(), box[1].toInt()));
        };
        click("help");
        QTRY_COMPARE_WITH_TIMEOUT(opener->opened.size(), 1, 20000);
        QCOMPARE(opener->last(), QUrl("https://orvane.com/help?from=https://orvane.com/x"));
        click("ftp");
        click("long");
        click("help"); // the last click proves the two before it were handled
        QTRY_COMPARE_WITH_TIMEOUT(opener->opened.size(), 2, 20000);
        QTest::qWait(300);
        QCOMPARE(opener->opened.size(), 2);
        QCOMPARE(window->webView()->url(), shown);
        QVERIFY(logText().contains("LOGIN: Opening popup for"));
    }

    // The service's error page reloads the authorisation page after 2 s, once per process.
    void serviceErrorPageReloadsOnce()
    {
        authorisationPageIs("/panda-auth.html", html("Lumora", "<p>x</p>"));
        service->setFile("/oops_lumorapanda.html", html("Oops", "<p>panda</p>").toUtf8(), "text/html");
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        const int before = requestsTo("/panda-auth.html");
        window->webView()->load(QUrl(service->baseUrl() + "/oops_lumorapanda.html"));
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/oops_lumorapanda.html"), 1, 20000);
        QTest::qWait(1000);
        QCOMPARE(requestsTo("/panda-auth.html"), before);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/panda-auth.html"), before + 1, 10000);
        QVERIFY(fake->eventNames().contains("Welcome: Login trouble, panda"));
        QCOMPARE(fake->lastEvent("Welcome: Login trouble")->value.toInt(), 1);

        window->webView()->load(QUrl(service->baseUrl() + "/oops_lumorapanda.html"));
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/oops_lumorapanda.html"), 2, 20000);
        QTest::qWait(3000);
        QCOMPARE(requestsTo("/panda-auth.html"), before + 1);
    }

    // The log-out marker is never loaded: the authorisation page comes back instead.
    void logOutMarkerReloadsTheAuthorisationPage()
    {
        authorisationPageIs("/marker-auth.html", html("Lumora", "<p>x</p>"));
        service->setFile("/signed-out.html", html("Signed out", "").toUtf8(), "text/html");
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginNormal);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        const int before = requestsTo("/marker-auth.html");
        window->webView()->load(QUrl(service->baseUrl() + "/signed-out.html?iosauthlogout=1"));
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("/marker-auth.html"), before + 1, 20000);
        QCOMPARE(requestsTo("/signed-out.html"), 0);
        QVERIFY(logText().contains("LOGIN: iOS logout detected"));
        QCOMPARE(alerts->count(), 0);
    }

    // A forwarding target that never answers: after 15 s the login screen shows all the same.
    void forwardingFallsBackAfter15Seconds()
    {
        QTcpServer silent; // accepts, never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QString target = QStringLiteral("http://127.0.0.1:%1/google-in").arg(silent.serverPort());
        authorisationPageIs("/forward.html", html("Orvane - login", "<a href='" + target + "'>g</a>"));
        W *window = openWindow();
        window->loginButtonHitWithMode(W::LoginGoogle);
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains("LOGIN: FORWARDING TO URL"), 20000);
        QTest::qWait(12000);
        QVERIFY(window->waitingViewActive());
        QCOMPARE(screen(window), QStringLiteral("welcomeView"));
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 10000);
        QVERIFY(!window->waitingViewActive());
        QCOMPARE(alerts->count(), 0);
    }

    // A failure text that would carry a credential never reaches an alert or the log.
    void loadFailureTextIsRedacted()
    {
        W *window = openWindow();
        window->advanceToScreen(window->screenView(W::Login), false, false);
        fake->tokenSecretValue = QStringLiteral("tsecret-4242");
        window->webViewLoadFailedWithError(QStringLiteral("Failed at https://x/a?oauth_token=req-777&oauth_verifier=ver-888 (tsecret-4242)"), -105);
        QTRY_COMPARE(alerts->count(), 1);
        QCOMPARE(alerts->last().title, QStringLiteral("Error communicating with Lumora"));
        QCOMPARE(alerts->last().message, QStringLiteral("There was trouble completing login, please try again."));
        QTRY_COMPARE(screen(window), QStringLiteral("welcomeView"));

        window->advanceToScreen(window->screenView(W::Login), false, false);
        window->webViewLoadFailedWithError(QStringLiteral("Failed at https://x/a?oauth_token=req-777&oauth_verifier=ver-888"), -105);
        QTRY_COMPARE(alerts->count(), 2);
        QVERIFY(!alerts->last().message.contains("req-777"));
        QVERIFY(!alerts->last().message.contains("ver-888"));
        QVERIFY(alerts->last().message.contains("oauth_token=[REDACTED]"));
        QCOMPARE(screen(window), QStringLiteral("oAuthView"));

        const QString log = logText();
        QVERIFY(log.contains("LOGIN: Webview failed with error"));
        for (const char *value : {"tsecret-4242", "req-777", "ver-888"})
            QVERIFY2(!log.contains(QLatin1String(value)), value);
    }

    void addressRules()
    {
        QVERIFY(SignInRules::isDetour(QUrl("https://m.lumora.com/")));
        QVERIFY(SignInRules::isDetour(QUrl("https://m.lumora.com")));
        QVERIFY(SignInRules::isDetour(QUrl("https://m.lumora.com/signin")));
        QVERIFY(SignInRules::isDetour(QUrl("https://m.lumora.com/signin/")));
        QVERIFY(!SignInRules::isDetour(QUrl("https://m.lumora.com/signin/more")));
        QVERIFY(SignInRules::isDetour(QUrl("https://m.lumora.com/#/home")));
        QVERIFY(SignInRules::isDetour(QUrl("https://login.example/x?iosauthlogout=1")));
        QVERIFY(SignInRules::isQuietAsset("data:image/gif;base64,r0lgod"));
        QCOMPARE(SignInRules::withoutMobileHost("https://m.orvane.com/a?b=https://m.orvane.com"),
                 QStringLiteral("https://orvane.com/a?b=https://orvane.com"));
        QCOMPARE(SignInRules::withoutMobileHost("https://mm.orvane.com/"), QStringLiteral("https://mm.orvane.com/"));
    }

    void redactionHidesEveryCredential()
    {
        using F = W;
        QCOMPARE(F::cleanOAuthParamFromDebugString("https://x/auth?oauth_token=abc&oauth_verifier=def&a=1"),
                 QStringLiteral("https://x/auth?oauth_token=[REDACTED]&oauth_verifier=[REDACTED]&a=1"));
        QCOMPARE(F::cleanOAuthParamFromDebugString("https://x/?OAUTH_TOKEN=abc"), QStringLiteral("https://x/?oauth_token=[REDACTED]"));
        QCOMPARE(F::cleanOAuthParamFromDebugString("a oauth_token_secret=s1&oauth_token=t1 then oauth_token=t2"),
                 QStringLiteral("a oauth_token_secret=[REDACTED]&oauth_token=[REDACTED] then oauth_token=[REDACTED]"));
        QCOMPARE(F::cleanOAuthParamFromDebugString("no credentials here"), QStringLiteral("no credentials here"));
        QCOMPARE(F::cleanOAuthParamFromDebugString("x?oauth_token%3Dabc"), QStringLiteral("x?oauth_token%3D[REDACTED]"));
    }

    void cookiesOfTheServiceAreCleared()
    {
        QWebEngineCookieStore *store = engineProfile()->cookieStore();
        auto cookie = [](const char *name, const char *domain) {
            QNetworkCookie c(name, "1");
            c.setDomain(QString::fromLatin1(domain));
            c.setPath("/");
            c.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(1));
            return c;
        };
        store->setCookie(cookie("a", ".lumora.com"));
        store->setCookie(cookie("b", "login.ORVANE.com"));
        store->setCookie(cookie("c", "example.org"));
        QTRY_VERIFY2(SignInProfile::cookieDomains().contains(".example.org") && SignInProfile::cookieDomains().size() >= 3,
                     qPrintable(SignInProfile::cookieDomains().join(',')));
        W::clearCookiesForLogout();
        QTRY_COMPARE(SignInProfile::cookieDomains(), QStringList{".example.org"});
        store->deleteAllCookies();
    }

    void alphaEnvironmentChoice()
    {
        W::setAlphaEnvironmentAvailableForTesting(true);
        authorisationPageIs("/alpha.html", html("Lumora", "<p>a</p>"));
        W *window = openWindow();
        alerts->enqueue(1); // Alpha
        window->loginButtonHitWithMode(W::LoginNormal);
        QCOMPARE(alerts->last().buttons, (QStringList{"Production Environment", "Alpha Environment"}));
        QVERIFY(Settings::boolForKey("alphaEnv"));
        QCOMPARE(fake->count("reinit alpha"), 1);
        QCOMPARE(fake->count("logout"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(screen(window), QStringLiteral("oAuthView"), 20000);
        QVERIFY(js(window, "navigator.userAgent").toString() != W::userAgentForEnvironment(false));
        // The same choice again changes nothing before the exchange.
        window->advanceToScreen(window->screenView(W::Welcome), true, false);
        alerts->enqueue(1);
        window->loginButtonHitWithMode(W::LoginNormal);
        QCOMPARE(fake->count("reinit alpha"), 1);
        Settings::setBool(false, "alphaEnv");
        W::setAlphaEnvironmentAvailableForTesting(false);
    }
};

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestWelcomeSignIn test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_welcome_signin.moc"
