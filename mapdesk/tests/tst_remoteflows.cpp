// needs: namespace
// The remote flows of the main window without a gateway: what each flow types
// into the shell, what it guards, disables and reports, when it calls a flow
// a success (the upgrade tab's package checks alone: tst_panels). The SSH
// shell is a fake that answers each command's status marker (and the checks'
// probes); the TFTP transfers are stood in for by the signals the real panel
// emits. The TFTP server itself runs in this test's private network namespace.
#include "dialogseam.h"
#include "utf8text.h"
#include "mainwindow.h"
#include "maptablemodel.h"
#include "packagezip.h"
#include "qtftpwidget.h"
#include "remoteflows.h"
#include "upgradepackage.h"

#include "testfiles.h"
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {
const char kDk[] = "gw0000000042";

// md5sum's opinion, not the tool's code path.
QString md5sum(const QString &path)
{
    QProcess p;
    p.start("md5sum", {path});
    p.waitForFinished(5000);
    return QString::fromLatin1(p.readAllStandardOutput().left(32));
}

// The command as the flow typed it, without the status marker that follows it.
QString typed(const QSignalSpy &sent, int i)
{
    QString c = sent.at(i).at(0).toString();
    static const QRegularExpression marker("echo __MDK_\\w+_\\$\\? \\necho __MDK_\\w+_E >&2 \\n$");
    const QRegularExpressionMatch m = marker.match(c);
    return m.hasMatch() ? c.left(m.capturedStart()) : c + "<no marker>";
}

// The gateway's shell as the flows see it: it answers every command's
// marker, md5sum with the digest of the PC's copy, and the service probe.
struct FakeShell
{
    MainWindow *w = nullptr;
    QString root;
    bool silent = false;
    bool copyGood = true;  // the gateway's copy equals the file sent
    QString pid = "101";
    bool restarts = true;  // a killed service comes back as a new process
    QString ver;           // first line of the gateway's ver.txt
    QString err;           // standard error of the next install command
    int status = 0;        // status of the next install command
    int answered = 0;      // commands answered so far
    int probes = 0;        // of them, service probes

    void attach(MainWindow &win, const QString &tftpRoot)
    {
        w = &win;
        root = tftpRoot;
        QObject::connect(&win, &MainWindow::sigSendSshCmd, &win,
                         [this](const QString &c) { QTimer::singleShot(0, w, [this, c]() { answer(c); }); });
    }
    void answer(const QString &c)
    {
        if (silent)
            return;
        const QRegularExpressionMatch m = QRegularExpression("echo __MDK_(\\w+)_\\$\\?").match(c);
        if (!m.hasMatch())
            return;
        QString out;
        int rc = 0;
        const QRegularExpressionMatch md5 = QRegularExpression("^md5sum /gateway/modbus/(\\S+)").match(c);
        if (md5.hasMatch()) {
            const QString local = root + "/" + w->gatewayKey() + "-" + md5.captured(1);
            QString d = md5sum(local);
            if (!copyGood)
                d = QString(32, 'e');
            out = d + "  /gateway/modbus/" + md5.captured(1) + "\n";
        } else if (c.startsWith("echo __MDK_PID=")) {
            out = "__MDK_PID=" + pid + "\n__MDK_VER=" + ver + "\n";
            probes += c.contains("__MDK_VER=") ? 1 : 0;  // not a step that only notes the process
        } else if (c.startsWith("echo __MDK_VER=$(head -n 1 /gateway/modbus/ver.txt")) {
            out = "__MDK_VER=" + ver + "\n";
        } else if (c.startsWith("kill -9") || c.startsWith("cd /gateway/") || c.startsWith("sync")) {
            if (c.contains("kill -9 $(pidof busrelay)") && !pid.isEmpty() && restarts)
                pid = QString::number(pid.toInt() + 1);  // the start script starts it again
            rc = status;
            if (!err.isEmpty())
                w->onSshErrorArrived(err, "10.200.9.2", 22);
        }
        w->onSshSlotDataArrived(out + "__MDK_" + m.captured(1) + "_" + QString::number(rc) + "\n", "10.200.9.2", 22);
        w->onSshErrorArrived("__MDK_" + m.captured(1) + "_E\n", "10.200.9.2", 22);
        ++answered;  // the flow has judged the answer by now
    }
};
} // namespace

class TstRemoteFlows : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void refusals();
    void fetchMapJson();
    void installMapJson();
    void vrvFlows();
    void relayVersionAndTimeout();
    void upgradeGateway();
    void upgradeRelay();
    // The upgrade tab in the window: root edits, the tab shown, the rescan button.
    void packagesThroughTheWindow();

private:
    void prepare(MainWindow &w, bool sshUp = true);
    QPushButton *btn(MainWindow &w, const char *name) { return w.findChild<QPushButton *>(name); }
    QLabel *label(MainWindow &w, const char *name) { return w.findChild<QLabel *>(name); }
    QtftpWidget *tftp(MainWindow &w) { return w.findChild<QtftpWidget *>("widget"); }
    QStringList texts() const
    {
        QStringList t;
        for (const auto &r : m_dialogs)
            t << r.text;
        return t;
    }
    // The boxes' first lines: a TFTP timeout's causes follow on lines of their own.
    QStringList leads() const
    {
        QStringList t;
        for (const auto &r : m_dialogs)
            t << r.text.section('\n', 0, 0);
        return t;
    }
    void writePackage(const QString &pkg, const QString &ver, const QByteArray &bytes,
                      const QString &version);

    QList<DialogSeam::Request> m_dialogs;
    bool m_proceed = true;
    QStringList m_refuse;  // titles answered "否" even while m_proceed
    FakeShell m_shell;
    QTemporaryDir *m_root = nullptr;
};

void TstRemoteFlows::init()
{
    m_dialogs.clear();
    m_proceed = true;
    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        m_dialogs.append(r);
        return m_proceed && !m_refuse.contains(r.title);
    });
    m_root = new QTemporaryDir;
    QVERIFY(m_root->isValid());
    m_shell = FakeShell();
}

void TstRemoteFlows::cleanup()
{
    DialogSeam::setResponder(nullptr);
    delete m_root;
    m_root = nullptr;
}

// A selected gateway, the TFTP root on the temporary folder, SSH up.
void TstRemoteFlows::prepare(MainWindow &w, bool sshUp)
{
    w.findChild<QComboBox *>("gwInfoComboBox")->addItem(QString(kDk) + "_10.200.9.2_99000000002_V1");
    QCOMPARE(w.gatewayKey(), QString(kDk));
    tftp(w)->findChild<QLineEdit *>("root")->setText(m_root->path());
    QCOMPARE(w.tftpRoot(), m_root->path());
    w.onTftpRootDirChanged();
    tftp(w)->startServer();
    QVERIFY(tftp(w)->isServerRunning());
    m_shell.attach(w, m_root->path());
    if (sshUp)
        w.onSshConnectStateChanged(true, "10.200.9.2", 22, QString());
    m_dialogs.clear();
}

