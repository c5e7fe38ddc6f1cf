#include "LumoraDouble.h"

#include <httplib.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryFile>
#include <QUrlQuery>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <pthread.h>

namespace {

using Params = QList<std::pair<QString, QString>>;
constexpr qint64 kKeepContentLimit = 8 * 1024 * 1024;
constexpr qint64 kJpegSampleLimit = 256 * 1024 * 1024;

QString qs(const std::string &s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

QString randomHex(int bytes)
{
    QByteArray b(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        b[i] = char(QRandomGenerator::global()->bounded(256));
    return QString::fromLatin1(b.toHex());
}

QString param(const Params &params, const QString &key)
{
    for (const auto &p : params)
        if (p.first == key)
            return p.second;
    return {};
}

bool hasParam(const Params &params, const QString &key)
{
    return std::any_of(params.begin(), params.end(), [&](const auto &p) { return p.first == key; });
}

QByteArray pe(const QString &s) { return QUrl::toPercentEncoding(s); }

QString formEncode(const Params &params)
{
    QStringList parts;
    for (const auto &p : params)
        parts << QString::fromLatin1(pe(p.first) + '=' + pe(p.second));
    return parts.join(QLatin1Char('&'));
}

QString htmlEscape(const QString &s) { return s.toHtmlEscaped(); }

// Parses `OAuth a="b", c="d"` into decoded pairs (realm is left out).
Params parseAuthorizationHeader(const QString &header)
{
    Params out;
    if (!header.startsWith(QLatin1String("OAuth "), Qt::CaseInsensitive))
        return out;
    const QString rest = header.mid(6);
    for (const QString &item : rest.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString t = item.trimmed();
        const int eq = t.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString k = QUrl::fromPercentEncoding(t.left(eq).trimmed().toUtf8());
        QString v = t.mid(eq + 1).trimmed();
        if (v.startsWith(QLatin1Char('"')) && v.endsWith(QLatin1Char('"')) && v.size() >= 2)
            v = v.mid(1, v.size() - 2);
        if (k == QLatin1String("realm"))
            continue;
        out << std::pair{k, QUrl::fromPercentEncoding(v.toUtf8())};
    }
    return out;
}

QJsonObject content(const QJsonValue &v) { return QJsonObject{{QStringLiteral("_content"), v}}; }

} // namespace

struct LumoraDouble::Impl
{
    LumoraDouble *q = nullptr;
    mutable std::mutex m;
    std::condition_variable cv;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;
    bool running = false;
    bool stopping = false;
    quint64 faultGeneration = 0;
    QString stateDir;

    QString apiKey = QString::fromLatin1(LumoraDoubleDefaults::apiKey);
    QString apiSecret = QString::fromLatin1(LumoraDoubleDefaults::apiSecret);
    QList<Account> accounts;
    QString webUser = QString::fromLatin1(LumoraDoubleDefaults::userId);
    struct Token { QString secret; QString userId; QString perms; };
    QMap<QString, Token> accessTokens;
    struct RequestToken { QString secret; QString callback; QString verifier; QString userId; QString perms; };
    QMap<QString, RequestToken> requestTokens;
    QList<Photo> photos;
    // Positions in `photos` by the checksum of the upload, so that the duplicate check costs the
    // same however many photos are held. A replaced photo leaves its old entry behind: every hit
    // is checked against the photo itself.
    QMultiHash<QString, qsizetype> photosByMd5;
    QMap<QString, Photo> pendingPhotos; // uploaded, waiting for their ticket to complete
    QList<Album> albums;
    QList<Ticket> tickets;
    QHash<QString, qsizetype> ticketIndex; // tickets are only ever added
    QList<Upload> uploads;
    QList<Request> requests;
    QList<QVariantMap> beacon;
    qint64 nextId = 52000000001;
    int ticketPolls = LumoraDoubleDefaults::ticketPollsToComplete;
    int maxTickets = 10;
    bool ticketsFail = false;
    bool ticketsHeld = false;
    QMap<QString, int> refusedFiles; // file name -> the error code its uploads are answered with
    int hanging = 0;
    int registrationDelayMs = 0;
    QMap<QString, qint64> uploadedAtMs;  // photo id -> when its upload arrived
    struct OddReply { QString value; int times; };
    QMap<QString, OddReply> oddReplies;
    // The account's checksum list, kept between pages until the photos change.
    quint64 photosGeneration = 0;
    quint64 checksumsGeneration = ~quint64(0);
    QString checksumsOwner;
    QJsonArray checksumsCache;
    int dedupPreparePolls = 0;
    QMap<QString, qint64> extraStorage;
    QUrl denyRedirect;
    struct FileEntry { QByteArray content; QString type; };
    QMap<QString, FileEntry> files;
    QSet<QString> streamedFiles; // served in pieces, without a length
    QMap<QString, qint64> fillerFiles; // served in pieces: this many filler bytes, without a length
    struct ActiveFault { Fault fault; int value; QString scope; int times; };
    QList<ActiveFault> faults;
    QSet<QString> nonces;
    int rejected = 0;
    QByteArray imageBytes;

    // ---------- helpers (call with the lock held) ----------
    QString newId() { return QString::number(nextId++); }

    const Account *account(const QString &id) const
    {
        for (const auto &a : accounts)
            if (a.userId == id)
                return &a;
        return nullptr;
    }
    void indexPhotoAt(qsizetype i)
    {
        if (!photos.at(i).md5.isEmpty())
            photosByMd5.insert(photos.at(i).md5, i);
    }
    // The account's first photo (in the order received) uploaded with this checksum.
    const Photo *photoWithMd5(const QString &ownerId, const QString &md5) const
    {
        qsizetype first = -1;
        for (auto it = photosByMd5.constFind(md5); it != photosByMd5.cend() && it.key() == md5; ++it) {
            const Photo &p = photos.at(*it);
            if (p.md5 == md5 && p.ownerId == ownerId && (first < 0 || *it < first))
                first = *it;
        }
        return first < 0 ? nullptr : &photos.at(first);
    }
    Photo *findPhoto(const QString &id)
    {
        for (auto &p : photos)
            if (p.id == id)
                return &p;
        return nullptr;
    }
    Album *findAlbum(const QString &id)
    {
        for (auto &a : albums)
            if (a.id == id)
                return &a;
        return nullptr;
    }
    qint64 storageUsed(const QString &userId) const
    {
        qint64 total = extraStorage.value(userId);
        for (const auto &p : photos)
            if (p.ownerId == userId)
                total += p.size;
        for (const auto &p : pendingPhotos)
            if (p.ownerId == userId)
                total += p.size;
        return total;
    }
    int photoCount(const QString &userId) const
    {
        return int(std::count_if(photos.begin(), photos.end(), [&](const Photo &p) { return p.ownerId == userId; }));
    }

    // Is a photo registered yet with the service's duplicate checks and checksum list.
    bool registered(const QString &photoId) const
    {
        if (registrationDelayMs <= 0)
            return true;
        const qint64 at = uploadedAtMs.value(photoId, 0);
        return at == 0 || QDateTime::currentMSecsSinceEpoch() - at >= registrationDelayMs;
    }

    QString oddOr(const QString &field, const QString &real)
    {
        auto it = oddReplies.find(field);
        if (it == oddReplies.end())
            return real;
        const QString value = it->value;
        if (it->times > 0 && --it->times == 0)
            oddReplies.erase(it);
        return value;
    }

    // Faults that lose a reply after the request was carried out. Call after the reply is set.
    void lostReplyFaults(std::unique_lock<std::mutex> &lock, const QString &area, const QString &restMethod,
                         httplib::Response &res)
    {
        if (takeFault(Fault::HangReply, area, restMethod)) {
            const quint64 gen = faultGeneration;
            ++hanging;
            cv.wait(lock, [&] { return stopping || faultGeneration != gen; });
            --hanging;
        }
        const bool cut = takeFault(Fault::CutReply, area, restMethod).has_value();
        const bool reset = !cut && takeFault(Fault::ResetReply, area, restMethod).has_value();
        if (!cut && !reset)
            return;
        const std::string body = res.body;
        const std::string type = res.get_header_value("Content-Type");
        res.body.clear();
        const size_t keep = cut ? body.size() / 2 : 0;
        // The provider gives up after `keep` bytes of the announced length: the server closes
        // the connection, and the client is left with a reply cut short.
        res.set_content_provider(body.size(), type.empty() ? std::string("text/plain") : type,
                                 [body, keep](size_t offset, size_t, httplib::DataSink &sink) {
                                     if (offset < keep)
                                         sink.write(body.data() + offset, keep - offset);
                                     return false;
                                 });
    }

    std::optional<ActiveFault> takeFault(Fault f, const QString &area, const QString &restMethod = {})
    {
        for (int i = 0; i < faults.size(); ++i) {
            auto &af = faults[i];
            if (af.fault != f)
                continue;
            if (!af.scope.isEmpty() && af.scope != area && af.scope != restMethod)
                continue;
            ActiveFault copy = af;
            if (af.times > 0 && --af.times == 0)
                faults.removeAt(i);
            return copy;
        }
        return std::nullopt;
    }

    // Faults applied before any reply. Returns true when the reply was produced here.
    bool preReplyFaults(std::unique_lock<std::mutex> &lock, const QString &area, const QString &restMethod,
                        httplib::Response &res)
    {
        if (takeFault(Fault::Hang, area, restMethod)) {
            const quint64 gen = faultGeneration;
            ++hanging;
            cv.wait(lock, [&] { return stopping || faultGeneration != gen; });
            --hanging;
            if (stopping) {
                res.status = 503;
                return true;
            }
        }
        if (auto slow = takeFault(Fault::Slow, area, restMethod)) {
            const quint64 gen = faultGeneration;
            cv.wait_for(lock, std::chrono::milliseconds(std::max(0, slow->value)),
                        [&] { return stopping || faultGeneration != gen; });
        }
        if (auto err = takeFault(Fault::HttpError, area, restMethod)) {
            res.status = err->value > 0 ? err->value : 503;
            res.set_content("", "text/plain");
            return true;
        }
        return false;
    }

    void record(const httplib::Request &req, const QString &restMethod, int status, bool sigOk)
    {
        Request r;
        r.method = qs(req.method);
        r.path = qs(req.path);
        r.target = qs(req.target);
        r.restMethod = restMethod;
        r.status = status;
        r.signatureOk = sigOk;
        requests << r;
    }

    Params collectParams(const httplib::Request &req, const Params &extra = {}) const
    {
        Params params;
        for (const auto &[k, v] : req.params)
            params << std::pair{qs(k), qs(v)};
        params << parseAuthorizationHeader(qs(req.get_header_value("Authorization")));
        params << extra;
        return params;
    }

    QString signedUrl(const httplib::Request &req) const
    {
        QString host = qs(req.get_header_value("Host")).toLower();
        if (host.isEmpty())
            host = QStringLiteral("127.0.0.1:%1").arg(port);
        if (host.endsWith(QLatin1String(":80")))
            host.chop(3);
        return QStringLiteral("http://") + host + qs(req.path);
    }

    enum class TokenKind { None, Request, Access };
    struct Auth
    {
        bool ok = false;
        bool oauth = false;
        int code = 0;
        QString message;
        QString token;
        QString userId;
        QString perms;
    };

    Auth verify(const httplib::Request &req, const Params &params, TokenKind kind)
    {
        Auth a;
        const bool isOAuth = hasParam(params, QStringLiteral("oauth_signature"))
            || hasParam(params, QStringLiteral("oauth_consumer_key"));
        if (isOAuth) {
            a.oauth = true;
            if (param(params, QStringLiteral("oauth_consumer_key")) != apiKey) {
                a.code = LumoraDoubleCodes::InvalidApiKey;
                a.message = QStringLiteral("Invalid API Key (Key not found)");
                return a;
            }
            const QString sig = param(params, QStringLiteral("oauth_signature"));
            if (sig.isEmpty() || param(params, QStringLiteral("oauth_signature_method")) != QLatin1String("HMAC-SHA1")
                || param(params, QStringLiteral("oauth_nonce")).isEmpty()
                || param(params, QStringLiteral("oauth_timestamp")).isEmpty()) {
                a.code = LumoraDoubleCodes::MissingSignature;
                a.message = QStringLiteral("Missing signature");
                ++rejected;
                return a;
            }
            QString tokenSecret;
            const QString token = param(params, QStringLiteral("oauth_token"));
            if (kind == TokenKind::Request) {
                if (!requestTokens.contains(token)) {
                    a.code = LumoraDoubleCodes::InvalidAuth;
                    a.message = QStringLiteral("Invalid request token");
                    return a;
                }
                tokenSecret = requestTokens.value(token).secret;
            } else if (kind == TokenKind::Access || !token.isEmpty()) {
                if (!accessTokens.contains(token)) {
                    a.code = LumoraDoubleCodes::InvalidAuth;
                    a.message = QStringLiteral("Invalid auth token");
                    return a;
                }
                tokenSecret = accessTokens.value(token).secret;
                a.userId = accessTokens.value(token).userId;
                a.perms = accessTokens.value(token).perms;
            }
            const QByteArray base = LumoraDouble::oauthBaseString(qs(req.method), signedUrl(req), params);
            if (LumoraDouble::oauthSignature(base, apiSecret, tokenSecret) != sig) {
                a.code = LumoraDoubleCodes::InvalidSignature;
                a.message = QStringLiteral("Invalid signature");
                ++rejected;
                return a;
            }
            const QString nonce = param(params, QStringLiteral("oauth_timestamp")) + QLatin1Char(':')
                + param(params, QStringLiteral("oauth_nonce"));
            if (nonces.contains(nonce)) {
                a.code = LumoraDoubleCodes::InvalidSignature;
                a.message = QStringLiteral("Nonce already used");
                ++rejected;
                return a;
            }
            nonces.insert(nonce);
            a.token = token;
            a.ok = true;
            return a;
        }
        if (kind != TokenKind::None) {
            a.code = LumoraDoubleCodes::MissingSignature;
            a.message = QStringLiteral("Missing signature");
            ++rejected;
            return a;
        }
        if (param(params, QStringLiteral("api_key")) != apiKey) {
            a.code = LumoraDoubleCodes::InvalidApiKey;
            a.message = QStringLiteral("Invalid API Key (Key not found)");
            return a;
        }
        const QString apiSig = param(params, QStringLiteral("api_sig"));
        if (apiSig.isEmpty()) {
            a.code = LumoraDoubleCodes::MissingSignature;
            a.message = QStringLiteral("Missing signature");
            ++rejected;
            return a;
        }
        if (LumoraDouble::apiSig(apiSecret, params).compare(apiSig, Qt::CaseInsensitive) != 0) {
            a.code = LumoraDoubleCodes::InvalidSignature;
            a.message = QStringLiteral("Invalid signature");
            ++rejected;
            return a;
        }
        a.ok = true;
        return a;
    }

    QJsonObject photosetJson(const Album &al) const
    {
        return QJsonObject{{QStringLiteral("id"), al.id},
                           {QStringLiteral("owner"), al.ownerId},
                           {QStringLiteral("primary"), al.primaryPhotoId},
                           {QStringLiteral("photos"), int(al.photoIds.size())},
                           {QStringLiteral("title"), content(al.title)},
                           {QStringLiteral("description"), content(al.description)}};
    }
    QJsonObject photoJson(const Photo &p) const
    {
        return QJsonObject{{QStringLiteral("id"), p.id},
                           {QStringLiteral("owner"), p.ownerId},
                           {QStringLiteral("title"), p.title},
                           {QStringLiteral("ispublic"), p.isPublic ? 1 : 0},
                           {QStringLiteral("datetaken"), p.dateTaken},
                           {QStringLiteral("dateupload"), QString::number(p.datePosted)},
                           {QStringLiteral("lastupdate"), QString::number(p.lastUpdate)}};
    }

    struct Page { int page; int perPage; int pages; int first; int last; };
    static Page paginate(const Params &args, int total, int defaultPerPage)
    {
        Page p;
        p.perPage = param(args, QStringLiteral("per_page")).toInt();
        if (p.perPage <= 0)
            p.perPage = defaultPerPage;
        p.page = std::max(1, param(args, QStringLiteral("page")).toInt());
        p.pages = std::max(1, (total + p.perPage - 1) / p.perPage);
        p.first = std::min(total, (p.page - 1) * p.perPage);
        p.last = std::min(total, p.first + p.perPage);
        return p;
    }

    static QJsonObject fail(int code, const QString &message)
    {
        return QJsonObject{{QStringLiteral("stat"), QStringLiteral("fail")},
                           {QStringLiteral("code"), code},
                           {QStringLiteral("message"), message}};
    }

    bool completeTicketLocked(Ticket &t)
    {
        if (t.complete || t.failed)
            return false;
        if (ticketsHeld)
            return false;
        if (ticketsFail) {
            t.failed = true;
            pendingPhotos.remove(t.photoId);
            return true;
        }
        t.complete = true;
        ++photosGeneration;
        if (pendingPhotos.contains(t.photoId)) {
            Photo p = pendingPhotos.take(t.photoId);
            // Only a replacement can be in the list already: a fresh id is not looked for among
            // every photo, which would make each completion cost as much as the account is large.
            if (Photo *existing = p.replaced ? findPhoto(p.id) : nullptr) {
                *existing = p; // replace
                indexPhotoAt(existing - photos.constData());
            } else {
                photos << p;
                indexPhotoAt(photos.size() - 1);
            }
            if (Album *al = findAlbum(t.albumId)) {
                if (!al->photoIds.contains(p.id))
                    al->photoIds << p.id;
                if (al->primaryPhotoId.isEmpty())
                    al->primaryPhotoId = p.id;
            }
        }
        return true;
    }

    QJsonObject rest(const QString &method, const Params &args, const Auth &auth, const QString &base);
    void handleRest(const httplib::Request &req, httplib::Response &res);
    void handleOAuth(const httplib::Request &req, httplib::Response &res, const QString &step);
    void handleAuthorizePage(const httplib::Request &req, httplib::Response &res);
    void handleAuthorizeAction(const httplib::Request &req, httplib::Response &res);
    void handleUpload(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader,
                      bool replace);
    void handleGet(const httplib::Request &req, httplib::Response &res);
    void saveState();
    void loadState();
    QByteArray image();
};

// ---------------------------------------------------------------------------------------------
// REST

QJsonObject LumoraDouble::Impl::rest(const QString &method, const Params &args, const Auth &auth, const QString &base)
{
    using namespace LumoraDoubleCodes;
    const bool signedIn = !auth.userId.isEmpty();
    const QString me = auth.userId;
    const bool canWrite = auth.perms == QLatin1String("write") || auth.perms == QLatin1String("delete");
    auto needLogin = [&]() { return fail(InsufficientPerms, QStringLiteral("Insufficient permissions. Method requires read privileges; none granted.")); };
    auto ok = [](QJsonObject o) { o.insert(QStringLiteral("stat"), QStringLiteral("ok")); return o; };

    if (method == QLatin1String("lumora.auth.oauth.checkToken")) {
        if (!signedIn)
            return fail(InvalidAuth, QStringLiteral("Invalid token"));
        const Account *a = account(me);
        return ok({{QStringLiteral("oauth"),
                    QJsonObject{{QStringLiteral("token"), content(auth.token)},
                                {QStringLiteral("perms"), content(auth.perms)},
                                {QStringLiteral("user"),
                                 QJsonObject{{QStringLiteral("nsid"), me},
                                             {QStringLiteral("username"), a ? a->userName : QString()},
                                             {QStringLiteral("fullname"), a ? a->fullName : QString()}}}}}});
    }
    if (method == QLatin1String("lumora.people.getInfo")) {
        QString uid = param(args, QStringLiteral("user_id"));
        if (uid.isEmpty())
            uid = me;
        const Account *a = account(uid);
        if (!a)
            return fail(NotFound, QStringLiteral("User not found"));
        QJsonObject person{{QStringLiteral("id"), a->userId},
                           {QStringLiteral("nsid"), a->userId},
                           {QStringLiteral("username"), content(a->userName)},
                           {QStringLiteral("realname"), content(a->fullName)},
                           {QStringLiteral("iconurl"), content(base + QStringLiteral("/buddyicons/") + a->userId + QStringLiteral(".jpg"))},
                           {QStringLiteral("coverurl"), content(base + QStringLiteral("/coverphotos/") + a->userId + QStringLiteral(".jpg"))},
                           {QStringLiteral("photosurl"), content(base + QStringLiteral("/photos/") + a->userId + QLatin1Char('/'))}};
        if (uid == me) {
            person.insert(QStringLiteral("photos"),
                          QJsonObject{{QStringLiteral("count"), content(photoCount(uid))},
                                      {QStringLiteral("bytes"), content(QString::number(storageUsed(uid)))}});
        }
        return ok({{QStringLiteral("person"), person}});
    }
    if (!signedIn)
        return needLogin();

    if (method == QLatin1String("lumora.photos.dedup.prepareUser")) {
        if (dedupPreparePolls > 0)
            --dedupPreparePolls;
        return ok({{QStringLiteral("dedup"), QJsonObject{{QStringLiteral("ready"), dedupPreparePolls == 0 ? 1 : 0}}}});
    }
    if (method == QLatin1String("lumora.photos.dedup.getChecksums")) {
        if (dedupPreparePolls > 0)
            return ok({{QStringLiteral("checksums"), QJsonObject{{QStringLiteral("ready"), 0}}}});
        // Built once per change of the photos, not for every page: a large account is listed
        // in many pages, and the benchmarks measure the client, not the double.
        if (checksumsGeneration != photosGeneration || checksumsOwner != me || registrationDelayMs > 0) {
            QJsonArray built;
            for (const auto &p : photos) {
                if (p.ownerId != me || !registered(p.id))
                    continue;
                if (!p.fileSample.isEmpty())
                    built << QJsonObject{{QStringLiteral("photo_id"), p.id}, {QStringLiteral("sample"), p.fileSample}, {QStringLiteral("type"), QStringLiteral("file")}};
                if (!p.jpegSample.isEmpty())
                    built << QJsonObject{{QStringLiteral("photo_id"), p.id}, {QStringLiteral("sample"), p.jpegSample}, {QStringLiteral("type"), QStringLiteral("jpeg")}};
            }
            checksumsCache = built;
            checksumsOwner = me;
            checksumsGeneration = photosGeneration;
        }
        const QJsonArray &all = checksumsCache;
        const Page pg = paginate(args, int(all.size()), 10000);
        QJsonArray slice;
        for (int i = pg.first; i < pg.last; ++i)
            slice << all.at(i);
        return ok({{QStringLiteral("checksums"),
                    QJsonObject{{QStringLiteral("ready"), 1}, {QStringLiteral("page"), pg.page}, {QStringLiteral("pages"), pg.pages},
                                {QStringLiteral("perpage"), pg.perPage}, {QStringLiteral("total"), int(all.size())},
                                {QStringLiteral("checksum"), slice}}}});
    }
    if (method == QLatin1String("lumora.photos.dedup.checkDuplicate")) {
        const QString sample = param(args, QStringLiteral("sample")).toLower();
        QString found;
        for (const auto &p : photos)
            if (p.ownerId == me && !sample.isEmpty() && (p.fileSample == sample || p.jpegSample == sample))
                found = p.id;
        // A photo still processing is already the account's: the service answers with its id.
        if (found.isEmpty())
            for (const auto &p : pendingPhotos)
                if (p.ownerId == me && !sample.isEmpty() && (p.fileSample == sample || p.jpegSample == sample) && registered(p.id))
                    found = p.id;
        return ok({{QStringLiteral("duplicate"), QJsonObject{{QStringLiteral("photo_id"), found}}}});
    }
    if (method == QLatin1String("lumora.photosets.find")) {
        const QString title = param(args, QStringLiteral("title"));
        QJsonArray list;
        for (const auto &al : albums)
            if (al.ownerId == me && al.title.compare(title, Qt::CaseInsensitive) == 0)
                list << photosetJson(al);
        return ok({{QStringLiteral("photosets"), QJsonObject{{QStringLiteral("photoset"), list}}}});
    }
    if (method == QLatin1String("lumora.photosets.getList")) {
        QList<Album> mine;
        for (const auto &al : albums)
            if (al.ownerId == me)
                mine << al;
        const Page pg = paginate(args, int(mine.size()), 500);
        QJsonArray list;
        for (int i = pg.first; i < pg.last; ++i)
            list << photosetJson(mine.at(i));
        return ok({{QStringLiteral("photosets"),
                    QJsonObject{{QStringLiteral("page"), pg.page}, {QStringLiteral("pages"), pg.pages}, {QStringLiteral("perpage"), pg.perPage},
                                {QStringLiteral("total"), int(mine.size())}, {QStringLiteral("photoset"), list}}}});
    }
    if (method.startsWith(QLatin1String("lumora.photosets."))) {
        Album *al = findAlbum(param(args, QStringLiteral("photoset_id")));
        if (!al || al->ownerId != me)
            return fail(NotFound, QStringLiteral("Photoset not found"));
        if (method == QLatin1String("lumora.photosets.getInfo"))
            return ok({{QStringLiteral("photoset"), photosetJson(*al)}});
        if (method == QLatin1String("lumora.photosets.getPhotos")) {
            const Page pg = paginate(args, int(al->photoIds.size()), 500);
            QJsonArray list;
            for (int i = pg.first; i < pg.last; ++i)
                if (const Photo *p = findPhoto(al->photoIds.at(i)))
                    list << photoJson(*p);
            return ok({{QStringLiteral("photoset"),
                        QJsonObject{{QStringLiteral("id"), al->id}, {QStringLiteral("owner"), al->ownerId}, {QStringLiteral("title"), al->title},
                                    {QStringLiteral("page"), pg.page}, {QStringLiteral("pages"), pg.pages}, {QStringLiteral("perpage"), pg.perPage},
                                    {QStringLiteral("total"), int(al->photoIds.size())}, {QStringLiteral("photo"), list}}}});
        }
        if (method == QLatin1String("lumora.photosets.editMeta")) {
            if (!canWrite)
                return fail(InsufficientPerms, QStringLiteral("Insufficient permissions. Method requires write privileges."));
            if (!hasParam(args, QStringLiteral("title")) || param(args, QStringLiteral("title")).isEmpty())
                return fail(2, QStringLiteral("No title specified"));
            al->title = param(args, QStringLiteral("title"));
            if (hasParam(args, QStringLiteral("description")))
                al->description = param(args, QStringLiteral("description"));
            return ok({});
        }
        return fail(MethodNotFound, QStringLiteral("Method \"%1\" not found").arg(method));
    }
    if (method == QLatin1String("lumora.photos.recentlyUpdated")) {
        const qint64 minDate = param(args, QStringLiteral("min_date")).toLongLong();
        QList<Photo> list;
        for (const auto &p : photos)
            if (p.ownerId == me && p.lastUpdate >= minDate)
                list << p;
        std::stable_sort(list.begin(), list.end(), [](const Photo &a, const Photo &b) { return a.lastUpdate > b.lastUpdate; });
        const Page pg = paginate(args, int(list.size()), 100);
        QJsonArray arr;
        for (int i = pg.first; i < pg.last; ++i)
            arr << photoJson(list.at(i));
        return ok({{QStringLiteral("photos"),
                    QJsonObject{{QStringLiteral("page"), pg.page}, {QStringLiteral("pages"), pg.pages}, {QStringLiteral("perpage"), pg.perPage},
                                {QStringLiteral("total"), int(list.size())}, {QStringLiteral("photo"), arr}}}});
    }
    if (method == QLatin1String("lumora.photos.getSizes")) {
        const Photo *p = findPhoto(param(args, QStringLiteral("photo_id")));
        if (!p || p->ownerId != me)
            return fail(NotFound, QStringLiteral("Photo not found"));
        QJsonArray sizes;
        const struct { const char *label; const char *suffix; int edge; } table[] = {
            {"Square", "s", 75}, {"Thumbnail", "t", 100}, {"Small 320", "n", 320}, {"Medium", "m", 500}, {"Original", "o", 0}};
        for (const auto &t : table) {
            sizes << QJsonObject{{QStringLiteral("label"), QString::fromLatin1(t.label)},
                                 {QStringLiteral("width"), t.edge ? t.edge : 8},
                                 {QStringLiteral("height"), t.edge ? t.edge : 8},
                                 {QStringLiteral("source"), base + QStringLiteral("/img/") + p->id + QLatin1Char('_') + QLatin1String(t.suffix) + QStringLiteral(".jpg")}};
        }
        return ok({{QStringLiteral("sizes"), QJsonObject{{QStringLiteral("size"), sizes}}}});
    }
    if (method == QLatin1String("lumora.photos.setDates")) {
        Photo *p = findPhoto(param(args, QStringLiteral("photo_id")));
        if (!p || p->ownerId != me)
            return fail(NotFound, QStringLiteral("Photo not found"));
        if (!canWrite)
            return fail(InsufficientPerms, QStringLiteral("Insufficient permissions. Method requires write privileges."));
        if (hasParam(args, QStringLiteral("date_taken")))
            p->dateTaken = param(args, QStringLiteral("date_taken"));
        if (hasParam(args, QStringLiteral("date_posted")))
            p->datePosted = param(args, QStringLiteral("date_posted")).toLongLong();
        p->lastUpdate = QDateTime::currentSecsSinceEpoch();
        return ok({});
    }
    if (method == QLatin1String("lumora.photos.upload.checkTickets")) {
        QJsonArray list;
        for (const QString &id : param(args, QStringLiteral("tickets")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString tid = id.trimmed();
            const qsizetype at = ticketIndex.value(tid, -1);
            if (at < 0) {
                list << QJsonObject{{QStringLiteral("id"), tid}, {QStringLiteral("invalid"), 1}};
                continue;
            }
            Ticket &t = tickets[at];
            ++t.polls;
            if (t.polls >= ticketPolls)
                completeTicketLocked(t);
            QJsonObject o{{QStringLiteral("id"), t.id}, {QStringLiteral("complete"), t.complete ? 1 : (t.failed ? 2 : 0)}};
            if (t.complete) {
                o.insert(QStringLiteral("photoid"), oddOr(QStringLiteral("photoid"), t.photoId));
                o.insert(QStringLiteral("imported"), QString::number(QDateTime::currentSecsSinceEpoch()));
                const QString albumId = oddOr(QStringLiteral("photoset_id"), t.albumId);
                if (!albumId.isEmpty())
                    o.insert(QStringLiteral("photoset_id"), albumId);
            }
            list << o;
        }
        return ok({{QStringLiteral("uploader"), QJsonObject{{QStringLiteral("ticket"), list}}}});
    }
    return fail(MethodNotFound, QStringLiteral("Method \"%1\" not found").arg(method));
}

void LumoraDouble::Impl::handleRest(const httplib::Request &req, httplib::Response &res)
{
    std::unique_lock lock(m);
    const Params params = collectParams(req);
    const QString method = param(params, QStringLiteral("method"));
    if (preReplyFaults(lock, QStringLiteral("rest"), method, res)) {
        record(req, method, res.status, false);
        return;
    }
    const Auth auth = verify(req, params, TokenKind::None);
    QJsonObject reply;
    if (!auth.ok)
        reply = fail(auth.code, auth.message);
    else if (auto busy = takeFault(Fault::Busy, QStringLiteral("rest"), method))
        reply = fail(LumoraDoubleCodes::ServiceUnavailable, QStringLiteral("Service currently unavailable"));
    else
        reply = rest(method, params, auth, signedUrl(req).section(QLatin1Char('/'), 0, 2));
    QByteArray body = QJsonDocument(reply).toJson(QJsonDocument::Compact);
    if (takeFault(Fault::MalformedJson, QStringLiteral("rest"), method))
        body = body.left(body.size() / 2);
    res.status = 200;
    res.set_content(body.toStdString(), "application/json");
    record(req, method, 200, auth.ok);
    saveState();
    lostReplyFaults(lock, QStringLiteral("rest"), method, res);
}

// ---------------------------------------------------------------------------------------------
// OAuth

void LumoraDouble::Impl::handleOAuth(const httplib::Request &req, httplib::Response &res, const QString &step)
{
    std::unique_lock lock(m);
    if (preReplyFaults(lock, QStringLiteral("oauth"), step, res)) {
        record(req, {}, res.status, false);
        return;
    }
    const Params params = collectParams(req);
    const TokenKind kind = step == QLatin1String("access_token") ? TokenKind::Request : TokenKind::None;
    Auth auth;
    if (!hasParam(params, QStringLiteral("oauth_consumer_key"))) {
        auth.code = LumoraDoubleCodes::MissingSignature;
        ++rejected;
    } else {
        auth = verify(req, params, kind);
    }
    auto reply = [&](int status, const QString &body) {
        QByteArray b = body.toUtf8();
        if (takeFault(Fault::MalformedJson, QStringLiteral("oauth")))
            b = b.left(b.size() / 2);
        res.status = status;
        res.set_content(b.toStdString(), "application/x-www-form-urlencoded");
        record(req, {}, status, auth.ok);
        saveState();
    };
    if (!auth.ok) {
        reply(401, QStringLiteral("oauth_problem=%1").arg(auth.code == LumoraDoubleCodes::InvalidSignature
                                                               ? QStringLiteral("signature_invalid")
                                                               : auth.code == LumoraDoubleCodes::InvalidAuth
                                                                   ? QStringLiteral("token_rejected")
                                                                   : QStringLiteral("parameter_absent")));
        return;
    }
    if (step == QLatin1String("request_token")) {
        const QString callback = param(params, QStringLiteral("oauth_callback"));
        if (callback.isEmpty()) {
            reply(400, QStringLiteral("oauth_problem=parameter_absent&oauth_parameters_absent=oauth_callback"));
            return;
        }
        const QString token = randomHex(16);
        RequestToken rt;
        rt.secret = randomHex(8);
        rt.callback = callback;
        requestTokens.insert(token, rt);
        reply(200, formEncode({{QStringLiteral("oauth_callback_confirmed"), QStringLiteral("true")},
                               {QStringLiteral("oauth_token"), token},
                               {QStringLiteral("oauth_token_secret"), rt.secret}}));
        return;
    }
    // access_token: the request token must have been approved and the verifier must match.
    const QString token = param(params, QStringLiteral("oauth_token"));
    const RequestToken rt = requestTokens.value(token);
    if (rt.userId.isEmpty() || rt.verifier.isEmpty() || param(params, QStringLiteral("oauth_verifier")) != rt.verifier) {
        reply(401, QStringLiteral("oauth_problem=token_rejected"));
        return;
    }
    requestTokens.remove(token);
    const Account *a = account(rt.userId);
    const QString access = randomHex(16);
    Token t{randomHex(8), rt.userId, rt.perms.isEmpty() ? QStringLiteral("read") : rt.perms};
    accessTokens.insert(access, t);
    reply(200, formEncode({{QStringLiteral("fullname"), a ? a->fullName : QString()},
                           {QStringLiteral("oauth_token"), access},
                           {QStringLiteral("oauth_token_secret"), t.secret},
                           {QStringLiteral("user_nsid"), rt.userId},
                           {QStringLiteral("username"), a ? a->userName : QString()}}));
}

void LumoraDouble::Impl::handleAuthorizePage(const httplib::Request &req, httplib::Response &res)
{
    std::unique_lock lock(m);
    if (preReplyFaults(lock, QStringLiteral("web"), {}, res)) {
        record(req, {}, res.status, false);
        return;
    }
    const QString token = qs(req.get_param_value("oauth_token"));
    QString perms = qs(req.get_param_value("perms"));
    if (perms.isEmpty())
        perms = QStringLiteral("read");
    if (!requestTokens.contains(token)) {
        res.status = 400;
        res.set_content("<html><head><title>Lumora: invalid request</title></head><body><h1>Oops! This request token is not valid.</h1></body></html>",
                        "text/html; charset=utf-8");
        record(req, {}, 400, false);
        return;
    }
    const Account *a = account(webUser);
    const QString name = a ? a->userName : webUser;
    const QString form = QStringLiteral(
        "<form id=\"%1\" method=\"post\" action=\"/services/oauth/authorize\">"
        "<input type=\"hidden\" name=\"oauth_token\" value=\"%2\"/>"
        "<input type=\"hidden\" name=\"perms\" value=\"%3\"/>"
        "<input type=\"hidden\" name=\"action\" value=\"%1\"/>"
        "<button type=\"submit\" id=\"%1-button\">%4</button></form>");
    const QString html = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Lumora: Authorize Hoistly</title></head><body>"
                                        "<h1>Hoistly would like to access your Lumora account</h1>"
                                        "<p>Signed in as <b id=\"user\">%1</b>. Permission requested: <b id=\"perms\">%2</b>.</p>%3%4</body></html>")
                             .arg(htmlEscape(name), htmlEscape(perms),
                                  form.arg(QStringLiteral("allow"), htmlEscape(token), htmlEscape(perms), QStringLiteral("OK, I'll authorize it")),
                                  form.arg(QStringLiteral("deny"), htmlEscape(token), htmlEscape(perms), QStringLiteral("No thanks")));
    res.status = 200;
    res.set_content(html.toStdString(), "text/html; charset=utf-8");
    record(req, {}, 200, false);
}

void LumoraDouble::Impl::handleAuthorizeAction(const httplib::Request &req, httplib::Response &res)
{
    std::unique_lock lock(m);
    const QString token = qs(req.get_param_value("oauth_token"));
    const QString action = qs(req.get_param_value("action"));
    if (!requestTokens.contains(token)) {
        res.status = 400;
        res.set_content("<html><body><h1>Oops! This request token is not valid.</h1></body></html>", "text/html");
        record(req, {}, 400, false);
        return;
    }
    RequestToken &rt = requestTokens[token];
    QUrl target(rt.callback);
    QUrlQuery query(target);
    if (action == QLatin1String("allow")) {
        rt.userId = webUser;
        rt.perms = qs(req.get_param_value("perms"));
        rt.verifier = randomHex(8);
        query.addQueryItem(QStringLiteral("oauth_token"), token);
        query.addQueryItem(QStringLiteral("oauth_verifier"), rt.verifier);
        target.setQuery(query);
    } else {
        requestTokens.remove(token);
        if (denyRedirect.isValid()) {
            target = denyRedirect;
        } else {
            query.addQueryItem(QStringLiteral("oauth_problem"), QStringLiteral("user_refused"));
            query.addQueryItem(QStringLiteral("oauth_token"), token);
            target.setQuery(query);
        }
    }
    res.set_redirect(target.toString(QUrl::FullyEncoded).toStdString(), 302);
    record(req, {}, 302, false);
    saveState();
}

// ---------------------------------------------------------------------------------------------
// Upload

namespace {
QString xmlEscape(const QString &s) { return s.toHtmlEscaped(); }

// Reads the slices of the content sample from a file on disk (regions of any size).
QString fileSampleOf(QFile &f, qint64 start, qint64 length)
{
    if (length < 2560)
        return {};
    QCryptographicHash h(QCryptographicHash::Md5);
    for (int k = 1; k <= 4; ++k) {
        f.seek(start + (qint64(k) * length) / 5);
        h.addData(f.read(512));
    }
    const qint64 le = qToLittleEndian(length);
    h.addData(QByteArrayView(reinterpret_cast<const char *>(&le), sizeof le));
    return QString::fromLatin1(h.result().toHex());
}
} // namespace

void LumoraDouble::Impl::handleUpload(const httplib::Request &req, httplib::Response &res,
                                      const httplib::ContentReader &reader, bool replace)
{
    // Read the body first (streamed to a temporary file) without holding the lock.
    Params fields;
    QString fileName, contentType;
    bool sawPhoto = false;
    qint64 size = 0;
    QCryptographicHash md5(QCryptographicHash::Md5);
    QTemporaryFile tmp(stateDir.isEmpty() ? QDir::tempPath() + QStringLiteral("/lumora-double-XXXXXX")
                                          : stateDir + QStringLiteral("/upload-XXXXXX"));
    const bool tmpOk = tmp.open();
    std::string currentField;
    bool inPhoto = false;
    bool whole = true;
    if (req.is_multipart_form_data()) {
        whole = reader(
            [&](const httplib::MultipartFormData &part) {
                inPhoto = part.name == "photo";
                if (inPhoto) {
                    sawPhoto = true;
                    fileName = qs(part.filename);
                    contentType = qs(part.content_type);
                } else {
                    fields << std::pair{qs(part.name), QString()};
                }
                return true;
            },
            [&](const char *data, size_t len) {
                if (inPhoto) {
                    size += qint64(len);
                    md5.addData(QByteArrayView(data, qsizetype(len)));
                    if (tmpOk)
                        tmp.write(data, qint64(len));
                } else if (!fields.isEmpty()) {
                    fields.last().second += QString::fromUtf8(data, qsizetype(len));
                }
                return true;
            });
    } else {
        whole = reader([&](const char *, size_t) { return true; });
    }
    tmp.flush();
    if (!whole)
        return; // the client went away mid-body: a service keeps nothing of it

    std::unique_lock lock(m);
    const QString area = QStringLiteral("upload");
    Upload up;
    up.path = qs(req.path);
    up.fileName = fileName;
    up.contentType = contentType;
    up.size = size;
    up.md5 = QString::fromLatin1(md5.result().toHex());
    const Params params = collectParams(req, fields);
    for (const auto &p : params)
        up.args.insert(p.first, p.second);
    up.args.remove(QStringLiteral("oauth_signature"));

    auto sendXml = [&](const QString &inner, bool okStat, const QString &result, bool sigOk) {
        QByteArray body = QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<rsp stat=\"%1\">\n%2\n</rsp>\n")
                              .arg(okStat ? QStringLiteral("ok") : QStringLiteral("fail"), inner)
                              .toUtf8();
        if (takeFault(Fault::MalformedXml, area))
            body = body.left(body.size() / 2);
        res.status = 200;
        res.set_content(body.toStdString(), "text/xml; charset=utf-8");
        up.result = result;
        uploads << up;
        record(req, {}, 200, sigOk);
        saveState();
        lostReplyFaults(lock, area, {}, res);
    };
    auto sendErr = [&](int code, const QString &msg, const QString &extra = {}, bool sigOk = true) {
        sendXml(QStringLiteral("<err code=\"%1\" msg=\"%2\" />%3").arg(code).arg(xmlEscape(msg), extra), false,
                QStringLiteral("error %1").arg(code), sigOk);
    };

    if (preReplyFaults(lock, area, {}, res)) {
        up.result = QStringLiteral("http %1").arg(res.status);
        uploads << up;
        record(req, {}, res.status, false);
        return;
    }
    const Auth auth = verify(req, params, TokenKind::None);
    if (!auth.ok) {
        sendErr(auth.code, auth.message, {}, false);
        return;
    }
    if (auth.userId.isEmpty()) {
        sendErr(LumoraDoubleCodes::InsufficientPerms, QStringLiteral("Insufficient permissions. Method requires write privileges; none granted."));
        return;
    }
    if (auth.perms != QLatin1String("write") && auth.perms != QLatin1String("delete")) {
        sendErr(LumoraDoubleCodes::InsufficientPerms, QStringLiteral("Insufficient permissions. Method requires write privileges; read granted."));
        return;
    }
    if (auto busy = takeFault(Fault::Busy, area)) {
        sendErr(LumoraDoubleCodes::ServiceUnavailable, QStringLiteral("Service currently unavailable"),
                QStringLiteral("\n<wait>%1</wait>").arg(oddOr(QStringLiteral("wait"), QString::number(busy->value > 0 ? busy->value : 60))));
        return;
    }
    const Account *acc = account(auth.userId);
    if (takeFault(Fault::AccountFull, area)
        || (acc && acc->uploadLimitBytes > 0 && storageUsed(auth.userId) + size > acc->uploadLimitBytes)) {
        sendErr(LumoraDoubleCodes::AccountFull, QStringLiteral("User exceeded upload limit"));
        return;
    }
    if (!sawPhoto) {
        sendErr(2, QStringLiteral("No photo specified"));
        return;
    }
    if (const auto refused = refusedFiles.constFind(up.fileName); refused != refusedFiles.cend()) {
        sendErr(*refused, QStringLiteral("General upload failure"));
        return;
    }
    if (size < 4 || !tmpOk || takeFault(Fault::FormatRefused, area)) {
        sendErr(LumoraDoubleCodes::UploadFormat, QStringLiteral("Filetype was not recognised"));
        return;
    }
    if (auto dup = takeFault(Fault::DuplicateReply, area)) {
        QString id = dup->value > 0 ? QString::number(dup->value) : QString();
        if (id.isEmpty() && dup->value == 0 && !photos.isEmpty())
            id = photos.last().id;
        sendXml(QStringLiteral("<duplicate_photo_id>%1</duplicate_photo_id>").arg(id), true, QStringLiteral("duplicate"), true);
        return;
    }

    Photo *target = nullptr;
    if (replace) {
        target = findPhoto(up.args.value(QStringLiteral("photo_id")));
        if (!target || target->ownerId != auth.userId) {
            sendErr(LumoraDoubleCodes::NotFound, QStringLiteral("Photo not found"));
            return;
        }
    } else {
        if (const Photo *p = photoWithMd5(auth.userId, up.md5)) {
            sendXml(QStringLiteral("<duplicate_photo_id>%1</duplicate_photo_id>").arg(p->id), true, QStringLiteral("duplicate"), true);
            return;
        }
    }
    QString albumId = up.args.value(QStringLiteral("photoset_id"));
    if (!albumId.isEmpty()) {
        const Album *al = findAlbum(albumId);
        if (!al || al->ownerId != auth.userId) {
            sendErr(LumoraDoubleCodes::NotFound, QStringLiteral("Photoset not found"));
            return;
        }
    }

    Photo p = target ? *target : Photo{};
    if (!target) {
        p.id = newId();
        p.ownerId = auth.userId;
        p.title = up.args.value(QStringLiteral("title"), QFileInfo(fileName).completeBaseName());
        p.description = up.args.value(QStringLiteral("description"));
        p.tags = up.args.value(QStringLiteral("tags"));
        p.isPublic = up.args.value(QStringLiteral("is_public")) == QLatin1String("1");
        p.dateTaken = up.args.value(QStringLiteral("date_taken"));
        p.datePosted = QDateTime::currentSecsSinceEpoch();
    } else {
        p.replaced = true;
    }
    p.lastUpdate = QDateTime::currentSecsSinceEpoch();
    p.size = size;
    p.md5 = up.md5;
    p.fileSample = fileSampleOf(tmp, 0, size);
    p.content.clear();
    if (size <= kKeepContentLimit) {
        tmp.seek(0);
        p.content = tmp.readAll();
    }
    p.jpegSample.clear();
    if (size <= kJpegSampleLimit) {
        tmp.seek(0);
        const QByteArray all = size <= kKeepContentLimit ? p.content : tmp.readAll();
        p.jpegSample = LumoraDouble::contentSampleHex(LumoraDouble::jpegImageData(all));
    }

    if (!target && albumId.isEmpty() && !up.args.value(QStringLiteral("photoset_title")).isEmpty()) {
        Album al;
        al.id = newId();
        al.ownerId = auth.userId;
        al.title = up.args.value(QStringLiteral("photoset_title"));
        al.description = up.args.value(QStringLiteral("photoset_description"));
        albums << al;
        albumId = al.id;
    }

    const bool async = up.args.value(QStringLiteral("async")) == QLatin1String("1");
    if (async) {
        Ticket t;
        t.id = newId();
        t.photoId = p.id;
        t.albumId = albumId;
        pendingPhotos.insert(p.id, p);
        uploadedAtMs.insert(p.id, QDateTime::currentMSecsSinceEpoch());
        ticketIndex.insert(t.id, tickets.size());
        tickets << t;
        if (ticketPolls <= 0)
            completeTicketLocked(tickets.last());
        sendXml(QStringLiteral("<ticketid>%1</ticketid>\n<max_tickets>%2</max_tickets>")
                    .arg(oddOr(QStringLiteral("ticketid"), t.id)).arg(maxTickets), true,
                QStringLiteral("ticketid"), true);
        return;
    }
    Ticket immediate;
    immediate.photoId = p.id;
    immediate.albumId = albumId;
    pendingPhotos.insert(p.id, p);
    uploadedAtMs.insert(p.id, QDateTime::currentMSecsSinceEpoch());
    completeTicketLocked(immediate);
    sendXml(QStringLiteral("<photoid>%1</photoid>").arg(oddOr(QStringLiteral("photoid"), p.id)), true, QStringLiteral("photoid"), true);
}

// ---------------------------------------------------------------------------------------------
// Web pages, images, update files, beacon

QByteArray LumoraDouble::Impl::image()
{
    if (imageBytes.isEmpty()) {
        QImage img(8, 8, QImage::Format_RGB32);
        img.fill(QColor(51, 102, 204));
        QBuffer buf(&imageBytes);
        buf.open(QIODevice::WriteOnly);
        if (!img.save(&buf, "JPG")) {
            imageBytes.clear();
            buf.seek(0);
            img.save(&buf, "PNG");
        }
    }
    return imageBytes;
}

void LumoraDouble::Impl::handleGet(const httplib::Request &req, httplib::Response &res)
{
    std::unique_lock lock(m);
    const QString path = qs(req.path);
    if (path == QLatin1String("/p")) {
        QVariantMap ev;
        for (const auto &[k, v] : req.params)
            ev.insert(qs(k), qs(v));
        beacon << ev;
        if (preReplyFaults(lock, QStringLiteral("beacon"), {}, res)) {
            record(req, {}, res.status, false);
            return;
        }
        res.status = 200;
        res.set_content("", "image/gif");
        record(req, {}, 200, false);
        return;
    }
    if (preReplyFaults(lock, QStringLiteral("web"), {}, res)) {
        record(req, {}, res.status, false);
        return;
    }
    if (fillerFiles.contains(path)) {
        const qint64 total = fillerFiles.value(path);
        res.status = 200;
        res.set_chunked_content_provider("application/zip", [total](size_t offset, httplib::DataSink &sink) {
            static const std::string piece(1024 * 1024, 'z');
            if (qint64(offset) >= total) {
                sink.done();
                return true;
            }
            return sink.write(piece.data(), size_t(std::min<qint64>(qint64(piece.size()), total - qint64(offset))));
        });
    } else if (files.contains(path) && streamedFiles.contains(path)) {
        auto body = std::make_shared<std::string>(files[path].content.toStdString());
        res.status = 200;
        res.set_chunked_content_provider(files[path].type.toStdString(), [body](size_t offset, httplib::DataSink &sink) {
            if (offset >= body->size()) {
                sink.done();
                return true;
            }
            return sink.write(body->data() + offset, std::min<size_t>(64 * 1024, body->size() - offset));
        });
    } else if (files.contains(path)) {
        const FileEntry &f = files[path];
        res.status = 200;
        res.set_content(f.content.toStdString(), f.type.toStdString());
    } else if (path.startsWith(QLatin1String("/img/"))) {
        const QString id = path.mid(5).section(QLatin1Char('_'), 0, 0);
        const Photo *p = findPhoto(id);
        if (!p) {
            res.status = 404;
            res.set_content("not found", "text/plain");
        } else {
            const QByteArray bytes = (path.endsWith(QLatin1String("_o.jpg")) && !p->content.isEmpty()) ? p->content : image();
            res.status = 200;
            res.set_content(bytes.toStdString(), "image/jpeg");
        }
    } else if (path.startsWith(QLatin1String("/buddyicons/")) || path.startsWith(QLatin1String("/coverphotos/"))) {
        const QByteArray bytes = image();
        res.status = 200;
        res.set_content(bytes.toStdString(), "image/jpeg");
    } else if (path.startsWith(QLatin1String("/services/")) || path.startsWith(QLatin1String("/hoistly/"))) {
        res.status = 404;
        res.set_content("not found", "text/plain");
    } else {
        const QString html = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Lumora</title></head>"
                                            "<body><h1>Lumora</h1><p id=\"path\">%1</p></body></html>")
                                 .arg(htmlEscape(path));
        res.status = 200;
        res.set_content(html.toStdString(), "text/html; charset=utf-8");
    }
    record(req, {}, res.status, false);
}

