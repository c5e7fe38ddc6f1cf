#pragma once
// The one shared client of the photo service: signed REST calls, the OAuth 1.0 sign-in and the
// stored credentials. Thread-safe; network work runs on the client's own network thread.
//
// Calls: signed with OAuth 1.0 HMAC-SHA1 when a user is signed in (a GET, or a form POST when
// the signed address would be 1,024 characters or longer), otherwise a GET with api_key and an
// MD5 api_sig. Completions run on a background queue, or on the caller's thread when it asked
// to wait until the call finished.
#include "service/LKError.h"
#include "service/LKLumoraAPIMethod.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <utility>

// Keys of the stored credentials in the settings.
namespace LKStoredKeys {
inline const QString Token = QStringLiteral("kLKStoredTokenKey");
inline const QString TokenSecretEnc = QStringLiteral("kLKStoredTokenSecretEnc");
inline const QString TokenSecretPlain = QStringLiteral("kLKStoredTokenSecret");
inline const QString UserID = QStringLiteral("kLKStoredUserID");
inline const QString UserName = QStringLiteral("kLKStoredUserName");
inline const QString UserFullName = QStringLiteral("kLKStoredUserFullName");
} // namespace LKStoredKeys

class LumoraKit
{
public:
    using Params = QList<std::pair<QString, QString>>;
    using Completion = std::function<void(const QVariantMap &response, const LKError &error)>;
    using AuthCompletion = std::function<void(const QString &userName, const QString &userID,
                                              const QString &fullName, const LKError &error)>;
    using AuthURLCompletion = std::function<void(const QUrl &authURL, const LKError &error)>;

    // Default limit of one REST call, in seconds.
    static constexpr double kDefaultTimeout = 60;
    // Signed addresses this long or longer go as a form POST instead.
    static constexpr int kMaxGetURLLength = 1024;

    static LumoraKit *sharedLumoraKit();

    void initializeWithAPIKey(const QString &apiKey, const QString &sharedSecret, bool alphaEnv);
    QString apiKey() const;
    QString secret() const;
    bool alphaEnv() const;
    QString authToken() const;
    QString currentUserID() const;
    QString currentUserName() const;
    QString currentUserFullName() const;
    // The stored token secret, decrypted (the older plain form as fall-back); null when none.
    static QString tokenSecret();

    // --- calls ---
    void call(const LKLumoraAPIMethod &method, Completion completion);
    // maxCacheAgeMinutes > 0 answers from the response cache when an answer that young is there
    // (and caches a successful answer). timeoutSeconds 0 = kDefaultTimeout.
    void call(const LKLumoraAPIMethod &method, int maxCacheAgeMinutes, Completion completion,
              bool waitUntilFinished = false, double timeoutSeconds = 0);
    void call(const QString &methodName, const QVariantMap &args, int maxCacheAgeMinutes, Completion completion,
              bool waitUntilFinished = false, double timeoutSeconds = 0);
    // Blocks the calling (background) thread until the answer is there.
    std::pair<QVariantMap, LKError> callSynchronously(const LKLumoraAPIMethod &method, int maxCacheAgeMinutes = 0,
                                                      double timeoutSeconds = 0);

    // --- authentication ---
    bool isAuthorized() const;
    // The service refused the sign-in (98, the token) or the API key (100) and the client is no
    // longer authorised; 0 otherwise. A new sign-in clears it.
    int credentialsRefused() const;
    // Every answer of the service comes through here (the upload request's too), with the token
    // that signed the request ("" when none).
    void noteServiceAnswer(const LKError &error, const QString &tokenUsed);
    void loadTokenFromSettingsWithoutValidating();
    void checkAuthorizationOnCompletion(AuthCompletion completion);
    void beginAuthWithCallbackURL(const QUrl &callbackURL, LKPermission permission, AuthURLCompletion completion);
    void completeAuthWithURL(const QUrl &callbackURL, AuthCompletion completion);
    // Whether a callback answers the request token now waiting for one (an old link or another
    // sign-in's answer does not).
    bool answersCurrentRequest(const QUrl &callbackURL) const;
    void resetAuthURL();
    void logout();

    // --- signing and replies (also used by the upload request) ---
    // OAuth parameters (when signed in) or api_key + api_sig, added to the arguments.
    Params signedParameters(const QByteArray &httpMethod, const QUrl &url, const Params &args) const;
    Params oauthSignedParameters(const QByteArray &httpMethod, const QUrl &url, const Params &args,
                                 const QString &token, const QString &tokenSecret) const;
    Params apiSigParameters(const Params &args) const;

    struct PreparedRequest
    {
        QUrl url;
        QByteArray httpMethod;   // "GET" or "POST"
        QByteArray body;         // form body of a POST
        QByteArray contentType;
    };
    // The signed REST request for a method name and its arguments.
    PreparedRequest prepareRESTRequest(const QString &methodName, const QVariantMap &args) const;
    // Turns a REST reply into its dictionary or an error value.
    static LKError errorFromResponse(const LKError &transportError, int httpStatus, const QByteArray &body,
                                     QVariantMap *response, const LKLumoraAPIMethod *method = nullptr);
    // "a=b&c=d" with RFC 3986 encoding.
    static QByteArray formEncode(const Params &params);
    static Params formDecode(const QByteArray &body);

    // The response cache folder ("LumoraKitDiskCache" in the user's caches folder).
    static QString diskCachePath();
    void clearCache();

    // Tests: forgets the in-memory state (not the settings).
    void resetForTesting();

private:
    LumoraKit() = default;
    void setAuthorized(const QString &token, const QString &tokenSecret);
    void forgetSessionLocked(); // with m_lock held
    void oauthStep(const QString &path, const Params &args, const QString &token, const QString &tokenSecret,
                   std::function<void(const Params &reply, const LKError &error)> done);
    static QByteArray tokenSecretKey();

    mutable QMutex m_lock;
    QString m_apiKey;
    QString m_secret;
    bool m_alphaEnv = false;
    QString m_token;
    QString m_tokenSecret;
    bool m_authorized = false;
    int m_refusedCode = 0;
    QUrl m_authURL;               // cached authorisation address
    QString m_requestToken;       // the request token whose callback we wait for
    QString m_requestTokenSecret;
    QUrl m_callbackURL;
};
