#pragma once
// Every test process gets a home of its own: settings, catalogue and caches live under
// ~/.qttest in test mode, and tests of other areas running at the same time must not clear
// or delete them under our feet.
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

inline void useThrowAwayHome()
{
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-sync-home-XXXXXX"));
    qputenv("HOME", home.path().toUtf8());
    QStandardPaths::setTestModeEnabled(true);
}

#include "core/Settings.h"
#include "service/LumoraKit.h"

// A signed-in client without any network: the stored credentials, loaded unvalidated.
inline void signInWithoutNetwork(const QString &token = QStringLiteral("test-token"),
                                 const QString &secret = QStringLiteral("test-token-secret"),
                                 const QString &userId = QStringLiteral("lumora-30571942"))
{
    Settings::setObject(token, LKStoredKeys::Token);
    Settings::setObject(secret, LKStoredKeys::TokenSecretPlain);
    Settings::removeObjectForKey(LKStoredKeys::TokenSecretEnc); // a secret stored before is not this one
    Settings::setObject(userId, LKStoredKeys::UserID);
    LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
}
