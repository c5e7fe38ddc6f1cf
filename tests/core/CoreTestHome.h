#pragma once
// Each core test process gets a home folder of its own: test executables run in parallel and
// would otherwise share (and clear) one settings file under ~/.qttest.
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

inline void startInThrowAwayHome()
{
    QStandardPaths::setTestModeEnabled(true);
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-core-test-XXXXXX"));
    qputenv("HOME", home.path().toLocal8Bit());
}