// ---------------------------------------------------------------------------------------------
// State file

void LumoraDouble::Impl::saveState()
{
    if (stateDir.isEmpty())
        return;
    QJsonObject root;
    root.insert(QStringLiteral("nextId"), QString::number(nextId));
    QJsonArray accs;
    for (const auto &a : accounts)
        accs << QJsonObject{{QStringLiteral("userId"), a.userId}, {QStringLiteral("userName"), a.userName},
                            {QStringLiteral("fullName"), a.fullName}, {QStringLiteral("uploadLimitBytes"), QString::number(a.uploadLimitBytes)}};
    root.insert(QStringLiteral("accounts"), accs);
    QJsonObject toks;
    for (auto it = accessTokens.cbegin(); it != accessTokens.cend(); ++it)
        toks.insert(it.key(), QJsonObject{{QStringLiteral("secret"), it->secret}, {QStringLiteral("userId"), it->userId}, {QStringLiteral("perms"), it->perms}});
    root.insert(QStringLiteral("accessTokens"), toks);
    QJsonArray ph;
    for (const auto &p : photos)
        ph << QJsonObject{{QStringLiteral("id"), p.id}, {QStringLiteral("ownerId"), p.ownerId}, {QStringLiteral("title"), p.title},
                          {QStringLiteral("description"), p.description}, {QStringLiteral("tags"), p.tags},
                          {QStringLiteral("dateTaken"), p.dateTaken}, {QStringLiteral("datePosted"), QString::number(p.datePosted)},
                          {QStringLiteral("lastUpdate"), QString::number(p.lastUpdate)}, {QStringLiteral("size"), QString::number(p.size)},
                          {QStringLiteral("md5"), p.md5}, {QStringLiteral("fileSample"), p.fileSample},
                          {QStringLiteral("jpegSample"), p.jpegSample}, {QStringLiteral("isPublic"), p.isPublic}};
    root.insert(QStringLiteral("photos"), ph);
    QJsonArray als;
    for (const auto &a : albums)
        als << QJsonObject{{QStringLiteral("id"), a.id}, {QStringLiteral("ownerId"), a.ownerId}, {QStringLiteral("title"), a.title},
                           {QStringLiteral("description"), a.description}, {QStringLiteral("primary"), a.primaryPhotoId},
                           {QStringLiteral("photoIds"), QJsonArray::fromStringList(a.photoIds)}};
    root.insert(QStringLiteral("albums"), als);
    QSaveFile f(stateDir + QStringLiteral("/state.json"));
    if (f.open(QIODevice::WriteOnly)) {
        f.write(QJsonDocument(root).toJson());
        f.commit();
    }
}

