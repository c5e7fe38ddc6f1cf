#include "EngineLinks.h"

#include "LumoraUploader.h"

#include "core/LGLog.h"
#include "core/Settings.h"
#include "core/UiHooks.h"

StatusInputs EngineLinks::gatherStatusInputs()
{
    StatusInputs in;
    in.signedIn = isSignedIn();
    in.online = isOnline();
    in.mirrorCompleted = mirrorCompletedThisSession();
    in.mirrorRefreshing = mirrorRunning();
    in.onboardingComplete = onboardingComplete();
    in.scanning = scannerRunning();
    return in;
}

void EngineLinks::initializeClient(const QString &, const QString &, bool) {}
void EngineLinks::installCatalogueHooks() {}
void EngineLinks::armMirrorResync() {}
void EngineLinks::refreshStoreThenMirror() {}
void EngineLinks::refreshMirror() {}
void EngineLinks::startScanner() {}
void EngineLinks::stopFolderMonitors() {}
void EngineLinks::startLocalLinkReachability() {}
bool EngineLinks::isOnline() { return true; }
bool EngineLinks::isSignedIn() { return true; }
bool EngineLinks::mirrorCompletedThisSession() { return true; }
bool EngineLinks::mirrorRunning() { return false; }
bool EngineLinks::scannerCompletedPassThisSession() { return true; }
bool EngineLinks::scannerRunning() { return false; }

bool EngineLinks::onboardingComplete()
{
    const auto &hook = UiHooks::instance().hasCompletedWelcomeScreen;
    if (hook)
        return hook();
    return Settings::boolForKey(QStringLiteral("WelcomeScreenComplete"));
}

void EngineLinks::trackInteraction(const QString &) {}

void EngineLinks::recordAlbumMembership(FileData *, FileData *, const QString &) {}
void EngineLinks::registerUploadedFile(FileData *) {}
