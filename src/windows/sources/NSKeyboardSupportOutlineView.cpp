#include "windows/sources/NSKeyboardSupportOutlineView.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>

NSKeyboardSupportOutlineView::NSKeyboardSupportOutlineView(QWidget *parent) : QTreeView(parent)
{
    setHeaderHidden(true);
    setMouseTracking(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setExpandsOnDoubleClick(false);
    setIndentation(20);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
}

int NSKeyboardSupportOutlineView::visualRowAt(const QRect &rowRect) const
{
    const int height = qMax(1, rowRect.height());
    return (rowRect.top() + verticalOffset()) / height;
}

QColor NSKeyboardSupportOutlineView::selectionColor(const QPalette &palette)
{
    return palette.color(QPalette::Active, QPalette::Highlight).lighter(160);
}

void NSKeyboardSupportOutlineView::setHideDisclosureTriangle(bool hide)
{
    m_hideDisclosureTriangle = hide;
    setRootIsDecorated(!hide);
    setItemsExpandable(!hide);
}

void NSKeyboardSupportOutlineView::keyPressEvent(QKeyEvent *event)
{
    if (m_keyboardDelegate && m_keyboardDelegate->outlineViewKeyDown(this, event)) {
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

QMenu *NSKeyboardSupportOutlineView::menuForPoint(const QPoint &viewportPos)
{
    const QModelIndex index = indexAt(viewportPos);
    if (!index.isValid() || !m_keyboardDelegate)
        return nullptr;
    if (!selectionModel()->isSelected(index))
        selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    setCurrentIndex(index);
    return m_keyboardDelegate->tableViewMenuForRows(this, selectionModel()->selectedRows());
}

void NSKeyboardSupportOutlineView::contextMenuEvent(QContextMenuEvent *event)
{
    if (event->reason() != QContextMenuEvent::Mouse) {
        QTreeView::contextMenuEvent(event);
        return;
    }
    QMenu *menu = menuForPoint(event->pos());
    if (!menu) {
        QTreeView::contextMenuEvent(event);
        return;
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void NSKeyboardSupportOutlineView::mouseMoveEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index != m_hover) {
        const QModelIndex old = m_hover;
        m_hover = index;
        if (old.isValid())
            viewport()->update(visualRect(old).adjusted(-indentation() * 8, 0, 0, 0));
        if (index.isValid())
            viewport()->update(visualRect(index).adjusted(-indentation() * 8, 0, 0, 0));
    }
    QTreeView::mouseMoveEvent(event);
}

void NSKeyboardSupportOutlineView::leaveEvent(QEvent *event)
{
    if (m_hover.isValid()) {
        m_hover = QModelIndex();
        viewport()->update();
    }
    QTreeView::leaveEvent(event);
}

void NSKeyboardSupportOutlineView::drawBranches(QPainter *painter, const QRect &rect, const QModelIndex &index) const
{
    // The row's background (selection, hover, alternate rows) reaches under the indentation,
    // over the style's own selection fill.
    const bool hover = index == m_hover;
    if (selectionModel() && selectionModel()->isSelected(index))
        painter->fillRect(rect, selectionColor(palette()));
    else if (hover)
        painter->fillRect(rect, QColor(231, 236, 243));
    else if (visualRowAt(rect) % 2 == 1)
        painter->fillRect(rect, QColor(143, 147, 151, 38));
    if (m_hideDisclosureTriangle)
        return;
    QTreeView::drawBranches(painter, rect, index);
}
