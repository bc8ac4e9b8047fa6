/* Load client for bench/speed_bench.py: reads holding registers 1-3 of one
 * unit back to back on one TCP_NODELAY connection, DEPTH requests in flight,
 * until MAX_N requests or SECONDS have passed; checks every reply's
 * transaction id and function code. Prints one JSON line:
 * {"n":..,"bad":..,"elapsed":..,"p50":..,"p99":..} (latencies in ms, depth 1).
 * Usage: mbload PORT UNIT SECONDS MAX_N DEPTH */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_LAT 4000000
#define REPLY_LEN 15

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int cmp(const void *a, const void *b) {
    float x = *(const float *)a, y = *(const float *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: mbload PORT UNIT SECONDS MAX_N DEPTH\n");
        return 2;
    }
    int port = atoi(argv[1]), unit = atoi(argv[2]);
    double seconds = atof(argv[3]);
    long maxN = atol(argv[4]);
    int depth = atoi(argv[5]);
    if (depth < 1) depth = 1;
    if (depth > 64) depth = 64;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        printf("{\"n\": 0, \"bad\": 0, \"elapsed\": 0, \"p50\": null, \"p99\": null}\n");
        return 1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    struct timeval tv = {3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    float *lat = malloc(sizeof(float) * MAX_LAT);
    long nlat = 0, n = 0, bad = 0;
    unsigned tid = 0;
    unsigned char req[64 * 12], rsp[64 * REPLY_LEN];
    double start = now_s(), stop = start + seconds;
    while (n < maxN && now_s() < stop) {
        int batch = depth;
        if (maxN - n < batch) batch = (int)(maxN - n);
        for (int k = 0; k < batch; ++k) {
            unsigned char *r = req + 12 * k;
            unsigned t = (tid + (unsigned)k) & 0xFFFF;
            unsigned char f[12] = {(unsigned char)(t >> 8), (unsigned char)t, 0, 0, 0, 6,
                                   (unsigned char)unit, 3, 0, 1, 0, 3};
            memcpy(r, f, 12);
        }
        double t0 = now_s();
        if (send(fd, req, (size_t)(12 * batch), MSG_NOSIGNAL) != 12 * batch) break;
        int want = REPLY_LEN * batch, got = 0;
        while (got < want) {
            ssize_t m = recv(fd, rsp + got, (size_t)(want - got), 0);
            if (m <= 0) break;
            got += (int)m;
        }
        if (got < want) break;
        double t1 = now_s();
        for (int k = 0; k < batch; ++k) {
            unsigned char *r = rsp + REPLY_LEN * k;
            unsigned t = (tid + (unsigned)k) & 0xFFFF;
            if (r[0] != (t >> 8) || r[1] != (t & 0xFF) || r[7] != 3) ++bad;
        }
        if (depth == 1 && nlat < MAX_LAT) lat[nlat++] = (float)((t1 - t0) * 1000);
        tid += (unsigned)batch;
        n += batch;
    }
    double elapsed = now_s() - start;
    close(fd);
    if (nlat > 0) {
        qsort(lat, (size_t)nlat, sizeof(float), cmp);
        printf("{\"n\": %ld, \"bad\": %ld, \"elapsed\": %.6f, \"p50\": %.6f, \"p99\": %.6f}\n", n,
               bad, elapsed, lat[(long)(0.5 * (nlat - 1) + 0.5)], lat[(long)(0.99 * (nlat - 1) + 0.5)]);
    } else {
        printf("{\"n\": %ld, \"bad\": %ld, \"elapsed\": %.6f, \"p50\": null, \"p99\": null}\n", n,
               bad, elapsed);
    }
    free(lat);
    return 0;
}
