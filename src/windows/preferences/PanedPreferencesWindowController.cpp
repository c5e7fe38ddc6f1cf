#include "windows/preferences/PanedPreferencesWindowController.h"

#include "core/Dispatch.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "ui_PanedPreferencesWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QToolBar>
#include <QWidget>
#include <QWindow>

const QString PanedPreferencesWindowController::DidChangeViewNotification =
    QStringLiteral("PanedPreferencesWindowControllerDidChangeViewNotification");
const QString PanedPreferencesWindowController::FrameTopLeftKey = QStringLiteral("PanedPreferences Frame Top Left");

QString PanedPreferencesWindowController::frameKeyForIdentifier(const QString &identifier)
{
    return QStringLiteral("PanedPreferences %1 Frame").arg(identifier);
}

QString PanedPreferencesWindowController::stringFromRect(const QRect &rect)
{
    return QStringLiteral("{{%1, %2}, {%3, %4}}").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
}

QRect PanedPreferencesWindowController::rectFromString(const QString &string)
{
    static const QRegularExpression numbers(QStringLiteral("-?\\d+(?:\\.\\d+)?"));
    QList<double> values;
    auto it = numbers.globalMatch(string);
    while (it.hasNext() && values.size() < 4)
        values << it.next().captured(0).toDouble();
    if (values.size() < 4 || values[2] < 0 || values[3] < 0)
        return QRect();
    return QRect(qRound(values[0]), qRound(values[1]), qRound(values[2]), qRound(values[3]));
}

QString PanedPreferencesWindowController::stringFromPoint(const QPoint &point)
{
    return QStringLiteral("{%1, %2}").arg(point.x()).arg(point.y());
}

PanedPreferencesWindowController::PanedPreferencesWindowController(
    const QList<PanedPreferencesViewController *> &viewControllers, const QString &title, QWidget *parent)
    : QMainWindow(parent), m_viewControllers(viewControllers), m_title(title)
{
    setAttribute(Qt::WA_DeleteOnClose, false);
}

PanedPreferencesWindowController::~PanedPreferencesWindowController()
{
    releasePanes();
    delete m_ui;
}

void PanedPreferencesWindowController::releasePanes()
{
    // Pane views belong to their panes, not to the window: take the shown one out before the
    // container is destroyed with the window.
    if (m_selected && m_selected->paneView())
        m_selected->paneView()->setParent(nullptr);
    m_selected = nullptr;
    m_viewControllers.clear();
}

void PanedPreferencesWindowController::loadWindow()
{
    if (m_loaded)
        return;
    m_loaded = true;
    m_ui = new Ui::PanedPreferencesWindow;
    m_ui->setupUi(this);
    m_toolbar = m_ui->toolbar;
    m_toolbarGroup = new QActionGroup(this);
    m_toolbarGroup->setExclusive(true);
    for (PanedPreferencesViewController *pane : std::as_const(m_viewControllers)) {
        if (!pane) {
            auto *spacer = new QWidget(m_toolbar);
            spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
            m_toolbar->addWidget(spacer);
            continue;
        }
        const QString identifier = pane->identifier();
        QAction *action = m_toolbar->addAction(pane->toolbarItemImage(), pane->toolbarItemLabel());
        action->setCheckable(true);
        action->setObjectName(identifier);
        action->setData(identifier);
        m_toolbarGroup->addAction(action);
        m_actions.insert(identifier, action);
        connect(action, &QAction::triggered, this, [this, identifier] { toolbarItemDidClick(identifier); });
    }
    if (!m_title.isEmpty())
        setWindowTitle(m_title);
    // Opens centred each time it is created (once the first pane has given it its size); the
    // stored top-left point is a record only.
    m_centreOnScreen = true;
}

