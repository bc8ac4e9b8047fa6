#include "modbus.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "health.h"
#include "logger.h"

namespace {

uint16_t be16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }

// Sleeps the whole timeout even when a signal interrupts the sleep.
void pause_for(const struct timeval &tv) {
    struct timespec want = {tv.tv_sec, (long)tv.tv_usec * 1000};
    struct timespec rest = {0, 0};
    for (int guard = 0; guard < 1000 && (want.tv_sec > 0 || want.tv_nsec > 0); ++guard) {
        if (nanosleep(&want, &rest) == 0) break;
        if (errno != EINTR) break;
        want = rest;
    }
}

// Bytes a request of function code f needs, given what is known so far; the
// byte count of FC 15/16 is read only once it is known to be present.
int needed_length(int h, const uint8_t *req, int avail) {
    int f = req[h];
    switch (f) {
    case 1: case 2: case 3: case 4: case 5: case 6:
        return h + 5;
    case 15: case 16:
        if (avail < h + 6) return h + 6;
        return h + 6 + req[h + 5];
    default:
        return h + 1;
    }
}

struct ReplyBuilder {
    ModbusContext *ctx;
    MbReplyInfo info;
    uint8_t rsp[MB_MAX_ADU_LENGTH];
    int len = 0;
    bool built = false;

    int header() { return ctx->backend->buildReplyHeader(&info, rsp); }

    // Exception reply; `flushed` adds the response-timeout pause and the
    // discard of the client's unread input.
    void exception(int code, bool flushed) {
        if (flushed && ctx->pauseFlushed) {
            ctx->pauseFlushed(ctx);  // the transport pauses this client alone
        } else if (flushed) {
            pause_for(ctx->responseTimeout);
            int n = ctx->backend->flush ? ctx->backend->flush(ctx) : 0;
            if (ctx->debug) {
                char text[40];
                int len = snprintf(text, sizeof text, "Bytes flushed (%d)\n", n);
                log_console_text(1, text, len);
            }
        }
        MbReplyInfo ex = info;
        ex.function = info.function + 0x80;
        len = ctx->backend->buildReplyHeader(&ex, rsp);
        rsp[len++] = (uint8_t)code;
        built = true;
    }
};

// The engine's trace goes to standard error, in order with the logger's.
void mb_trace(const char *format, ...) __attribute__((format(printf, 1, 2)));
void mb_trace(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) log_console_text(2, text, n < (int)sizeof text ? n : (int)sizeof text - 1);
}

#define MB_TRACE(ctx, ...)             \
    do {                               \
        if ((ctx)->debug) {            \
            mb_trace(__VA_ARGS__);     \
        }                              \
    } while (0)

// The read's table (start, count) in the map; absent tables are empty.
struct ReadTable {
    uint32_t start = 0;
    uint32_t count = 0;
};

ReadTable read_table(const RegisterMap *map, int f) {
    ReadTable t;
    if (map == nullptr) return t;
    switch (f) {
    case 1: t = {map->start_bits, map->nb_bits}; break;
    case 2: t = {map->start_input_bits, map->nb_input_bits}; break;
    case 3: t = {map->start_registers, map->nb_registers}; break;
    case 4: t = {map->start_input_registers, map->nb_input_registers}; break;
    default: break;
    }
    return t;
}

// 0 when a read of n values at address lies in its table, else the exception code.
int read_range_code(const RegisterMap *map, int f, int address, int n) {
    const int max = (f == 1 || f == 2) ? MB_MAX_READ_BITS : MB_MAX_READ_REGISTERS;
    if (n < 1 || n > max) return MB_EXC_ILLEGAL_DATA_VALUE;
    const ReadTable t = read_table(map, f);
    const int64_t index = (int64_t)address - (int64_t)t.start;
    if (index < 0 || index + n > (int64_t)t.count) return MB_EXC_ILLEGAL_DATA_ADDRESS;
    return 0;
}

