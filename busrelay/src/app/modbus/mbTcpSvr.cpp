#include "mbTcpSvr.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "byteQueue.h"
#include "logger.h"
#include "utils_net.h"

namespace {

struct ClientSlot {
    ByteQueue sendQueue;
    ByteQueue recvQueue;
    bool inUse;
    int socket;
};

struct PeerState {
    int idle;  // poll cycles since the last successful receive or send
    int slot;  // -1: not a served client
    struct sockaddr_in addr;
};

struct TcpServer {
    ModbusContext ctx;
    int listenFd;
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
uint16_t g_requestTid = 0;

const char *peer_ip(const PeerState &p, char *buf) {
    if (!inet_ntop(AF_INET, &p.addr.sin_addr, buf, INET_ADDRSTRLEN)) strcpy(buf, "?");
    return buf;
}

int active_count(uint32_t mask) { return __builtin_popcount(mask); }

void close_client(TcpServer *s, int fd, bool contextLocked = false) {
    if (fd < 0 || fd > MAX_OPEN_PORT) return;
    pthread_mutex_lock(&s->tableLock);
    shutdown(fd, SHUT_RDWR);
    close(fd);
    s->active &= ~(1u << fd);
    PeerState &p = s->peers[fd];
    p.idle = 0;
    if (p.slot >= 0) {
        ClientSlot &slot = s->slots[p.slot];
        queue_discard(&slot.sendQueue, 0);
        queue_discard(&slot.recvQueue, 0);
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
    for (PeerState &p : s->peers) {
        p.idle = 0;
        p.slot = -1;
    }
    int fd = tcp_server_socket(s->port);
    if (fd >= FD_SETSIZE) {  // select could not watch it
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        LOG_FATAL("[mbTcpTransport]int on port%d,error!!!", s->port);
        s->listenFd = fd;
        return -1;
    }
    s->listenFd = fd;
    LOG_INFO("[mbTcpTransport]socket init ok");
    return fd;
}

void admit(TcpServer *s, int fd, const struct sockaddr_in &addr) {
    if (active_count(s->active) >= MB_TCP_CLIENT_SLOTS) {
        LOG_WARN("[mbTcpTransport]got too much clients,so close %d\n", fd);
        close(fd);
        return;
    }
    if (fd > MAX_OPEN_PORT) {
        LOG_WARN("[mbTcpTransport]fd>MAX_OPEN_PORT ,so close %d\n", fd);
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
        close(fd);
        return;
    }
    s->slots[free_slot].inUse = true;
    s->slots[free_slot].socket = fd;
    PeerState &p = s->peers[fd];
    p.slot = free_slot;
    p.idle = 0;
    p.addr = addr;
    s->active |= 1u << fd;
    pthread_mutex_unlock(&s->tableLock);
    socket_set_blocking(fd, 0);
}

void receive_from(TcpServer *s, int fd) {
    char ip[INET_ADDRSTRLEN];
    PeerState &p = s->peers[fd];
    LOG_INFO("[mbTcpTransport]rcv from %s:%d:", peer_ip(p, ip), ntohs(p.addr.sin_port));
    uint8_t buf[MB_MAX_ADU_LENGTH];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        LOG_ERROR("[mbTcpTransport]close client%d by rcv error!\n", fd);
        close_client(s, fd);
        return;
    }
    log_hexdump(buf, (int)n);
    ClientSlot &slot = s->slots[p.slot];
    int off = 0;
    while (off < n) {
        int len = mb_tcp_frame_length(buf + off, (int)n - off);
        if (len <= 0) break;  // the rest of this read is dropped
        if (queue_write_whole(&slot.recvQueue, buf + off, len) != len)
            LOG_WARN("[mbTcpTransport]cache rcv failed!\n");
        off += len;
    }
    p.idle = 0;
}

void send_to(TcpServer *s, int fd) {
    PeerState &p = s->peers[fd];
    if (p.slot < 0) return;
    ClientSlot &slot = s->slots[p.slot];
    uint8_t buf[MB_MAX_ADU_LENGTH];
    int n = queue_peek(&slot.sendQueue, buf, sizeof buf);
    if (n <= 0) return;
    char ip[INET_ADDRSTRLEN];
    LOG_INFO("[mbTcpTransport]snd to %s:%d:", peer_ip(p, ip), ntohs(p.addr.sin_port));
    // MSG_NOSIGNAL: a peer that went away gives an error here, never SIGPIPE.
    ssize_t sent = send(fd, buf, (size_t)n, MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (sent <= 0) {
        LOG_ERROR("[mbTcpTransport]snd error, close this client%d!\n", fd);
        close_client(s, fd);
        return;
    }
    log_hexdump(buf, (int)sent);
    queue_discard(&slot.sendQueue, (int)sent);
    p.idle = 0;
}

// --- backend operations -----------------------------------------------------

int tcp_set_unit_id(ModbusContext *ctx, int unitId) {
    if ((unitId >= 0 && unitId <= 247) || unitId == 255) {
        ctx->unitId = unitId;
        return 0;
    }
    errno = EINVAL;
    return -1;
}

int tcp_build_request_basis(ModbusContext *ctx, int function, int address, int count,
                            uint8_t *req) {
    uint16_t tid = ++g_requestTid;
    req[0] = (uint8_t)(tid >> 8);
    req[1] = (uint8_t)tid;
    req[2] = 0;
    req[3] = 0;
    req[4] = 0;
    req[5] = 0;
    req[6] = (uint8_t)ctx->unitId;
    req[7] = (uint8_t)function;
    req[8] = (uint8_t)(address >> 8);
    req[9] = (uint8_t)address;
    req[10] = (uint8_t)(count >> 8);
    req[11] = (uint8_t)count;
    return 12;
}

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

int tcp_reply_tid(const uint8_t *req) { return (req[0] << 8) | req[1]; }

int tcp_finish_frame(uint8_t *frame, int length) {
    frame[4] = (uint8_t)((length - 6) >> 8);
    frame[5] = (uint8_t)(length - 6);
    return length;
}

ssize_t tcp_receive_bytes(ModbusContext *ctx, uint8_t *buf, int length) {
    return recv(ctx->socket, buf, (size_t)length, MSG_DONTWAIT);
}

int tcp_verify_frame(ModbusContext *, uint8_t *, int length) { return length; }

int tcp_match_confirmation(ModbusContext *ctx, const uint8_t *req, const uint8_t *rsp, int) {
    int want = (req[0] << 8) | req[1];
    int got = (rsp[0] << 8) | rsp[1];
    if (want != got) {
        if (ctx->debug) fprintf(stderr, "Invalid transaction ID received 0x%X (not 0x%X)\n", got,
                                want);
        errno = MB_EBADDATA;
        return -1;
    }
    int protocol = (rsp[2] << 8) | rsp[3];
    if (protocol != 0) {
        if (ctx->debug) fprintf(stderr, "Invalid protocol ID received 0x%X (not 0x0)\n", protocol);
        errno = MB_EBADDATA;
        return -1;
    }
    return 0;
}

void tcp_close(ModbusContext *ctx) {
    TcpServer *s = static_cast<TcpServer *>(ctx->backendData);
    if (s && ctx->socket >= 0 && ctx->socket <= MAX_OPEN_PORT &&
        (s->active & (1u << ctx->socket)))
        close_client(s, ctx->socket, true);
    ctx->socket = -1;
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

int tcp_select(ModbusContext *ctx, fd_set *readSet, struct timeval *timeout, int) {
    if (ctx->socket < 0 || ctx->socket >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    FD_ZERO(readSet);
    FD_SET(ctx->socket, readSet);
    return select(ctx->socket + 1, readSet, nullptr, nullptr, timeout);
}

}  // namespace

const ModbusBackend g_mbTcpServerBackend = {
    MB_BACKEND_TCP,
    MB_TCP_HEADER_LENGTH,
    0,
    MB_MAX_ADU_LENGTH,
    tcp_set_unit_id,
    tcp_build_request_basis,
    tcp_build_reply_header,
    tcp_reply_tid,
    tcp_finish_frame,
    mb_tcp_server_send,
    nullptr,  // requests arrive through the poll
    tcp_receive_bytes,
    tcp_verify_frame,
    tcp_match_confirmation,
    nullptr,  // a server does not connect
    tcp_close,
    tcp_flush,
    tcp_select,
    nullptr,  // mb_tcp_server_free releases the context
};

int mb_tcp_frame_length(const uint8_t *buf, int n) {
    if (buf == nullptr || n < 8) return 0;
    const int f = buf[7];
    int fixed = 0;
    if (f <= 6) fixed = 4;
    else if (f == 15 || f == 16) fixed = 5;
    else if (f == 22) fixed = 6;
    else if (f == 23) fixed = 9;
    if (n < 8 + fixed) return 0;
    int variable = 0;
    if (f == 15 || f == 16) variable = buf[12];
    else if (f == 23) variable = buf[16];
    const int total = 8 + fixed + variable;
    // Checked before completeness: one read never brings more than 260 bytes,
    // so an oversized frame would otherwise just look incomplete.
    if (total > MB_MAX_ADU_LENGTH) {
        fprintf(stderr, "ERROR %s: too many data\n", mb_strerror(MB_EBADDATA));
        fflush(stderr);
        return -1;
    }
    if (n < total) return 0;
    return total;
}

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
    return taken;
}

ModbusContext *mb_tcp_server_new(int port, RequestCallback on_request) {
    if (g_server != nullptr) {
        LOG_FATAL("[mbTcpTransport]server already created");
        return nullptr;
    }
    TcpServer *s = static_cast<TcpServer *>(calloc(1, sizeof(TcpServer)));
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
    for (ClientSlot &slot : s->slots) {
        queue_init(&slot.sendQueue, MB_TCP_QUEUE_LIMIT);
        queue_init(&slot.recvQueue, MB_TCP_QUEUE_LIMIT);
        slot.inUse = false;
        slot.socket = -1;
    }
    s->port = (uint16_t)port;
    s->onRequest = on_request;
    s->listenFd = -1;
    open_listener(s);
    g_server = s;
    return &s->ctx;
}

void mb_tcp_server_poll() {
    TcpServer *s = g_server;
    if (s == nullptr) return;
    if (s->listenFd < 0) {
        open_listener(s);
        return;
    }

    // Dispatch: one whole frame per client.
    uint8_t buf[MB_MAX_ADU_LENGTH];
    for (ClientSlot &slot : s->slots) {
        int n = queue_peek(&slot.recvQueue, buf, sizeof buf);
        if (n <= 0) continue;
        int len = mb_tcp_frame_length(buf, n);
        if (len <= 0) {  // only whole frames are queued; never stall on junk
            queue_discard(&slot.recvQueue, 0);
            continue;
        }
        if (s->onRequest) s->onRequest(&s->ctx, slot.socket, buf, len);
        queue_discard(&slot.recvQueue, len);
    }

    fd_set rset, wset;
    FD_ZERO(&rset);
    FD_ZERO(&wset);
    FD_SET(s->listenFd, &rset);
    int maxFd = s->listenFd;
    for (int fd = 0; fd <= MAX_OPEN_PORT; ++fd) {
        if (!(s->active & (1u << fd))) continue;
        PeerState &p = s->peers[fd];
        int idle = p.idle++;
        if (idle <= MB_TCP_IDLE_LIMIT) {
            FD_SET(fd, &rset);
            FD_SET(fd, &wset);
            if (fd > maxFd) maxFd = fd;
        } else {
            char ip[INET_ADDRSTRLEN];
            LOG_WARN("[mbTcpTransport]close %s:%d connnect by idle timeout!", peer_ip(p, ip),
                     ntohs(p.addr.sin_port));
            close_client(s, fd);
        }
    }
    struct timeval tv = {0, 0};
    if (select(maxFd + 1, &rset, &wset, nullptr, &tv) <= 0) return;

    uint32_t mask = s->active;
    for (int fd = 0; fd <= MAX_OPEN_PORT; ++fd)
        if ((mask & (1u << fd)) && FD_ISSET(fd, &rset)) receive_from(s, fd);

    if (FD_ISSET(s->listenFd, &rset)) {
        struct sockaddr_in addr;
        socklen_t alen = sizeof addr;
        int fd = accept(s->listenFd, (struct sockaddr *)&addr, &alen);
        if (fd < 0) {
            LOG_ERROR("[mbTcpTransport]accept error");
        } else {
            char ip[INET_ADDRSTRLEN];
            if (!inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip)) strcpy(ip, "?");
            LOG_INFO("[mbTcpTransport]new connect from %s:%d,fd=%d", ip, ntohs(addr.sin_port),
                     fd);
            admit(s, fd, addr);
        }
    }

    mask = s->active;
    for (int fd = 0; fd <= MAX_OPEN_PORT; ++fd)
        if ((mask & (1u << fd)) && FD_ISSET(fd, &wset)) send_to(s, fd);
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
    pthread_mutex_destroy(&s->tableLock);
    pthread_mutex_destroy(&s->ctx.lock);
    g_server = nullptr;
    free(s);
}

void mb_tcp_server_set_close_hook(MbClientClosedFn hook) { g_closedHook = hook; }

int mb_tcp_server_bound_port() {
    if (g_server == nullptr || g_server->listenFd < 0) return -1;
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (getsockname(g_server->listenFd, (struct sockaddr *)&addr, &len) != 0) return -1;
    return ntohs(addr.sin_port);
}
