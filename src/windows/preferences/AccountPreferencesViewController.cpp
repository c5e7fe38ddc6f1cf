#include "windows/preferences/AccountPreferencesViewController.h"

#include "app/widgets/ImageUtils.h"
#include "app/widgets/ViewTags.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "ui_AccountPreferencesView.h"
#include "windows/preferences/PaneLayout.h"
#include "windows/preferences/PreferenceTexts.h"
#include "windows/preferences/PreferencesPane.h"
#include "windows/preferences/PreferencesServices.h"

#include <QBitmap>
#include <QEvent>
#include <QFile>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QSvgRenderer>

namespace {
// The bar images are three-part images: 10-point caps drawn at their own size at both ends and
// only the middle stretched, so the rounded ends look the same at every width. Rendered at the
// screen's pixel density.
QImage renderBar(const QString &resource, const QSize &size, qreal dpr)
{
    QSvgRenderer renderer(resource);
    if (!renderer.isValid() || size.isEmpty())
        return QImage();
    const QSize natural = renderer.defaultSize() * dpr;
    QImage source(natural, QImage::Format_ARGB32_Premultiplied);
    source.fill(Qt::transparent);
    {
        QPainter painter(&source);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(natural)));
    }
    const qreal cap = 10 * dpr;
    return NSThreePartImage::threePartImageWithImage(source, cap, cap).renderAtSize(QSizeF(size) * dpr);
}

// Images that failed to load, or have no pixels, count as absent.
QImage validImageAt(const QString &path)
{
    if (path.isEmpty() || !QFile::exists(path))
        return QImage();
    QImage image(path);
    if (image.isNull() || image.width() < 1 || image.height() < 1)
        return QImage();
    return image;
}

// Drawn with the screen's pixels (dpr device pixels per point), so the avatar stays sharp on a
// HiDPI screen.
QPixmap circular(const QImage &image, int diameter, qreal dpr)
{
    const QImage square = NSImageUtils::imageResizedToSquareOfSize(image, diameter, dpr);
    QImage out(square.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    out.setDevicePixelRatio(dpr);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addEllipse(QRectF(0, 0, diameter, diameter));
    painter.setClipPath(clip);
    painter.drawImage(QPointF(0, 0), square);
    painter.setClipping(false);
    painter.setPen(QPen(QColor(0, 0, 0, 64), 1.0));
    painter.drawEllipse(QRectF(0.5, 0.5, diameter - 1, diameter - 1));
    painter.end();
    return QPixmap::fromImage(out);
}

// Aspect-filled to the size and cut to it, at the screen's pixels.
QPixmap coverFilling(const QImage &image, const QSize &size, qreal dpr)
{
    const QImage filled = NSImageUtils::imageResizedToAspectFillSize(image, QSizeF(size), dpr);
    const QSize pixels = (QSizeF(size) * dpr).toSize();
    QImage cut = filled.copy(QRect(QPoint((filled.width() - pixels.width()) / 2, (filled.height() - pixels.height()) / 2), pixels));
    cut.setDevicePixelRatio(dpr);
    return QPixmap::fromImage(cut);
}
} // namespace

AccountPreferencesViewController::AccountPreferencesViewController(QWidget *parent)
    : QWidget(parent), m_ui(new Ui::AccountPreferencesView)
{
    ensurePreferencesResources();
    m_ui->setupUi(this);
    awakeFromNib();
}

AccountPreferencesViewController::~AccountPreferencesViewController()
{
    QObject::disconnect(m_countObserver);
    delete m_ui;
}

QIcon AccountPreferencesViewController::toolbarItemImage() const
{
    return QIcon(QStringLiteral(":/images/preferences/PrefPaneAccount.svg"));
}

QString AccountPreferencesViewController::toolbarItemLabel() const
{
    return PreferenceTexts::tr(QStringLiteral("Account"));
}

