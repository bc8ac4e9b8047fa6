// The gateway search without a window: answers parsed into the list, a
// flow's search that leaves the list alone, and a real datagram exchange on
// loopback.
#include "gatewaydiscovery.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

namespace {
QByteArray answer(const QString &dk, const QString &ip, const QString &sn, const QString &ver)
{
    return QString("{\"deviceKey\":\"%1\",\"function\":{\"ip\":\"%2\"},"
                   "\"metadata\":{\"sn\":\"%3\",\"softwareVersion\":\"%4\"}}")
        .arg(dk, ip, sn, ver)
        .toUtf8();
}
} // namespace

class TstGatewayDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void parseReply_data();
    void parseReply();
    void entryForm();
    void listAndProbe();
    void searchOnLoopback();
};

void TstGatewayDiscovery::parseReply_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("ok");
    QTest::newRow("whole") << answer("gw7f0001", "10.0.0.5", "99000000002000777", "V1.2") << true;
    QTest::newRow("no version") << answer("gw7f0001", "10.0.0.5", "99000000002", "") << true;
    QTest::newRow("no sn") << answer("gw7f0001", "10.0.0.5", "", "V1") << false;
    QTest::newRow("no key") << answer("", "10.0.0.5", "99000000002", "V1") << false;
    QTest::newRow("no ip") << answer("gw7f0001", "", "99000000002", "V1") << false;
    QTest::newRow("not json") << QByteArray("not json") << false;
    QTest::newRow("array") << QByteArray("[1]") << false;
    QTest::newRow("metadata not an object")
        << QByteArray("{\"deviceKey\":\"k\",\"function\":{\"ip\":\"1.2.3.4\"},\"metadata\":\"x\"}") << false;
    QTest::newRow("sn a number")
        << QByteArray("{\"deviceKey\":\"k\",\"function\":{\"ip\":\"1.2.3.4\"},\"metadata\":{\"sn\":5}}") << false;
}

void TstGatewayDiscovery::parseReply()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, ok);
    FoundGateway gw;
    QCOMPARE(GatewayDiscovery::parseReply(datagram, &gw), ok);
    if (ok) {
        QCOMPARE(gw.deviceKey, QString("gw7f0001"));
        QCOMPARE(gw.ip, QString("10.0.0.5"));
        QCOMPARE(gw.serialPrefix(), QString("99000000002"));
    }
}

void TstGatewayDiscovery::entryForm()
{
    FoundGateway gw;
    QVERIFY(GatewayDiscovery::parseReply(answer("gw7f0001", "10.0.0.5", "99000000002000777", "V1.2"), &gw));
    QCOMPARE(gw.serial, QString("99000000002000777"));
    QCOMPARE(gw.entry(), QString("gw7f0001_10.0.0.5_99000000002_V1.2"));
    FoundGateway back;
    QVERIFY(FoundGateway::fromEntry(gw.entry(), &back));
    QCOMPARE(back.deviceKey, gw.deviceKey);
    QCOMPARE(back.ip, gw.ip);
    QCOMPARE(back.serial, QString("99000000002"));
    QCOMPARE(back.version, QString("V1.2"));
    QVERIFY(FoundGateway::fromEntry("gwb_10.0.0.7_99000000003", &back));
    QCOMPARE(back.version, QString());
    // Five parts (a key holding "_"), too few, or an empty field: not taken apart.
    QVERIFY(!FoundGateway::fromEntry("gw_2_10.0.0.6_99000000002_v1", &back));
    QVERIFY(!FoundGateway::fromEntry("gw_10.0.0.6", &back));
    QVERIFY(!FoundGateway::fromEntry("_10.0.0.6_99000000002", &back));
    QCOMPARE(back.deviceKey, QString("gwb"));
}

void TstGatewayDiscovery::listAndProbe()
{
    GatewayDiscovery d;
    d.setPort(9);  // discard: nothing answers the sends here
    d.setTarget([]() { return QHostAddress(QHostAddress::LocalHost); });
    QSignalSpy answered(&d, &GatewayDiscovery::answered);
    QSignalSpy found(&d, &GatewayDiscovery::gatewayFound);

    d.start();
    QVERIFY(d.isSearching());
    d.takeReply(answer("gw1", "10.0.0.5", "99000000002000001", "V1"));
    d.takeReply("junk");
    d.takeReply(answer("gw2", "10.0.0.6", "99000000002000002", ""));
    QCOMPARE(d.found().size(), 2);
    QCOMPARE(d.found().at(1).deviceKey, QString("gw2"));
    QCOMPARE(found.size(), 2);
    QCOMPARE(found.at(1).at(0).toInt(), 1);
    QCOMPARE(answered.size(), 2);
    d.stop();
    QVERIFY(!d.isSearching());

    // A flow's search reports answers but keeps the engineer's list.
    d.probe();
    d.takeReply(answer("gw1", "10.0.0.5", "99000000002000001", "V2"));
    QCOMPARE(answered.size(), 3);
    QCOMPARE(answered.last().at(0).value<FoundGateway>().version, QString("V2"));
    QCOMPARE(d.found().size(), 2);
    // During the engineer's search the flow's answers are listed too.
    d.start();
    QCOMPARE(d.found().size(), 0);
    d.takeReply(answer("gw3", "10.0.0.7", "99000000002000003", "V1"));
    QCOMPARE(d.found().size(), 1);
    d.stop();
    d.endProbe();
    // A late answer after the search still lists.
    d.takeReply(answer("gw4", "10.0.0.8", "99000000002000004", "V1"));
    QCOMPARE(d.found().size(), 2);
}

void TstGatewayDiscovery::searchOnLoopback()
{
    QUdpSocket gateway;
    QVERIFY(gateway.bind(QHostAddress(QHostAddress::LocalHost), 0));
    GatewayDiscovery d;
    d.setPort(gateway.localPort());
    d.setTarget([]() { return QHostAddress(QHostAddress::LocalHost); });
    QSignalSpy timedOut(&d, &GatewayDiscovery::searchTimedOut);
    d.start();
    QTRY_VERIFY_WITH_TIMEOUT(gateway.hasPendingDatagrams(), 3000);
    const QNetworkDatagram req = gateway.receiveDatagram();
    QCOMPARE(req.data(), GatewayDiscovery::request());
    QCOMPARE(req.data(), QByteArray("{\"cmd\":\"getAllGateway\"}"));
    gateway.writeDatagram(answer("gwlo", "127.0.0.1", "99000000002000009", "V3"), req.senderAddress(),
                          quint16(req.senderPort()));
    QTRY_COMPARE_WITH_TIMEOUT(d.found().size(), 1, 3000);
    QCOMPARE(d.found().at(0).version, QString("V3"));
    // The search ends by its own timer.
    QTRY_COMPARE_WITH_TIMEOUT(timedOut.size(), 1, GatewayDiscovery::kSearchMs + 2000);
    QVERIFY(!d.isSearching());
}

QTEST_MAIN(TstGatewayDiscovery)
#include "tst_gatewaydiscovery.moc"