QRect PanedPreferencesWindowController::availableScreenGeometry() const
{
    QScreen *onScreen = nullptr;
    if (!m_centreOnScreen)
        onScreen = QGuiApplication::screenAt(frameGeometry().center());
    if (!onScreen)
        onScreen = screen();
    if (!onScreen)
        onScreen = QGuiApplication::primaryScreen();
    return onScreen ? onScreen->availableGeometry() : QRect();
}

QMargins PanedPreferencesWindowController::frameMargins(bool *known) const
{
    // The window manager tells the decoration's size only once it has framed the window; until
    // then the last size seen (or a title bar's worth) is a provisional guess, replaced as soon
    // as the real one is known (refitForFrame).
    static QMargins lastKnown(2, 30, 2, 2);
    bool real = false;
    if (QWindow *handle = windowHandle(); handle && isVisible()) {
        const QMargins margins = handle->frameMargins();
        // No decoration at all is an answer too, once the window is on the screen.
        real = !margins.isNull() || handle->isExposed();
        if (real)
            lastKnown = margins;
    }
    if (known)
        *known = real;
    return lastKnown;
}

QSize PanedPreferencesWindowController::roomOnScreen(int chrome) const
{
    const QRect available = availableScreenGeometry();
    if (!available.isValid())
        return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    const QMargins frame = frameMargins();
    return QSize(qMax(1, available.width() - frame.left() - frame.right()),
                 qMax(1, available.height() - frame.top() - frame.bottom() - chrome));
}

void PanedPreferencesWindowController::placeOnScreen()
{
    const QRect available = availableScreenGeometry();
    if (!available.isValid())
        return;
    const QMargins frame = frameMargins();
    const QSize frameSize(width() + frame.left() + frame.right(), height() + frame.top() + frame.bottom());
    QPoint topLeft = pos();
    if (m_centreOnScreen) {
        topLeft = QPoint(available.x() + (available.width() - frameSize.width()) / 2,
                         available.y() + (available.height() - frameSize.height()) / 2);
    }
    // The top-left corner stays where it was as long as the whole frame still fits there.
    topLeft.setX(qMax(available.left(), qMin(topLeft.x(), available.x() + available.width() - frameSize.width())));
    topLeft.setY(qMax(available.top(), qMin(topLeft.y(), available.y() + available.height() - frameSize.height())));
    if (topLeft != pos())
        move(topLeft);
}

QWidget *PanedPreferencesWindowController::innerContentViewContainer() const
{
    return m_ui ? m_ui->innerContentViewContainer : nullptr;
}

QStringList PanedPreferencesWindowController::toolbarItemIdentifiers() const
{
    QStringList identifiers;
    for (PanedPreferencesViewController *pane : m_viewControllers)
        identifiers << (pane ? pane->identifier() : QStringLiteral("NSToolbarFlexibleSpaceItem"));
    return identifiers;
}

int PanedPreferencesWindowController::indexOfSelectedController() const
{
    if (!m_selected)
        return -1;
    return toolbarItemIdentifiers().indexOf(m_selected->identifier());
}

QAction *PanedPreferencesWindowController::toolbarActionForIdentifier(const QString &identifier) const
{
    return m_actions.value(identifier);
}

QSize PanedPreferencesWindowController::minimumSizeForIdentifier(const QString &identifier) const
{
    return m_minimumViewRects.value(identifier);
}

PanedPreferencesViewController *PanedPreferencesWindowController::viewControllerForIdentifier(const QString &identifier) const
{
    for (PanedPreferencesViewController *pane : m_viewControllers) {
        if (pane && pane->identifier() == identifier)
            return pane;
    }
    return nullptr;
}

PanedPreferencesViewController *PanedPreferencesWindowController::firstViewController() const
{
    for (PanedPreferencesViewController *pane : m_viewControllers) {
        if (pane)
            return pane;
    }
    return nullptr;
}

void PanedPreferencesWindowController::selectControllerAtIndex(int index)
{
    if (index < 0 || index >= m_viewControllers.size())
        return;
    setSelectedViewController(m_viewControllers.at(index));
}

