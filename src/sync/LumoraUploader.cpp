#include "LumoraUploader.h"

#include <QHash>

#include "EngineLinks.h"
#include "LumoraDrive.h"
#include "NotificationManager.h"
#include "UploadTransport.h"

#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "catalogue/FileManager.h"
#include "catalogue/MediaInspector.h"

#include "core/Digest.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QWaitCondition>
#include <algorithm>
#include <atomic>

namespace {

constexpr int kDefaultMaxTickets = 10;
constexpr int kFailuresBeforePause = 6;
constexpr int kFailuresPerFile = 3;
constexpr int kDeferredResetMs = 600 * 1000;
constexpr int kMaxRecentUploads = 10;
constexpr int kThumbnailPixels = 112;
const QString kRecentUploadsKey = QStringLiteral("RecentUploads");
const QString kBackfillKey = QStringLiteral("ChecksumBackfillVerified");

struct PendingTicket
{
    qint64 fileId = 0;
    qint64 seq = 0;        // issue order: completions are bookkept in the order files were sent
    qint64 startedMs = 0;  // wall clock when the ticket was issued (0: from an earlier run)
    double uploadSeconds = 0;
};

struct UploaderState
{
    QMutex lock;
    QWaitCondition wake;          // waits of the loop (busy server, tickets) end early on this

    // Guarded by lock.
    bool running = false;
    bool runAgain = false;
    bool stopRequested = false;
    bool cleanupRequested = false;
    bool pausedDueToErrors = false;
    bool accountFull = false;
    QDateTime serverBusyUntil;
    qint64 currentFileId = 0;
    QString currentName;
    double progress = 0;
    int uploadedThisRun = 0;
    int consecutiveFailures = 0;
    int maxTickets = kDefaultMaxTickets;
    QHash<QString, PendingTicket> tickets;
    qint64 ticketSeq = 0;
    QHash<qint64, int> failuresPerFile;
    double busyClamp = -1;        // tests: cap on a server-requested wait

    std::atomic_bool cancelCurrent { false };
    std::atomic_int filesToUpload { 0 };
    std::atomic_bool backfillPolling { false };
    std::atomic_int generation { 0 };

    std::unique_ptr<UploadTransport> transport;
    QPointer<QTimer> deferredTimer;
};

UploaderState &state()
{
    static UploaderState s;
    return s;
}

// One field of the shared state, read under its lock.
template <typename T>
T lockedValue(T UploaderState::*field)
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    return s.*field;
}

UploadTransport *transport()
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    if (!s.transport)
        s.transport = UploadTransports::create();
    return s.transport.get();
}

// ---- Catalogue helpers (main thread) ---------------------------------------------------------

// Is the file still meant to be uploaded: inside a source, and no folder above it excluded.
bool isSelected(FileData *record)
{
    if (!record || !FileManager::isPathInSources(record->fileFullPath()))
        return false;
    for (FileData *p = record->parent(); p; p = p->parent()) {
        if (p->excludedFromScan())
            return false;
    }
    return true;
}

// The folder whose album a file goes to: its own folder, unless a folder further up takes the
// photos of its subfolders into its album.
FileData *albumFolderFor(FileData *record)
{
    FileData *folder = record->parent();
    if (!folder)
        return nullptr;
    for (FileData *p = folder->parent(); p; p = p->parent()) {
        if (p->albumIncludesSubfolders() && p->albumMode() != 0) {
            folder = p;
        }
    }
    return folder;
}

QString albumNameFor(FileData *folder)
{
    if (!folder || folder->albumMode() == 0)
        return QString();
    if (!folder->albumName().isEmpty())
        return folder->albumName();
    if (folder->albumMode() == -2)
        return folder->displayName();
    return folder->defaultAlbumName();
}

bool lessForUpload(const FileData *a, const FileData *b)
{
    // Oldest date taken first; files without one go last. Then path, then date modified.
    const qint64 ta = a->dateTakenMs() ? a->dateTakenMs() : std::numeric_limits<qint64>::max();
    const qint64 tb = b->dateTakenMs() ? b->dateTakenMs() : std::numeric_limits<qint64>::max();
    if (ta != tb)
        return ta < tb;
    if (a->fileFullPath() != b->fileFullPath())
        return a->fileFullPath() < b->fileFullPath();
    return a->dateModifiedMs() < b->dateModifiedMs();
}

void storeCount(int count)
{
    state().filesToUpload = count;
}

// The counters that usage metrics read; written when the list is rebuilt, not for every file.
void persistCount()
{
    const int count = state().filesToUpload.load();
    if (Settings::intForKey(QStringLiteral("filesToUpload")) != count)
        Settings::setInt(count, QStringLiteral("filesToUpload"));
    if (count > Settings::intForKey(QStringLiteral("filesToUploadMax")))
        Settings::setInt(count, QStringLiteral("filesToUploadMax"));
}

// Waiting files in upload order; drops the deselected ones when asked (main thread).
QList<qint64> buildUploadList(bool cleanup)
{
    DataStore *store = DataStore::instance();
    QList<FileData *> waiting;
    if (store && store->isOpen()) {
        waiting = store->fetchFileData([](const FileData *r) {
            return !r->isFolder() && r->needsUpload() == NeedsUpload::Waiting;
        });
    }
    if (cleanup) {
        int dropped = 0;
        waiting.erase(std::remove_if(waiting.begin(), waiting.end(), [&dropped](FileData *r) {
                          if (isSelected(r))
                              return false;
                          r->setNeedsUpload(NeedsUpload::NotSelected);
                          r->notifyParentsOfStatusChanged();
                          ++dropped;
                          return true;
                      }),
                      waiting.end());
        if (dropped) {
            LGLogInfo(QStringLiteral("UPLOADER: Dropped %1 files no longer selected").arg(dropped));
            DataStore::queueSave();
        }
    }
    std::sort(waiting.begin(), waiting.end(), lessForUpload);
    QList<qint64> ids;
    ids.reserve(waiting.size());
    for (FileData *r : waiting)
        ids.append(r->fileID());
    storeCount(int(ids.size()));
    persistCount();
    return ids;
}

