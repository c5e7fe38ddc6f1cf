#pragma once
// An in-memory catalogue and sources configuration for the Upload pane's tests and benchmark:
// records by id with children, watched folders, library switches, and a log of every command
// the pane gives the engine.
#include "windows/sources/SourcesBackend.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

class FakeSourcesBackend : public SourcesBackend
{
public:
    // ---- Building the catalogue ----
    RecordId addRecord(const QString &path, RecordId parent, bool folder, quint64 flags = 0)
    {
        RecordState r;
        r.id = ++m_nextId;
        r.parent = parent;
        r.path = path;
        r.fileName = path.section(QLatin1Char('/'), -1);
        r.isFolder = folder;
        r.flags = flags | (folder ? RecordFlags::ChildrenListed : 0);
        r.cachedStatus = 4;
        r.isAlbum = true; // as the catalogue answers for every record
        m_records.insert(r.id, r);
        m_byPath.insert(path, r.id);
        if (parent)
            m_children[parent].append(r.id);
        return r.id;
    }
    RecordState &record(RecordId id) { return m_records[id]; }
    void emitChanged(const QSet<RecordId> &ids) { Q_EMIT recordsChanged(ids); }

    // ---- Configuration ----
    QStringList customFolders() override { QMutexLocker l(&m_lock); return m_custom; }
    void addCustomFolder(const QString &path) override
    {
        QMutexLocker l(&m_lock);
        log << QStringLiteral("add:") + path;
        if (!m_custom.contains(path))
            m_custom << path;
    }
    void removeCustomFolder(const QString &path) override
    {
        QMutexLocker l(&m_lock);
        log << QStringLiteral("remove:") + path;
        m_custom.removeAll(path);
    }
    void setTrackingCurrentScan(bool on) override { if (on) ++trackingCount; }
    bool isInstalled(Library l) override { QMutexLocker g(&m_lock); return installed.value(int(l)); }
    bool importEnabled(Library l) override { QMutexLocker g(&m_lock); return enabled.value(int(l)); }
    void setImportEnabled(Library l, bool on) override
    {
        QMutexLocker g(&m_lock);
        log << QStringLiteral("import:%1=%2").arg(int(l)).arg(on);
        enabled[int(l)] = on;
    }
    QString lastLibraryPath(Library l) override { QMutexLocker g(&m_lock); return lastPaths.value(int(l)); }
    QString libraryDirectory(Library l) override { QMutexLocker g(&m_lock); return libraryDirs.value(int(l)); }
    QString standardDirectory(Folder f) override { QMutexLocker g(&m_lock); return standard.value(int(f)); }
    bool isApertureLibraryPackage(const QString &path) override { return path.endsWith(QStringLiteral(".aplibrary")); }
    bool isIPhotoOrApertureLibraryPackage(const QString &path) override
    {
        return path.endsWith(QStringLiteral(".photolibrary")) || isApertureLibraryPackage(path);
    }
    QString apertureLibraryPathFromPackage(const QString &p) override { return p + QStringLiteral("/Database/Library.apdb"); }
    QString packagePathForLibrary(const QString &p) override { return p.section(QLatin1Char('/'), 0, -3); }

