#include "catalogue/DataStore.h"

#include "catalogue/CatalogueHooks.h"

#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QThread>
#include <malloc.h>
#include <atomic>
#include <chrono>
#include <utility>
#include <sqlite3.h>

namespace {

DataStore *g_store = nullptr;
std::atomic<DataStore *> g_openStore{nullptr}; // lock-free path of instance() once it exists
QRecursiveMutex g_instanceLock;
std::atomic<quint64> g_storeSerial{0};

// Additive schema steps: step i brings a store from version i to version i + 1. New versions
// only add tables, columns and indexes, so older data always reads forward.
const char *const kMigrations[] = {
    // 0 -> 1
    "CREATE TABLE IF NOT EXISTS FileData ("
    " id INTEGER PRIMARY KEY, parentId INTEGER NOT NULL DEFAULT 0, path TEXT NOT NULL,"
    " isFolder INTEGER NOT NULL DEFAULT 0, flags INTEGER NOT NULL DEFAULT 0,"
    " needsScan INTEGER NOT NULL DEFAULT 0, needsUpload INTEGER NOT NULL DEFAULT 0,"
    " needsSync INTEGER NOT NULL DEFAULT 0, uploadedRemoteId INTEGER NOT NULL DEFAULT 0,"
    " uploadTicket TEXT, lumoraSetId INTEGER NOT NULL DEFAULT 0, albumName TEXT,"
    " albumMode INTEGER NOT NULL DEFAULT 0, albumIncludesSubfolders INTEGER NOT NULL DEFAULT 0,"
    " excludedFromScan INTEGER NOT NULL DEFAULT 0, numberOfPhotos INTEGER NOT NULL DEFAULT 0,"
    " numberOfVideos INTEGER NOT NULL DEFAULT 0, mediaKind INTEGER NOT NULL DEFAULT 0,"
    " fileSize INTEGER NOT NULL DEFAULT 0, dateTaken INTEGER NOT NULL DEFAULT 0,"
    " dateModified INTEGER NOT NULL DEFAULT 0, sample1 INTEGER NOT NULL DEFAULT 0,"
    " sample2 INTEGER NOT NULL DEFAULT 0, jpegSample1 INTEGER NOT NULL DEFAULT 0,"
    " jpegSample2 INTEGER NOT NULL DEFAULT 0, duration REAL NOT NULL DEFAULT 0, title TEXT,"
    " fileDescription TEXT, tags TEXT, rating INTEGER NOT NULL DEFAULT 0,"
    " aliasTargetId INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS SettingsData ("
    " name TEXT PRIMARY KEY, stringValue TEXT, longLongValue INTEGER NOT NULL DEFAULT 0,"
    " doubleValue REAL NOT NULL DEFAULT 0, booleanValue INTEGER NOT NULL DEFAULT 0, date INTEGER);"
    "CREATE TABLE IF NOT EXISTS DedupData ("
    " id INTEGER PRIMARY KEY, pid INTEGER NOT NULL, sample1 INTEGER NOT NULL, sample2 INTEGER NOT NULL,"
    " isJpegData INTEGER NOT NULL DEFAULT 0, uploadedFromThisDevice INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS DedupDataBySample ON DedupData(sample1, sample2);"
    "CREATE INDEX IF NOT EXISTS DedupDataByPid ON DedupData(pid);",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == DataStore::kSchemaVersion,
              "one migration step per schema version");

// The FileData columns, in the order of the statements below.
const char *const kFileColumns =
    "id, parentId, path, isFolder, flags, needsScan, needsUpload, needsSync, uploadedRemoteId,"
    " uploadTicket, lumoraSetId, albumName, albumMode, albumIncludesSubfolders, excludedFromScan,"
    " numberOfPhotos, numberOfVideos, mediaKind, fileSize, dateTaken, dateModified, sample1, sample2,"
    " jpegSample1, jpegSample2, duration, title, fileDescription, tags, rating, aliasTargetId";
constexpr int kFileColumnCount = 31;

QString columnText(sqlite3_stmt *st, int col)
{
    if (sqlite3_column_type(st, col) == SQLITE_NULL)
        return QString();
    const auto *p = reinterpret_cast<const char16_t *>(sqlite3_column_text16(st, col));
    return QString::fromUtf16(p, sqlite3_column_bytes16(st, col) / 2);
}

// The text exactly as stored (UTF-8), in a buffer that fits it: records keep it for life.
QByteArray columnUtf8(sqlite3_stmt *st, int col)
{
    const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
    return p ? QByteArray(p, sqlite3_column_bytes(st, col)) : QByteArray();
}

void bindUtf8(sqlite3_stmt *st, int col, const QByteArray &s)
{
    sqlite3_bind_text(st, col, s.constData(), int(s.size()), SQLITE_TRANSIENT);
}

void bindText(sqlite3_stmt *st, int col, const QString &s)
{
    if (s.isNull())
        sqlite3_bind_null(st, col);
    else
        sqlite3_bind_text16(st, col, s.utf16(), int(s.size() * 2), SQLITE_TRANSIENT);
}

struct Statement
{
    sqlite3_stmt *st = nullptr;
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &st, nullptr); }
    ~Statement() { sqlite3_finalize(st); }
    explicit operator bool() const { return st != nullptr; }
};

// The SettingsData row that marks a process holding the store open (see markSessionOpen).
constexpr const char *kSessionOpenRow = "DataStoreSessionOpen";

QString dbError(sqlite3 *db)
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("no database");
}

} // namespace

// --- SettingsData ---------------------------------------------------------------------------------

void SettingsData::markDirty()
{
    if (m_dirty)
        return;
    m_dirty = true;
    DataStore::instance()->noteDirty(this);
}

void SettingsData::setStringValue(const QString &v)
{
    if (v == m_stringValue && v.isNull() == m_stringValue.isNull())
        return;
    m_stringValue = v;
    markDirty();
}

void SettingsData::setLongLongValue(qint64 v)
{
    if (v == m_longLongValue)
        return;
    m_longLongValue = v;
    markDirty();
}

void SettingsData::setDoubleValue(double v)
{
    if (v == m_doubleValue)
        return;
    m_doubleValue = v;
    markDirty();
}

void SettingsData::setBooleanValue(bool v)
{
    if (v == m_booleanValue)
        return;
    m_booleanValue = v;
    markDirty();
}

void SettingsData::setDate(const QDateTime &v)
{
    if (v == m_date && v.isValid() == m_date.isValid())
        return;
    m_date = v;
    markDirty();
}

// --- Opening --------------------------------------------------------------------------------------

DataStore::DataStore()
    : m_serial(++g_storeSerial)
{
    // The store may be created on a worker thread and moved to the main thread (start-up reads
    // the catalogue off the main thread): its timers must move with it.
    m_saveTimer.setParent(this);
    m_retryTimer.setParent(this);
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(kQueuedSaveDelayMs);
    // The timer's save goes to the writer like any queued one: the main thread does not wait
    // for the disk (a refresh's or a scan's records take a while to write).
    connect(&m_saveTimer, &QTimer::timeout, this, [this] {
        m_queuedSaves = 0;
        {
            std::lock_guard<std::mutex> lock(m_queueLock);
            m_checkpointRequested = true;
        }
        saveNow(false);
    });
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(kSaveRetryMs);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { saveNow(false); });
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
            if (g_openStore.load(std::memory_order_acquire) == this)
                saveForQuit();
        });
}

