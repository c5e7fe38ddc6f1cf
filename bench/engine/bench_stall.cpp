// How long the main thread (the one that draws every window) is kept from its event loop while
// the whole engine works on a large library, measured by a 5 ms timer's lateness:
//   1. first scan of N photos (the account empty, uploads not yet allowed);
//   2. refresh of an account that already holds all N, with all of them waiting locally;
//   3. 1,000 uploads with the N records in the catalogue, and the memory they leave in use;
//   4. another account signs in (uploads paused): its listing and every file decided again.
//
//   bench_engine_stall [photos=100000] [uploads=1000]
#include "BenchSupport.h"
#include "LumoraDouble.h"
#include "SyncTestHome.h"

#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "catalogue/FileManager.h"
#include "core/Settings.h"
#include "service/DataStoreLumoraData.h"
#include "sync/EngineLinks.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

// A real little JPEG of random pixels (about 4 KB); every seed gives other content.
QByteArray jpegBytes(quint32 seed)
{
    QRandomGenerator gen(seed);
    QImage img(40, 40, QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, gen.generate());
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "JPG", 95);
    return bytes;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    const timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ::futimens(fd, old);
    ::close(fd);
}

// Lateness of a 5 ms timer on the main thread.
class StallProbe : public QObject
{
public:
    StallProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_late.append(qMax<qint64>(0, now - m_last - 5000000));
            m_last = now;
        });
    }
    void start()
    {
        m_late.clear();
        m_clock.start();
        m_last = m_clock.nsecsElapsed();
        m_timer.start();
    }
    void stopAndReport(const char *what)
    {
        m_timer.stop();
        std::sort(m_late.begin(), m_late.end());
        const double worst = m_late.isEmpty() ? 0 : m_late.last() / 1e6;
        const double p99 = m_late.isEmpty() ? 0 : m_late.at(qMin(m_late.size() - 1, int(m_late.size() * 0.99))) / 1e6;
        const auto over50 = std::count_if(m_late.cbegin(), m_late.cend(), [](qint64 l) { return l > 50000000; });
        std::printf("%-44s worst %8.1f ms   p99 %6.1f ms   stalls over 50 ms: %lld   (%.1f s, %lld ticks)\n", what, worst, p99,
                    qlonglong(over50), m_clock.elapsed() / 1000.0, qlonglong(m_late.size()));
        std::fflush(stdout);
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    QList<qint64> m_late;
};

