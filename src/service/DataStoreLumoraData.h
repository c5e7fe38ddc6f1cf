#pragma once
// The local mirror of the signed-in account: a refresh (de-duplication index, albums, account
// information) that the scan loop waits for, the account's statistics and images, album
// bookkeeping and the de-duplication index that marks catalogue files already on the service.
//
// Class-level state under one lock. refresh() works on a background queue and hands every
// catalogue step to the main thread; matchDeDupForFile() and registerDeDupForUploadedFile() run
// on the main thread (they touch records).
#include "catalogue/ContentSample.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>

class FileData;
struct DedupData;

class DataStoreLumoraData
{
public:
    // Account information older than this is loaded again (seconds).
    static constexpr int kUserInfoMaxAge = 43200;
    static constexpr int kUserInfoMaxAgeInteractive = 5;
    // Between two refreshes when nothing asks sooner (seconds).
    static constexpr double kResyncInterval = 3600;
    // Checksum list not ready yet: asked again after 10 s, then every 30 s.
    static constexpr double kDedupFirstPoll = 10;
    static constexpr double kDedupPoll = 30;

    // --- session ---
    // Starts a refresh unless one runs; `done` (ok) runs on the main thread when it ends. A
    // refresh that waits for the service's checksum list keeps running until the list is ready.
    // A refresh belongs to the account signed in when it began: one that ends after another
    // account signed in is thrown away (`done` is not called), and a refresh asked for after the
    // change (forgetAccount) runs then, for the new account.
    static void refresh(std::function<void(bool ok)> done = {});
    static bool isRunning();
    // The last refresh failed (network or service); cleared by the next good one.
    static bool pausedDueToError();
    static QDateTime hasCompletedScanThisSession();
    static void setCompletedScanThisSession(const QDateTime &date);
    // One-shot timer on the main thread that refreshes again (with the last `done`).
    static void armResyncTimer(double seconds = kResyncInterval);
    static void cancelResyncTimer();
    // Called on the main thread whenever isRunning or pausedDueToError changes.
    static void setStateChangedHandler(std::function<void()> handler);

    // --- account ---
    // Loads on a worker and returns at once: the request may take a minute plus two image
    // downloads. done, when given, runs on the main thread afterwards.
    static void updateUserInfo(std::function<void()> done = {});
    // Blocks the calling (background) thread; answers whether the information is available.
    static bool updateUserInfoViaUserInteraction(bool userInteraction);
    static qint32 photoCount();
    static qint64 storageUsed();
    // An upload finished: one photo more, `bytes` more storage.
    static void noteUploadedPhoto(qint64 bytes);
    static QString userImageFilePath();
    static QString userCoverImageFilePath();

    // --- albums ---
    // The id of the account's album with this title ("" when none). Known albums answer at once;
    // otherwise the service is asked (blocking; not on the main thread). `lookupFailed` is set when
    // the service could not say whether the album exists.
    static QString albumIdForTitle(const QString &title, bool askService = true, bool *lookupFailed = nullptr);
    static QString albumTitleForId(const QString &albumId);
    static QHash<QString, QString> knownAlbums(); // id -> title
    static void noteAlbum(const QString &albumId, const QString &title);
    // The album is gone from the service.
    static void forgetAlbum(const QString &albumId);
    static void notePhotoInAlbum(const QString &photoId, const QString &albumId);
    static int photoCountInAlbum(const QString &albumId);

    // --- de-duplication index ---
    // Main thread. When one of the record's samples is a photo the account had from elsewhere,
    // sets the record's needsUpload (already on the service) and remote id, and answers true.
    // Photos sent from here are left to the upload loop (ownUploadsForSamples). An upload still
    // processing (no photo id yet) is no match: its copies wait and follow it.
    static bool matchDeDupForFile(FileData *file);
    // The rows of photos sent from this device that hold either sample, whole-file rows first.
    static QList<DedupData> ownUploadsForSamples(const ContentSample &whole, const ContentSample &jpeg);
    // Main thread. Adds the record's samples (with its remote id, 0 while the ticket is pending).
    static void registerDeDupForUploadedFile(FileData *file, bool uploadedFromThisDevice);
    // Rows registered are written at most this often while uploads follow each other.
    static constexpr qint64 kDedupWriteSpacingMs = 250;
    // Writes what is registered and not yet in the catalogue, on this thread (at shutdown).
    static void writePendingDedupRows();
    // The service's photo id of a sample pair ("0" is never answered; 0 when unknown).
    static qint64 photoIdForSamples(const ContentSample &whole, const ContentSample &jpeg);

    // Another account is signed in: the account's listing, index in memory, albums, counts and
    // images are forgotten, a refresh still running for it is thrown away when it ends, and the
    // next refresh lists the new one's. Main thread.
    static void forgetAccount();
    // The index kept in the catalogue goes too. Waits for the disk: off the main thread.
    static void forgetStoredIndex();

    // Fills the catalogue's hooks that the mirror owns.
    static void installCatalogueHooks();

    // Rows of the index not yet written to the catalogue (a failed write; tried again later).
    static int unsavedDedupRowsForTesting();
    static void resetForTesting();
    static void setDedupPollIntervalsForTesting(double first, double later);
};
