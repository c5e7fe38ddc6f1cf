#pragma once
// The installed application is one self-contained folder, the bundle:
//   <Name>.app/Contents/Info.plist          (CFBundleVersion, CFBundleShortVersionString,
//                                             CFBundleName, LSMinimumSystemVersion, CFBundleExecutable)
//   <Name>.app/Contents/MacOS/<executable>
//   <Name>.app/Contents/MacOS/<web view module>  (loaded when a sign-in page opens)
//   <Name>.app/Contents/Resources/...
// A process that does not run from such a folder (a build tree) has no bundle path.
#include <QString>
#include <QVariantMap>

class Bundle
{
public:
    // The running bundle's folder, "" when the executable does not sit inside a bundle.
    static QString mainBundlePath();
    static void setMainBundlePathForTesting(const QString &path);
    static QVariantMap infoDictionary(const QString &bundlePath);
    static QVariantMap mainInfoDictionary();
    // The executable inside a bundle ("" when the Info.plist cannot be read).
    static QString executablePath(const QString &bundlePath);
    // The module holding the web view, beside the executable.
    static QString webViewModulePath(const QString &bundlePath);
    // A bundle is complete when its Info.plist has a build number and a name, its executable
    // exists and may be run, and the web view module is there (without it nobody can sign in).
    static bool isCompleteBundle(const QString &bundlePath, QString *why = nullptr);
    // A self-contained bundle holds nothing that reaches outside it: every symbolic link is
    // relative and resolves inside the bundle, Info.plist is a plain file, and the executable is
    // the plain file Info.plist names (never a link, which could point anywhere later).
    static bool isSelfContained(const QString &bundlePath, QString *why = nullptr);
    // A single path component that names something inside a folder: not empty, no separator,
    // no "..", no control characters.
    static bool isPlainName(const QString &name);
    // Path-prefix test on cleaned absolute paths: is `path` the folder itself or inside it?
    static bool isPathInsideFolder(const QString &path, const QString &folder);
};
