#include "app/widgets/ImageUtils.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace NSImageUtils;

static QImage solid(int w, int h, QColor c)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(c);
    return image;
}

// Columns in thirds: red, green, blue.
static QImage thirds(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32);
    for (int x = 0; x < w; ++x) {
        const QColor c = x < w / 3 ? Qt::red : (x < 2 * w / 3 ? Qt::green : Qt::blue);
        for (int y = 0; y < h; ++y)
            image.setPixelColor(x, y, c);
    }
    return image;
}

static bool near(QColor a, QColor b, int tolerance = 40)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
        && qAbs(a.blue() - b.blue()) <= tolerance && qAbs(a.alpha() - b.alpha()) <= tolerance;
}

class TestImageUtils : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void resizeToSizeFillsExactlyAndLeavesSourceAlone()
    {
        const QImage source = thirds(300, 200);
        const qint64 key = source.cacheKey();
        const QImage out = imageResizedToSize(source, QSizeF(90, 10));
        QCOMPARE(out.size(), QSize(90, 10));
        QVERIFY(near(out.pixelColor(5, 5), Qt::red));
        QVERIFY(near(out.pixelColor(85, 5), Qt::blue));
        QCOMPARE(source.size(), QSize(300, 200));
        QCOMPARE(source.cacheKey(), key);
        QVERIFY(imageResizedToSize(QImage(), QSizeF(10, 10)).isNull());
    }

    void squareCropKeepsTheMiddle()
    {
        // 300x200 scaled to 150x100; the middle 100 columns come from source columns 50..250.
        const QImage out = imageResizedToSquareOfSize(thirds(300, 200), 100);
        QCOMPARE(out.size(), QSize(100, 100));
        QVERIFY(near(out.pixelColor(10, 50), Qt::red));
        QVERIFY(near(out.pixelColor(50, 50), Qt::green));
        QVERIFY(near(out.pixelColor(90, 50), Qt::blue));
        // Already the right size: the same image comes back.
        const QImage square = solid(64, 64, Qt::red);
        QCOMPARE(imageResizedToSquareOfSize(square, 64).cacheKey(), square.cacheKey());
        // Portrait sources crop top and bottom instead.
        QCOMPARE(imageResizedToSquareOfSize(solid(20, 80, Qt::red), 56).size(), QSize(56, 56));
    }

    void edgeAndFillResizers_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSizeF>("target");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("wide to square box") << QSize(200, 100) << QSizeF(50, 50) << QSize(100, 50);
        QTest::newRow("square to square") << QSize(100, 100) << QSizeF(40, 40) << QSize(40, 40);
        QTest::newRow("tall to wide box") << QSize(100, 400) << QSizeF(200, 100) << QSize(200, 800);
        QTest::newRow("small up to cover") << QSize(10, 20) << QSizeF(60, 30) << QSize(60, 120);
        QTest::newRow("portrait cover photo") << QSize(400, 1024) << QSizeF(360, 100) << QSize(360, 922);
    }
    void edgeAndFillResizers()
    {
        QFETCH(QSize, source);
        QFETCH(QSizeF, target);
        QFETCH(QSize, expected);
        const QImage out = imageResizedToAspectFillSize(solid(source.width(), source.height(), Qt::red), target);
        QCOMPARE(out.size(), expected);
        // The result covers the target box.
        QVERIFY(out.width() >= target.width() && out.height() >= target.height());
    }

    void resizersDrawForTheTargetsPixelRatio()
    {
        // Sizes stay in points; a ratio-2 target gets twice the pixels and says so.
        const QImage fill = imageResizedToAspectFillSize(thirds(1000, 200), QSizeF(360, 100), 2.0);
        QCOMPARE(fill.devicePixelRatio(), 2.0);
        QCOMPARE(fill.size(), QSize(1000, 200));
        QCOMPARE(fill.deviceIndependentSize(), QSizeF(500, 100));
        // An image already of the right size in points but at ratio 1 is drawn again, not reused.
        const QImage square = solid(56, 56, Qt::red);
        const QImage sharp = imageResizedToSquareOfSize(thirds(300, 200), 56, 2.0);
        QCOMPARE(sharp.size(), QSize(112, 112));
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
        QVERIFY(near(sharp.pixelColor(10, 56), Qt::red));
        QVERIFY(near(sharp.pixelColor(101, 56), Qt::blue));
        QVERIFY(imageResizedToSquareOfSize(square, 56, 2.0).cacheKey() != square.cacheKey());
        QCOMPARE(imageResizedToSquareOfSize(sharp, 56, 2.0).cacheKey(), sharp.cacheKey());
        QCOMPARE(imageResizedToSize(square, QSizeF(10, 20), 1.5).size(), QSize(15, 30));
        QCOMPARE(imageResizedToMinEdgeLength(solid(300, 200, Qt::red), 100, 2.0).size(), QSize(300, 200));
        QCOMPARE(imageResizedToMaxEdgeLength(solid(300, 200, Qt::red), 100, 2.0).deviceIndependentSize(), QSizeF(100, 66.5));
        // Nonsense ratios count as 1.
        QCOMPARE(imageResizedToSize(square, QSizeF(10, 10), 0.0).size(), QSize(10, 10));
        QCOMPARE(imageResizedToSize(square, QSizeF(10, 10), -3.0).devicePixelRatio(), 1.0);
    }

    // A photo shrunk a lot is averaged, not sampled: noise of one-pixel black and white grains
    // comes out as an even grey, not as grains.
    void shrinkingAveragesFineDetail()
    {
        QImage grains(600, 600, QImage::Format_RGB32);
        quint32 seed = 12345;
        for (int y = 0; y < grains.height(); ++y) {
            for (int x = 0; x < grains.width(); ++x) {
                seed = seed * 1664525u + 1013904223u;
                grains.setPixel(x, y, (seed >> 31) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
            }
        }
        const QImage shrunk = imageResizedToSquareOfSize(grains, 64, 2.0);
        QCOMPARE(shrunk.size(), QSize(128, 128));
        double sum = 0, squares = 0;
        for (int y = 0; y < shrunk.height(); ++y) {
            for (int x = 0; x < shrunk.width(); ++x) {
                const int v = qGray(shrunk.pixel(x, y));
                sum += v;
                squares += double(v) * v;
            }
        }
        const double n = shrunk.width() * shrunk.height();
        const double spread = std::sqrt(squares / n - (sum / n) * (sum / n));
        // Averaging about 22 grains per pixel leaves a spread near 27; sampling two leaves 90.
        QVERIFY2(spread < 45, qPrintable(QString::number(spread)));
    }

    void emptyImagesComeBackUnchanged()
    {
        const QImage empty(0, 50, QImage::Format_ARGB32);
        QCOMPARE(imageResizedToAspectFillSize(empty, QSizeF(10, 10)).cacheKey(), empty.cacheKey());
        QCOMPARE(imageResizedToMinEdgeLength(empty, 10).cacheKey(), empty.cacheKey());
        QCOMPARE(imageResizedToMaxEdgeLength(empty, 10).cacheKey(), empty.cacheKey());
        QCOMPARE(imageResizedToSquareOfSize(empty, 10).cacheKey(), empty.cacheKey());
        QVERIFY(nilIfNotValid(empty).isNull());
        QVERIFY(!nilIfNotValid(solid(2, 2, Qt::red)).isNull());
        QCOMPARE(imageResizedToMinEdgeLength(solid(300, 200, Qt::red), 100).size(), QSize(150, 100));
        QCOMPARE(imageResizedToMaxEdgeLength(solid(300, 200, Qt::red), 100).size(), QSize(100, 67));
        const QImage same = solid(30, 20, Qt::red);
        QCOMPARE(imageResizedToMinEdgeLength(same, 20).cacheKey(), same.cacheKey());
    }

    void inversionKeepsAlpha()
    {
        QImage image(2, 1, QImage::Format_ARGB32);
        image.setPixelColor(0, 0, QColor(255, 0, 0, 255));
        image.setPixelColor(1, 0, QColor(200, 100, 0, 128));
        const QImage out = invertedImage(image);
        QCOMPARE(out.size(), image.size());
        QCOMPARE(out.pixelColor(0, 0), QColor(0, 255, 255, 255));
        const QColor half = out.pixelColor(1, 0);
        QCOMPARE(half.alpha(), 128);
        QVERIFY(near(half, QColor(55, 155, 255, 128), 3));
        QCOMPARE(image.pixelColor(0, 0), QColor(255, 0, 0, 255)); // source untouched
    }

    void alphaCopy()
    {
        const QImage out = imageWithAlpha(solid(4, 4, Qt::black), 0.5);
        QVERIFY(qAbs(out.pixelColor(1, 1).alpha() - 128) <= 2);
        const QImage invalid;
        QVERIFY(imageWithAlpha(invalid, 0.5).isNull());
    }

    void pngRoundTripAndFailure()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.png"));
        QVERIFY(savePNGDataToDiskOfImage(thirds(30, 10), path));
        QImage back(path);
        QCOMPARE(back.size(), QSize(30, 10));
        QVERIFY(near(back.pixelColor(25, 5), Qt::blue));
        QVERIFY(!savePNGDataToDiskOfImage(thirds(30, 10), dir.filePath(QStringLiteral("missing/out.png"))));
        QVERIFY(!savePNGDataToDiskOfImage(QImage(), dir.filePath(QStringLiteral("none.png"))));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("none.png"))));
    }

    void ninePartLayoutLargeKeepsCorners()
    {
        // A 24x24 image with 8-pixel caps drawn into 200x40.
        const auto pieces = ninePartLayout(QSizeF(24, 24), QRectF(0, 0, 200, 40), 8, 8, 8, 8);
        QCOMPARE(pieces.size(), 9);
        int corners = 0;
        for (const auto &p : pieces) {
            const bool cornerX = p.source.x() == 0 || p.source.x() == 16;
            const bool cornerY = p.source.y() == 0 || p.source.y() == 16;
            if (cornerX && cornerY && p.source.width() == 8 && p.source.height() == 8) {
                ++corners;
                QCOMPARE(p.destination.size(), QSizeF(8, 8));
            }
        }
        QCOMPARE(corners, 4);
        // The pieces tile the rectangle exactly.
        double area = 0;
        for (const auto &p : pieces)
            area += p.destination.width() * p.destination.height();
        QCOMPARE(area, 200.0 * 40.0);
        // The first piece drawn is the bottom-left corner (Qt's y grows downwards).
        QCOMPARE(pieces.first().destination, QRectF(0, 32, 8, 8));
        QCOMPARE(pieces.first().source, QRectF(0, 16, 8, 8));
    }

    void ninePartLayoutSmallClampsCaps()
    {
        // Caps of 8 in a 10x6 rectangle would overlap: they shrink to fit.
        const auto pieces = ninePartLayout(QSizeF(24, 24), QRectF(5, 5, 10, 6), 8, 8, 8, 8);
        QVERIFY(!pieces.isEmpty());
        const QRectF bounds(5, 5, 10, 6);
        for (const auto &p : pieces) {
            QVERIFY(p.destination.width() > 0 && p.destination.height() > 0);
            QVERIFY2(bounds.contains(p.destination), "piece outside the rectangle");
            QVERIFY(p.source.width() > 0 && p.source.height() > 0);
        }
        // Negative caps count as 0: one centre piece, the whole image.
        const auto plain = ninePartLayout(QSizeF(24, 24), QRectF(0, 0, 50, 50), -3, 0, 0, 0);
        QCOMPARE(plain.size(), 1);
        QCOMPARE(plain.first().source, QRectF(0, 0, 24, 24));
        QCOMPARE(plain.first().destination, QRectF(0, 0, 50, 50));
        // Bottom cap 0, right cap 8: the right edge of the middle row lands at the right.
        const auto right = ninePartLayout(QSizeF(24, 24), QRectF(0, 0, 100, 50), 0, 0, 0, 8);
        QCOMPARE(right.first().destination, QRectF(92, 0, 8, 50));
    }

    void ninePartDrawingColoursCornersAndCentre()
    {
        // Red corners, green everywhere else.
        QImage source = solid(24, 24, Qt::green);
        for (int x = 0; x < 24; ++x)
            for (int y = 0; y < 24; ++y)
                if ((x < 8 || x >= 16) && (y < 8 || y >= 16))
                    source.setPixelColor(x, y, Qt::red);
        QImage canvas = solid(200, 40, Qt::transparent);
        {
            QPainter painter(&canvas);
            drawInRect(painter, source, QRectF(0, 0, 200, 40), 8, 8);
        }
        QVERIFY(near(canvas.pixelColor(3, 3), Qt::red));
        QVERIFY(near(canvas.pixelColor(196, 36), Qt::red));
        QVERIFY(near(canvas.pixelColor(100, 3), Qt::green)); // top edge stretched
        QVERIFY(near(canvas.pixelColor(12, 3), Qt::green)); // a stretched corner would be red here
        QVERIFY(near(canvas.pixelColor(100, 20), Qt::green));
    }

    void threePartImage()
    {
        const NSThreePartImage parts = NSThreePartImage::threePartImageWithImage(thirds(30, 10), 0, 10);
        QVERIFY(parts.imageLeft.isNull());
        QCOMPARE(parts.imageCenter.size(), QSize(10, 10));
        QCOMPARE(parts.imageRight.size(), QSize(10, 10));
        QVERIFY(parts.renderAtSize(QSizeF(100, 0)).isNull());
        const QImage out = NSThreePartImage::threePartImageWithImage(thirds(30, 10), 10, 10).renderAtSize(QSizeF(100, 6));
        QCOMPARE(out.size(), QSize(100, 6));
        QVERIFY(near(out.pixelColor(4, 3), Qt::red));
        QVERIFY(near(out.pixelColor(50, 3), Qt::green));
        QVERIFY(near(out.pixelColor(95, 3), Qt::blue));
        // Caps wider than the size are scaled down rather than overlapping.
        const QImage narrow = NSThreePartImage::threePartImageWithImage(thirds(30, 10), 10, 10).renderAtSize(QSizeF(10, 6));
        QVERIFY(near(narrow.pixelColor(1, 3), Qt::red));
        QVERIFY(near(narrow.pixelColor(8, 3), Qt::blue));
    }

    void rectTranslateAndExpand()
    {
        QCOMPARE(CGRectTranslateAndExpand(QRectF(10, 20, 100, 30), 5, -4, 7, 3), QRectF(15, 16, 110, 30));
    }
};

QTEST_MAIN(TestImageUtils)
#include "tst_image_utils.moc"
