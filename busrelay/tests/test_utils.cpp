// needs: namespace
// Socket tests bind fixed local ports, so they run in a private network.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "logger.h"
#include "utils_misc.h"
#include "utils_net.h"

namespace {

int open_fd_count() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

TEST(SemWaitMs, TimeoutIsNotAFailureAndAPostEndsTheWaitEarly) {
    sem_t sem;
    sem_init(&sem, 0, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sem_wait_ms(&sem, 500), 0);
    double waited = elapsed_ms(start);
    EXPECT_GE(waited, 450);
    EXPECT_LT(waited, 3000);

    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sem_post(&sem);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(sem_wait_ms(&sem, 5000), 0);
    EXPECT_LT(elapsed_ms(start), 2500);
    poster.join();

    sem_post(&sem);
    EXPECT_EQ(sem_wait_ms(&sem, 0), 0);  // unbounded wait, already posted
    sem_destroy(&sem);
}

TEST(BitRoutines, EdgeValues) {
    EXPECT_EQ(count_set_bits(0), 0);
    EXPECT_EQ(count_set_bits(0xFFFFFFFFu), 32);
    EXPECT_EQ(highest_set_bit(0), -1);
    EXPECT_EQ(highest_set_bit(0x80000000u), 31);
    EXPECT_EQ(highest_set_bit(0x00010010u), 16);
    EXPECT_EQ(lowest_set_bit(0x00010010u), 4);
    EXPECT_EQ(lowest_set_bit(0x80000000u), 31);
}

TEST(TokenizerTest, RunsOfDelimitersOnlySeparate) {
    Tokenizer tok("/a//b/", "/");
    EXPECT_EQ(tok_count(tok), 2);
    EXPECT_TRUE(tok_has_more(tok));
    EXPECT_EQ(tok_next(tok), "a");
    EXPECT_EQ(tok_count(tok), 1);
    EXPECT_EQ(tok_next(tok), "b");
    EXPECT_FALSE(tok_has_more(tok));
    EXPECT_EQ(tok_next(tok), "");
    EXPECT_EQ(tok_count(tok), 0);
}

TEST(TokenizerTest, DelimitersCanChangeMidway) {
    Tokenizer tok("key/3/member.x", "/");
    EXPECT_EQ(tok_next(tok), "key");
    EXPECT_EQ(tok_next(tok), "3");
    EXPECT_EQ(tok_next_with(tok, "/."), "member");
    EXPECT_EQ(tok_next(tok), "x");
    Tokenizer empty("", "/");
    EXPECT_EQ(tok_count(empty), 0);
    EXPECT_FALSE(tok_has_more(empty));
}

TEST(SocketBlocking, FlagFollowsTheArgument) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(socket_set_blocking(fd, 0), 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(socket_set_blocking(fd, 1), 0);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);
    testing::internal::CaptureStderr();
    EXPECT_EQ(socket_set_blocking(900, 1), -1);  // a descriptor nobody opened
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Cant Not Get Socket Flags!"),
              std::string::npos);
}

TEST(UdpSocket, RandomPortIsLogged) {
    testing::internal::CaptureStderr();
    int fd = create_udp_socket(0, 1);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_GE(fd, 0);
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(fd, (sockaddr *)&addr, &len), 0);
    EXPECT_NE(ntohs(addr.sin_port), 0);
    EXPECT_NE(log.find("use random port " + std::to_string(ntohs(addr.sin_port))),
              std::string::npos);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);

    // A second socket on the same fixed port fails and is closed.
    int port = ntohs(addr.sin_port);
    int before = open_fd_count();
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_udp_socket(port, 0), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "create_udp_socket bind call failure!msg:Address already in use"),
              std::string::npos);
    EXPECT_EQ(open_fd_count(), before);
    close(fd);
}

TEST(TcpServerSocket, TakenPortGivesMinusThreeAndLeaksNothing) {
    int fd = tcp_server_socket(15020);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    int before = open_fd_count();
    EXPECT_EQ(tcp_server_socket(15020), -3);
    EXPECT_EQ(open_fd_count(), before);
    close(fd);
    int again = tcp_server_socket(15020);  // reuse allows an immediate rebind
    EXPECT_GE(again, 0);
    close(again);
}

TEST(TcpConnect, ConnectsOrClosesItsSocket) {
    int server = tcp_server_socket(15021);
    ASSERT_GE(server, 0);
    int fd = tcp_connect(0, "127.0.0.1", 15021);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);
    close(server);

    int before = open_fd_count();
    EXPECT_EQ(tcp_connect(0, "127.0.0.1", 15022), -1);  // nobody listens
    EXPECT_EQ(tcp_connect(0, "not an address", 15022), -1);
    EXPECT_EQ(open_fd_count(), before);
}

TEST(TcpConnect, SilentAddressGivesUpAfterTwentyMilliseconds) {
    // An address on a dummy link with no host behind it: the SYN goes nowhere.
    // A veth pair inside this test's own namespace: ARP for .77 goes unanswered.
    if (system("ip link add brtest0 type veth peer name brtest1 && ip addr add 10.231.0.1/24 dev "
               "brtest0 && ip link set brtest0 up && ip link set brtest1 up") != 0)
        GTEST_SKIP() << "cannot create a veth link here";
    auto start = std::chrono::steady_clock::now();
    int before = open_fd_count();
    EXPECT_EQ(tcp_connect(0, "10.231.0.77", 9981), -1);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_EQ(tcp_connect(0, "127.0.0.1", 9981), -1);
    EXPECT_EQ(system("ip link del brtest0"), 0);
}

}  // namespace
