#pragma once
// The settings store: typed values by string key over the user defaults (a property-list file).
// Values are kept in memory under one lock and written to disk in the background, coalesced
// (about once a second, and at exit), crash-safe. A key never written reads as 0, false or a
// null QVariant; an empty key reads as null and is ignored by setters. Thread-safe.
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <functional>

class Settings
{
public:
    static bool boolForKey(const QString &key);
    static int intForKey(const QString &key);
    static qint64 longLongForKey(const QString &key);
    static double doubleForKey(const QString &key);
    static QVariant objectForKey(const QString &key);
    static QVariant valueForKey(const QString &key) { return objectForKey(key); }
    static QString stringForKey(const QString &key) { return objectForKey(key).toString(); }

    static void setBool(bool value, const QString &key);
    static void setInt(int value, const QString &key);
    static void setLongLong(qint64 value, const QString &key);
    static void setDouble(double value, const QString &key);
    // A null QVariant removes the key.
    static void setObject(const QVariant &value, const QString &key);
    static void setValue(const QVariant &value, const QString &key) { setObject(value, key); }

    static int incrementIntForKey(const QString &key);
    static void removeObjectForKey(const QString &key);

    // Ordered sets are stored as lists without repeats, in insertion order.
    static void addObject(const QVariant &object, const QString &key);
    static void removeObject(const QVariant &object, const QString &key);
    static QVariantList orderedSetForKey(const QString &key);

    // Disk-based settings: a property list "Settings<key>.plist" in the Lumora data folder.
    static QVariant diskObjectForKey(const QString &key);
    static bool setDiskObject(const QVariant &value, const QString &key);

    // Empties the store and writes the empty file at once.
    static void clearAllSettingsPERMANENTLY();
    // After a full reset: every later write is dropped (and logged once) until the process ends,
    // so nothing still running can bring the previous account's values back.
    static void refuseWritesUntilExit();
    // Writes what is pending now, on the calling thread; for values that must be on disk before
    // the caller goes on. False when the file could not be written (the error is logged).
    static bool synchronize();

    // Why the values in memory are not on disk ("" while they are): the last write failed and
    // the writer keeps trying (about once a second) until one goes through.
    static QString unsavedError();
    // Why the file was not read when the values were loaded (both "" when it was). A file that
    // could not be parsed is kept aside as keptAs and a new one written in its place; a file that
    // could not be opened (keptAs "") is left as it is and not written over while it is there.
    struct ReadFailure
    {
        QString reason;
        QString keptAs;
    };
    static ReadFailure readFailure();
    // Called, on the writing thread, when that changes (a write failed, or went through again).
    static void setHealthChangedHandler(std::function<void()> handler);

    // The file behind the user defaults (for diagnostics and tests).
    static QString storePath();
    // Writes what is pending, drops the values and rereads the file: tests use it to simulate a
    // restart (writes are allowed again).
    static void reloadForTesting();
};
