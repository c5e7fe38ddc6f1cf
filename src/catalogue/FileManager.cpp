// FileManager: sources configuration and the path index (the scan loop is in FileManagerScan.cpp).
#include "catalogue/FileManager.h"

#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManagerPrivate.h"
#include "catalogue/MediaInspector.h"
#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/LMRReporter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"
#include "platform/DeviceDetection.h"
#include "platform/PhotoLibraries.h"
#include "platform/StandardPaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

namespace {

const QString kImportCustomFolders = QStringLiteral("ImportCustomFolders");
const QString kImportCustomFoldersEver = QStringLiteral("ImportCustomFoldersEver");

QString realPath(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? FileManager::pathKey(path) : canonical;
}

bool isSameOrBelow(const QString &path, const QString &root)
{
    if (root == QLatin1String("/"))
        return path.startsWith(QLatin1Char('/'));
    return path == root || (path.startsWith(root) && path.size() > root.size() && path.at(root.size()) == QLatin1Char('/'));
}

void noteSourcesConfigured(int customFolders)
{
    LMRReporter::set(QStringLiteral("Library: Custom folders added"), customFolders);
    LMRReporter::set(QStringLiteral("Library: Last sources configure"), QDateTime::currentDateTimeUtc());
}

bool noteInstalled(const char *property, bool installed)
{
    LMRReporter::set(QString::fromLatin1(property), installed);
    return installed;
}

QString standardDirectory(QStandardPaths::StandardLocation location)
{
    const QString path = QStandardPaths::writableLocation(location);
    return path.isEmpty() ? QString() : realPath(path);
}

} // namespace

// --- Path index -------------------------------------------------------------------------------------

QString FileManager::pathKey(const QString &path)
{
    if (path.isEmpty())
        return QString();
    return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
}

FileData *FileManager::fileDataForPath(const QString &path, quint64 flags, bool allowCreate)
{
    const QString key = pathKey(path);
    if (key.isEmpty())
        return nullptr;
    DataStore *store = DataStore::instance();
    if (FileData *r = store->fileDataForPathKey(key))
        return r;
    if (!allowCreate)
        return nullptr;
    const bool folder = (flags & FileFlags::VirtualFolderMask) || QFileInfo(key).isDir();
    FileData *r = store->createFileData(key, folder, flags);
    if (!folder)
        r->setNeedsUpload(NeedsUpload::NotSelected); // decided by the scan
    return r;
}

FileData *FileManager::fileDataForPath(const QString &path)
{
    return fileDataForPath(path, 0, true);
}

void FileManager::setFile(FileData *record, qint16 needsScan, bool recursive)
{
    if (!record)
        return;
    record->setNeedsScan(needsScan);
    if (!recursive)
        return;
    QList<FileData *> stack(record->children().begin(), record->children().end());
    while (!stack.isEmpty()) {
        FileData *r = stack.takeLast();
        r->setNeedsScan(needsScan);
        stack.append(r->children());
    }
}

// --- Sources ----------------------------------------------------------------------------------------

QStringList FileManager::allSources()
{
    QStringList sources = customFolders();
    auto add = [&sources](const QString &path) {
        if (!path.isEmpty() && !sources.contains(path))
            sources.append(path);
    };
    if (importIPhotoEnabled())
        add(packagePathForIPhotoOrApertureLibrary(iPhotoDirectoryWithBackup(QString())));
    if (importApertureEnabled())
        add(aperturePackagePathForApertureLibrary(apertureDirectoryWithBackup(QString())));
    if (importOSXPhotosEnabled())
        add(aperturePackagePathForApertureLibrary(osxPhotosDirectoryWithBackup(QString())));
    if (importDropboxEnabled())
        add(dropboxDirectoryWithBackup(false));
    if (importIMessageEnabled() && isIMessageInstalled())
        add(iMessageDirectory());
    return sources;
}

QStringList FileManager::allSourcesFiltered()
{
    const QStringList all = allSources();
    QStringList out;
    for (const QString &path : all) {
        bool nested = false;
        for (const QString &other : all)
            if (other != path && isSameOrBelow(path, other)) {
                nested = true;
                break;
            }
        if (!nested && !out.contains(path))
            out.append(path);
    }
    return out;
}

bool FileManager::isPathInSources(const QString &path)
{
    const QString key = pathKey(path);
    const QStringList roots = allSources();
    for (const QString &root : roots)
        if (isSameOrBelow(key, root))
            return true;
    return false;
}