void TstRemoteFlows::writePackage(const QString &pkg, const QString &ver, const QByteArray &bytes,
                                  const QString &version)
{
    writeFile(m_root->filePath(pkg), bytes);
    writeFile(m_root->filePath(ver), (version + "\n" + md5sum(m_root->filePath(pkg)) + "\n").toUtf8());
}

void TstRemoteFlows::packagesThroughTheWindow()
{
    MainWindow w;
    prepare(w, false);
    auto *gwBtn = btn(w, "upgradeGwSoftwareBtn");
    auto *mbBtn = btn(w, "upgradeRelayBtn");
    const QString root = m_root->path();

    // Nothing there: both boxes, both buttons off.
    w.onTftpRootDirChanged();
    QCOMPARE(texts(), QStringList({u("未找到网关升级包,请检查") + root
                                       + u("下是否有gateway.exe gwver.txt!\r\n如不需要升级网关可忽略该告警."),
                                   u("未找到modbus升级包,请检查") + root
                                       + u("下是否有modbus.zip mbver.txt!\r\n如不需要升级modbus服务可忽略该告警.")}));
    QCOMPARE(m_dialogs[0].title, QString("warn"));
    QCOMPARE(label(w, "gwDstVerLabel")->text(), u("未获得电脑中网关升级包版本，无法升级网关程序"));
    QCOMPARE(label(w, "rlyDstVerLabel")->text(), u("未获得电脑中modbus服务升级包版本，无法升级modbus服务"));
    QVERIFY(!gwBtn->isEnabled() && !mbBtn->isEnabled());

    // Good pairs, one of them larger than any read buffer, a CRLF version file.
    QByteArray exe(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < exe.size(); ++i)
        exe[i] = char((i * 131) >> 3);
    writePackage("gateway.exe", "gwver.txt", exe, "QXGW-RJ-MQTT-T3-V2.0.1");
    QVERIFY(PackageZip::write(m_root->filePath("modbus.zip"), PackageZip::installable("QXGW-RJ-RELAY-T3-V1.2")));
    writeFile(m_root->filePath("mbver.txt"),
              ("QXGW-RJ-RELAY-T3-V1.2\r\n" + md5sum(m_root->filePath("modbus.zip")) + "\r\n").toUtf8());
    m_dialogs.clear();
    w.onTftpRootDirChanged();
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(texts().join('|')));
    QCOMPARE(label(w, "gwDstVerLabel")->text(), QString("QXGW-RJ-MQTT-T3-V2.0.1"));
    QCOMPARE(label(w, "rlyDstVerLabel")->text(), QString("QXGW-RJ-RELAY-T3-V1.2"));
    QVERIFY(gwBtn->isEnabled() && mbBtn->isEnabled());

    // One changed byte in the package.
    exe[exe.size() / 2] = char(exe[exe.size() / 2] ^ 1);
    writeFile(m_root->filePath("gateway.exe"), exe);
    m_dialogs.clear();
    w.onTftpRootDirChanged();
    QCOMPARE(texts(), QStringList({u("网关程序md5校验错误，请检查修正") + root
                                   + u("/gateway.exe\r\n如不需要升级网关可忽略该告警.")}));
    QVERIFY(!gwBtn->isEnabled() && mbBtn->isEnabled());
    QCOMPARE(label(w, "gwDstVerLabel")->text(), u("未获得电脑中网关升级包版本，无法升级网关程序"));

    // Upper-case digest (as Windows' Get-FileHash prints it) passes; a version
    // file without digest for a missing package does not.
    writeFile(m_root->filePath("gwver.txt"),
              ("QXGW-RJ-MQTT-T3-V2.0.1\n" + md5sum(m_root->filePath("gateway.exe")).toUpper() + "\n").toUtf8());
    QVERIFY(UpgradePackage::check(root, "gwver.txt", "gateway.exe").matches());
    writeFile(m_root->filePath("mbver.txt"), "QXGW-RJ-RELAY-T3-V1.2\n");
    QFile::remove(m_root->filePath("modbus.zip"));
    m_dialogs.clear();
    w.onTftpRootDirChanged();
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].text, u("modbus程序md5校验错误，请检查修正") + root
                                    + u("/modbus.zip\r\n如不需要升级modbus服务可忽略该告警."));
    QVERIFY(gwBtn->isEnabled() && !mbBtn->isEnabled());

    // Editing the root in the panel re-checks once typing pauses.
    QTemporaryDir other;
    writeFile(other.filePath("gateway.exe"), "exe");
    writeFile(other.filePath("gwver.txt"),
              ("QXGW-S-WFRJ-MQTT-V3\n" + md5sum(other.filePath("gateway.exe")) + "\n").toUtf8());
    m_dialogs.clear();
    auto *edit = tftp(w)->findChild<QLineEdit *>("root");
    edit->setText(other.path().left(3));
    edit->setText(other.path());
    QTRY_COMPARE_WITH_TIMEOUT(label(w, "gwDstVerLabel")->text(), QString("QXGW-S-WFRJ-MQTT-V3"), 10000);
    QCOMPARE(m_dialogs.size(), 1);  // one check, one box: the missing modbus package
    QVERIFY(gwBtn->isEnabled());

    // Copied in while the tool runs: found when the upgrade tab is shown, told in
    // the labels only. The scripts are missing, so the button stays off.
    QList<PackageZip::Entry> scriptless = PackageZip::installable("QXGW-RJ-RELAY-T3-V1.4");
    scriptless.removeAt(3);
    scriptless.removeAt(2);
    QVERIFY(PackageZip::writePair(other.path(), "QXGW-RJ-RELAY-T3-V1.4", scriptless));
    QFile::remove(other.filePath("gwver.txt"));
    m_dialogs.clear();
    auto *tabs = w.findChild<QTabWidget *>("workTabWidget");
    tabs->setCurrentWidget(w.findChild<QWidget *>("tab"));
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(texts().join('|')));
    QCOMPARE(label(w, "rlyDstVerLabel")->text(),
             u("modbus升级包QXGW-RJ-RELAY-T3-V1.4内容有误, 无法升级modbus服务: "
               "modbus.zip中缺少modbus/relay_start.sh、modbus/set_mb_autorun.sh"));
    QVERIFY(label(w, "gwDstVerLabel")->text().startsWith(u("未找到网关升级包,请检查") + other.path()));
    QVERIFY(!gwBtn->isEnabled() && !mbBtn->isEnabled());
    QCOMPARE(label(w, "packageRootLabel")->text(), u("升级包目录(TFTP根目录): ") + other.path());
    // A whole package and the button: found, still quiet.
    QVERIFY(PackageZip::writePair(other.path(), "QXGW-RJ-RELAY-T3-V1.4", PackageZip::installable("QXGW-RJ-RELAY-T3-V1.4")));
    btn(w, "rescanPackagesBtn")->click();
    QCOMPARE(label(w, "rlyDstVerLabel")->text(), QString("QXGW-RJ-RELAY-T3-V1.4"));
    QVERIFY(mbBtn->isEnabled());
    QVERIFY(m_dialogs.isEmpty());
}

