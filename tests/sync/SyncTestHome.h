#pragma once
// Every test process gets a home of its own: settings, catalogue and caches live under
// ~/.qttest in test mode, and tests of other areas running at the same time must not clear
// or delete them under our feet.
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

inline void useThrowAwayHome()
{
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-sync-home-XXXXXX"));
    qputenv("HOME", home.path().toUtf8());
    QStandardPaths::setTestModeEnabled(true);
}
