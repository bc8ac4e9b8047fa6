#include "upgraderules.h"

#include "remoteflows.h"
#include "utf8text.h"

#include <QRegularExpression>

namespace {
const UpgradeRule kRules[UpgradeRules::Count] = {
    {RemoteFlows::UpgradeGateway, "gwver.txt", "gateway.exe", "gateway",
     {{"QXGW-RJ-MQTT-T3", "网关硬件平台与升级包硬件平台(T3)不一致", "T3", 0, 0},
      {"QXGW-S-WFRJ-MQTT", "网关硬件平台与升级包硬件平台(v3s)不一致", "v3s", 0, 0}},
     true, false, "请检查%1目录下网关升级包!", "请先点击<获得网关信息>!", "当前网关版本与升级包版本一致，不需要更新!",
     "是否更新网关程序", "该操作将网关{current}升级为{target}", "未获得电脑中网关升级包版本，无法升级网关程序",
     "未找到网关升级包,请检查%1下是否有gateway.exe gwver.txt!\r\n如不需要升级网关可忽略该告警.",
     "网关程序md5校验错误，请检查修正%1/gateway.exe\r\n如不需要升级网关可忽略该告警."},
    {RemoteFlows::UpgradeRelay, "mbver.txt", "modbus.zip", "modbus",
     // Both gateways are 32-bit ARM (ARMv7 hard-float).
     {{"QXGW-RJ-RELAY-T3", "网关硬件平台与modbus升级包硬件平台(T3)不一致", "T3", 1, 40},
      {"QXGW-S-WFRJ-RELAY-V3S", "网关硬件平台与modbus升级包硬件平台(V3S)不一致", "V3S", 1, 40}},
     false, true, "请检查%1目录下modbus升级包", "", "modbus不需要更新!", "是否更新modbus程序",
     "该操作将网关中modbus替换为为目标版本modbus程序", "未获得电脑中modbus服务升级包版本，无法升级modbus服务",
     "未找到modbus升级包,请检查%1下是否有modbus.zip mbver.txt!\r\n如不需要升级modbus服务可忽略该告警.",
     "modbus程序md5校验错误，请检查修正%1/modbus.zip\r\n如不需要升级modbus服务可忽略该告警."},
};

QString platformRefusal(const UpgradeRule &rule, const QString &target, const QString &current, bool known)
{
    for (const UpgradeRule::Platform &p : rule.platforms) {
        if (target.contains(QLatin1String(p.marker)))
            return known && !current.contains(QLatin1String(p.marker)) ? u(p.mismatch) : QString();
    }
    return u("未识别的目标版本硬件平台");
}
} // namespace

namespace UpgradeRules {

const UpgradeRule &rule(int program)
{
    return kRules[program == Relay ? Relay : Gateway];
}

QString refusalBeforeLink(const UpgradeRule &rule, const QString &target, const QString &current,
                          const QString &root)
{
    if (target.isEmpty() || !target.contains("QXGW"))
        return u(rule.noPackage).arg(root);
    if (rule.currentRequired && (current.isEmpty() || !current.contains("QXGW")))
        return u(rule.noCurrent);
    return QString();
}

QString refusalAfterLink(const UpgradeRule &rule, const QString &target, const QString &current)
{
    if (rule.currentRequired) {
        const QString why = platformRefusal(rule, target, current, true);
        if (!why.isEmpty())
            return why;
        return current == target ? u(rule.sameVersion) : QString();
    }
    // The same version is not refused: confirmation() offers its reinstall.
    if (!rule.zipPackage && !current.isEmpty() && current == target)
        return u(rule.sameVersion);
    return platformRefusal(rule, target, current, current.contains("QXGW-"));
}

QString confirmText(const UpgradeRule &rule, const QString &current, const QString &target)
{
    QString text = u(rule.confirmText);
    const int at = text.indexOf("{current}");
    if (at >= 0)
        text.replace(at, 9, current);
    // After the first replacement: a version holding "{target}" stays as it is.
    const int to = text.indexOf("{target}", at >= 0 ? at + current.size() : 0);
    if (to >= 0)
        text.replace(to, 8, target);
    return text;
}

const UpgradeRule::Platform *platformOf(const UpgradeRule &rule, const QString &version)
{
    for (const UpgradeRule::Platform &p : rule.platforms)
        if (version.contains(QLatin1String(p.marker)))
            return &p;
    return nullptr;
}

namespace {
// What follows the platform name: "(v1.1)-20220906", "-V2.0.1".
struct VersionKey
{
    QVector<int> number;
    QString date;  // yyyyMMdd
};

VersionKey versionKey(const QString &text, const char *marker)
{
    VersionKey k;
    const QString rest = text.mid(text.indexOf(QLatin1String(marker)) + int(qstrlen(marker)));
    static const QRegularExpression number("[vV](\\d+(?:\\.\\d+)*)");
    static const QRegularExpression date("(?<!\\d)(\\d{8})(?!\\d)");
    const QRegularExpressionMatch n = number.match(rest);
    if (n.hasMatch())
        for (const QString &part : n.captured(1).split('.'))
            k.number << part.left(6).toInt();
    const QRegularExpressionMatch d = date.match(rest);
    if (d.hasMatch())
        k.date = d.captured(1);
    return k;
}
} // namespace

int compareVersions(const UpgradeRule &rule, const QString &target, const QString &current)
{
    const UpgradeRule::Platform *p = platformOf(rule, target);
    if (!p || !current.contains(QLatin1String(p->marker)))
        return kUnordered;
    const VersionKey t = versionKey(target, p->marker), c = versionKey(current, p->marker);
    if (t.number.isEmpty() != c.number.isEmpty())
        return kUnordered;
    for (int i = 0; i < qMax(t.number.size(), c.number.size()); ++i) {
        const int a = t.number.value(i), b = c.number.value(i);
        if (a != b)
            return a < b ? -1 : 1;
    }
    if (!t.date.isEmpty() && !c.date.isEmpty() && t.date != c.date)
        return t.date < c.date ? -1 : 1;
    return t.number.isEmpty() && (t.date.isEmpty() || c.date.isEmpty()) ? kUnordered : 0;
}

bool isReinstall(const UpgradeRule &rule, const QString &target, const QString &current)
{
    return rule.zipPackage && !current.isEmpty() && current == target;
}

Question confirmation(const UpgradeRule &rule, const QString &current, const QString &target)
{
    Question q;
    if (isReinstall(rule, target, current)) {
        q.title = u("是否重新安装modbus程序");
        q.text = u(rule.sameVersion) + u("\n网关中的modbus程序已是升级包的版本") + target
                 + u("。\n如网关中的modbus程序或其脚本已损坏, 可重新安装该版本。");
        q.okText = u("重新安装");
        q.cautious = true;
        return q;
    }
    q.title = u(rule.confirmTitle);
    q.text = confirmText(rule, current, target);
    q.okText = u("确定");
    if (compareVersions(rule, target, current) < 0) {
        q.text += u("\n\n注意: 这是降级! 升级包版本") + target + u("低于网关当前版本") + current + u("。");
        q.okText = u("确定降级");
        q.cautious = true;
    }
    return q;
}

} // namespace UpgradeRules
