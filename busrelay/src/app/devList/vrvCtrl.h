// Multi-split (VRV) air-conditioner controllers: up to 128 indoor units per
// controller unit, each in a slot block of ten registers (slot i: input and
// holding registers 10i+1 .. 10i+10).
#pragma once

#include <json/json.h>

#include "devList.h"

constexpr int VRV_SLOT_COUNT = 128;
constexpr int VRV_MODE_WORD_COUNT = 6;
constexpr int VRV_SPEED_WORD_COUNT = 12;

// Register value = index.
extern const char *const VrvModeWords[VRV_MODE_WORD_COUNT];
extern const char *const VrvSpeedWords[VRV_SPEED_WORD_COUNT];

// Sets a unit's online flag (the bridge's setSlaveOnline). Called with the
// Modbus context lock held, as apply_vrv_report is.
typedef void (*VrvOnlineSetter)(int unitId, int state);

// Writes the indoor units' two addresses of every configured slot into the
// controller units' input registers. 0; -1 when the file cannot be opened
// or parsed.
int load_vrv_config(const char *path);

// Stores a controller's status report into its slot blocks and applies its
// "timesOfContinuousFailed" through `setOnline` (may be null in tools).
// 0 when at least one register was stored, otherwise -1; the values stored
// are added to *valuesStored when given.
int apply_vrv_report(const Json::Value &report, const MappedDevice *device,
                     VrvOnlineSetter setOnline, int *valuesStored = nullptr);
