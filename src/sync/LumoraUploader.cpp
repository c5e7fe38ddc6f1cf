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
#include "catalogue/SampleIndex.h"
#include "catalogue/MediaInspector.h"
#include "service/DataStoreLumoraData.h"
#include "service/LumoraKit.h"

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
#include <QSaveFile>
#include <QSet>
#include <QTimer>
#include <QWaitCondition>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace {

constexpr int kDefaultMaxTickets = 10;
constexpr int kFailuresBeforePause = 6;
constexpr int kFailuresPerFile = 3;
constexpr int kDeferredResetMs = 600 * 1000;
// After six failures in a row the loop stops, then tries again by itself: a minute later at
// first, twice as long after each stop that no upload ended, never more than 15 minutes.
constexpr qint64 kErrorRetryFirstMs = 60 * 1000;
constexpr qint64 kErrorRetryMaxMs = 15 * 60 * 1000;
constexpr int kMaxRecentUploads = 10;
constexpr int kThumbnailPixels = 112;
const QString kRecentUploadsKey = QStringLiteral("RecentUploads");
const QString kBackfillKey = QStringLiteral("ChecksumBackfillVerified");
// After an upload whose answer was lost, the service may still be taking the file in: it is
// asked about the file only once this long has passed since the send, and not sent before.
constexpr qint64 kSendingMarkMinAgeMs = 120 * 1000;

// The size and modification time a file was sent with (size -1: not known).
struct SentStamp
{
    qint64 size = -1;
    qint64 mtimeMs = 0;
};

SentStamp stampOf(const QFileInfo &info)
{
    return {info.size(), info.lastModified().toMSecsSinceEpoch()};
}

// The file is still there but no longer as it was sent: what the service holds is an older
// state of it. A file gone meanwhile is left for the scanner to find gone.
bool changedSinceSent(const QString &path, const SentStamp &sent)
{
    if (sent.size < 0)
        return false;
    const QFileInfo info(path);
    return info.exists() && (info.size() != sent.size || info.lastModified().toMSecsSinceEpoch() != sent.mtimeMs);
}

struct PendingTicket
{
    qint64 fileId = 0;
    qint64 seq = 0;        // issue order: completions are bookkept in the order files were sent
    qint64 startedMs = 0;  // wall clock when the ticket was issued (0: from an earlier run)
    double uploadSeconds = 0;
    ContentSample whole, jpeg; // as sent: copies of it wait for the outcome
    SentStamp sent;
};

struct TicketPoll;

struct UploaderState
{
    QMutex lock;
    QWaitCondition wake;          // waits of the loop (busy server, tickets) end early on this

    // Guarded by lock.
    bool running = false;
    bool runAgain = false;
    quint64 runRequests = 0;      // runs asked for while one was going
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
    int errorStops = 0;           // stops after errors since the last upload that went through
    QDateTime errorRetryAt;       // when the loop tries again by itself after such a stop
    qint64 errorRetryFirstMs = kErrorRetryFirstMs;
    qint64 errorRetryMaxMs = kErrorRetryMaxMs;
    int maxTickets = kDefaultMaxTickets;
    QHash<QString, PendingTicket> tickets;
    qint64 ticketSeq = 0;
    QHash<qint64, int> failuresPerFile;
    double busyClamp = -1;        // tests: cap on a server-requested wait
    qint64 sendingMinAgeMs = kSendingMarkMinAgeMs;
    bool recoveryRunScheduled = false;
    qint64 aheadFileId = 0;       // the file prepared while the current one is sent
    int aheadEpoch = 0;           // moves on each cancel: a file prepared before it is prepared again
    bool pollUnderWay = false;            // a poll of the tickets runs beside the loop
    std::shared_ptr<TicketPoll> pollAnswer; // its answer, not yet booked

    std::atomic_bool cancelCurrent { false };
    std::atomic_int filesToUpload { 0 };  // waiting, not yet taken by the loop
    std::atomic_int filesHeldBack { 0 };  // not on the service and not waiting (deferred, failed, ...)
    std::atomic_bool preparing { false }; // a file is taken and being prepared or sent
    std::atomic_bool sending { false };   // its bytes are on their way
    std::atomic_bool backfillPolling { false };
    std::atomic_bool ticketChecksFailing { false }; // the last check of the pending tickets failed
    std::atomic_int generation { 0 };

    std::unique_ptr<UploadTransport> transport;
    QPointer<QTimer> deferredTimer;
    QPointer<QTimer> errorRetryTimer; // main thread
};

UploaderState &state()
{
    static UploaderState s;
    return s;
}

// An upload went through (or a processed one came back done): the run of failures ends, and
// so does the back-off after stops. Under the state's lock.
void noteSuccessLocked(UploaderState &s)
{
    s.consecutiveFailures = 0;
    s.errorStops = 0;
}

// A failed try of a file: the state it waits in. A failure of the file's own (the service
// refused it or could not process it) counts against it, and after three it waits for "Try
// again"; one of the road's (no connection, a cut or hung answer, a server error) does not:
// the file is held back until the road is clear. Under the state's lock.
qint16 failedTryLocked(UploaderState &s, qint64 fileId, bool fileAtFault)
{
    if (!fileAtFault)
        return NeedsUpload::Deferred;
    return ++s.failuresPerFile[fileId] >= kFailuresPerFile ? NeedsUpload::FailedThreeTimes : NeedsUpload::Deferred;
}

// One field of the shared state, read under its lock.
template <typename T>
T lockedValue(T UploaderState::*field)
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    return s.*field;
}

// The in-flight mark carries the time of the send ("sending@<ms>"); a bare "sending" comes from
// an earlier version and counts as old.
QString freshSendingMark()
{
    return LumoraUploader::sendingMark() + QLatin1Char('@') + QString::number(QDateTime::currentMSecsSinceEpoch());
}

bool isSendingMark(const QString &ticket)
{
    const QString &mark = LumoraUploader::sendingMark();
    return ticket == mark || (ticket.startsWith(mark) && ticket.size() > mark.size() && ticket.at(mark.size()) == QLatin1Char('@'));
}