QString thumbnailPathFor(const QString &path)
{
    const QString folder = StandardPaths::lumoraSubfolder(QStringLiteral("RecentlyUploadedThumbs"));
    if (folder.isEmpty())
        return QString();
    return folder + QLatin1Char('/') + Digest::md5Hex(path.toLower().toUtf8()) + QStringLiteral(".jpg");
}

// A small thumbnail, decoded at reduced size where the format allows it (off the main thread).
bool writeThumbnail(const QString &source, const QString &target)
{
    if (target.isEmpty())
        return false;
    QImageReader reader(source);
    reader.setAutoTransform(true);
    const QSize full = reader.size();
    if (full.isValid()) {
        const QSize scaled = full.scaled(kThumbnailPixels * 2, kThumbnailPixels * 2, Qt::KeepAspectRatioByExpanding);
        if (scaled.width() < full.width())
            reader.setScaledSize(scaled);
    }
    QImage image = reader.read();
    if (image.isNull())
        image = MediaInspector::videoFirstFrame(source, kThumbnailPixels * 2); // a video: its first frame
    if (image.isNull())
        return false;
    image = image.scaled(kThumbnailPixels, kThumbnailPixels, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    const int x = (image.width() - kThumbnailPixels) / 2;
    const int y = (image.height() - kThumbnailPixels) / 2;
    image = image.copy(x, y, kThumbnailPixels, kThumbnailPixels);
    return image.save(target, "JPG", 85);
}

void addRecentUpload(const QString &path)
{
    // Main thread.
    QStringList list = LumoraUploader::recentUploads();
    list.removeAll(path);
    list.prepend(path);
    while (list.size() > kMaxRecentUploads) {
        const QString dropped = list.takeLast();
        if (!list.contains(dropped))
            QFile::remove(thumbnailPathFor(dropped));
    }
    Settings::setObject(list, kRecentUploadsKey);
    // The thumbnail is decoded off the main thread; the grid is told again once it exists.
    dispatch_background_queue_async([path] {
        if (writeThumbnail(path, thumbnailPathFor(path)))
            NotificationCenter::postOnMain(Notifications::RecentlyUploadedChanged);
    });
    NotificationCenter::postOnMain(Notifications::RecentlyUploadedChanged);
}

// ---- Loop helpers (loop thread) --------------------------------------------------------------

bool waitFor(double seconds)
{
    // Interruptible wait; false when the loop was asked to stop meanwhile.
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    if (s.stopRequested)
        return false;
    s.wake.wait(&s.lock, QDeadlineTimer(qint64(seconds * 1000)));
    return !s.stopRequested;
}

// Why the loop must not go on ("" to go on). Evaluated on the main thread.
QString holdReason(bool starting)
{
    UploaderState &s = state();
    {
        QMutexLocker locker(&s.lock);
        if (s.stopRequested)
            return QStringLiteral("stopped");
        if (s.pausedDueToErrors)
            return QStringLiteral("paused after errors");
        if (s.accountFull)
            return QStringLiteral("account full");
    }
    if (LumoraDrive::paused())
        return QStringLiteral("paused");
    if (DataStore *store = DataStore::instance(); !store->isOpen() || store->savesFailing())
        return QStringLiteral("catalogue cannot be saved");
    if (!EngineLinks::isSignedIn())
        return QStringLiteral("signed out");
    if (!EngineLinks::mirrorCompletedThisSession() || EngineLinks::mirrorRunning())
        return QStringLiteral("service listing not complete");
    if (!FileManager::hasCompletedScanThisSession() || FileManager::isRunning())
        return QStringLiteral("scan not complete");
    if (starting && !EngineLinks::onboardingComplete())
        return QStringLiteral("onboarding not complete");
    if (UiHooks::instance().isSystemSleeping())
        return QStringLiteral("system sleeping");
    if (UiHooks::instance().quitScreenOpen())
        return QStringLiteral("quit confirmation open");
    return QString();
}

QString holdReasonOnMain(bool starting)
{
    QString reason;
    dispatch_main_sync([&reason, starting] { reason = holdReason(starting); });
    return reason;
}

void postUploadedCount()
{
    NotificationCenter::post(Notifications::PhotoUploadedCountChanged);
}

// Bookkeeping of a photo the service confirmed (main thread).
void completeFile(qint64 fileId, const QString &photoId, const QString &albumId, double uploadSeconds,
                  qint64 processingStartedMs, const QHash<ContentSample, QList<qint64>> *bySample)
{
    DataStore *store = DataStore::instance();
    FileData *record = store ? store->fileDataForId(fileId) : nullptr;
    if (!record)
        return;
    const qint64 pid = photoId.toLongLong();
    record->setUploadedRemoteId(pid);
    record->setUploadTicket(QString());
    record->setNeedsUpload(NeedsUpload::Uploaded);
    record->notifyParentsOfStatusChanged();

    if (FileData *folder = albumFolderFor(record)) {
        const qint64 setId = albumId.toLongLong();
        if (setId != 0 && folder->lumoraSetId() != setId)
            folder->setLumoraSetId(setId);
        EngineLinks::recordAlbumMembership(folder, record, albumId);
    }
    EngineLinks::registerUploadedFile(record);

    // Records with the same content (copies in other folders) are on the service now too.
    int copies = 0;
    auto markCopies = [&](const ContentSample &sample) {
        if (sample.isNull())
            return;
        QList<qint64> ids;
        if (bySample) {
            ids = bySample->value(sample);
        } else {
            const QList<FileData *> same = store->fetchFileData([&sample](const FileData *r) {
                return !r->isFolder() && (r->sample() == sample || r->jpegSample() == sample);
            });
            for (FileData *r : same)
                ids.append(r->fileID());
        }
        for (qint64 id : ids) {
            FileData *other = store->fileDataForId(id);
            if (!other || other == record)
                continue;
            const qint16 code = other->needsUpload();
            if (code == NeedsUpload::Waiting || code == NeedsUpload::Deferred || code == NeedsUpload::NotSelected) {
                other->setUploadedRemoteId(pid);
                other->setNeedsUpload(NeedsUpload::Uploaded);
                other->notifyParentsOfStatusChanged();
                ++copies;
            }
        }
    };
    markCopies(record->sample());
    markCopies(record->jpegSample());
    if (copies)
        LGLogInfo(QStringLiteral("UPLOADER: %1 other copies of %2 marked uploaded").arg(copies).arg(record->fileName()));

    // The confirmation must survive a kill: save now, not in 5 s.
    DataStore::save();

    // Counters.
    const bool video = record->isVideo();
    Settings::incrementIntForKey(video ? QStringLiteral("VideosImported") : QStringLiteral("PhotosImported"));
    if (!video) {
        Settings::setLongLong(Settings::longLongForKey(QStringLiteral("PhotosImportedBytes")) + record->fileSize(),
                              QStringLiteral("PhotosImportedBytes"));
    }
    Settings::setDouble(Settings::doubleForKey(QStringLiteral("PhotosImportedTimeTaken")) + uploadSeconds,
                        QStringLiteral("PhotosImportedTimeTaken"));
    if (processingStartedMs > 0) {
        const double processing = (QDateTime::currentMSecsSinceEpoch() - processingStartedMs) / 1000.0;
        Settings::setDouble(Settings::doubleForKey(QStringLiteral("PhotosImportedTimeSpentProcessing")) + qMax(0.0, processing),
                            QStringLiteral("PhotosImportedTimeSpentProcessing"));
        Settings::incrementIntForKey(QStringLiteral("PhotosImported_TimeProcessing"));
    }
    if (!Settings::boolForKey(QStringLiteral("UserActivated")) && Settings::intForKey(QStringLiteral("PhotosImported")) >= 10)
        Settings::setBool(true, QStringLiteral("UserActivated"));

    addRecentUpload(record->fileFullPath());
    LGLogInfo(QStringLiteral("UPLOAD: Complete %1 (photo %2)").arg(record->fileName(), photoId));
}

struct RunContext
{
    QHash<ContentSample, QList<qint64>> bySample; // every file record with samples, by sample
    QSet<QString> samplesInFlight;                 // samples of uploads awaiting a ticket
    QSet<qint64> heldBack;                         // copies waiting for their twin's ticket
    QSet<qint64> tried;                            // files taken in this run (never twice)
    int uploaded = 0;
};

QString sampleKey(const ContentSample &s) { return s.isNull() ? QString() : s.hex(); }

void buildSampleIndex(RunContext &ctx)
{
    DataStore *store = DataStore::instance();
    ctx.bySample.clear();
    if (!store || !store->isOpen())
        return;
    for (FileData *r : store->allFileData()) {
        if (r->isFolder())
            continue;
        if (!r->sample().isNull())
            ctx.bySample[r->sample()].append(r->fileID());
        if (!r->jpegSample().isNull() && r->jpegSample() != r->sample())
            ctx.bySample[r->jpegSample()].append(r->fileID());
    }
}

// Polls the pending tickets once; completes the finished ones. Loop thread.
void checkTickets(RunContext &ctx)
{
    UploaderState &s = state();
    QStringList ids;
    QHash<QString, qint64> order;
    {
        QMutexLocker locker(&s.lock);
        ids = s.tickets.keys();
        for (auto it = s.tickets.cbegin(); it != s.tickets.cend(); ++it)
            order.insert(it.key(), it->seq);
    }
    if (ids.isEmpty())
        return;
    std::sort(ids.begin(), ids.end(), [&order](const QString &a, const QString &b) { return order.value(a) < order.value(b); });
    QList<TicketResult> results;
    QString error;
    if (!transport()->checkTickets(ids, &results, &error)) {
        LGLogInfo(QStringLiteral("TICKETS: Check failed: %1").arg(error));
        return;
    }
    std::stable_sort(results.begin(), results.end(), [&order](const TicketResult &a, const TicketResult &b) {
        return order.value(a.ticketId) < order.value(b.ticketId);
    });
    for (const TicketResult &t : results) {
        if (t.state == TicketResult::State::Pending)
            continue;
        PendingTicket pending;
        {
            QMutexLocker locker(&s.lock);
            if (!s.tickets.contains(t.ticketId))
                continue;
            pending = s.tickets.take(t.ticketId);
        }
        if (t.state == TicketResult::State::Complete && !t.photoId.isEmpty()) {
            dispatch_main_sync([&] {
                completeFile(pending.fileId, t.photoId, t.albumId, pending.uploadSeconds, pending.startedMs, &ctx.bySample);
            });
            ++ctx.uploaded;
            {
                QMutexLocker locker(&s.lock);
                ++s.uploadedThisRun;
            }
            postUploadedCount();
        } else {
            // The service could not process it: the file waits for another try.
            LGLogInfo(QStringLiteral("TICKETS: Ticket %1 failed").arg(t.ticketId));
            dispatch_main_sync([&] {
                FileData *r = DataStore::instance()->fileDataForId(pending.fileId);
                if (!r)
                    return;
                r->setUploadTicket(QString());
                QMutexLocker locker(&s.lock);
                const int fails = ++s.failuresPerFile[pending.fileId];
                r->setNeedsUpload(fails >= kFailuresPerFile ? NeedsUpload::FailedThreeTimes : NeedsUpload::Deferred);
                locker.unlock();
                DataStore::save();
            });
        }
    }
    // Copies held back for a twin's ticket may go now (marked uploaded or uploaded themselves).
    ctx.samplesInFlight.clear();
    QList<PendingTicket> still;
    {
        QMutexLocker locker(&s.lock);
        still = s.tickets.values();
    }
    dispatch_main_sync([&] {
        for (const PendingTicket &p : std::as_const(still)) {
            if (FileData *r = DataStore::instance()->fileDataForId(p.fileId)) {
                ctx.samplesInFlight.insert(sampleKey(r->sample()));
                ctx.samplesInFlight.insert(sampleKey(r->jpegSample()));
            }
        }
    });
    ctx.samplesInFlight.remove(QString());
    ctx.heldBack.clear();
    LumoraDrive::updateStatus();
}

// Polls until one ticket is done (or the loop must stop). Loop thread.
void awaitTicket(const QString &ticketId, RunContext &ctx)
{
    UploaderState &s = state();
    for (int attempt = 0; attempt < 40; ++attempt) {
        checkTickets(ctx);
        {
            QMutexLocker locker(&s.lock);
            if (!s.tickets.contains(ticketId))
                return;
        }
        if (!waitFor(qMin(2.0, 0.25 * (attempt + 1))))
            return;
    }
}

// Tickets left by an earlier run (a kill while the service processed): polled, never re-sent.
void adoptPendingTickets()
{
    UploaderState &s = state();
    dispatch_main_sync([&s] {
        DataStore *store = DataStore::instance();
        if (!store || !store->isOpen())
            return;
        const QList<FileData *> awaiting = store->fetchFileData([](const FileData *r) {
            return !r->isFolder() && r->needsUpload() == NeedsUpload::AwaitingTicket;
        });
        if (!awaiting.isEmpty())
            LGLogInfo(QStringLiteral("TICKETS: Following %1 uploads still processing").arg(awaiting.size()));
        QMutexLocker locker(&s.lock);
        for (FileData *r : awaiting) {
            if (r->uploadTicket().isEmpty()) {
                // No ticket to follow: the service's answer was lost. Look again from the start.
                r->setNeedsUpload(NeedsUpload::Waiting);
                r->setUploadTicket(LumoraUploader::sendingMark());
                continue;
            }
            bool known = false;
            for (const PendingTicket &p : std::as_const(s.tickets))
                known = known || p.fileId == r->fileID();
            if (!known)
                s.tickets.insert(r->uploadTicket(), PendingTicket{r->fileID(), ++s.ticketSeq, 0, 0});
        }
    });
}

// Files whose upload was under way when the process ended may have reached the service. Ask
// before sending them again. True when one was found there (and is bookkept as uploaded).
bool recoverInterruptedUploads(RunContext &ctx)
{
    struct Interrupted { qint64 id; ContentSample whole, jpeg; };
    QList<Interrupted> interrupted;
    dispatch_main_sync([&] {
        const QList<FileData *> marked = DataStore::instance()->fetchFileData([](const FileData *r) {
            return !r->isFolder() && r->needsUpload() == NeedsUpload::Waiting && r->uploadTicket() == LumoraUploader::sendingMark();
        });
        for (FileData *r : marked)
            interrupted.append({r->fileID(), r->sample(), r->jpegSample()});
    });
    bool found = false;
    for (const Interrupted &f : interrupted) {
        QString photoId;
        if (!transport()->findPhotoWithSamples(f.whole, f.jpeg, &photoId)) {
            // Keep the mark; ask again in a later run rather than risk a second copy now.
            ctx.tried.insert(f.id);
            continue;
        }
        dispatch_main_sync([&] {
            if (!photoId.isEmpty()) {
                LGLogInfo(QStringLiteral("UPLOADER: Interrupted upload had reached the service (photo %1)").arg(photoId));
                completeFile(f.id, photoId, QString(), 0, 0, &ctx.bySample);
            } else if (FileData *r = DataStore::instance()->fileDataForId(f.id)) {
                r->setUploadTicket(QString());
                DataStore::queueSave();
            }
        });
        found = found || !photoId.isEmpty();
    }
    return found;
}

void clearSendingMark(qint64 fileId)
{
    dispatch_main_sync([fileId] {
        FileData *r = DataStore::instance()->fileDataForId(fileId);
        if (r && r->uploadTicket() == LumoraUploader::sendingMark()) {
            r->setUploadTicket(QString());
            DataStore::queueSave();
        }
    });
}

enum class StepResult { Next, Retry, Stop };

// The road of one file. Loop thread.
StepResult uploadOne(qint64 fileId, RunContext &ctx)
{
    UploaderState &s = state();

    // Re-check the file and find its album, on the main thread.
    UploadRequest request;
    bool go = false;
    ContentSample whole, jpeg;
    dispatch_main_sync([&] {
        FileData *r = DataStore::instance()->fileDataForId(fileId);
        if (!r || r->needsUpload() != NeedsUpload::Waiting)
            return;
        ctx.tried.insert(fileId);
        const QFileInfo info(r->fileFullPath());
        if (!info.exists()) {
            r->setNeedsUpload(NeedsUpload::Missing);
            r->notifyParentsOfStatusChanged();
            DataStore::queueSave();
            return;
        }
        if (info.size() != r->fileSize() && r->fileSize() > 0) {
            // Changed since the scan: the scanner takes it again (10 while it is re-examined).
            LGLogInfo(QStringLiteral("UPLOADER: %1 changed since its scan; scanning it again").arg(r->fileName()));
            r->setNeedsUpload(NeedsUpload::NotSelected);
            FileManager::setFile(r, NeedsScan::Pending, false);
            DataStore::queueSave();
            dispatch_main_async([] { FileManager::run(); });
            return;
        }
        if (!isSelected(r)) {
            r->setNeedsUpload(NeedsUpload::NotSelected);
            r->notifyParentsOfStatusChanged();
            DataStore::queueSave();
            return;
        }
        whole = r->sample();
        jpeg = r->jpegSample();
        request.filePath = r->fileFullPath();
        request.title = info.completeBaseName();
        request.isVideo = r->isVideo();
        request.size = info.size();
        if (FileData *folder = albumFolderFor(r)) {
            request.albumName = albumNameFor(folder);
            if (!request.albumName.isEmpty() && folder->lumoraSetId() != 0)
                request.albumId = QString::number(folder->lumoraSetId());
        }
        go = true;
    });
    if (!go)
        return StepResult::Next;

    auto countFailure = [&](const QString &why) -> StepResult {
        LGLogInfo(QStringLiteral("UPLOAD: Failed %1: %2").arg(QFileInfo(request.filePath).fileName(), why));
        int consecutive;
        int fails;
        {
            QMutexLocker locker(&s.lock);
            consecutive = ++s.consecutiveFailures;
            fails = ++s.failuresPerFile[fileId];
        }
        dispatch_main_sync([&] {
            if (FileData *r = DataStore::instance()->fileDataForId(fileId)) {
                r->setNeedsUpload(fails >= kFailuresPerFile ? NeedsUpload::FailedThreeTimes : NeedsUpload::Deferred);
                r->notifyParentsOfStatusChanged();
                DataStore::queueSave();
            }
        });
        if (consecutive >= kFailuresBeforePause) {
            LGLogError(QStringLiteral("UPLOADER: %1 failures in a row; pausing uploads").arg(consecutive));
            {
                QMutexLocker locker(&s.lock);
                s.pausedDueToErrors = true;
            }
            LumoraDrive::pausedStateChanged();
            return StepResult::Stop;
        }
        return StepResult::Next;
    };


    // The folder's album: known, found on the service by its title, or made by this upload.
    if (!request.albumName.isEmpty() && request.albumId.isEmpty()) {
        QString found;
        if (!transport()->findAlbum(request.albumName, &found))
            return countFailure(QStringLiteral("album look-up failed"));
        if (!found.isEmpty()) {
            request.albumId = found;
            dispatch_main_sync([&] {
                FileData *r = DataStore::instance()->fileDataForId(fileId);
                if (FileData *folder = r ? albumFolderFor(r) : nullptr; folder && folder->lumoraSetId() == 0) {
                    folder->setLumoraSetId(found.toLongLong());
                    DataStore::queueSave();
                }
            });
        }
    }

    // A copy of something already on its way: wait for its twin's ticket instead of sending it.
    if (ctx.samplesInFlight.contains(sampleKey(whole)) || ctx.samplesInFlight.contains(sampleKey(jpeg))) {
        ctx.heldBack.insert(fileId);
        return StepResult::Next;
    }

    {
        QMutexLocker locker(&s.lock);
        s.currentFileId = fileId;
        s.currentName = QFileInfo(request.filePath).fileName();
        s.progress = 0;
    }
    s.cancelCurrent = false;
    LumoraDrive::updateStatus();

    // Marked (and saved) before the first byte leaves, so after a kill mid-upload the service is
    // asked about the file before it is sent again.
    dispatch_main_sync([fileId] {
        if (FileData *r = DataStore::instance()->fileDataForId(fileId)) {
            r->setUploadTicket(LumoraUploader::sendingMark());
            DataStore::save();
        }
    });
    LGLogInfo(QStringLiteral("UPLOAD: Sending %1 (%2 bytes)%3")
                  .arg(s.currentName).arg(request.size)
                  .arg(request.albumName.isEmpty() ? QString() : QStringLiteral(" to album ") + request.albumName));

    QElapsedTimer clock;
    clock.start();
    const UploadReply reply = transport()->upload(request, [](qint64 sent, qint64 total) {
        UploaderState &st = state();
        {
            QMutexLocker locker(&st.lock);
            st.progress = total > 0 ? double(sent) / double(total) : 0;
        }
        LumoraDrive::updateStatus();
    }, s.cancelCurrent);
    const double seconds = clock.elapsed() / 1000.0;

    {
        QMutexLocker locker(&s.lock);
        s.currentFileId = 0;
        s.currentName.clear();
        s.progress = 0;
        if (reply.maxTickets > 0)
            s.maxTickets = reply.maxTickets;
    }

    switch (reply.outcome) {
    case UploadReply::Outcome::Cancelled:
        // The request was cut before the service had all of it; the file keeps waiting.
        clearSendingMark(fileId);
        LGLogInfo(QStringLiteral("UPLOAD: Cancelled %1").arg(QFileInfo(request.filePath).fileName()));
        return StepResult::Next;

    case UploadReply::Outcome::Ticket: {
        dispatch_main_sync([&] {
            if (FileData *r = DataStore::instance()->fileDataForId(fileId)) {
                r->setUploadTicket(reply.ticketId);
                r->setNeedsUpload(NeedsUpload::AwaitingTicket);
                r->notifyParentsOfStatusChanged();
                // Known to the de-duplication index from now on, so no copy is sent meanwhile.
                EngineLinks::registerUploadedFile(r);
                if (!reply.albumId.isEmpty()) {
                    if (FileData *folder = albumFolderFor(r); folder && folder->lumoraSetId() == 0)
                        folder->setLumoraSetId(reply.albumId.toLongLong());
                }
                DataStore::save();
            }
        });
        {
            QMutexLocker locker(&s.lock);
            s.consecutiveFailures = 0;
            s.tickets.insert(reply.ticketId, PendingTicket{fileId, ++s.ticketSeq, QDateTime::currentMSecsSinceEpoch(), seconds});
        }
        ctx.samplesInFlight.insert(sampleKey(whole));
        ctx.samplesInFlight.insert(sampleKey(jpeg));
        ctx.samplesInFlight.remove(QString());
        // This upload creates the folder's album: learn its id before the folder's next file,
        // or that file would create a second album of the same name.
        if (request.albumId.isEmpty() && !request.albumName.isEmpty())
            awaitTicket(reply.ticketId, ctx);
        return StepResult::Next;
    }

    case UploadReply::Outcome::Photo:
        dispatch_main_sync([&] { completeFile(fileId, reply.photoId, reply.albumId, seconds, 0, &ctx.bySample); });
        {
            QMutexLocker locker(&s.lock);
            s.consecutiveFailures = 0;
            ++s.uploadedThisRun;
        }
        ++ctx.uploaded;
        postUploadedCount();
        return StepResult::Next;

    case UploadReply::Outcome::Duplicate:
        Settings::incrementIntForKey(reply.photoId.isEmpty() ? QStringLiteral("ServerDuplicatesFoundWithoutPID")
                                                             : QStringLiteral("ServerDuplicatesFound"));
        dispatch_main_sync([&] {
            if (reply.photoId.isEmpty()) {
                if (FileData *r = DataStore::instance()->fileDataForId(fileId)) {
                    r->setNeedsUpload(NeedsUpload::DuplicateOnServer);
                    r->notifyParentsOfStatusChanged();
                    DataStore::save();
                }
            } else {
                completeFile(fileId, reply.photoId, reply.albumId, seconds, 0, &ctx.bySample);
            }
        });
        clearSendingMark(fileId);
        {
            QMutexLocker locker(&s.lock);
            s.consecutiveFailures = 0;
        }
        return StepResult::Next;

    case UploadReply::Outcome::Busy: {
        clearSendingMark(fileId);
        double wait = reply.wait > 0 ? reply.wait : 30;
        {
            QMutexLocker locker(&s.lock);
            if (s.busyClamp >= 0)
                wait = qMin(wait, s.busyClamp);
            s.serverBusyUntil = QDateTime::currentDateTimeUtc().addMSecs(qint64(wait * 1000));
        }
        Settings::incrementIntForKey(QStringLiteral("TimesServerAtCapacity"));
        Settings::setDouble(Settings::doubleForKey(QStringLiteral("TimeWaitingServerRequested")) + wait,
                            QStringLiteral("TimeWaitingServerRequested"));
        LGLogInfo(QStringLiteral("UPLOADER: Server busy; waiting %1 s").arg(wait));
        LumoraDrive::updateStatus();
        return StepResult::Retry; // the same file goes first after the wait
    }

    case UploadReply::Outcome::AccountFull:
        clearSendingMark(fileId);
        LGLogError(QStringLiteral("UPLOADER: Account full; uploads stop"));
        {
            QMutexLocker locker(&s.lock);
            s.accountFull = true;
        }
        LumoraDrive::pausedStateChanged();
        return StepResult::Stop;

    case UploadReply::Outcome::BadFormat:
        clearSendingMark(fileId);
        dispatch_main_sync([&] {
            if (FileData *r = DataStore::instance()->fileDataForId(fileId)) {
                r->setNeedsUpload(NeedsUpload::UnsupportedFormat);
                r->notifyParentsOfStatusChanged();
                DataStore::queueSave();
            }
        });
        return StepResult::Next;

    case UploadReply::Outcome::Failed:
        // The request may or may not have reached the service: the in-flight marker stays, so
        // the next try asks the service before sending it again.
        return countFailure(reply.errorMessage.isEmpty() ? QStringLiteral("error %1").arg(reply.errorCode)
                                                         : reply.errorMessage);
    }
    return StepResult::Next;
}

void loop(int generation)
{
    UploaderState &s = state();
    RunContext ctx;
    LGLogInfo(QStringLiteral("UPLOADER: Starting"));
    {
        QMutexLocker locker(&s.lock);
        s.uploadedThisRun = 0;
    }
    adoptPendingTickets();

    QList<qint64> queue;
    bool rebuild = true;
    bool notifiedStart = false;
    int ticketWaits = 0;

    while (generation == s.generation) {
        const QString hold = holdReasonOnMain(false);
        if (!hold.isEmpty()) {
            LGLogInfo(QStringLiteral("UPLOADER: Stopping (%1)").arg(hold));
            break;
        }

        QDateTime busyUntil;
        {
            QMutexLocker locker(&s.lock);
            busyUntil = s.serverBusyUntil;
        }
        if (busyUntil.isValid()) {
            const qint64 ms = QDateTime::currentDateTimeUtc().msecsTo(busyUntil);
            if (ms > 0) {
                if (!waitFor(qMin<qint64>(ms, 1000) / 1000.0))
                    break;
                continue;
            }
            {
                QMutexLocker locker(&s.lock);
                s.serverBusyUntil = QDateTime();
            }
            LumoraDrive::updateStatus();
        }

        int pending, limit;
        {
            QMutexLocker locker(&s.lock);
            pending = int(s.tickets.size());
            limit = s.maxTickets;
        }
        if (pending >= limit) {
            if (ticketWaits == 0)
                Settings::incrementIntForKey(QStringLiteral("TimesWaitingOnTickets"));
            checkTickets(ctx);
            {
                QMutexLocker locker(&s.lock);
                pending = int(s.tickets.size());
            }
            if (pending >= limit) {
                if (!waitFor(qMin(5.0, 0.5 * (1 << qMin(ticketWaits++, 3)))))
                    break;
                continue;
            }
            ticketWaits = 0;
        }

        bool cleanup;
        {
            QMutexLocker locker(&s.lock);
            cleanup = s.cleanupRequested;
            s.cleanupRequested = false;
        }
        if (rebuild || cleanup || queue.isEmpty()) {
            dispatch_main_sync([&] {
                queue = buildUploadList(cleanup);
                buildSampleIndex(ctx);
            });
            rebuild = false;
            if (!queue.isEmpty() && recoverInterruptedUploads(ctx)) {
                rebuild = true;
                continue;
            }
            for (qint64 held : std::as_const(ctx.heldBack))
                queue.removeAll(held);
            // A file already taken in this run and still waiting (changed on disk, cancelled,
            // deferred back, or not yet known to be absent from the service) waits for the next
            // run rather than spinning here.
            queue.erase(std::remove_if(queue.begin(), queue.end(), [&ctx](qint64 id) { return ctx.tried.contains(id); }),
                        queue.end());
        }

        if (queue.isEmpty()) {
            if (pending > 0) {
                // Nothing left to send: follow the service's processing until it is done.
                checkTickets(ctx);
                {
                    QMutexLocker locker(&s.lock);
                    pending = int(s.tickets.size());
                }
                if (pending > 0 && !waitFor(qMin(5.0, 0.5 * (1 << qMin(ticketWaits++, 3)))))
                    break;
                if (pending == 0)
                    ticketWaits = 0;
                rebuild = true;
                continue;
            }
            break;
        }

        if (!notifiedStart) {
            notifiedStart = true;
            NotificationManager::notifyUploadStarted(int(queue.size()));
        }
        const qint64 next = queue.takeFirst();
        storeCount(qMax(0, s.filesToUpload.load() - 1));
        const StepResult step = uploadOne(next, ctx);
        if (step == StepResult::Stop)
            break;
        if (step == StepResult::Retry) {
            ctx.tried.remove(next);
            queue.prepend(next);
            storeCount(s.filesToUpload.load() + 1);
        }
        LumoraDrive::updateStatus();
    }

    if (ctx.uploaded > 0)
        NotificationManager::notifyUploadComplete(ctx.uploaded);
    LGLogInfo(QStringLiteral("UPLOADER: Finished (%1 uploaded)").arg(ctx.uploaded));

    bool again;
    {
        QMutexLocker locker(&s.lock);
        s.running = false;
        again = s.runAgain && !s.stopRequested && generation == s.generation;
        s.runAgain = false;
    }
    dispatch_main_async([again, generation] {
        if (generation != state().generation)
            return; // the engine was stopped meanwhile: leave the catalogue alone
        buildUploadList(false);
        LumoraDrive::updateStatus();
        if (again)
            LumoraUploader::run();
    });
}

void resetDeferredUploads()
{
    DataStore *store = DataStore::instance();
    if (!store || !store->isOpen())
        return;
    const QList<FileData *> deferred = store->fetchFileData([](const FileData *r) {
        return !r->isFolder() && r->needsUpload() == NeedsUpload::Deferred;
    });
    if (deferred.isEmpty())
        return;
    for (FileData *r : deferred)
        r->setNeedsUpload(NeedsUpload::Waiting);
    DataStore::queueSave();
    LGLogInfo(QStringLiteral("UPLOADER: %1 deferred uploads waiting again").arg(deferred.size()));
    LumoraUploader::run();
}

// The scanner reports its finished pass from inside its loop; start once it has wound down.
void runWhenScannerIdle(int attemptsLeft)
{
    if (!FileManager::isRunning() || attemptsLeft <= 0) {
        LumoraUploader::run();
        return;
    }
    dispatch_main_delay([attemptsLeft] { runWhenScannerIdle(attemptsLeft - 1); }, 0.05);
}

} // namespace

