#include "Settings.h"

#include "LGLog.h"
#include "PropertyList.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSettings>
#include <memory>

namespace {

// The user defaults are a real property list, so values keep their types across restarts
// (numbers stay numbers, a one-element list stays a list), which an INI file cannot promise.
bool readPlist(QIODevice &device, QSettings::SettingsMap &map)
{
    QString error;
    const QVariant root = PropertyList::parse(device.readAll(), &error);
    if (!error.isEmpty() || root.typeId() != QMetaType::QVariantMap)
        return false;
    const QVariantMap values = root.toMap();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        map.insert(it.key(), it.value());
    return true;
}

bool writePlist(QIODevice &device, const QSettings::SettingsMap &map)
{
    QVariantMap values;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        values.insert(it.key(), it.value());
    const QByteArray data = PropertyList::serialize(values);
    return device.write(data) == data.size();
}

QSettings::Format plistFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(QStringLiteral("plist"), readPlist, writePlist);
    return format;
}

// QSettings posts itself an update event after each change and, by default, writes the file
// when that event arrives: outside our lock, racing the other threads. Every change is synced
// under the lock already, so the event is swallowed. The object lives on the main thread so
// those events are delivered (and freed) even when a short-lived pool thread created it.
class DefaultsFile : public QSettings
{
public:
    using QSettings::QSettings;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::UpdateRequest)
            return true;
        return QSettings::event(e);
    }
};

struct Store
{
    QMutex lock;
    std::unique_ptr<QSettings> defaults;
    QString path;
    QHash<QString, QVariant> cache;

    QSettings &settings()
    {
        const QString wanted = StandardPaths::userDefaultsFile();
        if (!defaults || path != wanted) {
            path = wanted;
            QDir().mkpath(QFileInfo(path).absolutePath());
            defaults = std::make_unique<DefaultsFile>(path, plistFormat());
            if (auto *app = QCoreApplication::instance(); app && defaults->thread() != app->thread())
                defaults->moveToThread(app->thread());
            cache.clear();
            if (defaults->status() != QSettings::NoError)
                LGLogError(QStringLiteral("SETTINGS: Could not read %1; using defaults until the next change rewrites it").arg(path));
        }
        return *defaults;
    }

    QVariant read(const QString &key)
    {
        auto it = cache.constFind(key);
        if (it != cache.constEnd())
            return *it;
        QVariant v = settings().value(key);
        cache.insert(key, v);
        return v;
    }

    void write(const QString &key, const QVariant &value)
    {
        QSettings &s = settings();
        if (value.isNull()) {
            cache.insert(key, QVariant());
            s.remove(key);
        } else {
            cache.insert(key, value);
            s.setValue(key, value);
        }
        s.sync();
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
    QMutexLocker locker(&s.lock);
    QSettings &q = s.settings();
    q.clear();
    q.sync();
    s.cache.clear();
}

QString Settings::storePath() { return StandardPaths::userDefaultsFile(); }

void Settings::reloadForTesting()
{
    Store &s = store();
    QMutexLocker locker(&s.lock);
    s.defaults.reset();
    s.cache.clear();
}
