// The upload request: its reply reading, and whole uploads against the local service double.
#include "LumoraDouble.h"
#include "ServiceTestClient.h"

#include "core/Settings.h"
#include "service/LKImageUploadNetworkOperation.h"
#include "service/LumoraKit.h"

#include <QDir>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class TestUpload : public QObject
{
    Q_OBJECT

    LumoraDouble service;
    QTemporaryDir dir;

    QString makeFile(const QString &name, qint64 size, char seed)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        QByteArray block(64 * 1024, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(seed + i * 13);
        for (qint64 left = size; left > 0; left -= block.size())
            f.write(block.constData(), qMin<qint64>(left, block.size()));
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        Settings::clearAllSettingsPERMANENTLY();
        QVERIFY(startServiceForClient(service));
        signInAsDefaultUser(service);
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
    }

    void init() { service.clearFaults(); }

    void replyParsing_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("photo");
        QTest::addColumn<QString>("ticket");
        QTest::addColumn<QString>("duplicate");
        QTest::addColumn<double>("wait");
        QTest::addColumn<int>("maxTickets");
        QTest::addColumn<QString>("errorDomain");
        QTest::addColumn<int>("errorCode");
        QTest::newRow("photo id") << QByteArray("<?xml version=\"1.0\"?>\n<rsp stat=\"ok\">\n<photoid>52000000011</photoid>\n</rsp>")
                                  << "52000000011" << "" << "" << 0.0 << 0 << "" << 0;
        QTest::newRow("ticket") << QByteArray("<rsp stat=\"ok\"><ticketid>77-abc</ticketid><max_tickets>12</max_tickets></rsp>")
                                << "" << "77-abc" << "" << 0.0 << 12 << "" << 0;
        QTest::newRow("duplicate") << QByteArray("<rsp stat=\"ok\"><duplicate_photo_id>99</duplicate_photo_id></rsp>")
                                   << "" << "" << "99" << 0.0 << 0 << "" << 0;
        QTest::newRow("duplicate naming no photo") << QByteArray("<rsp stat=\"ok\"><duplicate_photo_id/></rsp>")
                                                   << "" << "" << "" << 0.0 << 0 << "" << 0;
        QTest::newRow("busy with wait") << QByteArray("<rsp stat=\"fail\"><err code=\"105\" msg=\"Service currently unavailable\" /><wait>30</wait></rsp>")
                                        << "" << "" << "" << 30.0 << 0 << LKServiceErrorDomain << 105;
        QTest::newRow("account full") << QByteArray("<rsp stat=\"fail\"><err code=\"6\" msg=\"User exceeded upload limit\"/></rsp>")
                                      << "" << "" << "" << 0.0 << 0 << LKServiceErrorDomain << 6;
        QTest::newRow("garbage") << QByteArray("<html><body>502 Bad Gateway") << "" << "" << "" << 0.0 << 0 << LKClientErrorDomain
                                 << LKErrorCode::BadResponse;
        QTest::newRow("cut in half") << QByteArray("<?xml version=\"1.0\"?><rsp stat=\"ok\"><photoid>12") << "" << "" << "" << 0.0 << 0
                                     << LKClientErrorDomain << LKErrorCode::BadResponse;
        QTest::newRow("ok without ids") << QByteArray("<rsp stat=\"ok\"></rsp>") << "" << "" << "" << 0.0 << 0 << LKClientErrorDomain
                                        << LKErrorCode::BadResponse;
        QTest::newRow("empty") << QByteArray() << "" << "" << "" << 0.0 << 0 << LKClientErrorDomain << LKErrorCode::BadResponse;
    }

    void replyParsing()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, photo);
        QFETCH(QString, ticket);
        QFETCH(QString, duplicate);
        QFETCH(double, wait);
        QFETCH(int, maxTickets);
        QFETCH(QString, errorDomain);
        QFETCH(int, errorCode);
        const LKUploadResult r = LKUploadResult::parse(xml);
        QCOMPARE(r.photoID, photo);
        QCOMPARE(r.ticketID, ticket);
        QCOMPARE(r.duplicate_photo_id, duplicate);
        QCOMPARE(r.wait, wait);
        QCOMPARE(r.max_tickets, maxTickets);
        QCOMPARE(r.error.domain, errorDomain);
        QCOMPARE(r.error.code, errorCode);
        if (errorCode == 6)
            QCOMPARE(r.error.message, QStringLiteral("User exceeded upload limit"));
    }

    void uploadWithTicketAndProgress()
    {
        const QString path = makeFile(QStringLiteral("IMG_0001.jpg"), 300 * 1024 + 17, 'a');
        LKImageUploadNetworkOperation op(path, {{QStringLiteral("async"), true}, {QStringLiteral("is_public"), 0},
                                                {QStringLiteral("title"), QStringLiteral("IMG_0001")},
                                                {QStringLiteral("photoset_title"), QStringLiteral("Holiday \"2026\"")}});
        QList<qint64> sent;
        qint64 total = 0;
        QMutex lock;
        op.setUploadProgressBlock([&](qint64 s, qint64 t) {
            QMutexLocker l(&lock);
            sent << s;
            total = t;
        });
        const LKUploadResult r = op.runSynchronously();
        QVERIFY2(!r.isError(), qPrintable(r.error.toString()));
        QVERIFY(!r.ticketID.isEmpty());
        QCOMPARE(r.max_tickets, 10);
        QVERIFY(!sent.isEmpty());
        QVERIFY(total > 300 * 1024);
        QCOMPARE(sent.last(), total);
        QVERIFY(std::is_sorted(sent.begin(), sent.end()));

        const auto up = service.uploads().last();
        QCOMPARE(up.size, QFileInfo(path).size());
        QCOMPARE(up.fileName, QStringLiteral("IMG_0001.jpg"));
        QCOMPARE(up.contentType, QStringLiteral("image/jpeg"));
        QCOMPARE(up.args.value(QStringLiteral("is_public")), QStringLiteral("0"));
        QCOMPARE(up.args.value(QStringLiteral("photoset_title")), QStringLiteral("Holiday \"2026\""));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(up.md5, QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Md5).toHex()));
        // The temporary body is gone.
        QVERIFY(QDir(LKImageUploadNetworkOperation::uploadCacheFolder()).entryList(QDir::Files).isEmpty());

        // The same file again: the service says it already holds it.
        const LKUploadResult again = LKImageUploadNetworkOperation(path, {{QStringLiteral("async"), 1}}).runSynchronously();
        QVERIFY(!again.isError());
        QVERIFY(!again.duplicate_photo_id.isEmpty() || !again.ticketID.isEmpty());
    }

    void serviceFaultsBecomeResults()
    {
        const QString path = makeFile(QStringLiteral("b.jpg"), 4000, 'b');
        service.setFault(LumoraDouble::Fault::Busy, 17, QStringLiteral("upload"), 1);
        LKUploadResult r = LKImageUploadNetworkOperation(path, {}).runSynchronously();
        QCOMPARE(r.error.code, 105);
        QCOMPARE(r.wait, 17.0);
        service.setFault(LumoraDouble::Fault::HttpError, 503, QStringLiteral("upload"), 1);
        r = LKImageUploadNetworkOperation(path, {}).runSynchronously();
        QCOMPARE(r.error.code, LKErrorCode::HTTPStatus);
        QCOMPARE(r.httpStatus, 503);
        service.setFault(LumoraDouble::Fault::MalformedXml, 0, QStringLiteral("upload"), 1);
        r = LKImageUploadNetworkOperation(path, {}).runSynchronously();
        QCOMPARE(r.error.code, LKErrorCode::BadResponse);
        // The cut reply's upload did land: the same bytes are now a duplicate.
        r = LKImageUploadNetworkOperation(path, {}).runSynchronously();
        QVERIFY(!r.duplicate_photo_id.isEmpty());
        // Replace: the photo id goes to "/services/replace/".
        r = LKImageUploadNetworkOperation(makeFile(QStringLiteral("b1.jpg"), 4500, 'f'), {}).runSynchronously();
        QVERIFY2(!r.photoID.isEmpty(), qPrintable(r.error.toString()));
        const QString replacement = makeFile(QStringLiteral("b2.jpg"), 5000, 'c');
        const LKUploadResult rep = LKImageUploadNetworkOperation(replacement, {}, r.photoID).runSynchronously();
        QCOMPARE(rep.photoID, r.photoID);
        QCOMPARE(service.uploads().last().path, QStringLiteral("/services/replace/"));
        QCOMPARE(service.photo(r.photoID)->size, 5000);
        // A missing file never reaches the network.
        const int before = service.uploads().size();
        r = LKImageUploadNetworkOperation(dir.filePath(QStringLiteral("nope.jpg")), {}).runSynchronously();
        QCOMPARE(r.error.code, LKErrorCode::InvalidRequest);
        QCOMPARE(service.uploads().size(), before);
    }

    void cancelWhileHanging()
    {
        const QString path = makeFile(QStringLiteral("c.jpg"), 8000, 'd');
        service.setFault(LumoraDouble::Fault::Hang, 0, QStringLiteral("upload"));
        LKImageUploadNetworkOperation op(path, {});
        QSemaphore done;
        LKUploadResult result;
        op.start([&](const LKUploadResult &r) {
            result = r;
            done.release();
        });
        QTest::qWait(300); // by now the body is sent and the reply hangs; any earlier stage must cancel too
        op.cancel();
        QVERIFY(done.tryAcquire(1, 10000));
        QVERIFY(result.isCancelled());
        service.clearFaults();
        QTRY_VERIFY_WITH_TIMEOUT(QDir(LKImageUploadNetworkOperation::uploadCacheFolder()).entryList(QDir::Files).isEmpty(), 5000);
    }

    // The upload loop sends on its own thread and cannot call cancel() meanwhile: a pause sets
    // its flag, and the send on that thread stops.
    void cancelFlagStopsASendOnTheCallingThread()
    {
        const QString path = makeFile(QStringLiteral("f.jpg"), 8000, 'f');
        service.setFault(LumoraDouble::Fault::Hang, 0, QStringLiteral("upload"));
        std::atomic_bool cancel{false};
        LKUploadResult result;
        std::atomic_bool finished{false};
        QThread *sender = QThread::create([&] {
            LKImageUploadNetworkOperation op(path, {});
            op.setCancelFlag(&cancel);
            result = op.runSynchronously();
            finished = true;
        });
        sender->start();
        QTest::qWait(300);
        QVERIFY(!finished);
        cancel = true;
        QVERIFY(sender->wait(10000));
        delete sender;
        QVERIFY(result.isCancelled());
        service.clearFaults();
    }

    void signedOutUploadIsRefused()
    {
        LumoraKit::sharedLumoraKit()->resetForTesting();
        const LKUploadResult r = LKImageUploadNetworkOperation(makeFile(QStringLiteral("d.jpg"), 3000, 'e'), {}).runSynchronously();
        QCOMPARE(r.error.code, LKErrorCode::NeedsLogin);
        LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
    }

    void cleanupTestCase() { service.stop(); }
};

QTEST_MAIN(TestUpload)
#include "tst_upload.moc"
