#pragma once
// The local catalogue store: "LumoraDesktop.storedata" (SQLite, WAL, synchronous NORMAL) in the
// "Database" folder under the Lumora data folder, with the records in memory on the main thread.
//
// Entities: FileData (the records, loaded whole at open), SettingsData (name/value rows) and
// DedupData (the de-duplication index, kept on disk and queried by sample).
//
// A file that is not a database (or a damaged one) is renamed aside, never deleted, and a fresh
// store is started in its place (recovery()); the service mirror then relearns from the
// account's checksums what is already uploaded before the scan marks anything for upload.
// A store that cannot be opened even so, or one written by a newer version, is reported
// (isOpen() false, openError()) and left on disk as it is.
#include "catalogue/FileData.h"
#include "catalogue/RecordIndex.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct sqlite3;

// A failure as a value.
struct StoreError
{
    int code = 0;       // 0: no error
    QString message;
    bool isError() const { return code != 0; }
};

// A name/value row of the store. Setters mark the row for the next save.
class SettingsData
{
public:
    const QString &name() const { return m_name; }
    QString stringValue() const { return m_stringValue; }
    qint64 longLongValue() const { return m_longLongValue; }
    double doubleValue() const { return m_doubleValue; }
    bool booleanValue() const { return m_booleanValue; }
    QDateTime date() const { return m_date; }
    void setStringValue(const QString &v);
    void setLongLongValue(qint64 v);
    void setDoubleValue(double v);
    void setBooleanValue(bool v);
    void setDate(const QDateTime &v);

private:
    friend class DataStore;
    void markDirty();
    QString m_name;
    QString m_stringValue;
    qint64 m_longLongValue = 0;
    double m_doubleValue = 0;
    bool m_booleanValue = false;
    QDateTime m_date;
    bool m_dirty = false;
};

// A row of the de-duplication index.
struct DedupData
{
    qint64 pid = 0;        // the service's photo id
    qint64 sample1 = 0;    // low half of the sample
    qint64 sample2 = 0;    // high half
    bool isJpegData = false;
    bool uploadedFromThisDevice = false;

    ContentSample sample() const { return {sample1, sample2}; }
    bool operator==(const DedupData &o) const
    {
        return pid == o.pid && sample1 == o.sample1 && sample2 == o.sample2 && isJpegData == o.isJpegData
            && uploadedFromThisDevice == o.uploadedFromThisDevice;
    }
};

// What the store found wrong when it opened, and mended; the application reports it once.
struct StoreRecovery
{
    enum Kind {
        None,
        SetAsideBroken,     // unreadable file renamed to setAsidePath, a fresh store started
        RecreatedEmptyFile, // the file had 0 bytes: a fresh store, all records are gone
        LostJournal,        // the last run ended without closing and its journal is missing
    };
    Kind kind = None;
    QString message;
    QString setAsidePath;
};

class DataStore : public QObject
{
    Q_OBJECT
public:
    // Current schema version; older stores are migrated forward by additive steps.
    static constexpr int kSchemaVersion = 1;
    // Queued saves are written after this long, or at once after this many.
    static constexpr int kQueuedSaveDelayMs = 5000;
    static constexpr int kQueuedSaveLimit = 200;
    // Commits reach the main file at most this long after the first one not yet copied there,
    // and the journal is cut back to this size once it has been copied.
    static constexpr int kCheckpointDelayMs = 2000;
    static constexpr int kJournalSizeLimit = 1024 * 1024;
    // ... and sooner once the journal holds this many pages.
    static constexpr int kCheckpointPages = 10000;
    // Records copied for a save per turn of the main thread, at most so many and for about so
    // long, so that a save of a whole library (a first scan, a refresh) never holds the window.
    static constexpr qsizetype kSnapshotSlice = 4096;
    static constexpr qint64 kSnapshotSliceMs = 3;
    // A save or a load of at least this many rows gives the memory it used for the work back
    // to the system.
    static constexpr size_t kTrimAfterRows = 50000;
    // While saves fail (full disk, read-only or failing disk), they are tried again this often.
    static constexpr int kSaveRetryMs = 5000;
    // Record ids run from 1 to this; a row loaded with another id is given a fresh one.
    static constexpr qint64 kMaxRecordId = qint64(1) << 53;

