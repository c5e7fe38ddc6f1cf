// The web view's code is loaded only when a sign-in page is shown: the executable does not link
// it, a signed-in start of the real executable never maps it, a missing module is reported to
// the user instead of crashing, and the onboarding window's sign-in loads it when it opens.
#include "WelcomeTestFixture.h"
#include "double/LumoraDouble.h"

#include "app/launch/AppDelegate.h"
#include "app/webview/SignInBrowser.h"
#include "app/widgets/CloudLoginWindow.h"
#include "core/Settings.h"
#include "service/LumoraKit.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <elf.h>

using W = WelcomeWindowController;

namespace {

const QStringList kEngineLibraries = {QStringLiteral("libQt6WebEngine"), QStringLiteral("libQt6Quick"),
                                      QStringLiteral("libQt6Qml"), QStringLiteral("hoistly_webview")};

// The shared libraries an ELF file asks the loader for (its DT_NEEDED entries).
QStringList neededLibraries(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<unreadable>")};
    const QByteArray data = file.readAll();
    auto at = [&](qint64 offset, qint64 size) -> const char * {
        return offset >= 0 && size >= 0 && offset + size <= data.size() ? data.constData() + offset : nullptr;
    };
    const auto *header = reinterpret_cast<const Elf64_Ehdr *>(at(0, sizeof(Elf64_Ehdr)));
    if (!header || memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64)
        return {QStringLiteral("<not a 64-bit ELF file>")};
    const auto *sections = reinterpret_cast<const Elf64_Shdr *>(at(qint64(header->e_shoff), qint64(header->e_shnum) * sizeof(Elf64_Shdr)));
    if (!sections)
        return {QStringLiteral("<no sections>")};
    QStringList out;
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNAMIC || sections[i].sh_link >= header->e_shnum)
            continue;
        const Elf64_Shdr &strings = sections[sections[i].sh_link];
        const auto *entries = reinterpret_cast<const Elf64_Dyn *>(at(qint64(sections[i].sh_offset), qint64(sections[i].sh_size)));
        for (size_t n = 0; entries && n < sections[i].sh_size / sizeof(Elf64_Dyn) && entries[n].d_tag != DT_NULL; ++n) {
            if (entries[n].d_tag == DT_NEEDED && entries[n].d_un.d_val < strings.sh_size)
                out << QString::fromLatin1(data.constData() + strings.sh_offset + entries[n].d_un.d_val);
        }
    }
    return out;
}

// Which of the engine's libraries a running process has mapped.
QStringList engineLibrariesMapped(qint64 pid)
{
    QFile maps(pid ? QStringLiteral("/proc/%1/maps").arg(pid) : QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {QStringLiteral("<no maps>")};
    QStringList out;
    const QList<QByteArray> lines = maps.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QString path = QString::fromLocal8Bit(line.mid(line.indexOf('/')));
        for (const QString &name : kEngineLibraries)
            if (line.contains('/') && path.section(QLatin1Char('/'), -1).startsWith(name) && !out.contains(path))
                out << path;
    }
    return out;
}

// Everything the real executable logged in a profile.
QString logOf(const QString &home)
{
    QString all;
    for (const QFileInfo &f : QDir(home + QStringLiteral("/state/Hoistly")).entryInfoList({QStringLiteral("log-*")}, QDir::Files)) {
        QFile file(f.absoluteFilePath());
        if (file.open(QIODevice::ReadOnly))
            all += QString::fromUtf8(file.readAll());
    }
    return all;
}

QString html(const QString &title)
{
    return QStringLiteral("<!DOCTYPE html><html><head><title>%1</title></head><body><p>%1</p></body></html>").arg(title);
}

// Runs in a child process whose XDG folders are the profile's: a user who has signed in and
// finished onboarding.
int seedSignedInProfile(const QString &token, const QString &secret)
{
    Settings::setObject(token, LKStoredKeys::Token);
    Settings::setObject(secret, LKStoredKeys::TokenSecretPlain);
    Settings::setObject(QString::fromLatin1(LumoraDoubleDefaults::userId), LKStoredKeys::UserID);
    Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
    Settings::setBool(true, QStringLiteral("DontRunAtStart"));
    return Settings::stringForKey(LKStoredKeys::Token) == token ? 0 : 1;
}

} // namespace

class TestWebViewOnDemand : public QObject
{
    Q_OBJECT
    WelcomeTestFixture f;
    LumoraDouble service;
    QByteArray modulePath;

private Q_SLOTS:
    void initTestCase()
    {
        WelcomeTestFixture::initTestCase();
        QVERIFY(service.start());
        service.exportEnvironment();
        modulePath = qgetenv("HOISTLY_WEBVIEW_MODULE");
        QVERIFY2(QFileInfo(QString::fromLocal8Bit(modulePath)).isFile(), modulePath.constData());
    }
    void init() { f.init(); }
    void cleanup()
    {
        f.cleanup();
        qputenv("HOISTLY_WEBVIEW_MODULE", modulePath);
    }