DataStore::~DataStore()
{
    stopWriter();
    // Closing merges the journal into the main file: this run ends cleanly.
    markSessionOpen(false);
    auto *center = FileDataChangeCenter::instance();
    for (FileData *r : std::as_const(m_byId))
        center->forget(r);
    qDeleteAll(m_byId);
    qDeleteAll(m_settings);
    sqlite3_finalize(m_insertFile);
    sqlite3_finalize(m_begin);
    sqlite3_finalize(m_commit);
    if (m_readDb)
        sqlite3_close_v2(m_readDb);
    if (m_db)
        sqlite3_close_v2(m_db);
}

QString DataStore::storePath()
{
    const QString folder = StandardPaths::lumoraSubfolder(QStringLiteral("Database"));
    if (folder.isEmpty())
        return QString();
    return folder + QStringLiteral("/LumoraDesktop.storedata");
}

DataStore *DataStore::instance()
{
    if (DataStore *store = g_openStore.load(std::memory_order_acquire))
        return store;
    QMutexLocker lock(&g_instanceLock);
    if (!g_store) {
        g_store = new DataStore;
        if (QCoreApplication::instance() && QThread::currentThread() != QCoreApplication::instance()->thread())
            g_store->moveToThread(QCoreApplication::instance()->thread());
        g_store->openAt(storePath());
        g_openStore.store(g_store, std::memory_order_release);
    }
    return g_store;
}

DataStore *DataStore::instanceIfCreated() { return g_openStore.load(std::memory_order_acquire); }

bool DataStore::withOpenStore(const std::function<bool(DataStore *)> &work)
{
    QMutexLocker lock(&g_instanceLock);
    if (!g_store || !g_store->isOpen())
        return false;
    return work(g_store);
}

void DataStore::shutdown()
{
    QMutexLocker lock(&g_instanceLock);
    if (!g_store)
        return;
    if (g_store->isOpen())
        g_store->saveNow(true);
    g_openStore.store(nullptr, std::memory_order_release);
    delete g_store;
    g_store = nullptr;
}

bool DataStore::saveForQuit()
{
    DataStore *store = instanceIfCreated();
    if (!store || !store->isOpen())
        return true;
    const bool saved = save();
    store->markSessionOpen(false);
    QMutexLocker lock(&store->m_dbLock);
    const int rc = sqlite3_wal_checkpoint_v2(store->m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (rc != SQLITE_OK)
        LGLogError(QStringLiteral("DATASTORE: The journal could not be emptied at quit: %1").arg(dbError(store->m_db)));
    return saved && rc == SQLITE_OK;
}

void DataStore::resetForTesting()
{
    QMutexLocker lock(&g_instanceLock);
    g_openStore.store(nullptr, std::memory_order_release);
    delete g_store;
    g_store = nullptr;
}

bool DataStore::deleteStoreFiles()
{
    if (g_store)
        return false;
    const QString path = storePath();
    if (path.isEmpty())
        return false;
    bool ok = true;
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        const QString file = path + suffix;
        if (QFileInfo::exists(file) && !QFile::remove(file))
            ok = false;
    }
    return ok;
}

bool DataStore::exec(const char *sql)
{
    char *err = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        m_execError = QString::fromUtf8(err ? err : "unknown");
        sqlite3_free(err);
        return false;
    }
    return true;
}

// The same statement run again and again (each save's begin and commit): parsed once.
bool DataStore::execPrepared(sqlite3_stmt **statement, const char *sql)
{
    if (!*statement && sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) != SQLITE_OK) {
        m_execError = dbError(m_db);
        return false;
    }
    const int rc = sqlite3_step(*statement);
    sqlite3_reset(*statement);
    if (rc != SQLITE_DONE) {
        m_execError = dbError(m_db);
        return false;
    }
    return true;
}

bool DataStore::openAt(const QString &path)
{
    const QFileInfo file(path);
    const bool emptyFile = file.exists() && file.size() == 0;
    const bool journalPresent = QFileInfo::exists(path + QStringLiteral("-wal"));
    if (openOnce(path)) {
        if (emptyFile) {
            m_recovery = {StoreRecovery::RecreatedEmptyFile, QStringLiteral("The catalogue file was empty"), {}};
            LGLogError(QStringLiteral("DATASTORE: The catalogue file was empty; a new catalogue was started"));
        }
        // The last run marked its session in the main file and left without closing: its
        // journal should be here. Without it, every change since the last checkpoint is gone.
        SettingsData *session = m_settings.value(QString::fromLatin1(kSessionOpenRow));
        if (!journalPresent && session && session->booleanValue() && m_recovery.kind == StoreRecovery::None) {
            m_recovery = {StoreRecovery::LostJournal,
                          QStringLiteral("The catalogue's journal was missing after an unfinished run"), {}};
            LGLogError(QStringLiteral("DATASTORE: The catalogue's journal is missing; recent changes were lost"));
        }
        markSessionOpen(true);
        return true;
    }
    if (!m_openFoundDamage)
        return false;
    const StoreError damaged = m_openError;
    const QString aside = setAside(path);
    if (aside.isEmpty())
        return false;
    m_openError = {};
    if (!openOnce(path))
        return false;
    m_recovery = {StoreRecovery::SetAsideBroken, damaged.message, aside};
    LGLogError(QStringLiteral("DATASTORE: The catalogue could not be read (%1); kept as %2, a new catalogue was started")
                   .arg(damaged.message, aside));
    markSessionOpen(true);
    return true;
}

QString DataStore::setAside(const QString &path)
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = path + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(path, aside)) {
        LGLogError(QStringLiteral("DATASTORE: Could not set the unreadable catalogue aside"));
        return QString();
    }
    // Its journal belongs to it: a fresh store must not pick it up.
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        if (QFileInfo::exists(path + suffix) && !QFile::rename(path + suffix, aside + suffix))
            QFile::remove(path + suffix);
    return aside;
}

