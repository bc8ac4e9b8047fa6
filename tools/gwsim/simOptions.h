// gwsim's command line.
#pragma once

#include <string>
#include <vector>

struct SimOptions {
    std::string devicesFile;        // empty: the default file (see sim_default_devices_file)
    std::string gatewayKey;         // overrides the file's gateway key
    std::string bindAddress = "0.0.0.0";
    std::string answerIp;           // "function.ip" in the search answer; empty: the local address toward the asker
    int udpPort = 9980;
    int tcpPort = 9981;
    int reportInterval = 10;        // s, 0: no reports
    int reportIntervalMs = 0;       // ms; when set, replaces reportInterval
    int keepAliveInterval = 30;     // s, 0: none of our own
    int answerDelayMs = 0;
    int dropEvery = 0;              // drop every n-th device answer, 0: none
    int errorCode = 0;              // fixed "errorCode" in device answers
    int quitAfter = -1;             // s after a connection: send "quit" (once)
    int malformedEvery = 0;         // s between malformed frames, 0: none
    int refuseSearch = 0;           // s from start during which searches get no answer
    std::vector<std::string> failingDevices;
    bool verbose = false;           // also show keep-alives
    bool help = false;
};

// Parses argv; false with a message on a bad option.
bool sim_parse_options(int argc, char **argv, SimOptions &opt, std::string &error);
std::string sim_usage(const char *program);
// The default device file: first gwsim-devices.json beside the executable,
// then ../share/gwsim/devices.json, then ../../tools/gwsim/devices.json
// (both relative to the executable's folder). Empty when none exists.
std::string sim_default_devices_file();