// ---- Public --------------------------------------------------------------------------------

void LumoraUploader::run()
{
    if (!isMainThread()) {
        dispatch_main_async([] { run(); });
        return;
    }
    UploaderState &s = state();
    {
        QMutexLocker locker(&s.lock);
        if (s.running) {
            s.runAgain = true;
            return;
        }
    }
    const QString hold = holdReason(true);
    if (!hold.isEmpty()) {
        buildUploadList(false);
        LGLogInfo(QStringLiteral("UPLOADER: Not starting (%1)").arg(hold));
        LumoraDrive::updateStatus();
        return;
    }
    int generation;
    {
        QMutexLocker locker(&s.lock);
        s.running = true;
        s.runAgain = false;
        generation = s.generation;
    }
    LumoraDrive::updateStatus();
    dispatch_default_queue_async([generation] { loop(generation); });
}

int LumoraUploader::filesToUpload() { return state().filesToUpload.load(); }

const QString &LumoraUploader::sendingMark()
{
    static const QString mark = QStringLiteral("sending");
    return mark;
}

FileData *LumoraUploader::fileUploading()
{
    UploaderState &s = state();
    qint64 id;
    {
        QMutexLocker locker(&s.lock);
        id = s.currentFileId;
    }
    DataStore *store = id ? DataStore::instance() : nullptr;
    return store ? store->fileDataForId(id) : nullptr;
}

