#include "app/widgets/SmallViews.h"

#include "app/widgets/ImageUtils.h"
#include "app/widgets/TextUtils.h"

#include <QMouseEvent>
#include <QWindow>
#include <QPainter>
#include <QStyle>
#include <QTextDocument>
#include <QTextLayout>
#include <QStyleOptionButton>

static qint64 nextTrackingTag()
{
    static qint64 tag = 0;
    return ++tag;
}

bool viewAllowsVibrancy(const QWidget *view)
{
    if (!view)
        return true;
    const QVariant value = view->property("allowsVibrancy");
    return !value.isValid() || value.toBool();
}

// ---- window dragging ----------------------------------------------------------------------

static std::function<bool(QWindow *)> &systemMove()
{
    static std::function<bool(QWindow *)> move;
    return move;
}

void WindowDragTracker::setSystemMoveForTesting(std::function<bool(QWindow *)> move)
{
    systemMove() = std::move(move);
}

bool WindowDragTracker::mousePress(QWidget *view, const QPoint &globalPos)
{
    QWidget *window = view ? view->window() : nullptr;
    if (QWindow *handle = window ? window->windowHandle() : nullptr) {
        const bool moving = systemMove() ? systemMove()(handle) : handle->startSystemMove();
        if (moving) {
            // The desktop moves the window until the button goes up; nothing to follow here.
            m_dragging = false;
            return true;
        }
    }
    m_dragging = true;
    m_lastPoint = globalPos;
    m_origin = view && view->window() ? view->window()->pos() : QPoint();
    return true;
}

bool WindowDragTracker::mouseMove(QWidget *view, const QPoint &globalPos)
{
    if (!m_dragging)
        return false;
    m_origin += globalPos - m_lastPoint;
    m_lastPoint = globalPos;
    if (view && view->window())
        view->window()->move(m_origin);
    return true;
}

bool WindowDragTracker::mouseRelease()
{
    const bool was = m_dragging;
    m_dragging = false;
    return was;
}

#define HOISTLY_WINDOW_DRAGGABLE_IMPL(Class)                                                       \
    void Class::mousePressEvent(QMouseEvent *e)                                                    \
    {                                                                                              \
        if (e->button() == Qt::LeftButton) {                                                       \
            m_drag.mousePress(this, e->globalPosition().toPoint());                                \
            e->accept();                                                                           \
            return;                                                                                \
        }                                                                                          \
        e->ignore();                                                                               \
    }                                                                                              \
    void Class::mouseMoveEvent(QMouseEvent *e)                                                     \
    {                                                                                              \
        if (m_drag.mouseMove(this, e->globalPosition().toPoint()))                                 \
            e->accept();                                                                           \
        else                                                                                       \
            e->ignore();                                                                           \
    }                                                                                              \
    void Class::mouseReleaseEvent(QMouseEvent *e)                                                  \
    {                                                                                              \
        if (e->button() == Qt::LeftButton && m_drag.mouseRelease())                                \
            e->accept();                                                                           \
        else                                                                                       \
            e->ignore();                                                                           \
    }

NSViewWindowDraggable::NSViewWindowDraggable(QWidget *parent) : QLabel(parent) {}
NSVisualEffectViewWindowDraggable::NSVisualEffectViewWindowDraggable(QWidget *parent) : QWidget(parent) {}
NSTextFieldWindowDraggable::NSTextFieldWindowDraggable(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
}
HOISTLY_WINDOW_DRAGGABLE_IMPL(NSViewWindowDraggable)
HOISTLY_WINDOW_DRAGGABLE_IMPL(NSVisualEffectViewWindowDraggable)
HOISTLY_WINDOW_DRAGGABLE_IMPL(NSTextFieldWindowDraggable)

// ---- background colour --------------------------------------------------------------------

NSViewWithBackgroundColor::NSViewWithBackgroundColor(QWidget *parent) : QWidget(parent) {}

void NSViewWithBackgroundColor::setBackgroundColor(const QColor &color)
{
    m_backgroundColor = color;
    update();
}

