#pragma once
// Read-only access to other applications' SQLite databases (photo libraries, message stores).
// A database is opened in place read-only, or copied first together with its journal files
// ("-wal", "-shm", "-journal") so that a live database is read as its owner last left it.
// Queries are prepared statements with bound arguments; every failure is a value with the
// SQLite code and a message naming the database. One FMDatabase is used by one thread at a time.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <memory>

struct FMError
{
    int code = 0; // an SQLite result code; 0 when there was no error
    QString message;
    bool isError() const { return code != 0; }
};

struct FMConnection;
struct FMStatement;

class FMResultSet
{
public:
    FMResultSet() = default;

    // Moves to the next row; false at the end or on an error (see lastError()).
    bool next();
    void close();
    bool isValid() const { return bool(m_statement); }
    FMError lastError() const { return m_error; }

    int columnCount() const;
    QString columnName(int index) const;
    QStringList columnNames() const;
    // Case-insensitive; -1 when there is no such column.
    int columnIndexForName(const QString &name) const;

    bool columnIsNull(int index) const;
    bool columnIsNull(const QString &name) const { return columnIsNull(columnIndexForName(name)); }
    QString stringForColumn(int index) const;
    QString stringForColumn(const QString &name) const { return stringForColumn(columnIndexForName(name)); }
    int intForColumn(int index) const;
    int intForColumn(const QString &name) const { return intForColumn(columnIndexForName(name)); }
    qint64 longLongIntForColumn(int index) const;
    qint64 longLongIntForColumn(const QString &name) const { return longLongIntForColumn(columnIndexForName(name)); }
    double doubleForColumn(int index) const;
    double doubleForColumn(const QString &name) const { return doubleForColumn(columnIndexForName(name)); }
    bool boolForColumn(int index) const { return longLongIntForColumn(index) != 0; }
    bool boolForColumn(const QString &name) const { return boolForColumn(columnIndexForName(name)); }
    QByteArray dataForColumn(int index) const;
    QByteArray dataForColumn(const QString &name) const { return dataForColumn(columnIndexForName(name)); }
    // A number of seconds since 1970 as a date; invalid for NULL.
    QDateTime dateForColumn(int index) const;
    QDateTime dateForColumn(const QString &name) const { return dateForColumn(columnIndexForName(name)); }
    // The value in its stored type (integer, real, text, blob); null for NULL.
    QVariant objectForColumn(int index) const;
    QVariant objectForColumn(const QString &name) const { return objectForColumn(columnIndexForName(name)); }
    QVariantMap resultDictionary() const;

private:
    friend class FMDatabase;
    bool hasColumn(int index) const;
    std::shared_ptr<FMStatement> m_statement;
    FMError m_error;
    bool m_onRow = false;
};

class FMDatabase
{
public:
    explicit FMDatabase(const QString &path);
    ~FMDatabase();
    FMDatabase(const FMDatabase &) = delete;
    FMDatabase &operator=(const FMDatabase &) = delete;

    // Opens the database in place, read-only.
    bool open();
    // Copies the database and its journal files into `folder` (created when missing, earlier
    // copies replaced) and opens the copy; nothing is ever written to the original.
    bool openFromCopy(const QString &folder);
    // Result sets that are still alive keep working until they are closed.
    void close();
    bool isOpen() const;

    QString databasePath() const { return m_path; }
    // The file actually open: the original or its copy.
    QString openedPath() const { return m_openedPath; }

    // Arguments bind to the "?" placeholders in order: null, booleans and integers, reals,
    // byte arrays (blobs), dates (seconds since 1970) and text.
    FMResultSet executeQuery(const QString &sql, const QVariantList &arguments = {});
    bool tableExists(const QString &table);
    bool columnExists(const QString &column, const QString &table);

    FMError lastError() const { return m_error; }
    bool hadError() const { return m_error.isError(); }
    QString lastErrorMessage() const { return m_error.message; }
    int lastErrorCode() const { return m_error.code; }
    // How long a query waits for the owner's lock (milliseconds).
    void setBusyTimeout(int ms);

private:
    bool openFile(const QString &file, bool inPlace);
    void setError(int code, const QString &what);

    QString m_path;
    QString m_openedPath;
    std::shared_ptr<FMConnection> m_connection;
    FMError m_error;
    int m_busyTimeoutMs = 2000;
};