bool FileManager::isExcludedAlbumName(const QString &name)
{
    static const QSet<QString> names = [] {
        QSet<QString> s;
        for (const char *n : {"photos", "all photos", "events", "faces", "people", "places", "last import",
                              "last 12 months", "flagged", "trash", "recently deleted", "projects", "shared",
                              "photo stream", "my photo stream", "icloud photo sharing", "favorites", "hidden",
                              "selfies", "panoramas", "videos", "slo-mo", "time-lapse", "bursts", "screenshots",
                              "live photos", "portrait", "imports", "recently added", "moments", "collections",
                              "years", "memories", "library", "photo booth"})
            s.insert(QString::fromLatin1(n));
        return s;
    }();
    return names.contains(name.trimmed().toLower());
}

// --- Settings ---------------------------------------------------------------------------------------

QStringList FileManager::customFolders()
{
    // The list may have been edited by hand: an entry that is blank, not text or not an absolute
    // path names no folder (and a blank one would stand for every folder). It is dropped and the
    // list written back without it, so it is logged once and the folders beside it still count.
    const QVariant stored = Settings::objectForKey(kImportCustomFolders);
    const QVariantList entries = stored.canConvert<QVariantList>() ? stored.toList() : QVariantList{stored};
    QStringList folders;
    QStringList dropped;
    for (const QVariant &entry : entries) {
        const bool text = entry.typeId() == QMetaType::QString;
        if (text && QDir::isAbsolutePath(entry.toString()))
            folders << entry.toString();
        else if (entry.isValid())
            dropped << (text ? QStringLiteral("\"%1\"").arg(entry.toString()) : QString::fromLatin1(entry.typeName()));
    }
    if (!dropped.isEmpty()) {
        LGLogError(QStringLiteral("SCANNER: Dropped from the watched folders, as they name no folder: %1").arg(dropped.join(QStringLiteral(", "))));
        Settings::setObject(folders, kImportCustomFolders);
    }
    return folders;
}

void FileManager::addCustomFolder(const QString &path)
{
    if (path.trimmed().isEmpty())
        return;
    const QString real = realPath(path);
    QStringList folders = customFolders();
    if (folders.contains(real))
        return;
    folders.append(real);
    Settings::setObject(folders, kImportCustomFolders);
    Settings::addObject(real, kImportCustomFoldersEver);
    // A camera or card keeps its device's name once unplugged, whether or not a window showed it
    // while it was there.
    const QList<RemovableDevice> devices = DeviceDetection::removableDevices();
    if (const RemovableDevice *device = DeviceDetection::deviceFor(devices, real)) {
        QVariantMap known = Settings::objectForKey(removableSourceDevicesKey()).toMap();
        known.insert(real, device->name.isEmpty() ? QFileInfo(device->mountPoint).fileName() : device->name);
        Settings::setObject(known, removableSourceDevicesKey());
    }
    // Written through, as exclusions are: a crash must not bring back an earlier choice.
    Settings::synchronize();
    noteSourcesConfigured(int(folders.size()));
    LGLogInfo(QStringLiteral("SCANNER: Added folder %1").arg(real));
    FileManagerPrivate::reevaluateSources();
}

const QString &FileManager::removableSourceDevicesKey()
{
    static const QString key = QStringLiteral("RemovableSourceDevices");
    return key;
}

void FileManager::removeCustomFolder(const QString &path)
{
    if (path.trimmed().isEmpty())
        return;
    QStringList folders = customFolders();
    const QString key = pathKey(path);
    const QString real = realPath(path);
    const bool removed = folders.removeAll(key) + (real != key ? folders.removeAll(real) : 0) > 0;
    if (removed) {
        Settings::setObject(folders, kImportCustomFolders);
        Settings::synchronize(); // a removed folder must not be a source again after a crash
        noteSourcesConfigured(int(folders.size()));
        LGLogInfo(QStringLiteral("SCANNER: Removed folder %1").arg(key));
    }
    FileManagerPrivate::reevaluateSources();
}

namespace {
void setSwitch(const QString &key, bool on)
{
    if (Settings::boolForKey(key) == on && Settings::objectForKey(key).isValid())
        return;
    Settings::setBool(on, key);
    Settings::synchronize();
    LMRReporter::set(QStringLiteral("Library: ") + key, on);
    FileManagerPrivate::reevaluateSources();
}
} // namespace

