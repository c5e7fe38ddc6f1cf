#include "UploadTransport.h"

#include "service/DataStoreLumoraData.h"
#include "service/LKImageUploadNetworkOperation.h"
#include "service/LumoraKit.h"

#include "core/LGLog.h"

#include <cmath>
#include <QSet>
#include <QVariantList>

namespace {

// Service error codes the loop reacts to.
constexpr int kCodeUploadFormat = 5;
constexpr int kCodeAccountFull = 6;
constexpr int kCodeServiceUnavailable = 105;
constexpr int kCodeNotFound = 1;
// Service errors about the request rather than the file in it: the signature, the sign-in,
// the key, the method or the service's load.
const QSet<int> kRequestCodes = {96, 97, 98, 99, 100, 105, 112};

// Values the service wraps as {"_content": value}.
QString text(const QVariant &v)
{
    if (v.typeId() == QMetaType::QVariantMap)
        return v.toMap().value(QStringLiteral("_content")).toString();
    return v.toString();
}

class ServiceTransport : public UploadTransport
{
public:
    UploadReply upload(const UploadRequest &request, const std::function<void(qint64, qint64)> &progress,
                       const std::atomic_bool &cancel) override
    {
        QVariantMap args;
        args.insert(QStringLiteral("title"), request.title);
        args.insert(QStringLiteral("is_public"), QStringLiteral("0"));
        args.insert(QStringLiteral("is_friend"), QStringLiteral("0"));
        args.insert(QStringLiteral("is_family"), QStringLiteral("0"));
        args.insert(QStringLiteral("async"), QStringLiteral("1"));
        if (!request.albumId.isEmpty())
            args.insert(QStringLiteral("photoset_id"), request.albumId);
        else if (!request.albumName.isEmpty())
            args.insert(QStringLiteral("photoset_title"), request.albumName);

        if (cancel) {
            UploadReply reply;
            reply.outcome = UploadReply::Outcome::Cancelled;
            return reply;
        }
        LKImageUploadNetworkOperation op(request.filePath, args, request.replacePhotoId);
        if (m_idleTimeout > 0)
            op.setIdleTimeout(m_idleTimeout);
        std::atomic_bool allSent { false };
        std::atomic_bool anySent { false };
        op.setUploadProgressBlock([&progress, &allSent, &anySent](qint64 sent, qint64 total) {
            if (sent > 0)
                anySent = true;
            if (total > 0 && sent >= total)
                allSent = true;
            if (progress)
                progress(sent, total);
        });

        // Sent from this thread; a cancel (pause, deselection) reaches it through the flag.
        op.setCancelFlag(&cancel);
        if (request.beforeSend)
            op.setBeforeSend(request.beforeSend);
        LumoraKit *kit = LumoraKit::sharedLumoraKit();
        const QString tokenUsed = kit->isAuthorized() ? kit->authToken() : QString();
        const LKUploadResult result = op.runSynchronously();
        kit->noteServiceAnswer(result.error, tokenUsed);
        UploadReply reply = toReply(result, !request.albumId.isEmpty(), !request.replacePhotoId.isEmpty());
        reply.bodySent = allSent;
        // Refused or unreachable before a byte of the body left: the service cannot hold it.
        if (reply.ambiguous && result.httpStatus == 0 && !anySent)
            reply.ambiguous = false;
        return reply;
    }

    static UploadReply toReply(const LKUploadResult &r, bool namedAlbum, bool replacing)
    {
        UploadReply reply;
        reply.maxTickets = r.max_tickets;
        if (r.isCancelled()) {
            reply.outcome = UploadReply::Outcome::Cancelled;
            return reply;
        }
        auto malformed = [&reply](const QString &what) {
            reply.outcome = UploadReply::Outcome::Failed;
            reply.ambiguous = true;
            reply.errorMessage = QStringLiteral("reply with an invalid %1").arg(what);
            reply.photoId.clear();
            reply.ticketId.clear();
            return reply;
        };
        if (r.isError()) {
            reply.errorCode = r.error.code;
            reply.errorMessage = r.error.toString();
            const bool service = r.error.domain == LKServiceErrorDomain;
            if (r.wait > 0 || (service && r.error.code == kCodeServiceUnavailable)) {
                reply.outcome = UploadReply::Outcome::Busy;
                reply.wait = r.wait > 0 ? r.wait : 0; // bounded where it is used, in the loop
            } else if (service && r.error.code == kCodeNotFound && replacing) {
                reply.outcome = UploadReply::Outcome::PhotoMissing;
            } else if (service && r.error.code == kCodeNotFound && namedAlbum) {
                reply.outcome = UploadReply::Outcome::AlbumMissing;
            } else if (service && r.error.code == kCodeAccountFull) {
                reply.outcome = UploadReply::Outcome::AccountFull;
            } else if (service && r.error.code == kCodeUploadFormat) {
                reply.outcome = UploadReply::Outcome::BadFormat;
            } else {
                reply.outcome = UploadReply::Outcome::Failed;
                // A refusal in words or a plain HTTP error means the file was not taken; a broken,
                // timed-out or unreadable answer, or a gateway's error, leaves it open.
                const int http = r.httpStatus;
                reply.ambiguous = !service && (http == 0 || http == 200 || http == 500 || http == 502 || http == 504);
                reply.fileRefused = service && !kRequestCodes.contains(r.error.code);
            }
            return reply;
        }
        if (r.duplicate) {
            if (!r.duplicate_photo_id.isEmpty() && !isServiceId(r.duplicate_photo_id))
                return malformed(QStringLiteral("duplicate photo id"));
            reply.outcome = UploadReply::Outcome::Duplicate;
            reply.photoId = r.duplicate_photo_id;
        } else if (!r.ticketID.isEmpty()) {
            if (!isServiceId(r.ticketID))
                return malformed(QStringLiteral("ticket id"));
            reply.outcome = UploadReply::Outcome::Ticket;
            reply.ticketId = r.ticketID;
        } else if (!r.photoID.isEmpty()) {
            if (!isServiceId(r.photoID))
                return malformed(QStringLiteral("photo id"));
            reply.outcome = UploadReply::Outcome::Photo;
            reply.photoId = r.photoID;
        } else {
            reply.outcome = UploadReply::Outcome::Failed;
            reply.ambiguous = true;
            reply.errorMessage = QStringLiteral("reply without photo, ticket or duplicate");
        }
        return reply;
    }