void LumoraDouble::Impl::loadState()
{
    QFile f(stateDir + QStringLiteral("/state.json"));
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QJsonObject root = QJsonDocument::fromJson(f.readAll()).object();
    if (root.isEmpty())
        return;
    nextId = std::max(nextId, root.value(QStringLiteral("nextId")).toString().toLongLong());
    accounts.clear();
    for (const auto &v : root.value(QStringLiteral("accounts")).toArray()) {
        const QJsonObject o = v.toObject();
        accounts << Account{o.value(QStringLiteral("userId")).toString(), o.value(QStringLiteral("userName")).toString(),
                            o.value(QStringLiteral("fullName")).toString(), o.value(QStringLiteral("uploadLimitBytes")).toString().toLongLong()};
    }
    const QJsonObject toks = root.value(QStringLiteral("accessTokens")).toObject();
    for (auto it = toks.begin(); it != toks.end(); ++it) {
        const QJsonObject o = it.value().toObject();
        accessTokens.insert(it.key(), Token{o.value(QStringLiteral("secret")).toString(), o.value(QStringLiteral("userId")).toString(),
                                            o.value(QStringLiteral("perms")).toString()});
    }
    for (const auto &v : root.value(QStringLiteral("photos")).toArray()) {
        const QJsonObject o = v.toObject();
        Photo p;
        p.id = o.value(QStringLiteral("id")).toString();
        p.ownerId = o.value(QStringLiteral("ownerId")).toString();
        p.title = o.value(QStringLiteral("title")).toString();
        p.description = o.value(QStringLiteral("description")).toString();
        p.tags = o.value(QStringLiteral("tags")).toString();
        p.dateTaken = o.value(QStringLiteral("dateTaken")).toString();
        p.datePosted = o.value(QStringLiteral("datePosted")).toString().toLongLong();
        p.lastUpdate = o.value(QStringLiteral("lastUpdate")).toString().toLongLong();
        p.size = o.value(QStringLiteral("size")).toString().toLongLong();
        p.md5 = o.value(QStringLiteral("md5")).toString();
        p.fileSample = o.value(QStringLiteral("fileSample")).toString();
        p.jpegSample = o.value(QStringLiteral("jpegSample")).toString();
        p.isPublic = o.value(QStringLiteral("isPublic")).toBool();
        photos << p;
        indexPhotoAt(photos.size() - 1);
    }
    ++photosGeneration;
    for (const auto &v : root.value(QStringLiteral("albums")).toArray()) {
        const QJsonObject o = v.toObject();
        Album a;
        a.id = o.value(QStringLiteral("id")).toString();
        a.ownerId = o.value(QStringLiteral("ownerId")).toString();
        a.title = o.value(QStringLiteral("title")).toString();
        a.description = o.value(QStringLiteral("description")).toString();
        a.primaryPhotoId = o.value(QStringLiteral("primary")).toString();
        for (const auto &id : o.value(QStringLiteral("photoIds")).toArray())
            a.photoIds << id.toString();
        albums << a;
    }
}

