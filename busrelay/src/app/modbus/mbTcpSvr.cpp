#include "mbTcpSvr.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "byteQueue.h"
#include "health.h"
#include "logger.h"
#include "mbAcl.h"
#include "utils_net.h"

namespace {

constexpr int kReadsPerPass = 4;        // per client, so that two clients take turns
constexpr int kFlushReads = 256;        // bound on one pause's final discard
constexpr int kTraceHoldMs = 20;        // a deferred trace waits for one timer pass at most

struct ClientSlot {
    ByteQueue sendQueue;
    bool inUse;
    int socket;
    // Reassembly (main thread only): bytes rx[rxStart, rxStart + rxLen).
    uint8_t rx[MB_TCP_RX_BUFFER];
    int rxStart;
    int rxLen;
    uint32_t skip;  // bytes of a refused frame still to come and be dropped
    // Flushed-exception pause: until this instant (0 = none) the client's
    // output is held and its input discarded. Set under the context lock by
    // whichever thread built the exception.
    std::atomic<int64_t> pauseUntil;
    int flushed;  // bytes discarded during the current pause
};

struct PeerState {
    int64_t lastTraffic;  // ms, the last successful receive or send
    int slot;             // -1: not a served client
    struct sockaddr_in addr;
    bool readOnly;        // mbacl.json: this client may only read
};

struct TcpServer {
    ModbusContext ctx;
    int listenFd;
    int wakeFd;  // eventfd: replies queued by other threads
    pthread_t owner;
    uint16_t port;
    RequestCallback onRequest;
    uint32_t active;  // bit n: socket n is a served client
    PeerState peers[MAX_OPEN_PORT + 1];
    ClientSlot slots[MB_TCP_CLIENT_SLOTS];
    // Guards slot ownership (peers[].slot, slots[]) against the send
    // operation, which other threads reach under the context lock. Nests
    // inside the context lock, outside the pool's and the logger's.
    pthread_mutex_t tableLock;
};

TcpServer *g_server = nullptr;
MbClientClosedFn g_closedHook = nullptr;
int64_t (*g_clock)() = nullptr;

int64_t now_ms() {
    if (g_clock) return g_clock();
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

const char *peer_ip(const PeerState &p, char *buf) {
    if (!inet_ntop(AF_INET, &p.addr.sin_addr, buf, INET_ADDRSTRLEN)) strcpy(buf, "?");
    return buf;
}

int active_count(uint32_t mask) { return __builtin_popcount(mask); }

ClientSlot *slot_of(TcpServer *s, int fd) {
    if (fd < 0 || fd > MAX_OPEN_PORT || !(s->active & (1u << fd))) return nullptr;
    const int i = s->peers[fd].slot;
    return i >= 0 ? &s->slots[i] : nullptr;
}

void reset_rx(ClientSlot &slot) {
    slot.rxStart = slot.rxLen = 0;
    slot.skip = 0;
    slot.pauseUntil = 0;
    slot.flushed = 0;
}

void close_client(TcpServer *s, int fd, bool contextLocked = false) {
    if (fd < 0 || fd > MAX_OPEN_PORT) return;
    pthread_mutex_lock(&s->tableLock);
    shutdown(fd, SHUT_RDWR);
    close(fd);
    s->active &= ~(1u << fd);
    health_set(HC_CLIENTS_NOW, (uint32_t)active_count(s->active));
    PeerState &p = s->peers[fd];
    p.lastTraffic = 0;
    p.readOnly = false;
    if (p.slot >= 0) {
        ClientSlot &slot = s->slots[p.slot];
        queue_discard(&slot.sendQueue, 0);
        reset_rx(slot);
        slot.inUse = false;
        slot.socket = -1;
    }
    p.slot = -1;
    memset(&p.addr, 0, sizeof p.addr);
    pthread_mutex_unlock(&s->tableLock);
    // The socket number is free for the next client: whoever still holds
    // replies for this one must drop them.
    if (g_closedHook) g_closedHook(&s->ctx, fd, contextLocked);
}

int open_listener(TcpServer *s) {
    if (s->listenFd >= 0) {
        LOG_FATAL("[mbTcpTransport]cannot relisten while already start! check your code!!!");
        return s->listenFd;
    }
    s->active = 0;
    health_set(HC_CLIENTS_NOW, 0);
    for (PeerState &p : s->peers) {
        p.lastTraffic = 0;
        p.slot = -1;
        p.readOnly = false;
    }
    int fd = tcp_server_socket(s->port);
    if (fd < 0) {
        LOG_FATAL("[mbTcpTransport]int on port%d,error!!!", s->port);
        s->listenFd = fd;
        return -1;
    }
    s->listenFd = fd;
    LOG_INFO("[mbTcpTransport]socket init ok");
    return fd;
}

void admit(TcpServer *s, int fd, const struct sockaddr_in &addr, bool readOnly) {
    if (active_count(s->active) >= MB_TCP_CLIENT_SLOTS) {
        LOG_WARN("[mbTcpTransport]got too much clients,so close %d\n", fd);
        health_bump(HC_REFUSED);
        close(fd);
        return;
    }
    if (fd > MAX_OPEN_PORT) {
        LOG_WARN("[mbTcpTransport]fd>MAX_OPEN_PORT ,so close %d\n", fd);
        health_bump(HC_REFUSED);
        close(fd);
        return;
    }
    pthread_mutex_lock(&s->tableLock);
    int free_slot = -1;
    for (int i = 0; i < MB_TCP_CLIENT_SLOTS; ++i) {
        if (!s->slots[i].inUse) {
            free_slot = i;
            break;
        }
    }
    if (free_slot < 0) {
        pthread_mutex_unlock(&s->tableLock);
        LOG_FATAL("[mbTcpTransport]no free fifo slot, close %d! why happen! check your code!\n",
                  fd);
        health_bump(HC_REFUSED);
        close(fd);
        return;
    }
    ClientSlot &slot = s->slots[free_slot];
    slot.inUse = true;
    slot.socket = fd;
    reset_rx(slot);
    PeerState &p = s->peers[fd];
    p.slot = free_slot;
    p.lastTraffic = now_ms();
    p.addr = addr;
    p.readOnly = readOnly;
    s->active |= 1u << fd;
    health_set(HC_CLIENTS_NOW, (uint32_t)active_count(s->active));
    health_bump(HC_ACCEPTED);
    pthread_mutex_unlock(&s->tableLock);
    socket_set_blocking(fd, 0);
    // Replies are whole frames written at once: a pipelining client must not
    // wait for its own acknowledgement (Nagle) to get the second reply.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Writes out the client's queued replies until the queue is empty or the
// socket takes no more. False when the client was closed.
bool send_queued(TcpServer *s, int fd) {
    PeerState &p = s->peers[fd];
    if (p.slot < 0) return false;
    ClientSlot &slot = s->slots[p.slot];
    if (slot.pauseUntil.load() != 0) return true;  // held until the pause ends
    uint8_t buf[MB_MAX_ADU_LENGTH];
    for (int guard = 0; guard < 64; ++guard) {
        int n = queue_peek(&slot.sendQueue, buf, sizeof buf);
        if (n <= 0) return true;
        // Whatever was logged about this request is in the log file before
        // its reply can reach the client.
        if (guard == 0) log_flush_file();
        // MSG_NOSIGNAL: a peer that went away gives an error here, never SIGPIPE.
        ssize_t sent = send(fd, buf, (size_t)n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
        char ip[INET_ADDRSTRLEN];
        LOG_INFO("[mbTcpTransport]snd to %s:%d:", peer_ip(p, ip), ntohs(p.addr.sin_port));
        if (sent <= 0) {
            LOG_ERROR("[mbTcpTransport]snd error, close this client%d!\n", fd);
            close_client(s, fd);
            return false;
        }
        log_hexdump(buf, (int)sent);
        queue_discard(&slot.sendQueue, (int)sent);
        p.lastTraffic = now_ms();
        if (sent < n) return true;  // the socket is full: POLLOUT brings us back
    }
    return true;
}

// Drops bytes of a refused frame from the front of the buffer.
void drop_skipped(ClientSlot &slot) {
    if (slot.skip == 0 || slot.rxLen == 0) return;
    const int n = slot.skip < (uint32_t)slot.rxLen ? (int)slot.skip : slot.rxLen;
    slot.rxStart += n;
    slot.rxLen -= n;
    slot.skip -= (uint32_t)n;
}

// Dispatches every complete frame in the client's buffer, answering each
// before the next is taken. Stops while the client is paused, while its
// replies cannot leave (the socket is full), or when it was closed (false).
bool dispatch_frames(TcpServer *s, int fd, ClientSlot &slot) {
    for (;;) {
        drop_skipped(slot);
        if (slot.pauseUntil.load() != 0) return true;
        if (queue_count(&slot.sendQueue) > 0) return true;  // back-pressure
        if (slot.rxLen < 6) break;
        const uint8_t *frame = slot.rx + slot.rxStart;
        const int len = mb_tcp_frame_length(frame, slot.rxLen);
        if (len < 0) {
            // Refused by its announced length: the client said where the
            // next frame starts, so skipping exactly that keeps the stream
            // in step (at most 64 KiB, no reply).
            slot.skip = (uint32_t)mb_tcp_announced_length(frame, slot.rxLen);
            continue;
        }
        if (len == 0) break;
        if (s->onRequest) {
            MbRequest request;
            mb_decode_request(frame, len, fd, &request);
            request.readOnly = s->peers[fd].readOnly;
            s->onRequest(&s->ctx, &request);
        }
        if (slot_of(s, fd) != &slot) return false;  // closed meanwhile
        slot.rxStart += len;
        slot.rxLen -= len;
        if (!send_queued(s, fd)) return false;
    }
    if (slot.rxLen == 0) slot.rxStart = 0;
    else if (slot.rxStart > 0 && slot.rxStart + slot.rxLen > MB_TCP_RX_BUFFER - MB_MAX_ADU_LENGTH) {
        memmove(slot.rx, slot.rx + slot.rxStart, (size_t)slot.rxLen);
        slot.rxStart = 0;
    }
    return true;
}

// True when the client has a complete frame it could be served now.
bool has_ready_frame(ClientSlot &slot) {
    if (slot.pauseUntil.load() != 0 || slot.skip > 0 || slot.rxLen < 6) return false;
    return mb_tcp_announced_length(slot.rx + slot.rxStart, slot.rxLen) <= slot.rxLen;
}

// Reads what a paused client sends and throws it away. False when closed.
bool discard_input(TcpServer *s, int fd, ClientSlot &slot, int maxReads) {
    uint8_t buf[MB_MAX_ADU_LENGTH];
    for (int i = 0; i < maxReads; ++i) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
        if (n <= 0) {
            LOG_ERROR("[mbTcpTransport]close client%d by rcv error!\n", fd);
            close_client(s, fd);
            return false;
        }
        slot.flushed += (int)n;
        s->peers[fd].lastTraffic = now_ms();
    }
    return true;
}

// Receives and serves one client: whole frames are dispatched and answered
// as they complete, several reads per pass at most.
void serve_client(TcpServer *s, int fd) {
    ClientSlot *sp = slot_of(s, fd);
    if (sp == nullptr) return;
    ClientSlot &slot = *sp;
    PeerState &p = s->peers[fd];
    if (slot.pauseUntil.load() != 0) {
        discard_input(s, fd, slot, kReadsPerPass);
        return;
    }
    for (int reads = 0; reads < kReadsPerPass; ++reads) {
        if (!dispatch_frames(s, fd, slot)) return;
        if (slot.pauseUntil.load() != 0 || queue_count(&slot.sendQueue) > 0) return;
        if (slot.rxStart + slot.rxLen > MB_TCP_RX_BUFFER - MB_MAX_ADU_LENGTH) {
            memmove(slot.rx, slot.rx + slot.rxStart, (size_t)slot.rxLen);
            slot.rxStart = 0;
        }
        uint8_t *at = slot.rx + slot.rxStart + slot.rxLen;
        ssize_t n = recv(fd, at, MB_MAX_ADU_LENGTH, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        char ip[INET_ADDRSTRLEN];
        LOG_INFO("[mbTcpTransport]rcv from %s:%d:", peer_ip(p, ip), ntohs(p.addr.sin_port));
        if (n <= 0) {
            LOG_ERROR("[mbTcpTransport]close client%d by rcv error!\n", fd);
            close_client(s, fd);
            return;
        }
        log_hexdump(at, (int)n);
        slot.rxLen += (int)n;
        p.lastTraffic = now_ms();
        if (n < MB_MAX_ADU_LENGTH) {  // drained for now
            dispatch_frames(s, fd, slot);
            return;
        }
    }
    dispatch_frames(s, fd, slot);
}

// The pause of a flushed exception is over: what the client sent meanwhile
// (and whatever of its input was not yet served) is discarded, and the
// exception leaves.
void end_pause(TcpServer *s, int fd, ClientSlot &slot) {
    if (!discard_input(s, fd, slot, kFlushReads)) return;
    const int n = slot.flushed + slot.rxLen;
    slot.rxStart = slot.rxLen = 0;
    slot.skip = 0;
    slot.flushed = 0;
    if (s->ctx.debug) {
        char text[40];
        int len = snprintf(text, sizeof text, "Bytes flushed (%d)\n", n);
        log_console_text(1, text, len);
    }
    slot.pauseUntil = 0;
    send_queued(s, fd);
}

// Ends a wait in mb_tcp_server_wait (eventfd; any thread).
void wake(TcpServer *s) {
    if (s == nullptr || s->wakeFd < 0) return;
    const uint64_t one = 1;
    ssize_t rc = write(s->wakeFd, &one, sizeof one);
    (void)rc;  // a full counter already means "wake up"
}

// The context's pause hook: runs under the context lock on the thread that
// built the exception, for the context's current socket.
void pause_client(ModbusContext *ctx) {
    TcpServer *s = static_cast<TcpServer *>(ctx->backendData);
    const int fd = ctx->socket;
    if (s == nullptr || fd < 0 || fd > MAX_OPEN_PORT) return;
    const int64_t until = now_ms() + ctx->responseTimeout.tv_sec * 1000 +
                          ctx->responseTimeout.tv_usec / 1000;
    pthread_mutex_lock(&s->tableLock);
    const int i = s->peers[fd].slot;
    if (i >= 0) s->slots[i].pauseUntil = until > 0 ? until : 1;
    pthread_mutex_unlock(&s->tableLock);
    if (!pthread_equal(pthread_self(), s->owner)) wake(s);
}

void drain_wake(TcpServer *s) {
    uint64_t v;
    while (read(s->wakeFd, &v, sizeof v) > 0) {
    }
}

void accept_one(TcpServer *s) {
    struct sockaddr_in addr;
    socklen_t alen = sizeof addr;
    int fd = accept(s->listenFd, (struct sockaddr *)&addr, &alen);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) LOG_ERROR("[mbTcpTransport]accept error");
        return;
    }
    char ip[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip)) strcpy(ip, "?");
    const MbAclVerdict verdict = mb_acl_check_client(addr.sin_addr.s_addr);
    if (verdict == MB_ACL_REFUSE) {
        // Before any slot is looked at: a refused client never holds one.
        LOG_WARN("[mbTcpTransport]client %s:%d not in the allow-list (mbacl.json), closed", ip,
                 ntohs(addr.sin_port));
        health_bump(HC_REFUSED);
        close(fd);
        return;
    }
    const bool readOnly = verdict == MB_ACL_READ_ONLY;
    LOG_INFO("[mbTcpTransport]new connect from %s:%d,fd=%d%s", ip, ntohs(addr.sin_port), fd,
             readOnly ? " (read-only, mbacl.json)" : "");
    admit(s, fd, addr, readOnly);
}

// --- backend operations -----------------------------------------------------

int tcp_build_reply_header(const MbReplyInfo *info, uint8_t *rsp) {
    rsp[0] = (uint8_t)(info->transactionId >> 8);
    rsp[1] = (uint8_t)info->transactionId;
    rsp[2] = 0;
    rsp[3] = 0;
    // rsp[4..5], the length, is written by tcp_finish_frame.
    rsp[6] = (uint8_t)info->unitId;
    rsp[7] = (uint8_t)info->function;
    return 8;
}

int tcp_finish_frame(uint8_t *frame, int length) {
    frame[4] = (uint8_t)((length - 6) >> 8);
    frame[5] = (uint8_t)(length - 6);
    return length;
}

int tcp_flush(ModbusContext *ctx) {
    if (ctx->socket < 0) return 0;
    uint8_t buf[MB_MAX_ADU_LENGTH];
    int total = 0;
    // Bounded: a peer that keeps sending cannot hold the caller here.
    for (int i = 0; i < 64; ++i) {
        ssize_t n = recv(ctx->socket, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) total += (int)n;
        if (n < (ssize_t)sizeof buf) break;
    }
    return total;
}

}  // namespace

