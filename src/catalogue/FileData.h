#pragma once
// The catalogue record: one per file, folder, photo-library root or library album.
//
// Records live in memory on the main thread and are owned by the catalogue (DataStore); every
// read and write happens on the main thread (background work hands each step over with
// dispatch_main_sync). Setters mark the record for the next save; writers call
// DataStore::queueSave() (coalesced) or DataStore::save() (at once).
//
// Other code keeps `FileData *` only while on the main thread within one step, or holds the
// record's `fileID()` and finds it again with DataStore::fileDataForId(); the catalogue announces
// every record it is about to delete through FileDataChangeCenter::recordWillBeDeleted.
#include "catalogue/ContentSample.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QtGlobal>
#include <memory>

class FileData;

// The observer of one record (a row of a sources view). Called on the main thread, batched:
// at most once per record and kind for each turn of the event loop.
class FileDataDelegate
{
public:
    virtual ~FileDataDelegate() = default;
    virtual void fileDataDidUpdateStatus(FileData *record) = 0;
    virtual void fileDataDidUpdateChildren(FileData *record) = 0;
};

// Bits of FileData::flags().
namespace FileFlags {
constexpr quint64 IPhotoLibraryRoot = 0x100;
constexpr quint64 LibraryAlbum = 0x200;
constexpr quint64 ApertureOrPhotosLibraryRoot = 0x400;
constexpr quint64 LibraryAlbumOther = 0x800;
constexpr quint64 VirtualFolderMask = 0xF00;
constexpr quint64 VirtualLibraryMask = 0x500;
constexpr quint64 VirtualAlbumMask = 0xA00;
constexpr quint64 ChildrenListed = 0x10000;
constexpr quint64 AlbumCreatedMark = 0x40000000ULL;
constexpr quint64 AlbumRenameMark = 0x80000000ULL;
constexpr quint64 AlbumDeletionMark = 0x100000000ULL;
constexpr quint64 IsAlias = 1ULL << 37;
constexpr quint64 HasAliases = 1ULL << 39;
constexpr quint64 HasExcludedChildren = 1ULL << 40;
constexpr quint64 AlbumNamedByUser = 1ULL << 41;
constexpr quint64 IMessageRoot = 1ULL << 44;
constexpr quint64 ICloudLibraryUnreadable = 1ULL << 45;
// Transient bits that every launch clears.
constexpr quint64 ClearedAtLaunch = 0xF00002ULL;

// Bits of this catalogue's own bookkeeping.
constexpr quint64 FoundInTrackedScan = 1ULL << 48;  // seen by the scanner while tracking was on
constexpr quint64 MissingOnDisk = 1ULL << 49;        // the file or folder has gone; record kept
constexpr quint64 SourceUnavailable = 1ULL << 50;    // a watched folder that cannot be reached
constexpr quint64 Sampled = 1ULL << 51;              // samples taken for the current size and date
constexpr quint64 SetDataUnsaved = 1ULL << 52;       // the folder's choices could not be put in its settings file
// The photo uploadedRemoteId() was made by a send of this very file (not found on the service,
// nor taken from a copy): when the file changes soon after, its next send replaces that photo,
// so that a file cut off by a writer that had not finished never stays in the account beside
// the whole one. Dropped whenever the photo id changes, and by a change that comes much later
// (an edit, kept as a photo of its own).
constexpr quint64 PhotoSentFromHere = 1ULL << 53;
} // namespace FileFlags

// FileData::needsUpload() codes.
namespace NeedsUpload {
constexpr qint16 Uploaded = 0;
constexpr qint16 Waiting = 1;
constexpr qint16 Deferred = 2;
constexpr qint16 NotSelected = 10;
constexpr qint16 AwaitingTicket = 44;
// Not uploaded, and why.
constexpr qint16 AlreadyOnService = -1;
constexpr qint16 ImageUnreadable = -2;
constexpr qint16 UnsupportedFormat = -3;
constexpr qint16 NoDate = -4;
constexpr qint16 TooLarge = -5;
constexpr qint16 FailedThreeTimes = -6;
constexpr qint16 DuplicateOnServer = -7;
constexpr qint16 Missing = -8;
constexpr qint16 Deselected = -9;
constexpr qint16 TooSmall = -10; // below the sampled size: it could never be recognised again
} // namespace NeedsUpload

// FileData::needsScan() values.
namespace NeedsScan {
constexpr qint16 Done = 0;
constexpr qint16 Pending = 1;
constexpr qint16 InProgress = 2;
} // namespace NeedsScan