void PanedPreferencesWindowController::goNextTab()
{
    const int count = int(m_viewControllers.size());
    if (count == 0 || !firstViewController())
        return;
    // With nothing selected the first real entry comes next.
    int index = indexOfSelectedController() >= 0 ? indexOfSelectedController() : count - 1;
    do {
        index = (index + 1) % count;
    } while (!m_viewControllers.at(index));
    selectControllerAtIndex(index);
}

void PanedPreferencesWindowController::goPreviousTab()
{
    const int count = int(m_viewControllers.size());
    if (count == 0 || !firstViewController())
        return;
    int index = indexOfSelectedController() >= 0 ? indexOfSelectedController() : 0;
    do {
        index = (index + count - 1) % count;
    } while (!m_viewControllers.at(index));
    selectControllerAtIndex(index);
}

void PanedPreferencesWindowController::toolbarItemDidClick(const QString &identifier)
{
    setSelectedViewController(viewControllerForIdentifier(identifier));
}

void PanedPreferencesWindowController::selectToolbarIdentifier(const QString &identifier)
{
    if (QAction *action = m_actions.value(identifier)) {
        action->setChecked(true);
    } else if (m_toolbarGroup) {
        if (QAction *checked = m_toolbarGroup->checkedAction())
            checked->setChecked(false);
    }
}

void PanedPreferencesWindowController::setSelectedViewController(PanedPreferencesViewController *pane)
{
    loadWindow();
    if (pane && !m_viewControllers.contains(pane))
        return;
    if (pane == m_selected) {
        // The toolbar may have moved on its own (a click); it follows the pane actually shown.
        selectToolbarIdentifier(m_selected ? m_selected->identifier() : QString());
        return;
    }
    QWidget *container = m_ui->innerContentViewContainer;
    if (m_selected) {
        if (!m_selected->commitEditing()) {
            // The shown pane keeps the window, and the toolbar keeps showing it.
            selectToolbarIdentifier(m_selected->identifier());
            return;
        }
        PanedPreferencesViewController *old = m_selected;
        if (QWidget *oldView = old->paneView()) {
            container->layout()->removeWidget(oldView);
            oldView->hide();
            oldView->setParent(nullptr);
        }
        m_selected = nullptr;
        old->viewDidDisappear();
    }
    if (!pane) {
        selectToolbarIdentifier(QString());
        return;
    }

    const QString identifier = pane->identifier();
    selectToolbarIdentifier(identifier);
    m_selected = pane;
    if (m_title.isEmpty())
        setWindowTitle(pane->toolbarItemLabel());

    QWidget *view = pane->paneView();
    if (!m_minimumViewRects.contains(identifier))
        m_minimumViewRects.insert(identifier, view ? view->size() : QSize());

    pane->viewWillAppear();
    if (view) {
        view->setParent(container);
        container->layout()->addWidget(view);
        view->show();
    }
    fitSelectedPane();
    // Each pane is shown from its top-left corner, whatever the one before was scrolled to.
    m_ui->contentScrollArea->horizontalScrollBar()->setValue(0);
    m_ui->contentScrollArea->verticalScrollBar()->setValue(0);

    QWidget *focus = pane->initialKeyView();
    if (!focus && view)
        focus = view->nextInFocusChain();
    if (focus && isActiveWindow())
        focus->setFocus(Qt::OtherFocusReason);

    NotificationCenter::post(DidChangeViewNotification);
    Q_EMIT didChangeView();
}

