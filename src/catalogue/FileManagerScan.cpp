// FileManager: the scan loop and folder monitoring.
#include "catalogue/CatalogueHooks.h"
#include "catalogue/ContentSample.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "catalogue/FileManagerPrivate.h"
#include "catalogue/FolderMonitor.h"
#include "catalogue/MediaInspector.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/PropertyList.h"
#include "core/Settings.h"
#include "core/UiHooks.h"

#include <algorithm>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QSet>
#include <QThreadPool>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file put off is looked at again no sooner than this.
constexpr qint64 kSettleRecheckMinMs = 250;
// A change this soon after the state whose photo was sent continues that write: the whole file
// replaces the photo. A later change is an edit, sent as a photo of its own beside the original.
constexpr qint64 kContinuedWriteMs = 10 * 60 * 1000;
// The first read of a file: enough for the headers of nearly every photo.
constexpr qint64 kHeadReadLength = 64 * 1024;
// The service takes no photo of this size or more.
constexpr qint64 kLargestPhoto = 200LL * 1024 * 1024;
// About the longest the main thread takes in scan results in one turn, so that the windows are
// drawn in between.
constexpr qint64 kApplyShareMs = 4;

// What a file looked like on the disk: unchanged stamps mean an unchanged file.
struct FileStamp
{
    qint64 size = -1;
    qint64 mtime = 0;
    qint64 sinceMs = 0; // when the scanner first saw the file so
    // The later of the modification and status-change times: a copy that stamps the source's
    // old date on every piece it writes still moves the status-change time, which no one can set.
    qint64 changed = 0;
    bool operator==(const FileStamp &o) const { return size == o.size && mtime == o.mtime && changed == o.changed; }
};

struct ScanState
{
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    bool runAgain = false;
    bool completedThisSession = false;
    bool tracking = false;
    bool trackedPassStarted = false; // a whole pass has run since tracking was turned on
    bool retryScheduled = false;
    qint64 scanningId = 0;
    QSet<qint64> deferred;         // growing files, tried again on a later pass
    QHash<qint64, FileStamp> unsettled; // how each growing file was last seen, and since when
    std::atomic<qint64> settleWindowMs{FileManagerPrivate::kSettleWindowMs};
    QStringList activeRoots;       // the filtered source roots in use
    QSet<QString> monitoredRoots;
    QSet<qint64> touchedFolders;   // direct counts to recompute at the end of the pass
    QHash<QString, QList<FileManager::SkippedFile>> skipped; // by folder path, from its last listing
    bool countsMayHaveGrown = false; // a file was worked on or found: the scan counters may rise
};

std::atomic<quint64> g_filesOpened{0};

ScanState &state()
{
    static ScanState s;
    return s;
}

bool isSameOrBelow(const QString &path, const QString &root)
{
    return path == root || (path.startsWith(root) && path.size() > root.size() && path.at(root.size()) == QLatin1Char('/'));
}

QString rootOf(const QString &path)
{
    QString best;
    for (const QString &root : std::as_const(state().activeRoots))
        if (isSameOrBelow(path, root) && root.size() > best.size())
            best = root;
    return best;
}

bool hasExcludedAncestorOrSelf(const FileData *r)
{
    for (; r; r = r->parent())
        if (r->isFolder() && r->excludedFromScan())
            return true;
    return false;
}

