// A new user's first day with Hoistly, end to end: the real launch path in this process with an
// empty home and the local service double; onboarding walked by clicking its buttons; sign-in in
// the real web view; a folder of generated photos chosen; every photo uploaded into the folder's
// album; the popover; pause and resume; quit; a relaunch of the real executable that must upload
// nothing again; log-out; and no credential in any log file.
//
// The steps are one road and run in order: a step that finds the road broken says so and the
// following steps fail fast instead of waiting out their timeouts.
#include "double/LumoraDouble.h"
#include "support/ScriptedModalUi.h"

#include "app/launch/AppDelegate.h"
#include "app/webview/SignInBrowser.h"
#include "app/launch/ShellBridge.h"
#include "app/menubar/MainController.h"
#include "app/menubar/TrayMenuController.h"
#include "app/menubar/TrayPopoverView.h"
#include "app/menubar/RecentUploadsGrid.h"
#include "core/LGLog.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"
#include "service/LumoraKit.h"
#include "sync/LumoraDrive.h"
#include "windows/onboarding/WelcomeServices.h"
#include "windows/onboarding/WelcomeWindowController.h"
#include "windows/preferences/PreferencesPane.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDirIterator>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMutex>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

#include <exiv2/exiv2.hpp>

#include <atomic>
#include <cstdio>

namespace {

constexpr int kPhotoCount = 6;
const QString kAlbumFolderName = QStringLiteral("Beach Holiday 2019");

// Records what the shell asks of the operating system. Inside a test process the event loop
// must not end and the process must not be killed; everything else runs for real.
struct ShellRecorder
{
    std::atomic<int> exitEventLoop{0};
    std::atomic<int> forceTerminate{0};
    QMutex mutex;
    QList<QStringList> launches; // arguments of every bundle launch
};

ShellRecorder &recorder()
{
    static ShellRecorder r;
    return r;
}

// A JPEG of noise (so every file has its own content samples) with its date taken in EXIF.
bool writePhoto(const QString &path, const QDateTime &taken, quint32 seed)
{
    QImage image(320, 240, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgb(int(random.bounded(256)), (x + int(seed) * 40) % 256, (y * 2) % 256);
    }
    if (!image.save(path, "JPEG", 90))
        return false;
    try {
        auto exif = Exiv2::ImageFactory::open(std::string(QFile::encodeName(path).constData()));
        exif->readMetadata();
        Exiv2::ExifData data = exif->exifData();
        const std::string stamp = taken.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toStdString();
        data["Exif.Photo.DateTimeOriginal"] = stamp;
        data["Exif.Photo.DateTimeDigitized"] = stamp;
        data["Exif.Image.DateTime"] = stamp;
        exif->setExifData(data);
        exif->writeMetadata();
    } catch (const std::exception &) {
        return false;
    }
    // A finished copy: a file changed moments ago is left until its writer is surely done.
    QFile written(path);
    return written.open(QIODevice::ReadWrite)
        && written.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-60), QFileDevice::FileModificationTime);
}

QWidget *currentScreen()
{
    WelcomeWindowController *w = WelcomeWindowController::instanceNoCreate();
    return w ? w->currentView() : nullptr;
}

QString currentScreenName()
{
    QWidget *screen = currentScreen();
    return screen ? screen->objectName() : QString();
}

// A click where a user would click: the middle of a button (the indicator of a check box).
void click(QAbstractButton *button)
{
    QVERIFY(button);
    QVERIFY2(button->isVisible() && button->isEnabled(), qPrintable(button->objectName()));
    const QPoint at = qobject_cast<QCheckBox *>(button) ? QPoint(8, button->height() / 2) : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, at);
}

QStringList filesUnder(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next();
    return out;
}

} // namespace

class TestAcceptance : public QObject
{
    Q_OBJECT

    LumoraDouble service;
    QTemporaryDir serviceState;
    ScriptedAlerts alerts;
    ScriptedFolderChooser chooser;
    RecordingUrlOpener opener;
    QString photoFolder;
    QStringList photoPaths;      // in the order of their dates taken, oldest first
    QStringList secretsSeen;     // verifiers and request tokens of the sign-in
    bool roadIntact = true;

    // Marks the road broken unless the step that calls this at its end got there.
    struct Step
    {
        explicit Step(bool &intact) : intact(intact) {}
        ~Step()
        {
            if (!done)
                intact = false;
        }
        bool &intact;
        bool done = false;
    };

    QList<LumoraDouble::Album> albumsTitled(const QString &title) const
    {
        QList<LumoraDouble::Album> out;
        for (const auto &a : service.albums(QString::fromLatin1(LumoraDoubleDefaults::userId)))
            if (a.title == title)
                out << a;
        return out;
    }

