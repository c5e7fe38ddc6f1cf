#include "service/DataStoreLumoraData.h"

#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "catalogue/SampleIndex.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/Settings.h"
#include "platform/Endpoints.h"
#include "platform/StandardPaths.h"
#include "service/HTTPRequest.h"
#include "service/LumoraKit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QSaveFile>
#include <QTimer>
#include <malloc.h>

namespace {

QMutex s_lock;
bool s_running = false;
bool s_paused = false;
int s_dedupPolls = 0;
// Moves on at every change of account; a listing or account information loaded for an earlier
// one is not taken. The listing running was started at s_runningGeneration; a refresh asked for
// by a later one waits for it to end (s_refreshQueued).
quint64 s_accountGeneration = 0;
quint64 s_runningGeneration = 0;
bool s_refreshQueued = false;
QDateTime s_completed;
QDateTime s_userInfoLoadedAt;
bool s_statsLoaded = false;
qint32 s_photoCount = 0;
qint64 s_storageUsed = 0;
QHash<QString, QString> s_albums;             // id -> title
QHash<QString, QSet<QString>> s_albumPhotos;  // id -> photo ids seen
QList<DedupData> s_localRows;                 // registered in this process
QList<DedupData> s_unsavedRows;               // registered, not yet written (a failed write)
QList<DedupData> s_writingDedupRows;          // taken from s_unsavedRows by the writer, not yet committed
// The index in memory, once a refresh built it: look-ups on the main thread cost a binary
// search instead of an SQL statement each. A row keeps its photo id and its two marks, packed,
// which makes a row of a large account 25 bytes instead of the 32 of a DedupData.
#pragma pack(push, 1)
struct IndexedPhoto
{
    qint64 pid;
    quint8 marks;
};
#pragma pack(pop)
static_assert(sizeof(IndexedPhoto) == 9, "rows of a large account are kept packed");
constexpr quint8 kJpegMark = 1, kFromHereMark = 2;

std::pair<ContentSample, IndexedPhoto> indexEntry(const DedupData &d)
{
    return {d.sample(), IndexedPhoto{d.pid, quint8((d.isJpegData ? kJpegMark : 0) | (d.uploadedFromThisDevice ? kFromHereMark : 0))}};
}

SampleIndex<IndexedPhoto> s_index;
bool s_indexBuilt = false;
std::function<void(bool)> s_lastDone;
double s_firstPoll = DataStoreLumoraData::kDedupFirstPoll;
double s_laterPoll = DataStoreLumoraData::kDedupPoll;
std::function<void()> s_stateChanged;
QPointer<QTimer> s_resyncTimer;

const QString kPhotoCountKey = QStringLiteral("LumoraPhotoCount");
const QString kSpaceUsedKey = QStringLiteral("LumoraSpaceUsed");

void loadStatsLocked()
{
    if (s_statsLoaded)
        return;
    s_photoCount = Settings::intForKey(kPhotoCountKey);
    s_storageUsed = Settings::longLongForKey(kSpaceUsedKey);
    s_statsLoaded = true;
}

void notifyStateChanged()
{
    dispatch_main_async([] {
        std::function<void()> handler;
        {
            QMutexLocker l(&s_lock);
            handler = s_stateChanged;
        }
        if (handler)
            handler();
    });
}

// Sets one of the state flags (guarded by s_lock) and tells the listener when it changed.
void setStateFlag(bool &flag, bool value)
{
    {
        QMutexLocker l(&s_lock);
        if (flag == value)
            return;
        flag = value;
    }
    notifyStateChanged();
}

// Rows of a sample, in the order they were added.
QList<DedupData> rowsForSample(const ContentSample &sample)
{
    if (sample.isNull())
        return {};
    {
        QMutexLocker l(&s_lock);
        if (s_indexBuilt) {
            QList<DedupData> rows;
            for (const IndexedPhoto &photo : s_index.values(sample)) {
                DedupData d;
                d.pid = photo.pid;
                d.sample1 = sample.sample1;
                d.sample2 = sample.sample2;
                d.isJpegData = photo.marks & kJpegMark;
                d.uploadedFromThisDevice = photo.marks & kFromHereMark;
                rows.append(d);
            }
            return rows;
        }
    }
    // Registered here but not in the catalogue yet (being written, or waiting to be), taken
    // before the catalogue is read: a row the writer commits in between is then in one or the
    // other, where taken after the read it could be in neither. Answered after what the
    // catalogue holds, as they were registered after it.
    QList<DedupData> pending;
    {
        QMutexLocker l(&s_lock);
        for (const QList<DedupData> *list : {&s_writingDedupRows, &s_unsavedRows})
            for (const DedupData &row : *list)
                if (row.sample1 == sample.sample1 && row.sample2 == sample.sample2)
                    pending << row;
    }
    DataStore *store = DataStore::instance();
    QList<DedupData> rows = store->isOpen() ? store->dedupDataForSample(sample) : QList<DedupData>();
    for (const DedupData &row : std::as_const(pending))
        if (!rows.contains(row))
            rows << row;
    return rows;
}

void setRunning(bool running) { setStateFlag(s_running, running); }
void setPaused(bool paused) { setStateFlag(s_paused, paused); }

// Still the account signed in, with no change of account since `generation`.
bool isCurrentLocked(const QString &account, quint64 generation)
{
    return generation == s_accountGeneration && LumoraKit::sharedLumoraKit()->currentUserID() == account;
}

QString content(const QVariant &v)
{
    const QVariantMap m = v.toMap();
    return m.contains(QStringLiteral("_content")) ? m.value(QStringLiteral("_content")).toString() : v.toString();
}

// Written only while `wanted` holds (checked once the download is in).
bool downloadTo(const QString &url, const QString &path, const std::function<bool()> &wanted)
{
    if (url.isEmpty())
        return false;
    HTTPRequest request{QUrl(url)};
    request.setTimeout(30);
    const HTTPResponse r = request.sendSynchronously();
    if (r.error.isError() || r.statusCode != 200 || r.body.isEmpty() || !wanted())
        return false;
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(r.body);
    return f.commit();
}

// The account's information, loaded unless it is younger than maxAge seconds.
bool loadUserInfo(int maxAge, double timeout)
{
    LumoraKit *kit = LumoraKit::sharedLumoraKit();
    const QString userID = kit->currentUserID();
    if (!kit->isAuthorized() || userID.isEmpty())
        return false;
    quint64 generation;
    {
        QMutexLocker l(&s_lock);
        if (s_userInfoLoadedAt.isValid() && s_userInfoLoadedAt.secsTo(QDateTime::currentDateTimeUtc()) < maxAge)
            return true;
        generation = s_accountGeneration;
    }
    // Another account signed in while the request ran: this answer is not its.
    const auto stillTheAccount = [&] {
        QMutexLocker l(&s_lock);
        return isCurrentLocked(userID, generation);
    };
    LKLumoraPeopleGetInfo method;
    method.user_id = userID;
    auto [response, error] = kit->callSynchronously(method, 0, timeout);
    if (error.isError()) {
        LGLogInfo(QStringLiteral("LUMORA: Account information not loaded: %1").arg(LGLog::redact(error.toString())));
        QMutexLocker l(&s_lock);
        return s_userInfoLoadedAt.isValid();
    }
    const QVariantMap person = response.value(QStringLiteral("person")).toMap();
    const QVariantMap photos = person.value(QStringLiteral("photos")).toMap();
    if (photos.contains(QStringLiteral("count"))) {
        const qint32 count = content(photos.value(QStringLiteral("count"))).toInt();
        const qint64 bytes = content(photos.value(QStringLiteral("bytes"))).toLongLong();
        {
            QMutexLocker l(&s_lock);
            if (!isCurrentLocked(userID, generation))
                return false;
            s_statsLoaded = true;
            s_photoCount = count;
            s_storageUsed = bytes;
        }
        Settings::setInt(count, kPhotoCountKey);
        Settings::setLongLong(bytes, kSpaceUsedKey);
    }
    downloadTo(content(person.value(QStringLiteral("iconurl"))), DataStoreLumoraData::userImageFilePath(), stillTheAccount);
    downloadTo(content(person.value(QStringLiteral("coverurl"))), DataStoreLumoraData::userCoverImageFilePath(), stillTheAccount);
    QMutexLocker l(&s_lock);
    if (!isCurrentLocked(userID, generation))
        return false;
    s_userInfoLoadedAt = QDateTime::currentDateTimeUtc();
    return true;
}

// Pages of a list call, until the last page or a failure.
bool fetchPages(const std::function<LKLumoraAPIMethod *(int page)> &make, const QString &listKey, const QString &itemKey,
                QVariantList *items, LKError *error, QVariantMap *firstList = nullptr)
{
    LumoraKit *kit = LumoraKit::sharedLumoraKit();
    for (int page = 1; page < 10000; ++page) {
        std::unique_ptr<LKLumoraAPIMethod> method(make(page));
        auto [response, err] = kit->callSynchronously(*method);
        if (err.isError()) {
            *error = err;
            return false;
        }
        const QVariantMap list = response.value(listKey).toMap();
        if (page == 1 && firstList)
            *firstList = list;
        const QVariant raw = list.value(itemKey);
        items->append(raw.typeId() == QMetaType::QVariantList ? raw.toList() : QVariantList{raw});
        const int pages = list.value(QStringLiteral("pages")).toInt();
        if (pages <= page)
            return true;
    }
    return true;
}

void finishRefresh(bool ok, const std::function<void(bool)> &done)
{
    setRunning(false);
    setPaused(!ok);
    dispatch_main_async([ok, done] {
        if (done)
            done(ok);
    });
}

// One refresh of the mirror and what its stages learn and hand on. It belongs to the account
// signed in when it began: once another one is (or the same one again after another), what it
// learnt is the other account's and is thrown away.
struct Listing
{
    QString account;
    quint64 generation = 0;
    std::function<void(bool)> done;
    QList<DedupData> rows; // the service's checksums, then this device's rows with them
    QSet<qint64> remotePids;
    qsizetype lateFrom = 0; // rows this process registers from here on came after the listing
    qsizetype albums = 0;
    int marked = 0;
};

bool isCurrent(const Listing &l)
{
    QMutexLocker lock(&s_lock);
    return isCurrentLocked(l.account, l.generation);
}

std::shared_ptr<Listing> newListingLocked(std::function<void(bool)> done)
{
    auto l = std::make_shared<Listing>();
    l->account = LumoraKit::sharedLumoraKit()->currentUserID();
    l->generation = s_runningGeneration = s_accountGeneration;
    l->done = std::move(done);
    return l;
}

void runRefresh(std::shared_ptr<Listing> l);

void startListing(std::shared_ptr<Listing> l)
{
    dispatch_default_queue_async([l = std::move(l)]() mutable {
        runRefresh(std::move(l)); // its rows are freed before the trim below
        // A refresh of a large account builds and drops millions of small blocks (the listing's
        // pages) in this thread's own arena; the allocator keeps freed pages unless told, and
        // the process would stay at its peak size for the rest of the session. Only here, once
        // the refresh's own data is gone, is there something to give back.
        malloc_trim(0);
    });
}

enum class Prepared { Ready, Later, Failed };

// The service prepares the account's checksum list first; until it is ready the index would be
// incomplete, and files already on the service would be sent again. Asked again later.
Prepared checksumsPrepared(const std::shared_ptr<Listing> &l)
{
    auto [prep, prepError] = LumoraKit::sharedLumoraKit()->callSynchronously(LKLumoraPhotosDedupPrepareUser());
    if (prepError.isError()) {
        LGLogError(QStringLiteral("LUMORA: Checksum preparation failed: %1").arg(LGLog::redact(prepError.toString())));
        return Prepared::Failed;
    }
    const bool ready = prep.value(QStringLiteral("dedup")).toMap().value(QStringLiteral("ready")).toInt() == 1;
    double delay;
    {
        QMutexLocker lock(&s_lock);
        s_dedupPolls = ready ? 0 : s_dedupPolls + 1;
        delay = s_dedupPolls <= 1 ? s_firstPoll : s_laterPoll;
    }
    if (ready)
        return Prepared::Ready;
    LGLogInfo(QStringLiteral("LUMORA: Checksums not ready; asking again in %1 s").arg(delay));
    dispatch_main_delay([l] { startListing(l); }, delay);
    return Prepared::Later;
}

bool listChecksums(Listing &l)
{
    QVariantList checksums;
    LKError error;
    if (!fetchPages([](int page) {
            auto *m = new LKLumoraPhotosDedupGetChecksums;
            m->page = QString::number(page);
            m->per_page = QStringLiteral("10000");
            return m;
        }, QStringLiteral("checksums"), QStringLiteral("checksum"), &checksums, &error)) {
        LGLogError(QStringLiteral("LUMORA: Checksum list failed: %1").arg(LGLog::redact(error.toString())));
        return false;
    }
    for (const QVariant &v : std::as_const(checksums)) {
        const QVariantMap item = v.toMap();
        const ContentSample sample = ContentSample::fromHex(item.value(QStringLiteral("sample")).toString());
        const qint64 pid = item.value(QStringLiteral("photo_id")).toString().toLongLong();
        if (sample.isNull() || pid <= 0)
            continue;
        DedupData row;
        row.pid = pid;
        row.sample1 = sample.sample1;
        row.sample2 = sample.sample2;
        row.isJpegData = item.value(QStringLiteral("type")).toString() == QLatin1String("jpeg");
        l.rows << row;
        l.remotePids.insert(pid);
    }
    return true;
}

// Photos sent from here keep their "from this device" mark, whichever run sent them: a file with
// their samples is then compared with their originals before it is taken for a copy. So does
// what this process registered; rows of uploads the service has not listed yet (pending tickets)
// are kept as they are.
void keepOwnRows(Listing &l)
{
    QSet<qint64> fromHere;
    DataStore::withOpenStore([&fromHere](DataStore *store) {
        fromHere = store->photoIdsSentFromHere();
        return true;
    });
    QMutexLocker lock(&s_lock);
    l.lateFrom = s_localRows.size();
    for (const DedupData &local : std::as_const(s_localRows))
        if (local.uploadedFromThisDevice && local.pid > 0)
            fromHere.insert(local.pid);
    for (DedupData &row : l.rows)
        if (fromHere.contains(row.pid))
            row.uploadedFromThisDevice = true;
    for (const DedupData &local : std::as_const(s_localRows))
        if (local.pid <= 0 || !l.remotePids.contains(local.pid))
            l.rows << local;
}

// Written here, off the main thread, in one transaction: a crash halfway leaves the old index
// whole, and rows whose earlier write failed are in it again.
bool writeIndex(Listing &l)
{
    {
        QMutexLocker lock(&s_lock);
        if (!isCurrentLocked(l.account, l.generation))
            return false; // another account signed in while the pages came: nothing of it is written
    }
    if (!DataStore::withOpenStore([&l](DataStore *store) { return store->replaceAllDedupData(l.rows); })) {
        LGLogError(QStringLiteral("LUMORA: The de-duplication index could not be written"));
        return false;
    }
    // Rows registered while this refresh ran may have been written before the replacement took
    // them away: they are written again (a second copy of a row does no harm).
    QList<DedupData> late;
    {
        QMutexLocker lock(&s_lock);
        late = s_localRows.mid(qMin(l.lateFrom, s_localRows.size()));
    }
    const bool lateWritten = late.isEmpty() || DataStore::withOpenStore([&late](DataStore *store) { return store->insertDedupData(late); });
    // Built outside the lock; the late rows follow the listing's rows of their sample.
    std::vector<std::pair<ContentSample, IndexedPhoto>> entries;
    entries.reserve(size_t(l.rows.size() + late.size()));
    for (const QList<DedupData> *part : {&l.rows, &late})
        for (const DedupData &row : *part)
            entries.push_back(indexEntry(row));
    SampleIndex<IndexedPhoto> built;
    built.build(entries);
    entries = {};
    {
        QMutexLocker lock(&s_lock);
        if (isCurrentLocked(l.account, l.generation)) {
            s_index = std::move(built);
            s_indexBuilt = true;
            // Every registered row is in the catalogue now, those that failed before included.
            if (lateWritten)
                s_unsavedRows.clear();
            return true;
        }
    }
    // Another account signed in meanwhile: its index must not hold this one's photos.
    DataStoreLumoraData::forgetStoredIndex();
    return false;
}

// The account's albums. Folders keep no album the account no longer has: their next upload
// finds or makes the album by its title again.
void takeAlbums(Listing &l)
{
    QVariantList sets;
    LKError error;
    if (!fetchPages([](int page) {
            auto *m = new LKLumoraPhotosetsGetList;
            m->page = QString::number(page);
            m->per_page = QStringLiteral("500");
            return m;
        }, QStringLiteral("photosets"), QStringLiteral("photoset"), &sets, &error)) {
        LGLogInfo(QStringLiteral("LUMORA: Album list not loaded: %1").arg(LGLog::redact(error.toString())));
        return;
    }
    QHash<QString, QString> albums;
    for (const QVariant &v : std::as_const(sets)) {
        const QVariantMap set = v.toMap();
        const QString id = set.value(QStringLiteral("id")).toString();
        if (!id.isEmpty())
            albums.insert(id, content(set.value(QStringLiteral("title"))));
    }
    l.albums = sets.size();
    {
        QMutexLocker lock(&s_lock);
        if (!isCurrentLocked(l.account, l.generation))
            return;
        s_albums = albums;
    }
    dispatch_main_sync([&] {
        DataStore *store = DataStore::instance();
        if (!store->isOpen() || !isCurrent(l))
            return;
        int dropped = 0;
        for (FileData *f : store->allFileDataById()) {
            if (f->isFolder() && f->lumoraSetId() != 0 && !albums.contains(QString::number(f->lumoraSetId()))) {
                f->setLumoraSetId(0);
                ++dropped;
            }
        }
        if (dropped) {
            LGLogInfo(QStringLiteral("LUMORA: %1 folders lost an album deleted on the service").arg(dropped));
            DataStore::queueSave();
        }
    });
}

// The waiting files the account already holds. The main thread only lists them and takes the
// answers; the matching runs here.
void markWaitingFiles(Listing &l)
{
    struct Candidate { qint64 id; ContentSample whole, jpeg; };
    QList<Candidate> candidates;
    dispatch_main_sync([&] {
        DataStore *store = DataStore::instance();
        if (!store->isOpen())
            return;
        for (FileData *f : store->allFileDataById()) {
            if (!f->isFolder() && (f->needsUpload() == NeedsUpload::Waiting || f->needsUpload() == NeedsUpload::Deferred)
                && (!f->sample().isNull() || !f->jpegSample().isNull()))
                candidates.append({f->fileID(), f->sample(), f->jpegSample()});
        }
    });
    QList<std::pair<qint64, DedupData>> matches;
    for (const Candidate &c : std::as_const(candidates)) {
        for (const auto &[sample, isJpeg] : {std::pair{c.whole, false}, std::pair{c.jpeg, true}}) {
            const QList<DedupData> rows = rowsForSample(sample);
            const auto hit = std::find_if(rows.cbegin(), rows.cend(), [isJpeg](const DedupData &row) {
                return row.isJpegData == isJpeg && row.pid > 0 && !row.uploadedFromThisDevice;
            });
            if (hit != rows.cend()) {
                matches.append({c.id, *hit});
                break;
            }
        }
    }
    // Handed over a share per turn of the main thread: marking a whole library at once would
    // hold the window for a noticeable moment. Each share is checked again where it changes.
    constexpr qsizetype kMatchesPerTurn = 8192;
    for (qsizetype from = 0; from < matches.size(); from += kMatchesPerTurn) {
        bool goOn = true;
        dispatch_main_sync([&] {
            DataStore *store = DataStore::instance();
            goOn = store->isOpen() && isCurrent(l);
            for (qsizetype i = from; goOn && i < qMin(matches.size(), from + kMatchesPerTurn); ++i) {
                const auto &[id, row] = matches.at(i);
                FileData *f = store->fileDataForId(id);
                if (!f || (f->needsUpload() != NeedsUpload::Waiting && f->needsUpload() != NeedsUpload::Deferred))
                    continue;
                f->setUploadedRemoteId(row.pid);
                f->setNeedsUpload(NeedsUpload::AlreadyOnService);
                ++l.marked;
            }
        });
        if (!goOn)
            break;
    }
    if (l.marked)
        DataStore::queueSave(); // hops to the main thread itself
}

// The listing is complete only while its account is still the one signed in. One that is not is
// thrown away, and a refresh asked for meanwhile runs now, for the account signed in now.
void endListing(Listing &l, bool ok)
{
    std::shared_ptr<Listing> next;
    {
        QMutexLocker lock(&s_lock);
        if (isCurrentLocked(l.account, l.generation)) {
            if (ok)
                s_completed = QDateTime::currentDateTime();
        } else if (std::exchange(s_refreshQueued, false)) {
            next = newListingLocked(s_lastDone);
        } else {
            lock.unlock();
            LGLogInfo(QStringLiteral("LUMORA: Another account signed in while the listing ran; it is thrown away"));
            return setRunning(false);
        }
    }
    if (next) {
        LGLogInfo(QStringLiteral("LUMORA: Another account signed in while the listing ran; it is thrown away, and the new one's listed"));
        return startListing(next);
    }
    if (ok)
        LGLogInfo(QStringLiteral("LUMORA: Refresh complete: %1 checksums, %2 albums, %3 waiting files already on Lumora")
                      .arg(l.rows.size()).arg(l.albums).arg(l.marked));
    finishRefresh(ok, l.done);
}

void runRefresh(std::shared_ptr<Listing> l)
{
    if (!LumoraKit::sharedLumoraKit()->isAuthorized()) {
        LGLogInfo(QStringLiteral("LUMORA: Not signed in; nothing to refresh"));
        setRunning(false);
        dispatch_main_async([done = l->done] {
            if (done)
                done(false);
        });
        return;
    }
    if (!isCurrent(*l))
        return endListing(*l, false); // asked again while the account changed
    LGLogInfo(QStringLiteral("LUMORA: Refreshing"));
    loadUserInfo(DataStoreLumoraData::kUserInfoMaxAge, LumoraKit::kDefaultTimeout);
    const Prepared prepared = checksumsPrepared(l);
    if (prepared == Prepared::Later)
        return;
    bool ok = prepared == Prepared::Ready && listChecksums(*l);
    if (ok) {
        keepOwnRows(*l);
        ok = writeIndex(*l);
    }
    if (ok) {
        takeAlbums(*l);
        markWaitingFiles(*l);
    }
    endListing(*l, ok);
}

} // namespace

