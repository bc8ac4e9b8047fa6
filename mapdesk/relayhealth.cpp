#include "relayhealth.h"

#include "utf8text.h"

namespace RelayHealth {

QString counterName(int counter)
{
    static const char *const names[CounterCount] = {
        "运行时间(秒)", "已应答请求", "异常回复 01", "异常回复 02", "异常回复 03", "异常回复 06", "异常回复 0B",
        "发给网关的命令", "网关应答", "网关未应答(超时)", "忙拒绝(异常06)", "当前客户端", "已接受连接",
        "被拒绝连接", "空闲断开", "网关连接(1=已连接)", "网关连接次数", "收到上报", "存入的值",
        "丢弃的7F字节", "过长的7F帧", "只读客户端的写被拒绝",
    };
    return counter >= 0 && counter < CounterCount ? u(names[counter]) : QString();
}

quint32 Snapshot::exceptions() const
{
    return counters[Exception1] + counters[Exception2] + counters[Exception3] + counters[Exception6]
           + counters[Exception11];
}

bool takeCounters(const QVector<quint16> &registers, Snapshot *out)
{
    if (registers.size() < kCounterRegisters)
        return false;
    for (int c = 0; c < CounterCount; ++c)
        out->counters[c] = (quint32(registers[2 * c]) << 16) | registers[2 * c + 1];
    return true;
}

void takeAges(int firstRegister, const QVector<quint16> &registers, Snapshot *out)
{
    for (int i = 0; i < registers.size(); ++i) {
        const int unit = firstRegister + i - kAgeBase;
        if (unit >= 1 && unit <= kUnits)
            out->ages[unit] = registers[i];
    }
}

void takeBits(int firstInput, const QVector<quint16> &values, Snapshot *out)
{
    for (int i = 0; i < values.size(); ++i) {
        const int input = firstInput + i;
        if (input >= 1 && input <= kUnits)
            out->online.setBit(input, values[i] != 0);
        else if (input >= kAlarmBase && input < kAlarmBase + kUnits)
            out->alarm.setBit(input - kAlarmBase + 1, values[i] != 0);
    }
}

QString versionText(const QVector<quint16> &registers)
{
    QByteArray text;
    for (quint16 r : registers) {
        for (const char c : {char(r >> 8), char(r & 0xff)}) {
            if (c == 0)
                return QString::fromLatin1(text);
            text.append(c);
        }
    }
    return QString::fromLatin1(text);
}

Rates rates(const Snapshot &before, const Snapshot &after)
{
    Rates r;
    if (!before.valid() || !after.valid() || after.takenMs <= before.takenMs)
        return r;
    // A restart starts the counters again; the uptime tells (it also wraps, after 136 years).
    if (after.counters[Uptime] < before.counters[Uptime])
        return r;
    const double s = (after.takenMs - before.takenMs) / 1000.0;
    // Unsigned differences are right across a wrap of the counter.
    r.requests = quint32(after.counters[RequestsAnswered] - before.counters[RequestsAnswered]) / s;
    r.exceptions = quint32(after.exceptions() - before.exceptions()) / s;
    r.expiries = quint32(after.counters[Expired] - before.counters[Expired]) / s;
    r.valid = true;
    return r;
}

QString ageText(quint16 seconds)
{
    if (seconds == kAgeNever)
        return u("从未");
    if (seconds == kAgeSaturated)
        return u("超过18小时");
    if (seconds < 60)
        return QString::number(seconds) + u("秒");
    if (seconds < 3600)
        return QString::number(seconds / 60) + u("分") + QString::number(seconds % 60) + u("秒");
    return QString::number(seconds / 3600) + u("小时") + QString::number(seconds % 3600 / 60) + u("分");
}

QString uptimeText(quint32 seconds)
{
    QString t;
    if (seconds >= 86400)
        t += QString::number(seconds / 86400) + u("天 ");
    if (seconds >= 3600)
        t += QString::number(seconds % 86400 / 3600) + u("小时 ");
    if (seconds >= 60)
        t += QString::number(seconds % 3600 / 60) + u("分 ");
    return t + QString::number(seconds % 60) + u("秒");
}

} // namespace RelayHealth
