#pragma once
// A preferences window made of panes: a toolbar with one entry per pane over a content area that
// shows the selected pane. Switching resizes the window to the pane (top-left corner fixed) and
// remembers each pane's size under "PanedPreferences <identifier> Frame".
#include "windows/preferences/PanedPreferencesViewController.h"

#include <QHash>
#include <QMargins>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QRect>

class QAction;
class QActionGroup;
class QToolBar;
namespace Ui { class PanedPreferencesWindow; }

class PanedPreferencesWindowController : public QMainWindow
{
    Q_OBJECT
public:
    // Panes in toolbar order; a null entry is shown as flexible space in the toolbar.
    explicit PanedPreferencesWindowController(const QList<PanedPreferencesViewController *> &viewControllers,
                                              const QString &title = QString(), QWidget *parent = nullptr);
    ~PanedPreferencesWindowController() override;

    static const QString DidChangeViewNotification;
    static QString frameKeyForIdentifier(const QString &identifier);
    static const QString FrameTopLeftKey;
    // Text forms of rectangles and points as the stored sizes use them: "{{x, y}, {w, h}}".
    static QString stringFromRect(const QRect &rect);
    static QRect rectFromString(const QString &string);
    static QString stringFromPoint(const QPoint &point);

    // The translucent custom toolbar needs a visual-effect backdrop this platform lacks.
    static bool specialEffectsAvailable() { return false; }
    static bool useCustomToolbar() { return specialEffectsAvailable(); }

    const QList<PanedPreferencesViewController *> &viewControllers() const { return m_viewControllers; }
    PanedPreferencesViewController *selectedViewController() const { return m_selected; }
    QString title() const { return m_title; }

    void setSelectedViewController(PanedPreferencesViewController *pane);
    void selectControllerAtIndex(int index);
    void goNextTab();
    void goPreviousTab();
    PanedPreferencesViewController *viewControllerForIdentifier(const QString &identifier) const;
    PanedPreferencesViewController *firstViewController() const;
    QStringList toolbarItemIdentifiers() const;
    int indexOfSelectedController() const;

    QToolBar *toolbar() const { return m_toolbar; }
    // The toolbar entry of a pane (null for a null entry or an unknown identifier).
    QAction *toolbarActionForIdentifier(const QString &identifier) const;
    QWidget *innerContentViewContainer() const;
    // The minimum content size of a pane: its view's size when it was first shown.
    QSize minimumSizeForIdentifier(const QString &identifier) const;

Q_SIGNALS:
    void didChangeView();

protected:
    void closeEvent(QCloseEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    // Called once the window is closing (after the selected pane agreed).
    virtual void windowWillClose() {}
    // Takes the shown pane's view out of the window and forgets every pane (before panes die).
    void releasePanes();

private:
    void loadWindow();
    void toolbarItemDidClick(const QString &identifier);
    void selectToolbarIdentifier(const QString &identifier);
    void storeSelectedPaneSize();
    // The work area of the screen the window is on (or opens on).
    QRect availableScreenGeometry() const;
    // The window manager's decoration around the window (a guess until the window is framed;
    // `known` tells which).
    QMargins frameMargins(bool *known = nullptr) const;
    // Sizes the window and the content area to the selected pane on this screen.
    void fitSelectedPane();
    void refitForFrame();
    // The largest content size (below the toolbar) whose framed window fits the work area.
    QSize roomOnScreen(int chrome) const;
    // Centres the window while it opens; afterwards keeps its top-left corner where the whole
    // frame still fits, else moves it just enough.
    void placeOnScreen();

    Ui::PanedPreferencesWindow *m_ui = nullptr;
    bool m_loaded = false;
    bool m_switching = false;
    bool m_centreOnScreen = false;
    QList<PanedPreferencesViewController *> m_viewControllers;
    QHash<QString, QSize> m_minimumViewRects;
    QString m_title;
    PanedPreferencesViewController *m_selected = nullptr;
    QToolBar *m_toolbar = nullptr;
    QActionGroup *m_toolbarGroup = nullptr;
    QHash<QString, QAction *> m_actions;
    // The decoration the window was last fitted with, and the size shown when the screen cut
    // the pane's remembered size (empty when it was not cut).
    QMargins m_fitMargins;
    QSize m_fittedSize;
};
