#include "mbAcl.h"

#include <arpa/inet.h>
#include <json/json.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

#include "logger.h"

namespace {

MbAcl g_acl;
std::string g_refusal;

bool blank(const std::string &text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

bool mb_acl_parse_entry(const std::string &text, MbAclEntry *out) {
    std::string host = text;
    int prefix = 32;
    const size_t slash = text.find('/');
    if (slash != std::string::npos) {
        host = text.substr(0, slash);
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 2) return false;
        for (char ch : bits)
            if (ch < '0' || ch > '9') return false;
        if (bits.size() == 2 && bits[0] == '0') return false;
        prefix = std::stoi(bits);
        if (prefix > 32) return false;
    }
    // inet_pton takes exactly four decimal parts (no shorthand forms, no
    // octal, no surrounding spaces), unlike inet_aton.
    // A NUL (from "\u0000" in the file) would end the text early for
    // inet_pton and let "1.2.3.4\u0000junk" pass as 1.2.3.4.
    struct in_addr a;
    if (host.empty() || host.find('\0') != std::string::npos ||
        inet_pton(AF_INET, host.c_str(), &a) != 1)
        return false;
    const uint32_t mask = prefix == 0 ? 0u : 0xFFFFFFFFu << (32 - prefix);
    out->mask = mask;
    out->network = ntohl(a.s_addr) & mask;
    out->prefix = prefix;
    return true;
}

std::string mb_acl_entry_text(const MbAclEntry &entry) {
    struct in_addr a;
    a.s_addr = htonl(entry.network);
    char buf[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    std::string text = buf;
    if (entry.prefix != 32) text += "/" + std::to_string(entry.prefix);
    return text;
}

bool mb_acl_parse(const std::string &text, MbAcl *acl, std::string *error) {
    acl->count = 0;
    if (blank(text)) return true;
    Json::Value root;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::string errors;
    std::istringstream in(text);
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, in, &root, &errors);
    } catch (const std::exception &ex) {
        // jsoncpp throws past its nesting limit: a refused file, not a crash
        // at start-up.
        errors = ex.what();
    }
    if (!parsed) {
        // jsoncpp's message spans lines: one line for the log.
        std::string why;
        for (char ch : errors) {
            if (ch == '\n' || ch == '\r') ch = ' ';
            if (ch != ' ' || (!why.empty() && why.back() != ' ')) why += ch;
        }
        while (!why.empty() && why.back() == ' ') why.pop_back();
        *error = "not JSON: " + why;
        return false;
    }
    if (!root.isObject()) {
        *error = "not a JSON object";
        return false;
    }
    if (!root.isMember("allow")) {
        // {} is an empty list; any other key is a mistake worth telling.
        if (root.empty()) return true;
        *error = "no \"allow\" list";
        return false;
    }
    const Json::Value &list = root["allow"];
    if (!list.isArray()) {
        *error = "\"allow\" is not a list";
        return false;
    }
    if (list.size() > (Json::ArrayIndex)MB_ACL_MAX_ENTRIES) {
        *error = "more than " + std::to_string(MB_ACL_MAX_ENTRIES) + " entries";
        return false;
    }
    int n = 0;
    for (const Json::Value &e : list) {
        MbAclEntry entry;
        if (!e.isString() || !mb_acl_parse_entry(e.asString(), &entry)) {
            *error = "entry " + std::to_string(n + 1) + " (" +
                     (e.isString() ? e.asString() : e.toStyledString().substr(0, 40)) +
                     ") is not an IPv4 address or range";
            while (!error->empty() && (error->back() == '\n')) error->pop_back();
            acl->count = 0;
            return false;
        }
        acl->entries[n++] = entry;
    }
    acl->count = n;
    return true;
}

bool mb_acl_allows(const MbAcl &acl, uint32_t address) {
    if (acl.count == 0) return true;
    for (int i = 0; i < acl.count; ++i)
        if ((address & acl.entries[i].mask) == acl.entries[i].network) return true;
    return false;
}

MbAclLoad mb_acl_load(const char *path) {
    g_acl.count = 0;
    g_refusal.clear();
    struct stat st;
    if (stat(path, &st) != 0 && errno == ENOENT) {
        LOG_INFO("no %s: the Modbus port accepts every client", path);
        return MB_ACL_ABSENT;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in || !S_ISREG(st.st_mode)) {
        g_refusal = "cannot be read";
        LOG_ERROR("%s refused (%s): NO client allow-list in force, the Modbus port accepts "
                  "every client", path, g_refusal.c_str());
        return MB_ACL_REFUSED;
    }
    std::ostringstream text;
    text << in.rdbuf();
    MbAcl parsed;
    if (!mb_acl_parse(text.str(), &parsed, &g_refusal)) {
        LOG_ERROR("%s refused (%s): NO client allow-list in force, the Modbus port accepts "
                  "every client", path, g_refusal.c_str());
        return MB_ACL_REFUSED;
    }
    g_acl = parsed;
    if (g_acl.count == 0) {
        LOG_INFO("%s lists no address: the Modbus port accepts every client", path);
        return MB_ACL_EMPTY;
    }
    LOG_INFO("%s: the Modbus port accepts clients only from %s", path, mb_acl_summary().c_str());
    return MB_ACL_ACTIVE;
}

const MbAcl &mb_acl_current() { return g_acl; }

const std::string &mb_acl_refusal() { return g_refusal; }

std::string mb_acl_summary() {
    std::string text;
    for (int i = 0; i < g_acl.count; ++i) {
        if (i) text += ", ";
        text += mb_acl_entry_text(g_acl.entries[i]);
    }
    return text;
}

bool mb_acl_allows_client(uint32_t addressNetworkOrder) {
    return mb_acl_allows(g_acl, ntohl(addressNetworkOrder));
}
