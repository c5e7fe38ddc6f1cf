#include "app/menubar/RecentUploadsGrid.h"

#include "app/menubar/TrayPopoverServices.h"
#include "app/widgets/ModalUi.h"
#include "platform/Endpoints.h"

#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QSet>

static constexpr int kAnimationMs = 200;

// Adds to `group` a move of the target's property to `end` over the grid's animation time.
static void addPropertyAnimation(QParallelAnimationGroup *group, QObject *target, const char *property,
                                 const QVariant &end)
{
    auto *animation = new QPropertyAnimation(target, property, group);
    animation->setDuration(kAnimationMs);
    animation->setEndValue(end);
    group->addAnimation(animation);
}

TrayMenuPhotoContainerButton::TrayMenuPhotoContainerButton(QWidget *parent)
    : NSButtonWithHandCursor(parent)
{
    setFlat(true);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(TrayMenuPhotoContainer::kCellSize, TrayMenuPhotoContainer::kCellSize);
}

void TrayMenuPhotoContainerButton::setAlphaValue(double alpha)
{
    if (m_alpha == alpha)
        return;
    m_alpha = alpha;
    update();
}

void TrayMenuPhotoContainerButton::paintEvent(QPaintEvent *)
{
    // The thumbnail is the whole button: no bezel, no focus ring.
    QPainter painter(this);
    painter.setOpacity(m_alpha);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    const QPixmap pixmap = icon().pixmap(size(), devicePixelRatioF(), isDown() ? QIcon::Active : QIcon::Normal);
    painter.drawPixmap(rect(), pixmap);
}

TrayMenuPhotoContainer::TrayMenuPhotoContainer(QWidget *parent)
    : QWidget(parent)
{
}

QPoint TrayMenuPhotoContainer::originForIndex(int index)
{
    const int row = index / kColumns;
    const int column = index - kColumns * row;
    return QPoint(column * kCellPitch, row * kCellPitch);
}

TrayMenuPhotoContainerButton *TrayMenuPhotoContainer::cellForPath(const QString &path) const
{
    return m_visibleCells.value(path, nullptr);
}

bool TrayMenuPhotoContainer::isAnimating() const
{
    return m_animation && m_animation->state() == QAbstractAnimation::Running;
}

bool TrayMenuPhotoContainer::loadImage(TrayMenuPhotoContainerButton *cell, const QString &path)
{
    TrayPopoverServices &services = TrayPopoverServices::instance();
    // The stamp is read first: a thumbnail replaced meanwhile is loaded again at the next update.
    const QString stamp = services.imageStampForRecentUpload(path);
    const QImage image = services.imageForRecentUpload(path);
    if (image.isNull())
        return false;
    const QPixmap pixmap = QPixmap::fromImage(image);
    QIcon icon(pixmap);
    icon.addPixmap(pixmap, QIcon::Active);
    cell->setIcon(icon);
    m_imageStamps.insert(path, stamp);
    return true;
}

TrayMenuPhotoContainerButton *TrayMenuPhotoContainer::createCell(const QString &path)
{
    auto *cell = new TrayMenuPhotoContainerButton;
    if (!loadImage(cell, path)) {
        delete cell;
        return nullptr;
    }
    cell->setGeometry(0, 0, kCellSize, kCellSize);
    cell->setIconSize(QSize(kCellSize, kCellSize));
    cell->path = path;
    connect(cell, &QPushButton::clicked, this, [this, cell] { imageClicked(cell); });
    return cell;
}

void TrayMenuPhotoContainer::finishAnimation()
{
    if (!m_animation)
        return;
    QParallelAnimationGroup *running = m_animation;
    running->setCurrentTime(running->totalDuration());
    if (m_animation) {
        m_animation->stop();
        delete m_animation.data();
    }
}

