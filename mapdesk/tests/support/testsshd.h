#ifndef TESTSSHD_H
#define TESTSSHD_H

// A private OpenSSH server on loopback for the SSH tests: a throwaway account
// with a password, host keys made for the run, and sshd started with a
// config of its own (never the machine's). Needs root (the account).

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>

#include "testprocess.h"
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

namespace TestSshd {

// Runs a program to its end (15 s at most); its exit code, -1 when it did not run or end.
inline int run(const QString &program, const QStringList &args, const QByteArray &input = QByteArray(),
               QByteArray *out = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(out ? QProcess::SeparateChannels : QProcess::ForwardedChannels);
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return -1;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished(2000);
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// sshd insists on its privilege separation directory /run/sshd. It gets one
// on a tmpfs over /run in a mount namespace of its own, so the machine's /run
// stays untouched. Arguments for unshare(1) that start sshd with sshdArgs.
inline QStringList privateRunArgs(const QStringList &sshdArgs)
{
    return QStringList{"--mount", "--propagation", "private", "sh", "-c",
                       "mount -t tmpfs -o mode=0755 tmpfs /run && mkdir -m 0755 /run/sshd"
                       " && exec /usr/sbin/sshd \"$@\"",
                       "sshd"}
           + sshdArgs;
}

// Empty when the server can run here; else why not (for QSKIP).
inline QString unavailable()
{
    if (QStandardPaths::findExecutable("sshd", {"/usr/sbin"}).isEmpty())
        return QStringLiteral("openssh-server is not installed");
    QByteArray uid;
    if (run("id", {"-u"}, QByteArray(), &uid) != 0 || uid.trimmed() != "0")
        return QStringLiteral("needs root to make a test account");
    if (run("unshare", {"--mount", "true"}) != 0)
        return QStringLiteral("needs a private mount namespace (unshare --mount) for sshd's /run/sshd");
    return QString();
}

// An account whose home lies below dir (made reachable for it).
inline bool makeAccount(const QString &dir, const QString &user, const QString &password)
{
    if (!QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeOther | QFile::ExeGroup))
        return false;
    if (run("/usr/sbin/useradd", {"-m", "-d", dir + "/home", "-s", "/bin/sh", user}) != 0)
        return false;
    return run("/usr/sbin/chpasswd", {}, (user + ":" + password + "\n").toUtf8()) == 0;
}

inline bool removeAccount(const QString &user)
{
    return run("/usr/sbin/userdel", {"-f", "-r", user}) == 0;
}

inline bool makeHostKey(const QString &path)
{
    return run("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", path}) == 0;
}

// "SHA256:..." as ssh-keygen -l prints it; empty when it cannot be read.
inline QString fingerprint(const QString &key)
{
    QByteArray out;
    if (run("ssh-keygen", {"-l", "-E", "sha256", "-f", key + ".pub"}, QByteArray(), &out) != 0)
        return QString();
    const QList<QByteArray> parts = out.split(' ');
    return parts.size() > 1 ? QString::fromLatin1(parts[1]) : QString();
}

// An sshd_config letting only user in by password (root only when user is
// root), never by key; paths as sshd will see them.
inline QByteArray configText(const QString &listen, int port, const QString &hostKey, const QString &pidFile,
                             const QString &user)
{
    return QString("ListenAddress %1\nPort %2\nHostKey %3\nPidFile %4\n"
                   "PasswordAuthentication yes\nKbdInteractiveAuthentication no\nUsePAM no\n"
                   "PermitRootLogin %5\nAllowUsers %6\nStrictModes no\nPrintMotd no\n"
                   "PrintLastLog no\nUseDNS no\n")
        .arg(listen)
        .arg(port)
        .arg(hostKey, pidFile, user == "root" ? "yes" : "no", user)
        .toUtf8();
}

// True once host:port accepts connections (ms at most); false at once when
// the server process has ended.
inline bool waitListening(const QString &host, int port, const QProcess &server, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QTcpSocket probe;
        probe.connectToHost(host, quint16(port));
        if (probe.waitForConnected(100))
            return true;
        if (server.state() == QProcess::NotRunning)
            return false;
        QTest::qWait(100);
    }
    return false;
}

// sshd on 127.0.0.1:port with this host key, letting only user in by
// password; true once it accepts connections (5 s at most).
inline bool start(QProcess &sshd, const QString &dir, int port, const QString &hostKey, const QString &user)
{
    QFile cfg(dir + "/sshd_config");
    if (!cfg.open(QIODevice::WriteOnly))
        return false;
    cfg.write(configText("127.0.0.1", port, hostKey, dir + "/sshd.pid", user));
    cfg.close();
    sshd.setProcessChannelMode(QProcess::ForwardedChannels);
    sshd.start("unshare", privateRunArgs({"-D", "-e", "-f", cfg.fileName()}));
    if (!sshd.waitForStarted(5000))
        return false;
    return waitListening("127.0.0.1", port, sshd);
}

inline void stop(QProcess &sshd)
{
    stopProcess(sshd);
}

} // namespace TestSshd

#endif // TESTSSHD_H
