#pragma once
// The tree view of the Upload pane: keys and the right-click menu go to the pane first.
#include <QColor>
#include <QModelIndexList>
#include <QPalette>
#include <QPointer>
#include <QTreeView>

class QKeyEvent;
class QMenu;

class KeyboardSupportOutlineViewDelegate
{
public:
    virtual ~KeyboardSupportOutlineViewDelegate() = default;
    // True when the key was handled.
    virtual bool outlineViewKeyDown(QTreeView *view, QKeyEvent *event) = 0;
    // The context menu for the selected rows (null for none).
    virtual QMenu *tableViewMenuForRows(QTreeView *view, const QModelIndexList &rows) = 0;
};

class NSKeyboardSupportOutlineView : public QTreeView
{
    Q_OBJECT
public:
    explicit NSKeyboardSupportOutlineView(QWidget *parent = nullptr);

    void setKeyboardDelegate(KeyboardSupportOutlineViewDelegate *delegate) { m_keyboardDelegate = delegate; }
    KeyboardSupportOutlineViewDelegate *keyboardDelegate() const { return m_keyboardDelegate; }
    void setHideDisclosureTriangle(bool hide);
    bool hideDisclosureTriangle() const { return m_hideDisclosureTriangle; }

    // The menu a right-click at this point would show (selecting the row first); null for none.
    QMenu *menuForPoint(const QPoint &viewportPos);
    // The row under the pointer, drawn with the hover colour.
    QModelIndex hoverIndex() const { return m_hover; }
    // The row's position among the rows shown (for alternate-row shading).
    int visualRowAt(const QRect &rowRect) const;
    // The one colour of a selected row, under the arrow as over the row.
    static QColor selectionColor(const QPalette &palette);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void drawBranches(QPainter *painter, const QRect &rect, const QModelIndex &index) const override;

private:
    KeyboardSupportOutlineViewDelegate *m_keyboardDelegate = nullptr;
    bool m_hideDisclosureTriangle = false;
    QPersistentModelIndex m_hover;
};
