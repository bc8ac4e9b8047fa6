// Modbus requests that wait for the gateway's answer (the "mb request list").
// At most five wait; each is identified by its device key and its csft
// (client socket, unit id, function code, transaction id).
#pragma once

#include <sys/time.h>

#include <cstdint>

struct ModbusContext;

constexpr int MB_REQ_CAPACITY = 5;
constexpr int MB_REQ_MAX_FRAME = 260;

struct MbReq {
    ModbusContext *ctx;
    int socket;
    uint8_t request[MB_REQ_MAX_FRAME];
    struct timeval startTime;  // insertion, refreshed by a retransmission
    char deviceKey[8];         // first 8 characters, zero-padded, no terminator
    int unitId;
    int functionCode;
    int transactionId;
    unsigned connection;  // the client connection's serial when it was entered
};

int initMbReqList();
// 0 entered, 4 failure, 6 busy (full or a retransmission of a waiting one).
int insertMbReq(const char *deviceKey, ModbusContext *ctx, int socket, const uint8_t *request,
                int length);
// Removes and returns the entry an answer acknowledges, or null. The caller
// owns it and gives it back with freeMbReq once it has replied.
MbReq *ackMbReq(const char *deviceKey, const char *sno);
void freeMbReq(MbReq *req);
// Drops, without any reply, every entry more than 3 whole seconds old.
void checkMbReqTimeout();

// A client connection ended (its socket number may be reused by the next
// client): drops its waiting entries, and an entry of it that an answer has
// already taken is no longer current. Call without the Modbus context lock
// or with it, never with this table's lock.
void dropMbReqForSocket(int socket);
// False when the entry's client connection ended after it was entered: its
// reply would go to whoever holds the socket number now. Check it under the
// Modbus context lock, in the same critical section that replies.
bool mbReqIsCurrent(const MbReq *req);

int mbReqCount();
// For tests: replaces the clock the table reads (null restores it).
void setMbReqClock(void (*now)(struct timeval *));
