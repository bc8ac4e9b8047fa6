#include "7Fcom.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "health.h"
#include "logger.h"
#include "utils_misc.h"
#include "utils_net.h"

namespace {

Gw7fLink *g_link = nullptr;
std::mutex g_linkCreate;

constexpr int kSliceMs = 100;           // how often waits look at the run flag
constexpr int kSearchTimeoutMs = 10000;
constexpr int kTickMs = 2000;
constexpr int kHeadWaitMs = 500;
constexpr int kRestWaitMs = 200;
constexpr int kSndWaitMs = 500;
constexpr const char *kLoopback = "127.0.0.1";

// Waits for an event on fd; 1 ready, 0 time passed, -1 failed (errno set).
// EINTR is retried by the caller so that it can log it.
int wait_fd(int fd, short events, int ms) {
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, ms);
}

}  // namespace

// ---------------------------------------------------------------- send ring

int gw7f_ring_init(Gw7fSendRing *ring) {
    ring->writeIndex = 0;
    ring->readIndex = 0;
    ring->full = false;
    memset(ring->length, 0, sizeof ring->length);
    return pthread_mutex_init(&ring->mutex, nullptr) == 0 ? 0 : -1;
}

void gw7f_ring_destroy(Gw7fSendRing *ring) {
    pthread_mutex_destroy(&ring->mutex);
    ring->writeIndex = 0;
    ring->readIndex = 0;
    ring->full = false;
}

int gw7f_ring_queue(Gw7fSendRing *ring, const void *topic, int topicLen, const void *payload,
                    int payloadLen) {
    if (topicLen < 0 || payloadLen < 0 || topicLen > GW7F_FRAME_MAX ||
        payloadLen > GW7F_FRAME_MAX || 9 + topicLen + payloadLen > GW7F_FRAME_MAX)
        return -1;
    pthread_mutex_lock(&ring->mutex);
    if (ring->full) {
        pthread_mutex_unlock(&ring->mutex);
        return -1;
    }
    ring->length[ring->writeIndex] =
        (int)frame7f::encode(ring->slot[ring->writeIndex], GW7F_FRAME_MAX, topic,
                             (size_t)topicLen, payload, (size_t)payloadLen);
    ring->writeIndex = (ring->writeIndex + 1) % GW7F_RING_SLOTS;
    if (ring->writeIndex == ring->readIndex) ring->full = true;
    pthread_mutex_unlock(&ring->mutex);
    return 0;
}

int gw7f_ring_peek(Gw7fSendRing *ring, uint8_t *out) {
    pthread_mutex_lock(&ring->mutex);
    int n = 0;
    if (ring->full || ring->readIndex != ring->writeIndex) {
        n = ring->length[ring->readIndex];
        memcpy(out, ring->slot[ring->readIndex], (size_t)n);
    }
    pthread_mutex_unlock(&ring->mutex);
    return n;
}

bool gw7f_ring_remove(Gw7fSendRing *ring) {
    pthread_mutex_lock(&ring->mutex);
    if (ring->full || ring->readIndex != ring->writeIndex) {
        ring->readIndex = (ring->readIndex + 1) % GW7F_RING_SLOTS;
        ring->full = false;
    }
    bool more = ring->readIndex != ring->writeIndex;
    pthread_mutex_unlock(&ring->mutex);
    return more;
}

int gw7f_ring_count(Gw7fSendRing *ring) {
    pthread_mutex_lock(&ring->mutex);
    int n = ring->full ? GW7F_RING_SLOTS
                       : (ring->writeIndex - ring->readIndex + GW7F_RING_SLOTS) % GW7F_RING_SLOTS;
    pthread_mutex_unlock(&ring->mutex);
    return n;
}

