#ifndef RELAYHEALTH_H
#define RELAYHEALTH_H

// What busrelay tells about itself in unit 255: counters from input register
// 101 (32-bit, high word first, wrapping), the seconds since each unit's data
// was last stored from input register 301 (unit 1) on, the online and alarm
// bits in discrete inputs 1-247 and 248-494, the version text in input
// registers 1-24. Decoding and the figures made from two snapshots; no
// network here.

#include <QBitArray>
#include <QString>
#include <QStringList>
#include <QVector>

namespace RelayHealth {

enum Counter {
    Uptime = 0,
    RequestsAnswered,
    Exception1,
    Exception2,
    Exception3,
    Exception6,
    Exception11,
    CommandsSent,
    GatewayAnswers,
    Expired,
    BusyRefusals,
    ClientsNow,
    ConnectionsAccepted,
    ConnectionsRefused,
    IdleClosures,
    LinkUp,
    LinkConnects,
    ReportsReceived,
    ValuesStored,
    BytesSkipped,
    FramesTooLong,
    ReadOnlyRefusals,
    CounterCount
};

const int kCounterBase = 101;  // input register of the first counter
const int kCounterRegisters = 2 * CounterCount;
const int kAgeBase = 300;      // input register 300 + unit
const int kUnits = 247;
const int kAlarmBase = 248;    // discrete input of unit 1's alarm bit
const quint16 kAgeNever = 65535;
const quint16 kAgeSaturated = 65534;

// The counter's meaning, for the view and the snapshot file.
QString counterName(int counter);

struct Snapshot
{
    qint64 takenMs = -1;  // monotonic, when its last part came
    quint32 counters[CounterCount] = {};
    QString version;
    QVector<quint16> ages = QVector<quint16>(kUnits + 1, kAgeNever);  // index: unit
    QBitArray online = QBitArray(kUnits + 1);
    QBitArray alarm = QBitArray(kUnits + 1);

    bool valid() const { return takenMs >= 0; }
    quint32 exceptions() const;
};

// The block's registers as read: false when there are too few.
bool takeCounters(const QVector<quint16> &registers, Snapshot *out);
// Input registers from 301 on (any count up to 247).
void takeAges(int firstRegister, const QVector<quint16> &registers, Snapshot *out);
// Discrete inputs from 1 on: online bits, then alarm bits.
void takeBits(int firstInput, const QVector<quint16> &values, Snapshot *out);
// The version text: two characters a register, high byte first, up to the first 0.
QString versionText(const QVector<quint16> &registers);

// Per second between two snapshots of one run of the service; not valid
// when the later one is not later or the service restarted between them.
struct Rates
{
    bool valid = false;
    double requests = 0;
    double exceptions = 0;
    double expiries = 0;
};
Rates rates(const Snapshot &before, const Snapshot &after);

// "12 s", "3 min 4 s", "超过18小时", "从未"
QString ageText(quint16 seconds);
// "2天 3小时 4分 5秒"
QString uptimeText(quint32 seconds);

} // namespace RelayHealth

#endif // RELAYHEALTH_H
