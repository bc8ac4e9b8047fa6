// labels: threads
// needs: namespace
// The gateway link against a fake gateway made of raw sockets on the fixed
// ports 9980/9981, inside a private network namespace.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/wire7f.h"

#include <algorithm>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <functional>
#include <string>
#include <vector>

#include "7Fcom.h"
#include "logger.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// stop() takes about 600 ms at most; the limit leaves room for a sanitizer
// build on a loaded machine and still catches a stop that waits out the
// daemon's 2 s tick or the search's 10 s.
constexpr double kStopLimitS = 1.5;

// ---- captured log lines and handler calls (written from the link's threads)
std::mutex g_capLock;
std::string g_logText;
std::vector<std::string> g_messages;

void capture_writer(FILE *, const char *, int, const char *, int, const char *format,
                    va_list args) {
    char line[2048];
    vsnprintf(line, sizeof line, format, args);
    std::lock_guard<std::mutex> guard(g_capLock);
    g_logText += line;
    g_logText += "\n";
}

int record_handler(const char *topic, int topicLen, const char *payload, int payloadLen) {
    std::lock_guard<std::mutex> guard(g_capLock);
    g_messages.push_back(std::string(topic, (size_t)topicLen) + "|" +
                         std::string(payload, (size_t)payloadLen));
    return 0;
}

std::string log_text() {
    std::lock_guard<std::mutex> guard(g_capLock);
    return g_logText;
}

std::vector<std::string> messages() {
    std::lock_guard<std::mutex> guard(g_capLock);
    return g_messages;
}

size_t count_in_log(const std::string &what) {
    const std::string text = log_text();
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void reset_capture() {
    std::lock_guard<std::mutex> guard(g_capLock);
    g_logText.clear();
    g_messages.clear();
}

int thread_count() {
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d) return -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// A gateway made of raw sockets.
struct FakeGateway {
    int udp = -1, listener = -1, conn = -1;
    sockaddr_in searcher{};

    explicit FakeGateway(int rcvBuf = 0) {
        udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(GW7F_SEARCH_PORT);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(udp, (sockaddr *)&a, sizeof a), 0) << strerror(errno);
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (rcvBuf > 0) setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
        a.sin_port = htons(GW7F_TCP_PORT);
        EXPECT_EQ(bind(listener, (sockaddr *)&a, sizeof a), 0) << strerror(errno);
        EXPECT_EQ(listen(listener, 4), 0);
    }
    ~FakeGateway() {
        if (conn >= 0) close(conn);
        close(listener);
        close(udp);
    }

    static bool readable(int fd, int ms) {
        pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }

    // The next search datagram, or "" after ms.
    std::string awaitSearch(int ms) {
        if (!readable(udp, ms)) return "";
        char buf[2048];
        socklen_t len = sizeof searcher;
        ssize_t n = recvfrom(udp, buf, sizeof buf, 0, (sockaddr *)&searcher, &len);
        return n > 0 ? std::string(buf, (size_t)n) : "";
    }
    void answerSearch(const std::string &text) {
        sendto(udp, text.data(), text.size(), 0, (sockaddr *)&searcher, sizeof searcher);
    }
    bool accept(int ms) {
        if (!readable(listener, ms)) return false;
        if (conn >= 0) close(conn);
        conn = ::accept(listener, nullptr, nullptr);
        return conn >= 0;
    }
    void send(const std::string &bytes) {
        ASSERT_EQ(::send(conn, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
    }
    // Exactly n bytes, or fewer when nothing more arrives within ms.
    std::string read(size_t n, int ms) {
        std::string out;
        auto t0 = Clock::now();
        while (out.size() < n && since(t0) * 1000 < ms) {
            if (!readable(conn, 50)) continue;
            char buf[4096];
            ssize_t r = recv(conn, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) break;
            out.append(buf, (size_t)r);
        }
        return out;
    }
    // One whole frame: topic and payload; false on time-out.
    bool readFrame(std::string &topic, std::string &payload, int ms) {
        std::string head = read(5, ms);
        if (head.size() != 5 || head[0] != '\x7F') return false;
        uint32_t t = 0, p = 0;
        memcpy(&t, head.data() + 1, 4);
        topic = read(t, ms);
        std::string plen = read(4, ms);
        if (plen.size() != 4) return false;
        memcpy(&p, plen.data(), 4);
        payload = read(p, ms);
        return topic.size() == t && payload.size() == p;
    }
    // True when the peer closed the connection within ms.
    bool closedByPeer(int ms) {
        auto t0 = Clock::now();
        while (since(t0) * 1000 < ms) {
            if (!readable(conn, 50)) continue;
            char c;
            ssize_t r = recv(conn, &c, 1, 0);
            if (r <= 0) return true;
        }
        return false;
    }
};

bool wait_for(const std::function<bool()> &cond, int ms) {
    auto t0 = Clock::now();
    while (since(t0) * 1000 < ms) {
        if (cond()) return true;
        usleep(20000);
    }
    return cond();
}

class Gw7fLinkTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // Log lines are captured through the one sink slot (the file in this
        // namespace's private /tmp keeps it from rolling).
        log_add_sink(capture_writer, fopen(LOG_FILE_PATH, "a"), LOG_LEVEL_DEBUG);
        signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must kill the test
        // Sanitizer runtimes start a helper thread with the first thread;
        // have it exist before threads are counted.
        std::thread([] {}).join();
    }
    void SetUp() override {
        reset_capture();
        threadsBefore = thread_count();
    }
    void TearDown() override {
        Gw7fLink::destroyInstance();
        // Joined threads can linger in /proc/self/task for a moment under
        // qemu-user (ARM test runs); a surviving thread stays for good.
        // At most as many as before: an emulator may end threads of its own meanwhile.
        wait_for([&] { return thread_count() <= threadsBefore; }, 1000);
        EXPECT_LE(thread_count(), threadsBefore) << "a thread of the link survived";
    }

    // Starts the link and brings it to a connection with the fake gateway.
    Gw7fLink *connect(FakeGateway &gw) {
        Gw7fLink *link = Gw7fLink::instance();
        EXPECT_EQ(link->start(record_handler), 0);
        EXPECT_EQ(gw.awaitSearch(3000), GW7F_SEARCH_TEXT);
        gw.answerSearch("{\"deviceKey\":\"gw7f0001\"}");
        EXPECT_TRUE(gw.accept(5000));
        EXPECT_TRUE(wait_for([&] { return link->isConnected(); }, 2000));
        return link;
    }

    int threadsBefore = 0;
};

