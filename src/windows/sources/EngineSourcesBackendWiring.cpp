// The Upload pane's backend on the real engine: the catalogue (FileManager, FileData, DataStore),
// the uploader and the status model. Records are looked up by id on every call; the pane never
// holds a record pointer.
#include "windows/sources/SourcesBackend.h"

#include "app/menubar/MainController.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "catalogue/FileManager.h"
#include "service/DataStoreLumoraData.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraMetaSyncer.h"
#include "sync/LumoraUploader.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QTimer>

namespace {
// A folder renamed, moved or deleted keeps its record (its photos are known again if it comes
// back) but is no longer a row: the row could neither be opened nor removed.
bool shown(const FileData *child)
{
    return !(child->isFolder() && child->isMissingOnDisk());
}

FileData *recordOf(RecordId id)
{
    DataStore *store = id ? DataStore::instance() : nullptr;
    return store ? store->fileDataForId(id) : nullptr;
}

// What the record itself holds, without walking its subtree or asking the scanner.
RecordState summaryOf(RecordId id, const FileData *r)
{
    RecordState s;
    s.id = id;
    s.parent = r->parent() ? r->parent()->fileID() : 0;
    s.path = r->fileFullPath();
    s.fileName = r->fileName();
    s.isFolder = r->isFolder();
    s.isVirtualFolder = r->isVirtualFolder();
    s.excludedFromScan = r->excludedFromScan();
    s.hasAliases = r->hasAliases();
    s.isAlbum = r->isAlbum();
    s.needsScan = r->needsScan();
    s.flags = r->flags();
    s.numberOfPhotos = r->numberOfPhotos();
    s.numberOfVideos = r->numberOfVideos();
    return s;
}

class EngineSourcesBackend : public SourcesBackend
{
public:
    EngineSourcesBackend()
    {
        QObject::connect(FileDataChangeCenter::instance(), &FileDataChangeCenter::recordsChanged, this,
                         [this](const QList<FileData *> &status, const QList<FileData *> &children) {
                             QSet<RecordId> a, b;
                             for (FileData *r : status) {
                                 a.insert(r->fileID());
                                 countsMayHaveChanged(r);
                             }
                             for (FileData *r : children) {
                                 b.insert(r->fileID());
                                 countsMayHaveChanged(r);
                             }
                             if (!a.isEmpty())
                                 Q_EMIT recordsChanged(a);
                             if (!b.isEmpty())
                                 Q_EMIT childrenChanged(b);
                         });
        QObject::connect(FileDataChangeCenter::instance(), &FileDataChangeCenter::recordWillBeDeleted, this,
                         [this](FileData *r) {
                             m_countsAt.remove(r->fileID());
                             m_staleCounts.remove(r->fileID());
                         });
        m_clock.start();
        m_recount.setSingleShot(true);
        QObject::connect(&m_recount, &QTimer::timeout, this, [this] {
            // The folders whose counts were served from the cache are read again now; their
            // rows recount them.
            QSet<RecordId> due;
            for (RecordId id : std::as_const(m_staleCounts)) {
                if (m_countsAt.contains(id))
                    due.insert(id);
            }
            if (!due.isEmpty())
                Q_EMIT recordsChanged(due);
        });
    }

    // A scanner report about a record may change the counts of every folder above it (a photo
    // found, a folder listed). Only folders counted before need telling; the others are counted
    // when first read.
    void countsMayHaveChanged(FileData *r)
    {
        for (FileData *f = r; f; f = f->parent()) {
            if (!m_countsAt.contains(f->fileID()))
                continue;
            if (m_staleCounts.contains(f->fileID()))
                break; // and so is everything above it
            m_staleCounts.insert(f->fileID());
        }
    }

    void loadCounts(RecordId id, FileData *r)
    {
        // Recursive counts walk the subtree: a folder is recounted at most every kRecountMs, and
        // a count served from the cache always has its recount scheduled.
        const qint64 now = m_clock.elapsed();
        auto it = m_countsAt.find(id);
        if (it == m_countsAt.end()) {
            r->loadRecursiveCounts();
            m_countsAt.insert(id, now);
            return;
        }
        if (!m_staleCounts.contains(id))
            return;
        const qint64 age = now - it.value();
        if (age >= kRecountMs) {
            r->loadRecursiveCounts();
            it.value() = now;
            m_staleCounts.remove(id);
            return;
        }
        const int wait = int(kRecountMs - age) + 1;
        if (!m_recount.isActive() || m_recount.remainingTime() > wait)
            m_recount.start(wait);
    }

