#ifndef RELAYPACKAGE_H
#define RELAYPACKAGE_H

// What busrelay's install needs from modbus.zip, checked before it is sent.
// The gateway unpacks it under /gateway with "unzip -o" and then runs the
// scripts, so the zip must hold modbus/busrelay (an ELF program for the
// gateway's platform), modbus/relay_start.sh, modbus/set_mb_autorun.sh and
// modbus/ver.txt with the package's version, and nothing that would land
// outside /gateway/modbus or overwrite the engineer's configuration there.

#include <QString>
#include <QStringList>

#include "upgraderules.h"

namespace RelayPackage {

// The files the install needs, as the zip names them.
QStringList neededFiles();
// Each thing wrong with the zip at path, named; empty when it can be
// installed. version: the package's version (mbver.txt); platform: the one
// that version names (null: the program's platform is not checked).
QStringList problems(const QString &zipPath, const QString &version, const UpgradeRule::Platform *platform);
// "ARM 32位", "x86-64", ... for an ELF header's class, data encoding and machine.
QString machineName(int elfClass, int elfData, int machine);

} // namespace RelayPackage

#endif // RELAYPACKAGE_H
