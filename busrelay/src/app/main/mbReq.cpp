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

bool same_request(const MbReq *e, const char key[8], const MbSno &sno) {
    return memcmp(e->deviceKey, key, 8) == 0 && e->connection == sno.connection &&
           e->request.unitId == sno.unitId && e->request.function == sno.functionCode &&
           e->request.transactionId == sno.transactionId;
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

int insertMbReq(const char *deviceKey, ModbusContext *ctx, const MbRequest *request,
                MbReq **entered) {
    if (entered) *entered = nullptr;
    if (request == nullptr || request->frame == nullptr ||
        request->length < MB_TCP_HEADER_LENGTH + 1) {
        LOG_ERROR("modbus request too short (%d bytes)", request ? request->length : 0);
        return 4;
    }
    const int unitId = request->unitId;
    const int fc = request->function;
    const int tid = request->transactionId;
    char key[8];
    key8(deviceKey, key);

    pthread_mutex_lock(&g_lock);
    const int connection = connection_of(request->socket);
    if (g_count > MB_REQ_CAPACITY - 1) {
        LOG_ERROR("full mdoubs request list");
        pthread_mutex_unlock(&g_lock);
        return 6;
    }
    const MbSno sno = {connection, unitId, fc, tid};
    for (int i = 0; i < g_count; ++i) {
        MbReq *e = g_list[i];
        if (same_request(e, key, sno)) {
            LOG_WARN("allready has this mb request csft=%d-%d-%d-%d, refresh start time",
                     connection, unitId, fc, tid);
            g_now(&e->startTime);
            pthread_mutex_unlock(&g_lock);
            return 6;
        }
    }
    if (request->length >= MB_REQ_MAX_FRAME + 1) {
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
    memcpy(e->frame, request->frame, (size_t)request->length);
    e->request = *request;
    e->request.frame = e->frame;
    g_now(&e->startTime);
    memcpy(e->deviceKey, key, 8);
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
                     req->request.unitId, req->request.function, req->request.transactionId);
            remove_at(i);
            release_entry(req);
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
}

bool parseMbSno(const char *text, int length, MbSno *out) {
    int64_t v[4] = {0, 0, 0, 0};
    int pos = 0;
    bool ok = text != nullptr && length > 0;
    for (int i = 0; ok && i < 4; ++i) {
        if (i > 0 && (pos >= length || text[pos++] != '-')) {
            ok = false;
            break;
        }
        int digits = 0;
        for (; pos < length && text[pos] >= '0' && text[pos] <= '9' && digits <= 10; ++pos) {
            v[i] = v[i] * 10 + (text[pos] - '0');
            ++digits;
        }
        ok = digits > 0 && v[i] <= INT_MAX;
    }
    if (!ok || pos != length) {
        LOG_WARN("sno not ack for relay request");
        return false;
    }
    *out = {(int)v[0], (int)v[1], (int)v[2], (int)v[3]};
    return true;
}

MbReq *ackMbReq(const char *deviceKey, const MbSno &sno) {
    char key[8];
    key8(deviceKey, key);
    MbReq *found = nullptr;
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < g_count; ++i) {
        MbReq *e = g_list[i];
        if (same_request(e, key, sno)) {
            remove_at(i);
            LOG_INFO("get ack  for modbus req %.8s csft=%d-%d-%d-%d", key, sno.connection,
                     sno.unitId, sno.functionCode, sno.transactionId);
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

int takeExpiredMbReq(MbReq *out[MB_REQ_CAPACITY]) {
    int n = 0;
    pthread_mutex_lock(&g_lock);
    struct timeval now;
    g_now(&now);
    for (int i = 0; i < g_count;) {
        MbReq *e = g_list[i];
        if (now.tv_sec - e->startTime.tv_sec > 3 && n < MB_REQ_CAPACITY) {
            LOG_WARN("modbus req csft=%d-%d-%d-%d time out", e->connection, e->request.unitId,
                     e->request.function, e->request.transactionId);
            remove_at(i);
            out[n++] = e;
        } else {
            ++i;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return n;
}

void checkMbReqTimeout() {
    MbReq *expired[MB_REQ_CAPACITY];
    const int n = takeExpiredMbReq(expired);
    for (int i = 0; i < n; ++i) freeMbReq(expired[i]);
}

void dropMbReqForSocket(int socket) {
    pthread_mutex_lock(&g_lock);
    for (int i = 0; i < g_count;) {
        MbReq *e = g_list[i];
        if (e->request.socket == socket) {
            LOG_WARN("modbus req csft=%d-%d-%d-%d dropped, client gone", e->connection,
                     e->request.unitId, e->request.function, e->request.transactionId);
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
    const int socket = req->request.socket;
    const bool current = socket >= 0 && socket < kSocketSerials &&
                         g_connection[socket] == req->connection;
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