// FileData::status() values.
namespace FileStatus {
constexpr qint32 NotComputed = 0;
constexpr qint32 Waiting = 1;
constexpr qint32 Uploading = 2;
constexpr qint32 Done = 4;
constexpr qint32 NotUploaded = 8;
} // namespace FileStatus

// Options of flattenedListOfChildrenWithOptions().
namespace FlattenOptions {
constexpr int Files = 1;
constexpr int Folders = 2;
constexpr int Recursive = 4;
} // namespace FlattenOptions

enum class MediaKind : quint8 { Unknown = 0, Photo = 1, Video = 2 };

class FileData
{
public:
    // Records are made by the catalogue only (DataStore::createFileData /
    // FileManager::fileDataForPath).
    ~FileData();
    FileData(const FileData &) = delete;
    FileData &operator=(const FileData &) = delete;

    // Identity and names.
    qint64 fileID() const { return m_id; }
    QString fileFullPath() const { return QString::fromUtf8(m_path); }
    QString stringValue() const { return fileFullPath(); }
    // The path as kept: UTF-8, which halves what a million paths cost next to UTF-16. Byte order
    // is code-point order, so sorting by it keeps parents before their children.
    const QByteArray &pathUtf8() const { return m_path; }
    QString fileName() const;
    // The title when one is set, else the file name.
    QString displayName() const;

    // Flags.
    quint64 flags() const { return m_flags; }
    void setFlags(quint64 flags);
    bool hasFlag(quint64 mask) const { return (m_flags & mask) == mask; }
    void addFlag(quint64 mask);
    void removeFlag(quint64 mask);
    void setFlag(quint64 mask, bool set);

    bool isFolder() const { return m_isFolder; }
    void setIsFolder(bool folder);

    // The tree.
    FileData *parent() const { return m_parent; }
    const QList<FileData *> &children() const;
    // Moves the record below another parent (nullptr: a root); keeps both children lists right.
    void setParent(FileData *parent);

    // Scan and upload state.
    qint16 needsScan() const { return m_needsScan; }
    void setNeedsScan(qint16 value);
    qint16 needsUpload() const { return m_needsUpload; }
    void setNeedsUpload(qint16 value);
    qint32 needsSync() const;
    void setNeedsSync(qint32 value);
    qint64 uploadedRemoteId() const { return m_uploadedRemoteId; }
    void setUploadedRemoteId(qint64 id);
    const QString &uploadTicket() const;
    void setUploadTicket(const QString &ticket);

    // Album settings of a folder.
    qint64 lumoraSetId() const;
    void setLumoraSetId(qint64 id);
    const QString &albumName() const;
    void setAlbumName(const QString &name);
    qint32 albumMode() const;
    void setAlbumMode(qint32 mode);
    bool albumIncludesSubfolders() const { return m_albumIncludesSubfolders; }
    void setAlbumIncludesSubfolders(bool on);
    bool excludedFromScan() const { return m_excludedFromScan; }
    void setExcludedFromScan(bool excluded);

    // Counts.
    qint32 numberOfPhotos() const;
    qint32 numberOfVideos() const;
    void setNumberOfPhotos(qint32 n);
    void setNumberOfVideos(qint32 n);
    qint32 numberOfFoldersRecursive() const;
    qint32 numberOfPhotosRecursive() const;
    qint32 numberOfVideosRecursive() const;
    void loadRecursiveCounts();

    // Status: computed, kept in cachedStatus, returned.
    qint32 cachedStatus() const { return m_cachedStatus; }
    qint32 status();
    void resetCachedStatusRecursive(bool wholeSubtree);
    // Something its status is made from changed (its upload began or ended): its own and its
    // folders' statuses are computed again, and reported.
    void statusInputsChanged();

    // Aliases.
    FileData *aliasTarget() const;
    void setAliasTarget(FileData *target);
    QList<FileData *> aliasSources() const;

    // Observer (not stored). A delegate that is also a QObject is forgotten when it is destroyed.
    FileDataDelegate *delegate() const;
    void setDelegate(FileDataDelegate *delegate);

    // Derived.
    bool isVirtualFolder() const { return (m_flags & FileFlags::VirtualFolderMask) != 0; }
    bool isVirtualLibrary() const { return (m_flags & FileFlags::VirtualLibraryMask) != 0; }
    bool isVirtualAlbum() const { return (m_flags & FileFlags::VirtualAlbumMask) != 0; }
    bool isAlias() const { return (m_flags & FileFlags::IsAlias) != 0; }
    bool hasAliases() const { return (m_flags & FileFlags::HasAliases) != 0; }
    bool isAlbum() const { return true; }
    bool isMissingOnDisk() const { return (m_flags & FileFlags::MissingOnDisk) != 0; }
    QString defaultAlbumName() const;
    QSet<QString> titlesOfSubfolders() const;

