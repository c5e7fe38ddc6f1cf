#pragma once
// Builds application bundles and update zips on disk for the updater's tests.
#include "core/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QVariantMap>

namespace UpdateTestBundles {

inline QByteArray manifest(qint64 version, const QString &name = QStringLiteral("Lumora Hoistly"),
                           const QVariant &minimumSystem = QVariant())
{
    QVariantMap m;
    if (version != 0)
        m.insert(QStringLiteral("CFBundleVersion"), QString::number(version));
    if (!name.isEmpty())
        m.insert(QStringLiteral("CFBundleName"), name);
    if (minimumSystem.isValid())
        m.insert(QStringLiteral("LSMinimumSystemVersion"), minimumSystem);
    return PropertyList::serialize(m);
}

// <folder>/<name>.app with an Info.plist of `version` and, unless told otherwise, an executable
// shell script that writes its arguments to $HOME/launched.txt.
inline QString makeBundle(const QString &folder, const QString &name, qint64 version, bool withExecutable = true,
                          const QString &marker = QString())
{
    const QString bundle = folder + QLatin1Char('/') + name + QStringLiteral(".app");
    QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
    QVariantMap info{{QStringLiteral("CFBundleVersion"), QString::number(version)},
                     {QStringLiteral("CFBundleName"), name},
                     {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.0.0")},
                     {QStringLiteral("CFBundleExecutable"), QStringLiteral("Hoistly")}};
    PropertyList::writeFile(bundle + QStringLiteral("/Contents/Info.plist"), info);
    if (withExecutable) {
        QFile exe(bundle + QStringLiteral("/Contents/MacOS/Hoistly"));
        exe.open(QIODevice::WriteOnly);
        exe.write("#!/bin/sh\necho \"$@\" > \"$HOME/launched.txt\"\n");
        exe.close();
        exe.setPermissions(exe.permissions() | QFile::ExeOwner | QFile::ExeUser);
    }
    if (!marker.isEmpty()) {
        QFile m(bundle + QStringLiteral("/Contents/") + marker);
        m.open(QIODevice::WriteOnly);
        m.write("marker");
    }
    return bundle;
}

// A zip (made with the system's zip tool) of a bundle built by makeBundle.
inline QByteArray zipOfBundle(const QString &workFolder, const QString &name, qint64 version, bool withExecutable = true)
{
    const QString src = workFolder + QStringLiteral("/zipsrc-") + QString::number(version);
    QDir(src).removeRecursively();
    makeBundle(src, name, version, withExecutable);
    const QString zipPath = src + QStringLiteral("/out.zip");
    QProcess zip;
    zip.setWorkingDirectory(src);
    zip.start(QStringLiteral("zip"), {QStringLiteral("-qr"), zipPath, name + QStringLiteral(".app")});
    zip.waitForFinished(30000);
    QFile f(zipPath);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

} // namespace UpdateTestBundles