// ------------------------------------------------------------------------------------------
// Session

void DataStoreLumoraData::refresh(std::function<void(bool ok)> done)
{
    std::shared_ptr<Listing> listing;
    {
        QMutexLocker l(&s_lock);
        if (done)
            s_lastDone = done;
        if (s_running) {
            s_refreshQueued = s_refreshQueued || s_runningGeneration != s_accountGeneration;
            return;
        }
        s_running = true;
        listing = newListingLocked(std::move(done));
    }
    notifyStateChanged();
    startListing(std::move(listing));
}

bool DataStoreLumoraData::isRunning()
{
    QMutexLocker l(&s_lock);
    return s_running;
}

bool DataStoreLumoraData::pausedDueToError()
{
    QMutexLocker l(&s_lock);
    return s_paused;
}

QDateTime DataStoreLumoraData::hasCompletedScanThisSession()
{
    QMutexLocker l(&s_lock);
    return s_completed;
}

void DataStoreLumoraData::setCompletedScanThisSession(const QDateTime &date)
{
    QMutexLocker l(&s_lock);
    s_completed = date;
    if (!date.isValid()) {
        // A new listing is awaited (a reset, another account): the one in memory is no answer.
        s_index.clear();
        s_indexBuilt = false;
    }
}

void DataStoreLumoraData::armResyncTimer(double seconds)
{
    dispatch_main_async([seconds] {
        if (!s_resyncTimer) {
            s_resyncTimer = new QTimer(QCoreApplication::instance());
            s_resyncTimer->setSingleShot(true);
            QObject::connect(s_resyncTimer, &QTimer::timeout, [] {
                std::function<void(bool)> done;
                {
                    QMutexLocker l(&s_lock);
                    done = s_lastDone;
                }
                refresh(done);
            });
        }
        s_resyncTimer->start(int(qBound(0.0, seconds, 86400.0 * 7) * 1000));
    });
}

