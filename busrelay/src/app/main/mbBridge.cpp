#include "mbBridge.h"

#include <json/json.h>

#include <cstdio>

#include "7Fcom.h"
#include "devDesc.h"
#include "health.h"
#include "healthRegs.h"
#include "logger.h"
#include "mbOpts.h"
#include "mbReq.h"
#include "valueConv.h"

namespace {

int be16(const uint8_t *p) { return (p[0] << 8) | p[1]; }

// Table base of the description address space for a function code.
uint16_t node_key_base(int function) {
    switch (function) {
    case 2: return 10000;
    case 4: return 30000;
    case 3:
    case 6:
    case 16: return 40000;
    default: return 0;  // coils: 1, 5, 15
    }
}

bool is_write(int function) { return function == 5 || function == 6 || function == 15 || function == 16; }

// The offline policy's question: a cached read of a gateway device (units
// 1-247) whose online bit is 0 and that the map would answer. Unit 255 and
// RTU entries have no online bit of their own; without unit 255 nothing is
// known and the map answers. Call with the context lock held.
bool offline_refusal(const MappedDevice *device, const MbRequest *req) {
    if (!mb_opts().offlineException || req->direct || req->function < 1 || req->function > 4)
        return false;
    if (device->unitId < 1 || device->unitId > 247 || device->isRtu ||
        device->deviceKey == MB_BRIDGE_RTU_KEY)
        return false;
    const MappedDevice *gw = find_device_by_unit(255);
    if (gw == nullptr || gw->registerMap == nullptr) return false;
    const RegisterMap *m = gw->registerMap;
    const long i = register_index(m->start_input_bits, m->nb_input_bits, device->unitId);
    if (i < 0 || m->tab_input_bits[i] != 0) return false;
    // A request the map would refuse keeps its own exception.
    return mb_check_read(req, device->registerMap) == 0;
}

// Compact, keys in byte order (jsoncpp keeps object members sorted), one newline.
std::string compact_text(const Json::Value &doc) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, doc) + "\n";
}

}  // namespace

int buildGwCmd(const MappedDevice *device, int connection, const MbRequest *req,
               std::string &payload) {
    const int h = MB_TCP_HEADER_LENGTH;
    const uint8_t *request = req->frame;
    const int unitId = req->unitId;
    const int function = req->function;
    const int tid = req->transactionId;
    const bool write = is_write(function);
    const char *cmdText = write ? "write" : "read";

    char sno[48];
    snprintf(sno, sizeof sno, "%d-%d-%d-%d", connection, unitId, function, tid);
    Json::Value doc(Json::objectValue);
    doc["deviceKey"] = device->deviceKey;
    doc["sno"] = sno;
    doc["cmd"] = cmdText;

    uint16_t key = static_cast<uint16_t>(req->registerAddress + node_key_base(function));

    const int n = (function == 5 || function == 6) ? 1 : req->quantity;
    int budget = function == 16 ? request[h + 5] : 0;
    int valuePos = h + 6;
    int done = 0;
    int remaining = n;

    LOG_INFO("---%s %s start reg=%d, cnt=%d", cmdText, device->deviceKey.c_str(), key, n);
    while (done < n) {
        const DescriptionNode *node = find_node_by_register(device->description, key);
        if (node == nullptr) {
            LOG_WARN("not support reg %d", key);
            if (function == 5 || function == 6) return MB_EXC_ILLEGAL_DATA_ADDRESS;
            ++done;
            ++key;
            --remaining;
            budget -= 2;
            valuePos += 2;
            continue;
        }
        const bool allowed = node->access == ReadWrite || (write && node->access == WriteOnly) ||
                             (!write && node->access == ReadOnly);
        if (!allowed) {
            LOG_WARN("reg %d not support  %s", key, cmdText);
            return MB_EXC_ILLEGAL_FUNCTION;
        }
        if (node->registerSpec.type == RT_Signal) {
            LOG_WARN("not support direct read signal reg,  reg=%d", key);
            return MB_EXC_ILLEGAL_DATA_ADDRESS;
        }
        const int c = node->registerSpec.registerCount;
        const bool single = function == 1 || function == 2 || function == 5 || function == 6 ||
                            function == 15;
        if (single && c != 1) {
            LOG_WARN("reg %d not support single or coil %s", key, cmdText);
            return MB_EXC_ILLEGAL_FUNCTION;
        }
        // A node must take at least one register, or the walk would never end.
        if (c < 1 || remaining < c) {
            LOG_WARN("wrong regcnt %d for reg %d , should more than %d", remaining, key, c);
            return MB_EXC_ILLEGAL_DATA_VALUE;
        }
        if (function == 16 && budget < 2 * c) {
            LOG_WARN("no enough data to write reg %d, should more than %d", key, 2 * c);
            return MB_EXC_ILLEGAL_DATA_VALUE;
        }

        uint8_t bits[2];
        const uint8_t *data = nullptr;
        int dataLength = 0;
        switch (function) {
        case 5:
            bits[0] = bits[1] = (req->quantity >> 8) != 0 ? 1 : 0;
            LOG_DEBUG("write coil[%d] to 0x%04x", key, (bits[0] << 8) | bits[1]);
            data = bits;
            dataLength = 2;
            break;
        case 6:
            data = request + h + 3;
            dataLength = 2;
            LOG_DEBUG("write reg[%d] to 0x%04x", key, be16(data));
            break;
        case 15:
            bits[0] = bits[1] = (request[h + 6 + done / 8] >> (done % 8)) & 1;
            LOG_DEBUG("write coil[%d] to %d", key, bits[0]);
            data = bits;
            dataLength = 2;
            break;
        case 16:
            data = request + valuePos;
            dataLength = 2 * c;
            LOG_DEBUG("write reg %d to:[hex]", key);
            log_hexdump(data, dataLength);
            break;
        default:
            break;
        }
        int rc = put_node_param(device, doc, node, write, data, dataLength);
        if (rc != 0) return rc;
        done += c;
        key = static_cast<uint16_t>(key + c);
        remaining -= c;
        budget -= 2 * c;
        valuePos += 2 * c;
    }
    payload = compact_text(doc);
    return 0;
}

