// Files that anyone can drop into a watched folder: none of them may stall the scan or keep the
// photos beside them from being catalogued.
#include "CatalogueTestSupport.h"
#include "catalogue/MediaInspector.h"

#include <QtTest>
#include <sys/stat.h>

using namespace CatalogueTest;

namespace {
// 90 bytes of ISO media with an HEIC brand on which the metadata reader of ISO video looped for
// minutes (boxes of size 0xFFFFFFFF that it never leaves).
QByteArray loopingIsoMedia(const char *brand)
{
    QByteArray b("\x00\x00\x00\x18\x66\x74\x79\x70\x68\x65\x69\x63\x00\x00\x00\x00\x6d\x69\x66\x31\x68\x65\x69\x63"
                 "\xff\xff\xff\xff\x6d\x76\x68\x64\x0a\x7c\xcd\x00\x00\x00\x08\x69\x69\x6e\x66\x00\x00\x00\x00\x6d"
                 "\x65\x74\x61\xff\xff\xff\xff\x66\x72\x65\x65\x33\xa7\x00\x00\x00\x10\x74\x6b\x68\x64\x4c\x48\xa3"
                 "\x9c\x36\x96\x40\x69\x48\x10\xa1\x69\x00\x00\x00\x08\x75\x75\x69\x64\x00",
                 90);
    b.replace(8, 4, QByteArray(brand, 4));
    return b;
}
} // namespace

class TestHostile : public QObject, private ScratchFolder
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { enterScratchHome(); }
    void init() { startFresh(); }
    void cleanupTestCase() { freshCatalogue(); }

    void metadataReadingEndsAtItsBudget()
    {
        // Let the looping video reader at the file: the budget ends it.
        QVERIFY(writeFile(p("odd.mov"), loopingIsoMedia("qt  ")));
        const MediaInspector::ExifRead read = MediaInspector::readExifDateTaken(p("odd.mov"), 200, true);
        QVERIFY(read.overBudget);
        QVERIFY(!read.date.isValid());
        // A photo's date is read well within it.
        QVERIFY(writeFile(p("fine.jpg"), makeJpeg(6000, 12).bytes));
        QVERIFY(setExifDate(p("fine.jpg"), "2019:03:04 05:06:07"));
        const MediaInspector::ExifRead fine = MediaInspector::readExifDateTaken(p("fine.jpg"), MediaInspector::kMetadataBudgetMs, false);
        QVERIFY(!fine.overBudget);
        QCOMPARE(fine.date, QDateTime(QDate(2019, 3, 4), QTime(5, 6, 7)));
    }

    void loopingIsoMediaDoesNotHoldTheScan_data()
    {
        QTest::addColumn<QByteArray>("brand");
        QTest::newRow("heic") << QByteArray("heic");
        QTest::newRow("mif1") << QByteArray("mif1");
        QTest::newRow("heix") << QByteArray("heix");
    }

    void loopingIsoMediaDoesNotHoldTheScan()
    {
        QFETCH(QByteArray, brand);
        // Enough of them that readers caught for seconds each would hold the scan past its wait.
        for (int i = 0; i < 40; ++i) {
            QByteArray bytes = loopingIsoMedia(brand.constData());
            bytes[89] = char(i);
            QVERIFY(writeFile(p(QStringLiteral("Camera/odd%1.heic").arg(i)), bytes));
        }
        QVERIFY(writeFile(p("Camera/beside.jpg"), makeJpeg(6000, 11).bytes));
        QVERIFY(setExifDate(p("Camera/beside.jpg"), "2019:03:04 05:06:07"));
        QVERIFY(settleFile(p("Camera/beside.jpg")));
        QVERIFY(addFolderAndScan(p("Camera")));
        // The odd file is catalogued as what its header says, dated by its modification time.
        FileData *odd = rec("Camera/odd7.heic");
        QVERIFY(odd);
        QVERIFY(odd->isPhoto());
        QCOMPARE(odd->needsScan(), NeedsScan::Done);
        QVERIFY(odd->dateTaken().isValid());
        QCOMPARE(odd->needsUpload(), NeedsUpload::TooSmall); // a few hundred bytes: never sent
        FileData *beside = rec("Camera/beside.jpg");
        QVERIFY(beside);
        QCOMPARE(beside->needsUpload(), NeedsUpload::Waiting);
        QCOMPARE(beside->dateTaken().toLocalTime(), QDateTime(QDate(2019, 3, 4), QTime(5, 6, 7)));
    }

    void namesThatAreNotUtf8AreCountedNotHidden()
    {
        auto writeRaw = [](const QByteArray &path, const QByteArray &bytes) {
            FILE *f = fopen(path.constData(), "wb");
            if (!f)
                return false;
            fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
            return fclose(f) == 0;
        };
        const QByteArray folder = QFile::encodeName(p("Latin"));
        QVERIFY(QDir().mkpath(p("Latin")));
        QVERIFY(writeRaw(folder + "/caf\xe9.jpg", makeJpeg(6000, 21).bytes));
        QVERIFY(writeRaw(folder + "/notes\xe9.txt", "not a photo"));
        QVERIFY(::mkdir((folder + "/\xe9t\xe9").constData(), 0700) == 0);
        QVERIFY(writeFile(p("Latin/plain.jpg"), makeJpeg(6000, 22).bytes));
        QVERIFY(addFolderAndScan(p("Latin")));
        QCOMPARE(rec("Latin/plain.jpg")->needsUpload(), NeedsUpload::Waiting);

        QList<FileManager::SkippedFile> skipped = FileManager::skippedFiles();
        QCOMPARE(skipped.size(), 2);
        std::sort(skipped.begin(), skipped.end(), [](const auto &a, const auto &b) { return a.isFolder < b.isFolder; });
        QCOMPARE(skipped.at(0).folder, p("Latin"));
        QCOMPARE(skipped.at(0).name, QStringLiteral("caf\uFFFD.jpg"));
        QVERIFY(!skipped.at(0).isFolder);
        QCOMPARE(skipped.at(1).name, QStringLiteral("\uFFFDt\uFFFD"));
        QVERIFY(skipped.at(1).isFolder);

        // Renamed, the photo is backed up like any other and no longer counted.
        QVERIFY(::rename((folder + "/caf\xe9.jpg").constData(), QFile::encodeName(p("Latin/cafe.jpg")).constData()) == 0);
        QVERIFY(rescanFolder(rec("Latin"), false));
        QVERIFY(rec("Latin/cafe.jpg"));
        QCOMPARE(FileManager::skippedFiles().size(), 1);
        // An excluded folder's names are not the user's concern.
        rec("Latin")->setExcludedFromScan(true);
        QVERIFY(FileManager::skippedFiles().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
