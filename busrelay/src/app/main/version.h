// The service's version text: unit 255's input registers 1 to 24 and the
// first line of ver.txt / mbver.txt in the upgrade package (the build reads
// it from this line). The tool checks the platform name in it.
#pragma once

constexpr const char *BUSRELAY_VERSION_TEXT = "QXGW-RJ-RELAY-T3(v1.1)-20220906";
constexpr int BUSRELAY_VERSION_BYTES = 48;  // zero-padded in the registers
