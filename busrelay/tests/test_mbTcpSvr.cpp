// labels: threads
// needs: namespace
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "byteQueue.h"
#include "mbTcpSvr.h"
#include "modbus.h"
#include "registerMap.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

RegisterMap *g_map = nullptr;
int g_pollNo = 0;
std::vector<int> g_dispatchPolls;
int g_lastSocket = -1;

// Deferred requests handed to the "gateway" thread.
std::mutex g_mailLock;
std::vector<std::pair<int, Bytes>> g_mail;

int on_request(ModbusContext *ctx, const MbRequest *req) {
    g_dispatchPolls.push_back(g_pollNo);
    g_lastSocket = req->socket;
    mb_lock(ctx);
    mb_set_socket(ctx, req->socket);
    int rc = mb_reply(ctx, nullptr, req, g_map, 0);
    if (rc == MB_REPLY_DEFERRED) {
        std::lock_guard<std::mutex> guard(g_mailLock);
        g_mail.emplace_back(req->socket, Bytes(req->frame, req->frame + req->length));
    }
    mb_unlock(ctx);
    return rc;
}

void poll_once() {
    ++g_pollNo;
    mb_tcp_server_poll();
}

// Polls with short pauses so loopback traffic can arrive in between.
void poll_for(int cycles) {
    for (int i = 0; i < cycles; ++i) {
        poll_once();
        usleep(1000);
    }
}

// Polls (with the same pauses) until cond holds: at most 5000 passes and 5 s,
// so that a loaded machine delays the traffic without failing the test.
bool poll_until(const std::function<bool()> &cond) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int i = 0; i < 5000 && std::chrono::steady_clock::now() < deadline; ++i) {
        if (cond()) return true;
        poll_once();
        usleep(1000);
    }
    return cond();
}

// Until the server holds a client (it has accepted and admitted it).
bool poll_until_admitted() {
    return poll_until([] { return !mb_tcp_server_idle(); });
}

int connect_client() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(502);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, (struct sockaddr *)&a, sizeof a), 0) << strerror(errno);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

Bytes read_req(uint16_t tid, int address, int n) {
    return {(uint8_t)(tid >> 8), (uint8_t)tid, 0, 0, 0, 6, 1, 3,
            (uint8_t)(address >> 8), (uint8_t)address, (uint8_t)(n >> 8), (uint8_t)n};
}

// Whatever has arrived, without waiting.
Bytes take(int fd) {
    uint8_t buf[1024];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? Bytes(buf, buf + n) : Bytes();
}

int open_fds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

class TcpServer : public testing::Test {
protected:
    void SetUp() override {
        pool_reset();
        g_map = register_map_new(0, 8, 0, 8, 0, 20, 0, 4);
        for (int i = 0; i < 20; ++i) g_map->tab_registers[i] = (uint16_t)(0x300 + i);
        g_pollNo = 0;
        g_dispatchPolls.clear();
        g_mail.clear();
    }
    void TearDown() override {
        if (ctx) mb_tcp_server_free(ctx);
        mb_tcp_server_set_clock(nullptr);
        register_map_free(g_map);
        EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS) << "a queue kept blocks after free";
    }
    void start() {
        ctx = mb_tcp_server_new(502, on_request);
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(mb_tcp_server_bound_port(), 502);
    }
    ModbusContext *ctx = nullptr;
};

// Reads until `want` bytes arrived (polling the server meanwhile), bounded
// in passes and to 5 s.
Bytes take_n(int fd, size_t want, int passes = 5000) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int i = 0; i < passes && got.size() < want && std::chrono::steady_clock::now() < deadline;
         ++i) {
        poll_once();
        Bytes more = take(fd);
        got.insert(got.end(), more.begin(), more.end());
        if (got.size() < want) usleep(500);
    }
    return got;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

int64_t g_fakeNow = 1000000;
int64_t fake_now() { return g_fakeNow; }

