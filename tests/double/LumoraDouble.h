#pragma once
// A local stand-in for the Lumora photo service: a real HTTP server on 127.0.0.1 that checks
// every OAuth 1.0 and api_sig signature and keeps consistent account state (accounts, photos,
// albums, checksum lists, upload tickets). Tests start it in-process on a free port, point the
// application at it (HOISTLY_SERVICE_URL) and read back what it saw. The wire formats it speaks
// are described in tests/double/README.md.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <memory>
#include <optional>
#include <utility>

// Credentials the double accepts out of the box. The application's test runs use them either
// directly or through the environment (HOISTLY_API_KEY / HOISTLY_API_SECRET, see exportEnvironment()).
namespace LumoraDoubleDefaults {
inline constexpr const char *apiKey = "5f1c0e2d9a7b4c3e8d6f0a1b2c3d4e5f";
inline constexpr const char *apiSecret = "9b8a7c6d5e4f3a2b";
inline constexpr const char *userId = "lumora-30571942";
inline constexpr const char *userName = "hoistlytester";
inline constexpr const char *userFullName = "Hoistly Tester";
// Uploads that are not finished processing are completed after this many ticket checks.
inline constexpr int ticketPollsToComplete = 2;
} // namespace LumoraDoubleDefaults

// Service error codes the double answers with (JSON "code", XML err code).
namespace LumoraDoubleCodes {
inline constexpr int NotFound = 1;            // photo, album or user not found
inline constexpr int GeneralUploadFailure = 3; // uploads: the service could not take this file
inline constexpr int UploadFormat = 5;        // file type not recognised
inline constexpr int AccountFull = 6;         // account over its upload limit
inline constexpr int InsufficientPerms = 99;  // call needs a signed-in user or more permission
inline constexpr int InvalidAuth = 98;        // unknown or revoked token
inline constexpr int InvalidSignature = 96;
inline constexpr int MissingSignature = 97;
inline constexpr int InvalidApiKey = 100;
inline constexpr int ServiceUnavailable = 105; // busy; upload replies add <wait>
inline constexpr int MethodNotFound = 112;
} // namespace LumoraDoubleCodes

class LumoraDouble
{
public:
    struct Account
    {
        QString userId;   // "nsid"
        QString userName;
        QString fullName;
        qint64 uploadLimitBytes = 0; // 0 = unlimited
    };

    struct Photo
    {
        QString id;
        QString ownerId;
        QString title;
        QString description;
        QString tags;
        QString dateTaken;      // "yyyy-MM-dd HH:mm:ss"
        qint64 datePosted = 0;  // seconds since 1970
        qint64 lastUpdate = 0;
        qint64 size = 0;
        QString md5;            // hex of the whole upload
        QString fileSample;     // 32 hex digits, content sample of the whole file ("" = none)
        QString jpegSample;     // 32 hex digits, content sample of the JPEG image data ("" = none)
        bool isPublic = false;
        bool replaced = false;  // set by /services/replace/
        QByteArray content;     // kept for small uploads (up to 8 MB) so tests can compare
    };

    struct Album
    {
        QString id;
        QString ownerId;
        QString title;
        QString description;
        QString primaryPhotoId;
        QStringList photoIds;
    };

    struct Ticket
    {
        QString id;
        QString photoId;
        QString albumId; // album the photo went into ("" = none)
        int polls = 0;
        bool complete = false;
        bool failed = false;
    };

    struct Upload
    {
        QString path;                 // "/services/upload/" or "/services/replace/"
        QMap<QString, QString> args;  // every non-file form field, oauth_* included
        QString fileName;             // of the "photo" part
        QString contentType;          // of the "photo" part
        qint64 size = 0;
        QString md5;
        QString result;               // "photoid", "ticketid", "duplicate", "error <code>"
    };