// A marker row kept in the main file (checkpointed at once): set while a process has the store
// open, cleared by a clean close.
void DataStore::markSessionOpen(bool open)
{
    if (!m_db)
        return;
    QMutexLocker lock(&m_dbLock);
    Statement st(m_db, "INSERT OR REPLACE INTO SettingsData (name, booleanValue) VALUES (?, ?)");
    if (!st)
        return;
    sqlite3_bind_text(st.st, 1, kSessionOpenRow, -1, SQLITE_STATIC);
    sqlite3_bind_int(st.st, 2, open ? 1 : 0);
    if (sqlite3_step(st.st) == SQLITE_DONE)
        sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

void DataStore::discardLoaded()
{
    auto *center = FileDataChangeCenter::instance();
    for (FileData *r : std::as_const(m_byId))
        center->forget(r);
    qDeleteAll(m_byId);
    qDeleteAll(m_settings);
    m_byId.clear();
    m_byPath.clear();
    m_settings.clear();
    m_foldersToScan.clear();
    m_filesToScan.clear();
    m_roots.clear();
    m_dirtyRecords.clear();
    m_dirtySettings.clear();
    m_deletedIds.clear();
    m_partial.clear();
    m_sliceRecords = {};
    m_sliceNext = 0;
    m_nextId = 1;
    m_freeId = 1;
}

bool DataStore::openOnce(const QString &path)
{
    m_openFoundDamage = false;
    m_loadDamage.clear();
    auto fail = [this](int code, const QString &message) {
        m_openError = {code, message};
        const int rc = m_db ? (sqlite3_errcode(m_db) & 0xFF) : SQLITE_OK;
        m_openFoundDamage = rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT || !m_loadDamage.isEmpty();
        LGLogError(QStringLiteral("DATASTORE: Could not open the catalogue: %1").arg(message));
        // Nothing half-loaded stays behind on a closed store.
        discardLoaded();
        if (m_db) {
            sqlite3_close_v2(m_db);
            m_db = nullptr;
        }
        return false;
    };
    if (path.isEmpty())
        return fail(1, QStringLiteral("The database folder could not be created"));
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    m_db = db;
    if (rc != SQLITE_OK)
        return fail(2, dbError(db));
    sqlite3_busy_timeout(m_db, 5000);
    // Reading the version is the first access to the file: a file that is not a database
    // fails here.
    int version = -1;
    {
        Statement st(m_db, "PRAGMA user_version");
        if (!st || sqlite3_step(st.st) != SQLITE_ROW)
            return fail(3, dbError(m_db));
        version = sqlite3_column_int(st.st, 0);
    }
    const QByteArray journalLimit = "PRAGMA journal_size_limit=" + QByteArray::number(kJournalSizeLimit);
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL") || !exec("PRAGMA cache_size=-8192")
        || !exec(journalLimit.constData()))
        return fail(3, m_execError);
    // The journal is copied into the main file by the writer, after it has let waiting threads
    // go on (see writerLoop), not inside a commit: there the copy and its syncs would hold an
    // upload's in-flight mark back every thousand pages. The hook only notes the journal's size.
    sqlite3_wal_hook(m_db, [](void *store, sqlite3 *, const char *, int pages) {
        static_cast<DataStore *>(store)->m_journalPages.store(pages, std::memory_order_relaxed);
        return SQLITE_OK;
    }, this);
    if (version > kSchemaVersion)
        return fail(4, QStringLiteral("The catalogue was written by a newer version (%1)").arg(version));
    if (version < kSchemaVersion && !migrate(version))
        return fail(5, QStringLiteral("The catalogue could not be migrated: %1").arg(m_execError));
    if (!loadSettings() || !loadRecords())
        return fail(6, QStringLiteral("The catalogue could not be read: %1")
                           .arg(m_loadDamage.isEmpty() ? dbError(m_db) : m_loadDamage));
    // Loading a large catalogue grows and drops its look-up tables and scratch lists many times
    // over; what they leave free goes back to the system rather than staying for the session.
    if (size_t(m_byId.size()) >= kTrimAfterRows)
        malloc_trim(0);
    // Look-ups of the de-duplication index read through a connection of their own: in WAL mode
    // it sees every committed save without waiting for one being written.
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_readDb, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close_v2(m_readDb);
        m_readDb = nullptr;
    } else {
        sqlite3_busy_timeout(m_readDb, 5000);
    }
    // A file that can be read but not written (a read-only folder or disk) is opened read-only
    // by SQLite: no save can succeed, so saves count as failing from the start, in its words.
    if (sqlite3_db_readonly(m_db, "main") == 1) {
        const QString why = QString::fromUtf8(sqlite3_errstr(SQLITE_READONLY));
        LGLogError(QStringLiteral("DATASTORE: The catalogue can only be read: %1").arg(why));
        {
            std::lock_guard<std::mutex> lock(m_queueLock);
            m_lastSaveError = {2, why};
        }
        QMetaObject::invokeMethod(this, [this] { noteSaveHealth(); }, Qt::QueuedConnection);
    }
    return true;
}

bool DataStore::migrate(int fromVersion)
{
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    for (int v = fromVersion; v < kSchemaVersion; ++v) {
        if (!exec(kMigrations[v])) {
            const QString error = m_execError;
            exec("ROLLBACK");
            m_execError = error;
            return false;
        }
    }
    const QByteArray setVersion = "PRAGMA user_version=" + QByteArray::number(kSchemaVersion);
    if (!exec(setVersion.constData()) || !exec("COMMIT")) {
        const QString error = m_execError;
        exec("ROLLBACK");
        m_execError = error;
        return false;
    }
    if (fromVersion > 0)
        LGLogInfo(QStringLiteral("DATASTORE: Migrated the catalogue from version %1 to %2").arg(fromVersion).arg(kSchemaVersion));
    return true;
}

FileData *DataStore::makeRecord(qint64 id, QByteArray utf8Path, bool isFolder)
{
    return new FileData(id, std::move(utf8Path), isFolder);
}

// Whether the path of `folder` leads to the record's.
static bool holds(const FileData *folder, const FileData *r)
{
    const QByteArray &path = r->pathUtf8();
    return folder && path.size() > folder->pathUtf8().size() && path.startsWith(folder->pathUtf8())
        && path.at(folder->pathUtf8().size()) == '/';
}

// A record mended at load is written back with the next save.
void DataStore::repaired(FileData *record)
{
    if (!record->m_dirty) {
        record->m_dirty = true;
        m_dirtyRecords.insert(record);
    }
}

