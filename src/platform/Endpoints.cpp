#include "Endpoints.h"

#include "core/LGLog.h"
#include "core/PropertyList.h"
#include "core/Settings.h"
#include "platform/StandardPaths.h"

#include <QFileInfo>
#include <QFile>
#include <QHostAddress>

#include <sys/stat.h>
#include <unistd.h>

QString Endpoints::storedServiceFile()
{
    return QFileInfo(StandardPaths::userDefaultsFile()).path() + QStringLiteral("/Service.plist");
}

namespace {
Endpoints::Service readStoredService()
{
    const QString path = Endpoints::storedServiceFile();
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    // It decides where the sign-in and the key go: only a file of this user that no one else can
    // read or change is believed.
    if (!S_ISREG(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        LGLogError(QStringLiteral("SERVICE: %1 is not a private file of this user; it is not used").arg(path));
        return {};
    }
    QString error;
    const QVariantMap stored = PropertyList::readFile(path, &error).toMap();
    if (stored.isEmpty())
        LGLogError(QStringLiteral("SERVICE: %1 could not be read (%2); it is not used").arg(path, error));
    return {stored.value(QStringLiteral("ServiceURL")).toString(), stored.value(QStringLiteral("APIKey")).toString(),
            stored.value(QStringLiteral("APISecret")).toString()};
}
} // namespace

Endpoints::Service Endpoints::configuredService()
{
    const QString url = qEnvironmentVariable("HOISTLY_SERVICE_URL");
    if (url.isEmpty()) {
        static const Service stored = readStoredService();
        if (!stored.url.isEmpty())
            return stored;
    }
    return {url, qEnvironmentVariable("HOISTLY_API_KEY"), qEnvironmentVariable("HOISTLY_API_SECRET")};
}

QString Endpoints::overrideBase()
{
    QString base = configuredService().url;
    if (base.isEmpty())
        base = Settings::stringForKey(QStringLiteral("ServiceURL"));
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

static QUrl hostOr(const char *production)
{
    const QString base = Endpoints::overrideBase();
    return QUrl(base.isEmpty() ? QString::fromLatin1(production) : base);
}

QUrl Endpoints::apiBase() { return hostOr("https://api.lumora.com"); }
QUrl Endpoints::uploadBase() { return hostOr("https://up.lumora.com"); }
QUrl Endpoints::beaconBase() { return hostOr("https://beacon.lumora.com"); }
QUrl Endpoints::updateBase() { return hostOr("https://downloads.lumora.com/hoistly"); }

QUrl Endpoints::webBase(const QString &firstLabel)
{
    const QString base = overrideBase();
    if (!base.isEmpty())
        return QUrl(base);
    return QUrl(QStringLiteral("https://%1.lumora.com").arg(firstLabel.isEmpty() ? QStringLiteral("www") : firstLabel));
}

QUrl Endpoints::alphaWebBase()
{
    if (overrideBase().isEmpty())
        return webBase(QStringLiteral("alpha"));
    return QUrl(qEnvironmentVariable("HOISTLY_ALPHA_SERVICE_URL"));
}

QUrl Endpoints::signInCallback() { return QUrl(QStringLiteral("https://hoistly.lumora.com/auth")); }

bool Endpoints::isSignInCallback(const QUrl &url)
{
    const QUrl cb = signInCallback();
    return url.isValid() && url.scheme().compare(cb.scheme(), Qt::CaseInsensitive) == 0
        && url.host().compare(cb.host(), Qt::CaseInsensitive) == 0
        && url.path().compare(cb.path(), Qt::CaseInsensitive) == 0
        && (url.port() == -1 || url.port() == 443);
}

bool Endpoints::isAllowedTransport(const QUrl &url)
{
    if (!url.isValid())
        return false;
    if (url.scheme() == QLatin1String("https"))
        return true;
    if (url.scheme() != QLatin1String("http"))
        return false;
    const QString host = url.host();
    if (host == QLatin1String("localhost"))
        return true;
    QHostAddress addr(host);
    return !addr.isNull() && addr.isLoopback();
}
