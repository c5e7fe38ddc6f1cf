#include "Settings.h"

#include "LGLog.h"
#include "PropertyList.h"
#include "platform/StandardPaths.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QWaitCondition>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Values live in memory; a writer thread of our own puts them on disk, at most about once a
// second, so a burst of changes (an upload touches several counters) costs one write. The file is
// replaced whole (temporary file, fsync, rename), so a crash at any moment leaves either the old
// or the new file, never a torn one. Callers that must have a value on disk before they go on
// (a stored sign-in, the pause state) ask for it with synchronize().
constexpr int kWriteIntervalMs = 1000;

struct Store
{
    QMutex lock; // everything below
    QString path;
    bool loaded = false;
    QVariantMap values;
    quint64 version = 0;      // bumped by every change
    quint64 savedVersion = 0; // the version that is on disk
    bool refuseWrites = false;
    bool refusalLogged = false;
    // Why the values of now are not on disk ("" while they are). The writer keeps trying; the
    // log and the handler hear of a change of it, not of every try.
    QString unsavedError;
    // Why the file was not read at load ("" when it was), and where it was kept when it was set
    // aside. A file that could not even be opened stays where it is and is never written over:
    // the values in memory are not its values, and it may well be read once its permissions are
    // mended. Only its removal (or a full reset) frees its place.
    Settings::ReadFailure readFailure;
    std::function<void()> healthChanged;
    QWaitCondition changed;
    bool stopping = false;
    std::thread writer;
    QElapsedTimer sinceWrite;

    QMutex fileLock; // one writer of the file at a time, snapshots in order

    ~Store() { shutdown(); }

    void startWriterLocked()
    {
        if (writer.joinable() || stopping)
            return;
        writer = std::thread([this] { writerLoop(); });
    }

    void shutdown()
    {
        {
            QMutexLocker locker(&lock);
            if (stopping)
                return;
            stopping = true;
            changed.wakeAll();
        }
        if (writer.joinable())
            writer.join();
        save();
    }

    void writerLoop()
    {
        QMutexLocker locker(&lock);
        while (!stopping) {
            if (version == savedVersion) {
                changed.wait(&lock);
                continue;
            }
            const qint64 wait = sinceWrite.isValid() ? kWriteIntervalMs - sinceWrite.elapsed() : 0;
            if (wait > 0) {
                changed.wait(&lock, QDeadlineTimer(wait));
                continue;
            }
            locker.unlock();
            save();
            locker.relock();
        }
    }

    // What the file's place is made of. Comparing it costs no allocation, unlike working the
    // place out again, which every read would otherwise do.
    struct Environment
    {
        QByteArray home, configHome;
        bool testMode = false;
        bool matches() const
        {
            return testMode == QStandardPaths::isTestModeEnabled() && same(home, "HOME") && same(configHome, "XDG_CONFIG_HOME");
        }
        static bool same(const QByteArray &kept, const char *name)
        {
            const char *now = ::getenv(name);
            return now ? kept == now && !kept.isNull() : kept.isNull();
        }
        static Environment current()
        {
            Environment e;
            if (const char *h = ::getenv("HOME"))
                e.home = QByteArray(h);
            if (const char *c = ::getenv("XDG_CONFIG_HOME"))
                e.configHome = QByteArray(c);
            e.testMode = QStandardPaths::isTestModeEnabled();
            return e;
        }
    };
    Environment environment;

    // Loads the file of the current configuration when it changed (tests move the home around).
    void ensureLoadedLocked()
    {
        if (loaded && environment.matches())
            return;
        environment = Environment::current();
        const QString wanted = StandardPaths::userDefaultsFile();
        if (loaded && path == wanted)
            return;
        if (loaded && version != savedVersion && !heldLocked()) {
            // Pending values belong to the old file.
            const QVariantMap old = values;
            const QString oldPath = path;
            QString error;
            if (!writeFile(oldPath, old, &error))
                LGLogError(QStringLiteral("SETTINGS: Could not write %1: %2").arg(oldPath, error));
        }
        path = wanted;
        removeStaleTemporaries(path);
        readFailure = {};
        values = readOrSetAside(path, &readFailure);
        unsavedError = heldLocked() ? heldError() : QString();
        loaded = true;
        savedVersion = version;
    }

