// Raw byte link to the gateway's RS-485 port for Modbus RTU devices: line
// set-up, a non-blocking poll between the port and two byte queues, a drain
// step that logs what arrived, and an expiry that drops stale input. It
// carries no Modbus framing. The service wires the steps into its timers but
// does not open the link, so they all find nothing to do.
#pragma once

#include <cstdint>

constexpr const char *RTU_LINK_PORT = "/dev/ttyS7";
constexpr int RTU_QUEUE_LIMIT = 256;
constexpr int RTU_IO_CHUNK = 512;
constexpr uint8_t RTU_RX_EXPIRY_TICKS = 5;  // 100 ms steps

struct SerialSettings {
    int baud;
    int dataBits;  // 7 or 8
    char parity;   // N, E, O or S, either case
    int stopBits;  // 1 or 2
};

// Applies the settings to an open terminal. 0, or -1 (settings refused before
// anything was applied, or the terminal refused them).
int rtu_line_configure(int fd, const SerialSettings *settings);

// Opens RTU_LINK_PORT with 9600 8N1. 0 or -1.
int rtu_link_open();
// The same on another terminal with other settings (tests use a pty).
int rtu_link_open_path(const char *path, const SerialSettings *settings);
// Port descriptor, -1 while closed.
int rtu_link_fd();
// Queues bytes for the port; returns the number taken.
int rtu_link_send(const uint8_t *data, int length);
void rtu_link_poll();             // 20 ms, after rtu_link_drain_received
void rtu_link_drain_received();   // 20 ms
void rtu_link_expire();           // 100 ms
