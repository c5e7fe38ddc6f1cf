// A look by eye at the Upload pane's status line and the popover's status row while the real
// engine backs up a folder against the local service double (not run by ctest): pictures while
// files are sent and processed, and after the whole backup, one photo's name not being UTF-8.
//   xvfb-run -a preview_live_status OUTDIR [long]   (QT_SCALE_FACTOR=2 for twice the density)
#include "LumoraDouble.h"
#include "sync/SyncTestEngine.h"
#include "sync/SyncTestPhotos.h"

#include "app/menubar/TrayMenuController.h"
#include "app/menubar/TrayPopoverServices.h"
#include "windows/preferences/PreferencesPane.h"
#include "windows/sources/SourcesBackend.h"
#include "windows/sources/SourcesPreferencesViewController.h"

#include <QApplication>
#include <QScreen>
#include <QTranslator>
#include <QtTest>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QTranslator longer;
    if (argc > 2 && qstrcmp(argv[2], "long") == 0) {
        if (!longer.load(QStringLiteral(HOISTLY_TEST_LONG_QM)))
            return 2;
        QCoreApplication::installTranslator(&longer);
    }
    LumoraDouble service;
    if (!startServiceDoubleInThrowAwayHome(service))
        return 1;
    signInToServiceDouble(service);
    Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("Holiday"));
    QDir().mkpath(folder);
    for (int i = 0; i < 8; ++i)
        writePhoto(folder + QStringLiteral("/IMG_%1.jpg").arg(i), QStringLiteral("2020:05:%1 10:00:00").arg(i + 1, 2, 10, QLatin1Char('0')), quint32(4000 + i));
    const QString latin = writePhoto(folder + QStringLiteral("/latin.jpg"), QStringLiteral("2020:06:01 10:00:00"), 4100);
    ::rename(QFile::encodeName(latin).constData(), (QFile::encodeName(folder) + "/caf\xe9.jpg").constData());
    service.setFault(LumoraDouble::Fault::Slow, 600, QStringLiteral("upload"), -1);
    startEngine();
    FileManager::addCustomFolder(folder);

    PreferencesPane *window = PreferencesPane::preferencesWindowController();
    window->show();
    window->selectControllerAtIndex(1);
    TrayMenuController popover(nullptr);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    int shot = 0;
    auto save = [&](const QString &name) {
        QTest::qWait(200);
        const QString a = out + QStringLiteral("/%1-%2-pane.png").arg(shot, 2, 10, QLatin1Char('0')).arg(name);
        window->grab().save(a);
        popover.showRelativeTo(QRect(screen.right() - 200, screen.top(), 24, 24));
        QTest::qWait(500);
        const QString b = out + QStringLiteral("/%1-%2-popover.png").arg(shot++, 2, 10, QLatin1Char('0')).arg(name);
        popover.popoverWindow()->grab().save(b);
        std::printf("%s | %s | %s | to go %d | %s\n%s\n%s\n", qPrintable(LumoraDrive::statusLine1()), qPrintable(LumoraDrive::statusLine2()),
                    qPrintable(LumoraDrive::statusLine3()), TrayPopoverServices::instance().filesToUpload(),
                    qPrintable(LumoraDrive::statusLineShort()), qPrintable(a), qPrintable(b));
        std::fflush(stdout);
        popover.close();
    };
    QElapsedTimer clock;
    clock.start();
    while (!(LumoraUploader::isUploadingFile() && LumoraUploader::uploadedThisRun() + LumoraUploader::pendingTickets() >= 4) && clock.elapsed() < 30000)
        QTest::qWait(50);
    save(QStringLiteral("uploading"));
    service.clearFaults();
    LumoraUploader::waitUntilIdleForTesting(60000);
    while ((FileManager::isRunning() || LumoraUploader::pendingTickets() > 0) && clock.elapsed() < 90000)
        QTest::qWait(100);
    LumoraDrive::updateStatus();
    QTest::qWait(1500);
    save(QStringLiteral("done"));
    window->close();
    shutDownEngine();
    return 0;
}
