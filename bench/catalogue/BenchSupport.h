#pragma once
// Shared by the catalogue benchmarks: an isolated home folder and process measurements.
#include "catalogue/DataStore.h"
#include "catalogue/FileData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>
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

// A photo's path in a made-up library: 1,000 files per folder, 1,000 folders per group, for
// realistic depth and name lengths.
inline QString libraryPath(int i)
{
    return QStringLiteral("/home/someone/Pictures/Library/%1/Folder %2/IMG_%3.JPG")
        .arg(i / 1000000)
        .arg((i / 1000) % 1000, 3, 10, QLatin1Char('0'))
        .arg(i, 7, 10, QLatin1Char('0'));
}

// The i-th photo of that library as the scanner would have catalogued it (its folders made on
// the first photo of each), with distinct size, dates and content sample.
inline FileData *createLibraryRecord(DataStore *store, int i)
{
    if (i % 1000 == 0) {
        const QString folder = libraryPath(i).section(QLatin1Char('/'), 0, -2);
        if (!store->fileDataForPathKey(folder.section(QLatin1Char('/'), 0, -2)))
            store->createFileData(folder.section(QLatin1Char('/'), 0, -2), true);
        store->createFileData(folder, true);
    }
    FileData *r = store->createFileData(libraryPath(i), false);
    r->setMediaKind(MediaKind::Photo);
    r->setFileSize(2000000 + i);
    r->setDateModified(QDateTime::fromMSecsSinceEpoch(1500000000000LL + i * 1000LL, Qt::UTC));
    r->setDateTaken(QDateTime::fromMSecsSinceEpoch(1500000000000LL + i * 1000LL, Qt::UTC));
    r->setSample(ContentSample{qint64(i) * 7919, -qint64(i)});
    return r;
}

// Runs the event loop (not spinning) until done() holds or ms pass.
// `checkMs`: how often `done` is asked; a timed wait's figure is late by half of it on average.
inline bool spinUntil(const std::function<bool()> &done, int ms, int checkMs = 50)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    check.start(checkMs);
    loop.exec();
    return done();
}

inline void report(const char *what, double value, const char *unit)
{
    std::printf("%-58s %14.3f %s\n", what, value, unit);
    std::fflush(stdout);
}

} // namespace Bench
