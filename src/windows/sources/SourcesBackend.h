#pragma once
// Everything the Upload pane reads from and changes in the engine: the sources configuration,
// catalogue records (by id, as snapshots), exclusion, the scanner and uploader, and the status
// model. The pane never keeps a record pointer across turns of the event loop; it keeps ids and
// asks again. The engine-backed implementation is installed at start-up; tests install a fake.
#include "catalogue/FileData.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

using RecordId = qint64; // 0 = no record

// The catalogue's flag bits under the names the pane uses.
namespace RecordFlags {
constexpr quint64 IPhotoRoot = FileFlags::IPhotoLibraryRoot;
constexpr quint64 IPhotoAlbum = FileFlags::LibraryAlbum;
constexpr quint64 PhotosRoot = FileFlags::ApertureOrPhotosLibraryRoot;
constexpr quint64 PhotosAlbum = FileFlags::LibraryAlbumOther;
constexpr quint64 ChildrenListed = FileFlags::ChildrenListed;
constexpr quint64 HasExcludedChildren = FileFlags::HasExcludedChildren;
constexpr quint64 MessagesRoot = FileFlags::IMessageRoot;
constexpr quint64 ICloudLibrary = FileFlags::ICloudLibraryUnreadable;
constexpr quint64 SourceUnavailable = FileFlags::SourceUnavailable;
constexpr quint64 ChoiceNotInFolder = FileFlags::SetDataUnsaved;
constexpr quint64 AnyLibrary = IPhotoRoot | IPhotoAlbum | PhotosRoot | PhotosAlbum;
constexpr quint64 LibraryAlbum = IPhotoAlbum | PhotosAlbum;
constexpr quint64 LibraryRoot = IPhotoRoot | PhotosRoot;
} // namespace RecordFlags

// What a row shows of one catalogue record, read on the main thread.
struct RecordState
{
    RecordId id = 0;
    RecordId parent = 0;
    QString path; // full path
    QString fileName;
    QString displayName;
    bool isFolder = false;
    bool isVirtualFolder = false;
    bool excludedFromScan = false;
    bool hasAliases = false;
    bool isAlbum = false;
    int needsScan = 0;
    int needsUpload = 0;
    int cachedStatus = 0; // 0 = not computed yet; 1 waiting, 2 working, 4 done
    quint64 flags = 0;
    int numberOfPhotos = 0;
    int numberOfVideos = 0;
    int foldersRecursive = 0;
    int photosRecursive = 0;
    bool scanning = false; // a scan of it or a descendant runs
    int skippedRecursive = 0; // entries at or below a folder whose names keep them from a backup
    qint64 uploadedRemoteId = 0;
    QString albumName;
    QString defaultAlbumName;
    int albumMode = 0;
    bool albumIncludesSubfolders = false;
    qint64 lumoraSetId = 0;

    bool hasFlag(quint64 f) const { return (flags & f) != 0; }
};

class SourcesBackend : public QObject
{
    Q_OBJECT
public:
    enum class Library { IPhoto, Aperture, OSXPhotos, Dropbox, IMessage };
    enum class Folder { Pictures, Desktop, Documents, Downloads, Home, IMessage };

    using QObject::QObject;
    ~SourcesBackend() override = default;

    // The backend in use (never null); setInstance(nullptr) returns to the default one.
    static SourcesBackend *instance();
    static void setInstance(SourcesBackend *backend);
    // The backend used when none is installed (the engine's, EngineSourcesBackendWiring.cpp).
    static SourcesBackend *makeDefault();

    // ---- Sources configuration (safe to call from the gathering thread) ----
    virtual QStringList customFolders() = 0;
    virtual void addCustomFolder(const QString &path) = 0;
    virtual void removeCustomFolder(const QString &path) = 0;
    virtual void setTrackingCurrentScan(bool on) = 0;
    virtual bool isInstalled(Library library) = 0;
    virtual bool importEnabled(Library library) = 0;
    virtual void setImportEnabled(Library library, bool enabled) = 0;
    // The stored path of the library in use ("" when none).
    virtual QString lastLibraryPath(Library library) = 0;
    // Where the library is found now ("" when nowhere).
    virtual QString libraryDirectory(Library library) = 0;
    virtual QString standardDirectory(Folder folder) = 0;
    // Photo-library packages added as folders.
    virtual bool isApertureLibraryPackage(const QString &path) { Q_UNUSED(path); return false; }
    virtual bool isIPhotoOrApertureLibraryPackage(const QString &path) { Q_UNUSED(path); return false; }
    virtual QString apertureLibraryPathFromPackage(const QString &packagePath) { return packagePath; }
    virtual QString packagePathForLibrary(const QString &libraryPath) { return libraryPath; }

