#pragma once
// Property lists (XML or binary) as QVariant trees: dictionaries are QVariantMap, arrays
// QVariantList, data QByteArray, dates QDateTime; integers, reals, booleans and strings as such.
#include <QByteArray>
#include <QString>
#include <QVariant>

class PropertyList
{
public:
    enum class Format { Xml, Binary };
    // A null QVariant and a message in *error when the data is not a property list.
    static QVariant parse(const QByteArray &data, QString *error = nullptr);
    static QByteArray serialize(const QVariant &value, Format format = Format::Xml);
    // Whether a link at the path is followed, or refused like any other entry that is not a
    // regular file (a file anyone may have put there).
    enum class Links { Follow, Refuse };
    static constexpr qint64 kMaxFileSize = 64 * 1024 * 1024;
    // The contents of a regular file of at most kMaxFileSize bytes; false and a message in *error
    // for anything else at the path. A FIFO or a device is never waited on nor read.
    static bool readFileBytes(const QString &path, QByteArray *bytes, QString *error = nullptr, Links links = Links::Follow);
    static QVariant readFile(const QString &path, QString *error = nullptr, Links links = Links::Follow);
    // Writes atomically (temporary file, then rename). With Links::Refuse only an absent entry or
    // a regular file is replaced, and a link is neither followed nor replaced.
    static bool writeFile(const QString &path, const QVariant &value, QString *error = nullptr,
                          Format format = Format::Xml, Links links = Links::Follow);
};