    QStringList customFolders() override { return FileManager::customFolders(); }
    void addCustomFolder(const QString &path) override { FileManager::addCustomFolder(path); }
    void removeCustomFolder(const QString &path) override { FileManager::removeCustomFolder(path); }
    void setTrackingCurrentScan(bool on) override { FileManager::setTrackingCurrentScan(on); }
    bool isInstalled(Library l) override
    {
        switch (l) {
        case Library::IPhoto: return FileManager::isIPhotoInstalled();
        case Library::Aperture: return FileManager::isApertureInstalled();
        case Library::OSXPhotos: return FileManager::isOSXPhotosInstalled();
        case Library::Dropbox: return FileManager::isDropboxInstalled();
        case Library::IMessage: return FileManager::isIMessageInstalled();
        }
        return false;
    }
    bool importEnabled(Library l) override
    {
        switch (l) {
        case Library::IPhoto: return FileManager::importIPhotoEnabled();
        case Library::Aperture: return FileManager::importApertureEnabled();
        case Library::OSXPhotos: return FileManager::importOSXPhotosEnabled();
        case Library::Dropbox: return FileManager::importDropboxEnabled();
        case Library::IMessage: return FileManager::importIMessageEnabled();
        }
        return false;
    }
    void setImportEnabled(Library l, bool on) override
    {
        switch (l) {
        case Library::IPhoto: FileManager::setImportIPhotoEnabled(on); break;
        case Library::Aperture: FileManager::setImportApertureEnabled(on); break;
        case Library::OSXPhotos: FileManager::setImportOSXPhotosEnabled(on); break;
        case Library::Dropbox: FileManager::setImportDropboxEnabled(on); break;
        case Library::IMessage: FileManager::setImportIMessageEnabled(on); break;
        }
    }
    QString lastLibraryPath(Library l) override
    {
        switch (l) {
        case Library::IPhoto: return FileManager::lastIPhotoPath();
        case Library::Aperture: return FileManager::lastAperturePath();
        case Library::OSXPhotos: return FileManager::lastOSXPhotosPath();
        case Library::Dropbox: return FileManager::lastDropboxPath();
        case Library::IMessage: return QString();
        }
        return QString();
    }
    QString libraryDirectory(Library l) override
    {
        switch (l) {
        case Library::IPhoto: return FileManager::iPhotoDirectoryWithBackup(QString());
        case Library::Aperture: return FileManager::apertureDirectoryWithBackup(QString());
        case Library::OSXPhotos: return FileManager::osxPhotosDirectoryWithBackup(QString());
        case Library::Dropbox: return FileManager::dropboxDirectoryWithBackup(false);
        case Library::IMessage: return FileManager::iMessageDirectory();
        }
        return QString();
    }
    QString standardDirectory(Folder f) override
    {
        switch (f) {
        case Folder::Pictures: return FileManager::picturesDirectory();
        case Folder::Desktop: return FileManager::desktopDirectory();
        case Folder::Documents: return FileManager::documentsDirectory();
        case Folder::Downloads: return FileManager::downloadsDirectory();
        case Folder::Home: return FileManager::homeDirectory();
        case Folder::IMessage: return FileManager::iMessageDirectory();
        }
        return QString();
    }
    bool isApertureLibraryPackage(const QString &path) override { return FileManager::pathIsApertureLibraryPackageSlow(path); }
    bool isIPhotoOrApertureLibraryPackage(const QString &path) override
    {
        return FileManager::pathIsIPhotoOrApertureLibraryPackageSlow(path);
    }
    QString apertureLibraryPathFromPackage(const QString &packagePath) override
    {
        return FileManager::apertureLibraryPathFromAperturePackagePath(packagePath);
    }
    QString packagePathForLibrary(const QString &libraryPath) override
    {
        return FileManager::packagePathForIPhotoOrApertureLibrary(libraryPath);
    }

