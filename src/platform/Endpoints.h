#pragma once
// Where the service lives. Hosts are configuration: the environment variable HOISTLY_SERVICE_URL
// (or the setting "ServiceURL") points every host at one base address, which is how tests and a
// local run use the local service double. Without it the production hosts are used.
// The run command stores a configured service with the profile (Service.plist beside the
// settings): a start from the application menu or at login has no such environment.
#include <QString>
#include <QUrl>

class Endpoints
{
public:
    // A service and the client's credentials there ("" for what is not configured).
    struct Service
    {
        QString url;
        QString apiKey;
        QString apiSecret;
    };
    // The environment's service when it names one, else the one stored with the profile.
    static Service configuredService();
    static QString storedServiceFile();
    // The configured single base ("" when production hosts are in use).
    static QString overrideBase();
    static QUrl apiBase();               // REST and OAuth: "/services/rest/", "/services/oauth/..."
    static QUrl uploadBase();            // "/services/upload/", "/services/replace/"
    static QUrl webBase(const QString &firstLabel); // pages on the web site ("www" or "alpha")
    // The alpha environment's web host, probed before sign-in. A configured service has no alpha
    // environment beside it unless HOISTLY_ALPHA_SERVICE_URL names one: an empty QUrl then.
    static QUrl alphaWebBase();
    static QUrl beaconBase();            // analytics beacon "/p"
    static QUrl updateBase();            // update manifest and zip
    // The fixed sign-in callback address (path "/auth").
    static QUrl signInCallback();
    // Parses, never substring-matches: scheme, host and path "/auth" of the fixed callback, each
    // in any case.
    static bool isSignInCallback(const QUrl &url);
    // Plain HTTP is allowed only to loopback (the local double); everything else must be HTTPS.
    static bool isAllowedTransport(const QUrl &url);
};