TEST(Gw7fSendRing, TenSlotsInOrderTheEleventhRefusedAndSizeLimit) {
    static Gw7fSendRing ring;
    ASSERT_EQ(gw7f_ring_init(&ring), 0);
    uint8_t out[GW7F_FRAME_MAX];
    EXPECT_EQ(gw7f_ring_peek(&ring, out), 0);
    for (int round = 0; round < 2; ++round) {  // the second round wraps the indices
        for (int i = 0; i < GW7F_RING_SLOTS; ++i) {
            std::string p = "p" + std::to_string(i);
            ASSERT_EQ(gw7f_ring_queue(&ring, "t", 1, p.data(), (int)p.size()), 0) << i;
        }
        EXPECT_EQ(gw7f_ring_count(&ring), GW7F_RING_SLOTS);
        EXPECT_EQ(gw7f_ring_queue(&ring, "t", 1, "x", 1), -1);
        for (int i = 0; i < GW7F_RING_SLOTS; ++i) {
            int n = gw7f_ring_peek(&ring, out);
            std::string expect = wire7f("t", "p" + std::to_string(i));
            ASSERT_EQ(std::string((char *)out, (size_t)n), expect);
            EXPECT_EQ(gw7f_ring_remove(&ring), i < GW7F_RING_SLOTS - 1);
        }
        EXPECT_EQ(gw7f_ring_count(&ring), 0);
    }
    // A frame of exactly 1024 bytes fits; one more byte does not.
    std::string big(GW7F_FRAME_MAX - 9 - 5, 'a');
    EXPECT_EQ(gw7f_ring_queue(&ring, "topic", 5, big.data(), (int)big.size()), 0);
    EXPECT_EQ(gw7f_ring_peek(&ring, out), GW7F_FRAME_MAX);
    EXPECT_EQ(gw7f_ring_queue(&ring, "topic", 5, big.data(), (int)big.size() + 1), -1);
    gw7f_ring_destroy(&ring);
}

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Frames taken out of a byte stream however it is cut.
struct RxFeed {
    Gw7fRx rx;
    std::vector<std::string> frames;
    RxFeed() { gw7f_rx_reset(&rx); }
    void feed(const std::string &bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            int room = 0;
            uint8_t *at = gw7f_rx_space(&rx, &room);
            int n = (int)std::min(bytes.size() - off, (size_t)room);
            memcpy(at, bytes.data() + off, (size_t)n);
            gw7f_rx_added(&rx, n);
            off += (size_t)n;
            const uint8_t *f;
            int total, t, p;
            while (gw7f_rx_next(&rx, &f, &total, &t, &p) == 1) {
                EXPECT_EQ(total, 9 + t + p);
                frames.emplace_back((const char *)f + 5, (size_t)t);
                frames.back() += "|" + std::string((const char *)f + 9 + t, (size_t)p);
            }
        }
    }
};