int gw7f_send_all(int fd, pthread_mutex_t *rsLock, const uint8_t *data, int length,
                  const std::atomic<int> *keepGoing) {
    int sent = 0;
    bool first = true;
    while (sent < length) {
        if (!first) {
            LOG_WARN("gw7f resend..\n");
            // Wait for room instead of spinning on a full socket buffer.
            int w = wait_fd(fd, POLLOUT, kSndWaitMs);
            if (w < 0 && errno != EINTR) {
                LOG_ERROR("gw7f snd select failed! %s", strerror(errno));
                return -1;
            }
            if (keepGoing && keepGoing->load() == 0) return -1;
        }
        first = false;
        pthread_mutex_lock(rsLock);
        // MSG_NOSIGNAL: a peer that has gone gives EPIPE here, not a signal.
        ssize_t n = send(fd, data + sent, (size_t)(length - sent), MSG_NOSIGNAL);
        int err = errno;
        pthread_mutex_unlock(rsLock);
        if (n < 0) {
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
                LOG_WARN("gw7f send not once send!\n");
                n = 0;
            } else {
                LOG_ERROR("gw7f send call failure!msg:%s\n", strerror(err));
                errno = err;
                return -1;
            }
        }
        sent += (int)n;
    }
    return 0;
}

// ---------------------------------------------------------------- instance

Gw7fLink *Gw7fLink::instance() {
    std::lock_guard<std::mutex> guard(g_linkCreate);
    if (g_link == nullptr) g_link = new Gw7fLink();
    return g_link;
}

void Gw7fLink::destroyInstance() {
    std::lock_guard<std::mutex> guard(g_linkCreate);
    if (g_link == nullptr) return;
    delete g_link;
    g_link = nullptr;
}

Gw7fLink::Gw7fLink() {
    LOG_INFO("gw7f Construct..");
    if (gw7f_ring_init(&ring_) != 0) {
        LOG_ERROR("gw7f sndloopbuf init failed!");
        return;
    }
    int rc = pthread_mutex_init(&ctrlLock_, nullptr);
    if (rc != 0) {
        LOG_ERROR("gw7f ctrl lock init failed! %s", strerror(rc));
        gw7f_ring_destroy(&ring_);
        return;
    }
    if (sem_init(&sndSem_, 0, 0) != 0) {
        LOG_ERROR("gw7f snd sem init failed! %s", strerror(errno));
        pthread_mutex_destroy(&ctrlLock_);
        gw7f_ring_destroy(&ring_);
        return;
    }
    rc = pthread_mutex_init(&rsLock_, nullptr);
    if (rc != 0) {
        LOG_ERROR("gw7f rs lock init failed! %s", strerror(rc));
        sem_destroy(&sndSem_);
        pthread_mutex_destroy(&ctrlLock_);
        gw7f_ring_destroy(&ring_);
        return;
    }
    socket_ = -1;
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // optional: slices without it
    initialised_ = true;
    LOG_INFO("gw7f Construct.. end");
}

Gw7fLink::~Gw7fLink() {
    // Nothing below may go while a thread of the link still uses it.
    if (initialised_) stop();
    LOG_INFO("gw7f destory..");
    if (!initialised_) return;
    gatewayAddress_.clear();
    gatewayKey_.clear();
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
    if (stopFd_ >= 0) close(stopFd_);
    stopFd_ = -1;
    pthread_mutex_destroy(&rsLock_);
    sem_destroy(&sndSem_);
    pthread_mutex_destroy(&ctrlLock_);
    gw7f_ring_destroy(&ring_);
    LOG_INFO("gw7f destory..end");
}

int Gw7fLink::start(Gw7fMsgHandler handler) {
    if (!initialised_) return -1;
    if (daemonRunning_) return 0;
    handler_ = handler;
    if (stopFd_ >= 0) {  // a stop signalled before this start is spent
        uint64_t v;
        while (read(stopFd_, &v, sizeof v) > 0) {
        }
    }
    run_ = 1;
    int rc = pthread_create(&daemonThread_, nullptr, daemonEntry, this);
    if (rc != 0) {
        LOG_FATAL("gw7f create search thread failed: %s", strerror(rc));
        run_ = 0;
        return -1;
    }
    daemonRunning_ = true;
    return 0;
}

