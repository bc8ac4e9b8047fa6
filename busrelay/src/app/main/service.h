// Service lifecycle: start-up in a fixed order, the 20 ms main loop that
// drives the software timers, and the shutdown after SIGINT.
#pragma once

#include <csignal>

// 1 from program start; the SIGINT handler sets it to 0.
extern volatile sig_atomic_t g_running;

// Nothing in start-up is fatal: missing files leave registries empty.
void service_start();
// Runs until g_running is cleared.
void service_run();
void service_shutdown();