std::string count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return std::to_string(n);
}

TEST(Gw7fRx, GarbageThenAValidFrameIsResynchronisedWithOneWarningPerRun) {
    const std::string good = wire7f("local/gw7f0001/dev00001", "{\"a\":1}");
    const std::string keepAlive("\x7F\0\0\0\0\0\0\0\0", 9);
    // 2 KB of garbage with stray 0x7F bytes (one followed by a huge topic
    // length), then a keep-alive and a frame in the same burst.
    std::string garbage;
    for (int i = 0; i < 2048; ++i) garbage += (char)(i % 97 == 5 ? 0x7F : 0x20 + (i * 31 + 7) % 0x5E);
    RxFeed f;
    CaptureStderr();
    f.feed(garbage + keepAlive + good);
    std::string log = GetCapturedStderr();
    ASSERT_EQ(f.frames.size(), 2u) << log;
    EXPECT_EQ(f.frames[0], "|");
    EXPECT_EQ(f.frames[1], "local/gw7f0001/dev00001|{\"a\":1}");
    EXPECT_EQ(count_of(log, "not 7F msg, abandon"), "1");
    EXPECT_EQ(count_of(log, "wrong topic length  for 7F msg, abandon"), "1");

    // A frame cut into single bytes, two frames in one piece, and a frame
    // too large for the buffer skipped by its lengths.
    const std::string tooMuch = wire7f("local/gw7f0001/dev00001", std::string(3000, 'x'));
    CaptureStderr();
    for (char c : good) f.feed(std::string(1, c));
    f.feed(good + good);
    f.feed(tooMuch.substr(0, 1500));
    f.feed(tooMuch.substr(1500) + good);
    log = GetCapturedStderr();
    EXPECT_EQ(f.frames.size(), 6u);
    for (size_t i = 2; i < f.frames.size(); ++i) EXPECT_EQ(f.frames[i], f.frames[1]);
    EXPECT_EQ(count_of(log, "gw7f rcv too many data"), "1");
    EXPECT_FALSE(gw7f_rx_partial(&f.rx));
}

TEST(Gw7fSendAll, ClosedPeerGivesAnErrorNotASignal) {
    signal(SIGPIPE, SIG_DFL);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    close(sv[1]);
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<int> going{1};
    uint8_t data[16] = {0x7F};
    EXPECT_EQ(gw7f_send_all(sv[0], &lock, data, sizeof data, &going), -1);
    EXPECT_EQ(errno, EPIPE);
    close(sv[0]);
}

TEST_F(Gw7fLinkTest, NotConnectedRefusesCommandsAndStopIsQuickWithoutGateway) {
    Gw7fLink *link = Gw7fLink::instance();
    EXPECT_EQ(link->sendCommand("dev00001", "{}", 2), -1);
    EXPECT_NE(log_text().find("gw7f not conncected yet!"), std::string::npos);
    ASSERT_EQ(link->start(record_handler), 0);
    // Searching, nobody answers.
    ASSERT_TRUE(wait_for([] { return count_in_log("send {\"cmd\":\"getAllGateway\"} to local") > 0; },
                         3000))
        << log_text();
    auto t0 = Clock::now();
    link->stop();
    EXPECT_LT(since(t0), kStopLimitS);
}

