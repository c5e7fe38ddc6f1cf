#include "app/menubar/TrayMenuController.h"

#include "app/menubar/RecentUploadsGrid.h"
#include "app/menubar/TrayPopoverServices.h"
#include "app/menubar/TrayPopoverView.h"
#include "app/widgets/ImageUtils.h"
#include "app/widgets/Localized.h"
#include "app/widgets/ModalUi.h"
#include "app/widgets/SmallViews.h"
#include "app/widgets/TextUtils.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "platform/Endpoints.h"

#include <QCursor>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cmath>

static double g_expandDelaySeconds = 0.3;

namespace {

// The main area's thin outline, drawn over its background.
class OutlineOverlay : public QWidget
{
public:
    explicit OutlineOverlay(QWidget *parent)
        : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents, true);
        parent->installEventFilter(this);
        resize(parent->size());
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == parentWidget() && event->type() == QEvent::Resize)
            resize(parentWidget()->size());
        return false;
    }
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const qreal px = 1.0 / devicePixelRatioF(); // one device pixel
        painter.setPen(QPen(QColor(0, 0, 0, 51), px));
        painter.drawRect(QRectF(rect()).adjusted(px / 2, px / 2, -px / 2, -px / 2));
    }
};

QIcon trayIcon(const QString &normal, const QString &highlighted = {})
{
    QIcon icon(QStringLiteral(":/widgets/%1.svg").arg(normal));
    if (!highlighted.isEmpty()) {
        const QIcon high(QStringLiteral(":/widgets/%1.svg").arg(highlighted));
        for (const QSize &size : {QSize(20, 20), QSize(40, 40)})
            icon.addPixmap(high.pixmap(size), QIcon::Active);
    }
    return icon;
}

// WCAG contrast ratio of a colour against white.
double contrastOnWhite(const QColor &colour)
{
    auto channel = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    const QColor rgb = colour.toRgb();
    const double luminance =
        0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) + 0.0722 * channel(rgb.blueF());
    return 1.05 / (luminance + 0.05);
}

// The desktop's link colour. The popover stays white in a dark scheme too, where the palette's
// link is made for a dark ground: such a link is darkened, keeping its hue, until it reads on white.
QColor linkColorOnWhite(const QPalette &palette)
{
    QColor link = palette.color(QPalette::Link);
    for (int i = 0; i < 30 && contrastOnWhite(link) < 4.5; ++i)
        link = link.darker(110);
    return link;
}

// The grid's caption and its link share one line. Each gets the room it needs where both fit;
// otherwise the link gets at most half (more when the caption is short), and whatever is still
// too long is cut with "…" and shown whole in its tool tip.
void fitCaptionAndLink(TrayMenuView *view, const QString &caption, const QString &link)
{
    QLabel *captionField = view->recentUploadsTextField();
    NSTextFieldClickable *linkField = view->recentUploadsLinkField();
    const int left = captionField->x();
    const int right = linkField->geometry().right();
    const int gap = 8;
    const int room = right - left + 1 - gap;
    const int captionNeeds = captionField->fontMetrics().horizontalAdvance(caption) + 2;
    const int linkNeeds = linkField->fontMetrics().horizontalAdvance(link) + 2;
    const int linkWidth = std::min(linkNeeds, std::max(room - captionNeeds, room / 2));
    const int captionWidth = room - linkWidth;
    captionField->setGeometry(left, captionField->y(), captionWidth, captionField->height());
    linkField->setGeometry(right + 1 - linkWidth, linkField->y(), linkWidth, linkField->height());

    const QString shownCaption = captionField->fontMetrics().elidedText(caption, Qt::ElideRight, captionWidth - 2);
    captionField->setText(shownCaption);
    captionField->setToolTip(shownCaption == caption ? QString() : caption);
    const QString shownLink = linkField->fontMetrics().elidedText(link, Qt::ElideRight, linkWidth - 2);
    NSControlUtils::setAttributedStringValue(
        linkField, NSAttributedStringUtils::hyperlinkFromString(shownLink, QUrl(), linkColorOnWhite(QGuiApplication::palette()), false));
    linkField->setToolTip(shownLink == link ? QString() : link);
}

void fitRecentUploadsCaption(TrayMenuView *view)
{
    fitCaptionAndLink(view, localized(QStringLiteral("Recent Uploads")), localized(QStringLiteral("View in Camera Roll")));
}

void setVisibleIfDifferent(QWidget *view, bool visible)
{
    if (view && view->isVisibleTo(view->parentWidget()) != visible)
        view->setVisible(visible);
}

} // namespace