qint64 mtimeMs(const struct stat &st)
{
    return qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

qint64 lastChangeMs(const struct stat &st)
{
    return qMax(mtimeMs(st), qint64(st.st_ctim.tv_sec) * 1000 + st.st_ctim.tv_nsec / 1000000);
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// --- Off the main thread: listing a folder and working on a file ------------------------------------

struct DirEntry
{
    QByteArray name; // UTF-8, as listed (lossy for a skipped name that is not UTF-8)
    bool isDir = false;
    qint64 size = 0;
    qint64 mtime = 0;
    FileManager::SkipReason skip = FileManager::SkipReason::NameNotUtf8; // of a skipped entry
};

enum class ListResult { Ok, Gone, Unreadable };

// A photo library's package holds the library's own copies, previews and thumbnails: its photos
// are the library source's to take, never those of a folder that happens to contain it.
bool isPhotoLibraryPackage(const QString &folderPath, const QString &name)
{
    for (const char *ext : {".photoslibrary", ".migratedphotolibrary", ".photolibrary", ".aplibrary", ".migratedaplibrary"})
        if (name.endsWith(QLatin1String(ext), Qt::CaseInsensitive))
            return true;
    return FileManager::pathIsIPhotoOrApertureLibraryPackageSlow(folderPath + QLatin1Char('/') + name);
}

ListResult listDirectory(const QString &path, QList<DirEntry> *out, QList<DirEntry> *unreadableNames, QStringList *libraries)
{
    const QByteArray native = QFile::encodeName(path);
    DIR *dir = ::opendir(native.constData());
    if (!dir)
        return (errno == ENOENT || errno == ENOTDIR) ? ListResult::Gone : ListResult::Unreadable;
    const int dfd = ::dirfd(dir);
    // A folder that can be listed but not entered (read without search permission, as after a
    // "chmod -R 644"): its names are known, but none of its entries can be looked at or opened.
    // Its photos are unknown, as those of a folder that cannot be opened.
    struct stat self;
    if (::fstatat(dfd, ".", &self, 0) != 0 && errno == EACCES) {
        ::closedir(dir);
        return ListResult::Unreadable;
    }
    int skippedNames = 0;
    for (;;) {
        // The end of the listing and a failed read (a disk or network error) look alike but
        // for errno: a folder read halfway must not make the rest of its entries look gone.
        errno = 0;
        const struct dirent *de = ::readdir(dir);
        if (!de) {
            if (errno == 0)
                break;
            LGLogError(QStringLiteral("SCANNER: Could not read all of %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
            ::closedir(dir);
            return ListResult::Unreadable;
        }
        const char *n = de->d_name;
        if (n[0] == '.')
            continue; // hidden entries, "." and ".."
        const QByteArrayView name(n, qsizetype(std::strlen(n)));
        if (!name.isValidUtf8()) {
            // Such a name cannot be written back from a QString, so the file cannot be opened
            // through it: it is skipped, but counted and shown (in a lossy form), never hidden.
            struct stat st;
            if (::fstatat(dfd, n, &st, 0) == 0
                && (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && MediaInspector::hasCandidateExtension(name)))) {
                ++skippedNames;
                unreadableNames->append({QString::fromUtf8(name).toUtf8(), S_ISDIR(st.st_mode), qint64(st.st_size), mtimeMs(st)});
            }
            continue;
        }
        const auto addFolder = [&] {
            if (isPhotoLibraryPackage(path, QString::fromUtf8(name)))
                libraries->append(QString::fromUtf8(name));
            else
                out->append({name.toByteArray(), true, 0, 0});
        };
        // The listing's own type spares a stat for folders and for files of other kinds.
        if (de->d_type == DT_DIR) {
            addFolder();
            continue;
        }
        if (de->d_type == DT_REG && !MediaInspector::hasCandidateExtension(name))
            continue;
        // An entry that vanished meanwhile, or a link that leads nowhere (to nothing, or round in
        // a loop), holds no photo; one that cannot be looked at may, and is said.
        const auto cannotExamine = [&] {
            if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP && MediaInspector::hasCandidateExtension(name))
                unreadableNames->append({name.toByteArray(), false, 0, 0, FileManager::SkipReason::CannotRead});
        };
        struct stat st;
        if (::fstatat(dfd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            cannotExamine();
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            // Links to folders are not followed (they can form loops), but said; links to files are.
            if (::fstatat(dfd, n, &st, 0) != 0) {
                cannotExamine();
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                unreadableNames->append({name.toByteArray(), true, 0, 0, FileManager::SkipReason::LinkToFolder});
                continue;
            }
            if (!S_ISREG(st.st_mode))
                continue;
        }
        if (S_ISDIR(st.st_mode))
            addFolder();
        else if (S_ISREG(st.st_mode) && MediaInspector::hasCandidateExtension(name))
            out->append({name.toByteArray(), false, qint64(st.st_size), mtimeMs(st)});
    }
    ::closedir(dir);
    if (skippedNames)
        LGLogInfo(QStringLiteral("SCANNER: Skipped %1 name(s) that are not UTF-8 in %2").arg(skippedNames).arg(path));
    return ListResult::Ok;
}

// The folder's own settings file, read on every listing: a choice written there (by a run that
// crashed before its catalogue save, or by another copy of the catalogue) holds for records
// that already exist too. Null when there is none or it is unreadable.
QVariant readSetDataOf(const QString &folderPath)
{
    return FileData::readSetDataFile(folderPath + QStringLiteral("/.lumoraExclusion"));
}

// A folder listed for the first time (new, or after a reset of the catalogue) takes every
// choice its file keeps. Later the file only ever adds an exclusion: a file that lags behind a
// choice to include again costs the user a click, while one that lags behind an exclusion would
// upload private photos. The file was read on a reader thread: anyone can put anything there,
// and the main thread never waits for it. A choice that the file could not take when it was
// made holds over the file, which is given it now if the folder takes a write; a subfolder left
// out is never listed, so its parent's listing gives it its file.
void applySetDataOnDisk(qint64 folderId, const QVariant &contents)
{
    FileData *folder = DataStore::instance()->fileDataForId(folderId);
    if (!folder || !folder->isFolder())
        return;
    for (FileData *child : folder->children())
        if (child->excludedFromScan() && child->hasFlag(FileFlags::SetDataUnsaved))
            child->saveSetDataToDisk();
    if (folder->hasFlag(FileFlags::SetDataUnsaved)) {
        folder->saveSetDataToDisk();
        return;
    }
    if (folder->excludedFromScan() || contents.isNull())
        return;
    if (!folder->hasFlag(FileFlags::ChildrenListed)) {
        if (!folder->applySetData(contents) || !folder->excludedFromScan())
            return;
    } else {
        if (!FileData::setDataExcludes(contents))
            return;
        folder->setExcludedFromScan(true); // marks the parent and is saved at once
    }
    LGLogInfo(QStringLiteral("SCANNER: Excluding %1 as its folder settings say").arg(folder->fileFullPath()));
    folder->resetCachedStatusRecursive(true);
    folder->notifyParentsOfStatusChanged();
}

struct FileWork
{
    enum Outcome { Gone, Unchanged, Growing, Unreadable, Unsupported, Worked } outcome = Gone;
    qint64 size = 0;
    qint64 mtime = 0;
    MediaKind kind = MediaKind::Unknown;
    QDateTime taken;
    double duration = 0; // videos
    ContentSample whole;
    ContentSample jpeg;
    FileStamp stamp;     // of a growing file
};

// Whether nothing has changed the file for the settle window: by its own dates, or, for dates
// ahead of this clock (a camera's, or a clock set back), by the scanner's earlier looks.
bool hasSettled(const FileStamp &now, const FileStamp &seen)
{
    const qint64 window = state().settleWindowMs;
    const qint64 at = nowMs();
    return (now.changed <= at && at - now.changed >= window) || (now == seen && at - seen.sinceMs >= window);
}

FileWork workOnFile(const QString &path, qint64 oldSize, qint64 oldMtime, bool wasSampled, const FileStamp &seen)
{
    FileWork w;
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0) {
        w.outcome = errno == ENOENT || errno == ENOTDIR ? FileWork::Gone : FileWork::Unreadable;
        return w;
    }
    if (!S_ISREG(st.st_mode)) {
        w.outcome = FileWork::Gone;
        return w;
    }
    w.size = st.st_size;
    w.mtime = mtimeMs(st);
    if (wasSampled && w.size == oldSize && w.mtime == oldMtime) {
        w.outcome = FileWork::Unchanged;
        return w;
    }
    w.stamp = {w.size, w.mtime, nowMs(), lastChangeMs(st)};
    if (!hasSettled(w.stamp, seen)) {
        w.outcome = FileWork::Growing;
        return w;
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    ++g_filesOpened;
    if (fd < 0) {
        w.outcome = errno == ENOENT ? FileWork::Gone : FileWork::Unreadable;
        return w;
    }
    // One read covers the headers (and all of a small file); the samples read the rest.
    QByteArray head(int(qMin<qint64>(w.size, kHeadReadLength)), Qt::Uninitialized);
    qint64 got = 0;
    while (got < head.size()) {
        const ssize_t n = ::pread(fd, head.data() + got, size_t(head.size() - got), off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    if (got < head.size()) {
        ::close(fd);
        w.outcome = got == 0 && w.size > 0 ? FileWork::Unreadable : FileWork::Growing;
        return w;
    }
    w.kind = MediaInspector::kindFromHeader(head.left(256));
    if (w.kind == MediaKind::Unknown) {
        ::close(fd);
        w.outcome = FileWork::Unsupported;
        return w;
    }
    if (w.size >= ContentSampler::kMinimumScannedFileSize) {
        bool ok = false;
        w.whole = ContentSampler::sampleOfRegion(fd, 0, w.size, &ok, &head);
        if (!ok) {
            ::close(fd);
            w.outcome = FileWork::Growing; // shorter than stat said: it is being rewritten
            return w;
        }
    }
    // Only a JPEG whose headers were all read and hold no EXIF segment skips the metadata reader.
    bool mayHaveExif = true;
    const bool isJpeg = head.size() >= 2 && uchar(head[0]) == 0xFF && uchar(head[1]) == 0xD8;
    if (isJpeg) {
        qint64 start = 0, len = 0;
        bool hasExif = false;
        if (ContentSampler::jpegImageDataRange(fd, w.size, &start, &len, &hasExif, &head)) {
            mayHaveExif = hasExif;
            if (w.size >= ContentSampler::kMinimumScannedFileSize)
                w.jpeg = ContentSampler::sampleOfRegion(fd, start, len, nullptr, &head);
        }
    }
    ::close(fd);
    if (w.kind == MediaKind::Photo && mayHaveExif)
        w.taken = MediaInspector::exifDateTaken(path);
    if (w.kind == MediaKind::Video) {
        const MediaInspector::VideoInfo video = MediaInspector::videoInfo(path);
        w.taken = video.recorded;
        w.duration = video.durationSeconds;
    }
    if (!w.taken.isValid())
        w.taken = QDateTime::fromMSecsSinceEpoch(w.mtime, Qt::UTC);
    w.outcome = FileWork::Worked;
    return w;
}

// --- On the main thread: catalogue steps ------------------------------------------------------------

void markMissing(FileData *record)
{
    QList<FileData *> stack{record};
    while (!stack.isEmpty()) {
        FileData *r = stack.takeLast();
        r->addFlag(FileFlags::MissingOnDisk);
        r->setNeedsScan(NeedsScan::Done);
        const qint16 nu = r->needsUpload();
        if (!r->isFolder() && (nu == NeedsUpload::Waiting || nu == NeedsUpload::Deferred || nu == NeedsUpload::NotSelected))
            r->setNeedsUpload(NeedsUpload::Missing);
        stack.append(r->children());
    }
    if (record->parent())
        state().touchedFolders.insert(record->parent()->fileID());
}

// Files that are never sent, by their size: one too small to be sampled could never be
// recognised again (a touch or a rename would send it again), and the service takes no photo of
// 200 MB or more. 0 for any other file.
qint16 refusedBySize(const FileData *r)
{
    if (r->fileSize() < ContentSampler::kMinimumScannedFileSize)
        return NeedsUpload::TooSmall;
    if (r->isPhoto() && r->fileSize() >= kLargestPhoto)
        return NeedsUpload::TooLarge;
    return 0;
}

// An unplugged disk or an unmounted share: every record is kept as it is, and what waited
// still waits for the source to come back.
void markSourceUnavailable(const QString &root, FileData *fallback)
{
    FileData *rootRecord = root.isEmpty() ? nullptr : DataStore::instance()->fileDataForPathKey(root);
    if (!rootRecord)
        rootRecord = fallback;
    if (rootRecord->hasFlag(FileFlags::SourceUnavailable)) {
        fallback->setNeedsScan(NeedsScan::Done); // the rest was put aside when it went
        return;
    }
    LGLogInfo(QStringLiteral("SCANNER: Source unavailable: %1").arg(rootRecord->fileFullPath()));
    rootRecord->addFlag(FileFlags::SourceUnavailable);
    FileManager::setFile(rootRecord, NeedsScan::Done, true);
    rootRecord->notifyStatusChanged();
}

// A sampled file left "not selected" when its source or folder was dropped is decided again once
// it is selected again: the unchanged file is never read again, so nothing else would. So is one
// taken for missing while its disk was away, and found again unchanged, and one queued by an
// earlier build although its size rules it out.
void decideAgainIfSelectedAgain(FileData *r)
{
    const bool leftOut = r->needsUpload() == NeedsUpload::NotSelected || r->needsUpload() == NeedsUpload::Missing
        || (r->needsUpload() == NeedsUpload::Waiting && refusedBySize(r));
    if (r->isFolder() || !leftOut || !r->hasFlag(FileFlags::Sampled)
        || r->isMissingOnDisk() || r->mediaKind() == MediaKind::Unknown)
        return;
    if (hasExcludedAncestorOrSelf(r) || rootOf(r->fileFullPath()).isEmpty())
        return;
    const auto &match = CatalogueHooks::instance().matchDeDupForFile;
    const qint16 refused = refusedBySize(r);
    if (refused == NeedsUpload::TooSmall)
        r->setNeedsUpload(refused);
    else if (!match || !match(r))
        r->setNeedsUpload(refused ? refused : NeedsUpload::Waiting);
    r->notifyParentsOfStatusChanged();
}

FileData *createChild(FileData *folder, const QString &path, bool isDir)
{
    FileData *r = DataStore::instance()->createFileData(path, isDir);
    if (r->parent() != folder)
        r->setParent(folder);
    if (!isDir)
        r->setNeedsUpload(NeedsUpload::NotSelected); // decided once the file is worked on
    r->setNeedsScan(NeedsScan::Pending);
    return r;
}

struct Listing
{
    ListResult result = ListResult::Ok;
    QList<DirEntry> entries, unreadable;
    QStringList libraries;
    QVariant setData;
    QSet<QByteArrayView> names; // of the entries: what else the folder holds is gone

    // A long listing is taken in over several turns of the main thread: where it has got to.
    mutable qsizetype next = -1; // -1: not begun
    mutable bool childrenChanged = false;
};

// The listing's outcome for the folder itself; false when nothing more is to be taken in.
bool beginListing(FileData *folder, const Listing &l)
{
    DataStore *store = DataStore::instance();
    const QString path = folder->fileFullPath();
    if (l.unreadable.isEmpty()) {
        state().skipped.remove(path);
    } else {
        QList<FileManager::SkippedFile> list;
        for (const DirEntry &e : l.unreadable) {
            const QString entry = path + QLatin1Char('/') + QString::fromUtf8(e.name);
            if (e.skip == FileManager::SkipReason::LinkToFolder) {
                LGLogInfo(QStringLiteral("SCANNER: Not following the link to a folder %1").arg(entry));
                list.append({path, QString::fromUtf8(e.name), true, e.skip, QFileInfo(entry).canonicalFilePath()});
            } else {
                if (e.skip == FileManager::SkipReason::CannotRead)
                    LGLogError(QStringLiteral("SCANNER: Cannot read %1").arg(entry));
                list.append({path, QString::fromUtf8(e.name), e.isDir, e.skip, QString()});
            }
        }
        state().skipped.insert(path, list);
    }
    if (l.result != ListResult::Ok) {
        const QString root = rootOf(path);
        const bool rootGone = root.isEmpty() || root == path || !QFileInfo::exists(root);
        if (l.result == ListResult::Unreadable) {
            LGLogError(QStringLiteral("SCANNER: Cannot read folder %1").arg(path));
            // Its photos are unknown, so never counted: the folder itself is told as not read.
            state().skipped.insert(path, {{path.section(QLatin1Char('/'), 0, -2), path.section(QLatin1Char('/'), -1), true,
                                           FileManager::SkipReason::CannotList, QString()}});
            folder->setNeedsScan(NeedsScan::Done);
        } else if (rootGone) {
            markSourceUnavailable(root, folder);
        } else {
            markMissing(folder);
        }
        return false;
    }
    folder->removeFlag(FileFlags::SourceUnavailable | FileFlags::MissingOnDisk);
    folder->addFlag(FileFlags::ChildrenListed);
    for (const QString &name : l.libraries) {
        LGLogInfo(QStringLiteral("SCANNER: Leaving photo library %1/%2 to its library source").arg(path, name));
        // Listed as a plain folder by an earlier build: its records go.
        FileData *old = store->fileDataForPathKey(path + QLatin1Char('/') + name);
        if (old && old->parent() == folder) {
            store->deleteFileData(old);
            l.childrenChanged = true;
        }
    }
    return true;
}

// Takes in the listed entries from where the last turn stopped until the share of this turn is
// used up; true when all are taken in. Each entry is found by its path, so that nothing is held
// from one turn to the next but the listing itself.
bool applyEntries(FileData *folder, const Listing &l, const QElapsedTimer &clock)
{
    DataStore *store = DataStore::instance();
    QByteArray childPath = folder->pathUtf8() + '/';
    const qsizetype prefix = childPath.size();
    for (const qsizetype first = l.next; l.next < l.entries.size(); ++l.next) {
        if (l.next > first && l.next % 64 == 0 && clock.elapsed() >= kApplyShareMs)
            return false;
        const DirEntry &e = l.entries.at(l.next);
        childPath.truncate(prefix);
        childPath.append(e.name);
        FileData *r = store->fileDataForPathKey(QByteArrayView(childPath));
        if (r && r->isFolder() != e.isDir) {
            store->deleteFileData(r); // a file became a folder or the reverse
            r = nullptr;
        }
        if (!r || r->parent() != folder) {
            if (r) {
                r->setParent(folder); // a nested source met from above
                r->setNeedsScan(NeedsScan::Pending);
            } else {
                createChild(folder, QString::fromUtf8(childPath), e.isDir);
            }
            l.childrenChanged = true;
            continue;
        }
        if (r->isMissingOnDisk()) {
            r->removeFlag(FileFlags::MissingOnDisk | FileFlags::Sampled);
            r->setNeedsScan(NeedsScan::Pending);
            l.childrenChanged = true;
            continue;
        }
        if (!e.isDir && (e.size != r->fileSize() || e.mtime != r->dateModifiedMs() || !r->hasFlag(FileFlags::Sampled))) {
            r->setNeedsScan(NeedsScan::Pending);
        } else if (!e.isDir) {
            if (state().tracking)
                r->addFlag(FileFlags::FoundInTrackedScan);
            decideAgainIfSelectedAgain(r);
        }
    }
    return true;
}

void endListing(FileData *folder, const Listing &l)
{
    // What was not listed is gone from the disk.
    const QList<FileData *> children = folder->children();
    for (FileData *child : children) {
        const QByteArray &childPath = child->pathUtf8();
        if (child->isMissingOnDisk() || l.names.contains(QByteArrayView(childPath).sliced(childPath.lastIndexOf('/') + 1)))
            continue;
        markMissing(child);
        l.childrenChanged = true;
    }
    const QString path = folder->fileFullPath();
    if (!rootOf(path).isEmpty() && state().monitoredRoots.contains(rootOf(path)))
        FolderMonitor::instance()->watchFolder(path);
    if (l.childrenChanged)
        state().touchedFolders.insert(folder->fileID());
    folder->setNeedsScan(NeedsScan::Done);
    if (l.childrenChanged) {
        folder->notifyChildrenChanged();
        folder->notifyParentsOfChildrenChanged();
    }
}

void applyFile(qint64 id, const FileWork &w)
{
    FileData *r = DataStore::instance()->fileDataForId(id);
    if (!r)
        return;
    auto keepsDecision = [r] {
        // A file in flight or already uploaded with this content keeps its state.
        return r->needsUpload() == NeedsUpload::AwaitingTicket
            || (r->needsUpload() == NeedsUpload::Uploaded && r->uploadedRemoteId() != 0);
    };
    if (w.outcome != FileWork::Growing)
        state().unsettled.remove(id);
    switch (w.outcome) {
    case FileWork::Gone:
        if (const QString root = rootOf(r->fileFullPath()); !root.isEmpty() && !QFileInfo::exists(root))
            markSourceUnavailable(root, r); // the disk went away, not the file
        else
            markMissing(r);
        return;
    case FileWork::Growing: {
        FileStamp &seen = state().unsettled[id];
        if (!(seen == w.stamp))
            seen = w.stamp;
        state().deferred.insert(id);
        r->setNeedsScan(NeedsScan::Pending);
        return;
    }
    case FileWork::Unchanged:
        decideAgainIfSelectedAgain(r);
        break;
    case FileWork::Unreadable:
        LGLogError(QStringLiteral("SCANNER: Cannot read %1").arg(r->fileFullPath()));
        r->removeFlag(FileFlags::Sampled);
        if (!keepsDecision())
            r->setNeedsUpload(NeedsUpload::ImageUnreadable);
        break;
    case FileWork::Unsupported:
        LGLogInfo(QStringLiteral("SCANNER: Not a photo or video: %1").arg(r->fileFullPath()));
        r->setFileSize(w.size);
        r->setDateModified(QDateTime::fromMSecsSinceEpoch(w.mtime, Qt::UTC));
        r->setMediaKind(MediaKind::Unknown);
        r->addFlag(FileFlags::Sampled);
        if (!keepsDecision())
            r->setNeedsUpload(NeedsUpload::UnsupportedFormat);
        break;
    case FileWork::Worked: {
        state().countsMayHaveGrown = true;
        const bool contentChanged = r->sample().isNull() || r->sample() != w.whole || r->jpegSample() != w.jpeg;
        if (contentChanged && w.mtime - r->dateModifiedMs() > kContinuedWriteMs)
            r->removeFlag(FileFlags::PhotoSentFromHere);
        r->setFileSize(w.size);
        r->setDateModified(QDateTime::fromMSecsSinceEpoch(w.mtime, Qt::UTC));
        r->setDateTaken(w.taken);
        r->setDuration(w.duration);
        if (r->mediaKind() != w.kind && r->parent())
            state().touchedFolders.insert(r->parent()->fileID());
        r->setMediaKind(w.kind);
        r->setSample(w.whole);
        r->setJpegSample(w.jpeg);
        r->addFlag(FileFlags::Sampled);
        if (keepsDecision() && !contentChanged)
            break;
        if (r->needsUpload() == NeedsUpload::AwaitingTicket)
            break;
        if (hasExcludedAncestorOrSelf(r)) {
            r->setNeedsUpload(NeedsUpload::NotSelected);
            break;
        }
        const qint16 refused = refusedBySize(r);
        if (refused == NeedsUpload::TooSmall) { // no sample: nothing to match
            if (!keepsDecision())
                r->setNeedsUpload(refused);
            break;
        }
        const auto &match = CatalogueHooks::instance().matchDeDupForFile;
        if (!match || !match(r))
            r->setNeedsUpload(refused ? refused : NeedsUpload::Waiting);
        break;
    }
    }
    if (state().tracking)
        r->addFlag(FileFlags::FoundInTrackedScan);
    r->setNeedsScan(NeedsScan::Done);
}

struct Job
{
    qint64 id = 0;
    bool isFolder = false;
    QString path;
    qint64 oldSize = 0;
    qint64 oldMtime = 0;
    bool sampled = false;
    FileStamp seen;
};

// Files read, or folders listed, at once: a batch is worked on by several threads, while the
// catalogue still takes each result one at a time, in path order.
constexpr int kFileBatch = 256;
constexpr int kFolderBatch = 8;

// The next records to work on: folders first (one at a time), then files, each group in path
// order. Records below an excluded folder or outside every source are taken off the list.
QList<Job> pickNext()
{
    DataStore *store = DataStore::instance();
    QList<FileData *> dropped;
    QList<Job> jobs;
    for (const auto *map : {&store->foldersToScan(), &store->filesToScan()}) {
        for (auto it = map->cbegin(); it != map->cend(); ++it) {
            FileData *r = it.value();
            if (r->needsScan() == NeedsScan::InProgress || state().deferred.contains(r->fileID()))
                continue;
            if (hasExcludedAncestorOrSelf(r) || rootOf(r->fileFullPath()).isEmpty()) {
                dropped.append(r);
                continue;
            }
            jobs.append({r->fileID(), r->isFolder(), r->fileFullPath(), r->fileSize(), r->dateModifiedMs(),
                         r->hasFlag(FileFlags::Sampled), state().unsettled.value(r->fileID())});
            if (jobs.size() >= (r->isFolder() ? kFolderBatch : kFileBatch))
                break;
        }
        if (!jobs.isEmpty())
            break;
    }
    for (FileData *r : std::as_const(dropped))
        r->setNeedsScan(NeedsScan::Done);
    for (const Job &j : std::as_const(jobs))
        store->fileDataForId(j.id)->setNeedsScan(NeedsScan::InProgress);
    if (!jobs.isEmpty())
        state().scanningId = jobs.first().id;
    return jobs;
}

QThreadPool *readerPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(qBound(1, QThread::idealThreadCount(), 8));
        p->setExpiryTimeout(10000);
        return p;
    }();
    return pool;
}

// Runs work(i) for every i below n on the reader threads; returns when all are done.
template <typename Work>
void onReaders(qsizetype n, const Work &work)
{
    if (n == 1) {
        work(0);
        return;
    }
    std::atomic<qsizetype> next{0};
    const int workers = int(qMin<qsizetype>(n, readerPool()->maxThreadCount()));
    QSemaphore done;
    for (int w = 0; w < workers; ++w) {
        readerPool()->start([&] {
            for (qsizetype i = next++; i < n; i = next++)
                work(i);
            done.release();
        });
    }
    done.acquire(workers);
}

// Work done off the main thread on picked records, for the main thread to take in.
struct Batch
{
    explicit Batch(QList<Job> picked) : jobs(std::move(picked)) {}
    virtual ~Batch() = default;
    // Takes in the result of jobs[i]; false when it must go on in a later turn.
    virtual bool apply(qsizetype i, const QElapsedTimer &clock) const = 0;
    QList<Job> jobs;
};

struct FileBatch : Batch
{
    using Batch::Batch;
    bool apply(qsizetype i, const QElapsedTimer &) const override
    {
        applyFile(jobs[i].id, works[i]);
        return true;
    }
    QList<FileWork> works;
};

std::shared_ptr<const Batch> workOnFiles(QList<Job> jobs)
{
    auto batch = std::make_shared<FileBatch>(std::move(jobs));
    batch->works.resize(batch->jobs.size());
    onReaders(batch->jobs.size(), [&b = *batch](qsizetype i) {
        b.works[i] = workOnFile(b.jobs[i].path, b.jobs[i].oldSize, b.jobs[i].oldMtime, b.jobs[i].sampled, b.jobs[i].seen);
    });
    return batch;
}

struct FolderBatch : Batch
{
    using Batch::Batch;
    bool apply(qsizetype i, const QElapsedTimer &clock) const override
    {
        // Listed alongside others, the folder may have changed before its turn: one no longer
        // waiting for this listing is left alone (listed again when asked), one now excluded or
        // outside every source is put aside, as the picking would have done.
        FileData *folder = DataStore::instance()->fileDataForId(jobs[i].id);
        if (!folder || folder->needsScan() != NeedsScan::InProgress)
            return true;
        const Listing &l = listings[i];
        if (l.next < 0) {
            if (hasExcludedAncestorOrSelf(folder) || rootOf(jobs[i].path).isEmpty()) {
                folder->setNeedsScan(NeedsScan::Done);
                return true;
            }
            applySetDataOnDisk(jobs[i].id, l.setData);
            if (folder->excludedFromScan()) {
                folder->setNeedsScan(NeedsScan::Done);
                return true;
            }
            if (!beginListing(folder, l))
                return true;
            l.next = 0;
        }
        if (!applyEntries(folder, l, clock))
            return false;
        endListing(folder, l);
        return true;
    }
    QList<Listing> listings;
};

std::shared_ptr<const Batch> listFolders(QList<Job> jobs)
{
    auto batch = std::make_shared<FolderBatch>(std::move(jobs));
    batch->listings.resize(batch->jobs.size());
    onReaders(batch->jobs.size(), [&b = *batch](qsizetype i) {
        Listing &l = b.listings[i];
        l.result = listDirectory(b.jobs[i].path, &l.entries, &l.unreadable, &l.libraries);
        if (l.result != ListResult::Ok)
            return;
        l.setData = readSetDataOf(b.jobs[i].path);
        l.names.reserve(l.entries.size());
        for (const DirEntry &e : std::as_const(l.entries))
            l.names.insert(QByteArrayView(e.name));
    });
    return batch;
}

// A batch is taken in a few milliseconds at a time, in order, each share in its own turn of the
// main thread, so that the window is drawn in between; `done` is released after the last one.
void applyInShares(std::shared_ptr<const Batch> batch, qsizetype from, QSemaphore *done)
{
    dispatch_main_async([batch = std::move(batch), from, done] {
        QElapsedTimer clock;
        clock.start();
        for (qsizetype i = from; i < batch->jobs.size(); ++i) {
            if (i > from && clock.elapsed() >= kApplyShareMs) {
                applyInShares(batch, i, done);
                return;
            }
            state().scanningId = batch->jobs[i].id;
            const bool whole = batch->apply(i, clock);
            DataStore::queueSave();
            if (!whole) {
                applyInShares(batch, i, done);
                return;
            }
        }
        state().scanningId = 0;
        done->release();
    });
}

void recountTouchedFolders()
{
    DataStore *store = DataStore::instance();
    for (qint64 id : std::as_const(state().touchedFolders)) {
        FileData *folder = store->fileDataForId(id);
        if (!folder)
            continue;
        qint32 photos = 0, videos = 0;
        for (FileData *c : folder->children()) {
            if (c->isFolder() || c->isMissingOnDisk())
                continue;
            photos += c->isPhoto();
            videos += c->isVideo();
        }
        folder->setNumberOfPhotos(photos);
        folder->setNumberOfVideos(videos);
    }
    state().touchedFolders.clear();
}

// The scan counters count distinct samples over the whole library, which takes longer than the
// window may wait: the main thread only copies the samples, the scanner's thread counts them.
struct ScanCounts
{
    bool taken = false;
    qint64 total = 0;
    qint64 unsampled = 0;
    std::vector<ContentSample> samples;

    void take()
    {
        taken = true;
        const RecordIdIndex &records = DataStore::instance()->allFileDataById();
        samples.reserve(size_t(records.size()));
        for (FileData *r : records) {
            if (r->isFolder() || !r->isPhoto() || r->isMissingOnDisk())
                continue;
            ++total;
            if (r->sample().isNull())
                ++unsampled;
            else
                samples.push_back(r->sample());
        }
    }
    qint64 distinct()
    {
        const auto less = [](const ContentSample &a, const ContentSample &b) {
            return a.sample1 != b.sample1 ? a.sample1 < b.sample1 : a.sample2 < b.sample2;
        };
        std::sort(samples.begin(), samples.end(), less);
        return qint64(std::unique(samples.begin(), samples.end()) - samples.begin()) + unsampled;
    }
};

void updateScanCounters(qint64 total, qint64 distinct)
{
    if (total > Settings::intForKey(FileManager::kMaxScanTotal))
        Settings::setInt(int(total), FileManager::kMaxScanTotal);
    if (distinct > Settings::intForKey(FileManager::kMaxScanUnique))
        Settings::setInt(int(distinct), FileManager::kMaxScanUnique);
}

// Sources that were unreachable come back when their folder exists again.
void reviveUnavailableRoots()
{
    for (const QString &root : std::as_const(state().activeRoots)) {
        FileData *r = DataStore::instance()->fileDataForPathKey(root);
        if (r && r->hasFlag(FileFlags::SourceUnavailable) && QFileInfo(root).isDir()) {
            LGLogInfo(QStringLiteral("SCANNER: Source available again: %1").arg(root));
            r->removeFlag(FileFlags::SourceUnavailable);
            FileManager::setFile(r, NeedsScan::Pending, false);
            for (FileData *c : r->flattenedListOfChildrenWithOptions(FlattenOptions::Folders | FlattenOptions::Recursive))
                c->setNeedsScan(NeedsScan::Pending);
        }
    }
}

// When the first of the files put off could have settled, if nothing changes them meanwhile.
qint64 nextSettleCheckMs()
{
    const auto &s = state();
    const qint64 at = nowMs();
    qint64 soonest = s.settleWindowMs;
    for (qint64 id : s.deferred) {
        const FileStamp seen = s.unsettled.value(id);
        const qint64 from = seen.changed <= at ? seen.changed : seen.sinceMs;
        soonest = qMin(soonest, from + s.settleWindowMs - at);
    }
    return qMax(soonest, kSettleRecheckMinMs);
}

void finishPass(const ScanCounts &counts, qint64 distinct)
{
    auto &s = state();
    recountTouchedFolders();
    if (counts.taken)
        updateScanCounters(counts.total, distinct);
    s.completedThisSession = true;
    // A tracked scan is one whole pass begun after tracking was turned on.
    if (s.tracking && s.trackedPassStarted)
        FileManager::setTrackingCurrentScan(false);
    s.scanningId = 0;
    // A file that went, or was left out, while it was still being written is not looked at again.
    s.unsettled.removeIf([&s](const auto &entry) { return !s.deferred.contains(entry.key()); });
    DataStore::queueSave();
    LGLogInfo(QStringLiteral("SCANNER: Scan pass complete (%1 records)").arg(DataStore::instance()->fileDataCount()));
    if (!s.deferred.isEmpty() && !s.retryScheduled) {
        s.retryScheduled = true;
        dispatch_main_delay([] {
            state().retryScheduled = false;
            FileManager::run();
        }, nextSettleCheckMs() / 1000.0);
    }
    UiHooks::instance().refreshSourcesView();
    if (CatalogueHooks::instance().scanPassCompleted)
        CatalogueHooks::instance().scanPassCompleted();
}

void scanLoop()
{
    auto &s = state();
    for (;;) {
        bool gateOpen = false;
        dispatch_main_sync([&] {
            const auto &gate = CatalogueHooks::instance().mirrorHasCompletedScanThisSession;
            gateOpen = gate && gate() && DataStore::instance()->isOpen();
            if (gateOpen) {
                s.deferred.clear();
                s.trackedPassStarted = s.tracking;
                reviveUnavailableRoots();
            }
        });
        if (!gateOpen || s.stopRequested)
            break;
        QSemaphore applySlot(1);
        auto waitForApply = [&applySlot] {
            applySlot.acquire();
            applySlot.release();
        };
        QList<Job> jobs;
        dispatch_main_sync([&] { jobs = pickNext(); });
        for (;;) {
            if (s.stopRequested)
                break;
            if (jobs.isEmpty()) {
                // The batch still being taken in may leave work behind: look once more after it.
                waitForApply();
                dispatch_main_sync([&] { jobs = pickNext(); });
                if (jobs.isEmpty())
                    break;
            }
            // Reading overlaps the catalogue: while the main thread takes in one batch, the
            // readers work on the next. At most one batch waits for the main thread.
            std::shared_ptr<const Batch> batch = jobs.first().isFolder ? listFolders(std::move(jobs)) : workOnFiles(std::move(jobs));
            applySlot.acquire();
            dispatch_main_sync([&] { jobs = pickNext(); });
            applyInShares(std::move(batch), 0, &applySlot);
        }
        waitForApply();
        // Records picked but left unread (a stop): back to pending for the next start.
        dispatch_main_sync([&] {
            for (const Job &j : std::as_const(jobs))
                if (FileData *r = DataStore::instance()->fileDataForId(j.id); r && r->needsScan() == NeedsScan::InProgress)
                    r->setNeedsScan(NeedsScan::Pending);
        });
        ScanCounts counts;
        dispatch_main_sync([&] {
            if (!s.stopRequested && std::exchange(s.countsMayHaveGrown, false))
                counts.take();
        });
        const qint64 distinct = counts.taken ? counts.distinct() : 0;
        bool again = false;
        dispatch_main_sync([&] {
            if (!s.stopRequested)
                finishPass(counts, distinct);
            again = s.runAgain && !s.stopRequested;
            s.runAgain = false;
            if (!again)
                s.running = false;
        });
        if (!again)
            return;
    }
    dispatch_main_sync([&] {
        s.scanningId = 0;
        s.runAgain = false;
        s.running = false;
    });
}

void onFoldersChanged(const QStringList &folders)
{
    bool any = false;
    for (const QString &folder : folders) {
        FileData *r = FileManager::fileDataForPath(folder, 0, false);
        if (r && r->isFolder()) {
            r->setNeedsScan(NeedsScan::Pending);
            any = true;
        }
    }
    if (any)
        FileManager::run();
}

} // namespace

// --- Public -----------------------------------------------------------------------------------------

void FileManager::run()
{
    if (!isMainThread()) {
        dispatch_main_async([] { FileManager::run(); });
        return;
    }
    auto &s = state();
    if (s.stopRequested)
        return; // shut down: only startup() starts the scanner again
    if (s.running) {
        s.runAgain = true;
        return;
    }
    s.running = true;
    s.runAgain = false;
    dispatch_default_queue_async(scanLoop);
}

bool FileManager::isRunning()
{
    return state().running;
}

bool FileManager::hasCompletedScanThisSession()
{
    return state().completedThisSession;
}

QList<QVariant> FileManager::readFolderSettings(const QStringList &files)
{
    QList<QVariant> contents(files.size());
    onReaders(files.size(), [&](qsizetype i) { contents[i] = FileData::readSetDataFile(files.at(i)); });
    return contents;
}

FileData *FileManager::fileScanning()
{
    const qint64 id = state().scanningId;
    return id ? DataStore::instance()->fileDataForId(id) : nullptr;
}

bool FileManager::isFileOrAnyChildScanning(FileData *record)
{
    if (!record)
        return false;
    for (FileData *r = fileScanning(); r; r = r->parent())
        if (r == record)
            return true;
    return false;
}

void FileManager::setTrackingCurrentScan(bool tracking)
{
    state().tracking = tracking;
    state().trackedPassStarted = false;
    if (tracking) {
        LGLogInfo(QStringLiteral("SCANNER: Beginning tracked scan"));
        for (FileData *r : DataStore::instance()->allFileDataById())
            r->removeFlag(FileFlags::FoundInTrackedScan);
    } else {
        LGLogInfo(QStringLiteral("SCANNER: Ending tracked scan"));
        Settings::setBool(true, QStringLiteral("LastScanWasTracked"));
    }
    Settings::setBool(tracking, QStringLiteral("TrackingCurrentScan"));
}

bool FileManager::isSourceUnavailable(const QString &path)
{
    const QString root = rootOf(pathKey(path));
    if (root.isEmpty())
        return false;
    FileData *rootRecord = DataStore::instance()->fileDataForPathKey(root);
    if (rootRecord && rootRecord->hasFlag(FileFlags::SourceUnavailable))
        return true;
    if (QFileInfo(root).isDir())
        return false;
    if (rootRecord) {
        rootRecord->setNeedsScan(NeedsScan::Pending);
        run();
    }
    return true;
}

namespace {
// Only what is still meant to be backed up: a listed folder inside a source, not excluded; a
// link to a folder that is itself in the sources is backed up from there.
bool skippedFolderCounts(const QString &path)
{
    const FileData *folder = DataStore::instance()->fileDataForPathKey(path);
    return folder && !folder->isMissingOnDisk() && !hasExcludedAncestorOrSelf(folder) && !rootOf(path).isEmpty();
}

bool skippedEntryCounts(const FileManager::SkippedFile &f)
{
    return f.reason != FileManager::SkipReason::LinkToFolder || f.linkTarget.isEmpty() || !FileManager::isPathInSources(f.linkTarget);
}
} // namespace

QList<FileManager::SkippedFile> FileManager::skippedFiles()
{
    QList<SkippedFile> out;
    for (auto it = state().skipped.cbegin(); it != state().skipped.cend(); ++it) {
        if (!skippedFolderCounts(it.key()))
            continue;
        for (const SkippedFile &f : it.value())
            if (skippedEntryCounts(f))
                out.append(f);
    }
    return out;
}

bool FileManager::hasSkippedEntries(const QString &folderPath)
{
    const auto it = state().skipped.constFind(folderPath);
    if (it == state().skipped.constEnd() || !skippedFolderCounts(folderPath))
        return false;
    // A folder that could not be listed is told under its parent (and by couldNotListFolder).
    return std::any_of(it->cbegin(), it->cend(), [&](const SkippedFile &f) {
        return f.folder == folderPath && skippedEntryCounts(f);
    });
}

bool FileManager::couldNotListFolder(const QString &path)
{
    const auto it = state().skipped.constFind(path);
    return it != state().skipped.constEnd() && !it->isEmpty() && it->first().reason == SkipReason::CannotList;
}

void FileManager::rescanWhatCouldNotBeRead()
{
    DataStore *store = DataStore::instance();
    if (!store->isOpen())
        return;
    int marked = 0;
    for (FileData *r : store->allFileDataById()) {
        if (!r->isFolder() && r->needsUpload() == NeedsUpload::ImageUnreadable && r->needsScan() == NeedsScan::Done) {
            setFile(r, NeedsScan::Pending, false);
            ++marked;
        }
    }
    for (const SkippedFile &f : skippedFiles()) {
        if (f.reason != SkipReason::CannotList && f.reason != SkipReason::CannotRead)
            continue;
        // A folder that could not be listed is listed again; so is the folder of a file that
        // could not be looked at.
        const QString listed = f.reason == SkipReason::CannotList ? f.folder + QLatin1Char('/') + f.name : f.folder;
        if (FileData *folder = store->fileDataForPathKey(listed)) {
            setFile(folder, NeedsScan::Pending, false);
            ++marked;
        }
    }
    if (marked) {
        LGLogInfo(QStringLiteral("SCANNER: Reading %1 unreadable files and folders again").arg(marked));
        run();
    }
}

bool FileManager::isTrackingCurrentScan()
{
    return state().tracking;
}

bool FileManager::waitUntilIdle(int timeoutMs)
{
    // Idle means: no pass running and none about to start from an event already queued. The
    // nested loop sleeps in the event dispatcher, so the scanner's hand-overs run at once.
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (!state().running) {
            QCoreApplication::processEvents();
            if (!state().running)
                return true;
        }
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, &loop, [&loop, &deadline] {
            if (!state().running || deadline.hasExpired())
                loop.quit();
        });
        poll.start();
        loop.exec();
    }
}

