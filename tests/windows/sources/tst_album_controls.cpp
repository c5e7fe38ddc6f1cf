#include "windows/sources/SourcePaneMenuItem.h"
#include "windows/sources/SourcesPaneAlbumButton.h"

#include <QLineEdit>
#include <QPushButton>
#include <QMenu>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

namespace {
struct RecordingDelegate : SourcesPaneAlbumButtonDelegate
{
    QStringList texts;
    void sourcesPanelAlbumButtonDidFinishRenaming(SourcesPaneAlbumButton *, const QString &text) override { texts << text; }
};
} // namespace

class TestAlbumControls : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void widthFollowsTheTitleUpTo156()
    {
        QWidget host;
        SourcesPaneAlbumButton button(&host);
        button.setIsAlbum(true);
        button.setShowAlbumIcon(true);
        button.setText(QStringLiteral("Summer"));
        const int text = button.fontMetrics().horizontalAdvance(QStringLiteral("Summer"));
        QCOMPARE(button.sizeThatFits(22).width(), text + 2 + 24 + 16);
        button.setShowAlbumIcon(false);
        QCOMPARE(button.sizeThatFits(22).width(), text + 2 + 10 + 16);
        button.setIsAlbum(false);
        QCOMPARE(button.sizeThatFits(22).width(), text + 32 + 8);
        button.setText(QString(200, QLatin1Char('W')));
        QCOMPARE(button.sizeThatFits(22).width(), 156);
        // Sizing to fit keeps the right edge where it is.
        button.setText(QStringLiteral("Short"));
        button.setGeometry(200, 5, 150, 22);
        button.sizeToFit();
        QCOMPARE(button.geometry().right(), 349);
        QVERIFY(button.width() < 150);
    }

    void renameInPlace()
    {
        QWidget host;
        host.resize(400, 60);
        auto *button = new SourcesPaneAlbumButton(&host);
        auto *elsewhere = new QPushButton(QStringLiteral("Elsewhere"), &host);
        elsewhere->setGeometry(0, 30, 80, 24);
        QSignalSpy elsewhereClicks(elsewhere, &QPushButton::clicked);
        RecordingDelegate delegate;
        button->setRenameDelegate(&delegate);
        button->setIsAlbum(true);
        button->setShowAlbumIcon(true);
        button->setCanEditTitle(true);
        button->setText(QStringLiteral("Trip"));
        button->setGeometry(250, 4, 80, 22);
        button->sizeToFit();
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        const int right = button->geometry().right();
        QVERIFY(!button->cursorRect().isEmpty());

        // A click on the name starts renaming; the base button's action does not run.
        QSignalSpy clicked(button, &QPushButton::clicked);
        QTest::mouseClick(button, Qt::LeftButton, {}, button->cursorRect().center());
        QVERIFY(button->editingTitle());
        QVERIFY(button->editableTextField()->isVisible());
        QCOMPARE(button->editableTextField()->text(), QStringLiteral("Trip"));
        QVERIFY(button->hasClickMonitor());
        QCOMPARE(clicked.count(), 0);
        // Typing retitles and widens the button to the left, up to 156 points.
        QTest::keyClicks(button->editableTextField(), QStringLiteral(" to the mountains"));
        QCOMPARE(button->text(), QStringLiteral("Trip to the mountains"));
        QCOMPARE(button->geometry().right(), right);
        QTest::keyClicks(button->editableTextField(), QStringLiteral(" and the sea, with everyone we know"));
        QCOMPARE(button->width(), 156);
        QCOMPARE(button->geometry().right(), right);
        // Return ends renaming and reports the text.
        QTest::keyClick(button->editableTextField(), Qt::Key_Return);
        QVERIFY(!button->editingTitle());
        QVERIFY(!button->editableTextField()->isVisible());
        QCOMPARE(delegate.texts, QStringList({QStringLiteral("Trip to the mountains and the sea, with everyone we know")}));
        QVERIFY(!button->hasClickMonitor());

        // A click elsewhere ends renaming, and still reaches what was clicked.
        QTest::mouseClick(button, Qt::LeftButton, {}, button->cursorRect().center());
        QVERIFY(button->editingTitle());
        QTest::mouseClick(elsewhere, Qt::LeftButton);
        QTRY_VERIFY(!button->editingTitle());
        QCOMPARE(elsewhereClicks.count(), 1);
        QCOMPARE(delegate.texts.size(), 2);

        // Reuse ends renaming without telling the old delegate.
        QTest::mouseClick(button, Qt::LeftButton, {}, button->cursorRect().center());
        QVERIFY(button->editingTitle());
        button->prepareForReuse();
        QVERIFY(!button->editingTitle());
        QCOMPARE(delegate.texts.size(), 2);
        QVERIFY(button->cursorRect().isEmpty());
    }

    void choiceLookNeverRenames()
    {
        QWidget host;
        auto *button = new SourcesPaneAlbumButton(&host);
        button->setText(QStringLiteral("Create album"));
        button->setGeometry(10, 4, 120, 22);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        QSignalSpy clicked(button, &QPushButton::clicked);
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(30, 11));
        QVERIFY(!button->editingTitle());
        QCOMPARE(clicked.count(), 1);
        QVERIFY(button->cursorRect().isEmpty());
    }

    void menuItemSizes()
    {
        SourcePaneMenuItem plain(QStringLiteral("One line"));
        plain.menuItemView()->sizeToFit();
        QCOMPARE(plain.menuItemView()->height(), 22);
        QCOMPARE(plain.menuItemView()->lineOffsets(), QList<int>({0}));
        SourcePaneMenuItem detailed;
        detailed.setDesc(QStringLiteral("Album"));
        detailed.setItem(1, QStringLiteral("First"));
        detailed.setItem(3, QStringLiteral("Third")); // the empty second line takes no room
        detailed.menuItemView()->sizeToFit();
        QCOMPARE(detailed.menuItemView()->height(), 62);
        QCOMPARE(detailed.menuItemView()->lineOffsets(), QList<int>({20, 40}));
        const int widest = QFontMetrics(SourcePaneMenuItemView::lineFont()).horizontalAdvance(QStringLiteral("First"));
        QVERIFY(detailed.menuItemView()->width() >= 70 + widest);
        // A click closes the menu and runs the action.
        QMenu menu;
        menu.addAction(&detailed);
        QSignalSpy triggered(&detailed, &QAction::triggered);
        menu.popup(QPoint(10, 10));
        QTRY_VERIFY(menu.isVisible());
        QTest::mouseClick(detailed.menuItemView(), Qt::LeftButton, {}, QPoint(40, 30));
        QCOMPARE(triggered.count(), 1);
        QTRY_VERIFY(!menu.isVisible());
    }
};

QTEST_MAIN(TestAlbumControls)
#include "tst_album_controls.moc"
