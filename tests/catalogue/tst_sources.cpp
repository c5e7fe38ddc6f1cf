// The sources configuration, the path index, the platform answers about photo libraries and
// Messages (through a fake), Photos authorisation and removable devices.
#include "CatalogueTestSupport.h"
#include "catalogue/LMRPhotoKitLibraryManager.h"
#include "platform/DeviceDetection.h"
#include "platform/DeviceMonitor.h"
#include "platform/PhotoLibraries.h"
#include "platform/StandardPaths.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace CatalogueTest;

namespace {
struct FakeEnvironment : PhotoLibraryEnvironment
{
    QHash<QString, QString> apps;
    QString messagesDb, attachments, dropbox;
    int status = NotDetermined;
    int answer = Authorized;
    int requests = 0;
    QString applicationPath(const QString &name) const override { return apps.value(name); }
    QString messagesDatabasePath() const override { return messagesDb; }
    QString messagesAttachmentsPath() const override { return attachments; }
    QString dropboxFolder() const override { return dropbox; }
    int photoLibraryAuthorizationStatus() const override { return status; }
    void requestPhotoLibraryAuthorization(std::function<void(int)> done) override
    {
        ++requests;
        const int a = answer;
        QMetaObject::invokeMethod(qApp, [done, a] { done(a); }, Qt::QueuedConnection);
    }
};
} // namespace