void DataStoreLumoraData::cancelResyncTimer()
{
    dispatch_main_async([] {
        if (s_resyncTimer)
            s_resyncTimer->stop();
    });
}

void DataStoreLumoraData::setStateChangedHandler(std::function<void()> handler)
{
    QMutexLocker l(&s_lock);
    s_stateChanged = std::move(handler);
}

// ------------------------------------------------------------------------------------------
// Account

void DataStoreLumoraData::updateUserInfo(std::function<void()> done)
{
    dispatch_default_queue_async([done = std::move(done)] {
        loadUserInfo(kUserInfoMaxAge, LumoraKit::kDefaultTimeout);
        if (done)
            dispatch_main_async(done);
    });
}

bool DataStoreLumoraData::updateUserInfoViaUserInteraction(bool userInteraction)
{
    return loadUserInfo(userInteraction ? kUserInfoMaxAgeInteractive : kUserInfoMaxAge, LumoraKit::kDefaultTimeout);
}

qint32 DataStoreLumoraData::photoCount()
{
    QMutexLocker l(&s_lock);
    loadStatsLocked();
    return s_photoCount;
}

qint64 DataStoreLumoraData::storageUsed()
{
    QMutexLocker l(&s_lock);
    loadStatsLocked();
    return s_storageUsed;
}