void FileManager::startup()
{
    DataStore *store = DataStore::instance();
    if (!store->isOpen()) {
        LGLogError(QStringLiteral("SCANNER: Not starting: the catalogue is not open"));
        return;
    }
    auto &s = state();
    s.stopRequested = false;
    s.tracking = Settings::boolForKey(QStringLiteral("TrackingCurrentScan"));
    FolderMonitor::instance()->setHandler(onFoldersChanged);
    for (FileData *r : store->allFileDataById())
        if (r->needsScan() == NeedsScan::InProgress)
            r->setNeedsScan(NeedsScan::Pending);
    // The system keeps no history of file events: every watched folder is listed again and
    // compared by size and date, so only what changed while we were not running is read.
    s.activeRoots.clear();
    FileManagerPrivate::reevaluateSources();
    for (const QString &root : std::as_const(s.activeRoots))
        if (FileData *r = store->fileDataForPathKey(root)) {
            r->setNeedsScan(NeedsScan::Pending);
            for (FileData *c : r->flattenedListOfChildrenWithOptions(FlattenOptions::Folders | FlattenOptions::Recursive))
                if (!c->isMissingOnDisk())
                    c->setNeedsScan(NeedsScan::Pending);
        }
    run();
}

void FileManager::shutdown()
{
    // Stopped means stopped: the flag stays up until the next startup(), so a pass that outlasts
    // the wait below, or a retry armed before it, ends at its next step instead of going on.
    auto &s = state();
    s.stopRequested = true;
    FolderMonitor::instance()->stopAll();
    s.monitoredRoots.clear();
    while (!waitUntilIdle(10000))
        LGLogInfo(QStringLiteral("SCANNER: Still winding down the scan"));
    if (DataStore::instance()->isOpen())
        DataStore::save();
}

