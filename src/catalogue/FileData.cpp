#include "catalogue/FileData.h"

#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "core/LGLog.h"
#include "core/PropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMetaObject>
#include <QPointer>
#include <QVariantMap>
#include <algorithm>
#include <cerrno>
#include <memory_resource>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>


namespace {

struct DelegateEntry
{
    FileDataDelegate *delegate = nullptr;
    QPointer<QObject> guard; // set when the delegate is a QObject
    bool guarded = false;
};

QHash<const FileData *, DelegateEntry> &delegates()
{
    static QHash<const FileData *, DelegateEntry> map;
    return map;
}

const QString kSetDataFileName = QStringLiteral(".lumoraExclusion");
const QString kKeyAlbumName = QStringLiteral("albumName");
const QString kKeyAlbumMode = QStringLiteral("albumMode");
const QString kKeyIncludesSubfolders = QStringLiteral("albumIncludesSubfolders");
const QString kKeyExcluded = QStringLiteral("excludedFromScan");
const QString kKeySetId = QStringLiteral("lumoraSetId");
const QString kKeyNamedByUser = QStringLiteral("albumNamedByUser");

bool lessByPath(const FileData *a, const FileData *b)
{
    return a->pathUtf8() < b->pathUtf8();
}

} // namespace

namespace FileDataDetail {
const QString &nullString()
{
    static const QString s;
    return s;
}
const QList<FileData *> &emptyList()
{
    static const QList<FileData *> l;
    return l;
}
} // namespace FileDataDetail

// A million records are held at once: a record that outgrows its pool block costs a sixth more.
static_assert(sizeof(void *) != 8 || sizeof(FileData) <= 128, "a record fits a 128-byte block");

namespace {
// Records are made on the catalogue's loading thread and then on the main thread; the lock
// keeps the pool sound should the two ever meet.
struct RecordPool
{
    std::mutex lock;
    std::pmr::unsynchronized_pool_resource pool{std::pmr::pool_options{0, sizeof(FileData)}};
};
RecordPool &recordPool()
{
    static auto *pool = new RecordPool; // never destroyed: records may outlive static teardown
    return *pool;
}
} // namespace

// Under AddressSanitizer every record is a heap block of its own: a record used after it was
// deleted is caught there, where the pool would hand its block to the next record unseen.
#if defined(__SANITIZE_ADDRESS__)
#define HOISTLY_RECORDS_ON_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOISTLY_RECORDS_ON_HEAP 1
#endif
#endif

void *FileData::operator new(std::size_t size)
{
#ifdef HOISTLY_RECORDS_ON_HEAP
    return ::operator new(size);
#endif
    RecordPool &p = recordPool();
    const std::lock_guard guard(p.lock);
    return p.pool.allocate(size, alignof(FileData));
}

void FileData::operator delete(void *ptr, std::size_t size)
{
    if (!ptr)
        return;
#ifdef HOISTLY_RECORDS_ON_HEAP
    return ::operator delete(ptr);
#endif
    RecordPool &p = recordPool();
    const std::lock_guard guard(p.lock);
    p.pool.deallocate(ptr, size, alignof(FileData));
}

FileData::FileData(qint64 id, QByteArray path, bool isFolder)
    : m_path(std::move(path)), m_id(id), m_isFolder(isFolder)
{
}

FileData::~FileData()
{
    if (m_hasDelegate)
        delegates().remove(this);
}

void FileData::markDirty()
{
    if (m_dirty)
        return;
    m_dirty = true;
    DataStore::instance()->noteDirty(this);
}

FileData::Extra &FileData::extra()
{
    if (!m_extra)
        m_extra = std::make_unique<Extra>();
    return *m_extra;
}

QString FileData::fileName() const
{
    const qsizetype slash = m_path.lastIndexOf('/');
    if (slash < 0 || (slash == 0 && m_path.size() == 1))
        return fileFullPath();
    return QString::fromUtf8(QByteArrayView(m_path).sliced(slash + 1));
}

QString FileData::displayName() const
{
    if (m_extra && !m_extra->title.isEmpty())
        return m_extra->title;
    return fileName();
}

// --- Flags ---------------------------------------------------------------------------------

void FileData::setFlags(quint64 flags)
{
    if (flags == m_flags)
        return;
    m_flags = flags;
    markDirty();
}

void FileData::addFlag(quint64 mask)
{
    setFlags(m_flags | mask);
}

