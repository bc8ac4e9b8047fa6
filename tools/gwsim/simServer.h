// gwsim's network side: the UDP search answer, the 7F TCP server, reports,
// keep-alives and the injected faults. One thread, one poll loop.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "frame7f/frame7f.h"
#include "simDevices.h"
#include "simOptions.h"

class SimServer {
public:
    SimServer(const SimOptions &options, SimDevices &devices);
    ~SimServer();
    // Binds both ports; false with a reason.
    bool open(std::string &error);
    // Serves until stop becomes non-zero.
    void run(const volatile sig_atomic_t &stop);

private:
    // What gwsim takes from a client: anything longer is noise.
    static constexpr frame7f::Limits kFrameLimits = {4096, 1u << 20, 9 + 4096 + (1u << 20)};
    struct Client {
        int id;
        int fd;
        std::string peer;
        std::string inbuf;
        frame7f::Cutter cutter{kFrameLimits};
        bool awaitingKeepAlive = false;
    };
    struct Pending {
        int64_t due;
        int clientId;
        std::string frame;
        std::string text;
    };

    void onSearch();
    void onAccept();
    void onReadable(Client &c);
    void onFrame(Client &c, const std::string &topic, const std::string &payload);
    bool sendTo(Client &c, const std::string &bytes);
    void closeClient(size_t index, const char *why);
    void sendReports();
    void timers(int64_t now);
    int64_t reportPeriodMs() const {
        return opt_.reportIntervalMs > 0 ? opt_.reportIntervalMs : (int64_t)opt_.reportInterval * 1000;
    }
    Client *clientById(int id);

    const SimOptions &opt_;
    SimDevices &devices_;
    int udp_ = -1;
    int listener_ = -1;
    std::vector<Client> clients_;
    std::vector<Pending> pending_;
    int nextClientId_ = 1;
    int64_t startMs_ = 0;
    int64_t nextReport_ = 0;
    int64_t nextKeepAlive_ = 0;
    int64_t nextMalformed_ = 0;
    int64_t quitAt_ = -1;
    bool quitSent_ = false;
    long deviceAnswers_ = 0;
};

// Time stamp for the console lines.
std::string sim_now_text();
void sim_say(const std::string &line);