    // The web engine's libraries a process has mapped (0: this process).
    static QStringList webEngineMapped(qint64 pid)
    {
        QFile maps(pid ? QStringLiteral("/proc/%1/maps").arg(pid) : QStringLiteral("/proc/self/maps"));
        if (!maps.open(QIODevice::ReadOnly))
            return {QStringLiteral("<no maps>")};
        QStringList out;
        for (const QByteArray &line : maps.readAll().split('\n')) {
            const QString path = QString::fromLocal8Bit(line.mid(line.indexOf('/')));
            const QString name = path.section(QLatin1Char('/'), -1);
            if (line.contains('/') && !out.contains(path)
                && (name.startsWith(QLatin1String("libQt6WebEngine")) || name.startsWith(QLatin1String("libQt6Quick"))
                    || name.startsWith(QLatin1String("libQt6Qml"))))
                out << path;
        }
        return out;
    }

    static QVariant js(SignInBrowser *page, const QString &script)
    {
        auto result = std::make_shared<QVariant>();
        auto done = std::make_shared<bool>(false);
        page->runScript(script, [result, done](const QVariant &v) {
            *result = v;
            *done = true;
        });
        QElapsedTimer wait;
        wait.start();
        while (!*done && wait.elapsed() < 10000)
            QTest::qWait(20);
        return *result;
    }

    TrayMenuController *popover() const
    {
        MainController *mc = MainController::instanceNoCreate();
        return mc ? mc->findChild<TrayMenuController *>() : nullptr;
    }

    static QString logTail(int chars)
    {
        LGLog::flushLog();
        QString all;
        for (const QString &path : filesUnder(StandardPaths::logsFolder())) {
            QFile f(path);
            if (f.open(QIODevice::ReadOnly))
                all += QString::fromUtf8(f.readAll());
        }
        return all.right(chars);
    }

    // What the application and the service saw, for a step that finds the road broken.
    void dumpDiagnostics(bool withLog = true) const
    {
        if (withLog)
            for (const QString &line : logTail(12000).split(QLatin1Char('\n')))
                qInfo().noquote() << "log:" << line;
        for (const auto &u : service.uploads()) {
            QStringList args;
            for (auto it = u.args.cbegin(); it != u.args.cend(); ++it)
                if (!it.key().startsWith(QLatin1String("oauth_")))
                    args << it.key() + QLatin1Char('=') + it.value();
            qInfo().noquote() << "upload:" << u.fileName << u.result << args.join(QLatin1Char(' '));
        }
    }

    QString alertTexts() const
    {
        QStringList out;
        for (const auto &r : alerts.requests)
            out << r.title + QStringLiteral(": ") + r.message;
        return out.join(QStringLiteral(" | "));
    }

    QString hoistlyExecutable() const { return QStringLiteral(HOISTLY_EXECUTABLE); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QStandardPaths::isTestModeEnabled());
        QVERIFY2(QFileInfo(hoistlyExecutable()).isExecutable(), qPrintable(hoistlyExecutable()));
        // An empty home: nothing of an earlier run, no settings, no catalogue, no logs.
        QVERIFY(QDir(QDir::homePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());

        QVERIFY(serviceState.isValid());
        QVERIFY(service.start(0, serviceState.path()));
        service.exportEnvironment();

        // The folder the user will choose: photos taken on different days, named so that the
        // order of the names is not the order of the dates.
        photoFolder = QDir::homePath() + QStringLiteral("/Photos/") + kAlbumFolderName;
        QVERIFY(QDir().mkpath(photoFolder));
        const QDateTime first(QDate(2019, 7, 1), QTime(9, 30), Qt::UTC);
        for (int i = 0; i < kPhotoCount; ++i) {
            const QString path = photoFolder + QStringLiteral("/IMG_%1.jpg").arg(100 + i);
            QVERIFY(writePhoto(path, first.addDays(kPhotoCount - i), quint32(1000 + i)));
            QVERIFY(QFileInfo(path).size() > 2560);
            photoPaths.prepend(path);
        }

        Alerts::setPresenter(&alerts);
        FolderChoosers::setChooser(&chooser);
        UrlOpeners::setOpener(&opener);

        ShellEnvironment &env = ShellEnvironment::instance();
        env.exitEventLoop = [] { ++recorder().exitEventLoop; };
        env.forceTerminate = [] { ++recorder().forceTerminate; };
        env.launchBundle = [](const QString &, const QStringList &arguments) {
            QMutexLocker lock(&recorder().mutex);
            recorder().launches << arguments;
            return true;
        };
    }

