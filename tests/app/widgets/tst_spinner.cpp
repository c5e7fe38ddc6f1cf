#include "app/widgets/SpinningProgressIndicator.h"

#include <QPainter>
#include <QStandardPaths>
#include <QtTest>

static QImage render(const SpinningProgressIndicator &spinner, QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    spinner.drawInto(painter, QSizeF(size));
    return image;
}

class TestSpinner : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void defaultsDrawTwelveDimFins()
    {
        SpinningProgressIndicator spinner;
        QVERIFY(spinner.isIndeterminate());
        QVERIFY(spinner.isDisplayedWhenStopped());
        QVERIFY(spinner.usesThreadedAnimation());
        QCOMPARE(spinner.color(), QColor(Qt::black));
        QCOMPARE(spinner.doubleValue(), 0.0);
        QCOMPARE(spinner.maxValue(), 100.0);
        QVERIFY(!spinner.isAnimating());
        // 100x100: fins from 23.4 to 42.2 from the centre; fin 0 straight up.
        const QImage image = render(spinner, QSize(100, 100));
        const QColor up = image.pixelColor(50, 50 - 33);
        QVERIFY2(qAbs(up.alpha() - 38) <= 4, qPrintable(QString::number(up.alpha())));
        QCOMPARE(image.pixelColor(50, 50).alpha(), 0); // hole in the middle
        // Twelve fins: one at 3 o'clock (fin 9, counter-clockwise from 12), none at 45 degrees off a fin.
        QVERIFY(image.pixelColor(50 + 33, 50).alpha() > 20);
        QVERIFY(image.pixelColor(50 - 33, 50).alpha() > 20);
        const double a = 15.0 * M_PI / 180.0;
        QCOMPARE(image.pixelColor(50 + int(33 * std::sin(a)), 50 - int(33 * std::cos(a))).alpha(), 0);
    }

    void startsWhenShownAndFadesOnStop()
    {
        SpinningProgressIndicator spinner;
        spinner.resize(32, 32);
        spinner.startAnimation();
        QVERIFY(spinner.isAnimating());
        QVERIFY(!spinner.isTimerRunning()); // not on screen yet
        spinner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&spinner));
        QVERIFY(spinner.isTimerRunning());
        QCOMPARE(spinner.position(), 1);

        spinner.updateFrame();
        QCOMPARE(spinner.position(), 0);
        QCOMPARE(spinner.finColor(0).alphaF(), 1.0f);
        spinner.updateFrame();
        QCOMPARE(spinner.position(), 11); // around again, clockwise on screen
        QVERIFY(qAbs(spinner.finColor(0).alphaF() - 0.85f) < 0.01f);

        spinner.stopAnimation();
        QVERIFY(spinner.isAnimating());
        QVERIFY(spinner.isFadingOut());
        int frames = 0;
        while (spinner.isAnimating() && frames < 100) {
            spinner.updateFrame();
            ++frames;
        }
        QVERIFY(!spinner.isAnimating());
        QVERIFY(!spinner.isTimerRunning());
        // The last lit fin (alpha 1.0 one frame before the stop) needs twelve frames to 0.15.
        QVERIFY2(frames >= 11 && frames <= 13, qPrintable(QString::number(frames)));
    }

    void hiddenWhenStoppedUnlessDisplayed()
    {
        QWidget window;
        auto *spinner = new SpinningProgressIndicator(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        spinner->setDisplayedWhenStopped(false);
        QVERIFY(spinner->isHidden());
        spinner->startAnimation();
        QVERIFY(!spinner->isHidden());
        QVERIFY(spinner->isTimerRunning());
        spinner->stopAnimation();
        for (int i = 0; i < 60 && spinner->isAnimating(); ++i)
            spinner->updateFrame();
        QVERIFY(spinner->isHidden());
        spinner->setDisplayedWhenStopped(true);
        QVERIFY(!spinner->isHidden());
        // Off screen the frames pause; back on screen they go on, as nobody stopped them.
        spinner->startAnimation();
        window.hide();
        QVERIFY(spinner->isAnimating());
        QVERIFY(!spinner->isTimerRunning());
        window.show();
        QVERIFY(spinner->isTimerRunning());
    }

    void determinatePie()
    {
        SpinningProgressIndicator spinner;
        spinner.setDoubleValue(25);
        QVERIFY(!spinner.isIndeterminate());
        const QImage image = render(spinner, QSize(100, 100));
        // Quarter from 12 to 3 o'clock: upper-right filled, the others empty inside the ring.
        QVERIFY(image.pixelColor(65, 35).alpha() > 200);
        QCOMPARE(image.pixelColor(35, 35).alpha(), 0);
        QCOMPARE(image.pixelColor(65, 65).alpha(), 0);
        QCOMPARE(image.pixelColor(35, 65).alpha(), 0);
        QVERIFY(image.pixelColor(50, 50 + 47).alpha() > 100 || image.pixelColor(50, 50 + 46).alpha() > 100); // ring
        // startAnimation does nothing in this mode.
        spinner.startAnimation();
        QVERIFY(!spinner.isAnimating());
        // A maximum of 0 draws nothing instead of dividing by zero.
        spinner.setMaxValue(0);
        const QImage none = render(spinner, QSize(100, 100));
        QCOMPARE(none, [] { QImage i(100, 100, QImage::Format_ARGB32_Premultiplied); i.fill(Qt::transparent); return i; }());
    }

    void switchingModes()
    {
        SpinningProgressIndicator spinner;
        spinner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&spinner));
        spinner.startAnimation();
        spinner.updateFrame();
        spinner.setUsesThreadedAnimation(true); // same value: nothing
        QCOMPARE(spinner.position(), 0);
        spinner.setUsesThreadedAnimation(false);
        QVERIFY(spinner.isAnimating());
        QVERIFY(!spinner.isFadingOut());
        QVERIFY(spinner.isTimerRunning());
        QCOMPARE(spinner.position(), 1); // restarted
        // Switching to determinate while animating asks for a stop.
        spinner.setIndeterminate(false);
        QVERIFY(spinner.isFadingOut());
        // A new colour keeps each fin's alpha.
        spinner.setIndeterminate(true);
        spinner.startAnimation();
        spinner.updateFrame();
        spinner.setColor(Qt::white);
        QCOMPARE(spinner.finColor(0).rgb(), QColor(Qt::white).rgb());
        QCOMPARE(spinner.finColor(0).alphaF(), 1.0f);
    }

    void smallBoundsUseTheShorterEdge()
    {
        SpinningProgressIndicator spinner;
        // 40x20: fins sized from 20, from 4.69 to 8.44 from the centre (20, 10).
        const QImage image = render(spinner, QSize(40, 20));
        QVERIFY(image.pixelColor(20, 10 - 7).alpha() > 0);
        QCOMPARE(image.pixelColor(20, 10 - 3).alpha(), 0);
        QCOMPARE(image.pixelColor(20 + 14, 10).alpha(), 0);
    }
};

QTEST_MAIN(TestSpinner)
#include "tst_spinner.moc"
