// Modbus TCP server figures: heap allocations per cached read after start-up,
// and the cost of one poll cycle with two busy clients. Runs the real poll on
// an ephemeral loopback port; the console log goes to /dev/null so the
// figures measure the engine, not the terminal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <new>

#include "allocCounter.h"
#include "byteQueue.h"
#include "mbTcpSvr.h"
#include "modbus.h"
#include "registerMap.h"


namespace {

RegisterMap *g_map;

int on_request(ModbusContext *ctx, const MbRequest *req) {
    mb_lock(ctx);
    mb_set_socket(ctx, req->socket);
    int rc = mb_reply(ctx, nullptr, req, g_map, 0);
    mb_unlock(ctx);
    return rc;
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        perror("connect");
        exit(1);
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

const uint8_t kRead[12] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 125};  // 125 registers

double now_us() {
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main() {
    // Figures go to the original standard output; the engine's traces to null.
    FILE *report = fdopen(dup(1), "w");
    if (!report || !freopen("/dev/null", "w", stderr) || !freopen("/dev/null", "w", stdout))
        return 1;
    pool_reset();
    g_map = register_map_new(0, 16, 0, 16, 0, 200, 0, 16);
    ModbusContext *ctx = mb_tcp_server_new(0, on_request);
    if (!ctx) return 1;
    mb_set_debug(ctx, 1);  // as in the service
    int port = mb_tcp_server_bound_port();
    int a = connect_to(port), b = connect_to(port);
    for (int i = 0; i < 5; ++i) {
        mb_tcp_server_poll();
        usleep(1000);
    }

    // Warm-up: first use of stdio buffers, time zone data and the like.
    uint8_t buf[512];
    for (int i = 0; i < 20; ++i) {
        send(a, kRead, sizeof kRead, 0);
        send(b, kRead, sizeof kRead, 0);
        for (int p = 0; p < 3; ++p) {
            usleep(200);
            mb_tcp_server_poll();
        }
        recv(a, buf, sizeof buf, MSG_DONTWAIT);
        recv(b, buf, sizeof buf, MSG_DONTWAIT);
    }

    const int rounds = 2000;
    long allocs0 = alloc_count();
    double busy = 0;
    long cycles = 0, replies = 0;
    for (int i = 0; i < rounds; ++i) {
        send(a, kRead, sizeof kRead, 0);
        send(b, kRead, sizeof kRead, 0);
        // receive, then dispatch + send: time only the poll itself.
        for (int p = 0; p < 2; ++p) {
            usleep(100);
            double t0 = now_us();
            mb_tcp_server_poll();
            busy += now_us() - t0;
            ++cycles;
        }
        for (int fd : {a, b}) {
            for (int k = 0; k < 50; ++k) {
                ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0) {
                    replies += n / 259;
                    break;
                }
                usleep(100);
            }
        }
    }
    long allocs = alloc_count() - allocs0;
    mb_tcp_server_free(ctx);
    register_map_free(g_map);

    fprintf(report,
            "cached reads (125 registers): %d per client, 2 clients, %ld replies\n"
            "heap allocations during start-up and warm-up: %ld\n"
            "heap allocations after start-up: %ld total, %.3f per read\n"
            "poll cycle with two busy clients: %.1f us average over %ld cycles\n",
            rounds, replies, allocs0, allocs, (double)allocs / (2.0 * rounds), busy / cycles, cycles);
    fclose(report);
    return replies == 2L * rounds ? 0 : 2;
}
