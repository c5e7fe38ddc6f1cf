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

QString PhotoLibraryEnvironment::applicationPath(const QString &appName) const
{
    if (appName.isEmpty())
        return QString();
    const QStringList places = {StandardPaths::homeFolder() + QStringLiteral("/Applications"),
                                QStringLiteral("/Applications"), QStringLiteral("/System/Applications")};
    for (const QString &place : places) {
        const QString path = place + QLatin1Char('/') + appName;
        if (QFileInfo(path).isDir())
            return path;
    }
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
