// needs: namespace
// The 网关状态 view against the real service: busrelay with the sample
// configuration and gwsim reporting every 300 ms, in the test's private
// network namespace. Link state and its reconnect, a unit that goes offline,
// ages that stay fresh, the connection released when hidden, the message when
// both client places are taken, and the snapshot file.
#include "dialogseam.h"
#include "relayhealth.h"
#include "relaystatusview.h"
#include "testfiles.h"
#include "testprocess.h"
#include "utf8text.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace RelayHealth;

namespace {
const int kOnlineUnit = 1;   // swa30001
const int kFailingUnit = 2;  // dim10001, told to fail in the second half
const char kFailingKey[] = "dim10001";

void stop(QProcess &p)
{
    stopProcess(p, 5000);
}

// Waits for a reading of the view that satisfies done (seconds at most).
bool readingWhere(RelayStatusView &v, const std::function<bool(const Snapshot &)> &done, int seconds = 15)
{
    QSignalSpy updated(&v, &RelayStatusView::updated);
    for (int i = 0; i < 2 * seconds; ++i) {
        if (v.snapshot().valid() && done(v.snapshot()))
            return true;
        updated.wait(500);
    }
    return v.snapshot().valid() && done(v.snapshot());
}

QString cell(const RelayStatusView &v, int unit, int column)
{
    auto *t = v.findChild<QTableWidget *>("relayUnitTable");
    for (int r = 0; r < t->rowCount(); ++r)
        if (t->item(r, 0) && t->item(r, 0)->text() == QString::number(unit))
            return t->item(r, column)->text();
    return QString("(no row)");
}
} // namespace

class TstRelayStatus : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void linkUnitsAndReconnect();
    void placesAndRelease();

private:
    void startGwsim(const QStringList &extra);
    QTemporaryDir m_dir;
    QProcess m_gwsim;
    QProcess m_busrelay;
    QMap<int, QString> m_names{{1, "swa30001  hall"}, {2, "dim10001  dimmer"}, {3, "thm10001  thermostat"}};
};

void TstRelayStatus::startGwsim(const QStringList &extra)
{
    m_gwsim.setProcessChannelMode(QProcess::MergedChannels);
    m_gwsim.setWorkingDirectory(m_dir.path());
    m_gwsim.start(qEnvironmentVariable("BIN_DIR") + "/gwsim", QStringList{"--report-ms", "300"} + extra);
    QVERIFY(m_gwsim.waitForStarted(3000));
}

void TstRelayStatus::initTestCase()
{
    const QString bin = qEnvironmentVariable("BIN_DIR");
    if (!QFileInfo(bin + "/busrelay").isExecutable() || !QFileInfo(bin + "/gwsim").isExecutable())
        QSKIP(qPrintable("needs busrelay and gwsim in BIN_DIR (" + bin + ")"));
    DialogSeam::setResponder([](const DialogSeam::Request &) { return true; });
    const QString sample = qEnvironmentVariable("SOURCE_DIR") + "/busrelay/sample";
    QVERIFY(copyTree(sample, m_dir.path()));
    startGwsim({});
    m_busrelay.setProcessChannelMode(QProcess::MergedChannels);
    m_busrelay.setWorkingDirectory(m_dir.path());
    m_busrelay.start(bin + "/busrelay", QStringList());
    QVERIFY(m_busrelay.waitForStarted(3000));
}

void TstRelayStatus::cleanupTestCase()
{
    stop(m_busrelay);
    stop(m_gwsim);
    DialogSeam::setResponder(nullptr);
}

