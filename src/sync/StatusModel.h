#pragma once
// The status model that the tray, its popover and the Upload pane show. Composed from a snapshot
// of the engine's state by a pure function, so every combination can be checked without running
// the engine.
#include <QDateTime>
#include <QString>

// The selected files that are not on the service, by reason, and the entries of the sources
// that were not read at all. Counted over the catalogue in one place (EngineLinks::countNotOnService).
struct NotOnService
{
    int waiting = 0;           // to be sent, or sent and still processing
    int awaitingSource = 0;    // to be sent once their source (a card, a disk, a folder) is back
    int retrying = 0;          // a send failed; tried again by itself
    int failed = 0;            // failed three times: waits for "Try again"
    int unreadable = 0;        // the file could not be read
    int refused = 0;           // a photo or video whose type the service did not take
    int badNames = 0;          // names that are not UTF-8 (cannot be opened by name)
    int tooLarge = 0;          // never sent: larger than the service takes
    int tooSmall = 0;          // never sent: too small to be recognised again
    int foldersNotRead = 0;    // folders that could not be listed: their photos are unknown
    int linkedFolders = 0;     // links to folders, not followed
    bool counted = false;      // false: not counted for this snapshot (only the loop's count is known)

    int files() const { return waiting + awaitingSource + retrying + failed + unreadable + refused + badNames + tooLarge + tooSmall; }
    // Left out by their size: nothing the app does sends them.
    int skippedBySize() const { return tooLarge + tooSmall; }
    // Held until the user does something to the file (renames it, makes it smaller): not "to go".
    int heldForUser() const { return badNames + skippedBySize(); }
    // What "Try again" can help with.
    bool retryHelps() const { return retrying + failed + unreadable + refused + foldersNotRead > 0; }
};

struct StatusInputs
{
    QDateTime now;
    QDateTime pausedUntil;               // invalid while not paused
    bool signedIn = true;
    int credentialsRefused = 0;          // the service refused the sign-in (98) or the key (100)
    bool online = true;
    bool mirrorCompleted = true;         // the service listing finished in this process
    bool mirrorRefreshing = false;
    bool mirrorPausedDueToErrors = false;
    bool uploaderPausedDueToErrors = false;
    QDateTime uploaderRetryAt;           // when uploads stopped after errors are tried again
    bool accountFull = false;
    bool onboardingComplete = true;
    bool scanning = false;
    bool catalogueUnavailable = false;   // the local catalogue could not be opened at all
    bool catalogueSavesFailing = false;  // saves fail (full or failing disk): uploads wait
    QString catalogueSaveError;          // why, as the catalogue reported it
    QString settingsUnsavedError;        // why the user's settings cannot be written ("" while they are)
    QString settingsFolder;              // where they are written
    QString settingsUnread;              // why the settings file was not read at start ("" when it was)
    QString settingsKeptAs;              // where that file was kept ("" when it was left in place)
    QString settingsFile;                // the file itself, when it was not read
    int sourcesUnavailable = 0;          // watched folders that cannot be reached (gone, unplugged)
    bool noSources = false;              // no source is selected at all
    NotOnService left;                   // selected files not on the service, by reason
    int heldBack = 0;                    // of them, those the loop does not take, as last counted
    int filesToScan = 0;
    int filesToUpload = 0;
    bool uploading = false;              // a file is being sent right now
    QString uploadingName;
    double uploadPercent = 0;            // 0..1 of the file being sent
    int uploadedThisRun = 0;             // files finished since the loop last started
    int pendingTickets = 0;              // uploads the service is still processing
    bool ticketChecksFailing = false;    // the service could not be asked how they went
    QDateTime serverBusyUntil;           // invalid unless the service asked us to wait
};

struct StatusModel
{
    QString line1;
    QString line2;
    QString line3;
    QString lineShort;
    QString resumeMessage;               // "Refresh", "Try again" or ""
    bool retryOffered = false;           // "Try again" gives failed and unread files another chance
    bool readsNotOnService = false;      // the lines tell StatusInputs::left (when it was counted)
    double percent = 0;                  // of the files the lines count, sent or being sent
    int toGo = 0;                        // the files still to go, as the lines beside it count them
    bool running = false;
    bool scanning = false;
    bool complete = false;
    bool animateTray = false;
    bool showsUploadPercent = false;     // a file uploads and its percentage is in the lines

    // Observers are told only when one of the four text lines or the count to go changes.
    bool sameLines(const StatusModel &other) const
    {
        return line1 == other.line1 && line2 == other.line2 && line3 == other.line3
               && lineShort == other.lineShort && toGo == other.toGo;
    }
};

namespace StatusText {
// "1 photo" / "3 photos".
QString count(int n, const QString &singular, const QString &plural);
// A pause end as the user reads it: a time today, a day and time later on.
QString pauseEnd(const QDateTime &until, const QDateTime &now);
} // namespace StatusText

StatusModel composeStatus(const StatusInputs &in);
