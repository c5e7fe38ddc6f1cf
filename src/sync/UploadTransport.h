#pragma once
// What the upload loop needs from the photo service, as blocking calls made on the loop's own
// thread. The real transport goes through the shared service client (ServiceTransport.cpp);
// keeping the loop's needs this narrow keeps its bookkeeping readable.
#include <QHash>

#include "catalogue/ContentSample.h"

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

struct UploadRequest
{
    QString filePath;
    QString title;
    QString albumId;      // the folder's album on the service ("" when it has none yet)
    QString albumName;    // the album to put the photo in ("" for none)
    bool isVideo = false;
    qint64 size = 0;
    QString replacePhotoId; // the file's own photo, holding an older state of it ("" for a new photo)
    // When set, upload() calls it right before the first byte leaves and sends nothing when it
    // answers false (the reply is then Cancelled, with nothing sent).
    std::function<bool()> beforeSend;
};

struct UploadReply
{
    enum class Outcome {
        Photo,          // processed at once: photoId
        Ticket,         // processing asynchronously: ticketId
        Duplicate,      // the service already holds it (photoId when it said which)
        Busy,           // the service asks us to wait `wait` seconds
        AccountFull,
        BadFormat,      // the service cannot read the file
        Failed,         // network, HTTP or malformed reply
        Cancelled,
        AlbumMissing,   // the service has no album with the request's albumId any more
        PhotoMissing,   // a replacement's photo (or its album) is no longer on the service
    };
    Outcome outcome = Outcome::Failed;
    QString photoId;
    QString ticketId;
    QString albumId;      // the album the service put the photo in, when it said
    double wait = 0;
    int maxTickets = 0;   // the service's pending-ticket limit, 0 when not sent
    int errorCode = 0;
    QString errorMessage;
    // Cancelled only: every byte had left before the cut, so the service may hold the file.
    bool bodySent = false;
    // Failed only: the service may have taken the file although no usable answer came back
    // (the connection broke or timed out, the reply was cut or unreadable, a gateway error).
    bool ambiguous = false;
    // Failed only: the service answered this file's upload with an error of its own (not one
    // about the sign-in, the key or its load): the file, not the road, is at fault.
    bool fileRefused = false;
};

struct TicketResult
{
    enum class State { Pending, Complete, Failed };
    QString ticketId;
    State state = State::Pending;
    QString photoId;
    QString albumId;
    // Failed because the service's answer named no usable photo: the photo may exist after all.
    bool malformed = false;
};

class UploadTransport
{
public:
    virtual ~UploadTransport() = default;
    // Sends one file; `progress` gets (bytes sent, total); `cancel` set stops it.
    virtual UploadReply upload(const UploadRequest &request,
                               const std::function<void(qint64, qint64)> &progress,
                               const std::atomic_bool &cancel) = 0;
    // Polls processing tickets. False on a failed call (error filled).
    virtual bool checkTickets(const QStringList &ticketIds, QList<TicketResult> *results, QString *error) = 0;
    // The id of a photo of the account with these samples: "" when none; false on a failed call.
    virtual bool findPhotoWithSamples(const ContentSample &whole, const ContentSample &jpeg, QString *photoId) = 0;
    // The account's checksum preparation: 1 ready, 0 not yet, -1 the call failed.
    virtual int prepareUser() = 0;
    // The id of the account's album with this title: "" when none; false on a failed call.
    virtual bool findAlbum(const QString &title, QString *albumId) = 0;
};

// Photo, ticket and album ids are positive decimal integers; anything else in a reply is a fault
// of that reply ("abc" must never become photo 0).
bool isServiceId(const QString &id);
// A wait the service asked for, in seconds, made sane: at least 1 s, at most an hour.
double clampedServiceWait(double seconds);

namespace UploadTransports {
// The transport over the shared service client.
std::unique_ptr<UploadTransport> createServiceTransport();
// The transport the upload loop uses: the service transport unless tests installed a factory.
std::unique_ptr<UploadTransport> create();
void setFactoryForTesting(std::function<std::unique_ptr<UploadTransport>()> factory);
// How long an upload may wait for its reply without a byte moving (0: the operation's default).
void setUploadIdleTimeoutForTesting(double seconds);
} // namespace UploadTransports
