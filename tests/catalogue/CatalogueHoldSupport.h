#pragma once
// For tests of what the main thread does while the catalogue's disk is held up: another program
// holding the catalogue's write lock, and a probe of the longest time the main thread's event
// loop stood still.
#include "catalogue/DataStore.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <sqlite3.h>

namespace CatalogueTest {

// Holds the catalogue's write lock from a connection of its own until released (or destroyed).
class CatalogueWriteLock
{
public:
    CatalogueWriteLock()
    {
        if (sqlite3_open(QFile::encodeName(DataStore::storePath()).constData(), &m_db) == SQLITE_OK)
            m_held = sqlite3_exec(m_db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~CatalogueWriteLock() { release(); }
    CatalogueWriteLock(const CatalogueWriteLock &) = delete;
    CatalogueWriteLock &operator=(const CatalogueWriteLock &) = delete;
    bool isHeld() const { return m_held; }
    void release()
    {
        if (m_held)
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_held = false;
        if (m_db)
            sqlite3_close(m_db);
        m_db = nullptr;
    }

private:
    sqlite3 *m_db = nullptr;
    bool m_held = false;
};

// Ticks every 5 ms on the main thread; the longest gap between two ticks, the one still open
// included, is how long the main thread stood still.
class MainThreadStallProbe
{
public:
    MainThreadStallProbe()
    {
        m_clock.start();
        QObject::connect(&m_ticker, &QTimer::timeout, [this] {
            m_longest = qMax(m_longest, m_clock.elapsed() - m_last);
            m_last = m_clock.elapsed();
        });
        m_ticker.start(5);
    }
    qint64 longestStallMs() const { return qMax(m_longest, m_clock.elapsed() - m_last); }

private:
    QElapsedTimer m_clock;
    QTimer m_ticker;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

} // namespace CatalogueTest
