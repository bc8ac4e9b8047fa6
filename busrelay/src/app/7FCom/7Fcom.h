// The link to the gateway's main program: UDP search on loopback for the
// gateway's own device key, one supervised TCP connection to port 9981 that
// carries 7F frames both ways, and a ten-slot ring of outgoing frames.
//
// 7F frame: 0x7F, topic length T (u32 LE), topic, payload length P (u32 LE),
// payload. T = P = 0 is a keep-alive.
//
// Threads: "gw7fDaemon" (search, supervision, reconnection) and, per
// connection, "gw7fRcv" (reads frames, runs the message handler) and
// "gw7fSnd" (drains the ring). start/stop/sendCommand/destroyInstance are
// called from the main thread only.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "frame7f/frame7f.h"

// Called on the receive thread for every frame that has a topic and a
// payload. Neither is terminated: read exactly topicLen / payloadLen bytes.
// No lock of the link is held during the call. The result is ignored.
typedef int (*Gw7fMsgHandler)(const char *topic, int topicLen, const char *payload,
                              int payloadLen);

constexpr int GW7F_SEARCH_PORT = 9980;
constexpr int GW7F_TCP_PORT = 9981;
constexpr int GW7F_FRAME_MAX = 1024;      // largest frame we send
constexpr int GW7F_RCV_TOPIC_MAX = 64;    // longest topic we accept
constexpr int GW7F_RING_SLOTS = 10;
constexpr const char *GW7F_SEARCH_TEXT = "{\"cmd\":\"getAllGateway\"}";

// Ring of outgoing frames. Every operation takes the ring's own mutex and
// nothing else. Slots are fixed: queueing copies, nothing is allocated.
struct Gw7fSendRing {
    int writeIndex;
    int readIndex;
    bool full;
    pthread_mutex_t mutex;
    uint8_t slot[GW7F_RING_SLOTS][GW7F_FRAME_MAX];
    int length[GW7F_RING_SLOTS];
};

int gw7f_ring_init(Gw7fSendRing *ring);     // 0 or -1 (mutex)
void gw7f_ring_destroy(Gw7fSendRing *ring);
// Writes the frame (0x7F, T, topic, P, payload) into the next slot.
// -1 when the ring is full or the frame does not fit a slot.
int gw7f_ring_queue(Gw7fSendRing *ring, const void *topic, int topicLen, const void *payload,
                    int payloadLen);
// Copies the oldest frame into out (GW7F_FRAME_MAX bytes); its length, or 0 when empty.
int gw7f_ring_peek(Gw7fSendRing *ring, uint8_t *out);
// Drops the oldest frame; true when frames remain.
bool gw7f_ring_remove(Gw7fSendRing *ring);
int gw7f_ring_count(Gw7fSendRing *ring);

// Sends all bytes on a non-blocking socket, each send call under rsLock,
// waiting for writability while keepGoing stays non-zero. A closed peer
// gives -1 (never SIGPIPE). 0 when everything went out.
int gw7f_send_all(int fd, pthread_mutex_t *rsLock, const uint8_t *data, int length,
                  const std::atomic<int> *keepGoing);

// Receive side of the stream: bytes are appended as they arrive and frames
// are cut out whole by the shared 7F codec. A bad head (not 0x7F, topic too
// long, negative payload length) is skipped up to the next 0x7F byte; a
// skipped run (until a good frame or a quiet link) logs each kind of warning
// once. A frame whose payload is too large is skipped by its announced lengths.
constexpr int GW7F_RX_BUFFER = 4 * GW7F_FRAME_MAX;
// Frames taken: topic up to GW7F_RCV_TOPIC_MAX, whole frame below GW7F_FRAME_MAX.
constexpr frame7f::Limits GW7F_RX_LIMITS = {GW7F_RCV_TOPIC_MAX, frame7f::kSkippableMax,
                                            GW7F_FRAME_MAX - 1};
struct Gw7fRx {
    uint8_t data[GW7F_RX_BUFFER];
    int start;       // first unparsed byte
    int len;         // unparsed bytes
    frame7f::Cutter cutter{GW7F_RX_LIMITS};  // remembers a refused frame still to be dropped
    unsigned reported;  // kinds of bad head already logged in this skipped run
};
void gw7f_rx_reset(Gw7fRx *rx);
// Where the next received bytes go (moves the unparsed bytes to the front
// when needed) and how many fit.
uint8_t *gw7f_rx_space(Gw7fRx *rx, int *room);
void gw7f_rx_added(Gw7fRx *rx, int n);
// 1: a complete frame at *frame (total bytes, topic and payload lengths), taken
// from the buffer (valid until the next call); 0: more bytes are needed.
int gw7f_rx_next(Gw7fRx *rx, const uint8_t **frame, int *total, int *topicLen, int *payloadLen);
// True while a frame has begun (or is being skipped) but is incomplete.
bool gw7f_rx_partial(const Gw7fRx *rx);
// The link went quiet: a skipped run, if any, is over.
void gw7f_rx_quiet(Gw7fRx *rx);

class Gw7fLink {
public:
    static Gw7fLink *instance();
    // Stops the link if it still runs, then frees it. Shutdown only.
    static void destroyInstance();

    // Stores the handler (may be null) and starts the daemon. 0 or -1.
    int start(Gw7fMsgHandler handler);
    // Ends the daemon and the connection's threads and waits for all of them
    // (at most about 600 ms); the socket is closed. Frames in the ring stay.
    void stop();

    // Queues a command for deviceKey on topic "local/<gateway key>/<deviceKey>/command".
    // 0 when queued; -1 when not connected, when the frame would exceed
    // GW7F_FRAME_MAX bytes, or when the ring is full. Never blocks on the network.
    int sendCommand(const char *deviceKey, const char *payload, int length);

    // Dispatches one received frame (keep-alive answer, "quit", handler).
    int onRcvProcess(const uint8_t *frame, int total, int topicLen, int payloadLen);

    bool isConnected() const { return connected_.load() == 1; }
    // The gateway's own key from the search answer, "" before it is known.
    std::string gatewayKey();
    std::string gatewayAddress();

private:
    Gw7fLink();
    ~Gw7fLink();
    Gw7fLink(const Gw7fLink &) = delete;
    Gw7fLink &operator=(const Gw7fLink &) = delete;

    static void *daemonEntry(void *self);
    static void *rcvEntry(void *self);
    static void *sndEntry(void *self);
    void daemonLoop();
    void supervise();
    bool search();
    void rcvLoop();
    void sndLoop();
    bool sleepWhileRunning(int ms);
    void endConnection(bool logIt);
    bool tcpEstablished(int fd) const;
    // Every change of connected_ goes through here: the health block mirrors it.
    void setConnected(int v);
    void queueKeepAlive();

    bool initialised_ = false;
    Gw7fMsgHandler handler_ = nullptr;
    std::atomic<int> connected_{0};
    pthread_mutex_t ctrlLock_;
    std::atomic<int> run_{0};
    sem_t sndSem_;
    pthread_mutex_t rsLock_;
    int socket_ = -1;
    int stopFd_ = -1;  // eventfd written by stop(): ends the daemon's sleeps
    pthread_t rcvThread_{};
    pthread_t sndThread_{};
    bool rcvRunning_ = false;
    bool sndRunning_ = false;
    std::string gatewayAddress_;
    std::string gatewayKey_;
    pthread_t daemonThread_{};
    bool daemonRunning_ = false;
    Gw7fSendRing ring_;
};