void Gw7fLink::stop() {
    run_ = 0;
    if (stopFd_ >= 0) {
        const uint64_t one = 1;
        ssize_t rc = write(stopFd_, &one, sizeof one);
        (void)rc;
    }
    if (daemonRunning_) {
        sem_post(&sndSem_);  // wake the send thread at once
        pthread_join(daemonThread_, nullptr);
        daemonRunning_ = false;
    }
    if (!initialised_) return;
    pthread_mutex_lock(&ctrlLock_);
    setConnected(0);
    pthread_mutex_unlock(&ctrlLock_);
}

std::string Gw7fLink::gatewayKey() {
    pthread_mutex_lock(&ctrlLock_);
    std::string key = gatewayKey_;
    pthread_mutex_unlock(&ctrlLock_);
    return key;
}

std::string Gw7fLink::gatewayAddress() {
    pthread_mutex_lock(&ctrlLock_);
    std::string address = gatewayAddress_;
    pthread_mutex_unlock(&ctrlLock_);
    return address;
}

void Gw7fLink::setConnected(int v) {
    connected_ = v;
    health_set(HC_LINK_UP, v == 1 ? 1 : 0);
}

bool Gw7fLink::tcpEstablished(int fd) const {
    struct tcp_info info;
    socklen_t len = sizeof info;
    memset(&info, 0, sizeof info);
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return false;
    return info.tcpi_state == TCP_ESTABLISHED;
}

// Sleeps on the stop descriptor, so that stop() ends the sleep at once and an
// idle link does not wake every slice. Without it, in slices.
bool Gw7fLink::sleepWhileRunning(int ms) {
    while (ms > 0 && run_.load()) {
        int step = stopFd_ >= 0 ? ms : (ms < kSliceMs ? ms : kSliceMs);
        if (stopFd_ >= 0) {
            struct timespec t0, t1;
            clock_gettime(CLOCK_MONOTONIC, &t0);
            wait_fd(stopFd_, POLLIN, step);
            clock_gettime(CLOCK_MONOTONIC, &t1);
            step = (int)((t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000);
            if (step <= 0) step = 1;
        } else {
            usleep((useconds_t)step * 1000);
        }
        ms -= step;
    }
    return run_.load() != 0;
}

// ---------------------------------------------------------------- daemon

void *Gw7fLink::daemonEntry(void *self) {
    pthread_setname_np(pthread_self(), "gw7fDaemon");
    static_cast<Gw7fLink *>(self)->daemonLoop();
    return nullptr;
}

void Gw7fLink::daemonLoop() {
    while (run_.load()) {
        pthread_mutex_lock(&ctrlLock_);
        gatewayKey_.clear();
        gatewayAddress_.clear();
        pthread_mutex_unlock(&ctrlLock_);

        bool found = search();
        if (!found) {
            if (!run_.load()) break;
            LOG_FATAL("load gateway dkey and ip failed!");
            // A search that cannot even send would otherwise spin.
            sleepWhileRunning(1000);
            continue;
        }
        supervise();
    }
    endConnection(false);
    LOG_WARN("gw7f daemon thread quit!");
}

bool Gw7fLink::search() {
    LOG_INFO("send %s to local", GW7F_SEARCH_TEXT);
    int fd = create_udp_socket(0, 1);
    if (fd < 0) {
        LOG_FATAL("create  socket for gateway search failed!\n");
        return false;
    }
    struct timeval tv = {kSearchTimeoutMs / 1000, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        LOG_FATAL("set  socket timeout for gateway search failed\n");
        close(fd);
        return false;
    }

    struct sockaddr_in dest;
    memset(&dest, 0, sizeof dest);
    dest.sin_family = AF_INET;
    dest.sin_port = htons(GW7F_SEARCH_PORT);
    inet_pton(AF_INET, kLoopback, &dest.sin_addr);

    char buf[2048 + 1];
    const int textLen = (int)strlen(GW7F_SEARCH_TEXT);
    while (run_.load()) {
        ssize_t n = sendto(fd, GW7F_SEARCH_TEXT, (size_t)textLen, 0, (struct sockaddr *)&dest,
                           sizeof dest);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                LOG_WARN("not once send for gateway search! msg:%s!\n", strerror(errno));
                sleepWhileRunning(kSliceMs);
                continue;
            }
            LOG_ERROR("send for gateway search failed! msg:%s!\n", strerror(errno));
            close(fd);
            return false;
        }

        while (run_.load()) {
            // The 10 s receive time-out, waited in slices so that a stop is
            // seen at once.
            int waited = 0, ready = 0;
            while (waited < kSearchTimeoutMs && run_.load()) {
                ready = wait_fd(fd, POLLIN, kSliceMs);
                if (ready != 0) break;
                waited += kSliceMs;
            }
            if (!run_.load()) break;
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                LOG_ERROR("recvfrom failure for gateway search! msg:%s!\n",
                          strerror(ready == 0 ? EAGAIN : errno));
                break;  // ask again
            }
            n = recvfrom(fd, buf, sizeof buf - 1, 0, nullptr, nullptr);
            if (n < 0) {
                LOG_ERROR("recvfrom failure for gateway search! msg:%s!\n", strerror(errno));
                break;
            }
            buf[n] = '\0';
            LOG_DEBUG("gw7f rcv\n%s", buf);

            std::string key;
            Json::CharReaderBuilder builder;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            Json::Value root;
            std::string errs;
            if (reader->parse(buf, buf + n, &root, &errs) && root.isObject() &&
                root["deviceKey"].isString())
                key = root["deviceKey"].asString();
            if (!key.empty()) {
                LOG_INFO("gw7f get gw dkey %s\n", key.c_str());
                pthread_mutex_lock(&ctrlLock_);
                gatewayKey_ = key;
                gatewayAddress_ = kLoopback;
                pthread_mutex_unlock(&ctrlLock_);
                close(fd);
                return true;
            }
        }
    }
    close(fd);
    return false;
}

