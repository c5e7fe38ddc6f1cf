// How the album button and the album menu draw: the title whole and inside the button in every
// look, the menu item's check mark visible on the menu, the menu narrow and scrolling with
// hundreds of albums, and the I-beam only over the name that can be renamed.
#include "support/PixelProbe.h"
#include "windows/sources/SourcePaneMenuItem.h"
#include "windows/sources/SourcesPaneAlbumButton.h"

#include <QEnterEvent>
#include <QMenu>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>

namespace {
// The pixels where two renderings differ: what the title alone adds to the button.
QRect differenceBounds(const QImage &a, const QImage &b)
{
    const QImage ia = a.convertToFormat(QImage::Format_ARGB32);
    const QImage ib = b.convertToFormat(QImage::Format_ARGB32);
    QRect bounds;
    for (int y = 0; y < ia.height(); ++y) {
        for (int x = 0; x < ia.width(); ++x) {
            if (PixelProbe::distance(ia.pixel(x, y), ib.pixel(x, y)) > 96)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

QImage renderButton(SourcesPaneAlbumButton &button, const QString &title)
{
    button.setText(title);
    return button.grab().toImage();
}
} // namespace

class TestAlbumDrawing : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void titleDrawsWholeInsideTheButton_data()
    {
        QTest::addColumn<bool>("album");
        QTest::addColumn<bool>("icon");
        QTest::addColumn<QString>("title");
        QTest::newRow("choice") << false << false << QStringLiteral("Create album");
        QTest::newRow("choice with icon") << false << true << QStringLiteral("Create album");
        QTest::newRow("album") << true << true << QStringLiteral("Summer in Wales");
        QTest::newRow("album without icon") << true << false << QStringLiteral("Summer in Wales");
    }
    void titleDrawsWholeInsideTheButton()
    {
        QFETCH(bool, album);
        QFETCH(bool, icon);
        QFETCH(QString, title);
        QWidget host;
        host.resize(300, 40);
        SourcesPaneAlbumButton button(&host);
        button.setIsAlbum(album);
        button.setShowAlbumIcon(icon);
        button.setText(title);
        button.setGeometry(120, 9, 100, 22);
        button.sizeToFit();
        const QImage bare = renderButton(button, QString());
        const QImage titled = renderButton(button, title);
        const QRect chrome = PixelProbe::inkBounds(bare, bare.pixel(0, 0));
        const QRect text = differenceBounds(bare, titled);
        QVERIFY(!text.isEmpty());
        const int dpr = qRound(titled.devicePixelRatio());
        const int needed = button.fontMetrics().tightBoundingRect(title).width() * dpr;
        // The whole title: from its first letter to its last, nothing cut at the button's edge.
        QVERIFY2(text.left() > 0 && text.right() < titled.width() - 1,
                 qPrintable(QStringLiteral("title ink from %1 to %2 in %3").arg(text.left()).arg(text.right()).arg(titled.width())));
        QVERIFY2(text.width() >= needed - 2 * dpr,
                 qPrintable(QStringLiteral("title ink %1 wide, the title needs %2").arg(text.width()).arg(needed)));
        // Clear of the icon and of the arrow.
        if (!chrome.isEmpty() && icon)
            QVERIFY2(text.left() > PixelProbe::inkBounds(bare, bare.pixel(0, 0), QRect(0, 0, 30 * dpr, bare.height())).right(),
                     "title over the icon");
        if (!album) {
            const QRect arrow = PixelProbe::inkBounds(bare, bare.pixel(0, 0), QRect(bare.width() / 2, 0, bare.width() / 2, bare.height()));
            QVERIFY(!arrow.isEmpty());
            QVERIFY2(text.right() < arrow.left(), "title under the arrow");
        }
    }

    void checkMarkShowsOnTheMenuAndOnTheSelection()
    {
        QMenu menu;
        SourcePaneMenuItem item(QStringLiteral("Holidays"));
        item.setCheckable(true);
        item.setChecked(true);
        menu.addAction(&item);
        SourcePaneMenuItemView *view = item.menuItemView();
        view->sizeToFit();
        const QColor text = view->palette().color(QPalette::Text);
        const QColor base = view->palette().color(QPalette::Window);
        QVERIFY(PixelProbe::distance(text.rgb(), base.rgb()) > 200); // a light menu with dark text

        QImage image = view->grab().toImage();
        const int dpr = qRound(image.devicePixelRatio());
        const QRect column(0, 0, 30 * dpr, image.height());
        QVERIFY2(PixelProbe::countNear(image, column, text) >= 6 * dpr,
                 "no check mark in the menu's text colour on the menu");
        QCOMPARE(PixelProbe::countNear(image, column, Qt::white, 30), 0);

        // Highlighted: white on the selection colour.
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(view, &enter);
        image = view->grab().toImage();
        QVERIFY2(PixelProbe::countNear(image, column, Qt::white, 30) >= 6 * dpr, "no white check mark on the selection");
        QVERIFY(PixelProbe::countNear(image, column, view->palette().color(QPalette::Highlight), 30) > 0);

        // Not checked: nothing in the column.
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(view, &leave);
        item.setChecked(false);
        image = view->grab().toImage();
        QVERIFY(PixelProbe::inkBounds(image, image.pixel(0, 0), column).isEmpty());
    }

    void albumMenuStaysNarrowAndScrolls()
    {
        QMenu *menu = SourcePaneMenuItem::newAlbumMenu();
        const QString longTitle = QStringLiteral("Our trip along the whole coast of Scotland, from Berwick all the way round to "
                                                 "Gretna, in the wettest summer anyone remembers");
        QList<SourcePaneMenuItem *> items;
        for (int i = 0; i < 400; ++i) {
            auto *item = new SourcePaneMenuItem(i == 7 ? longTitle : QStringLiteral("Album %1").arg(i), menu);
            item->menuItemView()->sizeToFit();
            menu->addAction(item);
            items << item;
        }
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        menu->popup(available.topLeft() + QPoint(10, 10));
        QTRY_VERIFY(menu->isVisible());
        // One column, within the screen, no wider than an item may be.
        QVERIFY2(menu->height() <= available.height(), qPrintable(QString::number(menu->height())));
        QVERIFY2(menu->width() <= SourcePaneMenuItemView::kMaximumWidth + 40, qPrintable(QString::number(menu->width())));
        const int column = menu->actionGeometry(items.first()).x();
        for (SourcePaneMenuItem *item : std::as_const(items))
            QCOMPARE(menu->actionGeometry(item).x(), column);
        // The long title is shortened in the menu and whole in the tooltip.
        SourcePaneMenuItemView *longView = items.at(7)->menuItemView();
        QCOMPARE(longView->width(), SourcePaneMenuItemView::kMaximumWidth);
        QVERIFY(longView->toolTip().contains(longTitle));
        QVERIFY(items.at(8)->menuItemView()->toolTip().isEmpty());
        // The last album can be scrolled to.
        QVERIFY(!menu->rect().contains(menu->actionGeometry(items.last())));
        QTest::keyClick(menu, Qt::Key_End);
        QTRY_VERIFY(menu->rect().contains(menu->actionGeometry(items.last())));
        menu->close();
        delete menu;
    }

    void iBeamOnlyOverTheName()
    {
        QWidget host;
        host.resize(300, 40);
        auto *button = new SourcesPaneAlbumButton(&host);
        button->setIsAlbum(true);
        button->setShowAlbumIcon(true);
        button->setCanEditTitle(true);
        button->setText(QStringLiteral("Summer"));
        button->setGeometry(100, 9, 120, 22);
        button->sizeToFit();
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        const QRect name = button->cursorRect();
        QVERIFY(!name.isEmpty());
        QTest::mouseMove(button, name.center());
        QTRY_COMPARE(button->cursor().shape(), Qt::IBeamCursor);
        // Over the album icon and the margins: the ordinary pointer.
        QTest::mouseMove(button, QPoint(12, button->height() / 2));
        QTRY_COMPARE(button->cursor().shape(), Qt::ArrowCursor);
        QTest::mouseMove(button, QPoint(button->width() - 2, button->height() / 2));
        QTRY_COMPARE(button->cursor().shape(), Qt::ArrowCursor);
        QTest::mouseMove(button, name.center());
        QTRY_COMPARE(button->cursor().shape(), Qt::IBeamCursor);
        // A choice (nothing to rename) never shows the I-beam.
        button->setIsAlbum(false);
        button->setCanEditTitle(false);
        button->update();
        QTest::mouseMove(button, QPoint(button->width() / 2, button->height() / 2));
        QTRY_COMPARE(button->cursor().shape(), Qt::ArrowCursor);
    }
};

QTEST_MAIN(TestAlbumDrawing)
#include "tst_album_drawing.moc"
