// needs: namespace
// The SSH client against a real OpenSSH server on loopback, with its own host
// key and config, a high port and a throwaway account made for the run.
#include <QtTest>

#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "cconnectionforsshclient.h"
#include "sshconnection.h"
#include "queuedspy.h"
#include "testsshd.h"

namespace {
const int kSshPort = 22022;
// The client emits from its worker thread.
using StateSpy = QueuedSpy<CConnectionForSshClient, bool, QString, int, QString>;
using TextSpy = QueuedSpy<CConnectionForSshClient, QString, QString, int>;

using TestSshd::run;

// Stands in for the main window: the two signals it wires to the client.
class Window : public QObject
{
    Q_OBJECT
signals:
    void sigSendSshCmd(QString strMsg);
    void sigDisconnecteSsh();
};

// Text sent before the shell has started is dropped, and a loaded machine
// may take longer than any fixed pause: echo numbered marks until one comes
// back, then wait for the last one sent, so nothing of them arrives later.
bool shellUp(Window &w, TextSpy *data)
{
    auto seen = [data](const QString &mark) {
        for (const QList<QVariant> &a : *data)
            if (a.at(0).toString().contains(mark))
                return true;
        return false;
    };
    for (int i = 0; i < 50; ++i) {
        emit w.sigSendSshCmd(QString("echo shell-up-%1\n").arg(i));
        for (int k = 0; k < 10; ++k) {
            QTest::qWait(20);
            if (!seen("shell-up-"))
                continue;
            const QString last = QString("shell-up-%1\n").arg(i);
            for (int m = 0; m < 150 && !seen(last); ++m)
                QTest::qWait(20);
            data->clear();
            return true;
        }
    }
    return false;
}
}

class TstSshClient : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void layerShellStreams();
    void clientShellOutputInChunks();
    void clientDisconnectEndsSession();
    void clientShellExitIsReported();
    void wrongPassword();
    void refusedPort();
    void timeoutText();
    void passwordRule();

private:
    CConnectionForSshClient *connectClient(Window *w, StateSpy **state, TextSpy **data,
                                           const QString &password);
    bool userHasProcesses();

    QTemporaryDir m_tmp;
    QString m_user, m_password;
    QProcess m_sshd;
    bool m_userMade = false;
};

void TstSshClient::initTestCase()
{
    const QString why = TestSshd::unavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_tmp.isValid());
    const QString pid = QString::number(QCoreApplication::applicationPid());
    m_user = "mdssh" + pid;
    m_password = "Pw-" + pid + "-x";
    // The home lives on this namespace's private /tmp.
    QVERIFY(TestSshd::makeAccount(m_tmp.path(), m_user, m_password));
    m_userMade = true;
    const QString key = m_tmp.filePath("hostkey");
    QVERIFY(TestSshd::makeHostKey(key));
    QVERIFY2(TestSshd::start(m_sshd, m_tmp.path(), kSshPort, key, m_user), "sshd did not come up");
}

void TstSshClient::cleanupTestCase()
{
    TestSshd::stop(m_sshd);
    if (m_userMade)
        QVERIFY(TestSshd::removeAccount(m_user));
}

bool TstSshClient::userHasProcesses()
{
    return run("pgrep", {"-u", m_user}) == 0;
}

CConnectionForSshClient *TstSshClient::connectClient(Window *w, StateSpy **state, TextSpy **data,
                                                     const QString &password)
{
    auto *client = new CConnectionForSshClient("127.0.0.1", kSshPort, password, m_user);
    *state = new StateSpy(client, &CConnectionForSshClient::sigConnectStateChanged);
    *data = new TextSpy(client, &CConnectionForSshClient::sigDataArrived);
    client->init();
    connect(w, &Window::sigSendSshCmd, client, QOverload<QString>::of(&CConnectionForSshClient::slotSend));
    connect(w, &Window::sigDisconnecteSsh, client, &CConnectionForSshClient::slotDisconnected);
    return client;
}