TEST_F(Gw7fLinkTest, SearchConnectKeepAliveMalformedFramesAndCommands) {
    FakeGateway gw;
    Gw7fLink *link = Gw7fLink::instance();
    ASSERT_EQ(link->start(record_handler), 0);

    // An answer without a key is passed over; the same search waits for
    // another (a search that took it would have ended: the next answer would
    // then go unread and the key stay empty).
    ASSERT_EQ(gw.awaitSearch(3000), GW7F_SEARCH_TEXT);
    gw.answerSearch("{\"deviceKey\":\"\"}");
    ASSERT_TRUE(wait_for([] { return count_in_log("{\"deviceKey\":\"\"}") > 0; }, 3000))
        << log_text();
    EXPECT_EQ(link->gatewayKey(), "");
    EXPECT_EQ(count_in_log("gw7f get gw dkey"), 0u);
    // The answer names another address: the link still connects to the
    // loopback gateway, where the gateway's main program always is (only
    // 127.0.0.1 listens here, every 127/8 address would reach lo).
    auto answered = Clock::now();
    gw.answerSearch("{\"deviceKey\":\"gw7f0001\",\"function\":{\"ip\":\"127.0.0.2\"}}");
    ASSERT_TRUE(wait_for([&] { return link->gatewayKey() == "gw7f0001"; }, 3000)) << log_text();
    EXPECT_EQ(count_in_log("gw7f get gw dkey"), 1u);
    EXPECT_EQ(link->gatewayAddress(), "127.0.0.1");
    EXPECT_EQ(gw.awaitSearch(0), "") << "a second search went out";

    ASSERT_TRUE(gw.accept(5000));
    double connectAfter = since(answered);
    EXPECT_GT(connectAfter, 1.5);
    EXPECT_LT(connectAfter, 3.5);
    sockaddr_in local{};
    socklen_t localLen = sizeof local;
    ASSERT_EQ(getsockname(gw.conn, (sockaddr *)&local, &localLen), 0);
    char localIp[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &local.sin_addr, localIp, sizeof localIp);
    EXPECT_STREQ(localIp, "127.0.0.1");
    EXPECT_EQ(link->gatewayAddress(), "127.0.0.1");
    ASSERT_TRUE(wait_for([&] { return link->isConnected(); }, 2000));

    // Keep-alive: answered with the same nine bytes, no handler call.
    const std::string keepAlive("\x7F\0\0\0\0\0\0\0\0", 9);
    gw.send(keepAlive);
    EXPECT_EQ(gw.read(9, 2000), keepAlive);

    // Garbage heads, a topic of 65 bytes and a too-long payload are dropped
    // without losing the link; the next good frame gets through. Each piece
    // is sent once the link has dealt with the one before.
    auto logged = [](const char *what) {
        return wait_for([what] { return count_in_log(what) > 0; }, 3000);
    };
    gw.send(std::string("\x01\x02\x03\x04\x05", 5));
    EXPECT_TRUE(logged("not 7F msg, abandon")) << log_text();
    std::string longTopic = wire7f(std::string(65, 't'), "{}");
    gw.send(longTopic.substr(0, 5));
    EXPECT_TRUE(logged("wrong topic length  for 7F msg, abandon")) << log_text();
    std::string tooMuch = wire7f("local/gw7f0001/dev00001", std::string(1024 - 9 - 23, 'x'));
    gw.send(tooMuch.substr(0, 9 + 23));
    EXPECT_TRUE(logged("gw7f rcv too many data")) << log_text();
    // The rest of that frame never comes: the skip is given up after 200 ms.
    const char *abandoned = "abandon rcved frames";
    ASSERT_TRUE(wait_for([&] { return count_in_log(abandoned) == 1; }, 3000)) << log_text();
    // A frame that stops half way is abandoned after 200 ms too.
    gw.send(wire7f("local/gw7f0001/dev00001", "{\"a\":1}").substr(0, 12));
    ASSERT_TRUE(wait_for([&] { return count_in_log(abandoned) == 2; }, 3000)) << log_text();
    std::string good = wire7f("local/gw7f0001/dev00001", "{\"deviceKey\":\"dev00001\"}");
    gw.send(good);
    ASSERT_TRUE(wait_for([] { return messages().size() == 1; }, 3000)) << log_text();
    EXPECT_EQ(messages()[0], "local/gw7f0001/dev00001|{\"deviceKey\":\"dev00001\"}");
    EXPECT_TRUE(link->isConnected());

    // A whole oversized frame is read past: the frame right behind it (same
    // segment) still arrives, instead of the stream falling out of step.
    gw.send(tooMuch + good);
    ASSERT_TRUE(wait_for([] { return messages().size() == 2; }, 2000)) << log_text();
    EXPECT_EQ(messages()[1], messages()[0]);

    // Commands go out on the gateway's topic.
    const char *cmd = "{\"cmd\":\"read\",\"deviceKey\":\"dev00001\",\"sno\":\"7-3-1-9\"}\n";
    ASSERT_EQ(link->sendCommand("dev00001", cmd, (int)strlen(cmd)), 0);
    std::string topic, payload;
    ASSERT_TRUE(gw.readFrame(topic, payload, 2000));
    EXPECT_EQ(topic, "local/gw7f0001/dev00001/command");
    EXPECT_EQ(payload, cmd);

    // Keys of any length never overrun the topic: too long is refused.
    std::string hugeKey(2000, 'k');
    EXPECT_EQ(link->sendCommand(hugeKey.c_str(), "{}", 2), -1);
    std::string longKey(40, 'k');
    ASSERT_EQ(link->sendCommand(longKey.c_str(), "{}", 2), 0);
    ASSERT_TRUE(gw.readFrame(topic, payload, 2000));
    EXPECT_EQ(topic, "local/gw7f0001/" + longKey + "/command");
    // The frame limit: 1024 bytes in all is taken, 1025 refused.
    std::string fits(1024 - 9 - (int)strlen("local/gw7f0001/dev00001/command"), 'p');
    EXPECT_EQ(link->sendCommand("dev00001", fits.data(), (int)fits.size()), 0);
    EXPECT_EQ(link->sendCommand("dev00001", fits.data(), (int)fits.size() + 1), -1);
    ASSERT_TRUE(gw.readFrame(topic, payload, 2000));
    EXPECT_EQ(payload, fits);

    auto t0 = Clock::now();
    link->stop();
    EXPECT_LT(since(t0), kStopLimitS);
    EXPECT_FALSE(link->isConnected());
    EXPECT_TRUE(gw.closedByPeer(1000));
}

