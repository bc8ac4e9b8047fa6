// needs: namespace
// Discovery and the 7F connection over a veth link between two network
// namespaces this test creates (10.200.7.0/24 exists only inside them): the
// tool side is this process, the gateway side a peer in the other namespace,
// first a scripted fake, then gwsim when it has been built. The 7F panel's
// own texts for a failed connect and for timeouts are tst_panels'.
#include "dialogseam.h"
#include "fakegateway.h"
#include "mainwindow.h"
#include "devicelisttable.h"
#include "statuslook.h"
#include "netnspair.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTableView>
#include <QTextEdit>
#include <QtTest>

namespace {

const char kToolIp[] = "10.200.7.1";
const char kGwIp[] = "10.200.7.2";
const char kGwKey[] = "gw7f0001";

} // namespace

class TstGateway7F : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void discovery();
    void commandsAgainstFake();
    void peerDropsConnection();
    void againstGwsim();

private:
    void connectTool(MainWindow &w);
    QString status(MainWindow &w) { return w.statusText(); }

    NetnsPair m_net{"md", kToolIp, kGwIp};
    FakeGateway *m_fake = nullptr;
    QList<DialogSeam::Request> m_dialogs;
};

void TstGateway7F::initTestCase()
{
    QString why;
    if (!m_net.up(&why)) {
        m_net.down();
        QSKIP(qPrintable("network namespaces not available: " + why));
    }
}

void TstGateway7F::cleanupTestCase()
{
    delete m_fake;
    m_fake = nullptr;
    m_net.down();
}

void TstGateway7F::init()
{
    m_dialogs.clear();
    DialogSeam::setResponder([this](const DialogSeam::Request &r) {
        if (r.title == "warn")
            return true;  // the start-up upgrade package check
        m_dialogs.append(r);
        return true;
    });
    if (QByteArray(QTest::currentTestFunction()) == "againstGwsim")
        return;
    // A fresh fake per test, its sockets made on the gateway side.
    QVERIFY(m_net.enterGateway());
    m_fake = new FakeGateway(kGwKey);
    const bool ok = m_fake->start();
    QVERIFY(m_net.enterTool());
    QVERIFY2(ok, "fake gateway cannot bind 9980/9981");
    m_fake->discoveryAnswers = {FakeGateway::discoveryAnswer(kGwKey, kGwIp, "99000000002XYZ", "V1.0.3")};
}

void TstGateway7F::cleanup()
{
    DialogSeam::setResponder(nullptr);
    delete m_fake;
    m_fake = nullptr;
}

void TstGateway7F::connectTool(MainWindow &w)
{
    // Found as a search finds it; the list selects its first gateway.
    w.discovery()->takeReply(FakeGateway::discoveryAnswer(kGwKey, kGwIp, "99000000002XYZ", "V1.0.3"));
    QCOMPARE(w.discovery()->found().size(), 1);
    QCOMPARE(w.gatewayIp(), QString(kGwIp));
    QCOMPARE(w.gatewayKey(), QString(kGwKey));
    QMetaObject::invokeMethod(&w, "onGw7FConnectBtnPressed");
    QTRY_VERIFY_WITH_TIMEOUT(w.is7FConnected(), 3000);
    QVERIFY(m_fake->waitForConnection(2000));
}