const ModbusBackend g_mbTcpServerBackend = {
    MB_BACKEND_TCP,
    MB_TCP_HEADER_LENGTH,
    0,
    MB_MAX_ADU_LENGTH,
    tcp_build_reply_header,
    tcp_finish_frame,
    mb_tcp_server_send,
    tcp_flush,
};

int mb_tcp_announced_length(const uint8_t *buf, int n) {
    if (buf == nullptr || n < 6) return 0;
    return 6 + ((buf[4] << 8) | buf[5]);
}

int mb_tcp_frame_length(const uint8_t *buf, int n) {
    const int total = mb_tcp_announced_length(buf, n);
    if (total == 0) return 0;
    // Checked before completeness: such a frame would otherwise just look
    // incomplete for ever.
    if (total > MB_TCP_MAX_FRAME) {
        char text[64];
        int len = snprintf(text, sizeof text, "ERROR %s: too many data\n", mb_strerror(MB_EBADDATA));
        log_console_text(2, text, len);
        return -1;
    }
    if (total < 8) {
        LOG_WARN("[mbTcpTransport]frame of %d bytes has no function code, dropped", total);
        return -1;
    }
    if (n < total) return 0;
    return total;
}

void mb_tcp_server_wake() { wake(g_server); }

ssize_t mb_tcp_server_send(ModbusContext *ctx, const uint8_t *frame, int length) {
    LOG_INFO("[mbTcpTransport]cache snd:");
    log_hexdump(frame, length);
    const int fd = ctx->socket;
    if (fd < 0) {
        errno = EINVAL;
        return -1;
    }
    TcpServer *s = static_cast<TcpServer *>(ctx->backendData);
    if (s == nullptr || fd > MAX_OPEN_PORT) return 0;
    pthread_mutex_lock(&s->tableLock);
    const int slot = s->peers[fd].slot;
    int taken = 0;
    if (slot >= 0) taken = queue_write_whole(&s->slots[slot].sendQueue, frame, length);
    pthread_mutex_unlock(&s->tableLock);
    if (slot < 0) return 0;
    if (taken != length) {
        // A part of a reply would corrupt the client's stream: drop it whole.
        LOG_WARN("[mbTcpTransport]cache snd failed!");
        errno = ENOBUFS;
        return -1;
    }
    // Queued by another thread (a gateway answer): the main loop sends it now,
    // not at its next timer pass.
    if (!pthread_equal(pthread_self(), s->owner)) wake(s);
    return taken;
}

