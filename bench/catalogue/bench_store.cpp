// A catalogue of many records: build it once, then open and load it in a fresh process and
// measure load time, resident bytes per record and path look-up time.
#include "BenchSupport.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRandomGenerator>

namespace {

int build(int records)
{
    DataStore *store = DataStore::instance();
    if (!store->isOpen())
        return 1;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < records; ++i) {
        FileData *r = Bench::createLibraryRecord(store, i);
        r->setJpegSample(ContentSample{qint64(i) * 104729, qint64(i)});
        r->setNeedsUpload(i % 3 == 0 ? NeedsUpload::Uploaded : NeedsUpload::Waiting);
        r->setUploadedRemoteId(i % 3 == 0 ? 50000000000LL + i : 0);
    }
    Bench::report("build: records created (in memory)", t.elapsed() / 1000.0, "s");
    t.restart();
    if (!DataStore::save())
        return 1;
    Bench::report("build: first save", t.elapsed() / 1000.0, "s");
    DataStore::shutdown();
    return 0;
}

int load(int records)
{
    const qint64 rssBefore = Bench::residentBytes();
    const qint64 heapBefore = Bench::heapBytesInUse();
    QElapsedTimer t;
    t.start();
    DataStore *store = DataStore::instance();
    const double loadSeconds = t.elapsed() / 1000.0;
    if (!store->isOpen() || store->fileDataCount() < records)
        return 1;
    const qint64 n = store->fileDataCount();
    Bench::report("open and load", loadSeconds, "s");
    Bench::report("records loaded", double(n), "");
    Bench::report("resident bytes per record (RSS growth / records)", double(Bench::residentBytes() - rssBefore) / n, "B");
    Bench::report("heap bytes per record", double(Bench::heapBytesInUse() - heapBefore) / n, "B");

    QList<QString> keys;
    QRandomGenerator gen(1);
    for (int i = 0; i < 1000000; ++i)
        keys.append(Bench::libraryPath(int(gen.bounded(records))));
    t.restart();
    qint64 found = 0;
    for (const QString &k : std::as_const(keys))
        found += FileManager::fileDataForPath(k, 0, false) != nullptr;
    const double ns = double(t.nsecsElapsed()) / keys.size();
    Bench::report("path look-up (FileManager::fileDataForPath, hits)", ns, "ns");
    t.restart();
    for (const QString &k : std::as_const(keys))
        found += store->fileDataForPathKey(k) != nullptr;
    Bench::report("path look-up (exact key, hits)", double(t.nsecsElapsed()) / keys.size(), "ns");
    if (found != 2 * keys.size())
        return 1;
    t.restart();
    qint64 misses = 0;
    for (int i = 0; i < 1000000; ++i)
        misses += store->fileDataForPathKey(QStringLiteral("/nowhere/%1.jpg").arg(i)) == nullptr;
    Bench::report("path look-up (misses, incl. building the key)", double(t.nsecsElapsed()) / 1000000, "ns");
    DataStore::resetForTesting();
    return misses == 1000000 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool loadPhase = args.contains(QStringLiteral("--load-phase"));
    int records = 1000000;
    for (const QString &a : args.mid(1))
        if (a.toInt() > 0)
            records = a.toInt();
    if (loadPhase) {
        Bench::enterIsolatedTestMode(qEnvironmentVariable("HOISTLY_BENCH_HOME"));
        return load(records);
    }
    Bench::enterIsolatedTestMode();
    std::printf("Catalogue of %d records (home %s)\n", records, qPrintable(Bench::isolatedHome().path()));
    DataStore::resetForTesting();
    DataStore::deleteStoreFiles();
    if (build(records) != 0)
        return 1;
    // Loading in a fresh process, so memory freed by building does not hide what loading takes.
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOISTLY_BENCH_HOME"), Bench::isolatedHome().path());
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(app.applicationFilePath(), {QStringLiteral("--load-phase"), QString::number(records)});
    child.waitForFinished(-1);
    return child.exitCode();
}
