#include "simDevices.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace {

std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> parts;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/'))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

bool string_member(const Json::Value &obj, const char *name, std::string &out) {
    if (!obj.isObject() || !obj[name].isString()) return false;
    out = obj[name].asString();
    return true;
}

// One step of a "vary" rule on a value.
void step_value(Json::Value &v, Json::Value &rule) {
    if (rule.isMember("toggle") && v.isBool()) {
        v = !v.asBool();
    } else if (rule["cycle"].isArray() && rule["cycle"].size() > 0) {
        // The position is kept in the rule: a list may name a value twice.
        const Json::Value &list = rule["cycle"];
        int at = -1;
        if (rule["position"].isInt()) {
            at = rule["position"].asInt();
        } else {
            for (Json::ArrayIndex i = 0; i < list.size() && at < 0; ++i)
                if (list[i] == v) at = (int)i;
        }
        at = (at + 1) % (int)list.size();
        rule["position"] = at;
        v = list[(Json::ArrayIndex)at];
    } else if (rule["step"].isNumeric() && v.isNumeric()) {
        double step = rule["step"].asDouble();
        double lo = rule["min"].isNumeric() ? rule["min"].asDouble() : -1e18;
        double hi = rule["max"].isNumeric() ? rule["max"].asDouble() : 1e18;
        double x = v.asDouble() + step;
        if (x > hi) x = lo;
        if (x < lo) x = hi;
        bool whole = v.isIntegral() && rule["step"].isIntegral();
        if (whole)
            v = (Json::Int64)std::llround(x);
        else
            v = std::round(x * 100.0) / 100.0;
    }
}

// Applies rule to every value the path names; "*" walks all array elements.
void apply_rule(Json::Value &node, const std::vector<std::string> &parts, size_t at,
                Json::Value &rule) {
    if (at == parts.size()) {
        step_value(node, rule);
        return;
    }
    const std::string &name = parts[at];
    if (name == "*" && node.isArray()) {
        for (Json::ArrayIndex i = 0; i < node.size(); ++i) apply_rule(node[i], parts, at + 1, rule);
    } else if (node.isObject() && node.isMember(name)) {
        apply_rule(node[name], parts, at + 1, rule);
    }
}

const Json::Value *lookup(const Json::Value &root, const std::vector<std::string> &parts) {
    const Json::Value *v = &root;
    for (const std::string &p : parts) {
        if (!v->isObject() || !v->isMember(p)) return nullptr;
        v = &(*v)[p];
    }
    return v;
}

void place(Json::Value &root, const std::vector<std::string> &parts, const Json::Value &value) {
    Json::Value *v = &root;
    for (const std::string &p : parts) v = &(*v)[p];
    *v = value;
}

}  // namespace

bool SimDevices::load(const std::string &path, std::string &error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    Json::Value root;
    std::string errs;
    if (!Json::parseFromStream(builder, in, &root, &errs) || !root.isObject()) {
        error = "cannot parse " + path + ": " + (errs.empty() ? "not a JSON object" : errs);
        return false;
    }
    const Json::Value &gw = root["gateway"];
    if (!string_member(gw, "deviceKey", gatewayKey_) || gatewayKey_.empty()) {
        error = path + ": \"gateway\" needs a non-empty string \"deviceKey\"";
        return false;
    }
    string_member(gw, "sn", gatewaySn_);
    string_member(gw, "softwareVersion", softwareVersion_);
    if (gw["state"].isObject()) gatewayState_ = gw["state"];

    elementKeys_.clear();
    for (const Json::Value &k : root["elementKeys"])
        if (k.isString()) elementKeys_.push_back(k.asString());

    devices_.clear();
    const Json::Value &list = root["devices"];
    if (!list.isArray()) {
        error = path + ": \"devices\" must be an array";
        return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value &d = list[i];
        SimDevice dev;
        if (!string_member(d, "deviceKey", dev.deviceKey) || dev.deviceKey.empty()) {
            error = path + ": device " + std::to_string(i) + " has no \"deviceKey\"";
            return false;
        }
        if (find(dev.deviceKey) || dev.deviceKey == gatewayKey_) {
            error = path + ": device key " + dev.deviceKey + " appears twice";
            return false;
        }
        string_member(d, "sn", dev.sn);
        string_member(d, "productKey", dev.productKey);
        dev.aid = d["aid"].isInt() ? d["aid"].asInt() : (int)i + 1;
        if (d["state"].isObject()) dev.state = d["state"];
        for (const Json::Value &p : d["report"])
            if (p.isString()) dev.reportPaths.push_back(p.asString());
        if (d["vary"].isObject()) dev.vary = d["vary"];
        devices_.push_back(dev);
    }
    return true;
}