void NSViewWithBackgroundColor::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!m_backgroundColor.isValid())
        return;
    QPainter painter(this);
    painter.fillRect(event->rect(), m_backgroundColor);
}

// ---- no vibrancy --------------------------------------------------------------------------

NSViewNoVibrancy::NSViewNoVibrancy(QWidget *parent) : QWidget(parent) { setProperty("allowsVibrancy", false); }
NSTextFieldNoVibrancy::NSTextFieldNoVibrancy(QWidget *parent) : QLabel(parent)
{
    setProperty("allowsVibrancy", false);
    setTextFormat(Qt::PlainText);
}
NSImageViewNoVibrancy::NSImageViewNoVibrancy(QWidget *parent) : QLabel(parent) { setProperty("allowsVibrancy", false); }
NSButtonNoVibrancy::NSButtonNoVibrancy(QWidget *parent) : QPushButton(parent) { setProperty("allowsVibrancy", false); }

// ---- clickable ------------------------------------------------------------------------------

NSImageViewClickable::NSImageViewClickable(QWidget *parent) : QLabel(parent) {}

void NSImageViewClickable::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        event->accept();
        Q_EMIT clicked();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

NSTextFieldClickable::NSTextFieldClickable(QWidget *parent) : QLabel(parent)
{
    // Links in the field are the field's own action, not the label's link handling.
    setTextInteractionFlags(Qt::NoTextInteraction);
    setOpenExternalLinks(false);
}

void NSTextFieldClickable::setUseHandCursor(bool use)
{
    m_useHandCursor = use;
    resetCursorRects();
}

void NSTextFieldClickable::setDisableVibrancy(bool disable)
{
    m_disableVibrancy = disable;
}

bool NSTextFieldClickable::allowsVibrancy() const
{
    if (m_disableVibrancy)
        return false;
    return viewAllowsVibrancy(parentWidget());
}

void NSTextFieldClickable::resetCursorRects()
{
    if (m_useHandCursor)
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
    m_trackingRectTag = 0;
    setAttribute(Qt::WA_Hover, false);
    if (m_useHandCursor) {
        setAttribute(Qt::WA_Hover, true);
        m_trackingRectTag = nextTrackingTag();
    } else if (m_appliedHandCursor) {
        m_appliedHandCursor = false;
    }
}

void NSTextFieldClickable::mousePressEvent(QMouseEvent *event)
{
    event->accept();
}

void NSTextFieldClickable::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    Q_EMIT clicked();
}

void NSTextFieldClickable::enterEvent(QEnterEvent *event)
{
    QLabel::enterEvent(event);
    if (m_useHandCursor)
        m_appliedHandCursor = true;
}

void NSTextFieldClickable::leaveEvent(QEvent *event)
{
    QLabel::leaveEvent(event);
    if (m_useHandCursor)
        m_appliedHandCursor = false;
}

void NSTextFieldClickable::setElideMode(Qt::TextElideMode mode)
{
    if (mode == m_elideMode)
        return;
    m_elideMode = mode;
    updateElisionToolTip();
    update();
}

void NSTextFieldClickable::setStringValue(const QString &text)
{
    if (text != this->text())
        setText(text);
    updateElisionToolTip();
}

void NSTextFieldClickable::setMaximumLineCount(int lines)
{
    if (qMax(1, lines) == m_maximumLineCount)
        return;
    m_maximumLineCount = qMax(1, lines);
    updateElisionToolTip();
    update();
}

QStringList NSTextFieldClickable::shownLines(bool *cut) const
{
    *cut = false;
    const QString whole = text();
    const int width = contentsRect().width() - 2 * margin();
    if (m_elideMode == Qt::ElideNone || wordWrap() || whole.isEmpty() || fontMetrics().horizontalAdvance(whole) <= width)
        return {whole};
    if (textFormat() == Qt::RichText || (textFormat() == Qt::AutoText && Qt::mightBeRichText(whole)))
        return {whole};
    // Only plain text is elided; the width left for it is the label's contents rectangle.
    QStringList lines;
    QTextLayout layout(whole, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int start = 0;
    while (lines.size() < m_maximumLineCount - 1) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        lines << whole.mid(start, line.textLength()).trimmed();
        start += line.textLength();
    }
    layout.endLayout();
    const QString rest = whole.mid(start).trimmed();
    if (!rest.isEmpty()) {
        const QString last = fontMetrics().elidedText(rest, m_elideMode, width);
        *cut = last != rest;
        lines << last;
    }
    return lines;
}