TEST_F(TcpServer, PipelinedFramesAreAllAnsweredInOrderInTheSamePass) {
    start();
    int c = connect_client();
    ASSERT_TRUE(poll_until_admitted());
    // Thirty requests in one segment (360 bytes: more than one read of 260).
    Bytes burst, expected;
    for (int i = 0; i < 30; ++i) {
        Bytes r = read_req((uint16_t)(0x100 + i), i % 20, 1);
        burst.insert(burst.end(), r.begin(), r.end());
        Bytes reply = {r[0], r[1], 0, 0, 0, 5, 1, 3, 2, 3, (uint8_t)(i % 20)};
        expected.insert(expected.end(), reply.begin(), reply.end());
    }
    ASSERT_EQ(send(c, burst.data(), burst.size(), 0), (ssize_t)burst.size());
    // The first pass that sees the segment reads, dispatches and answers all.
    ASSERT_TRUE(poll_until([] { return !g_dispatchPolls.empty(); }));
    EXPECT_EQ(g_dispatchPolls.size(), 30u);
    EXPECT_EQ(g_dispatchPolls.front(), g_dispatchPolls.back());
    EXPECT_EQ(take_n(c, expected.size()), expected);
    close(c);
}

TEST_F(TcpServer, SplitFramesAreReassembledHoweverTheyAreCut) {
    start();
    int c = connect_client();
    poll_for(3);
    // 5 + 7 bytes, then a byte at a time, then the end of one frame and the
    // start of the next in one segment.
    Bytes a = read_req(1, 2, 1), b = read_req(2, 3, 1), d = read_req(3, 4, 2);
    send(c, a.data(), 5, 0);
    poll_for(3);
    EXPECT_TRUE(g_dispatchPolls.empty());
    send(c, a.data() + 5, 7, 0);
    EXPECT_EQ(take_n(c, 11), Bytes({0, 1, 0, 0, 0, 5, 1, 3, 2, 3, 2}));
    for (uint8_t byte : b) {
        send(c, &byte, 1, 0);
        poll_for(1);
    }
    EXPECT_EQ(take_n(c, 11), Bytes({0, 2, 0, 0, 0, 5, 1, 3, 2, 3, 3}));
    send(c, d.data(), 3, 0);
    poll_for(2);
    send(c, d.data() + 3, d.size() - 3, 0);
    EXPECT_EQ(take_n(c, 13), Bytes({0, 3, 0, 0, 0, 7, 1, 3, 4, 3, 4, 3, 5}));
    EXPECT_EQ(g_dispatchPolls.size(), 3u);
    close(c);
}

TEST_F(TcpServer, OversizedAnnouncedFrameIsSkippedAndTheNextOneServed) {
    start();
    int c = connect_client();
    poll_for(3);
    // A write announcing 300 bytes (refused), its 300 bytes, then a read.
    Bytes big(306, 0xEE);
    big[0] = 0;
    big[1] = 0x77;
    big[2] = big[3] = 0;
    big[4] = 300 >> 8;
    big[5] = 300 & 0xFF;
    big[6] = 1;
    big[7] = 16;
    Bytes next = read_req(0x78, 2, 1);
    Bytes all = cat({big, next});
    CaptureStderr();
    ASSERT_EQ(send(c, all.data(), all.size(), 0), (ssize_t)all.size());
    Bytes got = take_n(c, 11);
    std::string log = GetCapturedStderr();
    EXPECT_EQ(got, Bytes({0, 0x78, 0, 0, 0, 5, 1, 3, 2, 3, 2}));
    EXPECT_NE(log.find("ERROR Invalid data: too many data"), std::string::npos);
    EXPECT_EQ(g_dispatchPolls.size(), 1u);  // the skipped bytes never became a request
    close(c);
}

