#include "core/Settings.h"
#include "core/UiHooks.h"
#include "support/ScriptedModalUi.h"
#include "windows/preferences/PreferencesPane.h"
#include "windows/preferences/PreferencesServices.h"
#include "windows/sources/SourcesPreferencesViewController.h"

#include <QStandardPaths>
#include <QTest>

class TestPreferencesPane : public QObject
{
    Q_OBJECT
    RecordingUrlOpener m_opener;
    QList<QPair<QDateTime, QString>> m_holds;
    QList<bool> m_dock;
    bool m_completed = true;

    void waitForWindow()
    {
        QTRY_VERIFY(PreferencesPane::preferencesWindowControllerNoCreate() != nullptr);
        QTRY_VERIFY(PreferencesPane::preferencesWindowControllerNoCreate()->isVisible());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        UrlOpeners::setOpener(&m_opener);
    }
    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        PreferencesServices::reset();
        auto &s = PreferencesServices::instance();
        m_holds.clear();
        m_dock.clear();
        m_opener.opened.clear();
        m_completed = true;
        s.setSelfUpdatesDisabledUntil = [this](const QDateTime &until, const QString &key) { m_holds << qMakePair(until, key); };
        s.setHideDockIcon = [this](bool hide) { m_dock << hide; };
        s.hasCompletedWelcomeScreen = [this] { return m_completed; };
    }
    void cleanup()
    {
        if (QWidget *w = PreferencesPane::preferencesWindowControllerNoCreate())
            w->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void openingShowsTheUploadPaneAndHoldsUpdates()
    {
        QCOMPARE(PreferencesPane::preferencesWindowControllerNoCreate(), nullptr);
        PreferencesPane::openPreferences();
        QCOMPARE(m_dock, QList<bool>({false})); // the Dock icon shows at once
        QVERIFY(!m_holds.isEmpty());
        QCOMPARE(m_holds.first().second, QStringLiteral("PreferencesPane"));
        QVERIFY(qAbs(m_holds.first().first.secsTo(QDateTime::currentDateTime().addSecs(3600))) < 5);
        waitForWindow();
        auto *window = qobject_cast<PreferencesPane *>(PreferencesPane::preferencesWindowControllerNoCreate());
        QVERIFY(window);
        QCOMPARE(window->windowTitle(), QStringLiteral("Lumora Hoistly Settings"));
        QCOMPARE(window->selectedViewController()->identifier(), QStringLiteral("SourcePreferences"));
        QCOMPARE(window->toolbarItemIdentifiers(),
                 QStringList({QStringLiteral("AccountPreferences"), QStringLiteral("SourcePreferences"), QStringLiteral("GeneralPreferences")}));
        QCOMPARE(window->sourcesViewController(), window->selectedViewController());
        // Opening again brings the same window; the pane stays where the user put it.
        window->selectControllerAtIndex(2);
        PreferencesPane::openPreferences();
        QTest::qWait(20);
        QCOMPARE(PreferencesPane::preferencesWindowControllerNoCreate(), window);
        QCOMPARE(window->selectedViewController()->identifier(), QStringLiteral("GeneralPreferences"));
    }

    void closingDropsTheWindowAndReleasesTheHold()
    {
        PreferencesPane::openPreferences();
        waitForWindow();
        QPointer<QWidget> window = PreferencesPane::preferencesWindowControllerNoCreate();
        m_holds.clear();
        m_dock.clear();
        window->close();
        QCOMPARE(PreferencesPane::preferencesWindowControllerNoCreate(), nullptr);
        QCOMPARE(m_dock, QList<bool>({true}));
        QCOMPARE(m_holds.size(), 1);
        QVERIFY(!m_holds.first().first.isValid());
        QTRY_VERIFY(window.isNull()); // released
        // Before onboarding is complete the Dock icon stays.
        m_completed = false;
        PreferencesPane::openPreferences();
        waitForWindow();
        m_dock.clear();
        PreferencesPane::preferencesWindowControllerNoCreate()->close();
        QVERIFY(m_dock.isEmpty());
    }

    void webOpeners()
    {
        qunsetenv("HOISTLY_SERVICE_URL"); // the production hosts
        auto &s = PreferencesServices::instance();
        s.alphaOrWWW = [] { return QStringLiteral("alpha"); };
        // Signed out: every opener opens the site root.
        PreferencesPane::openCameraRoll();
        PreferencesPane::openPhotoOnWeb(QStringLiteral("0"));
        QCOMPARE(m_opener.opened.size(), 2);
        QCOMPARE(m_opener.opened[0], m_opener.opened[1]);
        QVERIFY(m_opener.opened[0].path().isEmpty() || m_opener.opened[0].path() == QStringLiteral("/"));
        m_opener.opened.clear();
        s.isAuthorized = [] { return true; };
        s.currentUserID = [] { return QStringLiteral("lumora-123/x y"); };
        PreferencesPane::openCameraRoll();
        QCOMPARE(m_opener.last().path(), QStringLiteral("/cameraroll"));
        PreferencesPane::openPhotoStream();
        QCOMPARE(m_opener.last().path(QUrl::FullyEncoded), QStringLiteral("/photos/lumora-123%2Fx%20y"));
        PreferencesPane::openPhotoOnWeb(QStringLiteral("4567"));
        QCOMPARE(m_opener.last().path(QUrl::FullyEncoded), QStringLiteral("/photos/lumora-123%2Fx%20y/4567"));
        const int opened = m_opener.opened.size();
        PreferencesPane::openPhotoOnWeb(QStringLiteral("0"));
        PreferencesPane::openPhotoOnWeb(QString());
        PreferencesPane::openPhotoOnWeb(QStringLiteral("../../evil"));
        QCOMPARE(m_opener.opened.size(), opened);
        // Production hosts are HTTPS; a configured local base may be plain HTTP to loopback only.
        const QUrl url = m_opener.last();
        QVERIFY(url.scheme() == QStringLiteral("https") || url.host() == QStringLiteral("127.0.0.1") || url.host() == QStringLiteral("localhost"));
    }

    void pagesOpenOnlyOverAnAllowedTransport()
    {
        auto &s = PreferencesServices::instance();
        s.isAuthorized = [] { return true; };
        s.currentUserID = [] { return QStringLiteral("7"); };
        const QByteArray saved = qgetenv("HOISTLY_SERVICE_URL");
        qputenv("HOISTLY_SERVICE_URL", "http://127.0.0.1:4567");
        PreferencesPane::openCameraRoll();
        QCOMPARE(m_opener.last(), QUrl(QStringLiteral("http://127.0.0.1:4567/cameraroll")));
        // Plain HTTP to anything but this machine is refused.
        m_opener.opened.clear();
        qputenv("HOISTLY_SERVICE_URL", "http://10.1.2.3");
        PreferencesPane::openCameraRoll();
        PreferencesPane::openPhotoOnWeb(QStringLiteral("5"));
        QVERIFY(m_opener.opened.isEmpty());
        if (saved.isEmpty())
            qunsetenv("HOISTLY_SERVICE_URL");
        else
            qputenv("HOISTLY_SERVICE_URL", saved);
    }

    void engineHooksReachTheWindow()
    {
        PreferencesPane::installUiHooks();
        UiHooks::instance().openPreferences();
        waitForWindow();
        QCOMPARE(m_dock.first(), false);
    }

    void addFolderOpensTheChooserOnTheUploadPane()
    {
        ScriptedFolderChooser chooser;
        FolderChoosers::setChooser(&chooser);
        PreferencesPane::openPreferencesWithAddFolder();
        QTRY_COMPARE(chooser.count(), 1);
        auto *window = qobject_cast<PreferencesPane *>(PreferencesPane::preferencesWindowControllerNoCreate());
        QCOMPARE(window->selectedViewController()->identifier(), QStringLiteral("SourcePreferences"));
        FolderChoosers::setChooser(nullptr);
    }
};

QTEST_MAIN(TestPreferencesPane)
#include "tst_preferences_pane.moc"
