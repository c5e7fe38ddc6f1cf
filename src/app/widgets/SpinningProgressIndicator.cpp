#include "app/widgets/SpinningProgressIndicator.h"

#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <algorithm>
#include <cmath>

// One fin's turn, in radians: the ring falls just short of a full circle.
static constexpr double kRingAngle = 6.282185;

SpinningProgressIndicator::SpinningProgressIndicator(QWidget *parent)
    : QWidget(parent)
    , m_finColors(12)
{
    setAttribute(Qt::WA_TranslucentBackground, true);
}

SpinningProgressIndicator::~SpinningProgressIndicator()
{
    if (m_timer)
        m_timer->stop();
}

bool SpinningProgressIndicator::isTimerRunning() const
{
    return m_timer && m_timer->isActive();
}

QColor SpinningProgressIndicator::finColor(int i) const
{
    if (i < 0 || i >= m_numFins)
        return QColor();
    if (!m_isAnimating) {
        QColor c = m_foreColor;
        c.setAlphaF(0.15f);
        return c;
    }
    return m_finColors.at(i);
}

void SpinningProgressIndicator::startAnimation()
{
    if (!m_isIndeterminate)
        return;
    if (m_isAnimating && !m_isFadingOut)
        return;
    actuallyStartAnimation();
}

void SpinningProgressIndicator::stopAnimation()
{
    m_isFadingOut = true;
}

void SpinningProgressIndicator::setColor(const QColor &color)
{
    if (color == m_foreColor)
        return;
    m_foreColor = color;
    for (QColor &fin : m_finColors) {
        const float alpha = fin.isValid() ? fin.alphaF() : 0.0f;
        fin = color;
        fin.setAlphaF(alpha);
    }
    update();
}

void SpinningProgressIndicator::setBackgroundColor(const QColor &color)
{
    if (color == m_backColor)
        return;
    m_backColor = color;
    update();
}

void SpinningProgressIndicator::setDrawsBackground(bool draws)
{
    m_drawsBackground = draws;
    update();
}

void SpinningProgressIndicator::setDisplayedWhenStopped(bool displayed)
{
    m_displayedWhenStopped = displayed;
    if (!m_isAnimating)
        setShownQuietly(displayed);
}

void SpinningProgressIndicator::setUsesThreadedAnimation(bool threaded)
{
    if (threaded == m_usesThreadedAnimation)
        return;
    m_usesThreadedAnimation = threaded;
    if (m_isAnimating) {
        // The running animation continues in the new mode at once.
        stopAnimation();
        actuallyStartAnimation();
    }
}

void SpinningProgressIndicator::setIndeterminate(bool indeterminate)
{
    m_isIndeterminate = indeterminate;
    if (!indeterminate && m_isAnimating)
        stopAnimation();
    update();
}

void SpinningProgressIndicator::setDoubleValue(double value)
{
    if (m_isIndeterminate)
        setIndeterminate(false);
    m_currentValue = value;
    update();
}

void SpinningProgressIndicator::setMaxValue(double value)
{
    m_maxValue = value;
    update();
}

void SpinningProgressIndicator::updateFrame()
{
    m_position = (m_position >= 1 ? m_position : m_numFins) - 1;
    const double minAlpha = m_displayedWhenStopped ? 0.15 : 0.01;
    for (QColor &fin : m_finColors) {
        const double alpha = fin.isValid() ? fin.alphaF() : 0.0;
        QColor c = m_foreColor;
        c.setAlphaF(float(std::max(minAlpha, 0.85 * alpha)));
        fin = c;
    }
    if (m_isFadingOut) {
        bool faded = true;
        for (const QColor &fin : std::as_const(m_finColors)) {
            if (std::fabs(fin.alphaF() - minAlpha) > 0.01) {
                faded = false;
                break;
            }
        }
        if (faded) {
            actuallyStopAnimation();
            return;
        }
    } else {
        m_finColors[m_position] = m_foreColor;
    }
    if (m_usesThreadedAnimation)
        repaint();
    else
        update();
}

