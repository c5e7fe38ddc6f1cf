#include "app/menubar/TrayPopoverView.h"

#include "app/menubar/RecentUploadsGrid.h"
#include "app/widgets/SmallViews.h"
#include "ui_TrayMenuController.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleHints>
#include <QSvgRenderer>
#include <QVariantAnimation>
#include <cmath>

static void initWidgetResources()
{
    Q_INIT_RESOURCE(widgets);
}

// ---- status icon -----------------------------------------------------------------------------

TrayStatusIconView::TrayStatusIconView(QWidget *parent)
    : QWidget(parent)
{
    initWidgetResources();
}

TrayStatusIconView::~TrayStatusIconView() = default;

void TrayStatusIconView::setImageName(const QString &name)
{
    m_imageName = name;
    m_image = QImage();
    if (!name.isEmpty()) {
        QSvgRenderer svg(QStringLiteral(":/widgets/%1.svg").arg(name));
        const qreal dpr = devicePixelRatioF();
        QImage image(size() * dpr, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        svg.render(&painter);
        painter.end();
        image.setDevicePixelRatio(dpr);
        m_image = image;
    }
    update();
}

void TrayStatusIconView::setSpinning(bool spinning)
{
    if (!spinning) {
        if (m_spin)
            m_spin->stop();
        m_angle = 0.0;
        update();
        return;
    }
    if (!m_spin) {
        m_spin = new QVariantAnimation(this);
        // Positive angles turn clockwise on screen: one turn every 2 s, for ever.
        m_spin->setStartValue(0.0);
        m_spin->setEndValue(360.0);
        m_spin->setDuration(2000);
        m_spin->setLoopCount(-1);
        connect(m_spin, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
            m_angle = value.toDouble();
            update();
        });
    }
    m_spin->stop();
    m_angle = 0.0;
    ++m_spinStarts;
    m_spin->start();
}

bool TrayStatusIconView::isSpinning() const
{
    return m_spin && m_spin->state() == QAbstractAnimation::Running;
}

