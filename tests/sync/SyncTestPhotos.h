#pragma once
// Photos for the upload tests: small JPEGs of noise (so every file differs) with their date
// taken in EXIF, which is what orders the uploads.
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QString>
#include <exiv2/exiv2.hpp>

// Dates a file written whole a minute back, as a finished copy is: the scanner waits for files
// still being written.
inline bool dateBack(const QString &path, qint64 seconds = 60)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-seconds), QFileDevice::FileModificationTime);
}

inline QString writePhoto(const QString &path, const QString &exifDate, quint32 seed, int side = 48)
{
    QImage img(side, side, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, rng.generate());
    if (!img.save(path, "JPG", 95))
        return QString();
    auto image = Exiv2::ImageFactory::open(path.toStdString());
    image->readMetadata();
    image->exifData()["Exif.Photo.DateTimeOriginal"] = exifDate.toStdString();
    image->exifData()["Exif.Image.DateTime"] = exifDate.toStdString();
    image->writeMetadata();
    return dateBack(path) ? path : QString();
}
