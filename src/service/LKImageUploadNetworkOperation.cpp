#include "service/LKImageUploadNetworkOperation.h"

#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "platform/Endpoints.h"
#include "platform/StandardPaths.h"
#include "service/HTTPRequest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QMutex>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QXmlStreamReader>

namespace {

QString argString(const QVariant &v)
{
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    return v.toString();
}

QByteArray headerSafe(QString s)
{
    s.replace(QLatin1Char('"'), QLatin1Char('\''));
    s.remove(QLatin1Char('\r'));
    s.remove(QLatin1Char('\n'));
    return s.toUtf8();
}

LKUploadResult failed(const LKError &error)
{
    LKUploadResult r;
    r.error = error;
    return r;
}

} // namespace

// ------------------------------------------------------------------------------------------
// Reply

LKUploadResult LKUploadResult::parse(const QByteArray &xml)
{
    LKUploadResult r;
    // One reader per thread, reused: the upload thread reads one small reply per file.
    thread_local QXmlStreamReader reader;
    reader.clear();
    reader.addData(xml);
    bool sawRsp = false;
    QString stat;
    int errCode = 0;
    QString errMsg;
    bool sawErr = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        const auto name = reader.name();
        if (name == QLatin1String("rsp")) {
            sawRsp = true;
            stat = reader.attributes().value(QLatin1String("stat")).toString();
        } else if (name == QLatin1String("err")) {
            sawErr = true;
            errCode = reader.attributes().value(QLatin1String("code")).toInt();
            errMsg = reader.attributes().value(QLatin1String("msg")).toString();
        } else if (name == QLatin1String("photoid")) {
            r.photoID = reader.readElementText().trimmed();
        } else if (name == QLatin1String("ticketid")) {
            r.ticketID = reader.readElementText().trimmed();
        } else if (name == QLatin1String("wait")) {
            r.wait = reader.readElementText().trimmed().toDouble();
        } else if (name == QLatin1String("max_tickets")) {
            r.max_tickets = reader.readElementText().trimmed().toInt();
        } else if (name == QLatin1String("duplicate_photo_id")) {
            r.duplicate_photo_id = reader.readElementText().trimmed();
            r.duplicate = true;
        }
    }
    if (reader.hasError() || !sawRsp) {
        LKUploadResult bad;
        bad.error = LKError::client(LKErrorCode::BadResponse, QStringLiteral("The upload reply could not be read."));
        return bad;
    }
    if (stat == QLatin1String("fail") || sawErr) {
        r.error = LKError::service(errCode, errMsg.isEmpty() ? QStringLiteral("The upload failed (%1).").arg(errCode) : errMsg);
        return r;
    }
    if (stat != QLatin1String("ok") || (r.photoID.isEmpty() && r.ticketID.isEmpty() && !r.duplicate)) {
        LKUploadResult bad;
        bad.error = LKError::client(LKErrorCode::BadResponse, QStringLiteral("The upload reply named no photo."));
        return bad;
    }
    return r;
}

// ------------------------------------------------------------------------------------------
// Body

QString LKImageUploadNetworkOperation::uploadCacheFolder() { return StandardPaths::lumoraSubfolder(QStringLiteral("UploadCache")); }

void LKImageUploadNetworkOperation::purgeUploadCache()
{
    QDir dir(uploadCacheFolder());
    for (const QFileInfo &info : dir.entryInfoList({QStringLiteral("upload-*")}, QDir::Files))
        QFile::remove(info.absoluteFilePath());
}

namespace {
// By the name's suffix alone, remembered: the same few suffixes come again and again, and asking
// the MIME database each time costs more than building the rest of the body.
QString mimeTypeByName(const QString &filePath)
{
    static QMutex lock;
    static QHash<QString, QString> known;
    const QString suffix = QFileInfo(filePath).suffix().toLower();
    QMutexLocker locker(&lock);
    auto it = known.constFind(suffix);
    if (it == known.cend())
        it = known.insert(suffix, QMimeDatabase().mimeTypeForFile(filePath, QMimeDatabase::MatchExtension).name());
    return *it;
}

} // namespace

