#include "catalogue/ContentSample.h"

#include "core/Digest.h"

#include <QFile>
#include <QtEndian>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QByteArray ContentSample::digest() const
{
    QByteArray d(16, Qt::Uninitialized);
    qToLittleEndian<qint64>(sample1, d.data());
    qToLittleEndian<qint64>(sample2, d.data() + 8);
    return d;
}

QString ContentSample::hex() const
{
    return QString::fromLatin1(digest().toHex());
}

QUuid ContentSample::toUuid() const
{
    return QUuid::fromRfc4122(digest());
}

ContentSample ContentSample::fromDigest(const QByteArray &d)
{
    if (d.size() != 16)
        return {};
    return {qFromLittleEndian<qint64>(d.constData()), qFromLittleEndian<qint64>(d.constData() + 8)};
}

ContentSample ContentSample::fromHex(const QString &hex)
{
    const QString h = hex.trimmed();
    if (h.size() != 32)
        return {};
    for (QChar c : h)
        if (!isxdigit(c.toLatin1()))
            return {};
    return fromDigest(QByteArray::fromHex(h.toLatin1()));
}

ContentSample ContentSample::fromUuid(const QUuid &uuid)
{
    return fromDigest(uuid.toRfc4122());
}

namespace ContentSampler {
namespace {

// Reads from the bytes already read from the start of the file when they cover the range.
bool preadFully(int fd, const QByteArray *head, char *buf, qint64 len, qint64 offset)
{
    if (head && offset >= 0 && offset + len <= head->size()) {
        std::memcpy(buf, head->constData() + offset, size_t(len));
        return true;
    }
    qint64 done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, buf + done, size_t(len - done), off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false; // the file is shorter than it was
        done += n;
    }
    return true;
}

ContentSample finish(const unsigned char *slices, qint64 length)
{
    unsigned char buf[4 * kSliceLength + 8];
    std::memcpy(buf, slices, 4 * kSliceLength);
    qToLittleEndian<qint64>(length, buf + 4 * kSliceLength);
    return ContentSample::fromDigest(Digest::md5(QByteArray::fromRawData(reinterpret_cast<const char *>(buf), sizeof buf)));
}

} // namespace

ContentSample sampleOfRegion(int fd, qint64 start, qint64 length, bool *ok, const QByteArray *head)
{
    if (ok)
        *ok = false;
    if ((fd < 0 && !head) || start < 0 || length < kMinimumRegionLength)
        return {};
    unsigned char slices[4 * kSliceLength];
    for (int k = 1; k <= 4; ++k) {
        const qint64 offset = start + (k * length) / 5;
        if (!preadFully(fd, head, reinterpret_cast<char *>(slices) + (k - 1) * kSliceLength, kSliceLength, offset))
            return {};
    }
    if (ok)
        *ok = true;
    return finish(slices, length);
}

ContentSample sampleOfBytes(const QByteArray &bytes)
{
    const qint64 length = bytes.size();
    if (length < kMinimumRegionLength)
        return {};
    unsigned char slices[4 * kSliceLength];
    for (int k = 1; k <= 4; ++k) {
        const qint64 offset = (k * length) / 5;
        std::memcpy(slices + (k - 1) * kSliceLength, bytes.constData() + offset, kSliceLength);
    }
    return finish(slices, length);
}

