// needs: namespace
// The PC's IPv4 addresses and the choice of the one on the gateway's subnet,
// with a veth pair and three addresses made inside the test's private
// network namespace.
#include "localinterfaces.h"

#include <QNetworkInterface>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

namespace {
bool ip(const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("ip", args);
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(1000);
        return false;
    }
    if (p.exitCode() != 0)
        qWarning().noquote() << "ip" << args.join(' ') << "->" << p.readAll().trimmed();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

int find(const QList<LocalInterface> &all, const QString &address)
{
    for (int i = 0; i < all.size(); ++i)
        if (all[i].address.toString() == address)
            return i;
    return -1;
}

// Right after a link changes, the kernel is still adding its IPv6 link-local
// address and a listing taken meanwhile can come back short: look again,
// bounded, until the address is (or is no longer) there.
bool listedSoon(const QString &address, bool present)
{
    for (int i = 0; i < 30; ++i) {
        if ((find(LocalInterfaces::list(), address) >= 0) == present)
            return true;
        QTest::qWait(100);
    }
    return false;
}

LocalInterface entry(const QString &name, const QString &address, int prefix)
{
    LocalInterface li;
    li.name = name;
    li.address = QHostAddress(address);
    li.prefixLength = prefix;
    return li;
}
} // namespace

class TstLocalInterfaces : public QObject
{
    Q_OBJECT
private slots:
    void choiceRules();
    void initTestCase();
    void listsTheNamespacesAddresses();
    void comboFollowsGatewayAndAdapters();
    void cleanupTestCase();

private:
    bool m_ready = false;
};

void TstLocalInterfaces::choiceRules()
{
    const QList<LocalInterface> all = {entry("vpn0", "10.8.0.6", 24), entry("eth0", "192.168.1.20", 24),
                                       entry("wide", "192.168.0.9", 16)};
    QCOMPARE(LocalInterfaces::indexForGateway(all, "192.168.1.1"), 1);    // /24 beats the /16 around it
    QCOMPARE(LocalInterfaces::indexForGateway(all, "192.168.77.3"), 2);
    QCOMPARE(LocalInterfaces::indexForGateway(all, "10.8.0.1"), 0);
    QCOMPARE(LocalInterfaces::indexForGateway(all, "172.16.0.1"), -1);
    QCOMPARE(LocalInterfaces::indexForGateway(all, ""), -1);
    QCOMPARE(LocalInterfaces::indexForGateway(all, "not-an-ip"), -1);
    QCOMPARE(LocalInterfaces::indexForGateway(all, "fe80::1"), -1);
    QCOMPARE(LocalInterfaces::defaultIndex(all, "172.16.0.1"), 0);  // no match: the first, as before
    QCOMPARE(LocalInterfaces::defaultIndex(all, "192.168.1.1"), 1);
    QCOMPARE(LocalInterfaces::defaultIndex({}, "192.168.1.1"), -1);
    QCOMPARE(all[1].label(), QString("eth0  192.168.1.20/24"));
}

void TstLocalInterfaces::initTestCase()
{
    if (geteuid() != 0)
        return;  // the namespace cases skip
    m_ready = ip({"link", "add", "mdv0", "type", "veth", "peer", "name", "mdv1"})
              && ip({"addr", "add", "10.200.1.5/24", "dev", "mdv0"})
              && ip({"addr", "add", "10.200.1.77/24", "dev", "mdv0"})
              && ip({"addr", "add", "10.200.9.9/16", "dev", "mdv1"}) && ip({"link", "set", "mdv0", "up"})
              && ip({"link", "set", "mdv1", "up"});
    // New links can take a moment to be reported with their addresses; wait
    // (bounded) and show what the system reports if they never are.
    for (int i = 0; m_ready && i < 30 && LocalInterfaces::list().size() < 3; ++i)
        QTest::qWait(100);
    if (m_ready && LocalInterfaces::list().size() < 3) {
        for (const QNetworkInterface &nif : QNetworkInterface::allInterfaces())
            qWarning() << nif.name() << nif.flags() << nif.addressEntries().size();
        ip({"-4", "addr"});
    }
}

