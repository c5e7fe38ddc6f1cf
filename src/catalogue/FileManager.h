#pragma once
// The scanner and catalogue manager: the sources configuration, the path index, the scan loop
// and the folder monitors. Class-level, like the other hubs of the engine; unless a comment says
// otherwise every member is called on the main thread.
#include "catalogue/FileData.h"

#include <QString>
#include <QStringList>

class FileManager
{
public:
    // --- Start and stop -------------------------------------------------------------------
    // Opens the catalogue, resets scans left in progress, marks every watched folder for a
    // reconciling rescan (files whose size and date are unchanged are not read again), starts
    // the folder monitors and the scan loop.
    static void startup();
    // Stops the folder monitors and the scan loop (waits for the running step to end).
    static void shutdown();

    // --- Scan loop --------------------------------------------------------------------------
    // Starts the scan loop, or asks a running loop for one more pass. The loop does nothing
    // until the service mirror has completed its listing in this process.
    static void run();
    static bool isRunning();
    // YES once a pass found nothing left to scan since the application started.
    static bool hasCompletedScanThisSession();
    // The record the scanner works on now (nullptr between steps).
    static FileData *fileScanning();
    static bool isFileOrAnyChildScanning(FileData *record);
    // The contents of these folder settings files (FileData::readSetDataFile), read on the
    // scanner's reader threads. Blocks its caller, which is not the main thread.
    static QList<QVariant> readFolderSettings(const QStringList &files);
    // Entries of watched folders that are not backed up, and why: names that are not valid UTF-8
    // (the path of a record cannot reach their bytes; photo and video names, and folders),
    // folders that could not be listed or entered, photo and video names that could not be
    // looked at (a link into a folder that cannot be entered, a disk error), and links to
    // folders (not followed: they can form loops; left out once the folder they lead to is
    // itself in the sources). `name` is a lossy display form. From each folder's last listing;
    // excluded folders and folders outside the sources are left out.
    enum class SkipReason { NameNotUtf8, CannotList, LinkToFolder, CannotRead };
    struct SkippedFile
    {
        QString folder;
        QString name;
        bool isFolder = false;
        SkipReason reason = SkipReason::NameNotUtf8;
        QString linkTarget; // LinkToFolder: the real path of the folder it leads to
    };
    static QList<SkippedFile> skippedFiles();
    // The folder's last listing held entries that skippedFiles() lists.
    static bool hasSkippedEntries(const QString &folderPath);
    // The folder's last listing failed: its photos are unknown.
    static bool couldNotListFolder(const QString &path);
    // "Try again": files that could not be read and folders that could not be listed are scanned again.
    static void rescanWhatCouldNotBeRead();
    static void setTrackingCurrentScan(bool tracking);
    static bool isTrackingCurrentScan();
    static void updateFolderHasAnyExcludedChildren(FileData *folder);
    static void registerIMessageHasPhotos();
    static bool isExcludedAlbumName(const QString &name);
    // Blocks (spinning the main event loop) until the scan loop is idle; tests and shutdown.
    static bool waitUntilIdle(int timeoutMs);

    // --- Sources ------------------------------------------------------------------------------
    static QStringList allSources();
    static QStringList allSourcesFiltered();
    // Is the path a source root or below one (excluded folders included)?
    static bool isPathInSources(const QString &path);
    // Is the source that holds the path out of reach (an unplugged card, a folder moved away)?
    // Its files are not missing: they wait for it. A source found gone here is handed to the
    // scan loop, which marks it unavailable and takes it up again when it is back.
    static bool isSourceUnavailable(const QString &path);

    // --- FileManager(Settings) ------------------------------------------------------------------
    static QStringList customFolders();
    static void addCustomFolder(const QString &path);
    // Settings: watched folders on removable devices -> the device's name as last seen mounted.
    static const QString &removableSourceDevicesKey();
    static void removeCustomFolder(const QString &path);

    static void setImportIPhotoEnabled(bool on);
    static void setImportApertureEnabled(bool on);
    static void setImportOSXPhotosEnabled(bool on);
    static void setImportDropboxEnabled(bool on);
    static void setImportIMessageEnabled(bool on);
    static bool importIPhotoEnabled();
    static bool importApertureEnabled();
    static bool importOSXPhotosEnabled();
    static bool importDropboxEnabled();
    static bool importIMessageEnabled();
    static bool createIPhotoAlbumsEnabled();

    static QString hasApplicationInstalledWithName(const QString &appName);
    static bool isIPhotoInstalled();
    static bool isApertureInstalled();
    static bool isDropboxInstalled();
    static bool isOSXPhotosInstalled();
    static bool isIMessageInstalled();

    static QString picturesDirectory();
    static QString desktopDirectory();
    static QString downloadsDirectory();
    static QString documentsDirectory();
    static QString homeDirectory();
    static QString iMessageDirectory();

    static QString iPhotoDirectoryWithBackup(const QString &fallback);
    static QString apertureDirectoryWithBackup(const QString &fallback);
    static QString osxPhotosDirectoryWithBackup(const QString &fallback);
    static QString dropboxDirectoryWithBackup(bool backup);
    static QString lastIPhotoPath();
    static QString lastAperturePath();
    static QString lastOSXPhotosPath();
    static QString lastDropboxPath();

    static bool pathIsIPhotoOrApertureLibraryPackageSlow(const QString &path);
    static bool pathIsApertureLibraryPackageSlow(const QString &path);
    static bool pathIsPhotoBoothPackage(const QString &path);
    static bool pathIsApertureLibraryXMLSlow(const QString &path);
    static bool pathIsIPhotoLibraryXMLSlow(const QString &path);
    static QString packagePathForIPhotoOrApertureLibrary(const QString &libraryPath);
    static QString apertureLibraryPathFromAperturePackagePath(const QString &packagePath);
    static QString aperturePackagePathForApertureLibrary(const QString &libraryPath);

    // --- FileManager(DataManagement) ----------------------------------------------------------
    // The record of the path (exact canonical path), created with the flags only when allowed.
    static FileData *fileDataForPath(const QString &path, quint64 flags, bool allowCreate);
    static FileData *fileDataForPath(const QString &path);
    static void setFile(FileData *record, qint16 needsScan, bool recursive);

    // The path key of this platform: the cleaned absolute path, compared exactly.
    static QString pathKey(const QString &path);

    // --- Folder monitoring ----------------------------------------------------------------------
    static void startMonitoring(const QString &rootPath);
    static void stopMonitoring(const QString &rootPath);
    static bool isMonitoring(const QString &rootPath);

    // Counters kept in Settings.
    static inline const QString kMaxScanTotal = QStringLiteral("MaxScanTotal");
    static inline const QString kMaxScanUnique = QStringLiteral("MaxScanUnique");

    // Tests: forget the class state (the store itself is reset through DataStore).
    static void resetForTesting();
};