void TrayMenuController::setExpandDelayForTesting(double seconds)
{
    g_expandDelaySeconds = seconds;
}

TrayMenuController::TrayMenuController(QObject *parent)
    : QObject(parent)
{
}

TrayMenuController::~TrayMenuController()
{
    for (const auto &connection : std::as_const(m_observers))
        QObject::disconnect(connection);
    m_observers.clear();
    delete m_window.data();
}

TrayMenuView *TrayMenuController::trayMenuView() const
{
    return m_view;
}

QWidget *TrayMenuController::popoverWindow() const
{
    return m_window;
}

bool TrayMenuController::isShown() const
{
    return m_window && m_window->isVisible();
}

void TrayMenuController::ensureView()
{
    if (m_window)
        return;
    m_window = new TrayPopoverWindow;
    m_view = new TrayMenuView(m_window);
    m_view->setPopover(m_window);
    m_window->resize(m_view->size());
    connect(m_window, &TrayPopoverWindow::hidden, this, &TrayMenuController::handleWindowHidden);
    viewDidLoad();
}

void TrayMenuController::viewDidLoad()
{
    if (m_loaded || !m_view)
        return;
    m_loaded = true;
    TrayMenuView *view = m_view;
    view->mainView()->setBackgroundColor(Qt::white);
    new OutlineOverlay(view->mainView());
    view->statusProgressBarView()->setBackgroundColor(NSColorUtils::colorWith255BasedRed(0, 186, 236));

    view->statusConfigButton()->setIcon(trayIcon(QStringLiteral("TrayConfig")));
    view->statusConfigButton()->setIconSize(QSize(20, 20));
    view->statusPlayPauseButton()->setIconSize(QSize(20, 20));

    for (QLabel *field : {static_cast<QLabel *>(view->statusTextField()), static_cast<QLabel *>(view->statusTextFieldNoIcon()),
                          view->uploadQueueTextField(), view->recentUploadsTextField(),
                          static_cast<QLabel *>(view->uploadQueueStatusField())}) {
        QPalette palette = field->palette();
        palette.setColor(QPalette::WindowText, Qt::black);
        field->setPalette(palette);
    }
    // Pixel sizes, so the texts fit their boxes at any screen density.
    auto setPixelFont = [](QWidget *field, int pixels, bool bold) {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(pixels);
        font.setBold(bold);
        field->setFont(font);
    };
    setPixelFont(view->statusTextField(), 13, false);
    setPixelFont(view->statusTextFieldNoIcon(), 13, false);
    setPixelFont(view->uploadQueueTextField(), 13, false);
    setPixelFont(view->uploadQueueStatusField(), 13, false);
    setPixelFont(view->recentUploadsTextField(), 13, true);
    setPixelFont(view->recentUploadsLinkField(), 12, false);
    QFont nameFont = view->userNameTextField()->font();
    nameFont.setPixelSize(17);
    nameFont.setBold(true);
    view->userNameTextField()->setFont(nameFont);
    QPalette namePalette = view->userNameTextField()->palette();
    namePalette.setColor(QPalette::WindowText, Qt::white);
    view->userNameTextField()->setPalette(namePalette);
    view->coverPhotoImageView()->setStyleSheet(QStringLiteral("background-color: #3a4754;"));

    fitRecentUploadsCaption(view);
    view->recentUploadsLinkField()->setUseHandCursor(true);
    view->recentUploadsLinkField()->resetCursorRects();
    view->uploadQueueStatusField()->setUseHandCursor(true);
    view->userNameTextField()->setUseHandCursor(true);
    for (NSTextFieldClickable *field : {view->userNameTextField(), view->statusTextField(), view->statusTextFieldNoIcon(),
                                        view->uploadQueueStatusField()})
        field->setElideMode(Qt::ElideRight);
    // The short status can join two notes (a folder away and what else is not uploaded): a
    // second line keeps the second note in sight where one line would cut it.
    view->statusTextField()->setMaximumLineCount(2);
    view->statusTextFieldNoIcon()->setMaximumLineCount(2);

    connect(view->avatarButtonView(), &QPushButton::clicked, this, [this] { avatarButtonHit(m_view->avatarButtonView()); });
    connect(view->statusPlayPauseButton(), &QPushButton::clicked, this,
            [this] { statusPlayPauseButtonHit(m_view->statusPlayPauseButton()); });
    connect(view->statusConfigButton(), &QPushButton::clicked, this,
            [this] { statusConfigButtonHit(m_view->statusConfigButton()); });
    connect(view->recentUploadsLinkField(), &NSTextFieldClickable::clicked, this, &TrayMenuController::viewOnWebHit);
    connect(view->uploadQueueStatusField(), &NSTextFieldClickable::clicked, this,
            &TrayMenuController::uploadQueueStatusHit);
    connect(view->userNameTextField(), &NSTextFieldClickable::clicked, this, &TrayMenuController::openPhotostreamHit);
}