Json::Value SimDevices::searchAnswer(const std::string &ip) const {
    Json::Value a(Json::objectValue);
    a["deviceKey"] = gatewayKey_;
    a["function"]["ip"] = ip;
    a["metadata"]["sn"] = gatewaySn_;
    a["metadata"]["softwareVersion"] = softwareVersion_;
    return a;
}

SimDevice *SimDevices::find(const std::string &key) {
    for (SimDevice &d : devices_)
        if (d.deviceKey == key) return &d;
    return nullptr;
}

bool SimDevices::isElementKey(const std::string &name) const {
    return std::find(elementKeys_.begin(), elementKeys_.end(), name) != elementKeys_.end();
}

bool SimDevices::setFailing(const std::string &deviceKey) {
    SimDevice *d = find(deviceKey);
    if (!d) return false;
    d->failing = true;
    return true;
}

// Builds the answer's copy of the command's members with the values held in
// state (after writing them, for a write). Names the state lacks are
// collected in `unknown`.
Json::Value SimDevices::mirror(const Json::Value &command, Json::Value &state, bool write,
                               bool top, std::string &unknown, const std::string &path) {
    Json::Value out(Json::objectValue);
    for (const std::string &name : command.getMemberNames()) {
        if (top && (name == "cmd" || name == "deviceKey" || name == "sno")) continue;
        const Json::Value &c = command[name];
        std::string here = path.empty() ? name : path + "/" + name;
        bool has = state.isObject() && state.isMember(name);

        // A gateway knows its data points: unknown names are neither read
        // nor created by a write.
        if (!has) {
            unknown += " " + here;
            continue;
        }
        if (c.isObject()) {
            out[name] = mirror(c, state[name], write, false, unknown, here);
        } else if (c.isArray()) {
            if (!state[name].isArray()) {
                unknown += " " + here;
                continue;
            }
            Json::Value &list = state[name];
            Json::Value outList(Json::arrayValue);
            for (const Json::Value &e : c) {
                if (!e.isObject()) continue;
                // The element whose key members all agree with the command's.
                Json::Value *match = nullptr;
                for (Json::ArrayIndex i = 0; i < list.size() && !match; ++i) {
                    Json::Value &se = list[i];
                    int agreed = 0;
                    bool differs = false;
                    for (const std::string &k : elementKeys_) {
                        if (!e.isMember(k) || !se.isMember(k)) continue;
                        if (e[k] == se[k]) ++agreed; else differs = true;
                    }
                    if (agreed > 0 && !differs) match = &se;
                }
                if (!match) {
                    // No such element (an indoor unit or channel the gateway
                    // does not have): neither read nor written.
                    unknown += " " + here + "/" + Json::FastWriter().write(e);
                    unknown.pop_back();
                    continue;
                }
                Json::Value oe(Json::objectValue);
                for (const std::string &k : elementKeys_) {
                    if (match->isMember(k)) oe[k] = (*match)[k];
                    else if (e.isMember(k)) oe[k] = e[k];
                }
                for (const std::string &m : e.getMemberNames()) {
                    if (isElementKey(m)) continue;
                    if (write) (*match)[m] = e[m];
                    if (match->isMember(m))
                        oe[m] = (*match)[m];
                    else
                        unknown += " " + here + "/" + m;
                }
                outList.append(oe);
            }
            out[name] = outList;
        } else {
            if (write) state[name] = c;
            out[name] = state[name];
        }
    }
    return out;
}

