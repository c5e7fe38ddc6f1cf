#pragma once
// Localisation: Qt's translation system keyed by the English text, in the context "Hoistly".
// The view and menu half (localizeView, localizeMenu) needs widgets and lives with the user
// interface (app/widgets/LocalizationViews.h) in this same namespace.
#include <QLocale>
#include <QString>
#include <QStringList>

namespace Localization {

inline constexpr const char *kContext = "Hoistly";
// Translated (into capitals, in every language) only when a translation is in use.
inline constexpr const char *kProbePhrase = "This is a test phrase, and should appear in ALL CAPITAL LETTERS.";

// True when the probe phrase has a translation, that is when a translation is in use.
bool isLocalized();
// The translation of an English phrase, or the phrase itself.
QString tr(const QString &english);
// When localised: paragraph breaks (two line breaks) are kept and every other line break becomes
// a blank, since translations do not fit the English line breaking. Otherwise unchanged.
QString removeNewlinesIfLocalized(const QString &text);
// The same, for a caller that already knows whether a translation is in use.
QString removeNewlinesIfLocalized(const QString &text, bool localized);
// Where a phrase was reworded: the new phrase's translation once it has one, else the older
// phrase's translation; without a translation in use, the new English phrase.
QString useOldTranslatedPhrase(const QString &oldTranslated, const QString &newEnglish,
                               const QString &newTranslated);
QString useOldTranslatedPhrase(const QString &oldTranslated, const QString &newEnglish,
                               const QString &newTranslated, bool localized);
// Reloads the cached month names when the user's first preferred language changed. Any thread.
void updateLocale();
// Month names (1-12) in the user's first preferred language, cached.
QString monthName(int month);

// Installs the translation of the locale's language from ":/translations/hoistly_<lang>.qm" or
// the "translations" folder next to the executable; false when there is none (English stays).
bool installTranslations(const QLocale &locale = QLocale::system());

} // namespace Localization
