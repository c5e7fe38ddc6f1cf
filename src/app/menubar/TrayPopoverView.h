#pragma once
// The tray popover's window and its root view. TrayMenuView holds the widgets of the interface
// file "TrayMenuController" and sizes the popover from the number of recent-upload rows: the
// recent-upload section is laid out for two rows; one row makes the popover 60 pixels shorter,
// none leaves the section out. Height changes can animate (0.25 s, quadratic ease in and out,
// stepped from a timer on the GUI thread).
#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QSize>
#include <QTimer>
#include <QWidget>
#include <memory>

class QLabel;
class QPushButton;
class QVariantAnimation;
class NSViewWithBackgroundColor;
class NSTextFieldClickable;
class NSButtonWithHandCursor;
class TrayMenuPhotoContainer;
class TrayPopoverWindow;
namespace Ui {
class TrayMenuController;
}

// The status icon: an image that can spin clockwise, one turn per 2 s.
class TrayStatusIconView : public QWidget
{
    Q_OBJECT
public:
    explicit TrayStatusIconView(QWidget *parent = nullptr);
    ~TrayStatusIconView() override;
    QString imageName() const { return m_imageName; }
    // Loads the named image of the widgets' resources; an empty name clears it.
    void setImageName(const QString &name);
    void setSpinning(bool spinning);
    bool isSpinning() const;
    double angle() const { return m_angle; }
    // Bumped each time a spin (re)starts.
    int spinStarts() const { return m_spinStarts; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_imageName;
    QImage m_image;
    double m_angle = 0.0;
    int m_spinStarts = 0;
    QVariantAnimation *m_spin = nullptr;
};

// A round avatar with a thin dark border.
class TrayAvatarView : public QWidget
{
    Q_OBJECT
public:
    explicit TrayAvatarView(QWidget *parent = nullptr);
    QImage image() const { return m_image; }
    void setImage(const QImage &image);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_image;
};

class TrayMenuView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kRowPitch = 60;

    explicit TrayMenuView(QWidget *parent = nullptr);
    ~TrayMenuView() override;

    // The popover window whose size this view drives.
    TrayPopoverWindow *popover() const { return m_popover; }
    void setPopover(TrayPopoverWindow *popover) { m_popover = popover; }

    double recentUploadRowsVisible() const { return m_recentUploadRowsVisible; }
    // Nothing when the value is unchanged; otherwise stores it and resizes the popover.
    void setRecentUploadRowsVisible(double rows, bool animated);
    void updateFrameAnimated(bool animated);
    // The content size for the current row count (recording the interface file's sizes first).
    QSize targetContentSize();
    bool isAnimatingHeight() const { return m_animationStart != m_animationEnd; }
    QSize animationEnd() const { return m_animationEnd; }
    // Quadratic ease in and out: t from 0 to d gives b to b + c.
    static double easeOut(double t, double b, double c, double d);
    // One step of the height animation (the timer calls it).
    void animationStep();
    // Jumps a running height animation to its end and stops its timer.
    void finishHeightAnimation();

    // Outlets.
    NSViewWithBackgroundColor *mainView() const;
    QWidget *profileView() const;
    QLabel *coverPhotoImageView() const;
    TrayAvatarView *avatarImageView() const;
    QPushButton *avatarButtonView() const;
    NSTextFieldClickable *userNameTextField() const;
    TrayStatusIconView *statusIconView() const;
    NSViewWithBackgroundColor *statusProgressBarView() const;
    NSTextFieldClickable *statusTextField() const;
    NSTextFieldClickable *statusTextFieldNoIcon() const;
    NSButtonWithHandCursor *statusPlayPauseButton() const;
    NSButtonWithHandCursor *statusConfigButton() const;
    QWidget *uploadQueueView() const;
    QLabel *uploadQueueTextField() const;
    QWidget *uploadQueueImageContainer() const;
    NSTextFieldClickable *uploadQueueStatusField() const;
    QWidget *recentUploadsView() const;
    QLabel *recentUploadsTextField() const;
    NSTextFieldClickable *recentUploadsLinkField() const;
    TrayMenuPhotoContainer *recentUploadsImagesContainer() const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyContentSize(const QSize &size);

    std::unique_ptr<Ui::TrayMenuController> m_ui;
    QPointer<TrayPopoverWindow> m_popover;
    double m_recentUploadRowsVisible = -1.0;
    QSize m_originalViewSize{0, 0};
    QSize m_originalRecentUploadsSize{0, 0};
    QSize m_animationStart;
    QSize m_animationEnd;
    QElapsedTimer m_animationClock;
    QTimer m_stepTimer;
};

// The frameless popup that shows the view; a press outside closes it.
class TrayPopoverWindow : public QWidget
{
    Q_OBJECT
public:
    explicit TrayPopoverWindow(QWidget *parent = nullptr);

    QSize contentSize() const { return size(); }
    // Resizes, keeping the edge next to the panel where it is.
    void setContentSize(const QSize &size);
    // Where the popover hangs: below a top edge, or above a bottom edge (panel at the bottom).
    void setAnchor(int x, int edgeY, bool growsUpwards);
    bool growsUpwards() const { return m_growsUpwards; }
    // A press outside within the area (global coordinates) closed the popover just now.
    bool closedByPressIn(const QRect &area) const;
    // The popover opens now from a click on the icon in this area (global coordinates).
    void openedFrom(const QRect &iconArea);

Q_SIGNALS:
    void hidden();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void place();

    int m_anchorX = 0;
    int m_anchorY = 0;
    bool m_growsUpwards = false;
    bool completesOpeningGesture(const QPoint &globalPress);

    QPoint m_outsidePress;
    QElapsedTimer m_outsidePressClock;
    QRect m_openedFrom;
    QElapsedTimer m_openedClock;
};
