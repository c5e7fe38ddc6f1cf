// The service client against published OAuth vectors and against the local service double.
#include "LumoraDouble.h"
#include "ServiceTestClient.h"
#include "support/DoubleSignIn.h"

#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "service/HTTPRequest.h"
#include "service/LumoraKit.h"
#include "service/Reachability.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QOAuth1Signature>
#include <QSemaphore>
#include <QStandardPaths>
#include <QThread>
#include <QUrlQuery>
#include <QtTest>

#include <memory>

namespace {

// Captures a completion that arrives on another thread.
template <typename... T>
struct Waiter
{
    QSemaphore sem;
    std::tuple<std::decay_t<T>...> values;
    auto callback()
    {
        return [this](const T &...args) {
            values = std::make_tuple(args...);
            sem.release();
        };
    }
    bool wait(int ms = 15000) { return sem.tryAcquire(1, ms); }
};

class CapturingLogger : public LGLogger
{
public:
    QStringList lines;
    QMutex lock;
    void logMessage(const LGLogMessage &m) override
    {
        QMutexLocker l(&lock);
        lines << m.message;
    }
    void flush() override {}
    QString all()
    {
        QMutexLocker l(&lock);
        return lines.join(QLatin1Char('\n'));
    }
};

} // namespace

class TestLumoraKit : public QObject
{
    Q_OBJECT

