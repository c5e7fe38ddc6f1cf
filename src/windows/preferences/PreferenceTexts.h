#pragma once
// Translated texts of the preferences windows: the shared localisation table when it is there,
// the English text otherwise.
#include <QString>

namespace PreferenceTexts {
bool isLocalized();
QString tr(const QString &english);
// A reworded phrase: its translation once it has one, else the older phrase's translation.
QString useOldTranslatedPhrase(const QString &oldEnglish, const QString &newEnglish);
} // namespace PreferenceTexts

// Registers the preferences images (the interface library is static, so nothing else pulls
// its resource table in).
void ensurePreferencesResources();
