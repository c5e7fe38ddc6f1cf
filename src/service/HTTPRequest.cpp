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
#include <QUrlQuery>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A streamed body: fixed head bytes, the file's bytes read as they are sent, fixed tail bytes.
// Random access, so that a resend can begin again. The file is held to what it was when opened:
// should it be edited meanwhile, the bytes sent would mix two versions and the service would keep
// a torn photo, so a short read, or another size or modification time by the time the last byte
// has been read, fails the read before that byte is handed over.
class BodyDevice : public QIODevice
{
public:
    BodyDevice(QByteArray head, QByteArray tail) : head(std::move(head)), tail(std::move(tail)) {}
    ~BodyDevice() override { close(); }

    bool openFile(const QString &path)
    {
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &opened) != 0)
            return false;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    void close() override
    {
        QIODevice::close();
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return head.size() + opened.st_size + tail.size(); }
    // A failed read ends the exchange in both clients; this tells it from a network failure.
    bool failed() const { return broken; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (broken)
            return -1;
        const qint64 start = pos();
        const qint64 fileEnd = head.size() + qint64(opened.st_size);
        qint64 at = start;
        qint64 done = copyFrom(head, 0, at, data, maxSize);
        at += done;
        if (at >= head.size() && at < fileEnd && done < maxSize) {
            const qint64 want = qMin(maxSize - done, fileEnd - at);
            for (qint64 got = 0; got < want;) {
                const ssize_t n = ::pread(fd, data + done + got, size_t(want - got), off_t(at - head.size() + got));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return fail(QStringLiteral("The file to upload could not be read."));
                if (n == 0)
                    return fail(kChanged); // cut short since it was opened
                got += n;
            }
            done += want;
            at += want;
        }
        if (start <= fileEnd && at == fileEnd && !unchanged())
            return fail(kChanged);
        done += copyFrom(tail, fileEnd, at, data + done, maxSize - done);
        return done;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    // Copies the part of `bytes` (which begins at `offset` in the body) found at `at`.
    static qint64 copyFrom(const QByteArray &bytes, qint64 offset, qint64 at, char *to, qint64 room)
    {
        if (at < offset || at >= offset + bytes.size() || room <= 0)
            return 0;
        const qint64 n = qMin(room, offset + bytes.size() - at);
        memcpy(to, bytes.constData() + (at - offset), size_t(n));
        return n;
    }
    bool unchanged() const
    {
        struct stat now = {};
        return ::fstat(fd, &now) == 0 && now.st_size == opened.st_size && now.st_mtim.tv_sec == opened.st_mtim.tv_sec
            && now.st_mtim.tv_nsec == opened.st_mtim.tv_nsec;
    }
    qint64 fail(const QString &why)
    {
        broken = true;
        setErrorString(why);
        return -1;
    }
    static inline const QString kChanged = QStringLiteral("The file changed while it was being sent.");

    QByteArray head;
    QByteArray tail;
    int fd = -1;
    struct stat opened = {};
    bool broken = false;
};

LKError bodyUnreadable(const QString &message)
{
    return LKError{HTTPRequestErrorDomain, HTTPRequestError::BodyUnreadable, message, {}, 0};
}

} // namespace

struct HTTPRequest::Private
{
    QUrl url;
    QByteArray method;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QString bodyFile;
    QByteArray bodyHead;
    QByteArray bodyTail;
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

    static int onTransfer(void *userData, curl_off_t, curl_off_t, curl_off_t total, curl_off_t sent);

    void finish(HTTPResponse response)
    {
        if (finished.exchange(true))
            return;
        if (completion)
            completion(response);
        completion = nullptr; // drops captures (and cycles through them) once done
        progress = nullptr;
    }

