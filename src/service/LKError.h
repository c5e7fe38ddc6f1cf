#pragma once
// Failures of the service client as values: a domain per origin and a code within it.
#include <QString>

// The client's own codes (LKClientErrorDomain).
namespace LKErrorCode {
constexpr int NetworkFailure = 100;   // the service could not be reached (offline, refused, timed out)
constexpr int HTTPStatus = 101;       // the service answered with an HTTP status other than 200
constexpr int Cancelled = 102;        // the request was cancelled
constexpr int BadResponse = 200;      // the reply could not be read (malformed JSON, XML or form)
constexpr int AuthFailed = 300;       // the sign-in exchange failed or was refused
constexpr int NoStoredToken = 301;    // there is no stored token to check
constexpr int NeedsLogin = 302;       // the call needs a signed-in user (service domain)
constexpr int InvalidRequest = 400;   // not initialised, bad arguments or a refused address
} // namespace LKErrorCode

inline const QString LKClientErrorDomain = QStringLiteral("LumoraKitErrorDomain");
inline const QString LKServiceErrorDomain = QStringLiteral("LumoraServiceErrorDomain");
inline const QString HTTPRequestErrorDomain = QStringLiteral("HTTPRequestErrorDomain");

struct LKError
{
    QString domain;      // empty: no error
    int code = 0;
    QString message;     // what went wrong, for the log and for alerts (never holds secrets)
    QString reason;      // the failure reason shown under an alert's title ("" when none)
    int httpStatus = 0;  // the HTTP status when one was received

    bool isError() const { return !domain.isEmpty(); }
    explicit operator bool() const { return isError(); }
    QString localizedDescription() const { return message; }
    QString localizedFailureReason() const { return reason; }
    // "domain code: message", for log lines.
    QString toString() const
    {
        return isError() ? QStringLiteral("%1 %2: %3").arg(domain).arg(code).arg(message) : QString();
    }

    static LKError client(int code, const QString &message, const QString &reason = {})
    {
        return LKError{LKClientErrorDomain, code, message, reason, 0};
    }
    static LKError service(int code, const QString &message)
    {
        return LKError{LKServiceErrorDomain, code, message, message, 0};
    }
};