void DataStoreLumoraData::noteUploadedPhoto(qint64 bytes)
{
    qint32 count;
    qint64 used;
    {
        QMutexLocker l(&s_lock);
        loadStatsLocked();
        count = ++s_photoCount;
        used = (s_storageUsed += qMax<qint64>(0, bytes));
    }
    Settings::setInt(count, kPhotoCountKey);
    Settings::setLongLong(used, kSpaceUsedKey);
}

QString DataStoreLumoraData::userImageFilePath()
{
    return StandardPaths::lumoraSubfolder(QStringLiteral("Cache")) + QStringLiteral("/UserImage.jpg");
}

QString DataStoreLumoraData::userCoverImageFilePath()
{
    return StandardPaths::lumoraSubfolder(QStringLiteral("Cache")) + QStringLiteral("/UserCover.jpg");
}

// ------------------------------------------------------------------------------------------
// Albums

QString DataStoreLumoraData::albumIdForTitle(const QString &title, bool askService, bool *lookupFailed)
{
    if (lookupFailed)
        *lookupFailed = false;
    if (title.isEmpty())
        return {};
    {
        QMutexLocker l(&s_lock);
        for (auto it = s_albums.cbegin(); it != s_albums.cend(); ++it)
            if (it.value().compare(title, Qt::CaseInsensitive) == 0)
                return it.key();
    }
    if (!askService || isMainThread())
        return {};
    LKLumoraPhotosetsFind find;
    find.title = title;
    auto [response, error] = LumoraKit::sharedLumoraKit()->callSynchronously(find);
    // Only the service's own "not found" means there is no such album; any other failure, or an
    // answer without a list, leaves the question open (creating it then could make a second one).
    const bool notFound = error.isError() && error.domain == LKServiceErrorDomain && error.code == 1;
    if ((error.isError() && !notFound) || (!error.isError() && !response.contains(QStringLiteral("photosets")))) {
        LGLogInfo(QStringLiteral("LUMORA: Album look-up failed: %1").arg(error.isError() ? error.toString() : QStringLiteral("no album list")));
        if (lookupFailed)
            *lookupFailed = true;
        return {};
    }
    const QVariant raw = response.value(QStringLiteral("photosets")).toMap().value(QStringLiteral("photoset"));
    const QVariantList list = raw.typeId() == QMetaType::QVariantList ? raw.toList() : QVariantList{raw};
    for (const QVariant &v : list) {
        const QVariantMap set = v.toMap();
        const QString id = set.value(QStringLiteral("id")).toString();
        if (!id.isEmpty()) {
            noteAlbum(id, content(set.value(QStringLiteral("title"))));
            return id;
        }
    }
    return {};
}