// How long until the service may be asked about a file with this mark (0: now). A mark from
// the future (the clock was set back since the send) counts as made now: it is stamped anew, so
// the wait runs once rather than for as long as the clock lags. Main thread.
qint64 sendingMarkWaitMs(FileData *r)
{
    const QString ticket = r->uploadTicket();
    const QString &mark = LumoraUploader::sendingMark();
    if (ticket.size() <= mark.size() + 1)
        return 0;
    bool ok = false;
    const qint64 at = ticket.mid(mark.size() + 1).toLongLong(&ok);
    if (!ok)
        return 0;
    qint64 minAge;
    {
        UploaderState &s = state();
        QMutexLocker locker(&s.lock);
        minAge = s.sendingMinAgeMs;
    }
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - at;
    if (age < 0) {
        r->setUploadTicket(freshSendingMark());
        DataStore::queueSave();
        return minAge;
    }
    return qMax<qint64>(0, minAge - age);
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

// What the loop needs of a waiting file to order the uploads: copied on the main thread in one
// pass, sorted on the loop's thread.
struct WaitingEntry
{
    qint64 id;
    qint64 taken;   // date taken (ms), 0 when unknown
    qint64 modified;
    QByteArray path; // the record's own UTF-8 path, shared rather than copied
};

bool lessForUpload(const WaitingEntry &a, const WaitingEntry &b)
{
    // Oldest date taken first; files without one go last. Then path, then date modified.
    const qint64 ta = a.taken ? a.taken : std::numeric_limits<qint64>::max();
    const qint64 tb = b.taken ? b.taken : std::numeric_limits<qint64>::max();
    if (ta != tb)
        return ta < tb;
    if (a.path != b.path)
        return a.path < b.path;
    return a.modified < b.modified;
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

struct SampleEntry
{
    qint64 id;
    ContentSample whole, jpeg;
};

// One pass over the catalogue on the main thread: the waiting files (the deselected ones dropped
// when asked) and, when wanted, every file's samples. The count of waiting files is kept.
void snapshotCatalogue(bool cleanup, QList<WaitingEntry> *waiting, QList<SampleEntry> *samples, QSet<QString> *unresolved)
{
    DataStore *store = DataStore::instance();
    if (!store || !store->isOpen()) {
        storeCount(0);
        return;
    }
    int dropped = 0;
    for (FileData *r : store->allFileDataById()) {
        if (r->isFolder())
            continue;
        if (samples && (!r->sample().isNull() || !r->jpegSample().isNull()))
            samples->append({r->fileID(), r->sample(), r->jpegSample()});
        if (r->needsUpload() != NeedsUpload::Waiting)
            continue;
        if (isSendingMark(r->uploadTicket()))
            for (const ContentSample &sample : {r->sample(), r->jpegSample()})
                if (!sample.isNull())
                    unresolved->insert(sample.hex());
        if (cleanup && !isSelected(r)) {
            r->setNeedsUpload(NeedsUpload::NotSelected);
            r->notifyParentsOfStatusChanged();
            ++dropped;
            continue;
        }
        waiting->append({r->fileID(), r->dateTakenMs(), r->dateModifiedMs(), r->pathUtf8()});
    }
    if (dropped) {
        LGLogInfo(QStringLiteral("UPLOADER: Dropped %1 files no longer selected").arg(dropped));
        DataStore::queueSave();
    }
    storeCount(int(waiting->size()));
    persistCount();
}

// The number of waiting files, kept for the status and the popover (main thread).
void recountWaiting()
{
    DataStore *store = DataStore::instance();
    int count = 0;
    if (store && store->isOpen())
        for (FileData *r : store->allFileDataById())
            count += !r->isFolder() && r->needsUpload() == NeedsUpload::Waiting;
    storeCount(count);
    persistCount();
}

// Waiting files in upload order (loop thread). A file that failed on its own goes after every
// file not yet tried: a few files the service refuses never stand in front of the rest.
QList<qint64> orderedIds(QList<WaitingEntry> &waiting)
{
    std::sort(waiting.begin(), waiting.end(), lessForUpload);
    QHash<qint64, int> failed;
    {
        UploaderState &s = state();
        QMutexLocker locker(&s.lock);
        failed = s.failuresPerFile;
    }
    if (!failed.isEmpty())
        std::stable_partition(waiting.begin(), waiting.end(), [&failed](const WaitingEntry &e) { return !failed.contains(e.id); });
    QList<qint64> ids;
    ids.reserve(waiting.size());
    for (const WaitingEntry &e : std::as_const(waiting))
        ids.append(e.id);
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
// The grid may read the file at any moment: it is written aside and renamed into place whole,
// and carries its photo's modification time, so that a changed photo is seen to need a new one.
bool writeThumbnail(const QString &source, const QString &target)
{
    if (target.isEmpty())
        return false;
    const QDateTime sourceModified = QFileInfo(source).lastModified();
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
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "JPG", 85)) {
        file.cancelWriting();
        return false;
    }
    // Without the photo's time the thumbnail still shows, but is not taken for a current one.
    const bool stamped = file.flush() && file.setFileTime(sourceModified, QFileDevice::FileModificationTime);
    return file.commit() && stamped;
}

// Thumbnails are made only for the recent uploads the grid asks for, one batch at a time on the
// background queue; a burst of uploads with nobody looking costs none. Main thread.
struct ThumbnailMaker
{
    QStringList waiting;              // asked for, not yet in a batch
    QSet<QString> asked;              // waiting or in the running batch
    bool running = false;
    QHash<QString, QDateTime> failed; // photo -> its modification time when no thumbnail came of it
};

ThumbnailMaker &thumbnailMaker()
{
    static ThumbnailMaker maker;
    return maker;
}

void startThumbnailBatch()
{
    ThumbnailMaker &maker = thumbnailMaker();
    if (maker.running || maker.waiting.isEmpty())
        return;
    maker.running = true;
    const QStringList recent = LumoraUploader::recentUploads();
    QStringList batch;
    QSet<QString> keep;
    for (const QString &path : recent) {
        keep.insert(QFileInfo(thumbnailPathFor(path)).fileName());
        if (maker.waiting.contains(path))
            batch << path; // one that left the list meanwhile is not shown any more
    }
    const QStringList asked = std::exchange(maker.waiting, {});
    dispatch_background_queue_async([asked, batch, keep] {
        // The thumbnails of photos that left the list go in the same pass.
        const QDir folder(StandardPaths::lumoraSubfolder(QStringLiteral("RecentlyUploadedThumbs")));
        for (const QString &name : folder.entryList({QStringLiteral("*.jpg")}, QDir::Files))
            if (!keep.contains(name))
                QFile::remove(folder.filePath(name));
        QStringList failed;
        for (const QString &path : batch)
            if (!writeThumbnail(path, thumbnailPathFor(path)))
                failed << path;
        dispatch_main_async([asked, batch, failed] {
            ThumbnailMaker &maker = thumbnailMaker();
            maker.running = false;
            for (const QString &path : asked)
                maker.asked.remove(path);
            for (const QString &path : failed)
                maker.failed.insert(path, QFileInfo(path).lastModified());
            if (batch.size() > failed.size())
                NotificationCenter::post(Notifications::RecentlyUploadedChanged);
            startThumbnailBatch();
        });
    });
}

// The thumbnail file of a recent upload, asking for it to be made when it is missing or older
// than its photo (a photo that gave none is not tried again until it changes).
QFileInfo thumbnailFor(const QString &path)
{
    const QString thumb = path.isEmpty() ? QString() : thumbnailPathFor(path);
    if (thumb.isEmpty())
        return QFileInfo();
    QFileInfo info(thumb);
    ThumbnailMaker &maker = thumbnailMaker();
    if (!isMainThread() || maker.asked.contains(path))
        return info;
    const QDateTime modified = QFileInfo(path).lastModified();
    if (info.exists() && info.lastModified() == modified)
        return info;
    if (maker.failed.contains(path) && maker.failed.value(path) == modified)
        return info;
    maker.failed.remove(path);
    maker.asked.insert(path);
    maker.waiting << path;
    startThumbnailBatch();
    return info;
}

void addRecentUpload(const QString &path)
{
    // Main thread.
    QStringList list = LumoraUploader::recentUploads();
    list.removeAll(path);
    list.prepend(path);
    while (list.size() > kMaxRecentUploads)
        list.removeLast();
    Settings::setObject(list, kRecentUploadsKey);
    // The grid asks for the thumbnail when it shows the place.
    NotificationCenter::post(Notifications::RecentlyUploadedChanged);
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

// The loop's own way out of a stop after errors (main thread).
void armErrorRetry(qint64 ms)
{
    UploaderState &s = state();
    if (!s.errorRetryTimer) {
        s.errorRetryTimer = new QTimer(QCoreApplication::instance());
        s.errorRetryTimer->setSingleShot(true);
        QObject::connect(s.errorRetryTimer, &QTimer::timeout, s.errorRetryTimer, [] { LumoraUploader::resumeAfterErrors(); });
    }
    s.errorRetryTimer->start(int(qBound<qint64>(0, ms, kErrorRetryMaxMs * 4)));
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
    if (EngineLinks::anotherAccountSignedIn())
        return QStringLiteral("another account signed in");
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

// A file that may be a copy of a photo sent from here: equal samples can come from different
// files (clips of one length differing only between the sampled slices), so while the original
// is on the disk, the file is a copy only if it holds the same bytes. The whole files are
// compared on the loop's thread: a long video would hold the window for seconds.
struct CopyCheck
{
    qint64 copyId;
    QString copyPath;
    QString originalPath;
    qint64 pid;
    bool jpegData;
};

// A file whose own send may have reached the service (its in-flight mark is unresolved) is not
// taken for a copy of another photo: its own may be there, and the mark would be left behind.
bool mayBeMarkedCopy(const FileData *r)
{
    const qint16 code = r->needsUpload();
    return (code == NeedsUpload::Waiting || code == NeedsUpload::Deferred || code == NeedsUpload::NotSelected)
        && !isSendingMark(r->uploadTicket());
}

void markCopy(FileData *copy, qint64 pid)
{
    copy->setUploadedRemoteId(pid);
    copy->setNeedsUpload(NeedsUpload::Uploaded);
    copy->notifyParentsOfStatusChanged();
}

// Compares, and marks uploaded the files that hold their original's bytes and have not changed
// state meanwhile. The number marked. Loop thread.
int markTrueCopies(const QList<CopyCheck> &checks)
{
    QList<const CopyCheck *> same;
    for (const CopyCheck &c : checks)
        if (ContentSampler::sameContents(c.originalPath, c.copyPath, c.jpegData))
            same.append(&c);
    if (same.isEmpty())
        return 0;
    int marked = 0;
    dispatch_main_sync([&] {
        for (const CopyCheck *c : std::as_const(same)) {
            FileData *r = DataStore::instance()->fileDataForId(c->copyId);
            if (r && r->fileFullPath() == c->copyPath && mayBeMarkedCopy(r)) {
                markCopy(r, c->pid);
                ++marked;
            }
        }
        if (marked)
            DataStore::queueSave();
    });
    if (marked)
        LGLogInfo(QStringLiteral("UPLOADER: %1 copies of photos sent from here marked uploaded").arg(marked));
    return marked;
}

// The photos sent from here whose samples the file has. A photo whose original (another record
// that names it) is on the disk goes to `checks`; one whose original is no longer on the disk
// answers by its samples alone, as the service does (its id returned). A row that no other
// record names proves nothing (the file's own upload, which the service may have lost since):
// the service's duplicate check answers for it. Main thread.
qint64 ownUploadOf(FileData *r, const SampleIndex<qint64> &bySample, QList<CopyCheck> *checks)
{
    DataStore *store = DataStore::instance();
    for (const DedupData &row : DataStoreLumoraData::ownUploadsForSamples(r->sample(), r->jpegSample())) {
        const auto isOriginal = [r, &row](const FileData *o) {
            return o && o != r && !o->isFolder() && o->uploadedRemoteId() == row.pid && o->needsUpload() == NeedsUpload::Uploaded;
        };
        QList<FileData *> originals;
        for (qint64 id : bySample.values(row.sample()))
            if (FileData *o = store->fileDataForId(id); isOriginal(o))
                originals.append(o);
        if (originals.isEmpty()) // taken after the run's index was made, or its samples changed
            originals = store->fetchFileData(isOriginal);
        if (originals.isEmpty())
            continue;
        QString here;
        for (FileData *o : std::as_const(originals))
            if (QFileInfo::exists(o->fileFullPath())) {
                here = o->fileFullPath();
                break;
            }
        if (here.isEmpty())
            return row.pid;
        checks->append({r->fileID(), r->fileFullPath(), here, row.pid, row.isJpegData});
    }
    return 0;
}

// A file that changed after its scan: the scanner reads it again and decides anew (10 while it
// is re-examined). Main thread.
void scanAgain(FileData *r)
{
    r->setNeedsUpload(NeedsUpload::NotSelected);
    FileManager::setFile(r, NeedsScan::Pending, false);
    r->notifyParentsOfStatusChanged();
    DataStore::queueSave();
    dispatch_main_async([] { FileManager::run(); });
}

enum class Booking { Refused, Booked, Changed };

// Bookkeeping of a photo the service confirmed (main thread). Copies whose bytes must be
// compared first are left in `copies`, for the caller's thread. `sent` is how the file was when
// it was sent, `ownSend` whether the photo was made by that send (not found on the service).
Booking completeFile(qint64 fileId, const QString &photoId, const QString &albumId, double uploadSeconds,
                     qint64 processingStartedMs, const SampleIndex<qint64> *bySample, QList<CopyCheck> *copies,
                     const SentStamp &sent = {}, bool ownSend = false)
{
    DataStore *store = DataStore::instance();
    FileData *record = store ? store->fileDataForId(fileId) : nullptr;
    if (!record)
        return Booking::Refused;
    // Uploaded means: the service named the photo. Nothing else may set the mark.
    if (!isServiceId(photoId)) {
        LGLogError(QStringLiteral("UPLOADER: Not marking %1 uploaded: invalid photo id").arg(record->fileName()));
        return Booking::Refused;
    }
    const qint64 pid = photoId.toLongLong();
    if (changedSinceSent(record->fileFullPath(), sent)) {
        // The photo holds what the file was, not what it is: not its backup. The photo is kept
        // with the record, so that the file's next send replaces it rather than adding another.
        LGLogInfo(QStringLiteral("UPLOADER: %1 changed while it was sent (photo %2); reading it again").arg(record->fileName(), photoId));
        if (ownSend) {
            record->setUploadedRemoteId(pid);
            record->addFlag(FileFlags::PhotoSentFromHere);
        }
        record->setUploadTicket(QString());
        scanAgain(record);
        return Booking::Changed;
    }
    record->setUploadedRemoteId(pid);
    if (ownSend)
        record->addFlag(FileFlags::PhotoSentFromHere);
    record->setUploadTicket(QString());
    record->setNeedsUpload(NeedsUpload::Uploaded);
    record->notifyParentsOfStatusChanged();

    if (FileData *folder = albumFolderFor(record)) {
        const qint64 setId = isServiceId(albumId) ? albumId.toLongLong() : 0;
        if (setId != 0 && folder->lumoraSetId() != setId)
            folder->setLumoraSetId(setId);
        EngineLinks::recordAlbumMembership(folder, record, albumId);
    }
    EngineLinks::registerUploadedFile(record);

    // Records with the same content (copies in other folders) are on the service now too, once
    // they are seen to be copies (CopyCheck).
    int marked = 0;
    const QString original = record->fileFullPath();
    const bool originalHere = QFileInfo::exists(original);
    auto markCopies = [&](const ContentSample &sample, bool jpegData) {
        if (sample.isNull())
            return;
        QList<qint64> ids;
        if (bySample) {
            ids = bySample->values(sample);
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
            if (!mayBeMarkedCopy(other))
                continue;
            if (originalHere) {
                copies->append({id, other->fileFullPath(), original, pid, jpegData});
                continue;
            }
            markCopy(other, pid);
            ++marked;
        }
    };
    markCopies(record->sample(), false);
    markCopies(record->jpegSample(), true);
    if (marked)
        LGLogInfo(QStringLiteral("UPLOADER: %1 other copies of %2 marked uploaded").arg(marked).arg(record->fileName()));

    // Queued: a kill before it lands leaves the ticket or the in-flight mark on disk, and either
    // leads back to this photo without a second send.
    DataStore::queueSave();

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
    return Booking::Booked;
}

struct RunContext
{
    SampleIndex<qint64> bySample; // every file record with samples, by sample
    QSet<QString> samplesInFlight;                 // samples of uploads awaiting a ticket
    QSet<QString> samplesSending;                  // samples of the file being sent now
    QSet<QString> samplesUnresolved;               // of files whose last send went unanswered
    QSet<qint64> heldBack;                         // copies waiting for their twin's ticket
    bool heldReleased = false;                     // some were let go since the list was taken
    QSet<qint64> tried;                            // files taken in this run (never twice)
    QSet<qint64> albumRetried;                     // files sent again after their album vanished
    int uploaded = 0;
    QString lastPhotoId;                           // of the last file confirmed in this run
};

QString sampleKey(const ContentSample &s) { return s.isNull() ? QString() : s.hex(); }


void refreshSamplesInFlight(RunContext &ctx);

// Polls the pending tickets once; completes the finished ones. Loop thread.
// Runs `change` on the main thread, where the records live, and when it changed something that
// must be on disk before the loop goes on, waits for that here: the main thread never waits for
// the disk, which may first have to write a large save (a scan's, a refresh's). Loop thread.
void changeOnMainAndSave(const std::function<bool()> &change)
{
    DataStore::SaveTicket ticket;
    dispatch_main_sync([&] {
        if (change())
            ticket = DataStore::startSave();
    });
    if (ticket.store)
        DataStore::waitForSave(ticket);
}

void pauseAfterErrors(int consecutive)
{
    LGLogError(QStringLiteral("UPLOADER: %1 failures in a row; pausing uploads").arg(consecutive));
    qint64 retryMs;
    {
        UploaderState &s = state();
        QMutexLocker locker(&s.lock);
        s.pausedDueToErrors = true;
        retryMs = qMin(s.errorRetryMaxMs, s.errorRetryFirstMs << qMin(s.errorStops++, 20));
        s.errorRetryAt = QDateTime::currentDateTimeUtc().addMSecs(retryMs);
    }
    LGLogInfo(QStringLiteral("UPLOADER: Trying again in %1 s").arg(retryMs / 1000.0));
    dispatch_main_async([retryMs] { armErrorRetry(retryMs); });
    LumoraDrive::pausedStateChanged();
}

// One ask of the service about the pending tickets, oldest first.
struct TicketPoll
{
    bool asked = false;   // there were tickets to ask about
    bool ok = false;
    QList<TicketResult> results;
    QString error;
};

// Every pending ticket, or `only` that one while it is pending.
TicketPoll pollTickets(const QString &only = QString())
{
    UploaderState &s = state();
    QStringList ids;
    QHash<QString, qint64> order;
    {
        QMutexLocker locker(&s.lock);
        ids = only.isEmpty() ? s.tickets.keys() : s.tickets.contains(only) ? QStringList{only} : QStringList();
        for (auto it = s.tickets.cbegin(); it != s.tickets.cend(); ++it)
            order.insert(it.key(), it->seq);
    }
    TicketPoll poll;
    if (ids.isEmpty())
        return poll;
    std::sort(ids.begin(), ids.end(), [&order](const QString &a, const QString &b) { return order.value(a) < order.value(b); });
    poll.asked = true;
    poll.ok = transport()->checkTickets(ids, &poll.results, &poll.error);
    return poll;
}

// Books what a poll of the tickets learnt: the finished ones are completed. Loop thread.
void applyTicketPoll(TicketPoll poll, RunContext &ctx)
{
    UploaderState &s = state();
    if (!poll.asked)
        return;
    QList<TicketResult> &results = poll.results;
    const QString &error = poll.error;
    if (!poll.ok) {
        // The service cannot be asked how its processing went: a failure like a failed send, so
        // that an outage ends in the stop after errors and its back-off, not in polls forever.
        LGLogInfo(QStringLiteral("TICKETS: Check failed: %1").arg(error));
        int consecutive;
        {
            QMutexLocker locker(&s.lock);
            consecutive = ++s.consecutiveFailures;
        }
        s.ticketChecksFailing = true;
        LumoraDrive::updateStatus();
        if (consecutive >= kFailuresBeforePause)
            pauseAfterErrors(consecutive);
        return;
    }
    QHash<QString, qint64> order;
    {
        QMutexLocker locker(&s.lock);
        for (auto it = s.tickets.cbegin(); it != s.tickets.cend(); ++it)
            order.insert(it.key(), it->seq);
    }
    if (s.ticketChecksFailing.exchange(false))
        LumoraDrive::updateStatus();
    std::stable_sort(results.begin(), results.end(), [&order](const TicketResult &a, const TicketResult &b) {
        return order.value(a.ticketId) < order.value(b.ticketId);
    });
    // Every ticket that ended is booked in one turn of the main thread: a check ends about as
    // many tickets as the service lets wait, and a turn each would cost more than the booking.
    struct Ended
    {
        const TicketResult *result;
        PendingTicket pending;
        bool completed = false;
        bool changed = false;
    };
    std::vector<Ended> ended;
    {
        QMutexLocker locker(&s.lock);
        for (const TicketResult &t : std::as_const(results))
            if (t.state != TicketResult::State::Pending && s.tickets.contains(t.ticketId))
                ended.push_back({&t, s.tickets.take(t.ticketId)});
    }
    if (ended.empty()) {
        refreshSamplesInFlight(ctx);
        return;
    }
    int consecutive = 0;
    QList<CopyCheck> copies;
    changeOnMainAndSave([&] {
        bool failures = false;
        for (Ended &e : ended) {
            const TicketResult &t = *e.result;
            if (t.state == TicketResult::State::Complete && isServiceId(t.photoId)) {
                const Booking b = completeFile(e.pending.fileId, t.photoId, t.albumId, e.pending.uploadSeconds, e.pending.startedMs,
                                               &ctx.bySample, &copies, e.pending.sent, true);
                e.completed = b == Booking::Booked;
                e.changed = b == Booking::Changed;
            }
            if (e.completed || e.changed) {
                QMutexLocker locker(&s.lock);
                noteSuccessLocked(s);
                consecutive = 0;
                continue;
            }
            // The service could not process it: the file waits for another try.
            // A completion that named no usable photo may still have made one: the file is
            // looked up on the service before it is sent again.
            const bool mayExist = t.malformed || t.state == TicketResult::State::Complete;
            LGLogInfo(QStringLiteral("TICKETS: Ticket %1 failed").arg(t.ticketId));
            FileData *r = DataStore::instance()->fileDataForId(e.pending.fileId);
            if (!r)
                continue;
            r->setUploadTicket(mayExist ? freshSendingMark() : QString());
            QMutexLocker locker(&s.lock);
            // A file the service could not process failed on its own; an answer that named no
            // usable photo says nothing about the file.
            consecutive = ++s.consecutiveFailures;
            r->setNeedsUpload(failedTryLocked(s, e.pending.fileId, !t.malformed));
            locker.unlock();
            r->notifyParentsOfStatusChanged();
            failures = true;
        }
        return failures;
    });
    markTrueCopies(copies);
    if (consecutive >= kFailuresBeforePause)
        pauseAfterErrors(consecutive);
    int completed = 0;
    for (const Ended &e : ended) {
        completed += e.completed ? 1 : 0;
        if (e.completed)
            ctx.lastPhotoId = e.result->photoId;
    }
    if (completed > 0) {
        ctx.uploaded += completed;
        {
            QMutexLocker locker(&s.lock);
            s.uploadedThisRun += completed;
        }
        for (int i = 0; i < completed; ++i)
            postUploadedCount();
    }
    refreshSamplesInFlight(ctx);
}

// Polls the pending tickets once and books the finished ones, waiting for the service. Loop
// thread.
void checkTickets(RunContext &ctx)
{
    applyTicketPoll(pollTickets(), ctx);
}

// The same poll on another thread while the loop sends on: its answer is booked by the loop
// when it comes back (takeTicketPoll). At most one is under way. Loop thread.
void startTicketPoll()
{
    UploaderState &s = state();
    {
        QMutexLocker locker(&s.lock);
        if (s.pollUnderWay || s.pollAnswer || s.tickets.isEmpty())
            return;
        s.pollUnderWay = true;
    }
    dispatch_default_queue_async([] {
        auto poll = std::make_shared<TicketPoll>(pollTickets());
        UploaderState &st = state();
        QMutexLocker locker(&st.lock);
        st.pollUnderWay = false;
        st.pollAnswer = poll;
        st.wake.wakeAll();
    });
}

// Books the answer of a poll started earlier, if it is back; with `wait`, waits for one under
// way first (the loop ends, or cannot go on without it). False when none was booked.
bool takeTicketPoll(RunContext &ctx, bool wait)
{
    UploaderState &s = state();
    std::shared_ptr<TicketPoll> answer;
    {
        QMutexLocker locker(&s.lock);
        while (wait && s.pollUnderWay)
            s.wake.wait(&s.lock);
        answer = std::move(s.pollAnswer);
        s.pollAnswer.reset();
    }
    if (!answer)
        return false;
    applyTicketPoll(std::move(*answer), ctx);
    return true;
}

// The samples of the uploads the service is processing: their copies wait for the outcome.
void refreshSamplesInFlight(RunContext &ctx)
{
    UploaderState &s = state();
    // Copies held back for a twin's ticket may go now (marked uploaded or uploaded themselves).
    ctx.samplesInFlight.clear();
    QList<PendingTicket> still;
    {
        QMutexLocker locker(&s.lock);
        still = s.tickets.values();
    }
    // Each ticket keeps its samples, so this costs no turn of the main thread.
    for (const PendingTicket &p : std::as_const(still)) {
        ctx.samplesInFlight.insert(sampleKey(p.whole));
        ctx.samplesInFlight.insert(sampleKey(p.jpeg));
    }
    ctx.samplesInFlight.remove(QString());
    // Taken again in this run: a copy whose twin is still on its way is held back once more.
    for (qint64 id : std::as_const(ctx.heldBack))
        ctx.tried.remove(id);
    ctx.heldReleased = ctx.heldReleased || !ctx.heldBack.isEmpty();
    ctx.heldBack.clear();
    LumoraDrive::updateStatus();
}

// Polls until one ticket is done (or the loop must stop). Only that ticket is asked about: the
// loop waits for its answer, and booking every other ticket that ended would hold it up
// meanwhile; those are taken by the next poll beside the sends. Loop thread.
void awaitTicket(const QString &ticketId, RunContext &ctx)
{
    UploaderState &s = state();
    for (int attempt = 0; attempt < 40; ++attempt) {
        applyTicketPoll(pollTickets(ticketId), ctx);
        {
            QMutexLocker locker(&s.lock);
            if (!s.tickets.contains(ticketId) || s.pausedDueToErrors)
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
                s.tickets.insert(r->uploadTicket(), PendingTicket{r->fileID(), ++s.ticketSeq, 0, 0, r->sample(), r->jpegSample()});
        }
    });
}

// Runs the loop again once the youngest in-flight mark that held a file back is old enough.
void scheduleRecoveryRun(qint64 ms)
{
    UploaderState &s = state();
    int generation;
    {
        QMutexLocker locker(&s.lock);
        if (s.recoveryRunScheduled)
            return;
        s.recoveryRunScheduled = true;
        generation = s.generation;
    }
    LGLogInfo(QStringLiteral("UPLOADER: Asking the service about an unanswered upload in %1 s").arg(ms / 1000.0));
    dispatch_main_delay([generation] {
        UploaderState &st = state();
        {
            QMutexLocker locker(&st.lock);
            st.recoveryRunScheduled = false;
        }
        if (generation == st.generation)
            LumoraUploader::run();
    }, ms / 1000.0 + 0.05);
}

// Files whose upload was under way when the process ended, or whose answer was lost, may have
// reached the service. Ask before sending them again. True when the service answered about one
// (found there and bookkept as uploaded, or not there and its mark cleared): the list is then
// taken again, and copies held back for it may go.
bool recoverInterruptedUploads(RunContext &ctx, const QList<qint64> &queue)
{
    struct Interrupted { qint64 id; ContentSample whole, jpeg; };
    QList<Interrupted> interrupted;
    qint64 soonestMs = -1;
    dispatch_main_sync([&] {
        DataStore *store = DataStore::instance();
        for (qint64 id : queue) {
            FileData *r = store->fileDataForId(id);
            if (!r || !isSendingMark(r->uploadTicket()) || ctx.tried.contains(id))
                continue;
            const qint64 wait = sendingMarkWaitMs(r);
            if (wait > 0) {
                // Too soon to tell "not there" from "not registered yet": neither ask nor send.
                ctx.tried.insert(id);
                soonestMs = soonestMs < 0 ? wait : qMin(soonestMs, wait);
                continue;
            }
            interrupted.append({r->fileID(), r->sample(), r->jpegSample()});
        }
    });
    if (soonestMs >= 0)
        scheduleRecoveryRun(soonestMs);
    bool found = false;
    for (const Interrupted &f : interrupted) {
        QString photoId;
        if (!transport()->findPhotoWithSamples(f.whole, f.jpeg, &photoId)) {
            // Keep the mark; ask again in a later run rather than risk a second copy now.
            ctx.tried.insert(f.id);
            scheduleRecoveryRun(60 * 1000);
            continue;
        }
        bool completed = false;
        QList<CopyCheck> copies;
        dispatch_main_sync([&] {
            if (!photoId.isEmpty()) {
                LGLogInfo(QStringLiteral("UPLOADER: Interrupted upload had reached the service (photo %1)").arg(photoId));
                completed = completeFile(f.id, photoId, QString(), 0, 0, &ctx.bySample, &copies) == Booking::Booked;
                if (!completed)
                    ctx.tried.insert(f.id);
            } else if (FileData *r = DataStore::instance()->fileDataForId(f.id)) {
                LGLogInfo(QStringLiteral("UPLOADER: Interrupted upload of %1 had not reached the service").arg(r->fileName()));
                r->setUploadTicket(QString());
                DataStore::queueSave();
                completed = true;
            }
        });
        markTrueCopies(copies);
        found = found || completed;
    }
    return found;
}

void clearSendingMark(qint64 fileId)
{
    dispatch_main_sync([fileId] {
        FileData *r = DataStore::instance()->fileDataForId(fileId);
        if (r && isSendingMark(r->uploadTicket())) {
            r->setUploadTicket(QString());
            DataStore::queueSave();
        }
    });
}

// The answer to a send was lost: the mark's time restarts, so the service gets its time.
void restampSendingMark(qint64 fileId)
{
    changeOnMainAndSave([fileId] {
        FileData *r = DataStore::instance()->fileDataForId(fileId);
        if (!r || !isSendingMark(r->uploadTicket()))
            return false;
        r->setUploadTicket(freshSendingMark());
        return true;
    });
}

enum class StepResult { Next, Retry, Stop };

// A copy of something already on its way waits for its twin's ticket instead of being sent, and
// so does a copy of a file whose send went unanswered (a kill, a lost reply), until the service
// has been asked about that one.
bool isTwinInFlight(const RunContext &ctx, const ContentSample &whole, const ContentSample &jpeg)
{
    for (const ContentSample &sample : {whole, jpeg}) {
        const QString key = sampleKey(sample);
        if (!key.isEmpty()
            && (ctx.samplesInFlight.contains(key) || ctx.samplesSending.contains(key) || ctx.samplesUnresolved.contains(key)))
            return true;
    }
    return false;
}

// Marked (and saved) before the first byte leaves, so after a kill mid-upload the service is
// asked about the file before it is sent again. The last word on pause and selection is taken
// here, on the main thread, where they change. Main thread.
bool markForSending(FileData *r, DataStore::SaveTicket *save)
{
    if (state().cancelCurrent || r->needsUpload() != NeedsUpload::Waiting || !isSelected(r) || !holdReason(false).isEmpty())
        return false;
    r->setUploadTicket(freshSendingMark());
    *save = DataStore::startSave();
    return true;
}

// One file on its road: what the stages learn and hand on.
struct Upload
{
    qint64 fileId = 0;
    enum class Mark { NotYet, Set, Refused } marked = Mark::NotYet;
    QString hold;                   // why the loop must stop ("" to go on)
    bool go = false;                // prepared and still meant to be sent
    UploadRequest request;
    ContentSample whole, jpeg;
    DataStore::SaveTicket markSave;
    QList<CopyCheck> copyOf;        // photos sent from here that this file may be a copy of
    SentStamp sent;                 // the file as scanned, and as it must still be when sent
    QString name() const { return QFileInfo(request.filePath).fileName(); }
};

enum class Fault { Road, File };

// A failed send or a file the service could not take: the file waits for another try (see
// failedTryLocked); six failures in a row, of any kind, stop the loop. Loop thread.
StepResult countFailure(const Upload &u, const QString &why, Fault fault = Fault::Road)
{
    UploaderState &s = state();
    LGLogInfo(QStringLiteral("UPLOAD: Failed %1: %2").arg(u.name(), why));
    int consecutive;
    qint16 next;
    {
        QMutexLocker locker(&s.lock);
        consecutive = ++s.consecutiveFailures;
        next = failedTryLocked(s, u.fileId, fault == Fault::File);
    }
    dispatch_main_sync([&] {
        if (FileData *r = DataStore::instance()->fileDataForId(u.fileId)) {
            r->setNeedsUpload(next);
            r->notifyParentsOfStatusChanged();
            DataStore::queueSave();
        }
    });
    if (consecutive >= kFailuresBeforePause) {
        pauseAfterErrors(consecutive);
        return StepResult::Stop;
    }
    return StepResult::Next;
}

// Another record names the file's photo (a copy marked with it): the photo is theirs too, and
// stays as it is.
bool photoHeldByOthers(const FileData *r)
{
    const qint64 pid = r->uploadedRemoteId();
    return !DataStore::instance()->fetchFileData([r, pid](const FileData *o) { return o != r && !o->isFolder() && o->uploadedRemoteId() == pid; }).isEmpty();
}

// Stage 1, prepare (main thread, the loop's one turn there for a file): may the loop go on at
// all, is the file still there, unchanged and selected, is it a copy of one sent from here, and
// where does it go. When nothing is left to learn from the service, it is marked in this same
// turn.
void prepare(Upload &u, RunContext &ctx)
{
    u.hold = holdReason(false);
    if (!u.hold.isEmpty())
        return;
    FileData *r = DataStore::instance()->fileDataForId(u.fileId);
    if (!r || r->needsUpload() != NeedsUpload::Waiting)
        return;
    ctx.tried.insert(u.fileId);
    if (isSendingMark(r->uploadTicket())) {
        // Its last send went unanswered and the service has not been asked yet.
        const qint64 wait = sendingMarkWaitMs(r);
        scheduleRecoveryRun(qMax<qint64>(wait, 1000));
        return;
    }
    const QFileInfo info(r->fileFullPath());
    if (!info.exists() && isSelected(r)) {
        // Its card or disk is away: it waits. Otherwise the scanner finds it gone and says so.
        if (!FileManager::isSourceUnavailable(r->fileFullPath())) {
            FileManager::setFile(r, NeedsScan::Pending, false);
            DataStore::queueSave();
            dispatch_main_async([] { FileManager::run(); });
        }
        return;
    }
    const SentStamp now = stampOf(info);
    if (r->fileSize() > 0 && (now.size != r->fileSize() || (r->dateModifiedMs() != 0 && now.mtimeMs != r->dateModifiedMs()))) {
        LGLogInfo(QStringLiteral("UPLOADER: %1 changed since its scan; scanning it again").arg(r->fileName()));
        scanAgain(r);
        return;
    }
    if (!isSelected(r)) {
        r->setNeedsUpload(NeedsUpload::NotSelected);
        r->notifyParentsOfStatusChanged();
        DataStore::queueSave();
        return;
    }
    if (const qint64 pid = ownUploadOf(r, ctx.bySample, &u.copyOf)) {
        LGLogInfo(QStringLiteral("UPLOADER: %1 is a copy of photo %2, whose original is gone").arg(r->fileName()).arg(pid));
        markCopy(r, pid);
        DataStore::queueSave();
        return;
    }
    u.whole = r->sample();
    u.jpeg = r->jpegSample();
    u.request.filePath = r->fileFullPath();
    u.request.title = info.completeBaseName();
    // A name may hold line breaks and other control characters; a title shown on the service may not.
    u.request.title.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    u.request.isVideo = r->isVideo();
    u.request.size = info.size();
    u.sent = now;
    if (r->hasFlag(FileFlags::PhotoSentFromHere) && r->uploadedRemoteId() > 0 && !photoHeldByOthers(r))
        u.request.replacePhotoId = QString::number(r->uploadedRemoteId());
    if (FileData *folder = albumFolderFor(r)) {
        u.request.albumName = albumNameFor(folder);
        if (!u.request.albumName.isEmpty() && folder->lumoraSetId() != 0)
            u.request.albumId = QString::number(folder->lumoraSetId());
    }
    u.go = true;
    r->statusInputsChanged(); // its folders are working now
    // Nothing to learn from the service first (its album is known, no twin is on its way):
    // marked in this same turn, which saves the upload a second wait for the main thread.
    if ((u.request.albumName.isEmpty() || !u.request.albumId.isEmpty()) && !isTwinInFlight(ctx, u.whole, u.jpeg) && u.copyOf.isEmpty())
        u.marked = markForSending(r, &u.markSave) ? Upload::Mark::Set : Upload::Mark::Refused;
}

// Stage 2, gate (loop thread): what only the service or the disk can tell before the send (a
// copy's bytes, the folder's album), a copy held back for its twin's ticket, and the mark when
// the preparation could not set it yet. Next when the file does not go now.
std::optional<StepResult> gate(Upload &u, RunContext &ctx)
{
    UploaderState &s = state();
    for (const CopyCheck &c : std::as_const(u.copyOf))
        if (markTrueCopies({c}) > 0)
            return StepResult::Next;

    // The folder's album: known, found on the service by its title, or made by this upload.
    if (!u.request.albumName.isEmpty() && u.request.albumId.isEmpty()) {
        QString found;
        if (!transport()->findAlbum(u.request.albumName, &found))
            return countFailure(u, QStringLiteral("album look-up failed"));
        if (!found.isEmpty()) {
            u.request.albumId = found;
            dispatch_main_async([fileId = u.fileId, found] {
                FileData *r = DataStore::instance()->fileDataForId(fileId);
                if (FileData *folder = r ? albumFolderFor(r) : nullptr; folder && folder->lumoraSetId() == 0) {
                    folder->setLumoraSetId(found.toLongLong());
                    DataStore::queueSave();
                }
            });
        }
    }

    if (u.marked == Upload::Mark::NotYet && isTwinInFlight(ctx, u.whole, u.jpeg)) {
        ctx.heldBack.insert(u.fileId);
        // Found after the run's sample index was made: its twin's completion must see it too.
        for (const ContentSample &sample : {u.whole, u.jpeg})
            if (!sample.isNull() && !ctx.bySample.values(sample).contains(u.fileId))
                ctx.bySample.add(sample, u.fileId);
        return StepResult::Next;
    }

    {
        QMutexLocker locker(&s.lock);
        s.currentName = u.name();
        s.progress = 0;
    }
    LumoraDrive::updateStatus();

    if (u.marked == Upload::Mark::NotYet) {
        dispatch_main_sync([&] {
            FileData *r = DataStore::instance()->fileDataForId(u.fileId);
            u.marked = r && markForSending(r, &u.markSave) ? Upload::Mark::Set : Upload::Mark::Refused;
        });
    }
    if (u.marked != Upload::Mark::Set) {
        LGLogInfo(QStringLiteral("UPLOAD: Not sending %1: paused, cancelled or deselected meanwhile").arg(u.name()));
        return StepResult::Next;
    }
    return std::nullopt;
}

// Stage 3, send (loop thread). No byte leaves before the in-flight mark is committed: the
// transport builds the body meanwhile and asks right before it sends. The disk is waited for on
// this thread rather than the main thread: the mark's save may have to follow a large one (a
// scan's or a refresh's records), and the window must not freeze meanwhile. A pause or
// deselection in that time cancels the file, as during its send. Nothing when nothing left.
std::optional<UploadReply> send(Upload &u, double *seconds)
{
    UploaderState &s = state();
    enum class Gate { NotAsked, Open, MarkNotSaved, Cancelled, Changed } gate = Gate::NotAsked;
    const QString sendingLine = QStringLiteral("UPLOAD: Sending %1 (%2 bytes)%3")
                                    .arg(u.name()).arg(u.request.size)
                                    .arg(u.request.albumName.isEmpty() ? QString() : QStringLiteral(" to album ") + u.request.albumName);
    u.request.beforeSend = [&gate, &u, &s, &sendingLine] {
        if (!DataStore::waitForSave(u.markSave))
            gate = Gate::MarkNotSaved;
        else if (changedSinceSent(u.request.filePath, u.sent))
            gate = Gate::Changed; // a writer came back since the scan: what was read is not the file
        else
            gate = s.cancelCurrent ? Gate::Cancelled : Gate::Open;
        if (gate == Gate::Open)
            LGLogInfo(sendingLine);
        return gate == Gate::Open;
    };

    s.sending = true;
    QElapsedTimer clock;
    clock.start();
    const UploadReply reply = transport()->upload(u.request, [](qint64 sent, qint64 total) {
        UploaderState &st = state();
        {
            QMutexLocker locker(&st.lock);
            st.progress = total > 0 ? double(sent) / double(total) : 0;
        }
        LumoraDrive::updateStatus();
    }, s.cancelCurrent);
    *seconds = clock.elapsed() / 1000.0;
    s.sending = false;

    {
        QMutexLocker locker(&s.lock);
        s.currentFileId = 0;
        s.currentName.clear();
        s.progress = 0;
        if (reply.maxTickets > 0)
            s.maxTickets = reply.maxTickets;
    }

    if (gate == Gate::NotAsked)
        DataStore::waitForSave(u.markSave); // nothing was sent; the mark's own save has ended too
    if (gate == Gate::Changed) {
        clearSendingMark(u.fileId);
        LGLogInfo(QStringLiteral("UPLOAD: Not sending %1: it changed since its scan").arg(u.name()));
        dispatch_main_sync([&u] {
            if (FileData *r = DataStore::instance()->fileDataForId(u.fileId))
                scanAgain(r);
        });
        return std::nullopt;
    }
    if (gate == Gate::MarkNotSaved || gate == Gate::Cancelled) {
        clearSendingMark(u.fileId);
        if (gate == Gate::MarkNotSaved)
            LGLogError(QStringLiteral("UPLOAD: Not sending %1: its in-flight mark could not be saved").arg(u.name()));
        else
            LGLogInfo(QStringLiteral("UPLOAD: Not sending %1: paused, cancelled or deselected meanwhile").arg(u.name()));
        return std::nullopt;
    }
    return reply;
}

// Stage 4, book (loop thread, the records changed on the main thread): what the service said.
StepResult book(const Upload &u, const UploadReply &reply, double seconds, RunContext &ctx)
{
    UploaderState &s = state();
    const qint64 fileId = u.fileId;
    switch (reply.outcome) {
    case UploadReply::Outcome::Cancelled:
        if (reply.bodySent) {
            // Cut while the answer was awaited: the service may hold the file. The mark stays,
            // so it is asked about before the file goes again.
            restampSendingMark(fileId);
            LGLogInfo(QStringLiteral("UPLOAD: Cancelled %1 after it was sent").arg(u.name()));
            return StepResult::Next;
        }
        // The request was cut before the service had all of it; the file keeps waiting.
        clearSendingMark(fileId);
        LGLogInfo(QStringLiteral("UPLOAD: Cancelled %1").arg(u.name()));
        return StepResult::Next;

    case UploadReply::Outcome::PhotoMissing:
        // The photo the file's older state went to was deleted on the service: the file goes
        // as a new photo.
        clearSendingMark(fileId);
        LGLogInfo(QStringLiteral("UPLOADER: Photo %1 of %2 is gone; sending it as a new photo").arg(u.request.replacePhotoId, u.name()));
        dispatch_main_sync([&] {
            if (FileData *r = DataStore::instance()->fileDataForId(fileId)) {
                r->setUploadedRemoteId(0);
                DataStore::queueSave();
            }
        });
        return StepResult::Retry;

    case UploadReply::Outcome::AlbumMissing: {
        // The folder's album was deleted on the service: forget it, find or make it again by
        // its title, and send the file again. Once per file and run; then it is a failure.
        clearSendingMark(fileId);
        const qint64 staleId = u.request.albumId.toLongLong();
        LGLogInfo(QStringLiteral("UPLOADER: Album %1 no longer exists; finding it again by its title").arg(u.request.albumId));
        DataStoreLumoraData::forgetAlbum(u.request.albumId);
        dispatch_main_sync([&] {
            DataStore *store = DataStore::instance();
            for (FileData *f : store->fetchFileData([staleId](const FileData *r) { return r->isFolder() && r->lumoraSetId() == staleId; }))
                f->setLumoraSetId(0);
            DataStore::queueSave();
        });
        if (ctx.albumRetried.contains(fileId))
            return countFailure(u, QStringLiteral("album missing again"));
        ctx.albumRetried.insert(fileId);
        return StepResult::Retry;
    }

    case UploadReply::Outcome::Ticket: {
        // Booked without waiting: the main thread takes it in turn, before the next file's
        // preparation. Until the booking's save lands, the in-flight mark on disk sends a
        // restart to the service's duplicate check, which knows the photo.
        dispatch_main_async([fileId, ticketId = reply.ticketId, albumId = reply.albumId] {
            DataStore *store = DataStore::instance();
            FileData *r = store && store->isOpen() ? store->fileDataForId(fileId) : nullptr;
            if (!r)
                return;
            r->setUploadTicket(ticketId);
            r->setNeedsUpload(NeedsUpload::AwaitingTicket);
            r->notifyParentsOfStatusChanged();
            // Known to the de-duplication index from now on, so no copy is sent meanwhile.
            EngineLinks::registerUploadedFile(r);
            if (!albumId.isEmpty()) {
                if (FileData *folder = albumFolderFor(r); folder && folder->lumoraSetId() == 0)
                    folder->setLumoraSetId(albumId.toLongLong());
            }
            DataStore::queueSave();
        });
        {
            // Not a success yet: the count of failures in a row goes on until the service has
            // processed the file (or could not).
            QMutexLocker locker(&s.lock);
            s.tickets.insert(reply.ticketId, PendingTicket{fileId, ++s.ticketSeq, QDateTime::currentMSecsSinceEpoch(), seconds, u.whole, u.jpeg, u.sent});
        }
        ctx.samplesInFlight.insert(sampleKey(u.whole));
        ctx.samplesInFlight.insert(sampleKey(u.jpeg));
        ctx.samplesInFlight.remove(QString());
        // This upload creates the folder's album: learn its id before the folder's next file,
        // or that file would create a second album of the same name.
        if (u.request.albumId.isEmpty() && !u.request.albumName.isEmpty())
            awaitTicket(reply.ticketId, ctx);
        return StepResult::Next;
    }

    case UploadReply::Outcome::Photo: {
        Booking booked = Booking::Refused;
        QList<CopyCheck> copies;
        dispatch_main_sync([&] { booked = completeFile(fileId, reply.photoId, reply.albumId, seconds, 0, &ctx.bySample, &copies, u.sent, true); });
        markTrueCopies(copies);
        if (booked == Booking::Changed)
            return StepResult::Next;
        if (booked == Booking::Refused) {
            restampSendingMark(fileId);
            return countFailure(u, QStringLiteral("reply with an invalid photo id"));
        }
        {
            QMutexLocker locker(&s.lock);
            noteSuccessLocked(s);
            ++s.uploadedThisRun;
        }
        ++ctx.uploaded;
        ctx.lastPhotoId = reply.photoId;
        postUploadedCount();
        return StepResult::Next;
    }

    case UploadReply::Outcome::Duplicate: {
        Settings::incrementIntForKey(reply.photoId.isEmpty() ? QStringLiteral("ServerDuplicatesFoundWithoutPID")
                                                             : QStringLiteral("ServerDuplicatesFound"));
        // A duplicate answer is taken only once the account is seen to hold this content, and
        // for the photo that holds it: the photo it names (if any) may be another account's,
        // or one deleted since.
        QString held = reply.photoId;
        if (held.isEmpty() || !u.whole.isNull() || !u.jpeg.isNull()) {
            QString found;
            const bool asked = (!u.whole.isNull() || !u.jpeg.isNull()) && transport()->findPhotoWithSamples(u.whole, u.jpeg, &found);
            if (!asked || found.isEmpty()) {
                clearSendingMark(fileId);
                const QString photo = held.isEmpty() ? QStringLiteral("a photo") : QStringLiteral("photo %1").arg(held);
                return asked ? countFailure(u, QStringLiteral("duplicate of %1, which the account does not hold").arg(photo), Fault::File)
                             : countFailure(u, QStringLiteral("duplicate of %1 could not be checked").arg(photo));
            }
            held = found;
        }
        QList<CopyCheck> copies;
        dispatch_main_sync([&] { completeFile(fileId, held, held == reply.photoId ? reply.albumId : QString(), seconds, 0, &ctx.bySample, &copies, u.sent); });
        clearSendingMark(fileId);
        markTrueCopies(copies);
        {
            QMutexLocker locker(&s.lock);
            noteSuccessLocked(s);
        }
        return StepResult::Next;
    }

    case UploadReply::Outcome::Busy: {
        clearSendingMark(fileId);
        double wait = reply.wait > 0 ? clampedServiceWait(reply.wait) : 30;
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
        // the next try asks the service before sending it again, once it has had time.
        if (reply.ambiguous)
            restampSendingMark(fileId);
        else
            clearSendingMark(fileId);
        return countFailure(u, reply.errorMessage.isEmpty() ? QStringLiteral("error %1").arg(reply.errorCode) : reply.errorMessage,
                            reply.fileRefused ? Fault::File : Fault::Road);
    }
    return StepResult::Next;
}

// A file's folders show it working while it is on its way, and no longer once it is not.
void foldersStatusChanged(qint64 fileId)
{
    dispatch_main_async([fileId] {
        DataStore *store = DataStore::instance();
        if (FileData *r = store ? store->fileDataForId(fileId) : nullptr)
            r->statusInputsChanged();
    });
}

// The next file, prepared on the main thread while the current one is sent, so that the send
// does not wait for the main thread nor for the next mark's save. It is used only when nothing
// since its preparation could have changed what it found: the same file comes next, no cancel
// (pause, deselection, stop) came meanwhile, and it was marked there. Otherwise it is dropped
// and the file prepared again in turn.
struct Lookahead
{
    qint64 fileId = 0;
    int epoch = 0;
    Upload u;              // written on the main thread, read once done
    std::mutex lock;
    std::condition_variable cond;
    bool done = false;

    void finish()
    {
        std::lock_guard<std::mutex> l(lock);
        done = true;
        cond.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> l(lock);
        cond.wait(l, [this] { return done; });
    }
};

std::shared_ptr<Lookahead> prepareAhead(qint64 fileId, const std::shared_ptr<RunContext> &run)
{
    UploaderState &s = state();
    auto ahead = std::make_shared<Lookahead>();
    ahead->fileId = fileId;
    ahead->u.fileId = fileId;
    {
        QMutexLocker locker(&s.lock);
        ahead->epoch = s.aheadEpoch;
        s.aheadFileId = fileId;
    }
    // Done when the block has run, and also when it is dropped unrun (the application ending):
    // the loop waits for it either way.
    std::shared_ptr<void> finished(nullptr, [ahead](void *) { ahead->finish(); });
    dispatch_main_async([ahead, run, finished] { prepare(ahead->u, *run); });
    return ahead;
}

// A file prepared ahead that is not sent next after all waits as if it had not been taken.
void dropLookahead(std::shared_ptr<Lookahead> &ahead, RunContext &ctx)
{
    if (!ahead)
        return;
    ahead->wait();
    const Upload &u = ahead->u;
    ctx.tried.remove(u.fileId);
    if (u.marked == Upload::Mark::Set) {
        DataStore::waitForSave(u.markSave);
        clearSendingMark(u.fileId);
    }
    if (u.go)
        foldersStatusChanged(u.fileId);
    {
        QMutexLocker locker(&state().lock);
        if (state().aheadFileId == u.fileId)
            state().aheadFileId = 0;
    }
    ahead.reset();
}

// The road of one file: prepared on the main thread (one turn, or while the file before it was
// sent), gated and sent on the loop's thread, booked where its records live. Stop with `hold`
// set when the loop must not go on. `following` is the file after it (0 for none); its
// preparation is left in `ahead`. Loop thread.
StepResult uploadOne(qint64 fileId, const std::shared_ptr<RunContext> &run, QString *hold, std::shared_ptr<Lookahead> &ahead,
                     qint64 following)
{
    UploaderState &s = state();
    RunContext &ctx = *run;

    // The file is ours from here: a pause or deselection that arrives while it is prepared
    // (album look-up, samples) must find it, and stop it before any byte leaves. A cancel
    // moves the epoch before it sets the flag, so one that the reset below clears is seen
    // in the epoch instead.
    s.cancelCurrent = false;
    int epoch;
    {
        QMutexLocker locker(&s.lock);
        s.currentFileId = fileId;
        if (s.aheadFileId == fileId)
            s.aheadFileId = 0;
        epoch = s.aheadEpoch;
    }
    s.preparing = true;
    struct Release
    {
        ~Release()
        {
            UploaderState &st = state();
            QMutexLocker locker(&st.lock);
            st.currentFileId = 0;
            st.currentName.clear();
            st.progress = 0;
            st.preparing = false;
            st.sending = false;
            // Its folders were shown as working while it was on its way.
            if (working)
                foldersStatusChanged(fileId);
        }
        qint64 fileId;
        bool working = false;
    } release{fileId};

    Upload u;
    if (ahead && ahead->fileId == fileId) {
        ahead->wait();
        if (ahead->epoch == epoch && (!ahead->u.go || ahead->u.marked == Upload::Mark::Set)) {
            u = std::move(ahead->u);
            ahead.reset();
        }
    }
    if (!u.fileId) {
        dropLookahead(ahead, ctx);
        u.fileId = fileId;
        dispatch_main_sync([&] { prepare(u, ctx); });
    }
    release.working = u.go;
    if (!u.hold.isEmpty()) {
        *hold = u.hold;
        return StepResult::Stop;
    }
    if (!u.go)
        return StepResult::Next;
    if (const std::optional<StepResult> held = gate(u, ctx))
        return *held;

    // The next file is prepared meanwhile, unless the loop is about to wait or to rebuild its
    // list, or this file makes its folder's album (the next one may need that album's id).
    bool lookAhead = following != 0 && (u.request.albumName.isEmpty() || !u.request.albumId.isEmpty());
    if (lookAhead) {
        QMutexLocker locker(&s.lock);
        lookAhead = !s.cleanupRequested && !s.stopRequested && !s.serverBusyUntil.isValid() && s.tickets.size() + 1 < s.maxTickets;
    }
    if (lookAhead) {
        // A copy of this file must not be marked while this one is on its way.
        ctx.samplesSending = {sampleKey(u.whole), sampleKey(u.jpeg)};
        ctx.samplesSending.remove(QString());
        ahead = prepareAhead(following, run);
    }
    double seconds = 0;
    const std::optional<UploadReply> reply = send(u, &seconds);
    if (ahead)
        ahead->wait(); // the context is the loop's again
    ctx.samplesSending.clear();
    if (!reply)
        return StepResult::Next;
    return book(u, *reply, seconds, ctx);
}

void notifyRunEnd(const RunContext &ctx);

void loop(int generation)
{
    UploaderState &s = state();
    const auto run = std::make_shared<RunContext>();
    RunContext &ctx = *run;
    std::shared_ptr<Lookahead> ahead;
    LGLogInfo(QStringLiteral("UPLOADER: Starting"));
    {
        QMutexLocker locker(&s.lock);
        s.uploadedThisRun = 0;
    }
    adoptPendingTickets();
    // Copies of what an earlier run left processing wait for its outcome, as in that run.
    refreshSamplesInFlight(ctx);

    QList<qint64> queue;
    bool rebuild = true;
    quint64 listedAt = 0; // the runs asked for when the list was last taken
    int announced = 0;   // files the "Backing up" notification counts
    bool listed = false; // the list was taken again since the count was last looked at
    int ticketWaits = 0;

    while (generation == s.generation) {
        takeTicketPoll(ctx, false);
        // Going straight on to the next file, the stop check rides with its preparation (one
        // turn of the main thread per file); anything else is checked for first.
        bool straightOn;
        {
            QMutexLocker locker(&s.lock);
            straightOn = !rebuild && !queue.isEmpty() && !s.cleanupRequested && !s.serverBusyUntil.isValid()
                && s.tickets.size() < s.maxTickets;
        }
        if (!straightOn) {
            dropLookahead(ahead, ctx);
            const QString hold = holdReasonOnMain(false);
            if (!hold.isEmpty()) {
                LGLogInfo(QStringLiteral("UPLOADER: Stopping (%1)").arg(hold));
                break;
            }
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
            if (!takeTicketPoll(ctx, true)) // one under way is waited for rather than asked again
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
        // Files taken in this run are not taken again, so once the list is used up it can change
        // only when a run was asked for since it was taken (a scan found files, a retry) or
        // copies held back for a twin may go: only then is the whole catalogue walked again.
        bool asked = false;
        if (queue.isEmpty() && !rebuild && !cleanup) {
            QMutexLocker locker(&s.lock);
            asked = std::exchange(ctx.heldReleased, false) || s.runRequests != listedAt;
        }
        if (rebuild || cleanup || asked) {
            {
                QMutexLocker locker(&s.lock);
                listedAt = s.runRequests;
                // A run asked for before the first list is this run: nothing has been taken yet,
                // so that list holds everything it would find.
                if (ctx.tried.isEmpty())
                    s.runAgain = false;
            }
            // The main thread copies what is needed in one pass; sorting and indexing are done here.
            QList<WaitingEntry> waiting;
            QList<SampleEntry> samples;
            ctx.samplesUnresolved.clear();
            dispatch_main_sync([&] { snapshotCatalogue(cleanup, &waiting, &samples, &ctx.samplesUnresolved); });
            queue = orderedIds(waiting);
            std::vector<std::pair<ContentSample, qint64>> entries;
            entries.reserve(size_t(samples.size()) * 2);
            for (const SampleEntry &e : std::as_const(samples)) {
                if (!e.whole.isNull())
                    entries.emplace_back(e.whole, e.id);
                if (!e.jpeg.isNull() && e.jpeg != e.whole)
                    entries.emplace_back(e.jpeg, e.id);
            }
            samples = {};
            ctx.bySample.build(entries);
            rebuild = false;
            listed = true;
            if (!queue.isEmpty() && recoverInterruptedUploads(ctx, queue)) {
                refreshSamplesInFlight(ctx);
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
                if (!takeTicketPoll(ctx, true))
                    checkTickets(ctx);
                {
                    QMutexLocker locker(&s.lock);
                    pending = int(s.tickets.size());
                }
                if (pending > 0 && !waitFor(qMin(5.0, 0.5 * (1 << qMin(ticketWaits++, 3)))))
                    break;
                if (pending == 0)
                    ticketWaits = 0;
                continue;
            }
            break;
        }

        // Files found while the run goes on join it: the notification counts the whole run.
        if (std::exchange(listed, false)) {
            const int runTotal = int(ctx.tried.size() + queue.size()); // the list holds no file already tried
            if (runTotal > announced) {
                announced = runTotal;
                NotificationManager::notifyUploadStarted(runTotal);
            }
        }
        const qint64 next = queue.takeFirst();
        storeCount(qMax(0, s.filesToUpload.load() - 1));
        QString hold;
        const StepResult step = uploadOne(next, run, &hold, ahead, queue.isEmpty() ? 0 : queue.first());
        if (!hold.isEmpty())
            LGLogInfo(QStringLiteral("UPLOADER: Stopping (%1)").arg(hold));
        if (step == StepResult::Stop)
            break;
        if (step == StepResult::Retry) {
            ctx.tried.remove(next);
            queue.prepend(next);
            storeCount(s.filesToUpload.load() + 1);
        }
        // The service is asked about its processing beside the sends, once half the tickets it
        // lets wait are taken, so that the loop seldom stops at the limit.
        bool pollNow;
        {
            QMutexLocker locker(&s.lock);
            pollNow = 2 * s.tickets.size() >= s.maxTickets;
        }
        if (pollNow)
            startTicketPoll();
        LumoraDrive::updateStatus();
    }

    dropLookahead(ahead, ctx);
    {
        // A poll still under way ends before the loop does; its answer is left to the next run,
        // which asks again about every pending ticket.
        QMutexLocker locker(&s.lock);
        while (s.pollUnderWay)
            s.wake.wait(&s.lock);
        s.pollAnswer.reset();
    }
    notifyRunEnd(ctx);
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
        recountWaiting();
        LumoraDrive::updateStatus();
        if (again)
            LumoraUploader::run();
    });
}

// "Upload complete" only when nothing selected is left to send; a run stopped by errors says so;
// one the user paused, or that a sleep or a quit ended, says nothing (the status tells the rest).
void notifyRunEnd(const RunContext &ctx)
{
    if (ctx.uploaded <= 0)
        return;
    QString hold;
    NotOnService left;
    dispatch_main_sync([&] {
        hold = holdReason(false);
        left = EngineLinks::countNotOnService();
    });
    const int toSend = left.waiting + left.awaitingSource + left.retrying;
    if (hold.isEmpty() && toSend + left.failed == 0)
        NotificationManager::notifyUploadComplete(ctx.uploaded, ctx.lastPhotoId);
    else if (LumoraUploader::pausedDueToErrors() || (hold.isEmpty() && left.retrying + left.failed > 0))
        NotificationManager::notifyUploadStopped(ctx.uploaded, toSend, left.failed);
    else
        LGLogInfo(QStringLiteral("UPLOADER: Not notifying completion (%1 left to send%2)")
                      .arg(toSend).arg(hold.isEmpty() ? QString() : QStringLiteral(", ") + hold));
}

// Every ten minutes: files whose send failed go again, and what could not be read is read again
// (permissions mended where no folder watch tells it, as on a source that could not be watched).
void resetDeferredUploads()
{
    DataStore *store = DataStore::instance();
    if (!store || !store->isOpen())
        return;
    FileManager::rescanWhatCouldNotBeRead();
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
            ++s.runRequests;
            return;
        }
    }
    const QString hold = holdReason(true);
    if (!hold.isEmpty()) {
        recountWaiting();
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

int LumoraUploader::filesToUpload()
{
    // Every file of this run not yet confirmed: waiting, being sent, or processing.
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    return s.filesToUpload.load() + (s.preparing ? 1 : 0) + int(s.tickets.size()) + s.filesHeldBack.load();
}

int LumoraUploader::filesWaiting() { return state().filesToUpload.load(); }

void LumoraUploader::setFilesHeldBack(int count) { state().filesHeldBack = qMax(0, count); }

void LumoraUploader::clearServerBusy()
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    if (!s.serverBusyUntil.isValid())
        return;
    LGLogInfo(QStringLiteral("UPLOADER: Wait for the service cleared"));
    s.serverBusyUntil = QDateTime();
    s.wake.wakeAll();
}

void LumoraUploader::setSendingMarkMinAgeForTesting(qint64 ms)
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    s.sendingMinAgeMs = ms < 0 ? kSendingMarkMinAgeMs : ms;
}

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
    const QFileInfo thumb = thumbnailFor(path);
    return thumb.exists() ? QImage(thumb.filePath()) : QImage();
}

