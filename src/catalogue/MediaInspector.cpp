#include "catalogue/MediaInspector.h"

#include "core/LGLog.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSet>
#include <stdexcept>
#include <exiv2/exiv2.hpp>
#include <fcntl.h>
#include <unistd.h>

namespace MediaInspector {

namespace {

// Compared in place, without building strings: the scanner asks for every name it lists.
template <typename Name, typename Char>
bool hasCandidateExtensionIn(const Name &fileName, Char dotChar)
{
    static const char *const extensions[] = {
        // photos
        "jpg", "jpeg", "jpe", "png", "gif", "tif", "tiff", "heic", "heif", "webp", "bmp", "cr2", "cr3", "nef",
        "arw", "dng", "orf", "rw2", "raf", "pef", "srw",
        // videos
        "mov", "mp4", "m4v", "3gp", "3g2", "avi", "mts", "m2ts", "mpg", "mpeg", "wmv", "mkv", "webm",
    };
    const qsizetype dot = fileName.lastIndexOf(dotChar);
    if (dot <= 0 || dot == fileName.size() - 1 || fileName.size() - dot - 1 > 4)
        return false;
    const auto ext = fileName.sliced(dot + 1);
    for (const char *candidate : extensions)
        if (qsizetype(qstrlen(candidate)) == ext.size() && QLatin1StringView(candidate).compare(ext, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

bool hasCandidateExtension(const QString &fileName)
{
    return hasCandidateExtensionIn(QStringView(fileName), QLatin1Char('.'));
}

bool hasCandidateExtension(QByteArrayView fileName)
{
    // Bytes of a multi-byte character are never ASCII, so they match no extension.
    return hasCandidateExtensionIn(QLatin1StringView(fileName), QLatin1Char('.'));
}

MediaKind kindFromHeader(const QByteArray &h)
{
    auto at = [&h](int offset, const char *magic) {
        const int n = int(qstrlen(magic));
        return h.size() >= offset + n && memcmp(h.constData() + offset, magic, size_t(n)) == 0;
    };
    const auto u = [&h](int i) { return i < h.size() ? uchar(h[i]) : 0; };
    if (u(0) == 0xFF && u(1) == 0xD8 && u(2) == 0xFF)
        return MediaKind::Photo; // JPEG
    if (at(0, "\x89PNG\r\n\x1a\n") || at(0, "GIF87a") || at(0, "GIF89a") || at(0, "BM"))
        return MediaKind::Photo;
    if (at(0, "II*\0") || at(0, "MM\0*") || at(0, "IIRO") || at(0, "IIRS") || at(0, "IIU\0")
        || at(0, "FUJIFILMCCD-RAW"))
        return MediaKind::Photo; // TIFF and the raw formats built on it
    if (at(0, "RIFF") && at(8, "WEBP"))
        return MediaKind::Photo;
    if (at(0, "RIFF") && at(8, "AVI "))
        return MediaKind::Video;
    if (at(4, "ftyp")) {
        const QByteArray brand = h.mid(8, 4);
        static const QSet<QByteArray> photoBrands = {"heic", "heix", "hevc", "hevx", "mif1", "msf1", "avif", "crx "};
        if (photoBrands.contains(brand))
            return MediaKind::Photo;
        return MediaKind::Video; // isom, mp41, mp42, qt, M4V, 3gp...
    }
    if (at(4, "moov") || at(4, "mdat") || at(4, "wide") || at(4, "free") || at(4, "skip"))
        return MediaKind::Video; // QuickTime without ftyp
    if (u(0) == 0x1A && u(1) == 0x45 && u(2) == 0xDF && u(3) == 0xA3)
        return MediaKind::Video; // Matroska / WebM
    if (u(0) == 0x00 && u(1) == 0x00 && u(2) == 0x01 && (u(3) == 0xBA || u(3) == 0xB3))
        return MediaKind::Video; // MPEG program stream
    if (u(0) == 0x47 && h.size() > 188 && u(188) == 0x47)
        return MediaKind::Video; // MPEG transport stream
    if (h.size() >= 196 && u(4) == 0x47 && u(196) == 0x47)
        return MediaKind::Video; // M2TS (4-byte timestamps before each packet)
    if (at(0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11"))
        return MediaKind::Video; // ASF / WMV
    return MediaKind::Unknown;
}

MediaKind kindOfFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return MediaKind::Unknown;
    QByteArray head(256, '\0');
    const ssize_t n = ::read(fd, head.data(), size_t(head.size()));
    ::close(fd);
    if (n <= 0)
        return MediaKind::Unknown;
    head.truncate(int(n));
    return kindFromHeader(head);
}

namespace {
void initialiseExiv2Once()
{
    static const bool done = [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(); // before any use from several threads
        // HEIC and kin go to the still-image reader of ISO media, never to the video reader.
        Exiv2::enableBMFF(true);
        return true;
    }();
    Q_UNUSED(done);
}

// Exiv2's image type of its QuickTime video reader (its header is not part of exiv2.hpp).
constexpr int kExiv2QuickTimeType = 22;

struct OverBudget : std::runtime_error
{
    OverBudget() : std::runtime_error("metadata reading took too long") {}
};

// The file as the metadata reader sees it, with a deadline: a reader caught in a loop over a
// crafted file keeps reading, and its next read past the deadline ends it.
class BudgetedFileIo : public Exiv2::FileIo
{
public:
    BudgetedFileIo(const std::string &path, QDeadlineTimer deadline) : Exiv2::FileIo(path), m_deadline(deadline) {}
    Exiv2::DataBuf read(long rcount) override
    {
        check();
        return Exiv2::FileIo::read(rcount);
    }
    long read(Exiv2::byte *buf, long rcount) override
    {
        check();
        return Exiv2::FileIo::read(buf, rcount);
    }
    int getb() override
    {
        check();
        return Exiv2::FileIo::getb();
    }
    int seek(long offset, Position pos) override
    {
        check();
        return Exiv2::FileIo::seek(offset, pos);
    }

private:
    void check() const
    {
        if (m_deadline.hasExpired())
            throw OverBudget();
    }
    QDeadlineTimer m_deadline;
};
} // namespace

QDateTime readExifDateTakenInto(const QString &path, int budgetMs, bool allowVideoReader, bool *overBudget);

QDateTime exifDateTaken(const QString &path)
{
    return readExifDateTaken(path, kMetadataBudgetMs, false).date;
}

ExifRead readExifDateTaken(const QString &path, int budgetMs, bool allowVideoReader)
{
    initialiseExiv2Once();
    ExifRead out;
    out.date = readExifDateTakenInto(path, budgetMs, allowVideoReader, &out.overBudget);
    return out;
}

QDateTime readExifDateTakenInto(const QString &path, int budgetMs, bool allowVideoReader, bool *overBudget)
{
    try {
        Exiv2::BasicIo::AutoPtr io(new BudgetedFileIo(std::string(QFile::encodeName(path).constData()),
                                                        QDeadlineTimer(budgetMs)));
        // The video reader of ISO media loops for minutes on some small crafted files.
        if (!allowVideoReader && Exiv2::ImageFactory::getType(*io) == kExiv2QuickTimeType)
            return {};
        auto image = Exiv2::ImageFactory::open(std::move(io));
        if (!image.get())
            return {};
        image->readMetadata();
        const Exiv2::ExifData &exif = image->exifData();
        for (const char *key : {"Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized", "Exif.Image.DateTime"}) {
            const auto it = exif.findKey(Exiv2::ExifKey(key));
            if (it == exif.end())
                continue;
            const QString text = QString::fromStdString(it->toString()).trimmed();
            QDateTime date = QDateTime::fromString(text, QStringLiteral("yyyy:MM:dd HH:mm:ss"));
            if (date.isValid() && date.date().year() > 1900)
                return date;
        }
    } catch (const OverBudget &) {
        *overBudget = true;
        LGLogError(QStringLiteral("SCANNER: Gave up reading the metadata of %1 after %2 ms").arg(path).arg(budgetMs));
    } catch (const std::exception &e) {
        // Truncated and corrupt files are common among photos; the caller falls back.
        LGLogInfo(QStringLiteral("SCANNER: No metadata in %1: %2").arg(path, QString::fromUtf8(e.what())));
    }
    return {};
}

} // namespace MediaInspector