void PanedPreferencesWindowController::fitSelectedPane()
{
    PanedPreferencesViewController *pane = m_selected;
    if (!pane || m_switching)
        return;
    const QString identifier = pane->identifier();
    QWidget *view = pane->paneView();
    const QSize minimum = m_minimumViewRects.value(identifier);
    const QRect stored = rectFromString(Settings::stringForKey(frameKeyForIdentifier(identifier)));
    QSize content = stored.isValid() ? stored.size() : (view ? view->size() : QSize());
    const bool widthSizable = view && view->sizePolicy().horizontalPolicy() != QSizePolicy::Fixed;
    const bool heightSizable = view && view->sizePolicy().verticalPolicy() != QSizePolicy::Fixed;
    content.setWidth(widthSizable ? qMax(content.width(), minimum.width()) : minimum.width());
    content.setHeight(heightSizable ? qMax(content.height(), minimum.height()) : minimum.height());

    // A size remembered on a larger monitor, or a pane larger than this screen, is shown fitted
    // to the screen the window is on, so the whole window stays reachable; the pane keeps its
    // size and scrolls, and the remembered size stays for a larger screen.
    const int chrome = (m_toolbar && !m_toolbar->isHidden()) ? m_toolbar->sizeHint().height() : 0;
    bool marginsKnown = false;
    m_fitMargins = frameMargins(&marginsKnown);
    const QSize room = roomOnScreen(chrome);
    QSize shown = content.boundedTo(room);
    QScrollArea *scroller = m_ui->contentScrollArea;
    const int bar = scroller->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroller);
    // A sizable pane gives way down to its minimum; below that it scrolls, and the scroll bar
    // takes room across the other edge.
    if (shown.height() < minimum.height())
        shown.setWidth(qMin(room.width(), shown.width() + bar));
    if (shown.width() < minimum.width())
        shown.setHeight(qMin(room.height(), shown.height() + bar));
    const QSize least = minimum.boundedTo(shown);
    if (view) {
        // A pane laid out by fixed positions has no size hint of its own: its first-seen size
        // is what the content area must keep.
        view->setMinimumSize(minimum);
        view->resize(content);
    }

    m_switching = true;
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    resize(shown.width(), shown.height() + chrome);
    setMinimumSize(least.width(), least.height() + chrome);
    setMaximumSize(widthSizable ? QWIDGETSIZE_MAX : shown.width(),
                   heightSizable ? QWIDGETSIZE_MAX : shown.height() + chrome);
    placeOnScreen();
    m_switching = false;
    if (marginsKnown && isVisible())
        m_centreOnScreen = false;
    // The window's size now is the pane's size: remember it even before the window is shown.
    Settings::setObject(stringFromRect(QRect(QPoint(0, 0), content)), frameKeyForIdentifier(identifier));
    m_fittedSize = shown == content ? QSize() : shown;
}

void PanedPreferencesWindowController::storeSelectedPaneSize()
{
    if (!m_selected || m_switching)
        return;
    const int chrome = (m_toolbar && !m_toolbar->isHidden()) ? m_toolbar->sizeHint().height() : 0;
    const QSize content(width(), height() - chrome);
    // Still the screen's cut of the remembered size: the remembered size stays.
    if (content == m_fittedSize)
        return;
    m_fittedSize = QSize();
    Settings::setObject(stringFromRect(QRect(QPoint(0, 0), content)), frameKeyForIdentifier(m_selected->identifier()));
}

void PanedPreferencesWindowController::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    storeSelectedPaneSize();
}

void PanedPreferencesWindowController::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    refitForFrame();
}

void PanedPreferencesWindowController::refitForFrame()
{
    // The window manager tells the decoration's size once it has framed the window (after the
    // first show, on X11 a little later): fit and centre the frame once more, exactly.
    if (!m_selected || m_switching)
        return;
    if (m_centreOnScreen || frameMargins() != m_fitMargins)
        fitSelectedPane();
}

void PanedPreferencesWindowController::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    if (!m_loaded)
        return;
    refitForFrame();
    // Top-left in screen coordinates of the window's frame.
    Settings::setObject(stringFromPoint(frameGeometry().topLeft()), FrameTopLeftKey);
}

void PanedPreferencesWindowController::closeEvent(QCloseEvent *event)
{
    if (m_selected && !m_selected->commitEditing()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
    windowWillClose();
}
