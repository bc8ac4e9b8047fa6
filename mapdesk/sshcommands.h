#ifndef SSHCOMMANDS_H
#define SSHCOMMANDS_H

// The shell texts the tool types into the gateway's shell. The gateway's own
// busybox tftp pulls files from, or pushes files to, the tool's TFTP server
// at localIp:5069. The shell keeps its working directory between commands:
// each install step relies on the cd of the command that started its flow.
// dk is the gateway's device key; stamp is a local time, "yyyyMMdd_hhmmss".

#include <QString>

namespace SshCommands {

// Fetch: the gateway pushes a copy named dk-<file> into the TFTP root.
QString getMapJson(const QString &dk, const QString &localIp);
QString getVrvCfg(const QString &dk, const QString &localIp);
QString getRelayVersion(const QString &dk, const QString &localIp);

// Install, first step: the gateway pulls dk-<file> into /gateway/modbus.
QString putMapJson(const QString &dk, const QString &localIp);
QString putVrvCfg(const QString &dk, const QString &localIp);
// Install, second step once the file is there: keep the old file under a
// time-stamped name and put the new one in its place.
QString installMapJson(const QString &dk, const QString &stamp);
// Same for vrvC.json, then restart the service so it loads the new file.
QString installVrvCfg(const QString &dk, const QString &stamp);

// Upgrades: the package goes to /tmp, then the install step.
QString putGatewayPackage(const QString &localIp);
QString installGatewayPackage();
QString putRelayPackage(const QString &localIp);
QString installRelayPackage();

// Point list: the installed busrelay prints it (--points, CSV) into
// dk-points.csv in /gateway/modbus, which the gateway pushes to the TFTP root
// and then removes. A busrelay too old for --points would start a second
// service instead: it is killed after 10 s, and what it printed is no point
// list (the tool checks the header).
QString exportPoints(const QString &dk, const QString &localIp);

// The Modbus client allow-list. Fetch: a gateway without mbacl.json sends an
// empty file (the service then accepts every client, as with an empty one).
QString getAcl(const QString &dk, const QString &localIp);
QString putAcl(const QString &dk, const QString &localIp);
// Keeps the old list (if any) under a time-stamped name, puts the new one in
// place and restarts the service, which reads the list only at start.
QString installAcl(const QString &dk, const QString &stamp);
// How the running service took the list: the number of its start-up lines
// about mbacl.json in /tmp/mb.log (__MDK_ACLN=) and the last one (__MDK_ACLLINE=).
QString aclLogProbe();
// The __MDK_ACLN= count alone, and the service's process (__MDK_PID=).
QString aclLogCountAndPid();

QString restartRelay();
QString rebootGateway();

// The gateway-side backup time stamp for now.
QString gatewayStamp();

} // namespace SshCommands

#endif // SSHCOMMANDS_H