// Ends the current connection: clears connected, waits for both threads
// (they leave within about 500 ms once connected is 0), then closes the
// socket. Never joins under the ctrl lock: the receive thread takes it for "quit".
void Gw7fLink::endConnection(bool logIt) {
    pthread_t rcv{}, snd{};
    bool haveRcv, haveSnd;
    pthread_mutex_lock(&ctrlLock_);
    setConnected(0);
    haveRcv = rcvRunning_;
    haveSnd = sndRunning_;
    rcv = rcvThread_;
    snd = sndThread_;
    if (logIt && haveRcv) LOG_WARN("gw7f stop rcv thread");
    if (logIt && haveSnd) LOG_WARN("gw7f stop snd thread");
    rcvRunning_ = sndRunning_ = false;
    pthread_mutex_unlock(&ctrlLock_);

    sem_post(&sndSem_);
    if (haveRcv) pthread_join(rcv, nullptr);
    if (haveSnd) pthread_join(snd, nullptr);

    pthread_mutex_lock(&ctrlLock_);
    if (socket_ >= 0) {
        if (logIt) LOG_WARN("gw7f close socket by threads quit!");
        close(socket_);
        socket_ = -1;
    }
    pthread_mutex_unlock(&ctrlLock_);
}

void Gw7fLink::supervise() {
    int tick = 10;
    while (run_.load()) {
        if (!sleepWhileRunning(kTickMs)) break;

        bool lost = false;
        pthread_mutex_lock(&ctrlLock_);
        if (socket_ >= 0 && !tcpEstablished(socket_)) {
            LOG_ERROR("gw7f check gateway connected disabled!");
            setConnected(0);
        }
        lost = connected_.load() == 0 && socket_ >= 0;
        pthread_mutex_unlock(&ctrlLock_);
        if (lost) {
            endConnection(true);
            tick = 0;
        }

        int taken = tick++;
        if (taken <= 4) continue;
        tick = 0;
        if (socket_ >= 0) continue;  // only this thread changes the socket

        LOG_INFO("gw7f try reconnect to gateway");
        int fd = tcp_connect(0, gatewayAddress().c_str(), GW7F_TCP_PORT);
        if (fd < 0) {
            LOG_WARN("gw7f reconnect to gateway failed\n");
            continue;
        }
        LOG_INFO("gw7f reconnect to gateway ok!");

        pthread_mutex_lock(&ctrlLock_);
        socket_ = fd;
        // Counted before the gauge goes up: whoever sees the link up sees its connect.
        health_bump(HC_LINK_CONNECTS);
        setConnected(1);
        int rc = pthread_create(&rcvThread_, nullptr, rcvEntry, this);
        if (rc != 0) {
            LOG_ERROR("gw7f create rcv thread failed: %s", strerror(rc));
            setConnected(0);
        } else {
            rcvRunning_ = true;
            rc = pthread_create(&sndThread_, nullptr, sndEntry, this);
            if (rc != 0) {
                LOG_ERROR("gw7f create snd thread failed: %s", strerror(rc));
                setConnected(0);
            } else {
                sndRunning_ = true;
            }
        }
        bool both = rcvRunning_ && sndRunning_;
        pthread_t rcv = rcvThread_;
        bool haveRcv = rcvRunning_;
        if (!both) rcvRunning_ = sndRunning_ = false;
        pthread_mutex_unlock(&ctrlLock_);

        if (both) {
            sleepWhileRunning(500);
            LOG_INFO("gw7f restart threads success!\n");
        } else {
            if (haveRcv) pthread_join(rcv, nullptr);
            LOG_ERROR("gw7f start threads failed!\n");
            // The socket is closed at the next tick.
        }
    }
}