bool DataStore::loadRecords()
{
    {
        // Rows are saved and deleted by id: in a table whose id is not its key (not one this app
        // made) saves would add rows beside the old ones rather than replace them.
        Statement key(m_db, "SELECT pk FROM pragma_table_info('FileData') WHERE name = 'id'");
        if (key && sqlite3_step(key.st) == SQLITE_ROW && sqlite3_column_int(key.st, 0) != 1) {
            m_loadDamage = QStringLiteral("its records have no key");
            return false;
        }
    }
    const QByteArray sql = QByteArray("SELECT ") + kFileColumns + " FROM FileData";
    Statement st(m_db, sql.constData());
    if (!st)
        return false;
    // Each kept record with the ids its row links to, in the order read.
    struct Links
    {
        FileData *record;
        qint64 parentId, aliasTargetId;
    };
    std::vector<Links> links;
    // Ids that are no longer (or never were) a record's own, and the record a link naming them
    // means: a second row of a path stands for the first, a row given a fresh id for itself.
    QHash<qint64, FileData *> formerIds;
    QList<FileData *> renumbered;
    int rc;
    while ((rc = sqlite3_step(st.st)) == SQLITE_ROW) {
        sqlite3_stmt *s = st.st;
        const qint64 id = sqlite3_column_int64(s, 0);
        auto *r = makeRecord(id, columnUtf8(s, 2), sqlite3_column_int(s, 3) != 0);
        const qint64 parentId = sqlite3_column_int64(s, 1);
        r->m_flags = quint64(sqlite3_column_int64(s, 4));
        r->m_needsScan = qint16(sqlite3_column_int(s, 5));
        r->m_needsUpload = qint16(sqlite3_column_int(s, 6));
        if (const int v = sqlite3_column_int(s, 7))
            r->extra().needsSync = v;
        r->m_uploadedRemoteId = sqlite3_column_int64(s, 8);
        if (const QString v = columnText(s, 9); !v.isNull())
            r->extra().uploadTicket = v;
        if (const qint64 v = sqlite3_column_int64(s, 10))
            r->extra().lumoraSetId = v;
        if (const QString v = columnText(s, 11); !v.isNull())
            r->extra().albumName = v;
        if (const int v = sqlite3_column_int(s, 12))
            r->extra().albumMode = v;
        r->m_albumIncludesSubfolders = sqlite3_column_int(s, 13) != 0;
        r->m_excludedFromScan = sqlite3_column_int(s, 14) != 0;
        if (const int v = sqlite3_column_int(s, 15))
            r->extra().numberOfPhotos = v;
        if (const int v = sqlite3_column_int(s, 16))
            r->extra().numberOfVideos = v;
        r->m_mediaKind = quint8(sqlite3_column_int(s, 17));
        r->m_fileSize = sqlite3_column_int64(s, 18);
        r->m_dateTakenMs = sqlite3_column_int64(s, 19);
        r->m_dateModifiedMs = sqlite3_column_int64(s, 20);
        r->m_sample1 = sqlite3_column_int64(s, 21);
        r->m_sample2 = sqlite3_column_int64(s, 22);
        r->m_jpegSample1 = sqlite3_column_int64(s, 23);
        r->m_jpegSample2 = sqlite3_column_int64(s, 24);
        const double duration = sqlite3_column_double(s, 25);
        const QString title = columnText(s, 26), description = columnText(s, 27), tags = columnText(s, 28);
        const int rating = sqlite3_column_int(s, 29);
        if (duration != 0 || !title.isEmpty() || !description.isEmpty() || !tags.isEmpty() || rating != 0) {
            auto &x = r->extra();
            x.duration = duration;
            x.title = title;
            x.description = description;
            x.tags = tags;
            x.rating = rating;
        }
        if (m_byId.contains(id) || formerIds.contains(id)) {
            // Only a table without its key lets two rows share an id.
            m_loadDamage = QStringLiteral("two records share the id %1").arg(id);
            delete r;
            break;
        }
        const bool idInRange = id > 0 && id <= kMaxRecordId;
        if (idInRange)
            m_nextId = qMax(m_nextId, id + 1);
        if (FileData *first = m_byPath.value(r->m_path)) {
            // Two rows for one path cannot be told apart: keep the first, drop the second.
            LGLogError(QStringLiteral("DATASTORE: Dropping a second record for %1").arg(r->fileFullPath()));
            formerIds.insert(id, first);
            m_deletedIds.append(id);
            delete r;
            continue;
        }
        m_byPath.insert(r);
        if (idInRange) {
            m_byId.insert(r);
        } else {
            formerIds.insert(id, r);
            renumbered.append(r);
        }
        links.push_back({r, parentId, sqlite3_column_int64(s, 30)});
        if (r->m_needsScan > 0)
            (r->m_isFolder ? m_foldersToScan : m_filesToScan).insert(r->m_path, r);
    }
    if (rc != SQLITE_DONE) {
        // Not in the id index yet, so the caller's clean-up would not find them.
        qDeleteAll(renumbered);
        return false;
    }
    // An id this catalogue could not count on from (0 and below mean "none" in links; the
    // largest leave no room to count up) is replaced by a fresh one, the old row deleted.
    for (FileData *r : std::as_const(renumbered)) {
        const qint64 id = freshId();
        LGLogError(QStringLiteral("DATASTORE: Record %1 had the id %2; it now has %3")
                       .arg(r->fileFullPath(), QString::number(r->m_id), QString::number(id)));
        m_deletedIds.append(r->m_id);
        r->m_id = id;
        m_byId.insert(r);
        repaired(r);
    }
    // The record a link names; a link by a former id is written again with the record's own.
    const auto linked = [&](FileData *from, qint64 id) {
        if (FileData *r = formerIds.value(id)) {
            repaired(from);
            return r;
        }
        return m_byId.value(id);
    };
    for (const Links &l : links) {
        if (!l.parentId)
            continue;
        // A parent is a record whose path leads to the record's: a link elsewhere (a record that
        // is gone, the record itself or one below it) could make the tree a loop. The record
        // goes below the folder that holds it, if that has a record, else it is a root.
        FileData *r = l.record;
        FileData *p = linked(r, l.parentId);
        if (!holds(p, r)) {
            const qsizetype slash = r->m_path.lastIndexOf('/');
            p = slash > 0 ? m_byPath.value(QByteArrayView(r->m_path).first(slash)) : nullptr;
            p = holds(p, r) ? p : nullptr;
            LGLogError(QStringLiteral("DATASTORE: Record %1 had a parent that cannot hold it").arg(r->fileFullPath()));
            repaired(r);
        }
        if (p) {
            r->m_parent = p;
            p->extra().children.append(r);
        }
    }
    for (FileData *r : std::as_const(m_byId))
        if (!r->m_parent)
            m_roots.insert(r);
    for (const Links &l : links) {
        if (!l.aliasTargetId)
            continue;
        FileData *r = l.record;
        // An alias stands for a file: its status is the file's. One of a folder would take the
        // folder's, made of its children's, which may be the alias itself.
        FileData *t = linked(r, l.aliasTargetId);
        if (!t || t == r || t->m_isFolder) {
            LGLogError(QStringLiteral("DATASTORE: Record %1 was an alias of a record that is not a file").arg(r->fileFullPath()));
            repaired(r);
            continue;
        }
        r->extra().aliasTarget = t;
        t->extra().aliasSources.append(r);
    }
    return true;
}

bool DataStore::loadSettings()
{
    Statement st(m_db, "SELECT name, stringValue, longLongValue, doubleValue, booleanValue, date FROM SettingsData");
    if (!st)
        return false;
    int rc;
    while ((rc = sqlite3_step(st.st)) == SQLITE_ROW) {
        auto *row = new SettingsData;
        row->m_name = columnText(st.st, 0);
        row->m_stringValue = columnText(st.st, 1);
        row->m_longLongValue = sqlite3_column_int64(st.st, 2);
        row->m_doubleValue = sqlite3_column_double(st.st, 3);
        row->m_booleanValue = sqlite3_column_int(st.st, 4) != 0;
        if (sqlite3_column_type(st.st, 5) != SQLITE_NULL)
            row->m_date = QDateTime::fromMSecsSinceEpoch(sqlite3_column_int64(st.st, 5), Qt::UTC);
        delete m_settings.value(row->m_name);
        m_settings.insert(row->m_name, row);
    }
    return rc == SQLITE_DONE;
}

// --- Saving ---------------------------------------------------------------------------------------
//
// A save takes a snapshot of the changed rows on the main thread and hands it to the store's
// writer thread, which writes every snapshot waiting in one transaction. The main thread never
// waits for the disk unless it asks to (save(), shutdown). A snapshot that fails to write stays
// queued and is written again with the next save, so no change is lost.

struct DataStore::FileRow
{
    qint64 id, parentId;
    QByteArray path;
    int isFolder;
    qint64 flags;
    int needsScan, needsUpload, needsSync;
    qint64 uploadedRemoteId;
    QString uploadTicket;
    qint64 lumoraSetId;
    QString albumName;
    int albumMode, albumIncludesSubfolders, excludedFromScan, numberOfPhotos, numberOfVideos, mediaKind;
    qint64 fileSize, dateTaken, dateModified, sample1, sample2, jpegSample1, jpegSample2;
    double duration;
    QString title, fileDescription, tags;
    int rating;
    qint64 aliasTargetId;
};

struct DataStore::SettingsRow
{
    QString name, stringValue;
    qint64 longLongValue;
    double doubleValue;
    bool booleanValue;
    QDateTime date;
};

struct DataStore::SaveBatch
{
    std::vector<FileRow> rows;
    QList<qint64> deletedIds;
    std::vector<SettingsRow> settings;
};

bool DataStore::writerBusy() const
{
    std::lock_guard<std::mutex> lock(m_queueLock);
    return m_writing;
}

bool DataStore::hasPendingChanges() const
{
    if (!m_dirtyRecords.isEmpty() || !m_dirtySettings.isEmpty() || !m_deletedIds.isEmpty() || !m_partial.empty()
        || !m_sliceRecords.empty())
        return true;
    std::lock_guard<std::mutex> lock(m_queueLock);
    return !m_queue.empty() || m_writing;
}

StoreError DataStore::lastSaveError() const
{
    std::lock_guard<std::mutex> lock(m_queueLock);
    return m_lastSaveError;
}

