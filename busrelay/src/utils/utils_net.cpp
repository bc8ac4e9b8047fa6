#include "utils_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "logger.h"

int socket_set_blocking(int fd, int blocking) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        perror("Cant Not Get Socket Flags!");
        return -1;
    }
    if (blocking) {
        if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
            perror("Cant Not Set Socket Flags Block!");
            return -1;
        }
    } else {
        if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            perror("Cant Not Set Socket Flags Non_Block!");
            return -1;
        }
    }
    return 0;
}

int create_udp_socket(int port, int blocking) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        LOG_ERROR("creat udp socket failed!");
        return -1;
    }

    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);

    if (socket_set_blocking(fd, blocking) != 0) {
        LOG_ERROR("Set Asynchronous IO Failure!");
        close(fd);
        return -1;
    }

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons((uint16_t)port);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        LOG_ERROR("%s bind call failure!msg:%s", "create_udp_socket", strerror(errno));
        close(fd);
        return -1;
    }

    if (port == 0) {
        struct sockaddr_in bound;
        socklen_t len = sizeof bound;
        if (getsockname(fd, (struct sockaddr *)&bound, &len) == 0)
            LOG_INFO("use random port %d", ntohs(bound.sin_port));
    }

    unsigned char loop = 0;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        LOG_ERROR("Setsockopt IPPROTO_IP::IP_MULTICAST_LOOP Failure!");
        close(fd);
        return -1;
    }
    return fd;
}

int tcp_server_socket(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;

    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        LOG_ERROR("init tcp svr opt reuseaddr failed!");
        close(fd);
        return -1;
    }
    if (socket_set_blocking(fd, 0) != 0) {
        LOG_ERROR("init tcp svr opt noblock failed!");
        close(fd);
        return -2;
    }

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons((uint16_t)port);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return -3;
    }
    if (listen(fd, 5) != 0) {
        close(fd);
        return -4;
    }
    return fd;
}

int tcp_connect(int localPort, const char *address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;

    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons((uint16_t)localPort);
    if (bind(fd, (struct sockaddr *)&local, sizeof local) != 0) {
        close(fd);
        return -3;
    }

    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons((uint16_t)port);
    if (address == nullptr || inet_pton(AF_INET, address, &peer.sin_addr) != 1) {
        close(fd);
        return -1;
    }

    if (socket_set_blocking(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    if (connect(fd, (struct sockaddr *)&peer, sizeof peer) == 0) return fd;

    if (errno == EINPROGRESS && fd < FD_SETSIZE) {
        fd_set wset;
        FD_ZERO(&wset);
        FD_SET(fd, &wset);
        struct timeval tv = {0, 20000};
        if (select(fd + 1, nullptr, &wset, nullptr, &tv) > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) return fd;
        }
    }
    close(fd);
    return -1;
}