bool jpegImageDataRange(int fd, qint64 fileSize, qint64 *start, qint64 *length, bool *hasExif, const QByteArray *head)
{
    if (hasExif)
        *hasExif = false;
    unsigned char hdr[4];
    if (fileSize < 4 || !preadFully(fd, head, reinterpret_cast<char *>(hdr), 2, 0) || hdr[0] != 0xFF || hdr[1] != 0xD8)
        return false;
    // Walk the marker segments up to the first start-of-scan.
    qint64 pos = 2;
    qint64 sosEnd = -1;
    int guard = 0;
    while (pos + 4 <= fileSize && guard++ < 100000) {
        if (!preadFully(fd, head, reinterpret_cast<char *>(hdr), 2, pos))
            return false;
        if (hdr[0] != 0xFF)
            return false; // not at a marker: corrupt header
        const unsigned char marker = hdr[1];
        if (marker == 0xFF) { // fill byte
            pos += 1;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2; // markers without a length
            continue;
        }
        if (marker == 0xD9)
            return false; // end of image before any scan
        if (!preadFully(fd, head, reinterpret_cast<char *>(hdr + 2), 2, pos + 2))
            return false;
        const int segLen = (hdr[2] << 8) | hdr[3];
        if (segLen < 2)
            return false;
        if (marker == 0xDA) {
            sosEnd = pos + 2 + segLen;
            break;
        }
        if (marker == 0xE1 && hasExif && !*hasExif && segLen >= 8) {
            char id[6];
            if (preadFully(fd, head, id, 6, pos + 4) && std::memcmp(id, "Exif\0\0", 6) == 0)
                *hasExif = true;
        }
        pos += 2 + segLen;
    }
    if (sosEnd < 0 || sosEnd >= fileSize)
        return false;
    // The end-of-image marker: the last FF D9 of the file (trailing bytes after it are allowed).
    const qint64 floor = qMax(sosEnd, fileSize - kEndMarkerSearchLength);
    const qint64 tailLen = qMin<qint64>(fileSize - floor, 64 * 1024);
    QByteArray tail(int(tailLen), Qt::Uninitialized);
    qint64 eoi = -1;
    for (qint64 windowEnd = fileSize; windowEnd > floor && eoi < 0;) {
        const qint64 windowStart = qMax(floor, windowEnd - tailLen);
        const qint64 n = windowEnd - windowStart;
        if (!preadFully(fd, head, tail.data(), n, windowStart))
            return false;
        for (qint64 i = n - 2; i >= 0; --i) {
            if (uchar(tail[i]) == 0xFF && uchar(tail[i + 1]) == 0xD9) {
                eoi = windowStart + i;
                break;
            }
        }
        if (windowStart == floor)
            break;
        windowEnd = windowStart + 1; // overlap one byte so a marker across windows is seen
    }
    if (eoi < 0)
        return false;
    *start = sosEnd;
    *length = eoi - sosEnd;
    return true;
}

FileSamples sampleFile(const QString &path)
{
    FileSamples out;
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return out;
    }
    out.readable = true;
    out.size = st.st_size;
    if (out.size >= kMinimumScannedFileSize) {
#ifdef POSIX_FADV_RANDOM
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
#endif
        bool ok = false;
        out.whole = sampleOfRegion(fd, 0, out.size, &ok);
        if (!ok)
            out.readable = false;
        qint64 start = 0, len = 0;
        if (ok && jpegImageDataRange(fd, out.size, &start, &len))
            out.jpegData = sampleOfRegion(fd, start, len);
    }
    ::close(fd);
    return out;
}

bool sameContents(const QString &a, const QString &b, bool jpegData)
{
    struct Region
    {
        int fd = -1;
        qint64 start = 0, length = -1;
        ~Region()
        {
            if (fd >= 0)
                ::close(fd);
        }
        bool open(const QString &path, bool jpeg)
        {
            fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
            struct stat st;
            if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
                return false;
            length = st.st_size;
            return !jpeg || jpegImageDataRange(fd, st.st_size, &start, &length);
        }
    } x, y;
    if (!x.open(a, jpegData) || !y.open(b, jpegData) || x.length != y.length)
        return false;
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(x.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    ::posix_fadvise(y.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    constexpr qint64 kChunk = 1 << 20;
    QByteArray bx(int(qMin(kChunk, qMax<qint64>(x.length, 1))), Qt::Uninitialized), by(bx.size(), Qt::Uninitialized);
    for (qint64 done = 0; done < x.length;) {
        const qint64 n = qMin<qint64>(bx.size(), x.length - done);
        if (!preadFully(x.fd, nullptr, bx.data(), n, x.start + done) || !preadFully(y.fd, nullptr, by.data(), n, y.start + done)
            || std::memcmp(bx.constData(), by.constData(), size_t(n)) != 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace ContentSampler