bool DataStore::save()
{
    DataStore *store = instance();
    store->m_saveTimer.stop();
    store->m_queuedSaves = 0;
    // Explicit saves follow what must survive (confirmed uploads, exclusions): they reach the
    // main file too, so a lost journal cannot take them along.
    {
        std::lock_guard<std::mutex> lock(store->m_queueLock);
        store->m_checkpointRequested = true;
    }
    return store->saveNow(true);
}

DataStore::SaveTicket DataStore::startSave()
{
    DataStore *store = instance();
    store->m_saveTimer.stop();
    store->m_queuedSaves = 0;
    SaveTicket ticket;
    ticket.store = store->m_serial;
    if (!store->saveNow(false, &ticket.request))
        ticket.store = 0; // the store is not open: nothing can be waited for
    return ticket;
}

bool DataStore::waitForSave(const SaveTicket &ticket)
{
    // Held while waiting so the store is neither closed nor replaced under the wait; closing
    // waits for the writer anyway, so this only lines it up behind the same write.
    QMutexLocker instanceLock(&g_instanceLock);
    DataStore *store = g_store;
    if (!ticket.store || !store || store->m_serial != ticket.store || !store->isOpen())
        return false;
    std::unique_lock<std::mutex> lock(store->m_queueLock);
    store->m_queueCond.wait(lock, [&] {
        return store->m_committedRequest >= ticket.request || store->m_finishedRequest >= ticket.request || store->m_stopWriter;
    });
    // Each write takes every snapshot queued before its request and drops them only when it
    // succeeds, so the latest committed write speaks for this one too.
    return store->m_committedRequest >= ticket.request;
}

void DataStore::queueSave()
{
    if (!isMainThread()) {
        // The save timer belongs to the main thread, like the records.
        dispatch_main_async([] { DataStore::queueSave(); });
        return;
    }
    DataStore *store = instance();
    if (++store->m_queuedSaves >= kQueuedSaveLimit) {
        store->m_saveTimer.stop();
        store->m_queuedSaves = 0;
        store->saveNow(false);
        return;
    }
    if (!store->m_saveTimer.isActive())
        store->m_saveTimer.start();
}

void DataStore::copyRow(SaveBatch &batch, FileData *r)
{
    batch.rows.push_back({r->m_id, r->m_parent ? r->m_parent->m_id : 0, r->m_path, r->m_isFolder, qint64(r->m_flags),
                          r->m_needsScan, r->m_needsUpload, r->needsSync(), r->m_uploadedRemoteId, r->uploadTicket(),
                          r->lumoraSetId(), r->albumName(), r->albumMode(), r->m_albumIncludesSubfolders,
                          r->m_excludedFromScan, r->numberOfPhotos(), r->numberOfVideos(), r->m_mediaKind,
                          r->m_fileSize, r->m_dateTakenMs, r->m_dateModifiedMs, r->m_sample1, r->m_sample2,
                          r->m_jpegSample1, r->m_jpegSample2, r->duration(), r->title(), r->fileDescription(),
                          r->tags(), r->rating(), r->aliasTarget() ? r->aliasTarget()->m_id : 0});
    r->m_dirty = false;
}

bool DataStore::takeSlice(SaveBatch &batch)
{
    if (m_sliceRecords.empty()) {
        // The set is handed over whole: taking records out of it one by one costs more than
        // copying them.
        m_sliceRecords.reserve(size_t(m_dirtyRecords.size()));
        for (FileData *r : std::as_const(m_dirtyRecords))
            m_sliceRecords.emplace_back(r->m_id, r);
        m_dirtyRecords.clear();
        m_sliceNext = 0;
    }
    const size_t end = qMin(m_sliceRecords.size(), m_sliceNext + size_t(kSnapshotSlice));
    batch.rows.reserve(end - m_sliceNext);
    // On a busy machine a slice is cut short by time rather than kept to its count.
    QElapsedTimer clock;
    clock.start();
    for (const size_t first = m_sliceNext; m_sliceNext < end; ++m_sliceNext) {
        if (m_sliceNext > first && (m_sliceNext - first) % 256 == 0 && clock.elapsed() >= kSnapshotSliceMs)
            break;
        const auto [id, record] = m_sliceRecords[m_sliceNext];
        // Still the same record (not deleted, its address not reused), not copied since.
        if (m_byId.value(id) == record && record->m_dirty)
            copyRow(batch, record);
    }
    if (m_sliceNext < m_sliceRecords.size())
        return false;
    m_sliceRecords = {};
    m_sliceNext = 0;
    return true;
}

void DataStore::takeSnapshot(SaveBatch &batch)
{
    // In no particular order: the writer sorts the rows by id (off this thread).
    batch.rows.reserve(size_t(m_dirtyRecords.size()));
    for (FileData *r : std::as_const(m_dirtyRecords))
        copyRow(batch, r);
    m_dirtyRecords.clear();
    for (SettingsData *row : std::as_const(m_dirtySettings)) {
        batch.settings.push_back({row->m_name, row->m_stringValue, row->m_longLongValue, row->m_doubleValue,
                                  row->m_booleanValue, row->m_date});
        row->m_dirty = false;
    }
    m_dirtySettings.clear();
    // After the rows of every earlier slice: a record copied there and deleted since goes last.
    batch.deletedIds = std::move(m_deletedIds);
    m_deletedIds.clear();
}

bool DataStore::saveNow(bool wait, quint64 *request)
{
    if (request)
        *request = 0;
    if (!m_db) {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_lastSaveError = {1, QStringLiteral("The catalogue is not open")};
        return false;
    }
    const bool changed = !m_dirtyRecords.isEmpty() || !m_dirtySettings.isEmpty() || !m_deletedIds.isEmpty() || !m_partial.empty()
        || !m_sliceRecords.empty();
    std::vector<std::unique_ptr<SaveBatch>> whole;
    if (changed && !wait && !request && m_partial.empty() && m_sliceRecords.empty() && writerBusy()) {
        // The writer is still at an earlier save: the changes wait in the records, where later
        // ones join them, rather than in a second copy queued behind it. Memory stays bounded
        // however slow the disk is, and nothing is lost (a waiting save takes everything).
        if (!m_sliceScheduled) {
            m_sliceScheduled = true;
            QTimer::singleShot(kBusyWriterRetryMs, this, [this] {
                m_sliceScheduled = false;
                saveNow(false);
            });
        }
        return true;
    }
    if (changed) {
        // Unless this thread waits: a large save is copied a slice per turn and queued once
        // complete, all at once, so that it is written in one transaction as if copied in one go.
        const bool slicing = !m_partial.empty() || !m_sliceRecords.empty();
        whole = std::move(m_partial);
        m_partial.clear();
        if (!wait && (slicing || m_dirtyRecords.size() > kSnapshotSlice)) {
            whole.push_back(std::make_unique<SaveBatch>());
            if (!takeSlice(*whole.back())) {
                m_partial = std::move(whole);
                if (!m_sliceScheduled) {
                    m_sliceScheduled = true;
                    QTimer::singleShot(0, this, [this] {
                        m_sliceScheduled = false;
                        if (!m_partial.empty())
                            saveNow(false);
                    });
                }
                if (request) {
                    // A ticket (waited for on another thread) is the write that takes the last
                    // slice: while slices remain, no save is queued but the one that completes
                    // them, so it is the next request.
                    std::lock_guard<std::mutex> lock(m_queueLock);
                    *request = m_requests + 1;
                }
                return true;
            }
        } else {
            // This thread waits: what is left of a sliced save is taken at once.
            while (!m_sliceRecords.empty()) {
                whole.push_back(std::make_unique<SaveBatch>());
                takeSlice(*whole.back());
            }
        }
        // The records changed since the slicing began, the settings and the deletions.
        whole.push_back(std::make_unique<SaveBatch>());
        takeSnapshot(*whole.back());
    }
    std::unique_lock<std::mutex> lock(m_queueLock);
    for (auto &batch : whole)
        m_queue.push_back(std::move(batch));
    if (m_queue.empty() && !m_writing)
        return true;
    if (!m_writer.joinable())
        m_writer = std::thread([this] { writerLoop(); });
    ++m_requests;
    if (request)
        *request = m_requests;
    m_queueCond.notify_all();
    if (!wait)
        return true;
    const quint64 ours = m_requests;
    m_queueCond.wait(lock, [&] { return m_finishedRequest >= ours && !m_writing; });
    return m_queue.empty();
}

