// needs: namespace
// The SSH client's handshake with OpenSSH's sshd on loopback (own host key,
// empty config, a free port of the test's private network namespace, so no
// other program can take it between the choice and sshd's bind). Key exchange, host key and ciphers all run
// through libssh's crypto back end (mbedTLS in the Windows build, with its
// thread locking and random source) before the server turns a wrong login
// down: that must end as an authentication error, not a socket, protocol or
// internal one. Needs no account: the login is refused whatever it is.
#include <QtTest>

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "peerrunner.h"
#include "sshconnection.h"
#include "testsshd.h"

class TstSshHandshake : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void wrongLoginRefusedAfterHandshake();
    void nothingListening();

private:
    QTemporaryDir m_tmp;
    PeerRunner::Background m_sshd;
    quint16 m_port = 0;
};

void TstSshHandshake::initTestCase()
{
    if (PeerRunner::run("test", {"-x", "/usr/sbin/sshd"}) != 0)
        QSKIP("OpenSSH's sshd is not installed");
    if (PeerRunner::run("sh", {"-c", "test \"$(id -u)\" = 0"}) != 0)
        QSKIP("sshd's privilege separation needs root");
    if (PeerRunner::run("unshare", {"--mount", "true"}) != 0)
        QSKIP("needs a private mount namespace (unshare --mount) for sshd's /run/sshd");
    QVERIFY(m_tmp.isValid());
    const QString key = m_tmp.filePath("hostkey");
    QCOMPARE(PeerRunner::run("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", key}), 0);
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        m_port = probe.serverPort();
    }
    QVERIFY(m_sshd.start("unshare", TestSshd::privateRunArgs({"-D", "-e", "-f", "/dev/null", "-h", key, "-p",
                                                               QString::number(m_port), "-o",
                                                               "ListenAddress=127.0.0.1", "-o", "PidFile=none",
                                                               "-o", "UsePAM=no"})));
    bool up = false;
    for (int i = 0; i < 50 && !up; ++i) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_port);
        up = s.waitForConnected(200);
        if (!up)
            QTest::qWait(100);
    }
    QVERIFY2(up, "sshd did not come up");
}

void TstSshHandshake::cleanupTestCase()
{
    m_sshd.stop();
}

void TstSshHandshake::wrongLoginRefusedAfterHandshake()
{
    QSsh::SshConnectionParameters p;
    p.host = "127.0.0.1";
    p.port = m_port;
    p.userName = "no-such-user-here";
    p.password = "wrong";
    QSsh::SshConnection c(p);
    QSignalSpy connected(&c, &QSsh::SshConnection::connected);
    QSignalSpy error(&c, &QSsh::SshConnection::error);
    c.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(error.count(), 1, 20000);  // may come inside connectToHost()
    QVERIFY2(c.errorState() == QSsh::SshAuthenticationError, qPrintable(c.errorString()));
    QCOMPARE(connected.count(), 0);
    QCOMPARE(c.state(), QSsh::SshConnection::Unconnected);
}

void TstSshHandshake::nothingListening()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    QSsh::SshConnectionParameters p;
    p.host = "127.0.0.1";
    p.port = port;
    p.userName = "root";
    p.password = "x";
    QSsh::SshConnection c(p);
    QSignalSpy error(&c, &QSsh::SshConnection::error);
    c.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(error.count(), 1, 20000);  // may come inside connectToHost()
    QVERIFY2(c.errorState() == QSsh::SshSocketError, qPrintable(c.errorString()));
}

QTEST_MAIN(TstSshHandshake)
#include "tst_sshhandshake.moc"
