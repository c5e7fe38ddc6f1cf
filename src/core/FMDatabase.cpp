#include "FMDatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sqlite3.h>

struct FMConnection
{
    sqlite3 *db = nullptr;
    // close_v2 lets statements that are still alive finish before the handle goes away.
    ~FMConnection() { sqlite3_close_v2(db); }
};

struct FMStatement
{
    std::shared_ptr<FMConnection> connection;
    sqlite3_stmt *stmt = nullptr;
    QString sql;
    ~FMStatement() { sqlite3_finalize(stmt); }
};

namespace {
QString sqliteMessage(sqlite3 *db, int code)
{
    return QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}
} // namespace

// ---------------------------------------------------------------------------------------------

FMDatabase::FMDatabase(const QString &path)
    : m_path(path)
{
}

FMDatabase::~FMDatabase() { close(); }

void FMDatabase::setError(int code, const QString &what)
{
    m_error.code = code;
    m_error.message = code ? QStringLiteral("%1 (%2)").arg(what, m_openedPath.isEmpty() ? m_path : m_openedPath) : QString();
}

bool FMDatabase::open()
{
    m_error = {};
    return openFile(m_path, true);
}

bool FMDatabase::openFromCopy(const QString &folder)
{
    m_error = {};
    close();
    if (!QFileInfo(m_path).isFile()) {
        setError(SQLITE_CANTOPEN, QStringLiteral("No database to copy"));
        return false;
    }
    if (!QDir().mkpath(folder)) {
        setError(SQLITE_CANTOPEN, QStringLiteral("Could not create the folder %1 for a copy").arg(folder));
        return false;
    }
    const QString target = QDir(folder).filePath(QFileInfo(m_path).fileName());
    if (QFileInfo(target).absoluteFilePath() == QFileInfo(m_path).absoluteFilePath()) {
        setError(SQLITE_MISUSE, QStringLiteral("The copy would replace the original"));
        return false;
    }
    // Journal files of an earlier copy must go even when the original has none now: a stale
    // write-ahead log would be applied to the fresh copy.
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
        const QString from = m_path + QLatin1String(suffix);
        const QString to = target + QLatin1String(suffix);
        QFile::remove(to);
        if (QFileInfo::exists(from) && !QFile::copy(from, to)) {
            setError(SQLITE_CANTOPEN, QStringLiteral("Could not copy %1 to %2").arg(from, to));
            return false;
        }
    }
    return openFile(target, false);
}

