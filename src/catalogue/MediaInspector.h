#pragma once
// What a file is, read from its content: photo or video (the name only decides which files are
// looked at), and when it was taken. Thread-safe; runs off the main thread.
#include "catalogue/FileData.h"

#include <QDateTime>
#include <QImage>
#include <QString>

namespace MediaInspector {
// Reading one file's metadata never takes longer than this; past it the file is catalogued
// without (it keeps its modification date).
constexpr int kMetadataBudgetMs = 2000;

// Is the name one of the photo or video names the scanner looks at (case-insensitive)?
bool hasCandidateExtension(const QString &fileName);
// The same for a name as the system lists it (UTF-8 bytes), without decoding it.
bool hasCandidateExtension(QByteArrayView fileName);
// Photo, video or Unknown from the first bytes of the content.
MediaKind kindFromHeader(const QByteArray &head);
// Reads the first bytes of the file; Unknown when it cannot be read.
MediaKind kindOfFile(const QString &path);
// The date the photo was taken, from its EXIF data (DateTimeOriginal, then DateTimeDigitized,
// then DateTime), as local time; invalid when none (or the file cannot be read).
QDateTime exifDateTaken(const QString &path);

// The same with the budget and the choice of readers open, and whether the budget ran out.
// exifDateTaken() never lets the video reader of ISO media near a file.
struct ExifRead
{
    QDateTime date;
    bool overBudget = false;
};
ExifRead readExifDateTaken(const QString &path, int budgetMs, bool allowVideoReader);
// A video's length and the date it was recorded, read from its container by the media library
// within kMetadataBudgetMs. Only local files of the usual video containers are opened: a file
// that names other files or addresses (playlists, concatenation lists) is not followed.
struct VideoInfo
{
    bool readable = false;      // the container was recognised and read
    double durationSeconds = 0; // 0 when unknown
    QDateTime recorded;         // invalid when the container holds no date
    bool overBudget = false;    // reading was ended by the budget
};
VideoInfo videoInfo(const QString &path, int budgetMs = kMetadataBudgetMs);

// The video's first picture, scaled to fit a square of maxPixels and turned upright; null when
// there is none or it cannot be decoded within the budget. Thread-safe.
QImage videoFirstFrame(const QString &path, int maxPixels, int budgetMs = kMetadataBudgetMs);
} // namespace MediaInspector
