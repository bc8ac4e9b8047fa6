// busrelay's own figures as unit 255 gives them: the counter block's word
// order, rates across a counter's wrap and across a restart, the units'
// ages and bits at the ends of their ranges, the version text.
#include "relayhealth.h"
#include "utf8text.h"

#include <QtTest>

using namespace RelayHealth;

class TstRelayHealth : public QObject
{
    Q_OBJECT
private slots:
    void countersAndRates();
    void agesBitsAndVersion();
};

namespace {
QVector<quint16> block(const QVector<quint32> &values)
{
    QVector<quint16> regs(kCounterRegisters, 0);
    for (int i = 0; i < values.size(); ++i) {
        regs[2 * i] = quint16(values[i] >> 16);  // high word first
        regs[2 * i + 1] = quint16(values[i] & 0xffff);
    }
    return regs;
}

Snapshot at(qint64 ms, const QVector<quint32> &values)
{
    Snapshot s;
    s.takenMs = ms;
    takeCounters(block(values), &s);
    return s;
}
} // namespace

void TstRelayHealth::countersAndRates()
{
    Snapshot s;
    QVERIFY(!takeCounters(QVector<quint16>(kCounterRegisters - 1), &s));  // a short answer is not taken
    QVERIFY(takeCounters(block({70000, 0x12345678}), &s));
    QCOMPARE(s.counters[Uptime], quint32(70000));
    QCOMPARE(s.counters[RequestsAnswered], quint32(0x12345678));

    // Two seconds apart: 40 answered, 4 exceptions of two codes, 2 expiries.
    QVector<quint32> a(CounterCount, 0), b(CounterCount, 0);
    a[Uptime] = 100;
    b[Uptime] = 102;
    a[RequestsAnswered] = 0xFFFFFFF0u;  // wraps between the two
    b[RequestsAnswered] = 0x00000018u;
    a[Exception2] = 5;
    b[Exception2] = 7;
    b[Exception11] = 2;
    a[Expired] = 1;
    b[Expired] = 3;
    Rates r = rates(at(1000, a), at(3000, b));
    QVERIFY(r.valid);
    QCOMPARE(r.requests, 20.0);
    QCOMPARE(r.exceptions, 2.0);
    QCOMPARE(r.expiries, 1.0);

    // The service restarted in between, or the readings are out of order: no rates.
    b[Uptime] = 3;
    QVERIFY(!rates(at(1000, a), at(3000, b)).valid);
    b[Uptime] = 102;
    QVERIFY(!rates(at(3000, a), at(3000, b)).valid);
    QVERIFY(!rates(Snapshot(), at(3000, b)).valid);
}

void TstRelayHealth::agesBitsAndVersion()
{
    Snapshot s;
    // Two requests as the view sends them: 301-424 and 425-547.
    QVector<quint16> low(124, kAgeNever), high(kUnits - 124, kAgeNever);
    low[0] = 12;            // unit 1
    high.last() = kAgeSaturated;  // unit 247
    takeAges(kAgeBase + 1, low, &s);
    takeAges(kAgeBase + 125, high, &s);
    QCOMPARE(s.ages[1], quint16(12));
    QCOMPARE(s.ages[124], kAgeNever);
    QCOMPARE(s.ages[247], kAgeSaturated);
    takeAges(kAgeBase - 1, QVector<quint16>{1, 2, 3}, &s);  // 299 and 300 are no unit's
    QCOMPARE(s.ages[1], quint16(3));

    QVector<quint16> bits(2 * kUnits, 0);
    bits[0] = 1;                  // unit 1 online
    bits[kUnits - 1] = 1;         // unit 247 online
    bits[kAlarmBase - 1] = 1;     // unit 1's alarm (input 248)
    bits[2 * kUnits - 1] = 1;     // unit 247's alarm (input 494)
    takeBits(1, bits, &s);
    QVERIFY(s.online.testBit(1) && s.online.testBit(247) && !s.online.testBit(2));
    QVERIFY(s.alarm.testBit(1) && s.alarm.testBit(247) && !s.alarm.testBit(246));

    QCOMPARE(versionText({0x5158, 0x4757, 0x2D56, 0x3100, 0x4142}), QString("QXGW-V1"));
    QCOMPARE(ageText(kAgeNever), u("从未"));
    QCOMPARE(ageText(61), u("1分1秒"));
    QCOMPARE(uptimeText(90061), u("1天 1小时 1分 1秒"));
}

QTEST_MAIN(TstRelayHealth)
#include "tst_relayhealth.moc"