void TstLocalInterfaces::cleanupTestCase()
{
    if (m_ready)
        ip({"link", "del", "mdv0"});
}

void TstLocalInterfaces::listsTheNamespacesAddresses()
{
    if (!m_ready)
        QSKIP("needs root and a private network namespace to make interfaces");
    const QList<LocalInterface> all = LocalInterfaces::list();
    QCOMPARE(all.size(), 3);  // loopback is left out
    const int a = find(all, "10.200.1.5"), b = find(all, "10.200.1.77"), c = find(all, "10.200.9.9");
    QVERIFY(a >= 0 && b >= 0 && c >= 0);
    QCOMPARE(all[a].name, QString("mdv0"));
    QCOMPARE(all[a].prefixLength, 24);
    QCOMPARE(all[a].netmask, QHostAddress("255.255.255.0"));
    QCOMPARE(all[a].broadcast, QHostAddress("10.200.1.255"));
    QCOMPARE(all[c].name, QString("mdv1"));
    QCOMPARE(all[c].prefixLength, 16);

    // 10.200.1.1 lies in both subnets: the /24 one; 10.200.50.1 only in the /16.
    QCOMPARE(all[LocalInterfaces::indexForGateway(all, "10.200.1.1")].name, QString("mdv0"));
    QCOMPARE(LocalInterfaces::indexForGateway(all, "10.200.50.1"), c);
    QCOMPARE(LocalInterfaces::indexForGateway(all, "10.201.0.1"), -1);

    // An interface that is down offers nothing.
    QVERIFY(ip({"link", "set", "mdv1", "down"}));
    QVERIFY(listedSoon("10.200.9.9", false));
    QVERIFY(ip({"link", "set", "mdv1", "up"}));
    QVERIFY(listedSoon("10.200.9.9", true));
}

void TstLocalInterfaces::comboFollowsGatewayAndAdapters()
{
    if (!m_ready)
        QSKIP("needs root and a private network namespace to make interfaces");
    LocalIpComboBox combo;
    QCOMPARE(combo.count(), 3);
    combo.chooseForGateway("10.200.1.1");
    QCOMPARE(combo.currentIp(), QString("10.200.1.5"));  // the first of the two on that subnet
    QSignalSpy changed(&combo, &LocalIpComboBox::localIpChanged);

    combo.chooseForGateway("10.200.50.1");
    QCOMPARE(combo.currentIp(), QString("10.200.9.9"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.last().at(0).toString(), QString("10.200.9.9"));
    QCOMPARE(combo.currentInterface().broadcast, QHostAddress("10.200.255.255"));
    QVERIFY(combo.currentText().contains("10.200.9.9/16"));

    // A gateway on no local subnet leaves the engineer's choice alone.
    combo.setCurrentIndex(combo.findData("10.200.1.77"));
    QCOMPARE(changed.count(), 2);
    combo.chooseForGateway("192.0.2.1");
    QCOMPARE(combo.currentIp(), QString("10.200.1.77"));

    // Listing again keeps the current address while it exists...
    combo.refresh();
    QCOMPARE(combo.currentIp(), QString("10.200.1.77"));
    QCOMPARE(changed.count(), 2);
    // ...and falls back to the default once it is gone.
    QVERIFY(ip({"addr", "del", "10.200.1.77/24", "dev", "mdv0"}));
    QVERIFY(listedSoon("10.200.1.77", false));
    combo.chooseForGateway("10.200.50.1");
    QCOMPARE(combo.currentIp(), QString("10.200.9.9"));
    combo.setCurrentIndex(combo.findData("10.200.1.77"));
    QCOMPARE(combo.currentIp(), QString("10.200.1.77"));  // still listed until refreshed
    combo.refresh();
    QCOMPARE(combo.count(), 2);
    QCOMPARE(combo.currentIp(), QString("10.200.9.9"));  // the last gateway's subnet
    QCOMPARE(changed.last().at(0).toString(), QString("10.200.9.9"));
    QVERIFY(ip({"addr", "add", "10.200.1.77/24", "dev", "mdv0"}));
}

QTEST_MAIN(TstLocalInterfaces)
#include "tst_localinterfaces.moc"