// ---------------------------------------------------------------- receive

void gw7f_rx_reset(Gw7fRx *rx) {
    rx->start = rx->len = 0;
    rx->cutter.reset();
    rx->reported = 0;
}

void gw7f_rx_quiet(Gw7fRx *rx) { rx->reported = 0; }

uint8_t *gw7f_rx_space(Gw7fRx *rx, int *room) {
    if (rx->len == 0) rx->start = 0;
    if (rx->start > 0 && GW7F_RX_BUFFER - (rx->start + rx->len) < GW7F_FRAME_MAX) {
        memmove(rx->data, rx->data + rx->start, (size_t)rx->len);
        rx->start = 0;
    }
    *room = GW7F_RX_BUFFER - (rx->start + rx->len);
    return rx->data + rx->start + rx->len;
}

void gw7f_rx_added(Gw7fRx *rx, int n) {
    if (n > 0) rx->len += n;
}

bool gw7f_rx_partial(const Gw7fRx *rx) { return rx->len > 0 || rx->cutter.skipping(); }

namespace {

void rx_drop(Gw7fRx *rx, int n) {
    rx->start += n;
    rx->len -= n;
    if (rx->len == 0) rx->start = 0;
}

enum : unsigned { kBadStart = 1, kBadTopic = 2, kBadPayload = 4 };

// Each kind of bad head is reported once per skipped run.
void rx_report_once(Gw7fRx *rx, frame7f::Why why) {
    unsigned kind;
    const char *text;
    switch (why) {
    case frame7f::Why::BadStart:
        kind = kBadStart;
        text = "not 7F msg, abandon\n";
        break;
    case frame7f::Why::BadTopic:
        kind = kBadTopic;
        text = "wrong topic length  for 7F msg, abandon\n";
        break;
    case frame7f::Why::BadPayload:
        kind = kBadPayload;
        text = "gw7f rcv too many data\n";
        break;
    default:
        return;
    }
    if (!(rx->reported & kind)) LOG_WARN("%s", text);
    rx->reported |= kind;
}

}  // namespace

