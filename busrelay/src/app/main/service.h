// Service lifecycle: start-up in a fixed order, the 20 ms main loop that
// drives the software timers, and the shutdown after SIGINT.
#pragma once

#include <atomic>
#include <csignal>

// 1 from program start; the SIGINT handler sets it to 0.
extern volatile sig_atomic_t g_running;

struct ModbusContext;
// The one Modbus TCP server context (port 502); its lock guards every
// register map once start-up is over. Atomic: the gateway link's receive
// thread may already run while start-up creates the server.
extern std::atomic<ModbusContext *> g_mbServer;

// The service's version text: unit 255, input registers 1-24.
constexpr const char *SERVICE_VERSION_TEXT = "QXGW-RJ-RELAY-T3(v1.1)-20220906";
constexpr int SERVICE_VERSION_BYTES = 48;
// Writes the zero-padded version text into the gateway unit's registers.
void setVersionRegs();

// Nothing in start-up is fatal: missing files leave registries empty.
void service_start();
// Runs until g_running is cleared.
void service_run();
void service_shutdown();
