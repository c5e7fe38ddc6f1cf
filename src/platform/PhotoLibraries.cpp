#include "platform/PhotoLibraries.h"

#include "core/Dispatch.h"
#include "platform/StandardPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
PhotoLibraryEnvironment *g_override = nullptr;
} // namespace

// The applications asked about (iPhoto, Aperture, Photos, Dropbox's bundle) exist only on the
// Mac. A folder of such a name under an Applications folder here is something else (those folders
// commonly hold AppImages), and taking it for a library would offer screens about a library that
// cannot be read.
QString PhotoLibraryEnvironment::applicationPath(const QString &) const
{
    return QString();
}

QVariant PhotoLibraryEnvironment::applicationPreference(const QString &, const QString &) const
{
    return QVariant();
}

QString PhotoLibraryEnvironment::messagesDatabasePath() const
{
    return StandardPaths::homeFolder() + QStringLiteral("/Library/Messages/chat.db");
}

QString PhotoLibraryEnvironment::messagesAttachmentsPath() const
{
    return StandardPaths::homeFolder() + QStringLiteral("/Library/Messages/Attachments");
}

QString PhotoLibraryEnvironment::dropboxFolder() const
{
    QFile info(StandardPaths::homeFolder() + QStringLiteral("/.dropbox/info.json"));
    if (!info.open(QIODevice::ReadOnly))
        return QString();
    const QJsonObject root = QJsonDocument::fromJson(info.read(1 << 20)).object();
    for (const char *account : {"personal", "business"}) {
        const QString path = root.value(QLatin1String(account)).toObject().value(QStringLiteral("path")).toString();
        if (!path.isEmpty() && QFileInfo(path).isDir())
            return QDir::cleanPath(path);
    }
    return QString();
}

int PhotoLibraryEnvironment::photoLibraryAuthorizationStatus() const
{
    return Restricted;
}

void PhotoLibraryEnvironment::requestPhotoLibraryAuthorization(std::function<void(int)> done)
{
    const int status = photoLibraryAuthorizationStatus();
    dispatch_main_async([done, status] {
        if (done)
            done(status);
    });
}

PhotoLibraryEnvironment *PhotoLibraryEnvironment::instance()
{
    static PhotoLibraryEnvironment system;
    return g_override ? g_override : &system;
}

void PhotoLibraryEnvironment::setInstance(PhotoLibraryEnvironment *environment)
{
    g_override = environment;
}
