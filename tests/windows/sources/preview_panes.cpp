// Renders the preferences panes to PNG files for a look by eye (not a test):
//   xvfb-run -a preview_panes /tmp/out [long]
// The Upload pane shows a few hundred folders from an in-memory catalogue, then its status line
// as the engine words a few states (upload_status_*.png) and the note that a folder could not
// take a choice (upload_choice_not_saved.png: the whole screen). "long": every text much longer.
#include "support/FakeSourcesBackend.h"
#include "support/LongTranslator.h"
#include "sync/StatusModel.h"
#include "windows/preferences/AccountPreferencesViewController.h"
#include "windows/preferences/GeneralPreferencesViewController.h"
#include "windows/preferences/PreferencesPane.h"
#include "windows/preferences/PreferencesServices.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QApplication>
#include <QScreen>
#include <QScrollArea>
#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    QDir().mkpath(out);
    LongTranslator longer;
    if (argc > 2 && qstrcmp(argv[2], "long") == 0)
        QCoreApplication::installTranslator(&longer);
    QTemporaryDir dir;
    FakeSourcesBackend backend;
    SourcesBackend::setInstance(&backend);
    const QStringList roots{QStringLiteral("Pictures"), QStringLiteral("Family Archive"), QStringLiteral("Camera Uploads")};
    for (int s = 0; s < roots.size(); ++s) {
        const QString root = dir.path() + QLatin1Char('/') + roots[s];
        QDir().mkpath(root);
        backend.addCustomFolder(root);
        const RecordId r = backend.addRecord(root, 0, true);
        backend.record(r).foldersRecursive = 120;
        backend.record(r).photosRecursive = 4000 + s;
        backend.record(r).cachedStatus = s == 1 ? 2 : 4;
        for (int i = 0; i < 120; ++i) {
            const QString folder = root + QStringLiteral("/%1 %2").arg(s == 2 ? QStringLiteral("Roll") : QStringLiteral("Trip")).arg(2000 + i);
            QDir().mkpath(folder);
            const RecordId f = backend.addRecord(folder, r, true);
            backend.record(f).photosRecursive = 30 + i;
            backend.record(f).cachedStatus = (i % 7 == 0) ? 1 : 4;
            backend.record(f).excludedFromScan = (i % 11 == 5);
        }
    }
    backend.line1 = QStringLiteral("Uploading 1,204 photos");
    backend.line2 = QStringLiteral("(about 20 minutes left)");
    backend.running = true;
    backend.percent = 0.35;

    auto &services = PreferencesServices::instance();
    services.currentUserName = [] { return QStringLiteral("pat"); };
    services.photoCount = [] { return 4096; };
    services.storageUsed = [] { return qint64(123) * 1024 * 1024 * 1024; };

    PreferencesPane *window = PreferencesPane::preferencesWindowController();
    window->show();
    auto *sources = window->sourcesViewController();
    QSignalSpy landed(sources, &SourcesPreferencesViewController::sourcesRefreshed);
    sources->refreshViewForceRefreshUI(true);
    landed.wait(3000);
    sources->outlineView()->expand(sources->model()->index(1, 0));
    sources->updateStatus();
    QTest::qWait(300);
    window->grab().save(out + QStringLiteral("/upload_pane.png"));

    StatusInputs away;
    away.sourcesUnavailable = 1;
    away.left.tooSmall = 1;
    away.left.counted = true;
    StatusInputs unread;
    unread.signedIn = false;
    unread.settingsUnread = QStringLiteral("Permission denied");
    unread.settingsFile = QStringLiteral("/home/maximiliane.wolfeschlegelsteinhausen/.config/Lumora/Hoistly.conf");
    backend.running = false;
    for (const auto &[name, inputs] : {std::pair{"away", away}, std::pair{"settings_unread", unread}}) {
        const StatusModel status = composeStatus(inputs);
        backend.line1 = status.line1;
        backend.line2 = status.line2;
        sources->updateStatus();
        // Where the window is smaller than the pane (twice the density), its status line scrolled into sight.
        if (auto *scroller = window->findChild<QScrollArea *>())
            scroller->ensureVisible(scroller->widget()->width(), scroller->widget()->height(), 1, 1);
        QTest::qWait(200);
        window->grab().save(out + QStringLiteral("/upload_status_%1.png").arg(QLatin1String(name)));
    }
    // A tick the folder's settings file cannot take: said once, over the window.
    backend.flagsOnChoice = RecordFlags::ChoiceNotInFolder;
    sources->excludedFolderCheckboxHit(SourceItem{QString(), backend.recordForPath(dir.path() + QStringLiteral("/Pictures/Trip 2003"))}, false);
    QTest::qWait(500);
    QGuiApplication::primaryScreen()->grabWindow(0).save(out + QStringLiteral("/upload_choice_not_saved.png"));
    if (QWidget *note = QApplication::activeModalWidget())
        note->close();
    backend.flagsOnChoice = 0;
    for (int i = 0; i < 12; ++i) {
        const RecordId file = backend.addRecord(dir.path() + QStringLiteral("/Family Archive/Trip 2001/IMG_%1.JPG").arg(i),
                                                backend.recordForPath(dir.path() + QStringLiteral("/Family Archive/Trip 2001")), false);
        backend.record(file).needsUpload = QList<int>{NeedsUpload::Uploaded, NeedsUpload::Waiting, NeedsUpload::Deferred, NeedsUpload::AwaitingTicket, NeedsUpload::DuplicateOnServer, NeedsUpload::FailedThreeTimes}.at(i % 6);
        backend.record(file).uploadedRemoteId = i % 6 == 0 ? 1000 + i : 0;
    }
    sources->showDetailsViewForItem(SourceItem{QString(), backend.recordForPath(dir.path() + QStringLiteral("/Family Archive/Trip 2001"))});
    QTest::qWait(200);
    sources->detailsWindow()->grab().save(out + QStringLiteral("/details_window.png"));
    sources->detailsWindow()->close();
    window->selectControllerAtIndex(0);
    QTest::qWait(100);
    window->grab().save(out + QStringLiteral("/account_pane.png"));
    window->selectControllerAtIndex(2);
    QTest::qWait(100);
    window->grab().save(out + QStringLiteral("/about_pane.png"));
    window->close();
    SourcesBackend::setInstance(nullptr);
    return 0;
}
