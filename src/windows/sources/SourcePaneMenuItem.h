#pragma once
// A menu item drawn by a view of its own: an optional small grey description line and up to four
// detail lines, with the item's check mark in a left column.
#include <QWidget>
#include <QWidgetAction>

class QMenu;
class SourcePaneMenuItem;

class SourcePaneMenuItemView : public QWidget
{
    Q_OBJECT
public:
    // Widest an item gets; longer texts end in an ellipsis and are whole in the tooltip.
    static constexpr int kMaximumWidth = 320;
    static constexpr int kRightPadding = 8;

    explicit SourcePaneMenuItemView(SourcePaneMenuItem *item, QWidget *parent = nullptr);
    SourcePaneMenuItem *menuItem() const { return m_item; }
    // Height: 22 with a description (2 without) plus 20 per non-empty line; width: 70 plus the
    // widest text.
    void sizeToFit();
    static QFont descriptionFont();
    static QFont lineFont();
    // Where each non-empty line is drawn (y in the view), in order.
    QList<int> lineOffsets() const;
    // The check mark's colour: the menu's text colour, white on the selection.
    QColor checkMarkColor() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QString fullText() const;

    SourcePaneMenuItem *m_item;
    bool m_highlighted = false;
};

class SourcePaneMenuItem : public QWidgetAction
{
    Q_OBJECT
public:
    explicit SourcePaneMenuItem(QObject *parent = nullptr);
    SourcePaneMenuItem(const QString &title, QObject *parent = nullptr);

    QString desc() const { return m_desc; }
    void setDesc(const QString &text) { m_desc = text; }
    QString item(int line) const;          // line 1..4
    void setItem(int line, const QString &text);
    QString item1() const { return item(1); }
    void setItem1(const QString &text) { setItem(1, text); }
    SourcePaneMenuItemView *menuItemView() const { return m_view; }
    // A menu for album items: as tall as the screen allows, scrolling beyond that.
    static QMenu *newAlbumMenu(QWidget *parent = nullptr);

protected:
    QWidget *createWidget(QWidget *parent) override;

private:
    QString m_desc;
    QString m_items[4];
    SourcePaneMenuItemView *m_view = nullptr;
};