int gw7f_rx_next(Gw7fRx *rx, const uint8_t **frame, int *total, int *topicLen,
                 int *payloadLen) {
    for (;;) {
        const frame7f::Piece p = rx->cutter.next(rx->data + rx->start, (size_t)rx->len);
        if (p.cut == frame7f::Cut::NeedMore) return 0;
        if (p.cut == frame7f::Cut::Skip) {
            if (p.why == frame7f::Why::Oversized) {
                // The head is sound, so its lengths say where the next frame starts.
                LOG_WARN("gw7f rcv too many data\n");
                health_bump(HC_7F_TOO_LONG);
                rx->reported = 0;
            } else {
                if (p.why != frame7f::Why::Rest) health_add(HC_7F_GARBAGE_BYTES, (uint32_t)p.size);
                rx_report_once(rx, p.why);
            }
            rx_drop(rx, (int)p.size);
            continue;
        }
        rx->reported = 0;
        *frame = rx->data + rx->start;
        *total = (int)p.size;
        *topicLen = (int)p.topicLen;
        *payloadLen = (int)p.payloadLen;
        rx_drop(rx, (int)p.size);
        return 1;
    }
}

void *Gw7fLink::rcvEntry(void *self) {
    pthread_setname_np(pthread_self(), "gw7fRcv");
    static_cast<Gw7fLink *>(self)->rcvLoop();
    return nullptr;
}

void Gw7fLink::rcvLoop() {
    LOG_INFO("gw7f rcv start...\n");
    // Frames are parsed out of whatever each read brings: one read may hold
    // many frames (report bursts) or a part of one.
    Gw7fRx rx;
    gw7f_rx_reset(&rx);
    log_set_deferred(true);
    const int fd = socket_;  // fixed for this thread's lifetime

    while (connected_.load() == 1) {
        const uint8_t *frame;
        int total, topicLen, payloadLen;
        while (connected_.load() == 1 &&
               gw7f_rx_next(&rx, &frame, &total, &topicLen, &payloadLen) == 1)
            onRcvProcess(frame, total, topicLen, payloadLen);
        if (connected_.load() != 1) break;

        const bool partial = gw7f_rx_partial(&rx);
        log_flush();  // the trace of a burst leaves before we wait
        int ready = wait_fd(fd, POLLIN, partial ? kRestWaitMs : kHeadWaitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                LOG_WARN("A non blocked signal was caught while gw7f rcv select\n");
                continue;
            }
            LOG_WARN("gw7f rcv select error: %s\n", strerror(errno));
            break;
        }
        if (ready == 0) {
            gw7f_rx_quiet(&rx);
            if (partial) {
                LOG_DEBUG("gw7f rcv select timeout : %s, abandon rcved frames\n",
                          strerror(ETIMEDOUT));
                health_add(HC_7F_GARBAGE_BYTES, (uint32_t)rx.len);
                gw7f_rx_reset(&rx);
            }
            continue;
        }
        int room = 0;
        uint8_t *at = gw7f_rx_space(&rx, &room);
        pthread_mutex_lock(&rsLock_);
        ssize_t n = recv(fd, at, (size_t)room, MSG_DONTWAIT);
        int err = n == 0 ? ECONNRESET : errno;
        pthread_mutex_unlock(&rsLock_);
        if (n <= 0) {
            if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) continue;
            LOG_ERROR("gw7f rcv error: %s", strerror(err));
            break;
        }
        gw7f_rx_added(&rx, (int)n);
    }
    setConnected(0);
    LOG_ERROR("gw7f rcv thread error! quit!");
    log_set_deferred(false);
}

void Gw7fLink::queueKeepAlive() {
    if (gw7f_ring_queue(&ring_, nullptr, 0, nullptr, 0) == 0) sem_post(&sndSem_);
}

