#include "simServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr size_t kMaxClients = 8;

std::string frame_of(const std::string &topic, const std::string &payload) {
    std::string f((size_t)frame7f::encoded_size(topic.size(), payload.size()), '\0');
    frame7f::encode((uint8_t *)&f[0], f.size(), topic.data(), topic.size(), payload.data(),
                    payload.size());
    return f;
}

std::string keep_alive() { return frame_of("", ""); }

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string compact(const Json::Value &v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

std::string addr_text(const sockaddr_in &a) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

// The local address this host uses to reach `to`.
std::string local_address_toward(const sockaddr_in &to) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    std::string out = "127.0.0.1";
    if (s < 0) return out;
    if (connect(s, (const sockaddr *)&to, sizeof to) == 0) {
        sockaddr_in me{};
        socklen_t len = sizeof me;
        char ip[INET_ADDRSTRLEN];
        if (getsockname(s, (sockaddr *)&me, &len) == 0 &&
            inet_ntop(AF_INET, &me.sin_addr, ip, sizeof ip) && me.sin_addr.s_addr != 0)
            out = ip;
    }
    close(s);
    return out;
}

bool bind_to(int fd, const std::string &address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        errno = EINVAL;
        return false;
    }
    return bind(fd, (sockaddr *)&a, sizeof a) == 0;
}

}  // namespace

std::string sim_now_text() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm t;
    localtime_r(&tv.tv_sec, &t);
    char buf[32];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t.tm_hour, t.tm_min, t.tm_sec,
             (int)(tv.tv_usec / 1000));
    return buf;
}

void sim_say(const std::string &line) {
    printf("%s %s\n", sim_now_text().c_str(), line.c_str());
    fflush(stdout);
}

SimServer::SimServer(const SimOptions &options, SimDevices &devices)
    : opt_(options), devices_(devices) {}

SimServer::~SimServer() {
    for (Client &c : clients_) close(c.fd);
    if (udp_ >= 0) close(udp_);
    if (listener_ >= 0) close(listener_);
}