void DataStore::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_queueLock);
    quint64 served = 0;
    size_t rowsSinceTrim = 0;
    // Commits not yet copied into the main file (a confirmed upload's among them) are copied
    // within kCheckpointDelayMs, however often saves come: a lost journal then costs seconds.
    bool checkpointOwed = false;
    std::chrono::steady_clock::time_point checkpointDue;
    const auto passiveCheckpoint = [this] {
        QMutexLocker db(&m_dbLock);
        sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    };
    for (;;) {
        const auto ready = [&] { return m_stopWriter || m_requests > served; };
        if (!checkpointOwed) {
            m_queueCond.wait(lock, ready);
        } else if (!m_queueCond.wait_until(lock, checkpointDue, ready)) {
            checkpointOwed = false;
            lock.unlock();
            passiveCheckpoint();
            lock.lock();
            continue;
        }
        if (m_requests <= served && m_stopWriter)
            return;
        const quint64 request = m_requests;
        served = request;
        if (m_queue.empty()) {
            // Nothing waits, so every snapshot before this request has been written.
            m_finishedRequest = request;
            m_committedRequest = request;
            m_queueCond.notify_all();
            continue;
        }
        // Write what waits now; later snapshots queue up meanwhile.
        std::vector<SaveBatch *> batches;
        size_t rows = 0;
        for (auto &b : m_queue) {
            batches.push_back(b.get());
            rows += b->rows.size();
        }
        m_writing = true;
        const bool checkpoint = std::exchange(m_checkpointRequested, false)
            || (checkpointOwed && std::chrono::steady_clock::now() >= checkpointDue)
            || m_journalPages.load(std::memory_order_relaxed) >= kCheckpointPages;
        lock.unlock();
        QString error;
        const bool ok = writeBatches(batches, &error);
        if (ok && checkpoint) {
            // A thread waiting for its rows (an upload about to start) goes on now: once
            // committed they outlive this process, and copying them into the main file (with
            // its syncs) takes several times as long.
            {
                std::lock_guard<std::mutex> relock(m_queueLock);
                m_committedRequest = request;
                m_queueCond.notify_all();
            }
            passiveCheckpoint();
            checkpointOwed = false;
        } else if (ok && !checkpointOwed) {
            checkpointOwed = true;
            checkpointDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCheckpointDelayMs);
        }
        lock.lock();
        m_writing = false;
        // The written rows are freed outside the lock: the main thread may be waiting for it to
        // queue its next save.
        std::vector<std::unique_ptr<SaveBatch>> written;
        if (ok) {
            written.reserve(batches.size());
            for (size_t i = 0; i < batches.size(); ++i)
                written.push_back(std::move(m_queue[i]));
            m_queue.erase(m_queue.begin(), m_queue.begin() + qsizetype(batches.size()));
            m_lastSaveError = {};
            m_committedRequest = request;
        } else {
            m_lastSaveError = {2, error};
            LGLogError(QStringLiteral("DATASTORE: Save failed (kept for the next save): %1").arg(error));
        }
        // One turn of the main thread per save: an upload saves its in-flight mark each time.
        QMetaObject::invokeMethod(this, [this, ok] {
            if (ok)
                Q_EMIT saved();
            noteSaveHealth();
        }, Qt::QueuedConnection);
        m_finishedRequest = request;
        m_queueCond.notify_all();
        if (!written.empty()) {
            lock.unlock();
            written.clear();
            lock.lock();
        }
        rowsSinceTrim += ok ? rows : 0;
        if (ok && m_queue.empty() && rowsSinceTrim >= kTrimAfterRows) {
            // The snapshots of a large save (taken in slices, perhaps written in several passes)
            // are gone: their pages go back to the system instead of staying with the process
            // for the rest of the session.
            rowsSinceTrim = 0;
            lock.unlock();
            malloc_trim(0);
            lock.lock();
        }
    }
}

void DataStore::noteSaveHealth()
{
    const bool failing = savesFailing();
    if (failing && !m_retryTimer.isActive())
        m_retryTimer.start();
    if (failing == m_reportedFailing)
        return;
    m_reportedFailing = failing;
    if (failing)
        LGLogError(QStringLiteral("DATASTORE: The catalogue cannot be saved; uploads wait until it can"));
    else
        LGLogInfo(QStringLiteral("DATASTORE: The catalogue is saved again"));
    if (const auto &changed = CatalogueHooks::instance().catalogueHealthChanged)
        changed();
}

void DataStore::limitGrowthForTesting(int extraPages)
{
    QMutexLocker lock(&m_dbLock);
    qint64 limit = 4294967294LL;
    if (extraPages >= 0) {
        Statement st(m_db, "PRAGMA page_count");
        if (st && sqlite3_step(st.st) == SQLITE_ROW)
            limit = sqlite3_column_int64(st.st, 0) + extraPages;
    }
    exec(QByteArray("PRAGMA max_page_count=" + QByteArray::number(limit)).constData());
}

