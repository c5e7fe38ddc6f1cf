#include "windows/preferences/PreferenceTexts.h"

#include "core/Localization.h"

namespace PreferenceTexts {
bool isLocalized()
{
    return Localization::isLocalized();
}

QString tr(const QString &english)
{
    return Localization::tr(english);
}
QString useOldTranslatedPhrase(const QString &oldEnglish, const QString &newEnglish)
{
    return Localization::useOldTranslatedPhrase(Localization::tr(oldEnglish), newEnglish, Localization::tr(newEnglish));
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
