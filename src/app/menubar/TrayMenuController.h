#pragma once
// The tray popover: a frameless popup window under the tray icon (or above it when the panel is
// at the bottom of the screen) holding the TrayMenuView. The menu-bar controller owns one and
// shows or closes it; while shown it follows the engine's status, paused-state and
// recently-uploaded notifications.
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QStringList>

#include <QMenu>
class QWidget;
class TrayMenuView;
class TrayPopoverWindow;

class TrayMenuController : public QObject
{
    Q_OBJECT
public:
    explicit TrayMenuController(QObject *parent);
    ~TrayMenuController() override;

    // Places the popover next to the icon's geometry (screen coordinates); an empty rectangle
    // places it near the pointer.
    void showRelativeTo(const QRect &iconGeometry);
    void close();
    bool isShown() const;

    TrayMenuView *trayMenuView() const;
    QWidget *popoverWindow() const;

    // View-controller steps, public for the owner and for tests.
    void viewDidLoad();
    void viewWillAppear();
    void viewWillDisappear();

    void pausedStateUpdated();
    void updateFilesToUpload();
    void updateUserInfo();
    void updateStatusText();
    void updateRecentlyUploadedAnimated();
    void updateContentsAnimated(bool animated);
    void updateHeightAnimated(bool animated);

    void avatarButtonHit(QWidget *sender);
    void openCameraRollHit();
    void openPhotostreamHit();
    void openAlbumsHit();
    void openMapHit();
    void openRecentActivityHit();
    void recentUploadsHit();
    void viewOnWebHit() { recentUploadsHit(); }
    void uploadQueueStatusHit() { recentUploadsHit(); }
    void statusPlayPauseButtonHit(QWidget *sender);
    void statusConfigButtonHit(QWidget *sender);

    // State, read by tests.
    bool popoverVisible() const { return m_popoverVisible; }
    bool allowExpand() const { return m_allowExpand; }
    int filesToUpload() const { return m_filesToUpload; }
    QStringList contents() const { return m_contents; }
    int observerCount() const { return m_observers.size(); }
    // The menu most recently popped up from the popover (account, pause or configuration).
    QMenu *lastMenu() const { return m_lastMenu; }
    // Tests: the delay before the first growth of the recent-upload rows (default 0.3 s).
    static void setExpandDelayForTesting(double seconds);

Q_SIGNALS:
    void shownChanged(bool shown);

private:
    void ensureView();
    void popUpMenu(QMenu *menu, QWidget *sender, double yOffset);
    void openWebPath(const QString &path, const QString &event, bool trackAndIncrement);
    void handleWindowHidden();

    QPointer<TrayPopoverWindow> m_window;
    TrayMenuView *m_view = nullptr;
    bool m_loaded = false;
    bool m_popoverVisible = false;
    bool m_allowExpand = false;
    bool m_expandScheduled = false;
    int m_filesToUpload = -1;
    QStringList m_contents;
    QList<QMetaObject::Connection> m_observers;
    QPointer<QMenu> m_lastMenu;
    QString m_statusIconName;
};
