// The popover's recent uploads fed by the real engine against the local service double, with the
// thumbnails held back so that they arrive after their uploads have finished: the grid shows a
// place as soon as its thumbnail exists, whether the popover is open when it arrives or opened
// again afterwards. Thumbnails are made only for places shown, are put in place whole, and a
// changed photo's place shows the new picture.
#include "LumoraDouble.h"

#include "app/menubar/RecentUploadsGrid.h"
#include "app/menubar/TrayMenuController.h"
#include "app/menubar/TrayPopoverServices.h"
#include "app/menubar/TrayPopoverView.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "core/Dispatch.h"
#include "core/NotificationCenter.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"
#include "sync/SyncTestEngine.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScreen>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

// A JPEG of noise, so that every file differs and none is taken for a copy of another.
QString writePhoto(const QString &path, quint32 seed)
{
    QImage image(64, 48, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, rng.generate());
    return image.save(path, "JPG", 95) ? path : QString();
}

FileData *record(const QString &path)
{
    return DataStore::instance()->fileDataForPathKey(FileManager::pathKey(path));
}

// Holds back the work of the background queue, where the uploader writes its thumbnails: every
// worker of that queue waits here until release().
class BackgroundQueueGate
{
public:
    static constexpr int kWorkers = 2; // the size of the low-priority pool
    void close()
    {
        auto gate = m_gate;
        auto started = m_started;
        for (int i = 0; i < kWorkers; ++i)
            dispatch_background_queue_async([gate, started] {
                started->release();
                gate->acquire();
            });
        started->acquire(kWorkers); // both workers are taken now
    }
    ~BackgroundQueueGate() { release(); }
    // Lets the held work go on (once; later calls do nothing).
    void release()
    {
        if (m_released)
            return;
        m_released = true;
        m_gate->release(kWorkers);
    }

private:
    std::shared_ptr<QSemaphore> m_gate = std::make_shared<QSemaphore>(0);
    std::shared_ptr<QSemaphore> m_started = std::make_shared<QSemaphore>(0);
    bool m_released = false;
};

// The thumbnails as the kernel sees them: each arriving under its name (created or moved in), and
// any written to under that name, where the grid reads it.
struct ThumbnailFolderWatch
{
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QStringList arrived, writtenInPlace;
    ThumbnailFolderWatch()
    {
        const QString folder = StandardPaths::lumoraSubfolder(QStringLiteral("RecentlyUploadedThumbs"));
        inotify_add_watch(fd, QFile::encodeName(folder).constData(), IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE);
    }
    ~ThumbnailFolderWatch() { ::close(fd); }
    ThumbnailFolderWatch &read()
    {
        alignas(inotify_event) char buffer[16384];
        for (ssize_t length; (length = ::read(fd, buffer, sizeof buffer)) > 0;)
            for (char *at = buffer; at < buffer + length; at += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(at)->len) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                if (event->len && QByteArray(event->name).endsWith(".jpg")) // the names the grid reads
                    (event->mask & (IN_CREATE | IN_MOVED_TO) ? arrived : writtenInPlace) << QFile::decodeName(event->name);
            }
        return *this;
    }
};

} // namespace

