#include "mbRtuMaster.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "byteQueue.h"
#include "logger.h"
#include "utils_net.h"

namespace {

int g_fd = -1;
ByteQueue g_tx = {QUEUE_EMPTY_POS, QUEUE_EMPTY_POS, 0, RTU_QUEUE_LIMIT};
ByteQueue g_rx = {QUEUE_EMPTY_POS, QUEUE_EMPTY_POS, 0, RTU_QUEUE_LIMIT};
uint8_t g_rxExpiry = 0;

struct BaudEntry {
    int rate;
    speed_t speed;
};

const BaudEntry kBauds[] = {
    {115200, B115200}, {57600, B57600}, {38400, B38400}, {19200, B19200}, {9600, B9600},
    {4800, B4800},     {2400, B2400},   {1200, B1200},   {600, B600},     {300, B300},
};

}  // namespace

int rtu_line_configure(int fd, const SerialSettings *s) {
    struct termios t;
    if (s == nullptr || tcgetattr(fd, &t) != 0) return -1;
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~CSIZE;
    for (const BaudEntry &b : kBauds) {
        if (b.rate == s->baud) {
            cfsetispeed(&t, b.speed);
            cfsetospeed(&t, b.speed);
            break;
        }
    }
    switch (s->dataBits) {
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: return -1;
    }
    switch (tolower((unsigned char)s->parity)) {
    case 'e':
        t.c_cflag |= PARENB;
        t.c_cflag &= ~PARODD;
        t.c_iflag |= INPCK;
        break;
    case 'o':
        t.c_cflag |= PARENB | PARODD;
        t.c_iflag |= INPCK;
        break;
    case 'n':
        t.c_cflag &= ~PARENB;
        t.c_iflag &= ~INPCK;
        break;
    case 's':
        t.c_cflag &= ~PARENB;
        t.c_cflag &= ~CSTOPB;
        t.c_iflag |= INPCK;
        break;
    default:
        return -1;
    }
    switch (s->stopBits) {
    case 1: t.c_cflag &= ~CSTOPB; break;
    case 2: t.c_cflag |= CSTOPB; break;
    default: return -1;
    }
    t.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    t.c_oflag &= ~OPOST;
    t.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        LOG_ERROR("Setup Serial error");
        return -1;
    }
    return 0;
}

int rtu_link_open() {
    const SerialSettings line = {9600, 8, 'n', 1};
    return rtu_link_open_path(RTU_LINK_PORT, &line);
}

int rtu_link_open_path(const char *path, const SerialSettings *settings) {
    // Queues may hold blocks from an earlier open: give them back first.
    queue_discard(&g_tx, 0);
    queue_discard(&g_rx, 0);
    queue_init(&g_tx, RTU_QUEUE_LIMIT);
    queue_init(&g_rx, RTU_QUEUE_LIMIT);
    g_rxExpiry = 0;
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;

    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        LOG_ERROR("open %s error !", path);
        return -1;
    }
    if (rtu_line_configure(fd, settings) != 0) {
        LOG_ERROR("Initialize %s error !", path);
        close(fd);
        return -1;
    }
    g_fd = fd;
    socket_set_blocking(fd, 0);
    LOG_INFO("mb rtu master init ok!");
    return 0;
}

int rtu_link_fd() { return g_fd; }

int rtu_link_send(const uint8_t *data, int length) {
    LOG_INFO("mb rtu snd:");
    log_hexdump(data, length);
    return queue_write(&g_tx, data, length);
}

void rtu_link_poll() {
    if (g_fd < 0 || g_fd >= FD_SETSIZE) return;
    fd_set rset, wset;
    FD_ZERO(&rset);
    FD_ZERO(&wset);
    FD_SET(g_fd, &rset);
    FD_SET(g_fd, &wset);
    struct timeval tv = {0, 0};
    if (select(g_fd + 1, &rset, &wset, nullptr, &tv) <= 0) return;

    uint8_t buf[RTU_IO_CHUNK];
    if (FD_ISSET(g_fd, &rset)) {
        int total = 0;
        while (total < RTU_IO_CHUNK) {
            ssize_t n = read(g_fd, buf + total, (size_t)(RTU_IO_CHUNK - total));
            if (n <= 0) break;
            total += (int)n;
        }
        if (total > 0) {
            queue_write(&g_rx, buf, total);
            g_rxExpiry = RTU_RX_EXPIRY_TICKS;
        }
    }
    if (FD_ISSET(g_fd, &wset)) {
        int n = queue_consume(&g_tx, buf, RTU_IO_CHUNK);
        if (n <= 0) return;
        // A new request starts on a quiet line: drop whatever is pending.
        if (tcflush(g_fd, TCIOFLUSH) != 0) return;
        int done = 0;
        while (done < n) {
            ssize_t w = write(g_fd, buf + done, (size_t)(n - done));
            if (w <= 0) {
                LOG_ERROR("write device err %s", strerror(errno));
                break;
            }
            done += (int)w;
        }
    }
}

void rtu_link_drain_received() {
    uint8_t buf[RTU_QUEUE_LIMIT];
    int n = queue_peek(&g_rx, buf, sizeof buf);
    if (n > 0) {
        LOG_INFO("mb rtu rcv:");
        log_hexdump(buf, n);
        queue_discard(&g_rx, n);
    } else if (queue_count(&g_rx) > 0) {
        queue_discard(&g_rx, 0);
    }
}

void rtu_link_expire() {
    if (g_rxExpiry == 0) return;
    if (--g_rxExpiry == 0) queue_discard(&g_rx, 0);
}
