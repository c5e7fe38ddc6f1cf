#pragma once
// Where Hoistly keeps its files on Linux. Every folder honours Qt's test mode
// (QStandardPaths::setTestModeEnabled), so tests never touch a real user's files.
#include <QString>

class StandardPaths
{
public:
    // XDG data home + "/Lumora": the application's data folder (catalogue, caches of the engine).
    static QString lumoraFolder();
    // A sub-folder of the data folder, created when missing ("" when it cannot be created).
    static QString lumoraSubfolder(const QString &relative);
    // XDG state home + "/<process name>": the log folder.
    static QString logsFolder();
    // XDG cache home: the user's caches folder.
    static QString cachesFolder();
    // The user-defaults file behind Settings.
    static QString userDefaultsFile();
    // XDG config home + "/autostart".
    static QString autostartFolder();
    // The user's home folder.
    static QString homeFolder();
    // Lets the launcher name the process folder before anything logs.
    static void setProcessName(const QString &name);
    static QString processName();
};

// The running system's version. This platform reports a modern system; tests may override it.
class NSDevice
{
public:
    static int osxVersionMajor();
    static int osxVersionMinor();
    static int osxVersionPatch();
    static QString osxVersionString();
    static double singlePixelSize();
    static void overrideVersionForTesting(int major, int minor, int patch);
};