void FileManager::startMonitoring(const QString &rootPath)
{
    const QString key = pathKey(rootPath);
    state().monitoredRoots.insert(key);
    FolderMonitor::instance()->setHandler(onFoldersChanged);
    FolderMonitor::instance()->watchFolder(key);
}

void FileManager::stopMonitoring(const QString &rootPath)
{
    const QString key = pathKey(rootPath);
    state().monitoredRoots.remove(key);
    for (const QString &other : std::as_const(state().monitoredRoots))
        if (isSameOrBelow(key, other))
            return; // still covered by an enclosing source
    FolderMonitor::instance()->unwatchTree(key);
}

bool FileManager::isMonitoring(const QString &rootPath)
{
    return FolderMonitor::instance()->isWatching(pathKey(rootPath));
}

void FileManager::resetForTesting()
{
    shutdown();
    auto &s = state();
    s.stopRequested = false; // a test's next step may run the scanner without a startup()
    s.completedThisSession = false;
    s.tracking = false;
    s.deferred.clear();
    s.unsettled.clear();
    s.activeRoots.clear();
    s.monitoredRoots.clear();
    s.touchedFolders.clear();
    s.skipped.clear();
    s.scanningId = 0;
    s.runAgain = false;
}

quint64 FileManagerPrivate::filesOpenedForReading()
{
    return g_filesOpened;
}