QString DataStoreLumoraData::albumTitleForId(const QString &albumId)
{
    QMutexLocker l(&s_lock);
    return s_albums.value(albumId);
}

QHash<QString, QString> DataStoreLumoraData::knownAlbums()
{
    QMutexLocker l(&s_lock);
    return s_albums;
}

void DataStoreLumoraData::noteAlbum(const QString &albumId, const QString &title)
{
    if (albumId.isEmpty())
        return;
    QMutexLocker l(&s_lock);
    s_albums.insert(albumId, title);
}

void DataStoreLumoraData::forgetAlbum(const QString &albumId)
{
    QMutexLocker l(&s_lock);
    s_albums.remove(albumId);
    s_albumPhotos.remove(albumId);
}

void DataStoreLumoraData::notePhotoInAlbum(const QString &photoId, const QString &albumId)
{
    if (photoId.isEmpty() || albumId.isEmpty())
        return;
    QMutexLocker l(&s_lock);
    s_albumPhotos[albumId].insert(photoId);
}

int DataStoreLumoraData::photoCountInAlbum(const QString &albumId)
{
    QMutexLocker l(&s_lock);
    return int(s_albumPhotos.value(albumId).size());
}

// ------------------------------------------------------------------------------------------
// De-duplication

QList<DedupData> DataStoreLumoraData::ownUploadsForSamples(const ContentSample &whole, const ContentSample &jpeg)
{
    QList<DedupData> own;
    for (const auto &[sample, isJpeg] : {std::pair{whole, false}, std::pair{jpeg, true}})
        for (const DedupData &row : rowsForSample(sample))
            if (row.isJpegData == isJpeg && row.pid > 0 && row.uploadedFromThisDevice)
                own.append(row);
    return own;
}