QString AccountPreferencesViewController::signedInName()
{
    PreferencesServices &services = PreferencesServices::instance();
    const QString fullName = services.currentUserFullName();
    return fullName.isEmpty() ? services.currentUserName() : fullName;
}

void AccountPreferencesViewController::awakeFromNib()
{
    const QString name = signedInName();
    m_name = name;
    if (!name.isEmpty()) {
        m_ui->accountNameTextField2->setText(
            PreferenceTexts::tr(QStringLiteral("Now you know how to greet people in %1!")).arg(QStringLiteral("Hindi")));
        // The whole name, wherever the greeting had to shorten it.
        m_ui->accountNameTextField->setToolTip(name);
    } else {
        m_ui->accountNameTextField->setText(PreferenceTexts::tr(QStringLiteral("Not logged in")));
        m_ui->accountNameTextField2->setText(PreferenceTexts::tr(QStringLiteral("Please sign in with the welcome screen")));
    }
    m_ui->avatarImageView->setHidden(name.isEmpty());
    m_ui->coverPhotoImageView->setHidden(name.isEmpty());
    m_ui->coverPhotoImageView->setAlignment(Qt::AlignCenter);
    m_ui->avatarImageView->installEventFilter(this);
    m_ui->avatarImageView->setCursor(Qt::PointingHandCursor);

    // The design widths are the least each button gets; a translation widens both by 60 points
    // and puts Log out after the wider Camera Roll button (the row is then centred again).
    for (QPushButton *button : {m_ui->viewPhotoStreamButton, m_ui->logOutButton})
        button->setMinimumWidth(button->width());
    if (PreferenceTexts::isLocalized()) {
        m_ui->viewPhotoStreamButton->setText(PreferenceTexts::tr(QStringLiteral("Go to my Camera Roll")));
        m_ui->logOutButton->setText(PreferenceTexts::tr(QStringLiteral("Log out")));
        m_ui->viewPhotoStreamButton->setMinimumWidth(m_ui->viewPhotoStreamButton->width() + 60);
        m_ui->logOutButton->setMinimumWidth(m_ui->logOutButton->width() + 60);
    }
    if (auto *logOut = findViewWithTag<QPushButton>(this, 7001))
        logOut->setStyleSheet(QStringLiteral("color: rgb(252, 46, 74);"));
    if (auto *web = findViewWithTag<QPushButton>(this, 7000))
        web->setStyleSheet(QStringLiteral("color: rgb(88, 88, 88);"));

    connect(m_ui->viewPhotoStreamButton, &QPushButton::clicked, this, &AccountPreferencesViewController::openWebsiteButtonHit);
    connect(m_ui->logOutButton, &QPushButton::clicked, this, &AccountPreferencesViewController::logoffButtonHit);
    layoutForWidth();
}

void AccountPreferencesViewController::showGreeting()
{
    if (m_name.isEmpty())
        return;
    // A long name is shortened with an ellipsis inside the greeting, which stays centred and
    // whole ("Namaste, Name…!") rather than being cut at both ends.
    QLabel *label = m_ui->accountNameTextField;
    const QFontMetrics metrics(label->font());
    const QString prefix = QStringLiteral("Namaste, ");
    const QString suffix = QStringLiteral("!");
    const int room = label->contentsRect().width();
    const QString ellipsis = QStringLiteral("\u2026");
    QString shown = metrics.elidedText(m_name, Qt::ElideRight, qMax(0, room - metrics.horizontalAdvance(prefix + suffix)));
    if (shown != m_name) {
        // Cut between words: the ellipsis follows the last letter, not a blank.
        shown.chop(shown.endsWith(ellipsis) ? ellipsis.size() : 0);
        shown = shown.trimmed() + ellipsis;
    }
    label->setText(prefix + shown + suffix);
}