    struct Request
    {
        QString method;      // HTTP method
        QString path;        // path only
        QString target;      // path with query as received
        QString restMethod;  // "method" argument of a REST call, else ""
        int status = 0;      // HTTP status sent (0 while hanging)
        bool signatureOk = false; // an OAuth or api_sig signature was present and valid
    };

    enum class Fault {
        Busy,           // value: seconds to wait. Uploads: err 105 + <wait>; REST: code 105
        AccountFull,    // uploads: err 6
    FormatRefused,  // uploads: err 5, the file type not recognised
        HttpError,      // value: HTTP status (default 503) with an empty body
        Slow,           // value: milliseconds to wait before the reply
        Hang,           // the reply never comes until the fault is cleared or the double stops
        MalformedJson,  // REST and OAuth replies are cut in half
        MalformedXml,   // upload replies are cut in half
        DuplicateReply, // uploads answer with duplicate_photo_id of the newest photo (or value's id; none for -1)
        // The request is carried out in full (an upload becomes a photo or a ticket); then its
        // reply is lost on the way back:
        CutReply,       // half of the reply's body, then the connection closes
        ResetReply,     // the status line and headers, then the connection closes
        HangReply,      // the reply never comes until the fault is cleared or the double stops
    };

    LumoraDouble();
    ~LumoraDouble();
    LumoraDouble(const LumoraDouble &) = delete;
    LumoraDouble &operator=(const LumoraDouble &) = delete;

    // Listens on 127.0.0.1 (port 0 = any free port) on a thread of its own.
    // With a state folder, state is loaded from and saved to "state.json" there.
    bool start(int port = 0, const QString &stateDir = {});
    void stop();
    bool isRunning() const;
    int port() const;
    QString baseUrl() const; // "http://127.0.0.1:<port>"
    // Sets HOISTLY_SERVICE_URL, HOISTLY_API_KEY and HOISTLY_API_SECRET for this process.
    void exportEnvironment() const;

    // --- seeding ---
    void setApiCredentials(const QString &key, const QString &secret);
    QString apiKey() const;
    QString apiSecret() const;
    void addAccount(const Account &account);
    QList<Account> accounts() const;
    // The account that the authorisation page signs in as (default: LumoraDoubleDefaults::userId).
    void setWebUser(const QString &userId);
    // Issues an access token for an account without the OAuth exchange: {token, secret}.
    std::pair<QString, QString> issueAccessToken(const QString &userId, const QString &perms = QStringLiteral("delete"));
    void revokeAccessToken(const QString &token);
    // Adds a photo (id assigned when empty; owner defaults to the default account). Returns its id.
    QString addPhoto(Photo photo);
    QString addAlbum(Album album);
    void addPhotoToAlbum(const QString &photoId, const QString &albumId);
    void setTicketPollsToComplete(int polls);
    // The pending-ticket limit that upload replies announce in <max_tickets> (default 10).
    void setMaxTickets(int maxTickets);
    // Ticket checks of the photo's upload answer "failed" instead of completing.
    void setTicketsFail(bool fail);
    // While held, tickets stay pending however often they are checked; released, they complete
    // at their next check.
    void setTicketsHeld(bool held);
    // A photo just uploaded is seen by duplicate checks (and its upload's checksums are listed)
    // only this long after its upload: the service's own processing time (default 0).
    void setRegistrationDelay(int ms);
    // The next `times` replies that carry `field` carry `value` in its place (-1: until cleared
    // by clearFaults). Fields: "photoid" (upload replies and completed tickets), "ticketid",
    // "photoset_id" (completed tickets), "wait" (busy upload replies).
    void setOddReply(const QString &field, const QString &value, int times = -1);
    // Deletes an album of the account (its photos stay). False when there is none with this id.
    bool deleteAlbum(const QString &albumId);
    // Adds many photos at once (ids assigned when empty, owner defaulting as in addPhoto).
    QStringList addPhotos(QList<Photo> photos);
    // Adds `count` photos of the default account with distinct random file and JPEG samples.
    void seedPhotos(int count);
    // lumora.photos.dedup.prepareUser answers "ready" at its polls-th call (earlier calls: "not
    // ready"), and the checksum list answers "not ready" until then (default 0: ready at once).
    void setDedupPreparePolls(int polls);
    void setStorageUsed(const QString &userId, qint64 bytes); // adds to what the photos use
    // Redirect of the authorisation page's "deny" action (default: the oauth_callback with
    // oauth_problem=user_refused).
    void setDenyRedirect(const QUrl &url);
    // Content of a file served over GET at `path` (update manifest, update zip, ...).
    void setFile(const QString &path, const QByteArray &content,
                 const QString &contentType = QStringLiteral("application/octet-stream"));
    // The update manifest at "/hoistly/LumoraHoistly-Info.plist" and zip at "/hoistly/LumoraHoistly.app.zip".
    void setUpdateManifest(const QByteArray &plist);
    void setUpdateZip(const QByteArray &zip);
    // The same zip sent in pieces without announcing its length (as a server that streams it does).
    void setUpdateZipStreamed(const QByteArray &zip);
    // A zip of `bytes` filler bytes sent as fast as it is read, in pieces, without a length.
    void setUpdateZipFiller(qint64 bytes);