    bool heldLocked() const { return !readFailure.reason.isEmpty() && readFailure.keptAs.isEmpty(); }
    QString heldError() const
    {
        return QStringLiteral("%1 could not be read (%2), so it is not written over").arg(QFileInfo(path).fileName(), readFailure.reason);
    }

    // Whether the file that could not be read still holds its place; false once it is gone.
    bool stillHeldLocked()
    {
        if (heldLocked() && surelyAbsent(path)) {
            LGLogInfo(QStringLiteral("SETTINGS: %1 is gone; writing the settings there again").arg(path));
            readFailure = {};
        }
        return heldLocked();
    }

    // Left behind by a process that was killed while writing.
    static void removeStaleTemporaries(const QString &path)
    {
        const QFileInfo target(path);
        const QDateTime old = QDateTime::currentDateTimeUtc().addSecs(-60);
        const QFileInfoList temps = QDir(target.absolutePath()).entryInfoList({target.fileName() + QStringLiteral(".??????")}, QDir::Files | QDir::Hidden);
        for (const QFileInfo &t : temps)
            if (t.lastModified().toUTC() < old)
                QFile::remove(t.absoluteFilePath());
    }

    // Only a file that is known not to be there may be written from scratch: one in a folder that
    // cannot be searched merely looks absent.
    static bool surelyAbsent(const QString &path, int *error = nullptr)
    {
        struct stat st;
        const int result = ::lstat(QFile::encodeName(path).constData(), &st);
        if (error)
            *error = result == 0 ? 0 : errno;
        return result != 0 && errno == ENOENT;
    }

    static QVariantMap readOrSetAside(const QString &path, Settings::ReadFailure *failure)
    {
        QFile file(path);
        int lookError = 0;
        if (surelyAbsent(path, &lookError))
            return {};
        if (lookError != 0) {
            failure->reason = QString::fromLocal8Bit(std::strerror(lookError));
            LGLogError(QStringLiteral("SETTINGS: Could not look at %1: %2; starting with defaults, and not writing over it")
                           .arg(path, failure->reason));
            return {};
        }
        if (!file.open(QIODevice::ReadOnly)) {
            failure->reason = file.errorString();
            LGLogError(QStringLiteral("SETTINGS: Could not open %1: %2; starting with defaults, and not writing over it")
                           .arg(path, failure->reason));
            return {};
        }
        QString error;
        const QVariant root = PropertyList::parse(file.readAll(), &error);
        file.close();
        if (error.isEmpty() && root.typeId() == QMetaType::QVariantMap)
            return root.toMap();
        if (error.isEmpty())
            error = QStringLiteral("not a dictionary");
        // Kept for whoever wants to find out what happened to the old values.
        const QString aside = path + QStringLiteral(".unreadable-")
            + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
        failure->reason = error;
        if (QFile::rename(path, aside)) {
            failure->keptAs = aside;
            LGLogError(QStringLiteral("SETTINGS: %1 could not be read (%2); kept it as %3 and started with defaults")
                           .arg(path, error, aside));
        } else {
            LGLogError(QStringLiteral("SETTINGS: %1 could not be read (%2) nor set aside; starting with defaults, and not writing over it")
                           .arg(path, error));
        }
        return {};
    }

    static bool writeFile(const QString &path, const QVariantMap &values, QString *error)
    {
        // Binary: dates keep their milliseconds (the XML form has whole seconds only), and it is
        // the cheaper form to write. Either form is read back.
        const QByteArray data = PropertyList::serialize(values, PropertyList::Format::Binary);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QByteArray tmp = QFile::encodeName(path) + ".XXXXXX";
        const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
        if (fd < 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        ::fchmod(fd, 0600);
        qsizetype done = 0;
        bool ok = true;
        while (ok && done < data.size()) {
            const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            done += ok ? n : 0;
        }
        ok = ok && ::fsync(fd) == 0;
        const int savedErrno = errno;
        ::close(fd);
        if (ok && ::rename(tmp.constData(), QFile::encodeName(path).constData()) == 0) {
            const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir >= 0) {
                ::fsync(dir);
                ::close(dir);
            }
            return true;
        }
        *error = QString::fromLocal8Bit(std::strerror(ok ? errno : savedErrno));
        ::unlink(tmp.constData());
        return false;
    }

