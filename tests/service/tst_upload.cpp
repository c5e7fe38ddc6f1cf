// The upload request: its reply reading, and whole uploads against the local service double.
#include "LumoraDouble.h"
#include "ServiceTestClient.h"

#include "core/Settings.h"
#include "service/LKImageUploadNetworkOperation.h"
#include "service/LumoraKit.h"
#include "support/PermissionsHold.h"

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
    QThread uploadThread;
    QObject *onUploadThread = nullptr;
    char nextSeed = 'g';

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

    // On the test's thread the upload goes through the network thread; on a thread of its own, as
    // the upload loop sends, it goes out on that thread over the connection it keeps open.
    LKUploadResult run(LKImageUploadNetworkOperation &op, bool fromUploadThread)
    {
        LKUploadResult r;
        if (!fromUploadThread)
            return op.runSynchronously();
        QMetaObject::invokeMethod(onUploadThread, [&] { r = op.runSynchronously(); }, Qt::BlockingQueuedConnection);
        return r;
    }

    static QString md5Of(const QString &path)
    {
        QFile f(path);
        QCryptographicHash hash(QCryptographicHash::Md5);
        return f.open(QIODevice::ReadOnly) && hash.addData(&f) ? QString::fromLatin1(hash.result().toHex()) : QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        Settings::clearAllSettingsPERMANENTLY();
        QVERIFY(startServiceForClient(service));
        signInAsDefaultUser(service);
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
        uploadThread.start();
        onUploadThread = new QObject;
        onUploadThread->moveToThread(&uploadThread);
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

    void uploadWithTicketAndProgress_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("fromUploadThread");
        QTest::newRow("from memory") << qint64(300 * 1024 + 17) << false;
        QTest::newRow("streamed") << LKImageUploadNetworkOperation::kInMemoryBodyLimit + 1024 * 1024 + 17 << false;
        QTest::newRow("streamed, upload thread") << LKImageUploadNetworkOperation::kInMemoryBodyLimit + 1024 * 1024 + 17 << true;
    }

    void uploadWithTicketAndProgress()
    {
        QFETCH(qint64, size);
        QFETCH(bool, fromUploadThread);
        const QString path = makeFile(QStringLiteral("IMG_0001.jpg"), size, nextSeed++);
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
        const LKUploadResult r = run(op, fromUploadThread);
        QVERIFY2(!r.isError(), qPrintable(r.error.toString()));
        QVERIFY(!r.ticketID.isEmpty());
        QCOMPARE(r.max_tickets, 10);
        QVERIFY(!sent.isEmpty());
        QVERIFY(total > size);
        QCOMPARE(sent.last(), total);
        QVERIFY(std::is_sorted(sent.begin(), sent.end()));

        const auto up = service.uploads().last();
        QCOMPARE(up.size, QFileInfo(path).size());
        QCOMPARE(up.fileName, QStringLiteral("IMG_0001.jpg"));
        QCOMPARE(up.contentType, QStringLiteral("image/jpeg"));
        QCOMPARE(up.args.value(QStringLiteral("is_public")), QStringLiteral("0"));
        QCOMPARE(up.args.value(QStringLiteral("photoset_title")), QStringLiteral("Holiday \"2026\""));
        QCOMPARE(up.md5, md5Of(path));
        // Nothing is left behind.
        QVERIFY(QDir(LKImageUploadNetworkOperation::uploadCacheFolder()).entryList(QDir::Files).isEmpty());

        // The same file again: the service says it already holds it.
        LKImageUploadNetworkOperation second(path, {{QStringLiteral("async"), 1}});
        const LKUploadResult again = run(second, fromUploadThread);
        QVERIFY(!again.isError());
        QVERIFY(!again.duplicate_photo_id.isEmpty() || !again.ticketID.isEmpty());
    }

    // The photo is edited while it is sent, or can no longer be opened: the upload fails rather
    // than leave a torn copy with the service, says which, and is not taken for a network failure
    // or a cancel.
    void fileChangedWhileSentFails_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("fromUploadThread");
        for (const bool fromUploadThread : {false, true}) {
            for (const char *change : {"grown", "shrunk", "rewritten, same size", "no permission"}) {
                const QByteArray tag = QByteArray(change) + (fromUploadThread ? ", upload thread" : "");
                QTest::newRow(tag.constData()) << QString::fromLatin1(change) << fromUploadThread;
            }
        }
    }

    void fileChangedWhileSentFails()
    {
        QFETCH(QString, change);
        QFETCH(bool, fromUploadThread);
        const qint64 size = 12 * 1024 * 1024;
        const QString path = makeFile(QStringLiteral("changing.mov"), size, nextSeed++);
        const auto uploadsBefore = service.uploads().size();
        // Unreadable since it was looked at: its own text, not taken for a change.
        const bool unreadable = change == QLatin1String("no permission");
        if (unreadable && !g_permissionsHold)
            QSKIP("permissions cannot be made to hold for this process");
        const QFile::Permissions permissions = QFile::permissions(path);
        const auto restore = qScopeGuard([&] { QFile::setPermissions(path, permissions); }); // also after a failed check
        QVERIFY(!unreadable || QFile::setPermissions(path, QFile::Permissions()));
        std::atomic_bool changed{unreadable};
        LKImageUploadNetworkOperation op(path, {});
        op.setUploadProgressBlock([&](qint64 sent, qint64) {
            if (sent <= 0 || changed.exchange(true))
                return;
            QFile f(path);
            if (change == QLatin1String("shrunk")) {
                f.resize(size / 2);
            } else if (change == QLatin1String("grown") && f.open(QIODevice::Append)) {
                f.write(QByteArray(4096, 'x'));
            } else if (f.open(QIODevice::ReadWrite)) {
                f.write(QByteArray(64 * 1024, 'z'));
                f.setFileTime(QDateTime::currentDateTime().addSecs(10), QFileDevice::FileModificationTime);
            }
        });
        const LKUploadResult r = run(op, fromUploadThread);
        QVERIFY(changed);
        QCOMPARE(r.error.domain, LKClientErrorDomain);
        QCOMPARE(r.error.code, LKErrorCode::InvalidRequest);
        QCOMPARE(r.error.message, unreadable ? QStringLiteral("The file to upload could not be opened.")
                                             : QStringLiteral("The file changed while it was being sent."));
        QCOMPARE(service.uploads().size(), uploadsBefore);
        QVERIFY(QFile::setPermissions(path, permissions));

        // Left alone, the same file then goes whole from the same thread.
        LKImageUploadNetworkOperation again(path, {});
        const LKUploadResult ok = run(again, fromUploadThread);
        QVERIFY2(!ok.isError(), qPrintable(ok.error.toString()));
        QCOMPARE(service.uploads().size(), uploadsBefore + 1);
        QCOMPARE(service.uploads().last().md5, md5Of(path));
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

    void cleanupTestCase()
    {
        onUploadThread->deleteLater();
        uploadThread.quit();
        uploadThread.wait();
        service.stop();
    }
};

QTEST_MAIN(TestUpload)
#include "tst_upload.moc"
