// The Upload pane on the real catalogue with 100,000 records under one source: opening the pane,
// expanding a folder of 10,000 entries, and a burst of 1,000 status changes reported by the
// catalogue, each timed on the GUI thread including the repaint. Run with
// QT_QPA_PLATFORM=offscreen; it works in a throw-away home folder.
#include "PaneBench.h"
#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "catalogue/FileManager.h"
#include "core/Settings.h"
#include "windows/sources/SourcesBackend.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>

namespace {
void settle(QWidget *w)
{
    FileDataChangeCenter::instance()->flush();
    QCoreApplication::processEvents();
    w->repaint();
    QCoreApplication::processEvents();
}
} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-bench-XXXXXX"));
    qputenv("HOME", QFile::encodeName(home.path()));
    for (const char *var : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        qunsetenv(var);
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    Settings::reloadForTesting();
    FileManager::resetForTesting();
    DataStore::resetForTesting();
    CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return false; };

    const QString root = QFileInfo(home.path()).canonicalFilePath() + QStringLiteral("/Photos");
    QDir().mkpath(root + QStringLiteral("/Big"));
    QElapsedTimer t;
    t.start();
    DataStore *store = DataStore::instance();
    FileData *r = store->createFileData(root, true, FileFlags::ChildrenListed);
    FileData *big = store->createFileData(root + QStringLiteral("/Big"), true, FileFlags::ChildrenListed);
    QList<FileData *> folders;
    for (int i = 0; i < 10000; ++i) {
        const QString folder = root + QStringLiteral("/Big/folder%1").arg(i, 5, 10, QLatin1Char('0'));
        FileData *f = store->createFileData(folder, true, FileFlags::ChildrenListed);
        folders << f;
        for (int j = 0; j < 9; ++j) {
            FileData *file = store->createFileData(folder + QStringLiteral("/IMG_%1.JPG").arg(j), false);
            file->setMediaKind(MediaKind::Photo);
        }
    }
    for (FileData *f : store->allFileData())
        f->setNeedsScan(0);
    FileDataChangeCenter::instance()->flush();
    std::printf("catalogue: %lld records (built in %lld ms)\n", qint64(store->fileDataCount()), t.elapsed());
    Settings::setObject(QStringList{root}, QStringLiteral("ImportCustomFolders"));

    SourcesBackend *engine = SourcesBackend::makeDefault();
    SourcesBackend::setInstance(engine);
    t.restart();
    SourcesPreferencesViewController pane;
    showAndGather(pane);
    settle(&pane);
    std::printf("open pane (construct, gather, first paint): %lld ms\n", t.elapsed());

    NSKeyboardSupportOutlineView *view = pane.outlineView();
    SourcesTreeModel *model = pane.model();
    const QModelIndex top = model->index(0, 0);
    view->expand(top);
    settle(&pane);
    const QModelIndex bigIndex = model->index(0, 0, top);
    t.restart();
    const int listed = int(SourcesTreeModel::childrenForRecord(big->fileID(), SourcesTreeModel::Tree::Main).size());
    std::printf("  (listing the %d children alone: %lld ms)\n", listed, t.elapsed());
    t.restart();
    view->expand(bigIndex);
    settle(&pane);
    std::printf("expand a folder of %d entries: %lld ms\n", model->rowCount(bigIndex), t.elapsed());

    view->scrollTo(model->index(5000, 0, bigIndex));
    settle(&pane);
    t.restart();
    for (int i = 0; i < 1000; ++i) {
        FileData *f = folders[4500 + i];
        f->resetCachedStatusRecursive(false);
        f->notifyStatusChanged();
    }
    settle(&pane);
    std::printf("burst of 1000 status changes: %lld ms\n", t.elapsed());

    // Change reports arriving while the 10,000 rows are open, as the scanner sends them: one
    // report at a time, each timed from its delivery to the repainted view.
    const QPersistentModelIndex chosen = model->index(5000, 0, bigIndex);
    view->setCurrentIndex(chosen);
    const SourceItem selected = model->itemAt(chosen);
    settle(&pane);
    auto timeReport = [&](const std::function<void()> &change) {
        change();
        QElapsedTimer timer;
        timer.start();
        FileDataChangeCenter::instance()->flush();
        view->viewport()->repaint();
        return timer.nsecsElapsed() / 1e6;
    };
    auto report = [&](const char *what, const QList<double> &ms) {
        QList<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        std::printf("%s: %d reports, median %.2f ms, worst %.2f ms; still open: %s, selection kept: %s\n", what,
                    int(ms.size()), sorted.at(sorted.size() / 2), sorted.last(),
                    view->isExpanded(bigIndex) ? "yes" : "NO", pane.selectedItem() == selected ? "yes" : "NO");
    };
    // A file found deep below one of the shown folders: every folder above it is told.
    QList<double> deep;
    for (int i = 0; i < 50; ++i) {
        deep << timeReport([&] {
            FileData *folder = folders[4900 + i];
            FileData *file = store->createFileData(folder->fileFullPath() + QStringLiteral("/NEW_%1.JPG").arg(i), false);
            file->setMediaKind(MediaKind::Photo);
            file->setNeedsUpload(NeedsUpload::Waiting);
            folder->notifyChildrenChanged();
            folder->notifyParentsOfChildrenChanged();
        });
    }
    report("a file found below a shown folder", deep);
    // A new folder among the 10,000: one row inserted in its place by name.
    QList<double> inserted;
    for (int i = 0; i < 50; ++i) {
        inserted << timeReport([&] {
            store->createFileData(root + QStringLiteral("/Big/folder%1x").arg(3000 + i * 97, 5, 10, QLatin1Char('0')), true);
            big->notifyChildrenChanged();
            big->notifyParentsOfChildrenChanged();
        });
    }
    report("a folder added among the shown folders", inserted);
    {
        store->createFileData(root + QStringLiteral("/Big/folder02500y"), true);
        QElapsedTimer timer;
        timer.start();
        const QList<RecordId> list = SourcesTreeModel::childrenForRecord(big->fileID(), SourcesTreeModel::Tree::Main);
        const double listed = timer.nsecsElapsed() / 1e6;
        timer.restart();
        model->updateChildren(bigIndex, list);
        const double applied = timer.nsecsElapsed() / 1e6;
        timer.restart();
        view->viewport()->repaint();
        std::printf("  (split: list %.2f ms, apply %.2f ms, repaint %.2f ms)\n", listed, applied, timer.nsecsElapsed() / 1e6);
    }
    std::printf("  (rows now: %d)\n", model->rowCount(bigIndex));
    // The reference, in this run: all 10,000 rows listed and rebuilt for one report.
    QList<double> rebuilt;
    for (int i = 0; i < 10; ++i) {
        QElapsedTimer timer;
        timer.start();
        model->setChildren(bigIndex, SourcesTreeModel::childrenForRecord(big->fileID(), SourcesTreeModel::Tree::Main));
        view->viewport()->repaint();
        rebuilt << timer.nsecsElapsed() / 1e6;
    }
    report("reference: the same report applied by rebuilding every row", rebuilt);
    SourcesBackend::setInstance(nullptr);
    return 0;
}
