#pragma once
// One photo or video upload: a signed multipart POST to "/services/upload/" (or
// "/services/replace/" with a photo id) with the signed arguments and a "photo" part. A large
// file's body is framed as it is sent, the photo's own bytes read from it as they leave, so a file
// of any size never sits in memory and is never copied. The XML reply is read into the result.
#include "service/LKError.h"
#include "service/LumoraKit.h"

#include <QString>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

struct LKUploadResult
{
    QString photoID;
    QString ticketID;
    QString duplicate_photo_id;
    bool duplicate = false; // the reply called the file a duplicate, with or without a photo id
    double wait = 0;       // seconds the service asks us to wait before trying again (0 = none)
    int max_tickets = 0;   // the service's limit of pending tickets (0 = not sent)
    LKError error;         // service errors carry the reply's code and msg
    int httpStatus = 0;

    bool isError() const { return error.isError(); }
    bool isCancelled() const { return error.domain == LKClientErrorDomain && error.code == LKErrorCode::Cancelled; }
    // Reads the service's XML reply (an HTTP 200 body).
    static LKUploadResult parse(const QByteArray &xml);
};

class LKImageUploadNetworkOperation
{
public:
    using ProgressBlock = std::function<void(qint64 sent, qint64 total)>;
    using CompletionBlock = std::function<void(const LKUploadResult &)>;

    // `arguments`: title, description, tags, is_public, is_friend, is_family, hidden, async,
    // photoset_id, photoset_title, ... (strings, numbers or booleans; empty values are left out).
    LKImageUploadNetworkOperation(const QString &filePath, const QVariantMap &arguments,
                                  const QString &replacePhotoID = {});
    ~LKImageUploadNetworkOperation();

    QString filePath() const;
    void setUploadProgressBlock(ProgressBlock block);
    // Stall limit while sending (default 120 s).
    void setIdleTimeout(double seconds);

    // Builds the body and sends it on a background queue; the completion runs once, on a
    // background thread.
    void start(CompletionBlock completion);
    // The same, blocking the calling thread (never the main thread in the application).
    LKUploadResult runSynchronously();
    // Thread-safe; the result is then an error with LKErrorCode::Cancelled.
    void cancel();
    // The same, for a caller blocked in runSynchronously(): the operation cancels itself once
    // the flag is set. The flag must outlive the run.
    void setCancelFlag(const std::atomic_bool *flag);
    bool isCancelled() const;
    // Called on the sending thread once the body is ready, right before its first byte leaves;
    // answering false sends nothing and ends the run as cancelled. A caller that must have
    // something on disk before the service may hold the file waits for it here, while the body
    // (of a small file) or its framing has been made meanwhile.
    void setBeforeSend(std::function<bool()> gate);

    // The folder where earlier versions kept temporary bodies; purgeUploadCache() removes those
    // left behind.
    static QString uploadCacheFolder();
    static void purgeUploadCache();
    // The multipart body's bytes before the file's (the fields, then the "photo" part's header)
    // and after them.
    static std::pair<QByteArray, QByteArray> multipartFraming(const QString &filePath, const LumoraKit::Params &fields,
                                                              const QByteArray &boundary);
    // The whole body in memory, for small files (empty on failure, with `error` set).
    static QByteArray multipartBody(const QString &filePath, const LumoraKit::Params &fields, const QByteArray &boundary,
                                    LKError *error);
    // Files up to this size are sent from memory; larger ones are streamed from the file itself.
    static constexpr qint64 kInMemoryBodyLimit = 4 * 1024 * 1024;

    struct Private;

private:
    std::shared_ptr<Private> d;
};