ModbusContext *mb_tcp_server_new(int port, RequestCallback on_request) {
    if (g_server != nullptr) {
        LOG_FATAL("[mbTcpTransport]server already created");
        return nullptr;
    }
    TcpServer *s = new (std::nothrow) TcpServer();
    if (s == nullptr) {
        LOG_FATAL("malloc modbus tcp svr ctx failed!");
        return nullptr;
    }
    mb_context_init(&s->ctx);
    pthread_mutex_init(&s->tableLock, nullptr);
    s->ctx.unitId = 255;
    s->ctx.backend = &g_mbTcpServerBackend;
    s->ctx.backendData = s;
    s->ctx.byteTimeout = {0, 1000};
    s->ctx.indicationTimeout = {0, 0};
    s->ctx.pauseFlushed = pause_client;
    for (ClientSlot &slot : s->slots) {
        queue_init(&slot.sendQueue, MB_TCP_QUEUE_LIMIT);
        reset_rx(slot);
        slot.inUse = false;
        slot.socket = -1;
    }
    s->port = (uint16_t)port;
    s->onRequest = on_request;
    s->owner = pthread_self();
    s->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s->wakeFd < 0) LOG_ERROR("[mbTcpTransport]eventfd failed: %s", strerror(errno));
    s->listenFd = -1;
    open_listener(s);
    g_server = s;
    return &s->ctx;
}