class TestPopoverLiveUploads : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home{QDir::tempPath() + QStringLiteral("/hoistly-popover-home-XXXXXX")};
    QTemporaryDir m_files;
    LumoraDouble m_double;
    TrayMenuController *m_controller = nullptr;
    int m_posts = 0;
    QObject m_observer;

    QRect topIcon() const
    {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        return QRect(screen.center().x(), screen.top(), 24, 24);
    }
    TrayMenuPhotoContainer *grid() const { return m_controller->trayMenuView()->recentUploadsImagesContainer(); }

    bool allUploaded(const QStringList &paths) const
    {
        for (const QString &p : paths) {
            FileData *r = record(p);
            if (!r || r->needsUpload() != NeedsUpload::Uploaded || r->uploadedRemoteId() == 0)
                return false;
        }
        return true;
    }
    bool allThumbnailsExist(const QStringList &paths) const
    {
        for (const QString &p : paths)
            if (LumoraUploader::imageForRecentUpload(p).isNull())
                return false;
        return true;
    }
    // New photos in a new source folder, uploaded by the engine; their thumbnails wait at the gate.
    QStringList uploadWithThumbnailsHeld(const QString &name, int count, quint32 seed)
    {
        const QStringList photos = photosIn(name, count, seed);
        FileManager::addCustomFolder(m_files.filePath(name));
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(allUploaded(photos), 60000);
            const int listed = std::min(count, 10);
            QTRY_VERIFY_WITH_TIMEOUT(LumoraUploader::recentUploads().size() >= listed
                                         && QSet<QString>(photos.cbegin(), photos.cend())
                                                .contains(QSet<QString>(LumoraUploader::recentUploads().cbegin(),
                                                                        LumoraUploader::recentUploads().cbegin() + listed)),
                                     10000);
        }();
        return photos;
    }

    QStringList photosIn(const QString &name, int count, quint32 seed)
    {
        const QString folder = m_files.filePath(name);
        QDir().mkpath(folder);
        QStringList paths;
        for (int i = 0; i < count; ++i)
            paths << writePhoto(folder + QStringLiteral("/%1_%2.jpg").arg(name).arg(i), seed + i);
        return paths;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("HOME", m_home.path().toUtf8());
        QStandardPaths::setTestModeEnabled(true);
        Settings::clearAllSettingsPERMANENTLY();
        QVERIFY(startServiceDouble(m_double));
        signInToServiceDouble(m_double);
        Settings::setBool(true, QStringLiteral("WelcomeScreenComplete"));
        TrayMenuController::setExpandDelayForTesting(0.0);
        TrayPopoverServices::reset();
        NotificationCenter::observe(Notifications::RecentlyUploadedChanged, &m_observer,
                                    [this](const QVariant &) { ++m_posts; });
        m_controller = new TrayMenuController(nullptr);
        LumoraDrive::startup();
    }

    // A case that stops half-way leaves the popover closed for the next one.
    void cleanup() { m_controller->close(); }

    void cleanupTestCase()
    {
        delete m_controller;
        shutDownEngine();
        m_double.stop();
    }

    void uploadsFinishingWhileOpenGetTheirThumbnailsWhenTheyArrive()
    {
        m_controller->showRelativeTo(topIcon());
        QVERIFY(m_controller->isShown());
        QVERIFY(m_controller->contents().isEmpty());

        ThumbnailFolderWatch watch;
        BackgroundQueueGate thumbnails;
        thumbnails.close();
        const QStringList photos = photosIn(QStringLiteral("Alpha"), 7, 10);
        FileManager::addCustomFolder(m_files.filePath(QStringLiteral("Alpha")));
        QTRY_VERIFY_WITH_TIMEOUT(allUploaded(photos), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(LumoraUploader::recentUploads().size(), photos.size(), 10000);
        // Uploaded and listed, but no thumbnail yet: the places stay empty.
        QVERIFY(!allThumbnailsExist(photos));
        QVERIFY(grid()->visiblePaths().isEmpty());

        thumbnails.release();
        QTRY_VERIFY_WITH_TIMEOUT(allThumbnailsExist(photos), 10000);
        // Each arrived whole: the grid never reads a thumbnail still being written.
        QCOMPARE(watch.read().arrived.size(), photos.size());
        QVERIFY2(watch.writtenInPlace.isEmpty(), qPrintable(watch.writtenInPlace.join(QLatin1Char(' '))));
        // Every place shows its photo, newest first, and the popover grew to two rows.
        QTRY_COMPARE(grid()->visiblePaths().size(), photos.size());
        QCOMPARE(m_controller->contents(), LumoraUploader::recentUploads());
        for (int i = 0; i < photos.size(); ++i) {
            TrayMenuPhotoContainerButton *cell = grid()->cellForPath(m_controller->contents().at(i));
            QVERIFY(cell);
            QCOMPARE(cell->pos(), TrayMenuPhotoContainer::originForIndex(i));
            QTRY_COMPARE(cell->alphaValue(), 1.0);
        }
        QTRY_COMPARE(m_controller->popoverWindow()->height(), 352);
        m_controller->close();
    }

    void placesListedBeforeTheirThumbnailsFillWhileOpen()
    {
        BackgroundQueueGate thumbnails;
        thumbnails.close();
        const QStringList photos = uploadWithThumbnailsHeld(QStringLiteral("Beta"), 2, 100);

        // Opened before the thumbnails exist: the new places are listed but still empty.
        m_controller->showRelativeTo(topIcon());
        const QStringList newest = m_controller->contents().mid(0, 2);
        QCOMPARE(QSet<QString>(newest.cbegin(), newest.cend()), QSet<QString>(photos.cbegin(), photos.cend()));
        for (const QString &p : photos)
            QVERIFY(!grid()->cellForPath(p));
        QCOMPARE(grid()->visiblePaths().size(), 7);

        thumbnails.release();
        QTRY_VERIFY_WITH_TIMEOUT(allThumbnailsExist(photos), 10000);
        QTRY_COMPARE(grid()->visiblePaths().size(), 9);
        for (int i = 0; i < 9; ++i)
            QCOMPARE(grid()->cellForPath(m_controller->contents().at(i))->pos(), TrayMenuPhotoContainer::originForIndex(i));
        m_controller->close();
    }

    void thumbnailsThatArriveWhileClosedShowAtTheNextOpening()
    {
        BackgroundQueueGate thumbnails;
        thumbnails.close();
        const QStringList photos = uploadWithThumbnailsHeld(QStringLiteral("Gamma"), 3, 200);

        m_controller->showRelativeTo(topIcon());
        QCOMPARE(m_controller->contents().size(), 10);
        for (const QString &p : photos)
            QVERIFY(!grid()->cellForPath(p));
        m_controller->close();

        const int posts = m_posts;
        thumbnails.release();
        QTRY_VERIFY_WITH_TIMEOUT(allThumbnailsExist(photos), 10000);
        QTRY_VERIFY(m_posts > posts); // told while closed: nothing changes
        QVERIFY(grid()->visiblePaths().size() < 10);

        m_controller->showRelativeTo(topIcon());
        QCOMPARE(grid()->visiblePaths().size(), 10);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(grid()->cellForPath(m_controller->contents().at(i))->pos(), TrayMenuPhotoContainer::originForIndex(i));
        m_controller->close();
    }

    // While files are sent, the headline, the count to go and the bar tell the same numbers
    // ("Uploading 3 of 5" leaves 3 to go and a bar between two and three fifths); after the
    // backup, a photo whose name is not UTF-8 is counted alike by the headline and the count.
    void headlineCountAndBarAgree()
    {
        const QStringList photos = photosIn(QStringLiteral("Delta"), 5, 300);
        const QString folder = m_files.filePath(QStringLiteral("Delta"));
        const QString latin = writePhoto(folder + QStringLiteral("/latin.jpg"), 399);
        QVERIFY(::rename(QFile::encodeName(latin).constData(), (QFile::encodeName(folder) + "/caf\xe9.jpg").constData()) == 0);
        m_double.setFault(LumoraDouble::Fault::Slow, 300, QStringLiteral("upload"), -1); // each send shows
        m_controller->showRelativeTo(topIcon());
        TrayMenuView *view = m_controller->trayMenuView();
        QStringList seen;
        bool disagree = false;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, &sampler, [&] {
            const QString headline = view->statusTextField()->text();
            const auto m = QRegularExpression(QStringLiteral("^Uploading (\\d+) of (\\d+)$")).match(headline);
            if (!m.hasMatch() || view->statusTextField()->isHidden())
                return;
            const int k = m.captured(1).toInt(), n = m.captured(2).toInt();
            const double bar = double(view->statusProgressBarView()->width()) / view->width();
            const QString sample = QStringLiteral("%1 | %2 | bar %3").arg(headline, view->uploadQueueStatusField()->text()).arg(bar, 0, 'f', 2);
            if (seen.isEmpty() || seen.last() != sample)
                seen << sample;
            if (view->uploadQueueStatusField()->text() != QStringLiteral("%1 to go").arg(n - k + 1)
                || bar < double(k - 1) / n - 0.01 || bar > double(k) / n + 0.01)
                disagree = true;
        });
        sampler.start(5);
        FileManager::addCustomFolder(folder);
        QTRY_VERIFY_WITH_TIMEOUT(allUploaded(photos), 60000);
        QVERIFY(LumoraUploader::waitUntilIdleForTesting(30000));
        sampler.stop();
        m_double.clearFaults();
        QVERIFY2(m_controller->isShown(), "closed meanwhile: its lines no longer follow the status");
        QVERIFY2(seen.size() >= 3 && !disagree, qPrintable(seen.join(QLatin1Char('\n'))));
        LumoraDrive::updateStatus();
        QTRY_COMPARE_WITH_TIMEOUT(view->statusTextFieldNoIcon()->text(), QStringLiteral("1 not uploaded"), 30000);
        // The file waits for the user to rename it, not for the queue.
        QCOMPARE(view->uploadQueueStatusField()->text(), QStringLiteral("0 to go"));
        m_controller->close();
    }

    void aBurstMakesThumbnailsOnlyForThePlacesShown()
    {
        // The places an earlier opening showed may still be getting their thumbnails; those
        // come before the folder is watched.
        QTRY_VERIFY_WITH_TIMEOUT(allThumbnailsExist(LumoraUploader::recentUploads()), 10000);
        ThumbnailFolderWatch watch;
        const QStringList photos = uploadWithThumbnailsHeld(QStringLiteral("Epsilon"), 12, 400);
        watch.read();
        QCOMPARE(watch.arrived.size() + watch.writtenInPlace.size(), 0); // nobody looked

        m_controller->showRelativeTo(topIcon());
        QTRY_COMPARE_WITH_TIMEOUT(grid()->visiblePaths().size(), 10, 10000);
        for (const QString &path : m_controller->contents())
            QVERIFY(photos.contains(path));
        QCOMPARE(watch.read().arrived.size(), 10);
        // Those of photos that left the list are gone.
        const QDir folder(StandardPaths::lumoraSubfolder(QStringLiteral("RecentlyUploadedThumbs")));
        QTRY_COMPARE(folder.entryList({QStringLiteral("*.jpg")}, QDir::Files).size(), 10);
        m_controller->close();
    }

    void aChangedPhotoShowsItsNewPicture()
    {
        m_controller->showRelativeTo(topIcon());
        const QString newest = m_controller->contents().first();
        TrayMenuPhotoContainerButton *cell = grid()->cellForPath(newest);
        QVERIFY(cell);
        auto centre = [&] { return cell->icon().pixmap(QSize(56, 56)).toImage().pixelColor(28, 28); };
        QVERIFY(centre().red() < 200 || centre().green() > 60);

        // The photo is edited; the next upload's news brings its new picture to the same place.
        QImage red(64, 48, QImage::Format_RGB32);
        red.fill(QColor(230, 20, 20));
        QVERIFY(red.save(newest, "JPG", 95));
        NotificationCenter::post(Notifications::RecentlyUploadedChanged);
        QTRY_VERIFY_WITH_TIMEOUT(centre().red() > 200 && centre().green() < 60, 10000);
        QCOMPARE(grid()->cellForPath(newest), cell);
        m_controller->close();
    }
};

QTEST_MAIN(TestPopoverLiveUploads)
#include "tst_popover_live_uploads.moc"
