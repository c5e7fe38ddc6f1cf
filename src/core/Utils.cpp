#include "Utils.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>

QDateTime DateUtils::now() { return QDateTime::currentDateTime(); }

double DateUtils::timeIntervalSince1970() { return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0; }

DateUtils::Components DateUtils::components(const QDateTime &date)
{
    Components c;
    if (!date.isValid())
        return c;
    const QDateTime local = date.toLocalTime();
    c.year = local.date().year();
    c.month = local.date().month();
    c.day = local.date().day();
    c.timeZone = QTimeZone::systemTimeZone();
    return c;
}

int DateUtils::year(const QDateTime &date) { return components(date).year; }
int DateUtils::month(const QDateTime &date) { return components(date).month; }
int DateUtils::day(const QDateTime &date) { return components(date).day; }

double DateUtils::timeIntervalSinceNowAbs(const QDateTime &date)
{
    if (!date.isValid())
        return 0;
    return std::fabs(double(QDateTime::currentMSecsSinceEpoch() - date.toMSecsSinceEpoch()) / 1000.0);
}

bool DateUtils::isInFuture(const QDateTime &date)
{
    return date.isValid() && date.toMSecsSinceEpoch() > QDateTime::currentMSecsSinceEpoch();
}

bool StringUtils::containsString(const QString &text, const QString &needle, Qt::CaseSensitivity cs)
{
    return !needle.isEmpty() && text.contains(needle, cs);
}

qsizetype StringUtils::indexOfString(const QString &text, const QString &needle, Qt::CaseSensitivity cs)
{
    return needle.isEmpty() ? -1 : text.indexOf(needle, 0, cs);
}

qsizetype StringUtils::lastIndexOfString(const QString &text, const QString &needle, Qt::CaseSensitivity cs)
{
    return needle.isEmpty() ? -1 : text.lastIndexOf(needle, -1, cs);
}

bool StringUtils::beginsWithString(const QString &text, const QString &prefix, Qt::CaseSensitivity cs)
{
    return !prefix.isEmpty() && text.startsWith(prefix, cs);
}

bool StringUtils::isEqualToStringCaseInsensitive(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString FileUtils::findOrCreateDirectory(QStandardPaths::StandardLocation location, const QString &component,
                                         QString *error)
{
    QString path = QStandardPaths::writableLocation(location);
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("There is no such folder on this system");
        return {};
    }
    if (!component.isEmpty())
        path = QDir(path).filePath(component);
    if (!QDir().mkpath(path) || !QFileInfo(path).isDir()) {
        if (error)
            *error = QStringLiteral("Could not create the folder %1").arg(path);
        return {};
    }
    if (error)
        error->clear();
    return path;
}

bool FileUtils::directoryExistsAtPath(const QString &path) { return !path.isEmpty() && QFileInfo(path).isDir(); }
