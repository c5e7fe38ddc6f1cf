// A file dropped into a watched folder: its kind from the header, its content samples, its
// photo metadata (exiv2) and, for a video, its container metadata and first frame (FFmpeg).
#include "FuzzSupport.h"
#include "catalogue/ContentSample.h"
#include "catalogue/MediaInspector.h"

#include <QFile>
#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::initialiseOnce();
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    static const QString path = QDir::tempPath() + QStringLiteral("/hoistly-fuzz-media-%1").arg(::getpid());
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(bytes);
    }
    const MediaKind kind = MediaInspector::kindFromHeader(bytes.left(256));
    (void)ContentSampler::sampleOfBytes(bytes);
    (void)ContentSampler::sampleFile(path);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        qint64 start = 0, length = 0;
        bool exif = false;
        const QByteArray head = bytes.left(64 * 1024);
        (void)ContentSampler::jpegImageDataRange(fd, qint64(size), &start, &length, &exif, &head);
        ::close(fd);
    }
    if (kind == MediaKind::Photo)
        (void)MediaInspector::exifDateTaken(path);
    if (kind == MediaKind::Video) {
        (void)MediaInspector::videoInfo(path);
        (void)MediaInspector::videoFirstFrame(path, 64);
    }
    return 0;
}
