#include "app/menubar/TrayPopoverServices.h"

#include "app/menubar/MainController.h"
#include "catalogue/FileData.h"
#include "catalogue/FileManager.h"
#include "core/LMRReporter.h"
#include "platform/StandardPaths.h"
#include "service/LumoraKit.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"

#if __has_include("service/DataStoreLumoraData.h")
#include "service/DataStoreLumoraData.h"
#define HOISTLY_HAS_MIRROR 1
#endif

#include <QDir>

TrayPopoverServices &TrayPopoverServices::instance()
{
    static TrayPopoverServices services = makeDefaults();
    return services;
}

void TrayPopoverServices::reset()
{
    instance() = makeDefaults();
}

TrayPopoverServices TrayPopoverServices::makeDefaults()
{
    TrayPopoverServices s;
    s.paused = [] { return LumoraDrive::paused(); };
    s.pausedDueToError = [] { return LumoraDrive::pausedDueToError(); };
    s.statusLineShort = [] { return LumoraDrive::statusLineShort(); };
    s.statusRetryOffered = [] { return LumoraDrive::statusRetryOffered(); };
    s.statusIsComplete = [] { return LumoraDrive::statusIsComplete(); };
    s.statusIsRunning = [] { return LumoraDrive::statusIsRunning(); };
    s.statusIsScanning = [] { return LumoraDrive::statusIsScanning(); };
    s.statusPercent = [] { return LumoraDrive::statusPercent(); };
    s.alphaOrWWW = [] { return LumoraDrive::alphaOrWWW(); };
    // Counted with the status line shown beside it, from the same snapshot.
    s.filesToUpload = [] { return LumoraDrive::statusFilesToGo(); };
    s.recentUploads = [] { return LumoraUploader::recentUploads(); };
    s.imageForRecentUpload = [](const QString &path) { return LumoraUploader::imageForRecentUpload(path); };
    s.imageStampForRecentUpload = [](const QString &path) { return LumoraUploader::imageStampForRecentUpload(path); };
    s.photoIdForPath = [](const QString &path) -> std::optional<qint64> {
        FileData *record = FileManager::fileDataForPath(path, 0, false);
        if (!record)
            return std::nullopt;
        return record->uploadedRemoteId();
    };
    s.isAuthorized = [] { return LumoraKit::sharedLumoraKit()->isAuthorized(); };
    s.currentUserID = [] { return LumoraKit::sharedLumoraKit()->currentUserID(); };
    s.currentUserName = [] { return LumoraKit::sharedLumoraKit()->currentUserName(); };
    s.currentUserFullName = [] { return LumoraKit::sharedLumoraKit()->currentUserFullName(); };
#ifdef HOISTLY_HAS_MIRROR
    s.userImageFilePath = [] { return DataStoreLumoraData::userImageFilePath(); };
    s.userCoverImageFilePath = [] { return DataStoreLumoraData::userCoverImageFilePath(); };
#else
    // The mirror keeps the account images in the cache folder under these names.
    s.userImageFilePath = [] { return QDir(StandardPaths::lumoraSubfolder(QStringLiteral("Cache"))).filePath(QStringLiteral("UserImage.jpg")); };
    s.userCoverImageFilePath = [] { return QDir(StandardPaths::lumoraSubfolder(QStringLiteral("Cache"))).filePath(QStringLiteral("UserCover.jpg")); };
#endif
    s.resumeSync = [] { MainController::instance()->resumeSync(); };
    s.refreshManually = [] { LumoraDrive::refreshManually(); };
    s.pauseSync1h = [] { MainController::instance()->pauseSync1h(); };
    s.pauseSync8h = [] { MainController::instance()->pauseSync8h(); };
    s.pauseSync24h = [] { MainController::instance()->pauseSync24h(); };
    s.pauseSync1wk = [] { MainController::instance()->pauseSync1wk(); };
    s.pauseSync100yrs = [] { MainController::instance()->pauseSync100yrs(); };
    s.statusBarMenu = []() -> QMenu * {
        MainController *controller = MainController::instanceNoCreate();
        if (!controller)
            return nullptr;
        if (!controller->statusBarMenu())
            controller->setupMenu();
        return controller->statusBarMenu();
    };
    s.increment = [](const QString &event) { LMRReporter::increment(event); };
    s.trackAndIncrement = [](const QString &event, int mask) { LMRReporter::trackAndIncrement(event, mask); };
    s.reporterSet = [](const QString &property, const QVariant &value) { LMRReporter::set(property, value); };
    return s;
}
