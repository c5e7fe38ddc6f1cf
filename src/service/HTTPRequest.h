#pragma once
// The block-based HTTP request of the service client. Every request runs on the client's own
// network thread; blocks are called there (or on the caller's thread for sendSynchronously).
// Only HTTPS addresses, or plain HTTP to this machine, are sent (Endpoints::isAllowedTransport).
#include "service/LKError.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <atomic>

#include <functional>
#include <memory>

// Codes of HTTPRequestErrorDomain.
namespace HTTPRequestError {
constexpr int NetworkFailure = 1;
constexpr int TimedOut = 2;
constexpr int Cancelled = 3;
constexpr int RefusedAddress = 4;
constexpr int BodyUnreadable = 5;
} // namespace HTTPRequestError

struct HTTPResponse
{
    int statusCode = 0;      // 0 when no reply arrived
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    LKError error;           // HTTPRequestErrorDomain; an HTTP status alone is not an error here
    QByteArray header(const QByteArray &name) const;
};

class HTTPRequest
{
public:
    using ProgressBlock = std::function<void(qint64 sent, qint64 total)>;
    using CompletionBlock = std::function<void(const HTTPResponse &)>;

    explicit HTTPRequest(const QUrl &url, const QByteArray &method = QByteArrayLiteral("GET"));
    ~HTTPRequest();
    HTTPRequest(const HTTPRequest &) = delete;
    HTTPRequest &operator=(const HTTPRequest &) = delete;

    QUrl url() const;
    void setHeader(const QByteArray &name, const QByteArray &value);
    void setBody(const QByteArray &body);
    // The body is `head`, then the file's bytes, then `tail`, the file read as it is sent (never
    // whole into memory). The file must stay as it was when the send began: a short read, or
    // another size or modification time once its last byte has been read, ends the request with
    // HTTPRequestError::BodyUnreadable before that last byte leaves.
    void setBodyFile(const QString &path, const QByteArray &head = {}, const QByteArray &tail = {});
    // Whole exchange limit in seconds (0 = none; default 60).
    void setTimeout(double seconds);
    // Limit on a stall with no bytes moving either way (0 = none; default 60).
    void setIdleTimeout(double seconds);
    void setUploadProgressBlock(ProgressBlock block);
    void setCompletionBlock(CompletionBlock block);
    // A flag that cancels the request once it is set, for callers that wait in
    // sendSynchronously() and so cannot call cancel(). It must outlive the request's exchange.
    void setCancelFlag(const std::atomic_bool *flag);
    // sendSynchronously() carries the exchange out inside the call, on the calling thread, with
    // that thread's own connection (kept open between its requests), instead of handing it to
    // the network thread and waiting: no hand-over between threads and no event loop per
    // request, which counts for many small uploads. Blocks are then called on the calling
    // thread; a cancel is seen within about a second, also while the reply is awaited.
    void setSendOnCallingThread(bool on);

    // Starts; the completion block runs once on the network thread. Start at most once.
    void start();
    // Thread-safe; the completion gets HTTPRequestError::Cancelled unless it already ran.
    void cancel();
    bool isFinished() const;
    // Starts and waits (must not be called on the network thread). Also calls the completion block.
    HTTPResponse sendSynchronously();

    // The address with secret-bearing query values replaced, for log lines.
    static QString redactedURL(const QUrl &url);

    struct Private;

private:
    HTTPResponse sendOnThisThread();
    std::shared_ptr<Private> d;
};