    // The store, opened on first use. Check isOpen() before relying on it.
    static DataStore *instance();
    // The store when it has been opened in this process, without opening it; else nullptr.
    static DataStore *instanceIfCreated();
    // The store's file: StandardPaths::lumoraSubfolder("Database") + "/LumoraDesktop.storedata".
    static QString storePath();
    // Writes pending changes and closes the store; the next instance() opens it again.
    static void shutdown();
    // What a quitting process does (the application quits without closing the store): saves,
    // copies everything into the main file and empties the journal. Done on its own when the
    // application's event loop ends.
    static bool saveForQuit();
    // Runs `work` on the calling thread with the store if it is open (false otherwise); the
    // store is not closed meanwhile. For the thread-safe de-duplication calls off the main thread.
    static bool withOpenStore(const std::function<bool(DataStore *)> &work);
    // Removes the store's files (database, WAL, shared memory). Only with the store closed.
    static bool deleteStoreFiles();

    bool isOpen() const { return m_db != nullptr; }
    StoreError openError() const { return m_openError; }
    StoreRecovery recovery() const { return m_recovery; }
    StoreError lastSaveError() const;
    // True from a failed save until one succeeds: what is done meanwhile (uploads completed)
    // would be lost by a crash, so the uploader holds while this is true. Any thread.
    bool savesFailing() const { return lastSaveError().isError(); }

    // Saves at once and waits until the rows are on disk (a queued save is dropped); false with
    // lastSaveError() on failure (the changes stay pending for the next save).
    static bool save();
    // A save begun with startSave(): which store, and which of its writer's requests.
    struct SaveTicket
    {
        quint64 store = 0;
        quint64 request = 0;
    };
    // The first half of a save, for a caller off the main thread that must not hold the main
    // thread while the disk works: the changes are taken (main thread; a large save over the
    // next turns, a slice per turn) and handed to the writer; waitForSave() (any other thread)
    // then waits until they are committed.
    // Committed rows outlive the process however it ends (the journal is in the system's
    // hands); unlike save(), the commit is not synced, so a power cut may still take them.
    static SaveTicket startSave();
    // True once the save of `ticket` is committed; false when it failed or the store it was
    // begun on has been closed meanwhile (nothing is known to be on disk then).
    static bool waitForSave(const SaveTicket &ticket);
    // Asks for a save: after kQueuedSaveDelayMs, or at once when kQueuedSaveLimit are queued.
    // The rows are written by the store's writer thread; the caller does not wait for the disk.
    static void queueSave();
    bool hasPendingChanges() const;

    // SettingsData rows, found or created.
    SettingsData *settingNamed(const QString &name);

    // Records (main thread).
    FileData *fileDataForId(qint64 id) const { return m_byId.value(id); }
    // Exact canonical path: Linux paths are case-sensitive, so this is the path itself.
    FileData *fileDataForPathKey(const QString &path) const { return m_byPath.value(path.toUtf8()); }
    FileData *fileDataForPathKey(QByteArrayView utf8Path) const { return m_byPath.value(utf8Path); }
    // Creates a record; its parent is the record of the containing folder when one exists, and
    // existing records of direct children found in the index are attached below it. Null for a
    // path that is not absolute.
    FileData *createFileData(const QString &path, bool isFolder, quint64 flags = 0);
    // Deletes a record and its subtree (each announced through FileDataChangeCenter first).
    void deleteFileData(FileData *record);
    const RecordIdIndex &allFileDataById() const { return m_byId; }
    QList<FileData *> allFileData() const { return m_byId.values(); }
    QList<FileData *> fetchFileData(const std::function<bool(const FileData *)> &predicate) const;
    QList<FileData *> rootFileData() const;
    qsizetype fileDataCount() const { return m_byId.size(); }
    // Records whose needsScan is above 0, folders and files apart, each in path order (keyed by
    // the records' own UTF-8 paths, shared rather than copied).
    const QMap<QByteArray, FileData *> &foldersToScan() const { return m_foldersToScan; }
    const QMap<QByteArray, FileData *> &filesToScan() const { return m_filesToScan; }

    // De-duplication index (thread-safe; written to disk at once, each call one transaction).
    bool insertDedupData(const QList<DedupData> &rows);
    QList<DedupData> dedupDataForSample(const ContentSample &sample) const;
    QList<DedupData> dedupDataForPid(qint64 pid) const;
    bool removeDedupDataForPid(qint64 pid);
    bool removeAllDedupData();
    // Replaces the whole index in one transaction: a crash or a failed row leaves the old one.
    bool replaceAllDedupData(const QList<DedupData> &rows);
    qint64 dedupDataCount() const;
    // The service's photos that this catalogue sent: the index's rows marked so, and the photos
    // that records uploaded from here name.
    QSet<qint64> photoIdsSentFromHere() const;

