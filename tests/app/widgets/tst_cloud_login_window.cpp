// The cloud sign-in window against the local service double: one window, one page load, the
// page's title logged, failures alerted except cancelled or interrupted loads.
#include "app/webview/SignInBrowser.h"
#include "app/widgets/CloudLoginWindow.h"
#include "support/ScriptedModalUi.h"

#include "LumoraDouble.h"

#include <QApplication>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

class TestCloudLoginWindow : public QObject
{
    Q_OBJECT
    LumoraDouble m_double;
    ScriptedAlerts m_alerts;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_double.start());
        m_double.exportEnvironment();
        Alerts::setPresenter(&m_alerts);
    }
    void cleanupTestCase()
    {
        Alerts::setPresenter(nullptr);
        delete CloudSyncManager::windowNoCreate();
    }

    void addressesAreLoggedWithoutQueries()
    {
        const QString logged = CloudLoginWindow::loggableAddress(
            QUrl(QStringLiteral("https://user:pw@www.example.com/photos/?token=abc#frag")));
        QCOMPARE(logged, QStringLiteral("https://www.example.com/photos/"));
        QVERIFY(CloudLoginWindow::pageUrl().toString().startsWith(m_double.baseUrl()));
    }

    void loginShowsOneWindowAndLoadsThePageOnce()
    {
        QVERIFY(!CloudSyncManager::windowNoCreate());
        CloudSyncManager::login();
        CloudLoginWindow *window = CloudSyncManager::windowNoCreate();
        QVERIFY(window);
        QSignalSpy completed(window, &CloudLoginWindow::loadCompleted);
        QVERIFY(window->isVisible());
        // The web view fills the window.
        QVERIFY(window->webView()->view());
        QTRY_COMPARE(window->webView()->view()->size(), window->size());
        QVERIFY(completed.wait(60000));
        QCOMPARE(completed.first().first().toString(), QStringLiteral("Lumora"));
        QVERIFY(m_double.requestedPaths().contains(QStringLiteral("/icloud/photos/")));
        QVariant agent;
        window->webView()->runScript(QStringLiteral("navigator.userAgent"), [&](const QVariant &v) { agent = v; });
        QTRY_VERIFY(agent.isValid());
        QCOMPARE(agent.toString(), CloudLoginWindow::userAgent());

        CloudSyncManager::login();
        QCOMPARE(CloudSyncManager::windowNoCreate(), window);
        QCOMPARE(window->loadsStarted(), 1);
        QCOMPARE(m_alerts.count(), 0);
    }

    void failuresAlertUnlessCancelledOrInterrupted()
    {
        CloudLoginWindow *window = CloudSyncManager::windowNoCreate();
        QVERIFY(window);
        const int before = m_alerts.count();
        window->webViewLoadFailedWithError(CloudSyncManager::kCancelledCode, {}, QStringLiteral("cancelled"));
        window->webViewLoadFailedWithError(CloudSyncManager::kFrameLoadInterruptedCode, {}, QStringLiteral("Frame load interrupted"));
        window->webViewLoadFailedWithError(-1, {}, QStringLiteral("Plug-in handled load interrupted by policy"));
        QCOMPARE(m_alerts.count(), before);
        window->webViewLoadFailedWithError(-1004, QString(), QStringLiteral("Could not connect to the server."));
        QCOMPARE(m_alerts.count(), before + 1);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Error communicating with Lumora"));
        QCOMPARE(m_alerts.last().message, QStringLiteral("Could not connect to the server."));
        QCOMPARE(m_alerts.last().buttons, QStringList{QStringLiteral("OK")});
        QVERIFY(m_alerts.last().sheetParent.isNull()); // application-modal
        // The failure reason wins over the description when there is one.
        window->webViewLoadFailedWithError(-1001, QStringLiteral("The server stopped answering."), QStringLiteral("timed out"));
        QCOMPARE(m_alerts.last().message, QStringLiteral("The server stopped answering."));
        QVERIFY(window->isVisible()); // the window stays open
    }

    void unreachableServerIsReported()
    {
        // A real failed navigation (nothing listens any more) goes through the same path.
        CloudLoginWindow *window = CloudSyncManager::windowNoCreate();
        const int before = m_alerts.count();
        const QUrl dead(m_double.baseUrl() + QStringLiteral("/icloud/photos/"));
        m_double.stop();
        window->webView()->load(dead);
        QTRY_VERIFY_WITH_TIMEOUT(m_alerts.count() > before, 30000);
        QCOMPARE(m_alerts.last().title, QStringLiteral("Error communicating with Lumora"));
        QVERIFY(!m_alerts.last().message.isEmpty());
    }
};

int main(int argc, char **argv)
{
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu --single-process");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    TestCloudLoginWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_cloud_login_window.moc"
