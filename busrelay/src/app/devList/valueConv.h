// Conversion of one description node's value between its gateway form (a
// JSON value in 7F commands and reports) and its registers. No state of its
// own: callers hold the Modbus context lock around every call.
#pragma once

#include <cstdint>

#include <json/json.h>

#include "devDesc.h"
#include "devList.h"
#include "registerMap.h"

// Report direction: stores a reported value into the unit's tables.
// 0, or -1 when the value does not fit the node or a store failed.
int value_to_registers(const Json::Value &value, const DescriptionNode *node, RegisterMap *map);

// Command direction: adds the node's entry to a "read"/"write" command at
// the node's path. `data`: for a write the node's part of the request (two
// bytes per register, high byte first; a coil as two bytes both holding the
// bit); unused for a read. 0, or the Modbus exception code to answer with:
// 3 for a value out of range, 4 when the command cannot be built.
int put_node_param(const MappedDevice *device, Json::Value &root, const DescriptionNode *node,
                   bool isWrite, const uint8_t *data, int length);

// Sets target[key] to the node's value (write) or read placeholder (read).
// Results as for put_node_param.
int register_data_to_param(const MappedDevice *device, Json::Value &target,
                           const DescriptionNode *node, const char *key, bool isWrite,
                           const uint8_t *data, int length);