void reply_read_bits(ReplyBuilder &b, void *device, RegisterMap *map, int f, int address,
                     int n, bool live, int complete) {
    ModbusContext *ctx = b.ctx;
    const char *name = f == 1 ? "read_bits" : "read_input_bits";
    const int code = read_range_code(map, f, address, n);
    if (code == MB_EXC_ILLEGAL_DATA_VALUE) {
        MB_TRACE(ctx, "Illegal nb of values %d in %s (max %d)\n", n, name, MB_MAX_READ_BITS);
        b.exception(MB_EXC_ILLEGAL_DATA_VALUE, true);
        return;
    }
    const uint32_t start = read_table(map, f).start;
    uint8_t *table = map ? (f == 1 ? map->tab_bits : map->tab_input_bits) : nullptr;
    const int64_t index = (int64_t)address - (int64_t)start;
    if (code == MB_EXC_ILLEGAL_DATA_ADDRESS) {
        MB_TRACE(ctx, "Illegal data address 0x%0X in %s\n", index < 0 ? address : address + n,
                 name);
        b.exception(MB_EXC_ILLEGAL_DATA_ADDRESS, false);
        return;
    }
    if (live && !complete) return;
    b.len = b.header();
    b.rsp[b.len++] = (uint8_t)((n + 7) / 8);
    uint8_t byte = 0;
    int bit = 0;
    for (int i = 0; i < n; ++i) {
        int64_t k = index + i;
        if (table[k]) byte |= (uint8_t)(1u << bit);
        if (f == 2 && table[k] == 1 && ctx->clearAfterRead &&
            ctx->clearAfterRead(device, 2, (int)(start + k)))
            set_input_status(map, (uint16_t)(start + k), 0);
        if (++bit == 8) {
            b.rsp[b.len++] = byte;
            byte = 0;
            bit = 0;
        }
    }
    if (bit) b.rsp[b.len++] = byte;
    b.built = true;
}

void reply_read_registers(ReplyBuilder &b, void *device, RegisterMap *map, int f, int address,
                          int n, bool live, int complete) {
    ModbusContext *ctx = b.ctx;
    const char *name = f == 3 ? "read_registers" : "read_input_registers";
    const int code = read_range_code(map, f, address, n);
    if (code == MB_EXC_ILLEGAL_DATA_VALUE) {
        MB_TRACE(ctx, "Illegal nb of values %d in %s (max %d)\n", n, name,
                 MB_MAX_READ_REGISTERS);
        b.exception(MB_EXC_ILLEGAL_DATA_VALUE, true);
        return;
    }
    const uint32_t start = read_table(map, f).start;
    uint16_t *table = map ? (f == 3 ? map->tab_registers : map->tab_input_registers) : nullptr;
    const int64_t index = (int64_t)address - (int64_t)start;
    if (code == MB_EXC_ILLEGAL_DATA_ADDRESS) {
        MB_TRACE(ctx, "Illegal data address 0x%0X in %s\n", index < 0 ? address : address + n,
                 name);
        b.exception(MB_EXC_ILLEGAL_DATA_ADDRESS, false);
        return;
    }
    if (live && !complete) return;
    b.len = b.header();
    b.rsp[b.len++] = (uint8_t)(2 * n);
    for (int i = 0; i < n; ++i) {
        int64_t k = index + i;
        uint16_t v = table[k];
        b.rsp[b.len++] = (uint8_t)(v >> 8);
        b.rsp[b.len++] = (uint8_t)(v & 0xFF);
        if (f == 4 && v != 0 && ctx->clearAfterRead &&
            ctx->clearAfterRead(device, 4, (int)(start + k)))
            set_input_reg(map, (uint16_t)(start + k), 0);
    }
    b.built = true;
}

}  // namespace

void mb_context_init(ModbusContext *ctx) {
    int rc = pthread_mutex_init(&ctx->lock, nullptr);
    if (rc != 0) LOG_FATAL("modbus ctx lock init failed! %s", strerror(rc));
    ctx->unitId = -1;
    ctx->socket = -1;
    ctx->debug = 0;
    ctx->errorRecovery = 0;
    ctx->responseTimeout = {0, 500000};
    ctx->byteTimeout = {0, 500000};
    ctx->indicationTimeout = {0, 0};
    ctx->clearAfterRead = nullptr;
    ctx->pauseFlushed = nullptr;
}

int mb_set_debug(ModbusContext *ctx, int on) {
    if (ctx == nullptr) {
        errno = EINVAL;
        return -1;
    }
    ctx->debug = on;
    return 0;
}

int mb_set_socket(ModbusContext *ctx, int socket) {
    if (ctx == nullptr) {
        errno = EINVAL;
        return -1;
    }
    ctx->socket = socket;
    return 0;
}

int mb_set_clear_after_read(ModbusContext *ctx, MbClearAfterReadFn fn) {
    if (ctx == nullptr) {
        errno = EINVAL;
        return -1;
    }
    ctx->clearAfterRead = fn;
    return 0;
}