void TstRemoteFlows::refusals()
{
    MainWindow w;
    QSignalSpy sent(&w, &MainWindow::sigSendSshCmd);
    prepare(w, false);
    const char *flows[] = {"onSshGetMapJsonBtnClicked", "onSshDownloadMapJsonBtnClicked",
                           "onSshRebootGwBtnClicked", "on_sshGetVrvCfgBtn_clicked",
                           "on_sshDownloadVrvCfgBtn_clicked", "on_sshRebootMbBtn_clicked",
                           "on_getRelaySoftverBtn_clicked"};
    for (const char *f : flows) {
        m_dialogs.clear();
        QVERIFY(QMetaObject::invokeMethod(&w, f));
        QCOMPARE(texts(), QStringList({u("请先连接ssh服务器!")}));
        QCOMPARE(m_dialogs[0].title, QString("warning"));
    }
    QCOMPARE(sent.count(), 0);

    // One flow at a time: every start, including the version fetch and the
    // upgrades, is refused while a fetch waits.
    m_shell.silent = true;
    w.onSshConnectStateChanged(true, "10.200.9.2", 22, QString());
    btn(w, "sshGetMapJsonBtn")->click();
    QCOMPARE(w.sshPendingOpCode(), 1);
    QCOMPARE(sent.count(), 1);
    const char *more[] = {"onSshGetMapJsonBtnClicked", "onSshDownloadMapJsonBtnClicked",
                          "onSshRebootGwBtnClicked", "on_sshGetVrvCfgBtn_clicked",
                          "on_sshDownloadVrvCfgBtn_clicked", "on_sshRebootMbBtn_clicked",
                          "on_getRelaySoftverBtn_clicked", "on_upgradeGwSoftwareBtn_clicked",
                          "on_upgradeRelayBtn_clicked"};
    for (const char *f : more) {
        m_dialogs.clear();
        QVERIFY(QMetaObject::invokeMethod(&w, f));
        QCOMPARE(texts(), QStringList({u("等待其他操作完成!")}));
    }
    QCOMPARE(sent.count(), 1);
    QCOMPARE(w.sshPendingOpCode(), 1);

    w.onSshCmdTimerTimeout();
    m_shell.silent = false;

    // Restart and reboot ask first; "否" sends nothing.
    m_proceed = false;
    m_dialogs.clear();
    btn(w, "sshRebootMbBtn")->click();
    btn(w, "sshRebootGwBtn")->click();
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(m_dialogs[0].title, u("是否重启modbus服务"));
    QCOMPARE(m_dialogs[1].title, u("是否重启网关"));
    QCOMPARE(sent.count(), 1);

    // Restart: done only once a new service process runs.
    m_proceed = true;
    m_dialogs.clear();
    btn(w, "sshRebootMbBtn")->click();
    QCOMPARE(w.sshPendingOpCode(), 8);
    QTRY_COMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(typed(sent, 2), QString("kill -9 $(pidof busrelay) \nkill -9 $(pidof busrelay) \n"));
    QCOMPARE(m_dialogs.last().kind, DialogSeam::Information);
    QCOMPARE(m_dialogs.last().text, u("modbus服务已重启"));
    // A service that does not come back is a failure, with the shell's words.
    m_shell.pid.clear();
    m_shell.err = "kill: you need to specify whom to kill\n";
    m_dialogs.clear();
    const int restartAt = sent.count();
    btn(w, "sshRebootMbBtn")->click();
    QTRY_VERIFY(sent.count() >= restartAt + 4);  // the probe found nothing and asked again
    w.onSshCmdTimerTimeout();
    QCOMPARE(m_dialogs.last().kind, DialogSeam::Warning);
    QVERIFY2(m_dialogs.last().text.startsWith(u("modbus服务在20秒内未重新运行\nkill: you need to specify whom to kill")),
             qPrintable(m_dialogs.last().text));
    QVERIFY(m_dialogs.last().text.contains(u("modbus服务(busrelay)未运行")));
    QCOMPARE(w.sshPendingOpCode(), 0);

    // Reboot: the link must drop, then the gateway must answer the search.
    m_dialogs.clear();
    const int before = sent.count();
    const int answeredBefore = m_shell.answered;
    btn(w, "sshRebootGwBtn")->click();
    QCOMPARE(w.sshPendingOpCode(), 9);
    QCOMPARE(typed(sent, before), QString("sync \n reboot \n"));
    QTRY_VERIFY_WITH_TIMEOUT(m_shell.answered > answeredBefore, 5000);
    QCOMPARE(w.sshPendingOpCode(), 9);  // the marker alone proves nothing
    w.onSshConnectStateChanged(false, "10.200.9.2", 22, QString());
    QCOMPARE(w.sshPendingOpCode(), 9);
    w.flowRunner()->gatewayAnswered("someother01", "V1");
    QCOMPARE(w.sshPendingOpCode(), 9);
    w.flowRunner()->gatewayAnswered(kDk, "V1");
    QCOMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(m_dialogs.last().text, u("网关已重启并重新应答搜索, 请重新连接ssh服务器"));
    // A reboot that is refused ends in a failure box at once.
    w.onSshConnectStateChanged(true, "10.200.9.2", 22, QString());
    m_shell.status = 1;
    m_shell.err = "reboot: Operation not permitted\n";
    m_dialogs.clear();
    btn(w, "sshRebootGwBtn")->click();
    QTRY_COMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(m_dialogs.last().text, u("重启网关失败!\nreboot: Operation not permitted"));
}