QStringList LumoraUploader::recentUploads()
{
    const QVariant v = Settings::objectForKey(kRecentUploadsKey);
    QStringList list = v.toStringList();
    list.removeAll(QString());
    list.removeDuplicates();
    return list.mid(0, kMaxRecentUploads);
}

QImage LumoraUploader::imageForRecentUpload(const QString &path)
{
    if (path.isEmpty())
        return QImage();
    const QString thumb = thumbnailPathFor(path);
    if (thumb.isEmpty() || !QFileInfo::exists(thumb))
        return QImage();
    return QImage(thumb);
}

void LumoraUploader::requestUploadListCleanup()
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    s.cleanupRequested = true;
}

void LumoraUploader::cancelCurrentUploadIfNoLongerSelected()
{
    if (!isMainThread()) {
        dispatch_main_async([] { cancelCurrentUploadIfNoLongerSelected(); });
        return;
    }
    FileData *current = fileUploading();
    if (!current || isSelected(current))
        return;
    LGLogInfo(QStringLiteral("UPLOADER: %1 is no longer selected; cancelling its upload").arg(current->fileName()));
    cancelCurrentUpload();
    requestUploadListCleanup();
}

void LumoraUploader::reuploadPhotos(const QList<FileData *> &records, const QString &trackingSource)
{
    QList<qint64> ids;
    for (FileData *r : records) {
        if (!r)
            continue;
        if (r->isFolder()) {
            for (FileData *c : r->flattenedListOfChildrenWithOptions(FlattenOptions::Files | FlattenOptions::Recursive))
                if (c->uploadedRemoteId() != 0 || c->needsUpload() < 0)
                    ids.append(c->fileID());
        } else {
            ids.append(r->fileID());
        }
    }
    if (ids.isEmpty())
        return;
    LGLogInfo(QStringLiteral("UPLOADER: Re-upload of %1 files asked from %2").arg(ids.size()).arg(trackingSource));
    UiHooks::instance().confirmReupload(int(ids.size()), [ids](bool confirmed) {
        if (!confirmed)
            return;
        dispatch_default_queue_async([ids] {
            int marked = 0;
            for (qint64 id : ids) {
                ContentSample whole, jpeg;
                bool found = false;
                dispatch_main_sync([&] {
                    if (FileData *r = DataStore::instance()->fileDataForId(id)) {
                        whole = r->sample();
                        jpeg = r->jpegSample();
                        found = true;
                    }
                });
                if (!found)
                    continue;
                QString photoId;
                if (!transport()->findPhotoWithSamples(whole, jpeg, &photoId)) {
                    LGLogInfo(QStringLiteral("UPLOADER: Could not check a photo with the service; leaving it"));
                    continue;
                }
                if (!photoId.isEmpty())
                    continue; // still there
                dispatch_main_sync([&] {
                    if (FileData *r = DataStore::instance()->fileDataForId(id)) {
                        r->setUploadedRemoteId(0);
                        r->setNeedsUpload(NeedsUpload::Waiting);
                        r->notifyParentsOfStatusChanged();
                        ++marked;
                    }
                });
            }
            LGLogInfo(QStringLiteral("UPLOADER: %1 files marked for upload again").arg(marked));
            dispatch_main_async([] {
                DataStore::save();
                LumoraUploader::run();
            });
        });
    });
}

