#include "platform/NetworkRoutes.h"

#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <functional>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int kSettleMs = 1000;

struct Fd
{
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// One dump request (links, addresses or routes of every family); false when the kernel refuses
// or does not answer within a second.
bool dump(int fd, uint16_t type, size_t headerSize, const std::function<void(const nlmsghdr *)> &each)
{
    struct
    {
        nlmsghdr header;
        char body[sizeof(ifinfomsg)];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(headerSize);
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = type;
    if (::send(fd, &request, request.header.nlmsg_len, 0) < 0)
        return false;
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        int left = int(n);
        for (auto *h = reinterpret_cast<const nlmsghdr *>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE)
                return true;
            if (h->nlmsg_type == NLMSG_ERROR)
                return false;
            if (h->nlmsg_seq == type)
                each(h);
        }
    }
}

// Links that are up with carrier, loopback aside: what an address or a route can go out through.
QSet<int> usableLinks(int fd, bool &ok)
{
    QSet<int> links;
    ok = dump(fd, RTM_GETLINK, sizeof(ifinfomsg), [&](const nlmsghdr *h) {
        const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
        if (h->nlmsg_type == RTM_NEWLINK && (link->ifi_flags & IFF_UP) && (link->ifi_flags & IFF_RUNNING) && !(link->ifi_flags & IFF_LOOPBACK))
            links.insert(link->ifi_index);
    });
    return links;
}

bool nextHopUsable(const QSet<int> &links, int index, unsigned flags)
{
    return links.contains(index) && !(flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN));
}

// A unicast default route, of either family, with a next hop through a usable link.
bool hasDefaultRoute(const nlmsghdr *h, const QSet<int> &links)
{
    const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(h));
    if (h->nlmsg_type != RTM_NEWROUTE || route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST || route->rtm_table == RT_TABLE_LOCAL)
        return false;
    int length = int(RTM_PAYLOAD(h));
    for (auto *a = RTM_RTA(route); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        if (a->rta_type == RTA_OIF && nextHopUsable(links, *static_cast<const int *>(RTA_DATA(a)), route->rtm_flags))
            return true;
        if (a->rta_type == RTA_MULTIPATH) {
            int hops = int(RTA_PAYLOAD(a));
            for (auto *hop = static_cast<const rtnexthop *>(RTA_DATA(a)); RTNH_OK(hop, hops); hops -= NLMSG_ALIGN(hop->rtnh_len), hop = RTNH_NEXT(hop))
                if (nextHopUsable(links, hop->rtnh_ifindex, hop->rtnh_flags))
                    return true;
        }
    }
    return false;
}

} // namespace

NetworkRoutes::State NetworkRoutes::current()
{
    Fd s{::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
    if (s.fd < 0)
        return Unknown;
    const timeval timeout{1, 0};
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    bool ok = false;
    const QSet<int> links = usableLinks(s.fd, ok);
    if (!ok)
        return Unknown;
    bool online = false, local = false;
    ok = dump(s.fd, RTM_GETROUTE, sizeof(rtmsg), [&](const nlmsghdr *h) { online = online || hasDefaultRoute(h, links); });
    if (ok && online)
        return Online;
    ok = ok && dump(s.fd, RTM_GETADDR, sizeof(ifaddrmsg), [&](const nlmsghdr *h) {
        const auto *address = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
        local = local || (h->nlmsg_type == RTM_NEWADDR && address->ifa_scope < RT_SCOPE_HOST && links.contains(int(address->ifa_index)));
    });
    if (!ok)
        return Unknown;
    return local ? Local : Disconnected;
}

NetworkRoutes::NetworkRoutes(QObject *parent) : QObject(parent) {}

NetworkRoutes::~NetworkRoutes()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool NetworkRoutes::start()
{
    if (m_fd >= 0)
        return true;
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (m_fd < 0)
        return false;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_state = current();
    m_settle = new QTimer(this);
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    connect(m_settle, &QTimer::timeout, this, &NetworkRoutes::settled);
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &NetworkRoutes::drain);
    return true;
}

NetworkRoutes::State NetworkRoutes::state() const { return m_fd >= 0 ? State(m_state.load()) : current(); }

void NetworkRoutes::drain()
{
    // What changed does not matter, only that something did: the state is asked afresh once
    // the burst settles. A queue that overflowed (ENOBUFS) lost changes, which counts as one.
    alignas(nlmsghdr) char buffer[8192];
    while (::recv(m_fd, buffer, sizeof buffer, 0) >= 0 || errno == ENOBUFS || errno == EINTR) {
    }
    // The first change starts the wait; later ones do not push it back, so a link that keeps
    // flapping is still looked at every second.
    if (!m_settle->isActive())
        m_settle->start();
}

void NetworkRoutes::settled()
{
    m_state = current();
    Q_EMIT changed();
}
