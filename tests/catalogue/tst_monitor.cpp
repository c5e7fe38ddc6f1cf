// Folder monitoring: a new photo in a watched folder (or in a folder made after the scan) is
// found without anyone asking for a rescan.
#include "CatalogueTestSupport.h"
#include "catalogue/FolderMonitor.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace CatalogueTest;

class TestMonitor : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_base;

    FileData *rec(const QString &rel) const
    {
        return DataStore::instance()->fileDataForPathKey(m_base + QLatin1Char('/') + rel);
    }

private Q_SLOTS:
    void initTestCase()
    {
        isolateHomeAndEnterTestMode();
        m_base = QFileInfo(m_dir.path()).canonicalFilePath();
    }
    void init() { freshCatalogue(); }
    void cleanupTestCase() { freshCatalogue(); }

    void newPhotoIsNoticed()
    {
        QVERIFY(writeFile(m_base + QStringLiteral("/Watched/Old/old.jpg"), makeJpeg(6000, 1).bytes));
        FileManager::addCustomFolder(m_base + QStringLiteral("/Watched"));
        QVERIFY(FileManager::waitUntilIdle(30000));
        QVERIFY(rec(QStringLiteral("Watched/Old/old.jpg")));
        QVERIFY(FileManager::isMonitoring(m_base + QStringLiteral("/Watched")));
        QVERIFY(FolderMonitor::instance()->isWatching(m_base + QStringLiteral("/Watched/Old")));

        // A photo copied in (written now: it settles before it is read).
        QVERIFY(writeFile(m_base + QStringLiteral("/Watched/Old/new.jpg"), makeJpeg(6000, 2).bytes, 0));
        QTRY_VERIFY_WITH_TIMEOUT(rec(QStringLiteral("Watched/Old/new.jpg"))
                                     && rec(QStringLiteral("Watched/Old/new.jpg"))->needsUpload() == NeedsUpload::Waiting,
                                 15000);

        // A new folder with a photo inside.
        QVERIFY(writeFile(m_base + QStringLiteral("/Watched/Fresh/Inner/f.jpg"), makeJpeg(6000, 3).bytes, 0));
        QTRY_VERIFY_WITH_TIMEOUT(rec(QStringLiteral("Watched/Fresh/Inner/f.jpg"))
                                     && rec(QStringLiteral("Watched/Fresh/Inner/f.jpg"))->needsUpload() == NeedsUpload::Waiting,
                                 15000);
        QTRY_VERIFY_WITH_TIMEOUT(FolderMonitor::instance()->isWatching(m_base + QStringLiteral("/Watched/Fresh/Inner")), 15000);

        // A deleted photo is noticed too, and its record kept as missing.
        QVERIFY(QFile::remove(m_base + QStringLiteral("/Watched/Old/old.jpg")));
        QTRY_VERIFY_WITH_TIMEOUT(rec(QStringLiteral("Watched/Old/old.jpg"))->isMissingOnDisk(), 15000);

        // Removing the source stops watching it.
        FileManager::removeCustomFolder(m_base + QStringLiteral("/Watched"));
        QVERIFY(FileManager::waitUntilIdle(30000));
        QVERIFY(!FolderMonitor::instance()->isWatching(m_base + QStringLiteral("/Watched/Old")));
    }

    void eventsAreCollectedBeforeDelivery()
    {
        QTemporaryDir dir;
        QStringList delivered;
        int deliveries = 0;
        FolderMonitor *monitor = FolderMonitor::instance();
        monitor->stopAll();
        monitor->setHandler([&](const QStringList &folders) {
            ++deliveries;
            delivered += folders;
        });
        QVERIFY(monitor->watchFolder(dir.path()));
        for (int i = 0; i < 20; ++i)
            QVERIFY(writeFile(dir.filePath(QStringLiteral("f%1.jpg").arg(i)), QByteArray("x"), 0));
        QTRY_COMPARE_WITH_TIMEOUT(deliveries, 1, 10000);
        QCOMPARE(delivered, QStringList{dir.path()});
        QTest::qWait(FolderMonitor::kCollectionMs + 300);
        QCOMPARE(deliveries, 1); // twenty events, one delivery
        monitor->stopAll();
        monitor->setHandler(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
