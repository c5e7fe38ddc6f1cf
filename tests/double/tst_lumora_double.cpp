// The service double is what every area's tests trust, so its own checks (signatures, state,
// faults) are tested here against independent expectations.
#include "LumoraDouble.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>
#include <QtTest>

using Params = QList<std::pair<QString, QString>>;

namespace {

struct Reply
{
    int status = 0;
    QByteArray body;
    QUrl location;
};

Reply waitFor(QNetworkReply *reply, int timeoutMs = 15000)
{
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    Reply r;
    r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    r.body = reply->readAll();
    r.location = reply->header(QNetworkRequest::LocationHeader).toUrl();
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
    return r;
}

// Independent signing for the double's tests: parameters in the query (GET) or body (POST).
Params oauthParams(const QString &method, const QString &url, Params params, const QString &consumerSecret,
                   const QString &token, const QString &tokenSecret, int nonce)
{
    params << std::pair{QStringLiteral("oauth_consumer_key"), QString::fromLatin1(LumoraDoubleDefaults::apiKey)}
           << std::pair{QStringLiteral("oauth_nonce"), QStringLiteral("n%1x%2").arg(nonce).arg(QDateTime::currentMSecsSinceEpoch())}
           << std::pair{QStringLiteral("oauth_signature_method"), QStringLiteral("HMAC-SHA1")}
           << std::pair{QStringLiteral("oauth_timestamp"), QString::number(QDateTime::currentSecsSinceEpoch())}
           << std::pair{QStringLiteral("oauth_version"), QStringLiteral("1.0")};
    if (!token.isEmpty())
        params << std::pair{QStringLiteral("oauth_token"), token};
    const QByteArray base = LumoraDouble::oauthBaseString(method, url, params);
    params << std::pair{QStringLiteral("oauth_signature"), LumoraDouble::oauthSignature(base, consumerSecret, tokenSecret)};
    return params;
}

QUrl withQuery(const QString &url, const Params &params)
{
    QUrl u(url);
    QUrlQuery q;
    for (const auto &p : params)
        q.addQueryItem(QString::fromLatin1(QUrl::toPercentEncoding(p.first)), QString::fromLatin1(QUrl::toPercentEncoding(p.second)));
    u.setQuery(q.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return u;
}

QMap<QString, QString> formDecode(const QByteArray &body)
{
    QMap<QString, QString> out;
    for (const QByteArray &item : body.split('&')) {
        const int eq = item.indexOf('=');
        if (eq > 0)
            out.insert(QUrl::fromPercentEncoding(item.left(eq)), QUrl::fromPercentEncoding(item.mid(eq + 1)));
    }
    return out;
}

} // namespace

class TestLumoraDouble : public QObject
{
    Q_OBJECT

    LumoraDouble service;
    QNetworkAccessManager nam;
    int nonce = 0;
    QString token, tokenSecret;

    QJsonObject restSigned(const Params &args, const QString &tok, const QString &tokSecret)
    {
        const QString url = service.baseUrl() + QStringLiteral("/services/rest/");
        Params p = args;
        p << std::pair{QStringLiteral("format"), QStringLiteral("json")} << std::pair{QStringLiteral("nojsoncallback"), QStringLiteral("1")};
        p = oauthParams(QStringLiteral("GET"), url, p, service.apiSecret(), tok, tokSecret, ++nonce);
        const Reply r = waitFor(nam.get(QNetworkRequest(withQuery(url, p))));
        return QJsonDocument::fromJson(r.body).object();
    }

