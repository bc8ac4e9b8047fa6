// Seeded, bounded random damage to description, map and vrvC texts, and
// random values and request bytes against the sample's nodes. Meant for the
// AddressSanitizer run: the loaders and conversions must neither crash nor
// touch memory they do not own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "devTestUtil.h"
#include "valueConv.h"
#include "vrvCtrl.h"

namespace {

constexpr int kRounds = 150;
constexpr double kMaxSeconds = 40;

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Json::Value random_value(std::mt19937 &rng) {
    static const char *const strings[] = {"",     "rw",    "%s%n%d", "%d%d", "bool", "enum",
                                          "text", "double", "int32", "date", "coilStatus",
                                          "inputRegister", "holdingRegister", "vrvC_vrv10001",
                                          "slave_index/%d/x", "a/b/c/d", "99000000101"};
    switch (rng() % 14) {
    case 0: return Json::Value();
    case 1: return Json::Value(rng() % 2 == 0);
    case 2: return Json::Value(static_cast<Json::Int>(rng() % 300) - 20);
    case 3: {
        static const double nums[] = {-1,    65535, 65536, 70000,  2147483648.0, 4294967295.0,
                                      4294967296.0, 1e300, -1e300, 0.5,  1280,  -2147483649.0};
        return Json::Value(nums[rng() % (sizeof nums / sizeof nums[0])]);
    }
    case 4: return Json::Value(strings[rng() % (sizeof strings / sizeof strings[0])]);
    case 5: return Json::Value(std::string(rng() % 200, static_cast<char>('a' + rng() % 26)));
    case 6: return Json::Value(Json::arrayValue);
    case 7: return Json::Value(Json::objectValue);
    default: return Json::Value(static_cast<Json::Int>(rng() % 40));
    }
}

// Replaces, removes or adds one value somewhere in the tree.
void mutate(Json::Value &v, std::mt19937 &rng, int depth = 0) {
    bool container = (v.isObject() || v.isArray()) && v.size() > 0;
    if (!container || depth > 12 || rng() % 5 == 0) {
        v = random_value(rng);
        return;
    }
    if (v.isArray()) {
        Json::ArrayIndex i = rng() % v.size();
        if (rng() % 8 == 0) v.append(random_value(rng));
        else mutate(v[i], rng, depth + 1);
        return;
    }
    std::vector<std::string> names = v.getMemberNames();
    const std::string &name = names[rng() % names.size()];
    switch (rng() % 8) {
    case 0: v.removeMember(name); break;
    case 1: v["extra" + std::to_string(rng() % 3)] = random_value(rng); break;
    default: mutate(v[name], rng, depth + 1);
    }
}

std::string damage(const std::string &text, std::mt19937 &rng) {
    Json::Value root;
    Json::CharReaderBuilder b;
    std::string err;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string out = text;
    if (rng() % 4 != 0 && r->parse(text.data(), text.data() + text.size(), &root, &err)) {
        int n = 1 + rng() % 4;
        for (int i = 0; i < n; ++i) mutate(root, rng);
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        out = Json::writeString(w, root);
    }
    if (rng() % 4 == 0 && !out.empty()) {  // raw damage: truncate, flip, insert
        size_t at = rng() % out.size();
        switch (rng() % 3) {
        case 0: out.resize(at); break;
        case 1: out[at] = static_cast<char>(rng() % 256); break;
        default: out.insert(at, rng() % 2 ? "/*" : "[{\"");
        }
    }
    return out;
}

// Console output of the loaders (listings and log lines) would swamp the
// test log; it goes to /dev/null while the loop runs.
struct Silence {
    int savedOut, savedErr;
    Silence() {
        fflush(stdout);
        fflush(stderr);
        savedOut = dup(1);
        savedErr = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Silence() {
        fflush(stdout);
        fflush(stderr);
        dup2(savedOut, 1);
        dup2(savedErr, 2);
        close(savedOut);
        close(savedErr);
    }
};

TEST(DevFuzz, BrokenConfigurationTexts) {
    start_log_capture();
    ScratchDir dir;
    std::string sample = sample_dir();
    std::vector<std::string> descs;
    for (const char *name : {"gateway", "switch3a", "dimmer1c", "thermostat", "curtain2m",
                             "contactsw2s", "meter3p", "vrvcontrolC"})
        descs.push_back(read_file(sample + "/descJson/" + name + ".json"));
    std::string map = read_file(sample + "/map.json");
    std::string vrv = read_file(sample + "/vrvC.json");
    ASSERT_FALSE(map.empty());

    std::mt19937 rng(20220906);
    auto started = std::chrono::steady_clock::now();
    int rounds = 0, loaded = 0;
    {
        Silence quiet;
        for (; rounds < kRounds; ++rounds) {
            std::chrono::duration<double> spent = std::chrono::steady_clock::now() - started;
            if (spent.count() > kMaxSeconds) break;
            logged_lines().clear();
            // Some descriptions damaged, the rest intact, then map and vrvC.
            for (const std::string &d : descs) {
                std::string text = rng() % 3 == 0 ? damage(d, rng) : d;
                std::string p = dir.write("d.json", text);
                if (DeviceDescription *desc = load_description(p.c_str())) {
                    add_description(desc);
                    ++loaded;
                }
            }
            load_address_map(dir.write("map.json", damage(map, rng)).c_str());
            load_address_map(dir.write("map2.json", map).c_str());
            load_vrv_config(dir.write("vrvC.json", damage(vrv, rng)).c_str());

            // Random report values and request bytes against whatever loaded.
            for (const MappedDevice *dev : device_list()) {
                for (const DescriptionNode &n : dev->description->nodes) {
                    if (rng() % 8 != 0) continue;
                    value_to_registers(random_value(rng), &n, dev->registerMap);
                    uint8_t data[8];
                    for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
                    Json::Value cmd(Json::objectValue);
                    cmd["cmd"] = "write";
                    put_node_param(dev, cmd, &n, rng() % 2 == 0, data, rng() % 9);
                }
                Json::Value report;
                report["statistics"]["timesOfContinuousFailed"] = random_value(rng);
                Json::Value &e = report["function"]["slave_status"][0];
                e["slave_addr"] = rng() % 3 ? Json::Value(rng() % 6) : random_value(rng);
                e["slave_outdoor_addr"] = rng() % 3 ? Json::Value(rng() % 3) : random_value(rng);
                for (const char *k : {"exist", "return_air_temperature", "slave_mode",
                                      "slave_speed", "slave_temperature", "slave_switch"})
                    e[k] = random_value(rng);
                apply_vrv_report(report, dev, nullptr);
            }
            clear_devices();
            clear_descriptions();
        }
    }
    printf("%d rounds, %d descriptions loaded\n", rounds, loaded);
    EXPECT_GT(rounds, 20);
    EXPECT_GT(loaded, rounds);  // intact texts still load between the damaged ones
}

}  // namespace
