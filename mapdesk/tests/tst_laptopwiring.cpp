// needs: namespace
// The main window's field-laptop panels: the network choice beside the local
// IP (with an address made in the test's namespace), the debug log and SSH
// console in the debug area, the start-up package check in the upgrade tab
// instead of boxes, greyed disabled buttons, and the test panel that follows
// the selected gateway; the status bar's flow step and transfer progress on
// a bar of their own.
#include "debuglogview.h"
#include "dialogseam.h"
#include "localinterfaces.h"
#include "elidedlabel.h"
#include "mainwindow.h"
#include "pointlistview.h"
#include "qtftpwidget.h"
#include "qttranslation.h"
#include "remoteflows.h"
#include "statusbarprogress.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QTextEdit>
#include <QtTest>

#include <unistd.h>

namespace {
bool ip(const QStringList &args)
{
    QProcess p;
    p.start("ip", args);
    return p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The TFTP engine binds in its own thread, late on a loaded machine: true once
// it answers a stray acknowledgement (with ERROR 4, no transfer starts), at
// most about 10 s. Its own socket, so a late answer cannot reach the test's peer.
bool tftpAnswers()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return false;
    for (int i = 0; i < 50; ++i) {
        probe.writeDatagram(QByteArray("\x00\x04\x00\x00", 4), QHostAddress::LocalHost, 5069);
        if (probe.waitForReadyRead(200))
            return true;
    }
    return false;
}
// The status bar's progress on a bar of its own, fed by a TFTP panel and a flow runner.
struct StatusRig {
    QStatusBar bar;
    QtftpWidget tftp;
    RemoteFlowRunner runner{nullptr};
    StatusBarProgress progress{&bar, &runner, &tftp};
};
} // namespace

class TstLaptopWiring : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void startupWithoutBoxes();
    void networkChoiceFollowsGateway();
    void debugAreaAndConsole();
    void transferInStatusBar();
    void flowStepInStatusBar();
    void exportedPointListShown();
    void qtTextsInChinese();

private:
    QList<DialogSeam::Request> m_dialogs;
    bool m_veth = false;
};

void TstLaptopWiring::initTestCase()
{
    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        m_dialogs.append(r);
        return true;
    });
    if (geteuid() == 0)
        m_veth = ip({"link", "add", "lwv0", "type", "veth", "peer", "name", "lwv1"})
                 && ip({"addr", "add", "10.200.31.5/24", "dev", "lwv0"})
                 && ip({"addr", "add", "10.200.32.6/24", "dev", "lwv1"}) && ip({"link", "set", "lwv0", "up"})
                 && ip({"link", "set", "lwv1", "up"});
    // New links are listed a moment later (the kernel adds their IPv6 addresses meanwhile).
    for (int i = 0; m_veth && i < 30 && LocalInterfaces::list().size() < 2; ++i)
        QTest::qWait(100);
}

void TstLaptopWiring::cleanupTestCase()
{
    DialogSeam::setResponder(nullptr);
    if (m_veth)
        ip({"link", "del", "lwv0"});
}

void TstLaptopWiring::startupWithoutBoxes()
{
    // The program's data folder has no packages: said in the upgrade tab, no box.
    m_dialogs.clear();
    MainWindow w;
    QVERIFY2(m_dialogs.isEmpty(), qPrintable(m_dialogs.value(0).text));
    auto *gwLabel = w.findChild<QLabel *>("gwDstVerLabel");
    auto *mbLabel = w.findChild<QLabel *>("rlyDstVerLabel");
    QVERIFY2(gwLabel->text().startsWith(QString::fromUtf8("未找到网关升级包,请检查")), qPrintable(gwLabel->text()));
    QVERIFY(gwLabel->toolTip().contains(QString::fromUtf8("如不需要升级网关可忽略该告警")));
    QVERIFY(mbLabel->text().startsWith(QString::fromUtf8("未找到modbus升级包,请检查")));
    auto *upgrade = w.findChild<QPushButton *>("upgradeGwSoftwareBtn");
    QVERIFY(!upgrade->isEnabled());
    QVERIFY(upgrade->styleSheet().contains(":disabled"));
    QVERIFY(upgrade->styleSheet().contains("background-color: rgb(252, 175, 62)"));  // its own colour when usable

    // The status bar holds the flow step and the transfer, hidden until used.
    QVERIFY(w.statusBar()->findChild<QLabel *>("flowStepLabel")->isHidden());
    QVERIFY(w.statusBar()->findChild<QProgressBar *>("statusTransferBar")->isHidden());

    // Editing the TFTP root re-checks once typing pauses, and asks with boxes now.
    QTemporaryDir other;
    QFile exe(other.filePath("gateway.exe"));
    QVERIFY(exe.open(QIODevice::WriteOnly));
    exe.write("exe");
    exe.close();
    QFile ver(other.filePath("gwver.txt"));
    QVERIFY(ver.open(QIODevice::WriteOnly));
    ver.write("QXGW-S-WFRJ-MQTT-V3\n" + QCryptographicHash::hash("exe", QCryptographicHash::Md5).toHex() + "\n");
    ver.close();
    auto *edit = w.findChild<QtftpWidget *>("widget")->findChild<QLineEdit *>("root");
    edit->setText(other.path().left(3));
    edit->setText(other.path());
    QTRY_COMPARE_WITH_TIMEOUT(gwLabel->text(), QString("QXGW-S-WFRJ-MQTT-V3"), 10000);
    QCOMPARE(m_dialogs.size(), 1);  // one check, one box: the missing modbus package
    QCOMPARE(m_dialogs[0].title, QString("warn"));
    QVERIFY(upgrade->isEnabled());
}