    Reply upload(const QByteArray &bytes, Params args)
    {
        const QString url = service.baseUrl() + QStringLiteral("/services/upload/");
        args = oauthParams(QStringLiteral("POST"), url, args, service.apiSecret(), token, tokenSecret, ++nonce);
        auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const auto &a : args) {
            QHttpPart part;
            part.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"%1\"").arg(a.first));
            part.setBody(a.second.toUtf8());
            multi->append(part);
        }
        QHttpPart photo;
        photo.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"photo\"; filename=\"IMG_1.jpg\""));
        photo.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("image/jpeg"));
        photo.setBody(bytes);
        multi->append(photo);
        QNetworkReply *reply = nam.post(QNetworkRequest(QUrl(url)), multi);
        multi->setParent(reply);
        return waitFor(reply);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(service.start());
        QVERIFY(service.port() > 0);
    }

    void publishedSignatureVectors()
    {
        // The classic photos.example.net vector.
        const Params params{{QStringLiteral("file"), QStringLiteral("vacation.jpg")},
                            {QStringLiteral("size"), QStringLiteral("original")},
                            {QStringLiteral("oauth_consumer_key"), QStringLiteral("dpf43f3p2l4k3l03")},
                            {QStringLiteral("oauth_token"), QStringLiteral("nnch734d00sl2jdk")},
                            {QStringLiteral("oauth_signature_method"), QStringLiteral("HMAC-SHA1")},
                            {QStringLiteral("oauth_timestamp"), QStringLiteral("1191242096")},
                            {QStringLiteral("oauth_nonce"), QStringLiteral("kllo9940pd9333jh")},
                            {QStringLiteral("oauth_version"), QStringLiteral("1.0")}};
        const QByteArray base = LumoraDouble::oauthBaseString(QStringLiteral("GET"), QStringLiteral("http://photos.example.net/photos"), params);
        QCOMPARE(base, QByteArray("GET&http%3A%2F%2Fphotos.example.net%2Fphotos&file%3Dvacation.jpg%26oauth_consumer_key%3Ddpf43f3p2l4k3l03"
                                  "%26oauth_nonce%3Dkllo9940pd9333jh%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1191242096"
                                  "%26oauth_token%3Dnnch734d00sl2jdk%26oauth_version%3D1.0%26size%3Doriginal"));
        QCOMPARE(LumoraDouble::oauthSignature(base, QStringLiteral("kd94hf93k423kf44"), QStringLiteral("pfkkdhi9sl3r4s00")),
                 QStringLiteral("tR3+Ty81lMeYAr/Fid0kMTYa/WM="));
        // RFC 5849 3.4.1: repeated names, encoded names and values, default port dropped.
        const Params rfc{{QStringLiteral("b5"), QStringLiteral("=%3D")}, {QStringLiteral("a3"), QStringLiteral("a")},
                         {QStringLiteral("c@"), QString()}, {QStringLiteral("a2"), QStringLiteral("r b")},
                         {QStringLiteral("oauth_consumer_key"), QStringLiteral("9djdj82h48djs9d2")},
                         {QStringLiteral("oauth_token"), QStringLiteral("kkk9d7dh3k39sjv7")},
                         {QStringLiteral("oauth_signature_method"), QStringLiteral("HMAC-SHA1")},
                         {QStringLiteral("oauth_timestamp"), QStringLiteral("137131201")},
                         {QStringLiteral("oauth_nonce"), QStringLiteral("7d8f3e4a")},
                         {QStringLiteral("c2"), QString()}, {QStringLiteral("a3"), QStringLiteral("2 q")}};
        QCOMPARE(LumoraDouble::oauthBaseString(QStringLiteral("post"), QStringLiteral("HTTP://Example.com:80/request"), rfc),
                 QByteArray("POST&http%3A%2F%2Fexample.com%2Frequest&a2%3Dr%2520b%26a3%3D2%2520q%26a3%3Da%26b5%3D%253D%25253D%26c%2540%3D"
                            "%26c2%3D%26oauth_consumer_key%3D9djdj82h48djs9d2%26oauth_nonce%3D7d8f3e4a%26oauth_signature_method%3DHMAC-SHA1"
                            "%26oauth_timestamp%3D137131201%26oauth_token%3Dkkk9d7dh3k39sjv7"));
        // api_sig: MD5 of the secret followed by the sorted names and values.
        QCOMPARE(LumoraDouble::apiSig(QStringLiteral("s3"), {{QStringLiteral("b"), QStringLiteral("2")}, {QStringLiteral("a"), QStringLiteral("1")}}),
                 QString::fromLatin1(QCryptographicHash::hash("s3a1b2", QCryptographicHash::Md5).toHex()));
    }

    void contentSamples()
    {
        QByteArray region(5000, '\0');
        for (int i = 0; i < region.size(); ++i)
            region[i] = char(i * 7);
        QByteArray expect;
        for (int k = 1; k <= 4; ++k)
            expect += region.mid(k * 5000 / 5, 512);
        const qint64 len = 5000;
        expect += QByteArray(reinterpret_cast<const char *>(&len), 8); // little-endian host
        QCOMPARE(LumoraDouble::contentSampleHex(region), QString::fromLatin1(QCryptographicHash::hash(expect, QCryptographicHash::Md5).toHex()));
        QVERIFY(LumoraDouble::contentSampleHex(QByteArray(2559, 'x')).isEmpty());
        const QByteArray jpeg = QByteArray("\xFF\xD8\xFF\xE0\x00\x04\x00\x00\xFF\xDA\x00\x04\x00\x00", 14) + "SCANDATA" + QByteArray("\xFF\xD9", 2);
        QCOMPARE(LumoraDouble::jpegImageData(jpeg), QByteArray("SCANDATA"));
        QVERIFY(LumoraDouble::jpegImageData("not a jpeg").isEmpty());
    }

    void oauthExchangeOverHttp()
    {
        const QString base = service.baseUrl();
        const QString callback = QStringLiteral("https://hoistly.lumora.com/auth");
        // Request token.
        QString url = base + QStringLiteral("/services/oauth/request_token");
        Params p = oauthParams(QStringLiteral("GET"), url, {{QStringLiteral("oauth_callback"), callback}}, service.apiSecret(), {}, {}, ++nonce);
        Reply r = waitFor(nam.get(QNetworkRequest(withQuery(url, p))));
        QCOMPARE(r.status, 200);
        const auto rt = formDecode(r.body);
        QCOMPARE(rt.value(QStringLiteral("oauth_callback_confirmed")), QStringLiteral("true"));
        QVERIFY(!rt.value(QStringLiteral("oauth_token")).isEmpty());

        // The authorisation page offers allow and deny; allowing redirects to the callback.
        r = waitFor(nam.get(QNetworkRequest(QUrl(base + QStringLiteral("/services/oauth/authorize?perms=delete&oauth_token=") + rt.value(QStringLiteral("oauth_token"))))));
        QCOMPARE(r.status, 200);
        QVERIFY(r.body.contains("id=\"allow\""));
        QVERIFY(r.body.contains("id=\"deny\""));
        QNetworkRequest form(QUrl(base + QStringLiteral("/services/oauth/authorize")));
        form.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
        form.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        r = waitFor(nam.post(form, "action=allow&perms=delete&oauth_token=" + QUrl::toPercentEncoding(rt.value(QStringLiteral("oauth_token")))));
        QCOMPARE(r.status, 302);
        QCOMPARE(r.location.host(), QStringLiteral("hoistly.lumora.com"));
        QUrlQuery cbq(r.location);
        QCOMPARE(cbq.queryItemValue(QStringLiteral("oauth_token")), rt.value(QStringLiteral("oauth_token")));
        const QString verifier = cbq.queryItemValue(QStringLiteral("oauth_verifier"));
        QVERIFY(!verifier.isEmpty());

        // A wrong verifier is refused; the right one, signed with the request token's secret, is not.
        url = base + QStringLiteral("/services/oauth/access_token");
        p = oauthParams(QStringLiteral("GET"), url, {{QStringLiteral("oauth_verifier"), QStringLiteral("wrong")}}, service.apiSecret(),
                        rt.value(QStringLiteral("oauth_token")), rt.value(QStringLiteral("oauth_token_secret")), ++nonce);
        QCOMPARE(waitFor(nam.get(QNetworkRequest(withQuery(url, p)))).status, 401);
        p = oauthParams(QStringLiteral("GET"), url, {{QStringLiteral("oauth_verifier"), verifier}}, service.apiSecret(),
                        rt.value(QStringLiteral("oauth_token")), rt.value(QStringLiteral("oauth_token_secret")), ++nonce);
        r = waitFor(nam.get(QNetworkRequest(withQuery(url, p))));
        QCOMPARE(r.status, 200);
        const auto at = formDecode(r.body);
        QCOMPARE(at.value(QStringLiteral("user_nsid")), QString::fromLatin1(LumoraDoubleDefaults::userId));
        QCOMPARE(at.value(QStringLiteral("username")), QString::fromLatin1(LumoraDoubleDefaults::userName));
        QCOMPARE(at.value(QStringLiteral("fullname")), QString::fromLatin1(LumoraDoubleDefaults::userFullName));
        token = at.value(QStringLiteral("oauth_token"));
        tokenSecret = at.value(QStringLiteral("oauth_token_secret"));

        const QJsonObject check = restSigned({{QStringLiteral("method"), QStringLiteral("lumora.auth.oauth.checkToken")}}, token, tokenSecret);
        QCOMPARE(check.value(QStringLiteral("stat")).toString(), QStringLiteral("ok"));
        QCOMPARE(check.value(QStringLiteral("oauth")).toObject().value(QStringLiteral("perms")).toObject().value(QStringLiteral("_content")).toString(),
                 QStringLiteral("delete"));
        QVERIFY(!service.requestedPaths().contains(QStringLiteral("/auth")));
    }

    void badSignaturesAreRejected()
    {
        const int before = service.rejectedSignatures();
        QJsonObject o = restSigned({{QStringLiteral("method"), QStringLiteral("lumora.auth.oauth.checkToken")}}, token, QStringLiteral("not-the-secret"));
        QCOMPARE(o.value(QStringLiteral("stat")).toString(), QStringLiteral("fail"));
        QCOMPARE(o.value(QStringLiteral("code")).toInt(), LumoraDoubleCodes::InvalidSignature);

        // api_sig: good, then tampered.
        const QString url = service.baseUrl() + QStringLiteral("/services/rest/");
        Params p{{QStringLiteral("method"), QStringLiteral("lumora.people.getInfo")}, {QStringLiteral("user_id"), QString::fromLatin1(LumoraDoubleDefaults::userId)},
                 {QStringLiteral("format"), QStringLiteral("json")}, {QStringLiteral("api_key"), service.apiKey()}};
        p << std::pair{QStringLiteral("api_sig"), LumoraDouble::apiSig(service.apiSecret(), p)};
        o = QJsonDocument::fromJson(waitFor(nam.get(QNetworkRequest(withQuery(url, p)))).body).object();
        QCOMPARE(o.value(QStringLiteral("stat")).toString(), QStringLiteral("ok"));
        QCOMPARE(o.value(QStringLiteral("person")).toObject().value(QStringLiteral("username")).toObject().value(QStringLiteral("_content")).toString(),
                 QString::fromLatin1(LumoraDoubleDefaults::userName));
        p.last().second = QStringLiteral("0123456789abcdef0123456789abcdef");
        o = QJsonDocument::fromJson(waitFor(nam.get(QNetworkRequest(withQuery(url, p)))).body).object();
        QCOMPARE(o.value(QStringLiteral("code")).toInt(), LumoraDoubleCodes::InvalidSignature);
        // Calls that need a user refuse an api_sig-only request.
        Params q{{QStringLiteral("method"), QStringLiteral("lumora.photosets.getList")}, {QStringLiteral("format"), QStringLiteral("json")},
                 {QStringLiteral("api_key"), service.apiKey()}};
        q << std::pair{QStringLiteral("api_sig"), LumoraDouble::apiSig(service.apiSecret(), q)};
        o = QJsonDocument::fromJson(waitFor(nam.get(QNetworkRequest(withQuery(url, q)))).body).object();
        QCOMPARE(o.value(QStringLiteral("code")).toInt(), LumoraDoubleCodes::InsufficientPerms);
        QCOMPARE(service.rejectedSignatures(), before + 2);
    }

    void uploadTicketAlbumAndChecksums()
    {
        QByteArray bytes(6000, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 31) ^ 0x5a);
        Reply r = upload(bytes, {{QStringLiteral("async"), QStringLiteral("1")}, {QStringLiteral("is_public"), QStringLiteral("0")},
                                 {QStringLiteral("photoset_title"), QStringLiteral("Holiday")}});
        QCOMPARE(r.status, 200);
        QVERIFY2(r.body.contains("<ticketid>"), r.body.constData());
        QVERIFY(r.body.contains("<max_tickets>10</max_tickets>"));
        const QString ticket = QString::fromUtf8(r.body.mid(r.body.indexOf("<ticketid>") + 10).split('<').first());
        QCOMPARE(service.photos().size(), 0);

        QJsonObject t = restSigned({{QStringLiteral("method"), QStringLiteral("lumora.photos.upload.checkTickets")}, {QStringLiteral("tickets"), ticket}}, token, tokenSecret);
        QCOMPARE(t[QStringLiteral("uploader")][QStringLiteral("ticket")][0][QStringLiteral("complete")].toInt(), 0);
        t = restSigned({{QStringLiteral("method"), QStringLiteral("lumora.photos.upload.checkTickets")}, {QStringLiteral("tickets"), ticket}}, token, tokenSecret);
        QCOMPARE(t[QStringLiteral("uploader")][QStringLiteral("ticket")][0][QStringLiteral("complete")].toInt(), 1);
        const QString photoId = t[QStringLiteral("uploader")][QStringLiteral("ticket")][0][QStringLiteral("photoid")].toString();
        QVERIFY(!photoId.isEmpty());
        QCOMPARE(service.photo(photoId)->content, bytes);
        const auto albums = service.albums();
        QCOMPARE(albums.size(), 1);
        QCOMPARE(albums.first().photoIds, QStringList{photoId});

        const QJsonObject sums = restSigned({{QStringLiteral("method"), QStringLiteral("lumora.photos.dedup.getChecksums")}}, token, tokenSecret);
        const QJsonArray list = sums[QStringLiteral("checksums")][QStringLiteral("checksum")].toArray();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first()[QStringLiteral("sample")].toString(), LumoraDouble::contentSampleHex(bytes));

        // The same content again is answered as a duplicate of the photo.
        r = upload(bytes, {{QStringLiteral("async"), QStringLiteral("1")}});
        QVERIFY2(r.body.contains("<duplicate_photo_id>" + photoId.toUtf8() + "</duplicate_photo_id>"), r.body.constData());
    }

    void faultSwitches()
    {
        service.setFault(LumoraDouble::Fault::Busy, 42, QStringLiteral("upload"), 1);
        Reply r = upload("abcdefgh", {});
        QVERIFY(r.body.contains("code=\"105\""));
        QVERIFY(r.body.contains("<wait>42</wait>"));
        service.setFault(LumoraDouble::Fault::AccountFull, 0, QStringLiteral("upload"), 1);
        QVERIFY(upload("abcdefgh", {}).body.contains("code=\"6\""));
        service.setFault(LumoraDouble::Fault::MalformedXml, 0, QStringLiteral("upload"), 1);
        r = upload("abcdefgh", {});
        QVERIFY(r.body.contains("<rsp"));
        QVERIFY(!r.body.contains("</rsp>"));
        service.setFault(LumoraDouble::Fault::HttpError, 502, QStringLiteral("lumora.photosets.getList"), 1);
        const QString url = service.baseUrl() + QStringLiteral("/services/rest/");
        Params p = oauthParams(QStringLiteral("GET"), url, {{QStringLiteral("method"), QStringLiteral("lumora.photosets.getList")}}, service.apiSecret(), token, tokenSecret, ++nonce);
        QCOMPARE(waitFor(nam.get(QNetworkRequest(withQuery(url, p)))).status, 502);

        // A hanging reply is released when the fault is cleared.
        service.setFault(LumoraDouble::Fault::Hang, 0, QStringLiteral("rest"));
        p = oauthParams(QStringLiteral("GET"), url, {{QStringLiteral("method"), QStringLiteral("lumora.photosets.getList")}}, service.apiSecret(), token, tokenSecret, ++nonce);
        QNetworkReply *hanging = nam.get(QNetworkRequest(withQuery(url, p)));
        QTest::qWait(300);
        QVERIFY(!hanging->isFinished());
        service.clearFaults();
        const Reply released = waitFor(hanging);
        QCOMPARE(released.status, 200);
        QCOMPARE(QJsonDocument::fromJson(released.body).object().value(QStringLiteral("stat")).toString(), QStringLiteral("ok"));
    }

    void webPagesUpdateFilesAndBeacon()
    {
        service.setUpdateManifest("<plist/>");
        Reply r = waitFor(nam.get(QNetworkRequest(QUrl(service.baseUrl() + QStringLiteral("/hoistly/LumoraHoistly-Info.plist")))));
        QCOMPARE(r.body, QByteArray("<plist/>"));
        r = waitFor(nam.get(QNetworkRequest(QUrl(service.baseUrl() + QStringLiteral("/photos/me/sets")))));
        QCOMPARE(r.status, 200);
        QVERIFY(r.body.contains("/photos/me/sets"));
        waitFor(nam.get(QNetworkRequest(QUrl(service.baseUrl() + QStringLiteral("/p?s=7&t=123&outcm=Tray%3A%20Opened")))));
        QCOMPARE(service.beaconEvents().last().value(QStringLiteral("outcm")).toString(), QStringLiteral("Tray: Opened"));
    }

    void executableServesAndKeepsState()
    {
        // State made in-process (an album, a token) is served by the executable from the same folder.
        QTemporaryDir state;
        QString tok, tokSecret, albumId;
        {
            LumoraDouble seeded;
            QVERIFY(seeded.start(0, state.path()));
            LumoraDouble::Album album;
            album.title = QStringLiteral("Kept");
            albumId = seeded.addAlbum(album);
            std::tie(tok, tokSecret) = seeded.issueAccessToken(QString::fromLatin1(LumoraDoubleDefaults::userId));
            seeded.stop();
        }
        QProcess process;
        process.start(QStringLiteral(LUMORA_DOUBLE_PATH), {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--state-dir"), state.path()});
        QVERIFY(process.waitForReadyRead(10000));
        const QByteArray line = process.readLine().trimmed();
        QVERIFY2(line.startsWith("LISTENING "), line.constData());
        const int port = line.mid(10).toInt();
        QVERIFY(port > 0);

        const QString url = QStringLiteral("http://127.0.0.1:%1/services/rest/").arg(port);
        Params p = oauthParams(QStringLiteral("GET"), url, {{QStringLiteral("method"), QStringLiteral("lumora.photosets.getList")},
                                                            {QStringLiteral("format"), QStringLiteral("json")}},
                               QString::fromLatin1(LumoraDoubleDefaults::apiSecret), tok, tokSecret, ++nonce);
        const QJsonObject o = QJsonDocument::fromJson(waitFor(nam.get(QNetworkRequest(withQuery(url, p)))).body).object();
        QCOMPARE(o.value(QStringLiteral("stat")).toString(), QStringLiteral("ok"));
        const QJsonArray sets = o[QStringLiteral("photosets")][QStringLiteral("photoset")].toArray();
        QCOMPARE(sets.size(), 1);
        QCOMPARE(sets.first()[QStringLiteral("id")].toString(), albumId);

        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }

    // What the upload tests need of the double: a photo still processing is already the
    // account's for the duplicate check; an answer can be lost after the upload was taken; tickets
    // can be held; replies can carry odd ids and waits; albums can be deleted; accounts seeded.
    void lostAnswersOddRepliesHeldTicketsAndAlbums()
    {
        if (token.isEmpty())
            std::tie(token, tokenSecret) = service.issueAccessToken(QString::fromLatin1(LumoraDoubleDefaults::userId));
        service.clearFaults();
        QByteArray bytes(5000, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 7) ^ 0x33);
        const QString sample = LumoraDouble::contentSampleHex(bytes);
        auto duplicateOf = [&](const QString &s) {
            return restSigned({{QStringLiteral("method"), QStringLiteral("lumora.photos.dedup.checkDuplicate")}, {QStringLiteral("sample"), s}},
                              token, tokenSecret)[QStringLiteral("duplicate")][QStringLiteral("photo_id")].toString();
        };

        // Taken, then the answer is cut: the photo exists (processing) and is found by its sample.
        service.setTicketsHeld(true);
        service.setFault(LumoraDouble::Fault::CutReply, 0, QStringLiteral("upload"), 1);
        const int pendingBefore = int(service.pendingPhotos().size());
        Reply r = upload(bytes, {{QStringLiteral("async"), QStringLiteral("1")}});
        QVERIFY2(!r.body.contains("</rsp>"), r.body.constData());
        QCOMPARE(int(service.pendingPhotos().size()), pendingBefore + 1);
        const QString pendingId = duplicateOf(sample);
        QVERIFY(!pendingId.isEmpty());
        QCOMPARE(service.pendingPhotos().last().id, pendingId);

        // A reset answer: nothing of the body arrives.
        QByteArray other = bytes;
        other[100] = 'x';
        service.setFault(LumoraDouble::Fault::ResetReply, 0, QStringLiteral("upload"), 1);
        r = upload(other, {{QStringLiteral("async"), QStringLiteral("1")}});
        QVERIFY(r.body.isEmpty());
        QCOMPARE(int(service.pendingPhotos().size()), pendingBefore + 2);

        // Held tickets stay pending however often they are checked; odd ids replace real ones.
        QByteArray third = bytes;
        third[200] = 'y';
        service.setOddReply(QStringLiteral("ticketid"), QStringLiteral("abc"), 1);
        r = upload(third, {{QStringLiteral("async"), QStringLiteral("1")}});
        QVERIFY2(r.body.contains("<ticketid>abc</ticketid>"), r.body.constData());
        const QString ticket = service.tickets().last().id;
        QVERIFY(ticket.toLongLong() > 0);
        auto check = [&] {
            return restSigned({{QStringLiteral("method"), QStringLiteral("lumora.photos.upload.checkTickets")}, {QStringLiteral("tickets"), ticket}},
                              token, tokenSecret)[QStringLiteral("uploader")][QStringLiteral("ticket")][0].toObject();
        };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(check()[QStringLiteral("complete")].toInt(), 0);
        service.setOddReply(QStringLiteral("photoid"), QStringLiteral("-7"), 1);
        service.setTicketsHeld(false);
        const QJsonObject done = check();
        QCOMPARE(done[QStringLiteral("complete")].toInt(), 1);
        QCOMPARE(done[QStringLiteral("photoid")].toString(), QStringLiteral("-7"));

        // Busy answers can ask for any wait text.
        service.setFault(LumoraDouble::Fault::Busy, 5, QStringLiteral("upload"), 1);
        service.setOddReply(QStringLiteral("wait"), QStringLiteral("1e300"), 1);
        QByteArray fourth = bytes;
        fourth[300] = 'z';
        r = upload(fourth, {{QStringLiteral("async"), QStringLiteral("1")}});
        QVERIFY2(r.body.contains("<wait>1e300</wait>"), r.body.constData());

        // A deleted album is gone for uploads into it.
        const QString album = service.addAlbum({QString(), QString(), QStringLiteral("Gone"), QString(), QString(), {}});
        QVERIFY(service.deleteAlbum(album));
        QVERIFY(!service.deleteAlbum(album));
        r = upload(fourth, {{QStringLiteral("async"), QStringLiteral("1")}, {QStringLiteral("photoset_id"), album}});
        QVERIFY2(r.body.contains("code=\"1\""), r.body.constData());

        // Bulk seeding: listed in checksum pages like any photo.
        const int listedBefore = restSigned({{QStringLiteral("method"), QStringLiteral("lumora.photos.dedup.getChecksums")}}, token, tokenSecret)
                                     [QStringLiteral("checksums")][QStringLiteral("total")].toInt();
        service.seedPhotos(1500);
        const QJsonObject page = restSigned({{QStringLiteral("method"), QStringLiteral("lumora.photos.dedup.getChecksums")},
                                             {QStringLiteral("per_page"), QStringLiteral("1000")}, {QStringLiteral("page"), QStringLiteral("2")}},
                                            token, tokenSecret)[QStringLiteral("checksums")].toObject();
        QCOMPARE(page[QStringLiteral("total")].toInt(), listedBefore + 3000);
        QCOMPARE(page[QStringLiteral("checksum")].toArray().size(), 1000);
        service.clearFaults();
    }

    void cleanupTestCase() { service.stop(); }
};

QTEST_MAIN(TestLumoraDouble)
#include "tst_lumora_double.moc"