SimAnswer SimDevices::answer(const Json::Value &command, const std::string &topicDeviceKey,
                             int forcedError) {
    SimAnswer a;
    std::string cmd, key, sno;
    string_member(command, "cmd", cmd);
    if (!string_member(command, "deviceKey", key) || key.empty()) key = topicDeviceKey;
    a.deviceKey = key.empty() ? gatewayKey_ : key;

    Json::Value p(Json::objectValue);
    p["cmd"] = cmd;
    p["deviceKey"] = a.deviceKey;
    if (command.isMember("sno")) p["sno"] = command["sno"];

    bool toGateway = a.deviceKey == gatewayKey_;
    if (cmd == "getAllDeviceKey") {
        Json::Value list(Json::arrayValue);
        for (const SimDevice &d : devices_) {
            Json::Value e(Json::objectValue);
            e["aid"] = d.aid;
            e["deviceKey"] = d.deviceKey;
            e["sn"] = d.sn;
            list.append(e);
        }
        p["errorCode"] = 0;
        p["deviceList"] = list;
    } else if (cmd == "delDevice") {
        std::string target;
        string_member(command["data"], "deviceKey", target);
        int code = forcedError;
        if (code == 0) {
            auto it = std::find_if(devices_.begin(), devices_.end(),
                                   [&](const SimDevice &d) { return d.deviceKey == target; });
            if (it == devices_.end()) {
                code = 2;
                a.note = "no device " + target;
            } else {
                devices_.erase(it);
                a.note = "deleted " + target;
            }
        }
        p["errorCode"] = code;
        p["data"]["deviceKey"] = target;
    } else if (cmd == "read" || cmd == "write") {
        bool write = cmd == "write";
        Json::Value *state = nullptr;
        SimDevice *dev = toGateway ? nullptr : find(a.deviceKey);
        if (toGateway) state = &gatewayState_;
        else if (dev) state = &dev->state;

        if (!state) {
            p["errorCode"] = 2;
            a.note = "unknown device " + a.deviceKey;
        } else {
            // Worked on a copy: a refused write changes nothing.
            Json::Value scratch = *state;
            std::string unknown;
            Json::Value values = mirror(command, scratch, write, true, unknown, "");
            int code = forcedError;
            if (code == 0 && !unknown.empty()) {
                code = 9;
                a.note = "unknown data point(s):" + unknown;
            }
            if (code == 0 && write) *state = scratch;
            if (code == 0 || !write)
                for (const std::string &n : values.getMemberNames()) p[n] = values[n];
            p["errorCode"] = code;
            if (toGateway) {
                p["metadata"]["softwareVersion"] = softwareVersion_;
                p["metadata"]["sn"] = gatewaySn_;
            }
        }
    } else {
        p["errorCode"] = 9;
        a.note = "unknown cmd \"" + cmd + "\"";
    }
    if (forcedError != 0 && cmd != "getAllDeviceKey") p["errorCode"] = forcedError;
    a.payload = p;
    return a;
}

std::vector<SimAnswer> SimDevices::reports() {
    std::vector<SimAnswer> out;
    for (SimDevice &d : devices_) {
        for (const std::string &path : d.vary.getMemberNames())
            apply_rule(d.state, split_path(path), 0, d.vary[path]);
        d.failures = d.failing ? d.failures + 1 : 0;

        SimAnswer r;
        r.deviceKey = d.deviceKey;
        r.payload["deviceKey"] = d.deviceKey;
        for (const std::string &path : d.reportPaths) {
            std::vector<std::string> parts = split_path(path);
            const Json::Value *v = lookup(d.state, parts);
            if (v) place(r.payload, parts, *v);
        }
        r.payload["statistics"]["timesOfContinuousFailed"] = d.failures;
        split_report(r, out);
    }
    return out;
}

// A report whose frame would not fit the service's 1 KB receive buffer is
// sent as several, each carrying a part of its arrays (as a gateway with
// many indoor units does).
void SimDevices::split_report(const SimAnswer &r, std::vector<SimAnswer> &out) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    auto size = [&](const Json::Value &p) {
        return Json::writeString(b, p).size() + r.deviceKey.size() + gatewayKey_.size() + 16;
    };
    if (size(r.payload) < kReportFrameLimit) {
        out.push_back(r);
        return;
    }
    SimDevice *d = find(r.deviceKey);
    for (const std::string &path : d ? d->reportPaths : std::vector<std::string>()) {
        std::vector<std::string> parts = split_path(path);
        const Json::Value *list = lookup(r.payload, parts);
        if (!list || !list->isArray() || list->size() < 2) continue;
        const Json::Value all = *list;
        SimAnswer part = r;
        place(part.payload, parts, Json::Value(Json::arrayValue));
        for (const Json::Value &e : all) {
            SimAnswer next = part;
            Json::Value grown = *lookup(part.payload, parts);
            grown.append(e);
            place(next.payload, parts, grown);
            if (size(next.payload) >= kReportFrameLimit && lookup(part.payload, parts)->size() > 0) {
                out.push_back(part);
                place(part.payload, parts, Json::Value(Json::arrayValue));
                grown = Json::Value(Json::arrayValue);
                grown.append(e);
                place(part.payload, parts, grown);
            } else {
                part = next;
            }
        }
        out.push_back(part);
        return;
    }
    out.push_back(r);  // nothing to split: sent whole, the receiver refuses it
}
