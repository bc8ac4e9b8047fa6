// Gateway side of the bridge: every 7F message (an answer to one of our
// commands, or a spontaneous report) is converted into the unit's register
// map; an answer then completes its waiting Modbus request. Also keeps unit
// 255's status bits and the one-shot rule for values cleared after a read.
#pragma once

#include <json/json.h>

#include <string>

#include "devList.h"

// The gateway link's message handler (receive thread). 0, a negative number
// for a refused message, or the result of the delayed reply.
int onGw7fMsg(const char *topic, int topicLen, const char *payload, int payloadLen);

// Stores every value of `object` that the device's description knows.
// 0 when at least one value was stored at any depth, else -1; the values
// stored are added to *valuesStored when given.
// Call with the Modbus context lock held.
int convertGwValues(const Json::Value &object, const std::string &path, MappedDevice *device,
                    bool inArray, int *valuesStored = nullptr);

// True when the value just copied into a read reply is a one-shot value to
// be cleared in the map (function code 2: discrete input, 4: input register).
bool clearAfterRead(const MappedDevice *device, int functionCode, int address);
// The same rule in the engine's callback form (mb_set_clear_after_read).
int mbClearAfterRead(void *device, int functionCode, int address);

// Unit 255's discrete inputs: online bit n and alarm (report) bit 247 + n of
// slave unit n (1..247). Call with the Modbus context lock held.
void setSlaveOnline(int slaveUnit, int state);
void setSlaveReportBit(int slaveUnit);

// Product keys whose alarms follow the dry-contact rules.
bool isDryContactProduct(const std::string &productKey);
