#include "windows/sources/SourcePaneMenuItem.h"

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleOption>

namespace {
class ScrollingMenuStyle : public QProxyStyle
{
public:
    explicit ScrollingMenuStyle(const QString &baseStyle) : QProxyStyle(baseStyle) {}
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_Menu_Scrollable)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};
} // namespace

SourcePaneMenuItem::SourcePaneMenuItem(QObject *parent) : QWidgetAction(parent)
{
    m_view = new SourcePaneMenuItemView(this);
    setDefaultWidget(m_view);
}

SourcePaneMenuItem::SourcePaneMenuItem(const QString &title, QObject *parent) : SourcePaneMenuItem(parent)
{
    setText(title);
    setItem(1, title);
}

QString SourcePaneMenuItem::item(int line) const
{
    return (line >= 1 && line <= 4) ? m_items[line - 1] : QString();
}

void SourcePaneMenuItem::setItem(int line, const QString &text)
{
    if (line >= 1 && line <= 4)
        m_items[line - 1] = text;
}

QMenu *SourcePaneMenuItem::newAlbumMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    // Hundreds of albums: the menu scrolls within the screen instead of spreading into columns
    // across it. Only this menu's style answers so; the rest of its look is the application's.
    auto *style = new ScrollingMenuStyle(QApplication::style()->name());
    style->setParent(menu);
    menu->setStyle(style);
    return menu;
}

QWidget *SourcePaneMenuItem::createWidget(QWidget *parent)
{
    return QWidgetAction::createWidget(parent);
}

SourcePaneMenuItemView::SourcePaneMenuItemView(SourcePaneMenuItem *item, QWidget *parent) : QWidget(parent), m_item(item)
{
    resize(100, 20);
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QFont SourcePaneMenuItemView::descriptionFont()
{
    QFont font = QApplication::font();
    font.setPixelSize(12);
    return font;
}

QFont SourcePaneMenuItemView::lineFont()
{
    QFont font = QApplication::font();
    font.setPixelSize(14);
    return font;
}

QList<int> SourcePaneMenuItemView::lineOffsets() const
{
    QList<int> out;
    int y = m_item->desc().isEmpty() ? 0 : 20;
    for (int line = 1; line <= 4; ++line) {
        const QString text = m_item->item(line);
        if (!text.isEmpty()) {
            out << y;
            y += 20; // empty lines take no room
        }
    }
    return out;
}

void SourcePaneMenuItemView::sizeToFit()
{
    int height = m_item->desc().isEmpty() ? 2 : 22;
    int widest = qMax(0, QFontMetrics(descriptionFont()).horizontalAdvance(m_item->desc()));
    const QFontMetrics lines(lineFont());
    for (int line = 1; line <= 4; ++line) {
        const QString text = m_item->item(line);
        if (text.isEmpty())
            continue;
        height += 20;
        widest = qMax(widest, lines.horizontalAdvance(text));
    }
    // A long album title would make the whole menu as wide as the screen: the item stops at
    // the cap and its texts are shortened, whole in the tooltip.
    const QSize size(qMin(70 + widest, kMaximumWidth), height);
    setToolTip(70 + widest > kMaximumWidth ? fullText() : QString());
    setMinimumSize(size);
    setMaximumWidth(kMaximumWidth);
    resize(size);
}

QString SourcePaneMenuItemView::fullText() const
{
    QStringList texts;
    if (!m_item->desc().isEmpty())
        texts << m_item->desc();
    for (int line = 1; line <= 4; ++line) {
        if (!m_item->item(line).isEmpty())
            texts << m_item->item(line);
    }
    return texts.join(QLatin1Char('\n'));
}

QColor SourcePaneMenuItemView::checkMarkColor() const
{
    // The menu's own text colour on the menu, white on the selection.
    return m_highlighted ? QColor(Qt::white) : palette().color(QPalette::Text);
}

void SourcePaneMenuItemView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_highlighted)
        painter.fillRect(rect(), palette().color(QPalette::Highlight));
    if (m_item->isChecked()) {
        // A tick centred in the 30-point column on the left.
        const QRectF box((30 - 10) / 2.0, (height() - 10) / 2.0, 10, 10);
        QPainterPath tick;
        tick.moveTo(box.left(), box.top() + box.height() * 0.55);
        tick.lineTo(box.left() + box.width() * 0.38, box.bottom());
        tick.lineTo(box.right(), box.top());
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(checkMarkColor(), 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(tick);
        painter.restore();
    }
    const int textWidth = qMax(0, width() - 30 - kRightPadding);
    if (!m_item->desc().isEmpty()) {
        painter.setFont(descriptionFont());
        painter.setPen(m_highlighted ? QColor(Qt::white) : QColor(137, 137, 137));
        const QString desc = QFontMetrics(descriptionFont()).elidedText(m_item->desc(), Qt::ElideRight, textWidth);
        painter.drawText(QRect(30, 2, textWidth, 18), Qt::AlignLeft | Qt::AlignVCenter, desc);
    }
    painter.setFont(lineFont());
    painter.setPen(m_highlighted ? QColor(Qt::white) : QColor(0, 0, 0));
    const QFontMetrics metrics(lineFont());
    const QList<int> offsets = lineOffsets();
    int i = 0;
    for (int line = 1; line <= 4; ++line) {
        const QString text = m_item->item(line);
        if (text.isEmpty())
            continue;
        painter.drawText(QRect(30, offsets.value(i++), textWidth, 20), Qt::AlignLeft | Qt::AlignVCenter,
                         metrics.elidedText(text, Qt::ElideRight, textWidth));
    }
}

void SourcePaneMenuItemView::mouseReleaseEvent(QMouseEvent *event)
{
    // The menu closes; the item's action runs (when it has one).
    QWidget *w = parentWidget();
    while (w && !qobject_cast<QMenu *>(w))
        w = w->parentWidget();
    if (auto *menu = qobject_cast<QMenu *>(w))
        menu->close();
    m_item->trigger();
    event->accept();
}

void SourcePaneMenuItemView::enterEvent(QEnterEvent *)
{
    m_highlighted = true;
    update();
}

void SourcePaneMenuItemView::leaveEvent(QEvent *)
{
    m_highlighted = false;
    update();
}