void LumoraUploader::checkChecksumBackfillVerified()
{
    UploaderState &s = state();
    if (Settings::boolForKey(kBackfillKey) || s.backfillPolling.exchange(true))
        return;
    const int generation = s.generation;
    dispatch_default_queue_async([generation] {
        UploaderState &st = state();
        int polls = 0;
        while (generation == st.generation) {
            const int ready = transport()->prepareUser();
            ++polls;
            if (ready == 1) {
                Settings::setBool(true, kBackfillKey);
                LGLogInfo(QStringLiteral("UPLOADER: Checksum preparation complete"));
                dispatch_main_async([] { LumoraDrive::refreshLumoraData(); });
                break;
            }
            // Quickly at first, then every 30 s.
            QMutexLocker locker(&st.lock);
            if (st.stopRequested)
                break;
            st.wake.wait(&st.lock, QDeadlineTimer(polls < 6 ? 10000 : 30000));
            if (st.stopRequested)
                break;
        }
        st.backfillPolling = false;
    });
}

bool LumoraUploader::isRunning()
{
    return lockedValue(&UploaderState::running);
}

bool LumoraUploader::isUploadingFile()
{
    return lockedValue(&UploaderState::currentFileId) != 0;
}

QString LumoraUploader::uploadingFileName()
{
    return lockedValue(&UploaderState::currentName);
}

