// Shared by the fuzz targets: hooks into the bridge (resolved when it is
// linked in), the sample configuration and a file for the loaders.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "7Fcom.h"
#include "logger.h"
#include "devDesc.h"
#include "devList.h"
#include "mbTcpSvr.h"
#include "modbus.h"
#include "vrvCtrl.h"

// The bridge's entry points. Weak: a tree without the bridge still fuzzes
// everything else, and the targets say what they could reach.
int onRcvMbRequest(ModbusContext *ctx, const MbRequest *request) __attribute__((weak));
int onGw7fMsg(const char *topic, int topicLen, const char *payload, int payloadLen)
    __attribute__((weak));
int initMbReqList() __attribute__((weak));
extern std::atomic<ModbusContext *> g_mbServer __attribute__((weak));

// The code under test logs and hex-dumps every frame; formatting that text
// costs most of a run's time. FUZZ_LOG=1 keeps the console (when
// reproducing a finding).
inline const bool g_fuzzQuietLog = [] {
    const char *keep = getenv("FUZZ_LOG");
    if (keep == nullptr || strcmp(keep, "1") != 0) log_set_console_level(LOG_LEVEL_FATAL + 1);
    return true;
}();

#ifndef FUZZ_SAMPLE_DIR
#error "FUZZ_SAMPLE_DIR must name busrelay/sample"
#endif

// The service leaves its registries to process exit; a fuzzer frees them
// before the leak check at exit.
inline void fuzz_free_registries() {
    clear_devices();
    clear_descriptions();
}

inline void fuzz_load_sample(bool withMap, bool withVrv) {
    atexit(fuzz_free_registries);
    const std::string dir = FUZZ_SAMPLE_DIR;
    load_descriptions((dir + "/descJson").c_str());
    if (withMap) load_address_map((dir + "/map.json").c_str());
    if (withVrv) load_vrv_config((dir + "/vrvC.json").c_str());
}

// The process's one Modbus server, as the bridge expects it (port 0 keeps
// the fixed port free; replies to unknown sockets are dropped), and the
// pending table when the bridge is linked in.
inline ModbusContext *&fuzz_server_slot() {
    static ModbusContext *server = nullptr;
    return server;
}
inline void fuzz_free_server() {
    if (&g_mbServer != nullptr) g_mbServer.store(nullptr);
    mb_tcp_server_free(fuzz_server_slot());
    fuzz_server_slot() = nullptr;
}
inline void fuzz_start_server() {
    fuzz_server_slot() = mb_tcp_server_new(0, onRcvMbRequest);
    // The pause before a flushed exception would only slow the fuzzer down.
    if (fuzz_server_slot()) fuzz_server_slot()->responseTimeout = {0, 0};
    if (&g_mbServer != nullptr) g_mbServer.store(fuzz_server_slot());
    if (initMbReqList) initMbReqList();
    atexit(fuzz_free_server);
}

// A file in memory whose path the loaders can open.
class FuzzFile {
public:
    FuzzFile() {
        fd_ = memfd_create("fuzzcfg", 0);
        if (fd_ < 0) abort();
        snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
    }
    const char *write(const uint8_t *data, size_t size) {
        if (ftruncate(fd_, 0) != 0) abort();
        size_t off = 0;
        while (off < size) {
            ssize_t n = pwrite(fd_, data + off, size - off, (off_t)off);
            if (n <= 0) abort();
            off += (size_t)n;
        }
        return path_;
    }

private:
    int fd_ = -1;
    char path_[64];
};