    // --- faults ---
    // scope: "" (everything the fault applies to), "rest", "upload", "oauth", "web", a REST
    // method name, or one OAuth step ("request_token", "access_token"). times: how many replies it affects (-1 = until cleared).
    void setFault(Fault fault, int value = 0, const QString &scope = {}, int times = -1);
    void clearFault(Fault fault);
    // Uploads of a file of this name are answered with this service error (0: no more), until
    // cleared here or by clearFaults.
    void refuseUploadsOf(const QString &fileName, int code = LumoraDoubleCodes::GeneralUploadFailure);
    void clearFaults();

    // --- inspection ---
    QList<Photo> photos(const QString &ownerId = {}) const; // all owners when empty
    std::optional<Photo> photo(const QString &id) const;
    QList<Album> albums(const QString &ownerId = {}) const;
    std::optional<Album> album(const QString &id) const;
    QList<Ticket> tickets() const;
    QList<Upload> uploads() const;
    QList<Request> requests() const;
    QStringList requestedPaths() const;     // path of every request, in order
    QStringList restMethodsCalled() const;  // "method" of every REST call that was answered
    QList<QVariantMap> beaconEvents() const; // query arguments of every "/p" request
    int rejectedSignatures() const;
    // Photos of the account still processing (uploaded, their ticket not complete).
    QList<Photo> pendingPhotos() const;
    // Requests held right now by a Hang or HangReply fault.
    int hangingRequests() const;
    int liveAccessTokens(const QString &userId = {}) const;
    void resetRecords(); // forgets requests, uploads and beacon events (not the account state)

    // Pure helpers shared by the double's own tests.
    static QString contentSampleHex(const QByteArray &region);         // "" below 2,560 bytes
    static QByteArray jpegImageData(const QByteArray &file);           // empty when not a JPEG
    static QByteArray oauthBaseString(const QString &httpMethod, const QString &url,
                                      const QList<std::pair<QString, QString>> &params);
    static QString oauthSignature(const QByteArray &baseString, const QString &consumerSecret,
                                  const QString &tokenSecret);
    static QString apiSig(const QString &secret, const QList<std::pair<QString, QString>> &params);

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// Their members are all implicitly shared handles and plain values: the double's lists grow by
// moving their blocks, not by copying every element one by one (with hundreds of thousands of
// photos held, the first completion after a seeding took some 50 ms of one request).
Q_DECLARE_TYPEINFO(LumoraDouble::Photo, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(LumoraDouble::Album, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(LumoraDouble::Ticket, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(LumoraDouble::Upload, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(LumoraDouble::Request, Q_RELOCATABLE_TYPE);
