#include "windows/preferences/PreferencesPane.h"

#include "app/widgets/ModalUi.h"
#include "core/UiHooks.h"
#include "core/Dispatch.h"
#include "platform/Endpoints.h"
#include "windows/preferences/AccountPreferencesViewController.h"
#include "windows/preferences/GeneralPreferencesViewController.h"
#include "windows/preferences/PreferencesServices.h"
#include "windows/sources/SourcesPreferencesViewController.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>

#include "windows/preferences/PreferenceTexts.h"

namespace {
QPointer<PreferencesPane> s_instance;
const QString kSelfUpdateHoldKey = QStringLiteral("PreferencesPane");

bool isLocalized()
{
    return PreferenceTexts::isLocalized();
}

QString localized(const QString &english)
{
    return PreferenceTexts::tr(english);
}

// "https://<label>.<host>/<path>" on the configured web host; path segments are percent-encoded
// by the caller.
QUrl webUrl(const QString &encodedPath)
{
    QUrl url = Endpoints::webBase(PreferencesServices::instance().alphaOrWWW());
    if (encodedPath.isEmpty())
        return url;
    QString base = url.toString(QUrl::FullyEncoded);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return QUrl(base + encodedPath, QUrl::StrictMode);
}

QString encodedSegment(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}
} // namespace

PreferencesPane::PreferencesPane(const QList<PanedPreferencesViewController *> &panes, const QString &title)
    : PanedPreferencesWindowController(panes, title)
{
}

PreferencesPane::~PreferencesPane()
{
    // The panes live exactly as long as their window.
    releasePanes();
    for (const QPointer<QWidget> &pane : std::as_const(m_paneWidgets))
        delete pane.data();
}

PreferencesPane *PreferencesPane::preferencesWindowController()
{
    PreferencesServices::instance().stopKeepingOnTop();
    if (s_instance)
        return s_instance;

    auto *account = new AccountPreferencesViewController;
    auto *sources = new SourcesPreferencesViewController;
    auto *general = new GeneralPreferencesViewController;
    const QList<PanedPreferencesViewController *> panes{account, sources, general};
    for (PanedPreferencesViewController *pane : panes) {
        // Translated texts are longer: every pane is 80 points wider, and wider still where its
        // controls need more room.
        QWidget *view = pane->paneView();
        const int width = view->width() + (isLocalized() ? 80 : 0);
        view->resize(qMax(width, pane->neededContentWidth()), view->height());
    }
    auto *window = new PreferencesPane(panes, localized(QStringLiteral("Lumora Hoistly Settings")));
    window->m_paneWidgets = {account, sources, general};
    s_instance = window;
    window->setSelectedViewController(sources);
    window->m_sourcesViewController = sources;
    PreferencesServices::instance().reporterSet(QStringLiteral("Misc: Last interaction"), QDateTime::currentDateTime());
    return window;
}

QWidget *PreferencesPane::preferencesWindowControllerNoCreate()
{
    return s_instance.data();
}

void PreferencesPane::installUiHooks()
{
    UiHooks &hooks = UiHooks::instance();
    // The engine may call from any thread; the window is touched on the main thread only.
    hooks.openPreferences = [] { dispatch_main_async([] { openPreferences(); }); };
    hooks.openCameraRoll = [] { dispatch_main_async([] { openCameraRoll(); }); };
    hooks.openPhotoOnWeb = [](const QString &photoId) { dispatch_main_async([photoId] { openPhotoOnWeb(photoId); }); };
    hooks.refreshSourcesView = [] { dispatch_main_async([] { SourcesPreferencesViewController::refreshView(); }); };
    hooks.addSourcePath = [](const QString &path) {
        dispatch_main_async([path] { SourcesPreferencesViewController::addPath(path); });
    };
}

void PreferencesPane::openPreferences()
{
    PreferencesServices &services = PreferencesServices::instance();
    services.setSelfUpdatesDisabledUntil(QDateTime::currentDateTime().addSecs(3600), kSelfUpdateHoldKey);
    services.setHideDockIcon(false);
    services.trackOncePerDay(QStringLiteral("Misc: Interacted"), 1);
    dispatch_main_async([] {
        // Activation first, the window on the turn after, as the window manager expects.
        dispatch_main_async([] {
            PreferencesPane *window = preferencesWindowController();
            window->show();
            window->raise();
            window->activateWindow();
        });
    });
}

void PreferencesPane::openPreferencesWithAddFolder()
{
    openPreferences();
    // Runs after the window exists (openPreferences creates it two turns later).
    dispatch_main_async([] {
        dispatch_main_async([] {
            dispatch_main_async([] {
                PreferencesPane *window = preferencesWindowController();
                QPointer<SourcesPreferencesViewController> pane = window->sourcesViewController();
                window->setSelectedViewController(pane);
                dispatch_main_delay([pane] {
                    if (pane)
                        pane->addFolderHit();
                }, 0.1);
            });
        });
    });
}

QUrl PreferencesPane::cameraRollUrl()
{
    if (!PreferencesServices::instance().isAuthorized())
        return webUrl(QString());
    return webUrl(QStringLiteral("/cameraroll"));
}

QUrl PreferencesPane::photoStreamUrl()
{
    PreferencesServices &services = PreferencesServices::instance();
    if (!services.isAuthorized())
        return webUrl(QString());
    return webUrl(QStringLiteral("/photos/") + encodedSegment(services.currentUserID()));
}

QUrl PreferencesPane::photoUrl(const QString &photoId)
{
    PreferencesServices &services = PreferencesServices::instance();
    if (!services.isAuthorized())
        return webUrl(QString());
    bool ok = false;
    const qlonglong value = photoId.trimmed().toLongLong(&ok);
    if (!ok || value == 0)
        return QUrl();
    return webUrl(QStringLiteral("/photos/") + encodedSegment(services.currentUserID()) + QLatin1Char('/')
                  + encodedSegment(QString::number(value)));
}

void PreferencesPane::openWebPage(const QUrl &url)
{
    // Only the service's own pages, over HTTPS (or plain HTTP to a loopback test service).
    if (!url.isValid() || url.isEmpty() || !Endpoints::isAllowedTransport(url))
        return;
    UrlOpeners::open(url);
    PreferencesServices &services = PreferencesServices::instance();
    services.trackAndIncrement(QStringLiteral("Menu: Open website"), 1);
    services.reporterSet(QStringLiteral("Misc: Last interaction"), QDateTime::currentDateTime());
    services.trackOncePerDay(QStringLiteral("Misc: Interacted"), 1);
}

void PreferencesPane::openCameraRoll()
{
    openWebPage(cameraRollUrl());
}

void PreferencesPane::openPhotoStream()
{
    openWebPage(photoStreamUrl());
}

void PreferencesPane::openPhotoOnWeb(const QString &photoId)
{
    openWebPage(photoUrl(photoId));
}

void PreferencesPane::changeEvent(QEvent *event)
{
    PanedPreferencesWindowController::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        PreferencesServices::instance().setSelfUpdatesDisabledUntil(QDateTime::currentDateTime().addSecs(3600),
                                                                     kSelfUpdateHoldKey);
    }
}

void PreferencesPane::windowWillClose()
{
    if (s_instance == this)
        s_instance = nullptr;
    PreferencesServices &services = PreferencesServices::instance();
    if (services.hasCompletedWelcomeScreen())
        services.setHideDockIcon(true);
    services.setSelfUpdatesDisabledUntil(QDateTime(), kSelfUpdateHoldKey);
    // The next opening builds a new window with new panes.
    deleteLater();
}
