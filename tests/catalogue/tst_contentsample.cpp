// Content samples: the exact bytes hashed, the size limits, and the JPEG image-data region.
#include "CatalogueTestSupport.h"
#include "catalogue/ContentSample.h"
#include "catalogue/MediaInspector.h"
#include "catalogue/SampleIndex.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

using namespace CatalogueTest;

namespace {
// Written from the definition, independently of the sampler.
QByteArray referenceDigest(const QByteArray &region)
{
    const qint64 len = region.size();
    QByteArray hashed;
    for (int k = 1; k <= 4; ++k)
        hashed.append(region.mid(qsizetype((k * len) / 5), 512));
    char lenBytes[8];
    qToLittleEndian<qint64>(len, lenBytes);
    hashed.append(lenBytes, 8);
    Q_ASSERT(hashed.size() == 2056);
    return QCryptographicHash::hash(hashed, QCryptographicHash::Md5);
}
} // namespace

class TestContentSample : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { isolateHomeAndEnterTestMode(); }

    void regionSamplesMatchDefinition_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("hasSample");
        QTest::newRow("2559") << 2559 << false;
        QTest::newRow("2560") << 2560 << true;
        QTest::newRow("2561") << 2561 << true;
        QTest::newRow("odd large") << 1000003 << true;
    }
    void regionSamplesMatchDefinition()
    {
        QFETCH(int, length);
        QFETCH(bool, hasSample);
        const QByteArray bytes = noise(length, 7);
        const ContentSample s = ContentSampler::sampleOfBytes(bytes);
        QCOMPARE(!s.isNull(), hasSample);
        if (hasSample) {
            QCOMPARE(s.digest(), referenceDigest(bytes));
            // The file-based path reads the same slices.
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("r.bin"));
            QVERIFY(writeFile(path, QByteArray(100, 'x') + bytes));
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
            bool ok = false;
            QCOMPARE(ContentSampler::sampleOfRegion(fd, 100, length, &ok), s);
            QVERIFY(ok);
            // A region that runs past the end of the file (truncated meanwhile) has no sample.
            QVERIFY(ContentSampler::sampleOfRegion(fd, 100 + length / 2, length, &ok).isNull());
            QVERIFY(!ok);
            ::close(fd);
        }
    }

    void halvesAndUuidAgree()
    {
        const QByteArray digest = QByteArray::fromHex("00112233445566778899aabbccddeeff");
        const ContentSample s = ContentSample::fromDigest(digest);
        QCOMPARE(s.sample1, qint64(0x7766554433221100LL));
        QCOMPARE(s.sample2, qint64(0xffeeddccbbaa9988ULL));
        QVERIFY(s.sample2 < 0); // signed halves
        QCOMPARE(s.digest(), digest);
        QCOMPARE(s.hex(), QStringLiteral("00112233445566778899aabbccddeeff"));
        QCOMPARE(ContentSample::fromUuid(s.toUuid()), s);
        QCOMPARE(s.toUuid().toRfc4122(), digest);
        QCOMPARE(ContentSample::fromHex(QStringLiteral("00112233445566778899AABBCCDDEEFF")), s);
        QVERIFY(ContentSample::fromHex(QStringLiteral("0011")).isNull());
        QVERIFY(ContentSample::fromHex(QStringLiteral("zz112233445566778899aabbccddeeff")).isNull());
    }

    void scannerSamplesOnlyFromMinimumSize()
    {
        QTemporaryDir dir;
        const QString below = dir.filePath(QStringLiteral("below.jpg"));
        const QString at = dir.filePath(QStringLiteral("at.jpg"));
        QVERIFY(writeFile(below, noise(2560, 1)));
        QVERIFY(writeFile(at, noise(2561, 1)));
        const auto b = ContentSampler::sampleFile(below);
        QVERIFY(b.readable);
        QVERIFY(b.whole.isNull());
        const auto a = ContentSampler::sampleFile(at);
        QVERIFY(a.readable);
        QCOMPARE(a.whole.digest(), referenceDigest(noise(2561, 1)));
        const auto missing = ContentSampler::sampleFile(dir.filePath(QStringLiteral("nope.jpg")));
        QVERIFY(!missing.readable);
    }

    void jpegImageData()
    {
        QTemporaryDir dir;
        // With image data: the second sample covers exactly the bytes between the scan header
        // and the end marker.
        const Jpeg j = makeJpeg(5000, 3);
        const QString path = dir.filePath(QStringLiteral("a.jpg"));
        QVERIFY(writeFile(path, j.bytes + QByteArray("trailing")));
        auto s = ContentSampler::sampleFile(path);
        QCOMPARE(s.jpegData.digest(), referenceDigest(j.bytes.mid(j.imageStart, j.imageLength)));
        QVERIFY(s.whole != s.jpegData);
        QCOMPARE(MediaInspector::kindOfFile(path), MediaKind::Photo);

        // Metadata edits do not change the image-data sample (that is what it is for).
        const Jpeg j2 = makeJpeg(5000, 3);
        QByteArray edited = j2.bytes;
        edited.insert(20, QByteArray("\xFF\xFE\x00\x0E" "comment text", 16));
        const QString path2 = dir.filePath(QStringLiteral("b.jpg"));
        QVERIFY(writeFile(path2, edited));
        auto s2 = ContentSampler::sampleFile(path2);
        QCOMPARE(s2.jpegData, s.jpegData);
        QVERIFY(s2.whole != s.whole);

        // No start of scan, no end marker, too little image data: no image-data sample.
        const QString noScan = dir.filePath(QStringLiteral("noscan.jpg"));
        QVERIFY(writeFile(noScan, makeJpeg(5000, 4, false).bytes));
        auto n = ContentSampler::sampleFile(noScan);
        QVERIFY(!n.whole.isNull());
        QVERIFY(n.jpegData.isNull());
        const QString truncated = dir.filePath(QStringLiteral("truncated.jpg"));
        QVERIFY(writeFile(truncated, makeJpeg(5000, 5, true, false).bytes));
        QVERIFY(ContentSampler::sampleFile(truncated).jpegData.isNull());
        const QString shortData = dir.filePath(QStringLiteral("short.jpg"));
        QVERIFY(writeFile(shortData, makeJpeg(2559, 6).bytes + noise(3000, 9)));
        // The last end marker counts; with trailing noise after a short image the region is
        // image + ... up to no further marker: noise has no 0xFF so the region is 2,559 bytes.
        QVERIFY(ContentSampler::sampleFile(shortData).jpegData.isNull());
        const QString exact = dir.filePath(QStringLiteral("exact.jpg"));
        const Jpeg e = makeJpeg(2560, 7);
        QVERIFY(writeFile(exact, e.bytes));
        QCOMPARE(ContentSampler::sampleFile(exact).jpegData.digest(), referenceDigest(e.bytes.mid(e.imageStart, 2560)));
        // The end marker is looked for near the end only: not through a sparse file of zeros.
        const QString sparse = dir.filePath(QStringLiteral("sparse.jpg"));
        QVERIFY(writeFile(sparse, j.bytes));
        const qint64 reach = ContentSampler::kEndMarkerSearchLength;
        QVERIFY(::truncate(QFile::encodeName(sparse).constData(), off_t(j.bytes.size() - 2 + reach - 1)) == 0);
        QCOMPARE(ContentSampler::sampleFile(sparse).jpegData, s.jpegData); // just within
        QVERIFY(::truncate(QFile::encodeName(sparse).constData(), off_t(j.bytes.size() - 2 + reach + 1)) == 0);
        QVERIFY(ContentSampler::sampleFile(sparse).jpegData.isNull());
        // A zero-byte file.
        const QString empty = dir.filePath(QStringLiteral("empty.jpg"));
        QVERIFY(writeFile(empty, QByteArray()));
        auto z = ContentSampler::sampleFile(empty);
        QVERIFY(z.whole.isNull() && z.jpegData.isNull());
        QCOMPARE(MediaInspector::kindOfFile(empty), MediaKind::Unknown);
    }

    void typeByContent()
    {
        QCOMPARE(MediaInspector::kindFromHeader(QByteArray("\x89PNG\r\n\x1a\n....", 12)), MediaKind::Photo);
        QCOMPARE(MediaInspector::kindFromHeader(QByteArray("\0\0\0\x18" "ftypheic", 12)), MediaKind::Photo);
        QCOMPARE(MediaInspector::kindFromHeader(QByteArray("\0\0\0\x18" "ftypqt  ", 12)), MediaKind::Video);
        QCOMPARE(MediaInspector::kindFromHeader(QByteArray("\0\0\0\x18" "ftypisom", 12)), MediaKind::Video);
        QCOMPARE(MediaInspector::kindFromHeader(QByteArray("II*\0\x08\0\0\0", 8)), MediaKind::Photo);
        QCOMPARE(MediaInspector::kindFromHeader(QByteArray("RIFF\0\0\0\0AVI LIST", 16)), MediaKind::Video);
        QCOMPARE(MediaInspector::kindFromHeader(QByteArray("<html><body>")), MediaKind::Unknown);
        QVERIFY(MediaInspector::hasCandidateExtension(QStringLiteral("IMG_0001.JPG")));
        QVERIFY(MediaInspector::hasCandidateExtension(QStringLiteral("clip.MoV")));
        QVERIFY(!MediaInspector::hasCandidateExtension(QStringLiteral("notes.txt")));
        QVERIFY(!MediaInspector::hasCandidateExtension(QStringLiteral(".jpg")));
        QVERIFY(!MediaInspector::hasCandidateExtension(QStringLiteral("jpg")));
    }

    // Every sample answers the values given with it, in the order given: negative halves, halves
    // that share the first or the second part, samples given many times.
    void indexAnswersEveryValueInOrderGiven()
    {
        QRandomGenerator rng(7);
        const qint64 firsts[] = {LLONG_MIN, -2, -1, 0, 1, 0x100, 0x10000, LLONG_MAX};
        std::vector<std::pair<ContentSample, int>> entries;
        for (int i = 0; i < 5000; ++i) {
            const qint64 first = i % 3 ? qint64(rng.generate64()) : firsts[rng.bounded(8)];
            entries.push_back({{first, qint64(rng.bounded(4)) - 2}, i});
        }
        for (int i = 0; i < 2000; ++i)
            entries.push_back({entries[rng.bounded(5000)].first, 5000 + i});
        SampleIndex<int> index;
        index.build(entries);
        for (const auto &[sample, ignored] : entries) {
            QList<int> expected;
            for (const auto &[s, value] : entries)
                if (s == sample)
                    expected << value;
            QCOMPARE(index.values(sample), expected);
        }
        QVERIFY(index.values(ContentSample{3, 3}).isEmpty());
    }

    void exifDate()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("dated.jpg"));
        QVERIFY(writeFile(path, makeJpeg(4000, 11).bytes));
        QVERIFY(!MediaInspector::exifDateTaken(path).isValid());
        QVERIFY(setExifDate(path, "2019:07:14 10:20:30"));
        QCOMPARE(MediaInspector::exifDateTaken(path), QDateTime(QDate(2019, 7, 14), QTime(10, 20, 30)));
        // Garbage is no crash and no date.
        const QString junk = dir.filePath(QStringLiteral("junk.jpg"));
        QVERIFY(writeFile(junk, QByteArray("\xFF\xD8\xFF\xE1\xFF\xFF garbage", 16)));
        QVERIFY(!MediaInspector::exifDateTaken(junk).isValid());
    }
};

QTEST_GUILESS_MAIN(TestContentSample)
#include "tst_contentsample.moc"