void TstRemoteFlows::fetchMapJson()
{
    MainWindow w;
    QSignalSpy sent(&w, &MainWindow::sigSendSshCmd);
    prepare(w);
    const QString name = QString(kDk) + "-map.json";
    const QString ip = w.localIp();
    writeFile(m_root->filePath(name), "previous fetch");
    w.mapModel()->addRow(3, "old00001", "99000000101", "x");
    QVERIFY(w.mapModel()->isModified());

    // Unsaved edits: asked first; "否" keeps them and fetches nothing.
    m_proceed = false;
    btn(w, "sshGetMapJsonBtn")->click();
    QCOMPARE(sent.count(), 0);
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].title, u("modbus地址映射表未保存"));
    m_proceed = true;
    m_dialogs.clear();
    btn(w, "sshGetMapJsonBtn")->click();
    QCOMPARE(m_dialogs.size(), 1);
    m_dialogs.clear();
    QCOMPARE(sent.count(), 1);
    QCOMPARE(typed(sent, 0),
             "mkdir -p /gateway/modbus\n cd /gateway/modbus \n cp map.json " + name + " \n tftp -pr " + name
                 + " " + ip + " 5069\n rm -rf " + name + " \n ");
    QCOMPARE(w.sshPendingOpCode(), 1);
    QVERIFY(!w.centralWidget()->isEnabled());
    auto *timer = w.findChild<QTimer *>("sshCmdTimer");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 8000);
    // The table stays until the fetched file has been read.
    QCOMPARE(w.mapModel()->rowCount(), 1);
    QCOMPARE(w.statusText(), u("获取设备modbus地址配置...."));
    // The earlier file stays, with a time-stamped copy beside it.
    const QStringList backups = QDir(m_root->path()).entryList({QString(kDk) + "-*-map.json"});
    QCOMPARE(backups.size(), 1);
    QVERIFY(QRegularExpression(QString("^%1-\\d{14}-map\\.json$").arg(kDk)).match(backups[0]).hasMatch());
    QCOMPARE(readFile(m_root->filePath(backups[0])), QByteArray("previous fetch"));

    // Reports of other transfers do not end the flow.
    writeFile(m_root->filePath(name),
              R"({"nodes":[{"devtype":"sw","mb_id":5,"mqtt_dk":"dev00005","sntype":"99000000101"}],)"
              R"("profile":{"name":"x","version":"1.0"}})");
    emit tftp(w)->sigRcvOneFile("other-map.json");
    emit tftp(w)->sigSendOneFile(name);
    QCOMPARE(w.sshPendingOpCode(), 1);

    emit tftp(w)->sigRcvOneFile(name);
    QTRY_COMPARE(w.sshPendingOpCode(), 0);
    QVERIFY(!timer->isActive());
    QVERIFY(w.centralWidget()->isEnabled());
    QVERIFY(btn(w, "sshConnectBtn")->isEnabled());
    QCOMPARE(w.statusText(), u("获取设备modbus地址配置成功") + m_root->path() + "/" + name);
    QCOMPARE(w.mapModel()->rowCount(), 1);
    QCOMPARE(w.mapModel()->text(0, 1), QString("dev00005"));
    QVERIFY(m_dialogs.isEmpty());
    QVERIFY(!w.mapModel()->isModified());

    // A late duplicate report is ignored.
    emit tftp(w)->sigRcvOneFile(name);
    QCOMPARE(w.mapModel()->rowCount(), 1);

    // Timeout: the text, and the map stays as it was.
    btn(w, "sshGetMapJsonBtn")->click();
    w.onSshCmdTimerTimeout();
    QCOMPARE(leads(), QStringList({u("获取设备modbus地址配置超时!!!!")}));
    // The box goes on with what to check (tst_remoteflowrunner); the status bar has the text alone.
    QVERIFY(m_dialogs[0].text.contains(u("本机IP(") + ip + u(")是否与网关(10.200.9.2)在同一网段")));
    QCOMPARE(w.statusText(), u("获取设备modbus地址配置超时!!!!"));
    QCOMPARE(w.mapModel()->rowCount(), 1);
    QVERIFY(w.centralWidget()->isEnabled());

    // The shell finished without sending the file: a failure box with its words, at once.
    m_dialogs.clear();
    btn(w, "sshGetMapJsonBtn")->click();
    w.onSshErrorArrived("cp: can't stat 'map.json': No such file or directory\n", "10.200.9.2", 22);
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 7000);  // the grace, well before the 8 s timeout
    QCOMPARE(texts(), QStringList({u("获取设备modbus地址配置失败!\ncp: can't stat 'map.json': No such file or directory\n"
                                     "网关未传送") + name}));
    QCOMPARE(w.mapModel()->rowCount(), 1);
}

