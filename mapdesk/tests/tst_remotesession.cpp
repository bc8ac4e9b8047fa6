// needs: namespace
// The remote session without a window: what a connect asks of the SSH
// client (user, password, host key pin), the host key questions and when
// they come (first use, declined, changed, replaced), the flows' commands
// and the shell's and the TFTP server's reports reaching the runner, and the
// TFTP server started only with the engineer's consent.
#include "cconnectionforsshclient.h"
#include "dialogseam.h"
#include "hostkeystore.h"
#include "qtftpwidget.h"
#include "remoteflows.h"
#include "remotesession.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TstRemoteSession : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void connectAsksForThePinnedGateway();
    void firstUseKeyAskedAndDeclineToldAfterStop();
    void changedKeyToldAfterStopAndReplacedOnRequest();
    void flowsRunOverShellAndTftp();
    void tftpStartedOnlyWithConsent();
    void backupKeepsTheOldFile();

private:
    // Records every event of the session in one list, to check their order.
    void record(RemoteSession &s);

    QTemporaryDir *m_tmp = nullptr;
    QSettings *m_settings = nullptr;
    QtftpWidget *m_tftp = nullptr;
    QList<SshTarget> m_made;
    QStringList m_events;
    QList<DialogSeam::Request> m_dialogs;
    bool m_answer = true;
};

void TstRemoteSession::init()
{
    m_tmp = new QTemporaryDir;
    QVERIFY(m_tmp->isValid());
    m_settings = new QSettings(m_tmp->filePath("keys.ini"), QSettings::IniFormat);
    m_tftp = new QtftpWidget;
    m_made.clear();
    m_events.clear();
    m_dialogs.clear();
    m_answer = true;
    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        m_dialogs.append(r);
        return m_answer;
    });
}

void TstRemoteSession::cleanup()
{
    DialogSeam::setResponder(nullptr);
    delete m_tftp;
    delete m_settings;
    delete m_tmp;
}

void TstRemoteSession::record(RemoteSession &s)
{
    s.setHostKeySettings(m_settings);
    s.setClientFactory([this](RemoteSession *, const SshTarget &t) { m_made.append(t); });
    connect(&s, &RemoteSession::stateChanged, this,
            [this](bool up, const QString &e) { m_events << QString("state %1 %2").arg(up).arg(e).trimmed(); });
    connect(&s, &RemoteSession::hostKeyUnknown, this, [this](const QString &fp) { m_events << "unknown " + fp; });
    connect(&s, &RemoteSession::hostKeyChangeSeen, this,
            [this](const QString &p, const QString &o) { m_events << "seen " + p + " " + o; });
    connect(&s, &RemoteSession::hostKeyDeclined, this, [this]() { m_events << "declined"; });
    connect(&s, &RemoteSession::hostKeyRefused, this,
            [this](const QString &id, const QString &p, const QString &o) { m_events << "refused " + id + " " + p + " " + o; });
    connect(&s, &RemoteSession::acceptKey, this, [this]() { m_events << "accept"; });
    connect(&s, &RemoteSession::rejectKey, this, [this]() { m_events << "reject"; });
    connect(&s, &RemoteSession::clientsDisconnect, this, [this]() { m_events << "disconnect"; });
}

void TstRemoteSession::connectAsksForThePinnedGateway()
{
    RemoteSession s(nullptr, m_tftp);
    record(s);
    s.open("10.200.40.2", "99000000001234", "99000000001", "gwa0000001");
    s.open("10.200.40.3", "99000000002999", "99000000002", "gwb0000002", 2222);
    QCOMPARE(m_made.size(), 2);
    QCOMPARE(m_made[0].host, QString("10.200.40.2"));
    QCOMPARE(m_made[0].port, 22);
    QCOMPARE(m_made[0].userName, QString("root"));
    QCOMPARE(m_made[0].password, CConnectionForSshClient::passwordForSerialPrefix("99000000001"));
    QCOMPARE(m_made[0].hostKeyId, QSsh::HostKeyStore::gatewayId("99000000001234", "gwa0000001"));
    QCOMPARE(m_made[1].port, 2222);
    QCOMPARE(m_made[1].password, CConnectionForSshClient::passwordForSerialPrefix("99000000002"));
    // Another gateway, another pin; the session reports the last one.
    QVERIFY(m_made[0].hostKeyId != m_made[1].hostKeyId);
    QCOMPARE(s.hostKeyId(), m_made[1].hostKeyId);
    QVERIFY(!s.isConnected());
}