void AccountPreferencesViewController::layoutForWidth()
{
    const int width = this->width();
    QLabel *cover = m_ui->coverPhotoImageView;
    cover->setGeometry(0, cover->y(), width, cover->height());
    PaneLayout::centre(m_ui->avatarImageView, width);
    for (QLabel *label : {m_ui->accountNameTextField, m_ui->accountNameTextField2, m_ui->accountSpaceTextField})
        PaneLayout::span(label, width);
    PaneLayout::centre(m_ui->spaceUsedImageView, width);
    PaneLayout::centreRow({m_ui->viewPhotoStreamButton, m_ui->logOutButton}, width);
    showGreeting();
}

int AccountPreferencesViewController::neededContentWidth()
{
    // The greeting shortens the name; every other text must fit whole. The space line is
    // measured with large numbers, as it changes while the pane is shown.
    const QString widestSpaceLine = spaceLine(QStringLiteral("x"), 8888888, 8888LL * 1024 * 1024 * 1024);
    int widest = QFontMetrics(m_ui->accountSpaceTextField->font()).horizontalAdvance(widestSpaceLine);
    if (m_name.isEmpty())
        widest = qMax(widest, m_ui->accountNameTextField->sizeHint().width());
    widest = qMax(widest, m_ui->accountNameTextField2->sizeHint().width());
    widest = qMax(widest, m_ui->spaceUsedImageView->width());
    widest = qMax(widest, PaneLayout::rowWidth({m_ui->viewPhotoStreamButton, m_ui->logOutButton}));
    return widest + 2 * PaneLayout::kMargin;
}

void AccountPreferencesViewController::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutForWidth();
}

QString AccountPreferencesViewController::spaceLine(const QString &name, int photoCount, qint64 bytesUsed)
{
    if (name.isEmpty())
        return QString();
    const float gbUsed = float(double(bytesUsed) / 1024.0 / 1024.0 / 1024.0);
    if (PreferenceTexts::isLocalized()) {
        return PreferenceTexts::tr(QStringLiteral("%d photo(s), %0.2f GB used of unlimited!"))
            .replace(QStringLiteral("%d"), QString::number(photoCount))
            .replace(QStringLiteral("%0.2f"), QString::number(gbUsed, 'f', 2));
    }
    return QStringLiteral("%1 photo%2, %3 GB used of unlimited!")
        .arg(photoCount)
        .arg(photoCount == 1 ? QString() : QStringLiteral("s"))
        .arg(QString::number(gbUsed, 'f', 2));
}

int AccountPreferencesViewController::spaceBarFillWidth(int width, qint64 bytesUsed)
{
    const float gbUsed = float(double(bytesUsed) / 1024.0 / 1024.0 / 1024.0);
    const double fraction = qMin(1.0, double(gbUsed) / 1000.0);
    if (!(fraction > 0))
        return 0;
    return int(std::lround(width * qMax(fraction, 0.005)));
}

