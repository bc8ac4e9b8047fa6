// The connect tab's and the upgrade tab's pieces without a window: the 7F
// panel against the fake gateway on loopback (state label, button and status
// texts through connect, failure and drop; commands refused, asked first and
// timed out), the SSH panel over a remote session whose clients are fakes
// (the host key questions), and the upgrade panel's package checks.
#include "debuglogview.h"
#include "dialogseam.h"
#include "fakegateway.h"
#include "gateway7fclient.h"
#include "gateway7fpanel.h"
#include "hostkeystore.h"
#include "qtftpwidget.h"
#include "remoteactions.h"
#include "remoteflows.h"
#include "remotesession.h"
#include "sshlinkpanel.h"
#include "statuslook.h"
#include "upgradepackage.h"
#include "upgradepanel.h"
#include "utf8text.h"

#include "packagezip.h"
#include "testfiles.h"
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {
const char kGwKey[] = "gw7f0001";

// The digest of the bytes written, not of the file as the tool reads it.
QByteArray md5(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// The 7F panel on widgets of its own, its client's reports passed to it as the window does.
struct Panel7F
{
    QWidget parent;
    QPushButton button{&parent};
    QLabel state{&parent};
    QLabel version{&parent};
    DebugLogView log{&parent};
    Gateway7FClient client;
    Gateway7FPanel panel{&client, {&button, &state, &version}, &log, &parent};
    QStringList status;  // statusText, in order

    Panel7F()
    {
        QObject::connect(&client, &Gateway7FClient::connected, &panel, &Gateway7FPanel::showConnected);
        QObject::connect(&client, &Gateway7FClient::connectFailed, &panel, &Gateway7FPanel::showConnectFailed);
        QObject::connect(&client, &Gateway7FClient::disconnected, &panel, &Gateway7FPanel::showDisconnected);
        QObject::connect(&panel, &Gateway7FPanel::statusText, &panel, [this](const QString &t) { status << t; });
    }
    // Connected to gw (started on loopback).
    bool connectTo(FakeGateway &gw)
    {
        if (!gw.start(QHostAddress::LocalHost, 0, 0))
            return false;
        panel.setGateway("127.0.0.1", kGwKey);
        panel.setPort(gw.tcpPort());
        panel.toggleConnection();
        QSignalSpy ok(&client, &Gateway7FClient::connected);
        return (client.isConnected() || ok.wait(5000)) && gw.waitForConnection(3000);
    }
};

// The SSH panel over a session whose clients are only recorded; the window
// passes the first-use question and its answer between the two.
struct PanelSsh
{
    QWidget parent;
    QPushButton button{&parent};
    QLabel state{&parent};
    DebugLogView log{&parent};
    SshConsoleView console{&parent};
    QtftpWidget tftp;
    RemoteSession session{&parent, &tftp};
    SshLinkPanel panel{&session, &button, &state, &log, &console, &parent};
    QList<SshTarget> made;  // one per connect
    QStringList toClients;  // what the session told its clients

    explicit PanelSsh(QSettings *keys)
    {
        session.setHostKeySettings(keys);
        session.setClientFactory([this](RemoteSession *, const SshTarget &t) { made.append(t); });
        QObject::connect(&session, &RemoteSession::hostKeyUnknown, &panel, &SshLinkPanel::askHostKey);
        QObject::connect(&panel, &SshLinkPanel::acceptHostKey, &session, &RemoteSession::acceptHostKey);
        QObject::connect(&panel, &SshLinkPanel::rejectHostKey, &session, &RemoteSession::rejectHostKey);
        QObject::connect(&session, &RemoteSession::acceptKey, &panel, [this]() { toClients << "accept"; });
        QObject::connect(&session, &RemoteSession::rejectKey, &panel, [this]() { toClients << "reject"; });
        QObject::connect(&session, &RemoteSession::clientsDisconnect, &panel, [this]() { toClients << "disconnect"; });
        panel.setGateway("10.200.40.2", "99000000001234", "99000000001", "gwa0000001");
    }
};

// The upgrade panel on widgets of its own; checks only: its actions have no
// SSH link behind them, so no flow starts.
struct PanelUpgrade
{
    QWidget parent;
    QtftpWidget tftp;
    RemoteSession session{&parent, &tftp};
    RemoteActions actions{&session, &parent, []() { return FlowContext(); }};
    QPushButton gwButton{&parent};
    QPushButton mbButton{&parent};
    QLabel gwPackage{&parent};
    QLabel gwCurrent{&parent};
    QLabel mbPackage{&parent};
    QLabel mbCurrent{&parent};
    QString root;
    const UpgradePanel::Widgets programs[UpgradeRules::Count] = {{&gwButton, &gwPackage, &gwCurrent},
                                                                 {&mbButton, &mbPackage, &mbCurrent}};
    UpgradePanel panel{programs, &actions, [this]() { return root; }, &parent};
};
} // namespace

class TstPanels : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { DialogSeam::setResponder(nullptr); }

    void gateway7fStates();
    void gateway7fCommands();
    void gateway7fTimeouts();
    void sshFirstUseKey();
    void sshChangedKey();
    void upgradePackages();

private:
    QStringList texts() const
    {
        QStringList t;
        for (const auto &r : m_dialogs)
            t << r.text;
        return t;
    }

    QList<DialogSeam::Request> m_dialogs;
    QStringList m_events;  // boxes and other events, in order
    bool m_proceed = true;
};