qint64 DataStoreLumoraData::photoIdForSamples(const ContentSample &whole, const ContentSample &jpeg)
{
    for (const auto &[sample, isJpeg] : {std::pair{whole, false}, std::pair{jpeg, true}}) {
        if (sample.isNull())
            continue;
        for (const DedupData &row : rowsForSample(sample))
            if (row.isJpegData == isJpeg && row.pid > 0)
                return row.pid;
    }
    return 0;
}

bool DataStoreLumoraData::matchDeDupForFile(FileData *file)
{
    if (!file || file->isFolder())
        return false;
    if (!DataStore::instance()->isOpen())
        return false;
    // Only a row that names the service's photo is an answer. A pending upload of ours (id 0)
    // is not: a copy marked "uploaded" with it would stay so if that upload failed. Nor is a
    // photo sent from here: equal samples can come from different files, and whether this one
    // holds the original's bytes is for the upload loop to tell, off the main thread.
    for (const auto &[sample, isJpeg] : {std::pair{file->sample(), false}, std::pair{file->jpegSample(), true}}) {
        if (sample.isNull())
            continue;
        for (const DedupData &row : rowsForSample(sample)) {
            if (row.isJpegData != isJpeg || row.pid <= 0 || row.uploadedFromThisDevice)
                continue;
            file->setUploadedRemoteId(row.pid);
            file->setNeedsUpload(NeedsUpload::AlreadyOnService);
            return true;
        }
    }
    return false;
}

