// needs: namespace
// The 7F client on its own, without a window: the asynchronous connect (an
// address that never answers, a refused port, a peer on loopback), the one
// pending command, the answers it accepts and the keep-alive. The address
// that never answers sits behind a veth link of this test's private network
// namespace, at a hardware address nobody has: packets sent there vanish.
#include "fakegateway.h"
#include "gateway7fclient.h"
#include "netnspair.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

namespace {
const char kKey[] = "gwc00001";

// c connected to gw on loopback; gw holds every answer for the test to write.
bool connectToFake(FakeGateway &gw, Gateway7FClient &c)
{
    gw.mode = FakeGateway::Hold;
    if (!gw.start(QHostAddress::LocalHost, 0, 0))
        return false;
    QSignalSpy ok(&c, &Gateway7FClient::connected);
    c.connectToGateway("127.0.0.1", kKey, gw.tcpPort());
    return ok.wait(5000) && gw.waitForConnection(3000);
}
} // namespace

class TstGateway7FClient : public QObject
{
    Q_OBJECT
private slots:
    void connectNeverAnswered();
    void connectRefused();
    void commandsAndAnswers();
    void garbageIsSkippedToTheNextFrame();
};

void TstGateway7FClient::connectNeverAnswered()
{
    if (getuid() != 0)
        QSKIP("needs root for a dummy interface in the private namespace");
    const QList<QStringList> steps = {
        {"link", "add", "md7fca", "type", "veth", "peer", "name", "md7fcb"},
        {"addr", "add", "10.200.6.1/24", "dev", "md7fca"},
        {"link", "set", "md7fca", "up"},
        {"link", "set", "md7fcb", "up"},
        // Frames for a hardware address nobody has: the SYN goes out and vanishes.
        {"neigh", "add", "10.200.6.2", "lladdr", "02:00:00:00:7f:01", "dev", "md7fca", "nud", "permanent"},
    };
    for (const QStringList &st : steps)
        if (!NetnsPair::ip(st))
            QSKIP("cannot make the silent link (not inside a private namespace?)");

    Gateway7FClient c;
    QSignalSpy ok(&c, &Gateway7FClient::connected);
    QSignalSpy failed(&c, &Gateway7FClient::connectFailed);
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, [&ticks]() { ++ticks; });
    tick.start(50);
    c.connectToGateway("10.200.6.2", kKey);
    // The call returns at once; the answer comes from the event loop.
    QVERIFY(c.isConnecting());
    QCOMPARE(failed.count(), 0);
    QVERIFY(failed.wait(Gateway7FClient::kConnectWaitMs + 3000));
    QCOMPARE(ok.count(), 0);
    QVERIFY(!c.isConnected() && !c.isConnecting());
    // A blocking wait would have let at most a tick or two through.
    QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks)));
    QCOMPARE(c.sendCommand(Gateway7FClient::ReadVersion), Gateway7FClient::NotConnected);
    NetnsPair::ip({"link", "del", "md7fca"});
}

void TstGateway7FClient::connectRefused()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();  // nobody listens there now

    Gateway7FClient c;
    QSignalSpy failed(&c, &Gateway7FClient::connectFailed);
    c.connectToGateway("127.0.0.1", kKey, port);
    QVERIFY(failed.wait(5000));
    QVERIFY(!c.isConnecting());
    // A second attempt is possible at once.
    c.connectToGateway("127.0.0.1", kKey, port);
    QVERIFY(c.isConnecting());
    QVERIFY(failed.wait(5000));
}

