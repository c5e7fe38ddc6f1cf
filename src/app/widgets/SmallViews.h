#pragma once
// Small views that interface files name as the classes of their widgets; each changes one
// behaviour of its base: dragging the window, a background colour, refusing vibrancy, acting on
// a click, a hand cursor, a stretchable background with fixed corners.
#include <QAbstractButton>
#include <QColor>
#include <QLabel>
#include <QPoint>
#include <QPushButton>
#include <QScrollArea>
#include <QWidget>
#include <functional>

class QWindow;

// Vibrancy (translucent backgrounds showing the desktop behind) is asked of every view; views
// answer through the dynamic property "allowsVibrancy" (absent: allowed).
bool viewAllowsVibrancy(const QWidget *view);

// Moves the top-level window with the pointer from a press to the release; the press is not
// passed on. The desktop's own window move is asked for first (Wayland ignores a window that
// moves itself); where the platform has none, the window follows the pointer by exactly the
// distance it travelled.
class WindowDragTracker
{
public:
    bool mousePress(QWidget *view, const QPoint &globalPos);
    bool mouseMove(QWidget *view, const QPoint &globalPos);
    bool mouseRelease();
    bool isDragging() const { return m_dragging; }
    // Tests stand in for the compositor: the call that starts the desktop's move (by default
    // QWindow::startSystemMove); an empty function restores the default.
    static void setSystemMoveForTesting(std::function<bool(QWindow *)> systemMove);

private:
    bool m_dragging = false;
    QPoint m_lastPoint;
    QPoint m_origin;
};

#define HOISTLY_WINDOW_DRAGGABLE                                                                   \
protected:                                                                                         \
    void mousePressEvent(QMouseEvent *e) override;                                                 \
    void mouseMoveEvent(QMouseEvent *e) override;                                                  \
    void mouseReleaseEvent(QMouseEvent *e) override;                                               \
                                                                                                   \
private:                                                                                           \
    WindowDragTracker m_drag;

class NSViewWindowDraggable : public QLabel
{
    Q_OBJECT
public:
    explicit NSViewWindowDraggable(QWidget *parent = nullptr);
    bool mouseDownCanMoveWindow() const { return true; }
    HOISTLY_WINDOW_DRAGGABLE
};

class NSVisualEffectViewWindowDraggable : public QWidget
{
    Q_OBJECT
public:
    explicit NSVisualEffectViewWindowDraggable(QWidget *parent = nullptr);
    bool mouseDownCanMoveWindow() const { return true; }
    HOISTLY_WINDOW_DRAGGABLE
};

class NSTextFieldWindowDraggable : public QLabel
{
    Q_OBJECT
public:
    explicit NSTextFieldWindowDraggable(QWidget *parent = nullptr);
    bool mouseDownCanMoveWindow() const { return true; }
    HOISTLY_WINDOW_DRAGGABLE
};

class NSViewWithBackgroundColor : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
public:
    explicit NSViewWithBackgroundColor(QWidget *parent = nullptr);
    QColor backgroundColor() const { return m_backgroundColor; }
    // An invalid colour leaves the view transparent.
    void setBackgroundColor(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_backgroundColor;
};

// Qt's coordinates already grow downwards; these exist so interface files can name them.
class NSViewFlipped : public QWidget
{
    Q_OBJECT
public:
    using QWidget::QWidget;
    bool isFlipped() const { return true; }
};

class NSScrollViewFlipped : public QScrollArea
{
    Q_OBJECT
public:
    using QScrollArea::QScrollArea;
    bool isFlipped() const { return true; }
};

class NSViewNoVibrancy : public QWidget
{
    Q_OBJECT
public:
    explicit NSViewNoVibrancy(QWidget *parent = nullptr);
    bool allowsVibrancy() const { return false; }
};

class NSTextFieldNoVibrancy : public QLabel
{
    Q_OBJECT
public:
    explicit NSTextFieldNoVibrancy(QWidget *parent = nullptr);
    bool allowsVibrancy() const { return false; }
};

class NSImageViewNoVibrancy : public QLabel
{
    Q_OBJECT
public:
    explicit NSImageViewNoVibrancy(QWidget *parent = nullptr);
    bool allowsVibrancy() const { return false; }
};