    void executableLinksNoWebEngine()
    {
        const QStringList needed = neededLibraries(QStringLiteral(HOISTLY_EXECUTABLE));
        QVERIFY2(needed.contains(QStringLiteral("libQt6Widgets.so.6")), qPrintable(needed.join(' ')));
        for (const QString &library : needed)
            for (const QString &name : kEngineLibraries)
                QVERIFY2(!library.startsWith(name), qPrintable(library));
        // The module is what brings the engine.
        const QStringList moduleNeeds = neededLibraries(QString::fromLocal8Bit(modulePath));
        QVERIFY2(moduleNeeds.contains(QStringLiteral("libQt6WebEngineWidgets.so.6")), qPrintable(moduleNeeds.join(' ')));
    }

    void signedInStartMapsNoWebEngine()
    {
        QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-webview-XXXXXX"));
        QVERIFY(home.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        for (const char *name : {"CONFIG", "DATA", "STATE", "CACHE"})
            env.insert(QStringLiteral("XDG_%1_HOME").arg(QLatin1String(name)), home.path() + QLatin1Char('/') + QString::fromLatin1(name).toLower());
        QDir().mkpath(home.path() + QStringLiteral("/run"));
        QFile::setPermissions(home.path() + QStringLiteral("/run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path() + QStringLiteral("/run"));

        const auto [token, secret] = service.issueAccessToken(QString::fromLatin1(LumoraDoubleDefaults::userId));
        QProcess seeder;
        seeder.setProcessEnvironment(env);
        seeder.setProcessChannelMode(QProcess::ForwardedChannels);
        seeder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--seed"), token, secret});
        QVERIFY(seeder.waitForFinished(60000));
        QCOMPARE(seeder.exitCode(), 0);

        service.resetRecords();
        QProcess app;
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(QStringLiteral(HOISTLY_EXECUTABLE), {});
        QVERIFY2(app.waitForStarted(10000), qPrintable(app.errorString()));
        // Up: the stored sign-in was checked and the engine read the account's albums.
        auto called = [&](const char *method) { return service.restMethodsCalled().contains(QLatin1String(method)); };
        QTRY_VERIFY_WITH_TIMEOUT((called("lumora.auth.oauth.checkToken") && called("lumora.photosets.getList"))
                                     || app.state() != QProcess::Running,
                                 30000);
        QVERIFY2(app.state() == QProcess::Running, app.readAll().right(3000).constData());
        const QStringList mapped = engineLibrariesMapped(app.processId());
        app.terminate();
        QVERIFY(app.waitForFinished(15000) || (app.kill(), app.waitForFinished(), false));
        QVERIFY2(mapped.isEmpty(), qPrintable(mapped.join(' ')));
        QVERIFY2(called("lumora.auth.oauth.checkToken"), qPrintable(service.restMethodsCalled().join(' ')));
        // Nor did it set up the view's shared drawing contexts, which load the graphics driver
        // before the tray icon can show.
        QVERIFY2(logOf(home.path()).contains(QLatin1String("Sign-in view: not set up")), qPrintable(logOf(home.path()).right(2000)));

        // A copy relaunched to sign in has them, and opens the onboarding window.
        QProcess signIn;
        signIn.setProcessEnvironment(env);
        signIn.setProcessChannelMode(QProcess::MergedChannels);
        signIn.start(QStringLiteral(HOISTLY_EXECUTABLE), {QStringLiteral("/sign-in")});
        QVERIFY2(signIn.waitForStarted(10000), qPrintable(signIn.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home.path()).contains(QLatin1String("Sign-in view: available")) || signIn.state() != QProcess::Running,
                                 30000);
        QTRY_VERIFY_WITH_TIMEOUT(logOf(home.path()).contains(QLatin1String("WELCOME: Showing the onboarding window"))
                                     || signIn.state() != QProcess::Running,
                                 30000);
        const bool running = signIn.state() == QProcess::Running;
        signIn.terminate();
        QVERIFY(signIn.waitForFinished(15000) || (signIn.kill(), signIn.waitForFinished(), false));
        QVERIFY2(running, signIn.readAll().right(3000).constData());
    }

    // Started signed in, the copy has no sign-in view: asking for one starts a copy that has it
    // instead of telling the user a part is missing, and a log-out leaves the cookies to the
    // folder it deletes.
    void signInFromACopyWithoutTheViewRelaunches()
    {
        f.fake->viewAvailable = false;
        W::display();
        W *window = W::instanceNoCreate();
        QVERIFY(window);
        window->loginButtonHitWithMode(W::LoginNormal);
        QCOMPARE(f.fake->count(QStringLiteral("relaunchForSignIn")), 1);
        QCOMPARE(f.alerts->count(), 0);
        QVERIFY(!window->webView());
        W::clearCookiesForLogout();
        QCOMPARE(f.alerts->count(), 0);
        QVERIFY(!SignInBrowserProfile::moduleLoaded());
        QVERIFY2(engineLibrariesMapped(0).isEmpty(), qPrintable(engineLibrariesMapped(0).join(' ')));
        f.fake->viewAvailable = true;
        f.closeWindow();
    }

    void signInWithoutTheModuleTellsTheUser()
    {
        QVERIFY2(engineLibrariesMapped(0).isEmpty(), qPrintable(engineLibrariesMapped(0).join(' ')));
        QTemporaryDir folder;
        QFile notALibrary(folder.filePath(QStringLiteral("hoistly_webview.so")));
        QVERIFY(notALibrary.open(QIODevice::WriteOnly));
        notALibrary.write("not a library");
        notALibrary.close();
        service.setFile(QStringLiteral("/plain.html"), html(QStringLiteral("Lumora")).toUtf8(), QStringLiteral("text/html; charset=utf-8"));
        f.fake->onBeginAuth = [this](const QUrl &, int, std::function<void(QUrl, QString)> done) {
            done(QUrl(service.baseUrl() + QStringLiteral("/plain.html")), QString());
        };

        for (const QString &path : {folder.filePath(QStringLiteral("missing.so")), notALibrary.fileName()}) {
            qputenv("HOISTLY_WEBVIEW_MODULE", QFile::encodeName(path));
            W::display();
            W *window = W::instanceNoCreate();
            QVERIFY(window);
            const int before = f.alerts->count();
            window->loginButtonHitWithMode(W::LoginNormal);
            QCOMPARE(f.alerts->count(), before + 1);
            QCOMPARE(f.alerts->last().title, QStringLiteral("Unable to show the Lumora login page"));
            QVERIFY(!window->webView());
            QVERIFY(!window->waitingViewActive());
            QVERIFY(!window->awaitingCallback());
            QCOMPARE(window->currentScreen(), W::Welcome);
            // Log-out cannot clear the sign-in cookies either, and says so in the log only.
            W::clearCookiesForLogout();
            QCOMPARE(f.alerts->count(), before + 1);

            // The other sign-in window reports it the same way.
            CloudSyncManager::login();
            QVERIFY(!CloudSyncManager::windowNoCreate());
            QCOMPARE(f.alerts->count(), before + 2);
            QCOMPARE(f.alerts->last().title, QStringLiteral("Unable to show the login page"));
            f.closeWindow();
        }
        QVERIFY(!SignInBrowserProfile::moduleLoaded());
        QVERIFY2(engineLibrariesMapped(0).isEmpty(), qPrintable(engineLibrariesMapped(0).join(' ')));
    }

    void signInLoadsTheModuleWhenItOpens()
    {
        service.setFile(QStringLiteral("/plain.html"), html(QStringLiteral("Lumora")).toUtf8(), QStringLiteral("text/html; charset=utf-8"));
        f.fake->onBeginAuth = [this](const QUrl &, int, std::function<void(QUrl, QString)> done) {
            done(QUrl(service.baseUrl() + QStringLiteral("/plain.html")), QString());
        };
        W::display();
        W *window = W::instanceNoCreate();
        QVERIFY(window);
        // The onboarding window alone needs no web view.
        QVERIFY2(engineLibrariesMapped(0).isEmpty(), qPrintable(engineLibrariesMapped(0).join(' ')));
        window->loginButtonHitWithMode(W::LoginNormal);
        QVERIFY(window->webView());
        QTRY_COMPARE_WITH_TIMEOUT(window->currentScreen(), W::Login, 30000);
        QCOMPARE(f.alerts->count(), 0);
        QVERIFY(SignInBrowserProfile::moduleLoaded());
        const QStringList mapped = engineLibrariesMapped(0);
        for (const char *name : {"libQt6WebEngineCore", "libQt6Quick", "hoistly_webview"})
            QVERIFY2(mapped.filter(QLatin1String(name)).size() > 0, qPrintable(mapped.join(' ')));

        // Signed in, the engine's launchers go with the page; the next sign-in is a new copy's.
        QVERIFY(!SignInBrowserProfile::engineHelpers().isEmpty());
        QVERIFY(AppDelegate::signInViewAvailable());
        f.fake->onCompleteAuth = [this](const QUrl &, std::function<void(QString, QString, QString, QString)> done) {
            f.fake->authorized = true;
            done(QStringLiteral("someone"), QStringLiteral("lumora-1"), QString(), QString());
        };
        window->loginDidCompleteWithURL(QUrl(QStringLiteral("https://hoistly.lumora.com/auth?oauth_token=t&oauth_verifier=v")));
        QTRY_COMPARE_WITH_TIMEOUT(window->currentScreen(), W::Intro, 30000);
        QVERIFY(SignInBrowserProfile::engineHelpers().isEmpty());
        QVERIFY(!AppDelegate::signInViewAvailable());
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--seed") == 0) {
        QCoreApplication app(argc, argv);
        return seedSignedInProfile(QString::fromLatin1(argv[2]), QString::fromLatin1(argv[3]));
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestWebViewOnDemand test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_welcome_webview_on_demand.moc"
