#pragma once
// What the kernel's own tables say of the network, and word when they change (rtnetlink). Where
// no network daemon answers (Qt then falls back on a backend that reads the state once and never
// changes it), this is what tells that the network went away or came back.
#include <QObject>

#include <atomic>
#include <memory>

class QSocketNotifier;
class QTimer;

class NetworkRoutes : public QObject
{
    Q_OBJECT
public:
    // Online: a default route through a link that is up and has carrier. Local: no such route,
    // but an address on such a link. Unknown: netlink cannot be asked.
    enum State { Unknown = -1, Disconnected = 0, Local = 1, Online = 2 };

    // Asks the kernel now, from any thread.
    static State current();

    explicit NetworkRoutes(QObject *parent = nullptr);
    ~NetworkRoutes() override;

    // Listens to link, address and route changes; false when netlink cannot be used.
    bool start();
    // The state after the last settled change (asked afresh when not listening).
    State state() const;

Q_SIGNALS:
    // A burst of changes has settled: a link going down takes its addresses and routes with it,
    // and a network coming up brings link, address and route one after the other.
    void changed();

private:
    void drain();
    void settled();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer *m_settle = nullptr;
    std::atomic_int m_state{Unknown};
};