void TstRemoteFlows::installMapJson()
{
    MainWindow w;
    QSignalSpy sent(&w, &MainWindow::sigSendSshCmd);
    prepare(w);
    const QString name = QString(kDk) + "-map.json";
    const QString path = m_root->path() + "/" + name;
    // A map that is not fit for the gateway does not go: said why, nothing written or sent.
    w.mapModel()->addRow(7, "dev00007", "99000000101", "sw");
    w.mapModel()->addRow(7, "dev00008", "99000000101", "sw");
    w.mapModel()->addRow(255, kDk, "99000000002", "gateway");
    btn(w, "sshDownloadMapJsonBtn")->click();
    QCOMPARE(m_dialogs.size(), 1);
    QVERIFY2(m_dialogs[0].text.startsWith(u("modbus地址映射表有错误, 不能下发:\n地址7被多个设备使用: dev00007, dev00008")),
             qPrintable(m_dialogs[0].text));
    QCOMPARE(sent.count(), 0);
    QVERIFY(!QFile::exists(path));
    // Unit 0 is only a warning: asked, and "否" stops.
    w.mapModel()->setText(1, 0, "0");
    m_proceed = false;
    m_dialogs.clear();
    btn(w, "sshDownloadMapJsonBtn")->click();
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].title, u("modbus地址映射表提示"));
    QCOMPARE(sent.count(), 0);
    w.mapModel()->removeRow(1);
    m_dialogs.clear();

    // "否" stops before anything is written or sent.
    m_proceed = false;
    btn(w, "sshDownloadMapJsonBtn")->click();
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].kind, DialogSeam::Confirm);
    QCOMPARE(m_dialogs[0].title, u("是否下载modbus地址映射"));
    QCOMPARE(m_dialogs[0].text, u("该操作会将左侧<modbus地址映射表>生成为 {") + path
                                    + u("} 并下载到网关中, 覆盖网关中原的modbus地址映射配置"));
    QCOMPARE(m_dialogs[0].okText, u("确定"));
    QCOMPARE(m_dialogs[0].noText, u("否"));
    QVERIFY(!QFile::exists(path));
    QCOMPARE(sent.count(), 0);

    m_proceed = true;
    m_dialogs.clear();
    const QString offerTitle = u("是否立即重启modbus服务");
    m_refuse = QStringList{offerTitle};  // "稍后"
    btn(w, "sshDownloadMapJsonBtn")->click();
    QCOMPARE(sent.count(), 1);
    QCOMPARE(typed(sent, 0), "mkdir -p /gateway/modbus \n cd /gateway/modbus \n tftp -gr " + name
                                 + " " + w.localIp() + " 5069\n");
    QVERIFY(readFile(path).contains("\"mqtt_dk\": \"dev00007\""));
    QCOMPARE(w.sshPendingOpCode(), 2);
    QVERIFY(!w.centralWidget()->isEnabled());
    QCOMPARE(w.statusText(), u("下发设备modbus地址配置...."));

    emit tftp(w)->sigSendOneFile(name);
    QTRY_COMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(sent.count(), 3);
    QCOMPARE(typed(sent, 2), QString("md5sum /gateway/modbus/map.json \n"));
    QVERIFY(!w.mapModel()->isModified());  // the gateway holds what the table shows
    const QString install = typed(sent, 1);
    QVERIFY2(QRegularExpression(QString("^cp map\\.json %1-\\d{8}_\\d{6}-map\\.json \\nmv %1-map\\.json map\\.json\\n$")
                                    .arg(kDk))
                 .match(install)
                 .hasMatch(),
             qPrintable(install));
    QCOMPARE(w.statusText(), u("下发modbus地址配置成功") + name);
    QCOMPARE(m_dialogs.size(), 3);
    QCOMPARE(m_dialogs[1].kind, DialogSeam::Information);
    QCOMPARE(m_dialogs[1].text, u("下发modbus地址配置成功") + name);
    // After the success: the service still serves the old map; a restart is
    // offered, "稍后" being the safe answer, and later restarts nothing.
    QCOMPARE(m_dialogs[2].kind, DialogSeam::Confirm);
    QVERIFY(m_dialogs[2].cautious);
    QCOMPARE(m_dialogs[2].title, offerTitle);
    QVERIFY(m_dialogs[2].text.startsWith(u("网关中的modbus服务重启后才使用新下发的modbus地址映射")));
    QCOMPARE(m_dialogs[2].okText, u("立即重启"));
    QCOMPARE(m_dialogs[2].noText, u("稍后"));
    QCOMPARE(sent.count(), 3);
    QCOMPARE(w.sshPendingOpCode(), 0);

    // The gateway's copy differs from the file sent: a failure, not a success.
    m_shell.copyGood = false;
    m_dialogs.clear();
    btn(w, "sshDownloadMapJsonBtn")->click();
    emit tftp(w)->sigSendOneFile(name);
    QTRY_COMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(m_dialogs.last().kind, DialogSeam::Warning);
    QVERIFY2(m_dialogs.last().text.startsWith(u("下发modbus地址配置失败!\n网关中/gateway/modbus/map.json的MD5为eeee")),
             qPrintable(m_dialogs.last().text));
    m_shell.copyGood = true;
    QCOMPARE(sent.count(), 6);

    // A map that cannot be written is not installed (no stale file goes out).
    tftp(w)->findChild<QLineEdit *>("root")->setText(m_root->filePath("missing"));
    m_dialogs.clear();
    btn(w, "sshDownloadMapJsonBtn")->click();
    QCOMPARE(sent.count(), 6);
    QCOMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(m_dialogs.size(), 2);
    QVERIFY(m_dialogs[1].text.startsWith(u("生成modbus地址配置失败 ")));

    // Timeout text.
    tftp(w)->findChild<QLineEdit *>("root")->setText(m_root->path());
    m_dialogs.clear();
    btn(w, "sshDownloadMapJsonBtn")->click();
    QCOMPARE(w.sshPendingOpCode(), 2);
    w.onSshCmdTimerTimeout();
    QCOMPARE(leads().last(), u("下发设备modbus地址配置超时!!!"));
    QCOMPARE(w.sshPendingOpCode(), 0);
    for (const auto &r : m_dialogs)
        QVERIFY(r.title != offerTitle);  // no offer after a failure

    // "立即重启": the checked restart flow, without asking about the restart again.
    m_refuse.clear();
    m_dialogs.clear();
    const int before = sent.count();
    btn(w, "sshDownloadMapJsonBtn")->click();
    emit tftp(w)->sigSendOneFile(name);
    // The fake shell may finish the restart before a look in between: wait for its box.
    QTRY_COMPARE(m_dialogs.size(), 4);
    QCOMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(typed(sent, before + 4), QString("kill -9 $(pidof busrelay) \nkill -9 $(pidof busrelay) \n"));
    QStringList titles;
    for (const auto &r : m_dialogs)
        titles << r.title;
    QCOMPARE(titles, QStringList({u("是否下载modbus地址映射"), "Info", offerTitle, "Info"}));
    QCOMPARE(m_dialogs.last().text, u("modbus服务已重启"));
}

void TstRemoteFlows::vrvFlows()
{
    MainWindow w;
    QSignalSpy sent(&w, &MainWindow::sigSendSshCmd);
    prepare(w);
    const QString name = QString(kDk) + "-vrvC.json";
    const QString ip = w.localIp();
    w.mapModel()->addRow(1, "keep0001", "99000000101", "sw");

    btn(w, "sshGetVrvCfgBtn")->click();
    QCOMPARE(typed(sent, 0),
             "mkdir -p /gateway/modbus\n cd /gateway/modbus \n cp vrvC.json " + name + " \n tftp -pr " + name
                 + " " + ip + " 5069\n rm -rf " + name + " \n ");
    QCOMPARE(w.sshPendingOpCode(), 6);
    QVERIFY(!w.centralWidget()->isEnabled());
    emit tftp(w)->sigRcvOneFile(name);
    QTRY_COMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(w.mapModel()->rowCount(), 1);  // the map is not touched
    QCOMPARE(w.statusText(), u("获取设备多联机空调控制器配置成功") + m_root->path() + "/" + name);
    QCOMPARE(texts(), QStringList({u("获取设备多联机空调控制器配置成功") + name + u("\n请修改配置文件，确认无误后再下载配置")}));

    // Nothing to install on the PC: said so, nothing sent.
    m_dialogs.clear();
    btn(w, "sshDownloadVrvCfgBtn")->click();
    QCOMPARE(texts(), QStringList({u("未找到") + m_root->path() + "/" + name + u(", 请先获取多联机室内机点位配置并修改")}));
    QCOMPARE(sent.count(), 1);
    writeFile(m_root->filePath(name), R"({"vrv":[]})");
    m_dialogs.clear();
    btn(w, "sshDownloadVrvCfgBtn")->click();
    QCOMPARE(m_dialogs[0].title, u("是否下载多联机空调配置"));
    QCOMPARE(m_dialogs[0].text, u("该操作会将{") + m_root->path() + "/" + name + u("} 下载到网关中, 覆盖网关中原的多联机空调配置"));
    QCOMPARE(typed(sent, 1), "mkdir -p /gateway/modbus \n cd /gateway/modbus \n tftp -gr " + name + " "
                                 + ip + " 5069\n");
    QCOMPARE(w.sshPendingOpCode(), 7);
    emit tftp(w)->sigSendOneFile(name);
    QTRY_COMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(typed(sent, 3), QString("md5sum /gateway/modbus/vrvC.json \n"));
    const QString install = typed(sent, 2);
    QVERIFY2(QRegularExpression(
                 QString("^cd /gateway/modbus \\ncp vrvC\\.json %1-\\d{8}_\\d{6}-vrvC\\.json \\nmv %1-vrvC\\.json vrvC\\.json\\n"
                         "cd /gateway/ \\n")
                     .arg(kDk))
                 .match(install)
                 .hasMatch(),
             qPrintable(install));
    QVERIFY(install.endsWith("cd /gateway/ \nkill -9 $(pidof busrelay) \nkill -9 $(pidof busrelay) \n"
                             "kill -9 $(pidof relay_start.sh) \nkill -9 $(pidof relay_start.sh) \n"
                             "/gateway/modbus/relay_start.sh & \n"));
    QCOMPARE(w.statusText(), u("下发多联机空调配置成功 ") + name);
    QCOMPARE(m_dialogs.last().text, u("下发多联机空调配置成功 ") + name + u(" ,等待modbus程序自动重启加载新配置..."));

    // Their timeouts are reported like the others'.
    m_dialogs.clear();
    btn(w, "sshGetVrvCfgBtn")->click();
    w.onSshCmdTimerTimeout();
    QCOMPARE(leads(), QStringList({u("获取设备多联机空调控制器配置超时!!!")}));
    QVERIFY(w.centralWidget()->isEnabled());
}