    void cleanupTestCase()
    {
        // A road broken early leaves the onboarding window open; it goes before the application.
        if (QPointer<WelcomeWindowController> window = WelcomeWindowController::instanceNoCreate()) {
            WelcomeWindowController::forceClose();
            QTRY_VERIFY_WITH_TIMEOUT(!window, 10000);
        }
        Alerts::setPresenter(nullptr);
        FolderChoosers::setChooser(nullptr);
        UrlOpeners::setOpener(nullptr);
        service.stop();
    }

    void firstLaunchOpensOnboarding()
    {
        Step step(roadIntact);
        AppDelegate::instance()->applicationDidFinishLaunching({QCoreApplication::applicationFilePath()});
        QTRY_VERIFY_WITH_TIMEOUT(WelcomeWindowController::instanceNoCreate(), 20000);
        WelcomeWindowController *window = WelcomeWindowController::instanceNoCreate();
        QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(currentScreenName(), QStringLiteral("welcomeView"), 10000);
        QVERIFY(!WelcomeWindowController::hasCompletedWelcomeScreen());
        // While onboarding is not complete the application shows itself like a windowed one.
        QVERIFY(!AppDelegate::instance()->hideDockIcon());
        QVERIFY(MainController::instanceNoCreate());
        // The launch asked for its update-check copy.
        {
            QMutexLocker lock(&recorder().mutex);
            QCOMPARE(recorder().launches.size(), 1);
            QCOMPARE(recorder().launches.first(), QStringList{QStringLiteral("/check-for-updates")});
        }
        QVERIFY2(alerts.count() == 0, qPrintable(alertTexts()));
        step.done = true;
    }

