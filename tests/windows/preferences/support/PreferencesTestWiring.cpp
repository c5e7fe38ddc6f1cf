// Test wiring of the preferences window's services: nobody signed in, nothing recorded. Tests
// replace single entries to answer or to observe.
#include "core/Settings.h"
#include "windows/preferences/PreferencesServices.h"

PreferencesServices PreferencesServices::makeDefaults()
{
    PreferencesServices s;
    s.isAuthorized = [] { return false; };
    s.currentUserID = [] { return QString(); };
    s.currentUserName = [] { return QString(); };
    s.currentUserFullName = [] { return QString(); };
    s.alphaOrWWW = [] { return QStringLiteral("www"); };
    s.setHideDockIcon = [](bool) {};
    s.hasCompletedWelcomeScreen = [] { return true; };
    s.stopKeepingOnTop = [] {};
    s.setSelfUpdatesDisabledUntil = [](const QDateTime &, const QString &) {};
    s.photoCount = [] { return 0; };
    s.storageUsed = [] { return qint64(0); };
    s.userImageFilePath = [] { return QString(); };
    s.userCoverImageFilePath = [] { return QString(); };
    s.updateUserInfo = [] {};
    s.logoutAfterConfirming = [] {};
    s.logoutAndKeepData = [] {};
    s.fullReset = [] {};
    s.runAtStartup = [] { return false; };
    s.setRunAtStartup = [](bool) {};
    s.updateStatusIcon = [] {};
    s.checkForUpdates = [] {};
    s.viewDebugLog = [] {};
    s.openBugTracker = [] {};
    s.displayAbout = [] {};
    s.quitApp = [] {};
    s.checkForAlphaEnvironmentAvailable = [] {};
    s.hiddenChannelKey = [] { return QStringLiteral("TestChannelSwitch"); };
    s.switchBranchFollowUp = [] {};
    s.trackOncePerDay = [](const QString &, int) {};
    s.trackAndIncrement = [](const QString &, int) {};
    s.reporterSet = [](const QString &, const QVariant &) {};
    s.reporterIncrement = [](const QString &) {};
    return s;
}

// No engine in these tests: an empty sources configuration until a test installs its own.
#include "windows/sources/SourcesBackend.h"

namespace {
class EmptySourcesBackend : public SourcesBackend
{
public:
    QStringList customFolders() override { return {}; }
    void addCustomFolder(const QString &) override {}
    void removeCustomFolder(const QString &) override {}
    void setTrackingCurrentScan(bool) override {}
    bool isInstalled(Library) override { return false; }
    bool importEnabled(Library) override { return false; }
    void setImportEnabled(Library, bool) override {}
    QString lastLibraryPath(Library) override { return {}; }
    QString libraryDirectory(Library) override { return {}; }
    QString standardDirectory(Folder) override { return {}; }
    RecordId recordForPath(const QString &) override { return 0; }
    RecordId recordForPathCreating(const QString &) override { return 0; }
    bool recordState(RecordId, RecordState *) override { return false; }
    QList<RecordId> children(RecordId) override { return {}; }
    void setExcludedFromScan(RecordId, bool) override {}
    void setNeedsScanRecursive(RecordId) override {}
    void runScanner() override {}
    void requestUploadListCleanup() override {}
    void cancelCurrentUploadIfNoLongerSelected() override {}
    void runUploader() override {}
};
} // namespace

SourcesBackend *SourcesBackend::makeDefault()
{
    return new EmptySourcesBackend;
}
