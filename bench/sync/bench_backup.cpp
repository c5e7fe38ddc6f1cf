// Backing up many small photos to the local service double: files per second, and how the time
// divides between the service (network, the double's processing) and the engine's own work,
// beside curl sending the same signed upload requests, one at a time over one kept-alive
// connection, for a second account of the same double in the same run. Then the engine at rest: CPU used and
// timers fired while nothing changes.
//
//   bench_sync_backup [photos=1000] [idle seconds=30] [photos already in the account=0]
//                     [records already in the catalogue=0]
//
// Records already in the catalogue are photos backed up before: real files in a second watched
// folder (made once under the temporary folder and reused by later runs), catalogued as the
// scanner and uploader left them, and held by the engine's account.
#include "BenchSupport.h"
#include "LumoraDouble.h"
#include "SyncTestHome.h"

#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"
#include "sync/UploadTransport.h"

#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "service/DataStoreLumoraData.h"

#include "core/LGLog.h"
#include "core/Settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QEventLoop>
#include <QMutex>
#include <QProcess>
#include <QTimer>
#include <QTimerEvent>
#include <QBuffer>
#include <QSaveFile>
#include <atomic>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

std::atomic<qint64> g_serviceNs{0};

// Times every call the upload loop makes to the service.
// Each kind of service call: how often and how long.
struct CallStats
{
    const char *name;
    qint64 count = 0;
    qint64 ns = 0;
};
QMutex g_callsLock;
CallStats g_calls[] = {{"upload"}, {"ticket checks"}, {"look-ups by sample"}, {"account checks"}, {"album look-ups"}};

class TimedTransport : public UploadTransport
{
public:
    explicit TimedTransport(std::unique_ptr<UploadTransport> inner) : m(std::move(inner)) {}
    template<typename F> auto timed(int op, F f)
    {
        QElapsedTimer t;
        t.start();
        auto r = f();
        const qint64 ns = t.nsecsElapsed();
        QMutexLocker locker(&g_callsLock);
        // Ticket checks mostly run beside the sends: their time is not the loop's.
        if (op != 1)
            g_serviceNs += ns;
        g_calls[op].count += 1;
        g_calls[op].ns += ns;
        return r;
    }
    UploadReply upload(const UploadRequest &r, const std::function<void(qint64, qint64)> &p, const std::atomic_bool &c) override
    {
        return timed(0, [&] { return m->upload(r, p, c); });
    }
    bool checkTickets(const QStringList &ids, QList<TicketResult> *res, QString *e) override
    {
        return timed(1, [&] { return m->checkTickets(ids, res, e); });
    }
    bool findPhotoWithSamples(const ContentSample &a, const ContentSample &b, QString *id) override
    {
        return timed(2, [&] { return m->findPhotoWithSamples(a, b, id); });
    }
    int prepareUser() override { return timed(3, [&] { return m->prepareUser(); }); }
    bool findAlbum(const QString &t, QString *id) override { return timed(4, [&] { return m->findAlbum(t, id); }); }

private:
    std::unique_ptr<UploadTransport> m;
};

class CountingApp : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;
    bool counting = false;
    QHash<QString, int> timers;
    bool notify(QObject *o, QEvent *e) override
    {
        if (counting && e->type() == QEvent::Timer)
            ++timers[QString::fromLatin1(o->metaObject()->className()) + QLatin1Char('/') + o->objectName()];
        return QCoreApplication::notify(o, e);
    }
};

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU of the double's threads (named after it), so far: what the process used beyond it is ours.
double doubleCpuSeconds()
{
    double total = 0;
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tasks) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(tid));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "lumora-double")
            continue;
        QFile stat(QStringLiteral("/proc/self/task/%1/schedstat").arg(tid));
        if (stat.open(QIODevice::ReadOnly))
            total += stat.readAll().split(' ').value(0).toLongLong() / 1e9;
    }
    return total;
}

