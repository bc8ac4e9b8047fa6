// gwsim: a stand-in for the gateway's main program, for tests, demos and
// engineers without a gateway.
#include <csignal>
#include <cstdio>
#include <string>

#include "simDevices.h"
#include "simOptions.h"
#include "simServer.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char **argv) {
    SimOptions opt;
    std::string error;
    if (!sim_parse_options(argc, argv, opt, error)) {
        fprintf(stderr, "gwsim: %s\n\n%s", error.c_str(), sim_usage(argv[0]).c_str());
        return 2;
    }
    if (opt.help) {
        fputs(sim_usage(argv[0]).c_str(), stdout);
        return 0;
    }
    if (opt.devicesFile.empty()) opt.devicesFile = sim_default_devices_file();
    if (opt.devicesFile.empty()) {
        fprintf(stderr, "gwsim: no device file found; give one with --devices FILE\n");
        return 1;
    }
    SimDevices devices;
    if (!devices.load(opt.devicesFile, error)) {
        fprintf(stderr, "gwsim: %s\n", error.c_str());
        return 1;
    }
    if (!opt.gatewayKey.empty()) devices.setGatewayKey(opt.gatewayKey);
    for (const std::string &key : opt.failingDevices) {
        if (!devices.setFailing(key)) {
            fprintf(stderr, "gwsim: --fail-device %s: no such device\n", key.c_str());
            return 2;
        }
    }

    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SimServer server(opt, devices);
    if (!server.open(error)) {
        fprintf(stderr, "gwsim: %s\n", error.c_str());
        return 1;
    }
    sim_say("gwsim: gateway " + devices.gatewayKey() + " with " +
            std::to_string(devices.devices().size()) + " devices from " + opt.devicesFile);
    sim_say("gwsim: search on UDP " + std::to_string(opt.udpPort) + ", 7F on TCP " +
            std::to_string(opt.tcpPort) + ", reports every " +
            (opt.reportIntervalMs ? std::to_string(opt.reportIntervalMs) + " ms" : opt.reportInterval ? std::to_string(opt.reportInterval) + " s" : std::string("(off)")));
    server.run(g_stop);
    sim_say("gwsim: stopped");
    return 0;
}