int mb_get_header_length(ModbusContext *ctx) {
    if (ctx == nullptr || ctx->backend == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return (int)ctx->backend->headerLength;
}

void mb_lock(ModbusContext *ctx) { pthread_mutex_lock(&ctx->lock); }
void mb_unlock(ModbusContext *ctx) { pthread_mutex_unlock(&ctx->lock); }

int mb_decode_request(const uint8_t *frame, int length, int socket, MbRequest *out) {
    const int h = MB_TCP_HEADER_LENGTH;
    *out = MbRequest();
    out->frame = frame;
    out->length = length;
    out->socket = socket;
    if (frame == nullptr || length < h + 1) return -1;
    out->transactionId = be16(frame);
    out->unitId = frame[h - 1];
    out->function = frame[h];
    const int f = out->function;
    if (((f >= 1 && f <= 6) || f == 15 || f == 16) && length >= h + 5) {
        out->address = be16(frame + h + 1);
        out->quantity = be16(frame + h + 3);
        // The one place the direct alias is resolved.
        out->direct = out->address > MB_DIRECT_OFFSET;
        out->registerAddress =
            out->direct ? (uint16_t)(out->address - MB_DIRECT_OFFSET) : out->address;
    }
    return 0;
}

int mb_reply(ModbusContext *ctx, void *device, const uint8_t *request, int length,
             RegisterMap *map, int complete) {
    if (ctx == nullptr || ctx->backend == nullptr || request == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // A saved copy (negative length) holds at most one maximal frame.
    MbRequest req;
    mb_decode_request(request, length < 0 ? MB_MAX_ADU_LENGTH : length, ctx->socket, &req);
    return mb_reply(ctx, device, &req, map, complete);
}

int mb_reply(ModbusContext *ctx, void *device, const MbRequest *req, RegisterMap *map,
             int complete) {
    if (ctx == nullptr || ctx->backend == nullptr || req == nullptr || req->frame == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const int h = MB_TCP_HEADER_LENGTH;
    const uint8_t *request = req->frame;
    const int avail = req->length;
    if (avail < h + 1 || needed_length(h, request, avail) > avail) {
        LOG_WARN("modbus request of %d bytes is truncated, dropped", avail);
        errno = MB_EBADDATA;
        return -1;
    }

    ReplyBuilder b;
    b.ctx = ctx;
    const int f = req->function;
    b.info.unitId = req->unitId;
    b.info.function = f;
    b.info.transactionId = req->transactionId;

    const int address = req->registerAddress;
    const int n = req->quantity;  // the value field for FC 5 and 6
    const bool live = req->direct;

    switch (f) {
    case 1:
    case 2:
        reply_read_bits(b, device, map, f, address, n, live, complete);
        break;
    case 3:
    case 4:
        reply_read_registers(b, device, map, f, address, n, live, complete);
        break;
    case 5:
    case 6: {
        const bool coil = f == 5;
        const uint32_t start = map ? (coil ? map->start_bits : map->start_registers) : 0;
        const uint32_t count = map ? (coil ? map->nb_bits : map->nb_registers) : 0;
        int64_t index = map ? (int64_t)address - (int64_t)start : -1;
        if (index < 0 || index >= (int64_t)count) {
            MB_TRACE(ctx, "Illegal data address 0x%0X in %s\n", address,
                     coil ? "write_bit" : "write_register");
            b.exception(MB_EXC_ILLEGAL_DATA_ADDRESS, false);
        } else if (coil && n != 0xFF00 && n != 0x0000) {
            MB_TRACE(ctx, "Illegal data value 0x%0X in write_bit request at address %0X\n", n,
                     address);
            b.exception(MB_EXC_ILLEGAL_DATA_VALUE, false);
        } else if (complete) {
            // The echo: the request's own header (protocol id included),
            // then its address field and value.
            memcpy(b.rsp, request, h + 1);
            b.len = h + 1;
            b.rsp[b.len++] = (uint8_t)(req->address >> 8);
            b.rsp[b.len++] = (uint8_t)req->address;
            b.rsp[b.len++] = (uint8_t)(n >> 8);
            b.rsp[b.len++] = (uint8_t)n;
            b.built = true;
        }
        break;
    }
    case 15:
    case 16: {
        const int byteCount = request[h + 5];
        const bool coils = f == 15;
        const int max = coils ? MB_MAX_WRITE_BITS : MB_MAX_WRITE_REGISTERS;
        const bool countOk = coils ? 8 * byteCount >= n : byteCount == 2 * n;
        const char *name = coils ? "write_bits" : "write_registers";
        if (n < 1 || n > max || !countOk) {
            MB_TRACE(ctx, "Illegal number of values %d in %s (max %d)\n", n, name, max);
            b.exception(MB_EXC_ILLEGAL_DATA_VALUE, true);
            break;
        }
        uint32_t start = 0, count = 0;
        if (map) {
            start = coils ? map->start_bits : map->start_registers;
            count = coils ? map->nb_bits : map->nb_registers;
        }
        int64_t index = (int64_t)address - (int64_t)start;
        if (index < 0 || index + n > (int64_t)count) {
            MB_TRACE(ctx, "Illegal data address 0x%0X in %s\n", index < 0 ? address : address + n,
                     name);
            b.exception(MB_EXC_ILLEGAL_DATA_ADDRESS, false);
        } else if (complete) {
            b.len = b.header();
            b.rsp[b.len++] = (uint8_t)(req->address >> 8);
            b.rsp[b.len++] = (uint8_t)req->address;
            b.rsp[b.len++] = (uint8_t)(n >> 8);
            b.rsp[b.len++] = (uint8_t)n;
            b.built = true;
        }
        break;
    }
    default:
        MB_TRACE(ctx, "Unknown Modbus function code: 0x%0X\n", f);
        b.exception(MB_EXC_ILLEGAL_FUNCTION, true);
        break;
    }

    if (!b.built) return MB_REPLY_DEFERRED;
    if (ctx->backend->backendType == MB_BACKEND_RTU && b.info.unitId == 0) return 0;
    return mb_send_frame(ctx, b.rsp, b.len);
}

int mb_check_read(const MbRequest *request, const RegisterMap *map) {
    if (request == nullptr) return -1;
    const int f = request->function;
    if (f < 1 || f > 4) return -1;
    return read_range_code(map, f, request->registerAddress, request->quantity);
}

int mb_reply_exception(ModbusContext *ctx, const MbRequest *request, unsigned code) {
    if (ctx == nullptr || ctx->backend == nullptr || request == nullptr || code > 11) {
        errno = EINVAL;
        return -1;
    }
    MbReplyInfo info;
    info.unitId = request->unitId;
    info.function = request->function + 0x80;
    info.transactionId = request->transactionId;
    uint8_t rsp[MB_MAX_ADU_LENGTH];
    int len = ctx->backend->buildReplyHeader(&info, rsp);
    rsp[len++] = (uint8_t)code;
    return mb_send_frame(ctx, rsp, len);
}

int mb_send_frame(ModbusContext *ctx, uint8_t *frame, int length) {
    if (ctx == nullptr || ctx->backend == nullptr || frame == nullptr || length <= 0 ||
        length > MB_MAX_ADU_LENGTH) {
        errno = EINVAL;
        return -1;
    }
    length = ctx->backend->finishFrame(frame, length);
    if (ctx->debug) {
        // One write per frame: "[%.2X]" per byte, then a newline.
        static const char kDigits[] = "0123456789ABCDEF";
        char text[MB_MAX_ADU_LENGTH * 4 + 2];
        int pos = 0;
        for (int i = 0; i < length; ++i) {
            text[pos++] = '[';
            text[pos++] = kDigits[frame[i] >> 4];
            text[pos++] = kDigits[frame[i] & 15];
            text[pos++] = ']';
        }
        text[pos++] = '\n';
        log_console_text(1, text, pos);
    }
    ssize_t rc = ctx->backend->send(ctx, frame, length);
    if (rc == -1) {
        MB_TRACE(ctx, "ERROR %s\n", mb_strerror(errno));
        return -1;
    }
    if (rc > 0 && rc != length) {
        errno = MB_EBADDATA;
        return -1;
    }
    if (rc == length) {
        health_bump(HC_ANSWERED);
        const unsigned h = ctx->backend->headerLength;
        if ((unsigned)length > h + 1 && (frame[h] & 0x80)) {
            const HealthCounter c = health_exception_counter(frame[h + 1]);
            if (c != HC_COUNT) health_bump(c);
        }
    }
    return (int)rc;
}

const char *mb_strerror(int errnum) {
    switch (errnum) {
    case MB_EXILFUN: return "Illegal function";
    case MB_EXILADD: return "Illegal data address";
    case MB_EXILVAL: return "Illegal data value";
    case MB_EXSFAIL: return "Slave device or server failure";
    case MB_EXACK: return "Acknowledge";
    case MB_EXSBUSY: return "Slave device or server is busy";
    case MB_EXNACK: return "Negative acknowledge";
    case MB_EXMEMPAR: return "Memory parity error";
    case MB_EXGPATH: return "Gateway path unavailable";
    case MB_EXGTAR: return "Target device failed to respond";
    case MB_EBADCRC: return "Invalid CRC";
    case MB_EBADDATA: return "Invalid data";
    case MB_EBADEXC: return "Invalid exception code";
    case MB_EMDATA: return "Too many data";
    case MB_EBADSLAVE: return "Response not from requested slave";
    default: return strerror(errnum);
    }
}