// The reference: curl, sending the same signed upload requests (OAuth 1.0, HMAC-SHA1, with the
// double's own helpers) one after another over one kept-alive connection. The bodies are built
// beforehand, so its time is the wire's and the double's alone.
struct ReferenceResult
{
    int sent = 0;
    int accepted = 0;
    double seconds = 0;
    bool oneConnection = false;
    double doubleCpu = 0; // the double's threads, serving curl
};

ReferenceResult runReference(LumoraDouble &service, const QStringList &paths, int run, int seeded)
{
    // An account of its own for each run, with albums for the folders, so that every run sends
    // into existing albums.
    const QString user = QStringLiteral("lumora-9988776%1").arg(run);
    service.addAccount({user, QStringLiteral("reference%1").arg(run), QStringLiteral("Reference Client"), 0});
    // As many photos already in it as the engine's account holds.
    QList<LumoraDouble::Photo> held;
    for (int i = 0; i < seeded; ++i) {
        LumoraDouble::Photo p;
        p.ownerId = user;
        p.title = QStringLiteral("seeded %1").arg(i);
        p.size = 100000 + i;
        p.fileSample = QString::fromLatin1(QByteArray::number(quint64(run + 1) << 40 | quint64(i), 16).rightJustified(32, '0'));
        held << p;
    }
    if (seeded > 0)
        service.addPhotos(std::move(held));
    QStringList albumIds;
    for (int f = 0; f < 10; ++f) {
        LumoraDouble::Album album;
        album.ownerId = user;
        album.title = QStringLiteral("Folder%1").arg(f);
        albumIds << service.addAlbum(album);
    }
    const auto [token, tokenSecret] = service.issueAccessToken(user);
    const QString url = service.baseUrl() + QStringLiteral("/services/upload/");
    QTemporaryDir bodies;
    QByteArray config;
    for (int i = 0; i < paths.size(); ++i) {
        const QString &path = paths.at(i);
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray content = f.readAll();
        QList<std::pair<QString, QString>> params{
            {QStringLiteral("title"), QFileInfo(path).completeBaseName()},
            {QStringLiteral("is_public"), QStringLiteral("0")},
            {QStringLiteral("is_friend"), QStringLiteral("0")},
            {QStringLiteral("is_family"), QStringLiteral("0")},
            {QStringLiteral("async"), QStringLiteral("1")},
            {QStringLiteral("photoset_id"), albumIds.at(i % albumIds.size())},
            {QStringLiteral("oauth_consumer_key"), service.apiKey()},
            {QStringLiteral("oauth_nonce"), QStringLiteral("ref%1x%2").arg(i).arg(QDateTime::currentMSecsSinceEpoch())},
            {QStringLiteral("oauth_signature_method"), QStringLiteral("HMAC-SHA1")},
            {QStringLiteral("oauth_timestamp"), QString::number(QDateTime::currentSecsSinceEpoch())},
            {QStringLiteral("oauth_version"), QStringLiteral("1.0")},
            {QStringLiteral("oauth_token"), token},
        };
        params << std::pair{QStringLiteral("oauth_signature"),
                            LumoraDouble::oauthSignature(LumoraDouble::oauthBaseString(QStringLiteral("POST"), url, params),
                                                         service.apiSecret(), tokenSecret)};
        const QByteArray boundary = "----ReferenceBoundary" + QByteArray::number(i);
        QByteArray body;
        for (const auto &p : params)
            body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + p.first.toUtf8() + "\"\r\n\r\n" + p.second.toUtf8() + "\r\n";
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"" + QFileInfo(path).fileName().toUtf8()
            + "\"\r\nContent-Type: image/jpeg\r\n\r\n" + content + "\r\n--" + boundary + "--\r\n";
        const QString bodyPath = bodies.filePath(QString::number(i));
        QFile out(bodyPath);
        if (!out.open(QIODevice::WriteOnly) || out.write(body) != body.size())
            continue;
        if (!config.isEmpty())
            config += "next\n";
        config += "url = \"" + url.toUtf8() + "\"\n";
        config += "header = \"Content-Type: multipart/form-data; boundary=" + boundary + "\"\n";
        config += "header = \"Expect:\"\n";
        config += "data-binary = \"@" + bodyPath.toUtf8() + "\"\n";
        config += "silent\nwrite-out = \"[%{num_connects}]\"\n"; // each request's options stand alone
    }
    const QString configPath = bodies.filePath(QStringLiteral("curl.config"));
    QFile cf(configPath);
    if (!cf.open(QIODevice::WriteOnly) || cf.write(config) != config.size())
        return {};
    cf.close();
    ReferenceResult result;
    result.sent = int(config.count("url = "));
    QProcess curl;
    QElapsedTimer wall;
    const double doubleCpuBefore = doubleCpuSeconds();
    wall.start();
    curl.start(QStringLiteral("curl"), {QStringLiteral("--config"), configPath});
    curl.waitForFinished(-1);
    result.seconds = wall.nsecsElapsed() / 1e9;
    result.doubleCpu = doubleCpuSeconds() - doubleCpuBefore;
    const QByteArray output = curl.readAllStandardOutput();
    result.accepted = int(output.count("<ticketid>"));
    // One connection made for the first request, none after: every later one went over it.
    result.oneConnection = output.count("[1]") == 1 && output.count("[0]") == result.sent - 1;
    return result;
}