bool DataStore::writeBatches(const std::vector<SaveBatch *> &batches, QString *error)
{
    QMutexLocker lock(&m_dbLock);
    if (!execPrepared(&m_begin, "BEGIN IMMEDIATE")) {
        *error = m_execError;
        return false;
    }
    bool ok = true;
    if (!m_insertFile) {
        const QByteArray sql = QByteArray("INSERT OR REPLACE INTO FileData (") + kFileColumns + ") VALUES ("
            + QByteArray("?,").repeated(kFileColumnCount - 1) + "?)";
        sqlite3_prepare_v3(m_db, sql.constData(), -1, SQLITE_PREPARE_PERSISTENT, &m_insertFile, nullptr);
    }
    ok = m_insertFile != nullptr;
    for (SaveBatch *batch : batches) {
        // In id order the rows land next to each other in the table's B-tree. A record copied
        // twice (changed again between slices) is in two batches, written in the order taken.
        std::sort(batch->rows.begin(), batch->rows.end(), [](const FileRow &a, const FileRow &b) { return a.id < b.id; });
        for (auto it = batch->rows.cbegin(); ok && it != batch->rows.cend(); ++it) {
            const FileRow &r = *it;
            sqlite3_stmt *s = m_insertFile;
            sqlite3_reset(s);
            sqlite3_bind_int64(s, 1, r.id);
            sqlite3_bind_int64(s, 2, r.parentId);
            bindUtf8(s, 3, r.path);
            sqlite3_bind_int(s, 4, r.isFolder);
            sqlite3_bind_int64(s, 5, r.flags);
            sqlite3_bind_int(s, 6, r.needsScan);
            sqlite3_bind_int(s, 7, r.needsUpload);
            sqlite3_bind_int(s, 8, r.needsSync);
            sqlite3_bind_int64(s, 9, r.uploadedRemoteId);
            bindText(s, 10, r.uploadTicket);
            sqlite3_bind_int64(s, 11, r.lumoraSetId);
            bindText(s, 12, r.albumName);
            sqlite3_bind_int(s, 13, r.albumMode);
            sqlite3_bind_int(s, 14, r.albumIncludesSubfolders);
            sqlite3_bind_int(s, 15, r.excludedFromScan);
            sqlite3_bind_int(s, 16, r.numberOfPhotos);
            sqlite3_bind_int(s, 17, r.numberOfVideos);
            sqlite3_bind_int(s, 18, r.mediaKind);
            sqlite3_bind_int64(s, 19, r.fileSize);
            sqlite3_bind_int64(s, 20, r.dateTaken);
            sqlite3_bind_int64(s, 21, r.dateModified);
            sqlite3_bind_int64(s, 22, r.sample1);
            sqlite3_bind_int64(s, 23, r.sample2);
            sqlite3_bind_int64(s, 24, r.jpegSample1);
            sqlite3_bind_int64(s, 25, r.jpegSample2);
            sqlite3_bind_double(s, 26, r.duration);
            bindText(s, 27, r.title);
            bindText(s, 28, r.fileDescription);
            bindText(s, 29, r.tags);
            sqlite3_bind_int(s, 30, r.rating);
            sqlite3_bind_int64(s, 31, r.aliasTargetId);
            ok = sqlite3_step(s) == SQLITE_DONE;
        }
        if (ok && !batch->deletedIds.isEmpty()) {
            Statement st(m_db, "DELETE FROM FileData WHERE id = ?");
            ok = bool(st);
            for (qint64 id : batch->deletedIds) {
                if (!ok)
                    break;
                sqlite3_reset(st.st);
                sqlite3_bind_int64(st.st, 1, id);
                ok = sqlite3_step(st.st) == SQLITE_DONE;
            }
        }
        if (ok && !batch->settings.empty()) {
            Statement st(m_db, "INSERT OR REPLACE INTO SettingsData (name, stringValue, longLongValue, doubleValue,"
                               " booleanValue, date) VALUES (?,?,?,?,?,?)");
            ok = bool(st);
            for (const SettingsRow &row : batch->settings) {
                if (!ok)
                    break;
                sqlite3_reset(st.st);
                bindText(st.st, 1, row.name);
                bindText(st.st, 2, row.stringValue);
                sqlite3_bind_int64(st.st, 3, row.longLongValue);
                sqlite3_bind_double(st.st, 4, row.doubleValue);
                sqlite3_bind_int(st.st, 5, row.booleanValue);
                if (row.date.isValid())
                    sqlite3_bind_int64(st.st, 6, row.date.toMSecsSinceEpoch());
                else
                    sqlite3_bind_null(st.st, 6);
                ok = sqlite3_step(st.st) == SQLITE_DONE;
            }
        }
        if (!ok)
            break;
    }
    if (m_insertFile)
        sqlite3_reset(m_insertFile);
    if (!ok) {
        *error = dbError(m_db);
        exec("ROLLBACK");
        return false;
    }
    if (!execPrepared(&m_commit, "COMMIT")) {
        *error = m_execError;
        exec("ROLLBACK");
        return false;
    }
    return true;
}

void DataStore::stopWriter()
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stopWriter = true;
        m_queueCond.notify_all();
    }
    if (m_writer.joinable())
        m_writer.join();
}

void DataStore::noteDirty(FileData *record)
{
    m_dirtyRecords.insert(record);
}

void DataStore::noteDirty(SettingsData *row)
{
    m_dirtySettings.insert(row);
}

// --- Records --------------------------------------------------------------------------------------

SettingsData *DataStore::settingNamed(const QString &name)
{
    if (SettingsData *row = m_settings.value(name))
        return row;
    auto *row = new SettingsData;
    row->m_name = name;
    m_settings.insert(name, row);
    row->markDirty();
    return row;
}

// Ids count on from the largest in use. In a catalogue whose ids reached the end of their range
// (only a damaged one can) the lowest free id is taken instead, never one whose row is still to
// be deleted.
qint64 DataStore::freshId()
{
    if (m_nextId <= kMaxRecordId)
        return m_nextId++;
    while (m_byId.contains(m_freeId) || m_deletedIds.contains(m_freeId))
        ++m_freeId;
    return m_freeId++;
}

void DataStore::addToIndex(FileData *record)
{
    // Growing an index reads every record again. The path index grows a little ahead of the id
    // index, so that no one turn of the main thread (in a first scan, say) pays for both.
    if (const qsizetype room = m_byPath.capacity(); room <= m_byId.capacity() && m_byPath.size() >= room - room / 8)
        m_byPath.reserve(2 * room + 1);
    m_byId.insert(record);
    m_byPath.insert(record);
}

FileData *DataStore::createFileData(const QString &path, bool isFolder, quint64 flags)
{
    // Records are keyed by absolute path; anything else would stand for no file, or for the
    // working folder of the moment.
    if (!path.startsWith(QLatin1Char('/')))
        return nullptr;
    const QByteArray converted = path.toUtf8();
    if (FileData *existing = m_byPath.value(converted))
        return existing;
    // toUtf8() reserves room for the worst case; the record keeps a copy that fits.
    const QByteArray utf8(converted.constData(), converted.size());
    FileData *r = makeRecord(freshId(), utf8, isFolder);
    r->m_flags = flags;
    if (isFolder)
        r->extra().albumMode = 2; // a new folder gets the default album until the user chooses
    addToIndex(r);
    m_roots.insert(r);
    r->markDirty();
    const qsizetype slash = utf8.lastIndexOf('/');
    if (slash > 0) {
        if (FileData *p = m_byPath.value(QByteArrayView(utf8).first(slash)))
            r->setParent(p);
    }
    if (isFolder) {
        // Records of a nested watched folder made before this one move below it.
        const QByteArray prefix = utf8 + '/';
        const QList<FileData *> roots(m_roots.begin(), m_roots.end());
        for (FileData *root : roots)
            if (root != r && root->m_path.startsWith(prefix) && root->m_path.indexOf('/', prefix.size()) < 0)
                root->setParent(r);
    }
    return r;
}

void DataStore::parentChanged(FileData *record)
{
    if (record->m_parent)
        m_roots.remove(record);
    else if (m_byId.value(record->m_id) == record)
        m_roots.insert(record);
}

void DataStore::needsScanChanged(FileData *record)
{
    auto &map = record->m_isFolder ? m_foldersToScan : m_filesToScan;
    if (record->m_needsScan > 0)
        map.insert(record->m_path, record);
    else
        map.remove(record->m_path);
}