    RecordId recordForPath(const QString &path) override
    {
        FileData *r = FileManager::fileDataForPath(path, 0, false);
        return r ? r->fileID() : 0;
    }
    RecordId recordForPathCreating(const QString &path) override
    {
        FileData *r = FileManager::fileDataForPath(path);
        return r ? r->fileID() : 0;
    }
    bool recordState(RecordId id, RecordState *out) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return false;
        if (r->isFolder())
            loadCounts(id, r);
        RecordState s = summaryOf(id, r);
        s.displayName = r->displayName();
        s.needsUpload = r->needsUpload();
        s.cachedStatus = r->cachedStatus();
        s.foldersRecursive = r->numberOfFoldersRecursive();
        s.photosRecursive = r->numberOfPhotosRecursive();
        s.scanning = FileManager::isFileOrAnyChildScanning(r);
        if (r->isFolder()) {
            const QString below = s.path + QLatin1Char('/');
            for (const FileManager::SkippedFile &f : FileManager::skippedFiles()) {
                if (f.folder == s.path || f.folder.startsWith(below))
                    ++s.skippedRecursive;
            }
        }
        s.uploadedRemoteId = r->uploadedRemoteId();
        s.albumName = r->albumName();
        s.defaultAlbumName = r->defaultAlbumName();
        s.albumMode = r->albumMode();
        s.albumIncludesSubfolders = r->albumIncludesSubfolders();
        s.lumoraSetId = r->lumoraSetId();
        *out = s;
        return true;
    }
    bool recordSummary(RecordId id, RecordState *out) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return false;
        *out = summaryOf(id, r);
        return true;
    }
    QList<RecordId> children(RecordId id) override
    {
        QList<RecordId> out;
        if (FileData *r = recordOf(id)) {
            out.reserve(r->children().size());
            for (FileData *c : r->children()) {
                if (shown(c))
                    out << c->fileID();
            }
        }
        return out;
    }
    QList<ChildEntry> childEntries(RecordId id) override
    {
        QList<ChildEntry> out;
        if (FileData *r = recordOf(id)) {
            out.reserve(r->children().size());
            for (FileData *c : r->children()) {
                if (shown(c))
                    out.append({c->fileID(), c->fileName(), c->isFolder(), c->isVirtualFolder(), c->hasAliases()});
            }
        }
        return out;
    }
    bool mayHaveChildFolders(RecordId id) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return false;
        for (FileData *c : r->children()) {
            if (shown(c) && (c->isFolder() || !c->children().isEmpty()))
                return true;
        }
        return false;
    }
    QList<SkippedEntry> skippedEntries(RecordId id) override
    {
        QList<SkippedEntry> out;
        const FileData *r = recordOf(id);
        if (!r || !r->isFolder())
            return out;
        const QString path = r->fileFullPath();
        for (const FileManager::SkippedFile &f : FileManager::skippedFiles()) {
            if (f.folder != path)
                continue;
            using Why = SkippedEntry::Why;
            const Why why = f.reason == FileManager::SkipReason::NameNotUtf8    ? Why::BadName
                            : f.reason == FileManager::SkipReason::LinkToFolder ? Why::LinkedFolder
                                                                                : Why::NotRead;
            out.append({f.name, f.isFolder, why});
        }
        return out;
    }
    int computeStatus(RecordId id) override
    {
        FileData *r = recordOf(id);
        return r ? r->status() : 0;
    }
    void setExcludedFromScan(RecordId id, bool excluded) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return;
        // The record updates its folder's flag and writes itself through to the catalogue; the
        // folder's settings file follows before the check box is drawn again, so after a crash
        // both still say what the box showed.
        r->setExcludedFromScan(excluded);
        r->resetCachedStatusRecursive(true);
        r->saveSetDataToDisk();
    }
    void setNeedsScanRecursive(RecordId id) override
    {
        if (FileData *r = recordOf(id))
            FileManager::setFile(r, 1, true);
    }
    void runScanner() override { FileManager::run(); }
    void notifyParentsChanged(RecordId id) override
    {
        if (FileData *r = recordOf(id)) {
            r->notifyParentsOfStatusChanged();
            r->notifyParentsOfChildrenChanged();
        }
    }
    void setAlbumModeIfNone(RecordId id, int mode) override
    {
        FileData *r = recordOf(id);
        if (r && r->albumMode() == 0)
            r->changeToAlbumMode(mode, 2);
    }
    void createAlbum(RecordId id, const QString &name, bool includeSubfolders) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return;
        r->setAlbumName(name);
        r->setAlbumIncludesSubfolders(includeSubfolders);
        if (r->albumMode() == 0)
            r->setAlbumMode(1);
        r->setLumoraSetId(0);
        r->saveSetDataToDisk();
        r->addFlag(FileFlags::AlbumCreatedMark);
        albumChanged(r);
    }
    void renameAlbum(RecordId id, const QString &name) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return;
        r->setAlbumName(name);
        if (r->albumMode() == 0)
            r->setAlbumMode(1);
        r->saveSetDataToDisk();
        r->addFlag(FileFlags::AlbumRenameMark);
        r->setFlag(FileFlags::AlbumNamedByUser, name != r->defaultAlbumName());
        albumChanged(r);
    }
    void stopAddingToAlbum(RecordId id) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return;
        r->setAlbumName(QString());
        r->setAlbumMode(0);
        r->setAlbumIncludesSubfolders(false);
        r->setLumoraSetId(0);
        r->saveSetDataToDisk();
        r->removeFlag(FileFlags::AlbumCreatedMark);
        r->removeFlag(FileFlags::AlbumRenameMark);
        r->removeFlag(FileFlags::AlbumDeletionMark);
        DataStore::save();
    }
    void markAlbumDeleted(RecordId id) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return;
        r->addFlag(FileFlags::AlbumDeletionMark);
        r->setNeedsSync(1);
        LumoraMetaSyncer::run();
    }
    void setAlbumIncludesSubfolders(RecordId id, bool on) override
    {
        FileData *r = recordOf(id);
        if (!r)
            return;
        r->setAlbumIncludesSubfolders(on);
        r->saveSetDataToDisk();
        if (on) {
            r->addFlag(FileFlags::AlbumCreatedMark);
            r->setNeedsSync(1);
            LumoraMetaSyncer::run();
        }
        DataStore::save();
    }
    QList<RecordId> reuploadCandidates(RecordId id) override
    {
        QList<RecordId> out;
        if (FileData *r = recordOf(id)) {
            for (FileData *f : r->flattenedListOfChildrenWithOptions(FlattenOptions::Files | FlattenOptions::Recursive))
                out << f->fileID();
        }
        return out;
    }
    void reuploadPhotos(const QList<RecordId> &ids, const QString &source) override
    {
        QList<FileData *> records;
        for (RecordId id : ids) {
            if (FileData *r = recordOf(id))
                records << r;
        }
        if (!records.isEmpty())
            LumoraUploader::reuploadPhotos(records, source);
    }

    void requestUploadListCleanup() override { LumoraUploader::requestUploadListCleanup(); }
    void cancelCurrentUploadIfNoLongerSelected() override { LumoraUploader::cancelCurrentUploadIfNoLongerSelected(); }
    void runUploader() override { LumoraUploader::run(); }
    RecordId fileUploading() override
    {
        FileData *r = LumoraUploader::fileUploading();
        return r ? r->fileID() : 0;
    }

    QString statusLine1() override { return LumoraDrive::statusLine1(); }
    QString statusLine2() override { return LumoraDrive::statusLine2(); }
    QString statusResumeMessage() override { return LumoraDrive::statusResumeMessage(); }
    double statusPercent() override { return LumoraDrive::statusPercent(); }
    bool statusIsRunning() override { return LumoraDrive::statusIsRunning(); }
    bool statusIsScanning() override { return LumoraDrive::statusIsScanning(); }
    bool statusIsComplete() override { return LumoraDrive::statusIsComplete(); }
    bool paused() override { return LumoraDrive::paused(); }
    bool hasCompletedScanThisSession() override { return DataStoreLumoraData::hasCompletedScanThisSession().isValid(); }
    void refreshManually() override { LumoraDrive::refreshManually(); }
    void pauseFor(qint64 seconds) override
    {
        MainController *c = MainController::instance();
        if (seconds <= 3600)
            c->pauseSync1h();
        else if (seconds <= 8 * 3600)
            c->pauseSync8h();
        else if (seconds <= 24 * 3600)
            c->pauseSync24h();
        else if (seconds <= 7 * 24 * 3600)
            c->pauseSync1wk();
        else
            c->pauseSync100yrs();
    }
    void resume() override { MainController::instance()->resumeSync(); }

private:
    static void albumChanged(FileData *r)
    {
        r->setNeedsSync(1);
        LumoraMetaSyncer::run();
        DataStore::save();
    }

    static constexpr qint64 kRecountMs = 400;
    QElapsedTimer m_clock;
    QHash<RecordId, qint64> m_countsAt;
    QSet<RecordId> m_staleCounts;
    QTimer m_recount;
};
} // namespace

SourcesBackend *SourcesBackend::makeDefault()
{
    return new EngineSourcesBackend;
}
