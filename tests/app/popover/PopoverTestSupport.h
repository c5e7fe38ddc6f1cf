#pragma once
// A scripted engine and account for the popover tests: every service entry answers from these
// fields and records the commands it receives.
#include "app/menubar/TrayPopoverServices.h"

#include <QColor>
#include <QHash>
#include <QImage>
#include <QStringList>
#include <QVariant>

struct FakePopoverWorld
{
    bool paused = false;
    bool pausedDueToError = false;
    bool retryOffered = false;
    QString statusLine = QStringLiteral("Everything is uploaded");
    bool complete = false, running = false, scanning = false;
    double percent = 0.0;
    int filesToUpload = 0;
    QStringList recent;
    QHash<QString, QImage> thumbnails;
    QHash<QString, qint64> photoIds; // absent: no catalogue record
    bool authorized = true;
    QString userId = QStringLiteral("lumora-30571942");
    QString userName = QStringLiteral("hoistlytester");
    QString fullName = QStringLiteral("Hoistly Tester");
    QString avatarPath, coverPath;
    QMenu *statusBarMenu = nullptr;
    QStringList commands;  // "resume", "refresh", "pause1h", ...
    QStringList analytics; // "increment:<event>", "track:<event>:<mask>", "set:<property>"

    // Adds a finished (or unfinished, id 0) upload with a coloured thumbnail at the head.
    void addUpload(const QString &path, qint64 photoId, QColor colour = QColor(80, 140, 200))
    {
        recent.prepend(path);
        QImage image(56, 56, QImage::Format_ARGB32_Premultiplied);
        image.fill(colour);
        thumbnails.insert(path, image);
        photoIds.insert(path, photoId);
    }

    void install()
    {
        TrayPopoverServices &s = TrayPopoverServices::instance();
        s.paused = [this] { return paused; };
        s.pausedDueToError = [this] { return pausedDueToError; };
        s.statusLineShort = [this] { return statusLine; };
        s.statusRetryOffered = [this] { return retryOffered; };
        s.statusIsComplete = [this] { return complete; };
        s.statusIsRunning = [this] { return running; };
        s.statusIsScanning = [this] { return scanning; };
        s.statusPercent = [this] { return percent; };
        s.alphaOrWWW = [] { return QStringLiteral("www"); };
        s.filesToUpload = [this] { return filesToUpload; };
        s.recentUploads = [this] { return recent; };
        s.imageForRecentUpload = [this](const QString &path) { return thumbnails.value(path); };
        s.imageStampForRecentUpload = [this](const QString &path) {
            const QImage image = thumbnails.value(path);
            return image.isNull() ? QString() : QString::number(image.cacheKey());
        };
        s.photoIdForPath = [this](const QString &path) -> std::optional<qint64> {
            if (!photoIds.contains(path))
                return std::nullopt;
            return photoIds.value(path);
        };
        s.isAuthorized = [this] { return authorized; };
        s.currentUserID = [this] { return userId; };
        s.currentUserName = [this] { return userName; };
        s.currentUserFullName = [this] { return fullName; };
        s.userImageFilePath = [this] { return avatarPath; };
        s.userCoverImageFilePath = [this] { return coverPath; };
        s.resumeSync = [this] { commands << QStringLiteral("resume"); };
        s.refreshManually = [this] { commands << QStringLiteral("refresh"); };
        s.pauseSync1h = [this] { commands << QStringLiteral("pause1h"); };
        s.pauseSync8h = [this] { commands << QStringLiteral("pause8h"); };
        s.pauseSync24h = [this] { commands << QStringLiteral("pause24h"); };
        s.pauseSync1wk = [this] { commands << QStringLiteral("pause1wk"); };
        s.pauseSync100yrs = [this] { commands << QStringLiteral("pause100yrs"); };
        s.statusBarMenu = [this] { return statusBarMenu; };
        s.increment = [this](const QString &e) { analytics << QStringLiteral("increment:") + e; };
        s.trackAndIncrement = [this](const QString &e, int mask) {
            analytics << QStringLiteral("track:%1:%2").arg(e).arg(mask);
        };
        s.reporterSet = [this](const QString &p, const QVariant &) { analytics << QStringLiteral("set:") + p; };
    }
};