void TstRelayStatus::linkUnitsAndReconnect()
{
    RelayStatusView v;
    v.setUnitNames([this]() { return m_names; });
    v.setGatewayHost("127.0.0.1");
    QVERIFY(!v.isConnected());  // nothing before it is shown
    v.show();
    QVERIFY2(readingWhere(v, [](const Snapshot &s) {
                 return s.counters[LinkUp] == 1 && s.online.testBit(kOnlineUnit) && s.online.testBit(kFailingUnit)
                        && s.ages[kOnlineUnit] < 5;
             }),
             qPrintable(v.stateText()));
    QVERIFY(v.snapshot().version.startsWith("QXGW"));
    QCOMPARE(cell(v, kFailingUnit, 2), u("在线"));
    QCOMPARE(cell(v, kFailingUnit, 1), QString("dim10001  dimmer"));
    // Every answered read counts: the next readings show requests per second.
    const quint32 answered = v.snapshot().counters[RequestsAnswered];
    QVERIFY(readingWhere(v, [answered](const Snapshot &s) { return s.counters[RequestsAnswered] >= answered + 10; }));
    const quint32 connects = v.snapshot().counters[LinkConnects];
    QVERIFY(connects >= 1);

    // The gateway program restarts and one device stops answering it: the
    // link drops and comes back (one more connect), the unit goes offline.
    stop(m_gwsim);
    QVERIFY2(readingWhere(v, [](const Snapshot &s) { return s.counters[LinkUp] == 0; }), "the link never showed down");
    QVERIFY(v.findChild<QLabel *>("relaySummaryLabel")->text().contains(u("断开")));
    startGwsim({"--fail-device", kFailingKey});
    QVERIFY2(readingWhere(v, [connects](const Snapshot &s) {
                 return s.counters[LinkUp] == 1 && s.counters[LinkConnects] == connects + 1
                        && !s.online.testBit(kFailingUnit);
             }, 30),  // the service searches again after its 10 s search time
             qPrintable(QString("link %1, connects %2 (was %3), unit %4 online %5")
                            .arg(v.snapshot().counters[LinkUp]).arg(v.snapshot().counters[LinkConnects]).arg(connects)
                            .arg(kFailingUnit).arg(v.snapshot().online.testBit(kFailingUnit))));
    QCOMPARE(cell(v, kFailingUnit, 2), u("离线"));
    QVERIFY(v.snapshot().online.testBit(kOnlineUnit));

    // Alarm bits clear when read: the view reads them only when asked to.
    QCOMPARE(cell(v, kOnlineUnit, 4), u("(未读取)"));
    QVERIFY(!v.snapshot().alarm.testBit(kOnlineUnit));
    v.findChild<QCheckBox *>("readAlarmsCheck")->setChecked(true);
    QVERIFY2(readingWhere(v, [](const Snapshot &s) { return s.alarm.testBit(kOnlineUnit); }),
             "unit 1's alarm bit (set by its reports) never seen");
    QCOMPARE(cell(v, kOnlineUnit, 4), u("告警"));
    v.findChild<QCheckBox *>("readAlarmsCheck")->setChecked(false);

    // The snapshot file: a byte-order mark, the counters, one row per unit.
    QTemporaryDir out;
    const QString path = out.filePath("status.csv");
    QVERIFY(v.saveCsv(path));
    const QByteArray csv = readFile(path);
    QVERIFY(csv.startsWith("\xEF\xBB\xBF"));
    const QString text = QString::fromUtf8(csv.mid(3));
    QVERIFY2(text.contains(counterName(LinkConnects) + "," + QString::number(connects + 1)), qPrintable(text));
    QVERIFY2(text.contains(QString("\r\n%1,dim10001  dimmer,0,").arg(kFailingUnit)), qPrintable(text));
    QVERIFY2(text.contains(QString("\r\n%1,swa30001  hall,1,").arg(kOnlineUnit)), qPrintable(text));
}

void TstRelayStatus::placesAndRelease()
{
    RelayStatusView a, b, c;
    for (RelayStatusView *v : {&a, &b, &c}) {
        v->setUnitNames([this]() { return m_names; });
        v->setGatewayHost("127.0.0.1");
    }
    a.show();
    QVERIFY(readingWhere(a, [](const Snapshot &s) { return s.counters[ClientsNow] == 1; }));
    b.show();
    QVERIFY(readingWhere(b, [](const Snapshot &s) { return s.counters[ClientsNow] == 2; }));

    // A third client is closed at once by the service: said plainly.
    const quint32 refused = b.snapshot().counters[ConnectionsRefused];
    c.show();
    QTRY_VERIFY2_WITH_TIMEOUT(c.stateText().contains(u("两个客户端名额都已被占用")), qPrintable(c.stateText()), 10000);
    QVERIFY(readingWhere(b, [refused](const Snapshot &s) { return s.counters[ConnectionsRefused] > refused; }));
    c.hide();

    // Hidden, a view gives its place back.
    a.hide();
    QVERIFY(!a.isConnected());
    QVERIFY2(readingWhere(b, [](const Snapshot &s) { return s.counters[ClientsNow] == 1; }),
             qPrintable(QString("clients now %1").arg(b.snapshot().counters[ClientsNow])));
}

QTEST_MAIN(TstRelayStatus)
#include "tst_relaystatus.moc"
