// Modbus side of the bridge: the TCP server's request callback. Whatever a
// unit's register map can answer is answered at once; writes and reads of
// direct addresses (> 1000) become "read"/"write" commands for the gateway
// and wait in the mb request list until the answer comes (gwMsg).
#pragma once

#include <cstdint>
#include <string>

#include "devList.h"
#include "modbus.h"

// Device key of the address map's RTU entries: nothing is sent for them.
constexpr const char *MB_BRIDGE_RTU_KEY = "standardRtu";

// The RequestCallback of the TCP server (main thread, context lock not held).
// Result of the reply that was sent, or 0 when the request now waits.
int onRcvMbRequest(ModbusContext *ctx, const MbRequest *request);

// The 100 ms timer's sweep of the waiting requests: those older than 3 whole
// seconds are dropped, silently, or with exception 11 when mbopts.json's
// offlineException is on (main thread, no lock held).
void expireMbRequests();

// Builds the command document for a deferred request and writes it compact,
// keys sorted, followed by one newline; "sno" is connection-unit-function-
// transaction, `connection` the client connection's number (mbReqConnection).
// 0, or the Modbus exception code to answer with (1, 2, 3 or 4). Call with the
// context lock held.
int buildGwCmd(const MappedDevice *device, int connection, const MbRequest *request,
               std::string &payload);
