#include "gwMsg.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "health.h"
#include "healthRegs.h"
#include "logger.h"
#include "mbReq.h"
#include "modbus.h"
#include "service.h"
#include "valueConv.h"
#include "vrvCtrl.h"

namespace {

constexpr int kGatewayUnit = 255;
constexpr int kAlarmBitBase = 247;
constexpr int kTopicTextMax = 80;  // the link accepts topics of up to 64 bytes

MappedDevice *gateway_unit() {
    MappedDevice *gw = find_device_by_unit(kGatewayUnit);
    if (gw == nullptr || gw->registerMap == nullptr) {
        LOG_WARN("not cfg modbus tcp 0xFF");
        return nullptr;
    }
    return gw;
}


std::string value_text(const Json::Value &v) {
    if (v.isString()) return v.asString();
    if (v.isBool()) return v.asBool() ? "true" : "false";
    if (v.isNull()) return "null";
    if (v.isInt64()) return std::to_string(v.asInt64());
    if (v.isUInt64()) return std::to_string(v.asUInt64());
    if (v.isDouble()) {
        char buf[48];
        snprintf(buf, sizeof buf, "%.17g", v.asDouble());
        return buf;
    }
    return v.isArray() ? "[...]" : "{...}";
}

bool parse_payload(const char *payload, int length, Json::Value &root) {
    // One reader per receiving thread, made once.
    thread_local std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    std::string errs;
    return reader->parse(payload, payload + length, &root, &errs);
}

}  // namespace

bool isDryContactProduct(const std::string &productKey) {
    return productKey == "contactsw2s" || productKey == "contactsw3s" ||
           productKey == "contactmd4A";
}

void setSlaveOnline(int slaveUnit, int state) {
    MappedDevice *gw = gateway_unit();
    if (gw == nullptr) return;
    if (slaveUnit < 1 || slaveUnit > 247) {
        LOG_WARN("wrong mbid %d", slaveUnit);
        return;
    }
    set_input_status(gw->registerMap, (uint16_t)slaveUnit, state ? 1 : 0);
}

void setSlaveReportBit(int slaveUnit) {
    MappedDevice *gw = gateway_unit();
    if (gw == nullptr) return;
    if (slaveUnit < 1 || slaveUnit > 247) {
        LOG_WARN("wrong mbid %d", slaveUnit);
        return;
    }
    set_input_status(gw->registerMap, (uint16_t)(slaveUnit + kAlarmBitBase), 1);
}

bool clearAfterRead(const MappedDevice *device, int functionCode, int address) {
    if (device == nullptr) return false;
    const DescriptionNode *node = nullptr;
    if (functionCode == 2)
        node = find_node_by_register(device->description, (uint16_t)(address + 10000));
    else if (functionCode == 4)
        node = find_node_by_register(device->description, (uint16_t)(address + 30000));

    if (node && node->registerSpec.type == RT_Signal) {
        LOG_INFO("clear signal reg %d after read", address);
        return true;
    }
    // Dry contacts: a channel's value register follows its type register and
    // is one-shot while the type is 2 ("pulse").
    if (node && address >= 2 && address <= 16 && address % 2 == 0 && device->registerMap &&
        isDryContactProduct(device->description->productKey)) {
        uint16_t type = 0;
        if (read_16(device->registerMap, (uint16_t)(address - 1), &type) == 0 && type == 2) {
            LOG_INFO("ugly for drycontactX, clear signal reg %d after read", address);
            return true;
        }
    }
    // The alarm bits are discrete inputs: the input registers at the same
    // addresses (the data ages) are not one-shot.
    if (device->unitId == kGatewayUnit && functionCode == 2 && address >= 248 && address <= 494) {
        LOG_INFO("ugly for gateway, clear total alarm bit for slave %d after read",
                 address - kAlarmBitBase);
        return true;
    }
    return false;
}

int mbClearAfterRead(void *device, int functionCode, int address) {
    return clearAfterRead(static_cast<const MappedDevice *>(device), functionCode, address) ? 1
                                                                                          : 0;
}

int convertGwValues(const Json::Value &object, const std::string &path, MappedDevice *device,
                    bool inArray, int *valuesStored) {
    int result = -1;
    std::string prefix;
    const char *where = path.empty() ? "root" : path.c_str();
    for (const std::string &k : object.getMemberNames()) {
        const std::string n = prefix.empty() ? k : prefix + k;
        const Json::Value &v = object[k];

        if (v.isObject() || v.isArray()) {
            if (inArray) {
                LOG_WARN(v.isObject() ? "not analyse object in object from array"
                                      : "not analyse array in object from array");
                continue;
            }
            const std::string sub = path.empty() ? k : path + "/" + k;
            if (v.isObject()) {
                if (convertGwValues(v, sub, device, false, valuesStored) == 0) result = 0;
            } else {
                for (const Json::Value &e : v) {
                    if (e.isObject()) {
                        if (convertGwValues(e, sub, device, true, valuesStored) == 0) result = 0;
                    } else if (e.isArray()) {
                        LOG_WARN("not analyse array in array");
                    }
                }
            }
            continue;
        }

        if (!v.isBool() && v.isInt()) {
            if (inArray && prefix.empty()) {
                prefix = k + "/" + std::to_string(v.asInt()) + "/";
                continue;
            }
            if (path == "alarm" && prefix.empty() &&
                isDryContactProduct(device->description->productKey)) {
                prefix = k + "/" + std::to_string(v.asInt()) + "/";
                LOG_WARN("ugly for drycontact find index %s in %s", prefix.c_str(), where);
                inArray = true;
                continue;
            }
            if (path == "statistics" && n == "timesOfContinuousFailed") {
                if (v.asInt() > 3) setSlaveOnline(device->unitId, 0);
                else if (v.asInt() == 0) setSlaveOnline(device->unitId, 1);
            }
        }

        // Store.
        const DescriptionNode *node = find_node_by_identifier(device->description, n, path, inArray);
        const std::string text = value_text(v);
        if (node) {
            LOG_INFO("convert %s=%s in %s", n.c_str(), text.c_str(), where);
            if (device->registerMap && value_to_registers(v, node, device->registerMap) == 0) {
                result = 0;
                if (valuesStored) ++*valuesStored;
            }
        } else {
            LOG_WARN("not support %s=%s in %s", n.c_str(), text.c_str(), where);
        }
    }
    return result;
}

