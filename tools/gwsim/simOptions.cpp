#include "simOptions.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool to_int(const char *text, int lo, int hi, int &out) {
    if (!text || !*text) return false;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (*end != '\0' || v < lo || v > hi) return false;
    out = (int)v;
    return true;
}

std::string exe_dir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string p(path);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

}  // namespace

std::string sim_default_devices_file() {
    std::string dir = exe_dir();
    const std::string candidates[] = {dir + "/gwsim-devices.json",
                                      dir + "/../share/gwsim/devices.json",
                                      dir + "/../../tools/gwsim/devices.json"};
    for (const std::string &c : candidates)
        if (access(c.c_str(), R_OK) == 0) return c;
    return "";
}

std::string sim_usage(const char *program) {
    std::string p = program ? program : "gwsim";
    return "Usage: " + p + " [options]\n"
        "Stands in for the gateway's main program: answers the UDP search on port 9980,\n"
        "serves 7F frames on TCP port 9981 (keep-alives, \"read\", \"write\", the gateway's\n"
        "\"read\", \"getAllDeviceKey\", \"delDevice\") and sends reports of its devices.\n"
        "\n"
        "  -d, --devices FILE       device file (JSON). Default: the first that exists of\n"
        "                           <exe dir>/gwsim-devices.json, <exe dir>/../share/gwsim/devices.json,\n"
        "                           <exe dir>/../../tools/gwsim/devices.json\n"
        "  -k, --key KEY            gateway device key (default: the file's gateway.deviceKey)\n"
        "      --bind ADDR          listen address for UDP and TCP (default 0.0.0.0)\n"
        "      --ip ADDR            \"function.ip\" in search answers (default: own address toward the asker)\n"
        "      --udp-port N         search port (default 9980)\n"
        "      --tcp-port N         7F port (default 9981)\n"
        "  -r, --report-interval S  seconds between reports of every device, 0 = none (default 10)\n"
        "      --report-ms MS       milliseconds between reports instead (10 or more; load tests)\n"
        "      --keepalive S        seconds between our own keep-alives, 0 = none (default 30)\n"
        "      --fail-device KEY    that device reports a growing \"timesOfContinuousFailed\" (repeatable)\n"
        "\n"
        "Fault injection:\n"
        "      --delay MS           answer commands MS milliseconds late\n"
        "      --drop-answers N     drop every N-th answer to \"read\"/\"write\" (1 = all)\n"
        "      --error-code N       answer \"read\"/\"write\"/\"delDevice\" with this \"errorCode\"; nothing changes\n"
        "      --quit-after S       send the \"quit\" frame S seconds after the first connection\n"
        "      --malformed S        every S seconds send a broken head and a head with topic length 65\n"
        "      --refuse-search S    ignore search requests for S seconds after start\n"
        "\n"
        "  -v, --verbose            also show keep-alives\n"
        "  -h, --help               this text\n"
        "\n"
        "Stops cleanly on SIGINT or SIGTERM.\n";
}

bool sim_parse_options(int argc, char **argv, SimOptions &opt, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto need_int = [&](int lo, int hi, int &out) {
            if (!to_int(value, lo, hi, out)) {
                error = a + " needs a number from " + std::to_string(lo) + " to " +
                        std::to_string(hi);
                return false;
            }
            ++i;
            return true;
        };
        auto need_text = [&](std::string &out) {
            if (!value) {
                error = a + " needs a value";
                return false;
            }
            out = value;
            ++i;
            return true;
        };
        bool ok = true;
        if (a == "-h" || a == "--help") opt.help = true;
        else if (a == "-v" || a == "--verbose") opt.verbose = true;
        else if (a == "-d" || a == "--devices") ok = need_text(opt.devicesFile);
        else if (a == "-k" || a == "--key") ok = need_text(opt.gatewayKey);
        else if (a == "--bind") ok = need_text(opt.bindAddress);
        else if (a == "--ip") ok = need_text(opt.answerIp);
        else if (a == "--udp-port") ok = need_int(1, 65535, opt.udpPort);
        else if (a == "--tcp-port") ok = need_int(1, 65535, opt.tcpPort);
        else if (a == "-r" || a == "--report-interval") ok = need_int(0, 86400, opt.reportInterval);
        else if (a == "--report-ms") ok = need_int(10, 86400000, opt.reportIntervalMs);
        else if (a == "--keepalive") ok = need_int(0, 86400, opt.keepAliveInterval);
        else if (a == "--delay") ok = need_int(0, 600000, opt.answerDelayMs);
        else if (a == "--drop-answers") ok = need_int(1, INT_MAX, opt.dropEvery);
        else if (a == "--error-code") ok = need_int(INT_MIN, INT_MAX, opt.errorCode);
        else if (a == "--quit-after") ok = need_int(0, 86400, opt.quitAfter);
        else if (a == "--malformed") ok = need_int(1, 86400, opt.malformedEvery);
        else if (a == "--refuse-search") ok = need_int(0, 86400, opt.refuseSearch);
        else if (a == "--fail-device") {
            std::string key;
            ok = need_text(key);
            if (ok) opt.failingDevices.push_back(key);
        } else {
            error = "unknown option " + a;
            return false;
        }
        if (!ok) return false;
    }
    return true;
}
