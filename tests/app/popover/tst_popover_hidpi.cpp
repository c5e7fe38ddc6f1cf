// The tray popover on a screen of device pixel ratio 2: the account's pictures are made at the
// screen's density (not at 1 and blown up), and the outline stays one device pixel wide.
#include "PopoverTestSupport.h"

#include "app/menubar/TrayMenuController.h"
#include "app/menubar/TrayPopoverView.h"
#include "app/widgets/SmallViews.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestPopoverHiDpi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCOMPARE(qApp->devicePixelRatio(), 2.0);
        TrayMenuController::setExpandDelayForTesting(0.0);
    }

    void picturesAndOutlineAtTheScreensDensity()
    {
        QTemporaryDir dir;
        FakePopoverWorld world;
        // A cover of fine stripes, one source pixel each: drawn at ratio 1 and enlarged, two
        // neighbouring device pixels would always share a colour.
        QImage cover(1000, 200, QImage::Format_RGB32);
        for (int x = 0; x < cover.width(); ++x)
            for (int y = 0; y < cover.height(); ++y)
                cover.setPixelColor(x, y, x % 2 ? Qt::black : Qt::white);
        world.coverPath = dir.filePath(QStringLiteral("UserCover.png"));
        QVERIFY(cover.save(world.coverPath));
        world.install();

        TrayMenuController controller(nullptr);
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        controller.showRelativeTo(QRect(screen.center().x(), screen.top(), 24, 24));
        TrayMenuView *view = controller.trayMenuView();

        // 1000x200 aspect-filled into 360x100 points is 500x100 points: 1000x200 device pixels.
        const QPixmap shown = view->coverPhotoImageView()->pixmap();
        QCOMPARE(shown.devicePixelRatio(), 2.0);
        QCOMPARE(shown.size(), QSize(1000, 200));
        QCOMPARE(shown.deviceIndependentSize(), QSizeF(500, 100));
        const QImage pixels = shown.toImage();
        int alternations = 0;
        for (int x = 400; x < 420; ++x)
            alternations += pixels.pixelColor(x, 50).lightness() > 127 != pixels.pixelColor(x + 1, 50).lightness() > 127;
        QVERIFY2(alternations >= 18, qPrintable(QString::number(alternations)));

        // The whole popover at two device pixels a point, its outline one device pixel wide.
        QTRY_VERIFY(controller.allowExpand());
        QTRY_VERIFY(!view->isAnimatingHeight());
        const QImage shot = controller.popoverWindow()->grab().toImage();
        QCOMPARE(shot.devicePixelRatio(), 2.0);
        QCOMPARE(shot.size(), controller.popoverWindow()->size() * 2);
        const int bottom = shot.height() - 1;
        const QColor edge = shot.pixelColor(shot.width() / 2, bottom);
        QVERIFY2(edge.red() > 190 && edge.red() < 220, qPrintable(edge.name()));
        QCOMPARE(shot.pixelColor(shot.width() / 2, bottom - 1), QColor(Qt::white));
    }
};

int main(int argc, char **argv)
{
    // Every screen at device pixel ratio 2, as a HiDPI desktop sets it.
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestPopoverHiDpi test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_popover_hidpi.moc"
