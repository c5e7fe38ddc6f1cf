#pragma once
// The few places where the engine asks the user interface something or tells it something.
// The user interface installs these at start-up; the engine links no widget code. Every hook
// has a harmless default so the engine runs (and is tested) without any interface at all.
#include <QString>
#include <QVariant>
#include <functional>

struct UiHooks
{
    // YES between the system's will-sleep and did-wake.
    std::function<bool()> isSystemSleeping = [] { return false; };
    // YES while the quit confirmation is on screen; the upload loop waits meanwhile.
    std::function<bool()> quitScreenOpen = [] { return false; };
    // Flash the tray icon (or stop flashing).
    std::function<void(bool)> setAnimateTrayIcon = [](bool) {};
    // Onboarding progress, read by the engine's gates and status.
    std::function<bool()> hasCompletedWelcomeScreen;
    std::function<bool()> reachedImportFoldersScreen = [] { return false; };
    // The Upload pane: refresh after the sources changed; add a path the user asked for.
    std::function<void()> refreshSourcesView = [] {};
    std::function<void(const QString &)> addSourcePath = [](const QString &) {};
    // Opens the preferences window (from a notification click).
    std::function<void()> openPreferences = [] {};
    // Offers the sign-in (the service refused the stored one).
    std::function<void()> openSignIn = [] {};
    // Open the account's camera roll, or the page of one photo, in the browser (an upload-complete click).
    std::function<void()> openCameraRoll = [] {};
    std::function<void(const QString &photoId)> openPhotoOnWeb = [](const QString &) {};
    // Re-upload confirmation: the answer is delivered through the callback, on the main thread.
    std::function<void(int count, std::function<void(bool)>)> confirmReupload =
        [](int, std::function<void(bool)> answer) { answer(true); };
    // Silent update check when the network returns.
    std::function<void()> checkForUpdatesSilent = [] {};
    std::function<void()> refreshReportingMetrics = [] {};

    static UiHooks &instance()
    {
        static UiHooks hooks;
        return hooks;
    }
};