void TstRemoteFlows::relayVersionAndTimeout()
{
    MainWindow w;
    QSignalSpy sent(&w, &MainWindow::sigSendSshCmd);
    prepare(w);
    const QString name = QString(kDk) + "-ver.txt";
    auto *cur = label(w, "curRelaySoftverLabel");
    cur->setText("stale");

    btn(w, "getRelaySoftverBtn")->click();
    QCOMPARE(cur->text(), QString(" "));
    QCOMPARE(typed(sent, 0),
             "mkdir -p /gateway/modbus\n cd /gateway/modbus \n cp ver.txt " + name + " \n tftp -pr " + name + " "
                 + w.localIp() + " 5069\n rm -rf " + name + " \n ");
    QCOMPARE(w.sshPendingOpCode(), 4);
    // Only the connect button is held; the rest of the window stays usable.
    QVERIFY(w.centralWidget()->isEnabled());
    QVERIFY(!btn(w, "sshConnectBtn")->isEnabled());
    writeFile(m_root->filePath(name), "QXGW-RJ-RELAY-T3-V1.1\r\nbuilt 2022\r\n");
    emit tftp(w)->sigRcvOneFile(name);
    QTRY_COMPARE(cur->text(), QString("QXGW-RJ-RELAY-T3-V1.1"));
    QVERIFY(btn(w, "sshConnectBtn")->isEnabled());

    // A missing file, then the real 3 s timer and a late report.
    QFile::remove(m_root->filePath(name));
    btn(w, "getRelaySoftverBtn")->click();
    emit tftp(w)->sigRcvOneFile(name);
    QTRY_COMPARE(texts(), QStringList({u("解析modbus服务版本失败1!")}));
    m_dialogs.clear();
    m_shell.silent = true;  // the shell never finishes: the timer ends the flow
    QElapsedTimer t;
    t.start();
    btn(w, "getRelaySoftverBtn")->click();
    // Wait for the timeout box by its text: a start-up package-check box may come first.
    const auto timedOut = [this]() {
        for (const auto &r : m_dialogs)
            if (r.text.startsWith(u("获取设备modbus服务版本超时!!!!\n请检查:")))
                return true;
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(timedOut(), 15000);
    // The timer is precise: never early.
    QCOMPARE(w.findChild<QTimer *>("sshCmdTimer")->timerType(), Qt::PreciseTimer);
    QVERIFY(t.elapsed() >= 3000);
    QCOMPARE(w.statusText(), u("获取设备modbus服务版本超时!!!!"));
    QCOMPARE(w.sshPendingOpCode(), 0);
    writeFile(m_root->filePath(name), "QXGW-late\n");
    emit tftp(w)->sigRcvOneFile(name);
    QCOMPARE(cur->text(), QString(" "));
}

void TstRemoteFlows::upgradeGateway()
{
    MainWindow w;
    QSignalSpy sent(&w, &MainWindow::sigSendSshCmd);
    writePackage("gateway.exe", "gwver.txt", "T3 gateway program", "QXGW-RJ-MQTT-T3-V2.0");
    prepare(w);
    const QString root = m_root->path();
    auto *cur = label(w, "curGwSoftwareVerLabel");
    auto *dst = label(w, "gwDstVerLabel");
    QCOMPARE(dst->text(), QString("QXGW-RJ-MQTT-T3-V2.0"));

    struct Case { QString target, current; QString text; };
    const QList<Case> cases = {
        {"", "QXGW-RJ-MQTT-T3-V1.0", u("请检查") + root + u("目录下网关升级包!")},
        {"V2.0", "QXGW-RJ-MQTT-T3-V1.0", u("请检查") + root + u("目录下网关升级包!")},
        {"QXGW-RJ-MQTT-T3-V2.0", " ", u("请先点击<获得网关信息>!")},
        {"QXGW-RJ-MQTT-T3-V2.0", "QXGW-S-WFRJ-MQTT-V1", u("网关硬件平台与升级包硬件平台(T3)不一致")},
        {"QXGW-S-WFRJ-MQTT-V2", "QXGW-RJ-MQTT-T3-V1.0", u("网关硬件平台与升级包硬件平台(v3s)不一致")},
        {"QXGW-OTHER-V2", "QXGW-RJ-MQTT-T3-V1.0", u("未识别的目标版本硬件平台")},
        {"QXGW-RJ-MQTT-T3-V2.0", "QXGW-RJ-MQTT-T3-V2.0", u("当前网关版本与升级包版本一致，不需要更新!")},
    };
    for (const Case &c : cases) {
        dst->setText(c.target);
        cur->setText(c.current);
        m_dialogs.clear();
        w.on_upgradeGwSoftwareBtn_clicked();
        QCOMPARE(texts(), QStringList({c.text}));
    }
    // The connection is checked after the versions.
    w.onSshConnectStateChanged(false, "10.200.9.2", 22, QString());
    dst->setText("QXGW-RJ-MQTT-T3-V2.0");
    cur->setText("QXGW-RJ-MQTT-T3-V1.0");
    m_dialogs.clear();
    w.on_upgradeGwSoftwareBtn_clicked();
    QCOMPARE(texts(), QStringList({u("请先连接ssh服务器!")}));
    QCOMPARE(sent.count(), 0);

    w.onSshConnectStateChanged(true, "10.200.9.2", 22, QString());
    m_dialogs.clear();
    btn(w, "upgradeGwSoftwareBtn")->click();
    QCOMPARE(m_dialogs[0].title, u("是否更新网关程序"));
    QCOMPARE(m_dialogs[0].text, u("该操作将网关QXGW-RJ-MQTT-T3-V1.0升级为QXGW-RJ-MQTT-T3-V2.0"));
    QCOMPARE(typed(sent, 0), "cd /tmp \n tftp -gr gateway.exe " + w.localIp() + " 5069\n");
    QCOMPARE(w.sshPendingOpCode(), 3);
    QCOMPARE(w.findChild<QTimer *>("sshCmdTimer")->interval(), 52000);
    QVERIFY(!btn(w, "sshConnectBtn")->isEnabled());
    emit tftp(w)->sigSendOneFile("gateway.exe");
    QTRY_COMPARE(sent.count(), 2);
    QCOMPARE(typed(sent, 1), QString("cd /gateway/cpp/main \n./gateway_upgrade.sh /tmp/\n"));
    // Installed, but success only once the gateway answers the search with the new version.
    QTRY_COMPARE(w.statusText(), u("网关程序已安装, 等待网关应答搜索...."));
    QCOMPARE(m_dialogs.size(), 1);
    w.flowRunner()->gatewayAnswered(kDk, "QXGW-RJ-MQTT-T3-V1.0");  // the old program, still up
    QCOMPARE(w.sshPendingOpCode(), 3);
    auto *relayCur = label(w, "curRelaySoftverLabel");
    relayCur->setText("stale");
    m_shell.ver = "QXGW-RJ-RELAY-T3-V1.1";
    w.flowRunner()->gatewayAnswered(kDk, "QXGW-RJ-MQTT-T3-V2.0");
    QCOMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(w.statusText(), u("更新网关程序成功 gateway.exe"));
    QCOMPARE(m_dialogs.last().text, u("更新网关程序成功 gateway.exe ,网关已以新版本QXGW-RJ-MQTT-T3-V2.0重新应答"));
    // Both running versions are read again, quietly: busrelay's over the shell;
    // without a 7F link the gateway's is unknown rather than the old one.
    QTRY_COMPARE(relayCur->text(), QString("QXGW-RJ-RELAY-T3-V1.1"));
    QCOMPARE(cur->text(), QString(" "));
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(w.statusText(), u("更新网关程序成功 gateway.exe"));

    // The upgrade script missing: the shell's words, no success.
    m_shell.status = 127;
    m_shell.err = "/bin/sh: ./gateway_upgrade.sh: not found\n";
    m_shell.ver = "QXGW-RJ-RELAY-T3-V1.0";
    cur->setText("QXGW-RJ-MQTT-T3-V1.0");
    m_dialogs.clear();
    btn(w, "upgradeGwSoftwareBtn")->click();
    emit tftp(w)->sigSendOneFile("gateway.exe");
    QTRY_COMPARE(w.sshPendingOpCode(), 0);
    QCOMPARE(m_dialogs.last().kind, DialogSeam::Warning);
    QCOMPARE(m_dialogs.last().text, u("更新网关程序失败!\n/bin/sh: ./gateway_upgrade.sh: not found\n命令返回状态127"));
    // A failed upgrade reads the versions too.
    QTRY_COMPARE(relayCur->text(), QString("QXGW-RJ-RELAY-T3-V1.0"));
    QCOMPARE(m_dialogs.size(), 2);
    const int sentBefore = sent.count();

    // A package changed after its check is not sent; the box is about it alone
    // (this root has no busrelay package either).
    cur->setText("QXGW-RJ-MQTT-T3-V1.0");
    writeFile(m_root->filePath("gateway.exe"), "T3 gateway program, changed");
    m_dialogs.clear();
    btn(w, "upgradeGwSoftwareBtn")->click();
    QCOMPARE(sent.count(), sentBefore);
    QCOMPARE(texts(), QStringList{u("网关程序md5校验错误，请检查修正") + root + u("/gateway.exe\r\n如不需要升级网关可忽略该告警.")});
    QVERIFY(!btn(w, "upgradeGwSoftwareBtn")->isEnabled());
}

void TstRemoteFlows::upgradeRelay()
{
    MainWindow w;
    QSignalSpy sent(&w, &MainWindow::sigSendSshCmd);
    const QString v13 = "QXGW-RJ-RELAY-T3-V1.3";
    QVERIFY(PackageZip::writePair(m_root->path(), v13, PackageZip::installable(v13)));
    prepare(w);
    auto *cur = label(w, "curRelaySoftverLabel");
    auto *dst = label(w, "rlyDstVerLabel");
    QCOMPARE(dst->text(), v13);

    struct Case { QString target, current, text; };
    const QList<Case> cases = {
        {"", "", u("请检查") + m_root->path() + u("目录下modbus升级包")},
        {v13, "QXGW-S-WFRJ-RELAY-V3S-1", u("网关硬件平台与modbus升级包硬件平台(T3)不一致")},
        {"QXGW-S-WFRJ-RELAY-V3S-2", "QXGW-RJ-RELAY-T3-V1", u("网关硬件平台与modbus升级包硬件平台(V3S)不一致")},
        {"QXGW-RELAY-X", "", u("未识别的目标版本硬件平台")},
    };
    for (const Case &c : cases) {
        dst->setText(c.target);
        cur->setText(c.current);
        m_dialogs.clear();
        w.on_upgradeRelayBtn_clicked();
        QCOMPARE(texts(), QStringList({c.text}));
    }
    QCOMPARE(sent.count(), 0);

    // No service version known: the platform check passes (first installation).
    dst->setText(v13);
    cur->setText(" ");
    m_dialogs.clear();
    btn(w, "upgradeRelayBtn")->click();
    QCOMPARE(m_dialogs[0].title, u("是否更新modbus程序"));
    QCOMPARE(m_dialogs[0].text, u("该操作将网关中modbus替换为为目标版本modbus程序"));
    QVERIFY(!m_dialogs[0].cautious);
    QCOMPARE(typed(sent, 0), "cd /tmp \n tftp -gr modbus.zip " + w.localIp() + " 5069\n");
    QCOMPARE(w.sshPendingOpCode(), 5);
    // The gateway's scripts fail: the service never comes back, and
    // the engineer sees what the shell said instead of a success.
    m_shell.pid.clear();
    m_shell.err = "/bin/sh: /gateway/modbus/set_mb_autorun.sh: not found\n";
    const int probesAtInstall = m_shell.probes;
    emit tftp(w)->sigSendOneFile("modbus.zip");
    QTRY_VERIFY(sent.count() >= 3);
    // The probe's answer (no service) is judged before the time runs out.
    QTRY_VERIFY_WITH_TIMEOUT(m_shell.probes > probesAtInstall, 10000);
    QCOMPARE(typed(sent, 1),
             QString("cd /gateway/ \nkill -9 $(pidof busrelay) \nkill -9 $(pidof busrelay) \n"
                     "kill -9 $(pidof relay_start.sh) \nkill -9 $(pidof relay_start.sh) \n"
                     "unzip -o /tmp/modbus.zip \nchmod 777 /gateway/modbus/* \nrm -rf /tmp/modbus.zip \n"
                     "/gateway/modbus/set_mb_autorun.sh \n/gateway/modbus/relay_start.sh & \n"));
    QCOMPARE(w.sshPendingOpCode(), 5);
    m_shell.ver = "QXGW-RJ-RELAY-T3-V1.3-broken";
    w.onSshCmdTimerTimeout();  // the probe's 20 s
    QCOMPARE(m_dialogs.size(), 2);
    QCOMPARE(m_dialogs[1].kind, DialogSeam::Warning);
    QCOMPARE(m_dialogs[1].text, u("更新modbus程序后, modbus服务在20秒内未以新版本运行\n"
                                  "/bin/sh: /gateway/modbus/set_mb_autorun.sh: not found\nmodbus服务(busrelay)未运行"));
    // What the gateway holds now is shown, read without a box.
    QTRY_COMPARE(cur->text(), QString("QXGW-RJ-RELAY-T3-V1.3-broken"));
    QCOMPARE(m_dialogs.size(), 2);

    // Running, but the old version: still no success.
    m_shell.err.clear();
    m_shell.pid = "300";
    m_shell.ver = "QXGW-RJ-RELAY-T3-V1.2";
    cur->setText(m_shell.ver);
    m_dialogs.clear();
    const int probesBefore = m_shell.probes;
    btn(w, "upgradeRelayBtn")->click();
    emit tftp(w)->sigSendOneFile("modbus.zip");
    QTRY_VERIFY(w.statusText() == u("modbus程序已安装, 等待modbus服务启动...."));
    QTRY_VERIFY_WITH_TIMEOUT(m_shell.probes > probesBefore, 5000);  // the old version was seen
    QCOMPARE(w.sshPendingOpCode(), 5);
    // The new version comes up: success, after the version check, and the label follows.
    m_shell.ver = v13;
    QTRY_COMPARE_WITH_TIMEOUT(w.sshPendingOpCode(), 0, 10000);
    QCOMPARE(w.statusText(), u("更新modbus程序成功 modbus.zip"));
    QCOMPARE(m_dialogs.last().kind, DialogSeam::Information);
    QCOMPARE(m_dialogs.last().text, u("更新modbus程序成功 modbus.zip ,modbus服务已运行, 版本QXGW-RJ-RELAY-T3-V1.3"));
    QTRY_COMPARE(cur->text(), v13);
    QCOMPARE(m_dialogs.size(), 2);

    // The same version again: a cautious question offers the reinstall. It is
    // done only when a new process runs: the old one, still up with the same
    // version, is no proof.
    int before = sent.count();
    m_shell.restarts = false;
    m_dialogs.clear();
    const int probesAtReinstall = m_shell.probes;
    btn(w, "upgradeRelayBtn")->click();
    emit tftp(w)->sigSendOneFile("modbus.zip");
    QCOMPARE(m_dialogs[0].title, u("是否重新安装modbus程序"));
    QVERIFY(m_dialogs[0].text.startsWith(u("modbus不需要更新!\n")) && m_dialogs[0].cautious);
    QTRY_VERIFY_WITH_TIMEOUT(m_shell.probes > probesAtReinstall, 5000);
    QCOMPARE(w.sshPendingOpCode(), 5);
    QCOMPARE(typed(sent, before + 1), QString("echo __MDK_PID=$(pidof busrelay) \n"));
    cur->setText("?");
    w.onSshCmdTimerTimeout();
    QCOMPARE(m_dialogs.last().text, u("重新安装modbus程序后, modbus服务在20秒内未以新进程运行\nmodbus服务仍是原进程 ")
                                        + m_shell.pid);
    QTRY_COMPARE(cur->text(), v13);  // read again after the failure
    m_shell.restarts = true;
    m_dialogs.clear();
    btn(w, "upgradeRelayBtn")->click();
    emit tftp(w)->sigSendOneFile("modbus.zip");
    QTRY_COMPARE_WITH_TIMEOUT(m_dialogs.size(), 2, 10000);
    QCOMPARE(m_dialogs[1].text, u("重新安装modbus程序成功 modbus.zip ,modbus服务已重新运行, 版本QXGW-RJ-RELAY-T3-V1.3"));

    QTRY_COMPARE(cur->text(), v13);
    before = sent.count();

    // Replaced after the scan by a package without its scripts (its digest
    // matches): refused before anything is sent, naming what is missing, and
    // nothing about the gateway program's package (there is none here).
    QList<PackageZip::Entry> scriptless = PackageZip::installable(v13);
    scriptless.removeAt(3);
    scriptless.removeAt(2);
    QVERIFY(PackageZip::writePair(m_root->path(), v13, scriptless));
    QVERIFY(btn(w, "upgradeRelayBtn")->isEnabled());
    cur->setText("QXGW-RJ-RELAY-T3-V1.2");
    m_dialogs.clear();
    btn(w, "upgradeRelayBtn")->click();
    QCOMPARE(texts(), QStringList{u("modbus升级包内容有误，请检查修正") + m_root->path()
                                  + u("/modbus.zip\nmodbus.zip中缺少modbus/relay_start.sh、modbus/set_mb_autorun.sh")});
    QCOMPARE(sent.count(), before);
    QVERIFY(!btn(w, "upgradeRelayBtn")->isEnabled());
    // Replaced by another whole version: not sent under the version the engineer saw.
    QVERIFY(PackageZip::writePair(m_root->path(), v13, PackageZip::installable(v13)));
    btn(w, "rescanPackagesBtn")->click();
    QCOMPARE(dst->text(), v13);
    QVERIFY(PackageZip::writePair(m_root->path(), "QXGW-RJ-RELAY-T3-V1.5", PackageZip::installable("QXGW-RJ-RELAY-T3-V1.5")));
    m_dialogs.clear();
    btn(w, "upgradeRelayBtn")->click();
    QCOMPARE(texts(), QStringList{u("升级包已更换为QXGW-RJ-RELAY-T3-V1.5, 请重新确认后再升级")});
    QCOMPARE(sent.count(), before);
    QCOMPARE(dst->text(), QString("QXGW-RJ-RELAY-T3-V1.5"));

    btn(w, "upgradeRelayBtn")->click();
    w.onSshCmdTimerTimeout();
    QCOMPARE(leads().last(), u("下发modbus程序超时!!!"));
}

QTEST_MAIN(TstRemoteFlows)
#include "tst_remoteflows.moc"
