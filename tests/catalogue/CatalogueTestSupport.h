#pragma once
// Helpers shared by the catalogue tests: a fresh store and settings, a scratch folder, scans
// waited for, and generated files.
#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "catalogue/FileManager.h"
#include "catalogue/FileManagerPrivate.h"
#include "core/Settings.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <exiv2/exiv2.hpp>

namespace CatalogueTest {

// The test files are written whole before the scanner looks, so it reads them at once; tests of
// files still being written set the real wait themselves.
constexpr qint64 kTestSettleWindowMs = 0;

// Every catalogue test runs in a home folder of its own: test-mode paths live under the home
// folder, and other test programs may run at the same time.
inline void isolateHomeAndEnterTestMode()
{
    FileManagerPrivate::setSettleWindowForTesting(kTestSettleWindowMs);
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-catalogue-test-XXXXXX"));
    qputenv("HOME", QFile::encodeName(home.path()));
    for (const char *var : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        qunsetenv(var);
    QStandardPaths::setTestModeEnabled(true);
    Settings::reloadForTesting();
}

// Forgets the scanner's state, the store (files deleted) and the settings.
inline void freshCatalogue()
{
    FileManager::resetForTesting();
    DataStore::resetForTesting();
    DataStore::deleteStoreFiles();
    Settings::clearAllSettingsPERMANENTLY();
    CatalogueHooks::instance() = CatalogueHooks();
    CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return true; };
}

// The account the tests sign in with, where the scanner asks for one.
inline const QString kTestAccount = QStringLiteral("lumora-42");

// Long enough for a scan of a test tree on a loaded machine.
constexpr int kScanTimeoutMs = 30000;

// Runs the scan loop over what is pending and waits until it is idle.
inline bool scanPending()
{
    FileManager::run();
    return FileManager::waitUntilIdle(kScanTimeoutMs);
}

// Marks the folder for a rescan and waits for it.
inline bool rescanFolder(FileData *folder, bool recursive)
{
    FileManager::setFile(folder, NeedsScan::Pending, recursive);
    return scanPending();
}

// Adds the folder to the sources and waits for its first scan.
inline bool addFolderAndScan(const QString &path)
{
    FileManager::addCustomFolder(path);
    return FileManager::waitUntilIdle(kScanTimeoutMs);
}

// Starts the scanner as a new process does and waits for its pass.
inline bool startupAndScan()
{
    FileManager::startup();
    return FileManager::waitUntilIdle(kScanTimeoutMs);
}

// The files of a test live in a folder of their own, named by paths relative to it. Its canonical
// path is kept, as the catalogue keys records by the real path.
class ScratchFolder
{
public:
    // From initTestCase: the home folder is the test's own before anything reads a path.
    void enterScratchHome()
    {
        isolateHomeAndEnterTestMode();
        m_base = QFileInfo(m_dir.path()).canonicalFilePath();
    }

    // A fresh catalogue over an empty folder.
    void startFresh()
    {
        freshCatalogue();
        QDir(m_base).removeRecursively();
        QDir().mkpath(m_base);
    }

    QString p(const QString &rel) const { return m_base + QLatin1Char('/') + rel; }
    FileData *rec(const QString &rel) const { return DataStore::instance()->fileDataForPathKey(p(rel)); }

protected:
    QString m_base;

private:
    QTemporaryDir m_dir;
};

// Bytes without any 0xFF, so no JPEG marker appears by chance.
inline QByteArray noise(qsizetype n, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray b(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char(gen.bounded(0, 255));
    return b;
}

struct Jpeg
{
    QByteArray bytes;
    qsizetype imageStart = 0;  // end of the start-of-scan header
    qsizetype imageLength = 0; // up to the end marker
};

// A minimal JPEG: SOI, an APP0 segment, a start-of-scan header, `imageBytes` of entropy-coded
// data and, when asked, the end marker.
inline Jpeg makeJpeg(qsizetype imageBytes, quint32 seed, bool withScan = true, bool withEnd = true)
{
    Jpeg j;
    QByteArray &b = j.bytes;
    b.append("\xFF\xD8", 2);
    const QByteArray app0("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18);
    b.append(app0);
    // A quantisation table and a frame header, so metadata tools accept the file.
    QByteArray dqt("\xFF\xDB\x00\x43\x00", 5);
    for (int i = 1; i <= 64; ++i)
        dqt.append(char(i));
    b.append(dqt);
    b.append("\xFF\xC0\x00\x11\x08\x00\x10\x00\x10\x03\x01\x11\x00\x02\x11\x01\x03\x11\x01", 19);
    if (withScan) {
        b.append("\xFF\xDA\x00\x0C\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00", 14);
        j.imageStart = b.size();
    }
    b.append(noise(imageBytes, seed));
    j.imageLength = withScan ? imageBytes : 0;
    if (withEnd)
        b.append("\xFF\xD9", 2);
    return j;
}

// Writes the file with a modification time in the past (a settled file).
inline bool writeFile(const QString &path, const QByteArray &bytes, qint64 ageSeconds = 3600)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (f.write(bytes) != bytes.size() || !f.flush()) // a write at the close would date it now
        return false;
    const QDateTime when = QDateTime::currentDateTimeUtc().addSecs(-ageSeconds);
    f.setFileTime(when, QFileDevice::FileModificationTime);
    f.close();
    return true;
}

// Puts the modification time back in the past after an edit (a settled file again).
inline bool settleFile(const QString &path, qint64 ageSeconds = 3600)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite)
        && f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-ageSeconds), QFileDevice::FileModificationTime);
}

inline bool setExifDate(const QString &path, const char *date)
{
    try {
        auto image = Exiv2::ImageFactory::open(std::string(QFile::encodeName(path).constData()));
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        exif["Exif.Photo.DateTimeOriginal"] = std::string(date);
        image->setExifData(exif);
        image->writeMetadata();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace CatalogueTest
