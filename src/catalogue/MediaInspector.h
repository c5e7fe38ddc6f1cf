#pragma once
// What a file is, read from its content: photo or video (the name only decides which files are
// looked at), and when it was taken. Thread-safe; runs off the main thread.
#include "catalogue/FileData.h"

#include <QDateTime>
#include <QString>

namespace MediaInspector {
// Is the name one of the photo or video names the scanner looks at (case-insensitive)?
bool hasCandidateExtension(const QString &fileName);
// Photo, video or Unknown from the first bytes of the content.
MediaKind kindFromHeader(const QByteArray &head);
// Reads the first bytes of the file; Unknown when it cannot be read.
MediaKind kindOfFile(const QString &path);
// The date the photo was taken, from its EXIF data (DateTimeOriginal, then DateTimeDigitized,
// then DateTime), as local time; invalid when none (or the file cannot be read).
QDateTime exifDateTaken(const QString &path);
} // namespace MediaInspector
