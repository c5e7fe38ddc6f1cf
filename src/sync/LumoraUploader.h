#pragma once
// The upload loop: moves the catalogue's waiting files to the photo service, one at a time,
// oldest date taken first, into the album of each file's folder; follows the service's processing
// tickets; backs off when the service is busy; stops after six consecutive failures.
//
// Every member is static. Catalogue records are touched on the main thread only; the loop itself
// runs on the default-priority queue and hands each catalogue step to the main thread.
#include <QDateTime>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

class FileData;

class LumoraUploader
{
public:
    // Starts the upload loop unless a gate holds it back (see canStart()). Any thread.
    static void run();
    // The number of files left to upload: waiting, being sent, or processing on the service.
    // Readable on any thread; never touches the catalogue.
    static int filesToUpload();
    // Only those not yet taken by the loop.
    static int filesWaiting();
    // Selected files not on the service that the loop does not hold now (deferred, failed,
    // unreadable), as the status last counted them; part of filesToUpload.
    static void setFilesHeldBack(int count);
    // The record being uploaded now, or null. Main thread.
    static FileData *fileUploading();
    // Paths of the recent uploads, newest first (setting "RecentUploads", at most 10). Main thread.
    static QStringList recentUploads();
    // The cached thumbnail of a recent upload (null image for an empty or unknown path). Main
    // thread: a missing or outdated one is made in the background, and "recently uploaded"
    // posted once it is there.
    static QImage imageForRecentUpload(const QString &path);
    // Changes whenever the thumbnail file of a recent upload is replaced (empty while none).
    static QString imageStampForRecentUpload(const QString &path);
    // Makes the loop rebuild its list of waiting files, dropping those no longer selected.
    static void requestUploadListCleanup();
    // Cancels the upload in flight when neither its file nor a parent is selected any more.
    static void cancelCurrentUploadIfNoLongerSelected();
    // Asks the user (UiHooks::confirmReupload), checks the photos' samples with the service and
    // marks those the service does not hold for upload again. Main thread.
    static void reuploadPhotos(const QList<FileData *> &records, const QString &trackingSource);
    // Unless the service's checksum preparation is known complete, polls for it in the background.
    static void checkChecksumBackfillVerified();

    // ---- Engine state read by LumoraDrive's status model (any thread) ----
    static bool isRunning();
    static bool isUploadingFile();
    static QString uploadingFileName();
    static double uploadProgress();
    static int uploadedThisRun();
    static int pendingTickets();
    // The last check of the pending tickets failed (the service could not be asked).
    static bool ticketChecksFailing();
    static bool pausedDueToErrors();
    static bool accountFull();
    static QDateTime serverBusyUntil();
    // While stopped after errors: when the loop tries again by itself (invalid otherwise).
    static QDateTime errorRetryAt();
    // Why the loop would not start now ("" when it may).
    static QString gateHoldingBack();

    // ---- Operations of the session ----
    // The user's "Try again": clears the paused-after-errors state and gives every failed file
    // another three tries.
    static void resetFailedUploads();
    // When stopped after errors: tries again now (the back-off ended, the network or the
    // service is back) what the road held back; files that failed on their own keep their
    // count. Main thread.
    static void resumeAfterErrors();
    static void clearAccountFull();
    // Another account is signed in: the tickets followed, the failures counted, the stops and
    // the last uploads were the other account's. Only while the loop is not running. Main thread.
    static void forgetAccount();
    // Ends a wait the service asked for (a user's "Try again" or refresh).
    static void clearServerBusy();
    // Stops the upload in flight; its file stays waiting (a pause, a deselection, shutdown).
    static void cancelCurrentUpload();
    // Ends the loop and its timers (shutdown).
    static void stop();
    // Arms the 600 s reset of deferred uploads (idempotent). Main thread.
    static void startTimers();

    // The upload ticket a record holds while its file is being sent: after a kill, such a file
    // is looked up on the service before it is sent again.
    static const QString &sendingMark();

    // ---- Tests ----
    static void resetForTesting();
    // Waits (spinning the main event loop) until the loop is idle; false on timeout.
    static bool waitUntilIdleForTesting(int timeoutMs);
    static void setServerBusyClampForTesting(double maxSeconds);
    // The back-off after a stop after errors: first wait, longest wait (0: default).
    static void setErrorRetryForTesting(qint64 firstMs, qint64 maxMs);
    // How old an unanswered send must be before the service is asked about it (-1: default).
    static void setSendingMarkMinAgeForTesting(qint64 ms);
    // Tests: what the periodic retry of deferred files does, without its ten minutes.
    static void retryDeferredForTesting();
};
