// Unticks or ticks a folder as the Upload pane's checkbox does, through the real catalogue, says
// "TOGGLED" and then idles until it is killed: the exclusion test kills it right there.
// Arguments: folder path, account id ("" when signed out), 1 to exclude or 0 to include.
// Environment: HOME (the test's).
#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    if (argc < 4)
        return 1;
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const QString account = QString::fromLocal8Bit(argv[2]);
    const bool exclude = qstrcmp(argv[3], "1") == 0;
    CatalogueHooks::instance().signedInAccountId = [account] { return account; };
    DataStore *store = DataStore::instance();
    if (!store->isOpen())
        return 2;
    FileData *r = store->fileDataForPathKey(FileManager::pathKey(folder));
    if (!r)
        return 3;
    r->setExcludedFromScan(exclude);
    if (FileData *parent = r->parent()) {
        if (exclude)
            parent->addFlag(FileFlags::HasExcludedChildren);
        else
            FileManager::updateFolderHasAnyExcludedChildren(parent);
    }
    r->resetCachedStatusRecursive(true);
    r->saveSetDataToDisk();
    DataStore::queueSave();
    std::fputs("TOGGLED\n", stdout);
    std::fflush(stdout);
    return app.exec();
}