    LumoraDouble service;
    std::shared_ptr<CapturingLogger> logger = std::make_shared<CapturingLogger>();
    LumoraKit *kit = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        Settings::clearAllSettingsPERMANENTLY();
        LGLog::addLogger(logger);
        QVERIFY(startServiceForClient(service));
        kit = LumoraKit::sharedLumoraKit();
    }

    void init()
    {
        kit->logout();
        kit->clearCache();
        service.clearFaults();
        Reachability::setStatusOverrideForTesting(-1);
    }

    void signatureMatchesPublishedVector()
    {
        // The photos.example.net vector, through the same signature class the client uses.
        QMultiMap<QString, QVariant> params{{QStringLiteral("file"), QStringLiteral("vacation.jpg")},
                                            {QStringLiteral("size"), QStringLiteral("original")},
                                            {QStringLiteral("oauth_consumer_key"), QStringLiteral("dpf43f3p2l4k3l03")},
                                            {QStringLiteral("oauth_token"), QStringLiteral("nnch734d00sl2jdk")},
                                            {QStringLiteral("oauth_signature_method"), QStringLiteral("HMAC-SHA1")},
                                            {QStringLiteral("oauth_timestamp"), QStringLiteral("1191242096")},
                                            {QStringLiteral("oauth_nonce"), QStringLiteral("kllo9940pd9333jh")},
                                            {QStringLiteral("oauth_version"), QStringLiteral("1.0")}};
        QOAuth1Signature sig(QUrl(QStringLiteral("http://photos.example.net/photos")), QStringLiteral("kd94hf93k423kf44"),
                             QStringLiteral("pfkkdhi9sl3r4s00"), QOAuth1Signature::HttpRequestMethod::Get, params);
        QCOMPARE(sig.hmacSha1().toBase64(), QByteArray("tR3+Ty81lMeYAr/Fid0kMTYa/WM="));

        // The client's own parameters verify with an independent implementation.
        LumoraKit::Params args{{QStringLiteral("method"), QStringLiteral("x.y")}, {QStringLiteral("title"), QStringLiteral("a b&c=d/é+~")}};
        const QUrl url(QStringLiteral("http://127.0.0.1:9/services/rest/"));
        const auto signedArgs = kit->oauthSignedParameters("POST", url, args, QStringLiteral("tok"), QStringLiteral("toksecret"));
        QString signature;
        for (const auto &p : signedArgs)
            if (p.first == QLatin1String("oauth_signature"))
                signature = p.second;
        QCOMPARE(signature, LumoraDouble::oauthSignature(LumoraDouble::oauthBaseString(QStringLiteral("POST"), url.toString(), signedArgs),
                                                         service.apiSecret(), QStringLiteral("toksecret")));
    }

    void getPostSwitchAt1024()
    {
        // Signed out: always a GET with api_sig.
        LKLumoraGenericMethod longCall(QStringLiteral("lumora.photosets.find"), {{QStringLiteral("title"), QString(2000, QLatin1Char('a'))}});
        auto req = kit->prepareRESTRequest(longCall.name(), longCall.args());
        QCOMPARE(req.httpMethod, QByteArray("GET"));
        QVERIFY(QUrlQuery(req.url).hasQueryItem(QStringLiteral("api_sig")));

        signInAsDefaultUser(service);
        // Around the limit: a GET's address stays below 1,024 characters; a POST carries what
        // would have made the address 1,024 or longer (the signature's encoding varies a little).
        const int endpointLength = kit->prepareRESTRequest(QStringLiteral("lumora.photosets.find"), {}).url.adjusted(QUrl::RemoveQuery).toEncoded().size();
        int gets = 0, posts = 0, at = -1;
        for (int n = 600; n < 1000; ++n) {
            const auto r = kit->prepareRESTRequest(QStringLiteral("lumora.photosets.find"), {{QStringLiteral("title"), QString(n, QLatin1Char('t'))}});
            if (r.httpMethod == "GET") {
                QVERIFY(r.url.toEncoded().size() < LumoraKit::kMaxGetURLLength);
                ++gets;
            } else {
                QCOMPARE(r.httpMethod, QByteArray("POST"));
                QVERIFY(endpointLength + 1 + r.body.size() >= LumoraKit::kMaxGetURLLength - 40);
                QVERIFY(r.body.contains("oauth_signature="));
                QCOMPARE(r.contentType, QByteArray("application/x-www-form-urlencoded;charset=utf8"));
                QVERIFY(r.url.query().isEmpty());
                if (at < 0)
                    at = n;
                ++posts;
            }
        }
        QVERIFY(gets > 0);
        QVERIFY(posts > 0);

        // Both forms are accepted by the service.
        for (int n : {10, at + 50}) {
            auto [resp, err] = kit->callSynchronously(LKLumoraGenericMethod(QStringLiteral("lumora.photosets.find"), {{QStringLiteral("title"), QString(n, QLatin1Char('t'))}}));
            QVERIFY2(!err.isError(), qPrintable(err.toString()));
            QCOMPARE(resp.value(QStringLiteral("stat")).toString(), QStringLiteral("ok"));
        }
        QCOMPARE(service.rejectedSignatures(), 0);
    }

    void wholeOAuthExchange()
    {
        const QUrl callback(QStringLiteral("https://hoistly.lumora.com/auth"));
        Waiter<QUrl, LKError> begin;
        kit->beginAuthWithCallbackURL(callback, LKPermissionDelete, begin.callback());
        QVERIFY(begin.wait());
        auto [authURL, beginError] = begin.values;
        QVERIFY2(!beginError.isError(), qPrintable(beginError.toString()));
        QCOMPARE(QUrlQuery(authURL).queryItemValue(QStringLiteral("perms")), QStringLiteral("delete"));

        // The cached address is answered until reset.
        Waiter<QUrl, LKError> again;
        kit->beginAuthWithCallbackURL(callback, LKPermissionDelete, again.callback());
        QVERIFY(again.wait());
        QCOMPARE(std::get<0>(again.values), authURL);

        const QUrl redirected(approveOverHttp(authURL));
        QVERIFY(redirected.isValid());
        QCOMPARE(redirected.host(), callback.host());

        // A callback carrying another request token is refused without a network exchange.
        QUrl forged = redirected;
        QUrlQuery fq(forged);
        fq.removeQueryItem(QStringLiteral("oauth_token"));
        fq.addQueryItem(QStringLiteral("oauth_token"), QStringLiteral("someone-elses"));
        forged.setQuery(fq);
        Waiter<QString, QString, QString, LKError> bad;
        const int requestsBefore = service.requests().size();
        kit->completeAuthWithURL(forged, bad.callback());
        QVERIFY(bad.wait());
        QCOMPARE(std::get<3>(bad.values).code, LKErrorCode::AuthFailed);
        QCOMPARE(service.requests().size(), requestsBefore);
        QVERIFY(!kit->isAuthorized());

        Waiter<QString, QString, QString, LKError> done;
        kit->completeAuthWithURL(redirected, done.callback());
        QVERIFY(done.wait());
        auto [userName, userID, fullName, err] = done.values;
        QVERIFY2(!err.isError(), qPrintable(err.toString()));
        QCOMPARE(userID, QString::fromLatin1(LumoraDoubleDefaults::userId));
        QCOMPARE(userName, QString::fromLatin1(LumoraDoubleDefaults::userName));
        QCOMPARE(fullName, QString::fromLatin1(LumoraDoubleDefaults::userFullName));
        QVERIFY(kit->isAuthorized());
        QCOMPARE(kit->currentUserID(), userID);
        QCOMPARE(kit->currentUserName(), userName);
        QCOMPARE(kit->currentUserFullName(), fullName);

        // Replaying the same callback is refused: the request token was used up.
        Waiter<QString, QString, QString, LKError> replay;
        kit->completeAuthWithURL(redirected, replay.callback());
        QVERIFY(replay.wait());
        QVERIFY(std::get<3>(replay.values).isError());

        // The stored token checks out with the service.
        Waiter<QString, QString, QString, LKError> check;
        kit->checkAuthorizationOnCompletion(check.callback());
        QVERIFY(check.wait());
        QVERIFY2(!std::get<3>(check.values).isError(), qPrintable(std::get<3>(check.values).toString()));
        QCOMPARE(std::get<1>(check.values), userID);
        QVERIFY(!service.requestedPaths().contains(QStringLiteral("/auth")));

        // Nothing secret reached the log.
        LGLog::flushLog();
        const QString log = logger->all();
        QVERIFY(!log.contains(kit->authToken()));
        QVERIFY(!log.contains(LumoraKit::tokenSecret()));
        QVERIFY(!log.contains(service.apiSecret()));
        QVERIFY(!log.contains(QUrlQuery(redirected).queryItemValue(QStringLiteral("oauth_verifier"))));
    }

    void deniedSignInIsAnError()
    {
        const QUrl callback(QStringLiteral("https://hoistly.lumora.com/auth"));
        kit->resetAuthURL();
        Waiter<QUrl, LKError> begin;
        kit->beginAuthWithCallbackURL(callback, LKPermissionDelete, begin.callback());
        QVERIFY(begin.wait());
        QUrl denied = callback;
        QUrlQuery q;
        q.addQueryItem(QStringLiteral("oauth_problem"), QStringLiteral("user_refused"));
        q.addQueryItem(QStringLiteral("oauth_token"), QUrlQuery(std::get<0>(begin.values)).queryItemValue(QStringLiteral("oauth_token"), QUrl::FullyDecoded));
        denied.setQuery(q);
        Waiter<QString, QString, QString, LKError> done;
        kit->completeAuthWithURL(denied, done.callback());
        QVERIFY(done.wait());
        QCOMPARE(std::get<3>(done.values).code, LKErrorCode::AuthFailed);
        // Told in words, not by the service's code.
        QCOMPARE(std::get<3>(done.values).message, QStringLiteral("Lumora Hoistly was not given access to your Lumora account."));
        QVERIFY(std::get<1>(done.values).isEmpty());
        QVERIFY(!kit->isAuthorized());
    }

    void storedSecretsEncryptedAndPlainFallback()
    {
        // Plain older form: read, then moved to the encrypted form.
        Settings::setObject(QStringLiteral("tok-1"), LKStoredKeys::Token);
        Settings::setObject(QStringLiteral("plain-secret-42"), LKStoredKeys::TokenSecretPlain);
        QCOMPARE(LumoraKit::tokenSecret(), QStringLiteral("plain-secret-42"));
        kit->loadTokenFromSettingsWithoutValidating();
        QVERIFY(kit->isAuthorized());
        const QString enc = Settings::stringForKey(LKStoredKeys::TokenSecretEnc);
        QVERIFY(!enc.isEmpty());
        QVERIFY(!enc.contains(QStringLiteral("plain-secret-42")));
        QVERIFY(!QByteArray::fromBase64(enc.toLatin1()).contains("plain-secret-42"));
        QVERIFY(Settings::stringForKey(LKStoredKeys::TokenSecretPlain).isEmpty());
        Settings::reloadForTesting();
        QCOMPARE(LumoraKit::tokenSecret(), QStringLiteral("plain-secret-42"));
        // The secret is an excluded log word.
        QVERIFY(LGLog::redact(QStringLiteral("x plain-secret-42 y")).contains(QStringLiteral("[REDACTED]")));

        // A damaged encrypted value falls back to the plain form, when there is one.
        Settings::setObject(QStringLiteral("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="), LKStoredKeys::TokenSecretEnc);
        QVERIFY(LumoraKit::tokenSecret().isEmpty());
        Settings::setObject(QStringLiteral("older"), LKStoredKeys::TokenSecretPlain);
        QCOMPARE(LumoraKit::tokenSecret(), QStringLiteral("older"));

        // Half a credential does not sign anyone in; log-out removes every key.
        kit->logout();
        Settings::setObject(QStringLiteral("tok-only"), LKStoredKeys::Token);
        kit->loadTokenFromSettingsWithoutValidating();
        QVERIFY(!kit->isAuthorized());
        Settings::setObject(true, QStringLiteral("WelcomeScreenComplete"));
        kit->logout();
        for (const QString &key : {LKStoredKeys::Token, LKStoredKeys::TokenSecretEnc, LKStoredKeys::TokenSecretPlain, LKStoredKeys::UserID,
                                   LKStoredKeys::UserName, LKStoredKeys::UserFullName, QStringLiteral("WelcomeScreenComplete")})
            QVERIFY2(!Settings::objectForKey(key).isValid(), qPrintable(key));
    }

    void checkAuthorizationWithoutTokenOrNetwork()
    {
        Waiter<QString, QString, QString, LKError> none;
        kit->checkAuthorizationOnCompletion(none.callback());
        QVERIFY(none.wait(0)); // at once
        QCOMPARE(std::get<3>(none.values).code, LKErrorCode::NoStoredToken);
        QCOMPARE(std::get<3>(none.values).message, QStringLiteral("There isn't a stored token to check. Login first."));

        signInAsDefaultUser(service);
        Reachability::setStatusOverrideForTesting(Reachability::NotReachable);
        Waiter<QString, QString, QString, LKError> offline;
        kit->checkAuthorizationOnCompletion(offline.callback());
        QVERIFY(offline.wait(0));
        QCOMPARE(std::get<3>(offline.values).code, LKErrorCode::NetworkFailure);
        QVERIFY(std::get<0>(offline.values).isNull());
    }

    void errorMappingOfEveryReplyClass_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("code");
        QTest::newRow("http 500") << int(LumoraDouble::Fault::HttpError) << 500 << LKClientErrorDomain << LKErrorCode::HTTPStatus;
        QTest::newRow("malformed json") << int(LumoraDouble::Fault::MalformedJson) << 0 << LKClientErrorDomain << LKErrorCode::BadResponse;
        QTest::newRow("service busy") << int(LumoraDouble::Fault::Busy) << 5 << LKServiceErrorDomain << 105;
        QTest::newRow("timeout") << int(LumoraDouble::Fault::Slow) << 3000 << LKClientErrorDomain << LKErrorCode::NetworkFailure;
    }

    void errorMappingOfEveryReplyClass()
    {
        QFETCH(int, fault);
        QFETCH(int, value);
        QFETCH(QString, domain);
        QFETCH(int, code);
        signInAsDefaultUser(service);
        service.setFault(LumoraDouble::Fault(fault), value, QStringLiteral("rest"), 1);
        auto [resp, err] = kit->callSynchronously(LKLumoraPhotosetsGetList(), 0, fault == int(LumoraDouble::Fault::Slow) ? 0.5 : 0);
        QCOMPARE(err.domain, domain);
        QCOMPARE(err.code, code);
        if (code == LKErrorCode::HTTPStatus)
            QCOMPARE(err.httpStatus, 500);
    }

    void errorMappingWithoutTransportFaults()
    {
        // A service error with its code and message; a call that needs a login; a good reply.
        auto [r1, e1] = kit->callSynchronously(LKLumoraPhotosetsGetList());
        QCOMPARE(e1.domain, LKServiceErrorDomain);
        QCOMPARE(e1.code, LKErrorCode::NeedsLogin);
        signInAsDefaultUser(service);
        LKLumoraPhotosetsGetInfo info;
        info.photoset_id = QStringLiteral("404");
        auto [r2, e2] = kit->callSynchronously(info);
        QCOMPARE(e2.domain, LKServiceErrorDomain);
        QCOMPARE(e2.code, 1);
        QVERIFY(!e2.message.isEmpty());
        auto [r3, e3] = kit->callSynchronously(LKLumoraPhotosetsGetList());
        QVERIFY(!e3.isError());
        QVERIFY(r3.contains(QStringLiteral("photosets")));
        // A reply without a status, and one the network never delivered.
        QVariantMap out;
        QCOMPARE(LumoraKit::errorFromResponse({}, 200, "{\"x\":1}", &out).code, LKErrorCode::BadResponse);
        QCOMPARE(LumoraKit::errorFromResponse(LKError{HTTPRequestErrorDomain, HTTPRequestError::Cancelled, QStringLiteral("c"), {}, 0}, 0, {}, &out).code,
                 LKErrorCode::Cancelled);
        // Refused transport: plain HTTP to another machine never leaves.
        HTTPRequest plain(QUrl(QStringLiteral("http://example.com/services/rest/")));
        QCOMPARE(plain.sendSynchronously().error.code, HTTPRequestError::RefusedAddress);
    }

    void unsignedCallsUseApiSig()
    {
        LKLumoraPeopleGetInfo info;
        info.user_id = QString::fromLatin1(LumoraDoubleDefaults::userId);
        auto [resp, err] = kit->callSynchronously(info);
        QVERIFY2(!err.isError(), qPrintable(err.toString()));
        QCOMPARE(resp.value(QStringLiteral("person")).toMap().value(QStringLiteral("nsid")).toString(), info.user_id);
        QVERIFY(service.requests().last().signatureOk);
        QVERIFY(service.requests().last().target.contains("api_sig="));
    }

    void responseCacheHonoursMaxAge()
    {
        signInAsDefaultUser(service);
        service.resetRecords();
        auto [a, e1] = kit->callSynchronously(LKLumoraPhotosetsGetList(), 5);
        QVERIFY(!e1.isError());
        auto [b, e2] = kit->callSynchronously(LKLumoraPhotosetsGetList(), 5);
        QVERIFY(!e2.isError());
        QCOMPARE(a, b);
        QCOMPARE(service.restMethodsCalled().count(QStringLiteral("lumora.photosets.getList")), 1);
        auto [c, e3] = kit->callSynchronously(LKLumoraPhotosetsGetList(), 0);
        QVERIFY(!e3.isError());
        QCOMPARE(service.restMethodsCalled().count(QStringLiteral("lumora.photosets.getList")), 2);
        QVERIFY(QDir(LumoraKit::diskCachePath()).path().endsWith(QStringLiteral("LumoraKitDiskCache")));
    }

    void waitUntilFinishedOffMainThreadDoesNotBlockMain()
    {
        signInAsDefaultUser(service);
        // A background thread waits for a call while the main thread keeps turning its loop.
        std::atomic_bool finished{false};
        LKError error;
        QThread *t = QThread::create([&] {
            kit->call(LKLumoraPhotosetsGetList(), 0, [&](const QVariantMap &, const LKError &e) { error = e; }, true);
            finished = true;
        });
        int mainTurns = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++mainTurns; });
        ticker.start(1);
        service.setFault(LumoraDouble::Fault::Slow, 200, QStringLiteral("rest"), 1);
        t->start();
        QTRY_VERIFY_WITH_TIMEOUT(finished.load(), 10000);
        t->wait();
        delete t;
        QVERIFY(!error.isError());
        QVERIFY(mainTurns > 5);
    }

    void addressesAreRedactedForTheLog()
    {
        LGLog::addExcludedWord(QStringLiteral("tok-excluded-77"));
        const QUrl url(QStringLiteral("http://127.0.0.1:1/services/rest/?method=m&oauth_token=tok-excluded-77&oauth_signature=abc%2Bdef%3D"
                                      "&oauth_verifier=ver123&api_sig=0123&title=tok-excluded-77"));
        const QString safe = HTTPRequest::redactedURL(url);
        for (const char *secret : {"tok-excluded-77", "abc", "ver123", "0123"})
            QVERIFY2(!safe.contains(QLatin1String(secret)), qPrintable(safe));
        QVERIFY(safe.contains(QStringLiteral("method=m")));

        // A failed request's error text does not carry its signed address.
        signInAsDefaultUser(service);
        auto prepared = kit->prepareRESTRequest(QStringLiteral("lumora.photosets.getList"), {});
        QUrl dead = prepared.url;
        dead.setPort(1); // nothing listens there
        HTTPRequest request(dead);
        request.setTimeout(5);
        const HTTPResponse r = request.sendSynchronously();
        QVERIFY(r.error.isError());
        const QString signature = QUrlQuery(dead).queryItemValue(QStringLiteral("oauth_signature"), QUrl::FullyEncoded);
        QVERIFY(!signature.isEmpty());
        QVERIFY2(!r.error.message.contains(signature), qPrintable(r.error.message));
        QVERIFY(!r.error.message.contains(kit->authToken()));
    }

    void reachabilityChangesArePosted()
    {
        QStringList seen;
        QObject context;
        NotificationCenter::observe(Notifications::ReachabilityChanged, &context, [&](const QVariant &) { seen << QStringLiteral("changed"); });
        Reachability *internet = Reachability::reachabilityForInternetConnection();
        if (!internet->startNotifier())
            QSKIP("No reachability backend on this system");
        Reachability::setStatusOverrideForTesting(Reachability::NotReachable);
        QVERIFY(!Reachability::isOnline());
        QTRY_VERIFY(!seen.isEmpty());
        Reachability::setStatusOverrideForTesting(-1);
        internet->stopNotifier();
    }

    void cleanupTestCase()
    {
        kit->logout();
        service.stop();
    }
};

QTEST_MAIN(TestLumoraKit)
#include "tst_lumorakit.moc"
