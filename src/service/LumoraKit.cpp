#include "service/LumoraKit.h"

#include "core/Digest.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/Settings.h"
#include "platform/Endpoints.h"
#include "platform/StandardPaths.h"
#include "service/HTTPRequest.h"
#include "service/Reachability.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QOAuth1Signature>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSemaphore>
#include <QUrlQuery>

namespace {

QString randomNonce()
{
    // Fixed length, so that the length of a signed address depends only on its arguments.
    QByteArray bytes(16, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(bytes.toHex());
}

QString toString(const QVariant &v)
{
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    return v.toString();
}

LumoraKit::Params paramsFromArgs(const QVariantMap &args)
{
    LumoraKit::Params out;
    for (auto it = args.cbegin(); it != args.cend(); ++it)
        out << std::pair{it.key(), toString(it.value())};
    return out;
}

QString queryString(const LumoraKit::Params &params) { return QString::fromLatin1(LumoraKit::formEncode(params)); }

QUrl restURL()
{
    QUrl u = Endpoints::apiBase();
    u.setPath(u.path() + QStringLiteral("/services/rest/"));
    return u;
}

QUrl serviceURL(const QString &path)
{
    QUrl u = Endpoints::apiBase();
    u.setPath(u.path() + path);
    return u;
}

// Cache file of one call: the method, its arguments and the signed-in user.
QString cacheFileFor(const QString &methodName, const QVariantMap &args, const QString &userID)
{
    QByteArray key = methodName.toUtf8() + '\n' + userID.toUtf8();
    for (auto it = args.cbegin(); it != args.cend(); ++it)
        key += '\n' + it.key().toUtf8() + '=' + toString(it.value()).toUtf8();
    return LumoraKit::diskCachePath() + QLatin1Char('/') + Digest::md5Hex(key) + QStringLiteral(".json");
}

} // namespace

LumoraKit *LumoraKit::sharedLumoraKit()
{
    static LumoraKit *kit = new LumoraKit;
    return kit;
}

void LumoraKit::initializeWithAPIKey(const QString &apiKey, const QString &sharedSecret, bool alphaEnv)
{
    LGLog::addExcludedWord(sharedSecret);
    // The reachability backend belongs to the main thread; start-up initialises us there.
    if (isMainThread())
        Reachability::isOnline();
    QMutexLocker lock(&m_lock);
    m_apiKey = apiKey;
    m_secret = sharedSecret;
    m_alphaEnv = alphaEnv;
}

QString LumoraKit::apiKey() const { QMutexLocker lock(&m_lock); return m_apiKey; }
QString LumoraKit::secret() const { QMutexLocker lock(&m_lock); return m_secret; }
bool LumoraKit::alphaEnv() const { QMutexLocker lock(&m_lock); return m_alphaEnv; }
QString LumoraKit::authToken() const { QMutexLocker lock(&m_lock); return m_token; }
QString LumoraKit::currentUserID() const { return Settings::stringForKey(LKStoredKeys::UserID); }
QString LumoraKit::currentUserName() const { return Settings::stringForKey(LKStoredKeys::UserName); }
QString LumoraKit::currentUserFullName() const { return Settings::stringForKey(LKStoredKeys::UserFullName); }

bool LumoraKit::isAuthorized() const
{
    QMutexLocker lock(&m_lock);
    return m_authorized && !m_token.isEmpty();
}

int LumoraKit::credentialsRefused() const
{
    QMutexLocker lock(&m_lock);
    return m_refusedCode;
}

void LumoraKit::noteServiceAnswer(const LKError &error, const QString &tokenUsed)
{
    constexpr int kInvalidAuthToken = 98;
    constexpr int kInvalidApiKey = 100;
    if (error.domain != LKServiceErrorDomain || (error.code != kInvalidAuthToken && error.code != kInvalidApiKey))
        return;
    QMutexLocker lock(&m_lock);
    if (tokenUsed != m_token)
        return; // an answer to an earlier sign-in
    if (m_authorized)
        LGLogError(QStringLiteral("LUMORAKIT: The service refused the %1; a new sign-in is needed")
                       .arg(error.code == kInvalidApiKey ? QStringLiteral("API key") : QStringLiteral("sign-in")));
    // Treated as no sign-in at all: nothing is sent with credentials the service refuses, and
    // the sign-in window offers the login again. The stored token stays for the next start.
    m_refusedCode = error.code;
    m_authorized = false;
}

// ------------------------------------------------------------------------------------------
// Signing

QByteArray LumoraKit::formEncode(const Params &params)
{
    QByteArray out;
    for (const auto &p : params) {
        if (!out.isEmpty())
            out += '&';
        out += QUrl::toPercentEncoding(p.first) + '=' + QUrl::toPercentEncoding(p.second);
    }
    return out;
}

LumoraKit::Params LumoraKit::formDecode(const QByteArray &body)
{
    Params out;
    for (const QByteArray &item : body.trimmed().split('&')) {
        if (item.isEmpty())
            continue;
        const int eq = item.indexOf('=');
        QByteArray k = eq < 0 ? item : item.left(eq);
        QByteArray v = eq < 0 ? QByteArray() : item.mid(eq + 1);
        k.replace('+', ' ');
        v.replace('+', ' ');
        out << std::pair{QUrl::fromPercentEncoding(k), QUrl::fromPercentEncoding(v)};
    }
    return out;
}

LumoraKit::Params LumoraKit::oauthSignedParameters(const QByteArray &httpMethod, const QUrl &url, const Params &args,
                                                   const QString &token, const QString &tokenSecret) const
{
    QString key, secret;
    {
        QMutexLocker lock(&m_lock);
        key = m_apiKey;
        secret = m_secret;
    }
    Params params = args;
    params << std::pair{QStringLiteral("oauth_consumer_key"), key}
           << std::pair{QStringLiteral("oauth_nonce"), randomNonce()}
           << std::pair{QStringLiteral("oauth_signature_method"), QStringLiteral("HMAC-SHA1")}
           << std::pair{QStringLiteral("oauth_timestamp"), QString::number(QDateTime::currentSecsSinceEpoch())}
           << std::pair{QStringLiteral("oauth_version"), QStringLiteral("1.0")};
    if (!token.isEmpty())
        params << std::pair{QStringLiteral("oauth_token"), token};
    QMultiMap<QString, QVariant> map;
    for (const auto &p : params)
        map.insert(p.first, p.second);
    QUrl bare = url;
    bare.setQuery(QString());
    bare.setFragment(QString());
    QOAuth1Signature signature(bare, secret, tokenSecret,
                               httpMethod == "POST" ? QOAuth1Signature::HttpRequestMethod::Post : QOAuth1Signature::HttpRequestMethod::Get,
                               map);
    params << std::pair{QStringLiteral("oauth_signature"), QString::fromLatin1(signature.hmacSha1().toBase64())};
    return params;
}

LumoraKit::Params LumoraKit::apiSigParameters(const Params &args) const
{
    QString key, secret;
    {
        QMutexLocker lock(&m_lock);
        key = m_apiKey;
        secret = m_secret;
    }
    Params params = args;
    params << std::pair{QStringLiteral("api_key"), key};
    Params sorted = params;
    std::sort(sorted.begin(), sorted.end());
    QByteArray s = secret.toUtf8();
    for (const auto &p : sorted)
        s += p.first.toUtf8() + p.second.toUtf8();
    params << std::pair{QStringLiteral("api_sig"), Digest::md5Hex(s)};
    return params;
}

LumoraKit::Params LumoraKit::signedParameters(const QByteArray &httpMethod, const QUrl &url, const Params &args) const
{
    QString token, tokenSecret;
    bool authorized;
    {
        QMutexLocker lock(&m_lock);
        token = m_token;
        tokenSecret = m_tokenSecret;
        authorized = m_authorized && !m_token.isEmpty();
    }
    return authorized ? oauthSignedParameters(httpMethod, url, args, token, tokenSecret) : apiSigParameters(args);
}

LumoraKit::PreparedRequest LumoraKit::prepareRESTRequest(const QString &methodName, const QVariantMap &args) const
{
    Params base = paramsFromArgs(args);
    base.prepend(std::pair{QStringLiteral("nojsoncallback"), QStringLiteral("1")});
    base.prepend(std::pair{QStringLiteral("format"), QStringLiteral("json")});
    base.prepend(std::pair{QStringLiteral("method"), methodName});
    const QUrl endpoint = restURL();
    PreparedRequest req;
    req.httpMethod = "GET";
    const Params getParams = signedParameters("GET", endpoint, base);
    QUrl url = endpoint;
    url.setQuery(queryString(getParams), QUrl::StrictMode);
    req.url = url;
    if (isAuthorized() && url.toEncoded().size() >= kMaxGetURLLength) {
        // Too long for an address: the same call as a form POST, signed as one.
        req.httpMethod = "POST";
        req.url = endpoint;
        req.body = formEncode(signedParameters("POST", endpoint, base));
        req.contentType = "application/x-www-form-urlencoded;charset=utf8";
    }
    return req;
}

// ------------------------------------------------------------------------------------------
// Replies

LKError LumoraKit::errorFromResponse(const LKError &transportError, int httpStatus, const QByteArray &body,
                                     QVariantMap *response, const LKLumoraAPIMethod *method)
{
    if (transportError.isError()) {
        const bool cancelled = transportError.code == HTTPRequestError::Cancelled;
        LKError e = LKError::client(cancelled ? LKErrorCode::Cancelled : LKErrorCode::NetworkFailure, transportError.message,
                                    cancelled ? QString() : QStringLiteral("Lumora could not be reached. Check your Internet connection."));
        e.httpStatus = httpStatus;
        return e;
    }
    if (httpStatus != 200) {
        LKError e = LKError::client(LKErrorCode::HTTPStatus, QStringLiteral("The service answered with HTTP status %1.").arg(httpStatus),
                                    QStringLiteral("Lumora is having trouble right now. Please try again later."));
        e.httpStatus = httpStatus;
        return e;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return LKError::client(LKErrorCode::BadResponse, QStringLiteral("The service's reply could not be read."));
    const QVariantMap map = doc.object().toVariantMap();
    const QString stat = map.value(QStringLiteral("stat")).toString();
    if (stat == QLatin1String("ok")) {
        if (response)
            *response = map;
        return {};
    }
    if (stat == QLatin1String("fail")) {
        const int code = map.value(QStringLiteral("code")).toInt();
        QString message = map.value(QStringLiteral("message")).toString();
        if (message.isEmpty())
            message = method ? method->descriptionForError(code) : QStringLiteral("Unknown error (%1).").arg(code);
        if (response)
            *response = map;
        return LKError::service(code, message);
    }
    return LKError::client(LKErrorCode::BadResponse, QStringLiteral("The service's reply had no status."));
}

// ------------------------------------------------------------------------------------------
// Calls

QString LumoraKit::diskCachePath()
{
    const QString path = StandardPaths::cachesFolder() + QStringLiteral("/LumoraKitDiskCache");
    QDir().mkpath(path);
    return path;
}

void LumoraKit::clearCache() { QDir(diskCachePath()).removeRecursively(); }

void LumoraKit::call(const LKLumoraAPIMethod &method, Completion completion)
{
    call(method, 0, std::move(completion), false, 0);
}

void LumoraKit::call(const QString &methodName, const QVariantMap &args, int maxCacheAgeMinutes, Completion completion,
                     bool waitUntilFinished, double timeoutSeconds)
{
    call(LKLumoraGenericMethod(methodName, args, false), maxCacheAgeMinutes, std::move(completion), waitUntilFinished, timeoutSeconds);
}

void LumoraKit::call(const LKLumoraAPIMethod &method, int maxCacheAgeMinutes, Completion completion, bool waitUntilFinished,
                     double timeoutSeconds)
{
    const QString name = method.name();
    const QVariantMap args = method.args();
    auto deliver = [completion, waitUntilFinished](const QVariantMap &response, const LKError &error) {
        if (!completion)
            return;
        if (waitUntilFinished)
            completion(response, error);
        else
            dispatch_default_queue_async([completion, response, error] { completion(response, error); });
    };

    if (apiKey().isEmpty() || secret().isEmpty()) {
        deliver({}, LKError::client(LKErrorCode::InvalidRequest, QStringLiteral("The service client has no API key.")));
        return;
    }
    if (method.needsLogin() && !isAuthorized()) {
        deliver({}, LKError::service(LKErrorCode::NeedsLogin, method.descriptionForError(LKErrorCode::NeedsLogin)));
        return;
    }
    const QString cacheFile = maxCacheAgeMinutes > 0 ? cacheFileFor(name, args, currentUserID()) : QString();
    if (!cacheFile.isEmpty()) {
        const QFileInfo info(cacheFile);
        if (info.exists() && info.lastModified().secsTo(QDateTime::currentDateTime()) < qint64(maxCacheAgeMinutes) * 60) {
            QFile f(cacheFile);
            QVariantMap cached;
            if (f.open(QIODevice::ReadOnly) && !errorFromResponse({}, 200, f.readAll(), &cached, &method).isError()) {
                deliver(cached, {});
                return;
            }
        }
    }

    const PreparedRequest prepared = prepareRESTRequest(name, args);
    auto request = std::make_shared<HTTPRequest>(prepared.url, prepared.httpMethod);
    if (!prepared.body.isEmpty()) {
        request->setBody(prepared.body);
        request->setHeader("Content-Type", prepared.contentType);
    }
    const double timeout = timeoutSeconds > 0 ? timeoutSeconds : kDefaultTimeout;
    request->setTimeout(timeout);
    request->setIdleTimeout(timeout);
    // The method's own error texts are needed after this call returns; keep the ones we can.
    QHash<int, QString> errorTexts;
    for (int code : {1, 2, 3, 4, 5, 96, 97, 98, 99, 100, 105, 106, 112, 116})
        errorTexts.insert(code, method.descriptionForError(code));

    const QString tokenUsed = isAuthorized() ? authToken() : QString();
    auto handle = [deliver, cacheFile, name, errorTexts, tokenUsed](const HTTPResponse &r) {
        QVariantMap response;
        LKError error = errorFromResponse(r.error, r.statusCode, r.body, &response);
        if (error.domain == LKServiceErrorDomain && errorTexts.contains(error.code) && response.value(QStringLiteral("message")).toString().isEmpty())
            error.message = error.reason = errorTexts.value(error.code);
        sharedLumoraKit()->noteServiceAnswer(error, tokenUsed);
        if (error.isError()) {
            LGLogInfo(QStringLiteral("LUMORAKIT: %1 failed: %2").arg(name, LGLog::redact(error.toString())));
        } else if (!cacheFile.isEmpty()) {
            QSaveFile f(cacheFile);
            if (f.open(QIODevice::WriteOnly)) {
                f.write(r.body);
                f.commit();
            }
        }
        deliver(response, error);
    };
    if (waitUntilFinished) {
        // A caller that waits anyway (off the main thread) sends it itself, as an upload does,
        // rather than through the client's network thread and back.
        request->setSendOnCallingThread(true);
        handle(request->sendSynchronously());
    } else {
        request->setCompletionBlock([request, handle](const HTTPResponse &r) mutable {
            handle(r);
            request.reset(); // the request kept itself alive until now
        });
        request->start();
    }
}

std::pair<QVariantMap, LKError> LumoraKit::callSynchronously(const LKLumoraAPIMethod &method, int maxCacheAgeMinutes,
                                                             double timeoutSeconds)
{
    std::pair<QVariantMap, LKError> out;
    call(method, maxCacheAgeMinutes, [&out](const QVariantMap &r, const LKError &e) { out = {r, e}; }, true, timeoutSeconds);
    return out;
}

// ------------------------------------------------------------------------------------------
// Stored credentials

QByteArray LumoraKit::tokenSecretKey()
{
    // Built from pieces at run time so that the key is not one string in the binary.
    QByteArray material;
    const char *pieces[] = {"hst", "Lmr", "tk", "Sc", "r7", "q"};
    for (int round = 0; round < 3; ++round)
        for (const char *p : pieces)
            material += QByteArray(p) + char('0' + round);
    material += QByteArray::number(0x4c4b5354, 16);
    return QCryptographicHash::hash(material, QCryptographicHash::Sha256);
}

QString LumoraKit::tokenSecret()
{
    const QString enc = Settings::stringForKey(LKStoredKeys::TokenSecretEnc);
    if (!enc.isEmpty()) {
        const QByteArray raw = QByteArray::fromBase64(enc.toLatin1());
        if (raw.size() > 16) {
            bool ok = false;
            const QByteArray plain = Cipher::aes256CbcDecrypt(raw.mid(16), tokenSecretKey(), raw.left(16), &ok);
            if (ok && !plain.isEmpty()) {
                const QString s = QString::fromUtf8(plain);
                LGLog::addExcludedWord(s);
                return s;
            }
        }
        LGLogError(QStringLiteral("LUMORAKIT: The stored token secret could not be decrypted"));
    }
    const QString plain = Settings::stringForKey(LKStoredKeys::TokenSecretPlain);
    if (plain.isEmpty())
        return {};
    LGLog::addExcludedWord(plain);
    return plain;
}

static void storeTokenSecret(const QString &secret, const QByteArray &key)
{
    QByteArray iv(16, Qt::Uninitialized);
    for (int i = 0; i < 16; ++i)
        iv[i] = char(QRandomGenerator::system()->bounded(256));
    bool ok = false;
    const QByteArray cipher = Cipher::aes256CbcEncrypt(secret.toUtf8(), key, iv, &ok);
    if (ok) {
        Settings::setObject(QString::fromLatin1((iv + cipher).toBase64()), LKStoredKeys::TokenSecretEnc);
        Settings::removeObjectForKey(LKStoredKeys::TokenSecretPlain);
    } else {
        LGLogError(QStringLiteral("LUMORAKIT: The token secret could not be encrypted; it is not stored"));
    }
}

void LumoraKit::setAuthorized(const QString &token, const QString &tokenSecret)
{
    LGLog::addExcludedWord(token);
    LGLog::addExcludedWord(tokenSecret);
    QMutexLocker lock(&m_lock);
    m_token = token;
    m_tokenSecret = tokenSecret;
    m_authorized = !token.isEmpty() && !tokenSecret.isEmpty();
    m_refusedCode = 0;
}

void LumoraKit::loadTokenFromSettingsWithoutValidating()
{
    const QString token = Settings::stringForKey(LKStoredKeys::Token);
    const QString secret = tokenSecret();
    if (!secret.isEmpty() && Settings::stringForKey(LKStoredKeys::TokenSecretEnc).isEmpty())
        storeTokenSecret(secret, tokenSecretKey()); // move the older plain form to the encrypted one
    setAuthorized(token, secret);
}

void LumoraKit::logout()
{
    for (const QString &key : {LKStoredKeys::Token, LKStoredKeys::TokenSecretEnc, LKStoredKeys::TokenSecretPlain,
                               LKStoredKeys::UserID, LKStoredKeys::UserName, LKStoredKeys::UserFullName,
                               QStringLiteral("WelcomeScreenComplete")})
        Settings::removeObjectForKey(key);
    Settings::synchronize();
    QMutexLocker lock(&m_lock);
    forgetSessionLocked();
}

void LumoraKit::forgetSessionLocked()
{
    m_token.clear();
    m_tokenSecret.clear();
    m_authorized = false;
    m_refusedCode = 0;
    m_authURL = QUrl();
    m_requestToken.clear();
    m_requestTokenSecret.clear();
    m_callbackURL = QUrl();
}

void LumoraKit::resetAuthURL()
{
    QMutexLocker lock(&m_lock);
    m_authURL = QUrl();
}

void LumoraKit::resetForTesting()
{
    QMutexLocker lock(&m_lock);
    forgetSessionLocked();
}

// ------------------------------------------------------------------------------------------
// Sign-in

void LumoraKit::checkAuthorizationOnCompletion(AuthCompletion completion)
{
    auto fail = [completion](const LKError &e) {
        if (completion)
            completion(QString(), QString(), QString(), e);
    };
    if (!Reachability::isOnline()) {
        fail(LKError::client(LKErrorCode::NetworkFailure, QStringLiteral("The network is offline."),
                             QStringLiteral("Lumora could not be reached. Check your Internet connection.")));
        return;
    }
    const QString token = Settings::stringForKey(LKStoredKeys::Token);
    const QString secret = tokenSecret();
    if (token.isEmpty() || secret.isEmpty()) {
        fail(LKError::client(LKErrorCode::NoStoredToken, QStringLiteral("There isn't a stored token to check. Login first.")));
        return;
    }
    setAuthorized(token, secret);
    call(LKLumoraAuthOauthCheckToken(), 0, [completion](const QVariantMap &response, const LKError &error) {
        if (error.isError()) {
            if (completion)
                completion(QString(), QString(), QString(), error);
            return;
        }
        const QVariantMap user = response.value(QStringLiteral("oauth")).toMap().value(QStringLiteral("user")).toMap();
        const QString id = user.value(QStringLiteral("nsid")).toString();
        const QString name = user.value(QStringLiteral("username")).toString();
        const QString fullName = user.value(QStringLiteral("fullname")).toString();
        if (id.isEmpty()) {
            if (completion)
                completion(QString(), QString(), QString(), LKError::client(LKErrorCode::BadResponse, QStringLiteral("The token check named no user.")));
            return;
        }
        Settings::setObject(id, LKStoredKeys::UserID);
        Settings::setObject(name, LKStoredKeys::UserName);
        Settings::setObject(fullName, LKStoredKeys::UserFullName);
        if (completion)
            completion(name, id, fullName, {});
    });
}

void LumoraKit::oauthStep(const QString &path, const Params &args, const QString &token, const QString &tokenSecret,
                          std::function<void(const Params &, const LKError &)> done)
{
    const QUrl endpoint = serviceURL(path);
    QUrl url = endpoint;
    url.setQuery(queryString(oauthSignedParameters("GET", endpoint, args, token, tokenSecret)), QUrl::StrictMode);
    auto request = std::make_shared<HTTPRequest>(url, "GET");
    request->setTimeout(kDefaultTimeout);
    request->setCompletionBlock([request, done, path](const HTTPResponse &r) mutable {
        request.reset();
        LKError error;
        Params reply;
        if (r.error.isError()) {
            error = errorFromResponse(r.error, r.statusCode, r.body, nullptr);
        } else if (r.statusCode != 200) {
            reply = formDecode(r.body);
            QString problem;
            for (const auto &p : reply)
                if (p.first == QLatin1String("oauth_problem"))
                    problem = p.second;
            error = LKError::client(LKErrorCode::AuthFailed,
                                    QStringLiteral("The sign-in step was refused (HTTP %1%2).").arg(r.statusCode).arg(problem.isEmpty() ? QString() : QStringLiteral(", ") + problem),
                                    QStringLiteral("Lumora did not accept the sign-in. Please try again."));
            error.httpStatus = r.statusCode;
        } else {
            reply = formDecode(r.body);
        }
        if (error.isError())
            LGLogInfo(QStringLiteral("LUMORAKIT: %1 failed: %2").arg(path, LGLog::redact(error.toString())));
        // Off the network thread: the caller may well make further blocking calls.
        dispatch_default_queue_async([done, reply, error] { done(reply, error); });
    });
    request->start();
}

void LumoraKit::beginAuthWithCallbackURL(const QUrl &callbackURL, LKPermission permission, AuthURLCompletion completion)
{
    {
        QMutexLocker lock(&m_lock);
        if (m_authURL.isValid() && !m_authURL.isEmpty()) {
            const QUrl cached = m_authURL;
            lock.unlock();
            dispatch_default_queue_async([completion, cached] { completion(cached, {}); });
            return;
        }
        if (m_apiKey.isEmpty() || m_secret.isEmpty()) {
            lock.unlock();
            dispatch_default_queue_async([completion] {
                completion(QUrl(), LKError::client(LKErrorCode::InvalidRequest, QStringLiteral("The service client has no API key.")));
            });
            return;
        }
    }
    const QString perms = permission == LKPermissionDelete ? QStringLiteral("delete")
        : permission == LKPermissionWrite                  ? QStringLiteral("write")
                                                           : QStringLiteral("read");
    oauthStep(QStringLiteral("/services/oauth/request_token"), {{QStringLiteral("oauth_callback"), callbackURL.toString(QUrl::FullyEncoded)}}, {}, {},
              [this, completion, perms, callbackURL](const Params &reply, const LKError &error) {
                  if (error.isError()) {
                      completion(QUrl(), error);
                      return;
                  }
                  QString token, secret;
                  for (const auto &p : reply) {
                      if (p.first == QLatin1String("oauth_token"))
                          token = p.second;
                      else if (p.first == QLatin1String("oauth_token_secret"))
                          secret = p.second;
                  }
                  if (token.isEmpty() || secret.isEmpty()) {
                      completion(QUrl(), LKError::client(LKErrorCode::BadResponse, QStringLiteral("The service sent no request token.")));
                      return;
                  }
                  LGLog::addExcludedWord(token);
                  LGLog::addExcludedWord(secret);
                  QUrl authURL = serviceURL(QStringLiteral("/services/oauth/authorize"));
                  QUrlQuery q;
                  q.addQueryItem(QStringLiteral("oauth_token"), QString::fromLatin1(QUrl::toPercentEncoding(token)));
                  q.addQueryItem(QStringLiteral("perms"), perms);
                  authURL.setQuery(q);
                  {
                      QMutexLocker lock(&m_lock);
                      m_requestToken = token;
                      m_requestTokenSecret = secret;
                      m_callbackURL = callbackURL;
                      m_authURL = authURL;
                  }
                  completion(authURL, {});
              });
}

bool LumoraKit::answersCurrentRequest(const QUrl &callbackURL) const
{
    QString requestToken;
    QUrl expectedCallback;
    {
        QMutexLocker lock(&m_lock);
        requestToken = m_requestToken;
        expectedCallback = m_callbackURL;
    }
    const QString token = QUrlQuery(callbackURL).queryItemValue(QStringLiteral("oauth_token"), QUrl::FullyDecoded);
    return !requestToken.isEmpty() && token == requestToken && expectedCallback.isValid()
        && callbackURL.scheme().compare(expectedCallback.scheme(), Qt::CaseInsensitive) == 0
        && callbackURL.host().compare(expectedCallback.host(), Qt::CaseInsensitive) == 0
        && callbackURL.port() == expectedCallback.port()
        && callbackURL.path().compare(expectedCallback.path(), Qt::CaseInsensitive) == 0;
}

void LumoraKit::completeAuthWithURL(const QUrl &callbackURL, AuthCompletion completion)
{
    auto fail = [completion](const LKError &e) {
        dispatch_default_queue_async([completion, e] { completion(QString(), QString(), QString(), e); });
    };
    QString requestToken, requestSecret;
    {
        QMutexLocker lock(&m_lock);
        requestToken = m_requestToken;
        requestSecret = m_requestTokenSecret;
    }
    const QUrlQuery query(callbackURL);
    const QString verifier = query.queryItemValue(QStringLiteral("oauth_verifier"), QUrl::FullyDecoded);
    LGLog::addExcludedWord(verifier);
    if (!answersCurrentRequest(callbackURL)) {
        LGLogInfo(QStringLiteral("LUMORAKIT: Ignoring a sign-in callback that does not answer our request"));
        fail(LKError::client(LKErrorCode::AuthFailed, QStringLiteral("The sign-in answer does not belong to this sign-in."),
                             QStringLiteral("Please sign in again.")));
        return;
    }
    if (verifier.isEmpty()) {
        // The service's problem code is for the log; the user is told what happened in words.
        const QString problem = query.queryItemValue(QStringLiteral("oauth_problem"));
        if (!problem.isEmpty())
            LGLogInfo(QStringLiteral("LUMORAKIT: The sign-in was refused: %1").arg(problem));
        QString message = QStringLiteral("The sign-in answer carried no verifier.");
        if (problem == QLatin1String("user_refused"))
            message = QStringLiteral("Lumora Hoistly was not given access to your Lumora account.");
        else if (!problem.isEmpty())
            message = QStringLiteral("Lumora did not accept the sign-in.");
        fail(LKError::client(LKErrorCode::AuthFailed, message,
                             QStringLiteral("To use Lumora Hoistly, you must authorize it. Please try again.")));
        return;
    }
    oauthStep(QStringLiteral("/services/oauth/access_token"), {{QStringLiteral("oauth_verifier"), verifier}}, requestToken, requestSecret,
              [this, completion, requestToken](const Params &reply, const LKError &error) {
                  {
                      // A request token is good for one exchange, whatever its outcome.
                      QMutexLocker lock(&m_lock);
                      if (m_requestToken == requestToken) {
                          m_requestToken.clear();
                          m_requestTokenSecret.clear();
                          m_authURL = QUrl();
                      }
                  }
                  if (error.isError()) {
                      completion(QString(), QString(), QString(), error);
                      return;
                  }
                  QMap<QString, QString> fields;
                  for (const auto &p : reply)
                      fields.insert(p.first, p.second);
                  const QString token = fields.value(QStringLiteral("oauth_token"));
                  const QString secret = fields.value(QStringLiteral("oauth_token_secret"));
                  const QString userID = fields.value(QStringLiteral("user_nsid"));
                  if (token.isEmpty() || secret.isEmpty() || userID.isEmpty()) {
                      completion(QString(), QString(), QString(),
                                 LKError::client(LKErrorCode::BadResponse, QStringLiteral("The service's sign-in answer was incomplete.")));
                      return;
                  }
                  setAuthorized(token, secret);
                  Settings::setObject(token, LKStoredKeys::Token);
                  storeTokenSecret(secret, tokenSecretKey());
                  Settings::setObject(userID, LKStoredKeys::UserID);
                  Settings::setObject(fields.value(QStringLiteral("username")), LKStoredKeys::UserName);
                  Settings::setObject(fields.value(QStringLiteral("fullname")), LKStoredKeys::UserFullName);
                  Settings::synchronize();
                  LGLogInfo(QStringLiteral("LUMORAKIT: Signed in as %1").arg(userID));
                  completion(fields.value(QStringLiteral("username")), userID, fields.value(QStringLiteral("fullname")), {});
              });
}
