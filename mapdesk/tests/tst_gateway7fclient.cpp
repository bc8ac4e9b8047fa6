// needs: namespace
// The 7F client on its own, without a window: the asynchronous connect (an
// address that never answers, a refused port, a peer on loopback), the one
// pending command, the answers it accepts and the keep-alive. The address
// that never answers sits behind a veth link of this test's private network
// namespace, at a hardware address nobody has: packets sent there vanish.
#include "frame7f.h"
#include "gateway7fclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

namespace {
const char kKey[] = "gwc00001";

QByteArray answer(const QJsonObject &o)
{
    return Frame7F::build(QByteArray("local/") + kKey + "/" + kKey,
                          QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString snoOf(const QByteArray &frameBytes)
{
    QByteArray buf = frameBytes, topic, payload;
    if (Frame7F::take(buf, &topic, &payload) != Frame7F::Message)
        return QString();
    return QJsonDocument::fromJson(payload).object().value("sno").toString();
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
        if (QProcess::execute("ip", st) != 0)
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
    QProcess::execute("ip", {"link", "del", "md7fca"});
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
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    Gateway7FClient c;
    QSignalSpy ok(&c, &Gateway7FClient::connected);
    QSignalSpy version(&c, &Gateway7FClient::versionAnswered);
    QSignalSpy devices(&c, &Gateway7FClient::deviceListAnswered);
    QSignalSpy deleted(&c, &Gateway7FClient::deleteAnswered);
    QSignalSpy ended(&c, &Gateway7FClient::commandEnded);
    QSignalSpy timedOut(&c, &Gateway7FClient::commandTimedOut);
    c.connectToGateway("127.0.0.1", kKey, server.serverPort());
    QVERIFY(ok.wait(5000));
    QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(3000));
    QTcpSocket *peer = server.nextPendingConnection();
    // One whole frame from the client (its writes go out from the event loop).
    auto received = [peer]() {
        QByteArray got;
        for (int i = 0; i < 150; ++i) {
            got += peer->readAll();
            QByteArray copy = got;
            if (Frame7F::take(copy, nullptr, nullptr) != Frame7F::NeedMore)
                break;
            QTest::qWait(20);
        }
        return got;
    };

    // Version: an answer with another sno is not taken; the right one is.
    QCOMPARE(c.sendCommand(Gateway7FClient::ReadVersion), Gateway7FClient::Sent);
    QCOMPARE(c.sendCommand(Gateway7FClient::GetAllDevices), Gateway7FClient::Busy);
    const QString sno = snoOf(received());
    QCOMPARE(sno.size(), 14);
    QJsonObject a{{"cmd", "read"}, {"deviceKey", kKey}, {"sno", "19990101000000"},
                  {"metadata", QJsonObject{{"softwareVersion", "QXGW-RJ-MQTT-T3-V9"}}}};
    peer->write(answer(a));
    a["sno"] = sno;
    // A keep-alive and the right answer in one write: both handled.
    peer->write(Frame7F::keepAlive() + answer(a));
    QVERIFY(version.wait(3000));
    QCOMPARE(version.count(), 1);
    QCOMPARE(version.at(0).at(0).toString(), QString("QXGW-RJ-MQTT-T3-V9"));
    QCOMPARE(c.pendingCommand(), 0);
    QCOMPARE(received(), Frame7F::keepAlive());

    // Device list: elements without key or sn are skipped.
    QCOMPARE(c.sendCommand(Gateway7FClient::GetAllDevices), Gateway7FClient::Sent);
    received();
    peer->write(answer(QJsonObject{
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
    QByteArray buf = received(), topic, payload;
    QCOMPARE(Frame7F::take(buf, &topic, &payload), Frame7F::Message);
    const QJsonObject del = QJsonDocument::fromJson(payload).object();
    QCOMPARE(del["data"].toObject()["deviceKey"].toString(), QString("dev\"3"));
    QJsonObject d{{"cmd", "delDevice"}, {"deviceKey", kKey}, {"sno", del["sno"]},
                  {"data", QJsonObject{{"deviceKey", "dev1"}}}, {"errorCode", 0}};
    peer->write(answer(d));
    d["data"] = QJsonObject{{"deviceKey", "dev\"3"}};
    d["errorCode"] = 12;
    peer->write(answer(d));
    QVERIFY(deleted.wait(3000));
    QCOMPARE(deleted.count(), 1);
    QCOMPARE(deleted.at(0).at(1).toInt(), 12);

    // Timeout: the command ends, a late answer changes nothing.
    QCOMPARE(c.sendCommand(Gateway7FClient::ReadVersion), Gateway7FClient::Sent);
    a["sno"] = snoOf(received());
    c.expireCommand();
    QCOMPARE(timedOut.count(), 1);
    QCOMPARE(timedOut.at(0).at(0).toInt(), 1);
    QCOMPARE(c.pendingCommand(), 0);
    peer->write(answer(a));
    QTest::qWait(200);
    QCOMPARE(version.count(), 1);
    QCOMPARE(ended.count(), 4);

    // The peer goes away.
    QSignalSpy gone(&c, &Gateway7FClient::disconnected);
    peer->close();
    QVERIFY(gone.wait(3000));
    QVERIFY(!c.isConnected());
}

void TstGateway7FClient::garbageIsSkippedToTheNextFrame()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    Gateway7FClient c;
    QSignalSpy ok(&c, &Gateway7FClient::connected);
    QSignalSpy frames(&c, &Gateway7FClient::frameReceived);
    QSignalSpy keepAlives(&c, &Gateway7FClient::keepAliveAnswered);
    c.connectToGateway("127.0.0.1", kKey, server.serverPort());
    QVERIFY(ok.wait(5000));
    QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(3000));
    QTcpSocket *peer = server.nextPendingConnection();

    // Noise before a frame, and a head with an absurd topic length before a
    // keep-alive and a frame, all in one write: the bad bytes are dropped up
    // to the next 0x7F and everything behind them still arrives.
    const QByteArray badHead("\x7F\xFF\xFF\xFF\xFF", 5);
    peer->write(QByteArray("noise") + answer(QJsonObject{{"n", 1}}) + badHead +
                Frame7F::keepAlive() + answer(QJsonObject{{"n", 2}}));
    QTRY_COMPARE_WITH_TIMEOUT(frames.count(), 2, 3000);
    QCOMPARE(keepAlives.count(), 1);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject o = QJsonDocument::fromJson(frames.at(i).at(1).toByteArray()).object();
        QCOMPARE(o.value("n").toInt(), i + 1);
    }
    QVERIFY(c.isConnected());
}

QTEST_MAIN(TstGateway7FClient)
#include "tst_gateway7fclient.moc"