void DataStore::deleteFileData(FileData *record)
{
    if (!record || m_byId.value(record->m_id) != record)
        return;
    if (FileData *p = record->m_parent) {
        p->extra().children.removeOne(record);
        p->m_cachedStatus = 0;
        p->notifyChildrenChanged();
        p->notifyStatusChanged();
        record->m_parent = nullptr;
    }
    QList<FileData *> doomed{record};
    for (qsizetype i = 0; i < doomed.size(); ++i)
        doomed.append(doomed.at(i)->children());
    auto *center = FileDataChangeCenter::instance();
    for (FileData *r : std::as_const(doomed)) {
        Q_EMIT center->recordWillBeDeleted(r);
        center->forget(r);
    }
    const QSet<FileData *> doomedSet(doomed.begin(), doomed.end());
    for (FileData *r : std::as_const(doomed)) {
        if (FileData *t = r->aliasTarget(); t && !doomedSet.contains(t)) {
            t->m_extra->aliasSources.removeOne(r);
            if (t->m_extra->aliasSources.isEmpty())
                t->removeFlag(FileFlags::HasAliases);
        }
        for (FileData *src : r->aliasSources()) {
            if (!doomedSet.contains(src)) {
                src->m_extra->aliasTarget = nullptr;
                src->removeFlag(FileFlags::IsAlias);
                src->markDirty(); // the link is saved gone even when the flag was not set
            }
        }
        m_byId.remove(r->m_id);
        m_byPath.remove(r->m_path);
        m_roots.remove(r);
        m_foldersToScan.remove(r->m_path);
        m_filesToScan.remove(r->m_path);
        m_dirtyRecords.remove(r);
        m_deletedIds.append(r->m_id);
    }
    qDeleteAll(doomed);
}

QList<FileData *> DataStore::fetchFileData(const std::function<bool(const FileData *)> &predicate) const
{
    QList<FileData *> out;
    for (FileData *r : m_byId)
        if (!predicate || predicate(r))
            out.append(r);
    return out;
}

QList<FileData *> DataStore::rootFileData() const
{
    QList<FileData *> out(m_roots.begin(), m_roots.end());
    std::sort(out.begin(), out.end(), [](FileData *a, FileData *b) { return a->pathUtf8() < b->pathUtf8(); });
    return out;
}

// --- De-duplication index -------------------------------------------------------------------------

namespace {
// Writes the rows in one transaction, after emptying the index when asked: a failure anywhere
// leaves the index as it was.
bool writeDedupRows(sqlite3 *db, const QList<DedupData> &rows, bool emptyFirst, const char *failure)
{
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    bool ok = !emptyFirst || sqlite3_exec(db, "DELETE FROM DedupData", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) {
        Statement st(db, "INSERT INTO DedupData (pid, sample1, sample2, isJpegData, uploadedFromThisDevice) VALUES (?,?,?,?,?)");
        ok = bool(st);
        for (const DedupData &d : rows) {
            if (!ok)
                break;
            sqlite3_reset(st.st);
            sqlite3_bind_int64(st.st, 1, d.pid);
            sqlite3_bind_int64(st.st, 2, d.sample1);
            sqlite3_bind_int64(st.st, 3, d.sample2);
            sqlite3_bind_int(st.st, 4, d.isJpegData);
            sqlite3_bind_int(st.st, 5, d.uploadedFromThisDevice);
            ok = sqlite3_step(st.st) == SQLITE_DONE;
        }
    }
    if (!ok || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        LGLogError(QStringLiteral("DATASTORE: Could not %1 the de-duplication index: %2").arg(QLatin1String(failure), dbError(db)));
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}
} // namespace

bool DataStore::insertDedupData(const QList<DedupData> &rows)
{
    QMutexLocker lock(&m_dbLock);
    if (!m_db)
        return false;
    if (rows.isEmpty())
        return true;
    return writeDedupRows(m_db, rows, false, "add to");
}

namespace {
QList<DedupData> readDedup(sqlite3_stmt *st)
{
    QList<DedupData> out;
    while (sqlite3_step(st) == SQLITE_ROW) {
        DedupData d;
        d.pid = sqlite3_column_int64(st, 0);
        d.sample1 = sqlite3_column_int64(st, 1);
        d.sample2 = sqlite3_column_int64(st, 2);
        d.isJpegData = sqlite3_column_int(st, 3) != 0;
        d.uploadedFromThisDevice = sqlite3_column_int(st, 4) != 0;
        out.append(d);
    }
    return out;
}
} // namespace

QList<DedupData> DataStore::dedupDataForSample(const ContentSample &sample) const
{
    QMutexLocker lock(&m_readLock);
    QMutexLocker sharedLock(m_readDb ? nullptr : &m_dbLock); // without its own connection, take turns
    sqlite3 *db = m_readDb ? m_readDb : m_db; // a long save never holds up a look-up
    if (!db || sample.isNull())
        return {};
    Statement st(db, "SELECT pid, sample1, sample2, isJpegData, uploadedFromThisDevice FROM DedupData"
                       " WHERE sample1 = ? AND sample2 = ? ORDER BY id");
    if (!st)
        return {};
    sqlite3_bind_int64(st.st, 1, sample.sample1);
    sqlite3_bind_int64(st.st, 2, sample.sample2);
    return readDedup(st.st);
}

QList<DedupData> DataStore::dedupDataForPid(qint64 pid) const
{
    QMutexLocker lock(&m_readLock);
    QMutexLocker sharedLock(m_readDb ? nullptr : &m_dbLock); // without its own connection, take turns
    sqlite3 *db = m_readDb ? m_readDb : m_db; // a long save never holds up a look-up
    if (!db)
        return {};
    Statement st(db, "SELECT pid, sample1, sample2, isJpegData, uploadedFromThisDevice FROM DedupData"
                       " WHERE pid = ? ORDER BY id");
    if (!st)
        return {};
    sqlite3_bind_int64(st.st, 1, pid);
    return readDedup(st.st);
}

bool DataStore::removeDedupDataForPid(qint64 pid)
{
    QMutexLocker lock(&m_dbLock);
    if (!m_db)
        return false;
    Statement st(m_db, "DELETE FROM DedupData WHERE pid = ?");
    if (!st)
        return false;
    sqlite3_bind_int64(st.st, 1, pid);
    return sqlite3_step(st.st) == SQLITE_DONE;
}

bool DataStore::replaceAllDedupData(const QList<DedupData> &rows)
{
    QMutexLocker lock(&m_dbLock);
    if (!m_db)
        return false;
    return writeDedupRows(m_db, rows, true, "replace");
}

bool DataStore::removeAllDedupData()
{
    QMutexLocker lock(&m_dbLock);
    return m_db && sqlite3_exec(m_db, "DELETE FROM DedupData", nullptr, nullptr, nullptr) == SQLITE_OK;
}

QSet<qint64> DataStore::photoIdsSentFromHere() const
{
    QMutexLocker lock(&m_readLock);
    QMutexLocker sharedLock(m_readDb ? nullptr : &m_dbLock); // without its own connection, take turns
    sqlite3 *db = m_readDb ? m_readDb : m_db;
    QSet<qint64> ids;
    if (!db)
        return ids;
    Statement st(db, "SELECT pid FROM DedupData WHERE uploadedFromThisDevice = 1 AND pid > 0"
                       " UNION SELECT uploadedRemoteId FROM FileData WHERE needsUpload = ? AND uploadedRemoteId > 0");
    if (!st)
        return ids;
    sqlite3_bind_int(st.st, 1, NeedsUpload::Uploaded);
    while (sqlite3_step(st.st) == SQLITE_ROW)
        ids.insert(sqlite3_column_int64(st.st, 0));
    return ids;
}

qint64 DataStore::dedupDataCount() const
{
    QMutexLocker lock(&m_readLock);
    QMutexLocker sharedLock(m_readDb ? nullptr : &m_dbLock); // without its own connection, take turns
    sqlite3 *db = m_readDb ? m_readDb : m_db; // a long save never holds up a look-up
    if (!db)
        return 0;
    Statement st(db, "SELECT COUNT(*) FROM DedupData");
    if (!st || sqlite3_step(st.st) != SQLITE_ROW)
        return 0;
    return sqlite3_column_int64(st.st, 0);
}
