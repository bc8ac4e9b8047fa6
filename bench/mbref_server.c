/* A plain libmodbus server loop, the reference in bench/speed_bench.py:
 * select over the listening socket and up to a few clients, modbus_receive
 * and modbus_reply for each ready client. Holding registers 0-99.
 * Usage: mbref_server PORT.  Bench only: never part of the product. */
#include <modbus/modbus.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

static volatile sig_atomic_t running = 1;
static void on_signal(int sig) { (void)sig; running = 0; }

int main(int argc, char **argv) {
    int port = argc > 1 ? atoi(argv[1]) : 5021;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 100, 0);
    if (ctx == NULL || map == NULL) return 1;
    int listener = modbus_tcp_listen(ctx, 4);
    if (listener < 0) return 1;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    fd_set all;
    FD_ZERO(&all);
    FD_SET(listener, &all);
    int maxFd = listener;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    printf("mbref_server ready on port %d\n", port);
    fflush(stdout);
    while (running) {
        fd_set ready = all;
        struct timeval tv = {0, 200000};
        if (select(maxFd + 1, &ready, NULL, NULL, &tv) <= 0) continue;
        for (int fd = 0; fd <= maxFd; ++fd) {
            if (!FD_ISSET(fd, &ready)) continue;
            if (fd == listener) {
                int c = accept(listener, NULL, NULL);
                if (c >= 0 && c < FD_SETSIZE) {
                    FD_SET(c, &all);
                    if (c > maxFd) maxFd = c;
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, map);
            } else if (rc == -1) {
                close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
    close(listener);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