    // Tests: open a store at another path (the singleton is replaced), and drop it.
    static void resetForTesting();
    // Tests: the database may grow by `extraPages` pages at most (a full disk); -1 lifts it.
    void limitGrowthForTesting(int extraPages);

    ~DataStore() override;

Q_SIGNALS:
    // After each successful save.
    void saved();

private:
    DataStore();
    bool openAt(const QString &path);
    bool openOnce(const QString &path);
    void discardLoaded();
    void markSessionOpen(bool open);
    QString setAside(const QString &path);
    bool migrate(int fromVersion);
    bool loadRecords();
    void repaired(FileData *record);
    bool loadSettings();
    bool exec(const char *sql);
    bool execPrepared(struct sqlite3_stmt **statement, const char *sql);
    struct FileRow;
    struct SettingsRow;
    struct SaveBatch;
    bool saveNow(bool wait, quint64 *request = nullptr);
    // Copies every changed record, setting and deletion into `batch`.
    void takeSnapshot(SaveBatch &batch);
    // Copies the next slice of a large save into `batch`; true once the slices are all taken.
    bool takeSlice(SaveBatch &batch);
    void copyRow(SaveBatch &batch, FileData *record);
    void writerLoop();
    void noteSaveHealth();
    bool writeBatches(const std::vector<SaveBatch *> &batches, QString *error);
    void stopWriter();
    void noteDirty(FileData *record);
    void noteDirty(SettingsData *row);
    void needsScanChanged(FileData *record);
    void parentChanged(FileData *record);
    void addToIndex(FileData *record);
    qint64 freshId();
    FileData *makeRecord(qint64 id, QByteArray utf8Path, bool isFolder);

    friend class FileData;
    friend class SettingsData;

    sqlite3 *m_db = nullptr;
    struct sqlite3_stmt *m_insertFile = nullptr; // prepared once, reused by every save
    struct sqlite3_stmt *m_begin = nullptr;
    struct sqlite3_stmt *m_commit = nullptr;
    mutable QMutex m_dbLock;
    sqlite3 *m_readDb = nullptr;
    mutable QMutex m_readLock;
    StoreError m_openError;
    bool m_openFoundDamage = false;
    QString m_loadDamage; // what made the records unusable, when their shape did
    StoreRecovery m_recovery;
    bool m_checkpointRequested = false;
    std::atomic_int m_journalPages{0}; // pages in the journal after the last commit
    QString m_execError;
    // The writer thread and its queue of snapshots (guarded by m_queueLock).
    mutable std::mutex m_queueLock;
    std::condition_variable m_queueCond;
    std::deque<std::unique_ptr<SaveBatch>> m_queue;
    // A large save is copied over several turns of the main thread and queued whole once the
    // last record is in (main thread only).
    std::vector<std::unique_ptr<SaveBatch>> m_partial;
    // The records a sliced save set out to copy, by id (a record deleted meanwhile is skipped),
    // and how far it got. Records changed meanwhile are collected in m_dirtyRecords again.
    std::vector<std::pair<qint64, FileData *>> m_sliceRecords;
    size_t m_sliceNext = 0;
    bool m_sliceScheduled = false; // a continuation (next slice, or a save put off) is due
    static constexpr int kBusyWriterRetryMs = 100;
    bool writerBusy() const;
    std::thread m_writer;
    const quint64 m_serial; // tells stores apart across a close and a reopen
    quint64 m_requests = 0;
    quint64 m_finishedRequest = 0;
    quint64 m_committedRequest = 0; // written and synced, perhaps not yet in the main file
    bool m_writing = false;
    bool m_stopWriter = false;
    StoreError m_lastSaveError;
    RecordIdIndex m_byId;
    RecordPathIndex m_byPath;
    QHash<QString, SettingsData *> m_settings;
    QMap<QByteArray, FileData *> m_foldersToScan;
    QMap<QByteArray, FileData *> m_filesToScan;
    QSet<FileData *> m_roots;
    QSet<FileData *> m_dirtyRecords;
    QSet<SettingsData *> m_dirtySettings;
    QList<qint64> m_deletedIds;
    qint64 m_nextId = 1;
    qint64 m_freeId = 1; // where the search for a free id goes on, once m_nextId is past the range
    int m_queuedSaves = 0;
    QTimer m_saveTimer;
    QTimer m_retryTimer;
    bool m_reportedFailing = false;
};
