#pragma once
// Translated texts of the preferences windows: the shared localisation table when it is there,
// the English text otherwise.
#include <QString>

namespace PreferenceTexts {
bool isLocalized();
QString tr(const QString &english);
} // namespace PreferenceTexts

// Registers the preferences images (the interface library is static, so nothing else pulls
// its resource table in).
void ensurePreferencesResources();
