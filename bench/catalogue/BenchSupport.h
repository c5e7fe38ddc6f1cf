#pragma once
// Shared by the catalogue benchmarks: an isolated home folder and process measurements.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <cstdio>
#include <malloc.h>

namespace Bench {

inline QTemporaryDir &isolatedHome()
{
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/hoistly-catalogue-bench-XXXXXX"));
    return home;
}

inline void enterIsolatedTestMode(const QString &home = QString())
{
    const QString path = home.isEmpty() ? isolatedHome().path() : home;
    qputenv("HOME", QFile::encodeName(path));
    for (const char *var : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        qunsetenv(var);
    QStandardPaths::setTestModeEnabled(true);
}

// Resident set size of this process, in bytes.
inline qint64 residentBytes()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * 4096 : 0;
}

// Heap bytes in use (what the program holds, without the allocator's free lists).
inline qint64 heapBytesInUse()
{
    const struct mallinfo2 mi = mallinfo2();
    return qint64(mi.uordblks) + qint64(mi.hblkhd);
}

inline void report(const char *what, double value, const char *unit)
{
    std::printf("%-58s %14.3f %s\n", what, value, unit);
    std::fflush(stdout);
}

} // namespace Bench