class NSButtonNoVibrancy : public QPushButton
{
    Q_OBJECT
public:
    explicit NSButtonNoVibrancy(QWidget *parent = nullptr);
    bool allowsVibrancy() const { return false; }
};

// An image view that sends its action (clicked) on mouse-up.
class NSImageViewClickable : public QLabel
{
    Q_OBJECT
public:
    explicit NSImageViewClickable(QWidget *parent = nullptr);

Q_SIGNALS:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// A text field that swallows the press and sends its action (clicked) on mouse-up; with
// useHandCursor it shows the pointing hand and tracks the pointer entering and leaving.
class NSTextFieldClickable : public QLabel
{
    Q_OBJECT
    Q_PROPERTY(bool useHandCursor READ useHandCursor WRITE setUseHandCursor)
public:
    explicit NSTextFieldClickable(QWidget *parent = nullptr);

    bool useHandCursor() const { return m_useHandCursor; }
    void setUseHandCursor(bool use);
    bool disableVibrancy() const { return m_disableVibrancy; }
    void setDisableVibrancy(bool disable);
    bool allowsVibrancy() const;
    // Rebuilds the cursor and the pointer tracking from the current flags.
    void resetCursorRects();
    bool hasTrackingArea() const { return m_trackingRectTag != 0; }
    bool handCursorApplied() const { return m_appliedHandCursor; }

    // Plain text that does not fit is drawn cut at the given end with "…", and the whole text
    // becomes the tool tip (which is cleared again once the text fits). Qt::ElideNone: off.
    Qt::TextElideMode elideMode() const { return m_elideMode; }
    void setElideMode(Qt::TextElideMode mode);
    // Text too wide for one line goes on in the next, up to this many (broken between words where
    // it can), before the last is cut; the field must be tall enough for them. 1: one line.
    int maximumLineCount() const { return m_maximumLineCount; }
    void setMaximumLineCount(int lines);
    // The text, with the tool tip brought in line when eliding.
    void setStringValue(const QString &text);
    bool isElided() const;

Q_SIGNALS:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void updateElisionToolTip();
    // The text as drawn: the lines it is wrapped into, the last cut when they cannot hold it all.
    QStringList shownLines(bool *cut) const;

    Qt::TextElideMode m_elideMode = Qt::ElideNone;
    int m_maximumLineCount = 1;
    qint64 m_trackingRectTag = 0;
    bool m_useHandCursor = false;
    bool m_disableVibrancy = false;
    bool m_appliedHandCursor = false;
};

// A button with a pointing-hand cursor unless disableHandCursor is set; the pointer is tracked
// either way.
class NSButtonWithHandCursor : public QPushButton
{
    Q_OBJECT
    Q_PROPERTY(bool disableHandCursor READ disableHandCursor WRITE setDisableHandCursor)
public:
    explicit NSButtonWithHandCursor(QWidget *parent = nullptr);

    bool disableHandCursor() const { return m_disableHandCursor; }
    void setDisableHandCursor(bool disable);
    bool disableVibrancy() const { return m_disableVibrancy; }
    void setDisableVibrancy(bool disable) { m_disableVibrancy = disable; setProperty("allowsVibrancy", allowsVibrancy()); }
    bool allowsVibrancy() const;
    void resetCursorRects();
    bool hasTrackingArea() const { return m_trackingRectTag != 0; }
    bool appliedHandCursor() const { return m_appliedHandCursor; }
    // How many times the hand cursor was applied and removed (enter and leave pairs).
    int handCursorPushes() const { return m_pushes; }
    int handCursorPops() const { return m_pops; }

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    qint64 m_trackingRectTag = 0;
    bool m_appliedHandCursor = false;
    bool m_disableHandCursor = false;
    bool m_disableVibrancy = false;
    int m_pushes = 0;
    int m_pops = 0;
};

// A button whose icon is drawn as the background of the whole control with 8-pixel corners that
// keep their size, and whose title is always white; disabled, the whole control is faded.
class NSButtonCellWithCorners : public QPushButton
{
    Q_OBJECT
public:
    explicit NSButtonCellWithCorners(QWidget *parent = nullptr);
    // The background image (the icon is used when none is set).
    void setBackgroundImage(const QImage &image);
    QImage backgroundImage() const;
    void setTitle(const QString &title);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_background;
};