void TstRemoteSession::firstUseKeyAskedAndDeclineToldAfterStop()
{
    RemoteSession s(nullptr, m_tftp);
    record(s);
    s.open("10.200.40.2", "99000000001234", "99000000001", "gwa0000001");
    s.hostKeyOffered("SHA256:first");
    s.rejectHostKey();
    QCOMPARE(m_events, QStringList({"unknown SHA256:first", "reject"}));
    s.linkStateChanged(false, "SshHostKeyError");
    // The window may say "not trusted" only after the link's own report.
    QCOMPARE(m_events, QStringList({"unknown SHA256:first", "reject", "state 0 SshHostKeyError", "declined"}));
    // Told once.
    s.linkStateChanged(false, QString());
    QCOMPARE(m_events.last(), QString("state 0"));

    // Accepted: the login goes on and nothing is told at a later stop.
    m_events.clear();
    s.open("10.200.40.2", "99000000001234", "99000000001", "gwa0000001");
    s.hostKeyOffered("SHA256:first");
    s.acceptHostKey();
    s.linkStateChanged(true, QString());
    QVERIFY(s.isConnected());
    s.linkStateChanged(false, QString());
    QCOMPARE(m_events, QStringList({"unknown SHA256:first", "accept", "state 1", "state 0"}));
    QVERIFY(!s.isConnected());
    // The session does not pin by itself: the client does that once the key is accepted.
    QCOMPARE(QSsh::HostKeyStore(m_settings).pinned(s.hostKeyId()), QString());
}

void TstRemoteSession::changedKeyToldAfterStopAndReplacedOnRequest()
{
    RemoteSession s(nullptr, m_tftp);
    record(s);
    const QString id = QSsh::HostKeyStore::gatewayId("99000000001234", "gwa0000001");
    QSsh::HostKeyStore(m_settings).pin(id, "SHA256:old");
    s.open("10.200.40.2", "99000000001234", "99000000001", "gwa0000001");
    s.hostKeyMismatch("SHA256:old", "SHA256:new");
    QCOMPARE(m_events, QStringList({"seen SHA256:old SHA256:new"}));
    s.linkStateChanged(false, "SshHostKeyError");
    QCOMPARE(m_events, QStringList({"seen SHA256:old SHA256:new", "state 0 SshHostKeyError",
                                    "refused " + id + " SHA256:old SHA256:new"}));
    QCOMPARE(QSsh::HostKeyStore(m_settings).pinned(id), QString("SHA256:old"));
    s.replaceHostKey(id, "SHA256:new");
    QCOMPARE(QSsh::HostKeyStore(m_settings).pinned(id), QString("SHA256:new"));

    // A change seen by an earlier connect is not told for the next one.
    m_events.clear();
    s.hostKeyMismatch("SHA256:new", "SHA256:other");
    s.open("10.200.40.2", "99000000001234", "99000000001", "gwa0000001");
    s.linkStateChanged(false, QString());
    QCOMPARE(m_events, QStringList({"seen SHA256:new SHA256:other", "state 0"}));
}