void TstLaptopWiring::networkChoiceFollowsGateway()
{
    if (!m_veth)
        QSKIP("needs root and a private network namespace to make interfaces");
    MainWindow w;
    auto *combo = w.findChild<LocalIpComboBox *>("localIpCombo");
    QVERIFY(combo);
    QCOMPARE(combo->count(), 2);
    QCOMPARE(w.localIp(), combo->currentIp());
    QCOMPARE(w.findChild<QLabel *>("localIpLabel")->text(), QString::fromUtf8("本机IP:") + w.localIp());

    // Selecting a gateway picks the address on its subnet and points the test panel at it.
    auto *gateways = w.findChild<QComboBox *>("gwInfoComboBox");
    gateways->addItem("10.200.32.9  /  99000000002  /  V1  (gw1)", "gw1_10.200.32.9_99000000002_V1");
    QCOMPARE(w.gatewayIp(), QString("10.200.32.9"));
    QCOMPARE(w.gatewayKey(), QString("gw1"));
    QCOMPARE(w.localIp(), QString("10.200.32.6"));
    QCOMPARE(w.findChild<QLabel *>("localIpLabel")->text(), QString::fromUtf8("本机IP:10.200.32.6"));
    QCOMPARE(w.findChild<QLineEdit *>("portEdit")->text(), QString("10.200.32.9:502"));
    gateways->addItem("gw2_10.200.31.77_99000000003_V2");  // an entry in the plain form still selects
    gateways->setCurrentIndex(1);
    QCOMPARE(w.gatewayIp(), QString("10.200.31.77"));
    QCOMPARE(w.localIp(), QString("10.200.31.5"));

    // The engineer's own choice counts.
    combo->setCurrentIndex(combo->findData("10.200.32.6"));
    QCOMPARE(w.localIp(), QString("10.200.32.6"));
}

void TstLaptopWiring::debugAreaAndConsole()
{
    MainWindow w;
    auto *log = w.findChild<DebugLogView *>();
    auto *console = w.findChild<SshConsoleView *>();
    QVERIFY(log && console);
    // The form's receive log is the view's display.
    auto *recv = w.findChild<QTextEdit *>("gwRecTextEdit");
    QCOMPARE(log->textView(), recv);

    w.onSshSlotDataArrived("echo hi\nhi\n", "10.200.32.9", 22);
    QCOMPARE(console->text(), QString("echo hi\nhi\n"));
    QVERIFY(recv->toPlainText().contains("echo hi\nhi"));
    log->setShown(DebugLogView::Ssh, false);
    QVERIFY(!recv->toPlainText().contains("echo hi"));
    QCOMPARE(console->text(), QString("echo hi\nhi\n"));  // the console keeps everything
    log->setShown(DebugLogView::Ssh, true);

    // Long sessions no longer wipe the log: the last lines stay.
    for (int i = 0; i < 3000; ++i)
        w.onSshSlotDataArrived(QString("line %1 of a long session output\n").arg(i), "10.200.32.9", 22);
    QVERIFY(recv->toPlainText().endsWith("line 2999 of a long session output"));
    QVERIFY(recv->toPlainText().contains("line 100 of a long"));
    w.findChild<QPushButton *>("gwClearRcvBufBtn")->click();
    QVERIFY(recv->toPlainText().isEmpty());
}

