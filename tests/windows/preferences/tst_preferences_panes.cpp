#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "support/ScriptedModalUi.h"
#include "ui_AccountPreferencesView.h"
#include "ui_GeneralPreferencesView.h"
#include "windows/preferences/AccountPreferencesViewController.h"
#include "windows/preferences/GeneralPreferencesViewController.h"
#include "windows/preferences/LMRLargeCheckboxCell.h"
#include "windows/preferences/PreferencesServices.h"

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

namespace {
QStringList titles(QMenu *menu)
{
    QStringList out;
    for (QAction *a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("-") : QString(a->text()).replace(QStringLiteral("&&"), QStringLiteral("&")));
    return out;
}
QAction *actionNamed(QMenu *menu, const QString &title)
{
    for (QAction *a : menu->actions())
        if (QString(a->text()).replace(QStringLiteral("&&"), QStringLiteral("&")) == title)
            return a;
    return nullptr;
}
} // namespace

class TestPreferencesPanes : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QStringList m_calls;
    int m_photos = 0;
    qint64 m_bytes = 0;

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
    }
    void init()
    {
        Settings::clearAllSettingsPERMANENTLY();
        PreferencesServices::reset();
        m_calls.clear();
        auto &s = PreferencesServices::instance();
        s.photoCount = [this] { return m_photos; };
        s.storageUsed = [this] { return m_bytes; };
        s.logoutAfterConfirming = [this] { m_calls << QStringLiteral("logout"); };
        s.updateStatusIcon = [this] { m_calls << QStringLiteral("icon"); };
        s.checkForUpdates = [this] { m_calls << QStringLiteral("updates"); };
        s.viewDebugLog = [this] { m_calls << QStringLiteral("log"); };
        s.openBugTracker = [this] { m_calls << QStringLiteral("bug"); };
        s.switchBranchFollowUp = [this] { m_calls << QStringLiteral("branch"); };
        static bool runAtStartup = false;
        runAtStartup = false;
        s.runAtStartup = [] { return runAtStartup; };
        s.setRunAtStartup = [](bool on) { runAtStartup = on; };
    }

    // ---- Account ----
    void spaceLineAndBar()
    {
        QCOMPARE(AccountPreferencesViewController::spaceLine(QStringLiteral("pat"), 1, 0),
                 QStringLiteral("1 photo, 0.00 GB used of unlimited!"));
        QCOMPARE(AccountPreferencesViewController::spaceLine(QStringLiteral("pat"), 7, 2684354560LL),
                 QStringLiteral("7 photos, 2.50 GB used of unlimited!"));
        QCOMPARE(AccountPreferencesViewController::spaceLine(QString(), 7, 2684354560LL), QString());
        QCOMPARE(AccountPreferencesViewController::spaceBarFillWidth(300, 0), 0);
        // 2.5 GB of 1000 is below the 0.5% floor: the floor shows.
        QCOMPARE(AccountPreferencesViewController::spaceBarFillWidth(300, 2684354560LL), 2); // 1.5 rounds up
        QCOMPARE(AccountPreferencesViewController::spaceBarFillWidth(300, 1500LL * 1024 * 1024 * 1024), 300);
        QCOMPARE(AccountPreferencesViewController::spaceBarFillWidth(300, 500LL * 1024 * 1024 * 1024), 150);
    }

    void greetingAndImagesFromTheCache()
    {
        auto &s = PreferencesServices::instance();
        s.currentUserName = [] { return QStringLiteral("pat"); };
        const QString avatarPath = m_dir.filePath(QStringLiteral("UserImage.jpg"));
        const QString coverPath = m_dir.filePath(QStringLiteral("UserCover.jpg"));
        QImage avatar(40, 40, QImage::Format_RGB32);
        avatar.fill(Qt::red);
        QVERIFY(avatar.save(avatarPath, "JPG"));
        QFile garbage(coverPath);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("not an image");
        garbage.close();
        int avatarReads = 0;
        s.userImageFilePath = [&] { ++avatarReads; return avatarPath; };
        s.userCoverImageFilePath = [&] { return coverPath; };
        m_photos = 3;
        m_bytes = 1024LL * 1024 * 1024;

        AccountPreferencesViewController pane;
        QCOMPARE(pane.ui()->accountNameTextField->text(), QStringLiteral("Namaste, pat!"));
        QCOMPARE(pane.ui()->accountNameTextField2->text(), QStringLiteral("Now you know how to greet people in Hindi!"));
        pane.viewWillAppear();
        QCOMPARE(pane.ui()->accountSpaceTextField->text(), QStringLiteral("3 photos, 1.00 GB used of unlimited!"));
        QVERIFY(!pane.ui()->avatarImageView->pixmap().isNull());
        QVERIFY(pane.ui()->coverPhotoImageView->pixmap().isNull()); // unreadable: left empty
        QCOMPARE(pane.ui()->spaceUsedImageView->property("fillWidth").toInt(), 2);
        pane.viewWillAppear();
        QCOMPARE(avatarReads, 1); // already shown: not loaded again
        // A valid cover appears on the next appearance.
        QImage cover(200, 50, QImage::Format_RGB32);
        cover.fill(Qt::blue);
        QVERIFY(cover.save(coverPath, "JPG"));
        pane.viewWillAppear();
        QVERIFY(!pane.ui()->coverPhotoImageView->pixmap().isNull());
        QCOMPARE(pane.ui()->coverPhotoImageView->pixmap().size(), pane.ui()->coverPhotoImageView->size());

        // The uploader's count notification (from its own thread) refreshes the numbers.
        m_photos = 4;
        std::thread poster([] { NotificationCenter::post(Notifications::PhotoUploadedCountChanged); });
        poster.join();
        QTRY_COMPARE(pane.ui()->accountSpaceTextField->text(), QStringLiteral("4 photos, 1.00 GB used of unlimited!"));
        // Hidden pane: no longer observing.
        pane.viewDidDisappear();
        m_photos = 9;
        NotificationCenter::post(Notifications::PhotoUploadedCountChanged);
        QTest::qWait(20);
        QCOMPARE(pane.ui()->accountSpaceTextField->text(), QStringLiteral("4 photos, 1.00 GB used of unlimited!"));
    }

    void notSignedInAndLogOut()
    {
        AccountPreferencesViewController pane;
        QCOMPARE(pane.ui()->accountNameTextField->text(), QStringLiteral("Not logged in"));
        QCOMPARE(pane.ui()->accountNameTextField2->text(), QStringLiteral("Please sign in with the welcome screen"));
        QVERIFY(pane.ui()->avatarImageView->isHidden());
        QVERIFY(pane.ui()->coverPhotoImageView->isHidden());
        pane.viewWillAppear();
        QVERIFY(pane.ui()->accountSpaceTextField->text().isEmpty());
        pane.ui()->logOutButton->click();
        QCOMPARE(m_calls, QStringList({QStringLiteral("logout")}));
        QMenu *menu = pane.buildAvatarMenu(nullptr);
        QCOMPARE(titles(menu), QStringList({QStringLiteral("Log out")}));
        menu->actions().first()->trigger();
        QCOMPARE(m_calls.size(), 2);
        delete menu;
    }

    // ---- About ----
    void versionAndYear()
    {
        QCOMPARE(GeneralPreferencesViewController::noticeYear(QDate(2150, 1, 1)), 2015);
        QCOMPARE(GeneralPreferencesViewController::noticeYear(QDate(2014, 12, 31)), 2015);
        QCOMPARE(GeneralPreferencesViewController::noticeYear(QDate(2030, 6, 1)), 2030);
        QVERIFY(GeneralPreferencesViewController::yearNotice(QDate(2150, 1, 1)).contains(QStringLiteral("2015")));
        const QString version = GeneralPreferencesViewController::versionText(QStringLiteral("Version X.X"));
        QCOMPARE(version, QStringLiteral("Version %1.%2").arg(QStringLiteral(HOISTLY_VERSION), QStringLiteral(HOISTLY_BUILD_NUMBER)));
        Settings::setBool(true, QStringLiteral("AlphaEnvAvailable"));
        GeneralPreferencesViewController pane;
        QVERIFY(pane.ui()->versionTextField->text().endsWith(QStringLiteral(" (Release branch)")));
    }

    void logoMenuWithAndWithoutTheSwitch()
    {
        GeneralPreferencesViewController pane;
        QMenu *menu = pane.buildLogoMenu(nullptr);
        const QStringList plain{QStringLiteral("Use black & white tray icon"), QStringLiteral("Run at startup"), QStringLiteral("-"),
                                QStringLiteral("Open source credits"), QStringLiteral("-"), QStringLiteral("Check for updates"),
                                QStringLiteral("View debug log")};
        QCOMPARE(titles(menu), plain);
        delete menu;
        Settings::setBool(true, QStringLiteral("DevBrAvailable"));
        menu = pane.buildLogoMenu(nullptr);
        QCOMPARE(titles(menu).size(), plain.size() + 2);
        QCOMPARE(titles(menu).at(1), QStringLiteral("-"));
        const QString offTitle = titles(menu).first();
        menu->actions().first()->trigger();
        QVERIFY(Settings::boolForKey(GeneralPreferencesViewController::hiddenChannelKey()));
        QCOMPARE(m_calls.last(), QStringLiteral("branch"));
        delete menu;
        Settings::setBool(false, QStringLiteral("DevBrAvailable"));
        menu = pane.buildLogoMenu(nullptr); // the switch is on: still offered, with the other title
        QVERIFY(titles(menu).first() != offTitle);
        QCOMPARE(titles(menu).size(), plain.size() + 2);
        actionNamed(menu, QStringLiteral("Check for updates"))->trigger();
        actionNamed(menu, QStringLiteral("View debug log"))->trigger();
        QCOMPARE(m_calls.mid(m_calls.size() - 2), QStringList({QStringLiteral("updates"), QStringLiteral("log")}));
        delete menu;
    }

    void runAtStartupTogglesBack()
    {
        GeneralPreferencesViewController pane;
        auto &s = PreferencesServices::instance();
        QVERIFY(!s.runAtStartup());
        pane.toggleRunAtStartup();
        QVERIFY(s.runAtStartup());
        QMenu *menu = pane.buildLogoMenu(nullptr);
        QVERIFY(actionNamed(menu, QStringLiteral("Run at startup"))->isChecked());
        actionNamed(menu, QStringLiteral("Run at startup"))->trigger();
        QVERIFY(!s.runAtStartup());
        delete menu;
    }

    void blackAndWhiteCheckboxFollowsTheSetting()
    {
        GeneralPreferencesViewController pane;
        QCheckBox *box = pane.ui()->blackAndWhiteIcon;
        QVERIFY(!box->isChecked());
        box->click();
        QVERIFY(box->isChecked());
        QVERIFY(Settings::boolForKey(QStringLiteral("TrayIconBW")));
        QCOMPARE(m_calls.last(), QStringLiteral("icon"));
        // Changed from the logo menu: the check box follows.
        QMenu *menu = pane.buildLogoMenu(nullptr);
        QVERIFY(actionNamed(menu, QStringLiteral("Use black & white tray icon"))->isChecked());
        actionNamed(menu, QStringLiteral("Use black & white tray icon"))->trigger();
        delete menu;
        QVERIFY(!Settings::boolForKey(QStringLiteral("TrayIconBW")));
        QVERIFY(!box->isChecked());
        // Changed elsewhere while hidden: shown again, the box reads the setting.
        Settings::setBool(true, QStringLiteral("TrayIconBW"));
        pane.viewWillAppear();
        QVERIFY(box->isChecked());
        box->click();
        QVERIFY(!Settings::boolForKey(QStringLiteral("TrayIconBW")));
        QVERIFY(!box->isChecked());
    }

    void largeCheckboxImages()
    {
        LMRLargeCheckboxCell box(QStringLiteral("Upload my Pictures"));
        QCOMPARE(box.imageName(), QStringLiteral("CheckboxL"));
        box.setDown(true);
        QCOMPARE(box.imageName(), QStringLiteral("CheckboxLH"));
        box.setChecked(true);
        QCOMPARE(box.imageName(), QStringLiteral("CheckboxLSH"));
        box.setDown(false);
        QCOMPARE(box.imageName(), QStringLiteral("CheckboxLS"));
        QVERIFY(box.sizeHint().width() > 22 + QFontMetrics(box.font()).horizontalAdvance(QStringLiteral("Upload")));
        // A click anywhere on it (title included) toggles it.
        box.resize(box.sizeHint());
        box.show();
        QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(box.width() - 5, box.height() / 2));
        QVERIFY(!box.isChecked());
    }

    void buttonsReachTheirCommands()
    {
        ScriptedAlerts alerts;
        InstallAlerts installed(&alerts);
        GeneralPreferencesViewController pane;
        QMenu *menu = pane.buildLogoMenu(nullptr);
        actionNamed(menu, QStringLiteral("Open source credits"))->trigger(); // answered, no modal loop
        delete menu;
        QCOMPARE(alerts.count(), 1);
        QVERIFY(alerts.last().message.contains(QStringLiteral("Qt")));
        pane.ui()->checkForUpdatesButton->click();
        pane.ui()->contactUsButton->click();
        QCOMPARE(m_calls, QStringList({QStringLiteral("updates"), QStringLiteral("bug")}));
    }
};

QTEST_MAIN(TestPreferencesPanes)
#include "tst_preferences_panes.moc"
