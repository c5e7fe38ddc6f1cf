#pragma once
// What every harness needs: a Qt application object (the engine's classes expect one) and a
// throw-away home, made once per process.
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

namespace FuzzSupport {
inline void initialiseOnce()
{
    static int argc = 1;
    static char name[] = "hoistly_fuzz";
    static char *argv[] = {name, nullptr};
    static QTemporaryDir *home = [] {
        auto *dir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/hoistly-fuzz-XXXXXX"));
        qputenv("HOME", QFile::encodeName(dir->path()));
        QStandardPaths::setTestModeEnabled(true);
        return dir;
    }();
    static QCoreApplication *app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    Q_UNUSED(home);
    Q_UNUSED(app);
}
} // namespace FuzzSupport
