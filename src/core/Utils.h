#pragma once
// Small date, string, list and folder helpers that Qt does not offer in this form.
#include <QDateTime>
#include <QList>
#include <QSet>
#include <QStandardPaths>
#include <QString>
#include <QTimeZone>
#include <QVariant>
#include <type_traits>

namespace DateUtils {
QDateTime now();
// The current time in seconds since 1970.
double timeIntervalSince1970();
struct Components
{
    int year = 0;
    int month = 0;
    int day = 0;
    QTimeZone timeZone;
};
// The date's calendar components in the local time zone (zeros for an invalid date).
Components components(const QDateTime &date);
int year(const QDateTime &date);
int month(const QDateTime &date);
int day(const QDateTime &date);
// Seconds between the date and now, without sign (0 for an invalid date).
double timeIntervalSinceNowAbs(const QDateTime &date);
// Strictly after now; false for an invalid date.
bool isInFuture(const QDateTime &date);
} // namespace DateUtils

namespace StringUtils {
// Substring tests; false (or -1) for an empty needle.
bool containsString(const QString &text, const QString &needle, Qt::CaseSensitivity cs = Qt::CaseSensitive);
qsizetype indexOfString(const QString &text, const QString &needle, Qt::CaseSensitivity cs = Qt::CaseSensitive);
qsizetype lastIndexOfString(const QString &text, const QString &needle, Qt::CaseSensitivity cs = Qt::CaseSensitive);
bool beginsWithString(const QString &text, const QString &prefix, Qt::CaseSensitivity cs = Qt::CaseSensitive);
bool isEqualToStringCaseInsensitive(const QString &a, const QString &b);
} // namespace StringUtils

// The element at the index, or a default-constructed one (null) when the index is out of range.
template <typename T>
T objectAtIndexOrNil(const QList<T> &list, qsizetype index)
{
    return index >= 0 && index < list.size() ? list.at(index) : T();
}

// Appends unless the value is null (a null pointer, QString or QVariant); answers whether it did.
template <typename T>
bool addObjectUnlessNil(QList<T> &list, const T &value)
{
    if constexpr (std::is_pointer_v<T>) {
        if (!value)
            return false;
    } else if constexpr (requires { value.isNull(); }) {
        if (value.isNull())
            return false;
    }
    list.append(value);
    return true;
}

// Compares a newer ordered set with an older one and calls handler(added, removed, kept) once,
// synchronously: added and kept in the newer order, removed in the older order. An empty older
// list means everything was added.
template <typename T, typename Handler>
void changesSinceOrderedSet(const QList<T> &older, const QList<T> &newer, Handler &&handler)
{
    QList<T> added, removed, kept;
    if constexpr (requires(const T &v) { qHash(v); }) {
        const QSet<T> olderSet(older.cbegin(), older.cend());
        const QSet<T> newerSet(newer.cbegin(), newer.cend());
        for (const T &v : newer)
            (olderSet.contains(v) ? kept : added).append(v);
        for (const T &v : older)
            if (!newerSet.contains(v))
                removed.append(v);
    } else {
        for (const T &v : newer)
            (older.contains(v) ? kept : added).append(v);
        for (const T &v : older)
            if (!newer.contains(v))
                removed.append(v);
    }
    handler(added, removed, kept);
}

namespace FileUtils {
// The location with `component` appended (when not empty), created with its parents when
// missing; a null string and a message in *error when there is no such location or it cannot
// be created.
QString findOrCreateDirectory(QStandardPaths::StandardLocation location, const QString &component = QString(),
                              QString *error = nullptr);
bool directoryExistsAtPath(const QString &path);
} // namespace FileUtils
