#pragma once
// Network reachability of the default route (the Internet) and of the local link, over
// QNetworkInformation or the kernel's routes. Changes post
// "kNetworkReachabilityChangedNotification" (object: the Reachability) on the main thread once
// startNotifier() ran. Where nothing can be asked the network counts as reachable.
// Qt's answer holds where NetworkManager gives it. Without it Qt 6.4 loads its "glib" backend,
// which answers the state at load time and then never changes (removing and restoring the default
// route posts nothing, and the answer stays what it was): there the kernel's routes answer and
// their changes are posted (NetworkRoutes).
#include <QObject>

#include <atomic>

class Reachability : public QObject
{
    Q_OBJECT
public:
    enum NetworkStatus { NotReachable = 0, ReachableViaWiFi = 1, ReachableViaWWAN = 2 };

    static Reachability *reachabilityForInternetConnection();
    static Reachability *reachabilityForLocalWiFi();

    // Starts posting changes; call on the main thread. False when no backend is available.
    bool startNotifier();
    void stopNotifier();
    NetworkStatus currentReachabilityStatus() const;
    bool isReachable() const { return currentReachabilityStatus() != NotReachable; }
    bool isLocalLink() const { return m_localLink; }

    // Shorthand: is the Internet reachable now?
    static bool isOnline();

    // Tests: force the status of both kinds (-1 = the system's answer again); posts a change.
    static void setStatusOverrideForTesting(int status);

private:
    explicit Reachability(bool localLink);
    void systemReachabilityChanged();

    bool m_localLink;
    bool m_notifying = false;
    std::atomic_int m_lastStatus{-1};
};
