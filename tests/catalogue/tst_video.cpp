// Videos: their length and recording date come from the container (FFmpeg's libavformat) and
// reach the catalogue through the scanner; their first frame makes a thumbnail; the reader
// follows nothing outside the file and stops at its time budget.
#include "CatalogueTestSupport.h"
#include "VideoTestSupport.h"
#include "catalogue/MediaInspector.h"

#include <QtTest>

using namespace CatalogueTest;

namespace {
bool near(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 && qAbs(a.blue() - b.blue()) < 40;
}
} // namespace

class TestVideo : public QObject, private ScratchFolder
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { enterScratchHome(); }
    void init() { startFresh(); }
    void cleanupTestCase() { freshCatalogue(); }

    void scannerRecordsDurationAndRecordingDate()
    {
        QDir().mkpath(p("Clips"));
        VideoTest::Spec dated;
        dated.creationTime = QStringLiteral("2019-06-01T12:34:56.000000Z");
        QVERIFY(VideoTest::write(p("Clips/dated.mp4"), dated));
        VideoTest::Spec longer;
        longer.frames = 40;
        longer.creationTime = QStringLiteral("2017-02-03T04:05:06.000000Z");
        QVERIFY(VideoTest::write(p("Clips/longer.mkv"), longer, "matroska"));
        VideoTest::Spec undated;
        QVERIFY(VideoTest::write(p("Clips/undated.mp4"), undated));
        for (const char *name : {"Clips/dated.mp4", "Clips/longer.mkv", "Clips/undated.mp4"})
            QVERIFY(settleFile(p(QString::fromLatin1(name)), 7200));

        QVERIFY(addFolderAndScan(p("Clips")));

        FileData *d = rec("Clips/dated.mp4");
        QVERIFY(d && d->isVideo());
        QVERIFY2(qAbs(d->duration() - 2.5) < 0.2, qPrintable(QString::number(d->duration())));
        QCOMPARE(d->dateTaken(), QDateTime(QDate(2019, 6, 1), QTime(12, 34, 56), QTimeZone::utc()));
        FileData *l = rec("Clips/longer.mkv");
        QVERIFY(l && l->isVideo());
        QVERIFY2(qAbs(l->duration() - 4.0) < 0.2, qPrintable(QString::number(l->duration())));
        QCOMPARE(l->dateTaken(), QDateTime(QDate(2017, 2, 3), QTime(4, 5, 6), QTimeZone::utc()));
        // Without a date in the container, the file's modification time stands in.
        FileData *u = rec("Clips/undated.mp4");
        QVERIFY(u && u->isVideo());
        QVERIFY(u->duration() > 2);
        QCOMPARE(u->dateTaken(), u->dateModified());
        QCOMPARE(rec("Clips")->numberOfVideos(), 3);

        // The values survive a restart of the catalogue.
        QVERIFY(DataStore::save());
        FileManager::resetForTesting();
        DataStore::shutdown();
        QVERIFY2(qAbs(rec("Clips/dated.mp4")->duration() - 2.5) < 0.2, "duration not stored");
    }

    void firstFrameMakesTheThumbnail()
    {
        VideoTest::Spec spec;
        spec.firstFrame = QColor(220, 30, 30);
        spec.otherFrames = QColor(20, 40, 220);
        QVERIFY(VideoTest::write(p("first.mp4"), spec));
        const QImage image = MediaInspector::videoFirstFrame(p("first.mp4"), 112);
        QVERIFY(!image.isNull());
        QCOMPARE(image.width(), 112); // 160x96 fitted into 112x112
        QCOMPARE(image.height(), 67);
        QVERIFY2(near(image.pixelColor(image.width() / 2, image.height() / 2), spec.firstFrame),
                 qPrintable(image.pixelColor(image.width() / 2, image.height() / 2).name()));

        // Recorded sideways, shown upright.
        spec.rotation = 90;
        QVERIFY(VideoTest::write(p("sideways.mp4"), spec));
        const QImage upright = MediaInspector::videoFirstFrame(p("sideways.mp4"), 112);
        QVERIFY(upright.height() > upright.width());

        // What is not a video gives no image, and no crash.
        QVERIFY(writeFile(p("junk.mp4"), QByteArray("\0\0\0\x18" "ftypmp42", 12) + noise(5000, 3)));
        QVERIFY(MediaInspector::videoFirstFrame(p("junk.mp4"), 112).isNull());
    }

    void readerFollowsNothingOutsideTheFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("playlist") << QByteArray("#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\nhttp://127.0.0.1:9/a.ts\n"
                                                "#EXTINF:10,\n/etc/passwd\n#EXT-X-ENDLIST\n");
        QTest::newRow("concat list") << QByteArray("ffconcat version 1.0\nfile '/etc/passwd'\n");
        QTest::newRow("image sequence") << QByteArray("\x89PNG\r\n\x1a\n", 8);
    }

    void readerFollowsNothingOutsideTheFile()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeFile(p("trick.mp4"), content));
        const MediaInspector::VideoInfo info = MediaInspector::videoInfo(p("trick.mp4"));
        QVERIFY(!info.readable);
        QCOMPARE(info.durationSeconds, 0.0);
        QVERIFY(MediaInspector::videoFirstFrame(p("trick.mp4"), 112).isNull());
    }

    void readingStopsAtTheBudget()
    {
        VideoTest::Spec spec;
        QVERIFY(VideoTest::write(p("slow.mp4"), spec));
        const MediaInspector::VideoInfo spent = MediaInspector::videoInfo(p("slow.mp4"), 0);
        QVERIFY(spent.overBudget);
        QVERIFY(!spent.readable);
        const MediaInspector::VideoInfo fine = MediaInspector::videoInfo(p("slow.mp4"));
        QVERIFY(fine.readable);
        QVERIFY(!fine.overBudget);
    }
};

QTEST_GUILESS_MAIN(TestVideo)
#include "tst_video.moc"