void SpinningProgressIndicator::actuallyStartAnimation()
{
    actuallyStopAnimation();
    m_isAnimating = true;
    m_isFadingOut = false;
    m_position = 1;
    if (!m_displayedWhenStopped)
        setShownQuietly(true);
    startTimerIfInWindow();
}

void SpinningProgressIndicator::setShownQuietly(bool shown)
{
    // Only undo our own hiding: showing a view nobody showed yet would open it as a window.
    if (shown && !(isHidden() && testAttribute(Qt::WA_WState_ExplicitShowHide)))
        return;
    if (!shown && isHidden())
        return;
    m_changingVisibility = true;
    setVisible(shown);
    m_changingVisibility = false;
}

void SpinningProgressIndicator::startTimerIfInWindow()
{
    // "In a window" here: shown on screen. Frames start when the view becomes visible.
    if (!m_isAnimating || !isVisible() || isTimerRunning())
        return;
    if (!m_timer) {
        m_timer = new QTimer(this);
        connect(m_timer, &QTimer::timeout, this, &SpinningProgressIndicator::updateFrame);
    }
    m_timer->start(m_usesThreadedAnimation ? 600 / m_numFins : 50);
}

void SpinningProgressIndicator::actuallyStopAnimation()
{
    m_isAnimating = false;
    m_isFadingOut = false;
    if (!m_displayedWhenStopped)
        setShownQuietly(false);
    if (m_timer)
        m_timer->stop();
    update();
}

void SpinningProgressIndicator::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_changingVisibility)
        startTimerIfInWindow();
}

void SpinningProgressIndicator::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // Off screen (a minimised window, a hidden parent) no frame is drawn, but the owner still
    // wants the animation: it goes on when the view shows again. Only the owner stops it; a
    // fade it asked for has nothing left to show and ends here.
    if (m_changingVisibility || !m_isAnimating)
        return;
    if (m_isFadingOut)
        actuallyStopAnimation();
    else if (m_timer)
        m_timer->stop();
}

void SpinningProgressIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    drawInto(painter, QSizeF(size()));
}

void SpinningProgressIndicator::drawInto(QPainter &painter, const QSizeF &bounds) const
{
    const double size = std::min(bounds.width(), bounds.height());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    if (m_drawsBackground)
        painter.fillRect(QRectF(QPointF(0, 0), bounds), m_backColor);
    painter.translate(bounds.width() / 2.0, bounds.height() / 2.0);

    if (m_isIndeterminate) {
        // Fin 0 points up; each next fin one step further counter-clockwise on screen.
        const QLineF fin(0, -0.234375 * size, 0, -0.421875 * size);
        const double step = kRingAngle / m_numFins * 180.0 / M_PI;
        for (int i = 0; i < m_numFins; ++i) {
            QPen pen(finColor(i), 0.0859375 * size, Qt::SolidLine, Qt::RoundCap);
            painter.setPen(pen);
            painter.drawLine(fin);
            painter.rotate(-step);
        }
    } else if (m_maxValue > 0) {
        const double w = 1.0 + 0.01 * size;
        const double r = (size - w) / 2.1;
        painter.setPen(QPen(m_foreColor, w));
        painter.setBrush(Qt::NoBrush);
        const QRectF square(-r, -r, 2 * r, 2 * r);
        painter.drawEllipse(square);
        const double fraction = std::clamp(m_currentValue / m_maxValue, 0.0, 1.0);
        if (fraction > 0) {
            // Qt's angles turn counter-clockwise; a negative sweep runs clockwise from 12 o'clock.
            QPainterPath pie;
            pie.moveTo(0, 0);
            pie.arcTo(square, 90.0, -360.0 * fraction);
            pie.closeSubpath();
            painter.setPen(Qt::NoPen);
            painter.setBrush(m_foreColor);
            painter.drawPath(pie);
        }
    }
    painter.restore();
}