    // ---- Catalogue (main thread) ----
    virtual RecordId recordForPath(const QString &path) = 0; // never creates
    virtual RecordId recordForPathCreating(const QString &path) = 0;
    virtual bool recordState(RecordId id, RecordState *out) = 0;
    // The same without the costly parts (recursive counts, scan state, display name): enough to
    // list, sort and decide whether a folder opens. Used for every child of an opened folder.
    virtual bool recordSummary(RecordId id, RecordState *out) { return recordState(id, out); }
    virtual QList<RecordId> children(RecordId id) = 0;
    // What listing a folder needs of each child, read in one pass.
    struct ChildEntry
    {
        RecordId id = 0;
        QString fileName;
        bool isFolder = false;
        bool isVirtualFolder = false;
        bool hasAliases = false;
    };
    virtual QList<ChildEntry> childEntries(RecordId id)
    {
        QList<ChildEntry> out;
        for (RecordId c : children(id)) {
            RecordState s;
            if (recordSummary(c, &s))
                out.append({c, s.fileName, s.isFolder, s.isVirtualFolder, s.hasAliases});
        }
        return out;
    }
    // False when no child of the record is a folder or has children of its own: then no folder
    // row can be listed below it. A quick answer, without reading each child.
    virtual bool mayHaveChildFolders(RecordId id) { Q_UNUSED(id); return true; }
    // Entries listed in the folder that cannot be backed up because their names are not valid
    // UTF-8, so no record can reach them, or because they could not be looked at: a display
    // form of the name (lossy), and whether it is a folder. Left out for folders that are excluded or outside the sources.
    struct SkippedEntry
    {
        enum class Why { BadName, NotRead, LinkedFolder };
        QString name;
        bool isFolder = false;
        Why why = Why::BadName;
    };
    virtual QList<SkippedEntry> skippedEntries(RecordId folder) { Q_UNUSED(folder); return {}; }
    // Computes the status when it was not cached yet (may be slow).
    virtual int computeStatus(RecordId id) { Q_UNUSED(id); return 0; }
    // Exclusion: the record, the parent's has-excluded-children mark, the cached statuses
    // below it and the per-folder settings file.
    virtual void setExcludedFromScan(RecordId id, bool excluded) = 0;
    virtual void setNeedsScanRecursive(RecordId id) = 0;
    virtual void runScanner() = 0;
    virtual void notifyParentsChanged(RecordId id) { Q_UNUSED(id); }
    virtual void setAlbumModeIfNone(RecordId id, int mode) { Q_UNUSED(id); Q_UNUSED(mode); }
    // Album settings of a folder (stored beside the folder and marked for the metadata syncer).
    virtual void createAlbum(RecordId id, const QString &name, bool includeSubfolders) { Q_UNUSED(id); Q_UNUSED(name); Q_UNUSED(includeSubfolders); }
    virtual void renameAlbum(RecordId id, const QString &name) { Q_UNUSED(id); Q_UNUSED(name); }
    virtual void stopAddingToAlbum(RecordId id) { Q_UNUSED(id); }
    virtual void markAlbumDeleted(RecordId id) { Q_UNUSED(id); }
    virtual void setAlbumIncludesSubfolders(RecordId id, bool on) { Q_UNUSED(id); Q_UNUSED(on); }
    // Files below the folder that may be uploaded again (flattened).
    virtual QList<RecordId> reuploadCandidates(RecordId id) { Q_UNUSED(id); return {}; }

    // ---- Uploader ----
    virtual void requestUploadListCleanup() = 0;
    virtual void cancelCurrentUploadIfNoLongerSelected() = 0;
    virtual void runUploader() = 0;
    virtual RecordId fileUploading() { return 0; }
    virtual void reuploadPhotos(const QList<RecordId> &ids, const QString &source) { Q_UNUSED(ids); Q_UNUSED(source); }

    // ---- Status model ----
    virtual QString statusLine1() { return QString(); }
    virtual QString statusLine2() { return QString(); }
    virtual QString statusResumeMessage() { return QString(); }
    virtual double statusPercent() { return 0; }
    virtual bool statusIsRunning() { return false; }
    virtual bool statusIsScanning() { return false; }
    virtual bool statusIsComplete() { return false; }
    virtual bool paused() { return false; }
    virtual bool hasCompletedScanThisSession() { return false; }
    virtual void refreshManually() {}
    // Pause commands of the menu-bar controller: seconds, or 0 to resume.
    virtual void pauseFor(qint64 seconds) { Q_UNUSED(seconds); }
    virtual void resume() {}

Q_SIGNALS:
    // Batched: records whose shown state changed, and records whose children changed.
    void recordsChanged(const QSet<RecordId> &ids);
    void childrenChanged(const QSet<RecordId> &ids);
};