int onGw7fMsg(const char *topic, int topicLen, const char *payload, int payloadLen) {
    if (topic == nullptr || payload == nullptr || topicLen <= 0 || payloadLen <= 0) return -1;
    char topicText[kTopicTextMax];
    const int tl = topicLen < (int)sizeof topicText - 1 ? topicLen : (int)sizeof topicText - 1;
    memcpy(topicText, topic, tl);
    topicText[tl] = '\0';

    // Keys end at '/': a gateway key shorter than 8 characters must not
    // swallow the separator and the device key behind it.
    char gwKey[9] = "";
    char devKey[9] = "";
    int fields = sscanf(topicText, "local/%8[^/]/%8[^/]", gwKey, devKey);
    if (fields != 1 && fields != 2) {
        LOG_WARN("wrong gw7F msg\n");
        return -1;
    }
    if (fields == 1) devKey[0] = '\0';

    Json::Value doc;
    if (!parse_payload(payload, payloadLen, doc)) return -1;
    if (!doc.isObject()) return -2;
    if (!doc["deviceKey"].isString()) {
        LOG_WARN("not find dkey in payload!");
        return -1;
    }
    if (doc["deviceKey"].asString() != devKey) {
        LOG_WARN("dkey in topic and payload not pare!");
        return -1;
    }
    MappedDevice *device = find_device_by_key(devKey);
    if (device == nullptr) {
        LOG_WARN("not support this %s in dev list", devKey);
        return -1;
    }

    // The context lock guards every register map: until start-up has
    // published the server, nothing may be stored.
    ModbusContext *server = g_mbServer;
    if (server == nullptr) {
        LOG_WARN("modbus server not ready, gw7F msg for %s dropped", devKey);
        return -1;
    }
    mb_lock(server);
    bool stored;
    int values = 0;
    if (device->description->productKey == "vrvcontrolC")
        stored = apply_vrv_report(doc, device, setSlaveOnline, &values) == 0;
    else
        stored = convertGwValues(doc, "", device, false, &values) == 0;
    if (stored) health_stamp_unit(device->unitId);
    mb_unlock(server);

    MbReq *entry = nullptr;
    const char *snoText = nullptr, *snoEnd = nullptr;
    if (doc["sno"].getString(&snoText, &snoEnd)) {
        MbSno sno;
        if (parseMbSno(snoText, (int)(snoEnd - snoText), &sno)) entry = ackMbReq(devKey, sno);
    }

    if (entry == nullptr) {
        // Counted together, so that one read of the block sees both or neither.
        mb_lock(server);
        if (stored) setSlaveReportBit(device->unitId);
        health_bump(HC_REPORTS);
        health_add(HC_VALUES_STORED, (uint32_t)values);
        mb_unlock(server);
        return 0;
    }

    const int errorCode = doc["errorCode"].isInt() ? doc["errorCode"].asInt() : -1;
    ModbusContext *ctx = entry->ctx;
    int r;
    if (errorCode != 0) {
        mb_lock(ctx);
        health_bump(HC_GW_MATCHED);
        health_add(HC_VALUES_STORED, (uint32_t)values);
        if (mbReqIsCurrent(entry)) {
            mb_set_socket(ctx, entry->request.socket);
            r = mb_reply_exception(ctx, &entry->request, MB_EXC_ILLEGAL_DATA_VALUE);
        } else {
            r = -1;
        }
        mb_unlock(ctx);
        freeMbReq(entry);
        return r;
    }

    LOG_DEBUG("delay ack for reg %d", entry->request.address);
    const MbRequest answered = mb_register_request(entry->request);
    mb_lock(ctx);
    health_bump(HC_GW_MATCHED);
    health_add(HC_VALUES_STORED, (uint32_t)values);
    if (mbReqIsCurrent(entry)) {
        mb_set_socket(ctx, answered.socket);
        if (health_regs_wanted(answered))
            health_regs_refresh(device->registerMap, answered.registerAddress, answered.quantity);
        r = mb_reply(ctx, device, &answered, device->registerMap, 1);
    } else {
        // The client left; its socket number may belong to someone else now.
        LOG_WARN("client of modbus req csft=%d-%d-%d-%d gone, reply dropped", entry->connection,
                 answered.unitId, answered.function, answered.transactionId);
        r = -1;
    }
    mb_unlock(ctx);
    freeMbReq(entry);
    return r;
}
