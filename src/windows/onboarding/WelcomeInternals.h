#pragma once
// Pieces shared by the onboarding window's source files: its phrases, title colours and the
// sign-in web page.
#include <QColor>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWebEnginePage>

class QAbstractButton;
class QWebEngineProfile;
class WelcomeWindowController;

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

// The sign-in page: sees every navigation of the web view before it happens, so the callback
// address is caught there and never loaded, and new-window requests go to the default browser.
class SignInWebPage : public QWebEnginePage
{
    Q_OBJECT
public:
    SignInWebPage(QWebEngineProfile *profile, WelcomeWindowController *window);
    void detachFromWindow() { m_window = nullptr; }

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage *createWindow(WebWindowType type) override;

private:
    QPointer<WelcomeWindowController> m_window;
};

// Receives the first navigation of a page that asked for a new window, opens a clicked link in
// the user's browser and goes away; the web view itself never opens it.
class NewWindowCatcher : public QWebEnginePage
{
    Q_OBJECT
public:
    explicit NewWindowCatcher(QWebEngineProfile *profile, QObject *parent = nullptr);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
};

namespace SignInProfile {
// The profile that keeps the sign-in cookies; created on first use, lives for the process.
QWebEngineProfile *profile();
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