void TrayMenuPhotoContainer::setContents(const QStringList &contents, bool animated)
{
    const QStringList old = m_contents;
    m_contents = contents;
    // Drop repeats: the grid shows each path once, at its first place.
    m_contents.removeDuplicates();

    const QSet<QString> oldSet(old.begin(), old.end());
    const QSet<QString> newSet(m_contents.begin(), m_contents.end());
    QStringList added, removed, kept;
    for (const QString &path : std::as_const(m_contents))
        (oldSet.contains(path) ? kept : added) << path;
    for (const QString &path : old)
        if (!newSet.contains(path))
            removed << path;

    // A running animation is finished at once so that its end state is the start of this one.
    finishAnimation();

    QList<TrayMenuPhotoContainerButton *> setAside;
    for (const QString &path : std::as_const(removed)) {
        m_imageStamps.remove(path);
        if (auto *cell = m_visibleCells.take(path))
            setAside << cell;
    }
    // A thumbnail replaced since its cell was made (a new one of a changed photo) is shown anew.
    for (const QString &path : std::as_const(kept)) {
        TrayMenuPhotoContainerButton *cell = m_visibleCells.value(path, nullptr);
        if (cell && TrayPopoverServices::instance().imageStampForRecentUpload(path) != m_imageStamps.value(path))
            loadImage(cell, path);
    }

    // A kept path without a cell had no thumbnail or record yet when it arrived (the thumbnail is
    // made once the place is first shown); it gets its cell as soon as both exist.
    QStringList arriving = added;
    for (const QString &path : std::as_const(kept))
        if (!m_visibleCells.contains(path))
            arriving << path;

    QStringList addedWithCells;
    for (const QString &path : std::as_const(arriving)) {
        TrayMenuPhotoContainerButton *cell = createCell(path);
        const std::optional<qint64> photoId = TrayPopoverServices::instance().photoIdForPath(path);
        if (!cell || !photoId) {
            delete cell;
            m_imageStamps.remove(path);
            continue; // its place stays empty for as long as it stays in the list
        }
        m_visibleCells.insert(path, cell);
        cell->setParent(this);
        cell->show();
        updateCell(path, false, nullptr);
        if (animated)
            cell->setAlphaValue(0.0);
        addedWithCells << path;
    }

    if (!animated) {
        for (auto *cell : std::as_const(setAside))
            delete cell;
        for (const QString &path : std::as_const(kept))
            updateCell(path, false, nullptr);
        return;
    }

    auto *group = new QParallelAnimationGroup(this);
    for (auto *cell : std::as_const(setAside))
        addPropertyAnimation(group, cell, "alphaValue", 0.0);
    for (const QString &path : std::as_const(kept))
        if (!addedWithCells.contains(path))
            updateCell(path, true, group);
    for (const QString &path : std::as_const(addedWithCells))
        updateCell(path, true, group);
    // The cells that left are removed once they have faded; QPointer because the grid may go first.
    QList<QPointer<TrayMenuPhotoContainerButton>> leaving;
    for (auto *cell : std::as_const(setAside))
        leaving << cell;
    connect(group, &QAbstractAnimation::finished, this, [leaving] {
        for (const auto &cell : leaving)
            if (cell)
                cell->deleteLater();
    });
    m_animation = group;
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

void TrayMenuPhotoContainer::updateCell(const QString &path, bool animated, QParallelAnimationGroup *group)
{
    if (path.isEmpty())
        return;
    TrayMenuPhotoContainerButton *cell = m_visibleCells.value(path, nullptr);
    const std::optional<qint64> photoId = TrayPopoverServices::instance().photoIdForPath(path);
    const int index = m_contents.indexOf(path);
    if (!cell || !photoId || index < 0)
        return;
    const bool finished = *photoId != 0;
    const double alpha = finished ? 1.0 : 0.25;
    if (cell->alphaValue() != alpha) {
        if (animated && group)
            addPropertyAnimation(group, cell, "alphaValue", alpha);
        else
            cell->setAlphaValue(alpha);
    }
    const QPoint origin = originForIndex(index);
    if (cell->pos() != origin) {
        if (animated && group)
            addPropertyAnimation(group, cell, "pos", origin);
        else
            cell->move(origin);
    }
    cell->setDisableHandCursor(!finished);
}

void TrayMenuPhotoContainer::imageClicked(TrayMenuPhotoContainerButton *sender)
{
    if (!sender || sender->path.isEmpty() || !m_visibleCells.contains(sender->path))
        return;
    TrayPopoverServices &services = TrayPopoverServices::instance();
    const std::optional<qint64> photoId = services.photoIdForPath(sender->path);
    const QString accountId = services.currentUserID();
    if (!photoId || *photoId == 0 || accountId.isEmpty())
        return;
    QUrl url = Endpoints::webBase(services.alphaOrWWW());
    QString base = url.path();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    url.setPath(base + QStringLiteral("/photos/") + QString::fromLatin1(QUrl::toPercentEncoding(accountId)) + QLatin1Char('/')
                    + QString::number(*photoId),
                QUrl::StrictMode);
    UrlOpeners::open(url);
    services.increment(QStringLiteral("Tray: Clicked on recent photo"));
}