void TstGateway7F::discovery()
{
    // The gateway answers twice, plus junk and an answer without "sn".
    m_fake->discoveryAnswers.append(FakeGateway::discoveryAnswer(kGwKey, kGwIp, "99000000002XYZ", "V1.0.3"));
    m_fake->discoveryAnswers.append("not json");
    m_fake->discoveryAnswers.append(FakeGateway::discoveryAnswer("gw7f0002", kGwIp, "", "V1"));

    MainWindow w;
    QCOMPARE(w.localIp(), QString(kToolIp));
    auto *btn = w.findChild<QPushButton *>("gwDetectBtn");
    auto *combo = w.findChild<QComboBox *>("gwInfoComboBox");
    auto *conBtn = w.findChild<QPushButton *>("gw7FConnectBtn");
    btn->click();
    QCOMPARE(btn->text(), QString::fromUtf8("停止探测"));
    QCOMPARE(status(w), QString::fromUtf8("探测网关..."));
    QVERIFY(!combo->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 2, 3000);
    QCOMPARE(m_fake->discoveryRequests, QList<QByteArray>{"{\"cmd\":\"getAllGateway\"}"});
    // Shown readable; the search keeps each answer's fields, and the
    // selection takes the gateway from there.
    const QString shown = QString("%1  /  99000000002  /  V1.0.3  (%2)").arg(kGwIp, kGwKey);
    QCOMPARE(combo->itemText(0), shown);
    QCOMPARE(combo->itemText(1), shown);
    const QVector<FoundGateway> &found = w.discovery()->found();
    QCOMPARE(found.size(), 2);
    for (const FoundGateway &gw : found) {
        QCOMPARE(gw.deviceKey, QString(kGwKey));
        QCOMPARE(gw.ip, QString(kGwIp));
        QCOMPARE(gw.serial, QString("99000000002XYZ"));
        QCOMPARE(gw.version, QString("V1.0.3"));
    }
    QCOMPARE(w.gatewayIp(), QString(kGwIp));
    QCOMPARE(w.gatewayKey(), QString(kGwKey));
    QCOMPARE(w.serialNumber(), QString("99000000002XYZ"));
    QCOMPARE(w.serialPrefix(), QString("99000000002"));
    QVERIFY(!conBtn->isEnabled());

    // The run ends by its 5 s timer.
    QTRY_COMPARE_WITH_TIMEOUT(status(w), QString::fromUtf8("探测网关完毕"), 7000);
    QCOMPARE(btn->text(), QString::fromUtf8("1.开始探测"));
    QVERIFY(combo->isEnabled());
    QVERIFY(conBtn->isEnabled());
    QVERIFY(w.findChild<QPushButton *>("sshConnectBtn")->isEnabled());

    // A second run stopped by the button: status cleared, list refilled.
    btn->click();
    QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 2, 3000);
    btn->click();
    QCOMPARE(w.discovery()->found().size(), 2);
    QVERIFY(status(w).isEmpty());
    QVERIFY(conBtn->isEnabled());

    // A run without any answer says so and what to check.
    m_fake->discoveryAnswers.clear();
    btn->click();
    QTRY_VERIFY_WITH_TIMEOUT(status(w).startsWith(QString::fromUtf8("未找到网关: ")), 7000);
    QVERIFY(status(w).contains("UDP 9980"));
    QCOMPARE(combo->count(), 0);
    QVERIFY(w.discovery()->found().isEmpty());
    QVERIFY(!conBtn->isEnabled());
}