void FileManagerPrivate::setSettleWindowForTesting(qint64 ms)
{
    state().settleWindowMs = ms;
}

void FileManagerPrivate::reevaluateSources()
{
    auto &s = state();
    DataStore *store = DataStore::instance();
    const QStringList roots = FileManager::allSourcesFiltered();
    const QStringList old = s.activeRoots;
    s.activeRoots = roots;
    auto covered = [&roots](const QString &path) {
        for (const QString &root : roots)
            if (isSameOrBelow(path, root))
                return true;
        return false;
    };
    for (const QString &root : old) {
        if (roots.contains(root))
            continue;
        FileManager::stopMonitoring(root);
        FileData *r = store->fileDataForPathKey(root);
        if (!r || covered(root))
            continue;
        LGLogInfo(QStringLiteral("SCANNER: Stopped scanning %1").arg(root));
        QList<FileData *> stack{r};
        while (!stack.isEmpty()) {
            FileData *x = stack.takeLast();
            x->setNeedsScan(NeedsScan::Done);
            if (!x->isFolder() && (x->needsUpload() == NeedsUpload::Waiting || x->needsUpload() == NeedsUpload::Deferred))
                x->setNeedsUpload(NeedsUpload::NotSelected);
            stack.append(x->children());
        }
        if (CatalogueHooks::instance().sourceRemoved)
            CatalogueHooks::instance().sourceRemoved(root);
    }
    for (const QString &root : roots) {
        FileData *r = store->fileDataForPathKey(root);
        const bool fresh = !r;
        if (!r) {
            const quint64 flags = root == FileManager::iMessageDirectory() ? FileFlags::IMessageRoot : 0;
            r = store->createFileData(root, true, flags);
        }
        if (!r) {
            LGLogError(QStringLiteral("SCANNER: Not scanning \"%1\": no record can be made for it").arg(root));
            continue;
        }
        if (!r->isFolder())
            continue;
        if (!old.contains(root)) {
            if (!fresh)
                LGLogInfo(QStringLiteral("SCANNER: Scanning %1").arg(root));
            r->setNeedsScan(NeedsScan::Pending);
            // Records kept from an earlier time as a source: compare them again.
            for (FileData *c : r->flattenedListOfChildrenWithOptions(FlattenOptions::Folders | FlattenOptions::Recursive))
                c->setNeedsScan(NeedsScan::Pending);
            FileManager::startMonitoring(root);
        }
    }
    DataStore::queueSave();
    FileManager::run();
}