void AccountPreferencesViewController::updateStats()
{
    PreferencesServices &services = PreferencesServices::instance();
    const QString name = signedInName();
    const qint64 bytes = services.storageUsed();
    m_ui->accountSpaceTextField->setText(spaceLine(name, services.photoCount(), bytes));

    QLabel *bar = m_ui->spaceUsedImageView;
    const int w = bar->width();
    const int h = bar->height();
    if (w <= 0 || h <= 0)
        return;
    const qreal dpr = bar->devicePixelRatioF();
    const int fill = spaceBarFillWidth(w, bytes);
    const QImage full = renderBar(QStringLiteral(":/images/preferences/SpaceProgressBarFull.svg"), QSize(w, h), dpr);
    const QImage empty = renderBar(QStringLiteral(":/images/preferences/SpaceProgressBarEmpty.svg"), QSize(w, h), dpr);
    QImage out(QSize(w, h) * dpr, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    {
        QPainter painter(&out);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        const int fillPixels = int(std::lround(fill * dpr));
        if (fillPixels > 0 && !full.isNull())
            painter.drawImage(QRect(0, 0, fillPixels, out.height()), full, QRect(0, 0, fillPixels, out.height()));
        const int rest = out.width() - fillPixels;
        if (rest > 0 && !empty.isNull())
            painter.drawImage(QRect(fillPixels, 0, rest, out.height()), empty, QRect(fillPixels, 0, rest, out.height()));
    }
    out.setDevicePixelRatio(dpr);
    bar->setPixmap(QPixmap::fromImage(out));
    bar->setProperty("fillWidth", fill);
}

void AccountPreferencesViewController::updateStatsAsync()
{
    QPointer<AccountPreferencesViewController> self(this);
    dispatch_main_async([self] {
        if (self)
            self->updateStats();
    });
}

void AccountPreferencesViewController::viewWillAppear()
{
    updateStats();
    PreferencesServices &services = PreferencesServices::instance();
    QLabel *avatar = m_ui->avatarImageView;
    if (avatar->pixmap().isNull()) {
        const QImage image = validImageAt(services.userImageFilePath());
        if (!image.isNull())
            avatar->setPixmap(circular(image, qMax(1, qMin(avatar->width(), avatar->height())), avatar->devicePixelRatioF()));
    }
    QLabel *cover = m_ui->coverPhotoImageView;
    if (cover->pixmap().isNull()) {
        const QImage image = validImageAt(services.userCoverImageFilePath());
        // The cover spans the pane, which may be wider than it was laid out yet.
        if (!image.isNull())
            cover->setPixmap(coverFilling(image, QSize(width(), cover->height()), cover->devicePixelRatioF()));
    }
    QObject::disconnect(m_countObserver);
    // Posted from the uploader's thread; the handler only queues work for the main thread.
    m_countObserver = NotificationCenter::observe(Notifications::PhotoUploadedCountChanged, this,
                                                  [this](const QVariant &) { updateStatsAsync(); });
}

void AccountPreferencesViewController::viewDidDisappear()
{
    QObject::disconnect(m_countObserver);
}

void AccountPreferencesViewController::logoffButtonHit()
{
    PreferencesServices::instance().logoutAfterConfirming();
}

void AccountPreferencesViewController::openWebsiteButtonHit()
{
    PreferencesPane::openCameraRoll();
}

void AccountPreferencesViewController::performLogOutAndDELETEEVERYTHING()
{
    PreferencesServices::instance().fullReset();
}

void AccountPreferencesViewController::blackAndWhiteIconHit()
{
    const bool value = !Settings::boolForKey(QStringLiteral("TrayIconBW"));
    Settings::setBool(value, QStringLiteral("TrayIconBW"));
    PreferencesServices &services = PreferencesServices::instance();
    services.updateStatusIcon();
    services.reporterSet(QStringLiteral("Prefs: Icon BW"), int(value));
}

QMenu *AccountPreferencesViewController::buildAvatarMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    QPointer<AccountPreferencesViewController> self(this);
    menu->addAction(PreferenceTexts::tr(QStringLiteral("Log out")), menu, [self] {
        if (self)
            self->logoffButtonHit();
    });
    return menu;
}

void AccountPreferencesViewController::avatarImageViewHit()
{
    QPointer<AccountPreferencesViewController> self(this);
    dispatch_main_async([self] {
        if (!self)
            return;
        PreferencesServices::instance().reporterIncrement(QStringLiteral("Prefs: Avatar hit"));
        LGLogInfo(QStringLiteral("Avatar hit"));
        QWidget *anchor = self->m_ui->avatarImageView;
        QMenu *menu = self->buildAvatarMenu(self);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(anchor->mapToGlobal(QPoint(2, anchor->height() + 10)));
    });
}

bool AccountPreferencesViewController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_ui->avatarImageView && event->type() == QEvent::MouseButtonRelease) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton && m_ui->avatarImageView->rect().contains(mouse->position().toPoint())) {
            avatarImageViewHit();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