double LumoraUploader::uploadProgress()
{
    return lockedValue(&UploaderState::progress);
}

int LumoraUploader::uploadedThisRun()
{
    return lockedValue(&UploaderState::uploadedThisRun);
}

int LumoraUploader::pendingTickets()
{
    return int(lockedValue(&UploaderState::tickets).size());
}

bool LumoraUploader::pausedDueToErrors()
{
    return lockedValue(&UploaderState::pausedDueToErrors);
}

bool LumoraUploader::accountFull()
{
    return lockedValue(&UploaderState::accountFull);
}

QDateTime LumoraUploader::serverBusyUntil()
{
    return lockedValue(&UploaderState::serverBusyUntil);
}

QString LumoraUploader::gateHoldingBack()
{
    return holdReasonOnMain(true);
}

void LumoraUploader::resetFailedUploads()
{
    UploaderState &s = state();
    {
        QMutexLocker locker(&s.lock);
        s.pausedDueToErrors = false;
        s.consecutiveFailures = 0;
        s.failuresPerFile.clear();
    }
    dispatch_main_sync([] {
        DataStore *store = DataStore::instance();
        if (!store || !store->isOpen())
            return;
        const QList<FileData *> failed = store->fetchFileData([](const FileData *r) {
            return !r->isFolder()
                   && (r->needsUpload() == NeedsUpload::Deferred || r->needsUpload() == NeedsUpload::FailedThreeTimes);
        });
        for (FileData *r : failed)
            r->setNeedsUpload(NeedsUpload::Waiting);
        if (!failed.isEmpty())
            DataStore::queueSave();
    });
}