int countWith(qint16 state)
{
    int n = 0;
    for (FileData *r : DataStore::instance()->allFileData())
        n += !r->isFolder() && r->needsUpload() == state;
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv); // thumbnails of recent uploads are drawn with QtGui
    useThrowAwayHome();
    const int photos = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    const int uploads = argc > 2 ? QByteArray(argv[2]).toInt() : 1000;

    LumoraDouble service;
    if (!service.start())
        return 1;
    service.exportEnvironment();
    service.setTicketPollsToComplete(1);
    const auto [token, secret] = service.issueAccessToken(QString::fromLatin1(LumoraDoubleDefaults::userId));
    signInWithoutNetwork(token, secret);

    QTemporaryDir tree(QDir::tempPath() + QStringLiteral("/hoistly-stall-bench-XXXXXX"));
    const QString library = tree.filePath(QStringLiteral("Library"));
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < photos; ++i) {
        const QString folder = library + QStringLiteral("/Folder %1").arg(i / 1000, 3, 10, QLatin1Char('0'));
        if (i % 1000 == 0)
            QDir().mkpath(folder);
        writeFile(folder + QStringLiteral("/IMG_%1.JPG").arg(i, 6, 10, QLatin1Char('0')), jpegBytes(quint32(i)));
    }
    std::printf("%d photos written in %.1f s\n", photos, t.elapsed() / 1000.0);

    StallProbe probe;

    // 1. First scan.
    probe.start();
    QElapsedTimer scanClock;
    scanClock.start();
    FileManager::addCustomFolder(library);
    LumoraDrive::startup();
    if (!Bench::spinUntil([] { return DataStoreLumoraData::hasCompletedScanThisSession().isValid() && FileManager::hasCompletedScanThisSession()
                                && !FileManager::isRunning(); }, 1800000)) {
        std::fprintf(stderr, "the first scan did not finish\n");
        return 2;
    }
    probe.stopAndReport("first scan");
    std::printf("  first scan took %.1f s\n", scanClock.elapsed() / 1000.0);
    std::printf("  records waiting after the scan: %d\n", countWith(NeedsUpload::Waiting));
    std::printf("  resident memory after the scan: %.1f MB\n", Bench::residentBytes() / 1048576.0);

    // 2. The account turns out to hold every one of them.
    t.restart();
    for (int i = 0; i < photos; ++i) {
        const QByteArray bytes = jpegBytes(quint32(i));
        LumoraDouble::Photo p;
        p.title = QStringLiteral("IMG_%1").arg(i, 6, 10, QLatin1Char('0'));
        p.size = bytes.size();
        p.fileSample = LumoraDouble::contentSampleHex(bytes);
        p.jpegSample = LumoraDouble::contentSampleHex(LumoraDouble::jpegImageData(bytes));
        service.addPhoto(p);
    }
    std::printf("account seeded with %d photos in %.1f s\n", photos, t.elapsed() / 1000.0);
    probe.start();
    DataStoreLumoraData::setCompletedScanThisSession({});
    LumoraDrive::refreshLumoraData();
    if (!Bench::spinUntil([] { return DataStoreLumoraData::hasCompletedScanThisSession().isValid() && !DataStoreLumoraData::isRunning(); },
                   1800000)) {
        std::fprintf(stderr, "the refresh did not finish\n");
        return 2;
    }
    // Marking what the account has may go on after the refresh itself.
    Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
    LumoraUploader::run();
    Bench::spinUntil([] { return !LumoraUploader::isRunning() && LumoraUploader::filesToUpload() == 0; }, 600000);
    probe.stopAndReport("refresh of an account holding them all");
    Bench::spinUntil([] { return false; }, 2000); // the allocator's trim after a refresh runs in the background
    std::printf("  resident memory after the refresh: %.1f MB (%.0f B per record)\n", Bench::residentBytes() / 1048576.0,
                double(Bench::residentBytes()) / DataStore::instance()->fileDataCount());
    std::printf("  records still waiting: %d\n", countWith(NeedsUpload::Waiting));

    // 3. New photos to send, with the whole library in the catalogue.
    const QString fresh = tree.filePath(QStringLiteral("New"));
    QDir().mkpath(fresh);
    for (int i = 0; i < uploads; ++i)
        writeFile(fresh + QStringLiteral("/NEW_%1.JPG").arg(i, 5, 10, QLatin1Char('0')), jpegBytes(quint32(photos + 1 + i)));
    const int before = Settings::intForKey(QStringLiteral("PhotosImported"));
    const qint64 rssBefore = Bench::residentBytes(), heapBefore = Bench::heapBytesInUse(), sqliteBefore = sqlite3_memory_used();
    probe.start();
    t.restart();
    FileManager::addCustomFolder(fresh);
    std::printf("  adding the folder took %.1f ms on the main thread\n", t.nsecsElapsed() / 1e6);
    const bool sent = Bench::spinUntil([&] { return Settings::intForKey(QStringLiteral("PhotosImported")) - before >= uploads
                                             && !LumoraUploader::isRunning(); }, 1800000);
    probe.stopAndReport("uploads with the library in the catalogue");
    std::printf("  %d uploads in %.1f s (%s)\n", Settings::intForKey(QStringLiteral("PhotosImported")) - before, t.elapsed() / 1000.0,
                sent ? "complete" : "INCOMPLETE");
    Bench::spinUntil([] { return false; }, 6000); // queued saves and the journal's copy land
    const int done = qMax(1, Settings::intForKey(QStringLiteral("PhotosImported")) - before);
    // The service double runs in this process and keeps every upload it took (request, photo,
    // ticket): its share is in these figures.
    std::printf("  resident memory: %.1f MB -> %.1f MB (%.1f KB per upload); heap in use %.1f MB -> %.1f MB (%.1f KB per upload)\n",
                rssBefore / 1048576.0, Bench::residentBytes() / 1048576.0, (Bench::residentBytes() - rssBefore) / 1024.0 / done,
                heapBefore / 1048576.0, Bench::heapBytesInUse() / 1048576.0, (Bench::heapBytesInUse() - heapBefore) / 1024.0 / done);
    std::printf("  of which the catalogue's database cache: %.1f MB -> %.1f MB\n", sqliteBefore / 1048576.0, sqlite3_memory_used() / 1048576.0);

    // 4. Another account signs in, as the sign-in window completes it; uploads stay paused, or
    // the whole library would go up to it.
    const QString other = QStringLiteral("lumora-bench-other");
    service.addAccount({other, other, QStringLiteral("Other Account")});
    LumoraDrive::setPausedUntil(QDateTime::currentDateTimeUtc().addYears(1));
    const auto [otherToken, otherSecret] = service.issueAccessToken(other);
    probe.start();
    t.restart();
    signInWithoutNetwork(otherToken, otherSecret, other);
    LumoraDrive::refreshLumoraData();
    // Done once the new account's listing is in and the scanner has decided every folder again
    // (the records themselves are counted after: a walk of them all would be a stall of its own).
    const bool switched = Bench::spinUntil([] { DataStore *store = DataStore::instance();
                                                return !EngineLinks::anotherAccountSignedIn() && DataStoreLumoraData::hasCompletedScanThisSession().isValid()
                                                    && !FileManager::isRunning() && store->foldersToScan().isEmpty() && store->filesToScan().isEmpty(); },
                                            1800000)
        && countWith(NeedsUpload::Waiting) >= photos + uploads;
    probe.stopAndReport("another account signs in");
    std::printf("  every file waiting for the other account after %.1f s (%s)\n", t.elapsed() / 1000.0,
                switched ? "complete" : "INCOMPLETE");

    LumoraDrive::shutdown();
    service.stop();
    return sent && switched ? 0 : 2;
}
