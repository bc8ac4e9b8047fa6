#include "mbReq.h"

#include <pthread.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "logger.h"

namespace {

// Entries come from a fixed pool so the traffic path never allocates. A
// handed-out entry stays reserved until its owner frees it.
struct Slot {
    MbReq req;
    bool inUse;
};

constexpr int kHeaderLength = 7;  // Modbus TCP MBAP header

Slot g_slots[MB_REQ_CAPACITY + MB_REQ_CAPACITY];  // waiting + being answered
MbReq *g_list[MB_REQ_CAPACITY];                   // waiting, oldest first
int g_count = 0;
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
// Per socket number: the number of the client connection on it, 0 until
// the connection first needs one. Numbers come from one counter.
constexpr int kSocketSerials = 1024;
int g_connection[kSocketSerials];
int g_lastConnection = 0;

int connection_of(int socket) {
    if (socket < 0 || socket >= kSocketSerials) return 0;
    if (g_connection[socket] == 0) {
        // Wraps after 2^31 - 1 connections, far beyond any entry's life.
        g_lastConnection = g_lastConnection == INT_MAX ? 1 : g_lastConnection + 1;
        g_connection[socket] = g_lastConnection;
    }
    return g_connection[socket];
}

bool same_request(const MbReq *e, const char key[8], int connection, int unitId, int fc,
                  int tid) {
    return memcmp(e->deviceKey, key, 8) == 0 && e->connection == connection &&
           e->unitId == unitId && e->functionCode == fc && e->transactionId == tid;
}

// Whole seconds of a clock that wall-clock steps (time sync at boot) cannot
// move backwards: a backward step must not leave entries waiting forever.
void monotonic_now(struct timeval *tv) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
}

void (*g_now)(struct timeval *) = monotonic_now;

void key8(const char *key, char out[8]) {
    memset(out, 0, 8);
    for (int i = 0; key && i < 8 && key[i]; ++i) out[i] = key[i];
}

MbReq *alloc_entry() {
    for (Slot &s : g_slots) {
        if (!s.inUse) {
            s.inUse = true;
            return &s.req;
        }
    }
    return nullptr;
}

void release_entry(MbReq *req) {
    for (Slot &s : g_slots) {
        if (&s.req == req) s.inUse = false;
    }
}

void remove_at(int i) {
    for (int k = i; k + 1 < g_count; ++k) g_list[k] = g_list[k + 1];
    --g_count;
}

}  // namespace

int initMbReqList() {
    int rc = pthread_mutex_init(&g_lock, nullptr);
    if (rc != 0) {
        LOG_FATAL("mb request list lock init failed! %s", strerror(rc));
        return -1;
    }
    return 0;
}

int mbReqConnection(int socket) {
    pthread_mutex_lock(&g_lock);
    const int c = connection_of(socket);
    pthread_mutex_unlock(&g_lock);
    return c;
}

int insertMbReq(const char *deviceKey, ModbusContext *ctx, int socket, const uint8_t *request,
                int length, MbReq **entered) {
    if (entered) *entered = nullptr;
    if (request == nullptr || length < kHeaderLength + 1) {
        LOG_ERROR("modbus request too short (%d bytes)", length);
        return 4;
    }
    int unitId = request[kHeaderLength - 1];
    int fc = request[kHeaderLength];
    int tid = (request[0] << 8) | request[1];
    char key[8];
    key8(deviceKey, key);

    pthread_mutex_lock(&g_lock);
    const int connection = connection_of(socket);
    if (g_count > MB_REQ_CAPACITY - 1) {
        LOG_ERROR("full mdoubs request list");
        pthread_mutex_unlock(&g_lock);
        return 6;
    }
    for (int i = 0; i < g_count; ++i) {
        MbReq *e = g_list[i];
        if (same_request(e, key, connection, unitId, fc, tid)) {
            LOG_WARN("allready has this mb request csft=%d-%d-%d-%d, refresh start time",
                     connection, unitId, fc, tid);
            g_now(&e->startTime);
            pthread_mutex_unlock(&g_lock);
            return 6;
        }
    }
    if (length >= MB_REQ_MAX_FRAME + 1) {
        LOG_ERROR("modbus requst too long. check function use in your code!!!");
        pthread_mutex_unlock(&g_lock);
        return 4;
    }
    MbReq *e = alloc_entry();
    if (e == nullptr) {
        LOG_ERROR("malloc modubs request failed!");
        pthread_mutex_unlock(&g_lock);
        return 4;
    }
    e->ctx = ctx;
    e->socket = socket;
    memset(e->request, 0, sizeof e->request);
    memcpy(e->request, request, length);
    g_now(&e->startTime);
    memcpy(e->deviceKey, key, 8);
    e->unitId = unitId;
    e->functionCode = fc;
    e->transactionId = tid;
    e->connection = connection;
    g_list[g_count++] = e;
    LOG_INFO("insert modbus req %.8s csft=%d-%d-%d-%d", key, connection, unitId, fc, tid);
    pthread_mutex_unlock(&g_lock);
    if (entered) *entered = e;
    return 0;
}

