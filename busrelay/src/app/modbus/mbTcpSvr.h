// Modbus TCP server transport: one server per process, at most two clients,
// driven from the main thread's event loop (mb_tcp_server_wait), with
// mb_tcp_server_poll as the 20 ms timer's safety net. Bytes of each client are
// reassembled into whole frames by the MBAP length field, and every complete
// frame is dispatched and answered in the pass that received it, in order.
// Replies are never written by whoever builds them: the context's send
// operation queues them; a reply queued by another thread (under the context
// lock) wakes the main thread through the server's wake-up descriptor.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "modbus.h"

constexpr int MAX_OPEN_PORT = 31;          // highest socket number served
constexpr int MB_TCP_CLIENT_SLOTS = 2;
constexpr int MB_TCP_IDLE_LIMIT = 90000;   // 20 ms poll cycles without traffic
constexpr int64_t MB_TCP_IDLE_LIMIT_MS = (int64_t)MB_TCP_IDLE_LIMIT * 20;  // 30 min
// Replies one client may be owed at once: a frame is dispatched only while
// its queue is empty, so the queue holds one immediate reply, one gateway
// answer being replied and the five that wait in the bridge's table. Each
// must fit whole: a reply refused by a full queue would be lost for good.
constexpr int MB_TCP_REPLIES_OWED = 7;
constexpr int MB_TCP_QUEUE_LIMIT = MB_TCP_REPLIES_OWED * 260;
// Bytes of one client held for reassembly: a whole frame plus the next read.
constexpr int MB_TCP_RX_BUFFER = 2 * 260;
// Announced frames longer than this are skipped unanswered (at most
// 6 + 65535 bytes, the largest the MBAP length field can announce).
constexpr int MB_TCP_MAX_FRAME = 260;

// The bridge's entry point, called from the poll without the context lock
// with the request as the poll cut and decoded it; its frame is the poll's
// own buffer, valid only during the call. The result is ignored.
typedef int (*RequestCallback)(ModbusContext *ctx, const MbRequest *request);

// The server's operation table (TCP, header 7, no checksum, frames <= 260).
extern const ModbusBackend g_mbTcpServerBackend;

// Creates the one server and starts listening (a failed listen is retried by
// every mb_tcp_server_poll). Null when allocation fails or a server already
// exists. The calling thread is the one that serves it (wait/poll).
ModbusContext *mb_tcp_server_new(int port, RequestCallback on_request);
// One pass of the event loop: waits at most timeoutMs (0: not at all; less
// while a client's flushed-exception pause ends sooner) for a client's bytes,
// a new connection, room to send or a reply queued by another thread, then
// receives, dispatches and answers every complete frame, accepts, and sends.
// With no server it just waits. Returns 1 when something happened, else 0.
int mb_tcp_server_wait(int timeoutMs);
// The safety-net pass (no wait). While not listening it only retries the
// listen, as every cycle.
void mb_tcp_server_poll();
// True while listening with no client: a safety-net pass would find nothing.
bool mb_tcp_server_idle();
// Wakes a thread that waits in mb_tcp_server_wait (any thread may call it).
void mb_tcp_server_wake();
// For tests: the millisecond clock behind idle limits and pauses (null: the
// monotonic clock).
void mb_tcp_server_set_clock(int64_t (*nowMs)());
void mb_tcp_server_free(ModbusContext *ctx);

// Told on the main thread after a client's socket was closed, before its
// number can be given to a new client. contextLocked: the caller already
// holds the context lock (no caller does today).
typedef void (*MbClientClosedFn)(ModbusContext *ctx, int socket, bool contextLocked);
void mb_tcp_server_set_close_hook(MbClientClosedFn hook);

// The port actually listened on (useful when created with port 0), or -1.
int mb_tcp_server_bound_port();

// Length of the complete request at the start of buf[0..n), by the MBAP
// length field (6 + length): > 0 when the whole frame is there, 0 when it is
// incomplete, -1 when the announced frame exceeds 260 bytes (reported on
// standard error as "too many data") or is too short to hold a unit id and a
// function code. Never reads at or past buf[n].
int mb_tcp_frame_length(const uint8_t *buf, int n);
// The frame length the MBAP header at buf announces (6 + length field); 0
// while fewer than 6 bytes are there.
int mb_tcp_announced_length(const uint8_t *buf, int n);

// Send operation: queues a reply for the context's current socket, whole or
// not at all. Bytes taken; 0 when the socket has no client slot (closed
// meanwhile); -1 when no socket is set (EINVAL) or the queue is full
// (ENOBUFS).
ssize_t mb_tcp_server_send(ModbusContext *ctx, const uint8_t *frame, int length);