void TstGateway7F::commandsAgainstFake()
{
    m_fake->version = "V2.3.4";
    m_fake->deviceList = QJsonArray{
        QJsonObject{{"aid", 3}, {"deviceKey", "swa30001"}, {"sn", "99000000101000123"}},
        QJsonObject{{"aid", 4}, {"deviceKey", "dim10001"}, {"sn", "99000000102000456"}},
        QJsonObject{{"aid", 5}, {"deviceKey", ""}, {"sn", "99000000102000457"}},
        "junk"};
    m_fake->deleteError = 12;
    m_fake->onCommand = [this](const QByteArray &, const QJsonObject &o) -> QByteArray {
        // A report in the same segment ahead of the list must not cost the answer.
        if (o["cmd"].toString() == "getAllDeviceKey")
            return FakeGateway::frame("local/x/swa30001", QJsonObject{{"deviceKey", "swa30001"}, {"power", 1}})
                   + m_fake->answerFor(o);
        return m_fake->answerFor(o);
    };

    MainWindow w;
    connectTool(w);
    auto *label = w.findChild<QLabel *>("gw7FStatusLabel");
    QCOMPARE(label->text(), QString::fromUtf8("已连接到网关gw7f0001"));
    QCOMPARE(label->styleSheet(), StatusLook::green());
    QCOMPARE(status(w), QString::fromUtf8("连接成功"));
    QVERIFY(!w.findChild<QPushButton *>("gwDetectBtn")->isEnabled());
    QVERIFY(!w.findChild<QComboBox *>("gwInfoComboBox")->isEnabled());

    // Version read: busy while pending, exact topic and payload.
    QMetaObject::invokeMethod(&w, "on_getGwInfoBtn_clicked");
    QCOMPARE(w.pendingOpCode(), 1);
    QVERIFY(!w.centralWidget()->isEnabled());
    QCOMPARE(status(w), QString::fromUtf8("获取gw7f0001网关版本..."));
    QMetaObject::invokeMethod(&w, "on_gw7FGetAllDevInfoBtn_clicked");  // refused while pending
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].text, QString::fromUtf8("等待其他操作完成!"));
    QTRY_COMPARE_WITH_TIMEOUT(w.pendingOpCode(), 0, 3000);
    QVERIFY(w.centralWidget()->isEnabled());
    QCOMPARE(w.findChild<QLabel *>("curGwSoftwareVerLabel")->text(), QString("V2.3.4"));
    QCOMPARE(status(w), QString::fromUtf8("获取网关版本成功!"));
    QCOMPARE(m_fake->commands.size(), 1);
    QCOMPARE(m_fake->commands[0].first, QByteArray("local/gw7f0001/gw7f0001/command"));
    QCOMPARE(m_fake->commands[0].second.keys(), QStringList({"cmd", "sno"}));
    QVERIFY(QRegularExpression("^\\d{14}$").match(m_fake->commands[0].second["sno"].toString()).hasMatch());

    // Device list.
    QMetaObject::invokeMethod(&w, "on_gw7FGetAllDevInfoBtn_clicked");
    QCOMPARE(w.findChild<QTimer *>("7fCmdTimer")->interval(), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(w.pendingOpCode(), 0, 3000);
    QCOMPARE(status(w), QString::fromUtf8("拉取网关设备列表成功!"));
    QStandardItemModel *dev = w.deviceList()->model();
    QCOMPARE(dev->rowCount(), 2);
    QCOMPARE(dev->item(0, 0)->text(), QString("3"));
    QCOMPARE(dev->item(1, 2)->text(), QString("99000000102"));
    QCOMPARE(dev->item(1, 3)->text(), QString("dimmer1c"));
    auto *log = w.findChild<QTextEdit *>("gwRecTextEdit");
    QVERIFY(log->toPlainText().contains(QString::fromUtf8(" 接收到数据:]")));
    QVERIFY(log->toPlainText().contains("local/x/swa30001"));

    // Delete refused by the gateway with a code the table does not know.
    auto *dv = w.findChild<QTableView *>("allDevTableView");
    dv->setCurrentIndex(dev->index(1, 0));
    m_dialogs.clear();
    QMetaObject::invokeMethod(&w, "deleteOnePlcDevDilog");
    QCOMPARE(m_dialogs.size(), 1);
    QCOMPARE(m_dialogs[0].title, QString::fromUtf8("是否删除"));
    QCOMPARE(m_dialogs[0].text, QString::fromUtf8("该操作会将网关中dim10001删除"));
    QCOMPARE(w.findChild<QTimer *>("7fCmdTimer")->interval(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(w.pendingOpCode(), 0, 3000);
    QCOMPARE(status(w), QString::fromUtf8("删除plc设备dim10001失败!!!!未知错误"));
    QCOMPARE(dev->rowCount(), 2);
    const QJsonObject del = m_fake->commands.last().second;
    QCOMPARE(del["channel"].toString(), QString("plc"));
    QCOMPARE(del["data"].toObject()["deviceKey"].toString(), QString("dim10001"));
    QVERIFY(log->toPlainText().contains(QString::fromUtf8(" 发送数据:]")));

    // Accepted: the row goes.
    m_fake->deleteError = 0;
    QMetaObject::invokeMethod(&w, "deleteOnePlcDevDilog");
    QTRY_COMPARE_WITH_TIMEOUT(w.pendingOpCode(), 0, 3000);
    QCOMPARE(status(w), QString::fromUtf8("删除plc设备dim10001成功!"));
    QCOMPARE(dev->rowCount(), 1);
    QCOMPARE(dev->item(0, 1)->text(), QString("swa30001"));

    // Keep-alive: answered with the same 9 bytes, nothing logged.
    const QString before = log->toPlainText();
    m_fake->rawIn.clear();
    m_fake->send(FakeGateway::keepAlive());
    QTRY_COMPARE_WITH_TIMEOUT(m_fake->rawIn, FakeGateway::keepAlive(), 2000);
    QCOMPARE(m_fake->keepAlivesIn, 1);
    QCOMPARE(log->toPlainText(), before);

    // Debug send goes out as typed, with no pending state.
    w.findChild<QLineEdit *>("gwTopicLineEdit")->setText("local/a/b/command");
    w.findChild<QTextEdit *>("gwPayLoadTextEdit")->setPlainText("{\"cmd\":\"x\"}");
    QMetaObject::invokeMethod(&w, "on_gwSndCmdBtn_clicked");
    QTRY_COMPARE_WITH_TIMEOUT(m_fake->commands.last().first, QByteArray("local/a/b/command"), 2000);
    QCOMPARE(w.pendingOpCode(), 0);
}

void TstGateway7F::peerDropsConnection()
{
    MainWindow w;
    connectTool(w);
    w.deviceList()->addRow(1, "swa30001", "99000000101");
    m_fake->drop();
    QTRY_VERIFY_WITH_TIMEOUT(!w.is7FConnected(), 3000);
    QCOMPARE(status(w), QString::fromUtf8("网关连接断开"));
    auto *label = w.findChild<QLabel *>("gw7FStatusLabel");
    QCOMPARE(label->text(), QString::fromUtf8("网关连接断开"));
    QCOMPARE(label->styleSheet(), StatusLook::red());
    QCOMPARE(w.deviceList()->model()->rowCount(), 0);
    QVERIFY(w.findChild<QPushButton *>("gwDetectBtn")->isEnabled());
    QCOMPARE(w.findChild<QPushButton *>("gw7FConnectBtn")->text(), QString::fromUtf8("2.连接网关"));

    // Connect again, then disconnect from the tool's side.
    QMetaObject::invokeMethod(&w, "onGw7FConnectBtnPressed");
    QTRY_VERIFY_WITH_TIMEOUT(w.is7FConnected(), 3000);
    QCOMPARE(w.findChild<QPushButton *>("gw7FConnectBtn")->text(), QString::fromUtf8("2.断开网关连接"));
    QMetaObject::invokeMethod(&w, "onGw7FConnectBtnPressed");
    QTRY_VERIFY_WITH_TIMEOUT(!w.is7FConnected(), 3000);
}

void TstGateway7F::againstGwsim()
{
    const QString gwsim = qEnvironmentVariable("BIN_DIR") + "/gwsim";
    if (!QFileInfo(gwsim).isExecutable())
        QSKIP(qPrintable("gwsim not built (looked for " + gwsim + "); set BIN_DIR to its folder"));

    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start("ip", {"netns", "exec", m_net.gwNs, gwsim});
    QVERIFY(sim.waitForStarted(3000));
    QTest::qWait(500);

    MainWindow w;
    auto *combo = w.findChild<QComboBox *>("gwInfoComboBox");
    auto *detect = w.findChild<QPushButton *>("gwDetectBtn");
    // gwsim may still be starting on a loaded machine: search again, a few times.
    for (int i = 0; i < 6 && combo->count() == 0; ++i) {
        detect->click();
        for (int k = 0; k < 40 && combo->count() == 0; ++k)
            QTest::qWait(50);
        detect->click();  // stop the run
    }
    QVERIFY(combo->count() >= 1);
    QVERIFY2(w.gatewayIp() == kGwIp, qPrintable(combo->itemText(0)));
    const QString key = w.gatewayKey();
    QVERIFY(!key.isEmpty());

    QMetaObject::invokeMethod(&w, "onGw7FConnectBtnPressed");
    QTRY_VERIFY_WITH_TIMEOUT(w.is7FConnected(), 3000);
    QMetaObject::invokeMethod(&w, "on_getGwInfoBtn_clicked");
    QTRY_COMPARE_WITH_TIMEOUT(w.pendingOpCode(), 0, 6000);
    QCOMPARE(status(w), QString::fromUtf8("获取网关版本成功!"));
    QVERIFY(!w.findChild<QLabel *>("curGwSoftwareVerLabel")->text().trimmed().isEmpty());

    QMetaObject::invokeMethod(&w, "on_gw7FGetAllDevInfoBtn_clicked");
    QTRY_COMPARE_WITH_TIMEOUT(w.pendingOpCode(), 0, 16000);
    QCOMPARE(status(w), QString::fromUtf8("拉取网关设备列表成功!"));
    QVERIFY(w.deviceList()->model()->rowCount() > 0);

    const int rows = w.deviceList()->model()->rowCount();
    auto *dv = w.findChild<QTableView *>("allDevTableView");
    dv->setCurrentIndex(w.deviceList()->model()->index(rows - 1, 0));
    const QString dk = w.deviceList()->model()->item(rows - 1, 1)->text();
    QMetaObject::invokeMethod(&w, "deleteOnePlcDevDilog");
    QTRY_COMPARE_WITH_TIMEOUT(w.pendingOpCode(), 0, 11000);
    QVERIFY2(status(w).startsWith(QString::fromUtf8("删除plc设备") + dk), qPrintable(status(w)));
    QVERIFY(m_dialogs.size() == 1);  // only the confirmation: no timeout box

    sim.terminate();
    if (!sim.waitForFinished(3000))
        sim.kill();
    sim.waitForFinished(1000);
}

QTEST_MAIN(TstGateway7F)
#include "tst_gateway7f.moc"