namespace {
bool s_dedupWriteScheduled = false; // under s_lock
QElapsedTimer s_sinceDedupWrite;    // under s_lock; the start of the last write

// Takes every registered row and writes it, until none is left or a write fails (the rows then
// wait for the next registration). Off the main thread, but at shutdown.
void writeDedupRowsNow()
{
    for (;;) {
        QList<DedupData> toWrite;
        quint64 generation;
        {
            QMutexLocker l(&s_lock);
            generation = s_accountGeneration;
            toWrite.swap(s_unsavedRows);
            if (toWrite.isEmpty()) {
                s_dedupWriteScheduled = false;
                return;
            }
            s_writingDedupRows = toWrite;
            s_sinceDedupWrite.start();
        }
        const bool written = DataStore::withOpenStore([&toWrite](DataStore *store) { return store->insertDedupData(toWrite); });
        QMutexLocker l(&s_lock);
        s_writingDedupRows.clear();
        if (!written) {
            // Rows of an account signed in before are not kept for the next one's index.
            if (generation == s_accountGeneration)
                s_unsavedRows = toWrite + s_unsavedRows;
            s_dedupWriteScheduled = false;
            LGLogError(QStringLiteral("LUMORA: %1 rows of the de-duplication index wait to be written").arg(s_unsavedRows.size()));
            return;
        }
    }
}

// The look-ups use the index in memory, which has the rows at once; the catalogue gets them
// off the main thread, which would otherwise wait for the disk (and for a large save ahead of
// them) once per upload. While files go one after another the rows are written a few times a
// second, not in a transaction of their own per upload beside the catalogue's own saves: a
// row lost with the process is listed again by the next refresh, the upload's own record has
// the photo.
void writeUnsavedDedupRows()
{
    qint64 wait;
    {
        QMutexLocker l(&s_lock);
        if (s_dedupWriteScheduled || s_unsavedRows.isEmpty())
            return;
        s_dedupWriteScheduled = true;
        wait = s_sinceDedupWrite.isValid() ? DataStoreLumoraData::kDedupWriteSpacingMs - s_sinceDedupWrite.elapsed() : 0;
    }
    const auto write = [] { dispatch_default_queue_async(writeDedupRowsNow); };
    // Taken once the main thread's turn is over, so that every row the turn registers (a check
    // of the tickets completes several uploads) goes in one transaction.
    if (wait > 0)
        dispatch_main_delay(write, double(wait) / 1000.0);
    else if (isMainThread())
        dispatch_main_async(write);
    else
        dispatch_default_queue_async(writeDedupRowsNow);
}
} // namespace