    // Writes the values of now when they are not on disk yet. True when the disk is up to date.
    bool save()
    {
        QMutexLocker fileLocker(&fileLock);
        QVariantMap snapshot;
        QString target;
        quint64 snapshotVersion = 0;
        {
            QMutexLocker locker(&lock);
            if (!loaded || version == savedVersion)
                return true;
            sinceWrite.start();
            if (stillHeldLocked())
                return false;
            snapshot = values;
            target = path;
            snapshotVersion = version;
        }
        QString error;
        const bool ok = writeFile(target, snapshot, &error);
        std::function<void()> tell;
        {
            QMutexLocker locker(&lock);
            if (ok && path == target)
                savedVersion = std::max(savedVersion, snapshotVersion);
            if (path == target)
                tell = noteHealthLocked(ok ? QString() : error, target);
        }
        // Outside the lock: the handler reads the store's state.
        if (tell)
            tell();
        return ok;
    }

    // Records whether the last write went through; the handler to call when that changed.
    std::function<void()> noteHealthLocked(const QString &error, const QString &target)
    {
        if (error == unsavedError)
            return nullptr;
        if (!error.isEmpty())
            LGLogError(QStringLiteral("SETTINGS: Could not write %1: %2; keeping the settings in memory and trying again")
                           .arg(target, error));
        else
            LGLogInfo(QStringLiteral("SETTINGS: Written again to %1").arg(target));
        unsavedError = error;
        return healthChanged;
    }

    QVariant read(const QString &key)
    {
        ensureLoadedLocked();
        return values.value(key);
    }

    void write(const QString &key, const QVariant &value)
    {
        ensureLoadedLocked();
        if (refuseWrites) {
            if (!refusalLogged)
                LGLogError(QStringLiteral("SETTINGS: Not writing \"%1\": the settings were reset").arg(key));
            refusalLogged = true;
            return;
        }
        if (value.isNull()) {
            if (values.remove(key) == 0)
                return;
        } else {
            auto it = values.find(key);
            if (it != values.end() && *it == value && it->typeId() == value.typeId())
                return;
            values.insert(key, value);
        }
        // Only an idle writer needs waking: one with changes to write already wakes on its own.
        const bool writerIdle = version == savedVersion;
        ++version;
        startWriterLocked();
        if (writerIdle)
            changed.wakeAll();
    }
};

Store &store()
{
    static Store s;
    return s;
}

} // namespace

QVariant Settings::objectForKey(const QString &key)
{
    if (key.isEmpty())
        return {};
    Store &s = store();
    QMutexLocker locker(&s.lock);
    return s.read(key);
}

bool Settings::boolForKey(const QString &key)
{
    const QVariant v = objectForKey(key);
    if (v.typeId() == QMetaType::QString) {
        const QString t = v.toString().toLower();
        return t == QLatin1String("true") || t == QLatin1String("yes") || t.toLongLong() != 0;
    }
    return v.toBool();
}

int Settings::intForKey(const QString &key) { return int(objectForKey(key).toLongLong()); }
qint64 Settings::longLongForKey(const QString &key) { return objectForKey(key).toLongLong(); }
double Settings::doubleForKey(const QString &key) { return objectForKey(key).toDouble(); }

void Settings::setObject(const QVariant &value, const QString &key)
{
    if (key.isEmpty())
        return;
    Store &s = store();
    QMutexLocker locker(&s.lock);
    s.write(key, value);
}

