// Modbus TCP server transport: one server per process, at most two clients,
// driven by mb_tcp_server_poll from the main thread's 20 ms timer. Requests
// are cut into whole frames and parked per client; replies are never written
// by whoever builds them: the context's send operation queues them for the
// next poll, so other threads may reply (under the context lock).
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "modbus.h"

constexpr int MAX_OPEN_PORT = 31;          // highest socket number served
constexpr int MB_TCP_CLIENT_SLOTS = 2;
constexpr int MB_TCP_IDLE_LIMIT = 90000;   // poll cycles without traffic
constexpr int MB_TCP_QUEUE_LIMIT = 260;

// The bridge's entry point, called from the poll without the context lock.
// `request` is the poll's own buffer, valid only during the call; `length` is
// the whole frame. The result is ignored.
typedef int (*RequestCallback)(ModbusContext *ctx, int socket, const uint8_t *request,
                               int length);

// The server's operation table (TCP, header 7, no checksum, frames <= 260).
extern const ModbusBackend g_mbTcpServerBackend;

// Creates the one server and starts listening (a failed listen is retried by
// every poll). Null when allocation fails or a server already exists.
ModbusContext *mb_tcp_server_new(int port, RequestCallback on_request);
// One non-blocking cycle: dispatch one frame per client, select, receive,
// accept, send.
void mb_tcp_server_poll();
void mb_tcp_server_free(ModbusContext *ctx);

// Told on the main thread after a client's socket was closed, before its
// number can be given to a new client. contextLocked: the caller already
// holds the context lock (the backend's close operation).
typedef void (*MbClientClosedFn)(ModbusContext *ctx, int socket, bool contextLocked);
void mb_tcp_server_set_close_hook(MbClientClosedFn hook);

// The port actually listened on (useful when created with port 0), or -1.
int mb_tcp_server_bound_port();

// Length of the complete request at the start of buf[0..n): > 0 when one is
// there, 0 when incomplete, -1 when it would exceed 260 bytes (reported on
// standard error). Never reads at or past buf[n].
int mb_tcp_frame_length(const uint8_t *buf, int n);

// Send operation: queues a reply for the context's current socket, whole or
// not at all. Bytes taken; 0 when the socket has no client slot (closed
// meanwhile); -1 when no socket is set (EINVAL) or the queue is full
// (ENOBUFS).
ssize_t mb_tcp_server_send(ModbusContext *ctx, const uint8_t *frame, int length);
