#include "sitegateway.h"

#include "hostkeystore.h"
#include "utf8text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QString SiteGateway::hostKeyId() const
{
    return QSsh::HostKeyStore::gatewayId(serial, deviceKey);
}

QString SiteGateway::label() const
{
    return (deviceKey.isEmpty() ? u("未知网关") : deviceKey) + " (" + ip + ")";
}

void SiteGateway::clearReadings()
{
    const SiteGateway fresh;
    search = fresh.search;
    gatewayVersion = gatewayNote = relayVersion = port502Note = sshNote = verTxt = QString();
    port502 = fresh.port502;
    unitsOnline = unitsMapped = -1;
    mappedFromMap = false;
    sshRead = false;
    md5.clear();
    checkedAt = QDateTime();
}

QStringList SiteGateway::headers()
{
    return {u("地址"),       u("设备key"),    u("序列号"),        u("网关程序版本"),    u("busrelay版本"),
            u("502端口"),    u("在线/映射单元"), u("ver.txt"),     u("map.json MD5"),   u("vrvC.json MD5"),
            u("mbacl.json MD5"), u("备注")};
}

QString SiteGateway::cell(int column) const
{
    const QString none = QStringLiteral("-");
    switch (column) {
    case IpCol: return ip;
    case KeyCol: return deviceKey.isEmpty() ? none : deviceKey;
    case SerialCol: return serial.isEmpty() ? none : serial;
    case GatewayVersionCol: return !gatewayVersion.isEmpty() ? gatewayVersion : none;
    case RelayVersionCol: return relayVersion.isEmpty() ? none : relayVersion;
    case PortCol: return port502 < 0 ? none : port502 ? u("是") : u("否");
    case UnitsCol:
        return unitsMapped < 0 ? none
                               : (unitsOnline < 0 ? QString("?") : QString::number(unitsOnline)) + "/"
                                     + QString::number(unitsMapped);
    case VerTxtCol: return sshRead ? (verTxt.isEmpty() ? u("(无)") : verTxt) : none;
    case Md5MapCol:
    case Md5VrvCol:
    case Md5AclCol: {
        if (!sshRead)
            return none;
        const QString d = md5.value(configFiles().at(column - Md5MapCol));
        return d.isEmpty() ? u("(无此文件)") : d;
    }
    case NoteCol: {
        QStringList notes;
        if (typed)
            notes << u("手动添加");
        if (search == NoAnswer)
            notes << u("未应答搜索");
        if (!gatewayNote.isEmpty())
            notes << u("7F: ") + gatewayNote;
        if (!port502Note.isEmpty())
            notes << u("502: ") + port502Note;
        if (unitsMapped >= 0)
            notes << (mappedFromMap ? u("映射单元取自map.json") : u("映射单元取自在线位和数据时效(无ssh)"));
        if (!sshNote.isEmpty())
            notes << u("ssh: ") + sshNote;
        return notes.join(u("; "));
    }
    default: return QString();
    }
}

namespace SiteExport {

QByteArray csv(const QVector<SiteGateway> &rows, const QString &siteName)
{
    const auto field = [](QString s) {
        if (s.contains(',') || s.contains('"') || s.contains('\n') || s.contains('\r'))
            s = '"' + s.replace('"', "\"\"") + '"';
        return s;
    };
    QStringList lines;
    lines << u("站点,") + field(siteName);
    QStringList head;
    for (const QString &h : SiteGateway::headers())
        head << field(h);
    lines << head.join(',') + u(",读取时间");
    for (const SiteGateway &g : rows) {
        QStringList cells;
        for (int c = 0; c < SiteGateway::ColumnCount; ++c)
            cells << field(g.cell(c));
        cells << (g.checkedAt.isValid() ? g.checkedAt.toString("yyyy-MM-dd hh:mm:ss") : QString());
        lines << cells.join(',');
    }
    return QByteArray("\xEF\xBB\xBF") + lines.join("\r\n").toUtf8() + "\r\n";
}

QByteArray json(const QVector<SiteGateway> &rows, const QString &siteName)
{
    QJsonArray list;
    for (const SiteGateway &g : rows) {
        QJsonObject md5;
        if (g.sshRead)
            for (const QString &f : SiteGateway::configFiles())
                md5[f] = g.md5.value(f).isEmpty() ? QJsonValue() : QJsonValue(g.md5.value(f));
        const auto optional = [](const QString &s) { return s.isEmpty() ? QJsonValue() : QJsonValue(s); };
        QJsonObject o{{"ip", g.ip},
                      {"deviceKey", optional(g.deviceKey)},
                      {"serial", optional(g.serial)},
                      {"typedIn", g.typed},
                      {"answeredSearch", g.search == SiteGateway::NotAsked ? QJsonValue()
                                                                           : QJsonValue(g.search == SiteGateway::Answered)},
                      {"gatewayVersion", optional(g.gatewayVersion)},
                      {"relayVersion", optional(g.relayVersion)},
                      {"port502", g.port502 < 0 ? QJsonValue() : QJsonValue(g.port502 == 1)},
                      {"unitsOnline", g.unitsMapped < 0 || g.unitsOnline < 0 ? QJsonValue() : QJsonValue(g.unitsOnline)},
                      {"unitsMapped", g.unitsMapped < 0 ? QJsonValue() : QJsonValue(g.unitsMapped)},
                      {"mappedFrom", g.unitsMapped < 0 ? QJsonValue() : QJsonValue(g.mappedFromMap ? "map.json" : "unit255")},
                      {"verTxt", g.sshRead ? QJsonValue(g.verTxt) : QJsonValue()},
                      {"md5", g.sshRead ? QJsonValue(md5) : QJsonValue()},
                      {"note", g.cell(SiteGateway::NoteCol)},
                      {"checkedAt", g.checkedAt.isValid() ? QJsonValue(g.checkedAt.toString(Qt::ISODate)) : QJsonValue()}};
        list.append(o);
    }
    const QJsonObject doc{{"site", siteName},
                          {"exportedAt", QDateTime::currentDateTime().toString(Qt::ISODate)},
                          {"gateways", list}};
    return QJsonDocument(doc).toJson(QJsonDocument::Indented);
}

} // namespace SiteExport