void withdrawMbReq(MbReq *req) {
    if (req == nullptr) return;
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < g_count; ++i) {
        if (g_list[i] == req) {
            LOG_WARN("modbus req csft=%d-%d-%d-%d withdrawn, command not sent", req->connection,
                     req->unitId, req->functionCode, req->transactionId);
            remove_at(i);
            release_entry(req);
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
}

MbReq *ackMbReq(const char *deviceKey, const char *sno) {
    int connection, unitId, fc, tid;
    if (sno == nullptr || sscanf(sno, "%d-%d-%d-%d", &connection, &unitId, &fc, &tid) < 4) {
        LOG_WARN("sno not ack for relay request");
        return nullptr;
    }
    char key[8];
    key8(deviceKey, key);
    MbReq *found = nullptr;
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < g_count; ++i) {
        MbReq *e = g_list[i];
        if (same_request(e, key, connection, unitId, fc, tid)) {
            remove_at(i);
            LOG_INFO("get ack  for modbus req %.8s csft=%s", key, sno);
            found = e;
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return found;
}

void freeMbReq(MbReq *req) {
    if (req == nullptr) return;
    pthread_mutex_lock(&g_lock);
    release_entry(req);
    pthread_mutex_unlock(&g_lock);
}

void checkMbReqTimeout() {
    pthread_mutex_lock(&g_lock);
    struct timeval now;
    g_now(&now);
    for (int i = 0; i < g_count;) {
        MbReq *e = g_list[i];
        if (now.tv_sec - e->startTime.tv_sec > 3) {
            LOG_WARN("modbus req csft=%d-%d-%d-%d time out", e->connection, e->unitId,
                     e->functionCode, e->transactionId);
            remove_at(i);
            release_entry(e);
        } else {
            ++i;
        }
    }
    pthread_mutex_unlock(&g_lock);
}

void dropMbReqForSocket(int socket) {
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < g_count;) {
        MbReq *e = g_list[i];
        if (e->socket == socket) {
            LOG_WARN("modbus req csft=%d-%d-%d-%d dropped, client gone", e->connection, e->unitId,
                     e->functionCode, e->transactionId);
            remove_at(i);
            release_entry(e);
        } else {
            ++i;
        }
    }
    // The next client on this socket gets a number of its own.
    if (socket >= 0 && socket < kSocketSerials) g_connection[socket] = 0;
    pthread_mutex_unlock(&g_lock);
}

bool mbReqIsCurrent(const MbReq *req) {
    if (req == nullptr) return false;
    pthread_mutex_lock(&g_lock);
    const bool current = req->socket >= 0 && req->socket < kSocketSerials &&
                         g_connection[req->socket] == req->connection;
    pthread_mutex_unlock(&g_lock);
    return current;
}

int mbReqCount() {
    pthread_mutex_lock(&g_lock);
    int n = g_count;
    pthread_mutex_unlock(&g_lock);
    return n;
}

void setMbReqClock(void (*now)(struct timeval *)) {
    pthread_mutex_lock(&g_lock);
    g_now = now ? now : monotonic_now;
    pthread_mutex_unlock(&g_lock);
}
