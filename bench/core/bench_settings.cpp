// Cost of a settings change on the caller's thread, as the upload loop makes them (several
// counters per uploaded file), next to the reference of writing the file on every change, in the
// same run and the same folder. Run by hand:
//   ./bench/core/bench_core_settings [changes]
#include "core/PropertyList.h"
#include "core/Settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    const int changes = argc > 1 ? QByteArray(argv[1]).toInt() : 2000;

    // A settings file of realistic size: a few hundred keys, some of them long.
    for (int i = 0; i < 300; ++i)
        Settings::setObject(QStringLiteral("value %1 ").arg(i).repeated(8), QStringLiteral("Filler%1").arg(i));
    Settings::synchronize();

    auto run = [&](bool writeEachChange) {
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < changes; ++i) {
            Settings::incrementIntForKey(QStringLiteral("PhotosImported"));
            if (writeEachChange)
                Settings::synchronize();
            Settings::setLongLong(qint64(i) * 4096, QStringLiteral("PhotosImportedBytes"));
            if (writeEachChange)
                Settings::synchronize();
        }
        return double(t.nsecsElapsed()) / 1e6;
    };
    const double coalesced = run(false);
    QElapsedTimer settle;
    settle.start();
    Settings::synchronize();
    const double finalWrite = double(settle.nsecsElapsed()) / 1e6;
    const double eachChange = run(true);
    std::printf("%d changes x 2 keys, %lld bytes on disk\n", changes,
                static_cast<long long>(QFileInfo(Settings::storePath()).size()));
    std::printf("in memory, written in the background: %9.2f ms on the caller (%.2f us a change), final write %.2f ms\n",
                coalesced, coalesced * 1000 / (2 * changes), finalWrite);
    std::printf("reference, file written per change:   %9.2f ms on the caller (%.2f us a change)\n",
                eachChange, eachChange * 1000 / (2 * changes));
    std::printf("speed-up on the caller: %.0fx\n", eachChange / coalesced);
    return 0;
}