bool SimServer::open(std::string &error) {
    int on = 1;
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (udp_ < 0) {
        error = std::string("udp socket: ") + strerror(errno);
        return false;
    }
    setsockopt(udp_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(udp_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (!bind_to(udp_, opt_.bindAddress, opt_.udpPort)) {
        error = "bind UDP " + opt_.bindAddress + ":" + std::to_string(opt_.udpPort) + ": " +
                strerror(errno);
        return false;
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (listener_ < 0) {
        error = std::string("tcp socket: ") + strerror(errno);
        return false;
    }
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!bind_to(listener_, opt_.bindAddress, opt_.tcpPort) || listen(listener_, 8) != 0) {
        error = "bind/listen TCP " + opt_.bindAddress + ":" + std::to_string(opt_.tcpPort) +
                ": " + strerror(errno);
        return false;
    }
    return true;
}

SimServer::Client *SimServer::clientById(int id) {
    for (Client &c : clients_)
        if (c.id == id) return &c;
    return nullptr;
}

void SimServer::onSearch() {
    char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(udp_, buf, sizeof buf - 1, 0, (sockaddr *)&from, &len);
    if (n < 0) return;
    std::string text(buf, (size_t)n);
    sim_say("UDP <- " + addr_text(from) + " " + text);

    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value req;
    std::string errs;
    if (!reader->parse(buf, buf + n, &req, &errs) || !req.isObject() ||
        req["cmd"] != "getAllGateway") {
        sim_say("UDP    not a search request, ignored");
        return;
    }
    if (now_ms() - startMs_ < (int64_t)opt_.refuseSearch * 1000) {
        sim_say("UDP    search refused (--refuse-search)");
        return;
    }
    std::string ip = opt_.answerIp.empty() ? local_address_toward(from) : opt_.answerIp;
    std::string answer = compact(devices_.searchAnswer(ip));
    sendto(udp_, answer.data(), answer.size(), 0, (sockaddr *)&from, sizeof from);
    sim_say("UDP -> " + addr_text(from) + " " + answer);
}

void SimServer::onAccept() {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    int fd = accept4(listener_, (sockaddr *)&from, &len, SOCK_NONBLOCK);
    if (fd < 0) return;
    if (clients_.size() >= kMaxClients) {
        sim_say("TCP    refused " + addr_text(from) + ": too many connections");
        close(fd);
        return;
    }
    Client c;
    c.id = nextClientId_++;
    c.fd = fd;
    c.peer = addr_text(from);
    clients_.push_back(c);
    sim_say("TCP    connection #" + std::to_string(c.id) + " from " + c.peer);
    if (opt_.quitAfter >= 0 && quitAt_ < 0) quitAt_ = now_ms() + (int64_t)opt_.quitAfter * 1000;
}

bool SimServer::sendTo(Client &c, const std::string &bytes) {
    size_t done = 0;
    int64_t giveUp = now_ms() + 2000;
    while (done < bytes.size()) {
        ssize_t n = send(c.fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR) && now_ms() < giveUp) {
            pollfd p = {c.fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        return false;
    }
    return true;
}

void SimServer::closeClient(size_t index, const char *why) {
    sim_say("TCP    connection #" + std::to_string(clients_[index].id) + " (" +
            clients_[index].peer + ") closed: " + why);
    close(clients_[index].fd);
    clients_.erase(clients_.begin() + (long)index);
}

void SimServer::onReadable(Client &c) {
    char buf[4096];
    for (int rounds = 0; rounds < 64; ++rounds) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.inbuf.append(buf, (size_t)n);
            continue;
        }
        if (n == 0) {
            c.fd = -c.fd - 1;  // marks it closed by the peer; the loop removes it
            break;
        }
        if (errno != EAGAIN && errno != EINTR) c.fd = -c.fd - 1;
        break;
    }
    const int id = c.id;
    for (int frames = 0; frames < 256; ++frames) {
        Client *cc = clientById(id);
        if (!cc) return;
        const frame7f::Piece p =
            cc->cutter.next((const uint8_t *)cc->inbuf.data(), cc->inbuf.size());
        if (p.cut == frame7f::Cut::NeedMore) break;
        if (p.cut == frame7f::Cut::Skip) {
            cc->inbuf.erase(0, p.size);
            sim_say("TCP <- #" + std::to_string(id) + " malformed input, dropped " +
                    std::to_string(p.size) + " bytes");
            continue;
        }
        const std::string topic((const char *)p.topic, p.topicLen);
        const std::string payload((const char *)p.payload, p.payloadLen);
        cc->inbuf.erase(0, p.size);
        onFrame(*cc, topic, payload);
    }
}

void SimServer::onFrame(Client &c, const std::string &topic, const std::string &payload) {
    const std::string from = "#" + std::to_string(c.id);
    if (topic.empty() && payload.empty()) {
        if (opt_.verbose) sim_say("TCP <- " + from + " keep-alive");
        if (c.awaitingKeepAlive) {
            c.awaitingKeepAlive = false;  // the answer to ours
            return;
        }
        sendTo(c, keep_alive());
        if (opt_.verbose) sim_say("TCP -> " + from + " keep-alive");
        return;
    }
    sim_say("TCP <- " + from + " " + topic + " " + payload);

    // local/<gateway key>/<device key>/command
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t slash = topic.find('/', start);
        parts.push_back(topic.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() != 4 || parts[0] != "local" || parts[3] != "command") {
        sim_say("       not a command topic, ignored");
        return;
    }
    if (parts[1] != devices_.gatewayKey()) {
        sim_say("       gateway key " + parts[1] + " is not ours (" + devices_.gatewayKey() +
                "), ignored");
        return;
    }
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    Json::Value cmd;
    std::string errs;
    if (!reader->parse(payload.data(), payload.data() + payload.size(), &cmd, &errs) ||
        !cmd.isObject()) {
        sim_say("       payload is not a JSON object, ignored");
        return;
    }

    SimAnswer a = devices_.answer(cmd, parts[2], opt_.errorCode);
    if (!a.note.empty()) sim_say("       " + a.note);
    std::string what = cmd["cmd"].isString() ? cmd["cmd"].asString() : "";
    if ((what == "read" || what == "write") && opt_.dropEvery > 0 &&
        ++deviceAnswers_ % opt_.dropEvery == 0) {
        sim_say("       answer dropped (--drop-answers)");
        return;
    }
    std::string answerTopic = "local/" + devices_.gatewayKey() + "/" + a.deviceKey;
    std::string text = compact(a.payload);
    Pending p{now_ms() + opt_.answerDelayMs, c.id, frame_of(answerTopic, text),
              answerTopic + " " + text};
    pending_.push_back(p);
}

void SimServer::sendReports() {
    for (const SimAnswer &r : devices_.reports()) {
        std::string topic = "local/" + devices_.gatewayKey() + "/" + r.deviceKey;
        std::string text = compact(r.payload);
        std::string f = frame_of(topic, text);
        for (Client &c : clients_) {
            if (sendTo(c, f)) sim_say("TCP -> #" + std::to_string(c.id) + " report " + topic + " " + text);
        }
    }
}

void SimServer::timers(int64_t now) {
    // Answers that are due, in order.
    for (size_t i = 0; i < pending_.size();) {
        if (pending_[i].due > now) {
            ++i;
            continue;
        }
        Client *c = clientById(pending_[i].clientId);
        if (c && sendTo(*c, pending_[i].frame))
            sim_say("TCP -> #" + std::to_string(c->id) + " " + pending_[i].text);
        pending_.erase(pending_.begin() + (long)i);
    }
    if (clients_.empty()) return;
    if (reportPeriodMs() > 0 && now >= nextReport_) {
        nextReport_ = now + reportPeriodMs();
        sendReports();
    }
    if (opt_.keepAliveInterval > 0 && now >= nextKeepAlive_) {
        nextKeepAlive_ = now + (int64_t)opt_.keepAliveInterval * 1000;
        for (Client &c : clients_) {
            if (sendTo(c, keep_alive())) {
                c.awaitingKeepAlive = true;
                if (opt_.verbose) sim_say("TCP -> #" + std::to_string(c.id) + " keep-alive");
            }
        }
    }
    if (opt_.malformedEvery > 0 && now >= nextMalformed_) {
        nextMalformed_ = now + (int64_t)opt_.malformedEvery * 1000;
        const std::string bad("\x01\x02\x03\x04\x05", 5);
        const std::string longTopic("\x7F\x41\x00\x00\x00", 5);  // topic length 65
        for (Client &c : clients_) {
            if (sendTo(c, bad + longTopic))
                sim_say("TCP -> #" + std::to_string(c.id) +
                        " malformed: 5 bytes without 0x7F, then a head with topic length 65");
        }
    }
    if (quitAt_ >= 0 && !quitSent_ && now >= quitAt_) {
        quitSent_ = true;
        for (Client &c : clients_)
            if (sendTo(c, frame_of("quit", ""))) sim_say("TCP -> #" + std::to_string(c.id) + " quit");
    }
}

void SimServer::run(const volatile sig_atomic_t &stop) {
    startMs_ = now_ms();
    int64_t first = startMs_ + reportPeriodMs();
    nextReport_ = first;
    nextKeepAlive_ = startMs_ + (int64_t)opt_.keepAliveInterval * 1000;
    nextMalformed_ = startMs_ + (int64_t)opt_.malformedEvery * 1000;

    while (!stop) {
        std::vector<pollfd> fds;
        fds.push_back({udp_, POLLIN, 0});
        fds.push_back({listener_, POLLIN, 0});
        for (const Client &c : clients_) fds.push_back({c.fd, POLLIN, 0});
        int n = poll(fds.data(), fds.size(), 50);
        if (n < 0 && errno != EINTR) {
            sim_say(std::string("poll failed: ") + strerror(errno));
            break;
        }
        if (n > 0) {
            if (fds[0].revents & POLLIN) onSearch();
            if (fds[1].revents & POLLIN) onAccept();
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                for (Client &c : clients_)
                    if (c.fd == fds[i].fd) {
                        onReadable(c);
                        break;
                    }
            }
        }
        for (size_t i = 0; i < clients_.size();) {
            if (clients_[i].fd < 0) {
                clients_[i].fd = -clients_[i].fd - 1;
                closeClient(i, "by the peer");
            } else {
                ++i;
            }
        }
        timers(now_ms());
    }
}
