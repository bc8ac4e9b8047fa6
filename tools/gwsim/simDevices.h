// The simulated gateway's devices: loaded from a JSON file, answered from
// and written to in memory, stepped for spontaneous reports.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

struct SimDevice {
    std::string deviceKey;
    std::string sn;
    std::string productKey;
    int aid = 0;
    Json::Value state{Json::objectValue};   // what reads answer and writes change
    std::vector<std::string> reportPaths;   // what each report carries
    Json::Value vary{Json::objectValue};    // path -> rule, applied before each report
    int failures = 0;                       // statistics.timesOfContinuousFailed
    bool failing = false;
};

struct SimAnswer {
    std::string deviceKey;  // device the answer speaks for (topic and payload)
    Json::Value payload;
    std::string note;       // anything odd about the command, for the console
};

class SimDevices {
public:
    // false with a reason when the file is missing or malformed.
    bool load(const std::string &path, std::string &error);

    const std::string &gatewayKey() const { return gatewayKey_; }
    void setGatewayKey(const std::string &key) { gatewayKey_ = key; }
    // {"deviceKey", "function":{"ip"}, "metadata":{"sn","softwareVersion"}}.
    Json::Value searchAnswer(const std::string &ip) const;

    // The answer to one command document. forcedError != 0 answers every
    // device command with that "errorCode" and changes nothing.
    SimAnswer answer(const Json::Value &command, const std::string &topicDeviceKey,
                     int forcedError);

    // Steps the varying values and returns one report per device.
    std::vector<SimAnswer> reports();

    // The device reports growing "timesOfContinuousFailed" from now on.
    bool setFailing(const std::string &deviceKey);

    const std::vector<SimDevice> &devices() const { return devices_; }

    // Largest report frame sent in one piece (the service's receive buffer).
    static constexpr size_t kReportFrameLimit = 1000;

private:
    void split_report(const SimAnswer &r, std::vector<SimAnswer> &out);
    SimDevice *find(const std::string &key);
    Json::Value mirror(const Json::Value &command, Json::Value &state, bool write, bool top,
                       std::string &unknown, const std::string &path);
    bool isElementKey(const std::string &name) const;

    std::string gatewayKey_;
    std::string gatewaySn_;
    std::string softwareVersion_;
    Json::Value gatewayState_{Json::objectValue};
    std::vector<std::string> elementKeys_;
    std::vector<SimDevice> devices_;
};
