#include "app/webview/SignInBrowser.h"

#include "core/LGLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QWidget>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {
BrowserModule::CreateProfile s_create = nullptr;
int s_livePages = 0;
bool s_helpersEnded = false;
bool s_keepHelpers = false;

// A direct child of this process that the engine started as a launcher of its page processes.
bool isEngineLauncher(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.value(1).toLongLong() != ::getpid())
        return false;
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    // The engine may rewrite a helper's title into one line: look for the switch anywhere.
    return cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains("--type=zygote");
}

// The module stays loaded for the life of the process: the engine cannot be unloaded.
BrowserModule::CreateProfile loadModule(QString *error)
{
    if (s_create)
        return s_create;
    // The engine draws with contexts shared with the windows; they are set up only when the
    // application object is made, and the engine crashes without them.
    if (!QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts)) {
        *error = QStringLiteral("the application was started without shared drawing contexts");
        return nullptr;
    }
    const QString path = SignInBrowserProfile::modulePath();
    if (!QFileInfo::exists(path)) {
        *error = QStringLiteral("the web view module %1 is missing").arg(path);
        return nullptr;
    }
    QLibrary library(path);
    if (!library.load()) {
        *error = QStringLiteral("the web view module could not be loaded: %1").arg(library.errorString());
        return nullptr;
    }
    auto create = reinterpret_cast<BrowserModule::CreateProfile>(library.resolve(BrowserModule::kEntryPoint));
    if (!create) {
        *error = QStringLiteral("%1 is not a web view module").arg(path);
        library.unload();
        return nullptr;
    }
    LGLogInfo(QStringLiteral("Loaded the web view module %1").arg(path));
    s_create = create;
    return s_create;
}
} // namespace

struct SignInBrowserProfile::Events final : BrowserModule::ProfileClient
{
    explicit Events(SignInBrowserProfile *owner) : owner(owner) {}
    void cookieAdded(const QNetworkCookie &cookie) override { Q_EMIT owner->cookieAdded(cookie); }
    void cookieRemoved(const QNetworkCookie &cookie) override { Q_EMIT owner->cookieRemoved(cookie); }
    void requestStarting(const QUrl &url, const QByteArray &method, bool frame) override
    {
        Q_EMIT owner->requestStarting(url, method, frame);
    }
    SignInBrowserProfile *owner;
};

SignInBrowserProfile::SignInBrowserProfile(QObject *parent) : QObject(parent), m_events(std::make_unique<Events>(this)) {}

SignInBrowserProfile::~SignInBrowserProfile()
{
    m_profile.reset();
}

QString SignInBrowserProfile::modulePath()
{
    const QString configured = qEnvironmentVariable("HOISTLY_WEBVIEW_MODULE");
    if (!configured.isEmpty())
        return configured;
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(BrowserModule::kFileName);
}

bool SignInBrowserProfile::moduleLoaded()
{
    return s_create != nullptr;
}

void SignInBrowserProfile::endEngineHelpers()
{
    if (s_keepHelpers || s_livePages > 0 || !moduleLoaded())
        return;
    int ended = 0;
    for (qint64 pid : engineHelpers()) {
        if (::kill(pid_t(pid), SIGKILL) != 0)
            continue;
        ::waitpid(pid_t(pid), nullptr, 0);
        ++ended;
    }
    if (ended == 0)
        return; // the engine runs its pages in this process: nothing to end
    s_helpersEnded = true;
    LGLogInfo(QStringLiteral("WEBVIEW: Ended the web view's %1 launcher processes").arg(ended));
}

QList<qint64> SignInBrowserProfile::engineHelpers()
{
    QList<qint64> found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const pid_t pid = pid_t(entry.toInt(&numeric));
        if (numeric && isEngineLauncher(pid))
            found << pid;
    }
    return found;
}

bool SignInBrowserProfile::engineHelpersEnded()
{
    return s_helpersEnded;
}

void SignInBrowserProfile::setKeepEngineHelpersForTesting(bool keep)
{
    s_keepHelpers = keep;
}

SignInBrowserProfile *SignInBrowserProfile::create(const BrowserModule::ProfileOptions &options, QObject *parent,
                                                   QString *error)
{
    QString reason;
    BrowserModule::CreateProfile create = s_helpersEnded ? nullptr : loadModule(&reason);
    if (s_helpersEnded)
        reason = QStringLiteral("the web view was let go in this copy");
    std::unique_ptr<SignInBrowserProfile> profile(new SignInBrowserProfile(parent));
    if (create) {
        profile->m_profile.reset(create(BrowserModule::kInterfaceVersion, options, profile->m_events.get()));
        if (!profile->m_profile)
            reason = QStringLiteral("the web view module is of another version");
    }
    if (!profile->m_profile) {
        LGLogError(QStringLiteral("WEBVIEW: %1").arg(reason));
        if (error)
            *error = reason;
        return nullptr;
    }
    return profile.release();
}

QString SignInBrowserProfile::userAgent() const
{
    return m_profile->userAgent();
}

void SignInBrowserProfile::setUserAgent(const QString &agent)
{
    m_profile->setUserAgent(agent);
}

void SignInBrowserProfile::loadAllCookies()
{
    m_profile->loadAllCookies();
}

void SignInBrowserProfile::deleteCookie(const QNetworkCookie &cookie)
{
    m_profile->deleteCookie(cookie);
}

QObject *SignInBrowserProfile::engineObject() const
{
    return m_profile->engineObject();
}

// ---------------------------------------------------------------------------------------------

struct SignInBrowser::Events final : BrowserModule::PageClient
{
    explicit Events(SignInBrowser *owner) : owner(owner) {}
    bool acceptNavigation(const QUrl &url, bool mainFrame, bool linkClicked) override
    {
        return !owner->m_policy || owner->m_policy(url, mainFrame, linkClicked);
    }
    void newWindowNavigation(const QUrl &url, bool linkClicked) override
    {
        Q_EMIT owner->newWindowRequested(url, linkClicked);
    }
    void loadChanged(const BrowserModule::LoadInfo &info) override
    {
        switch (info.status) {
        case BrowserModule::LoadStatus::Started:
            Q_EMIT owner->loadStarted();
            break;
        case BrowserModule::LoadStatus::Succeeded:
            Q_EMIT owner->loadFinished(info.url);
            break;
        case BrowserModule::LoadStatus::Stopped:
            Q_EMIT owner->loadStopped(info.url, info.errorText);
            break;
        case BrowserModule::LoadStatus::Failed:
            Q_EMIT owner->loadFailed(info.url, info.errorCode, info.errorText, info.engineError);
            break;
        }
    }
    SignInBrowser *owner;
};

SignInBrowser::SignInBrowser(SignInBrowserProfile *profile, QObject *parent)
    : QObject(parent), m_events(std::make_unique<Events>(this)), m_page(profile->module()->createPage(m_events.get()))
{
    ++s_livePages;
}

SignInBrowser::~SignInBrowser()
{
    m_page.reset();
    --s_livePages;
}

QWidget *SignInBrowser::view(QWidget *parent)
{
    if (!m_view)
        m_view = m_page->view(parent);
    return m_view;
}

void SignInBrowser::load(const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &headers)
{
    m_page->load(url, headers);
}

QUrl SignInBrowser::url() const
{
    return m_page->url();
}

void SignInBrowser::stop()
{
    m_page->stop();
}

void SignInBrowser::runScript(const QString &script, std::function<void(const QVariant &)> done)
{
    m_page->runScript(script, std::move(done));
}