void TstPanels::init()
{
    m_dialogs.clear();
    m_events.clear();
    m_proceed = true;
    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        m_dialogs.append(r);
        m_events << "box " + r.text;
        return m_proceed;
    });
}

void TstPanels::gateway7fStates()
{
    Panel7F p;
    QSignalSpy link(&p.panel, &Gateway7FPanel::linkChanged);
    QSignalSpy cleared(&p.panel, &Gateway7FPanel::statusCleared);
    QVERIFY(!p.button.isEnabled());
    QCOMPARE(p.state.text(), u("未连接网关"));
    QCOMPARE(p.state.styleSheet(), StatusLook::red());
    // No gateway chosen: said, nothing started.
    p.panel.toggleConnection();
    QCOMPARE(p.status, QStringList({u("错误的网关IP")}));
    QVERIFY(!p.client.isConnecting());
    QCOMPARE(link.count(), 0);

    // Nobody listens: the connect runs in the background, then fails.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    p.panel.setGateway("127.0.0.1", kGwKey);
    p.panel.setPort(closedPort);
    p.panel.toggleConnection();
    QVERIFY(p.client.isConnecting());
    QCOMPARE(p.button.text(), u("连接中..."));
    QVERIFY(!p.button.isEnabled());
    QCOMPARE(p.state.text(), u("连接网关gw7f0001中..."));
    QCOMPARE(cleared.count(), 1);
    QCOMPARE(link.count(), 1);
    p.panel.toggleConnection();  // a second press while connecting starts nothing
    QCOMPARE(link.count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(p.status.last(), u("连接网关失败"), 5000);
    QVERIFY(!p.client.isConnected());
    QCOMPARE(p.state.text(), u("连接网关gw7f0001失败"));
    QCOMPARE(p.state.styleSheet(), StatusLook::red());
    QCOMPARE(p.button.text(), u("2.连接网关"));
    QVERIFY(p.button.isEnabled());
    QCOMPARE(link.count(), 2);

    // Connected: green, the button disconnects; the version answer shows.
    FakeGateway gw(kGwKey);
    gw.version = "V2.3.4";
    QVERIFY(p.connectTo(gw));
    QCOMPARE(p.status.last(), u("连接成功"));
    QCOMPARE(p.state.text(), u("已连接到网关gw7f0001"));
    QCOMPARE(p.state.styleSheet(), StatusLook::green());
    QCOMPARE(p.button.text(), u("2.断开网关连接"));
    QVERIFY(p.button.isEnabled());
    QCOMPARE(link.count(), 4);
    QVERIFY(p.panel.send(Gateway7FClient::ReadVersion));
    QTRY_COMPARE_WITH_TIMEOUT(p.version.text(), QString("V2.3.4"), 3000);
    QCOMPARE(p.status.last(), u("获取网关版本成功!"));

    // The gateway drops the link: red again, the version gone.
    gw.drop();
    QTRY_VERIFY_WITH_TIMEOUT(!p.client.isConnected(), 3000);
    QCOMPARE(p.status.last(), u("网关连接断开"));
    QCOMPARE(p.state.text(), u("网关连接断开"));
    QCOMPARE(p.state.styleSheet(), StatusLook::red());
    QCOMPARE(p.version.text(), QString());
    QCOMPARE(p.button.text(), u("2.连接网关"));
    QVERIFY(p.button.isEnabled());
    QCOMPARE(link.count(), 5);

    // Connected again, then dropped from the tool's side by the button.
    p.panel.toggleConnection();
    QTRY_VERIFY_WITH_TIMEOUT(p.client.isConnected(), 5000);
    QCOMPARE(p.button.text(), u("2.断开网关连接"));
    p.panel.toggleConnection();
    QTRY_VERIFY_WITH_TIMEOUT(!p.client.isConnected(), 3000);
    QCOMPARE(p.state.text(), u("网关连接断开"));
    QCOMPARE(p.button.text(), u("2.连接网关"));
}

void TstPanels::gateway7fCommands()
{
    Panel7F p;
    QSignalSpy sent(&p.client, &Gateway7FClient::frameSent);
    QSignalSpy held(&p.panel, &Gateway7FPanel::commandStateChanged);
    QSignalSpy deleted(&p.panel, &Gateway7FPanel::deviceDeleted);

    // Not connected: refused with a box, nothing pends.
    QVERIFY(!p.panel.send(Gateway7FClient::ReadVersion));
    QCOMPARE(texts(), QStringList({u("请先连接网关!")}));
    QCOMPARE(m_dialogs[0].title, QString("warning"));
    QCOMPARE(p.client.pendingCommand(), 0);
    QCOMPARE(sent.count(), 0);
    QCOMPARE(held.count(), 0);

    FakeGateway gw(kGwKey);
    QVERIFY(p.connectTo(gw));

    // One command at a time: another while the first pends is refused.
    m_dialogs.clear();
    QVERIFY(p.panel.send(Gateway7FClient::GetAllDevices));
    QCOMPARE(p.status.last(), u("拉取gw7f0001网关中所有设备信息..."));
    QCOMPARE(held.count(), 1);
    QVERIFY(!p.panel.send(Gateway7FClient::ReadVersion));
    QCOMPARE(texts(), QStringList({u("等待其他操作完成!")}));
    QCOMPARE(sent.count(), 1);
    QCOMPARE(p.client.pendingCommand(), int(Gateway7FClient::GetAllDevices));
    QTRY_COMPARE_WITH_TIMEOUT(p.client.pendingCommand(), 0, 3000);
    QCOMPARE(held.count(), 2);
    QCOMPARE(p.status.last(), u("拉取网关设备列表成功!"));
    QCOMPARE(gw.commands.size(), 1);

    // A delete needs a device and is asked first; declined, nothing goes out.
    m_dialogs.clear();
    QVERIFY(!p.panel.send(Gateway7FClient::DeleteDevice));
    QVERIFY(m_dialogs.isEmpty());
    m_proceed = false;
    QVERIFY(!p.panel.send(Gateway7FClient::DeleteDevice, "dim10001"));
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].kind, DialogSeam::Confirm);
    QCOMPARE(m_dialogs[0].title, u("是否删除"));
    QCOMPARE(m_dialogs[0].text, u("该操作会将网关中dim10001删除"));
    QCOMPARE(m_dialogs[0].okText, u("确定"));
    QCOMPARE(m_dialogs[0].noText, u("否"));
    QCOMPARE(sent.count(), 1);
    QCOMPARE(p.client.pendingCommand(), 0);
    QCOMPARE(held.count(), 2);

    // Accepted: sent; the gateway's refusal keeps the device, its yes removes it.
    m_proceed = true;
    gw.deleteError = 12;
    QVERIFY(p.panel.send(Gateway7FClient::DeleteDevice, "dim10001"));
    QCOMPARE(sent.count(), 2);
    QCOMPARE(p.status.last(), u("在网关gw7f0001中删除plc设备dim10001..."));
    QTRY_COMPARE_WITH_TIMEOUT(p.client.pendingCommand(), 0, 3000);
    QCOMPARE(p.status.last(), u("删除plc设备dim10001失败!!!!未知错误"));
    QCOMPARE(deleted.count(), 0);
    gw.deleteError = 0;
    QVERIFY(p.panel.send(Gateway7FClient::DeleteDevice, "dim10001"));
    QTRY_COMPARE_WITH_TIMEOUT(p.client.pendingCommand(), 0, 3000);
    QCOMPARE(p.status.last(), u("删除plc设备dim10001成功!"));
    QCOMPARE(deleted.count(), 1);
    QCOMPARE(deleted[0][0].toString(), QString("dim10001"));
    QCOMPARE(gw.commands.size(), 3);
    QCOMPARE(gw.commands.last().second["data"].toObject()["deviceKey"].toString(), QString("dim10001"));
}