    // Network thread, with its manager.
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
        QPointer<BodyDevice> streamed;
        if (!bodyFile.isEmpty()) {
            auto *file = new BodyDevice(bodyHead, bodyTail);
            if (!file->openFile(bodyFile)) {
                delete file;
                HTTPResponse r;
                r.error = bodyUnreadable(QStringLiteral("The file to upload could not be opened."));
                finish(r);
                return;
            }
            req.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
            device = streamed = file;
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
        QObject::connect(r, &QNetworkReply::finished, r, [self, r, timedOut, cancelWatch, streamed] {
            if (cancelWatch)
                cancelWatch->stop(); // the flag's owner may be gone once the request has finished
            HTTPResponse resp;
            resp.statusCode = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            resp.body = r->readAll();
            resp.headers = r->rawHeaderPairs();
            const QNetworkReply::NetworkError err = r->error();
            if (streamed && streamed->failed()) {
                resp = HTTPResponse();
                resp.error = bodyUnreadable(streamed->errorString());
            } else if (self->cancelRequested && (err != QNetworkReply::NoError || resp.statusCode == 0)) {
                // A reply that arrived whole stands, even when a cancel came in after it.
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
void HTTPRequest::setBodyFile(const QString &path, const QByteArray &head, const QByteArray &tail)
{
    d->bodyFile = path;
    d->bodyHead = head;
    d->bodyTail = tail;
}
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

namespace {

// The calling thread's own client: one handle per thread, kept for the thread's life, so that its
// connection to the service stays open from one upload to the next. It runs inside the call; no
// event loop and no other thread take part.
class ThreadClient
{
public:
    static CURL *handle()
    {
        static std::once_flag initialised;
        std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        thread_local ThreadClient client;
        if (client.curl)
            curl_easy_reset(client.curl); // options go; the open connection stays
        return client.curl;
    }

private:
    ThreadClient() : curl(curl_easy_init()) {}
    ~ThreadClient()
    {
        if (curl)
            curl_easy_cleanup(curl);
    }
    CURL *curl = nullptr;
};

struct Exchange
{
    HTTPRequest::Private *request;
    BodyDevice *bodyFile = nullptr;
    qint64 lastSent = -1;
    HTTPResponse *response;
};

size_t readBody(char *buffer, size_t size, size_t count, void *userData)
{
    auto *x = static_cast<Exchange *>(userData);
    const qint64 n = x->bodyFile->read(buffer, qint64(size * count));
    return n < 0 ? CURL_READFUNC_ABORT : size_t(n);
}

// A connection found closed when reused is opened again and the body sent from its start.
int seekBody(void *userData, curl_off_t offset, int origin)
{
    auto *x = static_cast<Exchange *>(userData);
    return origin == SEEK_SET && x->bodyFile->seek(qint64(offset)) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

size_t writeBody(char *data, size_t size, size_t count, void *userData)
{
    static_cast<Exchange *>(userData)->response->body.append(data, qsizetype(size * count));
    return size * count;
}

size_t readHeader(char *data, size_t size, size_t count, void *userData)
{
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    auto *r = static_cast<Exchange *>(userData)->response;
    if (line.startsWith("HTTP/"))
        r->headers.clear(); // a new answer (after an interim one)
    else if (const qsizetype colon = line.indexOf(':'); colon > 0)
        r->headers << qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
    return size * count;
}

} // namespace

// Called by the client during the exchange, also while it waits: the place to see a cancel.
int HTTPRequest::Private::onTransfer(void *userData, curl_off_t, curl_off_t, curl_off_t total, curl_off_t sent)
{
    auto *x = static_cast<Exchange *>(userData);
    Private *d = x->request;
    if (d->cancelFlag && d->cancelFlag->load())
        d->cancelRequested = true;
    if (d->cancelRequested)
        return 1;
    if (d->progress && total > 0 && sent != x->lastSent) {
        x->lastSent = sent;
        d->progress(sent, total);
    }
    return 0;
}

HTTPResponse HTTPRequest::sendOnThisThread()
{
    HTTPResponse result;
    auto cancelled = [&result] {
        result.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::Cancelled, QStringLiteral("The request was cancelled."), {}, result.statusCode};
    };
    if (d->started.exchange(true)) {
        // Only a cancel before the start gets here first; it has finished the request.
        cancelled();
        return result;
    }
    if (!Endpoints::isAllowedTransport(d->url)) {
        result.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::RefusedAddress,
                               QStringLiteral("Refusing to send to an address that is not HTTPS: %1").arg(redactedURL(d->url)), {}, 0};
        LGLogError(QStringLiteral("HTTP: ") + result.error.message);
        d->finish(result);
        return result;
    }
    if (d->cancelFlag && d->cancelFlag->load())
        d->cancelRequested = true;
    CURL *curl = d->cancelRequested ? nullptr : ThreadClient::handle();
    if (!curl) {
        if (d->cancelRequested)
            cancelled();
        else
            result.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::NetworkFailure, QStringLiteral("The network client could not be started."), {}, 0};
        d->finish(result);
        return result;
    }
    Exchange x{d.get(), nullptr, -1, &result};
    BodyDevice file(d->bodyHead, d->bodyTail);
    qint64 bodySize = d->body.size();
    if (!d->bodyFile.isEmpty()) {
        if (!file.openFile(d->bodyFile)) {
            result.error = bodyUnreadable(QStringLiteral("The file to upload could not be opened."));
            d->finish(result);
            return result;
        }
        x.bodyFile = &file;
        bodySize = file.size();
    }
    const QByteArray url = d->url.toEncoded();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROXY, ""); // direct, as every other request of the client
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, d->method.constData());
    if (d->method == "GET" && d->body.isEmpty() && !x.bodyFile) {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else if (x.bodyFile) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &x);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, seekBody);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &x);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(bodySize));
        // Larger reads than the client's default 64 KB: a large file goes in a sixteenth of the
        // reads and hand-offs to the socket, for 1 MB held while it is sent.
        curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 1L << 20);
    } else {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, d->body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(bodySize));
    }
    curl_slist *headers = nullptr;
    for (const auto &h : std::as_const(d->headers))
        headers = curl_slist_append(headers, (h.first + ": " + h.second).constData());
    headers = curl_slist_append(headers, "Expect:"); // the body goes at once, without a round trip first
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    if (d->timeout > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(d->timeout * 1000));
    if (d->idleTimeout > 0) {
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(d->idleTimeout * 1000));
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, qMax(1L, long(d->idleTimeout)));
    }
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Private::onTransfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &x);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &x);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, readHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &x);
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    result.statusCode = int(status);
    if (x.bodyFile && x.bodyFile->failed()) {
        // The read callback's abort, not a cancel.
        result.error = bodyUnreadable(x.bodyFile->errorString());
        result.statusCode = 0;
    } else if (code == CURLE_ABORTED_BY_CALLBACK || (code != CURLE_OK && d->cancelRequested)) {
        // A reply that arrived whole stands, even when a cancel came in after it.
        cancelled();
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
        result.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::TimedOut, QStringLiteral("The request timed out."), {}, result.statusCode};
    } else if (code != CURLE_OK) {
        // The client's text may quote the address, signature and token included.
        QString text = QString::fromUtf8(errorText[0] ? errorText : curl_easy_strerror(code));
        text.replace(QString::fromUtf8(url), redactedURL(d->url));
        result.error = LKError{HTTPRequestErrorDomain, HTTPRequestError::NetworkFailure, LGLog::redact(text), {}, 0};
        result.statusCode = 0;
    } else if (d->progress && bodySize > 0 && x.lastSent != bodySize) {
        d->progress(bodySize, bodySize); // every byte left; the client's last report may not say so
    }
    d->finish(result);
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
