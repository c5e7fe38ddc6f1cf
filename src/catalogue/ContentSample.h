#pragma once
// Content samples: how the catalogue recognises a file whatever its name.
//
// A sample is the MD5 of four 512-byte slices of a region, read at
// start + floor(k * length / 5) for k = 1..4, followed by the region's length as a
// little-endian 64-bit integer (2,056 bytes hashed). Regions shorter than 2,560 bytes have no
// sample. It is taken over the whole file and over the JPEG image data (from the end of the
// start-of-scan header to the end-of-image marker).
//
// The 16 digest bytes are kept as two signed 64-bit halves: `sample1` holds bytes 0..7 and
// `sample2` bytes 8..15, each read little-endian. toUuid()/fromUuid() turn the same 16 bytes
// into a QUuid (bytes in digest order), so the de-duplication index and the records agree.
#include <QByteArray>
#include <QHashFunctions>
#include <QString>
#include <QUuid>
#include <QtGlobal>

struct ContentSample
{
    qint64 sample1 = 0;
    qint64 sample2 = 0;

    bool isNull() const { return sample1 == 0 && sample2 == 0; }
    bool operator==(const ContentSample &o) const { return sample1 == o.sample1 && sample2 == o.sample2; }
    bool operator!=(const ContentSample &o) const { return !(*this == o); }

    // The 16 digest bytes, in digest order.
    QByteArray digest() const;
    // Lower-case hex of the digest (as MD5 checksums are usually written).
    QString hex() const;
    QUuid toUuid() const;

    static ContentSample fromDigest(const QByteArray &digest16);
    // Accepts 32 hex digits (case-insensitive); a null sample for anything else.
    static ContentSample fromHex(const QString &hex);
    static ContentSample fromUuid(const QUuid &uuid);
};

inline size_t qHash(const ContentSample &s, size_t seed = 0) noexcept
{
    return qHashMulti(seed, s.sample1, s.sample2);
}

namespace ContentSampler {
// Smallest region that has a sample, and the smallest file the scanner samples.
constexpr qint64 kMinimumRegionLength = 2560;
constexpr qint64 kMinimumScannedFileSize = 2561;
constexpr int kSliceLength = 512;
// How far from the end of a JPEG its end marker is looked for. A photo's marker is at the end or
// before a short trailer (a preview, a maker's note, a video clip, where the two bytes turn up
// every few dozen KiB); a file with none there, such as a sparse file of zeros, is not walked
// through to its beginning.
constexpr qint64 kEndMarkerSearchLength = 64LL * 1024 * 1024;

// Sample of the whole region [start, start+length) of an open file descriptor. Null (and
// *ok=false) when the region is too short or a read comes back short (file truncated meanwhile).
// `head`, when given, holds the first bytes of the file, already read: ranges inside it are
// not read again.
ContentSample sampleOfRegion(int fd, qint64 start, qint64 length, bool *ok = nullptr, const QByteArray *head = nullptr);
// The same over bytes held in memory (tests, small regions).
ContentSample sampleOfBytes(const QByteArray &bytes);

// Where the JPEG image data of an open file lies: from the end of the first start-of-scan
// header to the end-of-image marker (exclusive). false when the file is no JPEG, has no
// start-of-scan segment or no end marker after it within kEndMarkerSearchLength of the end. *hasExif (when given) tells whether an
// APP1 "Exif" segment came before the scan.
bool jpegImageDataRange(int fd, qint64 fileSize, qint64 *start, qint64 *length, bool *hasExif = nullptr,
                        const QByteArray *head = nullptr);

struct FileSamples
{
    bool readable = false;      // the file could be opened and read
    qint64 size = 0;            // size at sampling time
    ContentSample whole;        // null below the minimum
    ContentSample jpegData;     // null for non-JPEGs and short image data
};
// Opens the file and takes both samples. Files below kMinimumScannedFileSize are not sampled
// (readable stays true when the file exists).
FileSamples sampleFile(const QString &path);

// Whether two files hold the same bytes throughout: the whole files, or (`jpegData`) their JPEG
// image data. Samples only tell two files apart; this tells them equal. False when either
// cannot be read.
bool sameContents(const QString &a, const QString &b, bool jpegData);
} // namespace ContentSampler
