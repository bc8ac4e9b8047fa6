// needs: namespace
// Whole flows against a gateway host (support/gatewayhost.h: its own root,
// sshd with the tool's fixed root password, busybox as the shell's tools,
// /gateway on this test's folder) in a network namespace joined to the
// tool's by veth (10.200.8.0/24 exists only inside them).
// The tool's own SSH client and TFTP server fetch and install map.json,
// refuse a package without its scripts, upgrade and reinstall the service
// from a good one (the running versions read again afterwards), fetch with the
// TFTP server stopped, and refuse a TFTP client that is not the gateway; a
// batch map installed and the service restarted from the offer after it
// serves the gateway's own unit 255. The allow-list: installed to a service
// too old for it and to the real one, which then refuses unlisted clients;
// with read-only clients fetched, extended and installed, after which the
// real service serves a read-only client's reads and refuses its writes.
// The gateway host is started again with another SSH host key to check that
// the tool pins the first key it was told to trust.
#include "acleditor.h"
#include "dialogseam.h"
#include "fakegateway.h"
#include "gatewayhost.h"
#include "gateway7fclient.h"
#include "hostkeystore.h"
#include "elidedlabel.h"
#include "mainwindow.h"
#include "maptablemodel.h"
#include "statuslook.h"
#include "netnspair.h"
#include "packagezip.h"
#include "qtftpwidget.h"
#include "remoteflows.h"
#include "sshcommands.h"
#include "testsshd.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <unistd.h>

namespace {
// How many of the flow's commands began with head.
int sentStartingWith(const QSignalSpy &sent, const QString &head)
{
    int n = 0;
    for (const QList<QVariant> &args : sent)
        n += args.at(0).toString().startsWith(head) ? 1 : 0;
    return n;
}
} // namespace

namespace {
const char kToolIp[] = "10.200.8.1";
const char kGwIp[] = "10.200.8.2";
const char kGwKey[] = "gwflow000001";
const char kRelayVersion[] = "QXGW-RJ-RELAY-T3-V9.9";

QByteArray readFile(const QString &path)
{
    return GatewayHost::read(path);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    return GatewayHost::write(path, bytes);
}
} // namespace

class TstGatewayFlow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void fetchAndInstallMapJson();
    void upgradeRelayChecked();
    void fetchWithTftpStopped();
    void foreignTftpClientRefused();
    void allowListInstalled();
    void batchMapServedAfterRestart();
    void hostKeyPinnedOnFirstUse();

private:
    // A window with the TFTP root on the PC folder and SSH up to the gateway.
    bool connectWindow(MainWindow &w, bool startTftp = true);
    void makeRelayPackage(bool good);
    bool buildGateway(QString *why);
    // (Re)starts the gateway host with the key cfg/hostkey.
    bool startGatewayHost(QString *why) { return m_host.start(why); }
    void stopGatewayHost();
    // The service in /gateway/modbus under its start script: the built one,
    // or a stand-in that only runs (too old for an allow-list).
    bool placeService(bool real);
    QString gwFile(const QString &name) const { return m_host.file(name); }
    QStringList gwBackups() const
    {
        return QDir(m_tmp.filePath("gw/modbus")).entryList({QString(kGwKey) + "-*-map.json"}, QDir::Files, QDir::Name);
    }

    QTemporaryDir m_tmp;
    NetnsPair m_net{"mfl", kToolIp, kGwIp};
    GatewayHost m_host{m_tmp.path(), m_net.gwNs, kGwIp};
    QList<DialogSeam::Request> m_dialogs;
    QList<DialogSeam::Request> m_keyDialogs;  // the SSH host key questions, apart
    QStringList m_refuse;  // titles of confirmations answered "否"
};

bool TstGatewayFlow::buildGateway(QString *why)
{
    QDir().mkpath(m_tmp.filePath("pc"));
    if (!m_host.prepare(why))
        return false;
    // Two namespaces joined by veth; this (GUI) thread moves to the tool side.
    if (!m_net.up(why))
        return false;
    return startGatewayHost(why);
}

void TstGatewayFlow::stopGatewayHost()
{
    m_host.stop();
    // Session processes the gateway's sshd left behind.
    m_net.killGatewayProcesses();
}

void TstGatewayFlow::initTestCase()
{
    if (getuid() != 0)
        QSKIP("needs root for namespaces and mounts");
    for (const char *p : {"/usr/sbin/sshd", "/bin/busybox", "/usr/bin/openssl"})
        if (!QFileInfo::exists(p))
            QSKIP(qPrintable(QString(p) + " is not installed"));
    QVERIFY(m_tmp.isValid());
    // Pinned host keys go to this test's own settings file.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_tmp.filePath("settings"));
    QString why;
    if (!buildGateway(&why)) {
        cleanupTestCase();
        QFAIL(qPrintable("gateway host: " + why));
    }
    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        if (r.title.contains(QString::fromUtf8("ssh主机密钥")))
            m_keyDialogs.append(r);
        else if (r.title != "warn")  // the start-up package check
            m_dialogs.append(r);
        return !m_refuse.contains(r.title);
    });
}

void TstGatewayFlow::cleanupTestCase()
{
    DialogSeam::setResponder(nullptr);
    stopGatewayHost();
    m_net.down();
}

