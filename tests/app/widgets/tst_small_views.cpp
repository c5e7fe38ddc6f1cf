#include "app/widgets/SmallViews.h"
#include "app/widgets/ViewTags.h"

#include <QMouseEvent>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QWindow>
#include <QtTest>

static void sendMouse(QWidget *w, QEvent::Type type, QPoint local, QPoint global,
                      Qt::MouseButton button = Qt::LeftButton)
{
    const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton);
    QMouseEvent event(type, QPointF(local), QPointF(global), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

// Lays the views out one above the other in a window of a known size and place, and shows it.
static bool showWindowWith(QWidget &window, std::initializer_list<QWidget *> views)
{
    auto *layout = new QVBoxLayout(&window);
    for (QWidget *view : views)
        layout->addWidget(view);
    window.resize(200, 100);
    window.move(100, 100);
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

// Records whether presses reach it (to see which views pass them on).
class PressRecorder : public QWidget
{
public:
    int presses = 0;
protected:
    void mousePressEvent(QMouseEvent *) override { ++presses; }
};

class TestSmallViews : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void viewTags()
    {
        QWidget root;
        auto *label = new QLabel(&root);
        auto *inner = new QWidget(&root);
        auto *button = new QPushButton(inner);
        setViewTag(label, 3);
        setViewTag(button, 7);
        QCOMPARE(findViewWithTag<QLabel>(&root, 3), label);
        QCOMPARE(findViewWithTag<QPushButton>(&root, 7), button); // nested
        QCOMPARE(findViewWithTag<QLabel>(&root, 7), nullptr);     // wrong type
        QCOMPARE(findViewWithTag(&root, 99), nullptr);
        QCOMPARE(findViewWithTag(nullptr, 3), nullptr);
        QCOMPARE(viewTag(button), 7);
    }

    void clickableViewsActOnRelease()
    {
        PressRecorder parent;
        auto *image = new NSImageViewClickable(&parent);
        auto *field = new NSTextFieldClickable(&parent);
        image->resize(20, 20);
        field->resize(60, 20);
        QSignalSpy imageClicks(image, &NSImageViewClickable::clicked);
        QSignalSpy fieldClicks(field, &NSTextFieldClickable::clicked);
        QTest::mouseClick(image, Qt::LeftButton);
        QTest::mouseClick(field, Qt::LeftButton);
        QCOMPARE(imageClicks.size(), 1);
        QCOMPARE(fieldClicks.size(), 1);
        // The field swallows the press; the image view passes it on to its parent.
        parent.presses = 0;
        sendMouse(field, QEvent::MouseButtonPress, QPoint(5, 5), QPoint(5, 5));
        QCOMPARE(parent.presses, 0);
        sendMouse(image, QEvent::MouseButtonPress, QPoint(5, 5), QPoint(5, 5));
        QCOMPARE(parent.presses, 1);
        QCOMPARE(fieldClicks.size(), 1); // a press alone sends nothing
    }

    void clickableFieldHandCursor()
    {
        NSTextFieldClickable field;
        QVERIFY(!field.useHandCursor());
        QVERIFY(!field.hasTrackingArea());
        QCOMPARE(field.cursor().shape(), Qt::ArrowCursor);
        QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
        QApplication::sendEvent(&field, &enter);
        QVERIFY(!field.handCursorApplied());
        field.setUseHandCursor(true);
        QVERIFY(field.hasTrackingArea());
        QCOMPARE(field.cursor().shape(), Qt::PointingHandCursor);
        QApplication::sendEvent(&field, &enter);
        QVERIFY(field.handCursorApplied());
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&field, &leave);
        QVERIFY(!field.handCursorApplied());
    }

    void handCursorButtonPushesOnce()
    {
        NSButtonWithHandCursor button;
        QCOMPARE(button.cursor().shape(), Qt::PointingHandCursor);
        QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&button, &enter);
        QApplication::sendEvent(&button, &enter);
        QCOMPARE(button.handCursorPushes(), 1);
        QApplication::sendEvent(&button, &leave);
        QApplication::sendEvent(&button, &leave);
        QCOMPARE(button.handCursorPops(), 1);
        QVERIFY(!button.appliedHandCursor());

        button.setDisableHandCursor(true);
        QCOMPARE(button.cursor().shape(), Qt::ArrowCursor);
        QVERIFY(button.hasTrackingArea()); // still tracked
        QApplication::sendEvent(&button, &enter);
        QCOMPARE(button.handCursorPushes(), 1);
        QVERIFY(!button.appliedHandCursor());
    }

    void vibrancy()
    {
        NSViewNoVibrancy refusing;
        auto *field = new NSTextFieldClickable(&refusing);
        auto *button = new NSButtonWithHandCursor(&refusing);
        QVERIFY(!refusing.allowsVibrancy());
        QVERIFY(!viewAllowsVibrancy(&refusing));
        QVERIFY(!field->allowsVibrancy());
        QVERIFY(!button->allowsVibrancy());
        QWidget plain;
        auto *free = new NSButtonWithHandCursor(&plain);
        QVERIFY(free->allowsVibrancy());
        free->setDisableVibrancy(true);
        QVERIFY(!free->allowsVibrancy());
        QVERIFY(!NSTextFieldNoVibrancy().allowsVibrancy());
        QVERIFY(!NSImageViewNoVibrancy().allowsVibrancy());
        QVERIFY(!NSButtonNoVibrancy().allowsVibrancy());
    }

    void windowDragMovesByPointerDistance()
    {
        QWidget window;
        auto *grip = new NSVisualEffectViewWindowDraggable;
        auto *below = new PressRecorder;
        QVERIFY(showWindowWith(window, {grip, below}));
        const QPoint start = window.pos();
        sendMouse(grip, QEvent::MouseButtonPress, QPoint(5, 5), QPoint(300, 300));
        sendMouse(grip, QEvent::MouseMove, QPoint(15, 5), QPoint(310, 300));
        sendMouse(grip, QEvent::MouseMove, QPoint(35, 15), QPoint(330, 310));
        QCOMPARE(window.pos(), start + QPoint(30, 10));
        sendMouse(grip, QEvent::MouseButtonRelease, QPoint(35, 15), QPoint(330, 310));
        // After the release further moves do nothing.
        sendMouse(grip, QEvent::MouseMove, QPoint(45, 15), QPoint(400, 400));
        QCOMPARE(window.pos(), start + QPoint(30, 10));
        QCOMPARE(below->presses, 0);
        QVERIFY(NSViewWindowDraggable().mouseDownCanMoveWindow());
    }

    void windowDragIsHandedToTheDesktopWhereItCanMoveWindows()
    {
        // The compositor (a Wayland one ignores move()) is the part that cannot run here.
        QList<QWindow *> asked;
        bool desktopMoves = true;
        WindowDragTracker::setSystemMoveForTesting([&](QWindow *window) {
            asked << window;
            return desktopMoves;
        });
        QWidget window;
        auto *grip = new NSTextFieldWindowDraggable;
        QVERIFY(showWindowWith(window, {grip}));
        const QPoint start = window.pos();
        sendMouse(grip, QEvent::MouseButtonPress, QPoint(5, 5), QPoint(300, 300));
        QCOMPARE(asked, QList<QWindow *>{window.windowHandle()});
        // The desktop moves the window: the view does not move it as well.
        sendMouse(grip, QEvent::MouseMove, QPoint(35, 15), QPoint(330, 310));
        sendMouse(grip, QEvent::MouseButtonRelease, QPoint(35, 15), QPoint(330, 310));
        QCOMPARE(window.pos(), start);

        // A desktop that cannot: the window follows the pointer itself.
        desktopMoves = false;
        sendMouse(grip, QEvent::MouseButtonPress, QPoint(5, 5), QPoint(300, 300));
        sendMouse(grip, QEvent::MouseMove, QPoint(35, 15), QPoint(330, 310));
        QCOMPARE(asked.size(), 2);
        QCOMPARE(window.pos(), start + QPoint(30, 10));
        sendMouse(grip, QEvent::MouseButtonRelease, QPoint(35, 15), QPoint(330, 310));
        WindowDragTracker::setSystemMoveForTesting({});
    }

    void disabledCornerCellLooksDisabled()
    {
        QImage background(24, 24, QImage::Format_ARGB32_Premultiplied);
        background.fill(QColor(40, 110, 200));
        NSButtonCellWithCorners cell;
        cell.setBackgroundImage(background);
        cell.setTitle(QStringLiteral("Continue"));
        cell.resize(200, 40);
        auto render = [&cell] {
            QImage out(200, 40, QImage::Format_ARGB32_Premultiplied);
            out.fill(Qt::white);
            cell.render(&out, QPoint(), QRegion(), QWidget::DrawChildren);
            return out;
        };
        const QImage enabled = render();
        cell.setEnabled(false);
        const QImage disabled = render();
        QCOMPARE(enabled.pixelColor(20, 20), QColor(40, 110, 200));
        // Faded towards what is behind it, the title still lighter than the background.
        const QColor faded = disabled.pixelColor(20, 20);
        QVERIFY2(faded.red() > 100 && faded.blue() > 220, qPrintable(faded.name()));
        QVERIFY(disabled != enabled);
    }

    void clickableFieldElidesWithTheWholeTextInItsToolTip()
    {
        NSTextFieldClickable field;
        field.setTextFormat(Qt::PlainText);
        field.resize(80, 20);
        field.show();
        const QString longText = QStringLiteral("A name much longer than eighty pixels");
        field.setStringValue(longText);
        QVERIFY(!field.isElided()); // off unless asked for
        QVERIFY(field.toolTip().isEmpty());
        field.setElideMode(Qt::ElideRight);
        QVERIFY(field.isElided());
        QCOMPARE(field.toolTip(), longText);
        QCOMPARE(field.text(), longText);
        field.resize(2000, 20); // room enough now
        QVERIFY(!field.isElided());
        QVERIFY(field.toolTip().isEmpty());
        field.resize(80, 20);
        QCOMPARE(field.toolTip(), longText);
        field.setStringValue(QStringLiteral("Ann"));
        QVERIFY(field.toolTip().isEmpty());
    }

    void backgroundColour()
    {
        NSViewWithBackgroundColor view;
        view.resize(10, 10);
        view.setAttribute(Qt::WA_TranslucentBackground);
        view.setBackgroundColor(QColor(10, 20, 30));
        QImage image(10, 10, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        QCOMPARE(image.pixelColor(5, 5), QColor(10, 20, 30));
        view.setBackgroundColor(QColor());
        image.fill(Qt::transparent);
        view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        QCOMPARE(image.pixelColor(5, 5).alpha(), 0);
    }

    void cornerCellKeepsCorners()
    {
        QImage background(24, 24, QImage::Format_ARGB32_Premultiplied);
        background.fill(Qt::blue);
        for (int x = 0; x < 8; ++x)
            for (int y = 0; y < 8; ++y)
                background.setPixelColor(x, y, Qt::red);
        NSButtonCellWithCorners cell;
        cell.setBackgroundImage(background);
        cell.setTitle(QStringLiteral("Continue"));
        cell.resize(200, 40);
        QImage out(200, 40, QImage::Format_ARGB32_Premultiplied);
        out.fill(Qt::transparent);
        cell.render(&out, QPoint(), QRegion(), QWidget::DrawChildren);
        QCOMPARE(out.pixelColor(2, 2), QColor(Qt::red));
        QCOMPARE(out.pixelColor(12, 2), QColor(Qt::blue)); // the corner did not stretch
        QCOMPARE(out.pixelColor(197, 37), QColor(Qt::blue));
        QCOMPARE(cell.palette().color(QPalette::ButtonText), QColor(Qt::white));
        // White title pixels appear in the middle.
        bool white = false;
        for (int x = 60; x < 140 && !white; ++x)
            for (int y = 10; y < 30 && !white; ++y)
                white = out.pixelColor(x, y).red() > 200 && out.pixelColor(x, y).green() > 200;
        QVERIFY(white);
    }
};

QTEST_MAIN(TestSmallViews)
#include "tst_small_views.moc"
