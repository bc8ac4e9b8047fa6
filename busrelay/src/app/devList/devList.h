// Address map and device registry: which gateway device answers under which
// Modbus unit identifier. Filled once at start-up from "map.json"; the list
// is read without a lock afterwards, each unit's RegisterMap only under the
// Modbus context lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devDesc.h"
#include "registerMap.h"

struct MappedDevice {
    int32_t unitId = 0;
    std::string deviceKey;  // "standardRtu" for RTU entries
    std::string sntype;     // or the "rtutype" of an RTU entry
    const DeviceDescription *description = nullptr;  // shared, never null
    RegisterMap *registerMap = nullptr;  // owned; null when creating it failed
    bool isRtu = false;
};

// Registers the devices of a map file. -1 when it cannot be opened, else 0.
int load_address_map(const char *path);

// First device in registry order with that unit id / device key, or null.
MappedDevice *find_device_by_unit(int unitId);
MappedDevice *find_device_by_key(const std::string &deviceKey);

// Registers one gateway device as the map loader does. 0, or -1 when no
// description serves the sntype.
int add_device(int unitId, const std::string &deviceKey, const std::string &sntype);
// Remove (and free) every device with that unit id / all devices. Nobody
// may hold a pointer to a removed device.
void remove_device(int unitId);
void clear_devices();

// The registry in registration (file) order.
const std::vector<MappedDevice *> &device_list();
