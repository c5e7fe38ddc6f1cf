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
    QFile module(bundle + QStringLiteral("/Contents/MacOS/hoistly_webview.so"));
    module.open(QIODevice::WriteOnly);
    module.write("module");
    module.close();
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

// ---- Hand-made zips -----------------------------------------------------------------------
// The system's zip tool will not write absolute names, ".." climbs or arbitrary links, so hostile
// archives are laid out byte by byte: stored (uncompressed) entries with Unix modes.

struct ZipEntry
{
    QByteArray name;
    QByteArray data; // a link's target for S_IFLNK entries
    quint32 mode = 0100644;
};

inline quint32 crc32Of(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data) {
        crc ^= static_cast<quint8>(byte);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline QByteArray craftZip(const QList<ZipEntry> &entries)
{
    QByteArray out, central;
    auto le16 = [](QByteArray &b, quint32 v) { b.append(char(v & 0xff)).append(char((v >> 8) & 0xff)); };
    auto le32 = [&](QByteArray &b, quint32 v) { le16(b, v & 0xffff); le16(b, v >> 16); };
    for (const ZipEntry &e : entries) {
        const quint32 offset = quint32(out.size());
        const quint32 crc = crc32Of(e.data);
        le32(out, 0x04034b50);
        le16(out, 20); le16(out, 0); le16(out, 0); // version, flags, stored
        le16(out, 0); le16(out, 0x21);              // 1980-01-01 00:00
        le32(out, crc); le32(out, quint32(e.data.size())); le32(out, quint32(e.data.size()));
        le16(out, quint32(e.name.size())); le16(out, 0);
        out += e.name;
        out += e.data;
        le32(central, 0x02014b50);
        le16(central, (3 << 8) | 20); le16(central, 20); // made on Unix
        le16(central, 0); le16(central, 0); le16(central, 0); le16(central, 0x21);
        le32(central, crc); le32(central, quint32(e.data.size())); le32(central, quint32(e.data.size()));
        le16(central, quint32(e.name.size())); le16(central, 0); le16(central, 0);
        le16(central, 0); le16(central, 0); le32(central, e.mode << 16); le32(central, offset);
        central += e.name;
    }
    const quint32 centralOffset = quint32(out.size());
    out += central;
    le32(out, 0x06054b50);
    le16(out, 0); le16(out, 0);
    le16(out, quint32(entries.size())); le16(out, quint32(entries.size()));
    le32(out, quint32(central.size())); le32(out, centralOffset); le16(out, 0);
    return out;
}

// The entries of a whole bundle <name>.app of `version` whose executable records its arguments
// in $HOME/launched.txt (like makeBundle's).
inline QList<ZipEntry> bundleEntries(const QString &name, qint64 version)
{
    const QByteArray root = name.toUtf8() + ".app/";
    const QVariantMap info{{QStringLiteral("CFBundleVersion"), QString::number(version)},
                           {QStringLiteral("CFBundleName"), name},
                           {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.0.0")},
                           {QStringLiteral("CFBundleExecutable"), QStringLiteral("Hoistly")}};
    return {{root, {}, 040755},
            {root + "Contents/", {}, 040755},
            {root + "Contents/Info.plist", PropertyList::serialize(info), 0100644},
            {root + "Contents/MacOS/", {}, 040755},
            {root + "Contents/MacOS/hoistly_webview.so", "module", 0100644},
            {root + "Contents/MacOS/Hoistly", "#!/bin/sh\necho \"$@\" > \"$HOME/launched.txt\"\n", 0100755}};
}

} // namespace UpdateTestBundles