class TestSources : public QObject, private ScratchFolder
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { enterScratchHome(); }
    void init()
    {
        freshCatalogue();
        // Sources are configured here, not scanned.
        CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return false; };
    }
    void cleanup()
    {
        PhotoLibraryEnvironment::setInstance(nullptr);
        DeviceDetection::setSystemPathsForTesting(QString(), QString());
    }
    void cleanupTestCase() { freshCatalogue(); }

    void customFoldersAndFiltering()
    {
        QDir().mkpath(m_base + QStringLiteral("/A/B"));
        QDir().mkpath(m_base + QStringLiteral("/AB"));
        QVERIFY(QFile::link(m_base + QStringLiteral("/A"), m_base + QStringLiteral("/LinkToA")));
        FileManager::addCustomFolder(m_base + QStringLiteral("/A/B"));
        FileManager::addCustomFolder(m_base + QStringLiteral("/AB"));
        FileManager::addCustomFolder(m_base + QStringLiteral("/LinkToA")); // the real path is kept
        FileManager::addCustomFolder(m_base + QStringLiteral("/A/")); // already watched
        const QStringList expected{m_base + QStringLiteral("/A/B"), m_base + QStringLiteral("/AB"), m_base + QStringLiteral("/A")};
        QCOMPARE(FileManager::customFolders(), expected);
        QCOMPARE(FileManager::allSources(), expected);
        // "/AB" is not inside "/A": prefixes are compared by whole path components.
        QCOMPARE(FileManager::allSourcesFiltered(), (QStringList{m_base + QStringLiteral("/AB"), m_base + QStringLiteral("/A")}));
        QCOMPARE(Settings::orderedSetForKey(QStringLiteral("ImportCustomFoldersEver")).size(), 3);
        QVERIFY(FileManager::isPathInSources(m_base + QStringLiteral("/A/B/C/x.jpg")));
        QVERIFY(!FileManager::isPathInSources(m_base + QStringLiteral("/ABC")));

        FileManager::removeCustomFolder(m_base + QStringLiteral("/A"));
        QCOMPARE(FileManager::customFolders(), (QStringList{m_base + QStringLiteral("/A/B"), m_base + QStringLiteral("/AB")}));
        QCOMPARE(Settings::orderedSetForKey(QStringLiteral("ImportCustomFoldersEver")).size(), 3);
        QVERIFY(FileManager::waitUntilIdle(10000));
        QVERIFY(DataStore::instance()->fileDataForPathKey(m_base + QStringLiteral("/A"))); // records stay
    }

    void pathIndexIsCaseSensitive()
    {
        QDir().mkpath(m_base + QStringLiteral("/Case/photos"));
        QDir().mkpath(m_base + QStringLiteral("/Case/Photos"));
        QVERIFY(!FileManager::fileDataForPath(m_base + QStringLiteral("/Case/photos"), 0, false));
        FileData *lower = FileManager::fileDataForPath(m_base + QStringLiteral("/Case/photos"));
        FileData *upper = FileManager::fileDataForPath(m_base + QStringLiteral("/Case/Photos/"), 0, true);
        QVERIFY(lower && upper && lower != upper);
        QVERIFY(lower->isFolder());
        QCOMPARE(FileManager::fileDataForPath(m_base + QStringLiteral("/Case/./photos"), 0, false), lower);
        FileData *file = FileManager::fileDataForPath(m_base + QStringLiteral("/Case/photos/x.jpg"));
        QVERIFY(!file->isFolder());
        QCOMPARE(file->parent(), lower);
        QCOMPARE(file->needsUpload(), NeedsUpload::NotSelected); // nothing decided before the scan
        FileData *album = FileManager::fileDataForPath(QStringLiteral("/Library/Album"), 0x800, true);
        QVERIFY(album->isFolder() && album->isVirtualAlbum());

        FileManager::setFile(lower, NeedsScan::Pending, true);
        QCOMPARE(file->needsScan(), NeedsScan::Pending);
        FileManager::setFile(lower, NeedsScan::Done, false);
        QCOMPARE(file->needsScan(), NeedsScan::Pending);
        QCOMPARE(lower->needsScan(), NeedsScan::Done);
    }

    void excludedChildrenFlag()
    {
        DataStore *store = DataStore::instance();
        FileData *root = store->createFileData(QStringLiteral("/r"), true);
        store->createFileData(QStringLiteral("/r/a"), true);
        FileData *deep = store->createFileData(QStringLiteral("/r/a/deep"), true);
        FileManager::updateFolderHasAnyExcludedChildren(root);
        QVERIFY(!root->hasFlag(FileFlags::HasExcludedChildren));
        deep->setExcludedFromScan(true);
        FileManager::updateFolderHasAnyExcludedChildren(root);
        QVERIFY(root->hasFlag(FileFlags::HasExcludedChildren));
        deep->setExcludedFromScan(false);
        FileManager::updateFolderHasAnyExcludedChildren(root);
        QVERIFY(!root->hasFlag(FileFlags::HasExcludedChildren));
    }

    void libraryAndMessagesAnswers()
    {
        // This system has none of the photo applications, whatever its Applications folders hold.
        for (const QString &app : {"iPhoto.app", "Photos.app", "Aperture.app"})
            QVERIFY(QDir().mkpath(StandardPaths::homeFolder() + QStringLiteral("/Applications/") + app));
        QVERIFY(!FileManager::isIPhotoInstalled());
        QVERIFY(!FileManager::isApertureInstalled());
        QVERIFY(!FileManager::isOSXPhotosInstalled());
        QVERIFY(!FileManager::isIMessageInstalled());
        QVERIFY(FileManager::iPhotoDirectoryWithBackup(QString()).isNull());
        QCOMPARE(FileManager::osxPhotosDirectoryWithBackup(QStringLiteral("/fallback")), QStringLiteral("/fallback"));

        FakeEnvironment fake;
        PhotoLibraryEnvironment::setInstance(&fake);
        fake.apps.insert(QStringLiteral("Photos.app"), QStringLiteral("/Applications/Photos.app"));
        fake.apps.insert(QStringLiteral("iPhoto.app"), QStringLiteral("/Applications/iPhoto.app"));
        QVERIFY(FileManager::isOSXPhotosInstalled());
        QVERIFY(FileManager::isIPhotoInstalled());
        QVERIFY(!FileManager::isApertureInstalled());
        NSDevice::overrideVersionForTesting(10, 9, 5);
        QVERIFY(!FileManager::isOSXPhotosInstalled()); // Photos needs 10.10
        NSDevice::overrideVersionForTesting(14, 0, 0);

        // Messages: the database must exist and be readable.
        fake.messagesDb = m_base + QStringLiteral("/Messages/chat.db");
        fake.attachments = m_base + QStringLiteral("/Messages/Attachments");
        QVERIFY(!FileManager::isIMessageInstalled());
        QVERIFY(writeFile(fake.messagesDb, QByteArray("db")));
        QVERIFY(FileManager::isIMessageInstalled());
        QVERIFY(writeFile(fake.attachments + QStringLiteral("/aa/01/IMG_1.HEIC"), noise(3000, 1)));
        FileManager::registerIMessageHasPhotos();
        QTRY_VERIFY(Settings::boolForKey(QStringLiteral("IMessageHasPhotos")));

        // Enabled sources join the roots, and the Messages root carries its flag.
        fake.dropbox = m_base + QStringLiteral("/Dropbox");
        QDir().mkpath(fake.dropbox);
        QVERIFY(FileManager::allSources().isEmpty());
        FileManager::setImportDropboxEnabled(true);
        FileManager::setImportIMessageEnabled(true);
        QVERIFY(FileManager::importDropboxEnabled() && FileManager::importIMessageEnabled());
        QVERIFY(!FileManager::importOSXPhotosEnabled());
        QCOMPARE(FileManager::allSources(), (QStringList{fake.dropbox, fake.attachments}));
        QCOMPARE(FileManager::dropboxDirectoryWithBackup(false), fake.dropbox);
        FileData *messagesRoot = DataStore::instance()->fileDataForPathKey(fake.attachments);
        QVERIFY(messagesRoot);
        QVERIFY(messagesRoot->hasFlag(FileFlags::IMessageRoot));
        FileManager::setImportIMessageEnabled(false);
        QCOMPARE(FileManager::allSources(), QStringList{fake.dropbox});
        FileManager::setImportDropboxEnabled(false);
        QVERIFY(FileManager::waitUntilIdle(10000));
    }

    void photoLibraryAuthorisation()
    {
        // Here: no library, so no access and no question.
        bool called = false;
        QVERIFY(!LMRPhotoKitLibraryManager::hasAuthorizationOrRequestWithCompletion([&](int) { called = true; }));
        QTest::qWait(50);
        QVERIFY(!called);

        FakeEnvironment fake;
        PhotoLibraryEnvironment::setInstance(&fake);
        int answer = -1;
        QVERIFY(!LMRPhotoKitLibraryManager::hasAuthorizationOrRequestWithCompletion([&](int s) { answer = s; }));
        QCOMPARE(fake.requests, 1);
        QTRY_COMPARE(answer, 3);
        fake.status = PhotoLibraryEnvironment::Authorized;
        answer = -1;
        QVERIFY(LMRPhotoKitLibraryManager::hasAuthorizationOrRequestWithCompletion([&](int s) { answer = s; }));
        fake.status = PhotoLibraryEnvironment::Denied;
        QVERIFY(!LMRPhotoKitLibraryManager::hasAuthorizationOrRequestWithCompletion([&](int s) { answer = s; }));
        QCOMPARE(fake.requests, 1);
        QTest::qWait(50);
        QCOMPARE(answer, -1);
    }

    void removableDevices()
    {
        // A mount table and sysfs tree of our own: a card (removable disk), a fixed disk, a
        // phone under gvfs and a label with a blank.
        const QString sys = m_base + QStringLiteral("/sys");
        auto block = [&](const QString &name, const QString &removable, const QString &partition) {
            QDir().mkpath(sys + QStringLiteral("/class/block/") + name);
            if (!removable.isEmpty())
                writeFile(sys + QStringLiteral("/class/block/") + name + QStringLiteral("/removable"), removable.toLatin1());
            if (!partition.isEmpty()) {
                QDir().mkpath(sys + QStringLiteral("/class/block/") + partition);
                writeFile(sys + QStringLiteral("/class/block/") + partition + QStringLiteral("/partition"), "1");
            }
        };
        block(QStringLiteral("sdb"), QStringLiteral("1\n"), QString());
        // A partition's removable flag is read from the disk above it (here: its real path's parent).
        QDir().mkpath(sys + QStringLiteral("/devices/sdb/sdb1"));
        writeFile(sys + QStringLiteral("/devices/sdb/removable"), "1\n");
        writeFile(sys + QStringLiteral("/devices/sdb/sdb1/partition"), "1");
        QVERIFY(QFile::link(sys + QStringLiteral("/devices/sdb/sdb1"), sys + QStringLiteral("/class/block/sdb1")));
        block(QStringLiteral("sda"), QStringLiteral("0\n"), QString());
        QDir().mkpath(sys + QStringLiteral("/devices/sda/sda2"));
        writeFile(sys + QStringLiteral("/devices/sda/removable"), "0\n");
        writeFile(sys + QStringLiteral("/devices/sda/sda2/partition"), "2");
        QVERIFY(QFile::link(sys + QStringLiteral("/devices/sda/sda2"), sys + QStringLiteral("/class/block/sda2")));
        // Built-in readers: an SD card and soldered-in storage, neither flagged removable.
        for (const QString &disk : {QStringLiteral("mmcblk0"), QStringLiteral("mmcblk1")}) {
            writeFile(sys + QStringLiteral("/devices/") + disk + QStringLiteral("/removable"), "0\n");
            writeFile(sys + QStringLiteral("/devices/") + disk + QStringLiteral("/device/type"), disk == QLatin1String("mmcblk0") ? "SD\n" : "MMC\n");
            writeFile(sys + QStringLiteral("/devices/") + disk + QLatin1Char('/') + disk + QStringLiteral("p1/partition"), "1");
            QVERIFY(QFile::link(sys + QStringLiteral("/devices/") + disk + QLatin1Char('/') + disk + QStringLiteral("p1"),
                                sys + QStringLiteral("/class/block/") + disk + QStringLiteral("p1")));
        }

        const QString mountinfo = m_base + QStringLiteral("/mountinfo");
        QVERIFY(writeFile(mountinfo,
                          "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
                          "40 22 8:17 / /media/jane/NIKON\\040D750 rw,nosuid shared:2 - vfat /dev/sdb1 rw\n"
                          "41 22 8:17 / /media/jane/Raw rw - exfat /dev/sdb rw\n"
                          "42 22 0:50 / /run/user/1000/gvfs/mtp:host=Google_Pixel_7_ABC rw - fuse.gvfsd-fuse gvfsd-fuse rw\n"
                          "43 40 8:2 / /media/jane/NIKON\\040D750/bind rw - ext4 /dev/sda2 rw\n"
                          "44 22 179:1 / /media/jane/SDCARD rw - vfat /dev/mmcblk0p1 rw\n"
                          "45 22 179:9 / /data rw - ext4 /dev/mmcblk1p1 rw\n"
                          "46 22 179:1 / /boot/firmware rw - vfat /dev/mmcblk0p1 rw\n"
                          "garbage line\n"));
        DeviceDetection::setSystemPathsForTesting(mountinfo, sys);
        QVERIFY(DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/media/jane/NIKON D750/DCIM/100NIKON/DSC_1.JPG")));
        QCOMPARE(DeviceDetection::nameForDeviceAtPath(QStringLiteral("/media/jane/NIKON D750/DCIM")), QStringLiteral("NIKON D750"));
        QVERIFY(DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/media/jane/Raw")));
        QVERIFY(DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/run/user/1000/gvfs/mtp:host=Google_Pixel_7_ABC/DCIM")));
        QCOMPARE(DeviceDetection::nameForDeviceAtPath(QStringLiteral("/run/user/1000/gvfs/mtp:host=Google_Pixel_7_ABC/DCIM")),
                 QStringLiteral("Google_Pixel_7_ABC"));
        QVERIFY(!DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/home/jane/Pictures")));
        QCOMPARE(DeviceDetection::nameForDeviceAtPath(QStringLiteral("/home/jane/Pictures")), QString());
        QVERIFY(!DeviceDetection::nameForDeviceAtPath(QStringLiteral("/home/jane")).isNull());
        // A fixed disk mounted inside the card's folder is not the card.
        QVERIFY(!DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/media/jane/NIKON D750/bind/x")));
        QVERIFY(!DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/media/jane/NIKON D7500")));
        QVERIFY(DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/media/jane/SDCARD/DCIM")));
        QVERIFY(!DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/data/photos")));
        QVERIFY(!DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/boot/firmware"))); // a card the system runs from
        QCOMPARE(DeviceDetection::removableDevices().size(), 4);

        // Unplugged: no longer removable media, but its name is remembered.
        QVERIFY(writeFile(mountinfo, "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"));
        QVERIFY(!DeviceDetection::isRemovableDeviceAtPath(QStringLiteral("/media/jane/NIKON D750/DCIM")));
        QCOMPARE(DeviceDetection::nameForDeviceAtPath(QStringLiteral("/media/jane/NIKON D750/DCIM")), QStringLiteral("NIKON D750"));

        // Only a volume that arrives after the monitor started is announced, and only once.
        DeviceMonitor monitor;
        QSignalSpy attached(&monitor, &DeviceMonitor::deviceAttached);
        monitor.start();
        QVERIFY(writeFile(mountinfo, "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
                                     "40 22 8:17 / /media/jane/NIKON\\040D750 rw,nosuid shared:2 - vfat /dev/sdb1 rw\n"));
        monitor.rescan();
        QCOMPARE(attached.size(), 1);
        QCOMPARE(attached.at(0).at(0).toString(), QStringLiteral("/media/jane/NIKON D750"));
        QCOMPARE(attached.at(0).at(1).toString(), QStringLiteral("NIKON D750"));
        monitor.rescan();
        QCOMPARE(attached.size(), 1);
        // Unplugged and plugged in again: a new arrival.
        QVERIFY(writeFile(mountinfo, "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"));
        monitor.rescan();
        QVERIFY(writeFile(mountinfo, "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
                                     "40 22 8:17 / /media/jane/NIKON\\040D750 rw,nosuid shared:2 - vfat /dev/sdb1 rw\n"));
        monitor.rescan();
        QCOMPARE(attached.size(), 2);
    }

    void albumNames()
    {
        QVERIFY(FileManager::isExcludedAlbumName(QStringLiteral("Last Import")));
        QVERIFY(FileManager::isExcludedAlbumName(QStringLiteral("recently deleted")));
        QVERIFY(!FileManager::isExcludedAlbumName(QStringLiteral("Holidays 2019")));
        QVERIFY(!FileManager::isExcludedAlbumName(QString()));
    }
};

QTEST_GUILESS_MAIN(TestSources)
#include "tst_sources.moc"