    bool checkTickets(const QStringList &ticketIds, QList<TicketResult> *results, QString *error) override
    {
        LKLumoraPhotosUploadCheckTickets method;
        method.tickets = ticketIds.join(QLatin1Char(','));
        const auto [response, err] = LumoraKit::sharedLumoraKit()->callSynchronously(method);
        if (err.isError()) {
            if (error)
                *error = LGLog::redact(err.toString());
            return false;
        }
        const QVariant list = response.value(QStringLiteral("uploader")).toMap().value(QStringLiteral("ticket"));
        const QVariantList tickets = list.typeId() == QMetaType::QVariantList ? list.toList() : QVariantList{list};
        for (const QVariant &v : tickets) {
            const QVariantMap t = v.toMap();
            TicketResult r;
            r.ticketId = text(t.value(QStringLiteral("id")));
            if (r.ticketId.isEmpty())
                continue;
            const int complete = text(t.value(QStringLiteral("complete"))).toInt();
            if (text(t.value(QStringLiteral("invalid"))).toInt() == 1 || complete == 2)
                r.state = TicketResult::State::Failed;
            else if (complete == 1)
                r.state = TicketResult::State::Complete;
            r.photoId = text(t.value(QStringLiteral("photoid")));
            r.albumId = text(t.value(QStringLiteral("photoset_id")));
            if (!r.albumId.isEmpty() && !isServiceId(r.albumId)) {
                LGLogInfo(QStringLiteral("TICKETS: Ticket %1 named an invalid album id").arg(r.ticketId));
                r.albumId.clear();
            }
            if (r.state == TicketResult::State::Complete && !isServiceId(r.photoId)) {
                LGLogInfo(QStringLiteral("TICKETS: Ticket %1 completed without a valid photo id").arg(r.ticketId));
                r.state = TicketResult::State::Failed;
                r.malformed = true;
                r.photoId.clear();
            }
            results->append(r);
        }
        return true;
    }

    bool findPhotoWithSamples(const ContentSample &whole, const ContentSample &jpeg, QString *photoId) override
    {
        photoId->clear();
        for (const ContentSample &sample : {whole, jpeg}) {
            if (sample.isNull())
                continue;
            LKLumoraPhotosDedupCheckDuplicate method;
            method.sample = sample.hex();
            const auto [response, err] = LumoraKit::sharedLumoraKit()->callSynchronously(method);
            if (err.isError()) {
                LGLogInfo(QStringLiteral("UPLOADER: Duplicate check failed: %1").arg(LGLog::redact(err.toString())));
                return false;
            }
            const QString id = text(response.value(QStringLiteral("duplicate")).toMap().value(QStringLiteral("photo_id")));
            if (!id.isEmpty() && id != QLatin1String("0")) {
                if (!isServiceId(id)) {
                    LGLogInfo(QStringLiteral("UPLOADER: Duplicate check named an invalid photo id"));
                    return false;
                }
                *photoId = id;
                return true;
            }
        }
        return true;
    }

    int prepareUser() override
    {
        const auto [response, err] = LumoraKit::sharedLumoraKit()->callSynchronously(LKLumoraPhotosDedupPrepareUser());
        if (err.isError())
            return -1;
        return text(response.value(QStringLiteral("dedup")).toMap().value(QStringLiteral("ready"))).toInt() == 1 ? 1 : 0;
    }

    bool findAlbum(const QString &title, QString *albumId) override
    {
        bool failed = false;
        *albumId = DataStoreLumoraData::albumIdForTitle(title, true, &failed);
        if (!albumId->isEmpty() && !isServiceId(*albumId))
            albumId->clear();
        return !failed;
    }

    double m_idleTimeout = 0;
};

double &idleTimeoutForTesting()
{
    static double seconds = 0;
    return seconds;
}

std::function<std::unique_ptr<UploadTransport>()> &factory()
{
    static std::function<std::unique_ptr<UploadTransport>()> f;
    return f;
}

} // namespace

bool isServiceId(const QString &id)
{
    if (id.isEmpty() || id.size() > 18)
        return false;
    for (const QChar c : id)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return id.toLongLong() > 0;
}

double clampedServiceWait(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 1)
        return std::isnan(seconds) || seconds < 1 ? 1.0 : 3600.0;
    return std::min(seconds, 3600.0);
}

std::unique_ptr<UploadTransport> UploadTransports::createServiceTransport()
{
    auto t = std::make_unique<ServiceTransport>();
    t->m_idleTimeout = idleTimeoutForTesting();
    return t;
}

void UploadTransports::setUploadIdleTimeoutForTesting(double seconds)
{
    idleTimeoutForTesting() = seconds;
}

std::unique_ptr<UploadTransport> UploadTransports::create()
{
    if (factory())
        return factory()();
    return createServiceTransport();
}

void UploadTransports::setFactoryForTesting(std::function<std::unique_ptr<UploadTransport>()> f)
{
    factory() = std::move(f);
}
