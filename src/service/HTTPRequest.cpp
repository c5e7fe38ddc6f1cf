#include "service/HTTPRequest.h"

#include "core/LGLog.h"
#include "platform/Endpoints.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QThreadStorage>
#include <QEventLoop>
#include <QUrlQuery>

#include <atomic>

namespace {

// The one network thread of the client, with its access manager.
class NetworkThread : public QThread
{
public:
    static NetworkThread *instance()
    {
        static NetworkThread *thread = [] {
            auto *t = new NetworkThread;
            t->setObjectName(QStringLiteral("LumoraKit network"));
            t->start();
            t->ready.acquire();
            qAddPostRoutine([] {
                NetworkThread *nt = NetworkThread::instance();
                nt->quit();
                nt->wait(3000);
            });
            return t;
        }();
        return thread;
    }

    // Runs the function on the network thread at a later turn of its loop.
    void post(std::function<void()> fn) { QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection); }
    QNetworkAccessManager *manager() const { return nam; }

protected:
    void run() override
    {
        QObject ctx;
        QNetworkAccessManager manager;
        manager.setAutoDeleteReplies(false);
        context = &ctx;
        nam = &manager;
        ready.release();
        exec();
        nam = nullptr;
        context = nullptr;
    }

private:
    QSemaphore ready;
    QObject *context = nullptr;
    QNetworkAccessManager *nam = nullptr;
};

} // namespace

struct HTTPRequest::Private
{
    QUrl url;
    QByteArray method;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QString bodyFile;
    double timeout = 60;
    double idleTimeout = 60;
    ProgressBlock progress;
    CompletionBlock completion;
    const std::atomic_bool *cancelFlag = nullptr;
    bool onCallingThread = false;

    std::atomic_bool started{false};
    std::atomic_bool finished{false};
    std::atomic_bool cancelRequested{false};
    bool abortSent = false; // the reply's thread only
    QPointer<QNetworkReply> reply; // network thread only

    void finish(HTTPResponse response)
    {
        if (finished.exchange(true))
            return;
        if (completion)
            completion(response);
        completion = nullptr; // drops captures (and cycles through them) once done
        progress = nullptr;
    }