std::pair<QByteArray, QByteArray> LKImageUploadNetworkOperation::multipartFraming(const QString &filePath, const LumoraKit::Params &fields,
                                                                                 const QByteArray &boundary)
{
    QByteArray head;
    for (const auto &f : fields) {
        head += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + headerSafe(f.first) + "\"\r\n\r\n";
        head += f.second.toUtf8() + "\r\n";
    }
    const QString mime = mimeTypeByName(filePath);
    head += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"" + headerSafe(QFileInfo(filePath).fileName())
        + "\"\r\nContent-Type: " + (mime.isEmpty() ? QByteArray("application/octet-stream") : mime.toLatin1()) + "\r\n\r\n";
    return {head, "\r\n--" + boundary + "--\r\n"};
}

QByteArray LKImageUploadNetworkOperation::multipartBody(const QString &filePath, const LumoraKit::Params &fields,
                                                       const QByteArray &boundary, LKError *error)
{
    QFile source(filePath);
    if (!source.open(QIODevice::ReadOnly)) {
        if (error)
            *error = LKError::client(LKErrorCode::InvalidRequest, QStringLiteral("The file to upload could not be opened."));
        return {};
    }
    // Built in place: the file is read straight into the body, which is never copied.
    const auto [head, tail] = multipartFraming(filePath, fields, boundary);
    const qint64 size = source.size();
    QByteArray body(head.size() + size + tail.size(), Qt::Uninitialized);
    memcpy(body.data(), head.constData(), size_t(head.size()));
    if (source.read(body.data() + head.size(), size) != size || !source.atEnd()) {
        if (error)
            *error = LKError::client(LKErrorCode::InvalidRequest, QStringLiteral("The file to upload could not be read."));
        return {};
    }
    memcpy(body.data() + head.size() + size, tail.constData(), size_t(tail.size()));
    return body;
}

// ------------------------------------------------------------------------------------------
// Operation

struct LKImageUploadNetworkOperation::Private
{
    QString filePath;
    QVariantMap arguments;
    QString replacePhotoID;
    double idleTimeout = 120;
    ProgressBlock progress;
    std::atomic_bool cancelled{false};
    const std::atomic_bool *cancelFlag = nullptr;
    std::function<bool()> beforeSend;
    QMutex lock;
    std::shared_ptr<HTTPRequest> request; // under lock

    LKUploadResult run();
};