void TstPanels::gateway7fTimeouts()
{
    Panel7F p;
    FakeGateway gw(kGwKey);
    QVERIFY(p.connectTo(gw));
    gw.mode = FakeGateway::Hold;  // the gateway drops the answers
    gw.version = "LATE";
    connect(&p.panel, &Gateway7FPanel::commandStateChanged, this, [this]() { m_events << "held"; });

    // The real timer: the window is let go before the box opens.
    QVERIFY(p.panel.send(Gateway7FClient::ReadVersion));
    QCOMPARE(p.client.findChild<QTimer *>("7fCmdTimer")->interval(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_dialogs.size(), 1, 8000);
    QCOMPARE(m_dialogs[0].title, QString("warning"));
    QCOMPARE(m_dialogs[0].text, u("获取网关版本超时!!!"));
    QCOMPARE(m_events.mid(0, 3), QStringList({"held", "held", "box " + u("获取网关版本超时!!!")}));
    QCOMPARE(p.status.last(), u("获取网关版本超时!!!"));
    QCOMPARE(p.client.pendingCommand(), 0);

    // The answer that comes after the timeout changes nothing (the keep-alive
    // behind it is answered once both have been read).
    QCOMPARE(gw.commands.size(), 1);
    gw.rawIn.clear();
    gw.send(gw.answerFor(gw.commands[0].second) + FakeGateway::keepAlive());
    QTRY_COMPARE_WITH_TIMEOUT(gw.rawIn, FakeGateway::keepAlive(), 3000);
    QCOMPARE(p.version.text(), QString());
    QCOMPARE(p.status.last(), u("获取网关版本超时!!!"));

    // The other two texts, without waiting 25 s for them.
    QVERIFY(p.panel.send(Gateway7FClient::GetAllDevices));
    p.client.expireCommand();
    QCOMPARE(m_dialogs.last().text, u("获取网关内设备列表超时!!!!"));
    QVERIFY(p.panel.send(Gateway7FClient::DeleteDevice, "dim10001"));
    p.client.expireCommand();
    QCOMPARE(m_dialogs.last().text, u("删除plc设备超时!\n请重新点击\"获取网关内设备列表\"进行刷新"));
    QCOMPARE(p.status.last(), m_dialogs.last().text);
    QCOMPARE(p.client.pendingCommand(), 0);
}

void TstPanels::sshFirstUseKey()
{
    QTemporaryDir tmp;
    QSettings keys(tmp.filePath("keys.ini"), QSettings::IniFormat);
    PanelSsh p(&keys);
    QSignalSpy link(&p.panel, &SshLinkPanel::linkChanged);
    QVERIFY(!p.button.isEnabled());
    QCOMPARE(p.button.text(), u("3.连接ssh服务器"));
    QCOMPARE(p.state.styleSheet(), StatusLook::red());

    p.panel.toggleConnection();
    QCOMPARE(p.made.size(), 1);
    QCOMPARE(p.made[0].host, QString("10.200.40.2"));
    QVERIFY(p.panel.isConnecting());
    QCOMPARE(link.count(), 1);  // the gateway must not change meanwhile
    QCOMPARE(p.state.text(), u("连接到10.200.40.2 ssh服务器..."));
    QCOMPARE(p.button.text(), u("连接中..."));
    QVERIFY(!p.button.isEnabled());

    // First use: the engineer sees which gateway and which key; trusted, the login goes on.
    p.session.hostKeyOffered("SHA256:first");
    QCOMPARE(m_dialogs.size(), 1);
    const DialogSeam::Request q = m_dialogs[0];
    QCOMPARE(q.kind, DialogSeam::Confirm);
    QCOMPARE(q.title, u("确认网关ssh主机密钥"));
    QCOMPARE(q.okText, u("信任并连接"));
    QCOMPARE(q.noText, u("取消"));
    for (const char *part : {"gwa0000001", "99000000001234", "10.200.40.2", "SHA256:first"})
        QVERIFY2(q.text.contains(part), part);
    QCOMPARE(p.toClients, QStringList({"accept"}));
    QVERIFY(p.log.shownText().contains(u("网关ssh主机密钥(首次连接): SHA256:first")));
    p.session.linkStateChanged(true, QString());
    QVERIFY(!p.panel.isConnecting());
    QCOMPARE(p.state.text(), u("已ssh连接到10.200.40.2"));
    QCOMPARE(p.state.styleSheet(), StatusLook::green());
    QCOMPARE(p.button.text(), u("3.断开ssh连接"));
    QVERIFY(p.button.isEnabled());
    QCOMPARE(link.count(), 2);

    // The button drops the link.
    p.panel.toggleConnection();
    QVERIFY(!p.session.isConnected());
    QCOMPARE(p.toClients.last(), QString("disconnect"));
    QCOMPARE(p.state.text(), u("未连接到ssh服务器"));
    QCOMPARE(p.state.styleSheet(), StatusLook::red());
    QCOMPARE(p.button.text(), u("3.连接ssh服务器"));

    // Declined: the login is refused, and the label says why once the link is down.
    m_proceed = false;
    p.panel.toggleConnection();
    p.session.hostKeyOffered("SHA256:first");
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(p.toClients.last(), QString("reject"));
    QCOMPARE(p.toClients.count("accept"), 1);
    p.session.linkStateChanged(false, "SshHostKeyError");
    QCOMPARE(p.state.text(), u("未信任网关ssh主机密钥, 未连接10.200.40.2"));
    QCOMPARE(p.state.styleSheet(), StatusLook::red());
    QVERIFY(!p.panel.isConnecting());
    QVERIFY(p.button.isEnabled());
}

void TstPanels::sshChangedKey()
{
    QTemporaryDir tmp;
    QSettings keys(tmp.filePath("keys.ini"), QSettings::IniFormat);
    PanelSsh p(&keys);
    const QString id = QSsh::HostKeyStore::gatewayId("99000000001234", "gwa0000001");
    QSsh::HostKeyStore(&keys).pin(id, "SHA256:old");

    p.panel.toggleConnection();
    p.session.hostKeyMismatch("SHA256:old", "SHA256:new");
    // Logged at once, asked only once the connection has stopped.
    QVERIFY(m_dialogs.isEmpty());
    QVERIFY(p.log.shownText().contains(u("网关ssh主机密钥已改变: 记住的 SHA256:old, 现在的 SHA256:new, 已停止连接")));
    m_proceed = false;
    p.session.linkStateChanged(false, "SshHostKeyError");
    QCOMPARE(m_dialogs.size(), 1);
    const DialogSeam::Request q = m_dialogs[0];
    QCOMPARE(q.kind, DialogSeam::Confirm);
    QVERIFY(q.cautious);  // Enter and Escape answer "不连接"
    QCOMPARE(q.title, u("网关ssh主机密钥已改变"));
    QCOMPARE(q.okText, u("替换为新密钥并连接"));
    QCOMPARE(q.noText, u("不连接"));
    for (const char *part : {"gwa0000001", "99000000001234", "10.200.40.2", "SHA256:old", "SHA256:new"})
        QVERIFY2(q.text.contains(part), part);
    QCOMPARE(p.state.text(), u("网关ssh主机密钥已改变, 已停止连接10.200.40.2"));
    // Declined: the pin stays and no connect starts.
    QCOMPARE(QSsh::HostKeyStore(&keys).pinned(id), QString("SHA256:old"));
    QCOMPARE(p.made.size(), 1);
    QVERIFY(!p.panel.isConnecting());

    // Replaced on request: the new key is pinned and the connect starts again.
    p.panel.toggleConnection();
    p.session.hostKeyMismatch("SHA256:old", "SHA256:new");
    m_proceed = true;
    p.session.linkStateChanged(false, "SshHostKeyError");
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(QSsh::HostKeyStore(&keys).pinned(id), QString("SHA256:new"));
    QVERIFY(p.log.shownText().contains(u("已替换网关ssh主机密钥: SHA256:new")));
    QCOMPARE(p.made.size(), 3);
    QVERIFY(p.panel.isConnecting());
    QCOMPARE(p.state.text(), u("连接到10.200.40.2 ssh服务器..."));
}

void TstPanels::upgradePackages()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    PanelUpgrade p;
    p.root = root;
    const QString gwMissing = u("未找到网关升级包,请检查") + root + u("下是否有gateway.exe gwver.txt!\r\n如不需要升级网关可忽略该告警.");
    const QString mbMissing = u("未找到modbus升级包,请检查") + root + u("下是否有modbus.zip mbver.txt!\r\n如不需要升级modbus服务可忽略该告警.");
    const QString gwNoVersion = u("未获得电脑中网关升级包版本，无法升级网关程序");
    const QString mbNoVersion = u("未获得电脑中modbus服务升级包版本，无法升级modbus服务");
    const QString gwDigestWrong = u("网关程序md5校验错误，请检查修正") + root + u("/gateway.exe\r\n如不需要升级网关可忽略该告警.");
    // A package without its version file.
    QVERIFY(PackageZip::write(dir.filePath("modbus.zip"), PackageZip::installable("QXGW-RJ-RELAY-T3-V1.2")));

    // Quiet (start-up): the first line in the label, the whole text in its tip, no box.
    p.panel.checkPackages(true);
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(texts().join('|')));
    QCOMPARE(p.gwPackage.text(), gwMissing.section("\r\n", 0, 0));
    QCOMPARE(p.gwPackage.toolTip(), gwMissing);
    QCOMPARE(p.mbPackage.text(), mbMissing.section("\r\n", 0, 0));
    QCOMPARE(p.mbPackage.toolTip(), mbMissing);
    QVERIFY(!p.gwButton.isEnabled() && !p.mbButton.isEnabled());

    // Otherwise a box for each, and the labels say there is no version.
    p.panel.checkPackages();
    QCOMPARE(texts(), QStringList({gwMissing, mbMissing}));
    QCOMPARE(m_dialogs[0].title, QString("warn"));
    QCOMPARE(p.gwPackage.text(), gwNoVersion);
    QCOMPARE(p.mbPackage.text(), mbNoVersion);
    QCOMPARE(p.gwPackage.toolTip(), gwMissing);  // the reason stays at hand after the box
    QVERIFY(!p.gwButton.isEnabled() && !p.mbButton.isEnabled());

    // Good pairs, one of them larger than any read buffer, a CRLF version file.
    QByteArray exe(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < exe.size(); ++i)
        exe[i] = char((i * 131) >> 3);
    writeFile(dir.filePath("gateway.exe"), exe);
    writeFile(dir.filePath("gwver.txt"), "QXGW-RJ-MQTT-T3-V2.0.1\n" + md5(exe) + "\n");
    writeFile(dir.filePath("mbver.txt"), "QXGW-RJ-RELAY-T3-V1.2\r\n" + md5(readFile(dir.filePath("modbus.zip"))) + "\r\n");
    m_dialogs.clear();
    p.panel.checkPackages();
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(texts().join('|')));
    QCOMPARE(p.gwPackage.text(), QString("QXGW-RJ-MQTT-T3-V2.0.1"));
    QCOMPARE(p.mbPackage.text(), QString("QXGW-RJ-RELAY-T3-V1.2"));
    QVERIFY(p.gwButton.isEnabled() && p.mbButton.isEnabled());

    // One changed byte in one package: that program only is refused.
    exe[exe.size() / 2] = char(exe[exe.size() / 2] ^ 1);
    writeFile(dir.filePath("gateway.exe"), exe);
    p.panel.checkPackages();
    QCOMPARE(texts(), QStringList({gwDigestWrong}));
    QVERIFY(!p.gwButton.isEnabled() && p.mbButton.isEnabled());
    QCOMPARE(p.gwPackage.text(), gwNoVersion);
    QCOMPARE(p.mbPackage.text(), QString("QXGW-RJ-RELAY-T3-V1.2"));
    // Quietly the same finding goes into the label.
    p.panel.checkPackages(true);
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(p.gwPackage.text(), gwDigestWrong.section("\r\n", 0, 0));
    QCOMPARE(p.gwPackage.toolTip(), gwDigestWrong);
    QVERIFY(!p.gwButton.isEnabled() && p.mbButton.isEnabled());

    // Upper-case digest (as Windows' Get-FileHash prints it) passes; a version
    // file without digest for a missing package does not.
    writeFile(dir.filePath("gwver.txt"), "QXGW-RJ-MQTT-T3-V2.0.1\n" + md5(exe).toUpper() + "\n");
    QVERIFY(UpgradePackage::check(root, "gwver.txt", "gateway.exe").matches());
    writeFile(dir.filePath("mbver.txt"), "QXGW-RJ-RELAY-T3-V1.2\n");
    QFile::remove(dir.filePath("modbus.zip"));
    m_dialogs.clear();
    p.panel.checkPackages();
    QCOMPARE(texts(), QStringList({u("modbus程序md5校验错误，请检查修正") + root
                                   + u("/modbus.zip\r\n如不需要升级modbus服务可忽略该告警.")}));
    QVERIFY(p.gwButton.isEnabled() && !p.mbButton.isEnabled());

    // Root edits come once per key: one check once the typing pauses.
    QTemporaryDir other;
    writeFile(other.filePath("gateway.exe"), "exe");
    writeFile(other.filePath("gwver.txt"), "QXGW-S-WFRJ-MQTT-V3\n" + md5("exe") + "\n");
    m_dialogs.clear();
    p.root = other.path().left(3);
    p.panel.rootEdited();
    p.root = other.path();
    p.panel.rootEdited();
    QCOMPARE(p.gwPackage.text(), QString("QXGW-RJ-MQTT-T3-V2.0.1"));  // not yet
    QTRY_COMPARE_WITH_TIMEOUT(p.gwPackage.text(), QString("QXGW-S-WFRJ-MQTT-V3"), 10000);
    QCOMPARE(m_dialogs.size(), 1);  // one check, one box: the missing modbus package
    QVERIFY(p.gwButton.isEnabled() && !p.mbButton.isEnabled());
}

QTEST_MAIN(TstPanels)
#include "tst_panels.moc"
