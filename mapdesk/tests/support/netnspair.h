#ifndef NETNSPAIR_H
#define NETNSPAIR_H

// Two network namespaces joined by veth, for a tool side and a gateway side.
// Addresses come from the test (a 10.200.x.0/24 that exists only inside the
// pair). up() moves the calling thread into the tool side, so every socket
// made afterwards lives there; down() moves it back and deletes the pair.
// Needs root.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

class NetnsPair
{
public:
    // prefix names this test's namespaces and links: <prefix>t<pid>, <prefix>g<pid>, <prefix>v<pid>a/b.
    NetnsPair(const QString &prefix, const QString &toolIp, const QString &gwIp)
        : toolNs(QString("%1t%2").arg(prefix).arg(getpid())),
          gwNs(QString("%1g%2").arg(prefix).arg(getpid())),
          toolLink(QString("%1v%2a").arg(prefix).arg(getpid())),
          gwLink(QString("%1v%2b").arg(prefix).arg(getpid())),
          toolIp(toolIp),
          gwIp(gwIp),
          m_prefix(prefix)
    {
    }
    ~NetnsPair() { down(); }
    NetnsPair(const NetnsPair &) = delete;
    NetnsPair &operator=(const NetnsPair &) = delete;

    const QString toolNs, gwNs, toolLink, gwLink, toolIp, gwIp;

    // `ip args` to its end (10 s at most).
    static bool enter(const QString &ns)
    {
        const int fd = open(QString("/run/netns/" + ns).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool ok = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        return ok;
    }

    // Deletes the named namespaces whose pid (capture group pidGroup) is gone.
    static void removeStaleNamespaces(const QString &pattern, int pidGroup)
    {
        const QRegularExpression own(pattern);
        const QStringList names = QDir("/run/netns").entryList(QDir::Files | QDir::System);
        for (const QString &n : names) {
            const QRegularExpressionMatch m = own.match(n);
            if (m.hasMatch() && !QFileInfo::exists("/proc/" + m.captured(pidGroup)))
                ip({"netns", "del", n});
        }
    }

    static bool ip(const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start("ip", args);
        if (!p.waitForStarted(5000))
            return false;
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished(2000);
            return false;
        }
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    bool up(QString *why)
    {
        removeStale();
        m_origFd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const QList<QStringList> steps = {
            {"netns", "add", toolNs},
            {"netns", "add", gwNs},
            {"link", "add", toolLink, "netns", toolNs, "type", "veth", "peer", "name", gwLink, "netns", gwNs},
            {"-n", toolNs, "addr", "add", toolIp + "/24", "dev", toolLink},
            {"-n", gwNs, "addr", "add", gwIp + "/24", "dev", gwLink},
            {"-n", toolNs, "link", "set", toolLink, "up"},
            {"-n", gwNs, "link", "set", gwLink, "up"},
            {"-n", toolNs, "link", "set", "lo", "up"},
            {"-n", gwNs, "link", "set", "lo", "up"},
            // Without a default route a broadcast finds no way out ("Network is unreachable").
            {"-n", toolNs, "route", "add", "255.255.255.255/32", "dev", toolLink},
        };
        for (const QStringList &s : steps) {
            if (!ip(s)) {
                *why = "ip " + s.join(' ') + " failed (needs root)";
                return false;
            }
            m_made = true;
        }
        if (!enterTool()) {
            *why = "setns into " + toolNs + " failed";
            return false;
        }
        return true;
    }

    bool enterTool() { return enter(toolNs); }
    bool enterGateway() { return enter(gwNs); }

    // Kills whatever still runs in the gateway side (sessions a peer left behind).
    void killGatewayProcesses()
    {
        if (!m_made)
            return;
        QProcess p;
        p.start("ip", {"netns", "pids", gwNs});
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished(2000);
            return;
        }
        const QStringList pids = QString::fromLatin1(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        for (const QString &pid : pids)
            if (pid.trimmed().toInt() > 1)
                ::kill(pid.trimmed().toInt(), SIGKILL);
    }

    // Back to the namespace fd stands for, which is then closed.
    static void returnTo(int &fd)
    {
        if (fd < 0)
            return;
        setns(fd, CLONE_NEWNET);
        close(fd);
        fd = -1;
    }

    void down()
    {
        returnTo(m_origFd);
        if (m_made) {
            ip({"netns", "del", toolNs});
            ip({"netns", "del", gwNs});
            m_made = false;
        }
    }

private:
    // A run that crashed leaves its pair behind; clear those of dead pids.
    void removeStale() { removeStaleNamespaces("^" + QRegularExpression::escape(m_prefix) + "[tg](\\d+)$", 1); }

    const QString m_prefix;
    int m_origFd = -1;
    bool m_made = false;
};

#endif // NETNSPAIR_H
