// A look at the Upload pane by eye while the real scanner works (not run by ctest): generates a
// tree of photos in a throw-away home, opens the pane on it with a folder open and selected, and
// saves pictures of the window while the scan runs and after it. A memory card that was pulled
// out is listed too (a fake mount table: no card can be plugged in here).
//   xvfb-run -a preview_live_pane OUTDIR [long|FILE.qm]   ("long": every text twice as long,
//   translated; or a translation file such as the long test translation)
#include "catalogue/CatalogueTestSupport.h"
#include "catalogue/FileData.h"
#include "platform/DeviceDetection.h"
#include "support/LongTranslator.h"
#include "windows/preferences/PreferencesPane.h"
#include "windows/sources/NSKeyboardSupportOutlineView.h"
#include "windows/sources/SourcesBackend.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidget>
#include <QTranslator>
#include <QtTest>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace CatalogueTest;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    LongTranslator longer;
    QTranslator file;
    if (argc > 2 && qstrcmp(argv[2], "long") == 0)
        QCoreApplication::installTranslator(&longer);
    else if (argc > 2 && file.load(QString::fromLocal8Bit(argv[2])))
        QCoreApplication::installTranslator(&file);
    isolateHomeAndEnterTestMode();
    PreferencesPane::installUiHooks(); // each scan pass ends with a refresh, as in the application
    freshCatalogue();
    CatalogueHooks::instance().signedInAccountId = [] { return QStringLiteral("acct-1"); };
    QTemporaryDir dir;
    const QString base = QFileInfo(dir.path()).canonicalFilePath();
    const QString photos = base + QStringLiteral("/Family Photos");
    for (int f = 0; f < 40; ++f) {
        const QString folder = photos + QStringLiteral("/%1 Trip %2").arg(2000 + f).arg(f % 3 ? QStringLiteral("Summer") : QStringLiteral("Winter"));
        for (int i = 0; i < 25; ++i)
            writeFile(folder + QStringLiteral("/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0')), makeJpeg(20000, quint32(f * 100 + i)).bytes);
        if (f < 4)
            writeFile(folder + QStringLiteral("/Selects/best.jpg"), makeJpeg(20000, quint32(f + 9000)).bytes);
    }
    // Names that are not valid UTF-8 (Latin-1 bytes): listed in the details with a reason.
    const QByteArray summer = QFile::encodeName(photos + QStringLiteral("/2001 Trip Summer"));
    const QList<QByteArray> rawFiles = {summer + "/Caf\xe9 de Flore.jpg", summer + "/Selects/Cr\xeape.jpg"};
    const QByteArray rawFolder = summer + "/\xc9t\xe9 \xe0 Nice";
    for (const QByteArray &raw : rawFiles) {
        if (FILE *f = std::fopen(raw.constData(), "wb")) {
            const QByteArray bytes = makeJpeg(20000, 555).bytes;
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
            std::fclose(f);
        }
    }
    ::mkdir(rawFolder.constData(), 0700);
    // A card seen once, now pulled out.
    const QString sys = base + QStringLiteral("/sys");
    QDir().mkpath(sys + QStringLiteral("/class/block/sdz"));
    writeFile(sys + QStringLiteral("/class/block/sdz/removable"), "1\n");
    const QString card = base + QStringLiteral("/media/NIKON D3500");
    writeFile(base + QStringLiteral("/mountinfo"),
              QFile::encodeName(QStringLiteral("36 35 8:0 / %1 rw shared:1 - vfat /dev/sdz rw\n").arg(QString(card).replace(QLatin1Char(' '), QStringLiteral("\\040")))));
    writeFile(base + QStringLiteral("/mountinfo-empty"), QByteArray("22 1 0:5 / / rw - ext4 /dev/root rw\n"));
    DeviceDetection::setSystemPathsForTesting(base + QStringLiteral("/mountinfo"), sys);
    writeFile(card + QStringLiteral("/DCIM/100NIKON/DSC_0001.jpg"), makeJpeg(20000, 77).bytes);

    SourcesBackend::setInstance(SourcesBackend::makeDefault());
    FileManager::addCustomFolder(card + QStringLiteral("/DCIM"));
    FileManager::run();
    FileManager::waitUntilIdle(30000);
    {
        SourcesPreferencesViewController seen; // the card is seen while plugged in
        QSignalSpy landed(&seen, &SourcesPreferencesViewController::sourcesRefreshed);
        seen.refreshViewForceRefreshUI(true);
        landed.wait(5000);
    }
    QDir().rename(card, base + QStringLiteral("/pulled"));
    DeviceDetection::setSystemPathsForTesting(base + QStringLiteral("/mountinfo-empty"), sys);
    FileManager::setFile(FileManager::fileDataForPath(card + QStringLiteral("/DCIM"), 0, false), NeedsScan::Pending, false);
    FileManager::run();
    FileManager::waitUntilIdle(30000);

    // The big folder is added and scanned with the pane open.
    FileManager::addCustomFolder(photos);
    FileManager::run();
    SourcesPreferencesViewController pane;
    pane.setWindowTitle(QStringLiteral("Upload"));
    pane.resize(620, 460);
    pane.show();
    QSignalSpy landed(&pane, &SourcesPreferencesViewController::sourcesRefreshed);
    pane.refreshViewForceRefreshUI(true);
    landed.wait(5000);

    SourcesTreeModel *model = pane.model();
    NSKeyboardSupportOutlineView *view = pane.outlineView();
    int shot = 0;
    auto save = [&](const QString &name) {
        const QString path = out + QStringLiteral("/%1-%2.png").arg(shot++, 2, 10, QLatin1Char('0')).arg(name);
        pane.grab().save(path);
        std::printf("%s\n", qPrintable(path));
    };
    QElapsedTimer clock;
    clock.start();
    bool opened = false;
    while (FileManager::isRunning() || clock.elapsed() < 1500) {
        QTest::qWait(100);
        const QModelIndex top = model->index(model->rowCount() - 1, 0);
        if (!opened && model->hasChildren(top)) {
            view->expand(top);
            if (model->rowCount(top) > 2) {
                const QModelIndex second = model->index(1, 0, top);
                view->setCurrentIndex(second);
                opened = true;
            }
        }
        if (clock.elapsed() / 400 >= shot && shot < 6)
            save(QStringLiteral("scanning"));
        if (clock.elapsed() > 60000)
            break;
    }
    FileManager::waitUntilIdle(60000);
    QTest::qWait(800);
    save(QStringLiteral("done"));
    // A folder left out beside the selected one: the tree stays as it was.
    if (opened && model->rowCount(view->currentIndex().parent()) > 3) {
        pane.excludedFolderCheckboxHit(model->itemAt(model->index(3, 0, view->currentIndex().parent())), false);
        FileManager::waitUntilIdle(60000);
        QTest::qWait(800);
        save(QStringLiteral("after-untick"));
    }
    // Everything that can be is on the service: what holds a name that cannot be backed up says so.
    for (FileData *r : DataStore::instance()->allFileData()) {
        if (!r->isFolder() && r->needsUpload() == NeedsUpload::Waiting) {
            r->setUploadedRemoteId(r->fileID() + 1000);
            r->setNeedsUpload(NeedsUpload::Uploaded);
        }
    }
    QTest::qWait(800);
    save(QStringLiteral("uploaded"));
    if (opened)
        pane.showDetailsViewForItem(model->itemAt(view->currentIndex()));
    QTest::qWait(300);
    if (pane.detailsWindow()) {
        pane.detailsWindow()->grab().save(out + QStringLiteral("/details.png"));
        std::printf("%s/details.png\n", qPrintable(out));
        // The end of the list, with a subfolder open: what it holds that cannot be backed up.
        QTreeWidget *tree = pane.detailsOutlineView();
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            if (tree->topLevelItem(i)->text(0) == QStringLiteral("Selects"))
                tree->topLevelItem(i)->setExpanded(true);
        }
        tree->scrollToBottom();
        QTest::qWait(300);
        pane.detailsWindow()->grab().save(out + QStringLiteral("/details-end.png"));
        std::printf("%s/details-end.png\n", qPrintable(out));
    }
    SourcesBackend::setInstance(nullptr);
    for (const QByteArray &raw : rawFiles)
        ::unlink(raw.constData());
    ::rmdir(rawFolder.constData());
    return 0;
}