void TrayStatusIconView::paintEvent(QPaintEvent *)
{
    if (m_image.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.translate(width() / 2.0, height() / 2.0);
    painter.rotate(m_angle);
    painter.translate(-width() / 2.0, -height() / 2.0);
    painter.drawImage(rect(), m_image);
}

// ---- avatar ----------------------------------------------------------------------------------

TrayAvatarView::TrayAvatarView(QWidget *parent)
    : QWidget(parent)
{
}

void TrayAvatarView::setImage(const QImage &image)
{
    m_image = image;
    update();
}

void TrayAvatarView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    const QRectF circle = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (!m_image.isNull()) {
        QPainterPath clip;
        clip.addEllipse(circle);
        painter.save();
        painter.setClipPath(clip);
        // Filled, centred: the shorter edge spans the circle.
        const QSizeF src = m_image.size();
        const double side = std::min(src.width(), src.height());
        const QRectF from((src.width() - side) / 2.0, (src.height() - side) / 2.0, side, side);
        painter.drawImage(circle, m_image, from);
        painter.restore();
    }
    painter.setPen(QPen(QColor(0, 0, 0, 64), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(circle);
}

// ---- the view --------------------------------------------------------------------------------

TrayMenuView::TrayMenuView(QWidget *parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::TrayMenuController>())
{
    initWidgetResources();
    m_ui->setupUi(this);
    m_stepTimer.setInterval(8);
    connect(&m_stepTimer, &QTimer::timeout, this, &TrayMenuView::animationStep);
}

TrayMenuView::~TrayMenuView() = default;

double TrayMenuView::easeOut(double t, double b, double c, double d)
{
    const double x = t / (d / 2.0);
    if (x < 1.0)
        return c / 2.0 * x * x + b;
    return -c / 2.0 * ((x - 1.0) * (x - 3.0) - 1.0) + b;
}

void TrayMenuView::setRecentUploadRowsVisible(double rows, bool animated)
{
    if (rows == m_recentUploadRowsVisible)
        return;
    m_recentUploadRowsVisible = rows;
    updateFrameAnimated(animated);
}

QSize TrayMenuView::targetContentSize()
{
    if (m_originalViewSize.height() == 0)
        m_originalViewSize = size();
    if (m_originalRecentUploadsSize.height() == 0)
        m_originalRecentUploadsSize = recentUploadsView()->size();
    const int width = m_popover ? m_popover->contentSize().width() : m_originalViewSize.width();
    double height = m_originalViewSize.height() - m_originalRecentUploadsSize.height();
    const double r = m_recentUploadRowsVisible;
    if (r >= 2.0)
        height += m_originalRecentUploadsSize.height();
    else if (r > 0.0)
        height += m_originalRecentUploadsSize.height() - (2.0 - r) * kRowPitch;
    return QSize(width > 0 ? width : m_originalViewSize.width(), int(std::lround(height)));
}

void TrayMenuView::updateFrameAnimated(bool animated)
{
    const QSize target = targetContentSize();
    if (!animated) {
        // A running animation stops at its next step: start and end are the same now.
        m_animationStart = target;
        m_animationEnd = target;
        m_stepTimer.stop();
        applyContentSize(target);
        return;
    }
    m_animationStart = m_popover ? m_popover->contentSize() : size();
    m_animationEnd = target;
    m_animationClock.start();
    if (m_animationStart == m_animationEnd) {
        m_stepTimer.stop();
        return;
    }
    if (!m_stepTimer.isActive())
        m_stepTimer.start();
}

void TrayMenuView::animationStep()
{
    if (m_animationStart == m_animationEnd) {
        m_stepTimer.stop();
        return;
    }
    const double p = std::min(1.0, m_animationClock.nsecsElapsed() / 1e9 * 4.0);
    const double e = easeOut(p, 0.0, 1.0, 1.0);
    const QSize size(int(std::lround((m_animationEnd.width() - m_animationStart.width()) * e)) + m_animationStart.width(),
                     int(std::lround((m_animationEnd.height() - m_animationStart.height()) * e)) + m_animationStart.height());
    const QSize current = m_popover ? m_popover->contentSize() : this->size();
    if (current != size)
        applyContentSize(size);
    if (e >= 1.0) {
        m_animationStart = m_animationEnd;
        m_stepTimer.stop();
    }
}

void TrayMenuView::finishHeightAnimation()
{
    m_stepTimer.stop();
    if (m_animationStart == m_animationEnd)
        return;
    m_animationStart = m_animationEnd;
    applyContentSize(m_animationEnd);
}

void TrayMenuView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The main area and its outline end where the view ends, at any number of rows.
    QWidget *main = mainView();
    const QRect frame(main->x(), main->y(), width() - main->x(), std::max(0, height() - main->y()));
    if (main->geometry() != frame)
        main->setGeometry(frame);
}

void TrayMenuView::applyContentSize(const QSize &size)
{
    if (m_popover)
        m_popover->setContentSize(size);
    else
        resize(size);
}

NSViewWithBackgroundColor *TrayMenuView::mainView() const { return m_ui->mainView; }
QWidget *TrayMenuView::profileView() const { return m_ui->profileView; }
QLabel *TrayMenuView::coverPhotoImageView() const { return m_ui->coverPhotoImageView; }
TrayAvatarView *TrayMenuView::avatarImageView() const { return m_ui->avatarImageView; }
QPushButton *TrayMenuView::avatarButtonView() const { return m_ui->avatarButtonView; }
NSTextFieldClickable *TrayMenuView::userNameTextField() const { return m_ui->userNameTextField; }
TrayStatusIconView *TrayMenuView::statusIconView() const { return m_ui->statusIconView; }
NSViewWithBackgroundColor *TrayMenuView::statusProgressBarView() const { return m_ui->statusProgressBarView; }
NSTextFieldClickable *TrayMenuView::statusTextField() const { return m_ui->statusTextField; }
NSTextFieldClickable *TrayMenuView::statusTextFieldNoIcon() const { return m_ui->statusTextFieldNoIcon; }
NSButtonWithHandCursor *TrayMenuView::statusPlayPauseButton() const { return m_ui->statusPlayPauseButton; }
NSButtonWithHandCursor *TrayMenuView::statusConfigButton() const { return m_ui->statusConfigButton; }
QWidget *TrayMenuView::uploadQueueView() const { return m_ui->uploadQueueView; }
QLabel *TrayMenuView::uploadQueueTextField() const { return m_ui->uploadQueueTextField; }
QWidget *TrayMenuView::uploadQueueImageContainer() const { return m_ui->uploadQueueImageContainer; }
NSTextFieldClickable *TrayMenuView::uploadQueueStatusField() const { return m_ui->uploadQueueStatusField; }
QWidget *TrayMenuView::recentUploadsView() const { return m_ui->recentUploadsView; }
QLabel *TrayMenuView::recentUploadsTextField() const { return m_ui->recentUploadsTextField; }
NSTextFieldClickable *TrayMenuView::recentUploadsLinkField() const { return m_ui->recentUploadsLinkField; }
TrayMenuPhotoContainer *TrayMenuView::recentUploadsImagesContainer() const { return m_ui->recentUploadsImagesContainer; }

// ---- the window ------------------------------------------------------------------------------

TrayPopoverWindow::TrayPopoverWindow(QWidget *parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint)
{
    setAttribute(Qt::WA_NoMouseReplay, true);
}

void TrayPopoverWindow::setAnchor(int x, int edgeY, bool growsUpwards)
{
    m_anchorX = x;
    m_anchorY = edgeY;
    m_growsUpwards = growsUpwards;
    place();
}

void TrayPopoverWindow::place()
{
    move(m_anchorX, m_growsUpwards ? m_anchorY - height() : m_anchorY);
}

void TrayPopoverWindow::setContentSize(const QSize &size)
{
    if (size == this->size())
        return;
    resize(size);
    for (QWidget *child : findChildren<TrayMenuView *>(Qt::FindDirectChildrenOnly))
        child->resize(size);
    place();
}

bool TrayPopoverWindow::closedByPressIn(const QRect &area) const
{
    // The press that closed the popover and the tray's click that follows it are one gesture.
    return m_outsidePressClock.isValid() && m_outsidePressClock.elapsed() < 400 && area.contains(m_outsidePress);
}

void TrayPopoverWindow::openedFrom(const QRect &iconArea)
{
    m_openedFrom = iconArea;
    m_openedClock.start();
}

// An XEmbed tray opens the popover at the first press of a double-click; the popup then holds
// the pointer, so the second press lands here, outside, on the icon. It belongs to the gesture
// that opened the popover and must not close it.
bool TrayPopoverWindow::completesOpeningGesture(const QPoint &globalPress)
{
    const bool sameGesture = m_openedClock.isValid() && m_openedFrom.contains(globalPress)
        && m_openedClock.elapsed() <= QGuiApplication::styleHints()->mouseDoubleClickInterval();
    if (sameGesture)
        m_openedClock.invalidate(); // a third press is a click of its own
    return sameGesture;
}

void TrayPopoverWindow::mousePressEvent(QMouseEvent *event)
{
    if (!rect().contains(event->position().toPoint())) {
        const QPoint global = event->globalPosition().toPoint();
        if (completesOpeningGesture(global)) {
            event->accept();
            return;
        }
        m_outsidePress = global;
        m_outsidePressClock.start();
    }
    QWidget::mousePressEvent(event); // a press outside a popup closes it
}

void TrayPopoverWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    Q_EMIT hidden();
}

void TrayPopoverWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
}