void Settings::setBool(bool value, const QString &key) { setObject(value, key); }
void Settings::setInt(int value, const QString &key) { setObject(value, key); }
void Settings::setLongLong(qint64 value, const QString &key) { setObject(value, key); }
void Settings::setDouble(double value, const QString &key) { setObject(value, key); }
void Settings::removeObjectForKey(const QString &key) { setObject(QVariant(), key); }

int Settings::incrementIntForKey(const QString &key)
{
    if (key.isEmpty())
        return 0;
    Store &s = store();
    QMutexLocker locker(&s.lock);
    const int next = int(s.read(key).toLongLong()) + 1;
    s.write(key, next);
    return next;
}

void Settings::addObject(const QVariant &object, const QString &key)
{
    if (object.isNull() || key.isEmpty())
        return;
    Store &s = store();
    QMutexLocker locker(&s.lock);
    QVariantList list = s.read(key).toList();
    if (list.contains(object))
        return;
    list.append(object);
    s.write(key, list);
}

void Settings::removeObject(const QVariant &object, const QString &key)
{
    if (object.isNull() || key.isEmpty())
        return;
    Store &s = store();
    QMutexLocker locker(&s.lock);
    QVariantList list = s.read(key).toList();
    if (list.removeAll(object) == 0)
        return;
    s.write(key, list.isEmpty() ? QVariant() : QVariant(list));
}

QVariantList Settings::orderedSetForKey(const QString &key)
{
    return objectForKey(key).toList();
}

static QString diskSettingPath(const QString &key)
{
    return StandardPaths::lumoraFolder() + QStringLiteral("/Settings") + key + QStringLiteral(".plist");
}

QVariant Settings::diskObjectForKey(const QString &key)
{
    if (key.isEmpty())
        return {};
    const QString path = diskSettingPath(key);
    if (!QFileInfo::exists(path))
        return {};
    QString error;
    QVariant v = PropertyList::readFile(path, &error);
    if (!error.isEmpty())
        LGLogError(QStringLiteral("SETTINGS: Ignoring unreadable %1: %2").arg(path, error));
    return v;
}

bool Settings::setDiskObject(const QVariant &value, const QString &key)
{
    if (key.isEmpty())
        return false;
    const QString path = diskSettingPath(key);
    if (value.isNull())
        return !QFileInfo::exists(path) || QFile::remove(path);
    QDir().mkpath(StandardPaths::lumoraFolder());
    QString error;
    if (!PropertyList::writeFile(path, value, &error)) {
        LGLogError(QStringLiteral("SETTINGS: Could not write %1: %2").arg(path, error));
        return false;
    }
    return true;
}

void Settings::clearAllSettingsPERMANENTLY()
{
    Store &s = store();
    {
        QMutexLocker locker(&s.lock);
        s.ensureLoadedLocked();
        s.values.clear();
        // The user asked for everything to go: a file that could not be read goes as well.
        s.readFailure = {};
        s.unsavedError.clear();
        ++s.version;
    }
    // The reset relies on the empty file being on disk before anything else happens.
    s.save();
}

void Settings::refuseWritesUntilExit()
{
    Store &s = store();
    QMutexLocker locker(&s.lock);
    s.refuseWrites = true;
}

bool Settings::synchronize()
{
    return store().save();
}

QString Settings::storePath() { return StandardPaths::userDefaultsFile(); }

Settings::ReadFailure Settings::readFailure()
{
    Store &s = store();
    QMutexLocker locker(&s.lock);
    s.ensureLoadedLocked();
    return s.readFailure;
}

QString Settings::unsavedError()
{
    Store &s = store();
    QMutexLocker locker(&s.lock);
    return s.unsavedError;
}

void Settings::setHealthChangedHandler(std::function<void()> handler)
{
    Store &s = store();
    QMutexLocker locker(&s.lock);
    s.healthChanged = std::move(handler);
}

void Settings::reloadForTesting()
{
    Store &s = store();
    s.save();
    QMutexLocker locker(&s.lock);
    s.loaded = false;
    s.values.clear();
    s.savedVersion = s.version;
    s.refuseWrites = false;
    s.refusalLogged = false;
    s.unsavedError.clear();
}