void FileData::removeFlag(quint64 mask)
{
    setFlags(m_flags & ~mask);
}

void FileData::setFlag(quint64 mask, bool set)
{
    set ? addFlag(mask) : removeFlag(mask);
}

void FileData::setIsFolder(bool folder)
{
    if (folder == m_isFolder)
        return;
    m_isFolder = folder;
    markDirty();
    statusInputsChanged();
}

void FileData::setParent(FileData *parent)
{
    if (parent == m_parent || parent == this)
        return;
    for (FileData *p = parent; p; p = p->m_parent)
        if (p == this)
            return; // would make a cycle
    if (m_parent) {
        m_parent->extra().children.removeOne(this);
        m_parent->m_cachedStatus = 0;
        m_parent->notifyChildrenChanged();
    }
    m_parent = parent;
    if (parent) {
        parent->extra().children.append(this);
        parent->notifyChildrenChanged();
    }
    DataStore::instance()->parentChanged(this);
    markDirty();
    statusInputsChanged();
}

// --- Scan and upload state ---------------------------------------------------------------------

void FileData::statusInputsChanged()
{
    for (FileData *r = this; r; r = r->m_parent) {
        r->m_cachedStatus = 0;
        r->notifyStatusChanged();
    }
}

void FileData::setNeedsScan(qint16 value)
{
    if (value == m_needsScan)
        return;
    m_needsScan = value;
    markDirty();
    DataStore::instance()->needsScanChanged(this);
    statusInputsChanged();
}

void FileData::setNeedsUpload(qint16 value)
{
    if (value == m_needsUpload)
        return;
    m_needsUpload = value;
    markDirty();
    statusInputsChanged();
}

void FileData::setNeedsSync(qint32 value)
{
    if (value == needsSync())
        return;
    extra().needsSync = value;
    markDirty();
}

void FileData::setUploadedRemoteId(qint64 id)
{
    if (id == m_uploadedRemoteId)
        return;
    removeFlag(FileFlags::PhotoSentFromHere);
    m_uploadedRemoteId = id;
    markDirty();
}

void FileData::setUploadTicket(const QString &ticket)
{
    if (ticket == uploadTicket() && ticket.isNull() == uploadTicket().isNull())
        return;
    extra().uploadTicket = ticket;
    // A ticket is held only while a file is on its way: once it is cleared, a file record that
    // needs no other rare field goes back to the common size instead of keeping them all for
    // the rest of the session (one set per upload).
    if (ticket.isNull() && !m_isFolder && m_extra->holdsNothingButTicket())
        m_extra.reset();
    markDirty();
}

// --- Album settings -------------------------------------------------------------------------------

void FileData::setLumoraSetId(qint64 id)
{
    if (id == lumoraSetId())
        return;
    extra().lumoraSetId = id;
    markDirty();
}

void FileData::setAlbumName(const QString &name)
{
    if (name == albumName() && name.isNull() == albumName().isNull())
        return;
    extra().albumName = name;
    markDirty();
}

void FileData::setAlbumMode(qint32 mode)
{
    if (mode == albumMode())
        return;
    extra().albumMode = mode;
    markDirty();
}

void FileData::setAlbumIncludesSubfolders(bool on)
{
    if (on == m_albumIncludesSubfolders)
        return;
    m_albumIncludesSubfolders = on;
    markDirty();
}

void FileData::setExcludedFromScan(bool excluded)
{
    if (!changeExcludedFromScan(excluded))
        return;
    // What may leave the machine is written through at once: a crash within the queued-save
    // window must not bring an excluded folder back as included.
    DataStore *store = DataStore::instance();
    if (store->isOpen() && !DataStore::save())
        LGLogError(QStringLiteral("SCANNER: Could not save the exclusion of %1 at once: %2")
                       .arg(fileFullPath(), store->lastSaveError().message));
}

bool FileData::changeExcludedFromScan(bool excluded)
{
    if (excluded == m_excludedFromScan)
        return false;
    m_excludedFromScan = excluded;
    markDirty();
    statusInputsChanged();
    if (FileData *parent = m_parent) {
        if (excluded)
            parent->addFlag(FileFlags::HasExcludedChildren);
        else
            FileManager::updateFolderHasAnyExcludedChildren(parent);
    }
    return true;
}

