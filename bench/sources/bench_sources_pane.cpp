// The Upload pane with 100,000 records under one source: opening the pane, expanding a folder of
// 10,000 entries, and a burst of 1,000 status changes, each timed on the GUI thread including
// the repaint. Run with QT_QPA_PLATFORM=offscreen.
#include "PaneBench.h"
#include "support/FakeSourcesBackend.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdio>

namespace {
void settle(QWidget *w)
{
    QCoreApplication::processEvents();
    w->repaint();
    QCoreApplication::processEvents();
}
} // namespace

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString root = dir.path() + QStringLiteral("/Photos");
    QDir().mkpath(root + QStringLiteral("/Big"));

    FakeSourcesBackend backend;
    SourcesBackend::setInstance(&backend);
    backend.addCustomFolder(root);
    const RecordId r = backend.addRecord(root, 0, true);
    const RecordId big = backend.addRecord(root + QStringLiteral("/Big"), r, true);
    QList<RecordId> folders;
    for (int i = 0; i < 10000; ++i) {
        const QString folder = root + QStringLiteral("/Big/folder%1").arg(i, 5, 10, QLatin1Char('0'));
        const RecordId f = backend.addRecord(folder, big, true);
        folders << f;
        for (int j = 0; j < 9; ++j)
            backend.addRecord(folder + QStringLiteral("/IMG_%1.JPG").arg(j), f, false);
    }
    std::printf("catalogue: %d records\n", 2 + 10000 * 10);

    QElapsedTimer t;
    t.start();
    SourcesPreferencesViewController pane;
    showAndGather(pane);
    settle(&pane);
    std::printf("open pane (construct, gather, first paint): %lld ms\n", t.elapsed());

    NSKeyboardSupportOutlineView *view = pane.outlineView();
    SourcesTreeModel *model = pane.model();
    const QModelIndex top = model->index(0, 0);
    view->expand(top);
    const QModelIndex bigIndex = model->index(0, 0, top);
    settle(&pane);
    t.restart();
    view->expand(bigIndex);
    settle(&pane);
    std::printf("expand a folder of %d entries: %lld ms\n", model->rowCount(bigIndex), t.elapsed());

    // Scroll to the middle so the changed rows include visible ones.
    view->scrollTo(model->index(5000, 0, bigIndex));
    settle(&pane);
    QSet<RecordId> burst;
    for (int i = 0; i < 1000; ++i) {
        const RecordId f = folders[4500 + i];
        backend.record(f).cachedStatus = (i % 2) ? 2 : 4;
        backend.record(f).photosRecursive = i;
        burst.insert(f);
    }
    const qint64 readsBefore = backend.stateReads;
    t.restart();
    backend.emitChanged(burst);
    settle(&pane);
    std::printf("burst of 1000 status changes: %lld ms (%lld record reads)\n", t.elapsed(), backend.stateReads - readsBefore);

    // The same burst as 1,000 separate reports.
    t.restart();
    for (RecordId f : std::as_const(burst))
        backend.emitChanged({f});
    settle(&pane);
    std::printf("1000 single status reports: %lld ms\n", t.elapsed());
    SourcesBackend::setInstance(nullptr);
    return 0;
}