int Gw7fLink::onRcvProcess(const uint8_t *frame, int total, int topicLen, int payloadLen) {
    (void)total;
    const char *topic = (const char *)frame + 5;
    const char *payload = (const char *)frame + 9 + topicLen;
    if (topicLen > 0)
        LOG_INFO("gw7f onRcvProcess:\ntopic:%.*s\npayload:%.*s\n", topicLen, topic, payloadLen,
                 payload);
    if (topicLen == 0 && payloadLen == 0) {
        queueKeepAlive();
        return 0;
    }
    if (topicLen == 4 && payloadLen == 0 && memcmp(topic, "quit", 4) == 0) {
        pthread_mutex_lock(&ctrlLock_);
        setConnected(0);
        pthread_mutex_unlock(&ctrlLock_);
        return 0;
    }
    if (topicLen > 0 && payloadLen > 0 && handler_ != nullptr)
        return handler_(topic, topicLen, payload, payloadLen);
    return -1;
}

// ---------------------------------------------------------------- send

void *Gw7fLink::sndEntry(void *self) {
    pthread_setname_np(pthread_self(), "gw7fSnd");
    static_cast<Gw7fLink *>(self)->sndLoop();
    return nullptr;
}

void Gw7fLink::sndLoop() {
    uint8_t frame[GW7F_FRAME_MAX];
    const int fd = socket_;
    while (connected_.load() == 1) {
        int ready = wait_fd(fd, POLLOUT, kSndWaitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            LOG_ERROR("gw7f snd select failed! %s", strerror(errno));
            break;
        }
        if (ready > 0) {
            int n = gw7f_ring_peek(&ring_, frame);
            if (n > 0) {
                if (gw7f_send_all(fd, &rsLock_, frame, n, &connected_) != 0) {
                    // A frame cut short by a stop stays for the next connection.
                    if (connected_.load() == 1) gw7f_ring_remove(&ring_);
                    break;
                }
                if (gw7f_ring_remove(&ring_)) continue;
            }
        }
        if (sem_wait_ms(&sndSem_, kSndWaitMs) != 0) {
            LOG_ERROR("gw7f snd sem wait failure!msg:%s\n", strerror(errno));
            break;
        }
    }
    setConnected(0);
    LOG_ERROR("gw7f snd thread error! quit!");
}

// ---------------------------------------------------------------- commands

int Gw7fLink::sendCommand(const char *deviceKey, const char *payload, int length) {
    if (!initialised_ || deviceKey == nullptr || payload == nullptr || length < 0) return -1;
    // Built with its real length: long keys are refused by the frame limit
    // below instead of overrunning a fixed topic buffer.
    char topic[GW7F_FRAME_MAX];
    int topicLen;

    pthread_mutex_lock(&ctrlLock_);
    if (connected_.load() == 1 && socket_ >= 0 && !tcpEstablished(socket_)) {
        LOG_ERROR("gw7f gateway connected disabled!");
        setConnected(0);
    }
    if (connected_.load() == 0) {
        pthread_mutex_unlock(&ctrlLock_);
        LOG_ERROR("gw7f not conncected yet!");
        return -1;
    }
    topicLen = snprintf(topic, sizeof topic, "local/%s/%s/command", gatewayKey_.c_str(),
                        deviceKey);
    pthread_mutex_unlock(&ctrlLock_);

    if (topicLen < 0 || topicLen >= (int)sizeof topic ||
        (long)length + topicLen + 9 > GW7F_FRAME_MAX) {
        LOG_ERROR("too much data for gw7f snd buf!");
        return -1;
    }
    if (gw7f_ring_queue(&ring_, topic, topicLen, payload, length) != 0) return -1;
    LOG_INFO("gw7f cache snd:\n topic:%s\n payload:%.*s\n", topic, length, payload);
    sem_post(&sndSem_);
    return 0;
}
