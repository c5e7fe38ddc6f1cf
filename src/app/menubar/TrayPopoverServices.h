#pragma once
// What the tray popover reads from and asks of the rest of the application, in one place: the
// engine's status model and recent uploads, the signed-in account, the catalogue's photo ids,
// the menu-bar controller's commands and the analytics calls. Each entry defaults to the real
// owner's call; tests replace entries to answer or to observe.
#include <QImage>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <optional>

class QMenu;

struct TrayPopoverServices
{
    // Status model and pause state.
    std::function<bool()> paused;
    std::function<bool()> pausedDueToError;
    std::function<QString()> statusLineShort;
    std::function<bool()> statusRetryOffered;
    std::function<bool()> statusIsComplete;
    std::function<bool()> statusIsRunning;
    std::function<bool()> statusIsScanning;
    std::function<double()> statusPercent;
    std::function<QString()> alphaOrWWW;
    // Uploader.
    std::function<int()> filesToUpload;
    std::function<QStringList()> recentUploads; // newest first
    std::function<QImage(const QString &path)> imageForRecentUpload;
    // Changes whenever the thumbnail of a path is replaced (empty while it has none).
    std::function<QString(const QString &path)> imageStampForRecentUpload;
    // Catalogue: the service photo id of the record at a path (0 while not finished), or nothing
    // when the catalogue has no record there. Looked up afresh each time, never held.
    std::function<std::optional<qint64>(const QString &path)> photoIdForPath;
    // Account.
    std::function<bool()> isAuthorized;
    std::function<QString()> currentUserID;
    std::function<QString()> currentUserName;
    std::function<QString()> currentUserFullName;
    std::function<QString()> userImageFilePath;
    std::function<QString()> userCoverImageFilePath;
    // Menu-bar controller commands and its application menu.
    std::function<void()> resumeSync;
    std::function<void()> refreshManually;
    std::function<void()> pauseSync1h;
    std::function<void()> pauseSync8h;
    std::function<void()> pauseSync24h;
    std::function<void()> pauseSync1wk;
    std::function<void()> pauseSync100yrs;
    std::function<QMenu *()> statusBarMenu;
    // Analytics.
    std::function<void(const QString &event)> increment;
    std::function<void(const QString &event, int mask)> trackAndIncrement;
    std::function<void(const QString &property, const QVariant &value)> reporterSet;

    static TrayPopoverServices &instance();
    // Puts every entry back to the real owner's call.
    static void reset();
    static TrayPopoverServices makeDefaults();
};