bool NSTextFieldClickable::isElided() const
{
    bool cut = false;
    shownLines(&cut);
    return cut;
}

void NSTextFieldClickable::updateElisionToolTip()
{
    if (m_elideMode == Qt::ElideNone)
        return;
    const QString tip = isElided() ? text() : QString();
    if (toolTip() != tip)
        setToolTip(tip);
}

void NSTextFieldClickable::paintEvent(QPaintEvent *event)
{
    bool cut = false;
    const QStringList lines = shownLines(&cut);
    if (!cut && lines.size() == 1) {
        QLabel::paintEvent(event);
        return;
    }
    // Cut between letters, never through one, and say so with "…".
    QPainter painter(this);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, area, int(QStyle::visualAlignment(layoutDirection(), alignment())), palette(),
                          isEnabled(), lines.join(QLatin1Char('\n')), foregroundRole());
}

void NSTextFieldClickable::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    updateElisionToolTip();
}

void NSTextFieldClickable::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        updateElisionToolTip();
}

// ---- hand-cursor button -----------------------------------------------------------------------

NSButtonWithHandCursor::NSButtonWithHandCursor(QWidget *parent) : QPushButton(parent)
{
    resetCursorRects();
}

void NSButtonWithHandCursor::setDisableHandCursor(bool disable)
{
    if (disable == m_disableHandCursor)
        return;
    m_disableHandCursor = disable;
    resetCursorRects();
}

bool NSButtonWithHandCursor::allowsVibrancy() const
{
    if (m_disableVibrancy)
        return false;
    return viewAllowsVibrancy(parentWidget());
}

void NSButtonWithHandCursor::resetCursorRects()
{
    if (!m_disableHandCursor)
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
    // The pointer is tracked whether or not the hand is shown.
    setAttribute(Qt::WA_Hover, true);
    m_trackingRectTag = nextTrackingTag();
}

void NSButtonWithHandCursor::enterEvent(QEnterEvent *event)
{
    QPushButton::enterEvent(event);
    if (m_disableHandCursor)
        return;
    if (!m_appliedHandCursor)
        ++m_pushes;
    m_appliedHandCursor = true;
}

void NSButtonWithHandCursor::leaveEvent(QEvent *event)
{
    QPushButton::leaveEvent(event);
    if (m_appliedHandCursor) {
        ++m_pops;
        m_appliedHandCursor = false;
    }
}

// ---- corner button ------------------------------------------------------------------------

NSButtonCellWithCorners::NSButtonCellWithCorners(QWidget *parent) : QPushButton(parent)
{
    setFlat(true);
}

void NSButtonCellWithCorners::setBackgroundImage(const QImage &image)
{
    m_background = image;
    update();
}

QImage NSButtonCellWithCorners::backgroundImage() const
{
    if (!m_background.isNull())
        return m_background;
    if (icon().isNull())
        return QImage();
    const QList<QSize> sizes = icon().availableSizes();
    const QSize size = sizes.isEmpty() ? QSize(64, 64) : sizes.last();
    return icon().pixmap(size).toImage();
}

void NSButtonCellWithCorners::setTitle(const QString &title)
{
    NSControlUtils::setTitleWithColor(this, title, Qt::white);
}

void NSButtonCellWithCorners::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    // The title stays white, so a disabled button says so by fading as a whole.
    if (!isEnabled())
        painter.setOpacity(0.4);
    const QImage image = backgroundImage();
    if (!image.isNull())
        NSImageUtils::drawInRect(painter, image, QRectF(rect()), 8.0, 8.0);
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter, text().replace(QStringLiteral("&&"), QStringLiteral("&")));
}