void FileData::changeToAlbumMode(qint32 mode, int deleteAlbums)
{
    Q_UNUSED(deleteAlbums);
    setAlbumMode(mode);
}

// --- Counts ---------------------------------------------------------------------------------------

void FileData::setNumberOfPhotos(qint32 n)
{
    if (n == numberOfPhotos())
        return;
    extra().numberOfPhotos = n;
    markDirty();
}

void FileData::setNumberOfVideos(qint32 n)
{
    if (n == numberOfVideos())
        return;
    extra().numberOfVideos = n;
    markDirty();
}

void FileData::loadRecursiveCounts()
{
    // Iterative post-order walk: deep trees must not exhaust the stack.
    struct Frame { FileData *record; qsizetype next; };
    QList<Frame> stack;
    stack.append({this, 0});
    while (!stack.isEmpty()) {
        Frame &top = stack.last();
        FileData *r = top.record;
        if (top.next < r->children().size()) {
            FileData *child = r->children().at(top.next++);
            if (child->m_isFolder && !child->m_excludedFromScan && !child->isMissingOnDisk())
                stack.append({child, 0});
            continue;
        }
        qint32 folders = 0, photos = 0, videos = 0, directPhotos = 0, directVideos = 0;
        for (FileData *child : std::as_const(r->children())) {
            if (child->isMissingOnDisk()) {
                // Kept so that what comes back is known again, but no longer there to count.
            } else if (child->m_isFolder && child->m_excludedFromScan) {
                folders += 1; // shown, but what it holds is left out
            } else if (child->m_isFolder) {
                folders += 1 + child->numberOfFoldersRecursive();
                photos += child->numberOfPhotosRecursive();
                videos += child->numberOfVideosRecursive();
            } else {
                if (child->isPhoto())
                    ++directPhotos;
                else if (child->isVideo())
                    ++directVideos;
            }
        }
        r->extra().numberOfFoldersRecursive = folders;
        r->extra().numberOfPhotosRecursive = photos + directPhotos;
        r->extra().numberOfVideosRecursive = videos + directVideos;
        if (r->m_isFolder) {
            r->setNumberOfPhotos(directPhotos);
            r->setNumberOfVideos(directVideos);
        }
        stack.removeLast();
    }
}

// --- Status ---------------------------------------------------------------------------------------

qint32 FileData::status()
{
    if (isAlias()) {
        FileData *target = aliasTarget();
        if (target && target != this && !target->isAlias())
            return target->status();
    }
    FileData *uploading = CatalogueHooks::instance().fileUploading ? CatalogueHooks::instance().fileUploading() : nullptr;
    qint32 s = FileStatus::Done;
    if (!m_isFolder) {
        if (uploading == this)
            s = FileStatus::Uploading;
        else if (m_needsUpload > 0 && m_needsUpload != NeedsUpload::AwaitingTicket && m_needsUpload != NeedsUpload::NotSelected)
            s = FileStatus::Waiting;
        else if (m_needsUpload < 0)
            s = FileStatus::NotUploaded;
    } else {
        bool uploadingBelow = false;
        for (FileData *p = uploading; p; p = p->m_parent)
            if (p == this) {
                uploadingBelow = true;
                break;
            }
        if (uploadingBelow) {
            s = FileStatus::Uploading;
        } else if (m_needsScan > 0) {
            s = FileStatus::Waiting;
        } else if (FileManager::couldNotListFolder(fileFullPath())) {
            s = FileStatus::NotUploaded;
        } else {
            // Done only when every selected photo below is on the service: one still processing
            // waits, one that failed, cannot be read or was refused by the service marks the folder
            // not uploaded. Files left out on purpose (already there, not a photo) do not.
            for (FileData *child : std::as_const(children())) {
                if (child->m_excludedFromScan)
                    continue;
                const qint32 cs = child->m_cachedStatus ? child->m_cachedStatus : child->status();
                if (cs == FileStatus::Waiting || (!child->m_isFolder && child->m_needsUpload == NeedsUpload::AwaitingTicket)) {
                    s = FileStatus::Waiting;
                    break;
                }
                if (child->m_isFolder ? cs == FileStatus::NotUploaded
                                      : (child->m_needsUpload == NeedsUpload::FailedThreeTimes
                                         || child->m_needsUpload == NeedsUpload::ImageUnreadable
                                         || (child->m_needsUpload == NeedsUpload::UnsupportedFormat
                                             && child->mediaKind() != MediaKind::Unknown)))
                    s = FileStatus::NotUploaded;
            }
            // Entries whose names keep them from a backup count as files that failed.
            if (s == FileStatus::Done && FileManager::hasSkippedEntries(fileFullPath()))
                s = FileStatus::NotUploaded;
        }
    }
    m_cachedStatus = qint8(s);
    return s;
}

