#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "windows/preferences/PanedPreferencesWindowController.h"

#include <QAction>
#include <QApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QToolBar>

namespace {
class TestPane : public QWidget, public PanedPreferencesViewController
{
public:
    TestPane(const QString &id, QSize size, bool sizable) : m_id(id)
    {
        resize(size);
        const auto policy = sizable ? QSizePolicy::Preferred : QSizePolicy::Fixed;
        setSizePolicy(policy, policy);
    }
    QString identifier() const override { return m_id; }
    QIcon toolbarItemImage() const override { return QIcon(); }
    QString toolbarItemLabel() const override { return m_id + QStringLiteral(" label"); }
    QWidget *paneView() override { return this; }
    void viewWillAppear() override { ++willAppear; }
    void viewDidDisappear() override { ++didDisappear; }
    bool commitEditing() override { return allowCommit; }

    QString m_id;
    int willAppear = 0;
    int didDisappear = 0;
    bool allowCommit = true;
};

int chrome(PanedPreferencesWindowController &w)
{
    return w.toolbar()->isHidden() ? 0 : w.toolbar()->sizeHint().height();
}
} // namespace

class TestPanedPreferences : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { Settings::clearAllSettingsPERMANENTLY(); }

    void rectStringsRoundTrip()
    {
        const QRect r(0, 0, 420, 318);
        QCOMPARE(PanedPreferencesWindowController::stringFromRect(r), QStringLiteral("{{0, 0}, {420, 318}}"));
        QCOMPARE(PanedPreferencesWindowController::rectFromString(QStringLiteral("{{0, 0}, {420, 318}}")), r);
        // Fractional values as other writers produce them, and garbage.
        QCOMPARE(PanedPreferencesWindowController::rectFromString(QStringLiteral("{{0, 0}, {420.4, 318.6}}")).size(), QSize(420, 319));
        QVERIFY(!PanedPreferencesWindowController::rectFromString(QStringLiteral("nonsense")).isValid());
        QVERIFY(!PanedPreferencesWindowController::rectFromString(QStringLiteral("{{0, 0}, {-5, 10}}")).isValid());
    }

    void switchingResizesAndRemembersAcrossRestart()
    {
        TestPane a(QStringLiteral("A"), QSize(400, 300), true);
        TestPane b(QStringLiteral("B"), QSize(500, 200), false);
        {
            PanedPreferencesWindowController window({&a, &b}, QStringLiteral("Settings"));
            int notified = 0;
            NotificationCenter::observe(PanedPreferencesWindowController::DidChangeViewNotification, &window,
                                        [&](const QVariant &) { ++notified; });
            window.setSelectedViewController(&a);
            QCOMPARE(window.windowTitle(), QStringLiteral("Settings"));
            QCOMPARE(window.size(), QSize(400, 300 + chrome(window)));
            QCOMPARE(a.willAppear, 1);
            QVERIFY(window.toolbarActionForIdentifier(QStringLiteral("A"))->isChecked());
            // The user makes the sizable pane bigger; the size is stored for it.
            window.show();
            window.resize(640, 480 + chrome(window));
            QCOMPARE(PanedPreferencesWindowController::rectFromString(
                         Settings::stringForKey(PanedPreferencesWindowController::frameKeyForIdentifier(QStringLiteral("A")))).size(),
                     QSize(640, 480));
            const QPoint topLeft = window.pos();
            window.setSelectedViewController(&b);
            QCOMPARE(a.didDisappear, 1);
            QCOMPARE(window.size(), QSize(500, 200 + chrome(window)));
            QCOMPARE(window.pos(), topLeft); // the top-left corner stays put
            // A pane without a layout of its own still fills its size in the content area.
            QCoreApplication::processEvents();
            QCOMPARE(b.size(), QSize(500, 200));
            QVERIFY(b.isVisible());
            // A fixed pane cannot be resized.
            QCOMPARE(window.maximumSize(), QSize(500, 200 + chrome(window)));
            QCOMPARE(notified, 2);
            // Selecting the shown pane changes nothing.
            window.setSelectedViewController(&b);
            QCOMPARE(b.willAppear, 1);
            QCOMPARE(notified, 2);
        }
        Settings::reloadForTesting();
        // A new window (a restart) reopens the sizable pane at its stored size.
        TestPane a2(QStringLiteral("A"), QSize(400, 300), true);
        TestPane b2(QStringLiteral("B"), QSize(500, 200), false);
        Settings::setObject(QStringLiteral("{{0, 0}, {900, 50}}"), PanedPreferencesWindowController::frameKeyForIdentifier(QStringLiteral("B")));
        PanedPreferencesWindowController window({&a2, &b2});
        window.setSelectedViewController(&a2);
        QCOMPARE(window.size(), QSize(640, 480 + chrome(window)));
        QCOMPARE(window.windowTitle(), QStringLiteral("A label")); // no title: the pane's label
        // A fixed pane ignores a stored size and takes its first-seen size.
        window.setSelectedViewController(&b2);
        QCOMPARE(window.size(), QSize(500, 200 + chrome(window)));
    }

    void sizablePaneNeverBelowItsFirstSeenSize()
    {
        TestPane a(QStringLiteral("A"), QSize(400, 300), true);
        Settings::setObject(QStringLiteral("{{0, 0}, {100, 100}}"), PanedPreferencesWindowController::frameKeyForIdentifier(QStringLiteral("A")));
        PanedPreferencesWindowController window({&a});
        window.setSelectedViewController(&a);
        QCOMPARE(window.size(), QSize(400, 300 + chrome(window)));
        QCOMPARE(window.minimumSize(), QSize(400, 300 + chrome(window)));
        QCOMPARE(window.minimumSizeForIdentifier(QStringLiteral("A")), QSize(400, 300));
    }

    void refusedSwitchKeepsPaneAndToolbar()
    {
        TestPane a(QStringLiteral("A"), QSize(300, 200), true);
        TestPane b(QStringLiteral("B"), QSize(300, 250), true);
        PanedPreferencesWindowController window({&a, &b});
        window.setSelectedViewController(&a);
        a.allowCommit = false;
        // A click on B's entry checks it in the toolbar before the window asks A.
        window.toolbarActionForIdentifier(QStringLiteral("B"))->trigger();
        QCOMPARE(window.selectedViewController(), &a);
        QVERIFY(window.toolbarActionForIdentifier(QStringLiteral("A"))->isChecked());
        QVERIFY(!window.toolbarActionForIdentifier(QStringLiteral("B"))->isChecked());
        QCOMPARE(b.willAppear, 0);
        // Nor does the window close while the pane refuses.
        window.show();
        QVERIFY(!window.close());
        a.allowCommit = true;
        window.toolbarActionForIdentifier(QStringLiteral("B"))->trigger();
        QCOMPARE(window.selectedViewController(), &b);
        QVERIFY(window.close());
    }

    void nextAndPreviousWrapAndSkipNullEntries()
    {
        TestPane a(QStringLiteral("A"), QSize(300, 200), true);
        TestPane b(QStringLiteral("B"), QSize(300, 200), true);
        PanedPreferencesWindowController window({&a, nullptr, &b});
        QCOMPARE(window.toolbarItemIdentifiers(),
                 QStringList({QStringLiteral("A"), QStringLiteral("NSToolbarFlexibleSpaceItem"), QStringLiteral("B")}));
        QCOMPARE(window.indexOfSelectedController(), -1);
        window.goNextTab();
        QCOMPARE(window.selectedViewController(), &a);
        window.goNextTab();
        QCOMPARE(window.selectedViewController(), &b);
        window.goNextTab();
        QCOMPARE(window.selectedViewController(), &a);
        window.goPreviousTab();
        QCOMPARE(window.selectedViewController(), &b);
        QCOMPARE(window.indexOfSelectedController(), 2);
        window.selectControllerAtIndex(7); // out of range: nothing
        QCOMPARE(window.selectedViewController(), &b);
        QCOMPARE(window.viewControllerForIdentifier(QStringLiteral("A")), &a);
        QCOMPARE(window.viewControllerForIdentifier(QStringLiteral("zzz")), nullptr);
        // An empty list (or only null entries) does nothing.
        PanedPreferencesWindowController empty({});
        empty.goNextTab();
        empty.goPreviousTab();
        QCOMPARE(empty.selectedViewController(), nullptr);
        PanedPreferencesWindowController onlyNull({nullptr});
        onlyNull.goNextTab();
        QCOMPARE(onlyNull.selectedViewController(), nullptr);
    }

    void selectingNullEmptiesTheContent()
    {
        TestPane a(QStringLiteral("A"), QSize(300, 200), true);
        PanedPreferencesWindowController window({&a});
        window.setSelectedViewController(&a);
        QCOMPARE(a.parentWidget(), window.innerContentViewContainer());
        window.setSelectedViewController(nullptr);
        QCOMPARE(window.selectedViewController(), nullptr);
        QCOMPARE(a.parentWidget(), nullptr);
        QVERIFY(!window.toolbarActionForIdentifier(QStringLiteral("A"))->isChecked());
    }

    // The window opens centred on its screen whatever top-left corner was stored, and a size
    // remembered on a large monitor is fitted to a small screen, for every pane.
    void opensCentredAndFitsTheScreen()
    {
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        // Run on the 1280x800 screen of the test's configuration: smaller than the stored size.
        QVERIFY2(available.width() < 3000 && available.height() < 2500, "the test screen is too large");
        Settings::setObject(QStringLiteral("{0, 0}"), PanedPreferencesWindowController::FrameTopLeftKey);
        Settings::setObject(QStringLiteral("{{0, 0}, {3000, 2500}}"),
                            PanedPreferencesWindowController::frameKeyForIdentifier(QStringLiteral("Big")));
        TestPane big(QStringLiteral("Big"), QSize(400, 300), true);
        TestPane tall(QStringLiteral("Tall"), QSize(500, 700), false);
        TestPane small(QStringLiteral("Small"), QSize(300, 200), false);
        {
            PanedPreferencesWindowController window({&small, &big, &tall});
            window.setSelectedViewController(&small);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            const QPoint centre = window.frameGeometry().center();
            QVERIFY2(qAbs(centre.x() - available.center().x()) <= 1 && qAbs(centre.y() - available.center().y()) <= 1,
                     qPrintable(QStringLiteral("frame centre %1,%2").arg(centre.x()).arg(centre.y())));

            // The oversized stored size: the whole frame stays on the screen.
            window.setSelectedViewController(&big);
            QVERIFY2(available.contains(window.frameGeometry()),
                     qPrintable(QStringLiteral("frame %1x%2 at %3,%4").arg(window.frameGeometry().width())
                                    .arg(window.frameGeometry().height()).arg(window.x()).arg(window.y())));
            QVERIFY(window.width() >= 400 && window.height() >= 300 + chrome(window));
            QVERIFY(window.minimumHeight() <= available.height());

            // Near the bottom-right corner a taller pane moves the window just enough to fit.
            window.setSelectedViewController(&small);
            window.move(available.right() - window.frameGeometry().width() - 10, available.bottom() - window.frameGeometry().height() - 10);
            QCoreApplication::processEvents();
            window.setSelectedViewController(&tall);
            QVERIFY(available.contains(window.frameGeometry()));
            QCOMPARE(window.size(), QSize(500, 700 + chrome(window)));
            window.close();
        }
        // A new window on the stored big pane opens fitted and centred, without being shown first.
        TestPane big2(QStringLiteral("Big"), QSize(400, 300), true);
        PanedPreferencesWindowController window({&big2});
        window.setSelectedViewController(&big2);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(available.contains(window.frameGeometry()));
        QVERIFY(qAbs(window.frameGeometry().center().x() - available.center().x()) <= 1);
    }

    void moveStoresTopLeft()
    {
        TestPane a(QStringLiteral("A"), QSize(300, 200), true);
        PanedPreferencesWindowController window({&a});
        window.setSelectedViewController(&a);
        window.show();
        window.move(120, 90);
        QCoreApplication::processEvents();
        QVERIFY(Settings::stringForKey(PanedPreferencesWindowController::FrameTopLeftKey).startsWith(QLatin1Char('{')));
    }
};

QTEST_MAIN(TestPanedPreferences)
#include "tst_paned_preferences.moc"