void TrayMenuController::showRelativeTo(const QRect &iconGeometry)
{
    ensureView();
    if (isShown())
        return;
    QRect icon = iconGeometry;
    if (icon.isEmpty())
        icon = QRect(QCursor::pos(), QSize(1, 1)); // the desktop did not say where the icon is
    const QRect iconArea = icon.adjusted(-2, -2, 2, 2);
    // The click on the tray icon that closed the popover must not open it again at once.
    if (m_window->closedByPressIn(iconArea)) {
        Q_EMIT shownChanged(false); // the owner may have marked its icon active already
        return;
    }

    viewWillAppear();

    QScreen *screen = QGuiApplication::screenAt(icon.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    const QRect full = screen ? screen->geometry() : available;
    const bool panelAtBottom = icon.center().y() > full.center().y();
    const int width = m_window->width();
    int x = icon.center().x() - width / 2;
    x = std::clamp(x, available.left(), std::max(available.left(), available.right() + 1 - width));
    if (panelAtBottom)
        m_window->setAnchor(x, std::min(icon.top(), available.bottom() + 1) - 2, true);
    else
        m_window->setAnchor(x, std::max(icon.bottom() + 1, available.top()) + 2, false);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    m_window->openedFrom(iconArea);
    Q_EMIT shownChanged(true);
}

void TrayMenuController::close()
{
    if (m_window && m_window->isVisible())
        m_window->hide();
}

void TrayMenuController::handleWindowHidden()
{
    if (!m_popoverVisible)
        return;
    viewWillDisappear();
    Q_EMIT shownChanged(false);
}

void TrayMenuController::viewWillAppear()
{
    ensureView();
    m_popoverVisible = true;
    LGLogInfo(QStringLiteral("Tray menu appearing"));

    m_filesToUpload = -1;
    pausedStateUpdated();
    updateStatusText();
    updateFilesToUpload();
    updateStatusText();
    updateUserInfo();
    fitRecentUploadsCaption(m_view); // the desktop may have turned light or dark since the last opening

    for (const auto &connection : std::as_const(m_observers))
        QObject::disconnect(connection);
    m_observers.clear();
    m_observers << NotificationCenter::observe(Notifications::PausedStateChanged, this,
                                               [this](const QVariant &) { pausedStateUpdated(); });
    m_observers << NotificationCenter::observe(Notifications::StatusUpdated, this,
                                               [this](const QVariant &) { updateStatusText(); });
    m_observers << NotificationCenter::observe(Notifications::RecentlyUploadedChanged, this,
                                               [this](const QVariant &) { updateRecentlyUploadedAnimated(); });

    updateContentsAnimated(false);

    if (!m_expandScheduled) {
        m_expandScheduled = true;
        QTimer::singleShot(int(g_expandDelaySeconds * 1000), this, [this] {
            m_allowExpand = true;
            if (m_window && m_window->isVisible() && m_popoverVisible)
                updateHeightAnimated(true);
        });
    }

    // The profile header moves into the window itself, pinned to the top, so it stays put while
    // the view below it changes height.
    QWidget *profile = m_view->profileView();
    if (profile->parentWidget() != m_window) {
        const QRect frame(profile->mapTo(m_window, QPoint(0, 0)), profile->size());
        profile->setParent(m_window);
        profile->setGeometry(frame);
        profile->show();
        profile->raise();
    }
}

void TrayMenuController::viewWillDisappear()
{
    m_popoverVisible = false;
    for (const auto &connection : std::as_const(m_observers))
        QObject::disconnect(connection);
    m_observers.clear();
    if (!m_view)
        return;
    // Nothing on a hidden popover may keep waking the process: the icon stops turning (and is
    // forgotten, so the next opening sets and starts it again) and running animations end now.
    TrayStatusIconView *icon = m_view->statusIconView();
    icon->setSpinning(false);
    icon->setImageName(QString());
    m_view->finishHeightAnimation();
    m_view->recentUploadsImagesContainer()->finishAnimation();
}

void TrayMenuController::pausedStateUpdated()
{
    if (!m_view)
        return;
    TrayPopoverServices &services = TrayPopoverServices::instance();
    const bool paused = services.paused() || services.pausedDueToError();
    QPushButton *button = m_view->statusPlayPauseButton();
    const QString image = paused ? QStringLiteral("TrayPlay") : QStringLiteral("TrayPause");
    if (button->property("imageName").toString() != image) {
        button->setIcon(trayIcon(image, image + QLatin1Char('H')));
        button->setProperty("imageName", image);
    }
    button->setToolTip(localized(paused ? QStringLiteral("Resume uploading") : QStringLiteral("Pause uploading")));
}

void TrayMenuController::updateFilesToUpload()
{
    if (!m_view)
        return;
    const int count = TrayPopoverServices::instance().filesToUpload();
    if (count == m_filesToUpload)
        return;
    m_filesToUpload = count;
    m_view->uploadQueueStatusField()->setStringValue(localized(QStringLiteral("%d to go")).replace(QStringLiteral("%d"), QLocale().toString(count))); // grouped as the status line writes it
}

void TrayMenuController::updateUserInfo()
{
    if (!m_view)
        return;
    TrayPopoverServices &services = TrayPopoverServices::instance();
    QString name = services.currentUserFullName();
    if (name.isEmpty())
        name = services.currentUserName();
    if (name.isEmpty())
        name = localized(QStringLiteral("Not logged in"));
    m_view->userNameTextField()->setStringValue(name);

    // Images already shown stay while valid.
    auto readImage = [](const QString &path) {
        return path.isEmpty() ? QImage() : NSImageUtils::nilIfNotValid(QImage(path));
    };
    if (!NSImageUtils::isValid(m_view->avatarImageView()->image()))
        m_view->avatarImageView()->setImage(readImage(services.userImageFilePath()));
    QLabel *cover = m_view->coverPhotoImageView();
    if (!NSImageUtils::isValid(cover->pixmap().toImage())) {
        const QImage image = readImage(services.userCoverImageFilePath());
        cover->setPixmap(image.isNull() ? QPixmap()
                                        : QPixmap::fromImage(NSImageUtils::imageResizedToAspectFillSize(
                                            image, QSizeF(cover->size()), cover->devicePixelRatioF())));
    }
}

void TrayMenuController::updateStatusText()
{
    updateFilesToUpload();
    if (!m_view)
        return;
    TrayPopoverServices &services = TrayPopoverServices::instance();
    const QString text = services.statusLineShort();
    const bool complete = services.statusIsComplete();
    const bool running = services.statusIsRunning();
    const bool scanning = services.statusIsScanning();
    TrayStatusIconView *icon = m_view->statusIconView();
    if (!complete && !running && !scanning) {
        setVisibleIfDifferent(m_view->statusTextField(), false);
        if (!icon->isHidden() || !icon->imageName().isEmpty()) {
            icon->setSpinning(false);
            icon->setImageName(QString());
            icon->hide();
        }
        setVisibleIfDifferent(m_view->statusProgressBarView(), false);
        setVisibleIfDifferent(m_view->statusTextFieldNoIcon(), true);
        m_view->statusTextFieldNoIcon()->setStringValue(text);
        return;
    }
    setVisibleIfDifferent(m_view->statusTextField(), true);
    setVisibleIfDifferent(icon, true);
    setVisibleIfDifferent(m_view->statusTextFieldNoIcon(), false);

    QWidget *bar = m_view->statusProgressBarView();
    const double percent = std::clamp(services.statusPercent(), 0.0, 1.0);
    const QRect frame(bar->pos(), QSize(int(std::lround(percent * m_view->width())), bar->height()));
    if (bar->geometry() != frame)
        bar->setGeometry(frame);
    bar->show();

    const QString image = complete ? QStringLiteral("TrayComplete")
                                   : (running ? QStringLiteral("TraySyncing") : QStringLiteral("TrayScanning"));
    if (icon->imageName() != image) {
        icon->setImageName(image);
        icon->setSpinning(running || scanning);
    }
    m_view->statusTextField()->setStringValue(text);
}

void TrayMenuController::updateRecentlyUploadedAnimated()
{
    QPointer<TrayMenuController> self(this);
    dispatch_main_async([self] {
        if (self && self->m_popoverVisible)
            self->updateContentsAnimated(true);
    });
}

void TrayMenuController::updateContentsAnimated(bool animated)
{
    if (!m_view)
        return;
    QStringList recent = TrayPopoverServices::instance().recentUploads();
    while (recent.size() > 10)
        recent.removeLast();
    m_contents = recent;
    m_view->recentUploadsImagesContainer()->setContents(m_contents, animated);
    updateHeightAnimated(animated);
}

void TrayMenuController::updateHeightAnimated(bool animated)
{
    if (!m_view)
        return;
    const int rows = m_allowExpand ? int((m_contents.size() + 4) / 5) : 0;
    m_view->setRecentUploadRowsVisible(rows, animated);
}

void TrayMenuController::popUpMenu(QMenu *menu, QWidget *sender, double yOffset)
{
    if (!menu)
        return;
    m_lastMenu = menu;
    const QPoint at = sender ? sender->mapToGlobal(QPoint(2, int(sender->height() + yOffset))) : QCursor::pos();
    menu->popup(at);
}

void TrayMenuController::avatarButtonHit(QWidget *sender)
{
    TrayPopoverServices &services = TrayPopoverServices::instance();
    if (!services.isAuthorized())
        return;
    services.increment(QStringLiteral("Tray: Avatar hit"));
    services.reporterSet(QStringLiteral("Misc: Last interaction"), QDateTime::currentDateTime());
    auto *menu = new QMenu(m_window);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(localized(QStringLiteral("Camera Roll")), this, &TrayMenuController::openCameraRollHit);
    menu->addAction(localized(QStringLiteral("Albums")), this, &TrayMenuController::openAlbumsHit);
    popUpMenu(menu, sender, 10.0);
}

void TrayMenuController::openWebPath(const QString &path, const QString &event, bool trackAndIncrement)
{
    TrayPopoverServices &services = TrayPopoverServices::instance();
    QUrl url = Endpoints::webBase(services.alphaOrWWW());
    QString base = url.path();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    url.setPath(base + path, QUrl::StrictMode);
    UrlOpeners::open(url);
    if (trackAndIncrement)
        services.trackAndIncrement(event, 1);
    else
        services.increment(event);
}

static QString accountPath(const QString &format)
{
    const QString id = QString::fromLatin1(QUrl::toPercentEncoding(TrayPopoverServices::instance().currentUserID()));
    return QString(format).replace(QStringLiteral("%@"), id);
}

void TrayMenuController::openCameraRollHit()
{
    openWebPath(QStringLiteral("/cameraroll"), QStringLiteral("Tray: Open photostream"), true);
}

void TrayMenuController::openPhotostreamHit()
{
    openWebPath(accountPath(QStringLiteral("/photos/%@")), QStringLiteral("Tray: Open photostream"), true);
}

void TrayMenuController::openAlbumsHit()
{
    openWebPath(accountPath(QStringLiteral("/photos/%@/sets")), QStringLiteral("Tray: Open albums"), true);
}

void TrayMenuController::openMapHit()
{
    openWebPath(accountPath(QStringLiteral("/photos/%@/map")), QStringLiteral("Tray: Open map"), true);
}

void TrayMenuController::openRecentActivityHit()
{
    openWebPath(QStringLiteral("/activity"), QStringLiteral("Tray: Open recent activity"), false);
}

void TrayMenuController::recentUploadsHit()
{
    openWebPath(accountPath(QStringLiteral("/photos/%@")), QStringLiteral("Tray: Open recent uploads"), false);
}

void TrayMenuController::statusPlayPauseButtonHit(QWidget *sender)
{
    TrayPopoverServices &services = TrayPopoverServices::instance();
    if (services.paused()) {
        services.resumeSync();
        return;
    }
    if (services.pausedDueToError()) {
        services.refreshManually();
        return;
    }
    auto *menu = new QMenu(m_window);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // The commands run on the menu-bar controller, which outlives the popover. What the status
    // offers to try again (files that failed, folders that could not be read) comes first.
    if (services.statusRetryOffered()) {
        menu->addAction(localized(QStringLiteral("Try again")), [] { TrayPopoverServices::instance().refreshManually(); });
        menu->addSeparator();
    }
    menu->addAction(localized(QStringLiteral("For 1 hour")), [] { TrayPopoverServices::instance().pauseSync1h(); });
    menu->addAction(localized(QStringLiteral("For 8 hours")), [] { TrayPopoverServices::instance().pauseSync8h(); });
    menu->addAction(localized(QStringLiteral("For 24 hours")), [] { TrayPopoverServices::instance().pauseSync24h(); });
    menu->addAction(localized(QStringLiteral("For 1 week")), [] { TrayPopoverServices::instance().pauseSync1wk(); });
    menu->addAction(localized(QStringLiteral("Until I resume")), [] { TrayPopoverServices::instance().pauseSync100yrs(); });
    popUpMenu(menu, sender, 6.0);
}

void TrayMenuController::statusConfigButtonHit(QWidget *sender)
{
    TrayPopoverServices &services = TrayPopoverServices::instance();
    services.trackAndIncrement(QStringLiteral("Tray: Config hit"), 1);
    services.reporterSet(QStringLiteral("Misc: Last interaction"), QDateTime::currentDateTime());
    popUpMenu(services.statusBarMenu(), sender, 6.0);
}
