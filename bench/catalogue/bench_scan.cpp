// First scan of many small JPEGs in a warm page cache, against a reference loop that only walks,
// reads the same four 512-byte slices and computes the MD5; then a rescan of the unchanged files
// against a bare walk and stat.
#include "BenchSupport.h"
#include "catalogue/CatalogueHooks.h"
#include "catalogue/DataStore.h"
#include "catalogue/FileManager.h"
#include "catalogue/FileManagerPrivate.h"
#include "core/Digest.h"
#include "core/Settings.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray jpegBytes(quint32 seed)
{
    QByteArray b("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    QByteArray dqt("\xFF\xDB\x00\x43\x00", 5);
    for (int i = 1; i <= 64; ++i)
        dqt.append(char(i));
    b.append(dqt);
    b.append("\xFF\xC0\x00\x11\x08\x00\x10\x00\x10\x03\x01\x11\x00\x02\x11\x01\x03\x11\x01", 19);
    b.append("\xFF\xDA\x00\x0C\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00", 14);
    QRandomGenerator gen(seed);
    const int n = 3000 + int(gen.bounded(1000));
    for (int i = 0; i < n; ++i)
        b.append(char(gen.bounded(0, 255)));
    b.append("\xFF\xD9", 2);
    return b;
}

void generate(const QString &root, int files)
{
    const timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    for (int i = 0; i < files; ++i) {
        const QString folder = root + QStringLiteral("/Folder %1").arg(i / 1000, 3, 10, QLatin1Char('0'));
        if (i % 1000 == 0)
            QDir().mkpath(folder);
        const QByteArray path = QFile::encodeName(folder + QStringLiteral("/IMG_%1.JPG").arg(i, 6, 10, QLatin1Char('0')));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const QByteArray bytes = jpegBytes(quint32(i));
        if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
            qFatal("cannot write %s", path.constData());
        ::futimens(fd, old);
        ::close(fd);
    }
}

// Walks the tree; calls the visitor for each regular file with the folder's descriptor.
template<typename Visit>
qint64 walk(const QByteArray &dirPath, Visit &&visit)
{
    DIR *dir = ::opendir(dirPath.constData());
    if (!dir)
        return 0;
    qint64 n = 0;
    while (struct dirent *de = ::readdir(dir)) {
        if (de->d_name[0] == '.')
            continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            n += walk(dirPath + '/' + de->d_name, visit);
        } else if (S_ISREG(st.st_mode)) {
            visit(::dirfd(dir), de->d_name, st);
            ++n;
        }
    }
    ::closedir(dir);
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int files = 100000;
    for (const QString &a : app.arguments().mid(1))
        if (a.toInt() > 0)
            files = a.toInt();
    Bench::enterIsolatedTestMode();
    // HOISTLY_BENCH_TREE names a folder to keep the generated files in between runs.
    QTemporaryDir data(QDir::tempPath() + QStringLiteral("/hoistly-scan-bench-XXXXXX"));
    const QString kept = qEnvironmentVariable("HOISTLY_BENCH_TREE");
    const QString root = (kept.isEmpty() ? QFileInfo(data.path()).canonicalFilePath() : kept) + QStringLiteral("/Photos");
    const QByteArray rootNative = QFile::encodeName(root);
    std::printf("Scan of %d small JPEGs in %s\n", files, qPrintable(root));
    QElapsedTimer t;
    t.start();
    if (kept.isEmpty() || !QFileInfo::exists(root + QStringLiteral("/Folder 000"))) {
        generate(root, files);
        Bench::report("generate files", t.elapsed() / 1000.0, "s");
    }

    // Warm the page cache: every byte read once.
    QByteArray buf(1 << 16, Qt::Uninitialized);
    walk(rootNative, [&](int dfd, const char *name, const struct stat &) {
        const int fd = ::openat(dfd, name, O_RDONLY);
        while (::read(fd, buf.data(), size_t(buf.size())) > 0) {
        }
        ::close(fd);
    });

    // Reference: walk, read the four slices, MD5.
    t.restart();
    QByteArray hashed(2056, '\0');
    qint64 digestBytes = 0;
    const qint64 refFiles = walk(rootNative, [&](int dfd, const char *name, const struct stat &st) {
        const int fd = ::openat(dfd, name, O_RDONLY);
        const qint64 len = st.st_size;
        for (int k = 1; k <= 4; ++k)
            if (::pread(fd, hashed.data() + (k - 1) * 512, 512, off_t((k * len) / 5)) != 512)
                qFatal("short read");
        std::memcpy(hashed.data() + 2048, &len, 8);
        digestBytes += Digest::md5(hashed).size();
        ::close(fd);
    });
    const double refSeconds = t.nsecsElapsed() / 1e9;
    Bench::report("reference: walk + 4 slices + MD5", refSeconds, "s");
    Bench::report("reference rate", refFiles / refSeconds, "files/s");

    // First scan through the catalogue.
    DataStore::resetForTesting();
    DataStore::deleteStoreFiles();
    Settings::clearAllSettingsPERMANENTLY();
    CatalogueHooks::instance().mirrorHasCompletedScanThisSession = [] { return true; };
    const quint64 openedBefore = FileManagerPrivate::filesOpenedForReading();
    t.restart();
    FileManager::addCustomFolder(root);
    if (!FileManager::waitUntilIdle(3600 * 1000))
        return 1;
    const double scanSeconds = t.nsecsElapsed() / 1e9;
    qint64 waiting = 0;
    for (FileData *r : DataStore::instance()->allFileData())
        waiting += !r->isFolder() && r->needsUpload() == NeedsUpload::Waiting && !r->sample().isNull();
    Bench::report("first scan (list, type, date, 2 samples, catalogue)", scanSeconds, "s");
    Bench::report("first scan rate", waiting / scanSeconds, "files/s");
    Bench::report("first scan rate / reference rate", (waiting / scanSeconds) / (refFiles / refSeconds), "");
    Bench::report("files worked on (waiting, sampled)", double(waiting), "");
    t.restart();
    DataStore::save();
    Bench::report("save after the first scan", t.elapsed() / 1000.0, "s");

    // Rescan of the unchanged files (what start-up does), against a bare walk + stat. The two take
    // turns over several rounds and the medians are compared, so that a moment of load on a shared
    // machine does not decide the ratio.
    const quint64 openedAfterFirst = FileManagerPrivate::filesOpenedForReading();
    const int rounds = qMax(1, qEnvironmentVariableIntValue("HOISTLY_BENCH_ROUNDS") ?: 5);
    QList<double> walks, rescans;
    qint64 statted = 0;
    for (int round = 0; round < rounds; ++round) {
        t.restart();
        statted = walk(rootNative, [](int, const char *, const struct stat &) {});
        walks.append(t.nsecsElapsed() / 1e9);
        t.restart();
        for (FileData *r : DataStore::instance()->allFileData())
            if (r->isFolder())
                r->setNeedsScan(NeedsScan::Pending);
        FileManager::run();
        if (!FileManager::waitUntilIdle(3600 * 1000))
            return 1;
        rescans.append(t.nsecsElapsed() / 1e9);
    }
    std::sort(walks.begin(), walks.end());
    std::sort(rescans.begin(), rescans.end());
    const double walkSeconds = walks.at(rounds / 2), rescanSeconds = rescans.at(rounds / 2);
    std::printf("  %d rounds; walks %.3f..%.3f s, rescans %.3f..%.3f s\n", rounds, walks.first(), walks.last(), rescans.first(),
                rescans.last());
    Bench::report("reference: bare walk + stat (median)", walkSeconds, "s");
    Bench::report("rescan of unchanged files (median)", rescanSeconds, "s");
    Bench::report("rescan / bare walk + stat", rescanSeconds / walkSeconds, "x");
    Bench::report("files opened by the rescans", double(FileManagerPrivate::filesOpenedForReading() - openedAfterFirst), "");
    Bench::report("files opened by the first scan", double(openedAfterFirst - openedBefore), "");
    FileManager::resetForTesting();
    DataStore::resetForTesting();
    return statted == files && digestBytes == 16 * refFiles ? 0 : 1;
}