void TstLaptopWiring::transferInStatusBar()
{
    QTemporaryDir dir;
    QFile f(dir.filePath("fw.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(3000, 'x'));
    f.close();

    StatusRig r;
    r.bar.show();
    r.tftp.findChild<QLineEdit *>("root")->setText(dir.path());
    r.tftp.findChild<QPushButton *>("start")->click();
    QVERIFY(r.tftp.isServerRunning());
    QVERIFY2(tftpAnswers(), "the TFTP server does not answer on port 5069");
    auto *bar = r.bar.findChild<QProgressBar *>("statusTransferBar");
    auto *text = r.bar.findChild<ElidedLabel *>("statusTransferLabel");
    QVERIFY(bar && text);
    QVERIFY(!bar->isVisible());

    // A client fetches the file block by block.
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
    peer.writeDatagram(QByteArray("\x00\x01" "fw.bin\0octet\0", 15), QHostAddress::LocalHost, 5069);
    for (int b = 1; b <= 6; ++b) {
        QVERIFY(peer.waitForReadyRead(2000));
        QByteArray data(600, 0);
        QHostAddress from;
        quint16 port = 0;
        data.resize(int(peer.readDatagram(data.data(), data.size(), &from, &port)));
        QCOMPARE(int(quint8(data[3])), b);
        peer.writeDatagram(QByteArray("\x00\x04\x00", 3) + char(b), from, port);
    }
    QTRY_VERIFY_WITH_TIMEOUT(text->fullText().endsWith(QString::fromUtf8("完成")), 3000);
    QVERIFY2(text->fullText().startsWith(QString::fromUtf8("发送 fw.bin: 2.9 KB / 2.9 KB")), qPrintable(text->fullText()));
    QVERIFY(bar->isVisible() && text->isVisible());
    QCOMPARE(bar->value(), 100);
    r.tftp.findChild<QPushButton *>("start")->click();
}

void TstLaptopWiring::flowStepInStatusBar()
{
    StatusRig r;
    auto *label = r.bar.findChild<ElidedLabel *>("flowStepLabel");
    QVERIFY(label);
    QVERIFY(label->isHidden());
    FlowContext c;
    c.gatewayKey = "gwl0000001";
    c.localIp = "10.200.31.5";
    c.tftpRoot = "/pc";
    QVERIFY(r.runner.start(RemoteFlows::plan(RemoteFlows::GetMapJson, c)));
    QVERIFY(!label->isHidden());
    QCOMPARE(label->fullText(), QString::fromUtf8("步骤1/1: 网关经TFTP送回gwl0000001-map.json"));
    r.runner.expire();  // its failure box is answered by the responder
    QCOMPARE(r.runner.pendingCode(), 0);
    QVERIFY(label->isHidden());
}

void TstLaptopWiring::exportedPointListShown()
{
    MainWindow w;
    auto *btn = w.findChild<QPushButton *>("sshExportPointsBtn");
    QVERIFY(btn);
    QCOMPARE(btn->text(), QString::fromUtf8("导出点表"));
    // Without a shell the flow does not start.
    btn->click();
    QCOMPARE(m_dialogs.last().text, QString::fromUtf8("请先连接ssh服务器!"));
    QCOMPARE(w.flowRunner()->pendingCode(), 0);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QFile f(root.filePath("gwl0000001-points.csv"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("\xEF\xBB\xBFunit,table,address\r\n2,holding register,7\r\n1,holding register,3\r\n"
            "1,coil,0\r\n");
    f.close();
    FlowContext c;
    c.gatewayKey = "gwl0000001";
    c.localIp = "10.200.31.5";
    c.tftpRoot = root.path();
    QSignalSpy sent(w.flowRunner(), &RemoteFlowRunner::sendCommand);
    QVERIFY(w.flowRunner()->start(RemoteFlows::plan(RemoteFlows::ExportPoints, c)));
    const QString cmd = sent.last().at(0).toString();
    const QString tok = cmd.section("echo __MDK_", 1, 1).section("_$?", 0, 0);
    QVERIFY(!tok.isEmpty());
    w.flowRunner()->fileReceived("gwl0000001-points.csv");
    w.flowRunner()->shellOutput("__MDK_" + tok + "_0\n");
    w.flowRunner()->shellError("__MDK_" + tok + "_E\n");
    QCOMPARE(w.flowRunner()->pendingCode(), 0);
    auto *view = w.findChild<PointListView *>("pointListView");
    QVERIFY(view);
    QVERIFY(!view->window()->isHidden());
    QCOMPARE(view->shownCount(), 3);
    QCOMPARE(view->units(), QStringList({"1", "2"}));
    QCOMPARE(view->shownTable().rows.last().first(), QString("2"));  // sorted by unit, then address
}

void TstLaptopWiring::qtTextsInChinese()
{
    // Standard buttons and file dialogs speak the tool's language.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("Cancel"));
    QVERIFY2(QtTranslation::loadChinese(qApp), "no qt_zh_CN.qm (package qttranslations5-l10n)");
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("取消"));
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Open"), QString::fromUtf8("打开"));
}

QTEST_MAIN(TstLaptopWiring)
#include "tst_laptopwiring.moc"