int mb_tcp_server_wait(int timeoutMs) {
    TcpServer *s = g_server;
    if (s == nullptr) {
        if (timeoutMs > 0) poll(nullptr, 0, timeoutMs);
        return 0;
    }
    int64_t now = now_ms();

    // Pauses that are over, idle clients, and the earliest pending deadline.
    int64_t wakeAt = timeoutMs > 0 ? now + timeoutMs : now;
    bool ready = false;
    for (int fd = 0; fd <= MAX_OPEN_PORT; ++fd) {
        ClientSlot *slot = slot_of(s, fd);
        if (slot == nullptr) continue;
        PeerState &p = s->peers[fd];
        if (now - p.lastTraffic > MB_TCP_IDLE_LIMIT_MS) {
            char ip[INET_ADDRSTRLEN];
            LOG_WARN("[mbTcpTransport]close %s:%d connnect by idle timeout!", peer_ip(p, ip),
                     ntohs(p.addr.sin_port));
            health_bump(HC_IDLE_CLOSED);
            close_client(s, fd);
            continue;
        }
        const int64_t until = slot->pauseUntil.load();
        if (until != 0 && until <= now) {
            end_pause(s, fd, *slot);
            if (slot_of(s, fd) != slot) continue;
        }
        const int64_t still = slot->pauseUntil.load();
        if (still != 0 && still < wakeAt) wakeAt = still;
        if (has_ready_frame(*slot)) ready = true;
    }

    struct pollfd fds[2 + MB_TCP_CLIENT_SLOTS];
    int nfds = 0;
    int listenAt = -1, wakeAtIdx = -1;
    if (s->listenFd >= 0) {
        listenAt = nfds;
        fds[nfds++] = {s->listenFd, POLLIN, 0};
    }
    if (s->wakeFd >= 0) {
        wakeAtIdx = nfds;
        fds[nfds++] = {s->wakeFd, POLLIN, 0};
    }
    for (int fd = 0; fd <= MAX_OPEN_PORT && nfds < (int)(sizeof fds / sizeof fds[0]); ++fd) {
        ClientSlot *slot = slot_of(s, fd);
        if (slot == nullptr) continue;
        short events = POLLIN;
        // Input waits while its replies cannot leave: the client must read.
        if (queue_count(&slot->sendQueue) > 0 && slot->pauseUntil.load() == 0) events = POLLOUT;
        fds[nfds++] = {fd, events, 0};
    }
    int timeout = ready ? 0 : (int)(wakeAt - now);
    if (timeout < 0) timeout = 0;
    // The trace is written before every reply leaves; what was logged after
    // the last one (its "snd to" lines) waits for a timer pass at most (about
    // 20 ms), and never through a longer sleep.
    if (timeout > kTraceHoldMs) log_flush();
    else if (timeout > 0) log_flush_if_older(kTraceHoldMs / 2);
    int rc = poll(fds, (nfds_t)nfds, timeout);
    if (rc < 0) return 0;  // a signal: the caller looks at its run flag

    if (wakeAtIdx >= 0 && (fds[wakeAtIdx].revents & POLLIN)) drain_wake(s);
    const int first = (wakeAtIdx >= 0 ? wakeAtIdx : listenAt) + 1;
    for (int i = first; i < nfds; ++i) {
        const int fd = fds[i].fd;
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
            serve_client(s, fd);
        } else if (ClientSlot *slot = slot_of(s, fd)) {
            if (has_ready_frame(*slot) || (fds[i].revents & POLLOUT)) {
                if (send_queued(s, fd)) dispatch_frames(s, fd, *slot);
            }
        }
    }
    if (listenAt >= 0 && (fds[listenAt].revents & POLLIN)) accept_one(s);

    // Replies queued meanwhile (by this pass or by another thread) leave now.
    for (int fd = 0; fd <= MAX_OPEN_PORT; ++fd) {
        ClientSlot *slot = slot_of(s, fd);
        if (slot == nullptr || slot->pauseUntil.load() != 0) continue;
        if (queue_count(&slot->sendQueue) > 0 && send_queued(s, fd)) dispatch_frames(s, fd, *slot);
    }
    return rc > 0 ? 1 : 0;
}

