#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include <cstdlib>
#include <string>

#include "byteQueue.h"
#include "mbRtuMaster.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// A pseudo-terminal pair: the link opens the slave side by its path, the
// test plays the device on the master side.
struct Pty {
    int master = -1;
    std::string slavePath;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slavePath = ptsname(master);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
    // What the link wrote, once `want` bytes are there (at most 5 s).
    std::string drain(size_t want) {
        char buf[256];
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int i = 0; i < 2500 && got.size() < want; ++i) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) got.append(buf, (size_t)n);
            else if (std::chrono::steady_clock::now() >= deadline) break;
            else usleep(2000);
        }
        return got;
    }
};

// Until `n` bytes wait to be read on fd (the pty passes them on in its own
// time), at most 5 s.
bool readable_bytes(int fd, int n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int i = 0; i < 2500; ++i) {
        int have = 0;
        if (ioctl(fd, FIONREAD, &have) == 0 && have >= n) return true;
        if (std::chrono::steady_clock::now() >= deadline) break;
        usleep(2000);
    }
    return false;
}

const SerialSettings k8N1 = {9600, 8, 'n', 1};

// Must run first: the link is process-wide and starts closed.
TEST(RtuLink, ClosedLinkStepsDoNothingAndLogNothing) {
    ASSERT_EQ(rtu_link_fd(), -1);
    CaptureStderr();
    for (int i = 0; i < 10; ++i) {
        rtu_link_drain_received();
        rtu_link_poll();
        rtu_link_expire();
    }
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(RtuLink, LineSettingsAreCheckedBeforeAnythingIsApplied) {
    Pty pty;
    ASSERT_FALSE(pty.slavePath.empty());
    int fd = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const SerialSettings bad[] = {{9600, 9, 'n', 1}, {9600, 8, 'X', 1}, {9600, 8, 'e', 3}};
    CaptureStderr();
    for (const SerialSettings &s : bad) EXPECT_EQ(rtu_line_configure(fd, &s), -1);
    EXPECT_EQ(GetCapturedStderr().find("Setup Serial error"), std::string::npos);

    struct termios t;
    const SerialSettings even = {19200, 7, 'E', 2};
    ASSERT_EQ(rtu_line_configure(fd, &even), 0);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);
    // A pty forces 8 bits without parity; stop bits and input checks stay.
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & INPCK);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(t.c_cc[VMIN], 0);

    // A rate outside the table keeps the previous speed.
    const SerialSettings odd = {14400, 8, 'o', 1};
    ASSERT_EQ(rtu_line_configure(fd, &odd), 0);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    ASSERT_EQ(rtu_line_configure(fd, &k8N1), 0);
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_FALSE(t.c_iflag & INPCK);
    close(fd);
}

TEST(RtuLink, OpenFailuresLeaveTheLinkClosed) {
    pool_reset();
    Pty pty;
    CaptureStderr();
    EXPECT_EQ(rtu_link_open_path("/nonexistent/ttyS7", &k8N1), -1);
    const SerialSettings nine = {9600, 9, 'n', 1};
    EXPECT_EQ(rtu_link_open_path(pty.slavePath.c_str(), &nine), -1);
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("open /nonexistent/ttyS7 error !"), std::string::npos);
    EXPECT_NE(log.find("Initialize " + pty.slavePath + " error !"), std::string::npos);
    EXPECT_EQ(rtu_link_fd(), -1);
}

TEST(RtuLink, BytesTravelBothWaysAndStaleInputExpires) {
    pool_reset();
    Pty pty;
    CaptureStderr();
    ASSERT_EQ(rtu_link_open_path(pty.slavePath.c_str(), &k8N1), 0);
    EXPECT_NE(GetCapturedStderr().find("mb rtu master init ok!"), std::string::npos);
    EXPECT_TRUE(fcntl(rtu_link_fd(), F_GETFL) & O_NONBLOCK);

    // Outgoing.
    const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B};
    CaptureStderr();
    EXPECT_EQ(rtu_link_send(request, sizeof request), (int)sizeof request);
    rtu_link_poll();
    EXPECT_EQ(pty.drain(sizeof request), std::string((const char *)request, sizeof request));
    EXPECT_NE(GetCapturedStderr().find("mb rtu snd:"), std::string::npos);

    // Incoming: one poll reads, the next drain logs it once and drops it.
    const char answer[] = "\x01\x03\x04\xAA\xBB\xCC\xDD";
    ASSERT_EQ(write(pty.master, answer, 7), 7);
    ASSERT_TRUE(readable_bytes(rtu_link_fd(), 7));
    rtu_link_poll();
    CaptureStderr();
    CaptureStdout();  // the hex dump's bytes go to standard output
    rtu_link_drain_received();
    rtu_link_drain_received();
    std::string dump = GetCapturedStdout();
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("mb rtu rcv:"), std::string::npos);
    EXPECT_EQ(dump, "01 03 04 aa bb cc dd ]\n");
    EXPECT_EQ(log.find("mb rtu rcv:"), log.rfind("mb rtu rcv:"));

    // Nobody drains: the bytes are gone after five expiry steps.
    ASSERT_EQ(write(pty.master, answer, 7), 7);
    ASSERT_TRUE(readable_bytes(rtu_link_fd(), 7));
    rtu_link_poll();
    for (int i = 0; i < 4; ++i) rtu_link_expire();
    int blocksHeld = POOL_BLOCKS - pool_free_blocks();
    EXPECT_EQ(blocksHeld, 1);
    rtu_link_expire();
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
    CaptureStderr();
    rtu_link_drain_received();
    EXPECT_EQ(GetCapturedStderr(), "");

    // Reopening gives the queues' blocks back instead of leaking them.
    rtu_link_send(request, sizeof request);
    ASSERT_EQ(rtu_link_open_path(pty.slavePath.c_str(), &k8N1), 0);
    EXPECT_EQ(pool_free_blocks(), POOL_BLOCKS);
}

}  // namespace
