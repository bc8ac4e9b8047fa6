// Modbus request processing: the context shared by the transport and the
// bridge, validation of a request against a unit's RegisterMap, and the
// normal and exception replies. Writes are never applied here: a valid write
// (and a valid read of a direct address above 1000) is deferred to the
// caller, which answers it later with complete = 1.
#pragma once

#include <pthread.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>

#include "registerMap.h"

// Engine error numbers, carried in errno. Base + n for n in 1..11 is Modbus
// exception code n.
constexpr int MB_ERRNO_BASE = 112345678;
enum {
    MB_EXILFUN = MB_ERRNO_BASE + 1,
    MB_EXILADD = MB_ERRNO_BASE + 2,
    MB_EXILVAL = MB_ERRNO_BASE + 3,
    MB_EXSFAIL = MB_ERRNO_BASE + 4,
    MB_EXACK = MB_ERRNO_BASE + 5,
    MB_EXSBUSY = MB_ERRNO_BASE + 6,
    MB_EXNACK = MB_ERRNO_BASE + 7,
    MB_EXMEMPAR = MB_ERRNO_BASE + 8,
    MB_EXGPATH = MB_ERRNO_BASE + 10,
    MB_EXGTAR = MB_ERRNO_BASE + 11,
    MB_EBADCRC = MB_ERRNO_BASE + 12,
    MB_EBADDATA = MB_ERRNO_BASE + 13,
    MB_EBADEXC = MB_ERRNO_BASE + 14,
    MB_EMDATA = MB_ERRNO_BASE + 16,
    MB_EBADSLAVE = MB_ERRNO_BASE + 17,
};

// Exception codes.
enum {
    MB_EXC_ILLEGAL_FUNCTION = 1,
    MB_EXC_ILLEGAL_DATA_ADDRESS = 2,
    MB_EXC_ILLEGAL_DATA_VALUE = 3,
    MB_EXC_SLAVE_FAILURE = 4,
    MB_EXC_SLAVE_BUSY = 6,
};

// mb_reply built nothing: the request must go to the gateway.
constexpr int MB_REPLY_DEFERRED = 0x55AA55BB;

constexpr int MB_BACKEND_RTU = 0;
constexpr int MB_BACKEND_TCP = 1;
constexpr int MB_TCP_HEADER_LENGTH = 7;
constexpr int MB_MAX_ADU_LENGTH = 260;

// Direct (live) addresses: address - MB_DIRECT_OFFSET, for addresses above it.
constexpr int MB_DIRECT_OFFSET = 1000;

constexpr int MB_MAX_READ_BITS = 2000;
constexpr int MB_MAX_READ_REGISTERS = 125;
constexpr int MB_MAX_WRITE_BITS = 1968;
constexpr int MB_MAX_WRITE_REGISTERS = 123;

struct ModbusContext;

// What a reply header needs from its request.
struct MbReplyInfo {
    int unitId;
    int function;
    int transactionId;
};

// One constant operation table per transport; slot order is fixed.
struct ModbusBackend {
    unsigned backendType;     // MB_BACKEND_TCP or MB_BACKEND_RTU
    unsigned headerLength;
    unsigned checksumLength;
    unsigned maxFrameLength;
    int (*setUnitId)(ModbusContext *ctx, int unitId);
    int (*build_request_basis)(ModbusContext *ctx, int function, int address, int count,
                               uint8_t *request);
    int (*buildReplyHeader)(const MbReplyInfo *info, uint8_t *reply);
    int (*replyTransactionId)(const uint8_t *request);
    int (*finishFrame)(uint8_t *frame, int length);
    ssize_t (*send)(ModbusContext *ctx, const uint8_t *frame, int length);
    int (*receiveRequest)(ModbusContext *ctx, uint8_t *request);  // null: not offered
    ssize_t (*receiveBytes)(ModbusContext *ctx, uint8_t *buffer, int length);
    int (*verifyFrame)(ModbusContext *ctx, uint8_t *frame, int length);
    int (*matchConfirmation)(ModbusContext *ctx, const uint8_t *request, const uint8_t *reply,
                             int replyLength);
    int (*connect)(ModbusContext *ctx);  // null: not offered
    void (*close)(ModbusContext *ctx);
    int (*flush)(ModbusContext *ctx);
    int (*select)(ModbusContext *ctx, fd_set *readSet, struct timeval *timeout, int length);
    void (*release)(ModbusContext *ctx);  // null: the owner frees the context
};

// The bridge's one-shot signal rule. Called under the context lock for every
// non-zero discrete input (functionCode 2) or input register (functionCode 4)
// right after it was copied into a read reply; non-zero means "clear it in the
// map". `device` is whatever the caller passed to mb_reply; the engine never
// looks into it. Without a rule (null) nothing is cleared.
typedef int (*MbClearAfterReadFn)(void *device, int functionCode, int address);

// Takes over the pause before a flushed exception for the context's current
// socket: the transport holds that client's output for the response timeout
// and discards its input meanwhile, instead of the caller sleeping. Called
// under the context lock just before the exception reply is sent.
typedef void (*MbPauseFlushedFn)(ModbusContext *ctx);

struct ModbusContext {
    pthread_mutex_t lock;  // guards the socket field and every RegisterMap
    int unitId;
    int socket;  // client that the next reply goes to
    int debug;
    int errorRecovery;
    struct timeval responseTimeout;  // pause before a flushed exception
    struct timeval byteTimeout;
    struct timeval indicationTimeout;
    const ModbusBackend *backend;
    void *backendData;
    MbClearAfterReadFn clearAfterRead;
    MbPauseFlushedFn pauseFlushed;  // null: sleep, then the backend's flush
};

void mb_context_init(ModbusContext *ctx);
int mb_set_debug(ModbusContext *ctx, int on);
int mb_set_socket(ModbusContext *ctx, int socket);
// Installs the one-shot signal rule (null removes it). 0, or -1 (EINVAL).
int mb_set_clear_after_read(ModbusContext *ctx, MbClearAfterReadFn fn);
int mb_get_header_length(ModbusContext *ctx);
void mb_lock(ModbusContext *ctx);
void mb_unlock(ModbusContext *ctx);

// Validates `request` (MBAP header first) against `map` and answers it, or
// defers it. `length` is the number of bytes in `request`; a negative length
// means "a complete frame as the TCP server framed it" (the bridge's saved
// copy) and the frame's own length is used. A request shorter than its
// function code needs is refused: -1 with errno MB_EBADDATA, nothing sent.
// A null `map` has no tables. Call with the context lock held.
// Result: mb_send_frame's result, MB_REPLY_DEFERRED, or -1 (EINVAL: null ctx).
int mb_reply(ModbusContext *ctx, void *device, const uint8_t *request, int length,
             RegisterMap *map, int complete);
// Exception reply for codes 0..11 (request: at least its 8 header bytes);
// larger codes give -1 (EINVAL). No pause, no flush, no trace.
int mb_reply_exception(ModbusContext *ctx, const uint8_t *request, unsigned code);
// Finishes the frame (length field), traces it with debug on and hands it to
// the backend's send. Bytes taken, or -1.
int mb_send_frame(ModbusContext *ctx, uint8_t *frame, int length);
const char *mb_strerror(int errnum);