    // ---- Catalogue ----
    RecordId recordForPath(const QString &path) override { return m_byPath.value(path); }
    RecordId recordForPathCreating(const QString &path) override
    {
        const RecordId id = m_byPath.value(path);
        return id ? id : addRecord(path, 0, true);
    }
    bool recordState(RecordId id, RecordState *out) override
    {
        ++stateReads;
        auto it = m_records.constFind(id);
        if (it == m_records.cend())
            return false;
        *out = it.value();
        return true;
    }
    QList<RecordId> children(RecordId id) override { return m_children.value(id); }
    // A name the scanner could not turn into a record, listed in the folder (counted in the
    // folder and every folder above it).
    void addSkipped(RecordId folder, const QString &name, bool isFolder)
    {
        m_skipped[folder].append({name, isFolder});
        for (RecordId f = folder; f && m_records.contains(f); f = m_records[f].parent)
            ++m_records[f].skippedRecursive;
    }
    QList<SkippedEntry> skippedEntries(RecordId folder) override { return m_skipped.value(folder); }
    int computeStatus(RecordId id) override
    {
        RecordState &r = m_records[id];
        if (r.cachedStatus == 0)
            r.cachedStatus = computedStatus;
        return r.cachedStatus;
    }
    void setExcludedFromScan(RecordId id, bool excluded) override
    {
        log << QStringLiteral("exclude:%1=%2").arg(id).arg(excluded);
        m_records[id].excludedFromScan = excluded;
        m_records[id].flags |= flagsOnChoice;
    }
    void setNeedsScanRecursive(RecordId id) override { log << QStringLiteral("needsScan:%1").arg(id); }
    void runScanner() override { log << QStringLiteral("runScanner"); }
    void setAlbumModeIfNone(RecordId id, int mode) override { log << QStringLiteral("albumMode:%1=%2").arg(id).arg(mode); }
    void createAlbum(RecordId id, const QString &name, bool sub) override
    {
        log << QStringLiteral("createAlbum:%1:%2:%3").arg(id).arg(name).arg(sub);
        m_records[id].albumName = name;
        m_records[id].albumIncludesSubfolders = sub;
        if (m_records[id].albumMode == 0)
            m_records[id].albumMode = 1;
    }
    void renameAlbum(RecordId id, const QString &name) override
    {
        log << QStringLiteral("renameAlbum:%1:%2").arg(id).arg(name);
        m_records[id].albumName = name;
    }
    void stopAddingToAlbum(RecordId id) override
    {
        log << QStringLiteral("stopAlbum:%1").arg(id);
        m_records[id].albumName.clear();
        m_records[id].albumMode = 0;
        m_records[id].lumoraSetId = 0;
    }
    void markAlbumDeleted(RecordId id) override { log << QStringLiteral("deleteAlbum:%1").arg(id); }
    void setAlbumIncludesSubfolders(RecordId id, bool on) override
    {
        log << QStringLiteral("includeSub:%1=%2").arg(id).arg(on);
        m_records[id].albumIncludesSubfolders = on;
    }
    QList<RecordId> reuploadCandidates(RecordId id) override { return m_children.value(id); }
    void reuploadPhotos(const QList<RecordId> &ids, const QString &source) override
    {
        log << QStringLiteral("reupload:%1:%2").arg(ids.size()).arg(source);
    }

    // ---- Uploader ----
    void requestUploadListCleanup() override { log << QStringLiteral("cleanup"); }
    void cancelCurrentUploadIfNoLongerSelected() override { log << QStringLiteral("cancelCurrent"); }
    void runUploader() override { log << QStringLiteral("runUploader"); }
    RecordId fileUploading() override { return uploading; }

    // ---- Status ----
    QString statusLine1() override { return line1; }
    QString statusLine2() override { return line2; }
    QString statusResumeMessage() override { return resumeMessage; }
    double statusPercent() override { return percent; }
    bool statusIsRunning() override { return running; }
    bool statusIsScanning() override { return false; }
    bool statusIsComplete() override { return false; }
    bool paused() override { return isPaused; }
    bool hasCompletedScanThisSession() override { return completedScan; }
    void refreshManually() override { log << QStringLiteral("refreshManually"); }
    void pauseFor(qint64 seconds) override { log << QStringLiteral("pause:%1").arg(seconds); }
    void resume() override { log << QStringLiteral("resume"); }

    QStringList log;
    int trackingCount = 0;
    int computedStatus = 4;
    mutable qint64 stateReads = 0;
    QHash<int, bool> installed, enabled;
    QHash<int, QString> lastPaths, libraryDirs, standard;
    QString line1, line2, resumeMessage;
    quint64 flagsOnChoice = 0; // what a tick or an album leaves on the folder (RecordFlags::ChoiceNotInFolder)
    double percent = 0;
    bool running = false, isPaused = false, completedScan = true;
    RecordId uploading = 0;

private:
    QMutex m_lock;
    QStringList m_custom;
    RecordId m_nextId = 0;
    QHash<RecordId, RecordState> m_records;
    QHash<QString, RecordId> m_byPath;
    QHash<RecordId, QList<RecordId>> m_children;
    QHash<RecordId, QList<SkippedEntry>> m_skipped;
};
