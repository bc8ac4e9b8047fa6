#ifndef GATEWAYHOST_H
#define GATEWAYHOST_H

// A gateway host for whole-flow tests of the tool, in a network namespace
// the test made: its mount namespace has its own root, built from a
// read-only bind of the machine's /usr and a private copy of its /etc
// (another program replacing the machine's shadow file cannot reach it),
// with a private sshd on port 22 that lets root in with the tool's fixed
// password (a private copy of the shadow file, root's login shell busybox
// sh), in a PID namespace of its own so the gateway's pidof sees only its
// processes. Busybox is `tftp`, `sh`, `unzip`, `pidof`, `md5sum` and `head`
// first in PATH, and /gateway is a folder of the test's. Optionally the
// gateway's own programs run there too (a command started before sshd, for
// example gwsim and busrelay's start script). Nothing of the machine's
// accounts, sshd or files changes. Needs root.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include "testsshd.h"

class GatewayHost
{
public:
    // dir: this host's files (made if missing); netns: the namespace it runs in; ip: its address there.
    GatewayHost(const QString &dir, const QString &netns, const QString &ip) : dir(dir), netns(netns), ip(ip) {}
    ~GatewayHost() { stop(); }
    GatewayHost(const GatewayHost &) = delete;
    GatewayHost &operator=(const GatewayHost &) = delete;

    const QString dir, netns, ip;
    // The password the tool uses for serial prefixes other than 99000000001.
    static const char *password() { return "kel_M4"; }

    QString cfgDir() const { return dir + "/cfg"; }
    QString binDir() const { return dir + "/bin"; }
    QString hostKey() const { return cfgDir() + "/hostkey"; }
    // The gateway's /gateway and its /gateway/modbus, as the test sees them.
    QString gatewayDir() const { return dir + "/gw"; }
    QString file(const QString &name) const { return dir + "/gw/modbus/" + name; }

    // Run inside the gateway (in its root, as root) before sshd starts; its
    // processes end with the host.
    QString startCommand;

    // Its files: the shell's tools, root's password and shell, sshd's config
    // and a host key of its own.
    bool prepare(QString *why)
    {
        for (const QString &d : {cfgDir(), binDir(), dir + "/gw/modbus", dir + "/root"})
            QDir().mkpath(d);
        for (const char *tool : {"tftp", "sh", "unzip", "pidof", "md5sum", "head"}) {
            QFile::remove(binDir() + "/" + tool);
            if (!QFile::link("/bin/busybox", binDir() + "/" + tool))
                return fail(why, "cannot link busybox");
        }
        QByteArray hash;
        if (TestSshd::run("openssl", {"passwd", "-6", password()}, QByteArray(), &hash) != 0
            || !hash.trimmed().startsWith("$6$"))
            return fail(why, "openssl passwd failed");
        QStringList shadow = QString::fromUtf8(read("/etc/shadow")).split('\n');
        QStringList passwd = QString::fromUtf8(read("/etc/passwd")).split('\n');
        for (QString &l : shadow) {
            QStringList f = l.split(':');
            if (f.value(0) == "root" && f.size() > 2) {
                f[1] = QString::fromLatin1(hash.trimmed());
                l = f.join(':');
            }
        }
        for (QString &l : passwd)
            if (l.startsWith("root:"))
                l = "root:x:0:0:root:/root:/usr/local/bin/sh";
        if (!write(cfgDir() + "/shadow", shadow.join('\n').toUtf8())
            || !write(cfgDir() + "/passwd", passwd.join('\n').toUtf8()) || !write(dir + "/gateway.sh", script()))
            return fail(why, "cannot write the gateway's files");
        QFile::remove(hostKey());
        QFile::remove(hostKey() + ".pub");
        if (!TestSshd::makeHostKey(hostKey()))
            return fail(why, "ssh-keygen failed");
        // Paths as sshd sees them inside the gateway's root.
        if (!write(cfgDir() + "/sshd_config", TestSshd::configText(ip, 22, "/cfg/hostkey", "/run/sshd.pid", "root")))
            return fail(why, "cannot write sshd_config");
        return true;
    }

    // (Re)starts the host with the key hostKey(); true once its sshd listens.
    bool start(QString *why)
    {
        stop();
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start("ip", {"netns", "exec", netns, "unshare", "-m", "-p", "--fork", "--kill-child",
                               "--propagation", "private", "sh", dir + "/gateway.sh", dir + "/root", cfgDir(),
                               binDir(), gatewayDir(), startCommand});
        if (!m_process.waitForStarted(5000))
            return fail(why, "cannot start the gateway host");
        // Building the root copies /etc first: slow on a loaded machine.
        if (TestSshd::waitListening(ip, 22, m_process, 15000))
            return true;
        return fail(why, "the gateway's sshd did not come up");
    }

    // Ends sshd, which ends the host's PID namespace with every process in it.
    void stop() { TestSshd::stop(m_process); }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }

    // The host's SSH key as OpenSSH prints it ("SHA256:...").
    QString fingerprint() const { return TestSshd::fingerprint(hostKey()); }
    // A new host key: the next start offers another key.
    bool replaceHostKey()
    {
        QFile::remove(hostKey());
        QFile::remove(hostKey() + ".pub");
        return TestSshd::makeHostKey(hostKey());
    }

    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static bool write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
    }

private:
    static bool fail(QString *why, const char *text)
    {
        *why = QString::fromLatin1(text);
        return false;
    }

    // Builds the gateway's root and runs its sshd there; exec keeps one process.
    static QByteArray script()
    {
        return R"SH(
set -e
R=$1; CFG=$2; BIN=$3; GW=$4; START=$5
mount -t tmpfs -o mode=755 gwroot "$R"
for e in /*; do
  n=${e#/}
  if [ -L "$e" ]; then ln -s "$(readlink "$e")" "$R/$n"; fi
done
mkdir -p "$R/usr" "$R/etc" "$R/dev" "$R/proc" "$R/run" "$R/tmp" "$R/root" "$R/var" "$R/cfg" "$R/gateway"
mount --bind -o ro /usr "$R/usr"
cp -a /etc/. "$R/etc/"
cp "$CFG/shadow" "$R/etc/shadow"
cp "$CFG/passwd" "$R/etc/passwd"
mount --bind "$BIN" "$R/usr/local/bin"
mount --rbind /dev "$R/dev"
mount -t proc proc "$R/proc"
mount -t tmpfs -o mode=755 gwrun "$R/run"
mount -t tmpfs -o mode=1777 gwtmp "$R/tmp"
mount -t tmpfs -o mode=700 gwhome "$R/root"
mount -t tmpfs -o mode=755 gwvar "$R/var"
mkdir -m 755 "$R/run/sshd" "$R/var/log" "$R/var/empty"
cp "$CFG/hostkey" "$CFG/sshd_config" "$R/cfg/"
chmod 600 "$R/cfg/hostkey"
mount --bind "$GW" "$R/gateway"
if [ -n "$START" ]; then
  chroot "$R" /usr/local/bin/sh -c "$START" </dev/null >/dev/null 2>&1 &
fi
exec chroot "$R" /usr/sbin/sshd -D -e -f /cfg/sshd_config
)SH";
    }

    QProcess m_process;
};

#endif // GATEWAYHOST_H
