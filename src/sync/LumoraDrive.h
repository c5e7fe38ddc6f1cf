#pragma once
// The service session and the status model of the sync engine. Class-level state only: every
// member is static. The status is recomputed on the main thread; readers on any thread get a
// consistent snapshot.
#include <QDateTime>
#include <QString>

class LumoraDrive
{
public:
    // Starts the engine: client keys of the chosen environment, the mirror's resync timer, the
    // status, the store and mirror refresh (which runs the queues), the scanner and the uploader,
    // reachability on the next turn, and the pause timer when a pause is stored. Main thread.
    static void startup();
    // Ends the folder monitors (and stops the uploader's timers).
    static void shutdown();

    // On the main thread (at once when already there): the metadata syncer, then the scan loop.
    static void runQueues();
    // Asks the store to refresh the service mirror.
    static void refreshLumoraData();
    // A user-requested refresh: clears the paused-after-errors and account-full states first.
    static void refreshManually();

    // Stores the pause-until date ("PausedUntil"; an invalid date resumes), arms the expiry
    // timer, stops an upload in flight when pausing, posts the paused-state notification and
    // runs the queues on resume.
    static void setPausedUntil(const QDateTime &date);
    static QDateTime pausedUntil();
    static bool paused();
    // The machine woke: a pause whose end passed meanwhile ends now.
    static void systemDidWake();
    // The uploader stopped after errors, the account is full, or the mirror has not completed
    // a refresh in this process.
    static bool pausedDueToError();

    // Recomputes the status model on the main queue (callable from any thread).
    static void updateStatus();
    static QString statusLine1();
    static QString statusLine2();
    static QString statusLine3();
    static QString statusLineShort();
    static QString statusResumeMessage();
    // "Try again" gives failed and unread files, and folders that could not be read, another chance.
    static bool statusRetryOffered();
    static double statusPercent();
    // The files still to go, counted as the status lines beside it count them.
    static int statusFilesToGo();
    static bool statusIsRunning();
    static bool statusIsScanning();
    static bool statusIsComplete();

    // "alpha" when the setting "alphaEnv" is on, else "www".
    static QString alphaOrWWW();
    // The production shared secret, assembled at run time.
    static QString APIS();
    // The key pair of an environment, as the session's start-up and the sign-in window use it.
    // The environment variables HOISTLY_API_KEY and HOISTLY_API_SECRET override both (local runs
    // against the service double).
    static QString apiKey(bool alphaEnv);
    static QString apiSecret(bool alphaEnv);

    // The paused-after-errors state of the mirror or the uploader changed: post the paused-state
    // notification (main queue) and refresh the status.
    static void pausedStateChanged();

    // Tests: forget the status snapshot, timers and started state (a fresh "process").
    static void resetForTesting();
    // Tests: how many times the status notification was posted since the last reset.
    static int statusPostsForTesting();
    // Tests: shorten the pause timer's slices to see the re-arming.
    static void setPauseTimerSliceMsForTesting(qint64 ms);
    static int pauseTimerSlicesForTesting();
};
