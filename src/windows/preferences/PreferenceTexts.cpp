#include "windows/preferences/PreferenceTexts.h"

#if __has_include("core/Localization.h")
#include "core/Localization.h"
#define HOISTLY_HAVE_LOCALIZATION 1
#endif

namespace PreferenceTexts {
bool isLocalized()
{
#ifdef HOISTLY_HAVE_LOCALIZATION
    return Localization::isLocalized();
#else
    return false;
#endif
}

QString tr(const QString &english)
{
#ifdef HOISTLY_HAVE_LOCALIZATION
    return Localization::tr(english);
#else
    return english;
#endif
}
} // namespace PreferenceTexts

static void initPreferencesResourceTable()
{
    Q_INIT_RESOURCE(preferences);
}

void ensurePreferencesResources()
{
    static const bool done = (initPreferencesResourceTable(), true);
    Q_UNUSED(done);
}