void FileData::resetCachedStatusRecursive(bool wholeSubtree)
{
    m_cachedStatus = 0;
    if (!wholeSubtree)
        return;
    QList<FileData *> stack(children().begin(), children().end());
    while (!stack.isEmpty()) {
        FileData *r = stack.takeLast();
        r->m_cachedStatus = 0;
        stack.append(r->children());
    }
}

// --- Aliases --------------------------------------------------------------------------------------

FileData *FileData::aliasTarget() const
{
    return m_extra ? m_extra->aliasTarget : nullptr;
}

void FileData::setAliasTarget(FileData *target)
{
    if (target == aliasTarget() || target == this)
        return;
    if (FileData *old = aliasTarget()) {
        old->extra().aliasSources.removeOne(this);
        if (old->m_extra->aliasSources.isEmpty())
            old->removeFlag(FileFlags::HasAliases);
    }
    extra().aliasTarget = target;
    setFlag(FileFlags::IsAlias, target != nullptr);
    if (target) {
        target->extra().aliasSources.append(this);
        target->addFlag(FileFlags::HasAliases);
    }
    markDirty();
}

QList<FileData *> FileData::aliasSources() const
{
    return m_extra ? m_extra->aliasSources : QList<FileData *>();
}

// --- Delegate and change reports ------------------------------------------------------------------

FileDataDelegate *FileData::delegate() const
{
    if (!m_hasDelegate)
        return nullptr;
    const auto it = delegates().constFind(this);
    if (it == delegates().constEnd())
        return nullptr;
    if (it->guarded && !it->guard)
        return nullptr; // the view has gone
    return it->delegate;
}

void FileData::setDelegate(FileDataDelegate *delegate)
{
    if (!delegate) {
        if (m_hasDelegate)
            delegates().remove(this);
        m_hasDelegate = false;
        return;
    }
    DelegateEntry entry;
    entry.delegate = delegate;
    if (auto *object = dynamic_cast<QObject *>(delegate)) {
        entry.guard = object;
        entry.guarded = true;
    }
    delegates().insert(this, entry);
    m_hasDelegate = true;
}

void FileData::notifyStatusChanged()
{
    FileDataChangeCenter::instance()->queueStatus(this);
}

void FileData::notifyChildrenChanged()
{
    FileDataChangeCenter::instance()->queueChildren(this);
}

void FileData::notifyParentsOfStatusChanged()
{
    for (FileData *p = m_parent; p; p = p->m_parent)
        p->notifyStatusChanged();
}

void FileData::notifyParentsOfChildrenChanged()
{
    for (FileData *p = m_parent; p; p = p->m_parent)
        p->notifyChildrenChanged();
}

// --- Derived --------------------------------------------------------------------------------------

QString FileData::defaultAlbumName() const
{
    return displayName();
}

QSet<QString> FileData::titlesOfSubfolders() const
{
    QSet<QString> titles;
    for (const FileData *child : children())
        if (child->m_isFolder)
            titles.insert(child->displayName());
    return titles;
}

QList<FileData *> FileData::flattenedListOfChildrenWithOptions(int options) const
{
    QList<FileData *> out;
    const bool files = options & FlattenOptions::Files;
    const bool folders = options & FlattenOptions::Folders;
    const bool recursive = options & FlattenOptions::Recursive;
    // Explicit stack, children visited in path order.
    QList<FileData *> level(children().begin(), children().end());
    std::sort(level.begin(), level.end(), lessByPath);
    QList<FileData *> stack;
    for (auto it = level.rbegin(); it != level.rend(); ++it)
        stack.append(*it);
    while (!stack.isEmpty()) {
        FileData *r = stack.takeLast();
        if ((r->m_isFolder && folders) || (!r->m_isFolder && files))
            out.append(r);
        if (recursive && r->m_isFolder && !r->children().isEmpty()) {
            QList<FileData *> kids(r->children().begin(), r->children().end());
            std::sort(kids.begin(), kids.end(), lessByPath);
            for (auto it = kids.rbegin(); it != kids.rend(); ++it)
                stack.append(*it);
        }
    }
    return out;
}