void TstRemoteSession::flowsRunOverShellAndTftp()
{
    RemoteSession s(nullptr, m_tftp);
    record(s);
    QSignalSpy out(&s, &RemoteSession::commandOut);
    QSignalSpy typed(&s, &RemoteSession::toShell);
    QSignalSpy shown(&s, &RemoteSession::outputArrived);
    QSignalSpy shownErr(&s, &RemoteSession::errorArrived);
    QSignalSpy finished(s.runner(), &RemoteFlowRunner::finished);
    s.linkStateChanged(true, QString());

    FlowContext c;
    c.gatewayKey = "gwa0000001";
    c.gatewayIp = "10.200.40.2";
    c.localIp = "10.200.40.1";
    c.tftpRoot = m_tmp->path();
    s.startFlow(RemoteFlows::GetRelayVersion, c);
    QCOMPARE(s.runner()->pendingCode(), int(RemoteFlows::GetRelayVersion));
    // The flow's command comes out for the owner to pass on; typing reaches the clients.
    QCOMPARE(out.size(), 1);
    QCOMPARE(typed.size(), 0);
    const QString cmd = out.last().at(0).toString();
    s.type(cmd);
    QCOMPARE(typed.last().at(0).toString(), cmd);
    const QString tok = cmd.section("echo __MDK_", 1, 1).section("_$?", 0, 0);
    QVERIFY(!tok.isEmpty());

    // The gateway pushes the version file through the TFTP server, then the shell's markers.
    QFile f(m_tmp->filePath("gwa0000001-ver.txt"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("V1.2.3\n");
    f.close();
    emit m_tftp->sigRcvOneFile("gwa0000001-ver.txt");
    s.shellOutput("__MDK_" + tok + "_0\n");
    s.shellError("__MDK_" + tok + "_E\n");
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shownErr.size(), 1);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.last().at(1).toBool(), true);
    QCOMPARE(s.runner()->pendingCode(), 0);

    // A link that drops ends the running flow as failed.
    s.startFlow(RemoteFlows::RestartRelay, c);
    QVERIFY(s.runner()->pendingCode() != 0);
    s.linkStateChanged(false, QString());
    QCOMPARE(s.runner()->pendingCode(), 0);
    QCOMPARE(finished.last().at(1).toBool(), false);

    // So does the engineer's disconnect, which also tells the clients.
    s.linkStateChanged(true, QString());
    s.startFlow(RemoteFlows::RestartRelay, c);
    s.close();
    QVERIFY(!s.isConnected());
    QCOMPARE(s.runner()->pendingCode(), 0);
    QCOMPARE(m_events.count("disconnect"), 1);
}

void TstRemoteSession::tftpStartedOnlyWithConsent()
{
    RemoteSession s(nullptr, m_tftp);
    m_tftp->findChild<QLineEdit *>("root")->setText(m_tmp->filePath("missing"));
    QCOMPARE(s.tftpRoot(), m_tmp->filePath("missing"));
    QVERIFY(!s.tftpReady());
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].kind, DialogSeam::Warning);
    QVERIFY(m_dialogs[0].text.contains(m_tmp->filePath("missing")));

    m_tftp->findChild<QLineEdit *>("root")->setText(m_tmp->path());
    m_answer = false;
    QVERIFY(!s.tftpReady());
    QCOMPARE(m_dialogs.last().kind, DialogSeam::Confirm);
    QCOMPARE(m_dialogs.last().title, QString::fromUtf8("TFTP服务未开启"));
    QVERIFY(!m_tftp->isServerRunning());

    m_answer = true;
    QVERIFY(s.tftpReady());
    QVERIFY(m_tftp->isServerRunning());
    const int asked = m_dialogs.size();
    QVERIFY(s.tftpReady());
    QCOMPARE(m_dialogs.size(), asked);
}

void TstRemoteSession::backupKeepsTheOldFile()
{
    RemoteSession s(nullptr, m_tftp);
    m_tftp->findChild<QLineEdit *>("root")->setText(m_tmp->path());
    const QDir root(m_tmp->path());
    s.backupInRoot("gwa0000001", "map.json");
    QCOMPARE(root.entryList(QDir::Files).filter("map.json").size(), 0);
    QFile f(root.filePath("gwa0000001-map.json"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("{\"old\":1}");
    f.close();
    s.backupInRoot("gwa0000001", "map.json");
    const QStringList copies =
        root.entryList({"gwa0000001-*-map.json"}, QDir::Files);
    QCOMPARE(copies.size(), 1);
    QVERIFY(QRegularExpression("^gwa0000001-\\d{14}-map\\.json$").match(copies[0]).hasMatch());
    QFile c(root.filePath(copies[0]));
    QVERIFY(c.open(QIODevice::ReadOnly));
    QCOMPARE(c.readAll(), QByteArray("{\"old\":1}"));
}

QTEST_MAIN(TstRemoteSession)
#include "tst_remotesession.moc"
