#pragma once
// The engine as a test starts and stops it, against the local service double: the double running
// and signed in to; the drive at start-up; at a stop, everything a process keeps in memory is
// forgotten and only the disk stays, so the next start behaves as a new process would.
#include "LumoraDouble.h"
#include "SyncTestHome.h"

#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "catalogue/FileManagerPrivate.h"
#include "core/LGLog.h"
#include "core/Settings.h"
#include "service/DataStoreLumoraData.h"
#include "service/LumoraKit.h"
#include "sync/LumoraDrive.h"
#include "sync/LumoraUploader.h"

#include <QtTest>

// The test photos are written whole before the scanner looks, so it reads them at once; tests
// of slow writes set the real wait themselves.
constexpr qint64 kTestSettleWindowMs = 0;

// The double serves, its address is where every client (and engine process started later) looks,
// a processing ticket completes at the first poll, and this process's scanner reads files at once.
inline bool startServiceDouble(LumoraDouble &service)
{
    FileManagerPrivate::setSettleWindowForTesting(kTestSettleWindowMs);
    if (!service.start())
        return false;
    service.exportEnvironment();
    service.setTicketPollsToComplete(1);
    return true;
}

// A test process of its own: a throw-away home without settings, the log echoed on request, and
// the double started as above.
inline bool startServiceDoubleInThrowAwayHome(LumoraDouble &service)
{
    useThrowAwayHome();
    Settings::clearAllSettingsPERMANENTLY();
    LGLog::setEchoToStderr(qEnvironmentVariableIsSet("HOISTLY_TEST_ECHO_LOG"));
    return startServiceDouble(service);
}

// Signed in as one of the double's accounts (its default one unless told), with a token the
// double issued.
inline void signInToServiceDouble(LumoraDouble &service, const QString &userId = QString::fromLatin1(LumoraDoubleDefaults::userId))
{
    const auto [token, secret] = service.issueAccessToken(userId);
    signInWithoutNetwork(token, secret, userId);
}

inline void startEngine()
{
    LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
    LumoraDrive::startup();
}

// What a stop does with the catalogue before closing it. `SaveFirst` is what a quitting app does
// (an explicit save, which also reaches the main file). `CloseOnly` leaves it to the store's own
// close and never opens a store that is not open yet: for tests whose catalogue must not be
// opened or saved behind their back.
enum class CatalogueAtStop { SaveFirst, CloseOnly };

// Stops the engine and forgets its state; the settings stay as they are in memory.
inline void shutDownEngine(CatalogueAtStop catalogue = CatalogueAtStop::SaveFirst)
{
    LumoraDrive::shutdown();
    LumoraUploader::resetForTesting();
    LumoraDrive::resetForTesting();
    if (catalogue == CatalogueAtStop::SaveFirst && DataStore::instance()->isOpen())
        DataStore::save();
    DataStore::shutdown();
    FileManager::resetForTesting();
    DataStoreLumoraData::resetForTesting();
    LumoraKit::sharedLumoraKit()->resetForTesting();
    CatalogueHooks::instance() = CatalogueHooks();
}

// Everything a process keeps in memory is forgotten, the settings too; the disk stays.
inline void stopEngine(CatalogueAtStop catalogue = CatalogueAtStop::SaveFirst)
{
    shutDownEngine(catalogue);
    Settings::reloadForTesting();
}

inline void waitForScanPass()
{
    QTRY_VERIFY_WITH_TIMEOUT(DataStoreLumoraData::hasCompletedScanThisSession().isValid(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(FileManager::hasCompletedScanThisSession() && !FileManager::isRunning(), 30000);
}
