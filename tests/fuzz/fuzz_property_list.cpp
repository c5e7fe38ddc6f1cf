// Property lists from disk: the settings file, the disk settings, a folder's ".lumoraExclusion"
// and the update manifest all go through the same reader; what it returns is written back and
// read again, and read as a folder's settings.
#include "FuzzSupport.h"
#include "catalogue/CatalogueHooks.h"
#include "catalogue/FileData.h"
#include "core/PropertyList.h"

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
    if (value.isNull())
        return 0;
    (void)FileData::setDataExcludes(value);
    for (auto format : {PropertyList::Format::Xml, PropertyList::Format::Binary})
        (void)PropertyList::parse(PropertyList::serialize(value, format));
    return 0;
}