void FileManager::setImportIPhotoEnabled(bool on) { setSwitch(QStringLiteral("ImportFromIPhotoEnabled"), on); }
void FileManager::setImportApertureEnabled(bool on) { setSwitch(QStringLiteral("ImportFromApertureEnabled"), on); }
void FileManager::setImportOSXPhotosEnabled(bool on) { setSwitch(QStringLiteral("ImportFromOSXPhotosEnabled"), on); }
void FileManager::setImportDropboxEnabled(bool on) { setSwitch(QStringLiteral("ImportFromDropboxEnabled"), on); }
void FileManager::setImportIMessageEnabled(bool on) { setSwitch(QStringLiteral("ImportFromIMessageEnabled"), on); }
bool FileManager::importIPhotoEnabled() { return Settings::boolForKey(QStringLiteral("ImportFromIPhotoEnabled")); }
bool FileManager::importApertureEnabled() { return Settings::boolForKey(QStringLiteral("ImportFromApertureEnabled")); }
bool FileManager::importOSXPhotosEnabled() { return Settings::boolForKey(QStringLiteral("ImportFromOSXPhotosEnabled")); }
bool FileManager::importDropboxEnabled() { return Settings::boolForKey(QStringLiteral("ImportFromDropboxEnabled")); }
bool FileManager::importIMessageEnabled() { return Settings::boolForKey(QStringLiteral("ImportFromIMessageEnabled")); }
bool FileManager::createIPhotoAlbumsEnabled() { return Settings::boolForKey(QStringLiteral("CreateIPhotoAlbums")); }

QString FileManager::hasApplicationInstalledWithName(const QString &appName)
{
    return PhotoLibraryEnvironment::instance()->applicationPath(appName);
}

bool FileManager::isIPhotoInstalled()
{
    return noteInstalled("Library: iPhoto installed", !hasApplicationInstalledWithName(QStringLiteral("iPhoto.app")).isEmpty());
}
bool FileManager::isApertureInstalled()
{
    return noteInstalled("Library: Aperture installed", !hasApplicationInstalledWithName(QStringLiteral("Aperture.app")).isEmpty());
}
bool FileManager::isDropboxInstalled()
{
    return noteInstalled("Library: Dropbox installed",
                         !hasApplicationInstalledWithName(QStringLiteral("Dropbox.app")).isEmpty()
                             || !PhotoLibraryEnvironment::instance()->dropboxFolder().isEmpty());
}
bool FileManager::isOSXPhotosInstalled()
{
    return noteInstalled("Library: Photos installed",
                         (NSDevice::osxVersionMajor() > 10 || NSDevice::osxVersionMinor() >= 10)
                             && !hasApplicationInstalledWithName(QStringLiteral("Photos.app")).isEmpty());
}
bool FileManager::isIMessageInstalled()
{
    const QFileInfo db(PhotoLibraryEnvironment::instance()->messagesDatabasePath());
    return noteInstalled("Library: Messages installed", db.isFile() && db.isReadable());
}

QString FileManager::picturesDirectory() { return standardDirectory(QStandardPaths::PicturesLocation); }
QString FileManager::desktopDirectory() { return standardDirectory(QStandardPaths::DesktopLocation); }
QString FileManager::downloadsDirectory() { return standardDirectory(QStandardPaths::DownloadLocation); }
QString FileManager::documentsDirectory() { return standardDirectory(QStandardPaths::DocumentsLocation); }
QString FileManager::homeDirectory() { return realPath(StandardPaths::homeFolder()); }
QString FileManager::iMessageDirectory() { return PhotoLibraryEnvironment::instance()->messagesAttachmentsPath(); }

namespace {
// A library named in the application's preferences, then the standard place under Pictures.
QString libraryPath(const QString &domain, const QString &key, const QStringList &standardNames,
                    const QString &inside, const QString &fallback)
{
    QString fromPrefs = PhotoLibraryEnvironment::instance()->applicationPreference(domain, key).toString();
    if (fromPrefs.startsWith(QLatin1String("file://")))
        fromPrefs = QUrl(fromPrefs).toLocalFile();
    QStringList candidates;
    if (!fromPrefs.isEmpty())
        candidates.append(fromPrefs);
    const QString pictures = FileManager::picturesDirectory();
    for (const QString &name : standardNames)
        candidates.append(pictures + QLatin1Char('/') + name);
    for (const QString &c : std::as_const(candidates)) {
        const QString path = inside.isEmpty() || c.endsWith(inside) ? c : c + QLatin1Char('/') + inside;
        if (QFileInfo::exists(path))
            return path;
    }
    return fallback;
}
} // namespace

QString FileManager::iPhotoDirectoryWithBackup(const QString &fallback)
{
    return libraryPath(QStringLiteral("com.apple.iApps"), QStringLiteral("iPhotoRecentDatabases"),
                       {QStringLiteral("iPhoto Library"), QStringLiteral("iPhoto Library.photolibrary"),
                        QStringLiteral("iPhoto Library.migratedphotolibrary")},
                       QStringLiteral("AlbumData.xml"), fallback);
}

QString FileManager::apertureDirectoryWithBackup(const QString &fallback)
{
    return libraryPath(QStringLiteral("com.apple.Aperture"), QStringLiteral("LibraryPath"),
                       {QStringLiteral("Aperture Library.aplibrary"), QStringLiteral("Aperture Library.migratedaplibrary")},
                       QStringLiteral("Database/Library.apdb"), fallback);
}

