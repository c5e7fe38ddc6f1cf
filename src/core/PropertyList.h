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
    static QVariant readFile(const QString &path, QString *error = nullptr);
    // Writes atomically (temporary file, then rename).
    static bool writeFile(const QString &path, const QVariant &value, QString *error = nullptr,
                          Format format = Format::Xml);
};