bool FMDatabase::openFile(const QString &file, bool inPlace)
{
    close();
    m_openedPath = file;
    if (!QFileInfo(file).isFile()) {
        setError(SQLITE_CANTOPEN, QStringLiteral("No database file"));
        return false;
    }
    // The original is opened read-only. A copy is ours: it is opened writable only so that
    // SQLite can apply a copied journal, and query_only keeps every statement a reader.
    const int flags = (inPlace ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_FULLMUTEX;
    auto connection = std::make_shared<FMConnection>();
    const int rc = sqlite3_open_v2(QFile::encodeName(file).constData(), &connection->db, flags, nullptr);
    if (rc != SQLITE_OK) {
        setError(rc, QStringLiteral("Could not open the database: %1").arg(sqliteMessage(connection->db, rc)));
        return false;
    }
    sqlite3_extended_result_codes(connection->db, 1);
    sqlite3_busy_timeout(connection->db, m_busyTimeoutMs);
    m_connection = connection;
    executeQuery(QStringLiteral("PRAGMA query_only = 1")).next();
    // Reading the schema up front turns "not a database" into an error of open() itself.
    FMResultSet probe = executeQuery(QStringLiteral("SELECT count(*) FROM sqlite_master"));
    if (!probe.isValid() || (!probe.next() && probe.lastError().isError())) {
        const FMError error = probe.isValid() ? probe.lastError() : m_error;
        probe.close();
        m_connection.reset();
        m_error = error;
        return false;
    }
    m_error = {};
    return true;
}

void FMDatabase::close() { m_connection.reset(); }

bool FMDatabase::isOpen() const { return bool(m_connection); }

void FMDatabase::setBusyTimeout(int ms)
{
    m_busyTimeoutMs = qMax(0, ms);
    if (m_connection)
        sqlite3_busy_timeout(m_connection->db, m_busyTimeoutMs);
}

FMResultSet FMDatabase::executeQuery(const QString &sql, const QVariantList &arguments)
{
    FMResultSet result;
    if (!m_connection) {
        setError(SQLITE_MISUSE, QStringLiteral("The database is not open"));
        result.m_error = m_error;
        return result;
    }
    auto statement = std::make_shared<FMStatement>();
    statement->connection = m_connection;
    statement->sql = sql;
    sqlite3 *db = m_connection->db;
    const QByteArray utf8 = sql.toUtf8();
    int rc = sqlite3_prepare_v2(db, utf8.constData(), int(utf8.size()), &statement->stmt, nullptr);
    if (rc != SQLITE_OK || !statement->stmt) {
        setError(rc == SQLITE_OK ? SQLITE_MISUSE : rc,
                 QStringLiteral("Could not prepare \"%1\": %2").arg(sql, rc == SQLITE_OK ? QStringLiteral("empty statement") : sqliteMessage(db, rc)));
        result.m_error = m_error;
        return result;
    }
    const int placeholders = sqlite3_bind_parameter_count(statement->stmt);
    if (placeholders != arguments.size()) {
        setError(SQLITE_RANGE, QStringLiteral("\"%1\" has %2 placeholders but %3 arguments were given")
                                   .arg(sql).arg(placeholders).arg(arguments.size()));
        result.m_error = m_error;
        return result;
    }
    for (int i = 0; i < placeholders; ++i) {
        const QVariant &v = arguments.at(i);
        const int at = i + 1;
        switch (v.typeId()) {
        case QMetaType::UnknownType:
        case QMetaType::Nullptr:
            rc = sqlite3_bind_null(statement->stmt, at);
            break;
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
            rc = sqlite3_bind_int64(statement->stmt, at, v.toLongLong());
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            rc = sqlite3_bind_double(statement->stmt, at, v.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray b = v.toByteArray();
            rc = sqlite3_bind_blob64(statement->stmt, at, b.constData(), sqlite3_uint64(b.size()), SQLITE_TRANSIENT);
            break;
        }
        case QMetaType::QDateTime:
            rc = sqlite3_bind_double(statement->stmt, at, double(v.toDateTime().toMSecsSinceEpoch()) / 1000.0);
            break;
        default: {
            const QByteArray s = v.toString().toUtf8();
            rc = sqlite3_bind_text64(statement->stmt, at, s.constData(), sqlite3_uint64(s.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        }
        if (rc != SQLITE_OK) {
            setError(rc, QStringLiteral("Could not bind argument %1 of \"%2\": %3").arg(at).arg(sql, sqliteMessage(db, rc)));
            result.m_error = m_error;
            return result;
        }
    }
    m_error = {};
    result.m_statement = std::move(statement);
    return result;
}

bool FMDatabase::tableExists(const QString &table)
{
    FMResultSet rs = executeQuery(
        QStringLiteral("SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND lower(name) = lower(?)"), {table});
    return rs.next();
}

bool FMDatabase::columnExists(const QString &column, const QString &table)
{
    FMResultSet rs = executeQuery(QStringLiteral("SELECT name FROM pragma_table_info(?)"), {table});
    while (rs.next()) {
        if (rs.stringForColumn(0).compare(column, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------

bool FMResultSet::next()
{
    m_onRow = false;
    if (!m_statement)
        return false;
    const int rc = sqlite3_step(m_statement->stmt);
    if (rc == SQLITE_ROW) {
        m_onRow = true;
        return true;
    }
    if (rc != SQLITE_DONE) {
        sqlite3 *db = m_statement->connection->db;
        m_error.code = rc;
        m_error.message = QStringLiteral("Could not run \"%1\": %2 (%3)")
                              .arg(m_statement->sql, sqliteMessage(db, rc), QString::fromUtf8(sqlite3_db_filename(db, "main")));
    }
    return false;
}

void FMResultSet::close()
{
    m_statement.reset();
    m_onRow = false;
}

int FMResultSet::columnCount() const { return m_statement ? sqlite3_column_count(m_statement->stmt) : 0; }

QString FMResultSet::columnName(int index) const
{
    if (!m_statement || index < 0 || index >= columnCount())
        return {};
    return QString::fromUtf8(sqlite3_column_name(m_statement->stmt, index));
}

QStringList FMResultSet::columnNames() const
{
    QStringList names;
    for (int i = 0; i < columnCount(); ++i)
        names << columnName(i);
    return names;
}

int FMResultSet::columnIndexForName(const QString &name) const
{
    for (int i = 0; i < columnCount(); ++i) {
        if (columnName(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

bool FMResultSet::hasColumn(int index) const { return m_statement && m_onRow && index >= 0 && index < columnCount(); }

bool FMResultSet::columnIsNull(int index) const
{
    return !hasColumn(index) || sqlite3_column_type(m_statement->stmt, index) == SQLITE_NULL;
}

QString FMResultSet::stringForColumn(int index) const
{
    if (columnIsNull(index))
        return {};
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(m_statement->stmt, index));
    return QString::fromUtf8(text, sqlite3_column_bytes(m_statement->stmt, index));
}

int FMResultSet::intForColumn(int index) const { return int(longLongIntForColumn(index)); }

qint64 FMResultSet::longLongIntForColumn(int index) const
{
    return columnIsNull(index) ? 0 : sqlite3_column_int64(m_statement->stmt, index);
}

double FMResultSet::doubleForColumn(int index) const
{
    return columnIsNull(index) ? 0.0 : sqlite3_column_double(m_statement->stmt, index);
}

QByteArray FMResultSet::dataForColumn(int index) const
{
    if (columnIsNull(index))
        return {};
    const void *blob = sqlite3_column_blob(m_statement->stmt, index);
    const int size = sqlite3_column_bytes(m_statement->stmt, index);
    return QByteArray(static_cast<const char *>(blob), size);
}

QDateTime FMResultSet::dateForColumn(int index) const
{
    if (columnIsNull(index))
        return {};
    return QDateTime::fromMSecsSinceEpoch(qint64(doubleForColumn(index) * 1000.0), Qt::UTC);
}

QVariant FMResultSet::objectForColumn(int index) const
{
    if (columnIsNull(index))
        return {};
    switch (sqlite3_column_type(m_statement->stmt, index)) {
    case SQLITE_INTEGER: return longLongIntForColumn(index);
    case SQLITE_FLOAT: return doubleForColumn(index);
    case SQLITE_BLOB: return dataForColumn(index);
    default: return stringForColumn(index);
    }
}

QVariantMap FMResultSet::resultDictionary() const
{
    QVariantMap row;
    if (!m_onRow)
        return row;
    for (int i = 0; i < columnCount(); ++i)
        row.insert(columnName(i), objectForColumn(i));
    return row;
}
