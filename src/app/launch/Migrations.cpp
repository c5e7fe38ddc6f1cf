#include "app/launch/Migrations.h"

#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "catalogue/FileManager.h"
#include "core/Dispatch.h"
#include "core/Settings.h"

#include <QFileInfo>

void Migrations::run(int lastRanBuild)
{
    DataStore *store = DataStore::instance();
    if (!store || !store->isOpen())
        return;

    // Nothing writes "DidReset2010", so the clearing runs at every launch.
    if (!Settings::boolForKey(QStringLiteral("DidReset2010"))) {
        for (FileData *record : store->allFileData())
            record->removeFlag(kClearedFlags);
        DataStore::save();
    }

    if (!Settings::boolForKey(QStringLiteral("DidReset2114"))) {
        for (FileData *record : store->allFileData()) {
            if (!record->excludedFromScan() || !QFileInfo::exists(record->fileFullPath()))
                continue;
            record->saveSetDataToDisk();
            Settings::addObject(record->fileFullPath().toLower(), QStringLiteral("ExcludedFoldersBackup"));
        }
        DataStore::save();
    }
    Settings::setBool(true, QStringLiteral("DidReset2114"));

    if (!Settings::boolForKey(QStringLiteral("DidReset2117"))) {
        // Written before the delayed work, so a crash in between does not repeat it.
        Settings::setBool(true, QStringLiteral("DidReset2117"));
        dispatch_main_delay([] {
            if (FileManager::importIPhotoEnabled()) {
                FileManager::setImportIPhotoEnabled(false);
                FileManager::setImportIPhotoEnabled(true);
            }
            for (const QString &path : FileManager::allSources()) {
                FileData *record = FileManager::fileDataForPath(path, 0, false);
                if (record && record->isVirtualLibrary())
                    FileManager::setFile(record, 1, true);
            }
        }, 0.5);
    }

    if (lastRanBuild < 1204) {
        for (FileData *record : store->allFileData())
            if (record->isFolder() && !record->albumName().isEmpty() && record->albumMode() == 0)
                record->setAlbumMode(1);
        if (FileManager::createIPhotoAlbumsEnabled()) {
            for (const QString &path : FileManager::allSources()) {
                if (!FileManager::pathIsIPhotoLibraryXMLSlow(path))
                    continue;
                FileData *record = FileManager::fileDataForPath(path);
                if (record && record->albumMode() == 0)
                    record->setAlbumMode(-2);
            }
        }
    }
}