void mb_tcp_server_poll() {
    TcpServer *s = g_server;
    if (s == nullptr) return;
    if (s->listenFd < 0) {
        open_listener(s);
        return;
    }
    mb_tcp_server_wait(0);
}

void mb_tcp_server_set_clock(int64_t (*nowMs)()) { g_clock = nowMs; }

bool mb_tcp_server_idle() {
    TcpServer *s = g_server;
    return s != nullptr && s->listenFd >= 0 && s->active == 0;
}

void mb_tcp_server_free(ModbusContext *ctx) {
    TcpServer *s = g_server;
    if (s == nullptr || ctx != &s->ctx) return;
    for (int fd = 0; fd <= MAX_OPEN_PORT; ++fd) {
        if (!(s->active & (1u << fd))) continue;
        char ip[INET_ADDRSTRLEN];
        LOG_WARN("[mbTcpTransport]close %s:%d connnect!", peer_ip(s->peers[fd], ip),
                 ntohs(s->peers[fd].addr.sin_port));
        close_client(s, fd);
    }
    if (s->listenFd >= 0) close(s->listenFd);
    s->listenFd = -1;
    g_server = nullptr;
    if (s->wakeFd >= 0) close(s->wakeFd);
    pthread_mutex_destroy(&s->tableLock);
    pthread_mutex_destroy(&s->ctx.lock);
    delete s;
}

void mb_tcp_server_set_close_hook(MbClientClosedFn hook) { g_closedHook = hook; }

int mb_tcp_server_bound_port() {
    if (g_server == nullptr || g_server->listenFd < 0) return -1;
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (getsockname(g_server->listenFd, (struct sockaddr *)&addr, &len) != 0) return -1;
    return ntohs(addr.sin_port);
}