TEST_F(TcpServer, FlushedExceptionPausesOnlyItsOwnClient) {
    mb_tcp_server_set_clock(fake_now);
    start();
    int bad = connect_client();
    int good = connect_client();
    poll_for(3);
    Bytes q0 = read_req(0x51, 0, 0);  // quantity 0: a flushed exception
    send(bad, q0.data(), q0.size(), 0);
    ASSERT_TRUE(poll_until([] { return !g_dispatchPolls.empty(); }));
    poll_for(2);
    EXPECT_EQ(g_dispatchPolls.size(), 1u);
    // Sent during the pause: discarded, never dispatched.
    Bytes late = read_req(0x52, 1, 1);
    send(bad, late.data(), late.size(), 0);
    // The other client is served while the first one waits.
    Bytes r = read_req(0x61, 1, 1);
    send(good, r.data(), r.size(), 0);
    EXPECT_EQ(take_n(good, 11), Bytes({0, 0x61, 0, 0, 0, 5, 1, 3, 2, 3, 1}));
    EXPECT_TRUE(take(bad).empty());
    g_fakeNow += 499;
    poll_for(3);
    EXPECT_TRUE(take(bad).empty());
    g_fakeNow += 1;
    EXPECT_EQ(take_n(bad, 9), Bytes({0, 0x51, 0, 0, 0, 3, 1, 0x83, 3}));
    EXPECT_EQ(g_dispatchPolls.size(), 2u);  // the request sent meanwhile was dropped
    // After the pause the client is served as usual.
    send(bad, r.data(), r.size(), 0);
    EXPECT_EQ(take_n(bad, 11), Bytes({0, 0x61, 0, 0, 0, 5, 1, 3, 2, 3, 1}));
    close(bad);
    close(good);
}

TEST_F(TcpServer, SilentClientIsClosedAfterThirtyMinutes) {
    mb_tcp_server_set_clock(fake_now);
    start();
    int c = connect_client();
    ASSERT_TRUE(poll_until_admitted());  // admitted at the fake clock's "now"
    CaptureStderr();
    g_fakeNow += MB_TCP_IDLE_LIMIT_MS;  // exactly the limit: still served
    poll_for(2);
    char b;
    EXPECT_EQ(recv(c, &b, 1, MSG_DONTWAIT), -1);
    EXPECT_FALSE(mb_tcp_server_idle());
    g_fakeNow += 1;
    poll_once();
    EXPECT_TRUE(mb_tcp_server_idle());  // closed by this very pass
    std::string log = GetCapturedStderr();
    // The end of stream reaches the client side when loopback delivers it.
    ssize_t got = -1;
    for (int i = 0; i < 500 && got < 0; ++i) {
        got = recv(c, &b, 1, MSG_DONTWAIT);
        if (got < 0) usleep(10000);
    }
    EXPECT_EQ(got, 0);
    EXPECT_NE(log.find("[mbTcpTransport]close 127.0.0.1:"), std::string::npos);
    EXPECT_NE(log.find("connnect by idle timeout!"), std::string::npos);
    close(c);
}

// A reply queued by another thread ends the main thread's wait at once
// instead of at its timeout.
TEST_F(TcpServer, ReplyQueuedByAnotherThreadWakesTheWait) {
    start();
    int c = connect_client();
    poll_for(3);
    Bytes d = read_req(0x44, 1003, 1);  // deferred
    send(c, d.data(), d.size(), 0);
    ASSERT_TRUE(poll_until([] { return !g_mail.empty(); }));
    ASSERT_EQ(g_mail.size(), 1u);
    poll_for(2);  // nothing else pending
    std::thread gateway([&] {
        usleep(50000);
        Bytes req = g_mail.front().second;
        req[8] = 0;
        req[9] = 3;
        mb_lock(ctx);
        mb_set_socket(ctx, g_mail.front().first);
        mb_reply(ctx, nullptr, req.data(), -1, g_map, 1);
        mb_unlock(ctx);
    });
    const int woke = mb_tcp_server_wait(30000);  // a failed wake-up waits it all out
    gateway.join();
    EXPECT_EQ(woke, 1);
    EXPECT_EQ(take_n(c, 11), Bytes({0, 0x44, 0, 0, 0, 5, 1, 3, 2, 3, 3}));
    close(c);
}

