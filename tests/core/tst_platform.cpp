#include "CoreTestHome.h"
#include "core/Settings.h"
#include "platform/Endpoints.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTest>

class TestPlatform : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        startInThrowAwayHome();
        Settings::clearAllSettingsPERMANENTLY();
    }

    void foldersStayInTestMode()
    {
        for (const QString &folder : {StandardPaths::lumoraFolder(), StandardPaths::logsFolder(),
                                      StandardPaths::cachesFolder(), StandardPaths::userDefaultsFile(),
                                      StandardPaths::autostartFolder()})
            QVERIFY2(folder.contains("/.qttest/"), qPrintable(folder));
        QVERIFY(StandardPaths::lumoraFolder().endsWith("/Lumora"));
        const QString cache = StandardPaths::lumoraSubfolder("Cache");
        QVERIFY(cache.endsWith("/Lumora/Cache"));
        QVERIFY(QFileInfo(cache).isDir());
        StandardPaths::setProcessName("HoistlyHelper");
        QVERIFY(StandardPaths::logsFolder().endsWith("/HoistlyHelper"));
        StandardPaths::setProcessName(QString());
    }

    void systemVersion()
    {
        QCOMPARE(NSDevice::osxVersionMajor(), 10);
        QVERIFY(NSDevice::osxVersionMinor() >= 10);
        NSDevice::overrideVersionForTesting(10, 9, 5);
        QCOMPARE(NSDevice::osxVersionString(), QStringLiteral("10.9.5"));
        NSDevice::overrideVersionForTesting(10, 15, 0);
        QCOMPARE(NSDevice::osxVersionString(), QStringLiteral("10.15"));
        QCOMPARE(NSDevice::singlePixelSize(), 1.0); // no screen without a GUI application
    }

    void hostsAreConfiguration()
    {
        qunsetenv("HOISTLY_SERVICE_URL");
        QCOMPARE(Endpoints::apiBase().scheme(), QStringLiteral("https"));
        QVERIFY(Endpoints::overrideBase().isEmpty());
        Settings::setObject(QStringLiteral("http://127.0.0.1:8123/"), "ServiceURL");
        QCOMPARE(Endpoints::beaconBase(), QUrl("http://127.0.0.1:8123"));
        qputenv("HOISTLY_SERVICE_URL", "http://127.0.0.1:9000");
        // The environment wins over the setting, and every host follows it.
        for (const QUrl &u : {Endpoints::apiBase(), Endpoints::uploadBase(), Endpoints::beaconBase(),
                              Endpoints::updateBase(), Endpoints::webBase("www")})
            QCOMPARE(u, QUrl("http://127.0.0.1:9000"));
        qunsetenv("HOISTLY_SERVICE_URL");
        Settings::removeObjectForKey("ServiceURL");
        QCOMPARE(Endpoints::webBase("alpha").host(), Endpoints::webBase("www").host().replace("www", "alpha"));
    }

    void aConfiguredServiceHasNoAlphaHostUnlessNamed()
    {
        qunsetenv("HOISTLY_SERVICE_URL");
        QCOMPARE(Endpoints::alphaWebBase(), Endpoints::webBase("alpha"));
        qputenv("HOISTLY_SERVICE_URL", "http://127.0.0.1:9000");
        QVERIFY(Endpoints::alphaWebBase().isEmpty());
        qputenv("HOISTLY_ALPHA_SERVICE_URL", "http://127.0.0.1:9001");
        QCOMPARE(Endpoints::alphaWebBase(), QUrl("http://127.0.0.1:9001"));
        qunsetenv("HOISTLY_ALPHA_SERVICE_URL");
        qunsetenv("HOISTLY_SERVICE_URL");
    }

    void signInCallbackIsParsedNotMatched()
    {
        const QUrl cb = Endpoints::signInCallback();
        QUrl withQuery = cb;
        withQuery.setQuery("oauth_token=t&oauth_verifier=v");
        QVERIFY(Endpoints::isSignInCallback(withQuery));
        const QString host = cb.host();
        for (const QString &bad : {QStringLiteral("https://%1.evil.example/auth").arg(host),
                                   QStringLiteral("https://evil.example/auth?next=https://%1/auth").arg(host),
                                   QStringLiteral("https://evil.example/%1/auth").arg(host),
                                   QStringLiteral("http://%1/auth").arg(host),
                                   QStringLiteral("https://%1/authx").arg(host),
                                   QStringLiteral("https://%1:8443/auth").arg(host),
                                   QStringLiteral("https://%1@evil.example/auth").arg(host)})
            QVERIFY2(!Endpoints::isSignInCallback(QUrl(bad)), qPrintable(bad));
    }

    void plainHttpOnlyToLoopback()
    {
        QVERIFY(Endpoints::isAllowedTransport(QUrl("https://api.example.com/x")));
        QVERIFY(Endpoints::isAllowedTransport(QUrl("http://127.0.0.1:1234/p")));
        QVERIFY(Endpoints::isAllowedTransport(QUrl("http://[::1]:1234/p")));
        QVERIFY(Endpoints::isAllowedTransport(QUrl("http://localhost/p")));
        QVERIFY(!Endpoints::isAllowedTransport(QUrl("http://127.0.0.1.evil.example/p")));
        QVERIFY(!Endpoints::isAllowedTransport(QUrl("http://10.0.0.1/p")));
        QVERIFY(!Endpoints::isAllowedTransport(QUrl("ftp://127.0.0.1/p")));
        QVERIFY(!Endpoints::isAllowedTransport(QUrl()));
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
