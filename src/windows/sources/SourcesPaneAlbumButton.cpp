#include "windows/sources/SourcesPaneAlbumButton.h"

#include "core/Dispatch.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>

namespace {
QIcon albumIcon() { return QIcon(QStringLiteral(":/images/preferences/SourcesPaneAlbumIcon.svg")); }
QIcon comboArrow() { return QIcon(QStringLiteral(":/images/preferences/SourcesIconComboArrow.svg")); }
constexpr int kIconX = 10;
constexpr int kIconSize = 14;
// What the album icon adds to a choice: the icon and a gap after it.
constexpr int kIconRoom = kIconX + kIconSize + 4 - 8;
constexpr int kArrowWidth = 8;
constexpr int kSideMargin = 8;
} // namespace

SourcesPaneAlbumButton::SourcesPaneAlbumButton(QWidget *parent) : QPushButton(parent)
{
    setFlat(true);
    // The pointer changes shape over the name only, so the button follows the mouse.
    setMouseTracking(true);
    m_field = new QLineEdit(this);
    m_field->hide();
    m_field->setFrame(false);
    connect(m_field, &QLineEdit::textEdited, this, [this](const QString &text) {
        setText(text);
        sizeToFit();
    });
    connect(m_field, &QLineEdit::returnPressed, this, [this] { setEditingTitle(false); });
    connect(m_field, &QLineEdit::editingFinished, this, [this] {
        // Leaving the field ends renaming (Return is handled above).
        if (m_editingTitle && !m_field->hasFocus())
            setEditingTitle(false);
    });
}

SourcesPaneAlbumButton::~SourcesPaneAlbumButton()
{
    removeMonitor();
}

QSize SourcesPaneAlbumButton::sizeThatFits(int height) const
{
    const int textWidth = fontMetrics().horizontalAdvance(text());
    int width;
    if (m_isAlbum)
        width = textWidth + 2 + (m_showAlbumIcon ? 24 : 10) + 2 * kSideMargin;
    else
        width = textWidth + 32 + 8 + (m_showAlbumIcon ? kIconRoom : 0);
    return QSize(qMin(width, kMaximumWidth), height);
}

void SourcesPaneAlbumButton::sizeToFit()
{
    const QSize size = sizeThatFits(height());
    if (size.width() == width())
        return;
    const int growth = size.width() - width();
    setGeometry(x() - growth, y(), size.width(), height());
}

QRect SourcesPaneAlbumButton::titleRect() const
{
    // The name lies inside the button: after the album icon when there is one, before the
    // drop-down arrow in the choice look.
    QRect n = rect().translated(0, -1);
    if (m_isAlbum) {
        if (m_showAlbumIcon)
            n.adjust(kIconX + kIconSize + 3, 0, -kSideMargin, 0);
        else
            n.adjust(kSideMargin + 1, 0, -(kSideMargin + 1), 0);
    } else {
        const int left = m_showAlbumIcon ? kIconX + kIconSize + 4 : kSideMargin;
        n.adjust(left, 0, -(width() - arrowX() + 4), 0);
    }
    return n;
}

int SourcesPaneAlbumButton::arrowX() const
{
    return width() - kArrowWidth - kSideMargin - 2 - (m_showAlbumIcon ? 0 : 2);
}

void SourcesPaneAlbumButton::updateCursorRect()
{
    setCursorRect((m_isAlbum && m_canEditTitle) ? titleRect() : QRect());
}

void SourcesPaneAlbumButton::setCursorRect(const QRect &rect)
{
    if (rect != m_cursorRect) {
        m_cursorRect = rect;
        updateCursorShape(mapFromGlobal(QCursor::pos()));
    }
    if (!rect.isEmpty()) {
        const int side = m_showAlbumIcon ? 2 : 1;
        // Narrowed at top and bottom, but never below a line edit's own height.
        const int fieldHeight = qMax(rect.height() - 12, m_field->sizeHint().height());
        m_field->setGeometry(rect.x() - side, rect.center().y() - fieldHeight / 2, rect.width() + 2 * side, fieldHeight);
    }
}