// --- The per-folder settings file -----------------------------------------------------------------

QString FileData::setDataFilePath() const
{
    if (isVirtualAlbum())
        return fileFullPath() + QStringLiteral("/.lumora/") + kSetDataFileName;
    return fileFullPath() + QLatin1Char('/') + kSetDataFileName;
}

namespace {

// A folder-settings list: entries by account, each a dictionary of choices.
bool isSetDataList(const QVariant &contents)
{
    if (contents.typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap all = contents.toMap();
    return std::all_of(all.cbegin(), all.cend(), [](const QVariant &v) { return v.typeId() == QMetaType::QVariantMap; });
}

// What a save finds at the path of a folder's settings file. Only our own file is ever replaced:
// a list of folder settings, or a regular file that holds no property list at all (a broken
// copy of ours). A link, a FIFO, a device, a file that cannot be read or any other property list
// may be someone else's, and is left as it is.
enum class SetDataOnDisk { Absent, List, Broken, Foreign };

SetDataOnDisk existingSetData(const QString &file, QVariantMap *list, QString *why)
{
    struct stat st;
    if (::lstat(QFile::encodeName(file).constData(), &st) != 0 && errno == ENOENT)
        return SetDataOnDisk::Absent;
    QByteArray bytes;
    if (!PropertyList::readFileBytes(file, &bytes, why, PropertyList::Links::Refuse))
        return SetDataOnDisk::Foreign;
    const QVariant contents = PropertyList::parse(bytes, why);
    if (contents.isNull())
        return SetDataOnDisk::Broken;
    if (!isSetDataList(contents)) {
        *why = QStringLiteral("not a list of folder settings");
        return SetDataOnDisk::Foreign;
    }
    *list = contents.toMap();
    return SetDataOnDisk::List;
}

// A choice that the folder's file could not take holds on this computer over the file (the
// scanner would otherwise read the stale file back) until a later save puts it there. Said once:
// the scanner tries again at every listing of the folder.
bool holdUnsavedChoice(FileData *folder, const QString &why)
{
    if (!folder->hasFlag(FileFlags::SetDataUnsaved))
        LGLogError(QStringLiteral("SCANNER: %1; the choice is kept on this computer").arg(why));
    folder->addFlag(FileFlags::SetDataUnsaved);
    return false;
}

} // namespace

bool FileData::hasDefaultSetData() const
{
    return !m_excludedFromScan && albumName().isEmpty() && (albumMode() == 2 || albumMode() == -2)
        && !m_albumIncludesSubfolders && lumoraSetId() == 0;
}

bool FileData::saveSetDataToDisk()
{
    if (!m_isFolder)
        return false;
    const QString account = CatalogueHooks::instance().signedInAccountId();
    if (account.isEmpty()) {
        LGLogInfo(QStringLiteral("SCANNER: Not writing folder settings without a signed-in account: %1").arg(fileFullPath()));
        return false;
    }
    const QString file = setDataFilePath();
    QVariantMap all;
    QString why;
    const SetDataOnDisk existing = existingSetData(file, &all, &why);
    if (existing == SetDataOnDisk::Foreign)
        return holdUnsavedChoice(this, QStringLiteral("Not writing folder settings over %1: %2").arg(file, why));
    if (existing == SetDataOnDisk::Broken)
        LGLogError(QStringLiteral("SCANNER: Replacing unreadable folder settings %1: %2").arg(file, why));
    all.remove(account);
    // Beside another account's entry even the defaults are written: this account's own word.
    if (!hasDefaultSetData() || !all.isEmpty()) {
        QVariantMap entry;
        entry.insert(kKeyExcluded, m_excludedFromScan);
        entry.insert(kKeyAlbumMode, albumMode());
        entry.insert(kKeyIncludesSubfolders, m_albumIncludesSubfolders);
        entry.insert(kKeySetId, lumoraSetId());
        entry.insert(kKeyNamedByUser, hasFlag(FileFlags::AlbumNamedByUser));
        if (!albumName().isEmpty())
            entry.insert(kKeyAlbumName, albumName());
        all.insert(account, entry);
    }
    if (all.isEmpty()) {
        if (existing != SetDataOnDisk::Absent && ::unlink(QFile::encodeName(file).constData()) != 0 && errno != ENOENT)
            return holdUnsavedChoice(this, QStringLiteral("Could not delete folder settings %1: %2").arg(file, qt_error_string(errno)));
    } else {
        if (isVirtualAlbum())
            QDir().mkpath(QFileInfo(file).absolutePath());
        QString error;
        if (!PropertyList::writeFile(file, all, &error, PropertyList::Format::Xml, PropertyList::Links::Refuse))
            return holdUnsavedChoice(this, QStringLiteral("Could not write folder settings %1: %2").arg(file, error));
    }
    if (hasFlag(FileFlags::SetDataUnsaved))
        LGLogInfo(QStringLiteral("SCANNER: Wrote the folder settings kept on this computer to %1").arg(file));
    removeFlag(FileFlags::SetDataUnsaved);
    return true;
}

bool FileData::setDataExcludes(const QVariant &contents)
{
    if (contents.typeId() != QMetaType::QVariantMap)
        return false;
    const QString account = CatalogueHooks::instance().signedInAccountId();
    if (account.isEmpty())
        return false;
    return contents.toMap().value(account).toMap().value(kKeyExcluded).toBool();
}

QVariant FileData::readSetDataFile(const QString &file)
{
    struct stat st;
    if (::lstat(QFile::encodeName(file).constData(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return {};
    QString error;
    const QVariant contents = PropertyList::readFile(file, &error, PropertyList::Links::Refuse);
    if (contents.typeId() != QMetaType::QVariantMap) {
        LGLogError(QStringLiteral("SCANNER: Ignoring unreadable folder settings %1: %2").arg(file, error));
        return QVariant(false);
    }
    return contents;
}

bool FileData::loadSetDataFromDisk()
{
    return m_isFolder && applySetData(readSetDataFile(setDataFilePath()));
}

bool FileData::applySetData(const QVariant &contents)
{
    if (!m_isFolder)
        return false;
    const QString account = CatalogueHooks::instance().signedInAccountId();
    // A file that is there but cannot be read may hold an exclusion: the defaults would send
    // what the user left out. The record keeps what it knows.
    if (account.isEmpty() || (contents.isValid() && contents.typeId() != QMetaType::QVariantMap))
        return false;
    const QVariant entryValue = contents.toMap().value(account);
    const bool own = entryValue.typeId() == QMetaType::QVariantMap;
    const QVariantMap entry = entryValue.toMap(); // none: the defaults
    // Read from the folder's own file, which keeps it whatever happens to the catalogue: no
    // need to write it through (one wait for the disk per excluded folder).
    changeExcludedFromScan(entry.value(kKeyExcluded).toBool());
    setAlbumName(entry.value(kKeyAlbumName).toString());
    // An album per library album names after the folder too, and is the library's, not a choice.
    setAlbumMode(own ? entry.value(kKeyAlbumMode).toInt() : albumMode() == -2 ? -2 : 2);
    setAlbumIncludesSubfolders(entry.value(kKeyIncludesSubfolders).toBool());
    setLumoraSetId(entry.value(kKeySetId).toLongLong());
    setFlag(FileFlags::AlbumNamedByUser, entry.value(kKeyNamedByUser).toBool());
    removeFlag(FileFlags::SetDataUnsaved);
    return own;
}

// --- Metadata -------------------------------------------------------------------------------------

void FileData::setMediaKind(MediaKind kind)
{
    if (quint8(kind) == m_mediaKind)
        return;
    m_mediaKind = quint8(kind);
    markDirty();
}

void FileData::setFileSize(qint64 size)
{
    if (size == m_fileSize)
        return;
    m_fileSize = size;
    markDirty();
}

QDateTime FileData::dateTaken() const
{
    return m_dateTakenMs ? QDateTime::fromMSecsSinceEpoch(m_dateTakenMs, Qt::UTC) : QDateTime();
}

void FileData::setDateTaken(const QDateTime &date)
{
    const qint64 ms = date.isValid() ? date.toMSecsSinceEpoch() : 0;
    if (ms == m_dateTakenMs)
        return;
    m_dateTakenMs = ms;
    markDirty();
}

QDateTime FileData::dateModified() const
{
    return m_dateModifiedMs ? QDateTime::fromMSecsSinceEpoch(m_dateModifiedMs, Qt::UTC) : QDateTime();
}

void FileData::setDateModified(const QDateTime &date)
{
    const qint64 ms = date.isValid() ? date.toMSecsSinceEpoch() : 0;
    if (ms == m_dateModifiedMs)
        return;
    m_dateModifiedMs = ms;
    markDirty();
}

double FileData::duration() const
{
    return m_extra ? m_extra->duration : 0;
}

void FileData::setDuration(double seconds)
{
    if (seconds == duration())
        return;
    extra().duration = seconds;
    markDirty();
}

QString FileData::title() const
{
    return m_extra ? m_extra->title : QString();
}

void FileData::setTitle(const QString &title)
{
    if (title == this->title())
        return;
    extra().title = title;
    markDirty();
}

QString FileData::fileDescription() const
{
    return m_extra ? m_extra->description : QString();
}

void FileData::setFileDescription(const QString &text)
{
    if (text == fileDescription())
        return;
    extra().description = text;
    markDirty();
}

QString FileData::tags() const
{
    return m_extra ? m_extra->tags : QString();
}

void FileData::setTags(const QString &tags)
{
    if (tags == this->tags())
        return;
    extra().tags = tags;
    markDirty();
}

qint32 FileData::rating() const
{
    return m_extra ? m_extra->rating : 0;
}

void FileData::setRating(qint32 rating)
{
    if (rating == this->rating())
        return;
    extra().rating = rating;
    markDirty();
}

void FileData::setSample(const ContentSample &sample)
{
    if (sample == this->sample())
        return;
    m_sample1 = sample.sample1;
    m_sample2 = sample.sample2;
    markDirty();
}

void FileData::setJpegSample(const ContentSample &sample)
{
    if (sample == jpegSample())
        return;
    m_jpegSample1 = sample.sample1;
    m_jpegSample2 = sample.sample2;
    markDirty();
}

// --- FileDataChangeCenter -------------------------------------------------------------------------

FileDataChangeCenter *FileDataChangeCenter::instance()
{
    // Change reports are delivered on the main thread, where the views live, whichever thread
    // first touched a record.
    static FileDataChangeCenter *center = [] {
        auto *c = new FileDataChangeCenter;
        if (QCoreApplication *app = QCoreApplication::instance())
            c->moveToThread(app->thread());
        return c;
    }();
    return center;
}

void FileDataChangeCenter::queueStatus(FileData *record)
{
    if (m_statusSet.contains(record))
        return;
    m_statusSet.insert(record);
    m_status.append(record);
    schedule();
}

void FileDataChangeCenter::queueChildren(FileData *record)
{
    if (m_childrenSet.contains(record))
        return;
    m_childrenSet.insert(record);
    m_children.append(record);
    schedule();
}

void FileDataChangeCenter::forget(FileData *record)
{
    // O(1): the lists keep the pointer, the sets decide what is still delivered.
    m_statusSet.remove(record);
    m_childrenSet.remove(record);
}

void FileDataChangeCenter::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, [this] { flush(); }, Qt::QueuedConnection);
}

void FileDataChangeCenter::flush()
{
    m_scheduled = false;
    if (m_status.isEmpty() && m_children.isEmpty())
        return;
    // Only entries still in the sets are live (forget() drops deleted records from the sets);
    // records deleted by a delegate during delivery are dropped as well.
    QList<FileData *> status, children;
    QSet<FileData *> alive;
    for (FileData *r : std::as_const(m_status))
        if (m_statusSet.remove(r)) {
            status.append(r);
            alive.insert(r);
        }
    for (FileData *r : std::as_const(m_children))
        if (m_childrenSet.remove(r)) {
            children.append(r);
            alive.insert(r);
        }
    m_status.clear();
    m_children.clear();
    m_statusSet.clear();
    m_childrenSet.clear();
    auto conn = connect(this, &FileDataChangeCenter::recordWillBeDeleted, this,
                        [&alive](FileData *r) { alive.remove(r); });
    for (FileData *r : std::as_const(status))
        if (alive.contains(r))
            if (FileDataDelegate *d = r->delegate())
                d->fileDataDidUpdateStatus(r);
    for (FileData *r : std::as_const(children))
        if (alive.contains(r))
            if (FileDataDelegate *d = r->delegate())
                d->fileDataDidUpdateChildren(r);
    disconnect(conn);
    status.removeIf([&](FileData *r) { return !alive.contains(r); });
    children.removeIf([&](FileData *r) { return !alive.contains(r); });
    Q_EMIT recordsChanged(status, children);
}