QString FileManager::osxPhotosDirectoryWithBackup(const QString &fallback)
{
    return libraryPath(QStringLiteral("com.apple.Photos"), QStringLiteral("IPXDefaultLibraryURLBookmark"),
                       {QStringLiteral("Photos Library.photoslibrary")}, QStringLiteral("database/photos.db"), fallback);
}

QString FileManager::dropboxDirectoryWithBackup(bool backup)
{
    const QString configured = PhotoLibraryEnvironment::instance()->dropboxFolder();
    if (!configured.isEmpty())
        return configured;
    if (backup) {
        const QString standard = StandardPaths::homeFolder() + QStringLiteral("/Dropbox");
        if (QFileInfo(standard).isDir())
            return standard;
    }
    return QString();
}

QString FileManager::lastIPhotoPath() { return Settings::stringForKey(QStringLiteral("LastIPhotoPath")); }
QString FileManager::lastAperturePath() { return Settings::stringForKey(QStringLiteral("LastAperturePath")); }
QString FileManager::lastOSXPhotosPath() { return Settings::stringForKey(QStringLiteral("LastOSXPhotosPath")); }
QString FileManager::lastDropboxPath() { return Settings::stringForKey(QStringLiteral("LastDropboxPath")); }

bool FileManager::pathIsIPhotoOrApertureLibraryPackageSlow(const QString &path)
{
    const QDir dir(path);
    return QFileInfo(path).isDir()
        && (dir.exists(QStringLiteral("AlbumData.xml")) || dir.exists(QStringLiteral("ApertureData.xml"))
            || dir.exists(QStringLiteral("Database/Library.apdb")));
}

bool FileManager::pathIsApertureLibraryPackageSlow(const QString &path)
{
    const QDir dir(path);
    return QFileInfo(path).isDir()
        && (dir.exists(QStringLiteral("ApertureData.xml")) || dir.exists(QStringLiteral("Database/Library.apdb")));
}

bool FileManager::pathIsPhotoBoothPackage(const QString &path)
{
    return QFileInfo(path).isDir() && QFileInfo(path).fileName() == QLatin1String("Photo Booth Library")
        && QFileInfo::exists(path + QStringLiteral("/Recents.plist"));
}

bool FileManager::pathIsApertureLibraryXMLSlow(const QString &path)
{
    return QFileInfo(path).isFile() && QFileInfo(path).fileName() == QLatin1String("ApertureData.xml");
}

bool FileManager::pathIsIPhotoLibraryXMLSlow(const QString &path)
{
    return QFileInfo(path).isFile() && QFileInfo(path).fileName() == QLatin1String("AlbumData.xml");
}

QString FileManager::packagePathForIPhotoOrApertureLibrary(const QString &libraryPath)
{
    if (libraryPath.isEmpty())
        return QString();
    return QFileInfo(libraryPath).isDir() ? pathKey(libraryPath) : QFileInfo(libraryPath).absolutePath();
}

QString FileManager::apertureLibraryPathFromAperturePackagePath(const QString &packagePath)
{
    if (packagePath.isEmpty())
        return QString();
    return pathKey(packagePath) + QStringLiteral("/Database/Library.apdb");
}

QString FileManager::aperturePackagePathForApertureLibrary(const QString &libraryPath)
{
    if (libraryPath.isEmpty())
        return QString();
    QString path = pathKey(libraryPath);
    while (path.size() > 1) {
        const QString name = QFileInfo(path).fileName();
        if (name.endsWith(QLatin1String(".aplibrary")) || name.endsWith(QLatin1String(".photoslibrary"))
            || name.endsWith(QLatin1String(".migratedaplibrary")) || name.endsWith(QLatin1String(".migratedphotolibrary")))
            return path;
        path = QFileInfo(path).absolutePath();
    }
    return packagePathForIPhotoOrApertureLibrary(libraryPath);
}

void FileManager::registerIMessageHasPhotos()
{
    dispatch_default_queue_async([] {
        bool found = false;
        if (isIMessageInstalled()) {
            QDirIterator it(iMessageDirectory(), QDir::Files, QDirIterator::Subdirectories);
            while (!found && it.hasNext())
                found = MediaInspector::hasCandidateExtension(QFileInfo(it.next()).fileName());
        }
        Settings::setBool(found, QStringLiteral("IMessageHasPhotos"));
    });
}

void FileManager::updateFolderHasAnyExcludedChildren(FileData *folder)
{
    if (!folder)
        return;
    bool any = false;
    QList<FileData *> stack(folder->children().begin(), folder->children().end());
    while (!any && !stack.isEmpty()) {
        FileData *r = stack.takeLast();
        if (!r->isFolder())
            continue;
        if (r->excludedFromScan())
            any = true;
        stack.append(r->children());
    }
    folder->setFlag(FileFlags::HasExcludedChildren, any);
}