void SourcesPaneAlbumButton::updateCursorShape(const QPoint &position)
{
    // The I-beam says "click to rename" only over the name; the icon and the margins are the
    // button's and keep the ordinary pointer.
    const bool overName = !m_cursorRect.isEmpty() && m_cursorRect.contains(position) && rect().contains(position);
    if (overName)
        setCursor(Qt::IBeamCursor);
    else
        unsetCursor();
}

void SourcesPaneAlbumButton::mouseMoveEvent(QMouseEvent *event)
{
    updateCursorShape(event->position().toPoint());
    QPushButton::mouseMoveEvent(event);
}

void SourcesPaneAlbumButton::enterEvent(QEnterEvent *event)
{
    updateCursorShape(event->position().toPoint());
    QPushButton::enterEvent(event);
}

void SourcesPaneAlbumButton::leaveEvent(QEvent *event)
{
    unsetCursor();
    QPushButton::leaveEvent(event);
}

void SourcesPaneAlbumButton::resizeEvent(QResizeEvent *event)
{
    QPushButton::resizeEvent(event);
    updateCursorRect();
}

void SourcesPaneAlbumButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect n = titleRect();
    if (!text().isEmpty() && !m_editingTitle) {
        painter.setPen(palette().color(QPalette::ButtonText));
        painter.drawText(n, Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(text(), Qt::ElideRight, qMax(0, n.width())));
    }
    updateCursorRect();
    if (m_showAlbumIcon)
        albumIcon().paint(&painter, QRect(kIconX, (height() - kIconSize) / 2, kIconSize, kIconSize));
    if (!m_isAlbum)
        comboArrow().paint(&painter, QRect(arrowX(), (height() - kArrowWidth) / 2, kArrowWidth, kArrowWidth));
}

void SourcesPaneAlbumButton::mousePressEvent(QMouseEvent *event)
{
    if (!m_cursorRect.isEmpty() && m_cursorRect.contains(event->position().toPoint())) {
        setEditingTitle(true);
        event->accept();
        return;
    }
    setEditingTitle(false);
    QPushButton::mousePressEvent(event);
}

void SourcesPaneAlbumButton::setEditingTitle(bool editing)
{
    if (editing == m_editingTitle)
        return;
    m_editingTitle = editing;
    if (editing) {
        m_field->setText(text());
        m_field->show();
        m_field->setFocus(Qt::MouseFocusReason);
        m_field->end(false);
        QPointer<SourcesPaneAlbumButton> self(this);
        dispatch_main_async([self] {
            if (self && self->m_editingTitle)
                self->m_field->end(false);
        });
        installMonitor();
        update();
        return;
    }
    m_field->hide();
    if (m_renameDelegate)
        m_renameDelegate->sourcesPanelAlbumButtonDidFinishRenaming(this, m_field->text());
    if (!m_editingTitle)
        removeMonitor();
    update();
}

void SourcesPaneAlbumButton::installMonitor()
{
    if (m_monitorInstalled)
        return;
    qApp->installEventFilter(this);
    m_monitorInstalled = true;
}

void SourcesPaneAlbumButton::removeMonitor()
{
    if (!m_monitorInstalled)
        return;
    qApp->removeEventFilter(this);
    m_monitorInstalled = false;
}

bool SourcesPaneAlbumButton::eventFilter(QObject *, QEvent *event)
{
    // Every left click in the application while renaming: outside the name it ends renaming
    // (on the next turn), and the click still reaches what was clicked.
    if (event->type() == QEvent::MouseButtonPress && m_editingTitle) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        const QPoint local = mapFromGlobal(mouse->globalPosition().toPoint());
        if (mouse->button() == Qt::LeftButton && !m_cursorRect.contains(local)) {
            QPointer<SourcesPaneAlbumButton> self(this);
            dispatch_main_async([self] {
                if (self)
                    self->setEditingTitle(false);
            });
        }
    }
    return false;
}

void SourcesPaneAlbumButton::prepareForReuse()
{
    m_renameDelegate = nullptr;
    m_field->hide();
    setCursorRect(QRect());
    setEditingTitle(false);
}