// ---------------------------------------------------------------------------------------------
// Public API

LumoraDouble::LumoraDouble() : d(std::make_unique<Impl>())
{
    d->q = this;
    d->accounts << Account{QString::fromLatin1(LumoraDoubleDefaults::userId), QString::fromLatin1(LumoraDoubleDefaults::userName),
                           QString::fromLatin1(LumoraDoubleDefaults::userFullName), 0};
    // The build it was made with is the newest: a trial's "Check for updates" is up to date.
    setUpdateManifest("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>CFBundleName</key><string>Lumora Hoistly</string>"
                      "<key>CFBundleVersion</key><string>" HOISTLY_BUILD_NUMBER "</string></dict></plist>\n");
}

LumoraDouble::~LumoraDouble() { stop(); }

bool LumoraDouble::start(int port, const QString &stateDir)
{
    stop();
    {
        std::lock_guard lock(d->m);
        d->stopping = false;
        d->stateDir = stateDir;
        if (!stateDir.isEmpty()) {
            QDir().mkpath(stateDir);
            d->loadState();
        }
    }
    d->image(); // made here, on the caller's thread, where image plugins are at hand
    d->server = std::make_unique<httplib::Server>();
    httplib::Server &s = *d->server;
    Impl *impl = d.get();
    // Hanging replies hold a worker each; keep enough workers for the rest.
    s.new_task_queue = [] { return new httplib::ThreadPool(32); };
    s.set_read_timeout(30, 0);
    s.set_write_timeout(30, 0);
    s.set_keep_alive_max_count(1000);
    s.set_keep_alive_timeout(1); // idle connections must not hold up stop()
    // Small replies must not wait for the client's delayed acknowledgement (40 ms a request).
    s.set_tcp_nodelay(true);
    // Replies go out uncompressed whatever the client accepts: compressing them costs the
    // service, not the client, and here it would be charged to the client under measurement
    // (the server would brotli every small reply). The request object is the server's own.
    s.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &) {
        const_cast<httplib::Request &>(req).headers.erase("Accept-Encoding");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    auto rest = [impl](const httplib::Request &req, httplib::Response &res) { impl->handleRest(req, res); };
    s.Get("/services/rest/?", rest);
    s.Post("/services/rest/?", rest);
    for (const char *step : {"request_token", "access_token"}) {
        const QString name = QString::fromLatin1(step);
        auto h = [impl, name](const httplib::Request &req, httplib::Response &res) { impl->handleOAuth(req, res, name); };
        s.Get(std::string("/services/oauth/") + step, h);
        s.Post(std::string("/services/oauth/") + step, h);
    }
    s.Get("/services/oauth/authorize", [impl](const httplib::Request &req, httplib::Response &res) { impl->handleAuthorizePage(req, res); });
    s.Post("/services/oauth/authorize", [impl](const httplib::Request &req, httplib::Response &res) { impl->handleAuthorizeAction(req, res); });
    s.Post("/services/upload/?", [impl](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &r) {
        impl->handleUpload(req, res, r, false);
    });
    s.Post("/services/replace/?", [impl](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &r) {
        impl->handleUpload(req, res, r, true);
    });
    s.Get(".*", [impl](const httplib::Request &req, httplib::Response &res) { impl->handleGet(req, res); });

    const int bound = port > 0 ? (s.bind_to_port("127.0.0.1", port) ? port : -1) : s.bind_to_any_port("127.0.0.1");
    if (bound <= 0) {
        d->server.reset();
        return false;
    }
    {
        std::lock_guard lock(d->m);
        d->port = bound;
        d->running = true;
    }
    d->thread = std::thread([impl] {
        // Its request threads take this name too, so that a bench can tell its CPU from a client's.
        pthread_setname_np(pthread_self(), "lumora-double");
        impl->server->listen_after_bind();
    });
    for (int i = 0; i < 500 && !s.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return true;
}

void LumoraDouble::stop()
{
    if (!d->server)
        return;
    {
        std::lock_guard lock(d->m);
        d->stopping = true;
        d->running = false;
    }
    d->cv.notify_all();
    d->server->stop();
    if (d->thread.joinable())
        d->thread.join();
    d->server.reset();
    std::lock_guard lock(d->m);
    d->saveState();
}

bool LumoraDouble::isRunning() const
{
    std::lock_guard lock(d->m);
    return d->running;
}

int LumoraDouble::port() const
{
    std::lock_guard lock(d->m);
    return d->port;
}

QString LumoraDouble::baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

void LumoraDouble::exportEnvironment() const
{
    qputenv("HOISTLY_SERVICE_URL", baseUrl().toUtf8());
    qputenv("HOISTLY_API_KEY", apiKey().toUtf8());
    qputenv("HOISTLY_API_SECRET", apiSecret().toUtf8());
}

void LumoraDouble::setApiCredentials(const QString &key, const QString &secret)
{
    std::lock_guard lock(d->m);
    d->apiKey = key;
    d->apiSecret = secret;
}

QString LumoraDouble::apiKey() const
{
    std::lock_guard lock(d->m);
    return d->apiKey;
}

QString LumoraDouble::apiSecret() const
{
    std::lock_guard lock(d->m);
    return d->apiSecret;
}

void LumoraDouble::addAccount(const Account &account)
{
    std::lock_guard lock(d->m);
    d->accounts.removeIf([&](const Account &a) { return a.userId == account.userId; });
    d->accounts << account;
}

QList<LumoraDouble::Account> LumoraDouble::accounts() const
{
    std::lock_guard lock(d->m);
    return d->accounts;
}

void LumoraDouble::setWebUser(const QString &userId)
{
    std::lock_guard lock(d->m);
    d->webUser = userId;
}

std::pair<QString, QString> LumoraDouble::issueAccessToken(const QString &userId, const QString &perms)
{
    std::lock_guard lock(d->m);
    const QString token = randomHex(16);
    Impl::Token t{randomHex(8), userId, perms};
    d->accessTokens.insert(token, t);
    d->saveState();
    return {token, t.secret};
}

void LumoraDouble::revokeAccessToken(const QString &token)
{
    std::lock_guard lock(d->m);
    d->accessTokens.remove(token);
}

QString LumoraDouble::addPhoto(Photo photo)
{
    std::lock_guard lock(d->m);
    if (photo.id.isEmpty())
        photo.id = d->newId();
    if (photo.ownerId.isEmpty())
        photo.ownerId = QString::fromLatin1(LumoraDoubleDefaults::userId);
    if (photo.datePosted == 0)
        photo.datePosted = QDateTime::currentSecsSinceEpoch();
    if (photo.lastUpdate == 0)
        photo.lastUpdate = photo.datePosted;
    photo.fileSample = photo.fileSample.toLower();
    photo.jpegSample = photo.jpegSample.toLower();
    if (!photo.content.isEmpty()) {
        if (photo.size == 0)
            photo.size = photo.content.size();
        if (photo.md5.isEmpty())
            photo.md5 = QString::fromLatin1(QCryptographicHash::hash(photo.content, QCryptographicHash::Md5).toHex());
    }
    d->photos << photo;
    d->indexPhotoAt(d->photos.size() - 1);
    ++d->photosGeneration;
    d->saveState();
    return photo.id;
}

QString LumoraDouble::addAlbum(Album album)
{
    std::lock_guard lock(d->m);
    if (album.id.isEmpty())
        album.id = d->newId();
    if (album.ownerId.isEmpty())
        album.ownerId = QString::fromLatin1(LumoraDoubleDefaults::userId);
    if (album.primaryPhotoId.isEmpty() && !album.photoIds.isEmpty())
        album.primaryPhotoId = album.photoIds.first();
    d->albums << album;
    d->saveState();
    return album.id;
}

void LumoraDouble::addPhotoToAlbum(const QString &photoId, const QString &albumId)
{
    std::lock_guard lock(d->m);
    if (Album *al = d->findAlbum(albumId)) {
        if (!al->photoIds.contains(photoId))
            al->photoIds << photoId;
        if (al->primaryPhotoId.isEmpty())
            al->primaryPhotoId = photoId;
    }
}

void LumoraDouble::setTicketPollsToComplete(int polls)
{
    std::lock_guard lock(d->m);
    d->ticketPolls = polls;
}

void LumoraDouble::setMaxTickets(int maxTickets)
{
    std::lock_guard lock(d->m);
    d->maxTickets = maxTickets;
}

void LumoraDouble::setTicketsFail(bool fail)
{
    std::lock_guard lock(d->m);
    d->ticketsFail = fail;
}

void LumoraDouble::refuseUploadsOf(const QString &fileName, int code)
{
    std::lock_guard lock(d->m);
    if (code == 0)
        d->refusedFiles.remove(fileName);
    else
        d->refusedFiles.insert(fileName, code);
}

void LumoraDouble::setTicketsHeld(bool held)
{
    std::lock_guard lock(d->m);
    d->ticketsHeld = held;
}

void LumoraDouble::setRegistrationDelay(int ms)
{
    std::lock_guard lock(d->m);
    d->registrationDelayMs = ms;
}

void LumoraDouble::setOddReply(const QString &field, const QString &value, int times)
{
    std::lock_guard lock(d->m);
    if (times == 0)
        d->oddReplies.remove(field);
    else
        d->oddReplies.insert(field, Impl::OddReply{value, times});
}

bool LumoraDouble::deleteAlbum(const QString &albumId)
{
    std::lock_guard lock(d->m);
    const auto removed = d->albums.removeIf([&](const Album &a) { return a.id == albumId; });
    if (removed)
        d->saveState();
    return removed > 0;
}

QStringList LumoraDouble::addPhotos(QList<Photo> photos)
{
    std::lock_guard lock(d->m);
    QStringList ids;
    ids.reserve(photos.size());
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    d->photos.reserve(d->photos.size() + photos.size());
    for (Photo &photo : photos) {
        if (photo.id.isEmpty())
            photo.id = d->newId();
        if (photo.ownerId.isEmpty())
            photo.ownerId = QString::fromLatin1(LumoraDoubleDefaults::userId);
        if (photo.datePosted == 0)
            photo.datePosted = now;
        if (photo.lastUpdate == 0)
            photo.lastUpdate = photo.datePosted;
        photo.fileSample = photo.fileSample.toLower();
        photo.jpegSample = photo.jpegSample.toLower();
        ids << photo.id;
        d->photos << std::move(photo);
        d->indexPhotoAt(d->photos.size() - 1);
    }
    ++d->photosGeneration;
    d->saveState();
    return ids;
}

void LumoraDouble::seedPhotos(int count)
{
    QList<Photo> list;
    list.reserve(count);
    for (int i = 0; i < count; ++i) {
        Photo p;
        p.title = QStringLiteral("seeded %1").arg(i);
        p.size = 100000 + i;
        p.fileSample = randomHex(16);
        p.jpegSample = randomHex(16);
        list << std::move(p);
    }
    addPhotos(std::move(list));
}

int LumoraDouble::hangingRequests() const
{
    std::lock_guard lock(d->m);
    return d->hanging;
}

QList<LumoraDouble::Photo> LumoraDouble::pendingPhotos() const
{
    std::lock_guard lock(d->m);
    return d->pendingPhotos.values();
}

void LumoraDouble::setDedupPreparePolls(int polls)
{
    std::lock_guard lock(d->m);
    d->dedupPreparePolls = polls;
}

void LumoraDouble::setStorageUsed(const QString &userId, qint64 bytes)
{
    std::lock_guard lock(d->m);
    d->extraStorage.insert(userId, bytes);
}

void LumoraDouble::setDenyRedirect(const QUrl &url)
{
    std::lock_guard lock(d->m);
    d->denyRedirect = url;
}

void LumoraDouble::setFile(const QString &path, const QByteArray &content, const QString &contentType)
{
    std::lock_guard lock(d->m);
    d->files.insert(path, Impl::FileEntry{content, contentType});
    d->streamedFiles.remove(path);
    d->fillerFiles.remove(path);
}

void LumoraDouble::setUpdateManifest(const QByteArray &plist)
{
    // The application's hidden channel asks below "beta2/"; both channels see the same release.
    setFile(QStringLiteral("/hoistly/LumoraHoistly-Info.plist"), plist, QStringLiteral("application/x-plist"));
    setFile(QStringLiteral("/hoistly/beta2/LumoraHoistly-Info.plist"), plist, QStringLiteral("application/x-plist"));
}

void LumoraDouble::setUpdateZip(const QByteArray &zip)
{
    setFile(QStringLiteral("/hoistly/LumoraHoistly.app.zip"), zip, QStringLiteral("application/zip"));
    setFile(QStringLiteral("/hoistly/beta2/LumoraHoistly.app.zip"), zip, QStringLiteral("application/zip"));
}

void LumoraDouble::setUpdateZipStreamed(const QByteArray &zip)
{
    setUpdateZip(zip);
    std::lock_guard lock(d->m);
    d->streamedFiles << QStringLiteral("/hoistly/LumoraHoistly.app.zip") << QStringLiteral("/hoistly/beta2/LumoraHoistly.app.zip");
}

void LumoraDouble::setUpdateZipFiller(qint64 bytes)
{
    std::lock_guard lock(d->m);
    for (const QString &path : {QStringLiteral("/hoistly/LumoraHoistly.app.zip"), QStringLiteral("/hoistly/beta2/LumoraHoistly.app.zip")})
        d->fillerFiles.insert(path, bytes);
}

void LumoraDouble::setFault(Fault fault, int value, const QString &scope, int times)
{
    std::lock_guard lock(d->m);
    d->faults.removeIf([&](const Impl::ActiveFault &f) { return f.fault == fault && f.scope == scope; });
    if (times != 0)
        d->faults << Impl::ActiveFault{fault, value, scope, times};
}

void LumoraDouble::clearFault(Fault fault)
{
    {
        std::lock_guard lock(d->m);
        d->faults.removeIf([&](const Impl::ActiveFault &f) { return f.fault == fault; });
        ++d->faultGeneration;
    }
    d->cv.notify_all();
}

void LumoraDouble::clearFaults()
{
    {
        std::lock_guard lock(d->m);
        d->faults.clear();
        d->oddReplies.clear();
        d->refusedFiles.clear();
        ++d->faultGeneration;
    }
    d->cv.notify_all();
}

QList<LumoraDouble::Photo> LumoraDouble::photos(const QString &ownerId) const
{
    std::lock_guard lock(d->m);
    QList<Photo> out;
    for (const auto &p : d->photos)
        if (ownerId.isEmpty() || p.ownerId == ownerId)
            out << p;
    return out;
}

std::optional<LumoraDouble::Photo> LumoraDouble::photo(const QString &id) const
{
    std::lock_guard lock(d->m);
    if (const Photo *p = d->findPhoto(id))
        return *p;
    return std::nullopt;
}

QList<LumoraDouble::Album> LumoraDouble::albums(const QString &ownerId) const
{
    std::lock_guard lock(d->m);
    QList<Album> out;
    for (const auto &a : d->albums)
        if (ownerId.isEmpty() || a.ownerId == ownerId)
            out << a;
    return out;
}

std::optional<LumoraDouble::Album> LumoraDouble::album(const QString &id) const
{
    std::lock_guard lock(d->m);
    if (const Album *a = d->findAlbum(id))
        return *a;
    return std::nullopt;
}

QList<LumoraDouble::Ticket> LumoraDouble::tickets() const
{
    std::lock_guard lock(d->m);
    return d->tickets;
}

QList<LumoraDouble::Upload> LumoraDouble::uploads() const
{
    std::lock_guard lock(d->m);
    return d->uploads;
}

QList<LumoraDouble::Request> LumoraDouble::requests() const
{
    std::lock_guard lock(d->m);
    return d->requests;
}

QStringList LumoraDouble::requestedPaths() const
{
    std::lock_guard lock(d->m);
    QStringList out;
    for (const auto &r : d->requests)
        out << r.path;
    return out;
}

QStringList LumoraDouble::restMethodsCalled() const
{
    std::lock_guard lock(d->m);
    QStringList out;
    for (const auto &r : d->requests)
        if (!r.restMethod.isEmpty() && r.status == 200)
            out << r.restMethod;
    return out;
}

QList<QVariantMap> LumoraDouble::beaconEvents() const
{
    std::lock_guard lock(d->m);
    return d->beacon;
}

int LumoraDouble::rejectedSignatures() const
{
    std::lock_guard lock(d->m);
    return d->rejected;
}

int LumoraDouble::liveAccessTokens(const QString &userId) const
{
    std::lock_guard lock(d->m);
    int n = 0;
    for (const auto &t : d->accessTokens)
        if (userId.isEmpty() || t.userId == userId)
            ++n;
    return n;
}

void LumoraDouble::resetRecords()
{
    std::lock_guard lock(d->m);
    d->requests.clear();
    d->uploads.clear();
    d->beacon.clear();
    d->rejected = 0;
}

// ---------------------------------------------------------------------------------------------
// Pure helpers

QString LumoraDouble::contentSampleHex(const QByteArray &region)
{
    const qint64 length = region.size();
    if (length < 2560)
        return {};
    QCryptographicHash h(QCryptographicHash::Md5);
    for (int k = 1; k <= 4; ++k)
        h.addData(region.mid((qint64(k) * length) / 5, 512));
    const qint64 le = qToLittleEndian(length);
    h.addData(QByteArrayView(reinterpret_cast<const char *>(&le), sizeof le));
    return QString::fromLatin1(h.result().toHex());
}

QByteArray LumoraDouble::jpegImageData(const QByteArray &file)
{
    const auto *b = reinterpret_cast<const uchar *>(file.constData());
    const qsizetype n = file.size();
    if (n < 4 || b[0] != 0xFF || b[1] != 0xD8)
        return {};
    qsizetype pos = 2;
    while (pos + 4 <= n) {
        if (b[pos] != 0xFF)
            return {};
        const uchar marker = b[pos + 1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        const qsizetype len = (qsizetype(b[pos + 2]) << 8) | b[pos + 3];
        if (len < 2)
            return {};
        if (marker == 0xDA) {
            const qsizetype start = pos + 2 + len;
            const qsizetype end = file.lastIndexOf(QByteArrayView("\xFF\xD9", 2));
            if (start >= n || end < start)
                return {};
            return file.mid(start, end - start);
        }
        pos += 2 + len;
    }
    return {};
}

QByteArray LumoraDouble::oauthBaseString(const QString &httpMethod, const QString &url,
                                         const QList<std::pair<QString, QString>> &params)
{
    QList<std::pair<QByteArray, QByteArray>> enc;
    for (const auto &p : params)
        if (p.first != QLatin1String("oauth_signature"))
            enc << std::pair{pe(p.first), pe(p.second)};
    std::sort(enc.begin(), enc.end());
    QByteArray joined;
    for (const auto &p : enc) {
        if (!joined.isEmpty())
            joined += '&';
        joined += p.first + '=' + p.second;
    }
    QUrl u(url);
    u.setQuery(QString());
    u.setFragment(QString());
    QString normal = u.scheme().toLower() + QStringLiteral("://") + u.host().toLower();
    if (u.port() != -1 && !((u.scheme() == QLatin1String("http") && u.port() == 80) || (u.scheme() == QLatin1String("https") && u.port() == 443)))
        normal += QLatin1Char(':') + QString::number(u.port());
    normal += u.path(QUrl::FullyEncoded);
    return httpMethod.toUpper().toLatin1() + '&' + QUrl::toPercentEncoding(normal) + '&' + QUrl::toPercentEncoding(QString::fromLatin1(joined));
}

QString LumoraDouble::oauthSignature(const QByteArray &baseString, const QString &consumerSecret, const QString &tokenSecret)
{
    const QByteArray key = pe(consumerSecret) + '&' + pe(tokenSecret);
    return QString::fromLatin1(QMessageAuthenticationCode::hash(baseString, key, QCryptographicHash::Sha1).toBase64());
}

QString LumoraDouble::apiSig(const QString &secret, const QList<std::pair<QString, QString>> &params)
{
    QList<std::pair<QString, QString>> sorted;
    for (const auto &p : params)
        if (p.first != QLatin1String("api_sig"))
            sorted << p;
    std::sort(sorted.begin(), sorted.end());
    QByteArray s = secret.toUtf8();
    for (const auto &p : sorted)
        s += p.first.toUtf8() + p.second.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(s, QCryptographicHash::Md5).toHex());
}
