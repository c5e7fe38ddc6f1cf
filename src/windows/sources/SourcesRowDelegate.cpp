#include "windows/sources/SourcesRowDelegate.h"

#include "windows/sources/NSKeyboardSupportOutlineView.h"
#include "windows/sources/SourcesPreferencesViewController.h"
#include "windows/sources/SourcesTreeModel.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHash>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

namespace {
QIcon namedIcon(const QString &name)
{
    static QHash<QString, QIcon> cache;
    auto it = cache.find(name);
    if (it == cache.end())
        it = cache.insert(name, QIcon(QStringLiteral(":/images/preferences/%1.svg").arg(name)));
    return it.value();
}

QIcon iconForPath(const QString &path)
{
    static QFileIconProvider provider;
    static QHash<QString, QIcon> cache;
    auto it = cache.find(path);
    if (it == cache.end()) {
        const QFileInfo info(path);
        it = cache.insert(path, info.exists() ? provider.icon(info) : provider.icon(QFileIconProvider::Folder));
    }
    return it.value();
}

// One line of text at a pixel size and colour, elided to fit its rectangle.
void drawElidedLine(QPainter *painter, QFont font, int pixelSize, const QColor &color, const QRect &rect,
                    const QString &text, Qt::TextElideMode elide)
{
    font.setPixelSize(pixelSize);
    painter->setFont(font);
    painter->setPen(color);
    painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, painter->fontMetrics().elidedText(text, elide, rect.width()));
}
} // namespace

SourcesRowDelegate::SourcesRowDelegate(SourcesPreferencesViewController *controller, NSKeyboardSupportOutlineView *view)
    : QStyledItemDelegate(view), m_controller(controller), m_view(view)
{
}

QSize SourcesRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return QSize(option.rect.width(), kRowHeight);
}

QRect SourcesRowDelegate::statusRect(const QRect &row) const
{
    return QRect(row.right() - 12 - 16, row.center().y() - 8, 16, 16);
}

QRect SourcesRowDelegate::checkboxRect(const QRect &row) const
{
    const int right = (m_controller && m_controller->isWelcomeScreen()) ? row.right() - 12 : row.right() - 40;
    return QRect(right - 16, row.center().y() - 8, 16, 16);
}

void SourcesRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const auto *model = qobject_cast<const SourcesTreeModel *>(index.model());
    if (!model)
        return;
    const SourceRowState &row = model->rowState(index);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRect r = option.rect;

    if (option.state & QStyle::State_Selected)
        painter->fillRect(r, NSKeyboardSupportOutlineView::selectionColor(m_view ? m_view->palette() : option.palette));
    else if (m_view && m_view->hoverIndex() == index)
        painter->fillRect(r, QColor(231, 236, 243));
    else if (m_view && m_view->visualRowAt(r) % 2 == 1)
        painter->fillRect(r, QColor(143, 147, 151, 38));

    const QRect iconRect(r.left() + 4, r.center().y() - 12, 24, 24);
    const QIcon icon = row.iconName.isEmpty() ? iconForPath(row.iconPath) : namedIcon(row.iconName);
    icon.paint(painter, iconRect);

    int textRight = checkboxRect(r).left() - 8;
    const QRect titleRect(r.left() + 34, r.top() + 4, qMax(0, textRight - r.left() - 34), 18);
    const QRect subtitleRect(titleRect.left(), titleRect.bottom() + 1, titleRect.width(), 15);
    drawElidedLine(painter, option.font, 13, QColor(34, 34, 34), titleRect, row.title, Qt::ElideMiddle);
    drawElidedLine(painter, option.font, 11, QColor(120, 124, 130), subtitleRect, row.subtitle, Qt::ElideRight);

    if (row.checkboxVisible && row.record) {
        QStyleOptionButton box;
        box.rect = checkboxRect(r);
        box.state = QStyle::State_Enabled | (row.checkboxChecked ? QStyle::State_On : QStyle::State_Off);
        QStyle *style = m_view ? m_view->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, m_view);
    }

    if (!row.statusIconName.isEmpty() && !(m_controller && m_controller->isWelcomeScreen())) {
        const QRect s = statusRect(r);
        painter->save();
        if (m_controller && model->isTurning(index)) {
            painter->translate(s.center() + QPointF(0.5, 0.5));
            painter->rotate(-m_controller->spinnerAngleDegrees());
            painter->translate(-(s.center() + QPointF(0.5, 0.5)));
        }
        namedIcon(row.statusIconName).paint(painter, s);
        painter->restore();
    }
    painter->restore();
}

bool SourcesRowDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                     const QModelIndex &index)
{
    if (event->type() != QEvent::MouseButtonRelease || !m_controller)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    auto *mouse = static_cast<QMouseEvent *>(event);
    if (mouse->button() != Qt::LeftButton)
        return false;
    const auto *tree = qobject_cast<const SourcesTreeModel *>(model);
    if (!tree)
        return false;
    const SourceRowState &row = tree->rowState(index);
    const QPoint pos = mouse->position().toPoint();
    if (row.checkboxVisible && row.record && checkboxRect(option.rect).adjusted(-4, -4, 4, 4).contains(pos)) {
        m_controller->excludedFolderCheckboxHit(tree->itemAt(index), !row.checkboxChecked);
        return true;
    }
    if (!m_controller->isWelcomeScreen() && statusRect(option.rect).adjusted(-4, -4, 4, 4).contains(pos)) {
        m_controller->statusButtonHit(tree->itemAt(index), m_view ? m_view->viewport()->mapToGlobal(statusRect(option.rect).bottomLeft()) : QPoint());
        return true;
    }
    return false;
}
