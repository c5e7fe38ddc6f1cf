#pragma once
// The shared client against the local service double.
#include "LumoraDouble.h"

#include "core/Settings.h"
#include "service/LumoraKit.h"

// Starts the double and points the client at it: its address through the environment, its
// API key and secret through the client's initialisation.
inline bool startServiceForClient(LumoraDouble &service)
{
    if (!service.start())
        return false;
    service.exportEnvironment();
    LumoraKit::sharedLumoraKit()->initializeWithAPIKey(service.apiKey(), service.apiSecret(), false);
    return true;
}

// Signs in as the double's default user without the browser round trip: a token the double
// issued, stored as a sign-in would store it, loaded unvalidated.
inline void signInAsDefaultUser(LumoraDouble &service)
{
    const QString user = QString::fromLatin1(LumoraDoubleDefaults::userId);
    const auto [token, secret] = service.issueAccessToken(user);
    Settings::setObject(token, LKStoredKeys::Token);
    Settings::setObject(secret, LKStoredKeys::TokenSecretPlain);
    Settings::setObject(user, LKStoredKeys::UserID);
    LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
}
