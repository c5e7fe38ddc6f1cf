#pragma once
// Signs the shared client in as the double's default user without the browser round trip: a
// token the double issued, stored as a sign-in would store it, loaded unvalidated.
#include "LumoraDouble.h"

#include "core/Settings.h"
#include "service/LumoraKit.h"

inline void signInAsDefaultUser(LumoraDouble &service)
{
    const QString user = QString::fromLatin1(LumoraDoubleDefaults::userId);
    const auto [token, secret] = service.issueAccessToken(user);
    Settings::setObject(token, LKStoredKeys::Token);
    Settings::setObject(secret, LKStoredKeys::TokenSecretPlain);
    Settings::setObject(user, LKStoredKeys::UserID);
    LumoraKit::sharedLumoraKit()->loadTokenFromSettingsWithoutValidating();
}
