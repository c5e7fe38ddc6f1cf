#pragma once
// A ring of twelve fins, one lit in turn while the others fade (indeterminate), or a pie that
// fills clockwise from twelve o'clock (determinate). Both animation modes run from a timer on
// the GUI thread; the threaded mode differs only in repainting at once instead of scheduling.
#include <QColor>
#include <QVector>
#include <QWidget>

class QTimer;

class SpinningProgressIndicator : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)
    Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
    Q_PROPERTY(bool drawsBackground READ drawsBackground WRITE setDrawsBackground)
    Q_PROPERTY(bool displayedWhenStopped READ isDisplayedWhenStopped WRITE setDisplayedWhenStopped)
    Q_PROPERTY(bool usesThreadedAnimation READ usesThreadedAnimation WRITE setUsesThreadedAnimation)
    Q_PROPERTY(bool indeterminate READ isIndeterminate WRITE setIndeterminate)
    Q_PROPERTY(double doubleValue READ doubleValue WRITE setDoubleValue)
    Q_PROPERTY(double maxValue READ maxValue WRITE setMaxValue)
public:
    explicit SpinningProgressIndicator(QWidget *parent = nullptr);
    ~SpinningProgressIndicator() override;

    void startAnimation();
    void stopAnimation();

    QColor color() const { return m_foreColor; }
    void setColor(const QColor &color);
    QColor backgroundColor() const { return m_backColor; }
    void setBackgroundColor(const QColor &color);
    bool drawsBackground() const { return m_drawsBackground; }
    void setDrawsBackground(bool draws);
    bool isDisplayedWhenStopped() const { return m_displayedWhenStopped; }
    void setDisplayedWhenStopped(bool displayed);
    bool usesThreadedAnimation() const { return m_usesThreadedAnimation; }
    void setUsesThreadedAnimation(bool threaded);
    bool isIndeterminate() const { return m_isIndeterminate; }
    void setIndeterminate(bool indeterminate);
    double doubleValue() const { return m_currentValue; }
    void setDoubleValue(double value);
    double maxValue() const { return m_maxValue; }
    void setMaxValue(double value);
    void setStyle(int) {}

    // State, for the owner and for tests.
    bool isAnimating() const { return m_isAnimating; }
    bool isFadingOut() const { return m_isFadingOut; }
    bool isTimerRunning() const;
    int position() const { return m_position; }
    int numFins() const { return m_numFins; }
    // The colour fin i is drawn with now.
    QColor finColor(int i) const;
    // One frame of the animation (the timer calls it).
    void updateFrame();
    // Draws the indicator into a painter whose origin is the top-left of a rectangle of `size`.
    void drawInto(QPainter &painter, const QSizeF &size) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void actuallyStartAnimation();
    void actuallyStopAnimation();
    void startTimerIfInWindow();
    void setShownQuietly(bool shown);

    int m_position = 0;
    int m_numFins = 12;
    QVector<QColor> m_finColors; // invalid = empty fin
    bool m_isAnimating = false;
    bool m_isFadingOut = false;
    QTimer *m_timer = nullptr;
    QColor m_foreColor = Qt::black;
    QColor m_backColor = Qt::transparent;
    bool m_drawsBackground = false;
    bool m_displayedWhenStopped = true;
    bool m_usesThreadedAnimation = true;
    bool m_isIndeterminate = true;
    double m_currentValue = 0.0;
    double m_maxValue = 100.0;
    bool m_changingVisibility = false;
};
