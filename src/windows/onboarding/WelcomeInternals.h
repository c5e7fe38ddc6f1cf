#pragma once
// Pieces shared by the onboarding window's source files: its phrases, title colours and the
// sign-in profile.
#include <QColor>
#include <QPointer>
#include <QString>
#include <QUrl>

class QAbstractButton;
class SignInBrowserProfile;

inline const QString kWelcomeScreenComplete = QStringLiteral("WelcomeScreenComplete");

namespace WelcomeText {
inline const QString kFoldersDescription = QStringLiteral(
    "Select folders below, and we'll upload all photos found within.\nWe'll also upload all new photos you add later.");
inline const QString kPhotosDescription = QStringLiteral(
    "Upload your Mac's entire \"Photos\" collection\nto access from any device, anywhere.");
inline const QString kIPhotoDescription = QStringLiteral(
    "Upload your entire iPhoto collection\nto access from any device, anywhere.");
inline const QString kMessagesDescription = QStringLiteral(
    "We'll upload all photos receieved by\nthe Messages app on this computer.");
inline const QString kDropboxDescription = QStringLiteral(
    "We'll upload all the photos we find in\nyour Dropbox folder on this computer.");
inline const QString kSummaryDescription = QStringLiteral(
    "We\u2019ll create albums on Lumora for every folder we find.\nNew photos in these folders will be uploaded automatically.");
inline const QString kSummaryDescriptionOld = QStringLiteral(
    "Fine tune your selections below.\nWe'll create a flat album structure on Lumora\nfrom all the folders we upload.");
inline const QString kDoneDescription = QStringLiteral(
    "We'll begin uploading right away.\n\nTo view status, use the tray icon.");
} // namespace WelcomeText

namespace WelcomeStyle {
// A button's title colour, and the colour of its title while pressed (invalid = unchanged).
void setTitleColors(QAbstractButton *button, const QColor &title, const QColor &alternate = QColor());
QString titleStyle(const QColor &title, const QColor &alternate);
} // namespace WelcomeStyle

namespace SignInProfile {
// The profile that keeps the sign-in cookies; created on first use, lives for the process.
// Null, with the reason in *error, when the web view cannot be loaded.
SignInBrowserProfile *profile(QString *error = nullptr);
bool exists();
// The cookies the profile knows of, as "domain" strings (tests and diagnostics).
QStringList cookieDomains();
} // namespace SignInProfile

namespace SignInRules {
// Lower-cased: begins with one of the parent company's static-asset hosts or an inline image.
bool isQuietAsset(const QString &lowerUrl);
bool isDetour(const QUrl &url);
bool isServiceErrorPage(const QString &lowerUrl);
bool isNotAuthorizedPage(const QUrl &url);
bool isLogoutMarker(const QString &lowerUrl);
// "m." in front of the company's domain becomes the plain domain.
QString withoutMobileHost(const QString &url);
QUrl alphaProbeUrl();
} // namespace SignInRules
