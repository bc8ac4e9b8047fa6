// Modbus requests that wait for the gateway's answer (the "mb request list").
// At most five wait; each is identified by its device key and its csft
// (client connection, unit id, function code, transaction id), which is also
// the command's "sno". The first number names the client connection, not its
// socket: a socket number is reused by the next client, and a gateway answer
// to a command of a client that left must never complete another's request.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "modbus.h"

constexpr int MB_REQ_CAPACITY = 5;
constexpr int MB_REQ_MAX_FRAME = 260;

struct MbReq {
    ModbusContext *ctx;
    // As decoded on arrival; request.frame points at `frame`, request.socket
    // is where the reply goes.
    MbRequest request;
    uint8_t frame[MB_REQ_MAX_FRAME];
    struct timeval startTime;  // insertion, refreshed by a retransmission
    char deviceKey[8];         // first 8 characters, zero-padded, no terminator
    int connection;  // the client connection's number (first number of the csft)
};

// The four numbers of a csft / "sno".
struct MbSno {
    int connection;
    int unitId;
    int functionCode;
    int transactionId;
};

// Reads an answer's "sno" (`length` bytes, no terminator needed): exactly four
// decimal numbers joined by "-", nothing before, between or after. False
// (and a warning) for anything else: such an answer completes no request.
bool parseMbSno(const char *text, int length, MbSno *out);

int initMbReqList();
// The number of the client connection that holds `socket` now, given on first
// use after the socket's previous connection ended: 1, 2, 3 ... since start,
// never two alike while a command may be answered. 0 for a socket out of range.
int mbReqConnection(int socket);
// Admission, before anything is sent: 0 entered (*entered, when given, is the
// entry), 4 failure, 6 busy (full, or a retransmission of a waiting one, whose
// start time is refreshed). Call with the Modbus context lock held.
int insertMbReq(const char *deviceKey, ModbusContext *ctx, const MbRequest *request,
                MbReq **entered = nullptr);
// Takes back an entry whose command could not be sent. Nothing happens when an
// answer has already taken it (its taker frees it).
void withdrawMbReq(MbReq *req);
// Removes and returns the entry an answer acknowledges, or null. The caller
// owns it and gives it back with freeMbReq once it has replied.
MbReq *ackMbReq(const char *deviceKey, const MbSno &sno);
void freeMbReq(MbReq *req);
// Drops, without any reply, every entry more than 3 whole seconds old.
void checkMbReqTimeout();
// Removes the entries more than 3 whole seconds old and hands them to the
// caller (at most MB_REQ_CAPACITY; their number), who may still reply and
// then gives each back with freeMbReq.
int takeExpiredMbReq(MbReq *out[MB_REQ_CAPACITY]);

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
