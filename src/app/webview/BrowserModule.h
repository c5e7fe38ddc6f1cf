#pragma once
// What the application and the web-engine module share. The module is loaded only when a
// sign-in page is first needed, so that a process that never shows one never maps the engine
// (and the Quick and QML libraries it brings). Both sides see only this header: abstract classes
// without meta-objects, so the module needs no symbol of the executable, and one C entry point.
#include <QByteArray>
#include <QList>
#include <QNetworkCookie>
#include <QPair>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <functional>

class QObject;
class QWidget;

namespace BrowserModule {

// Raised whenever a class below changes; the module refuses a caller of another version.
inline constexpr int kInterfaceVersion = 1;
inline constexpr char kEntryPoint[] = "hoistly_browser_create_profile";
// Its file, beside the executable (in a bundle: Contents/MacOS).
inline constexpr char kFileName[] = "hoistly_webview.so";

enum class HttpCache { None, Memory };

struct ProfileOptions
{
    // Empty: a profile that keeps nothing on disk.
    QString storageName;
    QString storagePath;
    HttpCache cache = HttpCache::None;
    // Every request the profile's pages send is reported to the client.
    bool watchRequests = false;
};

class ProfileClient
{
public:
    virtual void cookieAdded(const QNetworkCookie &cookie) = 0;
    virtual void cookieRemoved(const QNetworkCookie &cookie) = 0;
    // frame: the request loads a page or a frame, not one of their resources.
    virtual void requestStarting(const QUrl &url, const QByteArray &method, bool frame) = 0;

protected:
    ~ProfileClient() = default;
};

enum class LoadStatus { Started, Succeeded, Stopped, Failed };

struct LoadInfo
{
    LoadStatus status = LoadStatus::Started;
    QUrl url;
    int errorCode = 0;
    QString errorText;
    // The engine's own error domain (an aborted or replaced navigation is reported there).
    bool engineError = false;
};

class PageClient
{
public:
    // Every navigation before it happens: false keeps it from loading.
    virtual bool acceptNavigation(const QUrl &url, bool mainFrame, bool linkClicked) = 0;
    // The first navigation of a page this page asked to open in a new window; it never loads.
    virtual void newWindowNavigation(const QUrl &url, bool linkClicked) = 0;
    virtual void loadChanged(const LoadInfo &info) = 0;

protected:
    ~PageClient() = default;
};

class Page
{
public:
    virtual ~Page() = default;
    // The view showing this page, made on the first call as a child of parent. The page deletes
    // it first when it goes.
    virtual QWidget *view(QWidget *parent) = 0;
    virtual void load(const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &headers) = 0;
    virtual QUrl url() const = 0;
    virtual void stop() = 0;
    // done (may be empty) runs on this thread, also when the page goes before the script ends.
    virtual void runScript(const QString &script, std::function<void(const QVariant &)> done) = 0;
};

class Profile
{
public:
    // Every page of the profile must be deleted first.
    virtual ~Profile() = default;
    virtual QString userAgent() const = 0;
    virtual void setUserAgent(const QString &agent) = 0;
    virtual void loadAllCookies() = 0;
    virtual void deleteCookie(const QNetworkCookie &cookie) = 0;
    // client may be null: the page then takes every navigation and opens no new window.
    virtual Page *createPage(PageClient *client) = 0;
    // The engine's own profile object, for tests that look inside it.
    virtual QObject *engineObject() = 0;
};

// The module's entry point: null when the version differs. client must outlive the profile.
using CreateProfile = Profile *(*)(int interfaceVersion, const ProfileOptions &options, ProfileClient *client);

} // namespace BrowserModule
