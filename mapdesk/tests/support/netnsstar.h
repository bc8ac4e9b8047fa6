#ifndef NETNSSTAR_H
#define NETNSSTAR_H

// A tool namespace and several gateway namespaces, for tests of a site: the
// tool's side has a bridge (one network: its broadcast reaches every gateway
// on it) and, for a gateway "behind a router", a veth link of its own on
// another network, reached by its address only (that gateway's default route
// leads back to the tool). Addresses come from the test (10.200.x.0/24 that
// exist only inside these namespaces). up() moves the calling thread into the
// tool side; down() moves it back and deletes every namespace. Needs root.

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVector>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "netnspair.h"

class NetnsStar
{
public:
    struct Gateway
    {
        QString ns, toolLink, gwLink, ip, toolIp;  // toolIp: the tool's address on a link of its own
        bool bridged = true;
    };

    // prefix names the namespaces and links: <prefix>t<pid>, <prefix>g<n>p<pid>, ...
    NetnsStar(const QString &prefix, const QString &bridgeIp)
        : toolNs(QString("%1t%2").arg(prefix).arg(getpid())), bridge(QString("%1br%2").arg(prefix).arg(getpid())),
          bridgeIp(bridgeIp), m_prefix(prefix)
    {
    }
    ~NetnsStar() { down(); }
    NetnsStar(const NetnsStar &) = delete;
    NetnsStar &operator=(const NetnsStar &) = delete;

    const QString toolNs, bridge, bridgeIp;
    QVector<Gateway> gateways;

    // A gateway on the bridge's network (its index).
    int addBridged(const QString &ip) { return add(ip, QString(), true); }
    // A gateway on a network of its own, the tool being toolIp there.
    int addRouted(const QString &ip, const QString &toolIp) { return add(ip, toolIp, false); }

    bool up(QString *why)
    {
        removeStale();
        m_origFd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        QList<QStringList> steps = {
            {"netns", "add", toolNs},
            // The bridge first: the tool's first address is the bridge's.
            {"-n", toolNs, "link", "add", bridge, "type", "bridge"},
            {"-n", toolNs, "addr", "add", bridgeIp + "/24", "dev", bridge},
            {"-n", toolNs, "link", "set", bridge, "up"},
            {"-n", toolNs, "link", "set", "lo", "up"},
        };
        for (const Gateway &g : qAsConst(gateways)) {
            steps << QStringList{"netns", "add", g.ns}
                  << QStringList{"link", "add", g.toolLink, "netns", toolNs, "type", "veth", "peer", "name", g.gwLink,
                                 "netns", g.ns}
                  << QStringList{"-n", g.ns, "addr", "add", g.ip + "/24", "dev", g.gwLink}
                  << QStringList{"-n", g.ns, "link", "set", g.gwLink, "up"}
                  << QStringList{"-n", g.ns, "link", "set", "lo", "up"};
            if (g.bridged) {
                steps << QStringList{"-n", toolNs, "link", "set", g.toolLink, "master", bridge};
            } else {
                steps << QStringList{"-n", toolNs, "addr", "add", g.toolIp + "/24", "dev", g.toolLink}
                      << QStringList{"-n", g.ns, "route", "add", "default", "via", g.toolIp};
            }
            steps << QStringList{"-n", toolNs, "link", "set", g.toolLink, "up"};
        }
        for (const QStringList &s : qAsConst(steps)) {
            if (!NetnsPair::ip(s)) {
                *why = "ip " + s.join(' ') + " failed (needs root)";
                return false;
            }
            m_made = true;
        }
        if (!enter(toolNs)) {
            *why = "setns into " + toolNs + " failed";
            return false;
        }
        return true;
    }

    bool enterTool() { return enter(toolNs); }
    bool enterGateway(int i) { return enter(gateways.at(i).ns); }

    // The tool's side of gateway i's link: down, the gateway is unreachable.
    bool setLinkUp(int i, bool up)
    {
        const Gateway &g = gateways.at(i);
        return NetnsPair::ip({"-n", toolNs, "link", "set", g.toolLink, up ? "up" : "down"});
    }

    void down()
    {
        NetnsPair::returnTo(m_origFd);
        if (m_made) {
            for (const Gateway &g : qAsConst(gateways))
                NetnsPair::ip({"netns", "del", g.ns});
            NetnsPair::ip({"netns", "del", toolNs});
            m_made = false;
        }
    }

private:
    int add(const QString &ip, const QString &toolIp, bool bridged)
    {
        const int n = gateways.size();
        Gateway g;
        g.ns = QString("%1g%2p%3").arg(m_prefix).arg(n).arg(getpid());
        g.toolLink = QString("%1v%2a%3").arg(m_prefix).arg(n).arg(getpid());
        g.gwLink = QString("%1v%2b%3").arg(m_prefix).arg(n).arg(getpid());
        g.ip = ip;
        g.toolIp = toolIp;
        g.bridged = bridged;
        gateways.append(g);
        return n;
    }

    static bool enter(const QString &ns) { return NetnsPair::enter(ns); }

    // A run that crashed leaves its namespaces behind; clear those of dead pids.
    void removeStale()
    {
        NetnsPair::removeStaleNamespaces("^" + QRegularExpression::escape(m_prefix) + "(t|g\\d+p)(\\d+)$", 2);
    }

    const QString m_prefix;
    int m_origFd = -1;
    bool m_made = false;
};

#endif // NETNSSTAR_H
