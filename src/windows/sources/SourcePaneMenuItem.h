#pragma once
// A menu item drawn by a view of its own: an optional small grey description line and up to four
// detail lines, with the item's check mark in a left column.
#include <QWidget>
#include <QWidgetAction>

class SourcePaneMenuItem;

class SourcePaneMenuItemView : public QWidget
{
    Q_OBJECT
public:
    explicit SourcePaneMenuItemView(SourcePaneMenuItem *item, QWidget *parent = nullptr);
    SourcePaneMenuItem *menuItem() const { return m_item; }
    // Height: 22 with a description (2 without) plus 20 per non-empty line; width: 70 plus the
    // widest text.
    void sizeToFit();
    static QFont descriptionFont();
    static QFont lineFont();
    // Where each non-empty line is drawn (y in the view), in order.
    QList<int> lineOffsets() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
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

protected:
    QWidget *createWidget(QWidget *parent) override;

private:
    QString m_desc;
    QString m_items[4];
    SourcePaneMenuItemView *m_view = nullptr;
};
