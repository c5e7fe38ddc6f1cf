#pragma once
// Paints each row of the sources tree from its row state: hover and alternate-row backgrounds,
// icon, title and subtitle, the upload check box and the (turning) status icon. Clicks on the
// check box and the status icon go to the pane.
#include <QStyledItemDelegate>

class SourcesPreferencesViewController;
class NSKeyboardSupportOutlineView;

class SourcesRowDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    SourcesRowDelegate(SourcesPreferencesViewController *controller, NSKeyboardSupportOutlineView *view);

    static constexpr int kRowHeight = 41;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

    // Where the check box and the status icon sit in a row rectangle.
    QRect checkboxRect(const QRect &row) const;
    QRect statusRect(const QRect &row) const;

private:
    SourcesPreferencesViewController *m_controller;
    NSKeyboardSupportOutlineView *m_view;
};
