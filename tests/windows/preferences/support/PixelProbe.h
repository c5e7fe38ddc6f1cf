#pragma once
// Reading drawn pixels back: where the ink of a rendering lies, compared with its background.
#include <QColor>
#include <QImage>
#include <QRect>

namespace PixelProbe {

inline int distance(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) + qAbs(qAlpha(a) - qAlpha(b));
}

// The smallest rectangle (within `area`) holding every pixel that differs from `background` by
// more than `threshold`; empty when there is none.
inline QRect inkBounds(const QImage &image, QRgb background, const QRect &area, int threshold = 96)
{
    const QImage img = image.convertToFormat(QImage::Format_ARGB32);
    QRect bounds;
    const QRect clipped = area.intersected(img.rect());
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        for (int x = clipped.left(); x <= clipped.right(); ++x) {
            if (distance(img.pixel(x, y), background) > threshold)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

inline QRect inkBounds(const QImage &image, QRgb background, int threshold = 96)
{
    return inkBounds(image, background, image.rect(), threshold);
}

// How many pixels of the area lie within `tolerance` of the colour.
inline int countNear(const QImage &image, const QRect &area, QColor colour, int tolerance = 60)
{
    const QImage img = image.convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    const QRect clipped = area.intersected(img.rect());
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        for (int x = clipped.left(); x <= clipped.right(); ++x) {
            const QRgb p = img.pixel(x, y);
            if (qAlpha(p) > 200 && distance(p | 0xff000000u, colour.rgb() | 0xff000000u) <= tolerance)
                ++count;
        }
    }
    return count;
}

} // namespace PixelProbe