// A photo of the library backed up before: its file, as the scanner would have found it.
struct LibraryPhoto
{
    QString path;
    qint64 size = 0;
    qint64 mtimeMs = 0;
    ContentSample whole, jpeg;
};

constexpr int kLibraryFolders = 100;

QString libraryFilePath(const QString &root, int i)
{
    return root + QStringLiteral("/Folder%1/IMG_%2.JPG").arg(i % kLibraryFolders, 3, 10, QLatin1Char('0')).arg(i, 6, 10, QLatin1Char('0'));
}

// Files whose listed size and date no longer match are made again: a cache left half-made or
// touched since must not pass for the catalogue's files.
QList<LibraryPhoto> readLibraryManifest(const QString &root, int records)
{
    QFile f(root + QStringLiteral("/manifest.txt"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QList<LibraryPhoto> photos;
    photos.reserve(records);
    while (!f.atEnd()) {
        const QList<QByteArray> fields = f.readLine().trimmed().split('\t');
        if (fields.size() != 4)
            return {};
        LibraryPhoto p;
        p.path = libraryFilePath(root, int(photos.size()));
        p.size = fields[0].toLongLong();
        p.mtimeMs = fields[1].toLongLong();
        p.whole = ContentSample::fromHex(QString::fromLatin1(fields[2]));
        p.jpeg = ContentSample::fromHex(QString::fromLatin1(fields[3]));
        photos << p;
    }
    if (photos.size() != records)
        return {};
    for (int i = 0; i < records; i += 997) {
        const QFileInfo info(photos.at(i).path);
        if (info.size() != photos.at(i).size || info.lastModified().toMSecsSinceEpoch() != photos.at(i).mtimeMs)
            return {};
    }
    return photos;
}

// `records` small distinct JPEGs in kLibraryFolders folders, each with its samples; made on
// three threads (the machine is shared) unless an earlier run left them.
QList<LibraryPhoto> libraryOnDisk(const QString &root, int records, bool *made)
{
    *made = false;
    QList<LibraryPhoto> photos = readLibraryManifest(root, records);
    if (!photos.isEmpty())
        return photos;
    *made = true;
    QDir(root).removeRecursively();
    for (int f = 0; f < kLibraryFolders; ++f)
        QDir().mkpath(root + QStringLiteral("/Folder%1").arg(f, 3, 10, QLatin1Char('0')));
    photos.resize(records);
    std::atomic_bool failed{false};
    auto make = [&](int first, int step) {
        for (int i = first; i < records; i += step) {
            QRandomGenerator rng(quint32(1000 + i));
            QImage img(48, 48, QImage::Format_RGB32);
            for (int y = 0; y < 48; ++y)
                for (int x = 0; x < 48; ++x)
                    img.setPixel(x, y, rng.generate());
            QByteArray jpeg;
            QBuffer buffer(&jpeg);
            buffer.open(QIODevice::WriteOnly);
            img.save(&buffer, "JPG", 95);
            LibraryPhoto &p = photos[i];
            p.path = libraryFilePath(root, i);
            p.mtimeMs = QDateTime(QDate(2012, 1, 1), QTime(0, 0), Qt::UTC).addSecs(qint64(i) * 600).toMSecsSinceEpoch();
            QFile out(p.path);
            if (!out.open(QIODevice::WriteOnly) || out.write(jpeg) != jpeg.size()) {
                failed = true;
                return;
            }
            out.close();
            const timespec times[2] = {{p.mtimeMs / 1000, 0}, {p.mtimeMs / 1000, 0}};
            if (::utimensat(AT_FDCWD, QFile::encodeName(p.path).constData(), times, 0) != 0) {
                failed = true;
                return;
            }
            const ContentSampler::FileSamples samples = ContentSampler::sampleFile(p.path);
            p.size = samples.size;
            p.whole = samples.whole;
            p.jpeg = samples.jpegData;
            if (p.whole.isNull() || p.jpeg.isNull()) {
                failed = true;
                return;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back(make, t, 3);
    for (std::thread &t : threads)
        t.join();
    if (failed)
        return {};
    QSaveFile manifest(root + QStringLiteral("/manifest.txt"));
    if (!manifest.open(QIODevice::WriteOnly))
        return {};
    for (const LibraryPhoto &p : std::as_const(photos))
        manifest.write(QByteArray::number(p.size) + '\t' + QByteArray::number(p.mtimeMs) + '\t' + p.whole.hex().toLatin1() + '\t'
                       + p.jpeg.hex().toLatin1() + '\n');
    return manifest.commit() ? photos : QList<LibraryPhoto>{};
}

// The catalogue as an earlier session left it: the library's folders listed and counted, every
// photo sampled, uploaded and known by its photo id on the service.
bool catalogueLibrary(const QString &root, const QList<LibraryPhoto> &photos, const QStringList &photoIds)
{
    DataStore *store = DataStore::instance();
    if (!store->isOpen() || photoIds.size() != photos.size())
        return false;
    FileData *rootRecord = store->createFileData(root, true);
    rootRecord->addFlag(FileFlags::ChildrenListed);
    for (int f = 0; f < kLibraryFolders; ++f)
        store->createFileData(root + QStringLiteral("/Folder%1").arg(f, 3, 10, QLatin1Char('0')), true)->addFlag(FileFlags::ChildrenListed);
    for (qsizetype i = 0; i < photos.size(); ++i) {
        const LibraryPhoto &p = photos.at(i);
        FileData *r = store->createFileData(p.path, false);
        r->setMediaKind(MediaKind::Photo);
        r->setFileSize(p.size);
        r->setDateModified(QDateTime::fromMSecsSinceEpoch(p.mtimeMs, Qt::UTC));
        r->setDateTaken(QDateTime::fromMSecsSinceEpoch(p.mtimeMs, Qt::UTC));
        r->setSample(p.whole);
        r->setJpegSample(p.jpeg);
        r->addFlag(FileFlags::Sampled);
        r->setUploadedRemoteId(photoIds.at(i).toLongLong());
        r->setNeedsUpload(NeedsUpload::Uploaded);
    }
    rootRecord->loadRecursiveCounts();
    return DataStore::save();
}

// What the backup must have left alone: every library record still uploaded as the same photo,
// none found missing. Answers the first record that is not, or an empty string.
QString changedLibraryRecord(const QList<LibraryPhoto> &photos, const QStringList &photoIds)
{
    DataStore *store = DataStore::instance();
    for (qsizetype i = 0; i < photos.size(); ++i) {
        const FileData *r = store->fileDataForPathKey(photos.at(i).path);
        if (!r || r->needsUpload() != NeedsUpload::Uploaded || r->uploadedRemoteId() != photoIds.at(i).toLongLong() || r->isMissingOnDisk()
            || r->needsScan() != NeedsScan::Done)
            return photos.at(i).path;
    }
    return {};
}

// Runs the event loop for `ms`, nothing else.
void idleFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    CountingApp app(argc, argv);
    useThrowAwayHome();
    LGLog::setEchoToStderr(qEnvironmentVariableIsSet("HOISTLY_TEST_ECHO_LOG"));
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const int idleSeconds = argc > 2 ? QByteArray(argv[2]).toInt() : 30;
    const int seeded = argc > 3 ? QByteArray(argv[3]).toInt() : 0;
    const int records = argc > 4 ? QByteArray(argv[4]).toInt() : 0;

    LumoraDouble service;
    if (!service.start())
        return 1;
    service.exportEnvironment();
    service.setTicketPollsToComplete(1);
    if (seeded > 0) {
        QElapsedTimer seeding;
        seeding.start();
        service.seedPhotos(seeded);
        printf("account seeded with %d photos (with checksums) in %.2f s\n", seeded, seeding.nsecsElapsed() / 1e9);
    }
    const auto [token, secret] = service.issueAccessToken(QString::fromLatin1(LumoraDoubleDefaults::userId));
    signInWithoutNetwork(token, secret);

    // The library backed up before: its files, the account's photos of them, and the catalogue
    // saved, closed and loaded again as a launch loads it. The reference runs' accounts hold as
    // many photos of their own (see runReference), so that no side meets a smaller account.
    const QString libraryRoot = QDir::tempPath() + QStringLiteral("/hoistly-bench-library-%1").arg(records);
    QList<LibraryPhoto> library;
    QStringList libraryIds;
    if (records > 0) {
        QElapsedTimer t;
        t.start();
        bool made = false;
        library = libraryOnDisk(libraryRoot, records, &made);
        if (library.isEmpty()) {
            fprintf(stderr, "BROKEN: the library's files could not be made in %s\n", qPrintable(libraryRoot));
            return 3;
        }
        printf("catalogue: %d files of photos backed up before %s %s in %.2f s\n", records, made ? "made in" : "found in",
               qPrintable(libraryRoot), t.nsecsElapsed() / 1e9);
        t.restart();
        QList<LumoraDouble::Photo> held;
        held.reserve(records);
        for (const LibraryPhoto &p : std::as_const(library)) {
            LumoraDouble::Photo photo;
            photo.title = QFileInfo(p.path).completeBaseName();
            photo.size = p.size;
            photo.dateTaken = QDateTime::fromMSecsSinceEpoch(p.mtimeMs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            photo.fileSample = p.whole.hex();
            photo.jpegSample = p.jpeg.hex();
            held << photo;
        }
        libraryIds = service.addPhotos(std::move(held));
        printf("  the account given those photos in %.2f s\n", t.nsecsElapsed() / 1e9);
        t.restart();
        if (!catalogueLibrary(libraryRoot, library, libraryIds)) {
            fprintf(stderr, "BROKEN: the catalogue could not be seeded\n");
            return 3;
        }
        printf("  catalogue seeded (records made and saved) in %.2f s\n", t.nsecsElapsed() / 1e9);
        DataStore::shutdown();
        t.restart();
        const qsizetype loaded = DataStore::instance()->fileDataCount();
        printf("  catalogue loaded: %lld records in %.2f s\n", qlonglong(loaded), t.nsecsElapsed() / 1e9);
        FileManager::addCustomFolder(libraryRoot);
    }

    // Photos in ten folders (ten albums), each a small distinct JPEG with a date taken.
    QTemporaryDir files;
    QStringList folders;
    for (int f = 0; f < 10; ++f) {
        folders << files.filePath(QStringLiteral("Folder%1").arg(f));
        QDir().mkpath(folders.last());
    }
    QRandomGenerator rng(7);
    for (int i = 0; i < count; ++i) {
        // Large enough to be sampled (smaller files are never sent).
        QImage img(48, 48, QImage::Format_RGB32);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 48; ++x)
                img.setPixel(x, y, rng.generate());
        const QString path = folders.at(i % 10) + QStringLiteral("/p%1.jpg").arg(i, 5, 10, QLatin1Char('0'));
        img.save(path, "JPG", 95);
        auto image = Exiv2::ImageFactory::open(path.toStdString());
        image->readMetadata();
        image->exifData()["Exif.Photo.DateTimeOriginal"] =
            QDateTime(QDate(2010, 1, 1), QTime(0, 0)).addSecs(i * 3600).toString("yyyy:MM:dd HH:mm:ss").toStdString();
        image->writeMetadata();
    }

    QStringList allPaths;
    for (int i = 0; i < count; ++i)
        allPaths << folders.at(i % 10) + QStringLiteral("/p%1.jpg").arg(i, 5, 10, QLatin1Char('0'));

    // The reference runs before and after the engine: the double holds more photos for the later
    // runs, and the machine's pace drifts, so the engine is set against the mean of both.
    // curl's account holds as many photos as the engine's: the library's and the seeded ones.
    const ReferenceResult ref = runReference(service, allPaths, 0, seeded + records);
    printf("curl, before: %d of %d uploads accepted in %.2f s%s: %.1f files/s (the double's threads: %.2f s of CPU)\n", ref.accepted,
           ref.sent, ref.seconds, ref.oneConnection ? " over one connection" : " (NOT over one connection)", ref.accepted / ref.seconds, ref.doubleCpu);

    UploadTransports::setFactoryForTesting([] { return std::make_unique<TimedTransport>(UploadTransports::createServiceTransport()); });
    for (const QString &f : folders)
        FileManager::addCustomFolder(f);
    LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
    LumoraDrive::startup();
    QElapsedTimer scan;
    scan.start();
    if (!Bench::spinUntil([] { return DataStoreLumoraData::hasCompletedScanThisSession().isValid() && FileManager::hasCompletedScanThisSession()
                                && !FileManager::isRunning(); }, 600000)) {
        fprintf(stderr, "scan did not finish\n");
        return 1;
    }
    const double scanSeconds = scan.nsecsElapsed() / 1e9;
    // Albums for the new photos' folders only: the library's photos are not sent again.
    for (FileData *r : DataStore::instance()->allFileData())
        if (r->isFolder() && r->fileFullPath().startsWith(files.path() + QLatin1Char('/')))
            r->setAlbumMode(2);
    Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
    if (const QString changed = changedLibraryRecord(library, libraryIds); !changed.isEmpty()) {
        printf("BROKEN: the scan changed the record of %s, backed up before\n", qPrintable(changed));
        return 3;
    }

    printf("scan complete in %.2f s; backing up\n", scanSeconds);
    fflush(stdout); // a profiler may be attached from here
    const double cpuBefore = cpuSeconds();
    const double doubleCpuBefore = doubleCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    g_serviceNs = 0;
    LumoraUploader::run();
    const bool finished = Bench::spinUntil([count] { return Settings::intForKey(QStringLiteral("PhotosImported")) >= count
                                                     && !LumoraUploader::isRunning(); }, 1800000, 2);
    const double seconds = wall.nsecsElapsed() / 1e9;
    const double service_s = g_serviceNs / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    const double doubleCpu = doubleCpuSeconds() - doubleCpuBefore;
    printf("backup: %d photos in %.2f s (%s): %.1f files/s\n", Settings::intForKey(QStringLiteral("PhotosImported")), seconds,
           finished ? "complete" : "INCOMPLETE", Settings::intForKey(QStringLiteral("PhotosImported")) / seconds);
    fflush(stdout); // a profiler attached for the backup may be detached here
    printf("  in the loop's service calls, ticket checks aside (network and the double's work): %.2f s (%.0f%%)\n", service_s, 100 * service_s / seconds);
    for (const CallStats &c : g_calls)
        if (c.count)
            printf("    %-20s %6lld calls, %.3f ms each\n", c.name, qlonglong(c.count), c.ns / 1e6 / double(c.count));
    printf("  engine's own share of the time: %.0f%%\n", 100 * (seconds - service_s) / seconds);
    printf("  process CPU during the backup (engine + in-process double): %.2f s\n", cpu);
    printf("  uploads seen by the double: %lld, albums: %lld\n", qlonglong(service.uploads().size()), qlonglong(service.albums().size()));
    // Exactly the new photos went, each once; nothing backed up before went again.
    QStringList broken, sentAgain;
    QSet<QString> sent;
    int sends = 0;
    for (const LumoraDouble::Upload &u : service.uploads()) {
        if (u.args.value(QStringLiteral("oauth_token")) != token)
            continue;
        ++sends;
        if (!u.fileName.startsWith(QLatin1Char('p')) || sent.contains(u.fileName))
            sentAgain << u.fileName;
        sent.insert(u.fileName);
    }
    if (!sentAgain.isEmpty())
        broken << QStringLiteral("%1 sent again, backed up before or twice (%2)").arg(sentAgain.size()).arg(sentAgain.mid(0, 5).join(QLatin1String(", ")));
    if (sends != count)
        broken << QStringLiteral("%1 uploads for %2 new photos").arg(sends).arg(count);
    if (Settings::intForKey(QStringLiteral("PhotosImported")) != count)
        broken << QStringLiteral("%1 photos counted as uploaded, not %2").arg(Settings::intForKey(QStringLiteral("PhotosImported"))).arg(count);
    if (const QString changed = changedLibraryRecord(library, libraryIds); !changed.isEmpty())
        broken << QStringLiteral("the record of %1, backed up before, changed").arg(changed);
    for (const QString &b : std::as_const(broken))
        printf("BROKEN: %s\n", qPrintable(b));
    const double engineRate = Settings::intForKey(QStringLiteral("PhotosImported")) / seconds;
    const ReferenceResult after = runReference(service, allPaths, 1, seeded + records);
    printf("curl, after: %d of %d uploads accepted in %.2f s%s: %.1f files/s (the double's threads: %.2f s of CPU)\n", after.accepted,
           after.sent, after.seconds, after.oneConnection ? " over one connection" : " (NOT over one connection)", after.accepted / after.seconds,
           after.doubleCpu);
    const double refRate = (ref.accepted / ref.seconds + after.accepted / after.seconds) / 2;
    printf("engine vs curl (same double, same run, mean of both): %.1f vs %.1f files/s = %.2fx\n", engineRate, refRate, engineRate / refRate);
    const int imported = Settings::intForKey(QStringLiteral("PhotosImported"));
    // Every call to the double (the sends, the ticket checks, the look-ups) is served by its own
    // threads: the rest of the process's CPU is the engine's.
    printf("  the double's threads: %.2f s of CPU; the engine's own CPU per photo (all its threads): %.2f ms\n", doubleCpu,
           1000 * (cpu - doubleCpu) / qMax(1, imported));
    // At rest: nothing changes for a while.
    app.counting = true;
    const double idleCpuBefore = cpuSeconds();
    idleFor(idleSeconds * 1000);
    app.counting = false;
    printf("idle %d s: CPU %.3f s\n", idleSeconds, cpuSeconds() - idleCpuBefore);
    int total = 0;
    for (auto it = app.timers.cbegin(); it != app.timers.cend(); ++it) {
        printf("  timer events on %s: %d\n", qPrintable(it.key()), it.value());
        total += it.value();
    }
    printf("  timer events in total: %d\n", total);
    LumoraDrive::shutdown();
    service.stop();
    return !broken.isEmpty() ? 3 : finished ? 0 : 2;
}
