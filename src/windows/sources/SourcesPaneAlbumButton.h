#pragma once
// The album button of a source row: an album (icon and name, renamed in place by clicking on the
// name) or a choice (label with a drop-down arrow). In-place renaming shows a line edit over the
// name that follows the typing with the button's width (growing to the left), and ends on Return,
// on leaving the field or on a click anywhere outside the name.
#include <QPointer>
#include <QPushButton>
#include <QRect>

class QLineEdit;
class SourcesPaneAlbumButton;

class SourcesPaneAlbumButtonDelegate
{
public:
    virtual ~SourcesPaneAlbumButtonDelegate() = default;
    virtual void sourcesPanelAlbumButtonDidFinishRenaming(SourcesPaneAlbumButton *button, const QString &text) = 0;
};

class SourcesPaneAlbumButton : public QPushButton
{
    Q_OBJECT
public:
    static constexpr int kMaximumWidth = 156;

    explicit SourcesPaneAlbumButton(QWidget *parent = nullptr);
    ~SourcesPaneAlbumButton() override;

    bool canEditTitle() const { return m_canEditTitle; }
    void setCanEditTitle(bool on) { m_canEditTitle = on; update(); }
    bool isAlbum() const { return m_isAlbum; }
    void setIsAlbum(bool on) { m_isAlbum = on; update(); }
    bool showAlbumIcon() const { return m_showAlbumIcon; }
    void setShowAlbumIcon(bool on) { m_showAlbumIcon = on; update(); }
    bool editingTitle() const { return m_editingTitle; }
    void setEditingTitle(bool editing);
    SourcesPaneAlbumButtonDelegate *renameDelegate() const { return m_renameDelegate; }
    void setRenameDelegate(SourcesPaneAlbumButtonDelegate *delegate) { m_renameDelegate = delegate; }
    QLineEdit *editableTextField() const { return m_field; }
    QRect cursorRect() const { return m_cursorRect; }
    void setCursorRect(const QRect &rect);
    bool hasClickMonitor() const { return m_monitorInstalled; }

    // Width for the title (at most 156), at the given height.
    QSize sizeThatFits(int height) const;
    // Takes that width keeping the right edge in place.
    void sizeToFit();
    // The name's rectangle for the current looks (where a click starts renaming).
    QRect titleRect() const;
    void prepareForReuse();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateCursorRect();
    void updateCursorShape(const QPoint &position);
    // Left edge of the drop-down arrow (choice look).
    int arrowX() const;
    void installMonitor();
    void removeMonitor();

    bool m_canEditTitle = false;
    bool m_isAlbum = false;
    bool m_showAlbumIcon = false;
    bool m_editingTitle = false;
    bool m_monitorInstalled = false;
    SourcesPaneAlbumButtonDelegate *m_renameDelegate = nullptr;
    QLineEdit *m_field = nullptr;
    QRect m_cursorRect;
};