    // Change reports (batched, delivered on a later turn of the main event loop).
    void notifyStatusChanged();
    void notifyChildrenChanged();
    void notifyParentsOfStatusChanged();
    void notifyParentsOfChildrenChanged();

    // Descendants in path order (depth first), filtered by FlattenOptions bits.
    QList<FileData *> flattenedListOfChildrenWithOptions(int options) const;

    // The per-folder settings file ".lumoraExclusion" (album settings and exclusion, per
    // signed-in account id). A record with the defaults deletes the account's entry, and the
    // file when no entry is left; while another account has an entry, the defaults are written
    // as this account's own. Returns false (and logs) when the file cannot be written or no
    // account is signed in; a choice the file could not take is marked SetDataUnsaved and holds
    // over the file until a later save puts it there (logged once).
    bool saveSetDataToDisk();
    // Reads the signed-in account's entry back into the record; false when there is none or the
    // file is unreadable or corrupt (logged). Reads the disk: the scanner reads the file on its
    // own threads and hands it to applySetData().
    bool loadSetDataFromDisk();
    // The contents of a folder settings file (any thread): null when there is none; `false` when
    // it cannot be read, is not a regular file or not a property list (logged). A link is never
    // followed.
    static QVariant readSetDataFile(const QString &file);
    // Takes the signed-in account's entry of such contents into the record, or the defaults
    // (included, the album named after the folder) when the account has none: another
    // account's choices are never this one's. False when the account has no entry; contents
    // that could not be read change nothing.
    bool applySetData(const QVariant &contents);
    // Whether the contents of a per-folder settings file exclude the folder for the signed-in
    // account (main thread; the file itself may be read on any thread).
    static bool setDataExcludes(const QVariant &contents);
    QString setDataFilePath() const;

    void changeToAlbumMode(qint32 mode, int deleteAlbums);

    // Metadata that the scan and upload roads need.
    MediaKind mediaKind() const { return MediaKind(m_mediaKind); }
    void setMediaKind(MediaKind kind);
    bool isPhoto() const { return m_mediaKind == quint8(MediaKind::Photo); }
    bool isVideo() const { return m_mediaKind == quint8(MediaKind::Video); }
    qint64 fileSize() const { return m_fileSize; }
    void setFileSize(qint64 size);
    QDateTime dateTaken() const;
    void setDateTaken(const QDateTime &date);
    QDateTime dateModified() const;
    void setDateModified(const QDateTime &date);
    qint64 dateTakenMs() const { return m_dateTakenMs; }
    qint64 dateModifiedMs() const { return m_dateModifiedMs; }
    double duration() const;
    void setDuration(double seconds);
    QString title() const;
    void setTitle(const QString &title);
    QString fileDescription() const;
    void setFileDescription(const QString &text);
    QString tags() const;
    void setTags(const QString &tags);
    qint32 rating() const;
    void setRating(qint32 rating);

    // Samples of the whole file and of its JPEG image data (null when none).
    ContentSample sample() const { return {m_sample1, m_sample2}; }
    void setSample(const ContentSample &sample);
    ContentSample jpegSample() const { return {m_jpegSample1, m_jpegSample2}; }
    void setJpegSample(const ContentSample &sample);

    // Save bookkeeping (DataStore).
    bool isDirty() const { return m_dirty; }

private:
    friend class DataStore;
    friend class FileDataChangeCenter;
    struct Extra;

    FileData(qint64 id, QByteArray path, bool isFolder);
    void markDirty();
    // The exclusion itself, without the immediate save; true when it changed.
    bool changeExcludedFromScan(bool excluded);
    // No choice of the folder's own: what an account without an entry in its file reads.
    bool hasDefaultSetData() const;
    Extra &extra();