TEST_F(TcpServer, TakenPortIsRetriedEveryCycleWithoutLeakingSockets) {
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;  // earlier tests leave connections to 502 in TIME_WAIT
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(502);
    ASSERT_EQ(bind(blocker, (struct sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    CaptureStderr();
    ctx = mb_tcp_server_new(502, on_request);
    ASSERT_NE(ctx, nullptr);
    const int fds = open_fds();  // the server's own wake-up descriptor included
    for (int i = 0; i < 5; ++i) poll_once();
    EXPECT_EQ(open_fds(), fds);
    std::string log = GetCapturedStderr();
    size_t count = 0;
    for (size_t p = log.find("int on port502,error!!!"); p != std::string::npos;
         p = log.find("int on port502,error!!!", p + 1))
        ++count;
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(mb_tcp_server_bound_port(), -1);
    close(blocker);
    poll_once();
    EXPECT_EQ(mb_tcp_server_bound_port(), 502);
    int c = connect_client();
    poll_for(2);
    Bytes r = read_req(9, 1, 1);
    send(c, r.data(), r.size(), 0);
    EXPECT_EQ(take_n(c, 11), Bytes({0, 9, 0, 0, 0, 5, 1, 3, 2, 3, 1}));
    close(c);
}

TEST_F(TcpServer, ReplyForAClientThatLeftIsDropped) {
    start();
    int c = connect_client();
    poll_for(2);
    Bytes r = read_req(3, 2, 1);
    send(c, r.data(), r.size(), 0);
    ASSERT_EQ(take_n(c, 11).size(), 11u);
    const int gone = g_lastSocket;
    close(c);
    // The server sees the end of stream and closes its side.
    ASSERT_TRUE(poll_until([] { return mb_tcp_server_idle(); }));
    mb_lock(ctx);
    mb_set_socket(ctx, gone);
    EXPECT_EQ(mb_reply(ctx, nullptr, r.data(), (int)r.size(), g_map, 0), 0);
    mb_set_socket(ctx, -1);
    EXPECT_EQ(mb_reply(ctx, nullptr, r.data(), (int)r.size(), g_map, 0), -1);
    mb_set_socket(ctx, 40);  // never a served socket number
    EXPECT_EQ(mb_tcp_server_send(ctx, r.data(), (int)r.size()), 0);
    mb_unlock(ctx);
}

// Deferred requests completed by a second thread under the context lock
// while the main thread keeps polling and a second client reads the cache.
TEST_F(TcpServer, DeferredRepliesFromAnotherThreadReachTheRightClient) {
    start();
    std::atomic<bool> run{true};
    std::thread gateway([&] {
        for (int spins = 0; run.load() && spins < 200000; ++spins) {
            std::pair<int, Bytes> job;
            {
                std::lock_guard<std::mutex> guard(g_mailLock);
                if (!g_mail.empty()) {
                    job = g_mail.front();
                    g_mail.erase(g_mail.begin());
                }
            }
            if (job.second.empty()) {
                usleep(200);
                continue;
            }
            Bytes &req = job.second;
            int address = (req[8] << 8 | req[9]) - 1000;
            req[8] = (uint8_t)(address >> 8);
            req[9] = (uint8_t)address;
            mb_lock(ctx);
            set_hold_reg(g_map, (uint16_t)address, (uint16_t)(0xD000 + address));
            mb_set_socket(ctx, job.first);
            mb_reply(ctx, nullptr, req.data(), -1, g_map, 1);
            mb_unlock(ctx);
        }
    });
    int live = connect_client();
    int cached = connect_client();
    poll_for(3);
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        Bytes d = read_req((uint16_t)(100 + i), 1000 + (i % 19) + 1, 1);
        Bytes k = read_req((uint16_t)(200 + i), 0, 1);
        send(live, d.data(), d.size(), 0);
        send(cached, k.data(), k.size(), 0);
        Bytes gotLive, gotCached;
        poll_until([&] {
            if (gotLive.empty()) gotLive = take(live);
            if (gotCached.empty()) gotCached = take(cached);
            return !gotLive.empty() && !gotCached.empty();
        });
        int a = (i % 19) + 1;
        EXPECT_EQ(gotLive, Bytes({0, (uint8_t)(100 + i), 0, 0, 0, 5, 1, 3, 2, 0xD0, (uint8_t)a}));
        ASSERT_EQ(gotCached.size(), 11u);
        EXPECT_EQ(gotCached[1], (uint8_t)(200 + i));
        answered += !gotLive.empty();
    }
    run = false;
    gateway.join();
    EXPECT_EQ(answered, 20);
    close(live);
    close(cached);
    poll_for(2);
}

}  // namespace
