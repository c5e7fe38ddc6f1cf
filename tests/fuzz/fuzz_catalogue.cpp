// A catalogue file as found at launch. An input that begins as a database file is the file
// itself; any other input describes the rows of one (hostile ids, parents, paths, alias links,
// sizes and dates, perhaps in a table that lost its key), written into a catalogue of the real
// schema. The store loads it, its records are walked and changed, it is saved and loaded again:
// whatever the rows, the catalogue that comes out has its shape, and a second load finds
// nothing left to mend.
#include "FuzzSupport.h"
#include "catalogue/DataStore.h"

#include <QFile>
#include <limits>
#include <sqlite3.h>

namespace {

class Reader
{
public:
    Reader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_pos >= m_size; }
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    qint64 raw64()
    {
        quint64 v = 0;
        for (int i = 0; i < 8; ++i)
            v = (v << 8) | byte();
        return qint64(v);
    }
    // Mostly small numbers (ids that name each other), sometimes the ends of the range.
    qint64 number()
    {
        const uint8_t b = byte();
        if (b < 200)
            return b % 16;
        constexpr qint64 max = std::numeric_limits<qint64>::max(), min = std::numeric_limits<qint64>::min();
        const qint64 ends[] = {max, max - 1, min, -1, DataStore::kMaxRecordId, DataStore::kMaxRecordId + 1, 1000, 0};
        const int i = (b - 200) % 9;
        return i == 8 ? raw64() : ends[i];
    }
    // Paths made of a few names, so that records often hold each other, and now and then bytes
    // that are not a name at all.
    QByteArray path()
    {
        static const char *const names[] = {"a", "b", "c.jpg", "d.mov", "", "..", "é", "%1"};
        const uint8_t b = byte();
        QByteArray p = (b & 0x80) ? QByteArray() : QByteArray("/");
        for (int i = 0, n = b % 5; i < n; ++i) {
            if (i)
                p += '/';
            const uint8_t c = byte();
            if (c < 240)
                p += names[c % 8];
            else
                for (int k = 0, len = c % 8; k < len; ++k)
                    p += char(byte());
        }
        return p;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// An empty catalogue of the real schema, made once: each input starts from a copy of it.
QByteArray emptyCatalogue()
{
    static const QByteArray bytes = [] {
        DataStore::resetForTesting();
        DataStore::deleteStoreFiles();
        DataStore::instance();
        DataStore::shutdown();
        QFile f(DataStore::storePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    return bytes;
}

bool writeRows(Reader &in)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(DataStore::storePath()).constData(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    const uint8_t mode = in.byte();
    if (mode & 1)
        sqlite3_exec(db, "ALTER TABLE FileData RENAME TO Kept; CREATE TABLE FileData AS SELECT * FROM Kept; DROP TABLE Kept",
                     nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT OR IGNORE INTO FileData (id, parentId, path, isFolder, flags, needsScan, needsUpload,"
                       " uploadedRemoteId, uploadTicket, fileSize, dateTaken, dateModified, duration, title, rating,"
                       " aliasTargetId, mediaKind, excludedFromScan) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                       -1, &st, nullptr);
    for (int rows = 0; st && !in.atEnd() && rows < 64; ++rows) {
        sqlite3_reset(st);
        sqlite3_bind_int64(st, 1, in.number());
        sqlite3_bind_int64(st, 2, in.number());
        const QByteArray path = in.path();
        sqlite3_bind_text(st, 3, path.constData(), int(path.size()), SQLITE_TRANSIENT);
        const uint8_t bits = in.byte();
        sqlite3_bind_int(st, 4, bits & 1);
        sqlite3_bind_int64(st, 5, (bits & 2) ? in.raw64() : 0);
        sqlite3_bind_int64(st, 6, (bits & 4) ? in.number() : 0);
        sqlite3_bind_int64(st, 7, (bits & 8) ? in.number() % 64 - 10 : 1);
        sqlite3_bind_int64(st, 8, in.number());
        if (bits & 16)
            sqlite3_bind_text(st, 9, "sending@1", -1, SQLITE_STATIC);
        else
            sqlite3_bind_null(st, 9);
        sqlite3_bind_int64(st, 10, in.number());
        sqlite3_bind_int64(st, 11, (bits & 32) ? in.raw64() : in.number());
        sqlite3_bind_int64(st, 12, (bits & 32) ? in.raw64() : in.number());
        sqlite3_bind_double(st, 13, double(in.number()));
        if (bits & 64)
            sqlite3_bind_text(st, 14, "title", -1, SQLITE_STATIC);
        else
            sqlite3_bind_null(st, 14);
        sqlite3_bind_int64(st, 15, in.number());
        sqlite3_bind_int64(st, 16, in.number());
        sqlite3_bind_int(st, 17, in.byte() % 4);
        sqlite3_bind_int(st, 18, (bits & 128) ? 1 : 0);
        sqlite3_step(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return true;
}

// The shape every loaded catalogue has: ids of its own in range, parents whose paths lead to
// the record's and end at a root, alias targets that are files of the catalogue. Loaded again
// after the mended catalogue was saved, nothing is left to mend.
void checkShape(DataStore *store, bool secondLoad)
{
    const qsizetype count = store->fileDataCount();
    for (FileData *r : store->allFileData()) {
        if (r->fileID() < 1 || r->fileID() > DataStore::kMaxRecordId || store->fileDataForId(r->fileID()) != r
            || store->fileDataForPathKey(QByteArrayView(r->pathUtf8())) != r)
            abort();
        if (secondLoad && r->isDirty())
            abort();
        qsizetype steps = 0;
        for (FileData *p = r->parent(); p; p = p->parent()) {
            if (++steps > count || !r->pathUtf8().startsWith(p->pathUtf8()))
                abort();
        }
        if (FileData *t = r->aliasTarget(); t && (t == r || t->isFolder() || store->fileDataForId(t->fileID()) != t))
            abort();
        (void)r->status();
        r->notifyParentsOfStatusChanged();
        r->notifyParentsOfChildrenChanged();
        (void)r->displayName();
        (void)r->dateTaken();
        (void)r->dateModified();
    }
    for (FileData *root : store->rootFileData()) {
        (void)root->flattenedListOfChildrenWithOptions(FlattenOptions::Files | FlattenOptions::Folders
                                                       | FlattenOptions::Recursive);
        root->loadRecursiveCounts();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::initialiseOnce();
    const QByteArray empty = emptyCatalogue();
    DataStore::resetForTesting();
    DataStore::deleteStoreFiles();
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool asFile = input.startsWith(QByteArrayView("SQLite format 3\0", 16));
    Reader in(data, size);
    {
        QFile f(DataStore::storePath());
        if (!f.open(QIODevice::WriteOnly))
            return 0;
        f.write(asFile ? input : empty);
    }
    if (!asFile && !writeRows(in))
        return 0;
    DataStore *store = DataStore::instance();
    if (!store->isOpen())
        return 0;
    checkShape(store, false);
    // Changes on the mended catalogue: a record made where a loaded one may sit, one deleted.
    store->createFileData(QStringLiteral("/a/b/c.jpg"), false);
    const QList<FileData *> all = store->allFileData();
    if (!all.isEmpty())
        store->deleteFileData(all.at(qsizetype(size % size_t(all.size()))));
    // A file damaged below what loading reads (its pages rather than its rows) may refuse the
    // save, or take it and read back something else: the mending is then done again.
    const bool saved = DataStore::save();
    DataStore::shutdown();
    store = DataStore::instance();
    if (!store->isOpen())
        abort();
    checkShape(store, saved && !asFile);
    DataStore::resetForTesting();
    return 0;
}