    QByteArray m_path; // UTF-8, allocated to fit
    std::unique_ptr<Extra> m_extra; // folder, album and in-flight fields; most files have none
    FileData *m_parent = nullptr;
    qint64 m_id = 0;
    quint64 m_flags = 0;
    qint64 m_uploadedRemoteId = 0;
    qint64 m_fileSize = 0;
    qint64 m_dateTakenMs = 0;     // 0: none
    qint64 m_dateModifiedMs = 0;  // 0: none
    qint64 m_sample1 = 0, m_sample2 = 0;
    qint64 m_jpegSample1 = 0, m_jpegSample2 = 0;
    qint16 m_needsScan = 0;
    qint16 m_needsUpload = 0;
    qint8 m_cachedStatus = 0; // a FileStatus value
    quint8 m_mediaKind = 0;
    bool m_isFolder : 1 = false;
    bool m_albumIncludesSubfolders : 1 = false;
    bool m_excludedFromScan : 1 = false;
    bool m_dirty : 1 = false;
    bool m_hasDelegate : 1 = false;

public:
    // Records come from a pool of same-sized blocks: a million of them cost no allocator
    // header or rounding each.
    static void *operator new(std::size_t size);
    static void operator delete(void *p, std::size_t size);
};

// Fields few records use, kept apart to keep the common record small.
struct FileData::Extra
{
    QList<FileData *> children;
    QString albumName;
    QString uploadTicket;
    QString title;
    QString description;
    QString tags;
    double duration = 0;
    qint64 lumoraSetId = 0;
    FileData *aliasTarget = nullptr;
    QList<FileData *> aliasSources;
    qint32 rating = 0;
    qint32 needsSync = 0;
    qint32 albumMode = 0;
    qint32 numberOfPhotos = 0;
    qint32 numberOfVideos = 0;
    qint32 numberOfFoldersRecursive = 0;
    qint32 numberOfPhotosRecursive = 0;
    qint32 numberOfVideosRecursive = 0;

    // Nothing but a ticket is held: a field added above must be added here too.
    bool holdsNothingButTicket() const
    {
        return children.isEmpty() && albumName.isNull() && title.isNull() && description.isNull() && tags.isNull()
            && duration == 0 && lumoraSetId == 0 && !aliasTarget && aliasSources.isEmpty() && rating == 0
            && needsSync == 0 && albumMode == 0 && numberOfPhotos == 0 && numberOfVideos == 0
            && numberOfFoldersRecursive == 0 && numberOfPhotosRecursive == 0 && numberOfVideosRecursive == 0;
    }
};

namespace FileDataDetail {
const QString &nullString();
const QList<FileData *> &emptyList();
} // namespace FileDataDetail

inline const QList<FileData *> &FileData::children() const { return m_extra ? m_extra->children : FileDataDetail::emptyList(); }
inline const QString &FileData::albumName() const { return m_extra ? m_extra->albumName : FileDataDetail::nullString(); }
inline const QString &FileData::uploadTicket() const { return m_extra ? m_extra->uploadTicket : FileDataDetail::nullString(); }
inline qint64 FileData::lumoraSetId() const { return m_extra ? m_extra->lumoraSetId : 0; }
inline qint32 FileData::needsSync() const { return m_extra ? m_extra->needsSync : 0; }
inline qint32 FileData::albumMode() const { return m_extra ? m_extra->albumMode : 0; }
inline qint32 FileData::numberOfPhotos() const { return m_extra ? m_extra->numberOfPhotos : 0; }
inline qint32 FileData::numberOfVideos() const { return m_extra ? m_extra->numberOfVideos : 0; }
inline qint32 FileData::numberOfFoldersRecursive() const { return m_extra ? m_extra->numberOfFoldersRecursive : 0; }
inline qint32 FileData::numberOfPhotosRecursive() const { return m_extra ? m_extra->numberOfPhotosRecursive : 0; }
inline qint32 FileData::numberOfVideosRecursive() const { return m_extra ? m_extra->numberOfVideosRecursive : 0; }

// Where the catalogue's batched change reports go. Besides each record's own delegate, any
// number of views may listen here: once per turn of the event loop it emits the records whose
// status or children changed since the last report (each record at most once per list).
class FileDataChangeCenter : public QObject
{
    Q_OBJECT
public:
    static FileDataChangeCenter *instance();

    // Delivers what is pending now (tests, and callers that must see the views refreshed).
    void flush();

Q_SIGNALS:
    void recordsChanged(const QList<FileData *> &statusChanged, const QList<FileData *> &childrenChanged);
    // Emitted synchronously just before a record is deleted: drop every pointer to it.
    void recordWillBeDeleted(FileData *record);

private:
    friend class FileData;
    friend class DataStore;
    FileDataChangeCenter() = default;
    void queueStatus(FileData *record);
    void queueChildren(FileData *record);
    void forget(FileData *record);
    void schedule();

    QList<FileData *> m_status, m_children;
    QSet<FileData *> m_statusSet, m_childrenSet;
    bool m_scheduled = false;
};