void DataStoreLumoraData::writePendingDedupRows()
{
    {
        QMutexLocker l(&s_lock);
        if (s_unsavedRows.isEmpty())
            return;
        s_dedupWriteScheduled = true; // a write that comes due meanwhile finds nothing left
    }
    writeDedupRowsNow();
}

void DataStoreLumoraData::registerDeDupForUploadedFile(FileData *file, bool uploadedFromThisDevice)
{
    if (!file || file->isFolder())
        return;
    QList<DedupData> rows;
    for (const auto &[sample, isJpeg] : {std::pair{file->sample(), false}, std::pair{file->jpegSample(), true}}) {
        if (sample.isNull())
            continue;
        DedupData row;
        row.pid = file->uploadedRemoteId();
        row.sample1 = sample.sample1;
        row.sample2 = sample.sample2;
        row.isJpegData = isJpeg;
        row.uploadedFromThisDevice = uploadedFromThisDevice;
        rows << row;
    }
    if (rows.isEmpty())
        return;
    DataStore *store = DataStore::instance();
    // Count the upload once: at its first registration (a ticket), not again at completion.
    bool firstTime = true;
    for (const DedupData &existing : rowsForSample(rows.first().sample()))
        if (existing.isJpegData == rows.first().isJpegData && existing.uploadedFromThisDevice)
            firstTime = false;
    {
        QMutexLocker l(&s_lock);
        s_localRows << rows;
        if (s_indexBuilt)
            for (const DedupData &row : std::as_const(rows))
                s_index.add(row.sample(), indexEntry(row).second);
        // Rows whose write failed before go with these; they stay queued until one succeeds.
        s_unsavedRows << rows;
    }
    if (store->isOpen())
        writeUnsavedDedupRows();
    if (uploadedFromThisDevice && firstTime)
        noteUploadedPhoto(file->fileSize());
}

void DataStoreLumoraData::installCatalogueHooks()
{
    CatalogueHooks &hooks = CatalogueHooks::instance();
    hooks.mirrorHasCompletedScanThisSession = [] { return hasCompletedScanThisSession().isValid(); };
    hooks.matchDeDupForFile = [](FileData *record) { return matchDeDupForFile(record); };
    hooks.signedInAccountId = [] { return LumoraKit::sharedLumoraKit()->currentUserID(); };
    // Rows still waiting for their turn go before the catalogue closes.
    static bool hooked = false;
    if (QCoreApplication *app = QCoreApplication::instance(); app && !std::exchange(hooked, true))
        QObject::connect(app, &QCoreApplication::aboutToQuit, app, [] { writePendingDedupRows(); });
}

void DataStoreLumoraData::forgetAccount()
{
    {
        QMutexLocker l(&s_lock);
        ++s_accountGeneration;
        s_dedupPolls = 0;
        s_completed = QDateTime();
        s_userInfoLoadedAt = QDateTime();
        s_photoCount = 0;
        s_storageUsed = 0;
        s_statsLoaded = true;
        s_albums.clear();
        s_albumPhotos.clear();
        s_localRows.clear();
        s_unsavedRows.clear();
        s_index.clear();
        s_indexBuilt = false;
    }
    Settings::setInt(0, kPhotoCountKey);
    Settings::setLongLong(0, kSpaceUsedKey);
    // Its face is not the new account's; the new one's is loaded with its information.
    QFile::remove(userImageFilePath());
    QFile::remove(userCoverImageFilePath());
    notifyStateChanged();
}

void DataStoreLumoraData::forgetStoredIndex()
{
    if (!DataStore::withOpenStore([](DataStore *store) { return store->removeAllDedupData(); }))
        LGLogError(QStringLiteral("LUMORA: The de-duplication index of the account signed in before could not be removed"));
}

void DataStoreLumoraData::resetForTesting()
{
    QMutexLocker l(&s_lock);
    s_running = false;
    s_paused = false;
    s_dedupPolls = 0;
    s_refreshQueued = false;
    ++s_accountGeneration;
    s_completed = QDateTime();
    s_userInfoLoadedAt = QDateTime();
    s_statsLoaded = false;
    s_photoCount = 0;
    s_storageUsed = 0;
    s_albums.clear();
    s_albumPhotos.clear();
    s_localRows.clear();
    s_unsavedRows.clear();
    s_writingDedupRows.clear();
    s_dedupWriteScheduled = false;
    s_sinceDedupWrite.invalidate();
    s_index.clear();
    s_indexBuilt = false;
    s_lastDone = nullptr;
    s_stateChanged = nullptr;
    s_firstPoll = kDedupFirstPoll;
    s_laterPoll = kDedupPoll;
}

int DataStoreLumoraData::unsavedDedupRowsForTesting()
{
    QMutexLocker l(&s_lock);
    return int(s_unsavedRows.size());
}

void DataStoreLumoraData::setDedupPollIntervalsForTesting(double first, double later)
{
    QMutexLocker l(&s_lock);
    s_firstPoll = first;
    s_laterPoll = later;
}
