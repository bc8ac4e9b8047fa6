#include "sshcommands.h"

#include <QDateTime>

namespace {
const char kTftpPort[] = " 5069\n";

// Kills the service and its start script (twice each: the script may be
// respawning the service in between) so nothing holds the old files.
const char kStopRelay[] = "kill -9 $(pidof busrelay) \nkill -9 $(pidof busrelay) \n"
                          "kill -9 $(pidof relay_start.sh) \nkill -9 $(pidof relay_start.sh) \n";

QString fetch(const QString &file, const QString &dk, const QString &ip)
{
    const QString copy = dk + "-" + file;
    return "mkdir -p /gateway/modbus\n cd /gateway/modbus \n cp " + file + " " + copy
           + " \n tftp -pr " + copy + " " + ip + kTftpPort + " rm -rf " + copy + " \n ";
}

QString put(const QString &file, const QString &dk, const QString &ip)
{
    return "mkdir -p /gateway/modbus \n cd /gateway/modbus \n tftp -gr " + dk + "-" + file + " "
           + ip + kTftpPort;
}
} // namespace

namespace SshCommands {

QString getMapJson(const QString &dk, const QString &localIp)
{
    return fetch("map.json", dk, localIp);
}

QString getVrvCfg(const QString &dk, const QString &localIp)
{
    return fetch("vrvC.json", dk, localIp);
}

QString getRelayVersion(const QString &dk, const QString &localIp)
{
    return fetch("ver.txt", dk, localIp);
}

QString putMapJson(const QString &dk, const QString &localIp)
{
    return put("map.json", dk, localIp);
}

QString putVrvCfg(const QString &dk, const QString &localIp)
{
    return put("vrvC.json", dk, localIp);
}

QString installMapJson(const QString &dk, const QString &stamp)
{
    return "cp map.json " + dk + "-" + stamp + "-map.json \nmv " + dk + "-map.json map.json\n";
}

QString installVrvCfg(const QString &dk, const QString &stamp)
{
    return "cd /gateway/modbus \ncp vrvC.json " + dk + "-" + stamp + "-vrvC.json \nmv " + dk
           + "-vrvC.json vrvC.json\ncd /gateway/ \n" + kStopRelay
           + "/gateway/modbus/relay_start.sh & \n";
}

QString putGatewayPackage(const QString &localIp)
{
    return "cd /tmp \n tftp -gr gateway.exe " + localIp + kTftpPort;
}

QString installGatewayPackage()
{
    return QStringLiteral("cd /gateway/cpp/main \n./gateway_upgrade.sh /tmp/\n");
}

QString putRelayPackage(const QString &localIp)
{
    return "cd /tmp \n tftp -gr modbus.zip " + localIp + kTftpPort;
}

QString installRelayPackage()
{
    return QString("cd /gateway/ \n") + kStopRelay
           + "unzip -o /tmp/modbus.zip \nchmod 777 /gateway/modbus/* \nrm -rf /tmp/modbus.zip \n"
             "/gateway/modbus/set_mb_autorun.sh \n/gateway/modbus/relay_start.sh & \n";
}

QString exportPoints(const QString &dk, const QString &localIp)
{
    const QString file = dk + "-points.csv";
    return "cd /gateway/modbus \n ./busrelay --points --format csv . > " + file
           + " 2>/dev/null </dev/null & P=$! ; ( sleep 10 ; kill -9 $P ) >/dev/null 2>&1 & K=$! ;"
             " wait $P ; kill $K 2>/dev/null \n tftp -pr " + file + " " + localIp + kTftpPort
           + " rm -f " + file + " \n ";
}

namespace {
// The service's own start-up lines about the list (not the per-client refusals).
const char kAclLogPattern[] = "'mbacl\\.json(:| refused| lists no address)'";
}

QString getAcl(const QString &dk, const QString &localIp)
{
    const QString copy = dk + "-mbacl.json";
    return "mkdir -p /gateway/modbus\n cd /gateway/modbus \n if [ -f mbacl.json ]; then cp mbacl.json " + copy
           + "; else : > " + copy + "; fi \n tftp -pr " + copy + " " + localIp + kTftpPort + " rm -f " + copy
           + " \n ";
}

QString putAcl(const QString &dk, const QString &localIp)
{
    return put("mbacl.json", dk, localIp);
}

QString installAcl(const QString &dk, const QString &stamp)
{
    return "cd /gateway/modbus \nif [ -f mbacl.json ]; then cp mbacl.json " + dk + "-" + stamp
           + "-mbacl.json; fi \nmv " + dk + "-mbacl.json mbacl.json\ncd /gateway/ \n" + kStopRelay
           + "/gateway/modbus/relay_start.sh & \n";
}

QString aclLogProbe()
{
    return QString("echo __MDK_ACLN=$(grep -acE %1 /tmp/mb.log 2>/dev/null) \n"
                   "echo __MDK_ACLLINE=$(grep -aE %1 /tmp/mb.log 2>/dev/null | tail -n 1) \n")
        .arg(QLatin1String(kAclLogPattern));
}

QString aclLogCountAndPid()
{
    return QString("echo __MDK_PID=$(pidof busrelay) \necho __MDK_ACLN=$(grep -acE %1 /tmp/mb.log 2>/dev/null) \n")
        .arg(QLatin1String(kAclLogPattern));
}

QString restartRelay()
{
    return QStringLiteral("kill -9 $(pidof busrelay) \nkill -9 $(pidof busrelay) \n");
}

QString rebootGateway()
{
    return QStringLiteral("sync \n reboot \n");
}

QString gatewayStamp()
{
    return QDateTime::currentDateTime().toString("yyyyMMdd_hhmmss");
}

} // namespace SshCommands