    // Network thread, or the calling thread of a synchronous send on it, with that thread's manager.
    void send(const std::shared_ptr<Private> &self, QNetworkAccessManager *nam)
    {
        if (cancelFlag && cancelFlag->load())
            cancelRequested = true;
        if (cancelRequested) {
            HTTPResponse r;
            r.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::Cancelled, QStringLiteral("The request was cancelled."), {}, 0};
            finish(r);
            return;
        }
        QNetworkRequest req(url);
        for (const auto &h : headers)
            req.setRawHeader(h.first, h.second);
        req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        if (idleTimeout > 0)
            req.setTransferTimeout(int(idleTimeout * 1000));
        QIODevice *device = nullptr;
        if (!bodyFile.isEmpty()) {
            auto *file = new QFile(bodyFile);
            if (!file->open(QIODevice::ReadOnly)) {
                delete file;
                HTTPResponse r;
                r.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::BodyUnreadable,
                                  QStringLiteral("The upload body could not be read."), {}, 0};
                finish(r);
                return;
            }
            req.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
            device = file;
        } else if (!body.isEmpty() || method != "GET") {
            auto *buffer = new QBuffer;
            buffer->setData(body);
            buffer->open(QIODevice::ReadOnly);
            req.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
            device = buffer;
        }
        QNetworkReply *r = device ? nam->sendCustomRequest(req, method, device) : nam->sendCustomRequest(req, method);
        if (device)
            device->setParent(r);
        reply = r;
        auto timedOut = std::make_shared<bool>(false);
        if (timeout > 0) {
            auto *timer = new QTimer(r);
            timer->setSingleShot(true);
            QObject::connect(timer, &QTimer::timeout, r, [r, timedOut] {
                *timedOut = true;
                r->abort();
            });
            timer->start(int(timeout * 1000));
        }
        if (progress) {
            QObject::connect(r, &QNetworkReply::uploadProgress, r, [self](qint64 sent, qint64 total) {
                // Qt closes with a (0, 0) report that would read as "nothing sent".
                if (self->progress && !self->finished && total > 0)
                    self->progress(sent, total);
            });
        }
        QTimer *cancelWatch = nullptr;
        if (cancelFlag || onCallingThread) {
            // A cancel from another thread cannot touch the reply: it is seen here.
            cancelWatch = new QTimer(r);
            QObject::connect(cancelWatch, &QTimer::timeout, r, [self, r] {
                if (self->cancelFlag && self->cancelFlag->load())
                    self->cancelRequested = true;
                if (self->cancelRequested && !self->abortSent) {
                    self->abortSent = true;
                    r->abort();
                }
            });
            cancelWatch->start(50);
        }
        QObject::connect(r, &QNetworkReply::finished, r, [self, r, timedOut, cancelWatch] {
            if (cancelWatch)
                cancelWatch->stop(); // the flag's owner may be gone once the request has finished
            HTTPResponse resp;
            resp.statusCode = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            resp.body = r->readAll();
            resp.headers = r->rawHeaderPairs();
            const QNetworkReply::NetworkError err = r->error();
            // A reply that arrived whole stands, even when a cancel came in after it.
            if (self->cancelRequested && (err != QNetworkReply::NoError || resp.statusCode == 0)) {
                resp.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::Cancelled, QStringLiteral("The request was cancelled."), {}, resp.statusCode};
            } else if (*timedOut || err == QNetworkReply::TimeoutError
                       || (err == QNetworkReply::OperationCanceledError && resp.statusCode == 0)) {
                resp.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::TimedOut, QStringLiteral("The request timed out."), {}, resp.statusCode};
            } else if (err != QNetworkReply::NoError && resp.statusCode == 0) {
                // Qt's text may quote the whole address, signature and token included.
                QString text = r->errorString();
                const QString safe = HTTPRequest::redactedURL(self->url);
                for (const QString &form : {self->url.toString(), self->url.toString(QUrl::FullyEncoded), self->url.toDisplayString()})
                    text.replace(form, safe);
                resp.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::NetworkFailure, LGLog::redact(text), {}, 0};
            }
            r->deleteLater();
            self->finish(resp);
        });
    }
};

QByteArray HTTPResponse::header(const QByteArray &name) const
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

HTTPRequest::HTTPRequest(const QUrl &url, const QByteArray &method) : d(std::make_shared<Private>())
{
    d->url = url;
    d->method = method.toUpper();
}

HTTPRequest::~HTTPRequest() = default;

QUrl HTTPRequest::url() const { return d->url; }
void HTTPRequest::setHeader(const QByteArray &name, const QByteArray &value) { d->headers << qMakePair(name, value); }
void HTTPRequest::setBody(const QByteArray &body) { d->body = body; }
void HTTPRequest::setBodyFile(const QString &path) { d->bodyFile = path; }
void HTTPRequest::setTimeout(double seconds) { d->timeout = seconds; }
void HTTPRequest::setIdleTimeout(double seconds) { d->idleTimeout = seconds; }
void HTTPRequest::setUploadProgressBlock(ProgressBlock block) { d->progress = std::move(block); }
void HTTPRequest::setCompletionBlock(CompletionBlock block) { d->completion = std::move(block); }
void HTTPRequest::setCancelFlag(const std::atomic_bool *flag) { d->cancelFlag = flag; }
bool HTTPRequest::isFinished() const { return d->finished; }

