#include "app/widgets/ImageUtils.h"

#include "core/LGLog.h"

#include <QSaveFile>
#include <QBuffer>
#include <algorithm>
#include <cmath>

namespace NSImageUtils {

namespace {

QSize pixelSize(const QSizeF &size)
{
    return QSize(qMax(0, int(std::lround(size.width()))), qMax(0, int(std::lround(size.height()))));
}

QImage blankImage(const QSize &size)
{
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    return out;
}

// The logical size of an image (pixels over device pixel ratio).
QSizeF logicalSize(const QImage &image)
{
    const double dpr = image.devicePixelRatio() > 0 ? image.devicePixelRatio() : 1.0;
    return QSizeF(image.width() / dpr, image.height() / dpr);
}

// A ratio a target can have: anything not above 0 (or not a number) counts as 1.
double usableRatio(double dpr)
{
    return dpr > 0 && std::isfinite(dpr) ? dpr : 1.0;
}

bool sameRatio(const QImage &image, double dpr)
{
    return qFuzzyCompare(image.devicePixelRatio() > 0 ? image.devicePixelRatio() : 1.0, dpr);
}

// A new transparent image of `target` pixels with `image` drawn smoothly into `placed`
// (in the new image's pixels), replacing what was there rather than blending.
QImage drawnInto(const QSize &target, const QImage &image, const QRectF &placed)
{
    QImage out = blankImage(target);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    QImage source = image;
    source.setDevicePixelRatio(1.0);
    // Shrinking by painting samples a pixel or two per target pixel: fine detail in a large photo
    // (an avatar, a cover) breaks into moire. Shrink by averaging first, then place.
    const QSize shrunk = placed.size().toSize();
    if (!shrunk.isEmpty() && (shrunk.width() < source.width() || shrunk.height() < source.height()))
        source = source.scaled(shrunk, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    painter.drawImage(placed, source, QRectF(source.rect()));
    return out;
}

} // namespace

bool isValid(const QImage &image)
{
    return !image.isNull() && image.width() > 0 && image.height() > 0;
}

QImage nilIfNotValid(const QImage &image)
{
    return isValid(image) ? image : QImage();
}

QImage imageResizedToSize(const QImage &image, const QSizeF &size, double devicePixelRatio)
{
    if (!isValid(image)) {
        LGLogError(QStringLiteral("Invalid Image"));
        return QImage();
    }
    const double dpr = usableRatio(devicePixelRatio);
    const QSize target = pixelSize(size * dpr);
    if (target.isEmpty())
        return QImage();
    QImage out = drawnInto(target, image, QRectF(QPointF(0, 0), QSizeF(target)));
    out.setDevicePixelRatio(dpr);
    return out;
}

QImage imageResizedToSquareOfSize(const QImage &image, double edge, double devicePixelRatio)
{
    const double dpr = usableRatio(devicePixelRatio);
    const QSizeF size = logicalSize(image);
    const double w = size.width(), h = size.height();
    if (w == 0 || h == 0)
        return image;
    if (w == edge && h == edge && sameRatio(image, dpr))
        return image;
    if (!isValid(image) || edge <= 0) {
        LGLogError(QStringLiteral("Invalid Image"));
        return QImage();
    }
    const double scale = edge / std::min(w, h);
    const double sw = w * scale * dpr, sh = h * scale * dpr, side = edge * dpr;
    const QSize target = pixelSize(QSizeF(side, side));
    // The scaled image is placed so that its centre square lands on the new image.
    QImage out = drawnInto(target, image, QRectF(-(sw - side) * 0.5, -(sh - side) * 0.5, sw, sh));
    out.setDevicePixelRatio(dpr);
    return out;
}

static QImage resizedToEdge(const QImage &image, double length, bool minEdge, double dpr)
{
    const QSizeF size = logicalSize(image);
    const double w = size.width(), h = size.height();
    if (w == 0 || h == 0)
        return image;
    const double scale = length / (minEdge ? std::min(w, h) : std::max(w, h));
    if (w * scale == w && sameRatio(image, dpr))
        return image;
    return imageResizedToSize(image, QSizeF(w * scale, h * scale), dpr);
}

QImage imageResizedToMinEdgeLength(const QImage &image, double length, double devicePixelRatio)
{
    return resizedToEdge(image, length, true, usableRatio(devicePixelRatio));
}

QImage imageResizedToMaxEdgeLength(const QImage &image, double length, double devicePixelRatio)
{
    return resizedToEdge(image, length, false, usableRatio(devicePixelRatio));
}

QImage imageResizedToAspectFillSize(const QImage &image, const QSizeF &target, double devicePixelRatio)
{
    const double dpr = usableRatio(devicePixelRatio);
    const QSizeF size = logicalSize(image);
    const double w = size.width(), h = size.height();
    if (w == 0 || h == 0)
        return image;
    const double W = target.width(), H = target.height();
    // Scaling by the larger of the two edge ratios covers the target on both axes. (Matching the
    // longer edges first and the shorter ones second can leave a portrait image narrower than a
    // wide target.)
    const double k = std::max(W / w, H / h);
    const double sw = w * k, sh = h * k;
    if (sw == w && sameRatio(image, dpr))
        return image;
    return imageResizedToSize(image, QSizeF(sw, sh), dpr);
}

QImage imageWithAlpha(const QImage &image, double alpha)
{
    if (!isValid(image))
        return image;
    QImage source = image;
    source.setDevicePixelRatio(1.0);
    QImage out = blankImage(source.size());
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.setOpacity(std::clamp(alpha, 0.0, 1.0));
    painter.drawImage(QPointF(0, 0), source);
    return out;
}

QImage normalizeSizeForDpi(const QImage &image)
{
    if (image.isNull() || image.devicePixelRatio() == 1.0)
        return image;
    QImage out = image;
    out.setDevicePixelRatio(1.0);
    return out;
}

QImage invertedImage(const QImage &image)
{
    if (image.isNull())
        return image;
    // Inverting premultiplied values would brighten translucent pixels; invert straight colour.
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    out.invertPixels(QImage::InvertRgb);
    return out;
}

bool savePNGDataToDiskOfImage(const QImage &image, const QString &path)
{
    if (!isValid(image) || path.isEmpty())
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!image.save(&file, "PNG")) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QList<NinePartPiece> ninePartLayout(const QSizeF &imageSize, const QRectF &rect, double t, double b,
                                    double l, double r)
{
    t = std::max(0.0, t);
    b = std::max(0.0, b);
    l = std::max(0.0, l);
    r = std::max(0.0, r);
    const double iw = imageSize.width(), ih = imageSize.height();
    const double x = rect.x(), y = rect.y(), w = rect.width(), h = rect.height();
    // Caps wider than the image or the rectangle would draw pieces of negative size; shrink both
    // caps of an axis in proportion until they fit both.
    auto clamp = [](double &a, double &c, double limit) {
        if (a + c > limit && a + c > 0) {
            const double f = std::max(0.0, limit) / (a + c);
            a *= f;
            c *= f;
        }
    };
    clamp(l, r, std::min(iw, w));
    clamp(t, b, std::min(ih, h));

    // Qt's y grows downwards: the top row is at y, the bottom row at y + h - b.
    QList<NinePartPiece> pieces;
    auto add = [&pieces](const QRectF &dst, const QRectF &src) {
        if (dst.width() > 0 && dst.height() > 0 && src.width() > 0 && src.height() > 0)
            pieces.append({src, dst});
    };
    if (b > 0) {
        if (l > 0)
            add(QRectF(x, y + h - b, l, b), QRectF(0, ih - b, l, b));
        add(QRectF(x + l, y + h - b, w - l - r, b), QRectF(l, ih - b, iw - l - r, b));
        if (r > 0)
            add(QRectF(x + w - r, y + h - b, r, b), QRectF(iw - r, ih - b, r, b));
    }
    if (r > 0)
        add(QRectF(x + w - r, y + t, r, h - t - b), QRectF(iw - r, t, r, ih - t - b));
    if (l > 0)
        add(QRectF(x, y + t, l, h - t - b), QRectF(0, t, l, ih - t - b));
    add(QRectF(x + l, y + t, w - l - r, h - t - b), QRectF(l, t, iw - l - r, ih - t - b));
    if (t > 0) {
        add(QRectF(x + l, y, w - l - r, t), QRectF(l, 0, iw - l - r, t));
        if (r > 0)
            add(QRectF(x + w - r, y, r, t), QRectF(iw - r, 0, r, t));
        if (l > 0)
            add(QRectF(x, y, l, t), QRectF(0, 0, l, t));
    }
    return pieces;
}

void drawNinePart(QPainter &painter, const QImage &image, const QRectF &rect, double topCap,
                  double bottomCap, double leftCap, double rightCap, double opacity,
                  QPainter::CompositionMode mode)
{
    if (!isValid(image) || rect.isEmpty())
        return;
    QImage source = image;
    source.setDevicePixelRatio(1.0);
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    painter.setCompositionMode(mode);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    for (const NinePartPiece &piece :
         ninePartLayout(QSizeF(source.size()), rect, topCap, bottomCap, leftCap, rightCap))
        painter.drawImage(piece.destination, source, piece.source);
    painter.restore();
}

} // namespace NSImageUtils

NSThreePartImage NSThreePartImage::threePartImageWithImage(const QImage &image, double leftCap,
                                                           double rightCap)
{
    NSThreePartImage parts;
    QImage source = image;
    source.setDevicePixelRatio(1.0);
    const double W = source.width(), H = source.height();
    auto cut = [&source, H](double x, double width) {
        QImage part(QSize(qMax(0, int(std::lround(width))), int(H)), QImage::Format_ARGB32_Premultiplied);
        if (part.isNull())
            return QImage(); // a part of no width is never drawn into
        part.fill(Qt::transparent);
        QPainter painter(&part);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QRectF(0, 0, width, H), source, QRectF(x, 0, width, H));
        return part;
    };
    if (source.isNull())
        return parts;
    parts.imageLeft = cut(0, std::max(0.0, leftCap));
    parts.imageCenter = cut(std::max(0.0, leftCap), 10);
    parts.imageRight = cut(W - std::max(0.0, rightCap), std::max(0.0, rightCap));
    return parts;
}

QImage NSThreePartImage::renderAtSize(const QSizeF &size) const
{
    if (size.width() <= 0 || size.height() <= 0)
        return QImage();
    QImage out(QSize(int(std::lround(size.width())), int(std::lround(size.height()))),
               QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return QImage();
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    const double w = out.width(), h = out.height();
    double l = imageLeft.isNull() ? 0 : imageLeft.width();
    double r = imageRight.isNull() ? 0 : imageRight.width();
    if (l + r > w) {
        const double f = w / (l + r);
        l *= f;
        r *= f;
    }
    if (l > 0)
        painter.drawImage(QRectF(0, 0, l, h), imageLeft, QRectF(imageLeft.rect()));
    if (!imageCenter.isNull() && w - l - r > 0)
        painter.drawImage(QRectF(l, 0, w - l - r, h), imageCenter, QRectF(imageCenter.rect()));
    if (r > 0)
        painter.drawImage(QRectF(w - r, 0, r, h), imageRight, QRectF(imageRight.rect()));
    return out;
}
