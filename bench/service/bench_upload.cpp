// Upload benchmarks against the local service double running as its own process (so that its
// memory is not counted as ours):
//  1. one large file (1 GB by default): our resident memory must stay within 5 MB of the start,
//     and our time at least 0.9x curl's sending the same signed form to the same server;
//  2. 5 MB files, one after another: our throughput against curl sending the same multipart
//     bodies to the same server, in the same run (aim: at least 0.8x curl).
// Exit status 0 when both aims are met.
#include "LumoraDouble.h"

#include "core/Settings.h"
#include "service/LKImageUploadNetworkOperation.h"
#include "service/LumoraKit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QUrlQuery>

#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace {

qint64 residentKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

bool writeFile(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    QRandomGenerator rng(42);
    rng.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
    for (qint64 left = size; left > 0; left -= block.size()) {
        block[0] = char(left); // no two blocks alike
        if (f.write(block.constData(), qMin<qint64>(left, block.size())) < 0)
            return false;
    }
    return true;
}

// curl's body: the same multipart form as ours, written out whole beforehand.
bool writeCurlBody(const QString &bodyPath, const QString &filePath, const LumoraKit::Params &fields, const QByteArray &boundary)
{
    const auto [head, tail] = LKImageUploadNetworkOperation::multipartFraming(filePath, fields, boundary);
    QFile source(filePath);
    QFile body(bodyPath);
    if (!source.open(QIODevice::ReadOnly) || !body.open(QIODevice::WriteOnly | QIODevice::Truncate) || body.write(head) != head.size())
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 n; (n = source.read(chunk.data(), chunk.size())) > 0;)
        if (body.write(chunk.constData(), n) != n)
            return false;
    return source.atEnd() && body.write(tail) == tail.size() && body.flush();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QCommandLineParser parser;
    QCommandLineOption bigOpt(QStringLiteral("big-mb"), QStringLiteral("Size of the large upload in MB."), QStringLiteral("N"), QStringLiteral("1024"));
    QCommandLineOption countOpt(QStringLiteral("small-count"), QStringLiteral("Number of 5 MB uploads."), QStringLiteral("N"), QStringLiteral("20"));
    parser.addOptions({bigOpt, countOpt});
    parser.addHelpOption();
    parser.process(app);

    QTemporaryDir work;
    QProcess server;
    server.start(QStringLiteral(LUMORA_DOUBLE_PATH), {QStringLiteral("--state-dir"), work.filePath(QStringLiteral("double"))});
    if (!server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "lumora-double did not start\n");
        return 2;
    }
    const QByteArray line = server.readLine().trimmed();
    const int port = line.mid(QByteArray("LISTENING ").size()).toInt();
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
    qputenv("HOISTLY_SERVICE_URL", base.toUtf8());

    // Signed in over OAuth against the separate process (approved with curl).
    LumoraKit *kit = LumoraKit::sharedLumoraKit();
    kit->initializeWithAPIKey(QString::fromLatin1(LumoraDoubleDefaults::apiKey), QString::fromLatin1(LumoraDoubleDefaults::apiSecret), false);
    {
        QSemaphore got;
        QUrl authURL;
        kit->beginAuthWithCallbackURL(QUrl(QStringLiteral("https://hoistly.lumora.com/auth")), LKPermissionDelete,
                                      [&](const QUrl &u, const LKError &) { authURL = u; got.release(); });
        got.acquire();
        QProcess curl;
        const QString token = QUrlQuery(authURL).queryItemValue(QStringLiteral("oauth_token"), QUrl::FullyDecoded);
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-w"),
                                            QStringLiteral("%{redirect_url}"), QStringLiteral("--data"),
                                            QStringLiteral("action=allow&perms=delete&oauth_token=") + QString::fromLatin1(QUrl::toPercentEncoding(token)),
                                            base + QStringLiteral("/services/oauth/authorize")});
        curl.waitForFinished(10000);
        const QUrl callback(QString::fromUtf8(curl.readAllStandardOutput()));
        QSemaphore done;
        LKError error;
        kit->completeAuthWithURL(callback, [&](const QString &, const QString &, const QString &, const LKError &e) { error = e; done.release(); });
        done.acquire();
        if (error.isError() || !kit->isAuthorized()) {
            std::fprintf(stderr, "sign-in failed: %s\n", qPrintable(error.toString()));
            return 2;
        }
    }

    // Ours sends from a thread of its own, as the upload loop does (over that thread's kept-alive
    // connection), never from the main thread.
    QThread uploadThread;
    uploadThread.start();
    QObject onUploadThread;
    onUploadThread.moveToThread(&uploadThread);
    auto upload = [&](LKImageUploadNetworkOperation &op) {
        LKUploadResult r;
        QMetaObject::invokeMethod(&onUploadThread, [&] { r = op.runSynchronously(); }, Qt::BlockingQueuedConnection);
        return r;
    };

    bool ok = true;

    // 1. One large file.
    const qint64 bigSize = parser.value(bigOpt).toLongLong() * 1024 * 1024;
    const QString bigPath = work.filePath(QStringLiteral("big.mov"));
    if (!writeFile(bigPath, bigSize)) {
        std::fprintf(stderr, "cannot write the large file\n");
        return 2;
    }
    ::sync(); // its write-back weighs on neither side's time, as for curl's body below
    {
        // curl, sending the same file in the same signed multipart form, streamed from a body
        // built beforehand (its time is sending only). It goes before ours and after, and ours
        // is set against the mean: the double's disk work drifts from one upload to the next.
        const QUrl uploadURL(base + QStringLiteral("/services/upload/"));
        const QString body = work.filePath(QStringLiteral("big.body"));
        writeCurlBody(body, bigPath, kit->signedParameters("POST", uploadURL, {{QStringLiteral("async"), QStringLiteral("1")}}),
                      "----BenchBoundary0123456789");
        const auto curlSeconds = [&] {
            ::sync();
            QProcess curl;
            QElapsedTimer t;
            t.start();
            curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-X"), QStringLiteral("POST"),
                                                QStringLiteral("-H"), QStringLiteral("Content-Type: multipart/form-data; boundary=----BenchBoundary0123456789"),
                                                QStringLiteral("-H"), QStringLiteral("Expect:"), QStringLiteral("-T"), body, uploadURL.toString()});
            curl.waitForFinished(-1);
            return t.elapsed() / 1000.0;
        };
        const double curlBefore = curlSeconds();

        ::sync(); // nothing written before weighs on our time
        const qint64 startRss = residentKiB();
        std::atomic<qint64> peak{startRss};
        LKImageUploadNetworkOperation op(bigPath, {{QStringLiteral("async"), 1}});
        // Sampled every few MB: reading /proc at each report cost more than sending the bytes.
        qint64 sampledAt = 0;
        op.setUploadProgressBlock([&](qint64 sent, qint64 total) {
            if (sent - sampledAt < (4 << 20) && sent != total)
                return;
            sampledAt = sent;
            const qint64 now = residentKiB();
            qint64 prev = peak.load();
            while (now > prev && !peak.compare_exchange_weak(prev, now)) {}
        });
        QElapsedTimer t;
        t.start();
        const LKUploadResult r = upload(op);
        const double secs = t.elapsed() / 1000.0;
        const qint64 growthKiB = qMax(peak.load(), residentKiB()) - startRss;
        std::printf("large upload: %lld MB in %.1f s (%.0f MB/s); %s; resident memory start %lld KiB, peak growth %lld KiB\n",
                    bigSize >> 20, secs, (bigSize >> 20) / secs, r.isError() ? qPrintable(r.error.toString()) : "ok", startRss, growthKiB);
        if (r.isError() || growthKiB > 5 * 1024) {
            std::printf("  FAILED: resident memory must stay within 5 MB of the start\n");
            ok = false;
        }

        const double curlAfter = curlSeconds();
        QFile::remove(body);
        const double curlSecs = (curlBefore + curlAfter) / 2;
        std::printf("  curl, same file: %.1f s before, %.1f s after (mean %.0f MB/s): ours %.2fx curl\n", curlBefore, curlAfter,
                    (bigSize >> 20) / curlSecs, curlSecs / secs);
        if (curlSecs / secs < 0.9) {
            std::printf("  BELOW AIM: at least 0.9x curl\n");
            ok = false;
        }
    }
    QFile::remove(bigPath);

    // 2. 5 MB uploads: ours, then curl with the same bodies.
    const int count = parser.value(countOpt).toInt();
    const qint64 smallSize = 5 * 1024 * 1024;
    QStringList smallFiles;
    for (int i = 0; i < count; ++i) {
        smallFiles << work.filePath(QStringLiteral("small-%1.jpg").arg(i));
        writeFile(smallFiles.last(), smallSize + i);
    }
    // curl gets its bodies prepared beforehand (the same signed multipart form), so its time is
    // sending only. The two alternate, file by file, so that the disk's write-back of earlier
    // work weighs on both alike.
    QStringList bodies;
    const QUrl uploadURL(base + QStringLiteral("/services/upload/"));
    for (int i = 0; i < count; ++i) {
        const QString body = work.filePath(QStringLiteral("body-%1").arg(i));
        const auto fields = kit->signedParameters("POST", uploadURL, {{QStringLiteral("async"), QStringLiteral("1")}});
        writeCurlBody(body, smallFiles.at(i), fields, "----BenchBoundary0123456789");
        bodies << body;
    }
    ::sync();
    qint64 oursMs = 0, curlMs = 0;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer t;
        t.start();
        LKImageUploadNetworkOperation op(smallFiles.at(i), {{QStringLiteral("async"), 1}});
        const LKUploadResult r = upload(op);
        oursMs += t.nsecsElapsed() / 1000;
        if (r.isError())
            std::fprintf(stderr, "upload failed: %s\n", qPrintable(r.error.toString()));
        QProcess curl;
        t.restart();
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-H"),
                                            QStringLiteral("Content-Type: multipart/form-data; boundary=----BenchBoundary0123456789"),
                                            QStringLiteral("-H"), QStringLiteral("Expect:"),
                                            QStringLiteral("--data-binary"), QLatin1Char('@') + bodies.at(i), uploadURL.toString()});
        curl.waitForFinished(60000);
        curlMs += t.nsecsElapsed() / 1000;
    }
    const double oursSecs = oursMs / 1e6;
    const double curlSecs = curlMs / 1e6;
    const double mb = double(count) * smallSize / (1024 * 1024);
    const double ratio = (mb / oursSecs) / (mb / curlSecs);
    std::printf("5 MB uploads x %d: ours %.2f s (%.0f MB/s), curl %.2f s (%.0f MB/s): %.2fx curl\n", count, oursSecs, mb / oursSecs,
                curlSecs, mb / curlSecs, ratio);
    if (ratio < 0.8) {
        std::printf("  BELOW AIM: at least 0.8x curl\n");
        ok = false;
    }

    uploadThread.quit();
    uploadThread.wait();
    server.terminate();
    server.waitForFinished(5000);
    return ok ? 0 : 1;
}