void TstGateway7FClient::commandsAndAnswers()
{
    FakeGateway gw(kKey);
    Gateway7FClient c;
    QSignalSpy version(&c, &Gateway7FClient::versionAnswered);
    QSignalSpy devices(&c, &Gateway7FClient::deviceListAnswered);
    QSignalSpy deleted(&c, &Gateway7FClient::deleteAnswered);
    QSignalSpy ended(&c, &Gateway7FClient::commandEnded);
    QSignalSpy timedOut(&c, &Gateway7FClient::commandTimedOut);
    QVERIFY(connectToFake(gw, c));
    // The client's next command (its writes go out from the event loop).
    auto nextCommand = [&gw]() {
        const int before = gw.commands.size();
        const QByteArray f = gw.nextFrame(3000);
        return !f.isEmpty() && gw.commands.size() == before + 1 ? gw.commands.last().second : QJsonObject();
    };

    // Version: an answer with another sno is not taken; the right one is.
    QCOMPARE(c.sendCommand(Gateway7FClient::ReadVersion), Gateway7FClient::Sent);
    QCOMPARE(c.sendCommand(Gateway7FClient::GetAllDevices), Gateway7FClient::Busy);
    const QString sno = nextCommand().value("sno").toString();
    QCOMPARE(sno.size(), 14);
    QJsonObject a{{"cmd", "read"}, {"deviceKey", kKey}, {"sno", "19990101000000"},
                  {"metadata", QJsonObject{{"softwareVersion", "QXGW-RJ-MQTT-T3-V9"}}}};
    gw.send(gw.answerFrame(a));
    a["sno"] = sno;
    // A keep-alive and the right answer in one write: both handled.
    gw.send(FakeGateway::keepAlive() + gw.answerFrame(a));
    QVERIFY(version.wait(3000));
    QCOMPARE(version.count(), 1);
    QCOMPARE(version.at(0).at(0).toString(), QString("QXGW-RJ-MQTT-T3-V9"));
    QCOMPARE(c.pendingCommand(), 0);
    QCOMPARE(gw.nextFrame(3000), FakeGateway::keepAlive());
    QVERIFY(gw.rawIn.isEmpty());

    // Device list: elements without key or sn are skipped.
    QCOMPARE(c.sendCommand(Gateway7FClient::GetAllDevices), Gateway7FClient::Sent);
    QCOMPARE(nextCommand().value("cmd").toString(), QString("getAllDeviceKey"));
    gw.send(gw.answerFrame(QJsonObject{
        {"cmd", "getAllDeviceKey"},
        {"deviceList", QJsonArray{QJsonObject{{"aid", 3}, {"deviceKey", "dev1"}, {"sn", "99000000101000123"}},
                                  QJsonObject{{"aid", 4}, {"deviceKey", "dev2"}},
                                  QJsonObject{{"aid", 5}, {"deviceKey", "dev3"}, {"sn", "99000000102"}}}}}));
    QVERIFY(devices.wait(3000));
    const auto list = devices.at(0).at(0).value<QVector<Gateway7FDevice>>();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].aid, 3);
    QCOMPARE(list[0].sn, QString("99000000101"));
    QCOMPARE(list[1].deviceKey, QString("dev3"));

    // Delete: the answer must name the device asked for.
    QCOMPARE(c.sendCommand(Gateway7FClient::DeleteDevice, "dev\"3"), Gateway7FClient::Sent);
    const QJsonObject del = nextCommand();
    QCOMPARE(del["data"].toObject()["deviceKey"].toString(), QString("dev\"3"));
    QJsonObject d{{"cmd", "delDevice"}, {"deviceKey", kKey}, {"sno", del["sno"]},
                  {"data", QJsonObject{{"deviceKey", "dev1"}}}, {"errorCode", 0}};
    gw.send(gw.answerFrame(d));
    d["data"] = QJsonObject{{"deviceKey", "dev\"3"}};
    d["errorCode"] = 12;
    gw.send(gw.answerFrame(d));
    QVERIFY(deleted.wait(3000));
    QCOMPARE(deleted.count(), 1);
    QCOMPARE(deleted.at(0).at(1).toInt(), 12);

    // Timeout: the command ends, a late answer changes nothing.
    QCOMPARE(c.sendCommand(Gateway7FClient::ReadVersion), Gateway7FClient::Sent);
    a["sno"] = nextCommand().value("sno");
    QCOMPARE(a["sno"].toString().size(), 14);
    c.expireCommand();
    QCOMPARE(timedOut.count(), 1);
    QCOMPARE(timedOut.at(0).at(0).toInt(), 1);
    QCOMPARE(c.pendingCommand(), 0);
    gw.send(gw.answerFrame(a));
    QTest::qWait(200);
    QCOMPARE(version.count(), 1);
    QCOMPARE(ended.count(), 4);

    // The peer goes away.
    QSignalSpy gone(&c, &Gateway7FClient::disconnected);
    gw.drop();
    QVERIFY(gone.wait(3000));
    QVERIFY(!c.isConnected());
}

void TstGateway7FClient::garbageIsSkippedToTheNextFrame()
{
    FakeGateway gw(kKey);
    Gateway7FClient c;
    QSignalSpy frames(&c, &Gateway7FClient::frameReceived);
    QSignalSpy keepAlives(&c, &Gateway7FClient::keepAliveAnswered);
    QVERIFY(connectToFake(gw, c));

    // Noise before a frame, and a head with an absurd topic length before a
    // keep-alive and a frame, all in one write: the bad bytes are dropped up
    // to the next 0x7F and everything behind them still arrives.
    const QByteArray badHead("\x7F\xFF\xFF\xFF\xFF", 5);
    gw.send(QByteArray("noise") + gw.answerFrame(QJsonObject{{"n", 1}}) + badHead + FakeGateway::keepAlive()
            + gw.answerFrame(QJsonObject{{"n", 2}}));
    QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 2, 3000);
    QCOMPARE(keepAlives.count(), 1);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject o = QJsonDocument::fromJson(frames.at(i).at(1).toByteArray()).object();
        QCOMPARE(o.value("n").toInt(), i + 1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(gw.keepAlivesIn, 1, 3000);
    QVERIFY(c.isConnected());
}

QTEST_MAIN(TstGateway7FClient)
#include "tst_gateway7fclient.moc"
