#pragma once
// The sync engine's calls into the catalogue and the service client, gathered in one place so
// that the session and the status model read as the engine's own logic.
#include "StatusModel.h"

#include <QString>

class FileData;

namespace EngineLinks {
// Signed-in, online, mirror and scanner state, and onboarding progress.
StatusInputs gatherStatusInputs();
// Every selected file that is not on the service, by reason (walks the catalogue; main thread).
NotOnService countNotOnService();

void initializeClient(const QString &apiKey, const QString &secret, bool alphaEnv);
// Fills the catalogue's hooks that the engine owns (a finished scan pass starts the uploader).
void installCatalogueHooks();
void armMirrorResync();
// The local store first, then the service mirror (which runs the queues when it is done).
void refreshStoreThenMirror();
// Adopts the signed-in account first (see adoptSignedInAccount).
void refreshMirror();
// The catalogue's knowledge of the service (upload marks, index, tickets, album ids) belongs to
// another account than the one signed in now (main thread).
bool anotherAccountSignedIn();
// Makes the catalogue the signed-in account's: when it was another's, what it knew of the
// service is forgotten and every selected file is decided again against the new account, in
// short turns of the main thread. False while the upload loop is still winding down or the
// switch is under way (try again shortly). Main thread.
bool adoptSignedInAccount();
// Refreshes the mirror now when the last refresh failed (the network came back).
void retryFailedMirrorRefresh();
// Tests: the back-off of failed refreshes (first wait, longest wait), and the wait now armed.
void setMirrorRetryForTesting(double firstSeconds, double maxSeconds);
double nextMirrorRetryForTesting();
void startScanner();
void stopFolderMonitors();
void startLocalLinkReachability();

bool isOnline();
bool isSignedIn();
bool mirrorCompletedThisSession();
bool mirrorRunning();
bool scannerCompletedPassThisSession();
bool scannerRunning();
bool onboardingComplete();

// Album and de-duplication bookkeeping of a confirmed upload (main thread).
void recordAlbumMembership(FileData *folder, FileData *record, const QString &albumId);
void registerUploadedFile(FileData *record);

void trackInteraction(const QString &event);
} // namespace EngineLinks