void TstSshClient::layerShellStreams()
{
    QSsh::SshConnectionParameters params;
    params.host = "127.0.0.1";
    params.port = kSshPort;
    params.userName = m_user;
    params.password = m_password;
    params.timeout = 10;
    QSsh::SshConnection conn(params);
    QSignalSpy connected(&conn, &QSsh::SshConnection::connected);
    conn.connectToHost();
    QVERIFY(connected.wait(10000));

    QSharedPointer<QSsh::SshRemoteProcess> shell = conn.createRemoteShell();
    QSignalSpy started(shell.data(), &QSsh::SshRemoteProcess::started);
    QSignalSpy closed(shell.data(), &QSsh::SshRemoteProcess::closed);
    shell->start();
    QVERIFY(started.wait(5000));
    QVERIFY(shell->write("echo out; echo err >&2; head -c 70000 /dev/zero | tr '\\0' x; echo\n") > 0);
    QByteArray out, err;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000 && (out.size() < 4 + 70001 || err.size() < 4)) {
        QTest::qWait(20);
        out += shell->readAllStandardOutput();
        err += shell->readAllStandardError();
    }
    QCOMPARE(out, "out\n" + QByteArray(70000, 'x') + "\n");
    QCOMPARE(err, QByteArray("err\n"));
    QCOMPARE(closed.count(), 0);
    shell->write("exit\n");
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 5000);
    QVERIFY(!shell->isRunning());
    conn.disconnectFromHost();
    QCOMPARE(conn.state(), QSsh::SshConnection::Unconnected);
}

void TstSshClient::clientShellOutputInChunks()
{
    Window w;
    StateSpy *state;
    TextSpy *data;
    QPointer<CConnectionForSshClient> client = connectClient(&w, &state, &data, m_password);
    QVERIFY(state->wait(10000));
    QCOMPARE(state->at(0), (QList<QVariant>{true, QString("127.0.0.1"), kSshPort, QString()}));
    QVERIFY(shellUp(w, data));

    emit w.sigSendSshCmd("for i in 1 2 3 4; do echo line$i; sleep 0.3; done\n");
    QString all;
    QTRY_VERIFY_WITH_TIMEOUT((all = [&] { QString s; for (auto &a : *data) s += a.at(0).toString(); return s; }())
                                 .count('\n') >= 4, 10000);
    QCOMPARE(all, QString("line1\nline2\nline3\nline4\n"));
    QVERIFY2(data->count() >= 2, "output should come in several chunks");
    QCOMPARE(data->at(0).at(1).toString(), QString("127.0.0.1"));
    QCOMPARE(data->at(0).at(2).toInt(), kSshPort);

    // UTF-8 from the gateway arrives as text.
    data->clear();
    emit w.sigSendSshCmd("printf '\\344\\270\\255\\346\\226\\207\\n'\n");
    QTRY_VERIFY_WITH_TIMEOUT(!data->isEmpty(), 5000);
    QCOMPARE(data->at(0).at(0).toString(), QString::fromUtf8("中文\n"));

    // Standard error comes apart, for the console's own colour.
    TextSpy errors(client.data(), &CConnectionForSshClient::sigErrorArrived);
    data->clear();
    emit w.sigSendSshCmd("echo oops >&2; echo fine\n");
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty() && !data->isEmpty(), 5000);
    QCOMPARE(errors.at(0).at(0).toString(), QString("oops\n"));
    QCOMPARE(data->at(0).at(0).toString(), QString("fine\n"));

    emit w.sigDisconnecteSsh();
    QTRY_VERIFY_WITH_TIMEOUT(client.isNull(), 5000);
    delete state;
    delete data;
}

