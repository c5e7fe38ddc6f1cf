#pragma once
// The embedded web view of the sign-in windows. The engine sits in a module that is loaded the
// first time a profile is made; until then the process maps none of it. When the module cannot
// be loaded, making a profile fails with the reason, and the window says so.
#include "app/webview/BrowserModule.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class SignInBrowserProfile : public QObject
{
    Q_OBJECT
public:
    // Null, with the reason in *error, when the web-engine module is missing or unusable.
    static SignInBrowserProfile *create(const BrowserModule::ProfileOptions &options, QObject *parent = nullptr,
                                        QString *error = nullptr);
    // Whether the module is loaded into this process.
    static bool moduleLoaded();
    // Where the module is looked for: $HOISTLY_WEBVIEW_MODULE when set, else beside the executable.
    static QString modulePath();
    // Every page of the profile must be deleted first.
    ~SignInBrowserProfile() override;
    // Once it has run, the engine keeps two launcher processes (about 50 MB resident each) for
    // the life of the process, and this Qt offers no call to end them. While no page exists
    // they serve nothing: this ends them, and from then on no profile can be made in this
    // process (a new copy shows the next sign-in). Nothing happens while a page lives.
    static void endEngineHelpers();
    static bool engineHelpersEnded();
    // Those launchers: the children of this process that the engine started to fork its pages.
    static QList<qint64> engineHelpers();
    // For test programs that show pages in one process after a sign-in.
    static void setKeepEngineHelpersForTesting(bool keep);

    QString userAgent() const;
    void setUserAgent(const QString &agent);
    // The stored cookies arrive through cookieAdded.
    void loadAllCookies();
    void deleteCookie(const QNetworkCookie &cookie);
    BrowserModule::Profile *module() const { return m_profile.get(); }
    // The engine's profile object, for tests that look inside it.
    QObject *engineObject() const;

Q_SIGNALS:
    void cookieAdded(const QNetworkCookie &cookie);
    void cookieRemoved(const QNetworkCookie &cookie);
    void requestStarting(const QUrl &url, const QByteArray &method, bool frame);

private:
    struct Events;
    explicit SignInBrowserProfile(QObject *parent);
    std::unique_ptr<Events> m_events;
    std::unique_ptr<BrowserModule::Profile> m_profile;
};

// One page of a profile, and the view showing it once asked for.
class SignInBrowser : public QObject
{
    Q_OBJECT
public:
    // Decides each navigation before it happens; without one every navigation goes ahead.
    using NavigationPolicy = std::function<bool(const QUrl &url, bool mainFrame, bool linkClicked)>;

    // The profile must outlive the page.
    explicit SignInBrowser(SignInBrowserProfile *profile, QObject *parent = nullptr);
    // Pending script callbacks are answered (with nothing) while this object is still whole.
    ~SignInBrowser() override;

    // The view, made on the first call as a child of parent; deleted with this page.
    QWidget *view(QWidget *parent);
    QWidget *view() const { return m_view; }
    void setNavigationPolicy(NavigationPolicy policy) { m_policy = std::move(policy); }
    void load(const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &headers = {});
    QUrl url() const;
    void stop();
    void runScript(const QString &script, std::function<void(const QVariant &)> done = {});

Q_SIGNALS:
    void loadStarted();
    void loadFinished(const QUrl &url);
    void loadStopped(const QUrl &url, const QString &text);
    // engineError: the engine's own domain, where aborted and replaced navigations are reported.
    void loadFailed(const QUrl &url, int code, const QString &text, bool engineError);
    // The page asked to open an address in a new window; nothing was loaded.
    void newWindowRequested(const QUrl &url, bool linkClicked);

private:
    struct Events;
    std::unique_ptr<Events> m_events;
    std::unique_ptr<BrowserModule::Page> m_page;
    QPointer<QWidget> m_view;
    NavigationPolicy m_policy;
};