LKUploadResult LKImageUploadNetworkOperation::Private::run()
{
    if (cancelFlag && cancelFlag->load())
        cancelled = true;
    LumoraKit *kit = LumoraKit::sharedLumoraKit();
    if (!kit->isAuthorized())
        return failed(LKError::service(LKErrorCode::NeedsLogin, QStringLiteral("Uploading needs a signed-in user.")));
    const QFileInfo file(filePath);
    if (!file.isFile())
        return failed(LKError::client(LKErrorCode::InvalidRequest, QStringLiteral("The file to upload is missing.")));

    QUrl url = Endpoints::uploadBase();
    LumoraKit::Params args;
    for (auto it = arguments.cbegin(); it != arguments.cend(); ++it) {
        const QString v = argString(it.value());
        if (!v.isEmpty())
            args << std::pair{it.key(), v};
    }
    if (replacePhotoID.isEmpty()) {
        url.setPath(url.path() + QStringLiteral("/services/upload/"));
    } else {
        url.setPath(url.path() + QStringLiteral("/services/replace/"));
        args << std::pair{QStringLiteral("photo_id"), replacePhotoID};
    }
    const LumoraKit::Params fields = kit->signedParameters("POST", url, args);

    QByteArray boundary = "----HoistlyBoundary";
    for (int i = 0; i < 2; ++i)
        boundary += QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    LKError error;
    auto request = std::make_shared<HTTPRequest>(url, "POST");
    request->setHeader("Content-Type", "multipart/form-data; boundary=" + boundary);

    // A small file goes from memory; a large one is read as it is sent, so memory stays flat
    // whatever the size.
    const qint64 fileSize = file.size();
    if (fileSize <= LKImageUploadNetworkOperation::kInMemoryBodyLimit) {
        const QByteArray body = LKImageUploadNetworkOperation::multipartBody(filePath, fields, boundary, &error);
        if (body.isEmpty())
            return failed(error);
        request->setBody(body);
    } else {
        const auto [head, tail] = LKImageUploadNetworkOperation::multipartFraming(filePath, fields, boundary);
        request->setBodyFile(filePath, head, tail);
    }
    request->setTimeout(0);
    request->setIdleTimeout(idleTimeout);
    request->setCancelFlag(cancelFlag);
    request->setSendOnCallingThread(true);
    if (progress)
        request->setUploadProgressBlock(progress);
    {
        QMutexLocker l(&lock);
        if (cancelled || (cancelFlag && cancelFlag->load()))
            return failed(LKError::client(LKErrorCode::Cancelled, QStringLiteral("The upload was cancelled.")));
        this->request = request;
    }
    if (beforeSend && !beforeSend()) {
        QMutexLocker l(&lock);
        this->request.reset();
        return failed(LKError::client(LKErrorCode::Cancelled, QStringLiteral("The upload was cancelled.")));
    }
    LGLogInfo(QStringLiteral("UPLOAD: Sending %1 (%2 bytes) to %3").arg(QFileInfo(filePath).fileName()).arg(fileSize).arg(HTTPRequest::redactedURL(url)));
    const HTTPResponse response = request->sendSynchronously();
    {
        QMutexLocker l(&lock);
        this->request.reset();
    }
    LKUploadResult result;
    if (response.error.domain == HTTPRequestErrorDomain && response.error.code == HTTPRequestError::BodyUnreadable) {
        // Not the network's fault: the file changed or could not be read while it was sent.
        result.error = LKError::client(LKErrorCode::InvalidRequest, response.error.message);
    } else if (response.error.isError() || response.statusCode != 200) {
        result.error = LumoraKit::errorFromResponse(response.error, response.statusCode, response.body, nullptr);
        if ((cancelled || (cancelFlag && cancelFlag->load())) && response.statusCode == 0)
            result.error = LKError::client(LKErrorCode::Cancelled, QStringLiteral("The upload was cancelled."));
    } else {
        result = LKUploadResult::parse(response.body);
    }
    result.httpStatus = response.statusCode;
    if (result.isError() && !result.isCancelled())
        LGLogInfo(QStringLiteral("UPLOAD: %1 failed: %2").arg(QFileInfo(filePath).fileName(), LGLog::redact(result.error.toString())));
    return result;
}

LKImageUploadNetworkOperation::LKImageUploadNetworkOperation(const QString &filePath, const QVariantMap &arguments,
                                                             const QString &replacePhotoID)
    : d(std::make_shared<Private>())
{
    d->filePath = filePath;
    d->arguments = arguments;
    d->replacePhotoID = replacePhotoID;
}

LKImageUploadNetworkOperation::~LKImageUploadNetworkOperation() = default;

QString LKImageUploadNetworkOperation::filePath() const { return d->filePath; }
void LKImageUploadNetworkOperation::setUploadProgressBlock(ProgressBlock block) { d->progress = std::move(block); }
void LKImageUploadNetworkOperation::setIdleTimeout(double seconds) { d->idleTimeout = seconds; }
bool LKImageUploadNetworkOperation::isCancelled() const { return d->cancelled || (d->cancelFlag && d->cancelFlag->load()); }
void LKImageUploadNetworkOperation::setCancelFlag(const std::atomic_bool *flag) { d->cancelFlag = flag; }
void LKImageUploadNetworkOperation::setBeforeSend(std::function<bool()> gate) { d->beforeSend = std::move(gate); }

void LKImageUploadNetworkOperation::cancel()
{
    d->cancelled = true;
    QMutexLocker l(&d->lock);
    if (d->request)
        d->request->cancel();
}

LKUploadResult LKImageUploadNetworkOperation::runSynchronously() { return d->run(); }

void LKImageUploadNetworkOperation::start(CompletionBlock completion)
{
    std::shared_ptr<Private> self = d;
    dispatch_default_queue_async([self, completion] {
        const LKUploadResult r = self->run();
        if (completion)
            completion(r);
    });
}
