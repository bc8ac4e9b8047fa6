// Modbus request processing: the context shared by the transport and the
// bridge, validation of a request against a unit's RegisterMap, and the
// normal and exception replies. Writes are never applied here: a valid write
// (and a valid read of a direct address above 1000) is deferred to the
// caller, which answers it later with complete = 1.
#pragma once

#include <pthread.h>
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
    MB_EXC_GATEWAY_TARGET_FAILED = 11,  // 0x0B: the device behind the gateway did not respond
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
    int (*buildReplyHeader)(const MbReplyInfo *info, uint8_t *reply);
    int (*finishFrame)(uint8_t *frame, int length);
    ssize_t (*send)(ModbusContext *ctx, const uint8_t *frame, int length);
    int (*flush)(ModbusContext *ctx);
};

// A request as it was cut from a client's stream, decoded once
// (mb_decode_request) and handed to whoever processes, bridges or parks it.
// `frame` is the MBAP frame (PDU at MB_TCP_HEADER_LENGTH); whoever keeps the
// request keeps a copy of the bytes and points `frame` at it.
struct MbRequest {
    const uint8_t *frame;
    int length;           // bytes at frame
    int socket;           // the client it came from
    uint16_t transactionId;
    uint8_t unitId;
    uint8_t function;
    uint16_t address;     // as sent (FC 1-6, 15, 16; else 0)
    uint16_t quantity;    // count, or the value of FC 5 and 6
    bool direct;          // address above MB_DIRECT_OFFSET: the gateway is asked
    uint16_t registerAddress;  // the map's address: address - MB_DIRECT_OFFSET when direct
    bool readOnly;        // the client may only read (mbacl.json "readOnly")
};

// Decodes an MBAP frame of `length` bytes. 0, or -1 when it is too short
// for a unit id and a function code (then only frame, length and socket are
// set and the rest is 0). Address and quantity stay 0 when their bytes are
// missing; mb_reply refuses such a frame as truncated.
int mb_decode_request(const uint8_t *frame, int length, int socket, MbRequest *out);
// The request as addressed to its map register (a direct address reduced):
// how a request the gateway has completed is answered, so a write's echo
// names the register.
inline MbRequest mb_register_request(const MbRequest &request) {
    MbRequest r = request;
    r.address = r.registerAddress;
    r.direct = false;
    return r;
}

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

// Validates `request` against `map` and answers it, or defers it. The
// reply goes to the context's current socket. A request shorter than its
// function code needs is refused: -1 with errno MB_EBADDATA, nothing sent.
// A null `map` has no tables. A complete reply (complete = 1) echoes the
// request's address field as the request says it. Call with the context
// lock held. Result: mb_send_frame's result, MB_REPLY_DEFERRED, or -1
// (EINVAL: null ctx or request).
int mb_reply(ModbusContext *ctx, void *device, const MbRequest *request, RegisterMap *map,
             int complete);
// The same for a caller that holds only bytes: decodes them first. A
// negative length means "a complete frame as the TCP server framed it".
int mb_reply(ModbusContext *ctx, void *device, const uint8_t *request, int length,
             RegisterMap *map, int complete);
// Whether a read (FC 1-4) of `map` at the request's register address would be
// answered from it: 0, or the exception code mb_reply would give (2: outside
// the table, 3: quantity). -1 for any other function code.
int mb_check_read(const MbRequest *request, const RegisterMap *map);
// Exception reply for codes 0..11; larger codes give -1 (EINVAL). No pause,
// no flush, no trace.
int mb_reply_exception(ModbusContext *ctx, const MbRequest *request, unsigned code);
// Finishes the frame (length field), traces it with debug on and hands it to
// the backend's send. Bytes taken, or -1. A frame taken whole counts as a
// reply sent (and by its exception code) in the health counters.
int mb_send_frame(ModbusContext *ctx, uint8_t *frame, int length);
const char *mb_strerror(int errnum);
