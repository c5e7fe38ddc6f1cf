// The preferences window on the application's own services (no test wiring): Log out in the
// Account pane asks through the menu-bar controller and ends in the application's full reset,
// after which no token, no secret and none of the account's counters remain.
#include "app/launch/AppDelegate.h"
#include "app/launch/ShellBridge.h"
#include "app/menubar/MainController.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"
#include "service/LumoraKit.h"
#include "support/ScriptedModalUi.h"
#include "ui_AccountPreferencesView.h"
#include "windows/preferences/AccountPreferencesViewController.h"
#include "windows/preferences/PreferencesServices.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

#include <atomic>

namespace {
// What the account leaves in the settings while it is signed in and uploading.
const QStringList kAccountKeys = {LKStoredKeys::Token,        LKStoredKeys::TokenSecretEnc, LKStoredKeys::TokenSecretPlain,
                                  LKStoredKeys::UserID,       LKStoredKeys::UserName,       LKStoredKeys::UserFullName,
                                  QStringLiteral("LumoraPhotoCount"), QStringLiteral("filesToUpload"),
                                  QStringLiteral("filesToUploadMax"), QStringLiteral("PhotosImportedBytes"),
                                  QStringLiteral("RecentUploads"), QStringLiteral("WelcomeScreenComplete")};
const QString kToken = QStringLiteral("3d8f1a60c4e29b57a0e6d3c18b4f7925");
const QString kSecret = QStringLiteral("f00dfacecafe1234");
} // namespace

class TestPreferencesWiring : public QObject
{
    Q_OBJECT
    // Only what cannot happen inside a test process is replaced: starting the new copy of the
    // application and ending this one.
    std::atomic<int> m_launches{0};
    std::atomic<int> m_exits{0};
    std::atomic<int> m_forcedExits{0};

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        ShellEnvironment &env = ShellEnvironment::instance();
        env.launchBundle = [this](const QString &, const QStringList &) {
            ++m_launches;
            return true;
        };
        env.exitEventLoop = [this] { ++m_exits; };
        env.forceTerminate = [this] { ++m_forcedExits; };
        env.sleep = [](double) {};
    }

    void logOutInTheAccountPaneResetsTheApplication()
    {
        Settings::clearAllSettingsPERMANENTLY();
        // Signed in the way sign-in leaves it: token and secret stored, the secret encrypted on load.
        Settings::setObject(kToken, LKStoredKeys::Token);
        Settings::setObject(kSecret, LKStoredKeys::TokenSecretPlain);
        Settings::setObject(QStringLiteral("lumora-12345678"), LKStoredKeys::UserID);
        Settings::setObject(QStringLiteral("pat"), LKStoredKeys::UserName);
        Settings::setObject(QStringLiteral("Pat Lee"), LKStoredKeys::UserFullName);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
        QVERIFY(LumoraKit::sharedLumoraKit()->isAuthorized());
        QVERIFY(!Settings::stringForKey(LKStoredKeys::TokenSecretEnc).isEmpty());
        // The account's counters, as the uploader and the service mirror keep them.
        Settings::setInt(5321, QStringLiteral("LumoraPhotoCount"));
        Settings::setInt(17, QStringLiteral("filesToUpload"));
        Settings::setInt(40, QStringLiteral("filesToUploadMax"));
        Settings::setLongLong(987654321LL, QStringLiteral("PhotosImportedBytes"));
        Settings::setObject(QStringList{QStringLiteral("photo-1"), QStringLiteral("photo-2")}, QStringLiteral("RecentUploads"));
        const QString data = StandardPaths::lumoraFolder();
        QVERIFY(QDir().mkpath(data + QStringLiteral("/Database")));
        QFile catalogue(data + QStringLiteral("/Database/LumoraDesktop.storedata"));
        QVERIFY(catalogue.open(QIODevice::WriteOnly));
        catalogue.write("catalogue");
        catalogue.close();

        ScriptedAlerts alerts;
        InstallAlerts installed(&alerts);
        alerts.enqueueTitle(QStringLiteral("Log out")); // "Log out of Lumora Hoistly?"
        alerts.enqueue(0);                             // "Now logging off." OK

        // The pane on the real services: it greets the signed-in account ...
        AccountPreferencesViewController pane;
        QVERIFY(pane.ui()->accountNameTextField->text().contains(QStringLiteral("Pat Lee")));
        pane.viewWillAppear();
        QVERIFY(pane.ui()->accountSpaceTextField->text().startsWith(QStringLiteral("5321 photos")));
        // ... and its Log out reaches the application's reset.
        pane.ui()->logOutButton->click();
        QTRY_VERIFY(m_exits.load() >= 1);

        QVERIFY(alerts.count() >= 1);
        QVERIFY2(alerts.titles().first().contains(QStringLiteral("Log out")), qPrintable(alerts.titles().join(QLatin1Char('|'))));
        QVERIFY(!LumoraKit::sharedLumoraKit()->isAuthorized());
        QVERIFY(LumoraKit::tokenSecret().isEmpty());
        QVERIFY(!QFileInfo::exists(data + QStringLiteral("/Database/LumoraDesktop.storedata")));
        QCOMPARE(m_launches.load(), 1); // a fresh copy starts signed out

        // What a restart reads: nothing of the account.
        Settings::reloadForTesting();
        for (const QString &key : kAccountKeys)
            QVERIFY2(Settings::objectForKey(key).isNull(), qPrintable(key + QStringLiteral(" survived the reset")));
        QVERIFY(LumoraKit::tokenSecret().isEmpty());
        QVERIFY(Settings::boolForKey(QStringLiteral("AppEverReset")));
        // Neither the token nor the secret is anywhere in the settings file.
        const QString settingsFile = Settings::storePath();
        if (!settingsFile.isEmpty() && QFileInfo::exists(settingsFile)) {
            QFile file(settingsFile);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray stored = file.readAll();
            QVERIFY(!stored.contains(kToken.toUtf8()));
            QVERIFY(!stored.contains(kSecret.toUtf8()));
        }
    }
};

int main(int argc, char **argv)
{
    // The reset clears the sign-in web view's cookies: the web engine needs shared contexts.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestPreferencesWiring test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_preferences_wiring.moc"
