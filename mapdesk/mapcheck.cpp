#include "mapcheck.h"

#include "devicetypetable.h"
#include "utf8text.h"

#include <QMap>

namespace MapCheck {

Result check(const QVector<Row> &rows)
{
    Result r;
    if (rows.isEmpty())
        r.warnings << u("映射表为空: 网关中的modbus服务将没有任何设备地址");
    QMap<int, QStringList> byAddress;
    QMap<QString, QStringList> byKey;
    bool hasGatewayUnit = false;
    for (int i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        const QString who = row.deviceKey.isEmpty() ? u("第%1行").arg(i + 1) : u("设备") + row.deviceKey;
        bool ok = false;
        const int a = row.address.trimmed().toInt(&ok);
        if (!row.deviceKey.isEmpty())
            byKey[row.deviceKey] << row.address.trimmed();
        if (!ok) {
            r.errors << who + u("的地址\"") + row.address + u("\"不是数字");
            continue;
        }
        byAddress[a] << (row.deviceKey.isEmpty() ? u("第%1行").arg(i + 1) : row.deviceKey);
        if (a == -1) {
            r.errors << who + u("未分配modbus地址(-1)");
        } else if (a == 0) {
            r.warnings << who + u("使用地址0, 很多modbus客户端无法访问地址0");
        } else if (a == 255) {
            hasGatewayUnit = true;
            if (row.productCode != QLatin1String(DeviceTypeTable::kGatewayProductCode))
                r.errors << who + u("使用地址255, 该地址属于网关本身");
        } else if (a < 1 || a > 247) {
            r.errors << who + u("的地址%1超出1-247(255为网关专用)").arg(a);
        }
    }
    if (!rows.isEmpty() && !hasGatewayUnit)
        r.risks << u("映射表中没有地址255(网关本身): modbus服务的255号地址(modbus服务版本, 各设备在线及告警状态)"
                     "将无法访问; 选择网关后<批量映射>会为网关建立地址255");
    for (auto it = byAddress.cbegin(); it != byAddress.cend(); ++it) {
        if (it.value().size() > 1 && it.key() != -1)
            r.errors << u("地址%1被多个设备使用: ").arg(it.key()) + it.value().join(", ");
    }
    for (auto it = byKey.cbegin(); it != byKey.cend(); ++it) {
        if (it.value().size() > 1)
            r.errors << u("设备") + it.key() + u("被映射了%1次(地址 ").arg(it.value().size()) + it.value().join(", ")
                            + ")";
    }
    return r;
}

} // namespace MapCheck