TEST_F(Gw7fLinkTest, QuitDropsTheConnectionAndItComesBackWithoutANewSearch) {
    FakeGateway gw;
    Gw7fLink *link = connect(gw);
    gw.send(wire7f("quit", ""));
    auto quitAt = Clock::now();
    EXPECT_TRUE(wait_for([&] { return !link->isConnected(); }, 1500));
    EXPECT_EQ(link->sendCommand("dev00001", "{}", 2), -1);
    EXPECT_TRUE(gw.closedByPeer(3000));

    ASSERT_TRUE(gw.accept(14000));
    double again = since(quitAt);
    EXPECT_GT(again, 8.0);
    EXPECT_LT(again, 13.5);
    EXPECT_EQ(gw.awaitSearch(0), "") << "the search must not run again";
    ASSERT_TRUE(wait_for([&] { return link->isConnected(); }, 2000));
    ASSERT_EQ(link->sendCommand("dev00001", "{}", 2), 0);
    std::string topic, payload;
    EXPECT_TRUE(gw.readFrame(topic, payload, 2000));
    EXPECT_EQ(topic, "local/gw7f0001/dev00001/command");
}

TEST_F(Gw7fLinkTest, FullRingRefusesUntilThePeerReadsThenAllArriveInOrder) {
    FakeGateway gw(4096);  // tiny window so the send thread blocks soon
    Gw7fLink *link = connect(gw);
    std::string pad(900, 'z');
    int accepted = 0;
    bool refused = false;
    for (int i = 0; i < 2000 && !refused; ++i) {
        std::string p = "{\"seq\":" + std::to_string(i) + ",\"pad\":\"" + pad + "\"}";
        if (link->sendCommand("dev00001", p.data(), (int)p.size()) == 0)
            ++accepted;
        else
            refused = true;
        usleep(1000);
    }
    ASSERT_TRUE(refused) << "the ring never filled";
    EXPECT_TRUE(link->isConnected());
    // The ring now holds ten frames; every accepted frame arrives, in order.
    for (int i = 0; i < accepted; ++i) {
        std::string topic, payload;
        ASSERT_TRUE(gw.readFrame(topic, payload, 3000)) << "frame " << i << " of " << accepted;
        ASSERT_EQ(payload.find("{\"seq\":" + std::to_string(i) + ","), 0u) << payload.substr(0, 20);
    }
    EXPECT_EQ(link->sendCommand("dev00001", "{}", 2), 0);
}

