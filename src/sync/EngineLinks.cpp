#include "EngineLinks.h"

#include "LumoraDrive.h"
#include "LumoraUploader.h"

#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"
#include "catalogue/FileManager.h"
#include "service/DataStoreLumoraData.h"
#include "service/LKImageUploadNetworkOperation.h"
#include "service/LumoraKit.h"
#include "service/Reachability.h"

#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/LMRReporter.h"
#include "core/Settings.h"
#include "core/UiHooks.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <memory>



namespace {

// A failed refresh is tried again soon, then less and less often, never after a full hour.
double g_firstRetry = 30;
double g_maxRetry = 15 * 60;
double g_nextRetry = 0; // 0: the last refresh went well (main thread)

// A mirror refresh ends: arm the next one and run the queues (the scan loop waited for it).
void mirrorRefreshDone(bool ok)
{
    if (!ok) {
        g_nextRetry = g_nextRetry <= 0 ? g_firstRetry : qMin(g_maxRetry, g_nextRetry * 2);
        LGLogInfo(QStringLiteral("DRIVE: Service refresh did not complete; trying again in %1 s").arg(g_nextRetry));
        DataStoreLumoraData::armResyncTimer(g_nextRetry);
    } else {
        g_nextRetry = 0;
        DataStoreLumoraData::armResyncTimer();
        // The service answers again: uploads stopped after errors need not wait for their turn.
        LumoraUploader::resumeAfterErrors();
    }
    // The scan it held back starts first: the status then says so, not "all uploaded" while
    // folders still wait for it.
    LumoraDrive::runQueues();
    LumoraDrive::updateStatus();
}

// A folder's answer, decided once per count: the files of one folder share it.
bool decideOncePerFolder(QHash<const FileData *, bool> &known, const FileData *folder,
                         const std::function<bool(const FileData *)> &decide)
{
    if (!folder)
        return false;
    const auto found = known.constFind(folder);
    if (found != known.constEnd())
        return *found;
    const bool answer = decide(folder);
    known.insert(folder, answer);
    return answer;
}

// The account whose service state the catalogue holds ("" before one was recorded).
const QString kCatalogueAccountKey = QStringLiteral("ServiceAccountID");

// The signed-in account and the catalogue's; both "" while there is no sign-in or no catalogue.
std::pair<QString, QString> signedInAndCatalogueAccounts()
{
    DataStore *store = DataStore::instance();
    const QString current = LumoraKit::sharedLumoraKit()->currentUserID();
    if (current.isEmpty() || !store || !store->isOpen())
        return {};
    return {current, store->settingNamed(kCatalogueAccountKey)->stringValue()};
}

// The catalogue taken over by another account without holding the window: the records are
// listed at once, the folders' settings files read on the scanner's readers, the records changed
// a share per turn of the main thread and handed to the writer. The account is recorded as the
// catalogue's only once the writer has them: a crash before leaves the switch to be made again.
struct AccountSwitch
{
    QString account;
    QList<qint64> ids;
    QHash<qint64, QVariant> settings; // folder id -> the contents of its settings file
    qsizetype next = 0;
    int files = 0;
};
std::shared_ptr<AccountSwitch> g_switch; // main thread; set while a switch is under way
constexpr qint64 kSwitchShareMs = 4;

// What a record says of another account's service: photo ids, upload and in-flight marks,
// tickets and album ids. Files are decided again when their folders are listed (once the new
// account's listing is in); the folders' choices stored for the new account apply. Answers
// whether a file is to be decided again.
bool forgetServiceMarks(FileData *r, const QVariant &settings)
{
    if (r->isFolder()) {
        r->setLumoraSetId(0);
        r->removeFlag(FileFlags::AlbumCreatedMark | FileFlags::AlbumRenameMark | FileFlags::AlbumDeletionMark);
        r->applySetData(settings);
        if (!r->isMissingOnDisk())
            FileManager::setFile(r, NeedsScan::Pending, false);
        return false;
    }
    const qint16 code = r->needsUpload();
    const bool decidedForTheService = code == NeedsUpload::Uploaded || code == NeedsUpload::AlreadyOnService
        || code == NeedsUpload::DuplicateOnServer || code == NeedsUpload::AwaitingTicket || code == NeedsUpload::Waiting
        || code == NeedsUpload::Deferred || code == NeedsUpload::FailedThreeTimes;
    if (r->uploadedRemoteId() != 0)
        r->setUploadedRemoteId(0);
    if (!r->uploadTicket().isEmpty())
        r->setUploadTicket(QString());
    if (decidedForTheService)
        r->setNeedsUpload(NeedsUpload::NotSelected);
    return decidedForTheService;
}

void finishSwitch(const std::shared_ptr<AccountSwitch> &sw)
{
    if (g_switch != sw)
        return;
    g_switch.reset();
    if (DataStore *store = DataStore::instanceIfCreated(); store && store->isOpen()) {
        store->settingNamed(kCatalogueAccountKey)->setStringValue(sw->account);
        DataStore::queueSave();
    }
    LumoraDrive::updateStatus();
}

void forgetServiceMarksInShares(const std::shared_ptr<AccountSwitch> &sw)
{
    DataStore *store = DataStore::instanceIfCreated();
    if (g_switch != sw || !store || !store->isOpen()) {
        if (g_switch == sw)
            g_switch.reset(); // the store closed: made again when asked
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (sw->next < sw->ids.size()) {
        if (clock.elapsed() >= kSwitchShareMs) {
            dispatch_main_async([sw] { forgetServiceMarksInShares(sw); });
            return;
        }
        const qint64 id = sw->ids.at(sw->next++);
        if (FileData *r = store->fileDataForId(id))
            sw->files += forgetServiceMarks(r, sw->settings.value(id));
    }
    LGLogInfo(QStringLiteral("DRIVE: %1 files to be decided again").arg(sw->files));
    const DataStore::SaveTicket saving = DataStore::startSave();
    dispatch_default_queue_async([sw, saving] {
        DataStore::waitForSave(saving);
        dispatch_main_async([sw] { finishSwitch(sw); });
    });
}

// The records are listed in a turn of their own, after the one that forgot the account.
void listRecordsToSwitch(const std::shared_ptr<AccountSwitch> &sw)
{
    DataStore *store = DataStore::instanceIfCreated();
    if (g_switch != sw || !store || !store->isOpen())
        return forgetServiceMarksInShares(sw);
    sw->ids.reserve(store->fileDataCount());
    QList<qint64> folders;
    QStringList files;
    for (FileData *r : store->allFileDataById()) {
        sw->ids.append(r->fileID());
        if (r->isFolder()) {
            folders.append(r->fileID());
            files.append(r->setDataFilePath());
        }
    }
    dispatch_default_queue_async([sw, folders, files] {
        DataStoreLumoraData::forgetStoredIndex();
        const QList<QVariant> contents = FileManager::readFolderSettings(files);
        for (qsizetype i = 0; i < folders.size(); ++i)
            sw->settings.insert(folders.at(i), contents.at(i));
        dispatch_main_async([sw] { forgetServiceMarksInShares(sw); });
    });
}

} // namespace

StatusInputs EngineLinks::gatherStatusInputs()
{
    StatusInputs in;
    in.signedIn = isSignedIn();
    in.credentialsRefused = LumoraKit::sharedLumoraKit()->credentialsRefused();
    in.online = isOnline();
    in.mirrorCompleted = mirrorCompletedThisSession();
    in.mirrorRefreshing = mirrorRunning();
    in.mirrorPausedDueToErrors = DataStoreLumoraData::pausedDueToError();
    in.onboardingComplete = onboardingComplete();
    in.scanning = scannerRunning();
    DataStore *store = DataStore::instance();
    in.catalogueUnavailable = !store->isOpen();
    in.catalogueSavesFailing = store->isOpen() && store->savesFailing();
    if (in.catalogueSavesFailing)
        in.catalogueSaveError = store->lastSaveError().message;
    in.settingsUnsavedError = Settings::unsavedError();
    if (!in.settingsUnsavedError.isEmpty())
        in.settingsFolder = QFileInfo(Settings::storePath()).absolutePath();
    const Settings::ReadFailure unread = Settings::readFailure();
    in.settingsUnread = unread.reason;
    in.settingsKeptAs = unread.keptAs;
    if (!unread.reason.isEmpty())
        in.settingsFile = Settings::storePath();
    const QStringList sources = FileManager::allSourcesFiltered();
    in.noSources = sources.isEmpty();
    if (store->isOpen()) {
        for (const QString &root : sources) {
            const FileData *r = FileManager::fileDataForPath(root, 0, false);
            in.sourcesUnavailable += r && r->hasFlag(FileFlags::SourceUnavailable);
        }
    }
    return in;
}

NotOnService EngineLinks::countNotOnService()
{
    NotOnService left;
    DataStore *store = DataStore::instance();
    if (!store->isOpen())
        return left;
    left.counted = true;
    // Selected: inside a source and under no excluded folder; decided once per folder.
    QHash<const FileData *, bool> selected;
    const auto folderSelected = [&](const FileData *folder) {
        return decideOncePerFolder(selected, folder, [](const FileData *f) {
            bool on = !f->excludedFromScan() && FileManager::isPathInSources(f->fileFullPath());
            for (const FileData *p = f->parent(); on && p; p = p->parent())
                on = !p->excludedFromScan();
            return on;
        });
    };
    // In a source that is away (unplugged, moved): such files wait for it, not for the loop.
    QHash<const FileData *, bool> away;
    const std::function<bool(const FileData *)> folderAway = [&](const FileData *folder) {
        return decideOncePerFolder(away, folder, [&](const FileData *f) {
            return f->hasFlag(FileFlags::SourceUnavailable) || folderAway(f->parent());
        });
    };
    const FileData *lastFolder = nullptr; // files of one folder mostly follow each other
    bool lastSelected = false;
    for (FileData *r : store->allFileDataById()) {
        // A file gone from the disk (deleted, renamed) is no longer one to back up.
        if (r->isFolder() || r->isMissingOnDisk())
            continue;
        int *reason = nullptr;
        switch (r->needsUpload()) {
        case NeedsUpload::Waiting:
        case NeedsUpload::AwaitingTicket: reason = &left.waiting; break;
        case NeedsUpload::Deferred: reason = &left.retrying; break;
        case NeedsUpload::FailedThreeTimes: reason = &left.failed; break;
        case NeedsUpload::ImageUnreadable: reason = &left.unreadable; break;
        case NeedsUpload::TooLarge: reason = &left.tooLarge; break;
        case NeedsUpload::TooSmall: reason = &left.tooSmall; break;
        case NeedsUpload::UnsupportedFormat: // the scanner's "not a photo" is left out on purpose
            reason = r->mediaKind() != MediaKind::Unknown ? &left.refused : nullptr;
            break;
        default: break;
        }
        if (!reason)
            continue;
        if (r->parent() != lastFolder) {
            lastFolder = r->parent();
            lastSelected = folderSelected(lastFolder);
        }
        if (lastSelected && reason == &left.waiting && r->needsUpload() == NeedsUpload::Waiting && folderAway(lastFolder))
            reason = &left.awaitingSource;
        if (lastSelected)
            ++*reason;
    }
    for (const FileManager::SkippedFile &f : FileManager::skippedFiles()) {
        switch (f.reason) {
        case FileManager::SkipReason::NameNotUtf8: f.isFolder ? ++left.foldersNotRead : ++left.badNames; break;
        case FileManager::SkipReason::CannotList: ++left.foldersNotRead; break;
        case FileManager::SkipReason::LinkToFolder: ++left.linkedFolders; break;
        case FileManager::SkipReason::CannotRead: ++left.unreadable; break;
        }
    }
    return left;
}

void EngineLinks::initializeClient(const QString &apiKey, const QString &secret, bool alphaEnv)
{
    LGLog::addExcludedWord(secret);
    LumoraKit::sharedLumoraKit()->initializeWithAPIKey(apiKey, secret, alphaEnv);
}

void EngineLinks::installCatalogueHooks()
{
    DataStoreLumoraData::installCatalogueHooks();
    // The mirror's running and paused-after-errors states feed the status and the pause state.
    DataStoreLumoraData::setStateChangedHandler([] { LumoraDrive::pausedStateChanged(); });
    // Settings that cannot be written are told as the catalogue's saves are.
    Settings::setHealthChangedHandler([] { LumoraDrive::updateStatus(); });
    // Uploads wait while the catalogue cannot be saved and go on once it can.
    CatalogueHooks::instance().catalogueHealthChanged = [] {
        LumoraDrive::updateStatus();
        LumoraDrive::runQueues();
    };
    // Upload bodies left by a run that ended mid-upload are of no use now.
    LKImageUploadNetworkOperation::purgeUploadCache();
}

void EngineLinks::armMirrorResync()
{
    DataStoreLumoraData::armResyncTimer();
}

void EngineLinks::refreshStoreThenMirror()
{
    // The store opens (and reconciles with the disk) before the mirror marks files against it.
    FileManager::startup();
    refreshMirror();
}

void EngineLinks::refreshMirror()
{
    if (!isMainThread()) {
        dispatch_main_async([] { refreshMirror(); });
        return;
    }
    // A listing taken for a new account must not meet the marks of the one before.
    if (!adoptSignedInAccount()) {
        dispatch_main_delay([] { refreshMirror(); }, 0.2);
        return;
    }
    DataStoreLumoraData::refresh(mirrorRefreshDone);
}

bool EngineLinks::anotherAccountSignedIn()
{
    const auto [current, owner] = signedInAndCatalogueAccounts();
    return !current.isEmpty() && !owner.isEmpty() && owner != current;
}

bool EngineLinks::adoptSignedInAccount()
{
    // Also when the account switched from comes back meanwhile: the catalogue is the one being
    // switched to once the switch is over, and is switched back then.
    if (g_switch)
        return false;
    const auto [current, owner] = signedInAndCatalogueAccounts();
    if (current.isEmpty() || owner == current)
        return true;
    DataStore *store = DataStore::instance();
    if (owner.isEmpty()) {
        // A catalogue kept before accounts were told apart is taken as the signed-in account's.
        store->settingNamed(kCatalogueAccountKey)->setStringValue(current);
        DataStore::queueSave();
        LumoraDrive::updateStatus();
        return true;
    }
    // The loop holds for another account at its next step; a send under way is cut short.
    if (LumoraUploader::isRunning()) {
        LumoraUploader::cancelCurrentUpload();
        return false;
    }
    LGLogInfo(QStringLiteral("DRIVE: Signed in as %1, not %2: every selected file is decided again for this account").arg(current, owner));
    LumoraUploader::forgetAccount();
    DataStoreLumoraData::forgetAccount();
    g_switch = std::make_shared<AccountSwitch>();
    g_switch->account = current;
    dispatch_main_async([sw = g_switch] { listRecordsToSwitch(sw); });
    LumoraDrive::updateStatus();
    return false;
}

void EngineLinks::retryFailedMirrorRefresh()
{
    if (g_nextRetry <= 0 && mirrorCompletedThisSession())
        return;
    if (DataStoreLumoraData::isRunning())
        return;
    LGLogInfo(QStringLiteral("DRIVE: Network back; refreshing the service data"));
    refreshMirror();
}

void EngineLinks::setMirrorRetryForTesting(double firstSeconds, double maxSeconds)
{
    g_firstRetry = firstSeconds;
    g_maxRetry = maxSeconds;
    g_nextRetry = 0;
}

double EngineLinks::nextMirrorRetryForTesting() { return g_nextRetry; }

void EngineLinks::startScanner()
{
    FileManager::run();
}

void EngineLinks::stopFolderMonitors()
{
    DataStoreLumoraData::cancelResyncTimer();
    FileManager::shutdown();
}

void EngineLinks::startLocalLinkReachability()
{
    Reachability::reachabilityForInternetConnection()->startNotifier();
    Reachability::reachabilityForLocalWiFi()->startNotifier();
}

bool EngineLinks::isOnline() { return Reachability::isOnline(); }
bool EngineLinks::isSignedIn() { return LumoraKit::sharedLumoraKit()->isAuthorized(); }
bool EngineLinks::mirrorCompletedThisSession() { return DataStoreLumoraData::hasCompletedScanThisSession().isValid(); }
// A switch to another account is the first step of its listing: "connecting", not "could not".
bool EngineLinks::mirrorRunning() { return DataStoreLumoraData::isRunning() || g_switch; }
bool EngineLinks::scannerCompletedPassThisSession() { return FileManager::hasCompletedScanThisSession(); }
bool EngineLinks::scannerRunning() { return FileManager::isRunning(); }

bool EngineLinks::onboardingComplete()
{
    const auto &hook = UiHooks::instance().hasCompletedWelcomeScreen;
    if (hook)
        return hook();
    return Settings::boolForKey(QStringLiteral("WelcomeScreenComplete"));
}

void EngineLinks::recordAlbumMembership(FileData *folder, FileData *record, const QString &albumId)
{
    const QString id = !albumId.isEmpty() ? albumId
                       : (folder && folder->lumoraSetId() != 0 ? QString::number(folder->lumoraSetId()) : QString());
    if (id.isEmpty() || !record)
        return;
    if (folder && !folder->albumName().isEmpty())
        DataStoreLumoraData::noteAlbum(id, folder->albumName());
    else if (folder)
        DataStoreLumoraData::noteAlbum(id, folder->defaultAlbumName());
    DataStoreLumoraData::notePhotoInAlbum(QString::number(record->uploadedRemoteId()), id);
}

void EngineLinks::registerUploadedFile(FileData *record)
{
    DataStoreLumoraData::registerDeDupForUploadedFile(record, true);
}

void EngineLinks::trackInteraction(const QString &event)
{
    LMRReporter::trackAndIncrement(event, 1);
    LMRReporter::set(QStringLiteral("Misc: Last interaction"), QDateTime::currentDateTimeUtc());
}