void TstSshClient::clientDisconnectEndsSession()
{
    Window w;
    StateSpy *state;
    TextSpy *data;
    QPointer<CConnectionForSshClient> client = connectClient(&w, &state, &data, m_password);
    QVERIFY(state->wait(10000));
    QVERIFY(shellUp(w, data));
    emit w.sigSendSshCmd("echo up\n");
    QTRY_VERIFY_WITH_TIMEOUT(!data->isEmpty(), 5000);
    QVERIFY(userHasProcesses());

    emit w.sigDisconnecteSsh();
    // The worker thread ends and the client goes; the server ends the session.
    QTRY_VERIFY_WITH_TIMEOUT(client.isNull(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!userHasProcesses(), 5000);
    QCOMPARE(state->count(), 1);
    // Commands after the disconnect reach nobody.
    emit w.sigSendSshCmd("echo late\n");
    QTest::qWait(200);
    QCOMPARE(data->count(), 1);
    delete state;
    delete data;
}

void TstSshClient::clientShellExitIsReported()
{
    Window w;
    StateSpy *state;
    TextSpy *data;
    QPointer<CConnectionForSshClient> client = connectClient(&w, &state, &data, m_password);
    QVERIFY(state->wait(10000));
    QVERIFY(shellUp(w, data));
    emit w.sigSendSshCmd("exit\n");
    QTRY_COMPARE_WITH_TIMEOUT(state->count(), 2, 5000);
    QCOMPARE(state->at(1), (QList<QVariant>{false, QString("127.0.0.1"), kSshPort, QString("SshClosedByServerError")}));
    QTRY_VERIFY_WITH_TIMEOUT(client.isNull(), 5000);
    delete state;
    delete data;
}

void TstSshClient::wrongPassword()
{
    Window w;
    StateSpy *state;
    TextSpy *data;
    QPointer<CConnectionForSshClient> client = connectClient(&w, &state, &data, "wrong-" + m_password);
    QVERIFY(state->wait(10000));
    QCOMPARE(state->at(0), (QList<QVariant>{false, QString("127.0.0.1"), kSshPort, QString("SshAuthenticationError")}));
    QTRY_VERIFY_WITH_TIMEOUT(client.isNull(), 5000);
    QCOMPARE(state->count(), 1);
    delete state;
    delete data;
}

void TstSshClient::refusedPort()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    CConnectionForSshClient *client = new CConnectionForSshClient("127.0.0.1", port, "x", "root");
    StateSpy state(client, &CConnectionForSshClient::sigConnectStateChanged);
    client->init();
    QVERIFY(state.wait(10000));
    QCOMPARE(state.at(0), (QList<QVariant>{false, QString("127.0.0.1"), int(port), QString("SshSocketError")}));
}

void TstSshClient::timeoutText()
{
    // Accepts the TCP connection and never says a word.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QPointer<CConnectionForSshClient> client =
        new CConnectionForSshClient("127.0.0.1", silent.serverPort(), "x", "root");
    StateSpy state(client, &CConnectionForSshClient::sigConnectStateChanged);
    QElapsedTimer t;
    t.start();
    client->init();
    QVERIFY(state.wait(20000));
    QVERIFY2(t.elapsed() >= 14000, "gave up before the 15 s timeout");
    QCOMPARE(state.at(0).at(0).toBool(), false);
    QCOMPARE(state.at(0).at(3).toString(), QString("ssh连接失败:超时"));
    QTRY_VERIFY_WITH_TIMEOUT(client.isNull(), 5000);
}

void TstSshClient::passwordRule()
{
    QCOMPARE(CConnectionForSshClient::passwordForSerialPrefix("99000000001"), QString("tandorik"));
    QCOMPARE(CConnectionForSshClient::passwordForSerialPrefix("99000000002"), QString("kel_M4"));
    QCOMPARE(CConnectionForSshClient::passwordForSerialPrefix(""), QString("kel_M4"));
    QCOMPARE(CConnectionForSshClient::errorText(QSsh::SshNoError), QString());
    QCOMPARE(CConnectionForSshClient::errorText(QSsh::SshHostKeyError), QString("SshHostKeyError"));
    QCOMPARE(CConnectionForSshClient::errorText(QSsh::SshError(42)), QString());
}

QTEST_MAIN(TstSshClient)
#include "tst_sshclient.moc"
