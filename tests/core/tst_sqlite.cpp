#include "CoreTestHome.h"
#include "core/FMDatabase.h"

#include <QCryptographicHash>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <sqlite3.h>

namespace {
// The other application's side: writes a database the way its owner would.
class Writer
{
public:
    explicit Writer(const QString &path) { sqlite3_open(path.toUtf8().constData(), &db); }
    ~Writer() { sqlite3_close(db); }
    void exec(const char *sql) { QCOMPARE(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK); }
    sqlite3 *db = nullptr;
};

QByteArray fileHash(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1) : QByteArray();
}
} // namespace

class TestSqlite : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        startInThrowAwayHome();
        Writer w(m_dir.filePath("photos.db"));
        w.exec("CREATE TABLE RKMaster (modelId INTEGER PRIMARY KEY, imagePath TEXT, fileSize INTEGER,"
               " imageDate REAL, thumb BLOB, isInTrash INTEGER)");
        w.exec("INSERT INTO RKMaster VALUES (1, 'Masters/a.jpg', 1000, 1700000000.5, x'00ff10', 0)");
        w.exec("INSERT INTO RKMaster VALUES (2, 'Masters/\xc3\xa9t\xc3\xa9.heic', 5000000000, NULL, NULL, 1)");
    }

    void readsRowsWithBoundArguments()
    {
        FMDatabase db(m_dir.filePath("photos.db"));
        QVERIFY2(db.open(), qPrintable(db.lastErrorMessage()));
        FMResultSet rs = db.executeQuery("SELECT * FROM RKMaster WHERE isInTrash = ? AND fileSize > ? ORDER BY modelId",
                                         {false, 10});
        QVERIFY(rs.next());
        QCOMPARE(rs.intForColumn("modelId"), 1);
        QCOMPARE(rs.stringForColumn("IMAGEPATH"), QStringLiteral("Masters/a.jpg"));
        QCOMPARE(rs.dataForColumn("thumb"), QByteArray("\x00\xff\x10", 3));
        QCOMPARE(rs.dateForColumn("imageDate").toMSecsSinceEpoch(), Q_INT64_C(1700000000500));
        QCOMPARE(rs.resultDictionary().value("fileSize").toLongLong(), 1000);
        QVERIFY(!rs.next());
        QVERIFY(!rs.lastError().isError());

        rs = db.executeQuery("SELECT imagePath, fileSize, imageDate, thumb FROM RKMaster WHERE modelId = ?", {2});
        QVERIFY(rs.next());
        QCOMPARE(rs.stringForColumn(0), QString::fromUtf8("Masters/\xc3\xa9t\xc3\xa9.heic"));
        QCOMPARE(rs.longLongIntForColumn(1), Q_INT64_C(5000000000));
        QVERIFY(rs.columnIsNull(2));
        QVERIFY(!rs.dateForColumn(2).isValid());
        QVERIFY(rs.objectForColumn("thumb").isNull());
        QVERIFY(rs.columnIsNull("no such column"));
        QCOMPARE(rs.columnNames(), (QStringList{"imagePath", "fileSize", "imageDate", "thumb"}));

        QVERIFY(db.tableExists("rkmaster"));
        QVERIFY(!db.tableExists("RKVersion"));
        QVERIFY(db.columnExists("imageDate", "RKMaster"));
        QVERIFY(!db.columnExists("uuid", "RKMaster"));

        // A result set outlives the database object's close.
        FMResultSet alive = db.executeQuery("SELECT modelId FROM RKMaster ORDER BY modelId");
        db.close();
        QVERIFY(!db.isOpen());
        QVERIFY(alive.next());
        QCOMPARE(alive.intForColumn(0), 1);
    }

    void failuresAreClearValues()
    {
        const QString path = m_dir.filePath("photos.db");
        const QByteArray before = fileHash(path);
        FMDatabase db(path);
        QVERIFY(db.open());

        FMResultSet rs = db.executeQuery("SELEC * FROM RKMaster");
        QVERIFY(!rs.isValid());
        QVERIFY(!rs.next());
        QVERIFY(db.hadError());
        QVERIFY2(db.lastErrorMessage().contains("syntax error") && db.lastErrorMessage().contains("photos.db"),
                 qPrintable(db.lastErrorMessage()));

        rs = db.executeQuery("SELECT * FROM RKMaster WHERE modelId = ?", {});
        QVERIFY(!rs.isValid());
        QCOMPARE(db.lastErrorCode(), SQLITE_RANGE);

        // Nothing is ever written.
        rs = db.executeQuery("DELETE FROM RKMaster");
        QVERIFY(!rs.next() && rs.lastError().isError());
        QVERIFY(!db.executeQuery("CREATE TABLE x (a)").next());
        QCOMPARE(fileHash(path), before);

        // A query after a good one clears the error.
        QVERIFY(db.executeQuery("SELECT 1").next());
        QVERIFY(!db.hadError());

        FMDatabase missing(m_dir.filePath("missing.db"));
        QVERIFY(!missing.open());
        QCOMPARE(missing.lastErrorCode(), SQLITE_CANTOPEN);
        QVERIFY(!missing.executeQuery("SELECT 1").next());
        QVERIFY(!QFile::exists(m_dir.filePath("missing.db")));

        QFile junk(m_dir.filePath("junk.db"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        FMDatabase notADatabase(junk.fileName());
        QVERIFY(!notADatabase.open());
        QVERIFY2(notADatabase.lastErrorMessage().contains("not a database"), qPrintable(notADatabase.lastErrorMessage()));
        QVERIFY(!notADatabase.isOpen());
    }

    void readsALiveDatabaseFromACopyWithItsJournal()
    {
        const QString path = m_dir.filePath("chat.db");
        Writer owner(path);
        owner.exec("PRAGMA journal_mode = WAL");
        owner.exec("PRAGMA wal_autocheckpoint = 0");
        owner.exec("CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY, filename TEXT)");
        owner.exec("INSERT INTO attachment (filename) VALUES ('~/Library/Messages/Attachments/a.jpg')");
        // Still only in the write-ahead log: the owner has the database open.
        QVERIFY(QFileInfo(path + "-wal").size() > 0);
        const QByteArray original = fileHash(path);

        const QString copies = m_dir.filePath("Temp/OSXPhotosDB");
        FMDatabase db(path);
        QVERIFY2(db.openFromCopy(copies), qPrintable(db.lastErrorMessage()));
        QCOMPARE(db.openedPath(), copies + "/chat.db");
        FMResultSet rs = db.executeQuery("SELECT filename FROM attachment");
        QVERIFY(rs.next());
        QVERIFY(rs.stringForColumn("filename").endsWith("a.jpg"));
        QVERIFY(!db.executeQuery("INSERT INTO attachment (filename) VALUES ('x')").next());
        QCOMPARE(fileHash(path), original);

        // A second copy replaces the first, including its log.
        owner.exec("INSERT INTO attachment (filename) VALUES ('b.mov')");
        FMDatabase again(path);
        QVERIFY(again.openFromCopy(copies));
        rs = again.executeQuery("SELECT count(*) FROM attachment");
        QVERIFY(rs.next());
        QCOMPARE(rs.intForColumn(0), 2);

        FMDatabase none(m_dir.filePath("absent.db"));
        QVERIFY(!none.openFromCopy(copies));
        QVERIFY(none.lastError().isError());
    }
};

QTEST_GUILESS_MAIN(TestSqlite)
#include "tst_sqlite.moc"