int onRcvMbRequest(ModbusContext *ctx, const MbRequest *request) {
    if (request == nullptr || request->frame == nullptr ||
        request->length < MB_TCP_HEADER_LENGTH + 1)
        return -1;  // the server frames whole requests
    const int unitId = request->unitId;
    const int socket = request->socket;
    MappedDevice *device = find_device_by_unit(unitId);

    LOG_INFO(" on rcv mb request:");
    log_hexdump(request->frame, request->length);

    mb_lock(ctx);
    mb_set_socket(ctx, socket);
    // Before anything is looked up: a monitoring client learns that writing
    // is not its business, and nothing reaches the gateway.
    if (request->readOnly && is_write(request->function)) {
        LOG_WARN("write (function %d) to unit %d from a read-only client refused", request->function,
                 unitId);
        health_bump(HC_READ_ONLY_WRITES);
        int r = mb_reply_exception(ctx, request, MB_EXC_ILLEGAL_FUNCTION);
        mb_unlock(ctx);
        return r;
    }
    if (device == nullptr) {
        LOG_WARN("no dev for id=%d", unitId);
        int r = mb_reply_exception(ctx, request, MB_EXC_ILLEGAL_DATA_ADDRESS);
        mb_unlock(ctx);
        (void)r;
        return 0;
    }
    if (unitId == 255 && !request->direct && health_regs_wanted(*request))
        health_regs_refresh(device->registerMap, request->registerAddress, request->quantity);
    if (offline_refusal(device, request)) {
        LOG_WARN("unit %d is offline: read refused with exception 11", unitId);
        int r = mb_reply_exception(ctx, request, MB_EXC_GATEWAY_TARGET_FAILED);
        mb_unlock(ctx);
        return r;
    }
    int r = mb_reply(ctx, device, request, device->registerMap, 0);
    if (r != MB_REPLY_DEFERRED) {
        mb_unlock(ctx);
        return r;
    }

    // Admission comes before anything is sent: a request refused as busy (the
    // table is full, or it is a retransmission of one that waits) must leave
    // the gateway untouched, or a client that retries would write twice.
    const bool rtu = device->deviceKey == MB_BRIDGE_RTU_KEY;
    std::string payload;
    if (!rtu) {
        int e = buildGwCmd(device, mbReqConnection(socket), request, payload);
        if (e != 0) {
            r = mb_reply_exception(ctx, request, (unsigned)e);
            mb_unlock(ctx);
            return r;
        }
    } else {
        LOG_WARN("convert modbus tcp to modbus rtu... to do...");
    }
    MbReq *entry = nullptr;
    int f = insertMbReq(device->deviceKey.c_str(), ctx, request, &entry);
    if (f == MB_EXC_SLAVE_BUSY) health_bump(HC_BUSY);
    if (f != 0) {
        r = mb_reply_exception(ctx, request, (unsigned)f);
        mb_unlock(ctx);
        return r;
    }
    if (!rtu && Gw7fLink::instance()->sendCommand(device->deviceKey.c_str(), payload.data(),
                                                 (int)payload.size()) != 0) {
        withdrawMbReq(entry);
        r = mb_reply_exception(ctx, request, MB_EXC_SLAVE_BUSY);
        mb_unlock(ctx);
        return r;
    }
    if (!rtu) health_bump(HC_GW_SENT);
    mb_unlock(ctx);
    return 0;
}

void expireMbRequests() {
    MbReq *expired[MB_REQ_CAPACITY];
    const int n = takeExpiredMbReq(expired);
    for (int i = 0; i < n; ++i) {
        MbReq *e = expired[i];
        health_bump(HC_GW_EXPIRED);
        if (mb_opts().offlineException) {
            ModbusContext *ctx = e->ctx;
            mb_lock(ctx);
            // The client that asked may have left; its socket number may be someone else's.
            if (mbReqIsCurrent(e)) {
                mb_set_socket(ctx, e->request.socket);
                mb_reply_exception(ctx, &e->request, MB_EXC_GATEWAY_TARGET_FAILED);
            }
            mb_unlock(ctx);
        }
        freeMbReq(e);
    }
}
