#include "windows/sources/SourcePaneMenuItem.h"

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

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
    const QSize size(70 + widest, height);
    setMinimumSize(size);
    resize(size);
}

void SourcePaneMenuItemView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_highlighted)
        painter.fillRect(rect(), palette().color(QPalette::Highlight));
    if (m_item->isChecked()) {
        QStyleOptionMenuItem option;
        option.initFrom(this);
        option.rect = QRect((30 - 12) / 2, (height() - 12) / 2, 12, 12);
        option.state |= QStyle::State_On;
        if (m_highlighted)
            option.palette.setColor(QPalette::Text, Qt::white);
        style()->drawPrimitive(QStyle::PE_IndicatorMenuCheckMark, &option, &painter, this);
    }
    if (!m_item->desc().isEmpty()) {
        painter.setFont(descriptionFont());
        painter.setPen(m_highlighted ? QColor(Qt::white) : QColor(137, 137, 137));
        painter.drawText(QRect(30, 2, width() - 30, 18), Qt::AlignLeft | Qt::AlignVCenter, m_item->desc());
    }
    painter.setFont(lineFont());
    painter.setPen(m_highlighted ? QColor(Qt::white) : QColor(0, 0, 0));
    const QList<int> offsets = lineOffsets();
    int i = 0;
    for (int line = 1; line <= 4; ++line) {
        const QString text = m_item->item(line);
        if (text.isEmpty())
            continue;
        painter.drawText(QRect(30, offsets.value(i++), width() - 30, 20), Qt::AlignLeft | Qt::AlignVCenter, text);
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