void HTTPRequest::start()
{
    if (d->started.exchange(true))
        return;
    if (!Endpoints::isAllowedTransport(d->url)) {
        HTTPResponse r;
        r.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::RefusedAddress,
                          QStringLiteral("Refusing to send to an address that is not HTTPS: %1").arg(redactedURL(d->url)), {}, 0};
        LGLogError(QStringLiteral("HTTP: ") + r.error.message);
        d->finish(r);
        return;
    }
    std::shared_ptr<Private> self = d;
    NetworkThread::instance()->post([self] { self->send(self, NetworkThread::instance()->manager()); });
}

void HTTPRequest::cancel()
{
    d->cancelRequested = true;
    std::shared_ptr<Private> self = d;
    if (!d->started) {
        HTTPResponse r;
        r.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::Cancelled, QStringLiteral("The request was cancelled."), {}, 0};
        d->started = true;
        d->finish(r);
        return;
    }
    if (d->onCallingThread)
        return; // the sending thread's watch sees the request and aborts the reply there
    NetworkThread::instance()->post([self] {
        if (self->reply)
            self->reply->abort();
    });
}

HTTPResponse HTTPRequest::sendSynchronously()
{
    Q_ASSERT(QThread::currentThread() != NetworkThread::instance());
    if (d->onCallingThread && QThread::currentThread() != QCoreApplication::instance()->thread())
        return sendOnThisThread();
    auto done = std::make_shared<QSemaphore>();
    auto result = std::make_shared<HTTPResponse>();
    CompletionBlock user = d->completion;
    d->completion = [done, result, user](const HTTPResponse &r) {
        *result = r;
        if (user)
            user(r);
        done->release();
    };
    start();
    done->acquire();
    return *result;
}

HTTPResponse HTTPRequest::sendOnThisThread()
{
    HTTPResponse result;
    if (d->started.exchange(true)) {
        // Only a cancel before the start gets here first; it has finished the request.
        result.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::Cancelled, QStringLiteral("The request was cancelled."), {}, 0};
        return result;
    }
    if (!Endpoints::isAllowedTransport(d->url)) {
        result.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::RefusedAddress,
                               QStringLiteral("Refusing to send to an address that is not HTTPS: %1").arg(redactedURL(d->url)), {}, 0};
        LGLogError(QStringLiteral("HTTP: ") + result.error.message);
        d->finish(result);
        return result;
    }
    // One manager per thread, made on first use and deleted with the thread.
    static QThreadStorage<QNetworkAccessManager *> managers;
    if (!managers.hasLocalData()) {
        auto *manager = new QNetworkAccessManager;
        manager->setAutoDeleteReplies(false);
        managers.setLocalData(manager);
    }
    QEventLoop loop;
    bool done = false;
    CompletionBlock user = d->completion;
    d->completion = [&](const HTTPResponse &r) {
        result = r;
        if (user)
            user(r);
        done = true;
        loop.quit();
    };
    d->send(d, managers.localData());
    if (!done)
        loop.exec();
    // The finished reply was handed to deleteLater; this thread runs no other loop to do it.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}

void HTTPRequest::setSendOnCallingThread(bool on) { d->onCallingThread = on; }

QString HTTPRequest::redactedURL(const QUrl &url)
{
    static const QStringList sensitive{QStringLiteral("oauth_token"), QStringLiteral("oauth_signature"), QStringLiteral("oauth_verifier"),
                                       QStringLiteral("oauth_token_secret"), QStringLiteral("api_sig"), QStringLiteral("api_key"),
                                       QStringLiteral("oauth_consumer_key"), QStringLiteral("oauth_nonce")};
    QUrl u = url;
    u.setUserInfo(QString());
    QUrlQuery q(u);
    const auto items = q.queryItems(QUrl::FullyEncoded);
    QUrlQuery out;
    for (const auto &item : items)
        out.addQueryItem(item.first, sensitive.contains(QUrl::fromPercentEncoding(item.first.toUtf8())) ? QStringLiteral("[REDACTED]") : item.second);
    u.setQuery(out);
    return LGLog::redact(u.toString());
}