QString LumoraUploader::imageStampForRecentUpload(const QString &path)
{
    const QFileInfo thumb = thumbnailFor(path);
    if (!thumb.exists())
        return QString();
    return QString::number(thumb.lastModified().toMSecsSinceEpoch()) + QLatin1Char(':') + QString::number(thumb.size());
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
    UploaderState &s = state();
    qint64 aheadId;
    {
        QMutexLocker locker(&s.lock);
        aheadId = s.aheadFileId;
    }
    if (FileData *next = aheadId ? DataStore::instance()->fileDataForId(aheadId) : nullptr; next && !isSelected(next)) {
        QMutexLocker locker(&s.lock);
        if (s.aheadFileId == aheadId)
            ++s.aheadEpoch; // prepared already: it is prepared again, and found deselected
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
        // The check asks the account signed in now; once another one is, its answers are no
        // longer about the photos these records name.
        const QString account = LumoraKit::sharedLumoraKit()->currentUserID();
        dispatch_default_queue_async([ids, account] {
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
                    FileData *r = DataStore::instance()->fileDataForId(id);
                    if (!r || LumoraKit::sharedLumoraKit()->currentUserID() != account)
                        return;
                    // The copies marked with the lost photo lost it too; left so, they would
                    // make this file pass for a copy of a photo that is gone.
                    QList<FileData *> lost{r};
                    if (const qint64 pid = r->uploadedRemoteId(); pid > 0)
                        lost += DataStore::instance()->fetchFileData([pid, r](const FileData *o) {
                            return o != r && !o->isFolder() && o->uploadedRemoteId() == pid && o->needsUpload() == NeedsUpload::Uploaded;
                        });
                    for (FileData *f : std::as_const(lost)) {
                        f->setUploadedRemoteId(0);
                        f->setNeedsUpload(NeedsUpload::Waiting);
                        f->notifyParentsOfStatusChanged();
                        ++marked;
                    }
                });
            }
            LGLogInfo(QStringLiteral("UPLOADER: %1 files marked for upload again").arg(marked));
            dispatch_main_async([] {
                DataStore::startSave(); // written by the writer; the window does not wait
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
    return state().sending.load();
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

bool LumoraUploader::ticketChecksFailing() { return state().ticketChecksFailing; }

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

QDateTime LumoraUploader::errorRetryAt()
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    return s.pausedDueToErrors ? s.errorRetryAt : QDateTime();
}

// Ends the stop after errors and lets the files it held back wait again: all of them when the
// user asks, only those the road failed when it ends by itself. Main thread or loop thread.
static void endErrorStop(bool byUser)
{
    UploaderState &s = state();
    QHash<qint64, int> failedOnTheirOwn;
    {
        QMutexLocker locker(&s.lock);
        s.pausedDueToErrors = false;
        s.errorRetryAt = QDateTime();
        s.consecutiveFailures = 0;
        if (byUser)
            s.failuresPerFile.clear();
        failedOnTheirOwn = s.failuresPerFile;
    }
    dispatch_main_sync([byUser, &failedOnTheirOwn] {
        if (UploaderState &st = state(); st.errorRetryTimer)
            st.errorRetryTimer->stop();
        DataStore *store = DataStore::instance();
        if (!store || !store->isOpen())
            return;
        const QList<FileData *> failed = store->fetchFileData([byUser, &failedOnTheirOwn](const FileData *r) {
            if (r->isFolder())
                return false;
            if (!byUser)
                return r->needsUpload() == NeedsUpload::Deferred && !failedOnTheirOwn.contains(r->fileID());
            // A photo whose type the service refused is offered once more too.
            return r->needsUpload() == NeedsUpload::Deferred || r->needsUpload() == NeedsUpload::FailedThreeTimes
                   || (r->needsUpload() == NeedsUpload::UnsupportedFormat && r->mediaKind() != MediaKind::Unknown);
        });
        for (FileData *r : failed) {
            r->setNeedsUpload(NeedsUpload::Waiting);
            r->notifyParentsOfStatusChanged();
        }
        if (!failed.isEmpty())
            DataStore::queueSave();
        // What could not be read may be readable now (permissions mended, disk back).
        FileManager::rescanWhatCouldNotBeRead();
    });
}

void LumoraUploader::resumeAfterErrors()
{
    if (!pausedDueToErrors())
        return;
    LGLogInfo(QStringLiteral("UPLOADER: Trying again after errors"));
    endErrorStop(false);
    LumoraDrive::pausedStateChanged();
    run();
}

void LumoraUploader::resetFailedUploads()
{
    endErrorStop(true);
}

void LumoraUploader::forgetAccount()
{
    UploaderState &s = state();
    {
        QMutexLocker locker(&s.lock);
        s.tickets.clear();
        s.failuresPerFile.clear();
        s.pausedDueToErrors = false;
        s.accountFull = false;
        s.serverBusyUntil = QDateTime();
        s.consecutiveFailures = 0;
        s.errorStops = 0;
        s.errorRetryAt = QDateTime();
        s.aheadFileId = 0;
        s.pollAnswer.reset();
    }
    s.ticketChecksFailing = false;
    if (s.errorRetryTimer)
        s.errorRetryTimer->stop();
    recountWaiting();
    // The last uploads shown were the other account's.
    Settings::removeObjectForKey(kRecentUploadsKey);
    NotificationCenter::post(Notifications::RecentlyUploadedChanged);
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
    {
        QMutexLocker locker(&s.lock);
        ++s.aheadEpoch; // first: see uploadOne
    }
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
        ++s.aheadEpoch;
        s.wake.wakeAll();
    }
    s.cancelCurrent = true;
    if (s.deferredTimer)
        s.deferredTimer->stop();
    if (s.errorRetryTimer)
        s.errorRetryTimer->stop();
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

void LumoraUploader::retryDeferredForTesting()
{
    resetDeferredUploads();
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
        s.ticketChecksFailing = false;
        s.errorStops = 0;
        s.errorRetryAt = QDateTime();
        s.maxTickets = kDefaultMaxTickets;
        s.tickets.clear();
        s.failuresPerFile.clear();
        s.busyClamp = -1;
        s.recoveryRunScheduled = false;
        s.aheadFileId = 0;
        s.pollAnswer.reset();
        s.transport.reset();
    }
    s.cancelCurrent = false;
    s.preparing = false;
    s.filesToUpload = 0;
    s.filesHeldBack = 0;
    if (s.deferredTimer)
        delete s.deferredTimer.data();
    if (s.errorRetryTimer)
        delete s.errorRetryTimer.data();
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

void LumoraUploader::setErrorRetryForTesting(qint64 firstMs, qint64 maxMs)
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    s.errorRetryFirstMs = firstMs > 0 ? firstMs : kErrorRetryFirstMs;
    s.errorRetryMaxMs = maxMs > 0 ? maxMs : kErrorRetryMaxMs;
}

void LumoraUploader::setServerBusyClampForTesting(double maxSeconds)
{
    UploaderState &s = state();
    QMutexLocker locker(&s.lock);
    s.busyClamp = maxSeconds;
}