void TstGatewayFlow::fetchAndInstallMapJson()
{
    const QString pcRoot = m_tmp.filePath("pc");
    const QString pcName = QString(kGwKey) + "-map.json";
    MainWindow w;
    QCOMPARE(w.localIp(), QString(kToolIp));
    auto *tftp = w.findChild<QtftpWidget *>("widget");
    tftp->findChild<QLineEdit *>("root")->setText(pcRoot);
    tftp->findChild<QPushButton *>("start")->click();
    QVERIFY(tftp->isServerRunning());

    // The gateway's current map, in the tool's own format, and an older fetch on the PC.
    {
        MapTableModel gen;
        gen.addRow(255, kGwKey, "99000000002", QString::fromUtf8("网关"));
        gen.addRow(1, "dev0000000a", "99000000101", "switch3a");
        gen.addRow(-1, "dev0000000b", "99000000205", "curtain");
        QVERIFY(gen.write(gwFile("map.json")));
    }
    const QByteArray original = readFile(gwFile("map.json"));
    QVERIFY(writeFile(pcRoot + "/" + pcName, "older fetch"));
    // No service runs on this gateway yet: each install's restart offer is answered "稍后".
    const QString offerTitle = QString::fromUtf8("是否立即重启modbus服务");
    m_refuse = QStringList{offerTitle};

    // Two answers to a search. The first one's serial prefix selects the
    // other product's password, which this host refuses.
    auto *combo = w.findChild<QComboBox *>("gwInfoComboBox");
    QMetaObject::invokeMethod(&w, "onGwDetectStartBtnPressed");
    w.discovery()->takeReply(FakeGateway::discoveryAnswer(kGwKey, kGwIp, "99000000001", "V1"));
    w.discovery()->takeReply(FakeGateway::discoveryAnswer(kGwKey, kGwIp, "99000000002", "V1"));
    QMetaObject::invokeMethod(&w, "onGwDetectStartBtnPressed");
    QCOMPARE(combo->count(), 2);
    QCOMPARE(w.serialPrefix(), QString("99000000001"));
    auto *sshBtn = w.findChild<QPushButton *>("sshConnectBtn");
    auto *sshLabel = w.findChild<QLabel *>("sshStatusLabel");
    QVERIFY(sshBtn->isEnabled());
    sshBtn->click();
    QCOMPARE(sshBtn->text(), QString::fromUtf8("连接中..."));
    QVERIFY(!sshBtn->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(sshLabel->text(), QString("SshAuthenticationError") + kGwIp, 15000);
    QVERIFY(!w.isSshConnected());
    QVERIFY(sshBtn->isEnabled());
    QCOMPARE(sshBtn->text(), QString::fromUtf8("3.连接ssh服务器"));
    QCOMPARE(sshLabel->styleSheet(), StatusLook::red());
    QVERIFY(w.findChild<QPushButton *>("gwDetectBtn")->isEnabled());

    combo->setCurrentIndex(1);
    QCOMPARE(w.serialPrefix(), QString("99000000002"));
    sshBtn->click();
    QTRY_VERIFY_WITH_TIMEOUT(w.isSshConnected(), 15000);
    QCOMPARE(sshLabel->text(), QString::fromUtf8("已ssh连接到") + kGwIp);
    QCOMPARE(sshLabel->styleSheet(), StatusLook::green());
    QCOMPARE(sshBtn->text(), QString::fromUtf8("3.断开ssh连接"));
    QVERIFY(!w.findChild<QPushButton *>("gwDetectBtn")->isEnabled());
    // Commands typed before the shell has started are dropped: wait for an echo.
    auto *log = w.findChild<QTextEdit *>("gwRecTextEdit");
    for (int i = 0; i < 20 && !log->toPlainText().contains("shell-up"); ++i) {
        emit w.sigSendSshCmd("echo shell-up $(readlink -f $(command -v tftp))\n");
        QTest::qWait(250);
    }
    QVERIFY2(log->toPlainText().contains("shell-up /usr/bin/busybox"), qPrintable(log->toPlainText()));

    // Fetch: the gateway pushes its map.json; the older copy on the PC is kept.
    w.findChild<QPushButton *>("sshGetMapJsonBtn")->click();
    QCOMPARE(w.sshPendingOpCode(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(w.statusText(),
             QString::fromUtf8("获取设备modbus地址配置成功") + pcRoot + "/" + pcName);
    QCOMPARE(readFile(pcRoot + "/" + pcName), original);
    const QStringList pcBackups = QDir(pcRoot).entryList({QString(kGwKey) + "-*-map.json"});
    QCOMPARE(pcBackups.size(), 1);
    QVERIFY(QRegularExpression("-\\d{14}-map\\.json$").match(pcBackups[0]).hasMatch());
    QCOMPARE(readFile(pcRoot + "/" + pcBackups[0]), QByteArray("older fetch"));
    QCOMPARE(w.mapModel()->rowCount(), 3);
    QCOMPARE(w.mapModel()->text(0, 3), QString::fromUtf8("网关"));
    QCOMPARE(w.mapModel()->text(2, 0), QString("-1"));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(gwFile(pcName)), 3000);  // the gateway removes its copy
    QVERIFY(m_dialogs.isEmpty());

    // Install an edited map: it lands as map.json, the old one stays as a backup.
    w.mapModel()->setText(2, 0, "7");
    w.findChild<QPushButton *>("sshDownloadMapJsonBtn")->click();
    QCOMPARE(w.sshPendingOpCode(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(m_dialogs.size(), 3);
    QCOMPARE(m_dialogs[1].text, QString::fromUtf8("下发modbus地址配置成功") + pcName);
    QCOMPARE(m_dialogs[2].title, offerTitle);
    const QByteArray edited = readFile(pcRoot + "/" + pcName);
    QVERIFY(edited.contains("\"mb_id\": 7"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(gwFile("map.json")), edited, 3000);
    QVERIFY(!QFile::exists(gwFile(pcName)));
    QStringList backups = gwBackups();
    QCOMPARE(backups.size(), 1);
    QVERIFY2(QRegularExpression(QString("^%1-\\d{8}_\\d{6}-map\\.json$").arg(kGwKey)).match(backups[0]).hasMatch(),
             qPrintable(backups[0]));
    QCOMPARE(readFile(gwFile(backups[0])), original);

    // Fetch it back and install it unchanged: byte for byte the same file.
    // A new second, so the next backup gets its own name.
    const qint64 backupSecond = QDateTime::currentSecsSinceEpoch();
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() > backupSecond, 5000);
    w.findChild<QPushButton *>("sshGetMapJsonBtn")->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(readFile(pcRoot + "/" + pcName), edited);
    QCOMPARE(w.mapModel()->text(2, 0), QString("7"));
    w.findChild<QPushButton *>("sshDownloadMapJsonBtn")->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QTRY_COMPARE_WITH_TIMEOUT(gwBackups().size(), 2, 3000);
    QCOMPARE(readFile(gwFile(gwBackups().last())), edited);
    QCOMPARE(readFile(gwFile("map.json")), edited);
    QCOMPARE(m_dialogs.size(), 6);  // two confirmations, two successes, two offers
    QCOMPARE(m_dialogs[4].text, QString::fromUtf8("下发modbus地址配置成功") + pcName);
    QCOMPARE(w.sshPendingOpCode(), 0);  // "稍后" started nothing
    m_refuse.clear();
    QCOMPARE(QDir(pcRoot).entryList({QString(kGwKey) + "-*-map.json"}).size(), 2);

    // Disconnect: the label and the button return to their idle look.
    sshBtn->click();
    QVERIFY(!w.isSshConnected());
    QCOMPARE(sshLabel->text(), QString::fromUtf8("未连接到ssh服务器"));
    QCOMPARE(sshBtn->text(), QString::fromUtf8("3.连接ssh服务器"));
    QTest::qWait(300);  // the client ends its thread
}

bool TstGatewayFlow::connectWindow(MainWindow &w, bool startTftp)
{
    auto *tftp = w.findChild<QtftpWidget *>("widget");
    tftp->findChild<QLineEdit *>("root")->setText(m_tmp.filePath("pc"));
    if (startTftp)
        tftp->startServer();
    w.discovery()->takeReply(FakeGateway::discoveryAnswer(kGwKey, kGwIp, "99000000002", "V1"));
    if (w.gatewayIp() != kGwIp)
        return false;
    QMetaObject::invokeMethod(&w, "onSshConnectBtnClicked");
    for (int i = 0; i < 150 && !w.isSshConnected(); ++i)
        QTest::qWait(100);
    auto *log = w.findChild<QTextEdit *>("gwRecTextEdit");
    for (int i = 0; i < 20 && !log->toPlainText().contains("shell-up"); ++i) {
        emit w.sigSendSshCmd("echo shell-up\n");
        QTest::qWait(250);
    }
    return w.isSshConnected() && log->toPlainText().contains("shell-up");
}

// modbus.zip unpacks under /gateway: the program, its start script, the
// autorun script and the version file. This host is not ARM: the program is
// an ARM header that is never run, and the start script runs a stand-in of
// the same name instead. A broken package lacks both scripts.
void TstGatewayFlow::makeRelayPackage(bool good)
{
    QList<PackageZip::Entry> entries = PackageZip::installable(kRelayVersion);
    entries[2].data = "#!/bin/sh\ncd /gateway/modbus\nmkdir -p /tmp/standin\n"
                      "printf '#!/bin/sh\\nwhile true; do sleep 1; done\\n' > /tmp/standin/busrelay\n"
                      "chmod 755 /tmp/standin/busrelay\nwhile true; do /tmp/standin/busrelay; sleep 1; done\n";
    if (!good) {
        entries.removeAt(3);
        entries.removeAt(2);
    }
    QVERIFY(PackageZip::writePair(m_tmp.filePath("pc"), kRelayVersion, entries));
}

void TstGatewayFlow::upgradeRelayChecked()
{
    // The gateway program's 7F side, which the tool asks for its version after each upgrade.
    QVERIFY(m_net.enterGateway());
    FakeGateway fake(kGwKey);
    const bool listening = fake.start(QHostAddress::AnyIPv4, 0, Gateway7FClient::kPort);
    QVERIFY(m_net.enterTool());
    QVERIFY(listening);
    fake.version = "QXGW-RJ-MQTT-T3-V2.0";

    makeRelayPackage(false);
    MainWindow w;
    QVERIFY(connectWindow(w));
    QMetaObject::invokeMethod(&w, "onGw7FConnectBtnPressed");
    QTRY_VERIFY_WITH_TIMEOUT(w.is7FConnected(), 5000);
    auto *btn = w.findChild<QPushButton *>("upgradeRelayBtn");
    auto *target = w.findChild<QLabel *>("rlyDstVerLabel");
    auto *gwCur = w.findChild<QLabel *>("curGwSoftwareVerLabel");
    auto *mbCur = w.findChild<QLabel *>("curRelaySoftverLabel");
    const QString missing = QString::fromUtf8("modbus.zip中缺少modbus/relay_start.sh、modbus/set_mb_autorun.sh");

    // The field's package: the program and its version, no scripts. The tab
    // names what is missing, and nothing reaches the gateway.
    const QByteArray installed = readFile(gwFile("ver.txt"));
    w.findChild<QPushButton *>("rescanPackagesBtn")->click();
    QVERIFY(!btn->isEnabled());
    QVERIFY2(target->text().endsWith(missing), qPrintable(target->text()));
    m_dialogs.clear();
    QSignalSpy sent(w.flowRunner(), &RemoteFlowRunner::sendCommand);
    w.on_upgradeRelayBtn_clicked();
    QCOMPARE(m_dialogs.size(), 1);
    QVERIFY2(m_dialogs[0].text.endsWith(missing), qPrintable(m_dialogs[0].text));
    QCOMPARE(sent.count(), 0);
    QCOMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(readFile(gwFile("ver.txt")), installed);

    // The whole package, found when the tab is shown. After the upgrade both
    // running versions are read again (7F and shell), without another box.
    makeRelayPackage(true);
    auto *tabs = w.findChild<QTabWidget *>("workTabWidget");
    tabs->setCurrentIndex(0);
    tabs->setCurrentWidget(w.findChild<QWidget *>("tab"));
    QVERIFY(btn->isEnabled());
    gwCur->setText("QXGW-RJ-MQTT-T3-V1.0");
    mbCur->setText("QXGW-RJ-RELAY-T3-V9.8");
    m_dialogs.clear();
    btn->click();
    QCOMPARE(w.sshPendingOpCode(), 5);
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 60000);
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(m_dialogs[1].kind, DialogSeam::Information);
    QCOMPARE(m_dialogs[1].text, QString::fromUtf8("更新modbus程序成功 modbus.zip ,modbus服务已运行, 版本") + kRelayVersion);
    QCOMPARE(readFile(gwFile("ver.txt")), QByteArray(kRelayVersion) + "\n");
    QVERIFY(!QFile::exists(m_tmp.filePath("gw/modbus/../../root/tmp/modbus.zip")));
    QTRY_COMPARE_WITH_TIMEOUT(mbCur->text(), QString(kRelayVersion), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(gwCur->text(), fake.version, 10000);
    QCOMPARE(m_dialogs.size(), 2);

    // The same version again is a deliberate reinstall, done once a new
    // process runs. The gateway program does not answer its version this
    // time: its read ends by the timer, with no box.
    fake.mode = FakeGateway::Hold;
    m_dialogs.clear();
    btn->click();
    QCOMPARE(m_dialogs[0].title, QString::fromUtf8("是否重新安装modbus程序"));
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 60000);
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(m_dialogs[1].text,
             QString::fromUtf8("重新安装modbus程序成功 modbus.zip ,modbus服务已重新运行, 版本") + kRelayVersion);
    QTRY_VERIFY_WITH_TIMEOUT(w.pendingOpCode() == Gateway7FClient::ReadVersion, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(w.pendingOpCode() == Gateway7FClient::None, 10000);
    QCOMPARE(gwCur->text(), QString(" "));
    QCOMPARE(mbCur->text(), QString(kRelayVersion));
    QCOMPARE(m_dialogs.size(), 2);
    fake.mode = FakeGateway::Answer;

    // Restarting the service: asked, then confirmed by a new process.
    m_dialogs.clear();
    w.findChild<QPushButton *>("sshRebootMbBtn")->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 30000);
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(m_dialogs[0].title, QString::fromUtf8("是否重启modbus服务"));
    QCOMPARE(m_dialogs[1].text, QString::fromUtf8("modbus服务已重启"));

    w.findChild<QPushButton *>("sshConnectBtn")->click();
    QTest::qWait(300);  // the client ends its thread
}

void TstGatewayFlow::fetchWithTftpStopped()
{
    MainWindow w;
    QVERIFY(connectWindow(w, false));
    auto *tftp = w.findChild<QtftpWidget *>("widget");
    QVERIFY(!tftp->isServerRunning());
    for (int i = 1; i <= 16; ++i)
        w.mapModel()->addRow(i, QString("edit%1").arg(i, 4, 10, QChar('0')), "99000000101", "switch3a");
    QVERIFY(w.mapModel()->isModified());

    // Declining to start the server: nothing is typed, the edited table stays.
    m_refuse = QStringList{QString::fromUtf8("TFTP服务未开启")};
    m_dialogs.clear();
    w.findChild<QPushButton *>("sshGetMapJsonBtn")->click();
    m_refuse.clear();
    QCOMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].title, QString::fromUtf8("TFTP服务未开启"));
    QVERIFY(m_dialogs[0].text.contains(m_tmp.filePath("pc")));
    QCOMPARE(w.mapModel()->rowCount(), 16);
    QVERIFY(w.mapModel()->isModified());

    // Accepting: the server starts with the root shown; the edits are asked about, then replaced.
    QVERIFY(writeFile(gwFile("map.json"), R"({"nodes":[{"devtype":"sw","mb_id":9,"mqtt_dk":"gwdev9","name":"hall","sntype":"99000000101"}],"profile":{"name":"x","version":"1.0"}})"));
    m_dialogs.clear();
    w.findChild<QPushButton *>("sshGetMapJsonBtn")->click();
    QVERIFY(tftp->isServerRunning());
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(m_dialogs[1].title, QString::fromUtf8("modbus地址映射表未保存"));
    QCOMPARE(w.mapModel()->rowCount(), 16);  // kept while the fetch runs
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(w.mapModel()->rowCount(), 1);
    QVERIFY(!w.mapModel()->isModified());

    // The gateway has no map.json: the shell's own words, the table stays.
    QFile::remove(gwFile("map.json"));
    m_dialogs.clear();
    w.findChild<QPushButton *>("sshGetMapJsonBtn")->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(m_dialogs.size(), 1);
    QVERIFY2(m_dialogs[0].text.startsWith(QString::fromUtf8("获取设备modbus地址配置失败!\n")), qPrintable(m_dialogs[0].text));
    QVERIFY2(m_dialogs[0].text.contains("map.json"), qPrintable(m_dialogs[0].text));
    QCOMPARE(w.mapModel()->rowCount(), 1);
    QCOMPARE(w.mapModel()->text(0, 1), QString("gwdev9"));

    // Installing it back (without unit 255: "仍然下发") keeps the node's name, and is checked on the gateway.
    m_dialogs.clear();
    m_refuse = QStringList{QString::fromUtf8("是否立即重启modbus服务")};
    w.findChild<QPushButton *>("sshDownloadMapJsonBtn")->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    m_refuse.clear();
    QCOMPARE(m_dialogs.size(), 4);
    QCOMPARE(m_dialogs[0].title, QString::fromUtf8("modbus地址映射表有错误"));
    QCOMPARE(m_dialogs[2].kind, DialogSeam::Information);
    QVERIFY(readFile(gwFile("map.json")).contains("\"name\": \"hall\""));

    w.findChild<QPushButton *>("sshConnectBtn")->click();
    QTest::qWait(300);
}

void TstGatewayFlow::foreignTftpClientRefused()
{
    const QString pcRoot = m_tmp.filePath("pc");
    QVERIFY(writeFile(pcRoot + "/probe.txt", "for the gateway only\n"));
    MainWindow w;
    QVERIFY(connectWindow(w));
    auto *tftp = w.findChild<QtftpWidget *>("widget");

    // This namespace's own address is not the gateway's: refused.
    const QString got = m_tmp.filePath("got.txt");
    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    auto fetch = [&]() {
        QFile::remove(got);
        client.start("busybox", {"tftp", "-g", "-r", "probe.txt", "-l", got, kToolIp, "5069"});
        for (int i = 0; i < 100 && client.state() != QProcess::NotRunning; ++i)
            QTest::qWait(50);
        if (client.state() != QProcess::NotRunning) {
            client.kill();
            client.waitForFinished(1000);
        }
        return QString::fromUtf8(client.readAll());
    };
    const QString said = fetch();
    QVERIFY2(said.contains("Access violation"), qPrintable(said));
    QVERIFY(readFile(got).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(tftp->findChild<QLabel *>("statusLabel")->text(),
                              QString::fromUtf8("拒绝来自%1的TFTP请求").arg(kToolIp), 3000);

    // The gateway itself still fetches.
    emit w.sigSendSshCmd(QString("cd /tmp && tftp -gr probe.txt %1 5069 && cat /tmp/probe.txt\n").arg(kToolIp));
    auto *log = w.findChild<QTextEdit *>("gwRecTextEdit");
    QTRY_VERIFY_WITH_TIMEOUT(log->toPlainText().contains("for the gateway only"), 5000);

    // The setting lets any host in.
    tftp->findChild<QCheckBox *>("anyHostCheckBox")->setChecked(true);
    fetch();
    QCOMPARE(readFile(got), QByteArray("for the gateway only\n"));

    w.findChild<QPushButton *>("sshConnectBtn")->click();
    QTest::qWait(300);
}

namespace {
// One Modbus TCP request (unit, PDU) on this socket: the whole reply, or
// what came before the deadline (nothing when the server closes or is silent).
QByteArray modbusAsk(QTcpSocket &s, quint16 tid, quint8 unit, const QByteArray &pdu)
{
    QByteArray req;
    const int length = pdu.size() + 1;
    req.append(char(tid >> 8)).append(char(tid & 0xff)).append(2, '\0');
    req.append(char(length >> 8)).append(char(length & 0xff)).append(char(unit)).append(pdu);
    s.write(req);
    s.flush();
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 3000 && s.state() == QAbstractSocket::ConnectedState
           && (got.size() < 6 || got.size() < 6 + ((quint8(got[4]) << 8) | quint8(got[5])))) {
        s.waitForReadyRead(100);
        got += s.readAll();
    }
    return got;
}

// One Modbus read (unit 255, input register 0).
QByteArray modbusRead(QTcpSocket &s, quint16 tid)
{
    return modbusAsk(s, tid, 255, QByteArray::fromHex("0400000001"));
}

bool isException(const QByteArray &reply, int function, int code)
{
    return reply.size() == 9 && quint8(reply[7]) == (function | 0x80) && quint8(reply[8]) == code;
}

QString sampleDescriptions()
{
    return qEnvironmentVariable("SOURCE_DIR") + "/busrelay/sample/descJson";
}

// The built service, or empty when it or the sample descriptions are missing.
QString builtService()
{
    const QString busrelay = qEnvironmentVariable("BIN_DIR") + "/busrelay";
    return QFile::exists(busrelay) && QFileInfo(sampleDescriptions()).isDir() ? busrelay : QString();
}

bool connectFrom(QTcpSocket &s, const QString &from)
{
    for (int i = 0; i < 50; ++i) {
        s.abort();
        if (!s.bind(QHostAddress(from)))
            return false;
        s.connectToHost(kGwIp, 502);
        if (s.waitForConnected(200))
            return true;
        QTest::qWait(100);
    }
    return false;
}
} // namespace

bool TstGatewayFlow::placeService(bool real)
{
    QFile::remove(gwFile("mbacl.json"));
    QFile::remove(gwFile("busrelay"));
    const bool placed = real ? QFile::copy(builtService(), gwFile("busrelay"))
                             : writeFile(gwFile("busrelay"), "#!/bin/sh\nwhile true; do sleep 1; done\n");
    if (!placed || !writeFile(gwFile("relay_start.sh"), "#!/bin/sh\ncd /gateway/modbus\nwhile true; do ./busrelay; sleep 1; done\n"))
        return false;
    for (const char *f : {"busrelay", "relay_start.sh"}) {
        if (!QFile::setPermissions(gwFile(f), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
            return false;
    }
    return true;
}

void TstGatewayFlow::allowListInstalled()
{
    const QString busrelay = builtService();
    if (busrelay.isEmpty())
        QSKIP("busrelay is not built (BIN_DIR) or no sample descriptions (SOURCE_DIR)");
    // The gateway's start script, and first a service too old for the list.
    QVERIFY(placeService(false));

    MainWindow w;
    QVERIFY(connectWindow(w));
    auto *editor = w.findChild<AclEditor *>("aclEditor");
    auto *getBtn = editor->findChild<QPushButton *>("sshGetAclBtn");
    auto *putBtn = editor->findChild<QPushButton *>("sshPutAclBtn");
    QVERIFY(getBtn->isEnabled() && putBtn->isEnabled());

    // No list on the gateway: fetched as an empty one.
    QVERIFY(editor->addEntry("10.9.9.9"));
    QVERIFY(editor->isModified());
    m_dialogs.clear();
    getBtn->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(m_dialogs.size(), 1);  // the editor's question about its unsent entry
    QVERIFY(editor->entries().isEmpty());
    QVERIFY(!editor->isModified());

    // The old service never says how it took the list: a failure that says why, not a success.
    QVERIFY(editor->addEntry("10.200.8.1"));
    m_dialogs.clear();
    QSignalSpy sent(w.flowRunner(), &RemoteFlowRunner::sendCommand);
    putBtn->click();
    QCOMPARE(w.sshPendingOpCode(), int(RemoteFlows::PutAcl));
    QVERIFY(!getBtn->isEnabled() && !putBtn->isEnabled());
    auto *stepLabel = w.findChild<ElidedLabel *>("flowStepLabel");
    QTRY_VERIFY_WITH_TIMEOUT(stepLabel->fullText().contains(QString::fromUtf8("查看modbus服务日志中的允许列表")), 30000);
    // Looked at least once: the second look follows the first one's answer.
    QTRY_VERIFY_WITH_TIMEOUT(sentStartingWith(sent, SshCommands::aclLogProbe()) >= 2, 15000);
    QCOMPARE(w.sshPendingOpCode(), int(RemoteFlows::PutAcl));
    w.onSshCmdTimerTimeout();
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(m_dialogs[1].kind, DialogSeam::Warning);
    QVERIFY2(m_dialogs[1].text.contains(QString::fromUtf8("网关上的busrelay可能不支持客户端允许列表")), qPrintable(m_dialogs[1].text));
    QCOMPARE(readFile(gwFile("mbacl.json")), editor->fileText());
    QVERIFY(editor->isModified());

    // The real service: installed, restarted, and its log line quoted.
    QVERIFY(QFile::remove(gwFile("busrelay")));
    QVERIFY(QFile::copy(busrelay, gwFile("busrelay")));
    m_dialogs.clear();
    putBtn->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 60000);
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(m_dialogs[0].title, QString::fromUtf8("是否下发modbus客户端允许列表"));
    QVERIFY2(m_dialogs[1].kind == DialogSeam::Information
                 && m_dialogs[1].text.contains("mbacl.json: the Modbus port accepts clients only from 10.200.8.1"),
             qPrintable(m_dialogs[1].text));
    QVERIFY(!editor->isModified());
    QStringList backups = QDir(m_tmp.filePath("gw/modbus")).entryList({QString(kGwKey) + "-*-mbacl.json"});
    QCOMPARE(backups.size(), 1);  // the second install kept the first one's file

    // Served from the listed address; a client from another one is closed without
    // taking one of the two slots, and the listed clients go on being served.
    QVERIFY(NetnsPair::ip({"-n", m_net.toolNs, "addr", "add", "10.200.8.3/24", "dev", m_net.toolLink}));
    QTcpSocket a, x, b;
    QVERIFY(connectFrom(a, kToolIp));
    QVERIFY(modbusRead(a, 1).size() >= 9);
    QVERIFY(connectFrom(x, "10.200.8.3") || x.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(modbusRead(x, 2), QByteArray());
    QTRY_VERIFY_WITH_TIMEOUT(x.state() == QAbstractSocket::UnconnectedState, 3000);
    QVERIFY(connectFrom(b, kToolIp));
    QVERIFY(modbusRead(b, 3).size() >= 9);
    QVERIFY(modbusRead(a, 4).size() >= 9);
    auto *log = w.findChild<QTextEdit *>("gwRecTextEdit");
    emit w.sigSendSshCmd("grep -a 'not in the allow-list' /tmp/mb.log | tail -n 1\n");
    QTRY_VERIFY_WITH_TIMEOUT(log->toPlainText().contains("client 10.200.8.3:"), 5000);

    // Fetched back, it is what was installed.
    editor->addEntry("10.200.8.77");
    getBtn->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(editor->entries(), QStringList{"10.200.8.1"});
    QVERIFY(!editor->isModified());
    a.abort();
    b.abort();

    // Read-only clients, in a file the integrator wrote by hand with a key of
    // his own, and a map serving unit 255. Fetched with both lists, a second
    // monitoring PC added, installed: the question names the read-only
    // clients, the success quotes the service taking them.
    QDir().mkpath(gwFile("descJson"));
    QFile::remove(gwFile("descJson/gateway.json"));
    QVERIFY(QFile::copy(sampleDescriptions() + "/gateway.json", gwFile("descJson/gateway.json")));
    {
        MapTableModel map;
        map.addRow(255, kGwKey, "99000000002", QString::fromUtf8("网关"));
        QVERIFY(map.write(gwFile("map.json")));
    }
    QVERIFY(writeFile(gwFile("mbacl.json"), "// BMS room\n{\"allow\": [\"10.200.8.1\"], \"readOnly\": [\"10.200.8.3\"], "
                                            "\"site\": \"B2\"}\n"));
    getBtn->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(editor->readOnlyEntries(), QStringList{"10.200.8.3"});
    QVERIFY(editor->addEntry("10.200.8.4", true));
    m_dialogs.clear();
    putBtn->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 60000);
    QCOMPARE(m_dialogs.size(), 2);
    QVERIFY2(m_dialogs[0].text.contains(QString::fromUtf8("以下客户端只能读 (写入被网关拒绝, 异常码1):\n10.200.8.3, 10.200.8.4"))
                 && m_dialogs[0].text.contains("\"site\""),
             qPrintable(m_dialogs[0].text));
    QVERIFY2(m_dialogs[1].kind == DialogSeam::Information
                 && m_dialogs[1].text.contains("accepts clients only from 10.200.8.1 and, read-only (writes refused with "
                                               "exception 1), from 10.200.8.3, 10.200.8.4"),
             qPrintable(m_dialogs[1].text));
    QVERIFY(readFile(gwFile("mbacl.json")).contains("\"site\": \"B2\""));

    // The read-only client reads, is refused every write with exception 1 and
    // stays connected; this PC's write is answered otherwise; an unlisted
    // client is closed.
    QVERIFY(NetnsPair::ip({"-n", m_net.toolNs, "addr", "add", "10.200.8.5/24", "dev", m_net.toolLink}));
    QTcpSocket ro, full, out;
    QVERIFY(connectFrom(ro, "10.200.8.3"));
    const QByteArray readVersion = QByteArray::fromHex("0400010002");
    QByteArray got = modbusAsk(ro, 1, 255, readVersion);
    QVERIFY2(got.size() == 13 && quint8(got[7]) == 0x04 && quint8(got[8]) == 4, qPrintable(got.toHex(' ')));
    got = modbusAsk(ro, 2, 255, QByteArray::fromHex("0600000001"));
    QVERIFY2(isException(got, 0x06, 1), qPrintable(got.toHex(' ')));
    got = modbusAsk(ro, 3, 255, QByteArray::fromHex("10000000010200 01"));
    QVERIFY2(isException(got, 0x10, 1), qPrintable(got.toHex(' ')));
    QCOMPARE(modbusAsk(ro, 4, 255, readVersion).size(), 13);
    QVERIFY(connectFrom(full, kToolIp));
    got = modbusAsk(full, 5, 255, QByteArray::fromHex("0600000001"));
    QVERIFY2(got.size() >= 9 && !isException(got, 0x06, 1), qPrintable(got.toHex(' ')));
    QVERIFY(connectFrom(out, "10.200.8.5") || out.state() == QAbstractSocket::UnconnectedState);
    QCOMPARE(modbusAsk(out, 6, 255, readVersion), QByteArray());

    // Fetched back: what was installed, the kept key too.
    getBtn->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 9000);
    QCOMPARE(editor->readOnlyEntries(), (QStringList{"10.200.8.3", "10.200.8.4"}));
    QVERIFY(editor->fileText().contains("\"site\": \"B2\"") && !editor->isModified());

    ro.abort();
    full.abort();
    NetnsPair::ip({"-n", m_net.toolNs, "addr", "del", "10.200.8.3/24", "dev", m_net.toolLink});
    NetnsPair::ip({"-n", m_net.toolNs, "addr", "del", "10.200.8.5/24", "dev", m_net.toolLink});
    w.findChild<QPushButton *>("sshConnectBtn")->click();
    QTest::qWait(300);
}

void TstGatewayFlow::batchMapServedAfterRestart()
{
    if (builtService().isEmpty())
        QSKIP("busrelay is not built (BIN_DIR) or no sample descriptions (SOURCE_DIR)");
    // The real service with the gateway's and one product's description, under its start script.
    QVERIFY(placeService(true));
    QDir().mkpath(gwFile("descJson"));
    for (const char *d : {"gateway.json", "switch3a.json"}) {
        QFile::remove(gwFile(QString("descJson/") + d));
        QVERIFY(QFile::copy(sampleDescriptions() + "/" + d, gwFile(QString("descJson/") + d)));
    }

    MainWindow w;
    QVERIFY(connectWindow(w));
    // A start script of this session's own (an earlier session's may have
    // ended with it), and its service up before the install.
    QFile::remove(gwFile("up.txt"));
    emit w.sigSendSshCmd("kill -9 $(pidof relay_start.sh) $(pidof busrelay) 2>/dev/null; "
                         "/gateway/modbus/relay_start.sh >/dev/null 2>&1 & \n");
    for (int i = 0; i < 40 && readFile(gwFile("up.txt")).trimmed().isEmpty(); ++i) {
        emit w.sigSendSshCmd("pidof busrelay > /gateway/modbus/up.txt \n");
        QTest::qWait(250);
    }
    QVERIFY2(!readFile(gwFile("up.txt")).trimmed().isEmpty(), "busrelay does not run under its start script");
    // The gateway's list, which never holds the gateway itself; the batch map adds it.
    emit w.gateway7F()->deviceListAnswered({{1, "swa30001", "99000000101"}});
    m_dialogs.clear();
    w.findChild<QPushButton *>("allDevAddToMapBtn")->click();
    QCOMPARE(w.mapModel()->rowCount(), 2);
    QCOMPARE(w.mapModel()->text(1, MapTableModel::Address), QString("255"));
    w.mapModel()->setText(0, MapTableModel::Address, "1");

    // Installed, then "立即重启": the checked restart, and the new service serves unit 255.
    m_dialogs.clear();
    w.findChild<QPushButton *>("sshDownloadMapJsonBtn")->click();
    // Install and restart: four boxes, the last one the restart's.
    QTRY_VERIFY_WITH_TIMEOUT(m_dialogs.size() >= 4, 40000);
    QCOMPARE(w.sshPendingOpCode(), 0);
    QStringList titles;
    for (const auto &r : m_dialogs)
        titles << r.title;
    QVERIFY2(titles == QStringList({QString::fromUtf8("是否下载modbus地址映射"), "Info",
                                    QString::fromUtf8("是否立即重启modbus服务"), "Info"}),
             qPrintable(m_dialogs.last().text));
    QCOMPARE(m_dialogs.last().text, QString::fromUtf8("modbus服务已重启"));
    QVERIFY(readFile(gwFile("map.json")).contains("\"mb_id\": 255"));

    // Unit 255, input registers 1-2 (the service's version text): an answer, not exception 2.
    QTcpSocket s;
    QVERIFY(connectFrom(s, kToolIp));
    s.write(QByteArray::fromHex("0007000000 06ff0400010002"));
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (got.size() < 13 && t.elapsed() < 5000 && s.state() == QAbstractSocket::ConnectedState) {
        s.waitForReadyRead(100);
        got += s.readAll();
    }
    QVERIFY2(got.size() >= 13 && quint8(got[7]) == 0x04 && quint8(got[8]) == 4, qPrintable(got.toHex(' ')));
    QVERIFY2(got.at(9) != char(0), qPrintable(got.toHex(' ')));  // the text begins there
    s.abort();

    w.findChild<QPushButton *>("sshConnectBtn")->click();
    QTest::qWait(300);
}

void TstGatewayFlow::hostKeyPinnedOnFirstUse()
{
    const QString cfg = m_host.cfgDir();
    const QString fpA = TestSshd::fingerprint(cfg + "/hostkey");
    QVERIFY2(fpA.startsWith("SHA256:"), qPrintable(fpA));
    QFile::remove(cfg + "/hostkey2");
    QFile::remove(cfg + "/hostkey2.pub");
    QVERIFY(TestSshd::makeHostKey(cfg + "/hostkey2"));
    const QString fpB = TestSshd::fingerprint(cfg + "/hostkey2");
    QVERIFY(fpB.startsWith("SHA256:") && fpB != fpA);

    // A gateway this tool has never seen: the whole serial number from the search names it.
    const QString serial = "99000000002000777";
    const QString id = QSsh::HostKeyStore::gatewayId(serial, kGwKey);
    QSsh::HostKeyStore store;
    QVERIFY(store.pinned(id).isEmpty());
    const QString otherId = QSsh::HostKeyStore::gatewayId("99000000002", kGwKey);
    const QString otherPin = store.pinned(otherId);
    MainWindow w;
    auto *combo = w.findChild<QComboBox *>("gwInfoComboBox");
    auto *sshBtn = w.findChild<QPushButton *>("sshConnectBtn");
    auto *sshLabel = w.findChild<QLabel *>("sshStatusLabel");
    w.findChild<QtftpWidget *>("widget")->findChild<QLineEdit *>("root")->setText(m_tmp.filePath("pc"));
    w.discovery()->takeReply(FakeGateway::discoveryAnswer(kGwKey, kGwIp, serial, "V1"));
    combo->setCurrentIndex(combo->count() - 1);
    QCOMPARE(w.gatewayIp(), QString(kGwIp));
    QCOMPARE(w.serialNumber(), serial);
    auto connectOnce = [&]() {
        m_keyDialogs.clear();
        QMetaObject::invokeMethod(&w, "onSshConnectBtnClicked");
        for (int i = 0; i < 200 && !sshBtn->isEnabled(); ++i)
            QTest::qWait(100);
        return sshBtn->isEnabled() && w.isSshConnected();
    };
    auto disconnect = [&]() {
        QMetaObject::invokeMethod(&w, "onSshConnectBtnClicked");
        QTest::qWait(300);  // the client ends its thread
    };

    // First use, declined: no login, nothing remembered.
    const QString askTitle = QString::fromUtf8("确认网关ssh主机密钥");
    m_refuse = QStringList{askTitle};
    QVERIFY(!connectOnce());
    m_refuse.clear();
    QCOMPARE(m_keyDialogs.size(), 1);
    QCOMPARE(m_keyDialogs[0].title, askTitle);
    QVERIFY2(m_keyDialogs[0].text.contains(fpA) && m_keyDialogs[0].text.contains(serial),
             qPrintable(m_keyDialogs[0].text));
    QCOMPARE(sshLabel->text(), QString::fromUtf8("未信任网关ssh主机密钥, 未连接") + kGwIp);
    QVERIFY(store.pinned(id).isEmpty());

    // Accepted: logged in, the key is pinned; the next connection goes on without a question.
    QVERIFY(connectOnce());
    QCOMPARE(m_keyDialogs.size(), 1);
    QCOMPARE(store.pinned(id), fpA);
    disconnect();
    QVERIFY(connectOnce());
    QVERIFY(m_keyDialogs.isEmpty());
    disconnect();

    // The same address answers with another key: stopped with both fingerprints named.
    stopGatewayHost();
    QVERIFY(QFile::remove(cfg + "/hostkey"));
    QVERIFY(QFile::copy(cfg + "/hostkey2", cfg + "/hostkey"));
    QString why;
    QVERIFY2(startGatewayHost(&why), qPrintable(why));
    const QString changedTitle = QString::fromUtf8("网关ssh主机密钥已改变");
    m_refuse = QStringList{changedTitle};
    QVERIFY(!connectOnce());
    m_refuse.clear();
    QCOMPARE(m_keyDialogs.size(), 1);
    QCOMPARE(m_keyDialogs[0].title, changedTitle);
    QVERIFY(m_keyDialogs[0].cautious);
    QVERIFY2(m_keyDialogs[0].text.contains(QString::fromUtf8("记住的指纹: ") + fpA)
                 && m_keyDialogs[0].text.contains(QString::fromUtf8("现在的指纹: ") + fpB),
             qPrintable(m_keyDialogs[0].text));
    QCOMPARE(sshLabel->text(), QString::fromUtf8("网关ssh主机密钥已改变, 已停止连接") + kGwIp);
    QCOMPARE(store.pinned(id), fpA);
    // Other gateways' pins are not touched by any of this.
    QCOMPARE(store.pinned(otherId), otherPin);

    // A replaced gateway: the engineer replaces the pin, the tool connects at once.
    m_keyDialogs.clear();
    QMetaObject::invokeMethod(&w, "onSshConnectBtnClicked");
    QTRY_VERIFY_WITH_TIMEOUT(w.isSshConnected(), 20000);
    QCOMPARE(m_keyDialogs.size(), 1);
    QCOMPARE(store.pinned(id), fpB);
    disconnect();
    QVERIFY(connectOnce());
    QVERIFY(m_keyDialogs.isEmpty());
    disconnect();
}

QTEST_MAIN(TstGatewayFlow)
#include "tst_gatewayflow.moc"
