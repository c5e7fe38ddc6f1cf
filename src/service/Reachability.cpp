#include "service/Reachability.h"

#include "core/Dispatch.h"
#include "core/LGLog.h"
#include "core/NotificationCenter.h"
#include "platform/NetworkRoutes.h"

#include <QCoreApplication>
#include <QNetworkInformation>
#include <QPointer>

namespace {
std::atomic_int g_override{-1};

QNetworkInformation *information()
{
    // Loading the backend touches the application's plugins: only once, from any thread.
    static const bool loaded = [] {
        bool ok = false;
        dispatch_main_sync([&] { ok = QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability); });
        return ok;
    }();
    return loaded ? QNetworkInformation::instance() : nullptr;
}

// Qt's answer is kept where a network daemon gives it (it knows more than the routes, a captive
// portal for one). Without one Qt reads the state once and never again: the kernel answers.
bool qtFollowsChanges(QNetworkInformation *info)
{
    return info && info->backendName().compare(QLatin1String("networkmanager"), Qt::CaseInsensitive) == 0;
}

std::atomic<NetworkRoutes *> g_routes{nullptr};

// Listening starts with the first notifier, on the main thread; until then the kernel is asked
// at each question.
NetworkRoutes *listeningRoutes()
{
    static NetworkRoutes *routes = [] {
        QNetworkInformation *info = information();
        const QString backend = info ? info->backendName() : QStringLiteral("none");
        auto *r = new NetworkRoutes;
        if (!r->start()) {
            LGLogError(QStringLiteral("NETWORK: Route changes cannot be watched; Qt's %1 backend answers").arg(backend));
            delete r;
            return static_cast<NetworkRoutes *>(nullptr);
        }
        LGLogInfo(qtFollowsChanges(info) ? QStringLiteral("NETWORK: Qt's %1 backend answers").arg(backend)
                                         : QStringLiteral("NETWORK: The kernel's routes answer (Qt's backend: %1)").arg(backend));
        g_routes = r;
        return r;
    }();
    return routes;
}

NetworkRoutes::State routesState()
{
    NetworkRoutes *r = g_routes.load();
    return r ? r->state() : NetworkRoutes::current();
}
} // namespace

Reachability::Reachability(bool localLink) : m_localLink(localLink) {}

Reachability *Reachability::reachabilityForInternetConnection()
{
    static Reachability *r = [] {
        auto *x = new Reachability(false);
        x->moveToThread(QCoreApplication::instance() ? QCoreApplication::instance()->thread() : x->thread());
        return x;
    }();
    return r;
}

Reachability *Reachability::reachabilityForLocalWiFi()
{
    static Reachability *r = [] {
        auto *x = new Reachability(true);
        x->moveToThread(QCoreApplication::instance() ? QCoreApplication::instance()->thread() : x->thread());
        return x;
    }();
    return r;
}

Reachability::NetworkStatus Reachability::currentReachabilityStatus() const
{
    const int forced = g_override.load();
    if (forced >= 0)
        return NetworkStatus(forced);
    QNetworkInformation *info = information();
    if (!qtFollowsChanges(info)) {
        switch (routesState()) {
        case NetworkRoutes::Online:
            return ReachableViaWiFi;
        case NetworkRoutes::Local:
            return m_localLink ? ReachableViaWiFi : NotReachable;
        case NetworkRoutes::Disconnected:
            return NotReachable;
        case NetworkRoutes::Unknown:
            break;
        }
    }
    if (!info)
        return ReachableViaWiFi;
    switch (info->reachability()) {
    case QNetworkInformation::Reachability::Unknown:
    case QNetworkInformation::Reachability::Online:
        return ReachableViaWiFi;
    case QNetworkInformation::Reachability::Local:
    case QNetworkInformation::Reachability::Site:
        return m_localLink ? ReachableViaWiFi : NotReachable;
    case QNetworkInformation::Reachability::Disconnected:
        return NotReachable;
    }
    return ReachableViaWiFi;
}

bool Reachability::isOnline() { return reachabilityForInternetConnection()->isReachable(); }

bool Reachability::startNotifier()
{
    m_lastStatus = currentReachabilityStatus();
    if (m_notifying)
        return true;
    QNetworkInformation *info = information();
    NetworkRoutes *routes = listeningRoutes();
    if (!info && !routes)
        return false;
    m_notifying = true;
    if (info)
        connect(info, &QNetworkInformation::reachabilityChanged, this, &Reachability::systemReachabilityChanged);
    if (routes)
        connect(routes, &NetworkRoutes::changed, this, &Reachability::systemReachabilityChanged);
    return true;
}

void Reachability::stopNotifier()
{
    if (QNetworkInformation *info = information())
        disconnect(info, nullptr, this, nullptr);
    if (NetworkRoutes *routes = g_routes.load())
        disconnect(routes, nullptr, this, nullptr);
    m_notifying = false;
}

void Reachability::systemReachabilityChanged()
{
    const int now = currentReachabilityStatus();
    if (m_lastStatus.exchange(now) == now)
        return;
    LGLogInfo(QStringLiteral("NETWORK: %1 is %2").arg(m_localLink ? QStringLiteral("Local link") : QStringLiteral("Internet"),
                                                      now == NotReachable ? QStringLiteral("unreachable") : QStringLiteral("reachable")));
    QPointer<Reachability> self(this);
    dispatch_main_async([self] {
        if (self)
            NotificationCenter::post(Notifications::ReachabilityChanged, QVariant::fromValue<QObject *>(self.data()));
    });
}

void Reachability::setStatusOverrideForTesting(int status)
{
    g_override = status;
    for (Reachability *r : {reachabilityForInternetConnection(), reachabilityForLocalWiFi()})
        if (r->m_notifying)
            r->systemReachabilityChanged();
}
