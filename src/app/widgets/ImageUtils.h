#pragma once
// Image helpers shared by the windows, the popover and the thumbnails of recent uploads.
// They work on image values: none changes the image it is given. "Returns the receiver" means
// the result shares the argument's data (same cacheKey()). Sizes are in device-independent
// pixels. The resizers draw for a target of the given device pixel ratio (the widget's
// devicePixelRatioF()): the result has that many pixels per unit of size and carries the ratio,
// so it stays sharp on a HiDPI screen; 1 when not given.
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QSizeF>
#include <QString>

namespace NSImageUtils {

// Drawn to fill the target exactly (aspect not kept); a null result, logged, for an invalid image.
QImage imageResizedToSize(const QImage &image, const QSizeF &size, double devicePixelRatio = 1.0);
// Scaled so its shorter edge is `edge`, then the centre square cut out.
QImage imageResizedToSquareOfSize(const QImage &image, double edge, double devicePixelRatio = 1.0);
QImage imageResizedToMinEdgeLength(const QImage &image, double length, double devicePixelRatio = 1.0);
QImage imageResizedToMaxEdgeLength(const QImage &image, double length, double devicePixelRatio = 1.0);
// Scaled with its aspect kept until it covers the target; not cropped.
QImage imageResizedToAspectFillSize(const QImage &image, const QSizeF &size, double devicePixelRatio = 1.0);
// The image drawn at the given opacity (0 to 1); an invalid image comes back unchanged.
QImage imageWithAlpha(const QImage &image, double alpha);
// The image when valid and neither edge is 0, else a null image.
QImage nilIfNotValid(const QImage &image);
bool isValid(const QImage &image);
// One point per pixel: the device pixel ratio becomes 1.
QImage normalizeSizeForDpi(const QImage &image);
// Colours inverted, alpha kept.
QImage invertedImage(const QImage &image);
// Writes a PNG atomically; false when there is nothing to write or the write fails.
bool savePNGDataToDiskOfImage(const QImage &image, const QString &path);
inline bool savePNGDataToDiskAtPath(const QImage &image, const QString &path)
{
    return savePNGDataToDiskOfImage(image, path);
}

// Draws the image into the rectangle in nine pieces: corners keep their size, edges stretch
// along one axis, the centre along both. Caps are in image pixels; negative caps count as 0 and
// caps larger than the image or the rectangle are scaled down to fit.
void drawNinePart(QPainter &painter, const QImage &image, const QRectF &rect, double topCap,
                  double bottomCap, double leftCap, double rightCap, double opacity = 1.0,
                  QPainter::CompositionMode mode = QPainter::CompositionMode_SourceOver);
inline void drawInRect(QPainter &painter, const QImage &image, const QRectF &rect, double heightCap,
                       double widthCap)
{
    drawNinePart(painter, image, rect, heightCap, heightCap, widthCap, widthCap);
}
inline void drawInRectWithCap(QPainter &painter, const QImage &image, const QRectF &rect, double cap)
{
    drawNinePart(painter, image, rect, cap, cap, cap, cap);
}

// The source rectangles and destination rectangles of the nine pieces, in drawing order, after
// the caps were clamped; pieces of no area are left out.
struct NinePartPiece
{
    QRectF source;
    QRectF destination;
};
QList<NinePartPiece> ninePartLayout(const QSizeF &imageSize, const QRectF &rect, double topCap,
                                    double bottomCap, double leftCap, double rightCap);

} // namespace NSImageUtils

// A stretchable image of a left cap, a 10-pixel centre strip and a right cap.
class NSThreePartImage
{
public:
    static NSThreePartImage threePartImageWithImage(const QImage &image, double leftCap, double rightCap);
    // The caps at their widths (scaled down when they do not fit), the centre stretched between
    // them; a null image when either edge of the size is 0 or less.
    QImage renderAtSize(const QSizeF &size) const;

    QImage imageLeft;
    QImage imageCenter;
    QImage imageRight;
};

// The rectangle moved by (dx, dy) and widened by a + b; the height stays.
inline QRectF CGRectTranslateAndExpand(const QRectF &rect, double dx, double dy, double a, double b)
{
    return QRectF(rect.x() + dx, rect.y() + dy, rect.width() + a + b, rect.height());
}
inline QRect CGRectTranslateAndExpand(const QRect &rect, int dx, int dy, int a, int b)
{
    return QRect(rect.x() + dx, rect.y() + dy, rect.width() + a + b, rect.height());
}
