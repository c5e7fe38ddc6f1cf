// Property lists from disk: the settings file, the disk settings, a folder's ".lumoraExclusion"
// and the update manifest all go through the same reader; what it returns is written back and
// read again, and read as a folder's settings. The input is also put on disk as each kind of
// entry a folder can hold at that name: only a regular file is ever read, nothing else is waited
// on, and a link is neither read nor written through when links are refused.
#include "FuzzSupport.h"
#include "catalogue/CatalogueHooks.h"
#include "catalogue/FileData.h"
#include "core/PropertyList.h"

#include <cstdlib>
#include <sys/stat.h>

namespace {
void check(bool holds)
{
    if (!holds)
        std::abort();
}

QByteArray contentsOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void fuzzTheFileRoad(const QByteArray &bytes, const QVariant &parsed)
{
    static QTemporaryDir *dir = [] {
        auto *d = new QTemporaryDir;
        const QString p = d->path();
        ::mkfifo(QFile::encodeName(p + QStringLiteral("/fifo")).constData(), 0600);
        QDir(p).mkdir(QStringLiteral("folder"));
        QFile::link(p + QStringLiteral("/regular"), p + QStringLiteral("/link"));
        QFile::link(QStringLiteral("/dev/zero"), p + QStringLiteral("/device"));
        return d;
    }();
    const QString regular = dir->filePath(QStringLiteral("regular"));
    QFile f(regular);
    check(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
    f.close();
    for (auto links : {PropertyList::Links::Follow, PropertyList::Links::Refuse}) {
        check(PropertyList::readFile(regular, nullptr, links) == parsed);
        for (const char *other : {"fifo", "folder", "device"})
            check(PropertyList::readFile(dir->filePath(QLatin1String(other)), nullptr, links).isNull());
    }
    const QString link = dir->filePath(QStringLiteral("link"));
    check(PropertyList::readFile(link) == parsed);
    check(PropertyList::readFile(link, nullptr, PropertyList::Links::Refuse).isNull());
    check(FileData::readSetDataFile(link) == QVariant(false)); // there, but not to be read: changes nothing
    const QVariant asSettings = FileData::readSetDataFile(regular);
    check(asSettings == QVariant(false) || asSettings == parsed); // a map, or told apart as unreadable
    if (parsed.isNull())
        return;
    check(!PropertyList::writeFile(link, parsed, nullptr, PropertyList::Format::Binary, PropertyList::Links::Refuse));
    check(contentsOf(regular) == bytes && QFileInfo(link).isSymLink());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzSupport::initialiseOnce();
    static const bool hooks = [] {
        CatalogueHooks::instance().signedInAccountId = [] { return QStringLiteral("lumora-42"); };
        return true;
    }();
    Q_UNUSED(hooks);
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const QVariant value = PropertyList::parse(bytes, &error);
    fuzzTheFileRoad(bytes, value);
    if (value.isNull())
        return 0;
    (void)FileData::setDataExcludes(value);
    for (auto format : {PropertyList::Format::Xml, PropertyList::Format::Binary})
        (void)PropertyList::parse(PropertyList::serialize(value, format));
    return 0;
}
