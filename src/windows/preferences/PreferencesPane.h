#pragma once
// The application's preferences window (Account, Upload and About panes): one instance while the
// window is open. Its static methods are how the rest of the application opens the window and
// the user's pages on the service's web site.
#include "windows/preferences/PanedPreferencesWindowController.h"

#include <QPointer>
#include <QUrl>

#include "windows/sources/SourcesPreferencesViewController.h"

class PreferencesPane : public PanedPreferencesWindowController
{
    Q_OBJECT
public:
    static void openPreferences();
    static void openPreferencesWithAddFolder();
    static void openCameraRoll();
    static void openPhotoStream();
    // Does nothing for an id whose numeric value is 0 (or that is not a number) while signed in.
    static void openPhotoOnWeb(const QString &photoId);
    static QWidget *preferencesWindowControllerNoCreate();
    // Points the engine's calls into the interface (open the window, refresh the Upload pane,
    // add a watched folder) at this window; called once at start-up.
    static void installUiHooks();
    // Creates the window (on the Upload pane) when there is none.
    static PreferencesPane *preferencesWindowController();

    // The web page addresses the openers use (site root while nobody is signed in).
    static QUrl cameraRollUrl();
    static QUrl photoStreamUrl();
    static QUrl photoUrl(const QString &photoId);

    SourcesPreferencesViewController *sourcesViewController() const { return m_sourcesViewController; }
    void setSourcesViewController(SourcesPreferencesViewController *controller) { m_sourcesViewController = controller; }

    ~PreferencesPane() override;

protected:
    void windowWillClose() override;
    void changeEvent(QEvent *event) override;

private:
    PreferencesPane(const QList<PanedPreferencesViewController *> &panes, const QString &title);
    static void openWebPage(const QUrl &url);

    QPointer<SourcesPreferencesViewController> m_sourcesViewController;
    QList<QPointer<QWidget>> m_paneWidgets;
};