    // The onboarding window's sign-in must reach the service client that the engine uses.
    void signInIsWiredToTheServiceClient()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        WelcomeServices *services = WelcomeServices::instance();
        const QString engineSecret = LumoraKit::sharedLumoraKit()->secret();
        QCOMPARE(engineSecret, service.apiSecret());
        QCOMPARE(services->sharedSecret(), engineSecret);
        QVERIFY(!services->isAuthorized());
    }

    void signInThroughTheWebView()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        Step step(roadIntact);
        WelcomeWindowController *window = WelcomeWindowController::instanceNoCreate();
        QVERIFY(window);
        // A configured service has no alpha environment beside it, so a new user is never asked
        // which environment to use. The window probes in the background as it opens.
        QTRY_VERIFY_WITH_TIMEOUT(!Settings::objectForKey(QStringLiteral("AlphaEnvAvailable")).isNull(), 40000);
        QVERIFY(!WelcomeWindowController::isAlphaEnvironmentAvailable());
        const int asked = alerts.count();
        // The web view's code comes in only with the sign-in page.
        QVERIFY2(webEngineMapped(0).isEmpty(), qPrintable(webEngineMapped(0).join(' ')));
        click(currentScreen()->findChild<QAbstractButton *>(QStringLiteral("signInButton")));
        QCOMPARE(alerts.count(), asked);
        const int expectedAlerts = alerts.count();
        auto pageShown = [&] { return currentScreenName() == QStringLiteral("oAuthView") || alerts.count() > expectedAlerts; };
        QElapsedTimer waited;
        waited.start();
        while (!pageShown() && waited.elapsed() < 30000)
            QTest::qWait(50);
        if (!pageShown())
            dumpDiagnostics();
        QVERIFY2(pageShown(), qPrintable(QStringLiteral("screen %1, waiting %2, requests %3")
                                             .arg(currentScreenName())
                                             .arg(window->waitingViewActive())
                                             .arg(service.requestedPaths().join(QLatin1Char(' ')))));
        QVERIFY2(alerts.count() == expectedAlerts, qPrintable(alertTexts()));
        QVERIFY(!Settings::boolForKey(QStringLiteral("alphaEnv")));
        QVERIFY(window->webView());
        QVERIFY(webEngineMapped(0).filter(QStringLiteral("libQt6WebEngineCore")).size() == 1);
        SignInBrowser *page = window->webView();
        QTRY_COMPARE_WITH_TIMEOUT(js(page, QStringLiteral("document.title")).toString(), QStringLiteral("Lumora: Authorize Hoistly"), 30000);
        QVERIFY(page->url().toString().startsWith(service.baseUrl() + QStringLiteral("/services/oauth/authorize")));

        // The user allows access on the service's page.
        js(page, QStringLiteral("document.getElementById('allow-button').click(); true"));
        QTRY_VERIFY2_WITH_TIMEOUT(currentScreenName() == QStringLiteral("introView") || alerts.count() > expectedAlerts,
                                  qPrintable(currentScreenName()), 30000);
        QVERIFY2(alerts.count() == expectedAlerts, qPrintable(alertTexts()));

        LumoraKit *kit = LumoraKit::sharedLumoraKit();
        QVERIFY(kit->isAuthorized());
        QCOMPARE(kit->currentUserID(), QString::fromLatin1(LumoraDoubleDefaults::userId));
        QCOMPARE(kit->currentUserName(), QString::fromLatin1(LumoraDoubleDefaults::userName));
        QCOMPARE(service.liveAccessTokens(QString::fromLatin1(LumoraDoubleDefaults::userId)), 1);
        QCOMPARE(Settings::stringForKey(QStringLiteral("LumoraLoggedInUserName")), QString::fromLatin1(LumoraDoubleDefaults::userName));

        // What the log must never hold: the verifier and the request token of this exchange.
        for (const auto &r : service.requests()) {
            if (r.path != QLatin1String("/services/oauth/access_token"))
                continue;
            const QUrlQuery query(QUrl(service.baseUrl() + r.target));
            secretsSeen << query.queryItemValue(QStringLiteral("oauth_verifier"), QUrl::FullyDecoded)
                        << query.queryItemValue(QStringLiteral("oauth_token"), QUrl::FullyDecoded);
        }
        secretsSeen.removeAll(QString());
        QCOMPARE(secretsSeen.size(), 2);
        QCOMPARE(service.rejectedSignatures(), 0);
        step.done = true;
    }

    void chooseTheFolderAndFinish()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        Step step(roadIntact);
        const int asked = alerts.count();
        click(currentScreen()->findChild<QAbstractButton *>(QStringLiteral("nextButton")));
        QTRY_COMPARE_WITH_TIMEOUT(currentScreenName(), QStringLiteral("importPicturesView"), 10000);

        // Only the chosen folder is to be uploaded: the standard folders are unticked.
        QWidget *screen = currentScreen();
        for (QCheckBox *box : screen->findChildren<QCheckBox *>()) {
            if (box->isVisible() && box->isChecked())
                click(box);
            QVERIFY2(!box->isChecked(), qPrintable(box->objectName()));
        }
        click(screen->findChild<QAbstractButton *>(QStringLiteral("yesButton")));
        QTRY_COMPARE_WITH_TIMEOUT(currentScreenName(), QStringLiteral("importFolderView"), 10000);

        chooser.enqueue({photoFolder});
        click(currentScreen()->findChild<QAbstractButton *>(QStringLiteral("addFolderButton")));
        // "+" opens the add-source menu; the user picks "Add a folder" and chooses the folder.
        QMenu *menu = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) != nullptr, 5000);
        QAction *addFolder = nullptr;
        for (QAction *action : menu->actions())
            if (action->text() == QStringLiteral("Add a folder"))
                addFolder = action;
        QVERIFY(addFolder);
        addFolder->trigger();
        menu->close();
        QCOMPARE(chooser.count(), 1);
        WelcomeWindowController *window = WelcomeWindowController::instanceNoCreate();
        QTRY_VERIFY_WITH_TIMEOUT(window->sourcesShown().join(QLatin1Char('\n')).contains(kAlbumFolderName), 10000);

        click(currentScreen()->findChild<QAbstractButton *>(QStringLiteral("importFoldersButton")));
        QTRY_COMPARE_WITH_TIMEOUT(currentScreenName(), QStringLiteral("setupCompleteView"), 10000);
        // The done screen completes onboarding a moment after it shows.
        QTRY_VERIFY_WITH_TIMEOUT(WelcomeWindowController::hasCompletedWelcomeScreen(), 5000);

        QPointer<WelcomeWindowController> guard(window);
        click(currentScreen()->findChild<QAbstractButton *>(QStringLiteral("doneButton")));
        QTRY_VERIFY_WITH_TIMEOUT(!guard || !guard->isVisible(), 10000);
        QVERIFY(AppDelegate::instance()->hideDockIcon());
        // The preferences window follows, on the Upload pane.
        QTRY_VERIFY_WITH_TIMEOUT(PreferencesPane::preferencesWindowControllerNoCreate(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(PreferencesPane::preferencesWindowControllerNoCreate()->isVisible(), 10000);
        QVERIFY2(alerts.count() == asked, qPrintable(alertTexts()));
        step.done = true;
    }

    void everyPhotoIsUploadedOnce()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        Step step(roadIntact);
        const QString owner = QString::fromLatin1(LumoraDoubleDefaults::userId);
        // Uploaded and finished by the service: every photo is in the account.
        auto allThere = [&] {
            if (service.photos(owner).size() < kPhotoCount)
                return false;
            for (const auto &t : service.tickets())
                if (!t.complete)
                    return false;
            return true;
        };
        QElapsedTimer waited;
        waited.start();
        while (!allThere() && waited.elapsed() < 120000)
            QTest::qWait(100);
        if (!allThere())
            dumpDiagnostics();
        QVERIFY2(allThere(), qPrintable(QStringLiteral("uploads %1, photos %2, albums %3, status \"%4 / %5 / %6\", service calls %7")
                                            .arg(service.uploads().size())
                                            .arg(service.photos(owner).size())
                                            .arg(service.albums(owner).size())
                                            .arg(LumoraDrive::statusLine1(), LumoraDrive::statusLine2(), LumoraDrive::statusLine3())
                                            .arg(service.restMethodsCalled().join(QLatin1Char(' ')))));
        QCOMPARE(service.photos(owner).size(), kPhotoCount);

        // Each file went up once, as a private photo, and in the order of the dates taken.
        const auto uploads = service.uploads();
        QCOMPARE(uploads.size(), kPhotoCount);
        QStringList sentNames;
        QSet<QString> md5s;
        for (const auto &u : uploads) {
            QCOMPARE(u.path, QStringLiteral("/services/upload/"));
            QVERIFY2(!u.result.startsWith(QLatin1String("error")), qPrintable(u.result));
            QCOMPARE(u.args.value(QStringLiteral("is_public"), QStringLiteral("0")), QStringLiteral("0"));
            sentNames << u.fileName;
            md5s.insert(u.md5);
        }
        QCOMPARE(md5s.size(), kPhotoCount);
        QStringList expectedNames;
        for (const QString &path : std::as_const(photoPaths))
            expectedNames << QFileInfo(path).fileName();
        QCOMPARE(sentNames, expectedNames);

        // The uploaded bytes are the files on disk.
        QSet<QString> diskMd5;
        for (const QString &path : std::as_const(photoPaths)) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            diskMd5.insert(QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Md5).toHex()));
        }
        QCOMPARE(md5s, diskMd5);
        QTRY_VERIFY_WITH_TIMEOUT(LumoraDrive::statusIsComplete(), 60000);
        QCOMPARE(service.rejectedSignatures(), 0);
        step.done = true;
    }

    // Each folder's photos go into an album named after the folder, created when needed. A
    // failure here leaves the road open: the photos are on the service either way.
    void photosGoIntoTheFoldersAlbum()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        const QString owner = QString::fromLatin1(LumoraDoubleDefaults::userId);
        const auto albums = albumsTitled(kAlbumFolderName);
        if (albums.isEmpty())
            dumpDiagnostics(false);
        QVERIFY2(albums.size() == 1, qPrintable(QStringLiteral("%1 albums titled \"%2\"; the uploads named no album")
                                                    .arg(albums.size()).arg(kAlbumFolderName)));
        QCOMPARE(service.albums(owner).size(), 1);
        QStringList inAlbum = albums.first().photoIds;
        QStringList uploaded;
        for (const auto &p : service.photos(owner))
            uploaded << p.id;
        std::sort(inAlbum.begin(), inAlbum.end());
        std::sort(uploaded.begin(), uploaded.end());
        QCOMPARE(inAlbum, uploaded);
        // The album was made once: by the first upload, which named it; the others joined it.
        int created = 0;
        for (const auto &u : service.uploads())
            if (u.args.contains(QStringLiteral("photoset_title")))
                ++created;
        QCOMPARE(created, 1);
    }

    void popoverShowsTheLastUploads()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        Step step(roadIntact);
        MainController *mc = MainController::instanceNoCreate();
        QVERIFY(mc);
        mc->mouseDown(); // a click on the status item
        QTRY_VERIFY_WITH_TIMEOUT(popover() && popover()->isShown(), 10000);
        TrayMenuController *controller = popover();
        QTRY_COMPARE_WITH_TIMEOUT(controller->contents().size(), kPhotoCount, 10000);
        QCOMPARE(QSet<QString>(controller->contents().cbegin(), controller->contents().cend()),
                 QSet<QString>(photoPaths.cbegin(), photoPaths.cend()));
        QCOMPARE(controller->contents().first(), photoPaths.last()); // newest upload first
        TrayMenuPhotoContainer *grid = controller->trayMenuView()->recentUploadsImagesContainer();
        QTRY_COMPARE_WITH_TIMEOUT(grid->contents(), controller->contents(), 10000);
        // Every thumbnail is drawn at full opacity: the service finished each photo.
        for (const QString &path : std::as_const(photoPaths)) {
            QTRY_VERIFY_WITH_TIMEOUT(grid->cellForPath(path), 10000);
            QTRY_COMPARE_WITH_TIMEOUT(grid->cellForPath(path)->alphaValue(), 1.0, 10000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(controller->trayMenuView()->recentUploadRowsVisible() >= 1.0, 10000);
        step.done = true;
    }

    void pauseForAnHourFromTheMenuAndResume()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        Step step(roadIntact);
        TrayMenuController *controller = popover();
        QVERIFY(controller && controller->isShown());
        QVERIFY(!LumoraDrive::paused());
        auto *playPause = controller->trayMenuView()->statusPlayPauseButton();
        click(playPause);
        QMenu *menu = controller->lastMenu();
        QVERIFY(menu);
        QAction *oneHour = nullptr;
        for (QAction *a : menu->actions())
            if (a->text() == QStringLiteral("For 1 hour"))
                oneHour = a;
        QVERIFY(oneHour);
        const QDateTime before = QDateTime::currentDateTimeUtc();
        oneHour->trigger();
        menu->close();
        QTRY_VERIFY_WITH_TIMEOUT(LumoraDrive::paused(), 5000);
        const QDateTime until = LumoraDrive::pausedUntil();
        QVERIFY(until.isValid());
        QVERIFY2(qAbs(before.secsTo(until) - 3600) <= 60, qPrintable(until.toString(Qt::ISODate)));
        // The status says until when, here and in the popover.
        QTRY_VERIFY2_WITH_TIMEOUT(LumoraDrive::statusLine1().startsWith(QStringLiteral("Paused until ")),
                                  qPrintable(LumoraDrive::statusLine1()), 5000);
        QCOMPARE(LumoraDrive::statusLineShort(), QStringLiteral("Paused"));
        // The popover may have gone with the menu; the user opens it again to see the state.
        QTest::qWait(300);
        if (!controller->isShown()) {
            MainController::instanceNoCreate()->mouseDown();
            QTRY_VERIFY_WITH_TIMEOUT(controller->isShown(), 10000);
        }
        TrayMenuView *view = controller->trayMenuView();
        QTRY_VERIFY2_WITH_TIMEOUT(view->statusTextField()->text() == QStringLiteral("Paused")
                                      || view->statusTextFieldNoIcon()->text() == QStringLiteral("Paused"),
                                  qPrintable(QStringLiteral("popover shown %1, status \"%2\" / \"%3\"")
                                                 .arg(controller->isShown())
                                                 .arg(view->statusTextField()->text(), view->statusTextFieldNoIcon()->text())),
                                  5000);

        // While paused the same button resumes at once.
        click(controller->trayMenuView()->statusPlayPauseButton());
        QTRY_VERIFY_WITH_TIMEOUT(!LumoraDrive::paused(), 5000);
        QVERIFY(!LumoraDrive::pausedUntil().isValid());
        QTRY_VERIFY2_WITH_TIMEOUT(!LumoraDrive::statusLine1().startsWith(QStringLiteral("Paused")),
                                  qPrintable(LumoraDrive::statusLine1()), 5000);
        step.done = true;
    }

    // The road of one new photo: the folder is watched, the photo is found, and it waits while
    // uploads are paused. Its failure leaves the road open.
    void aPhotoAddedWhilePausedGoesUpAfterResuming()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        const QString owner = QString::fromLatin1(LumoraDoubleDefaults::userId);
        MainController *mc = MainController::instanceNoCreate();
        const int before = int(service.uploads().size());
        mc->pauseSync1h();
        QTRY_VERIFY_WITH_TIMEOUT(LumoraDrive::paused(), 5000);

        const QString path = photoFolder + QStringLiteral("/IMG_200.jpg");
        QVERIFY(writePhoto(path, QDateTime(QDate(2019, 8, 15), QTime(18, 0), Qt::UTC), 2000));
        // Long enough for the folder watch, the scan and an upload had the pause not held it.
        QTest::qWait(8000);
        QCOMPARE(int(service.uploads().size()), before);

        mc->resumeSync();
        QTRY_VERIFY_WITH_TIMEOUT(!LumoraDrive::paused(), 5000);
        auto uploaded = [&] {
            for (const auto &u : service.uploads())
                if (u.fileName == QFileInfo(path).fileName())
                    return true;
            return false;
        };
        QElapsedTimer waited;
        waited.start();
        while (!uploaded() && waited.elapsed() < 60000)
            QTest::qWait(100);
        if (!uploaded())
            dumpDiagnostics();
        QVERIFY2(uploaded(), "the photo added to the watched folder was not uploaded");
        QCOMPARE(int(service.uploads().size()), before + 1);
        QTRY_COMPARE_WITH_TIMEOUT(int(service.photos(owner).size()), kPhotoCount + 1, 60000);
        photoPaths << path;
    }

    void quitThroughTheMenuAfterConfirming()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        Step step(roadIntact);
        MainController *mc = MainController::instanceNoCreate();
        if (TrayMenuController *controller = popover())
            controller->close();
        const int asked = alerts.count();
        alerts.enqueue(0); // Quit
        mc->quitApp();
        QCOMPARE(alerts.count(), asked + 1);
        QCOMPARE(alerts.last().title, QStringLiteral("Quit Lumora Hoistly?"));
        QCOMPARE(alerts.last().buttons.value(0), QStringLiteral("Quit"));
        QVERIFY(mc->quitScreenOpen()); // the uploader keeps waiting until the process ends
        QTRY_COMPARE_WITH_TIMEOUT(recorder().exitEventLoop.load(), 1, 10000);
        QVERIFY(mc->isShutDown());
        QVERIFY(AppDelegate::instance()->hasTerminated());
        // The backstop: the own process is ended a little later in any case.
        QTRY_VERIFY_WITH_TIMEOUT(recorder().forceTerminate.load() >= 1, 10000);
        step.done = true;
    }

    void relaunchUploadsNothingTwice()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        Step step(roadIntact);
        const QString owner = QString::fromLatin1(LumoraDoubleDefaults::userId);
        const auto albumsBeforeRelaunch = service.albums(owner).size();
        const auto photosBeforeRelaunch = service.photos(owner).size();
        QVERIFY(photosBeforeRelaunch >= kPhotoCount);
        service.resetRecords();

        // The real executable with the same home and the same folders; Qt's test mode moves them
        // under ~/.qttest, so the XDG variables say where they are.
        const QString home = QDir::homePath();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.qttest/share"));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.qttest/state"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.qttest/.cache"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.qttest/.config"));
        QCOMPARE(environment.value(QStringLiteral("XDG_DATA_HOME")) + QStringLiteral("/Lumora"), StandardPaths::lumoraFolder());
        QCOMPARE(environment.value(QStringLiteral("XDG_STATE_HOME")) + QStringLiteral("/Hoistly"), StandardPaths::logsFolder());
        QCOMPARE(environment.value(QStringLiteral("XDG_CONFIG_HOME")) + QStringLiteral("/Lumora/Hoistly.plist"),
                 StandardPaths::userDefaultsFile());
        QVERIFY(QFileInfo::exists(StandardPaths::userDefaultsFile()));

        // The log so far, to tell the relaunched process's lines from this process's.
        const int logBefore = logTail(INT_MAX).size();

        QProcess app;
        app.setProcessEnvironment(environment);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(hoistlyExecutable(), {});
        QVERIFY2(app.waitForStarted(10000), qPrintable(app.errorString()));

        // It signs in with the stored token, refreshes the account and scans; give it ~20 s.
        auto restCalled = [&](const QString &method) { return service.restMethodsCalled().contains(method); };
        QTRY_VERIFY_WITH_TIMEOUT(restCalled(QStringLiteral("lumora.auth.oauth.checkToken")) || app.state() != QProcess::Running, 20000);
        QElapsedTimer running;
        running.start();
        while (running.elapsed() < 20000 && app.state() == QProcess::Running)
            QTest::qWait(200);
        const QByteArray output = app.readAll();
        QVERIFY2(app.state() == QProcess::Running, output.right(3000).constData());
        // Signed in, with nothing to sign in to: the web view's code was never loaded.
        const QStringList mapped = webEngineMapped(app.processId());
        QVERIFY2(mapped.isEmpty(), qPrintable(mapped.join(' ')));

        app.terminate(); // SIGTERM: the application's own termination path
        QVERIFY2(app.waitForFinished(15000), output.right(3000).constData());
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);

        QVERIFY(restCalled(QStringLiteral("lumora.auth.oauth.checkToken")));
        // The stored sign-in was loaded before the engine's first refresh of the account, so that
        // refresh went out signed instead of failing and waiting for the sign-in check.
        const QString relaunchLog = logTail(INT_MAX).mid(logBefore);
        QVERIFY2(relaunchLog.contains(QStringLiteral("LUMORA: Refreshing")), qPrintable(relaunchLog.right(3000)));
        QVERIFY2(!relaunchLog.contains(QStringLiteral("Not signed in; nothing to refresh")), qPrintable(relaunchLog.right(3000)));
        // It read the account's checksum list and albums: what it knows is on the service.
        QVERIFY2(restCalled(QStringLiteral("lumora.photos.dedup.getChecksums")), qPrintable(service.restMethodsCalled().join(QLatin1Char(' '))));
        QVERIFY2(restCalled(QStringLiteral("lumora.photosets.getList")), qPrintable(service.restMethodsCalled().join(QLatin1Char(' '))));
        QCOMPARE(service.rejectedSignatures(), 0);
        // Nothing was sent again; the account is as the first run left it.
        QVERIFY2(service.uploads().isEmpty(), qPrintable(QStringLiteral("%1 uploads").arg(service.uploads().size())));
        QCOMPARE(service.photos(owner).size(), photosBeforeRelaunch);
        QCOMPARE(service.albums(owner).size(), albumsBeforeRelaunch);
        // And no file is in the account twice.
        QSet<QString> contents;
        for (const auto &p : service.photos(owner))
            contents.insert(p.md5);
        QCOMPARE(int(contents.size()), int(photosBeforeRelaunch));
        step.done = true;
    }

    void logOutForgetsTheAccount()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        Step step(roadIntact);
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
        const QString lumora = StandardPaths::lumoraFolder();
        QVERIFY(QFileInfo(lumora).isDir());
        int launches = 0;
        {
            QMutexLocker lock(&recorder().mutex);
            launches = recorder().launches.size();
        }
        const int asked = alerts.count();
        alerts.enqueue(0); // Log out
        alerts.enqueue(0); // OK
        MainController::instance()->logoutAfterConfirming();
        QTRY_COMPARE_WITH_TIMEOUT(alerts.count(), asked + 2, 5000);
        QCOMPARE(alerts.requests.at(asked).title, QStringLiteral("Log out of Lumora Hoistly?"));
        QCOMPARE(alerts.requests.at(asked + 1).title, QStringLiteral("Resetting"));

        QVERIFY(!LumoraKit::sharedLumoraKit()->isAuthorized());
        QVERIFY(Settings::stringForKey(QStringLiteral("kLKStoredTokenKey")).isEmpty());
        QVERIFY(LumoraKit::tokenSecret().isEmpty());
        QVERIFY(!WelcomeWindowController::hasCompletedWelcomeScreen());
        QVERIFY(!QFileInfo::exists(lumora));
        // The application starts afresh for the next sign-in.
        QMutexLocker lock(&recorder().mutex);
        QCOMPARE(recorder().launches.size(), launches + 1);
        QCOMPARE(recorder().launches.last(), QStringList{});
        step.done = true;
    }

    void logsHoldNoCredentials()
    {
        QVERIFY2(roadIntact, "an earlier step failed");
        LGLog::flushLog();
        QTest::qWait(500);
        // Every credential the service handed out, from its saved state.
        QFile stateFile(serviceState.path() + QStringLiteral("/state.json"));
        QVERIFY(stateFile.open(QIODevice::ReadOnly));
        const QJsonObject tokens = QJsonDocument::fromJson(stateFile.readAll()).object().value(QStringLiteral("accessTokens")).toObject();
        QStringList secrets = secretsSeen;
        for (auto it = tokens.begin(); it != tokens.end(); ++it)
            secrets << it.key() << it.value().toObject().value(QStringLiteral("secret")).toString();
        secrets << service.apiSecret();
        secrets.removeAll(QString());
        QVERIFY2(secrets.size() >= 3, qPrintable(secrets.join(QLatin1Char(' '))));

        const QStringList logs = filesUnder(StandardPaths::logsFolder());
        QVERIFY2(!logs.isEmpty(), qPrintable(StandardPaths::logsFolder()));
        QString all;
        for (const QString &path : logs) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            all += QString::fromUtf8(f.readAll());
        }
        // Both runs wrote there: the first launch and the relaunch.
        QVERIFY2(all.count(QStringLiteral("Starting up")) >= 2, qPrintable(all.left(2000)));
        for (const QString &secret : std::as_const(secrets))
            QVERIFY2(!all.contains(secret), qPrintable(QStringLiteral("a credential (%1...) is in the log").arg(secret.left(4))));
    }
};

int main(int argc, char *argv[])
{
    QStandardPaths::setTestModeEnabled(true);
    // A home of the test's own, empty, so the first launch really is a first launch.
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-acceptance-XXXXXX"));
    if (!home.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    // The web view needs a display unless Qt draws off screen. Without one the road cannot be
    // walked: a developer's machine skips, continuous integration fails.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool offscreen = platform.startsWith("offscreen") || platform.startsWith("minimal");
    if (!offscreen && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        if (qgetenv("CI") == "true") {
            fprintf(stderr, "FAIL: no display for the acceptance test (QT_QPA_PLATFORM=%s, DISPLAY unset)\n", platform.constData());
            return 1;
        }
        fprintf(stderr, "SKIP: no display for the acceptance test; run it under xvfb-run or with QT_QPA_PLATFORM=offscreen\n");
        return 77;
    }

    // As the application's own entry point does.
    QCoreApplication::setApplicationName(QStringLiteral("Hoistly"));
    QCoreApplication::setOrganizationName(QStringLiteral("Lumora"));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestAcceptance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_acceptance.moc"
