#pragma once
// Catalogue files as other programs leave them, written straight to the store's path.
#include "catalogue/DataStore.h"

#include <QFile>
#include <QtGlobal>
#include <sqlite3.h>

namespace CatalogueTest {

// A catalogue written by a newer version of the app: a sound database whose schema version this
// build does not know, so it is neither usable nor ours to replace. Any store in memory is dropped
// and the old files deleted first. Returns false (and says why) if the file could not be made.
inline bool writeNewerVersionCatalogue()
{
    DataStore::resetForTesting();
    if (!DataStore::deleteStoreFiles()) {
        qWarning("the old catalogue files could not be deleted");
        return false;
    }
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(DataStore::storePath()).constData(), &db) == SQLITE_OK
              && sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        qWarning("sqlite: %s", db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return ok;
}

} // namespace CatalogueTest