TEST_F(Gw7fLinkTest, PeerClosingWithFramesQueuedEndsTheConnectionNotTheProcess) {
    FakeGateway gw(4096);
    Gw7fLink *link = connect(gw);
    std::string pad(900, 'z');
    for (int i = 0; i < 2000; ++i) {
        std::string p = "{\"seq\":" + std::to_string(i) + ",\"pad\":\"" + pad + "\"}";
        if (link->sendCommand("dev00001", p.data(), (int)p.size()) != 0) break;
    }
    close(gw.conn);  // unread data: the link's side gets a reset
    gw.conn = -1;
    EXPECT_TRUE(wait_for([&] { return !link->isConnected(); }, 3000));
    std::string log = log_text();
    EXPECT_TRUE(log.find("gw7f send call failure!msg:") != std::string::npos ||
                log.find("gw7f rcv error:") != std::string::npos)
        << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
}

}  // namespace

namespace {

// The link and the simulator speak the same frames: search, connect, a
// command and its answer.
TEST_F(Gw7fLinkTest, WorksWithTheGatewaySimulator) {
    const char *binDir = getenv("BIN_DIR");
    std::string gwsim = std::string(binDir ? binDir : "") + "/gwsim";
    if (!binDir || access(gwsim.c_str(), X_OK) != 0) GTEST_SKIP() << "gwsim not built";
    // Its console (with keep-alives shown) goes to a file in the private /tmp.
    char outPath[] = "/tmp/gwsim-out-XXXXXX";
    const int out = mkstemp(outPath);
    ASSERT_GE(out, 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out, 1);
        execl(gwsim.c_str(), "gwsim", "-r", "0", "--keepalive", "1", "-v", (char *)nullptr);
        _exit(127);
    }
    close(out);
    // A line of gwsim's console holding both texts.
    auto simSaid = [&outPath](const std::string &a, const std::string &b) {
        FILE *f = fopen(outPath, "r");
        if (!f) return false;
        char line[4096];
        bool found = false;
        while (!found && fgets(line, sizeof line, f))
            found = strstr(line, a.c_str()) && strstr(line, b.c_str());
        fclose(f);
        return found;
    };
    // Ready once its TCP port takes connections (the UDP port is bound first).
    EXPECT_TRUE(wait_for([] {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(GW7F_TCP_PORT);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = ::connect(s, (sockaddr *)&a, sizeof a) == 0;
        close(s);
        return ok;
    }, 3000));
    Gw7fLink *link = Gw7fLink::instance();
    ASSERT_EQ(link->start(record_handler), 0);
    EXPECT_TRUE(wait_for([&] { return link->isConnected(); }, 5000)) << log_text();
    EXPECT_EQ(link->gatewayKey(), "gw7f0001");
    const char *cmd =
        "{\"cmd\":\"read\",\"deviceKey\":\"thm10001\",\"function\":{\"setTemp\":0},\"sno\":\"9-3-3-1\"}\n";
    EXPECT_EQ(link->sendCommand("thm10001", cmd, (int)strlen(cmd)), 0);
    EXPECT_TRUE(wait_for([] { return !messages().empty(); }, 3000));
    if (!messages().empty()) {
        std::string m = messages()[0];
        EXPECT_EQ(m.rfind("local/gw7f0001/thm10001|", 0), 0u) << m;
        EXPECT_NE(m.find("\"sno\":\"9-3-3-1\""), std::string::npos) << m;
        EXPECT_NE(m.find("\"errorCode\":0"), std::string::npos) << m;
    }
    // gwsim's keep-alives are answered (gwsim has read the answer) and do
    // not reach the handler.
    EXPECT_TRUE(wait_for([&] { return simSaid("TCP <- #", " keep-alive"); }, 5000));
    EXPECT_EQ(messages().size(), 1u);
    EXPECT_TRUE(link->isConnected());
    link->stop();
    kill(pid, SIGTERM);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 250 && ended == 0; ++i) {
        ended = waitpid(pid, &status, WNOHANG);
        if (ended == 0) usleep(20000);
    }
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_EQ(ended, pid) << "gwsim did not end on SIGTERM within 5 s";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    unlink(outPath);
}

}  // namespace