void LumoraUploader::clearAccountFull()
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    s.accountFull = false;
}

void LumoraUploader::cancelCurrentUpload()
{
    UploaderState &s = state();
    s.cancelCurrent = true;
    QMutexLocker locker(&s.lock);
    s.wake.wakeAll();
}

void LumoraUploader::stop()
{
    UploaderState &s = state();
    {
        QMutexLocker locker(&s.lock);
        s.stopRequested = true;
        s.wake.wakeAll();
    }
    s.cancelCurrent = true;
    if (s.deferredTimer)
        s.deferredTimer->stop();
}

void LumoraUploader::startTimers()
{
    UploaderState &s = state();
    {
        QMutexLocker locker(&s.lock);
        s.stopRequested = false;
    }
    if (s.deferredTimer) {
        s.deferredTimer->start();
        return;
    }
    auto *timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(kDeferredResetMs);
    timer->setTimerType(Qt::CoarseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [] { resetDeferredUploads(); });
    timer->start();
    s.deferredTimer = timer;
    // Wire the catalogue to us: its finished scan pass starts the loop; status 2 needs our file.
    CatalogueHooks::instance().scanPassCompleted = [] { runWhenScannerIdle(100); };
    CatalogueHooks::instance().fileUploading = [] { return LumoraUploader::fileUploading(); };
    CatalogueHooks::instance().sourceRemoved = [](const QString &) {
        LumoraUploader::requestUploadListCleanup();
        LumoraUploader::cancelCurrentUploadIfNoLongerSelected();
    };
}

void LumoraUploader::resetForTesting()
{
    UploaderState &s = state();
    stop();
    ++s.generation;
    // Let a loop of the previous generation wind down.
    QDeadlineTimer deadline(10000);
    while (isRunning() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    {
        QMutexLocker locker(&s.lock);
        s.running = false;
        s.runAgain = false;
        s.stopRequested = false;
        s.cleanupRequested = false;
        s.pausedDueToErrors = false;
        s.accountFull = false;
        s.serverBusyUntil = QDateTime();
        s.currentFileId = 0;
        s.currentName.clear();
        s.progress = 0;
        s.uploadedThisRun = 0;
        s.consecutiveFailures = 0;
        s.maxTickets = kDefaultMaxTickets;
        s.tickets.clear();
        s.failuresPerFile.clear();
        s.busyClamp = -1;
        s.transport.reset();
    }
    s.cancelCurrent = false;
    s.filesToUpload = 0;
    if (s.deferredTimer)
        delete s.deferredTimer.data();
}

bool LumoraUploader::waitUntilIdleForTesting(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (!isRunning()) {
            // Let the loop's last main-thread steps land.
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (!isRunning())
                return true;
        }
    }
    return false;
}

void LumoraUploader::setServerBusyClampForTesting(double maxSeconds)
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    s.busyClamp = maxSeconds;
}
